"""The Lua scripts of the Redis log: every operation on a timeline is one of them.

Each timeline is five keys that share one hash tag, so on a cluster they
live in one slot, and a script over them is atomic, one round trip, and
never a CROSSSLOT error:

    {prefix}:{<name>}:m   hash: the voucher: inc, head, crc, first, ids (and was, below)
    {prefix}:{<name>}:h   hash: seq -> the record's header, codec-encoded
    {prefix}:{<name>}:b   hash: seq -> the record's body, its raw bytes
    {prefix}:{<name>}:i   hash: chosen id -> seq
    {prefix}:{<name>}:x   hash: attachment key -> its entries, framed (below)

The voucher holds the incarnation (`inc`, 64 random bits, never 0, drawn by
the client that creates the timeline, kept as decimal text since Lua
numbers are doubles), the head's seq and crc, the oldest kept seq, and how
many entries the id index holds. Every script reads it first and checks
what it reads against it: seqs are dense from `first` to `head`, so a header
or body missing there, a voucher missing, or an id index smaller than its
count is damage, which a partial eviction or a hand edit leaves, and never a
shorter timeline. The scripts read and check everything before their first
write, so a server that refuses a write (out of memory, read-only) refuses
it whole.

A voucher written before incarnations existed holds `head`, `crc` and
`first` alone. It is sound: it reads as incarnation 0, which no created
timeline draws, with the id index's own length as its count. The first
append or prune that writes to such a timeline upgrades its voucher in the
same script: a fresh incarnation (drawn by the client as for a create), the
id count, and `was` = 0, so that an append whose writer read the timeline
as incarnation 0 before the upgrade (or retries one that made it) still
matches it. A drop removes `was` with the rest, so 0 never matches a
timeline created afterwards. A voucher with `inc` and without one of the
others, or with `ids` or `was` and without `inc`, is damage.

A header is `[id, parent, base, kind, format, timestamp, digest, header_crc,
crc, meta, body_size]`, so a listing reads no body. It is msgpack, and
scripts read its id and base (for listings' attachments, prune's cutoff and
read's chain filter) by decoding its first items alone: Lua's cmsgpack does
not read the bytes that `meta` holds. With a `ttl`, appends and attachments
set the expiry of all the keys at once, so a thread expires whole.

An attachment key's entries are one field of the `:x` hash, each entry a
4-byte big-endian length and `[task, idx, blob]` codec-encoded. The script
that writes entries applies the attachment rule (the first of a `(task,
idx)` wins, a negative idx replaces it in its place), so a key holds one
frame per entry however often a mark under it is replaced, and a read of it
costs what it holds. A field written before the rule was applied on write
(every frame appended) reads the same: readers apply the rule too.

Every script replies with a status first: 'ok', or 'corrupt' with the seq
(or false) and what is damaged, or a status of its own named where it is.
"""

# Shared by the scripts. Numbers become fields through `field`: Lua would
# write a large seq in exponent notation.
# The longest ttl a script is given, in seconds: its milliseconds stay an exact Lua number (a
# double), which PEXPIRE takes. Longer, the script would fail at its PEXPIRE, after its writes.
MAX_TTL_SECONDS = (1 << 53) // 1000

_PRELUDE = """
local function field(n) return string.format('%d', n) end

-- The voucher, or nil when the timeline does not exist; the second value is a reply for damage.
-- One written before incarnations existed (no inc, ids or was) has `legacy` set: it reads as
-- incarnation '0' with the id index's length as its count, until `upgrade` writes it whole.
local function voucher()
  if redis.call('EXISTS', KEYS[1]) == 0 then
    if redis.call('EXISTS', KEYS[2], KEYS[3], KEYS[4]) > 0 then
      return nil, {'corrupt', false, 'headers without their meta'}
    end
    return nil, nil
  end
  local names = {'inc', 'head', 'crc', 'first', 'ids', 'was'}
  local got = redis.call('HMGET', KEYS[1], unpack(names))
  local legacy = not (got[1] or got[5] or got[6])
  for i = 1, 5 do
    if got[i] then
      if #got[i] > 20 or not string.find(got[i], '^%-?%d+$') then
        return nil, {'corrupt', false, 'meta with an unreadable ' .. names[i]}
      end
    elseif not (legacy and (i == 1 or i == 5)) then
      return nil, {'corrupt', false, 'meta without its ' .. names[i]}
    end
  end
  if got[6] and got[6] ~= '0' then return nil, {'corrupt', false, 'meta with an unreadable was'} end
  local v = {inc = got[1] or '0', head = tonumber(got[2]), crc = tonumber(got[3]),
             first = tonumber(got[4]), ids = tonumber(got[5]), was = got[6], legacy = legacy}
  if legacy then v.ids = redis.call('HLEN', KEYS[4]) end
  if v.first < 1 or v.first > v.head or v.ids < 0 then
    return nil, {'corrupt', false, 'meta that contradicts itself'}
  end
  return v, nil
end

-- Whether an append's expected incarnation names this timeline: its own, or the '0' an
-- upgraded voucher was read under before.
local function known_as(v, inc) return inc == v.inc or inc == v.was end

-- Give a legacy voucher its fresh incarnation, its id count and the '0' it was known as.
-- Called by a writing script after its checks, so the upgrade lands with its write or not at all.
local function upgrade(v, fresh)
  if not v.legacy then return end
  redis.call('HSET', KEYS[1], 'inc', fresh, 'ids', field(v.ids), 'was', '0')
  v.inc, v.was, v.legacy = fresh, '0', false
end

-- The first `n` items of a header (an 11-item array); nil for what is no header.
local function items(header, n)
  if string.byte(header, 1) ~= 0x9b then return nil end
  local out, at = {}, 1
  for i = 1, n do
    if at < 0 then return nil end
    local ok, next_at, item = pcall(cmsgpack.unpack_one, header, at)
    if not ok then return nil end
    at, out[i] = next_at, item
  end
  return out
end

local function base_of(header)
  local got = items(header, 3)
  if got and type(got[3]) == 'number' then return got[3] end
  return nil
end

-- Up to `limit` headers below `before` (nil: from the head), newest first: seqs, headers; or damage.
-- Like every walk over seqs here, it stops at the first one missing: it costs what the hash
-- holds, whatever the width of the range a damaged voucher spans.
local function page(v, limit, before)
  local top = v.head
  if before then top = math.min(top, before - 1) end
  local bottom = math.max(v.first, top - limit + 1)
  if top < bottom then return {}, {} end
  local seqs, headers = {}, {}
  for seq = top, bottom, -1 do
    local header = redis.call('HGET', KEYS[2], field(seq))
    if not header then return nil, {'corrupt', seq, 'record missing'} end
    seqs[#seqs + 1], headers[#headers + 1] = seq, header
  end
  return seqs, headers
end

-- The values of `names` in the hash `key`, in batches: unpack takes a bounded number of values.
local function values(key, names)
  local out = {}
  for i = 1, #names, 1000 do
    local got = redis.call('HMGET', key, unpack(names, i, math.min(i + 999, #names)))
    for j = 1, #got do out[#out + 1] = got[j] end
  end
  return out
end

local function remove(key, names)
  for i = 1, #names, 1000 do redis.call('HDEL', key, unpack(names, i, math.min(i + 999, #names))) end
end

-- The frames of an attachment key's value, each with its entry's (idx, task); nil for what is none.
-- A frame is a 4-byte big-endian length and [task, idx, blob]: the first two items are read
-- alone and the blob skipped by the length, as cmsgpack does not read bytes.
local function frames_of(data)
  local out, at = {}, 1
  while at <= #data do
    local b1, b2, b3, b4 = string.byte(data, at, at + 3)
    if not b4 then return nil end
    local size = ((b1 * 256 + b2) * 256 + b3) * 256 + b4
    local frame = string.sub(data, at, at + 3 + size)
    if #frame ~= 4 + size or string.byte(frame, 5) ~= 0x93 then return nil end
    local ok, next_at, task = pcall(cmsgpack.unpack_one, frame, 5)
    if not ok or type(task) ~= 'string' or next_at < 0 then return nil end
    -- An entry is told by its idx's bytes, not its number: Lua's numbers are doubles, which
    -- take idx values apart by 2^53 or more as one (the encoding of an int is canonical).
    local idx, idx_at = nil, next_at
    ok, next_at, idx = pcall(cmsgpack.unpack_one, frame, idx_at)
    if not ok or type(idx) ~= 'number' or next_at < 0 then return nil end
    out[#out + 1] = {idx, string.sub(frame, idx_at + 1, next_at) .. ':' .. task, frame}
    at = at + #frame
  end
  return out
end

-- Attachments as ARGV from `from` on give them, key and frames alternating, merged into what
-- each key holds by the attachment rule: the first of an (idx, task) stays, a negative idx
-- replaces it in its place. So a key holds one frame per entry, however often one is replaced.
-- Returns keys and values to write, or nil and a reply for damage; writes nothing.
local function merged(from)
  local keys, out = {}, {}
  for i = from, #ARGV, 2 do
    local held = frames_of(redis.call('HGET', KEYS[5], ARGV[i]) or '')
    if not held then return nil, {'corrupt', false, 'unreadable attachments under ' .. ARGV[i]} end
    local at = {}
    for j, entry in ipairs(held) do at[entry[2]] = j end
    for _, entry in ipairs(frames_of(ARGV[i + 1]) or {}) do
      local j = at[entry[2]]
      if not j then
        held[#held + 1] = entry
        at[entry[2]] = #held
      elseif entry[1] < 0 then
        held[j] = entry
      end
    end
    local frames = {}
    for j, entry in ipairs(held) do frames[j] = entry[3] end
    keys[#keys + 1], out[#out + 1] = ARGV[i], table.concat(frames)
  end
  return keys, out
end

local function write_attachments(keys, frames)
  for i = 1, #keys do
    if frames[i] ~= '' then redis.call('HSET', KEYS[5], keys[i], frames[i]) end
  end
end

local function renew(ttl)
  if ttl > 0 then
    for i = 1, #KEYS do redis.call('PEXPIRE', KEYS[i], ttl) end
  end
end

-- The attachments under `names` that hold entries: keys, values.
local function attached(names)
  local found, keys, frames = values(KEYS[5], names), {}, {}
  for i = 1, #names do
    if found[i] then keys[#keys + 1], frames[#frames + 1] = names[i], found[i] end
  end
  return keys, frames
end
"""

_HEAD = """
local v, damage = voucher()
if damage then return damage end
if not v then return {'none'} end
if redis.call('HEXISTS', KEYS[2], field(v.head)) == 0 then return {'corrupt', v.head, 'record missing'} end
return {'ok', v.inc, v.head, v.crc, v.first}
"""

# ARGV: expected inc ('' to create), head, crc; the record's seq, whether it has
# a chosen id, the id, header, body, crc, base; ttl (ms, 0 for none); a fresh
# incarnation (for a create or an upgrade); '1' when a WAIT follows; then attachments.
_APPEND = """
local v, damage = voucher()
if damage then return damage end
local seq = tonumber(ARGV[4])
if v and (ARGV[1] == '' or known_as(v, ARGV[1])) then
  local stored = redis.call('HGET', KEYS[2], ARGV[4])
  if stored then
    if seq > v.head or seq < v.first then return {'corrupt', seq, 'record outside first..head'} end
    -- A retry: a write of its own makes the WAIT after it cover the record an earlier try wrote.
    if ARGV[13] == '1' then
      if v.legacy then upgrade(v, ARGV[12]) else redis.call('HSET', KEYS[1], 'inc', v.inc) end
    end
    return {'stored', v.inc, v.first, stored, v.head}
  end
end
if not v then
  if ARGV[1] ~= '' then return {'conflict'} end
elseif not known_as(v, ARGV[1]) or tonumber(ARGV[2]) ~= v.head or tonumber(ARGV[3]) ~= v.crc then
  return {'conflict', v.head}
end
if v then
  if redis.call('HEXISTS', KEYS[2], field(v.head)) == 0 then return {'corrupt', v.head, 'record missing'} end
  if redis.call('HEXISTS', KEYS[3], field(v.head)) == 0 then return {'corrupt', v.head, 'body missing'} end
  local base = tonumber(ARGV[10])
  if base ~= seq then
    if base < v.first then return {'conflict', v.head} end  -- the keyframe of its chain was pruned
    if redis.call('HEXISTS', KEYS[2], ARGV[10]) == 0 then return {'corrupt', base, 'record missing'} end
  end
end
local attach_keys, attach_values = merged(14)
if not attach_keys then return attach_values end
local ids = v and v.ids or 0
if ARGV[5] == '1' then
  local taken = redis.call('HGET', KEYS[4], ARGV[6])
  if taken then
    if redis.call('HEXISTS', KEYS[2], taken) == 0 then
      return {'corrupt', tonumber(taken) or false, 'record missing (indexed by id)'}
    end
    return {'taken'}
  end
  if redis.call('HLEN', KEYS[4]) ~= ids then return {'corrupt', false, 'id index lost entries'} end
  redis.call('HSET', KEYS[4], ARGV[6], ARGV[4])
  ids = ids + 1
end
if v then upgrade(v, ARGV[12]) end
redis.call('HSET', KEYS[2], ARGV[4], ARGV[7])
redis.call('HSET', KEYS[3], ARGV[4], ARGV[8])
local inc, first = ARGV[12], seq
if v then inc, first = v.inc, v.first end
redis.call('HSET', KEYS[1], 'inc', inc, 'head', ARGV[4], 'crc', ARGV[9],
           'first', field(first), 'ids', field(ids))
write_attachments(attach_keys, attach_values)
renew(tonumber(ARGV[11]))
return {'ok', inc, seq, tonumber(ARGV[9]), first}
"""

# Headers and bodies from ARGV[1] to ARGV[2] (of base ARGV[3], unless ''), ascending.
_READ = """
local v, damage = voucher()
if damage then return damage end
if not v then return {'ok', {}, {}, {}} end
local low, high = math.max(tonumber(ARGV[1]), v.first), math.min(tonumber(ARGV[2]), v.head)
if low > high then return {'ok', {}, {}, {}} end
local want = ARGV[3] ~= '' and tonumber(ARGV[3]) or nil
local seqs, headers, bodies = {}, {}, {}
for seq = low, high do
  local name = field(seq)
  local header = redis.call('HGET', KEYS[2], name)
  if not header then return {'corrupt', seq, 'record missing'} end
  local keep = true
  if want then
    local base = base_of(header)
    keep = base == nil or base == want  -- an unreadable header goes to the reader, to be judged
  end
  if keep then
    local body = redis.call('HGET', KEYS[3], name)
    if not body then return {'corrupt', seq, 'body missing'} end
    seqs[#seqs + 1], headers[#headers + 1], bodies[#bodies + 1] = seq, header, body
  elseif redis.call('HEXISTS', KEYS[3], name) == 0 then
    return {'corrupt', seq, 'body missing'}
  end
end
return {'ok', seqs, headers, bodies}
"""

# The voucher, the head's chain (headers and bodies from its keyframe, of its base, ascending) and
# the attachments under the head's chosen id and under ARGV[1] on. A head whose header does not
# read comes alone, for the reader to judge.
_OPENING = """
local v, damage = voucher()
if damage then return damage end
local names = {}
for i = 1, #ARGV do names[i] = ARGV[i] end
if not v then
  local keys, frames = attached(names)
  return {'none', keys, frames}
end
local head = redis.call('HGET', KEYS[2], field(v.head))
if not head then return {'corrupt', v.head, 'record missing'} end
local got = items(head, 3)
local want = got and type(got[3]) == 'number' and got[3] or nil
if got and type(got[1]) == 'string' then names[#names + 1] = got[1] end
local low = v.head
if want and want <= v.head then low = math.max(want, v.first) end
local seqs, headers, bodies = {}, {}, {}
for seq = low, v.head do
  local name = field(seq)
  local header = redis.call('HGET', KEYS[2], name)
  if not header then return {'corrupt', seq, 'record missing'} end
  local base = base_of(header)
  if seq == v.head or base == nil or base == want then
    local body = redis.call('HGET', KEYS[3], name)
    if not body then return {'corrupt', seq, 'body missing'} end
    seqs[#seqs + 1], headers[#headers + 1], bodies[#bodies + 1] = seq, header, body
  elseif redis.call('HEXISTS', KEYS[3], name) == 0 then
    return {'corrupt', seq, 'body missing'}
  end
end
local keys, frames = attached(names)
return {'ok', v.inc, v.head, v.crc, v.first, seqs, headers, bodies, keys, frames}
"""

# Up to ARGV[1] headers below ARGV[2] (unless ''), newest first; or, when ARGV[3]
# is '1', the one indexed under the id ARGV[4].
_HEADERS = """
local v, damage = voucher()
if damage then return damage end
if not v then return {'ok', {}, {}} end
if ARGV[3] == '1' then
  local at = redis.call('HGET', KEYS[4], ARGV[4])
  if not at then
    if redis.call('HLEN', KEYS[4]) ~= v.ids then return {'corrupt', false, 'id index lost entries'} end
    return {'ok', {}, {}}
  end
  local seq = tonumber(at)
  if not seq or seq < v.first or seq > v.head then
    return {'corrupt', seq or false, 'an id indexed outside the timeline'}
  end
  local header = redis.call('HGET', KEYS[2], at)
  if not header then return {'corrupt', seq, 'record missing (indexed by id)'} end
  return {'ok', {seq}, {header}}
end
local seqs, headers = page(v, tonumber(ARGV[1]), tonumber(ARGV[2]))
if not seqs then return headers end
return {'ok', seqs, headers}
"""

# A page of headers (ARGV[1] limit, ARGV[2] before or ''), with the attachments
# under each listed record's chosen id and under ARGV[3] on.
_LISTING = """
local v, damage = voucher()
if damage then return damage end
local seqs, headers = {}, {}
if v then
  seqs, headers = page(v, tonumber(ARGV[1]), tonumber(ARGV[2]))
  if not seqs then return headers end
end
local names = {}
for i = 1, #headers do
  local got = items(headers[i], 1)
  if got and type(got[1]) == 'string' then names[#names + 1] = got[1] end
end
for i = 3, #ARGV do names[#names + 1] = ARGV[i] end
local keys, frames = attached(names)
return {'ok', seqs, headers, keys, frames}
"""

# Remove the records below the cutoff: ARGV[1] is keep_last, ARGV[2] keep_from
# (or ''), ARGV[3] a fresh incarnation (for an upgrade), ARGV[4] the
# incarnation the caller read (or ''): a timeline not known by it is left as
# it is. The attachments under ARGV[5] on go too. The walk down from the head
# reads only records that are kept; the delete goes over the fields the hashes
# hold, so its cost never follows a seq range. Replies the records removed and
# their bodies' bytes, counted as they go.
_PRUNE = """
local v, damage = voucher()
if damage then return damage end
if ARGV[4] ~= '' and not (v and known_as(v, ARGV[4])) then return {'ok', 0, 0} end
local detach = {}
for i = 5, #ARGV do detach[#detach + 1] = ARGV[i] end
if not v then
  remove(KEYS[5], detach)
  return {'ok', 0, 0}
end
local cutoff = math.max(v.first, v.head - tonumber(ARGV[1]) + 1)
if ARGV[2] ~= '' then cutoff = math.max(v.first, math.min(cutoff, tonumber(ARGV[2]))) end
local seq = v.head
while seq >= cutoff and cutoff > v.first do  -- down to where no kept record replays from below it
  local header = redis.call('HGET', KEYS[2], field(seq))
  if not header then return {'corrupt', seq, 'record missing'} end
  local base = base_of(header)
  if not base then return {'corrupt', seq, 'unreadable header'} end
  if base < v.first then return {'corrupt', seq, 'its keyframe ' .. field(base) .. ' is not kept'} end
  if base < cutoff then cutoff = base end
  seq = seq - 1
end
remove(KEYS[5], detach)
if cutoff <= v.first then return {'ok', 0, 0} end
upgrade(v, ARGV[3])
-- The fields below the cutoff (by their name, or with by_value by their value) go; with
-- measure, the second value is the bytes they held.
local function below(key, by_value, measure)
  local found, names, bytes = redis.call(by_value and 'HGETALL' or 'HKEYS', key), {}, 0
  local step = by_value and 2 or 1
  for i = 1, #found, step do
    local at = tonumber(found[i + step - 1])
    if at and at < cutoff then
      names[#names + 1] = found[i]
      if measure then bytes = bytes + redis.call('HSTRLEN', key, found[i]) end
    end
  end
  remove(key, names)
  return #names, bytes
end
local removed = below(KEYS[2], false)
local _, bytes = below(KEYS[3], false, true)
local ids = v.ids - below(KEYS[4], true)
redis.call('HSET', KEYS[1], 'first', field(cutoff), 'ids', field(math.max(ids, 0)))
return {'ok', removed, bytes}
"""

_DROP = """
redis.call('DEL', unpack(KEYS))
return {'ok'}
"""

# ARGV[1] ttl (ms, 0 for none), then attachments.
_ATTACH = """
local keys, values = merged(2)
if not keys then return values end
write_attachments(keys, values)
renew(tonumber(ARGV[1]))
return {'ok'}
"""

# ARGV[1] ttl (ms). Expiry set again on the keys that exist: a read that refreshes a thread's ttl.
_TOUCH = """
renew(tonumber(ARGV[1]))
return {'ok'}
"""

_ATTACHMENTS = """
local names = {}
for i = 1, #ARGV do names[i] = ARGV[i] end
local keys, frames = attached(names)
return {'ok', keys, frames}
"""

_DETACH = """
local names = {}
for i = 1, #ARGV do names[i] = ARGV[i] end
remove(KEYS[5], names)
return {'ok'}
"""

SCRIPTS = {
    name: _PRELUDE + text
    for name, text in {
        "head": _HEAD,
        "append": _APPEND,
        "read": _READ,
        "opening": _OPENING,
        "headers": _HEADERS,
        "listing": _LISTING,
        "prune": _PRUNE,
        "drop": _DROP,
        "attach": _ATTACH,
        "attachments": _ATTACHMENTS,
        "detach": _DETACH,
        "touch": _TOUCH,
    }.items()
}

"""Timelines in Redis: one server (or cluster) shared by every worker of a service.

Core commands only, so any Redis from 5 on, Valkey and Debian's server serve
it; no modules. Each timeline is five keys that share one hash tag, so on a
cluster they live in one slot, and every operation is one Lua script over
them: atomic, one round trip, never a CROSSSLOT error.

    {prefix}:{<name>}:m   hash: head (the newest seq), its crc, first (the oldest kept)
    {prefix}:{<name>}:h   hash: seq -> the record's header, codec-encoded
    {prefix}:{<name>}:b   hash: seq -> the record's body, its raw bytes
    {prefix}:{<name>}:i   hash: chosen id -> seq
    {prefix}:{<name>}:x   hash: what users of the log attach to the timeline (see `attached`)

A header is `[id, parent, base, kind, format, timestamp, digest, header_crc,
crc, meta, body_size]`, so a listing reads no body. The append script moves
the head only if it is the one the writer built on (the compare-and-set of
the log contract), and with a `ttl` sets the expiry of all its keys at
once, so a thread expires whole. What the server keeps after a crash is
the server's durability (see the README); what reaches this code is checked
by the records' checksums like every other log's.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any

from .._core import dumps, loads
from .errors import ConflictError, CorruptRecordError
from .record import StoredRecord
from .timeline import TimelineFactory

try:
    import redis
except ImportError:  # the optional extra is not installed; RedisLog says so when it is made
    redis = None  # type: ignore[assignment]

_APPEND = """
local head = tonumber(redis.call('HGET', KEYS[1], 'head') or '0')
local head_crc = redis.call('HGET', KEYS[1], 'crc')
if head ~= tonumber(ARGV[1]) or (ARGV[8] ~= '' and head_crc and head_crc ~= ARGV[8])
    or (ARGV[9] ~= ARGV[2] and redis.call('HEXISTS', KEYS[2], ARGV[9]) == 0) then
  return {0, head, redis.call('HGET', KEYS[2], ARGV[2])}
end
if ARGV[3] ~= '' then
  local taken = redis.call('HGET', KEYS[4], ARGV[3])
  if taken then return {-1, head, taken} end
  redis.call('HSET', KEYS[4], ARGV[3], ARGV[2])
end
redis.call('HSET', KEYS[2], ARGV[2], ARGV[4])
redis.call('HSET', KEYS[3], ARGV[2], ARGV[5])
if head == 0 then redis.call('HSET', KEYS[1], 'first', ARGV[2]) end
redis.call('HSET', KEYS[1], 'head', ARGV[2], 'crc', ARGV[7])
local ttl = tonumber(ARGV[6])
if ttl > 0 then
  for i = 1, #KEYS do redis.call('PEXPIRE', KEYS[i], ttl) end
end
return {1, head, false}
"""

# HMGET in batches: a Lua call takes a bounded number of arguments.
_FIELDS = """
local function fields(key, seqs)
  local out = {}
  for i = 1, #seqs, 1000 do
    local got = redis.call('HMGET', key, unpack(seqs, i, math.min(i + 999, #seqs)))
    for j = 1, #got do out[#out + 1] = got[j] end
  end
  return out
end
"""

# Headers of seqs `top` down to `top - limit + 1`, or of the record with a chosen id.
_HEADERS = (
    _FIELDS
    + """
local head = tonumber(redis.call('HGET', KEYS[1], 'head') or '0')
if head == 0 then return {} end
local first = tonumber(redis.call('HGET', KEYS[1], 'first'))
local seqs = {}
if ARGV[3] ~= '' then
  local seq = redis.call('HGET', KEYS[4], ARGV[3])
  if seq then seqs[1] = tonumber(seq) end
else
  local top = head
  if ARGV[2] ~= '' then top = math.min(head, tonumber(ARGV[2]) - 1) end
  local bottom = math.max(first, top - tonumber(ARGV[1]) + 1)
  for seq = top, bottom, -1 do seqs[#seqs + 1] = seq end
end
if #seqs == 0 then return {} end
return {seqs, fields(KEYS[2], seqs)}
"""
)

# Headers and bodies of the seqs from ARGV[1] to ARGV[2] that are kept.
_READ = (
    _FIELDS
    + """
local head = tonumber(redis.call('HGET', KEYS[1], 'head') or '0')
if head == 0 then return {} end
local low = math.max(tonumber(ARGV[1]), tonumber(redis.call('HGET', KEYS[1], 'first')))
local high = math.min(tonumber(ARGV[2]), head)
if low > high then return {} end
local seqs = {}
for seq = low, high do seqs[#seqs + 1] = seq end
return {seqs, fields(KEYS[2], seqs), fields(KEYS[3], seqs)}
"""
)

# Drop the records below ARGV[1] but never the head; with no ARGV[1], the whole timeline.
_DROP = """
if ARGV[1] == '' then
  redis.call('DEL', unpack(KEYS))
  return 0
end
local head = tonumber(redis.call('HGET', KEYS[1], 'head') or '0')
if head == 0 then return 0 end
local first = tonumber(redis.call('HGET', KEYS[1], 'first'))
local stop = math.min(tonumber(ARGV[1]), head)
if stop <= first then return 0 end
local batch = {}
for seq = first, stop - 1 do
  batch[#batch + 1] = seq
  if #batch == 1000 or seq == stop - 1 then
    redis.call('HDEL', KEYS[2], unpack(batch))
    redis.call('HDEL', KEYS[3], unpack(batch))
    batch = {}
  end
end
local ids = redis.call('HGETALL', KEYS[4])
for i = 1, #ids, 2 do
  if tonumber(ids[i + 1]) < stop then redis.call('HDEL', KEYS[4], ids[i]) end
end
redis.call('HSET', KEYS[1], 'first', stop)
return stop - first
"""


class RedisLog(TimelineFactory):
    """Timelines in Redis, under `prefix`; `ttl` (seconds) makes idle timelines expire whole.

    `url_or_client` is a URL (`redis://host:port/db`) or a client of the `redis`
    package (`redis.Redis` or `redis.cluster.RedisCluster`) made without
    `decode_responses`. A client passed in stays open at `close()`.
    """

    def __init__(self, url_or_client: Any, prefix: str = "dz", ttl: float | None = None):
        if redis is None:
            raise ImportError("RedisLog needs the redis package: pip install derirezaro[redis]")
        if not isinstance(prefix, str) or not prefix or any(c in prefix for c in "{}*?[]\\"):
            raise ValueError(
                f"prefix must be a non-empty str without braces or glob characters, not {prefix!r}"
            )
        if ttl is not None and not ttl > 0:
            raise ValueError(f"ttl must be a positive number of seconds or None, not {ttl!r}")
        owned = isinstance(url_or_client, str)
        client = redis.Redis.from_url(url_or_client) if owned else url_or_client
        if _decodes_responses(client):
            raise ValueError("the client must return bytes: make it without decode_responses=True")
        self.prefix, self.ttl = prefix, ttl
        self._client, self._owned = client, owned
        self._server = _describe(client, url_or_client)
        self._scripts = {name: client.register_script(text) for name, text in _SCRIPTS.items()}
        self._closed = False
        self._lock = threading.Lock()

    def _keys(self, timeline: str) -> list[str]:
        tag = f"{self.prefix}:{{{timeline}}}"
        return [f"{tag}:m", f"{tag}:h", f"{tag}:b", f"{tag}:i", f"{tag}:x"]

    def attached(self, lua: str) -> Callable[[str, list[Any]], Any]:
        """A Lua script over a timeline's attached hash, for data kept beside its records.

        The script gets the attached hash as KEYS[1] and the timeline's record
        keys after it, all in one slot; the hash expires with the timeline when
        a script renews every key's expiry (as appends do) and goes with `drop()`.
        Returns `run(timeline, args)`, which raises as the log's own calls do.
        """
        script = self._client.register_script(lua)

        def run(timeline: str, args: list[Any]) -> Any:
            keys = self._keys(timeline)
            return self._call(timeline, lambda: script(keys=[keys[-1], *keys[:-1]], args=args))

        return run

    def _run(self, script: str, timeline: str, args: list[Any]) -> Any:
        return self._call(timeline, lambda: self._scripts[script](keys=self._keys(timeline), args=args))

    def _call(self, timeline: str, work: Callable[[], Any]) -> Any:
        if self._closed:
            raise ValueError(f"the log {self!r} is closed")
        try:
            return work()
        except (redis.ConnectionError, redis.TimeoutError) as exc:
            raise ConnectionError(
                f"Redis server {self._server} unreachable for timeline {timeline!r}: {exc}"
            ) from exc
        except redis.ResponseError as exc:  # a key of the timeline that holds something else
            raise CorruptRecordError(timeline, None, f"unreadable keys ({exc})") from None

    # -- the log contract ------------------------------------------------------

    def append(
        self, timeline: str, expected_head: int, record: StoredRecord, head_crc: int | None = None
    ) -> int:
        header = _encode_header(record)
        ttl = 0 if self.ttl is None else max(1, round(self.ttl * 1000))
        expected_crc = "" if head_crc is None else str(head_crc)
        args = [
            expected_head,
            record.seq,
            record.id or "",
            header,
            record.body or b"",
            ttl,
            str(record.crc),
            expected_crc,
            record.base,  # a delta goes in only while its chain's keyframe is kept
        ]
        outcome, head, stored = self._run("append", timeline, args)
        if outcome == 1:
            return record.seq
        if outcome == -1:
            raise ValueError(f"timeline {timeline!r} already has a record with id {record.id!r}")
        if stored is not None:
            row = _decode(timeline, record.seq, stored, None)
            if (row.id, row.crc) == (record.id, record.crc):
                return record.seq  # a retry of an append that did land
        raise ConflictError(timeline, expected_head, head or None)

    def read(self, timeline: str, first: int, last: int, base: int | None = None) -> list[StoredRecord]:
        reply = self._run("read", timeline, [first, last])
        if not reply:
            return []
        seqs, headers, bodies = reply
        rows = []
        for seq, header, body in zip(seqs, headers, bodies, strict=True):
            if header is None:
                continue  # not kept: what a reader of a pruned range finds
            row = _decode(timeline, seq, header, body)
            if base is None or row.base == base:
                rows.append(row)
        return rows

    def headers(
        self, timeline: str, *, limit: int, before: int | None = None, id: str | None = None
    ) -> list[StoredRecord]:
        if limit <= 0:
            return []
        reply = self._run("headers", timeline, [limit, "" if before is None else before, id or ""])
        if not reply:
            return []
        seqs, headers = reply
        rows = [
            _decode(timeline, seq, header, None)
            for seq, header in zip(seqs, headers, strict=True)
            if header is not None  # an id left behind by a drop that the script did not reach
        ]
        if id is not None and rows and rows[0].id != id:
            raise CorruptRecordError(timeline, rows[0].seq, f"indexed under id {id!r}, stored with another")
        return rows

    def drop(self, timeline: str, before: int | None = None) -> None:
        self._run("drop", timeline, ["" if before is None else before])

    def timelines(self, prefix: str = "") -> list[str]:
        if self._closed:
            raise ValueError(f"the log {self!r} is closed")
        start, end = f"{self.prefix}:{{", "}:m"
        pattern = start + "".join("\\" + c if c in "*?[]\\" else c for c in prefix) + "*" + end
        try:
            keys = self._client.scan_iter(match=pattern, count=1000)
            names = {key.decode()[len(start) : -len(end)] for key in keys}
        except (redis.ConnectionError, redis.TimeoutError) as exc:
            raise ConnectionError(f"Redis server {self._server} unreachable: {exc}") from exc
        return sorted(names)

    def close(self) -> None:
        with self._lock:
            if self._closed:
                return
            self._closed = True
            if self._owned:
                self._client.close()

    def __repr__(self) -> str:
        return f"RedisLog({self._server!r}, prefix={self.prefix!r})"


_SCRIPTS = {"append": _APPEND, "headers": _HEADERS, "read": _READ, "drop": _DROP}


def _encode_header(r: StoredRecord) -> bytes:
    return dumps(
        [
            r.id,
            r.parent,
            r.base,
            r.kind,
            r.format,
            r.timestamp,
            r.digest,
            r.header_crc,
            r.crc,
            r.meta,
            r.body_size,
        ]
    )


def _decode(timeline: str, seq: int, header: bytes, body: bytes | None) -> StoredRecord:
    """A record from its stored header (and body); what is no header is a damaged record, never data."""
    try:
        fields = loads(header)
    except ValueError as exc:
        raise CorruptRecordError(timeline, seq, f"undecodable header ({exc})") from None
    if type(fields) is not list or len(fields) != 11:
        raise CorruptRecordError(timeline, seq, "a header that is not one")
    id, parent, base, kind, format, timestamp, digest, header_crc, crc, meta, body_size = fields
    if type(meta) is not bytes or type(body_size) is not int:
        raise CorruptRecordError(timeline, seq, "a header that is not one")
    return StoredRecord(
        int(seq), id, parent, base, kind, format, timestamp, digest, header_crc, crc, meta, body, body_size
    )


def _decodes_responses(client: Any) -> bool:
    try:
        return bool(client.get_connection_kwargs().get("decode_responses"))
    except AttributeError:  # a cluster client keeps the option on its nodes' pools
        return bool(getattr(getattr(client, "encoder", None), "decode_responses", False))


def _describe(client: Any, given: Any) -> str:
    if isinstance(given, str):
        return given.split("@")[-1]  # no password in messages
    try:
        kwargs = client.get_connection_kwargs()
        return f"{kwargs.get('host', '?')}:{kwargs.get('port', '?')}"
    except AttributeError:
        return type(client).__name__

"""RedisLog where only Redis can fail it: eviction, refusals, replicas, a killed server, a cluster, expiry.

The model test and the other log tests of test_persist_model.py run on RedisLog too; here are the
servers of each test's own (tests/redis_server.py): loopback, free ports, stopped whatever happens.
"""

import os
import random
import signal
import subprocess
import threading
import time

import pytest
import redis
from derirezaro import Store
from derirezaro._core import dumps
from derirezaro.persist import (
    ConflictError,
    ConnectionLostError,
    CorruptRecordError,
    MemoryLog,
    PersistError,
    RedisLog,
    TimelineHead,
    UnavailableError,
)
from derirezaro.persist.record import DELTA, KEYFRAME, seal
from derirezaro.persist.redis_log import _encode_header
from redis._parsers.base import BaseParser
from redis.cluster import RedisCluster
from redis_server import SERVER_ENV, RedisServer, Relay, fresh_prefix, replica_of, require, shared_url
from test_persist_durability import spawn, state_of, step

DURABLE = ("--appendonly", "yes", "--appendfsync", "always")


class Servers:
    """Servers of one test's own, each stopped at its end."""

    def __init__(self):
        self.started = []

    def start(self, *options):
        self.started.append(server := RedisServer(*options))
        return server.start()

    def replica(self, primary, *options):
        self.started.append(replica := replica_of(primary, *options))
        return replica

    def stop(self):
        for server in reversed(self.started):
            server.stop()


@pytest.fixture
def servers():
    require()
    started = Servers()
    yield started
    started.stop()


@pytest.fixture
def server(servers):
    return servers.start(*DURABLE)


def record(name, seq, base=None, id=None, body=None):
    """A record as a log stores it; logs keep bodies verbatim, so any bytes will do."""
    base = seq if base is None else base
    return seal(
        name,
        seq=seq,
        id=id,
        parent=None if base == seq else seq - 1,
        base=base,
        kind=KEYFRAME if base == seq else DELTA,
        timestamp=float(seq),
        digest=seq,
        meta=b"",
        body=b"body %d" % seq if body is None else body,
    )


def stored(client, log, *names):
    """Every byte a log holds for `names`, and its names set."""
    keys = [key for name in names for key in log._keys(name)] + [log._names]
    return {key: client.dump(key) for key in keys}


# -- the contract, against the model ------------------------------------------------


def call(log, op, p):
    """One call of the model test, with the parameters `p` drawn for it."""
    name = p["name"]
    if op == "append":
        return log.append(name, p["row"], p["expected"], p["attach"])
    if op == "prune":
        return log.prune(name, p["keep_last"], p["keep_from"], p["keys"])
    if op == "drop":
        return log.drop(name)
    if op == "read":
        return log.read(name, p["low"], p["low"] + p["span"], p["base"])
    if op == "headers":
        head = log.head(name)
        return None if head is None else head[1:], log.headers(
            name, limit=p["span"], before=p["before"], id=p["id"]
        )
    if op == "listing":
        return log.listing(name, limit=p["span"], before=p["before"], keys=p["keys"])
    if op == "attach":
        log.attach(name, p["keys"][0], p["entries"])
    elif op == "detach":
        log.detach(name, p["keys"])
    else:
        return log.timelines(name[:1])
    return log.attachments(name, p["ids"])


def outcome(log, op, p):
    try:
        return "ok", call(log, op, p)
    except ConflictError as exc:
        return "conflict", exc.expected, exc.actual
    except ValueError:
        return ("ValueError",)


def test_the_redis_log_answers_as_the_memory_log_does():
    """Random calls on a few timelines, each made to both logs with each log's own heads."""
    rng, names, ids = random.Random(20), ["a", "ab", "x}y", "ünï"], [f"c{i}" for i in range(6)]
    ops = ["append", "retry", "prune", "drop", "read", "headers", "listing", "attach", "detach", "list"]
    for _ in range(4):
        logs, incarnations = (MemoryLog(), RedisLog(shared_url(), prefix=fresh_prefix())), {}
        seen = {name: [(None, None)] for name in names}  # the heads the two logs vouched for, in pairs
        appended = []
        for _ in range(300):
            op = rng.choices(ops, [10, 1, 1, 0.3, 2, 2, 1, 1, 0.5, 0.5])[0]
            name = rng.choice(names)
            top = seen[name][-1][0].seq if seen[name][-1][0] else 0
            p = {
                "name": name,
                "ids": ids,
                "keys": rng.sample(ids, 2),
                "entries": [("w", rng.randint(-1, 1), rng.randbytes(2))],
                "keep_last": rng.randint(1, 4),
                "keep_from": rng.choice([None, rng.randint(1, top + 2)]),
                "low": rng.randint(0, top + 1),
                "span": rng.randint(0, 6),
                "base": rng.choice([None, rng.randint(1, top + 1)]),
                "before": rng.choice([None, rng.randint(1, top + 2)]),
                "id": rng.choice([None, rng.choice(ids)]),
            }
            if op == "retry" and appended:  # one of the last appends, perhaps with others since
                p, heads = rng.choice(appended[-3:])
            elif op in ("append", "retry"):
                heads = seen[name][-1] if rng.random() < 0.8 else rng.choice(seen[name])
                seq = 1 if heads[0] is None else heads[0].seq + 1
                keyframe = seq == 1 or rng.random() < 0.3
                base = seq if keyframe else rng.randint(max(1, heads[0].first - 1), seq - 1)
                p["row"] = record(
                    name, seq, base, rng.choice([None, None, rng.choice(ids)]), rng.randbytes(9)
                )
                p["attach"] = rng.choice([None, {p["keys"][0]: p["entries"]}])
                appended.append((p, heads))
            if op in ("append", "retry"):
                got = [outcome(log, "append", {**p, "expected": heads[i]}) for i, log in enumerate(logs)]
            else:
                got = [outcome(log, op, p) for log in logs]
            if op in ("append", "retry") and got[0][0] == got[1][0] == "ok":
                memory, other = got[0][1], got[1][1]
                assert memory[1:] == other[1:], (op, p)
                assert incarnations.setdefault(memory.incarnation, other.incarnation) == other.incarnation
                assert len(set(incarnations.values())) == len(incarnations)  # a drop's is never reused
                seen[p["name"]].append((memory, other))
                continue
            if op == "drop":
                seen[name].append((None, None))
            assert got[0] == got[1], (op, p)
        logs[1].close()


# -- damage: what eviction or a hand edit leaves ---------------------------------------------


def commit_six(log, name):
    """Six commits, keyframes at 1 and 4, chosen ids at 1, 4 and 6."""
    tl = log.timeline(name, store := Store(), keyframe_every=3)
    for i in range(6):
        store.set("s", f"k{i % 2}", i)
        tl.commit(id={0: "one", 3: "four", 5: "six"}.get(i))
    return tl


def read_whole(log, name, ids):
    """Every read of a timeline through the log; raises where one finds damage."""
    head = log.head(name)
    if head is None:
        return None
    rows = log.read(name, head.first, head.seq)
    assert [row.seq for row in log.headers(name, limit=head.seq + 1)] == [row.seq for row in rows][::-1]
    assert [row.seq for row in rows] == list(range(head.first, head.seq + 1))
    for id in ids:
        assert [row.id for row in log.headers(name, limit=1, id=id)] == [id]
    return head


def read_through_timeline(log, name, ids):
    """What a fresh handle makes of the timeline: "damage", "gone" or its seqs, newest first."""
    try:
        tl = log.timeline(name, Store(), cache_size=1)
        if tl.head is None:
            return "gone"
        problems = tl.verify()
        seqs = [r.seq for r in tl.records()]
        for id in ids:
            tl.checkout(id)
    except CorruptRecordError as exc:
        assert exc.timeline == name
        return "damage"
    return "damage" if problems else seqs


# (what goes, how, the record a read names (None: the timeline as a whole), whether a commit is refused)
DELETIONS = [
    ("the meta hash", lambda c, k: c.delete(k[0]), None, True),
    ("the headers hash", lambda c, k: c.delete(k[1]), 6, True),
    ("the bodies hash", lambda c, k: c.delete(k[2]), 1, True),
    ("the id index", lambda c, k: c.delete(k[3]), None, True),
    ("a header", lambda c, k: c.hdel(k[1], "3"), 3, False),
    ("a body", lambda c, k: c.hdel(k[2], "2"), 2, False),
    ("the head's header", lambda c, k: c.hdel(k[1], "6"), 6, True),
    ("the head's body", lambda c, k: c.hdel(k[2], "6"), 6, True),
    ("an indexed record's header", lambda c, k: c.hdel(k[1], "4"), 4, False),
]


@pytest.mark.parametrize("what, delete, seq, refused", DELETIONS, ids=[row[0] for row in DELETIONS])
def test_a_key_or_field_deleted_by_hand_reads_as_damage(what, delete, seq, refused):
    client, log = redis.Redis.from_url(shared_url()), RedisLog(shared_url(), prefix=fresh_prefix())
    tl, ids = commit_six(log, "t"), ["one", "four", "six"]
    head = read_whole(log, "t", ids)
    delete(client, log._keys("t"))
    with pytest.raises(CorruptRecordError) as raised:
        read_whole(log, "t", ids)
    assert (raised.value.timeline, raised.value.seq) == ("t", seq)
    assert read_through_timeline(log, "t", ids) == "damage"
    assert log.timelines() == ["t"]  # listed, so that it is found damaged
    before = stored(client, log, "t")
    # Neither a new timeline over the old records...
    with pytest.raises(CorruptRecordError if what == "the meta hash" else ConflictError):
        log.append("t", record("t", 1), None)
    assert stored(client, log, "t") == before
    tl.store.set("s", "k", "after")
    if refused:  # ...nor a commit on a head whose records are not all there
        with pytest.raises(CorruptRecordError):
            tl.commit(id="seven")
        assert stored(client, log, "t") == before
    else:
        assert tl.commit(id="seven").seq == 7 == log.head("t").seq == head.seq + 1
        with pytest.raises(CorruptRecordError):  # and the damage is still reported
            read_whole(log, "t", ids)


def test_keys_that_hold_no_record_are_reported_as_damage():
    client = redis.Redis.from_url(shared_url())
    log = RedisLog(client, prefix=fresh_prefix())
    commit_six(log, "t")
    meta, headers, bodies, ids, _ = log._keys("t")
    damage = [
        lambda: client.hset(headers, "2", b"\x93not a header"),
        lambda: client.hset(headers, "2", b"\xc1"),
        lambda: client.hset(bodies, "3", b"garbage"),
        lambda: (client.delete(headers), client.set(headers, b"a string")),
        lambda: client.hset(meta, "head", "x"),
        lambda: client.hdel(meta, "inc"),  # ids without inc: not a voucher written before incarnations
        lambda: client.hdel(meta, "ids"),  # inc without ids
        lambda: (client.hdel(meta, "inc", "ids"), client.hset(meta, "was", "0")),
        lambda: client.hset(meta, "was", "7"),  # only 0 was ever a timeline's name before its upgrade
        lambda: client.hdel(meta, "inc", "ids", "first"),  # as written before incarnations, cut short
        lambda: client.hset(meta, "first", "9"),  # above the head
        lambda: client.hset(ids, "four", "99"),  # an id indexed outside the timeline
    ]
    for apply in damage:
        saved = {key: client.dump(key) for key in (meta, headers, bodies, ids)}
        apply()
        assert read_through_timeline(log, "t", ["one", "four"]) == "damage"
        for key, value in saved.items():
            client.restore(key, 0, value, replace=True)
    assert read_through_timeline(log, "t", ["one", "four"]) == [6, 5, 4, 3, 2, 1]


@pytest.mark.parametrize("policy, ttl", [("allkeys-lru", None), ("volatile-lru", 3600)])
def test_an_evicted_key_reads_as_damage_never_as_a_shorter_timeline(servers, policy, ttl):
    server = servers.start("--maxmemory-policy", policy)
    client, rng = server.client(), random.Random(3)
    client.config_set("maxmemory", client.info("memory")["used_memory"] + 2**20)
    log = RedisLog(server.url, prefix="ev", ttl=ttl)
    handles = {f"t{i}": log.timeline(f"t{i}", Store(), keyframe_every=4) for i in range(120)}
    committed = dict.fromkeys(handles, 0)
    for round in range(40):  # round robin, so that eviction finds timelines in the middle of their life
        for name, tl in handles.items():
            if committed[name] == round:
                tl.store.set("s", f"k{round % 5}", rng.randbytes(200))
                try:
                    tl.commit(id=f"c{round}" if round % 7 == 0 else None)
                except PersistError:  # its keys were evicted: it is judged below
                    continue
                committed[name] += 1
    assert client.info("stats")["evicted_keys"] > 0
    client.config_set("maxmemory", 0)  # what eviction left, judged without more of it
    outcomes = {}
    for name, n in committed.items():
        ids = [f"c{r}" for r in range(0, n, 7)]
        try:
            whole = read_whole(log, name, ids)
        except CorruptRecordError as exc:
            assert exc.timeline == name
            whole = "damage"
        through = read_through_timeline(log, name, ids)
        if whole is None:  # every key of it went: as a ttl ends a timeline, so can allkeys-lru
            assert through == "gone" and client.exists(*log._keys(name)[:4]) == 0
        elif whole == "damage":
            assert through == "damage"
        else:  # whole: every record it acknowledged, or damage the timeline's own checks found
            assert (whole.first, whole.seq) == (1, n) and through in ([*range(n, 0, -1)], "damage")
        outcomes[name] = "gone" if whole is None else "damage" if whole == "damage" else "whole"
    assert "damage" in outcomes.values()
    assert log.timelines() == sorted(name for name, got in outcomes.items() if got != "gone")


# -- a log written before incarnations: read as it is, upgraded by its first write -----------

# The scripts of the release before incarnations (ac127af), as they ran: its voucher held head,
# crc and first alone, its prune cut below a seq the caller chose, and the pending writes of its
# LangGraph saver were appended to an attachment field frame after frame, duplicates and all.
OLD_APPEND = """
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
OLD_PRUNE = """
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
OLD_ADD_WRITES = """
redis.call('HSET', KEYS[1], ARGV[1], (redis.call('HGET', KEYS[1], ARGV[1]) or '') .. ARGV[2])
local ttl = tonumber(ARGV[3])
if ttl > 0 then
  for i = 1, #KEYS do redis.call('PEXPIRE', KEYS[i], ttl) end
end
return 1
"""
PENDING = [("t1", 0, b"a"), ("\x00mark", -100, b"m1"), ("t1", 0, b"retried"), ("\x00mark", -100, b"m2")]
RESOLVED = [("t1", 0, b"a"), ("\x00mark", -100, b"m2")]  # the first of a write wins, a mark replaces


def write_as_before_incarnations(client, log, name, commits, ids, prune_below=None, pending=()):
    """A timeline written by the old scripts, with records a Timeline made; its records, as stored."""
    memory = MemoryLog()
    tl = memory.timeline(name, store := Store(), keyframe_every=3)
    for i in range(1, commits + 1):
        store.set("s", f"k{i % 3}", [name, i])
        tl.commit(meta={"step": i}, id=ids.get(i))
    rows, keys = memory.read(name, 1, commits), log._keys(name)
    for row in rows:
        before = "" if row.seq == 1 else str(rows[row.seq - 2].crc)
        args = [row.seq - 1, row.seq, row.id or "", _encode_header(row), row.body, 0, str(row.crc), before]
        assert client.eval(OLD_APPEND, 5, *keys, *args, row.base)[0] == 1
    if prune_below is not None:
        client.eval(OLD_PRUNE, 5, *keys, prune_below)
    for key in pending:
        for entry in PENDING:
            frame = dumps(list(entry))
            client.eval(OLD_ADD_WRITES, 5, keys[4], *keys[:4], key, len(frame).to_bytes(4, "big") + frame, 0)
    return [row for row in rows if prune_below is None or row.seq >= prune_below]


def test_a_log_written_before_incarnations_reads_whole_and_its_first_write_upgrades_it():
    client, prefix = redis.Redis.from_url(shared_url()), fresh_prefix()
    log = RedisLog(client, prefix=prefix)
    # "a": pruned below its keyframe 4, which took the id "one" but not its pending writes.
    a = write_as_before_incarnations(
        client, log, "a", 8, {1: "one", 5: "five", 8: "eight"}, 4, ["one", "five"]
    )
    assert [row.base for row in a] == [4, 4, 4, 7, 7]
    b = write_as_before_incarnations(client, log, "x}y", 2, {})
    write_as_before_incarnations(client, log, "w", 0, {}, pending=["c"])  # pending writes, no record yet
    assert {k.decode() for k in client.hkeys(log._keys("a")[0])} == {"head", "crc", "first"}
    assert not client.exists(log._names)

    # Sound, as it is: every record, every id, the attachments; incarnation 0, whatever is read.
    for name, rows in (("a", a), ("x}y", b)):
        head = TimelineHead(0, rows[-1].seq, rows[-1].crc, rows[0].seq)
        assert log.head(name) == head and log.read(name, 1, 99) == rows
        assert log.headers(name, limit=99) == [row._replace(body=None) for row in reversed(rows)]
        tl = log.timeline(name, Store())
        assert tl.verify() == [] and tl.head.meta == {"step": rows[-1].seq}
        oldest = {("s", f"k{i % 3}"): [name, i] for i in range(1, rows[0].seq + 1)}
        assert state_of(tl.checkout(rows[0].seq)) == oldest
        assert log.head(name) == head  # reads upgrade nothing
    assert [row.seq for row in log.headers("a", limit=1, id="five")] == [5]
    assert log.headers("a", limit=1, id="one") == []
    assert log.listing("a", limit=9, keys=["one"])[1] == {"five": RESOLVED, "one": RESOLVED}
    assert log.attachments("w", ["c"]) == {"c": RESOLVED} and log.head("w") is None

    # The first listing builds the names set from the keys, once.
    assert log.timelines() == ["a", "x}y"] and client.zscore(log._names, b"\xff") is not None
    assert client.zrange(log._names, 0, -1) == [b"a", b"x}y", b"\xff"]

    # A prune that removes nothing writes nothing; one that removes records upgrades the voucher,
    # and a handle that read incarnation 0 before it still commits on the same head.
    meta_a, meta_b = log._keys("a")[0], log._keys("x}y")[0]
    before = client.dump(meta_b)
    assert log.prune("x}y", keep_last=5) == 0 and client.dump(meta_b) == before
    stale = log.timeline("a", Store())
    assert log.prune("a", keep_last=2) == 3  # 4, 5 and 6: 7 is the keyframe of 8
    upgraded = client.hgetall(meta_a)
    assert upgraded[b"was"] == b"0" and int(upgraded[b"ids"]) == client.hlen(log._keys("a")[3]) == 1
    incarnation = int(upgraded[b"inc"])
    assert incarnation != 0 and log.head("a") == TimelineHead(incarnation, 8, a[-1].crc, 7)
    stale.store.set("s", "k0", "after")
    assert stale.commit(id="nine").seq == 9 and stale.verify() == []
    assert log.head("a") == TimelineHead(incarnation, 9, log.read("a", 9, 9)[0].crc, 7)

    # An append upgrades too; its retry by a writer that read incarnation 0 is still recognised.
    old_head = log.head("x}y")
    tl = log.timeline("x}y", Store())
    tl.store.set("s", "k9", 9)
    tl.commit(id="three")
    row = log.read("x}y", 3, 3)[0]
    now = log.head("x}y")
    assert now.incarnation not in (0, incarnation) and log.append("x}y", row, old_head) == now
    assert client.hget(meta_b, "ids") == b"1" and client.hget(meta_b, "was") == b"0"

    # A drop takes the name it was known by before with it: the timeline written anew is another.
    log.drop("x}y")
    first = log.append("x}y", record("x}y", 1), None)
    with pytest.raises(ConflictError):
        log.append("x}y", record("x}y", 2), first._replace(incarnation=0))
    assert log.timelines() == ["a", "x}y"]


def test_a_legacy_voucher_whose_retry_waits_for_replicas_is_upgraded_not_left_half():
    """A retry with `replicas` writes to the voucher so that its WAIT covers the record: an upgrade."""
    client, prefix = redis.Redis.from_url(shared_url()), fresh_prefix()
    log = RedisLog(client, prefix=prefix)
    rows = write_as_before_incarnations(client, log, "t", 2, {2: "two"})
    waiting = RedisLog(client, prefix=prefix, replicas=1, replica_timeout=0.05)  # a server of no replicas
    with pytest.raises(UnavailableError, match="0 of the 1 replicas"):
        waiting.append("t", rows[1], TimelineHead(0, 1, rows[0].crc, 1))
    head = log.head("t")
    assert head.incarnation != 0 and head[1:] == (2, rows[1].crc, 1)
    assert client.hmget(log._keys("t")[0], "ids", "was") == [b"1", b"0"]
    assert log.timeline("t", Store()).verify() == []


# -- refusals: a healthy server that will not write ----------------------------------


def out_of_memory(server, client):
    client.config_set("maxmemory-policy", "noeviction")
    client.config_set("maxmemory", 1)
    return lambda: client.config_set("maxmemory", 0)


def failing_snapshots(server, client):
    os.rmdir(server.directory)  # the snapshot the server forks cannot be written (nothing is there yet)
    client.config_set("save", "3600 1")
    client.config_set("stop-writes-on-bgsave-error", "yes")
    client.bgsave()
    deadline = time.monotonic() + 10
    while (persistence := client.info("persistence"))["rdb_last_bgsave_status"] != "err" or persistence[
        "rdb_bgsave_in_progress"
    ]:
        assert time.monotonic() < deadline
        time.sleep(0.01)
    return lambda: (client.config_set("stop-writes-on-bgsave-error", "no"), client.config_set("save", ""))


def no_replicas(server, client):
    client.config_set("min-replicas-to-write", 1)
    return lambda: client.config_set("min-replicas-to-write", 0)


BUSY_LOOP = """
local function now() local t = redis.call('TIME'); return t[1] * 1000 + t[2] / 1000 end
local start = now()
while now() - start < tonumber(ARGV[1]) do end
return 1
"""


def a_long_script(server, client):
    client.config_set("lua-time-limit", 10)  # after 10 ms others are told the server is busy
    runner = threading.Thread(target=lambda: server.client().eval(BUSY_LOOP, 0, 1500))
    runner.start()
    time.sleep(0.1)
    return runner.join


REFUSALS = [  # the server's code, how to make it refuse, what it refuses
    ("OOM", out_of_memory, ["commit", "append", "create", "attach"]),
    ("MISCONF", failing_snapshots, ["commit", "append", "create", "prune", "drop", "attach"]),
    ("NOREPLICAS", no_replicas, ["commit", "append", "create", "prune", "drop", "attach"]),
    ("BUSY", a_long_script, ["commit", "append", "create", "prune", "head", "read", "list"]),
]


def refused_calls(log, tl):
    head = log.head("t")
    return {
        "commit": lambda: (tl.store.set("s", "k", "refused"), tl.commit()),
        "append": lambda: log.append("t", record("t", head.seq + 1), head),
        "create": lambda: log.append("new", record("new", 1), None),
        "prune": lambda: log.prune("t", 1),
        "drop": lambda: log.drop("t"),
        "attach": lambda: log.attach("t", "k", [("w", 0, b"x")]),
        "head": lambda: log.head("t"),
        "read": lambda: log.read("t", 1, 9),
        "list": lambda: log.timelines(),
    }


@pytest.mark.parametrize("code, refuse, refused", REFUSALS, ids=[row[0] for row in REFUSALS])
def test_a_refusal_is_unavailable_never_damage_and_changes_nothing(servers, code, refuse, refused):
    server = servers.start()
    client, log = server.client(), RedisLog(server.url, prefix="r")
    tl = commit_six(log, "t")
    before, calls = stored(client, log, "t", "new"), refused_calls(log, tl)
    undo = refuse(server, client)
    try:
        for name in refused:
            with pytest.raises(UnavailableError) as raised:
                calls[name]()
            assert raised.value.reason.startswith(code) and str(server.port) in raised.value.server
            assert not isinstance(raised.value, ConnectionError), name
    finally:
        undo()
    assert stored(client, log, "t", "new") == before
    assert tl.commit().seq == 7 and read_whole(log, "t", ["one", "four", "six"]).seq == 7


def test_a_read_only_replica_refuses_every_write(servers):
    primary = servers.start()
    replica = servers.replica(primary)
    tl = commit_six(RedisLog(primary.url, prefix="r"), "t")
    log, deadline = RedisLog(replica.url, prefix="r"), time.monotonic() + 10
    while log.head("t") is None or log.head("t").seq < 6:
        assert time.monotonic() < deadline
        time.sleep(0.01)
    before = stored(replica.client(), log, "t", "new")
    tl = log.timeline("t", tl.store)
    calls = refused_calls(log, tl)
    for name in ["commit", "append", "create", "prune", "drop", "attach"]:
        with pytest.raises(UnavailableError, match="READONLY"):
            calls[name]()
    assert stored(replica.client(), log, "t", "new") == before
    assert read_whole(log, "t", ["one", "four", "six"]).seq == 6  # reads are served


@pytest.mark.parametrize(
    "reply, error",
    [
        ("OOM command not allowed when used memory > 'maxmemory'.", UnavailableError),
        ("READONLY You can't write against a read only replica.", UnavailableError),
        ("MISCONF Errors writing to the AOF file", UnavailableError),
        ("BUSY Redis is busy running a script.", UnavailableError),
        ("LOADING Redis is loading the dataset in memory", UnavailableError),
        ("MASTERDOWN Link with MASTER is down", UnavailableError),
        ("CLUSTERDOWN The cluster is down", UnavailableError),
        ("TRYAGAIN Multiple keys request during rehashing of slot", UnavailableError),
        ("NOREPLICAS Not enough good replicas to write.", UnavailableError),
        ("NOPERM this user has no permissions to run the 'evalsha' command", UnavailableError),
        ("WRONGTYPE Operation against a key holding the wrong kind of value", CorruptRecordError),
        ("ERR user_script:12: Bad data format in input.", CorruptRecordError),
    ],
)
def test_each_reply_of_the_server_is_mapped_to_what_it_means(reply, error):
    """The parser of redis-py cuts off the codes it has classes for; the reason keeps them."""
    log = RedisLog(redis.Redis(), prefix="e")  # no connection is made
    mapped = log._failure(BaseParser.parse_error(reply), "t")
    assert type(mapped) is error and not isinstance(mapped, ConnectionError)
    if error is UnavailableError:
        assert mapped.reason == reply and mapped.timeline == "t"
    for lost in (redis.ConnectionError("reset by peer"), redis.TimeoutError("timed out")):
        mapped = log._failure(lost, "t")
        assert isinstance(mapped, ConnectionLostError) and isinstance(mapped, ConnectionError)


def test_a_mark_replaced_again_and_again_is_stored_once():
    client, log = redis.Redis.from_url(shared_url()), RedisLog(shared_url(), prefix=fresh_prefix())
    log.attach("t", "k", [("w", 0, b"first"), ("w", 1, b"x")])  # before the timeline's first record
    for i in range(100):
        log.attach("t", "k", [("mark", -1, b"%03d" % i), ("w", 0, b"ignored")])
    log.append("t", record("t", 1), None, {"k": [("mark", -1, b"last"), ("w", 2, b"y")]})
    entries = [("w", 0, b"first"), ("w", 1, b"x"), ("mark", -1, b"last"), ("w", 2, b"y")]
    assert log.attachments("t", ["k", "other"]) == {"k": entries}
    assert log.listing("t", limit=5, keys=["k"])[1] == {"k": entries}
    assert client.hstrlen(log._keys("t")[4], "k") < 100  # one frame an entry
    client.hset(log._keys("t")[4], "k", b"\x00\x00\x00\x20cut short")
    before = stored(client, log, "t")
    for call in (lambda: log.attachments("t", ["k"]), lambda: log.attach("t", "k", [("w", 3, b"z")])):
        with pytest.raises(CorruptRecordError, match="attachments"):
            call()
    assert stored(client, log, "t") == before


# -- outcomes a client cannot see -------------------------------------------------


def test_an_append_whose_reply_is_lost_is_learnt_on_retry(servers):
    server = servers.start()
    relay = Relay(server.port)
    try:
        log, direct = RedisLog(relay.url, prefix="l"), RedisLog(server.url, prefix="l")
        head = log.append("t", record("t", 1), None)
        relay.drop_replies = True
        with pytest.raises(ConnectionLostError) as raised:
            log.append("t", record("t", 2, id="two"), head, {"two": [("w", 0, b"x")]})
        assert isinstance(raised.value, ConnectionError) and "'t'" in str(raised.value)
        assert direct.head("t").seq == 2  # it landed
        relay.drop_replies = False
        again = log.append("t", record("t", 2, id="two"), head, {"two": [("w", 0, b"y")]})
        assert again == direct.head("t") and again.seq == 2
        assert direct.attachments("t", ["two"]) == {"two": [("w", 0, b"x")]}  # stored once
        assert len(direct.read("t", 1, 9)) == 2
    finally:
        relay.stop()


def test_with_replicas_a_write_waits_for_them_and_says_when_they_lag(servers):
    primary = servers.start()
    replica = servers.replica(primary)
    # A generous wait where the replica keeps up (a loaded machine must not fail it), a short one where not.
    log = RedisLog(primary.url, prefix="w", replicas=1, replica_timeout=10)
    hasty = RedisLog(primary.url, prefix="w", replicas=1, replica_timeout=0.2)
    on_replica = RedisLog(replica.url, prefix="w")
    head = log.append("t", record("t", 1), None)
    assert on_replica.head("t") == head and on_replica.timelines() == ["t"]  # acknowledged: there already
    head = log.append("t", record("t", 2), head)
    os.kill(replica.process.pid, signal.SIGSTOP)  # a replica that lags: it holds nothing new
    try:
        with pytest.raises(UnavailableError, match="0 of the 1 replicas") as raised:
            hasty.append("t", record("t", 3), head)
        assert not isinstance(raised.value, ConnectionError)
        assert log.head("t").seq == 3  # on the primary
    finally:
        os.kill(replica.process.pid, signal.SIGCONT)
    assert log.append("t", record("t", 3), head).seq == 3  # the retry: success once it is replicated
    assert on_replica.head("t").seq == 3
    assert log.prune("t", 1) == 2 and on_replica.head("t").first == 3
    log.drop("t")
    assert on_replica.head("t") is None
    head = log.append("u", record("u", 1), None)
    more = RedisLog(primary.url, prefix="w", replicas=2, replica_timeout=0.1)
    with pytest.raises(UnavailableError, match="1 of the 2 replicas"):
        more.append("u", record("u", 2), head)
    assert on_replica.head("u").seq == 2  # the one replica acknowledged it


def test_bad_arguments_are_refused_and_write_nothing():
    client, prefix = redis.Redis.from_url(shared_url()), fresh_prefix()
    log = RedisLog(client, prefix=prefix)
    head = log.append("t", record("t", 1), None)
    calls = [
        (lambda: RedisLog(client, prefix="a{b"), ValueError),
        (lambda: RedisLog(client, prefix=prefix, ttl=0), ValueError),
        (lambda: RedisLog(client, prefix=prefix, replicas=-1), ValueError),
        (lambda: RedisLog(client, prefix=prefix, replica_timeout=0), ValueError),
        (lambda: RedisLog(redis.Redis(decode_responses=True), prefix=prefix), ValueError),
        (lambda: log.append("t", record("t", 3), head), ValueError),  # not the head's next seq
        (lambda: log.append("u", record("u", 2, base=1), None), ValueError),  # not seq 1
        (lambda: log.append("t", record("t", 2)._replace(body=None), head), ValueError),
        (lambda: log.append("t", record("t", 2), head, {"k": [("w", "0", b"x")]}), TypeError),
        (lambda: log.attach("t", 7, [("w", 0, b"x")]), TypeError),
        (lambda: log.prune("t", 0), ValueError),
        (lambda: log.prune("t", 1, "2"), TypeError),
        (lambda: log.read("t", "1", 2), TypeError),
        (lambda: log.headers("t", limit=1.5), TypeError),
        (lambda: log.listing("t", limit=1, before="2"), TypeError),
    ]
    before = stored(client, log, "t", "u")
    for call, error in calls:
        with pytest.raises(error):
            call()
    assert stored(client, log, "t", "u") == before
    log.close()
    with pytest.raises(ValueError, match="closed"):
        log.head("t")


def test_a_retry_is_recognised_only_in_the_incarnation_it_was_made_in():
    log = RedisLog(shared_url(), prefix=fresh_prefix())
    one, two = record("t", 1), record("t", 2)
    old = log.append("t", two, log.append("t", one, None))
    log.drop("t")
    new = log.append("t", two, log.append("t", one, None))  # the same records, another incarnation
    assert new.incarnation != old.incarnation
    with pytest.raises(ConflictError):  # a writer of the dropped one, retrying its append
        log.append("t", two, old._replace(seq=1, crc=one.crc))
    assert log.append("t", two, new._replace(seq=1, crc=one.crc)) == new  # a retry in its own


# -- costs that must not follow a seq range, and the names set --------------------


def test_a_first_far_below_the_head_costs_nothing(servers):
    server = servers.start()
    client = server.client(socket_timeout=5)  # a script that walked the seqs would time out
    log = RedisLog(client, prefix="f")
    log.append("t", record("t", 1), None)
    meta, headers, bodies, _, _ = log._keys("t")
    far = record("t", 10**9)  # records 2 .. 10^9 - 1 missing: damage, to be found at once
    client.hset(headers, far.seq, _encode_header(far))
    client.hset(bodies, far.seq, far.body)
    client.hset(meta, mapping={"head": far.seq, "crc": far.crc})
    head = log.head("t")
    for call, missing in (
        (lambda: log.read("t", 1, 10**9), 2),  # ascending: the lowest missing
        (lambda: log.headers("t", limit=10**9), 10**9 - 1),  # newest first: the highest
        (lambda: log.listing("t", limit=10**9), 10**9 - 1),
    ):
        with pytest.raises(CorruptRecordError) as raised:
            call()
        assert raised.value.seq == missing
    assert log.prune("t", keep_last=1) == 1
    assert log.head("t") == head._replace(first=10**9) and log.read("t", 1, 10**9) == [far]


def test_the_names_set_is_built_once_and_kept_in_step_with_creates_and_drops(servers):
    server = servers.start()
    client = server.client()
    log, other = RedisLog(server.url, prefix="n"), RedisLog(server.url, prefix="n")
    for name in ["a", "ab", "b", "x}y", "ünï"]:
        log.append(name, record(name, 1), None)
    client.delete(log._names)  # as a log written before the set existed
    assert log.timelines() == ["a", "ab", "b", "x}y", "ünï"] and log.timelines("a") == ["a", "ab"]
    assert log.timelines("ü") == ["ünï"] and log.timelines("c") == []
    client.zadd(log._names, {"gone": 0})  # a name whose timeline is gone: not listed, and removed
    assert log.timelines() == ["a", "ab", "b", "x}y", "ünï"] and client.zscore(log._names, "gone") is None

    # A create whose caller never heard back (a crash, a lost connection) is listed all the same.
    write = log._write

    def landed_unheard(*args):
        write(*args)
        raise ConnectionLostError("127.0.0.1", "lost")

    log._write = landed_unheard
    with pytest.raises(ConnectionLostError):
        log.append("c", record("c", 1), None)
    log._write = write
    assert log.timelines("c") == ["c"]

    # A drop's removal of the name runs after another writer created the timeline anew.
    forget = log._forget_names
    log._forget_names = lambda names: (other.append("b", record("b", 1), None), forget(names))
    log.drop("b")
    log._forget_names = forget
    assert log.timelines("b") == ["b"]

    # A drop runs whole while a create is between its first addition of the name and its script.
    write = other._write
    other._write = lambda *args: (log.drop("b"), write(*args))[1]
    other.append("b", record("b", 1), None)
    other._write = write
    assert log.timelines("b") == ["b"]


# -- a killed server, processes, a cluster, expiry, round trips --------------------


def test_a_killed_server_keeps_every_commit_it_acknowledged(server):
    where, rng, model, done = f"{server.url}#crash", random.Random(7), Store(), 0
    for _ in range(6):
        child = spawn("crash", where, "t", "w", 0)
        assert child.stdout.readline() == "ready\n"
        committing = child.stdout.readline()
        time.sleep(rng.uniform(0, 0.05))
        server.kill()  # SIGKILL: with appendfsync always, what was acknowledged is on disk
        out, err = child.communicate(timeout=30)
        acknowledged = [int(line) for line in (committing + out).split()]
        assert "ConnectionLostError" in err  # the writer learns that its server went away
        server.start()
        with RedisLog(server.url, prefix="crash") as log:
            tl = log.timeline("t", store := Store())
            n = tl.head.meta["step"]
            assert tl.verify() == [] and n >= max(acknowledged) > done
            assert [r.seq for r in tl.records()] == list(range(n, 0, -1))
            for i in range(done + 1, n + 1):
                step(model, i)
            assert state_of(store.snapshot()) == state_of(model.snapshot())
            done = n


def test_two_processes_compare_and_set_one_timeline(server):
    writers = [("t", "a", 150), ("t", "b", 150), ("u", "c", 100)]
    children = [spawn("cas", f"{server.url}#cas", *w) for w in writers]
    for child in children:
        assert child.stdout.readline() == "ready\n", child.communicate()[1]
        print("go", file=child.stdin, flush=True)
    won = {"t": {}, "u": {}}
    for (name, who, _), child in zip(writers, children, strict=True):
        out, err = child.communicate(timeout=60)
        assert child.returncode == 0, err
        for seq, attempt in (map(int, line.split()) for line in out.splitlines()):
            assert won[name].setdefault(seq, (who, attempt)) == (who, attempt)  # one winner a seq
    with RedisLog(server.url, prefix="cas") as log:
        for name, wins in won.items():
            tl, state = log.timeline(name, Store()), {}
            assert sorted(wins) == list(range(1, tl.head.seq + 1)) and tl.verify() == []
            for seq, (who, attempt) in sorted(wins.items()):
                state["w", who] = attempt
                assert state_of(tl.checkout(seq)) == state


def test_a_server_that_goes_away_is_named_and_the_next_commit_lands(server):
    log = RedisLog(server.url, prefix="away")
    tl = log.timeline("thread-1", store := Store())
    store.set("s", "k", 1)
    tl.commit()
    server.kill()
    store.set("s", "k", 2)
    with pytest.raises(ConnectionLostError) as raised:
        tl.commit()
    assert f"127.0.0.1:{server.port}" in str(raised.value) and "'thread-1'" in str(raised.value)
    server.start()
    assert tl.commit().seq == 2  # nothing landed while it was away
    other = RedisLog(server.url, prefix="away").timeline("thread-1", Store())
    other.store.set("s", "k", 3)
    other.commit()
    with pytest.raises(ConflictError):  # the first handle is now behind: a conflict, not a fork
        tl.commit()
    log.close()


def test_a_thread_expires_whole():
    client = redis.Redis.from_url(shared_url())
    log = RedisLog(client, prefix=fresh_prefix(), ttl=0.4)
    tl = log.timeline("t", store := Store())
    tl.commit(id="first")
    log.attach("t", "first", [("w", 0, b"x")])
    for i in range(20):
        store.set("s", f"k{i}", i)
        tl.commit()
    keys = log._keys("t")
    ttls = [client.pttl(key) for key in keys]
    assert all(0 < t <= 400 for t in ttls) and max(ttls) - min(ttls) < 50  # set together, by the last commit
    deadline = time.monotonic() + 3
    while present := client.exists(*keys):  # one command sees one moment of expiry
        assert present == len(keys), "a thread expired in part"
        assert time.monotonic() < deadline
        time.sleep(0.005)
    assert log.timelines() == [] and log.timeline("t", Store()).head is None


class CountingRedis(redis.Redis):
    """A client that counts its round trips: one per command it sends on its own."""

    trips = 0

    def execute_command(self, *args, **options):
        self.trips += 1
        return super().execute_command(*args, **options)


def test_round_trips_per_call():
    client = CountingRedis.from_url(shared_url())
    log = RedisLog(client, prefix=fresh_prefix())
    tl = log.timeline("t", store := Store(), cache_size=1)
    for i in range(30):
        store.set("s", f"k{i % 4}", i)
        tl.commit()

    def trips(call):
        client.trips = 0
        call()
        return client.trips

    log.read("t", 1, 1)  # the server has every script now: no call pays for loading one

    assert trips(tl.commit) == 1
    assert trips(lambda: tl.head) <= 2
    assert trips(lambda: list(tl.records(limit=10))) <= 3
    tl._points.keep_only(tl.parent)
    assert trips(lambda: tl.checkout(7)) <= 3  # the voucher and the header, then the chain in one read
    client.script_flush()  # as a restarted server forgets its scripts: loaded again on NOSCRIPT
    store.set("s", "k0", "after the flush")
    assert tl.commit().seq == 32 == tl.head.seq


def test_a_cluster_keeps_each_thread_in_one_slot(tmp_path):
    require()
    options = (
        "--cluster-enabled",
        "yes",
        "--cluster-config-file",
        "nodes.conf",
        "--cluster-node-timeout",
        "2000",
    )
    nodes = [RedisServer(*options) for _ in range(3)]
    try:
        for node in nodes:
            node.start()
        addresses = [f"127.0.0.1:{node.port}" for node in nodes]
        command = ["redis-cli", "--cluster", "create", *addresses, "--cluster-replicas", "0", "--cluster-yes"]
        subprocess.run(command, check=True, capture_output=True, timeout=60, env=SERVER_ENV)
        deadline = time.monotonic() + 20
        while redis.Redis(port=nodes[0].port).cluster("info").get("cluster_state") != "ok":
            assert time.monotonic() < deadline, "the cluster did not come up"
            time.sleep(0.05)
        client = RedisCluster(host="127.0.0.1", port=nodes[0].port)
        log = RedisLog(client, prefix="cl")
        names = ["thread-1", "thread-2", "a{b}c", "x}y", "ünï"]
        states = {}
        for name in names:
            tl = log.timeline(name, store := Store(), keyframe_every=4)
            for i in range(12):
                store.set("s", f"k{i % 3}", [name, i])
                tl.commit(id=f"c{i}" if i % 4 == 0 else None)
            states[name] = state_of(store.snapshot())
            assert len({client.keyslot(key) for key in log._keys(name)}) == 1
        assert log.timelines() == sorted(names)  # the names set, in a slot of its own
        client.delete(log._names)
        assert log.timelines() == sorted(names)  # built again from every node's keys
        for name in names:
            tl = log.timeline(name, Store())
            assert state_of(tl.store.snapshot()) == states[name] and tl.verify() == []
            assert tl.checkout("c4") is not None
            tl.prune(keep_last=3)
        log.timeline("thread-2", Store()).delete()
        assert log.timelines() == sorted(set(names) - {"thread-2"})
        waiting = RedisLog(client, prefix="cl", replicas=1, replica_timeout=0.05)  # a cluster of no replicas
        head = log.head("x}y")
        with pytest.raises(UnavailableError, match="0 of the 1 replicas"):
            waiting.append("x}y", record("x}y", head.seq + 1), head)
        assert log.head("x}y") == head._replace(seq=head.seq + 1, crc=record("x}y", head.seq + 1).crc)
        client.close()
    finally:
        for node in nodes:
            node.stop()

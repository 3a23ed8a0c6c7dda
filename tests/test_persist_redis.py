"""RedisLog where only Redis can fail it: eviction, hand edits, a stalled or lost server, replicas, a cluster.

The model test (test_persist_model.py), the direct calls and the refusals of test_persist_logs.py
and the races of test_persist_races.py run on RedisLog too; here are the faults only a server
shows, on servers of each test's own (tests/redis_server.py).
"""

import functools
import logging
import os
import signal
import subprocess
import threading

import pytest
import redis
from derirezaro import Store
from derirezaro._core import dumps
from derirezaro.persist import (
    ConflictError,
    ConnectionLostError,
    CorruptRecordError,
    RedisLog,
    TimelineHead,
    UnavailableError,
)
from derirezaro.persist.redis_log import _encode_header
from redis.cluster import RedisCluster
from redis_server import SERVER_ENV, fresh_prefix, shared_url, wait_for
from test_persist_logs import CALLS, IDS, commit_six, holds, read_whole, refused, sealed


def shared():
    """A client of the shared server, and a log on it under a prefix of its own."""
    return (client := redis.Redis.from_url(shared_url())), RedisLog(client, prefix=fresh_prefix())


def read_through_timeline(log, name):
    """What a fresh handle makes of the timeline: "damage" or its seqs, newest first."""
    try:
        tl = log.timeline(name, Store(), cache_size=1)
        problems, seqs = tl.verify(), [r.seq for r in tl.records()]
        for id in IDS:
            tl.checkout(id)
    except CorruptRecordError as exc:
        assert exc.timeline == name
        return "damage"
    return "damage" if problems else seqs


# -- damage: what eviction or a hand edit leaves ---------------------------------------------

# (what, how (client, the timeline's keys), the seq the log's own reads name (None: the timeline,
# False: only a timeline's checks see it), whether a commit on it is refused)
DAMAGE = [
    ("meta deleted", lambda c, k: c.delete(k[0]), None, True),
    ("meta and headers deleted", lambda c, k: c.delete(k[0], k[1]), None, True),
    ("headers deleted", lambda c, k: c.delete(k[1]), 6, True),
    ("bodies deleted", lambda c, k: c.delete(k[2]), 1, True),
    ("id index deleted", lambda c, k: c.delete(k[3]), None, True),
    ("a header deleted", lambda c, k: c.hdel(k[1], "3"), 3, False),
    ("a body deleted", lambda c, k: c.hdel(k[2], "2"), 2, False),
    ("the head's header deleted", lambda c, k: c.hdel(k[1], "6"), 6, True),
    ("the head's body deleted", lambda c, k: c.hdel(k[2], "6"), 6, True),
    ("an indexed record's header deleted", lambda c, k: c.hdel(k[1], "4"), 4, False),
    ("a header that is not one", lambda c, k: c.hset(k[1], "2", b"\x93not a header"), 2, False),
    ("a header that is no msgpack", lambda c, k: c.hset(k[1], "2", b"\xc1"), 2, False),
    ("a body that is not one", lambda c, k: c.hset(k[2], "3", b"garbage"), False, False),
    ("headers that are a string", lambda c, k: (c.delete(k[1]), c.set(k[1], b"a string")), None, True),
    ("a head that is no number", lambda c, k: c.hset(k[0], "head", "x"), None, True),
    ("ids without inc", lambda c, k: c.hdel(k[0], "inc"), None, True),  # not a voucher before incarnations
    ("inc without ids", lambda c, k: c.hdel(k[0], "ids"), None, True),
    ("was without inc", lambda c, k: (c.hdel(k[0], "inc", "ids"), c.hset(k[0], "was", "0")), None, True),
    ("was other than 0", lambda c, k: c.hset(k[0], "was", "7"), None, True),  # only 0 was ever upgraded
    ("a legacy voucher cut short", lambda c, k: c.hdel(k[0], "inc", "ids", "first"), None, True),
    ("first above the head", lambda c, k: c.hset(k[0], "first", "9"), None, True),
    ("an id indexed outside the timeline", lambda c, k: c.hset(k[3], "four", "99"), 99, False),
]


@pytest.mark.parametrize("what, damage, seq, refused", DAMAGE, ids=[row[0] for row in DAMAGE])
def test_a_key_or_field_lost_or_edited_reads_as_damage_and_writes_refuse_it(what, damage, seq, refused):
    client, log = shared()
    tl = commit_six(log, "t")
    damage(client, log._keys("t"))
    try:
        read_whole(log, "t")
        named = False
    except CorruptRecordError as exc:
        named = exc.seq if exc.timeline == "t" else exc
    assert (named, read_through_timeline(log, "t"), log.timelines()) == (seq, "damage", ["t"])
    before = holds(log)
    with pytest.raises((CorruptRecordError, ConflictError)):  # neither a new timeline over the old records...
        log.append("t", sealed("t", 1), None)
    assert holds(log) == before
    tl.store.set("s", "k", "after")
    if refused:  # ...nor a commit on a head whose records are not all there
        with pytest.raises(CorruptRecordError):
            tl.commit(id="seven")
        assert holds(log) == before
    else:
        assert tl.commit(id="seven").seq == 7 == log.head("t").seq
        assert read_through_timeline(log, "t") == "damage"  # and the damage is still reported


# -- a log written before incarnations: read as it is, upgraded by its first write -----------

PENDING = [("t1", 0, b"a"), ("\x00mark", -100, b"m1"), ("t1", 0, b"retried"), ("\x00mark", -100, b"m2")]
RESOLVED = [("t1", 0, b"a"), ("\x00mark", -100, b"m2")]  # the first of a write wins, a mark replaces


def write_as_before_incarnations(client, log, name, commits, ids, first=1, pending=None):
    """A timeline as the release before incarnations (ac127af) left it: its records from `first` on as
    now, a voucher of head, crc and first alone, no names set, and pending writes as its LangGraph
    saver appended them, frame after frame, duplicates and all. Returns its records."""
    tl = log.timeline(name, store := Store(), keyframe_every=3)
    for i in range(1, commits + 1):
        store.set("s", f"k{i % 3}", [name, i])
        tl.commit(meta={"step": i}, id=ids.get(i))
    log.prune(name, keep_last=commits - first + 1)
    client.hdel(log._keys(name)[0], "inc", "ids")
    client.delete(log._names)
    frames = b"".join(len(f := dumps(list(e))).to_bytes(4, "big") + f for e in PENDING)
    if pending:
        client.hset(log._keys(name)[4], pending, frames)
    return log.read(name, first, commits)


def test_a_log_written_before_incarnations_reads_whole_and_its_first_write_upgrades_it():
    client, log = shared()
    # "a": pruned below its keyframe 4, which took the id "one" but not its pending writes.
    a = write_as_before_incarnations(client, log, "a", 8, {1: "one", 5: "five", 8: "eight"}, 4, "one")
    b = write_as_before_incarnations(client, log, "x}y", 2, {})
    # Sound, as it is: every record, every id, the attachments; incarnation 0, whatever is read.
    for name, rows in (("a", a), ("x}y", b)):
        head = TimelineHead(0, rows[-1].seq, rows[-1].crc, rows[0].seq)
        assert log.head(name) == head and log.read(name, 1, 99) == rows
        tl = log.timeline(name, Store())
        assert tl.verify() == [] and tl.head.meta == {"step": rows[-1].seq}  # every chain replayed
        assert log.head(name) == head  # reads upgrade nothing
    assert [row.seq for row in log.headers("a", limit=1, id="five")] == [5]
    assert log.listing("a", limit=9, keys=["one"])[1] == {"one": RESOLVED}
    # The first listing builds the names set from the keys, once.
    assert log.timelines() == ["a", "x}y"] and client.zrange(log._names, 0, -1) == [b"a", b"x}y", b"\xff"]

    # A prune that removes nothing writes nothing; one that removes records upgrades the voucher,
    # and a handle that read incarnation 0 before it still commits on the same head.
    before = client.dump(log._keys("x}y")[0])
    assert log.prune("x}y", keep_last=5) == (0, 0) and client.dump(log._keys("x}y")[0]) == before
    stale = log.timeline("a", Store())
    assert log.prune("a", keep_last=2) == (3, sum(len(row.body) for row in a[:3]))  # 4-6: 7 is 8's keyframe
    upgraded = client.hgetall(log._keys("a")[0])
    assert upgraded[b"was"] == b"0" and int(upgraded[b"ids"]) == client.hlen(log._keys("a")[3]) == 1
    assert log.head("a") == TimelineHead(int(upgraded[b"inc"]), 8, a[-1].crc, 7) != (0, 8, a[-1].crc, 7)
    stale.store.set("s", "k0", "after")
    assert stale.commit(id="nine").seq == 9 and stale.verify() == []

    # An append upgrades too; its retry by a writer that read incarnation 0 is still recognised.
    old_head = log.head("x}y")
    (tl := log.timeline("x}y", Store())).store.set("s", "k9", 9)
    assert tl.commit(id="three").seq == 3
    row, now = log.read("x}y", 3, 3)[0], log.head("x}y")
    assert now.incarnation not in (0, int(upgraded[b"inc"])) and log.append("x}y", row, old_head) == now
    assert client.hmget(log._keys("x}y")[0], "ids", "was") == [b"1", b"0"]
    # A drop takes the name it was known by before with it: the timeline written anew is another.
    log.drop("x}y")
    first = log.append("x}y", sealed("x}y", 1), None)
    with pytest.raises(ConflictError):
        log.append("x}y", sealed("x}y", 2), first._replace(incarnation=0))

    # A retry that waits for replicas writes to the voucher, so that its WAIT covers the record: an upgrade.
    r = write_as_before_incarnations(client, log, "r", 2, {2: "two"})
    waiting = RedisLog(client, prefix=log.prefix, replicas=1, replica_timeout=0.05)  # a server of no replicas
    refused(lambda: waiting.append("r", r[1], TimelineHead(0, 1, r[0].crc, 1)), "0 of the 1 replicas")
    assert log.head("r").incarnation != 0 and log.head("r")[1:] == (2, r[1].crc, 1)
    assert client.hmget(log._keys("r")[0], "ids", "was") == [b"1", b"0"]
    assert log.timeline("r", Store()).verify() == []


def test_a_mark_replaced_again_and_again_is_stored_once_and_a_frame_cut_short_is_damage():
    client, log = shared()
    for i in range(100):
        log.attach("t", "k", [("mark", -1, b"%03d" % i), ("w", 0, b"x")])
    assert log.attachments("t", ["k"]) == {"k": [("mark", -1, b"099"), ("w", 0, b"x")]}
    assert client.hstrlen(log._keys("t")[4], "k") < 100  # one frame an entry
    client.hset(log._keys("t")[4], "k", b"\x00\x00\x00\x20cut short")
    before = holds(log)
    for call in (lambda: log.attachments("t", ["k"]), lambda: log.attach("t", "k", [("w", 3, b"z")])):
        with pytest.raises(CorruptRecordError, match="attachments"):
            call()
    assert holds(log) == before


# -- defaults that keep a timeline safe: no eviction, no wait without end -----------------------

EVICTION = [  # the server's options, allow_eviction, whether writes go through, what is logged at WARNING
    (("--maxmemory-policy", "allkeys-lru"), False, False, None),
    (("--maxmemory-policy", "volatile-ttl"), False, False, None),
    (("--maxmemory-policy", "allkeys-lru"), True, True, None),
    ((), False, True, None),  # noeviction, the server's default
    (("--rename-command", "CONFIG", ""), False, True, "does not answer CONFIG"),  # as managed services do
]


@pytest.mark.parametrize("options, allow, writes, warned", EVICTION, ids=[" ".join(r[0]) for r in EVICTION])
def test_a_server_that_may_evict_is_read_but_not_written_unless_allowed(
    servers, caplog, options, allow, writes, warned
):
    server = servers(*options)
    commit_six(RedisLog(server.url, prefix="e", allow_eviction=True), "t")
    caplog.clear()
    caplog.set_level(logging.DEBUG, logger="derirezaro")
    log = RedisLog(server.url, prefix="e", allow_eviction=allow)
    tl = log.timeline("t", Store())
    assert tl.verify() == [] and log.timelines() == ["t"]  # an operator can read and copy out what it holds
    calls = [functools.partial(CALLS[n], log, tl) for n in ("commit", "create", "attach", "prune", "drop")]
    if not writes:
        before = holds(log)
        for call in calls:
            error = refused(call)
            assert str(server.port) in error.server, error
            for words in (f"maxmemory-policy is '{options[1]}'", "noeviction", "allow_eviction=True"):
                assert words in error.reason
        assert holds(log) == before
        server.client().config_set("maxmemory-policy", "noeviction")  # set right: the same log writes
    for call in calls:
        call()
    warnings = [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING]
    assert len(warnings) == (warned is not None) and all(warned in text for text in warnings)


def test_a_stalled_server_fails_a_commit_within_the_timeout_and_the_commit_lands_once_after(servers, caplog):
    server = servers()
    log = RedisLog(server.url, prefix="p", socket_timeout=0.5, socket_connect_timeout=0.5)
    (tl := log.timeline("t", store := Store())).commit()
    store.set("s", "k", 1)
    caplog.set_level(logging.INFO, logger="derirezaro")
    os.kill(server.process.pid, signal.SIGSTOP)
    # A commit that waited on for ever fails the test, when this resumes the server, rather than hang it.
    (watchdog := threading.Timer(60, os.kill, (server.process.pid, signal.SIGCONT))).start()
    try:
        with pytest.raises(ConnectionLostError, match="'t'"):
            tl.commit()
    finally:
        watchdog.cancel()
        os.kill(server.process.pid, signal.SIGCONT)
    assert tl.commit().seq == 2 == log.head("t").seq  # the same commit again: it landed once
    # The outage, naming the server and what failed; the commit sent again; the server back.
    logged = [(r.name.rsplit(".", 1)[1], r.levelname) for r in caplog.records]
    assert logged == [("redis_log", "WARNING"), ("timeline", "INFO"), ("redis_log", "INFO")]
    assert all(words in caplog.records[0].getMessage() for words in (str(server.port), "connection lost"))
    server.stop()  # a server gone: a connection refused, or reset, is lost as a reply that never came is
    with pytest.raises(ConnectionLostError, match="'t'"):
        log.head("t")


def test_a_read_stopped_by_script_kill_is_unavailable_and_can_be_sent_again(servers):
    server = servers()
    log = RedisLog(server.url, prefix="k")
    head, read = log.append("t", sealed("t", 1), None), log._scripts["head"]
    server.client().config_set("lua-time-limit", 10)  # after 10 ms the server takes SCRIPT KILL
    spin = "local t = redis.call('TIME')[1] while redis.call('TIME')[1] - t < 5 do end"
    log._scripts["head"] = log._client.register_script(spin)  # a read that runs long

    def kill():
        try:
            return server.client().script_kill()
        except redis.ResponseError:  # NOTBUSY: not running yet
            return False

    (killer := threading.Thread(target=wait_for, args=(kill, "SCRIPT KILL"))).start()
    refused(lambda: log.head("t"), "ERR Script killed by user")  # an operator's intervention, no damage
    killer.join()
    log._scripts["head"] = read
    assert log.head("t") == head


# -- replicas ----------------------------------------------------------------------


def test_with_replicas_a_write_waits_for_them_and_says_when_they_lag(servers):
    primary = servers()
    replica = servers(replica=primary)
    # A generous wait where the replica keeps up (a loaded machine must not fail it), a short one where not.
    log = RedisLog(primary.url, prefix="w", replicas=1, replica_timeout=10)
    hasty = RedisLog(primary.url, prefix="w", replicas=1, replica_timeout=0.2)
    on_replica = RedisLog(replica.url, prefix="w")
    head = log.append("t", sealed("t", 1), None)
    assert on_replica.head("t") == head and on_replica.timelines() == ["t"]  # acknowledged: there already
    head = log.append("t", sealed("t", 2), head)
    os.kill(replica.process.pid, signal.SIGSTOP)  # a replica that lags: it holds nothing new
    try:
        refused(lambda: hasty.append("t", sealed("t", 3), head), "0 of the 1 replicas")
        assert log.head("t").seq == 3  # on the primary
    finally:
        os.kill(replica.process.pid, signal.SIGCONT)
    assert log.append("t", sealed("t", 3), head).seq == 3 == on_replica.head("t").seq  # a retry, replicated
    assert log.prune("t", 1) == (2, 2) and on_replica.head("t").first == 3
    log.drop("t")
    assert on_replica.head("t") is None
    head = log.append("u", sealed("u", 1), None)
    with primary.client() as client:  # a name whose timeline is gone (expired), in a set built whole
        client.zadd(log._names, {"gone": 0, b"\xff": 0})
        client.wait(1, 10_000)
    assert on_replica.timelines() == ["u"]  # listed without it; its removal left to the primary
    waiting = RedisLog(primary.url, prefix="w", replicas=2, replica_timeout=0.1)
    refused(lambda: waiting.append("u", sealed("u", 2), head), "1 of the 2 replicas")
    assert on_replica.head("u").seq == 2  # the one replica acknowledged it


# -- costs that must not follow a seq range, and the names set --------------------


def test_a_first_far_below_the_head_costs_nothing(servers):
    client = servers().client(socket_timeout=5)  # a script that walked the seqs would time out
    log = RedisLog(client, prefix="f")
    log.append("t", sealed("t", 1), None)
    meta, headers, bodies, _, _ = log._keys("t")
    far = sealed("t", 10**9)  # records 2 .. 10^9 - 1 missing: damage, to be found at once
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
    assert log.prune("t", keep_last=1) == (1, 1)
    assert log.head("t") == head._replace(first=10**9) and log.read("t", 1, 10**9) == [far]


def test_the_names_set_is_built_once_and_kept_in_step_with_creates_and_drops(servers):
    server = servers()
    client, log, other = server.client(), RedisLog(server.url, prefix="ñ"), RedisLog(server.url, prefix="ñ")
    for name in ["a", "ab", "b", "x}y", "}a", "ünï"]:
        log.append(name, sealed(name, 1), None)
    client.delete(log._names)  # built from the keys, under a prefix of more bytes than characters
    client.zadd(log._names, {"gone": 0})  # a name whose timeline is gone: not listed, and removed
    assert (
        log.timelines() == ["a", "ab", "b", "x}y", "}a", "ünï"] and client.zscore(log._names, "gone") is None
    )

    def meanwhile(log, method, step, after=False):  # `step` runs before (or after) the next call of `method`
        real = getattr(log, method)

        def call(*args):
            delattr(log, method)
            return (real(*args), step())[1] if after else (step(), real(*args))[1]

        setattr(log, method, call)

    def lost():
        raise ConnectionLostError("127.0.0.1", "lost")

    # A create whose caller never heard back (a crash, a lost connection) is listed all the same.
    meanwhile(log, "_write", lost, after=True)
    with pytest.raises(ConnectionLostError):
        log.append("c", sealed("c", 1), None)
    assert log.timelines("c") == ["c"]
    # A drop's removal of the name runs after another writer created the timeline anew.
    meanwhile(log, "_forget_names", lambda: other.append("b", sealed("b", 1), None))
    log.drop("b")
    assert log.timelines("b") == ["b"]
    # A drop runs whole while a create is between its first addition of the name and its script.
    meanwhile(other, "_write", lambda: log.drop("b"))
    other.append("b", sealed("b", 1), None)
    assert log.timelines("b") == ["b"]


# -- round trips, a cluster -----------------------------------------------------


def test_a_commit_is_one_round_trip_and_a_checkout_three():
    (client, log), sent = shared(), []
    send = client.execute_command
    client.execute_command = lambda *args, **options: sent.append(args[0]) or send(*args, **options)
    tl = log.timeline("t", store := Store(), cache_size=1)
    for i in range(30):
        store.set("s", f"k{i % 4}", i)
        tl.commit()
    sent.clear()
    tl.commit()
    assert sent == ["EVALSHA"]
    tl._points.keep_only(tl.parent)
    tl.checkout(7)  # the voucher and the header, then the chain in one read
    assert len(sent) <= 1 + 3


def test_a_cluster_keeps_each_thread_in_one_slot(servers):
    nodes = [servers("--cluster-enabled", "yes", "--cluster-config-file", "nodes.conf") for _ in range(3)]
    command = ["redis-cli", "--cluster", "create", *(f"127.0.0.1:{n.port}" for n in nodes), "--cluster-yes"]
    subprocess.run(command, check=True, capture_output=True, timeout=60, env=SERVER_ENV)
    with nodes[0].client() as first:
        wait_for(lambda: first.cluster("info").get("cluster_state") == "ok", "the cluster coming up", 20)
    client, names = RedisCluster(host="127.0.0.1", port=nodes[0].port), ["t-1", "t-2", "a{b}c", "x}y", "ünï"]
    log = RedisLog(client, prefix="cl")
    with pytest.raises(ValueError, match="prefix"):  # a brace would move the hash tag
        RedisLog(client, prefix="a{b")
    for call, words in [  # refused before anything is sent, naming what and where
        (lambda: log.append("}a", sealed("}a", 1), None), "'}a': a name that starts with '}'"),  # no hash tag
        (lambda: log.head("}"), "'}': a name that starts with '}'"),
        (lambda: log.append("a\ud800", sealed("a", 1), None), "its name cannot be stored"),  # no UTF-8
        (lambda: log.attach("t", "k\ud800", [("w", 0, b"v")]), "'t': the attachment key 'k\\ud800'"),
        (lambda: log.attach("t", "k", [("w\ud800", 0, b"v")]), "under the attachment key 'k', the task"),
        (lambda: log.attachments("t", ["k\ud800"]), "'t': the attachment key 'k\\ud800'"),
    ]:
        with pytest.raises(ValueError) as raised:
            call()
        assert words in str(raised.value)
    assert holds(log) == {}  # the names set included
    for name in names:
        commit_six(log, name)
        assert len({client.keyslot(key) for key in log._keys(name)}) == 1
    client.delete(log._names)  # the names set, in a slot of its own: built again from every node's keys
    assert log.timelines() == sorted(names)
    assert all(read_through_timeline(log, name) == [6, 5, 4, 3, 2, 1] for name in names)
    assert [log.prune(name, 2).records for name in names] == [3] * 5 and log.drop("t-2") is None
    assert log.timelines() == sorted(set(names) - {"t-2"})
    waiting = RedisLog(client, prefix="cl", replicas=1, replica_timeout=0.05)  # a cluster of no replicas
    head, row = log.head("x}y"), sealed("x}y", 7)
    refused(lambda: waiting.append("x}y", row, head), "0 of the 1 replicas")
    assert log.head("x}y") == (head := head._replace(seq=7, crc=row.crc))
    # Its slot moved: a write that waits for replicas, sent to the node it was on, follows the MOVED.
    slot, on = client.keyslot(log._keys("x}y")[0]), client.get_node_from_key(log._keys("x}y")[0]).port
    home = next(node for node in nodes if node.port == on)
    away = next(node for node in nodes if node is not home)
    move_slot(nodes, slot, home, away)
    refused(lambda: waiting.append("x}y", sealed("x}y", 8), head), "0 of the 1 replicas")
    assert (head := log.head("x}y")).seq == 8
    client.close()
    # A URL of the cluster scheme makes a cluster client, and every primary's policy is read before a write.
    with nodes[1].client() as node:
        node.config_set("maxmemory-policy", "allkeys-lru")
    url = f"redis+cluster://127.0.0.1:{nodes[0].port}"
    by_url = RedisLog(url, prefix="cl")
    assert by_url.timelines() == sorted(set(names) - {"t-2"})
    with pytest.raises(UnavailableError, match=f"{nodes[1].port}.*maxmemory-policy is 'allkeys-lru'"):
        by_url.append("new", sealed("new", 1), None)
    assert RedisLog(url, prefix="cl", allow_eviction=True).append("new", sealed("new", 1), None).seq == 1
    # Moved back, and the node it was moved to gone: the write that finds it gone has the slots read
    # again, and the write retried lands where the slot is now.
    late = RedisLog(url, prefix="cl", replicas=1, replica_timeout=0.05, allow_eviction=True)
    assert late.head("x}y") == head
    move_slot(nodes, slot, away, home)
    away.stop()
    with pytest.raises(ConnectionLostError):
        late.append("x}y", sealed("x}y", 9), head)
    refused(lambda: late.append("x}y", sealed("x}y", 9), head), "0 of the 1 replicas")


def move_slot(nodes, slot, source, target):
    """Move `slot` of the cluster from `source` to `target`, keys and all, as resharding does."""
    with source.client() as sender, target.client() as receiver:
        source_id, target_id = (each.execute_command("CLUSTER MYID") for each in (sender, receiver))
        receiver.execute_command("CLUSTER SETSLOT", slot, "IMPORTING", source_id)
        sender.execute_command("CLUSTER SETSLOT", slot, "MIGRATING", target_id)
        if keys := sender.execute_command("CLUSTER GETKEYSINSLOT", slot, 1000):
            sender.execute_command("MIGRATE", "127.0.0.1", target.port, "", 0, 5000, "KEYS", *keys)
    for node in nodes:
        with node.client() as each:
            each.execute_command("CLUSTER SETSLOT", slot, "NODE", target_id)


@pytest.mark.parametrize(
    "ttl, error", [(True, TypeError), ("60", TypeError), (0, ValueError), (1e14, ValueError)]
)
def test_a_ttl_no_script_can_keep_is_refused_before_anything_is_sent(ttl, error):
    # 1e14 s: its milliseconds are no exact Lua number, and the script's PEXPIRE would fail after its writes.
    with pytest.raises(error, match="ttl"):
        RedisLog("redis://127.0.0.1:9", prefix="p", ttl=ttl)

"""RedisLog where only Redis can fail it: a killed server, a cluster, expiry, round trips, foreign keys.

The model test and the other log tests of test_persist_model.py run on RedisLog too; here are the
servers of each test's own (tests/redis_server.py): loopback, free ports, stopped whatever happens.
"""

import random
import subprocess
import time

import pytest
import redis
from derirezaro import Store
from derirezaro.persist import ConflictError, CorruptRecordError, RedisLog
from redis.cluster import RedisCluster
from redis_server import SERVER_ENV, RedisServer, fresh_prefix, require, shared_url
from test_persist_durability import spawn, state_of, step

DURABLE = ("--appendonly", "yes", "--appendfsync", "always")


@pytest.fixture
def server():
    require()
    server = RedisServer(*DURABLE).start()
    yield server
    server.stop()


def test_a_killed_server_keeps_every_commit_it_acknowledged(server):
    where, rng, model, done = f"{server.url}#crash", random.Random(7), Store(), 0
    for _ in range(6):
        child = spawn("crash", where, "t", "w", 0)
        assert child.stdout.readline() == "ready\n"
        assert child.stdout.readline()  # committing
        time.sleep(rng.uniform(0, 0.05))
        server.kill()  # SIGKILL: with appendfsync always, what was acknowledged is on disk
        out, err = child.communicate(timeout=30)
        acknowledged = [int(line) for line in out.split()]
        assert "ConnectionError" in err  # the writer learns that its server went away
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
    with pytest.raises(ConnectionError) as raised:
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


def test_keys_that_hold_no_record_are_reported_as_damage():
    client = redis.Redis.from_url(shared_url())
    log = RedisLog(client, prefix=fresh_prefix())
    tl = log.timeline("t", store := Store())
    for i in range(3):
        store.set("s", "k", i)
        tl.commit()
    meta, headers, bodies, ids, _ = log._keys("t")
    damage = [
        lambda: client.hset(headers, "2", b"\x93not a header"),
        lambda: client.hset(headers, "2", b"\xc1"),
        lambda: client.hset(bodies, "3", b"garbage"),
        lambda: (client.delete(headers), client.set(headers, b"a string")),
        lambda: client.hset(meta, "head", "x"),
    ]
    for apply in damage:
        saved = {key: client.dump(key) for key in (meta, headers, bodies)}
        apply()
        with pytest.raises(CorruptRecordError) as raised:
            fresh = log.timeline("t", Store(), cache_size=1)
            fresh._anchors.clear()
            list(fresh.records()), fresh.checkout(2), fresh.checkout(3)
        assert raised.value.timeline == "t"
        for key, value in saved.items():
            client.restore(key, 0, value, replace=True)
    assert log.timeline("t", Store()).verify() == []


def test_a_thread_expires_whole():
    client = redis.Redis.from_url(shared_url())
    log = RedisLog(client, prefix=fresh_prefix(), ttl=0.4)
    tl = log.timeline("t", store := Store())
    tl.commit(id="first")
    for i in range(20):
        store.set("s", f"k{i}", i)
        tl.commit()
    keys = log._keys("t")[:4]  # the attached hash exists only once something is attached
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
    tl._anchors.clear()
    assert trips(lambda: tl.checkout(7)) <= 2  # the header, then the chain in one read
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
        assert log.timelines() == sorted(names)  # found on every node
        for name in names:
            tl = log.timeline(name, Store())
            assert state_of(tl.store.snapshot()) == states[name] and tl.verify() == []
            assert tl.checkout("c4") is not None
            tl.prune(keep_last=3)
        log.timeline("thread-2", Store()).delete()
        assert log.timelines() == sorted(set(names) - {"thread-2"})
        client.close()
    finally:
        for node in nodes:
            node.stop()

"""Store under concurrent use: several threads on overlapping namespaces
must never see a torn value, a value written for another key, a duplicate
name or an exception, and the store must be self-consistent afterwards."""

import random
import threading
import time
import traceback

from derirezaro._core import Store

THREADS = 5
SECONDS = 3.0
MAX_OPS_PER_THREAD = 400_000
# Generous bound for a hung thread; reaching it is a failure, not a timing check.
JOIN_GUARD_SECONDS = 300

# Pairs that share a shard ("default"/"x" in 1, ""/"y" in 15) so writers on
# different namespaces still contend for one lock; "a" and "users" alone.
SHARD_OF = {"default": 1, "x": 1, "a": 3, "users": 4, "": 15, "y": 15}
NAMESPACES = list(SHARD_OF)
KEYS = [f"k{i}" for i in range(24)] + [""]


def make_value(ns, key, tid, seq):
    # The padding's length and content follow from seq, so a value torn
    # between two writes, or bytes from a neighbouring entry, show up.
    return {"ns": ns, "key": key, "tid": tid, "seq": seq, "pad": bytes([seq % 251]) * (seq % 300)}


def check_value(value, ns, key):
    assert type(value) is dict and set(value) == {"ns", "key", "tid", "seq", "pad"}, value
    assert value["ns"] == ns and value["key"] == key, (ns, key, value)
    seq = value["seq"]
    assert value["pad"] == bytes([seq % 251]) * (seq % 300), value


def check_namespaces(listed):
    assert len(listed) == len(set(listed)), listed
    assert set(listed) <= set(SHARD_OF), listed
    shards = [SHARD_OF[ns] for ns in listed]
    assert shards == sorted(shards), listed


def worker(tid, store, start, deadline, written, counts, errors):
    rng = random.Random(tid)
    mine = written[tid]
    seq = 0
    ops = 0
    try:
        start.wait()
        while ops < MAX_OPS_PER_THREAD and time.monotonic() < deadline:
            ops += 1
            ns = rng.choice(NAMESPACES)
            key = rng.choice(KEYS)
            r = rng.random()
            if r < 0.40:
                seq += 1
                # Recorded before the write lands, so a reader in another
                # thread never finds a value that is not yet on the list.
                mine.add((ns, key, seq))
                store.set(ns, key, make_value(ns, key, tid, seq))
            elif r < 0.65:
                value = store.get(ns, key)
                if value is not None:
                    check_value(value, ns, key)
            elif r < 0.75:
                assert type(store.contains(ns, key)) is bool
            elif r < 0.85:
                assert type(store.delete(ns, key)) is bool
            elif r < 0.93:
                listed = store.keys(ns)
                assert len(listed) == len(set(listed)) and set(listed) <= set(KEYS), listed
            elif r < 0.997:
                check_namespaces(store.namespaces())
            else:
                store.clear()
            if ops % 1000 == 0:
                assert len(store) >= 0
    except BaseException:
        errors.append(f"thread {tid}:\n{traceback.format_exc()}")
    finally:
        counts[tid] = ops


def test_concurrent_mixed_operations_keep_the_store_consistent():
    store = Store()
    written = [set() for _ in range(THREADS)]
    counts = [0] * THREADS
    errors = []
    start = threading.Event()
    deadline = time.monotonic() + SECONDS
    threads = [
        threading.Thread(
            target=worker, args=(tid, store, start, deadline, written, counts, errors), daemon=True
        )
        for tid in range(THREADS)
    ]
    for t in threads:
        t.start()
    start.set()
    for t in threads:
        t.join(JOIN_GUARD_SECONDS)
    assert not any(t.is_alive() for t in threads), "a store operation never returned"
    assert not errors, "\n".join(errors)
    assert all(counts), counts

    listed = store.namespaces()
    check_namespaces(listed)
    total = 0
    for ns in listed:
        keys = store.keys(ns)
        assert len(keys) == len(set(keys))
        total += len(keys)
        for key in keys:
            assert store.contains(ns, key)
            value = store.get(ns, key)
            check_value(value, ns, key)
            assert (ns, key, value["seq"]) in written[value["tid"]], value
    assert len(store) == total
    # Keys outside the listing really are absent.
    for ns in NAMESPACES:
        present = set(store.keys(ns))
        for key in KEYS:
            assert store.contains(ns, key) is (key in present)


def test_store_calls_complete_beside_a_busy_python_thread():
    stop = threading.Event()

    def spin():
        n = 0
        while not stop.is_set():
            n += 1

    done = []
    errors = []

    def use_store():
        try:
            store = Store()
            for i in range(5_000):
                ns = NAMESPACES[i % len(NAMESPACES)]
                key = KEYS[i % len(KEYS)]
                store.set(ns, key, [i, "v"])
                assert store.get(ns, key) == [i, "v"]
                assert store.contains(ns, key)
                if i % 7 == 0:
                    assert store.delete(ns, key) is True
                if i % 50 == 0:
                    store.keys(ns)
                    store.namespaces()
                    len(store)
                if i % 1000 == 999:
                    store.clear()
            done.append(True)
        except BaseException:
            errors.append(traceback.format_exc())

    spinner = threading.Thread(target=spin, daemon=True)
    caller = threading.Thread(target=use_store, daemon=True)
    spinner.start()
    try:
        caller.start()
        caller.join(JOIN_GUARD_SECONDS)
    finally:
        stop.set()
        spinner.join(JOIN_GUARD_SECONDS)
    assert not caller.is_alive(), "store calls never finished beside a busy thread"
    assert not errors, "\n".join(errors)
    assert done == [True]

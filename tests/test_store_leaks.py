"""A million mixed store operations, failing calls and short-lived stores
included, must not grow memory: neither Python objects (tracemalloc) nor
native map nodes and value buffers (RSS)."""

import gc
import os
import random
import tracemalloc

from derirezaro._core import Store

OPERATIONS = 1_000_000
WARM_UP = 100_000

NAMESPACES = ["default", "x", "a", "users", "config", ""]
KEYS = [f"key-{i}" for i in range(300)]
VALUES = [
    None,
    7,
    "short",
    "é" * 40,
    b"\x00" * 4096,
    [1, [2, (3, "three")], {"k": b"v"}],
    {"nested": {"list": list(range(50)), "text": "t" * 200}},
    2**64 - 1,
]
UNENCODABLE = [object(), {1, 2}, [1, 2**64], "\ud800"]


def _expect(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{fn.__name__}{args!r:.60} did not raise {exc_type.__name__}")


def _schedule(store):
    """One cycle of calls, ending in clear() so every cycle starts empty."""
    rng = random.Random(997)
    calls = []
    for i in range(997):
        # Each key lives in one namespace and the pair is drawn apart from
        # the operation, so gets, contains and deletes find their entries
        # about a third of the time instead of never.
        pair = rng.randrange(len(KEYS))
        ns = NAMESPACES[pair % len(NAMESPACES)]
        key = KEYS[pair]
        kind = i % 20
        if kind < 6:
            calls.append((store.set, (ns, key, VALUES[i % len(VALUES)])))
        elif kind < 10:
            calls.append((store.get, (ns, key, i)))
        elif kind < 12:
            calls.append((store.contains, (ns, key)))
        elif kind < 14:
            calls.append((store.delete, (ns, key)))
        elif kind == 14:
            calls.append((store.keys, (ns,)))
        elif kind == 15:
            calls.append((store.namespaces, ()))
        # Every failure path runs tens of thousands of times, so even a
        # small leak on one of them adds up to far more than the tolerance.
        elif kind == 16:
            calls.append((_expect, (TypeError, store.set, ns, 1, VALUES[i % len(VALUES)])))
        elif kind == 17:
            bad = UNENCODABLE[(i // 20) % len(UNENCODABLE)]
            error = (
                ValueError
                if isinstance(bad, list)
                else UnicodeEncodeError
                if isinstance(bad, str)
                else TypeError
            )
            calls.append((_expect, (error, store.set, ns, key, bad)))
        elif kind == 18:
            failing = [
                (TypeError, store.get, 1, key),
                (UnicodeEncodeError, store.keys, "\udc80"),
                (TypeError, store.set, ns, key),
                (ValueError, Store, "disk"),
                (OverflowError, Store, "memory", "msgpack", -1),
            ]
            calls.append((_expect, failing[(i // 20) % len(failing)]))
        else:
            calls.append((_short_lived_store, ()))
    calls.append((store.clear, ()))
    return calls


def _short_lived_store():
    s = Store(max_history=3)
    s.set("a", "k", [1, 2])
    s.set("b", "k", b"x" * 100)


def _churn(store, schedule, operations):
    done = 0
    while done < operations:
        for fn, args in schedule:
            fn(*args)
        done += len(schedule)


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _settle(store):
    # Measure at the same state each time: empty store, no garbage waiting.
    store.clear()
    gc.collect()


def test_store_operations_keep_python_allocations_flat():
    store = Store()
    schedule = _schedule(store)
    tracemalloc.start()
    try:
        _churn(store, schedule, WARM_UP)
        _settle(store)
        before = tracemalloc.get_traced_memory()[0]
        _churn(store, schedule, OPERATIONS)
        _settle(store)
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < 64 * 1024, f"traced memory grew by {after - before} bytes"


def test_store_operations_keep_process_memory_flat():
    store = Store()
    schedule = _schedule(store)
    _churn(store, schedule, WARM_UP)
    _settle(store)
    before = _rss_bytes()
    _churn(store, schedule, OPERATIONS)
    _settle(store)
    after = _rss_bytes()
    # Map nodes, key strings and encoded values live in native memory that
    # tracemalloc never sees; RSS does.
    assert after - before < 1024 * 1024, f"RSS grew by {after - before} bytes"

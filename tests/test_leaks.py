"""One workload over the codec, the store and its snapshots, failing calls included, run long enough
that a leak of one object or buffer per call shows: in Python objects (tracemalloc)
or in native memory such as map nodes and encoded values (process RSS)."""

import gc
import os
import tracemalloc

import pytest
from conftest import CYCLE
from derirezaro import HandoffGraph, Store, dumps, loads

VALUES = [None, 2**64 - 1, -(2**63), float("nan"), "héllo" * 9, "x" * 70_000, b"\xff" * 4200, [1, (2, "3")]]
VALUES += [{"a": {"b": [None, 2.5]}, 7: b"v"}, {i: str(i) for i in range(40)}]
# Not canonical: invalid UTF-8 in a key, the reserved marker, a single float.
ODD = [b"\x81\xa1k\xa3\xffab", b"\x91\xc1", b"\xca\x3f\xc0\x00\x00", b"\xd0\x05"]
FAILING_DUMPS = [{1, 2}, [1, 2**64], {"k": [object()]}, ["ok", "\ud800"], {"a": 1, (1, frozenset()): 2}]
FAILING_LOADS = [b"\x92\x01", b"\xa5ab", b"\xdd\xff\xff\xff\xff", b"\x91" * 600, "not bytes"]
# An extension, then an unhashable key, each after part of a container was built.
FAILING_LOADS += [b"\x93\x01\xa1x\xd4\x01\x00", b"\x82\xa1a\x01\x91\x01\x02"]
NAMESPACES = ["default", "x", "a", "users", ""]


def _graph():
    graph = HandoffGraph()
    graph.add_edge("a", "b", when="x.y == 'v' and -1 in xs")
    graph.add_edge("a", "c", when="'é' in s or n > 2.5")
    graph.add_edge("b", "c")
    return graph


GRAPH = _graph()
# Refused once part of the state was converted: the read keys come first.
FAILING_ROUTES = [{"xs": [1, 2], "x": {"y": "v"}, "z": object()}, {"s": "é", "n": 2**64}, {"xs": [{1, 2}]}]


def _failing_calls(store):
    yield from [(store.set, "ns", 1, 2), (store.keys, "\udc80"), (Store, "disk"), (Store, "", "", -1)]
    yield from [(GRAPH.add_edge, "c", "a"), (GRAPH.add_edge, "a", "d", "x =="), (HandoffGraph, "never")]
    yield from ((GRAPH.route, "a", bad) for bad in FAILING_ROUTES)
    yield from [(store.restore, store), (store.snapshot().diff, None)]
    yield from ((dumps, bad) for bad in [*FAILING_DUMPS, CYCLE])
    yield from ((store.set, "ns", "k", bad) for bad in FAILING_DUMPS)
    yield from ((loads, bad) for bad in FAILING_LOADS)


def _round(store, i):
    for data in ODD:
        loads(data)
    for n, value in enumerate(VALUES):
        ns, key = NAMESPACES[(i + n) % len(NAMESPACES)], f"key-{(i * 7 + n) % 40}"
        loads(dumps(value))
        store.set(ns, key, value)
        store.get(ns, f"key-{(i * 3 + n) % 40}", i)
        store.contains(ns, key)
        store.delete(ns, f"key-{(i * 5 + n) % 40}")
    loads(dumps({f"{i}:{j}": j for j in range(4)}))  # new keys evict older ones from the key cache
    store.keys("a")
    store.namespaces()
    earlier = store.snapshot()  # the history (max_history=2) drops older ones
    store.restore(earlier)
    earlier.diff(store.snapshot())["added"], earlier.keys, repr(earlier)
    Store(max_history=3).set("a", "k", [1, 2])  # a short-lived store with an entry
    GRAPH.route("a", {"x": {"y": "v"}, "xs": list(range(i % 7)) + [-1], "s": "é", "pad": [i] * 5})
    GRAPH.route("a", {"n": i, "s": "x"}), GRAPH.route("b"), GRAPH.edges("a"), GRAPH.nodes(), repr(GRAPH)
    _graph().add_edge("c", f"n{i % 3}", when=f"k{i % 5} or m.k")  # a short-lived graph
    for fn, *args in _failing_calls(store):
        with pytest.raises((TypeError, ValueError, OverflowError, RecursionError)):
            fn(*args)
    if i % 50 == 49:
        store.clear()


def _settled_memory(store, traced):
    store.clear()
    gc.collect()
    if traced:
        return tracemalloc.get_traced_memory()[0]
    with open("/proc/self/statm") as f:  # resident pages
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.leaks
@pytest.mark.parametrize(
    "traced, rounds, tolerance", [(True, 5_000, 64 << 10), (False, 40_000, 1 << 20)], ids=["traced", "rss"]
)
def test_repeated_calls_keep_memory_flat(traced, rounds, tolerance):
    store = Store(max_history=2)
    if traced:
        tracemalloc.start()
    try:
        for i in range(rounds // 10):  # caches and pools reach their working size
            _round(store, i)
        before = _settled_memory(store, traced)
        for i in range(rounds):
            _round(store, i)
        growth = _settled_memory(store, traced) - before
    finally:
        tracemalloc.stop()
    assert growth < tolerance, f"{'traced' if traced else 'resident'} memory grew by {growth} bytes"

"""Repeated encoding and decoding, failing calls included, must not grow
memory: neither Python objects (tracemalloc) nor native allocations (RSS)."""

import gc
import os
import tracemalloc

from derirezaro._core import dumps, loads

ROUNDS = 100_000
WARM_UP = 10_000

GOOD = [
    None,
    True,
    2**64 - 1,
    -(2**63),
    1.5,
    float("nan"),
    "héllo wörld" * 5,
    "x" * 70_000,
    b"\x00\xff" * 200,
    [1, [2, (3, "three")], {"k": b"v"}],
    {"a": {"b": [None, 2.5]}, 7: "seven"},
    {i: str(i) for i in range(40)},
    list(range(300)),
]

_cycle = [1]
_cycle.append(_cycle)

BAD_DUMPS = [
    {1, 2},
    [1, 2**64],
    {"k": [object()]},
    ["ok", "\ud800"],
    {"a": 1, (1, frozenset()): 2},
]

BAD_LOADS = [
    b"",
    b"\x92\x01",
    b"\xa5ab",
    b"\xdd\xff\xff\xff\xff",
    b"\x91" * 600,
    b"\x93\x01\xa1x\xd4\x01\x00",  # extension after part of a list was built
    b"\x82\xa1a\x01\x91\x01\x02",  # unhashable key after part of a dict was built
    b"\x92\xd4\x01\x00\xcd",  # reader error behind an extension
    "not bytes",
    bytearray(b"\x01"),  # refused before decoding
]

# Non-canonical input, decoded only: invalid UTF-8 text, the reserved
# marker, a single float, a signed marker with a positive value.
ODD_PAYLOADS = [b"\x81\xa1k\xa3\xffab", b"\x91\xc1", b"\xca\x3f\xc0\x00\x00", b"\xd0\x05"]


def _expect_failure(fn, arg):
    try:
        fn(arg)
    except (TypeError, ValueError, RecursionError):
        return
    raise AssertionError(f"{fn.__name__}({arg!r:.40}) did not fail")


def _churn(rounds):
    for i in range(rounds):
        value = GOOD[i % len(GOOD)]
        loads(dumps(value))
        loads(ODD_PAYLOADS[i % len(ODD_PAYLOADS)])
        # Every failure path runs every round, so even a small leak on one
        # of them adds up to far more than the tolerance below.
        for bad in BAD_DUMPS:
            _expect_failure(dumps, bad)
        for bad in BAD_LOADS:
            _expect_failure(loads, bad)
        try:
            dumps(1, obj=2)
        except TypeError:
            pass
        if i % 8 == 0:  # a cycle costs a full recursion-limit walk; sample it
            _expect_failure(dumps, _cycle)


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_round_trips_keep_python_allocations_flat():
    tracemalloc.start()
    try:
        _churn(WARM_UP)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        _churn(ROUNDS)
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    # One leaked object per failing call would be megabytes by now.
    assert after - before < 64 * 1024, f"traced memory grew by {after - before} bytes"


def test_round_trips_keep_process_memory_flat():
    _churn(WARM_UP)
    gc.collect()
    before = _rss_bytes()
    _churn(ROUNDS)
    gc.collect()
    after = _rss_bytes()
    # Native buffers and Value trees are invisible to tracemalloc; RSS is not.
    assert after - before < 1024 * 1024, f"RSS grew by {after - before} bytes"

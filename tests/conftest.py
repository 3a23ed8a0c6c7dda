"""Shared helpers, hypothesis strategies and the opt-in switch for the 4 GiB tests.

The `bigmem` tests each build a 4 GiB object and are skipped unless asked for:
    python3 -m pytest --bigmem tests        (or DERIREZARO_BIGMEM=1 in the environment)
"""

import os
import struct
import sys

import msgpack
import pytest
from hypothesis import strategies as st


def pytest_addoption(parser):
    parser.addoption("--bigmem", action="store_true", help="run the tests that allocate 4 GiB or more")


def pytest_collection_modifyitems(config, items):
    skip = pytest.mark.skip(reason="needs 4 GiB: run with --bigmem or DERIREZARO_BIGMEM=1")
    if not (config.getoption("--bigmem") or os.environ.get("DERIREZARO_BIGMEM") == "1"):
        for item in (item for item in items if "bigmem" in item.keywords):
            item.add_marker(skip)


# Tests of when a call gives up the interpreter lock: a free-threaded build runs without one.
needs_gil = pytest.mark.skipif(
    not getattr(sys, "_is_gil_enabled", lambda: True)(), reason="runs without an interpreter lock to give up"
)


def langgraph_or_skip():
    """Skip the calling module of LangGraph tests where LangGraph cannot be installed.

    A free-threaded 3.13 is such an interpreter: langgraph-checkpoint needs
    ormsgpack, which has no wheel there and builds only with crates from the
    network. The suite's own runs set DERIREZARO_REQUIRE_LANGGRAPH, and there
    a missing LangGraph fails the module's imports instead of skipping them.
    """
    if not os.environ.get("DERIREZARO_REQUIRE_LANGGRAPH"):
        pytest.importorskip("langgraph.checkpoint.base", reason="LangGraph is not installed here")


def packb(value):
    return msgpack.packb(value, use_bin_type=True)


def unpackb(data):
    return msgpack.unpackb(data, raw=False, strict_map_key=False)


def siphash13(data, k0=0, k1=0):
    """SipHash-1-3 written out here, not borrowed from the interpreter: which SipHash
    variant an interpreter uses for its own hashes differs between versions."""
    mask = 2**64 - 1

    def rotl(x, b):
        return ((x << b) | (x >> (64 - b))) & mask

    def rounds(v0, v1, v2, v3, n):
        for _ in range(n):
            v0 = (v0 + v1) & mask
            v1 = rotl(v1, 13) ^ v0
            v0 = rotl(v0, 32)
            v2 = (v2 + v3) & mask
            v3 = rotl(v3, 16) ^ v2
            v0 = (v0 + v3) & mask
            v3 = rotl(v3, 21) ^ v0
            v2 = (v2 + v1) & mask
            v1 = rotl(v1, 17) ^ v2
            v2 = rotl(v2, 32)
        return v0, v1, v2, v3

    v = [k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D, k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573]
    whole = len(data) - len(data) % 8
    # The final block holds the tail's bytes and the length's low byte on top.
    tail = int.from_bytes(data[whole:], "little") | (len(data) & 0xFF) << 56
    for m in [int.from_bytes(data[i : i + 8], "little") for i in range(0, whole, 8)] + [tail]:
        v[3] ^= m
        v = list(rounds(*v, 1))
        v[0] ^= m
    v[2] ^= 0xFF
    v = rounds(*v, 3)
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def shard_of(namespace):
    # The store's shard: SipHash-1-3 with zero keys over the UTF-8 bytes and one 0xFF byte, low four bits.
    return siphash13(namespace.encode() + b"\xff") & 15


def same(a, b, any_nan=False):
    """Equality that also tells bool from int, list from tuple, float bit patterns
    apart (NaN payloads, -0.0) and dict order. With `any_nan`, any NaN equals any NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack(">d", a) == struct.pack(">d", b) or (any_nan and a != a and b != b)
    if isinstance(a, dict):
        return same(list(a), list(b)) and same(list(a.values()), list(b.values()), any_nan)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y, any_nan) for x, y in zip(a, b, strict=True))
    return a == b


def as_decoded(value):
    """What decoding gives back for `value`: every array comes back as a list."""
    if isinstance(value, (list, tuple)):
        return [as_decoded(v) for v in value]
    if isinstance(value, dict):
        return {k: as_decoded(v) for k, v in value.items()}
    return value


CYCLE = [1]  # a list that holds itself
CYCLE.append(CYCLE)


class Outer:
    class Inner:
        """Error texts name a type by its qualified name."""


class Index:
    """Converts to an integer only through __index__, which may raise."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


ints = st.integers(-(2**63), 2**64 - 1)
scalars = st.none() | st.booleans() | ints | st.floats() | st.text() | st.binary()
# Map keys that decode to something hashable and equal to themselves.
keys = st.none() | st.booleans() | ints | st.floats(allow_nan=False) | st.text() | st.binary()


def trees(leaves=scalars, size=6, max_leaves=25):
    def extend(children):
        lists = st.lists(children, max_size=size)
        return lists | lists.map(tuple) | st.dictionaries(keys, children, max_size=size)

    return st.recursive(leaves, extend, max_leaves=max_leaves)


values = trees()


@pytest.fixture(scope="session")
def postgres_url():
    """The conninfo URL of the session's PostgreSQL server (postgres_server.py), started on first use."""
    import postgres_server

    return postgres_server.shared_url()


@pytest.fixture
def servers():
    """Redis servers of the test's own (with `replica`, one replicating it), each stopped at its end."""
    from redis_server import RedisServer, replica_of, require

    started = []

    def start(*options, replica=None):
        require()  # here, so that the refusals' table runs its other rows where no server is installed
        started.append(server := replica_of(replica, *options) if replica else RedisServer(*options).start())
        return server

    yield start
    for server in reversed(started):
        server.stop()

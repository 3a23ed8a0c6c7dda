"""The native replay and commit paths against the Python oracle of the format (record_oracle).

A chain native replay accepts must leave the very store contents and digest the oracle
does, and every chain the writer's encodings make must be accepted. So the chains here
are sealed with right checksums around sound bodies, which it must accept, and around
removes of absent pairs and random byte damage, which it must refuse as damage or agree
on. Which encodings the body reader refuses (non-canonical values, repeated namespaces,
wider forms) is the core's test of it, tests/core/test_persist_body.cpp.
"""

import random

import pytest
import record_oracle
from derirezaro import Store, dumps
from derirezaro._replay import header_fault, record_fault, replay_chain
from derirezaro.persist import CorruptRecordError, FormatError, MemoryLog, body, replay, timeline
from derirezaro.persist.body import CHUNK_ENTRIES
from derirezaro.persist.faults import UNDECODABLE_BODY, raise_fault
from derirezaro.persist.record import DELTA, FORMAT, KEYFRAME, StoredRecord, seal
from hypothesis import example, given, settings
from hypothesis import strategies as st
from record_oracle import entry_hash
from test_persist_model import content, values

names = st.sampled_from(["a", "b", "é"])
changes = st.tuples(
    st.dictionaries(names, st.dictionaries(names, values, min_size=1, max_size=3), max_size=2),
    st.dictionaries(names, st.lists(names, min_size=1, max_size=2), max_size=2),
)
SOUND = ["canonical", "framed", "compressed"]  # the encodings the writer makes


def encoded(sets, removes, how, rng):
    if how == "framed":  # an entry a chunk, a namespace in several
        return record_oracle.encode_body(sets, removes, 1)
    if how == "compressed":
        return body.compress(dumps([sets, removes]))
    data = bytearray(record_oracle.encode_body(sets, removes))
    if how == "damaged":
        data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    return bytes(data)


def sealed(bodies, digests=None):
    """A keyframe, then deltas each on the one before, around `bodies`; record i of `digests[i]`, else 0."""
    rows, fields = [], dict(id=None, base=1, timestamp=1.5, meta=b"")
    for seq, (data, digest) in enumerate(zip(bodies, digests or [0] * len(bodies), strict=True), 1):
        kind = KEYFRAME if seq == 1 else DELTA
        rows.append(seal("t", seq=seq, parent=seq - 1 or None, kind=kind, digest=digest, body=data, **fields))
    return rows


@settings(max_examples=300, deadline=None)
@given(
    chain=st.lists(st.tuples(changes, st.sampled_from([*SOUND, "damaged"])), min_size=1, max_size=5),
    seed=st.integers(),
)
def test_native_replay_refuses_or_agrees_with_the_oracle(chain, seed):
    rng = random.Random(seed)
    bodies = [encoded(sets, removes, how, rng) for (sets, removes), how in chain]
    rows = sealed(bodies)
    expected = record_oracle.replay(rows)
    if expected is not None:  # the chain the oracle accepts, with the digest it ends at
        rows = sealed(bodies, [0] * (len(rows) - 1) + [expected[0]])
    store = Store()
    try:
        got = replay_chain(store, "t", rows, replay._inflated("t", rows), 0, True, FORMAT, False)
    except CorruptRecordError:
        got = None  # a body that does not inflate
    if isinstance(got, int):
        assert (got, content(store.snapshot())) == expected
    elif got is not None and got[0] != UNDECODABLE_BODY:
        assert expected is None  # a fault named is damage the oracle finds too
    if expected is not None and {how for _, how in chain} <= set(SOUND):
        assert isinstance(got, int)  # every encoding the writer makes is read


def test_each_step_names_the_first_record_whose_digest_is_wrong():
    # A delta's wrong digest that the next delta's right one hides from a net replay,
    # and a keyframe's digest that is not its entries': only each step names them.
    one, two = entry_hash("n", "k", 1), entry_hash("n", "k", 2)
    bodies = [dumps([{"n": {"k": value}}, {}]) for value in (1, 2, 1)]
    for digests, net, each_step in [
        ([one, two + 1, one], None, (2, "state digest mismatch after replay")),
        ([one + 1, two, one], (3, "state digest mismatch after replay"), (1, "state digest mismatch")),
    ]:
        rows = sealed(bodies, digests)
        for checked, expected in [(False, net), (True, each_step)]:
            run = replay.Replay("t", each_step=checked)
            run.start_at_keyframe(rows[0])
            run.apply_all(rows[1:])
            try:
                run.finish(rows[-1])
                assert expected is None
            except CorruptRecordError as raised:
                assert (raised.seq, raised.what) == expected


def _agree(native, sets, removes, digest, chunk):
    """The native (body, digest) is the oracle's: `sets` and `removes` encoded with `chunk`, and `digest`."""
    encoded = record_oracle.encode_body(sets, removes, chunk)
    assert (body.stored_form(native[0]), native[1]) == (encoded, digest)


def _committed(steps, chunk):
    """A store after `steps`, each committed; each commit's native change and digest the oracle's.

    Both from the same two states, not two stores filled alike: a store's
    iteration order is its own, and a body lists entries in that order.
    """
    store = Store()
    tl = MemoryLog().timeline("t", store, keyframe_every=4)  # keyframes among the deltas too
    for sets, removes in steps:
        for ns, key, value in [(ns, k, v) for ns, entries in sets.items() for k, v in entries.items()]:
            store.set(ns, key, value)
        for ns, key in [(ns, k) for ns, keys in removes.items() for k in keys]:
            store.delete(ns, key)
        if (point := tl._point) is not None:
            now, before = store.snapshot(), point.snapshot
            native = timeline.state_delta(now, before, point.digest, chunk)
            _agree(native, *record_oracle.changes(now, before, point.digest), chunk)
        tl.commit()
    return store


BIG = [  # past the default chunk (and the size encoded without the interpreter lock), in several namespaces
    ({}, {}),
    ({f"n{ns}": {str(i): {"v": i} for i in range(CHUNK_ENTRIES + 1)} for ns in range(3)}, {}),
    ({"n0": {"0": "x"}, "n2": {"x": 1}}, {"n1": [str(i) for i in range(CHUNK_ENTRIES // 2 + 1)]}),
]


@settings(max_examples=200, deadline=None)
@given(steps=st.lists(changes, min_size=2, max_size=8), chunk=st.sampled_from([1, 2, 3, CHUNK_ENTRIES]))
@example(steps=BIG, chunk=CHUNK_ENTRIES)
def test_native_changes_keyframes_and_digests_are_the_oracles_byte_for_byte(steps, chunk):
    # Small chunks frame small changes and states, splitting namespaces, sets and removes between chunks.
    now = _committed(steps, chunk).snapshot()
    whole, native = record_oracle.entries_of(now), timeline.state_keyframe(now, chunk, True)
    _agree(native, whole, {}, record_oracle.state_digest(whole), chunk)
    assert timeline.state_keyframe(now, chunk, False) == (native[0], None)


small_ints = st.integers(-(2**63), 2**63 - 1) | st.integers(-3, 3)
headers = st.fixed_dictionaries(dict(
    seq=small_ints, parent=st.none() | small_ints, base=small_ints, digest=st.integers(-(2**64), 2**64),
    id=st.none() | st.text(max_size=4) | st.just("\ud800"),  # a lone surrogate is the oracle's to refuse
    timestamp=st.floats(allow_nan=False) | st.integers(0, 9),  # an int where a float belongs
    kind=st.sampled_from([DELTA, KEYFRAME, 7]), meta=st.binary(max_size=8),
    body=st.binary(max_size=8) | st.just(body.COMPRESSED),
))  # fmt: skip


damages = st.sampled_from([*StoredRecord._fields, None])  # the field changed, if any
CHECKS = [(header_fault, record_oracle.check_header), (record_fault, record_oracle.check_record)]


def _other(value):
    """A field's value changed: a bit, a byte, or its type."""
    changed = {int: lambda v: v ^ 1, bytes: lambda v: v + b"\x00", float: lambda v: v * 2 + 1}
    return changed.get(type(value), lambda v: 1 if v is None else None)(value)


def _verdict(check, name, row, *newest_format):
    """The exception's type and message for the record, or None if it holds: the one the oracle's
    `check` raises, or (given the newest format) the one for the fault a native `check` names."""
    try:
        fault = check(name, row, *newest_format)
        if fault is not None:
            raise_fault(name, fault, FORMAT)
    except (CorruptRecordError, FormatError) as exc:
        return type(exc), str(exc)
    return None


@settings(max_examples=400, deadline=None)
@given(fields=headers, name=st.sampled_from(["t", "é" * 40]), damage=damages)
def test_native_header_checks_and_checksums_are_the_oracles(fields, name, damage):
    # Sealed, the oracle's record byte for byte; damaged in any field, the native checks
    # name the fault the oracle names, but for a field of a type no log stores.
    try:
        expected = record_oracle.seal(name, **fields)
    except (TypeError, ValueError, OverflowError):
        return  # a header the codec cannot encode: nothing to seal
    if type(fields["timestamp"]) is not float:
        with pytest.raises(TypeError, match="timestamp"):
            seal(name, **fields)
    else:
        assert seal(name, **fields) == expected
    row = expected if damage is None else expected._replace(**{damage: _other(getattr(expected, damage))})
    for native, oracle in CHECKS:
        got = _verdict(native, name, row, FORMAT)
        if got is None or "unreadable header (" not in got[1]:  # a float seq, a str meta: no log
            assert got == _verdict(oracle, name, row)  # stores them, and the oracle may read them
    with pytest.raises(UnicodeEncodeError):  # a name no timeline has is the caller's error
        header_fault("\ud800", row, FORMAT)

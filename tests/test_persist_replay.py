"""The native replay and commit paths against the Python ones, which are the reference.

The native path may refuse any chain (the timeline then replays it in Python), but a
chain it accepts must leave the very store contents and digest the reference does. So
the chains here are sealed with right checksums around bodies of every kind: sound ones,
which it must accept; bodies in encodings the reference reads but re-encodes
differently (float32, str for bytes, wide headers), repeated namespaces, removes of
absent pairs and random byte damage, which it must refuse or agree on.
"""

import random

import msgpack
import pytest
from derirezaro import Store, dumps
from derirezaro.persist import CorruptRecordError, FormatError, MemoryLog, body, record, replay, timeline
from derirezaro.persist.body import CHUNK_ENTRIES
from derirezaro.persist.record import DELTA, FORMAT, KEYFRAME, seal
from hypothesis import example, given, settings
from hypothesis import strategies as st
from test_persist_model import content

names = st.sampled_from(["a", "b", "é"])
leaves = st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats() | st.text(max_size=3)
values = st.recursive(
    leaves | st.binary(max_size=3),
    lambda c: st.lists(c, max_size=3) | st.dictionaries(st.text(max_size=2), c, max_size=3),
)
changes = st.tuples(
    st.dictionaries(names, st.dictionaries(names, values, min_size=1, max_size=3), max_size=2),
    st.dictionaries(names, st.lists(names, min_size=1, max_size=2), max_size=2),
)
SOUND = ["canonical", "framed", "compressed"]  # what a timeline writes, which the native path must take
ENCODINGS = [*SOUND, "float32", "str for bytes", "wide headers", "repeated", "damaged"]


def encoded(sets, removes, how, rng):
    if how == "canonical":
        return body.encode_body(sets, removes)
    if how == "framed":
        chunks = [dumps([{ns: {k: v}}, {}]) for ns, entries in sets.items() for k, v in entries.items()]
        chunks += [dumps([{}, {ns: keys}]) for ns, keys in removes.items()]
        return body.FRAMED + b"".join(len(c).to_bytes(4, "big") + c for c in chunks)
    if how == "compressed":
        return body.compress(dumps([sets, removes]))
    if how == "float32":  # those that fit
        try:
            return msgpack.packb([sets, removes], use_bin_type=True, use_single_float=True)
        except OverflowError:
            return dumps([sets, removes])
    if how == "str for bytes":
        return msgpack.packb([sets, removes], use_bin_type=False)
    if how == "wide headers":  # every fix-size map header of the canonical body as a map16
        return dumps([sets, removes]).replace(b"\x81", b"\xde\x00\x01")
    if how == "repeated":  # the first namespace twice in one map
        ns, entries = next(iter(sets.items()), ("a", {"a": 1}))
        repeated = dumps({ns: entries})[1:]
        return b"\x92\x82" + repeated + repeated + dumps(removes)
    data = bytearray(body.encode_body(sets, removes))
    data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    return bytes(data)


def sealed(bodies, last_digest=0):
    """A chain of `bodies`, a keyframe and deltas, the last holding `last_digest`."""
    return [
        seal("t", seq=seq, id=None, parent=seq - 1 or None, base=1, kind=DELTA if seq > 1 else KEYFRAME,
             timestamp=1.5, digest=last_digest if seq == len(bodies) else 0, meta=b"", body=data)
        for seq, data in enumerate(bodies, 1)
    ]  # fmt: skip


def reference(rows):
    """The state and digest the Python replay ends at, its digest checks aside; None if it refuses."""
    run = replay.Replay("t")
    try:
        run._fill(rows[0])
        for row in rows[1:]:
            run._merge(row)
        run._flush()
    except CorruptRecordError:
        return None
    return run.digest, content(run.store.snapshot())


@settings(max_examples=300, deadline=None)
@given(
    chain=st.lists(st.tuples(changes, st.sampled_from(ENCODINGS)), min_size=1, max_size=5), seed=st.integers()
)
def test_native_replay_refuses_or_agrees_with_the_reference(chain, seed):
    rng = random.Random(seed)
    bodies = [encoded(sets, removes, how, rng) for (sets, removes), how in chain]
    rows = sealed(bodies)
    expected = reference(rows)
    if expected is not None:  # the chain the reference accepts, with the digest it ends at
        rows = sealed(bodies, last_digest=expected[0] if len(rows) > 1 else 0)
    inflated, store = replay._inflated(rows), Store()
    got = None if inflated is None else replay.native_replay(store, "t", rows, inflated, 0, True, FORMAT)
    if got is not None:
        assert expected is not None and got == expected[0] & replay._MASK
        assert content(store.snapshot()) == expected[1]
    if expected is not None and {how for _, how in chain} <= set(SOUND):
        assert got is not None  # the fast path is taken for what the timeline writes


def test_a_field_of_a_type_no_log_stores_is_left_to_the_reference():
    row = sealed([dumps([{"n": {"k": 1}}, {}])])[0]
    assert replay.native_replay(Store(), "t", [row], [None], 0, True, FORMAT) is not None
    for damaged in (row._replace(seq=1.0), row._replace(meta="text"), row._replace(body=None)):
        assert replay.native_replay(Store(), "t", [damaged], [None], 0, True, FORMAT) is None


PAST_BOUND = {"n": {str(i): i for i in range(CHUNK_ENTRIES + 1)}}  # a change left to the reference
LARGE = {f"n{j}": {str(i): {"v": i} for i in range(j, 3 * CHUNK_ENTRIES, 5)} for j in range(5)}
LARGE["long"] = {str(n): "v" * n for n in range(300)}  # entries across the entry hash's 128-byte blocks


@settings(max_examples=200, deadline=None)
@given(steps=st.lists(changes, min_size=1, max_size=8), chunk=st.sampled_from([1, 2, 3, CHUNK_ENTRIES]))
@example(steps=[({}, {}), (PAST_BOUND, {}), ({"n": {"0": "x"}}, {"n": ["1"]})], chunk=CHUNK_ENTRIES)
@example(steps=[(LARGE, {})], chunk=CHUNK_ENTRIES)  # past the size written without the interpreter lock
def test_a_commits_native_change_and_keyframe_are_the_references_byte_for_byte(steps, chunk):
    # Small chunks frame small keyframes, splitting namespaces between chunks. Both sides read the same
    # states, not two stores filled alike: a store's iteration order is its own, and a body's is the store's.
    tl = MemoryLog().timeline("t", store := Store(), keyframe_every=4)  # keyframes among the deltas too
    for sets, removes in steps:
        replay.fill(store, sets)
        for ns, keys in removes.items():
            for key in keys:
                store.delete(ns, key)
        point, now = tl._point, store.snapshot()
        whole = replay.entries_of(now, Store())
        raw, digest = timeline.state_keyframe(now, chunk, True)
        assert (body.stored_form(raw), digest) == (
            body.encode_body(whole, {}, chunk),
            replay.state_digest(whole),
        )
        assert timeline.state_keyframe(now, chunk, False) == (raw, None)
        if point is not None:
            sets_now, removes_now, digest = tl._changes(now, point)
            size = sum(map(len, sets_now.values())) + sum(map(len, removes_now.values()))
            native = timeline.state_delta(now, point.snapshot, point.digest, CHUNK_ENTRIES)
            assert native == ((dumps([sets_now, removes_now]), digest) if size <= CHUNK_ENTRIES else None)
        tl.commit()


small_ints = st.integers(-(2**63), 2**63 - 1) | st.integers(-3, 3)
headers = st.fixed_dictionaries(
    dict(
        seq=small_ints,
        # a lone surrogate is the reference's to refuse
        id=st.none() | st.text(max_size=4) | st.just("\ud800"),
        parent=st.none() | small_ints,
        base=small_ints,
        kind=st.sampled_from([DELTA, KEYFRAME, 7]),
        timestamp=st.floats(allow_nan=False) | st.integers(0, 9),  # an int where a float belongs
        digest=st.integers(-(2**64), 2**64),
        meta=st.binary(max_size=8),
        body=st.binary(max_size=300) | st.just(body.COMPRESSED),  # across the checksum's 8-byte steps
    )
)


def _other(value):
    """A field's value changed: a bit, a byte, or its type."""
    if type(value) is int:
        return value ^ 1
    if type(value) is bytes:
        return value + b"\x00"
    if type(value) is float:
        return value * 2 + 1
    return 1 if value is None else None


def _reference_verdict(name, row):
    try:
        with pytest.MonkeyPatch.context() as monkeypatch:
            monkeypatch.setattr(record, "native_header_holds", None)
            record.check_header(name, row)
    except (CorruptRecordError, FormatError):
        return False
    return True


@settings(max_examples=400, deadline=None)
@given(fields=headers, name=st.sampled_from(["t", "é" * 40]), damage=st.sampled_from([*range(13), None]))
def test_native_header_checks_and_checksums_are_the_references(fields, name, damage):
    # Sealed either way, the same record; damaged in any field, the native check
    # accepts exactly what the reference accepts (or leaves it to the reference).
    try:
        with pytest.MonkeyPatch.context() as monkeypatch:
            monkeypatch.setattr(record, "native_checksums", None)
            expected = seal(name, **fields)
    except (TypeError, ValueError, OverflowError):
        return  # a header the codec cannot encode: nothing to seal
    assert seal(name, **fields) == expected
    row = expected
    if damage is not None:
        row = expected._replace(**{expected._fields[damage]: _other(expected[damage])})
    assert record.native_header_holds(name, row, FORMAT) in (_reference_verdict(name, row), False)
    if damage is None and type(row.timestamp) is float and _reference_verdict(name, row):
        assert record.native_header_holds(name, row, FORMAT)  # the fast path is taken for what commits write
    assert not record.native_header_holds("\ud800", row, FORMAT) and not _reference_verdict("\ud800", row)

"""The native replay and commit paths against the Python oracle of the format (record_oracle).

A chain native replay accepts must leave the very store contents and digest the oracle
does, and every chain the writer's encodings make must be accepted. So the chains here
are sealed with right checksums around bodies of every kind: sound ones, which it must
accept; bodies in encodings a decoder reads but the codec never writes (float32, str for
bytes, wide headers), repeated namespaces, removes of absent pairs and random byte
damage, which it must refuse as damage or agree on.
"""

import random

import msgpack
import pytest
import record_oracle
from derirezaro import Store, dumps
from derirezaro._replay import header_fault, record_fault, replay_chain
from derirezaro.persist import CorruptRecordError, FormatError, MemoryLog, body, replay, timeline
from derirezaro.persist.body import CHUNK_ENTRIES
from derirezaro.persist.faults import UNDECODABLE_BODY, UNREADABLE_HEADER, raise_fault
from derirezaro.persist.record import DELTA, DIGEST_MASK, FORMAT, KEYFRAME, seal
from hypothesis import given, settings
from hypothesis import strategies as st
from record_oracle import entry_hash
from test_persist_model import content

names = st.sampled_from(["a", "b", "é"])
leaves = (
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats() | st.text(max_size=3)
) | st.binary(max_size=3)
values = st.recursive(
    leaves, lambda c: st.lists(c, max_size=3) | st.dictionaries(st.text(max_size=2), c, max_size=3)
)
changes = st.tuples(
    st.dictionaries(names, st.dictionaries(names, values, min_size=1, max_size=3), max_size=2),
    st.dictionaries(names, st.lists(names, min_size=1, max_size=2), max_size=2),
)
ENCODINGS = [
    "canonical",
    "framed",
    "compressed",
    "float32",
    "str for bytes",
    "wide headers",
    "repeated",
    "damaged",
]


def encoded(sets, removes, how, rng):
    if how == "canonical":
        return record_oracle.encode_body(sets, removes)
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
        canonical = bytearray(dumps([sets, removes]))
        return bytes(canonical).replace(b"\x81", b"\xde\x00\x01")
    if how == "repeated":  # the first namespace twice in one map
        ns, entries = next(iter(sets.items()), ("a", {"a": 1}))
        repeated = dumps({ns: entries})[1:]
        return b"\x92\x82" + repeated + repeated + dumps(removes)
    data = bytearray(record_oracle.encode_body(sets, removes))
    data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    return bytes(data)


def sealed(bodies, last_digest=0):
    rows = []
    for seq, data in enumerate(bodies, 1):
        kind = KEYFRAME if seq == 1 else DELTA
        digest = last_digest if seq == len(bodies) else 0
        fields = dict(
            id=None, parent=seq - 1 or None, base=1, kind=kind, timestamp=1.5, digest=digest, meta=b""
        )
        rows.append(seal("t", seq=seq, body=data, **fields))
    return rows


@settings(max_examples=300, deadline=None)
@given(
    chain=st.lists(st.tuples(changes, st.sampled_from(ENCODINGS)), min_size=1, max_size=5), seed=st.integers()
)
def test_native_replay_refuses_or_agrees_with_the_oracle(chain, seed):
    rng = random.Random(seed)
    bodies = [encoded(sets, removes, how, rng) for (sets, removes), how in chain]
    rows = sealed(bodies)
    expected = record_oracle.replay(rows, check_digest=False)
    if expected is not None:  # the chain the oracle accepts, with the digest it ends at
        rows = sealed(bodies, last_digest=expected[0] if len(rows) > 1 else 0)
    store = Store()
    try:
        got = replay_chain(store, "t", rows, replay._inflated("t", rows), 0, True, FORMAT, False)
    except CorruptRecordError:
        got = None  # a body that does not inflate
    if isinstance(got, int):
        assert expected is not None and (got, content(store.snapshot())) == (
            expected[0] & DIGEST_MASK,
            expected[1],
        )
    elif got is not None and got[0] != UNDECODABLE_BODY:
        assert expected is None  # a fault named is damage the oracle finds too
    sound = {"canonical", "framed", "compressed"}
    if expected is not None and {how for _, how in chain} <= sound:
        assert isinstance(got, int)  # every encoding the writer makes is read


def test_each_step_names_the_first_record_whose_digest_is_wrong():
    # A delta's wrong digest that the next delta's right one hides from a net replay,
    # and a keyframe's digest that is not its entries': only each step names them.
    one, two = entry_hash("n", "k", 1), entry_hash("n", "k", 2)

    def chain(keyframe_digest, first_delta_digest):
        changes = [(KEYFRAME, keyframe_digest, {"n": {"k": 1}}), (DELTA, first_delta_digest, {"n": {"k": 2}})]
        changes.append((DELTA, one, {"n": {"k": 1}}))
        return [
            seal(
                "t",
                seq=seq,
                id=None,
                parent=seq - 1 or None,
                base=1,
                kind=kind,
                timestamp=1.5,
                digest=digest,
                meta=b"",
                body=dumps([sets, {}]),
            )
            for seq, (kind, digest, sets) in enumerate(changes, 1)
        ]

    for rows, net, each_step in [
        (chain(one, two), None, None),
        (chain(one, two + 1), None, (2, "state digest mismatch after replay")),
        (chain(one + 1, two), (3, "state digest mismatch after replay"), (1, "state digest mismatch")),
    ]:
        for checked, expected in [(False, net), (True, each_step)]:
            run = replay.Replay("t", each_step=checked)
            run.start_at_keyframe(rows[0])
            run.apply_all(rows[1:])
            if expected is None:
                run.finish(rows[-1])
            else:
                with pytest.raises(CorruptRecordError) as raised:
                    run.finish(rows[-1])
                assert (raised.value.seq, raised.value.what) == expected


def _apply(store, sets, removes):
    for ns, entries in sets.items():
        for key, value in entries.items():
            store.set(ns, key, value)
    for ns, keys in removes.items():
        for key in keys:
            store.delete(ns, key)


def _deltas(steps, chunk=CHUNK_ENTRIES):
    """Each step's change, committed, as (native, oracle): body and digest from the same two states.

    The same states, not two stores filled alike: a store's iteration order
    is its own, and a body lists entries in that order.
    """
    log, store = MemoryLog(), Store()
    tl = log.timeline("t", store, keyframe_every=4)  # keyframes among the deltas too
    found = []
    for change in steps:
        _apply(store, *change)
        point, now = tl._point, store.snapshot()
        if point is not None:
            raw, digest = timeline.state_delta(now, point.snapshot, point.digest, chunk)
            sets_now, removes_now, expected = record_oracle.changes(now, point.snapshot, point.digest)
            found.append(
                (
                    (body.stored_form(raw), digest),
                    (record_oracle.encode_body(sets_now, removes_now, chunk), expected),
                )
            )
        tl.commit()
    return found


@settings(max_examples=200, deadline=None)
@given(steps=st.lists(changes, min_size=2, max_size=8), chunk=st.sampled_from([1, 2, 3, CHUNK_ENTRIES]))
def test_a_commits_native_change_and_digest_are_the_oracles_byte_for_byte(steps, chunk):
    # Small chunks frame small changes, splitting namespaces, sets and removes between chunks.
    for native, oracle in _deltas(steps, chunk):
        assert native == oracle


def _keyframes_agree(store, chunk):
    """The native keyframe of the store's state is the oracle's body and digest, chunked alike."""
    now = store.snapshot()
    whole = record_oracle.entries_of(now, Store())
    raw, digest = timeline.state_keyframe(now, chunk, True)
    assert (body.stored_form(raw), digest) == (
        record_oracle.encode_body(whole, {}, chunk),
        record_oracle.state_digest(whole),
    )
    assert timeline.state_keyframe(now, chunk, False) == (raw, None)


@settings(max_examples=100, deadline=None)
@given(steps=st.lists(changes, max_size=6), chunk=st.sampled_from([1, 2, 3, CHUNK_ENTRIES]))
def test_a_native_keyframe_is_the_oracles_byte_for_byte(steps, chunk):
    # Small chunks frame small states, splitting namespaces between chunks.
    store = Store()
    for change in steps:
        _apply(store, *change)
    _keyframes_agree(store, chunk)


def test_a_large_change_and_keyframe_are_framed_as_the_oracle_frames_them():
    # Past the default chunk (and the size encoded without the interpreter lock), in several namespaces.
    big = [
        ({f"n{ns}": {str(i): {"v": i} for i in range(CHUNK_ENTRIES + 1)} for ns in range(3)}, {}),
        ({"n0": {"0": "x"}, "n2": {"x": 1}}, {"n1": [str(i) for i in range(CHUNK_ENTRIES // 2 + 1)]}),
    ]
    for native, oracle in _deltas([({}, {}), *big]):
        assert native == oracle
    store = Store()
    _apply(store, *big[0])
    _keyframes_agree(store, CHUNK_ENTRIES)
    now = store.snapshot()
    for call, error in [
        (lambda: timeline.state_keyframe(now, 0, True), ValueError),
        (lambda: timeline.state_delta(now, "not a snapshot", 0, 8), TypeError),
        (lambda: timeline.state_delta(now, now, 0, 0), ValueError),
    ]:
        with pytest.raises(error):
            call()


small_ints = st.integers(-(2**63), 2**63 - 1) | st.integers(-3, 3)
headers = st.fixed_dictionaries(
    dict(
        seq=small_ints,
        id=st.none() | st.text(max_size=4) | st.just("\ud800"),  # a lone surrogate is the oracle's to refuse
        parent=st.none() | small_ints,
        base=small_ints,
        kind=st.sampled_from([DELTA, KEYFRAME, 7]),
        timestamp=st.floats(allow_nan=False) | st.integers(0, 9),  # an int where a float belongs
        digest=st.integers(-(2**64), 2**64),
        meta=st.binary(max_size=8),
        body=st.binary(max_size=8) | st.just(body.COMPRESSED),
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


def _verdict(check, name, row):
    """The exception's type and message `check` raises for the record, or None if it holds."""
    try:
        check(name, row)
    except (CorruptRecordError, FormatError) as exc:
        return type(exc), str(exc)
    return None


def _native(check):
    def run(name, row):
        fault = check(name, row, FORMAT)
        if fault is not None:
            raise_fault(name, fault, FORMAT)

    return run


@settings(max_examples=400, deadline=None)
@given(
    fields=headers, name=st.sampled_from(["t", "é" * 40]), damage=st.sampled_from(list(range(13)) + [None])
)
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
    row = (
        expected
        if damage is None
        else expected._replace(**{expected._fields[damage]: _other(expected[damage])})
    )
    for native, oracle in [
        (header_fault, record_oracle.check_header),
        (record_fault, record_oracle.check_record),
    ]:
        got = _verdict(_native(native), name, row)
        if got is not None and got[1].endswith(")") and "unreadable header (" in got[1]:
            fault = native(name, row, FORMAT)
            assert fault is not None and fault[0] == UNREADABLE_HEADER
            continue  # a float seq, a str meta: what no log stores, which the oracle may read
        assert got == _verdict(oracle, name, row)
    with pytest.raises(UnicodeEncodeError):  # a name no timeline has is the caller's error
        header_fault("\ud800", row, FORMAT)

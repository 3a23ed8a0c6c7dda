"""What the native record paths do with large inputs: keyframes of many namespaces, and inflating.

A keyframe loads to the very state the oracle loads, whatever the number of namespaces and
however its chunks list them. A compressed body is inflated into one buffer of exactly the size
it declares: a bomb costs that size once, and a stream that holds more than it declares, or a
declared size its stream cannot hold, is refused without being held. Beside them: the format's
worked examples, and exports, byte for byte the oracle's, imported whole or refused as damage.
"""

import functools
import itertools
import tracemalloc
import zlib

import pytest
import record_oracle
from derirezaro import Store, dumps
from derirezaro._replay import replay_chain
from derirezaro.persist import CorruptRecordError, MemoryLog, blob, body, record, replay
from derirezaro.persist.record import DELTA, FORMAT, KEYFRAME
from record_oracle import entry_hash
from test_persist_durability import flips
from test_persist_model import content
from test_persist_replay import sealed

MiB = 1 << 20


many = {f"namespace-{i}": {"k": i, f"k{i % 3}": [i]} for i in range(3000)}
written = record_oracle.encode_body(many, {})  # as a timeline writes it: framed, compressed
split, plain = record_oracle.encode_body(many, {}, 7), bytes(body.decompress(written))


@pytest.mark.parametrize("data", [written, split, plain], ids=["written", "split", "plain"])
def test_a_keyframe_loads_natively_to_the_oracles_state(data):
    row, store = sealed([data])[0], Store()
    digest = replay_chain(store, "t", [row], replay._inflated("t", [row]), 0, True, FORMAT, False)
    assert (digest, content(store.snapshot())) == record_oracle.replay([row])


def compressed(inner, declared=None):
    size = len(inner) if declared is None else declared
    return body.COMPRESSED + size.to_bytes(8, "big") + zlib.compress(inner)


BOMB = 64 * MiB  # zeros, in a stream of about 64 KiB


@functools.cache
def bomb_stream():
    return zlib.compress(bytes(BOMB), 9)


def bomb(declared=BOMB, tail=b""):
    return body.COMPRESSED + declared.to_bytes(8, "big") + bomb_stream() + tail


def stored_to(stream_size):
    """A compressed body whose stream (stored blocks) is exactly `stream_size` bytes."""
    size = stream_size - 6 - 5 * -(-stream_size // 65540)  # zlib's head and check; each block's head
    data = (bytes(range(2, 253)) * (size // 251 + 1))[:size]
    packed = body.COMPRESSED + size.to_bytes(8, "big") + zlib.compress(data, 0)
    assert len(packed) == 9 + stream_size
    return packed


LENGTH = "not the length it declares"


@pytest.mark.parametrize("make, error, held", [
    # the bomb that declares what it holds costs that once
    (lambda: bomb(), None, BOMB + MiB),
    # one that holds more than it declares: refused a step past the declared size
    (lambda: bomb(declared=MiB), LENGTH, 2 * MiB), (lambda: bomb(declared=BOMB - 1), LENGTH, 2 * MiB),
    # a size no stream of its length holds: refused before inflating
    (lambda: compressed(b"x" * 1000, declared=1032 * 100 * MiB), "cannot hold", MiB),
    (lambda: compressed(b"x" * 1000, declared=0), "cannot hold", MiB),
    # less than it declares, cut short, or more after the stream
    (lambda: bomb(declared=BOMB + 1), LENGTH, 2 * MiB), (lambda: bomb()[:-1], LENGTH, 2 * MiB),
    (lambda: bomb(tail=b"\x00"), LENGTH, 2 * MiB),
    # bytes after a stream that ends where a step of the checking pass ends
    (lambda: stored_to(1 << 16) + b"\x00", LENGTH, MiB),
    (lambda: compressed(body.compress(bytes(300))), "holds a compressed body", MiB),
])  # fmt: skip
def test_a_compressed_body_is_inflated_once_into_its_declared_size(make, error, held):
    data, inner = make(), None
    tracemalloc.start()
    try:
        if error is None:
            inner = body.decompress(data)
        else:
            with pytest.raises(ValueError, match=error):
                body.decompress(data)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak <= held
    assert inner is None or (len(inner) == BOMB and inner.count(0) == BOMB)


FIELDS = ("seq", "id", "parent", "kind", "timestamp", "digest", "meta")
FORMAT_EXAMPLES = [  # src/persist/FORMAT.md's records: header fields, change, header, body, checksums
    ((1, None, None, KEYFRAME, 1.5, 0x0E38559E52A92A8E, b""), [{"ns": {"k": 1}}, {}],
     "99 01 a1 74 01 c0 c0 01 01 cb 3f f8 00 00 00 00 00 00 cf 0e 38 55 9e 52 a9 2a 8e",
     "92 81 a2 6e 73 81 a1 6b 01 80", (1657168272, 177140504)),
    ((2, "second", 1, DELTA, 2.5, 0x0B1CC42A0B955E7C, dumps({"note": "x"})),
     [{"ns": {"j": 2}}, {"ns": ["k"]}],
     "99 01 a1 74 02 a6 73 65 63 6f 6e 64 01 01 00 cb 40 04 00 00 00 00 00 00 ce 0b 95 5e 7c",
     "92 81 a2 6e 73 81 a1 6a 02 81 a2 6e 73 91 a1 6b", (838646798, -1621540670)),
]  # fmt: skip


def _sealed_by_position(timeline, *, seq, id, parent, base, kind, timestamp, digest, meta, body):
    return record.sealed(timeline, seq, id, parent, base, kind, timestamp, digest, meta, body)


def test_a_body_compressed_with_a_window_of_its_size_inflates_whole_at_every_size():
    text = bytes(range(97, 123)) * 6000
    for size in (256, 511, 512, 513, 1024, 4097, 1 << 15, (1 << 15) + 1, len(text)):
        packed = body.compress(text[:size])
        assert bytes(body.decompress(packed)) == text[:size] and len(packed) < size // 4


SEALS = [record.seal, _sealed_by_position, record_oracle.seal]


@pytest.mark.parametrize("seal", SEALS, ids=["native", "positional", "oracle"])
def test_the_format_documents_example_records_are_what_seal_writes(seal):
    # A change here is a change of the format: FORMAT.md shows these bytes and sums.
    first = entry_hash("ns", "k", 1)  # the digests: the first state's, then after the delta's change
    assert (first, (first - entry_hash("ns", "k", 1) + entry_hash("ns", "j", 2)) % 2**64) == tuple(
        fields[5] for fields, *_ in FORMAT_EXAMPLES
    )
    for fields, change, header, encoded, sums in FORMAT_EXAMPLES:
        fields = dict(zip(FIELDS, fields, strict=True))
        row = seal("t", base=1, body=record_oracle.encode_body(*change), **fields)
        assert row.body == bytes.fromhex(encoded) and (row.header_crc, row.crc) == sums
        signed = [row.format, "t", row.seq, row.id, row.parent, row.base, row.kind, row.timestamp, row.digest]
        assert dumps(signed) == bytes.fromhex(header)
        assert zlib.crc32(row.meta, zlib.crc32(dumps(signed))) == sums[0] % 2**32


def test_a_commits_positional_seal_is_seal_at_every_digest_sign_and_body_format():
    # Digests whose stored form turns negative at 32 or 64 bits, and bodies plain and compressed.
    digests = [0, 1, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1]
    payloads = (b"\x92\x80\x80", body.compress(b"\x92\x80\x80" * 200))
    for digest, kind, payload in itertools.product(digests, (DELTA, KEYFRAME), payloads):
        fields = dict(seq=7, id=None, parent=6, base=7 if kind == KEYFRAME else 1, kind=kind)
        fields.update(timestamp=1.5, digest=digest, meta=b"\xa1m", body=payload)
        assert _sealed_by_position("t", **fields) == record.seal("t", **fields), (digest, kind)


@pytest.mark.parametrize("namespaces", [0, 1, 3, 700])  # 700: map16 headers, and every shard
def test_an_export_is_the_oracles_byte_for_byte_and_imports_to_its_state(namespaces):
    store = Store()
    for i in range(namespaces * 3):
        store.set(f"n{i % namespaces}", f"k{i}", [i, "é" * (i % 5), {"x": i / 3}])
    snapshot = store.snapshot()
    state = record_oracle.entries_of(snapshot)
    expected = record_oracle.blob(dumps([record_oracle.state_digest(state), state]))
    assert blob.export_snapshot(snapshot) == expected
    assert content(blob.import_snapshot(expected)) == content(snapshot)


def test_an_import_refuses_damage_and_names_what_is_wrong_under_a_right_checksum():
    (store := Store()).set("n", "k", [1, "x"])
    exported = blob.export_snapshot(store.snapshot())
    for damaged in [*flips(exported), *(exported[:cut] for cut in range(len(exported)))]:
        with pytest.raises(CorruptRecordError):
            blob.import_snapshot(damaged)
    state, digest = {"n": {"k": 1}}, entry_hash("n", "k", 1)
    for payload, what in [
        (dumps([digest + 1, state]), "state digest mismatch"), (dumps([-1, state]), "state digest mismatch"),
        (dumps(["x", state]), "not a digest and a state"), (dumps([digest]), "not a digest and a state"),
        (dumps([digest, {"n": {1: 1}}]), "not namespaces of keyed entries"),
        (dumps([digest, state]) + b"\x00", "not namespaces of keyed entries"),
    ]:  # fmt: skip
        with pytest.raises(CorruptRecordError, match=f"undecodable state \\({what}\\)"):
            blob.import_snapshot(record_oracle.blob(payload))


def test_a_value_as_deep_as_the_store_takes_commits_and_reads_back():
    # The deepest values the codec writes: each commits as a delta and as a keyframe, and reads back.
    store, log = Store(), MemoryLog()
    tl = log.timeline("t", store, keyframe_every=2)
    for i, (depth, leaf) in enumerate([(511, 1), (510, "x"), (511, [])] * 2):
        store.set("n", str(i), functools.reduce(lambda inner, _: [inner], range(depth), leaf))
        tl.commit()
    reread = Store()
    assert log.timeline("t", reread).verify() == []
    assert content(reread.snapshot()) == content(store.snapshot())

"""The record format in Python: the oracle the native code is held to.

Written from src/persist/FORMAT.md, independently of the native code, and only
for the differential tests: seal, the checks, a commit's change, the body
encoder, replay, the digest, an export's layout. Every verdict and every byte
the native side gives must be the one this gives.
"""

from __future__ import annotations

import hashlib
import zlib
from collections.abc import Iterator
from typing import Any

from derirezaro import Snapshot, Store, dumps, loads
from derirezaro.persist.body import CHUNK_ENTRIES, COMPRESSED, FRAMED, Removes, State, decompress, stored_form
from derirezaro.persist.errors import CorruptRecordError, FormatError
from derirezaro.persist.record import DELTA, DIGEST_MASK, FORMAT, KEYFRAME, StoredRecord, stored_digest

_SIGN32 = 1 << 31  # (x ^ _SIGN32) - _SIGN32: an unsigned 32-bit x as two's complement


def header_crc(timeline, format, seq, id, parent, base, kind, timestamp, digest, meta) -> int:
    fields = dumps([format, timeline, seq, id, parent, base, kind, timestamp, digest])
    return zlib.crc32(meta, zlib.crc32(fields))


def seal(timeline, *, seq, id, parent, base, kind, timestamp, digest, meta, body) -> StoredRecord:
    digest = stored_digest(digest, kind)
    format = 2 if body.startswith(COMPRESSED) else 1  # the oldest format that reads the body
    header = header_crc(timeline, format, seq, id, parent, base, kind, timestamp, digest, meta)
    sums = (header ^ _SIGN32) - _SIGN32, (zlib.crc32(body, header) ^ _SIGN32) - _SIGN32
    return StoredRecord(seq, id, parent, base, kind, format, timestamp, digest, *sums, meta, body, len(body))


def check_header(timeline: str, row: StoredRecord) -> None:
    seq, id, parent, base, kind, format, timestamp, digest, stored_crc, _, meta, _, _ = row
    try:
        crc = header_crc(timeline, format, seq, id, parent, base, kind, timestamp, digest, meta)
    except (TypeError, ValueError, OverflowError) as exc:  # a field of the wrong type or range
        raise CorruptRecordError(timeline, seq, f"unreadable header ({exc})") from None
    if (crc ^ _SIGN32) - _SIGN32 != stored_crc:
        raise CorruptRecordError(timeline, seq, "header checksum mismatch")
    if format > FORMAT:
        raise FormatError(format, FORMAT, f"timeline {timeline!r}, record {seq}")
    delta = kind == DELTA and parent is not None and base <= parent < seq
    keyframe = kind == KEYFRAME and base == seq and (parent is None or parent < seq)
    if format < 1 or not (delta or keyframe):
        raise CorruptRecordError(timeline, seq, "inconsistent header")


def check_record(timeline: str, row: StoredRecord) -> None:
    """Every check of a record but its body's contents."""
    check_header(timeline, row)
    if row.body is None or len(row.body) != row.body_size:
        raise CorruptRecordError(timeline, row.seq, "truncated body")
    crc = zlib.crc32(row.body, row.header_crc & 0xFFFFFFFF)
    if (crc ^ _SIGN32) - _SIGN32 != row.crc:
        raise CorruptRecordError(timeline, row.seq, "checksum mismatch")


def changes(now: Snapshot, before: Snapshot, digest: int) -> tuple[State, Removes, int]:
    """The entries set and removed from `before` to `now`, and the digest they lead from `digest` to."""
    new, old, diff = entries_of(now), entries_of(before), now.diff(before)
    sets: State = {}
    removes: Removes = {}
    for namespace, key in diff["removed"]:
        removes.setdefault(namespace, []).append(key)
    for namespace, key in (*diff["added"], *diff["changed"]):
        sets.setdefault(namespace, {})[key] = new[namespace][key]
    gone = sum(entry_hash(ns, key, old[ns][key]) for ns, key in (*diff["removed"], *diff["changed"]))
    return sets, removes, (digest - gone + state_digest(sets)) & DIGEST_MASK


def encode_body(sets: State, removes: Removes, chunk_entries: int = CHUNK_ENTRIES) -> bytes:
    if sum(map(len, sets.values())) + sum(map(len, removes.values())) <= chunk_entries:
        return stored_form(dumps([sets, removes]))
    chunks = [dumps(chunk) for chunk in _chunks(sets, removes, chunk_entries)]
    return stored_form(FRAMED + b"".join(len(chunk).to_bytes(4, "big") + chunk for chunk in chunks))


def _chunks(sets: State, removes: Removes, chunk_entries: int) -> Iterator[list[Any]]:
    """`[sets, removes]` pieces of `chunk_entries` entries (the last: the rest), in order."""
    entries = [(0, ns, key, value) for ns, pairs in sets.items() for key, value in pairs.items()]
    entries += [(1, ns, key, None) for ns, keys in removes.items() for key in keys]
    for at in range(0, len(entries), chunk_entries):
        chunk: list[Any] = [{}, {}]
        for removed, ns, key, value in entries[at : at + chunk_entries]:
            if removed:
                chunk[1].setdefault(ns, []).append(key)
            else:
                chunk[0].setdefault(ns, {})[key] = value
        yield chunk


def state_digest(state: State) -> int:
    hashes = (entry_hash(ns, key, value) for ns, entries in state.items() for key, value in entries.items())
    return sum(hashes) & DIGEST_MASK


def replay(rows: list[StoredRecord]) -> tuple[int, dict] | None:
    """The digest and contents ((namespace, key) -> encoded value) a chain from its keyframe ends at.

    The digest starts as the keyframe's stored one and follows the entries
    changed; it is not checked. None if a record is damaged, a body
    undecodable or a removed pair absent.
    """
    state: State = {}
    try:
        for row in rows:
            check_record("t", row)
            sets, removes = decode_body(row.body)
            if row.kind == KEYFRAME:  # it replaces the state: what it removes is moot
                state, removes, start = {}, {}, row.digest - state_digest(sets)
            for namespace, keys in removes.items():
                for key in keys:
                    del state[namespace][key]  # KeyError: a pair removed that is absent
            for namespace, entries in sets.items():
                state.setdefault(namespace, {}).update(entries)
    except (CorruptRecordError, FormatError, TypeError, ValueError, KeyError):
        return None
    digest = (start + state_digest(state)) & DIGEST_MASK
    contents = {(ns, key): dumps(value) for ns, entries in state.items() for key, value in entries.items()}
    return digest, contents


def blob(payload: bytes) -> bytes:
    """An exported snapshot as persist/blob.py lays it out: magic, format, payload ([digest, state]), CRC."""
    head = b"DZSN\x01" + payload
    return head + zlib.crc32(head).to_bytes(4, "big")


def entries_of(snapshot: Snapshot) -> State:
    """Every entry of `snapshot`, read through a store it is restored into (a snapshot has no get)."""
    (view := Store(max_history=0)).restore(snapshot)
    state: State = {}
    for namespace, key in snapshot.keys:
        state.setdefault(namespace, {})[key] = view.get(namespace, key)
    return state


def entry_hash(namespace: str, key: str, value: Any) -> int:
    """The entry's share of the digest: a hash of the codec's encoding of the entry.

    The codec is deterministic, so this is a hash of the stored bytes: the
    namespace, the key and the value exactly as the store holds it.
    """
    return int.from_bytes(hashlib.blake2b(dumps([namespace, key, value]), digest_size=8).digest(), "little")


def decode_body(body: bytes) -> tuple[State, Removes]:
    """The sets and removes of a body whose checksum is right; ValueError if its layout is wrong."""
    if body.startswith(COMPRESSED):
        body = bytes(decompress(body))
    if not body.startswith(FRAMED):
        return _decode_chunk(body)
    sets: State = {}
    removes: Removes = {}
    at = len(FRAMED)
    while at < len(body):
        end = at + 4 + int.from_bytes(body[at : at + 4], "big")
        if end > len(body):
            raise ValueError(f"chunk at byte {at} runs past the end")
        chunk_sets, chunk_removes = _decode_chunk(body[at + 4 : end])
        for namespace, entries in chunk_sets.items():
            sets.setdefault(namespace, {}).update(entries)
        for namespace, keys in chunk_removes.items():
            removes.setdefault(namespace, []).extend(keys)
        at = end
    return sets, removes


def _decode_chunk(data: bytes) -> tuple[State, Removes]:
    decoded = loads(data)
    if not (type(decoded) is list and len(decoded) == 2 and all(type(side) is dict for side in decoded)):
        raise ValueError("not a pair of maps")
    if not (_keyed(decoded[0], dict) and _keyed(decoded[1], list)):
        raise ValueError("not namespaces of keys")
    return decoded[0], decoded[1]


def _keyed(side: dict, kind: type) -> bool:
    """Whether `side` maps text namespaces to `kind`s (of sets: maps; of removes: lists) of text keys."""
    return all(
        type(ns) is str and type(keys) is kind and all(type(k) is str for k in keys)
        for ns, keys in side.items()
    )

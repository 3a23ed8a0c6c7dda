"""The record format in Python: the oracle the native code is held to.

Written from src/persist/FORMAT.md, independently of the native code, and only
for the differential tests: seal, the checks, a commit's change, the body
encoder and decoder, the digest. Every verdict and every byte the native side
gives must be the one this gives.
"""

from __future__ import annotations

import hashlib
import zlib
from collections.abc import Callable, Iterable, Iterator
from itertools import islice
from typing import Any, cast

from derirezaro import Snapshot, Store, dumps, loads
from derirezaro.persist.body import CHUNK_ENTRIES, COMPRESSED, FRAMED, Removes, State, decompress, stored_form
from derirezaro.persist.errors import CorruptRecordError, FormatError
from derirezaro.persist.record import (
    DELTA,
    DIGEST_MASK,
    FORMAT,
    KEYFRAME,
    StoredRecord,
    format_of,
    signed,
    stored_digest,
)

_SIGN32 = 1 << 31  # (x ^ _SIGN32) - _SIGN32: an unsigned 32-bit x as two's complement


def header_crc(timeline, format, seq, id, parent, base, kind, timestamp, digest, meta) -> int:
    fields = dumps([format, timeline, seq, id, parent, base, kind, timestamp, digest])
    return zlib.crc32(meta, zlib.crc32(fields))


def seal(timeline, *, seq, id, parent, base, kind, timestamp, digest, meta, body) -> StoredRecord:
    digest = stored_digest(digest, kind)
    format = format_of(body)
    header = header_crc(timeline, format, seq, id, parent, base, kind, timestamp, digest, meta)
    sums = signed(header, 32), signed(zlib.crc32(body, header), 32)
    return StoredRecord(seq, id, parent, base, kind, format, timestamp, digest, *sums, meta, body, len(body))


def check_header(timeline: str, row: StoredRecord) -> None:
    seq, id, parent, base, kind, format, timestamp, digest, stored_crc, _, meta, _, _ = row
    try:
        crc = header_crc(timeline, format, seq, id, parent, base, kind, timestamp, digest, meta)
    except (TypeError, ValueError, OverflowError) as exc:  # a field of the wrong type or range
        raise CorruptRecordError(timeline, seq, f"unreadable header ({exc})") from None
    if (crc ^ _SIGN32) - _SIGN32 != stored_crc:
        raise CorruptRecordError(timeline, seq, "header checksum mismatch")
    if not 1 <= format <= FORMAT:
        if format > FORMAT:
            raise FormatError(format, FORMAT, f"timeline {timeline!r}, record {seq}")
        raise CorruptRecordError(timeline, seq, "inconsistent header")
    if kind == DELTA:
        if parent is None or not base <= parent < seq:
            raise CorruptRecordError(timeline, seq, "inconsistent header")
    elif kind != KEYFRAME or base != seq or not (parent is None or parent < seq):
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
    new, old = Store(max_history=0), Store(max_history=0)  # a snapshot has no get: a store shows it
    new.restore(now)
    old.restore(before)
    diff = now.diff(before)
    sets: State = {}
    removes: Removes = {}
    for namespace, key in diff["removed"]:
        digest -= entry_hash(namespace, key, old.get(namespace, key))
        removes.setdefault(namespace, []).append(key)
    for namespace, key in diff["changed"]:
        digest -= entry_hash(namespace, key, old.get(namespace, key))
    for namespace, key in (*diff["added"], *diff["changed"]):
        value = new.get(namespace, key)
        sets.setdefault(namespace, {})[key] = value
        digest += entry_hash(namespace, key, value)
    return sets, removes, digest & DIGEST_MASK


def encode_body(sets: State, removes: Removes, chunk_entries: int = CHUNK_ENTRIES) -> bytes:
    count = sum(map(len, sets.values())) + sum(map(len, removes.values()))
    if count <= chunk_entries:
        body = dumps(cast(Any, [sets, removes]))
    else:
        parts = [FRAMED]
        for chunk in _chunks(sets, removes, chunk_entries):
            encoded = dumps(cast(Any, chunk))
            parts += (len(encoded).to_bytes(4, "big"), encoded)
        body = b"".join(parts)
    return stored_form(body)


def _chunks(sets: State, removes: Removes, chunk_entries: int) -> Iterator[list[Any]]:
    """`[sets, removes]` pieces of at most `chunk_entries` entries; a namespace appears once per piece."""
    pieces: list[tuple[int, str, Iterator[Any], Callable[[Iterable[Any]], Any]]] = [
        *((0, namespace, iter(entries.items()), dict) for namespace, entries in sets.items()),
        *((1, namespace, iter(keys), list) for namespace, keys in removes.items()),
    ]
    chunk: list[Any] = [{}, {}]
    room = chunk_entries
    for side, namespace, rest, build in pieces:
        while part := build(islice(rest, room)):
            chunk[side][namespace] = part
            room -= len(part)
            if room == 0:
                yield chunk
                chunk, room = [{}, {}], chunk_entries
    if room < chunk_entries:
        yield chunk


def state_digest(state: State) -> int:
    return (
        sum(entry_hash(ns, k, v) for ns, entries in state.items() for k, v in entries.items()) & DIGEST_MASK
    )


def replay(rows: list[StoredRecord], check_digest: bool = True) -> tuple[int, dict] | None:
    """The digest and contents ((namespace, key) -> encoded value) a chain from its keyframe ends at.

    The digest starts as the keyframe's stored one and follows the entries
    changed. None if a record is damaged, a body undecodable, a removed pair
    absent, or (with `check_digest`) the digest not the last record's.
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
    if check_digest and stored_digest(digest, rows[-1].kind) != rows[-1].digest:
        return None
    contents = {(ns, key): dumps(value) for ns, entries in state.items() for key, value in entries.items()}
    return digest, contents


def export_snapshot(state: State) -> bytes:
    """An exported snapshot of `state` as persist/blob.py lays it out: magic, format, [digest, state], CRC."""
    head = b"DZSN\x01" + dumps([state_digest(state), state])
    return head + zlib.crc32(head).to_bytes(4, "big")


def entries_of(snapshot: Snapshot, view: Store) -> State:
    """Every entry of `snapshot`, read through `view` (a store it is restored into: a snapshot has no get)."""
    view.restore(snapshot)
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
        body = decompress(body)
    if not body.startswith(FRAMED):
        return _decode_chunk(body)
    sets: State = {}
    removes: Removes = {}
    at = len(FRAMED)
    while at < len(body):
        length = int.from_bytes(body[at : at + 4], "big")
        chunk = body[at + 4 : at + 4 + length]
        if at + 4 > len(body) or len(chunk) != length:
            raise ValueError(f"chunk at byte {at} runs past the end")
        at += 4 + length
        chunk_sets, chunk_removes = _decode_chunk(chunk)
        for namespace, entries in chunk_sets.items():
            sets.setdefault(namespace, {}).update(entries)
        for namespace, keys in chunk_removes.items():
            removes.setdefault(namespace, []).extend(keys)
    return sets, removes


def _decode_chunk(data: bytes) -> tuple[State, Removes]:
    decoded = loads(data)
    if not (type(decoded) is list and len(decoded) == 2):
        raise ValueError("not a pair of maps")
    sets, removes = decoded
    if not (isinstance(sets, dict) and isinstance(removes, dict)):
        raise ValueError("not two maps")
    for namespace, entries in sets.items():
        if type(namespace) is not str or type(entries) is not dict:
            raise ValueError("a namespace of sets is not a map")
        for key in entries:
            if type(key) is not str:
                raise ValueError("a key is not a string")
    for namespace, keys in removes.items():
        if type(namespace) is not str or type(keys) is not list:
            raise ValueError("a namespace of removes is not a list")
        if not all(type(key) is str for key in keys):
            raise ValueError("a removed key is not a string")
    return sets, removes

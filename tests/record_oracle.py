"""The record format's checks and checksums in Python: the oracle the native ones are held to.

Written from src/persist/FORMAT.md, independently of the native code, and only
for the differential tests: every verdict and every byte the native side gives
must be the one this gives.
"""

from __future__ import annotations

import zlib
from collections.abc import Callable, Iterable, Iterator
from itertools import islice
from typing import Any, cast

from derirezaro import Snapshot, Store, dumps
from derirezaro.persist.body import CHUNK_ENTRIES, FRAMED, Removes, State, stored_form
from derirezaro.persist.errors import CorruptRecordError, FormatError
from derirezaro.persist.record import (
    DELTA,
    DIGEST_MASK,
    FORMAT,
    KEYFRAME,
    StoredRecord,
    entry_hash,
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


def export_snapshot(state: State) -> bytes:
    """An exported snapshot of `state` as persist/blob.py lays it out: magic, format, [digest, state], CRC."""
    digest = sum(
        entry_hash(ns, key, value) for ns, entries in state.items() for key, value in entries.items()
    )
    head = b"DZSN\x01" + dumps([digest & DIGEST_MASK, state])
    return head + zlib.crc32(head).to_bytes(4, "big")


def entries_of(snapshot: Snapshot, view: Store) -> State:
    """Every entry of `snapshot`, read through `view` (a store it is restored into: a snapshot has no get)."""
    view.restore(snapshot)
    state: State = {}
    for namespace, key in snapshot.keys:
        state.setdefault(namespace, {})[key] = view.get(namespace, key)
    return state

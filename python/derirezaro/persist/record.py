"""What one commit stores, and the checks that keep it honest.

A record is the change from its parent's state to its own: the entries set
(new or changed, with their encoded values) and the pairs removed. A keyframe
is a record that holds its whole state and has no need of a parent's.

Every record carries two CRC32s. `header_crc` covers the header fields, the
timeline's name and `meta`, so a header-only listing can check what it reads;
`crc` continues it over the body, so nothing stored escapes it. The coverage
is fixed for every format version: a reader checks the CRC before it looks at
`format`, so a damaged record reads as damaged and a sound record from a newer
version reads as `FormatError`.

`digest` is the state's fingerprint after the record: the sum, modulo 2^64, of
one 64-bit hash per entry. A sum can be kept up to date from a diff (subtract
the old entry, add the new), so a commit costs what it changes, and replay
recomputes it from the deltas it applies: a record whose CRC is right but
whose delta is wrong leads to a different digest.
"""

from __future__ import annotations

import dataclasses
import hashlib
import zlib
from typing import Any, NamedTuple

from .._core import dumps, loads
from .errors import CorruptRecordError, FormatError

FORMAT = 1  # the record format this code writes and the newest it reads
DELTA, KEYFRAME = 0, 1
KIND_NAMES = {DELTA: "delta", KEYFRAME: "keyframe"}

# The state as replay keeps it: namespace -> key -> encoded value.
State = dict[str, dict[str, bytes]]


class StoredRecord(NamedTuple):
    """One record as a log stores it; logs keep these fields verbatim.

    `id` is None when the record's id is its decimal seq (most records), so
    that only chosen ids cost an index entry. `body` is None in header-only
    reads, where `body_size` still tells its length.
    """

    seq: int
    id: str | None
    parent: int | None
    base: int  # seq of the keyframe this record's chain starts at (its own, for a keyframe)
    kind: int
    format: int
    timestamp: float
    digest: int  # signed 64-bit, as SQL integers are
    header_crc: int  # signed 32-bit
    crc: int  # signed 32-bit
    meta: bytes
    body: bytes | None
    body_size: int


@dataclasses.dataclass(frozen=True, slots=True)
class Record:
    """The header of one commit: what `commit()`, `head` and `records()` return."""

    seq: int
    id: str
    parent: int | None
    kind: str
    timestamp: float
    meta: Any
    size: int  # bytes of the record's body


def signed(value: int, bits: int) -> int:
    """`value` modulo 2^bits as a two's-complement integer (SQL integers are signed)."""
    value &= (1 << bits) - 1
    return value - (1 << bits) if value >> (bits - 1) else value


def entry_hash(namespace: str, key: str, value: bytes) -> int:
    h = hashlib.blake2b(dumps([namespace, key]), digest_size=8)
    h.update(value)
    return int.from_bytes(h.digest(), "little")


def encode_body(sets: State, removes: dict[str, list[str]]) -> bytes:
    return dumps([sets, removes])


def seal(
    timeline: str,
    *,
    seq: int,
    id: str | None,
    parent: int | None,
    base: int,
    kind: int,
    timestamp: float,
    digest: int,
    meta: bytes,
    body: bytes,
) -> StoredRecord:
    """Build a record with its checksums."""
    digest = signed(digest, 64)
    header = _header_crc(timeline, FORMAT, seq, id, parent, base, kind, timestamp, digest, meta)
    return StoredRecord(
        seq,
        id,
        parent,
        base,
        kind,
        FORMAT,
        timestamp,
        digest,
        signed(header, 32),
        signed(zlib.crc32(body, header), 32),
        meta,
        body,
        len(body),
    )


def _header_crc(timeline, format, seq, id, parent, base, kind, timestamp, digest, meta) -> int:
    fields = dumps([format, timeline, seq, id, parent, base, kind, timestamp, digest])
    return zlib.crc32(meta, zlib.crc32(fields))


def check_header(timeline: str, row: StoredRecord) -> None:
    """Raise unless the header fields and meta are as written and in a format this code reads."""
    r = row
    try:
        crc = _header_crc(
            timeline, r.format, r.seq, r.id, r.parent, r.base, r.kind, r.timestamp, r.digest, r.meta
        )
    except (TypeError, ValueError, OverflowError) as exc:  # a field of the wrong type or range
        raise CorruptRecordError(timeline, r.seq, f"unreadable header ({exc})") from None
    if signed(crc, 32) != r.header_crc:
        raise CorruptRecordError(timeline, r.seq, "header checksum mismatch")
    if r.format > FORMAT:
        raise FormatError(r.format, FORMAT, f"timeline {timeline!r}, record {r.seq}")
    if (
        r.format < 1
        or r.kind not in KIND_NAMES
        or (r.kind == KEYFRAME) != (r.base == r.seq)
        or not (r.parent is None or r.parent < r.seq)
        or (r.kind == DELTA and (r.parent is None or r.parent < r.base))
    ):
        raise CorruptRecordError(timeline, r.seq, "inconsistent header")


def check_body(timeline: str, row: StoredRecord) -> tuple[State, dict[str, list[str]]]:
    """Check the whole record and decode its body; raise rather than return damaged data."""
    check_header(timeline, row)
    if row.body is None or len(row.body) != row.body_size:
        raise CorruptRecordError(timeline, row.seq, "truncated body")
    if signed(zlib.crc32(row.body, row.header_crc & 0xFFFFFFFF), 32) != row.crc:
        raise CorruptRecordError(timeline, row.seq, "checksum mismatch")
    try:
        sets, removes = loads(row.body)
        if not (isinstance(sets, dict) and isinstance(removes, dict)):
            raise ValueError("not two maps")
        for namespace, entries in sets.items():
            if not isinstance(namespace, str) or not isinstance(entries, dict):
                raise ValueError("a namespace of sets is not a map")
            for key, value in entries.items():
                if not isinstance(key, str) or not isinstance(value, bytes):
                    raise ValueError("an entry is not a key and encoded value")
        for namespace, keys in removes.items():
            if not isinstance(namespace, str) or not isinstance(keys, list):
                raise ValueError("a namespace of removes is not a list")
            if not all(isinstance(key, str) for key in keys):
                raise ValueError("a removed key is not a string")
    except (TypeError, ValueError) as exc:
        raise CorruptRecordError(timeline, row.seq, f"undecodable body ({exc})") from None
    return sets, removes


def public(row: StoredRecord, timeline: str) -> Record:
    """The user's view of a checked header."""
    try:
        meta = loads(row.meta) if row.meta else None
    except ValueError as exc:
        raise CorruptRecordError(timeline, row.seq, f"undecodable meta ({exc})") from None
    return Record(
        row.seq,
        str(row.seq) if row.id is None else row.id,
        row.parent,
        KIND_NAMES[row.kind],
        row.timestamp,
        meta,
        row.body_size,
    )

"""What one commit stores: the record's fields, sealed and checked natively.

A record is the change from its parent's state to its own (a keyframe: the
whole state), behind a header of fields, two CRC-32s and the state's digest.
src/persist/FORMAT.md sets all of it down byte by byte; the checksums and
checks are the native code's (derirezaro._replay), and each fault it names
maps to one exception (faults.py). The CRCs are checked before `format`, so a
damaged record reads as damaged and a sound record of a newer format as
`FormatError`.
"""

from __future__ import annotations

import dataclasses
import functools
from typing import Any, NamedTuple

from .._core import loads
from .._replay import header_fault, record_checksums
from .body import COMPRESSED
from .errors import CorruptRecordError
from .faults import raise_fault

# Record formats: 1, the first; 2 adds compressed bodies. A record states the
# oldest format that reads it, so a file that holds no compressed body stays
# readable by the code that only knew format 1.
FORMAT = 2  # the newest record format this code writes and reads
DELTA, KEYFRAME = 0, 1
DIGEST_MASK = (1 << 64) - 1  # digests are sums modulo 2^64
KIND_NAMES = {DELTA: "delta", KEYFRAME: "keyframe"}


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


def stored_digest(digest: int, kind: int) -> int:
    """What a record of `kind` stores of the state digest `digest`."""
    return signed(digest, 64 if kind == KEYFRAME else 32)


def format_of(body: bytes) -> int:
    """The oldest record format that reads `body`."""
    return 2 if body.startswith(COMPRESSED) else 1


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
    digest = stored_digest(digest, kind)
    format = format_of(body)
    fields = (seq, id, parent, base, kind, format, timestamp, digest)
    return StoredRecord(*fields, *record_checksums(timeline, fields, meta, body), meta, body, len(body))


_new_record = functools.partial(tuple.__new__, StoredRecord)
_DELTA_DIGEST_MASK = (1 << 32) - 1


def sealed(
    timeline: str,
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
    """`seal`, its fields positional, for a commit: `stored_digest`, `format_of` and the NamedTuple's
    own constructor (a Python call each) inlined. The same record, byte for byte."""
    mask = DIGEST_MASK if kind == KEYFRAME else _DELTA_DIGEST_MASK
    digest &= mask
    if digest > mask >> 1:  # two's complement, as `signed` stores it
        digest -= mask + 1
    fields = (seq, id, parent, base, kind, 2 if body.startswith(COMPRESSED) else 1, timestamp, digest)
    header_crc, crc = record_checksums(timeline, fields, meta, body)
    return _new_record(
        (seq, id, parent, base, kind, fields[5], timestamp, digest, header_crc, crc, meta, body, len(body))
    )


def check_header(timeline: str, row: StoredRecord) -> None:
    """Raise unless the header fields and meta are as written and in a format this code reads."""
    fault = header_fault(timeline, row, FORMAT)
    if fault is not None:
        raise_fault(timeline, fault, FORMAT)


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

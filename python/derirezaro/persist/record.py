"""What one commit stores, and the checks that keep it honest.

A record is the change from its parent's state to its own: the entries set
(new or changed, with their values) and the pairs removed, encoded as `body`
lays out. A keyframe is a record that holds its whole state and has no need
of a parent's.

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
whose delta is wrong leads to a different digest. A keyframe stores all 64
bits, since replay continues from them; a delta stores the low 32, enough to
check its step, in half the bytes.
"""

from __future__ import annotations

import dataclasses
import hashlib
from typing import Any, NamedTuple

from .._core import dumps, loads
from .._replay import header_fault, record_checksums, record_fault
from .body import COMPRESSED, Removes, State, decode_body
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


def entry_hash(namespace: str, key: str, value: Any) -> int:
    """The entry's share of the digest: a hash of the codec's encoding of the entry.

    The codec is deterministic, so this is a hash of the stored bytes: the
    namespace, the key and the value exactly as the store holds it.
    """
    return int.from_bytes(hashlib.blake2b(dumps([namespace, key, value]), digest_size=8).digest(), "little")


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


def check_header(timeline: str, row: StoredRecord) -> None:
    """Raise unless the header fields and meta are as written and in a format this code reads."""
    fault = header_fault(timeline, row, FORMAT)
    if fault is not None:
        raise_fault(timeline, fault, FORMAT)


def check_body(timeline: str, row: StoredRecord) -> tuple[State, Removes]:
    """Check the whole record and decode its body; raise rather than return damaged data."""
    fault = record_fault(timeline, row, FORMAT)
    if fault is not None:
        raise_fault(timeline, fault, FORMAT)
    assert row.body is not None  # a record without its body is a truncated one
    try:
        sets, removes = decode_body(row.body)
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

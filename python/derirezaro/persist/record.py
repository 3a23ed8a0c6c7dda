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
import zlib
from collections.abc import Callable
from typing import Any, NamedTuple

from .._core import dumps, loads
from .._replay import header_holds, record_checksums
from .body import COMPRESSED, Removes, State, decode_body
from .errors import CorruptRecordError, FormatError

# Record formats: 1, the first; 2 adds compressed bodies. A record states the
# oldest format that reads it, so a file that holds no compressed body stays
# readable by the code that only knew format 1.
FORMAT = 2  # the newest record format this code writes and reads
DELTA, KEYFRAME = 0, 1
DIGEST_MASK = (1 << 64) - 1  # digests are sums modulo 2^64
_SIGN32 = 1 << 31  # (x ^ _SIGN32) - _SIGN32: an unsigned 32-bit x as two's complement
KIND_NAMES = {DELTA: "delta", KEYFRAME: "keyframe"}
# A header's checks and a record's checksums, natively: the same verdicts and
# values as `_header_crc` and the checks after it. None: the reference alone.
native_header_holds: Callable[[str, Any, int], bool] | None = header_holds
native_checksums: Callable[[str, tuple, bytes, bytes], tuple[int, int] | None] | None = record_checksums


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
    sums = None if native_checksums is None else native_checksums(timeline, fields, meta, body)
    if sums is None:
        header = _header_crc(timeline, format, seq, id, parent, base, kind, timestamp, digest, meta)
        sums = signed(header, 32), signed(zlib.crc32(body, header), 32)
    return StoredRecord(*fields, *sums, meta, body, len(body))


def _header_crc(timeline, format, seq, id, parent, base, kind, timestamp, digest, meta) -> int:
    fields = dumps([format, timeline, seq, id, parent, base, kind, timestamp, digest])
    return zlib.crc32(meta, zlib.crc32(fields))


def check_header(timeline: str, row: StoredRecord) -> None:
    """Raise unless the header fields and meta are as written and in a format this code reads."""
    if native_header_holds is not None and native_header_holds(timeline, row, FORMAT):
        return
    # The reference: it also names the fault of every header the native check leaves to it.
    seq, id, parent, base, kind, format, timestamp, digest, header_crc, _, meta, _, _ = row
    try:
        crc = _header_crc(timeline, format, seq, id, parent, base, kind, timestamp, digest, meta)
    except (TypeError, ValueError, OverflowError) as exc:  # a field of the wrong type or range
        raise CorruptRecordError(timeline, seq, f"unreadable header ({exc})") from None
    if (crc ^ _SIGN32) - _SIGN32 != header_crc:
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


def check_body(timeline: str, row: StoredRecord) -> tuple[State, Removes]:
    """Check the whole record and decode its body; raise rather than return damaged data."""
    check_header(timeline, row)
    body = row.body
    if body is None or len(body) != row.body_size:
        raise CorruptRecordError(timeline, row.seq, "truncated body")
    crc = zlib.crc32(body, row.header_crc & 0xFFFFFFFF)
    if (crc ^ _SIGN32) - _SIGN32 != row.crc:
        raise CorruptRecordError(timeline, row.seq, "checksum mismatch")
    try:
        sets, removes = decode_body(body)
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

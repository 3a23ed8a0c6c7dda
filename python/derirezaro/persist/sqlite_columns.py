"""How the SQLite log's columns hold a record's fields and ids, and how a row reads back as a record.

A record's parent and base are stored as their distances back from its seq
(`parent_gap`, `base_gap`): 1 on a linear timeline, which SQLite stores in no
bytes at all. An id that is a canonical UUID is stored as its 16 bytes where
the file's schema says so (`compact_ids`), and every other id as its text.
"""

from __future__ import annotations

from typing import Any

from .record import StoredRecord

# A row of these reads as a StoredRecord, field for field; the body is left out of a header read.
HEADER_COLUMNS = (
    "seq, id, seq - parent_gap, seq - base_gap, kind, format, timestamp, digest, header_crc, crc, meta,"
    " NULL, length(body)"
)
ALL_COLUMNS = HEADER_COLUMNS.replace("NULL", "body")

# The ids read lately, by their stored bytes: a listing reads the same ones again.
_expanded: dict[bytes, str] = {}
_EXPANDED_KEPT = 4096
# The ids compacted lately: a step binds its checkpoint's id twice, for its record and for its writes.
_compacted: dict[str, str | bytes] = {}
_COMPACTED_KEPT = 4096


def record(row: tuple) -> StoredRecord:
    """A row of `HEADER_COLUMNS` or `ALL_COLUMNS` as the record it stores."""
    if type(row[1]) is bytes:
        row = (row[0], expand_id(row[1]), *row[2:])
    return StoredRecord._make(row)


def bound(value: object) -> object:
    """`value` as a statement parameter binds it for least: bytes as a bytearray.

    The sqlite3 module binds str, int, float and bytearray directly, but looks
    for an adapter for bytes first, which raises and clears an AttributeError
    inside: a microsecond a parameter, where the copy costs a few nanoseconds
    for what a step binds. Both are stored as the same BLOB.
    """
    return bytearray(value) if type(value) is bytes else value


def compact_id(text: str) -> str | bytes:
    """A canonical UUID as its 16 bytes, any other id as it is: 20 bytes less per id and per index entry."""
    stored = _compacted.get(text)
    if stored is None:
        stored = _compact(text)
        if len(_compacted) >= _COMPACTED_KEPT:
            _compacted.clear()  # a bound, not a policy: a step's ids come back within it
        _compacted[text] = stored
    return stored


def _compact(text: str) -> str | bytes:
    if len(text) == 36 and text[8] == text[13] == text[18] == text[23] == "-":
        digits = text.replace("-", "")  # 32 digits unless there are more dashes, which fail below
        try:
            raw = bytes.fromhex(digits)
        except ValueError:
            return text
        if len(raw) == 16 and raw.hex() == digits:  # lowercase, as str(uuid.UUID) writes it
            return raw
    return text


def expand_id(stored: Any) -> Any:
    """What `compact_id` stored, as the text it came from."""
    if type(stored) is bytes and len(stored) == 16:
        text = _expanded.get(stored)
        if text is None:
            h = stored.hex()
            text = f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"
            if len(_expanded) >= _EXPANDED_KEPT:
                _expanded.clear()  # a bound, not a policy: reads of recent ids refill it at once
            _expanded[stored] = text
        return text
    return stored


def text(raw: bytes) -> str | bytes:
    """TEXT columns as str; a damaged one, no longer UTF-8, as its bytes for the checksum to refuse."""
    try:
        return raw.decode()
    except UnicodeDecodeError:
        return raw

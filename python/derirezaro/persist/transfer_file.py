"""The exported timeline file: one timeline's records, framed and checksummed, readable by any log.

Layout (integers big-endian):

    b"DZTL", one format byte (FILE_FORMAT)
    frames, each: kind (1 byte), payload length (8 bytes), payload, CRC-32 of all three (4 bytes)
      b"T"  first: the codec's encoding of [timeline name]
      b"R"  one per record, oldest first and dense in seq: the codec's encoding of
            [seq, id, parent, base, kind, format, timestamp, digest, header_crc, crc, meta, body,
            entries]: the record's fields as a log stores them (src/persist/FORMAT.md sets them
            down with their checksums), then the attachment entries [task, idx, blob] under
            its chosen id
      b"E"  last: [records, crc]: how many R frames, and the CRC-32 of every byte before this frame

A frame's own CRC names the frame that is damaged; the end frame tells a file
cut short at a frame boundary, or spliced, from a whole one; and every record
keeps its own checksums, which a reader checks natively under the name in the
file. Nothing follows the end frame. A reader of this format refuses a
higher format byte with FormatError, so later formats may change anything
after it.
"""

from __future__ import annotations

import os
import stat
import zlib
from collections.abc import Iterator
from typing import Any, BinaryIO

from .._core import dumps, loads
from .._replay import record_fault
from .errors import CorruptRecordError, FormatError
from .faults import raise_fault
from .log import Entry
from .record import FORMAT, KEYFRAME, StoredRecord

MAGIC = b"DZTL"
FILE_FORMAT = 1
NAME, RECORD, END = b"T", b"R", b"E"
_READ_STEP = 1 << 20  # a damaged length makes a read run into the end of the file, never allocate it whole


def check_record(timeline: str, row: StoredRecord, file: str | None = None) -> None:
    """Raise unless `row` is a sound record of `timeline`: header, length and checksums (the native check)."""
    fault = record_fault(timeline, row, FORMAT)
    if fault is None:
        return
    try:
        raise_fault(timeline, fault, FORMAT)
    except CorruptRecordError as error:
        if file is None:
            raise
        raise CorruptRecordError(timeline, error.seq, error.what, file=file) from None


def check_first(timeline: str, row: StoredRecord, file: str | None = None) -> None:
    """Raise unless `row`, the oldest record of a copy, is a keyframe: every chain after it starts there."""
    if row.kind != KEYFRAME or row.base != row.seq:
        raise CorruptRecordError(timeline, row.seq, "the oldest record kept is not a keyframe", file=file)


def check_replaceable(path: str | os.PathLike[str]) -> None:
    """Raise ValueError unless an export may replace what is at `path`: nothing, an empty file, or an
    earlier export (a file that starts with MAGIC).

    An export replaces its file whole, so a mistyped path would otherwise put
    one timeline in place of a database, a log included, with nothing left to
    recover. A directory is left to the replace itself, which refuses it.
    """
    try:
        found = os.stat(path)
    except FileNotFoundError:
        return
    if stat.S_ISDIR(found.st_mode):
        return
    if stat.S_ISREG(found.st_mode):
        if found.st_size == 0:
            return
        with open(path, "rb") as existing:
            if existing.read(len(MAGIC)) == MAGIC:
                return
    raise ValueError(
        f"{os.fsdecode(path)} exists and is not an exported timeline: an export does not replace it "
        "(remove it first, or name another file)"
    )


def _frame(kind: bytes, payload: bytes) -> bytes:
    head = kind + len(payload).to_bytes(8, "big")
    return head + payload + zlib.crc32(payload, zlib.crc32(head)).to_bytes(4, "big")


class FileWriter:
    """Writes the frames of one timeline to `stream`: the name now, each record, then the end."""

    def __init__(self, stream: BinaryIO, name: str) -> None:
        self._stream = stream
        self._crc = 0
        self._records = 0
        self._write(MAGIC + bytes([FILE_FORMAT]) + _frame(NAME, dumps([name])))

    def _write(self, data: bytes) -> None:
        self._stream.write(data)
        self._crc = zlib.crc32(data, self._crc)

    def write(self, row: StoredRecord, entries: list[Entry]) -> None:
        fields: list[Any] = [*row[:12], [list(entry) for entry in entries]]
        self._write(_frame(RECORD, dumps(fields)))
        self._records += 1

    def finish(self) -> int:
        """Write the end frame; the number of records written."""
        self._stream.write(_frame(END, dumps([self._records, self._crc])))
        return self._records


class FileReader:
    """Reads an exported timeline from `stream`: its name at once, its records as they are asked for.

    `file` names the file in every error. Damage raises CorruptRecordError
    naming it, the timeline (once its name is read) and the record.
    """

    def __init__(self, stream: BinaryIO, file: str) -> None:
        self._stream = stream
        self.file = file
        self._crc = 0
        self.name: str | None = None
        start = self._read(len(MAGIC) + 1)
        if start[: len(MAGIC)] != MAGIC or len(start) <= len(MAGIC) or start[-1] == 0:
            raise self._damage(None, "not an exported timeline")
        if start[-1] > FILE_FORMAT:
            raise FormatError(start[-1], FILE_FORMAT, file)
        kind, payload = self._frame(None)
        header = self._decoded(payload, None) if kind == NAME else None
        if not (isinstance(header, list) and header and isinstance(header[0], str) and header[0]):
            raise self._damage(None, "the file does not start with a timeline's name")
        self.name = header[0]

    def records(self) -> Iterator[tuple[StoredRecord, list[Entry]]]:
        """Every record with its attachment entries, oldest first, each checked before it is given."""
        name = self.name
        assert name is not None
        count, previous = 0, None
        while True:
            expected = None if previous is None else previous + 1
            before = self._crc
            kind, payload = self._frame(expected)
            if kind == END:
                self._end(payload, count, before)
                return
            if kind != RECORD:
                raise self._damage(expected, f"unknown frame {kind!r}")
            row, entries = self._record(self._decoded(payload, expected), expected)
            if previous is None:
                check_first(name, row, self.file)
            elif row.seq != expected:
                raise self._damage(expected, "record missing")
            previous, count = row.seq, count + 1
            yield row, entries

    def _record(self, fields: object, seq: int | None) -> tuple[StoredRecord, list[Entry]]:
        if not isinstance(fields, list) or len(fields) != 13:
            raise self._damage(seq, "undecodable record")
        body, entries = fields[11], fields[12]
        row = StoredRecord._make([*fields[:12], len(body) if isinstance(body, bytes) else -1])
        assert self.name is not None
        check_record(self.name, row, self.file)
        if not isinstance(entries, list) or not all(_is_entry(entry) for entry in entries):
            raise self._damage(row.seq, "undecodable attachments")
        return row, [(task, idx, blob) for task, idx, blob in entries]

    def _end(self, payload: bytes, count: int, crc: int) -> None:
        if self._decoded(payload, None) != [count, crc]:
            raise self._damage(None, "the end frame does not match the records before it")
        if self._stream.read(1):
            raise self._damage(None, "bytes after the end frame")

    def _frame(self, seq: int | None) -> tuple[bytes, bytes]:
        head = self._read(9)
        if len(head) < 9:
            what = "the file ends before its end frame" if not head else "truncated frame"
            raise self._damage(seq, what)
        payload = self._read(int.from_bytes(head[1:], "big"))
        crc = self._read(4)
        if len(crc) < 4:
            raise self._damage(seq, "truncated frame")
        if zlib.crc32(payload, zlib.crc32(head)).to_bytes(4, "big") != crc:
            raise self._damage(seq, "frame checksum mismatch")
        return head[:1], payload

    def _read(self, size: int) -> bytes:
        parts, left = [], size
        while left > 0:
            part = self._stream.read(min(left, _READ_STEP))
            if not part:
                break
            parts.append(part)
            left -= len(part)
        data = b"".join(parts)
        self._crc = zlib.crc32(data, self._crc)
        return data

    def _decoded(self, payload: bytes, seq: int | None) -> object:
        try:
            return loads(payload)
        except (ValueError, TypeError) as exc:
            raise self._damage(seq, f"undecodable frame ({exc})") from None

    def _damage(self, seq: int | None, what: str) -> CorruptRecordError:
        return CorruptRecordError(self.name, seq, what, file=self.file)


def _is_entry(entry: object) -> bool:
    return (
        isinstance(entry, list)
        and len(entry) == 3
        and isinstance(entry[0], str)
        and isinstance(entry[1], int)
        and not isinstance(entry[1], bool)
        and isinstance(entry[2], bytes)
    )

"""Whole timelines carried to another log or to a file and back: copy, export and import.

What travels is the records as the source log stores them, oldest kept
first, each checked under the source's name (its own checksums, natively)
before it goes on, with the attachment entries under its chosen id; or, with
`head_only`, one keyframe of the head's state (its replay checked against the
head's digest) under the head's id, meta and timestamp.

A record lands as it is when it can: same name, and the timeline never
pruned. Otherwise it is sealed again: under the new name, with seqs shifted
so that the oldest kept record (always a keyframe) is 1, as a log's first
record must be, and a parent that was not kept left out. Ids chosen at
commit, meta, timestamps, digests and bodies stay as they are, so every
state reads back the same. Attachment entries are opaque here and copied as
they are; only those under the records' chosen ids travel. A layer that
seals its entries with the timeline's name (the LangGraph saver does)
reseals them itself.

A copy is of the timeline as its log vouched for it when the copy began:
the records up to that head, read a page at a time, so a large timeline is
never held whole. A prune or drop by another writer that takes a record
before it is read ends the copy with RecordNotFoundError: a race, never
reported as damage.

Nothing half-done stays visible. The target must hold no timeline of that
name (ConflictError otherwise: timelines are never merged). A copy or import
that fails after its first write drops what it wrote, unless another writer
wrote to it since (then it is left, and the error says so). An export to a
path is written to a temporary file beside it and renamed over the path once
complete.
"""

from __future__ import annotations

import contextlib
import logging
import os
import tempfile
from collections.abc import Iterator
from contextlib import ExitStack
from pathlib import Path
from typing import BinaryIO

from .._core import Store
from .._replay import state_keyframe
from .body import CHUNK_ENTRIES, stored_form
from .errors import ConflictError, CorruptRecordError, PersistError, RecordNotFoundError
from .log import Entry, Log, TimelineHead
from .record import KEYFRAME, StoredRecord, check_header, seal
from .timeline import Timeline
from .transfer_file import FileReader, FileWriter, check_first, check_record, check_replaceable

logger = logging.getLogger(__name__)

_PAGE = 64  # records read per query: pages hold whole bodies, keyframes included

Records = Iterator[tuple[StoredRecord, list[Entry]]]
File = str | os.PathLike[str] | BinaryIO


def copy_timeline(
    source: Log, name: str, target: Log, *, as_name: str | None = None, head_only: bool = False
) -> int:
    """Copy timeline `name` of `source` into `target`, as `as_name` (by default the same); records written.

    Raises RecordNotFoundError when `source` holds no such timeline,
    ConflictError when `target` already holds `as_name`, CorruptRecordError
    naming the source timeline and record when one is damaged (nothing is
    left in the target then).
    """
    as_name = _checked_name(name if as_name is None else as_name, "as_name")
    destination = _Destination(target, as_name, name)
    written = destination.fill(_read_log(source, _checked_name(name, "name"), head_only))
    logger.info("copied timeline %r as %r: %d records", name, as_name, written)
    return written


def export_timeline(log: Log, name: str, file: File, *, head_only: bool = False) -> int:
    """Write timeline `name` of `log` to `file` (a path or a binary stream); records written.

    A path is replaced whole once the file is complete, never left half
    written; a stream is written as the records are read. A path that holds
    something other than an earlier export (a log, any database) is refused
    with ValueError before anything is read.
    """
    if isinstance(file, (str, os.PathLike)):
        check_replaceable(file)
    records = _read_log(log, _checked_name(name, "name"), head_only)
    if not isinstance(file, (str, os.PathLike)):
        return _export(file, name, records)
    path = Path(file)
    handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
    try:
        with os.fdopen(handle, "wb") as stream:
            written = _export(stream, name, records)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    logger.info("exported timeline %r to %s: %d records", name, path, written)
    return written


def import_timeline(log: Log, file: File, *, as_name: str | None = None) -> tuple[str, int]:
    """Write the timeline exported to `file` into `log`, as `as_name` (by default its own name).

    Returns the name it was written under and the records written. Damage in
    the file raises CorruptRecordError naming the file, and leaves nothing in
    `log`; ConflictError when `log` already holds the name.
    """
    with ExitStack() as stack:
        if isinstance(file, (str, os.PathLike)):
            stream: BinaryIO = stack.enter_context(open(file, "rb"))
            label = os.fspath(file)
        else:
            stream, label = file, str(getattr(file, "name", "exported timeline"))
        reader = FileReader(stream, label)
        assert reader.name is not None
        name = _checked_name(reader.name if as_name is None else as_name, "as_name")
        written = _Destination(log, name, reader.name).fill(reader.records())
    logger.info("imported timeline %r from %s: %d records", name, label, written)
    return name, written


def _checked_name(name: object, what: str) -> str:
    if not isinstance(name, str) or not name:
        raise TypeError(f"{what} must be a non-empty str, not {name!r}")
    return name


def _export(stream: BinaryIO, name: str, records: Records) -> int:
    writer = FileWriter(stream, name)
    for row, entries in records:
        writer.write(row, entries)
    return writer.finish()


# -- reading the source --------------------------------------------------------


def _read_log(log: Log, name: str, head_only: bool) -> Records:
    """The records to copy, oldest first, each checked; raises before yielding when there is no timeline."""
    vouched = log.head(name)
    if vouched is None:
        raise RecordNotFoundError(name, "head", "the log holds no such timeline")
    return _head_keyframe(log, name) if head_only else _kept_records(log, name, vouched)


def _kept_records(log: Log, name: str, vouched: TimelineHead) -> Records:
    """Every record from `first` to the head `vouched` names, a page at a time.

    A page read whole between two reads of the head that name the same
    incarnation is of that incarnation (incarnations are never reused). A
    page missing a record is a race if the record is gone by a prune or
    drop since, damage if the log still vouches for it.
    """
    low = vouched.first
    while low <= vouched.seq:
        high = min(low + _PAGE - 1, vouched.seq)
        rows = log.read(name, low, high)
        ids = [row.id for row in rows if row.id is not None]
        attached = log.attachments(name, ids) if ids else {}
        now = log.head(name)
        if now is None or now.incarnation != vouched.incarnation:
            raise RecordNotFoundError(name, low, "dropped by another writer while it was read")
        if [row.seq for row in rows] != list(range(low, high + 1)):
            _raise_gap(name, low, high, rows, now)
        for row in rows:
            check_record(name, row)
        if low == vouched.first:
            check_first(name, rows[0])
        if high == vouched.seq and rows[-1].crc != vouched.crc:
            raise CorruptRecordError(
                name, high, "the head record the log vouches for is not the one it vouches for"
            )
        for row in rows:
            yield row, attached.get(row.id, []) if row.id is not None else []
        low = high + 1


def _raise_gap(name: str, low: int, high: int, rows: list[StoredRecord], now: TimelineHead) -> None:
    held = {row.seq for row in rows}
    missing = next((seq for seq in range(low, high + 1) if seq not in held), None)
    if missing is None:
        raise CorruptRecordError(name, low, "records stored twice or out of order")
    if now.first > missing:
        raise RecordNotFoundError(name, missing, "pruned by another writer while it was read")
    raise CorruptRecordError(name, missing, "record missing")


def _head_keyframe(log: Log, name: str) -> Records:
    """One keyframe, seq 1, of the state the head leads to, under the head's id, meta and timestamp."""
    opened = Timeline(log, name, Store(max_history=0), cache_size=1)
    seq = opened.parent
    if seq is None:
        raise RecordNotFoundError(name, "head", "dropped by another writer while it was read")
    head = log.headers(name, limit=1, before=seq + 1)
    if not head or head[0].seq != seq:
        raise RecordNotFoundError(name, seq, "pruned or dropped by another writer while it was read")
    check_header(name, head[0])
    row = head[0]
    raw, digest = state_keyframe(opened.checkout(seq), CHUNK_ENTRIES, True)
    assert digest is not None
    keyframe = seal(
        name,
        seq=1,
        id=row.id,
        parent=None,
        base=1,
        kind=KEYFRAME,
        timestamp=row.timestamp,
        digest=digest,
        meta=row.meta,
        body=stored_form(raw),
    )
    entries = log.attachments(name, [row.id]).get(row.id, []) if row.id is not None else []
    # The state, the header and the entries came from three reads: they are of one timeline
    # only if the incarnation opened is still the one vouched for (incarnations are never reused).
    now = log.head(name)
    if now is None or now.incarnation != opened.incarnation:
        raise RecordNotFoundError(name, seq, "dropped by another writer while it was read")
    yield keyframe, entries


# -- writing the target --------------------------------------------------------


class _Destination:
    """A timeline being written in `log` as `name` from records of timeline `source`, all or nothing."""

    def __init__(self, log: Log, name: str, source: str) -> None:
        self.log, self.name, self.source = log, name, source
        self.head: TimelineHead | None = None
        self.shift = 0  # what comes off each seq: the oldest copied record becomes 1
        self.written = 0
        # The record of an append that raised other than as a conflict: perhaps it landed
        # (a lost reply), which only the log's head can tell (`_abandon`).
        self.sent: StoredRecord | None = None

    def fill(self, records: Records) -> int:
        if self.log.head(self.name) is not None:
            raise _exists(self.name)
        try:
            for row, entries in records:
                self._append(row, entries)
        except BaseException as error:
            self._abandon(error)
            raise
        return self.written

    def _append(self, row: StoredRecord, entries: list[Entry]) -> None:
        if self.head is None:
            self.shift = row.seq - 1
        if self.name != self.source or self.shift:
            row = self._resealed(row)
        attach = {row.id: entries} if entries and row.id is not None else None
        self.sent = row
        try:
            self.head = self.log.append(self.name, row, self.head, attach)
        except ConflictError:
            self.sent = None  # refused: nothing of it landed
            if self.head is None:
                raise _exists(self.name) from None
            raise
        self.sent = None
        self.written += 1

    def _resealed(self, row: StoredRecord) -> StoredRecord:
        assert row.body is not None
        shift, parent = self.shift, row.parent
        return seal(
            self.name,
            seq=row.seq - shift,
            id=row.id,
            parent=None if parent is None or parent <= shift else parent - shift,
            base=row.base - shift,
            kind=row.kind,
            timestamp=row.timestamp,
            digest=row.digest,
            meta=row.meta,
            body=row.body,
        )

    def _abandon(self, error: BaseException) -> None:
        """Drop what this copy wrote, unless another writer wrote to the timeline since.

        What it wrote is the last append acknowledged (`head`) or, when the
        last one's outcome is unknown, that append's record (`sent`) if it is
        the head now: of `head`'s incarnation, or of any if it was the first.
        """
        wrote, sent = self.head, self.sent
        if wrote is None and sent is None:
            return
        written = self.written
        try:
            now = self.log.head(self.name)
            if now is None:
                return
            acknowledged = wrote is not None and (now.incarnation, now.seq, now.crc) == (
                wrote.incarnation,
                wrote.seq,
                wrote.crc,
            )
            landed = (
                sent is not None
                and (now.seq, now.crc) == (sent.seq, sent.crc)
                and (wrote is None or now.incarnation == wrote.incarnation)
            )
            written += landed
            if acknowledged or landed:
                self.log.drop(self.name)
                return
            reason = "another writer wrote to it meanwhile"
        except PersistError as failure:
            reason = f"dropping it failed: {failure}"
        left = f"timeline {self.name!r} is left incomplete ({written} records): drop it"
        logger.warning("copy of %r failed (%s); %s, %s", self.source, error, left, reason)
        note, text = getattr(error, "add_note", None), f"{left}; {reason}"  # add_note: Python 3.11 on
        if note is not None:
            note(text)
        else:  # where add_note keeps its notes, which the command line prints on any Python
            setattr(error, "__notes__", [*getattr(error, "__notes__", ()), text])  # noqa: B010


def _exists(name: str) -> ConflictError:
    error = ConflictError(name, None, None)
    error.args = (f"timeline {name!r} already exists in the target log; nothing was written (drop it first)",)
    return error

"""The embedded log: one SQLite file, shared safely by threads and processes.

Each timeline's row in `derirezaro_timelines` vouches for it: its id is the
incarnation (AUTOINCREMENT, so never reused), and beside the name it keeps
the head's seq and crc and the oldest kept seq. An append is one INSERT that
selects from that row, so it lands only while the row still names the head
the writer built on, and a trigger moves the row to the new head within the
same statement: the row is never out of step with the records, and the
common append stays one statement in autocommit, where a transaction would
cost three. Creating, pruning and dropping a timeline take the write lock
first (`BEGIN IMMEDIATE`), so nothing they read changes before they write.

Writes go through one connection behind a lock; a second process waits for
the file's write lock (the busy timeout) instead of failing. Reads use one
connection per thread and one statement per call, fetched whole before it
returns, so in WAL mode no reader waits for a writer and no iterator holds a
read transaction open between its items. A database that only the
connection opening it sees (":memory:", or "" for a temporary one) has one
connection, shared by every thread: its reads take the write lock too, so
that none runs inside another thread's transaction. Appends and attachments
of threads that wait for the lock at the same time share one transaction and
one commit, each still its own compare-and-set (`sqlite_group`).

Durability (`synchronous`): in WAL mode, "normal" makes each commit reach the
operating system before `commit()` returns, so it survives the process being
killed at any moment; the WAL reaches the disk only when it is checkpointed
(by default once it holds 1000 pages), so a power cut may lose the commits
since the last checkpoint, never corrupt the file. "full" also waits for the
disk (fsync) on every commit.

The tables, and the upgrade of files of older schemas, are `sqlite_schema`'s;
how columns hold records and ids, `sqlite_columns`'s; the attachments'
statements, `sqlite_attachments`'s; SQLite's errors in this package's terms,
`sqlite_errors`'s; the file's free pages and `vacuum`, `sqlite_space`'s.
"""

from __future__ import annotations

import functools
import operator
import os
import sqlite3
import threading
import time
import weakref
from collections.abc import Callable, Iterable, Mapping, Sequence
from math import isfinite
from typing import TypeVar

from .errors import ConflictError, CorruptRecordError
from .log import Entry, Opening, Pruned, TimelineHead, check_append, check_prune
from .log_base import LogBase
from .record import StoredRecord
from .sqlite_attachments import (
    ATTACH,
    ATTACH_FIRST,
    ATTACH_REPLACING,
    DETACH,
    KEYS_PER_READ,
    attached,
    entry_rows,
)
from .sqlite_columns import ALL_COLUMNS, HEADER_COLUMNS, bound, compact_id, expand_id, record, text
from .sqlite_errors import abandon, raise_as_persist_error
from .sqlite_group import GroupCommit
from .sqlite_schema import crc_of_name, open_schema
from .sqlite_space import choose_mode, give_back

_T = TypeVar("_T")

_DURABILITY = {"normal": "NORMAL", "full": "FULL"}
_FULL_WAL_PAGES = 128  # pages the WAL holds before a checkpoint, with durability "full"
_TIMELINE_SQL = "(SELECT id FROM derirezaro_timelines WHERE name = :name)"

# Parameters: the voucher the writer expects, in TimelineHead order
# (incarnation, the head's seq and crc, the oldest kept seq), the timeline's
# name, then the record's columns in the table's order (`append`).
# Positional, in order (`?`): a tuple binds for less than a dict of names, and
# numbered placeholders warn on every statement on some Python releases. The
# timeline column is the voucher row's id if that row is the expected one, else NULL,
# which the table refuses: the row goes in only on the head the writer built
# on, and the trigger then moves the voucher. A single row of VALUES, not an
# INSERT ... SELECT: SQLite writes the rows of a SELECT into a temporary table
# first when the table has triggers, which would cost more than the voucher.
# `first` is compared too, so the voucher an append returns is exact; after
# another writer's prune, the next append takes the slow path once.
_INSERT = """
INSERT {} INTO derirezaro_records VALUES (
    (SELECT id FROM derirezaro_timelines WHERE id = ? AND head = ? AND crc = ? AND first = ? AND name = ?),
    ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)
"""
_APPEND = _INSERT.format("OR IGNORE")  # a row refused for any reason: decided in a transaction
_APPEND_CHECKED = _INSERT.format("")  # there, a refusal raises, to be told apart
# The voucher rows under the name's CRC (the name's own, and any whose name was
# damaged), each with what the records say of its head and its oldest record:
# three probes of the primary key, so a voucher out of step with the records is
# seen in the one statement.
_HEAD = """
SELECT t.id, t.name, t.head, t.crc, t.first,
    (SELECT r.crc FROM derirezaro_records AS r WHERE r.timeline = t.id AND r.seq = t.head),
    (SELECT max(r.seq) FROM derirezaro_records AS r WHERE r.timeline = t.id),
    (SELECT min(r.seq) FROM derirezaro_records AS r WHERE r.timeline = t.id)
FROM derirezaro_timelines AS t WHERE t.name_crc = ?
"""
# A head's chain (its records from its keyframe, of that keyframe) and the attachments under its
# id and under the keys bound after it, in one statement: the attachment rows are told by their
# NULL `kind`, which no record has. Parameters: the voucher row's id, the head's seq, then the keys.
_HEAD_BASE = "(SELECT seq - base_gap FROM derirezaro_records WHERE timeline = :key AND seq = :head)"
_OPENING = f"""
SELECT {ALL_COLUMNS} FROM derirezaro_records
WHERE timeline = :key AND seq BETWEEN {_HEAD_BASE} AND :head AND seq - base_gap = {_HEAD_BASE}
UNION ALL
SELECT key, task, idx, blob, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL
FROM derirezaro_attachments WHERE timeline = :key
AND key IN ((SELECT id FROM derirezaro_records WHERE timeline = :key AND seq = :head){{}})
"""
_KEY_OF = "SELECT id FROM derirezaro_timelines WHERE name = ?"
_CRC_OF = "SELECT name_crc FROM derirezaro_timelines WHERE name = ?"
_NEW_VOUCHER = "INSERT INTO derirezaro_timelines (name, name_crc) VALUES (?, ?)"
_PRIVATE_PATHS = (":memory:", "")  # databases only the connection that opens them sees
_NOTHING = Pruned(0, 0)
_new_head = functools.partial(tuple.__new__, TimelineHead)
_SEQ = operator.itemgetter(0)
_INT64_MIN, _INT64_MAX = -(1 << 63), (1 << 63) - 1


class SQLiteLog(LogBase):
    """Timelines in one SQLite file (created if missing), or in memory with ":memory:".

    `durability` is "normal" (survives a killed process; a power cut may lose
    the commits since the last WAL checkpoint) or "full" (survives both, at
    one fsync per commit). `timeout` is how long, in seconds, a write waits
    for another process's. A ":memory:" log lasts as long as this object and
    is shared by its threads, as a file is.
    """

    def __init__(self, path: str | os.PathLike[str], durability: str = "normal", timeout: float = 30.0):
        if durability not in _DURABILITY:
            raise ValueError(f"durability must be 'normal' or 'full', not {durability!r}")
        self.path = os.fspath(path)
        self.durability = durability
        self._timeout = timeout
        self._write_lock = threading.Lock()
        # Appends and attachments queue here, so that those of threads arriving together
        # share one commit; everything else that writes takes the write lock alone.
        self._group = GroupCommit(self.path, self._write_lock, self._writer_connection)
        self._readers_lock = threading.Lock()
        # Each thread's reader, with the thread: a thread that has ended has its reader
        # closed when the next one opens, so a pool that churns threads leaks no files.
        self._readers: list[tuple[weakref.ref[threading.Thread], sqlite3.Connection]] = []
        self._local = threading.local()
        self._closed = False
        self.compact_ids = True  # what the file's schema says, read below
        # A private database is the writer's alone: a reader's connection would open another, empty one.
        self._private = self.path in _PRIVATE_PATHS
        try:
            self._writer = self._connect()
        except sqlite3.Error as exc:
            raise_as_persist_error(exc, self.path)
            raise
        try:
            choose_mode(self._writer)  # before WAL mode, which writes the file's first page
            self._enter_wal_mode()
            self._writer.execute(f"PRAGMA synchronous={_DURABILITY[durability]}")
            if durability == "full":
                # Every commit fsyncs the WAL; one that also extends the file must
                # commit its new size too, which costs about as much again. A short
                # WAL reaches its full length within a few dozen commits, and the
                # fsyncs after that extend nothing.
                self._writer.execute(f"PRAGMA wal_autocheckpoint={_FULL_WAL_PAGES}")
            self.compact_ids = open_schema(self._writer, self.path)
        except BaseException as exc:
            self._writer.close()
            if isinstance(exc, sqlite3.Error):
                raise_as_persist_error(exc, self.path)
            raise
        # Run once: by `close`, or when the log is collected unclosed.
        self._finalizer = weakref.finalize(self, _close_all, self._writer, self._readers)

    def _connect(self) -> sqlite3.Connection:
        # Autocommit (isolation_level None): transactions are begun explicitly.
        connection = sqlite3.connect(
            self.path, timeout=self._timeout, isolation_level=None, check_same_thread=False
        )
        connection.text_factory = text
        return connection

    def _enter_wal_mode(self) -> None:
        """Switch the file to WAL, waiting for other connections like every other write.

        Changing the journal mode needs the file to itself, and SQLite reports a
        busy file at once here rather than through the busy timeout, so this
        retries until the timeout is spent. A file already in WAL mode returns
        at the first try.
        """
        deadline = time.monotonic() + self._timeout
        pause = 0.001
        while True:
            try:
                self._writer.execute("PRAGMA journal_mode=WAL")
                return
            except sqlite3.OperationalError as exc:
                if "locked" not in str(exc) or time.monotonic() + pause > deadline:
                    raise
            time.sleep(pause)
            pause = min(pause * 2, 0.05)

    # -- writes -------------------------------------------------------------

    def append(
        self,
        timeline: str,
        record: StoredRecord,
        expected: TimelineHead | None,
        attach: Mapping[str, Sequence[Entry]] | None = None,
    ) -> TimelineHead:
        seq, id, parent, base, kind, format, timestamp, digest, header_crc, crc, meta, body, _ = record
        # Any other record `check_append` passes: those skip the call.
        if expected is None or seq != expected.seq + 1 or body is None or not isfinite(timestamp):
            check_append(timeline, record, expected)
        # The columns after the timeline's, as `derirezaro_records` orders them; bytes bound as
        # bytearray, as bound() binds them, without its calls: every commit appends.
        stored: str | bytes | None = compact_id(id) if id is not None and self.compact_ids else id
        fields = (
            seq,
            bytearray(stored) if type(stored) is bytes else stored,
            None if parent is None else seq - parent,
            seq - base,
            kind,
            format,
            timestamp,
            digest,
            header_crc,
            crc,
            bytearray(meta),
            bytearray(body) if type(body) is bytes else body,
        )
        entries = entry_rows(attach.items(), self._compacted) if attach else None
        return self._group.run(_append_write, (self, timeline, record, expected, fields, entries), timeline)

    def _append_in_transaction(
        self,
        w: sqlite3.Connection,
        timeline: str,
        record: StoredRecord,
        expected: TimelineHead | None,
        fields: tuple,
        entries: list[tuple] | None,
    ) -> TimelineHead:
        """`append`, inside a write transaction: a creation, a retry, a conflict or a refusal, told apart.

        Committed by the caller if this returns, rolled back if it raises.
        """
        # A row of head 0 holds a key given before the first record (by attachments):
        # no timeline yet, and its key is kept.
        key, now = self._voucher(w, timeline)
        if now is not None and (expected is None or now.incarnation == expected.incarnation):
            stored = w.execute(
                "SELECT id, crc FROM derirezaro_records WHERE timeline = ? AND seq = ?",
                (now.incarnation, record.seq),
            ).fetchone()
            if stored is not None and (expand_id(stored[0]), stored[1]) == (record.id, record.crc):
                # A retry of an append that did land: the head as that append left it, nothing stored.
                return now._replace(seq=record.seq, crc=record.crc)
        if (None if now is None else now[:3]) != (None if expected is None else expected[:3]):
            raise ConflictError(timeline, _seq(expected), _seq(now))
        if now is not None and record.base != record.seq and record.base < now.first:
            raise ConflictError(timeline, _seq(expected), _seq(now))  # its keyframe was pruned
        if now is None:
            key = self._new_key(w, timeline) if key is None else key
            now = TimelineHead(key, 0, 0, record.seq)
            w.execute("UPDATE derirezaro_timelines SET first = ? WHERE id = ?", (record.seq, key))
        try:
            w.execute(_APPEND_CHECKED, (*now, timeline, *fields))
        except sqlite3.IntegrityError:
            taken = None if record.id is None else self._seq_of_id(w, now.incarnation, fields[1])
            if taken is not None and taken != record.seq:
                raise ValueError(
                    f"timeline {timeline!r} already has a record with id {record.id!r}"
                ) from None
            raise self._damage(
                timeline, record.seq, f"stored already, above its voucher's head {now.seq}"
            ) from None
        if entries:
            w.executemany(ATTACH, [(now.incarnation, *entry) for entry in entries])
        return now._replace(seq=record.seq, crc=record.crc)

    @staticmethod
    def _seq_of_id(w: sqlite3.Connection, key: int, stored_id: object) -> int | None:
        row = w.execute(
            "SELECT seq FROM derirezaro_records WHERE timeline = ? AND id = ?", (key, stored_id)
        ).fetchone()
        return None if row is None else row[0]

    @staticmethod
    def _new_key(w: sqlite3.Connection, timeline: str) -> int:
        """A voucher row for `timeline` with no records (head 0); its id, never used before."""
        key = w.execute(_NEW_VOUCHER, (timeline, crc_of_name(timeline))).lastrowid
        assert key is not None
        return key

    def prune(
        self,
        timeline: str,
        keep_last: int,
        keep_from: int | None = None,
        detach: Iterable[str] = (),
        incarnation: int | None = None,
    ) -> Pruned:
        check_prune(keep_last, keep_from)
        keys = [(bound(self._stored_id(key)),) for key in detach]

        def work(w: sqlite3.Connection) -> Pruned:
            key, now = self._voucher(w, timeline)
            if incarnation is not None and (now is None or now.incarnation != incarnation):
                return _NOTHING  # dropped, perhaps written anew, since the caller read it: left as it is
            if key is not None and keys:
                w.executemany(DETACH, [(key, *stored) for stored in keys])
            if now is None:
                return _NOTHING
            _, head, _, first = now
            cutoff = max(first, head - keep_last + 1)
            if keep_from is not None:
                cutoff = max(first, min(cutoff, keep_from))
            if cutoff <= first:
                return _NOTHING  # nothing to remove: no walk down the records
            # Down to where no kept record replays from below it: newest first, the
            # cutoff falls to each kept record's keyframe, and once a seq is below
            # it, every record at or above it has been seen.
            expected = head
            for seq, base in w.execute(
                "SELECT seq, seq - base_gap FROM derirezaro_records WHERE timeline = ? AND seq >= ?"
                " ORDER BY seq DESC",
                (key, first),
            ):
                if seq != expected:
                    raise self._damage(timeline, expected, f"missing, below head {head}")
                if seq < cutoff:
                    break
                cutoff = min(cutoff, base)
                expected -= 1
            if cutoff <= first:
                return _NOTHING
            # length() of a blob reads its size from the row's header, not its overflow pages.
            (removed_bytes,) = w.execute(
                "SELECT coalesce(sum(length(body)), 0) FROM derirezaro_records"
                " WHERE timeline = ? AND seq < ?",
                (key, cutoff),
            ).fetchone()
            removed = w.execute(
                "DELETE FROM derirezaro_records WHERE timeline = ? AND seq < ?", (key, cutoff)
            ).rowcount
            if removed != cutoff - first:  # rolled back: what is missing stays missing, not hidden
                raise self._damage(
                    timeline, None, f"{cutoff - first - removed} records missing below {cutoff}"
                )
            w.execute("UPDATE derirezaro_timelines SET first = ? WHERE id = ?", (cutoff, key))
            return Pruned(removed, removed_bytes)

        return self._in_transaction(work, timeline)

    def vacuum(self) -> int:
        """Give the space that prunes and deletes freed back to the operating system; return its bytes.

        Freed pages stay in the file for later commits to reuse until this is
        called. On a file this log made, it costs what was freed, a batch of
        pages at a time, and other writers go between the batches. A file made
        by a release before this one is rebuilt whole the first time (a pass
        over the file, with free room for a copy of it, during which writers
        wait), and is given back batch by batch from then on.
        """

        def step(work: Callable[[sqlite3.Connection], _T]) -> _T:
            with self._write_lock:
                w = self._writer_connection()
                try:
                    return work(w)
                except sqlite3.Error as exc:
                    raise_as_persist_error(exc, self.path)
                    raise

        return give_back(step, self.path, self._private)

    def drop(self, timeline: str) -> None:
        def work(w: sqlite3.Connection) -> None:
            row = w.execute(_KEY_OF, (timeline,)).fetchone()
            if row is not None:
                w.execute("DELETE FROM derirezaro_attachments WHERE timeline = ?", row[:1])
                w.execute("DELETE FROM derirezaro_records WHERE timeline = ?", row[:1])
                w.execute("DELETE FROM derirezaro_timelines WHERE id = ?", row[:1])

        self._in_transaction(work, timeline)

    # -- attachments --------------------------------------------------------

    def attach(self, timeline: str, key: str, entries: Sequence[Entry]) -> None:
        rows = entry_rows([(key, entries)], self._compacted)
        if rows:
            self._group.run(_attach_write, (self, timeline, rows), timeline)

    def _attach_in_transaction(self, w: sqlite3.Connection, timeline: str, rows: list[tuple]) -> None:
        row = w.execute(_KEY_OF, (timeline,)).fetchone()
        owner = self._new_key(w, timeline) if row is None else row[0]
        w.executemany(ATTACH, [(owner, *entry) for entry in rows])

    def attachments(self, timeline: str, keys: Iterable[str]) -> dict[str, list[Entry]]:
        wanted = list(dict.fromkeys(keys))
        try:
            return self._in_one_read(
                lambda r: attached(r, timeline, wanted, self._stored_id), len(wanted) > KEYS_PER_READ
            )
        except sqlite3.Error as exc:
            raise_as_persist_error(exc, self.path, timeline)
            raise

    def detach(self, timeline: str, keys: Iterable[str]) -> None:
        stored = [(bound(self._stored_id(key)),) for key in keys]
        if not stored:
            return

        def work(w: sqlite3.Connection) -> None:
            row = w.execute(_KEY_OF, (timeline,)).fetchone()
            if row is not None:
                w.executemany(DETACH, [(row[0], *key) for key in stored])

        self._in_transaction(work, timeline)

    def listing(
        self, timeline: str, *, limit: int, before: int | None = None, keys: Iterable[str] = ()
    ) -> tuple[list[StoredRecord], dict[str, list[Entry]]]:
        extra = list(keys)

        def page(reader: sqlite3.Connection) -> tuple[list[StoredRecord], dict[str, list[Entry]]]:
            rows = self._headers(reader, timeline, limit, before, None)
            wanted = list(dict.fromkeys([*(row.id for row in rows if row.id is not None), *extra]))
            return rows, attached(reader, timeline, wanted, self._stored_id)

        try:
            return self._in_one_read(page, True)
        except sqlite3.Error as exc:
            raise_as_persist_error(exc, self.path, timeline)
            raise

    def _in_one_read(self, read: Callable[[sqlite3.Connection], _T], together: bool = False) -> _T:
        """`read(reader)`; its statements in one read transaction if `together`, so they agree.

        On a private database the reader is the writer, taken under the write
        lock: no transaction is open between the calls that hold it, and its
        statements agree as nothing writes meanwhile.
        """
        if self._private:
            with self._write_lock:
                return read(self._writer_connection())
        reader = self._reader()
        if not together:
            return read(reader)
        reader.execute("BEGIN")
        try:
            result = read(reader)
        except BaseException:
            abandon(reader)
            raise
        reader.execute("COMMIT")  # a read: nothing to keep or undo
        return result

    # -- reads --------------------------------------------------------------

    def head(self, timeline: str) -> TimelineHead | None:
        try:
            return self._in_one_read(lambda reader: self._voucher(reader, timeline))[1]
        except sqlite3.Error as exc:
            raise_as_persist_error(exc, self.path, timeline)
            raise

    def _voucher(
        self, connection: sqlite3.Connection, timeline: str
    ) -> tuple[int | None, TimelineHead | None]:
        """The key of `timeline`'s voucher row (None without one) and what it vouches for, checked.

        The voucher must agree with the records: its head is the newest stored
        record, with its crc, and its `first` the oldest; a row with head 0 (a
        key given early) holds none. Anything else is damage.
        """
        name_crc = crc_of_name(timeline)
        rows = connection.execute(_HEAD, (name_crc,)).fetchall()
        row = next((row for row in rows if row[1] == timeline), None)
        if row is None:
            for key, name, *_ in rows:
                if crc_of_name(name) != name_crc:
                    raise self._damage(timeline, None, f"the row vouching for it names {name!r} (key {key})")
            # A row under the name but not under its CRC has a damaged CRC. (A row made
            # since the read above has the right one: the timeline was absent then.)
            found = connection.execute(_CRC_OF, (timeline,)).fetchone()
            if found is not None and found[0] != name_crc:
                raise self._damage(timeline, None, f"its voucher holds the name's CRC as {found[0]}")
            return None, None
        key, _, head, crc, first, head_crc, newest, oldest = row
        if head == 0:
            if newest is None:
                return key, None  # a key given before the first record: no timeline yet
            raise self._damage(timeline, newest, "stored, but its voucher holds no head")
        if newest != head:
            raise self._damage(
                timeline, head, f"the voucher's head, but the newest record stored is {newest}"
            )
        if head_crc != crc:
            raise self._damage(timeline, head, f"the voucher's head, stored with crc {head_crc}, not {crc}")
        if oldest != first:
            raise self._damage(timeline, first, f"the voucher's oldest, but the oldest stored is {oldest}")
        return key, TimelineHead(key, head, crc, first)

    def read(self, timeline: str, first: int, last: int, base: int | None = None) -> list[StoredRecord]:
        query = (
            f"SELECT {ALL_COLUMNS} FROM derirezaro_records WHERE timeline = {_TIMELINE_SQL}"
            " AND seq BETWEEN :first AND :last AND (:base IS NULL OR seq - base_gap = :base) ORDER BY seq"
        )
        args = {"name": timeline, "first": _int64(first), "last": _int64(last), "base": _int64(base)}
        try:
            return list(map(record, self._in_one_read(lambda reader: reader.execute(query, args).fetchall())))
        except sqlite3.Error as exc:
            raise_as_persist_error(exc, self.path, timeline)
            raise

    def opening(self, timeline: str, keys: Iterable[str] = ()) -> Opening:
        asked = list(dict.fromkeys(keys))
        if len(asked) >= KEYS_PER_READ:
            return super().opening(timeline, asked)

        def read(reader: sqlite3.Connection) -> Opening:
            key, vouched = self._voucher(reader, timeline)
            if vouched is None:
                return Opening(None, [], attached(reader, timeline, asked, self._stored_id))
            by_stored = {self._stored_id(k): k for k in asked}
            marks = "".join(f", :k{i}" for i in range(len(by_stored)))
            args: dict[str, object] = {"key": key, "head": vouched.seq}
            for i, stored in enumerate(by_stored):
                args[f"k{i}"] = bound(stored)
            chain: list[StoredRecord] = []
            found: dict[str, list[Entry]] = {}
            for row in reader.execute(_OPENING.format(marks), args).fetchall():
                if row[4] is not None:
                    chain.append(record(row))
                else:
                    name = by_stored.get(row[0])
                    entries = found.setdefault(expand_id(row[0]) if name is None else name, [])
                    entries.append((expand_id(row[1]), row[2], row[3]))
            chain.sort(key=_SEQ)
            return Opening(vouched, chain, found)

        try:
            return self._in_one_read(read, True)
        except sqlite3.Error as exc:
            raise_as_persist_error(exc, self.path, timeline)
            raise

    def headers(
        self, timeline: str, *, limit: int, before: int | None = None, id: str | None = None
    ) -> list[StoredRecord]:
        try:
            return self._in_one_read(lambda reader: self._headers(reader, timeline, limit, before, id))
        except sqlite3.Error as exc:
            raise_as_persist_error(exc, self.path, timeline)
            raise

    def _headers(
        self, reader: sqlite3.Connection, timeline: str, limit: int, before: int | None, id: str | None
    ) -> list[StoredRecord]:
        where = "id = :id" if id is not None else "(:before IS NULL OR seq < :before)"
        query = (
            f"SELECT {HEADER_COLUMNS} FROM derirezaro_records WHERE timeline = {_TIMELINE_SQL}"
            f" AND {where} ORDER BY seq DESC LIMIT :limit"
        )
        # A negative limit lists none, as in every other log (SQLite reads it as no limit at all).
        args = {
            "name": timeline,
            "before": _int64(before),
            "id": self._stored_id(id),
            "limit": _int64(max(limit, 0)),
        }
        return list(map(record, reader.execute(query, args).fetchall()))

    def timelines(self, prefix: str = "") -> list[str]:
        # A range of the name's index, from `prefix` up to the least name above all that start with it.
        above = _above_prefix(prefix)
        query = "SELECT name FROM derirezaro_timelines WHERE name >= ? AND head > 0"
        query += " ORDER BY name" if above is None else " AND name < ? ORDER BY name"
        args = (prefix,) if above is None else (prefix, above)
        try:
            return [name for (name,) in self._in_one_read(lambda r: r.execute(query, args).fetchall())]
        except sqlite3.Error as exc:
            raise_as_persist_error(exc, self.path)
            raise

    def _reader(self) -> sqlite3.Connection:
        """This thread's read connection to the file.

        Autocommit: each statement is its own read; fetch its rows before yielding.
        """
        self._check_open()
        connection = getattr(self._local, "connection", None)
        if connection is None:
            try:
                connection = self._connect()
            except sqlite3.Error as exc:
                raise_as_persist_error(exc, self.path)
                raise
            with self._readers_lock:
                self._check_open()
                living = []
                for thread, reader in self._readers:
                    alive = thread()
                    if alive is not None and alive.is_alive():
                        living.append((thread, reader))
                    else:
                        reader.close()
                living.append((weakref.ref(threading.current_thread()), connection))
                self._readers[:] = living
            self._local.connection = connection
        return connection

    def _in_transaction(self, work: Callable[[sqlite3.Connection], _T], timeline: str | None = None) -> _T:
        """Run `work(connection)` in one write transaction: committed if it returns, else rolled back.

        `work` must not begin or end transactions itself. SQLite's refusals and
        damage are raised as `UnavailableError` and `CorruptRecordError` (about `timeline`).
        """
        with self._write_lock:
            w = self._writer_connection()
            try:
                return _transaction(w, work)
            except sqlite3.Error as exc:
                raise_as_persist_error(exc, self.path, timeline)
                raise

    def _stored_id(self, id: str | None) -> str | bytes | None:
        return compact_id(id) if self.compact_ids and id is not None else id

    @property
    def _compacted(self) -> Callable[[str], str | bytes]:
        """`_stored_id` for ids that are never None (an attachment's key and task): no call of its own."""
        return compact_id if self.compact_ids else _as_is

    def _writer_connection(self) -> sqlite3.Connection:
        if self._closed:  # `_check_open` inlined: every append and attachment passes here
            self._check_open()
        return self._writer

    # -- life ---------------------------------------------------------------

    def close(self) -> None:
        """Close every connection. Calls in flight in other threads must have returned."""
        with self._write_lock, self._readers_lock:
            if self._closed:
                return
            self._closed = True
            self._finalizer()

    def _damage(self, timeline: str, seq: int | None, what: str) -> CorruptRecordError:
        return CorruptRecordError(timeline, seq, what, file=self.path)

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError(f"the log {self.path!r} is closed")

    def __repr__(self) -> str:
        return f"SQLiteLog({self.path!r}, durability={self.durability!r})"


def _append_write(
    w: sqlite3.Connection,
    grouped: bool,
    log: SQLiteLog,
    timeline: str,
    record: StoredRecord,
    expected: TimelineHead | None,
    fields: tuple,
    entries: list[tuple] | None,
) -> TimelineHead:
    """`append`'s write, as the group commit runs it."""
    if expected is not None and entries is None:
        # The insert checks the voucher itself, and a write statement takes the write
        # lock before it reads anything: on its own it is the whole compare-and-set.
        seq, base = fields[0], record.base
        if base == seq or base >= expected.first:
            if w.execute(_APPEND, (*expected, timeline, *fields)).rowcount == 1:
                # The tuple made directly: a NamedTuple's own __new__ is a Python call.
                return _new_head((expected.incarnation, seq, record.crc, expected.first))
    # A new timeline, attachments, or an append that did not land: one transaction.
    if grouped:
        return log._append_in_transaction(w, timeline, record, expected, fields, entries)
    return _transaction(
        w, lambda w: log._append_in_transaction(w, timeline, record, expected, fields, entries)
    )


def _attach_write(
    w: sqlite3.Connection, grouped: bool, log: SQLiteLog, timeline: str, rows: list[tuple]
) -> None:
    """`attach`'s write, as the group commit runs it.

    One entry takes one statement. One that changed no row either found no
    timeline row (the transaction makes one) or met a regular entry already
    stored (the transaction finds it again and changes nothing).
    """
    if len(rows) == 1:
        statement = ATTACH_FIRST if rows[0][2] >= 0 else ATTACH_REPLACING
        if w.execute(statement, (*rows[0], timeline)).rowcount == 1:
            return
    if grouped:
        log._attach_in_transaction(w, timeline, rows)
    else:
        _transaction(w, lambda w: log._attach_in_transaction(w, timeline, rows))


def _as_is(id: str) -> str:
    return id


def _int64(bound: int | None) -> int | None:
    """A bound on seqs within the 64 bits SQLite binds: one past them binds as their end, which no
    seq reaches (seqs count up from 1), so what it selects is unchanged."""
    return None if bound is None else max(_INT64_MIN, min(bound, _INT64_MAX))


def _seq(head: TimelineHead | None) -> int | None:
    return None if head is None else head.seq


def _above_prefix(prefix: str) -> str | None:
    """The least string above every string that starts with `prefix`; None if there is none.

    SQLite compares text by its UTF-8 bytes, which order as the code points do.
    """
    chars = list(prefix)
    while chars:
        point = ord(chars.pop()) + 1
        if point <= 0x10FFFF:
            return "".join(chars) + chr(0xE000 if 0xD800 <= point <= 0xDFFF else point)
    return None


def _close_all(
    writer: sqlite3.Connection, readers: list[tuple[weakref.ref[threading.Thread], sqlite3.Connection]]
) -> None:
    writer.close()
    for _, reader in readers:
        reader.close()
    readers.clear()


def _transaction(w: sqlite3.Connection, work: Callable[[sqlite3.Connection], _T]) -> _T:
    """`work(w)` in one write transaction, taking the write lock first: committed if it returns."""
    w.execute("BEGIN IMMEDIATE")
    try:
        result = work(w)
        w.execute("COMMIT")
    except BaseException:
        abandon(w)
        raise
    return result

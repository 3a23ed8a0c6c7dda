"""The embedded log: one SQLite file, shared safely by threads and processes.

Writes go through one connection behind a lock, each append in its own
`BEGIN IMMEDIATE` transaction: the write lock is taken before anything is
read, so the compare-and-set of the head cannot be overtaken between its read
and its write, and a second process waits for the lock (the busy timeout)
instead of failing. Reads use one connection per thread and one statement per
call, fetched whole before it returns, so in WAL mode no reader waits for a
writer and no iterator holds a read transaction open between its items.

Durability (`synchronous`): in WAL mode, "normal" makes each commit reach the
operating system before `commit()` returns, so it survives the process being
killed at any moment, while a power cut may lose the last commits (never
corrupt the file); "full" also waits for the disk (fsync) on every commit.
"""

from __future__ import annotations

import os
import sqlite3
import threading
import time
import weakref
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

from .errors import ConflictError, FormatError
from .record import StoredRecord
from .timeline import TimelineFactory

_T = TypeVar("_T")
# Schemas: 1, the first; 2 stores ids that are UUIDs in their canonical text form
# as their 16 bytes. A file keeps the schema it was made with, so that the code
# that made it can still read it.
SCHEMA = 2  # the schema this code creates and the newest it opens

_DURABILITY = {"normal": "NORMAL", "full": "FULL"}
_FULL_WAL_PAGES = 128  # pages the WAL holds before a checkpoint, with durability "full"

_TABLES = """
CREATE TABLE IF NOT EXISTS derirezaro_schema (version INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS derirezaro_timelines (
    id INTEGER PRIMARY KEY AUTOINCREMENT,  -- never reused, so a stale id matches nothing
    name TEXT NOT NULL UNIQUE
);
CREATE TABLE IF NOT EXISTS derirezaro_records (
    timeline INTEGER NOT NULL,
    seq INTEGER NOT NULL,
    id TEXT,
    parent_gap INTEGER,  -- seq - parent: 1, stored in no bytes at all, on a linear timeline
    base_gap INTEGER NOT NULL,  -- seq - base, the distance back to the chain's keyframe
    kind INTEGER NOT NULL,
    format INTEGER NOT NULL,
    timestamp REAL NOT NULL,
    digest INTEGER NOT NULL,
    header_crc INTEGER NOT NULL,
    crc INTEGER NOT NULL,
    meta BLOB NOT NULL,
    body BLOB NOT NULL,  -- last, so header reads never touch a large body's overflow pages
    PRIMARY KEY (timeline, seq)
) WITHOUT ROWID;
CREATE UNIQUE INDEX IF NOT EXISTS derirezaro_record_ids
    ON derirezaro_records (timeline, id) WHERE id IS NOT NULL;
"""

HEADER_COLUMNS = (
    "seq, id, seq - parent_gap, seq - base_gap, kind, format, timestamp, digest, header_crc, crc, meta,"
    " NULL, length(body)"
)
ALL_COLUMNS = HEADER_COLUMNS.replace("NULL", "body")
TIMELINE_SQL = "(SELECT id FROM derirezaro_timelines WHERE name = :name)"

# Parameters: the record's fields in StoredRecord order up to its body (1-12),
# then the timeline's name (13), the expected head (14) and its crc (15, NULL
# when the writer does not know it). Positional, as a tuple binds for less
# than a dict of names.
# The row goes in only if the head is the expected one: the expected head is
# present (or, for 0, the timeline is empty), and the primary key refuses a
# second record at the same seq. Seqs are dense, so these two say "head ==
# expected" exactly. The crc tells the expected record from another at its
# seq, written after the timeline was dropped whole. A delta goes in only while
# its keyframe is stored: another writer's prune may have dropped the chain it
# builds on, and a prune drops a prefix, so the keyframe's presence is the
# whole chain's.
_APPEND = """
INSERT INTO derirezaro_records
SELECT t.id, ?1, ?2, ?1 - ?3, ?1 - ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12
FROM derirezaro_timelines AS t
WHERE t.name = ?13 AND CASE WHEN ?14 = 0
    THEN NOT EXISTS (SELECT 1 FROM derirezaro_records WHERE timeline = t.id)
    ELSE EXISTS (SELECT 1 FROM derirezaro_records WHERE timeline = t.id AND seq = ?14
        AND (?15 IS NULL OR crc = ?15)) END
AND (?4 = ?1 OR EXISTS (SELECT 1 FROM derirezaro_records WHERE timeline = t.id AND seq = ?4))
"""


class SQLiteLog(TimelineFactory):
    """Timelines in one SQLite file (created if missing).

    `durability` is "normal" (survives a killed process; a power cut may lose
    the last commits) or "full" (survives both, at one fsync per commit).
    `timeout` is how long, in seconds, a write waits for another process's.
    """

    def __init__(self, path: str | os.PathLike[str], durability: str = "normal", timeout: float = 30.0):
        if durability not in _DURABILITY:
            raise ValueError(f"durability must be 'normal' or 'full', not {durability!r}")
        self.path = os.fspath(path)
        self.durability = durability
        self._timeout = timeout
        self._write_lock = threading.Lock()
        self._readers_lock = threading.Lock()
        # Each thread's reader, with the thread: a thread that has ended has its reader
        # closed when the next one opens, so a pool that churns threads leaks no files.
        self._readers: list[tuple[weakref.ref[threading.Thread], sqlite3.Connection]] = []
        self._local = threading.local()
        self._closed = False
        self.compact_ids = True  # what the file's schema says, read below
        self._writer = self._connect()
        try:
            self._enter_wal_mode()
            self._writer.execute(f"PRAGMA synchronous={_DURABILITY[durability]}")
            if durability == "full":
                # Every commit fsyncs the WAL; one that also extends the file must
                # commit its new size too, which costs about as much again. A short
                # WAL reaches its full length within a few dozen commits, and the
                # fsyncs after that extend nothing.
                self._writer.execute(f"PRAGMA wal_autocheckpoint={_FULL_WAL_PAGES}")
            self._create_schema()
        except BaseException:
            self._writer.close()
            raise
        weakref.finalize(self, _close_all, self._writer, self._readers)

    def _connect(self) -> sqlite3.Connection:
        # Autocommit (isolation_level None): transactions are begun explicitly.
        connection = sqlite3.connect(
            self.path, timeout=self._timeout, isolation_level=None, check_same_thread=False
        )
        connection.text_factory = _text
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

    def _create_schema(self) -> None:
        w = self._writer
        w.execute("BEGIN IMMEDIATE")
        try:
            # One statement at a time: executescript would commit the transaction first.
            for statement in filter(str.strip, _TABLES.split(";")):
                w.execute(statement)
            versions = [v for (v,) in w.execute("SELECT version FROM derirezaro_schema")]
            if not versions:
                w.execute("INSERT INTO derirezaro_schema VALUES (?)", (SCHEMA,))
            elif max(versions) > SCHEMA:
                raise FormatError(max(versions), SCHEMA, f"schema of {self.path}")
            self.compact_ids = max(versions, default=SCHEMA) >= 2
            w.execute("COMMIT")
        except BaseException:
            if w.in_transaction:
                w.execute("ROLLBACK")
            raise

    # -- writes -------------------------------------------------------------

    def append(
        self, timeline: str, expected_head: int, record: StoredRecord, head_crc: int | None = None
    ) -> int:
        stored_id = self._stored_id(record.id)
        values = (
            record.seq,
            bound(stored_id),
            *record[2:10],
            bytearray(record.meta),  # as bound() binds bytes, without its call: every commit appends
            bound(record.body),  # None, in a record without its body, is refused by the table
            timeline,
            expected_head,
            head_crc,
        )
        with self._write_lock:
            self._check_open()
            w = self._writer
            if expected_head != 0:
                # The insert checks the head itself, and a write statement takes the
                # write lock before it reads anything: on its own it is the whole
                # compare-and-set, one statement where a transaction costs three.
                try:
                    if w.execute(_APPEND, values).rowcount == 1:
                        return record.seq
                except sqlite3.IntegrityError:
                    pass
            # A new timeline, or an append that lost: decide in one transaction.
            w.execute("BEGIN IMMEDIATE")
            try:
                if expected_head == 0:
                    w.execute("INSERT OR IGNORE INTO derirezaro_timelines (name) VALUES (?)", (timeline,))
                try:
                    inserted = w.execute(_APPEND, values).rowcount == 1
                except sqlite3.IntegrityError:
                    inserted = False
                    if record.id is not None and self._id_taken(w, timeline, record, stored_id):
                        raise ValueError(
                            f"timeline {timeline!r} already has a record with id {record.id!r}"
                        ) from None
                if inserted:
                    w.execute("COMMIT")
                    return record.seq
                stored = w.execute(
                    f"SELECT id, crc FROM derirezaro_records WHERE timeline = {TIMELINE_SQL} AND seq = :seq",
                    {"name": timeline, "seq": record.seq},
                ).fetchone()
                head = w.execute(
                    f"SELECT max(seq) FROM derirezaro_records WHERE timeline = {TIMELINE_SQL}",
                    {"name": timeline},
                ).fetchone()[0]
            finally:
                if w.in_transaction:
                    w.execute("ROLLBACK")
        if stored is not None and (expand_id(stored[0]), stored[1]) == (record.id, record.crc):
            return record.seq  # a retry of an append that did land
        raise ConflictError(timeline, expected_head, head)

    @staticmethod
    def _id_taken(w: sqlite3.Connection, timeline: str, record: StoredRecord, stored_id: object) -> bool:
        row = w.execute(
            f"SELECT seq FROM derirezaro_records WHERE timeline = {TIMELINE_SQL} AND id = :id",
            {"name": timeline, "id": stored_id},
        ).fetchone()
        return row is not None and row[0] != record.seq

    def drop(self, timeline: str, before: int | None = None) -> None:
        def work(w: sqlite3.Connection) -> None:
            args = {"name": timeline, "before": before}
            if before is None:
                w.execute(f"DELETE FROM derirezaro_records WHERE timeline = {TIMELINE_SQL}", args)
                w.execute("DELETE FROM derirezaro_timelines WHERE name = :name", args)
            else:  # never the head, whatever `before` says
                head = f"(SELECT max(seq) FROM derirezaro_records WHERE timeline = {TIMELINE_SQL})"
                w.execute(
                    f"DELETE FROM derirezaro_records WHERE timeline = {TIMELINE_SQL} AND seq < :before"
                    f" AND seq < {head}",
                    args,
                )

        self.run_in_transaction(work)

    # -- reads --------------------------------------------------------------

    def read(self, timeline: str, first: int, last: int, base: int | None = None) -> list[StoredRecord]:
        query = (
            f"SELECT {ALL_COLUMNS} FROM derirezaro_records WHERE timeline = {TIMELINE_SQL}"
            " AND seq BETWEEN :first AND :last AND (:base IS NULL OR seq - base_gap = :base) ORDER BY seq"
        )
        args = {"name": timeline, "first": first, "last": last, "base": base}
        return list(map(record, self.reader().execute(query, args).fetchall()))

    def headers(
        self, timeline: str, *, limit: int, before: int | None = None, id: str | None = None
    ) -> list[StoredRecord]:
        where = "id = :id" if id is not None else "(:before IS NULL OR seq < :before)"
        query = (
            f"SELECT {HEADER_COLUMNS} FROM derirezaro_records WHERE timeline = {TIMELINE_SQL}"
            f" AND {where} ORDER BY seq DESC LIMIT :limit"
        )
        args = {"name": timeline, "before": before, "id": self._stored_id(id), "limit": limit}
        return list(map(record, self.reader().execute(query, args).fetchall()))

    def timelines(self, prefix: str = "") -> list[str]:
        query = (
            "SELECT name FROM derirezaro_timelines AS t WHERE substr(name, 1, length(:prefix)) = :prefix"
            " AND EXISTS (SELECT 1 FROM derirezaro_records WHERE timeline = t.id) ORDER BY name"
        )
        return [name for (name,) in self.reader().execute(query, {"prefix": prefix}).fetchall()]

    def reader(self) -> sqlite3.Connection:
        """This thread's read connection to the file, for tables kept beside the timelines.

        Autocommit: each statement is its own read; fetch its rows before yielding.
        """
        self._check_open()
        connection = getattr(self._local, "connection", None)
        if connection is None:
            connection = self._connect()
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

    def run_in_transaction(self, work: Callable[[sqlite3.Connection], _T]) -> _T:
        """Run `work(connection)` in one write transaction, as appends are: committed if it returns.

        For tables kept beside the timelines in the same file; `work` must not
        begin or end transactions itself.
        """
        with self._write_lock:
            w = self._writer_connection()
            w.execute("BEGIN IMMEDIATE")
            try:
                result = work(w)
                w.execute("COMMIT")
                return result
            finally:
                if w.in_transaction:
                    w.execute("ROLLBACK")

    def write_one(self, statement: str, args: Sequence[Any]) -> int:
        """Run one statement, as its own transaction; return the rows it changed.

        For tables kept beside the timelines: cheaper than a transaction of one
        statement, where the statement's own atomicity is enough.
        """
        with self._write_lock:
            return self._writer_connection().execute(statement, args).rowcount

    def _stored_id(self, id: str | None) -> str | bytes | None:
        return compact_id(id) if self.compact_ids and id is not None else id

    def stored_id(self, id: str) -> str | bytes:
        """How this file stores the id `id`: for tables beside the timelines that join on ids."""
        return compact_id(id) if self.compact_ids else id

    def timeline_key(self, connection: sqlite3.Connection, name: str, create: bool = False) -> int | None:
        """The integer that stands for timeline `name` in this file, made if `create`; never reused.

        For tables kept beside the timelines, inside `run_in_transaction` when
        creating. A table keyed by it drops its rows before the timeline is dropped.
        """
        if create:
            connection.execute("INSERT OR IGNORE INTO derirezaro_timelines (name) VALUES (?)", (name,))
        row = connection.execute("SELECT id FROM derirezaro_timelines WHERE name = ?", (name,)).fetchone()
        return None if row is None else row[0]

    def _writer_connection(self) -> sqlite3.Connection:
        self._check_open()
        return self._writer

    # -- life ---------------------------------------------------------------

    def close(self) -> None:
        """Close every connection. Calls in flight in other threads must have returned."""
        with self._write_lock, self._readers_lock:
            if self._closed:
                return
            self._closed = True
            _close_all(self._writer, self._readers)

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError(f"the log {self.path!r} is closed")

    def __repr__(self) -> str:
        return f"SQLiteLog({self.path!r}, durability={self.durability!r})"


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


# The ids read lately, by their stored bytes: a listing reads the same ones again.
_expanded: dict[bytes, str] = {}
_EXPANDED_KEPT = 4096


def record(row: tuple) -> StoredRecord:
    """A row of `HEADER_COLUMNS` or `ALL_COLUMNS` as the record it stores."""
    if type(row[1]) is bytes:
        row = (row[0], expand_id(row[1]), *row[2:])
    return StoredRecord._make(row)


def _text(raw: bytes) -> str | bytes:
    """TEXT columns as str; a damaged one, no longer UTF-8, as its bytes for the checksum to refuse."""
    try:
        return raw.decode()
    except UnicodeDecodeError:
        return raw


def _close_all(
    writer: sqlite3.Connection, readers: list[tuple[weakref.ref[threading.Thread], sqlite3.Connection]]
) -> None:
    writer.close()
    for _, reader in readers:
        reader.close()
    readers.clear()

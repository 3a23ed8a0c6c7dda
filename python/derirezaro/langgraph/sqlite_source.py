"""LangGraph's SQLite checkpointer as an import reads it, and as a saver refuses to open it.

Read with SQL of its own over LangGraph's two tables, which gives each
pending write's task path and index as stored: a file opened read-only, or
the connection of a saver given, used under that saver's lock.
"""

from __future__ import annotations

import contextlib
import json
import os
import sqlite3
import urllib.parse
from collections.abc import Iterator
from typing import Any

from ..persist.sqlite_errors import raise_as_persist_error
from .errors import CheckpointDecodeError, LangGraphFileError
from .import_records import Copied, Outlined, Write
from .kept_values import KeptValues

_TABLES = frozenset({"checkpoints", "writes"})  # what LangGraph's SQLite checkpointer creates


def _read_only(path: str) -> sqlite3.Connection:
    uri = f"file:{urllib.parse.quote(os.path.abspath(path))}?mode=ro"
    return sqlite3.connect(uri, uri=True, check_same_thread=False)


def _tables(conn: sqlite3.Connection) -> set[str]:
    return {row[0] for row in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}


def refuse_langgraph_file(path: Any) -> None:
    """Raise `LangGraphFileError` if `path` is a file of LangGraph's SQLite checkpointer.

    A file that holds derirezaro timelines too is a log, used as one already:
    it passes. A file that is no SQLite database passes as well, for the
    log's own open to report.
    """
    path = os.fsdecode(path)
    if path == ":memory:" or not os.path.isfile(path):
        return
    try:
        with contextlib.closing(_read_only(path)) as conn:
            tables = _tables(conn)
            if not _TABLES <= tables:
                return
            if "derirezaro_timelines" in tables:
                if conn.execute("SELECT 1 FROM derirezaro_timelines LIMIT 1").fetchone() is not None:
                    return
    except sqlite3.Error:
        return
    raise LangGraphFileError(path)


class SqliteSource:
    """LangGraph's SQLite checkpointer, read by its own tables: a file opened read-only, or the
    connection of a saver given (under the saver's lock, and left open)."""

    def __init__(
        self, conn: sqlite3.Connection, values: KeptValues, lock: Any = None, path: str | None = None
    ) -> None:
        self._conn, self._values = conn, values
        self._lock = lock if lock is not None else contextlib.nullcontext()
        self._owned = False
        self._path = path if path is not None else "LangGraph's SQLite saver"  # what errors name
        with self._lock, self._errors():
            self._tables = _TABLES <= _tables(conn)
            columns = {row[1] for row in conn.execute("PRAGMA table_info(writes)")}
        path_column = "task_path" if "task_path" in columns else "''"  # files from before the column
        self._writes = (
            f"SELECT task_id, {path_column}, idx, channel, type, value FROM writes "
            "WHERE thread_id = ? AND checkpoint_ns = ? AND checkpoint_id = ?"
        )

    @classmethod
    def of_file(cls, path: str, values: KeptValues) -> SqliteSource:
        if not os.path.isfile(path):
            raise FileNotFoundError(f"no such file: {path!r}")
        try:
            conn = _read_only(path)
        except sqlite3.Error as exc:
            raise_as_persist_error(exc, path)
            raise
        try:
            source = cls(conn, values, path=path)
        except BaseException as exc:
            conn.close()
            if not isinstance(exc, sqlite3.DatabaseError):  # a refusal or damage, in the package's terms
                raise
            raise ValueError(f"{path!r} is not a SQLite file of LangGraph's checkpointer ({exc})") from None
        source._owned = True
        if not source._tables:
            source.close()
            raise ValueError(
                f"{path!r} is not a file of LangGraph's SQLite checkpointer: it has no tables "
                "'checkpoints' and 'writes'"
            )
        return source

    def _rows(self, sql: str, args: tuple[str, ...] = ()) -> list[Any]:
        with self._lock, self._errors():
            return self._conn.execute(sql, args).fetchall()

    @contextlib.contextmanager
    def _errors(self) -> Iterator[None]:
        """SQLite's errors in the package's terms: a lock held past the timeout is the source
        unavailable, a malformed page damage naming the file; any other as SQLite raised it."""
        try:
            yield
        except sqlite3.Error as exc:
            raise_as_persist_error(exc, self._path)
            raise

    def threads(self) -> list[str]:
        if not self._tables:  # a saver that has written nothing yet
            return []
        return [row[0] for row in self._rows("SELECT DISTINCT thread_id FROM checkpoints ORDER BY 1")]

    def outline(self, thread_id: str) -> list[Outlined]:
        rows = self._rows(
            "SELECT checkpoint_ns, checkpoint_id, parent_checkpoint_id FROM checkpoints WHERE thread_id = ?",
            (thread_id,),
        )
        return [Outlined(ns, checkpoint_id, parent or None) for ns, checkpoint_id, parent in rows]

    def checkpoint(self, thread_id: str, ns: str, checkpoint_id: str) -> Copied | None:
        rows = self._rows(
            "SELECT type, checkpoint, metadata FROM checkpoints "
            "WHERE thread_id = ? AND checkpoint_ns = ? AND checkpoint_id = ?",
            (thread_id, ns, checkpoint_id),
        )
        if not rows:
            return None
        kind, blob, metadata = rows[0]
        what = "the checkpoint"
        try:
            checkpoint = self._values.loads_typed((kind, blob))
            what = "its metadata"
            metadata = json.loads(metadata) if metadata else {}
            writes = self.writes(thread_id, ns, checkpoint_id)
            for write in writes:
                what = f"pending write {write.task_id!r}/{write.idx}"
                self._values.judge(write.value)
        except (ValueError, TypeError, NotImplementedError) as exc:  # the serde refusing bytes
            raise CheckpointDecodeError(thread_id, ns, checkpoint_id, what) from exc
        return Copied(checkpoint, metadata, writes, self._values.take())

    def writes(self, thread_id: str, ns: str, checkpoint_id: str) -> list[Write]:
        rows = self._rows(self._writes, (thread_id, ns, checkpoint_id))
        return [
            Write(task, path, idx, channel, (kind, value or b""))
            for task, path, idx, channel, kind, value in rows
        ]

    def close(self) -> None:
        if self._owned:
            self._conn.close()

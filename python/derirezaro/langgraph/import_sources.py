"""What an import reads from: a file of LangGraph's SQLite checkpointer, a PostgreSQL URL, or any saver.

Values come as their serde stored them: pending writes as (type, bytes)
pairs, checkpoints through `KeptValues`, which keeps every MessagePack
extension as stored. LangGraph's SQLite checkpointer (a file, or a saver's
connection) is read by its tables (`sqlite_source`); any other saver through
its methods. A write's task path and index (the order a replay applies
writes in) are read as stored from the savers whose storage this module
knows: Postgres, LangGraph's in-memory saver and derirezaro's. Another
saver's methods give neither, so its writes are indexed in their order
within their task, as a task's one `put_writes` does, with no path.
"""

from __future__ import annotations

import contextlib
import copy
import importlib
import os
import sqlite3
from collections.abc import Callable, Iterator, Mapping
from typing import Any

from langgraph.checkpoint.base import WRITES_IDX_MAP, BaseCheckpointSaver
from langgraph.checkpoint.serde.jsonplus import JsonPlusSerializer

from ..persist.locate import sqlite_path
from .import_records import Copied, Outlined, Source, Write
from .kept_values import KeptValues
from .marks import MARK_TASK
from .pending import PendingReader
from .reads import Reads
from .sqlite_source import SqliteSource

_POSTGRES = ("postgres://", "postgresql://")


StoredWrites = Callable[[str, str, str], "list[Write] | None"]


class SaverSource:
    """Any LangGraph saver, read through its methods with its serde keeping values as stored.

    The saver read is a shallow copy of the one given, with the serde swapped:
    the caller's saver is left as it is. `stored_writes`, where the saver's
    writes can be read as stored, gives them with their task paths and
    indices; else they are indexed in their order within their task.
    """

    def __init__(
        self,
        saver: BaseCheckpointSaver,
        values: KeptValues,
        *,
        own: bool = False,
        stored_writes: StoredWrites | None = None,
    ) -> None:
        self._given = saver
        self._reader = saver if own else copy.copy(saver)
        self._reader.serde = values
        self._values = values
        self._stored_writes = stored_writes or _in_memory_writes(saver) or _derirezaro_writes(saver)
        self._outlined: dict[tuple[str, str], Copied] = {}

    def threads(self) -> list[str]:
        names = getattr(getattr(self._given, "branches", None), "names", None)
        if callable(names):  # a derirezaro saver: its thread index
            return sorted({thread for thread, _ in names(None, None)})
        storage = getattr(self._given, "storage", None)
        if isinstance(storage, Mapping):  # LangGraph's in-memory saver
            return sorted(str(thread) for thread in storage)
        threads = {str(tup.config["configurable"]["thread_id"]) for tup in self._reader.list(None)}
        self._values.take()  # what the pass judged is judged again per checkpoint
        return sorted(threads)

    def outline(self, thread_id: str) -> list[Outlined]:
        """Read the whole thread, once: a saver offers no read of a checkpoint's writes alone."""
        self._outlined.clear()
        self._values.take()
        outline = []
        for tup in self._reader.list({"configurable": {"thread_id": thread_id}}):
            conf = tup.config["configurable"]
            ns, checkpoint_id = conf.get("checkpoint_ns", ""), conf["checkpoint_id"]
            parent = (tup.parent_config or {}).get("configurable", {}).get("checkpoint_id")
            writes = self._stored_writes(thread_id, ns, checkpoint_id) if self._stored_writes else None
            if writes is None:
                writes = self._indexed(tup.pending_writes or ())
            for write in writes:
                self._values.judge(write.value)
            copied = Copied(dict(tup.checkpoint), dict(tup.metadata), writes, self._values.take())
            self._outlined[ns, checkpoint_id] = copied
            outline.append(Outlined(ns, checkpoint_id, parent or None))
        return outline

    def _indexed(self, pending: Any) -> list[Write]:
        writes: list[Write] = []
        counts: dict[str, int] = {}
        for task_id, channel, value in pending:
            idx = WRITES_IDX_MAP.get(channel)
            if idx is None:
                idx = counts[task_id] = counts.get(task_id, -1) + 1
            writes.append(Write(task_id, "", idx, channel, self._values.dumps_typed(value)))
        return writes

    def checkpoint(self, thread_id: str, ns: str, checkpoint_id: str) -> Copied | None:
        return self._outlined.get((ns, checkpoint_id))

    def writes(self, thread_id: str, ns: str, checkpoint_id: str) -> list[Write]:
        copied = self._outlined.get((ns, checkpoint_id))
        return [] if copied is None else copied.writes

    def close(self) -> None:
        self._outlined.clear()


def _in_memory_writes(saver: Any) -> StoredWrites | None:
    """The writes of LangGraph's in-memory saver as it stores them: (task, idx) -> (task, channel,
    (type, bytes), path), under (thread, namespace, checkpoint)."""
    stored = getattr(saver, "writes", None)
    if not isinstance(stored, Mapping) or not isinstance(getattr(saver, "storage", None), Mapping):
        return None

    def writes(thread_id: str, ns: str, checkpoint_id: str) -> list[Write] | None:
        found = stored.get((thread_id, ns, checkpoint_id), {})
        try:
            return [
                Write(task, path, idx, channel, (value[0], bytes(value[1])))
                for (_, idx), (task, channel, value, path) in found.items()
            ]
        except (TypeError, ValueError):  # another layout than this module knows
            return None

    return writes


def _derirezaro_writes(saver: Any) -> StoredWrites | None:
    """The writes of a derirezaro saver as its attachments hold them, checked where they lie."""
    if not isinstance(saver, Reads):
        return None

    def writes(thread_id: str, ns: str, checkpoint_id: str) -> list[Write]:
        branch = saver._branch(thread_id, ns)
        found = saver.log.attachments(branch.name, [checkpoint_id]).get(checkpoint_id, [])
        out = []
        for task, idx, blob in found:
            if task != MARK_TASK:
                (path, _, _), _, channel, value = PendingReader._unpack(
                    branch, checkpoint_id, task, idx, blob
                )
                out.append(Write(task, path, idx, channel, value))
        return out

    return writes


class PostgresSource(SaverSource):
    """LangGraph's Postgres checkpointer on a read-only connection; thread ids and writes by its tables."""

    def __init__(self, url: str, values: KeptValues) -> None:
        try:  # optional, and typed only where installed
            psycopg = importlib.import_module("psycopg")
            dict_row = importlib.import_module("psycopg.rows").dict_row
            saver_class = importlib.import_module("langgraph.checkpoint.postgres").PostgresSaver
        except ImportError as exc:
            raise ImportError(
                "importing from PostgreSQL needs psycopg and LangGraph's Postgres checkpointer: "
                f"pip install 'psycopg[binary]' langgraph-checkpoint-postgres ({exc})"
            ) from exc
        self._conn = psycopg.connect(
            url,
            autocommit=True,
            prepare_threshold=0,
            row_factory=dict_row,
            options="-c default_transaction_read_only=on",
        )
        saver = saver_class(self._conn, serde=values)
        super().__init__(saver, values, own=True, stored_writes=self._writes)

    def threads(self) -> list[str]:
        rows = self._conn.execute("SELECT DISTINCT thread_id FROM checkpoints ORDER BY thread_id")
        return [str(row["thread_id"]) for row in rows]

    def _writes(self, thread_id: str, ns: str, checkpoint_id: str) -> list[Write]:
        rows = self._conn.execute(
            "SELECT task_id, task_path, idx, channel, type, blob FROM checkpoint_writes "
            "WHERE thread_id = %s AND checkpoint_ns = %s AND checkpoint_id = %s",
            (thread_id, ns, checkpoint_id),
        )
        return [
            Write(
                r["task_id"],
                r["task_path"] or "",
                r["idx"],
                r["channel"],
                (r["type"], bytes(r["blob"] or b"")),
            )
            for r in rows
        ]

    def close(self) -> None:
        super().close()
        self._conn.close()


def check_source(source: str | os.PathLike[str]) -> None:
    """Open `source` as an import does, and close it: what cannot be read as a source raises here,
    before the command makes a target log for it."""
    with opened(source, KeptValues(JsonPlusSerializer())):
        pass


@contextlib.contextmanager
def opened(source: Any, values: KeptValues) -> Iterator[Source]:
    """The source `source` names: a saver, a `postgres://` URL, or the path of a SQLite file."""
    if isinstance(source, BaseCheckpointSaver):
        conn = getattr(source, "conn", None)
        if isinstance(conn, sqlite3.Connection):  # LangGraph's SQLite saver: its tables, as stored
            reader: SqliteSource | SaverSource = SqliteSource(conn, values, getattr(source, "lock", None))
        else:
            reader = SaverSource(source, values)
    elif isinstance(source, (str, os.PathLike)):
        location = os.fsdecode(source)
        path = sqlite_path(location)
        if location.startswith(_POSTGRES):
            reader = PostgresSource(location, values)
        elif path is not None and "://" not in path:
            reader = SqliteSource.of_file(path, values)
        else:
            raise ValueError(
                f"cannot import from {location!r}: give the path of a file of LangGraph's SQLite "
                "checkpointer, a postgresql:// URL, or a saver"
            )
    else:
        raise TypeError(
            "the source of an import is a LangGraph saver, a postgresql:// URL or the path of a file of "
            f"LangGraph's SQLite checkpointer, not {source!r}"
        )
    try:
        yield reader
    finally:
        reader.close()

"""Durable timelines: a store's snapshots written to a log, change by change.

    from derirezaro import Store
    from derirezaro.persist import SQLiteLog

    log = SQLiteLog("agent.db")
    store = Store()
    timeline = log.timeline("thread-42", store)  # an existing timeline restores the store
    store.set("agent", "step", 1)
    timeline.commit(meta={"step": 1})

A log is where records live (`SQLiteLog`, `RedisLog`, `PostgresLog`, `MemoryLog`;
the `Log` protocol for others); a `Timeline` turns a store's snapshots into records and back.
"""

from .blob import export_snapshot, import_snapshot
from .errors import (
    ConflictError,
    ConnectionLostError,
    CorruptRecordError,
    FormatError,
    PersistError,
    RecordNotFoundError,
    UnavailableError,
)
from .log import Log, Pruned, TimelineHead
from .memory import MemoryLog
from .record import Record, StoredRecord
from .redis_log import RedisLog
from .sqlite import SQLiteLog
from .timeline import Timeline, Tuning
from .transfer import copy_timeline, export_timeline, import_timeline
from .view import ABSENT, StateView


def __getattr__(name: str) -> object:
    # PostgresLog is imported when first named: importing psycopg costs every user of the package
    # that never opens PostgreSQL a noticeable share of its start.
    if name == "PostgresLog":
        from .postgres import PostgresLog

        return PostgresLog
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "ABSENT",
    "ConflictError",
    "ConnectionLostError",
    "CorruptRecordError",
    "FormatError",
    "Log",
    "MemoryLog",
    "PersistError",
    "PostgresLog",
    "Pruned",
    "RecordNotFoundError",
    "Record",
    "RedisLog",
    "SQLiteLog",
    "StateView",
    "StoredRecord",
    "Timeline",
    "TimelineHead",
    "Tuning",
    "UnavailableError",
    "copy_timeline",
    "export_snapshot",
    "export_timeline",
    "import_snapshot",
    "import_timeline",
]

"""The SQLite log's tables: what a new file is given, and how a file of an older schema is brought up to it.

Schemas: 1, the first; 2 stores ids that are UUIDs in their canonical text
form as their 16 bytes; 3 keeps the voucher beside each timeline's name, and
attachments beside its records. A file of schema 1 or 2 is upgraded to 3 when
opened, in one write transaction, and keeps how it stores ids, so that the ids
its rows join on still match. A file of schema 3 is only read, so a read-only
one opens for reads.

The upgrade also carries over what the LangGraph saver of schema 2 files kept
in a table of its own in the same file, `derirezaro_langgraph_writes`: its
pending writes and marks. Each row is an attachment entry as today's saver
stores it (a task's id, an index and a sealed blob, under the checkpoint's id
or, for the floor mark, ""; ids stored as the file stores them), and today's
saver reads that saver's marks as they are, so each row is copied unchanged,
under the same timeline key, and the table is dropped.
"""

from __future__ import annotations

import sqlite3
import zlib

from .errors import CorruptRecordError, FormatError
from .sqlite_errors import abandon

SCHEMA = 3  # the schema this code creates and the newest it opens

_RECORDS = """
CREATE TABLE derirezaro_records (
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
) WITHOUT ROWID
"""
_CREATE = [
    """CREATE TABLE derirezaro_schema (
    version INTEGER NOT NULL,
    compact_ids INTEGER NOT NULL DEFAULT 1  -- 0: UUID ids are stored as text, as schema 1 did
)""",
    """CREATE TABLE derirezaro_timelines (
    id INTEGER PRIMARY KEY AUTOINCREMENT,  -- the incarnation: never reused, so a stale id matches nothing
    name TEXT NOT NULL UNIQUE,
    head INTEGER NOT NULL DEFAULT 0,  -- the newest record's seq; 0 while the timeline holds none
    crc INTEGER NOT NULL DEFAULT 0,  -- the newest record's crc
    first INTEGER NOT NULL DEFAULT 0,  -- the oldest kept record's seq
    name_crc INTEGER NOT NULL DEFAULT 0  -- CRC32 of name, by which a row whose name was damaged is found
)""",
    _RECORDS,
    "CREATE UNIQUE INDEX derirezaro_record_ids ON derirezaro_records (timeline, id) WHERE id IS NOT NULL",
]
# Attachments: entries kept beside a timeline's records under string keys. One
# B-tree keyed by where an entry lies, so that storing a pending write is one
# insert into it, as it was before attachments.
_ATTACHMENTS = """CREATE TABLE derirezaro_attachments (
    timeline INTEGER NOT NULL,  -- the voucher row's id
    key NOT NULL,  -- keys and tasks as ids are stored: a UUID as its 16 bytes
    task NOT NULL,
    idx INTEGER NOT NULL,
    blob BLOB NOT NULL,
    PRIMARY KEY (timeline, key, task, idx)
) WITHOUT ROWID"""
# What schema 3 adds to a file of schema 1 or 2 (whose tables are _CREATE's
# without the columns added here), filled from the records in the same transaction.
_UPGRADE = [
    "ALTER TABLE derirezaro_schema ADD COLUMN compact_ids INTEGER NOT NULL DEFAULT 1",
    "UPDATE derirezaro_schema SET compact_ids = version >= 2",
    *(
        f"ALTER TABLE derirezaro_timelines ADD COLUMN {column} INTEGER NOT NULL DEFAULT 0"
        for column in ("head", "crc", "first", "name_crc")
    ),
    """UPDATE derirezaro_timelines AS t SET
    head = coalesce((SELECT max(r.seq) FROM derirezaro_records AS r WHERE r.timeline = t.id), 0),
    first = coalesce((SELECT min(r.seq) FROM derirezaro_records AS r WHERE r.timeline = t.id), 0)""",
    """UPDATE derirezaro_timelines AS t SET
    crc = coalesce((SELECT r.crc FROM derirezaro_records AS r WHERE r.timeline = t.id AND r.seq = t.head),
        0)""",
]
# The last statements of both a new file and an upgrade: the attachments, the
# index that finds a voucher row by its name's CRC, and the trigger that keeps
# the voucher at the newest record. Every insert goes through an append's
# compare-and-set, which admits only the head's next seq.
_LAST = [
    _ATTACHMENTS,
    "CREATE INDEX derirezaro_timeline_name_crcs ON derirezaro_timelines (name_crc)",
    """CREATE TRIGGER derirezaro_vouch AFTER INSERT ON derirezaro_records BEGIN
    UPDATE derirezaro_timelines SET head = NEW.seq, crc = NEW.crc WHERE id = NEW.timeline;
END""",
]
OWN_TABLES = ("derirezaro_schema", "derirezaro_timelines", "derirezaro_records", "derirezaro_attachments")

# The schema 2 LangGraph saver's table: (timeline, checkpoint, task, idx, blob),
# keyed by all but the blob, WITHOUT ROWID; `timeline` is the timelines row's id.
_OLD_WRITES = "derirezaro_langgraph_writes"
# In the table's key order, the one order its rows have, and the one that
# saver read them in. Rows of a timeline no longer in the file (a write that
# raced the drop of its thread) are unreachable by any reader: they go with
# the table.
_CARRY_OVER = f"""
INSERT INTO derirezaro_attachments (timeline, key, task, idx, blob)
SELECT w.timeline, w.checkpoint, w.task, w.idx, w.blob FROM {_OLD_WRITES} AS w
WHERE w.timeline IN (SELECT id FROM derirezaro_timelines)
ORDER BY w.timeline, w.checkpoint, w.task, w.idx
"""


def crc_of_name(name: str | bytes) -> int:
    """The CRC32 of a timeline's name, as `name_crc` stores it (signed, as SQL integers are)."""
    crc = zlib.crc32(name.encode() if isinstance(name, str) else name)
    return crc - (1 << 32) if crc >> 31 else crc


def open_schema(connection: sqlite3.Connection, path: str) -> bool:
    """Check the file's schema, creating or upgrading it if it is not SCHEMA; whether ids are compact.

    `connection` is in autocommit. A file without this log's tables is given
    them. Raises `FormatError` for a newer schema and `CorruptRecordError` for
    an unreadable one, leaving the file as it was.
    """
    found = schema_of(connection, path)
    if found is not None and found[0] == SCHEMA:
        return found[1]
    connection.execute("BEGIN IMMEDIATE")
    try:
        found = schema_of(connection, path)  # again: another process may have written it meanwhile
        if found is None:
            for statement in (*_CREATE, *_LAST):
                connection.execute(statement)
            connection.execute("INSERT INTO derirezaro_schema (version) VALUES (?)", (SCHEMA,))
        elif found[0] < SCHEMA:
            _upgrade(connection)
        connection.execute("COMMIT")
    except BaseException:
        abandon(connection)
        raise
    found = schema_of(connection, path)
    assert found is not None  # written above, or by the other process
    return found[1]


def schema_of(connection: sqlite3.Connection, path: str) -> tuple[int, bool] | None:
    """The file's schema version and whether it stores ids compact; None without the log's tables."""
    found = {
        name
        for (name,) in connection.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' AND name IN (?, ?, ?, ?)", OWN_TABLES
        )
    }
    if not found:
        return None
    rows = connection.execute("SELECT * FROM derirezaro_schema").fetchall() if OWN_TABLES[0] in found else []
    version = rows[0][0] if len(rows) == 1 else None
    if type(version) is not int or version < 1:
        raise CorruptRecordError(
            None, None, f"unreadable schema version (derirezaro_schema holds {rows!r})", file=path
        )
    if version > SCHEMA:
        raise FormatError(version, SCHEMA, f"schema of {path}")
    if missing := [name for name in OWN_TABLES[: 3 if version < 3 else 4] if name not in found]:
        raise CorruptRecordError(None, None, f"the log's table {missing[0]} is missing", file=path)
    compact = version >= 2 if len(rows[0]) < 2 else bool(rows[0][1])
    return version, compact


def _upgrade(w: sqlite3.Connection) -> None:
    """Bring a file of schema 1 or 2 to SCHEMA, inside the caller's write transaction."""
    for statement in _UPGRADE:
        w.execute(statement)
    names = w.execute("SELECT id, name FROM derirezaro_timelines").fetchall()
    w.executemany(
        "UPDATE derirezaro_timelines SET name_crc = ? WHERE id = ?",
        [(crc_of_name(name), key) for key, name in names],
    )
    for statement in _LAST:
        w.execute(statement)
    _carry_over_langgraph_writes(w)
    w.execute("UPDATE derirezaro_schema SET version = ?", (SCHEMA,))


def _carry_over_langgraph_writes(w: sqlite3.Connection) -> None:
    """The schema 2 LangGraph saver's pending writes and marks, as attachments (see the module)."""
    if not w.execute(
        "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", (_OLD_WRITES,)
    ).fetchone():
        return
    w.execute(_CARRY_OVER)
    w.execute(f"DROP TABLE {_OLD_WRITES}")

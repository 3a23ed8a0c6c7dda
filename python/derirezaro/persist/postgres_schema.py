"""The PostgreSQL log's tables, and the versioned migrations that `setup()` applies.

Every table's name starts with the log's prefix (in the log's schema, when
it names one), so several logs share a database. `{p}_schema` holds one row:
the version of the tables. `setup()` takes a transaction-scoped advisory
lock named by the prefix, reads the version, and applies each migration
above it, in that one transaction: processes that set up at once queue on
the lock, and each after the first finds nothing to do. Inside a caller's
transaction the work is a savepoint of it, and no statement is one that
PostgreSQL refuses to run in a transaction block.

The tables of version 1:

    {p}_timelines    a timeline's voucher: its id is the incarnation (an identity,
                     so never reused), beside its name the head's seq and crc and the
                     oldest kept seq; head 0 while it holds no record (a row made for
                     attachments written before the first record)
    {p}_records      one row per record, keyed by (timeline, seq); chosen ids unique
                     per timeline by a partial index; bodies stored as they come:
                     they are compressed already where that pays
    {p}_attachments  entries keyed by (timeline, key, task, idx)

Names, ids, keys and tasks are stored as their UTF-8 (with lone surrogates
as Python writes them), so that any str is one, NUL included, whatever the
database's encoding. Records and attachments refer to their voucher by a foreign key that
cascades: a record never outlives the row that vouches for it, and a drop
is one statement.
"""

from __future__ import annotations

from typing import Any

from .errors import CorruptRecordError, FormatError

# Each migration takes the tables from the version before it to its own; `{p}` is the
# prefix, `{s}` the qualifier of the schema ("" or `"schema".`), identifiers already quoted.
MIGRATIONS: list[list[str]] = [
    [
        """CREATE TABLE {s}"{p}_timelines" (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    name bytea NOT NULL UNIQUE,  -- UTF-8, in byte order: the names under a prefix are one range
    head bigint NOT NULL DEFAULT 0,
    crc integer NOT NULL DEFAULT 0,
    first bigint NOT NULL DEFAULT 0
)""",
        """CREATE TABLE {s}"{p}_records" (
    timeline bigint NOT NULL REFERENCES {s}"{p}_timelines" (id) ON DELETE CASCADE,
    seq bigint NOT NULL,
    id bytea,  -- a chosen id, UTF-8
    parent bigint,
    base bigint NOT NULL,
    kind smallint NOT NULL,
    format smallint NOT NULL,
    timestamp double precision NOT NULL,
    digest bigint NOT NULL,
    header_crc integer NOT NULL,
    crc integer NOT NULL,
    meta bytea NOT NULL,
    body bytea NOT NULL,
    PRIMARY KEY (timeline, seq)
)""",
        # Bodies are compressed by the package where it pays: PostgreSQL compressing them again
        # costs time for nothing, and out-of-line storage keeps header reads off them.
        'ALTER TABLE {s}"{p}_records" ALTER COLUMN body SET STORAGE EXTERNAL',
        'CREATE UNIQUE INDEX "{p}_record_ids" ON {s}"{p}_records" (timeline, id) WHERE id IS NOT NULL',
        """CREATE TABLE {s}"{p}_attachments" (
    timeline bigint NOT NULL REFERENCES {s}"{p}_timelines" (id) ON DELETE CASCADE,
    key bytea NOT NULL,
    task bytea NOT NULL,
    idx integer NOT NULL,
    blob bytea NOT NULL,
    PRIMARY KEY (timeline, key, task, idx)
)""",
    ],
]
SCHEMA = len(MIGRATIONS)  # the version this code creates and the newest it opens
LOCK = "SELECT pg_advisory_xact_lock(hashtextextended(%s, 0))"


_EXISTS = """SELECT EXISTS (SELECT FROM pg_class AS c JOIN pg_namespace AS n ON n.oid = c.relnamespace
    WHERE c.relname = %s AND n.nspname = coalesce(%s, current_schema()))"""


def lock_name(qualifier: str, prefix: str) -> str:
    """What names the advisory lock of one set of tables: the same in every process that opens them."""
    return f"derirezaro {qualifier}{prefix}"


def setup(cursor: Any, qualifier: str, prefix: str, where: str) -> int:
    """Bring the tables under `prefix` to `SCHEMA` inside the caller's transaction; the version found.

    Raises `FormatError` for tables of a newer version and `CorruptRecordError`
    for a version table that is not one, writing nothing.
    """
    found = version(cursor, qualifier, prefix, where)
    if found == SCHEMA:  # the common case writes nothing and takes no lock: a read-only standby opens
        return found
    cursor.execute(LOCK, (lock_name(qualifier, prefix),))
    found = version(cursor, qualifier, prefix, where)  # again: another process may have set up meanwhile
    if found is None and qualifier:
        cursor.execute(f"CREATE SCHEMA IF NOT EXISTS {qualifier[:-1]}")
    if found is None:
        cursor.execute(f'CREATE TABLE {qualifier}"{prefix}_schema" (version integer NOT NULL)')
        cursor.execute(f'INSERT INTO {qualifier}"{prefix}_schema" VALUES (0)')
        found = 0
    for statements in MIGRATIONS[found:]:
        for statement in statements:
            cursor.execute(statement.format(s=qualifier, p=prefix))
    if found < SCHEMA:
        cursor.execute(f'UPDATE {qualifier}"{prefix}_schema" SET version = %s', (SCHEMA,))
    return found


def version(cursor: Any, qualifier: str, prefix: str, where: str) -> int | None:
    """The tables' version; None when there is no version table."""
    # From the catalog itself, not a name lookup (to_regclass): a lookup caches that a name is absent
    # until the transaction next locks a table, so a check after waiting on the advisory lock would
    # miss the tables the process it waited for made.
    cursor.execute(_EXISTS, (f"{prefix}_schema", qualifier[1:-2] if qualifier else None))
    if not cursor.fetchone()[0]:
        return None
    rows = cursor.execute(f'SELECT version FROM {qualifier}"{prefix}_schema"').fetchall()
    if len(rows) != 1 or type(rows[0][0]) is not int or rows[0][0] < 0:
        raise CorruptRecordError(
            None, None, f"unreadable schema version ({prefix}_schema holds {rows!r})", file=where
        )
    if rows[0][0] > SCHEMA:
        raise FormatError(rows[0][0], SCHEMA, f"tables {prefix}_* of {where}")
    return int(rows[0][0])

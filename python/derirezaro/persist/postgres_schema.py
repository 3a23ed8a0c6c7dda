"""The PostgreSQL log's tables, and the versioned migrations that `setup()` applies.

Every table's name starts with the log's prefix (in the log's schema, when
it names one), so several logs share a database. `{p}_schema` holds one row:
the version of the tables. `setup()` takes a transaction-scoped advisory
lock named by the prefix, reads the version, and applies each migration
above it, in that one transaction: processes that set up at once queue on
the lock, and each after the first finds nothing to do. Inside a caller's
transaction the work is a savepoint of it, and no statement is one that
PostgreSQL refuses to run in a transaction block.

The tables (version 4):

    {p}_timelines    a timeline's voucher: its id is the incarnation (an identity,
                     so never reused), beside its name the head's seq and crc and the
                     oldest kept seq; head 0 while it holds no record (a row made for
                     attachments written before the first record)
    {p}_records      one row per record, keyed by (timeline, seq); chosen ids found
                     by a hash index, unique per timeline by the append's statement;
                     bodies stored as they come: compressed already where that pays
    {p}_attachments  entries found by (timeline, key), the prefix of their unique
                     index: each (task, idx) once under a key

Names are stored as their UTF-8 (with lone surrogates as Python writes
them), so that any str is one, NUL included, whatever the database's
encoding, and names under a prefix are one range of bytes. Ids, keys and
tasks are stored as `postgres_sql.ident` packs them: a canonical UUID, which
is what LangGraph's checkpoint and task ids are, as its 16 bytes, anything
else as its UTF-8. A step writes an id into a record and its index, and a
key and a task into an attachment and its index: 20 bytes saved on each.
Fixed-width columns come first, widest first, so that no row pads between
columns.

Records and attachments name their voucher's id, with no foreign key: its
check cost each write ~30 us of the server's time, as much as the rest of
the statement. What it guarded holds by the statements: every write of a
record or an attachment moves or share-locks its voucher row in the same
statement and writes only where that row is there, and deleting the row (a
drop) fires a trigger that deletes what names it, with snapshots taken
after every writer the delete waited on had ended. Ids are never reused, so
nothing could read a row left behind as another timeline's.

Version 1 stored ids, keys and tasks as UTF-8, with the records' columns in
another order; its migration rewrites both tables in the new shape. Version
2 had foreign keys that cascaded; version 3 has the trigger in their place.
Version 3 kept each entry once without a unique index, by an update of the
voucher row in every attach: ~35 us of a step's latency, where the index
costs 16 bytes an entry.
"""

from __future__ import annotations

from typing import Any

from .errors import CorruptRecordError, FormatError


def _packed(column: str) -> str:
    """SQL for a version 1 column (UTF-8) as `postgres_sql.ident` packs it: a canonical UUID as its
    16 bytes, any other value of 16 bytes marked by a 0xFF (never a byte of UTF-8), the rest as it is.
    NULL stays NULL."""
    uuid = (
        "^[0-9a-f]{{8}}-[0-9a-f]{{4}}-[0-9a-f]{{4}}-[0-9a-f]{{4}}-[0-9a-f]{{12}}$"  # braces: formatted again
    )
    return (
        f"CASE WHEN octet_length({column}) = 36 AND encode({column}, 'escape') ~ '{uuid}'"
        f" THEN decode(replace(encode({column}, 'escape'), '-', ''), 'hex')"
        f" WHEN octet_length({column}) = 16 THEN {column} || '\\xff'::bytea ELSE {column} END"
    )


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
    [
        # Version 2: ids, keys and tasks packed, columns without padding. The old tables are renamed
        # aside (their constraints and indexes too, whose names the new ones take), copied, dropped.
        'ALTER TABLE {s}"{p}_records" RENAME TO "{p}_records_1"',
        'ALTER TABLE {s}"{p}_records_1" RENAME CONSTRAINT "{p}_records_pkey" TO "{p}_records_1_pkey"',
        'ALTER INDEX {s}"{p}_record_ids" RENAME TO "{p}_record_ids_1"',
        'ALTER TABLE {s}"{p}_attachments" RENAME TO "{p}_attachments_1"',
        'ALTER TABLE {s}"{p}_attachments_1" RENAME CONSTRAINT "{p}_attachments_pkey"'
        ' TO "{p}_attachments_1_pkey"',
        """CREATE TABLE {s}"{p}_records" (
    timeline bigint NOT NULL REFERENCES {s}"{p}_timelines" (id) ON DELETE CASCADE,
    seq bigint NOT NULL,
    parent bigint,
    base bigint NOT NULL,
    timestamp double precision NOT NULL,
    digest bigint NOT NULL,
    header_crc integer NOT NULL,
    crc integer NOT NULL,
    kind smallint NOT NULL,
    format smallint NOT NULL,
    id bytea,  -- a chosen id, packed
    meta bytea NOT NULL,
    body bytea NOT NULL,
    -- Full leaves: a timeline's seqs only grow, so its entries go in at the right of its range,
    -- and a leaf filled there is seldom written again.
    CONSTRAINT "{p}_records_pkey" PRIMARY KEY (timeline, seq) WITH (fillfactor = 100)
)""",
        'ALTER TABLE {s}"{p}_records" ALTER COLUMN body SET STORAGE EXTERNAL',
        # A hash of (timeline, id): 20 bytes an entry where a b-tree on them takes 60. It cannot be
        # unique: an append refuses an id its timeline holds in the statement that moves the head,
        # which every append to the timeline waits its turn for (`postgres_sql.ID_OF`).
        'CREATE INDEX "{p}_record_ids" ON {s}"{p}_records" USING hash ((int8send(timeline) || id))'
        " WHERE id IS NOT NULL",
        """CREATE TABLE {s}"{p}_attachments" (
    timeline bigint NOT NULL REFERENCES {s}"{p}_timelines" (id) ON DELETE CASCADE,
    idx integer NOT NULL,
    key bytea NOT NULL,
    task bytea NOT NULL,
    blob bytea NOT NULL
)""",
        # Found by (timeline, key), each (task, idx) under a key once by the statements that write
        # them (`postgres_sql._rule`): 44 bytes an entry where the whole entry key took 74. Leaves
        # full: LangGraph's keys are its checkpoint ids, which grow with time like the seqs.
        'CREATE INDEX "{p}_attachment_keys" ON {s}"{p}_attachments" (timeline, key) WITH (fillfactor = 100)',
        'INSERT INTO {s}"{p}_records" SELECT timeline, seq, parent, base, timestamp, digest, header_crc,'
        f' crc, kind, format, {_packed("id")}, meta, body FROM {{s}}"{{p}}_records_1"',
        'INSERT INTO {s}"{p}_attachments" SELECT timeline, idx,'
        f' {_packed("key")}, {_packed("task")}, blob FROM {{s}}"{{p}}_attachments_1"',
        'DROP TABLE {s}"{p}_records_1"',
        'DROP TABLE {s}"{p}_attachments_1"',
    ],
    [
        # Version 3: no foreign keys. Found by the catalog: their names are PostgreSQL's choice (and
        # version 2's renames left the records' one with a suffix).
        """DO $$DECLARE c record; BEGIN
    FOR c IN SELECT conrelid::regclass AS t, conname FROM pg_constraint WHERE contype = 'f'
        AND conrelid IN ('{s}"{p}_records"'::regclass, '{s}"{p}_attachments"'::regclass) LOOP
        EXECUTE format('ALTER TABLE %s DROP CONSTRAINT %I', c.t, c.conname);
    END LOOP;
END$$""",
        # What the cascade did on a drop, for the drops of processes of an older release still running
        # (one statement, the voucher row) as for this one's. Each statement of the function takes its own
        # snapshot, after the writers the row's delete waited on: it sees all they wrote.
        """CREATE FUNCTION {s}"{p}_dropped"() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN
    DELETE FROM {s}"{p}_records" WHERE timeline = OLD.id;
    DELETE FROM {s}"{p}_attachments" WHERE timeline = OLD.id;
    RETURN NULL;
END$$""",
        'CREATE TRIGGER "{p}_dropped" AFTER DELETE ON {s}"{p}_timelines" FOR EACH ROW'
        ' EXECUTE FUNCTION {s}"{p}_dropped"()',
    ],
    [
        # Version 4: each entry once by a unique index, which also finds a key's entries (its prefix), in
        # place of the index of keys and the voucher-row update every attach made to keep the rule.
        'CREATE UNIQUE INDEX "{p}_attachment_entries" ON {s}"{p}_attachments" (timeline, key, task, idx)'
        " WITH (fillfactor = 100)",
        'DROP INDEX {s}"{p}_attachment_keys"',
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

"""The statements the PostgreSQL log runs, and how attachment entries are bound to them and read back.

Every statement names the log's tables through `statements(qualifier,
prefix)`: the identifiers are checked by the log and quoted here, and every
value is a parameter. A record's columns read back in `StoredRecord`'s order,
so a row is a record (`HEADER`, then the body or NULL, then its length).
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Sequence
from typing import Any

from .errors import CorruptRecordError
from .log import Entry, check_idx
from .memory import attached
from .record import StoredRecord

HEADER = "seq, id, parent, base, kind, format, timestamp, digest, header_crc, crc, meta"
# What the records' hash index of ids is over: (timeline, id) as one value, equal exactly where both are
# (the timeline's 8 bytes, then the id). A lookup by id names it so, and is exact as it stands.
ID_OF = "(int8send(timeline) || id)"
# Entries as rows, from the columns `entry_columns` makes: one entry from its own values, more from
# arrays (a step's pending write is most often one, and binding four arrays costs the client twice
# the time of four values).
_ENTRIES = (
    "SELECT * FROM unnest(%(keys)b::bytea[], %(tasks)b::bytea[], %(idxs)s::integer[], %(blobs)b::bytea[])"
)
_ENTRY = "SELECT %(key)b::bytea, %(task)b::bytea, %(idx)s::integer, %(blob)b::bytea"


# The attachment rule, for the entries `e` under the voucher row `v`: a regular entry (idx >= 0) is
# stored once, the first wins; a reserved one replaces. A batch holds each (task, idx) once
# (`entry_columns` merges it first), as an INSERT ... ON CONFLICT that touches a row twice requires. The
# unique index of entries makes it exact among writers at once: an insert that meets another's
# uncommitted entry waits for its end, and then skips or replaces it.
def _rule(rows: str, a: str, replaces: bool) -> str:
    # Only a batch with a reserved entry may update: a regular entry that meets its twin is left as it was.
    conflict = "DO UPDATE SET blob = EXCLUDED.blob WHERE EXCLUDED.idx < 0" if replaces else "DO NOTHING"
    return (
        f", e (key, task, idx, blob) AS ({rows})"
        f", a AS (INSERT INTO {a} (timeline, key, task, idx, blob) SELECT v.id, e.key, e.task, e.idx, e.blob"
        f" FROM v CROSS JOIN e ON CONFLICT (timeline, key, task, idx) {conflict})"
    )


# Attachments are found one key at a time, each by a probe of the entries' index on (timeline, key): a
# sub-query with an OFFSET runs per key and is never folded into a join or a `key = ANY(...)` that the
# planner may answer with a scan of all the timeline's attachments, or of the table. It chooses by the
# table's size when it makes the plan, and a connection keeps a prepared statement's plan as the table
# grows: a plan made for a new table would scan it for as long as the connection lives.
def _under_keys(a: str, columns: str, timeline: str, keys: str) -> str:
    """`columns` of the attachments under each of the distinct `keys` (an array), one index probe a key."""
    return (
        f"(SELECT DISTINCT unnest({keys})) AS k(key),"
        f" LATERAL (SELECT {columns} FROM {a} WHERE timeline = {timeline} AND key = k.key OFFSET 0) AS e"
    )


def statements(qualifier: str, prefix: str) -> dict[str, Any]:
    """The log's statements by name, over the tables `prefix` names in the schema `qualifier` names."""
    t, r, a = (f'{qualifier}"{prefix}_{table}"' for table in ("timelines", "records", "attachments"))
    of_name = f"(SELECT id FROM {t} WHERE name = %s)"
    of_name_bytes = f"(SELECT int8send(id) FROM {t} WHERE name = %s)"  # the start of its ids' `ID_OF`
    # By `entries_shape`: none, one regular, more regular, one with a reserved index, more with one.
    rules = ("", *(_rule(rows, a, replaces) for replaces in (False, True) for rows in (_ENTRY, _ENTRIES)))
    # The record goes in only if `v`, the voucher's row, was moved to it: the compare-and-set.
    record = (
        f", r AS (INSERT INTO {r} (timeline, seq, id, parent, base, kind, format, timestamp, digest,"
        " header_crc, crc, meta, body) SELECT v.id, %(seq)s::bigint, %(id)b::bytea, %(parent)s::bigint,"
        " %(base)s::bigint, %(kind)s::smallint, %(format)s::smallint, %(timestamp)s::float8,"
        " %(digest)s::bigint, %(header_crc)s::integer, %(crc)s::integer, %(meta)b::bytea, %(body)b::bytea"
        " FROM v)"
    )
    moved = (
        f"WITH v AS (UPDATE {t} SET head = %(seq)s::bigint, crc = %(crc)s::integer"
        " WHERE id = %(inc)s::bigint AND name = %(name)s"
        " AND head = %(eseq)s::bigint AND crc = %(ecrc)s::integer"
        " AND (%(base)s::bigint = %(seq)s::bigint OR %(base)s::bigint >= first)"
        f" AND NOT EXISTS (SELECT FROM {r} WHERE {ID_OF} = int8send(%(inc)s::bigint) || %(id)b::bytea)"
    )
    # A row with no head was made for attachments written before the first record: it is taken over.
    created = (
        f"WITH v AS (INSERT INTO {t} (name, head, crc, first) VALUES (%(name)s, %(seq)s, %(crc)s, %(seq)s)"
        f" ON CONFLICT (name) DO UPDATE SET head = EXCLUDED.head, crc = EXCLUDED.crc, first = EXCLUDED.first"
        f" WHERE {t}.head = 0 RETURNING id, first)"
    )
    header = f"{HEADER}, NULL::bytea, octet_length(body)"
    # Run replanned: `DELETE` takes no per-key probe the planner must keep to.
    detach = f" DELETE FROM {a} WHERE timeline = (SELECT id FROM v) AND key = ANY(%b::bytea[])"
    # A page's attachments are one probe of the (timeline, key) index per key (the page's ids, then `keys`),
    # whatever the planner guesses of a small table: never a scan of the timeline's attachments.
    listing = (
        f"WITH t AS (SELECT id FROM {t} WHERE name = %(name)s),"
        f" h AS (SELECT {header} FROM {r} WHERE timeline = (SELECT id FROM t){{}} ORDER BY seq DESC"
        " LIMIT %(limit)s)"
        " SELECT h.*, NULL::bytea, NULL::bytea, NULL::integer, NULL::bytea FROM h UNION ALL"
        " SELECT NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,"
        " k.key, e.task, e.idx, e.blob FROM "
        + _under_keys(
            a,
            "task, idx, blob",
            "(SELECT id FROM t)",
            "ARRAY(SELECT id FROM h WHERE id IS NOT NULL) || %(keys)b::bytea[]",
        )
    )
    # Three kinds of row, told apart by the first column, each in columns of its own: the voucher
    # with what the records say of its head and oldest (as `head`), the head's chain, the attachments.
    # A voucher row `v`, and what the records say of its head and its oldest record: three probes of
    # the primary key, so that a voucher out of step with its records is seen in the same read.
    vouched = (
        f"v.id, v.head, v.crc, v.first, (SELECT crc FROM {r} WHERE timeline = v.id AND seq = v.head),"
        f" (SELECT max(seq) FROM {r} WHERE timeline = v.id), (SELECT min(seq) FROM {r} WHERE timeline = v.id)"
    )
    nulls = {
        0: "NULL::bigint, NULL::bigint, NULL::integer, NULL::bigint, NULL::integer, NULL::bigint,"
        " NULL::bigint",
        1: "NULL::bigint, NULL::bytea, NULL::bigint, NULL::bigint, NULL::smallint, NULL::smallint,"
        " NULL::float8, NULL::bigint, NULL::integer, NULL::integer, NULL::bytea, NULL::bytea, NULL::integer",
        2: "NULL::bytea, NULL::bytea, NULL::integer, NULL::bytea",
    }
    opening = (
        f"WITH v AS (SELECT id, head, crc, first FROM {t} WHERE name = %(name)s),"
        f" h AS (SELECT base, id FROM {r} WHERE timeline = (SELECT id FROM v) AND seq = (SELECT head FROM v))"
        f" SELECT 0, {vouched}, {nulls[1]}, {nulls[2]} FROM v"
        f" UNION ALL SELECT 1, {nulls[0]}, {HEADER}, body, octet_length(body), {nulls[2]} FROM {r}"
        " WHERE timeline = (SELECT id FROM v) AND seq BETWEEN (SELECT base FROM h) AND (SELECT head FROM v)"
        " AND base = (SELECT base FROM h)"
        f" UNION ALL SELECT 2, {nulls[0]}, {nulls[1]}, k.key, e.task, e.idx, e.blob FROM "
        + _under_keys(
            a,
            "task, idx, blob",
            "(SELECT id FROM v)",
            "ARRAY(SELECT id FROM h WHERE id IS NOT NULL) || %(keys)b::bytea[]",
        )
    )
    return {
        "opening": opening,
        "append": tuple(f"{moved} RETURNING id, first){record}{e} SELECT id, first FROM v" for e in rules),
        "create": tuple(created + record + e + " SELECT id, first FROM v" for e in rules),
        "lock": f"SELECT id, head, crc, first FROM {t} WHERE name = %s FOR UPDATE",
        "stored": f"SELECT id, crc FROM {r} WHERE timeline = %s AND seq = %s",
        "seq_of_id": f"SELECT seq FROM {r} WHERE {ID_OF} = {of_name_bytes} || %s",
        "chains": f"SELECT min(base), count(*) FROM {r} WHERE timeline = %s AND seq >= %s",
        "prune": (
            f"WITH d AS (DELETE FROM {r} WHERE timeline = %s AND seq < %s RETURNING octet_length(body) AS n),"
            f" u AS (UPDATE {t} SET first = %s WHERE id = %s) SELECT count(*), coalesce(sum(n), 0) FROM d"
        ),
        # The records and attachments go with the row, by the trigger `postgres_schema` makes.
        "drop": f"DELETE FROM {t} WHERE name = %s",
        # The row is held against a drop until the entries are in (a share lock, which an append's
        # update does not wait for): a drop's trigger, run after, deletes them with the rest.
        "attach": tuple(
            f"WITH v AS (SELECT id FROM {t} WHERE name = %(name)s FOR KEY SHARE){e} SELECT id FROM v"
            for e in rules
        ),
        "new_row": f"INSERT INTO {t} (name) VALUES (%s) ON CONFLICT (name) DO NOTHING",
        "attachments": f"WITH t AS {of_name} SELECT k.key, e.task, e.idx, e.blob FROM "
        + _under_keys(a, "task, idx, blob", "(SELECT id FROM t)", "%b::bytea[]"),
        "detach": f"WITH v AS {of_name}" + detach,
        "detach_key": "WITH v AS (SELECT %s::bigint AS id)" + detach,
        "head": f"SELECT {vouched} FROM {t} AS v WHERE v.name = %s",
        "read": f"SELECT {HEADER}, body, octet_length(body) FROM {r} WHERE timeline = {of_name}"
        " AND seq BETWEEN %s AND %s ORDER BY seq",
        "read_base": f"SELECT {HEADER}, body, octet_length(body) FROM {r} WHERE timeline = {of_name}"
        " AND seq BETWEEN %s AND %s AND base = %s ORDER BY seq",
        "headers": f"SELECT {header} FROM {r} WHERE timeline = {of_name} ORDER BY seq DESC LIMIT %s",
        "headers_before": f"SELECT {header} FROM {r} WHERE timeline = {of_name} AND seq < %s"
        " ORDER BY seq DESC LIMIT %s",
        "header_of_id": f"SELECT {header} FROM {r} WHERE {ID_OF} = {of_name_bytes} || %s",
        "listing": listing.format(""),
        "listing_before": listing.format(" AND seq < %(before)s"),
        "names_from": f"SELECT name FROM {t} WHERE name >= %s AND head > 0 ORDER BY name",
        "names_between": f"SELECT name FROM {t} WHERE name >= %s AND name < %s AND head > 0 ORDER BY name",
    }


def utf8(text: str) -> bytes:
    """How a name, id, key or task is stored: any str, lone surrogates included, is some bytes."""
    return text.encode("utf-8", "surrogatepass")


def text_of(stored: bytes) -> str:
    return stored.decode("utf-8", "surrogatepass")


_UUID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\Z")
_MARK = b"\xff"  # never a byte of UTF-8


def ident(text: str) -> bytes:
    """How an id, attachment key or task is stored: a canonical UUID (lowercase, hyphens) as its
    16 bytes, any other str as its UTF-8, and that marked by a trailing 0xFF where it is 16 bytes
    too. So every stored value is told back: 16 bytes are a UUID, a 0xFF ends a mark, the rest is
    UTF-8. A UUID in any other spelling is stored as it is spelt, and comes back so."""
    if len(text) == 36 and _UUID.match(text):
        return bytes.fromhex(text.replace("-", ""))
    stored = utf8(text)
    return stored + _MARK if len(stored) == 16 else stored


def text_of_ident(stored: bytes) -> str:
    """The str `ident` stored as `stored`; a UnicodeDecodeError for bytes it never writes."""
    if len(stored) == 16:
        h = stored.hex()
        return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"
    if stored[-1:] == _MARK:
        if len(stored) != 17:
            raise UnicodeDecodeError("utf-8", bytes(stored), len(stored) - 1, len(stored), "a misplaced mark")
        stored = stored[:-1]
    return text_of(stored)


def record_of(row: Sequence[Any]) -> StoredRecord:
    """A row of `HEADER`, body (or NULL) and body size as the record it stores.

    An id damaged out of UTF-8 comes back as its bytes, for the record's header checksum to refuse:
    damage is told by the checksum, naming the record, never by a decoding error.
    """
    if row[1] is None:
        return StoredRecord._make(row)
    try:
        id: str | bytes = text_of_ident(row[1])
    except UnicodeDecodeError:
        id = row[1]
    return StoredRecord._make((row[0], id, *row[2:]))


def keys_of(keys: Iterable[str]) -> list[bytes]:
    """Attachment keys, each once, as they are stored."""
    names = list(dict.fromkeys(keys))
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"an attachment key is a str, not {name!r}")
    return [ident(name) for name in names]


def entry_columns(by_key: Iterable[tuple[str, Sequence[Entry]]]) -> dict[str, Any]:
    """Entries as the columns `unnest` reads: one per (key, task, idx), merged by the attachment rule;
    a single entry's values beside them too."""
    keys: list[bytes] = []
    tasks: list[bytes] = []
    idxs: list[int] = []
    blobs: list[bytes] = []
    for key, entries in by_key:
        if not isinstance(key, str):
            raise TypeError(f"an attachment key is a str, not {key!r}")
        for entry in entries:
            task, idx, blob = entry
            if type(task) is not str or type(idx) is not int or not isinstance(blob, (bytes, bytearray)):
                raise TypeError(f"an attachment entry is (task: str, idx: int, blob: bytes), not {entry!r}")
            check_idx(idx)
            if not -(1 << 31) <= idx < 1 << 31:
                raise ValueError(
                    f"a PostgreSQL log stores an attachment entry's idx in 32 bits: {idx} (key {key!r},"
                    f" task {task!r}) is out of range"
                )
        stored_key = ident(key)
        for task, idx, blob in attached([], entries) if len(entries) > 1 else entries:
            keys.append(stored_key)
            tasks.append(ident(task))
            idxs.append(idx)
            blobs.append(bytes(blob))
    columns: dict[str, Any] = {"keys": keys, "tasks": tasks, "idxs": idxs, "blobs": blobs}
    if len(keys) == 1:
        columns.update(key=keys[0], task=tasks[0], idx=idxs[0], blob=blobs[0])
    return columns


def entries_shape(columns: dict[str, Any]) -> int:
    """Which of a writing statement's variants binds `entry_columns`' entries: 0 for none, 1 for one
    regular entry, 2 for more, and 3 and 4 the same where one of them is reserved (idx < 0)."""
    count = len(columns["keys"])
    if not count:
        return 0
    return (1 if count == 1 else 2) + (2 if min(columns["idxs"]) < 0 else 0)


def by_key(rows: Iterable[Sequence[Any]], timeline: str, server: str) -> dict[str, list[Entry]]:
    """Attachment rows (key, task, idx, blob) as entries by key; a key or task no longer UTF-8 is damage."""
    found: dict[str, list[Entry]] = {}
    for key, task, idx, blob in rows:
        try:
            found.setdefault(text_of_ident(key), []).append((text_of_ident(task), idx, blob))
        except UnicodeDecodeError:
            what = f"an attachment's key or task is not UTF-8 nor a UUID ({bytes(key)!r}, {bytes(task)!r})"
            raise CorruptRecordError(timeline, None, what, file=server) from None
    return found

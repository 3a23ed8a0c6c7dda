"""The statements the PostgreSQL log runs, and how attachment entries are bound to them and read back.

Every statement names the log's tables through `statements(qualifier,
prefix)`: the identifiers are checked by the log and quoted here, and every
value is a parameter. A record's columns read back in `StoredRecord`'s order,
so a row is a record (`HEADER`, then the body or NULL, then its length).
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any

from .errors import CorruptRecordError
from .log import Entry
from .memory import attached
from .record import StoredRecord

HEADER = "seq, id, parent, base, kind, format, timestamp, digest, header_crc, crc, meta"
_ENTRIES = "unnest(%(keys)b::bytea[], %(tasks)b::bytea[], %(idxs)s::integer[], %(blobs)b::bytea[]) AS e"
# The attachment rule in one clause: a regular entry (idx >= 0) is stored once, the first wins;
# a reserved one replaces. A batch holds each (task, idx) once (`entry_columns` merges it first):
# PostgreSQL refuses a statement that would update one row twice.
_ON_ENTRY = (
    " ON CONFLICT (timeline, key, task, idx) DO UPDATE SET blob = EXCLUDED.blob WHERE EXCLUDED.idx < 0"
)


def statements(qualifier: str, prefix: str) -> dict[str, Any]:
    """The log's statements by name, over the tables `prefix` names in the schema `qualifier` names."""
    t, r, a = (f'{qualifier}"{prefix}_{table}"' for table in ("timelines", "records", "attachments"))
    of_name = f"(SELECT id FROM {t} WHERE name = %s)"
    entries = (
        f", a AS (INSERT INTO {a} (timeline, key, task, idx, blob)"
        f" SELECT v.id, e.* FROM v, {_ENTRIES}{_ON_ENTRY})"
    )
    # The record goes in only if `v`, the voucher's row, was moved to it: the compare-and-set.
    record = (
        f", r AS (INSERT INTO {r} SELECT v.id, %(seq)s::bigint, %(id)b::bytea, %(parent)s::bigint,"
        " %(base)s::bigint, %(kind)s::smallint, %(format)s::smallint, %(timestamp)s::float8,"
        " %(digest)s::bigint, %(header_crc)s::integer, %(crc)s::integer, %(meta)b::bytea, %(body)b::bytea"
        " FROM v)"
    )
    moved = (
        f"WITH v AS (UPDATE {t} SET head = %(seq)s::bigint, crc = %(crc)s::integer"
        " WHERE id = %(inc)s::bigint AND name = %(name)s"
        " AND head = %(eseq)s::bigint AND crc = %(ecrc)s::integer"
        " AND (%(base)s::bigint = %(seq)s::bigint OR %(base)s::bigint >= first) RETURNING id, first)"
    )
    # A row with no head was made for attachments written before the first record: it is taken over.
    created = (
        f"WITH v AS (INSERT INTO {t} (name, head, crc, first) VALUES (%(name)s, %(seq)s, %(crc)s, %(seq)s)"
        f" ON CONFLICT (name) DO UPDATE SET head = EXCLUDED.head, crc = EXCLUDED.crc, first = EXCLUDED.first"
        f" WHERE {t}.head = 0 RETURNING id, first)"
    )
    header = f"{HEADER}, NULL::bytea, octet_length(body)"
    listing = (
        f"WITH t AS (SELECT id FROM {t} WHERE name = %(name)s),"
        f" h AS (SELECT {header} FROM {r} WHERE timeline = (SELECT id FROM t){{}} ORDER BY seq DESC"
        " LIMIT %(limit)s)"
        " SELECT h.*, NULL::bytea, NULL::bytea, NULL::integer, NULL::bytea FROM h UNION ALL"
        " SELECT NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,"
        f" key, task, idx, blob FROM {a} WHERE timeline = (SELECT id FROM t)"
        " AND key = ANY(ARRAY(SELECT id FROM h WHERE id IS NOT NULL) || %(keys)b::bytea[])"
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
        f" UNION ALL SELECT 2, {nulls[0]}, {nulls[1]}, key, task, idx, blob FROM {a}"
        " WHERE timeline = (SELECT id FROM v)"
        " AND key = ANY(ARRAY(SELECT id FROM h WHERE id IS NOT NULL) || %(keys)b::bytea[])"
    )
    return {
        "opening": opening,
        "append": (
            moved + record + " SELECT id, first FROM v",
            moved + record + entries + " SELECT id, first FROM v",
        ),
        "create": (
            created + record + " SELECT id, first FROM v",
            created + record + entries + " SELECT id, first FROM v",
        ),
        "lock": f"SELECT id, head, crc, first FROM {t} WHERE name = %s FOR UPDATE",
        "stored": f"SELECT id, crc FROM {r} WHERE timeline = %s AND seq = %s",
        "seq_of_id": f"SELECT seq FROM {r} WHERE timeline = {of_name} AND id = %s",
        "chains": f"SELECT min(base), count(*) FROM {r} WHERE timeline = %s AND seq >= %s",
        "prune": (
            f"WITH d AS (DELETE FROM {r} WHERE timeline = %s AND seq < %s RETURNING octet_length(body) AS n),"
            f" u AS (UPDATE {t} SET first = %s WHERE id = %s) SELECT count(*), coalesce(sum(n), 0) FROM d"
        ),
        "drop": f"DELETE FROM {t} WHERE name = %s",
        "attach": (
            f"WITH v AS (SELECT id FROM {t} WHERE name = %(name)s FOR KEY SHARE){entries} SELECT id FROM v"
        ),
        "new_row": f"INSERT INTO {t} (name) VALUES (%s) ON CONFLICT (name) DO NOTHING",
        "attachments": f"SELECT key, task, idx, blob FROM {a} WHERE timeline = {of_name}"
        " AND key = ANY(%b::bytea[])",
        "detach": f"DELETE FROM {a} WHERE timeline = {of_name} AND key = ANY(%b::bytea[])",
        "detach_key": f"DELETE FROM {a} WHERE timeline = %s AND key = ANY(%b::bytea[])",
        "head": f"SELECT {vouched} FROM {t} AS v WHERE v.name = %s",
        "read": f"SELECT {HEADER}, body, octet_length(body) FROM {r} WHERE timeline = {of_name}"
        " AND seq BETWEEN %s AND %s ORDER BY seq",
        "read_base": f"SELECT {HEADER}, body, octet_length(body) FROM {r} WHERE timeline = {of_name}"
        " AND seq BETWEEN %s AND %s AND base = %s ORDER BY seq",
        "headers": f"SELECT {header} FROM {r} WHERE timeline = {of_name} ORDER BY seq DESC LIMIT %s",
        "headers_before": f"SELECT {header} FROM {r} WHERE timeline = {of_name} AND seq < %s"
        " ORDER BY seq DESC LIMIT %s",
        "header_of_id": f"SELECT {header} FROM {r} WHERE timeline = {of_name} AND id = %s",
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


def record_of(row: Sequence[Any]) -> StoredRecord:
    """A row of `HEADER`, body (or NULL) and body size as the record it stores.

    An id damaged out of UTF-8 comes back as its bytes, for the record's header checksum to refuse:
    damage is told by the checksum, naming the record, never by a decoding error.
    """
    if row[1] is None:
        return StoredRecord._make(row)
    try:
        id: str | bytes = text_of(row[1])
    except UnicodeDecodeError:
        id = row[1]
    return StoredRecord._make((row[0], id, *row[2:]))


def keys_of(keys: Iterable[str]) -> list[bytes]:
    """Attachment keys, each once, as they are stored."""
    names = list(dict.fromkeys(keys))
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"an attachment key is a str, not {name!r}")
    return [utf8(name) for name in names]


def entry_columns(by_key: Iterable[tuple[str, Sequence[Entry]]]) -> dict[str, list]:
    """Entries as the columns `unnest` reads: one per (key, task, idx), merged by the attachment rule."""
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
        stored_key = utf8(key)
        for task, idx, blob in attached([], entries) if len(entries) > 1 else entries:
            keys.append(stored_key)
            tasks.append(utf8(task))
            idxs.append(idx)
            blobs.append(bytes(blob))
    return {"keys": keys, "tasks": tasks, "idxs": idxs, "blobs": blobs}


def by_key(rows: Iterable[Sequence[Any]], timeline: str, server: str) -> dict[str, list[Entry]]:
    """Attachment rows (key, task, idx, blob) as entries by key; a key or task no longer UTF-8 is damage."""
    found: dict[str, list[Entry]] = {}
    for key, task, idx, blob in rows:
        try:
            found.setdefault(text_of(key), []).append((text_of(task), idx, blob))
        except UnicodeDecodeError:
            what = f"an attachment's key or task is not UTF-8 ({bytes(key)!r}, {bytes(task)!r})"
            raise CorruptRecordError(timeline, None, what, file=server) from None
    return found

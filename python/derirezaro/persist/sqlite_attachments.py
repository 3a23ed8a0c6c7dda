"""The SQLite log's attachments: entries kept under string keys in `derirezaro_attachments`.

Each row is one entry under the key of one timeline's voucher row, with the
key and task stored as the file stores ids, in the table's key order.
"""

from __future__ import annotations

import sqlite3
from collections.abc import Callable, Iterable, Sequence

from .log import Entry, check_idx
from .sqlite_columns import bound, expand_id

StoredId = Callable[[str], object]  # how the file stores an id (`SQLiteLog._stored_id`)

# The attachment rule: a regular entry (idx >= 0) is stored once, the first
# wins; a reserved one (idx < 0) replaces, in the row, so in the place, of the first.
ATTACH = (
    "INSERT INTO derirezaro_attachments (timeline, key, task, idx, blob) VALUES (?, ?, ?, ?, ?)"
    " ON CONFLICT (timeline, key, task, idx) DO UPDATE SET blob = excluded.blob WHERE excluded.idx < 0"
)
# One entry under a timeline whose row exists, in one statement: a step's pending
# write, where a transaction would cost three statements more. A regular entry is
# a plain INSERT OR IGNORE (the first wins); a reserved one replaces, where the
# WHERE makes the SELECT's end unambiguous before ON CONFLICT. No row (a timeline
# not yet keyed) inserts nothing, and the caller falls back to the transaction
# that makes one.
_ONE_FROM = " SELECT id, ?, ?, ?, ? FROM derirezaro_timelines WHERE name = ?"
ATTACH_FIRST = "INSERT OR IGNORE INTO derirezaro_attachments (timeline, key, task, idx, blob)" + _ONE_FROM
ATTACH_REPLACING = (
    "INSERT INTO derirezaro_attachments (timeline, key, task, idx, blob)"
    + _ONE_FROM
    + " ON CONFLICT (timeline, key, task, idx) DO UPDATE SET blob = excluded.blob"
)
DETACH = "DELETE FROM derirezaro_attachments WHERE timeline = ? AND key = ?"
_ATTACHED = (
    "SELECT key, task, idx, blob FROM derirezaro_attachments"
    " WHERE timeline = (SELECT id FROM derirezaro_timelines WHERE name = ?) AND key IN ({})"
)
KEYS_PER_READ = 500  # keys bound in one statement: within SQLite's bound on parameters


def entry_rows(by_key: Iterable[tuple[str, Sequence[Entry]]], stored_id: StoredId) -> list[tuple]:
    """(key, task, idx, blob) rows as the attachments table stores them, checked; `ATTACH` binds them
    after the voucher row's id."""
    rows = []
    for key, entries in by_key:
        stored_key = stored_id(key)
        if type(stored_key) is bytes:  # as bound() binds it, without its call: every write attaches
            stored_key = bytearray(stored_key)
        for task, idx, blob in entries:
            if not isinstance(blob, (bytes, bytearray)) or type(idx) is not int or not isinstance(task, str):
                raise TypeError(f"an attachment entry is (str, int, bytes), not {(task, idx, blob)!r}")
            check_idx(idx)
            stored_task = stored_id(task)
            if type(stored_task) is bytes:
                stored_task = bytearray(stored_task)
            rows.append((stored_key, stored_task, idx, bytearray(blob)))
    return rows


def attached(
    reader: sqlite3.Connection, timeline: str, keys: list[str], stored_id: StoredId
) -> dict[str, list[Entry]]:
    """The entries under each of `keys` (distinct) that has any.

    More than `KEYS_PER_READ` keys take several statements: the caller runs
    them in one read transaction.
    """
    if not keys:
        return {}
    by_stored = {stored_id(key): key for key in keys}
    stored = list(by_stored)
    found = []
    for start in range(0, len(stored), KEYS_PER_READ):
        chunk = stored[start : start + KEYS_PER_READ]
        query = _ATTACHED.format(", ".join("?" * len(chunk)))
        found += reader.execute(query, (timeline, *map(bound, chunk))).fetchall()
    entries: dict[str, list[Entry]] = {}
    for key, task, idx, blob in found:
        entries.setdefault(by_stored[key], []).append((expand_id(task), idx, blob))
    return entries

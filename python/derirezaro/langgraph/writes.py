"""Pending writes: what a task wrote against a checkpoint, kept beside the timelines.

Writes are not records: LangGraph sends them from background threads, in any
order relative to the put of the checkpoint they belong to, and one step sends
several. So each backend keeps them in the place that suits it, next to the
timeline they belong to: a table in the SQLite file, a hash that shares the
timeline's keys' slot and expiry in Redis, a dict in memory.

An entry is `(task_id, idx, blob)` under `(timeline, checkpoint_id)`. A regular
write (idx >= 0) is stored once: the first put of `(task_id, idx)` wins, so a
retried task cannot change what another reader already saw. A reserved
negative idx (errors, interrupts, resumes, scheduled) replaces. Blobs are
opaque here; the saver seals them with a checksum.

Marks use the same storage under a reserved task id: they say that a
checkpoint's newest record is another seq, or that it is deleted, or (under
the checkpoint id "") below which seq a timeline's records are no longer
checkpoints. Marks always replace.
"""

from __future__ import annotations

import operator
import sqlite3
import struct
import threading
from collections.abc import Iterable
from typing import Any, Protocol

from .._core import dumps, loads
from ..persist import MemoryLog, RedisLog, SQLiteLog
from ..persist.errors import CorruptRecordError
from ..persist.record import StoredRecord
from ..persist.sqlite import HEADER_COLUMNS, TIMELINE_SQL, bound, expand_id
from ..persist.sqlite import record as sqlite_record

Entry = tuple[str, int, bytes]  # task_id, idx, blob

MARK_TASK = "\x00mark"  # never a LangGraph task id
MARK_IDX = -100  # negative: a mark replaces the one before it


class Writes(Protocol):
    def add(self, timeline: str, checkpoint: str, entries: list[Entry]) -> None:
        """Store `entries`; idx >= 0 only where `(task_id, idx)` is new, idx < 0 always."""
        ...

    def get(self, timeline: str, checkpoints: Iterable[str]) -> dict[str, list[Entry]]:
        """The entries of each checkpoint that has any, resolved as `add` describes."""
        ...

    def drop(self, timeline: str, checkpoints: Iterable[str] | None = None) -> None:
        """Remove the entries of `checkpoints`, or of the whole timeline when None."""
        ...

    def checkpoints(self, timeline: str) -> list[str]:
        """The checkpoint ids that hold entries in `timeline`."""
        ...


def resolve(entries: Iterable[Entry]) -> list[Entry]:
    """Entries in the order they were added, with `add`'s rule applied: first wins, negative replaces."""
    kept: dict[tuple[str, int], Entry] = {}
    for entry in entries:
        key = (entry[0], entry[1])
        if entry[1] < 0 or key not in kept:
            kept[key] = entry
    return list(kept.values())


class MemoryWrites:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._entries: dict[str, dict[str, list[Entry]]] = {}

    def add(self, timeline: str, checkpoint: str, entries: list[Entry]) -> None:
        with self._lock:
            stored = self._entries.setdefault(timeline, {}).setdefault(checkpoint, [])
            stored[:] = resolve([*stored, *entries])

    def get(self, timeline: str, checkpoints: Iterable[str]) -> dict[str, list[Entry]]:
        with self._lock:
            stored = self._entries.get(timeline, {})
            return {c: list(stored[c]) for c in checkpoints if stored.get(c)}

    def drop(self, timeline: str, checkpoints: Iterable[str] | None = None) -> None:
        with self._lock:
            if checkpoints is None:
                self._entries.pop(timeline, None)
                return
            stored = self._entries.get(timeline, {})
            for checkpoint in checkpoints:
                stored.pop(checkpoint, None)

    def checkpoints(self, timeline: str) -> list[str]:
        with self._lock:
            return list(self._entries.get(timeline, {}))


_TABLE = """
CREATE TABLE IF NOT EXISTS derirezaro_langgraph_writes (
    timeline INTEGER NOT NULL,  -- the log's key for the timeline's name
    checkpoint NOT NULL,  -- ids as the log stores them: a UUID as its 16 bytes
    task NOT NULL,
    idx INTEGER NOT NULL,
    blob BLOB NOT NULL,
    PRIMARY KEY (timeline, checkpoint, task, idx)
) WITHOUT ROWID
"""
_KEY = "(SELECT id FROM derirezaro_timelines WHERE name = ?)"
_ADD_ONE = f"INSERT OR IGNORE INTO derirezaro_langgraph_writes SELECT {_KEY}, ?, ?, ?, ?"


# A page of headers, as the log's `headers` reads them, each beside its
# checkpoint's writes and marks, and the timeline's floor: what a listing needs,
# in one statement. It knows the log's tables; their layout is the log's schema.
# The floor's subquery names no column of the page, so it runs once, not per
# row; and the rows are put in order by the caller, which costs less than the
# temporary B-tree SQLite would sort a join's rows in.
_PAGE = f"""
SELECT page.*, w.task, w.idx, w.blob,
    (SELECT f.blob FROM derirezaro_langgraph_writes AS f
     WHERE f.timeline = {TIMELINE_SQL} AND f.checkpoint = '' AND f.task = :mark AND f.idx = :mark_idx)
FROM (SELECT {HEADER_COLUMNS}, id AS stored, timeline AS key FROM derirezaro_records
      WHERE timeline = {TIMELINE_SQL} AND (:before IS NULL OR seq < :before)
      ORDER BY seq DESC LIMIT :limit) AS page
LEFT JOIN derirezaro_langgraph_writes AS w ON w.timeline = page.key AND w.checkpoint = page.stored
"""
_SEQ = operator.itemgetter(0)


class SQLiteWrites:
    """A table in the log's own file, written through the log's writer connection."""

    def __init__(self, log: SQLiteLog) -> None:
        self._log = log
        log.run_in_transaction(lambda w: w.execute(_TABLE))

    def add(self, timeline: str, checkpoint: str, entries: list[Entry]) -> None:
        stored = bound(self._log.stored_id(checkpoint))
        rows = [(stored, bound(self._log.stored_id(task)), idx, bound(blob)) for task, idx, blob in entries]
        if len(rows) == 1 and rows[0][2] >= 0:
            # Most tasks write once: one statement. It inserts nothing where the
            # timeline has no key yet (NULL is ignored) or the write is stored already.
            if self._log.write_one(_ADD_ONE, (timeline, *rows[0])):
                return

        def work(w: sqlite3.Connection) -> None:
            key = self._log.timeline_key(w, timeline, create=True)
            insert = "INTO derirezaro_langgraph_writes VALUES (?, ?, ?, ?, ?)"
            if regular := [(key, *row) for row in rows if row[2] >= 0]:
                w.executemany(f"INSERT OR IGNORE {insert}", regular)
            if special := [(key, *row) for row in rows if row[2] < 0]:
                w.executemany(f"INSERT OR REPLACE {insert}", special)

        self._log.run_in_transaction(work)

    def get(self, timeline: str, checkpoints: Iterable[str]) -> dict[str, list[Entry]]:
        wanted = {self._log.stored_id(c): c for c in checkpoints}
        stored = list(wanted)
        found: dict[str, list[Entry]] = {}
        reader = self._log.reader()
        for start in range(0, len(stored), 500):  # within SQLite's bound on parameters
            chunk = stored[start : start + 500]
            query = (
                "SELECT checkpoint, task, idx, blob FROM derirezaro_langgraph_writes"
                f" WHERE timeline = {_KEY} AND checkpoint IN ({', '.join('?' * len(chunk))})"
            )
            for checkpoint, task, idx, blob in reader.execute(query, (timeline, *chunk)).fetchall():
                found.setdefault(wanted.get(checkpoint, checkpoint), []).append((expand_id(task), idx, blob))
        return found

    def drop(self, timeline: str, checkpoints: Iterable[str] | None = None) -> None:
        def work(w: sqlite3.Connection) -> None:
            if checkpoints is None:
                w.execute(f"DELETE FROM derirezaro_langgraph_writes WHERE timeline = {_KEY}", (timeline,))
            else:
                w.executemany(
                    f"DELETE FROM derirezaro_langgraph_writes WHERE timeline = {_KEY} AND checkpoint = ?",
                    [(timeline, self._log.stored_id(c)) for c in checkpoints],
                )

        self._log.run_in_transaction(work)

    def page(
        self, timeline: str, limit: int, before: int | None
    ) -> tuple[list[tuple[StoredRecord, list[Entry] | None]], list[Entry]]:
        """Headers newest first as `Log.headers` gives them, each with its checkpoint's entries; the floor's.

        A record not indexed by its checkpoint id comes with None: the caller
        reads its entries by the id its meta holds.
        """
        args = {"name": timeline, "before": before, "limit": limit, "mark": MARK_TASK, "mark_idx": MARK_IDX}
        page: list[tuple[StoredRecord, list[Entry] | None]] = []
        floor: list[Entry] = []
        entries: list[Entry] | None = None
        rows = self._log.reader().execute(_PAGE, args).fetchall()
        rows.sort(key=_SEQ, reverse=True)  # newest first, a record's rows together
        for row in rows:
            if not page or page[-1][0].seq != row[0]:
                header = sqlite_record(row[:13])
                entries = None if header.id is None else []
                page.append((header, entries))
            if row[15] is not None and entries is not None:
                entries.append((expand_id(row[15]), row[16], row[17]))
            if row[18] is not None:
                floor = [(MARK_TASK, MARK_IDX, row[18])]
        return page, floor

    def checkpoints(self, timeline: str) -> list[str]:
        query = f"SELECT DISTINCT checkpoint FROM derirezaro_langgraph_writes WHERE timeline = {_KEY}"
        return [expand_id(c) for (c,) in self._log.reader().execute(query, (timeline,)).fetchall()]


# Each checkpoint's entries are one field of the timeline's attached hash,
# appended to as length-prefixed frames, so a put is one atomic round trip that
# also renews the expiry of every key of the timeline: a thread expires whole.
_ADD = """
redis.call('HSET', KEYS[1], ARGV[1], (redis.call('HGET', KEYS[1], ARGV[1]) or '') .. ARGV[2])
local ttl = tonumber(ARGV[3])
if ttl > 0 then
  for i = 1, #KEYS do redis.call('PEXPIRE', KEYS[i], ttl) end
end
return 1
"""
_GET = "return redis.call('HMGET', KEYS[1], unpack(ARGV))"
_DROP = """
if #ARGV == 0 then return redis.call('DEL', KEYS[1]) end
return redis.call('HDEL', KEYS[1], unpack(ARGV))
"""
_CHECKPOINTS = "return redis.call('HKEYS', KEYS[1])"
_FRAME = struct.Struct(">I")
_BATCH = 1000  # fields per script call: Lua's unpack takes a bounded number of arguments


def _frames(entries: list[Entry]) -> bytes:
    out = bytearray()
    for task, idx, blob in entries:
        frame = dumps([task, idx, blob])
        out += _FRAME.pack(len(frame))
        out += frame
    return bytes(out)


def _unframe(timeline: str, data: bytes) -> list[Entry]:
    entries: list[Entry] = []
    at = 0
    try:
        while at < len(data):
            (size,) = _FRAME.unpack_from(data, at)
            if at + 4 + size > len(data):
                raise ValueError("a frame cut short")
            task, idx, blob = loads(data[at + 4 : at + 4 + size])
            if type(task) is not str or type(idx) is not int or type(blob) is not bytes:
                raise ValueError("not a pending write")
            entries.append((task, idx, blob))
            at += 4 + size
    except (ValueError, TypeError, struct.error) as exc:
        raise CorruptRecordError(timeline, None, f"unreadable pending writes ({exc})") from None
    return resolve(entries)


class RedisWrites:
    def __init__(self, log: RedisLog) -> None:
        self._log = log
        self._add, self._get = log.attached(_ADD), log.attached(_GET)
        self._drop, self._checkpoints = log.attached(_DROP), log.attached(_CHECKPOINTS)

    def add(self, timeline: str, checkpoint: str, entries: list[Entry]) -> None:
        ttl = 0 if self._log.ttl is None else max(1, round(self._log.ttl * 1000))
        self._add(timeline, [checkpoint, _frames(entries), ttl])

    def get(self, timeline: str, checkpoints: Iterable[str]) -> dict[str, list[Entry]]:
        wanted = list(dict.fromkeys(checkpoints))
        found = {}
        for start in range(0, len(wanted), _BATCH):
            chunk = wanted[start : start + _BATCH]
            for checkpoint, value in zip(chunk, self._get(timeline, chunk), strict=True):
                if value:
                    found[checkpoint] = _unframe(timeline, value)
        return found

    def drop(self, timeline: str, checkpoints: Iterable[str] | None = None) -> None:
        if checkpoints is None:
            self._drop(timeline, [])
            return
        wanted = list(checkpoints)
        for start in range(0, len(wanted), _BATCH):
            self._drop(timeline, wanted[start : start + _BATCH])

    def checkpoints(self, timeline: str) -> list[str]:
        return [c.decode() for c in self._checkpoints(timeline, [])]


def writes_for(log: Any) -> Writes:
    """The pending-writes store that lives beside `log`."""
    if isinstance(log, SQLiteLog):
        return SQLiteWrites(log)
    if isinstance(log, RedisLog):
        return RedisWrites(log)
    if isinstance(log, MemoryLog):
        return MemoryWrites()
    raise TypeError(f"no pending-writes store for a {type(log).__name__}; pass writes= explicitly")

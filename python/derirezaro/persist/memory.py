"""A log held in the process's memory: history without a file, and the model for the others."""

from __future__ import annotations

import threading
from collections.abc import Iterable

from .errors import ConflictError
from .record import StoredRecord
from .timeline import TimelineFactory


class _Records:
    __slots__ = ("by_seq", "by_id")

    def __init__(self) -> None:
        # Seqs are dense from the oldest kept record to the head (the log contract),
        # and dicts keep insertion order, which is ascending seq.
        self.by_seq: dict[int, StoredRecord] = {}
        self.by_id: dict[str, int] = {}

    @property
    def head(self) -> int:
        return next(reversed(self.by_seq)) if self.by_seq else 0

    @property
    def first(self) -> int:
        return next(iter(self.by_seq)) if self.by_seq else 1


class MemoryLog(TimelineFactory):
    """Timelines kept in memory; they last as long as this object."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._timelines: dict[str, _Records] = {}
        self._closed = False

    def append(
        self, timeline: str, expected_head: int, record: StoredRecord, head_crc: int | None = None
    ) -> int:
        with self._lock:
            records = self._records(timeline)
            if (
                records.head != expected_head
                or (head_crc is not None and expected_head and records.by_seq[expected_head].crc != head_crc)
                or (record.base != record.seq and record.base not in records.by_seq)  # its chain pruned
            ):
                stored = records.by_seq.get(record.seq)
                if stored is not None and (stored.id, stored.crc) == (record.id, record.crc):
                    return stored.seq
                raise ConflictError(timeline, expected_head, records.head or None)
            if record.id is not None and record.id in records.by_id:
                raise ValueError(f"timeline {timeline!r} already has a record with id {record.id!r}")
            records.by_seq[record.seq] = record
            if record.id is not None:
                records.by_id[record.id] = record.seq
            self._timelines[timeline] = records
            return record.seq

    def read(self, timeline: str, first: int, last: int, base: int | None = None) -> list[StoredRecord]:
        with self._lock:
            by_seq = self._records(timeline).by_seq
            return [
                r
                for seq in range(first, last + 1)
                if (r := by_seq.get(seq)) is not None and (base is None or r.base == base)
            ]

    def headers(
        self, timeline: str, *, limit: int, before: int | None = None, id: str | None = None
    ) -> list[StoredRecord]:
        with self._lock:
            records = self._records(timeline)
            seqs: Iterable[int]
            if id is not None:
                seqs = [records.by_id[id]] if id in records.by_id else []
            else:
                top = records.head if before is None else min(records.head, before - 1)
                seqs = range(top, max(records.first, top - limit + 1) - 1, -1)
            return [records.by_seq[seq]._replace(body=None) for seq in seqs]

    def drop(self, timeline: str, before: int | None = None) -> None:
        with self._lock:
            records = self._records(timeline)
            if before is None:
                self._timelines.pop(timeline, None)
                return
            for seq in range(records.first, min(before, records.head)):  # never the head
                record = records.by_seq.pop(seq, None)
                if record is not None and record.id is not None:
                    del records.by_id[record.id]

    def timelines(self, prefix: str = "") -> list[str]:
        with self._lock:
            self._check_open()
            return sorted(
                name
                for name, records in self._timelines.items()
                if records.by_seq and name.startswith(prefix)
            )

    def close(self) -> None:
        with self._lock:
            self._closed = True

    def _records(self, timeline: str) -> _Records:
        self._check_open()
        return self._timelines.get(timeline) or _Records()

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("the log is closed")

    def __repr__(self) -> str:
        return f"MemoryLog(timelines={len(self._timelines)})"

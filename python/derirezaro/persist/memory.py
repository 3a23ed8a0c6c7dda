"""A log held in the process's memory: history without a file, and the model for the others."""

from __future__ import annotations

import itertools
import threading
from collections.abc import Iterable, Mapping, Sequence
from math import isfinite

from .errors import ConflictError
from .log import Entry, Opening, Pruned, TimelineHead, check_append, check_entries, check_prune
from .log_base import LogBase
from .record import StoredRecord

# A TimelineHead made without NamedTuple's Python-level __new__: one is made on every append.
_new_head = tuple.__new__


class _Records:
    __slots__ = ("head", "by_seq", "by_id")

    def __init__(self, head: TimelineHead) -> None:
        self.head = head  # what the log vouches for, kept with every append and prune
        # Seqs are dense from the oldest kept record to the head (the log contract),
        # and dicts keep insertion order, which is ascending seq.
        self.by_seq: dict[int, StoredRecord] = {}
        self.by_id: dict[str, int] = {}


def attached(stored: list[Entry], entries: Iterable[Entry]) -> list[Entry]:
    """`stored` with `entries` added by the attachment rule: the first wins, a negative idx replaces."""
    kept = {(task, idx): (task, idx, blob) for task, idx, blob in stored}
    for task, idx, blob in entries:
        if idx < 0 or (task, idx) not in kept:
            kept[(task, idx)] = (task, idx, blob)
    return list(kept.values())


class MemoryLog(LogBase):
    """Timelines kept in memory; they last as long as this object."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._timelines: dict[str, _Records] = {}
        self._attachments: dict[str, dict[str, list[Entry]]] = {}  # timeline -> key -> entries
        self._incarnations = itertools.count(1)
        self._closed = False

    def head(self, timeline: str) -> TimelineHead | None:
        with self._lock:
            records = self._records(timeline)
            return None if records is None else records.head

    def append(
        self,
        timeline: str,
        record: StoredRecord,
        expected: TimelineHead | None,
        attach: Mapping[str, Sequence[Entry]] | None = None,
    ) -> TimelineHead:
        # check_append passes every record that follows `expected` and has a body and a finite
        # timestamp: those skip the call.
        if (
            expected is None
            or record.seq != expected.seq + 1
            or record.body is None
            or not isfinite(record.timestamp)
        ):
            check_append(timeline, record, expected)
        if attach:
            for key, entries in attach.items():
                check_entries(key, entries)
        # acquire/release rather than `with`: the context-manager calls cost more than the append's own
        # work, and a LangGraph step makes this call and `attach`.
        lock = self._lock
        lock.acquire()
        try:
            if self._closed:
                raise _closed()
            records = self._timelines.get(timeline)
            seq, id = record.seq, record.id
            if records is None:
                if expected is not None:
                    raise ConflictError(timeline, expected.seq, None)
                head = TimelineHead(next(self._incarnations), 0, 0, seq)
                records = self._timelines[timeline] = _Records(head)
            else:
                head = records.head
                if head != expected:  # a lost race, a retry, or only `first` moved by a prune
                    retried = _unmatched(timeline, record, expected, records)
                    if retried is not None:
                        return retried
                base = record.base
                if base != seq and base < head.first:
                    raise ConflictError(timeline, _seq(expected), head.seq)  # its keyframe was pruned
                if id is not None and id in records.by_id:
                    raise ValueError(f"timeline {timeline!r} already has a record with id {id!r}")
            records.by_seq[seq] = record
            if id is not None:
                records.by_id[id] = seq
            records.head = head = _new_head(TimelineHead, (head.incarnation, seq, record.crc, head.first))
            if attach:
                for key, entries in attach.items():
                    self._attach(timeline, key, entries)
            return head
        finally:
            lock.release()

    def read(self, timeline: str, first: int, last: int, base: int | None = None) -> list[StoredRecord]:
        with self._lock:
            records = self._records(timeline)
            if records is None:
                return []
            by_seq = records.by_seq
            return [
                r
                for seq in range(max(first, records.head.first), last + 1)
                if (r := by_seq.get(seq)) is not None and (base is None or r.base == base)
            ]

    def opening(self, timeline: str, keys: Iterable[str] = ()) -> Opening:
        wanted = list(keys)
        with self._lock:
            records = self._records(timeline)
            if records is None:
                return Opening(None, [], self._attached(timeline, wanted))
            head = records.head
            newest = records.by_seq.get(head.seq)
            if newest is None:  # damage: the caller finds the head missing from the chain
                return Opening(head, [], self._attached(timeline, wanted))
            base, by_seq = newest.base, records.by_seq
            chain = [
                r
                for seq in range(max(base, head.first), head.seq + 1)
                if (r := by_seq.get(seq)) is not None and r.base == base
            ]
            if newest.id is not None:
                wanted.append(newest.id)
            return Opening(head, chain, self._attached(timeline, wanted))

    def headers(
        self, timeline: str, *, limit: int, before: int | None = None, id: str | None = None
    ) -> list[StoredRecord]:
        with self._lock:
            return self._headers(timeline, limit, before, id)

    def _headers(self, timeline: str, limit: int, before: int | None, id: str | None) -> list[StoredRecord]:
        records = self._records(timeline)
        if records is None:
            return []
        head = records.head
        seqs: Iterable[int]
        if id is not None:
            seqs = [records.by_id[id]] if id in records.by_id else []
        else:
            top = head.seq if before is None else min(head.seq, before - 1)
            seqs = range(top, max(head.first, top - limit + 1) - 1, -1)
        return [records.by_seq[seq]._replace(body=None) for seq in seqs]

    def prune(
        self,
        timeline: str,
        keep_last: int,
        keep_from: int | None = None,
        detach: Iterable[str] = (),
        incarnation: int | None = None,
    ) -> Pruned:
        check_prune(keep_last, keep_from)
        with self._lock:
            records = self._records(timeline)
            if incarnation is not None and (records is None or records.head.incarnation != incarnation):
                return _NOTHING  # dropped, perhaps written anew, since the caller read it: not its to prune
            self._detach(timeline, detach)
            if records is None:
                return _NOTHING
            head = records.head
            cutoff = max(head.first, head.seq - keep_last + 1)
            if keep_from is not None:
                cutoff = max(head.first, min(cutoff, keep_from))
            seq = head.seq
            # Down, until no record kept replays from a keyframe below the cutoff; a cutoff at `first`
            # removes nothing, and no walk is needed to know it.
            while seq >= cutoff > head.first:
                cutoff = min(cutoff, records.by_seq[seq].base)
                seq -= 1
            removed_bytes = 0
            for seq in range(head.first, cutoff):
                record = records.by_seq.pop(seq)
                removed_bytes += len(record.body or b"")
                if record.id is not None:
                    del records.by_id[record.id]
            records.head = head._replace(first=cutoff)
            return Pruned(cutoff - head.first, removed_bytes)

    def vacuum(self) -> int:
        """Nothing to give back: a pruned record's memory is freed with it."""
        self._check_open()
        return 0

    def listing(
        self, timeline: str, *, limit: int, before: int | None = None, keys: Iterable[str] = ()
    ) -> tuple[list[StoredRecord], dict[str, list[Entry]]]:
        with self._lock:
            rows = self._headers(timeline, limit, before, None)
            wanted = [*(row.id for row in rows if row.id is not None), *keys]
            return rows, self._attached(timeline, wanted)

    def attach(self, timeline: str, key: str, entries: Sequence[Entry]) -> None:
        check_entries(key, entries)
        lock = self._lock
        lock.acquire()
        try:
            if self._closed:
                raise _closed()
            self._attach(timeline, key, entries)
        finally:
            lock.release()

    def attachments(self, timeline: str, keys: Iterable[str]) -> dict[str, list[Entry]]:
        with self._lock:
            self._check_open()
            return self._attached(timeline, keys)

    def detach(self, timeline: str, keys: Iterable[str]) -> None:
        with self._lock:
            self._check_open()
            self._detach(timeline, keys)

    def _attach(self, timeline: str, key: str, entries: Sequence[Entry]) -> None:
        by_key = self._attachments.get(timeline)
        if by_key is None:
            by_key = self._attachments[timeline] = {}
        stored = by_key.get(key)
        if stored is None and len(entries) == 1:  # a step's one pending write, under a new checkpoint
            task, idx, blob = entries[0]
            by_key[key] = [(task, idx, blob)]
        else:
            by_key[key] = attached(stored or [], entries)

    def _attached(self, timeline: str, keys: Iterable[str]) -> dict[str, list[Entry]]:
        by_key = self._attachments.get(timeline, {})
        return {key: list(by_key[key]) for key in keys if by_key.get(key)}

    def _detach(self, timeline: str, keys: Iterable[str]) -> None:
        by_key = self._attachments.get(timeline, {})
        for key in keys:
            by_key.pop(key, None)

    def drop(self, timeline: str) -> None:
        with self._lock:
            self._check_open()
            self._timelines.pop(timeline, None)
            self._attachments.pop(timeline, None)

    def timelines(self, prefix: str = "") -> list[str]:
        with self._lock:
            self._check_open()
            return sorted(name for name in self._timelines if name.startswith(prefix))

    def close(self) -> None:
        with self._lock:
            self._closed = True

    def _records(self, timeline: str) -> _Records | None:
        self._check_open()
        return self._timelines.get(timeline)

    def _check_open(self) -> None:
        if self._closed:
            raise _closed()

    def __repr__(self) -> str:
        return f"MemoryLog(timelines={len(self._timelines)})"


def _unmatched(
    timeline: str, record: StoredRecord, expected: TimelineHead | None, records: _Records
) -> TimelineHead | None:
    """For an append whose `expected` is not the head: the head a retry that landed left, or None
    when only `first` moved (the append goes on); raises ConflictError when the writer lost the race."""
    now = records.head
    if expected is None or now.incarnation == expected.incarnation:
        stored = records.by_seq.get(record.seq)
        if stored is not None and stored.crc == record.crc and stored.id == record.id:
            # A retry of an append that did land: the head as that append left it.
            return now._replace(seq=record.seq, crc=record.crc)
    if expected is None or (
        now.seq != expected.seq or now.crc != expected.crc or now.incarnation != expected.incarnation
    ):
        raise ConflictError(timeline, _seq(expected), now.seq)
    return None  # only `first` moved, by a prune: not a conflict


_NOTHING = Pruned(0, 0)


def _closed() -> ValueError:
    return ValueError("the log is closed")


def _seq(head: TimelineHead | None) -> int | None:
    return None if head is None else head.seq

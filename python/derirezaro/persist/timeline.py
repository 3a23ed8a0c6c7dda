"""A store's history, committed record by record to a log.

`commit()` snapshots the store and writes only the change since the previous
commit (a delta) or, now and then, the whole state (a keyframe). What a
keyframe costs is its size once; what it saves is the replay of the run of
deltas before it. So a keyframe is written first, and then when either holds:

- the deltas since the last keyframe outweigh the state and weigh at least
  `MIN_RUN_BYTES`: keyframes then at most double what the changes alone
  store, and a small state does not pay a keyframe every few commits;
- the run is `keyframe_every` deltas long and weighs half the state: the run a
  read replays stays bounded, and a large state with small changes is not
  copied whole every `keyframe_every` commits, which would make keyframes
  the bulk of the file.

The state weighs what its last keyframe stored: keyframes are compressed, so
this is what the next one will about cost, which is what the rule trades
against the run.

The timeline remembers the points it built (a snapshot plus what the next
commit needs: digest and run), the oldest first to go, so checking out a
recent record is a dictionary lookup. Apart from those it keeps anchors: the
points every `_POINT_EVERY` records into a run (a keyframe's included), as
many as the cache holds, left by commits and by replays on their way. A
record the cache no longer holds replays from the nearest anchor below it, at
most `_POINT_EVERY` - 1 records, as long as the anchors reach back to it.
A snapshot shares what has not changed with the store, so an anchor costs
only what changed since it.
"""

from __future__ import annotations

import operator
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any, TypeVar, cast

from .._core import Snapshot, Store, dumps, loads
from .._replay import state_delta, state_keyframe
from .body import CHUNK_ENTRIES, encode_body, stored_form
from .errors import CorruptRecordError
from .log import Log
from .record import (
    DELTA,
    DIGEST_MASK,
    KEYFRAME,
    KIND_NAMES,
    Record,
    State,
    StoredRecord,
    check_header,
    entry_hash,
    seal,
    stored_digest,
)
from .record import public as public_record
from .replay import Point, Replay, chain_of, entries_of, state_digest

_Log = TypeVar("_Log")
_PAGE = 256  # headers fetched per query by records() and verify()
MIN_RUN_BYTES = 4096  # below this a run of deltas is cheaper to replay than a keyframe is to store
_POINT_EVERY = 64  # records of a run between two anchors
_BODY_SIZE = operator.attrgetter("body_size")
# A commit's change and digest, natively (the same bytes as `_changes` and
# `encode_body` make); None: the reference path alone.
native_delta: Callable[..., tuple[bytes, int] | None] | None = state_delta
# A keyframe's body and digest, natively (the same bytes as `encode_body` over
# `entries_of`, and `state_digest`); None: the reference path alone.
native_keyframe: Callable[[Snapshot, int, bool], tuple[bytes, int | None] | None] | None = state_keyframe


class Timeline:
    """The history of one store in one log, under one name. Safe to share between threads."""

    def __init__(self, log: Log, name: str, store: Store, *, keyframe_every: int = 256, cache_size: int = 64):
        if not isinstance(name, str) or not name:
            raise TypeError(f"timeline name must be a non-empty str, not {name!r}")
        if not isinstance(store, Store):
            raise TypeError(f"store must be a derirezaro Store, not {type(store).__name__}")
        for option, value in (("keyframe_every", keyframe_every), ("cache_size", cache_size)):
            if not isinstance(value, int) or isinstance(value, bool) or value < 1:
                raise ValueError(f"{option} must be a positive int, not {value!r}")
        self._log = log
        self._name = name
        self._store = store
        self._keyframe_every = keyframe_every
        self._cache_size = cache_size
        self._lock = threading.RLock()
        # seq, and the record's id, -> Point; insertion order is age.
        self._cache: dict[int | str, Point] = {}
        self._cached_seqs: dict[int, str] = {}
        self._anchors: dict[int, Point] = {}  # seq -> point, insertion order is age
        # Stores that show a snapshot's values: restore is O(1), and a snapshot has no get.
        self._new_view = Store(max_history=0)
        self._old_view = Store(max_history=0)
        self._point: Point | None = None
        self._head = 0  # the newest seq this timeline knows the log to have
        # That record's crc: the append checks it, so that a timeline another writer
        # dropped and wrote anew up to the same seq is not mistaken for this one.
        self._head_crc: int | None = None
        head = self._newest()
        if head is not None:
            self._head, self._head_crc = head.seq, head.crc
            self._point = self._load(head)
            store.restore(self._point.snapshot)

    @property
    def name(self) -> str:
        return self._name

    @property
    def store(self) -> Store:
        return self._store

    @property
    def head(self) -> Record | None:
        """The newest record in the log (read now, so it includes other writers' commits)."""
        row = self._newest()
        return None if row is None else public_record(row, self._name)

    @property
    def parent(self) -> int | None:
        """The seq the next commit builds on: the last commit, restore or the head at opening."""
        return None if self._point is None else self._point.seq

    # -- writing -------------------------------------------------------------

    def commit(self, meta: Any = None, *, id: str | None = None) -> Record:
        """Record the store's state; return the new record's header.

        Raises ConflictError, writing nothing, if another writer committed to
        this timeline since this one last committed, restored or opened.
        """
        if id is not None and (not isinstance(id, str) or not id or id.isdecimal()):
            raise ValueError(f"id must be a non-empty str that is not a decimal number, not {id!r}")
        meta_bytes = b"" if meta is None else dumps(meta)
        try:  # read back before anything is written: a record whose meta cannot be read is damage
            meta_read = None if meta is None else loads(meta_bytes)
        except TypeError as exc:  # a list, tuple or dict as a dict key: it decodes unhashable
            raise TypeError(f"meta cannot be read back once stored: {exc}") from None
        with self._lock:
            snapshot = self._store.snapshot()
            point = self._point
            seq = self._head + 1
            delta = None
            if point is not None and native_delta is not None:
                delta = native_delta(snapshot, point.snapshot, point.digest, CHUNK_ENTRIES)
            if delta is not None:
                raw, digest = delta
                body = stored_form(raw)
            elif point is None and (whole := self._native_keyframe(snapshot, True)) is not None:
                body, digest = stored_form(whole[0]), cast(int, whole[1])
            else:  # a change too large for the native paths, or the reference path alone
                sets, removes, digest = self._changes(snapshot, point)
                body = encode_body(sets, removes)
            if point is None:
                kind, keyframe, run_length, run_bytes, keyframe_bytes = KEYFRAME, seq, 0, 0, len(body)
            else:
                kind, keyframe, keyframe_bytes = DELTA, point.keyframe, point.keyframe_bytes
                run_length, run_bytes = point.run_length + 1, point.run_bytes + len(body)
                if self._keyframe_due(run_length, run_bytes, keyframe_bytes):
                    body = self._keyframe_body(snapshot)
                    kind, keyframe, run_length, run_bytes, keyframe_bytes = KEYFRAME, seq, 0, 0, len(body)
            row = seal(
                self._name,
                seq=seq,
                id=id,
                parent=None if point is None else point.seq,
                base=keyframe,
                kind=kind,
                timestamp=time.time(),
                digest=digest,
                meta=meta_bytes,
                body=body,
            )
            self._log.append(self._name, self._head, row, self._head_crc)
            self._point = Point(seq, snapshot, digest, keyframe, run_length, run_bytes, keyframe_bytes)
            self._head, self._head_crc = seq, row.crc
            self._remember(self._point, id)
            return Record(
                seq,
                str(seq) if id is None else id,
                row.parent,
                KIND_NAMES[kind],
                row.timestamp,
                meta_read,
                len(body),
            )

    @staticmethod
    def _native_keyframe(snapshot: Snapshot, with_digest: bool) -> tuple[bytes, int | None] | None:
        return None if native_keyframe is None else native_keyframe(snapshot, CHUNK_ENTRIES, with_digest)

    def _keyframe_body(self, snapshot: Snapshot) -> bytes:
        whole = self._native_keyframe(snapshot, False)
        if whole is not None:
            return stored_form(whole[0])
        return encode_body(entries_of(snapshot, self._new_view), {})  # the reference refuses a chunk too long

    def _keyframe_due(self, run_length: int, run_bytes: int, state_bytes: int) -> bool:
        # `state_bytes`: what the chain's keyframe stored, compressed.
        if run_bytes >= max(state_bytes, MIN_RUN_BYTES):
            return True
        return run_length >= self._keyframe_every and 2 * run_bytes >= state_bytes

    def _changes(self, snapshot: Snapshot, point: Point | None) -> tuple[State, dict[str, list[str]], int]:
        """The entries set and removed since `point`, and the digest they lead to."""
        new = self._new_view
        new.restore(snapshot)
        if point is None:
            whole = entries_of(snapshot, new)
            return whole, {}, state_digest(whole)
        diff = snapshot.diff(point.snapshot)
        old = self._old_view
        old.restore(point.snapshot)
        digest = point.digest
        sets: State = {}
        removes: dict[str, list[str]] = {}
        for namespace, key in diff["removed"]:
            digest -= entry_hash(namespace, key, old.get(namespace, key))
            removes.setdefault(namespace, []).append(key)
        for namespace, key in diff["changed"]:
            digest -= entry_hash(namespace, key, old.get(namespace, key))
        for namespace, key in (*diff["added"], *diff["changed"]):
            value = new.get(namespace, key)
            sets.setdefault(namespace, {})[key] = value
            digest += entry_hash(namespace, key, value)
        return sets, removes, digest & DIGEST_MASK

    def restore(self, ref: int | str) -> None:
        """Put the store back to record `ref` (a seq or an id); the next commit branches from it.

        Also catches up with other writers: the next commit goes after the log's newest record.
        """
        with self._lock:
            # From the log, not the cache: a commit builds on this record, and
            # another writer may have dropped it, or the whole timeline and
            # written it anew, since this one cached its state.
            header = self._header_of(ref)
            point = self._cache.get(header.seq) or self._anchors.get(header.seq)
            if point is None or not self._describes(point, header):
                if point is not None:  # the cache holds another timeline's states
                    self._forget_all()
                point = self._load(header)
            head = self._newest()
            self._store.restore(point.snapshot)
            self._point = point
            self._head, self._head_crc = (head.seq, head.crc) if head is not None else (0, None)

    def discard(self) -> None:
        """Undo the store's changes since the last commit or restore: it holds that record again.

        A store that no commit or restore has set yet is emptied. Reads nothing from the log.
        """
        with self._lock:
            if self._point is None:
                self._store.clear()
            else:
                self._store.restore(self._point.snapshot)

    @staticmethod
    def _describes(point: Point, header: StoredRecord) -> bool:
        """Whether a cached point is the state of the stored record `header`."""
        return point.keyframe == header.base and stored_digest(point.digest, header.kind) == header.digest

    def _forget_all(self) -> None:
        self._cache.clear()
        self._cached_seqs.clear()
        self._anchors.clear()

    # -- reading -------------------------------------------------------------

    def checkout(self, ref: int | str) -> Snapshot:
        """The state at record `ref` (a seq or an id) as a Snapshot; the store is not touched.

        A state this timeline committed or read is given from its cache without
        reading the log: after another writer dropped the whole timeline and
        wrote it anew, `restore` (which checks the record) catches up.
        """
        point = self._cache.get(ref)
        if point is not None:
            return point.snapshot
        return self._point_at(ref).snapshot

    def record(self, ref: int | str) -> Record:
        """The header of record `ref` (a seq or an id); KeyError if there is none."""
        return public_record(self._header_of(ref), self._name)

    def records(self, limit: int | None = None, before: int | None = None) -> Iterator[Record]:
        """Record headers, newest first: up to `limit` of them, with seq below `before`.

        Fetched a page at a time; nothing is held open between two items.
        """
        if limit is not None and (not isinstance(limit, int) or isinstance(limit, bool) or limit < 0):
            raise ValueError(f"limit must be a non-negative int or None, not {limit!r}")
        if before is not None and (not isinstance(before, int) or isinstance(before, bool)):
            raise TypeError(f"before must be an int or None, not {before!r}")
        return self._records(limit, before)

    def _records(self, limit: int | None, before: int | None) -> Iterator[Record]:
        for page in self._pages(limit, before):
            for row in page:
                check_header(self._name, row)
            records = [public_record(row, self._name) for row in page]  # the whole page checked first
            yield from records

    def _pages(self, limit: int | None, before: int | None) -> Iterator[list[StoredRecord]]:
        """Headers newest first, up to `limit`, one query a page; nothing stays open between pages."""
        remaining = limit
        while remaining is None or remaining > 0:
            wanted = _PAGE if remaining is None else min(_PAGE, remaining)
            page = self._log.headers(self._name, limit=wanted, before=before)
            yield page
            if len(page) < wanted:
                return
            before = page[-1].seq
            if remaining is not None:
                remaining -= len(page)

    def _newest(self) -> StoredRecord | None:
        rows = self._log.headers(self._name, limit=1)
        if not rows:
            return None
        check_header(self._name, rows[0])
        return rows[0]

    def _point_at(self, ref: int | str) -> Point:
        point = self._cache.get(ref)
        if point is None and type(ref) is int:
            point = self._anchors.get(ref)
        if point is not None:
            return point
        return self._load(self._header_of(ref))

    def _header_of(self, ref: int | str) -> StoredRecord:
        if isinstance(ref, str):
            rows = self._log.headers(self._name, limit=1, id=ref)
            if not rows and ref.isascii() and ref.isdecimal():
                newest = self._log.headers(self._name, limit=1, before=int(ref) + 1)
                rows = [row for row in newest if row.id is None]
                seq = int(ref)
            else:
                seq = rows[0].seq if rows else -1
        elif isinstance(ref, int) and not isinstance(ref, bool):
            rows = self._log.headers(self._name, limit=1, before=ref + 1) if ref > 0 else []
            seq = ref
        else:
            raise TypeError(f"a record is named by its seq (int) or id (str), not {type(ref).__name__}")
        if not rows or rows[0].seq != seq:
            raise KeyError(f"timeline {self._name!r} has no record {ref!r}")
        check_header(self._name, rows[0])
        return rows[0]

    def _load(self, header: StoredRecord) -> Point:
        """Replay `header`'s chain, from the nearest point still cached or from its keyframe.

        The chain is read with one range query: the records after the newest
        cached point of the same keyframe below it, or, if there is none or it
        lies on another branch, the records from the keyframe on.
        """
        try:
            return self._replay(header, cached=True)
        except CorruptRecordError:
            # Perhaps not damage: cached points of a timeline another writer has since
            # dropped and written anew. Only what the log holds decides.
            with self._lock:
                self._forget_all()
            return self._replay(header, cached=False)

    def _replay(self, header: StoredRecord, cached: bool) -> Point:
        name, seq, keyframe = self._name, header.seq, header.base
        with self._lock:  # commits in other threads add to the cache
            anchored = self._anchors.get(seq) if cached else None
            points = [*self._cache.values(), *self._anchors.values()] if cached else []
        if anchored is not None:
            return anchored
        start = max(
            (p for p in points if p.keyframe == keyframe and p.seq < seq),
            key=lambda p: p.seq,
            default=None,
        )
        run = None
        if start is not None:
            try:
                run = chain_of(name, self._log.read(name, start.seq + 1, seq, base=keyframe), seq, start.seq)
            except CorruptRecordError:
                pass  # `start` is on another branch, or the chain is damaged: read it all
        replay = Replay(name)
        if run is None:
            chain = chain_of(name, self._log.read(name, keyframe, seq, base=keyframe), seq)
            replay.start_at_keyframe(chain[0])
            start = Point(
                keyframe, replay.finish(chain[0]), replay.digest, keyframe, 0, 0, chain[0].body_size
            )
            with self._lock:
                self._remember(start, chain[0].id)
            run = chain[1:]
            if not run:
                return start
        elif start is not None:  # always, when `run` came from the cached point
            replay.start_at(start)
        assert start is not None
        run_length, run_bytes, done = start.run_length, start.run_bytes, 0
        while done < len(run):  # a segment to the next anchor's place, or to the end
            segment = run[done : done + _POINT_EVERY - run_length % _POINT_EVERY]
            replay.apply_all(segment)
            done, run_length = done + len(segment), run_length + len(segment)
            run_bytes += sum(map(_BODY_SIZE, segment))
            row = segment[-1]
            point = Point(
                row.seq,
                replay.finish(row),
                replay.digest,
                keyframe,
                run_length,
                run_bytes,
                start.keyframe_bytes,
            )
            with self._lock:
                if done == len(run):
                    self._remember(point, row.id)
                else:
                    self._anchor(point)
        return point

    def _remember(self, point: Point, id: str | None) -> None:
        if not point.run_length % _POINT_EVERY:
            self._anchor(point)
        if point.seq in self._cached_seqs:
            return
        while len(self._cached_seqs) >= self._cache_size:
            old_seq, old_id = next(iter(self._cached_seqs.items()))
            self._forget(old_seq, old_id)
        key = str(point.seq) if id is None else id
        self._cached_seqs[point.seq] = key
        self._cache[point.seq] = self._cache[key] = point

    def _anchor(self, point: Point) -> None:
        if point.run_length % _POINT_EVERY or point.seq in self._anchors:
            return
        while len(self._anchors) >= self._cache_size:
            del self._anchors[next(iter(self._anchors))]
        self._anchors[point.seq] = point

    def _forget(self, seq: int, id: str) -> None:
        del self._cached_seqs[seq]
        self._cache.pop(seq, None)
        self._cache.pop(id, None)

    # -- housekeeping --------------------------------------------------------

    def prune(self, keep_last: int) -> None:
        """Remove old records, keeping the newest `keep_last` and the keyframes they replay from.

        The record the next commit builds on stays readable too.
        """
        if not isinstance(keep_last, int) or isinstance(keep_last, bool) or keep_last < 1:
            raise ValueError(f"keep_last must be a positive int, not {keep_last!r}")
        with self._lock:
            kept = self._log.headers(self._name, limit=keep_last)
            for row in kept:
                check_header(self._name, row)
            if not kept:
                return
            cutoff = min(row.base for row in kept)
            if self._point is not None:
                cutoff = min(cutoff, self._point.keyframe)
            cutoff = self._cutoff_below(cutoff, kept[-1].seq)
            self._log.drop(self._name, before=cutoff)
            for seq, id in [(s, i) for s, i in self._cached_seqs.items() if s < cutoff]:
                self._forget(seq, id)
            for seq in [s for s in self._anchors if s < cutoff]:
                del self._anchors[seq]

    def _cutoff_below(self, cutoff: int, oldest_kept: int) -> int:
        """Lower `cutoff` until no record left at or above it replays from a keyframe below it.

        Records between the cutoff and the oldest kept one stay; one of them on
        an old branch may start its chain further back.
        """
        while True:
            between = self._log.headers(self._name, limit=max(oldest_kept - cutoff, 0), before=oldest_kept)
            for row in between:
                check_header(self._name, row)
            lowest = min((row.base for row in between), default=cutoff)
            if lowest >= cutoff:
                return cutoff
            oldest_kept, cutoff = cutoff, lowest

    def delete(self) -> None:
        """Remove every record of this timeline. The store keeps its content; the next commit starts anew."""
        with self._lock:
            self._log.drop(self._name)
            self._forget_all()
            self._point = None
            self._head, self._head_crc = 0, None

    def verify(self) -> list[CorruptRecordError]:
        """Check every stored record, every chain and every state digest; return what is damaged.

        One error per damaged record, oldest first; an empty list means sound.
        Costs a read and a replay of the whole timeline.
        """
        problems: dict[int, CorruptRecordError] = {}
        headers: list[StoredRecord] = []
        for row in (row for page in self._pages(None, None) for row in page):
            try:
                check_header(self._name, row)
                headers.append(row)
            except CorruptRecordError as error:
                problems.setdefault(row.seq, error)
        headers.reverse()
        self._check_dense(headers, problems)
        groups: dict[int, list[StoredRecord]] = {}
        for row in headers:
            groups.setdefault(row.base, []).append(row)
        for base, group in groups.items():
            parents = {row.parent for row in group if row.kind == DELTA}
            rows = self._log.read(self._name, base, group[-1].seq, base=base)
            for leaf in (row for row in group if row.seq not in parents):
                try:
                    chain = chain_of(self._name, rows, leaf.seq)
                    replay = Replay(self._name, each_step=True)
                    replay.start_at_keyframe(chain[0], check_digest=True)
                    for row in chain[1:]:
                        replay.apply(row)
                    replay.finish(chain[-1])
                except CorruptRecordError as error:
                    problems.setdefault(error.seq if error.seq is not None else leaf.seq, error)
        return [problems[seq] for seq in sorted(problems)]

    def _check_dense(self, headers: list[StoredRecord], problems: dict[int, CorruptRecordError]) -> None:
        for older, newer in zip(headers, headers[1:], strict=False):
            for seq in range(older.seq + 1, newer.seq):
                problems.setdefault(seq, CorruptRecordError(self._name, seq, "record missing"))

    def __repr__(self) -> str:
        return f"Timeline({self._name!r}, parent={self.parent}, log={self._log!r})"


class TimelineFactory:
    """What every log offers its users: timelines by name, and a `with` block that closes it."""

    def __enter__(self: _Log) -> _Log:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()  # type: ignore[attr-defined]

    def timeline(
        self: Any, name: str, store: Store, *, keyframe_every: int = 256, cache_size: int = 64
    ) -> Timeline:
        """The timeline `name` in this log, for `store`: an existing one restores the store to its head."""
        return Timeline(self, name, store, keyframe_every=keyframe_every, cache_size=cache_size)

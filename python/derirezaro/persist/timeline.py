"""A store's history, committed record by record to a log.

`commit()` snapshots the store and writes only the change since the previous
commit (a delta) or, now and then, the whole state (a keyframe). What a
keyframe costs is its size once; what it saves is the replay of the run of
deltas before it. So a keyframe is written first, and then when either holds:

- the deltas since the last keyframe outweigh the state and weigh at least
  `Tuning.min_run_bytes`, or `Tuning.run_to_state` times the state if that is
  set and less: keyframes then at most double what the changes alone store, and a
  state of a few hundred bytes, which costs a reader more to replay record by
  record (each is fetched and checked on its own) than to store again,
  keyframes every few commits;
- the run is `keyframe_every` deltas long and weighs half the state: the run a
  read replays stays bounded, and a large state with small changes is not
  copied whole every `keyframe_every` commits, which would make keyframes
  the bulk of the file.

The state weighs what its last keyframe stored: keyframes are compressed, so
this is what the next one will about cost, which is what the rule trades
against the run.

The timeline keeps the states it built and read (`points`), so checking out
a recent record is a dictionary lookup and an older one replays a short run.

What the log vouches for (`Log.head`) is the truth this class checks against:
it opens at the record the log names as the head, commits under a
compare-and-set of it, and tells a read that raced another writer's prune or
drop (`RecordNotFoundError`) from damage (`CorruptRecordError`) by what the
log vouches for after the read.
"""

from __future__ import annotations

import logging
import operator
import threading
import time
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any, NamedTuple, cast

from .._core import Snapshot, Store, dumps, loads
from .._replay import snapshot_outside_history, state_delta, state_keyframe
from .body import CHUNK_ENTRIES, COMPRESS_MIN, stored_form
from .errors import ConflictError, CorruptRecordError, PersistError, RecordNotFoundError, UnavailableError
from .log import Entry, Log, Opening, Pruned, TimelineHead, composed_opening
from .points import Points
from .record import (
    DELTA,
    KEYFRAME,
    KIND_NAMES,
    Record,
    StoredRecord,
    check_header,
    sealed,
)
from .record import public as public_record
from .replay import Point, Replay, chain_of
from .verify import verify_timeline
from .view import Changes, StateView, changes_between

_PAGE = 256  # headers fetched per query by records() and verify()
logger = logging.getLogger(__name__)
# A log call of a commit (its append) or of a replay (its chain's read) that takes longer than this
# many seconds is logged at WARNING. Healthy calls take well under a millisecond to a few.
SLOW_CALL_SECONDS = 1.0


class Tuning(NamedTuple):
    """Sizes that trade space against time; the defaults suit every use, tests shrink them."""

    min_run_bytes: int = 4096  # below this a run of deltas is cheaper to replay than a keyframe is to store
    # If set, a run ends at this many times the state's bytes when that is less than `min_run_bytes`:
    # a small state's keyframes then add at most 1 / run_to_state to what its deltas store, and a
    # reader replays a few records, not 4 KiB of them. 0: `min_run_bytes` alone.
    run_to_state: int = 0
    point_every: int = 64  # records of a run between two anchors
    chunk_entries: int = CHUNK_ENTRIES  # entries per chunk of a framed body


DEFAULT_TUNING = Tuning()
_BODY_SIZE = operator.attrgetter("body_size")


class Timeline:
    """The history of one store in one log, under one name. Safe to share between threads."""

    def __init__(
        self,
        log: Log,
        name: str,
        store: Store,
        *,
        keyframe_every: int = 256,
        cache_size: int = 64,
        tuning: Tuning = DEFAULT_TUNING,
        attachments: Iterable[str] = (),
    ):
        """Open the timeline at the head the log vouches for, restoring `store` to it.

        `attachments`: keys whose entries the opening read returns too, with those
        under the head's chosen id (`take_opened`).
        """
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
        self._tuning = tuning
        self._lock = threading.RLock()
        self._points = Points(cache_size, tuning.point_every)
        self._point: Point | None = None
        # What the log vouched for when this timeline last read or moved its head:
        # the next commit's compare-and-set. Its incarnation is also what the caches
        # hold points of: seeing another one means the timeline was dropped and
        # written anew, and every cached point goes (`_see`).
        self._vouched: TimelineHead | None = None
        self._incarnation: int | None = None
        # A commit whose append raised with its outcome unknown (the connection
        # broke): its record, sent again as it is when the same state is committed.
        self._unsettled: tuple[Snapshot, bytes, str | None, StoredRecord, Point] | None = None
        self._opened: Opening | None = None
        keys = list(attachments)
        self._open(keys)
        if not keys:
            self._opened = None  # nobody asked for it: the chain's bodies are not kept

    def _open(self, keys: list[str]) -> None:
        """Open at the vouched head from one read of it, its chain from its keyframe and its attachments."""
        log, name = self._log, self._name
        opening = getattr(log, "opening", None)
        while True:
            opened = opening(name, keys) if opening is not None else composed_opening(log, name, keys)
            vouched, chain = opened.head, opened.chain
            self._see(vouched)
            if vouched is None:
                self._opened = opened
                return
            header = chain[-1] if chain else None
            if header is None or (header.seq, header.crc) != (vouched.seq, vouched.crc):
                now = log.head(name)
                if now == vouched:
                    moved = header is not None and header.seq == vouched.seq
                    what = "is not the one it vouches for" if moved else "is missing"
                    raise CorruptRecordError(name, vouched.seq, f"the head record the log vouches for {what}")
                continue  # a commit, or a drop and rewrite, between the reads of a composed opening
            check_header(name, header)
            try:
                self._point = self._replay(header, cached=False, rows=chain)
            except CorruptRecordError as error:
                failure = self._gone_or(error, header, vouched)
                if not isinstance(failure, RecordNotFoundError):
                    raise failure from None
                # Pruned past, or dropped, since it was read: open what is there now.
                logger.debug("timeline %r: head pruned or dropped while opening; reading it again", name)
                continue
            self._vouched = vouched
            self._opened = opened
            self._store.restore(self._point.snapshot)
            return

    @property
    def name(self) -> str:
        return self._name

    def take_opened(self) -> Opening | None:
        """The read this timeline opened from, once: the head it opened at, that head's chain (the
        head last) and the attachments asked for; what the log held then, not now. None afterwards,
        and for a timeline opened without `attachments`."""
        opened, self._opened = self._opened, None
        return opened

    @property
    def store(self) -> Store:
        return self._store

    @property
    def head(self) -> Record | None:
        """The newest record in the log (read now, so it includes other writers' commits)."""
        found = self._newest()
        return None if found is None else public_record(found[1], self._name)

    @property
    def incarnation(self) -> int | None:
        """The incarnation of the head this timeline last opened at, restored or committed; None if none.

        What its store holds, and what its next commit's compare-and-set names:
        another one in the log means the timeline was dropped and written anew.
        """
        return None if self._vouched is None else self._vouched.incarnation

    @property
    def parent(self) -> int | None:
        """The seq the next commit builds on: the last commit, restore or the head at opening."""
        return None if self._point is None else self._point.seq

    # -- writing -------------------------------------------------------------

    def commit(
        self, meta: Any = None, *, id: str | None = None, attach: Mapping[str, Sequence[Entry]] | None = None
    ) -> Record:
        """Record the store's state; return the new record's header.

        `attach`: attachment entries by key, written with the record in one
        atomic step (see `Log`). Raises ConflictError, writing nothing, if
        another writer committed to this timeline since this one last
        committed, restored or opened. After an `UnavailableError` the outcome
        is unknown: committing the same state again (same meta and id) sends
        the same record, which the log recognises if the first attempt landed.
        """
        row, meta_read = self._commit(meta, id, attach)
        return Record(
            row.seq,
            str(row.seq) if id is None else id,
            row.parent,
            KIND_NAMES[row.kind],
            row.timestamp,
            meta_read,
            row.body_size,
        )

    def commit_seq(
        self,
        meta: Any = None,
        *,
        id: str | None = None,
        attach: Mapping[str, Sequence[Entry]] | None = None,
        readable: bool = False,
    ) -> int:
        """`commit`, returning only the new record's seq: for a caller on the hot path that needs no
        header (building one costs about as much as a small commit's checksums).

        `readable`: the caller vouches that `meta` decodes (no list, tuple or dict
        as a dict key anywhere in it), as meta built from checked plain data
        does; its read back before the write is then skipped.
        """
        return self._commit(meta, id, attach, readable)[0].seq

    def _commit(
        self, meta: Any, id: str | None, attach: Mapping[str, Sequence[Entry]] | None, readable: bool = False
    ) -> tuple[StoredRecord, Any]:
        """`commit`'s work: the record that landed, and its meta as read back (None if `readable`)."""
        if id is not None and (not isinstance(id, str) or not id or id.isdecimal()):
            raise ValueError(f"id must be a non-empty str that is not a decimal number, not {id!r}")
        meta_bytes = b"" if meta is None else dumps(meta)
        try:  # read back before anything is written: a record whose meta cannot be read is damage
            meta_read = None if meta is None or readable else loads(meta_bytes)
        except TypeError as exc:  # a list, tuple or dict as a dict key: it decodes unhashable
            raise TypeError(f"meta cannot be read back once stored: {exc}") from None
        lock = self._lock  # acquire/release, not `with`: a commit is the hot path
        lock.acquire()
        try:
            # Not kept in the store's history: the timeline keeps the states it builds on (points),
            # and a history without a bound would keep every commit's state alive.
            snapshot = snapshot_outside_history(self._store)
            retried = None if self._unsettled is None else self._retry_unsettled(snapshot, meta_bytes, id)
            if retried is not None:
                self._landed(*retried, id, attach)
                return retried[0], meta_read
            point = self._point
            seq = 1 if self._vouched is None else self._vouched.seq + 1
            chunk = self._tuning.chunk_entries
            if point is not None:
                raw, digest = state_delta(snapshot, point.snapshot, point.digest, chunk)
            else:
                raw, whole_digest = state_keyframe(snapshot, chunk, True)
                digest = cast(int, whole_digest)
            body = raw if len(raw) < COMPRESS_MIN else stored_form(raw)
            if point is None:
                kind, keyframe, run_length, run_bytes, keyframe_bytes = KEYFRAME, seq, 0, 0, len(body)
            else:
                kind, keyframe, keyframe_bytes = DELTA, point.keyframe, point.keyframe_bytes
                run_length, run_bytes = point.run_length + 1, point.run_bytes + len(body)
                # The keyframe rule (see the module's docstring); `keyframe_bytes` is what the
                # chain's keyframe stored, compressed.
                # Comparisons rather than min() and max(), which cost a call each on every commit.
                tuning = self._tuning
                least = tuning.min_run_bytes
                if tuning.run_to_state and tuning.run_to_state * keyframe_bytes < least:
                    least = tuning.run_to_state * keyframe_bytes
                if run_bytes >= (keyframe_bytes if keyframe_bytes > least else least) or (
                    run_length >= self._keyframe_every and 2 * run_bytes >= keyframe_bytes
                ):
                    body = self._keyframe_body(snapshot)
                    kind, keyframe, run_length, run_bytes, keyframe_bytes = KEYFRAME, seq, 0, 0, len(body)
            row = sealed(
                self._name,
                seq,
                id,
                None if point is None else point.seq,
                keyframe,
                kind,
                time.time(),
                digest,
                meta_bytes,
                body,
            )
            new_point = Point(seq, snapshot, digest, keyframe, run_length, run_bytes, keyframe_bytes)
            self._unsettled = None
            self._landed(row, new_point, id, attach, snapshot, meta_bytes)
            return row, meta_read
        finally:
            lock.release()

    def _landed(
        self,
        row: StoredRecord,
        point: Point,
        id: str | None,
        attach: Mapping[str, Sequence[Entry]] | None,
        snapshot: Snapshot | None = None,
        meta_bytes: bytes = b"",
    ) -> None:
        """Append `row` (the record of `point`) and make it the point the next commit builds on."""
        started = time.monotonic()
        try:
            vouched = self._log.append(self._name, row, self._vouched, attach)
        except UnavailableError:
            # Perhaps it landed: a commit of the same state sends this record again,
            # and the log tells a record it already holds from a conflict.
            if snapshot is not None:
                self._unsettled = (snapshot, meta_bytes, id, row, point)
            raise
        except ConflictError as exc:  # the caller decides what a lost race means
            logger.debug("timeline %r: commit of record %d lost a race: %s", self._name, row.seq, exc)
            raise
        if time.monotonic() - started > SLOW_CALL_SECONDS:
            _slow(self._name, f"the append of record {row.seq}", started)
        self._unsettled = None
        if vouched.incarnation != self._incarnation:
            self._see(vouched)
        self._vouched = vouched
        self._point = point
        self._points.remember(point, id)

    def _retry_unsettled(
        self, snapshot: Snapshot, meta_bytes: bytes, id: str | None
    ) -> tuple[StoredRecord, Point] | None:
        """The record of the commit whose outcome is unknown, if this commit is the same one again."""
        unsettled = self._unsettled
        if unsettled is None:
            return None
        before, before_meta, before_id, row, point = unsettled
        if (before_meta, before_id) != (meta_bytes, id) or any(snapshot.diff(before).values()):
            # Another commit: it builds on the unsettled one if that landed. Forgotten only once
            # settled: if the check fails too (the server still away), the next commit checks again.
            self._settle(row, point, before_id)
            self._unsettled = None
            return None
        logger.info(
            "timeline %r: sending record %d again, whose commit had an unknown outcome", self._name, row.seq
        )
        return row, point

    def _settle(self, row: StoredRecord, point: Point, id: str | None) -> None:
        """Build on `row`, whose append's outcome was unknown, if the log holds it."""
        expected = self._vouched
        now = self._log.head(self._name)
        if now is None or (expected is not None and now.incarnation != expected.incarnation):
            return
        stored = self._log.headers(self._name, limit=1, before=row.seq + 1)
        landed = bool(stored) and (stored[0].seq, stored[0].crc) == (row.seq, row.crc)
        logger.info(
            "timeline %r: record %d, whose commit had an unknown outcome, %s",
            self._name,
            row.seq,
            "had landed: the next commit builds on it" if landed else "had not landed",
        )
        if landed:
            self._see(now)
            self._vouched = now._replace(seq=row.seq, crc=row.crc)
            self._point = point
            self._points.remember(point, id)

    def _keyframe_body(self, snapshot: Snapshot) -> bytes:
        return stored_form(state_keyframe(snapshot, self._tuning.chunk_entries, False)[0])

    def restore(self, ref: int | str) -> None:
        """Put the store back to record `ref` (a seq or an id); the next commit branches from it.

        Also catches up with other writers: the next commit goes after the log's newest record.
        """
        with self._lock:
            vouched, _, point = self._point_from_log(ref)
            self._store.restore(point.snapshot)
            self._point = point
            self._vouched = vouched
            self._unsettled = None

    def _point_from_log(self, ref: int | str) -> tuple[TimelineHead | None, StoredRecord, Point]:
        """What the log vouches for now, record `ref`'s header and its state. Called under the lock.

        The record is looked up in the log, not the cache: another writer may have
        dropped it, or the whole timeline and written it anew, since this one
        cached its state.
        """
        vouched = self._log.head(self._name)  # first: `_load` tells a rewrite by it
        self._see(vouched)
        header = self._header_of(ref)
        point = self._points.get(header.seq)
        if point is None:
            point = self._load(header, vouched)
        return vouched, header, point

    def discard(self) -> None:
        """Undo the store's changes since the last commit or restore: it holds that record again.

        A store that no commit or restore has set yet is emptied. Reads nothing from the log.
        """
        with self._lock:
            if self._point is None:
                self._store.clear()
            else:
                self._store.restore(self._point.snapshot)

    def _see(self, vouched: TimelineHead | None) -> None:
        """Note the incarnation the log holds now; points cached of another one are forgotten.

        Within one incarnation a seq names one record for good (seqs are never
        reused: appends go above the head, prunes remove a prefix), so a cached
        point stays true until the incarnation changes.
        """
        incarnation = None if vouched is None else vouched.incarnation
        if incarnation == self._incarnation:  # every commit: no lock for what does not change
            return
        with self._lock:
            if incarnation != self._incarnation:
                # Not on opening (None), nor when a first write upgrades a timeline written before
                # incarnations (0): only another writer's drop moves a known incarnation.
                if self._incarnation:
                    logger.info(
                        "timeline %r: %s by another writer; its cached states are dropped",
                        self._name,
                        "dropped" if incarnation is None else "dropped and written anew",
                    )
                self._points.clear()
                self._incarnation = incarnation

    # -- reading -------------------------------------------------------------

    def kept_point(self, seq: int) -> Point | None:
        """The state at record `seq` if this timeline keeps it in memory, without reading the log.

        For readers that replay from the nearest state at hand. Takes no lock: the
        cache's lookups are single dict reads.
        """
        return self._points.get(seq)

    def checkout(self, ref: int | str) -> Snapshot:
        """The state at record `ref` (a seq or an id) as a Snapshot; the store is not touched.

        A state this timeline committed or read is given from its cache without
        reading the log: after another writer dropped the whole timeline and
        wrote it anew, `restore` (which checks the record) catches up.
        """
        point = self._points.get(ref)
        return (point if point is not None else self._point_at(ref)).snapshot

    def state(self, ref: int | str) -> StateView:
        """The state at record `ref` (a seq or an id), read-only; the store is not touched.

        Unlike `checkout`, the record is looked up in the log first, so a state
        cached of a timeline since dropped and written anew is never given.
        """
        with self._lock:  # `_see` may drop the caches a commit is using
            _, header, point = self._point_from_log(ref)
        return StateView(point.snapshot, header.seq, str(header.seq) if header.id is None else header.id)

    def changes(self, a: int | str, b: int | str) -> Changes:
        """What differs from record `a`'s state to record `b`'s: namespace -> key -> (old, new).

        A key only one side holds has `ABSENT` on the other. Only the entries
        that differ are decoded.
        """
        return changes_between(self.state(a), self.state(b))

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

    def _check_dense(
        self, page: list[StoredRecord], above: int | None, ended: bool, now: TimelineHead | None
    ) -> None:
        """Raise if a page of headers skips a record, or the listing ends above the oldest kept one.

        A page is one atomic read and prunes remove a prefix, so a gap inside it
        is damage. So is a page that does not start just below `above` (the
        oldest seq of the page before, or above the head the listing began at),
        and a listing that runs out (`ended`) above `first`, while the log, read
        after the page (`now`, of the listing's incarnation), still vouches for
        the record missing.
        """
        for newer, older in zip(page, page[1:], strict=False):
            if older.seq != newer.seq - 1:
                raise CorruptRecordError(self._name, newer.seq - 1, "record missing")
        if now is None:
            return
        if page and above is not None and page[0].seq < above - 1 and now.first < above:
            raise CorruptRecordError(self._name, above - 1, "record missing")
        lowest = page[-1].seq if page else above
        if ended and lowest is not None and lowest > 1 and now.first < lowest:
            raise CorruptRecordError(self._name, lowest - 1, "record missing")

    def _pages(self, limit: int | None, before: int | None) -> Iterator[list[StoredRecord]]:
        """Headers newest first, up to `limit`, one query a page; nothing stays open between pages.

        Each page is read between two reads of what the log vouches for that
        name one incarnation, so it is of the timeline the listing began with
        (incarnations are never reused). Another incarnation means the timeline
        was dropped, perhaps written anew, meanwhile: the listing ends there
        rather than go on with another timeline's records.
        """
        remaining = limit
        vouched = self._log.head(self._name)
        incarnation = None if vouched is None else vouched.incarnation
        above = None if vouched is None else vouched.seq + 1
        if before is not None and (above is None or before < above):
            above = before
        while remaining is None or remaining > 0:
            wanted = _PAGE if remaining is None else min(_PAGE, remaining)
            page = self._log.headers(self._name, limit=wanted, before=before)
            now = self._log.head(self._name)
            if (None if now is None else now.incarnation) != incarnation:
                raise RecordNotFoundError(
                    self._name,
                    "head" if above is None else above - 1,
                    "dropped by another writer while the timeline was listed",
                )
            self._check_dense(page, above, len(page) < wanted, now)
            yield page
            if len(page) < wanted:
                return
            before = above = page[-1].seq
            if remaining is not None:
                remaining -= len(page)

    def _newest(self) -> tuple[TimelineHead, StoredRecord] | None:
        """What the log vouches for and the head record it names, checked against each other.

        The head is never pruned, so a head record that is not there while the
        log still vouches for it is damage. A commit, or a drop and rewrite,
        between the two reads changes what the log vouches for: read again.
        """
        vouched = self._log.head(self._name)
        while vouched is not None:
            self._see(vouched)
            rows = self._log.headers(self._name, limit=1, before=vouched.seq + 1)
            if rows and (rows[0].seq, rows[0].crc) == (vouched.seq, vouched.crc):
                check_header(self._name, rows[0])
                return vouched, rows[0]
            now = self._log.head(self._name)
            if now == vouched:
                moved = rows and rows[0].seq == vouched.seq
                what = "is not the one it vouches for" if moved else "is missing"
                raise CorruptRecordError(
                    self._name, vouched.seq, f"the head record the log vouches for {what}"
                )
            vouched = now
        self._see(None)
        return None

    def _point_at(self, ref: int | str) -> Point:
        point = self._points.get(ref)
        if point is not None:
            return point
        vouched = self._log.head(self._name)  # first: `_load` tells a rewrite by it
        return self._load(self._header_of(ref), vouched)

    def _header_of(self, ref: int | str) -> StoredRecord:
        if isinstance(ref, str):
            rows = self._log.headers(self._name, limit=1, id=ref)
            if not rows and ref.isascii() and ref.isdecimal():
                rows = [row for row in self._at_seq(int(ref)) if row.id is None]
                seq = int(ref)
            else:
                seq = rows[0].seq if rows else -1
        elif isinstance(ref, int) and not isinstance(ref, bool):
            rows = self._at_seq(ref) if ref > 0 else []
            seq = ref
        else:
            raise TypeError(f"a record is named by its seq (int) or id (str), not {type(ref).__name__}")
        if not rows or rows[0].seq != seq:
            raise RecordNotFoundError(self._name, ref)
        check_header(self._name, rows[0])
        return rows[0]

    def _at_seq(self, seq: int) -> list[StoredRecord]:
        """The header of record `seq`, or none; damage if the log vouches for it but does not hold it.

        Seqs are dense from `first` to the head. A miss is read again between two
        reads of what the log vouches for: the same incarnation throughout, with
        `seq` in its range, means the record should be there and is not.
        """
        rows = self._log.headers(self._name, limit=1, before=seq + 1)
        if rows and rows[0].seq == seq:
            return rows
        now = self._log.head(self._name)
        if now is None or not now.first <= seq <= now.seq:
            return []
        rows = self._log.headers(self._name, limit=1, before=seq + 1)
        if rows and rows[0].seq == seq:
            return rows
        later = self._log.head(self._name)
        if later is not None and later.incarnation == now.incarnation and later.first <= seq:
            raise CorruptRecordError(self._name, seq, "record missing")
        return []

    def _load(self, header: StoredRecord, before: TimelineHead | None) -> Point:
        """Replay `header`'s chain, from the nearest point still cached or from its keyframe.

        The chain is read with one range query: the records after the newest
        cached point of the same keyframe below it, or, if there is none or it
        lies on another branch, the records from the keyframe on. `before`: what
        the log vouched for before `header` was read.
        """
        try:
            return self._replay(header, cached=True)
        except CorruptRecordError as exc:
            # Perhaps not damage: a cached point on a branch the chain does not pass
            # through. Only what the log holds decides.
            logger.debug(
                "timeline %r: replay of record %d from the cache failed (%s); replaying from the log",
                self._name,
                header.seq,
                exc,
            )
        try:
            return self._replay(header, cached=False)
        except CorruptRecordError as error:
            raise self._gone_or(error, header, before) from None

    def _gone_or(
        self, error: CorruptRecordError, header: StoredRecord, before: TimelineHead | None
    ) -> PersistError:
        """`error`, found reading `header`'s chain, unless a prune or drop removed that chain meanwhile.

        Prunes only move `first` up and incarnations never come back, so what
        the log vouches for after the read tells a race from damage for good:
        a record now below `first`, or a timeline dropped or written anew, was
        removed, not damaged. A record at or above `first` keeps its whole
        chain (a prune never cuts one), so a gap in it is damage.
        """
        now = self._log.head(self._name)
        self._see(now)
        if now is None or before is None or now.incarnation != before.incarnation or header.seq < now.first:
            logger.debug("timeline %r: record %d pruned or dropped during its read", self._name, header.seq)
            return RecordNotFoundError(self._name, header.seq, "pruned or dropped by another writer")
        return error

    def _read_chain(self, first: int, last: int, keyframe: int) -> list[StoredRecord]:
        started = time.monotonic()
        rows = self._log.read(self._name, first, last, base=keyframe)
        if time.monotonic() - started > SLOW_CALL_SECONDS:
            _slow(self._name, f"the read of records {first} to {last}", started)
        return rows

    def _replay(self, header: StoredRecord, cached: bool, rows: list[StoredRecord] | None = None) -> Point:
        """`header`'s state, replayed from a cached point or from its keyframe; `rows`: the chain
        from its keyframe, already read."""
        name, seq, keyframe = self._name, header.seq, header.base
        with self._lock:  # commits in other threads add to the cache
            anchored = self._points.get(seq) if cached else None
            points = self._points.all() if cached else []
            # The points below are kept only while the cache is of this incarnation: if
            # another thread sees the timeline written anew meanwhile, what this replay
            # read may be of the old one.
            incarnation = self._incarnation
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
                run = chain_of(name, self._read_chain(start.seq + 1, seq, keyframe), seq, start.seq)
            except CorruptRecordError:
                # `start` is on another branch, or the chain is damaged: read it all.
                logger.debug("timeline %r: record %d is not on record %d's chain", name, start.seq, seq)
        replay = Replay(name)
        if run is None:
            if rows is None:
                rows = self._read_chain(keyframe, seq, keyframe)
            chain = chain_of(name, rows, seq)
            replay.start_at_keyframe(chain[0])
            start = Point(
                keyframe, replay.finish(chain[0]), replay.digest, keyframe, 0, 0, chain[0].body_size
            )
            with self._lock:
                if self._incarnation == incarnation:
                    self._points.remember(start, chain[0].id)
            run = chain[1:]
            if not run:
                return start
        elif start is not None:  # always, when `run` came from the cached point
            replay.start_at(start)
        assert start is not None
        run_length, run_bytes, done = start.run_length, start.run_bytes, 0
        while done < len(run):  # a segment to the next anchor's place, or to the end
            every = self._tuning.point_every
            segment = run[done : done + every - run_length % every]
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
                if self._incarnation != incarnation:
                    pass
                elif done == len(run):
                    self._points.remember(point, row.id)
                else:
                    self._points.anchor(point)
        return point

    # -- housekeeping --------------------------------------------------------

    def prune(self, keep_last: int) -> Pruned:
        """Remove old records; return what went: `Pruned(records, bytes)`, bytes as their bodies stored them.

        Records go from the oldest up to a cutoff, and everything from the
        cutoff up stays. The cutoff is the oldest of the newest `keep_last`
        records, moved down to
        - the keyframe each record above it replays from (a delta is read by
          replaying its chain from its keyframe; forks included), and
        - the keyframe of the record the next commit builds on (`parent`), so
          that it stays readable and a commit after restoring an old record
          still lands.
        So only whole runs of deltas that nothing kept replays go. A keyframe
        is written when the deltas since the last one outweigh the state, or
        after `keyframe_every` deltas that weigh half of it, so a timeline
        whose commits all replay from one keyframe removes nothing:
        `prune(keep_last=3)` after 9 such commits keeps all 9, and returns
        `Pruned(0, 0)`.

        The log chooses what to remove and removes it in one atomic step, so a
        fork another writer commits meanwhile keeps its chain. A SQLite file
        keeps the space for later commits until `SQLiteLog.vacuum()`.
        """
        if not isinstance(keep_last, int) or isinstance(keep_last, bool) or keep_last < 1:
            raise ValueError(f"keep_last must be a positive int, not {keep_last!r}")
        with self._lock:
            point = self._point
            keep_from = None if point is None or self._vouched is None else point.keyframe
            removed = self._log.prune(self._name, keep_last, keep_from)
            vouched = self._log.head(self._name)
            self._see(vouched)
            first = 1 if vouched is None else vouched.first
            self._points.drop_below(first)
            return removed

    def delete(self) -> None:
        """Remove every record of this timeline. The store keeps its content; the next commit starts anew."""
        with self._lock:
            self._log.drop(self._name)
            self._points.clear()
            self._point = None
            self._vouched = self._incarnation = self._unsettled = None

    def verify(self) -> list[CorruptRecordError]:
        """Check every stored record, every chain and every state digest; return what is damaged.

        One error per damaged record, oldest first; an empty list means sound.
        Records are checked against what the log vouches for: one it names but
        does not hold is damage. Costs a read and a replay of the whole timeline.
        A prune or drop by another writer meanwhile is not damage: what it
        removed is left out.
        """
        return verify_timeline(self._log, self._name)

    def __repr__(self) -> str:
        return f"Timeline({self._name!r}, parent={self.parent}, log={self._log!r})"


def _slow(timeline: str, what: str, started: float) -> None:
    logger.warning(
        "timeline %r: %s took %.2fs (more than %ss)",
        timeline,
        what,
        time.monotonic() - started,
        SLOW_CALL_SECONDS,
    )

"""A saver's view of one timeline (its name, its store, what it keeps decoded), and the cache of them."""

from __future__ import annotations

import threading
from collections import OrderedDict
from collections.abc import Sequence
from typing import Any

from .._core import Snapshot, Store
from ..persist.errors import CorruptRecordError, RecordNotFoundError
from ..persist.record import Record
from ..persist.timeline import Timeline
from . import meta as meta_format
from .layout import State
from .meta import Head

PREFIX = "lg/"  # every timeline of the saver, so that a log can hold others too
# Decoded states cached per timeline, the newest last: as many as hold this many
# channels in all, within these bounds. A listing of recent checkpoints then
# decodes each once; a large state keeps only the head and its recent parents.
_STATE_CHANNELS_KEPT = 4096
_STATES_KEPT = (4, 32)
_IDS_KEPT = 1024
# A thread's state mostly grows (a conversation): keyframes then come from the
# timeline's byte rule alone, at a cost per step that stays flat. The count rule
# at the timeline's default would copy a long conversation every 256 steps.
_KEYFRAME_EVERY = 4096


def timeline_name(thread_id: str, checkpoint_ns: str) -> str:
    """The timeline of one thread and namespace; the thread's length first, so that no two names meet."""
    return f"{PREFIX}{len(thread_id)}/{thread_id}/{checkpoint_ns}"


def thread_prefix(thread_id: str) -> str:
    return f"{PREFIX}{len(thread_id)}/{thread_id}/"


def parse_name(name: str) -> tuple[str, str] | None:
    if not name.startswith(PREFIX):
        return None
    length, _, rest = name[len(PREFIX) :].partition("/")
    if not length.isdecimal() or len(rest) <= int(length) or rest[int(length)] != "/":
        return None
    return rest[: int(length)], rest[int(length) + 1 :]


def indexable(checkpoint_id: str) -> bool:
    """Whether the log can index this id itself: logs name unchosen records by their decimal seq."""
    return bool(checkpoint_id) and not checkpoint_id.isdecimal()


class StaleBranch(Exception):
    """The log no longer holds the timeline this branch cached: another writer dropped or rewrote it."""


class Branch:
    """One timeline and the store it commits from, with what the saver keeps of it.

    What it keeps (decoded states, ids, the store's place) is of the records it
    has seen, each known by its seq and commit time, all of one incarnation of
    the timeline: the one the log vouched for just before the branch opened its
    timeline (which therefore holds that one or a later one). A record read
    later at a known seq with another time, or a record it does not know while
    the log vouches for another incarnation, means another writer deleted the
    thread (or a ttl expired it) and wrote it anew: `StaleBranch`, and the
    saver calls `reset()`, which forgets it all and reopens the timeline.
    """

    __slots__ = (
        "log",
        "name",
        "thread_id",
        "ns",
        "store",
        "timeline",
        "incarnation",
        "lock",
        "cache_lock",
        "point_id",
        "states",
        "snapshots",
        "ids",
    )

    def __init__(self, log: Any, name: str, thread_id: str, ns: str) -> None:
        self.log, self.name, self.thread_id, self.ns = log, name, thread_id, ns
        self.lock = threading.RLock()  # one put at a time: restore, apply, commit; and reset
        self.cache_lock = threading.Lock()  # the caches below, which readers share
        # seq -> (state, commit time of the record it is the state of).
        self.states: OrderedDict[int, tuple[State, float]] = OrderedDict()
        self.snapshots: dict[int, Snapshot] = {}  # of the states kept: what derive() starts from
        # seq -> (checkpoint id, commit time), of the records seen lately.
        self.ids: OrderedDict[int, tuple[str, float]] = OrderedDict()
        self._open()

    def _open(self) -> None:
        vouched = self.log.head(self.name)  # before the timeline reads it: the timeline's is this or later
        self.incarnation: int | None = None if vouched is None else vouched.incarnation
        self.store = Store(max_history=0)
        self.timeline = Timeline(self.log, self.name, self.store, keyframe_every=_KEYFRAME_EVERY)
        # The checkpoint id of the record the store holds; None until a commit or restore names it.
        self.point_id: str | None = None
        if self.timeline.parent is not None:
            try:
                record = self.timeline.record(self.timeline.parent)
            except RecordNotFoundError:
                return  # dropped since the timeline opened: a put finds its parent afresh
            self.point_id = self._checkpoint_id(record)
            self._know(record.seq, self.point_id, record.timestamp)

    def reset(self) -> None:
        """Forget everything cached and reopen the timeline at the log's head. Hold `lock`."""
        with self.cache_lock:
            self.states.clear()
            self.snapshots.clear()
            self.ids.clear()
        self._open()

    def vouch(self) -> None:
        """Raise `StaleBranch` unless the log still holds the incarnation this branch's caches are of.

        Called after a read that returned records: incarnations are never
        reused, so if the log vouches for the branch's incarnation now, it did
        so for the read too.
        """
        vouched = self.log.head(self.name)
        if vouched is None or vouched.incarnation != self.incarnation:
            raise StaleBranch(self.name)

    def remember(self, seq: int, timestamp: float, state: State, snapshot: Snapshot) -> None:
        fewest, most = _STATES_KEPT
        kept = max(fewest, min(most, _STATE_CHANNELS_KEPT // (len(state.versions) + 1)))
        with self.cache_lock:
            self.states[seq] = state, timestamp
            self.snapshots[seq] = snapshot
            self.states.move_to_end(seq)
            while len(self.states) > kept:
                del self.snapshots[self.states.popitem(last=False)[0]]

    def cached(self, seq: int, timestamp: float | None) -> tuple[State | None, tuple[State, Snapshot] | None]:
        """The state kept for record `seq`, committed at `timestamp`; else the nearest kept one and snapshot.

        `timestamp` None: the record the timeline holds, which its commit or
        restore checked. A state kept for another record at that seq raises
        `StaleBranch`. Any kept state and its snapshot still derive another.
        """
        kept = self.states.get(seq)  # one lookup is atomic; walking the dict needs the lock
        if kept is not None:
            if timestamp is not None and kept[1] != timestamp:
                raise StaleBranch(self.name)
            return kept[0], None
        with self.cache_lock:
            if not self.states:
                return None, None
            near = min(self.states, key=lambda s: abs(s - seq))
            return None, (self.states[near][0], self.snapshots[near])

    def id_of(self, record: Record | Head) -> str:
        """The checkpoint id a record holds, remembered for the records whose parent it is."""
        return self.ids_of((record,))[0]

    def ids_of(self, records: Sequence[Record | Head]) -> list[str]:
        """The checkpoint ids of records just read; checks each against what the branch knows.

        A known seq with another commit time raises `StaleBranch`; a record the
        branch does not know is checked against the incarnation (`vouch`).
        """
        ids = []
        unknown = False
        known = self.ids
        for record in records:
            checkpoint_id = self._checkpoint_id(record)
            seen = known.get(record.seq)
            if seen is None:
                unknown = True
            elif seen[1] != record.timestamp:
                raise StaleBranch(self.name)
            ids.append(checkpoint_id)
        if unknown:
            self.vouch()
            for record, checkpoint_id in zip(records, ids, strict=True):
                if record.seq not in known:
                    self._know(record.seq, checkpoint_id, record.timestamp)
        return ids

    def _checkpoint_id(self, record: Record | Head) -> str:
        try:
            return meta_format.checkpoint_id(record)
        except ValueError as exc:
            raise CorruptRecordError(self.name, record.seq, str(exc)) from None

    def id_at(self, seq: int) -> str:
        with self.cache_lock:
            known = self.ids.get(seq)
        return known[0] if known is not None else self.id_of(self.timeline.record(seq))

    def committed(self, seq: int, checkpoint_id: str, timestamp: float) -> None:
        """The store now holds record `seq`, just committed as `checkpoint_id`."""
        self.point_id = checkpoint_id
        self._know(seq, checkpoint_id, timestamp)
        if self.incarnation is None:
            self._learn_incarnation(seq, timestamp)

    def _learn_incarnation(self, seq: int, timestamp: float) -> None:
        """After this branch created the timeline: the incarnation its commit landed in.

        The head first, then the record: if the log still holds the commit when
        the record is read, the incarnation the head named is the commit's, as
        incarnations only move forward.
        """
        vouched = self.log.head(self.name)
        rows = self.log.headers(self.name, limit=1, before=seq + 1)
        if vouched is not None and rows and (rows[0].seq, rows[0].timestamp) == (seq, timestamp):
            self.incarnation = vouched.incarnation

    def _know(self, seq: int, checkpoint_id: str, timestamp: float) -> None:
        with self.cache_lock:
            self.ids[seq] = (checkpoint_id, timestamp)
            while len(self.ids) > _IDS_KEPT:
                self.ids.popitem(last=False)


class Branches:
    """The branches a saver has open, one per timeline, the oldest opened going first past `size`."""

    def __init__(self, log: Any, size: int) -> None:
        self._log = log
        self._size = size
        self._open: OrderedDict[str, Branch] = OrderedDict()
        self._lock = threading.Lock()

    def get(self, thread_id: str, ns: str) -> Branch:
        """The branch of a thread's namespace; opening one may raise `CorruptRecordError`."""
        name = timeline_name(thread_id, ns)
        cached = self._open.get(name)  # no lock, and no reordering: the cache is first in, first out
        if cached is not None:
            return cached
        branch = Branch(self._log, name, thread_id, ns)
        with self._lock:
            opened = self._open.get(name)
            if opened is not None:  # another thread opened it meanwhile: one branch per timeline
                return opened
            self._open[name] = branch
            while len(self._open) > self._size:
                self._open.popitem(last=False)
            return branch

    def forget(self, name: str) -> None:
        with self._lock:
            self._open.pop(name, None)

    def clear(self) -> None:
        with self._lock:
            self._open.clear()

    def names(self, thread_id: str | None, ns: str | None) -> list[tuple[str, str]]:
        """(thread, namespace) of every timeline of `thread_id` (all threads: None), or just the one named.

        A thread's timelines are one index range of the log (`Log.timelines`).
        """
        if thread_id is not None and ns is not None:
            return [(thread_id, ns)]
        prefix = PREFIX if thread_id is None else thread_prefix(thread_id)
        return [parsed for name in self._log.timelines(prefix) if (parsed := parse_name(name)) is not None]

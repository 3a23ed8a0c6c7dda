"""A saver's view of one timeline (its name, its store, what it keeps decoded), and the cache of them."""

from __future__ import annotations

import logging
import threading
from collections import OrderedDict
from collections.abc import Sequence
from typing import Any, NamedTuple

from .._core import Snapshot, Store
from ..persist.errors import CorruptRecordError, PersistError, RecordNotFoundError
from ..persist.log import Entry
from ..persist.record import Record, StoredRecord
from ..persist.record import public as public_record
from ..persist.replay import Point
from ..persist.timeline import Timeline, Tuning
from . import meta as meta_format
from .layout import State
from .marks import FLOOR
from .meta import Head

logger = logging.getLogger(__name__)
PREFIX = "lg/"  # every timeline of the saver, so that a log can hold others too
# Decoded states cached per timeline, the newest last: as many as hold this many
# channels in all, within these bounds. A listing of recent checkpoints then
# decodes each once; a large state keeps only the head and its recent parents.
_STATE_CHANNELS_KEPT = 4096
_FEWEST_STATES, _MOST_STATES = 4, 32
_IDS_KEPT = 1024
# A thread's state mostly grows (a conversation): keyframes then come from the
# timeline's byte rule alone, at a cost per step that stays flat. The count rule
# at the timeline's default would copy a long conversation every 256 steps.
_KEYFRAME_EVERY = 4096
# A new reader of a thread replays its head's run; a small state (a few channels) keyframes once its
# deltas weigh four times it, so that run is a handful of records, for a few percent more bytes.
_TUNING = Tuning(run_to_state=4)
Key = tuple[int | None, int]  # (incarnation, seq): one record of a timeline, for good


class Opened(NamedTuple):
    """What a branch's opening read returned of its head: the record, its state, its attachments."""

    incarnation: int
    head: StoredRecord
    snapshot: Snapshot
    found: dict[str, list[Entry]]  # under the head's id, and the floor mark


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


class StaleBranch(PersistError):
    """The log no longer holds the incarnation of the timeline a read began under: another writer
    dropped the thread (or a ttl expired it), and perhaps wrote it anew."""

    def __init__(self, name: str) -> None:
        super().__init__(f"timeline {name!r}: dropped or written anew by another writer during the read")
        self.timeline = name


class Branch:
    """One timeline and the store it commits from, with what the saver keeps of it.

    What it keeps of records (decoded states with their snapshots, checkpoint
    ids) is keyed by (incarnation, seq): within one incarnation a seq names one
    record for good, and incarnations are never reused. `incarnation` is the one
    the log vouched for when the branch opened its timeline, or the one its last
    commit landed in; the timeline read all it caches after that. A read takes
    it first, keys what it reads and looks up by it, and gives nothing until the
    log vouches for it again afterwards (`vouch`): the log then held that
    incarnation throughout, so every record and cached state behind the answer
    is of it. An entry keyed under an incarnation the log had dropped before the
    entry was read is never given: every read that finds it fails its vouch. A
    put needs no vouch: its commit's compare-and-set names the incarnation.
    A failed vouch raises `StaleBranch`; the saver then calls `reset()`, which
    reopens the timeline at the log's head, and reads again.
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
        "opened",
        "walked",
    )

    def __init__(self, log: Any, name: str, thread_id: str, ns: str) -> None:
        self.log, self.name, self.thread_id, self.ns = log, name, thread_id, ns
        self.lock = threading.RLock()  # one put at a time: restore, apply, commit; and reset
        self.cache_lock = threading.Lock()  # the caches below, which readers share
        self.states: OrderedDict[Key, State] = OrderedDict()  # the newest last
        self.snapshots: dict[Key, Snapshot] = {}  # of the states kept: what derive() starts from
        self.ids: OrderedDict[Key, str] = OrderedDict()  # checkpoint ids of the records seen lately
        # The states a delta-channel history walk replayed, under the incarnation it read (its module's).
        self.walked: tuple[int | None, dict[int, Point]] = (None, {})
        self._open()

    def _open(self) -> None:
        self.store = Store(max_history=0)
        self.timeline = Timeline(
            self.log,
            self.name,
            self.store,
            keyframe_every=_KEYFRAME_EVERY,
            attachments=(FLOOR,),
            tuning=_TUNING,
        )
        self.incarnation = self.timeline.incarnation
        # The checkpoint id of the record the store holds; None until a commit or restore names it.
        self.point_id: str | None = None
        self.opened: Opened | None = None
        opened = self.timeline.take_opened()
        if opened is not None and opened.head is not None and opened.chain:
            self._opened(opened.head.incarnation, opened.chain, opened.found)
        elif self.timeline.parent is not None:
            try:
                record = self.timeline.record(self.timeline.parent)
            except RecordNotFoundError:
                return  # dropped since the timeline opened: a put finds its parent afresh
            self.point_id = self._checkpoint_id(record)
            self._know(self.incarnation, record.seq, self.point_id)

    def _opened(self, incarnation: int, chain: list[StoredRecord], found: dict[str, list[Entry]]) -> None:
        """Keep what the timeline's opening read returned of its head, for the read that opened the
        branch (`Branches.opened`), and the checkpoint ids of the head and its parent."""
        head = chain[-1]
        self.point_id = self._checkpoint_id(public_record(head, self.name))
        self._know(incarnation, head.seq, self.point_id)
        parent = next((row for row in reversed(chain) if row.seq == head.parent), None)
        if parent is not None:
            self._know(incarnation, parent.seq, self._checkpoint_id(public_record(parent, self.name)))
        # Taken now: nothing else holds this branch until it is opened, so its cache is this incarnation's.
        self.opened = Opened(incarnation, head, self.timeline.checkout(head.seq), found)

    def reset(self) -> None:
        """Forget everything cached and reopen the timeline at the log's head. Hold `lock`."""
        logger.debug("thread %r (namespace %r): reopened at the log's head", self.thread_id, self.ns)
        with self.cache_lock:
            self.states.clear()
            self.snapshots.clear()
            self.ids.clear()
        self.walked = (None, {})
        self._open()
        self.opened = None  # for the read that opened the branch alone

    def vouch(self, incarnation: int | None) -> None:
        """Raise `StaleBranch` unless the log vouches for `incarnation` now.

        Called after a read that began under `incarnation`: as incarnations are
        never reused, the log held it throughout the read.
        """
        vouched = self.log.head(self.name)
        if vouched is None or vouched.incarnation != incarnation:
            raise StaleBranch(self.name)

    def remember(self, incarnation: int | None, seq: int, state: State, snapshot: Snapshot) -> None:
        lock = self.cache_lock  # acquire/release, not `with`: this runs on every put
        lock.acquire()
        try:
            self._keep(incarnation, seq, state, snapshot)
        finally:
            lock.release()

    def _keep(self, incarnation: int | None, seq: int, state: State, snapshot: Snapshot) -> None:
        """`remember`'s work; hold `cache_lock`."""
        # The bounds by comparisons, not min() and max(): this runs on every put.
        kept = _STATE_CHANNELS_KEPT // (len(state.versions) + 1)
        kept = _FEWEST_STATES if kept < _FEWEST_STATES else _MOST_STATES if kept > _MOST_STATES else kept
        key = incarnation, seq
        states = self.states
        states[key] = state
        self.snapshots[key] = snapshot
        states.move_to_end(key)
        while len(states) > kept:
            del self.snapshots[states.popitem(last=False)[0]]

    def cached(self, incarnation: int | None, seq: int) -> tuple[State | None, tuple[State, Snapshot] | None]:
        """The state kept for record `seq` of `incarnation`; else the nearest kept one and its snapshot.

        Any kept state and its snapshot derive another, whatever record they are of.
        """
        kept = self.states.get((incarnation, seq))  # one lookup is atomic; walking the dict needs the lock
        if kept is not None:
            return kept, None
        with self.cache_lock:
            if not self.states:
                return None, None
            near = min(self.states, key=lambda key: (key[0] != incarnation, abs(key[1] - seq)))
            return None, (self.states[near], self.snapshots[near])

    def ids_of(self, incarnation: int | None, records: Sequence[Record | Head]) -> list[str]:
        """The checkpoint ids of records read under `incarnation`, remembered for the records whose
        parent they are."""
        ids = [self._checkpoint_id(record) for record in records]
        with self.cache_lock:
            for record, checkpoint_id in zip(records, ids, strict=True):
                self.ids[incarnation, record.seq] = checkpoint_id
            self._trim_ids()
        return ids

    def _checkpoint_id(self, record: Record | Head) -> str:
        try:
            return meta_format.checkpoint_id(record)
        except ValueError as exc:
            raise CorruptRecordError(self.name, record.seq, str(exc)) from None

    def id_at(self, incarnation: int | None, seq: int) -> str:
        known = self.ids.get((incarnation, seq))  # one lookup is atomic
        return known if known is not None else self.ids_of(incarnation, [self.timeline.record(seq)])[0]

    def committed(self, seq: int, checkpoint_id: str, state: State | None = None) -> None:
        """The store now holds record `seq`, just committed as `checkpoint_id`, in the incarnation the
        commit's compare-and-set named (or created): the one the branch's reads go on under.

        `state`: the record's decoded state, remembered with the commit's own snapshot, under the
        same hold of the cache's lock (every put passes here)."""
        self.point_id = checkpoint_id
        self.incarnation = incarnation = self.timeline.incarnation
        kept = None if state is None else (state, self.timeline.checkout(seq))
        ids = self.ids
        lock = self.cache_lock  # `_know`, inlined
        lock.acquire()
        try:
            ids[incarnation, seq] = checkpoint_id
            if len(ids) > _IDS_KEPT:
                self._trim_ids()
            if kept is not None:
                self._keep(incarnation, seq, *kept)
        finally:
            lock.release()

    def _know(self, incarnation: int | None, seq: int, checkpoint_id: str) -> None:
        with self.cache_lock:
            self.ids[incarnation, seq] = checkpoint_id
            self._trim_ids()

    def _trim_ids(self) -> None:
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
        cached = self._open.get(timeline_name(thread_id, ns))  # every put: `opened` only to open one
        return cached if cached is not None else self.opened(thread_id, ns)[0]

    def opened(self, thread_id: str, ns: str) -> tuple[Branch, Opened | None]:
        """`get`, with what the branch's opening read returned of its head when this call opened it.

        That read was one consistent read during this call, so it answers a read
        of the head as well as any made now; a branch opened by another call
        answers nothing: puts may have moved it since.
        """
        name = timeline_name(thread_id, ns)
        cached = self._open.get(name)  # no lock, and no reordering: the cache is first in, first out
        if cached is not None:
            return cached, None
        branch = Branch(self._log, name, thread_id, ns)
        opened, branch.opened = branch.opened, None
        with self._lock:
            found = self._open.get(name)
            if found is not None:  # another thread opened it meanwhile: one branch per timeline
                return found, None
            self._open[name] = branch
            while len(self._open) > self._size:
                self._open.popitem(last=False)
            return branch, opened

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

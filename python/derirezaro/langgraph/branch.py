"""A saver's view of one timeline: its name, its store, and what it keeps decoded."""

from __future__ import annotations

import threading
from collections import OrderedDict
from typing import Any

from .._core import Snapshot, Store
from ..persist.errors import CorruptRecordError
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


class Branch:
    """One timeline and the store it commits from, with what the saver keeps of it."""

    __slots__ = (
        "name",
        "thread_id",
        "ns",
        "store",
        "timeline",
        "lock",
        "point_id",
        "states",
        "snapshots",
        "ids",
    )

    def __init__(self, log: Any, name: str, thread_id: str, ns: str) -> None:
        self.name, self.thread_id, self.ns = name, thread_id, ns
        self.store = Store(max_history=0)
        self.timeline = Timeline(log, name, self.store, keyframe_every=_KEYFRAME_EVERY)
        self.lock = threading.Lock()  # one put at a time: restore, apply, commit
        # The checkpoint id of the record the store holds (None before the first
        # commit or restore), and decoded states by seq, newest last.
        self.point_id: str | None = None
        self.states: OrderedDict[int, State] = OrderedDict()
        self.snapshots: dict[int, Snapshot] = {}  # of the states kept: what derive() starts from
        self.ids: OrderedDict[int, str] = OrderedDict()  # seq -> checkpoint id, of records seen lately
        if self.timeline.parent is not None:
            self.point_id = self.id_of(self.timeline.record(self.timeline.parent))

    def remember(self, seq: int, state: State, snapshot: Snapshot) -> None:
        self.states[seq] = state
        self.snapshots[seq] = snapshot
        self.states.move_to_end(seq)
        fewest, most = _STATES_KEPT
        kept = max(fewest, min(most, _STATE_CHANNELS_KEPT // (len(state.versions) + 1)))
        while len(self.states) > kept:
            del self.snapshots[self.states.popitem(last=False)[0]]

    def id_of(self, record: Record | Head) -> str:
        """The checkpoint id a record holds, remembered for the records whose parent it is."""
        try:
            checkpoint_id = meta_format.checkpoint_id(record)
        except ValueError as exc:
            raise CorruptRecordError(self.name, record.seq, str(exc)) from None
        self.ids[record.seq] = checkpoint_id
        if len(self.ids) > _IDS_KEPT:
            self.ids.popitem(last=False)
        return checkpoint_id

    def id_at(self, seq: int) -> str:
        cached = self.ids.get(seq)
        return cached if cached is not None else self.id_of(self.timeline.record(seq))

"""Delta-channel history: the writes along a checkpoint's parent chain, found in one walk of the log.

A delta channel's checkpoints mostly store no value: LangGraph rebuilds it from
the nearest ancestor whose state holds one (the seed) and the writes stored at
each checkpoint from there to the target's parent. The answer is by definition
what following `get_tuple` from parent to parent gives; this walk gives the
same answer without building a tuple per ancestor:

- the chain's headers and attachments (pending writes, marks, the floor) come a
  page at a time from `Log.listing`, which holds a linear run of steps whole;
- a checkpoint's parent is resolved as `get_tuple` resolves it: by its id,
  through the marks, hidden below the floor;
- whether a state holds a channel is a lookup in its snapshot: the ones the
  timeline keeps, else one range read from the nearest kept point below,
  replayed record by record, which serves every ancestor down to that point;
- only the seeds are decoded, and only the channels asked for;
- the first listing is sized by how far down the timeline's last walk went:
  a turn's walk ends at the same seed as the one before it until a snapshot
  comes, so one read holds the whole chain and no record below it is listed;
- the states a walk replayed stay with the branch for the next one, which goes
  down the same chain: a seq names one record, so one state, for as long as
  the incarnation lasts.

A chain that comes back to a checkpoint it passed (an id put again under its
own descendant) ends there rather than going round.
"""

from __future__ import annotations

import functools
from collections.abc import Mapping, Sequence
from typing import Any

from langgraph.checkpoint.base import DeltaChannelHistory, PendingWrite

from .._core import Store
from ..persist.errors import CorruptRecordError
from ..persist.log import Entry
from ..persist.record import StoredRecord
from ..persist.replay import Point, Replay, chain_of
from .branch import Branch, indexable
from .decoded import for_saver
from .errors import CheckpointDecodeError
from .layout import VALUES, State, channel_values, read_state
from .marks import DELETED, FLOOR, floor_of, holds, read_marks
from .meta import Head, checkpoint_id
from .reads import Reads, head_of

_FIRST_PAGE = 64  # records of the first listing when no walk of the timeline went before
_LEAST_PAGE = 8
_MOST_PAGE = 512
_REACHES_KEPT = 1024  # timelines whose last walk's end is remembered, per saver
_WALKED_KEPT = 512  # states a walk leaves the next one, the newest records': a turn's chain and more


class _Chain:
    """What the walk has read of one timeline, under one incarnation: headers by seq and by chosen id,
    attachments by key, and the snapshots it replayed."""

    def __init__(self, reads: Reads, branch: Branch, incarnation: int | None) -> None:
        self.reads, self.branch, self.incarnation = reads, branch, incarnation
        self.log, self.name = reads.log, branch.name
        self.rows: dict[int, tuple[StoredRecord, Head]] = {}
        self.by_id: dict[str, int] = {}
        self.found: dict[str, list[Entry]] = {}
        self.asked: set[str] = set()  # keys whose attachments are in `found` (or have none)
        self.marks: dict[str, str | int] | None = None
        # The listed window: every seq from `low` to `high` is in `rows`; `ended` once it reaches
        # the oldest record the log holds.
        self.low = self.high = 0
        self.ended = True
        self.page = _FIRST_PAGE
        walked_under, walked = branch.walked  # one read of the pair: it is replaced whole
        self.replayed: dict[int, Point] = dict(walked) if walked_under == incarnation else {}
        self.view = Store(max_history=0)

    # -- reading headers and attachments ---------------------------------------------

    def list_from(self, before: int | None, keys: Sequence[str] = (), page: int = _FIRST_PAGE) -> None:
        """Start a window at the `page` records below `before` (the newest: None)."""
        self.low = self.high = 0 if before is None else before - 1
        self.ended = False
        self.page = page
        self._list_more(before, keys)

    def _list_more(self, before: int | None, keys: Sequence[str] = ()) -> None:
        asked = [FLOOR, *keys]
        rows, found = self.log.listing(self.name, limit=self.page, before=before, keys=asked)
        above = before
        for row in rows:  # one read is consistent: a gap inside it is damage, never a prune
            if above is not None and row.seq != above - 1:
                raise CorruptRecordError(self.name, above - 1, "record missing")
            above = row.seq
            self._index(row)
        self.found.update(found)
        self.asked.update(asked)
        self.asked.update(row.id for row in rows if row.id is not None)
        self.marks = None
        if rows:
            if before is None:
                self.high = rows[0].seq
            self.low = rows[-1].seq
        elif before is not None:
            self.low = before
        if len(rows) < self.page or self.low <= 1:
            self.ended = True
        self.page = min(self.page * 2, _MOST_PAGE)

    def _index(self, row: StoredRecord) -> tuple[StoredRecord, Head]:
        got = self.rows.get(row.seq)
        if got is None:
            got = self.rows[row.seq] = (row, head_of(self.name, row))
            if row.id is not None:
                self.by_id[row.id] = row.seq
        return got

    def at_seq(self, seq: int) -> tuple[StoredRecord, Head] | None:
        """Record `seq`: listed already, or by listing further down the window when it lies a page or
        less below it, else from a window of its own (a fork's parent far back); None if the log holds
        none."""
        moved = False
        while seq not in self.rows:
            if self.low <= seq <= self.high or (self.ended and seq < self.low and moved):
                return None
            if seq < self.low and not self.ended and seq >= self.low - self.page:
                self._list_more(self.low)
            elif moved:
                return None
            else:
                self.list_from(seq + 1)
                moved = True
        return self.rows[seq]

    def attachments(self, key: str) -> list[Entry]:
        if key not in self.asked:
            self.found.update(self.log.attachments(self.name, [key]))
            self.asked.add(key)
            self.marks = None
        return self.found.get(key, [])

    def floor_and_marks(self) -> dict[str, str | int]:
        if self.marks is None:
            self.marks = read_marks(self.branch, self.found, self.incarnation)
        return self.marks

    # -- checkpoints as get_tuple finds them -----------------------------------------

    def record_of(self, wanted: str) -> tuple[StoredRecord, Head] | None:
        """The record that is checkpoint `wanted` now, as `Reads._find` finds it; None if none is."""
        if not wanted:
            return None
        self.attachments(wanted)  # its marks
        marks = self.floor_and_marks()
        named = marks.get(wanted, wanted if indexable(wanted) else DELETED)
        if isinstance(named, int):  # a mark of the previous release: the record's seq
            got = self.at_seq(named) or self._read_seq(named)
        elif named == DELETED:
            return None
        else:
            seq = self.by_id.get(named)
            if seq is not None:
                got = self.rows[seq]
            else:
                rows = self.log.headers(self.name, limit=1, id=named)
                got = self._index(rows[0]) if rows else None
        if got is None or got[0].seq < floor_of(marks):
            return None
        if self._id_of(got[1]) != wanted:
            self.branch.vouch(self.incarnation)  # the marks and the record read from one incarnation
            raise CorruptRecordError(self.name, got[0].seq, f"record {got[0].seq} holds another checkpoint")
        return got

    def _read_seq(self, seq: int) -> tuple[StoredRecord, Head] | None:
        rows = [row for row in self.log.headers(self.name, limit=1, before=seq + 1) if row.seq == seq]
        return self._index(rows[0]) if rows else None

    def _id_of(self, head: Head) -> str:
        try:
            return checkpoint_id(head)
        except ValueError as exc:
            raise CorruptRecordError(self.name, head.seq, str(exc)) from None

    def parent_of(self, head: Head) -> str | None:
        """The checkpoint id a record names as its parent, as its tuple's `parent_config` has it."""
        parent = head.meta[1]
        if parent is not True:
            return parent or None
        if head.parent is None:
            raise CorruptRecordError(self.name, head.seq, "a parent named but not recorded")
        got = self.at_seq(head.parent)
        if got is None:
            return self.branch.id_at(self.incarnation, head.parent)
        return self._id_of(got[1])

    # -- states ---------------------------------------------------------------------

    def holds(self, row: StoredRecord, channels: Sequence[str]) -> list[str]:
        """Those of `channels` whose value the state of record `row` holds."""
        state = self.branch.states.get((self.incarnation, row.seq))  # one lookup is atomic
        if state is not None:
            return [ch for ch in channels if ch in state.values or ch in state.lists]
        view = self.view
        view.restore(self._snapshot_point(row).snapshot)
        return [ch for ch in channels if view.contains(VALUES, ch)]

    def state(self, row: StoredRecord) -> State:
        state = self.branch.states.get((self.incarnation, row.seq))
        if state is not None:
            return state
        try:
            return read_state(self._snapshot_point(row).snapshot)
        except ValueError as exc:
            raise CorruptRecordError(self.name, row.seq, str(exc)) from None

    def _kept(self, seq: int) -> Point | None:
        # The timeline's cache: a single dict lookup, which it allows without its lock.
        return self.replayed.get(seq) or self.branch.timeline.kept_point(seq)

    def _snapshot_point(self, row: StoredRecord) -> Point:
        point = self._kept(row.seq)
        if point is not None:
            return point
        try:
            self._replay_to(row)
        except CorruptRecordError:
            # Damage, or a prune or drop that raced the read: the timeline's own read tells them apart.
            snapshot = self.branch.timeline.checkout(row.seq)
            return Point(row.seq, snapshot, 0, row.base, 0, 0, 0)
        return self.replayed[row.seq]

    def _replay_to(self, row: StoredRecord) -> None:
        """Replay record `row`'s chain from the nearest kept point below it, keeping every state on the way.

        The walk goes down the chain, so the states between that point and `row`
        are the next ones it asks for: one range read serves them all.
        """
        keyframe = row.base
        start = next(
            (
                p
                for s in range(row.seq - 1, keyframe - 1, -1)
                if (p := self._kept(s)) and p.keyframe == keyframe
            ),
            None,
        )
        chain = None
        if start is not None:
            rows = self.log.read(self.name, start.seq + 1, row.seq, base=keyframe)
            try:
                chain = chain_of(self.name, rows, row.seq, start.seq)
            except CorruptRecordError:  # the kept point lies on another branch
                start = None
        replay = Replay(self.name)
        if chain is None or start is None:
            chain = chain_of(self.name, self.log.read(self.name, keyframe, row.seq, base=keyframe), row.seq)
            replay.start_at_keyframe(chain[0])
            snapshot = replay.finish(chain[0])
            self.replayed[chain[0].seq] = Point(chain[0].seq, snapshot, replay.digest, keyframe, 0, 0, 0)
            chain = chain[1:]
        else:
            replay.start_at(start)
        for each in chain:
            replay.apply_all([each])
            snapshot = replay.finish(each)
            self.replayed[each.seq] = Point(each.seq, snapshot, replay.digest, keyframe, 0, 0, 0)


def history(
    reads: Reads, branch: Branch, wanted: str | None, channels: Sequence[str]
) -> dict[str, DeltaChannelHistory]:
    """Each of `channels`' writes and seed along the parent chain of checkpoint `wanted` (None: the
    newest), as walking `get_tuple` from parent to parent gives them.

    Read under the branch's incarnation, and given once the log vouches for it afterwards.
    """
    incarnation = branch.incarnation
    chain = _Chain(reads, branch, incarnation)
    target = _target(reads, chain, wanted)
    result: dict[str, DeltaChannelHistory] = {ch: {"writes": []} for ch in channels}
    if target is None:
        if incarnation is not None:  # else the thread held nothing when the read began: nothing to vouch
            branch.vouch(incarnation)
        return result
    remaining = list(dict.fromkeys(channels))
    passed = {chain._id_of(target[1])}
    at_each: list[list[PendingWrite]] = []  # the writes kept at each ancestor, nearest first
    seeds: dict[str, StoredRecord] = {}
    decoded = for_saver(reads)
    loads = reads.serde.loads_typed
    if decoded is not None:
        loads = functools.partial(decoded.write, loads_typed=loads)
    lowest = target[0].seq  # the lowest record the walk visited
    cursor = chain.parent_of(target[1])
    while cursor is not None and remaining and cursor not in passed:
        passed.add(cursor)
        got = chain.record_of(cursor)
        if got is None:
            break
        row, head = got
        lowest = min(lowest, row.seq)
        writes = reads.pending.read(branch, cursor, chain.attachments(cursor), loads)
        at_each.append([write for write in writes if write[1] in remaining])
        for ch in chain.holds(row, remaining):
            seeds[ch] = row
            remaining.remove(ch)
        cursor = chain.parent_of(head)
    _reached(reads, branch.name, incarnation, lowest)
    for writes in reversed(at_each):
        for write in writes:
            result[write[1]]["writes"].append(write)
    for ch, value in _seed_values(reads, chain, seeds).items():
        result[ch]["seed"] = value
    branch.vouch(incarnation)
    replayed = chain.replayed
    if len(replayed) > _WALKED_KEPT:
        replayed = {seq: replayed[seq] for seq in sorted(replayed)[-_WALKED_KEPT:]}
    branch.walked = incarnation, replayed
    return result


def _target(reads: Reads, chain: _Chain, wanted: str | None) -> tuple[StoredRecord, Head] | None:
    """The target's record, with the window listed from it: from the newest records when the branch's
    store holds it (a running graph's next step), else from wherever it lies."""
    branch = chain.branch
    if wanted is None:
        chain.list_from(None)
        if not chain.rows:  # a thread without checkpoints
            return None
        marks = chain.floor_and_marks()
        floor = floor_of(marks)
        for seq in range(chain.high, chain.low - 1, -1):
            row, head = chain.rows[seq]
            if seq < floor:
                break
            checkpoint = chain._id_of(head)
            if checkpoint != head.id:
                chain.attachments(checkpoint)  # an alias: the checkpoint's marks lie under its own id
                marks = chain.floor_and_marks()
            if holds(head, checkpoint, marks):
                return row, head
        newest = reads._latest(branch)  # every listed record hidden: the first visible lies further down
        if newest is None:
            return None
        wanted = newest.config["configurable"]["checkpoint_id"]
    held = branch.timeline.parent if branch.point_id == wanted else None
    chain.list_from(None if held is None else held + 1, [wanted], _first_page(reads, chain, held))
    got = chain.record_of(wanted)
    if got is not None and not chain.low <= got[0].seq <= chain.high:
        chain.list_from(got[0].seq)
    return got


def _first_page(reads: Reads, chain: _Chain, start: int | None) -> int:
    """Records of a walk's first listing, from record `start` down: to where the timeline's last walk
    ended and the record below it (the parent the walk resolves last), when that walk ended below
    `start` under the same incarnation; else `_FIRST_PAGE`."""
    reach = _reaches(reads).get(chain.name)
    if start is None or reach is None or reach[0] != chain.incarnation or reach[1] > start:
        return _FIRST_PAGE
    return max(_LEAST_PAGE, min(start - reach[1] + 2, _MOST_PAGE))


def _reached(reads: Reads, name: str, incarnation: int | None, seq: int) -> None:
    reaches = _reaches(reads)
    if len(reaches) >= _REACHES_KEPT and name not in reaches:
        reaches.clear()  # a bound, not a policy: a running graph's next walk sets its own again
    reaches[name] = (incarnation, seq)


def _reaches(reads: Reads) -> dict[str, tuple[int | None, int]]:
    """The saver's record of where each timeline's last walk ended: (incarnation, lowest seq visited)."""
    reaches = reads.__dict__.get("_history_reaches")
    if reaches is None:
        reaches = reads.__dict__.setdefault("_history_reaches", {})
    return reaches


def _undecodable(branch: Branch, checkpoint: str, channel: str) -> Exception:
    return CheckpointDecodeError(branch.thread_id, branch.ns, checkpoint, f"channel {channel!r}")


def _seed_values(reads: Reads, chain: _Chain, seeds: Mapping[str, StoredRecord]) -> dict[str, Any]:
    """The seeds decoded as `get_tuple` decodes the channel values of the records they lie in."""
    out: dict[str, Any] = {}
    by_record: dict[int, list[str]] = {}
    for ch, row in seeds.items():
        by_record.setdefault(row.seq, []).append(ch)
    branch = chain.branch
    for seq, names in by_record.items():
        row, head = chain.rows[seq]
        state = chain.state(row)
        only = State(
            {},
            {},
            {ch: state.values[ch] for ch in names if ch in state.values},
            {ch: state.lists[ch] for ch in names if ch in state.lists},
        )
        on_error = functools.partial(_undecodable, branch, chain._id_of(head))
        loads = reads.serde.loads_typed
        out.update(channel_values(only, loads, on_error, reads._plain_msgpack(), for_saver(reads)))
    return out

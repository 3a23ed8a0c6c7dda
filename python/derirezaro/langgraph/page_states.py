"""The states of a page of listed checkpoints, replayed forward once from the nearest state at hand.

A listing needs each listed checkpoint's whole state. Checked out one at a
time, each costs reads of its own (what the log vouches for, its header, its
chain from the nearest point below it) and a replay of that chain, though a
page's records are mostly one run of deltas, the newest one's chain holding
all the others. Here the page's records of each keyframe come from one range
read, from the nearest point the timeline keeps below the oldest of them up to
the newest, and are replayed oldest first, each from its parent's state: the
run is read and replayed once, whatever the page's size.

Unvouched, as every read of a listing: the caller vouches for the incarnation
afterwards. A record this does not reach (a fork whose parent lies below the
range read, a record pruned or damaged meanwhile) is left out, and the caller
checks it out alone, which tells a race from damage.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from .._core import Snapshot
from ..persist.errors import CorruptRecordError
from ..persist.record import StoredRecord
from ..persist.replay import Point, Replay
from ..persist.timeline import Timeline

_GAP = 32  # records between two ranges read along with them, to read both at once
_LOOK_BELOW = 256  # records searched below a page for a state kept on its run (points come every 64)


def replayed(log: Any, timeline: Timeline, name: str, rows: Iterable[StoredRecord]) -> dict[int, Snapshot]:
    """Snapshots of the records `rows` (headers) by seq: those this reaches.

    Each keyframe's records replay from the nearest point kept below the oldest
    of them (or the keyframe). Ranges that follow each other closely, as the
    keyframes of one run of steps do, are one read; any other is read alone and
    only its keyframe's records (a fork's keyframe may lie far below the page).
    """
    by_base: dict[int, set[int]] = {}
    for row in rows:
        by_base.setdefault(row.base, set()).add(row.seq)
    runs = []  # (first seq to read, last, keyframe, the point it starts from, the records wanted)
    for base, wanted in by_base.items():
        start = _kept_below(timeline, base, min(wanted))
        runs.append((base if start is None else start.seq + 1, max(wanted), base, start, wanted))
    runs.sort(key=lambda run: run[0])
    out: dict[int, Snapshot] = {}
    while runs:
        together = [runs.pop(0)]
        last = together[0][1]
        while runs and last < runs[0][0] <= last + 1 + _GAP:
            together.append(runs.pop(0))
            last = together[-1][1]
        only = together[0][2] if len(together) == 1 else None
        try:
            read = log.read(name, together[0][0], last, base=only)
        except CorruptRecordError:
            continue  # each checkout tells damage from a prune or drop since the listing
        for first, high, base, start, wanted in together:
            chain = [row for row in read if row.base == base and first <= row.seq <= high]
            try:
                out.update(_run(name, base, start, chain, wanted))
            except CorruptRecordError:
                continue  # as above
    return out


def _run(
    name: str, base: int, start: Point | None, rows: list[StoredRecord], wanted: set[int]
) -> dict[int, Snapshot]:
    """The states of the records `wanted`, all of keyframe `base`, replayed along `rows` (ascending)
    from `start`, or from the keyframe."""
    points: dict[int, Point] = {} if start is None else {start.seq: start}
    replay = Replay(name)
    at = None  # the record whose state `replay` holds
    out: dict[int, Snapshot] = {}
    for row in rows:  # oldest first: a parent is replayed before its children
        if row.seq == base:
            replay.start_at_keyframe(row)
        else:
            if row.parent != at:
                parent = points.get(row.parent) if row.parent is not None else None
                if parent is None:
                    continue  # a fork from below the range: not reached
                replay.start_at(parent)
            replay.apply_all([row])
        snapshot = replay.finish(row)
        at = row.seq
        points[row.seq] = Point(row.seq, snapshot, replay.digest, base, 0, 0, 0)
        if row.seq in wanted:
            out[row.seq] = snapshot
    return out


def _kept_below(timeline: Timeline, base: int, low: int) -> Point | None:
    """The nearest state the timeline keeps below record `low` on keyframe `base`'s run, if any within
    `_LOOK_BELOW` records: a fork from far below has its run's records spread over the whole thread
    between, and a search that long per page would make a listing quadratic; the keyframe serves."""
    for seq in range(low - 1, max(base, low - 1 - _LOOK_BELOW) - 1, -1):
        point = timeline.kept_point(seq)
        if point is not None and point.keyframe == base:
            return point
    return None

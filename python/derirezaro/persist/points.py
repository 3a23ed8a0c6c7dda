"""The states a timeline keeps in memory: recent points by seq and id, and anchors along each run.

A point is a record's snapshot plus what the next commit needs of it (see
`replay.Point`). The cache holds the `size` most recent points, the oldest
first to go, so checking out a recent record is a dictionary lookup. Apart
from those it keeps as many anchors: the points every `every` records into a
run (a keyframe's included), left by commits and by replays on their way. A
record the cache no longer holds replays from the nearest anchor below it,
at most `every` - 1 records, as long as the anchors reach back to it. A
snapshot shares what has not changed with the store, so an anchor costs only
what changed since it.

Every point is of one incarnation of the timeline: within it a seq names one
record for good, so a point stays true until the owner sees another
incarnation and calls `clear`. Not thread-safe: the owner holds its lock
around every call but `get`, a single dict lookup.
"""

from __future__ import annotations

from .replay import Point


class Points:
    __slots__ = ("_by_ref", "_seqs", "_anchors", "_size", "_every")

    def __init__(self, size: int, every: int) -> None:
        self._by_ref: dict[int | str, Point] = {}  # seq, and the record's id -> point
        self._seqs: dict[int, str] = {}  # seq -> its id; insertion order is age
        self._anchors: dict[int, Point] = {}  # seq -> point; insertion order is age
        self._size, self._every = size, every

    def get(self, ref: int | str) -> Point | None:
        """The point of record `ref` (a seq or an id), recent or anchored, if kept."""
        point = self._by_ref.get(ref)
        if point is None and type(ref) is int:
            point = self._anchors.get(ref)
        return point

    def all(self) -> list[Point]:
        """Every point kept, for a replay to start from the nearest."""
        return [*self._by_ref.values(), *self._anchors.values()]

    def remember(self, point: Point, id: str | None) -> None:
        """Keep `point` (its record's chosen id `id`) as the most recent; anchor it if due."""
        if not point.run_length % self._every:
            self.anchor(point)
        seq, seqs, by_ref = point.seq, self._seqs, self._by_ref
        if seq in seqs:
            return
        while len(seqs) >= self._size:  # `_forget`, inlined: every commit ages one point out
            old_seq, old_id = next(iter(seqs.items()))
            del seqs[old_seq]
            by_ref.pop(old_seq, None)
            by_ref.pop(old_id, None)
        key = str(seq) if id is None else id
        seqs[seq] = key
        by_ref[seq] = by_ref[key] = point

    def anchor(self, point: Point) -> None:
        """Keep `point` as an anchor if it lies at an anchor's place in its run."""
        if point.run_length % self._every or point.seq in self._anchors:
            return
        while len(self._anchors) >= self._size:
            del self._anchors[next(iter(self._anchors))]
        self._anchors[point.seq] = point

    def drop_below(self, first: int) -> None:
        """Forget the points of records a prune removed."""
        for seq, id in [(s, i) for s, i in self._seqs.items() if s < first]:
            self._forget(seq, id)
        for seq in [s for s in self._anchors if s < first]:
            del self._anchors[seq]

    def keep_only(self, seq: int) -> None:
        """Forget every point but record `seq`'s (benchmarks and tests measure cold reads so)."""
        kept = self._by_ref.get(seq) or self._anchors.get(seq)
        self.clear()
        if kept is not None:
            self._anchors[seq] = kept

    def clear(self) -> None:
        self._by_ref.clear()
        self._seqs.clear()
        self._anchors.clear()

    def _forget(self, seq: int, id: str) -> None:
        del self._seqs[seq]
        self._by_ref.pop(seq, None)
        self._by_ref.pop(id, None)

"""From stored records back to a state: chain walking, delta application, digest checks.

Replay works on a scratch `Store`, so it can start from any state the
timeline still holds as a snapshot (restore is O(1)) and hand back a snapshot
of where it ends. Only the entries the deltas touch are read and hashed, so a
replay costs what the chain changed, plus, when it starts at the keyframe,
one `set` per entry of the keyframe.

The records a replay is given wait until its state is asked for, and are
then replayed in one call to the native code (`derirezaro._replay`, the
only implementation of the record checks and of replay), which names the
fault it finds (persist/faults.py). `verify` replays each step, a digest
check after every record, to name the first wrong one.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass

from .._core import Snapshot, Store
from .._replay import replay_chain
from .body import COMPRESSED, decompress
from .errors import CorruptRecordError
from .faults import raise_fault
from .record import DELTA, FORMAT, KEYFRAME, StoredRecord


@dataclass(slots=True)
class Point:
    """A state a timeline can build on: a record's snapshot and what the next commit needs of it."""

    seq: int
    snapshot: Snapshot
    digest: int  # unsigned, modulo 2^64
    keyframe: int  # seq of the keyframe its chain starts at
    run_length: int  # deltas since that keyframe
    run_bytes: int  # their body bytes
    keyframe_bytes: int  # that keyframe's body bytes: what the next one will about cost


def chain_of(
    timeline: str, rows: Iterable[StoredRecord], target: int, after: int | None = None
) -> list[StoredRecord]:
    """The records from `target`'s keyframe to `target`, oldest first.

    With `after`, an ancestor of `target`, the records after it instead.
    `rows` is a range read that holds them (and may hold records of other
    branches). A parent that is not among them is a missing record.
    """
    if _is_linear_chain(rows, target, after):
        return rows if isinstance(rows, list) else list(rows)
    by_seq = {row.seq: row for row in rows}
    row = by_seq.get(target)
    if row is None:
        raise CorruptRecordError(timeline, target, "record missing from its chain")
    chain = [row]
    while row.kind != KEYFRAME:
        parent = row.parent
        if parent == after:
            break
        if parent is None or parent >= row.seq:
            raise CorruptRecordError(timeline, row.seq, "inconsistent header")
        found = by_seq.get(parent)
        if found is None or found.base != row.base:
            raise CorruptRecordError(timeline, row.seq, f"parent record {parent} is missing")
        row = found
        chain.append(row)
    chain.reverse()
    return chain


def _is_linear_chain(rows: Iterable[StoredRecord], target: int, after: int | None) -> bool:
    """Whether `rows` is the whole chain already: the common case, a timeline that never branched."""
    if not isinstance(rows, list) or not rows or rows[-1].seq != target:
        return False
    first = rows[0]
    if first.kind != (KEYFRAME if after is None else DELTA) or (after is not None and first.parent != after):
        return False
    pairs = zip(rows, rows[1:], strict=False)
    return all(later.parent == earlier.seq and later.kind == DELTA for earlier, later in pairs)


class Replay:
    """Replays a chain's records onto a scratch store, natively, and tracks the state digest.

    The records given wait until the state is asked for (`finish`), and are
    then replayed in one native call. Without `each_step` their changes are
    merged into one net change, applied once and checked against the last
    record's digest: what makes the returned state trustworthy (a wrong delta
    that a later one overwrites does not change it) at one store write per
    entry touched, not per record. With `each_step` (verify) the keyframe's
    digest is checked against its entries and every record's after it, to
    name the first wrong record.
    """

    def __init__(self, timeline: str, *, each_step: bool = False) -> None:
        self.timeline = timeline
        self.each_step = each_step
        self.store = Store(max_history=0)
        self.digest = 0
        # Records given but not yet replayed, and whether the first of them is a keyframe
        # that replaces the state (else they continue the store's state, of `digest`).
        self._pending: list[StoredRecord] = []
        self._from_keyframe = False

    def start_at(self, point: Point) -> None:
        self.store.restore(point.snapshot)
        self.digest = point.digest
        self._pending, self._from_keyframe = [], False

    def start_at_keyframe(self, row: StoredRecord) -> None:
        self._pending, self._from_keyframe = [row], True

    def apply_all(self, rows: list[StoredRecord]) -> None:
        self._pending += rows

    def finish(self, row: StoredRecord) -> Snapshot:
        """Replay the records given, checked against `row`'s digest (the last of them), and snapshot it."""
        rows, self._pending = self._pending, []
        if rows:
            assert rows[-1] is row
            result = replay_chain(
                self.store,
                self.timeline,
                rows,
                _inflated(self.timeline, rows),
                self.digest,
                self._from_keyframe,
                FORMAT,
                self.each_step,
            )
            if not isinstance(result, int):
                raise_fault(self.timeline, result, FORMAT)
            self.digest = result
        self._from_keyframe = False
        return self.store.snapshot()


def _inflated(timeline: str, rows: list[StoredRecord]) -> list[bytes | bytearray | None]:
    """What each compressed body holds (None beside the others): zlib is Python's, the rest native."""
    inflated: list[bytes | bytearray | None] = []
    for row in rows:
        if row.body and row.body.startswith(COMPRESSED):
            try:
                inflated.append(decompress(row.body))
            except ValueError as exc:
                raise CorruptRecordError(timeline, row.seq, f"undecodable body ({exc})") from None
        else:
            inflated.append(None)
    return inflated

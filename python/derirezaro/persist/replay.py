"""From stored records back to a state: chain walking, delta application, digest checks.

Replay works on a scratch `Store`, so it can start from any state the
timeline still holds as a snapshot (restore is O(1)) and hand back a snapshot
of where it ends. Only the entries the deltas touch are read and hashed, so a
replay costs what the chain changed, plus, when it starts at the keyframe,
one `set` per entry of the keyframe.

The records a replay is given wait until its state is asked for, and are
then replayed in one call to the native path (`derirezaro._replay`), which
makes every check and names the fault it finds (persist/faults.py). The one
run it leaves to the code below is a sound one whose body its reader does
not vouch for (a body no commit of this code writes, or one that does not
inflate): that run is replayed here from the same start. `verify` replays
each step, a digest check after every record, to name the first wrong one.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

from .._core import Snapshot, Store
from .._replay import replay_chain
from .body import COMPRESSED, decompress
from .errors import CorruptRecordError
from .faults import UNVOUCHED_BODY, raise_fault
from .record import (
    DELTA,
    DIGEST_MASK,
    FORMAT,
    KEYFRAME,
    State,
    StoredRecord,
    check_body,
    entry_hash,
    stored_digest,
)

_MASK = DIGEST_MASK
_ABSENT = object()
_REMOVED = object()


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
    """Applies a chain's records to a scratch store and tracks the state digest.

    The records given wait until the state is asked for (`finish`), and are
    then replayed in one native call. With `each_step`, the keyframe's digest
    is checked against its entries and every record's digest after it (verify
    does this, to name the first wrong record). Otherwise the records are
    merged into one net change, which is applied, hashed and checked against
    the last record's digest once: that is what makes the returned state
    trustworthy (a wrong delta that a later one overwrites does not change
    it), and it costs one store write per entry touched, not per record.
    """

    def __init__(self, timeline: str, *, each_step: bool = False) -> None:
        self.timeline = timeline
        self.each_step = each_step
        self.store = Store(max_history=0)
        self.digest = 0
        # namespace -> key -> value after the records merged so far (or _REMOVED)
        self._net: dict[str, dict[str, Any]] = {}
        self._seq = 0  # the last record merged, named if the net change turns out undecodable
        # Records given but not yet replayed, a keyframe to start from among them, and the
        # state they apply to otherwise.
        self._keyframe: StoredRecord | None = None
        self._pending: list[StoredRecord] = []
        self._start: Snapshot | None = None

    def start_at(self, point: Point) -> None:
        self.store.restore(point.snapshot)
        self.digest = point.digest
        self._net.clear()
        self._keyframe, self._pending, self._start = None, [], point.snapshot

    def start_at_keyframe(self, row: StoredRecord) -> None:
        self._net.clear()
        self._keyframe, self._pending = row, []

    def apply(self, row: StoredRecord) -> None:
        self._pending.append(row)

    def apply_all(self, rows: list[StoredRecord]) -> None:
        self._pending += rows

    def finish(self, row: StoredRecord) -> Snapshot:
        """Check the state against `row`'s digest (the last record applied) and snapshot it."""
        if self._keyframe is not None or self._pending:
            self._replay_pending()
        self._flush()
        if stored_digest(self.digest, row.kind) != row.digest:
            raise CorruptRecordError(self.timeline, row.seq, "state digest mismatch after replay")
        self._start = self.store.snapshot()
        return self._start

    def _replay_pending(self) -> None:
        keyframe, pending = self._keyframe, self._pending
        self._keyframe, self._pending = None, []
        rows = pending if keyframe is None else [keyframe, *pending]
        inflated = _inflated(rows)
        if inflated is not None:
            result = replay_chain(
                self.store,
                self.timeline,
                rows,
                inflated,
                self.digest,
                keyframe is not None,
                FORMAT,
                self.each_step,
            )
            if isinstance(result, int):
                self.digest = result
                return
            if result[0] != UNVOUCHED_BODY:
                raise_fault(self.timeline, result, FORMAT)
            del inflated  # the reference inflates again: one inflated copy at a time
        if keyframe is None:  # the reference replays from the same start
            assert self._start is not None  # set by start_at or the last finish
            self.store.restore(self._start)
        if keyframe is not None:
            self._fill(keyframe, check_digest=self.each_step)
        for row in pending:
            self._merge(row)
            if self.each_step:
                self._flush()
                if stored_digest(self.digest, DELTA) != row.digest:
                    raise CorruptRecordError(self.timeline, row.seq, "state digest mismatch after replay")

    def _fill(self, row: StoredRecord, *, check_digest: bool = False) -> None:
        state, _ = check_body(self.timeline, row)
        self.store.clear()
        try:
            fill(self.store, state)
        except (TypeError, ValueError) as exc:
            raise CorruptRecordError(self.timeline, row.seq, f"unstorable entry ({exc})") from None
        self.digest = row.digest & _MASK
        if check_digest and state_digest(state) != self.digest:
            raise CorruptRecordError(self.timeline, row.seq, "state digest mismatch")

    def _merge(self, row: StoredRecord) -> None:
        sets, removes = check_body(self.timeline, row)
        self._seq = row.seq
        net = self._net
        for namespace, keys in removes.items():
            changes = net.setdefault(namespace, {})
            for key in keys:
                present = (
                    changes[key] is not _REMOVED if key in changes else self.store.contains(namespace, key)
                )
                if not present:
                    raise CorruptRecordError(self.timeline, row.seq, f"removes {namespace!r}/{key!r}, absent")
                changes[key] = _REMOVED
        for namespace, entries in sets.items():
            net.setdefault(namespace, {}).update(entries)

    def _flush(self) -> None:
        """Apply the net change to the store, updating the digest entry by entry."""
        store, digest = self.store, self.digest
        try:
            for namespace, changes in self._net.items():
                for key, value in changes.items():
                    old = store.get(namespace, key, _ABSENT)
                    if old is not _ABSENT:
                        digest -= entry_hash(namespace, key, old)
                    if value is _REMOVED:
                        store.delete(namespace, key)
                    else:
                        store.set(namespace, key, value)
                        digest += entry_hash(namespace, key, value)
        except (TypeError, ValueError) as exc:
            raise CorruptRecordError(self.timeline, self._seq, f"unstorable entry ({exc})") from None
        self.digest = digest & _MASK
        self._net.clear()


def _inflated(rows: list[StoredRecord]) -> list[bytes | None] | None:
    """What each compressed body holds (None beside the others); None if one does not decompress."""
    try:
        return [
            decompress(row.body) if row.body and row.body.startswith(COMPRESSED) else None for row in rows
        ]
    except ValueError:
        return None


def state_digest(state: State) -> int:
    total = sum(entry_hash(ns, key, value) for ns, entries in state.items() for key, value in entries.items())
    return total & _MASK


def fill(store: Store, state: State) -> None:
    for namespace, entries in state.items():
        for key, value in entries.items():
            store.set(namespace, key, value)

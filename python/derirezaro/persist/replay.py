"""From stored records back to a state: chain walking, delta application, digest checks."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass

from .._core import Snapshot, Store, loads
from .errors import CorruptRecordError
from .record import KEYFRAME, State, StoredRecord, check_body, entry_hash


@dataclass(slots=True)
class Point:
    """A state a timeline can build on: a record's snapshot and what the next commit needs of it."""

    seq: int
    snapshot: Snapshot
    digest: int  # unsigned, modulo 2^64
    keyframe: int  # seq of the keyframe its chain starts at
    run_length: int  # deltas since that keyframe
    run_bytes: int  # their body bytes


def chain_of(timeline: str, rows: Iterable[StoredRecord], target: int) -> list[StoredRecord]:
    """The records from `target`'s keyframe to `target`, oldest first.

    `rows` is a range read that holds them (and may hold records of other
    branches). A parent that is not among them is a missing record.
    """
    by_seq = {row.seq: row for row in rows}
    row = by_seq.get(target)
    if row is None:
        raise CorruptRecordError(timeline, target, "record missing from its chain")
    chain = [row]
    while row.kind != KEYFRAME:
        parent = row.parent
        if parent is None or parent >= row.seq:
            raise CorruptRecordError(timeline, row.seq, "inconsistent header")
        found = by_seq.get(parent)
        if found is None or found.base != row.base:
            raise CorruptRecordError(timeline, row.seq, f"parent record {parent} is missing")
        row = found
        chain.append(row)
    chain.reverse()
    return chain


def replay(timeline: str, chain: list[StoredRecord], *, check_keyframe: bool = False) -> tuple[State, int]:
    """Apply a chain (keyframe first) and return the state and its digest.

    Each record's stored digest must match the one its delta leads to. The
    keyframe's own digest is trusted to its CRC here, since recomputing it costs
    a hash per entry of the state; `verify` asks for that check.
    """
    keyframe = chain[0]
    state, _ = check_body(timeline, keyframe)
    digest = keyframe.digest & _MASK
    if check_keyframe and state_digest(state) != digest:
        raise CorruptRecordError(timeline, keyframe.seq, "state digest mismatch")
    for row in chain[1:]:
        sets, removes = check_body(timeline, row)
        digest = _apply(timeline, row.seq, state, digest, sets, removes)
        if digest != row.digest & _MASK:
            raise CorruptRecordError(timeline, row.seq, "state digest mismatch after replay")
    return state, digest


_MASK = (1 << 64) - 1


def _apply(
    timeline: str, seq: int, state: State, digest: int, sets: State, removes: dict[str, list[str]]
) -> int:
    for namespace, keys in removes.items():
        entries = state.get(namespace, {})
        for key in keys:
            old = entries.pop(key, None)
            if old is None:
                raise CorruptRecordError(timeline, seq, f"removes {namespace!r}/{key!r}, which is absent")
            digest -= entry_hash(namespace, key, old)
    for namespace, changes in sets.items():
        entries = state.setdefault(namespace, {})
        for key, value in changes.items():
            old = entries.get(key)
            if old is not None:
                digest -= entry_hash(namespace, key, old)
            entries[key] = value
            digest += entry_hash(namespace, key, value)
    return digest & _MASK


def state_digest(state: State) -> int:
    return (
        sum(entry_hash(ns, key, value) for ns, entries in state.items() for key, value in entries.items())
        & _MASK
    )


def materialize(state: State) -> Snapshot:
    """A snapshot holding `state`, built in a store of its own."""
    scratch = Store(max_history=0)
    for namespace, entries in state.items():
        for key, value in entries.items():
            scratch.set(namespace, key, loads(value))
    return scratch.snapshot()


def point_of(timeline: str, chain: list[StoredRecord]) -> Point:
    state, digest = replay(timeline, chain)
    deltas = chain[1:]
    return Point(
        chain[-1].seq,
        materialize(state),
        digest,
        chain[0].seq,
        len(deltas),
        sum(row.body_size for row in deltas),
    )

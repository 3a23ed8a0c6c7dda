"""The contract between a timeline and the place its records live: everything a log must keep.

A log stores `StoredRecord`s per timeline name and knows nothing of what they
mean beyond the fields below. This module is the whole contract: a new log is
one file that implements `Log` as stated here, and the tests' log fixture runs
the same model and race tests over it.

The rules every log keeps:

1. **The log vouches for each timeline.** Beside the timeline's name it keeps
   a `TimelineHead`: an incarnation, the head's seq and crc, and the oldest
   kept seq. The incarnation is assigned when the timeline is created (its
   first append) and is never reused by this log, so a timeline dropped and
   written anew is told apart from the old one even at the same seqs. The
   `TimelineHead` is written by the same transaction, script or lock as each
   append and each prune, so it is never out of step with the records.
   Readers check what they read against it: a record at or between `first`
   and `seq` that the log does not return is damage, never a shorter
   timeline.
2. **Compare-and-set of the head.** `append` writes only if the timeline's
   head is the one the writer built on, so seqs are dense: each append is the
   head plus one.
3. **A delta lands only while its keyframe is stored** (`record.base >=
   first`): a chain is never extended from a keyframe a prune has dropped.
4. **Prune is one atomic step and keeps every live chain.** The cutoff is
   chosen inside the same transaction, script or lock as the delete, and no
   record at or above the cutoff has its keyframe (`base`) below it, forks
   included. The head is never pruned. A prune given an incarnation leaves
   a timeline that is not (or no longer) of it exactly as it is, its
   attachments included, and returns `Pruned(0, 0)`: what a caller read to
   choose the cutoff and the keys never reaches a timeline dropped and
   written anew. What a prune removed is counted in the same step, so the
   count is exact even with other writers about.
5. **Unknown outcomes are safe to retry.** An append whose record (same seq,
   id and crc) is already stored returns success and stores nothing, so a
   writer whose connection broke after the append landed learns it on retry.
6. **Attachments** are small entries kept beside a timeline's records under
   string keys (a LangGraph saver keeps a checkpoint's pending writes and
   marks there, keyed by checkpoint id). An entry is `(task, idx, blob)`. One
   rule, kept by every log: an entry with `idx >= 0` is stored only if its
   `(task, idx)` is new under its key (the first wins, so a retried task
   cannot change what a reader already saw); an entry with `idx < 0`
   replaces the one stored under its `(task, idx)`. The entries of a key
   come back in no set order (a reader that needs one sorts them). Attachments may be written before the
   timeline's first record (they do not create it: `head()` stays None);
   they go with `drop()`, with `detach()`, and with a prune's `detach` keys
   in the same atomic step. Entries given to `append` are written in the same
   transaction, script or lock as the record, so a record is never seen
   without them.
7. **Errors say what happened**, and nothing else is raised for these cases
   (see `errors`): `ConflictError` when the writer lost the race (nothing
   written); `CorruptRecordError` when what is stored is damaged or
   contradicts itself (naming the timeline and what is missing), including a
   store whose own integrity checks fail; `UnavailableError` when the server
   or file is away or refuses the operation (full, read-only, out of memory,
   busy), carrying its message; `ValueError` for a closed log or a chosen id
   the timeline already holds at another seq. A read never reports damage
   for a record that a concurrent prune or drop removed: records below
   `first`, or of an incarnation that is gone, are simply not returned.

Every method is safe to call from several threads; an implementation that
spans processes makes each call atomic across them. No method leaves a lock
or transaction open when it returns, since callers yield between calls. The
cost of a call follows what it reads or writes, never the size of the log.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from math import isfinite
from typing import NamedTuple, Protocol

from .record import StoredRecord

Entry = tuple[str, int, bytes]  # an attachment entry: task, idx, blob


class TimelineHead(NamedTuple):
    """What a log vouches for one timeline."""

    incarnation: int  # assigned at creation, never reused by this log
    seq: int  # the newest record's seq
    crc: int  # the newest record's crc (signed 32-bit, as stored)
    first: int  # the oldest kept record's seq


class Opening(NamedTuple):
    """One read of what the log vouches for, the head's chain and the attachments asked for."""

    head: TimelineHead | None
    chain: list[StoredRecord]  # full records from the head's keyframe to the head, of its base, ascending
    found: dict[str, list[Entry]]  # the attachments under the head's chosen id and the keys asked for


class Pruned(NamedTuple):
    """What one prune removed: records, and the bytes of their bodies (what they stored, compressed)."""

    records: int
    bytes: int


def check_append(timeline: str, record: StoredRecord, expected: TimelineHead | None) -> None:
    """Raise `ValueError` unless `record` can follow `expected`: every log's `append` checks this first.

    A log that skips the call for a record whose seq follows `expected`, that has a body and a
    finite timestamp, skips nothing this checks.
    """
    if record.seq != (1 if expected is None else expected.seq + 1):
        after = "the first record" if expected is None else f"the record after {expected.seq}"
        raise ValueError(f"timeline {timeline!r}: record {record.seq} cannot be {after}")
    if expected is None and record.base != record.seq:
        raise ValueError(f"timeline {timeline!r}: the first record must be a keyframe")
    if record.body is None:
        raise ValueError(f"timeline {timeline!r}: record {record.seq} has no body to store")
    if not isfinite(record.timestamp):  # SQLite would store NaN as NULL, which its column refuses
        raise ValueError(
            f"timeline {timeline!r}: record {record.seq} has a timestamp that is not a finite number"
            f" ({record.timestamp!r})"
        )


def check_entries(key: object, entries: Sequence[Entry]) -> None:
    """Raise `TypeError` unless `key` and `entries` are what an attachment stores: a log that keeps
    entries as they are given (in memory) checks this, as one that encodes them refuses them."""
    if not isinstance(key, str):
        raise TypeError(f"an attachment key is a str, not {key!r}")
    for entry in entries:
        if (
            type(entry) is not tuple
            or len(entry) != 3
            or type(entry[0]) is not str
            or type(entry[1]) is not int
            or not isinstance(entry[2], (bytes, bytearray))
        ):
            raise TypeError(f"an attachment entry is (task: str, idx: int, blob: bytes), not {entry!r}")
        check_idx(entry[1])


def check_idx(idx: int) -> None:
    """Raise `ValueError` unless an attachment entry's idx is an int of 64 bits, the widest any log
    stores (the PostgreSQL log's column holds 32, and it refuses the rest before writing)."""
    if not -(1 << 63) <= idx < 1 << 63:
        raise ValueError(f"an attachment entry's idx is an int of 64 bits, not {idx}")


def check_prune(keep_last: int, keep_from: int | None = None) -> None:
    """Raise `TypeError` unless `keep_last` (and `keep_from`, when given) is an int, and `ValueError`
    unless `keep_last` keeps the head: every log's `prune` checks this first.

    A seq between two ints would move the cutoff off the seqs, where a log counts what it removed
    against what it should have and tells damage from the difference.
    """
    for name, value in (("keep_last", keep_last), ("keep_from", 0 if keep_from is None else keep_from)):
        if not isinstance(value, int) or isinstance(value, bool):
            raise TypeError(f"{name} must be an int, not {value!r}")
    if keep_last < 1:
        raise ValueError(f"keep_last must be at least 1 (the head is always kept), not {keep_last!r}")


class Log(Protocol):
    def head(self, timeline: str) -> TimelineHead | None:
        """What the log vouches for `timeline`, or None when it holds no such timeline.

        Raises `CorruptRecordError` when the log holds records of the timeline
        but nothing that vouches for them, or a voucher it cannot read.
        """
        ...

    def append(
        self,
        timeline: str,
        record: StoredRecord,
        expected: TimelineHead | None,
        attach: Mapping[str, Sequence[Entry]] | None = None,
    ) -> TimelineHead:
        """Store `record` if the timeline is still `expected`; return what the log vouches for now.

        `attach`: entries stored with the record, atomically, by the attachment rule.

        `expected` None: the timeline must not exist; it is created with a new
        incarnation, and `record` (seq 1, a keyframe) is its first record.
        Otherwise the log's head must have `expected`'s incarnation, seq and
        crc, and `record.seq` is `expected.seq + 1`. A delta also needs its
        keyframe stored (`record.base >= first`).

        If `record` itself is already stored (same seq, id and crc, in the
        incarnation `expected` names, or in any when `expected` is None), as
        after a retry whose first attempt did land, store nothing and return
        the head as that first attempt left it (`record`'s seq and crc, even
        if other appends came after it, so the writer's next append
        conflicts). Otherwise, when the head is not the expected one, raise
        `ConflictError` and store nothing; `ValueError` if `record.id` is held
        by another record of the timeline.
        """
        ...

    def read(self, timeline: str, first: int, last: int, base: int | None = None) -> list[StoredRecord]:
        """Full records with `first <= seq <= last` (and this `base`, if given), in ascending seq.

        One consistent read: a concurrent append or prune is wholly in or out of it.
        """
        ...

    def headers(
        self, timeline: str, *, limit: int, before: int | None = None, id: str | None = None
    ) -> list[StoredRecord]:
        """Records without their bodies, newest first: up to `limit` with seq below `before`.

        With `id`, the record stored with that chosen id (at most one).
        """
        ...

    def prune(
        self,
        timeline: str,
        keep_last: int,
        keep_from: int | None = None,
        detach: Iterable[str] = (),
        incarnation: int | None = None,
    ) -> Pruned:
        """Remove old records and the attachments under `detach`, atomically; return what records went.

        The cutoff starts at the newest `keep_last` records' oldest seq (and no
        higher than `keep_from`, when given), then moves down until no record
        at or above it replays from a keyframe below it. Records below the
        cutoff go; `first` becomes the cutoff. A timeline that does not exist
        removes nothing. With `incarnation`, a timeline that is not of it (or
        does not exist) is left as it is, `detach` included. `Pruned(0, 0)`
        when no record went (detached attachments are not counted).
        """
        ...

    def listing(
        self, timeline: str, *, limit: int, before: int | None = None, keys: Iterable[str] = ()
    ) -> tuple[list[StoredRecord], dict[str, list[Entry]]]:
        """`headers(limit=, before=)`, and in the same consistent read the attachments under
        every listed record's chosen id and under `keys`: a page of a listing in one read.

        The dict holds only keys that have entries.
        """
        ...

    def opening(self, timeline: str, keys: Iterable[str] = ()) -> Opening:
        """What a reader opening `timeline` at its head needs, in one consistent read.

        `head()`; the full records `read(timeline, b, head.seq, base=b)` returns,
        where `b` is the head record's `base` (its keyframe); and the attachments
        under the head record's chosen id (if it has one) and under `keys`. A
        timeline that does not exist: `Opening(None, [], <attachments under keys>)`.
        A head record the log vouches for but does not hold is damage: the log
        raises `CorruptRecordError`, or returns a chain that does not end at the
        head and the caller raises. A log
        without a one-read form composes this from the other reads
        (`composed_opening`, `LogBase`'s default), which is consistent
        incarnation-wise only: the caller's replay tells a prune meanwhile.
        """
        ...

    def attach(self, timeline: str, key: str, entries: Sequence[Entry]) -> None:
        """Store `entries` under `key` by the attachment rule, atomically."""
        ...

    def attachments(self, timeline: str, keys: Iterable[str]) -> dict[str, list[Entry]]:
        """The entries under each of `keys` that has any (in no set order)."""
        ...

    def detach(self, timeline: str, keys: Iterable[str]) -> None:
        """Remove the entries under `keys`, atomically."""
        ...

    def drop(self, timeline: str) -> None:
        """Remove the whole timeline, its voucher and its attachments; its incarnation is never used again."""
        ...

    def timelines(self, prefix: str = "") -> list[str]:
        """The names, starting with `prefix`, of the timelines that hold records, sorted.

        Costs what the names under `prefix` cost (an index range), not a scan of the log.
        """
        ...

    def close(self) -> None:
        """Release the log's resources; the log is not used afterwards."""
        ...


def composed_opening(log: Log, timeline: str, keys: Iterable[str] = ()) -> Opening:
    """`Log.opening` from a log's other reads, for a log that has no one-read form of it.

    Read again until the incarnation is the same before and after, so the
    chain and attachments are of the incarnation the head names; a prune or
    commit meanwhile is the caller's to tell (a chain cut short by a prune
    fails its replay, which the caller classifies against the log's head).
    """
    asked = list(keys)
    while True:
        wanted = asked
        vouched = log.head(timeline)
        if vouched is None:
            found = log.attachments(timeline, wanted)
            if log.head(timeline) is None:
                return Opening(None, [], found)
            continue
        rows = log.headers(timeline, limit=1, before=vouched.seq + 1)
        chain: list[StoredRecord] = []
        if rows and rows[0].seq == vouched.seq:
            head = rows[0]
            chain = log.read(timeline, head.base, head.seq, base=head.base)
            if head.id is not None:
                wanted = [*wanted, head.id]
        found = log.attachments(timeline, wanted)
        now = log.head(timeline)
        if now is not None and now.incarnation == vouched.incarnation:
            return Opening(vouched, chain, found)

"""The contract between a timeline and the place its records live.

A log stores `StoredRecord`s per timeline name and knows nothing of what they
mean, except for the one rule that makes it safe to share: `append` writes a
record only if the timeline's head is still the one the writer built on. Seqs
are therefore dense: every append is the head plus one, and only `drop` with
`before` removes records, always a prefix, never the head.

Every method is safe to call from several threads; an implementation that
spans processes makes `append` atomic across them. No method leaves a lock or
transaction open when it returns, since callers yield between calls.
"""

from __future__ import annotations

from typing import Protocol

from .record import StoredRecord


class Log(Protocol):
    def append(
        self, timeline: str, expected_head: int, record: StoredRecord, head_crc: int | None = None
    ) -> int:
        """Store `record` (whose seq is `expected_head + 1`) if the head is `expected_head`.

        `expected_head` 0 means a timeline with no records. `head_crc`, when
        given, is the crc of the record the writer built on: the head must be
        that record, not another at the same seq (the timeline was dropped and
        written anew since). Return the record's seq. If the same record (same
        seq, id and crc) is already stored, as after a retry whose first
        attempt did land, return its seq and store nothing. Otherwise raise
        `ConflictError` and store nothing.
        """
        ...

    def read(self, timeline: str, first: int, last: int, base: int | None = None) -> list[StoredRecord]:
        """Full records with `first <= seq <= last` (and this `base`, if given), in ascending seq.

        One consistent read: a concurrent append or drop is wholly in or out of it.
        """
        ...

    def headers(
        self, timeline: str, *, limit: int, before: int | None = None, id: str | None = None
    ) -> list[StoredRecord]:
        """Records without their bodies, newest first: up to `limit` with seq below `before`.

        With `id`, the record stored with that chosen id (at most one).
        """
        ...

    def drop(self, timeline: str, before: int | None = None) -> None:
        """Remove the records with seq below `before`, or the whole timeline when `before` is None."""
        ...

    def timelines(self, prefix: str = "") -> list[str]:
        """The names, starting with `prefix`, of the timelines that hold records, sorted."""
        ...

    def close(self) -> None:
        """Release the log's resources; the log is not used afterwards."""
        ...

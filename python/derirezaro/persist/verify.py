"""Checking a whole timeline against what its log vouches for: `Timeline.verify`.

Every header from the vouched head down to the oldest kept record is read a
page at a time and checked; every gap between them, and a head that is not
the one vouched for, is damage; then every chain is replayed natively with a
digest check after each record. One error per damaged record (one per gap,
however long), so a damaged `first` cannot make this loop for ever. A prune
or drop by another writer meanwhile is not damage: what it removed is left
out.
"""

from __future__ import annotations

from .errors import CorruptRecordError
from .log import Log, TimelineHead
from .record import DELTA, StoredRecord, check_header
from .replay import Replay, chain_of

_PAGE = 256  # headers fetched per query


def verify_timeline(log: Log, name: str) -> list[CorruptRecordError]:
    """The damaged records of timeline `name`, oldest first; empty when it is sound."""
    problems: dict[int, CorruptRecordError] = {}
    try:
        vouched = log.head(name)
        if vouched is None:
            return []
        headers = _verified_headers(log, name, vouched, problems)
        _verify_chains(log, name, headers, problems)
        now = log.head(name)
    except CorruptRecordError as error:  # the log itself found damage it could not read past
        problems.setdefault(error.seq if error.seq is not None else 0, error)
        return [problems[seq] for seq in sorted(problems)]
    if now is None or now.incarnation != vouched.incarnation:
        return []  # dropped meanwhile: nothing of it is left to be damaged
    return [problems[seq] for seq in sorted(problems) if seq >= now.first]


def _headers(log: Log, name: str, before: int) -> list[StoredRecord]:
    """Every header below `before`, newest first, one query a page."""
    found: list[StoredRecord] = []
    while True:
        page = log.headers(name, limit=_PAGE, before=before)
        found += page
        if len(page) < _PAGE:
            return found
        before = page[-1].seq


def _verified_headers(
    log: Log, name: str, vouched: TimelineHead, problems: dict[int, CorruptRecordError]
) -> list[StoredRecord]:
    """Every header from the vouched head down to `first`, oldest first; gaps and damage noted."""
    headers: list[StoredRecord] = []
    for row in _headers(log, name, vouched.seq + 1):
        try:
            check_header(name, row)
            headers.append(row)
        except CorruptRecordError as error:
            problems.setdefault(row.seq, error)
    headers.reverse()
    newest = headers[-1] if headers else None
    if newest is None or (newest.seq, newest.crc) != (vouched.seq, vouched.crc):
        if vouched.seq not in problems:
            problems[vouched.seq] = CorruptRecordError(
                name, vouched.seq, "the head record the log vouches for is missing"
            )
    seqs = [vouched.first - 1, *sorted({*(row.seq for row in headers), *problems}), vouched.seq + 1]
    for older, newer in zip(seqs, seqs[1:], strict=False):
        if newer - older == 2:
            problems.setdefault(older + 1, CorruptRecordError(name, older + 1, "record missing"))
        elif newer - older > 2:
            what = f"records {older + 1} to {newer - 1} missing"
            problems.setdefault(older + 1, CorruptRecordError(name, older + 1, what))
    for older_row, newer_row in zip(headers, headers[1:], strict=False):
        if older_row.seq == newer_row.seq:
            problems.setdefault(newer_row.seq, CorruptRecordError(name, newer_row.seq, "stored twice"))
    return headers


def _verify_chains(
    log: Log, name: str, headers: list[StoredRecord], problems: dict[int, CorruptRecordError]
) -> None:
    """Replay every chain to each of its leaves, a digest check after every record."""
    groups: dict[int, list[StoredRecord]] = {}
    for row in headers:
        groups.setdefault(row.base, []).append(row)
    for base, group in groups.items():
        parents = {row.parent for row in group if row.kind == DELTA}
        rows = log.read(name, base, group[-1].seq, base=base)
        for leaf in (row for row in group if row.seq not in parents):
            try:
                chain = chain_of(name, rows, leaf.seq)
                replay = Replay(name, each_step=True)
                replay.start_at_keyframe(chain[0])
                replay.apply_all(chain[1:])
                replay.finish(chain[-1])
            except CorruptRecordError as error:
                problems.setdefault(error.seq if error.seq is not None else leaf.seq, error)

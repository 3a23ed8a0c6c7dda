"""Reading checkpoints: `get_tuple`, `list`, and the pages of a timeline's checkpoints beneath them.

A page is one `Log.listing` read: record headers newest first, with the
attachments (pending writes and marks) of the checkpoints they hold and the
floor mark. A record is listed when it is what its checkpoint is now
(`marks.holds`) and lies at or above the floor. The states of a page's
checkpoints come from one read of their run, replayed once (`page_states`).
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any, TypeVar

from langchain_core.runnables import RunnableConfig
from langgraph.checkpoint.base import CheckpointTuple, get_checkpoint_id
from langgraph.checkpoint.serde.jsonplus import JsonPlusSerializer

from .._core import Snapshot, loads
from ..persist.errors import CorruptRecordError, RecordNotFoundError
from ..persist.log import Entry
from ..persist.record import StoredRecord, check_header
from . import meta as meta_format
from .aio import AsyncMethods
from .branch import Branch, Branches, Opened, StaleBranch, indexable
from .decoded import for_saver
from .errors import CheckpointDecodeError, CorruptCheckpoint
from .layout import State, channel_values, derive, read_state
from .marks import DELETED, FLOOR, floor_of, holds, read_marks
from .meta import Head
from .naming import named
from .page_states import replayed
from .pending import PendingReader

T = TypeVar("T")
_PAGE = 32  # records listed per read, after a first page that may be smaller
_MOST_PAGE = 128  # records of a page when the listing's limit asks for more than `_PAGE`
Found = dict[str, list[Entry]]  # attachments read, by key
Page = list[tuple[Head, str]]  # listed records and the checkpoint ids they hold
Entries = list[Entry]
Meta = list[Any]
# A page as read: headers, the checkpoint ids they hold, attachments, and the marks of the incarnation
# it was read under (`marks.read_marks`).
Read = tuple[list[Head], list[str], Found, dict[str, str | int]]
ReadRows = tuple[list[StoredRecord], list[Head], list[str], Found, dict[str, str | int]]  # and the headers


def head_of(name: str, row: StoredRecord) -> Head:
    """A header as read from the log, checked, with its meta decoded."""
    check_header(name, row)
    try:
        meta = loads(row.meta)
    except ValueError as exc:
        raise CorruptRecordError(name, row.seq, f"undecodable meta ({exc})") from None
    return Head(row.seq, str(row.seq) if row.id is None else row.id, row.parent, row.timestamp, meta)


class Reads(AsyncMethods):
    log: Any
    branches: Branches
    pending: PendingReader
    _plain_for: Any = None
    _plain = False

    def _branch(self, thread_id: str, ns: str) -> Branch:
        try:
            return self.branches.get(thread_id, ns)
        except CorruptRecordError as exc:
            raise named(self.log, exc, thread_id, ns, None) from exc

    @staticmethod
    def _reset(branch: Branch) -> None:
        with branch.lock:
            branch.reset()

    def _afresh(self, branch: Branch, read: Callable[[], T]) -> T:
        """`read()`; once more from the log if the thread was dropped, rewritten or pruned under it."""
        try:
            return read()
        except (StaleBranch, RecordNotFoundError):
            self._reset(branch)
            return read()

    def get_tuple(self, config: RunnableConfig) -> CheckpointTuple | None:
        conf = config["configurable"]
        thread_id, ns = str(conf["thread_id"]), conf.get("checkpoint_ns", "")
        checkpoint_id = conf.get("checkpoint_id")
        try:
            branch, opened = self.branches.opened(thread_id, ns)
        except CorruptRecordError as exc:
            raise named(self.log, exc, thread_id, ns, None) from exc
        try:
            if checkpoint_id is None:
                if opened is not None and (got := self._opened_head(branch, opened)) is not None:
                    return got
                return self._afresh(branch, lambda: self._latest(branch))
            return self._afresh(branch, lambda: self._by_id(branch, checkpoint_id))
        except CorruptCheckpoint:
            raise
        except CorruptRecordError as exc:
            raise named(self.log, exc, thread_id, ns, checkpoint_id) from exc

    def list(
        self,
        config: RunnableConfig | None,
        *,
        filter: dict[str, Any] | None = None,
        before: RunnableConfig | None = None,
        limit: int | None = None,
    ) -> Iterator[CheckpointTuple]:
        conf = config["configurable"] if config else {}
        thread_id = None if conf.get("thread_id") is None else str(conf["thread_id"])
        only = conf.get("checkpoint_id")
        before_id = get_checkpoint_id(before) if before else None
        remaining = limit  # across every namespace listed
        for thread, ns in self.branches.names(thread_id, conf.get("checkpoint_ns")):
            if remaining is not None and remaining <= 0:
                return
            if only is not None:
                tup = self.get_tuple(
                    {"configurable": {"thread_id": thread, "checkpoint_ns": ns, "checkpoint_id": only}}
                )
                matches = tup is not None and (before_id is None or only < before_id)
                if matches and filter:
                    matches = all(tup.metadata.get(k) == v for k, v in filter.items())  # type: ignore[union-attr]
                tuples: Iterator[CheckpointTuple] = iter([tup] if matches else [])  # type: ignore[list-item]
            else:
                tuples = self._named_listing(self._branch(thread, ns), filter, before_id, remaining)
            for tup in tuples:
                if remaining is not None:
                    remaining -= 1
                yield tup

    def _named_listing(
        self, branch: Branch, filter: dict[str, Any] | None, before: str | None, limit: int | None
    ) -> Iterator[CheckpointTuple]:
        try:
            yield from self._listed(branch, filter, before, limit)
        except CorruptCheckpoint:
            raise
        except CorruptRecordError as exc:  # raised between two items, never across a yield
            raise named(self.log, exc, branch.thread_id, branch.ns, None) from exc

    def _listed(
        self, branch: Branch, filter: dict[str, Any] | None, before: str | None, limit: int | None
    ) -> Iterator[CheckpointTuple]:
        """The checkpoints of one timeline as tuples, newest first, `filter`ed, below `before`, up to `limit`.

        A page of tuples is given once the log vouches for the incarnation it
        was read under. Another writer that prunes the thread meanwhile ends the
        listing at the first record gone; one that deletes or rewrites it ends
        the listing with the pages given, as the thread was until then, or, if
        none was, makes it start again.
        """
        if limit is not None and limit <= 0:
            return
        count = 0
        for may_restart in (True, False):
            incarnation = branch.incarnation
            try:
                first_page = _PAGE if filter or limit is None else limit
                for page, found, rows in self._pages_with_rows(branch, incarnation, before, first_page):
                    tuples = []
                    try:
                        if filter:
                            page = self._matching(
                                branch, page, filter, None if limit is None else limit - count
                            )
                        wanted = page if limit is None else page[: limit - count]
                        snapshots = self._page_snapshots(branch, incarnation, wanted, rows)
                        # The state listed last and its snapshot: what the next one derives from.
                        near: tuple[State, Snapshot] | None = None
                        for head, checkpoint_id in page:
                            entries = found.get(checkpoint_id, [])
                            snapshot = snapshots.get(head.seq)
                            tuples.append(
                                self._tuple(branch, incarnation, head, entries, checkpoint_id, snapshot, near)
                            )
                            state = None if snapshot is None else branch.states.get((incarnation, head.seq))
                            near = None if state is None or snapshot is None else (state, snapshot)
                            if count + len(tuples) == limit:
                                break
                    except RecordNotFoundError:  # pruned since the page was read, or dropped: vouch tells
                        limit = count + len(tuples)
                    branch.vouch(incarnation)
                    count += len(tuples)
                    yield from tuples
                    if count == limit:
                        return
                return
            except StaleBranch:
                self._reset(branch)
                if count or not may_restart:
                    return

    def _matching(self, branch: Branch, page: Page, filter: dict[str, Any], most: int | None) -> Page:
        """The first `most` (all: None) checkpoints of `page` whose metadata `filter` matches; those after
        them are not decoded, as a listing that stops there never reads them."""
        matched: Page = []
        for head, checkpoint_id in page:
            if most is not None and len(matched) >= most:
                break
            _, metadata = self._meta(branch, checkpoint_id, head.meta)
            if all(metadata.get(k) == v for k, v in filter.items()):
                matched.append((head, checkpoint_id))
        return matched

    def _page_snapshots(
        self, branch: Branch, incarnation: int | None, page: Page, rows: dict[int, StoredRecord]
    ) -> dict[int, Snapshot]:
        """The snapshots of the listed records the timeline does not keep, from one read and one replay
        of their run (`page_states`); a record left out is checked out alone.

        Nothing if every state is decoded already; else the decoded ones are replayed too, as
        building the others may evict them from the branch's cache before their turn comes.
        """
        timeline = branch.timeline
        missing = [rows[head.seq] for head, _ in page if timeline.kept_point(head.seq) is None]
        if len(missing) < 2 or all(branch.states.get((incarnation, row.seq)) for row in missing):
            return {}  # one checkout costs no more
        return replayed(self.log, timeline, branch.name, missing)

    # -- pages -----------------------------------------------------------------------

    def _page(self, branch: Branch, incarnation: int | None, limit: int, before: int | None) -> Read:
        """Headers newest first, checked, the checkpoint ids they hold, their attachments, and the marks."""
        return self._page_rows(branch, incarnation, limit, before)[1:]

    def _page_rows(self, branch: Branch, incarnation: int | None, limit: int, before: int | None) -> ReadRows:
        """`_page`, with the records' headers as read."""
        name = branch.name
        rows, found = self.log.listing(name, limit=limit, before=before, keys=(FLOOR,))
        heads = [head_of(name, row) for row in rows]
        ids = branch.ids_of(incarnation, heads)
        # A record committed under an alias: its checkpoint's attachments lie under the checkpoint's id.
        aliased = [
            checkpoint_id for head, checkpoint_id in zip(heads, ids, strict=True) if head.id != checkpoint_id
        ]
        if aliased:
            found.update(self.log.attachments(name, aliased))
        return rows, heads, ids, found, read_marks(branch, found, incarnation)

    def _pages(
        self, branch: Branch, incarnation: int | None, before: str | None, first_page: int = _PAGE
    ) -> Iterator[tuple[Page, Found]]:
        """`_pages_with_rows` without the headers."""
        for page, found, _ in self._pages_with_rows(branch, incarnation, before, first_page):
            yield page, found

    def _pages_with_rows(
        self, branch: Branch, incarnation: int | None, before: str | None, first_page: int = _PAGE
    ) -> Iterator[tuple[Page, Found, dict[int, StoredRecord]]]:
        """The listed checkpoints, newest first, a page at a time with their attachments and headers.

        Checkpoints before a cursor are those with smaller ids, as LangGraph's
        savers list them: over the whole thread, since a checkpoint put later
        may have a smaller id. Unvouched: the caller vouches for `incarnation`.
        """
        for rows, heads, ids, found, marks in self._records_with_rows(branch, incarnation, first_page):
            floor = floor_of(marks)
            shown = []
            for head, checkpoint_id in zip(heads, ids, strict=True):
                if head.seq < floor:
                    break
                if holds(head, checkpoint_id, marks) and (before is None or checkpoint_id < before):
                    shown.append((head, checkpoint_id))
            if shown:
                yield shown, found, {row.seq: row for row in rows}

    def _records(self, branch: Branch, incarnation: int | None, first_page: int = _PAGE) -> Iterator[Read]:
        """`_records_with_rows` without the headers as read."""
        for page in self._records_with_rows(branch, incarnation, first_page):
            yield page[1:]

    def _records_with_rows(
        self, branch: Branch, incarnation: int | None, first_page: int = _PAGE
    ) -> Iterator[ReadRows]:
        """Every record down to the floor, newest first, a page at a time as `_page_rows` reads it.

        Pages start at `first_page` records (at most `_MOST_PAGE`) and double up to
        `_PAGE`, or the first page's size if larger: a limit of 100 is one read.
        Nothing is held between two pages.
        """
        name = branch.name
        most = max(_PAGE, min(first_page, _MOST_PAGE))
        size = max(1, min(first_page, most))
        above = None
        while True:
            page = self._page_rows(branch, incarnation, size, above)
            heads = page[1]
            lowest = above
            for head in heads:  # one read is consistent: a gap in it is damage, never a prune
                if lowest is not None and head.seq != lowest - 1:
                    raise CorruptRecordError(name, lowest - 1, "record missing")
                lowest = head.seq
            yield page
            if lowest is None or lowest <= max(floor_of(page[4]), 1):
                return
            if len(heads) < size:
                self._check_ended(branch, incarnation, lowest)
                return
            above, size = lowest, min(size * 2, most)

    def _check_ended(self, branch: Branch, incarnation: int | None, lowest: int) -> None:
        """A listing that ended above seq 1 and the floor: the log must have removed what lies below."""
        vouched = self.log.head(branch.name)
        if vouched is not None and vouched.incarnation == incarnation and vouched.first < lowest:
            raise CorruptRecordError(branch.name, lowest - 1, "record missing")

    # -- one checkpoint --------------------------------------------------------------

    def _latest(self, branch: Branch) -> CheckpointTuple | None:
        incarnation = branch.incarnation
        heads, ids, found, marks = self._page(branch, incarnation, 1, None)
        if not heads:
            return None
        head, checkpoint_id = heads[0], ids[0]
        if head.seq < floor_of(marks) or not holds(head, checkpoint_id, marks):
            return next(self._listed(branch, None, None, 1), None)  # the head is hidden
        got = self._tuple(branch, incarnation, head, found.get(checkpoint_id, []), checkpoint_id)
        branch.vouch(incarnation)
        return got

    def _opened_head(self, branch: Branch, opened: Opened) -> CheckpointTuple | None:
        """The head as the branch's opening read it, if it is its checkpoint's and shown; else None.

        That read was one consistent read of the head, its state and the
        attachments under its id and the floor, so no vouch follows. A head
        committed under an alias (its checkpoint's attachments lie under another
        key), or hidden, is left to `_latest`.
        """
        incarnation, row = opened.incarnation, opened.head
        head = head_of(branch.name, row)
        checkpoint_id = branch.ids_of(incarnation, [head])[0]
        if head.id != checkpoint_id:
            return None
        marks = read_marks(branch, opened.found, incarnation)
        if head.seq < floor_of(marks) or not holds(head, checkpoint_id, marks):
            return None
        if branch.cached(incarnation, head.seq)[0] is None:
            try:
                state = read_state(opened.snapshot)
            except ValueError as exc:
                raise CorruptRecordError(branch.name, head.seq, str(exc)) from None
            branch.remember(incarnation, head.seq, state, opened.snapshot)
        return self._tuple(branch, incarnation, head, opened.found.get(checkpoint_id, []), checkpoint_id)

    def _by_id(self, branch: Branch, checkpoint_id: str) -> CheckpointTuple | None:
        incarnation = branch.incarnation
        got = self._find(branch, incarnation, checkpoint_id)
        if got is None:
            return None
        head, found = got
        tup = self._tuple(branch, incarnation, head, found.get(checkpoint_id, []), checkpoint_id)
        branch.vouch(incarnation)
        return tup

    def _find(self, branch: Branch, incarnation: int | None, checkpoint_id: str) -> tuple[Head, Found] | None:
        """The record that is checkpoint `checkpoint_id` now, with its attachments; None if there is none.

        Read under `incarnation`, unvouched: the caller vouches for it.
        """
        if not checkpoint_id:
            return None
        name = branch.name
        found = self.log.attachments(name, (checkpoint_id, FLOOR))
        marks = read_marks(branch, found, incarnation)
        named = marks.get(checkpoint_id, checkpoint_id if indexable(checkpoint_id) else DELETED)
        if type(named) is int:  # a mark of the previous release: the record's seq
            rows = [row for row in self.log.headers(name, limit=1, before=named + 1) if row.seq == named]
        else:
            rows = [] if named == DELETED else self.log.headers(name, limit=1, id=named)
        if not rows:
            return None
        head = head_of(name, rows[0])
        if head.seq < floor_of(marks):
            return None
        if branch.ids_of(incarnation, [head])[0] != checkpoint_id:
            branch.vouch(incarnation)  # the marks and the record read from one incarnation: damage
            raise CorruptRecordError(name, head.seq, f"record {head.seq} holds another checkpoint")
        return head, found

    def _state_at(
        self,
        branch: Branch,
        incarnation: int | None,
        seq: int,
        snapshot: Snapshot | None = None,
        near: tuple[State, Snapshot] | None = None,
    ) -> State:
        """The decoded state of record `seq` of `incarnation`: cached, or derived from the nearest cached
        one (or `near`, a state and its snapshot), or read whole; from `snapshot`, its snapshot, when
        the caller has it."""
        if near is None:
            state, near = branch.cached(incarnation, seq)
        else:
            state = branch.states.get((incarnation, seq))
        if state is not None:
            return state
        if snapshot is None:
            snapshot = branch.timeline.checkout(seq)
        try:
            state = read_state(snapshot) if near is None else derive(near[0], near[1], snapshot)
        except ValueError as exc:
            raise CorruptRecordError(branch.name, seq, str(exc)) from None
        branch.remember(incarnation, seq, state, snapshot)
        return state

    def _tuple(
        self,
        branch: Branch,
        incarnation: int | None,
        head: Head,
        found: Entries,
        checkpoint_id: str,
        snapshot: Snapshot | None = None,
        near: tuple[State, Snapshot] | None = None,
    ) -> CheckpointTuple:
        """Checkpoint `checkpoint_id` as record `head` holds it; `snapshot`: its state, if at hand, and
        `near`, a decoded state to derive it from."""
        try:
            if snapshot is not None:
                self._state_at(branch, incarnation, head.seq, snapshot, near)
            return self._read_tuple(branch, incarnation, head, checkpoint_id, found)
        except CorruptCheckpoint:
            raise
        except CorruptRecordError as exc:
            raise named(self.log, exc, branch.thread_id, branch.ns, checkpoint_id) from exc

    def _read_tuple(
        self, branch: Branch, incarnation: int | None, head: Head, checkpoint_id: str, found: Entries
    ) -> CheckpointTuple:
        rest, metadata = self._meta(branch, checkpoint_id, head.meta)
        parent_id = head.meta[1]
        if parent_id is True:
            if head.parent is None:
                raise CorruptRecordError(branch.name, head.seq, "a parent named but not recorded")
            parent_id = branch.id_at(incarnation, head.parent)
        state = self._state_at(branch, incarnation, head.seq)
        values = channel_values(
            state,
            self.serde.loads_typed,
            lambda channel: CheckpointDecodeError(
                branch.thread_id, branch.ns, checkpoint_id, f"channel {channel!r}"
            ),
            self._plain_msgpack(),
            for_saver(self),
        )
        checkpoint = {
            **rest,
            "id": checkpoint_id,
            "channel_values": values,
            "channel_versions": dict(state.versions),
            "versions_seen": {node: dict(seen) for node, seen in state.seen.items()},
        }
        where = {"thread_id": branch.thread_id, "checkpoint_ns": branch.ns}
        return CheckpointTuple(
            config={"configurable": {**where, "checkpoint_id": checkpoint_id}},
            checkpoint=checkpoint,  # type: ignore[arg-type]
            metadata=metadata,
            parent_config={"configurable": {**where, "checkpoint_id": parent_id}} if parent_id else None,
            pending_writes=self.pending.read(branch, checkpoint_id, found, self.serde.loads_typed),
        )

    def _plain_msgpack(self) -> bool:
        """Whether the serde's "msgpack" values are MessagePack it decodes whole: LangGraph's own serde."""
        serde = self.serde
        if self._plain_for is not serde:  # with_allowlist() makes a copy with a serde of its own
            self._plain = (
                isinstance(serde, JsonPlusSerializer)
                and type(serde).loads_typed is JsonPlusSerializer.loads_typed
            )
            self._plain_for = serde
        return self._plain

    def _meta(self, branch: Branch, checkpoint_id: str, meta: Meta) -> tuple[dict, Any]:
        try:
            return meta_format.decode(meta, lambda pair: self._load(branch, checkpoint_id, "metadata", pair))
        except ValueError as exc:
            raise CorruptCheckpoint(branch.thread_id, branch.ns, checkpoint_id, str(exc)) from None

    def _load(self, branch: Branch, checkpoint_id: str, what: str, pair: tuple[str, bytes]) -> Any:
        try:
            return self.serde.loads_typed(pair)
        except Exception as exc:
            raise CheckpointDecodeError(branch.thread_id, branch.ns, checkpoint_id, what) from exc

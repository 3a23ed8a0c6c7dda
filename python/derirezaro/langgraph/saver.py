"""`DerirezaroSaver`: LangGraph checkpoints on durable timelines.

Each (thread_id, checkpoint_ns) is one timeline with its own store, laid out
as `layout` describes, so a step's record holds what the step changed. A
checkpoint is the record committed with its id; the record's meta carries the
rest of the checkpoint and its metadata (`meta`).

A put builds on the caller's parent: when that is the record the timeline's
store holds (every step of a running graph), the put costs what changed; when
it is another one (a fork, a replay), the store is restored to it first.
Pending writes and marks live beside the timeline (`writes`). A mark says
where a checkpoint's newest record is when the log cannot index it by id (a
re-put of an existing id, an id that is a decimal number), or that it was
deleted, or, under the id "", that records below a seq are no longer
checkpoints (after a prune, which keeps the records the newest one needs).

A saver may share its log with savers in other processes: puts race through
the log's compare-and-set, and a branch that finds its thread rewritten by
another writer starts again from the log (`branch`).
"""

from __future__ import annotations

import asyncio
import itertools
import operator
import random
import threading
import zlib
from collections import OrderedDict
from collections.abc import Iterator, Sequence
from typing import Any

from langchain_core.runnables import RunnableConfig
from langgraph.checkpoint.base import (
    WRITES_IDX_MAP,
    ChannelVersions,
    Checkpoint,
    CheckpointMetadata,
    CheckpointTuple,
    PendingWrite,
    SerializerProtocol,
    get_checkpoint_id,
    get_checkpoint_metadata,
    writes_sort_key,
)
from langgraph.checkpoint.serde.jsonplus import JsonPlusSerializer

from .._core import dumps, loads
from ..persist import MemoryLog, RedisLog, SQLiteLog
from ..persist.errors import ConflictError, CorruptRecordError
from ..persist.record import Record, check_header
from ..persist.record import public as public_record
from . import meta as meta_format
from .aio import AsyncMethods
from .branch import PREFIX, Branch, StaleBranch, indexable, parse_name, thread_prefix, timeline_name
from .errors import CheckpointConflict, CheckpointDecodeError, CorruptCheckpoint
from .layout import EMPTY, State, apply, channel_values, derive, read_state
from .meta import Head
from .sealed import seal, squeezed, unseal
from .writes import MARK_IDX, MARK_TASK, Entry, Writes, writes_for

_FLOOR = ""  # the checkpoint id under which a timeline's floor mark lies
_DELETED = 0  # a mark's seq for a deleted checkpoint
_PAGE = 32  # records listed per query of pending writes
_WRITES_CHECKED = 4096  # pending writes kept checked and unpacked, each of at most:
_WRITE_CHECKED_BYTES = 8192  # stored and unpacked bytes together
_CONFLICT_RETRIES = 16


class DerirezaroSaver(AsyncMethods):
    """A LangGraph checkpointer on durable timelines, in SQLite, Redis or memory.

        with DerirezaroSaver.sqlite("checkpoints.db") as saver:
            graph = builder.compile(checkpointer=saver)

    `single_writer=True` makes a put from a running graph ("input" and "loop"
    checkpoints) raise `CheckpointConflict` when its parent is not the thread's
    newest checkpoint: a second worker on the same thread fails instead of
    forking it silently. Without it, such a put forks from its parent.
    """

    def __init__(
        self,
        log: Any,
        *,
        serde: SerializerProtocol | None = None,
        single_writer: bool = False,
        writes: Writes | None = None,
        close_log: bool = False,
        cache_size: int = 256,
    ) -> None:
        super().__init__(serde=serde)
        if not isinstance(cache_size, int) or isinstance(cache_size, bool) or cache_size < 1:
            raise ValueError(f"cache_size must be a positive int, not {cache_size!r}")
        self.log = log
        self.single_writer = bool(single_writer)
        self._writes = writes if writes is not None else writes_for(log)
        self._close_log = close_log
        self._cache_size = cache_size
        self._branches: OrderedDict[str, Branch] = OrderedDict()
        self._branches_lock = threading.Lock()
        # Pending writes already checked and unpacked, by where they lie and their stored bytes:
        # a listing reads the same ones again. Values are still serialized: every read gets its own.
        self._checked_writes: dict[tuple[str, str, str, int, bytes], tuple] = {}
        self._plain_for: Any = None
        self._plain = False

    @classmethod
    def sqlite(
        cls, path: Any, *, durability: str = "normal", timeout: float = 30.0, **options: Any
    ) -> DerirezaroSaver:
        """Checkpoints in one SQLite file, shared safely by threads and processes."""
        return cls(SQLiteLog(path, durability=durability, timeout=timeout), close_log=True, **options)

    @classmethod
    def redis(
        cls, url_or_client: Any, *, ttl: float | None = None, prefix: str = "dz", **options: Any
    ) -> DerirezaroSaver:
        """Checkpoints in Redis; with `ttl` (seconds), a thread idle that long expires whole."""
        return cls(RedisLog(url_or_client, prefix=prefix, ttl=ttl), close_log=True, **options)

    @classmethod
    def memory(cls, **options: Any) -> DerirezaroSaver:
        """Checkpoints in this process's memory, for tests and notebooks."""
        return cls(MemoryLog(), close_log=True, **options)

    def close(self) -> None:
        """Close the log if the saver opened it."""
        if self._close_log:
            self.log.close()

    def __enter__(self) -> DerirezaroSaver:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    async def __aenter__(self) -> DerirezaroSaver:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await asyncio.to_thread(self.close)

    def __repr__(self) -> str:
        return f"DerirezaroSaver({self.log!r}, single_writer={self.single_writer})"

    # -- timelines ---------------------------------------------------------------

    def _branch(self, thread_id: str, ns: str) -> Branch:
        name = timeline_name(thread_id, ns)
        cached = self._branches.get(name)  # no lock, and no reordering: the cache is first in, first out
        if cached is not None:
            return cached
        with self._corrupt(thread_id, ns, None):
            branch = Branch(self.log, name, thread_id, ns)
        with self._branches_lock:
            opened = self._branches.get(name)
            if opened is not None:  # another thread opened it meanwhile: one branch per timeline
                return opened
            self._branches[name] = branch
            while len(self._branches) > self._cache_size:
                self._branches.popitem(last=False)
            return branch

    def _forget(self, name: str) -> None:
        with self._branches_lock:
            self._branches.pop(name, None)

    def _names(self, thread_id: str | None, ns: str | None) -> list[tuple[str, str]]:
        if thread_id is not None and ns is not None:
            return [(thread_id, ns)]
        prefix = PREFIX if thread_id is None else thread_prefix(thread_id)
        return [parsed for name in self.log.timelines(prefix) if (parsed := parse_name(name)) is not None]

    class _CorruptContext:
        __slots__ = ("saver", "where")

        def __init__(self, saver: DerirezaroSaver, where: tuple[str, str, str | None]) -> None:
            self.saver, self.where = saver, where

        def __enter__(self) -> None:
            return None

        def __exit__(self, kind: Any, exc: Any, tb: Any) -> None:
            if isinstance(exc, CorruptRecordError) and not isinstance(exc, CorruptCheckpoint):
                raise self.saver._named(exc, *self.where) from exc

    def _named(
        self, exc: CorruptRecordError, thread_id: str, ns: str, checkpoint_id: str | None
    ) -> CorruptCheckpoint:
        """Damage found by the log, as the checkpoint's: naming the thread, and the id where it is known."""
        if checkpoint_id is None and exc.seq is not None:
            checkpoint_id = self._id_at(thread_id, ns, exc.seq)
        return CorruptCheckpoint(thread_id, ns, checkpoint_id, exc.what)

    def _corrupt(self, thread_id: str, ns: str, checkpoint_id: str | None) -> _CorruptContext:
        """Damage found inside the block is reported as the checkpoint's, naming thread and id."""
        return self._CorruptContext(self, (thread_id, ns, checkpoint_id))

    def _id_at(self, thread_id: str, ns: str, seq: int) -> str | None:
        """The checkpoint id of a damaged record, if its header still says it."""
        name = timeline_name(thread_id, ns)
        try:
            rows = self.log.headers(name, limit=1, before=seq + 1)
            if not rows or rows[0].seq != seq:
                return None
            check_header(name, rows[0])
            return meta_format.checkpoint_id(public_record(rows[0], name))
        except (CorruptRecordError, ValueError):
            return None  # the header is damaged too: the error names the thread alone

    # -- put -------------------------------------------------------------------

    def put(
        self,
        config: RunnableConfig,
        checkpoint: Checkpoint,
        metadata: CheckpointMetadata,
        new_versions: ChannelVersions,
    ) -> RunnableConfig:
        conf = config["configurable"]
        thread_id, ns = str(conf["thread_id"]), conf.get("checkpoint_ns", "")
        parent_id = conf.get("checkpoint_id") or None
        checkpoint_id = checkpoint["id"]
        meta = meta_format.encode(
            checkpoint, get_checkpoint_metadata(config, metadata), self.serde.dumps_typed
        )
        guarded = self.single_writer and metadata.get("source") in ("input", "loop")
        branch = self._branch(thread_id, ns)
        # The hot paths catch damage themselves, as _corrupt does elsewhere: a with
        # block of a Python class costs two calls a put.
        try:
            with branch.lock:
                for attempt in itertools.count():
                    try:
                        self._put(branch, checkpoint_id, parent_id, checkpoint, new_versions, meta, guarded)
                        break
                    except ConflictError as exc:  # another process moved the head
                        if guarded:
                            raise CheckpointConflict(thread_id, ns, parent_id, None) from exc
                        if attempt == _CONFLICT_RETRIES:
                            raise
                        branch.point_id = None  # the next attempt finds the parent afresh, at the new head
                    except (StaleBranch, KeyError):
                        # The log lost what the branch built on (another writer deleted or
                        # pruned the thread, or a ttl expired it): start again from the log.
                        if attempt == _CONFLICT_RETRIES:
                            raise
                        branch.reset()
        except CorruptCheckpoint:
            raise
        except CorruptRecordError as exc:  # named by the record it is found in, not by the checkpoint put
            raise self._named(exc, thread_id, ns, None) from exc
        return {"configurable": {"thread_id": thread_id, "checkpoint_ns": ns, "checkpoint_id": checkpoint_id}}

    def _put(
        self,
        branch: Branch,
        checkpoint_id: str,
        parent_id: str | None,
        checkpoint: Checkpoint,
        new_versions: ChannelVersions,
        meta: list[Any],
        guarded: bool,
    ) -> None:
        timeline, store = branch.timeline, branch.store
        if guarded:
            self._check_head(branch, parent_id)
        if parent_id is not None and parent_id == branch.point_id and timeline.parent is not None:
            base = self._state_at(branch, timeline.parent, None)
        else:
            seq = None if parent_id is None else self._seq_of(branch, parent_id)
            branch.point_id = None  # until it is known again
            if seq is None:  # a root, or a parent this thread does not hold: the checkpoint as given
                # Built on the log's newest record, wherever the store stood: restore catches up.
                newest = timeline.parent
                if newest is None and (head := timeline.head) is not None:
                    newest = head.seq  # records another writer made since this one opened the timeline
                if newest is not None:
                    timeline.restore(newest)
                store.clear()
                base = EMPTY
            else:
                timeline.restore(seq)
                branch.point_id = parent_id
                base = self._state_at(branch, seq, timeline.record(seq).timestamp)
        try:
            state = apply(store, base, checkpoint, new_versions, self.serde.dumps_typed)
            seq, timestamp, marked = self._commit(branch, checkpoint_id, parent_id, meta)
        except BaseException:
            timeline.discard()  # nothing landed: the store goes back to the record the timeline holds
            branch.point_id = None
            raise
        branch.remember(seq, timestamp, state, timeline.checkout(seq))  # the commit's own snapshot, cached
        if marked:  # after the record landed: if this fails, the store and the branch are right already
            self._writes.add(branch.name, checkpoint_id, [self._mark(branch.name, checkpoint_id, seq)])

    def _commit(
        self, branch: Branch, checkpoint_id: str, parent_id: str | None, meta: list[Any]
    ) -> tuple[int, float, bool]:
        """Commit the store as checkpoint `checkpoint_id`: its seq and time, and whether it needs a mark.

        An id the log cannot index (a re-put of one it holds, a decimal one) is
        found by a mark, which the caller writes once the record has landed.
        """
        timeline = branch.timeline
        meta = list(meta)
        # The parent is named only when it is not the record this one builds on.
        meta[0], meta[1] = None, True if parent_id is not None and parent_id == branch.point_id else parent_id
        if indexable(checkpoint_id):
            try:
                record = timeline.commit(meta=meta, id=checkpoint_id)
                branch.committed(record.seq, checkpoint_id, record.timestamp)
                return record.seq, record.timestamp, False
            except ValueError as exc:
                try:
                    timeline.record(checkpoint_id)
                except KeyError:
                    raise exc from None  # not a taken id: the error is the caller's
        meta[0] = checkpoint_id
        record = timeline.commit(meta=meta)  # a re-put: the newest record with this id wins
        branch.committed(record.seq, checkpoint_id, record.timestamp)
        return record.seq, record.timestamp, True

    def _check_head(self, branch: Branch, parent_id: str | None) -> None:
        if parent_id is not None and parent_id == branch.point_id:
            return  # the commit's compare-and-set tells whether it is still the head
        newest = self._latest(branch)  # the newest checkpoint a reader sees: deleted ones are not
        head_id = None if newest is None else newest.config["configurable"]["checkpoint_id"]
        if head_id != parent_id:
            raise CheckpointConflict(branch.thread_id, branch.ns, parent_id, head_id)

    # -- writes and marks ------------------------------------------------------------

    def put_writes(
        self,
        config: RunnableConfig,
        writes: Sequence[tuple[str, Any]],
        task_id: str,
        task_path: str = "",
    ) -> None:
        conf = config["configurable"]
        thread_id, ns = str(conf["thread_id"]), conf.get("checkpoint_ns", "")
        checkpoint_id = conf["checkpoint_id"]
        name = timeline_name(thread_id, ns)
        entries = []
        for i, (channel, value) in enumerate(writes):
            idx = WRITES_IDX_MAP.get(channel, i)
            kind, data = self.serde.dumps_typed(value)
            payload = dumps([channel, kind, *squeezed(bytes(data)), task_path])
            entries.append((task_id, idx, seal(name, checkpoint_id, task_id, idx, payload)))
        if entries:
            try:
                self._writes.add(name, checkpoint_id, entries)
            except CorruptCheckpoint:
                raise
            except CorruptRecordError as exc:
                raise self._named(exc, thread_id, ns, checkpoint_id) from exc

    def _mark(self, name: str, checkpoint_id: str, seq: int) -> Entry:
        return MARK_TASK, MARK_IDX, seal(name, checkpoint_id, MARK_TASK, MARK_IDX, dumps(seq))

    def _marks(self, branch: Branch, found: dict[str, list[Entry]]) -> dict[str, int]:
        marks = {}
        for checkpoint_id, entries in found.items():
            for task, idx, blob in entries:
                if task == MARK_TASK:
                    seq = loads(unseal(branch, checkpoint_id, task, idx, blob))
                    if type(seq) is not int:
                        raise CorruptCheckpoint(
                            branch.thread_id, branch.ns, checkpoint_id or None, "a bad mark"
                        )
                    marks[checkpoint_id] = seq
        return marks

    def _seq_of(self, branch: Branch, checkpoint_id: str, marks: dict[str, int] | None = None) -> int | None:
        """The seq of the record that holds `checkpoint_id` now, or None if there is none."""
        if marks is None:
            marks = self._marks(branch, self._writes.get(branch.name, [checkpoint_id, _FLOOR]))
        seq = marks.get(checkpoint_id)
        if seq is None and indexable(checkpoint_id):
            try:
                seq = branch.timeline.record(checkpoint_id).seq
            except KeyError:
                return None
        if seq is None or seq == _DELETED or seq < marks.get(_FLOOR, 0):
            return None
        return seq

    def _pending(self, branch: Branch, checkpoint_id: str, entries: list[Entry]) -> list[PendingWrite]:
        rows = []
        checked = self._checked_writes
        for task, idx, blob in entries:
            if task == MARK_TASK:
                continue
            place = (branch.name, checkpoint_id, task, idx, blob)
            row = checked.get(place)
            if row is not None:
                rows.append(row)
                continue
            fields = loads(unseal(branch, checkpoint_id, task, idx, blob))
            if type(fields) is not list or len(fields) != 5 or type(fields[2]) is not bytes:
                raise CorruptCheckpoint(branch.thread_id, branch.ns, checkpoint_id, "a bad pending write")
            channel, kind, data, squeezed, path = fields
            if squeezed:
                try:
                    data = zlib.decompress(data)
                except zlib.error:
                    raise CorruptCheckpoint(
                        branch.thread_id, branch.ns, checkpoint_id, "a bad pending write"
                    ) from None
            row = (writes_sort_key(path, task, idx), task, channel, (kind, data))
            rows.append(row)
            if len(blob) + len(data) > _WRITE_CHECKED_BYTES:
                continue  # a large write is read again from the log: the cache stays small
            checked[place] = row
            for _ in range(len(checked) - _WRITES_CHECKED):  # what other threads added too
                try:
                    del checked[next(iter(checked))]  # the oldest, unless another thread got there first
                except (KeyError, RuntimeError, StopIteration):
                    pass
        if len(rows) > 1:
            rows.sort(key=operator.itemgetter(0))
        loads_typed = self.serde.loads_typed
        pending = []
        for _, task, channel, pair in rows:
            try:
                pending.append((task, channel, loads_typed(pair)))
            except Exception as exc:
                what = f"pending write to {channel!r}"
                raise CheckpointDecodeError(branch.thread_id, branch.ns, checkpoint_id, what) from exc
        return pending

    def _load(self, branch: Branch, checkpoint_id: str, what: str, pair: tuple[str, bytes]) -> Any:
        try:
            return self.serde.loads_typed(pair)
        except Exception as exc:
            raise CheckpointDecodeError(branch.thread_id, branch.ns, checkpoint_id, what) from exc

    # -- reads -------------------------------------------------------------------

    def get_tuple(self, config: RunnableConfig) -> CheckpointTuple | None:
        conf = config["configurable"]
        thread_id, ns = str(conf["thread_id"]), conf.get("checkpoint_ns", "")
        checkpoint_id = conf.get("checkpoint_id")
        branch = self._branch(thread_id, ns)
        try:
            try:
                return self._latest(branch) if checkpoint_id is None else self._by_id(branch, checkpoint_id)
            except (StaleBranch, KeyError):  # rewritten, or a record gone since its header was read
                with branch.lock:
                    branch.reset()
                return self._latest(branch) if checkpoint_id is None else self._by_id(branch, checkpoint_id)
        except CorruptCheckpoint:
            raise
        except CorruptRecordError as exc:
            raise self._named(exc, thread_id, ns, checkpoint_id) from exc

    def _latest(self, branch: Branch) -> CheckpointTuple | None:
        got = self._head(branch)
        if got is None:
            return None
        head, found = got
        head_id = branch.id_of(head)
        if found is None:
            found = self._writes.get(branch.name, [head_id])
        # The floor never lies above the head: only the head's own marks can hide it.
        if self._marks(branch, found).get(head_id, head.seq) == head.seq:
            return self._tuple(branch, head, found.get(head_id, []), head_id)
        return next(self._tuples(branch, None, None, 1), None)  # the head is hidden

    def _by_id(self, branch: Branch, checkpoint_id: str) -> CheckpointTuple | None:
        found = self._writes.get(branch.name, [checkpoint_id, _FLOOR])
        seq = self._seq_of(branch, checkpoint_id, self._marks(branch, found))
        if seq is None:
            return None
        record = branch.timeline.record(seq)
        if branch.id_of(record) != checkpoint_id:
            raise CorruptRecordError(branch.name, seq, f"record {seq} holds another checkpoint")
        return self._tuple(branch, record, found.get(checkpoint_id, []), checkpoint_id)

    def _head(self, branch: Branch) -> tuple[Record | Head, dict[str, list[Entry]] | None] | None:
        """The newest record, with its checkpoint's writes and marks where one query reads both."""
        if getattr(self._writes, "page", None) is None:
            head = branch.timeline.head
            return None if head is None else (head, None)
        heads, found = self._page(branch, 1, None)
        return (heads[0], found) if heads else None

    def _page(
        self, branch: Branch, limit: int, before: int | None
    ) -> tuple[list[Record | Head], dict[str, list[Entry]]]:
        """Headers newest first, checked, with the writes and marks of their checkpoints and the floor."""
        read_both = getattr(self._writes, "page", None)
        if read_both is None:
            records: list[Record | Head] = list(branch.timeline.records(limit=limit, before=before))
            ids = [branch.id_of(record) for record in records]
            return records, self._writes.get(branch.name, [*ids, _FLOOR])
        rows, floor = read_both(branch.name, limit, before)
        heads: list[Record | Head] = []
        found: dict[str, list[Entry]] = {_FLOOR: floor} if floor else {}
        unindexed = []
        for row, entries in rows:
            check_header(branch.name, row)
            try:
                meta = loads(row.meta)
            except ValueError as exc:
                raise CorruptRecordError(branch.name, row.seq, f"undecodable meta ({exc})") from None
            head = Head(row.seq, str(row.seq) if row.id is None else row.id, row.parent, row.timestamp, meta)
            heads.append(head)
            if entries is None:
                unindexed.append(branch.id_of(head))
            elif entries:
                found[row.id] = entries  # type: ignore[index]  # an indexed record has its id
        if unindexed:
            found.update(self._writes.get(branch.name, unindexed))
        return heads, found

    def _state_at(self, branch: Branch, seq: int, timestamp: float | None) -> State:
        """The decoded state of record `seq` (committed at `timestamp`, None: the one the timeline holds).

        Cached, or derived from the nearest cached one, or read whole.
        """
        state, near = branch.cached(seq, timestamp)
        if state is not None:
            return state
        snapshot = branch.timeline.checkout(seq)
        try:
            if near is None:
                state = read_state(snapshot)
            else:
                state = derive(near[0], near[1], snapshot)
        except ValueError as exc:
            raise CorruptRecordError(branch.name, seq, str(exc)) from None
        if timestamp is not None:
            branch.remember(seq, timestamp, state, snapshot)
        return state

    def _tuple(
        self, branch: Branch, record: Record | Head, entries: list[Entry], checkpoint_id: str | None = None
    ) -> CheckpointTuple:
        if checkpoint_id is None:
            checkpoint_id = branch.id_of(record)
        try:
            return self._read_tuple(branch, record, checkpoint_id, entries)
        except CorruptCheckpoint:
            raise
        except CorruptRecordError as exc:
            raise self._named(exc, branch.thread_id, branch.ns, checkpoint_id) from exc

    def _read_tuple(
        self, branch: Branch, record: Record | Head, checkpoint_id: str, entries: list[Entry]
    ) -> CheckpointTuple:
        rest, metadata = self._meta(branch, checkpoint_id, record.meta)
        parent_id = record.meta[1]
        if parent_id is True:
            if record.parent is None:
                raise CorruptRecordError(branch.name, record.seq, "a parent named but not recorded")
            parent_id = branch.id_at(record.parent)
        state = self._state_at(branch, record.seq, record.timestamp)
        values = channel_values(
            state,
            self.serde.loads_typed,
            lambda channel: CheckpointDecodeError(
                branch.thread_id, branch.ns, checkpoint_id, f"channel {channel!r}"
            ),
            self._plain_msgpack(),
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
            pending_writes=self._pending(branch, checkpoint_id, entries),
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

    def _meta(self, branch: Branch, checkpoint_id: str, meta: list[Any]) -> tuple[dict, Any]:
        try:
            return meta_format.decode(meta, lambda pair: self._load(branch, checkpoint_id, "metadata", pair))
        except ValueError as exc:
            raise CorruptCheckpoint(branch.thread_id, branch.ns, checkpoint_id, str(exc)) from None

    def _visible(
        self, branch: Branch, before: str | None, first_page: int = _PAGE
    ) -> Iterator[tuple[list[tuple[Record | Head, str]], dict[str, list[Entry]]]]:
        """The checkpoints' records and ids, newest first, a page at a time with their writes and marks.

        Hidden: records below the floor, deleted ones, and those a newer record
        with the same id replaced. Pages start at `first_page` records and
        double; nothing is held between two pages.
        """
        # Checkpoints below a cursor are those with smaller ids, as LangGraph's savers
        # list them; the scan starts at the cursor's record, where ids start to be
        # smaller, or at the head for a cursor from elsewhere.
        before_seq = None if before is None else self._seq_of(branch, before)
        listed: set[str] = set()
        size = max(1, min(first_page, _PAGE))
        while True:
            page, found = self._page(branch, size, before_seq)
            if not page:
                return
            try:
                ids = [branch.id_of(record) for record in page]
            except StaleBranch:  # the thread was written anew: go on in the log as it is now
                with branch.lock:
                    branch.reset()
                continue
            before_seq, size = page[-1].seq, min(size * 2, _PAGE)
            marks = self._marks(branch, found)
            floor = marks.get(_FLOOR, 0)
            shown: list[tuple[Record | Head, str]] = []
            for record, checkpoint_id in zip(page, ids, strict=True):
                if record.seq < floor:
                    break
                if checkpoint_id in listed or marks.get(checkpoint_id, record.seq) != record.seq:
                    continue
                if before is not None and not checkpoint_id < before:
                    continue
                listed.add(checkpoint_id)
                shown.append((record, checkpoint_id))
            if shown:
                yield shown, found
            if page[-1].seq <= max(floor, 1):
                return

    def _tuples(
        self,
        branch: Branch,
        filter: dict[str, Any] | None,
        before: str | None,
        limit: int | None,
    ) -> Iterator[CheckpointTuple]:
        if limit is not None and limit <= 0:
            return
        count = 0
        for page, found in self._visible(branch, before, _PAGE if filter or limit is None else limit):
            tuples = []
            try:
                for record, checkpoint_id in page:
                    if filter:
                        _, metadata = self._meta(branch, checkpoint_id, record.meta)
                        if not all(metadata.get(k) == v for k, v in filter.items()):
                            continue
                    tuples.append(self._tuple(branch, record, found.get(checkpoint_id, []), checkpoint_id))
                    count += 1
                    if count == limit:
                        break
            except (KeyError, StaleBranch):
                # Another writer deleted, pruned or rewrote the thread since the page was
                # read: the listing ends with what it had, as the thread was until then.
                with branch.lock:
                    branch.reset()
                yield from tuples
                return
            yield from tuples
            if count == limit:
                return

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
        remaining = limit
        for thread, ns in self._names(thread_id, conf.get("checkpoint_ns")):
            if remaining is not None and remaining <= 0:
                return
            branch = self._branch(thread, ns)
            if only is not None:
                tup = self.get_tuple(
                    {"configurable": {"thread_id": thread, "checkpoint_ns": ns, "checkpoint_id": only}}
                )
                matches = tup is not None and (before_id is None or only < before_id)
                if matches and filter:
                    matches = all(tup.metadata.get(k) == v for k, v in filter.items())  # type: ignore[union-attr]
                tuples: Iterator[CheckpointTuple] = iter([tup] if matches else [])  # type: ignore[list-item]
            else:
                tuples = self._checked_tuples(branch, filter, before_id, remaining)
            for tup in tuples:
                if remaining is not None:
                    remaining -= 1
                yield tup

    def _checked_tuples(
        self, branch: Branch, filter: dict[str, Any] | None, before: str | None, limit: int | None
    ) -> Iterator[CheckpointTuple]:
        try:
            yield from self._tuples(branch, filter, before, limit)
        except CorruptCheckpoint:
            raise
        except CorruptRecordError as exc:  # raised between two items, never across a yield
            raise self._named(exc, branch.thread_id, branch.ns, None) from exc

    # -- housekeeping --------------------------------------------------------------

    def delete_thread(self, thread_id: str) -> None:
        thread_id = str(thread_id)
        for thread, ns in [*self._names(thread_id, None), (thread_id, "")]:
            name = timeline_name(thread, ns)
            self._writes.drop(name)  # first: SQLite keys them by the timeline's entry
            self.log.drop(name)
            self._forget(name)

    def delete_for_runs(self, run_ids: Sequence[str]) -> None:
        wanted = set(run_ids)
        if not wanted:
            return
        for thread, ns in self._names(None, None):
            branch = self._branch(thread, ns)
            with self._corrupt(thread, ns, None):
                kept, doomed = 0, []
                for page, _ in self._visible(branch, None):
                    for record, checkpoint_id in page:
                        _, metadata = self._meta(branch, checkpoint_id, record.meta)
                        if isinstance(metadata, dict) and metadata.get("run_id") in wanted:
                            doomed.append(checkpoint_id)
                        else:
                            kept += 1
                if not doomed:
                    continue
                if not kept:
                    self._writes.drop(branch.name)
                    self.log.drop(branch.name)
                    self._forget(branch.name)
                    continue
                self._writes.drop(branch.name, doomed)
                for checkpoint_id in doomed:
                    self._writes.add(
                        branch.name, checkpoint_id, [self._mark(branch.name, checkpoint_id, _DELETED)]
                    )

    def copy_thread(self, source_thread_id: str, target_thread_id: str) -> None:
        source_thread_id, target_thread_id = str(source_thread_id), str(target_thread_id)
        for _, ns in self._names(source_thread_id, None):
            source = self._branch(source_thread_id, ns)
            target = self._branch(target_thread_id, ns)
            with self._corrupt(source_thread_id, ns, None):
                pages = list(self._visible(source, None))
            records = [shown for page, _ in pages for shown in page]
            found = {k: v for _, page_found in pages for k, v in page_found.items()}
            with target.lock:
                target.reset()  # at the target's head as the log has it now
                for record, checkpoint_id in reversed(records):  # oldest first: the newest ends as the head
                    with self._corrupt(source_thread_id, ns, checkpoint_id):
                        parent_id = record.meta[1]
                        if parent_id is True and record.parent is not None:
                            parent_id = source.id_at(record.parent)
                        target.store.restore(source.timeline.checkout(record.seq))
                        seq, timestamp, marked = self._commit(target, checkpoint_id, parent_id, record.meta)
                        state = self._state_at(source, record.seq, record.timestamp)
                        target.remember(seq, timestamp, state, target.store.snapshot())
                        entries = [
                            (
                                task,
                                idx,
                                seal(
                                    target.name,
                                    checkpoint_id,
                                    task,
                                    idx,
                                    unseal(source, checkpoint_id, task, idx, blob),
                                ),
                            )
                            for task, idx, blob in found.get(checkpoint_id, [])
                            if task != MARK_TASK
                        ]
                    if marked:
                        entries.append(self._mark(target.name, checkpoint_id, seq))
                    if entries:
                        self._writes.add(target.name, checkpoint_id, entries)

    def prune(self, thread_ids: Sequence[str], *, strategy: str = "keep_latest") -> None:
        if strategy not in ("keep_latest", "delete"):
            raise ValueError(f"strategy must be 'keep_latest' or 'delete', not {strategy!r}")
        for thread_id in thread_ids:
            if strategy == "delete":
                self.delete_thread(thread_id)
                continue
            for thread, ns in self._names(str(thread_id), None):
                branch = self._branch(thread, ns)
                with self._corrupt(thread, ns, None), branch.lock:
                    self._keep_latest(branch)

    def _keep_latest(self, branch: Branch) -> None:
        """Hide and reclaim every checkpoint but the newest and the ancestors its delta channels replay.

        A delta channel's value is its newest snapshot plus the writes after it,
        so the chain back to that snapshot stays, with its writes: the newest
        checkpoint's metadata counts the supersteps since each channel's.
        """
        newest = next((page[0] for page, _ in self._visible(branch, None)), None)
        head = branch.timeline.head
        if newest is None or head is None:
            return
        kept = self._delta_chain(branch, *newest)
        floor = min(seq for seq, _ in kept)
        kept_ids = {checkpoint_id for _, checkpoint_id in kept}
        # The floor goes first: a crash after it leaves at most what the prune keeps visible.
        self._writes.add(branch.name, _FLOOR, [self._mark(branch.name, _FLOOR, floor)])
        below = []  # checkpoints whose records the prune removes: their writes go with them
        for record in branch.timeline.records(before=newest[0].seq):
            checkpoint_id = branch.id_of(record)
            if checkpoint_id in kept_ids:
                continue
            if record.seq < floor:
                below.append(checkpoint_id)
            else:  # off the kept chain, but above the floor: its record stays, hidden by a mark kept with it
                self._writes.add(
                    branch.name, checkpoint_id, [self._mark(branch.name, checkpoint_id, _DELETED)]
                )
        branch.timeline.prune(keep_last=head.seq - floor + 1)
        self._writes.drop(branch.name, [c for c in below if c != _FLOOR])

    def _delta_chain(
        self, branch: Branch, newest: Record | Head, newest_id: str
    ) -> Sequence[tuple[int, str]]:
        """(seq, id) of the newest checkpoint and of the parents its delta channels need, newest first."""
        _, metadata = self._meta(branch, newest_id, newest.meta)
        counters = metadata.get("counters_since_delta_snapshot") if isinstance(metadata, dict) else None
        depth = (
            max((c[1] for c in counters.values() if isinstance(c, (list, tuple)) and len(c) == 2), default=0)
            if isinstance(counters, dict)
            else 0
        )
        chain = [(newest.seq, newest_id)]
        record: Record | Head = newest
        while depth > 0:
            parent = record.meta[1]
            if parent is True and record.parent is not None:
                parent = branch.id_at(record.parent)
            seq = None if not isinstance(parent, str) else self._seq_of(branch, parent)
            if seq is None:
                break
            record = branch.timeline.record(seq)
            chain.append((seq, branch.id_of(record)))
            depth -= 1
        return chain

    def get_next_version(self, current: Any, channel: None = None) -> Any:
        """Integers from 1; a thread whose versions are strings (copied from another saver) keeps strings."""
        if current is None:
            return 1
        if isinstance(current, str):
            number = int(current.split(".")[0]) + 1
            return f"{number:032}.{random.random():016}"
        return int(current) + 1

"""Writing checkpoints: `put`, and `put_writes` of the pending writes against one.

A put builds on the caller's parent: when that is the record the timeline's
store holds (every step of a running graph), the put costs what changed; when
it is another one (a fork, a replay), the store is restored to it first. A
parent the thread no longer holds is refused (`ParentMissing`), unless the
thread holds no checkpoint at all.

Puts race other processes through the log's compare-and-set: a put that
loses retries on the new head, or with `single_writer` raises
`CheckpointConflict`. A put whose append had an unknown outcome (the log was
unavailable) leaves the branch as it was, so that the same put again sends
the same record, which the log recognises if the first one landed.
"""

from __future__ import annotations

import itertools
import logging
from collections.abc import Mapping, Sequence
from typing import Any

from langchain_core.runnables import RunnableConfig
from langgraph.checkpoint.base import ChannelVersions, Checkpoint, CheckpointMetadata, get_checkpoint_metadata

from .._core import dumps
from ..persist.errors import ConflictError, CorruptRecordError, RecordNotFoundError
from ..persist.log import Entry
from . import meta as meta_format
from . import pending
from .branch import Branch, StaleBranch, timeline_name
from .errors import CheckpointConflict, CorruptCheckpoint, ParentMissing
from .layout import EMPTY, State, apply
from .marks import alias, mark
from .meta import Head
from .naming import NamedDamage, named
from .reads import Reads

logger = logging.getLogger(__name__)
_CONFLICT_RETRIES = 16


def _retrying(attempt: int, what: str, thread_id: str, ns: str, checkpoint_id: str) -> None:
    """Log a put's retry at INFO (another writer on the thread is not a fault), its last at WARNING."""
    last = attempt == _CONFLICT_RETRIES
    logger.log(
        logging.WARNING if last else logging.INFO,
        "put of checkpoint %r on thread %r (namespace %r) %s%s",
        checkpoint_id,
        thread_id,
        ns,
        what,
        f" {attempt + 1} times: giving up" if last else f" (attempt {attempt + 1}); retrying from the log",
    )


def _refuse_id(checkpoint_id: Any) -> None:
    raise ValueError(f"a checkpoint id must be a non-empty str, not {checkpoint_id!r}")


class Puts(Reads):
    single_writer: bool

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
        if type(checkpoint_id) is not str or not checkpoint_id:  # "" is no id: it keys the floor mark
            _refuse_id(checkpoint_id)
        meta = meta_format.encode(
            checkpoint, get_checkpoint_metadata(config, metadata), self.serde.dumps_typed
        )
        guarded = self.single_writer and metadata.get("source") in ("input", "loop")
        # The hot path catches damage itself, opening the branch included: a with block of a Python
        # class costs two calls a put, and the lock is taken by acquire/release, which costs less
        # than its with-statement.
        try:
            branch = self.branches.get(thread_id, ns)
            lock = branch.lock
            lock.acquire()
            try:
                for attempt in itertools.count():
                    try:
                        self._put(branch, checkpoint_id, parent_id, checkpoint, new_versions, meta, guarded)
                        break
                    except ConflictError as exc:  # another process moved the head; nothing was written
                        if guarded:
                            raise CheckpointConflict(thread_id, ns, parent_id, None) from exc
                        _retrying(attempt, "lost a race to another writer", thread_id, ns, checkpoint_id)
                        if attempt == _CONFLICT_RETRIES:
                            raise
                        branch.point_id = None  # the next attempt finds the parent afresh, at the new head
                    except (StaleBranch, RecordNotFoundError):
                        # The log lost what the branch built on (another writer deleted, rewrote
                        # or pruned the thread, or a ttl expired it): start again from the log.
                        what = "found the thread dropped, rewritten or pruned under it"
                        _retrying(attempt, what, thread_id, ns, checkpoint_id)
                        if attempt == _CONFLICT_RETRIES:
                            raise
                        branch.reset()
            finally:
                lock.release()
        except CorruptCheckpoint:
            raise
        except CorruptRecordError as exc:  # named by the record it is found in, not by the checkpoint put
            raise named(self.log, exc, thread_id, ns, None) from exc
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
        writes: Sequence[Entry] = (),
        orphan: bool = False,
    ) -> None:
        timeline = branch.timeline
        if guarded and self._landed_already(branch, checkpoint_id, parent_id):
            return
        if orphan:
            base = self._rebase(branch, None)  # built from nothing; the commit names the parent all the same
        elif (
            parent_id is not None and parent_id == branch.point_id and (parent := timeline.parent) is not None
        ):
            # The record the store holds, of the incarnation the commit's compare-and-set names:
            # if the log dropped that one, the commit lands nothing. Its state is the one the last
            # put kept, looked up without a call; decoded again only once reads have evicted it.
            key = timeline.incarnation, parent
            base = branch.states.get(key) or self._state_at(branch, *key)
        else:
            base = self._rebase(branch, parent_id)
        try:
            state = apply(branch.store, base, checkpoint, new_versions, self.serde.dumps_typed)
            self._commit(branch, checkpoint_id, parent_id, meta, writes, state)
        except BaseException:
            # Nothing landed, or (unavailable) perhaps it did. Either way the store goes back to
            # the record the timeline holds and the branch stays as it was, so the same put
            # builds the same record again, which the timeline sends as it was.
            timeline.discard()
            raise

    def _put_copied(
        self,
        branch: Branch,
        checkpoint_id: str,
        parent_id: str | None,
        checkpoint: Checkpoint,
        meta: list[Any],
        writes: Sequence[Entry],
        orphan: bool,
    ) -> None:
        """Land a checkpoint copied from another saver, its pending writes in the same append.

        A copy that stops midway then leaves each checkpoint whole or absent.
        `orphan`: the parent is not in the thread (the other saver pruned it),
        so the state is built from nothing while the parent stays named, as
        the other saver has it. Which channels changed is read from the
        versions, as LangGraph's own savers read them.
        """
        with branch.lock, NamedDamage(self.log, branch.thread_id, branch.ns, checkpoint_id):
            for attempt in itertools.count():
                try:
                    self._put(branch, checkpoint_id, parent_id, checkpoint, {}, meta, False, writes, orphan)
                    return
                except ConflictError:  # a writer of the thread meanwhile: build on the new head
                    if attempt == _CONFLICT_RETRIES:
                        raise
                    branch.point_id = None
                except (StaleBranch, RecordNotFoundError):
                    if attempt == _CONFLICT_RETRIES:
                        raise
                    branch.reset()

    def _rebase(self, branch: Branch, parent_id: str | None) -> State:
        """Restore the store to the parent's record; an empty store for a root. Returns its state."""
        timeline, incarnation = branch.timeline, branch.incarnation
        branch.point_id = None  # until it is known again
        found = None if parent_id is None else self._find(branch, incarnation, parent_id)
        if found is None:
            if parent_id is not None and next(self._pages(branch, incarnation, None, 1), None) is not None:
                branch.vouch(incarnation)  # the parent is missing from the thread that holds checkpoints
                raise ParentMissing(branch.thread_id, branch.ns, parent_id)
            # A root, or a first checkpoint naming a parent: built on the log's newest
            # record, wherever the store stood, as restore catches up with other writers.
            newest = timeline.parent
            if newest is None and (head := timeline.head) is not None:
                newest = head.seq
            if newest is not None:
                timeline.restore(newest)
            branch.store.clear()
            return EMPTY
        timeline.restore(found[0].seq)
        if timeline.incarnation != incarnation:  # the restore read what the log holds now
            raise StaleBranch(branch.name)
        # Found and restored in one incarnation: if the log drops it before the commit, that lands nothing.
        branch.point_id = parent_id
        return self._state_at(branch, incarnation, found[0].seq)

    def _commit(
        self,
        branch: Branch,
        checkpoint_id: str,
        parent_id: str | None,
        meta: list[Any],
        writes: Sequence[Entry] = (),
        state: State | None = None,
    ) -> int:
        """Commit the store as checkpoint `checkpoint_id` with `writes` attached; its seq. `state`: the
        store's decoded state, which the branch keeps for the record.

        The record goes under the checkpoint's id, or, when the log cannot
        index that (a re-put of an id it holds, a decimal id), under an alias
        with the mark that names it, in the same append.
        """
        meta = list(meta)
        # The parent is named only when it is not the record this one builds on.
        meta[0], meta[1] = None, True if parent_id is not None and parent_id == branch.point_id else parent_id
        # `indexable`, inlined: every put passes here.
        record_id = checkpoint_id if checkpoint_id and not checkpoint_id.isdecimal() else None
        attach: Mapping[str, Sequence[Entry]] | None = {checkpoint_id: writes} if writes else None
        seq: int | None = None
        while seq is None:
            if record_id is None:
                landed = self._landed_as(branch, checkpoint_id, parent_id, meta)
                if landed is not None:
                    seq = landed.seq
                    break
                meta[0] = checkpoint_id  # the checkpoint's newest record wins
                record_id = alias()
                attach = {checkpoint_id: [*writes, mark(branch.name, checkpoint_id, record_id)]}
            try:
                # meta.encode leaves only checked plain data or the serde's bytes: it reads back as built.
                seq = branch.timeline.commit_seq(meta=meta, id=record_id, attach=attach, readable=True)
            except ValueError:
                if not self.log.headers(branch.name, limit=1, id=record_id):
                    raise  # not a taken id: the error is the caller's
                record_id = None
        branch.committed(seq, checkpoint_id, state)
        return seq

    def _landed_as(
        self, branch: Branch, checkpoint_id: str, parent_id: str | None, meta: list[Any]
    ) -> Head | None:
        """The log's head, if it is this very commit of the store, landed by an attempt whose outcome
        was unknown (same checkpoint, parent, meta and state); the timeline then stands on it.

        A re-put of the head with what it holds already changes nothing either.
        """
        incarnation = branch.incarnation
        found = self._find(branch, incarnation, checkpoint_id)
        vouched = self.log.head(branch.name)
        if (
            found is None
            or vouched is None
            or (vouched.incarnation, vouched.seq) != (incarnation, found[0].seq)
        ):
            return None
        head = found[0]
        landed_on = head.meta[1]
        if landed_on is True and head.parent is not None:
            landed_on = branch.id_at(incarnation, head.parent)
        if landed_on != parent_id or dumps(head.meta[2:]) != dumps(meta[2:]):
            return None
        timeline = branch.timeline
        if any(timeline.checkout(head.seq).diff(branch.store.snapshot()).values()):
            return None
        timeline.restore(head.seq)
        if timeline.incarnation != incarnation:  # dropped since: what was compared is gone
            raise StaleBranch(branch.name)
        return head

    def _landed_already(self, branch: Branch, checkpoint_id: str, parent_id: str | None) -> bool:
        """For `single_writer`: whether the thread's newest checkpoint is the parent (False) or this
        very put, landed by an earlier attempt whose outcome was unknown (True); else a conflict."""
        if parent_id is not None and parent_id == branch.point_id:
            return False  # the commit's compare-and-set tells whether it is still the head
        newest = self._latest(branch)  # the newest checkpoint a reader sees: deleted ones are not
        head_id = None if newest is None else newest.config["configurable"]["checkpoint_id"]
        if head_id == parent_id:
            return False
        if newest is not None and head_id == checkpoint_id:
            landed_on = None if newest.parent_config is None else newest.parent_config["configurable"]
            if (landed_on or {}).get("checkpoint_id") == parent_id:
                return True
        raise CheckpointConflict(branch.thread_id, branch.ns, parent_id, head_id)

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
        if type(checkpoint_id) is not str or not checkpoint_id:
            _refuse_id(checkpoint_id)
        name = timeline_name(thread_id, ns)
        entries = pending.entries(name, checkpoint_id, writes, task_id, task_path, self.serde.dumps_typed)
        if entries:
            try:
                self.log.attach(name, checkpoint_id, entries)
            except CorruptCheckpoint:
                raise
            except CorruptRecordError as exc:
                raise named(self.log, exc, thread_id, ns, checkpoint_id) from exc

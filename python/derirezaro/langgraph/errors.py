"""The saver's exceptions: each names the thread, namespace and checkpoint it is about."""

from __future__ import annotations

from ..persist.errors import CorruptRecordError, PersistError


def _where(thread_id: str, checkpoint_ns: str, checkpoint_id: str | None) -> str:
    where = f"thread {thread_id!r}"
    if checkpoint_ns:
        where += f", namespace {checkpoint_ns!r}"
    if checkpoint_id is not None:
        where += f", checkpoint {checkpoint_id!r}"
    return where


class CorruptCheckpoint(CorruptRecordError):
    """A stored checkpoint, or a pending write of it, is damaged; nothing of it is returned.

    `checkpoint_id` is None when the damage is in a record whose id cannot be read.
    """

    def __init__(self, thread_id: str, checkpoint_ns: str, checkpoint_id: str | None, what: str) -> None:
        PersistError.__init__(self, f"{_where(thread_id, checkpoint_ns, checkpoint_id)}: {what}")
        self.timeline, self.seq, self.what = None, None, what
        self.thread_id, self.checkpoint_ns, self.checkpoint_id = thread_id, checkpoint_ns, checkpoint_id


class CheckpointDecodeError(PersistError):
    """The serde refused a stored value (the original error is the cause); nothing is returned as None."""

    def __init__(self, thread_id: str, checkpoint_ns: str, checkpoint_id: str, what: str) -> None:
        super().__init__(f"{_where(thread_id, checkpoint_ns, checkpoint_id)}: the serde cannot load {what}")
        self.thread_id, self.checkpoint_ns, self.checkpoint_id, self.what = (
            thread_id,
            checkpoint_ns,
            checkpoint_id,
            what,
        )


class CheckpointConflict(PersistError):
    """With `single_writer`, a put whose parent is not the thread's newest checkpoint; nothing was written."""

    def __init__(
        self, thread_id: str, checkpoint_ns: str, parent_id: str | None, head_id: str | None
    ) -> None:
        found = "another writer's" if head_id is None else repr(head_id)
        super().__init__(
            f"{_where(thread_id, checkpoint_ns, None)}: the put builds on {parent_id!r} but the newest "
            f"checkpoint is {found}; a second worker runs this thread. Nothing was written"
        )
        self.thread_id, self.checkpoint_ns, self.parent_id, self.head_id = (
            thread_id,
            checkpoint_ns,
            parent_id,
            head_id,
        )


class ParentMissing(CheckpointConflict):
    """A put names a parent its thread no longer holds (pruned, deleted, lost in a failover); nothing written.

    A put never lands as a root in place of a parent it cannot find: the
    history would silently lose the step it builds on. A thread that holds no
    checkpoint at all takes a parent as given (a first put of a copied or
    resumed thread).
    """

    def __init__(self, thread_id: str, checkpoint_ns: str, parent_id: str) -> None:
        PersistError.__init__(
            self,
            f"{_where(thread_id, checkpoint_ns, None)}: the put builds on checkpoint {parent_id!r}, which "
            "the thread no longer holds (pruned, deleted or lost). Nothing was written",
        )
        self.thread_id, self.checkpoint_ns, self.parent_id, self.head_id = (
            thread_id,
            checkpoint_ns,
            parent_id,
            None,
        )


class LangGraphFileError(PersistError, ValueError):
    """A file written by LangGraph's own SQLite checkpointer, given where a derirezaro log is expected.

    Opened as a log it would show no threads; its threads are imported instead.
    """

    def __init__(self, path: str) -> None:
        super().__init__(
            f"{path!r} is a file of LangGraph's SQLite checkpointer (tables 'checkpoints' and 'writes'), "
            "not a derirezaro log: import its threads into a new one with "
            f"`derirezaro import-langgraph {path} NEW.db` or derirezaro.langgraph.import_langgraph()"
        )
        self.path = path

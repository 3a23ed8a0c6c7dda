"""What an import reads from a source: a thread's outline, each checkpoint with its writes, as stored.

Each source is read thread by thread: the thread ids first, then one thread's
outline (every namespace's checkpoint ids and parents), then each checkpoint
and its pending writes by key. Nothing is ever asked of the whole source per
thread, so an import costs what the source holds, however many threads.
"""

from __future__ import annotations

from typing import Any, NamedTuple, Protocol


class Outlined(NamedTuple):
    checkpoint_ns: str
    checkpoint_id: str
    parent_id: str | None


class Write(NamedTuple):
    task_id: str
    task_path: str
    idx: int
    channel: str
    value: tuple[str, bytes]  # as the serde stored it


class Copied(NamedTuple):
    checkpoint: dict[str, Any]  # its values as stored (`KeptValues`)
    metadata: dict[str, Any]
    writes: list[Write]
    unrevivable: list[str]  # the types among its values and writes this process could not revive


class Source(Protocol):
    def threads(self) -> list[str]: ...

    def outline(self, thread_id: str) -> list[Outlined]: ...

    def checkpoint(self, thread_id: str, ns: str, checkpoint_id: str) -> Copied | None:
        """None when the source no longer holds it."""
        ...

    def writes(self, thread_id: str, ns: str, checkpoint_id: str) -> list[Write]: ...

"""Pending writes: what a task wrote against a checkpoint, kept in the log's attachments under its id.

LangGraph sends writes from background threads, in any order relative to the
put of the checkpoint they belong to, so they are attachments, not records:
the log keeps them beside the timeline, the first write of a `(task, idx)`
winning and the reserved negative indices replacing (the attachment rule).
Each is `[channel, serde type, bytes, compressed, task path]`, sealed by a
checksum of where it lies, so a damaged or moved one is refused.
"""

from __future__ import annotations

import operator
import zlib
from collections.abc import Callable, Sequence
from typing import Any

from langgraph.checkpoint.base import WRITES_IDX_MAP, PendingWrite, writes_sort_key

from .._core import dumps, loads
from ..persist.log import Entry
from .branch import Branch
from .errors import CheckpointDecodeError, CorruptCheckpoint
from .marks import MARK_TASK
from .sealed import seal, squeezed, unseal

_CHECKED = 4096  # pending writes kept checked and unpacked, each of at most:
_CHECKED_BYTES = 8192  # stored and unpacked bytes together
_SORT_KEY = operator.itemgetter(0)


def entries(
    name: str,
    checkpoint_id: str,
    writes: Sequence[tuple[str, Any]],
    task_id: str,
    task_path: str,
    dumps_typed: Callable[[Any], tuple[str, Any]],
) -> list[Entry]:
    """A task's writes as the attachment entries stored under the checkpoint's id."""
    out = []
    for i, (channel, value) in enumerate(writes):  # `entry`, inlined: every step writes through here
        idx = WRITES_IDX_MAP.get(channel, i)
        kind, data = dumps_typed(value)
        payload = dumps([channel, kind, *squeezed(bytes(data)), task_path])
        out.append((task_id, idx, seal(name, checkpoint_id, task_id, idx, payload)))
    return out


def entry(
    name: str,
    checkpoint_id: str,
    task_id: str,
    idx: int,
    channel: str,
    value: tuple[str, Any],
    task_path: str,
) -> Entry:
    """One write, its value as the serde gave it (type, bytes), as the entry stored at `(task_id, idx)`."""
    kind, data = value
    payload = dumps([channel, kind, *squeezed(bytes(data)), task_path])
    return task_id, idx, seal(name, checkpoint_id, task_id, idx, payload)


def resealed(source: Branch, target_name: str, checkpoint_id: str, found: list[Entry]) -> list[Entry]:
    """A checkpoint's writes (its marks left out) checked where they lie and sealed for another timeline."""
    return [
        (
            task,
            idx,
            seal(target_name, checkpoint_id, task, idx, unseal(source, checkpoint_id, task, idx, blob)),
        )
        for task, idx, blob in found
        if task != MARK_TASK
    ]


class PendingReader:
    """Turns a checkpoint's attachments into its pending writes, in LangGraph's `writes_sort_key` order.

    Writes already checked and unpacked are kept by where they lie and their
    stored bytes (a listing reads the same ones again); values stay serialized,
    so every read gets its own objects. A write stored again under the same
    place (a reserved index replaces) has other bytes, so it is never read
    from what was kept of the one before.
    """

    def __init__(self) -> None:
        self._checked: dict[tuple[str, str, str, int, bytes], tuple] = {}

    def read(
        self,
        branch: Branch,
        checkpoint_id: str,
        found: list[Entry],
        loads_typed: Callable[[tuple[str, bytes]], Any],
    ) -> list[PendingWrite]:
        rows = []
        checked = self._checked
        for task, idx, blob in found:
            if task == MARK_TASK:
                continue
            place = (branch.name, checkpoint_id, task, idx, blob)
            row = checked.get(place)
            if row is None:
                row = self._unpack(branch, checkpoint_id, task, idx, blob)
                if len(blob) + len(row[3][1]) <= _CHECKED_BYTES:  # a large write is read again: kept small
                    self._keep(place, row)
            rows.append(row)
        if len(rows) > 1:
            rows.sort(key=_SORT_KEY)
        pending = []
        for _, task, channel, pair in rows:
            try:
                pending.append((task, channel, loads_typed(pair)))
            except Exception as exc:
                what = f"pending write to {channel!r}"
                raise CheckpointDecodeError(branch.thread_id, branch.ns, checkpoint_id, what) from exc
        return pending

    @staticmethod
    def _unpack(branch: Branch, checkpoint_id: str, task: str, idx: int, blob: bytes) -> tuple:
        fields = loads(unseal(branch, checkpoint_id, task, idx, blob))
        if type(fields) is not list or len(fields) != 5 or type(fields[2]) is not bytes:
            raise CorruptCheckpoint(branch.thread_id, branch.ns, checkpoint_id, "a bad pending write")
        channel, kind, data, compressed, path = fields
        if compressed:
            try:
                data = zlib.decompress(data)
            except zlib.error:
                raise CorruptCheckpoint(
                    branch.thread_id, branch.ns, checkpoint_id, "a bad pending write"
                ) from None
        return writes_sort_key(path, task, idx), task, channel, (kind, data)

    def _keep(self, place: tuple[str, str, str, int, bytes], row: tuple) -> None:
        checked = self._checked
        checked[place] = row
        for _ in range(len(checked) - _CHECKED):  # what other threads added too
            try:
                oldest = next(iter(checked), None)
            except RuntimeError:  # another thread changed the dict between the two steps
                continue
            if oldest is not None:
                checked.pop(oldest, None)  # unless another thread took it first

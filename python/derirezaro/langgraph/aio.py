"""The saver's `a*` methods: the same work as the sync ones, each run by `_run`.

`_run` runs a sync method in a worker thread of the default executor: the
sync methods never wait on an event loop, so that keeps the loop free and
cannot deadlock. A saver whose log awaits its I/O on the loop itself runs
them there instead (`async_saver`). A listing moves a page at a time.
"""

from __future__ import annotations

import asyncio
import itertools
from collections.abc import AsyncIterator, Callable, Iterator, Mapping, Sequence
from typing import Any, TypeVar

from langchain_core.runnables import RunnableConfig
from langgraph.checkpoint.base import (
    BaseCheckpointSaver,
    ChannelVersions,
    Checkpoint,
    CheckpointMetadata,
    CheckpointTuple,
    DeltaChannelHistory,
)

_PAGE = 32  # checkpoints of a listing fetched per trip to the worker
_T = TypeVar("_T")


class AsyncMethods(BaseCheckpointSaver[int]):
    async def _run(self, call: Callable[..., _T], *args: Any) -> _T:
        """`call(*args)`, the sync method doing an a* method's work, where it cannot block the loop."""
        return await asyncio.to_thread(call, *args)

    async def aget_tuple(self, config: RunnableConfig) -> CheckpointTuple | None:
        return await self._run(self.get_tuple, config)

    async def alist(
        self,
        config: RunnableConfig | None,
        *,
        filter: dict[str, Any] | None = None,
        before: RunnableConfig | None = None,
        limit: int | None = None,
    ) -> AsyncIterator[CheckpointTuple]:
        iterator: Iterator[CheckpointTuple] | None = None

        def page() -> list[CheckpointTuple]:
            nonlocal iterator  # made where the pages are read: `list` may run only there
            if iterator is None:
                iterator = self.list(config, filter=filter, before=before, limit=limit)
            return list(itertools.islice(iterator, _PAGE))

        while tuples := await self._run(page):
            for tup in tuples:
                yield tup

    async def aput(
        self,
        config: RunnableConfig,
        checkpoint: Checkpoint,
        metadata: CheckpointMetadata,
        new_versions: ChannelVersions,
    ) -> RunnableConfig:
        return await self._run(self.put, config, checkpoint, metadata, new_versions)

    async def aput_writes(
        self,
        config: RunnableConfig,
        writes: Sequence[tuple[str, Any]],
        task_id: str,
        task_path: str = "",
    ) -> None:
        await self._run(self.put_writes, config, writes, task_id, task_path)

    async def aget_delta_channel_history(
        self, *, config: RunnableConfig, channels: Sequence[str]
    ) -> Mapping[str, DeltaChannelHistory]:
        return await self._run(lambda: self.get_delta_channel_history(config=config, channels=channels))

    async def adelete_thread(self, thread_id: str) -> None:
        await self._run(self.delete_thread, thread_id)

    async def adelete_for_runs(self, run_ids: Sequence[str]) -> None:
        await self._run(self.delete_for_runs, run_ids)

    async def acopy_thread(self, source_thread_id: str, target_thread_id: str) -> None:
        await self._run(self.copy_thread, source_thread_id, target_thread_id)

    async def aprune(self, thread_ids: Sequence[str], *, strategy: str = "keep_latest") -> None:
        await self._run(lambda: self.prune(thread_ids, strategy=strategy))

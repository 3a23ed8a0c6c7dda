"""`DerirezaroSaver`: LangGraph checkpoints on durable timelines.

Each (thread_id, checkpoint_ns) is one timeline with its own store, laid out
as `layout` describes, so a step's record holds what the step changed. A
checkpoint is the record committed under its id (or under an alias a mark
names: `marks`); the record's meta carries the rest of the checkpoint and its
metadata (`meta`). Pending writes and marks are the log's attachments, kept
under the checkpoint's id (`pending`, `marks`).

The saver is assembled from one class per concern, each building on the one
before: reading (`reads`), putting (`put`), whole-thread operations
(`housekeeping`). It reaches its log only through the `Log` protocol; the
class methods that build a log are the only code that names one.

A saver may share its log with savers in other processes: puts race through
the log's compare-and-set, and a branch that finds its thread rewritten by
another writer starts again from the log (`branch`).
"""

from __future__ import annotations

import asyncio
import random
from typing import Any

from langgraph.checkpoint.base import SerializerProtocol

from .branch import Branches
from .housekeeping import Housekeeping
from .pending import PendingReader


class DerirezaroSaver(Housekeeping):
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
        close_log: bool = False,
        cache_size: int = 256,
    ) -> None:
        super().__init__(serde=serde)
        if not isinstance(cache_size, int) or isinstance(cache_size, bool) or cache_size < 1:
            raise ValueError(f"cache_size must be a positive int, not {cache_size!r}")
        self.log = log
        self.single_writer = bool(single_writer)
        self.branches = Branches(log, cache_size)
        self.pending = PendingReader()
        self._close_log = close_log

    @classmethod
    def sqlite(
        cls, path: Any, *, durability: str = "normal", timeout: float = 30.0, **options: Any
    ) -> DerirezaroSaver:
        """Checkpoints in one SQLite file, shared safely by threads and processes."""
        from ..persist.sqlite import SQLiteLog

        return cls(SQLiteLog(path, durability=durability, timeout=timeout), close_log=True, **options)

    @classmethod
    def redis(
        cls, url_or_client: Any, *, ttl: float | None = None, prefix: str = "dz", **options: Any
    ) -> DerirezaroSaver:
        """Checkpoints in Redis; with `ttl` (seconds), a thread idle that long expires whole."""
        from ..persist.redis_log import RedisLog

        return cls(RedisLog(url_or_client, prefix=prefix, ttl=ttl), close_log=True, **options)

    @classmethod
    def memory(cls, **options: Any) -> DerirezaroSaver:
        """Checkpoints in this process's memory, for tests and notebooks."""
        from ..persist.memory import MemoryLog

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

    def get_next_version(self, current: Any, channel: None = None) -> Any:
        """Integers from 1; a thread whose versions are strings (copied from another saver) keeps strings."""
        if current is None:
            return 1
        if isinstance(current, str):
            number = int(current.split(".")[0]) + 1
            return f"{number:032}.{random.random():016}"
        return int(current) + 1

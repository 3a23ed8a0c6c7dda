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
import os
import random
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

from langchain_core.runnables import RunnableConfig
from langgraph.checkpoint.base import CheckpointTuple, DeltaChannelHistory, SerializerProtocol

from ..persist.errors import CorruptRecordError
from .branch import Branches, timeline_name
from .delta_history import history
from .errors import CorruptCheckpoint
from .housekeeping import Housekeeping
from .naming import named
from .pending import PendingReader
from .ttl import ttl_setting

_SAVER_OPTIONS = ("serde", "single_writer", "cache_size", "refresh_on_read")


class DerirezaroSaver(Housekeeping):
    """A LangGraph checkpointer on durable timelines, in SQLite, Redis, PostgreSQL or memory.

        with DerirezaroSaver.sqlite("checkpoints.db") as saver:
            graph = builder.compile(checkpointer=saver)

    `single_writer=True` makes a put from a running graph ("input" and "loop"
    checkpoints) raise `CheckpointConflict` when its parent is not the thread's
    newest checkpoint: a second worker on the same thread fails instead of
    forking it silently. Without it, such a put forks from its parent.

    `refresh_on_read=True`, on a log whose timelines expire (Redis with a
    `ttl`), makes `get_tuple` and `list` start the ttl of what they read
    again, as a put does.
    """

    def __init__(
        self,
        log: Any,
        *,
        serde: SerializerProtocol | None = None,
        single_writer: bool = False,
        close_log: bool = False,
        cache_size: int = 256,
        refresh_on_read: bool = False,
    ) -> None:
        super().__init__(serde=serde)
        if not isinstance(cache_size, int) or isinstance(cache_size, bool) or cache_size < 1:
            raise ValueError(f"cache_size must be a positive int, not {cache_size!r}")
        touch = getattr(log, "touch", None) if refresh_on_read else None
        if refresh_on_read and touch is None:
            raise ValueError(f"refresh_on_read needs a log whose timelines expire (Redis), not {log!r}")
        self._touch = touch
        self.log = log
        self.single_writer = bool(single_writer)
        self.branches = Branches(log, cache_size)
        self.pending = PendingReader()
        self._close_log = close_log

    @classmethod
    def sqlite(
        cls, path: Any, *, durability: str = "normal", timeout: float = 30.0, **options: Any
    ) -> DerirezaroSaver:
        """Checkpoints in one SQLite file, shared safely by threads and processes.

        A file of LangGraph's SQLite checkpointer is refused (`LangGraphFileError`):
        its threads are imported, never read in place.
        """
        from ..persist.sqlite import SQLiteLog
        from .sqlite_source import refuse_langgraph_file

        refuse_langgraph_file(path)
        return cls(SQLiteLog(path, durability=durability, timeout=timeout), close_log=True, **options)

    @classmethod
    def from_conn_string(cls, location: str | os.PathLike[str], **options: Any) -> DerirezaroSaver:
        """The saver on the log `location` names, created if it is a new SQLite file.

            with DerirezaroSaver.from_conn_string("checkpoints.db") as saver:
                graph = builder.compile(checkpointer=saver)

        `location`: a path, `sqlite:///path`, `:memory:`, `redis://`,
        `rediss://`, `redis+cluster://`, `postgresql://` or `memory:`. The saver is its own
        context manager, sync and async (`async with` works too), and closes
        the log on exit. `options` are the saver's (`serde`, `single_writer`,
        `cache_size`) and the log's (`durability`, `timeout` for SQLite;
        `prefix`, `ttl` in either form, and the Redis settings of `redis()`;
        `prefix`, `schema` and the settings of `postgres()` for PostgreSQL).
        """
        from ..persist.locate import is_redis, open_log, sqlite_path
        from .sqlite_source import refuse_langgraph_file

        if isinstance(location, os.PathLike):
            location = os.fspath(location)
        saver_options = {key: options.pop(key) for key in _SAVER_OPTIONS if key in options}
        if "ttl" in options:
            setting = ttl_setting(options.pop("ttl"))
            if isinstance(location, str) and is_redis(location):
                options["ttl"] = setting.seconds
                saver_options.setdefault("refresh_on_read", setting.refresh_on_read)
            elif setting.seconds is not None:
                raise ValueError(
                    f"ttl applies to a Redis log, not {location!r}: a thread there stays until "
                    "delete_thread or prune removes it"
                )
        path = sqlite_path(location) if isinstance(location, str) else None
        if path is not None and path != ":memory:":
            refuse_langgraph_file(path)
        # A SQLite location goes by its path: `open_log` takes no sqlite:// URL.
        log = open_log(location if path is None else path, create=True, **options)
        try:
            return cls(log, close_log=True, **saver_options)
        except BaseException:
            log.close()
            raise

    @classmethod
    def redis(
        cls,
        url_or_client: Any,
        *,
        ttl: float | Mapping[str, Any] | None = None,
        prefix: str = "dz",
        replicas: int = 0,
        replica_timeout: float = 1.0,
        socket_timeout: float | None = 5.0,
        socket_connect_timeout: float | None = 5.0,
        allow_eviction: bool = False,
        **options: Any,
    ) -> DerirezaroSaver:
        """Checkpoints in Redis; with `ttl`, a thread idle that long expires whole.

        `ttl` is seconds, or LangGraph's form `{"default_ttl": minutes,
        "refresh_on_read": bool}`, where reads refresh it if asked.

        The Redis options are `RedisLog`'s: the timeouts apply to a client made
        from a URL, and a server whose `maxmemory-policy` is not `noeviction` is
        refused writes unless `allow_eviction=True`.
        """
        from ..persist.redis_log import RedisLog

        setting = ttl_setting(ttl)
        options.setdefault("refresh_on_read", setting.refresh_on_read)
        log = RedisLog(
            url_or_client,
            prefix=prefix,
            ttl=setting.seconds,
            replicas=replicas,
            replica_timeout=replica_timeout,
            socket_timeout=socket_timeout,
            socket_connect_timeout=socket_connect_timeout,
            allow_eviction=allow_eviction,
        )
        return cls(log, close_log=True, **options)

    @classmethod
    def postgres(
        cls,
        where: Any,
        *,
        prefix: str = "derirezaro",
        schema: str | None = None,
        pool_size: int = 4,
        timeout: float = 30.0,
        setup: bool = True,
        prepare_threshold: int | None = 5,
        **options: Any,
    ) -> DerirezaroSaver:
        """Checkpoints in PostgreSQL: `where` is a conninfo string, a `psycopg_pool.ConnectionPool`
        or a `psycopg.Connection` (a pool or connection given stays open at `close()`).

        The options are `PostgresLog`'s: the tables go under `prefix` (in `schema`), and are
        created or brought to this release's version when the saver is made, unless `setup=False`;
        behind a transaction-mode pooler, `prepare_threshold=None`.
        """
        from ..persist.postgres import PostgresLog

        if type(where).__name__ in ("AsyncConnection", "AsyncConnectionPool"):
            raise TypeError(f"{where!r} is psycopg's async kind: AsyncDerirezaroSaver.postgres takes it")
        log = PostgresLog(
            where,
            prefix,
            schema=schema,
            pool_size=pool_size,
            timeout=timeout,
            setup=setup,
            prepare_threshold=prepare_threshold,
        )
        try:
            return cls(log, close_log=True, **options)
        except BaseException:
            log.close()
            raise

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

    def get_tuple(self, config: RunnableConfig) -> CheckpointTuple | None:
        tup = super().get_tuple(config)
        if tup is not None and self._touch is not None:
            conf = tup.config["configurable"]
            self._touch(timeline_name(conf["thread_id"], conf["checkpoint_ns"]))
        return tup

    def list(
        self,
        config: RunnableConfig | None,
        *,
        filter: dict[str, Any] | None = None,
        before: RunnableConfig | None = None,
        limit: int | None = None,
    ) -> Iterator[CheckpointTuple]:
        listed = super().list(config, filter=filter, before=before, limit=limit)
        return listed if self._touch is None else self._touching(listed)

    def get_delta_channel_history(
        self, *, config: RunnableConfig, channels: Sequence[str]
    ) -> Mapping[str, DeltaChannelHistory]:
        """What walking `get_tuple` from the checkpoint's parent to parent gives each channel (its writes
        and its seed), in one walk of the log (`delta_history`)."""
        if not channels:
            return {}
        conf = config["configurable"]
        thread_id, ns = str(conf["thread_id"]), conf.get("checkpoint_ns", "")
        checkpoint_id = conf.get("checkpoint_id") or None
        branch = self._branch(thread_id, ns)
        try:
            found = self._afresh(branch, lambda: history(self, branch, checkpoint_id, channels))
        except CorruptCheckpoint:
            raise
        except CorruptRecordError as exc:
            raise named(self.log, exc, thread_id, ns, checkpoint_id) from exc
        if self._touch is not None:
            self._touch(branch.name)
        return found

    def _touching(self, listed: Iterator[CheckpointTuple]) -> Iterator[CheckpointTuple]:
        """`listed`, each timeline it reads from having its ttl started again once."""
        touched: set[str] = set()
        for tup in listed:
            conf = tup.config["configurable"]
            name = timeline_name(conf["thread_id"], conf["checkpoint_ns"])
            if name not in touched:
                touched.add(name)
                self._touch(name)  # type: ignore[misc]
            yield tup

    def get_next_version(self, current: Any, channel: None = None) -> Any:
        """Integers from 1; a thread whose versions are strings (copied from another saver) keeps strings."""
        if current is None:
            return 1
        if isinstance(current, str):
            number = int(current.split(".")[0]) + 1
            return f"{number:032}.{random.random():016}"
        return int(current) + 1

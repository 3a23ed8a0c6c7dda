"""`AsyncDerirezaroSaver`: the saver on PostgreSQL for asyncio, its I/O awaited on the event loop.

Its a* methods run the saver's sync methods (the one code path every saver
has) in a greenlet on the loop's thread (`persist.bridge`), and the log awaits
psycopg's async connection: no worker thread per call.

The sync code takes `threading` locks (a branch's, its timeline's, the
caches') and may hold one while its greenlet waits for the server. A second
call on the same loop that reached that lock would block the loop (a Lock) or
walk in beside the holder (an RLock counts threads, not greenlets); so the
calls of one saver take turns (`_turn`, an `asyncio.Lock`), as LangGraph's own
async PostgreSQL saver's statements do. Savers made on one pool run side by side,
racing through the log's compare-and-set as savers in several processes do.

Its sync methods are for other threads: they run the work on the saver's
loop and wait for it. Called on the loop's own thread they would wait for the
loop they block, and raise `asyncio.InvalidStateError` instead. Its a* methods
awaited on another loop run there too, the other loop awaiting them.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import functools
from collections.abc import AsyncIterator, Awaitable, Callable, Coroutine, Generator, Iterator
from typing import Any, NoReturn, TypeVar

from langchain_core.runnables import RunnableConfig
from langgraph.checkpoint.base import CheckpointTuple

from ..persist import bridge
from ..persist.locate import is_postgres
from .saver import DerirezaroSaver

_F = TypeVar("_F", bound=Callable[..., Any])
_T = TypeVar("_T")


def _on_the_loop(method: _F) -> _F:
    """`method` run as it is inside the saver's greenlets, and on the saver's loop from any other thread."""

    @functools.wraps(method)
    def sync(self: AsyncDerirezaroSaver, *args: Any, **kwargs: Any) -> Any:
        if bridge.inside():
            return method(self, *args, **kwargs)
        self._refuse_on_the_loop(method.__name__)
        return self._submit(self._run(method, self, *args, **kwargs)).result()

    return sync  # type: ignore[return-value]


class AsyncDerirezaroSaver(DerirezaroSaver):
    """A LangGraph checkpointer on PostgreSQL for asyncio: `await graph.ainvoke(...)` and the a* methods.

        async with AsyncDerirezaroSaver.from_conn_string("postgresql://...") as saver:
            graph = builder.compile(checkpointer=saver)

    `AsyncDerirezaroSaver.postgres(where, ...)` takes a conninfo string, a psycopg
    `AsyncConnectionPool` or `AsyncConnection` (a pool or connection given stays open
    at close), and the settings of `DerirezaroSaver.postgres`; awaited, it is the saver.
    Made in a coroutine: the saver serves the loop it was made on.
    """

    def __init__(self, log: Any, **options: Any) -> None:
        try:
            self.loop = asyncio.get_running_loop()
        except RuntimeError:
            raise RuntimeError(
                "an AsyncDerirezaroSaver is made in a coroutine, on the loop it serves "
                "(await AsyncDerirezaroSaver.postgres(...))"
            ) from None
        super().__init__(log, **options)
        self._turn = asyncio.Lock()

    @classmethod
    def postgres(  # type: ignore[override]
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
    ) -> Opening:
        """The saver on PostgreSQL: `await` it, or `async with` it to close it at the end."""
        from ..persist.postgres_async import AsyncPostgresLog

        async def make() -> AsyncDerirezaroSaver:
            log = await AsyncPostgresLog.connect(
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
                await log.aclose()
                raise

        return Opening(make)

    @classmethod
    def from_conn_string(cls, conn_string: str, **options: Any) -> Opening:  # type: ignore[override]
        """The saver on the PostgreSQL database `conn_string` names (a URL or `key=value` conninfo);
        `options` are `postgres()`'s."""
        if not isinstance(conn_string, str) or not (
            is_postgres(conn_string) or ("=" in conn_string and "://" not in conn_string)
        ):
            raise ValueError(
                f"the async saver runs on PostgreSQL (postgresql:// or a key=value conninfo), not "
                f"{conn_string!r}: DerirezaroSaver.from_conn_string serves the other logs' a* methods"
            )
        return cls.postgres(conn_string, **options)

    @classmethod
    def sqlite(cls, *args: Any, **kwargs: Any) -> NoReturn:
        raise TypeError(
            "the async saver runs on PostgreSQL: DerirezaroSaver.sqlite's a* methods serve asyncio"
        )

    @classmethod
    def redis(cls, *args: Any, **kwargs: Any) -> NoReturn:
        raise TypeError(
            "the async saver runs on PostgreSQL: DerirezaroSaver.redis's a* methods serve asyncio"
        )

    async def _run(self, call: Callable[..., _T], *args: Any, **kwargs: Any) -> _T:
        if asyncio.get_running_loop() is not self.loop:
            # The pool, its connections and `_turn` belong to the saver's loop: awaited on another, they
            # fail when contended, and its greenlets would run the sync code beside this loop's.
            return await asyncio.wrap_future(self._submit(self._run(call, *args, **kwargs)))
        async with self._turn:
            return await bridge.run(call, *args, **kwargs)

    def _submit(self, work: Coroutine[Any, Any, _T]) -> concurrent.futures.Future[_T]:
        """`work` run on the saver's loop, from another thread or loop; refused if that loop is not
        running, where waiting for it would wait for ever."""
        if self.loop.is_closed() or not self.loop.is_running():
            work.close()
            raise RuntimeError(
                f"{self!r} serves the event loop it was made on, which is not running: make the saver "
                "on the loop that uses it"
            )
        return asyncio.run_coroutine_threadsafe(work, self.loop)

    def _refuse_on_the_loop(self, name: str) -> None:
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            return
        if running is self.loop:
            raise asyncio.InvalidStateError(
                f"AsyncDerirezaroSaver.{name} would block the event loop it waits for: on the loop's "
                f"thread, await its async form (a{name}, or graph.ainvoke); sync calls are for other threads"
            )

    get_tuple = _on_the_loop(DerirezaroSaver.get_tuple)
    put = _on_the_loop(DerirezaroSaver.put)
    put_writes = _on_the_loop(DerirezaroSaver.put_writes)
    delete_thread = _on_the_loop(DerirezaroSaver.delete_thread)
    delete_for_runs = _on_the_loop(DerirezaroSaver.delete_for_runs)
    copy_thread = _on_the_loop(DerirezaroSaver.copy_thread)
    prune = _on_the_loop(DerirezaroSaver.prune)
    get_delta_channel_history = _on_the_loop(DerirezaroSaver.get_delta_channel_history)
    close = _on_the_loop(DerirezaroSaver.close)

    def list(
        self,
        config: RunnableConfig | None,
        *,
        filter: dict[str, Any] | None = None,
        before: RunnableConfig | None = None,
        limit: int | None = None,
    ) -> Iterator[CheckpointTuple]:
        if bridge.inside():
            return super().list(config, filter=filter, before=before, limit=limit)
        self._refuse_on_the_loop("list")
        return self._listed_from_thread(self.alist(config, filter=filter, before=before, limit=limit))

    def _listed_from_thread(self, tuples: AsyncIterator[CheckpointTuple]) -> Iterator[CheckpointTuple]:
        while True:
            try:
                yield self._submit(_next(tuples)).result()
            except StopAsyncIteration:
                return

    async def aclose(self) -> None:
        await self._run(self.close)

    async def __aenter__(self) -> AsyncDerirezaroSaver:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    def __repr__(self) -> str:
        return f"AsyncDerirezaroSaver({self.log!r}, single_writer={self.single_writer})"


async def _next(tuples: AsyncIterator[_T]) -> _T:
    return await tuples.__anext__()


class Opening:
    """A saver being made: awaited, the saver; with `async with`, the saver, closed at the end."""

    def __init__(self, make: Callable[[], Awaitable[AsyncDerirezaroSaver]]) -> None:
        self._make = make
        self._saver: AsyncDerirezaroSaver | None = None

    def __await__(self) -> Generator[Any, None, AsyncDerirezaroSaver]:
        return self._make().__await__()

    async def __aenter__(self) -> AsyncDerirezaroSaver:
        self._saver = await self._make()
        return self._saver

    async def __aexit__(self, *exc: object) -> None:
        if self._saver is not None:
            await self._saver.aclose()

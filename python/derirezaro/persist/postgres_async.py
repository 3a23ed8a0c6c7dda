"""`PostgresLog` on psycopg's async connections: the same statements, transactions and error mapping,
its I/O awaited on the event loop (`bridge`).

The log's methods stay sync and are the sync log's own: what they are handed as a connection is
`Synced`, a facade over psycopg's `AsyncConnection` whose calls `bridge.wait` for the async ones.
So they run only inside `bridge.run` (an async saver's a* methods); anywhere else they raise.

Connections: given a conninfo string the log opens an `AsyncConnectionPool` of its own and closes
it at `close()`; given an `AsyncConnectionPool` or an `AsyncConnection` it uses that and leaves it
open. A connection given serves one call at a time (an `asyncio.Lock`, which a waiting call awaits
rather than blocking the loop on).
"""

from __future__ import annotations

import asyncio
import inspect
import weakref
from collections.abc import AsyncIterator, Iterator
from contextlib import asynccontextmanager, contextmanager
from typing import Any

from . import bridge
from .postgres import PostgresLog, _read_committed, psycopg
from .postgres_errors import as_persist_error


class AsyncPostgresLog(PostgresLog):
    """Timelines in PostgreSQL through psycopg's async connections: `await AsyncPostgresLog.connect(...)`.

    `where` is a conninfo string, a `psycopg_pool.AsyncConnectionPool` or a `psycopg.AsyncConnection`;
    the settings are `PostgresLog`'s.
    """

    def __init__(
        self,
        where: Any,
        prefix: str = "derirezaro",
        *,
        schema: str | None = None,
        pool_size: int = 4,
        timeout: float = 30.0,
        prepare_threshold: int | None = 5,
    ):
        if psycopg is None:  # the sync log's constructor says which extra is missing
            super().__init__(where, prefix)
        owned = isinstance(where, str)
        if owned:
            from psycopg_pool import AsyncConnectionPool

            where = AsyncConnectionPool(
                where,
                min_size=1,
                max_size=pool_size,
                kwargs={"autocommit": True, "prepare_threshold": prepare_threshold},
                configure=_configure,
                timeout=timeout,
                open=False,
                name=f"derirezaro {prefix}",
            )
        elif isinstance(where, psycopg.AsyncConnection):
            where = _OneConnection(where)
        elif not _is_async_pool(where):
            raise TypeError(
                f"a conninfo str, a psycopg AsyncConnection or AsyncConnectionPool, not {where!r}"
            )
        super().__init__(
            where,
            prefix,
            schema=schema,
            pool_size=pool_size,
            timeout=timeout,
            setup=False,
            prepare_threshold=prepare_threshold,
        )
        self._owned = owned
        self._timeout = timeout

    @classmethod
    async def connect(
        cls,
        where: Any,
        prefix: str = "derirezaro",
        *,
        schema: str | None = None,
        pool_size: int = 4,
        timeout: float = 30.0,
        setup: bool = True,
        prepare_threshold: int | None = 5,
    ) -> AsyncPostgresLog:
        """The log on `where`, its pool open (if it makes one), its tables set up unless `setup=False`."""
        log = cls(
            where,
            prefix,
            schema=schema,
            pool_size=pool_size,
            timeout=timeout,
            prepare_threshold=prepare_threshold,
        )
        try:
            if log._owned:
                try:
                    await log._pool.open(wait=True, timeout=timeout)
                except psycopg.Error as exc:
                    error = as_persist_error(exc, log._server, None)
                    if error is exc:
                        raise
                    raise error from exc
            await bridge.run(log._open_tables, setup)
        except BaseException:
            await log.aclose()
            raise
        return log

    def _open_tables(self, setup: bool) -> None:
        if bridge.inside():  # from `connect`; the constructor leaves it to `connect`, where I/O may wait
            super()._open_tables(setup)

    async def aclose(self) -> None:
        """`close()`, awaited: the pool the log opened closes; one given to it stays open."""
        await bridge.run(self.close)

    def close(self) -> None:
        if self._closed:
            return
        if self._owned and not bridge.inside():
            bridge.wait(self._pool.close())  # refused outside the bridge: the log stays open for `aclose`
        self._closed = True
        if self._owned:
            # Run to its end whatever cancels the task: cut short, it would leave the pool's
            # connections and workers open for good, the log being closed already. A wait after a
            # cancellation runs to its end (`bridge`).
            closing = asyncio.ensure_future(self._pool.close())
            try:
                bridge.wait(asyncio.shield(closing))
            except asyncio.CancelledError:
                bridge.wait(closing)
                raise

    @staticmethod
    def _finished(result: Any) -> Any:
        return bridge.wait(result)  # the pool's calls return coroutines

    @contextmanager
    def _connected(self) -> Iterator[Any]:
        self._check_open()
        with Synced(self._pool.connection()) as conn:
            yield conn

    def __repr__(self) -> str:
        return f"AsyncPostgresLog({self._server!r}, prefix={self.prefix!r})"


class Synced:
    """One of psycopg's async objects (connection, cursor, transaction, pipeline) as its sync twin.

    A call's coroutine is waited for; what it gives that is itself async (a cursor from `execute`,
    a transaction to enter) comes back wrapped too; plain values (rows, flags) come back as they are.
    `with` enters the async context, `for` iterates the async rows.
    """

    __slots__ = ("_target",)

    def __init__(self, target: Any) -> None:
        self._target = target

    def __getattr__(self, name: str) -> Any:
        value = getattr(self._target, name)
        if not callable(value):
            return _synced(value)
        return lambda *args, **kwargs: _synced(value(*args, **kwargs))

    def __enter__(self) -> Any:
        return _synced(self._target.__aenter__())

    def __exit__(self, *exc: Any) -> Any:
        return bridge.wait(self._target.__aexit__(*exc))

    def __iter__(self) -> Iterator[Any]:
        rows = self._target.__aiter__()
        while True:
            try:
                yield bridge.wait(rows.__anext__())
            except StopAsyncIteration:
                return


def _synced(value: Any) -> Any:
    if inspect.isawaitable(value):
        value = bridge.wait(value)
    kind = type(value)
    if hasattr(kind, "__aenter__") or hasattr(kind, "__aiter__"):
        return Synced(value)
    return value


# One lock per connection given, whichever logs it is given to: a call of one log between two statements
# of another's transaction would run inside that transaction.
_TURNS: weakref.WeakKeyDictionary[Any, asyncio.Lock] = weakref.WeakKeyDictionary()


class _OneConnection:
    """A connection given to the log, lent as a pool would lend it: to one call at a time."""

    def __init__(self, connection: Any) -> None:
        self._connection = connection
        self._lock = _TURNS.setdefault(connection, asyncio.Lock())
        self.conninfo = connection.info.dsn  # no password: psycopg leaves it out
        self.getconn = None  # what the log's constructor takes a pool by

    @asynccontextmanager
    async def connection(self) -> AsyncIterator[Any]:
        async with self._lock:
            yield self._connection


def _is_async_pool(where: Any) -> bool:
    try:
        from psycopg_pool import AsyncConnectionPool
    except ImportError:
        return False
    return isinstance(where, AsyncConnectionPool)


async def _configure(conn: Any) -> None:
    await bridge.run(_read_committed, Synced(conn))

"""Sync code on an event loop: each call runs in a greenlet of its own, on the loop's thread, and each
I/O it waits for switches back to the coroutine driving it, which awaits that I/O on the loop.

So one code path (the timelines, the saver) serves asyncio without a worker thread per call, while
the log under it speaks an async driver. `run(call, ...)` is the coroutine side; `wait(awaitable)`
is the greenlet side, and is refused anywhere but inside `run`.

What a caller of `run` must see to: the greenlet holds whatever the sync code holds while it waits
(a `threading.Lock`, an `RLock`), and a second greenlet on the same thread that reaches that lock
either blocks the loop (a Lock) or walks in beside the holder (an RLock counts the thread, not the
greenlet). Calls into one set of such locks are serialized by the caller (an `asyncio.Lock`).

Cancelled while the call waits, the task's `CancelledError` is thrown into the call at its wait, so
the sync code unwinds as it would from any error: its transactions roll back and its connections
go back to their pool. Those unwinding waits run to their end whatever cancels the task again (a
rollback cut short would leave a connection in a transaction), and `run` then raises the
cancellation, even if the sync code swallowed it. Closed instead (a task destroyed pending), `run`
can await nothing more: each wait of the unwinding raises `GeneratorExit` at once.
"""

from __future__ import annotations

import asyncio
import contextvars
from collections.abc import Awaitable, Callable
from typing import Any, TypeVar

try:
    from greenlet import getcurrent, greenlet  # type: ignore[import-untyped]
except ImportError as exc:
    raise ImportError(
        f"the async PostgreSQL saver needs greenlet: pip install 'derirezaro[postgres]' ({exc})",
        name=exc.name,
    ) from exc

_T = TypeVar("_T")


class _Bridged(greenlet):  # type: ignore[misc]
    """A greenlet `run` drives: the only kind in which `wait` may be called."""


def inside() -> bool:
    """Whether the code calling this runs inside `run`, where `wait` may be called."""
    return isinstance(getcurrent(), _Bridged)


def wait(awaitable: Awaitable[_T]) -> _T:
    """What `awaitable` gives, awaited on the loop by the `run` driving this call."""
    current = getcurrent()
    if not isinstance(current, _Bridged):
        close = getattr(awaitable, "close", None)
        if close is not None:
            close()  # a coroutine made and never awaited: closed, so nothing warns of it later
        raise RuntimeError(
            "this call awaits I/O on its event loop, and runs only from that loop's async methods "
            "(an async saver's a* methods, or bridge.run)"
        )
    return current.parent.switch(awaitable)  # type: ignore[no-any-return]


async def run(call: Callable[..., _T], *args: Any, **kwargs: Any) -> _T:
    """`call(*args, **kwargs)` in a greenlet on this thread, each `wait` in it awaited here."""
    child = _Bridged(call, getcurrent())
    child.gr_context = contextvars.copy_context()  # the sync code sees the task's context variables
    cancelled: BaseException | None = None
    try:
        pending = child.switch(*args, **kwargs)
        while not child.dead:
            try:
                value = await (pending if cancelled is None else _to_the_end(pending))
            except GeneratorExit:
                _unwind_unawaited(child)
                raise
            except BaseException as exc:
                if cancelled is None and isinstance(exc, asyncio.CancelledError):
                    cancelled = exc
                pending = child.throw(exc)
            else:
                pending = child.switch(value)
    except BaseException as exc:
        if cancelled is None or exc is cancelled or isinstance(exc, GeneratorExit):
            raise
        raise cancelled from exc  # the task was cancelled: that is what its awaiter is told
    if cancelled is not None:
        raise cancelled
    return pending  # type: ignore[no-any-return]


def _unwind_unawaited(child: greenlet) -> None:
    """`child` unwound without awaiting: the coroutine driving it is being closed (a task destroyed
    pending, its loop gone) and may await nothing more. Each wait the unwinding makes raises
    `GeneratorExit` at once; a call left suspended would hold its locks until the collector ran it."""
    while not child.dead:
        try:
            pending = child.throw(GeneratorExit())
        except BaseException:
            return  # whatever the unwinding raised gives way to the closing
        close = getattr(pending, "close", None)
        if close is not None and not child.dead:
            close()  # a coroutine made and never awaited: closed, so nothing warns of it later


async def _to_the_end(awaitable: Awaitable[_T]) -> _T:
    """`awaitable` awaited until it ends, however often the task is cancelled meanwhile."""
    future = asyncio.ensure_future(awaitable)
    while True:
        try:
            return await asyncio.shield(future)
        except asyncio.CancelledError:
            if future.done():
                return future.result()  # raises only if the awaited work itself was cancelled

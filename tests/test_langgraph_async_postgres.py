"""The async PostgreSQL saver and log: calls racing on one loop, a call cancelled mid-statement, sync calls
on and off the loop, the bridge's unwinding of a cancelled call, and the log's errors as the sync log's."""

import asyncio
import functools
import gc

import pytest
from conftest import langgraph_or_skip

langgraph_or_skip()

import postgres_server
from postgres_server import PostgresServer, fresh_prefix

postgres_server.require()  # before psycopg is imported: where it is missing, the module skips or fails
import psycopg
from derirezaro import Store
from derirezaro.langgraph import DerirezaroSaver
from derirezaro.langgraph.async_saver import AsyncDerirezaroSaver
from derirezaro.persist import ConflictError, ConnectionLostError, CorruptRecordError, bridge
from derirezaro.persist.postgres import PostgresLog
from derirezaro.persist.postgres_async import AsyncPostgresLog
from langgraph.checkpoint.base import empty_checkpoint
from test_persist_postgres import committed, committing, sql, waiting_on_locks


def on_a_loop(test):
    """The async test run to its end on a loop of its own."""
    return functools.wraps(test)(lambda *args, **kwargs: asyncio.run(test(*args, **kwargs)))


def config(thread, checkpoint_id=None):
    return {"configurable": {"thread_id": thread, "checkpoint_ns": "", "checkpoint_id": checkpoint_id}}


def step(value):
    checkpoint = empty_checkpoint()
    checkpoint["channel_values"], checkpoint["channel_versions"] = {"a": value}, {"a": value}
    return checkpoint


async def put(saver, thread, checkpoint, parent=None):
    done = await saver.aput(config(thread, parent), checkpoint, {"step": 0}, {"a": 1})
    return done["configurable"]["checkpoint_id"]


async def values(saver, thread):
    """The thread's checkpoints newest first, each as (its value, its parent's id)."""
    listed = [
        (t.checkpoint, t.parent_config or {"configurable": {}}) async for t in saver.alist(config(thread))
    ]
    return [(c["channel_values"]["a"], p["configurable"].get("checkpoint_id")) for c, p in listed]


def calls_inside():
    """How many calls are inside the sync code now: the bridge's greenlets started and not ended."""
    return sum(isinstance(g, bridge._Bridged) and bool(g) for g in gc.get_objects())


async def waiting_on_rows(url, prefix, work):
    """A connection holding every voucher row of the prefix's tables until it commits or rolls back, and
    `work` as a task, once it waits on them (the loop free meanwhile)."""
    holder = psycopg.connect(url)
    holder.execute(f'SELECT * FROM "{prefix}_timelines" FOR UPDATE')
    task = asyncio.create_task(work)
    await asyncio.to_thread(waiting_on_locks, url, 1)
    return holder, task


@pytest.mark.parametrize("given", ["conninfo", "connection"])
@pytest.mark.parametrize("call", ["put", "prune"])
@on_a_loop
async def test_calls_on_one_loop_take_turns_and_one_cancelled_mid_statement_leaves_nothing_half_done(
    postgres_url, given, call
):
    # The sync code holds a branch's and a timeline's RLock across its wait for the server: a second call
    # on the loop's thread would walk into them beside the first, were the calls not taking turns.
    prefix = fresh_prefix()
    conn = await psycopg.AsyncConnection.connect(postgres_url, autocommit=True)
    where = postgres_url if given == "conninfo" else conn
    async with AsyncDerirezaroSaver.postgres(where, prefix=prefix) as saver:
        first = await put(saver, "t", step(1))
        second = await put(saver, "t", step(2), first)
        await put(saver, "u", step(9))
        waiting = put(saver, "t", step(3), second) if call == "put" else saver.aprune(["t"])
        holder, task = await waiting_on_rows(postgres_url, prefix, waiting)
        later = [step(value) for value in (4, 5)]
        turns = [put(saver, "t", later[0], second), put(saver, "t", later[1], later[0]["id"])]
        turns = [asyncio.create_task(each) for each in [*turns, saver.aget_tuple(config("u"))]]
        for _ in range(10):
            await asyncio.sleep(0)  # the loop runs: nothing blocks it while `task` waits
        assert not any(each.done() for each in [task, *turns])
        assert calls_inside() == 1  # the others wait their turn outside the sync code
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        holder.rollback()
        assert (await turns[2]).checkpoint["channel_values"] == {"a": 9}
        await asyncio.gather(*turns[:2])  # the saver, its branch and its connection serve on
        assert await values(saver, "t") == [(5, later[0]["id"]), (4, second), (2, first), (1, None)]
        assert conn.info.transaction_status == psycopg.pq.TransactionStatus.IDLE
    await conn.close()


@pytest.mark.parametrize("swallowed", [False, True])
@on_a_loop
async def test_a_cancelled_call_unwinds_to_its_end_however_often_the_task_is_cancelled(swallowed):
    loop = asyncio.get_running_loop()
    statement, rollback = loop.create_future(), loop.create_future()
    steps = []

    def call():
        try:
            bridge.wait(statement)
        except asyncio.CancelledError:
            steps.append(bridge.wait(rollback))  # the unwinding awaits too, as a rollback does
            if not swallowed:
                raise
        return "returned"

    task = asyncio.create_task(bridge.run(call))
    for _ in range(2):  # once at the statement, once more at the rollback
        await asyncio.sleep(0)
        task.cancel()
    await asyncio.sleep(0)
    assert not task.done() and steps == []
    rollback.set_result("rolled back")
    with pytest.raises(asyncio.CancelledError):  # even where the sync code swallowed it
        await task
    assert steps == ["rolled back"]


@on_a_loop
async def test_a_close_cancelled_while_the_pool_closes_still_closes_it(postgres_url):
    log = await AsyncPostgresLog.connect(postgres_url, fresh_prefix(), pool_size=2)
    pool, closing = log._pool, asyncio.Event()
    close = pool.close

    async def slow_close(*args, **kwargs):  # connections to close, workers to stop
        closing.set()
        await asyncio.sleep(0.2)
        return await close(*args, **kwargs)

    pool.close = slow_close
    task = asyncio.create_task(log.aclose())
    await closing.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert pool.closed


class _Pause:
    def __await__(self):
        yield
        return "resumed"


def test_a_call_whose_coroutine_is_closed_unwinds_at_once_and_is_left_nowhere():
    # A task destroyed pending closes its coroutine: nothing more can be awaited, so the rollback-like
    # waits of the unwinding are refused, the call ends, and `close()` is not told the coroutine ignored it.
    steps = []

    def call():
        try:
            bridge.wait(_Pause())
        finally:
            try:
                bridge.wait(_Pause())
            except GeneratorExit:
                steps.append("refused")
                raise

    driving = bridge.run(call)
    driving.send(None)
    assert calls_inside() == 1
    driving.close()
    assert steps == ["refused"] and calls_inside() == 0


def test_calls_from_other_threads_and_loops_run_on_the_savers_and_are_refused_where_they_cannot(postgres_url):
    # One pooled connection: calls from three threads and two loops contend for it, and for the saver's turn.
    async def steps(saver, thread, count):
        parent = None
        for value in range(count):
            parent = await put(saver, thread, step(value), parent)
            assert (await saver.aget_tuple(config(thread))).checkpoint["id"] == parent
        return [value for value, _ in await values(saver, thread)]

    def sync_steps(saver, thread, count):  # from a thread of its own: they wait on the saver's loop
        parent = config(thread)
        for value in range(count):
            parent = saver.put(parent, step(value), {}, {"a": 1})
            assert saver.get_tuple(config(thread)).config == parent
        return [t.checkpoint["channel_values"]["a"] for t in saver.list(config(thread))]

    async def scenario():
        saver = await AsyncDerirezaroSaver.postgres(postgres_url, prefix=fresh_prefix(), pool_size=1)
        for call in (saver.get_tuple, saver.list):  # on the loop itself they would block it
            with pytest.raises(asyncio.InvalidStateError, match="would block the event loop"):
                call(config("t"))
        # The log's own calls run only inside the bridge; and the log stays open, for the saver's own close.
        for call in (lambda: saver.log.head("t"), saver.log.close):
            with pytest.raises(RuntimeError, match="runs only from that loop's async methods"):
                call()
        with pytest.raises(TypeError, match="AsyncDerirezaroSaver"):  # the sync saver on an async pool
            DerirezaroSaver.postgres(saver.log._pool)
        elsewhere = [
            asyncio.to_thread(asyncio.run, steps(saver, "b", 30)),
            asyncio.to_thread(sync_steps, saver, "c", 30),
        ]
        assert await asyncio.gather(steps(saver, "a", 30), *elsewhere) == [list(range(29, -1, -1))] * 3
        await saver.aclose()
        return saver

    saver = asyncio.run(scenario())
    for call in (lambda: asyncio.run(saver.aget_tuple(config("a"))), lambda: saver.get_tuple(config("a"))):
        with pytest.raises(RuntimeError, match="not running"):
            call()


@on_a_loop
async def test_logs_given_one_connection_take_turns_on_it_across_a_transaction(postgres_url):
    # The first log's append found the head moved and locks the row in a transaction; the second's
    # append must not run on the connection inside it (into its rollback, or out of its nesting).
    prefix = fresh_prefix()
    sync = PostgresLog(postgres_url, prefix=prefix)
    committed(sync, "a", 1)
    conn = await psycopg.AsyncConnection.connect(postgres_url, autocommit=True)
    one, two = [await AsyncPostgresLog.connect(conn, prefix) for _ in range(2)]
    stale, other = [await bridge.run(log.timeline, name, Store()) for log, name in ((one, "a"), (two, "b"))]
    committed(sync, "a", 1)
    holder, first = await waiting_on_rows(postgres_url, prefix, bridge.run(committing, stale, 1))
    second = asyncio.create_task(bridge.run(committing, other, 1))
    await asyncio.sleep(0.1)
    holder.rollback()
    with pytest.raises(ConflictError):
        await first
    assert (await second).seq == 1 and sync.head("b").seq == 1
    assert conn.info.transaction_status == psycopg.pq.TransactionStatus.IDLE
    sync.close()
    await conn.close()


@on_a_loop
async def test_each_failure_is_the_sync_logs_error_in_the_sync_logs_words():
    with PostgresServer() as server:
        sync = PostgresLog(server.url, prefix="p", timeout=1)
        committed(sync, "t", 1)
        given = await psycopg.AsyncConnection.connect(server.url, autocommit=True)
        logs = [await AsyncPostgresLog.connect(where, "p", timeout=1) for where in (server.url, given)]
        for kind, failure in [
            (CorruptRecordError, lambda: sql(server.url, 'UPDATE "p_timelines" SET crc = crc + 1')),
            (ConnectionLostError, server.halt),
        ]:
            failure()
            found = [pytest.raises(kind, sync.head, "t").value]
            for log in logs:
                with pytest.raises(kind) as caught:
                    await bridge.run(log.head, "t")
                found.append(caught.value)
            assert {type(f) for f in found} == {kind}
            # The same words, but where the connection was lost: those say how.
            assert kind is ConnectionLostError or len({str(f) for f in found}) == 1
        for log in logs:
            await log.aclose()

"""LangGraph's own conformance suite, every capability, on each log the saver runs on."""

import asyncio

import pytest
from conftest import langgraph_or_skip

langgraph_or_skip()

import postgres_server
from derirezaro.langgraph import AsyncDerirezaroSaver, DerirezaroSaver
from langgraph.checkpoint.conformance import checkpointer_test, validate
from redis_server import fresh_prefix, shared_url

SUITE_SIZE = 81  # tests in the suite's eight capability groups


def savers(tmp_path):
    yield "memory", DerirezaroSaver.memory
    yield "sqlite", lambda: DerirezaroSaver.sqlite(tmp_path / "checkpoints.db")
    yield "sqlite-memory", lambda: DerirezaroSaver.sqlite(":memory:")  # as LangGraph users write tests
    yield "redis", lambda: DerirezaroSaver.redis(shared_url(), prefix=fresh_prefix())
    yield "postgres", lambda: DerirezaroSaver.postgres(postgres_server.shared_url(), prefix=fresh_prefix())
    # Its a* methods await psycopg's async connections on the suite's own loop.
    yield (
        "postgres-async",
        lambda: AsyncDerirezaroSaver.postgres(postgres_server.shared_url(), prefix=fresh_prefix()),
    )


@pytest.mark.parametrize("log", ["memory", "sqlite", "sqlite-memory", "redis", "postgres", "postgres-async"])
def test_the_whole_conformance_suite_passes(tmp_path, log):
    make = dict(savers(tmp_path))[log]

    @checkpointer_test(name=f"DerirezaroSaver-{log}")
    async def factory():
        async with make() as saver:
            yield saver

    report = asyncio.run(validate(factory))
    failures = [f for result in report.results.values() for f in result.failures]
    assert failures == []
    results = report.results.values()
    assert all(r.detected for r in results)
    assert sum(r.tests_passed for r in results) == SUITE_SIZE

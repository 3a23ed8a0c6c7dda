#!/usr/bin/env python3
"""The async PostgreSQL saver's step beside the sync saver and LangGraph's PostgreSQL savers.

    python3 bench/bench_async_postgres.py [--steps N] [--channels 10,1000]

One throwaway server with fsync on (tests/postgres_server.py), each saver in a
schema of its own. A step is a put with one of N channels changed, then the
task's put_writes. Contestants, their steps interleaved in blocks on one event
loop: ours sync (put), ours through the sync saver's a* methods (a worker
thread per call), ours async (`AsyncDerirezaroSaver`: the calls in greenlets on
the loop), PostgresSaver and AsyncPostgresSaver. Reported: median wall time and
process CPU time per step (the process's, so a worker thread's share counts).
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import statistics
import sys
import time
import uuid
from pathlib import Path

from derirezaro.langgraph import DerirezaroSaver
from derirezaro.langgraph.async_saver import AsyncDerirezaroSaver
from langgraph.checkpoint.base import empty_checkpoint
from langgraph.checkpoint.postgres import PostgresSaver
from langgraph.checkpoint.postgres.aio import AsyncPostgresSaver

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from postgres_server import PostgresServer  # noqa: E402


class Steps:
    """One graph thread: a put of the checkpoint with one channel changed, then the task's write."""

    def __init__(self, saver, channels: int, asynchronous: bool):
        self.saver, self.asynchronous, self.step = saver, asynchronous, 0
        self.values = {f"c{i}": {"role": "tool", "text": f"value {i}"} for i in range(channels)}
        self.versions = {ch: saver.get_next_version(None, None) for ch in self.values}
        self.config = {"configurable": {"thread_id": "t", "checkpoint_ns": ""}}

    def checkpoint(self):
        checkpoint = empty_checkpoint()
        checkpoint["channel_values"], checkpoint["channel_versions"] = dict(self.values), dict(self.versions)
        return checkpoint

    async def run(self, changed: dict) -> None:
        checkpoint, metadata = self.checkpoint(), {"source": "loop", "step": self.step, "parents": {}}
        writes, task = list(changed.items()), str(uuid.uuid4())
        if self.asynchronous:
            self.config = await self.saver.aput(self.config, checkpoint, metadata, changed)
            await self.saver.aput_writes(self.config, writes, task, "~agent")
        else:
            self.config = self.saver.put(self.config, checkpoint, metadata, changed)
            self.saver.put_writes(self.config, writes, task, "~agent")

    def prepare(self) -> dict:
        self.step += 1
        channel = f"c{self.step % len(self.values)}"
        self.values[channel] = {"role": "tool", "text": f"result {self.step}"}
        self.versions[channel] = self.saver.get_next_version(self.versions[channel], None)
        return {channel: self.versions[channel]}


async def contestants(url: str, schema):
    import psycopg
    from psycopg.rows import dict_row

    def peer_conn(name):  # as the peers' from_conn_string connect, their schema first in the search path
        settings = {"autocommit": True, "prepare_threshold": 0, "row_factory": dict_row}
        return {**settings, "options": f"-c search_path={name}"}

    ours = DerirezaroSaver.postgres(url, schema=schema())
    async_ours = await AsyncDerirezaroSaver.postgres(url, schema=schema())
    peer = PostgresSaver(psycopg.connect(url, **peer_conn(schema())))
    peer.setup()
    async_peer = AsyncPostgresSaver(await psycopg.AsyncConnection.connect(url, **peer_conn(schema())))
    await async_peer.setup()
    return [
        ("derirezaro sync, put", ours, False),
        ("derirezaro sync saver, aput (worker thread)", ours, True),
        ("AsyncDerirezaroSaver, aput", async_ours, True),
        ("PostgresSaver, put", peer, False),
        ("AsyncPostgresSaver, aput", async_peer, True),
    ]


async def main(steps: int, channel_counts: list[int], block: int = 25) -> None:
    with PostgresServer(fsync=True) as server:
        import psycopg

        admin, count = psycopg.connect(server.url, autocommit=True), iter(range(10**6))

        def schema() -> str:
            name = f"s{next(count)}"
            admin.execute(f'CREATE SCHEMA "{name}"')
            return name

        print(f"per step (put + put_writes), median of {steps}; PostgreSQL fsync on, one local server")
        for channels in channel_counts:
            found = await contestants(server.url, schema)
            runs = [Steps(saver, channels, asynchronous) for _, saver, asynchronous in found]
            walls: list[list[float]] = [[] for _ in runs]
            cpus: list[list[float]] = [[] for _ in runs]
            gc.disable()
            for _ in range(0, steps, block):
                for run, wall, cpu in zip(runs, walls, cpus, strict=True):
                    for _ in range(block):
                        changed = run.prepare()
                        start, start_cpu = time.perf_counter(), time.process_time()
                        await run.run(changed)
                        cpu.append(time.process_time() - start_cpu)
                        wall.append(time.perf_counter() - start)
            gc.enable()
            ours, _, async_ours, peer, async_peer = (saver for _, saver, _ in found)
            ours.close()
            await async_ours.aclose()
            peer.conn.close()
            await async_peer.conn.close()
            print(f"\n{channels} channels | wall ms | CPU ms")
            for (name, _, _), wall, cpu in zip(found, walls, cpus, strict=True):
                print(
                    f"{name:45} | {statistics.median(wall) * 1e3:6.2f} | {statistics.median(cpu) * 1e3:6.2f}"
                )


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--steps", type=int, default=200)
    parser.add_argument("--channels", default="10,1000")
    args = parser.parse_args()
    asyncio.run(main(args.steps, [int(c) for c in args.channels.split(",")]))

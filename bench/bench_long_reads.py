#!/usr/bin/env python3
"""Reads of long threads, beside LangGraph's checkpointers in the same run.

    python3 bench/bench_long_reads.py [--rounds 3] [--checkpoints 20000] [--skip-list] [--skip-history]

- `list(limit=10)` and `get_tuple(latest)` at 1,000 channels on a thread of
  1,000 checkpoints (one channel of 1,000 changed a step): ours on PostgreSQL
  beside PostgresSaver, on one throwaway server (fsync on), each in a schema of
  its own. Timed on the saver that wrote the thread, as a running graph reads.
- `get_state_history(config, limit=100)` of a compiled graph on a thread of
  `--checkpoints` checkpoints (a node that loops, three channels): ours on
  PostgreSQL, SQLite (`full`) and Redis (AOF everysec), PostgresSaver and the
  SQLite checkpointer. Timed on the saver that wrote the thread ("warm") and as
  the first read of a saver opened afterwards on the same place ("cold"; the
  saver is opened, and its connections made, before the clock starts).

Building the threads takes minutes (a graph step per checkpoint, each
committed): the PostgreSQL savers build theirs with `synchronous_commit` off,
which changes nothing of what is stored. Each round times every contestant in
turn (median of its repeats, wall clock and thread CPU), so that the machine's
load falls on all alike; the load average is printed with each round.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import TypedDict

import psycopg
from bench_langgraph import REDIS_PERSISTENCE, Thread, postgres_contestants, sqlite_peer
from derirezaro.langgraph import DerirezaroSaver
from langgraph.graph import END, START, StateGraph

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import postgres_server  # noqa: E402
from redis_server import BINARY as REDIS_BINARY  # noqa: E402
from redis_server import RedisServer  # noqa: E402

LATEST = {"configurable": {"thread_id": "t", "checkpoint_ns": ""}}
HISTORY = {"configurable": {"thread_id": "h"}}
NO_FLUSH = "-c synchronous_commit=off"


class Loop(TypedDict):
    n: int
    note: str
    tag: str


def loop_graph(saver, steps: int):
    """A node that runs `steps` times: a checkpoint a step, as a long-running agent writes them."""

    def step(state: Loop) -> dict:
        return {"n": state["n"] + 1, "note": f"step {state['n'] + 1}"}

    graph = StateGraph(Loop)
    graph.add_node("step", step)
    graph.add_edge(START, "step")
    graph.add_conditional_edges("step", lambda state: END if state["n"] >= steps else "step")
    return graph.compile(checkpointer=saver)


class ServerCpu:
    """CPU seconds used so far by the PostgreSQL server's processes (its postmaster's children).

    On a loaded machine a read's wall time is mostly its share of the CPU, its
    client's and the server's: their sum is the figure the load changes least.
    """

    def __init__(self, data: str) -> None:
        with open(os.path.join(data, "postmaster.pid")) as file:
            self.postmaster = file.readline().strip()
        self.tick = os.sysconf("SC_CLK_TCK")

    def __call__(self) -> float:
        total = 0
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/stat") as file:
                    fields = file.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if fields[1] == self.postmaster:
                total += int(fields[11]) + int(fields[12])
        return total / self.tick


def timed(fn, repeats: int, server: ServerCpu | None = None) -> tuple[float, float, float]:
    """Median wall and thread CPU milliseconds of `fn()`, after one untimed call; and the server's CPU
    milliseconds per call, over all of them."""
    fn()
    walls, cpus = [], []
    before = server() if server is not None else 0.0
    gc.disable()
    try:
        for _ in range(repeats):
            start, start_cpu = time.perf_counter(), time.thread_time()
            fn()
            cpus.append(time.thread_time() - start_cpu)
            walls.append(time.perf_counter() - start)
    finally:
        gc.enable()
    used = (server() - before) / repeats if server is not None else 0.0
    return statistics.median(walls) * 1e3, statistics.median(cpus) * 1e3, used * 1e3


def load() -> str:
    return "load " + " ".join(f"{x:.1f}" for x in os.getloadavg())


def with_options(url: str, options: str) -> str:
    return f"{url}{'&' if '?' in url else '?'}options={options.replace(' ', '%20').replace('=', '%3D')}"


def list_rows(url: str, rounds: int, server: ServerCpu) -> None:
    ours, peer = postgres_contestants(url)
    savers = {}
    for contestant in (ours, peer):
        saver = contestant.make()
        started = time.perf_counter()
        thread = Thread(saver, 1000)
        for _ in range(999):
            thread.one()
        print(f"  built {contestant.label}: {time.perf_counter() - started:.0f} s")
        savers[contestant.name] = saver
    print(
        "\nreads at N=1000 on a 1,000-checkpoint thread, ms:  wall / client CPU + server CPU",
        "    get_tuple(latest)              list(limit=10)",
    )
    for round in range(rounds):
        got = {}
        for name, saver in savers.items():
            got[name] = (
                timed(lambda saver=saver: saver.get_tuple(LATEST), 20, server),
                timed(lambda saver=saver: list(saver.list(LATEST, limit=10)), 7, server),
            )
            cells = "".join(f"   {w:8.2f} / {c:6.2f} + {s:6.2f}" for w, c, s in got[name])
            print(f"  round {round + 1}  {name:<22} {cells}")
        ratios = [
            f"{what} {o[0] / p[0]:.2f} wall, {(o[1] + o[2]) / (p[1] + p[2]):.2f} CPU"
            for what, o, p in zip(("get", "list"), got[ours.name], got[peer.name], strict=True)
        ]
        print(f"  round {round + 1}  ours / theirs: {'; '.join(ratios)}   ({load()})")
    ours.close(savers[ours.name])
    peer.close(savers[peer.name])


def history_contestants(directory: Path, url: str, redis_url: str | None):
    """(name, open(building: bool)) for each saver: the same place each time it is opened."""
    counter = iter(range(10**6))
    admin = psycopg.connect(url, autocommit=True)

    def schema() -> str:
        name = f"h{next(counter)}"
        admin.execute(f'CREATE SCHEMA "{name}"')
        return name

    ours_schema, peer_schema = schema(), schema()

    def ours_pg(building: bool):
        return DerirezaroSaver.postgres(with_options(url, NO_FLUSH) if building else url, schema=ours_schema)

    def peer_pg(building: bool):
        from langgraph.checkpoint.postgres import PostgresSaver
        from psycopg.rows import dict_row

        options = f"-c search_path={peer_schema}" + (f" {NO_FLUSH}" if building else "")
        conn = psycopg.connect(
            url, autocommit=True, prepare_threshold=0, row_factory=dict_row, options=options
        )
        saver = PostgresSaver(conn)
        saver.setup()
        return saver

    found = [
        ("derirezaro PostgreSQL", ours_pg),
        ("PostgresSaver", peer_pg),
        (
            "derirezaro SQLite full",
            lambda _: DerirezaroSaver.sqlite(directory / "ours.db", durability="full"),
        ),
        ("SqliteSaver (FULL)", lambda _: sqlite_peer(directory / "peer.db")),
    ]
    if redis_url is not None:
        import redis

        client = redis.Redis.from_url(redis_url)
        found.append(("derirezaro Redis AOF", lambda _: DerirezaroSaver.redis(client, prefix="h")))
    return found


def close(saver) -> None:
    conn = getattr(saver, "conn", None)
    if conn is not None:
        conn.close()
    else:
        saver.close()


def history_rows(directory: Path, url: str, redis_url: str | None, checkpoints: int, rounds: int) -> None:
    found = history_contestants(directory, url, redis_url)
    savers = {}
    for name, open_saver in found:
        builder = open_saver(True)
        started = time.perf_counter()
        loop_graph(builder, checkpoints - 2).invoke(
            {"n": 0, "note": "", "tag": "x"}, {**HISTORY, "recursion_limit": checkpoints + 10}
        )
        close(builder)
        print(f"  built {name}: {time.perf_counter() - started:.0f} s")
        savers[name] = open_saver(False)
    print(
        f"\nget_state_history(limit=100) on a {checkpoints:,}-checkpoint thread, ms",
        "     warm wall / CPU   cold wall",
    )
    for round in range(rounds):
        for name, open_saver in found:
            graph = loop_graph(savers[name], 0)
            wall, cpu, _ = timed(lambda graph=graph: list(graph.get_state_history(HISTORY, limit=100)), 5)
            reader = open_saver(False)
            graph = loop_graph(reader, 0)
            start = time.perf_counter()
            got = list(graph.get_state_history(HISTORY, limit=100))
            cold = (time.perf_counter() - start) * 1e3
            close(reader)
            assert len(got) == 100, (name, len(got))
            print(f"  round {round + 1}  {name:<26} {wall:12.1f} / {cpu:6.1f} {cold:12.1f}")
        print(f"  ({load()})")
    for saver in savers.values():
        close(saver)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--checkpoints", type=int, default=20000)
    parser.add_argument("--skip-list", action="store_true")
    parser.add_argument("--skip-history", action="store_true")
    args = parser.parse_args()
    postgres = postgres_server.PostgresServer(fsync=True).start()
    redis_server = RedisServer(*REDIS_PERSISTENCE).start() if REDIS_BINARY else None
    try:
        print(f"PostgreSQL fsync on, synchronous_commit on; {load()}")
        if not args.skip_list:
            list_rows(postgres.url, args.rounds, ServerCpu(postgres.data))
        if not args.skip_history:
            with tempfile.TemporaryDirectory(dir="/tmp") as scratch:
                redis_url = None if redis_server is None else redis_server.url
                history_rows(Path(scratch), postgres.url, redis_url, args.checkpoints, args.rounds)
    finally:
        postgres.stop()
        if redis_server is not None:
            redis_server.stop()


if __name__ == "__main__":
    main()

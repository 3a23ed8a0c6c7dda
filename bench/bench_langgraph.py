#!/usr/bin/env python3
"""DerirezaroSaver beside LangGraph's checkpointers: step cost, bytes, reads, threads, processes, damage.

    python3 bench/bench_langgraph.py [--quick] [--no-instructions] [--long-reads] [--plot FILE.png]

Peers, in the same run: LangGraph's InMemorySaver, the SQLite checkpointer
(langgraph-checkpoint-sqlite), a Redis checkpointer that runs on a plain
server (langgraph-checkpoint-plainredis; the official Redis checkpointer needs
server modules) and the PostgreSQL checkpointer (langgraph-checkpoint-postgres)
beside ours on one throwaway server with fsync on (tests/postgres_server.py).
A step is what a running graph does: a put of the new checkpoint with one
channel of N changed, then a put_writes of that task's write. Bytes per step
are the growth of the SQLite file (its WAL checkpointed), of the Redis
server's memory (each Redis saver has a server of its own), of the PostgreSQL
tables with their TOAST and indexes (`pg_total_relation_size` of a schema each
saver has to itself), or of what InMemorySaver holds.

Every contestant is named with its durability, and each of ours is matched by
a peer at the same one: SQLite `full` (an fsync per commit; the SQLite
checkpointer's default) and `normal` (WAL with synchronous=NORMAL: no fsync,
for the peer a pragma on its connection), and Redis with `appendonly yes`,
`appendfsync everysec`, the setting the README recommends. Both PostgreSQL
savers commit each write with the server's defaults (`synchronous_commit` on:
flushed to its WAL). InMemorySaver keeps nothing beyond the process.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import multiprocessing
import os
import platform
import random
import sqlite3
import statistics
import sys
import tempfile
import threading
import time
import uuid
from pathlib import Path
from typing import Annotated, NamedTuple, TypedDict

import instructions
from derirezaro import __version__
from derirezaro.langgraph import CorruptCheckpoint, DerirezaroSaver
from langgraph.channels import DeltaChannel
from langgraph.checkpoint.base import empty_checkpoint
from langgraph.checkpoint.memory import InMemorySaver

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from langgraph_floor import StatementsOnly  # noqa: E402
from redis_server import BINARY as REDIS_BINARY  # noqa: E402
from redis_server import RedisServer  # noqa: E402

try:
    import postgres_server  # noqa: E402
    from langgraph.checkpoint.postgres import PostgresSaver
except ImportError:
    PostgresSaver = None

try:
    from langgraph.checkpoint.sqlite import SqliteSaver
except ImportError:
    SqliteSaver = None
try:
    from langgraph_checkpoint_plainredis import RedisSaver as PlainRedisSaver
except ImportError:
    PlainRedisSaver = None

DURABILITIES = ("full", "normal")
# The server's persistence, the same for both Redis savers: what the README recommends for checkpoints.
REDIS_PERSISTENCE = ("--appendonly", "yes", "--appendfsync", "everysec")
REDIS_DURABILITY = "AOF everysec"
# One server for both PostgreSQL savers, as a deployment shares its database; each has a schema of its own.
POSTGRES_DURABILITY = "fsync, synchronous_commit on"


def sqlite_peer(path: Path, durability: str = "full"):
    """The SQLite checkpointer on its own connection, at `durability` (its default is FULL)."""
    connection = sqlite3.connect(path, check_same_thread=False)
    saver = SqliteSaver(connection)
    saver.setup()
    connection.execute(f"PRAGMA synchronous={durability.upper()}")
    return saver


def ours_sqlite(path, durability: str):
    return DerirezaroSaver.sqlite(path, durability=durability)


class Step(NamedTuple):
    """One step's arguments, all built before the clock starts: LangGraph builds them either way."""

    checkpoint: dict
    metadata: dict
    new_versions: dict
    writes: list


class Thread:
    """One graph thread driven as Pregel drives a checkpointer: put a checkpoint, then the task's writes."""

    def __init__(self, saver, channels: int, thread_id: str = "t"):
        self.saver, self.step = saver, 0
        self.values = {f"c{i}": {"role": "tool", "text": f"value {i}"} for i in range(channels)}
        self.versions = {ch: saver.get_next_version(None, None) for ch in self.values}
        self.seen = {"agent": dict(self.versions), "tools": dict(self.versions)}
        self.config = {"configurable": {"thread_id": thread_id, "checkpoint_ns": ""}}
        self.config = saver.put(self.config, self.checkpoint(), self.metadata("input"), dict(self.versions))

    def checkpoint(self):
        checkpoint = empty_checkpoint()
        checkpoint["channel_values"] = dict(self.values)
        checkpoint["channel_versions"] = dict(self.versions)
        checkpoint["versions_seen"] = {node: dict(seen) for node, seen in self.seen.items()}
        return checkpoint

    def metadata(self, source: str):
        return {"source": source, "step": self.step, "parents": {}, "run_id": "run-1"}

    def prepare(self) -> Step:
        """The next step; steps prepared ahead must be run in the order they were prepared."""
        self.step += 1
        channel = f"c{self.step % len(self.values)}"
        self.values[channel] = {"role": "tool", "text": f"result {self.step}"}
        self.versions[channel] = self.saver.get_next_version(self.versions[channel], None)
        self.seen["agent"][channel] = self.versions[channel]
        return Step(
            self.checkpoint(),
            self.metadata("loop"),
            {channel: self.versions[channel]},
            [(channel, self.values[channel])],
        )

    def run(self, step: Step):
        self.config = self.saver.put(self.config, step.checkpoint, step.metadata, step.new_versions)
        self.saver.put_writes(self.config, step.writes, str(uuid.uuid4()), "~agent")

    def one(self):
        self.run(self.prepare())


def per_step(savers, channels: int, steps: int, block: int = 25) -> list[tuple[float, float]]:
    """Median (wall us, thread CPU us) of put + put_writes for each saver, their steps interleaved in blocks.

    `block` steps of each in turn, so that what the disk and the machine do
    over the run (an fsync's latency drifts by tens of percent) falls on all
    alike, while each block runs with its own data in the caches. Thread CPU
    time leaves out the fsync's wait and whatever else the machine runs.
    """
    threads = [Thread(saver, channels) for saver in savers]
    walls: list[list[float]] = [[] for _ in savers]
    cpus: list[list[float]] = [[] for _ in savers]
    gc.disable()
    try:
        for _ in range(0, steps, block):
            for thread, wall, cpu in zip(threads, walls, cpus, strict=True):
                for _ in range(block):
                    step = thread.prepare()
                    start, start_cpu = time.perf_counter(), time.thread_time()
                    thread.run(step)
                    cpu.append(time.thread_time() - start_cpu)
                    wall.append(time.perf_counter() - start)
    finally:
        gc.enable()
    return [
        (statistics.median(wall) * 1e6, statistics.median(cpu) * 1e6)
        for wall, cpu in zip(walls, cpus, strict=True)
    ]


class Contestant:
    """A saver on a place of its own (a file, a key prefix), and how to measure what it stores.

    `reopen(place)` opens a saver on a place; called again on the same place,
    it is a second saver, as a new worker would open it. `shared` is False
    where a second saver sees nothing of the first one's (InMemorySaver).
    """

    def __init__(self, name, durability, new_place, reopen, size, close=lambda saver: None, shared=True):
        self.name, self.durability, self.shared = name, durability, shared
        self.new_place, self.reopen, self.size, self.close = new_place, reopen, size, close

    @property
    def label(self) -> str:
        return f"{self.name}, {self.durability}"

    def make(self):
        return self.reopen(self.new_place())


def file_size(path: Path, connection: sqlite3.Connection) -> int:
    connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    return path.stat().st_size


def memory_size(saver: InMemorySaver) -> int:
    total = 0
    for namespaces in saver.storage.values():
        for checkpoints in namespaces.values():
            for checkpoint, metadata, parent in checkpoints.values():
                total += len(checkpoint[1]) + len(metadata[1]) + len(parent or "")
    total += sum(len(blob[1]) for blob in saver.blobs.values())
    total += sum(len(w[2][1]) + len(w[0]) for writes in saver.writes.values() for w in writes.values())
    return total


def ours_size(saver) -> int:
    return file_size(Path(saver.log.path), saver.log._writer)


def peer_size(saver) -> int:
    return file_size(Path(saver.conn.execute("PRAGMA database_list").fetchone()[2]), saver.conn)


def contestants(directory: Path, redis_urls: tuple[str, str] | None):
    """Ours and the peers, each SQLite durability on both sides, the full ones first."""
    counter = iter(range(10**9))

    def place(kind):
        return lambda: directory / f"{kind}-{next(counter)}.db"

    found = []
    for durability in DURABILITIES:
        found.append(
            Contestant(
                "derirezaro SQLite",
                durability,
                place("ours"),
                lambda path, d=durability: ours_sqlite(path, d),
                ours_size,
                lambda s: s.close(),
            )
        )
        if SqliteSaver is not None:
            found.append(
                Contestant(
                    "SqliteSaver",
                    durability,
                    place("peer"),
                    lambda path, d=durability: sqlite_peer(path, d),
                    peer_size,
                    lambda s: s.conn.close(),
                )
            )
    found.append(
        Contestant(
            "InMemorySaver",
            "process memory",
            lambda: None,
            lambda _: InMemorySaver(),
            memory_size,
            shared=False,
        )
    )
    if redis_urls is not None:
        import redis

        def on_server(name, url, open_saver, close=lambda saver: None):
            # One client for each server: a second saver then finds its connection made, as a
            # worker's would be, and its first read measures only what the saver itself must fetch.
            client = redis.Redis.from_url(url)
            return Contestant(
                name,
                REDIS_DURABILITY,
                lambda: f"k{next(counter)}",
                lambda prefix: open_saver(client, prefix),
                lambda _saver: client.info("memory")["used_memory"],
                close,
            )

        ours_url, peer_url = redis_urls
        found.append(
            on_server(
                "derirezaro Redis",
                ours_url,
                lambda client, prefix: DerirezaroSaver.redis(client, prefix=prefix),
                lambda s: s.close(),
            )
        )
        if PlainRedisSaver is not None:
            found.append(
                on_server(
                    "plain-Redis checkpointer",
                    peer_url,
                    lambda client, prefix: PlainRedisSaver(client, prefix=prefix),
                )
            )
    return found


def postgres_contestants(url: str):
    """Ours and PostgresSaver on one server, each place a schema of its own (PostgresSaver's tables have
    fixed names). Bytes are the growth of the schema's tables with their TOAST and indexes."""
    import psycopg
    from psycopg.rows import dict_row

    admin, counter = psycopg.connect(url, autocommit=True), iter(range(10**9))

    def new_schema() -> str:
        schema = f"s{next(counter)}"
        admin.execute(f'CREATE SCHEMA "{schema}"')
        return schema

    def size(schema: str) -> int:
        # The main fork of each table, its TOAST table and their indexes: what rows take. The free-space
        # and visibility maps are left out: a few pages a table, made at its first vacuum, they would
        # add ~30 bytes a step to whichever side autovacuum happened to visit during a 1,000-step run.
        (total,) = admin.execute(
            "WITH t AS (SELECT c.oid, c.reltoastrelid FROM pg_class c JOIN pg_namespace n"
            " ON n.oid = c.relnamespace WHERE n.nspname = %s AND c.relkind = 'r'),"
            " r AS (SELECT oid FROM t UNION ALL SELECT reltoastrelid FROM t WHERE reltoastrelid <> 0)"
            " SELECT coalesce(sum(pg_relation_size(oid)), 0) FROM"
            " (SELECT oid FROM r UNION ALL"
            " SELECT indexrelid FROM pg_index WHERE indrelid IN (SELECT oid FROM r)) AS a",
            (schema,),
        ).fetchone()
        return int(total)

    def peer(schema: str):
        # As PostgresSaver.from_conn_string connects, with the schema first in the search path.
        conn = psycopg.connect(
            url,
            autocommit=True,
            prepare_threshold=0,
            row_factory=dict_row,
            options=f"-c search_path={schema}",
        )
        saver = PostgresSaver(conn)
        saver.setup()
        saver.bench_schema = schema
        return saver

    return [
        Contestant(
            "derirezaro PostgreSQL",
            POSTGRES_DURABILITY,
            new_schema,
            lambda schema: DerirezaroSaver.postgres(url, schema=schema),
            lambda saver: size(saver.log.schema),
            lambda saver: saver.close(),
        ),
        Contestant(
            "PostgresSaver",
            POSTGRES_DURABILITY,
            new_schema,
            peer,
            lambda saver: size(saver.bench_schema),
            lambda saver: saver.conn.close(),
        ),
    ]


def long_thread_reads(found, channels: int, checkpoints: int, repeats: int):
    """get_tuple(latest) and list(limit=10) on a thread of `checkpoints` steps: reads that must not grow
    with the thread. Slow to build at 1,000 channels (PostgresSaver's steps), so behind a flag."""
    print(
        f"\nreads at N={channels} on a {checkpoints}-checkpoint thread"
        "                 get_tuple(latest) us   list(limit=10) us"
    )
    savers = [contestant.make() for contestant in found]
    for saver in savers:
        thread = Thread(saver, channels)
        for _ in range(checkpoints - 1):
            thread.one()
    results = _read_times(found, savers, repeats)
    for contestant, saver in zip(found, savers, strict=True):
        contestant.close(saver)
        get, listed = results[contestant.label]
        print(f"  {contestant.label:<54} {get:16.1f} {listed:20.1f}")
    return results


def _read_times(found, savers, repeats: int) -> dict[str, tuple[float, float]]:
    """(get_tuple(latest), list(limit=10)) in us for each saver, each read timed in turns across them."""
    latest = {"configurable": {"thread_id": "t", "checkpoint_ns": ""}}
    gets = timed_in_turns([lambda saver=saver: saver.get_tuple(latest) for saver in savers], repeats)
    lists = timed_in_turns(
        [lambda saver=saver: list(saver.list(latest, limit=10)) for saver in savers], max(repeats // 5, 5)
    )
    return {
        contestant.label: (get, listed) for contestant, get, listed in zip(found, gets, lists, strict=True)
    }


def step_table(found, channel_counts, steps):
    print(
        "\nper step (put + put_writes), 1 of N channels changed"
        "                    us/step  CPU us/step   bytes/step"
    )
    results = {}
    for channels in channel_counts:
        savers = [contestant.make() for contestant in found]
        costs = per_step(savers, channels, steps)
        for contestant, saver in zip(found, savers, strict=True):
            contestant.close(saver)
        for contestant, (us, cpu) in zip(found, costs, strict=True):
            saver = contestant.make()
            thread = Thread(saver, channels)
            for _ in range(20):
                thread.one()
            before = contestant.size(saver)
            for _ in range(steps):
                thread.one()
            grown = (contestant.size(saver) - before) / steps
            contestant.close(saver)
            results[contestant.label, channels] = us, cpu, grown
            print(f"  N={channels:<5} {contestant.label:<46} {us:10.1f} {cpu:12.1f} {grown:12.0f}")
    return results


def floor_table(directory: Path, steps: int) -> None:
    """Each durability's step beside its floor (langgraph_floor.py), and the SQLite checkpointer's."""
    print(
        "\nthe floor of a step at 10 channels: its statements alone   us/step  / SqliteSaver, same durability"
    )
    rows = []  # (name, durability, saver)
    for durability in DURABILITIES:
        rows += [
            (
                "statements only",
                durability,
                StatementsOnly(
                    directory / f"floor-{durability}.db", durability, lambda s: Thread(s, 10).one()
                ),
            ),
            (
                "derirezaro SQLite",
                durability,
                ours_sqlite(directory / f"floor-ours-{durability}.db", durability),
            ),
        ]
        if SqliteSaver is not None:
            rows.append(
                (
                    "SqliteSaver",
                    durability,
                    sqlite_peer(directory / f"floor-peer-{durability}.db", durability),
                )
            )
    costs = per_step([saver for _, _, saver in rows], 10, steps)
    peer = {d: us for (name, d, _), (us, _) in zip(rows, costs, strict=True) if name == "SqliteSaver"}
    for (name, durability, saver), (us, _) in zip(rows, costs, strict=True):
        ratio = f"{us / peer[durability]:10.2f}" if durability in peer else ""
        print(f"  {name + ', ' + durability:<56} {us:8.1f} {ratio}")
        if name == "SqliteSaver":
            saver.conn.close()
        else:
            saver.close()


def reads(found, channel_counts, repeats):
    print(
        "\nreads after 200 steps                                   get_tuple(latest) us   list(limit=10) us"
    )
    results = {}
    for channels in channel_counts:
        savers = [contestant.make() for contestant in found]
        for saver in savers:
            thread = Thread(saver, channels)
            for _ in range(200):
                thread.one()
        times = _read_times(found, savers, repeats)
        for contestant, saver in zip(found, savers, strict=True):
            contestant.close(saver)
            get, listed = results[contestant.label, channels] = times[contestant.label]
            print(f"  N={channels:<5} {contestant.label:<46} {get:16.1f} {listed:20.1f}")
    return results


def cold_reads(found, channel_counts, repeats):
    """get_tuple(latest) by a saver that has read nothing yet: a new worker, a restarted process.

    The thread is written by one saver; each repeat opens another on the same
    place and, untimed, reads another thread first, so that what a saver sets
    up once (its connections, its scripts on the server) is done, then times
    its first read of this one. The operating system's caches stay warm: what
    is measured is what the saver fetches and decodes for the thread.
    """
    print("\ncold get_tuple(latest) by a second saver, after 200 steps        us   CPU us")
    results = {}
    latest = {"configurable": {"thread_id": "t", "checkpoint_ns": ""}}
    other = {"configurable": {"thread_id": "other", "checkpoint_ns": ""}}
    for channels in channel_counts:
        for contestant in found:
            if not contestant.shared:
                continue
            place = contestant.new_place()
            writer = contestant.reopen(place)
            thread = Thread(writer, channels)
            for _ in range(200):
                thread.one()
            Thread(writer, 1, "other")
            expected = writer.get_tuple(latest).checkpoint["id"]
            walls, cpus = [], []
            for _ in range(repeats):
                reader = contestant.reopen(place)
                reader.get_tuple(other)
                gc.disable()
                start, start_cpu = time.perf_counter(), time.thread_time()
                got = reader.get_tuple(latest)
                cpus.append(time.thread_time() - start_cpu)
                walls.append(time.perf_counter() - start)
                gc.enable()
                if got is None or got.checkpoint["id"] != expected:
                    print(f"WARNING: {contestant.label} read {got and got.checkpoint['id']}, not {expected}")
                contestant.close(reader)
            contestant.close(writer)
            wall, cpu = statistics.median(walls) * 1e6, statistics.median(cpus) * 1e6
            results[contestant.label, channels] = wall, cpu
            print(f"  N={channels:<5} {contestant.label:<46} {wall:10.1f} {cpu:8.1f}")
    return results


def timed_in_turns(calls, repeats: int, rounds: int = 10) -> list[float]:
    """The median us of each of `calls`, called `repeats` times in `rounds` turns.

    In turns, so that the machine's speed drifting over the run (a shared
    machine's swings by half over seconds) falls on every contestant alike:
    timed one after the other, a ratio measured the drift as often as the code.
    Within its turn a call runs back to back, as a caller in a loop runs it,
    with its own data in the caches (the first call of a turn excepted).
    """
    for call in calls:
        call()
    block = max(repeats // rounds, 1)
    times: list[list[float]] = [[] for _ in calls]
    gc.disable()
    try:
        for _ in range(max(repeats // block, 1)):
            for call, spent in zip(calls, times, strict=True):
                for _ in range(block):
                    start = time.perf_counter()
                    call()
                    spent.append(time.perf_counter() - start)
    finally:
        gc.enable()
    return [statistics.median(spent) * 1e6 for spent in times]


_WORDS = (
    "the agent checks the order status and finds that the parcel left the warehouse on monday "
    "customer asks whether a refund is possible before delivery tool returns tracking number "
    "with an estimated arrival on friday please confirm the shipping address and phone"
).split()


def message(i: int):
    """A turn of ~250 characters: words drawn at random, so that no two turns repeat."""
    from langchain_core.messages import AIMessage, HumanMessage

    rng = random.Random(i)
    words: list[str] = []
    while sum(map(len, words)) + len(words) < 250:
        words.append(rng.choice(_WORDS))
    text = f"turn {i}: " + " ".join(words)
    return AIMessage(text, id=f"m-{i}") if i % 2 else HumanMessage(text, id=f"m-{i}")


CHAT_AT, CHAT_WINDOW = (100, 1000), 25


class ChatThread:
    """A chat thread on one saver, gaining one message a step: its stored bytes and each step's CPU."""

    def __init__(self, contestant):
        self.contestant, self.saver = contestant, contestant.make()
        self.versions = {"messages": self.saver.get_next_version(None, None)}
        self.config = {"configurable": {"thread_id": "chat", "checkpoint_ns": ""}}
        self.start, self.curve, self.spent = contestant.size(self.saver), [], []

    def step(self, messages: list) -> None:
        """Put the conversation `messages` as the next checkpoint, then the task's write of the last."""
        saver, versions = self.saver, self.versions
        versions["messages"] = saver.get_next_version(versions["messages"], None)
        checkpoint = empty_checkpoint()
        checkpoint["channel_values"] = {"messages": list(messages)}
        checkpoint["channel_versions"] = dict(versions)
        checkpoint["versions_seen"] = {"agent": dict(versions)}
        metadata = {"source": "loop", "step": len(messages), "parents": {}}
        new_versions, writes, task = dict(versions), [("messages", [messages[-1]])], str(uuid.uuid4())
        began = time.thread_time()
        self.config = saver.put(self.config, checkpoint, metadata, new_versions)
        saver.put_writes(self.config, writes, task, "~agent")
        self.spent.append(time.thread_time() - began)

    def measure(self) -> None:
        self.curve.append((len(self.spent), self.contestant.size(self.saver) - self.start))


def chat(found, turns: int, every: int):
    """Chat threads that gain one message per step, all savers in step with each other (what the machine
    does over the run falls on all alike): stored bytes after each `every` steps, and the thread CPU
    time of each step's put + put_writes, its arguments built outside the clock."""
    threads, messages = [ChatThread(contestant) for contestant in found], []
    gc.disable()
    try:
        for i in range(turns):
            messages.append(message(i))
            for thread in threads:
                thread.step(messages)
            if (i + 1) % every == 0:
                for thread in threads:
                    thread.measure()
                gc.enable()
                gc.collect()
                gc.disable()
    finally:
        gc.enable()
    curves, cpu = {}, {}
    for thread in threads:
        thread.contestant.close(thread.saver)
        curves[thread.contestant.label] = thread.curve
        # The steps that end with `at - CHAT_WINDOW + 1` ... `at` messages.
        cpu[thread.contestant.label] = [
            statistics.median(thread.spent[at - CHAT_WINDOW : at]) * 1e6 for at in CHAT_AT if at <= turns
        ]
    print("\nchat thread, one ~250-character message per step: bytes per step between message counts")
    windows = [(100, turns), (100, (100 + turns) // 2), ((100 + turns) // 2, turns)]
    print("  " + " " * 46 + "".join(f"{f'{a}-{b}':>14}" for a, b in windows))
    for name, curve in curves.items():
        at = dict(curve)
        cells = "".join(f"{(at[b] - at[a]) / (b - a):14.0f}" for a, b in windows)
        print(f"  {name:<46}{cells}")
    print(f"\nchat step, thread CPU us (median of the {CHAT_WINDOW} steps reaching N messages)")
    print("  " + " " * 46 + "".join(f"{f'N={n}':>12}" for n in CHAT_AT) + f"{'ratio':>8}")
    for name, cells in cpu.items():
        ratio = f"{cells[-1] / cells[0]:8.2f}" if len(cells) == 2 else ""
        print(f"  {name:<46}" + "".join(f"{c:12.0f}" for c in cells) + ratio)
    return curves, cpu


def plot(curves, path: str):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(9, 4.2), dpi=110)
    for name, curve in curves.items():
        steps, sizes = zip(*curve, strict=True)
        ours = "derirezaro" in name
        style = "--" if name.startswith("InMemorySaver") else "-"  # it lies on the SQLite checkpointer's line
        axes.plot(steps, [s / 2**20 for s in sizes], style, label=name, linewidth=2.2 if ours else 1.2)
    axes.set_xlabel("steps (one message each)")
    axes.set_ylabel("stored MiB (log scale)")
    axes.set_yscale("log")
    axes.set_title("Stored bytes of one chat thread")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1))  # beside the curves, not on them
    figure.tight_layout()
    figure.savefig(path)
    print(f"\nplot written to {path}")


_COUNTED_CALLS = ("get_tuple", "list", "put", "put_writes", "get_delta_channel_history")
# The channel snapshots every 100 updates, two a turn: the replay a read needs grows over 50 turns
# and starts again, so each figure is the mean over one whole period, the 100 messages up to N.
DELTA_AT, DELTA_PERIOD = (100, 1000), 100


def _messages_reducer(value, writes):
    """add_messages over a batch of writes, in one call: a replay of a hundred writes costs one merge.

    Batch-invariant because every message carries its id: add_messages gives
    one without an id a random id, which a replay would give differently.
    """
    from langgraph.graph.message import add_messages

    batch = [m for write in writes for m in (write if isinstance(write, list) else [write])]
    return add_messages(list(value or []), batch)


class DeltaState(TypedDict):
    messages: Annotated[list, DeltaChannel(_messages_reducer, list)]


def delta_graph(saver):
    """A chat graph whose messages are a DeltaChannel: checkpoints hold a sentinel, reads replay writes."""
    from langchain_core.messages import AIMessage
    from langgraph.graph import END, START, StateGraph

    def agent(state):
        n = len(state["messages"])
        return {"messages": [AIMessage(message(n).content, id=f"ai-{n}")]}

    builder = StateGraph(DeltaState)
    builder.add_node("agent", agent)
    builder.add_edge(START, "agent")
    builder.add_edge("agent", END)
    return builder.compile(checkpointer=saver)


def count_calls(saver) -> dict[str, int]:
    """Wrap the saver's public methods on the instance, so that calls a graph makes (and those the
    base class makes on the saver's behalf) are counted."""
    calls = dict.fromkeys(_COUNTED_CALLS, 0)
    for name in _COUNTED_CALLS:
        method = getattr(saver, name)

        def counted(*args, _method=method, _name=name, **kwargs):
            calls[_name] += 1
            return _method(*args, **kwargs)

        setattr(saver, name, counted)
    return calls


def delta_turns(found):
    """Turns of a DeltaChannel chat graph (a human message in, an AI message out) to ~1,000 messages:
    wall and process CPU time per invoke, and the saver calls it makes."""
    from langchain_core.messages import HumanMessage

    print(f"\nDeltaChannel chat graph, an invoke a turn (mean of the turns from N-{DELTA_PERIOD} to N)")
    print("  " + " " * 44 + "".join(f"{f'ms N={n}':>10}{'CPU ms':>8}{'calls':>7}" for n in DELTA_AT))
    results = {}
    for contestant in found:
        saver = contestant.make()
        calls, graph = count_calls(saver), delta_graph(saver)
        config = {"configurable": {"thread_id": "delta"}}
        turns = []  # (messages after the turn, wall, CPU, saver calls)
        while not turns or turns[-1][0] < DELTA_AT[-1]:
            before = sum(calls.values())
            gc.disable()
            start, start_cpu = time.perf_counter(), time.process_time()
            text = message(-len(turns) - 1).content
            state = graph.invoke({"messages": [HumanMessage(text, id=f"human-{len(turns)}")]}, config)
            cpu, wall = time.process_time() - start_cpu, time.perf_counter() - start
            gc.enable()
            turns.append((len(state["messages"]), wall, cpu, sum(calls.values()) - before))
        contestant.close(saver)
        cells = []
        for at in DELTA_AT:
            window = [t for t in turns if at - DELTA_PERIOD < t[0] <= at]
            cells.append(tuple(statistics.fmean(t[k] for t in window) for k in (1, 2, 3)))
        results[contestant.label] = cells
        text = "".join(f"{w * 1e3:10.1f}{c * 1e3:8.1f}{n:7.0f}" for w, c, n in cells)
        print(f"  {contestant.label:<44}{text}")
    return results


def _drive(saver, thread_id: str, deadline: float, counts: list[int], locked: list[int], slot: int):
    thread = Thread(saver, 10, thread_id)
    while time.monotonic() < deadline:
        try:
            thread.one()
            counts[slot] += 1
        except sqlite3.OperationalError as exc:
            if "locked" not in str(exc):
                raise
            locked[slot] += 1


def in_threads(saver, who: str, count: int, seconds: float) -> tuple[int, int]:
    """`count` threads sharing `saver`, each driving a graph thread of its own for `seconds`."""
    counts, locked = [0] * count, [0] * count
    deadline = time.monotonic() + seconds
    threads = [
        threading.Thread(target=_drive, args=(saver, f"{who}-{slot}", deadline, counts, locked, slot))
        for slot in range(count)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(counts), sum(locked)


def open_sqlite(kind: str, path, durability: str):
    return ours_sqlite(path, durability) if kind == "ours" else sqlite_peer(Path(path), durability)


def close_sqlite(saver) -> None:
    saver.close() if isinstance(saver, DerirezaroSaver) else saver.conn.close()


def page_writes_with_fsync(path: Path, seconds: float) -> int:
    """How many 4 KiB page writes, each made durable by fdatasync, one writer completes in `seconds`.

    The pages are rewritten in place in a file of 32 pages written beforehand,
    as SQLite rewrites its WAL once the WAL has reached its length: an append
    would also make the file's new size durable, which costs as much again.
    """
    done, page, pages = 0, b"\1" * 4096, 32
    fd = os.open(path, os.O_RDWR | os.O_CREAT)
    try:
        os.pwrite(fd, b"\0" * 4096 * pages, 0)
        os.fsync(fd)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            os.pwrite(fd, page, 4096 * (done % pages))
            os.fdatasync(fd)
            done += 1
    finally:
        os.close(fd)
    os.unlink(path)
    return done


def threads_table(directory: Path, seconds: int):
    """Checkpoints per second of 1 and 4 threads of one process at `full`, one saver, distinct threads.

    Each configuration runs for one second in turn, `seconds` rounds, so that
    an fsync's latency, which drifts by several times over a minute on a
    shared disk, falls on all of them alike.
    """
    print(f"\none process, one saver, `full`, {seconds} s each     1 thread /s  4 threads /s   4 / 1")
    kinds = ("ours", "peer") if SqliteSaver else ("ours",)
    savers = {
        (kind, count): open_sqlite(kind, directory / f"threads-{kind}-{count}.db", "full")
        for kind in kinds
        for count in (1, 4)
    }
    done, fsyncs = dict.fromkeys(savers, 0), 0
    for round_ in range(seconds):
        for (kind, count), saver in savers.items():
            done[kind, count] += in_threads(saver, f"r{round_}", count, 1.0)[0]
        fsyncs += page_writes_with_fsync(directory / "fsync.bin", 1.0)
    for saver in savers.values():
        close_sqlite(saver)
    results = {}
    for kind in kinds:
        rates = [done[kind, count] / seconds for count in (1, 4)]
        name = "derirezaro SQLite, full" if kind == "ours" else "SqliteSaver, full"
        results[name] = rates
        print(f"  {name:<44} {rates[0]:11.0f} {rates[1]:13.0f} {rates[1] / rates[0]:7.2f}")
    print(
        f"  (a 4 KiB page rewritten + fdatasync, same rounds: {fsyncs / seconds:.0f}/s; a step commits twice,"
        f" so writers that each wait for their own fsync stay below {fsyncs / seconds / 2:.0f} steps/s)"
    )
    return results


def open_postgres(kind: str, url: str, schema: str):
    """Ours, or PostgresSaver on a pool of two (a connection for each of a worker's threads)."""
    if kind == "ours":
        return DerirezaroSaver.postgres(url, schema=schema, pool_size=2)
    from psycopg.rows import dict_row
    from psycopg_pool import ConnectionPool

    settings = {"autocommit": True, "prepare_threshold": 0, "row_factory": dict_row}
    pool = ConnectionPool(
        url, min_size=2, max_size=2, kwargs={**settings, "options": f"-c search_path={schema}"}, open=True
    )
    saver = PostgresSaver(pool)
    saver.setup()
    return saver


def _worker(kind, path, durability, who, seconds, queue):
    """One process: two threads on one saver, each driving a graph thread of its own, for `seconds`."""
    if durability == POSTGRES_DURABILITY:
        saver = open_postgres(kind, *path.split("|"))
    else:
        saver = open_sqlite(kind, path, durability)
    queue.put(in_threads(saver, str(who), 2, seconds))


def processes(directory: Path, kind: str, durability: str, count: int, seconds: float, postgres=None):
    """Checkpoints a second by `count` processes on one log, and how many steps met 'locked'.

    `postgres`: the server's URL, for a PostgreSQL log (a schema of its own) at its durability."""
    if postgres is not None:
        import psycopg

        schema = f"procs_{kind}_{count}_{uuid.uuid4().hex[:8]}"
        with psycopg.connect(postgres, autocommit=True) as admin:
            admin.execute(f'CREATE SCHEMA "{schema}"')
        saver = open_postgres(kind, postgres, schema)  # the tables made once, before the workers start
        saver.close() if kind == "ours" else saver.conn.close()
        path: Path | str = f"{postgres}|{schema}"
    else:
        path = directory / f"procs-{kind}-{durability}-{count}.db"
        close_sqlite(open_sqlite(kind, path, durability))
    context = multiprocessing.get_context("spawn")
    queue = context.Queue()
    workers = [
        context.Process(target=_worker, args=(kind, str(path), durability, w, seconds, queue))
        for w in range(count)
    ]
    for w in workers:
        w.start()
    results = [queue.get() for _ in workers]
    for w in workers:
        w.join()
    return sum(r[0] for r in results) / seconds, sum(r[1] for r in results)


def processes_table(directory: Path, count: int, seconds: float, durabilities, postgres=None) -> None:
    print(
        f"\n{count} processes, two threads each, on one file, {seconds} s     checkpoints/s  'locked' errors"
    )
    for durability in durabilities:
        for kind in ("ours", "peer") if SqliteSaver else ("ours",):
            rate, locked = processes(directory, kind, durability, count, seconds)
            name = "derirezaro SQLite" if kind == "ours" else "SqliteSaver"
            print(f"  {name + ', ' + durability:<44} {rate:14.0f} {locked:16d}")
    for kind in ("ours", "peer") if postgres is not None else ():
        rate, _ = processes(directory, kind, POSTGRES_DURABILITY, count, seconds, postgres)
        name = "derirezaro PostgreSQL" if kind == "ours" else "PostgresSaver"
        print(f"  {name + ', ' + POSTGRES_DURABILITY:<44} {rate:14.0f}")


def flipped_bits(directory: Path, trials: int):
    """Each trial flips one random bit of one stored blob and reads the thread back."""
    outcomes = {}
    for kind in ("ours", "peer"):
        path = directory / f"flip-{kind}.db"
        saver = open_sqlite(kind, path, "full")
        thread = Thread(saver, 10)
        for _ in range(50):
            thread.one()
        config = {"configurable": {"thread_id": "t", "checkpoint_ns": ""}}

        def read(saver=saver, config=config):
            return [(t.checkpoint, t.metadata, t.pending_writes) for t in saver.list(config)]

        expected = read()
        db = saver.log._writer if kind == "ours" else saver.conn
        tables = (
            [
                ("derirezaro_records", "body"),
                ("derirezaro_records", "meta"),
                ("derirezaro_attachments", "blob"),
            ]
            if kind == "ours"
            else [("checkpoints", "checkpoint"), ("checkpoints", "metadata"), ("writes", "value")]
        )
        rng = random.Random(7)
        tally = {"detected": 0, "silent": 0, "harmless": 0}
        for _ in range(trials):
            table, column = rng.choice(tables)
            keys = [c[1] for c in db.execute(f"PRAGMA table_info({table})") if c[5]]  # the primary key
            where = " AND ".join(f"{k} IS ?" for k in keys)
            *key, blob = rng.choice(db.execute(f"SELECT {', '.join(keys)}, {column} FROM {table}").fetchall())
            if not blob:
                continue
            at = rng.randrange(len(blob))
            flipped = blob[:at] + bytes([blob[at] ^ (1 << rng.randrange(8))]) + blob[at + 1 :]
            db.execute(f"UPDATE {table} SET {column} = ? WHERE {where}", (flipped, *key))
            try:
                if kind == "ours":
                    saver.branches.clear()  # read from the file, not from what this process cached
                tally["harmless" if read() == expected else "silent"] += 1
            except CorruptCheckpoint:
                tally["detected"] += 1
            except Exception:
                tally["failed otherwise"] = tally.get("failed otherwise", 0) + 1  # a decoder's error
            db.execute(f"UPDATE {table} SET {column} = ? WHERE {where}", (blob, *key))
        outcomes[kind] = tally
        close_sqlite(saver)
    return outcomes


# Steps counted in one callgrind window, by channel count: enough to spread the
# keyframes and the WAL checkpoints a run pays now and then over their share.
_COUNTED_STEPS = {10: 300, 1000: 60}
_COUNTED_STEPS_QUICK = {10: 100, 1000: 20}


def _count_steps_child(out_path: str, quick: bool) -> None:
    """Under callgrind: windows of prepared steps at `full`, ours and the SQLite checkpointer's.

    Each window runs a batch of steps whose arguments were built before it
    opened, so a window's count is the savers' work alone, over as many steps
    as the table divides it by.
    """
    gcd, lcm = math.gcd, math.lcm
    order = []
    for _ in range(3):
        gcd()
        callable(None)
        lcm()
        order.append("(loop overhead)")
    counted = _COUNTED_STEPS_QUICK if quick else _COUNTED_STEPS
    with tempfile.TemporaryDirectory(dir="/tmp") as scratch:
        gc.disable()
        for channels, steps in counted.items():
            for kind in ("ours", "peer") if SqliteSaver else ("ours",):
                saver = open_sqlite(kind, Path(scratch) / f"{kind}-{channels}.db", "full")
                thread = Thread(saver, channels)
                for _ in range(steps // 2):  # the file and the caches past their first growth
                    thread.one()
                for _ in range(2):
                    batch = [thread.prepare() for _ in range(steps)]
                    gcd()
                    for step in batch:
                        thread.run(step)
                    lcm()
                    order.append(f"{kind} {channels}")
                    del batch
                    gc.collect()
                close_sqlite(saver)
    with open(out_path, "w") as f:
        json.dump(order, f)


def instructions_table(quick: bool) -> None:
    """Instructions per step at `full` (callgrind's user-space count: an fsync's wait costs none)."""
    counted = _COUNTED_STEPS_QUICK if quick else _COUNTED_STEPS
    print("\ninstructions per step, `full` (callgrind; no fsync wait counted) derirezaro  SqliteSaver  ratio")
    try:
        counts = instructions.count(__file__, ["--quick"] if quick else [])
    except RuntimeError as exc:
        print(f"WARNING: {exc}")
        return
    for channels, steps in counted.items():
        ours = counts[f"ours {channels}"] / steps
        peer = counts.get(f"peer {channels}")
        cells = f"{ours:12,.0f}"
        if peer is not None:
            cells += f" {peer / steps:13,.0f} {ours / (peer / steps):7.2f}"
        print(f"  N={channels:<67} {cells}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--quick", action="store_true", help="fewer steps and shorter thread and process runs"
    )
    parser.add_argument("--no-instructions", action="store_true", help="skip the callgrind count")
    parser.add_argument("--plot", help="write the chat thread's bytes against steps to this PNG")
    parser.add_argument(
        "--long-reads",
        action="store_true",
        help="also reads at 1,000 channels on a 1,000-checkpoint thread (PostgreSQL savers; minutes)",
    )
    parser.add_argument(instructions.CHILD_FLAG, help=argparse.SUPPRESS)
    args = parser.parse_args()
    child = getattr(args, instructions.CHILD_FLAG.lstrip("-").replace("-", "_"))
    if child:
        _count_steps_child(child, args.quick)
        return
    steps, repeats, seconds, long_seconds = (200, 50, 2, 5) if args.quick else (1000, 300, 10, 30)
    print(f"derirezaro {__version__}, Python {platform.python_version()}, SQLite {sqlite3.sqlite_version},",
          f"{platform.machine()} {os.cpu_count()} cores")  # fmt: skip
    # A server for each Redis saver: its memory, and the work of its AOF, are that saver's alone.
    servers = [RedisServer(*REDIS_PERSISTENCE).start() for _ in range(2)] if REDIS_BINARY else []
    with_postgres = PostgresSaver is not None and postgres_server.BINARIES is not None
    postgres = postgres_server.PostgresServer(fsync=True).start() if with_postgres else None
    try:
        with tempfile.TemporaryDirectory(dir="/tmp") as scratch:
            directory = Path(scratch)
            found = contestants(directory, tuple(server.url for server in servers) or None)
            on_postgres = postgres_contestants(postgres.url) if postgres is not None else []
            found += on_postgres
            step_table(found, (10, 1000), steps)
            if not args.no_instructions and instructions.available():
                instructions_table(args.quick)
            floor_table(directory, 3 * steps)
            reads(found, (10, 1000), repeats)
            cold_reads(found, (10, 1000), 10 if args.quick else 30)
            if args.long_reads and on_postgres:
                long_thread_reads(on_postgres, 1000, 1000, 10 if args.quick else 50)
            curves, _ = chat(found, 1000, 25)
            delta_turns(found)
            if args.plot:
                plot(curves, args.plot)
            threads_table(directory, 3 if args.quick else 8)
            processes_table(directory, 2, seconds, DURABILITIES)
            processes_table(directory, 4, long_seconds, ("full",), postgres.url if on_postgres else None)
            print("\none flipped bit in a stored checkpoint, write or metadata, then a read of the thread")
            for kind, tally in flipped_bits(directory, 100 if args.quick else 400).items():
                print(f"  {'derirezaro' if kind == 'ours' else 'SqliteSaver':<28} {tally}")
    finally:
        for server in servers:
            server.stop()
        if postgres is not None:
            postgres.stop()


if __name__ == "__main__":
    main()

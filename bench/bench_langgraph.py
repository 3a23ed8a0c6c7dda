#!/usr/bin/env python3
"""DerirezaroSaver beside LangGraph's checkpointers: step cost, bytes, reads, processes, damage.

    python3 bench/bench_langgraph.py [--quick] [--plot bench/langgraph-chat-bytes.png]

Peers, in the same run: LangGraph's InMemorySaver, the SQLite checkpointer
(langgraph-checkpoint-sqlite) and a Redis checkpointer that runs on a plain
server (langgraph-checkpoint-plainredis; the official Redis checkpointer needs
server modules). A step is what a running graph does: a put of the new
checkpoint with one channel of N changed, then a put_writes of that task's
write. Bytes per step are the growth of the SQLite file (its WAL checkpointed),
of the Redis server's memory, or of what InMemorySaver holds.
"""

from __future__ import annotations

import argparse
import gc
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

from derirezaro import __version__
from derirezaro.langgraph import CorruptCheckpoint, DerirezaroSaver
from langchain_core.messages import AIMessage, HumanMessage
from langgraph.checkpoint.base import empty_checkpoint
from langgraph.checkpoint.memory import InMemorySaver

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from langgraph_floor import StatementsOnly  # noqa: E402
from redis_server import BINARY as REDIS_BINARY  # noqa: E402
from redis_server import RedisServer  # noqa: E402

try:
    from langgraph.checkpoint.sqlite import SqliteSaver
except ImportError:
    SqliteSaver = None
try:
    from langgraph_checkpoint_plainredis import RedisSaver as PlainRedisSaver
except ImportError:
    PlainRedisSaver = None


def sqlite_peer(path: Path):
    connection = sqlite3.connect(path, check_same_thread=False)
    saver = SqliteSaver(connection)
    saver.setup()
    return saver


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

    def prepare(self):
        """The next step's arguments, built before the clock starts: LangGraph builds them either way."""
        self.step += 1
        channel = f"c{self.step % len(self.values)}"
        self.values[channel] = {"role": "tool", "text": f"result {self.step}"}
        self.versions[channel] = self.saver.get_next_version(self.versions[channel], None)
        self.seen["agent"][channel] = self.versions[channel]
        return channel, self.checkpoint(), self.metadata("loop")

    def run(self, prepared):
        channel, checkpoint, metadata = prepared
        self.config = self.saver.put(self.config, checkpoint, metadata, {channel: self.versions[channel]})
        self.saver.put_writes(self.config, [(channel, self.values[channel])], str(uuid.uuid4()), "~agent")

    def one(self):
        self.run(self.prepare())


def per_step(savers, channels: int, steps: int, block: int = 25) -> list[float]:
    """Median us of put + put_writes for each saver, their steps interleaved in blocks.

    `block` steps of each in turn, so that what the disk and the machine do
    over the run (an fsync's latency drifts by tens of percent) falls on all
    alike, while each block runs with its own data in the caches.
    """
    threads = [Thread(saver, channels) for saver in savers]
    times: list[list[float]] = [[] for _ in savers]
    gc.disable()
    try:
        for _ in range(0, steps, block):
            for thread, spent in zip(threads, times, strict=True):
                for _ in range(block):
                    prepared = thread.prepare()
                    start = time.perf_counter()
                    thread.run(prepared)
                    spent.append(time.perf_counter() - start)
    finally:
        gc.enable()
    return [statistics.median(spent) * 1e6 for spent in times]


class Contestant:
    """A saver, made fresh per measurement, and how to measure what it stores."""

    def __init__(self, name, make, size, close=lambda saver: None):
        self.name, self.make, self.size, self.close = name, make, size, close


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


def contestants(directory: Path, redis_url: str | None):
    counter = iter(range(10**9))

    def path(kind):
        return directory / f"{kind}-{next(counter)}.db"

    def ours(durability):
        def make():
            return DerirezaroSaver.sqlite(path("ours"), durability=durability)

        return make

    found = [
        Contestant(
            "derirezaro SQLite normal", ours("normal"), lambda s: file_size(Path(s.log.path), s.log._writer)
        ),
        Contestant(
            "derirezaro SQLite full", ours("full"), lambda s: file_size(Path(s.log.path), s.log._writer)
        ),
        Contestant("InMemorySaver", InMemorySaver, memory_size),
    ]
    if SqliteSaver is not None:
        found.append(
            Contestant(
                "SqliteSaver",
                lambda: sqlite_peer(path("peer")),
                lambda s: file_size(Path(s.conn.execute("PRAGMA database_list").fetchone()[2]), s.conn),
                lambda s: s.conn.close(),
            )
        )
    if redis_url is not None:
        import redis

        client = redis.Redis.from_url(redis_url)

        def used(_saver):
            return client.info("memory")["used_memory"]

        found.append(
            Contestant(
                "derirezaro Redis",
                lambda: DerirezaroSaver.redis(redis_url, prefix=f"b{next(counter)}"),
                used,
                lambda s: s.close(),
            )
        )
        if PlainRedisSaver is not None:
            found.append(
                Contestant(
                    "plain-Redis checkpointer",
                    lambda: PlainRedisSaver(url=redis_url, prefix=f"p{next(counter)}"),
                    used,
                )
            )
    return found


def step_table(found, channel_counts, steps):
    print("\nper step (put + put_writes), 1 of N channels changed     us/step   bytes/step")
    results = {}
    for channels in channel_counts:
        savers = [contestant.make() for contestant in found]
        costs = per_step(savers, channels, steps)
        for contestant, saver in zip(found, savers, strict=True):
            contestant.close(saver)
        for contestant, us in zip(found, costs, strict=True):
            saver = contestant.make()
            thread = Thread(saver, channels)
            for _ in range(20):
                thread.one()
            before = contestant.size(saver)
            for _ in range(steps):
                thread.one()
            grown = (contestant.size(saver) - before) / steps
            contestant.close(saver)
            results[contestant.name, channels] = us, grown
            print(f"  N={channels:<5} {contestant.name:<28} {us:10.1f} {grown:12.0f}")
    return results


def floor_table(directory: Path, steps: int) -> None:
    """Each durability's step beside its floor (langgraph_floor.py), and the SQLite checkpointer's."""
    print("\nthe floor of a step at 10 channels: its statements alone        us/step   / SqliteSaver")
    names, savers = [], []
    for durability in ("normal", "full"):
        names += [f"statements only, {durability}", f"derirezaro SQLite {durability}"]
        savers += [
            StatementsOnly(directory / f"floor-{durability}.db", durability, lambda s: Thread(s, 10).one()),
            DerirezaroSaver.sqlite(directory / f"floor-ours-{durability}.db", durability=durability),
        ]
    if SqliteSaver is not None:
        names.append("SqliteSaver")
        savers.append(sqlite_peer(directory / "floor-peer.db"))
    costs = per_step(savers, 10, steps)
    for name, us in zip(names, costs, strict=True):
        ratio = f"{us / costs[-1]:13.2f}" if SqliteSaver is not None else ""
        print(f"  {name:<56} {us:8.1f} {ratio}")


def reads(found, channel_counts, repeats):
    print("\nreads after 200 steps                          get_tuple(latest) us   list(limit=10) us")
    results = {}
    for channels in channel_counts:
        for contestant in found:
            saver = contestant.make()
            thread = Thread(saver, channels)
            for _ in range(200):
                thread.one()
            latest = {"configurable": {"thread_id": "t", "checkpoint_ns": ""}}
            get = timed(lambda saver=saver, latest=latest: saver.get_tuple(latest), repeats)
            listed = timed(
                lambda saver=saver, latest=latest: list(saver.list(latest, limit=10)), max(repeats // 5, 5)
            )
            contestant.close(saver)
            results[contestant.name, channels] = get, listed
            print(f"  N={channels:<5} {contestant.name:<28} {get:16.1f} {listed:20.1f}")
    return results


def timed(fn, repeats: int) -> float:
    fn()
    times = []
    gc.disable()
    try:
        for _ in range(repeats):
            start = time.perf_counter()
            fn()
            times.append(time.perf_counter() - start)
    finally:
        gc.enable()
    return statistics.median(times) * 1e6


_WORDS = (
    "the agent checks the order status and finds that the parcel left the warehouse on monday "
    "customer asks whether a refund is possible before delivery tool returns tracking number "
    "with an estimated arrival on friday please confirm the shipping address and phone"
).split()


def message(i: int):
    """A turn of ~250 characters: words drawn at random, so that no two turns repeat."""
    rng = random.Random(i)
    words: list[str] = []
    while sum(map(len, words)) + len(words) < 250:
        words.append(rng.choice(_WORDS))
    text = f"turn {i}: " + " ".join(words)
    return AIMessage(text, id=f"m-{i}") if i % 2 else HumanMessage(text, id=f"m-{i}")


def chat(found, turns: int, every: int):
    """Stored bytes after each `every` steps of a chat thread that gains one message per step."""
    curves = {}
    for contestant in found:
        saver = contestant.make()
        messages = []
        versions = {"messages": saver.get_next_version(None, None)}
        config = {"configurable": {"thread_id": "chat", "checkpoint_ns": ""}}
        start, curve = contestant.size(saver), []
        for i in range(turns):
            messages.append(message(i))
            versions["messages"] = saver.get_next_version(versions["messages"], None)
            checkpoint = empty_checkpoint()
            checkpoint["channel_values"] = {"messages": list(messages)}
            checkpoint["channel_versions"] = dict(versions)
            checkpoint["versions_seen"] = {"agent": dict(versions)}
            config = saver.put(
                config, checkpoint, {"source": "loop", "step": i, "parents": {}}, dict(versions)
            )
            saver.put_writes(config, [("messages", [messages[-1]])], str(uuid.uuid4()), "~agent")
            if (i + 1) % every == 0:
                curve.append((i + 1, contestant.size(saver) - start))
        contestant.close(saver)
        curves[contestant.name] = curve
    print("\nchat thread, one ~250-character message per step: bytes per step between message counts")
    windows = [(100, turns), (100, (100 + turns) // 2), ((100 + turns) // 2, turns)]
    print("  " + " " * 28 + "".join(f"{f'{a}-{b}':>14}" for a, b in windows))
    for name, curve in curves.items():
        at = dict(curve)
        cells = "".join(f"{(at[b] - at[a]) / (b - a):14.0f}" for a, b in windows)
        print(f"  {name:<28}{cells}")
    return curves


def plot(curves, path: str):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(7, 4.2), dpi=110)
    for name, curve in curves.items():
        steps, sizes = zip(*curve, strict=True)
        ours = "derirezaro" in name
        style = "--" if name == "InMemorySaver" else "-"  # it lies on the SQLite checkpointer's line
        axes.plot(steps, [s / 2**20 for s in sizes], style, label=name, linewidth=2.2 if ours else 1.2)
    axes.set_xlabel("steps (one message each)")
    axes.set_ylabel("stored MiB (log scale)")
    axes.set_yscale("log")
    axes.set_title("Stored bytes of one chat thread")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path)
    print(f"\nplot written to {path}")


def _worker(kind, path, who, seconds, queue):
    """One process: two threads, each driving a thread of its own, for `seconds`."""
    saver = DerirezaroSaver.sqlite(path) if kind == "ours" else sqlite_peer(Path(path))
    counts, locked = [0, 0], [0, 0]

    def drive(slot):
        thread = Thread(saver, 10, f"{who}-{slot}")
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                thread.one()
                counts[slot] += 1
            except sqlite3.OperationalError as exc:
                if "locked" not in str(exc):
                    raise
                locked[slot] += 1

    threads = [threading.Thread(target=drive, args=(slot,)) for slot in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    queue.put((sum(counts), sum(locked)))


def processes(directory: Path, kind: str, count: int, seconds: float):
    path = directory / f"procs-{kind}-{count}.db"
    if kind == "ours":
        DerirezaroSaver.sqlite(path).close()
    else:
        sqlite_peer(path).conn.close()
    context = multiprocessing.get_context("spawn")
    queue = context.Queue()
    workers = [
        context.Process(target=_worker, args=(kind, str(path), w, seconds, queue)) for w in range(count)
    ]
    for w in workers:
        w.start()
    results = [queue.get() for _ in workers]
    for w in workers:
        w.join()
    return sum(r[0] for r in results) / seconds, sum(r[1] for r in results)


def flipped_bits(directory: Path, trials: int):
    """Each trial flips one random bit of one stored blob and reads the thread back."""
    outcomes = {}
    for kind in ("ours", "peer"):
        path = directory / f"flip-{kind}.db"
        saver = DerirezaroSaver.sqlite(path) if kind == "ours" else sqlite_peer(path)
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
        if kind == "ours":
            saver.close()
        else:
            saver.conn.close()
    return outcomes


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer steps and shorter process runs")
    parser.add_argument("--plot", help="write the chat thread's bytes against steps to this PNG")
    args = parser.parse_args()
    steps, repeats, seconds, long_seconds = (200, 50, 2, 5) if args.quick else (1000, 300, 10, 30)
    print(f"derirezaro {__version__}, Python {platform.python_version()}, SQLite {sqlite3.sqlite_version},",
          f"{platform.machine()} {os.cpu_count()} cores")  # fmt: skip
    server = RedisServer().start() if REDIS_BINARY else None
    try:
        with tempfile.TemporaryDirectory(dir="/tmp") as scratch:
            directory = Path(scratch)
            found = contestants(directory, server.url if server else None)
            step_table(found, (10, 1000), steps)
            floor_table(directory, 3 * steps)
            reads(found, (10, 1000), repeats)
            curves = chat([c for c in found if "full" not in c.name], 1000, 25)
            if args.plot:
                plot(curves, args.plot)
            print(
                f"\ntwo processes, two threads each, on one file, {seconds} s  checkpoints/s  'locked' errors"
            )
            for kind in ("ours", "peer") if SqliteSaver else ("ours",):
                rate, locked = processes(directory, kind, 2, seconds)
                print(f"  {'derirezaro' if kind == 'ours' else 'SqliteSaver':<28} {rate:14.0f} {locked:16d}")
            print(f"\nfour processes, {long_seconds} s")
            for kind in ("ours", "peer") if SqliteSaver else ("ours",):
                rate, locked = processes(directory, kind, 4, long_seconds)
                print(f"  {'derirezaro' if kind == 'ours' else 'SqliteSaver':<28} {rate:14.0f} {locked:16d}")
            print("\none flipped bit in a stored checkpoint, write or metadata, then a read of the thread")
            for kind, tally in flipped_bits(directory, 100 if args.quick else 400).items():
                print(f"  {'derirezaro' if kind == 'ours' else 'SqliteSaver':<28} {tally}")
    finally:
        if server is not None:
            server.stop()


if __name__ == "__main__":
    main()

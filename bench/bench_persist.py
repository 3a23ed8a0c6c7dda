#!/usr/bin/env python3
"""Durable timelines: commit cost and bytes, checkout, growth with the state.

    python3 bench/bench_persist.py [--quick]

Per agent step one entry of the state changes and the step is committed.
Beside our logs: LangGraph's SQLite checkpointer storing the same state per
step (if installed), and the disk's fsync floor: what "full" adds to "normal"
is compared with the fsync of one WAL frame, which SQLite cannot do without.
Bytes per commit are the growth of the database file (after a checkpoint of
its WAL) over many commits, so keyframes and SQLite's own overhead count.
With PostgreSQL installed (tests/postgres_server.py starts a throwaway server,
fsync on), PostgresLog and LangGraph's PostgreSQL checkpointer run on it, each
in a schema of its own; their bytes are the growth of the schema's tables with
their TOAST and indexes.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import os
import platform
import sqlite3
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

from derirezaro import Store, __version__
from derirezaro.persist import MemoryLog, RedisLog, SQLiteLog


def value(i: int) -> dict:
    return {"role": "tool", "step": i, "text": f"result {i}"}


def file_bytes(path: Path) -> int:
    return path.stat().st_size


def checkpoint(log: SQLiteLog) -> None:
    log._writer.execute("PRAGMA wal_checkpoint(TRUNCATE)")


def timed(fn, repeats: int) -> float:
    """Median seconds per call over `repeats` calls, garbage collection off."""
    gc.disable()
    try:
        times = []
        for _ in range(repeats):
            start = time.perf_counter()
            fn()
            times.append(time.perf_counter() - start)
        return statistics.median(times)
    finally:
        gc.enable()


def our_commits(directory: Path, entries: int, commits: int, durability: str | None):
    """(us per commit, bytes per commit, mean record body bytes) for one of our logs."""
    path = directory / f"ours-{entries}-{durability}.db"
    log = MemoryLog() if durability is None else SQLiteLog(path, durability=durability)
    store = Store(max_history=64)
    tl = log.timeline("t", store)
    for i in range(entries):
        store.set("state", f"k{i}", value(i))
    tl.commit()
    if durability is not None:
        checkpoint(log)
        before = file_bytes(path)
    step = iter(range(1, 10**9))
    sizes = []

    def one():
        i = next(step)
        store.set("state", f"k{i % entries}", value(10**6 + i))
        sizes.append(tl.commit(meta={"step": i}).size)

    per = timed(one, commits)
    grown = None
    if durability is not None:
        checkpoint(log)
        grown = (file_bytes(path) - before) / commits
    log.close()
    return per * 1e6, grown, statistics.mean(sizes)


def redis_commits(entries: int, commits: int, fsync: str):
    """(us per commit, stored bytes per commit, server memory per commit) on a loopback server
    of its own (append-only file, `appendfsync` as given); None without redis-server."""
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
    from redis_server import BINARY, RedisServer

    if BINARY is None:
        return None
    server = RedisServer("--appendonly", "yes", "--appendfsync", fsync).start()
    try:
        import redis

        client = redis.Redis.from_url(server.url)
        log = RedisLog(client)
        store = Store(max_history=64)
        tl = log.timeline("t", store)
        for i in range(entries):
            store.set("state", f"k{i}", value(i))
        tl.commit()
        step = iter(range(1, 10**9))
        memory = client.info("memory")["used_memory"]

        def one():
            i = next(step)
            store.set("state", f"k{i % entries}", value(10**6 + i))
            tl.commit(meta={"step": i})

        per = timed(one, commits)
        memory = (client.info("memory")["used_memory"] - memory) / commits
        _, headers, bodies, _ = log._keys("t")
        head = tl.head.seq
        with client.pipeline(transaction=False) as pipe:
            for seq in range(2, head + 1):
                pipe.hstrlen(headers, seq).hstrlen(bodies, seq)
            stored = sum(pipe.execute()) / (head - 1)
        log.close()
        client.close()
        return per * 1e6, stored, memory
    finally:
        server.stop()


def postgres_schema(url: str, name: str) -> tuple[str, Callable[[], int]]:
    """A new schema `name` on the server; with what its tables, TOAST and indexes take, in bytes."""
    import psycopg

    admin = psycopg.connect(url, autocommit=True)
    admin.execute(f'CREATE SCHEMA "{name}"')

    def size() -> int:
        (total,) = admin.execute(
            "SELECT coalesce(sum(pg_total_relation_size(c.oid)), 0) FROM pg_class c"
            " JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = %s AND c.relkind = 'r'",
            (name,),
        ).fetchone()
        return int(total)

    return name, size


def postgres_commits(url: str, entries: int, commits: int):
    """(us per commit, bytes per commit, mean record body bytes) for PostgresLog, a schema of its own."""
    from derirezaro.persist import PostgresLog

    schema, size = postgres_schema(url, f"ours_{entries}_{commits}")
    log = PostgresLog(url, schema=schema, pool_size=1)
    store = Store(max_history=64)
    tl = log.timeline("t", store)
    for i in range(entries):
        store.set("state", f"k{i}", value(i))
    tl.commit()
    before = size()
    step = iter(range(1, 10**9))
    sizes = []

    def one():
        i = next(step)
        store.set("state", f"k{i % entries}", value(10**6 + i))
        sizes.append(tl.commit(meta={"step": i}).size)

    per = timed(one, commits)
    grown = (size() - before) / commits
    log.close()
    return per * 1e6, grown, statistics.mean(sizes)


def postgres_peer_commits(url: str, entries: int, commits: int):
    """(us per put, bytes per put) for LangGraph's PostgreSQL checkpointer; None where it is not installed."""
    try:
        import psycopg
        from langgraph.checkpoint.postgres import PostgresSaver
        from psycopg.rows import dict_row
    except ImportError:
        return None
    schema, size = postgres_schema(url, f"peer_{entries}_{commits}")
    # As PostgresSaver.from_conn_string connects, with the schema first in the search path.
    connection = psycopg.connect(
        url, autocommit=True, prepare_threshold=0, row_factory=dict_row, options=f"-c search_path={schema}"
    )
    saver = PostgresSaver(connection)
    saver.setup()
    put, before = _peer_puts(saver, entries), None
    put(0)
    before = size()
    step = iter(range(1, 10**9))
    per = timed(lambda: put(next(step)), commits)
    grown = (size() - before) / commits
    connection.close()
    return per * 1e6, grown


def _peer_puts(saver, entries: int):
    """A put of the next step's state to a LangGraph checkpointer: one entry of `entries` changed."""
    from langgraph.checkpoint.base import empty_checkpoint

    state = {f"k{i}": value(i) for i in range(entries)}
    config = {"configurable": {"thread_id": "t", "checkpoint_ns": ""}}

    def put(i):
        nonlocal config
        state[f"k{i % entries}"] = value(10**6 + i)
        checkpoint_ = empty_checkpoint() | {"channel_values": {"state": dict(state)}}
        checkpoint_["channel_versions"] = {"state": i}
        config = saver.put(config, checkpoint_, {"source": "loop", "step": i}, {"state": i})

    return put


def peer_commits(directory: Path, entries: int, commits: int):
    try:
        from langgraph.checkpoint.sqlite import SqliteSaver
    except ImportError:
        return None
    path = directory / f"peer-{entries}.db"
    connection = sqlite3.connect(path, check_same_thread=False)
    saver = SqliteSaver(connection)
    saver.setup()
    put = _peer_puts(saver, entries)
    put(0)
    connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")  # in case it keeps a WAL
    before = file_bytes(path)
    step = iter(range(1, 10**9))
    per = timed(lambda: put(next(step)), commits)
    connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    grown = (file_bytes(path) - before) / commits
    connection.close()
    return per * 1e6, grown


def fsync_floors(directory: Path, repeats: int) -> tuple[float, float]:
    """(512 B append + fsync, one WAL frame append + fdatasync) in us, measured interleaved.

    The second is what SQLite itself does to make one commit durable in WAL
    mode: a 24-byte frame header and a 4 KiB page appended, then fdatasync.
    """
    small = os.open(directory / "fsync.bin", os.O_WRONLY | os.O_CREAT | os.O_APPEND)
    frame = os.open(directory / "frame.bin", os.O_WRONLY | os.O_CREAT | os.O_APPEND)
    try:
        pairs = [
            (
                timed(lambda: (os.write(small, b"x" * 512), os.fsync(small)), 10),
                timed(
                    lambda: (os.write(frame, b"h" * 24), os.write(frame, b"p" * 4096), os.fdatasync(frame)),
                    10,
                ),
            )
            for _ in range(max(repeats, 1))
        ]
        return statistics.median(a for a, _ in pairs) * 1e6, statistics.median(b for _, b in pairs) * 1e6
    finally:
        os.close(small)
        os.close(frame)


def checkouts(directory: Path, repeats: int):
    """Cached, warm (keyframe held) and cold checkout at 1,000 entries, in us, by depth in the run."""
    path = directory / "checkout.db"
    log = SQLiteLog(path)
    store = Store(max_history=0)
    tl = log.timeline("t", store)
    for i in range(1000):
        store.set("state", f"k{i}", value(i))
    for i in range(1, 800):
        tl.commit()
        store.set("state", f"k{i % 1000}", value(10**6 + i))
    head = tl.head.seq
    cached = timed(lambda: tl.checkout(head), repeats * 50) * 1e6
    # The committing timeline, records 70 to 500 back: out of its cache of 64, in reach of its anchors.
    older = [head - back for back in range(70, 500, 7)]
    anchored = []
    gc.disable()  # as timed() does
    for seq in older:
        start = time.perf_counter()
        tl.checkout(seq)
        anchored.append(time.perf_counter() - start)
        tl._points.keep_only(head)
    gc.enable()
    # A whole run, from one keyframe to the record before the next: its last record is
    # the farthest a read ever replays.
    keyframes = sorted(r.seq for r in tl.records() if r.kind == "keyframe")
    keyframe, next_keyframe = next(
        (k, n) for k, n in zip(keyframes, keyframes[1:], strict=False) if n - k > 128
    )
    rows = []
    for depth in (0, 32, 64, 128, next_keyframe - keyframe - 1):
        seq = keyframe + depth

        def cold(seq=seq):
            fresh = log.timeline("t", Store(), cache_size=64)
            fresh._points.clear()
            gc.disable()  # as timed() does
            start = time.perf_counter()
            fresh.checkout(seq)
            elapsed = time.perf_counter() - start
            gc.enable()
            return elapsed

        def warm(seq=seq):
            tl.checkout(keyframe)
            tl._points.keep_only(keyframe)
            start = time.perf_counter()
            tl.checkout(seq)
            return time.perf_counter() - start

        rows.append((depth, statistics.median(cold() for _ in range(repeats)) * 1e6,
                     statistics.median(warm() for _ in range(repeats)) * 1e6))  # fmt: skip
    log.close()
    ninetieth = statistics.quantiles(anchored, n=10)[-1]
    return cached, rows, (statistics.median(anchored) * 1e6, ninetieth * 1e6, max(anchored) * 1e6)


def scale(directory: Path, sizes, commits: int):
    return [scale_one(directory, entries, commits) for entries in sizes]


def scale_one(directory: Path, entries: int, commits: int):
    path = directory / f"scale-{entries}.db"
    log = SQLiteLog(path)
    store = Store(max_history=4)
    tl = log.timeline("t", store)
    start = time.perf_counter()
    for i in range(entries):
        store.set("state", f"k{i}", value(i))
    tl.commit()
    setup = time.perf_counter() - start
    sizes_, step = [], iter(range(1, 10**9))

    def one():
        i = next(step)
        store.set("state", f"k{i % entries}", value(10**6 + i))
        record = tl.commit()
        if record.kind == "delta":
            sizes_.append(record.size)

    per = timed(one, commits)
    log.close()
    return entries, setup, per * 1e6, statistics.median(sizes_)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer commits and repeats")
    args = parser.parse_args()
    commits, repeats = (500, 10) if args.quick else (3000, 30)
    from importlib.metadata import PackageNotFoundError, version

    peers = []
    for peer in ("langgraph-checkpoint-sqlite", "langgraph-checkpoint-postgres"):
        try:
            peers.append(f"{peer} {version(peer)}")
        except PackageNotFoundError:
            peers.append(f"{peer} not installed")
    machine = f"{platform.machine()} {os.cpu_count()} cores"
    print(f"derirezaro {__version__}, Python {platform.python_version()}, SQLite {sqlite3.sqlite_version},",
          f"{machine}; {', '.join(peers)}")  # fmt: skip
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
    import postgres_server

    postgres = None
    if postgres_server.BINARIES is not None and importlib.util.find_spec("psycopg") is not None:
        postgres = postgres_server.PostgresServer(fsync=True).start()
    try:
        with tempfile.TemporaryDirectory(dir="/tmp") as scratch:
            run(Path(scratch), args, commits, repeats, postgres)
    finally:
        if postgres is not None:
            postgres.stop()


def run(directory: Path, args, commits: int, repeats: int, postgres) -> None:
    """Each table of the run, in the order they print."""
    floor, wal_floor = fsync_floors(directory, repeats)
    print(f"\nfsync floor: 512 B append + fsync {floor:.0f} us;"
          f" one WAL frame (24 B + 4 KiB) append + fdatasync {wal_floor:.0f} us")  # fmt: skip
    print("\ncommit, 1 entry of N changed per step   us/commit   bytes/commit   record body B")
    for entries in (10, 1000):
        cost = {}
        for durability in ("normal", "full", None):
            us, grown, body = our_commits(directory, entries, commits, durability)
            cost[durability] = us
            name = f"SQLiteLog {durability}" if durability else "MemoryLog"
            grown_text = f"{grown:12.0f}" if grown is not None else f"{'-':>12}"
            print(f"  N={entries:<5} {name:<22} {us:10.1f}  {grown_text}   {body:10.1f}")
        for fsync in ("everysec", "always"):
            got = redis_commits(entries, commits, fsync)
            if got:
                us, stored, memory = got
                name = f"RedisLog {fsync}"
                line = f"  N={entries:<5} {name:<22} {us:10.1f}  {stored:12.0f}"
                print(f"{line}   server memory {memory:.0f} B")
        extra = cost["full"] - cost["normal"]
        print(f"  N={entries:<5} full - normal: {extra:.0f} us, {extra / wal_floor:.2f}x a WAL frame's")
        peer = peer_commits(directory, entries, max(commits // 5, 100))
        if peer:
            ours_full = our_commits(directory, entries, commits // 5, "full")
            ratio = f"ours full / peer: time {ours_full[0] / peer[0]:.2f}, bytes {ours_full[1] / peer[1]:.3f}"
            print(f"  N={entries:<5} {'peer SqliteSaver':<22} {peer[0]:10.1f}  {peer[1]:12.0f}   {ratio}")
        if postgres is not None:
            us, grown, body = postgres_commits(postgres.url, entries, commits // 5)
            print(f"  N={entries:<5} {'PostgresLog':<22} {us:10.1f}  {grown:12.0f}   {body:10.1f}")
            peer = postgres_peer_commits(postgres.url, entries, max(commits // 5, 100))
            if peer:
                ratio = f"PostgresLog / peer: time {us / peer[0]:.2f}, bytes {grown / peer[1]:.3f}"
                print(
                    f"  N={entries:<5} {'peer PostgresSaver':<22} {peer[0]:10.1f}  {peer[1]:12.0f}   {ratio}"
                )
    cached, rows, anchored = checkouts(directory, repeats)
    median, ninetieth, most = anchored
    print(f"\ncheckout at 1,000 entries: cached {cached:.2f} us; 70-500 records back, from an anchor:",
          f"median {median:.0f} us, 90th percentile {ninetieth:.0f} us, max {most:.0f} us")  # fmt: skip
    for depth, cold, warm in rows:
        print(f"  {depth:4d} deltas past the keyframe: cold {cold:7.0f} us   keyframe cached {warm:7.0f} us")
    sizes = (100, 10_000, 100_000) if args.quick else (100, 10_000, 1_000_000)
    rows = scale(directory, sizes, max(commits // 3, 200))
    print("\nscale, 1 entry changed per commit   setup s   us/commit   delta record B   vs 100")
    base = rows[0]
    for entries, setup, us, size in rows:
        print(
            f"  {entries:>9,} entries {setup:12.1f} {us:11.1f} {size:15.0f}"
            f"   time {us / base[2]:.2f}x, bytes {size / base[3]:.2f}x"
        )


if __name__ == "__main__":
    main()

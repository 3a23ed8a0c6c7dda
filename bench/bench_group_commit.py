"""Appends per second at durability "full" from threads of one process, each on a timeline of its own.

    PYTHONPATH=python python3 bench/bench_group_commit.py [--threads 1 4] [--seconds 2] [--rounds 3] [--saver]

Each thread appends sealed records (a keyframe, then deltas on it) to its own
timeline of one SQLiteLog; the rows are appends per second over a run, the
median of the rounds, and its ratio to the first row. The rounds take the
thread counts in turn, so that a disk shared with other work slows each row
alike. The commit waits for the disk, so one thread
cannot pass one append per fsync; threads whose appends wait for the lock
together share a commit. `--saver` runs LangGraph's `put` on a SQLite saver
instead, one LangGraph thread per Python thread: a checkpoint per step.
`--dir` puts the file on another file system (a slower disk shows more);
`--flush-ms 2` makes every flush of this process take 2 ms longer (bench/slow_flush.c, compiled with
`cc` and preloaded), a disk like the ones most servers have when this machine's flush is too quick to
show what sharing it buys. To count the fsyncs, run it under `strace -c -f -e trace=fdatasync,fsync`.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from derirezaro.persist import SQLiteLog
from derirezaro.persist.record import DELTA, KEYFRAME, seal


def record(name, seq):
    return seal(name, seq=seq, id=None, parent=None if seq == 1 else seq - 1, base=1,
                kind=KEYFRAME if seq == 1 else DELTA, timestamp=1.5, digest=seq, meta=b"\x80",
                body=b"x" * 200)  # fmt: skip


def appender(log, name):
    head, seq = None, 0

    def step():
        nonlocal head, seq
        seq += 1
        head = log.append(name, record(name, seq), head)

    return step


def saver_step(log, name):
    from derirezaro.langgraph import DerirezaroSaver
    from langgraph.checkpoint.base import empty_checkpoint

    saver = DerirezaroSaver(log)
    config = {"configurable": {"thread_id": name, "checkpoint_ns": ""}}
    count = 0

    def step():
        nonlocal config, count
        count += 1
        checkpoint = empty_checkpoint()
        checkpoint["channel_values"] = {"n": count, "messages": ["short message"] * 3}
        checkpoint["channel_versions"] = {"n": count, "messages": count}
        config = saver.put(config, checkpoint, {"step": count}, {"n": count, "messages": count})

    return step


def run(threads, seconds, directory, make_step):
    path = os.path.join(directory, f"group-{threads}.db")
    with SQLiteLog(path, durability="full") as log:
        steps = [make_step(log, f"t{i}") for i in range(threads)]
        for step in steps:
            step()  # each timeline exists before the clock starts
        start, stop, counts = threading.Barrier(threads + 1), threading.Event(), [0] * threads

        def work(i):
            start.wait()
            while not stop.is_set():
                steps[i]()
                counts[i] += 1

        workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
        for worker in workers:
            worker.start()
        start.wait()
        began = time.perf_counter()
        time.sleep(seconds)
        stop.set()
        for worker in workers:
            worker.join()
        elapsed = time.perf_counter() - began
    for name in (path, path + "-wal", path + "-shm"):
        if os.path.exists(name):
            os.remove(name)
    return sum(counts) / elapsed


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 4])
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--saver", action="store_true", help="LangGraph puts instead of bare appends")
    parser.add_argument("--dir", default=None, help="where the file goes (default: a temporary directory)")
    parser.add_argument("--flush-ms", type=float, default=0.0, help="added to every fsync (preloaded shim)")
    args = parser.parse_args()
    if args.flush_ms and "SLOW_FLUSH_US" not in os.environ:
        return rerun_with_slow_flush(args.flush_ms)
    make_step = saver_step if args.saver else appender
    what = "checkpoints" if args.saver else "appends"
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        runs: dict[int, list[float]] = {threads: [] for threads in args.threads}
        for _ in range(args.rounds):
            for threads in args.threads:
                runs[threads].append(run(threads, args.seconds, directory, make_step))
    rates = [(threads, statistics.median(rates)) for threads, rates in runs.items()]
    flush = f", flush +{args.flush_ms:g} ms" if args.flush_ms else ""
    print(f"{'threads':>8} {what + '/s':>14} {'ratio':>7}   (durability full{flush})")
    for threads, rate in rates:
        print(f"{threads:>8} {rate:>14.0f} {rate / rates[0][1]:>7.2f}")
    return 0


def rerun_with_slow_flush(flush_ms):
    """This script again, in a process whose fsync and fdatasync pause `flush_ms` first."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "slow_flush.c")
    with tempfile.TemporaryDirectory() as directory:
        shim = os.path.join(directory, "slow_flush.so")
        subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", shim, source, "-ldl"], check=True)
        env = dict(os.environ, LD_PRELOAD=shim, SLOW_FLUSH_US=str(round(flush_ms * 1000)))
        return subprocess.run([sys.executable, *sys.argv], env=env).returncode


if __name__ == "__main__":
    sys.exit(main())

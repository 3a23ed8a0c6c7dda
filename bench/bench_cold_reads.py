#!/usr/bin/env python3
"""A thread's head read by a saver that has read nothing of it yet, beside the SQLite checkpointer.

    python3 bench/bench_cold_reads.py [--repeats N] [--no-instructions] [--run-to-state K]

A thread of N channels is written by one saver (200 steps as a running graph
makes them: a put with one channel changed, then its task's write). Each read
is by a new saver on the same file that has already read another thread, so
what a saver sets up once is done; its first `get_tuple(latest)` of this
thread is what is measured: thread CPU time (median), and instructions
(callgrind, the smallest of three windows). Bytes per step are the growth of
the file over the 200 steps, its WAL checkpointed. Both savers at `normal`
(no fsync): a read does not depend on it. `--run-to-state K` gives every
timeline `Tuning(run_to_state=K)` (its keyframe rule for small states).
"""

from __future__ import annotations

import argparse
import gc
import math
import statistics
import sys
import tempfile
import time
from pathlib import Path

import instructions
from bench_langgraph import SqliteSaver, Thread, ours_size, ours_sqlite, peer_size, sqlite_peer
from derirezaro.persist import timeline

CHANNELS = (10, 1000)
STEPS = 200
LATEST = {"configurable": {"thread_id": "t", "checkpoint_ns": ""}}
OTHER = {"configurable": {"thread_id": "other", "checkpoint_ns": ""}}
KINDS = {
    "derirezaro SQLite": (lambda path: ours_sqlite(path, "normal"), ours_size, lambda s: s.close()),
    "SqliteSaver": (lambda path: sqlite_peer(path, "normal"), peer_size, lambda s: s.conn.close()),
}


def written(directory: Path, kind: str, channels: int) -> tuple[Path, float]:
    """A file holding the thread; and its bytes per step."""
    open_saver, size, close = KINDS[kind]
    path = directory / f"{kind.split()[0]}-{channels}.db"
    writer = open_saver(path)
    thread = Thread(writer, channels)
    Thread(writer, 1, "other")
    before = size(writer)
    for _ in range(STEPS):
        thread.one()
    grown = (size(writer) - before) / STEPS
    close(writer)
    return path, grown


def readers(kind: str, path: Path, count: int) -> list:
    """Savers on `path`, each having read another thread."""
    made = []
    for _ in range(count):
        saver = KINDS[kind][0](path)
        saver.get_tuple(OTHER)
        made.append(saver)
    return made


def kinds() -> list[str]:
    return [kind for kind in KINDS if kind != "SqliteSaver" or SqliteSaver is not None]


def _child(out_path: str) -> None:
    """Under callgrind: one window per cold read, each by a saver made before the window opened."""
    jobs = []
    with tempfile.TemporaryDirectory(dir="/tmp") as scratch:
        for channels in CHANNELS:
            for kind in kinds():
                path, _ = written(Path(scratch), kind, channels)
                pool = iter(readers(kind, path, 8))
                jobs.append((f"{kind} {channels}", lambda pool: next(pool).get_tuple(LATEST), pool))
        gc.disable()
        instructions.count_windows(jobs, out_path)


def profile(kind: str, channels: int) -> None:
    """One cold read between the markers, for a run under `valgrind --tool=callgrind
    --zero-before=math_gcd --dump-before=math_lcm` whose profile callgrind_annotate reads."""
    with tempfile.TemporaryDirectory(dir="/tmp") as scratch:
        path, _ = written(Path(scratch), kind, channels)
        pool = readers(kind, path, 6)
        gc.disable()
        for saver in pool[:5]:
            saver.get_tuple(LATEST)
        math.gcd()
        pool[5].get_tuple(LATEST)
        math.lcm()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=30)
    parser.add_argument("--no-instructions", action="store_true")
    parser.add_argument("--run-to-state", type=int, default=0)
    parser.add_argument("--profile", nargs=2, metavar=("KIND", "CHANNELS"), help=argparse.SUPPRESS)
    parser.add_argument(instructions.CHILD_FLAG, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run_to_state:  # what the timelines a saver opens are given, as a saver would give it
        defaults = timeline.Timeline.__init__.__kwdefaults__
        defaults["tuning"] = defaults["tuning"]._replace(run_to_state=args.run_to_state)
    child = getattr(args, instructions.CHILD_FLAG.lstrip("-").replace("-", "_"))
    if child:
        _child(child)
        return
    if args.profile:
        kind = next(k for k in kinds() if k.startswith(args.profile[0]))
        profile(kind, int(args.profile[1]))
        return
    counts = {}
    if not args.no_instructions and instructions.available():
        counts = instructions.count(__file__, [f"--run-to-state={args.run_to_state}"])
    print(f"cold get_tuple(latest) after {STEPS} steps       CPU us    instructions   bytes/step")
    with tempfile.TemporaryDirectory(dir="/tmp") as scratch:
        for channels in CHANNELS:
            for kind in kinds():
                path, grown = written(Path(scratch), kind, channels)
                cpus = []
                for saver in readers(kind, path, args.repeats):
                    gc.disable()
                    start = time.thread_time()
                    saver.get_tuple(LATEST)
                    cpus.append(time.thread_time() - start)
                    gc.enable()
                    KINDS[kind][2](saver)
                count = counts.get(f"{kind} {channels}")
                cells = f"{statistics.median(cpus) * 1e6:9.0f} {count or 0:15,} {grown:12.0f}"
                print(f"  N={channels:<5} {kind:<22} {cells}")
    sys.stdout.flush()


if __name__ == "__main__":
    main()

"""What the SQLite log's calls cost: instructions per call, and a listing among many timelines.

    PYTHONPATH=python python3 bench/bench_sqlite_log.py                  # instructions (callgrind)
    PYTHONPATH=python python3 bench/bench_sqlite_log.py --timelines 1000000

The instruction counts (see `instructions.py`) are of the log alone: records are
sealed beforehand, so an append is the statement and its bookkeeping, appended
to a timeline of 100 records. `--timelines N` builds a file of N timelines (one
record each, names as a LangGraph saver makes them) in a temporary directory,
then times `timelines(prefix)` for one thread's prefix, the median of 200 calls.
"""

import argparse
import os
import sqlite3
import statistics
import sys
import tempfile
import time

import instructions
from derirezaro.persist import SQLiteLog
from derirezaro.persist.record import DELTA, KEYFRAME, seal
from derirezaro.persist.sqlite_schema import crc_of_name


def sealed(name, count, body=b"x" * 200):
    """`count` records of a linear timeline: a keyframe, then deltas on it."""
    return [
        seal(name, seq=seq, id=None, parent=None if seq == 1 else seq - 1, base=1,
             kind=KEYFRAME if seq == 1 else DELTA, timestamp=1.5, digest=seq, meta=b"\x80", body=body)
        for seq in range(1, count + 1)
    ]  # fmt: skip


def count_child(out_path):
    directory = tempfile.mkdtemp()
    log = SQLiteLog(os.path.join(directory, "bench.db"))
    records = iter(sealed("t", 200))
    head = None
    for _ in range(100):
        head = log.append("t", next(records), head)

    def append(_):
        nonlocal head
        head = log.append("t", next(records), head)
        return head

    jobs = [
        ("append", append, None),
        ("head", lambda _: log.head("t"), None),
        ("headers(limit=1)", lambda _: log.headers("t", limit=1), None),
        ("timelines(prefix)", lambda _: log.timelines("t"), None),
    ]
    instructions.count_windows(jobs, out_path)


def listing(count):
    """Time `timelines(prefix)` for one thread's prefix among `count` timelines."""
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "many.db")
        SQLiteLog(path).close()
        started = time.perf_counter()
        db = sqlite3.connect(path, isolation_level=None)
        db.execute("BEGIN")
        names = (f"thread-{i:07d}\x00ns" for i in range(count))
        db.executemany(
            "INSERT INTO derirezaro_timelines (name, head, crc, first, name_crc) VALUES (?, 1, 0, 1, ?)",
            ((name, crc_of_name(name)) for name in names),
        )
        db.execute("COMMIT")
        db.close()
        print(f"{count:,} timelines built in {time.perf_counter() - started:.1f} s")
        with SQLiteLog(path) as log:
            prefix = f"thread-{count // 2:07d}\x00"
            assert log.timelines(prefix) == [prefix + "ns"]
            times = []
            for _ in range(200):
                started = time.perf_counter()
                log.timelines(prefix)
                times.append(time.perf_counter() - started)
        median, worst = statistics.median(times) * 1e6, max(times) * 1e6
        print(f"timelines(prefix): median {median:.1f} us, max {worst:.1f} us")


def main(argv):
    if instructions.CHILD_FLAG in argv:
        return count_child(argv[argv.index(instructions.CHILD_FLAG) + 1])
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--timelines", type=int, help="time a listing among this many timelines")
    args = parser.parse_args(argv)
    if args.timelines:
        return listing(args.timelines)
    for name, count in instructions.count(__file__, []).items():
        print(f"{name}: {count:,} instructions")


if __name__ == "__main__":
    main(sys.argv[1:])

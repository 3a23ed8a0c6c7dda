"""`derirezaro verify` over a whole SQLite log: its time, and its peak memory as the timelines grow.

    PYTHONPATH=python python3 bench/bench_cli_verify.py                     # 10,000 x 100 records
    PYTHONPATH=python python3 bench/bench_cli_verify.py --timelines 1000 --file /tmp/small.db

Builds (once: an existing --file is reused) a file of N timelines of R
records each, committed by Timeline from a small state that changes every
step, then runs `derirezaro FILE verify` as its own process, and again on
the first tenth of the timelines (`--prefix t0`, N a power of ten). Each
run's wall time and peak RSS (the child's own, from wait4) are printed: a
verify that held every timeline it read would show a peak that grows with
the count.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

from derirezaro import Store
from derirezaro.persist import SQLiteLog, Timeline


def build(path, timelines, records):
    log = SQLiteLog(path)
    started = time.perf_counter()
    width = len(str(timelines - 1))  # one width for every name: a prefix of them is a tenth of the log
    for number in range(timelines):
        store = Store(max_history=0)
        timeline = Timeline(log, f"t{number:0{width}}", store)
        for step in range(records):
            store.set("agent", "step", step)
            store.set("agent", f"note{step % 7}", "x" * (step % 13))
            store.set("messages", str(step % 16), {"role": "user", "n": step})
            timeline.commit(meta={"step": step})
        if number % 500 == 499:
            print(f"  built {number + 1}/{timelines} timelines", file=sys.stderr)
    log.close()
    return time.perf_counter() - started


def run_verify(path, *extra):
    """Wall seconds, peak RSS in MiB and the last output line of one `derirezaro PATH verify` process."""
    command = [sys.executable, "-m", "derirezaro", path, "verify", *extra]
    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    output = process.stdout.read().decode()
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    elapsed = time.perf_counter() - started
    if process.returncode != 0:
        sys.exit(f"{' '.join(command)} exited with {process.returncode}:\n{output}")
    return elapsed, usage.ru_maxrss / 1024, output.strip().splitlines()[-1]


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--timelines", type=int, default=10_000)
    parser.add_argument("--records", type=int, default=100, help="records per timeline")
    parser.add_argument("--file", help="the log to build or reuse (default: a temporary file)")
    args = parser.parse_args()
    path = args.file or os.path.join(tempfile.mkdtemp(prefix="dz-verify-"), "verify.db")
    if not os.path.exists(path):
        seconds = build(path, args.timelines, args.records)
        print(f"built {args.timelines} timelines x {args.records} records in {seconds:.0f} s")
    print(f"file: {path}, {os.path.getsize(path) / 2**20:.0f} MiB")
    # Names are zero-padded to one width, so "t0" is the first tenth when N is a power of ten.
    runs = [(f"{args.timelines} timelines", ()), (f"{args.timelines // 10} of them", ("--prefix", "t0"))]
    print("| verify of | seconds | peak RSS (MiB) | outcome |")
    print("|---|---:|---:|---|")
    for what, extra in runs:
        seconds, peak, outcome = run_verify(path, *extra)
        print(f"| {what} | {seconds:.1f} | {peak:.0f} | {outcome} |")


if __name__ == "__main__":
    main()

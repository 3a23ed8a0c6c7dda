"""Instructions per call, counted by valgrind's callgrind: the measure that
wall-clock noise cannot move.

A script that wants counts re-runs itself under callgrind with an extra
argument (`CHILD_FLAG FILE`); in that child, `count_windows` calls each job
between two markers, `math.gcd` and `math.lcm`, which nothing else in the
child calls. Callgrind zeroes its counters on entering the first
(`--zero-before`) and writes a profile on entering the second
(`--dump-before`), so each profile holds exactly one window: the job's call,
plus the bytecode that makes it and reaches the markers. That overhead is
counted the same way with a call that does nothing (`callable(x)`) and
subtracted. The result of the call is kept until after the window, so what
it costs to free it is not counted; it is the same work for every peer.

Each job is warmed up first (caches, interned keys, grown buffers: the
steady state a program calling it in a loop sees), then counted a few times;
the counts of one job agree to within a few instructions, and the smallest is
reported.
"""

import glob
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile

CHILD_FLAG = "--count-instructions-into"
_WARMUP, _WINDOWS = 5, 3


def available() -> bool:
    return shutil.which("valgrind") is not None


def count_windows(jobs, out_path):
    """In the child: run every (name, fn, arg) job in counted windows; write their order to `out_path`."""
    gcd, lcm = math.gcd, math.lcm
    order = []
    for name, fn, arg in [("(loop overhead)", callable, None), *jobs]:
        for _ in range(_WARMUP):
            fn(arg)
        for _ in range(_WINDOWS):
            gcd()
            result = fn(arg)
            lcm()
            del result
            order.append(name)
    with open(out_path, "w") as f:
        json.dump(order, f)


def _window_counts(directory):
    """Instructions in each profile callgrind wrote, in the order it wrote them."""

    def number(path):
        return int(path.rsplit(".", 1)[1])

    counts = []
    for path in sorted(glob.glob(os.path.join(directory, "cg.out.*.*")), key=number):
        with open(path) as f:
            totals = next((line for line in f if line.startswith(("summary:", "totals:"))), None)
        if totals is None:
            raise RuntimeError(f"callgrind profile {path} has no totals")
        counts.append(int(totals.split()[1]))
    return counts


def count(script, args):
    """Run `script args CHILD_FLAG FILE` under callgrind; {job name: instructions per call}."""
    with tempfile.TemporaryDirectory(prefix="callgrind-") as directory:
        order_path = os.path.join(directory, "order.json")
        command = [
            "valgrind",
            "--tool=callgrind",
            "--zero-before=math_gcd",
            "--dump-before=math_lcm",
            f"--callgrind-out-file={os.path.join(directory, 'cg.out.%p')}",
            sys.executable,
            script,
            *args,
            CHILD_FLAG,
            order_path,
        ]
        env = dict(os.environ, PYTHONHASHSEED="0")
        done = subprocess.run(command, capture_output=True, text=True, env=env)
        if done.returncode:
            raise RuntimeError(f"callgrind run failed:\n{done.stderr[-3000:]}")
        with open(order_path) as f:
            order = json.load(f)
        counts = _window_counts(directory)
    if len(counts) != len(order):
        raise RuntimeError(f"expected {len(order)} callgrind windows, found {len(counts)}")
    smallest: dict[str, int] = {}
    for name, n in zip(order, counts, strict=True):
        smallest[name] = min(n, smallest.get(name, n))
    overhead = smallest.pop("(loop overhead)")
    return {name: max(0, n - overhead) for name, n in smallest.items()}

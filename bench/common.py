"""What the benchmarks share: their common options, the machine's name, and
loading an installed older build beside the current one, so that both are timed
in one run (--baseline DIR)."""

import argparse
import contextlib
import importlib.machinery
import importlib.util
import json
import os
import platform
import statistics
import subprocess
import sys
import threading
from importlib import metadata

import derirezaro


def load_baseline(root):
    """Load DIR/derirezaro/_core from an installed copy, beside the current build.

    The loader finds the init function by the last part of the module name, so
    "derirezaro_baseline._core" initialises the other file's _core under a name
    of its own: a second module, with its own types and state, in this process.
    Only the extension is loaded; the package's __init__ merely re-exports it.
    """
    pkg = os.path.join(root, "derirezaro")
    path = next(
        (
            p
            for s in importlib.machinery.EXTENSION_SUFFIXES
            if os.path.isfile(p := os.path.join(pkg, "_core" + s))
        ),
        None,
    )
    if path is None:
        sys.exit(f"--baseline: no derirezaro/_core extension for this Python under {root}")
    # The dynamic loader hands back the library already mapped for the same
    # file, so that would not be a second copy at all.
    if os.path.samefile(path, derirezaro._core.__file__):
        sys.exit(f"--baseline: {path} is the build being measured")
    name = "derirezaro_baseline._core"
    found = importlib.util.spec_from_file_location(name, path)
    core = importlib.util.module_from_spec(found)
    sys.modules[name] = core
    found.loader.exec_module(core)
    return core


def dist_version(dist):
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return None


def rss_bytes():
    with open("/proc/self/statm") as f:  # resident pages
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_child(script, args, what):
    """Runs `script` with `args` in a fresh interpreter; its JSON output, or None
    (with a WARNING line) when it failed."""
    out = subprocess.run([sys.executable, script, *args], capture_output=True, text=True)
    if out.returncode:
        print(f"WARNING: memory run of {what} failed:\n{out.stderr.strip()}")
        return None
    return json.loads(out.stdout)


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            return next(ln.split(":", 1)[1].strip() for ln in f if ln.startswith("model name"))
    except (OSError, StopIteration):
        return platform.processor() or platform.machine()


def argument_parser(doc):
    """--repeats, --quick, --json and --baseline, described by the script's docstring."""
    ap = argparse.ArgumentParser(description=doc.split("\n")[0])
    ap.add_argument("--repeats", type=int, default=15, help="timed repeats (default 15)")
    ap.add_argument("--quick", action="store_true", help="few short repeats: a smoke run")
    ap.add_argument("--json", metavar="PATH", help="also write the raw numbers as JSON")
    ap.add_argument(
        "--baseline",
        metavar="DIR",
        help="also time the derirezaro installed under DIR (pip install --target DIR)",
    )
    return ap


@contextlib.contextmanager
def busy_thread(busy):
    """With `busy`, a thread spins in pure Python for the duration of the block:
    it wants the interpreter lock all the time, as a busy agent thread would."""
    stop, started = [], threading.Event()

    def spin():
        started.set()
        n = 0
        while not stop:
            n += 1

    spinner = threading.Thread(target=spin)
    if busy:
        spinner.start()
        started.wait()
    try:
        yield
    finally:
        stop.append(True)
        if busy:
            spinner.join()


def write_json(path, raw):
    with open(path, "w") as f:
        json.dump(raw, f, indent=1)
    print(f"raw numbers written to {path}")


# --- timing and tables shared by the snapshot and graph benchmarks ----------

BASELINE = "derirezaro (baseline)"  # the contestant --baseline adds
SLOW = 1.0  # s per call: above this, timed only in the first SLOW_REPEATS repeats
SLOW_REPEATS = 3
TOO_SLOW = 10.0  # s per call: above this, not timed at all (n/a)


def calibrate(run, target):
    """Loop count for one repeat of about `target` seconds (at least one call).

    Also returns the seconds of one warm-up call, which decides whether a
    slow contestant is timed in every repeat.
    """
    first = run(1)  # the first call pays for cold caches and fresh memory
    if first >= target:
        return 1, first
    loops = 1
    while (t := run(loops)) < target / 5:
        loops *= 10 if t < target / 500 else 2
    # a second run at about the final size; the faster estimate wins
    n = max(1, round(target * loops / t))
    return max(1, round(target / min(t / loops, run(n) / n))), first


def interleave(jobs, repeats):
    """jobs: [(name, fn, times)] -> {name: [fn() per repeat, at most `times` of them]}.

    The job that starts each repeat rotates, so none always follows the same one.
    """
    out = {name: [] for name, _, _ in jobs}
    for r in range(repeats):
        for name, fn, times in jobs[r % len(jobs) :] + jobs[: r % len(jobs)]:
            if r < times:
                out[name].append(fn())
    return out


def measure(jobs, repeats, target):
    """jobs: [(name, run)] -> ({name: median µs per call}, raw, notes); n/a if too slow."""
    timed, notes = [], []
    for name, run in jobs:
        loops, first = calibrate(run, target)
        if first > TOO_SLOW:
            notes.append(f"{name}: one call took {first:.1f} s (> {TOO_SLOW:.0f} s), not timed")
            continue
        times = repeats
        if first > SLOW:
            times = min(repeats, SLOW_REPEATS)
            notes.append(
                f"{name}: one call takes {first:.1f} s, timed once in each of the first {times} repeats"
            )
        timed.append((name, lambda run=run, n=loops: run(n) / n * 1e6, times))
    samples = interleave(timed, repeats)
    return {n: statistics.median(s) for n, s in samples.items()}, samples, notes


def table(title, head, rows, notes=()):
    print(f"### {title}\n\n| " + " | ".join(head) + " |\n|---|" + "---:|" * (len(head) - 1))
    for row in rows:
        print("| " + " | ".join(row) + " |")
    for note in notes:
        print(f"\n{note}")
    print(flush=True)


def fmt(v, digits=2):
    if v is None:
        return "n/a"
    return f"{v:.{digits}f}" if v < 10 else f"{v:.1f}" if v < 100 else f"{v:,.0f}"


def fmt_ratio(v):
    """Two decimals, or two significant digits where that would read 0.00."""
    return f"{v:.2f}" if v >= 0.01 else f"{v:.2g}"


def ratio_head(names_):
    return [c for n in names_ for c in (f"{n} µs", "vs baseline" if n == BASELINE else "ratio")]

"""How long one call keeps every other Python thread waiting.

    PYTHONPATH=python python3 bench/bench_stalls.py [--quick] [--repeats N] [--json PATH] [--baseline DIR]

A second Python thread wakes every 0.5 ms and records the longest gap between
two of its wakings while the main thread makes one call; the call's own time
is shown beside it. A gap near the call's time means the call held the
interpreter lock throughout; a gap of a few milliseconds, that it gave the lock
up (the switch interval, 5 ms, bounds how long a thread that wants it back may
wait). Cases: route over large guards (a long list scanned by many edges),
route over many guards and many unread keys, adding many edges that read
distinct keys, and dropping the last reference to a large snapshot and a large
store, beside store.clear() on the same content. Each cell is the median over
the repeats. ``--baseline DIR`` runs every case on an installed older copy too.
"""

import gc
import os
import platform
import statistics
import sys
import threading
import time

import derirezaro
from common import BASELINE, argument_parser, cpu_name, load_baseline, table, write_json

TICK = 0.0005


def longest_stall(call):
    """(ms the call took, longest ms between two wakings of a ticking thread)."""
    stop, gaps = threading.Event(), [0.0]

    def ticker():
        last = time.perf_counter()
        while not stop.is_set():
            time.sleep(TICK)
            now = time.perf_counter()
            gaps[0] = max(gaps[0], now - last)
            last = now

    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(0.02)  # the ticker is running
    gaps[0] = 0.0
    t0 = time.perf_counter()
    call()
    took = time.perf_counter() - t0
    time.sleep(0.02)  # the ticker's first waking after the call
    stop.set()
    thread.join()
    return took * 1e3, gaps[0] * 1e3


def scanning_route(core, edges, items):
    g = core.HandoffGraph()
    for i in range(edges):
        g.add_edge("a", f"t{i}", when="-1 in xs")
    state = {"xs": list(range(items))}
    return lambda: g.route("a", state)


def unread_keys_route(core, n):
    g = core.HandoffGraph()
    for i in range(n):
        g.add_edge("a", "b", when=f"k{i:06d} == 1")
    state = {f"z{i:06d}": i for i in range(n)}
    return lambda: g.route("a", state)


def distinct_key_edges(core, n):
    def build():
        g = core.HandoffGraph()
        for i in range(n):
            g.add_edge("a", f"t{i}", when=f"k{i} == 1")

    return build


def filled_store(core, n):
    store = core.Store()
    for i in range(n):
        store.set(f"ns{i % 64}", f"key-{i}", i)
    return store


def dropping(obj):
    """A call that drops the last reference to `obj` (the caller keeps none)."""
    held = [obj]
    return held.clear


def snapshot_alone(core, n):
    # The store emptied and gone, history included: the snapshot is all
    # that holds the entries, so dropping it frees all of them.
    store = filled_store(core, n)
    snapshot = store.snapshot()
    store.clear()
    return snapshot


def cases(quick):
    big = 100_000 if quick else 1_000_000
    return [
        ("route: 1,000 edges `-1 in xs`, 100,000 items", lambda c: scanning_route(c, 1000, 100_000)),
        ("route: 4,000 edges `-1 in xs`, 100,000 items", lambda c: scanning_route(c, 4000, 100_000)),
        ("route: 20,000 guards, 20,000 unread keys", lambda c: unread_keys_route(c, 20_000)),
        ("add_edge: 20,000 edges, distinct keys", lambda c: distinct_key_edges(c, 20_000)),
        (f"del snapshot: {big:,} entries", lambda c: dropping(snapshot_alone(c, big))),
        (f"del store: {big:,} entries", lambda c: dropping(filled_store(c, big))),
        (f"store.clear(): {big:,} entries", lambda c: filled_store(c, big).clear),
    ]


def main(argv=None):
    args = argument_parser(__doc__).parse_args(argv)
    repeats = 3 if args.quick else max(1, args.repeats)
    builds = [("derirezaro", derirezaro._core)]
    if args.baseline:
        builds.append((BASELINE, load_baseline(args.baseline)))
    print(
        f"machine: {platform.system()} {platform.release()} {platform.machine()}, "
        f"{cpu_name()}, {os.cpu_count()} CPUs | Python {platform.python_version()} | "
        f"derirezaro {derirezaro.__version__} | repeats: {repeats}, medians\n",
        flush=True,
    )
    raw = {"machine": platform.platform(), "python": sys.version, "repeats": repeats, "cases": {}}
    rows = []
    for label, prepare in cases(args.quick):
        cells = [label]
        for name, core in builds:
            samples = []
            for _ in range(repeats):
                call = prepare(core)
                gc.collect()
                gc.disable()
                try:
                    samples.append(longest_stall(call))
                finally:
                    gc.enable()
                del call
            raw["cases"][f"{label}|{name}"] = samples
            took, stall = (statistics.median(s[i] for s in samples) for i in (0, 1))
            cells += [f"{took:,.1f}", f"{stall:,.1f}"]
        rows.append(cells)
    head = ["case"]
    for name, _ in builds:
        head += [f"{name} call ms", f"{name} longest stall ms"]
    table(
        "Longest wait of another Python thread during one call",
        head,
        rows,
        [
            f"The other thread sleeps {TICK * 1e3:.1f} ms between wakings, so a gap of "
            "about a millisecond is no stall at all. Target: under 20 ms in every case."
        ],
    )
    if args.json:
        write_json(args.json, raw)


if __name__ == "__main__":
    main()

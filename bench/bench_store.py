"""Time derirezaro.Store against hand-written and persistent-map stores.

    PYTHONPATH=python python3 bench/bench_store.py [--quick] [--repeats N] [--json PATH] [--baseline DIR]

Every peer keeps the msgpack bytes of each value.  "dict of dicts" is the class
a careful user would write (one reused Packer, unpackb on read); immutables,
rpds and pyrsistent keep namespace -> (key -> bytes) and swap the outer map on
every write.  Store's bound methods are called directly.  Sections: one set /
get call on a small agent-state dict; RSS growth per entry, each store filled
in a fresh interpreter; two threads against one; set+get beside a thread
spinning in pure Python.  Ratios are derirezaro / peer, so below 1.0 derirezaro
is faster or smaller.  The collector is off while timing, contestants take
turns within each repeat, and each cell is the median over the repeats.
``--baseline DIR`` adds the Store of an installed older copy of the package
(``pip install --target DIR .``) as "derirezaro (baseline)" wherever
derirezaro appears; "vs baseline" is current / baseline.
"""

import argparse
import gc
import json
import os
import platform
import statistics
import sys
import threading
import time
from itertools import cycle, islice

import derirezaro
from common import (
    BASELINE,
    argument_parser,
    busy_thread,
    cpu_name,
    dist_version,
    load_baseline,
    rss_bytes,
    run_child,
    write_json,
)

try:
    import msgpack
except ImportError:
    msgpack = None

VALUE = {
    "agent_id": "planner-7",
    "step": 42,
    "temperature": 0.7,
    "done": False,
    "last_error": None,
    "tools": ["search", "calculator"],
}
PAIRS = [(f"ns{n}", f"key{i:03d}") for n in range(10) for i in range(100)]
NATIVE = ("derirezaro", BASELINE)  # the Store builds, current and baseline
# the memory and thread sections compare Store with the dict of dicts only
SHORTLIST = (*NATIVE, "dict of dicts")


class DictStore:
    """A dict of dicts of msgpack bytes, the way one would write it by hand."""

    def __init__(self):
        self._data = {}
        self._pack = msgpack.Packer(use_bin_type=True).pack

    def set(self, namespace, key, value):
        self._data.setdefault(namespace, {})[key] = self._pack(value)

    def get(self, namespace, key, default=None):
        try:
            raw = self._data[namespace][key]
        except KeyError:
            return default
        return msgpack.unpackb(raw, raw=False, strict_map_key=False)

    def __len__(self):
        return sum(map(len, self._data.values()))


class PersistentStore(DictStore):
    """namespace -> (key -> msgpack bytes) in immutable maps; writes swap the root."""

    def __init__(self, empty, insert):
        super().__init__()
        self._empty = self._data = empty
        self._insert = insert  # the map type's unbound set/insert

    def set(self, namespace, key, value):
        root, insert = self._data, self._insert
        inner = insert(root.get(namespace, self._empty), key, self._pack(value))
        self._data = insert(root, namespace, inner)


def contestants(baseline=None):
    """[(name, factory or None)], derirezaro first; None where a peer is missing.

    A baseline module, if given, comes second (None if that build has no Store).
    """
    out = [("derirezaro", derirezaro.Store)]
    if baseline is not None:
        out.append((BASELINE, getattr(baseline, "Store", None)))
    out.append(("dict of dicts", msgpack and DictStore))
    for name, mod, cls, insert in [
        ("immutables", "immutables", "Map", "set"),
        ("rpds", "rpds", "HashTrieMap", "insert"),
        ("pyrsistent", "pyrsistent", "pmap", "set"),
    ]:
        try:
            empty = getattr(__import__(mod), cls)()
        except ImportError:
            out.append((name, None))
            continue
        insert = getattr(type(empty), insert)
        out.append((name, msgpack and (lambda e=empty, f=insert: PersistentStore(e, f))))
    return out


def check(peers):
    """Print a WARNING (never abort) where a contestant reads back something else."""
    want = {(ns, k): dict(VALUE, key=k) for ns, k in PAIRS}
    for name, factory in peers:
        if not factory:
            continue
        s = factory()
        # Store is filled from ten threads, a namespace each; the others from one
        parts = [[(ns, k, v) for (ns, k), v in want.items() if ns == f"ns{n}"] for n in range(10)]
        writers = [
            threading.Thread(target=lambda p=p, s=s: [s.set(*item) for item in p])
            for p in (parts if name in NATIVE else [sum(parts, [])])
        ]
        for t in writers:
            t.start()
        for t in writers:
            t.join()
        bad = sum(s.get(ns, k) != v for (ns, k), v in want.items())
        if bad or len(s) != len(want) or s.get("ns0", "nope", 7) != 7 or s.get("x", "k"):
            print(f"WARNING: {name} reads back {bad} wrong values, a wrong len or default")


def op_loop(store, op):
    """run(loops) -> seconds for `loops` calls of store.<op>, cycling through PAIRS."""

    def run_set(loops, s=store.set, v=VALUE):
        t0 = time.perf_counter()
        for ns, k in islice(cycle(PAIRS), loops):
            s(ns, k, v)
        return time.perf_counter() - t0

    def run_get(loops, g=store.get):
        t0 = time.perf_counter()
        for ns, k in islice(cycle(PAIRS), loops):
            g(ns, k)
        return time.perf_counter() - t0

    return run_set if op == "set" else run_get


def calibrate(run, target):
    """Loop count for one repeat of about `target` seconds."""
    run(len(PAIRS))  # warms the caches
    loops = 1
    while (t := run(loops)) < target / 5:
        loops *= 10 if t < target / 500 else 2
    n = max(1, round(target * loops / t))  # a second estimate; the faster one wins
    return max(1, round(target / min(t / loops, run(n) / n)))


def interleave(jobs, repeats):
    """jobs: [(name, fn)] -> {name: [fn() per repeat]}, the first job rotating."""
    out = {name: [] for name, _ in jobs}
    for r in range(repeats):
        for name, fn in jobs[r % len(jobs) :] + jobs[: r % len(jobs)]:
            out[name].append(fn())
    return out


def table(title, head, rows):
    print(f"### {title}\n\n| " + " | ".join(head) + " |\n|---|" + "---:|" * (len(head) - 1))
    for row in rows:
        print("| " + " | ".join(row) + " |")
    print(flush=True)


def section_ops(peers, repeats, target, raw):
    rows = []
    for op in ("set", "get"):
        jobs = []
        for name, factory in peers:
            if factory:
                store = factory()
                for ns, k in PAIRS:
                    store.set(ns, k, VALUE)
                run = op_loop(store, op)
                n = calibrate(run, target)
                jobs.append((name, lambda run=run, n=n: run(n) / n * 1e6))
        samples = interleave(jobs, repeats)
        med = {n: statistics.median(s) for n, s in samples.items()}
        raw[op] = {n: {"median_us": med[n], "samples_us": samples[n]} for n in med}
        rows.append([op, f"{med['derirezaro']:.3f}"])
        for name, _ in peers[1:]:
            rows[-1] += (
                [f"{med[name]:.3f}", f"{med['derirezaro'] / med[name]:.2f}"]
                if name in med
                else ["n/a", "n/a"]
            )
    table(
        "set / get: µs per call, 1,000 keys over 10 namespaces",
        ["op", "derirezaro µs"]
        + [c for n, _ in peers[1:] for c in (f"{n} µs", "vs baseline" if n == BASELINE else "ratio")],
        rows,
    )


def memory_child(name, n_ns, n_keys, baseline=None):
    """Runs in a fresh interpreter: print the RSS growth of one filled store."""
    gc.disable()
    store = dict(contestants(baseline))[name]()
    store.set("warm", "up", {"i": 0, "s": "x" * 8})  # first-use allocations out of the way
    before = rss_bytes()
    for j in range(n_ns):
        ns = f"ns{j:04d}"
        for i in range(n_keys):
            store.set(ns, f"key{i:04d}", {"i": i, "s": "x" * 8})
    gc.collect()
    print(json.dumps({"growth": rss_bytes() - before, "len": len(store) - 1}))


def section_memory(peers, n_ns, n_keys, repeats, raw, baseline_dir=None):
    entries = n_ns * n_keys
    # the child loads the baseline itself, the same way
    extra = ["--baseline", baseline_dir] if baseline_dir else []

    def child(name):
        res = run_child(__file__, ["--memory-child", name, str(n_ns), str(n_keys), *extra], name)
        if res is None:
            return float("nan")
        if res["len"] != entries:
            print(f"WARNING: {name} holds {res['len']} entries, expected {entries}")
        return res["growth"] / entries

    names = [n for n, _ in peers if n in SHORTLIST]
    samples = interleave([(n, lambda n=n: child(n)) for n, f in peers if f and n in names], repeats)
    raw["memory"] = {"entries": entries, "bytes_per_entry": samples}
    med = {n: statistics.median(samples.get(n, [float("nan")])) for n in names}
    ours = med["derirezaro"]
    head, cells = ["entries", "derirezaro B/entry"], [(ours, 1)]
    for n in names[1:]:
        head += [f"{n} B/entry", "vs baseline" if n == BASELINE else "ratio"]
        cells += [(med[n], 1), (ours / med[n], 2)]
    table(
        f"memory: RSS growth per entry, {n_ns:,} namespaces x {n_keys:,} keys",
        head,
        [[f"{entries:,}"] + [f"{v:.{d}f}".replace("nan", "n/a") for v, d in cells]],
    )


def pair_loop(store, ns, rounds):
    """`rounds` times one set and one get, in one namespace."""
    s, g, v = store.set, store.get, VALUE
    for _, k in islice(cycle(PAIRS[:100]), rounds):
        s(ns, k, v)
        g(ns, k)


def threaded(store, workers, rounds):
    """ops/s of `workers` threads sharing `rounds` set+get rounds, a namespace each."""
    gate = threading.Barrier(workers + 1)

    def work(ns):
        gate.wait()
        pair_loop(store, ns, rounds // workers)

    threads = [threading.Thread(target=work, args=(f"t{w}",)) for w in range(workers)]
    for t in threads:
        t.start()
    gate.wait()
    t0 = time.perf_counter()
    for t in threads:
        t.join()
    return 2 * (rounds // workers) * workers / (time.perf_counter() - t0)


def rate(store, seconds, busy):
    """set+get ops/s for `seconds`, alone or beside a thread spinning in Python."""
    s, g, v, batch = store.set, store.get, VALUE, [k for _, k in PAIRS[:10]]
    with busy_thread(busy):
        done, t0 = 0, time.perf_counter()
        while (t := time.perf_counter()) < t0 + seconds:
            for k in batch:  # short batches bound the overshoot if calls stall
                s("busy", k, v)
                g("busy", k)
            done += 2 * len(batch)
    return done / (t - t0)


def section_threads(peers, repeats, seconds, raw):
    stores = {n: f() for n, f in peers if f and n in SHORTLIST}
    rounds = {}
    for n, store in stores.items():  # about `seconds` for one thread
        pair_loop(store, "t0", 100)
        t0 = time.perf_counter()
        pair_loop(store, "t0", 2000)
        rounds[n] = max(2, int(2000 * seconds / (time.perf_counter() - t0)))
    for key, title, head, jobs in [
        (
            "threads",
            "two threads on different namespaces against one, same total set+get",
            ["one thread ops/s", "two threads ops/s", "two / one"],
            {n: [lambda n=n, w=w: threaded(stores[n], w, rounds[n]) for w in (1, 2)] for n in stores},
        ),
        (
            "busy",
            "set+get beside a busy pure-Python thread, against alone",
            ["alone ops/s", "beside busy thread ops/s", "fraction"],
            {n: [lambda n=n, b=b: rate(stores[n], seconds, b) for b in (False, True)] for n in stores},
        ),
    ]:
        samples = interleave(
            [(f"{n}|{i}", fn) for n, fns in jobs.items() for i, fn in enumerate(fns)], repeats
        )
        raw[key] = samples
        rows = []
        for n in stores:
            a, b = (statistics.median(samples[f"{n}|{i}"]) for i in (0, 1))
            rows.append([n, f"{a:,.0f}", f"{b:,.0f}", f"{b / a:.2f}"])
        table(title, ["contestant"] + head, rows)


def main(argv=None):
    ap = argument_parser(__doc__)
    ap.add_argument("--memory-child", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    baseline = load_baseline(args.baseline) if args.baseline else None
    if args.memory_child:
        name, n_ns, n_keys = args.memory_child
        return memory_child(name, int(n_ns), int(n_keys), baseline)
    if not hasattr(derirezaro, "Store"):
        print(f"derirezaro {derirezaro.__version__} has no Store: nothing to measure.")
        return
    repeats = 3 if args.quick else max(1, args.repeats)
    target, seconds, n_ns = (0.005, 0.03, 100) if args.quick else (0.03, 0.2, 1000)

    peers = contestants(baseline)
    dists = {
        "derirezaro": derirezaro.__version__,
        **{d: dist_version(d) for d in ("msgpack", "immutables", "rpds-py", "pyrsistent")},
    }
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(
        f"machine: {platform.system()} {platform.release()} {platform.machine()}, "
        f"{cpu_name()}, {os.cpu_count()} CPUs | Python {platform.python_version()} "
        f"({platform.python_implementation()}, GIL {'on' if gil else 'off'}) | "
        + ", ".join(f"{n} {v or 'n/a'}" for n, v in dists.items())
    )
    if baseline is not None:
        print(
            f"derirezaro {derirezaro.__version__} from {derirezaro._core.__file__} | "
            f"baseline {baseline.__version__} from {baseline.__file__} | vs baseline = current / baseline"
            + ("" if hasattr(baseline, "Store") else " | the baseline has no Store")
        )
    print(
        f"repeats: {repeats} (memory: {min(3, repeats)}), medians; ratio = derirezaro / peer, "
        "below 1.0 = derirezaro faster or smaller\n"
    )
    check(peers)
    raw = {
        "machine": platform.platform(),
        "cpu": cpu_name(),
        "cpus": os.cpu_count(),
        "python": sys.version,
        "versions": dists,
        "repeats": repeats,
    }
    if baseline is not None:
        raw["versions"] = {**dists, BASELINE: baseline.__version__}
        raw["files"] = {"derirezaro": derirezaro._core.__file__, BASELINE: baseline.__file__}
    gc.collect()
    gc.disable()
    try:
        section_ops(peers, repeats, target, raw)
        section_memory(peers, n_ns, 1000, min(3, repeats), raw, args.baseline)
        section_threads(peers, repeats, seconds, raw)
    finally:
        gc.enable()
    if args.json:
        write_json(args.json, raw)


if __name__ == "__main__":
    main()

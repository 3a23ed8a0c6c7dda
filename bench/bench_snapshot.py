"""Time derirezaro snapshots against copying the data in Python.

    PYTHONPATH=python python3 bench/bench_snapshot.py [--quick] [--repeats N] [--json PATH] [--baseline DIR]

The data is 1,000 namespaces of equal size holding {"i": i, "s": "xxxxxxxx"}
values, at 1,000, 100,000 and 1,000,000 entries (``--quick``: 1,000, 10,000,
100,000).  The peers are what a user without snapshots would do: ``copy.deepcopy``
of a dict of dicts of the values as Python objects, and a two-level copy
(``{ns: dict(keys) ...}``) of a dict of dicts of their msgpack bytes (made with
derirezaro.dumps, which writes the same bytes as msgpack).  Sections: snapshot()
per call; the first write after a snapshot against a plain write; restore();
diff of two snapshots 100 keys apart against comparing two dicts of dicts;
snapshot() beside a thread spinning in pure Python; RSS of kept and dropped
snapshots, each in a fresh interpreter.  Ratios are derirezaro / peer, so below
1.0 derirezaro is faster or smaller.  The collector is off while timing,
contestants take turns within each repeat, and each cell is the median over the
repeats.  Timed stores have max_history=0, so a dropped snapshot frees its
nodes.  ``--baseline DIR`` adds an installed older copy of the package
(``pip install --target DIR .``) as "derirezaro (baseline)"; a build without
snapshots shows n/a, and "vs baseline" is current / baseline.
"""

import argparse
import copy
import ctypes
import gc
import json
import os
import platform
import random
import statistics
import sys
import time
from itertools import cycle, islice

import derirezaro
from common import (
    BASELINE,
    argument_parser,
    busy_thread,
    cpu_name,
    fmt,
    fmt_ratio,
    interleave,
    load_baseline,
    measure,
    ratio_head,
    rss_bytes,
    run_child,
    table,
    write_json,
)

N_NS = 1000  # namespaces at every size; the keys per namespace grow with it
SIZES = (1_000, 100_000, 1_000_000)
QUICK_SIZES = (1_000, 10_000, 100_000)
ROUNDS = 1000  # snapshot+write rounds in the memory section
DIFF_SPLIT = (40, 30, 30)  # changed, added, removed keys between the two diffed snapshots


def value(i):
    return {"i": i, "s": "xxxxxxxx"}


def builds(baseline=None):
    """[(name, Store class or None)], derirezaro first; None for a build without snapshots."""
    out = [("derirezaro", derirezaro.Store)]
    if baseline is not None:
        cls = getattr(baseline, "Store", None)
        out.append((BASELINE, cls if hasattr(cls, "snapshot") else None))
    return out


def names(n):
    """The (namespace, key) names of an n-entry data set, namespace by namespace."""
    per_ns = max(1, n // N_NS)
    return [f"ns{j:04d}" for j in range(N_NS)], [f"key{i:04d}" for i in range(per_ns)]


class Fixture:
    """One data set in every form: Stores (one per build), objects, bytes."""

    def __init__(self, n, stores):
        nss, keys = names(n)
        self.n = len(nss) * len(keys)
        self.objects = {ns: {k: value(i) for i, k in enumerate(keys)} for ns in nss}
        self.packed = {ns: {k: derirezaro.dumps(v) for k, v in kv.items()} for ns, kv in self.objects.items()}
        self.stores = {}
        for name, cls in stores:
            if cls is not None:
                store = self.stores[name] = cls(max_history=0)
                s = store.set
                for ns, kv in self.objects.items():
                    for k, v in kv.items():
                        s(ns, k, v)


def check_fixture(fx):
    """Print a WARNING (never abort) where a store or a copy holds other data than fx."""
    pairs = sorted((ns, k) for ns, kv in fx.packed.items() for k in kv)
    size = sum(len(b) for kv in fx.packed.values() for b in kv.values())
    sample = random.Random(fx.n).sample(pairs, min(1000, len(pairs)))
    for name, store in fx.stores.items():
        snap = store.snapshot()
        if len(store) != fx.n or sorted(snap.keys) != pairs or snap.size_bytes != size:
            print(f"WARNING: {name} snapshot at {fx.n:,} entries has other keys, size or len")
        if any(store.get(ns, k) != fx.objects[ns][k] for ns, k in sample):
            print(f"WARNING: {name} at {fx.n:,} entries reads back wrong values")
        # the snapshot must survive a write and bring the old value back
        ns, k = pairs[0]
        store.set(ns, k, value(-1))
        after = store.snapshot()
        want = {"added": [], "removed": [], "changed": [(ns, k)]}
        if after.diff(snap) != want:
            print(f"WARNING: {name} diff after one write is {after.diff(snap)}, expected {want}")
        store.restore(snap)
        if store.get(ns, k) != fx.objects[ns][k] or len(store) != fx.n:
            print(f"WARNING: {name} restore at {fx.n:,} entries does not bring the old value back")
    if fx.n <= 100_000:  # a 1M-entry deep copy takes seconds and proves nothing more
        if copy.deepcopy(fx.objects) != fx.objects:
            print("WARNING: copy.deepcopy does not reproduce the data")
    if two_level_copy(fx.packed) != fx.packed:
        print("WARNING: the two-level dict copy does not reproduce the data")


def two_level_copy(data):
    return {ns: dict(kv) for ns, kv in data.items()}


def timed_calls(fn, hold):
    """run(loops) -> seconds for `loops` calls of fn(), not counting freeing the results.

    Results are kept in batches of at most `hold` and released between batches,
    outside the timer: freeing a big copy is a cost of its own, and a caller
    keeps a snapshot or copy for a while anyway.
    """

    def run(loops):
        total, done, kept = 0.0, 0, []
        while done < loops:
            batch = min(hold, loops - done)
            kept.clear()
            keep = kept.append
            t0 = time.perf_counter()
            for _ in range(batch):
                keep(fn())
            total += time.perf_counter() - t0
            done += batch
        kept.clear()
        return total

    return run


def growth_row(per_size, small, big, columns):
    """Last table row: each column's time at the biggest size over its time at the smallest."""
    cells = [f"{big // small:,}x entries: time ratio"]
    for i, n in enumerate(columns):
        a, b = per_size[small].get(n), per_size[big].get(n)
        cells += ["n/a" if a is None or b is None else fmt(b / a)] + ([""] if i else [])
    return cells


def section_snapshot(fixtures, build_names, repeats, target, raw):
    peers = [*build_names[1:], "deepcopy", "dict copy"]
    per_size, rows, notes = {}, [], []
    for fx in fixtures:
        # snapshots share every node with the store: holding many costs nothing
        jobs = [(n, timed_calls(s.snapshot, 1000)) for n, s in fx.stores.items()]
        hold = max(1, 200_000 // fx.n)  # copies are not free to hold: about 200,000 entries
        jobs.append(("deepcopy", timed_calls(lambda d=fx.objects: copy.deepcopy(d), hold)))
        jobs.append(("dict copy", timed_calls(lambda d=fx.packed: two_level_copy(d), hold)))
        med, samples, why = measure(jobs, repeats, target)
        notes += [f"{fx.n:,} entries, {w}" for w in why]
        per_size[fx.n] = med
        raw[f"snapshot {fx.n}"] = {n: {"median_us": med[n], "samples_us": samples[n]} for n in med}
        ours = med.get("derirezaro")
        cells = [f"{fx.n:,}", fmt(ours)]
        for p in peers:
            got = med.get(p)
            cells += [fmt(got), fmt_ratio(ours / got) if got else "n/a"]
        rows.append(cells)
    small, big = fixtures[0].n, fixtures[-1].n
    rows.append(growth_row(per_size, small, big, ["derirezaro", *peers]))
    table(
        "snapshot(): µs per call, against copying the data",
        ["entries", "derirezaro µs", *ratio_head(peers)],
        rows,
        notes
        + [
            f"The last row is the time at {big:,} entries over the time at {small:,} "
            "(target for snapshot(): at most 1.5). Freeing a copy is not timed."
        ],
    )


def section_first_write(fx, build_names, repeats, target, raw):
    """A set right after a snapshot (which must copy the path) against a plain set."""
    nss, keys = names(fx.n)
    spread = [(nss[j], keys[(j * 7919) % len(keys)]) for j in range(len(nss))]
    # two passes with other values, so every timed set changes what is stored
    work = [(ns, k, value(-1)) for ns, k in spread] + [(ns, k, value(-2)) for ns, k in spread]

    def after_snapshot(store):
        def run(loops):
            snap, s, total = store.snapshot, store.set, 0.0
            for ns, k, v in islice(cycle(work), loops):
                held = snap()  # alive over the set; the previous one is freed here, untimed
                t0 = time.perf_counter()
                s(ns, k, v)
                total += time.perf_counter() - t0
            del held
            return total

        return run

    def plain(store):
        def run(loops):
            s, total = store.set, 0.0
            for ns, k, v in islice(cycle(work), loops):
                t0 = time.perf_counter()
                s(ns, k, v)
                total += time.perf_counter() - t0
            return total

        return run

    jobs = []
    for name, store in fx.stores.items():
        jobs += [(f"{name}|snap", after_snapshot(store)), (f"{name}|plain", plain(store))]
    med, samples, _ = measure(jobs, repeats, target)
    raw["first write"] = {n: {"median_us": med[n], "samples_us": samples[n]} for n in med}
    for store in fx.stores.values():  # back to the fixture's values for the later sections
        for ns, k in spread:
            store.set(ns, k, fx.objects[ns][k])
    rows = []
    for name in build_names:
        if name not in fx.stores:
            rows.append([name, "n/a", "n/a", "n/a"])
            continue
        a, b = med[f"{name}|snap"], med[f"{name}|plain"]
        rows.append([name, fmt(a, 3), fmt(b, 3), fmt(a / b)])
    table(
        f"first write after a snapshot, {fx.n:,} entries: µs per set",
        ["build", "set after snapshot() µs", "plain set µs", "after / plain"],
        rows,
        [
            "Each set goes to another namespace and changes the stored value; the snapshot "
            "is alive during the set and freed afterwards, untimed. Both columns time each "
            "set alone, timer overhead included."
        ],
    )


def section_restore(fixtures, build_names, repeats, target, raw):
    rows, per_size = [], {}
    for fx in fixtures:
        nss, keys = names(fx.n)
        jobs, before = [], {}
        for name, store in fx.stores.items():
            a = before[name] = store.snapshot()
            for j in range(0, len(nss), 100):  # ten keys apart, so each restore changes the roots
                store.set(nss[j], keys[0], value(-1))
            b = store.snapshot()

            def run(loops, r=store.restore, pair=(a, b)):
                t0 = time.perf_counter()
                for snap in islice(cycle(pair), loops):
                    r(snap)
                return time.perf_counter() - t0

            jobs.append((name, run))
        med, samples, _ = measure(jobs, repeats, target)
        for name, a in before.items():  # back to the fixture's values
            fx.stores[name].restore(a)
        per_size[fx.n] = med
        raw[f"restore {fx.n}"] = {n: {"median_us": med[n], "samples_us": samples[n]} for n in med}
        cells = [f"{fx.n:,}", fmt(med["derirezaro"], 3)]
        for n in build_names[1:]:
            got = med.get(n)
            cells += [fmt(got, 3), fmt(med["derirezaro"] / got) if got else "n/a"]
        rows.append(cells)
    rows.append(growth_row(per_size, fixtures[0].n, fixtures[-1].n, build_names))
    table(
        "restore(): µs per call",
        ["entries", "derirezaro µs", *ratio_head(build_names[1:])],
        rows,
        ["Alternates between two live snapshots ten keys apart, so nothing is freed."],
    )


def dict_diff(new, old):
    """added/removed/changed (ns, key) pairs from old to new, the plain-Python way."""
    added, removed, changed = [], [], []
    for ns, kv in new.items():
        base = old.get(ns)
        if base is None:
            added += [(ns, k) for k in kv]
        elif kv != base:  # an unchanged namespace costs one C-level compare
            added += [(ns, k) for k in kv.keys() - base.keys()]
            removed += [(ns, k) for k in base.keys() - kv.keys()]
            changed += [(ns, k) for k in kv.keys() & base.keys() if kv[k] != base[k]]
    for ns in old.keys() - new.keys():
        removed += [(ns, k) for k in old[ns]]
    return {"added": added, "removed": removed, "changed": changed}


def edits(fx):
    """The DIFF_SPLIT changed / added / removed (ns, key) pairs, spread at random.

    A few of the added keys go to a namespace of their own, so a whole new
    namespace is part of the diff too.
    """
    rng = random.Random(20240611)
    n_changed, n_added, n_removed = DIFF_SPLIT
    existing = rng.sample([(ns, k) for ns, kv in fx.packed.items() for k in kv], n_changed + n_removed)
    fresh = [(ns, f"new{i:04d}") for i, ns in enumerate(rng.sample(sorted(fx.packed), n_added - 5))]
    fresh += [("ns-new", f"new{i:04d}") for i in range(5)]
    return existing[:n_changed], fresh, existing[n_changed:]


def section_diff(fx, build_names, repeats, target, raw):
    changed, added, removed = edits(fx)
    truth = {"added": sorted(added), "removed": sorted(removed), "changed": sorted(changed)}
    old, new = fx.packed, two_level_copy(fx.packed)
    for ns, k in changed:
        new[ns][k] = derirezaro.dumps(value(-1))
    for ns, k in added:
        new.setdefault(ns, {})[k] = derirezaro.dumps(value(-2))
    for ns, k in removed:
        del new[ns][k]
    jobs, pairs = [], {}
    for name, store in fx.stores.items():
        a = store.snapshot()
        for ns, k in changed:
            store.set(ns, k, value(-1))
        for ns, k in added:
            store.set(ns, k, value(-2))
        for ns, k in removed:
            store.delete(ns, k)
        b = pairs[name] = (store.snapshot(), a)
        jobs.append((name, timed_calls(lambda b=b: b[0].diff(b[1]), 1000)))
        store.restore(a)  # back to the fixture's values
    jobs.append(("dict compare", timed_calls(lambda: dict_diff(new, old), 1000)))
    results = {n: b[0].diff(b[1]) for n, b in pairs.items()}
    results["dict compare"] = dict_diff(new, old)
    for name, got in results.items():
        if {k: sorted(v) for k, v in got.items()} != truth:
            print(f"WARNING: {name} finds another diff than the {sum(DIFF_SPLIT)} edited keys")
    med, samples, _ = measure(jobs, repeats, target)
    raw["diff"] = {n: {"median_us": med[n], "samples_us": samples[n]} for n in med}
    cols = [*build_names[1:], "dict compare"]
    cells = [f"{fx.n:,}", fmt(med["derirezaro"])]
    for n in cols:
        got = med.get(n)
        cells += [fmt(got), fmt_ratio(med["derirezaro"] / got) if got else "n/a"]
    table(
        f"diff of two snapshots {sum(DIFF_SPLIT)} keys apart: µs per call",
        ["entries", "derirezaro µs", *ratio_head(cols)],
        [cells],
        [
            '{} changed, {} added (5 in a new namespace), {} removed keys. "dict compare" '
            "finds the same pairs between a dict of dicts of bytes and its two-level copy "
            "with the same edits, skipping namespaces that compare equal (target for "
            "diff: under 1,000 µs).".format(*DIFF_SPLIT)
        ],
    )


def rate(fn, seconds, busy):
    """fn() calls/s for `seconds`, alone or beside a thread spinning in Python."""
    with busy_thread(busy):
        done, t0 = 0, time.perf_counter()
        while (t := time.perf_counter()) < t0 + seconds:
            for _ in range(10):  # short batches bound the overshoot if calls stall
                fn()
            done += 10
    return done / (t - t0)


def section_busy(fx, build_names, repeats, seconds, raw):
    fns = {n: s.snapshot for n, s in fx.stores.items()}
    fns["dict copy"] = lambda d=fx.packed: two_level_copy(d)
    samples = interleave(
        [(f"{n}|{b}", lambda f=f, b=b: rate(f, seconds, b), repeats) for n, f in fns.items() for b in (0, 1)],
        repeats,
    )
    raw["busy"] = samples
    rows = []
    for n in [*build_names, "dict copy"]:
        if n not in fns:
            rows.append([n, "n/a", "n/a", "n/a"])
            continue
        a, b = (statistics.median(samples[f"{n}|{i}"]) for i in (0, 1))
        rows.append([n, f"{a:,.0f}", f"{b:,.0f}", f"{b / a:.2f}"])
    table(
        f"snapshot() beside a busy pure-Python thread, against alone, {fx.n:,} entries",
        ["contestant", "alone calls/s", "beside busy thread calls/s", "fraction"],
        rows,
        [
            "Under the GIL about 0.5 is the fair share (target for snapshot(): at least 0.4); "
            "far below it means the calls wait on the interpreter lock. Each snapshot or copy "
            "is freed right away, inside the timing."
        ],
    )


def malloc_trim():
    """Hand freed heap pages back to the system where libc can; False if it can't."""
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
        return True
    except (OSError, AttributeError):
        return False


def memory_child(kind, n, rounds, baseline=None):
    """Runs in a fresh interpreter: print RSS at each stage as JSON.

    kind is "<build>|<max_history>" for a store, or "dict copy" for one
    two-level copy of the same data as bytes.
    """
    gc.disable()
    nss, keys = names(n)
    if kind == "dict copy":
        start = rss_bytes()
        data = {ns: {k: derirezaro.dumps(value(i)) for i, k in enumerate(keys)} for ns in nss}
        gc.collect()
        alone = rss_bytes()
        dup = two_level_copy(data)
        gc.collect()
        print(json.dumps({"start": start, "alone": alone, "copy": rss_bytes(), "len": len(dup)}))
        return
    name, hist = kind.split("|")
    cls = dict(builds(baseline))[name]
    store = cls(max_history=None if hist == "None" else int(hist))
    store.set("warm", "up", value(0))  # first-use allocations out of the way
    store.snapshot()
    start = rss_bytes()
    s = store.set
    for ns in nss:
        for i, k in enumerate(keys):
            s(ns, k, value(i))
    gc.collect()
    alone = rss_bytes()

    def snapshot_rounds(first):
        snaps = []
        for r in range(first, first + rounds):
            snaps.append(store.snapshot())
            # another namespace each round; a pair never repeats within 1,000 rounds
            store.set(nss[r % len(nss)], keys[(r * 7919) % len(keys)], {"i": -r - 1, "s": "yyyyyyyy"})
        return snaps

    snaps = snapshot_rounds(0)
    gc.collect()
    kept = rss_bytes()
    changed = len(snaps[-1].diff(snaps[0])["changed"])
    snaps.clear()
    gc.collect()
    dropped = rss_bytes()
    trimmed = rss_bytes() if malloc_trim() else None
    # Freed nodes sit on pages beside the store's fresh path copies, so the
    # allocator may keep those pages; a second batch shows whether it reuses them.
    snapshot_rounds(rounds).clear()
    gc.collect()
    malloc_trim()
    again = rss_bytes()
    print(
        json.dumps(
            {
                "start": start,
                "alone": alone,
                "kept": kept,
                "dropped": dropped,
                "trimmed": trimmed,
                "again": again,
                "len": len(store) - 1,
                "changed": changed,
            }
        )
    )


def section_memory(stores, n, rounds, repeats, raw, baseline_dir=None):
    # the child loads the baseline itself, the same way, when it has snapshots to measure
    extra = ["--baseline", baseline_dir] if baseline_dir and all(cls for _, cls in stores) else []

    def child(kind):
        return run_child(__file__, ["--memory-child", kind, str(n), str(rounds), *extra], kind)

    kinds = [f"{b}|{h}" for b, cls in stores if cls for h in ("0", "None")] + ["dict copy"]
    samples = interleave([(k, lambda k=k: child(k), repeats) for k in kinds], repeats)
    raw["memory"] = {"entries": n, "rounds": rounds, "rss": samples}
    mib = 1 << 20

    def med(kind, field):
        vals = [s[field] for s in samples[kind] if s and s.get(field) is not None]
        return statistics.median(vals) if vals else None

    rows = []
    for kind in (f"{b}|{h}" for b, _ in stores for h in ("0", "None")):
        runs = [s for s in samples.get(kind, []) if s]
        if not runs:
            rows.append(kind.split("|") + ["n/a"] * 7)
            continue
        for s in runs:
            if s["len"] != n:
                print(f"WARNING: {kind} holds {s['len']} entries, expected {n}")
            if s["changed"] != rounds - 1:
                print(f"WARNING: {kind}: first and last snapshot differ in {s['changed']} keys")
        per_round = statistics.median((s["kept"] - s["alone"]) / rounds for s in runs)
        rows.append(
            kind.split("|")
            + [f"{med(kind, f) / mib:,.1f}" for f in ("start", "alone", "kept")]
            + [f"{per_round:,.0f}"]
            + [
                ("n/a" if med(kind, f) is None else f"{med(kind, f) / mib:,.1f}")
                for f in ("dropped", "trimmed", "again")
            ]
        )
    notes = [
        f"RSS in MiB of one interpreter: before filling, with the {n:,}-entry store alone, after "
        f"{rounds:,} rounds of (snapshot() kept alive + one set of an existing key to a new value), "
        "after dropping every snapshot object and gc.collect(), then after malloc_trim(0) as "
        f"well, and after {rounds:,} more rounds whose snapshots are dropped the same way "
        "(collect and trim). B per round = (after rounds - store alone) / rounds. With "
        "max_history=None the store's history still holds the snapshots after the Python "
        "objects are gone, so the last column grows by another batch; with max_history=0 "
        "it stays flat when the freed memory is reused, even where the allocator keeps the "
        f"pages. Median of {repeats} fresh interpreters."
    ]
    copies = [s for s in samples["dict copy"] if s]
    if copies:
        grow = statistics.median(s["copy"] - s["alone"] for s in copies)
        notes.append(
            f"For scale: one two-level copy of the same {n:,} entries as a dict of dicts of bytes "
            f"adds {grow / mib:,.1f} MiB ({grow / n:.1f} B per entry)."
        )
    table(
        f"memory: {rounds:,} kept snapshots, one write apart, of a {n:,}-entry store",
        [
            "build",
            "max_history",
            "before fill MiB",
            "store alone MiB",
            f"after {rounds:,} rounds MiB",
            "B per round",
            "after dropping MiB",
            "after malloc_trim MiB",
            f"{rounds:,} more, dropped MiB",
        ],
        rows,
        notes,
    )


def main(argv=None):
    ap = argument_parser(__doc__)
    ap.add_argument("--memory-child", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    baseline = load_baseline(args.baseline) if args.baseline else None
    if args.memory_child:
        kind, n, rounds = args.memory_child
        return memory_child(kind, int(n), int(rounds), baseline)
    if not hasattr(getattr(derirezaro, "Store", None), "snapshot"):
        print(f"derirezaro {derirezaro.__version__} has no Store.snapshot: nothing to measure.")
        return
    repeats = 3 if args.quick else max(1, args.repeats)
    target, seconds, sizes = (0.005, 0.03, QUICK_SIZES) if args.quick else (0.03, 0.2, SIZES)

    stores = builds(baseline)
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(
        f"machine: {platform.system()} {platform.release()} {platform.machine()}, "
        f"{cpu_name()}, {os.cpu_count()} CPUs | Python {platform.python_version()} "
        f"({platform.python_implementation()}, GIL {'on' if gil else 'off'}) | "
        f"derirezaro {derirezaro.__version__} | peers: copy.deepcopy, dict copies (built in)"
    )
    if baseline is not None:
        print(
            f"derirezaro {derirezaro.__version__} from {derirezaro._core.__file__} | "
            f"baseline {baseline.__version__} from {baseline.__file__} | vs baseline = current / baseline"
            + ("" if stores[1][1] else " | the baseline has no snapshots: n/a")
        )
    print(
        f"repeats: {repeats} (memory: {min(3, repeats)}), medians; ratio = derirezaro / peer, "
        "below 1.0 = derirezaro faster or smaller\n",
        flush=True,
    )
    raw = {
        "machine": platform.platform(),
        "cpu": cpu_name(),
        "cpus": os.cpu_count(),
        "python": sys.version,
        "versions": {"derirezaro": derirezaro.__version__},
        "repeats": repeats,
        "sizes": sizes,
    }
    if baseline is not None:
        raw["versions"][BASELINE] = baseline.__version__
        raw["files"] = {"derirezaro": derirezaro._core.__file__, BASELINE: baseline.__file__}
    build_names = [n for n, _ in stores]
    fixtures = [Fixture(n, stores) for n in sizes]
    for fx in fixtures:
        check_fixture(fx)
    gc.collect()
    gc.disable()
    try:
        section_snapshot(fixtures, build_names, repeats, target, raw)
        section_first_write(fixtures[-1], build_names, repeats, target, raw)
        section_restore(fixtures, build_names, repeats, target, raw)
        section_diff(fixtures[-1], build_names, repeats, target, raw)
        section_busy(fixtures[1], build_names, repeats, seconds, raw)
        del fixtures
        gc.collect()
        section_memory(stores, sizes[-1], ROUNDS, min(3, repeats), raw, args.baseline)
    finally:
        gc.enable()
    if args.json:
        write_json(args.json, raw)


if __name__ == "__main__":
    main()

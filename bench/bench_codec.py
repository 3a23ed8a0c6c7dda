"""Time derirezaro.dumps / derirezaro.loads against other MessagePack codecs.

Run from the repository root after building the extension:

    ninja -C build/dev && cp build/dev/_core.abi3.so python/derirezaro/
    PYTHONPATH=python python3 bench/bench_codec.py            # full run
    PYTHONPATH=python python3 bench/bench_codec.py --quick    # smoke run
    PYTHONPATH=python python3 bench/bench_codec.py --repeats 91 --json out.json
    PYTHONPATH=python python3 bench/bench_codec.py --baseline /tmp/before-pkg

Peers (each shown as "n/a" if not installed): msgpack (``packb``/``unpackb``;
"msgpack reused" packs with one long-lived ``Packer``, dumps only), ormsgpack,
msgspec (module functions; "msgspec reused" keeps one ``Encoder``/``Decoder``).
Every peer decodes the bytes it produced itself.  Before timing, each peer's
decoded value is checked against derirezaro's and derirezaro's bytes against
msgpack's; a mismatch prints a WARNING line but the run goes on.

Reading the tables: each cell is the median time of one call in microseconds.
The "ratio" column after a peer is derirezaro's time divided by that peer's,
taken within each repeat and the median of those shown: below 1.0 derirezaro is
faster (0.5 = twice as fast), above 1.0 it is slower.

Method: the garbage collector is off while timing; for every (payload, op,
peer) a loop count is picked so one repeat takes roughly 10 ms (45 repeats by default); the peers
are interleaved round-robin within each repeat so machine noise hits them
alike; the median over all repeats is reported.

Before / after: ``--baseline DIR`` names an installed copy of the package
(``pip install --target DIR .`` at an older commit).  Its extension is loaded
beside the current one and timed as one more contestant, "derirezaro
(baseline)", whose ratio column is headed "vs baseline" (current / baseline:
below 1.0 the current build is faster).
"""

import gc
import itertools
import os
import platform
import random
import statistics
import sys
import time
from functools import partial

import derirezaro
import instructions
from common import BASELINE, argument_parser, cpu_name, load_baseline, write_json


def load_peers(baseline=None):
    """Return [(column name, version, dumps, loads, ops)], derirezaro first.

    version/dumps/loads are None when the peer isn't installed; ops names the
    tables the column appears in (a reused Packer only changes dumps).  A
    baseline module, if given, comes second.
    """
    both, dumps_only = ("dumps", "loads"), ("dumps",)
    peers = [("derirezaro", derirezaro.__version__, derirezaro.dumps, derirezaro.loads, both)]
    if baseline is not None:
        peers.append((BASELINE, baseline.__version__, baseline.dumps, baseline.loads, both))
    try:
        import msgpack

        ver = ".".join(map(str, msgpack.version))
        # partial rather than a lambda: no extra Python frame in the timed call
        unpack = partial(msgpack.unpackb, raw=False, strict_map_key=False)
        peers.append(("msgpack", ver, partial(msgpack.packb, use_bin_type=True), unpack, both))
        packer = msgpack.Packer(use_bin_type=True)
        peers.append(("msgpack reused", ver, packer.pack, unpack, dumps_only))
    except ImportError:
        peers += [("msgpack", None, None, None, both), ("msgpack reused", None, None, None, dumps_only)]
    try:
        import ormsgpack

        peers.append(("ormsgpack", ormsgpack.__version__, ormsgpack.packb, ormsgpack.unpackb, both))
    except ImportError:
        peers.append(("ormsgpack", None, None, None, both))
    try:
        import msgspec

        ver = msgspec.__version__
        peers.append(("msgspec", ver, msgspec.msgpack.encode, msgspec.msgpack.decode, both))
        peers.append(
            ("msgspec reused", ver, msgspec.msgpack.Encoder().encode, msgspec.msgpack.Decoder().decode, both)
        )
    except ImportError:
        peers += [("msgspec", None, None, None, both), ("msgspec reused", None, None, None, both)]
    return peers


def make_payloads():
    rng = random.Random(20240611)
    agent_state = {
        "agent_id": "planner-7",
        "step": 42,
        "temperature": 0.7,
        "done": False,
        "last_error": None,
        "tools": ["search", "calculator", "browser"],
        "budget": {"tokens": 8192, "used": 3071, "cost_usd": 0.0415},
        "goal": "summarise the quarterly report",
        "retries": -2,
        "elapsed_s": 12.625,
    }
    words = [
        "the",
        "agent",
        "tool",
        "result",
        "plan",
        "step",
        "query",
        "answer",
        "search",
        "context",
        "memory",
        "value",
        "user",
        "please",
        "graph",
        "node",
        "state",
    ]

    def sentence(n):
        return " ".join(rng.choice(words) for _ in range(n // 3))[:n]

    chat = [
        {
            "role": "system" if i == 0 else rng.choice(["user", "assistant", "tool"]),
            "content": sentence(200),
            "meta": {
                "tokens": rng.randrange(5, 400),
                "ts": 1.7e9 + i * 3.5 + rng.random(),
                "tool": rng.choice([None, None, "search", "calculator"]),
            },
        }
        for i in range(50)
    ]
    # Every third item a double; the ints are drawn so every integer width
    # (fixint, 8/16/32/64-bit, both signs) shows up.
    bounds = [127, 255, 65535, 2**32 - 1, 2**64 - 1, -32, -128, -32768, -(2**31), -(2**63)]
    numbers = [
        rng.uniform(-1e6, 1e6) if i % 3 == 2 else rng.randint(min(0, b), max(0, b))
        for i, b in ((i, rng.choice(bounds)) for i in range(10_000))
    ]
    embedding = [rng.gauss(0.0, 0.05) for _ in range(1536)]  # one vector of a common embedding width
    str_map = {f"key{i:04d}": f"val-{rng.randrange(10**6):06d}" for i in range(1000)}
    blob = rng.randbytes(1 << 20)
    return [
        ("agent state (10 keys)", agent_state),
        ("chat, 50 messages", chat),
        ("10k ints + floats", numbers),
        ("1,536-float embedding", embedding),
        ("1k str->str dict", str_map),
        ("1 MiB bytes", blob),
    ]


def normalise(obj):
    if isinstance(obj, (list, tuple)):
        return [normalise(v) for v in obj]
    if isinstance(obj, dict):
        return {k: normalise(v) for k, v in obj.items()}
    return obj


def check(payloads, peers):
    """Warn (never abort) where a peer disagrees with derirezaro.

    Returns the (peer, payload) pairs that raised; those cells read "err".
    """
    failed = set()
    packb = next((p[2] for p in peers if p[0] == "msgpack"), None)
    for pname, obj in payloads:
        ours = derirezaro.dumps(obj)
        expected = normalise(derirezaro.loads(ours))
        if expected != normalise(obj):
            print(f"WARNING: derirezaro round trip changes the value of {pname!r}")
        if packb is not None and ours != packb(obj):
            print(f"WARNING: derirezaro bytes differ from msgpack's for {pname!r}")
        for name, _, dumps, loads, _ in peers[1:]:
            if dumps is None:
                continue
            try:
                packed = dumps(obj)
                got = normalise(loads(packed))
            except Exception as exc:  # a peer that can't handle a payload
                print(f"WARNING: {name} failed on {pname!r}: {exc!r}")
                failed.add((name, pname))
                continue
            if got != expected:
                print(f"WARNING: {name} decodes {pname!r} differently from derirezaro")
            # Other bytes would mean the two dumps columns time different work.
            if name == BASELINE and packed != ours:
                print(f"WARNING: derirezaro bytes differ from the baseline's for {pname!r}")
    return failed


def run(fn, arg, loops):
    it = itertools.repeat(None, loops)
    t0 = time.perf_counter()
    for _ in it:
        fn(arg)
    return time.perf_counter() - t0


def calibrate(fn, arg, target):
    """Loop count for one repeat of about `target` seconds."""
    fn(arg)  # the first call pays for cold caches and fresh memory
    loops = 1
    while (t := run(fn, arg, loops)) < target / 5:
        loops *= 10 if t < target / 500 else 2
    # A second run at about the final size; the faster of the two estimates
    # wins, so one disturbed run can't shrink the loop count.
    per_call = t / loops
    n = max(1, round(target / per_call))
    per_call = min(per_call, run(fn, arg, n) / n)
    return max(1, round(target / per_call))


def measure(jobs, repeats, target):
    """jobs: [(name, fn, arg)] -> {name: (per-call samples in us, loops)}."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        loops = {name: calibrate(fn, arg, target) for name, fn, arg in jobs}
        samples = {name: [] for name, _, _ in jobs}
        for r in range(repeats):
            # rotate the starting peer so none is always first after a switch
            order = jobs[r % len(jobs) :] + jobs[: r % len(jobs)]
            for name, fn, arg in order:
                samples[name].append(run(fn, arg, loops[name]) / loops[name] * 1e6)
    finally:
        if enabled:
            gc.enable()
    return {name: (samples[name], loops[name]) for name, _, _ in jobs}


def jobs_for(op, payloads, peers, failed=frozenset()):
    """[(payload name, [(peer name, fn, argument)])] for one direction."""
    table = []
    for pname, obj in payloads:
        jobs = []
        for name, _, dumps, loads, ops in peers:
            if dumps is None or op not in ops or (name, pname) in failed:
                continue
            jobs.append((name, dumps if op == "dumps" else loads, obj if op == "dumps" else dumps(obj)))
        table.append((pname, jobs))
    return table


def count_child(argv, out_path):
    """Under callgrind: every (direction, payload, peer) call in a counted window."""
    args = argument_parser(__doc__).parse_args(argv)
    peers = load_peers(load_baseline(args.baseline) if args.baseline else None)
    payloads = make_payloads()
    jobs = [
        (f"{op}|{pname}|{name}", fn, arg)
        for op in ("dumps", "loads")
        for pname, row in jobs_for(op, payloads, peers)
        for name, fn, arg in row
    ]
    instructions.count_windows(jobs, out_path)


def instruction_table(argv, payloads, peers, failed):
    """Print instructions per call beside each peer's; {op: {payload: {peer: count}}}."""
    counts = instructions.count(__file__, argv)
    found = {}
    for op in ("dumps", "loads"):
        cols = [p[0] for p in peers[1:] if op in p[4]]
        print(
            f"### {op}: instructions per call (callgrind)\n\n| payload | derirezaro |"
            + "".join(f" {n} |" for n in cols)
            + " ratio to the fewest |\n|---|---:|"
            + "---:|" * (len(cols) + 1)
        )
        found[op] = {}
        for pname, _ in payloads:
            row = {
                n: counts[f"{op}|{pname}|{n}"] for n in ["derirezaro", *cols] if f"{op}|{pname}|{n}" in counts
            }
            found[op][pname] = row
            peers_only = [v for n, v in row.items() if n not in ("derirezaro", BASELINE)]
            ratio = f"{row['derirezaro'] / min(peers_only):.2f}" if peers_only else "n/a"
            cells = [pname, f"{row['derirezaro']:,}"] + [
                f"{row[n]:,}" if n in row else ("err" if (n, pname) in failed else "n/a") for n in cols
            ]
            print("| " + " | ".join(cells) + f" | {ratio} |", flush=True)
        print()
    return found


def paired_ratio(ours, theirs):
    """The median, over repeats, of our time over theirs in the same repeat.

    A repeat runs every contestant once, back to back: what slows the machine
    for a while slows both sides of one ratio, where the ratio of two medians
    lets a slow spell on one side move it.
    """
    return statistics.median(a / b for a, b in zip(ours, theirs, strict=True))


def fmt_us(v):
    return f"{v:.2f}" if v < 10 else f"{v:.1f}" if v < 100 else f"{v:,.0f}"


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if instructions.CHILD_FLAG in argv:
        at = argv.index(instructions.CHILD_FLAG)
        return count_child(argv[:at], argv[at + 1])
    ap = argument_parser(__doc__)
    ap.add_argument("--no-instructions", action="store_true", help="skip the callgrind counts")
    ap.add_argument("--instructions-only", action="store_true", help="the callgrind counts, no timing")
    # Many short repeats: more pairs for the paired ratios, each less exposed to one slow spell.
    ap.set_defaults(repeats=45)
    args = ap.parse_args(argv)
    repeats, target = (3, 0.005) if args.quick else (max(1, args.repeats), 0.01)

    baseline = load_baseline(args.baseline) if args.baseline else None
    peers = load_peers(baseline)
    payloads = make_payloads()
    versions = ", ".join(f"{n} {v or 'n/a'}" for n, v, *_ in peers if " " not in n)
    print(
        f"machine: {platform.system()} {platform.release()} {platform.machine()}, "
        f"{cpu_name()}, {os.cpu_count()} CPUs | Python {platform.python_version()} "
        f"({platform.python_implementation()}) | {versions}"
    )
    if baseline is not None:
        print(
            f"derirezaro {derirezaro.__version__} from {derirezaro._core.__file__} | "
            f"baseline {baseline.__version__} from {baseline.__file__} | vs baseline = current / baseline"
        )
    print(f"repeats: {repeats}, ~{target * 1e3:.0f} ms per repeat, median per call in µs\n")
    failed = check(payloads, peers)

    raw = {
        "machine": platform.platform(),
        "cpu": cpu_name(),
        "cpus": os.cpu_count(),
        "python": sys.version,
        "versions": {n: v for n, v, *_ in peers},
        "repeats": repeats,
        "results": {},
    }
    if not args.no_instructions and not args.quick:
        if instructions.available():
            raw["instructions"] = instruction_table(
                ["--baseline", args.baseline] if args.baseline else [], payloads, peers, failed
            )
        else:
            print("(valgrind not installed: no instruction counts)\n")
    if args.instructions_only:
        return
    if baseline is not None:
        raw["files"] = {"derirezaro": derirezaro._core.__file__, BASELINE: baseline.__file__}
    for op in ("dumps", "loads"):
        cols = [p for p in peers[1:] if op in p[4]]
        head = "| payload | derirezaro µs |" + "".join(
            f" {n} µs | {'vs baseline' if n == BASELINE else 'ratio'} |" for n, *_ in cols
        )
        print(f"### {op}\n\n{head}\n|---|---:|" + "---:|---:|" * len(cols))
        raw["results"][op] = {}
        for pname, obj in payloads:
            jobs = []
            for name, _, dumps, loads, _ in [peers[0]] + cols:
                if dumps is None or (name, pname) in failed:
                    continue
                fn = dumps if op == "dumps" else loads
                jobs.append((name, fn, obj if op == "dumps" else dumps(obj)))
            res = measure(jobs, repeats, target)
            med = {n: statistics.median(s) for n, (s, _) in res.items()}
            raw["results"][op][pname] = {
                n: {"median_us": med[n], "loops": lp, "samples_us": s} for n, (s, lp) in res.items()
            }
            ours = med["derirezaro"]
            cells = [pname, fmt_us(ours)]
            for name, *_ in cols:
                if name in med:
                    ratio = paired_ratio(res["derirezaro"][0], res[name][0])
                    raw["results"][op][pname][name]["ratio"] = ratio
                    cells += [fmt_us(med[name]), f"{ratio:.2f}"]
                else:
                    cells += ["err" if (name, pname) in failed else "n/a"] * 2
            print("| " + " | ".join(cells) + " |", flush=True)
        print()
    if args.json:
        write_json(args.json, raw)


if __name__ == "__main__":
    main()

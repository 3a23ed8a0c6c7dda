"""Time derirezaro.HandoffGraph against routing in Python.

    PYTHONPATH=python python3 bench/bench_graph.py [--quick] [--repeats N] [--json PATH] [--baseline DIR]

route() picks the first of five guarded edges out of one node whose condition
holds, the matching edge last, on three states: a 10-key agent state, the same
with a 50-message transcript, and the same padded to 1,000 keys.  The peers do
the same five tests in the same order: a pure-Python router of (target, lambda)
pairs, and simpleeval evaluating the same five condition texts against the state
as its names (each text parsed once, at add_edge, and the tree handed to
eval).  Sections: route per call on each state; how route's cost grows with the
state; add_edge along a 10,000-node chain with cycle checks, built front to back
and back to front, beside a dict-of-lists graph doing the same check in Python;
is_dag() on 10,000 edges; route beside a thread spinning in pure Python.  Ratios
are derirezaro / peer, so below 1.0 derirezaro is faster.  The collector is off
while timing, contestants take turns within each repeat, and each cell is the
median over the repeats.  ``--baseline DIR`` adds an installed older copy of the
package (``pip install --target DIR .``) as "derirezaro (baseline)"; a build
without HandoffGraph shows n/a, and "vs baseline" is current / baseline.
"""

import gc
import os
import platform
import random
import statistics
import sys
import time
from itertools import repeat

import derirezaro
from common import (
    BASELINE,
    argument_parser,
    busy_thread,
    cpu_name,
    dist_version,
    fmt,
    fmt_ratio,
    interleave,
    load_baseline,
    measure,
    ratio_head,
    table,
    write_json,
)

try:
    import simpleeval
except ImportError:
    simpleeval = None

LAMBDAS = "lambdas"
SIMPLEEVAL = "simpleeval"
NODE = "triage"
CHAIN = 10_000  # nodes in the add_edge chain
QUICK_BACK_CHAIN = 1_000  # the back-to-front chain in --quick: its cost grows with the square
DAG_EDGES = 10_000  # edges in the is_dag graph: a chain and as many forward edges again

# Five guards out of NODE, in insertion order.  The texts read the same in both
# condition languages; the lambdas do the same tests by hand.  The states below
# make only the last one hold.
GUARDS = [
    ("gold-desk", "tier == 'gold'", lambda s: s["tier"] == "gold"),
    ("bulk-desk", "count > 10", lambda s: s["count"] > 10),
    ("admin-desk", "user.role == 'admin'", lambda s: s["user"]["role"] == "admin"),
    ("urgent-desk", "'urgent' in tags", lambda s: "urgent" in s["tags"]),
    (
        "pro-desk",
        "user.plan == 'pro' and (count <= 10 or priority != 'low')",
        lambda s: s["user"]["plan"] == "pro" and (s["count"] <= 10 or s["priority"] != "low"),
    ),
]


def states():
    """[(label, state)]: 10 keys, + a 50-message transcript, padded to 1,000 keys."""
    rng = random.Random(20240612)
    base = {
        "tier": "silver",
        "count": 3,
        "user": {"id": "u-1842", "role": "member", "plan": "pro"},
        "tags": ["billing", "follow-up"],
        "priority": "high",
        "agent_id": "planner-7",
        "step": 42,
        "temperature": 0.7,
        "done": False,
        "last_error": None,
    }
    words = "the agent routes a handoff to the next node when the state says so".split()
    messages = [
        {
            "role": "system" if i == 0 else rng.choice(["user", "assistant", "tool"]),
            "content": " ".join(rng.choice(words) for _ in range(70))[:200],
            "meta": {"tokens": rng.randrange(5, 400), "ts": 1.7e9 + i * 3.5 + rng.random()},
        }
        for i in range(50)
    ]
    fillers = [
        lambda i: i * 7919,
        lambda i: f"value-{i:04d}",
        lambda i: i / 8,
        lambda i: [i, i + 1, "x"],
        lambda i: {"n": i, "ok": i % 2 == 0},
    ]
    padded = dict(base, **{f"k{i:03d}": fillers[i % 5](i) for i in range(1000 - len(base))})
    return [
        ("10 keys", base),
        ("50-message transcript", dict(base, messages=messages)),
        ("1,000 keys", padded),
    ]


def variants(base):
    """[(state, expected target)]: each guard in turn the first to hold, then none."""
    out = [
        (dict(base, tier="gold"), "gold-desk"),
        (dict(base, count=11), "bulk-desk"),
        (dict(base, user=dict(base["user"], role="admin")), "admin-desk"),
        (dict(base, tags=[*base["tags"], "urgent"]), "urgent-desk"),
        (dict(base, count=11, priority="low"), "bulk-desk"),  # count > 10 comes first
        (dict(base), "pro-desk"),
        (dict(base, user=dict(base["user"], plan="free")), None),
        (dict(base, user=dict(base["user"], plan="pro"), count=12, priority="low", tier="x"), "bulk-desk"),
    ]
    return out


class LambdaRouter:
    """(target, predicate) pairs per node, the first predicate that holds wins."""

    def __init__(self):
        self._edges = {}

    def add_edge(self, from_node, to, pred):
        self._edges.setdefault(from_node, []).append((to, pred))

    def route(self, node, state):
        for target, pred in self._edges.get(node, ()):
            if pred(state):
                return target
        return None


class SimpleEvalRouter:
    """The same condition texts, parsed once by simpleeval and evaluated with the state as names."""

    def __init__(self):
        self._edges = {}
        self._eval = simpleeval.SimpleEval()

    def add_edge(self, from_node, to, when):
        self._edges.setdefault(from_node, []).append((to, when, self._eval.parse(when)))

    def route(self, node, state):
        ev = self._eval
        ev.names = state
        for target, when, tree in self._edges.get(node, ()):
            if ev.eval(when, tree):
                return target
        return None


def builds(baseline=None):
    """[(name, HandoffGraph class or None)], derirezaro first; None for a build without it."""
    out = [("derirezaro", derirezaro.HandoffGraph)]
    if baseline is not None:
        out.append((BASELINE, getattr(baseline, "HandoffGraph", None)))
    return out


def routers(graphs):
    """[(name, router object or None)] for the route sections, the builds first."""
    out = []
    for name, cls in graphs:
        g = None
        if cls is not None:
            g = cls()
            for target, when, _ in GUARDS:
                g.add_edge(NODE, target, when=when)
        out.append((name, g))
    lam = LambdaRouter()
    for target, _, pred in GUARDS:
        lam.add_edge(NODE, target, pred)
    out.append((LAMBDAS, lam))
    sev = None
    if simpleeval is not None:
        sev = SimpleEvalRouter()
        for target, when, _ in GUARDS:
            sev.add_edge(NODE, target, when)
    out.append((SIMPLEEVAL, sev))
    return out


def check_route(peers, labelled):
    """Print a WARNING (never abort) where a router picks another target than expected."""
    cases = [(label, state, "pro-desk") for label, state in labelled]
    cases += [(f"variant {i}", s, want) for i, (s, want) in enumerate(variants(labelled[0][1]))]
    for name, r in peers:
        if r is None:
            continue
        for label, state, want in cases:
            try:
                got = r.route(NODE, state)
            except Exception as e:  # reported, the run goes on
                got = f"{type(e).__name__}: {e}"
            if got != want:
                print(f"WARNING: {name} routes the {label} state to {got!r}, expected {want!r}")
        try:
            got = r.route("nowhere", labelled[0][1])
        except Exception as e:
            got = f"{type(e).__name__}: {e}"
        if got is not None:
            print(f"WARNING: {name} routes from a node without edges to {got!r}, expected None")


def call_loop(fn, *args):
    """run(loops) -> seconds for `loops` calls of fn(*args)."""

    def run(loops):
        t0 = time.perf_counter()
        for _ in repeat(None, loops):
            fn(*args)
        return time.perf_counter() - t0

    return run


def ratio_cells(med, ours, peers):
    cells = []
    for p in peers:
        got = med.get(p)
        cells += [fmt(got, 3), fmt_ratio(med[ours] / got) if got and ours in med else "n/a"]
    return cells


def section_route(peers, labelled, repeats, target, raw):
    names_ = [n for n, _ in peers]
    rows, growth = [], []
    for label, state in labelled:
        jobs = [(n, call_loop(r.route, NODE, state)) for n, r in peers if r is not None]
        jobs.append(("dumps", call_loop(derirezaro.dumps, state)))
        med, samples, notes = measure(jobs, repeats, target)
        raw[f"route {label}"] = {n: {"median_us": med[n], "samples_us": samples[n]} for n in med}
        cells = ratio_cells(med, "derirezaro", [*names_[1:], "dumps"])
        rows.append([label, fmt(med["derirezaro"], 3), *cells])
        growth.append((label, state, med))
    table(
        "route(): µs per call, five guarded edges, the last one matching",
        ["state", "derirezaro µs", *ratio_head([*names_[1:], "dumps"])],
        rows,
        [
            "Every contestant runs the same five tests in the same order and returns the "
            "last edge's target. lambdas: a pure-Python router of (target, lambda) pairs; "
            "simpleeval: SimpleEval with the state as its names, each condition text parsed "
            "once (SimpleEval.parse) and the tree passed to eval on every call; dumps: "
            "derirezaro.dumps of the same state, which walks the same objects as route's "
            "check and also writes them. Targets: ratio against lambdas at most 2.0 on the "
            "10-key state; against dumps at most 0.6 on the transcript and 1,000-key states."
        ],
    )
    first = growth[0][2]["derirezaro"]
    rows = []
    for label, state, med in growth:
        ours = med["derirezaro"]
        rows.append(
            [
                label,
                f"{len(state):,}",
                f"{len(derirezaro.dumps(state)):,}",
                fmt(ours, 3),
                fmt(ours / first),
                fmt(med["dumps"], 3),
                fmt(med.get(LAMBDAS), 3),
                fmt(med.get(SIMPLEEVAL), 3),
            ]
        )
    table(
        "route(): cost against the size of the state",
        [
            "state",
            "top-level keys",
            "dumps bytes",
            "derirezaro route µs",
            "vs 10 keys",
            "dumps(state) µs",
            "lambdas µs",
            "simpleeval µs",
        ],
        rows,
        [
            "route walks the whole state once, to refuse exactly what dumps refuses, and "
            "builds only what the guards read, so its cost still follows the size of the "
            "state; the Python routers only look up the keys they test. derirezaro.dumps of "
            "the same state is shown for scale."
        ],
    )


def chain_names(n):
    return [f"n{i:05d}" for i in range(n)]


class PyGraph:
    """Adjacency lists in a dict, refusing an edge that closes a cycle as HandoffGraph does."""

    def __init__(self, on_cycle="error"):
        self._out = {}
        self._check = on_cycle == "error"

    def add_node(self, name):
        self._out.setdefault(name, [])

    def add_edge(self, from_node, to, when=None):
        out = self._out
        if self._check and (from_node == to or self._reaches(to, from_node)):
            raise ValueError(f"edge {from_node!r} -> {to!r} would create a cycle")
        out.setdefault(from_node, []).append((to, when))
        out.setdefault(to, [])

    def _reaches(self, start, goal):
        out, seen, todo = self._out, {start}, [start]
        while todo:
            for nxt, _ in out.get(todo.pop(), ()):
                if nxt == goal:
                    return True
                if nxt not in seen:
                    seen.add(nxt)
                    todo.append(nxt)
        return False

    def is_dag(self):
        """Kahn's algorithm: acyclic if every node comes off the queue."""
        out = self._out
        indeg = dict.fromkeys(out, 0)
        for edges in out.values():
            for to, _ in edges:
                indeg[to] += 1
        ready = [n for n, d in indeg.items() if d == 0]
        seen = 0
        while ready:
            seen += 1
            for to, _ in out[ready.pop()]:
                indeg[to] -= 1
                if indeg[to] == 0:
                    ready.append(to)
        return seen == len(out)

    def __len__(self):
        return len(self._out)


def chain_pairs(n, backwards):
    names_ = chain_names(n)
    pairs = list(zip(names_[:-1], names_[1:], strict=True))
    return pairs[::-1] if backwards else pairs


def build_chain(cls, pairs, nodes_first):
    """run(loops) -> seconds for `loops` fresh chains; freeing a graph is not timed.

    With `nodes_first`, every node is registered beforehand (untimed): an edge
    out of a new node cannot close a cycle, so a search would find nothing to do.
    """

    def run(loops):
        total = 0.0
        for _ in range(loops):
            g = cls(on_cycle="error")
            for name in {name for pair in pairs for name in pair} if nodes_first else ():
                g.add_node(name)
            add = g.add_edge
            t0 = time.perf_counter()
            for a, b in pairs:
                add(a, b)
            total += time.perf_counter() - t0
            del g, add
        return total

    return run


def check_chain(contestants, front_n, back_n):
    """Print a WARNING where a chain has the wrong size, is not a DAG or may be closed."""
    for name, cls in contestants:
        for backwards, n in ((False, front_n), (True, back_n)):
            g = cls(on_cycle="error")
            for a, b in chain_pairs(n, backwards):
                g.add_edge(a, b)
            first, last = chain_names(n)[0], chain_names(n)[-1]
            try:
                g.add_edge(last, first)
                refused = False
            except ValueError:
                refused = True
            if len(g) != n or not refused or not g.is_dag():
                print(
                    f"WARNING: {name}'s {n:,}-node chain has {len(g):,} nodes, "
                    f"closing it {'is' if refused else 'is not'} refused, is_dag() is {g.is_dag()}"
                )


def section_add_edge(contestants, build_names, repeats, target, raw, back_n):
    n = CHAIN
    check_chain(contestants, n, min(back_n, 1000))  # the check proves nothing more on a longer one
    rows, notes = [], []
    for backwards in (False, True):
        pairs = chain_pairs(back_n if backwards else n, backwards)
        order = f"back to front, {len(pairs) + 1:,} nodes" if backwards else f"front to back, {n:,} nodes"
        jobs = [(name, build_chain(cls, pairs, backwards)) for name, cls in contestants]
        med, samples, why = measure(jobs, repeats, target)
        notes += [f"{order}, {w}" for w in why]
        raw[f"add_edge chain {order}"] = {
            k: {"median_us_per_chain": med[k], "samples_us": samples[k]} for k in med
        }
        for name in [*build_names, "Python dict of lists"]:
            got = med.get(name)
            ours = med.get("derirezaro")
            rows.append(
                [
                    order,
                    name,
                    fmt(None if got is None else got / 1000),
                    fmt(None if got is None else got / len(pairs), 3),
                    "" if name == "derirezaro" else fmt_ratio(ours / got) if got and ours else "n/a",
                ]
            )
    table(
        "add_edge along a chain, on_cycle='error': the whole chain built into an empty graph",
        ["order", "contestant", "total ms", "µs per edge", "ratio"],
        rows,
        notes
        + [
            "Edges n(i) -> n(i+1), one fewer than the nodes; each add searches from the "
            "new edge's target for its source. Front to back that search finds nothing to "
            "follow; back to front, with every node registered beforehand (untimed), it walks "
            "the whole chain built so far. ratio is derirezaro "
            "over the contestant (vs baseline for the baseline build); the Python contestant "
            "does the same search over a dict of lists. Freeing a graph is not timed."
        ],
    )


WIDE = 10_000  # distinct read keys out of one node in the wide sections


def wide_graph(cls, n):
    g = cls()
    for i in range(n):
        g.add_edge("hub", f"t{i}", when=f"k{i:05d} == -1")
    return g


def section_wide(graphs, repeats, target, raw):
    """One node with WIDE guards each reading a key of its own: building it, and routing."""
    n = WIDE
    builds_ = [(name, cls) for name, cls in graphs if cls is not None]
    lam = LambdaRouter()
    for i in range(n):
        lam.add_edge("hub", f"t{i}", lambda s, k=f"k{i:05d}": s.get(k) == -1)

    def build(cls):
        def run(loops):
            t0 = time.perf_counter()
            for _ in range(loops):
                wide_graph(cls, n)
            return time.perf_counter() - t0

        return run

    med, samples, notes = measure([(name, build(cls)) for name, cls in builds_], repeats, target)
    raw[f"add_edge {n} distinct keys"] = {k: {"median_us": med[k], "samples_us": samples[k]} for k in med}
    rows = [[name, fmt(med.get(name, 0) / 1000 if name in med else None)] for name, _ in builds_]
    table(
        f"add_edge: {n:,} edges out of one node, each guard reading a key of its own",
        ["contestant", "total ms"],
        rows,
        [*notes, "The whole graph built from empty; freeing it is inside the time."],
    )

    states_ = [
        ("every read key present", {f"k{i:05d}": i for i in range(n)}),
        ("no read key present", {f"z{i:05d}": i for i in range(n)}),
    ]
    built = [(name, wide_graph(cls, n)) for name, cls in builds_]
    rows = []
    for label, state in states_:
        jobs = [(name, call_loop(g.route, "hub", state)) for name, g in built]
        jobs += [(LAMBDAS, call_loop(lam.route, "hub", state)), ("dumps", call_loop(derirezaro.dumps, state))]
        med, samples, why = measure(jobs, repeats, target)
        notes += why
        raw[f"route wide {label}"] = {k: {"median_us": med[k], "samples_us": samples[k]} for k in med}
        names_ = [name for name, _ in built[1:]] + [LAMBDAS, "dumps"]
        rows.append([label, fmt(med.get("derirezaro"), 3), *ratio_cells(med, "derirezaro", names_)])
    table(
        f"route(): {n:,} guards out of one node, none holding, over a state of {n:,} keys",
        ["state", "derirezaro µs", *ratio_head(names_)],
        rows,
        [
            "Every guard is evaluated. With every read key present, each guard finds its "
            "key among all of them; with none, only the walk over the state's keys remains. "
            "lambdas: dict lookups in Python."
        ],
    )


def dag_edges(n_edges):
    """A chain of n_edges / 2 edges and as many forward edges i -> j, i < j, no duplicates."""
    half = n_edges // 2
    names_ = chain_names(half + 1)
    edges = list(zip(names_[:-1], names_[1:], strict=True))
    have = set(edges)
    rng = random.Random(7)
    while len(edges) < n_edges:
        i = rng.randrange(half - 1)
        j = rng.randrange(i + 2, half + 1)
        if (names_[i], names_[j]) not in have:
            have.add((names_[i], names_[j]))
            edges.append((names_[i], names_[j]))
    return names_, edges


def section_is_dag(contestants, build_names, repeats, target, raw):
    names_, edges = dag_edges(DAG_EDGES)
    graphs = {}
    for cyclic in (False, True):
        for name, cls in contestants:
            g = cls(on_cycle="allow")
            for a, b in edges:
                g.add_edge(a, b)
            if cyclic:
                g.add_edge(names_[-1], names_[0])
            if g.is_dag() == cyclic:
                kind = "cyclic" if cyclic else "acyclic"
                print(f"WARNING: {name} is_dag() is {g.is_dag()} on the {kind} graph")
            graphs[name, cyclic] = g
    rows = []
    for cyclic in (False, True):
        kind = f"{len(edges) + cyclic:,} edges, " + ("one back edge (cyclic)" if cyclic else "acyclic")
        med, samples, _ = measure(
            [(name, call_loop(graphs[name, cyclic].is_dag)) for name, _ in contestants], repeats, target
        )
        raw[f"is_dag {'cyclic' if cyclic else 'acyclic'}"] = {
            k: {"median_us": med[k], "samples_us": samples[k]} for k in med
        }
        ours = med.get("derirezaro")
        for name in [*build_names, "Python dict of lists"]:
            got = med.get(name)
            rows.append(
                [
                    kind,
                    name,
                    fmt(got, 1),
                    "" if name == "derirezaro" else fmt_ratio(ours / got) if got else "n/a",
                ]
            )
    table(
        f"is_dag(): µs per call, {len(names_):,} nodes",
        ["graph", "contestant", "µs per call", "ratio"],
        rows,
        [
            f"A {len(names_) - 1:,}-edge chain plus {len(edges) - len(names_) + 1:,} random "
            "forward edges, built with on_cycle='allow'; the second graph adds one edge from "
            "the last node back to the first. The Python contestant runs Kahn's algorithm "
            "over a dict of lists."
        ],
    )


def rate(fn, args, seconds, busy):
    """fn(*args) calls/s for `seconds`, alone or beside a thread spinning in Python."""
    with busy_thread(busy):
        done, t0 = 0, time.perf_counter()
        while (t := time.perf_counter()) < t0 + seconds:
            for _ in range(10):  # short batches bound the overshoot if calls stall
                fn(*args)
            done += 10
    return done / (t - t0)


def section_busy(peers, labelled, repeats, seconds, raw):
    cases = []  # (row label, route, state)
    small, large = labelled[0], labelled[-1]
    for name, r in peers:
        if r is not None:
            cases.append((f"{name}|{small[0]}", r.route, small[1]))
    for name, r in peers:
        if r is not None and name in ("derirezaro", BASELINE):
            cases.append((f"{name}|{large[0]}", r.route, large[1]))
    samples = interleave(
        [
            (f"{key}|{b}", lambda f=f, s=s, b=b: rate(f, (NODE, s), seconds, b), repeats)
            for key, f, s in cases
            for b in (0, 1)
        ],
        repeats,
    )
    raw["busy"] = samples
    rows = []
    for key, _, _ in cases:
        a, b = (statistics.median(samples[f"{key}|{i}"]) for i in (0, 1))
        rows.append([*key.split("|"), f"{a:,.0f}", f"{b:,.0f}", f"{b / a:.2f}"])
    for name, r in peers:
        if r is None:
            rows.append([name, small[0], "n/a", "n/a", "n/a"])
    table(
        "route() beside a busy pure-Python thread, against alone",
        ["contestant", "state", "alone calls/s", "beside busy thread calls/s", "fraction kept"],
        rows,
        [
            "Under the GIL about 0.5 is the fair share (target for route on the 10-key "
            "state: at least 0.4); far below it means the calls wait on the interpreter "
            "lock. On the 1,000-key state the conversion is longer, but the evaluation, "
            "which alone may give up the lock, reads only the five keys the guards name, "
            "so it stays short and keeps the lock."
        ],
    )


def main(argv=None):
    args = argument_parser(__doc__).parse_args(argv)
    baseline = load_baseline(args.baseline) if args.baseline else None
    if not hasattr(derirezaro, "HandoffGraph"):
        print(f"derirezaro {derirezaro.__version__} has no HandoffGraph: nothing to measure.")
        return
    repeats = 3 if args.quick else max(1, args.repeats)
    target, seconds, back_n = (0.005, 0.03, QUICK_BACK_CHAIN) if args.quick else (0.03, 0.2, CHAIN)

    graphs = builds(baseline)
    build_names = [n for n, _ in graphs]
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    dists = {"derirezaro": derirezaro.__version__, "simpleeval": dist_version("simpleeval")}
    print(
        f"machine: {platform.system()} {platform.release()} {platform.machine()}, "
        f"{cpu_name()}, {os.cpu_count()} CPUs | Python {platform.python_version()} "
        f"({platform.python_implementation()}, GIL {'on' if gil else 'off'}) | "
        + ", ".join(f"{n} {v or 'n/a'}" for n, v in dists.items())
        + " | peers: lambdas, dict of lists (plain Python)"
    )
    if baseline is not None:
        print(
            f"derirezaro {derirezaro.__version__} from {derirezaro._core.__file__} | "
            f"baseline {baseline.__version__} from {baseline.__file__} | vs baseline = current / baseline"
            + ("" if graphs[1][1] else " | the baseline has no HandoffGraph: n/a")
        )
    print(
        f"repeats: {repeats}, medians; ratio = derirezaro / peer, below 1.0 = derirezaro faster\n",
        flush=True,
    )
    raw = {
        "machine": platform.platform(),
        "cpu": cpu_name(),
        "cpus": os.cpu_count(),
        "python": sys.version,
        "versions": dict(dists),
        "repeats": repeats,
    }
    if baseline is not None:
        raw["versions"][BASELINE] = baseline.__version__
        raw["files"] = {"derirezaro": derirezaro._core.__file__, BASELINE: baseline.__file__}
    labelled = states()
    peers = routers(graphs)
    check_route(peers, labelled)
    graph_makers = [(n, cls) for n, cls in graphs if cls is not None] + [("Python dict of lists", PyGraph)]
    gc.collect()
    gc.disable()
    try:
        section_route(peers, labelled, repeats, target, raw)
        section_add_edge(graph_makers, build_names, repeats, target, raw, back_n)
        section_is_dag(graph_makers, build_names, repeats, target, raw)
        section_wide(graphs, repeats, target, raw)
        section_busy(peers, labelled, repeats, seconds, raw)
    finally:
        gc.enable()
    if args.json:
        write_json(args.json, raw)


if __name__ == "__main__":
    main()

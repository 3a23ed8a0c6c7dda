"""Instructions per call of HandoffGraph.route beside derirezaro.dumps of the same state, counted by
callgrind in one run (see instructions.py), on bench_graph's states.

    PYTHONPATH=python python3 bench/bench_route_instructions.py

route must refuse whatever dumps refuses, so it walks all of the state as dumps does; the ratio
route / dumps shows what the rest (the guards' reads and their evaluation) adds to that walk.
"""

import functools
import sys

import derirezaro
import instructions
from bench_graph import GUARDS, NODE, states


def jobs():
    graph = derirezaro.HandoffGraph()
    for target, text, _ in GUARDS:
        graph.add_edge(NODE, target, text)
    out = []
    for label, state in states():
        out.append((f"route {label}", functools.partial(graph.route, NODE), state))
        out.append((f"dumps {label}", derirezaro.dumps, state))
    return out


def main(argv):
    if instructions.CHILD_FLAG in argv:
        instructions.count_windows(jobs(), argv[argv.index(instructions.CHILD_FLAG) + 1])
        return
    counts = instructions.count(__file__, [])
    print("| state | route | dumps | route / dumps |\n|---|---:|---:|---:|")
    for label, _ in states():
        route, dumps = counts[f"route {label}"], counts[f"dumps {label}"]
        print(f"| {label} | {route:,} | {dumps:,} | {route / dumps:.2f} |")


if __name__ == "__main__":
    main(sys.argv[1:])

#!/usr/bin/env python3
"""Write tests/data/langgraph-v2.db, a file of the LangGraph saver of release ac127af, and beside it
tests/data/langgraph-v2.json, everything that saver read back from it.

    python3 tools/make_langgraph_v2_fixture.py

That release kept schema 2 of the SQLite log and the pending writes and marks in a table of its
own, `derirezaro_langgraph_writes`. Its Python packages are taken from the commit with `git
archive` into a temporary directory and run, in a subprocess whose path holds only them, against
the extension built in this checkout (python/derirezaro/_core.abi3.so): the records it writes are
of a format today's extension still writes. Needs git, langgraph and the built extension.

The file holds a graph's threads (a plain run, an interrupted one, a failed one, one pruned by
`prune`, so with a floor mark), checkpoints put directly with ids that are not UUIDs, in two
namespaces, and a thread of checkpoints found by marks (a decimal id, a re-put id, a run deleted by
`delete_for_runs`); pending writes of every kind (compressed ones, reserved indices, a retried
task's, writes before any checkpoint).

`reads(saver)` is what the test compares: the same calls on today's saver must read the same.
"""

from __future__ import annotations

import json
import operator
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Annotated, Any, TypedDict

RELEASE = "ac127af"
ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "tests" / "data"
FIXTURE, EXPECTED = DATA / "langgraph-v2.db", DATA / "langgraph-v2.json"
EARLY = ("early", "cp-before-any")  # a thread's pending writes put before its first checkpoint


class State(TypedDict, total=False):
    log: Annotated[list[str], operator.add]
    n: int
    note: str


def _graph(saver: Any, middle: Any) -> Any:
    from langgraph.graph import END, START, StateGraph

    graph = StateGraph(State)
    graph.add_node("plan", lambda s: {"log": ["plan"], "n": s.get("n", 0) + 1})
    graph.add_node("act", middle)
    graph.add_edge(START, "plan")
    graph.add_edge("plan", "act")
    graph.add_edge("act", END)
    return graph.compile(checkpointer=saver)


def _fail(state: State) -> dict:
    raise ValueError(f"failed at {state['n']}")


def _ask(state: State) -> dict:
    from langgraph.types import interrupt

    return {"log": [interrupt({"question": "go on?", "n": state["n"]})]}


def write(saver: Any) -> None:
    """Every thread of the fixture, through the saver's public calls."""
    from langgraph.checkpoint.base import empty_checkpoint

    acting = _graph(saver, lambda s: {"note": f"{s['n']}" + "y" * 300})  # a write long enough to squeeze
    for thread, runs in (("run", 2), ("pruned", 3)):
        for _ in range(runs):
            acting.invoke({"log": ["in"]}, {"configurable": {"thread_id": thread}})
    saver.prune(["pruned"])
    try:
        _graph(saver, _fail).invoke({"log": ["in"]}, {"configurable": {"thread_id": "fails"}})
    except ValueError:
        pass
    _graph(saver, _ask).invoke({"log": ["in"]}, {"configurable": {"thread_id": "asks"}})
    parent = None
    for ns in ("", "inner:1"):
        for i in (1, 2):
            checkpoint = empty_checkpoint()
            checkpoint["id"] = f"cp-{i}"
            checkpoint["channel_values"] = {"a": [ns, i], "b": {"x": i}}
            checkpoint["channel_versions"] = {"a": i, "b": 1}
            config = {"configurable": {"thread_id": "direct", "checkpoint_ns": ns, "checkpoint_id": parent}}
            config = saver.put(config, checkpoint, {"source": "update", "step": i}, {"a": i, "b": 1})
            saver.put_writes(config, [("a", "first"), ("b", i)], "task-1", "path-1")
            saver.put_writes(config, [("a", "second"), ("__error__", "first error")], "task-1", "path-1")
            saver.put_writes(config, [("__error__", "last error")], "task-1")
            parent = "cp-1"
        parent = None
    _marked(saver)
    thread, checkpoint_id = EARLY
    early = {"configurable": {"thread_id": thread, "checkpoint_ns": "", "checkpoint_id": checkpoint_id}}
    saver.put_writes(early, [("a", 1)], "task-early")


def _marked(saver: Any) -> None:
    """A thread whose checkpoints that saver found by marks: a decimal id, a re-put id, and the
    checkpoints of a run deleted by `delete_for_runs` (marked deleted, their writes removed)."""
    from langgraph.checkpoint.base import empty_checkpoint

    parent = None
    for i, (checkpoint_id, run) in enumerate([("cp-1", "r1"), ("cp-2", "r2"), ("7", "r2"), ("cp-3", "r1"),
                                              ("cp-2", "r2")], 1):  # fmt: skip
        checkpoint = empty_checkpoint()
        checkpoint["id"] = checkpoint_id
        checkpoint["channel_values"] = {"a": i}
        checkpoint["channel_versions"] = {"a": i}
        config = {"configurable": {"thread_id": "marked", "checkpoint_ns": "", "checkpoint_id": parent}}
        config = saver.put(config, checkpoint, {"source": "update", "step": i, "run_id": run}, {"a": i})
        saver.put_writes(config, [("a", f"after {i}")], f"task-{i}")
        parent = checkpoint_id
    saver.delete_for_runs(["r1"])


def reads(saver: Any) -> Any:
    """What `saver` reads of the fixture's threads, as JSON values: listings, each checkpoint, pages."""

    def plain(found: Any) -> Any:
        if found is None:
            return None
        fields = ("config", "checkpoint", "metadata", "parent_config", "pending_writes")
        return {field: getattr(found, field) for field in fields}

    def plain_or_same(found: Any, listed: Any) -> Any:
        return "as listed" if plain(found) == plain(listed) else plain(found)

    listed = list(saver.list(None))
    places = sorted(
        {(t.config["configurable"]["thread_id"], t.config["configurable"]["checkpoint_ns"]) for t in listed}
    )
    pages = {}
    for thread, ns in places:
        where = {"configurable": {"thread_id": thread, "checkpoint_ns": ns}}
        own = [t for t in listed if t.config["configurable"]["checkpoint_ns"] == ns
               and t.config["configurable"]["thread_id"] == thread]  # fmt: skip
        first = list(saver.list(where, limit=1))
        paged = first + list(saver.list(where, before=first[0].config) if first else [])
        pages[f"{thread}/{ns}"] = {
            "latest": plain_or_same(saver.get_tuple(where), own[0]),
            "in pages": "as listed"
            if list(map(plain, paged)) == list(map(plain, own))
            else list(map(plain, paged)),
        }
    thread, checkpoint_id = EARLY
    early = {"configurable": {"thread_id": thread, "checkpoint_ns": "", "checkpoint_id": checkpoint_id}}
    values = {
        "listed": [plain(t) for t in listed],
        "each by id": [plain_or_same(saver.get_tuple(t.config), t) for t in listed],
        "each thread": pages,
        "before any checkpoint": plain(saver.get_tuple(early)),
    }
    return json.loads(json.dumps(values, default=repr, sort_keys=True))  # tuples as lists, objects as reprs


def child(path: str, expected: str) -> None:
    """In the subprocess, on the release's packages: write the file, then what its saver reads."""
    import derirezaro
    from derirezaro.langgraph import DerirezaroSaver

    assert not Path(derirezaro.__file__).is_relative_to(ROOT), "the release's packages, not this checkout's"
    with DerirezaroSaver.sqlite(path) as saver:
        write(saver)
    with DerirezaroSaver.sqlite(path) as saver:  # read afresh, as the test's saver does
        Path(expected).write_text(json.dumps(reads(saver), indent=1, sort_keys=True) + "\n")
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("VACUUM")
    db.close()


def main() -> None:
    with tempfile.TemporaryDirectory() as directory:
        archive = subprocess.run(
            ["git", "-C", str(ROOT), "archive", RELEASE, "python/derirezaro"], check=True, capture_output=True
        ).stdout
        subprocess.run(["tar", "-x", "-C", directory], input=archive, check=True)
        package = Path(directory) / "python"
        shutil.copy(ROOT / "python" / "derirezaro" / "_core.abi3.so", package / "derirezaro")
        db, expected = Path(directory) / "fixture.db", Path(directory) / "expected.json"
        env = {**os.environ, "PYTHONPATH": str(package)}
        subprocess.run([sys.executable, __file__, "--child", str(db), str(expected)], check=True, env=env)
        shutil.copy(db, FIXTURE)
        shutil.copy(expected, EXPECTED)
    print(f"{FIXTURE}: {FIXTURE.stat().st_size} bytes; {EXPECTED}: {EXPECTED.stat().st_size} bytes")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        child(*sys.argv[2:4])
    else:
        main()

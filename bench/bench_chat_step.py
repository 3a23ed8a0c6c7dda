#!/usr/bin/env python3
"""CPU of one chat step against the length of the conversation, beside LangGraph's savers.

    PYTHONPATH=python python3 bench/bench_chat_step.py [--sizes 100,1000] [--window 25]

A chat step is what a running graph with an `add_messages` channel does: a
put of the checkpoint whose messages list gained one message (a new list
holding the same message objects as the last one), then a put_writes of that
message. Each saver drives one thread up to the largest size; a cell is the
median thread CPU time (time.thread_time, which other processes on the machine
do not move) of the `window` steps that end at that many messages. The peers
run in the same process, one after the other: InMemorySaver, which encodes the
whole list once a step, and the SQLite checkpointer (synchronous FULL, its
default). Ours runs on SQLite at `normal` (no fsync: CPU is what is measured)
and on the in-memory log.
"""

from __future__ import annotations

import argparse
import gc
import random
import sqlite3
import statistics
import tempfile
import time
import uuid
from pathlib import Path

from derirezaro.langgraph import DerirezaroSaver
from derirezaro.persist import MemoryLog
from langchain_core.messages import AIMessage, HumanMessage
from langgraph.checkpoint.base import empty_checkpoint
from langgraph.checkpoint.memory import InMemorySaver

try:
    from langgraph.checkpoint.sqlite import SqliteSaver
except ImportError:
    SqliteSaver = None

_WORDS = (
    "the agent calls a tool and reads the result then answers the user with a short summary of what it "
    "found in the order history and asks whether anything else is needed before closing the ticket"
).split()


def message(i: int):
    """A turn of ~250 characters, no two alike; every other one a model's reply."""
    rng = random.Random(i)
    words: list[str] = []
    while sum(map(len, words)) + len(words) < 250:
        words.append(rng.choice(_WORDS))
    text = f"turn {i}: " + " ".join(words)
    return AIMessage(text, id=f"m-{i}") if i % 2 else HumanMessage(text, id=f"m-{i}")


def chat_steps(saver, turns: int) -> list[float]:
    """Thread CPU seconds of each step of a chat that gains one message per step."""
    messages: list = []
    versions = {"messages": saver.get_next_version(None, None)}
    config = {"configurable": {"thread_id": "chat", "checkpoint_ns": ""}}
    spent = []
    for i in range(turns):
        messages.append(message(i))
        versions["messages"] = saver.get_next_version(versions["messages"], None)
        checkpoint = empty_checkpoint()
        checkpoint["channel_values"] = {"messages": list(messages)}
        checkpoint["channel_versions"] = dict(versions)
        checkpoint["versions_seen"] = {"agent": dict(versions)}
        metadata = {"source": "loop", "step": i, "parents": {}}
        task = str(uuid.uuid4())
        start = time.thread_time()
        config = saver.put(config, checkpoint, metadata, dict(versions))
        saver.put_writes(config, [("messages", [messages[-1]])], task, "~agent")
        spent.append(time.thread_time() - start)
    return spent


def contestants(directory: Path):
    found = [
        (
            "derirezaro SQLite normal",
            lambda: DerirezaroSaver.sqlite(directory / "ours.db", durability="normal"),
        ),
        ("derirezaro memory log", lambda: DerirezaroSaver(MemoryLog())),
        ("InMemorySaver", InMemorySaver),
    ]
    if SqliteSaver is not None:
        found.append(("SqliteSaver (FULL)", lambda: SqliteSaver(sqlite3.connect(directory / "peer.db"))))
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="100,1000", help="message counts to report, comma-separated")
    parser.add_argument("--window", type=int, default=25, help="steps whose median makes a cell")
    args = parser.parse_args()
    sizes = sorted(int(s) for s in args.sizes.split(","))
    with tempfile.TemporaryDirectory() as tmp:
        rows = []
        for name, make in contestants(Path(tmp)):
            saver = make()
            if isinstance(saver, SqliteSaver or ()):
                saver.setup()
            gc.collect()
            gc.disable()
            try:
                spent = chat_steps(saver, sizes[-1])
            finally:
                gc.enable()
            rows.append((name, [statistics.median(spent[n - args.window : n]) * 1e3 for n in sizes]))
    print(f"chat step CPU (ms, median of {args.window} steps) at N messages; last column: largest / smallest")
    print(f"  {'':<28}" + "".join(f"{n:>10}" for n in sizes) + f"{'flat':>8}")
    for name, cells in rows:
        print(f"  {name:<28}" + "".join(f"{c:10.3f}" for c in cells) + f"{cells[-1] / cells[0]:8.2f}")


if __name__ == "__main__":
    main()

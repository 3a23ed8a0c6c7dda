"""A chat whose messages live in a DeltaChannel: saver calls and time per turn at ~1,000 messages.

A DeltaChannel stores a snapshot of the conversation every `snapshot_frequency`
updates and nothing in between; a turn starts by asking the saver for the
writes since the nearest snapshot (`get_delta_channel_history`). Every
contestant runs the same turns on its own thread in one process, in blocks
taken in turn, so that the machine's noise falls on all of them alike:

- LangGraph's SQLite checkpointer at its default (WAL, synchronous FULL: an
  fsync per commit), which answers the history with two queries;
- ours on SQLite at `full` (an fsync per commit), answering in one walk of the
  log; and the same saver answering with the base class's walk (a `get_tuple`
  per ancestor), what it did before;
- with a redis-server on the path, ours on Redis (AOF, fsync every second), both ways.

Counted per `invoke`: the saver's read calls (get_tuple, list,
get_delta_channel_history, including those a walk makes of itself) and its
writes (put, put_writes). Timed per turn: wall clock and the thread's CPU.

    python3 bench/bench_delta_history.py [--messages 1000] [--turns 300]

Turns enough that the full collections of the process's heap (tens of
milliseconds each, a few every hundred turns) fall on every contestant alike:
at 100 turns, one landing in a block or another moved the ratio by a fifth.
"""

import argparse
import collections
import functools
import sqlite3
import sys
import tempfile
import time
from pathlib import Path
from typing import Annotated, TypedDict

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from derirezaro.langgraph import DerirezaroSaver  # noqa: E402
from langchain_core.messages import AIMessage, HumanMessage  # noqa: E402
from langgraph.channels import DeltaChannel  # noqa: E402
from langgraph.checkpoint.base import BaseCheckpointSaver  # noqa: E402
from langgraph.checkpoint.sqlite import SqliteSaver  # noqa: E402
from langgraph.graph import START, StateGraph  # noqa: E402
from langgraph.graph.message import add_messages  # noqa: E402
from redis_server import BINARY as REDIS_BINARY  # noqa: E402
from redis_server import RedisServer  # noqa: E402

READS = ("get_tuple", "list", "get_delta_channel_history")
WRITES = ("put", "put_writes")
TEXT = "Some words of a reply, about as long as a short paragraph of an assistant's answer. " * 3


def messages_reducer(value, writes):
    return functools.reduce(add_messages, writes, value or [])


class Chat(TypedDict):
    messages: Annotated[list, DeltaChannel(messages_reducer, list)]
    turns: int


def chat_graph(saver):
    def agent(state):
        n = state.get("turns", 0) + 1
        return {"messages": [AIMessage(f"{n}: {TEXT}", id=f"ai-{n}")], "turns": n}

    builder = StateGraph(Chat)
    builder.add_node("agent", agent)
    builder.add_edge(START, "agent")
    return builder.compile(checkpointer=saver)


class BaseWalk(DerirezaroSaver):
    """Our saver answering the history as the base class does: a `get_tuple` per ancestor."""

    def get_delta_channel_history(self, *, config, channels):
        return BaseCheckpointSaver.get_delta_channel_history(self, config=config, channels=channels)


def counted(saver, counts):
    """`saver` with its public calls counted in `counts` (calls a method makes of another included)."""
    for name in (*READS, *WRITES):
        method = getattr(saver, name)

        def wrapper(*args, _method=method, _name=name, **kwargs):
            counts[_name] += 1
            return _method(*args, **kwargs)

        setattr(saver, name, wrapper)
    return saver


def sqlite_peer(path):
    connection = sqlite3.connect(path, check_same_thread=False)
    saver = SqliteSaver(connection)
    saver.setup()
    assert connection.execute("PRAGMA synchronous").fetchone()[0] == 2  # FULL, its default
    return saver


class Contestant:
    def __init__(self, label, saver):
        self.label, self.counts = label, collections.Counter()
        self.graph = chat_graph(counted(saver, self.counts))
        self.config = {"configurable": {"thread_id": "chat"}}
        self.turn = 0
        self.wall = self.cpu = 0.0
        self.measured = 0

    def one(self):
        self.turn += 1
        self.graph.invoke(
            {"messages": [HumanMessage(f"question {self.turn}", id=f"h-{self.turn}")]}, self.config
        )

    def measure(self, turns):
        self.counts.clear()
        wall, cpu = time.perf_counter(), time.thread_time()
        for _ in range(turns):
            self.one()
        self.wall += time.perf_counter() - wall
        self.cpu += time.thread_time() - cpu
        self.measured += turns
        return dict(self.counts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=1000, help="messages before the measured turns")
    parser.add_argument("--turns", type=int, default=300, help="measured turns per contestant")
    parser.add_argument("--block", type=int, default=10, help="turns of one contestant before the next's")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        where = Path(directory)
        server = (
            RedisServer("--appendonly", "yes", "--appendfsync", "everysec").start() if REDIS_BINARY else None
        )
        try:
            entrants = [
                ("LangGraph SqliteSaver, WAL + synchronous FULL", sqlite_peer(where / "peer.db")),
                (
                    "derirezaro SQLite full, one walk",
                    DerirezaroSaver.sqlite(where / "a.db", durability="full"),
                ),
                ("derirezaro SQLite full, base walk", BaseWalk.sqlite(where / "b.db", durability="full")),
            ]
            if server is not None:
                entrants += [
                    (
                        "derirezaro Redis AOF everysec, one walk",
                        DerirezaroSaver.redis(server.url, prefix="a"),
                    ),
                    ("derirezaro Redis AOF everysec, base walk", BaseWalk.redis(server.url, prefix="b")),
                ]
            contestants = [Contestant(label, saver) for label, saver in entrants]
            for contestant in contestants:  # two messages a turn
                for _ in range(args.messages // 2):
                    contestant.one()
            calls = {c.label: collections.Counter() for c in contestants}
            for _ in range(0, args.turns, args.block):
                for contestant in contestants:
                    calls[contestant.label].update(contestant.measure(args.block))
        finally:
            if server is not None:
                server.stop()
    peer = contestants[0]
    print(f"DeltaChannel chat, {args.messages} messages then {args.turns} turns (one invoke each)\n")
    print(
        f"{'saver':48} {'reads/invoke':>12} {'writes/invoke':>13} {'ms/turn':>8} {'CPU ms':>7} {'x peer':>7}"
    )
    for c in contestants:
        n = c.measured
        reads = sum(calls[c.label][name] for name in READS) / n
        writes = sum(calls[c.label][name] for name in WRITES) / n
        ms, cpu = 1000 * c.wall / n, 1000 * c.cpu / n
        ratio = c.wall / peer.wall
        print(f"{c.label:48} {reads:12.1f} {writes:13.1f} {ms:8.2f} {cpu:7.2f} {ratio:7.2f}")
    for c in contestants:
        detail = ", ".join(f"{name} {calls[c.label][name] / c.measured:.1f}" for name in (*READS, *WRITES))
        print(f"  {c.label}: {detail}")


if __name__ == "__main__":
    main()

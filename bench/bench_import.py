"""Importing a file of LangGraph's SQLite checkpointer: how long, and whether every thread comes back equal.

    PYTHONPATH=python python3 bench/bench_import.py                  # 1,000 threads
    PYTHONPATH=python python3 bench/bench_import.py --threads 10000

Each thread is a short chat run by a real graph on LangGraph's SqliteSaver:
two user turns, each an agent reply (LangChain messages, revived by the serde)
and a review that interrupts and is resumed, so a thread holds a few
checkpoints, pending writes and an interrupt. The file is imported into a new
derirezaro SQLite file (`import_langgraph`), timed; every thread is then
compared, checkpoint by checkpoint, as both savers list it; and the import is
run again, which must copy nothing.
"""

import argparse
import os
import sqlite3
import tempfile
import time
from typing import Annotated, TypedDict

from derirezaro.langgraph import DerirezaroSaver, import_langgraph
from langchain_core.messages import AIMessage, HumanMessage
from langgraph.checkpoint.sqlite import SqliteSaver
from langgraph.graph import START, StateGraph
from langgraph.graph.message import add_messages
from langgraph.types import Command, interrupt


class Chat(TypedDict):
    messages: Annotated[list, add_messages]
    reviewed: int


def chat_graph(saver):
    def agent(state):
        turn = len(state["messages"])
        return {"messages": [AIMessage(f"reply {turn}: " + "lorem ipsum " * 20)]}

    def review(state):
        return {"reviewed": state.get("reviewed", 0) + (interrupt("ok?") == "yes")}

    builder = StateGraph(Chat)
    builder.add_node("agent", agent)
    builder.add_node("review", review)
    builder.add_edge(START, "agent")
    builder.add_edge("agent", "review")
    return builder.compile(checkpointer=saver)


def write_source(path, threads):
    saver = SqliteSaver(sqlite3.connect(path, check_same_thread=False))
    graph = chat_graph(saver)
    for n in range(threads):
        config = {"configurable": {"thread_id": f"thread-{n}"}}
        for turn in range(2):
            graph.invoke({"messages": [HumanMessage(f"question {turn} of {n}")]}, config)
            if turn == 0 or n % 2:  # half the threads are left waiting on their last interrupt
                graph.invoke(Command(resume="yes"), config)
    return saver


def listed(saver, thread):
    tuples = saver.list({"configurable": {"thread_id": thread}})
    return sorted(tuples, key=lambda t: tuple(t.config["configurable"].values())[1:])


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--threads", type=int, default=1000)
    args = parser.parse_args()
    directory = tempfile.mkdtemp(prefix="dz-import-")
    source_path, target_path = os.path.join(directory, "langgraph.db"), os.path.join(directory, "imported.db")
    started = time.perf_counter()
    source = write_source(source_path, args.threads)
    print(f"source: {args.threads} threads written in {time.perf_counter() - started:.1f}s")
    with DerirezaroSaver.from_conn_string(target_path) as target:
        started = time.perf_counter()
        report = import_langgraph(source_path, target)
        took = time.perf_counter() - started
        print(
            f"import: {report.threads} threads, {report.checkpoints} checkpoints, {report.writes} pending "
            f"writes in {took:.2f}s ({report.checkpoints / took:.0f} checkpoints/s); "
            f"unrevivable: {len(report.unrevivable)}"
        )
        threads = [row[0] for row in source.conn.execute("SELECT DISTINCT thread_id FROM checkpoints")]
        unequal = [thread for thread in threads if listed(source, thread) != listed(target, thread)]
        print(
            f"equal: {len(threads) - len(unequal)} of {len(threads)} threads"
            + (f"; not: {unequal[:5]}" if unequal else "")
        )
        started = time.perf_counter()
        again = import_langgraph(source_path, target)
        print(
            f"again: {again.checkpoints} checkpoints and {again.writes} writes copied, "
            f"{again.skipped} skipped, in {time.perf_counter() - started:.2f}s"
        )
    sizes = [os.path.getsize(p) for p in (source_path, target_path)]
    print(f"files: LangGraph's {sizes[0] / 2**20:.1f} MiB, imported {sizes[1] / 2**20:.1f} MiB")


if __name__ == "__main__":
    main()

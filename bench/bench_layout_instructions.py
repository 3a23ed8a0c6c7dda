#!/usr/bin/env python3
"""Instructions of a listing at 1,000 channels and of a chat step at 100 and 1,000 messages, counted by
callgrind in one run (see instructions.py), beside InMemorySaver.

    PYTHONPATH=python python3 bench/bench_layout_instructions.py

`list(limit=10)`: a saver opened afresh over a 40-checkpoint thread whose steps each move one of 1,000
channels, so every listed state is derived from its neighbour's and its values built once. Chat step:
a put of the checkpoint whose messages list gained one message, then the put_writes of that message.
"""

from __future__ import annotations

import sys
import uuid

import instructions
from bench_chat_step import message
from derirezaro.langgraph import DerirezaroSaver
from derirezaro.persist import MemoryLog
from langgraph.checkpoint.base import empty_checkpoint
from langgraph.checkpoint.memory import InMemorySaver

_CHANNELS, _STEPS = 1000, 40


def _wide_thread(saver):
    config = {"configurable": {"thread_id": "wide", "checkpoint_ns": ""}}
    values = {f"channel-{i}": {"n": i, "text": f"value {i}"} for i in range(_CHANNELS)}
    versions = dict.fromkeys(values, saver.get_next_version(None, None))
    for step in range(_STEPS):
        moved = f"channel-{step % _CHANNELS}"
        values[moved] = {"n": step, "text": f"step {step}"}
        versions[moved] = saver.get_next_version(versions[moved], None)
        checkpoint = empty_checkpoint()
        checkpoint["channel_values"] = dict(values)
        checkpoint["channel_versions"] = dict(versions)
        checkpoint["versions_seen"] = {"node": dict(versions)}
        config = saver.put(config, checkpoint, {"source": "loop", "step": step}, {moved: versions[moved]})
    return config


def _lister(make_saver):
    config = {"configurable": {"thread_id": "wide", "checkpoint_ns": ""}}

    def job(_):
        return list(make_saver().list(config, limit=10))

    return job


def _chat(saver, size: int):
    """A job that makes one chat step, the thread first grown to `size` messages."""
    state = {"messages": [], "config": {"configurable": {"thread_id": f"chat-{size}", "checkpoint_ns": ""}}}
    state["version"] = saver.get_next_version(None, None)

    def step(_):
        messages = state["messages"]
        messages.append(message(len(messages)))
        state["version"] = saver.get_next_version(state["version"], None)
        versions = {"messages": state["version"]}
        checkpoint = empty_checkpoint()
        checkpoint["channel_values"] = {"messages": list(messages)}
        checkpoint["channel_versions"] = dict(versions)
        checkpoint["versions_seen"] = {"agent": dict(versions)}
        config = saver.put(state["config"], checkpoint, {"source": "loop", "step": len(messages)}, versions)
        saver.put_writes(config, [("messages", [messages[-1]])], str(uuid.uuid4()), "~agent")
        state["config"] = config

    for _ in range(size - 8):  # the warm-up and counted windows add the last few
        step(None)
    return step


def jobs():
    log = MemoryLog()
    _wide_thread(DerirezaroSaver(log))
    peer = InMemorySaver()
    _wide_thread(peer)
    out = [
        ("list(limit=10) 1000 ch: derirezaro memory log", _lister(lambda: DerirezaroSaver(log)), None),
        ("list(limit=10) 1000 ch: InMemorySaver", _lister(lambda: peer), None),
    ]
    for size in (100, 1000):
        out.append(
            (f"chat step {size}: derirezaro memory log", _chat(DerirezaroSaver(MemoryLog()), size), None)
        )
        out.append((f"chat step {size}: InMemorySaver", _chat(InMemorySaver(), size), None))
    return out


def main(argv: list[str]) -> None:
    if instructions.CHILD_FLAG in argv:
        instructions.count_windows(jobs(), argv[argv.index(instructions.CHILD_FLAG) + 1])
        return
    for name, n in instructions.count(__file__, []).items():
        print(f"  {name:<48}{n:>14,}")


if __name__ == "__main__":
    main(sys.argv)

"""`get_delta_channel_history` against the base class's walk (a `get_tuple` per ancestor), the definition of
the answer: random graphs with forks, parallel writers and several delta and plain channels, on every log,
sync and async, read by the saver that wrote them and by a fresh one; then hand-made threads whose ids
the log cannot index, checkpoints put again or deleted, and a chain that loops."""

import asyncio
import operator
import random
from typing import Annotated, TypedDict

import pytest
from conftest import langgraph_or_skip

langgraph_or_skip()

from derirezaro.langgraph import DerirezaroSaver
from langgraph.channels import DeltaChannel
from langgraph.checkpoint.base import BaseCheckpointSaver
from langgraph.graph import START, StateGraph
from test_langgraph import opener
from test_langgraph import put as put_values

CHANNELS = ["often", "seldom", "never", "plain", "last"]


def appended(value, writes):  # order-sensitive: a write replayed out of order shows
    return [*(value or []), *writes]


class State(TypedDict):
    often: Annotated[list, DeltaChannel(appended, list, snapshot_frequency=1)]
    seldom: Annotated[list, DeltaChannel(appended, list, snapshot_frequency=4)]
    never: Annotated[list, DeltaChannel(appended, list, snapshot_frequency=10_000)]
    plain: Annotated[list, operator.add]
    last: int


def random_graph(saver, rng):
    """A start node, then a fan-out of parallel writers (their writes land in one step), then END."""
    builder = StateGraph(State)
    builder.add_node("start", lambda state: {"seldom": ["s"], "last": len(state.get("never", []))})
    for i in range(rng.randint(1, 4)):
        wrote = rng.sample(["often", "seldom", "never", "plain"], rng.randint(1, 3))
        builder.add_node(f"w{i}", lambda state, i=i, wrote=wrote: {ch: [f"w{i}"] for ch in wrote})
        builder.add_edge("start", f"w{i}")
    return builder.add_edge(START, "start").compile(checkpointer=saver)


def agree(saver, config, channels=CHANNELS, asynchronous=False):
    """The saver's answer, checked equal to the base class's walk over the same saver's `get_tuple`."""
    name = "aget_delta_channel_history" if asynchronous else "get_delta_channel_history"
    ours = getattr(saver, name)(config=config, channels=channels)
    expected = getattr(BaseCheckpointSaver, name)(saver, config=config, channels=channels)
    if asynchronous:
        ours, expected = asyncio.run(ours), asyncio.run(expected)
    assert ours == expected, config
    return ours


@pytest.mark.parametrize("kind", ["memory", "sqlite", "redis"])
@pytest.mark.parametrize("seed", range(3))
def test_random_graphs_with_forks_read_as_the_base_walk_reads_them(kind, seed, tmp_path):
    rng = random.Random(seed)
    open_saver = opener(kind, tmp_path)
    with open_saver() as saver:
        graph = random_graph(saver, rng)
        config = {"configurable": {"thread_id": f"t{seed}"}}
        for turn in range(rng.randint(25, 40)):
            op = rng.random()
            history = list(saver.list(config))
            if op < 0.2 and history:  # a fork from an older checkpoint, as a node or as input
                fork = {"often": [f"f{turn}"], "plain": [turn]}
                graph.update_state(rng.choice(history).config, fork, as_node=rng.choice(["start", "w0"]))
            elif op < 0.25 and history:
                asyncio.run(graph.ainvoke({"never": [f"a{turn}"]}, rng.choice(history).config))
            elif op < 0.28:
                saver.prune([config["configurable"]["thread_id"]])
            else:
                graph.invoke({"often": [f"i{turn}"], "never": [turn]}, config)
        checkpoints = [tup.config for tup in saver.list(config)]
        assert len(checkpoints) > 10 or kind != "memory"
        seeded = walked = 0
        missing = {"configurable": {**config["configurable"], "checkpoint_id": "nope"}}
        for past in [config, *checkpoints, missing]:
            found = agree(saver, past)
            seeded += sum("seed" in entry for entry in found.values())
            walked += sum(len(entry["writes"]) for entry in found.values())
        assert seeded and walked  # the walks went somewhere
        for past in rng.sample(checkpoints, min(5, len(checkpoints))):
            agree(saver, past, rng.sample(CHANNELS, 2), asynchronous=True)
        with open_saver() as fresh:  # nothing cached: every state replayed from the log
            for past in rng.sample(checkpoints, min(8, len(checkpoints))):
                assert fresh.get_delta_channel_history(config=past, channels=CHANNELS) == agree(saver, past)


def put(saver, thread, checkpoint_id, parent, values, writes=()):
    """A checkpoint holding `values` (every channel's version moved), then `writes` stored against it."""
    on, versions = parent and {"configurable": {"checkpoint_id": parent}}, dict.fromkeys("de", checkpoint_id)
    new, run = {"d": 1, "e": 1}, checkpoint_id
    stored = put_values(
        saver, on, dict(values), versions, thread=thread, id=checkpoint_id, new=new, run_id=run
    )
    for i, (channel, value) in enumerate(writes):
        saver.put_writes(stored, [(channel, value)], f"task-{i % 2}", f"~path{-i}")
    return stored


# Each thread: (checkpoint id, parent id, stored values, writes against it), then the runs deleted;
# None: the thread deleted and written anew, the same ids at the same places, their states not.
HAND_MADE = {
    "decimal ids": [
        ("1", None, {"d": 0}, [("d", 1), ("e", 1)]),
        ("2", "1", {}, [("d", 2)]),
        ("3", "2", {}, []),
    ],
    "put again": [
        ("a", None, {"e": 0}, [("d", "a")]),
        ("b", "a", {}, [("d", "b"), ("d", "b2")]),
        ("c", "b", {}, [("e", "c")]),
        ("b", "a", {"d": "seed"}, [("d", "b-again")]),  # an alias record now holds b
        ("x", "b", {}, []),
    ],
    "deleted parent": [("p", None, {"d": 0}, [("d", "p")]), ("q", "p", {}, [("d", "q")]), ("r", "q", {}, [])],
    "written anew": [
        *[("a", None, {"d": "a", "e": "a"}, [("d", 1)]), ("b", "a", {}, [("d", 2)]), ("c", "b", {}, [])],
        None,
        *[("a", None, {"e": "a"}, [("d", 3)]), ("b", "a", {"d": "b"}, [("d", 4)]), ("c", "b", {}, [])],
    ],
}


@pytest.mark.parametrize("case", sorted(HAND_MADE))
def test_hand_made_threads_read_as_the_base_walk_reads_them(case, tmp_path):
    """By the writer and by a reader whose walks of the thread as it was serve none of it written anew,
    nor of it deleted."""
    open_saver, stored = opener("sqlite", tmp_path), []
    with open_saver() as writer, open_saver() as reader:
        for checkpoint in [*HAND_MADE[case], None]:
            if checkpoint is not None:
                stored.append(put(writer, case, *checkpoint))
                continue
            writer.delete_for_runs(["q"])
            for config in [{"configurable": {"thread_id": case}}, *stored]:
                assert agree(writer, config, ["d", "e"]) == agree(reader, config, ["d", "e"])
            writer.delete_thread(case)
            for saver, asynchronous in ((writer, False), (reader, True)):  # a thread of no checkpoint
                gone = {"configurable": {"thread_id": case}}
                assert agree(saver, gone, ["d"], asynchronous) == {"d": {"writes": []}}
            stored = []


def test_a_chain_that_comes_back_to_a_checkpoint_it_passed_ends_there():
    """b put again under its own descendant c: c -> b -> c, where the base walk would go round for ever."""
    with DerirezaroSaver.memory() as saver:
        puts = [("a", None, "a"), ("b", "a", "b"), ("c", "b", "c"), ("b", "c", "b2")]
        stored = {cid: put(saver, "loop", cid, parent, {}, [("d", write)]) for cid, parent, write in puts}
        found = saver.get_delta_channel_history(config=stored["c"], channels=["d"])
        # b's writes are its first put's (a task's first write to an index stays), then c closes the loop.
        assert [w[2] for w in found["d"]["writes"]] == ["b"] and "seed" not in found["d"]

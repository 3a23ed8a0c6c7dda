"""DerirezaroSaver in real graphs against LangGraph's own InMemorySaver, and under damage and races.

The graph: an agent that appends long messages, a fan-out of three nodes into one list, a
review that interrupts, and a user who removes a message in the middle, overwrites another,
forks from an old checkpoint and replays from another. Every log must give the history the
reference saver gives, checkpoint for checkpoint.
"""

import operator
import random
import sqlite3
import threading
import time
from typing import Annotated, TypedDict

import pytest
import redis
from derirezaro.langgraph import CheckpointConflict, CheckpointDecodeError, CorruptCheckpoint, DerirezaroSaver
from derirezaro.langgraph.branch import timeline_name
from derirezaro.persist import SQLiteLog
from langchain_core.messages import AIMessage, HumanMessage, RemoveMessage
from langgraph.checkpoint.base import empty_checkpoint
from langgraph.checkpoint.memory import InMemorySaver
from langgraph.checkpoint.serde.jsonplus import JsonPlusSerializer
from langgraph.graph import END, START, StateGraph
from langgraph.graph.message import add_messages
from langgraph.types import Command, interrupt
from redis_server import fresh_prefix, shared_url


class State(TypedDict):
    messages: Annotated[list, add_messages]
    notes: Annotated[list, operator.add]
    count: int


def agent(state):
    n = state.get("count", 0) + 1
    return {"messages": [AIMessage(f"reply {n} " + "x" * 80, id=f"ai-{n}")], "count": n}


def review(state):
    answer = interrupt({"question": "ok?", "count": state["count"]})
    return {"notes": [f"review:{answer}"]}


def graph_with(saver):
    builder = StateGraph(State)
    builder.add_node("agent", agent)
    builder.add_node("review", review)
    for name in ("a", "b", "c"):  # run in parallel: their writes land in one step, in task order
        builder.add_node(name, lambda state, name=name: {"notes": [f"{name}:{state['count']}"]})
        builder.add_edge("agent", name)
        builder.add_edge(name, "review")
    builder.add_edge(START, "agent")
    builder.add_conditional_edges("review", lambda state: END if state["count"] >= 3 else "agent")
    return builder.compile(checkpointer=saver)


def history_of_a_session(saver):
    graph = graph_with(saver)
    config = {"configurable": {"thread_id": "t1"}}
    graph.invoke({"messages": [HumanMessage("hi", id="h-1")], "count": 0}, config)
    graph.invoke(Command(resume="yes"), config)
    edit = [RemoveMessage(id="ai-1"), AIMessage("edited " + "y" * 80, id="ai-2")]
    graph.update_state(config, {"messages": edit}, as_node="agent")
    graph.invoke(Command(resume="again"), config)
    history = list(graph.get_state_history(config))
    fork = graph.update_state(history[len(history) // 2].config, {"notes": ["forked"]}, as_node="a")
    graph.invoke(None, fork)
    graph.invoke(None, history[-3].config)  # a replay from an old checkpoint
    return normalized(list(graph.get_state_history(config)))


def normalized(history):
    """Snapshots with checkpoint ids replaced by their order of appearance, run ids dropped."""
    order = {}

    def name(config):
        return (
            None if config is None else order.setdefault(config["configurable"]["checkpoint_id"], len(order))
        )

    def plain(value):
        return [(type(m).__name__, getattr(m, "id", None), getattr(m, "content", m)) for m in value]

    return [
        (
            name(snap.config),
            name(snap.parent_config),
            {k: plain(v) if isinstance(v, list) else v for k, v in snap.values.items()},
            snap.next,
            {k: v for k, v in snap.metadata.items() if k != "run_id"},
            [(t.name, [i.value for i in t.interrupts], t.result) for t in snap.tasks],
        )
        for snap in history
    ]


@pytest.fixture(params=["memory", "sqlite", "redis"])
def saver(request, tmp_path):
    if request.param == "memory":
        made = DerirezaroSaver.memory()
    elif request.param == "sqlite":
        made = DerirezaroSaver.sqlite(tmp_path / "checkpoints.db")
    else:
        made = DerirezaroSaver.redis(shared_url(), prefix=fresh_prefix())
    with made:
        yield made


def test_a_session_with_interrupts_edits_forks_and_replays_has_the_reference_history(saver):
    expected = history_of_a_session(InMemorySaver())
    assert len(expected) > 10
    assert history_of_a_session(saver) == expected


def test_a_reopened_file_has_the_same_history(tmp_path):
    with DerirezaroSaver.sqlite(tmp_path / "c.db") as first:
        expected = history_of_a_session(first)
    with DerirezaroSaver.sqlite(tmp_path / "c.db") as second:
        assert (
            normalized(list(graph_with(second).get_state_history({"configurable": {"thread_id": "t1"}})))
            == expected
        )


def noise(seed, size=100):
    """Text that compression cannot shrink much, so stored sizes show what was written."""
    return random.Random(seed).randbytes(size // 2).hex()


def put(saver, parent, values, versions, thread="t", **metadata):
    checkpoint = empty_checkpoint()
    checkpoint["channel_values"], checkpoint["channel_versions"] = values, versions
    config = {"configurable": {"thread_id": thread, "checkpoint_ns": ""}}
    if parent is not None:
        config["configurable"]["checkpoint_id"] = parent["configurable"]["checkpoint_id"]
    return saver.put(config, checkpoint, {"source": "loop", "step": 0, **metadata}, versions)


def record_sizes(saver, thread="t"):
    timeline = saver._branch(thread, "").timeline
    return [record.size for record in timeline.records()]


def test_a_long_list_is_stored_element_by_element(saver):
    """Appends, a removal in the middle and an overwrite each store about one element."""
    messages = [noise(i) for i in range(300)]
    config = put(saver, None, {"messages": list(messages)}, {"messages": 1})
    edits = [
        lambda m: m.append(noise(-1)),
        lambda m: m.pop(150),  # RemoveMessage in the middle
        lambda m: m.__setitem__(10, noise(-2)),  # the same id, new content
        lambda m: m.insert(5, noise(-3)),
        lambda m: m.__delitem__(slice(0, 0)),  # no change but a new version
    ]
    for version, edit in enumerate(edits, start=2):
        edit(messages)
        config = put(saver, config, {"messages": list(messages)}, {"messages": version})
        assert saver.get_tuple(config).checkpoint["channel_values"]["messages"] == messages
    first, *steps = reversed(record_sizes(saver))
    assert first > 300 * 64
    assert max(steps) < 400  # one element and the record's own fields, whatever the length
    while len(messages) > 2:  # shrink to where a whole value is cheaper: still the same list
        del messages[:100]
        version += 1
        config = put(saver, config, {"messages": list(messages)}, {"messages": version})
        assert saver.get_tuple(config).checkpoint["channel_values"]["messages"] == messages


def test_versions_that_did_not_move_keep_the_parents_value_and_new_versions_cannot_hide_a_change(saver):
    first = put(saver, None, {"a": "one", "b": "two"}, {"a": 1, "b": 1})
    checkpoint = empty_checkpoint()
    checkpoint["channel_values"] = {"a": "changed", "b": "stale copy"}
    checkpoint["channel_versions"] = {"a": 2, "b": 1}
    config = {
        "configurable": {
            "thread_id": "t",
            "checkpoint_ns": "",
            "checkpoint_id": first["configurable"]["checkpoint_id"],
        }
    }
    second = saver.put(config, checkpoint, {"source": "loop", "step": 1}, {})  # new_versions forgot "a"
    assert saver.get_tuple(second).checkpoint["channel_values"] == {"a": "changed", "b": "two"}
    assert saver.get_tuple(first).checkpoint["channel_values"] == {"a": "one", "b": "two"}


def test_a_re_put_id_replaces_its_checkpoint_and_latest_is_the_newest_by_sequence(saver):
    first = put(saver, None, {"a": 1}, {"a": 1})
    second = put(saver, first, {"a": 2}, {"a": 2})
    checkpoint = empty_checkpoint()
    checkpoint["id"] = first["configurable"]["checkpoint_id"]  # older id, newer record
    checkpoint["channel_values"], checkpoint["channel_versions"] = {"a": 3}, {"a": 3}
    saver.put(
        {"configurable": {"thread_id": "t", "checkpoint_ns": ""}}, checkpoint, {"source": "input"}, {"a": 3}
    )
    assert saver.get_tuple(first).checkpoint["channel_values"] == {"a": 3}
    latest = saver.get_tuple({"configurable": {"thread_id": "t"}})
    assert (
        latest.config["configurable"]["checkpoint_id"]
        == checkpoint["id"]
        != second["configurable"]["checkpoint_id"]
    )
    assert [
        t.checkpoint["channel_values"]["a"] for t in saver.list({"configurable": {"thread_id": "t"}})
    ] == [3, 2]
    assert list(saver.list({"configurable": {"thread_id": "t"}}, before=first)) == []  # ids below first's
    for decimal in ("7", "8"):  # ids the log cannot index by themselves
        checkpoint = empty_checkpoint()
        checkpoint["id"] = decimal
        saver.put({"configurable": {"thread_id": "t", "checkpoint_ns": ""}}, checkpoint, {}, {})
    assert saver.get_tuple({"configurable": {"thread_id": "t", "checkpoint_id": "7"}}).checkpoint["id"] == "7"


def _nested(depth, leaf):
    return leaf if depth == 0 else {"in": _nested(depth - 1, leaf)}


# Metadata the codec stores as it is, and metadata it must leave to the serde
# (bytes, non-str keys, nesting past the plain check's depth, ints past 64 bits,
# which the serde refuses): either way the serde's own round trip is the answer.
METADATA = [
    {"step": 3, "f": 1.5, "none": None, "flag": True, "s": "x", "parents": {}},
    {"wide": 2**64 - 1, "low": -(2**63)},
    {"wide": 2**64},
    {"low": -(2**63) - 1},
    {"deep": [1, [2, {"x": 2**70}]]},
    {"pair": (1, "x")},
    {"raw": b"bytes"},
    {"keys": {1: "an int key"}},
    {"keys": {(1, 2): "a tuple key"}},
    {"nested": _nested(31, 1)},
    {"nested": _nested(40, 1)},
]


@pytest.mark.parametrize("metadata", METADATA, ids=range(len(METADATA)))
def test_metadata_comes_back_as_the_serde_gives_it(saver, metadata):
    config = {"configurable": {"thread_id": "m", "checkpoint_ns": ""}}
    serde = saver.serde
    try:
        expected = serde.loads_typed(serde.dumps_typed(metadata))
    except TypeError:  # past what the serde encodes: the put refuses it as the serde does
        with pytest.raises(TypeError):
            saver.put(config, empty_checkpoint(), dict(metadata), {})
        return
    config = saver.put(config, empty_checkpoint(), dict(metadata), {})
    assert saver.get_tuple(config).metadata == expected


def test_versions_from_another_saver_go_on_as_strings(saver):
    copied = InMemorySaver().get_next_version(None, None)
    assert isinstance(copied, str)
    later = saver.get_next_version(copied, None)
    assert isinstance(later, str) and later > copied
    assert saver.get_next_version(None, None) == 1 and saver.get_next_version(41, None) == 42


def test_writes_sent_from_many_threads_come_back_in_task_order(saver):
    config = put(saver, None, {}, {})
    tasks = [f"task-{i:02}" for i in range(12)]

    def send(task):
        for idx in range(3):
            saver.put_writes(config, [(f"ch{idx}", f"{task}/{idx}")], task, task_path=f"~{task[::-1]}")
        saver.put_writes(config, [("ch0", "retried")], task)  # a retry: the first write stays
        saver.put_writes(config, [("__error__", f"{task} failed")], task)  # reserved: replaces
        saver.put_writes(config, [("__error__", f"{task} failed again")], task)

    threads = [threading.Thread(target=send, args=(task,)) for task in tasks]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    writes = saver.get_tuple(config).pending_writes
    expected = sorted(
        [(f"~{t[::-1]}", t, 0, "ch0", f"{t}/0") for t in tasks]
        + [("", t, -1, "__error__", f"{t} failed again") for t in tasks]
    )
    assert writes == [(task, channel, value) for _, task, _, channel, value in expected]


def test_single_writer_refuses_a_stale_second_worker(tmp_path):
    with DerirezaroSaver.sqlite(tmp_path / "c.db", single_writer=True) as one:
        with DerirezaroSaver.sqlite(tmp_path / "c.db", single_writer=True) as two:
            root = put(one, None, {"a": 1}, {"a": 1})
            put(two, root, {"a": 2}, {"a": 2})  # the second worker moves the head
            with pytest.raises(CheckpointConflict, match="'t'"):
                put(one, root, {"a": 3}, {"a": 3})
            with pytest.raises(CheckpointConflict):
                put(one, None, {"a": 3}, {"a": 3})  # a root on a thread that has checkpoints
            assert [
                t.checkpoint["channel_values"] for t in one.list({"configurable": {"thread_id": "t"}})
            ] == [
                {"a": 2},
                {"a": 1},
            ]
            update = put(one, root, {"a": 4}, {"a": 4}, source="update")  # a user's fork is allowed
            assert one.get_tuple(update).checkpoint["channel_values"] == {"a": 4}
    with DerirezaroSaver.sqlite(tmp_path / "d.db") as one, DerirezaroSaver.sqlite(tmp_path / "d.db") as two:
        assert two.get_tuple({"configurable": {"thread_id": "t"}}) is None  # two opens the thread empty
        root = put(one, None, {"a": 1}, {"a": 1})
        other_root = put(two, None, {"b": 1}, {"b": 1})  # built on what one wrote since: no conflict
        assert two.get_tuple(other_root).checkpoint["channel_values"] == {"b": 1}
        put(two, root, {"a": 2}, {"a": 2})
        fork = put(one, root, {"a": 3}, {"a": 3})  # without the option: a fork from its parent
        assert (
            one.get_tuple(fork).parent_config["configurable"]["checkpoint_id"]
            == root["configurable"]["checkpoint_id"]
        )


class PickyJson(JsonPlusSerializer):
    def loads_typed(self, data):
        if b"poison" in data[1]:
            raise ValueError("not allowed")
        return super().loads_typed(data)


def test_a_value_the_serde_refuses_is_an_error_naming_the_channel_never_none():
    with DerirezaroSaver.memory(serde=PickyJson()) as saver:
        config = put(saver, None, {"ok": "fine", "bad": "poison"}, {"ok": 1, "bad": 1})
        with pytest.raises(CheckpointDecodeError, match="channel 'bad'") as raised:
            saver.get_tuple(config)
        assert isinstance(raised.value.__cause__, ValueError) and raised.value.checkpoint_id
        config = put(saver, None, {}, {}, thread="other")
        saver.put_writes(config, [("w", "poison")], "task")
        with pytest.raises(CheckpointDecodeError, match="pending write to 'w'"):
            list(saver.list({"configurable": {"thread_id": "other"}}))


def damage(path):
    """Every value blob the saver wrote: (table, columns, row, column, value).

    Not the key columns: a write whose key is damaged is a write no longer found, which
    nothing can tell from one never written.
    """
    with sqlite3.connect(path) as db:
        for table in ("derirezaro_records", "derirezaro_langgraph_writes"):
            names = [c[1] for c in db.execute(f"PRAGMA table_info({table})")]
            for row in db.execute(f"SELECT * FROM {table}"):
                for column, value in zip(names, row, strict=True):
                    if isinstance(value, bytes) and value and column in ("meta", "body", "blob"):
                        yield table, names, row, column, value


def test_one_flipped_bit_anywhere_is_reported_naming_thread_and_checkpoint(tmp_path):
    path = tmp_path / "c.db"
    with DerirezaroSaver.sqlite(path) as saver:
        history_of_a_session(saver)
    with DerirezaroSaver.sqlite(path) as saver:
        assert len(list(saver.list(None))) > 10  # sound, before any damage
        head = saver.get_tuple({"configurable": {"thread_id": "t1"}}).config
    cases = list(damage(path))
    assert len(cases) > 50
    refused_puts = 0
    for table, names, row, column, value in cases[:: max(1, len(cases) // 60)]:
        position = len(value) // 2
        flipped = value[:position] + bytes([value[position] ^ 0x10]) + value[position + 1 :]
        keys = [n for n in names if n in ("timeline", "seq", "checkpoint", "task", "idx")]
        where = " AND ".join(f"{k} = ?" for k in keys)
        args = [row[names.index(k)] for k in keys]
        with sqlite3.connect(path) as db:
            db.execute(f"UPDATE {table} SET {column} = ? WHERE {where}", [flipped, *args])
        try:
            with DerirezaroSaver.sqlite(path) as saver:
                with pytest.raises(CorruptCheckpoint) as raised:
                    list(saver.list(None))  # every damaged byte is found; none reads as data
                assert raised.value.thread_id == "t1"
                if column in ("body", "blob"):
                    assert raised.value.checkpoint_id, (table, column)
            with DerirezaroSaver.sqlite(path) as saver:  # a put that replays damage names it too
                try:
                    put(saver, head, {"n": 1}, {"n": 1}, thread="t1")
                except CorruptCheckpoint as exc:
                    assert exc.thread_id == "t1"
                    refused_puts += 1
        finally:
            with sqlite3.connect(path) as db:
                db.execute(f"UPDATE {table} SET {column} = ? WHERE {where}", [value, *args])
    assert refused_puts > 0


def test_delete_prune_and_copy_reclaim_what_they_remove(tmp_path):
    with DerirezaroSaver.sqlite(tmp_path / "c.db") as saver:
        config = None
        for step in range(40):
            config = put(
                saver, config, {"n": step, "big": noise(step, 1000)}, {"n": step + 1, "big": step + 1}
            )
        saver.put_writes(config, [("w", 1)], "task")
        saver.copy_thread("t", "copy")
        saver.prune(["t"])
        kept = list(saver.list({"configurable": {"thread_id": "t"}}))
        assert [t.checkpoint["channel_values"]["n"] for t in kept] == [39] and kept[0].pending_writes
        assert len(record_sizes(saver)) < 40
        copied = list(saver.list({"configurable": {"thread_id": "copy"}}))
        assert [t.checkpoint["channel_values"]["n"] for t in copied] == list(range(39, -1, -1))
        assert copied[0].pending_writes == [("task", "w", 1)]
        saver.delete_thread("copy")
        assert saver.log.timelines() == [timeline_name("t", "")]
        assert SQLiteLog(tmp_path / "c.db").reader().execute(
            "SELECT count(*) FROM derirezaro_langgraph_writes WHERE timeline = ?",
            (timeline_name("copy", ""),),
        ).fetchone() == (0,)


def test_a_thread_with_a_ttl_expires_whole():
    client = redis.Redis.from_url(shared_url())
    prefix = fresh_prefix()
    with DerirezaroSaver.redis(client, prefix=prefix, ttl=0.5) as saver:
        config = put(saver, None, {"a": 1}, {"a": 1})
        saver.put_writes(config, [("w", 1)], "task")
        assert len(client.keys(f"{prefix}:*")) == 5  # the records' four keys and the writes beside them
        deadline = time.monotonic() + 5
        while client.keys(f"{prefix}:*"):
            assert time.monotonic() < deadline
            time.sleep(0.02)
        saver._branches.clear()
        assert saver.get_tuple({"configurable": {"thread_id": "t"}}) is None


def test_threads_whose_ids_look_like_patterns_or_prefixes_stay_apart(saver):
    threads = ["a", "a*", "a?", "a[1]", "a{x}", "a/b", "ab", "1/a"]
    for thread in threads:
        config = put(saver, None, {"who": thread}, {"who": 1}, thread=thread)
        saver.put(
            {"configurable": {**config["configurable"], "checkpoint_ns": "child:1"}},
            empty_checkpoint(),
            {"source": "loop"},
            {},
        )
    for thread in threads:
        listed = list(saver.list({"configurable": {"thread_id": thread}}))
        assert {t.config["configurable"]["checkpoint_ns"] for t in listed} == {"", "child:1"}, thread
    saver.delete_thread("a*")
    saver.copy_thread("a?", "a")  # onto a thread that has checkpoints: the copies are added
    left = {t.config["configurable"]["thread_id"] for t in saver.list(None)}
    assert left == set(threads) - {"a*"}
    assert len(list(saver.list({"configurable": {"thread_id": "a", "checkpoint_ns": ""}}))) == 2


def test_delta_channel_history_walks_the_parents_as_the_reference_does(saver):
    histories = []
    for each in (InMemorySaver(), saver):
        first = put(each, None, {"a": "seed", "b": "kept"}, {"a": 1, "b": 1})
        each.put_writes(first, [("a", "w1"), ("b", "x")], "task1")
        fork = put(each, first, {"b": "kept"}, {"a": 2, "b": 1})  # "a" now has no stored value
        each.put_writes(fork, [("a", "w2")], "task2")
        put(each, first, {"a": "other branch", "b": "kept"}, {"a": 5, "b": 1})
        newest = put(each, fork, {"b": "kept"}, {"a": 3, "b": 1})
        histories.append(each.get_delta_channel_history(config=newest, channels=["a", "b"]))
    assert histories[1] == histories[0]
    assert histories[1]["a"] == {"writes": [("task1", "a", "w1"), ("task2", "a", "w2")], "seed": "seed"}


def test_a_thread_another_writer_deleted_and_wrote_anew_is_read_and_extended_as_the_log_has_it(tmp_path):
    with DerirezaroSaver.sqlite(tmp_path / "c.db") as one, DerirezaroSaver.sqlite(tmp_path / "c.db") as two:
        first = put(one, None, {"x": "old-1"}, {"x": 1})
        put(one, first, {"x": "old-2", "y": "old"}, {"x": 2, "y": 1})
        assert one.get_tuple({"configurable": {"thread_id": "t"}}).checkpoint["channel_values"]["y"] == "old"
        two.delete_thread("t")
        anew = put(two, None, {"x": "new-1"}, {"x": 1})
        put(two, anew, {"x": "new-2"}, {"x": 2})  # the same seqs as before, other records
        latest = one.get_tuple({"configurable": {"thread_id": "t"}})
        assert latest.checkpoint["channel_values"] == {"x": "new-2"}
        assert latest.parent_config["configurable"]["checkpoint_id"] == anew["configurable"]["checkpoint_id"]
        two.delete_thread("t")
        root = put(one, None, {"x": "root"}, {"x": 1})  # on a branch of a timeline that is gone
        put(two, first, {"x": "fork"}, {"x": 9})  # a parent the thread no longer holds: as given
    with DerirezaroSaver.sqlite(tmp_path / "c.db") as fresh:
        assert fresh._branch("t", "").timeline.verify() == []
        values = [t.checkpoint["channel_values"] for t in fresh.list({"configurable": {"thread_id": "t"}})]
        assert values == [{"x": "fork"}, {"x": "root"}]
        assert fresh.get_tuple(root).checkpoint["channel_values"] == {"x": "root"}


@pytest.fixture(params=["memory", "sqlite", "redis"])
def two_writers(request, tmp_path):
    """Two savers on one log, as two processes have them: each with caches of its own."""
    if request.param == "memory":
        first = DerirezaroSaver.memory()
        second = DerirezaroSaver(first.log, writes=first._writes)
    elif request.param == "sqlite":
        first, second = (DerirezaroSaver.sqlite(tmp_path / "c.db") for _ in range(2))
    else:
        prefix = fresh_prefix()
        first, second = (DerirezaroSaver.redis(shared_url(), prefix=prefix) for _ in range(2))
    with first, second:
        yield first, second


def test_a_thread_rewritten_by_another_writer_under_a_savers_caches(two_writers):
    """Deleted and written anew up to the same seqs: no cached state stands in for the new records."""
    one, two = two_writers
    latest = {"configurable": {"thread_id": "t"}}
    for rewrite in range(2):
        first = put(one, None, {"x": "old-1"}, {"x": 1})
        second = put(one, first, {"x": "old-2", "y": "old"}, {"x": 2, "y": 1})
        forker = DerirezaroSaver(one.log, writes=one._writes)  # a third process: caches of its own
        put(forker, first, {"x": "fork"}, {"x": 3})  # it caches the state of seq 1, the fork's parent
        two.delete_thread("t")
        anew = put(two, None, {"x": f"new-{rewrite}"}, {"x": 1})
        assert forker.get_tuple(latest).checkpoint["channel_values"] == {"x": f"new-{rewrite}"}
        put(two, anew, {"x": "new-2"}, {"x": 2})
        # A step of a graph still running on the old thread, whose head had the new head's seq.
        mine = put(one, second, {"x": "old-3", "y": "old"}, {"x": 3, "y": 1})
        for reader in (one, two, forker, DerirezaroSaver(one.log, writes=one._writes)):
            assert reader.get_tuple(mine).checkpoint["channel_values"] == {"x": "old-3", "y": "old"}
            assert reader.get_tuple(anew).checkpoint["channel_values"] == {"x": f"new-{rewrite}"}
        two.delete_thread("t")


def test_a_mark_that_fails_after_its_record_landed_leaves_saver_and_log_agreeing(saver, monkeypatch):
    first = put(saver, None, {"a": "a1", "b": "b1"}, {"a": 1, "b": 1})
    second = put(saver, first, {"a": "a2", "b": "b2"}, {"a": 2, "b": 2})
    again = empty_checkpoint()
    again["id"] = second["configurable"]["checkpoint_id"]  # a re-put: its record needs a mark
    again["channel_values"], again["channel_versions"] = {"a": "a3", "b": "b2"}, {"a": 3, "b": 2}
    real_add = saver._writes.add

    def failing(*args):
        raise OSError("disk full")

    monkeypatch.setattr(saver._writes, "add", failing)
    with pytest.raises(OSError):
        saver.put(first, again, {"source": "update"}, {"a": 3})
    monkeypatch.setattr(saver._writes, "add", real_add)
    third = put(
        saver, {"configurable": {"checkpoint_id": again["id"]}}, {"a": "a4", "b": "b2"}, {"a": 4, "b": 2}
    )
    assert saver.get_tuple(third).checkpoint["channel_values"] == {"a": "a4", "b": "b2"}
    saver._branches.clear()  # what the log holds, read afresh
    assert saver.get_tuple(third).checkpoint["channel_values"] == {"a": "a4", "b": "b2"}


def test_readers_and_a_writer_share_one_saver(saver):
    config, configs = None, []
    for step in range(60):
        config = put(saver, config, {"n": step, "big": noise(step)}, {"n": step + 1, "big": step + 1})
        configs.append(config)
    errors = []

    def read(seed):
        rng = random.Random(seed)
        try:
            for _ in range(300):
                i = rng.randrange(len(configs))
                assert saver.get_tuple(configs[i]).checkpoint["channel_values"]["n"] == i
        except Exception as exc:  # reported below, with the thread's seed
            errors.append((seed, repr(exc)))

    threads = [threading.Thread(target=read, args=(seed,)) for seed in range(6)]
    for thread in threads:
        thread.start()
    for step in range(60, 90):
        config = put(saver, config, {"n": step, "big": noise(step)}, {"n": step + 1, "big": step + 1})
    for thread in threads:
        thread.join()
    assert errors == []


def test_single_writer_builds_on_the_newest_checkpoint_a_reader_sees(tmp_path):
    with DerirezaroSaver.sqlite(tmp_path / "c.db", single_writer=True) as saver:
        first = put(saver, None, {"a": 1}, {"a": 1}, run_id="r1")
        put(saver, first, {"a": 2}, {"a": 2}, run_id="r2")
        saver.delete_for_runs(["r2"])
        saver._branches.clear()
        assert saver.get_tuple({"configurable": {"thread_id": "t"}}).config == first
        assert saver.get_tuple(put(saver, first, {"a": 3}, {"a": 3})).checkpoint["channel_values"] == {"a": 3}


def test_prune_hides_a_fork_off_the_kept_chain_and_a_listing_ends_where_a_delete_cut_it(saver):
    first = put(saver, None, {"a": 1}, {"a": 1})
    sibling = put(saver, first, {"a": 2}, {"a": 2})
    newest = put(saver, first, {"a": 3}, {"a": 3}, counters_since_delta_snapshot={"a": [0, 1]})
    saver.put_writes(sibling, [("w", 1)], "task")
    saver.prune(["t"])  # the newest and the parent its delta channel replays stay
    ids = [
        t.config["configurable"]["checkpoint_id"] for t in saver.list({"configurable": {"thread_id": "t"}})
    ]
    assert ids == [c["configurable"]["checkpoint_id"] for c in (newest, first)]
    assert saver.get_tuple(sibling) is None

    class DeletingSerde(JsonPlusSerializer):  # the thread deleted while a listing decodes a value
        deleted = False

        def loads_typed(self, data):
            if not self.deleted:
                self.deleted = True
                saver.delete_thread("u")
            return super().loads_typed(data)

    config = None
    for step in range(4):  # bytes in the metadata: the serde decodes it before the state is read
        config = put(saver, config, {"a": step}, {"a": step + 1}, thread="u", tag=b"x")
    lister = DerirezaroSaver(saver.log, writes=saver._writes, serde=DeletingSerde())  # the head cached alone
    listed = list(lister.list({"configurable": {"thread_id": "u"}}))  # ends where the delete cut it
    assert [t.config for t in listed] == [config]
    assert lister.get_tuple(config) is None


def test_prune_keeps_what_a_delta_channel_replays():
    from langgraph.channels import DeltaChannel

    def extend(value, writes):
        return [*(value or []), *(item for write in writes for item in write)]

    class Log(TypedDict):
        log: Annotated[list, DeltaChannel(extend, list, snapshot_frequency=3)]

    builder = StateGraph(Log)
    builder.add_node("n", lambda state: {"log": [len(state["log"])]})
    builder.add_edge(START, "n")
    with DerirezaroSaver.memory() as saver:
        graph = builder.compile(checkpointer=saver)
        config = {"configurable": {"thread_id": "t"}}
        for _ in range(5):
            graph.invoke({"log": []}, config)
        before = graph.get_state(config).values
        saver.prune(["t"])
        assert graph.get_state(config).values == before == {"log": [0, 1, 2, 3, 4]}
        assert len(list(saver.list(config))) < 10  # what the channel does not need is gone

"""DerirezaroSaver in real graphs against LangGraph's own InMemorySaver, and under damage and races.

The graph: an agent that appends long messages, a fan-out of three nodes into one list, a
review that interrupts, and a user who removes a message in the middle, overwrites another,
forks from an old checkpoint and replays from another. Every log must give the history the
reference saver gives, checkpoint for checkpoint.
"""

import operator
import random
import threading
import time
import uuid
from typing import Annotated, TypedDict

import pytest
import redis
from derirezaro.langgraph import CheckpointDecodeError, CorruptCheckpoint, DerirezaroSaver
from derirezaro.langgraph.branch import thread_prefix, timeline_name
from derirezaro.langgraph.marks import mark
from derirezaro.persist import MemoryLog
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
    reopened = graph_with(DerirezaroSaver(saver.log))  # as another process reads it
    assert normalized(list(reopened.get_state_history({"configurable": {"thread_id": "t1"}}))) == expected


def noise(seed, size=100):
    """Text that compression cannot shrink much, so stored sizes show what was written."""
    return random.Random(seed).randbytes(size // 2).hex()


def put(saver, parent, values, versions, thread="t", ns="", id=None, source="loop", **metadata):
    """A put of `values` on `parent` (a config, or None for a root), as a running graph makes it."""
    checkpoint = empty_checkpoint()
    checkpoint["channel_values"], checkpoint["channel_versions"] = values, versions
    if id is not None:
        checkpoint["id"] = id
    config = {"configurable": {"thread_id": thread, "checkpoint_ns": ns}}
    if parent is not None:
        config["configurable"]["checkpoint_id"] = parent["configurable"]["checkpoint_id"]
    return saver.put(config, checkpoint, {"source": source, "step": 0, **metadata}, versions)


def values_of(saver, thread="t", **options):
    return [
        t.checkpoint["channel_values"] for t in saver.list({"configurable": {"thread_id": thread}}, **options)
    ]


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
    first, *steps = reversed([record.size for record in saver._branch("t", "").timeline.records()])
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
    config = {"configurable": {"thread_id": "t", "checkpoint_ns": "", **first["configurable"]}}
    second = saver.put(config, checkpoint, {"source": "loop", "step": 1}, {})  # new_versions forgot "a"
    assert saver.get_tuple(second).checkpoint["channel_values"] == {"a": "changed", "b": "two"}
    assert saver.get_tuple(first).checkpoint["channel_values"] == {"a": "one", "b": "two"}


def test_listings_follow_a_model_of_puts_re_puts_deletes_and_namespaces(saver):
    """Puts of fresh, re-put and decimal ids over three namespaces, and deletes of runs, against a model.

    Listed: each id's newest put, newest first per namespace, the namespaces in order; `before`
    keeps smaller ids over the whole thread (ids are put out of their order), `limit` counts
    across namespaces; "latest" is the newest put, not the largest id.
    """
    rng = random.Random(7)
    pool = [str(uuid.UUID(int=rng.getrandbits(128))) for _ in range(60)]
    decimals = iter(range(100, 1000))
    model = {ns: [] for ns in ("", "child:1", "child:2")}  # (id, value, run) in the order of newest put
    for step in range(60):
        ns = rng.choice(list(model))
        draw = rng.random()
        if draw < 0.2 and model[ns]:
            checkpoint_id = rng.choice(model[ns])[0]  # a re-put: its newest record wins
        else:
            checkpoint_id = str(next(decimals)) if draw < 0.3 else pool.pop()
        parent = {"configurable": {"checkpoint_id": model[ns][-1][0]}} if model[ns] else None
        run = f"r{rng.randrange(6)}"
        put(saver, parent, {"v": step}, {"v": step + 1}, ns=ns, id=checkpoint_id, run_id=run)
        model[ns] = [e for e in model[ns] if e[0] != checkpoint_id] + [(checkpoint_id, step, run)]
        if step % 20 == 19:
            doomed = f"r{rng.randrange(6)}"
            saver.delete_for_runs([doomed])
            for entries in model.values():
                entries[:] = [e for e in entries if e[2] != doomed]
    listed = [(ns, c, value) for ns in sorted(model) for c, value, _ in reversed(model[ns])]
    thread = {"configurable": {"thread_id": "t"}}
    for before in [None, *rng.sample([c for _, c, _ in listed], 6)]:
        cursor = None if before is None else {"configurable": {"checkpoint_id": before}}
        for limit in (None, 1, 3, len(listed) - 1):
            got = [
                (
                    t.config["configurable"]["checkpoint_ns"],
                    t.checkpoint["id"],
                    t.checkpoint["channel_values"]["v"],
                )
                for t in saver.list(thread, before=cursor, limit=limit)
            ]
            assert got == [e for e in listed if before is None or e[1] < before][:limit], (before, limit)
    for ns, checkpoint_id, value in listed:
        config = {"configurable": {"thread_id": "t", "checkpoint_ns": ns, "checkpoint_id": checkpoint_id}}
        assert saver.get_tuple(config).checkpoint["channel_values"] == {"v": value}
    for ns, entries in model.items():
        latest = saver.get_tuple({"configurable": {"thread_id": "t", "checkpoint_ns": ns}})
        assert (latest and latest.checkpoint["id"]) == (entries and entries[-1][0]), ns


def test_a_re_put_and_its_mark_as_the_previous_release_wrote_them_read_as_they_did(saver):
    first = put(saver, None, {"a": 1}, {"a": 1})
    checkpoint_id, timeline = first["configurable"]["checkpoint_id"], saver._branch("t", "").timeline
    meta = [
        checkpoint_id,
        True,
        *timeline.record(checkpoint_id).meta[2:],
    ]  # under no id; the mark names seq 2
    timeline.commit(meta=meta, attach={checkpoint_id: [mark(timeline.name, checkpoint_id, 2)]})
    fresh = DerirezaroSaver(saver.log)
    assert [t.checkpoint["id"] for t in fresh.list({"configurable": {"thread_id": "t"}})] == [checkpoint_id]
    assert fresh.get_tuple(first).parent_config["configurable"]["checkpoint_id"] == checkpoint_id  # seq 2's


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

    def send(task, last):
        for idx in range(3):
            saver.put_writes(config, [(f"ch{idx}", f"{task}/{idx}")], task, task_path=f"~{task[::-1]}")
        saver.put_writes(config, [("ch0", "retried")], task)  # a retry: the first write stays
        saver.put_writes(config, [("__error__", f"{task} failed")], task)  # reserved: replaces
        saver.put_writes(config, [("__error__", f"{task} {last}")], task)

    def expected(last):
        return [
            (task, channel, value)
            for _, task, _, channel, value in sorted(
                [(f"~{t[::-1]}", t, 0, "ch0", f"{t}/0") for t in tasks]
                + [("", t, -1, "__error__", f"{t} {last}") for t in tasks]
            )
        ]

    for last in ("failed again", "failed at last"):  # the second time over writes this saver has read
        threads = [threading.Thread(target=send, args=(task, last)) for task in tasks]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert saver.get_tuple(config).pending_writes == expected(last)


class PickyJson(JsonPlusSerializer):
    dumped_boom = 0

    def dumps_typed(self, obj):
        if obj == "boom":
            self.dumped_boom += 1
            raise KeyError("the serde's own")  # never taken for a record the log lost
        return super().dumps_typed(obj)

    def loads_typed(self, data):
        if b"poison" in data[1]:
            raise ValueError("not allowed")
        return super().loads_typed(data)


def test_a_value_the_serde_refuses_is_an_error_naming_the_channel_never_none_nor_a_retry():
    with DerirezaroSaver.memory(serde=PickyJson()) as saver:
        config = put(saver, None, {"ok": "fine", "bad": "poison"}, {"ok": 1, "bad": 1})
        with pytest.raises(CheckpointDecodeError, match="channel 'bad'") as raised:
            saver.get_tuple(config)
        assert isinstance(raised.value.__cause__, ValueError) and raised.value.checkpoint_id
        config = put(saver, None, {}, {}, thread="other")
        with pytest.raises(KeyError, match="the serde's own"):
            put(saver, config, {"ok": "boom"}, {"ok": 2}, thread="other")
        assert saver.serde.dumped_boom == 1 and len(values_of(saver, "other")) == 1
        saver.put_writes(config, [("w", "poison")], "task")
        with pytest.raises(CheckpointDecodeError, match="pending write to 'w'"):
            list(saver.list({"configurable": {"thread_id": "other"}}))


class Damaged:
    """A log that gives one stored value back with one bit flipped: a record's meta or body, or an entry."""

    def __init__(self, log, where):
        self.log, self.where = log, where  # (timeline, seq, field) or (timeline, key, task, idx)

    def __getattr__(self, name):
        call = getattr(self.log, name)
        if name not in ("read", "headers", "listing", "attachments"):
            return call
        return lambda timeline, *args, **options: self._damaged(timeline, call(timeline, *args, **options))

    def _damaged(self, timeline, found):
        if isinstance(found, tuple):  # a listing: rows and entries
            return self._damaged(timeline, found[0]), self._damaged(timeline, found[1])
        if isinstance(found, dict):
            return {
                key: [(t, i, flip(b) if self.where == (timeline, key, t, i) else b) for t, i, b in entries]
                for key, entries in found.items()
            }
        seq, field = self.where[1:] if len(self.where) == 3 else (None, None)
        return [
            row._replace(**{field: flip(getattr(row, field))})
            if (timeline, row.seq) == self.where[:2] and field and getattr(row, field)
            else row
            for row in found
        ]


def flip(data):
    return data[: len(data) // 2] + bytes([data[len(data) // 2] ^ 0x10]) + data[len(data) // 2 + 1 :]


def test_one_flipped_bit_anywhere_is_reported_naming_thread_and_checkpoint():
    log = MemoryLog()
    history_of_a_session(DerirezaroSaver(log))
    name = timeline_name("t1", "")
    ids = [t.checkpoint["id"] for t in DerirezaroSaver(log).list(None)]
    places = [
        (name, row.seq, field) for row in log.read(name, 1, log.head(name).seq) for field in ("meta", "body")
    ]
    places += [
        (name, key, task, idx)
        for key, entries in log.attachments(name, ids).items()
        for task, idx, _ in entries
    ]
    assert len(places) > 50 and any(len(place) == 4 for place in places)
    refused_puts = 0
    for where in places:
        with pytest.raises(CorruptCheckpoint) as raised:
            list(
                DerirezaroSaver(Damaged(log, where)).list(None)
            )  # every damaged byte is found; none reads as data
        assert raised.value.thread_id == "t1"
        assert raised.value.checkpoint_id or where[-1] == "meta", where  # a damaged header cannot name its id
        try:
            saver = DerirezaroSaver(Damaged(log, where))  # a put that replays damage names it too
            put(saver, {"configurable": {"checkpoint_id": ids[0]}}, {"n": 1}, {"n": 1}, thread="t1")
        except CorruptCheckpoint as exc:
            assert exc.thread_id == "t1"
            refused_puts += 1
    assert refused_puts > 0


def test_delete_prune_and_copy_reclaim_what_they_remove(saver):
    configs = []
    for step in range(40):
        parent = configs[-1] if configs else None
        configs.append(
            put(saver, parent, {"n": step, "big": noise(step, 1000)}, {"n": step + 1, "big": step + 1})
        )
        saver.put_writes(configs[-1], [("w", step)], "task")
    ids = [config["configurable"]["checkpoint_id"] for config in configs]
    saver.copy_thread("t", "copy")
    saver.prune(["t"])
    kept = list(saver.list({"configurable": {"thread_id": "t"}}))
    assert [(t.checkpoint["channel_values"]["n"], t.pending_writes) for t in kept] == [
        (39, [("task", "w", 39)])
    ]
    name, copy = timeline_name("t", ""), timeline_name("copy", "")
    assert saver.log.head(name).first > 1  # records reclaimed
    assert list(saver.log.attachments(name, ids)) == [ids[-1]]  # and the pending writes of those pruned
    copied = list(saver.list({"configurable": {"thread_id": "copy"}}))
    assert [(t.checkpoint["channel_values"]["n"], t.pending_writes) for t in copied] == [
        (n, [("task", "w", n)]) for n in range(39, -1, -1)
    ]
    saver.delete_thread("copy")
    assert saver.log.timelines(thread_prefix("copy")) == [] and saver.log.attachments(copy, ids) == {}
    assert saver.log.timelines("lg/") == [name]


def test_a_thread_with_a_ttl_expires_whole():
    with DerirezaroSaver.redis(redis.Redis.from_url(shared_url()), prefix=fresh_prefix(), ttl=0.5) as saver:
        config = put(saver, None, {"a": 1}, {"a": 1})
        saver.put_writes(config, [("w", 1)], "task")
        name, ids = timeline_name("t", ""), [config["configurable"]["checkpoint_id"]]
        assert saver.log.attachments(name, ids)
        deadline = time.monotonic() + 5
        while saver.log.head(name) is not None or saver.log.attachments(name, ids):
            assert time.monotonic() < deadline
            time.sleep(0.02)
        assert saver.get_tuple({"configurable": {"thread_id": "t"}}) is None


def test_threads_whose_ids_look_like_patterns_or_prefixes_stay_apart(saver):
    threads = ["a", "a*", "a?", "a[1]", "a{x}", "a/b", "ab", "1/a"]
    for thread in threads:
        config = put(saver, None, {"who": thread}, {"who": 1}, thread=thread)
        put(saver, config, {}, {}, thread=thread, ns="child:1")  # a parent the child namespace takes as given
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

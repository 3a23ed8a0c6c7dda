"""DerirezaroSaver in real graphs against LangGraph's own InMemorySaver, and what its README promises
beyond LangGraph's conformance suite (test_langgraph_conformance.py): what a step stores, listings
and first reads of a head against a model, pending writes, errors that name where, reclaimed space,
and what a saver that has read nothing of a thread yet replays to read its head.

The graph: an agent that appends long messages, a fan-out of three nodes into one list and into
a delta channel (a snapshot now and then, the writes since replayed from the parents), a review
that interrupts, and a user who removes a message in the middle, overwrites another, forks from
an old checkpoint and replays from another. Every log must give the history the reference saver
gives, checkpoint for checkpoint, and keep it whole through a prune.
"""

import functools
import operator
import random
import sqlite3
import uuid
from concurrent.futures import ThreadPoolExecutor
from typing import Annotated, TypedDict

import pytest
from conftest import langgraph_or_skip

langgraph_or_skip()

import postgres_server
from derirezaro import Store
from derirezaro._core import loads
from derirezaro.langgraph import CheckpointDecodeError, CorruptCheckpoint, DerirezaroSaver
from derirezaro.langgraph.branch import timeline_name
from derirezaro.persist import CorruptRecordError, MemoryLog
from derirezaro.persist.log_base import LogBase
from derirezaro.persist.record import KEYFRAME
from derirezaro.persist.timeline import Timeline, Tuning
from langchain_core.messages import AIMessage, HumanMessage, RemoveMessage
from langgraph.channels import DeltaChannel
from langgraph.checkpoint.base import empty_checkpoint
from langgraph.checkpoint.memory import InMemorySaver
from langgraph.checkpoint.serde.jsonplus import JsonPlusSerializer
from langgraph.graph import END, START, StateGraph
from langgraph.graph.message import add_messages
from langgraph.types import Command, interrupt
from redis_server import fresh_prefix, shared_url


def appended(value, writes):
    return [*(value or []), *sum(writes, [])]


class State(TypedDict):
    messages: Annotated[list, add_messages]
    notes: Annotated[list, operator.add]
    steps: Annotated[list, DeltaChannel(appended, list, snapshot_frequency=3)]
    count: int


def graph_with(saver):
    def agent(state):
        n = state.get("count", 0) + 1
        return {"messages": [AIMessage(f"reply {n} " + "x" * 80, id=f"ai-{n}")], "count": n, "steps": [n]}

    def review(state):
        return {"notes": [f"review:{interrupt({'question': 'ok?', 'count': state['count']})}"]}

    builder = StateGraph(State)
    builder.add_node("agent", agent)
    builder.add_node("review", review)
    for name in ("a", "b", "c"):  # run in parallel: their writes land in one step, in task order
        builder.add_node(
            name, lambda state, name=name: {"notes": [f"{name}:{state['count']}"], "steps": [name]}
        )
        builder.add_edge("agent", name)
        builder.add_edge(name, "review")
    builder.add_edge(START, "agent")
    builder.add_conditional_edges("review", lambda state: END if state["count"] >= 3 else "agent")
    return builder.compile(checkpointer=saver)


def history_of_a_session(saver):
    graph, config = graph_with(saver), {"configurable": {"thread_id": "t1"}}
    graph.invoke({"messages": [HumanMessage("hi", id="h-1")], "count": 0}, config)
    graph.invoke(Command(resume="yes"), config)
    edit = [RemoveMessage(id="ai-1"), AIMessage("edited " + "y" * 80, id="ai-2")]
    graph.update_state(config, {"messages": edit}, as_node="agent")
    graph.invoke(Command(resume="again"), config)
    history = list(graph.get_state_history(config))
    fork = graph.update_state(history[len(history) // 2].config, {"notes": ["forked"]}, as_node="a")
    graph.invoke(None, fork)
    graph.invoke(None, history[-3].config)  # a replay from an old checkpoint
    return normalized(graph.get_state_history(config))


def normalized(history):
    """Snapshots with checkpoint ids replaced by their order of appearance, run ids dropped."""
    order = {}

    def name(config):
        return config and order.setdefault(config["configurable"]["checkpoint_id"], len(order))

    return [
        (
            name(snap.config),
            name(snap.parent_config),
            snap.values,
            snap.next,
            {k: v for k, v in snap.metadata.items() if k != "run_id"},
            [(t.name, [i.value for i in t.interrupts], t.result) for t in snap.tasks],
        )
        for snap in history
    ]


class ComposedLog(MemoryLog):
    """A log without a one-read opening: the timeline composes it from the other reads."""

    opening = LogBase.opening


def opener(kind, tmp_path):
    """Opens savers on one log of `kind`, as processes have them: each with caches of its own."""
    memory, composed = MemoryLog(), ComposedLog()
    prefix, tables = fresh_prefix(), postgres_server.fresh_prefix()
    return {
        "memory": lambda: DerirezaroSaver(memory),
        "composed": lambda: DerirezaroSaver(composed),
        "sqlite": lambda: DerirezaroSaver.sqlite(tmp_path / "checkpoints.db"),
        "redis": lambda: DerirezaroSaver.redis(shared_url(), prefix=prefix),
        "postgres": lambda: DerirezaroSaver.postgres(
            postgres_server.shared_url(), prefix=tables, pool_size=2
        ),
    }[kind]


@pytest.fixture(params=["memory", "sqlite", "redis", "postgres"])
def saver(request, tmp_path):
    with opener(request.param, tmp_path)() as made:
        yield made


def test_a_session_with_interrupts_edits_forks_and_replays_has_the_reference_history(saver):
    expected, config = history_of_a_session(InMemorySaver()), {"configurable": {"thread_id": "t1"}}
    assert len(expected) > 10 and history_of_a_session(saver) == expected
    reopened = graph_with(DerirezaroSaver(saver.log))  # as another process reads it
    assert normalized(reopened.get_state_history(config)) == expected
    saver.prune(["t1"])  # keeps the head and the parents its delta channel replays
    assert reopened.get_state(config).values == expected[0][2] and len(list(saver.list(config))) < 5


def noise(seed, size=100):
    """Text that compression cannot shrink much, so stored sizes show what was written."""
    return random.Random(seed).randbytes(size // 2).hex()


def put(saver, parent, values, versions, thread="t", ns="", id=None, source="loop", new=None, **metadata):
    """A put of `values` on `parent` (a config, or None for a root), as a running graph makes it; `new`:
    the new versions it names, if not all of them."""
    checkpoint = {**empty_checkpoint(), "channel_values": values, "channel_versions": versions}
    checkpoint["id"] = id or checkpoint["id"]
    on = {} if parent is None else {"checkpoint_id": parent["configurable"]["checkpoint_id"]}
    config = {"configurable": {"thread_id": thread, "checkpoint_ns": ns, **on}}
    meta = {"source": source, "step": 0, **metadata}
    return saver.put(config, checkpoint, meta, versions if new is None else new)


def where(tup):
    return tup.config["configurable"]["checkpoint_ns"], tup.checkpoint["id"]


def parent_id(tup):
    return tup.parent_config and tup.parent_config["configurable"]["checkpoint_id"]


def values_of(saver, thread="t"):
    return [t.checkpoint["channel_values"] for t in saver.list({"configurable": {"thread_id": thread}})]


def test_versions_decide_what_a_put_stores_and_go_on_as_the_thread_has_them(saver):
    first = put(saver, None, {"a": "one", "b": "two"}, {"a": 1, "b": 1})
    # The new versions forgot "a", whose version moved all the same; "b"'s did not, whatever its value says.
    second = put(saver, first, {"a": "changed", "b": "stale copy"}, {"a": 2, "b": 1}, new={})
    assert saver.get_tuple(second).checkpoint["channel_values"] == {"a": "changed", "b": "two"}
    assert saver.get_tuple(first).checkpoint["channel_values"] == {"a": "one", "b": "two"}
    copied = InMemorySaver().get_next_version(None, None)  # a thread copied from another saver: strings
    assert isinstance(later := saver.get_next_version(copied, None), str) and later > copied


@pytest.mark.parametrize("kind", ["memory", "composed", "sqlite", "redis", "postgres"])
def test_listings_and_first_reads_follow_a_model_of_forks_re_puts_deletes_and_namespaces(kind, tmp_path):
    """Puts over three namespaces of fresh, re-put and decimal ids, mostly on the namespace's newest
    checkpoint, now and then on one far back, now and then big enough to start a keyframe; pending
    writes, deletes of runs and a prune: all against a model, read by the writer and by savers that
    hold nothing yet (a new worker: its first read of each head, then again from what it kept).

    Listed: each id's newest put, newest first per namespace, the namespaces in order; `before`
    keeps smaller ids over the whole thread (ids are put out of their order), `limit` counts
    across namespaces; "latest" is the newest put, not the largest id. A page's states are built
    together from one read of their run, and each listed tuple is the one a single read gives.
    """
    open_saver, rng = opener(kind, tmp_path), random.Random(7)
    pool, decimals = [str(uuid.UUID(int=rng.getrandbits(128))) for _ in range(300)], iter(range(100, 1000))
    model = {ns: [] for ns in ("", "child:1", "child:2")}  # (id, values, parent, run, step) by newest put
    thread = {"configurable": {"thread_id": "t"}}

    def heads_agree(fresh, namespaces=model):
        for ns in namespaces:
            entries = model[ns]
            latest = {"configurable": {"thread_id": "t", "checkpoint_ns": ns}}
            expected = saver.get_tuple(latest)
            assert (expected and expected.checkpoint["id"]) == (entries[-1][0] if entries else None), ns
            assert fresh.get_tuple(latest) == expected == fresh.get_tuple(latest), ns

    def listings_agree():
        listed = [(ns, *e[:3]) for ns in sorted(model) for e in reversed(model[ns])]
        for before in [None, *rng.sample([e[1] for e in listed], min(4, len(listed)))]:
            for limit in (None, 1, 10, len(listed) - 1):
                reader = rng.choice([saver, DerirezaroSaver(saver.log)])
                cursor = before and {"configurable": {"checkpoint_id": before}}
                tuples = list(reader.list(thread, before=cursor, limit=limit))
                got = [(*where(t), t.checkpoint["channel_values"], parent_id(t)) for t in tuples]
                assert got == [e for e in listed if before is None or e[1] < before][:limit], (before, limit)
        with open_saver() as fresh:
            for tup in saver.list(thread):
                assert tup == fresh.get_tuple(tup.config), tup.config
        for ns, entries in model.items():  # a filter's one match, whichever page it lies on
            for checkpoint_id, *_, step in rng.sample(entries, min(2, len(entries))):
                assert [where(t) for t in saver.list(thread, filter={"step": step})] == [(ns, checkpoint_id)]

    with open_saver() as saver:
        for step in range(300):
            ns, draw = rng.choice(["", "", "", *model]), rng.random()
            entries = model[ns]
            if draw < 0.2 and entries:  # a re-put, often of the head: its newest record wins
                checkpoint_id = rng.choice([entries[-1], rng.choice(entries)])[0]
            else:
                checkpoint_id = str(next(decimals)) if draw < 0.3 else pool.pop()
            parent = (entries[-1] if rng.random() < 0.85 else rng.choice(entries)) if entries else None
            values = dict(parent[1]) if parent else {f"c{i}": i for i in range(12)}
            changed = {f"c{rng.randrange(12)}": step}
            if rng.random() < 0.3:  # big enough that the deltas soon outweigh the state: a new keyframe
                changed["big"] = noise(step, 1200)
            values.update(changed)
            on, run = parent and {"configurable": {"checkpoint_id": parent[0]}}, f"r{rng.randrange(6)}"
            new, versions = dict.fromkeys(changed, step + 1), dict.fromkeys(values, step + 1)
            done = put(saver, on, values, versions, ns=ns, id=checkpoint_id, new=new, step=step, run_id=run)
            entry = (checkpoint_id, values, parent and parent[0], run, step)
            model[ns] = [e for e in entries if e[0] != checkpoint_id] + [entry]
            if rng.random() < 0.2:
                saver.put_writes(done, [("c0", step), ("w", [step])], f"task-{step % 3}")
            if step % 20 == 19:
                saver.delete_for_runs([doomed := f"r{rng.randrange(6)}"])
                model = {ns: [e for e in entries if e[3] != doomed] for ns, entries in model.items()}
            heads_agree(DerirezaroSaver(saver.log), [ns] if step % 20 else model)
            if step % 150 == 149:
                with open_saver() as fresh:
                    heads_agree(fresh)
                listings_agree()
        saver.prune(["t"])  # a floor below each head
        model = {ns: entries[-1:] for ns, entries in model.items()}
        with open_saver() as fresh:
            heads_agree(fresh)
        listings_agree()


# Metadata the codec stores as it is, and metadata it must leave to the serde (bytes, non-str keys,
# nesting past the plain check's depth, ints past 64 bits, which the serde refuses).
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
    {"nested": functools.reduce(lambda leaf, _: {"in": leaf}, range(31), 1)},
    {"nested": functools.reduce(lambda leaf, _: {"in": leaf}, range(40), 1)},
]


@pytest.mark.parametrize("metadata", METADATA, ids=range(len(METADATA)))
def test_metadata_comes_back_as_the_serde_gives_it(saver, metadata):
    try:
        expected = saver.serde.loads_typed(saver.serde.dumps_typed({"source": "loop", "step": 0, **metadata}))
    except TypeError:  # past what the serde encodes: the put refuses it as the serde does
        with pytest.raises(TypeError):
            put(saver, None, {}, {}, **metadata)
        return
    assert saver.get_tuple(put(saver, None, {}, {}, **metadata)).metadata == expected


# Checkpoint times: LangGraph's own (UTC, microseconds) are stored as an int, every other str as it is;
# each comes back as it was put.
TIMES = [
    ("2026-12-09T18:31:09.123456+00:00", int),
    ("1970-01-01T00:00:00.000001+00:00", int),
    ("1969-12-31T23:59:59.999999+00:00", int),  # before the epoch
    ("2024-02-29T23:59:59.000001+00:00", int),
    ("0001-01-01T00:00:00.000001+00:00", int),
    ("9999-12-31T23:59:59.999999+00:00", int),
    ("2024-01-01T00:00:00.000000+00:00", str),  # isoformat() would leave the microseconds out
    ("2024-01-01 00:00:00.000001+00:00", str),  # isoformat() writes a T
    ("2024-01-01T00:00:00.000001+01:00", str),
    ("2023-02-29T00:00:00.000001+00:00", str),  # no such day
    ("2024-04-31T00:00:00.000001+00:00", str),
    ("2024-13-01T00:00:00.000001+00:00", str),
    ("2024-00-10T00:00:00.000001+00:00", str),
    ("0000-01-01T00:00:00.000001+00:00", str),
    ("2100-03-01T00:00:00.000001+00:00", int),  # after a 29th of February that 2100 does not have
    ("2024-01-01T24:00:00.000001+00:00", str),
    ("2024-01-01T23:59:60.000001+00:00", str),
    ("2024-01-01T00:00:0\u0661.000001+00:00", str),  # a digit, but not an ASCII one
    ("2024-01-01T00:00:00.000001Z", str),
    ("", str),
]


# The checkpoint's own keys beside its state, each of the usual type or not (False once went missing).
CHECKPOINT_KEYS = [
    {"v": 4, "updated_channels": ["a", "b"]},
    {"v": False, "ts": False, "updated_channels": False},
    {"v": "4", "updated_channels": ["a", 1]},
    {"v": True, "updated_channels": None, "pending_sends": [], "extra": {"x": [1.5, None]}},
    {"updated_channels": ("a",), "ts": 0},
]


def test_checkpoint_times_and_keys_come_back_as_put_and_times_stored_compact_only_where_exact():
    with DerirezaroSaver.memory() as saver:
        for i, (ts, stored_as) in enumerate(TIMES):
            checkpoint = {**empty_checkpoint(), "ts": ts}
            config = {"configurable": {"thread_id": f"t{i}", "checkpoint_ns": ""}}
            config = saver.put(config, checkpoint, {"source": "loop", "step": 0}, {})
            assert saver.get_tuple(config).checkpoint["ts"] == ts
            (record,) = saver.log.headers(timeline_name(f"t{i}", ""), limit=1)
            assert type(loads(record.meta)[2]) is stored_as, ts
        for keys in CHECKPOINT_KEYS:
            checkpoint = {**empty_checkpoint(), **keys}
            config = saver.put({"configurable": {"thread_id": "keys"}}, checkpoint, {"source": "loop"}, {})
            expected = saver.serde.loads_typed(saver.serde.dumps_typed(checkpoint))
            assert saver.get_tuple(config).checkpoint == expected, keys


def test_writes_sent_from_many_threads_come_back_in_task_order(saver):
    config, tasks = put(saver, None, {}, {}), [f"task-{i:02}" for i in range(12)]

    def send(task, last):
        for idx in range(3):
            saver.put_writes(config, [(f"ch{idx}", f"{task}/{idx}")], task, task_path=f"~{task[::-1]}")
        saver.put_writes(config, [("ch0", "retried")], task)  # a retry: the first write stays
        saver.put_writes(config, [("__error__", f"{task} failed")], task)  # reserved: replaces
        saver.put_writes(config, [("__error__", f"{task} {last}")], task)

    for last in ("failed again", "failed at last"):  # the second time over writes this saver has read
        with ThreadPoolExecutor(len(tasks)) as pool:
            list(pool.map(send, tasks, [last] * len(tasks)))
        rows = [(f"~{t[::-1]}", t, 0, "ch0", f"{t}/0") for t in tasks]
        rows += [("", t, -1, "__error__", f"{t} {last}") for t in tasks]  # in writes_sort_key order
        assert saver.get_tuple(config).pending_writes == [(t, ch, v) for _, t, _, ch, v in sorted(rows)]


class PickyJson(JsonPlusSerializer):
    def dumps_typed(self, obj):
        if obj == "boom":
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
        assert len(values_of(saver, "other")) == 1
        saver.put_writes(config, [("w", "poison")], "task")
        with pytest.raises(CheckpointDecodeError, match="pending write to 'w'"):
            list(saver.list({"configurable": {"thread_id": "other"}}))


def flip(log, name, where):
    """Flips one bit in the middle of a stored value, in place (again: back): a record's meta or
    body, (seq, field), or an attachment entry's blob, (key, at)."""
    if not isinstance(log, MemoryLog):
        return flip_in_postgres(log, name, where)

    def flipped(data):
        return data[: len(data) // 2] + bytes([data[len(data) // 2] ^ 0x10]) + data[len(data) // 2 + 1 :]

    if isinstance(where[0], int):
        rows, (seq, field) = log._timelines[name].by_seq, where
        rows[seq] = rows[seq]._replace(**{field: flipped(getattr(rows[seq], field))})
    else:
        entries, at = log._attachments[name][where[0]], where[1]
        entries[at] = (*entries[at][:2], flipped(entries[at][2]))


def flip_in_postgres(log, name, where):
    """`flip` by SQL on the PostgreSQL log's rows, where only the reads' checks can see it."""
    import psycopg
    from derirezaro.persist import postgres_sql

    if isinstance(where[0], int):
        table, column, match, keys = "records", where[1], "seq = %s", (where[0],)
    else:
        task, idx, _ = log.attachments(name, [where[0]])[where[0]][where[1]]
        table, column, match = "attachments", "blob", "key = %s AND task = %s AND idx = %s"
        keys = (postgres_sql.ident(where[0]), postgres_sql.ident(task), idx)  # as the log stores them
    middle = f"octet_length({column}) / 2"
    with psycopg.connect(postgres_server.shared_url(), autocommit=True) as conn:
        conn.execute(
            f'UPDATE "{log.prefix}_{table}" SET {column} = set_byte({column}, {middle},'
            f" get_byte({column}, {middle}) # 16) WHERE {match}"
            f' AND timeline = (SELECT id FROM "{log.prefix}_timelines" WHERE name = %s)',
            (*keys, name.encode()),
        )


@pytest.mark.parametrize("kind", ["memory", "postgres"])
def test_one_flipped_bit_anywhere_is_reported_naming_thread_and_checkpoint(kind, tmp_path):
    with opener(kind, tmp_path)() as saver:
        flipped_bits_are_reported(saver.log)


def flipped_bits_are_reported(log):
    history_of_a_session(DerirezaroSaver(log))
    name, ids = timeline_name("t1", ""), [t.checkpoint["id"] for t in DerirezaroSaver(log).list(None)]
    places = [(row.seq, field) for row in log.read(name, 1, log.head(name).seq) for field in ("meta", "body")]
    places += [(key, at) for key, entries in log.attachments(name, ids).items() for at in range(len(entries))]
    assert len(places) > 50 and isinstance(places[-1][0], str) and log.timelines() == [name]
    refused_puts, parent = 0, {"configurable": {"checkpoint_id": ids[0]}}
    for where in places:
        flip(log, name, where)
        with pytest.raises(CorruptCheckpoint) as raised:  # every damaged byte is found; none reads as data
            list(DerirezaroSaver(log).list(None))
        # a damaged header cannot name its checkpoint
        assert raised.value.thread_id == "t1" and (raised.value.checkpoint_id or where[-1] == "meta"), where
        try:  # a put that replays damage names it too
            put(DerirezaroSaver(log), parent, {"n": 1}, {"n": 1}, thread="t1")
        except CorruptCheckpoint as exc:
            refused_puts += exc.thread_id == "t1"
        flip(log, name, where)
    assert refused_puts > 0


def test_delete_prune_and_copy_reclaim_what_they_remove_and_keep_threads_apart(saver):
    """Threads whose ids look like patterns, or prefixes of each other's, stay apart through every one."""
    config, ids, name, copy = None, [], timeline_name("t", ""), timeline_name("copy", "")
    for step in range(40):
        config = put(saver, config, {"n": step, "big": noise(step, 1000)}, {"n": step + 1, "big": step + 1})
        saver.put_writes(config, [("w", step)], "task")
        ids.append(config["configurable"]["checkpoint_id"])
    others = ["a*", "a", "a?", "a[1]", "a{x}", "a/b", "ab", "1/a", "copy"]
    for thread in others:
        put(saver, put(saver, None, {}, {}, thread=thread), {}, {}, thread=thread, ns="child:1")
    saver.copy_thread("t", "copy")  # onto a thread that has checkpoints: the copies are added
    saver.prune(["t"])
    saver.delete_thread("a*")
    assert values_of(saver) == [{"n": 39, "big": noise(39, 1000)}] and values_of(saver, "a") == [{}, {}]
    assert saver.log.head(name).first > 1 and list(saver.log.attachments(name, ids)) == [ids[-1]]  # reclaimed
    assert len(saver.log.attachments(copy, ids)) == 40 and len(values_of(saver, "copy")) == 42  # its own
    saver.delete_thread("copy")
    listed = {(t.config["configurable"]["thread_id"], where(t)[0]) for t in saver.list(None)}
    assert listed == {("t", ""), *((thread, ns) for thread in others[1:-1] for ns in ("", "child:1"))}
    assert len(saver.log.timelines()) == len(listed) and saver.log.attachments(copy, ids) == {}  # reclaimed


# -- what a saver that has read nothing of a thread yet replays to read its head


def test_a_head_the_log_vouches_for_but_lost_is_damage_not_an_older_head(tmp_path):
    with DerirezaroSaver.sqlite(tmp_path / "checkpoints.db") as writer:
        config = None
        for step in range(3):
            config = put(writer, config, {"a": step}, {"a": step + 1})
    with sqlite3.connect(tmp_path / "checkpoints.db") as connection:
        connection.execute("DROP TRIGGER derirezaro_vouch")  # the voucher stays as it was
        connection.execute(
            "DELETE FROM derirezaro_records WHERE seq = (SELECT max(seq) FROM derirezaro_records)"
        )
    with DerirezaroSaver.sqlite(tmp_path / "checkpoints.db") as reader:
        with pytest.raises(CorruptRecordError, match="record"):
            reader.get_tuple({"configurable": {"thread_id": "t", "checkpoint_ns": ""}})


@pytest.mark.parametrize("entries", [1, 10, 100, 1000])
def test_a_small_state_keyframes_often_and_its_keyframes_stay_a_share_of_its_deltas(entries):
    """With `run_to_state`, what a cold read replays is bounded by the state's size, not only by
    `min_run_bytes`, and the keyframes that buys stay within `1 / run_to_state` of the deltas (plus
    one delta per run)."""
    log, store, tuning = MemoryLog(), Store(), Tuning(run_to_state=2)
    for entry in range(entries):  # a state of a set size: a growing one's keyframes outgrow the runs
        store.set("v", f"c{entry}", "value")
        store.set("s", f"c{entry}", -1)
    timeline = Timeline(log, "t", store, keyframe_every=4096, tuning=tuning)
    for step in range(300):
        store.set("v", f"c{step % entries}", f"value {step}")
        store.set("s", f"c{step % entries}", step)
        timeline.commit({"step": step})
    runs = []  # (a keyframe's size, the sizes of the deltas after it)
    for row in log.read("t", 1, 300):
        runs.append((row.body_size, [])) if row.kind == KEYFRAME else runs[-1][1].append(row.body_size)
    keyframes, deltas = sum(keyframe for keyframe, _ in runs[1:]), sum(sum(run) for _, run in runs)
    for keyframe, run in runs:
        assert sum(run) < max(keyframe, min(tuning.min_run_bytes, tuning.run_to_state * keyframe))
    if all(keyframe * tuning.run_to_state < tuning.min_run_bytes for keyframe, _ in runs):
        slack = sum(max(run, default=0) for _, run in runs[:-1])  # the delta that ended each run
        assert keyframes <= deltas / tuning.run_to_state + slack
        assert len(runs) > 2  # the rule did end runs: a cold read replays a few records

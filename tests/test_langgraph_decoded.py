"""Elements decoded once: what a read hands out equals the serde's decode, belongs to that read alone,
and a running chat costs the serde only its new messages."""

import functools
import gc
import itertools
import sys
import tracemalloc
from typing import Annotated, TypedDict

import pytest
from conftest import langgraph_or_skip

langgraph_or_skip()

from derirezaro.langgraph import DerirezaroSaver
from derirezaro.langgraph.decoded import Decoded, _native_rebuilt, split_seed
from derirezaro.persist import MemoryLog
from hypothesis import given, settings
from hypothesis import strategies as st
from langchain_core.messages import AIMessage, HumanMessage
from langgraph.channels import DeltaChannel
from langgraph.checkpoint.base import empty_checkpoint
from langgraph.checkpoint.serde.jsonplus import JsonPlusSerializer
from langgraph.checkpoint.serde.types import _DeltaSnapshot
from langgraph.graph import START, StateGraph
from langgraph.graph.message import add_messages
from pydantic import BaseModel

atoms = st.one_of(
    st.none(), st.booleans(), st.integers(-(2**63), 2**64 - 1), st.floats(allow_nan=False), st.text()
)
keys = st.one_of(st.text(max_size=4), st.integers(0, 9))
plain = st.recursive(
    atoms,
    lambda inner: (
        st.lists(inner, max_size=4) | st.tuples(inner, inner) | st.dictionaries(keys, inner, max_size=4)
    ),
    max_leaves=12,
)
models = st.one_of(  # extra fields (`more`) and nested plain data in fields
    st.builds(
        lambda t, kw: AIMessage(t, id=t[:3] or None, additional_kwargs=kw, more=[t]),
        st.text(),
        st.dictionaries(keys, plain),
    ),
    st.builds(lambda t: HumanMessage([{"type": "text", "text": t}]), st.text()),
)


def same(a, b):
    """Equal in value and in type all the way down: a tuple is no list, a model is its slots."""
    if type(a) is not type(b):
        return False
    if isinstance(a, BaseModel):
        return all(
            same(getattr(a, slot), getattr(b, slot))
            for slot in ("__dict__", "__pydantic_extra__", "__pydantic_fields_set__", "__pydantic_private__")
        )
    if type(a) is dict:
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if type(a) in (list, tuple):
        return len(a) == len(b) and all(map(same, a, b))
    return a == b


def vandalize(value):
    """Edit in place everything a caller could edit in `value`."""
    if isinstance(value, BaseModel):
        value.__pydantic_fields_set__.add("vandal")
        value = [value.__dict__, value.__pydantic_extra__, value.__pydantic_private__]
    if type(value) in (dict, list, tuple):
        for item in list(value.values() if type(value) is dict else value):
            vandalize(item)
        if type(value) is dict:
            value["vandal"] = 1
        elif type(value) is list:
            value.append("vandal")


def outcome(read, pair):
    try:
        return read(pair)
    except Exception as exc:
        return type(exc)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.one_of(plain, models), min_size=1, max_size=5), st.sampled_from(["list", "seed", "write"]))
def test_a_read_equals_the_serde_and_belongs_to_its_reader(values, stored_as):
    serde = JsonPlusSerializer()
    decoded = Decoded(serde)
    as_seed = stored_as == "seed"
    if stored_as != "list":  # a delta channel's seed or a pending write, split into its elements when models
        pair = serde.dumps_typed(_DeltaSnapshot(values) if as_seed else values)
        read = functools.partial(decoded.seed if as_seed else decoded.write, pair, serde.loads_typed)
        expected = serde.loads_typed(pair)
    else:
        pairs = [serde.dumps_typed(value) for value in values]
        read = functools.partial(decoded.elements, pairs, serde.loads_typed)
        expected = [serde.loads_typed(pair) for pair in pairs]
    for _ in range(3):  # the serde's own objects first, then ones rebuilt from the snapshots
        got = read()
        if stored_as == "list":
            got, kept = got
            if kept is not None:  # what the read registers recognises all it handed out
                assert kept.ends(got) == (len(got), 0)
        assert same(got, expected)
        vandalize(got.value if as_seed else got)
    if as_seed:  # split where every element is a model; damaged bytes go to the serde whole
        parts = split_seed(pair[1])
        assert (parts is not None) == all(isinstance(v, BaseModel) for v in values)
        assert all(split_seed(pair[1][:cut]) is None for cut in range(1, len(pair[1]), 37))
    if stored_as == "write":  # cut short or with bytes after it, a write reads as the serde reads it
        for cut in [*range(1, len(pair[1]), 37), len(pair[1]) + 1]:
            damaged = (pair[0], (pair[1] + b"\x00")[:cut])
            want = outcome(serde.loads_typed, damaged)
            got = outcome(functools.partial(decoded.write, loads_typed=serde.loads_typed), damaged)
            assert got == want if isinstance(want, type) else same(got, want)


class OwnNew(AIMessage):
    """Made by a __new__ of its own: rebuilt in Python, beside the models rebuilt natively."""

    def __new__(cls, *args, **kwargs):
        return super().__new__(cls)


@pytest.mark.parametrize("collecting", [True, False])
def test_a_batch_rebuilt_leaves_the_collector_as_it_found_it(collecting):
    serde = JsonPlusSerializer(allowed_msgpack_modules=[(__name__, "OwnNew")])
    values = [OwnNew("own", id="o"), AIMessage("plain", id="p", additional_kwargs={"k": [1]}), {"d": []}]
    pairs = [serde.dumps_typed(value) for value in values]
    decoded = Decoded(serde)
    expected = [serde.loads_typed(pair) for pair in pairs]
    was = gc.isenabled()
    (gc.enable if collecting else gc.disable)()
    try:
        for _ in range(3):
            got, _ = decoded.elements(pairs, serde.loads_typed)
            assert gc.isenabled() is collecting
            assert same(got, expected)
        if _native_rebuilt is not None:
            with pytest.raises(TypeError, match="an entry must be"):  # a batch that fails half made
                _native_rebuilt([*decoded._lookup(pairs), "not an entry"])
            assert gc.isenabled() is collecting
    finally:
        (gc.enable if was else gc.disable)()


@pytest.mark.parametrize(
    "element, per_seed",  # a few bytes of MessagePack each for a container or a string of a hundred bytes
    [
        (lambda i: AIMessage(f"reply {i}", id=f"{i}", tool_calls=[{"name": "f", "args": {}, "id": "c"}]), 0),
        (lambda i: {"i": i, "empty": [{} for _ in range(300)]}, 0),
        (lambda i: [f"{i}:{j}" for j in range(300)], 0),
        (lambda i: AIMessage(f"{i}", id=f"{i}", additional_kwargs={"e": [{} for _ in range(300)]}), 40),
    ],
)
def test_what_the_bound_allows_is_the_memory_kept(element, per_seed):
    """Elements read one by one, or `per_seed` to a delta channel's seed: the seeds remembered whole hold
    their elements' entries after the bound has let them go. Elements read one by one go least recently
    read first: one read at every turn is never let go."""
    serde = JsonPlusSerializer()
    decoded, first, decodes = Decoded(serde, limit=1 << 20), serde.dumps_typed(element(-1)), [0]

    def loads(pair):  # counts the serde's decodes of `first` alone: a list of pairs would be memory kept
        decodes[0] += pair == first
        return serde.loads_typed(pair)

    gc.collect()
    tracemalloc.start()
    try:
        for i in itertools.count():  # until as many again as the bound holds have been pushed out
            if per_seed:
                seed = _DeltaSnapshot([element(i * per_seed + j) for j in range(per_seed)])
                decoded.seed(serde.dumps_typed(seed), serde.loads_typed)
            else:
                decoded.elements([serde.dumps_typed(element(i))], loads)
                decoded.elements([first], loads)
            if i > 2 * len(decoded) / (per_seed or 1) + 4:
                break
        seed = None
        gc.collect()
        kept = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert decoded.size <= decoded.limit and len(decoded) > 1
    assert kept < 1.5 * decoded.limit
    if not per_seed:  # the oldest went, the newest and the one read at every turn stayed
        again, pairs = [], [first, *(serde.dumps_typed(element(n)) for n in (i, i - 1, 0))]
        decoded.elements(pairs, lambda pair: again.append(pair) or serde.loads_typed(pair))
        assert decodes[0] == 1 and again == pairs[3:]


def test_seeds_are_remembered_while_together_they_fit_half_the_bound_least_recently_read_first_out():
    serde = JsonPlusSerializer()
    seeds = {
        n: serde.dumps_typed(_DeltaSnapshot([AIMessage(f"{n} {i}", id=f"{n}.{i}") for i in range(n)]))
        for n in (30, 31, 32)
    }
    one = Decoded(serde)
    one.seed(seeds[30], serde.loads_typed)
    ((_, cost),) = one._seeds.values()
    # Each seed costs more than an eighth of the bound; two fit in its half, three do not.
    decoded, serde_reads = Decoded(serde, limit=5 * cost), []

    def counted(pair):
        serde_reads.append(pair)
        return serde.loads_typed(pair)

    # (seed read, elements the serde decodes, seeds remembered after, least recently read first)
    for n, by_serde, remembered in [
        (30, 30, [30]),
        (30, 0, [30]),
        (31, 31, [30, 31]),
        (30, 0, [31, 30]),
        (32, 32, [30, 32]),  # 31 is let go: its elements' entries stay, so it is not decoded again
        (31, 0, [32, 31]),
    ]:
        serde_reads.clear()
        assert same(decoded.seed(seeds[n], counted), serde.loads_typed(seeds[n]))
        assert len(serde_reads) == by_serde
        assert list(decoded._seeds) == [seeds[r][1] for r in remembered]
        assert decoded._seeds_size == sum(c for _, c in decoded._seeds.values()) <= decoded.limit // 2


def nested(depth):
    value: list = ["leaf"]
    for _ in range(depth - 1):
        value = [value]
    return value


def on_a_nearly_spent_stack(call, spare=150):
    """`call()` with all but `spare` frames of the recursion limit in use: what a deeply recursive caller
    leaves. The serde recurses in C; what the saver adds must not need more of the stack."""
    frame, used = sys._getframe(), 0
    while frame is not None:
        frame, used = frame.f_back, used + 1

    def down(n):
        return down(n - 1) if n else call()

    return down(sys.getrecursionlimit() - spare - used)


@pytest.mark.parametrize("depth", [17, 60, 240])
def test_data_nested_deep_is_stored_read_and_edited_on_a_nearly_spent_stack(depth):
    """Nesting either side of the native check's first levels and of the snapshots' depth, and near the
    serde's own limit: each read equals what was put, and an edit at the innermost level is stored."""
    saver = DerirezaroSaver(MemoryLog())
    config = {"configurable": {"thread_id": "t", "checkpoint_ns": ""}}

    def put(messages, version):
        checkpoint = empty_checkpoint()
        checkpoint["channel_values"] = {"messages": messages}
        checkpoint["channel_versions"] = {"messages": version}
        return on_a_nearly_spent_stack(lambda: saver.put(config, checkpoint, {}, {"messages": version}))

    def read(reader):
        return on_a_nearly_spent_stack(lambda: reader.get_tuple(config)).checkpoint["channel_values"]

    put([AIMessage("a" * 99, id="a", additional_kwargs={"deep": nested(depth)}), HumanMessage("b" * 99)], 1)
    first, again = read(saver)["messages"], read(saver)["messages"]  # the serde's, then rebuilt
    assert same(first, again) and first[0].additional_kwargs["deep"] == nested(depth)
    innermost = again[0].additional_kwargs["deep"]
    while type(innermost[0]) is list:
        innermost = innermost[0]
    innermost.append("edited")  # in place, on what the read handed out: the next put must see it
    config = put([*again, AIMessage("c" * 99, id="c")], 2)
    assert read(DerirezaroSaver(saver.log))["messages"] == [*again, AIMessage("c" * 99, id="c")]


# -- a compiled chat: after its first turns, a turn costs the serde its new messages -------------


def delta_reducer(value, writes):
    return functools.reduce(add_messages, writes, value or [])


class ListChat(TypedDict):
    messages: Annotated[list, add_messages]


class DeltaChat(TypedDict):
    messages: Annotated[list, DeltaChannel(delta_reducer, list, snapshot_frequency=8)]


def chat(saver, state):
    def agent(state):
        n = len(state["messages"])
        return {"messages": [AIMessage(f"reply {n} " + "w" * 150, id=f"ai-{n}")]}

    builder = StateGraph(state)
    builder.add_node("agent", agent)
    builder.add_edge(START, "agent")
    return builder.compile(checkpointer=saver)


@pytest.mark.parametrize("state", [ListChat, DeltaChat])
def test_a_chat_turn_costs_the_serde_its_new_messages(state):
    serde = JsonPlusSerializer()
    moved = {"loads": 0, "dumps": 0}  # bytes through the serde each way

    def counting(method, way):
        def call(arg):
            out = method(arg)
            moved[way] += len((arg if way == "loads" else out)[1])
            return out

        return call

    # On the instance: the class's own methods stay, so the saver still takes it for LangGraph's serde.
    serde.loads_typed, serde.dumps_typed = (
        counting(serde.loads_typed, "loads"),
        counting(serde.dumps_typed, "dumps"),
    )
    log = MemoryLog()
    graph = chat(DerirezaroSaver(log, serde=serde), state)
    config = {"configurable": {"thread_id": "t"}}
    per_turn = []
    for turn in range(40):
        moved.update(loads=0, dumps=0)
        graph.invoke({"messages": [HumanMessage(f"question {turn}", id=f"h-{turn}")]}, config)
        # A delta channel's snapshot turns encode the whole list: it is stored as one value.
        per_turn.append(moved["loads"] + (moved["dumps"] if state is ListChat else 0))
    expected = graph.get_state(config).values["messages"]
    conversation = sum(len(serde.dumps_typed(m)[1]) for m in expected)
    assert max(per_turn[10:]) < conversation / 8, per_turn
    cold = chat(DerirezaroSaver(log), state)  # a second saver reads what the first stored
    assert same(cold.get_state(config).values["messages"], expected)

"""List channels stored element by element: every checkpoint reads back as the list that was put,
while a put encodes only the elements it has not stored already.

A model-based loop drives one thread through appends, removals in the middle,
overwrites (a new object under an old id), reorders, forks from older
checkpoints and edits of stored elements in place (a message's content, a
nested dict, an extra field, a plain dict element), the edits being what a
saver that trusts identity alone would miss.
"""

import copy
import random

import pytest
from conftest import langgraph_or_skip

langgraph_or_skip()

from derirezaro.langgraph import DerirezaroSaver
from derirezaro.persist import MemoryLog
from langchain_core.messages import AIMessage, BaseMessage, HumanMessage
from langgraph.checkpoint.base import empty_checkpoint
from langgraph.checkpoint.serde.jsonplus import JsonPlusSerializer


class CountingSerde(JsonPlusSerializer):
    encoded = 0  # messages encoded one by one

    def dumps_typed(self, obj):
        CountingSerde.encoded += isinstance(obj, BaseMessage)
        return super().dumps_typed(obj)


def text(rng):
    return "".join(rng.choice("abcdefgh ") for _ in range(rng.randrange(70, 120)))


def new_message(rng, n):
    cls = rng.choice([AIMessage, HumanMessage])
    kwargs = {"additional_kwargs": {"n": n, "tags": [n]}, "extra_field": 0.0} if rng.random() < 0.5 else {}
    return cls(text(rng), id=f"m{n}", **kwargs)


def new_dict(rng, n):
    return {"role": rng.choice(["user", "tool"]), "content": text(rng), "meta": {"n": n, "seen": [n]}}


def edit_in_place(rng, element):
    """Change a stored element without changing its identity (nor a message's id)."""
    if isinstance(element, dict):
        return rng.choice(
            [lambda: element["meta"]["seen"].append(0), lambda: element.update(content="new")]
        )()
    rng.choice(
        [
            lambda: setattr(element, "content", text(rng)),
            lambda: element.additional_kwargs.setdefault("tags", []).append(-1),
            lambda: setattr(element, "extra_field", rng.random()),  # an extra field of the model
        ]
    )()


def step(rng, items, make, n):
    """One change to `items` (in place) as a graph or a user makes it."""
    draw = rng.random()
    if draw < 0.35 or len(items) < 3:
        items.append(make(rng, n))
        return
    i = rng.randrange(len(items))
    if draw < 0.5:
        del items[i]
    elif draw < 0.6:  # an overwrite: a new object in the old one's place, for a message under its id
        items[i] = make(rng, n) if isinstance(items[i], dict) else type(items[i])(text(rng), id=items[i].id)
    elif draw < 0.7:
        j = rng.randrange(len(items))
        items[i], items[j] = items[j], items[i]
    elif draw < 0.75:
        items[i:] = reversed(items[i:])
    elif draw < 0.9:
        edit_in_place(rng, items[i])
    elif draw < 0.95:
        items.insert(i, make(rng, n))


@pytest.mark.parametrize("seed", range(12))
def test_every_checkpoint_reads_back_as_put_through_edits_in_place_reorders_and_forks(seed):
    rng, log = random.Random(seed), MemoryLog()
    saver = DerirezaroSaver(log, serde=CountingSerde())
    messages, dicts, mixed = [], [], []
    expected, config, puts = {}, None, []
    for n in range(70):
        step(rng, messages, new_message, n)
        step(rng, dicts, new_dict, n)
        step(rng, mixed, rng.choice([new_message, new_dict]), n)
        if puts and rng.random() < 0.1:  # a fork: the lists as an older checkpoint held them
            config = rng.choice(puts)
            values = copy.deepcopy(expected[config["configurable"]["checkpoint_id"]])
            messages, dicts, mixed = values["messages"], values["dicts"], values["mixed"]
        checkpoint = empty_checkpoint()
        values = {"messages": list(messages), "dicts": list(dicts), "mixed": list(mixed)}
        checkpoint["channel_values"] = values
        checkpoint["channel_versions"] = versions = {ch: n + 1 for ch in values}
        parent = {} if config is None else {"checkpoint_id": config["configurable"]["checkpoint_id"]}
        config = saver.put(
            {"configurable": {"thread_id": "t", "checkpoint_ns": "", **parent}},
            checkpoint,
            {"source": "loop", "step": n},
            versions,
        )
        expected[checkpoint["id"]] = copy.deepcopy(values)
        puts.append(config)
        got = saver.get_tuple(config).checkpoint["channel_values"]
        assert got == values, n
    reader = DerirezaroSaver(log)  # decodes everything afresh
    for tup in [*saver.list(None), *reader.list(None)]:
        assert tup.checkpoint["channel_values"] == expected[tup.checkpoint["id"]]
    assert len(expected) == 70


def test_a_chat_step_encodes_the_new_message_only():
    """Appends to a long conversation cost one encoding each, and so does the first edit seen."""
    saver = DerirezaroSaver(MemoryLog(), serde=CountingSerde())
    rng, messages, config = random.Random(1), [], {"configurable": {"thread_id": "t", "checkpoint_ns": ""}}

    def put(n, edit=lambda: None):
        nonlocal config
        edit()
        checkpoint = empty_checkpoint()
        checkpoint["channel_values"] = {"messages": list(messages)}
        checkpoint["channel_versions"] = {"messages": n + 1}
        before = CountingSerde.encoded
        config = saver.put(config, checkpoint, {"source": "loop", "step": n}, {"messages": n + 1})
        return CountingSerde.encoded - before

    assert all(put(n, lambda n=n: messages.append(new_message(rng, n))) == 1 for n in range(300)[2:])
    assert put(300, lambda: messages[100].additional_kwargs.update(edited=True)) == 1
    assert saver.get_tuple(config).checkpoint["channel_values"]["messages"] == messages

"""List channels stored element by element: every checkpoint reads back as the list that was put,
while a put encodes only the elements it has not stored already.

A model-based loop drives one thread through appends, removals in the middle,
overwrites (a new object under an old id), reorders, forks from older
checkpoints and edits of stored elements in place (a message's content, a
nested dict, an extra field, a plain dict element), the edits being what a
saver that trusts identity alone would miss. The native check of the stored
elements is held to the Python one's answers through random edits in place at
random depths, of plain data and of models (a class changed in place, a slot unset).
"""

import contextlib
import copy
import gc
import random
import sysconfig
import types
import weakref

import pytest
from conftest import langgraph_or_skip

langgraph_or_skip()

from derirezaro._core import Store, loads
from derirezaro.langgraph import DerirezaroSaver, layout
from derirezaro.langgraph.list_elements import Kept, snapshots
from derirezaro.persist import MemoryLog
from langchain_core.messages import AIMessage, BaseMessage, HumanMessage
from langgraph.checkpoint.serde.jsonplus import JsonPlusSerializer
from pydantic import BaseModel, ConfigDict, PrivateAttr
from test_langgraph import put

try:
    from derirezaro._list_elements import ends as native_ends
except ImportError:  # an extension built before the native check: the Python one alone is tested
    native_ends = None


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
    """Odd seeds put the very lists they go on changing in place, as a caller that keeps no copy."""
    rng, saver = random.Random(seed), DerirezaroSaver(log := MemoryLog())
    messages, dicts, mixed, expected, config, puts = [], [], [], {}, None, []
    for n in range(70):
        step(rng, messages, new_message, n)
        step(rng, dicts, new_dict, n)
        step(rng, mixed, rng.choice([new_message, new_dict]), n)
        if puts and rng.random() < 0.1:  # a fork: the lists as an older checkpoint held them
            config = rng.choice(puts)
            values = copy.deepcopy(expected[config["configurable"]["checkpoint_id"]])
            messages, dicts, mixed = values["messages"], values["dicts"], values["mixed"]
        values = {"messages": messages, "dicts": dicts, "mixed": mixed}
        values = values if seed % 2 else {channel: list(value) for channel, value in values.items()}
        puts.append(config := put(saver, config, values, dict.fromkeys(values, n + 1), step=n))
        expected[config["configurable"]["checkpoint_id"]] = copy.deepcopy(values)
        assert saver.get_tuple(config).checkpoint["channel_values"] == values, n
    reader = DerirezaroSaver(log)  # decodes everything afresh
    for tup in [*saver.list(None), *reader.list(None)]:
        assert tup.checkpoint["channel_values"] == expected[tup.checkpoint["id"]]
    assert len(expected) == 70


def test_a_step_on_a_long_list_stores_and_encodes_about_one_element():
    """Appends to a conversation (through the keyframes of its first steps), a removal in the middle, an
    overwrite under an old id, an insertion, a new version of no change and the first edit in place seen
    each encode and store one element at most, whatever the length; then cuts down to where a whole value
    is cheaper. Each step is read back, by turns by a second saver and by the writer itself, whose read
    hands out objects of its own while the caller goes on with its list (it encoded the whole list at
    every put after such a read)."""
    saver, rng = DerirezaroSaver(MemoryLog(), serde=CountingSerde()), random.Random(1)
    messages, config, encoded = [], None, []
    edits = [lambda n=n: messages.append(new_message(rng, n)) for n in range(300)]
    edits += [
        lambda: messages.pop(150),
        lambda: messages.__setitem__(10, AIMessage(text(rng), id=messages[10].id)),
        lambda: messages.insert(5, new_message(rng, 300)),
        lambda: None,  # a new version, no change
        lambda: messages[100].additional_kwargs.update(edited=True),
        *[lambda: messages.__delitem__(slice(0, 100))] * 3,
    ]
    for version, edit in enumerate(edits, start=1):
        edit()
        before = CountingSerde.encoded
        config = put(saver, config, {"messages": list(messages)}, {"messages": version})
        encoded.append(CountingSerde.encoded - before)
        reader = saver if version % 2 else DerirezaroSaver(saver.log)
        assert reader.get_tuple(config).checkpoint["channel_values"]["messages"] == messages
    assert encoded[:-3] == [1] * 300 + [0, 1, 1, 0, 1]
    sizes = [record.size for record in saver._branch("t", "").timeline.records()]
    assert max(sizes[:8]) < 400 < 40 * 400 < max(sizes)  # newest first; a keyframe holds the list whole


class Note(BaseModel):
    model_config = ConfigDict(extra="allow")
    body: dict
    tags: list
    text: str = ""
    _cache: dict = PrivateAttr(default_factory=dict)


class OwnReads(Note):
    """Reads its attributes in its own way: the native check hands it to the Python one."""

    def __getattribute__(self, name):
        return super().__getattribute__(name)


class Other(Note):
    """Of Note's layout: an element's class changed to it in place differs from its snapshot."""


class Raises:
    def __eq__(self, other):
        raise ValueError("no comparing")


ATOMS = [0, 1, True, 1.0, -2.5, "a", "", b"b", None, float("nan"), 2**70]


def data(rng, depth):
    if depth == 0 or rng.random() < 0.3:
        return rng.choice(ATOMS)
    items = [data(rng, depth - 1) for _ in range(rng.randrange(4))]
    kind = rng.choice([dict, list, tuple])
    return {f"k{i}": item for i, item in enumerate(items)} if kind is dict else kind(items)


def containers(value):
    """Every dict and list inside `value`, itself included: what an edit in place can reach."""
    if isinstance(value, dict | list):
        yield value
    for item in (
        value.values() if isinstance(value, dict) else value if isinstance(value, list | tuple) else ()
    ):
        yield from containers(item)


def edit_nested(rng, root):
    """An edit in place somewhere inside `root`; some keep it equal (a copy, a key moved to the end)."""
    target = rng.choice(list(containers(root)) or [None])
    new = rng.choice([data(rng, 2), Raises(), copy.deepcopy(rng.choice(ATOMS))])
    if isinstance(target, dict):
        key = rng.choice([*target, "new"])
        rng.choice(
            [lambda: target.__setitem__(key, new), lambda: target.update({key: target.pop(key, new)})]
        )()
    elif isinstance(target, list):
        at = rng.randrange(len(target) + 1)
        rng.choice([lambda: target.insert(at, new), lambda: target[at:] and target.pop(at)])()
        if target and rng.random() < 0.5:
            target[at % len(target)] = copy.deepcopy(target[at % len(target)])


def respell(rng, fields):
    """A key of an instance dict moved to its end, at random as an equal str that is not the one kept:
    the dict stays equal."""
    key = rng.choice(list(fields))
    value = fields.pop(key)
    fields[rng.choice([key, key[:1] + key[1:]])] = value


def edit_model(rng, note):
    with contextlib.suppress(AttributeError):  # a slot unset by an earlier edit, or again
        rng.choice(
            [
                lambda: edit_nested(rng, note.body),
                lambda: edit_nested(rng, note.tags),
                lambda: note._cache.update(k=data(rng, 1)),  # a private attribute
                lambda: setattr(note, "text", rng.choice(["", "a", "b"])),
                lambda: setattr(note, "tags", copy.deepcopy(note.tags)),  # equal: still intact
                lambda: setattr(note, rng.choice(["extra_a", "x"]), data(rng, 2)),
                lambda: respell(rng, note.__dict__),
                lambda: note.__dict__.__setitem__("stray", data(rng, 1)),  # a key the snapshot lacks
                lambda: note.__pydantic_fields_set__.symmetric_difference_update(
                    {rng.choice(["tags", "text"])}
                ),
                lambda: object.__setattr__(note, "__class__", rng.choice([Note, OwnReads, Other])),
                lambda: object.__delattr__(note, rng.choice(["__pydantic_extra__", "__pydantic_private__"])),
            ]
        )()


def copied(element):
    try:
        return copy.deepcopy(element)
    except AttributeError:  # a model with a slot unset: pydantic's copy reads every slot
        return element


def change(rng, value, make, models):
    i = rng.randrange(len(value))
    rng.choice(
        [
            lambda: edit_model(rng, value[i]) if models else edit_nested(rng, value[i]),
            lambda: value.insert(i, make()),
            lambda: value.pop(i) if len(value) > 1 else None,
            lambda: value.__setitem__(i, copied(value[i])),  # equal, not the stored object
        ]
    )()


@pytest.mark.skipif(native_ends is None, reason="the extension has no native list check")
@pytest.mark.parametrize("seed", range(40))
def test_the_native_check_answers_as_the_python_one_through_edits_in_place_at_any_depth(seed):
    rng = random.Random(seed)
    models = seed % 2 == 0

    def make():
        if not models:
            return data(rng, 4)
        cls = rng.choice([Note, Note, OwnReads])
        return cls(body={"b": data(rng, 3)}, tags=[data(rng, 2)], text=rng.choice(["", "a"]), x=data(rng, 2))

    elements = [make() for _ in range(rng.randrange(1, 30))]
    taken = snapshots(elements)
    assert taken is not None and taken[1] is models
    kept = Kept(list(elements), taken[0], models, 0)
    for _ in range(10):
        value = list(kept.objects)
        for _ in range(rng.randrange(1, 4)):
            change(rng, value, make, models)
        got = native_ends(value, kept.objects, kept.snapshots, models, kept.unchanged)
        assert got == kept.ends_in_python(value) == kept.ends(value)


def test_a_model_class_whose_reach_comes_back_to_its_snapshots_is_still_collected():
    """What a snapshot holds beside the state is invisible to the collector, so it must not hold the
    class: a class defined in a function, whose method reaches what keeps its instances' snapshots, is
    freed with them (else it, and all it reaches, never is)."""

    def kept_by_a_local_class():
        holder = []

        class Local(Note):
            def owner(self):
                return holder

        elements = [Local(body={"b": [1]}, tags=[]), Local(body={}, tags=["t"], x=1)]
        taken = snapshots(elements)
        holder.append(Kept(list(elements), taken[0], True, 0))
        assert holder[0].ends(list(elements)) == (2, 0)
        return weakref.ref(Local)

    gone = kept_by_a_local_class()
    gc.collect()
    assert gone() is None


@pytest.mark.parametrize("seed", range(4))
def test_a_state_derived_from_another_reads_as_the_state_read_whole(seed):
    """Chains of derived states, each read (or not) before the next is derived from it, against the
    state read from its snapshot: the values, and the map of each channel's part for both readers."""
    rng, store, serde = random.Random(seed), Store(max_history=0), JsonPlusSerializer()
    state, snapshots, values, versions = layout.EMPTY, [], {}, {}
    for n in range(40):
        for _ in range(rng.choice([1, 1, 3])):
            channel = f"c{rng.randrange(12)}"
            draw = rng.random()
            if draw < 0.15:
                values.pop(channel, None)
                versions.pop(channel, None)
                continue
            if draw < 0.5:
                values[channel] = [new_dict(rng, n) for _ in range(rng.randrange(1, 4))]
            else:
                values[channel] = rng.choice([n, text(rng), {"n": n}, b"\x00" * n, ("t", n)])
            versions[channel] = n + 1
        checkpoint = {"channel_values": copy.deepcopy(values), "channel_versions": dict(versions)}
        checkpoint["versions_seen"] = {"a": dict(versions)}
        state = layout.apply(store, state, checkpoint, versions, serde.dumps_typed)
        snapshots.append(store.snapshot())
    near = layout.read_state(snapshots[0])
    at = 0
    for _ in range(60):
        to = rng.randrange(len(snapshots))
        derived = layout.derive(near, snapshots[at], snapshots[to])
        whole = layout.read_state(snapshots[to])
        for batch, mode in rng.sample([(True, True), (True, False), (False, True)], 3):
            if rng.random() < 0.5:
                got = layout.channel_values(derived, serde.loads_typed, KeyError, batch)
                assert got == layout.channel_values(whole, serde.loads_typed, KeyError, batch)
            derived.batch = None
            blob, count, others = layout._batched(derived, mode)
            fresh, fresh_count, fresh_others = layout._batched(whole, mode)
            assert (loads(blob), count, sorted(others)) == (loads(fresh), fresh_count, sorted(fresh_others))
        near, at = derived, to


def _store_entries(store):
    return {ns: {key: store.get(ns, key) for key in store.keys(ns)} for ns in store.namespaces()}


@pytest.mark.parametrize("seed", range(6))
def test_a_put_written_natively_leaves_the_store_and_state_the_python_put_leaves(seed, monkeypatch):
    """Random puts (values moved with and without `new_versions` naming them, lists, values and channels
    dropped, nodes seen, dropped and added, forks from older states) applied twice: with the native put
    of plain values where it answers, and by the Python one alone. Store and state agree after each."""
    rng, serde = random.Random(seed), JsonPlusSerializer()
    stores, states = (Store(max_history=0), Store(max_history=0)), [layout.EMPTY, layout.EMPTY]
    history, values, versions, seen, answered = [], {}, {}, {}, [0, 0]
    native = layout.apply_plain

    def counted(*args):
        state = native(*args)
        answered[state is None] += 1
        return state

    for n in range(120):
        if history and rng.random() < 0.1:  # a fork: the next put builds on an older checkpoint
            old = rng.choice(history)
            values, versions, seen = copy.deepcopy(old[0])
            for i in (0, 1):
                states[i] = old[1][i]
                stores[i].restore(old[2][i])
        named = {}
        for _ in range(rng.choice([1, 1, 2, 4])):
            channel, draw = f"c{rng.randrange(10 if seed % 2 else 60)}", rng.random()  # seen maps past 32
            if draw < 0.06:
                versions.pop(channel, None)
            elif draw < 0.12:
                values.pop(channel, None)
            else:
                values[channel] = [new_dict(rng, n)] if draw < 0.25 else rng.choice([n, text(rng), {"n": n}])
                versions[channel] = n + 1
                if rng.random() < 0.8:
                    named[channel] = n + 1
        if rng.random() < 0.3 and versions:  # a channel named without its version moving
            named[rng.choice(list(versions))] = 0
        for node in rng.sample(["agent", "tools", "human"], rng.randrange(4)):
            if rng.random() < 0.15:
                seen.pop(node, None)
            else:
                seen[node] = {ch: v for ch, v in versions.items() if rng.random() < 0.8}
        checkpoint = {"channel_values": values, "channel_versions": versions, "versions_seen": seen}
        for i, apply_plain in enumerate((counted, lambda *args: None)):
            monkeypatch.setattr(layout, "apply_plain", apply_plain)
            states[i] = layout.apply(
                stores[i], states[i], copy.deepcopy(checkpoint), named, serde.dumps_typed
            )
        assert _store_entries(stores[0]) == _store_entries(stores[1])
        fields = [(s.versions, s.seen, s.values, s.lists, s.moved) for s in states]
        assert fields[0] == fields[1]
        history.append(
            (copy.deepcopy((values, versions, seen)), tuple(states), [s.snapshot() for s in stores])
        )
    if sysconfig.get_config_var("Py_GIL_DISABLED"):  # the native put leaves every put to Python there
        assert answered[0] == 0, answered
    else:
        assert min(answered) > 10, answered  # both paths were taken, many times


class _Meddling(int):
    """A version whose `after`-th comparison runs `meddle`, which swaps a checkpoint's entry for an equal
    one: code of the caller's, run mid-put, that frees what the put was reading."""

    after, meddle = -1, None

    def __eq__(self, other):
        _Meddling.after -= 1
        if _Meddling.after == 0:
            _Meddling.meddle()
        return int(self) == int(other)

    __hash__ = int.__hash__


@pytest.mark.parametrize("where", ["serde", 1, 2, 3, 4])
def test_a_put_whose_versions_or_serde_change_the_checkpoint_midway_leaves_what_the_python_put_leaves(
    where, monkeypatch
):
    """A seen map's version swapped out by a comparison of versions (at each comparison in turn), or a
    seen map swapped by the serde for an equal mapping of another type."""
    serde, results = JsonPlusSerializer(), []
    for apply_plain in (layout.apply_plain, lambda *args: None):
        monkeypatch.setattr(layout, "apply_plain", apply_plain)
        store = Store(max_history=0)
        seen = {"a": _Meddling(1), "b": _Meddling(1)}
        checkpoint = {"channel_values": {"a": 1}, "channel_versions": {"a": 1}, "versions_seen": {"n": seen}}
        state = layout.apply(store, layout.EMPTY, checkpoint, {"a": 1}, serde.dumps_typed)
        seen_now = {"a": _Meddling(2), "b": _Meddling(1)}
        seen_maps = {"n": seen_now}
        checkpoint = {"channel_values": {"a": 2}, "channel_versions": {"a": 2}, "versions_seen": seen_maps}
        dumps_typed = serde.dumps_typed
        if where == "serde":

            def dumps_typed(value, maps=seen_maps, now=seen_now):
                maps["n"] = types.MappingProxyType(dict(now))
                return serde.dumps_typed(value)
        else:
            _Meddling.after, _Meddling.meddle = where, lambda now=seen_now: now.__setitem__("a", _Meddling(2))
        state = layout.apply(store, state, checkpoint, {"a": 2}, dumps_typed)
        _Meddling.after = -1
        results.append((_store_entries(store), state.versions, state.seen, state.values, state.moved))
    assert results[0] == results[1]

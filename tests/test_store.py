"""Store as Python sees it: construction, the class's behaviour, and every entry
operation, snapshot, restore and diff run against a dict of dicts. Argument errors
and exact texts are in test_module.py."""

import sys
import time
import weakref

import pytest
from conftest import CYCLE, Index, as_decoded, same, shard_of, trees
from derirezaro import Snapshot, Store, dumps
from derirezaro._replay import namespace_dict
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule


class Big(int):
    def __index__(self):  # an int converts by its value; this must not be consulted
        return 99


Name = type("Name", (str,), {})


@pytest.mark.parametrize("args, kwargs, max_history", [
    ((), {}, None), (("memory", "msgpack", 5), {}, 5), ((Name("memory"), Name("msgpack"), None), {}, None),
    ((), {"max_history": 0, "codec": "msgpack", "backend": "memory"}, 0), ((), {"max_history": True}, 1),
    ((), {"max_history": Index(2**64 - 1)}, 2**64 - 1), ((), {"max_history": Big(5)}, 5),
])  # fmt: skip
def test_construction(args, kwargs, max_history):
    store = Store(*args, **kwargs)  # empty: its length and repr are the model test's
    assert (store.max_history, store.codec) == (max_history, "msgpack")
    assert type(store.max_history) is type(max_history)


def test_instances_are_sealed_and_freed():
    store = Store()
    for cls, obj in [(Store, store), (Snapshot, store.snapshot())]:
        with pytest.raises(TypeError):
            type("Derived", (cls,), {})
        with pytest.raises(AttributeError):
            obj.id = None
        with pytest.raises(TypeError):
            weakref.ref(obj)
    # A freed instance gives back its memory and its reference to the class.
    references, blocks = sys.getrefcount(Store), sys.getallocatedblocks()
    for _ in range(100):
        Store().set("ns", "k", 1)
    assert sys.getrefcount(Store) == references and sys.getallocatedblocks() < blocks + 50


names = st.sampled_from(["default", "x", "a", "users", "", "y", "ns\0", "é"]) | st.text(max_size=4)
names = names | names.map(Name)
unencodable = [object(), {1, 2}, [1, 2**64], {"a": [bytearray()]}, -(2**63) - 1, "\ud800", CYCLE]
unencodable += [{(1, 2): 0}, [{"k": {(): None}}]]  # encodable, but not as keys that decode hashable


def pairs(model):
    return sorted((ns, key) for ns, keys in model.items() for key in keys)


def model_diff(new, old):
    added, removed = set(pairs(new)) - set(pairs(old)), set(pairs(old)) - set(pairs(new))
    changed = [p for p in pairs(new) if p in pairs(old) and dumps(new[p[0]][p[1]]) != dumps(old[p[0]][p[1]])]
    return {"added": sorted(added), "removed": sorted(removed), "changed": changed}


class StoreMachine(RuleBasedStateMachine):
    """The store against a dict of dicts. A namespace stays after its last key is
    deleted, in the model as in the store, until clear(). Snapshots are held with
    the model they were taken of."""

    def __init__(self):
        super().__init__()
        self.store, self.model, self.snapshots = Store(), {}, []

    @rule(ns=names, key=names, value=trees(size=3, max_leaves=8))
    def set(self, ns, key, value):
        assert self.store.set(ns, key=key, value=value) is None
        self.model.setdefault(str(ns), {})[str(key)] = value

    @rule(ns=names, key=names, value=st.sampled_from(unencodable))
    def set_refused(self, ns, key, value):
        # What dumps refuses the store refuses alike; what it takes but would
        # decode with a container key, unhashable, the store refuses as
        # something it could never give back. Nothing changes either way.
        with pytest.raises(Exception) as got:
            self.store.set(ns, key, value)
        try:
            dumps(value)
        except Exception as expected:
            assert (type(got.value), str(got.value)) == (type(expected), str(expected))
        else:
            assert type(got.value) is TypeError and "could never be read back" in str(got.value)

    @rule(data=st.data(), delete=st.booleans())
    def get_or_delete(self, data, delete):
        # Any names, or those of an entry that is there.
        ns, key = data.draw(st.tuples(names, names) | st.sampled_from(pairs(self.model) or [("", "")]))
        present, missing = key in self.model.get(ns, {}), object()
        assert self.store.contains(ns, key) is present
        if isinstance(first := self.store.get(ns, key, missing), (list, dict)):
            first.clear()  # every get decodes a fresh copy
        if present:
            assert same(self.store.get(ns, key), as_decoded(self.model[ns][key]))
        else:
            assert first is missing and self.store.get(ns, key) is None
            assert self.store.get(ns, key, default=2) == 2
        if delete:
            assert self.store.delete(ns, key) is present
            self.model.get(ns, {}).pop(key, None)

    @rule()
    def clear(self):
        assert self.store.clear() is None
        self.model.clear()

    @rule()
    def snapshot(self):
        snapshot, last = self.store.snapshot(), self.snapshots[-1][0].id if self.snapshots else None
        assert (snapshot.id, snapshot.parent) == ((last or 0) + 1, last) and snapshot
        parent = "None" if last is None else f"Some({last})"
        shown = f"Snapshot(id={snapshot.id}, size_bytes={snapshot.size_bytes}, parent={parent})"
        assert repr(snapshot) == shown and time.time() - snapshot.timestamp < 60
        for ns in self.model:  # a namespace read whole lists its keys in the order the store does
            assert list(namespace_dict(snapshot, ns)) == self.store.keys(ns)
        self.snapshots.append((snapshot, {ns: dict(keys) for ns, keys in self.model.items()}))

    @precondition(lambda self: self.snapshots)
    @rule(new=st.integers(), old=st.integers())
    def diff_and_restore(self, new, old):
        (new, new_model), (old, old_model) = (self.snapshots[i % len(self.snapshots)] for i in (new, old))
        assert {k: sorted(v) for k, v in new.diff(base=old).items()} == model_diff(new_model, old_model)
        self.store.restore(old)
        self.model = {ns: dict(keys) for ns, keys in old_model.items()}

    @invariant()
    def snapshots_never_change(self):
        for snapshot, model in self.snapshots:
            assert sorted(snapshot.keys) == pairs(model)
            for ns in [*model, "never used"]:
                items = namespace_dict(snapshot, ns)
                assert len(items) == len(model.get(ns, {}))
                assert all(same(value, as_decoded(model[ns][key])) for key, value in items.items())
            assert snapshot.size_bytes == sum(len(dumps(v)) for keys in model.values() for v in keys.values())

    @invariant()
    def listings_and_counts(self):
        entries = sum(len(keys) for keys in self.model.values())
        assert (len(self.store), bool(self.store)) == (entries, entries > 0)
        assert repr(self.store) == f"Store(backend='memory', codec='msgpack', entries={entries})"
        listed = self.store.namespaces()
        assert sorted(listed) == sorted(self.model) and self.store.keys("never used") == []
        shards = [shard_of(ns) for ns in listed]
        assert shards == sorted(shards), "namespaces() is grouped by shard, in shard order"
        for ns in listed:
            keys = self.store.keys(ns)
            assert sorted(keys) == sorted(self.model[ns]) and all(type(k) is type(ns) is str for k in keys)


StoreMachine.TestCase.settings = settings(max_examples=80, stateful_step_count=40, deadline=None)
test_store_matches_a_dict_of_dicts = StoreMachine.TestCase

"""Store: the class as Python sees it, construction and its validation,
len/repr, and the entry operations (set, get, contains, delete, keys,
namespaces, clear), including a model-based run against a plain
dict-of-dicts."""

import ctypes
import inspect
import itertools
import weakref

import derirezaro
import pytest
from derirezaro import _core
from derirezaro._core import dumps
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

Store = _core.Store

CLASS_DOC = "Framework-agnostic state store with immutable snapshots."
CLASS_SIGNATURE = '(backend="memory", codec="msgpack", max_history=None)'


# --- shard selection, recomputed -------------------------------------------
# namespaces() groups its result by shard index, so checking that grouping
# for arbitrary namespaces needs the shard rule itself: SipHash-1-3 with
# zero keys over the UTF-8 bytes plus one 0xFF byte, low four bits.

_MASK = (1 << 64) - 1


def _rotl(x, bits):
    return ((x << bits) | (x >> (64 - bits))) & _MASK


def _sip_round(v0, v1, v2, v3):
    v0 = (v0 + v1) & _MASK
    v1 = _rotl(v1, 13) ^ v0
    v0 = _rotl(v0, 32)
    v2 = (v2 + v3) & _MASK
    v3 = _rotl(v3, 16) ^ v2
    v0 = (v0 + v3) & _MASK
    v3 = _rotl(v3, 21) ^ v0
    v2 = (v2 + v1) & _MASK
    v1 = _rotl(v1, 17) ^ v2
    v2 = _rotl(v2, 32)
    return v0, v1, v2, v3


def _siphash13_zero_key(data):
    v0, v1, v2, v3 = 0x736F6D6570736575, 0x646F72616E646F6D, 0x6C7967656E657261, 0x7465646279746573
    tail = len(data) % 8
    blocks = [int.from_bytes(data[i : i + 8], "little") for i in range(0, len(data) - tail, 8)]
    blocks.append(int.from_bytes(data[len(data) - tail :], "little") | ((len(data) & 0xFF) << 56))
    for m in blocks:
        v3 ^= m
        v0, v1, v2, v3 = _sip_round(v0, v1, v2, v3)
        v0 ^= m
    v2 ^= 0xFF
    for _ in range(3):
        v0, v1, v2, v3 = _sip_round(v0, v1, v2, v3)
    return v0 ^ v1 ^ v2 ^ v3


def shard_of(namespace):
    return _siphash13_zero_key(namespace.encode() + b"\xff") & 15


KNOWN_SHARDS = {"default": 1, "x": 1, "a": 3, "users": 4, "config": 5, "b": 10, "": 15, "y": 15}


def assert_grouped_by_shard(namespaces):
    indices = [shard_of(ns) for ns in namespaces]
    assert indices == sorted(indices), (
        f"namespaces not grouped by shard: {list(zip(namespaces, indices, strict=True))}"
    )


def same_value(got, expected):
    # Byte-equal encodings: tells bool from int, 0.0 from -0.0 and keeps NaN
    # payloads, which == cannot. Tuples come back as lists and encode alike.
    return dumps(got) == dumps(expected)


def overflow_message(value):
    """The interpreter's own text for `value` out of the unsigned 64-bit range."""
    convert = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    convert.argtypes = [ctypes.py_object]
    convert.restype = ctypes.c_ulonglong
    try:
        convert(value)
    except OverflowError as exc:
        return str(exc)
    raise AssertionError(f"{value} is in range")


class Outer:
    class Inner:
        pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Name(str):
    pass


@pytest.fixture
def store():
    return Store()


def populated():
    s = Store()
    s.set("ns", "k", 1)
    return s


def assert_only_the_seed_entry(s):
    assert len(s) == 1
    assert s.namespaces() == ["ns"]
    assert s.keys("ns") == ["k"]
    assert s.get("ns", "k") == 1


# --- class surface -----------------------------------------------------------


def test_store_is_exported_after_the_codec_functions():
    assert _core.__all__[:5] == ["__version__", "core_version", "dumps", "loads", "Store"]
    assert derirezaro.Store is Store


def test_class_identity_signature_and_doc():
    assert repr(Store) == "<class 'derirezaro._core.Store'>"
    assert Store.__name__ == "Store"
    assert Store.__qualname__ == "Store"
    assert Store.__module__ == "derirezaro._core"
    assert Store.__text_signature__ == CLASS_SIGNATURE
    # The signature is split off the docstring, not left in front of it.
    assert Store.__doc__ == CLASS_DOC
    assert str(inspect.signature(Store)) == "(backend='memory', codec='msgpack', max_history=None)"


METHODS = [
    (
        "set",
        "($self, namespace, key, value)",
        "Store `value` under `(namespace, key)`, replacing any existing value.",
    ),
    (
        "get",
        "($self, namespace, key, default=None)",
        "Return the value at `(namespace, key)`, or `default` (None) if absent.",
    ),
    ("contains", "($self, namespace, key)", "Return whether `(namespace, key)` exists."),
    ("delete", "($self, namespace, key)", "Delete `(namespace, key)`. Returns True if a value was removed."),
    ("keys", "($self, namespace)", "All keys within `namespace` (empty list if the namespace is unknown)."),
    ("namespaces", "($self)", "All namespaces currently in the store."),
    ("clear", "($self)", "Remove all entries (does not clear snapshot history)."),
]


@pytest.mark.parametrize("name, signature, doc", METHODS, ids=[m[0] for m in METHODS])
def test_method_signature_and_doc(name, signature, doc):
    method = getattr(Store, name)
    assert method.__name__ == name
    assert method.__qualname__ == f"Store.{name}"
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc
    bound = inspect.signature(getattr(Store(), name))
    assert str(bound) == signature.replace("$self, ", "").replace("$self", "")
    for param in bound.parameters.values():
        assert param.kind is param.POSITIONAL_OR_KEYWORD


PROPERTIES = [
    ("codec", 'Serialization codec in use (currently always `"msgpack"`).'),
    ("max_history", "Maximum number of retained snapshots, or `None` for unlimited."),
]


@pytest.mark.parametrize("name, doc", PROPERTIES, ids=[p[0] for p in PROPERTIES])
def test_properties_are_documented_and_read_only(name, doc):
    assert Store.__dict__[name].__doc__ == doc
    s = Store(max_history=3)
    before = getattr(s, name)
    with pytest.raises(AttributeError):
        setattr(s, name, before)
    with pytest.raises(AttributeError):
        delattr(s, name)
    assert getattr(s, name) == before


def test_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Derived", (Store,), {})


def test_instances_take_no_new_attributes_and_have_no_dict(store):
    with pytest.raises(AttributeError):
        store.extra = 1
    with pytest.raises(AttributeError):
        store.get = None
    assert not hasattr(store, "__dict__")
    with pytest.raises(TypeError):
        vars(store)


def test_instances_refuse_weak_references(store):
    with pytest.raises(TypeError):
        weakref.ref(store)


def test_equality_and_hash_are_by_identity():
    a, b = Store(), Store()
    assert a == a and not (a != a)
    # Two empty stores are still two objects.
    assert a != b and not (a == b)
    assert hash(a) == hash(a) == object.__hash__(a)
    assert len({a, b, a}) == 2
    with pytest.raises(TypeError):
        a < b


def test_truth_follows_the_entry_count(store):
    assert not store
    store.set("ns", "k", None)
    assert store
    store.delete("ns", "k")
    # The namespace is still there but holds nothing.
    assert not store


@pytest.mark.parametrize(
    "name, args",
    [
        ("set", ("a", "b", 1)),
        ("get", ("a", "b")),
        ("contains", ("a", "b")),
        ("delete", ("a", "b")),
        ("keys", ("a",)),
        ("namespaces", ()),
        ("clear", ()),
    ],
)
@pytest.mark.parametrize("receiver", [object(), None, "Store"])
def test_methods_check_their_receiver(name, args, receiver):
    # Either the interpreter's descriptor check or the wrapper's own check
    # may answer first; only the exception type is fixed.
    with pytest.raises(TypeError):
        getattr(Store, name)(receiver, *args)


@pytest.mark.parametrize("name", ["codec", "max_history"])
def test_property_getters_check_their_receiver(name):
    with pytest.raises(TypeError):
        Store.__dict__[name].__get__(object(), object)


# --- construction --------------------------------------------------------------


def test_defaults(store):
    assert len(store) == 0
    assert store.codec == "msgpack" and type(store.codec) is str
    assert store.max_history is None
    assert repr(store) == "Store(backend='memory', codec='msgpack', entries=0)"
    assert store.namespaces() == []


@pytest.mark.parametrize(
    "args, kwargs, max_history",
    [
        ((), {}, None),
        (("memory",), {}, None),
        (("memory", "msgpack"), {}, None),
        (("memory", "msgpack", 5), {}, 5),
        (("memory", "msgpack", None), {}, None),
        ((), {"max_history": 5, "codec": "msgpack", "backend": "memory"}, 5),
        (("memory",), {"max_history": 7}, 7),
        (("memory", "msgpack"), {"max_history": None}, None),
        # str subclasses pass the conversion and compare by content.
        ((Name("memory"), Name("msgpack")), {}, None),
    ],
)
def test_arguments_bind_by_position_and_keyword(args, kwargs, max_history):
    s = Store(*args, **kwargs)
    assert s.max_history == max_history
    assert s.codec == "msgpack" and type(s.codec) is str
    assert len(s) == 0


class Big(int):
    # An int subclass converts by its integer value; a different __index__
    # must not be consulted.
    def __index__(self):
        return 99


@pytest.mark.parametrize(
    "given, expected",
    [
        (0, 0),
        (1, 1),
        (5, 5),
        (True, 1),
        (False, 0),
        (2**63, 2**63),
        (2**64 - 1, 2**64 - 1),
        (Index(7), 7),
        (Index(0), 0),
        (Index(2**64 - 1), 2**64 - 1),
        (Big(5), 5),
    ],
)
def test_max_history_accepts_every_unsigned_64_bit_value(given, expected):
    s = Store(max_history=given)
    assert s.max_history == expected
    assert type(s.max_history) is int


@pytest.mark.parametrize("value", [-1, -(2**64), 2**64, 2**70])
@pytest.mark.parametrize("wrap", [int, Index], ids=["int", "__index__"])
@pytest.mark.parametrize(
    "others",
    [
        {},
        {"backend": "disk"},
        {"codec": "json"},
        {"backend": "disk", "codec": "json"},
    ],
    ids=["valid", "bad-backend", "bad-codec", "both-bad"],
)
def test_max_history_out_of_range_overflows_before_any_value_check(value, wrap, others):
    with pytest.raises(OverflowError) as exc:
        Store(max_history=wrap(value), **others)
    assert type(exc.value) is OverflowError
    assert str(exc.value) == overflow_message(value)


def test_index_errors_propagate_unchanged():
    class Refuses:
        def __index__(self):
            raise LookupError("no index here")

    with pytest.raises(LookupError) as exc:
        Store(max_history=Refuses())
    assert str(exc.value) == "no index here"


def test_index_returning_a_non_int_is_a_type_error_naming_the_argument():
    with pytest.raises(TypeError) as exc:
        Store(max_history=Index("5"))
    assert type(exc.value) is TypeError
    assert str(exc.value).startswith("argument 'max_history': ")


def _pystring(name, type_name):
    return f"argument '{name}': '{type_name}' object cannot be converted to 'PyString'"


def _integer(type_name):
    return f"argument 'max_history': '{type_name}' object cannot be interpreted as an integer"


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"backend": None}, _pystring("backend", "NoneType")),
        ({"backend": 1}, _pystring("backend", "int")),
        ({"backend": b"memory"}, _pystring("backend", "bytes")),
        ({"backend": Outer.Inner()}, _pystring("backend", "Outer.Inner")),
        ({"codec": None}, _pystring("codec", "NoneType")),
        ({"codec": 1}, _pystring("codec", "int")),
        ({"max_history": 1.0}, _integer("float")),
        ({"max_history": 5.5}, _integer("float")),
        ({"max_history": "5"}, _integer("str")),
        ({"max_history": [5]}, _integer("list")),
        # Conversions run in parameter order...
        ({"backend": 1, "codec": 1, "max_history": 1.5}, _pystring("backend", "int")),
        ({"codec": 1, "max_history": 1.5}, _pystring("codec", "int")),
        ({"max_history": 1.5, "codec": None}, _pystring("codec", "NoneType")),
        # ...and all of them before either value is checked.
        ({"backend": "disk", "codec": 2}, _pystring("codec", "int")),
        ({"backend": "disk", "codec": "json", "max_history": "x"}, _integer("str")),
    ],
)
def test_constructor_conversion_errors(kwargs, message):
    with pytest.raises(TypeError) as exc:
        Store(**kwargs)
    assert type(exc.value) is TypeError
    assert str(exc.value) == message
    assert exc.value.__cause__ is None


def _backend(text):
    return f"backend '{text}' is not available in this build (only 'memory')"


def _codec(text):
    return f"codec '{text}' is not supported (only 'msgpack')"


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"backend": "disk"}, _backend("disk")),
        ({"backend": "Memory"}, _backend("Memory")),
        ({"backend": "MEMORY"}, _backend("MEMORY")),
        ({"backend": ""}, _backend("")),
        ({"backend": "memor"}, _backend("memor")),
        ({"backend": "memoryy"}, _backend("memoryy")),
        ({"backend": " memory"}, _backend(" memory")),
        # Compared as whole byte strings: a NUL does not end the comparison.
        ({"backend": "memory\x00"}, _backend("memory\x00")),
        ({"backend": "mémoire"}, _backend("mémoire")),
        ({"codec": "json"}, _codec("json")),
        ({"codec": "MSGPACK"}, _codec("MSGPACK")),
        ({"codec": "msgpack\x00json"}, _codec("msgpack\x00json")),
        ({"codec": ""}, _codec("")),
        ({"codec": "msgpack "}, _codec("msgpack ")),
        # The backend is checked first.
        ({"backend": "disk", "codec": "json"}, _backend("disk")),
        ({"codec": "json", "backend": "disk", "max_history": 3}, _backend("disk")),
        ({"backend": Name("disk")}, _backend("disk")),
    ],
)
def test_constructor_value_errors(kwargs, message):
    with pytest.raises(ValueError) as exc:
        Store(**kwargs)
    assert type(exc.value) is ValueError
    assert str(exc.value) == message


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (
            ("memory", "msgpack", None, 1),
            {},
            "Store.__new__() takes from 0 to 3 positional arguments but 4 were given",
        ),
        # Binding is judged before any argument is converted or checked.
        ((1, 2, 3, 4, 5), {}, "Store.__new__() takes from 0 to 3 positional arguments but 5 were given"),
        ((), {"backends": "memory"}, "Store.__new__() got an unexpected keyword argument 'backends'"),
        (("disk",), {"history": 1}, "Store.__new__() got an unexpected keyword argument 'history'"),
        (("memory",), {"backend": "memory"}, "Store.__new__() got multiple values for argument 'backend'"),
        (
            ("memory", "msgpack", 3),
            {"max_history": 3},
            "Store.__new__() got multiple values for argument 'max_history'",
        ),
        (
            (),
            {"codec": "msgpack", "Codec": "msgpack"},
            "Store.__new__() got an unexpected keyword argument 'Codec'",
        ),
    ],
)
def test_constructor_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        Store(*args, **kwargs)
    assert type(exc.value) is TypeError
    assert str(exc.value) == message


# --- len and repr --------------------------------------------------------------


def test_len_and_repr_count_entries_across_namespaces_and_shards(store):
    store.set("ns", "a", 1)
    store.set("ns", "b", 2)
    assert len(store) == 2
    assert repr(store) == "Store(backend='memory', codec='msgpack', entries=2)"
    for ns in KNOWN_SHARDS:
        store.set(ns, "k", ns)
    assert len(store) == 2 + len(KNOWN_SHARDS)
    assert repr(store) == f"Store(backend='memory', codec='msgpack', entries={2 + len(KNOWN_SHARDS)})"
    store.delete("ns", "a")
    store.delete("ns", "b")
    assert len(store) == len(KNOWN_SHARDS)
    assert "ns" in store.namespaces()


def test_stores_are_independent():
    a, b = Store(), Store()
    a.set("ns", "k", 1)
    assert len(b) == 0 and b.namespaces() == [] and b.get("ns", "k") is None
    b.clear()
    assert a.get("ns", "k") == 1


# --- set and get ---------------------------------------------------------------


@pytest.mark.parametrize(
    "value",
    [
        None,
        True,
        False,
        0,
        -1,
        2**64 - 1,
        -(2**63),
        1.5,
        -0.0,
        float("inf"),
        float("nan"),
        "",
        "text",
        "é日本\U0001f600",
        b"",
        b"\x00\xff",
        [],
        [1, [2, [3]]],
        (1, (2,)),
        {},
        {"a": {"b": [None, 2.5]}, 7: b"x"},
        "x" * 100_000,
        b"\x01" * (1 << 20),
    ],
    ids=lambda v: type(v).__name__,
)
def test_set_then_get_round_trips(store, value):
    assert store.set("ns", "k", value) is None
    assert same_value(store.get("ns", "k"), value)


def test_get_of_an_absent_entry_returns_the_default(store):
    sentinel = object()
    assert store.get("ns", "missing") is None
    assert store.get("ns", "missing", 7) == 7
    assert store.get("ns", "missing", default=None) is None
    # The default comes back as the same object, not a copy.
    assert store.get("ns", "missing", sentinel) is sentinel
    assert store.get(key="missing", default=sentinel, namespace="ns") is sentinel
    store.set("ns", "other", 1)
    # A known namespace without the key is absent just the same.
    assert store.get("ns", "missing", sentinel) is sentinel
    assert store.get("NS", "other", sentinel) is sentinel


def test_a_stored_none_is_not_absence(store):
    store.set("ns", "k", None)
    assert store.get("ns", "k", 7) is None
    assert store.contains("ns", "k")


def test_get_ignores_the_default_when_present(store):
    store.set("ns", "k", [1])
    assert store.get("ns", "k", "fallback") == [1]


def test_values_are_copied_in_and_out(store):
    given = {"list": [1, 2], "nested": {"a": []}}
    store.set("ns", "k", given)
    given["list"].append(3)
    given["nested"]["a"].append("x")
    first = store.get("ns", "k")
    assert first == {"list": [1, 2], "nested": {"a": []}}
    first["list"].append(99)
    second = store.get("ns", "k")
    assert second == {"list": [1, 2], "nested": {"a": []}}
    assert second is not first and second["list"] is not first["list"]


def test_set_replaces_in_place(store):
    store.set("ns", "k", "a")
    store.set("ns", "k", "bb")
    assert len(store) == 1
    assert store.keys("ns") == ["k"]
    assert store.get("ns", "k") == "bb"
    # Replacing with a shorter value must not keep stale trailing bytes.
    store.set("ns", "k", "c")
    assert store.get("ns", "k") == "c"


def test_arguments_bind_by_keyword(store):
    store.set(value=[1], key="k", namespace="ns")
    assert store.get(namespace="ns", key="k") == [1]
    assert store.contains(key="k", namespace="ns")
    assert store.keys(namespace="ns") == ["k"]
    assert store.delete(namespace="ns", key="k") is True


@pytest.mark.parametrize(
    "keys",
    [
        # Keys are compared as whole UTF-8 strings: no truncation at NUL, no
        # case folding, no Unicode normalisation.
        ["a", "a\x00", "a\x00b", "A", "", "\x00"],
        ["é", "e\u0301", "É"],
        ["k", "k ", " k"],
    ],
)
def test_distinct_strings_are_distinct_keys_and_namespaces(store, keys):
    for i, k in enumerate(keys):
        store.set("ns", k, i)
        store.set(k, "key", i)
    assert len(store) == 2 * len(keys)
    assert sorted(store.keys("ns")) == sorted(keys)
    assert set(store.namespaces()) == {"ns", *keys}
    for i, k in enumerate(keys):
        assert store.get("ns", k) == i
        assert store.get(k, "key") == i


def test_empty_strings_are_valid_namespace_and_key(store):
    store.set("", "", None)
    assert len(store) == 1
    assert store.contains("", "")
    assert store.get("", "", 5) is None
    assert store.keys("") == [""]
    assert store.namespaces() == [""]
    assert store.delete("", "") is True
    assert store.namespaces() == [""]


def test_string_subclasses_are_accepted_and_plain_str_comes_back(store):
    store.set(Name("ns"), Name("k"), 1)
    assert store.get("ns", "k") == 1
    assert store.contains(Name("ns"), "k")
    (key,) = store.keys(Name("ns"))
    (ns,) = store.namespaces()
    assert type(key) is str and key == "k"
    assert type(ns) is str and ns == "ns"


def test_many_keys_and_namespaces(store):
    # Enough entries to fill several trie levels in both map kinds.
    keys = [f"key-{i}" for i in range(3000)]
    namespaces = [f"ns-{i}" for i in range(400)]
    for i, k in enumerate(keys):
        store.set("bulk", k, i)
    for i, ns in enumerate(namespaces):
        store.set(ns, "k", i)
    assert len(store) == len(keys) + len(namespaces)
    assert sorted(store.keys("bulk")) == sorted(keys)
    listed = store.namespaces()
    assert sorted(listed) == sorted(namespaces + ["bulk"])
    assert_grouped_by_shard(listed)
    assert all(store.get("bulk", k) == i for i, k in enumerate(keys))
    for k in keys[::2]:
        assert store.delete("bulk", k) is True
    assert sorted(store.keys("bulk")) == sorted(keys[1::2])
    assert all(store.contains("bulk", k) is (i % 2 == 1) for i, k in enumerate(keys))
    assert len(store) == len(keys) // 2 + len(namespaces)


def _nested(depth, leaf, wrap):
    value = leaf
    for _ in range(depth):
        value = wrap(value)
    return value


@pytest.mark.parametrize("leaf", [1, "s", b"b"], ids=["int", "str", "bytes"])
@pytest.mark.parametrize(
    "wrap", [lambda v: [v], lambda v: (v,), lambda v: {"k": v}], ids=["list", "tuple", "dict"]
)
def test_the_deepest_value_set_accepts_comes_back_from_get(store, leaf, wrap):
    # Whatever set stores, get must be able to read: a value the encoder
    # takes but the decoder refuses would be lost behind its key.
    accepted = None
    for depth in range(400, 1100):
        value = _nested(depth, leaf, wrap)
        try:
            store.set("ns", "deep", value)
        except RecursionError:
            break
        accepted = value
    assert accepted is not None
    assert same_value(store.get("ns", "deep"), accepted)


# --- contains, delete, keys ------------------------------------------------------


def test_contains(store):
    assert store.contains("ns", "k") is False
    store.set("ns", "k", 0)
    assert store.contains("ns", "k") is True
    assert store.contains("ns", "K") is False
    assert store.contains("other", "k") is False


def test_delete_reports_whether_it_removed_something(store):
    store.set("ns", "k", 1)
    store.set("ns", "j", 2)
    assert store.delete("ns", "k") is True
    assert store.delete("ns", "k") is False
    assert store.delete("ns", "missing") is False
    assert store.delete("unknown", "k") is False
    assert store.get("ns", "j") == 2
    assert len(store) == 1


def test_deleting_the_last_key_keeps_the_namespace(store):
    store.set("ns", "k", 1)
    assert store.delete("ns", "k") is True
    assert store.contains("ns", "k") is False
    assert store.keys("ns") == []
    assert len(store) == 0
    assert store.namespaces() == ["ns"]
    store.set("ns", "k2", 2)
    assert store.keys("ns") == ["k2"] and len(store) == 1
    store.clear()
    assert store.namespaces() == []


def test_keys(store):
    assert store.keys("unknown") == []
    store.set("ns", "b", 1)
    store.set("ns", "a", 2)
    store.set("ns", "b", 3)
    store.set("other", "c", 4)
    assert sorted(store.keys("ns")) == ["a", "b"]
    assert store.keys("other") == ["c"]


def test_returned_lists_are_new_objects(store):
    store.set("ns", "k", 1)
    for fetch in (lambda: store.keys("ns"), store.namespaces, lambda: store.keys("unknown")):
        first = fetch()
        assert type(first) is list
        first.append("junk")
        second = fetch()
        assert second is not first
        assert "junk" not in second
    assert store.keys("ns") == ["k"] and store.namespaces() == ["ns"]


# --- namespaces -------------------------------------------------------------------


@pytest.mark.parametrize("order", list(itertools.permutations(["default", "a", "b", ""])), ids=str)
def test_namespaces_come_in_shard_order(store, order):
    for ns in order:
        store.set(ns, "k", 1)
    # Shards 1, 3, 10 and 15, whatever the insertion order.
    assert store.namespaces() == ["default", "a", "b", ""]


def test_namespaces_sharing_a_shard_are_grouped(store):
    assert {ns: shard_of(ns) for ns in KNOWN_SHARDS} == KNOWN_SHARDS
    for ns in ["y", "b", "config", "", "users", "x", "a", "default"]:
        store.set(ns, "k", 1)
    listed = store.namespaces()
    assert sorted(listed) == sorted(KNOWN_SHARDS)
    # Shards 1 (two namespaces), 3, 4, 5, 10 and 15 (two namespaces).
    assert set(listed[:2]) == {"default", "x"}
    assert listed[2:6] == ["a", "users", "config", "b"]
    assert set(listed[6:]) == {"", "y"}


# --- clear -------------------------------------------------------------------


def test_clear(store):
    assert store.clear() is None
    assert len(store) == 0 and store.namespaces() == []
    for ns in KNOWN_SHARDS:
        store.set(ns, "k", [ns])
        store.set(ns, "j", 1)
    store.delete("a", "k")
    assert store.clear() is None
    assert len(store) == 0
    assert store.namespaces() == []
    assert repr(store) == "Store(backend='memory', codec='msgpack', entries=0)"
    for ns in KNOWN_SHARDS:
        assert store.keys(ns) == []
        assert store.contains(ns, "k") is False
        assert store.get(ns, "k") is None
    store.set("a", "k", 2)
    assert store.get("a", "k") == 2 and len(store) == 1 and store.namespaces() == ["a"]
    store.clear()
    store.clear()
    assert len(store) == 0


# --- argument errors --------------------------------------------------------------


@pytest.mark.parametrize(
    "name, args, param, type_name",
    [
        ("set", (1, "k", 0), "namespace", "int"),
        ("set", ("ns", None, 0), "key", "NoneType"),
        ("set", (b"ns", 2.5, object()), "namespace", "bytes"),
        # Both strings are converted before the value is encoded.
        ("set", ("ns", ["k"], object()), "key", "list"),
        ("set", ("new", Outer.Inner(), 1), "key", "Outer.Inner"),
        ("get", (None, "k"), "namespace", "NoneType"),
        ("get", ("ns", 1, 5), "key", "int"),
        ("contains", (("ns",), "k"), "namespace", "tuple"),
        ("contains", ("ns", b"k"), "key", "bytes"),
        ("delete", (1.5, "k"), "namespace", "float"),
        ("delete", ("ns", bytearray(b"k")), "key", "bytearray"),
        ("delete", (None, None), "namespace", "NoneType"),
        ("keys", (Outer.Inner(),), "namespace", "Outer.Inner"),
        ("keys", (b"ns",), "namespace", "bytes"),
    ],
)
def test_wrong_argument_types_name_the_first_bad_parameter(name, args, param, type_name):
    s = populated()
    with pytest.raises(TypeError) as exc:
        getattr(s, name)(*args)
    assert type(exc.value) is TypeError
    assert str(exc.value) == _pystring(param, type_name)
    assert exc.value.__cause__ is None
    assert_only_the_seed_entry(s)


def _encode_error(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as exc:
        return str(exc)
    raise AssertionError("encodable")


@pytest.mark.parametrize(
    "name, args, bad",
    [
        ("set", ("\ud800", "k", 1), "\ud800"),
        ("set", ("ns", "k\udfff", 1), "k\udfff"),
        # The key fails before the value would.
        ("set", ("new", "\udc80", object()), "\udc80"),
        ("set", ("a\ud83d", 1, 1), "a\ud83d"),
        ("get", ("\ud800", "k"), "\ud800"),
        ("get", ("ns", "\ud800", 5), "\ud800"),
        ("contains", ("ns", "\udfff"), "\udfff"),
        ("delete", ("\ud800", "k"), "\ud800"),
        ("keys", ("\ud800",), "\ud800"),
    ],
)
def test_lone_surrogates_raise_the_interpreter_encoding_error(name, args, bad):
    s = populated()
    with pytest.raises(UnicodeEncodeError) as exc:
        getattr(s, name)(*args)
    assert str(exc.value) == _encode_error(bad)
    assert_only_the_seed_entry(s)


def test_a_bad_namespace_type_is_reported_before_a_bad_key_encoding():
    s = populated()
    with pytest.raises(TypeError) as exc:
        s.set(1, "\ud800", 1)
    assert str(exc.value) == _pystring("namespace", "int")


_cycle = [1]
_cycle.append(_cycle)


@pytest.mark.parametrize(
    "value",
    [
        object(),
        {1, 2},
        [1, 2**64],
        {"a": [bytearray(b"x")]},
        -(2**63) - 1,
        "\ud800",
        ["ok", "\udfff"],
        _cycle,
    ],
    ids=[
        "object",
        "set",
        "int-in-list",
        "bytearray",
        "negative-int",
        "surrogate",
        "surrogate-in-list",
        "cycle",
    ],
)
@pytest.mark.parametrize("namespace", ["ns", "fresh"])
def test_unencodable_values_leave_the_store_unchanged(value, namespace):
    try:
        dumps(value)
    except Exception as exc:
        expected = exc
    else:
        raise AssertionError("value encodes")
    s = populated()
    with pytest.raises(type(expected)) as exc:
        s.set(namespace, "k", value)
    assert type(exc.value) is type(expected)
    assert str(exc.value) == str(expected)
    # Neither the old value replaced nor a new namespace created.
    assert_only_the_seed_entry(s)


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("set", ("ns", "k", 1, 2), {}, "Store.set() takes 3 positional arguments but 4 were given"),
        (
            "set",
            (),
            {},
            "Store.set() missing 3 required positional arguments: 'namespace', 'key', and 'value'",
        ),
        ("set", ("ns",), {}, "Store.set() missing 2 required positional arguments: 'key' and 'value'"),
        ("set", ("ns", "k"), {}, "Store.set() missing 1 required positional argument: 'value'"),
        (
            "set",
            (),
            {"value": 1},
            "Store.set() missing 2 required positional arguments: 'namespace' and 'key'",
        ),
        (
            "set",
            ("ns", "k"),
            {"namespace": "x", "value": 1},
            "Store.set() got multiple values for argument 'namespace'",
        ),
        ("set", ("ns", "k"), {"val": 1}, "Store.set() got an unexpected keyword argument 'val'"),
        # Binding is judged before any argument is converted.
        ("set", (1, 2, 3, 4), {}, "Store.set() takes 3 positional arguments but 4 were given"),
        ("set", (1,), {"bogus": 2}, "Store.set() got an unexpected keyword argument 'bogus'"),
        ("get", ("ns", "k", 1, 2), {}, "Store.get() takes from 2 to 3 positional arguments but 4 were given"),
        ("get", (), {"ns": "a", "key": "k"}, "Store.get() got an unexpected keyword argument 'ns'"),
        ("get", ("a",), {}, "Store.get() missing 1 required positional argument: 'key'"),
        (
            "get",
            ("a", "k"),
            {"default": 1, "defualt": 2},
            "Store.get() got an unexpected keyword argument 'defualt'",
        ),
        ("get", ("a", "k", 1), {"default": 2}, "Store.get() got multiple values for argument 'default'"),
        ("contains", ("a", "b", "c"), {}, "Store.contains() takes 2 positional arguments but 3 were given"),
        ("contains", ("a",), {}, "Store.contains() missing 1 required positional argument: 'key'"),
        ("delete", (), {"key": "k"}, "Store.delete() missing 1 required positional argument: 'namespace'"),
        ("delete", ("ns", "k", "x"), {}, "Store.delete() takes 2 positional arguments but 3 were given"),
        ("keys", (), {}, "Store.keys() missing 1 required positional argument: 'namespace'"),
        ("keys", ("a", "b"), {}, "Store.keys() takes 1 positional arguments but 2 were given"),
        ("keys", ("a",), {"namespace": "b"}, "Store.keys() got multiple values for argument 'namespace'"),
    ],
)
def test_binding_errors(name, args, kwargs, message):
    s = populated()
    with pytest.raises(TypeError) as exc:
        getattr(s, name)(*args, **kwargs)
    assert type(exc.value) is TypeError
    assert str(exc.value) == message
    assert_only_the_seed_entry(s)


@pytest.mark.parametrize("name", ["namespaces", "clear"])
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_no_argument_methods_refuse_arguments(name, args, kwargs):
    s = populated()
    with pytest.raises(TypeError):
        getattr(s, name)(*args, **kwargs)
    assert_only_the_seed_entry(s)


# --- model-based -------------------------------------------------------------------

namespaces_st = st.sampled_from(list(KNOWN_SHARDS) + ["ns\x00", "é", "users"]) | st.text(max_size=4)
keys_st = st.sampled_from(["k", "", "K", "k\x00", "key"]) | st.text(max_size=3)
scalars_st = (
    st.none()
    | st.booleans()
    | st.integers(-(2**63), 2**64 - 1)
    | st.floats()
    | st.text(max_size=8)
    | st.binary(max_size=8)
)
values_st = st.recursive(
    scalars_st,
    lambda children: (
        st.lists(children, max_size=3)
        | st.lists(children, max_size=3).map(tuple)
        | st.dictionaries(st.text(max_size=3), children, max_size=3)
    ),
    max_leaves=8,
)


class StoreMachine(RuleBasedStateMachine):
    """The store against a dict of dicts. A namespace stays in the model
    after its last key is deleted, exactly as it stays in the store."""

    def __init__(self):
        super().__init__()
        self.store = Store()
        self.model = {}

    @rule(ns=namespaces_st, key=keys_st, value=values_st)
    def set(self, ns, key, value):
        assert self.store.set(ns, key, value) is None
        self.model.setdefault(ns, {})[key] = value

    @rule(ns=namespaces_st, key=keys_st)
    def get(self, ns, key):
        missing = object()
        got = self.store.get(ns, key, missing)
        if key in self.model.get(ns, {}):
            assert same_value(got, self.model[ns][key])
        else:
            assert got is missing

    @precondition(lambda self: any(self.model.values()))
    @rule(data=st.data())
    def get_existing(self, data):
        ns, key = data.draw(st.sampled_from(sorted((n, k) for n, ks in self.model.items() for k in ks)))
        assert same_value(self.store.get(ns, key), self.model[ns][key])

    @rule(ns=namespaces_st, key=keys_st)
    def contains(self, ns, key):
        assert self.store.contains(ns, key) is (key in self.model.get(ns, {}))

    @rule(ns=namespaces_st, key=keys_st)
    def delete(self, ns, key):
        expected = key in self.model.get(ns, {})
        assert self.store.delete(ns, key) is expected
        if expected:
            del self.model[ns][key]

    @precondition(lambda self: any(self.model.values()))
    @rule(data=st.data())
    def delete_existing(self, data):
        ns, key = data.draw(st.sampled_from(sorted((n, k) for n, ks in self.model.items() for k in ks)))
        assert self.store.delete(ns, key) is True
        del self.model[ns][key]

    @rule(ns=namespaces_st)
    def keys(self, ns):
        listed = self.store.keys(ns)
        assert sorted(listed) == sorted(self.model.get(ns, {}))

    @rule()
    def namespaces(self):
        listed = self.store.namespaces()
        assert sorted(listed) == sorted(self.model)
        assert_grouped_by_shard(listed)

    @rule()
    def clear(self):
        assert self.store.clear() is None
        self.model.clear()

    @invariant()
    def length(self):
        expected = sum(len(keys) for keys in self.model.values())
        assert len(self.store) == expected
        assert bool(self.store) is (expected > 0)


StoreMachine.TestCase.settings = settings(max_examples=80, stateful_step_count=40, deadline=None)
test_store_matches_a_dict_of_dicts = StoreMachine.TestCase

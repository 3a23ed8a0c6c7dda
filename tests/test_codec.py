"""The codec as callers see it: bytes at every boundary of the wire format (the
lengths it cannot carry only on request), the type rules, error types and texts,
and properties checked against the msgpack package."""

import collections
import enum
import gc
import inspect
import math
import re
import struct
import sys
import tracemalloc

import pytest
from conftest import CYCLE, as_decoded, ints, packb, same, unpackb, values
from derirezaro import dumps, loads
from hypothesis import given, settings
from hypothesis import strategies as st

UNSUPPORTED = "unsupported value type for the derirezaro msgpack codec (supported: "
UNSUPPORTED += "None, bool, int, float, str, bytes, list, tuple, dict)"
OUT_OF_RANGE = "integer out of 64-bit range is not supported by the derirezaro codec"
READING = "msgpack decode error: I/O error while reading "
EXTENSION = ValueError("msgpack extension types are not supported by the derirezaro codec")
MARKER = ValueError(READING + "marker byte: failed to fill whole buffer")
FIELD = ValueError(READING + "non-marker bytes: failed to fill whole buffer")
DEPTH = ValueError("msgpack decode error: depth limit exceeded")


def short(declared, got):
    return ValueError(f"{READING}non-marker bytes: Expected {declared} bytes, read {got} bytes")


def _leaves(size):
    return "é" * (size // 2) + "z" * (size % 2), bytes(range(256)) * (size // 256) + b"\x07" * (size % 256)


def _among_others(big, other):
    return [1, big, "small", {big if isinstance(big, str) else "k": [big, other, big]}, big, 2]


def _nested(levels, inner=None, in_map=False):
    for _ in range(levels):
        inner = {1: inner} if in_map else [inner]
    return inner


# Every header boundary, integer width and float class; and long leaves, which the
# encoder gathers apart from the bytes around them, among other content.
BOUNDARIES = [
    *(2**n + d for n in (7, 8, 16, 31, 32, 63, 64) for d in (-1, 0) if 2**n + d < 2**64),
    *(-(2**n) + d for n in (5, 7, 15, 31, 63) for d in (0, -1) if -(2**n) + d >= -(2**63)),
    *struct.unpack(">3d", bytes.fromhex("7ff0000000000001 fff8000000000123 7ff4000000000000")),  # NaNs
    *(5e-324, -0.0, math.inf, -math.inf, 1.5, (1, (2,)), [True, False, None], {1: [b"x"]}),
    *("a" * n for n in (31, 32, 255, 256, 65535, 65536)),
    *("é" * 16, "😀" * 64),
    *(["x" * n for n in range(70)], dict.fromkeys("x" * n for n in range(70))),  # each short-copy class
    *(bytes(n) for n in (255, 256, 65535, 65536)),
    *([None] * n for n in (15, 16, 65535, 65536)),
    *({i: None for i in range(n)} for n in (15, 16, 65535, 65536)),
    *(_among_others(*pair) for n in (4095, 4096, 4097, 70_000) for pair in [_leaves(n), _leaves(n)[::-1]]),
]


@pytest.mark.parametrize("value", BOUNDARIES, ids=lambda v: type(v).__name__)
def test_boundaries_encode_like_msgpack_and_round_trip(value):
    assert dumps(value) == packb(value)
    assert same(loads(dumps(value)), as_decoded(value))


def _refuse(*_args, **_kwargs):
    raise AssertionError("Python code ran while encoding")


def hostile(base):
    """A subclass of `base` whose every method the encoder might call raises."""
    names = "__index__ __int__ __float__ __str__ __bool__ __iter__ __len__ __getitem__ __bytes__ encode keys"
    return type(f"Hostile{base.__name__}", (base,), dict.fromkeys(names.split(), _refuse))


HInt, HFloat, HStr, HBytes, HList, HTuple, HDict = map(hostile, (int, float, str, bytes, list, tuple, dict))
moved = collections.OrderedDict(a=1, b=2)
moved.move_to_end("a")  # encoding reads the dict storage, which keeps insertion order

_cycle, _looped, _deep = [1], {"k": [1]}, _nested(100_000)  # the first two hold themselves
_cycle.append((_cycle,))
_looped["k"].append(_looped)
REFUSED = [set(), bytearray(b"x"), frozenset({1}), memoryview(b"x"), 1j, object(), int, range(2)]
WRAPS = [lambda b: b, lambda b: [1, [2, b]], lambda b: (None, b), lambda b: {"a": 1, "b": {"c": b}}]
LONE_SURROGATES = ["\ud800", "ok\udfff", ["a", "\udc80"], {"\ud83d": 1}]
LONG = "x" * 300_000
BIG = [2**64, -(2**63) - 1, 10**100, -(10**100), HInt(2**64), [0, 2**64], {2**64: None}, (1, (2, 2**70))]

# (value, its encoding in hex, or the exception type and text it raises). A text of
# None leaves the interpreter's own wording unchecked.
ENCODES = [
    (enum.IntEnum("Color", {"RED": 300}).RED, "cd012c"), (enum.IntFlag("Perm", {"R": 4, "W": 2})(6), "06"),
    (HInt(5), "05"), (HInt(2**64 - 1), "cfffffffffffffffff"), (HFloat(2.5), "cb4004000000000000"),
    (HStr("hé"), "a368c3a9"), (HBytes(b"\x01\x02"), "c4020102"), (HList([1, HList([2])]), "92019102"),
    (HTuple((1, "a")), "9201a161"), (HDict({"a": HInt(1)}), "81a16101"), (moved, "82a16101a16202"),
    (collections.namedtuple("Point", "x y")(1, 2), "920102"), ({HStr("k"): [HBytes(b"")]}, "81a16b91c400"),
    *((wrap(bad), (TypeError, UNSUPPORTED)) for bad in REFUSED for wrap in WRAPS),
    *(({"a": 1, bad: 2}, (TypeError, UNSUPPORTED)) for bad in REFUSED[2:]),  # the hashable ones as keys
    *((value, (ValueError, OUT_OF_RANGE)) for value in [*BIG, {"k": -(2**63) - 1}]),
    *((value, (UnicodeEncodeError, None)) for value in LONE_SURROGATES),
    *((v, (RecursionError, None)) for v in [_cycle, CYCLE, _looped, _deep, {"a": _deep}]),
    ([LONG, b"y" * 5000, set()], (TypeError, UNSUPPORTED)),
    (["z" * 5000, 2**64], (ValueError, OUT_OF_RANGE)),
    # The first failure in tree order wins; a key is converted before its value.
    ([2**64, set()], (ValueError, None)), ([set(), 2**64], (TypeError, None)),
    ({2**64: set()}, (ValueError, None)),
    ({"k": set(), "z": 2**64}, (TypeError, None)), (["\ud800", 2**64], (UnicodeEncodeError, None)),
]  # fmt: skip


# Explicit ids: deriving them from the values would call the hostile methods.
@pytest.mark.parametrize("value, expected", ENCODES, ids=lambda v: type(v).__name__)
def test_encodes_by_builtin_content_without_running_python(value, expected):
    calls = []
    sys.setprofile(lambda frame, event, arg: event == "call" and calls.append(frame.f_code.co_name))
    try:
        outcome = dumps(value).hex()
    except Exception as exc:
        # The interpreter's own error (an overflow, say) is replaced, not chained.
        assert exc.__context__ is None and exc.__cause__ is None
        outcome = (type(exc), expected[1] and str(exc))
    finally:
        sys.setprofile(None)
    assert (outcome, calls) == (expected, [])
    # Nothing is left behind for the next encoding, whatever this one met.
    assert (dumps("a"), dumps([LONG, 1]), dumps(b"")) == (b"\xa1a", packb([LONG, 1]), b"\xc4\x00")


# Every marker with a fixed-size field, and the field's width in bytes.
FIELDS = "cc1 cd2 ce4 cf8 d01 d12 d24 d38 ca4 cb8 d91 da2 db4 c41 c52 c64 dc2 dd4 de2 df4 c71 c82 c94".split()
# (bytes in hex, the value or the error they decode to). Values: what no generator
# below produces: trailing bytes, the reserved marker, text that is not valid UTF-8
# (it comes back as bytes), duplicate keys.
DECODES = [
    ("01 02", 1), ("a1 61 c4", "a"), ("82 c1 c1 01 02", {None: None, 1: 2}), ("ca 80000000", -0.0),
    ("a1 ff", b"\xff"), ("82 a1 ff 01 a2 c3a9 02", {b"\xff": 1, "é": 2}), ("81 a3 6162ff 01", {b"ab\xff": 1}),
    # Duplicate keys keep the first position and key object, and the last value.
    ("83 01 0a 02 14 01 1e", {1: 30, 2: 20}), ("82 01 a161 c3 a162", {1: "b"}),
    *((data, MARKER) for data in ["", "92 01", "81 01", "dc 0002 c0", "dd ffffffff", "df ffffffff 01"]),
    *((f"{f[:2]} {'00' * (int(f[2]) - 1)}", FIELD) for f in FIELDS),  # each field a byte short
    *((data, FIELD) for data in ["d4", "d8", "c7 05", "c9 00000002", "91 cd", "cb 3ff8"]),
    ("a5 6162", short(5, 2)), ("da 0100 " + "61" * 255, short(256, 255)), ("c6 00010000 00", short(65536, 1)),
    ("db ffffffff 616263", short(4294967295, 3)), ("c9 ffffffff 01", short(4294967295, 0)),
    ("d8 01" + "00" * 15, short(16, 15)), ("92 01 a3 61", short(3, 1)),
    *((data, EXTENSION) for data in ["d4 01 00", "d8 01" + "00" * 16, "c7 00 05", "c9 00000001 05 00"]),
    *((data, EXTENSION) for data in ["92 01 d4 01 00", "81 d4 01 00 01", "91" * 510 + "d4 01 00"]),
    # Every reader error wins over an extension met before it.
    ("92 d40100 cd", FIELD), ("92 d40100", MARKER), ("92 d40100 a2 61", short(2, 1)),
    ("91" * 511 + "d4 01 00", DEPTH), ("91" * 511, MARKER),  # the input runs out before the depth budget
    ("91" * 512, DEPTH),  # the budget runs out before the input
    # ... and over an unhashable key met before it; a count the bytes cannot back
    # still reports the input's first error.
    ("82 9101 01 cd", FIELD), ("93 a5 61", short(5, 1)), ("dd 00000003 d40100", MARKER),
    *((data, TypeError("unhashable type: 'list'")) for data in ["81 9101 01", "81 920102 a176"]),
    ("81 80 01", TypeError("unhashable type: 'dict'")),
]  # fmt: skip


# Arrays that hold a container, then scalars, then more siblings, with an unhashable key
# at the end: the build fails there, and the read that looks for an earlier reader error
# skips each array's scalars in runs. It must keep its place through all of them: report
# the key, as reading the bad map alone does, and, cut short anywhere, the cut.
BAD_KEY = {(1,): 1}
SKIPPED_BEFORE_A_BAD_KEY = [
    [[1, [], 2, 3], 4, *range(5, 40), BAD_KEY],
    [[1.5, {}, 2**64 - 1, -(2**63)], *[0.25, -7, 300, None, True] * 8, BAD_KEY],
    [{1: []}, [[], [[]]], *[2.5] * 20, [7] * 20, "text", *range(-40, 0), BAD_KEY],
    [[1, [], 2, 3, [4, *range(30), BAD_KEY]], 5],
    [[0] * 9, *range(100, 200, 7), [-1.0] * 3, {"k": BAD_KEY}],
]


@pytest.mark.parametrize("value", SKIPPED_BEFORE_A_BAD_KEY, ids=range(len(SKIPPED_BEFORE_A_BAD_KEY)))
def test_a_bad_key_after_containers_and_scalar_runs_is_reported_as_the_key(value):
    def error(data):
        with pytest.raises(TypeError) as caught:
            loads(data)
        return type(caught.value), str(caught.value)

    data = packb(value)
    assert error(data) == error(packb(BAD_KEY))
    for cut in range(1, len(data)):
        with pytest.raises(ValueError, match="^msgpack decode error: "):
            loads(data[:cut])


@pytest.mark.parametrize("data, expected", DECODES, ids=lambda v: str(v)[:20])
def test_decodes_and_reserves_nothing_for_declared_lengths(data, expected):
    tracemalloc.start()
    try:
        outcome = loads(bytes.fromhex(data))
    except (ValueError, TypeError) as exc:
        outcome = exc
    finally:
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    assert peak < 1 << 20, f"decoding traced {peak} bytes"
    if isinstance(expected, Exception):  # a TypeError's text is the interpreter's own
        assert type(outcome) is type(expected)
        assert str(outcome) == str(expected) or type(outcome) is TypeError and str(expected) in str(outcome)
    else:
        assert same(outcome, expected)


def _counted(obj):
    """Whether references to `obj` are counted: an immortal object's count (3.12+)
    does not follow the references taken, so it can show neither a leak nor a lack."""
    before = sys.getrefcount(obj)
    held = [obj] * 64
    return sys.getrefcount(obj) == before + len(held)


def test_decoded_shared_objects_are_counted_references():
    # None, True, False and a map key from the decoder's cache: each decoded value
    # hands out a reference to one shared object, which must be given back with it.
    data = dumps([{"key": None}, True, False] * 100)
    key = next(iter(loads(data)[0]))
    shared = [obj for obj in (None, True, False, key) if _counted(obj)]

    def counts():
        return [sys.getrefcount(obj) for obj in shared]

    # Every count is taken before the first assert: pytest's rewritten asserts
    # leave None in locals of their own.
    before = counts()
    for _ in range(10):
        loads(data)
    after, held = counts(), loads(data)
    holding = counts()
    assert after == before, "a decoded value kept a reference after it was freed"
    assert [n - len(held) // 3 for n in holding] == before, (
        "a decoded value holds a reference it was not given"
    )


def _decoded_key(key):
    return next(iter(loads(b"\x81" + packb(key) + b"\x00")))


def _longer_key_in_the_slot_of(prefix):
    """A key that starts with `prefix` and shares its slot in the decoder's key
    cache, found by watching the cache: decoding the prefix evicts the longer
    key's str. Found at run time so that a new slot function still meets it."""
    for i in range(1 << 16):
        longer = prefix + format(i, "x")
        held = _decoded_key(longer)
        _decoded_key(prefix)
        if _decoded_key(longer) is not held:
            return longer
    raise AssertionError(f"no key longer than {prefix!r} shares its cache slot")


# Pairs of keys a decoder's cache may take for one another: a prefix and a
# longer key found to share its slot, the prefix on both sides of the sizes
# where the slot function reads its words differently (under 4 bytes, 4 to 7,
# 8 and up), empty and non-ASCII; and keys that agree in length, head and tail
# but differ in the middle, on both sides of every size at which a decoder
# might treat them apart.
PREFIXES = ["", "a", "ab", "abc", "abcd", "abcdefg", "abcdefgh", "é" * 4 + "x", "k" * 24]
MIDDLES = [tuple("h" * (n // 2) + middle + "t" * (n - n // 2 - 1) for middle in "ab")
           for n in (1, 3, 4, 7, 8, 9, 16, 17, 31, 32, 33, 40)]  # fmt: skip
MIDDLES += [("é" * 16, "é" * 15 + "e"), ("😀" * 8, "😀" * 7 + "😁"), ("ĳ", "é")]


@pytest.mark.parametrize("first, second", [*((prefix, None) for prefix in PREFIXES), *MIDDLES])
def test_keys_that_may_share_a_cache_slot_decode_as_themselves(first, second):
    if second is None:
        second = _longer_key_in_the_slot_of(first)
        assert len(second.encode()) <= 32 and _decoded_key(first) == first
    for _ in range(3):  # each order of arrival, with the other key cached before
        for a, b in ((first, second), (second, first)):
            assert same(_decoded_key(a), a) and same(_decoded_key(b), b)
            assert same(loads(b"\x82" + packb(a) + b"\x01" + packb(b) + b"\x02"), {a: 1, b: 2})


# (containers around the leaf, leaf, opener): a scalar fits inside 511 arrays, a
# str only inside 510, a bin inside 511; one level more fails both ways.
DEPTHS = [(511, b"\x90", b"\x91"), (511, b"\x01", b"\x91"), (510, b"\xa1a", b"\x91"), (510, b"\xa0", b"\x91"),
          (511, b"\xc4\x01a", b"\x91"), (511, b"\x80", b"\x81\x01"), (511, b"\x01", b"\x81\x01")]  # fmt: skip


@pytest.mark.parametrize("levels, inner, opener", DEPTHS)
def test_encoder_and_decoder_share_one_depth_limit(levels, inner, opener):
    # What the encoder accepts always decodes: nothing stored becomes unreadable.
    in_map = opener != b"\x91"
    assert dumps(loads(opener * levels + inner)) == opener * levels + inner
    assert dumps(_nested(levels, loads(inner), in_map)) == opener * levels + inner
    with pytest.raises(ValueError, match=f"^{DEPTH}$"):
        loads(opener * (levels + 1) + inner)
    with pytest.raises(RecursionError, match="nested too deeply"):
        dumps(_nested(levels + 1, loads(inner), in_map))


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="the recursion limit bounds only Python frames there")
def test_the_interpreter_recursion_limit_still_bounds_the_walk():
    # The walk skips the interpreter's check only for its outermost levels: under a
    # limit lower than the depth budget, a nesting inside the limit encodes and one
    # well past it fails as deep Python code would.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(len(inspect.stack(0)) + 100)
    try:
        assert loads(dumps(_nested(90, 1))) == _nested(90, 1)
        with pytest.raises(RecursionError, match="maximum recursion depth exceeded while encoding"):
            dumps(_nested(200))
    finally:
        sys.setrecursionlimit(limit)


@pytest.mark.bigmem
@pytest.mark.parametrize("kind, unit", [(str, "UTF-8 bytes"), (bytes, "bytes")])
def test_a_length_of_2_to_the_32_is_refused(kind, unit):
    # A header cut to 32 bits would silently corrupt everything written after
    # it. Each case builds a 4 GiB object, so runs only when asked for
    # (see conftest.py).
    limit = "(the format allows at most 4294967295)"
    message = f"{kind.__name__} too long for msgpack: 4294967296 {unit} {limit}"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        dumps("a" * 2**32 if kind is str else bytes(2**32))


@given(ints, st.sampled_from("cc:B cd:H ce:I cf:Q d0:b d1:h d2:i d3:q".split()), st.floats(width=32))
def test_every_integer_form_and_single_floats_decode(n, form, single):
    # Fourteen in a row, so a reader that takes the wrong width loses its place.
    try:
        item = bytes.fromhex(form[:2]) + struct.pack(">" + form[3], n)
    except struct.error:  # n does not fit this form
        item = packb(n)
    data = b"\x9f" + item * 14 + b"\xca" + struct.pack(">f", single)
    assert same(loads(data), unpackb(data), any_nan=True)


# A container's elements are written by a path of their own (inline, short text
# copied in overlapping words, nested containers entered directly): it must
# write what msgpack writes at every length the copy treats apart, every int
# width, and for the constants and containers it also takes.
scalars = st.one_of(ints, st.floats(), st.text(max_size=70), st.text("é😀a\x00", max_size=40))
leaves = scalars | st.none() | st.booleans() | st.lists(scalars, max_size=4)
leaves |= st.dictionaries(st.text(max_size=8), scalars | st.none(), max_size=4)
edit = st.tuples(st.integers(0), st.sampled_from("sid"), st.integers(0, 255))
edits = st.lists(edit, min_size=1, max_size=4)


@settings(max_examples=300)
@given(values | st.lists(leaves, max_size=20), st.integers(0), edits)
def test_encodings_match_msgpack_and_read_back_whole_and_fail_cleanly_cut_or_edited(value, cut, edits):
    encoded = dumps(value)
    assert encoded == packb(value)
    assert same(loads(encoded), as_decoded(value)) and dumps(loads(encoded)) == encoded
    with pytest.raises(ValueError, match="^msgpack decode error: "):
        loads(encoded[: cut % len(encoded)])
    edited = bytearray(encoded)
    for position, action, byte in edits:  # substitute, delete or insert a byte
        position %= len(edited) + 1
        edited[position : position + (action != "i")] = b"" if action == "d" else bytes([byte])
    try:
        decoded = loads(bytes(edited))
    except (ValueError, TypeError):
        return
    assert same(loads(dumps(decoded)), decoded)


IntSub, FloatSub, ListSub = (type(f"{base.__name__.title()}Sub", (base,), {}) for base in (int, float, list))


# Lists and tuples of numbers are written in runs, a chunk of items at a time: the
# bytes must be msgpack's at every width and float class, and whatever ends a run (a
# bool, a subclass, another type, an int outside 64 bits, a chunk's end) must be
# written as the general walk writes it, or refused as it refuses it. A list is read
# straight from its item array where its layout is known, a subclass's too, and the
# lists built here hold spare capacity past their size.
EDGE_NUMBERS = [0, 127, 128, 255, 256, 2**16, 2**32, 2**63 - 1, 2**63, 2**64 - 1, -1, -32, -33, -(2**63)]
EDGE_NUMBERS += [0.0, -0.0, math.nan, math.inf, -math.inf, 5e-324]
numbers = ints | st.floats() | st.sampled_from(EDGE_NUMBERS)
run_breakers = (
    st.booleans() | ints.map(IntSub) | st.floats().map(FloatSub) | st.none() | st.text(max_size=3)
) | st.lists(numbers, max_size=3)
breakers = st.lists(st.tuples(st.integers(0), run_breakers), max_size=4)  # (where, what)
out_of_range = st.none() | st.tuples(st.integers(0), st.sampled_from([2**64, -(2**63) - 1, 10**30]))


# Repeated up to 40 times, so runs reach across chunks.
@settings(max_examples=200)
@given(st.lists(numbers, max_size=12), st.integers(1, 40), breakers, out_of_range)
def test_runs_of_numbers_encode_like_msgpack(pattern, repeats, breakers, out_of_range):
    run = pattern * repeats
    for position, item in breakers:
        run.insert(position % (len(run) + 1), item)
    for value in (run, tuple(run), {"k": [run]}, ListSub(run)):
        encoded = dumps(value)
        assert encoded == packb(value) and same(loads(encoded), unpackb(encoded))
    if out_of_range is not None:
        run.insert(out_of_range[0] % (len(run) + 1), out_of_range[1])
        with pytest.raises(ValueError, match=f"^{OUT_OF_RANGE}$"):
            dumps(run)


# A long list or tuple that begins with a float is written straight into a bytes
# object sized for floats alone (9 bytes an item); whatever else it holds must come
# out as msgpack writes it, including encodings that end at exactly that size by
# other means: one that holds a borrowed long str (its bytes are not in the buffer),
# and one whose last write grew the buffer out of the bytes object before the end.
_floats = [0.5, -1e300, math.inf, 5e-324]
_filled_by_other_means = [
    [0.5, *[1] * 506, *[200] * 6, "x" * 4096, *[0.25] * 10],
    [*_floats * 9, "x" * 16, *_floats * 3, 1],
]
assert all(len(packb(v)) == 3 + 9 * len(v) for v in _filled_by_other_means)
BREAKERS = [1, -(2**63), 2**64 - 1, True, None, "é" * 40, FloatSub(1.5), IntSub(3), [0.5] * 40, {"k": 1.5}]
PRESIZED = [
    *(_floats * n for n in (8, 9, 16_384)),  # at and past the threshold; a 65536-item header
    _floats * 7 + [0.5, 0.75, 1.0],  # one under it
    *_filled_by_other_means,
    *(_floats * 10 + [breaker] + _floats * n for breaker in [*BREAKERS, b"x" * 5000] for n in (0, 10)),
    [0.5, *range(-40, 40)],
]


@pytest.mark.parametrize("items", PRESIZED, ids=range(len(PRESIZED)))
def test_float_arrays_written_in_place_encode_like_msgpack(items):
    for value in (items, tuple(items)):
        expected = packb(value)
        # Freed just before, a block of the guessed size is the one the guess likely
        # reuses: bytes left in it must not pass for the encoding.
        stale = b"\xab" * (3 + 9 * len(value))
        del stale
        encoded = dumps(value)
        assert encoded == expected and same(loads(encoded), unpackb(encoded))
    for bad, error in [(2**64, ValueError), (object(), TypeError)]:
        with pytest.raises(error):
            dumps([*items, bad])


def test_a_finalizer_that_empties_the_list_while_an_int_too_wide_is_refused_is_survived():
    """Making the error for an int wider than 64 bits can run the collector where an allocation collects
    (before 3.12): a finalizer that empties the list being written frees the int the walk holds. Under a
    sanitizer this was a use after free. Later interpreters collect between bytecodes: after the call."""
    values = [1.5] * 80 + [1, int("9" * 30)]  # made here: the list holds the only reference

    class Emptier:
        def __del__(self):
            values.clear()

    threshold = gc.get_threshold()
    gc.collect()
    emptier = Emptier()
    emptier.cycle = emptier
    del emptier  # garbage now, for the next collection
    try:
        raise KeyError("handled")  # an error set while one is handled is made at once, not lazily
    except KeyError:
        with pytest.raises(ValueError, match="64-bit range"):
            gc.set_threshold(1)  # the next tracked allocation collects: the error's, inside the call
            try:
                dumps(values)
            finally:
                gc.set_threshold(*threshold)
    assert (values == []) == (sys.version_info < (3, 12))

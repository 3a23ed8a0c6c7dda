"""The codec's wire format, type rules, limits and error texts."""

import collections
import enum
import math
import os
import struct
import subprocess
import sys
import textwrap

import derirezaro
import msgpack
import pytest
from derirezaro._core import dumps, loads

UNSUPPORTED = (
    "unsupported value type for the derirezaro msgpack codec "
    "(supported: None, bool, int, float, str, bytes, list, tuple, dict)"
)
OUT_OF_RANGE = "integer out of 64-bit range is not supported by the derirezaro codec"
EXTENSION = "msgpack extension types are not supported by the derirezaro codec"
MARKER = "msgpack decode error: I/O error while reading marker byte: failed to fill whole buffer"
FIELD = "msgpack decode error: I/O error while reading non-marker bytes: failed to fill whole buffer"
DEPTH = "msgpack decode error: depth limit exceeded"


def short_body(declared, got):
    return f"msgpack decode error: I/O error while reading non-marker bytes: Expected {declared} bytes, read {got} bytes"  # noqa: E501


def h(text):
    return bytes.fromhex(text)


# --- encoding: exact bytes ---------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, "c0"),
        (False, "c2"),
        (True, "c3"),
        (0, "00"),
        (127, "7f"),
        (128, "cc80"),
        (255, "ccff"),
        (256, "cd0100"),
        (65535, "cdffff"),
        (65536, "ce00010000"),
        (4294967295, "ceffffffff"),
        (4294967296, "cf0000000100000000"),
        (2**63 - 1, "cf7fffffffffffffff"),
        (2**63, "cf8000000000000000"),
        (2**64 - 1, "cfffffffffffffffff"),
        (-1, "ff"),
        (-32, "e0"),
        (-33, "d0df"),
        (-128, "d080"),
        (-129, "d1ff7f"),
        (-32768, "d18000"),
        (-32769, "d2ffff7fff"),
        (-(2**31), "d280000000"),
        (-(2**31) - 1, "d3ffffffff7fffffff"),
        (-(2**63), "d38000000000000000"),
        (1.5, "cb3ff8000000000000"),
        (-0.0, "cb8000000000000000"),
        (0.0, "cb0000000000000000"),
        (1.0, "cb3ff0000000000000"),
        (math.inf, "cb7ff0000000000000"),
        (-math.inf, "cbfff0000000000000"),
        (math.nan, "cb7ff8000000000000"),
        ("", "a0"),
        ("a", "a161"),
        ("é", "a2c3a9"),
        (b"", "c400"),
        (b"\x00", "c40100"),
        ([], "90"),
        ((), "90"),
        ({}, "80"),
        ([1, [2]], "92019102"),
        ((1, (2,)), "92019102"),
        ({"a": 1}, "81a16101"),
        ([True, False, None], "93c3c2c0"),
        ({1: [b"x"]}, "810191c40178"),
    ],
)
def test_encodes_exact_bytes(value, expected):
    assert dumps(value).hex() == expected


@pytest.mark.parametrize(
    "bits",
    ["7ff0000000000001", "fff8000000000123", "7ff4000000000000", "0000000000000001", "ffefffffffffffff"],
)
def test_float_bits_are_kept_exactly(bits):
    # NaN payloads, signalling NaNs and subnormals all travel unchanged.
    (value,) = struct.unpack(">d", h(bits))
    assert dumps(value) == h("cb" + bits)
    assert struct.pack(">d", loads(dumps(value))) == h(bits)


@pytest.mark.parametrize(
    "length, header",
    [
        (0, "a0"),
        (31, "bf"),
        (32, "d920"),
        (255, "d9ff"),
        (256, "da0100"),
        (65535, "daffff"),
        (65536, "db00010000"),
    ],
)
def test_str_header_at_each_boundary(length, header):
    text = "a" * length
    assert dumps(text) == h(header) + text.encode()
    assert loads(dumps(text)) == text


def test_str_length_counts_utf8_bytes_not_characters():
    text = "é" * 16  # 16 characters, 32 UTF-8 bytes
    assert dumps(text) == h("d920") + text.encode()
    assert dumps("😀" * 64)[:3] == h("da0100")


@pytest.mark.parametrize(
    "length, header",
    [(0, "c400"), (255, "c4ff"), (256, "c50100"), (65535, "c5ffff"), (65536, "c600010000")],
)
def test_bytes_header_at_each_boundary(length, header):
    data = bytes(range(256)) * (length // 256) + bytes(length % 256)
    assert dumps(data) == h(header) + data
    assert loads(dumps(data)) == data


@pytest.mark.parametrize(
    "count, header",
    [(15, "9f"), (16, "dc0010"), (65535, "dcffff"), (65536, "dd00010000")],
)
def test_array_header_at_each_boundary(count, header):
    items = [None] * count
    assert dumps(items) == h(header) + b"\xc0" * count
    assert dumps(tuple(items)) == dumps(items)
    assert loads(dumps(items)) == items


@pytest.mark.parametrize(
    "count, header",
    [(15, "8f"), (16, "de0010"), (65535, "deffff"), (65536, "df00010000")],
)
def test_map_header_at_each_boundary(count, header):
    mapping = {i: None for i in range(count)}
    encoded = dumps(mapping)
    assert encoded.startswith(h(header))
    assert encoded == msgpack.packb(mapping)
    assert loads(encoded) == mapping


def _leaf(kind, size):
    return (
        ("é" * (size // 2) + "z" * (size % 2))
        if kind == "str"
        else bytes(range(256)) * (size // 256) + b"\x07" * (size % 256)
    )


@pytest.mark.parametrize("size", [4095, 4096, 4097, 70_000])
@pytest.mark.parametrize("kind", ["str", "bytes"])
def test_long_leaves_land_in_place_among_other_content(kind, size):
    # Long leaves may be gathered separately from the headers around them;
    # every byte must still come out in stream order.
    big = _leaf(kind, size)
    other = _leaf("bytes" if kind == "str" else "str", size + 1)
    value = [1, big, "small", {big if kind == "str" else "k": [big, other, big]}, big, 2]
    assert dumps(value) == msgpack.packb(value, use_bin_type=True)
    assert dumps(big) == msgpack.packb(big, use_bin_type=True)


def test_encoder_state_does_not_leak_between_calls():
    big = "x" * 300_000
    with pytest.raises(TypeError):
        dumps([big, b"y" * 5000, set()])
    assert dumps("a") == b"\xa1a"
    assert dumps([big, 1]) == b"\x92\xdb\x00\x04\x93\xe0" + big.encode() + b"\x01"
    assert dumps(None) == b"\xc0"
    with pytest.raises(ValueError):
        dumps(["z" * 5000, 2**64])
    assert dumps(b"") == b"\xc4\x00"


# --- encoding: subclasses are read by their built-in content -----------------


def _refuse(*_args, **_kwargs):
    raise AssertionError("Python code ran while encoding")


class Color(enum.IntEnum):
    RED = 300


class Perm(enum.IntFlag):
    R = 4
    W = 2


class HostileInt(int):
    __index__ = __int__ = __float__ = __str__ = __bool__ = _refuse


class HostileFloat(float):
    __float__ = __index__ = __str__ = _refuse


class HostileStr(str):
    __str__ = __iter__ = __len__ = __getitem__ = encode = _refuse


class HostileBytes(bytes):
    __bytes__ = __iter__ = __len__ = __getitem__ = _refuse


class HostileList(list):
    __iter__ = __len__ = __getitem__ = _refuse


class HostileTuple(tuple):
    __iter__ = __len__ = __getitem__ = _refuse


class HostileDict(dict):
    __iter__ = __len__ = __getitem__ = keys = items = values = _refuse


Point = collections.namedtuple("Point", "x y")


SUBCLASS_CASES = [
    (Color.RED, "cd012c"),
    (Perm.R | Perm.W, "06"),
    (HostileInt(5), "05"),
    (HostileInt(2**64 - 1), "cfffffffffffffffff"),
    (HostileInt(-(2**63)), "d38000000000000000"),
    (HostileFloat(2.5), "cb4004000000000000"),
    (HostileStr("hé"), "a368c3a9"),
    (HostileBytes(b"\x01\x02"), "c4020102"),
    (HostileList([1, HostileList([2])]), "92019102"),
    (HostileTuple((1, "a")), "9201a161"),
    (HostileDict({"a": HostileInt(1)}), "81a16101"),
    (collections.OrderedDict([("b", 1), ("a", 2)]), "82a16201a16102"),
    (Point(1, 2), "920102"),
    ({HostileStr("k"): [HostileBytes(b"")]}, "81a16b91c400"),
]


# Explicit ids: deriving them from the values would call the hostile methods.
@pytest.mark.parametrize("value, expected", SUBCLASS_CASES, ids=[e for _, e in SUBCLASS_CASES])
def test_subclass_instances_encode_without_running_python_code(value, expected):
    calls = []

    def profile(frame, event, arg):
        if event == "call":
            calls.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        encoded = dumps(value)
    finally:
        sys.setprofile(None)
    assert encoded.hex() == expected
    assert calls == []


def test_hostile_int_out_of_range_gives_the_range_error():
    with pytest.raises(ValueError, match=OUT_OF_RANGE):
        dumps(HostileInt(2**64))


def test_dict_subclass_encodes_in_its_storage_order():
    # Encoding never calls into the object, so an OrderedDict reordered with
    # move_to_end keeps the order of its underlying dict storage.
    od = collections.OrderedDict(a=1, b=2)
    od.move_to_end("a")
    assert dumps(od) == h("82a16101a16202")


# --- encoding: refusals ------------------------------------------------------


class Plain:
    pass


def _hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


UNSUPPORTED_VALUES = [
    set(),
    frozenset({1}),
    bytearray(b"x"),
    memoryview(b"x"),
    1j,
    object(),
    Plain(),
    int,
    range(2),
]
UNSUPPORTED_CASES = [
    pytest.param(bad, wrap, id=f"{type(bad).__name__}-{wrap}")
    for bad in UNSUPPORTED_VALUES
    for wrap in ("bare", "list", "tuple", "dict value", "dict key")
    if wrap != "dict key" or _hashable(bad)
]


@pytest.mark.parametrize("bad, wrap", UNSUPPORTED_CASES)
def test_unsupported_types_anywhere_in_the_tree(bad, wrap):
    value = {
        "bare": lambda: bad,
        "list": lambda: [1, [2, bad]],
        "tuple": lambda: (None, bad),
        "dict value": lambda: {"a": 1, "b": {"c": bad}},
        "dict key": lambda: {"a": 1, bad: 2},
    }[wrap]()
    with pytest.raises(TypeError) as exc:
        dumps(value)
    assert type(exc.value) is TypeError
    assert str(exc.value) == UNSUPPORTED


@pytest.mark.parametrize(
    "value",
    [
        2**64,
        -(2**63) - 1,
        10**100,
        -(10**100),
        [0, 2**64],
        {"k": -(2**63) - 1},
        {2**64: None},
        (1, (2, 2**70)),
    ],
)
def test_integers_outside_both_64_bit_ranges(value):
    with pytest.raises(ValueError) as exc:
        dumps(value)
    assert type(exc.value) is ValueError
    assert str(exc.value) == OUT_OF_RANGE
    # The interpreter's own overflow error is dropped, not chained.
    assert exc.value.__context__ is None and exc.value.__cause__ is None


@pytest.mark.parametrize(
    "value, error",
    [
        ([2**64, set()], ValueError),
        ([set(), 2**64], TypeError),
        ({2**64: set()}, ValueError),  # a key is converted before its value
        ({"k": set(), "z": 2**64}, TypeError),
        (["\ud800", 2**64], UnicodeEncodeError),
    ],
)
def test_first_failure_in_tree_order_wins(value, error):
    with pytest.raises(error) as exc:
        dumps(value)
    assert type(exc.value) is error


@pytest.mark.parametrize("value", ["\ud800", "ok\udfff", ["a", "\udc80"], {"\ud83d": 1}])
def test_lone_surrogate_raises_unicode_encode_error(value):
    with pytest.raises(UnicodeEncodeError):
        dumps(value)


def _cyclic(kind):
    box = [1] if kind != "dict" else {}
    if kind == "list":
        box.append(box)
    elif kind == "dict":
        box["me"] = box
    else:  # the cycle passes through a tuple
        box.append((box,))
    return box


@pytest.mark.parametrize("kind", ["list", "dict", "tuple"])
def test_self_containing_input_raises_recursion_error(kind):
    with pytest.raises(RecursionError):
        dumps(_cyclic(kind))
    assert dumps([1]) == b"\x91\x01"  # the interpreter is fine afterwards


@pytest.mark.parametrize("container", ["list", "dict"])
def test_very_deep_input_raises_recursion_error_even_with_a_huge_limit(container):
    # Raising the interpreter's limit must not let the encoder walk off the
    # C stack: 100000 levels fail cleanly instead of crashing the process.
    value = []
    for _ in range(100_000):
        value = [value] if container == "list" else {"k": value}
    old_limit = sys.getrecursionlimit()
    sys.setrecursionlimit(200_000)
    try:
        with pytest.raises(RecursionError):
            dumps(value)
    finally:
        sys.setrecursionlimit(old_limit)


# --- decoding ----------------------------------------------------------------


@pytest.mark.parametrize(
    "data, message",
    [
        ("", MARKER),
        ("92 01", MARKER),
        ("81", MARKER),
        ("81 01", MARKER),
        ("dc 0002 c0", MARKER),
        ("cd 01", FIELD),
        ("cc", FIELD),
        ("ce 000000", FIELD),
        ("cf 00000000000000", FIELD),
        ("d0", FIELD),
        ("d1 ff", FIELD),
        ("d2 ffffff", FIELD),
        ("d3 ff", FIELD),
        ("ca 3fc000", FIELD),
        ("cb 3ff8", FIELD),
        ("d9", FIELD),
        ("da 00", FIELD),
        ("db 000000", FIELD),
        ("c4", FIELD),
        ("c5 01", FIELD),
        ("c6 0000", FIELD),
        ("dc 00", FIELD),
        ("dd 000000", FIELD),
        ("de 00", FIELD),
        ("df", FIELD),
        ("c7", FIELD),
        ("c8 00", FIELD),
        ("c9 000000", FIELD),
        # an extension's type byte is a fixed-size field
        ("d4", FIELD),
        ("d8", FIELD),
        ("c7 05", FIELD),
        ("c9 00000002", FIELD),
        ("91 cd", FIELD),
        ("a5 6162", short_body(5, 2)),
        ("bf", short_body(31, 0)),
        ("d9 03 61", short_body(3, 1)),
        ("da 0100 " + "61" * 255, short_body(256, 255)),
        ("c4 03 61", short_body(3, 1)),
        ("c5 0003", short_body(3, 0)),
        ("c6 00010000 00", short_body(65536, 1)),
        ("d4 01", short_body(1, 0)),
        ("d8 01" + "00" * 15, short_body(16, 15)),
        ("c7 05 01 61", short_body(5, 1)),
        ("c8 0002 01", short_body(2, 0)),
        ("c6 ffffffff", short_body(4294967295, 0)),
        ("db ffffffff 616263", short_body(4294967295, 3)),
        ("92 01 a3 61", short_body(3, 1)),
    ],
)
def test_decode_errors(data, message):
    with pytest.raises(ValueError) as exc:
        loads(h(data.replace(" ", "")))
    assert type(exc.value) is ValueError
    assert str(exc.value) == message


@pytest.mark.parametrize(
    "data, expected",
    [
        ("01 02", 1),
        ("c0 ff", None),
        ("90 90", []),
        ("a1 61 c4", "a"),
        ("01 c1", 1),
        ("c1", None),
        ("91 c1", [None]),
        ("82 c1 c1 01 02", {None: None, 1: 2}),
        ("d0 05", 5),
        ("d1 0005", 5),
        ("d2 00000005", 5),
        ("d3 0000000000000005", 5),
        ("d0 7f", 127),
        ("d3 7fffffffffffffff", 2**63 - 1),
        ("d0 ff", -1),
        ("d1 ffff", -1),
        ("d3 8000000000000000", -(2**63)),
        ("cc 05", 5),
        ("cd 0005", 5),
        ("ce 00000005", 5),
        ("cf 0000000000000005", 5),
        ("cf ffffffffffffffff", 2**64 - 1),
        ("e0", -32),
        ("ca 3fc00000", 1.5),
        ("ca 7f800000", math.inf),
        ("ca ff800000", -math.inf),
        ("a1 ff", b"\xff"),
        ("a2 c080", b"\xc0\x80"),
        ("a3 eda080", b"\xed\xa0\x80"),
        ("a4 f4908080", b"\xf4\x90\x80\x80"),
        ("a1 c3", b"\xc3"),
        ("a2 c3a9", "é"),
        ("a3 e0a080", "\u0800"),
        ("a4 f09f9880", "😀"),
        ("a4 f48fbfbf", "\U0010ffff"),
        ("a9 6162636465666768ff", b"abcdefgh\xff"),
        ("d9 01 80", b"\x80"),
        ("81 a1ff 01", {b"\xff": 1}),
        ("c4 00", b""),
        ("dc 0001 c3", [True]),
        ("de 0001 c2 c3", {False: True}),
    ],
)
def test_decodes(data, expected):
    result = loads(h(data.replace(" ", "")))
    assert type(result) is type(expected)
    assert result == expected


def test_signed_markers_canonicalise_on_reencoding():
    for data in ("d005", "d10005", "d200000005", "d30000000000000005", "cf0000000000000005"):
        assert dumps(loads(h(data))) == b"\x05"


def test_float32_is_widened_exactly():
    single = struct.pack(">f", 0.1)
    result = loads(b"\xca" + single)
    assert result == struct.unpack(">f", single)[0]
    assert result != 0.1
    negative_zero = loads(h("ca80000000"))
    assert negative_zero == 0.0 and math.copysign(1.0, negative_zero) == -1.0
    assert math.isnan(loads(h("ca7fc00000")))


@pytest.mark.parametrize(
    "data",
    [
        "d4 01 00",
        "d5 01 0000",
        "d6 ff 00000000",
        "d7 01" + "00" * 8,
        "d8 01" + "00" * 16,
        "c7 00 05",
        "c7 03 05 616263",
        "c8 0001 05 00",
        "c9 00000001 05 00",
        "92 01 d4 01 00",
        "81 01 d4 01 00",
        "81 d4 01 00 01",
    ],
)
def test_extensions_are_refused(data):
    with pytest.raises(ValueError) as exc:
        loads(h(data.replace(" ", "")))
    assert str(exc.value) == EXTENSION


@pytest.mark.parametrize(
    "data, message",
    [
        ("92 d40100 cd", FIELD),
        ("92 d40100", MARKER),
        ("92 d40100 a2 61", short_body(2, 1)),
        ("91" * 510 + "d4 01 00", EXTENSION),
        ("91" * 511 + "d4 01 00", DEPTH),
    ],
)
def test_reader_errors_win_over_an_earlier_extension(data, message):
    with pytest.raises(ValueError) as exc:
        loads(h(data.replace(" ", "")))
    assert str(exc.value) == message


def test_duplicate_map_keys_keep_first_position_and_last_value():
    result = loads(h("83 01 0a 02 14 01 1e".replace(" ", "")))
    assert result == {1: 30, 2: 20}
    assert list(result) == [1, 2]
    # Keys equal in Python merge the same way; the first key object stays.
    merged = loads(h("82 01 a161 c3 a162".replace(" ", "")))
    assert merged == {1: "b"}
    assert type(next(iter(merged))) is int


def _map(pairs):
    return bytes([0x80 + len(pairs)]) + b"".join(msgpack.packb(k) + msgpack.packb(v) for k, v in pairs)


def test_short_map_keys_decode_correctly_whatever_came_before():
    # Keys that agree in length, head and tail but differ in the middle, on
    # both sides of every size at which a decoder might treat them apart.
    keys = [""]
    for size in (1, 3, 4, 7, 8, 9, 16, 17, 31, 32, 33, 40):
        for middle in "ab":
            keys.append("h" * (size // 2) + middle + "t" * (size - size // 2 - 1))
    keys += ["é" * 16, "é" * 15 + "e", "😀" * 8, "😀" * 8 + "x", "ĳ"]
    for _ in range(3):
        for i, key in enumerate(keys):
            result = loads(_map([(key, i), ("other", -i)]))
            assert result == {key: i, "other": -i}
            assert type(next(iter(result))) is str
    # A key that is not valid UTF-8 comes back as bytes, before and after
    # the same bytes were met as valid text elsewhere.
    for _ in range(2):
        assert loads(h("82 a1 ff 01 a2 c3a9 02".replace(" ", ""))) == {b"\xff": 1, "é": 2}
        assert loads(h("81 a3 616263 01".replace(" ", ""))) == {"abc": 1}
        assert loads(h("81 a3 6162ff 01".replace(" ", ""))) == {b"ab\xff": 1}


def test_keys_of_large_maps_and_values_decode_like_small_map_keys():
    pairs = [(f"key{i:03d}", f"key{i:03d}") for i in range(100)]
    result = loads(msgpack.packb(dict(pairs)))
    assert list(result.items()) == pairs


@pytest.mark.parametrize(
    "data, kind", [("81 9101 01", "list"), ("81 80 01", "dict"), ("82 01 02 9100 03", "list")]
)
def test_unhashable_map_key_raises_type_error(data, kind):
    with pytest.raises(TypeError, match=f"unhashable type: '{kind}'"):
        loads(h(data.replace(" ", "")))


def test_tuple_key_encodes_but_does_not_decode():
    encoded = dumps({(1, 2): "v"})
    assert encoded == h("81 920102 a176".replace(" ", ""))
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        loads(encoded)


@pytest.mark.parametrize(
    "levels, inner, opener, ok",
    DEPTH_CASES := [
        (511, b"\x90", b"\x91", True),  # 512 arrays in all
        (512, b"\x90", b"\x91", False),
        (511, b"\x01", b"\x91", True),
        (512, b"\x01", b"\x91", False),
        (510, b"\xa1a", b"\x91", True),
        (511, b"\xa1a", b"\x91", False),
        (510, b"\xa0", b"\x91", True),
        (511, b"\xa0", b"\x91", False),
        (511, b"\xc4\x01a", b"\x91", True),  # a byte body costs one unit less than text
        (512, b"\xc4\x01a", b"\x91", False),
        (511, b"\x80", b"\x81\x01", True),
        (512, b"\x80", b"\x81\x01", False),
        (511, b"\x01", b"\x81\x01", True),
        (512, b"\x01", b"\x81\x01", False),
        (511, b"", b"\x91", False),  # runs out of input before the budget
        (512, b"", b"\x91", False),  # the budget runs out before the input does
    ],
)
def test_depth_limit(levels, inner, opener, ok):
    data = opener * levels + inner
    if ok:
        result = loads(data)
        for _ in range(levels):
            result = result[0] if opener == b"\x91" else result[1]
        assert result == loads(inner)
    else:
        expected = MARKER if (levels, inner) == (511, b"") else DEPTH
        with pytest.raises(ValueError) as exc:
            loads(data)
        assert str(exc.value) == expected


@pytest.mark.parametrize("levels, inner, opener, ok", DEPTH_CASES)
def test_encoder_refuses_exactly_what_the_decoder_cannot_read(levels, inner, opener, ok):
    # A value is encodable exactly when its encoding decodes, so nothing a
    # store accepts can become unreadable.
    if not inner:
        return
    value = loads(inner)
    for _ in range(levels):
        value = [value] if opener == b"\x91" else {1: value}
    if ok:
        assert dumps(value) == opener * levels + inner
    else:
        with pytest.raises(RecursionError, match="nested too deeply"):
            dumps(value)


HUGE_DECLARATIONS = [
    ("c6 ffffffff", short_body(4294967295, 0)),
    ("db ffffffff 616263", short_body(4294967295, 3)),
    ("c9 ffffffff 01", short_body(4294967295, 0)),
    ("dd ffffffff", MARKER),
    ("df ffffffff", MARKER),
    ("91 dd ffffffff" + "c0" * 1000, MARKER),
    ("df ffffffff" + "01" * 999, MARKER),
    ("dc ffff" + "90" * 100, MARKER),
]


def test_huge_declared_lengths_fail_without_reserving_memory():
    # The child decodes under an address-space limit: reserving anything
    # near the declared sizes (4 GiB of bytes, 2^32 list slots) would turn
    # the decode error into a MemoryError or kill it.
    script = textwrap.dedent(
        """
        import resource, sys
        from derirezaro._core import loads
        with open("/proc/self/statm") as f:
            vm = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (vm + (256 << 20), resource.RLIM_INFINITY))
        for data in sys.argv[1:]:
            try:
                loads(bytes.fromhex(data))
            except ValueError as e:
                print(e)
        """
    )
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(derirezaro.__file__)))
    args = [data.replace(" ", "") for data, _ in HUGE_DECLARATIONS]
    out = subprocess.run(
        [sys.executable, "-c", script, *args], capture_output=True, text=True, timeout=60, env=env
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [message for _, message in HUGE_DECLARATIONS]

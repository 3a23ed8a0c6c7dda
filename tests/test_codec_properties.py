"""Differential and round-trip properties of the codec, with the `msgpack`
package as the reference for what valid MessagePack means."""

import struct

import msgpack
import pytest
from derirezaro._core import dumps, loads
from hypothesis import given, settings
from hypothesis import strategies as st

ints = st.integers(-(2**63), 2**64 - 1)
scalars = st.none() | st.booleans() | ints | st.floats() | st.text() | st.binary()
# Keys a decoded map can hold: anything hashable that decodes to itself.
keys = st.none() | st.booleans() | ints | st.floats(allow_nan=False) | st.text() | st.binary()


def trees(with_tuples):
    def extend(children):
        sequences = st.lists(children, max_size=6)
        if with_tuples:
            sequences = sequences | st.lists(children, max_size=6).map(tuple)
        return sequences | st.dictionaries(keys, children, max_size=6)

    return st.recursive(scalars, extend, max_leaves=25)


values = trees(with_tuples=True)


def same(a, b, any_nan=False):
    """Equality that also tells bool from int, list from tuple, float bit
    patterns apart (NaN payloads, -0.0), and dict order. With `any_nan`,
    any NaN equals any NaN: narrowing to a single may rewrite a payload."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack(">d", a) == struct.pack(">d", b) or (any_nan and a != a and b != b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y, any_nan) for x, y in zip(a, b, strict=True))
    if isinstance(a, dict):
        return len(a) == len(b) and all(
            same(ka, kb) and same(va, vb, any_nan)
            for (ka, va), (kb, vb) in zip(a.items(), b.items(), strict=True)
        )
    return a == b


def as_decoded(value):
    """What decoding gives back for `value`: arrays always come back as lists."""
    if isinstance(value, (list, tuple)):
        return [as_decoded(v) for v in value]
    if isinstance(value, dict):
        return {k: as_decoded(v) for k, v in value.items()}
    return value


# Every integer form, with the range it can carry.
INT_FORMS = [
    (None, ">B", 0, 127),
    (None, ">b", -32, -1),
    (0xCC, ">B", 0, 2**8 - 1),
    (0xCD, ">H", 0, 2**16 - 1),
    (0xCE, ">I", 0, 2**32 - 1),
    (0xCF, ">Q", 0, 2**64 - 1),
    (0xD0, ">b", -(2**7), 2**7 - 1),
    (0xD1, ">h", -(2**15), 2**15 - 1),
    (0xD2, ">i", -(2**31), 2**31 - 1),
    (0xD3, ">q", -(2**63), 2**63 - 1),
]


def _sized(draw, n, forms):
    """Picks a header for length or count `n` among (fix base, fix max,
    [(marker, struct format, max)...]) that can carry it."""
    fix_base, fix_max, wide = forms
    choices = [(m, f) for m, f, top in wide if n <= top]
    if fix_base is not None and n <= fix_max:
        choices.append((fix_base + n, None))
    marker, fmt = draw(st.sampled_from(choices))
    return bytes([marker]) + (struct.pack(fmt, n) if fmt else b"")


STR_FORMS = (0xA0, 31, [(0xD9, ">B", 2**8 - 1), (0xDA, ">H", 2**16 - 1), (0xDB, ">I", 2**32 - 1)])
BIN_FORMS = (None, 0, [(0xC4, ">B", 2**8 - 1), (0xC5, ">H", 2**16 - 1), (0xC6, ">I", 2**32 - 1)])
ARRAY_FORMS = (0x90, 15, [(0xDC, ">H", 2**16 - 1), (0xDD, ">I", 2**32 - 1)])
MAP_FORMS = (0x80, 15, [(0xDE, ">H", 2**16 - 1), (0xDF, ">I", 2**32 - 1)])


def loose_pack(value, draw):
    """Valid MessagePack for `value` that need not be the most compact:
    every integer, length and count takes any form wide enough, and a float
    goes out as a single when that loses nothing."""
    if value is None:
        return b"\xc0"
    if isinstance(value, bool):
        return b"\xc3" if value else b"\xc2"
    if isinstance(value, int):
        marker, fmt = draw(st.sampled_from([(m, f) for m, f, lo, hi in INT_FORMS if lo <= value <= hi]))
        return (bytes([marker]) if marker is not None else b"") + struct.pack(fmt, value)
    if isinstance(value, float):
        try:
            single = struct.pack(">f", value)
        except OverflowError:
            single = None
        if single is not None and struct.unpack(">f", single)[0] == value and draw(st.booleans()):
            return b"\xca" + single
        return b"\xcb" + struct.pack(">d", value)
    if isinstance(value, str):
        raw = value.encode()
        return _sized(draw, len(raw), STR_FORMS) + raw
    if isinstance(value, bytes):
        return _sized(draw, len(value), BIN_FORMS) + value
    if isinstance(value, (list, tuple)):
        return _sized(draw, len(value), ARRAY_FORMS) + b"".join(loose_pack(v, draw) for v in value)
    return _sized(draw, len(value), MAP_FORMS) + b"".join(
        loose_pack(k, draw) + loose_pack(v, draw) for k, v in value.items()
    )


def unpack(data):
    return msgpack.unpackb(data, raw=False, strict_map_key=False)


@given(values)
def test_encoding_matches_reference_packer(value):
    assert dumps(value) == msgpack.packb(value, use_bin_type=True)


@given(values, st.booleans())
def test_decoding_agrees_with_reference_unpacker(value, single_float):
    try:
        data = msgpack.packb(value, use_bin_type=True, use_single_float=single_float)
    except OverflowError:  # the reference refuses doubles beyond the single range
        data = msgpack.packb(value, use_bin_type=True)
    assert same(loads(data), unpack(data), any_nan=True)


@given(values, st.data())
def test_decoding_non_canonical_forms(value, data):
    encoded = loose_pack(value, data.draw)
    decoded = loads(encoded)
    assert same(decoded, unpack(encoded), any_nan=True)
    assert same(decoded, as_decoded(value), any_nan=True)


@given(trees(with_tuples=False))
def test_round_trip_returns_an_identical_value(value):
    assert same(loads(dumps(value)), value)


@given(values)
def test_reencoding_decoded_output_reproduces_the_bytes(value):
    encoded = dumps(value)
    assert dumps(loads(encoded)) == encoded


@given(values, st.data())
def test_every_strict_prefix_is_a_decode_error(value, data):
    encoded = dumps(value)
    cut = data.draw(st.integers(0, len(encoded) - 1))
    with pytest.raises(ValueError, match="^msgpack decode error: "):
        loads(encoded[:cut])


def _check_arbitrary_input(data):
    try:
        decoded = loads(data)
    except (ValueError, TypeError):
        return
    # Whatever decodes is a supported value again, and decodes to itself.
    assert same(loads(dumps(decoded)), decoded)


@settings(max_examples=500)
@given(st.binary(max_size=64))
def test_arbitrary_bytes_never_crash(data):
    _check_arbitrary_input(data)


@settings(max_examples=300)
@given(values, st.data())
def test_mutated_encodings_never_crash(value, data):
    encoded = bytearray(dumps(value))
    for _ in range(data.draw(st.integers(1, 4))):
        position = data.draw(st.integers(0, len(encoded)))
        action = data.draw(st.sampled_from(["set", "insert", "delete"]))
        byte = data.draw(st.integers(0, 255))
        if action == "insert" or position == len(encoded):
            encoded.insert(position, byte)
        elif action == "set":
            encoded[position] = byte
        else:
            del encoded[position]
    _check_arbitrary_input(bytes(encoded))

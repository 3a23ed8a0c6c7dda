#!/usr/bin/env python3
"""Writes the seed corpora of the fuzzers: the MessagePack reader's, the
condition language's (a condition, a NUL byte, then a state in MessagePack),
and the record body reader's (bodies in each layout of src/persist/FORMAT.md).

Deterministic and dependency-free: run it again after changing a seed and
commit the result. Seeds are small on purpose; libFuzzer mutates from them,
so each one only needs to show the fuzzer a family, a boundary or a shape
(every marker family, the forms the writer never produces, nesting, and a
few inputs cut short) rather than be realistic.

    python3 tools/make_fuzz_seeds.py [corpus-dir]    # writes corpus-dir/{reader,condition,body}
"""

import pathlib
import struct
import sys
import zlib

DEFAULT_DIR = pathlib.Path(__file__).resolve().parent.parent / "fuzz" / "corpus"


def pack(obj):
    """The most compact encoding, as the codec's writer produces it."""
    if obj is None:
        return b"\xc0"
    if obj is True or obj is False:
        return b"\xc3" if obj else b"\xc2"
    if isinstance(obj, int):
        if obj >= 0:
            for limit, head, fmt in (
                (0x7F, b"", ">B"),
                (0xFF, b"\xcc", ">B"),
                (0xFFFF, b"\xcd", ">H"),
                (0xFFFFFFFF, b"\xce", ">I"),
            ):
                if obj <= limit:
                    return head + struct.pack(fmt, obj)
            return b"\xcf" + struct.pack(">Q", obj)
        if obj >= -32:
            return struct.pack(">b", obj)
        for low, head, fmt in (
            (-0x80, b"\xd0", ">b"),
            (-0x8000, b"\xd1", ">h"),
            (-0x80000000, b"\xd2", ">i"),
        ):
            if obj >= low:
                return head + struct.pack(fmt, obj)
        return b"\xd3" + struct.pack(">q", obj)
    if isinstance(obj, float):
        return b"\xcb" + struct.pack(">d", obj)
    if isinstance(obj, str):
        data = obj.encode()
        return (
            _sized(
                len(data), ((31, 0xA0, None), (0xFF, 0xD9, ">B"), (0xFFFF, 0xDA, ">H"), (None, 0xDB, ">I"))
            )
            + data
        )
    if isinstance(obj, bytes):
        return _sized(len(obj), ((0xFF, 0xC4, ">B"), (0xFFFF, 0xC5, ">H"), (None, 0xC6, ">I"))) + obj
    if isinstance(obj, list):
        head = _sized(len(obj), ((15, 0x90, None), (0xFFFF, 0xDC, ">H"), (None, 0xDD, ">I")))
        return head + b"".join(pack(item) for item in obj)
    if isinstance(obj, dict):
        head = _sized(len(obj), ((15, 0x80, None), (0xFFFF, 0xDE, ">H"), (None, 0xDF, ">I")))
        return head + b"".join(pack(k) + pack(v) for k, v in obj.items())
    raise TypeError(type(obj))


def _sized(n, forms):
    for limit, marker, fmt in forms:
        if limit is None or n <= limit:
            return bytes([marker + n]) if fmt is None else bytes([marker]) + struct.pack(fmt, n)
    raise AssertionError


def ext(type_code, data):
    fixed = {1: 0xD4, 2: 0xD5, 4: 0xD6, 8: 0xD7, 16: 0xD8}
    if len(data) in fixed:
        head = bytes([fixed[len(data)]])
    elif len(data) <= 0xFF:
        head = b"\xc7" + struct.pack(">B", len(data))
    else:
        head = b"\xc8" + struct.pack(">H", len(data))
    return head + struct.pack(">b", type_code) + data


def array_of(*encoded):
    return _sized(len(encoded), ((15, 0x90, None), (0xFFFF, 0xDC, ">H"))) + b"".join(encoded)


SEEDS = {
    "scalars": pack([None, False, True, 0, 1.5, -0.0, float("nan"), float("-inf")]),
    "uint_boundaries": pack([127, 128, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**64 - 1]),
    "negative_boundaries": pack([-1, -32, -33, -128, -129, -32768, -32769, -(2**31), -(2**31) - 1, -(2**63)]),
    # Forms the writer never produces: the reserved marker, signed markers
    # holding non-negative numbers, non-minimal widths, float32.
    "non_canonical": bytes.fromhex(
        "9a c1 d0 05 d1 00 05 d2 00 00 00 05 d3 00 00 00 00 00 00 00 05"
        " cc 05 cd 00 05 d9 01 61 c5 00 01 ff ca 3f c0 00 00"
    ),
    "strings": pack(["", "a" * 31, "b" * 32, "c" * 256, "\u00e9\u20ac\U0001f600"]),
    "invalid_utf8": array_of(
        bytes.fromhex("a1 ff"),
        bytes.fromhex("a3 ed a0 80"),
        bytes.fromhex("a2 c0 80"),
        bytes.fromhex("a4 f4 90 80 80"),
    ),
    "binary": pack([b"", b"\x00\xff", bytes(range(256)) + b"x"]),
    "extensions": array_of(
        ext(1, b"\x01"),
        ext(2, b"ab"),
        ext(-1, b"abcd"),
        ext(3, bytes(8)),
        ext(4, bytes(16)),
        ext(5, b""),
        ext(6, b"abc"),
        ext(-128, bytes(300)),
    ),
    "array16": pack(list(range(20))),
    "map16": pack({i: str(i) for i in range(17)}),
    "nested": pack({"step": 3, "history": ["plan", {"tool": [1, [2, [3]]]}], "": {}}),
    # Repeated keys, and keys of every kind: containers, nil, text, binary.
    "map_odd_keys": bytes.fromhex("85 01 02 01 03 90 c0 81 c0 c0 a0 c4 01 78 c3"),
    "deep_512_arrays": b"\x91" * 511 + b"\x90",
    "deep_513_arrays": b"\x91" * 512 + b"\x90",
    "deep_maps": b"\x81\xc0" * 300 + b"\xa1a",
    "trailing_bytes": bytes.fromhex("01 02 c1"),
    # Cut short: a body, a fixed-size field, a container, a huge claim.
    "short_body": bytes.fromhex("a5 61 62"),
    "short_field": bytes.fromhex("92 cd 01"),
    "short_container": bytes.fromhex("92 01"),
    "short_ext_type": bytes.fromhex("c7 03"),
    "huge_claims": bytes.fromhex("dd ff ff ff ff c6 ff ff ff ff 00"),
}


STATE = {"tier": "gold", "count": 3, "ratio": 2.5, "flag": True, "none": None, "tags": ["x", "y"],
         "user": {"name": "alice", "profile": {"tier": "gold"}}, "nums": [1.0, 2], "nan": float("nan"),
         "meta": {"k": 0}, "": "empty key", "\u00e9t\u00e9": [b"raw"], "tiers": "tier", "big": 2**64 - 1,
         "low": -(2**63), "inf": float("inf"), "tiny": 5e-324, "zero": -0.0}  # fmt: skip

# Every token, both quotes and their escapes, numbers at their limits, every
# comparison and the membership test over each variant, paths, precedence,
# the depth limits just inside and just beyond, long chains, and the lexer's
# and parser's refusals.
CONDITIONS = {
    "compare": "tier == 'gold' and count >= 2 or not flag",
    "all_ops": "a == 1 and b != 2.5 and c < 'x' and d <= -3 and e > 0.0 and f >= null and g in h",
    "membership": "'x' in tags and 1 in nums and 'k' in meta and 'li' in user.name and '' in tier",
    "paths": 'user.profile.tier == "gold" and user.missing.deeper == None',
    "literals": "True and true and False or false or none or None or null",
    "numbers": "x == 9223372036854775807 or x == -9223372036854775808 or x == 1.7976931348623157",
    "strings": "s == 'it\\'s' or s == \"a\\\"b\" or s == '\\n\\t\\q\\\\'",
    "unicode": "\u00e9t\u00e9 == 'caf\u00e9' and \u03b1\u0661 != '\u0301'",
    "precedence": "not a == b or (c and (d or e)) and not not f",
    "regrouped": "a and (b and c) or (d or e) and not (f or g) == (h and i)",
    # Numbers at the ends of int64, uint64 and the double, beside NaN, and
    # the spaces beyond ASCII.
    "edges": "nan or big == 18446744073709551615.0 and low <= -9223372036854775808 and inf > 1"
    + "0" * 309
    + ".0 and tiny > 0."
    + "0" * 324
    + "1 and zero == 0.0 and\u2028tiers\x85!=\u3000tier",
    "parens_12": "(" * 12 + "x" + ")" * 12,
    "parens_13": "(" * 13 + "x" + ")" * 13,
    "nots_60": "not " * 60 + "x",
    "nots_61": "not " * 61 + "x",
    "long_and": " and ".join(f"k{i}" for i in range(300)),
    "long_or": " or ".join(f"v == {i}" for i in range(300)),
    "refusals": "a = 1",
    "bang": "!x",
    "trailing": "a == b == c",
    "dot": "a.1",
    "unterminated": "'abc\\",
    "overflow": "9223372036854775808",
    "two_points": "1.2.3",
    "minus": "x - 1",
}


def framed(*chunks):
    return b"\xc1" + b"".join(struct.pack(">I", len(c)) + c for c in map(pack, chunks))


def compressed(inner, declared=None, stream=None):
    """The compressed layout: 0x01, the declared size (8 bytes, big-endian), a zlib stream."""
    stream = zlib.compress(inner, 9) if stream is None else stream
    return b"\x01" + struct.pack(">Q", len(inner) if declared is None else declared) + stream


# Plain and framed bodies, values in every family, a namespace in two
# chunks; the compressed layout, and the sizes it may declare: its stream's
# length times deflate's largest ratio (1032) plus 64 at most, none beyond.
PLAIN_BODY = pack([{"ns": {"a": 1, "b": [True, None]}}, {"ns": ["c"]}])
BODIES = {
    "plain": PLAIN_BODY,
    "plain_empty": pack([{}, {}]),
    "plain_values": pack(
        [
            {"n": {"k": {"x": [1, -200, 1.5, "\u00e9", b"\x00"], "y": {}}, "big": 2**40, "neg": -(2**40)}},
            {"m": ["k", "k"]},
        ]
    ),
    "value_map17": pack({f"k{i}": [i, str(i)] for i in range(17)}),
    "framed_two_chunks": framed([{"ns": {"a": 1}}, {}], [{"ns": {"a": 2}, "m": {"k": "v"}}, {"ns": ["b"]}]),
    "framed_wide_map": framed([{"ns": {f"k{i}": i for i in range(17)}}, {}]),
    "compressed_plain": compressed(PLAIN_BODY),
    "compressed_framed": compressed(framed([{"ns": {"a": 1}}, {}], [{"m": {"k": "v"}}, {}])),
    "compressed_at_bound": compressed(b"", declared=1032 * 10 + 64, stream=bytes(10)),
    "compressed_bomb_claim": compressed(b"", declared=1032 * 10 + 65, stream=bytes(10)),
    "compressed_huge_claim": compressed(b"", declared=2**64 - 1, stream=bytes(10)),
    "compressed_short": b"\x01\x00\x00\x00",
}


def main():
    root = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_DIR
    for corpus, seeds in (("reader", SEEDS), ("condition", condition_seeds()), ("body", BODIES)):
        out = root / corpus
        out.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (out / name).write_bytes(data)
        print(f"wrote {len(seeds)} seeds to {out}")


def condition_seeds():
    state = pack(STATE)
    return {name: text.encode() + b"\0" + state for name, text in CONDITIONS.items()}


if __name__ == "__main__":
    main()

"""A record's body: the entries it sets and the pairs it removes, as bytes.

The native encoder (derirezaro._replay: state_delta, state_keyframe) writes
bodies; this module compresses them and reads them back.

A body of up to `CHUNK_ENTRIES` entries is one value of the package codec,
`[{namespace: {key: value}}, {namespace: [key]}]`. A larger one, such as the
keyframe of a large state, is framed: the byte `FRAMED`, then chunks of that
same shape, each of at most `CHUNK_ENTRIES` entries and preceded by its length
(4 bytes, big-endian). The codec encodes and decodes a value in one call,
which keeps the interpreter lock throughout; chunks bound that call, so a
thread reading a keyframe of a million entries lets the others run between
chunks instead of stopping them for the whole decode.

A body of at least `COMPRESS_MIN` bytes is stored compressed when that saves
at least an eighth: the byte `COMPRESSED`, the length of the body it holds (8
bytes, big-endian), then that body (either layout) as one zlib stream. A
keyframe holds values that repeat their keys and shapes, so it typically
shrinks several times over, and a smaller keyframe is one a timeline can
afford more often, which keeps the runs a read replays short. zlib works
without the interpreter lock on large inputs; the declared length bounds what
decompression may allocate, and is itself bounded by zlib's largest ratio, so
a body cannot ask for more memory than its size warrants.

`FRAMED` (0xc1) and `COMPRESSED` (0x01) are bytes the codec never writes
first for a body, which is always an array, so the layouts cannot be mistaken
for each other.
"""

from __future__ import annotations

import zlib
from typing import Any

from .._core import loads

CHUNK_ENTRIES = 1024
FRAMED = b"\xc1"
COMPRESSED = b"\x01"
COMPRESS_MIN = 256  # below this zlib's own overhead eats most of what it saves
_MAX_RATIO = 1032  # zlib's deflate never expands more than this (RFC 1951, 258 bytes from 2 bits)
_INFLATE_STEP = 1 << 16  # what the checking pass reads and inflates at a time, and drops

# Entries as a body holds them: namespace -> key -> value; and the removed keys by namespace.
State = dict[str, dict[str, Any]]
Removes = dict[str, list[str]]


def stored_form(body: bytes) -> bytes:
    """An encoded body as it is stored: compressed when that saves at least an eighth."""
    if len(body) < COMPRESS_MIN:
        return body
    packed = compress(body)
    return packed if len(packed) <= len(body) - len(body) // 8 else body


def compress(body: bytes) -> bytes:
    """`body` in the compressed layout."""
    packed = zlib.compress(body, 1)  # level 1: most of the saving at a fraction of the time
    return b"".join((COMPRESSED, len(body).to_bytes(8, "big"), packed))


def decode_body(body: bytes) -> tuple[State, Removes]:
    """The sets and removes of a body whose checksum is right; ValueError if its layout is wrong."""
    if body.startswith(COMPRESSED):
        body = decompress(body)
    if not body.startswith(FRAMED):
        return _decode_chunk(body)
    sets: State = {}
    removes: Removes = {}
    at = len(FRAMED)
    while at < len(body):
        length = int.from_bytes(body[at : at + 4], "big")
        chunk = body[at + 4 : at + 4 + length]
        if at + 4 > len(body) or len(chunk) != length:
            raise ValueError(f"chunk at byte {at} runs past the end")
        at += 4 + length
        chunk_sets, chunk_removes = _decode_chunk(chunk)
        for namespace, entries in chunk_sets.items():
            sets.setdefault(namespace, {}).update(entries)
        for namespace, keys in chunk_removes.items():
            removes.setdefault(namespace, []).extend(keys)
    return sets, removes


def decompress(body: bytes) -> bytes:
    """The body a compressed one holds; ValueError if it does not hold one whole.

    A declared size beyond what the stream could hold at deflate's largest
    ratio is refused before anything is inflated, and a stream that holds more
    than it declares once it has given one byte more. One copy of the body is
    held, in a buffer of exactly the declared size. zlib can bound its output
    or size its buffer exactly, not both; so a body larger than one step is
    inflated twice: a first pass checks, in bounded steps that it drops, that
    the stream holds exactly the declared size and ends there, and a second
    fills the buffer.
    """
    length = int.from_bytes(body[1:9], "big")
    packed = memoryview(body)[9:]
    if len(body) < 9 or not 0 < length <= _MAX_RATIO * len(packed) + 64:
        raise ValueError("compressed body declares a length its stream cannot hold")
    whole = length <= _INFLATE_STEP  # small enough to keep from the first pass
    pieces = []
    stream = zlib.decompressobj()
    held = fed = 0
    rest: bytes | memoryview = b""
    try:
        while not stream.eof and held <= length:
            if not rest:  # bounded input too: zlib copies what a call leaves unread
                rest = packed[fed : fed + _INFLATE_STEP]
                fed += len(rest)
            step = stream.decompress(rest, min(_INFLATE_STEP, length + 1 - held))
            if not step and len(stream.unconsumed_tail) == len(rest):
                break  # no progress: the stream is cut short
            rest = stream.unconsumed_tail
            held += len(step)
            if whole:
                pieces.append(step)
            del step
    except zlib.error as exc:
        raise ValueError(f"compressed body does not decompress ({exc})") from None
    if held != length or not stream.eof or stream.unused_data or fed < len(packed):  # ends with the body
        raise ValueError("compressed body is not the length it declares")
    inner = b"".join(pieces) if whole else zlib.decompress(packed, bufsize=length)  # bufsize: one buffer
    if len(inner) != length:
        raise ValueError("compressed body is not the length it declares")
    if inner.startswith(COMPRESSED):
        raise ValueError("compressed body holds a compressed body")
    return inner


def _decode_chunk(data: bytes) -> tuple[State, Removes]:
    decoded = loads(data)
    if not (type(decoded) is list and len(decoded) == 2):
        raise ValueError("not a pair of maps")
    sets, removes = decoded
    if not (isinstance(sets, dict) and isinstance(removes, dict)):
        raise ValueError("not two maps")
    for namespace, entries in sets.items():
        if type(namespace) is not str or type(entries) is not dict:
            raise ValueError("a namespace of sets is not a map")
        for key in entries:
            if type(key) is not str:
                raise ValueError("a key is not a string")
    for namespace, keys in removes.items():
        if type(namespace) is not str or type(keys) is not list:
            raise ValueError("a namespace of removes is not a list")
        if not all(type(key) is str for key in keys):
            raise ValueError("a removed key is not a string")
    return sets, removes

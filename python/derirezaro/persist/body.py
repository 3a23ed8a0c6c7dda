"""A record's body as stored: compressed when that pays, and inflated again.

The layouts (plain, framed, compressed) are set down in src/persist/FORMAT.md;
the native code encodes and reads bodies. This module is the one layer it
leaves to Python: zlib, since the native code links nothing but the C++
standard library. A smaller keyframe is one a timeline can afford more often,
which keeps the runs a read replays short; zlib works without the interpreter
lock on large inputs; and the declared length bounds what inflating may
allocate, itself bounded by deflate's largest ratio, so a body cannot ask for
more memory than its size warrants.
"""

from __future__ import annotations

import zlib
from typing import Any

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
    # Level 1: most of the saving at a fraction of the time. The window and the hash table sized to
    # the body (a window as large as it, a hash level of the window's bits less 7, zlib's own ratio at
    # its largest): at zlib's defaults each call allocates and clears some 256 KiB, which costs a
    # body of a few KiB more than compressing it. Any window inflates with the default one.
    bits = max(9, min(15, (len(body) - 1).bit_length()))
    packer = zlib.compressobj(1, zlib.DEFLATED, bits, bits - 7)
    return b"".join((COMPRESSED, len(body).to_bytes(8, "big"), packer.compress(body), packer.flush()))


def decompress(body: bytes) -> bytearray:
    """The body a compressed one holds, in one buffer of exactly its declared size.

    ValueError if it does not hold one whole: a declared size beyond what the
    stream could hold at deflate's largest ratio is refused before anything is
    inflated, and a stream that holds more than it declares once it has given
    one byte more. zlib can bound each step's output but not size a whole
    output's buffer exactly (some interpreters' zlib overallocates by a
    quarter before shrinking), so a body larger than one step is inflated
    twice, a bounded step at a time: a first pass checks, dropping each step,
    that the stream holds exactly the declared size and ends there, so a
    stream that lies costs nothing of the size it claims; a second copies
    each step into the buffer. The body is held once.
    """
    length = int.from_bytes(body[1:9], "big")
    packed = memoryview(body)[9:]
    if len(body) < 9 or not 0 < length <= _MAX_RATIO * len(packed) + 64:
        raise ValueError("compressed body declares a length its stream cannot hold")
    inner = bytearray(length) if length <= _INFLATE_STEP else None  # small: filled by the one pass
    _inflate(packed, length, inner)
    if inner is None:
        inner = bytearray(length)
        _inflate(packed, length, inner)
    if inner.startswith(COMPRESSED):
        raise ValueError("compressed body holds a compressed body")
    return inner


def _inflate(packed: memoryview, length: int, inner: bytearray | None) -> None:
    """Inflate `packed` in bounded steps, into `inner` if given; ValueError unless it holds `length` bytes."""
    stream = zlib.decompressobj()
    held = fed = 0
    rest: bytes | memoryview = b""
    with memoryview(inner if inner is not None else bytearray()) as into:
        try:
            while not stream.eof and held <= length:
                if not rest:  # bounded input too: zlib copies what a call leaves unread
                    rest = packed[fed : fed + _INFLATE_STEP]
                    fed += len(rest)
                step = stream.decompress(rest, min(_INFLATE_STEP, length + 1 - held))
                if not step and len(stream.unconsumed_tail) == len(rest):
                    break  # no progress: the stream is cut short
                rest = stream.unconsumed_tail
                if inner is not None and held + len(step) <= length:
                    into[held : held + len(step)] = step
                held += len(step)
        except zlib.error as exc:
            raise ValueError(f"compressed body does not decompress ({exc})") from None
    if held != length or not stream.eof or stream.unused_data or fed < len(packed):  # ends with the body
        raise ValueError("compressed body is not the length it declares")

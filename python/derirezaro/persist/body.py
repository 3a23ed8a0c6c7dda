"""A record's body: the entries it sets and the pairs it removes, as bytes.

A body of up to `CHUNK_ENTRIES` entries is one value of the package codec,
`[{namespace: {key: value}}, {namespace: [key]}]`. A larger one, such as the
keyframe of a large state, is framed: the byte `FRAMED`, then chunks of that
same shape, each of at most `CHUNK_ENTRIES` entries and preceded by its length
(4 bytes, big-endian). The codec encodes and decodes a value in one call,
which keeps the interpreter lock throughout; chunks bound that call, so a
thread reading a keyframe of a million entries lets the others run between
chunks instead of stopping them for the whole decode.

`FRAMED` is 0xc1, a byte the codec never writes first, so the two layouts
cannot be mistaken for each other.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator
from itertools import islice
from typing import Any, cast

from .._core import dumps, loads

CHUNK_ENTRIES = 1024
FRAMED = b"\xc1"

# Entries as a body holds them: namespace -> key -> value; and the removed keys by namespace.
State = dict[str, dict[str, Any]]
Removes = dict[str, list[str]]


def encode_body(sets: State, removes: Removes) -> bytes:
    count = sum(map(len, sets.values())) + sum(map(len, removes.values()))
    if count <= CHUNK_ENTRIES:
        return dumps(cast(Any, [sets, removes]))
    parts = [FRAMED]
    for chunk in _chunks(sets, removes):
        encoded = dumps(cast(Any, chunk))
        parts += (len(encoded).to_bytes(4, "big"), encoded)
    return b"".join(parts)


def _chunks(sets: State, removes: Removes) -> Iterator[list[Any]]:
    """`[sets, removes]` pieces of at most CHUNK_ENTRIES entries; a namespace appears once per piece."""
    pieces: list[tuple[int, str, Iterator[Any], Callable[[Iterable[Any]], Any]]] = [
        *((0, namespace, iter(entries.items()), dict) for namespace, entries in sets.items()),
        *((1, namespace, iter(keys), list) for namespace, keys in removes.items()),
    ]
    chunk: list[Any] = [{}, {}]
    room = CHUNK_ENTRIES
    for side, namespace, rest, build in pieces:
        while part := build(islice(rest, room)):
            chunk[side][namespace] = part
            room -= len(part)
            if room == 0:
                yield chunk
                chunk, room = [{}, {}], CHUNK_ENTRIES
    if room < CHUNK_ENTRIES:
        yield chunk


def decode_body(body: bytes) -> tuple[State, Removes]:
    """The sets and removes of a body whose checksum is right; ValueError if its layout is wrong."""
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


def _decode_chunk(data: bytes) -> tuple[State, Removes]:
    sets, removes = loads(data)
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

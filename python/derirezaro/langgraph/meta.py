"""What a checkpoint's record carries beside the state: its id, its parent, the rest of the checkpoint.

    [id, parent, ts, v, updated_channels, type, bytes]

- id: None when the record's own id is the checkpoint id (most records), else the id.
- parent: None for a root; True when it is the checkpoint of the record's parent
  (every step of a running graph); else the parent's id.
- ts, v, updated_channels as they are, each False where the checkpoint has no
  such key, or one of another shape, which then travels with the rest. A ts
  that is a UTC time's `isoformat()` with microseconds (LangGraph's own) is
  stored as those microseconds since the epoch, an int: 9 bytes, not 33.
- type, bytes: the serde's encoding of [the checkpoint's other keys, its metadata];
  or None and those two as they are, when they are plain data (strings, numbers,
  lists, maps): the codec stores and reads those for less, and gives them back
  as the serde would.

Ids make up much of a small step's record, which is why they are not left to
the serde.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Mapping
from datetime import datetime, timedelta, timezone
from typing import Any, NamedTuple

from ..persist.record import Record

STATE_KEYS = frozenset({"id", "channel_values", "channel_versions", "versions_seen"})
_ABSENT = False
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
_MICROSECOND = timedelta(microseconds=1)


# What `isoformat()` writes of a UTC time with microseconds, ASCII digits only. A str of this shape
# that parses is given back by `isoformat()` unless its microseconds are 0, which it leaves out: so
# the round trip is decided without formatting the time again, which costs more than the parse.
_CANONICAL_TS = re.compile(
    r"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}\+00:00"
).fullmatch


def _stored_ts(ts: str) -> str | int:
    """`ts` as microseconds since the epoch where those give back the very same str, else as it is."""
    if _CANONICAL_TS(ts) is None or ts[20:26] == "000000":
        return ts
    try:
        at = datetime.fromisoformat(ts)
    except ValueError:  # a day, hour or second out of range
        return ts
    return (at - _EPOCH) // _MICROSECOND


def encode(
    checkpoint: Mapping[str, Any], metadata: Any, dumps_typed: Callable[[Any], tuple[str, Any]]
) -> list[Any]:
    """The meta of `checkpoint`, its id and parent left for the commit to fill in."""
    # Copied in C and STATE_KEYS popped, one by one without a loop: every put passes here, and a
    # comprehension over the checkpoint's keys costs a frame and a test per key.
    others = dict(checkpoint)
    pop = others.pop
    pop("id", None), pop("channel_values", None), pop("channel_versions", None), pop("versions_seen", None)
    ts, v, updated = pop("ts", _ABSENT), pop("v", _ABSENT), pop("updated_channels", _ABSENT)
    if ts is not _ABSENT and type(ts) is not str:
        others["ts"], ts = ts, _ABSENT
    if v is not _ABSENT and type(v) is not int:
        others["v"], v = v, _ABSENT
    if updated is not _ABSENT and not (
        updated is None or (type(updated) is list and all(type(c) is str for c in updated))
    ):
        others["updated_channels"], updated = updated, _ABSENT
    if ts is not _ABSENT:
        ts = _stored_ts(ts)
    both = [others, metadata]
    if _plain(others, 1) and _plain(metadata, 1):  # `both`, without its own call
        return [None, None, ts, v, updated, None, both]
    kind, data = dumps_typed(both)
    return [None, None, ts, v, updated, kind, bytes(data)]


_SCALARS = frozenset({str, float, bool, type(None)})
# What the codec writes as an int, tested by comparisons: `in range(...)` also divides by its step.
_INT_LOW, _INT_END = -(1 << 63), 1 << 64


def _plain(value: Any, depth: int) -> bool:
    """Data the codec keeps exactly as the serde would give it back: no types to revive, ints in range.

    A container's scalars are checked in its own loop, without a call each:
    metadata is mostly flat maps of strings and numbers, checked every put.
    """
    kind = type(value)
    if kind in _SCALARS:
        return True
    if kind is int:
        return _INT_LOW <= value < _INT_END
    if depth > 32:
        return False
    if kind is dict:
        for key in value:  # a loop, not all() over a generator: no frame of its own
            if type(key) is not str:
                return False
        items = value.values()
    elif kind is list or kind is tuple:  # a tuple comes back as a list from either
        items = value
    else:
        return False
    scalars = _SCALARS
    for item in items:
        item_kind = type(item)
        if item_kind in scalars:
            continue
        if item_kind is int:
            if not _INT_LOW <= item < _INT_END:
                return False
        elif (item_kind is dict or item_kind is list) and not item and depth < 32:
            continue  # empty, so plain, without a call: metadata's `parents`, a checkpoint's `pending_sends`
        elif not _plain(item, depth + 1):
            return False
    return True


class Head(NamedTuple):
    """What a read needs of a record's header: a `Record` without the cost of making one."""

    seq: int
    id: str
    parent: int | None
    timestamp: float
    meta: Any


def checkpoint_id(record: Record | Head) -> str:
    """The checkpoint a record holds. Raises ValueError for a record that holds none."""
    meta = record.meta
    if type(meta) is not list or len(meta) != 7:
        raise ValueError("a record that is not a checkpoint")
    return meta[0] if type(meta[0]) is str else record.id


def decode(meta: list[Any], loads_typed: Callable[[tuple[str, bytes]], Any]) -> tuple[dict[str, Any], Any]:
    """The checkpoint's keys other than its state and id, and its metadata."""
    _, _, ts, v, updated, kind, data = meta
    both = data if kind is None else loads_typed((kind, data))
    if type(both) is not list or len(both) != 2 or not isinstance(both[0], dict):
        raise ValueError("metadata that is not a checkpoint's")
    rest = {}
    if v is not _ABSENT:
        rest["v"] = v
    if ts is not _ABSENT:
        rest["ts"] = (_EPOCH + ts * _MICROSECOND).isoformat() if type(ts) is int else ts
    if updated is not _ABSENT:
        rest["updated_channels"] = updated
    rest.update(both[0])
    return rest, both[1]

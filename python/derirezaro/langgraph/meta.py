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

from collections.abc import Callable, Mapping
from datetime import datetime, timedelta, timezone
from typing import Any, NamedTuple

from .._step import meta_fields
from ..persist.record import Record

STATE_KEYS = frozenset({"id", "channel_values", "channel_versions", "versions_seen"})
_ABSENT = False
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
_MICROSECOND = timedelta(microseconds=1)


def encode(
    checkpoint: Mapping[str, Any], metadata: Any, dumps_typed: Callable[[Any], tuple[str, Any]]
) -> list[Any]:
    """The meta of `checkpoint`, its id and parent left for the commit to fill in."""
    # Built natively (every put passes here); only data the codec cannot keep exactly goes to the serde.
    meta, plain = meta_fields(checkpoint if type(checkpoint) is dict else dict(checkpoint), metadata)
    if not plain:
        kind, data = dumps_typed(meta[6])
        meta[5], meta[6] = kind, bytes(data)
    return meta


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

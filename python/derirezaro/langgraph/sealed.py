"""Pending writes as they are stored: compressed where that pays, sealed by a checksum of where they lie."""

from __future__ import annotations

import zlib
from typing import TYPE_CHECKING

from .errors import CorruptCheckpoint

if TYPE_CHECKING:
    from .branch import Branch

_SQUEEZE_FROM = 256  # bytes of a written value worth compressing; it must save an eighth


def squeezed(data: bytes) -> tuple[bytes, bool]:
    """A written value compressed, where that pays: a message a task wrote is often a long text."""
    if len(data) >= _SQUEEZE_FROM:
        packed = zlib.compress(data)
        if len(packed) <= len(data) - len(data) // 8:
            return packed, True
    return data, False


def _crc(name: str, checkpoint_id: str, task: str, idx: int, payload: bytes) -> int:
    place = f"{name}\x00{checkpoint_id}\x00{task}\x00{idx}\x00".encode("utf-8", "surrogatepass")
    return zlib.crc32(payload, zlib.crc32(place))


def seal(name: str, checkpoint_id: str, task: str, idx: int, payload: bytes) -> bytes:
    """`payload` behind a CRC32 of itself and of where it belongs, so a moved or damaged entry is refused."""
    return _crc(name, checkpoint_id, task, idx, payload).to_bytes(4, "big") + payload


def unseal(branch: Branch, checkpoint_id: str, task: str, idx: int, blob: bytes) -> bytes:
    payload = blob[4:]
    if len(blob) < 4 or _crc(branch.name, checkpoint_id, task, idx, payload) != int.from_bytes(
        blob[:4], "big"
    ):
        raise CorruptCheckpoint(
            branch.thread_id,
            branch.ns,
            checkpoint_id or None,
            f"pending write {task!r}/{idx} fails its checksum",
        )
    return payload

"""One state as bytes: a snapshot carried to another process, file or machine.

Layout: the magic b"DZSN", one format byte, the payload (the package codec's
encoding of [digest, state]), and a big-endian CRC32 of everything before it.
The state is namespace -> key -> value, as a keyframe holds it, and the
digest is checked again on import.
"""

from __future__ import annotations

import zlib
from typing import Any, cast

from .._core import Snapshot, Store, dumps, loads
from .errors import CorruptRecordError, FormatError
from .replay import entries_of, materialize, state_digest

MAGIC = b"DZSN"
BLOB_FORMAT = 1


def export_snapshot(snapshot: Snapshot) -> bytes:
    """The state of `snapshot` as bytes that `import_snapshot` turns back into a Snapshot."""
    if not isinstance(snapshot, Snapshot):
        raise TypeError(f"export_snapshot() takes a Snapshot, not {type(snapshot).__name__}")
    state = entries_of(snapshot, Store(max_history=0))
    head = MAGIC + bytes([BLOB_FORMAT]) + dumps(cast(Any, [state_digest(state), state]))
    return head + zlib.crc32(head).to_bytes(4, "big")


def import_snapshot(blob: bytes) -> Snapshot:
    """The Snapshot that `export_snapshot` wrote; a damaged blob raises CorruptRecordError."""
    if not isinstance(blob, (bytes, bytearray, memoryview)):
        raise TypeError(f"import_snapshot() takes bytes, not {type(blob).__name__}")
    blob = bytes(blob)
    if len(blob) < len(MAGIC) + 5 or not blob.startswith(MAGIC):
        raise CorruptRecordError(None, None, "not an exported snapshot")
    if zlib.crc32(blob[:-4]).to_bytes(4, "big") != blob[-4:]:
        raise CorruptRecordError(None, None, "checksum mismatch")
    if blob[len(MAGIC)] > BLOB_FORMAT:
        raise FormatError(blob[len(MAGIC)], BLOB_FORMAT, "exported snapshot")
    try:
        digest, state = loads(blob[len(MAGIC) + 1 : -4])
        if not isinstance(digest, int) or not isinstance(state, dict):
            raise ValueError("not a digest and a state")
        for namespace, entries in state.items():
            if (
                type(namespace) is not str
                or type(entries) is not dict
                or not all(type(k) is str for k in entries)
            ):
                raise ValueError("not namespaces of keyed entries")
        if state_digest(state) != digest:
            raise ValueError("state digest mismatch")
        return materialize(state)
    except (TypeError, ValueError, AttributeError) as exc:
        raise CorruptRecordError(None, None, f"undecodable state ({exc})") from None

"""One state as bytes: a snapshot carried to another process, file or machine.

Layout: the magic b"DZSN", one format byte, the payload (the package codec's
encoding of [digest, state]), and a big-endian CRC32 of everything before it.
The state is namespace -> key -> value, as a keyframe holds it, and the
digest is checked again on import.
"""

from __future__ import annotations

import sys
import zlib

from .._core import Snapshot, Store, dumps
from .._replay import load_keyframe, state_keyframe
from .errors import CorruptRecordError, FormatError

MAGIC = b"DZSN"
BLOB_FORMAT = 1
# The encoded digest's length by its first byte (the codec writes it as an integer).
_INT_LENGTH = {0xCC: 2, 0xCD: 3, 0xCE: 5, 0xCF: 9, 0xD0: 2, 0xD1: 3, 0xD2: 5, 0xD3: 9}


def export_snapshot(snapshot: Snapshot) -> bytes:
    """The state of `snapshot` as bytes that `import_snapshot` turns back into a Snapshot."""
    if not isinstance(snapshot, Snapshot):
        raise TypeError(f"export_snapshot() takes a Snapshot, not {type(snapshot).__name__}")
    # A keyframe of one chunk is [state, {}]: the state's encoding is between its first and last byte.
    body, digest = state_keyframe(snapshot, sys.maxsize, True)
    head = MAGIC + bytes([BLOB_FORMAT]) + b"\x92" + dumps(digest) + body[1:-1]
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
    payload = blob[len(MAGIC) + 1 : -4]
    first = payload[1] if len(payload) > 1 else None
    size = 1 if first is not None and (first < 0x80 or first >= 0xE0) else _INT_LENGTH.get(first or 0)
    if payload[:1] != b"\x92" or size is None or len(payload) < 1 + size:
        raise CorruptRecordError(None, None, "undecodable state (not a digest and a state)")
    digest = int.from_bytes(payload[2 : 1 + size], "big", signed=first is not None and first >= 0xD0)
    if size == 1 and first is not None:
        digest = first - 0x100 if first >= 0xE0 else first
    scratch = Store(max_history=0)
    # The state as a keyframe's body, [state, {}]: read, hashed and stored natively.
    held = load_keyframe(scratch, b"\x92" + payload[1 + size :] + b"\x80")
    if held is None:
        raise CorruptRecordError(None, None, "undecodable state (not namespaces of keyed entries)")
    if held != digest:
        raise CorruptRecordError(None, None, "undecodable state (state digest mismatch)")
    return scratch.snapshot()

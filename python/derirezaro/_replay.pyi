from typing import Any, TypeAlias

from ._core import Snapshot, Store

__all__ = [
    "header_fault",
    "record_fault",
    "record_checksums",
    "replay_chain",
    "load_keyframe",
    "namespace_dict",
    "snapshot_outside_history",
    "state_delta",
    "state_keyframe",
]

# (fault, seq, detail): derirezaro.persist.faults names each fault. The
# detail is the field found unreadable and its type (str), the removed pair
# that was absent ((namespace, key)), the format found too new (int), or None.
_Fault: TypeAlias = tuple[int, int | None, str | tuple[str, str] | int | None]

def header_fault(timeline: str, row: tuple[object, ...], newest_format: int) -> _Fault | None: ...
def record_fault(timeline: str, row: tuple[object, ...], newest_format: int) -> _Fault | None: ...
def record_checksums(
    timeline: str, header: tuple[object, ...], meta: bytes, body: bytes
) -> tuple[int, int]: ...
def replay_chain(
    store: Store,
    timeline: str,
    rows: list[Any],
    inflated: list[bytes | bytearray | None],
    digest: int,
    from_keyframe: bool,
    newest_format: int,
    each_step: bool,
) -> int | _Fault: ...
def load_keyframe(store: Store, body: bytes) -> int | None: ...
def namespace_dict(snapshot: Snapshot, namespace: str) -> dict[str, Any]: ...
def snapshot_outside_history(store: Store) -> Snapshot: ...
def state_delta(now: Snapshot, before: Snapshot, digest: int, chunk_entries: int) -> tuple[bytes, int]: ...
def state_keyframe(now: Snapshot, chunk_entries: int, with_digest: bool) -> tuple[bytes, int | None]: ...

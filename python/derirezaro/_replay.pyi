from ._core import Snapshot, Store

def header_holds(timeline: str, row: tuple[object, ...], newest_format: int) -> bool: ...
def record_checksums(
    timeline: str, header: tuple[object, ...], meta: bytes, body: bytes
) -> tuple[int, int] | None: ...
def replay_chain(
    store: Store,
    timeline: str,
    rows: list[tuple[object, ...]],
    inflated: list[bytes | None],
    digest: int,
    from_keyframe: bool,
    newest_format: int,
) -> int | None: ...
def state_delta(
    now: Snapshot, before: Snapshot, digest: int, max_entries: int
) -> tuple[bytes, int] | None: ...
def state_keyframe(
    now: Snapshot, chunk_entries: int, with_digest: bool
) -> tuple[bytes, int | None] | None: ...

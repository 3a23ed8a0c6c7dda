from ._core import Store

def replay_chain(
    store: Store,
    timeline: str,
    rows: list[tuple[object, ...]],
    inflated: list[bytes | None],
    digest: int,
    from_keyframe: bool,
    newest_format: int,
) -> int | None: ...

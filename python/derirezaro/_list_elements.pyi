from collections.abc import Callable
from typing import Any

__all__ = ["ends"]

def ends(
    value: list[Any],
    objects: list[Any],
    snapshots: list[Any],
    models: bool,
    unchanged: Callable[[Any, Any], bool],
) -> tuple[int, int]: ...

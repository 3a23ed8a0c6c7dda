from collections.abc import Callable
from typing import Any

__all__ = ["ends", "fields_index", "rebuilt"]

def ends(
    value: list[Any],
    objects: list[Any],
    snapshots: list[Any],
    models: bool,
    unchanged: Callable[[Any, Any], bool],
) -> tuple[int, int]: ...
def fields_index(state: tuple[type, dict[str, Any], Any, frozenset[Any], Any]) -> object: ...
def rebuilt(entries: list[Any]) -> list[Any]: ...

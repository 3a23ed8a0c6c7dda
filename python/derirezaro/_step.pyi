from collections.abc import Callable
from typing import Any

from ._core import Store

__all__ = ["apply_plain", "meta_fields"]

def meta_fields(checkpoint: dict[str, Any], metadata: Any) -> tuple[list[Any], bool]: ...
def apply_plain(
    store: Store,
    base: Any,
    checkpoint: Any,
    new_versions: Any,
    dumps_typed: Callable[[Any], tuple[str, Any]],
    state_class: Callable[..., Any],
) -> Any: ...

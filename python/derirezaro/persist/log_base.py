"""The face every log shows its users: `log.timeline(name, store)` and a `with` block.

It sits above both the `Log` protocol and the `Timeline` built on it, so
that the logs' storage code depends on the protocol alone.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any, TypeVar

from .._core import Store
from .log import Opening, composed_opening
from .timeline import DEFAULT_TUNING, Timeline, Tuning

_Self = TypeVar("_Self")


class LogBase:
    """What every log offers its users beyond the protocol: timelines by name, and a `with` block.

    A log subclasses this and implements `Log` (log.py); nothing here reads a
    log's internals, and a log's own code imports nothing of the timeline.
    """

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()  # type: ignore[attr-defined]

    def opening(self: Any, timeline: str, keys: Iterable[str] = ()) -> Opening:
        """`Log.opening` composed from the other reads; a log with a one-read form overrides it."""
        return composed_opening(self, timeline, keys)

    def timeline(
        self: Any,
        name: str,
        store: Store,
        *,
        keyframe_every: int = 256,
        cache_size: int = 64,
        tuning: Tuning | None = None,
    ) -> Timeline:
        """The timeline `name` in this log, for `store`: an existing one restores the store to its head."""
        return Timeline(
            self,
            name,
            store,
            keyframe_every=keyframe_every,
            cache_size=cache_size,
            tuning=DEFAULT_TUNING if tuning is None else tuning,
        )

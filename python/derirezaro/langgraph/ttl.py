"""A saver's `ttl` setting, in seconds or in the form LangGraph's TTL settings take.

    ttl=3600                                           seconds; reads leave it as it is
    ttl={"default_ttl": 60, "refresh_on_read": True}   minutes; reads refresh it

In the dict form, `refresh_on_read` is False unless given, so a read costs no
write unless asked for. LangGraph's other keys are accepted where they mean
what the log does anyway: `sweep_interval_minutes` (Redis expires a thread
itself, no sweep runs), `omit_expired` (an expired thread is gone, never
returned), `strategy` "delete" (an expired thread goes whole). A key of
another meaning, such as `strategy` "keep_latest", is refused: silently
deleting what the caller asked to keep would be the worst reading of it.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any, NamedTuple

from ..persist.redis_scripts import MAX_TTL_SECONDS

_ACCEPTED = "a number of seconds, None, or {'default_ttl': minutes, 'refresh_on_read': bool}"
_SECONDS = {"seconds": 1, "minutes": 60}
_KEYS = ("default_ttl", "refresh_on_read", "sweep_interval_minutes", "omit_expired", "strategy")


class TtlSetting(NamedTuple):
    seconds: float | None  # None: threads never expire
    refresh_on_read: bool


def ttl_setting(ttl: Any) -> TtlSetting:
    """`ttl` in either form as seconds and whether reads refresh it; TypeError or ValueError for another."""
    if ttl is None:
        return TtlSetting(None, False)
    if isinstance(ttl, Mapping):
        return _from_mapping(ttl)
    return TtlSetting(_positive(ttl, "ttl", "seconds"), False)


def _from_mapping(ttl: Mapping[Any, Any]) -> TtlSetting:
    unknown = [key for key in ttl if key not in _KEYS]
    if unknown:
        raise ValueError(f"ttl has unknown keys {unknown!r}: it accepts {', '.join(_KEYS)}")
    refresh = ttl.get("refresh_on_read", False)
    for flag in ("refresh_on_read", "omit_expired"):
        if type(ttl.get(flag, False)) is not bool:
            raise TypeError(f"ttl[{flag!r}] must be a bool, not {ttl[flag]!r}")
    strategy = ttl.get("strategy", "delete")
    if strategy != "delete":
        raise ValueError(
            f"ttl['strategy'] {strategy!r} is not supported: an idle thread expires whole ('delete')"
        )
    sweep = ttl.get("sweep_interval_minutes")
    if sweep is not None:
        _positive(sweep, "ttl['sweep_interval_minutes']", "minutes")
    minutes = ttl.get("default_ttl")
    if minutes is None:
        return TtlSetting(None, False)  # nothing expires, so a read has nothing to refresh
    return TtlSetting(_positive(minutes, "ttl['default_ttl']", "minutes") * 60, refresh)


def _positive(value: Any, name: str, unit: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(
            f"{name} must be {_ACCEPTED if name == 'ttl' else f'a number of {unit}'}, not {value!r}"
        )
    if not (value > 0 and math.isfinite(value)):
        raise ValueError(f"{name} must be a positive number of {unit}, not {value!r}")
    if value * _SECONDS[unit] > MAX_TTL_SECONDS:  # a log's ttl, in seconds, is bounded
        raise ValueError(f"{name} must be at most {MAX_TTL_SECONDS // _SECONDS[unit]} {unit}, not {value!r}")
    return float(value)

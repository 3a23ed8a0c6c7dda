"""When a refusal is worth a WARNING: once per place and kind in `REFUSAL_LOG_EVERY` seconds.

A full disk or a read-only server refuses every write of every thread; one
line says so and the repeats go to DEBUG. A log that cannot tell when the
place serves again (SQLite's file, a PostgreSQL server behind a pool) repeats
the warning by time instead.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Hashable

REFUSAL_LOG_EVERY = 60.0
_MOST_KEPT = 1024  # many places, each refused once: forgotten rather than kept growing

_warned: dict[Hashable, float] = {}  # key: when it was last logged at WARNING
_lock = threading.Lock()


def warn_now(key: Hashable) -> bool:
    """Whether a refusal of `key` (its place and kind) is logged at WARNING now; else at DEBUG."""
    now = time.monotonic()
    with _lock:
        last = _warned.get(key)
        if last is not None and now - last < REFUSAL_LOG_EVERY:
            return False
        if len(_warned) >= _MOST_KEPT:
            _warned.clear()
        _warned[key] = now
        return True

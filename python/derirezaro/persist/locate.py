"""A log named by one string, as a command line or a connection setting gives it.

- `redis://`, `rediss://` and `unix://` URLs: a `RedisLog` on one server;
  `redis+cluster://` and `rediss+cluster://`: on a Redis Cluster, any of whose
  nodes the URL names.
- `postgresql://` and `postgres://` URLs: a `PostgresLog` on that database.
- `sqlite:///path` or a plain path: a `SQLiteLog` on that file.
- `memory:`: a `MemoryLog` of this process, for tests.

A SQLite file that does not exist is created only when asked (`create=True`):
an operator who mistypes a path must not get an empty log that answers
"no timelines".
"""

from __future__ import annotations

import os
from typing import Any

from .errors import UnavailableError
from .log import Log

_REDIS_SCHEMES = ("redis://", "rediss://", "unix://", "redis+cluster://", "rediss+cluster://")
_POSTGRES_SCHEMES = ("postgresql://", "postgres://")


def is_redis(location: str) -> bool:
    """Whether `location` names a Redis server or cluster."""
    return location.startswith(_REDIS_SCHEMES)


def is_postgres(location: str) -> bool:
    """Whether `location` names a PostgreSQL database."""
    return location.startswith(_POSTGRES_SCHEMES)


def sqlite_path(location: str) -> str | None:
    """The file a SQLite `location` names, or None when it names another kind of log."""
    if is_redis(location) or is_postgres(location) or location == "memory:":
        return None
    if location.startswith("sqlite://"):
        # sqlite:///relative/path and sqlite:////abs/path, the form most tools write.
        path = location.removeprefix("sqlite://")
        return path.removeprefix("/")
    return location


def open_log(location: str, *, create: bool = False, **options: Any) -> Log:
    """The log `location` names; `options` go to its constructor (`durability=`, `prefix=`, ...).

    Raises `UnavailableError` for a SQLite file that does not exist unless
    `create`, and `ValueError` for a location of no known form.
    """
    if not isinstance(location, str) or not location:
        raise ValueError(f"a log location must be a non-empty str, not {location!r}")
    if location == "memory:":
        from .memory import MemoryLog

        return MemoryLog(**options)
    if is_redis(location):
        from .redis_log import RedisLog

        return RedisLog(location, **options)  # it makes the client: its timeouts, cluster or not
    if is_postgres(location):
        from .postgres import PostgresLog

        return PostgresLog(location, **options)  # it opens a pool of its own
    if "://" in location and not location.startswith("sqlite://"):
        raise ValueError(
            f"unknown log location {location!r}: a path, sqlite:///path, redis://, rediss://, "
            "redis+cluster://, postgresql:// or memory:"
        )
    path = sqlite_path(location)
    assert path is not None
    if path != ":memory:" and not create and not os.path.exists(path):
        raise UnavailableError(path, "no such file")
    from .sqlite import SQLiteLog

    return SQLiteLog(path, **options)

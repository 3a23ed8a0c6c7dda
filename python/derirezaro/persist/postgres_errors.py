"""PostgreSQL's errors in this package's terms: a refusal is `UnavailableError`, damage `CorruptRecordError`.

PostgreSQL classes its errors by SQLSTATE, whose first two characters are
the class. A server that is away, shutting down or whose connection broke
is `ConnectionLostError`; one that refuses the operation (a read-only
transaction or standby, a full disk, out of memory, too many connections,
a statement cancelled or timed out, a lock it would not wait for, a
permission it lacks) is `UnavailableError`, as nothing stored is known to be
damaged; damage the server found in its own files is `CorruptRecordError`.
Bad input (a number out of range, a name or key too long for an index) is `ValueError`.
"""

from __future__ import annotations

import logging

from .errors import ConnectionLostError, CorruptRecordError, PersistError, UnavailableError
from .refusal_log import warn_now

logger = logging.getLogger(__name__)

# SQLSTATE classes and codes, by what they mean to a caller.
_LOST_CLASSES = ("08",)  # connection exception
_LOST_CODES = ("57P01", "57P02", "57P03", "57P05")  # shutdowns, cannot connect now, idle session timeout
_REFUSED_CLASSES = (
    "53",
    "54",
    "55",
    "57",
    "58",
    "40",
    "HV",
)  # resources, limits, state, intervention, system
_REFUSED_CODES = ("25006", "42501", "25P03", "25P04")  # read-only, privilege, transaction timeouts
# Data corrupted, index corrupted; a file of a table gone from under the server (58P01; the rest of
# class 58, an I/O error, is a refusal).
_DAMAGE_CODES = ("XX001", "XX002", "58P01")
# Input past a limit of the server's (a name, id or key too long for its index): the same call
# is refused however often it is made, so it is bad input, not a server to wait for.
_TOO_LARGE_CODES = ("54000",)


def as_persist_error(exc: Exception, server: str, timeline: str | None) -> Exception:
    """What `exc`, raised by psycopg or its pool, is in this package's terms."""
    import psycopg

    code = getattr(exc, "sqlstate", None) or ""
    message = str(exc).strip() or type(exc).__name__
    error: Exception
    if isinstance(exc, PersistError):
        return exc
    if code in _DAMAGE_CODES:
        return CorruptRecordError(timeline, None, message, file=server)
    if code.startswith(_LOST_CLASSES) or code in _LOST_CODES:
        error = ConnectionLostError(server, f"connection lost: {message}", timeline)
    elif code.startswith("22") or code in _TOO_LARGE_CODES:
        return ValueError(f"{'' if timeline is None else f'timeline {timeline!r}: '}{message}")
    elif code.startswith(_REFUSED_CLASSES) or code in _REFUSED_CODES:
        error = UnavailableError(server, message, timeline)
    elif isinstance(exc, psycopg.DataError) and not code:  # refused before it was sent: bad input
        return ValueError(f"{'' if timeline is None else f'timeline {timeline!r}: '}{message}")
    elif _is_pool_error(exc):  # no connection free in time, or none to be made: the server may be away
        error = UnavailableError(server, message, timeline)
    elif isinstance(exc, (psycopg.OperationalError, psycopg.InterfaceError)):
        # No SQLSTATE: the client could not reach the server, or lost it mid-call.
        error = ConnectionLostError(server, f"connection lost: {message}", timeline)
    elif code == "42P01":  # a table of the log's is gone: what it held is not there to read
        return CorruptRecordError(timeline, None, f"a table of the log is missing ({message})", file=server)
    else:
        return exc
    # Once per server and kind of failure a minute at WARNING, as SQLite's and Redis's outages are:
    # a server away fails every call of every thread.
    if warn_now(("postgres", server, type(error), code)):
        logger.warning("PostgreSQL %s unavailable: %s", server, error)
    else:
        logger.debug("PostgreSQL %s still unavailable: %s", server, error)
    return error


def _is_pool_error(exc: Exception) -> bool:
    try:
        import psycopg_pool
    except ImportError:
        return False
    return isinstance(exc, psycopg_pool.PoolTimeout | psycopg_pool.TooManyRequests)

"""SQLite's errors in this package's terms: a refusal is `UnavailableError`, damage `CorruptRecordError`."""

from __future__ import annotations

import logging
import sqlite3

from .errors import CorruptRecordError, UnavailableError
from .refusal_log import warn_now

logger = logging.getLogger(__name__)

# SQLite's primary result codes (the low byte of an extended one) for a file
# that is away or refuses the operation, and for one that is damaged; with the
# messages that say the same, for an interpreter whose exceptions carry no code.
_REFUSALS = {
    3: "SQLITE_PERM",
    5: "SQLITE_BUSY",
    6: "SQLITE_LOCKED",
    7: "SQLITE_NOMEM",
    8: "SQLITE_READONLY",
    10: "SQLITE_IOERR",
    13: "SQLITE_FULL",
    14: "SQLITE_CANTOPEN",
    15: "SQLITE_PROTOCOL",
}
_DAMAGE = {11: "SQLITE_CORRUPT", 26: "SQLITE_NOTADB"}
_REFUSAL_TEXTS = (
    "disk is full",
    "readonly database",
    "unable to open",
    "disk i/o error",
    "is locked",
    "out of memory",
    "access permission denied",
)
_DAMAGE_TEXTS = ("malformed", "not a database")
# Input past the file's length limit (a record or an entry too big): the same call fails however
# often it is made, so it is bad input, not a file to wait for.
_TOO_BIG, _TOO_BIG_TEXT = 18, "too big"  # SQLITE_TOOBIG

_CAUSES = (  # what the operator can act on, by the words of SQLite's message
    ("is locked", "another connection held its lock past the busy timeout"),
    ("is full", "no space left for it"),
    ("readonly", "it, its directory or its file system is read-only"),
)


def raise_as_persist_error(exc: sqlite3.Error, path: str, timeline: str | None = None) -> None:
    """Raise what `exc` says in this package's terms, if it is a refusal or damage; else return.

    A refusal (full, read-only, unopenable, I/O error, busy past the timeout,
    out of memory) is `UnavailableError`: nothing stored is known to be
    damaged. Damage SQLite found in the file is `CorruptRecordError` naming the
    file (and `timeline`, the one the call was about). Input too big for the
    file is `ValueError`, naming both. Anything else is a fault of the call,
    which the caller re-raises.
    """
    code = getattr(exc, "sqlite_errorcode", None)
    message = str(exc)
    if code is not None:
        refused, damaged, too_big = code & 0xFF in _REFUSALS, code & 0xFF in _DAMAGE, code & 0xFF == _TOO_BIG
    else:
        lowered = message.lower()
        refused = any(text in lowered for text in _REFUSAL_TEXTS)
        damaged = any(text in lowered for text in _DAMAGE_TEXTS)
        too_big = _TOO_BIG_TEXT in lowered
    if too_big:
        about = "" if timeline is None else f"timeline {timeline!r} in "
        raise ValueError(f"{about}{path}: {message}") from exc
    if refused:
        _log_refusal(path, message, timeline)
        raise UnavailableError(path, message, timeline) from exc
    if damaged:
        raise CorruptRecordError(timeline, None, message, file=path) from exc


def _log_refusal(path: str, message: str, timeline: str | None) -> None:
    about = "" if timeline is None else f" (timeline {timeline!r})"
    lowered = message.lower()
    cause = next((f"; {cause}" for words, cause in _CAUSES if words in lowered), "")
    if warn_now(("sqlite", path, message)):
        logger.warning("SQLite file %s refused%s: %s%s", path, about, message, cause)
    else:
        logger.debug("SQLite file %s still refuses%s: %s", path, about, message)


def abandon(connection: sqlite3.Connection) -> None:
    """End the transaction an error left open, if SQLite has not: the error stays the one raised.

    SQLite rolls a transaction back itself on some errors (a full disk, an I/O
    error); a COMMIT or ROLLBACK after that fails, and raised from a `finally`
    it would replace the error that says what happened.
    """
    if connection.in_transaction:
        try:
            connection.execute("ROLLBACK")
        except sqlite3.Error:
            pass  # the error that brought us here is what the caller is told

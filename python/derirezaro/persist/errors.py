"""The exceptions of derirezaro.persist: each names the timeline and record it is about."""

from __future__ import annotations


class PersistError(Exception):
    """Base class of every error raised by derirezaro.persist."""


class ConflictError(PersistError):
    """Another writer moved the timeline's head first; nothing was written.

    `expected` is the head this writer built on, `actual` the head found
    (None for a timeline that no longer exists).
    """

    def __init__(self, timeline: str, expected: int | None, actual: int | None) -> None:
        found = (
            f"expected head {expected}, found {actual}"
            if expected != actual
            else f"head {actual} is not the record this writer built on, or its chain was pruned"
        )
        super().__init__(f"timeline {timeline!r}: {found}; nothing was written")
        self.timeline = timeline
        self.expected = expected
        self.actual = actual


class CorruptRecordError(PersistError):
    """Stored data is damaged: a record's bytes, its chain, the state it leads to, or the log itself.

    `timeline` and `seq` name where, when known: both are None for a damaged
    exported snapshot, and `seq` is None for damage not in one record (a
    voucher, a file). `file` names the file or server holding the damage
    when that is what the log can tell (a malformed SQLite file).
    """

    def __init__(self, timeline: str | None, seq: int | None, what: str, *, file: str | None = None) -> None:
        if timeline is None:
            where = "exported snapshot" if file is None else file
        else:
            where = f"timeline {timeline!r}" + ("" if seq is None else f", record {seq}")
            where += "" if file is None else f" in {file}"
        super().__init__(f"{where}: {what}")
        self.timeline = timeline
        self.seq = seq
        self.what = what
        self.file = file


class RecordNotFoundError(PersistError, KeyError):
    """The log holds no such record: never written, pruned, or its timeline dropped.

    A `KeyError` too, as lookups by a missing key have always raised.
    """

    def __init__(self, timeline: str, ref: int | str, why: str = "no such record") -> None:
        super().__init__(f"timeline {timeline!r}: record {ref!r}: {why}")
        self.timeline = timeline
        self.ref = ref

    def __str__(self) -> str:  # KeyError would quote the message
        return str(self.args[0])


class UnavailableError(PersistError):
    """The server or file is away or refused the operation; nothing stored is known to be damaged.

    `server` names where (a Redis address, a file path) and `reason` keeps what
    it said. The outcome of a write that raised this may be unknown: retrying
    the same commit is safe, as a retry recognises its own earlier success.
    """

    def __init__(self, server: str, reason: str, timeline: str | None = None) -> None:
        about = "" if timeline is None else f" (timeline {timeline!r})"
        super().__init__(f"{server}{about}: {reason}")
        self.server = server
        self.reason = reason
        self.timeline = timeline


class ConnectionLostError(UnavailableError, ConnectionError):
    """The connection to the server failed or timed out: also a builtin `ConnectionError`."""


class FormatError(PersistError):
    """A record, exported snapshot or schema was written by a newer version of the package."""

    def __init__(self, found: int, supported: int, where: str = "") -> None:
        prefix = f"{where}: " if where else ""
        super().__init__(
            f"{prefix}format version {found} is newer than this package supports ({supported}); "
            "upgrade derirezaro to read it"
        )
        self.found = found
        self.supported = supported

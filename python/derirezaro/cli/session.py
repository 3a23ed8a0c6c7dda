"""What every command shares: its exit statuses, the error that stops it with one, and the log it works on.

A command opens the log it is given and nothing else: a SQLite file must
exist and already hold a log (this package's tables), and a PostgreSQL
database the tables under the prefix, or the command stops before anything
is written to it. Opening a SQLite log gives a file without
its tables those tables, which an operator who mistyped a path or named
another program's database must not find done behind their back. Only the
commands that write a new timeline (`import`, `import-langgraph`, the target
of `copy`) create a log, in a new file or beside another program's tables.
"""

from __future__ import annotations

import os
import sqlite3
import urllib.parse
from typing import Any

from ..persist.errors import UnavailableError
from ..persist.locate import is_postgres, is_redis, open_log, sqlite_path
from ..persist.log import Log, TimelineHead
from ..persist.sqlite_schema import schema_of

# Exit statuses, as `derirezaro --help` lists them.
OK = 0
DAMAGE = 1  # stored data is damaged: `verify` found some, or a read met it
USAGE = 2  # the command line is wrong: an unknown command, a missing or malformed argument
UNAVAILABLE = 3  # the file or server is away or refused (missing file, server down, full disk)
NOT_FOUND = 4  # no such timeline or record
REFUSED = 5  # the log holds something that stops the write (a name taken, another writer first)
NEWER_FORMAT = 6  # written by a newer derirezaro: upgrade to read it
INTERRUPTED = 130  # Ctrl-C
CLOSED_OUTPUT = 141  # the reader of the output went away (`| head`), as a shell reports SIGPIPE
INTERNAL = 70  # a fault of this program: --debug shows where

EXIT_STATUSES = """exit statuses:
  0    done; for verify, every record checked is sound
  1    damage: verify found damaged records, or a read met one
  2    usage: an unknown command, a missing or malformed argument
  3    unavailable: the file or server is away or refused (no such file, server down, disk full)
  4    not found: no such timeline or record
  5    refused: the log holds something that stops the write (the name is taken, another writer was first)
  6    newer format: written by a newer derirezaro
  70   internal error (--debug shows the traceback)
  130  interrupted
  141  the output was closed before the command was done (as by | head)"""


class CommandError(Exception):
    """Stops a command with `status` and a one-line `message`."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


class Session:
    """The log a command line names, opened on first use and closed once at the end."""

    def __init__(self, location: str | None, prefix: str | None = None) -> None:
        self.location = location
        self.prefix = prefix
        self._logs: list[Log] = []

    def log(self, *, create: bool = False) -> Log:
        """The named log; one that does not exist yet is made only with `create`."""
        if self.location is None:
            raise CommandError(
                "no log named: give its location first (derirezaro LOCATION COMMAND ...), "
                "or --log, or set DERIREZARO_LOG",
                USAGE,
            )
        return self.open(self.location, create=create)

    def open(self, location: str, *, create: bool = False) -> Log:
        """The log at `location` (this session's, or the one `copy --to` names); closed with the session."""
        options: dict[str, Any] = {}
        postgres = is_postgres(location)
        if self.prefix is not None:
            if not (is_redis(location) or postgres):
                raise CommandError(
                    "--prefix names the keys of a Redis log or the tables of a PostgreSQL log: "
                    f"{location!r} has neither",
                    USAGE,
                )
            options["prefix"] = self.prefix
        if postgres and not create:
            options["setup"] = False  # tables are made only by a command that writes a new timeline
        known = location.startswith("sqlite://") or "://" not in location
        path = sqlite_path(location) if known else None  # another scheme: `open_log` names the known ones
        if path is not None and path != ":memory:":
            _check_file(path, create)
        # A SQLite location is opened by its path: `open_log` refuses every "://" it does not
        # know before it looks for "sqlite://".
        log = open_log(location if path is None else path, create=create, **options)
        self._logs.append(log)
        if postgres and not create:
            _check_tables(log)
        return log

    def close(self) -> None:
        for log in reversed(self._logs):
            log.close()
        self._logs.clear()


def vouched(log: Log, name: str) -> TimelineHead:
    """What `log` vouches for timeline `name`; stops with NOT_FOUND when it holds none."""
    head = log.head(name)
    if head is None:
        raise CommandError(f"no timeline {name!r} in this log", NOT_FOUND)
    return head


def _check_tables(log: Any) -> None:
    """Stop unless the PostgreSQL database holds a log under the prefix; bring older tables up to date.

    The check reads the catalog only: a mistyped database or prefix is left as it was.
    """
    if log.version() is None:
        raise UnavailableError(
            repr(log), f"holds no derirezaro log (no tables {log.prefix}_*; --prefix names them)"
        )
    log.setup()  # tables of this version: nothing written; of a newer one: FormatError


def _check_file(path: str, create: bool) -> None:
    """Stop unless the SQLite file at `path` holds a log, or (`create`) is new or another program's.

    Opens the file read-only and writes nothing. LangGraph's own checkpoint
    file is refused either way: given this package's tables beside its own,
    it would read as a log of no threads, while its threads are to be
    imported. A file SQLite cannot open so is left to the log, which reports
    it as unavailable or damaged.
    """
    if not os.path.exists(path):
        if create:
            return
        raise UnavailableError(path, "no such file")
    uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro"
    try:
        connection = sqlite3.connect(uri, uri=True)
    except sqlite3.Error:
        return
    try:
        if schema_of(connection, path) is not None:
            return
        tables = {
            name for (name,) in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table'")
        }
    except sqlite3.Error:
        return
    finally:
        connection.close()
    if {"checkpoints", "writes"} <= tables:
        raise UnavailableError(
            path,
            "holds LangGraph's own checkpoints, not a derirezaro log: copy them into one with "
            f"derirezaro NEW.db import-langgraph {path}",
        )
    if not create:
        raise UnavailableError(path, "holds no derirezaro log (none of its tables)")

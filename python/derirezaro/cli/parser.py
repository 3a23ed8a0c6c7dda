"""The command line's grammar, and what a failure prints: one line and an exit status, never a traceback.

    derirezaro [--debug] LOCATION COMMAND [ARGS]

LOCATION names the log (a SQLite path, sqlite:///path, redis://, rediss://,
redis+cluster://, memory:). It may come as `--log LOCATION` instead, or from
DERIREZARO_LOG when the command line names none: the first word that is not
an option and not a command is the location.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
from collections.abc import Sequence
from typing import Any, NoReturn

from .._core import __version__
from ..persist.errors import (
    ConflictError,
    CorruptRecordError,
    FormatError,
    PersistError,
    RecordNotFoundError,
    UnavailableError,
)
from . import log_commands, timeline_commands
from .session import (
    CLOSED_OUTPUT,
    DAMAGE,
    EXIT_STATUSES,
    INTERNAL,
    INTERRUPTED,
    NEWER_FORMAT,
    NOT_FOUND,
    REFUSED,
    UNAVAILABLE,
    USAGE,
    CommandError,
    Session,
)

PROGRAM = "derirezaro"
ENVIRONMENT = "DERIREZARO_LOG"
_VALUED = ("--log", "--prefix")  # the options before the command that take a value


class _Formatter(argparse.HelpFormatter):
    """Paragraphs wrapped to the terminal; text written in lines (the forms, the statuses) kept as it is."""

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        if "\n" in text:
            return "".join(indent + line for line in text.splitlines(keepends=True))
        return super()._fill_text(text, width, indent)


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line, pointing at the help of the command they are about."""

    def __init__(self, *args: Any, **options: Any) -> None:
        options.setdefault("formatter_class", _Formatter)
        super().__init__(*args, **options)
        self.command_names: set[str] = set()  # the top parser's commands, once they are added

    def error(self, message: str) -> NoReturn:
        hint = self.prog.replace(" LOCATION", "")
        self.exit(USAGE, f"{PROGRAM}: error: {message} (see: {hint} --help)\n")


def build_parser() -> _Parser:
    parser = _Parser(
        prog=PROGRAM,
        usage=f"{PROGRAM} [--debug] [--prefix PREFIX] LOCATION COMMAND [ARGS]",
        description=(
            "Inspect and operate derirezaro logs. LOCATION is a SQLite file (a path or sqlite:///path), "
            "a Redis server or cluster (redis://, rediss://, redis+cluster://), a PostgreSQL database "
            "(postgresql://), or memory:. "
            f"It may be given as --log LOCATION, or in {ENVIRONMENT}."
        ),
        epilog=EXIT_STATUSES,
    )
    parser.add_argument(
        "--log",
        metavar="LOCATION",
        help=f"the log, when not given first (default: ${ENVIRONMENT})",
    )
    parser.add_argument(
        "--prefix",
        dest="redis_prefix",
        help="the key prefix of a Redis log (default: dz), or the table prefix of a PostgreSQL log "
        "(default: derirezaro)",
    )
    parser.add_argument("--debug", action="store_true", help="on failure, a traceback; and the debug log")
    parser.add_argument("--version", action="version", version=f"{PROGRAM} {__version__}")
    # Options every command takes, so that they read the same after the command's name.
    common = _Parser(add_help=False)
    common.add_argument("--debug", action="store_true", default=argparse.SUPPRESS, help=argparse.SUPPRESS)
    commands = parser.add_subparsers(
        dest="command", metavar="COMMAND", parser_class=_Parser, prog=f"{PROGRAM} LOCATION"
    )
    commands.required = True
    log_commands.add_commands(commands, common)
    timeline_commands.add_commands(commands, common)
    parser.command_names = set(commands.choices)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run one command line; return its exit status."""
    parser = build_parser()
    words = list(sys.argv[1:] if argv is None else argv)
    try:
        args = parser.parse_args(_location_as_option(words, parser.command_names))
    except SystemExit as stop:  # --help, --version, or a usage error already printed
        return stop.code if isinstance(stop.code, int) else USAGE
    if args.debug:
        logging.basicConfig(level=logging.DEBUG, format="%(asctime)s %(name)s %(levelname)s %(message)s")
    session = Session(args.log or os.environ.get(ENVIRONMENT) or None, args.redis_prefix)
    try:
        return int(args.run(args, session))
    except BrokenPipeError:
        return CLOSED_OUTPUT  # whoever read the output has gone (`| head`): nothing to say to them
    except BaseException as exc:
        if args.debug and not isinstance(exc, KeyboardInterrupt):
            raise
        status, message = failure(exc)
        if status == INTERRUPTED:
            print(file=sys.stderr)
        print(f"{PROGRAM}: error: {' '.join(message.split())}", file=sys.stderr)  # one line, always
        return status
    finally:
        try:
            session.close()
        except Exception:
            pass  # the command's own outcome is what is reported
        _flush_quietly()


def failure(exc: BaseException) -> tuple[int, str]:
    """The exit status and one-line message for a command that raised `exc`, with the notes it carries.

    A note says what the failure left behind (a timeline half copied that
    could not be dropped): the operator must not lose it with the traceback.
    """
    status, message = _failure(exc)
    notes = [note for note in getattr(exc, "__notes__", ()) if isinstance(note, str)]
    return status, "; ".join([message, *notes])


def _failure(exc: BaseException) -> tuple[int, str]:
    if isinstance(exc, CommandError):
        return exc.status, str(exc)
    if isinstance(exc, CorruptRecordError) or _undecodable(exc):
        return DAMAGE, f"damaged: {exc}"
    if isinstance(exc, RecordNotFoundError):
        return NOT_FOUND, str(exc)
    if isinstance(exc, UnavailableError):
        return UNAVAILABLE, f"unavailable: {exc}"
    if isinstance(exc, FormatError):
        return NEWER_FORMAT, str(exc)
    if isinstance(exc, (ConflictError, PersistError)):
        return REFUSED, str(exc)
    if isinstance(exc, KeyboardInterrupt):
        return INTERRUPTED, "interrupted"
    if isinstance(exc, ImportError):
        return UNAVAILABLE, str(exc)
    if isinstance(exc, OSError):
        where = f"{exc.filename}: " if exc.filename else ""
        return UNAVAILABLE, f"{where}{exc.strerror or exc}"
    if isinstance(exc, ValueError):  # what the package raises for input it refuses
        return USAGE, str(exc)
    return INTERNAL, f"internal error, {type(exc).__name__}: {exc} (--debug shows where)"


def _undecodable(exc: BaseException) -> bool:
    """Whether `exc` is a stored LangGraph value its serde cannot load: damage, like a record's.

    Looked up only where the LangGraph module is loaded already, so the
    command line runs where LangGraph is not installed.
    """
    errors = sys.modules.get(f"{__name__.partition('.')[0]}.langgraph.errors")
    decode_error = getattr(errors, "CheckpointDecodeError", None)
    return decode_error is not None and isinstance(exc, decode_error)


def _location_as_option(words: list[str], commands: set[str]) -> list[str]:
    """`LOCATION COMMAND ...` as `--log LOCATION COMMAND ...`; words with no location as they are."""
    index = 0
    while index < len(words):
        word = words[index]
        if word in _VALUED:
            index += 2
        elif word.startswith("-"):
            index += 1
        elif word in commands:
            return words
        elif any(given == "--log" or given.startswith("--log=") for given in words[:index]):
            return words  # the word is then the command, and argparse says it is no command
        else:
            return [*words[:index], "--log", word, *words[index + 1 :]]
    return words


def _flush_quietly() -> None:
    """Flush stdout, and say nothing when whoever read it has gone (`| head`)."""
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        # Python flushes stdout again at exit and would print an error for the same pipe.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)

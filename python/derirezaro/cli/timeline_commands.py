"""The commands on one timeline: show, diff, prune, export, import, copy.

Reading a timeline opens it on a store of its own with no history: the
records are only read, and nothing is committed or pruned by a command that
only reads.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
from typing import Any, BinaryIO, cast

from .._core import Store
from ..persist.errors import RecordNotFoundError
from ..persist.log import Log
from ..persist.timeline import Timeline
from ..persist.transfer import copy_timeline, export_timeline, import_timeline
from ..persist.transfer_file import FileReader
from ..persist.view import ABSENT
from .output import VALUE_FORMS, amount, counted, json_value, record_json, write_json
from .session import NOT_FOUND, USAGE, CommandError, Session, vouched

LANGGRAPH_PREFIX = "lg/"  # the LangGraph saver's timelines: `langgraph.branch.timeline_name`


def add_commands(commands: Any, common: argparse.ArgumentParser) -> None:
    """Add this module's commands to the `commands` subparsers; `common` holds the options all share."""
    show = commands.add_parser(
        "show",
        parents=[common],
        help="a record's header and its state (or its change) as JSON",
        description="Print a record's header and the state at it, or its change from its parent, as JSON.",
        epilog=VALUE_FORMS,
    )
    show.add_argument("name", metavar="NAME", help="the timeline")
    show.add_argument(
        "ref", metavar="SEQ|ID", nargs="?", help="the record: its seq or id (default: the head)"
    )
    show.add_argument(
        "--change", action="store_true", help="the change from its parent (old and new values), not the state"
    )
    show.set_defaults(run=run_show)

    diff = commands.add_parser(
        "diff",
        parents=[common],
        help="what changed between two records, with old and new values",
        description=(
            "Print every key that differs between records A and B as JSON: namespace -> key -> "
            '{"old": value at A, "new": value at B}; a side where the key is absent is left out.'
        ),
        epilog=VALUE_FORMS,
    )
    diff.add_argument("name", metavar="NAME", help="the timeline")
    diff.add_argument("a", metavar="A", help="the older record: a seq or an id")
    diff.add_argument("b", metavar="B", help="the newer record: a seq or an id")
    diff.set_defaults(run=run_diff)

    prune = commands.add_parser(
        "prune",
        parents=[common],
        help="remove a timeline's old records, keeping the newest N",
        description=(
            "Remove a timeline's records older than its newest N, and print what went. The records "
            "the kept ones replay from (their keyframe) stay too, so more than N may remain. "
            "The file's space is reused by later writes; `vacuum` gives it back to the system."
        ),
    )
    prune.add_argument("name", metavar="NAME", help="the timeline")
    prune.add_argument("--keep", metavar="N", type=_positive, required=True, help="records to keep (>= 1)")
    prune.add_argument("--json", action="store_true", help="print what went as JSON")
    prune.set_defaults(run=run_prune)

    export = commands.add_parser(
        "export",
        parents=[common],
        help="write a timeline to a portable, checksummed file",
        description="Write timeline NAME to FILE ('-': standard output), every record or its head only.",
    )
    export.add_argument("name", metavar="NAME", help="the timeline")
    export.add_argument("file", metavar="FILE", help="the file to write ('-': standard output)")
    export.add_argument("--head-only", action="store_true", help="only the head's state, as one record")
    export.set_defaults(run=run_export)

    imported = commands.add_parser(
        "import",
        parents=[common],
        help="add a timeline from an exported file",
        description=(
            "Add the timeline FILE holds to the log, under its own name or another; the log is "
            "created if it does not exist. A name the log already holds is refused."
        ),
    )
    imported.add_argument("file", metavar="FILE", help="a file `export` wrote ('-': standard input)")
    imported.add_argument("--as", dest="as_name", metavar="NAME", help="the name to give it")
    imported.set_defaults(run=run_import)

    copy = commands.add_parser(
        "copy",
        parents=[common],
        help="copy a timeline to another log, or under another name",
        description=(
            "Copy timeline NAME into the log at LOCATION (created if it does not exist), under "
            "its own name or another. A name the target already holds is refused."
        ),
    )
    copy.add_argument("name", metavar="NAME", help="the timeline")
    copy.add_argument("--to", metavar="LOCATION", required=True, help="the target log (this one: --as)")
    copy.add_argument("--as", dest="as_name", metavar="NAME", help="the name to give the copy")
    copy.add_argument("--head-only", action="store_true", help="only the head's state, as one record")
    copy.set_defaults(run=run_copy)


def run_show(args: argparse.Namespace, session: Session) -> int:
    timeline = _open(session.log(), args.name)
    record = timeline.record(_ref(args.ref) if args.ref is not None else _head_seq(timeline))
    document: dict[str, Any] = {"timeline": args.name, "record": record_json(record)}
    if not args.change:
        document["state"] = _state_json(timeline.state(record.seq).to_dict())
    elif record.parent is None:  # the first record: everything in it is new
        state = timeline.state(record.seq).to_dict()
        document["change"] = _change_json(
            {ns: {key: (ABSENT, value) for key, value in keys.items()} for ns, keys in state.items()}
        )
    else:
        try:
            document["change"] = _change_json(timeline.changes(record.parent, record.seq))
        except RecordNotFoundError:
            raise CommandError(
                f"timeline {args.name!r}: record {record.seq}'s parent {record.parent} is pruned, "
                "so its change is not known; show its state instead",
                NOT_FOUND,
            ) from None
    write_json(document)
    return 0


def run_diff(args: argparse.Namespace, session: Session) -> int:
    timeline = _open(session.log(), args.name)
    older, newer = timeline.record(_ref(args.a)), timeline.record(_ref(args.b))
    write_json(
        {
            "timeline": args.name,
            "from": record_json(older),
            "to": record_json(newer),
            "changes": _change_json(timeline.changes(older.seq, newer.seq)),
        }
    )
    return 0


def run_prune(args: argparse.Namespace, session: Session) -> int:
    name = args.name
    if name.startswith(LANGGRAPH_PREFIX) and _langgraph_timeline(name):
        raise CommandError(
            f"timeline {name!r} holds a LangGraph thread: prune it with the saver "
            "(DerirezaroSaver.prune), which keeps the pending writes and the checkpoints "
            "its channels replay from",
            USAGE,
        )
    log = session.log()
    before = vouched(log, name)
    pruned = log.prune(name, args.keep, incarnation=before.incarnation)
    after = log.head(name)
    first, head = (after.first, after.seq) if after is not None else (None, None)
    if args.json:
        write_json(
            {"timeline": name, "records": pruned.records, "bytes": pruned.bytes, "first": first, "head": head}
        )
        return 0
    print(f"removed {counted(pruned.records, 'record')}, {amount(pruned.bytes)}, from {name!r}")
    if first is not None and head is not None:
        kept = head - first + 1
        why = f": the newest {args.keep} replay from record {first}" if kept > args.keep else ""
        print(f"kept {counted(kept, 'record')}, {first} to {head}{why}")
    return 0


def run_export(args: argparse.Namespace, session: Session) -> int:
    log = session.log()
    vouched(log, args.name)
    to_stdout = args.file == "-"
    if to_stdout and sys.stdout.isatty():
        raise CommandError("standard output is a terminal: name a file, or redirect it", USAGE)
    target = sys.stdout.buffer if to_stdout else args.file
    records = export_timeline(log, args.name, target, head_only=args.head_only)
    where = "standard output" if to_stdout else args.file
    told = sys.stderr if to_stdout else None
    print(f"exported {counted(records, 'record')} of {args.name!r} to {where}", file=told)
    return 0


def run_import(args: argparse.Namespace, session: Session) -> int:
    with contextlib.ExitStack() as stack:
        given = sys.stdin.buffer if args.file == "-" else stack.enter_context(open(args.file, "rb"))
        # The name the file holds is read first, for the refusal below; the import reads it again.
        replayed = _Replayed(given)
        source = cast(BinaryIO, replayed)
        _refuse_renamed_thread("import", FileReader(source, replayed.name).name, args.as_name)
        replayed.rewind()
        name, records = import_timeline(session.log(create=True), source, as_name=args.as_name)
    print(f"imported {counted(records, 'record')} as {name!r}")
    return 0


def run_copy(args: argparse.Namespace, session: Session) -> int:
    _refuse_renamed_thread("copy", args.name, args.as_name)
    source = session.log()
    vouched(source, args.name)
    target = session.open(args.to, create=True)
    records = copy_timeline(source, args.name, target, as_name=args.as_name, head_only=args.head_only)
    copied = counted(records, "record")
    print(f"copied {copied} of {args.name!r} to {args.to} as {args.as_name or args.name!r}")
    return 0


def _refuse_renamed_thread(command: str, name: str | None, as_name: str | None) -> None:
    """Stop before anything is written when a LangGraph thread's timeline would land under another name."""
    if name is None or as_name in (None, name):
        return
    if name.startswith(LANGGRAPH_PREFIX) and _langgraph_timeline(name):
        # Its pending writes are sealed with the thread's name: under another one they fail their checks.
        copy = "" if command == "copy" else "copy it "
        raise CommandError(
            f"timeline {name!r} holds a LangGraph thread: {command} it under its own name, or {copy}to "
            "another thread with the saver (DerirezaroSaver.copy_thread)",
            USAGE,
        )


class _Replayed:
    """A stream read once for a look at its start, then again from its start (standard input included).

    Only what the look read is held; the rest is read once, as it comes.
    """

    def __init__(self, stream: BinaryIO) -> None:
        self._stream = stream
        self.name = str(getattr(stream, "name", "standard input"))
        self._seen = bytearray()
        self._looking = True

    def rewind(self) -> None:
        self._looking = False

    def read(self, size: int = -1) -> bytes:
        if self._looking:
            data = self._stream.read(size)
            self._seen += data
            return data
        if self._seen and size != 0:
            data = bytes(self._seen if size < 0 else self._seen[:size])
            del self._seen[: len(data)]
            return data  # a short read: readers ask again for the rest
        return self._stream.read(size)


def _open(log: Log, name: str) -> Timeline:
    """Timeline `name`, opened to read: its store keeps no history, and nothing is written."""
    vouched(log, name)
    return Timeline(log, name, Store(max_history=0))


def _ref(text: str) -> int | str:
    """A record named on the command line: digits are its seq (a chosen id is never decimal), else its id."""
    return int(text) if text.isascii() and text.isdecimal() else text


def _head_seq(timeline: Timeline) -> int:
    head = timeline.head
    if head is None:  # dropped since it was opened
        raise CommandError(f"no timeline {timeline.name!r} in this log", NOT_FOUND)
    return head.seq


def _langgraph_timeline(name: str) -> bool:
    """Whether `name` is a LangGraph saver's timeline; taken as one when LangGraph is not installed here."""
    try:
        from ..langgraph.branch import parse_name
    except ImportError:
        return True  # the saver's prefix, and no way to read the rest: leave it to the saver
    return parse_name(name) is not None


def _state_json(state: dict[str, dict[str, Any]]) -> dict[str, dict[str, Any]]:
    return {
        ns: {key: json_value(value) for key, value in sorted(keys.items())}
        for ns, keys in sorted(state.items())
    }


def _change_json(changes: dict[str, dict[str, tuple[Any, Any]]]) -> dict[str, dict[str, dict[str, Any]]]:
    """namespace -> key -> {"old": ..., "new": ...}; a side where the key is absent is left out."""
    document: dict[str, dict[str, dict[str, Any]]] = {}
    for ns, keys in sorted(changes.items()):
        entries = document.setdefault(ns, {})
        for key, (old, new) in sorted(keys.items()):
            entry = entries.setdefault(key, {})
            if old is not ABSENT:
                entry["old"] = json_value(old)
            if new is not ABSENT:
                entry["new"] = json_value(new)
    return document


def _positive(text: str) -> int:
    if not text.isdecimal() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number of at least 1, not {text!r}")
    return int(text)

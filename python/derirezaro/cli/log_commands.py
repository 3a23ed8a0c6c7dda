"""The commands over a whole log: ls, verify, stats, vacuum, import-langgraph.

Each goes through the log's timelines one at a time, holding one timeline's
headers at most, so its memory stays flat however many timelines the log
holds; the list of names is the one thing held whole (a name costs a few
dozen bytes, and the log lists them as one sorted range).
"""

from __future__ import annotations

import argparse
import json
import os
import sqlite3
import sys
import urllib.parse
from collections.abc import Iterator
from typing import Any, NamedTuple

from ..persist.errors import CorruptRecordError
from ..persist.locate import is_redis, sqlite_path
from ..persist.log import Log
from ..persist.verify import verify_timeline
from .output import Progress, amount, counted, row, size, when, write_json
from .session import DAMAGE, OK, USAGE, CommandError, Session, vouched
from .timeline_commands import LANGGRAPH_PREFIX

_PAGE = 256  # headers read per query
_WIDTHS = (8, 8, 10, 20)  # HEAD, RECORDS, BYTES, LAST COMMIT: the name follows, as long as it is


class Summary(NamedTuple):
    """What `ls` says of one timeline."""

    head: int  # the newest record's seq
    records: int  # records kept: from the oldest kept to the head
    bytes: int  # their bodies' bytes
    last: float | None  # the head's commit time


def add_commands(commands: Any, common: argparse.ArgumentParser) -> None:
    """Add this module's commands to the `commands` subparsers; `common` holds the options all share."""
    ls = commands.add_parser(
        "ls",
        parents=[common],
        help="list timelines (or LangGraph threads): head, records, bytes, last commit",
        description=(
            "List the timelines whose names start with PREFIX: the head's seq, the records kept, "
            "their bytes and the time of the last commit (UTC). With --langgraph, the LangGraph "
            "saver's threads and namespaces instead, PREFIX matching thread ids."
        ),
    )
    ls.add_argument("prefix", metavar="PREFIX", nargs="?", default="", help="list only names starting so")
    ls.add_argument("--langgraph", action="store_true", help="list LangGraph threads and their namespaces")
    ls.add_argument("--json", action="store_true", help="a JSON array, one object per timeline")
    ls.set_defaults(run=run_ls)

    verify = commands.add_parser(
        "verify",
        parents=[common],
        help="check every record, chain and state digest; exit 1 on damage",
        description=(
            "Check every stored record of one timeline, or of every timeline (whose names start with "
            "--prefix): checksums, chains and the digest of every state. Prints each damaged record; "
            "exit status 1 when any is. A progress bar is drawn on standard error when it is a terminal."
        ),
    )
    verify.add_argument("name", metavar="NAME", nargs="?", help="the one timeline to check (default: all)")
    verify.add_argument("--prefix", dest="name_prefix", default="", help="check the timelines named so")
    verify.add_argument("--json", action="store_true", help="print the outcome as one JSON document")
    verify.set_defaults(run=run_verify)

    stats = commands.add_parser(
        "stats",
        parents=[common],
        help="timelines, records, bytes, and the file's size or the server's memory",
        description="Count the log's timelines, records and bytes; show its file or its server's memory.",
    )
    stats.add_argument("--json", action="store_true", help="print them as JSON")
    stats.set_defaults(run=run_stats)

    vacuum = commands.add_parser(
        "vacuum",
        parents=[common],
        help="give the space of removed records back to the system (SQLite)",
        description=(
            "Give a SQLite file's free pages (left by prunes and drops) back to the operating system. "
            "Redis frees memory as keys go: there it does nothing."
        ),
    )
    vacuum.set_defaults(run=run_vacuum)

    lg = commands.add_parser(
        "import-langgraph",
        parents=[common],
        help="copy LangGraph's own checkpoints into this log",
        description=(
            "Copy every thread, namespace, checkpoint and pending write of one of LangGraph's own "
            "checkpointers into this log (created if it does not exist), as DerirezaroSaver keeps "
            "them. Run again, it copies only what is not there yet."
        ),
    )
    lg.add_argument(
        "source", metavar="SOURCE", help="LangGraph's SQLite checkpointer file, or a postgresql:// URL"
    )
    lg.add_argument(
        "target", metavar="TARGET", nargs="?", help="the log to copy into, when not given first as LOCATION"
    )
    lg.set_defaults(run=run_import_langgraph)


def summarize(log: Log, name: str) -> Summary | None:
    """What `ls` says of timeline `name`, or None once it is gone; its headers read a page at a time."""
    head = log.head(name)
    if head is None:
        return None
    total, last, before = 0, None, head.seq + 1
    while True:
        page = log.headers(name, limit=_PAGE, before=before)
        if last is None and page and page[0].seq == head.seq:
            last = page[0].timestamp
        total += sum(header.body_size for header in page if header.seq >= head.first)
        if len(page) < _PAGE or page[-1].seq <= head.first:
            return Summary(head.seq, head.seq - head.first + 1, total, last)
        before = page[-1].seq


def run_ls(args: argparse.Namespace, session: Session) -> int:
    log = session.log()
    listed = list(_listed(log, args.prefix, args.langgraph))  # names only; read before anything is printed
    status, written = OK, 0
    if args.json:
        print("[", end="")
    else:
        last = "THREAD  NAMESPACE" if args.langgraph else "NAME"
        row(["HEAD", "RECORDS", "BYTES", "LAST COMMIT", last], _WIDTHS)
    for name, about in listed:
        document: dict[str, Any]
        try:
            summary = summarize(log, name)
        except CorruptRecordError as error:
            status = DAMAGE
            if not args.json:
                print(f"{'damaged':>8}  {error}  {_label(name, about)}")
                continue
            document = {**about, "damaged": str(error)}
        else:
            if summary is None:
                continue  # dropped since it was listed
            if not args.json:
                cells = [summary.head, summary.records, size(summary.bytes), when(summary.last)]
                row([*cells, _label(name, about)], _WIDTHS)
                continue
            document = {**about, **summary._asdict(), "last": when(summary.last, precise=True)}
        # One element a line, written as it is summed up: no two summaries are held at once.
        print("\n  " if not written else ",\n  ", json.dumps(document, ensure_ascii=False), sep="", end="")
        written += 1
    if args.json:
        print("\n]" if written else "]")
    return status


def _listed(log: Log, prefix: str, langgraph: bool) -> Iterator[tuple[str, dict[str, str]]]:
    """(timeline name, what identifies it in a listing) for each timeline `ls` lists."""
    if not langgraph:
        for name in log.timelines(prefix):
            yield name, {"name": name}
        return
    from ..langgraph.branch import parse_name

    for name in log.timelines(LANGGRAPH_PREFIX):
        parsed = parse_name(name)
        if parsed is not None and parsed[0].startswith(prefix):
            yield name, {"thread_id": parsed[0], "checkpoint_ns": parsed[1], "timeline": name}


def _label(name: str, about: dict[str, str]) -> str:
    if "thread_id" not in about:
        return name
    ns = about["checkpoint_ns"]
    return about["thread_id"] if not ns else f"{about['thread_id']}  {ns}"


def run_verify(args: argparse.Namespace, session: Session) -> int:
    log = session.log()
    if args.name is not None:
        vouched(log, args.name)
        names = [args.name]
    else:
        names = log.timelines(args.name_prefix)
    progress = Progress("timelines", len(names), enabled=None if not args.json else False)
    damaged: list[CorruptRecordError] = []
    damaged_timelines = records = 0
    for done, name in enumerate(names, 1):
        try:
            head = log.head(name)
            records += 0 if head is None else head.seq - head.first + 1
        except CorruptRecordError:
            pass  # verify_timeline reports it, with the rest of what is wrong
        problems = verify_timeline(log, name)
        if problems:
            damaged_timelines += 1
            progress.clear()
            for problem in problems:
                if args.json:
                    damaged.append(problem)
                else:
                    print(f"damaged: {problem}", flush=True)
        progress.update(done, f", {records} records")
    progress.clear()
    if args.json:
        write_json(
            {
                "timelines": len(names),
                "records": records,
                "sound": not damaged,
                "damaged": [{"timeline": e.timeline, "seq": e.seq, "what": e.what} for e in damaged],
            }
        )
        return DAMAGE if damaged_timelines else OK
    checked = f"{counted(len(names), 'timeline')}, {counted(records, 'record')}"
    if damaged_timelines:
        print(f"verified {checked}: damage in {damaged_timelines} of them")
    else:
        print(f"verified {checked}: sound")
    return DAMAGE if damaged_timelines else OK


def run_stats(args: argparse.Namespace, session: Session) -> int:
    log = session.log()
    names = log.timelines()
    progress = Progress("timelines", len(names), enabled=None if not args.json else False)
    timelines = records = total = 0
    for done, name in enumerate(names, 1):
        summary = summarize(log, name)
        if summary is not None:
            timelines, records, total = timelines + 1, records + summary.records, total + summary.bytes
        progress.update(done)
    progress.clear()
    assert session.location is not None
    storage = _storage(log, session.location)
    if args.json:
        write_json({"timelines": timelines, "records": records, "bytes": total, **storage})
        return OK
    print(f"timelines  {timelines}")
    print(f"records    {records}")
    print(f"bytes      {amount(total)} in the records' bodies")
    if "file" in storage:
        file = storage["file"]
        print(f"file       {amount(file['bytes'])} with its write-ahead log")
        print(f"free       {amount(file['free_bytes'])} in free pages (vacuum gives them back)")
    if "server" in storage and "unknown" in storage["server"]:
        print(f"memory     not known: {storage['server']['unknown']}")
    elif "server" in storage:
        server = storage["server"]
        limit = server["maxmemory"]
        print(f"memory     {amount(server['used_memory'])} used by the whole server")
        print(f"maxmemory  {amount(limit) if limit else 'none'}")
        print(f"policy     {server['maxmemory_policy']}")
    return OK


def _storage(log: Log, location: str) -> dict[str, Any]:
    """The file's size and free space (SQLite) or the server's memory (Redis), as `stats` shows them."""
    path = sqlite_path(location)
    if path is not None and path != ":memory:":
        wal = path + "-wal"
        taken = os.path.getsize(path) + (os.path.getsize(wal) if os.path.exists(wal) else 0)
        uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro"
        connection = sqlite3.connect(uri, uri=True)
        try:
            (pages,) = connection.execute("PRAGMA freelist_count").fetchone()
            (page_size,) = connection.execute("PRAGMA page_size").fetchone()
        finally:
            connection.close()
        return {"file": {"path": path, "bytes": taken, "free_bytes": pages * page_size}}
    if is_redis(location):
        import redis

        try:  # the log's own client: it has the URL's settings and, on a cluster, every node
            info = log._client.info("memory")  # type: ignore[attr-defined]
        except redis.RedisError as exc:  # INFO refused (an ACL): the counts above still stand
            return {"server": {"unknown": str(exc)}}
        nodes = [info] if "used_memory" in info else list(info.values())  # a cluster: one per node
        return {
            "server": {
                "used_memory": sum(int(node["used_memory"]) for node in nodes),
                "maxmemory": sum(int(node.get("maxmemory", 0)) for node in nodes),
                "maxmemory_policy": nodes[0].get("maxmemory_policy", "unknown") if nodes else "unknown",
            }
        }
    return {}


def run_vacuum(args: argparse.Namespace, session: Session) -> int:
    log = session.log()
    vacuum = getattr(log, "vacuum", None)
    freed = vacuum() if vacuum is not None else 0
    if freed == 0 and session.location is not None and is_redis(session.location):
        print("nothing to give back: Redis frees a record's memory as it removes it")
    else:
        print(f"gave back {amount(freed)} to the operating system")
    return OK


def run_import_langgraph(args: argparse.Namespace, session: Session) -> int:
    from ..langgraph import DerirezaroSaver, import_langgraph
    from ..langgraph.import_sources import check_source

    if args.target is not None and args.log is not None and args.target != args.log:
        raise CommandError(f"two logs named to import into: {args.log} and {args.target}", USAGE)
    check_source(args.source)  # first: a mistyped or unreadable source leaves no new log behind
    log = session.log(create=True) if args.target is None else session.open(args.target, create=True)
    progress = Progress("threads", 0)

    def advance(done: int, total: int) -> None:
        progress.total = total
        progress.update(done)

    try:
        report = import_langgraph(args.source, DerirezaroSaver(log), progress=advance)
    finally:
        progress.clear()
    print(
        f"imported {report.threads} threads, {report.checkpoints} checkpoints, {report.writes} writes; "
        f"{report.skipped} checkpoints were there already"
    )
    if report.left_out:
        print(
            f"left out {counted(report.left_out, 'older checkpoint')} that the target no longer holds "
            "(pruned, deleted or expired there): landed again, they would become the newest"
        )
    for unrevivable in report.unrevivable:
        print(f"kept as stored, not revivable here: {unrevivable}", file=sys.stderr)
    return OK

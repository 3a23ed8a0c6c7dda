"""`import_langgraph`: every thread of another LangGraph saver, copied into a `DerirezaroSaver`.

Every namespace of every thread, each checkpoint with its metadata and
pending writes, parents before children, so forks stay forks and the thread's
newest checkpoint lands last. A checkpoint lands with its pending writes in
one append, so an import stopped anywhere leaves each checkpoint whole or
absent; a second run reads what the target holds, thread by thread, and lands
what is missing: the checkpoints, and the writes the source has gained since.
Run twice, it copies nothing twice. What the target held once and no longer
lists (pruned, deleted for a run, expired) is not put back: landed again, an
old checkpoint would be the thread's newest.

Values are copied as stored, never revived (`kept_values`): a type the
importing process cannot revive keeps its bytes and is reported in
`ImportReport.unrevivable`, for the application, which can, to read.
"""

from __future__ import annotations

import dataclasses
import heapq
import os
from collections import defaultdict
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any, NamedTuple

from langgraph.checkpoint.base import BaseCheckpointSaver

from . import meta as meta_format
from .branch import Branch
from .import_records import Outlined, Source, Write
from .import_sources import opened
from .kept_values import KeptValues
from .marks import MARK_TASK
from .naming import NamedDamage
from .pending import entry

if TYPE_CHECKING:
    from .saver import DerirezaroSaver

Progress = Callable[[int, int], None]  # (threads done, threads in the source), after each thread


class Unrevivable(NamedTuple):
    """A checkpoint copied with values of types the importing process could not revive."""

    thread_id: str
    checkpoint_ns: str
    checkpoint_id: str
    types: tuple[str, ...]

    def __str__(self) -> str:
        where = f"thread {self.thread_id!r}"
        if self.checkpoint_ns:
            where += f", namespace {self.checkpoint_ns!r}"
        return f"{where}, checkpoint {self.checkpoint_id!r}: {', '.join(self.types)}"


@dataclasses.dataclass
class ImportReport:
    """What an import copied: threads it wrote to, checkpoints and pending writes it landed,
    `skipped`, the checkpoints the target held already (from an earlier run), and `left_out`,
    those older than one it holds that it no longer lists (pruned, deleted or expired there)."""

    threads: int = 0
    checkpoints: int = 0
    writes: int = 0
    skipped: int = 0
    left_out: int = 0
    unrevivable: list[Unrevivable] = dataclasses.field(default_factory=list)


def import_langgraph(
    source: str | os.PathLike[str] | BaseCheckpointSaver,
    target: DerirezaroSaver,
    *,
    progress: Progress | None = None,
) -> ImportReport:
    """Copy every thread of `source` into `target`, resumably; return the counts.

    `source`: the path of a file of LangGraph's SQLite checkpointer (opened
    read-only), a `postgresql://` URL (with psycopg and
    langgraph-checkpoint-postgres installed), or any LangGraph saver.
    `target`'s serde is the one the values are judged by. `progress(done,
    total)` is called after each thread.
    """
    from .saver import DerirezaroSaver

    if not isinstance(target, DerirezaroSaver):
        raise TypeError(f"the target of an import is a DerirezaroSaver, not {target!r}")
    values = KeptValues(target.serde)
    writer = DerirezaroSaver(target.log, serde=values)  # shares the log, never closes it
    report = ImportReport()
    with opened(source, values) as reader:
        threads = reader.threads()
        for done, thread_id in enumerate(threads, 1):
            if _import_thread(reader, writer, values, thread_id, report):
                report.threads += 1
            if progress is not None:
                progress(done, len(threads))
    return report


def _import_thread(
    reader: Source, writer: DerirezaroSaver, values: KeptValues, thread_id: str, report: ImportReport
) -> bool:
    """Land what `target` lacks of one thread; whether anything was written."""
    namespaces: dict[str, list[Outlined]] = defaultdict(list)
    for outlined in reader.outline(thread_id):
        namespaces[outlined.checkpoint_ns].append(outlined)
    wrote = False
    for ns, outline in sorted(namespaces.items()):
        branch = writer._branch(thread_id, ns)
        held = _held(writer, branch)
        order = list(_parents_first(outline))
        # Every run lands in this order, one checkpoint whole at a time, so an earlier run that
        # stopped left a prefix of it, and what the source gained since sorts after (ids grow
        # with time): one missing before the last the target holds was landed and is gone from
        # the target since. The order, not the ids, tells: an id need not be above its parent's.
        last = max((at for at, (checkpoint_id, _) in enumerate(order) if checkpoint_id in held), default=-1)
        for at, (checkpoint_id, parent_id) in enumerate(order):
            if type(checkpoint_id) is not str or not checkpoint_id:
                raise ValueError(f"thread {thread_id!r}: the source has a checkpoint id {checkpoint_id!r}")
            if checkpoint_id in held:
                report.skipped += 1
                wrote |= _complete_writes(reader, writer, values, branch, checkpoint_id, held, report)
                continue
            if at < last:
                report.left_out += 1
                continue
            copied = reader.checkpoint(thread_id, ns, checkpoint_id)
            if copied is None:
                continue  # gone from the source since its outline was read
            _note(report, branch, checkpoint_id, copied.unrevivable)
            meta = meta_format.encode(copied.checkpoint, copied.metadata, values.dumps_typed)
            entries = [_entry(branch, checkpoint_id, write) for write in copied.writes]
            orphan = parent_id is not None and parent_id not in held
            checkpoint: Any = copied.checkpoint  # as stored: its values kept, not revived
            writer._put_copied(branch, checkpoint_id, parent_id, checkpoint, meta, entries, orphan)
            held[checkpoint_id] = {(write.task_id, write.idx) for write in copied.writes}
            report.checkpoints += 1
            report.writes += len(entries)
            wrote = True
    return wrote


def _held(writer: DerirezaroSaver, branch: Branch) -> dict[str, set[tuple[str, int]]]:
    """The checkpoints the target lists in this namespace, each with the (task, idx) of its writes."""

    def read() -> dict[str, set[tuple[str, int]]]:
        incarnation = branch.incarnation
        held = {
            checkpoint_id: {(task, idx) for task, idx, _ in found.get(checkpoint_id, []) if task != MARK_TASK}
            for page, found in writer._pages(branch, incarnation, None)
            for _, checkpoint_id in page
        }
        if held:
            branch.vouch(incarnation)
        return held

    with NamedDamage(writer.log, branch.thread_id, branch.ns, None):
        return writer._afresh(branch, read)


def _complete_writes(
    reader: Source,
    writer: DerirezaroSaver,
    values: KeptValues,
    branch: Branch,
    checkpoint_id: str,
    held: dict[str, set[tuple[str, int]]],
    report: ImportReport,
) -> bool:
    """Attach the source's writes of a checkpoint the target holds that the target lacks (the
    attachment rule keeps a write stored twice once)."""
    have = held[checkpoint_id]
    missing = [
        write
        for write in reader.writes(branch.thread_id, branch.ns, checkpoint_id)
        if (write.task_id, write.idx) not in have
    ]
    if not missing:
        return False
    for write in missing:
        values.judge(write.value)
    _note(report, branch, checkpoint_id, values.take())
    writer.log.attach(branch.name, checkpoint_id, [_entry(branch, checkpoint_id, write) for write in missing])
    have.update((write.task_id, write.idx) for write in missing)
    report.writes += len(missing)
    return True


def _entry(branch: Branch, checkpoint_id: str, write: Write) -> Any:
    return entry(
        branch.name, checkpoint_id, write.task_id, write.idx, write.channel, write.value, write.task_path
    )


def _note(report: ImportReport, branch: Branch, checkpoint_id: str, types: list[str]) -> None:
    if types:
        report.unrevivable.append(Unrevivable(branch.thread_id, branch.ns, checkpoint_id, tuple(types)))


def _parents_first(outline: list[Outlined]) -> Iterator[tuple[str, str | None]]:
    """(id, parent) of each checkpoint, every parent before its children, ids ascending otherwise.

    LangGraph's ids grow with time, so the newest checkpoint comes last and
    is the target's newest too. A parent the outline lacks (pruned) makes a
    root; so does a cycle, which only damage makes, broken at its smallest id.
    """
    ids = {outlined.checkpoint_id for outlined in outline}
    children: dict[str, list[Outlined]] = defaultdict(list)
    waiting: list[tuple[str, str | None]] = []
    for outlined in outline:
        if outlined.parent_id in ids and outlined.parent_id != outlined.checkpoint_id:
            children[outlined.parent_id].append(outlined)
        else:
            waiting.append((outlined.checkpoint_id, outlined.parent_id))
    heapq.heapify(waiting)
    done: set[str] = set()
    while len(done) < len(ids):
        if not waiting:  # a cycle: its smallest id goes first
            first = min(o for o in outline if o.checkpoint_id not in done)
            waiting.append((first.checkpoint_id, first.parent_id))
        checkpoint_id, parent_id = heapq.heappop(waiting)
        if checkpoint_id in done:
            continue
        done.add(checkpoint_id)
        yield checkpoint_id, parent_id
        for child in children.pop(checkpoint_id, ()):
            heapq.heappush(waiting, (child.checkpoint_id, child.parent_id))

"""Damage the log finds, reported as the checkpoint's: naming the thread, namespace and checkpoint id."""

from __future__ import annotations

from typing import Any

from ..persist.errors import CorruptRecordError
from ..persist.record import check_header
from ..persist.record import public as public_record
from . import meta as meta_format
from .branch import timeline_name
from .errors import CorruptCheckpoint


def named(
    log: Any, exc: CorruptRecordError, thread_id: str, ns: str, checkpoint_id: str | None
) -> CorruptCheckpoint:
    """`exc` as the checkpoint's damage; where no id is given, the one the damaged record's header says."""
    if checkpoint_id is None and exc.seq is not None:
        checkpoint_id = _id_at(log, timeline_name(thread_id, ns), exc.seq)
    return CorruptCheckpoint(thread_id, ns, checkpoint_id, exc.what)


def _id_at(log: Any, name: str, seq: int) -> str | None:
    """The checkpoint id of a damaged record, if its header still says it."""
    try:
        rows = log.headers(name, limit=1, before=seq + 1)
        if not rows or rows[0].seq != seq:
            return None
        check_header(name, rows[0])
        return meta_format.checkpoint_id(public_record(rows[0], name))
    except (CorruptRecordError, ValueError):
        return None  # the header is damaged too: the error names the thread alone


class NamedDamage:
    """A block whose damage is reported as the checkpoint's (`named`)."""

    __slots__ = ("log", "where")

    def __init__(self, log: Any, thread_id: str, ns: str, checkpoint_id: str | None) -> None:
        self.log, self.where = log, (thread_id, ns, checkpoint_id)

    def __enter__(self) -> None:
        return None

    def __exit__(self, kind: Any, exc: Any, tb: Any) -> None:
        if isinstance(exc, CorruptRecordError) and not isinstance(exc, CorruptCheckpoint):
            raise named(self.log, exc, *self.where) from exc

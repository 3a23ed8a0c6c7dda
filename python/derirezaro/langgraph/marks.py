"""Marks: which record holds a checkpoint, kept beside its pending writes in the log's attachments.

A checkpoint is the record committed under its id, unless a mark under the id
names another record: a re-put of an id the timeline holds, or an id the log
cannot index (a decimal number), is committed under a fresh alias, and the
mark naming the alias goes in the same append as the record, so no reader
sees one without the other. A mark naming no record (`DELETED`) hides the
checkpoint. Under `FLOOR`, a key no checkpoint has, the floor mark says below
which seq a timeline's records are no longer checkpoints: a prune keeps the
records that the kept checkpoints replay from, and hides them by the floor.

A mark is an attachment entry under a reserved task and a negative index, so
each replaces the one before it. It holds the record id, or for the floor
the seq; the marks that housekeeping writes (the floor, `DELETED`) hold
`[incarnation, value]`, the incarnation of the timeline it read. Housekeeping
writes after its reads, so another writer may have dropped the thread and
written it anew in between: a mark of another incarnation is not the
thread's and reads as no mark at all. A mark an append carries needs no
incarnation, as the append's compare-and-set names it. Incarnation 0 is what
a Redis timeline written before incarnations reads as until its first write
gives it one of its own, which the saver cannot tell from a rewrite: a mark
written under 0 applies whatever the incarnation, as the previous release's
marks do. Those name the record's seq instead (0: deleted), as its re-puts
went under no id, and the floor's seq alone; they are read as they are.
"""

from __future__ import annotations

import uuid
from collections.abc import Mapping
from typing import TYPE_CHECKING

from .._core import dumps, loads
from ..persist.log import Entry
from .errors import CorruptCheckpoint
from .sealed import seal, unseal

if TYPE_CHECKING:
    from .branch import Branch
    from .meta import Head

MARK_TASK = "\x00mark"  # never a LangGraph task id
MARK_IDX = -100  # negative: a mark replaces the one before it
FLOOR = ""  # the key of a timeline's floor mark: no checkpoint has the empty id
DELETED = ""  # a mark's record id for a deleted checkpoint: no record has it
_ANY_INCARNATION = 0  # a legacy Redis timeline's, before its first write: see the module


def mark(name: str, key: str, value: str | int, incarnation: int | None = None) -> Entry:
    """The mark under `key`: the id of the record that holds the checkpoint, or the floor's seq; with
    `incarnation`, in force for that incarnation of the timeline alone."""
    payload = dumps(value) if incarnation is None else dumps([incarnation, value])
    return MARK_TASK, MARK_IDX, seal(name, key, MARK_TASK, MARK_IDX, payload)


def alias() -> str:
    """A record id for a checkpoint committed under another id: never a LangGraph checkpoint id."""
    return f"{uuid.uuid4()}+"


def read_marks(
    branch: Branch, found: Mapping[str, list[Entry]], incarnation: int | None
) -> dict[str, str | int]:
    """The marks among attachments read under `incarnation`: checkpoint id (or `FLOOR`) -> record id
    (or floor seq). A mark written for another incarnation is left out."""
    marks: dict[str, str | int] = {}
    for key, entries in found.items():
        for task, idx, blob in entries:
            if task == MARK_TASK:
                value = loads(unseal(branch, key, task, idx, blob))
                if type(value) is list and len(value) == 2 and type(value[0]) is int:
                    of, value = value
                    if of != incarnation and of != _ANY_INCARNATION:
                        continue
                if type(value) is not int and (key == FLOOR or type(value) is not str):
                    raise CorruptCheckpoint(branch.thread_id, branch.ns, key or None, "a bad mark")
                marks[key] = value
    return marks


def floor_of(marks: Mapping[str, str | int]) -> int:
    floor = marks.get(FLOOR, 0)
    assert type(floor) is int  # read_marks checked it
    return floor


def holds(head: Head, checkpoint_id: str, marks: Mapping[str, str | int]) -> bool:
    """Whether the record `head` is what checkpoint `checkpoint_id` is now (the floor aside)."""
    named = marks.get(checkpoint_id)
    if named is None:
        return head.id == checkpoint_id
    return named == (head.seq if type(named) is int else head.id)

"""Whole-thread operations: `delete_thread`, `delete_for_runs`, `copy_thread` and `prune`.

A thread's timelines are found by `Log.timelines` under the thread's prefix,
one index range of the log; only `delete_for_runs`, which serves runs of any
thread, goes over every thread's.
"""

from __future__ import annotations

import logging
from collections.abc import Sequence
from functools import partial

from . import pending
from .branch import Branch, timeline_name
from .marks import DELETED, FLOOR, floor_of, holds, mark
from .meta import Head
from .naming import NamedDamage
from .put import Puts
from .reads import Entries

_log = logging.getLogger(__name__)


class Housekeeping(Puts):
    def delete_thread(self, thread_id: str) -> None:
        thread_id = str(thread_id)
        # The root namespace too: its pending writes may have come before its first checkpoint.
        for thread, ns in dict.fromkeys([*self.branches.names(thread_id, None), (thread_id, "")]):
            name = timeline_name(thread, ns)
            self.log.drop(name)
            self.branches.forget(name)

    def delete_for_runs(self, run_ids: Sequence[str]) -> None:
        """Hide the runs' checkpoints.

        Their records and pending writes stay until `prune` or `delete_thread`
        reclaims them: the checkpoints after them may replay from them, and a
        thread is never dropped here, as another writer may be putting to it
        meanwhile. Nor is a checkpoint's key detached: a delete cut short
        between the detach and its marks would show again the record that a
        re-put had replaced, its alias mark gone. Each mark replaces the one
        under the key in one write: a checkpoint is as last put, or hidden.
        """
        wanted = set(run_ids)
        if not wanted:
            return
        for thread, ns in self.branches.names(None, None):
            branch = self._branch(thread, ns)
            with NamedDamage(self.log, thread, ns, None):
                incarnation, doomed = self._afresh(branch, partial(self._of_runs, branch, wanted))
            if not doomed:
                continue
            # Each mark names the incarnation read, so none reaches a thread written anew since.
            name = branch.name
            for checkpoint_id in doomed:
                self.log.attach(name, checkpoint_id, [mark(name, checkpoint_id, DELETED, incarnation)])

    def _of_runs(self, branch: Branch, wanted: set[str]) -> tuple[int | None, list[str]]:
        """The listed checkpoints of `wanted` runs, vouched for if any, and the incarnation they are of."""
        doomed = []
        incarnation = branch.incarnation
        for page, _ in self._pages(branch, incarnation, None):
            for head, checkpoint_id in page:
                _, metadata = self._meta(branch, checkpoint_id, head.meta)
                if isinstance(metadata, dict) and metadata.get("run_id") in wanted:
                    doomed.append(checkpoint_id)
        if doomed:
            branch.vouch(incarnation)
        return incarnation, doomed

    def _listing(self, branch: Branch) -> tuple[int | None, list[tuple[Head, str, Entries]]]:
        """The listed checkpoints with their attachments, vouched for, and the incarnation they are of."""
        incarnation = branch.incarnation
        listed = [
            (head, checkpoint_id, found.get(checkpoint_id, []))
            for page, found in self._pages(branch, incarnation, None)
            for head, checkpoint_id in page
        ]
        if listed:
            branch.vouch(incarnation)
        return incarnation, listed

    def copy_thread(self, source_thread_id: str, target_thread_id: str) -> None:
        """Every checkpoint of every namespace, oldest first, each with its pending writes in one append."""
        source_thread_id, target_thread_id = str(source_thread_id), str(target_thread_id)
        for _, ns in self.branches.names(source_thread_id, None):
            source = self._branch(source_thread_id, ns)
            target = self._branch(target_thread_id, ns)
            with NamedDamage(self.log, source_thread_id, ns, None):
                incarnation, listed = self._afresh(source, partial(self._listing, source))
            with target.lock:
                target.reset()  # at the target's head as the log has it now
                for head, checkpoint_id, found in reversed(listed):  # the newest ends as the head
                    with NamedDamage(self.log, source_thread_id, ns, checkpoint_id):
                        parent_id = head.meta[1]
                        if parent_id is True and head.parent is not None:
                            parent_id = source.id_at(incarnation, head.parent)
                        writes = pending.resealed(source, target.name, checkpoint_id, found)
                        snapshot = source.timeline.checkout(head.seq)
                        state = self._state_at(source, incarnation, head.seq)
                        source.vouch(incarnation)  # the state read is of the thread listed, not one anew
                        target.store.restore(snapshot)
                        seq = self._commit(target, checkpoint_id, parent_id, head.meta, writes)
                    target.remember(target.incarnation, seq, state, target.store.snapshot())

    def prune(self, thread_ids: Sequence[str], *, strategy: str = "keep_latest") -> None:
        if strategy not in ("keep_latest", "delete"):
            raise ValueError(f"strategy must be 'keep_latest' or 'delete', not {strategy!r}")
        for thread_id in thread_ids:
            if strategy == "delete":
                self.delete_thread(thread_id)
                continue
            for thread, ns in self.branches.names(str(thread_id), None):
                branch = self._branch(thread, ns)
                with NamedDamage(self.log, thread, ns, None), branch.lock:
                    self._afresh(branch, partial(self._keep_latest, branch))

    def _keep_latest(self, branch: Branch) -> None:
        """Hide and reclaim every checkpoint but the newest and the ancestors its delta channels replay.

        A delta channel's value is its newest snapshot plus the writes after it,
        so the chain back to that snapshot stays, with its writes: the newest
        checkpoint's metadata counts the supersteps since each channel's.
        """
        name, incarnation = branch.name, branch.incarnation
        records: list[tuple[Head, str]] = []  # down to the floor, newest first
        listed: list[tuple[Head, str]] = []
        stored: set[int] = set()  # every record's seq, below the floor too
        for heads, ids, _, marks in self._records(branch, incarnation):
            for head, checkpoint_id in zip(heads, ids, strict=True):
                stored.add(head.seq)
                if head.seq >= floor_of(marks):
                    records.append((head, checkpoint_id))
                    if holds(head, checkpoint_id, marks):
                        listed.append((head, checkpoint_id))
        if listed:
            keep_from = None
            kept = self._delta_chain(branch, incarnation, *listed[0])
            floor = min(seq for seq, _ in kept)
            kept_ids = {checkpoint_id for _, checkpoint_id in kept}
            # The oldest kept names its parent by the parent's record, the one place the parent's id is
            # told: that record stays below the floor, hidden by it (a keyframe kept alone would
            # otherwise lose its parent); its attachments go.
            oldest = next(head for head, _ in records if head.seq == floor)
            if oldest.parent in stored:
                keep_from = oldest.parent
        elif records:
            # Every checkpoint is hidden: the floor goes above them all; a put meanwhile lands on it.
            floor, kept_ids, keep_from = records[0][0].seq + 1, set(), None
        else:
            return
        branch.vouch(incarnation)  # what is read above is of one incarnation
        # The marks and the prune name it: another writer that drops the thread and writes it anew
        # meanwhile gets none of them, as what they hide and remove was chosen from the old thread.
        # The floor goes first: a crash after it leaves at most what the prune keeps visible.
        self.log.attach(name, FLOOR, [mark(name, FLOOR, floor, incarnation)])
        for head, checkpoint_id in listed:
            if head.seq >= floor and checkpoint_id not in kept_ids:
                # Off the kept chain, above the floor: its record stays, hidden by a mark kept with it.
                self.log.attach(name, checkpoint_id, [mark(name, checkpoint_id, DELETED, incarnation)])
        # The checkpoints whose every record lies below the floor: their attachments go with the records.
        above = {checkpoint_id for head, checkpoint_id in records if head.seq >= floor}
        below = {checkpoint_id for head, checkpoint_id in records if head.seq < floor}
        pruned = self.log.prune(
            name, 1, keep_from or floor, detach=sorted(below - above), incarnation=incarnation
        )
        if pruned.records:
            _log.debug("pruned %r: %d records, %d bytes", name, pruned.records, pruned.bytes)

    def _delta_chain(
        self, branch: Branch, incarnation: int | None, newest: Head, newest_id: str
    ) -> Sequence[tuple[int, str]]:
        """(seq, id) of the newest checkpoint and of the parents its delta channels need, newest first."""
        _, metadata = self._meta(branch, newest_id, newest.meta)
        counters = metadata.get("counters_since_delta_snapshot") if isinstance(metadata, dict) else None
        depth = (
            max((c[1] for c in counters.values() if isinstance(c, (list, tuple)) and len(c) == 2), default=0)
            if isinstance(counters, dict)
            else 0
        )
        chain = [(newest.seq, newest_id)]
        head = newest
        while depth > 0:
            parent = head.meta[1]
            if parent is True and head.parent is not None:
                parent = branch.id_at(incarnation, head.parent)
            found = self._find(branch, incarnation, parent) if isinstance(parent, str) else None
            if found is None:
                break
            head = found[0]
            chain.append((head.seq, parent))
            depth -= 1
        return chain

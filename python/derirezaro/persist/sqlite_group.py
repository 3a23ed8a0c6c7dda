"""Group commit: the writes of one process's threads that wait for the write lock together share a commit.

With durability "full" every commit waits for the disk, so writers that each
commit alone cannot pass one commit per fsync between them. Here a writer
queues its write; the first in the queue leads: it takes the write lock and,
with it, every write queued so far, runs them in one transaction and one
COMMIT, and then tells each writer its own outcome. Writes that arrive while
a group commits queue for the next group, whose leader the finishing one
wakes.

What each writer is owed is unchanged by the company it keeps:

- Each write is its own compare-and-set, run in a SAVEPOINT of its own: one
  that conflicts or is refused is rolled back to its savepoint and raises in
  its own thread, and the others of the group go on.
- Nothing is acknowledged before the COMMIT returned. A COMMIT that fails
  fails every write of the group that had succeeded (a refusal, never
  damage: nothing of the group is stored), and so does an error that took
  the whole transaction with it (SQLite rolls back on a full disk or an I/O
  error): what the group had written so far is gone.
- A writer alone in the queue runs its write as it would without a queue
  (a lone append is one autocommit statement): it never waits for company.
  One that finds no group forming and the write lock free does not even
  queue: it takes the lock and writes.

A write is a function of the writer connection, of whether it runs inside
the group's transaction (`True`) or alone (`False`, where it begins and ends
any transaction it needs itself), and of the arguments queued with it: a
writer passes a function and its arguments, not a closure made for the call.
"""

from __future__ import annotations

import _thread
import sqlite3
from collections.abc import Callable
from typing import Any

from .errors import PersistError, UnavailableError
from .sqlite_errors import raise_as_persist_error

Write = Callable[..., Any]  # (connection, grouped, *args)


class _Queued:
    __slots__ = ("write", "args", "timeline", "turn", "leads", "settled", "result", "error")

    def __init__(self, write: Write, args: tuple, timeline: str):
        self.write, self.args, self.timeline = write, args, timeline
        # Held while its writer waits, released when the write is settled or its writer is to
        # lead; a writer that leads at once never waits, and makes no lock.
        self.turn: _thread.LockType | None = None
        self.leads = self.settled = False
        self.result: Any = None
        self.error: BaseException | None = None

    def outcome(self) -> Any:
        if self.error is not None:
            raise self.error
        return self.result


class GroupCommit:
    """The queue of one log's writer connection; `write_lock` is what every other writer of it takes."""

    def __init__(self, path: str, write_lock: _thread.LockType, writer: Callable[[], sqlite3.Connection]):
        self._path = path
        self._write_lock = write_lock
        self._writer = writer  # the connection, once the lock is held (raises if the log is closed)
        self._queue_lock = _thread.allocate_lock()
        self._queue: list[_Queued] = []
        self._leading = False  # a writer leads: the queue's first will be woken to lead after it

    def run(self, write: Write, args: tuple, timeline: str) -> Any:
        """`write(connection, grouped, *args)`'s result once committed, with whatever other writes queue
        beside it; or its error."""
        write_lock = self._write_lock
        if not self._leading and write_lock.acquire(False):
            # No group forming and the lock free: alone, as if there were no queue, without the
            # queue's lock. `_leading` is read without it: a writer that reads it stale takes the
            # lock ahead of a leader that has just come, and the leader's group waits one write
            # more; every writer that comes after sees the leader and queues.
            try:
                return write(self._writer(), False, *args)
            except sqlite3.Error as exc:
                raise_as_persist_error(exc, self._path, timeline)
                raise
            finally:
                write_lock.release()
        # Plain acquire and release rather than `with`: nothing between them raises.
        queue_lock, queued = self._queue_lock, None
        queue_lock.acquire()
        if self._leading:
            queued = _Queued(write, args, timeline)
            queued.turn = turn = _thread.allocate_lock()
            turn.acquire()
            self._queue.append(queued)
        self._leading = True
        queue_lock.release()
        if queued is not None:
            try:
                turn.acquire()
            except BaseException:  # interrupted while it waits (Ctrl-C): the queue must keep moving
                self._withdraw(queued)
                raise
            if not queued.leads:
                return queued.outcome()
        try:
            with write_lock:
                if queued is None and not self._queue:  # alone: as if there were no queue
                    try:
                        return write(self._writer(), False, *args)
                    except sqlite3.Error as exc:
                        raise_as_persist_error(exc, self._path, timeline)
                        raise
                queue_lock.acquire()
                group, self._queue = self._queue, []
                queue_lock.release()
                if queued is None:
                    queued = _Queued(write, args, timeline)
                    group.insert(0, queued)  # it came first
                self._commit(group)
        finally:
            # A writer that queued meanwhile leads the next group; one that queues after this
            # finds no leader and leads itself.
            queue_lock.acquire()
            if self._queue:
                self._wake(self._queue[0], leads=True)
            else:
                self._leading = False
            queue_lock.release()
        return queued.outcome()

    def _withdraw(self, queued: _Queued) -> None:
        """Take the write of a writer interrupted while it waited out of the queue, or pass its lead on.

        A write still queued is not run: its writer was told it failed. One woken to lead, still
        first in the queue, wakes the next to lead in its place, or leaves none leading; else the
        writers queued behind it would wait for a leader that never comes. One a group has already
        taken is settled with that group: its writer, interrupted, does not learn whether it stood,
        as after any write whose outcome is unknown, and a retry of it tells.
        """
        queue_lock = self._queue_lock
        queue_lock.acquire()
        if queued in self._queue:
            self._queue.remove(queued)
            if queued.leads:
                if self._queue:
                    self._wake(self._queue[0], leads=True)
                else:
                    self._leading = False
        queue_lock.release()

    def _commit(self, group: list[_Queued]) -> None:
        """Run and commit `group`, then settle and wake every member of it, whatever happens."""
        try:
            writer = self._writer()
            if len(group) == 1:
                self._alone(writer, group[0])
            else:
                self._together(writer, group)
        except BaseException as exc:  # no connection (a closed log), or the leader interrupted
            for member in group:
                if not member.settled:
                    member.error = (
                        exc
                        if isinstance(exc, Exception)
                        else UnavailableError(
                            self._path, f"the commit was interrupted: {exc!r}", member.timeline
                        )
                    )
            if not isinstance(exc, Exception):
                raise
        finally:
            for member in group:
                member.settled = True
                self._wake(member, leads=False)

    @staticmethod
    def _wake(member: _Queued, leads: bool) -> None:
        member.leads = leads
        if member.turn is not None:
            member.turn.release()

    def _alone(self, writer: sqlite3.Connection, member: _Queued) -> None:
        try:
            member.result = member.write(writer, False, *member.args)
        except Exception as exc:
            member.error = self._as_persist_error(exc, member.timeline)

    def _together(self, writer: sqlite3.Connection, group: list[_Queued]) -> None:
        """One transaction: each member in a savepoint of its own, their results kept until COMMIT returns."""
        done: list[tuple[_Queued, Any]] = []  # members whose write stands, with its result
        try:
            writer.execute("BEGIN IMMEDIATE")
            for member in group:
                writer.execute("SAVEPOINT grouped")
                try:
                    result = member.write(writer, True, *member.args)
                except Exception as exc:
                    if not writer.in_transaction:
                        raise  # the transaction went with it: every member's write is lost
                    writer.execute("ROLLBACK TO grouped")
                    writer.execute("RELEASE grouped")
                    member.error = self._as_persist_error(exc, member.timeline)
                    member.settled = True
                    continue
                writer.execute("RELEASE grouped")
                done.append((member, result))
            writer.execute("COMMIT")
        except Exception as exc:
            for member in group:
                if not member.settled:
                    member.error = self._as_refusal(exc, member.timeline)
            return
        finally:
            if writer.in_transaction:
                try:
                    writer.execute("ROLLBACK")
                except sqlite3.Error:
                    pass  # the failure that brought us here is what each writer is told
        for member, result in done:
            member.result = result

    def _as_persist_error(self, exc: Exception, timeline: str) -> Exception:
        """`exc` in this package's terms, as the same write made alone would raise it."""
        if isinstance(exc, sqlite3.Error):
            try:
                raise_as_persist_error(exc, self._path, timeline)
            except (PersistError, ValueError) as mapped:  # ValueError: input too big for the file
                return mapped
        return exc

    def _as_refusal(self, exc: Exception, timeline: str) -> Exception:
        """What a member whose write stood is told when the group's transaction fails: nothing is stored."""
        mapped = self._as_persist_error(exc, timeline)
        if isinstance(mapped, PersistError):
            return mapped
        failed = UnavailableError(self._path, f"the group's commit failed: {exc}", timeline)
        failed.__cause__ = exc
        return failed

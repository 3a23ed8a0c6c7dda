"""The SQLite log's file size: pages a prune or a delete frees go back to the operating system on `vacuum`.

SQLite keeps a freed page in the file, on its free list, for the next write
to reuse. A file made by this log is in incremental auto-vacuum mode, which
keeps a map of every page's parent (one map page per some 800 pages), so
that the free pages can be given back a few at a time: the pages at the end
of the file move into free slots and the file is cut. That costs what was
freed, not what the file holds, and happens only when asked; appends reuse
free pages meanwhile.

The mode is written into the file's header with its first page, so it is
chosen before anything else writes (switching to WAL writes the header).
A file made before, or by another program, keeps its mode and opens as it
did; its first `vacuum` rebuilds it whole, once, in the mode of a new file.
"""

from __future__ import annotations

import os
import sqlite3
from collections.abc import Callable
from typing import Any

_INCREMENTAL = 2  # PRAGMA auto_vacuum's value for incremental mode (0 none, 1 full)
# Pages given back per transaction. Each batch's pages fit SQLite's default page cache, so the
# WAL grows by about a batch, not by all that is freed: a vacuum that a full disk calls for must
# not need the room it is about to free. Writers of other threads and processes go between batches.
_BATCH_PAGES = 256

Step = Callable[[Callable[[sqlite3.Connection], Any]], Any]  # runs a function on the log's writer, locked


def choose_mode(connection: sqlite3.Connection) -> None:
    """Give a file that has no page yet incremental auto-vacuum; any other is left as it is."""
    if _pages(connection) == 0:
        connection.execute(f"PRAGMA auto_vacuum={_INCREMENTAL}")


def give_back(step: Step, path: str, in_memory: bool) -> int:
    """Give the file's free pages back to the operating system; the bytes the file and its WAL shrank by.

    `step(work)` runs `work(connection)` on the log's writer, in autocommit,
    under its write lock; each step here is one transaction, or none. The WAL
    is checkpointed and cut to nothing at the end; while another process
    reads, SQLite may leave part of it. What other writers add meanwhile is
    netted out, so the count never exceeds what the file gave back.
    """

    def size(connection: sqlite3.Connection) -> int:
        if in_memory:
            return _pages(connection) * connection.execute("PRAGMA page_size").fetchone()[0]
        return sum(os.path.getsize(name) for name in (path, path + "-wal") if os.path.exists(name))

    before = step(size)
    if step(lambda c: c.execute("PRAGMA auto_vacuum").fetchone()[0]) == _INCREMENTAL:
        while step(_give_back_a_batch):
            pass
    else:
        step(_rebuild)
    if not in_memory:
        step(lambda c: c.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchall())
    return max(0, before - step(size))


def _give_back_a_batch(connection: sqlite3.Connection) -> bool:
    """Give back up to a batch of free pages in one transaction; whether a whole batch went (more may)."""
    pages = _pages(connection)
    # `execute` runs a statement without result columns for one step only, and this statement
    # frees a page a step; a script runs each statement to its end.
    connection.executescript(f"PRAGMA incremental_vacuum({_BATCH_PAGES})")
    return pages - _pages(connection) >= _BATCH_PAGES


def _rebuild(connection: sqlite3.Connection) -> None:
    """Rebuild the file whole, with the page map: a pass over all of it, with room for a copy."""
    connection.execute(f"PRAGMA auto_vacuum={_INCREMENTAL}")  # takes effect with the rebuild
    connection.execute("VACUUM")


def _pages(connection: sqlite3.Connection) -> int:
    pages: int = connection.execute("PRAGMA page_count").fetchone()[0]
    return pages

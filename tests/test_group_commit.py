"""The SQLite log's group commit when a writer finds the write lock free and takes it without queueing:
writers that come while it writes still form one group behind it, each told its own outcome. And when
a queued writer is interrupted: its write is not run, and the queue moves on without it."""

import _thread
import threading
import time
import types

import pytest
from derirezaro.persist import SQLiteLog, sqlite_group

WAIT = 10.0


def wait_for(condition, what):
    deadline = time.monotonic() + WAIT
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.001)


def inserting(first, writing, go, seen):
    """A group write that inserts its name, noting whether it was grouped; `first`'s holds at
    `writing` until `go`."""

    def write(connection, grouped, name):
        seen[name] = grouped
        if name == first:
            writing.set()
            assert go.wait(WAIT)
        connection.execute("CREATE TABLE IF NOT EXISTS t (name TEXT)")
        connection.execute("INSERT INTO t VALUES (?)", (name,))
        return name

    return write


def test_writers_that_come_while_a_lone_writer_writes_queue_behind_it_as_one_group(tmp_path):
    log = SQLiteLog(tmp_path / "log.db", durability="full")
    group, writing, go, seen = log._group, threading.Event(), threading.Event(), {}
    write, results = inserting("alone", writing, go, seen), {}

    def run(name):
        results[name] = group.run(write, (name,), "t")

    threads = {name: threading.Thread(target=run, args=(name,)) for name in ("alone", "leader", "queued")}
    try:
        threads["alone"].start()
        assert writing.wait(WAIT)
        assert not group._leading and not group._queue  # it took the lock without queueing
        threads["leader"].start()
        wait_for(lambda: group._leading, "the next writer did not lead")
        threads["queued"].start()
        wait_for(lambda: len(group._queue) == 1, "the third writer did not queue")
        go.set()
        for thread in threads.values():
            thread.join(WAIT)
        assert results == {name: name for name in threads}
        assert seen == {"alone": False, "leader": True, "queued": True}  # the two after: one group
        assert not group._leading and not group._queue
        rows = log._writer.execute("SELECT name FROM t ORDER BY rowid").fetchall()
        assert rows == [("alone",), ("leader",), ("queued",)]
    finally:
        go.set()
        log.close()


@pytest.mark.parametrize("woken", [True, False], ids=["woken to lead", "while it waits behind another"])
def test_a_writer_interrupted_in_the_queue_is_not_written_and_the_queue_moves_on(
    tmp_path, monkeypatch, woken
):
    log = SQLiteLog(tmp_path / "log.db")
    group, writing, go = log._group, threading.Event(), threading.Event()

    class Turn:  # the interrupted writer's turn: its wait raises as Ctrl-C would, once woken or at once
        def __init__(self):
            self.lock, self.calls = _thread.allocate_lock(), 0

        def acquire(self):
            self.calls += 1
            if self.calls == 2:  # the wait for its turn (the first takes it, to be released)
                if woken:
                    self.lock.acquire()
                raise KeyboardInterrupt
            return self.lock.acquire()

        def release(self):
            self.lock.release()

    allocate = _thread.allocate_lock
    turns = types.SimpleNamespace(
        allocate_lock=lambda: Turn() if threading.current_thread().name == "interrupted" else allocate()
    )
    monkeypatch.setattr(sqlite_group, "_thread", turns)

    write, results = inserting("leader", writing, go, {}), {}

    def run(name):
        try:
            results[name] = group.run(write, (name,), "t")
        except KeyboardInterrupt as exc:
            results[name] = exc

    threads = {
        name: threading.Thread(target=run, args=(name,), name=name, daemon=True)
        for name in ("leader", "interrupted", "next")
    }
    log._write_lock.acquire()  # held, so that the leader leads a queue rather than writing at once
    threads["leader"].start()
    wait_for(lambda: group._leading, "the leader did not lead")
    log._write_lock.release()
    assert writing.wait(WAIT)  # the leader writes; whoever queues now is woken after it
    threads["interrupted" if woken else "next"].start()
    wait_for(lambda: len(group._queue) == 1, "the first writer did not queue")
    if woken:
        threads["next"].start()
        wait_for(lambda: len(group._queue) == 2, "the second writer did not queue")
    else:
        threads["interrupted"].start()
        threads["interrupted"].join(WAIT)  # interrupted at once, behind the first
    go.set()
    for thread in threads.values():
        thread.join(WAIT)
    assert isinstance(results.pop("interrupted"), KeyboardInterrupt)
    assert results == {"leader": "leader", "next": "next"}
    assert not group._leading and not group._queue
    assert log._writer.execute("SELECT name FROM t ORDER BY rowid").fetchall() == [("leader",), ("next",)]
    log.close()

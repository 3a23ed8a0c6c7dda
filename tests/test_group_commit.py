"""The SQLite log's group commit when a writer finds the write lock free and takes it without queueing:
writers that come while it writes still form one group behind it, each told its own outcome."""

import threading
import time

from derirezaro.persist import SQLiteLog

WAIT = 10.0


def wait_for(condition, what):
    deadline = time.monotonic() + WAIT
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.001)


def test_writers_that_come_while_a_lone_writer_writes_queue_behind_it_as_one_group(tmp_path):
    log = SQLiteLog(tmp_path / "log.db", durability="full")
    group, writing, go = log._group, threading.Event(), threading.Event()
    seen = {}

    def write(connection, grouped, name):
        seen[name] = grouped
        if name == "alone":
            writing.set()
            assert go.wait(WAIT)
        connection.execute("CREATE TABLE IF NOT EXISTS t (name TEXT)")
        connection.execute("INSERT INTO t VALUES (?)", (name,))
        return name

    results = {}

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

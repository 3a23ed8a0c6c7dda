"""The SQLite log's own ground: its voucher rows, SQLite's damage, schemas, group commit, vacuum.

SQLite's refusals (read-only, full, locked) are met in test_persist_logs.py, in one table with the
servers' refusals.

Damage here is done outside the records' checksums (the voucher row, which record belongs to
which timeline, a B-tree page's header), so only the log's checks against its voucher can see
it; each case starts from a copy of one sound file. Files of earlier schemas start from
tests/data/timeline-v1.db, written by an earlier release: schema 1, records of format 1.
"""

import contextlib
import functools
import gc
import os
import random
import shutil
import sqlite3
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from derirezaro import Store, dumps
from derirezaro.persist import (
    ConflictError,
    CorruptRecordError,
    FormatError,
    MemoryLog,
    SQLiteLog,
    UnavailableError,
    sqlite_schema,
    sqlite_space,
)
from log_wrappers import WAIT
from test_persist_durability import flips
from test_persist_logs import ID_SPELLINGS as IDS
from test_persist_logs import holds, sealed
from test_persist_logs import refused_by_sqlite as refused
from test_persist_model import content, in_order

FIXTURE = Path(__file__).parent / "data" / "timeline-v1.db"
OF_T = " WHERE timeline = (SELECT id FROM derirezaro_timelines WHERE name = 't') AND seq = ?"


def sql(path, statement, *args):
    """`statement` run on the file by a connection of its own; its rows."""
    with contextlib.closing(sqlite3.connect(path, isolation_level=None)) as db:
        return db.execute(statement, args).fetchall()


@pytest.fixture(scope="module")
def sound(tmp_path_factory):
    """A file holding timeline "o" and then "t": commits, keyframes among them, and a prune, so first > 1."""
    path = tmp_path_factory.mktemp("sound") / "sound.db"
    with SQLiteLog(path) as log:
        for name in ("o", "t"):
            tl = log.timeline(name, store := Store(), keyframe_every=3)
            for i in range(9):
                store.set("s", f"k{i % 4}", i)
                tl.commit(meta={"i": i})
        tl.prune(keep_last=4)
        assert log.head("t").first > 1 and tl.verify() == []
    return path


def move_cell_count(path, delta):
    """Damage to the B-tree page that holds the records: its header's cell count moved by `delta`."""
    ((page_size,),) = sql(path, "PRAGMA page_size")
    ((root,),) = sql(path, "SELECT rootpage FROM sqlite_master WHERE name = 'derirezaro_records'")
    with open(path, "r+b") as f:
        f.seek((root - 1) * page_size)
        page = f.read(page_size)
        assert page[0] == 0x0A, "the records fit one leaf page (of an index B-tree, as WITHOUT ROWID)"
        f.seek((root - 1) * page_size + 3)
        f.write((int.from_bytes(page[3:5], "big") + delta).to_bytes(2, "big"))


def damage_cases(path):
    """(what, SQL or a function of the path, its argument): each a damage the voucher must reveal."""
    key, head, crc, first, name_crc = sql(
        path, "SELECT id, head, crc, first, name_crc FROM derirezaro_timelines WHERE name = 't'"
    )[0]
    voucher = {
        "id": [*flips(key)][:8],
        "name": [bytes([ord("t") ^ 1 << bit]) for bit in range(8)],  # stored as text, UTF-8 or not
        "head": [0, head - 1, head + 1, *flips(head)],
        "crc": [*flips(crc)][:32],
        "first": [0, first - 1, first + 1, head, *flips(first)],
        "name_crc": [*flips(name_crc)][:32],
    }
    set_voucher = "UPDATE derirezaro_timelines SET {} = {} WHERE name = 't'"
    return [
        ("the head record's timeline", "UPDATE derirezaro_records SET timeline = 99" + OF_T, head),
        *(
            (f"record {seq} deleted", "DELETE FROM derirezaro_records" + OF_T, seq)
            for seq in (head, head - 2, first, first + 1)
        ),
        *(
            (f"its {c} = {v!r}", set_voucher.format(c, "CAST(? AS TEXT)" if c == "name" else "?"), v)
            for c, values in voucher.items()
            for v in values
        ),
        *((f"the records page's cell count {delta:+}", move_cell_count, delta) for delta in (-1, 1, 50)),
    ]


def test_damage_outside_the_records_checksums_is_damage_never_a_shorter_timeline(sound, tmp_path):
    cases, silent = damage_cases(sound), []
    assert len(cases) > 150
    for i, (what, damage, arg) in enumerate(cases):
        shutil.copyfile(sound, path := tmp_path / f"{i}.db")
        try:
            damage(path, arg) if callable(damage) else sql(path, damage, arg)
        except sqlite3.IntegrityError:  # a key or name another row holds
            continue
        # A prune finds it too and removes nothing. Its cutoff, the head's keyframe, is above the record
        # after the first, which only its count of what it removed finds missing.
        before = path.read_bytes()
        with pytest.raises(CorruptRecordError), SQLiteLog(path) as log:
            log.prune("t", 1)
        assert path.read_bytes() == before, what
        try:
            with SQLiteLog(path) as log:
                vouched, tl = log.head("t"), log.timeline("t", Store())
                problems, seqs = tl.verify(), [r.seq for r in tl.records()]
        except CorruptRecordError as error:
            assert error.timeline == "t" or (error.timeline, error.file) == (None, str(path)), what
            continue
        assert {p.timeline for p in problems} <= {"t"}, what
        assert vouched is None or seqs == [*range(vouched.seq, vouched.first - 1, -1)], what  # none left out
        if not problems:
            silent.append((what, vouched, seqs))
    assert silent == [], "read as sound"


@pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")
def test_a_read_only_file_opens_for_reads(sound, tmp_path, monkeypatch):
    # Its writes are refused as test_persist_logs.py's refusals of a read-only file are.
    shutil.copyfile(sound, path := tmp_path / "ro.db")

    def connect_read_only(self):
        return sqlite3.connect(f"file:{self.path}?mode=ro", uri=True, isolation_level=None)

    monkeypatch.setattr(SQLiteLog, "_connect", connect_read_only)
    with SQLiteLog(path) as log:
        assert log.timeline("t", Store()).verify() == [] and log.timelines() == ["o", "t"]
    # Closed, it is not closed again when collected, in whatever thread collects it (these connections
    # may be used only by the thread that made them).
    del log
    (collector := threading.Thread(target=gc.collect)).start()
    collector.join()
    with pytest.raises(UnavailableError, match="unable to open"):
        SQLiteLog(tmp_path / "absent.db")  # a new file cannot be made read-only


class EndedByAnIOError(sqlite3.Connection):
    """A connection whose SELECTs, while `failing`, fail as an I/O error does: SQLite ends the
    transaction itself, so a COMMIT or ROLLBACK after it fails too. While `stuck`, SQLite could
    not end it: the transaction stays open, and a ROLLBACK fails as well."""

    failing = stuck = False

    def execute(self, statement, *args):
        if self.failing and statement.lstrip().startswith("SELECT"):
            if self.in_transaction and not self.stuck:
                super().execute("ROLLBACK")
            raise refused(266, "disk I/O error")  # SQLITE_IOERR_READ
        if self.stuck and statement == "ROLLBACK":
            raise refused(None, "cannot rollback transaction")  # not a refusal: raised as it is
        return super().execute(statement, *args)


def test_a_read_that_fails_in_its_transaction_says_why_and_leaves_the_connection_usable(
    sound, tmp_path, monkeypatch
):
    monkeypatch.setattr(sqlite3, "connect", functools.partial(sqlite3.connect, factory=EndedByAnIOError))
    # The schema read again in the upgrade's transaction, as a file of an older schema opens.
    shutil.copyfile(FIXTURE, old := tmp_path / "old.db")
    schema_of, before = sqlite_schema.schema_of, old.read_bytes()

    def then_failing(connection, file):
        monkeypatch.setattr(sqlite_schema, "schema_of", schema_of)
        found = schema_of(connection, file)
        connection.failing = connection.stuck = True  # from the next read on, under BEGIN IMMEDIATE
        return found

    monkeypatch.setattr(sqlite_schema, "schema_of", then_failing)
    with pytest.raises(UnavailableError, match="disk I/O error"):
        SQLiteLog(old)
    assert old.read_bytes() == before
    with SQLiteLog(sound) as log:
        reads = [lambda: log.opening("t", ["k"]), lambda: log.listing("t", limit=3)]
        expected = [read() for read in reads]
        reader = log._reader()
        for read in reads:
            reader.failing = True
            with pytest.raises(UnavailableError, match="disk I/O error"):  # not the COMMIT's complaint
                read()
            reader.failing = False
        assert [read() for read in reads] == expected


HISTORY = [  # the fixture's records: (ns, key, value) sets, (ns, key) removes
    [("cfg", "pad", "x" * 100), ("msg", "0", [1, 2.5, b"\0\xff", None, True]), ("cfg", "n", -(2**63))],
    [("msg", "1", {"role": "user", "text": "h\u00e9llo" * 40})],
    [("cfg", "pad"), ("cfg", "n"), ("msg", "2", 1.5)],
    [("msg", "1")],  # the deltas now outweigh the state: a keyframe
    [("msg", "0", "replaced"), ("new", "k", {"a": [False]})],
]


def play_history(store, commit=lambda seq: None):
    """The contents after each record of HISTORY, played on `store`, calling `commit` after each."""
    states = []
    for seq, changes in enumerate(HISTORY, 1):
        for ns, key, *value in changes:
            store.set(ns, key, value[0]) if value else store.delete(ns, key)
        commit(seq)
        states.append(content(store.snapshot()))
    return states


def write_history(path):
    """Timeline "fixture" of HISTORY in a new file, as the earlier release wrote tests/data/timeline-v1.db."""
    with SQLiteLog(path) as log:
        tl = log.timeline("fixture", store := Store())
        play_history(store, lambda seq: tl.commit(meta=seq, id="first" if seq == 2 else None))


SET = "UPDATE derirezaro_schema SET version = "
# How the fixture (records of format 1, schema 1) is changed, and what opening it then gives: the
# schema it is upgraded to, by how it stores UUID ids (schema 1 keeps them as text, as tables beside
# the timelines join on them as stored; 2 has the same tables and stores them as bytes), or the refusal.
SCHEMAS = {
    "schema 1": (None, "text"),
    "schema 2": (SET + "2", "blob"),
    "opened again": (lambda path: SQLiteLog(path).close(), "text"),  # upgraded by the first opening
    "new": (lambda path: path.unlink() or write_history(path), "blob"),  # a file this code creates
    "schema 0": (SET + "0", CorruptRecordError),
    "schema -1": (SET + "-1", CorruptRecordError),
    "no schema row": ("DELETE FROM derirezaro_schema", CorruptRecordError),
    "two schema rows": ("INSERT INTO derirezaro_schema VALUES (1)", CorruptRecordError),
    "schema '3'": (SET + "'3'", CorruptRecordError),  # text where the version is an integer
    "not a database": (lambda path: path.write_bytes(random.Random(1).randbytes(8192)), CorruptRecordError),
    "schema 99": (SET + "99", FormatError),
}


@pytest.mark.parametrize("change, outcome", SCHEMAS.values(), ids=SCHEMAS)
def test_each_schema_opens_upgraded_or_is_refused_untouched(change, outcome, tmp_path):
    shutil.copyfile(FIXTURE, path := tmp_path / "schema.db")
    change(path) if callable(change) else change and sql(path, change)
    before = path.read_bytes()
    if not isinstance(outcome, str):
        with pytest.raises(outcome) as e:
            SQLiteLog(path)
        assert str(e.value).startswith(f"{path}: " if outcome is CorruptRecordError else f"schema of {path}")
        assert path.read_bytes() == before
        if outcome is CorruptRecordError:  # the file's damage, not a timeline's
            assert (e.value.timeline, e.value.file) == (None, str(path))
        return
    records, states = sql(path, "SELECT * FROM derirezaro_records"), play_history(Store())
    with SQLiteLog(path) as log:
        assert log.head("fixture") == (1, 5, log.headers("fixture", limit=1)[0].crc, 1)
        tl = log.timeline("fixture", store := Store())
        assert tl.verify() == [] and [(r.id, r.meta) for r in tl.records()] == [
            ("5", 5), ("4", 4), ("3", 3), ("first", 2), ("1", 1)]  # fmt: skip
        for ref, state in [*enumerate(states, 1), ("first", states[1])]:
            assert content(tl.checkout(ref)) == state, ref
        for i, chosen in enumerate(IDS):
            store.set("n", "k", i)
            tl.commit(id=chosen)
    with SQLiteLog(path) as log:  # opened anew: each id reads back as it was given
        tl = log.timeline("fixture", Store())
        assert [r.id for r in tl.records(limit=len(IDS))] == IDS[::-1]
        assert [content(tl.checkout(chosen))["n", "k"] for chosen in IDS] == [*map(dumps, range(len(IDS)))]
    kinds = sql(path, "SELECT typeof(id) FROM derirezaro_records WHERE seq > 5 ORDER BY seq")
    assert [kind for (kind,) in kinds] == [outcome] + ["text"] * (len(IDS) - 1)
    assert sql(path, "SELECT * FROM derirezaro_schema") == [(sqlite_schema.SCHEMA, int(outcome == "blob"))]
    assert sql(path, "SELECT * FROM derirezaro_records WHERE seq <= 5") == records


def test_two_openers_upgrade_a_file_once(tmp_path, monkeypatch):
    # The second opener read schema 1 before the first upgraded it; it reads again under the write lock.
    shutil.copyfile(FIXTURE, path := tmp_path / "race.db")
    schema_of, calls = sqlite_schema.schema_of, []

    def first_read_then_another_opener(connection, file):
        calls.append(found := schema_of(connection, file))
        monkeypatch.setattr(sqlite_schema, "schema_of", schema_of)  # this opener's next read is the real one
        SQLiteLog(path).close()  # upgrades the file
        return found

    monkeypatch.setattr(sqlite_schema, "schema_of", first_read_then_another_opener)
    with SQLiteLog(path) as log:
        assert calls == [(1, False)] and log.timeline("fixture", Store()).verify() == []
    assert sql(path, "SELECT * FROM derirezaro_schema") == [(sqlite_schema.SCHEMA, 0)]


def test_reads_by_name_are_index_ranges_and_a_timeline_made_between_two_of_them_is_no_damage(tmp_path):
    log, other, made, statements = SQLiteLog(tmp_path / "f.db"), SQLiteLog(tmp_path / "f.db"), [], []
    (reader := log._reader()).set_trace_callback(statements.append)  # each statement with its values in place
    for prefix in ["", "a\x00", "\U0010ffff"]:  # the last has no name above it: no upper bound
        log.timelines(prefix)

    # head() of a timeline not under its name's CRC reads the row under its name next, where a
    # CRC that is not the name's is damage; another writer creates the timeline in between.
    def between(statement):
        if statement.startswith("SELECT name_crc") and not made:
            made.append(other.append("t", sealed("t", 1), None))

    reader.set_trace_callback(between)
    for statement in statements:
        plan = " ".join(row[3] for row in reader.execute(f"EXPLAIN QUERY PLAN {statement}"))
        assert plan.startswith("SEARCH derirezaro_timelines USING INDEX") and "TEMP" not in plan, plan
    assert log.head("t") is None and made and log.head("t") == made[0]


@pytest.mark.parametrize("made_by", ["this release", "an earlier release"])
def test_vacuum_gives_back_what_a_prune_freed_and_keeps_every_record(made_by, tmp_path, monkeypatch):
    path, rng = tmp_path / "v.db", random.Random(5)
    monkeypatch.setattr(sqlite_space, "_BATCH_PAGES", 16)  # what is freed takes several batches
    if made_by == "an earlier release":
        shutil.copyfile(FIXTURE, path)  # made without the page map: its first vacuum rebuilds it

    def pragma(name):
        return sql(path, f"PRAGMA {name}")[0][0]

    def size():  # what the file and its WAL take on disk
        return sum(os.path.getsize(f) for f in (path, f"{path}-wal") if os.path.exists(f))

    with SQLiteLog(path) as log:
        tl = log.timeline("v", store := Store(), keyframe_every=4)
        for i in range(300):
            store.set("s", f"k{i % 10}", rng.randbytes(300))  # incompressible: a page holds a few
            tl.commit()
        removed = tl.prune(keep_last=5)
        kept = {seq: content(tl.checkout(seq)) for seq in range(log.head("v").first, 301)}
        free, pages, before = pragma("freelist_count"), pragma("page_count"), size()
        assert removed.records > 250 and free * pragma("page_size") > removed.bytes / 2
        given = log.vacuum()
        assert given == before - size() >= free * pragma("page_size")
        assert (pragma("auto_vacuum"), pragma("freelist_count"), os.path.getsize(f"{path}-wal")) == (2, 0, 0)
        assert pragma("page_count") <= pages - free + 1 and log.vacuum() == 0  # + 1: a rebuild's page map
        # Every record kept reads back as it was, and an incarnation is still never reused.
        assert {seq: content(tl.checkout(seq)) for seq in kept} == kept
        assert all(log.timeline(name, Store()).verify() == [] for name in log.timelines())
        dropped = log.head("v").incarnation
        log.drop("v")
        log.vacuum()
        log.append("v", sealed("v", 1), None)
        assert log.head("v").incarnation > dropped


class Hooked:
    """`connection` with `hook(statement)` called before each of its statements runs."""

    def __init__(self, connection, hook):
        self.connection, self.hook = connection, hook

    def __getattr__(self, name):
        return getattr(self.connection, name)

    def execute(self, statement, *args):
        return self.hook(statement) or self.connection.execute(statement, *args)

    def executemany(self, statement, *args):
        return self.hook(statement) or self.connection.executemany(statement, *args)


@pytest.mark.parametrize("path", [":memory:", ""])  # both open a database that only their connection sees
def test_a_private_database_serves_every_thread_and_a_read_waits_out_a_write(path):
    log, head = SQLiteLog(path), None
    for seq in range(1, 7):
        head = log.append("t", sealed("t", seq, body=b"x" * seq), head)  # keyframes: a prune keeps only 6
    lock = log._write_lock
    pruner_paused, go, reader_waits = threading.Event(), threading.Event(), threading.Event()

    def pause_between_removing_the_records_and_moving_the_voucher(statement):
        if statement.startswith("UPDATE derirezaro_timelines SET first"):
            pruner_paused.set()
            go.wait(WAIT)

    class WatchedLock:  # tells when the reader waits for the lock
        def __enter__(self):
            if threading.current_thread().name.startswith("reader"):
                reader_waits.set()
            lock.acquire()

        def __exit__(self, *exc):
            lock.release()

    log._writer = Hooked(log._writer, pause_between_removing_the_records_and_moving_the_voucher)
    log._write_lock = WatchedLock()
    with ThreadPoolExecutor(1) as pruner, ThreadPoolExecutor(1, thread_name_prefix="reader") as reader:
        pruned = pruner.submit(log.prune, "t", 1)
        assert pruner_paused.wait(WAIT)
        read = reader.submit(lambda: (log.head("t"), [row.seq for row in log.read("t", 1, 9)]))
        reader_waits.wait(WAIT)
        assert not read.done(), f"a read ran inside another thread's prune: {read.exception()!r}"
        go.set()
        assert (pruned.result(WAIT), read.result(WAIT)) == ((5, 15), (head._replace(first=6), [6]))
    log.close()


# Group commit: writers that queue for the write lock together share one transaction and one commit.


def one_group(log, calls):
    """Each of `calls` (a function of the log) on a thread of its own, queued in turn while the write
    lock is held, so that they commit as one group; what each returned or raised."""

    def queue():  # the first leads and waits for the lock; the others queue behind it
        return log._group._leading, len(log._group._queue)

    with ThreadPoolExecutor(len(calls)) as pool:
        with log._write_lock:
            futures = []
            for call in calls:
                before = queue()
                futures.append(future := pool.submit(call, log))
                deadline = time.monotonic() + WAIT
                while queue() == before and not future.done():  # or refused before it queued
                    assert time.monotonic() < deadline, f"writer {len(futures)} did not queue"
                    time.sleep(0.001)
        return [future.exception(WAIT) or future.result() for future in futures]


def shown(outcome):
    return type(outcome).__name__ if isinstance(outcome, Exception) else outcome and outcome[1:]


A2, A3 = sealed("a", 2, base=1, id="x"), sealed("a", 3, base=1, id="x")
B2, B2_OTHER = sealed("b", 2, base=1), sealed("b", 2, base=1, body=b"y")
ENTRY = [("task", 0, b"w")]
GROUP = [  # each a function of the log and the heads before the group, in the order they queue
    lambda log, heads: log.append("a", A2, heads["a"]),  # lands, in one statement
    lambda log, heads: log.append("b", B2, heads["b"], {"k": ENTRY}),  # lands, in a transaction (attachments)
    lambda log, heads: log.append("b", B2_OTHER, heads["b"]),  # built on the same head: conflicts
    lambda log, heads: log.append("a", sealed("a", 1), None),  # a retry of what landed before the group
    lambda log, heads: log.append("c", sealed("c", 1), None),  # a new timeline
    lambda log, heads: log.append("c", sealed("c", 1, body=b"y"), None),  # one more: conflicts
    lambda log, heads: log.append("a", A3, heads["a"]._replace(seq=2, crc=A2.crc)),  # on A2, in the group
    lambda log, heads: log.attach("b", "k", [("task", 0, b"late"), ("task", 1, b"w")]),  # the first wins
    lambda log, heads: log.append("b", sealed("b", 9), heads["b"]),  # refused before it queues
]


def test_a_group_keeps_each_writers_compare_and_set_and_outcome_as_the_memory_log_does(tmp_path):
    results, statements = [], []
    for log in (MemoryLog(), SQLiteLog(tmp_path / "g.db")):
        heads = {name: log.append(name, sealed(name, 1), None) for name in "ab"}
        calls = [functools.partial(call, heads=heads) for call in GROUP]
        if isinstance(log, SQLiteLog):
            log._writer.set_trace_callback(statements.append)
            outcomes = one_group(log, calls)
        else:  # the memory log, the reference, runs each call in turn
            with ThreadPoolExecutor(1) as pool:
                outcomes = [f.exception() or f.result() for f in [pool.submit(call, log) for call in calls]]
        stored = {
            name: (shown(log.head(name)), [(r.seq, r.id, r.body) for r in log.read(name, 1, 9)])
            for name in "abc"
        }
        results.append(([shown(o) for o in outcomes], stored, in_order(log.attachments("b", ["k"]))))
    assert results[0] == results[1]
    assert results[0][0][2:4] == ["ConflictError", (1, sealed("a", 1).crc, 1)]
    assert (statements.count("BEGIN IMMEDIATE"), statements.count("COMMIT")) == (1, 1), "not one group"


# (what, the statement that fails, which of them, SQLite's error, whether SQLite rolled the
# transaction back with it, the outcome of each member of [a 2, c 1 with attachments, b 2])
GROUP_FAULTS = [
    ("COMMIT busy", "COMMIT", 1, refused(5, "database is locked"), False, ["Unavailable"] * 3),
    ("COMMIT I/O error", "COMMIT", 1, refused(778, "disk I/O error"), True, ["Unavailable"] * 3),
    ("BEGIN busy", "BEGIN IMMEDIATE", 1, refused(5, "database is locked"), False, ["Unavailable"] * 3),
    ("c's attachments: full, all rolled back", "INSERT INTO derirezaro_attachments", 1,
     refused(13, "database or disk is full"), True, ["Unavailable"] * 3),
    ("c's attachments: full, the statement rolled back", "INSERT INTO derirezaro_attachments", 1,
     refused(13, "database or disk is full"), False, ["stored", "Unavailable", "stored"]),
    ("c's record", "INSERT  INTO derirezaro_records", 1, refused(13, "database or disk is full"), False,
     ["stored", "Unavailable", "stored"]),
    ("c's record too big", "INSERT  INTO derirezaro_records", 1, refused(18, "string or blob too big"), False,
     ["stored", "ValueError", "stored"]),
]  # fmt: skip


@pytest.mark.parametrize("what, failing, nth, error, rolls_back, outcomes", GROUP_FAULTS, ids=lambda v: "")
def test_a_failed_group_fails_its_members_as_refused_and_stores_nothing_of_them(
    what, failing, nth, error, rolls_back, outcomes, tmp_path
):
    log = SQLiteLog(path := tmp_path / "f.db")
    heads = {name: log.append(name, sealed(name, 1), None) for name in "ab"}
    before, writer, seen = holds(log), log._writer, []

    def fail_the_nth(statement):
        seen.append(statement := statement.strip())
        if statement.startswith(failing) and sum(s.startswith(failing) for s in seen) == nth:
            if rolls_back:
                writer.execute("ROLLBACK")
            raise error

    log._writer = Hooked(writer, fail_the_nth)
    group = [
        lambda log: log.append("a", sealed("a", 2, base=1), heads["a"]),
        lambda log: log.append("c", sealed("c", 1), None, {"k": ENTRY}),
        lambda log: log.append("b", sealed("b", 2, base=1), heads["b"]),
    ]
    got = one_group(log, group)
    log._writer = writer
    assert [
        "Unavailable"
        if isinstance(o, UnavailableError) and str(error) in str(o)
        else "ValueError"
        if type(o) is ValueError and str(error) in str(o)
        else o == log.head(n) and "stored"
        for o, n in zip(got, "acb", strict=True)
    ] == outcomes, what  # refused with what SQLite said, not with what undoing it then said
    assert not writer.in_transaction, what
    if outcomes[0] == "Unavailable":
        assert holds(log) == before, what
    else:  # the failing member left nothing: no record, no voucher row, no attachment
        names = sql(path, "SELECT name FROM derirezaro_timelines ORDER BY name")
        assert log.head("c") is None and names == [("a",), ("b",)], what
        assert sql(path, "SELECT count(*) FROM derirezaro_attachments") == [(0,)], what
    # Each writer retries what it was refused, and lands.
    for call, got_one in zip(group, got, strict=True):
        if isinstance(got_one, Exception):
            call(log)
    assert [log.head(name).seq for name in "abc"] == [2, 2, 1] and log.attachments("c", ["k"]) == {"k": ENTRY}
    log.close()


def test_threads_committing_at_once_lose_no_acknowledged_append(tmp_path):
    # Each thread commits to a timeline of its own and races the others on a shared one, retrying
    # what conflicts: groups mix creations, deltas, attachments, conflicts and retries.
    threads, commits = 6, 30
    log, acknowledged = SQLiteLog(tmp_path / "s.db"), [[] for _ in range(threads)]

    def attached(i):  # what thread i attached to its timeline, under each commit's key
        return {f"m{n}": [("task", n, b"%d" % i)] for n in range(commits)}

    def work(i):
        tl = log.timeline(f"own{i}", store := Store(), keyframe_every=5)
        for n in range(commits):
            store.set("s", f"k{n % 7}", [i, n])
            tl.commit(meta=n, attach={f"m{n}": attached(i)[f"m{n}"]})
            while True:
                head = log.head("shared")
                seq = head.seq + 1 if head else 1
                with contextlib.suppress(ConflictError):
                    log.append("shared", sealed("shared", seq, id=f"t{i}-{n}"), head)
                    acknowledged[i].append((seq, f"t{i}-{n}"))
                    break
        return content(store.snapshot())

    with ThreadPoolExecutor(threads) as pool:
        finals = list(pool.map(work, range(threads)))
    shared = {(r.seq, r.id) for r in log.read("shared", 1, threads * commits)}
    assert shared == {ack for acks in acknowledged for ack in acks} and len(shared) == threads * commits
    for i, final in enumerate(finals):
        tl = log.timeline(f"own{i}", store := Store())
        assert tl.verify() == [] and content(store.snapshot()) == final and tl.head.seq == commits
        assert log.attachments(f"own{i}", list(attached(i))) == attached(i)
    log.close()

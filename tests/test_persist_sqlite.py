"""The SQLite log's own ground: its voucher rows, SQLite's refusals and damage, schemas, keys given early.

Damage here is done outside the records' checksums (the voucher row, which record belongs to
which timeline, a B-tree page's header), so only the log's checks against its voucher can see
it. Each case starts from a copy of one sound file.
"""

import os
import random
import shutil
import sqlite3
import tempfile
from pathlib import Path

import pytest
from derirezaro import Store
from derirezaro.persist import (
    ConflictError,
    CorruptRecordError,
    FormatError,
    MemoryLog,
    SQLiteLog,
    TimelineHead,
    UnavailableError,
    sqlite_errors,
    sqlite_schema,
)
from derirezaro.persist.record import DELTA, KEYFRAME, seal
from hypothesis import given, settings
from hypothesis import strategies as st

FIXTURE = Path(__file__).parent / "data" / "timeline-v1.db"
T = "(SELECT id FROM derirezaro_timelines WHERE name = 't')"  # timeline "t"'s key in SQL


def sealed(name, seq, base=None, body=b"x", id=None):
    """A record a log stores verbatim: a keyframe, or with `base` a delta on seq - 1."""
    kind = {"kind": KEYFRAME, "parent": None} if base is None else {"kind": DELTA, "parent": seq - 1}
    return seal(name, seq=seq, id=id, base=base or seq, timestamp=1.5, digest=0, meta=b"", body=body, **kind)


def rows_of(path):
    """Every row of every table of the file, read by a connection of its own: what "untouched" compares."""
    db = sqlite3.connect(path)
    try:
        tables = [
            t for (t,) in db.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")
        ]
        return {t: sorted(db.execute(f"SELECT * FROM {t}").fetchall(), key=repr) for t in tables}
    finally:
        db.close()


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


def flipped(value, bits=64):
    """`value` with each of its low `bits` bits flipped in turn, as a signed 64-bit SQL integer."""
    return [(value ^ 1 << bit) - (1 << 64) * ((value ^ 1 << bit) >= 1 << 63) for bit in range(bits)]


def key_of(path, name):
    """The key of `name`'s voucher row, read by a connection of its own; None without one."""
    db = sqlite3.connect(path)
    try:
        row = db.execute("SELECT id FROM derirezaro_timelines WHERE name = ?", (name,)).fetchone()
        return row and row[0]
    finally:
        db.close()


def set_voucher(column, values):
    return [
        (f"its {column} = {v!r}", f"UPDATE derirezaro_timelines SET {column} = ? WHERE name = 't'", v)
        for v in values
    ]


def cell_count(delta):
    """Damage to the B-tree page that holds the records: its header's cell count moved by `delta`."""

    def damage(path):
        db = sqlite3.connect(path)
        page_size = db.execute("PRAGMA page_size").fetchone()[0]
        (root,) = db.execute(
            "SELECT rootpage FROM sqlite_master WHERE name = 'derirezaro_records'"
        ).fetchone()
        db.close()
        with open(path, "r+b") as f:
            f.seek((root - 1) * page_size)
            page = f.read(page_size)
            assert page[0] == 0x0A, "the records fit one leaf page (of an index B-tree, as WITHOUT ROWID)"
            f.seek((root - 1) * page_size + 3)
            f.write((int.from_bytes(page[3:5], "big") + delta).to_bytes(2, "big"))

    return damage


def damage_cases(path):
    db = sqlite3.connect(path)
    key, head, crc, first, name_crc = db.execute(
        "SELECT id, head, crc, first, name_crc FROM derirezaro_timelines WHERE name = 't'"
    ).fetchone()
    db.close()
    return [
        ("the head record's timeline", "UPDATE derirezaro_records SET timeline = 99 WHERE", head),
        ("the head record deleted", "DELETE FROM derirezaro_records WHERE", head),
        ("a middle record deleted", "DELETE FROM derirezaro_records WHERE", head - 2),
        ("the oldest record deleted", "DELETE FROM derirezaro_records WHERE", first),
        *set_voucher("id", flipped(key, 8)),
        *[(f"its name = {v!r}", "UPDATE derirezaro_timelines SET name = CAST(? AS TEXT) WHERE name = 't'", v)
          for v in (bytes([ord("t") ^ 1 << bit]) for bit in range(8))],
        *set_voucher("head", [0, head - 1, head + 1, *flipped(head)]),
        *set_voucher("crc", flipped(crc, 32)),
        *set_voucher("first", [0, first - 1, first + 1, head, *flipped(first)]),
        *set_voucher("name_crc", flipped(name_crc, 32)),
        ("the records page's cell count - 1", cell_count(-1), None),
        ("the records page's cell count + 1", cell_count(+1), None),
    ]  # fmt: skip


def test_damage_outside_the_records_checksums_is_damage_never_a_shorter_timeline(sound, tmp_path):
    with SQLiteLog(sound) as log:
        sound_head = log.head("t")
    cases = damage_cases(sound)
    assert len(cases) > 150
    silent = []
    for i, (what, damage, arg) in enumerate(cases):
        path = tmp_path / f"{i}.db"
        shutil.copyfile(sound, path)
        if callable(damage):
            damage(path)
        else:
            db = sqlite3.connect(path, isolation_level=None)
            if damage.endswith("WHERE"):  # a record of "t", by its seq
                damage += f" timeline = {T} AND seq = ?"
            try:
                db.execute(damage, (arg,))
            except sqlite3.IntegrityError:  # a key or name another row holds
                continue
            finally:
                db.close()
        try:
            with SQLiteLog(path) as log:
                vouched = log.head("t")
                tl = log.timeline("t", Store())
                problems = tl.verify()
                seqs = [r.seq for r in tl.records()]
        except CorruptRecordError as error:
            assert error.timeline == "t" or (error.timeline, error.file) == (None, str(path)), what
            continue
        if not problems:
            silent.append((what, vouched, seqs))
        else:
            assert {p.timeline for p in problems} == {"t"}, what
    assert silent == [], f"read as sound, where {sound_head} was stored"


def read_only(log, path):
    log._writer.execute("PRAGMA query_only = 1")
    return lambda: log._writer.execute("PRAGMA query_only = 0")


def full(log, path):
    log._writer.execute(f"PRAGMA max_page_count = {log._writer.execute('PRAGMA page_count').fetchone()[0]}")
    return lambda: log._writer.execute("PRAGMA max_page_count = 1000000")


def locked(log, path):  # another process's write transaction, outwaiting the busy timeout
    (holder := sqlite3.connect(path, isolation_level=None)).execute("BEGIN IMMEDIATE")
    log._writer.execute("PRAGMA busy_timeout = 20")
    return holder.close  # which rolls its transaction back


REFUSALS = {
    "read-only": read_only,
    "full": full,
    "locked": locked,
}  # each refuses, and returns how to lift it
BIG = b"\x01" * 200_000  # more than the file has room for when "full"
WRITES = {
    "append": lambda log: log.append("t", sealed("t", 4, base=1, body=BIG), log.head("t")),
    "create": lambda log: log.append("new", sealed("new", 1, body=BIG), None),
    "append with attachments": lambda log: log.append(
        "t", sealed("t", 4, base=1), log.head("t"), {"k": [("a", 0, BIG)]}
    ),
    "attach": lambda log: log.attach("t", "k", [("a", 0, BIG)]),
    "prune": lambda log: log.prune("t", 1),
    "drop": lambda log: log.drop("t"),
    "detach": lambda log: log.detach("t", ["k0"]),
}
GROWING = {"append", "create", "append with attachments", "attach"}  # all "full" refuses


@pytest.mark.parametrize("refusal", sorted(REFUSALS))
def test_a_refusal_is_unavailable_and_leaves_the_file_as_it_was(refusal, tmp_path):
    for name, write in WRITES.items():
        if refusal == "full" and name not in GROWING:
            continue
        with SQLiteLog(path := tmp_path / f"{name}.db") as log:
            head = None
            for seq in (1, 2, 3):
                head = log.append("t", sealed("t", seq), head)
            log.attach("t", "k0", [("a", 0, b"x")])
            before = rows_of(path)
            lift = REFUSALS[refusal](log, path)
            with pytest.raises(UnavailableError) as e:
                write(log)
            assert (e.value.server, e.value.timeline) == (str(path), "new" if name == "create" else "t"), name
            assert rows_of(path) == before and log.head("t") == head, name
            lift()
            write(log)  # nothing was left half done: the same write goes through
            assert rows_of(path) != before, name


def test_a_read_only_file_opens_for_reads_and_refuses_writes(sound, tmp_path, monkeypatch):
    path = tmp_path / "ro.db"
    shutil.copyfile(sound, path)
    before = rows_of(path), path.read_bytes()

    def read_only(self):
        uri = f"file:{self.path}?mode=ro"
        return sqlite3.connect(uri, uri=True, isolation_level=None, check_same_thread=False)

    monkeypatch.setattr(SQLiteLog, "_connect", read_only)
    with SQLiteLog(path) as log:
        tl = log.timeline("t", Store())
        assert tl.verify() == [] and log.timelines() == ["o", "t"]
        for write in (lambda: tl.commit(), lambda: log.prune("t", 1), lambda: log.drop("o")):
            with pytest.raises(UnavailableError, match="readonly"):
                write()
    with pytest.raises(UnavailableError, match="unable to open"):
        SQLiteLog(tmp_path / "absent.db")  # a new file cannot be made read-only
    assert (rows_of(path), path.read_bytes()) == before


@pytest.mark.parametrize(
    "code, message, expected",
    [
        (13, "database or disk is full", UnavailableError),
        (8, "attempt to write a readonly database", UnavailableError),
        (1032, "attempt to write a readonly database", UnavailableError),  # SQLITE_READONLY_DBMOVED
        (14, "unable to open database file", UnavailableError),
        (778, "disk I/O error", UnavailableError),  # SQLITE_IOERR_WRITE
        (5, "database is locked", UnavailableError),
        (517, "database is locked", UnavailableError),  # SQLITE_BUSY_SNAPSHOT
        (7, "out of memory", UnavailableError),
        (11, "database disk image is malformed", CorruptRecordError),
        (779, "database disk image is malformed", CorruptRecordError),  # SQLITE_CORRUPT_INDEX
        (26, "file is not a database", CorruptRecordError),
        (1, "no such table: x", None),  # a fault of the statement: raised as it is
        (2067, "UNIQUE constraint failed", None),
        (None, "database or disk is full", UnavailableError),  # no code: told by the message
        (None, "database disk image is malformed", CorruptRecordError),
        (None, "file is not a database", CorruptRecordError),
        (None, "no such table: x", None),
    ],
)
def test_sqlite_errors_say_refusal_or_damage(code, message, expected):
    error = sqlite3.OperationalError(message)
    if code is not None:
        error.sqlite_errorcode = code
    if expected is None:
        assert sqlite_errors.raise_as_persist_error(error, "f.db", "t") is None
        return
    with pytest.raises(expected) as e:
        sqlite_errors.raise_as_persist_error(error, "f.db", "t")
    assert e.value.timeline == "t" and "f.db" in str(e.value) and message in str(e.value)
    assert getattr(e.value, "file", "f.db") == "f.db"  # damage names the file it is in


def test_a_malformed_file_is_damage_naming_it(sound, tmp_path):
    (garbage := tmp_path / "garbage.db").write_bytes(random.Random(1).randbytes(8192))
    with pytest.raises(CorruptRecordError, match="garbage.db: file is not a database") as e:
        SQLiteLog(garbage)
    assert (e.value.timeline, e.value.file) == (None, str(garbage))
    path = tmp_path / "zeroed.db"
    shutil.copyfile(sound, path)
    cell_count(+50)(path)  # cell pointers past the page's own
    with (
        SQLiteLog(path) as log,
        pytest.raises(CorruptRecordError, match="zeroed.db: database disk image") as e,
    ):
        log.timeline("t", Store()).verify()
    assert (e.value.timeline, e.value.file) == ("t", str(path))


def schema_file(path, version):
    """The format 1 fixture with its schema row set to `version` ("none": the row deleted)."""
    shutil.copyfile(FIXTURE, path)
    db = sqlite3.connect(path, isolation_level=None)
    if version == "none":
        db.execute("DELETE FROM derirezaro_schema")
    elif version == "two rows":
        db.execute("INSERT INTO derirezaro_schema VALUES (1)")
    elif version != 3:
        db.execute("UPDATE derirezaro_schema SET version = ?", (version,))
    db.close()
    if version == 3:
        SQLiteLog(path).close()  # upgraded by the first opening


@pytest.mark.parametrize(
    "version, outcome",
    [
        (1, "text ids"),  # UUID ids stay text: tables beside the timelines join on them as stored
        (2, "compact ids"),  # the same tables as 1: it only stores UUID ids as bytes
        (3, "text ids"),  # opened again: nothing to upgrade
        (0, CorruptRecordError),
        (-1, CorruptRecordError),
        ("none", CorruptRecordError),
        ("two rows", CorruptRecordError),
        ("3", CorruptRecordError),  # text where the version is an integer
        (99, FormatError),
    ],
)
def test_each_schema_opens_upgraded_or_is_refused_untouched(version, outcome, tmp_path):
    path = tmp_path / "schema.db"
    schema_file(path, version)
    before = rows_of(path)
    if not isinstance(outcome, str):
        with pytest.raises(outcome) as e:
            SQLiteLog(path)
        assert str(path) in str(e.value) and rows_of(path) == before
        if outcome is CorruptRecordError:  # the file's damage, not a timeline's
            assert (e.value.timeline, e.value.file) == (None, str(path)) and str(e.value).startswith(
                f"{path}: "
            )
        return
    with SQLiteLog(path) as log:
        assert log.compact_ids == (outcome == "compact ids")
        assert log.head("fixture") == (1, 5, log.headers("fixture", limit=1)[0].crc, 1)
        tl = log.timeline("fixture", Store())
        assert tl.verify() == [] and [r.seq for r in tl.records()] == [5, 4, 3, 2, 1]
        assert tl.record("first").seq == 2
    after = rows_of(path)
    assert after["derirezaro_schema"] == [(sqlite_schema.SCHEMA, int(outcome == "compact ids"))]
    assert after["derirezaro_records"] == before["derirezaro_records"]


def test_two_openers_upgrade_a_file_once(tmp_path, monkeypatch):
    # The second opener read schema 1 before the first upgraded it; it reads again under the write lock.
    path = tmp_path / "race.db"
    shutil.copyfile(FIXTURE, path)
    schema_of, calls = sqlite_schema.schema_of, []

    def first_read_then_another_opener(connection, file):
        found = schema_of(connection, file)
        calls.append(found)
        if len(calls) == 1:
            monkeypatch.setattr(sqlite_schema, "schema_of", schema_of)
            SQLiteLog(path).close()  # upgrades the file
        return found

    monkeypatch.setattr(sqlite_schema, "schema_of", first_read_then_another_opener)
    with SQLiteLog(path) as log:
        assert calls == [(1, False)] and log.timeline("fixture", Store()).verify() == []
    assert rows_of(path)["derirezaro_schema"] == [(sqlite_schema.SCHEMA, 0)]


def test_a_key_given_before_the_first_record_is_no_timeline_until_it_is_the_incarnation(tmp_path):
    log = SQLiteLog(path := tmp_path / "early.db")
    log.attach("t", "k", [("task", 0, b"a")])  # gives "t" its key
    key = key_of(path, "t")
    assert log.head("t") is None and log.timelines() == [] and log.headers("t", limit=9) == []
    assert log.prune("t", 1) == 0 and log.attachments("t", ["k"]) == {"k": [("task", 0, b"a")]}
    with pytest.raises(ConflictError):  # no head to build on
        log.append("t", sealed("t", 2, base=1), TimelineHead(key, 1, 0, 1))
    head = log.append("t", sealed("t", 1), None)
    assert head.incarnation == key and log.timelines() == ["t"]
    assert key_of(path, "t") == key
    assert log.attachments("t", ["k"]) == {"k": [("task", 0, b"a")]}
    log.drop("t")
    assert log.attachments("t", ["k"]) == {} and log.append("t", sealed("t", 1), None).incarnation > key


def test_a_timeline_made_between_the_two_reads_of_an_absent_one_is_no_damage(tmp_path):
    # head() of a timeline not under its name's CRC reads the row under its name next, where a
    # CRC that is not the name's is damage; another writer creates the timeline in between.
    log, other, made = SQLiteLog(tmp_path / "f.db"), SQLiteLog(tmp_path / "f.db"), []

    def between(statement):
        if statement.startswith("SELECT name_crc") and not made:
            made.append(other.append("t", sealed("t", 1), None))

    log._reader().set_trace_callback(between)
    assert log.head("t") is None and made and log.head("t") == made[0]


def test_an_append_after_another_writers_prune_returns_the_voucher_as_it_is(tmp_path):
    one, two = SQLiteLog(tmp_path / "f.db"), SQLiteLog(tmp_path / "f.db")
    head = None
    for seq, base in enumerate([1, 1, 3, 3, 3], 1):
        head = one.append("t", sealed("t", seq, base=None if base == seq else base), head)
    assert two.prune("t", keep_last=2) == 2  # the chain from 3 stays
    with pytest.raises(ConflictError):  # a delta on the pruned keyframe 1
        one.append("t", sealed("t", 6, base=1), head)
    assert one.append("t", sealed("t", 6, base=3), head) == (
        head.incarnation,
        6,
        sealed("t", 6, base=3).crc,
        3,
    )
    assert one.head("t") == two.head("t") and [r.seq for r in one.read("t", 0, 9)] == [3, 4, 5, 6]


def test_a_prune_that_finds_a_record_missing_reports_it_and_removes_nothing(tmp_path):
    log = SQLiteLog(path := tmp_path / "gap.db")
    head = None
    for seq in range(1, 7):
        head = log.append("t", sealed("t", seq), head)
    for missing, keep_last in [(2, 1), (5, 1)]:  # below the cutoff, and above it
        sqlite3.connect(path, isolation_level=None).execute(
            f"DELETE FROM derirezaro_records WHERE seq = ? AND timeline = {T}", (missing,)
        )
        before = rows_of(path)
        with pytest.raises(CorruptRecordError) as e:
            log.prune("t", keep_last)
        assert e.value.timeline == "t" and rows_of(path) == before


NAME_CHARS = ["a", "b", "\x00", "\x7f", "\u00e9", "\ud7ff", "\ue000", "\uffff", "\U0010ffff"]


@settings(max_examples=60, deadline=None)
@given(
    names=st.lists(st.text(NAME_CHARS, min_size=1, max_size=3), max_size=12, unique=True),
    keyed=st.lists(st.text(NAME_CHARS, min_size=1, max_size=3), max_size=3),
    prefix=st.text(NAME_CHARS, max_size=3),
)
def test_timelines_under_a_prefix_are_an_index_range(names, keyed, prefix):
    with tempfile.TemporaryDirectory() as directory, SQLiteLog(os.path.join(directory, "n.db")) as log:
        for name in names:
            log.append(name, sealed(name, 1), None)
        for name in keyed:  # keys given early, by attachments before any record: not timelines
            log.attach(name, "k", [("task", 0, b"")])
        assert log.timelines(prefix) == sorted(name for name in names if name.startswith(prefix))


def test_a_listing_under_a_prefix_reads_a_range_of_the_name_index(tmp_path):
    with SQLiteLog(tmp_path / "plan.db") as log:
        reader, statements = log._reader(), []
        reader.set_trace_callback(statements.append)  # the statements with their values in place
        for prefix in ("", "thread-1\x00", "\U0010ffff"):
            log.timelines(prefix)
        reader.set_trace_callback(None)
        for statement in statements:
            plan = " ".join(row[3] for row in reader.execute(f"EXPLAIN QUERY PLAN {statement}"))
            assert plan.startswith("SEARCH derirezaro_timelines USING INDEX") and "TEMP" not in plan, plan


def test_attachments_follow_the_memory_log(tmp_path):
    # The same random calls on both logs; every read must agree with the reference.
    logs, rng = (MemoryLog(), SQLiteLog(tmp_path / "a.db")), random.Random(11)
    heads = [None, None]
    uuid = "0123abcd-4567-89ef-0123-456789abcdef"
    keys, tasks = ["k", uuid, "", "\x00mark"], ["t1", uuid, "\x00mark"]
    for step in range(400):
        key, entries = (
            rng.choice(keys),
            [(rng.choice(tasks), rng.randint(-2, 2), rng.randbytes(2)) for _ in range(3)],
        )
        call = rng.choice(["attach", "append", "detach", "prune", "drop", "append"])
        for i, log in enumerate(logs):
            if call == "attach":
                log.attach("t", key, entries)
            elif call == "append":
                seq = 1 if heads[i] is None else heads[i].seq + 1
                record = sealed("t", seq, id=f"c{seq}" if seq % 2 else None)
                heads[i] = log.append("t", record, heads[i], {key: entries, f"c{seq}": entries[:1]})
            elif call == "detach":
                log.detach("t", [key, "absent"])
            elif call == "prune":
                log.prune("t", 2, detach=[key])
            elif step % 4 == 0:
                log.drop("t")
                heads[i] = None
        assert [head and head[1:] for head in heads] == [heads[0] and heads[0][1:]] * 2, step
        wanted = [*keys, "absent", *(f"c{seq}" for seq in range(1, 20))]
        memory, stored = (in_order(log.attachments("t", wanted)) for log in logs)
        assert memory == stored, (step, call)
        pages = [
            (rows, in_order(found)) for rows, found in (log.listing("t", limit=3, keys=["k"]) for log in logs)
        ]
        assert pages[0] == pages[1], (step, call)


def in_order(found):  # entries of a key come back in no set order
    return {key: sorted(entries) for key, entries in found.items()}

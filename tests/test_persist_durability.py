"""Timelines under killed writers, racing processes and damaged bytes, and files kept from earlier releases.

The writers are processes running this file: `test_persist_durability.py MODE PATH TIMELINE WRITER N`
(see `writer`); run without arguments, it writes the format 1 fixture afresh. Damage goes straight
to the stored rows (SQL on the file, the dict of a MemoryLog), so only the reads' checks can see it.
The LangGraph saver's file of schema 2 is written by `tools/make_langgraph_v2_fixture.py`.
"""

import importlib.util
import json
import random
import shutil
import sqlite3
import struct
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path

import pytest
import record_oracle
from derirezaro import Store, dumps
from derirezaro.persist import (
    ConflictError,
    CorruptRecordError,
    FormatError,
    MemoryLog,
    RedisLog,
    SQLiteLog,
    body,
    record,
    sqlite_schema,
)
from derirezaro.persist.blob import export_snapshot, import_snapshot

FIXTURE = Path(__file__).parent / "data" / "timeline-v1.db"
LANGGRAPH_V2_TOOL = Path(__file__).parents[1] / "tools" / "make_langgraph_v2_fixture.py"


def step(store, i):
    """Step i of the crash model, computable from i alone."""
    store.set("s", f"k{i % 7}", i)
    if i % 5 == 0:
        store.delete("s", f"k{(i + 3) % 7}")


def writer(mode, path, name, who, n):
    """crash: commit step after step, from the head's step on, printing each seq, until killed
    (or until the log's server goes away).
    cas: once stdin has a line, N attempts to commit to a timeline others may share, printing
    "seq attempt" for each won; a lost attempt restores the head and goes on."""
    print("ready", flush=True)
    if mode == "cas":
        sys.stdin.readline()  # the starting signal: writers that open the file together contend
    tl = open_log(path).timeline(name, store := Store())
    i = tl.head.meta["step"] if mode == "crash" and tl.head else 0
    while mode == "crash":
        step(store, i := i + 1)
        print(tl.commit(meta={"step": i}).seq, flush=True)
    for attempt in range(int(n)):
        store.set("w", who, attempt)
        try:
            print(tl.commit().seq, attempt, flush=True)
        except ConflictError:
            head = None
            while head != tl.head.seq:  # until no commit slipped in between: the next one is head + 1
                head = tl.head.seq
                tl.restore(head)


def open_log(where):
    """A file's SQLiteLog, or for "redis://host:port/db#prefix" a RedisLog."""
    if not where.startswith("redis://"):
        return SQLiteLog(where)
    url, prefix = where.split("#")
    return RedisLog(url, prefix=prefix)


def spawn(*args):
    command, pipe = [sys.executable, __file__, *map(str, args)], subprocess.PIPE
    return subprocess.Popen(command, stdin=pipe, stdout=pipe, stderr=pipe, text=True)


def state_of(snapshot):
    (store := Store()).restore(snapshot)
    return {(ns, k): store.get(ns, k) for ns, k in snapshot.keys}


def test_killed_writer_keeps_every_commit_it_returned(tmp_path):
    path, rng, model, done = tmp_path / "crash.db", random.Random(5), Store(), 0
    for round in range(20):
        child = spawn("crash", path, "t", "w", 0)
        assert child.stdout.readline() == "ready\n"
        if round % 5:  # most rounds die while committing, the others while opening the timeline
            assert child.stdout.readline()
        time.sleep(rng.uniform(0, 0.03))
        child.kill()
        returned = [int(line) for line in child.communicate()[0].split()]
        with SQLiteLog(path) as log:
            tl = log.timeline("t", store := Store())
            n = tl.head.meta["step"] if tl.head else 0
            assert tl.verify() == [] and n >= max(returned, default=done) and (round % 5 == 0 or n > done)
            assert [(r.seq, r.meta) for r in tl.records()] == [(i, {"step": i}) for i in range(n, 0, -1)]
            for i in range(done + 1, n + 1):
                step(model, i)
            assert state_of(store.snapshot()) == state_of(model.snapshot())
            done = n


def test_writers_compare_and_set_the_timelines_of_one_file(tmp_path):
    # "a" and "b" race for timeline "t"; four more writers have a timeline each, so never conflict.
    writers = [("t", "a", 150), ("t", "b", 150)] + [(f"t{i}", "w", 500) for i in range(4)]
    for round in range(3):  # a new file each round, which all six open at once
        children = [spawn("cas", tmp_path / f"{round}.db", *w) for w in writers]
        for child in children:
            assert child.stdout.readline() == "ready\n", child.communicate()[1]
            print("go", file=child.stdin, flush=True)
        won = {name: {} for name, _, _ in writers}  # timeline -> seq -> (writer, attempt)
        for (name, who, _), child in zip(writers, children, strict=True):
            out, err = child.communicate()
            assert child.returncode == 0, err  # no "database is locked": writers wait their turn
            for seq, attempt in (map(int, line.split()) for line in out.splitlines()):
                assert won[name].setdefault(seq, (who, attempt)) == (who, attempt)  # one winner a seq
        with SQLiteLog(tmp_path / f"{round}.db") as log:
            assert log.timelines() == sorted(won)
            for name, wins in won.items():
                tl, state = log.timeline(name, Store()), {}
                head = tl.head.seq
                assert sorted(wins) == list(range(1, head + 1)) and (name == "t" or head == 500)
                assert tl.verify() == [] and [r.parent for r in tl.records()] == [
                    *range(head - 1, 0, -1),
                    None,
                ]
                for seq, (who, attempt) in sorted(wins.items()):  # each holds its write on the one before
                    state["w", who] = attempt
                    assert state_of(tl.checkout(seq)) == state


def test_opening_waits_for_a_writer_that_holds_the_file(tmp_path):
    db = sqlite3.connect(tmp_path / "busy.db", isolation_level=None, check_same_thread=False)
    db.executescript("CREATE TABLE other (x); BEGIN IMMEDIATE")  # as another opener of a new file does
    threading.Timer(0.2, db.execute, ("COMMIT",)).start()
    SQLiteLog(tmp_path / "busy.db").close()


class Rows:
    """Timeline "t" in a file, damaged through SQL, or in a MemoryLog, damaged in its dict."""

    def __init__(self, path):
        self.db = path and sqlite3.connect(path, isolation_level=None)
        self.log = SQLiteLog(path) if path else MemoryLog()

    def fields(self, seq):
        if not self.db:
            return self.log._timelines["t"].by_seq[seq]._asdict()
        cursor = self.db.execute("SELECT * FROM derirezaro_records WHERE seq = ?", (seq,))
        return dict(zip([c[0] for c in cursor.description], cursor.fetchone(), strict=True))

    def set(self, at, /, **columns):  # no columns: delete the record (only a file can lose one)
        if not self.db:
            by_seq = self.log._timelines["t"].by_seq
            columns = {c: v.decode(errors="surrogateescape") if c == "id" else v for c, v in columns.items()}
            by_seq[at] = by_seq[at]._replace(**columns)
            return
        columns.pop("body_size", None)  # length(body) here
        sql = ", ".join(f"{c} = CAST(? AS TEXT)" if c == "id" else f"{c} = ?" for c in columns)
        sql = f"UPDATE derirezaro_records SET {sql}" if columns else "DELETE FROM derirezaro_records"
        self.db.execute(f"{sql} WHERE seq = ?", (*columns.values(), at))

    def save(self):
        rows = self.db.execute("SELECT * FROM derirezaro_records").fetchall() if self.db else None
        self.saved = rows or dict(self.log._timelines["t"].by_seq)

    def reset(self):
        if not self.db:
            self.log._timelines["t"].by_seq = dict(self.saved)
            return
        self.db.execute("DELETE FROM derirezaro_records")
        self.db.executemany(f"INSERT INTO derirezaro_records VALUES ({', '.join('?' * 13)})", self.saved)


def flip(data, bit):
    return data[: bit // 8] + bytes([data[bit // 8] ^ 1 << bit % 8]) + data[bit // 8 + 1 :]


def flips(value):
    """`value` with each of its bits flipped in turn: ints as 64-bit two's complement, text as UTF-8."""
    if isinstance(value, float):
        yield from (struct.unpack("<d", flip(struct.pack("<d", value), bit))[0] for bit in range(64))
    elif isinstance(value, int):
        yield from (record.signed(value ^ 1 << bit, 64) for bit in range(64))
    elif value is not None:
        data = value.encode() if isinstance(value, str) else value
        yield from (flip(data, bit) for bit in range(8 * len(data)))


def resealed(log, seq, body):
    """Record `seq` with `body` in place of its own, and checksums that match."""
    r = log.read("t", seq, seq)[0]
    row = record.seal("t", **{f: getattr(r, f) for f in r._fields[:5]}, timestamp=r.timestamp,
                      digest=r.digest, meta=r.meta, body=body)  # fmt: skip
    return {f: getattr(row, f) for f in ("format", "header_crc", "crc", "body", "body_size")}


@pytest.mark.parametrize("file", ["t.db", None])
def test_every_read_of_a_damaged_record_reports_it(file, tmp_path):
    rows, rng = Rows(file and tmp_path / file), random.Random(3)
    tl = rows.log.timeline("t", store := Store())
    changes = [("pad", rng.randbytes(1500) * 2), ("a", 2), ("b", 3), ("a", None), ("c", 5)]
    for seq, (key, value) in enumerate(changes, 1):
        store.delete("s", key) if value is None else store.set("s", key, value)
        tl.commit(meta={"step": seq}, id="two" if seq == 2 else None)
    assert [r.kind for r in tl.records()] == ["delta"] * 4 + ["keyframe"]
    rows.save()
    big, small = rows.fields(1)["body"], rows.fields(2)["body"]
    assert big.startswith(body.COMPRESSED) and not small.startswith(body.COMPRESSED)
    # (target, its changed columns, or none to delete it): every bit of every field of a small delta,
    # random bits of a keyframe's body, cut bodies, lost records, and deltas re-sealed with wrong changes.
    cases = [(2, {col: v}) for col, value in rows.fields(2).items() for v in flips(value)]
    cases += [(1, {"body": flip(big, bit)}) for bit in rng.sample(range(8 * len(big)), 300)]
    cases += [(1, {"body": big[:-1]}), (2, {"body": small[:-1]})] + [(2, {}), (3, {})] * bool(rows.db)
    for seq, sets, removes in [(3, {"s": {"b": dumps(4)}}, {}), (3, {}, {"s": ["zz"]}), (4, {}, {})]:
        cases.append((seq, resealed(rows.log, seq, record_oracle.encode_body(sets, removes))))
    chunk = dumps([{"s": {"b": 3}}, {}])  # framed bodies whose frames are wrong, under a right CRC
    for framed in [chunk[:3], len(chunk).to_bytes(4, "big") + chunk[:-1], b"\0\0\0\3" + dumps([1, 2])]:
        cases.append((3, resealed(rows.log, 3, body.FRAMED + framed)))
    packed = body.compress(chunk)  # and compressed ones that do not hold what they declare
    stream = packed[9:]
    for wrong in [packed[:-1], packed + b"\0", body.compress(packed), body.COMPRESSED + b"\0" * 8 + stream]:
        cases.append((3, resealed(rows.log, 3, wrong)))
    for declared in (len(chunk) - 1, len(chunk) + 1, 2**40):
        cases.append((3, resealed(rows.log, 3, body.COMPRESSED + declared.to_bytes(8, "big") + stream)))

    def by_file(error):  # the file's log itself found its records out of the vouched range
        return bool(file) and error.file == str(tmp_path / file)

    for target, columns in cases:
        tl = rows.log.timeline("t", Store(), cache_size=1)  # replays the sound head
        tl._points.keep_only(tl.parent)  # and keeps only it, so every other read goes to the damaged rows
        try:
            rows.set(target, **columns)
        except sqlite3.IntegrityError:  # a flipped seq that lands on another record's
            continue
        # A record gone from between the oldest kept and the head (deleted, or moved to another
        # seq or timeline) is damage too: the log still vouches for it.
        for ref, seqs in ((target, {target}), (4, {target, target + 1})):
            with pytest.raises(CorruptRecordError) as e:
                tl.checkout(ref)
            assert (e.value.timeline, e.value.seq in seqs or by_file(e.value)) == ("t", True), columns
        problems = tl.verify()
        named = target in {p.seq for p in problems} or any(map(by_file, problems))
        assert named and {p.timeline for p in problems} == {"t"}, columns
        rows.reset()
    # A sound record from a newer format is no damage: it needs a newer reader, verify() included.
    tl = rows.log.timeline("t", Store(), cache_size=1)
    with pytest.MonkeyPatch.context() as m:
        m.setattr(record, "format_of", lambda body: record.FORMAT + 1)
        rows.set(3, **resealed(rows.log, 3, rows.fields(3)["body"]))
    for read in (lambda: tl.checkout(3), lambda: tl.checkout(4), tl.verify):
        with pytest.raises(FormatError) as e:
            read()
        assert (e.value.found, e.value.supported) == (record.FORMAT + 1, record.FORMAT)


def test_damaged_export_is_refused():
    (store := Store()).set("n", "k", [1, "x"])
    exported = export_snapshot(store.snapshot())
    assert state_of(import_snapshot(exported)) == {("n", "k"): [1, "x"]}
    for damaged in [*flips(exported), *(exported[:cut] for cut in range(len(exported)))]:
        with pytest.raises(CorruptRecordError):
            import_snapshot(damaged)


HISTORY = [  # the fixture's records: (ns, key, value) sets, (ns, key) removes
    [("cfg", "pad", "x" * 100), ("msg", "0", [1, 2.5, b"\0\xff", None, True]), ("cfg", "n", -(2**63))],
    [("msg", "1", {"role": "user", "text": "h\u00e9llo" * 40})],
    [("cfg", "pad"), ("cfg", "n"), ("msg", "2", 1.5)],
    [("msg", "1")],  # the deltas now outweigh the state: a keyframe
    [("msg", "0", "replaced"), ("new", "k", {"a": [False]})],
]


def play_history(store, commit=lambda seq: None):
    """The state after each record of HISTORY, played on `store`, calling `commit` after each."""
    states = []
    for seq, changes in enumerate(HISTORY, 1):
        for ns, key, *value in changes:
            store.set(ns, key, value[0]) if value else store.delete(ns, key)
        commit(seq)
        states.append(state_of(store.snapshot()))
    return states


def test_a_file_written_by_format_1_stays_readable(tmp_path):
    (path := tmp_path / "old.db").write_bytes(FIXTURE.read_bytes())
    states = play_history(Store())
    with SQLiteLog(path) as log:
        tl = log.timeline("fixture", store := Store())
        assert tl.verify() == [] and state_of(store.snapshot()) == states[-1]
        assert [(r.id, r.kind, r.meta) for r in tl.records()] == [("5", "delta", 5), ("4", "keyframe", 4),
            ("3", "delta", 3), ("first", "delta", 2), ("1", "keyframe", 1)]  # fmt: skip
        for ref, state in [*enumerate(states, 1), ("first", states[1])]:
            assert state_of(tl.checkout(ref)) == state, ref
    # A UUID id is stored as text in the old file, which keeps how it stores ids when it is upgraded
    # (tables beside the timelines join on them as stored), and as 16 bytes in a new one.
    for file in (path, tmp_path / "new.db"):
        with SQLiteLog(file) as log:
            tl = log.timeline("fixture", store)
            tl.commit(id=(chosen := str(uuid.uuid4())))
            assert tl.record(chosen).id == chosen and state_of(tl.checkout(chosen)) == state_of(
                store.snapshot()
            )
        stored = sqlite3.connect(file).execute(
            "SELECT typeof(id) FROM derirezaro_records WHERE id IS NOT NULL"
        )
        assert {kind for (kind,) in stored} == ({"text"} if file == path else {"blob"})
    sqlite3.connect(path, isolation_level=None).execute("UPDATE derirezaro_schema SET version = 99")
    with pytest.raises(FormatError) as e:
        SQLiteLog(path)
    assert (e.value.found, e.value.supported) == (99, sqlite_schema.SCHEMA)


def test_only_canonical_uuids_are_stored_as_bytes(tmp_path):
    canonical = "0123abcd-4567-89ef-0123-456789abcdef"
    ids = [
        canonical,
        canonical.upper(),
        canonical[:9] + "-" + canonical[10:],  # a fifth dash
        canonical[:9] + " " + canonical[10:],  # which bytes.fromhex would skip
        "{" + canonical[1:-1] + "}",
        canonical[:-1] + "g",
    ]
    with SQLiteLog(tmp_path / "ids.db") as log:
        tl = log.timeline("t", store := Store())
        for i, chosen in enumerate(ids):
            store.set("n", "k", i)
            tl.commit(id=chosen)
    with SQLiteLog(tmp_path / "ids.db") as log:
        tl = log.timeline("t", Store())
        assert [r.id for r in tl.records()] == ids[::-1]
        assert all(tl.record(chosen).id == chosen for chosen in ids)
    stored = sqlite3.connect(tmp_path / "ids.db").execute(
        "SELECT typeof(id) FROM derirezaro_records ORDER BY seq"
    )
    assert [kind for (kind,) in stored] == ["blob"] + ["text"] * (len(ids) - 1)


def langgraph_v2(tmp_path):
    """A copy of the schema 2 LangGraph saver's file, and the tool that wrote it (its `reads`)."""
    pytest.importorskip("langgraph")
    spec = importlib.util.spec_from_file_location("make_langgraph_v2_fixture", LANGGRAPH_V2_TOOL)
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    shutil.copyfile(tool.FIXTURE, path := tmp_path / "langgraph-v2.db")
    return path, tool


def test_a_file_of_the_schema_2_langgraph_saver_reads_as_that_saver_read_it(tmp_path):
    from derirezaro.langgraph import DerirezaroSaver

    path, tool = langgraph_v2(tmp_path)
    db = sqlite3.connect(path, isolation_level=None)
    old = db.execute(  # in the table's key order: the order that saver read them in
        "SELECT * FROM derirezaro_langgraph_writes ORDER BY timeline, checkpoint, task, idx"
    ).fetchall()
    marks = {key for _, key, task, _, _ in old if task == "\x00mark"}
    assert "" in marks and len(marks) > 1, "the fixture holds a floor mark, and marks of checkpoints"
    orphan = (999, "cp", "task", 0, b"\x00")  # of no timeline in the file: not carried over
    db.execute("INSERT INTO derirezaro_langgraph_writes VALUES (?, ?, ?, ?, ?)", orphan)
    db.close()
    with DerirezaroSaver.sqlite(path) as saver:
        assert tool.reads(saver) == json.loads(tool.EXPECTED.read_text())
        # Entries as today's saver stores them: a retried task's write finds its first, which stays.
        retried = next(t for t in saver.list(None) if t.pending_writes and t.pending_writes[0][1] == "log")
        task, channel, _ = retried.pending_writes[0]
        saver.put_writes(retried.config, [(channel, "retried")], task)
        assert saver.get_tuple(retried.config).pending_writes == retried.pending_writes
    db = sqlite3.connect(path)
    tables = {name for (name,) in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
    carried = db.execute("SELECT timeline, key, task, idx, blob FROM derirezaro_attachments")
    assert carried.fetchall() == old and "derirezaro_langgraph_writes" not in tables
    assert db.execute("SELECT * FROM derirezaro_schema").fetchall() == [(sqlite_schema.SCHEMA, 1)]
    db.close()


def regenerate_fixture():
    """Write tests/data/timeline-v1.db afresh: `python3 tests/test_persist_durability.py`."""
    FIXTURE.unlink(missing_ok=True)
    with SQLiteLog(FIXTURE) as log:
        tl = log.timeline("fixture", store := Store())
        play_history(store, lambda seq: tl.commit(meta=seq, id="first" if seq == 2 else None))
    sqlite3.connect(FIXTURE, isolation_level=None).execute("VACUUM")


if __name__ == "__main__":
    writer(*sys.argv[1:]) if sys.argv[1:] else regenerate_fixture()

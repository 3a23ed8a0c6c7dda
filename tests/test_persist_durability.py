"""Timelines under killed and racing writers and damaged bytes, and files kept from earlier releases.

The writers are processes running this file: `test_persist_durability.py LOCATION [PREFIX]` (`writer`).
Damage goes straight to the stored rows, by SQL on the file, so only the reads' checks can see it.
The LangGraph saver's file of schema 2 is written by `tools/make_langgraph_v2_fixture.py`.
"""

import importlib.util
import json
import os
import random
import shutil
import sqlite3
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import postgres_server
import pytest
from derirezaro import Store, dumps
from derirezaro.persist import ConflictError, CorruptRecordError, FormatError, SQLiteLog, body, record
from derirezaro.persist.locate import open_log
from derirezaro.persist.sqlite_schema import SCHEMA
from test_persist_model import content

LANGGRAPH_V2_TOOL = Path(__file__).parents[1] / "tools" / "make_langgraph_v2_fixture.py"


def step(store, i):
    """Step i of the crash model, computable from i alone."""
    store.set("s", f"k{i % 7}", i)
    if i % 5 == 0:
        store.delete("s", f"k{(i + 3) % 7}")


def writer(location, *prefix):
    """Commits step after step to timeline "t", from the head's on, printing each seq it wins, until
    killed. Another writer may take a step first: this one then goes on from that writer's."""
    print("ready", flush=True)
    tl = opened(location, *prefix).timeline("t", store := Store())
    while True:
        i = tl.head.meta["step"] if tl.head else 0
        step(store, i + 1)
        try:
            # The writer in the meta: two writers' records of one step would otherwise be byte for
            # byte the same when their clocks read alike, and the log takes the second for a retry of
            # the first (both acknowledged, nothing lost, but this test counts the seq twice).
            print(tl.commit(meta={"step": i + 1, "by": os.getpid()}).seq, flush=True)
        except ConflictError:
            while tl.head.seq != tl.parent:  # until no commit slipped in between: the next one is head + 1
                tl.restore(tl.head.seq)


def opened(location, prefix=None):
    """The log at `location` (a SQLite file, or a PostgreSQL database and the prefix of its tables)."""
    return open_log(location, create=True, **({} if prefix is None else {"prefix": prefix}))


def spawn(where):
    command, pipe = [sys.executable, __file__, *map(str, where)], subprocess.PIPE
    return subprocess.Popen(command, stdout=pipe, stderr=pipe, text=True)


@pytest.mark.parametrize("kind", ["sqlite", "postgres"])
def test_killed_writers_keep_every_commit_they_returned(tmp_path, kind, request):
    # Two writers race for one timeline of one log, each waiting its turn for the file or the row
    # (never "database is locked"), and both are killed: most rounds while committing, the others
    # while opening the timeline. Each seq is won once, and each holds its step on the one before.
    if kind == "sqlite":
        where = (str(tmp_path / "crash.db"),)
    else:
        where = (request.getfixturevalue("postgres_url"), postgres_server.fresh_prefix())
    rng, model, done = random.Random(5), Store(), 0
    for round in range(12):
        children = [spawn(where), spawn(where)]
        first = []  # a seq returned before the kill was timed is acknowledged too
        for child in children:
            assert child.stdout.readline() == "ready\n"
            first.append("" if round % 4 == 0 else child.stdout.readline())
            assert round % 4 == 0 or first[-1]
        time.sleep(rng.uniform(0, 0.03))
        outputs = [child.kill() or child.communicate() for child in children]
        assert not any(err for _, err in outputs), outputs  # none failed before it was killed
        returned = [[*map(int, (seen + out).split())] for seen, (out, _) in zip(first, outputs, strict=True)]
        assert not set(returned[0]) & set(returned[1]), "two writers won one seq"
        with opened(*where) as log:
            tl = log.timeline("t", store := Store())
            n = tl.head.meta["step"] if tl.head else 0
            assert tl.verify() == [] and n >= max([*returned[0], *returned[1], done])
            assert round % 4 == 0 or n > done, "the writers committed nothing"
            assert [(r.seq, r.meta["step"]) for r in tl.records()] == [(i, i) for i in range(n, 0, -1)]
            for i in range(done + 1, n + 1):
                step(model, i)
            assert content(store.snapshot()) == content(model.snapshot())
            done = n


def test_opening_waits_for_a_writer_that_holds_the_file(tmp_path):
    db = sqlite3.connect(tmp_path / "busy.db", isolation_level=None, check_same_thread=False)
    db.executescript("CREATE TABLE other (x); BEGIN IMMEDIATE")  # as another opener of a new file does
    threading.Timer(0.2, db.execute, ("COMMIT",)).start()
    SQLiteLog(tmp_path / "busy.db").close()


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


SEALED = ("seq", "id", "parent", "base", "kind", "timestamp", "digest", "meta")  # the fields seal() takes


def test_every_read_of_a_damaged_record_reports_it(tmp_path):
    log, db = SQLiteLog(path := tmp_path / "t.db"), sqlite3.connect(tmp_path / "t.db", isolation_level=None)
    tl, rng = log.timeline("t", store := Store()), random.Random(3)
    changes = [("pad", rng.randbytes(1500) * 2), ("a", 2), ("b", 3), ("a", None), ("c", 5)]
    for seq, (key, value) in enumerate(changes, 1):
        store.delete("s", key) if value is None else store.set("s", key, value)
        tl.commit(meta={"step": seq}, id="two" if seq == 2 else None)
    assert [r.kind for r in tl.records()] == ["delta"] * 4 + ["keyframe"]
    db.row_factory = sqlite3.Row
    saved = db.execute("SELECT * FROM derirezaro_records").fetchall()
    fields = {row["seq"]: dict(row) for row in saved}  # of each record as it is sound

    def change(seq, columns):  # no columns: delete the record
        sets = ", ".join(f"{c} = CAST(? AS TEXT)" if c == "id" else f"{c} = ?" for c in columns)
        statement = f"UPDATE derirezaro_records SET {sets}" if columns else "DELETE FROM derirezaro_records"
        db.execute(f"{statement} WHERE seq = ?", (*columns.values(), seq))

    def resealed(seq, body):  # record `seq` with `body` in place of its own, and checksums that match
        r = log.read("t", seq, seq)[0]._asdict()
        row = record.seal("t", **{f: r[f] for f in SEALED}, body=body)
        return {f: getattr(row, f) for f in ("format", "header_crc", "crc", "body")}

    big, small = fields[1]["body"], fields[2]["body"]
    assert big.startswith(body.COMPRESSED) and not small.startswith(body.COMPRESSED)
    # (target, its changed columns, or none to delete it): every bit of every field of a small delta,
    # random bits of a keyframe's body, cut bodies, lost records, and deltas re-sealed with wrong changes.
    cases = [(2, {col: v}) for col, value in fields[2].items() for v in flips(value)]
    cases += [(1, {"body": flip(big, bit)}) for bit in rng.sample(range(8 * len(big)), 300)]
    cases += [(1, {"body": big[:-1]}), (2, {"body": small[:-1]}), (2, {}), (3, {})]
    # Under right checksums: a value changed, a pair removed that is absent, a change lost, a frame
    # that runs past the body, a compressed body cut short (core and bomb tests hold the rest).
    chunk = dumps([{"s": {"b": 3}}, {}])
    wrong = [(3, dumps([{"s": {"b": 4}}, {}])), (3, dumps([{}, {"s": ["zz"]}])), (4, dumps([{}, {}]))]
    wrong += [(3, body.FRAMED + (len(chunk) + 1).to_bytes(4, "big") + chunk), (3, body.compress(chunk)[:-1])]
    cases += [(seq, resealed(seq, data)) for seq, data in wrong]

    def named(error, seqs):  # the record, or the file whose log found its records out of the vouched range
        return error.timeline == "t" and (error.seq in seqs or error.file == str(path))

    for target, columns in cases:
        tl = log.timeline("t", Store(), cache_size=1)  # replays the sound head
        tl._points.keep_only(tl.parent)  # and keeps only it, so every other read goes to the damaged rows
        try:
            change(target, columns)
        except sqlite3.IntegrityError:  # a flipped seq that lands on another record's
            continue
        # A record gone from between the oldest kept and the head (deleted, or moved to another
        # seq or timeline) is damage too: the log still vouches for it.
        for ref, seqs in ((target, {target}), (4, {target, target + 1})):
            with pytest.raises(CorruptRecordError) as e:
                tl.checkout(ref)
            assert named(e.value, seqs), columns
        problems = tl.verify()
        assert {p.timeline for p in problems} == {"t"} and any(named(p, {target}) for p in problems), columns
        db.execute("DELETE FROM derirezaro_records")
        db.executemany(f"INSERT INTO derirezaro_records VALUES ({', '.join('?' * 13)})", saved)
    # A sound record from a newer format is no damage: it needs a newer reader, verify() included.
    tl = log.timeline("t", Store(), cache_size=1)
    with pytest.MonkeyPatch.context() as m:
        m.setattr(record, "format_of", lambda body: record.FORMAT + 1)
        change(3, resealed(3, fields[3]["body"]))
    for read in (lambda: tl.checkout(3), lambda: tl.checkout(4), tl.verify):
        with pytest.raises(FormatError) as e:
            read()
        assert (e.value.found, e.value.supported) == (record.FORMAT + 1, record.FORMAT)


def test_a_file_of_the_schema_2_langgraph_saver_reads_as_that_saver_read_it(tmp_path):
    pytest.importorskip("langgraph")
    from derirezaro.langgraph import DerirezaroSaver

    found = importlib.util.spec_from_file_location("make_langgraph_v2_fixture", LANGGRAPH_V2_TOOL)
    found.loader.exec_module(tool := importlib.util.module_from_spec(found))
    shutil.copyfile(tool.FIXTURE, path := tmp_path / "langgraph-v2.db")
    db = sqlite3.connect(path, isolation_level=None)
    old = db.execute(  # in the table's key order: the order that saver read them in
        "SELECT * FROM derirezaro_langgraph_writes ORDER BY timeline, checkpoint, task, idx"
    ).fetchall()
    marks = {key for _, key, task, _, _ in old if task == "\x00mark"}
    assert "" in marks and len(marks) > 1, "the fixture holds a floor mark, and marks of checkpoints"
    orphan = (999, "cp", "task", 0, b"\x00")  # of no timeline in the file: not carried over
    db.execute("INSERT INTO derirezaro_langgraph_writes VALUES (?, ?, ?, ?, ?)", orphan)
    with DerirezaroSaver.sqlite(path) as saver:
        assert tool.reads(saver) == json.loads(tool.EXPECTED.read_text())
        # Entries as today's saver stores them: a retried task's write finds its first, which stays.
        retried = next(t for t in saver.list(None) if t.pending_writes and t.pending_writes[0][1] == "log")
        task, channel, _ = retried.pending_writes[0]
        saver.put_writes(retried.config, [(channel, "retried")], task)
        assert saver.get_tuple(retried.config).pending_writes == retried.pending_writes
    tables = {name for (name,) in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
    carried = db.execute("SELECT timeline, key, task, idx, blob FROM derirezaro_attachments")
    assert carried.fetchall() == old and "derirezaro_langgraph_writes" not in tables
    assert db.execute("SELECT * FROM derirezaro_schema").fetchall() == [(SCHEMA, 1)]
    db.close()


if __name__ == "__main__":
    writer(*sys.argv[1:])

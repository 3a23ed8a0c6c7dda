"""The `derirezaro` command, run as a user runs it: a process of its own on a real SQLite file or Redis.

Each test builds its log in-process, then reads what the command prints and the status it exits
with. Timeline "alpha" holds the values JSON has no form for (`FORMS`, in namespace "forms"), a
chosen id, and a key deleted on the way, so show, diff and export meet them all.
"""

import contextlib
import functools
import hashlib
import json
import operator
import os
import shutil
import sqlite3
import subprocess
import sys

import postgres_server
import pytest
from conftest import langgraph_or_skip
from derirezaro import Store
from derirezaro.cli import main
from derirezaro.persist import PostgresLog, RedisLog, SQLiteLog, Timeline
from derirezaro.persist.errors import UnavailableError
from redis_server import fresh_prefix, shared_url
from test_persist_logs import holds

FORMS = [  # (a stored value, how the command prints it)
    (b"\x00\xff", {"$bytes": "AP8="}),
    ({"$bytes": "x"}, {"$map": [["$bytes", "x"]]}),  # a user's own map, never read as bytes
    (float("-inf"), {"$float": "-inf"}),
    ({"deep": [{"k": b"k"}, 2.5]}, {"deep": [{"k": {"$bytes": "aw=="}}, 2.5]}),
    ([1, "a", None, True], [1, "a", None, True]),
]
CHOSEN_META = {"step": 7, "by": {1: b"\x01"}}  # meta, unlike a state, may hold keys that are not str
FORMS_AT_HEAD = {str(i): printed for i, (_, printed) in enumerate(FORMS) if i != 0}  # "0" deleted at 4


def fill(log):
    """alpha: 12 commits, record 7 with id "chosen", forms/0 deleted at 4; beta: 3 commits."""
    store = Store(max_history=0)
    alpha = Timeline(log, "alpha", store, keyframe_every=4)  # keyframes at 1, 5 and 9: a prune removes some
    for i, (value, _) in enumerate(FORMS):
        store.set("forms", str(i), value)
    for step in range(1, 13):
        store.set("agent", "step", step)
        if step == 4:
            store.delete("forms", "0")
        alpha.commit(meta=CHOSEN_META if step == 7 else {"step": step}, id="chosen" if step == 7 else None)
    beta = Timeline(log, "beta", store := Store(max_history=0))
    for step in range(3):
        store.set("b", "n", step)
        beta.commit()


def cli(*args, input=None, env=None):
    """(exit status, stdout, stderr) of `python -m derirezaro ARGS`."""
    environment = {name: value for name, value in os.environ.items() if name != "DERIREZARO_LOG"}
    command, environment = [sys.executable, "-m", "derirezaro", *args], {**environment, **(env or {})}
    done = subprocess.run(command, input=input, capture_output=True, env=environment)
    if done.returncode not in (0, 1):  # every failure is one line, never a traceback
        assert done.stderr.decode().startswith("derirezaro: error: "), done.stderr
        assert done.stderr.count(b"\n") == 1, done.stderr
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def ok(*args, **options):
    status, out, err = cli(*args, **options)
    assert status == 0, (args, err)
    return out


def loads(*args):
    return json.loads(ok(*args))


@pytest.fixture(scope="module")
def sound(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("cli") / "log.db")
    with contextlib.closing(SQLiteLog(path)) as log:
        fill(log)
    return path


def server_location(backend, request):
    """A server's log filled as the sound file is, and where the command finds it."""
    redis = backend == "redis"
    url = shared_url() if redis else request.getfixturevalue("postgres_url")
    prefix = fresh_prefix() if redis else postgres_server.fresh_prefix()
    with contextlib.closing((RedisLog if redis else PostgresLog)(url, prefix=prefix)) as log:
        fill(log)
        log.timelines()  # a Redis log's first listing completes its names set, once: a write
    return [url, "--prefix", prefix]


def stored(backend, location):
    """What the log at `location` stores, to the byte: "wrote nothing" compares it."""
    if backend == "sqlite":
        return hashlib.sha256(open(location[0], "rb").read()).digest()
    url, _, prefix = location
    with contextlib.closing((RedisLog if backend == "redis" else PostgresLog)(url, prefix=prefix)) as log:
        return holds(log)


def ls_names(out):
    return [line.split()[-1] for line in out.splitlines()[1:]]


def field(*path):
    """What a JSON output holds at `path`."""
    return lambda out: functools.reduce(operator.getitem, path, json.loads(out))


def header(out):
    return {k: v for k, v in json.loads(out)["record"].items() if k not in ("time", "size")}


REMOVED_BYTES = {"0": {"old": {"$bytes": "AP8="}}}
# (command, exit status, what of its output is compared, what that must be): the read-only
# commands, on either log.
READING = [
    (["ls"], 0, ls_names, ["alpha", "beta"]),
    (["ls", "al"], 0, ls_names, ["alpha"]),
    (["ls", "--json"], 0, lambda out: [(t["name"], t["head"], t["records"]) for t in json.loads(out)],
     [("alpha", 12, 12), ("beta", 3, 3)]),
    (["show", "alpha"], 0, field("state"), {"agent": {"step": 12}, "forms": FORMS_AT_HEAD}),
    (["show", "alpha", "3"], 0, field("state", "forms"), {str(i): form for i, (_, form) in enumerate(FORMS)}),
    (["show", "alpha", "chosen"], 0, header, {"seq": 7, "id": "chosen", "parent": 6, "kind": "delta",
     "meta": {"step": 7, "by": {"$map": [[1, {"$bytes": "AQ=="}]]}}}),
    (["show", "alpha", "4", "--change"], 0, field("change"),
     {"agent": {"step": {"old": 3, "new": 4}}, "forms": REMOVED_BYTES}),
    (["show", "beta", "1", "--change"], 0, field("change"), {"b": {"n": {"new": 0}}}),
    (["diff", "alpha", "2", "chosen"], 0, field("changes"),
     {"agent": {"step": {"old": 2, "new": 7}}, "forms": REMOVED_BYTES}),
    (["diff", "alpha", "5", "5"], 0, field("changes"), {}),
    (["verify"], 0, str, "verified 2 timelines, 15 records: sound\n"),
    (["verify", "beta", "--json"], 0, json.loads,
     {"timelines": 1, "records": 3, "sound": True, "damaged": []}),
    (["stats", "--json"], 0, lambda out: (field("timelines")(out), field("records")(out)), (2, 15)),
    (["show", "gamma"], 4, str, ""),
    (["show", "alpha", "13"], 4, str, ""),
    (["verify", "gamma"], 4, str, ""),
    (["diff", "alpha", "1"], 2, str, ""),
    (["frobnicate"], 2, str, ""),
    (["show", "--help"], 0, lambda out: "SEQ|ID" in out and "$bytes" in out, True),
]  # fmt: skip


@pytest.mark.parametrize("backend", ["sqlite", "redis", "postgres"])
def test_reading_commands_print_what_the_log_holds_and_write_nothing(backend, sound, request):
    location = [sound] if backend == "sqlite" else server_location(backend, request)
    before = stored(backend, location)
    failed = []
    for args, status, project, expected in READING:
        found, out, err = cli(*location, *args)
        if found != status or project(out) != expected:
            failed.append((args, found, out, err))
    assert failed == []
    assert stored(backend, location) == before
    storage = loads(*location, "stats", "--json")
    assert {"sqlite": "file", "redis": "server"}.get(backend, "records") in storage


def test_where_the_log_is(sound, tmp_path, postgres_url):
    foreign = str(tmp_path / "other.db")
    unused = postgres_server.fresh_prefix()
    with contextlib.closing(sqlite3.connect(foreign)) as db:
        db.execute("CREATE TABLE mine (x)")
    cases = [  # (arguments, environment, status): the location first, by --log, or from DERIREZARO_LOG
        ([sound, "ls"], None, 0),
        (["--log", sound, "ls"], None, 0),
        (["ls"], {"DERIREZARO_LOG": sound}, 0),
        ([f"sqlite:///{sound}", "ls"], None, 0),
        (["ls"], None, 2),  # none named
        (["ftp://host/x", "ls"], None, 2),
        ([str(tmp_path / "missing.db"), "verify"], None, 3),
        ([foreign, "ls"], None, 3),  # another program's database is not given tables
        ([foreign, "prune", "alpha", "--keep", "1"], None, 3),
        ([sound, "--prefix", "p", "ls"], None, 2),  # a SQLite file has no prefix
        ([postgres_url, "--prefix", unused, "ls"], None, 3),  # no tables there: none are made
        ([postgres_url, "--prefix", "Not-A-Name", "ls"], None, 2),
    ]
    assert [cli(*args, env=env)[0] for args, env, _ in cases] == [status for *_, status in cases]
    assert not os.path.exists(tmp_path / "missing.db")
    with contextlib.closing(sqlite3.connect(foreign)) as db:
        assert db.execute("SELECT name FROM sqlite_master").fetchall() == [("mine",)]
    with contextlib.closing(PostgresLog(postgres_url, prefix=unused, setup=False)) as log:
        assert log.version() is None


def test_an_export_imported_under_a_new_name_verifies_and_reads_the_same(sound, tmp_path):
    whole, head, other = (str(tmp_path / name) for name in ("alpha.dz", "head.dz", "other.db"))
    ok(sound, "export", "alpha", whole)
    ok(sound, "export", "alpha", head, "--head-only")
    assert ok(other, "import", whole, "--as", "gamma") == "imported 12 records as 'gamma'\n"
    assert ok(other, "import", head, "--as", "head") == "imported 1 record as 'head'\n"
    assert ok(other, "import", "-", "--as", "piped", input=open(whole, "rb").read()).startswith("imported 12")
    ok(sound, "copy", "alpha", "--to", other, "--as", "copied")
    assert cli(other, "import", whole, "--as", "gamma")[0] == 5  # the name is taken
    assert cli(sound, "export", "beta", other)[0] == 2  # a log is no earlier export: left whole
    assert ok(other, "verify") == "verified 4 timelines, 37 records: sound\n"
    ok(sound, "export", "beta", whole)  # an earlier export is replaced
    expected = loads(sound, "show", "alpha")["state"]
    for name in ("gamma", "head", "piped", "copied"):
        assert loads(other, "show", name)["state"] == expected, name
    assert loads(other, "show", "gamma", "chosen")["state"] == loads(sound, "show", "alpha", "7")["state"]


def test_a_failed_import_says_what_it_left_behind(sound, tmp_path, monkeypatch, capsys):
    cut = tmp_path / "cut.dz"
    ok(sound, "export", "alpha", str(cut))
    cut.write_bytes(cut.read_bytes()[:-200])  # damage met after some records landed

    def refused(log, name):  # the drop that cleans up fails too (a lock held, a full disk)
        raise UnavailableError(log.path, "database is locked")

    monkeypatch.setattr(SQLiteLog, "drop", refused)
    assert main([str(tmp_path / "other.db"), "import", str(cut), "--as", "gamma"]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "timeline 'gamma' is left incomplete" in err


def test_prune_reports_what_is_gone_and_verify_finds_a_flipped_byte_in_what_is_left(sound, tmp_path):
    copy = shutil.copy(sound, tmp_path / "log.db")
    before = {t["name"]: t for t in loads(copy, "ls", "--json")}
    pruned = loads(copy, "prune", "alpha", "--keep", "3", "--json")
    after = {t["name"]: t for t in loads(copy, "ls", "--json")}
    kept = after["alpha"]["records"]  # 9 to 12: the keyframe at 9 stays for 10 to 12
    assert pruned["records"] == before["alpha"]["records"] - kept > 0
    assert pruned["bytes"] == before["alpha"]["bytes"] - after["alpha"]["bytes"] > 0
    assert (pruned["first"], pruned["head"], after["beta"]) == (12 - kept + 1, 12, before["beta"])
    assert cli(copy, "show", "alpha", "1")[0] == 4
    assert ok(copy, "verify") == f"verified 2 timelines, {3 + kept} records: sound\n"
    assert ok(copy, "prune", "alpha", "--keep", "3").startswith("removed 0 records, 0 bytes, ")
    assert ok(copy, "vacuum").startswith("gave back ")
    # A byte of a delta's body flipped: verify names the record, and so does a read that replays it.
    with contextlib.closing(sqlite3.connect(copy, isolation_level=None)) as db:
        where = "WHERE timeline = (SELECT id FROM derirezaro_timelines WHERE name = 'alpha') AND seq = 10"
        (body,) = db.execute(f"SELECT body FROM derirezaro_records {where}").fetchone()
        db.execute(f"UPDATE derirezaro_records SET body = ? {where}", (body[:-1] + bytes([body[-1] ^ 1]),))
    status, out, _ = cli(copy, "verify")
    assert status == 1 and out.startswith("damaged: timeline 'alpha', record 10: ")
    assert out.endswith(f"verified 2 timelines, {3 + kept} records: damage in 1 of them\n")
    status, out, _ = cli(copy, "verify", "--json")
    report = json.loads(out)
    damaged = [(e["timeline"], e["seq"]) for e in report["damaged"]]
    assert (status, report["sound"], damaged) == (1, False, [("alpha", 10)])
    assert cli(copy, "verify", "beta")[0] == 0
    status, _, err = cli(copy, "show", "alpha", "11")
    assert status == 1 and err.startswith("derirezaro: error: damaged: timeline 'alpha', record 10")


def test_import_langgraph_copies_threads_once_and_ls_lists_them(tmp_path):
    langgraph_or_skip()
    from langgraph.checkpoint.sqlite import SqliteSaver
    from langgraph.graph import START, StateGraph

    source, target = str(tmp_path / "langgraph.db"), str(tmp_path / "target.db")
    graph = StateGraph(dict).add_node("step", lambda state: {"n": state["n"] + 1}).add_edge(START, "step")
    with contextlib.closing(sqlite3.connect(source, check_same_thread=False)) as db:
        app = graph.compile(checkpointer=SqliteSaver(db))
        for thread in ("one", "two"):
            app.invoke({"n": 0}, {"configurable": {"thread_id": thread}})
    before = open(source, "rb").read()
    status, _, err = cli(source, "ls")  # LangGraph's own file is no log, and is left as it is
    assert status == 3 and "import-langgraph" in err and open(source, "rb").read() == before
    first = ok("import-langgraph", source, target)
    assert first.startswith("imported 2 threads, ") and first.endswith("; 0 checkpoints were there already\n")
    checkpoints = int(first.split(", ")[1].split()[0])
    assert ok(target, "import-langgraph", source) == (
        f"imported 0 threads, 0 checkpoints, 0 writes; {checkpoints} checkpoints were there already\n"
    )
    listed = loads(target, "ls", "--langgraph", "--json")
    assert [(t["thread_id"], t["checkpoint_ns"]) for t in listed] == [("one", ""), ("two", "")]
    assert sum(t["records"] for t in listed) >= checkpoints
    assert cli(target, "prune", listed[0]["timeline"], "--keep", "1")[0] == 2  # the saver prunes its own
    # A thread's pending writes are sealed with its name: its export is refused under another one.
    dump = str(tmp_path / "one.dz")
    ok(target, "export", listed[0]["timeline"], dump)
    assert cli(target, "import", "-", "--as", "lg/3/six/", input=open(dump, "rb").read())[0] == 2
    assert len(loads(target, "ls", "--json")) == 2
    from derirezaro.langgraph import DerirezaroSaver

    with DerirezaroSaver.from_conn_string(target) as saver:
        saver.prune(["one"])
    out = ok(target, "import-langgraph", source)  # what the saver pruned is not put back
    assert out.startswith("imported 0 threads, 0 checkpoints, ") and "\nleft out " in out


def test_import_langgraph_reads_the_source_before_it_makes_the_target(tmp_path):
    langgraph_or_skip()
    from langgraph.checkpoint.sqlite import SqliteSaver
    from langgraph.graph import START, StateGraph

    sound_source = str(tmp_path / "langgraph.db")
    graph = StateGraph(dict).add_node("step", lambda state: {"n": state["n"] + 1}).add_edge(START, "step")
    with contextlib.closing(sqlite3.connect(sound_source, check_same_thread=False)) as db:
        graph.compile(checkpointer=SqliteSaver(db)).invoke({"n": 0}, {"configurable": {"thread_id": "t"}})
    data = open(sound_source, "rb").read()
    pages = data[:4096] + b"\xff" * (len(data) - 4096)  # the schema whole, every table's page damaged
    blob = "UPDATE checkpoints SET checkpoint = x'c1c1c1'"  # SQLite sound, a value the serde refuses
    spoilt = [  # (what the source is, exit status, whether the target is made before it fails)
        (None, 3, False),  # no such file
        (b"x" * 5000, 1, False),  # no SQLite file
        (data[: len(data) // 2], 1, False),  # cut short
        (pages, 1, True),
        (blob, 1, True),
        ("DROP TABLE writes", 2, False),  # SQLite, but not LangGraph's
    ]
    found = []
    for at, (spoil, _, _) in enumerate(spoilt):
        source, target = str(tmp_path / f"source{at}.db"), str(tmp_path / f"target{at}.db")
        if isinstance(spoil, bytes):
            open(source, "wb").write(spoil)
        elif spoil is not None:
            shutil.copy(sound_source, source)
            with contextlib.closing(sqlite3.connect(source)) as db, db:
                db.execute(spoil)
        found.append((spoil, cli("import-langgraph", source, target)[0], os.path.exists(target)))
    assert found == spoilt

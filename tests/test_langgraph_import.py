"""Switching from LangGraph's own savers: the importer, `from_conn_string`, and `ttl` in LangGraph's form.

The source is a file of LangGraph's SQLite checkpointer written by real graphs: parallel nodes, one
of which interrupts (so the other's writes and the interrupt are pending writes), a subgraph that
interrupts in a namespace of its own, a fork from an old checkpoint, and a thread left waiting on
an interrupt. The import must give every checkpoint back as the source gives it, resume as the
source resumes, and copy nothing twice, however often it is run or wherever it was stopped.
"""

import contextlib
import operator
import sqlite3
import sys
from typing import Annotated, Any, TypedDict

import postgres_server
import pytest
import redis
from conftest import langgraph_or_skip

langgraph_or_skip()

from derirezaro.langgraph import DerirezaroSaver, LangGraphFileError, import_langgraph, sqlite_source
from derirezaro.langgraph.branch import timeline_name
from derirezaro.langgraph.ttl import ttl_setting
from derirezaro.persist import MemoryLog, PostgresLog, RedisLog, SQLiteLog
from derirezaro.persist.errors import UnavailableError
from langgraph.checkpoint.base import empty_checkpoint
from langgraph.checkpoint.memory import InMemorySaver
from langgraph.checkpoint.sqlite import SqliteSaver
from langgraph.graph import START, StateGraph
from langgraph.types import Command, interrupt
from redis_server import fresh_prefix, shared_url, wait_for


class State(TypedDict):
    log: Annotated[list, operator.add]
    answer: Any


def builder():
    sub = StateGraph(State).add_node("ask", lambda state: {"log": [f"sub:{interrupt('sub?')}"]})
    graph = StateGraph(State).add_node("a", lambda state: {"log": ["a"]})
    graph.add_node("b", lambda state: {"log": ["b"], "answer": interrupt("ok?")})
    graph.add_node("c", lambda state: {"log": ["c"]}).add_node("sub", sub.add_edge(START, "ask").compile())
    return graph.add_edge(START, "a").add_edge(START, "b").add_edge(["a", "b"], "c").add_edge("c", "sub")


THREADS = ("done", "waiting", "forked")


def config(thread):
    return {"configurable": {"thread_id": thread}}


def run_threads(saver):
    graph = builder().compile(checkpointer=saver)
    for thread in THREADS:
        graph.invoke({"log": [thread]}, config(thread))  # interrupted in b, a's writes pending
    for thread in ("done", "forked"):
        graph.invoke(Command(resume="yes"), config(thread))  # on into the subgraph's interrupt
        graph.invoke(Command(resume="sure"), config(thread))
    old = list(graph.get_state_history(config("forked")))[-2].config
    graph.update_state(old, {"log": ["fork"]}, as_node="a")
    graph.invoke(None, config("forked"))


@pytest.fixture
def langgraph_file(tmp_path):
    """A file of LangGraph's SQLite checkpointer, and a saver on it."""
    path = str(tmp_path / "langgraph.db")
    saver = SqliteSaver(sqlite3.connect(path, check_same_thread=False))
    run_threads(saver)
    yield path, saver
    saver.conn.close()


@pytest.fixture(params=["file", "pruned file", "sqlite saver", "memory saver", "derirezaro saver"])
def source(request, langgraph_file):
    """What an import is given, and a saver that reads it."""
    if request.param == "pruned file":  # what a pruning saver leaves: a checkpoint's parent gone
        root = "FROM checkpoints WHERE thread_id = 'forked' AND checkpoint_ns = ''"
        with contextlib.closing(sqlite3.connect(langgraph_file[0])) as conn, conn:
            third = conn.execute(f"SELECT checkpoint_id {root} ORDER BY 1 LIMIT 1 OFFSET 2").fetchone()
            assert conn.execute(f"DELETE {root} AND checkpoint_id = ?", third).rowcount == 1
    if request.param.endswith("file"):
        return langgraph_file
    if request.param == "sqlite saver":
        return langgraph_file[1], langgraph_file[1]
    saver = InMemorySaver() if request.param == "memory saver" else DerirezaroSaver.memory()
    run_threads(saver)
    return saver, saver


def tuples(saver, thread):
    """Every checkpoint of every namespace of a thread, in one order whatever the saver lists by."""
    return sorted(saver.list(config(thread)), key=lambda t: tuple(t.config["configurable"].values())[1:])


def assert_equal(source_saver, target):
    graph, imported = builder().compile(checkpointer=source_saver), builder().compile(checkpointer=target)
    for thread in THREADS:
        history = [list(each.get_state_history(config(thread))) for each in (imported, graph)]
        assert history[0] == history[1] and tuples(target, thread) == tuples(source_saver, thread)


@pytest.fixture(params=["sqlite", "redis"])
def target(request, tmp_path):
    where = str(tmp_path / "target.db") if request.param == "sqlite" else shared_url()
    options = {} if request.param == "sqlite" else {"prefix": fresh_prefix()}
    with DerirezaroSaver.from_conn_string(where, **options) as saver:
        yield saver


def test_an_import_gives_every_checkpoint_back_and_resumes_as_the_source(source, target):
    path, source_saver = source
    seen = []
    report = import_langgraph(path, target, progress=lambda done, total: seen.append((done, total)))
    total = sum(len(tuples(source_saver, thread)) for thread in THREADS)
    writes = sum(len(t.pending_writes) for thread in THREADS for t in tuples(source_saver, thread))
    assert (report.threads, report.checkpoints, report.writes, report.skipped) == (3, total, writes, 0)
    assert seen == [(1, 3), (2, 3), (3, 3)] and report.unrevivable == []
    assert_equal(source_saver, target)
    again = import_langgraph(path, target)
    assert (again.threads, again.checkpoints, again.writes, again.skipped) == (0, 0, 0, total)
    assert_equal(source_saver, target)  # nothing doubled
    heads = [target.get_tuple(config(thread)).config for thread in THREADS]
    target.prune(list(THREADS))  # what the target pruned stays pruned: put back, it would be the newest
    kept = sum(len(tuples(target, thread)) for thread in THREADS)
    third = import_langgraph(path, target)
    assert (third.checkpoints, third.skipped, third.left_out) == (0, kept, total - kept)
    assert [target.get_tuple(config(thread)).config for thread in THREADS] == heads

    def resumed(saver):
        result = builder().compile(checkpointer=saver).invoke(Command(resume="later"), config("waiting"))
        return result["log"], result["answer"], [i.value for i in result["__interrupt__"]]

    assert resumed(target) == resumed(source_saver) == (["waiting", "a", "b", "c"], "later", ["sub?"])


class Killed(Exception):
    pass


class KilledAfter:
    """A log whose `n`-th write raises, before it lands or after it landed (an unknown outcome)."""

    def __init__(self, log, n, landed):
        self.log, self.left, self.landed = log, n, landed

    def __getattr__(self, name):
        call = getattr(self.log, name)

        def write(*args, **kwargs):
            self.left -= 1
            result = call(*args, **kwargs) if self.left or self.landed else None
            if self.left == 0:
                raise Killed
            return result

        return write if name in ("append", "attach") else call


@pytest.mark.parametrize("landed", [False, True])
def test_an_import_stopped_anywhere_completes_when_run_again(langgraph_file, landed):
    path, source_saver = langgraph_file
    tables = sorted(sqlite3.connect(path).execute("SELECT name FROM sqlite_master"))
    # A saver refuses LangGraph's file however it is named, and leaves it as it was.
    sqlite, from_conn_string = DerirezaroSaver.sqlite, DerirezaroSaver.from_conn_string
    for how, where in [(sqlite, path), (from_conn_string, path), (from_conn_string, f"sqlite:///{path}")]:
        with pytest.raises(LangGraphFileError, match="import-langgraph"):
            how(where)
    assert sorted(sqlite3.connect(path).execute("SELECT name FROM sqlite_master")) == tables
    log, runs = MemoryLog(), 1
    while True:  # killed at every third write, run again until a run gets through
        try:
            report = import_langgraph(path, DerirezaroSaver(KilledAfter(log, 3, landed)))
            break
        except Killed:
            runs += 1
    total = sum(len(tuples(source_saver, t)) for t in THREADS)
    assert runs > total // 3 and report.checkpoints + report.skipped == total
    assert_equal(source_saver, DerirezaroSaver(log))


def test_a_source_its_writer_locks_is_unavailable_when_opened_or_midway(langgraph_file, monkeypatch):
    path, source_saver = langgraph_file
    source_saver.conn.execute("PRAGMA journal_mode=DELETE")  # a writer's lock keeps readers out
    read_only = sqlite_source._read_only

    def impatient(path):  # met at once, not after the busy timeout
        conn = read_only(path)
        conn.execute("PRAGMA busy_timeout = 0")
        return conn

    monkeypatch.setattr(sqlite_source, "_read_only", impatient)
    holder = sqlite3.connect(path, isolation_level=None)
    for at in (0, 1):  # taken before the import opens the source, or once its first thread is copied

        def lock(done, total, at=at):
            if done == at:
                holder.execute("BEGIN EXCLUSIVE")

        lock(0, len(THREADS))
        with pytest.raises(UnavailableError, match=f"{path}: database is locked"):
            import_langgraph(path, DerirezaroSaver(MemoryLog()), progress=lock)
        holder.execute("ROLLBACK")
    holder.close()


def test_values_this_process_cannot_revive_are_reported_and_kept_whole(tmp_path, monkeypatch):
    module = tmp_path / "lg_import_thing.py"
    module.write_text("import dataclasses\n\n@dataclasses.dataclass\nclass Thing:\n    n: int\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    from lg_import_thing import Thing

    graph = StateGraph(State).add_node("n", lambda state: {"answer": [Thing(1), {"plain": Thing(2)}]})
    graph.add_edge(START, "n")
    source_saver = SqliteSaver(sqlite3.connect(str(tmp_path / "lg.db"), check_same_thread=False))
    graph.compile(checkpointer=source_saver).invoke({"log": []}, config("t"))
    module.rename(tmp_path / "hidden")
    monkeypatch.delitem(sys.modules, "lg_import_thing")
    with DerirezaroSaver.from_conn_string(str(tmp_path / "target.db")) as target:
        report = import_langgraph(str(tmp_path / "lg.db"), target)
    # Its pending writes (the node's) and its values (the last checkpoint) hold the type.
    assert [u.types for u in report.unrevivable] == [("lg_import_thing.Thing",)] * 2
    assert "lg_import_thing.Thing" in str(report.unrevivable[0]) and report.checkpoints == 3
    (tmp_path / "hidden").rename(module)
    with DerirezaroSaver.from_conn_string(str(tmp_path / "target.db")) as target:
        revived = target.get_tuple(config("t")).checkpoint["channel_values"]["answer"]
    assert repr(revived) == "[Thing(n=1), {'plain': Thing(n=2)}]"  # the class imported anew, not a dict


LOCATIONS = {"file": SQLiteLog, "sqlite:///": SQLiteLog, ":memory:": SQLiteLog, "memory:": MemoryLog}


@pytest.mark.parametrize("location", [*LOCATIONS, "redis", "postgres"])
def test_from_conn_string_opens_the_log_a_location_names_and_ttl_needs_one_that_expires(
    tmp_path, location, request
):
    url = {"file": str(tmp_path / "c.db"), "sqlite:///": f"sqlite:///{tmp_path}/c.db", "redis": shared_url()}
    options = {"prefix": fresh_prefix()} if location == "redis" else {}
    if location == "postgres":
        url["postgres"] = request.getfixturevalue("postgres_url")
        options = {"prefix": postgres_server.fresh_prefix(), "prepare_threshold": None}
    where, expires = url.get(location, location), location == "redis"
    if not expires:  # refused before anything is opened or made
        pytest.raises(ValueError, DerirezaroSaver.from_conn_string, where, ttl=60, **options).match("Redis")
    with DerirezaroSaver.from_conn_string(where, **options) as saver:
        assert type(saver.log) is {**LOCATIONS, "redis": RedisLog, "postgres": PostgresLog}[location]
        if not expires:
            with pytest.raises(ValueError, match="refresh_on_read"):
                DerirezaroSaver(saver.log, refresh_on_read=True)
    assert (tmp_path / "c.db").exists() == (location in ("file", "sqlite:///"))


TTL = [  # (what the saver is given, (seconds, refresh_on_read) or the error it raises)
    (None, (None, False)), (90, (90.0, False)), ({"default_ttl": 2, "refresh_on_read": True}, (120.0, True)),
    ({"default_ttl": 0.5}, (30.0, False)), ({"default_ttl": None, "refresh_on_read": True}, (None, False)),
    ({"default_ttl": 1, "sweep_interval_minutes": 5, "strategy": "delete", "omit_expired": True},
     (60.0, False)),
    ("60", TypeError), (True, TypeError), (-1, ValueError), ({"default_ttl": 0}, ValueError),
    ({"default_ttl": "1"}, TypeError), ({"refresh_on_read": "yes"}, TypeError),
    ({"strategy": "keep_latest", "default_ttl": 1}, ValueError), ({"default_ttl": 1, "ttl": 1}, ValueError),
    (1e13, ValueError), ({"default_ttl": 2e11}, ValueError),  # past what a Redis script keeps exact
]  # fmt: skip


@pytest.mark.parametrize("ttl, expected", TTL)
def test_ttl_in_either_form(ttl, expected):
    if isinstance(expected, type):
        with pytest.raises(expected, match="ttl"):
            ttl_setting(ttl)
    else:
        assert ttl_setting(ttl) == expected


@pytest.mark.parametrize("refresh", [True, False])
def test_a_thread_expires_whole_and_reads_start_its_ttl_again_only_where_asked(refresh):
    client = redis.Redis.from_url(shared_url())
    ttl = {"default_ttl": 10, "refresh_on_read": refresh}
    with DerirezaroSaver.from_conn_string(shared_url(), prefix=fresh_prefix(), ttl=ttl) as saver:
        conf = saver.put(config("t"), empty_checkpoint(), {"step": -1}, {})
        saver.put_writes(conf, [("w", 1)], "task")
        for step in range(20):
            conf = saver.put(conf, {**empty_checkpoint(), "channel_values": {"n": step}}, {"step": step}, {})
        keys = saver.log._keys(timeline_name("t", ""))
        ttls = [client.pttl(key) for key in keys]  # every key's, set together by the last put
        assert all(0 < t <= 600_000 for t in ttls) and max(ttls) - min(ttls) < 50
        for read in (lambda: saver.get_tuple(conf), lambda: list(saver.list(config("t")))):
            for key in keys:
                client.pexpire(key, 500)  # as if the thread had been idle for nearly ten minutes
            read()
            ttls = [client.pttl(key) for key in keys if client.exists(key)]
            assert ttls and all(t > 590_000 if refresh else t <= 500 for t in ttls)
        if not refresh:  # idle, it expires: all of it, so a read finds no part of it
            wait_for(lambda: not client.exists(*keys), "the thread expiring", 5)
            assert saver.get_tuple(config("t")) is None and saver.log.timelines() == []

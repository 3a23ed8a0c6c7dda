"""What every log kind owes when called directly, held to one table or one reference each.

The model test (test_persist_model.py) drives timelines over every log; here are the calls a
timeline does not make that way: compare-and-set and its retries, prunes of forked chains,
attachments checked step by step against the memory log, names under a prefix, and arguments
refused. Each runs over every entry of LOGS. Then what a refusal of a server or a file must do,
the same for each log that can meet one, and what each failure its driver raises means.
"""

import contextlib
import functools
import logging
import math
import os
import random
import sqlite3
import threading
import time

import postgres_server
import pytest
from derirezaro import Store
from derirezaro.persist import (
    ConflictError,
    ConnectionLostError,
    CorruptRecordError,
    MemoryLog,
    PersistError,
    RedisLog,
    SQLiteLog,
    TimelineHead,
    UnavailableError,
    postgres_schema,
    refusal_log,
    sqlite_errors,
    timeline,
)
from derirezaro.persist.postgres import PostgresLog
from derirezaro.persist.record import DELTA, KEYFRAME, seal
from hypothesis import given, settings
from hypothesis import strategies as st
from redis_server import free_port, wait_for
from test_persist_model import LOGS, in_order

KEYFRAME_FIELDS = {"parent": None, "kind": KEYFRAME, "timestamp": 1.5, "digest": 0, "meta": b""}


def sealed(name, seq, body=b"x", id=None, base=None, timestamp=1.5):
    """A record a log stores verbatim (any body will do): a keyframe, or with `base` a delta on seq - 1."""
    kind = {} if base is None else {"kind": DELTA, "parent": seq - 1}
    fields = {**KEYFRAME_FIELDS, "timestamp": timestamp, **kind}
    return seal(name, seq=seq, id=id, base=base or seq, body=body, **fields)


SAVER_CONNECTION = "postgres-saver-connection"


@pytest.fixture(params=[*sorted(LOGS), SAVER_CONNECTION])
def log(request, tmp_path):
    if request.param != SAVER_CONNECTION:
        with contextlib.closing(LOGS[request.param](tmp_path)()) as log:
            yield log
        return
    # LangGraph's PostgreSQL saver wants dict rows and prepares every statement: a connection a user
    # made for it serves the log unchanged, and its rows stay dicts for its owner.
    url = postgres_server.shared_url()  # first: where PostgreSQL is missing, this skips or fails
    from psycopg import connect
    from psycopg.rows import dict_row

    with connect(url, autocommit=True, prepare_threshold=0, row_factory=dict_row) as conn:
        with contextlib.closing(PostgresLog(conn, prefix=postgres_server.fresh_prefix())) as log:
            assert log.version() == postgres_schema.SCHEMA
            yield log
        assert conn.execute("SELECT 1 AS one").fetchone() == {"one": 1}


def test_append_is_a_compare_and_set_that_a_retry_passes(log):
    def at(seq):  # what the log vouched for when `seq` was the head, before any prune
        return TimelineHead(log.head("t").incarnation, seq, stored[seq].crc, 1)

    def attempt(expected, row):  # the (seq, first) vouched for; a conflict's (expected, actual)
        try:
            vouched = log.append("t", row, expected())
        except ConflictError as exc:
            return exc.expected, exc.actual
        except ValueError:
            return ValueError
        assert vouched[:3] == (log.head("t").incarnation, row.seq, row.crc)
        return vouched.seq, vouched.first

    one, two, three = sealed("t", 1, b"a"), sealed("t", 2, b"b"), sealed("t", 3, b"c", id="three")
    stored = {1: one, 2: two, 3: three}
    for expected, row, outcome in [
        (lambda: None, sealed("t", 2, base=1), ValueError),  # not seq 1
        (lambda: None, one, (1, 1)),
        (lambda: None, one, (1, 1)),  # a retry of an append that landed
        (lambda: at(1), two, (2, 1)),
        (lambda: None, one, (1, 1)),  # a retry after the head moved on
        (lambda: None, sealed("t", 1, b"x"), (None, 2)),
        (lambda: at(1), sealed("t", 2, b"b", id="two"), (1, 2)),  # the same body under another id
        (lambda: at(1)._replace(crc=0), sealed("t", 2, b"z"), (1, 2)),  # another record at the head's seq
        (lambda: at(2)._replace(incarnation=-1), three, (2, 2)),  # another incarnation
        (lambda: at(2), three, (3, 1)),
        (lambda: at(2), three, (3, 1)),
        (lambda: at(3), sealed("t", 4, b"d", id="three"), ValueError),  # a chosen id is taken once
        (lambda: at(3), sealed("t", 5, b"e"), ValueError),  # not the head's next seq
        (lambda: at(3), sealed("t", 4)._replace(body=None), ValueError),
    ]:
        assert attempt(expected, row) == outcome
    # An idx that is not an int, or not one of 64 bits: refused before anything is written.
    for idx, error in (("0", TypeError), (1 << 63, ValueError), (-(1 << 63) - 1, ValueError)):
        with pytest.raises(error, match="attachment entry"):
            log.append("t", sealed("t", 4), at(3), {"k": [("w", idx, b"x")]})
        with pytest.raises(error, match="attachment entry"):
            log.attach("t", "k", [("w", idx, b"x")])
    assert log.read("t", 0, 10) == [one, two, three] and log.attachments("t", ["k"]) == {}
    # A prune keeps the chains of what it keeps; a delta lands only while its keyframe is stored,
    # and a writer that has not seen the prune is told the oldest record as it is now.
    with pytest.raises(ValueError, match="keep_last must be at least 1"):  # the head is always kept
        log.prune("t", keep_last=0)
    assert log.head("t") == at(3)
    assert log.prune("t", keep_last=1) == (2, 2) and log.head("t").first == 3
    assert [r.seq for r in log.headers("t", limit=9)] == [3]
    assert attempt(lambda: at(3), sealed("t", 4, b"d", base=1)) == (3, 3)
    assert attempt(lambda: at(3), sealed("t", 4, b"d", base=3)) == (4, 3)
    old = log.head("t")
    log.drop("t")
    assert log.head("t") is None and log.headers("t", limit=9) == [] and log.timelines() == []
    assert log.append("t", one, None).incarnation != old.incarnation  # never reused
    with pytest.raises(ConflictError):  # a writer of the dropped incarnation
        log.append("t", two, old._replace(seq=1, crc=one.crc))


# (bases, keep_last, keep_from, the first seq kept): bases[i] is the keyframe record i + 1 replays from;
# a fork's delta may start further back.
CHAINS = [
    ([1, 1, 1, 4, 4, 4], 2, None, 4),
    ([1, 1, 1, 4, 4, 4], 4, None, 1),  # record 3 needs the keyframe at 1
    ([1, 1, 1, 4, 4, 1], 1, None, 1),  # the head is a fork from record 2's chain
    ([1, 2, 3, 4, 5, 6], 2, None, 5),
    ([1, 2, 3, 4, 5, 6], 2, 2, 2),  # the writer's own keyframe stays
    ([1, 1, 3, 3, 5, 3], 2, None, 3),  # the head forks back to 3; 5 needs nothing older
    ([1, 1, 1, 4, 1, 4], 1, None, 1),  # 5, kept for the head's keyframe at 4, forks from 1's chain
    ([1, 1, 1, 1, 1, 1], 9, None, 1),
]


@pytest.mark.parametrize("bases, keep_last, keep_from, kept_from", CHAINS)
def test_a_prune_keeps_every_chain_it_keeps_in_one_step(log, bases, keep_last, keep_from, kept_from):
    head = None
    for seq, base in enumerate(bases, 1):
        fields = {**KEYFRAME_FIELDS, "kind": KEYFRAME if base == seq else DELTA}
        fields["parent"] = None if base == seq else seq - 1 if base == bases[seq - 2] else base
        head = log.append("t", seal("t", seq=seq, id=None, base=base, body=b"x" * seq, **fields), head)
    assert log.prune("t", keep_last, keep_from) == (kept_from - 1, sum(range(kept_from)))  # records, bytes
    assert (log.head("t").first, [r.seq for r in log.read("t", 0, 99)]) == (kept_from, [*range(kept_from, 7)])
    assert all(r.base >= kept_from for r in log.read("t", 0, 99))


UUID = "0123abcd-4567-89ef-0123-456789abcdef"  # a key a log may store compact
# Ids, keys and tasks as a log may pack them: only the first is a canonical UUID, which a log that
# packs them stores as 16 bytes. The rest are text however close to one: another case, a fifth dash,
# a space (which bytes.fromhex would skip), a letter past f, braces, and 16 bytes of UTF-8.
ID_SPELLINGS = [UUID, UUID.upper(), UUID[:9] + "-" + UUID[10:], UUID[:9] + " " + UUID[10:], UUID[:-1] + "g"]
ID_SPELLINGS += ["{" + UUID[1:-1] + "}", "sixteen-bytes-id", "\u00e9" * 8, "\x00" * 15]
KEYS = ["k", UUID, "", "\x00mark"]


def holds(log):
    """Every key or row `log` stores, attachments and its names included: what "untouched" compares."""
    if isinstance(log, RedisLog):
        return {key: log._client.dump(key) for key in log._client.keys(f"{log.prefix}:*")}
    if isinstance(log, SQLiteLog):
        rows = lambda statement: log._writer.execute(statement).fetchall()  # noqa: E731
        tables = "SELECT name FROM sqlite_master WHERE type = 'table'"
    else:
        from psycopg.rows import tuple_row

        def rows(statement):  # as tuples, whatever rows the log's connection makes
            return log._call(None, lambda c: c.cursor(row_factory=tuple_row).execute(statement).fetchall())

        tables = f"SELECT tablename FROM pg_tables WHERE starts_with(tablename, '{log.prefix}_')"
    return {name: sorted(rows(f'SELECT * FROM "{name}"'), key=repr) for (name,) in rows(tables)}


def left_behind(log):
    """What `log` still stores of any timeline, attachments included: nothing, once every one is dropped."""
    if isinstance(log, MemoryLog):
        return len(log._timelines) + len(log._attachments)
    held = holds(log)
    if isinstance(log, RedisLog):
        return len(set(held) - {log._names.encode()})
    timelines = ("_records", "_attachments", "_timelines")  # the tables of timelines, not of the log
    return sum(len(rows) for name, rows in held.items() if name.endswith(timelines))


def test_attachments_and_keys_given_early_follow_the_memory_log(log):
    # The same random calls on both logs; every read must agree with the reference. Attachments
    # before a timeline's first record give it a key that is no timeline until its first record.
    logs, rng = (MemoryLog(), log), random.Random(11)
    heads, tasks, idxs = [None, None], ["t1", UUID, "\x00mark"], [-2, -1, 0, 1, 2]
    if not isinstance(log, PostgresLog):  # whose idx column is of 32 bits
        idxs += [
            2**60,
            2**60 + 1,
            -(2**60),
            -(2**60) - 1,
            2**63 - 1,
            -(2**63),
        ]  # apart by less than a double tells
    for step in range(300):
        key = rng.choice(KEYS)
        entries = [(rng.choice(tasks), rng.choice(idxs), rng.randbytes(2)) for _ in range(3)]
        call, done = rng.choice(["attach", "append", "detach", "prune", "drop", "append"]), []
        for i, each in enumerate(logs):
            if call == "attach":
                each.attach("t", key, entries)
            elif call == "append":
                seq = 1 if heads[i] is None else heads[i].seq + 1
                record = sealed("t", seq, id=f"c{seq}" if seq % 2 else None)
                heads[i] = each.append("t", record, heads[i], {key: entries, f"c{seq}": entries[:1]})
            elif call == "detach":
                each.detach("t", [key, "absent"])
            elif call == "prune":
                done.append(each.prune("t", 2, detach=[key]))
            elif step % 4 == 0:
                each.drop("t")
                heads[i] = None
        memory, stored = (seen(each) for each in logs)
        assert (memory, done[:1]) == (stored, done[1:]), (step, call)
    log.drop("t")
    assert left_behind(log) == 0, "a drop left something of the timeline behind"


def seen(log):
    """What a reader of timeline "t" sees: its head, the timelines, attachments, a page of its listing."""
    rows, found = log.listing("t", limit=3, keys=["k"])
    wanted = [*KEYS, "absent", *(f"c{seq}" for seq in range(20))]
    head = log.head("t")
    return head and head[1:], log.timelines(), in_order(log.attachments("t", wanted)), rows, in_order(found)


NAME_CHARS = ["a", "b", "}", "\x00", "\x7f", "\u00e9", "\ud7ff", "\ue000", "\uffff", "\U0010ffff"]
NAMES = st.lists(st.text(NAME_CHARS, min_size=1, max_size=3), max_size=10, unique=True)


def test_timelines_under_a_prefix_are_those_that_start_with_it(log):
    @settings(max_examples=30, deadline=None)
    @given(names=NAMES, prefix=st.text(NAME_CHARS, max_size=3))
    def listed(names, prefix):
        for name in names:
            log.append(name, sealed(name, 1), None)
        try:
            assert log.timelines(prefix) == sorted(name for name in names if name.startswith(prefix))
        finally:
            for name in names:
                log.drop(name)

    listed()


def test_bad_arguments_are_refused_and_write_nothing(log):
    (store := Store()).set("a", "x", 1)
    (tl := log.timeline("t", store)).commit()
    for call, error in [
        (lambda: tl.commit(id="7"), ValueError),  # decimal ids name records by seq
        (lambda: tl.commit(meta=object()), TypeError),
        (lambda: tl.commit(meta={(1, 2): "x"}), TypeError),  # a key that would read back unhashable
        (lambda: tl.records(before="1"), TypeError),
        (lambda: tl.checkout(2.0), TypeError),
        (lambda: tl.checkout(2**63), KeyError),  # past 64 bits: not stored, as any other seq
        (lambda: log.append("t", sealed("t", 2, timestamp=math.nan), log.head("t")), ValueError),
        (lambda: log.append("u", sealed("u", 1, timestamp=-math.inf), None), ValueError),
        (lambda: log.prune("t", 1.5), TypeError),  # a cutoff between two seqs
        (lambda: log.prune("t", True), TypeError),
        (lambda: log.prune("t", 1, 0.5), TypeError),
        (lambda: tl.restore("nine"), KeyError),
        (lambda: timeline.state_keyframe(store.snapshot(), 0, True), ValueError),  # chunks of 0 entries
        (lambda: timeline.state_delta(store.snapshot(), "not a snapshot", 0, 8), TypeError),
        (lambda: timeline.state_delta(store.snapshot(), store.snapshot(), 0, 0), ValueError),
    ]:
        with pytest.raises(error):
            call()
    assert [r.seq for r in tl.records(before=2**64)] == [1] and tl.verify() == [] and store.get("a", "x") == 1
    assert log.headers("t", limit=-1) == log.listing("t", limit=-1)[0] == [] and log.timelines() == ["t"]
    log.close()
    for call in (tl.commit, lambda: log.head("t"), lambda: log.attach("t", "k", [("w", 0, b"")])):
        with pytest.raises(ValueError, match="closed"):
            call()


def refused(call, match=None):
    """What `call` raised: a refusal (UnavailableError), never a lost connection."""
    with pytest.raises(UnavailableError, match=match) as raised:
        call()
    assert not isinstance(raised.value, ConnectionError), raised.value
    return raised.value


IDS = ["one", "four", "six"]  # of `commit_six`


def commit_six(log, name):
    """Six commits, keyframes at 1 and 4, chosen ids at 1, 4 and 6."""
    tl = log.timeline(name, store := Store(), keyframe_every=3)
    for i in range(6):
        store.set("s", f"k{i % 2}", i)
        tl.commit(id={0: "one", 3: "four", 5: "six"}.get(i))
    return tl


def read_whole(log, name):
    """Every read of a timeline through the log; raises where one finds damage."""
    head = log.head(name)
    rows = log.read(name, head.first, head.seq)
    assert [row.seq for row in log.headers(name, limit=head.seq + 1)] == [row.seq for row in rows][::-1]
    assert [row.seq for row in rows] == list(range(head.first, head.seq + 1))
    assert all([row.id for row in log.headers(name, limit=1, id=id)] == [id] for id in IDS)
    return head


# Refusals: a healthy server, or a sound file, that will not write.
# Each way to make one returns how to lift it.


def setting(name, refusing, normal):
    return lambda log, server: (
        log._client.config_set(name, refusing) and (lambda: log._client.config_set(name, normal))
    )


def failing_snapshots(log, server):
    os.rmdir(server.directory)  # the snapshot the server forks cannot be written (nothing is there yet)
    client = log._client
    client.config_set("save", "3600 1")
    client.config_set("stop-writes-on-bgsave-error", "yes")
    client.bgsave()
    wait_for(lambda: client.info("persistence")["rdb_last_bgsave_status"] == "err", "a failed snapshot")
    wait_for(lambda: not client.info("persistence")["rdb_bgsave_in_progress"], "the snapshot's end")
    return lambda: client.config_set("stop-writes-on-bgsave-error", "no")


def a_long_script(log, server):
    log._client.config_set("lua-time-limit", 10)  # after 10 ms others are told the server is busy
    spin = "local t = redis.call('TIME')[1] while redis.call('TIME')[1] - t < 2 do end"
    (runner := threading.Thread(target=lambda: server.client().eval(spin, 0))).start()
    time.sleep(0.1)
    return runner.join


def a_replica_of_nothing(log, server):
    log._client.replicaof("127.0.0.1", free_port())
    return lambda: log._client.replicaof("NO", "ONE")


def a_read_only_session(log, server):
    log._call(None, lambda conn: conn.execute("SET default_transaction_read_only = on"))
    return lambda: log._call(None, lambda conn: conn.execute("SET default_transaction_read_only = off"))


def pragma(refusing, normal):  # a setting of the file's writing connection
    return lambda log, path: log._writer.execute(refusing) and functools.partial(log._writer.execute, normal)


read_only = pragma("PRAGMA query_only = 1", "PRAGMA query_only = 0")
full = pragma("PRAGMA max_page_count = 1", "PRAGMA max_page_count = 1000000")  # set no lower than its size


def locked(log, path):  # another process's write transaction, outwaiting the busy timeout
    (holder := sqlite3.connect(path, isolation_level=None)).execute("BEGIN IMMEDIATE")
    log._writer.execute("PRAGMA busy_timeout = 20")
    return holder.close  # which rolls its transaction back


def on_redis(servers, tmp_path):  # (the log, where it refuses, how its errors name where)
    return RedisLog((server := servers()).url, prefix="r"), server, str(server.port)


def on_sqlite(servers, tmp_path):
    return SQLiteLog(path := tmp_path / "refusing.db"), path, str(path)


def on_postgres(servers, tmp_path):  # one connection, so that a setting of its session holds for every call
    postgres_server.require()
    log = PostgresLog(url := postgres_server.shared_url(), prefix=postgres_server.fresh_prefix(), pool_size=1)
    return log, None, url.rsplit("@", 1)[-1].split("/", 1)[0]


BIG = os.urandom(200_000)  # more than a "full" file has room for, compressed or not
CALLS = {  # each at the head as it is then, so that each goes through once the refusal is lifted
    "commit": lambda log, tl: (tl.store.set("s", "k", BIG), tl.commit()),
    "append": lambda log, tl: log.append("t", sealed("t", (h := log.head("t")).seq + 1, body=BIG), h),
    "append with attachments": lambda log, tl: log.append(
        "t", sealed("t", (h := log.head("t")).seq + 1), h, {"k": [("a", 0, BIG)]}
    ),
    "create": lambda log, tl: log.append("new", sealed("new", 1, body=BIG), None),
    "attach": lambda log, tl: log.attach("t", "k", [("a", 1, BIG)]),
    "detach": lambda log, tl: log.detach("t", ["k0"]),
    "prune": lambda log, tl: log.prune("t", 1),
    "vacuum": lambda log, tl: log.vacuum(),
    "drop": lambda log, tl: log.drop("t"),
    "head": lambda log, tl: log.head("t"),
    "read": lambda log, tl: log.read("t", 1, 9),
    "list": lambda log, tl: log.timelines(),
}
GROWING = ["commit", "append", "append with attachments", "create", "attach"]  # what OOM and "full" refuse
WRITES = [*GROWING, "detach", "prune", "drop"]
REFUSALS = [  # the log, how its refusal's message starts, how to make it refuse (returning how to lift it)
    (on_redis, "OOM", setting("maxmemory", 1, 0), GROWING),
    (on_redis, "MISCONF", failing_snapshots, WRITES),
    (on_redis, "NOREPLICAS", setting("min-replicas-to-write", 1, 0), WRITES),
    (on_redis, "READONLY", a_replica_of_nothing, WRITES),
    (on_redis, "BUSY", a_long_script, [*WRITES, "head", "read", "list"]),
    (on_sqlite, "attempt to write a readonly database", read_only, [*WRITES, "vacuum"]),
    (on_sqlite, "database or disk is full", full, GROWING),
    (on_sqlite, "database is locked", locked, [*WRITES, "vacuum"]),
    (on_postgres, "cannot execute", a_read_only_session, WRITES),
]
# What is logged above DEBUG: once when a refusal starts, however many calls it fails; a server's end of
# it too where the log sees it (a file's and a pooled server's refusals are logged again after a while).
LOGGED = {on_redis: ["WARNING", "INFO"], on_sqlite: ["WARNING"], on_postgres: ["WARNING"]}


@pytest.mark.parametrize("on, message, refuse, calls", REFUSALS, ids=[row[1] for row in REFUSALS])
def test_a_refusal_is_unavailable_never_damage_and_changes_nothing(
    servers, tmp_path, caplog, monkeypatch, on, message, refuse, calls
):
    # A server shared by tests refused earlier is warned of anew.
    monkeypatch.setattr(refusal_log, "_warned", {})
    log, where, server = on(servers, tmp_path)
    tl = commit_six(log, "t")
    log.attach("t", "k0", [("a", 0, b"x")])
    head, before = log.head("t"), holds(log)
    caplog.set_level(logging.DEBUG, logger="derirezaro")
    lift = refuse(log, where)
    try:
        for name in calls:
            error = refused(functools.partial(CALLS[name], log, tl))
            assert error.reason.startswith(message) and server in error.server, name
            about = {"create": "new", "list": None, "vacuum": None}  # the timeline named, where not "t"
            assert error.timeline == about.get(name, "t"), name
        assert "BUSY" in message or read_whole(log, "t") == head  # reads are served
    finally:
        lift()
    assert holds(log) == before
    for name in calls:  # nothing was left half done: the same calls go through
        CALLS[name](log, tl)
    log.close()
    logged = [r for r in caplog.records if r.levelno > logging.DEBUG and not r.name.endswith(".timeline")]
    assert [r.levelname for r in logged] == LOGGED[on]
    assert all(message in r.getMessage() and server in r.getMessage() for r in logged[:1])


def refused_by_sqlite(code, message):
    """SQLite's error as the driver raises it; with no `code`, as an interpreter whose errors carry none."""
    error = sqlite3.OperationalError(message)
    if code is not None:
        error.sqlite_errorcode = code
    return error


def test_each_failure_of_a_file_or_a_server_maps_to_what_it_means():
    postgres_server.require()  # for psycopg's errors
    from derirezaro.persist.postgres_errors import as_persist_error
    from psycopg import OperationalError, errors
    from psycopg_pool import PoolTimeout

    def on_sqlite(error):
        try:
            return sqlite_errors.raise_as_persist_error(error, "f.db", "t") or error  # None: raised as it is
        except Exception as raised:
            return raised

    on_postgres = functools.partial(as_persist_error, server="server", timeline="t")
    cases = [  # (what the driver raised, what it means); SQLite's codes no test meets for real, or none
        (refused_by_sqlite(code, message), meant)
        for code, message, meant in [
            (1032, "attempt to write a readonly database", UnavailableError),  # SQLITE_READONLY_DBMOVED
            (778, "disk I/O error", UnavailableError),  # SQLITE_IOERR_WRITE
            (7, "out of memory", UnavailableError),
            (779, "database disk image is malformed", CorruptRecordError),  # SQLITE_CORRUPT_INDEX
            (1, "no such table: x", sqlite3.OperationalError),  # a fault of the statement: raised as it is
            (None, "database or disk is full", UnavailableError),  # no code: told by the message
            (None, "database disk image is malformed", CorruptRecordError),
            (None, "no such table: x", sqlite3.OperationalError),
            (18, "string or blob too big", ValueError),  # SQLITE_TOOBIG: input the file cannot take
            (None, "string or blob too big", ValueError),
        ]
    ]
    for meant, raised in [  # PostgreSQL's, by its SQLSTATE or the pool's
        # refusals: nothing stored is known to be damaged
        (UnavailableError, [errors.DiskFull, errors.OutOfMemory, errors.TooManyConnections, PoolTimeout]),
        (UnavailableError, [errors.ReadOnlySqlTransaction, errors.InsufficientPrivilege]),
        (UnavailableError, [errors.QueryCanceled, errors.LockNotAvailable, errors.SerializationFailure]),
        (ConnectionLostError, [errors.AdminShutdown, errors.CannotConnectNow, OperationalError]),
        (
            CorruptRecordError,
            [errors.DataCorrupted, errors.IndexCorrupted, errors.UndefinedFile],
        ),  # its files
        (ValueError, [errors.NumericValueOutOfRange, errors.ProgramLimitExceeded]),  # bad input
        (errors.SyntaxError, [errors.SyntaxError]),  # a fault of the code: raised as it is
    ]:
        cases += [(each("what the server said"), meant) for each in raised]
    for error, meant in cases:
        of_a_file = isinstance(error, sqlite3.Error)
        got = on_sqlite(error) if of_a_file else on_postgres(error)
        assert type(got) is meant and str(error) in str(got), (error, got)
        assert meant is not ValueError or "timeline 't'" in str(got), got
        if isinstance(got, PersistError):  # naming the timeline, and the file or the server
            assert got.timeline == "t" and ("f.db" if of_a_file else "server") in str(got), got

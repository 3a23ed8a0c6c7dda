"""What the PostgreSQL log does beyond the contract every log keeps (test_persist_model runs that over it):
setting up its tables inside a caller's transaction and from several clients at once, the version
check of its tables, writers racing on one row lock, a server that goes away mid-call, and damage
in what it stores. Its refusals are test_persist_logs.py's, in one table with the other logs'.
"""

import json
import os
import re
import threading
import uuid

import postgres_server
import pytest
from derirezaro import Store
from derirezaro.persist import (
    ConflictError,
    ConnectionLostError,
    CorruptRecordError,
    FormatError,
    PersistError,
    UnavailableError,
    postgres,
    postgres_schema,
    postgres_sql,
)
from derirezaro.persist.postgres import PostgresLog
from hypothesis import given
from hypothesis import strategies as st
from log_wrappers import WAIT
from postgres_server import PostgresServer, fresh_prefix
from redis_server import wait_for
from test_persist_logs import ID_SPELLINGS

postgres_server.require()  # before psycopg is imported: where it is missing, the module skips or fails
import psycopg  # noqa: E402
from psycopg_pool import ConnectionPool  # noqa: E402


@pytest.fixture
def url(postgres_url):
    return postgres_url


@pytest.fixture
def log(url):
    with PostgresLog(url, prefix=fresh_prefix()) as log:
        yield log


def committing(timeline, value, **commit):
    timeline.store.set("a", "k", value)
    return timeline.commit(**commit)


def committed(log, name, count, keyframe_every=256):
    """A timeline `name` of `count` commits in `log`; its Timeline."""
    timeline = log.timeline(name, Store(), keyframe_every=keyframe_every)
    for i in range(count):
        committing(timeline, i, meta={"i": i})
    return timeline


def sql(url, statement, params=()):
    """The rows `statement` returns (None where it returns none), run in a transaction of its own."""
    with psycopg.connect(url, autocommit=True) as conn:
        cursor = conn.execute(statement, params)
        return cursor.fetchall() if cursor.description else None


def counts(url, prefix, *tables):
    return [sql(url, f'SELECT count(*) FROM "{prefix}_{table}"')[0][0] for table in tables]


def waiting_on_locks(url, count):
    """Wait until `count` sessions of the server wait for a lock."""
    with psycopg.connect(url, autocommit=True) as conn:
        waiting = lambda: conn.execute("SELECT count(*) FROM pg_locks WHERE NOT granted").fetchone()[0]  # noqa: E731
        wait_for(lambda: waiting() >= count, f"{count} sessions waiting on a lock", WAIT)


def _attempt(call):
    try:
        return call()
    except Exception as exc:  # judged by the test
        return exc


def while_uncommitted(url, prefix, first, second, outcome):
    """What `second()` returned or raised, run once it waits on the open transaction in which `first` wrote
    through a log of its own; that transaction ends by `outcome` ("commit" or "rollback") meanwhile."""
    result = []
    with psycopg.connect(url) as conn:
        conn.execute("SELECT 1")  # not autocommit: the first writer's work stays in this transaction
        first(PostgresLog(conn, prefix=prefix, setup=False))
        thread = threading.Thread(target=lambda: result.append(_attempt(second)))
        thread.start()
        waiting_on_locks(url, 1)
        getattr(conn, outcome)()
        thread.join(WAIT)
    return result[0]


@pytest.mark.parametrize("outcome", ["commit", "rollback"])
def test_setup_and_writes_inside_a_callers_transaction_go_with_it(url, outcome):
    prefix = fresh_prefix()
    with psycopg.connect(url) as conn:  # not autocommit: the first statement opens a transaction
        conn.execute("SELECT 1")
        committed(PostgresLog(conn, prefix=prefix), "t", 3)
        conn.execute("SELECT 1")  # the caller's transaction is still usable after the log's savepoints
        getattr(conn, outcome)()
    exists = sql(url, "SELECT to_regclass(%s)", (f"{prefix}_records",))[0][0] is not None
    assert exists is (outcome == "commit")
    if exists:
        with PostgresLog(url, prefix=prefix) as other:
            assert other.head("t").seq == 3


def test_concurrent_setups_queue_on_the_lock_and_create_the_tables_once(url):
    prefix, schema, made = fresh_prefix(), fresh_prefix(), []

    def setup():
        made.append(_attempt(lambda: PostgresLog(url, prefix=prefix, schema=schema, pool_size=1)))

    with psycopg.connect(url) as holder:  # holds the setup lock until it commits
        holder.execute(postgres_schema.LOCK, (postgres_schema.lock_name(f'"{schema}".', prefix),))
        threads = [threading.Thread(target=setup) for _ in range(3)]
        for thread in threads:
            thread.start()
        waiting_on_locks(url, 3)
        holder.commit()
    for thread in threads:
        thread.join(WAIT)
    assert len(made) == 3 and all(isinstance(log, PostgresLog) for log in made), made
    assert sql(url, f'SELECT version FROM "{schema}"."{prefix}_schema"') == [(postgres_schema.SCHEMA,)]
    committed(made[0], "t", 1)
    assert made[2].head("t").seq == 1
    for log in made:
        log.close()


LATER = [*postgres_schema.MIGRATIONS, ['ALTER TABLE {s}"{p}_timelines" ADD COLUMN note text']]


@pytest.mark.parametrize(
    "versions, migrations, error",
    [
        ([postgres_schema.SCHEMA + 1], None, FormatError),  # written by a newer release: never touched
        ([1, 1], None, CorruptRecordError),  # a version table that is not one
        ([], None, CorruptRecordError),
        ([postgres_schema.SCHEMA], LATER, None),  # a later release's migration: applied once, over ours
    ],
)
def test_tables_are_brought_to_this_version_or_refused_and_left_as_they_are(
    url, log, monkeypatch, versions, migrations, error
):
    prefix = log.prefix
    committed(log, "t", 2)
    sql(url, f'DELETE FROM "{prefix}_schema"')
    for version in versions:
        sql(url, f'INSERT INTO "{prefix}_schema" VALUES (%s)', (version,))
    if migrations:
        monkeypatch.setattr(postgres_schema, "MIGRATIONS", migrations)
        monkeypatch.setattr(postgres_schema, "SCHEMA", len(migrations))
        versions = [len(migrations)]
    # The second finds the tables at the version and writes nothing: a read-only server opens them.
    for where in (url, url + "?options=-c%20default_transaction_read_only%3Don"):
        if error:
            pytest.raises(error, PostgresLog, where, prefix=prefix)
        else:
            with PostgresLog(where, prefix=prefix) as again:
                assert again.head("t").seq == 2
    assert counts(url, prefix, "records") == [2]
    assert [v for (v,) in sql(url, f'SELECT version FROM "{prefix}_schema"')] == versions
    if migrations:
        assert sql(url, f'SELECT note FROM "{prefix}_timelines"') == [(None,)]


@given(st.text() | st.uuids().map(str) | st.text(min_size=4, max_size=16))
def test_a_packed_id_is_read_back_as_the_text_it_was(text):
    assert postgres_sql.text_of_ident(postgres_sql.ident(text)) == text


def test_tables_of_the_first_version_are_rewritten_packed_and_read_back_as_they_were(url, monkeypatch):
    prefix, ids = fresh_prefix(), ID_SPELLINGS  # as ids, keys and tasks

    def everything(log):
        records = [(r.seq, r.id, r.parent, r.meta) for r in log.timeline("t", Store()).records()]
        attached = {key: sorted(entries) for key, entries in log.attachments("t", ids).items()}  # any order
        return records, attached, log.timeline("t", Store()).store.get("a", "k")

    with monkeypatch.context() as first:  # the first version: its tables, and text stored as UTF-8
        first.setattr(postgres_schema, "MIGRATIONS", postgres_schema.MIGRATIONS[:1])
        first.setattr(postgres_schema, "SCHEMA", 1)
        for module in (postgres, postgres_sql):
            first.setattr(module, "ident", postgres_sql.utf8)
        first.setattr(postgres_sql, "text_of_ident", postgres_sql.text_of)
        with PostgresLog(url, prefix=prefix) as log:
            timeline = log.timeline("t", Store(), keyframe_every=3)
            for i, id in enumerate(ids):
                committing(timeline, i, id=id, meta={"i": i})
                entries = [
                    (task, -1 if task == id else 0, id.encode("utf-8", "surrogatepass")) for task in ids
                ]
                log.attach("t", id, entries)
            before = everything(log)
    # Opened without setup, this code would store its packing in the old tables: refused, nothing written.
    with pytest.raises(PersistError, match="of version 1, older than this package's"):
        PostgresLog(url, prefix=prefix, setup=False)
    with PostgresLog(url, prefix=prefix) as log:
        assert log.version() == postgres_schema.SCHEMA and everything(log) == before
        stored = dict(sql(url, f'SELECT seq, octet_length(id) FROM "{prefix}_records"'))
        # Packed: a canonical UUID's 16 bytes, other text as its UTF-8, marked where that is 16 bytes too.
        assert [stored[seq] for seq in range(1, len(ids) + 1)] == [16, *[36] * 5, 17, 17, 15]
        timeline = log.timeline("t", Store())
        with pytest.raises(ValueError, match="already has a record with id"):
            committing(timeline, "after", id=ids[0])
        assert timeline.commit(id=str(uuid.uuid4())).seq == len(ids) + 1
        # A process of an older release, running on, drops as it did: the voucher row alone.
        sql(url, f'DELETE FROM "{prefix}_timelines"')
        assert counts(url, prefix, "records", "attachments") == [0, 0]


FIRST_WRITES = {  # what the first writer does in its open transaction, given the entry the second writes
    "append": lambda log, entry: log.timeline("t", Store()).commit(attach={"k": [("w", 0, b"first")]}),
    "attach": lambda log, entry: log.attach("t", "k", [entry[:2] + (b"first",)]),
    "detach": lambda log, entry: log.detach("t", ["k"]),
    "prune": lambda log, entry: log.prune("t", 1, detach=["k"]),
    "drop": lambda log, entry: log.drop("t"),
}
# (what the first writer does, what the second then does: attach an entry, drop the timeline or commit
# on the head both read, the entries stored under the key after the first commits / rolls back)
WRITE_RACES = [
    ("append", "commit", [("w", 0, b"first")], []),  # a conflict once the first commits, else it lands
    ("attach", ("w", 0, b"second"), [("w", 0, b"first")], [("w", 0, b"second")]),
    ("attach", ("w", -1, b"second"), [("w", -1, b"second")], [("w", -1, b"second")]),
    ("append", ("w", 0, b"second"), [("w", 0, b"first")], [("w", 0, b"second")]),
    *(
        (does, ("w", 0, b"second"), [("w", 0, b"second")], [("w", 0, b"first")])
        for does in ("detach", "prune", "drop")
    ),
    ("append", "drop", [], []),
    ("attach", "drop", [], []),
]


@pytest.mark.parametrize("given", ["url", "pool"])  # the log's own pool, or a user's, not autocommit
@pytest.mark.parametrize("outcome", ["commit", "rollback"])
@pytest.mark.parametrize("first_does, second_does, if_committed, if_rolled_back", WRITE_RACES)
def test_a_write_waiting_on_another_writer_applies_the_rule_to_what_that_writer_left(
    url, given, outcome, first_does, second_does, if_committed, if_rolled_back
):
    """The second writer read the key (or the head) before the first ended: its compare-and-set waits on
    the row lock, then reads the row as the first left it. The first regular entry still wins, a
    reserved one replaces, a detached, pruned or dropped entry is attached anew (under a row made anew
    for a dropped timeline), and each (task, idx) is stored once. Records and attachments name their
    voucher with no foreign key: a drop deletes the row (waiting for the writer that moved or locked
    it), and its trigger, in snapshots taken after, all that names it."""
    pool = ConnectionPool(url, min_size=1, max_size=2)
    with pool, PostgresLog(pool if given == "pool" else url, prefix=fresh_prefix()) as log:
        tl = committed(log, "t", 1)
        if first_does in ("detach", "prune", "drop"):
            log.attach("t", "k", [("w", 0, b"first")])
        entry = second_does if isinstance(second_does, tuple) else ("w", 0, b"first")
        first = lambda other: FIRST_WRITES[first_does](other, entry)  # noqa: E731
        seconds = {"drop": lambda: log.drop("t"), "commit": lambda: committing(tl, "second") and None}
        second = seconds.get(second_does, lambda: log.attach("t", "k", [entry]))
        got = while_uncommitted(url, log.prefix, first, second, outcome)
        conflicts = second_does == "commit" == outcome
        assert isinstance(got, ConflictError) if conflicts else got is None, got
        if second_does == "commit":  # the head as the first writer left it: its commit kept the value 0
            assert log.timeline("t", Store()).store.get("a", "k") == (0 if conflicts else "second")
        expected = if_committed if outcome == "commit" else if_rolled_back
        assert sorted(log.attachments("t", ["k"]).get("k", [])) == expected
        if second_does == "drop":
            assert log.head("t") is None and counts(url, log.prefix, "records", "attachments") == [0, 0]


@pytest.mark.parametrize("meanwhile, outcome", [("prune", "lands"), ("drop", ConflictError)])
@pytest.mark.parametrize("given", ["pool", "connection"])
def test_an_id_taken_is_told_under_the_row_lock_after_its_holder_may_have_gone(
    url, monkeypatch, given, meanwhile, outcome
):
    """The append's statement matched nothing because the id was taken; before the log looks why, another
    writer prunes the holder away (the id is free: the append lands) or drops the timeline (a conflict).
    Never damage, and no transaction is left open."""
    conn = psycopg.connect(url)  # not autocommit, and idle between calls: the log commits what it opens
    with conn, PostgresLog(url if given == "pool" else conn, prefix=fresh_prefix()) as log:
        timeline = log.timeline("t", Store(), keyframe_every=1)
        for id in ("held", "next"):
            committing(timeline, id, id=id)
        with pytest.raises(ValueError, match="already has a record with id 'held'"):
            committing(timeline, "again", id="held")
        real = postgres._one

        def one(conn, statement, params, binary=False, prepare=None):
            cursor = real(conn, statement, params, binary)
            if "UPDATE" in statement and "NOT EXISTS" in statement:
                with PostgresLog(url, prefix=log.prefix, setup=False) as other:
                    other.prune("t", 1) if meanwhile == "prune" else other.drop("t")
            return cursor

        monkeypatch.setattr(postgres, "_one", one)
        if outcome == "lands":
            assert timeline.commit(id="held").seq == 3
            assert [(r.seq, r.id) for r in timeline.records()] == [(3, "held"), (2, "next")]
        else:
            pytest.raises(outcome, timeline.commit, id="held")
        assert conn.info.transaction_status == psycopg.pq.TransactionStatus.IDLE


def test_every_prepared_statement_finds_attachments_by_key_whatever_the_table_held_when_planned():
    """A connection keeps a prepared statement's plan as the tables grow. Planned while they are small
    (the generic plan, forced here), a statement must still find what it touches through the indexes,
    an attachment by its (timeline, key), never by a scan of the table or of all a timeline's entries.
    The statements planned for their values at each call (detaching) are left out: the forced mode
    would hold them to a generic plan too."""
    settings = ("plan_cache_mode=force_generic_plan", "shared_preload_libraries=auto_explain")
    settings += ("auto_explain.log_min_duration=0", "auto_explain.log_format=json")
    with PostgresServer(*(f"-c{setting}" for setting in settings)) as server:
        with PostgresLog(server.url, prefix="p") as log:
            for name in ("a", "b"):
                timeline = log.timeline(name, Store(), keyframe_every=4)
                for i in range(12):
                    attach = {"w": [("t", 0, b"x")]} if i % 3 == 0 else None
                    committing(timeline, i, id=f"{name}{i}", attach=attach)
                    log.attach(name, f"{name}{i}", [("t", 0, b"x"), ("u", 1, b"y")])
                    log.attach(name, f"{name}{i}", [("u", 2, b"x")])
                log.attachments(name, [f"{name}1", f"{name}2"])
                log.listing(name, limit=5, keys=["w"])
                log.listing(name, limit=5, before=8, keys=["w"])
                log.opening(name, ["w"])
                log.headers(name, limit=3, id=f"{name}4")
                log.prune(name, 5)
        with open(os.path.join(server.directory, "server.log")) as file:
            text = file.read()
    plans = [json.loads(found) for found in re.findall(r"plan:\n\t(\{.*?\n\t\})$", text, re.S | re.M)]
    assert len({plan["Query Text"] for plan in plans}) > 15

    def nodes(node):
        yield node
        for child in node.get("Plans", ()):
            yield from nodes(child)

    for plan in plans:
        if plan["Query Text"].startswith(("INSERT INTO", "UPDATE")):  # the migrations' copies
            continue
        for node in nodes(plan["Plan"]):
            if node.get("Relation Name") in ("p_records", "p_attachments"):
                assert node["Node Type"] != "Seq Scan", plan["Query Text"]
            if node.get("Index Name") == "p_attachment_entries":  # never all of a timeline's entries
                assert "key =" in node["Index Cond"], plan["Query Text"]


def test_a_server_that_goes_away_mid_call_is_unavailable_and_a_retry_lands_once_it_is_back():
    with PostgresServer() as server, PostgresLog(server.url, prefix="p", timeout=2, pool_size=4) as log:
        timeline, outcome = committed(log, "t", 1), []
        together = threading.Barrier(4)  # four calls at once: the pool holds four connections
        hold = lambda conn: (together.wait(WAIT), conn.execute("SELECT 1"))  # noqa: E731
        holding = [threading.Thread(target=log._call, args=(None, hold)) for _ in range(4)]
        for thread in holding:
            thread.start()
        for thread in holding:
            thread.join(WAIT)
        holder = psycopg.connect(server.url)  # the append waits on this lock until the server stops
        holder.execute('SELECT * FROM "p_timelines" FOR UPDATE')
        timeline.store.set("a", "k", "lost")
        thread = threading.Thread(target=lambda: outcome.append(_attempt(timeline.commit)))
        thread.start()
        waiting_on_locks(server.url, 1)
        server.halt()
        thread.join(WAIT)
        holder.close()
        assert isinstance(outcome[0], ConnectionLostError), outcome
        with pytest.raises(UnavailableError):  # nothing to connect to, within the pool's timeout
            log.head("t")
        server.start()
        # The pool's connections broke with the server: the first call that meets one fails, and the
        # pool then replaces all it holds.
        failures = []
        while len(failures) < 10 and isinstance(result := _attempt(timeline.commit), Exception):
            failures.append(result)
        assert all(isinstance(f, UnavailableError) for f in failures) and len(failures) <= 1, failures
        assert log.head("t").seq == 2 and log.timeline("t", Store()).store.get("a", "k") == "lost"


@pytest.mark.parametrize(
    "damage, read, what",
    [
        ("UPDATE {r} SET body = set_byte(body, 0, get_byte(body, 0) #1) WHERE seq=2", "checkout", "checksum"),
        ("UPDATE {r} SET meta = '\\x00' WHERE seq = 3", "records", "checksum"),
        ("UPDATE {t} SET crc = crc + 1", "head", "crc"),
        ("DELETE FROM {r} WHERE seq = 3", "head", "newest record"),
        ("UPDATE {t} SET first = 2", "head", "oldest"),
        ("DELETE FROM {r} WHERE seq = 2", "prune", "missing"),
        # Text no longer UTF-8: a record's id is refused by its checksum, other text as what it is.
        ("UPDATE {r} SET id = '\\xf7' WHERE seq = 2", "records", "header"),
        ("UPDATE {a} SET task = '\\xf7'", "attachments", "not UTF-8"),
        ("UPDATE {t} SET name = '\\xf7'", "names", "not UTF-8"),
    ],
)
def test_damage_in_what_is_stored_is_reported_as_damage_naming_the_timeline(url, log, damage, read, what):
    committed(log, "t", 3, keyframe_every=1 if read == "prune" else 256)
    log.attach("t", "k", [("w", 0, b"x")])
    tables = {table[0]: f'"{log.prefix}_{table}"' for table in ("records", "timelines", "attachments")}
    sql(url, damage.format(**tables))
    reads = {
        "checkout": lambda: log.timeline("t", Store(), cache_size=1).checkout(2),
        "records": lambda: list(log.timeline("t", Store()).records()),
        "head": lambda: log.head("t"),
        "prune": lambda: log.prune("t", 1, keep_from=3),
        "attachments": lambda: log.attachments("t", ["k"]),
        "names": log.timelines,
    }
    with pytest.raises(CorruptRecordError, match=what) as caught:
        reads[read]()
    assert caught.value.timeline == (None if read == "names" else "t")


def test_names_keys_and_tasks_hold_any_text_and_a_prefix_lists_one_range(log):
    # Names under a prefix are test_persist_logs.py's; here are the texts only PostgreSQL is given:
    # lone surrogates (in a prefix and in tasks), and texts longer than an index entry holds and idx
    # values wider than the column, both refused as bad input.
    long = os.urandom(2000).hex()  # incompressible
    attached = {
        n: [("\x00mark", -1, b"m"), ("\udc80" + n, 0, b"w")] for n in ("a\x00b", "a\ud7ff", "a\ue000")
    }
    for name, entries in attached.items():
        committed(log, name, 1)
        log.attach(name, "\x00" + name, entries)
    for call, match in [
        (lambda: committed(log, long, 1), "index row"),
        (lambda: log.attach("a", long, [("w", 0, b"")]), "index row"),
        (lambda: log.attach("a", "k", [("w", 0, b""), ("w", 1 << 31, b"")]), "idx in 32 bits: 2147483648"),
        (lambda: log.attach("a", "k", [("w", -(1 << 31) - 1, b"")]), "idx in 32 bits"),
    ]:
        with pytest.raises(ValueError, match=match):
            call()
    assert log.attachments("a", ["k"]) == {}
    assert [log.timelines(prefix) for prefix in ("a\ud800", "a\ud7ff")] == [[], ["a\ud7ff"]]
    assert {n: sorted(log.attachments(n, ["\x00" + n])["\x00" + n]) for n in attached} == attached

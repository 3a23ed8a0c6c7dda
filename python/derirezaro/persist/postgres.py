"""Timelines in PostgreSQL: the database a service already runs, shared by writers on many machines.

Each timeline's row in `{prefix}_timelines` vouches for it (`postgres_schema`
describes the tables): its id is the incarnation, and beside the name it
keeps the head's seq and crc and the oldest kept seq. An append is one
statement: an UPDATE of that row that matches only the head the writer built
on (or, for a new timeline, an INSERT that creates the row), and the record
and its attachments inserted from what it returns. Under READ COMMITTED a
second writer's UPDATE of the same row waits for the first to commit and
then re-reads the row, finds the head moved and matches nothing: the
compare-and-set, in one round trip and one commit. The same UPDATE matches
only where the timeline holds no record with the new record's id: appends
to a timeline take their turns on that row, so the check is exact without
a unique index (ids are found by a hash index, a third of a b-tree's size).
An append that matched nothing is then told apart (a retry that had landed,
a lost race, a pruned keyframe, an id taken) in a transaction that locks
the row. Prunes read and move the row under that lock too, so nothing they
chose changes before they delete. Attachments are kept once each by their
unique index (`postgres_sql._rule`); an attach share-locks the voucher row,
which holds off a drop without making appends wait.

Connections: given a conninfo string the log opens a pool of its own
(psycopg_pool, autocommit, `pool_size` connections) and closes it at
`close()`; given a `psycopg_pool.ConnectionPool` or a `psycopg.Connection`
it uses that, and leaves it open. A call made while the caller's connection
is inside a transaction runs in a savepoint of it: its writes commit or roll
back with the caller's.

The tables and their migrations are `postgres_schema`'s; the statements,
`postgres_sql`'s; PostgreSQL's errors in this package's terms,
`postgres_errors`'s.

Durability is the server's: a commit returns once PostgreSQL says it is
committed, which with `synchronous_commit` on (its default) means flushed
to its WAL.
"""

from __future__ import annotations

import contextlib
import re
import threading
import weakref
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from typing import Any, TypeVar

from . import postgres_schema
from .errors import ConflictError, ConnectionLostError, CorruptRecordError, PersistError
from .log import Entry, Opening, Pruned, TimelineHead, check_append, check_prune
from .log_base import LogBase
from .postgres_errors import as_persist_error
from .postgres_schema import setup as setup_tables
from .postgres_schema import version as version_of
from .postgres_sql import (
    by_key,
    entries_shape,
    entry_columns,
    ident,
    keys_of,
    record_of,
    statements,
    text_of,
    utf8,
)
from .record import StoredRecord

_PSYCOPG_MISSING: ImportError | None = None
try:
    import psycopg
    from psycopg import pq
    from psycopg.rows import tuple_row
except ImportError as exc:  # the optional extra is not installed; PostgresLog says so when it is made
    psycopg = None  # type: ignore[assignment]
    _PSYCOPG_MISSING = exc

_T = TypeVar("_T")
# One lock per connection given, whichever logs it is given to: a call of one log between two statements
# of another's transaction would run inside that transaction, and go or stay with it.
_TURNS: weakref.WeakKeyDictionary[Any, threading.Lock] = weakref.WeakKeyDictionary()
_NAME = re.compile(r"[a-z_][a-z0-9_]{0,39}\Z")  # room for the longest table name within 63 bytes
_NOTHING = Pruned(0, 0)
_IDLE = None if psycopg is None else pq.TransactionStatus.IDLE
_KEPT_CURSOR = "_derirezaro_cursor"  # the attribute a connection keeps its one-row cursor in (`_cursor`)


class PostgresLog(LogBase):
    """Timelines in PostgreSQL under `prefix` (in `schema`, or the connection's search path).

    `where` is a conninfo string (`postgresql://user@host/db` or `host=... dbname=...`),
    a `psycopg_pool.ConnectionPool`, or a `psycopg.Connection`. The log brings the
    tables to its version when made (`setup()`), unless `setup=False`.
    `timeout`: seconds an owned pool waits to connect or for a free connection.
    `prepare_threshold`: psycopg's, for the connections of an owned pool: a statement run that many
    times on a connection is prepared on the server; None never prepares, as a transaction-mode
    pooler needs (it hands each transaction to any server connection, where the statement a
    client prepared on another is unknown).
    """

    def __init__(
        self,
        where: Any,
        prefix: str = "derirezaro",
        *,
        schema: str | None = None,
        pool_size: int = 4,
        timeout: float = 30.0,
        setup: bool = True,
        prepare_threshold: int | None = 5,
    ):
        if psycopg is None:
            raise ImportError(
                "PostgresLog needs the 'postgres' extra: pip install 'derirezaro[postgres]'"
            ) from _PSYCOPG_MISSING
        for name, value in (("prefix", prefix), ("schema", schema)):
            if value is not None and (not isinstance(value, str) or not _NAME.match(value)):
                raise ValueError(
                    f"{name} must be lowercase letters, digits and _ (at most 40), not {value!r}"
                )
        self.prefix, self.schema = prefix, schema
        self._qualifier = "" if schema is None else f'"{schema}".'
        self._closed = False
        self._pool: Any = None
        self._connection: Any = None
        self._lock = threading.Lock()  # a given connection serves one call at a time
        self._owned = isinstance(where, str)
        if self._owned:
            from psycopg_pool import ConnectionPool

            self._server = _describe(where)
            pool = ConnectionPool(
                where,
                min_size=1,
                max_size=pool_size,
                kwargs={"autocommit": True, "prepare_threshold": prepare_threshold},
                configure=_read_committed,
                timeout=timeout,
                open=False,
                name=f"derirezaro {prefix}",
            )
            try:
                pool.open(wait=True, timeout=timeout)
            except psycopg.Error as exc:
                pool.close()
                raise as_persist_error(exc, self._server, None) from exc
            self._pool = pool
        elif isinstance(where, psycopg.Connection):
            self._connection, self._server = where, _describe_connection(where)
            self._lock = _TURNS.setdefault(where, self._lock)
        elif hasattr(where, "connection") and hasattr(where, "getconn"):
            self._pool, self._server = where, _describe(getattr(where, "conninfo", "") or "pool")
        else:
            raise TypeError(f"a conninfo str, a psycopg Connection or ConnectionPool, not {where!r}")
        self._sql = statements(self._qualifier, prefix)
        # A sync pool's connections are lent straight by getconn/putconn (`_call`): its context manager's
        # commit at exit and bookkeeping cost the client about what a one-row statement does, and a
        # step makes two calls. A subclass serving connections its own way keeps `_connected`.
        direct = type(self)._connected is PostgresLog._connected and hasattr(self._pool, "putconn")
        self._lend = self._pool if direct else None
        try:
            self._open_tables(setup)
        except BaseException:
            self.close()
            raise

    def _open_tables(self, setup: bool) -> None:
        """`setup()`, or else the check that the tables are not of an older version: this code's
        statements run on them and would store ids, keys and tasks as that version never reads them
        (and its migration would then pack them twice)."""
        if setup:
            self.setup()
            return
        found, schema = self.version(), postgres_schema.SCHEMA
        if found is not None and found < schema:
            raise PersistError(
                f"tables {self.prefix}_* of {self._server} are of version {found}, older than this "
                f"package's ({schema}): open the log with setup=True (or call setup()) to migrate them"
            )

    def setup(self) -> None:
        """Create the tables, or bring them to this code's version; safe to call at any time.

        Safe inside the caller's transaction (its work is a savepoint of it) and
        from several processes at once (they queue on an advisory lock).
        Raises `FormatError` for tables of a newer version.
        """

        def work(conn: Any) -> None:
            with conn.transaction():
                setup_tables(conn.cursor(row_factory=tuple_row), self._qualifier, self.prefix, self._server)

        self._call(None, work)

    def version(self) -> int | None:
        """The version of the tables under the prefix; None where there are none. Writes nothing."""

        def work(conn: Any) -> int | None:
            with conn.transaction():
                return version_of(
                    conn.cursor(row_factory=tuple_row), self._qualifier, self.prefix, self._server
                )

        return self._call(None, work)

    # -- writes -------------------------------------------------------------

    def append(
        self,
        timeline: str,
        record: StoredRecord,
        expected: TimelineHead | None,
        attach: Mapping[str, Sequence[Entry]] | None = None,
    ) -> TimelineHead:
        check_append(timeline, record, expected)
        params = {
            "name": utf8(timeline),
            "seq": record.seq,
            "crc": record.crc,
            "base": record.base,
            "inc": None if expected is None else expected.incarnation,
            "eseq": None if expected is None else expected.seq,
            "ecrc": None if expected is None else expected.crc,
            "id": None if record.id is None else ident(record.id),
            "parent": record.parent,
            "kind": record.kind,
            "format": record.format,
            "timestamp": record.timestamp,
            "digest": record.digest,
            "header_crc": record.header_crc,
            "meta": record.meta,
            "body": record.body,
            **entry_columns(attach.items() if attach else ()),
        }
        statement = self._sql["create" if expected is None else "append"][entries_shape(params)]

        def work(conn: Any) -> TimelineHead:
            try:
                row = _one(conn, statement, params).fetchone()
                if row is not None:
                    return TimelineHead(row[0], record.seq, record.crc, row[1])
                with conn.transaction():
                    return self._append_in_transaction(conn, timeline, record, expected, statement, params)
            except psycopg.errors.UniqueViolation:
                # The one unique key an append can break is (timeline, seq): a record stored above the head
                # its voucher holds, which no append leaves behind.
                raise self._damage(timeline, record.seq, "stored already, above its voucher's head") from None

        return self._call(timeline, work)

    def _append_in_transaction(
        self,
        conn: Any,
        timeline: str,
        record: StoredRecord,
        expected: TimelineHead | None,
        statement: str,
        params: dict,
    ) -> TimelineHead:
        """An append whose statement matched nothing, told apart with the voucher row locked."""
        now = _vouched(_cursor(conn).execute(self._sql["lock"], (params["name"],)).fetchone())
        if now is not None and (expected is None or now.incarnation == expected.incarnation):
            stored = _cursor(conn).execute(self._sql["stored"], (now.incarnation, record.seq)).fetchone()
            if stored is not None and tuple(stored) == (params["id"], record.crc):
                # A retry of an append that did land: the head as that append left it, nothing stored.
                return now._replace(seq=record.seq, crc=record.crc)
        if (None if now is None else now[:3]) != (None if expected is None else expected[:3]):
            raise ConflictError(timeline, _seq(expected), _seq(now))
        if now is not None and record.base != record.seq and record.base < now.first:
            raise ConflictError(timeline, _seq(expected), _seq(now))  # its keyframe was pruned
        if params["id"] is not None and now is not None:
            # Ids are unique by the statement's own check (their index cannot be): read under the row
            # lock every append takes, so what it finds holds until this transaction ends.
            if (
                _cursor(conn).execute(self._sql["seq_of_id"], (params["name"], params["id"])).fetchone()
                is not None
            ):
                raise ValueError(f"timeline {timeline!r} already has a record with id {record.id!r}")
        # The head is the one expected after all (the statement waited on a writer that rolled back).
        row = _cursor(conn).execute(statement, params).fetchone()
        if row is None:
            raise ConflictError(timeline, _seq(expected), _seq(now))
        return TimelineHead(row[0], record.seq, record.crc, row[1])

    def prune(
        self,
        timeline: str,
        keep_last: int,
        keep_from: int | None = None,
        detach: Iterable[str] = (),
        incarnation: int | None = None,
    ) -> Pruned:
        check_prune(keep_last, keep_from)
        keys = keys_of(detach)

        def work(conn: Any) -> Pruned:
            with conn.transaction():
                row = _cursor(conn).execute(self._sql["lock"], (utf8(timeline),)).fetchone()
                now = _vouched(row)
                if incarnation is not None and (now is None or now.incarnation != incarnation):
                    return _NOTHING  # dropped, perhaps written anew, since the caller read it: left as it is
                if row is not None and keys:
                    _cursor(conn).execute(self._sql["detach_key"], (row[0], keys), prepare=False)
                if now is None:
                    return _NOTHING
                key, head, _, first = now
                cutoff = max(first, head - keep_last + 1)
                if keep_from is not None:
                    cutoff = max(first, min(cutoff, keep_from))
                # Down until no record kept replays from a keyframe below the cutoff: each pass
                # lowers it to the oldest keyframe the records at or above it need.
                while cutoff > first:
                    lowest, count = _cursor(conn).execute(self._sql["chains"], (key, cutoff)).fetchone()
                    if count != head - cutoff + 1:
                        raise self._damage(
                            timeline, None, f"{head - cutoff + 1 - count} records missing above {cutoff}"
                        )
                    if lowest >= cutoff:
                        break
                    cutoff = lowest
                if cutoff <= first:
                    return _NOTHING
                removed, removed_bytes = (
                    _cursor(conn).execute(self._sql["prune"], (key, cutoff, cutoff, key)).fetchone()
                )
                if removed != cutoff - first:  # rolled back: what is missing stays missing, not hidden
                    raise self._damage(
                        timeline, None, f"{cutoff - first - removed} records missing below {cutoff}"
                    )
                return Pruned(removed, int(removed_bytes))

        return self._call(timeline, work)

    def vacuum(self) -> int:
        """0: PostgreSQL's autovacuum makes the room pruned records held free for new ones."""
        self._check_open()
        return 0

    def drop(self, timeline: str) -> None:
        # The records and attachments go with the row, by its trigger: a writer after finds no row.
        self._call(timeline, lambda conn: _one(conn, self._sql["drop"], (utf8(timeline),)))

    # -- attachments --------------------------------------------------------

    def attach(self, timeline: str, key: str, entries: Sequence[Entry]) -> None:
        params = {"name": utf8(timeline), **entry_columns([(key, entries)])}
        if not params["keys"]:
            return
        statement = self._sql["attach"][entries_shape(params)]

        def work(conn: Any) -> None:
            if _one(conn, statement, params).fetchone() is not None:
                return
            # No row for the timeline yet (one is made for its attachments, with no head), or a drop
            # deleted it while the statement waited: each run is a new snapshot, which sees the drop.
            with conn.transaction():
                while _cursor(conn).execute(statement, params).fetchone() is None:
                    _cursor(conn).execute(self._sql["new_row"], (params["name"],))

        self._call(timeline, work)

    def attachments(self, timeline: str, keys: Iterable[str]) -> dict[str, list[Entry]]:
        wanted = keys_of(keys)
        if not wanted:
            return {}
        rows = self._call(
            timeline,
            lambda conn: _rows(conn, self._sql["attachments"], (utf8(timeline), wanted)),
        )
        return by_key(rows, timeline, self._server)

    def detach(self, timeline: str, keys: Iterable[str]) -> None:
        wanted = keys_of(keys)
        if wanted:
            params = (utf8(timeline), wanted)
            self._call(timeline, lambda conn: _one(conn, self._sql["detach"], params, prepare=False))

    # -- reads --------------------------------------------------------------

    def head(self, timeline: str) -> TimelineHead | None:
        row = self._call(timeline, lambda conn: _one(conn, self._sql["head"], (utf8(timeline),)).fetchone())
        return None if row is None else self._checked(timeline, *row)

    def _checked(
        self,
        timeline: str,
        key: int,
        head: int,
        crc: int,
        first: int,
        head_crc: Any,
        newest: Any,
        oldest: Any,
    ) -> TimelineHead | None:
        """What a voucher row vouches for, checked against what the records say of its head and oldest."""
        if head == 0:
            if newest is None:
                return None  # a row made for attachments before the first record: no timeline yet
            raise self._damage(timeline, newest, "stored, but its voucher holds no head")
        if newest != head:
            raise self._damage(
                timeline, head, f"the voucher's head, but the newest record stored is {newest}"
            )
        if head_crc != crc:
            raise self._damage(timeline, head, f"the voucher's head, stored with crc {head_crc}, not {crc}")
        if oldest != first:
            raise self._damage(timeline, first, f"the voucher's oldest, but the oldest stored is {oldest}")
        return TimelineHead(key, head, crc, first)

    def opening(self, timeline: str, keys: Iterable[str] = ()) -> Opening:
        params = {"name": utf8(timeline), "keys": keys_of(keys)}
        found = self._call(timeline, lambda conn: _rows(conn, self._sql["opening"], params))
        # One statement, so one snapshot: the voucher row, the head's chain and the attachments.
        vouched: TimelineHead | None = None
        chain: list[StoredRecord] = []
        entries: list[Any] = []
        for row in found:
            if row[0] == 0:
                vouched = self._checked(timeline, *row[1:8])
            elif row[0] == 1:
                chain.append(record_of(row[8:21]))
            else:
                entries.append(row[21:])
        chain.sort()
        return Opening(vouched, chain if vouched is not None else [], by_key(entries, timeline, self._server))

    def read(self, timeline: str, first: int, last: int, base: int | None = None) -> list[StoredRecord]:
        params: list[Any] = [utf8(timeline), first, last]
        statement = self._sql["read"]
        if base is not None:
            statement, params = self._sql["read_base"], [*params, base]
        rows = self._call(timeline, lambda conn: _rows(conn, statement, params))
        return list(map(record_of, rows))

    def headers(
        self, timeline: str, *, limit: int, before: int | None = None, id: str | None = None
    ) -> list[StoredRecord]:
        params: list[Any]
        if id is not None:
            statement, params = self._sql["header_of_id"], [utf8(timeline), ident(id)]
        elif before is None:
            statement, params = self._sql["headers"], [utf8(timeline), max(limit, 0)]
        else:
            statement, params = self._sql["headers_before"], [utf8(timeline), before, max(limit, 0)]
        rows = self._call(timeline, lambda conn: _rows(conn, statement, params))
        return list(map(record_of, rows))

    def listing(
        self, timeline: str, *, limit: int, before: int | None = None, keys: Iterable[str] = ()
    ) -> tuple[list[StoredRecord], dict[str, list[Entry]]]:
        params = {"name": utf8(timeline), "limit": max(limit, 0), "before": before, "keys": keys_of(keys)}
        statement = self._sql["listing" if before is None else "listing_before"]
        found = self._call(timeline, lambda conn: _rows(conn, statement, params))
        # One statement, so one snapshot: the headers (seq set) and the entries under their ids and `keys`.
        rows = sorted((record_of(row[:13]) for row in found if row[0] is not None), reverse=True)
        return rows, by_key([row[13:] for row in found if row[0] is None], timeline, self._server)

    def timelines(self, prefix: str = "") -> list[str]:
        # One range of the names' index: from `prefix` to the least name above all that start with it.
        low = utf8(prefix)
        above = _above_prefix(low)
        if above is None:
            statement, params = self._sql["names_from"], [low]
        else:
            statement, params = self._sql["names_between"], [low, above]
        rows = self._call(None, lambda conn: _rows(conn, statement, params))
        try:
            return [text_of(name) for (name,) in rows]
        except UnicodeDecodeError as exc:
            what = f"a timeline's name is not UTF-8 ({bytes(exc.object)!r})"
            raise CorruptRecordError(None, None, what, file=self._server) from None

    # -- connections ----------------------------------------------------------

    @contextmanager
    def _connected(self) -> Iterator[Any]:
        self._check_open()
        if self._pool is not None:
            with self._pool.connection() as conn:
                yield conn
        else:
            with self._lock:
                yield self._connection

    def _call(self, timeline: str | None, work: Callable[[Any], _T]) -> _T:
        """`work(connection)`; psycopg's failures are mapped to the package's errors here, and only here."""
        try:
            pool = self._lend
            if pool is None:
                with self._connected() as conn:
                    return work(conn)
            self._check_open()
            conn = pool.getconn()
            try:
                if conn.autocommit:
                    # Each statement commits on its own or in a transaction block of `work`: nothing is
                    # left open to commit, and putconn rolls back what an interrupted block left.
                    return work(conn)
                with conn:  # a caller's pool of connections that are not autocommit: committed at exit
                    return work(conn)
            finally:
                pool.putconn(conn)
        except psycopg.Error as exc:
            error = as_persist_error(exc, self._server, timeline)
            if error is exc:
                raise
            if isinstance(error, ConnectionLostError):
                self._check_pool()
            raise error from exc

    @staticmethod
    def _finished(result: Any) -> Any:
        """What a call of the pool's returns, once done (the async log's calls return a coroutine)."""
        return result

    def _check_pool(self) -> None:
        """After a lost connection, have the pool test the ones it holds idle and replace the dead.

        A restarted server leaves every idle connection dead, and the pool finds
        that out only by lending it: without this, each of them would fail one
        more call. Costs a round trip per idle connection, on this path only.
        """
        check = getattr(self._pool, "check", None)
        if check is not None:
            try:
                self._finished(check())
            except Exception:  # best effort: the call's error is what the caller is told
                pass

    def close(self) -> None:
        """Close the pool the log opened; a pool or connection given to it stays open."""
        if self._closed:
            return
        self._closed = True
        if self._owned and self._pool is not None:
            self._pool.close()

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError(f"the log {self!r} is closed")

    def _damage(self, timeline: str, seq: int | None, what: str) -> CorruptRecordError:
        return CorruptRecordError(timeline, seq, what, file=self._server)

    def __repr__(self) -> str:
        return f"PostgresLog({self._server!r}, prefix={self.prefix!r})"


def _read_committed(conn: Any) -> None:
    """The isolation every statement of the log's own connections runs at, whatever the server's default.

    An append's compare-and-set relies on it: under READ COMMITTED an UPDATE
    that waited on another writer's reads the row as that writer left it and
    matches nothing; under a stricter level it fails with a serialization
    error instead, which a caller would see as an unavailable server.
    """
    conn.execute("SET default_transaction_isolation TO 'read committed'")


def _cursor(conn: Any) -> Any:
    """The cursor the log's one-row statements run on, kept by the connection: making a cursor for each
    costs the client a fifth of a one-row statement. Its rows are tuples whatever the connection's row
    factory (one made for LangGraph's own saver gives dicts). What it holds between calls is one row."""
    if not isinstance(conn, psycopg.Connection):
        return conn.cursor(row_factory=tuple_row)  # an async connection's facade, made for each call
    cursor = getattr(conn, _KEPT_CURSOR, None)
    if cursor is None or cursor.closed:
        # Kept as the connection's attribute, the two a cycle: they go together, whoever drops them.
        # A subclass with slots keeps none, and is given a cursor a call.
        cursor = conn.cursor(row_factory=tuple_row)
        with contextlib.suppress(AttributeError):
            setattr(conn, _KEPT_CURSOR, cursor)
    return cursor


def _one(conn: Any, statement: str, params: Any, prepare: bool | None = None) -> Any:
    """`statement` as one atomic step: on its own in autocommit, else in a (nested) transaction.
    `prepare=False` plans it for its values at this run."""
    if conn.autocommit and conn.pgconn.transaction_status == _IDLE:
        return _cursor(conn).execute(statement, params, prepare=prepare)
    with conn.transaction():
        return _cursor(conn).execute(statement, params, prepare=prepare)


def _rows(conn: Any, statement: str, params: Any) -> list[Any]:
    """The rows of a read, as one atomic step, on a cursor closed after: a read's rows may be many, and
    are not kept by the connection until its next statement."""
    with conn.cursor(row_factory=tuple_row, binary=True) as cursor:
        if conn.autocommit and conn.pgconn.transaction_status == _IDLE:
            return cursor.execute(statement, params).fetchall()  # type: ignore[no-any-return]
        with conn.transaction():
            return cursor.execute(statement, params).fetchall()  # type: ignore[no-any-return]


def _vouched(row: Any) -> TimelineHead | None:
    """The head a locked voucher row vouches for; None for no row, or one with no record yet."""
    return None if row is None or row[1] == 0 else TimelineHead(*row)


def _seq(head: TimelineHead | None) -> int | None:
    return None if head is None else head.seq


def _above_prefix(prefix: bytes) -> bytes | None:
    """The least bytes above all that start with `prefix`; None for an empty prefix.

    UTF-8 holds no 0xFF byte, so raising the last byte is enough.
    """
    return prefix[:-1] + bytes([prefix[-1] + 1]) if prefix else None


def _describe(conninfo: str) -> str:
    """host:port/dbname of a conninfo: never its password."""
    try:
        from psycopg.conninfo import conninfo_to_dict

        parts = conninfo_to_dict(conninfo)
    except Exception:  # unparsable: psycopg says why when it connects
        return "PostgreSQL"
    return f"{parts.get('host', 'localhost')}:{parts.get('port', 5432)}/{parts.get('dbname', '')}"


def _describe_connection(connection: Any) -> str:
    info = connection.info
    return f"{info.host}:{info.port}/{info.dbname}"

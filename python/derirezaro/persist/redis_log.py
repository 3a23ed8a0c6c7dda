"""Timelines in Redis: one server (or cluster) shared by every worker of a service.

Core commands only, so any Redis from 5 on, Valkey and Debian's server serve
it; no modules. Each timeline is five keys under one hash tag, and every
operation on a timeline is one Lua script over them (`redis_scripts` holds
the scripts and describes the keys, the voucher and its upgrade from a log
written before incarnations, and the attachments' framing). Beside them:

    {prefix}:names        sorted set: every timeline's name, all at score 0

This module runs the scripts, encodes what they store, keeps the names set,
and maps every failure the server replies with to the log's errors (`_call`).

The names set is what `timelines()` reads: a lexicographic range, not a
scan. On a cluster it lives in another slot than the timelines' keys, so it
is written by commands of its own, in an order that never leaves a timeline
unlisted: a create adds the name before its script and again after it, and
whoever removes a name (a drop, or a listing that finds the timeline gone)
looks again afterwards and adds it back if the timeline exists. A name whose
timeline is gone (dropped, expired) is filtered out when listed and removed
then. A set holds every name once it holds `_BUILT`; a log written before
the set existed builds it with one SCAN on its first listing.
"""

from __future__ import annotations

import logging
import secrets
import struct
import threading
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

from .._core import dumps, loads
from .errors import ConflictError, ConnectionLostError, CorruptRecordError, PersistError, UnavailableError
from .log import Entry, Opening, Pruned, TimelineHead, check_append, check_idx, check_prune
from .log_base import LogBase
from .record import StoredRecord
from .redis_scripts import MAX_TTL_SECONDS, SCRIPTS

_REDIS_MISSING: ImportError | None = None
try:
    import redis
    from redis.backoff import NoBackoff
    from redis.retry import Retry
except ImportError as exc:  # the optional extra is not installed; RedisLog says so when it is made
    redis = None  # type: ignore[assignment]
    _REDIS_MISSING = exc


logger = logging.getLogger(__name__)

_BUILT = b"\xff"  # the names set's member that says it holds every name: no name's UTF-8 is this byte
# Replies that are a server refusing or unable to serve, not a fault in what it holds.
_REFUSALS = frozenset(
    "OOM READONLY MISCONF BUSY LOADING MASTERDOWN CLUSTERDOWN TRYAGAIN NOREPLICAS NOPERM MOVED ASK".split()
)
# The refusals that reads are spared: an outage of one of these ends with a write that goes through.
_WRITE_REFUSALS = frozenset("OOM READONLY MISCONF NOREPLICAS".split())
_LOST = "connection lost"
# What a script stopped by SCRIPT KILL replies (only one that has written nothing can be): the same
# read, sent again, runs whole.
_KILLED = "Script killed by user"
_CLUSTER_SCHEMES = {"redis+cluster://": "redis://", "rediss+cluster://": "rediss://"}
_FRAME = struct.Struct(">I")


class RedisLog(LogBase):
    """Timelines in Redis, under `prefix`; `ttl` (seconds) makes idle timelines expire whole.

    `url_or_client` is a URL (`redis://host:port/db`, `rediss://`, `unix://`;
    `redis+cluster://host:port` or `rediss+cluster://` for a Redis Cluster, any
    of whose nodes it names) or a client of the `redis` package (`redis.Redis`
    or `redis.cluster.RedisCluster`) made without `decode_responses`. A client
    passed in is used as it is, and stays open at `close()`.

    A client the log makes from a URL waits at most `socket_connect_timeout`
    seconds (default 5) to connect and `socket_timeout` seconds (default 5)
    for a reply, so a stalled server fails a call with `ConnectionLostError`
    instead of holding it for as long as it stalls; None sets no limit.
    Options in the URL's query (`?socket_timeout=1`) win over these. A reply
    to a write that waits for replicas may take `replica_timeout` longer, so
    such a log's reads wait that much more. Such a client retries a call once,
    at once, when its connection broke, and never after a timeout: waiting
    again on a stalled server only doubles the stall, and the caller can
    retry (see `UnavailableError`). A cluster client keeps its own retries,
    which follow a failover to the new primary.

    A server that evicts keys when it reaches `maxmemory` loses timelines
    while every commit succeeds (a timeline partly evicted reads as damage,
    one wholly evicted as never written). So before its first write the log
    reads `maxmemory-policy` (on a cluster, of every primary) and refuses to
    write, with `UnavailableError` naming the setting, unless it is
    `noeviction` or `allow_eviction=True` was passed; until a check passes,
    each write checks again, so a server reconfigured with `CONFIG SET` is
    written to without a new log. A server that will not answer `CONFIG`
    (managed services often refuse it) is written to, with one WARNING. Reads
    are never refused: what such a server holds can be read and copied out.

    Redis replicates asynchronously: a primary acknowledges a write before any
    replica has it. So when a primary fails and a replica is promoted, the
    newest commits of a timeline can be lost: its head goes back to what the
    replica held, the writer's next commit conflicts or lands anew at a seq a
    lost record had, and a reader that saw the lost records finds others (or
    none) at their seqs. With `replicas=N`, every write waits until N replicas
    of the node that holds the timeline acknowledge it, for up to
    `replica_timeout` seconds, and raises `UnavailableError` saying how many
    did when fewer do: the write is on the primary, and a retry of the same
    commit returns success once enough replicas hold it. A failover then
    loses an acknowledged commit only if it promotes a replica that was not
    among the N, so N equal to the number of replicas closes that window.
    """

    def __init__(
        self,
        url_or_client: Any,
        prefix: str = "dz",
        ttl: float | None = None,
        *,
        replicas: int = 0,
        replica_timeout: float = 1.0,
        socket_timeout: float | None = 5.0,
        socket_connect_timeout: float | None = 5.0,
        allow_eviction: bool = False,
    ):
        if redis is None:
            raise ImportError(
                "RedisLog needs the 'redis' extra: pip install 'derirezaro[redis]'"
            ) from _REDIS_MISSING
        if not isinstance(prefix, str) or not prefix or any(c in prefix for c in "{}*?[]\\"):
            raise ValueError(
                f"prefix must be a non-empty str without braces or glob characters, not {prefix!r}"
            )
        if ttl is not None and (isinstance(ttl, bool) or not isinstance(ttl, (int, float))):
            raise TypeError(f"ttl must be a number of seconds or None, not {ttl!r}")
        if ttl is not None and not 0 < ttl <= MAX_TTL_SECONDS:
            raise ValueError(
                f"ttl must be a positive number of seconds up to {MAX_TTL_SECONDS} or None, not {ttl!r}"
            )
        if not isinstance(replicas, int) or isinstance(replicas, bool) or replicas < 0:
            raise ValueError(f"replicas must be an int >= 0, not {replicas!r}")
        if not replica_timeout > 0:
            raise ValueError(f"replica_timeout must be a positive number of seconds, not {replica_timeout!r}")
        for name, timeout in (
            ("socket_timeout", socket_timeout),
            ("socket_connect_timeout", socket_connect_timeout),
        ):
            if timeout is not None and (
                isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout > 0
            ):
                raise ValueError(f"{name} must be a positive number of seconds or None, not {timeout!r}")
        owned = isinstance(url_or_client, str)
        if owned and socket_timeout is not None and replicas:
            socket_timeout += replica_timeout  # the reply to a WAIT comes up to replica_timeout later
        client: Any = (
            _client_for(url_or_client, socket_timeout, socket_connect_timeout) if owned else url_or_client
        )
        if _decodes_responses(client):
            raise ValueError("the client must return bytes: make it without decode_responses=True")
        self.prefix, self.ttl = prefix, ttl
        self.replicas, self.replica_timeout = replicas, replica_timeout
        self.allow_eviction = bool(allow_eviction)
        self._client, self._owned = client, owned
        self._cluster = hasattr(client, "get_node_from_key")
        self._server = _describe(client, url_or_client)
        self._scripts = {name: client.register_script(text) for name, text in SCRIPTS.items()}
        self._names = f"{prefix}:names"
        self._closed = False
        self._lock = threading.Lock()
        # Set once a check of the eviction policy let writes through (at once, if eviction is
        # allowed); every write reads it.
        self._eviction_cleared = self.allow_eviction
        self._eviction_lock = threading.Lock()
        # What the server last failed with (a refusal's code, or _LOST) until it serves again:
        # an outage is logged when it starts and when it ends, not at every call it fails.
        self._outage: str | None = None

    def _keys(self, timeline: str) -> list[str]:
        tag = f"{self.prefix}:{{{timeline}}}"
        return [f"{tag}:m", f"{tag}:h", f"{tag}:b", f"{tag}:i", f"{tag}:x"]

    def _check_name(self, timeline: str) -> None:
        """Raise `ValueError` for a name this server cannot keep a timeline under; before any command.

        On a cluster a name that starts with "}" gives its keys an empty hash tag, so each key
        hashes whole and lands in a slot of its own, where no script can reach all five. A
        single server keeps such names as they are: their keys stay where they are.
        """
        _check_text(timeline, timeline)
        if self._cluster and timeline.startswith("}"):
            raise ValueError(
                f"timeline {timeline!r}: a name that starts with '}}' cannot be kept on a Redis Cluster: "
                "its keys' hash tag would be empty, which spreads them over slots that no script spans"
            )

    # -- the log contract ------------------------------------------------------

    def head(self, timeline: str) -> TimelineHead | None:
        """What the log vouches for `timeline` (see `Log.head`).

        A timeline written before incarnations existed reports incarnation 0, which no
        created timeline draws, until its first append or prune gives it one of its own.
        """
        reply = self._run("head", timeline, [])
        return None if reply[0] == b"none" else _vouched(reply)

    def append(
        self,
        timeline: str,
        record: StoredRecord,
        expected: TimelineHead | None,
        attach: Mapping[str, Sequence[Entry]] | None = None,
    ) -> TimelineHead:
        check_append(timeline, record, expected)
        args = [
            "" if expected is None else expected.incarnation,
            0 if expected is None else expected.seq,
            0 if expected is None else expected.crc,
            record.seq,
            "" if record.id is None else "1",
            record.id or "",
            _encode_header(record),
            record.body,
            record.crc,
            record.base,
            self._ttl_ms(),
            _fresh_incarnation(),  # if this creates the timeline, or upgrades a legacy voucher
            "1" if self.replicas else "",
            *_framed(timeline, attach or {}),
        ]
        if expected is None:
            self._add_name(timeline)  # listed before it exists: never a timeline that no listing finds
        reply, acked = self._write("append", timeline, args)
        status, expected_seq = reply[0], None if expected is None else expected.seq
        if status == b"taken":
            raise ValueError(f"timeline {timeline!r} already has a record with id {record.id!r}")
        if status == b"conflict":
            raise ConflictError(timeline, expected_seq, int(reply[1]) if len(reply) > 1 else None)
        if status == b"stored":
            row = _decode(timeline, record.seq, reply[3], None)
            if (row.id, row.crc) != (record.id, record.crc):
                raise ConflictError(timeline, expected_seq, int(reply[4]))
            vouched = TimelineHead(int(reply[1]), record.seq, record.crc, int(reply[2]))
        else:
            vouched = _vouched(reply)
        self._check_replicated(timeline, acked)
        if expected is None:
            self._add_name(timeline)  # again, after: a drop racing this create may have removed it
        return vouched

    def read(self, timeline: str, first: int, last: int, base: int | None = None) -> list[StoredRecord]:
        _check_ints(first=first, last=last, base=base)
        _, seqs, headers, bodies = self._run("read", timeline, [first, last, "" if base is None else base])
        rows = [_decode(timeline, s, h, b) for s, h, b in zip(seqs, headers, bodies, strict=True)]
        return rows if base is None else [row for row in rows if row.base == base]

    def opening(self, timeline: str, keys: Iterable[str] = ()) -> Opening:
        reply = self._run("opening", timeline, _names(timeline, keys))
        if reply[0] == b"none":
            return Opening(None, [], _attachments(timeline, reply[1], reply[2]))
        seqs, headers, bodies, found, frames = reply[5:]
        rows = [_decode(timeline, s, h, b) for s, h, b in zip(seqs, headers, bodies, strict=True)]
        if rows:  # the script keeps what it cannot read the base of: judged here, by the head's
            base = rows[-1].base
            rows = [row for row in rows if row.base == base]
        return Opening(_vouched(reply), rows, _attachments(timeline, found, frames))

    def headers(
        self, timeline: str, *, limit: int, before: int | None = None, id: str | None = None
    ) -> list[StoredRecord]:
        _check_ints(limit=limit, before=before)
        if id is not None and not isinstance(id, str):
            raise TypeError(f"id must be a str or None, not {id!r}")
        if limit <= 0 and id is None:
            return []
        args = [limit, "" if before is None else before, "" if id is None else "1", id or ""]
        _, seqs, headers = self._run("headers", timeline, args)
        rows = [_decode(timeline, seq, header, None) for seq, header in zip(seqs, headers, strict=True)]
        if id is not None and rows and rows[0].id != id:
            raise CorruptRecordError(timeline, rows[0].seq, f"indexed under id {id!r}, stored with another")
        return rows

    def listing(
        self, timeline: str, *, limit: int, before: int | None = None, keys: Iterable[str] = ()
    ) -> tuple[list[StoredRecord], dict[str, list[Entry]]]:
        _check_ints(limit=limit, before=before)
        args = [max(limit, 0), "" if before is None else before, *_names(timeline, keys)]
        _, seqs, headers, found, frames = self._run("listing", timeline, args)
        rows = [_decode(timeline, seq, header, None) for seq, header in zip(seqs, headers, strict=True)]
        return rows, _attachments(timeline, found, frames)

    def prune(
        self,
        timeline: str,
        keep_last: int,
        keep_from: int | None = None,
        detach: Iterable[str] = (),
        incarnation: int | None = None,
    ) -> Pruned:
        _check_ints(keep_last=keep_last, keep_from=keep_from, incarnation=incarnation)
        check_prune(keep_last, keep_from)
        args = [
            keep_last,
            "" if keep_from is None else keep_from,
            _fresh_incarnation(),
            "" if incarnation is None else incarnation,
            *_names(timeline, detach),
        ]
        reply, acked = self._write("prune", timeline, args)
        self._check_replicated(timeline, acked)
        return Pruned(int(reply[1]), int(reply[2]))

    def vacuum(self) -> int:
        """0: the server frees a pruned record's memory as it deletes it."""
        return 0

    def attach(self, timeline: str, key: str, entries: Sequence[Entry]) -> None:
        _, acked = self._write("attach", timeline, [self._ttl_ms(), *_framed(timeline, {key: entries})])
        self._check_replicated(timeline, acked)

    def attachments(self, timeline: str, keys: Iterable[str]) -> dict[str, list[Entry]]:
        _, found, frames = self._run("attachments", timeline, _names(timeline, keys))
        return _attachments(timeline, found, frames)

    def detach(self, timeline: str, keys: Iterable[str]) -> None:
        _, acked = self._write("detach", timeline, _names(timeline, keys))
        self._check_replicated(timeline, acked)

    def drop(self, timeline: str) -> None:
        _, acked = self._write("drop", timeline, [])
        self._check_replicated(timeline, acked)
        self._forget_names([timeline])

    def touch(self, timeline: str) -> None:
        """Start the timeline's `ttl` again, as an append would: what a read that refreshes it calls.

        A timeline that does not exist stays so; without a `ttl` nothing is sent.
        """
        if self.ttl is not None:
            self._run("touch", timeline, [self._ttl_ms()])

    def timelines(self, prefix: str = "") -> list[str]:
        start = prefix.encode()
        low, high = (b"[" + start if start else b"-"), b"(" + start + _BUILT  # _BUILT itself stays out

        def listed() -> Any:
            pipe = self._client.pipeline(transaction=False)
            pipe.zscore(self._names, _BUILT)
            pipe.zrangebylex(self._names, low, high)
            built, names = _executed(pipe)
            if built is not None:
                return names
            scanned = self._build_names()
            if scanned is None:
                return self._client.zrangebylex(self._names, low, high)
            return [name for name in scanned if name.startswith(start)]

        names = [name for member in self._call(None, listed) if (name := _name(member)) is not None]
        present = self._present(names)
        self._forget_names([name for name, here in zip(names, present, strict=True) if not here])
        return [name for name, here in zip(names, present, strict=True) if here]

    def close(self) -> None:
        with self._lock:
            if self._closed:
                return
            self._closed = True
            if self._owned:
                self._client.close()

    def __repr__(self) -> str:
        return f"RedisLog({self._server!r}, prefix={self.prefix!r})"

    def _ttl_ms(self) -> int:
        return 0 if self.ttl is None else max(1, round(self.ttl * 1000))

    # -- the names set -----------------------------------------------------------

    def _add_name(self, timeline: str) -> None:
        self._check_name(timeline)
        self._check_writable(timeline)
        if not self.replicas:
            self._call(timeline, lambda: self._client.zadd(self._names, {timeline: 0}), writes=True)
            return

        def add(pipe: Any) -> None:
            pipe.zadd(self._names, {timeline: 0})

        added = self._call(timeline, lambda: self._waited(self._names, add), writes=True)
        self._check_replicated(timeline, added[-1])

    def _present(self, names: list[str]) -> list[bool]:
        """Whether each timeline holds anything of its records (damaged ones are listed, to be found so)."""
        if not names:
            return []

        def exists() -> list[Any]:
            pipe = self._client.pipeline(transaction=False)
            for name in names:
                pipe.exists(*self._keys(name)[:4])
            return _executed(pipe)

        return [count > 0 for count in self._call(None, exists)]

    def _forget_names(self, names: list[str]) -> None:
        """Remove the names of gone timelines, then add back any that a create made meanwhile.

        Best effort where the server takes no writes (a read-only replica lists too): the
        names stay, filtered out of each listing, until a listing on the primary removes them.
        """
        if not names:
            return

        def forget() -> bool:
            try:
                self._client.zrem(self._names, *names)
            except redis.ResponseError as exc:
                if _message(exc).split(" ", 1)[0] not in _WRITE_REFUSALS:
                    raise
                return False
            return True

        if not self._call(None, forget):
            return  # nothing removed, so nothing to add back
        back = [name for name, here in zip(names, self._present(names), strict=True) if here]
        if back:
            self._call(None, lambda: self._client.zadd(self._names, dict.fromkeys(back, 0)))

    def _build_names(self) -> list[bytes] | None:
        """Fill the names set from the keys, once, for a log written before it existed.

        A read-only replica cannot: it returns the names it found instead, sorted,
        and lists by a scan until its primary has built the set.
        """
        start, pattern = len(self.prefix.encode()) + 2, f"{self.prefix}:{{*}}:[mhbi]"  # keys are bytes
        found = sorted({key[start:-3] for key in self._client.scan_iter(match=pattern, count=1000)})
        try:
            for at in range(0, len(found), 1000):
                self._client.zadd(self._names, dict.fromkeys(found[at : at + 1000], 0))
            self._client.zadd(self._names, {_BUILT: 0})
        except redis.exceptions.ReadOnlyError:
            return found
        return None

    # -- running scripts -------------------------------------------------------

    def _run(self, script: str, timeline: str, args: list[Any], writes: bool = False) -> Any:
        self._check_name(timeline)
        keys, code = self._keys(timeline), self._scripts[script]
        return _checked(timeline, self._call(timeline, lambda: code(keys=keys, args=args), writes))

    def _write(self, script: str, timeline: str, args: list[Any]) -> tuple[Any, int | None]:
        """Run a writing script; with `replicas`, followed by a WAIT on its connection: (reply, acks)."""
        self._check_name(timeline)
        self._check_writable(timeline)
        if not self.replicas:
            return self._run(script, timeline, args, writes=True), None
        keys, code = self._keys(timeline), self._scripts[script]

        def evalsha(pipe: Any) -> None:
            pipe.evalsha(code.sha, len(keys), *keys, *args)

        def work() -> list[Any]:
            replies = self._waited(keys[0], evalsha)
            if isinstance(replies[0], redis.exceptions.NoScriptError):  # a restarted server: load it, once
                self._node(keys[0]).script_load(code.script)
                replies = self._waited(keys[0], evalsha)
            if isinstance(replies[0], Exception):
                raise replies[0]
            return replies

        reply, acked = self._call(timeline, work, writes=True)
        return _checked(timeline, reply), acked

    def _waited(self, key: str, queue: Callable[[Any], None]) -> list[Any]:
        """Commands, then WAIT, on one connection to the node that holds `key` (WAIT counts its writes).

        On a cluster that connection is to the node the cluster client's slot map names, and
        follows no redirection of its own: a MOVED reply (the slot moved, or a failover promoted
        a replica) means the commands did not run, so the map is told of the move, as the
        cluster client does for its own commands, and they are sent once more, where it points.
        """
        try:
            return self._waited_once(key, queue)
        except redis.exceptions.MovedError as exc:
            if not self._cluster:
                raise
            self._moved(exc)
        return self._waited_once(key, queue)

    def _waited_once(self, key: str, queue: Callable[[Any], None]) -> list[Any]:
        pipe = self._node(key).pipeline(transaction=False)
        queue(pipe)
        pipe.execute_command("WAIT", self.replicas, max(1, round(self.replica_timeout * 1000)))
        try:
            replies = pipe.execute(raise_on_error=False)
        except (redis.ConnectionError, redis.TimeoutError):
            if self._cluster:  # a node gone (failed over?): the call retried goes where the map says now
                self._refresh_slots()
            raise
        # The commands' own error first: after a redirection WAIT fails too, on a node now a replica.
        if isinstance(replies[0], Exception) and not isinstance(replies[0], redis.exceptions.NoScriptError):
            raise replies[0]
        for reply in replies[1:]:
            if isinstance(reply, Exception):
                raise reply
        return replies

    def _node(self, key: str) -> Any:
        if self._cluster:  # the primary of the key's slot
            return self._client.get_redis_connection(self._client.get_node_from_key(key))
        return self._client

    def _moved(self, moved: redis.exceptions.MovedError) -> None:
        """Point the cluster client's slot map where a MOVED reply says the slot is served."""
        manager = self._client.nodes_manager
        if moved.host and hasattr(manager, "move_slot"):
            manager.move_slot(moved)
        else:  # a redis-py that patches the map only as it routes, or a reply without a host
            manager.initialize()

    def _refresh_slots(self) -> None:
        """Read the cluster's slot map again; best effort: the error that asked for it is what is raised."""
        try:
            self._client.nodes_manager.initialize()
        except (redis.RedisError, redis.exceptions.RedisClusterException) as exc:
            logger.debug("Redis %s: the cluster's slots could not be read again: %s", self._server, exc)

    def _check_replicated(self, timeline: str, acked: int | None) -> None:
        if acked is not None and acked < self.replicas:
            raise UnavailableError(
                self._server,
                f"{acked} of the {self.replicas} replicas asked for acknowledged the write within "
                f"{self.replica_timeout}s; it is on the primary, and a retry of the same call "
                "returns success once enough replicas hold it",
                timeline,
            )

    def _call(self, timeline: str | None, work: Callable[[], Any], writes: bool = False) -> Any:
        """Run `work` against the server; every failure of redis is mapped here, and only here.

        `writes`: whether `work` writes, so that it ends an outage of refused writes.
        """
        if self._closed:
            raise ValueError(f"the log {self!r} is closed")
        try:
            result = work()
        except (redis.RedisError, redis.exceptions.RedisClusterException) as exc:
            error = self._failure(exc, timeline)
            if isinstance(error, UnavailableError):
                self._failed(error)
            raise error from exc
        if self._outage is not None and (writes or self._outage not in _WRITE_REFUSALS):
            self._served_again()
        return result

    def _failed(self, error: UnavailableError) -> None:
        """Log an outage at WARNING when it starts (or changes), and its further failures at DEBUG."""
        kind = _LOST if isinstance(error, ConnectionLostError) else error.reason.split(" ", 1)[0]
        if kind == self._outage:
            logger.debug("Redis %s still unavailable: %s", self._server, error)
            return
        self._outage = kind
        logger.warning("Redis %s unavailable: %s", self._server, error)

    def _served_again(self) -> None:
        outage, self._outage = self._outage, None
        if outage is not None:  # another thread may have logged the end of it first
            logger.info("Redis %s serves again, after %s", self._server, outage)

    def _check_writable(self, timeline: str) -> None:
        """Refuse to write to a server that may evict keys (unless eviction is allowed: never called then).

        The policy is read until a check lets writes through, then never again:
        one CONFIG GET per log, not per write.
        """
        if self._eviction_cleared:
            return
        with self._eviction_lock:
            if self._eviction_cleared:
                return
            policies = self._call(timeline, self._eviction_policies)
            evicting = [(node, policy) for node, policy in policies if policy not in (None, "noeviction")]
            if evicting:
                node, policy = evicting[0]
                raise UnavailableError(
                    node,
                    f"maxmemory-policy is {policy!r}: the server may evict timelines' keys when it reaches "
                    "maxmemory, losing commits it acknowledged; set maxmemory-policy to noeviction (CONFIG "
                    "SET maxmemory-policy noeviction, and in the server's configuration), or pass "
                    "allow_eviction=True to write to it anyway",
                    timeline,
                )
            unknown = [node for node, policy in policies if policy is None]
            if unknown:
                logger.warning(
                    "Redis %s does not answer CONFIG GET maxmemory-policy: writing without knowing whether "
                    "it may evict timelines' keys (any policy but noeviction loses commits under memory "
                    "pressure)",
                    ", ".join(unknown),
                )
            self._eviction_cleared = True

    def _eviction_policies(self) -> list[tuple[str, str | None]]:
        """(node, maxmemory-policy) of the server, or of every primary of a cluster; None where unknown."""
        if hasattr(self._client, "get_primaries"):
            nodes = [
                (node.name, self._client.get_redis_connection(node)) for node in self._client.get_primaries()
            ]
        else:
            nodes = [(self._server, self._client)]
        return [(name, _eviction_policy(node)) for name, node in nodes]

    def _failure(self, exc: Exception, timeline: str | None) -> PersistError:
        message = _message(exc)
        if message.split(" ", 1)[0] in _REFUSALS:
            return UnavailableError(self._server, message, timeline)
        if isinstance(exc, (redis.ConnectionError, redis.TimeoutError)):
            return ConnectionLostError(self._server, f"connection lost: {message}", timeline)
        if isinstance(exc, redis.ResponseError) and _KILLED in message:  # an operator stopped a read
            return UnavailableError(self._server, message, timeline)
        if isinstance(exc, redis.ResponseError):  # a key that holds something else, or a script's failure
            return CorruptRecordError(timeline or self._names, None, f"unreadable keys ({message})")
        return UnavailableError(self._server, message, timeline)


def _executed(pipe: Any) -> list[Any]:
    """A pipeline's replies; its first error raised as the server gave it.

    Some redis-py releases raise a pipeline's error with "Command # N (...) of
    pipeline caused error:" before the server's text, which hides the code
    (BUSY, OOM, ...) that tells a refusal from damage.
    """
    replies = pipe.execute(raise_on_error=False)
    for reply in replies:
        if isinstance(reply, Exception):
            raise reply
    return list(replies)


def _message(exc: Exception) -> str:
    """The server's reply with its code: redis-py cuts the code off the errors it has classes for."""
    text = str(exc)
    code = getattr(exc, "status_code", None)
    if code is None:
        code = next((c for cls, c in _CODES if isinstance(exc, cls)), None)
    return text if code is None or text.startswith(code) else f"{code} {text}"


_CODES = (
    []
    if redis is None
    else [
        (redis.exceptions.OutOfMemoryError, "OOM"),
        (redis.exceptions.ReadOnlyError, "READONLY"),
        (redis.exceptions.BusyLoadingError, "LOADING"),
        (redis.exceptions.NoPermissionError, "NOPERM"),
        (redis.exceptions.MasterDownError, "MASTERDOWN"),
        (redis.exceptions.ClusterDownError, "CLUSTERDOWN"),
        (redis.exceptions.TryAgainError, "TRYAGAIN"),
        (redis.exceptions.MovedError, "MOVED"),
        (redis.exceptions.AskError, "ASK"),
    ]
)


def _eviction_policy(client: Any) -> str | None:
    """The server's maxmemory-policy; None when it will not say (CONFIG renamed away, or not permitted)."""
    try:
        reply = client.config_get("maxmemory-policy")
    except redis.ResponseError as exc:
        code = _message(exc).split(" ", 1)[0]
        if code in _REFUSALS and code != "NOPERM":  # busy, loading, ...: not an answer about CONFIG
            raise
        return None
    value = reply.get(b"maxmemory-policy", reply.get("maxmemory-policy"))
    return value.decode() if isinstance(value, bytes) else value


def _client_for(url: str, socket_timeout: float | None, socket_connect_timeout: float | None) -> Any:
    """The client a URL names, with the log's timeouts; a cluster's for the `+cluster` schemes."""
    timeouts = {"socket_timeout": socket_timeout, "socket_connect_timeout": socket_connect_timeout}
    for scheme, plain in _CLUSTER_SCHEMES.items():
        if url.startswith(scheme):
            from redis.cluster import RedisCluster

            return RedisCluster.from_url(plain + url[len(scheme) :], **timeouts)
    # One retry, at once, of a call whose connection broke; none after a timeout (see RedisLog).
    retry = Retry(NoBackoff(), 1, supported_errors=(redis.ConnectionError,))
    return redis.Redis.from_url(url, retry=retry, retry_on_error=[redis.ConnectionError], **timeouts)


def _checked(timeline: str, reply: Any) -> Any:
    if reply[0] == b"corrupt":
        raise CorruptRecordError(timeline, reply[1], reply[2].decode())
    return reply


def _fresh_incarnation() -> int:
    """64 random bits, never 0: 0 is what a timeline written before incarnations reads as."""
    return 1 + secrets.randbelow(2**64 - 1)


def _vouched(reply: list[Any]) -> TimelineHead:
    return TimelineHead(int(reply[1]), int(reply[2]), int(reply[3]), int(reply[4]))


def _check_ints(**values: Any) -> None:
    for name, value in values.items():
        if value is not None and (not isinstance(value, int) or isinstance(value, bool)):
            raise TypeError(f"{name} must be an int, not {value!r}")


def _name(member: bytes) -> str | None:
    try:
        return member.decode()
    except UnicodeDecodeError:  # not written by a log: no name's UTF-8
        return None


def _check_text(timeline: str, text: str, what: str = "") -> None:
    """Raise `ValueError` unless `text` (the timeline's name, or `what` of it) has a UTF-8 form, as all
    that Redis stores is sent in: a str with a lone surrogate has none, and redis-py would fail on it
    naming neither the text nor where."""
    try:
        text.encode()
    except UnicodeEncodeError as exc:
        subject = f"{what} {text!r}" if what else "its name"
        raise ValueError(
            f"timeline {timeline!r}: {subject} cannot be stored in Redis: it has no UTF-8 form "
            f"({exc.reason}, at index {exc.start})"
        ) from None


def _names(timeline: str, keys: Iterable[str]) -> list[str]:
    names = list(keys)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"an attachment key is a str, not {name!r}")
        _check_text(timeline, name, "the attachment key")
    return names


def _framed(timeline: str, attach: Mapping[str, Sequence[Entry]]) -> list[Any]:
    """Script arguments for attachments: each key, then its entries as frames."""
    out: list[Any] = []
    for key, entries in attach.items():
        frames = bytearray()
        for entry in entries:
            task, idx, blob = entry
            if type(task) is not str or type(idx) is not int or not isinstance(blob, bytes):
                raise TypeError(f"an attachment entry is (task: str, idx: int, blob: bytes), not {entry!r}")
            check_idx(idx)
            try:
                frame = dumps([task, idx, blob])
            except UnicodeEncodeError:  # the task, its one str: said so, naming it and where
                _check_text(timeline, task, f"under the attachment key {key!r}, the task")
                raise
            frames += _FRAME.pack(len(frame))
            frames += frame
        out += [*_names(timeline, [key]), bytes(frames)]
    return out


def _attachments(timeline: str, keys: list[bytes], frames: list[bytes]) -> dict[str, list[Entry]]:
    """Entries by key, by the attachment rule: the first of a `(task, idx)` wins, a negative idx replaces."""
    found: dict[str, list[Entry]] = {}
    for stored, data in zip(keys, frames, strict=True):
        key, kept = stored.decode(), {}
        at = 0
        try:
            while at < len(data):
                (size,) = _FRAME.unpack_from(data, at)
                if at + 4 + size > len(data):
                    raise ValueError("a frame cut short")
                task, idx, blob = loads(data[at + 4 : at + 4 + size])
                if type(task) is not str or type(idx) is not int or type(blob) is not bytes:
                    raise ValueError("not an attachment entry")
                if idx < 0 or (task, idx) not in kept:
                    kept[(task, idx)] = (task, idx, blob)
                at += 4 + size
        except (ValueError, TypeError, struct.error) as exc:
            raise CorruptRecordError(
                timeline, None, f"unreadable attachments under {key!r} ({exc})"
            ) from None
        if kept:
            found[key] = list(kept.values())
    return found


def _encode_header(r: StoredRecord) -> bytes:
    return dumps(
        [
            r.id,
            r.parent,
            r.base,
            r.kind,
            r.format,
            r.timestamp,
            r.digest,
            r.header_crc,
            r.crc,
            r.meta,
            r.body_size,
        ]
    )


def _decode(timeline: str, seq: int, header: bytes, body: bytes | None) -> StoredRecord:
    """A record from its stored header (and body); what is no header is a damaged record, never data."""
    try:
        fields = loads(header)
    except ValueError as exc:
        raise CorruptRecordError(timeline, seq, f"undecodable header ({exc})") from None
    if type(fields) is not list or len(fields) != 11:
        raise CorruptRecordError(timeline, seq, "a header that is not one")
    id, parent, base, kind, format, timestamp, digest, header_crc, crc, meta, body_size = fields
    if type(meta) is not bytes or type(body_size) is not int or type(base) is not int:
        raise CorruptRecordError(timeline, seq, "a header that is not one")
    return StoredRecord(
        int(seq), id, parent, base, kind, format, timestamp, digest, header_crc, crc, meta, body, body_size
    )


def _decodes_responses(client: Any) -> bool:
    try:
        return bool(client.get_connection_kwargs().get("decode_responses"))
    except AttributeError:  # a cluster client keeps the option on its nodes' pools
        return bool(getattr(getattr(client, "encoder", None), "decode_responses", False))


def _describe(client: Any, given: Any) -> str:
    if isinstance(given, str):
        return given.split("?")[0].split("@")[-1]  # no password (before the host or in the query) in messages
    try:
        kwargs = client.get_connection_kwargs()
        return f"{kwargs.get('host', '?')}:{kwargs.get('port', '?')}"
    except AttributeError:
        return type(client).__name__

"""Every log kind against one model of a timeline, and against the log contract's tables.

The model is the content after each committed seq; the machine commits, branches, prunes
and reopens, and after every step the store, the head and the listing must match it.
A log kind is one entry of LOGS: a function of a fresh directory that returns how to open
a handle on one log. Reopening takes a new handle and a new Store; a handle other than the
previous one means the previous one is closed, as a restarted process would find it.
What a prune reports removed must be what the model lost, records and body bytes.
The calls a timeline does not make this way are test_persist_logs.py's, over the same LOGS.
"""

import functools
import tempfile
from pathlib import Path

from conftest import ints
from derirezaro import Store, dumps
from derirezaro.persist import ConflictError, MemoryLog, RedisLog, SQLiteLog, Tuning
from derirezaro.persist.log import composed_opening
from derirezaro.persist.postgres import PostgresLog
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule
from postgres_server import fresh_prefix as table_prefix
from postgres_server import shared_url as postgres_url
from redis_server import fresh_prefix, shared_url

LOGS = {
    "memory": lambda directory: (lambda log: lambda: log)(MemoryLog()),  # every handle is the one object
    "sqlite": lambda directory: lambda: SQLiteLog(directory / "model.db"),
    # One connection that every thread shares: there is no other handle on a private database.
    "sqlite-memory": lambda directory: (lambda log: lambda: log)(SQLiteLog(":memory:")),
    # One shared server; each log under a prefix of its own, so tests see only their own timelines.
    "redis": lambda _: functools.partial(RedisLog, shared_url(), prefix=fresh_prefix()),
    # One shared server; each log in tables of its own.
    "postgres": lambda _: functools.partial(PostgresLog, postgres_url(), prefix=table_prefix(), pool_size=2),
}


def in_order(found):  # entries of a key come back in no set order
    return {key: sorted(entries) for key, entries in found.items()}


def content(snapshot):
    view = Store()
    view.restore(snapshot)
    return {(ns, key): dumps(view.get(ns, key)) for ns, key in snapshot.keys}


leaves = st.none() | st.booleans() | ints | st.floats() | st.text(max_size=3) | st.binary(max_size=5)
values = st.recursive(
    leaves, lambda c: st.lists(c, max_size=3) | st.dictionaries(st.text(max_size=2) | leaves, c, max_size=3)
)
pairs = st.tuples(st.sampled_from(["a", "b", ""]), st.sampled_from(["x", "y", "z"]))


BOUNDED = settings(max_examples=100, stateful_step_count=40, deadline=None)
# A server round trip per read makes a step of a server's log cost the most: fewer runs, as long.
FEWER = {"postgres": settings(BOUNDED, max_examples=40)}


class TimelineMachine(RuleBasedStateMachine):  # each log kind's subclass sets open_log, an entry of LOGS
    def __init__(self):
        super().__init__()
        self.directory = tempfile.TemporaryDirectory()
        self.connect = self.open_log(Path(self.directory.name))
        self.log, self.tl, self.parent, self.counter = self.connect(), None, None, 0
        # seq -> content after it; seq -> (seq, id, parent, meta); seqs pruned away; the store's content;
        # seq -> bytes its body stored
        self.states, self.headers, self.gone, self.current, self.sizes = {}, {}, set(), {}, {}
        # Whether another writer moved the head (a commit must conflict), or may have
        # pruned the chain this writer builds on (a commit may conflict).
        self.stale = self.moved = False

    # A small cache, so reads replay from what it still holds; a padding entry, as most states have
    # one, so that a change weighs less than the state and most records are deltas. Keyframes by
    # weight, the points a replay leaves and framed bodies come at small sizes, so short runs reach them.
    @initialize(
        keyframe_every=st.integers(2, 4),
        cache_size=st.integers(1, 4),
        pad=st.integers(0, 400),
        min_run=st.sampled_from([0, 64]),
        point_every=st.integers(1, 3),
        chunk=st.integers(1, 3),
    )
    def open(self, keyframe_every, cache_size, pad, min_run, point_every, chunk):
        tuning = Tuning(min_run_bytes=min_run, point_every=point_every, chunk_entries=chunk)
        self.options = {"keyframe_every": keyframe_every, "cache_size": cache_size, "tuning": tuning}
        self.tl = self.log.timeline("t", Store(), **self.options)
        self.set(("pad", "p"), b"p" * pad)

    @rule(pair=pairs, value=values)
    def set(self, pair, value):
        self.tl.store.set(*pair, value)
        self.current[pair] = dumps(value)

    @rule(pair=pairs)
    def delete(self, pair):
        assert self.tl.store.delete(*pair) is (self.current.pop(pair, None) is not None)

    @rule(chosen=st.booleans())
    def commit(self, chosen):
        self.counter += 1
        seq = max(self.states, default=0) + 1
        header = (seq, f"c{self.counter}" if chosen else str(seq), self.parent, {"n": self.counter})
        try:
            record = self.tl.commit(header[3], id=header[1] if chosen else None)
        except ConflictError:
            assert self.moved, "a commit conflicted with no other writer about"
            return self.catch_up()
        assert not self.stale, "a commit landed on a head another writer had moved"
        assert (record.seq, record.id, record.parent, record.meta) == header
        self.states[seq], self.headers[seq], self.parent = dict(self.current), header, seq
        self.sizes[seq], self.moved = record.size, False

    def catch_up(self):  # after a conflict: the store at the log's newest record
        head = max(self.states)
        self.tl.restore(head)
        self.current, self.parent, self.stale, self.moved = dict(self.states[head]), head, False, False

    @precondition(lambda self: self.states)
    @rule(data=st.data())
    def another_writer_forks(self, data):  # restore an old record and commit on it, as update_state does
        seq = data.draw(st.sampled_from(sorted(set(self.states) - self.gone)))
        other = self.log.timeline("t", Store(), **self.options)
        other.restore(seq)
        other.store.set("fork", "k", self.counter)
        self.counter += 1
        record = other.commit({"n": self.counter})
        self.states[record.seq] = {**self.states[seq], ("fork", "k"): dumps(self.counter - 1)}
        self.headers[record.seq] = (record.seq, str(record.seq), seq, {"n": self.counter})
        self.sizes[record.seq], self.stale, self.moved = record.size, True, True

    @precondition(lambda self: self.states)
    @rule(keep_last=st.integers(1, 4))
    def another_writer_prunes(self, keep_last):  # it knows nothing of this writer's parent
        other = self.log.timeline("t", Store(), **self.options)
        removed = other.prune(keep_last)
        listed = [record.seq for record in other.records()]
        head, kept = max(self.states), min(keep_last, len(listed))
        assert listed[:kept] == list(range(head, head - kept, -1))
        self.pruned(removed, set(self.states) - self.gone - set(listed))
        self.gone = set(self.states) - set(listed)
        # Every record kept reads back whole: no chain lost its keyframe or a parent.
        fresh = self.log.timeline("t", Store(), cache_size=1)
        assert all(content(fresh.checkout(seq)) == self.states[seq] for seq in listed)
        self.moved = self.moved or removed.records > 0

    @precondition(lambda self: self.states)
    @rule(data=st.data(), branch=st.booleans())
    def checkout_or_restore(self, data, branch):  # a record named by its seq or by its id
        seq, ref = data.draw(st.sampled_from([(s, r) for s in self.states for r in (s, self.headers[s][1])]))
        try:
            snapshot = (self.tl.restore if branch else self.tl.checkout)(ref)
        except KeyError:  # and a restore leaves the store as it was
            assert seq in self.gone, f"record {ref!r} is lost"
            return
        if branch:  # the next commit branches from `seq`, at the log's head + 1
            self.current, self.parent, self.stale, self.moved = dict(self.states[seq]), seq, False, False
        else:
            assert content(snapshot) == self.states[seq]

    @rule()
    def discard(self):  # what was not committed goes: the store holds the record the next commit builds on
        self.tl.discard()
        self.current = {} if self.parent is None else dict(self.states[self.parent])

    @precondition(lambda self: self.states)
    @rule(keep_last=st.integers(1, 6))
    def prune(self, keep_last):
        removed = self.tl.prune(keep_last)
        head, listed = max(self.states), [record.seq for record in self.tl.records()]
        assert listed == list(range(head, head - len(listed), -1)), "only a prefix is dropped"
        # The newest keep_last stay, and so does the record the next commit builds on.
        dropped, self.gone = set(self.states) - set(listed) - self.gone, set(self.states) - set(listed)
        assert all(seq < min(head - keep_last + 1, self.parent) for seq in dropped)
        self.pruned(removed, dropped)
        assert self.tl.verify() == []

    def pruned(self, removed, dropped):  # what a prune said it removed is what went
        assert removed == (len(dropped), sum(self.sizes[seq] for seq in dropped))

    @rule()
    def reopen(self):
        log = self.connect()
        if log is not self.log:
            self.log.close()
        self.log, head = log, max(self.states, default=None)
        self.tl = log.timeline("t", Store(), **self.options)
        self.current, self.parent = dict(self.states.get(head, {})), head
        self.stale = self.moved = False

    @rule(on_head=st.booleans(), idx=st.integers(-1, 1))
    def attach(self, on_head, idx):  # under the head's id, which an opening returns, or a key asked for
        head = self.tl.head
        self.log.attach("t", head.id if on_head and head else "x", [("task", idx, b"%d" % self.counter)])

    @invariant()
    def matches_the_model(self):
        assert content(self.tl.store.snapshot()) == self.current and self.tl.parent == self.parent
        # The one read a timeline opens from is what the log's other reads compose.
        opened, composed = (f(self.log, "t", ["x"]) for f in (type(self.log).opening, composed_opening))
        assert opened._replace(found=None) == composed._replace(found=None)
        assert in_order(opened.found) == in_order(composed.found)
        assert getattr(self.tl.head, "seq", None) == max(self.states, default=None)
        expected = [self.headers[seq] for seq in sorted(set(self.states) - self.gone, reverse=True)]
        assert [(r.seq, r.id, r.parent, r.meta) for r in self.tl.records()] == expected

    def teardown(self):  # a failed check leaves the directory to its finalizer
        assert self.tl is None or self.tl.verify() == []
        self.log.close()
        self.directory.cleanup()


for _kind, _open in LOGS.items():
    _machine = type(f"{_kind.title()}Machine", (TimelineMachine,), {"open_log": staticmethod(_open)})
    globals()[f"test_{_kind}_log_matches_the_model"] = FEWER.get(_kind, BOUNDED)(_machine).TestCase

"""Races between writers, readers and housekeeping of one timeline, on every log kind, step by step.

Each test stops one side before its 1st, 2nd, ... call to the log and after its last,
runs the other side whole at that point, lets the first go on, and checks the outcome, so
every point between two of its calls is tried. Nothing acknowledged may be lost, and every
error must be the one the race calls for: a record another writer removed is `KeyError`
(RecordNotFoundError), a stale write is `ConflictError`, and neither is ever reported as
damage. The last test plants, one at a time, the faults these races catch, and checks that
the race test for each fails.

The history every race starts from: six records, keyframes at 1 and 4, record 3 also named
"three". A rewrite writes six other records at the same seqs, keyframes at 1, 3 and 5.
"""

import functools
import inspect
from types import SimpleNamespace

import pytest
from derirezaro import Store, dumps
from derirezaro.persist import (
    ConflictError,
    ConnectionLostError,
    CorruptRecordError,
    MemoryLog,
    PersistError,
    RecordNotFoundError,
    Timeline,
    UnavailableError,
)
from derirezaro.persist import timeline as timeline_module
from derirezaro.persist.record import KEYFRAME
from log_wrappers import LostReply, Paused, Side, release_all
from test_persist_model import LOGS, content

LIMIT = 64  # more log calls than any side makes: a side still stopping after this many never ends
OLD = list(range(6))
NEW = [f"new-{value}" for value in range(6)]


@pytest.fixture(params=sorted(LOGS))
def connect(request, tmp_path):
    """Opens a handle on one log; each is another process's view of it (memory: the one object)."""
    open_log, handles = LOGS[request.param](tmp_path), []
    yield lambda: handles.append(open_log()) or handles[-1]
    release_all()
    for handle in handles:
        handle.close()


def opened(log, name, keyframe_every=3, cache_size=1):
    return Timeline(log, name, Store(), keyframe_every=keyframe_every, cache_size=cache_size)


def write(tl, value, id=None):
    tl.store.set("a", "k", value)
    return tl.commit(id=id)


def history(log, name, values=OLD, keyframe_every=3, tl=None):
    """Commits one record per value (by `tl`, if given); returns the content after each, by seq."""
    tl, states = tl or opened(log, name, keyframe_every), {}
    for value in values:
        record = write(tl, value, id="three" if len(states) == 2 else None)
        states[record.seq] = content(tl.store.snapshot())
    return states


def stop_at(n, before, log, open_side, act):
    """`act(open_side(paused))` on a side stopped at its n-th log call in `act`; None if it finished first."""
    paused = Paused(log, before=before, after=not before, call=n, armed=False)
    subject = open_side(paused)
    paused.arm()
    side = Side(lambda: act(subject), paused)
    if side.stopped():
        return side
    side.result()  # a side that fails with nothing racing it is no race
    return None


def races(start):
    """Runs `start(stop, name)` once for every gap between two log calls of the stopped side.

    `stop(log, open_side, act)` is `stop_at` for the gap: before the 1st call, the 2nd, ...
    until the side makes no more calls, and then after its last call. Each run has a
    timeline of its own, `name`; `start` returns False when its side finished unstopped.
    """
    for n in range(1, LIMIT):
        if not start(functools.partial(stop_at, n, True), f"t{n}"):
            assert n > 1, "the side made no call to the log"
            assert start(functools.partial(stop_at, n - 1, False), f"t{n}-after"), (
                "the last call did not stop"
            )
            return
    pytest.fail(f"the side still made calls to the log after {LIMIT}")


def reads_back(log, name, states, head):
    """Every record listed reads back as `states` has it, `head` leads, and the timeline reopens at it."""
    try:
        fresh = opened(log, name)
        listed = [record.seq for record in fresh.records()]
        wrong = [seq for seq in listed if content(fresh.checkout(seq)) != states[seq]]
        reopened = opened(log, name)
        problems = fresh.verify()
    except PersistError as error:
        raise AssertionError(f"timeline {name!r} does not read back: {error!r}") from error
    assert (listed[:1], wrong, problems) == ([head], [], [])
    assert (reopened.parent, content(reopened.store.snapshot())) == (head, states[head])
    return listed


# -- a fork and a prune -------------------------------------------------------------------------


def test_a_fork_keeps_its_chain_whatever_the_pruner_had_read(connect):
    """The pruner stops before each of its calls; a writer forks from record 2 (keyframe 1) meanwhile."""
    one, pruner_log, forker_log = connect(), connect(), connect()

    def start(stop, name):
        states = history(one, name)
        pruner = stop(pruner_log, lambda log: opened(log, name), lambda tl: tl.prune(1))
        if pruner is None:
            return False
        forker = opened(forker_log, name)
        try:
            forker.restore(2)
        except KeyError:  # the prune came first and removed it
            assert 2 not in [record.seq for record in opened(one, name).records()]
            assert isinstance(pruner.outcome(), int)
            reads_back(one, name, states, 6)
            return True
        forker.store.set("fork", "k", name)
        fork = forker.commit()
        states[fork.seq] = {**states[2], ("fork", "k"): dumps(name)}
        assert isinstance(pruner.outcome(), int)
        assert fork.seq in reads_back(one, name, states, fork.seq)
        return True

    races(start)


def test_a_fork_that_read_before_a_prune_lands_whole_or_conflicts(connect):
    """The forker stops before each of its calls (restore, then commit); a prune runs meanwhile."""
    one, pruner_log, forker_log = connect(), connect(), connect()

    def fork(tl):
        tl.restore(2)
        tl.store.set("fork", "k", "f")
        return tl.commit()

    def start(stop, name):
        states = history(one, name)
        forker = stop(forker_log, lambda log: opened(log, name), fork)
        if forker is None:
            return False
        removed = opened(pruner_log, name).prune(1)
        outcome = forker.outcome()
        if isinstance(outcome, (ConflictError, RecordNotFoundError)):  # its keyframe or its record went
            assert removed == 3
            reads_back(one, name, states, 6)
            return True
        assert not isinstance(outcome, Exception), f"the fork failed with {outcome!r}"
        states[outcome.seq] = {**states[2], ("fork", "k"): dumps("f")}
        assert removed == 0, "the fork landed after its keyframe was pruned"
        assert outcome.seq in reads_back(one, name, states, outcome.seq)
        return True

    races(start)


# -- readers and another writer -----------------------------------------------------------------


def state_at(ref):
    return lambda tl: content(tl.checkout(ref))


def restored(tl):
    before = content(tl.store.snapshot())
    try:
        tl.restore(3)
    except KeyError:
        assert content(tl.store.snapshot()) == before, "a failed restore changed the store"
        raise
    return content(tl.store.snapshot())


def opening(log_of):
    tl = opened(log_of.log, log_of.name)
    return tl.parent, content(tl.store.snapshot())


# reader: (how it opens, what it does); `check_read` judges the outcome by the states the
# log held before and after the writer.
READERS = {
    "checkout by seq": (opened, state_at(3)),
    "checkout by id": (opened, state_at("three")),
    "restore": (opened, restored),
    "record": (opened, lambda tl: tl.record(3).seq),
    "listing": (opened, lambda tl: [record.seq for record in tl.records()]),
    "verify": (opened, lambda tl: tl.verify()),
    "open": (lambda log, name: SimpleNamespace(log=log, name=name), opening),
}


def commit(log, name):
    tl = opened(log, name)
    record = write(tl, "later")  # a keyframe: a run of three
    return {record.seq: content(tl.store.snapshot())}


def commit_and_prune(log, name):
    later = commit(log, name)
    assert opened(log, name).prune(1) == 6
    return later


def delete(log, name):
    opened(log, name).delete()
    return {}


def prune(log, name):
    opened(log, name).prune(1)
    return {}


def rewrite(log, name):
    delete(log, name)
    return history(log, name, NEW, keyframe_every=2)


# writer: (what it does, returning the states it wrote; whether records 1-6 may be gone after it)
WRITERS = {
    "commit": (commit, False),
    "commit and prune": (commit_and_prune, True),
    "prune": (prune, True),
    "delete": (delete, True),
    "rewrite": (rewrite, True),
}


def check_read(reader, outcome, old, later, removes):
    if isinstance(outcome, RecordNotFoundError) and reader not in ("listing", "verify", "open"):
        assert removes, f"{reader}: a record no one removed was not found"
        return
    assert not isinstance(outcome, Exception), f"{reader}: {outcome!r}"
    if reader in ("checkout by seq", "checkout by id", "restore"):
        assert outcome in (old[3], later.get(3)), f"{reader}: a state the log never held at 3"
    elif reader == "record":
        assert outcome == 3
    elif reader == "listing":  # newest first, dense, down to 1 unless records were removed
        newest = outcome[0] if outcome else 0
        assert outcome == list(range(newest, newest - len(outcome), -1))
        assert removes or outcome[-1:] == [1], "a listing ended early with nothing removed"
    elif reader == "verify":
        assert outcome == []
    else:
        parent, state = outcome
        assert state == ({} if parent is None else old.get(parent)) or state == later.get(parent)


@pytest.mark.parametrize("writer", sorted(WRITERS))
@pytest.mark.parametrize("reader", sorted(READERS))
def test_a_reader_gets_a_state_the_log_held_or_not_found_never_damage(connect, monkeypatch, reader, writer):
    reader_races(connect, monkeypatch, reader, writer)


def reader_races(connect, monkeypatch, reader, writer):
    monkeypatch.setattr(timeline_module, "_PAGE", 2)  # so a listing reads page by page
    one, reader_log, writer_log = connect(), connect(), connect()
    open_side, act = READERS[reader]
    write_later, removes = WRITERS[writer]

    def start(stop, name):
        old = history(one, name)
        side = stop(reader_log, lambda log: open_side(log, name), act)
        if side is None:
            return False
        later = write_later(writer_log, name)
        check_read(reader, side.outcome(), old, later, removes)
        return True

    races(start)


# -- unknown outcomes ----------------------------------------------------------------------------


@pytest.mark.parametrize("first", [True, False], ids=["creating", "appending"])
@pytest.mark.parametrize(
    "landed, moved, again, expected",
    [
        # landed: the append stored its record before the connection broke; moved: another
        # writer committed before the retry; again: the same state committed again, or another.
        # expected: where the retry lands (relative to the seq the lost commit had), or the error.
        (True, False, True, 0),
        (False, False, True, 0),
        (True, True, True, 0),  # recognised as landed; the writer's next commit conflicts
        (False, True, True, ConflictError),
        (True, False, False, 1),  # built on the record that did land
        (False, False, False, 0),
        (True, True, False, ConflictError),
        (False, True, False, ConflictError),
    ],
)
def test_a_commit_whose_reply_was_lost_is_retried_without_loss_or_duplicate(
    connect, first, landed, moved, again, expected
):
    one, other_log = connect(), connect()
    states = {} if first else history(one, "t")
    lossy = LostReply(one, landed)
    tl = opened(lossy, "t")
    seq = len(states) + 1
    with pytest.raises(UnavailableError) as raised:
        write(tl, "lost")
    assert isinstance(raised.value, ConnectionLostError) and isinstance(raised.value, ConnectionError)
    if landed:
        states[seq] = {("a", "k"): dumps("lost")}
    if moved:
        other = opened(other_log, "t")
        record = write(other, "other")
        states[record.seq] = content(other.store.snapshot())
    value = "lost" if again else "again"
    if expected is ConflictError:
        with pytest.raises(ConflictError):
            write(tl, value)
        reads_back(one, "t", states, max(states))
        return
    record = write(tl, value)
    assert (record.seq, record.parent) == (seq + expected, seq + expected - 1 or None)
    states[record.seq] = {("a", "k"): dumps(value)}
    if moved:  # the retry found its record under the other writer's: it is stale now
        with pytest.raises(ConflictError):
            write(tl, "next")
        reads_back(one, "t", states, seq + 1)
        return
    following = write(tl, "next")
    states[following.seq] = {("a", "k"): dumps("next")}
    assert (following.seq, following.parent) == (record.seq + 1, record.seq)
    reads_back(one, "t", states, following.seq)


# -- a timeline dropped and written anew ---------------------------------------------------------


@pytest.mark.parametrize("same_bytes", [True, False], ids=["same-records", "other-records"])
def test_a_writer_whose_timeline_was_written_anew_conflicts_and_restores_the_new_one(
    connect, monkeypatch, same_bytes
):
    if same_bytes:  # one clock for both: the rewrite stores the very same records, another incarnation
        monkeypatch.setattr(timeline_module, "time", SimpleNamespace(time=lambda: 1.0))
    one, other_log = connect(), connect()
    mine = opened(one, "t", cache_size=8)
    history(one, "t", tl=mine)  # every state cached
    stored = one.read("t", 1, 6)
    opened(other_log, "t").delete()
    new = history(other_log, "t", OLD if same_bytes else NEW, keyframe_every=3 if same_bytes else 2)
    assert max(new) == mine.parent and (one.read("t", 1, 6) == stored) == same_bytes
    with pytest.raises(ConflictError):
        write(mine, "stale")
    for seq in sorted(new, reverse=True):
        mine.restore(seq)
        assert (mine.parent, content(mine.store.snapshot())) == (seq, new[seq])
        assert content(mine.checkout(seq)) == new[seq]
    record = write(mine, "after")
    new[record.seq] = {("a", "k"): dumps("after")}
    assert (record.seq, record.parent) == (7, 1)
    reads_back(one, "t", new, 7)


# -- the faults these tests are for --------------------------------------------------------------
# Each is planted by hand in the memory log or in Timeline, as the code before the log vouched
# for its timelines had it or as a log could get it wrong; the race test named beside it must fail.


class DropBefore(MemoryLog):
    """The removal logs offered before prune: every record below `before` goes, whatever replays from it."""

    def drop_before(self, timeline, before):
        with self._lock:
            records = self._timelines[timeline]
            for seq in [seq for seq in records.by_seq if seq < before]:
                records.by_id.pop(records.by_seq.pop(seq).id, None)


def prune_from_reads(self, keep_last):
    """Timeline.prune as it was: the cutoff chosen from headers read before the removal."""
    kept = self._log.headers(self._name, limit=keep_last)
    cutoff = min([row.base for row in kept] + [self._point.keyframe])
    oldest = kept[-1].seq
    while True:
        between = self._log.headers(self._name, limit=max(oldest - cutoff, 0), before=oldest)
        lowest = min((row.base for row in between), default=cutoff)
        if lowest >= cutoff:
            self._log.drop_before(self._name, cutoff)
            return cutoff - 1
        oldest, cutoff = cutoff, lowest


class PruneWithoutChains(MemoryLog):
    """A log whose prune cuts at the newest records (and `keep_from`), not keeping older chains they need."""

    def prune(self, timeline, keep_last, keep_from=None, detach=()):
        with self._lock:
            records = self._timelines.get(timeline)
            if records is None:
                return 0
            head = records.vouched()
            cutoff = min(head.seq - keep_last + 1, head.seq if keep_from is None else keep_from)
            gone = [seq for seq in records.by_seq if seq < cutoff]
            for seq in gone:
                records.by_id.pop(records.by_seq.pop(seq).id, None)
            return len(gone)


class KeyframeBlind(MemoryLog):
    """A log that lands a delta whose keyframe a prune removed: the compare-and-set alone."""

    def append(self, timeline, record, expected, attach=None):
        with self._lock:
            records = self._timelines.get(timeline)
            if records is not None and record.kind != KEYFRAME and record.base < records.vouched().first:
                if expected is not None and records.vouched()[:3] == expected[:3]:
                    records.by_seq[record.seq] = record
                    return records.vouched()
        return super().append(timeline, record, expected, attach)


class IncarnationBlind(MemoryLog):
    """A log whose compare-and-set checks the head's seq and crc, not its incarnation."""

    def append(self, timeline, record, expected, attach=None):
        now = self.head(timeline)
        if expected is not None and now is not None and expected[1:3] == now[1:3]:
            expected = now
        return super().append(timeline, record, expected, attach)


def verify_as_it_was(self):
    """Timeline.verify without what the log vouches for: what a prune or drop removed meanwhile is damage."""
    problems = {}
    headers = [row for page in self._pages(None, None, checked=False) for row in page][::-1]
    for older, newer in zip(headers, headers[1:], strict=False):
        for seq in range(older.seq + 1, newer.seq):
            problems.setdefault(seq, CorruptRecordError(self._name, seq, "record missing"))
    self._verify_chains(headers, problems)
    return [problems[seq] for seq in sorted(problems)]


# fault: (the log it runs on, what is patched in Timeline, the test that must fail, its arguments)
PLANTED = {
    "the cutoff chosen from reads before the removal": (
        DropBefore,
        {"prune": prune_from_reads},
        test_a_fork_keeps_its_chain_whatever_the_pruner_had_read,
        {},
    ),
    "a prune that drops the chain of a record it keeps": (
        PruneWithoutChains,
        {},
        test_a_fork_keeps_its_chain_whatever_the_pruner_had_read,
        {},
    ),
    "a delta that lands after its keyframe was pruned": (
        KeyframeBlind,
        {},
        test_a_fork_that_read_before_a_prune_lands_whole_or_conflicts,
        {},
    ),
    "a chain a prune removed read as damage": (
        MemoryLog,
        {"_gone_or": lambda self, error, header, before: error},
        reader_races,
        {"reader": "checkout by seq", "writer": "prune"},
    ),
    "a timeline dropped meanwhile read as damage": (
        MemoryLog,
        {"_gone_or": lambda self, error, header, before: error},
        reader_races,
        {"reader": "restore", "writer": "delete"},
    ),
    "verify reporting what a prune removed meanwhile": (
        MemoryLog,
        {"verify": verify_as_it_was},
        reader_races,
        {"reader": "verify", "writer": "prune"},
    ),
    "a retry after a lost reply that seals its record anew": (
        MemoryLog,
        {"_retry_unsettled": lambda self, *args: None},
        test_a_commit_whose_reply_was_lost_is_retried_without_loss_or_duplicate,
        {"first": False, "landed": True, "moved": False, "again": True, "expected": 0},
    ),
    "a compare-and-set blind to the incarnation": (
        IncarnationBlind,
        {},
        test_a_writer_whose_timeline_was_written_anew_conflicts_and_restores_the_new_one,
        {"same_bytes": True},
    ),
    "a restore that serves points cached of the old incarnation": (
        MemoryLog,
        {"_see": lambda self, vouched: None},
        test_a_writer_whose_timeline_was_written_anew_conflicts_and_restores_the_new_one,
        {"same_bytes": False},
    ),
}


@pytest.mark.parametrize("fault", sorted(PLANTED))
def test_each_race_test_fails_on_a_memory_log_with_the_fault_it_is_for(monkeypatch, fault):
    log_class, patches, test, arguments = PLANTED[fault]
    for name, planted in patches.items():
        monkeypatch.setattr(Timeline, name, planted)
    log = log_class()
    fixtures = {"connect": lambda: log, "monkeypatch": monkeypatch}
    accepted = {name: fixtures[name] for name in inspect.signature(test).parameters if name in fixtures}
    try:
        with pytest.raises((AssertionError, pytest.fail.Exception, PersistError)):
            test(**accepted, **arguments)
    finally:
        release_all()

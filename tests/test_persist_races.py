"""Races between writers, readers and housekeeping of one timeline, on every log kind, step by step.

Each test stops one side before its 1st, 2nd, ... call to the log and after its last,
runs the other side whole at that point, lets the first go on, and checks the outcome, so
every point between two of its calls is tried. Nothing acknowledged may be lost, and every
error must be the one the race calls for: a record another writer removed is `KeyError`
(RecordNotFoundError), a stale write is `ConflictError`, and neither is ever reported as
damage.

The history every race starts from: six records, keyframes at 1 and 4, record 3 also named
"three". A rewrite writes six other records at the same seqs, keyframes at 1, 3 and 5.
"""

import functools
import time
from types import SimpleNamespace

import pytest
from derirezaro import Store, dumps
from derirezaro.persist import (
    ConflictError,
    ConnectionLostError,
    CorruptRecordError,
    Pruned,
    RecordNotFoundError,
    Timeline,
)
from derirezaro.persist import timeline as timeline_module
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


def write(tl, value, id=None):  # the value is the record's meta too: a listing tells whose it is
    tl.store.set("a", "k", value)
    return tl.commit(value, id=id)


def kept(value):  # the content after `write(value)`
    return {("a", "k"): dumps(value)}


def history(log, name, values=OLD, keyframe_every=3, tl=None):
    """Commits one record per value (by `tl`, if given); returns the content after each, by seq."""
    tl, states = tl or opened(log, name, keyframe_every), {}
    for value in values:
        states[write(tl, value, id="three" if len(states) == 2 else None).seq] = kept(value)
    return states


def races(setup, log, open_side, act, judge):
    """For every gap between two log calls of a side, before the 1st, the 2nd, ... and after its last:
    a timeline `name` of its own, written by `setup(name)`; the side, `act(open_side(paused log, name))`,
    stopped there; then `judge(name, what setup returned, side)` runs the other side and checks."""
    n, after = 1, False
    while n < LIMIT:
        name = f"t{n}-after" if after else f"t{n}"
        written, paused = setup(name), Paused(log, n, after)
        subject = open_side(paused, name)
        paused.arm()
        if (side := Side(functools.partial(act, subject), paused)).stopped():
            judge(name, written, side)
            if after:
                return
            n += 1
        elif isinstance(outcome := side.outcome(), BaseException):
            raise outcome  # a side that fails with nothing racing it is no race
        else:
            assert n > 1 and not after, "the side made no call to the log, or its last call did not stop"
            n, after = n - 1, True
    pytest.fail(f"the side still made calls to the log after {LIMIT}")


def reads_back(log, name, states, head):
    """Every record listed reads back as `states` has it, `head` leads, and the timeline reopens at it."""
    fresh = opened(log, name)
    listed = [record.seq for record in fresh.records()]
    wrong = [seq for seq in listed if content(fresh.checkout(seq)) != states[seq]]
    reopened, problems = opened(log, name), fresh.verify()
    assert (listed[:1], wrong, problems) == ([head], [], [])
    assert (reopened.parent, content(reopened.store.snapshot())) == (head, states[head])
    return listed


def fork(tl):
    tl.restore(2)  # record 2 replays from the keyframe at 1, which a prune removes unless the fork keeps it
    tl.store.set("fork", "k", "f")
    return tl.commit()


@pytest.mark.parametrize("stopped", ["pruner", "forker"])
def test_a_fork_and_a_prune_keep_every_chain_in_either_order(connect, stopped):
    """One side stops between two of its calls while the other runs whole: the fork lands with its
    chain and nothing is pruned, or the prune lands and the fork fails as not found or stale."""
    one, stopped_log, other_log = connect(), connect(), connect()
    order = 1 if stopped == "pruner" else -1
    act, other = ((lambda tl: tl.prune(1)), fork)[::order]

    def judge(name, states, side):
        try:
            done = other(opened(other_log, name))
        except RecordNotFoundError as error:  # the forker's restore, after the prune
            done = error
        pruned, forked = (side.outcome(), done)[::order]
        assert isinstance(pruned, Pruned), pruned
        if isinstance(forked, (ConflictError, RecordNotFoundError)):  # its keyframe or its record went
            assert pruned.records == 3 and reads_back(one, name, states, 6) == [6, 5, 4]
            return
        assert not isinstance(forked, Exception), f"the fork failed with {forked!r}"
        states[forked.seq] = {**states[2], ("fork", "k"): dumps("f")}
        assert pruned == (0, 0), "a fork landed and the prune removed the chain it needs"
        assert forked.seq in reads_back(one, name, states, forked.seq)

    races(lambda name: history(one, name), stopped_log, opened, act, judge)


def test_a_prune_given_the_incarnation_it_read_leaves_a_timeline_written_anew_as_it_is(connect):
    """The side reads the incarnation and prunes by it, records and an attachment; the other side
    drops the timeline and writes it anew, attachment and all, before either call or after both."""
    one, side_log, other_log = connect(), connect(), connect()
    old_entry, new_entry = [("task", 0, b"old")], [("task", 0, b"new")]

    def setup(name):
        one.attach(name, "k", old_entry)
        return history(one, name)

    def act(where):
        log, name = where
        read = log.head(name).incarnation
        return read, log.prune(name, 1, detach=["k"], incarnation=read)

    def judge(name, old, side):
        new = rewrite(other_log, name)
        other_log.attach(name, "k", new_entry)
        read, pruned = side.outcome()
        listed, attached = reads_back(one, name, new, 6), one.attachments(name, ["k"])
        if read == one.head(name).incarnation:  # it read the new timeline: it is the one it prunes
            assert (pruned.records, listed, attached) == (4, [6, 5], {})
        else:
            assert (listed, attached) == ([6, 5, 4, 3, 2, 1], {"k": new_entry}), pruned

    races(setup, side_log, lambda log, name: (log, name), act, judge)
    incarnation = one.head("t1").incarnation
    one.drop("t1")
    one.attach("t1", "k", new_entry)  # attachments, and no timeline: not of the incarnation either
    assert one.prune("t1", 1, detach=["k"], incarnation=incarnation) == (0, 0)
    assert one.attachments("t1", ["k"]) == {"k": new_entry}


def restored(tl):
    before = content(tl.store.snapshot())
    try:
        tl.restore(3)
    except KeyError:
        assert content(tl.store.snapshot()) == before, "a failed restore changed the store"
        raise
    return content(tl.store.snapshot())


def opening(log, name):
    tl = opened(log, name)
    return tl.parent, content(tl.store.snapshot())


def state_at_3(got, old, later, removes):
    return got in (old[3], later.get(3))


def listed_densely(got, old, later, removes):  # newest first, down to 1 unless records were removed
    seqs = [seq for seq, _ in got]
    newest = seqs[0] if seqs else 0
    # One timeline's records: after a rewrite, the old ones or the new, never some of each.
    timelines = [old, later] if 1 in later else [{**old, **later}]
    return (
        seqs == list(range(newest, newest - len(seqs), -1))
        and (removes or seqs[-1:] == [1])
        and any(all(states.get(seq) == kept(meta) for seq, meta in got) for states in timelines)
    )


def opened_at_a_head(got, old, later, removes):
    parent, state = got
    return state == ({} if parent is None else old.get(parent)) or state == later.get(parent)


# reader: (how it opens, what it does, whether what it got is what the log held, given
# (what it got, the states before, those the writer wrote, what the writer removes))
READERS = {
    "checkout by seq": (opened, lambda tl: content(tl.checkout(3)), state_at_3),
    "checkout by id": (opened, lambda tl: content(tl.checkout("three")), state_at_3),
    "restore": (opened, restored, state_at_3),
    "record": (opened, lambda tl: tl.record(3).seq, lambda got, *_: got == 3),
    "listing": (opened, lambda tl: [(record.seq, record.meta) for record in tl.records()], listed_densely),
    "verify": (opened, lambda tl: tl.verify(), lambda got, *_: got == []),
    "open": (lambda log, name: (log, name), lambda where: opening(*where), opened_at_a_head),
}


def commit(log, name):  # a keyframe (a run of three), so that a prune after it removes records 1-6
    return {write(opened(log, name), "later").seq: kept("later")}


def rewrite(log, name):
    opened(log, name).delete()
    return history(log, name, NEW, keyframe_every=2)


# writer: (what it does, returning the states it wrote; what of records 1-6 may be gone after it:
# nothing, some records or the timeline)
WRITERS = {
    "commit": (commit, ""),
    "commit and prune": (lambda log, name: (commit(log, name), opened(log, name).prune(1))[0], "records"),
    "prune": (lambda log, name: (opened(log, name).prune(1), {})[1], "records"),
    "delete": (lambda log, name: opened(log, name).delete() or {}, "timeline"),
    "rewrite": (rewrite, "timeline"),
}


@pytest.mark.parametrize("writer", sorted(WRITERS))
@pytest.mark.parametrize("reader", sorted(READERS))
def test_a_reader_gets_a_state_the_log_held_or_not_found_never_damage(connect, monkeypatch, reader, writer):
    monkeypatch.setattr(timeline_module, "_PAGE", 2)  # so a listing reads page by page
    one, reader_log, writer_log = connect(), connect(), connect()
    open_side, act, held = READERS[reader]
    write_later, removes = WRITERS[writer]

    def judge(name, old, side):
        later, got = write_later(writer_log, name), side.outcome()  # the writer runs whole first
        if isinstance(got, RecordNotFoundError) and reader not in ("verify", "open"):
            # A listing ends so only when the timeline it lists was dropped: it never goes on into another.
            assert removes == "timeline" if reader == "listing" else removes, f"{reader}: {got}"
        else:
            assert not isinstance(got, Exception) and held(got, old, later, removes), (reader, got)

    races(lambda name: history(one, name), reader_log, open_side, act, judge)


class Hiding:
    """`log`, whose header reads leave out record `seq`, as damage to it would."""

    def __init__(self, log, seq):
        self.log, self.seq = log, seq

    def headers(self, *args, **kwargs):
        return [row for row in self.log.headers(*args, **kwargs) if row.seq != self.seq]

    def __getattr__(self, name):
        return getattr(self.log, name)


def test_a_record_missing_from_a_listing_is_damage_wherever_the_pages_split(connect, monkeypatch):
    # Pages of two: 6 5 | 4 3 | 2 1. A prune or a rewrite between two pages is not damage (above);
    # a record the log still vouches for that no page holds is, the head and those at a split included.
    monkeypatch.setattr(timeline_module, "_PAGE", 2)
    history(one := connect(), "t")
    for seq in range(1, 7):
        with pytest.raises(CorruptRecordError, match="record missing") as caught:
            list(opened(Hiding(one, seq), "t").records())
        assert caught.value.seq == seq


# landed: the append stored its record before the connection broke; moved: another writer committed
# before the retry; again: the same state committed again, or another ("away": another, whose first
# attempt finds the server still away when it checks on the lost one). Then what the retry and the
# commit after it do: (seq, parent), each relative to the seq the lost commit had, or a conflict.
LOST = [
    (True, False, True, [(0, -1), (1, 0)]),
    (False, False, True, [(0, -1), (1, 0)]),
    (True, True, True, [(0, -1), ConflictError]),  # recognised as landed, and stale now
    (False, True, True, [ConflictError]),
    (True, False, False, [(1, 0), (2, 1)]),  # built on the record that did land
    (False, False, False, [(0, -1), (1, 0)]),
    (True, True, False, [ConflictError]),
    (False, True, False, [ConflictError]),
    (True, False, "away", [(1, 0), (2, 1)]),  # the check of it failed first, and was made again
    (False, False, "away", [(0, -1), (1, 0)]),
]


@pytest.mark.parametrize("first", [True, False], ids=["creating", "appending"])
@pytest.mark.parametrize("landed, moved, again, expected", LOST)
def test_a_commit_whose_reply_was_lost_is_retried_without_loss_or_duplicate(
    connect, first, landed, moved, again, expected
):
    one, other_log = connect(), connect()
    states = {} if first else history(one, "t")
    tl, seq = opened(lost := LostReply(one, landed), "t"), len(states) + 1
    with pytest.raises(ConnectionLostError):
        write(tl, "lost")
    if again == "away":  # the next commit's check of the lost one finds the server still away

        def away(name):
            del lost.head
            raise ConnectionLostError("test", "connection refused", name)

        lost.head = away
        with pytest.raises(ConnectionLostError):
            write(tl, "again")
    if landed:
        states[seq] = kept("lost")
    if moved:
        states[write(opened(other_log, "t"), "other").seq] = kept("other")
    done = []
    for value in ("lost" if again is True else "again", "next"):
        try:
            record = write(tl, value)
        except ConflictError:
            done.append(ConflictError)
            break
        states[record.seq] = kept(value)
        done.append((record.seq - seq, (record.parent or 0) - seq))
    assert done == expected
    reads_back(one, "t", states, max(states))


@pytest.mark.parametrize("same_bytes", [True, False], ids=["same-records", "other-records"])
def test_a_writer_whose_timeline_was_written_anew_conflicts_and_restores_the_new_one(
    connect, monkeypatch, same_bytes
):
    clock = SimpleNamespace(time=lambda: 1.0, monotonic=time.monotonic)
    if same_bytes:  # one clock for both: the rewrite stores the very same records, another incarnation
        monkeypatch.setattr(timeline_module, "time", clock)
    one, other_log = connect(), connect()
    history(one, "t", tl=(mine := opened(one, "t", cache_size=8)))  # every state cached
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
    assert (record.seq, record.parent) == (7, 1)
    new[7] = kept("after")
    reads_back(one, "t", new, 7)


def test_a_replay_that_read_the_old_timeline_leaves_nothing_of_it_in_the_cache(connect):
    # The side checks out record 2, reading the old timeline; meanwhile another writer drops and
    # writes it anew and this timeline sees the new one. What the side read must not be cached
    # as the new timeline's record 2.
    one, other_log, new_states, mine = connect(), connect(), {}, None

    def judge(name, old, side):
        opened(other_log, name).delete()
        new_states.update(history(other_log, name, NEW, keyframe_every=2))
        mine.restore(6)
        outcome = side.outcome()
        if not isinstance(outcome, RecordNotFoundError):
            assert content(outcome) in (old[2], new_states[2])
        assert [content(mine.checkout(seq)) for seq in range(1, 7)] == [new_states[s] for s in range(1, 7)]

    def open_side(paused, name):
        nonlocal mine
        mine = opened(paused, name, cache_size=8)
        return mine

    races(lambda name: history(one, name), one, open_side, lambda tl: tl.checkout(2), judge)

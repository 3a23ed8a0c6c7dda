"""DerirezaroSaver with other writers, lost parents and unknown outcomes: each race played step by step.

Two savers on one log stand for two processes: each has caches of its own. A log wrapper
fails an append before or after it lands, or runs another writer's step just before a call.
"""

import random
from concurrent.futures import ThreadPoolExecutor

import pytest
from conftest import langgraph_or_skip

langgraph_or_skip()

from derirezaro.langgraph import CheckpointConflict, DerirezaroSaver, ParentMissing
from derirezaro.langgraph.branch import StaleBranch, timeline_name
from derirezaro.persist import ConnectionLostError, MemoryLog, UnavailableError
from langgraph.checkpoint.base import empty_checkpoint
from log_wrappers import LostReply, release_all
from redis_server import fresh_prefix, shared_url
from test_langgraph import noise, opener, put, values_of
from test_persist_races import races

LATEST = {"configurable": {"thread_id": "t"}}


@pytest.fixture(params=["memory", "sqlite", "redis", "postgres"])
def two_writers(request, tmp_path):
    make = opener(request.param, tmp_path)
    with make() as first, make() as second:
        yield first, second


def test_a_thread_rewritten_by_another_writer_under_a_savers_caches(two_writers):
    """Deleted and written anew up to the same seqs, seq 1 under the same id: no state cached of the
    old thread stands in for the new one's, whether read, built on by id or as a root, and a step
    of a graph still running on the old thread is refused, naming the parent it lost."""
    one, two = two_writers
    for rewrite in range(2):
        first = put(one, None, {"x": "old-1"}, {"x": 1})
        second = put(one, first, {"x": "old-2", "y": "old"}, {"x": 2, "y": 1})
        # A third process, with caches of its own: it opens at seq 2, replayed from seq 1, whose
        # state its timeline keeps though it never read that checkpoint, and forks from seq 2.
        forker = DerirezaroSaver(one.log)
        put(forker, second, {"x": "fork"}, {"x": 3})
        two.delete_thread("t")
        new = {"x": f"new-{rewrite}", "z": 1}
        anew = put(two, None, new, {"x": 1, "z": 1}, id=first["configurable"]["checkpoint_id"])
        # Read by the id the new record took over, then as the latest.
        assert forker.get_tuple((first, LATEST)[rewrite]).checkpoint["channel_values"] == new
        put(two, anew, {"x": "new-2"}, {"x": 2})
        put(one, (first, None)[rewrite], {"x": "mine"}, {"x": 2})  # on the id the new thread holds; a root
        with pytest.raises(ParentMissing, match=second["configurable"]["checkpoint_id"]):
            put(one, second, {"x": "old-3", "y": "old"}, {"x": 3, "y": 1})
        for each in (one, two, forker, DerirezaroSaver(one.log)):
            assert (values_of(each), each.get_tuple(second)) == ([{"x": "mine"}, {"x": "new-2"}, new], None)
        two.delete_thread("t")


class Lost(LostReply):
    """`LostReply`, except that an append the log refuses (a re-put's taken id) fails nothing."""

    def append(self, timeline, record, expected, attach=None):
        if not (self.armed and self.landed):
            return super().append(timeline, record, expected, attach)
        self.log.append(timeline, record, expected, attach)
        self.armed = False
        raise ConnectionLostError("test", "connection reset by peer", timeline)


# The put whose outcome is unknown, after two puts on thread "t": its thread, its parent and its id
# (an index among those two; None: a root, a fresh id), its source, and what its thread then lists.
UNSETTLED = {
    "step": ("t", 1, None, "loop", [3, 2, 1]),
    "root": ("new", None, None, "loop", [3]),
    "re-put, which needs a mark": ("t", 0, 1, "update", [3, 1]),
}


@pytest.mark.parametrize("kind", [*UNSETTLED, "step, retried by a fresh saver"])
@pytest.mark.parametrize("single_writer", [False, True], ids=["", "single_writer"])
@pytest.mark.parametrize("landed", [True, False], ids=["landed", "lost"])
def test_a_put_with_an_unknown_outcome_retried_as_it_was_lands_once(kind, single_writer, landed):
    log = Lost(MemoryLog(), landed)
    log.armed, saver = False, DerirezaroSaver(log, single_writer=single_writer)
    thread, parent, same, source, listed = UNSETTLED[kind.removesuffix(", retried by a fresh saver")]
    earlier = [put(saver, None, {"a": 1}, {"a": 1})]
    earlier.append(put(saver, earlier[0], {"a": 2}, {"a": 2}))
    checkpoint = {**empty_checkpoint(), "channel_values": {"a": 3}, "channel_versions": {"a": 3}}
    checkpoint["id"] = checkpoint["id"] if same is None else earlier[same]["configurable"]["checkpoint_id"]
    on = {} if parent is None else earlier[parent]["configurable"]
    config = {"configurable": {**on, "thread_id": thread}}
    by_id = {"configurable": {"thread_id": thread, "checkpoint_ns": "", "checkpoint_id": checkpoint["id"]}}
    log.armed = True
    with pytest.raises(ConnectionLostError):
        saver.put(config, checkpoint, {"source": source}, {"a": 3})
    if landed:  # the record and the mark it needs are one append: latest and by-id agree at once
        assert saver.get_tuple(by_id) == saver.get_tuple({"configurable": {"thread_id": thread}})
    saver = DerirezaroSaver(log, single_writer=single_writer) if kind.endswith("fresh saver") else saver
    assert saver.put(config, checkpoint, {"source": source}, {"a": 3}) == by_id
    assert [values["a"] for values in values_of(saver, thread)] == listed
    assert log.head(timeline_name(thread, "")).seq == 1 + (len(earlier) if thread == "t" else 0)  # once
    after = put(saver, by_id, {"a": 4}, {"a": 4}, thread=thread)  # and the thread goes on from it
    assert saver.get_tuple({"configurable": {"thread_id": thread}}).config == after


LOSSES = {  # how another writer loses this one's parent, and what a put on it then lists (None: refused)
    "pruned": (lambda saver: saver.prune(["t"]), None),
    "its run deleted": (lambda saver: saver.delete_for_runs(["r2"]), None),
    "thread written anew": (
        lambda saver: (saver.delete_thread("t"), put(saver, None, {"a": 0}, {"a": 1})),
        None,
    ),
    "thread deleted": (lambda saver: saver.delete_thread("t"), [3]),  # then the parent is taken as given
    "nothing, the head moved on": (lambda saver: None, [3, 20, 2, 1]),  # a stale worker forks from it
}


@pytest.mark.parametrize("loss", LOSSES)
def test_a_put_on_a_parent_the_thread_lost_is_refused_unless_the_thread_holds_none(two_writers, loss):
    """Another writer goes on from this one's head, then loses it; this one's next step builds on it."""
    (one, two), (lose, listed) = two_writers, LOSSES[loss]
    mine = put(one, put(one, None, {"a": 1}, {"a": 1}, run_id="r1"), {"a": 2}, {"a": 2}, run_id="r2")
    put(two, mine, {"a": 20}, {"a": 20}, run_id="r3")
    lose(two)
    before, mine_id = values_of(two), mine["configurable"]["checkpoint_id"]
    if listed is None:
        with pytest.raises(ParentMissing) as raised:
            put(one, mine, {"a": 3}, {"a": 3})
        where = raised.value.thread_id, raised.value.checkpoint_ns, raised.value.parent_id
        assert isinstance(raised.value, CheckpointConflict) and where == ("t", "", mine_id)
        assert values_of(one) == values_of(DerirezaroSaver(one.log)) == before  # nothing was written
    else:
        config = put(one, mine, {"a": 3}, {"a": 3})
        assert [values["a"] for values in values_of(one)] == listed
        assert one.get_tuple(config).parent_config["configurable"]["checkpoint_id"] == mine_id


class Meanwhile:
    """A log that, on the next call of one of `methods`, first runs another writer's `step`: `done`
    is what that returned."""

    def __init__(self, log, methods, step):
        self.log, self.methods, self.step = log, methods, step

    def __getattr__(self, name):
        if name in self.methods and self.step is not None:
            step, self.step = self.step, None
            self.done = step()
        return getattr(self.log, name)


def test_prune_hides_a_fork_keeps_a_late_put_and_a_listing_ends_where_a_delete_cut_it(two_writers):
    one, two = two_writers
    first = put(one, None, {"a": 1}, {"a": 1})
    sibling = put(one, first, {"a": 2}, {"a": 2})
    newest = put(one, first, {"a": 3}, {"a": 3}, counters_since_delta_snapshot={"a": [0, 1]})
    pruner = DerirezaroSaver(Meanwhile(one.log, ("prune",), lambda: put(two, newest, {"a": 4}, {"a": 4})))
    pruner.prune(["t"])  # keeps the newest and the parent its delta channel replays; a put lands meanwhile
    late = pruner.log.done
    assert [t.config for t in DerirezaroSaver(one.log).list(LATEST)] == [late, newest, first]
    assert one.get_tuple(sibling) is None and two.get_tuple(late).checkpoint["channel_values"] == {"a": 4}
    doomed = put(one, None, {"a": 5}, {"a": 5}, thread="v", run_id="r")
    v, step = {"configurable": {"thread_id": "v"}}, lambda: put(two, doomed, {}, {}, thread="v", run_id="r2")
    deleter = DerirezaroSaver(Meanwhile(one.log, ("detach", "attach", "drop"), step))
    deleter.delete_for_runs(["r"])  # a put meanwhile, before the next write after its scan, stays
    later = deleter.log.done
    assert [t.config for t in one.list(v)] == [later]
    one.delete_for_runs(["r2"])
    one.prune(["v"])  # every checkpoint hidden: all but the log's head goes, and their attachments
    ids = [c["configurable"]["checkpoint_id"] for c in (doomed, later)]
    assert one.log.attachments(timeline_name("v", ""), ids) == {} and list(one.list(v)) == []
    root = put(one, None, {}, {}, thread="v")
    assert [t.config for t in one.list(v)] == [root]
    config, thread = None, {"configurable": {"thread_id": "u"}}
    for step in range(4):
        config = put(one, config, {"a": step}, {"a": step + 1}, thread="u")
    lister = DerirezaroSaver(Meanwhile(one.log, ("read",), None))
    assert lister.get_tuple(thread).config == config  # it opens at the head, which it alone holds
    lister.log.step = lambda: two.delete_thread("u")  # before it reads the next one's records
    assert list(lister.list(thread)) == []  # a page the delete cut is not given: listed again, it is empty


def test_a_delete_of_runs_cut_short_leaves_each_checkpoint_as_last_put(two_writers):
    one, _ = two_writers
    first = put(one, None, {"a": 1}, {"a": 1}, run_id="r")
    second = put(one, first, {"a": 2}, {"a": 2}, run_id="r")
    put(one, second, {"a": 3}, {"a": 3}, id=first["configurable"]["checkpoint_id"], run_id="r")  # a re-put

    def away():
        raise UnavailableError("test", "the server went away")

    with pytest.raises(UnavailableError):  # before its first mark lands
        DerirezaroSaver(Meanwhile(one.log, ("attach",), away)).delete_for_runs(["r"])
    assert DerirezaroSaver(one.log).get_tuple(first).checkpoint["channel_values"] == {"a": 3}


HOUSEKEEPING = {  # what one saver does to thread `t`, a run of which is "r"
    "prune": lambda saver, t: saver.prune([t]),
    "delete_for_runs": lambda saver, t: saver.delete_for_runs(["r"]),
    "copy_thread": lambda saver, t: saver.copy_thread(t, f"{t}-copy"),
}


@pytest.mark.parametrize("work", HOUSEKEEPING)
def test_housekeeping_leaves_a_thread_written_anew_since_its_reads_as_it_is(two_writers, work):
    """Stopped before each of its calls to the log and after its last, while another writer deletes the
    thread and writes it anew, the first checkpoint under an id the old thread had: every checkpoint of
    the new thread stays, with its values and pending writes, unless the housekeeping read the new
    thread (a prune keeps its newest). A copy is of one thread; cut short only by `StaleBranch`."""
    one, two = two_writers

    def tuples(saver, thread):
        listed = saver.list({"configurable": {"thread_id": thread}})
        return [(t.checkpoint["id"], t.checkpoint["channel_values"], t.pending_writes) for t in listed]

    def setup(thread):
        for other, _ in one.branches.names(None, None):  # so the side makes as many calls each time
            one.delete_thread(other)
        config = None
        for n in range(3):
            config = put(one, config, {"a": n}, {"a": n + 1}, thread=thread, run_id="r")
        return tuples(one, thread)

    def judge(thread, old, side):
        two.delete_thread(thread)
        config = None
        for n in range(5):
            first = old[-1][0] if n == 0 else None
            config = put(two, config, {"a": 10 + n}, {"a": n + 1}, thread=thread, id=first, run_id="r2")
            two.put_writes(config, [("w", n)], "task")
        new, outcome = tuples(two, thread), side.outcome()
        kept = tuples(DerirezaroSaver(one.log), thread)
        assert kept == new or (work == "prune" and kept == new[:1]), (outcome, kept)
        copied = tuples(one, f"{thread}-copy")  # listed newest first, copied oldest first
        assert copied in (new, old[len(old) - len(copied) :]), copied
        assert outcome is None or (isinstance(outcome, StaleBranch) and len(copied) < len(old)), outcome

    try:
        opened = lambda log, thread: (DerirezaroSaver(log), thread)  # noqa: E731
        races(setup, one.log, opened, lambda where: HOUSEKEEPING[work](*where), judge)
    finally:
        release_all()


def test_a_redis_thread_written_before_incarnations_stays_pruned_once_a_write_gives_it_one():
    """It reads as incarnation 0 until its first write: what the prune hid by then stays hidden."""
    with DerirezaroSaver.redis(shared_url(), prefix=fresh_prefix()) as saver:
        configs, name = [None], timeline_name("t", "")
        for n in range(3):
            configs.append(put(saver, configs[-1], {"a": n}, {"a": n + 1}))
        saver.log._client.hdel(saver.log._keys(name)[0], "inc", "ids")  # as that release left it
        saver.branches.clear()
        saver.prune(["t"])
        later = put(saver, configs[-1], {"a": 3}, {"a": 4})  # the first write: a fresh incarnation
        assert saver.log.head(name).incarnation != 0
        assert [t.config for t in DerirezaroSaver(saver.log).list(LATEST)] == [later, configs[-1]]


def test_single_writer_refuses_a_stale_second_worker_and_allows_a_users_fork(two_writers):
    one, two = (DerirezaroSaver(saver.log, single_writer=True) for saver in two_writers)
    root = put(one, None, {"a": 1}, {"a": 1})
    put(two, root, {"a": 2}, {"a": 2})  # the second worker moves the head
    for parent in (root, None):  # a step on a stale parent, and a root on a thread that has checkpoints
        with pytest.raises(CheckpointConflict, match="'t'"):
            put(one, parent, {"a": 3}, {"a": 3})
    assert values_of(one) == [{"a": 2}, {"a": 1}]
    update = put(one, root, {"a": 4}, {"a": 4}, source="update", run_id="r1")  # a user's fork is allowed
    assert one.get_tuple(update).checkpoint["channel_values"] == {"a": 4}
    one.delete_for_runs(["r1"])
    one.branches.clear()
    assert one.get_tuple(LATEST).checkpoint["channel_values"] == {"a": 2}  # the newest a reader sees
    put(one, one.get_tuple(LATEST).config, {"a": 5}, {"a": 5})  # is what a step builds on


def test_readers_and_a_writer_share_one_saver(two_writers):
    saver, configs = two_writers[0], [None]

    def read(seed):
        rng = random.Random(seed)
        for i in (rng.randrange(60) for _ in range(300)):
            assert saver.get_tuple(configs[i + 1]).checkpoint["channel_values"]["n"] == i

    def write(steps):
        for n in steps:
            configs.append(put(saver, configs[-1], {"n": n, "big": noise(n)}, {"n": n + 1, "big": n + 1}))

    write(range(60))
    with ThreadPoolExecutor(6) as pool:  # the first 60 read in threads while the writer goes on
        readers = pool.map(read, range(6))
        write(range(60, 90))
    assert list(readers) == [None] * 6  # each reader's error, if any, is raised here

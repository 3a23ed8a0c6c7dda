"""What every log kind owes when called directly, held to one table or one reference each.

The model test (test_persist_model.py) drives timelines over every log; here are the calls a
timeline does not make that way: compare-and-set and its retries, prunes of forked chains,
attachments checked step by step against the memory log, names under a prefix, and arguments
refused. Each runs over every entry of LOGS.
"""

import contextlib
import random

import pytest
from derirezaro import Store
from derirezaro.persist import ConflictError, MemoryLog, RedisLog, SQLiteLog, TimelineHead, timeline
from derirezaro.persist.record import DELTA, KEYFRAME, seal
from hypothesis import given, settings
from hypothesis import strategies as st
from test_persist_model import LOGS, in_order

KEYFRAME_FIELDS = {"parent": None, "kind": KEYFRAME, "timestamp": 1.5, "digest": 0, "meta": b""}


def sealed(name, seq, body=b"x", id=None, base=None):
    """A record a log stores verbatim (any body will do): a keyframe, or with `base` a delta on seq - 1."""
    kind = {} if base is None else {"kind": DELTA, "parent": seq - 1}
    return seal(name, seq=seq, id=id, base=base or seq, body=body, **{**KEYFRAME_FIELDS, **kind})


@pytest.fixture(params=sorted(LOGS))
def log(request, tmp_path):
    with contextlib.closing(LOGS[request.param](tmp_path)()) as log:
        yield log


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


@pytest.mark.parametrize(
    "bases, keep_last, keep_from, kept_from",
    [
        # bases[i] is the keyframe record i + 1 replays from; a fork's delta may start further back.
        ([1, 1, 1, 4, 4, 4], 2, None, 4),
        ([1, 1, 1, 4, 4, 4], 4, None, 1),  # record 3 needs the keyframe at 1
        ([1, 1, 1, 4, 4, 1], 1, None, 1),  # the head is a fork from record 2's chain
        ([1, 2, 3, 4, 5, 6], 2, None, 5),
        ([1, 2, 3, 4, 5, 6], 2, 2, 2),  # the writer's own keyframe stays
        ([1, 1, 3, 3, 5, 3], 2, None, 3),  # the head forks back to 3; 5 needs nothing older
        ([1, 1, 1, 4, 1, 4], 1, None, 1),  # 5, kept for the head's keyframe at 4, forks from 1's chain
        ([1, 1, 1, 1, 1, 1], 9, None, 1),
    ],
)
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
KEYS = ["k", UUID, "", "\x00mark"]


TABLES = ("records", "attachments", "timelines")


def left_behind(log):
    """What `log` still stores of any timeline, attachments included: nothing, once every one is dropped."""
    if isinstance(log, MemoryLog):
        return len(log._timelines) + len(log._attachments)
    if isinstance(log, RedisLog):
        return len(set(log._client.keys(f"{log.prefix}:*")) - {log._names.encode()})
    table = "derirezaro_{}" if isinstance(log, SQLiteLog) else f'"{log.prefix}_{{}}"'
    count = "SELECT " + " + ".join(f"(SELECT count(*) FROM {table.format(t)})" for t in TABLES)
    if isinstance(log, SQLiteLog):
        return log._writer.execute(count).fetchone()[0]
    return log._call(None, lambda conn: conn.execute(count).fetchone()[0])


def test_attachments_and_keys_given_early_follow_the_memory_log(log):
    # The same random calls on both logs; every read must agree with the reference. Attachments
    # before a timeline's first record give it a key that is no timeline until its first record.
    logs, rng = (MemoryLog(), log), random.Random(11)
    heads, tasks = [None, None], ["t1", UUID, "\x00mark"]
    for step in range(300):
        key = rng.choice(KEYS)
        entries = [(rng.choice(tasks), rng.randint(-2, 2), rng.randbytes(2)) for _ in range(3)]
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


def test_timelines_under_a_prefix_are_those_that_start_with_it(log):
    @settings(max_examples=30, deadline=None)
    @given(
        names=st.lists(st.text(NAME_CHARS, min_size=1, max_size=3), max_size=10, unique=True),
        prefix=st.text(NAME_CHARS, max_size=3),
    )
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
        (lambda: tl.restore("nine"), KeyError),
        (lambda: timeline.state_keyframe(store.snapshot(), 0, True), ValueError),  # chunks of 0 entries
        (lambda: timeline.state_delta(store.snapshot(), "not a snapshot", 0, 8), TypeError),
        (lambda: timeline.state_delta(store.snapshot(), store.snapshot(), 0, 0), ValueError),
    ]:
        with pytest.raises(error):
            call()
    assert [r.seq for r in tl.records()] == [1] and tl.verify() == [] and store.get("a", "x") == 1
    log.close()
    for call in (tl.commit, lambda: log.head("t"), lambda: log.attach("t", "k", [("w", 0, b"")])):
        with pytest.raises(ValueError, match="closed"):
            call()

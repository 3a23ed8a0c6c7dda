"""A thread's head read by a saver that has read nothing of it yet (a new worker, a restarted process):
the same answer as the saver that wrote it, whatever was done to the head, on every log."""

import sqlite3

import pytest
from conftest import langgraph_or_skip

langgraph_or_skip()

from derirezaro import Store
from derirezaro.langgraph import DerirezaroSaver
from derirezaro.persist import CorruptRecordError, MemoryLog
from derirezaro.persist.log_base import LogBase
from derirezaro.persist.record import KEYFRAME
from derirezaro.persist.timeline import Timeline, Tuning
from test_langgraph import opener
from test_langgraph import put as put_values


class ComposedLog(MemoryLog):
    """A log without a one-read opening: the timeline composes it from the other reads."""

    opening = LogBase.opening


def openers(kind, tmp_path):
    if kind != "composed":
        return opener(kind, tmp_path)
    memory = ComposedLog()
    return lambda: DerirezaroSaver(memory)


def put(saver, parent, step, run="run-1"):
    return put_values(
        saver, parent, {"a": step, "b": ["x"] * step}, {"a": step, "b": step}, step=step, run_id=run
    )


def seen(tup):
    values = tup and (tup.config, tup.parent_config, tup.checkpoint["channel_values"], tup.metadata["step"])
    return tup and (*values, sorted(tup.pending_writes))


def re_put(saver, configs):  # the head's id put again: committed under an alias that a mark names
    meta = {"source": "update", "step": 99, "run_id": "run-1"}
    again = configs[-1]["configurable"]["checkpoint_id"]
    put_values(saver, configs[-2], {"a": "again"}, {}, id=again, new={"a": 99}, **meta)


TWISTS = {  # what is done to the head before a second saver reads it
    "plain": lambda saver, configs: None,
    "re_put": re_put,
    "fork": lambda saver, configs: put(saver, configs[2], 50),  # the head's chain is not the log's last
    "hide": lambda saver, configs: saver.delete_for_runs(["run-2"]),  # the one before the head shows
    "prune": lambda saver, configs: saver.prune(["t"]),  # a floor below the head
}


@pytest.mark.parametrize("kind", ["memory", "composed", "sqlite", "redis"])
@pytest.mark.parametrize("twist", TWISTS)
def test_a_second_savers_first_read_of_the_head_is_the_writers(kind, twist, tmp_path):
    opener = openers(kind, tmp_path)
    latest = {"configurable": {"thread_id": "t", "checkpoint_ns": ""}}
    with opener() as writer:
        configs = [None]
        for step in range(12):
            configs.append(put(writer, configs[-1], step, "run-2" if step == 11 else "run-1"))
        writer.put_writes(configs[-1], [("a", 1), ("b", [2])], "task-1")
        TWISTS[twist](writer, configs)
        expected = seen(writer.get_tuple(latest))
        with opener() as reader, opener() as second:
            assert seen(reader.get_tuple(latest)) == expected
            second.get_tuple(latest)  # and the same after its first read, from what it keeps
            assert seen(second.get_tuple(latest)) == expected


def test_a_head_the_log_vouches_for_but_lost_is_damage_not_an_older_head(tmp_path):
    with DerirezaroSaver.sqlite(tmp_path / "checkpoints.db") as writer:
        config = None
        for step in range(3):
            config = put(writer, config, step)
    with sqlite3.connect(tmp_path / "checkpoints.db") as connection:
        connection.execute("DROP TRIGGER derirezaro_vouch")  # the voucher stays as it was
        connection.execute(
            "DELETE FROM derirezaro_records WHERE seq = (SELECT max(seq) FROM derirezaro_records)"
        )
    with DerirezaroSaver.sqlite(tmp_path / "checkpoints.db") as reader:
        with pytest.raises(CorruptRecordError, match="record"):
            reader.get_tuple({"configurable": {"thread_id": "t", "checkpoint_ns": ""}})


@pytest.mark.parametrize("entries", [1, 10, 100, 1000])
def test_a_small_state_keyframes_often_and_its_keyframes_stay_a_share_of_its_deltas(entries):
    """With `run_to_state`, what a cold read replays is bounded by the state's size, not only by
    `min_run_bytes`, and the keyframes that buys stay within `1 / run_to_state` of the deltas (plus
    one delta per run)."""
    log, store, tuning = MemoryLog(), Store(), Tuning(run_to_state=2)
    for entry in range(entries):  # a state of a set size: a growing one's keyframes outgrow the runs
        store.set("v", f"c{entry}", "value")
        store.set("s", f"c{entry}", -1)
    timeline = Timeline(log, "t", store, keyframe_every=4096, tuning=tuning)
    for step in range(300):
        store.set("v", f"c{step % entries}", f"value {step}")
        store.set("s", f"c{step % entries}", step)
        timeline.commit({"step": step})
    runs = []  # (a keyframe's size, the sizes of the deltas after it)
    for row in log.read("t", 1, 300):
        runs.append((row.body_size, [])) if row.kind == KEYFRAME else runs[-1][1].append(row.body_size)
    keyframes, deltas = sum(keyframe for keyframe, _ in runs[1:]), sum(sum(run) for _, run in runs)
    for keyframe, run in runs:
        assert sum(run) < max(keyframe, min(tuning.min_run_bytes, tuning.run_to_state * keyframe))
    if all(keyframe * tuning.run_to_state < tuning.min_run_bytes for keyframe, _ in runs):
        slack = sum(max(run, default=0) for _, run in runs[:-1])  # the delta that ended each run
        assert keyframes <= deltas / tuning.run_to_state + slack
        assert len(runs) > 2  # the rule did end runs: a cold read replays a few records

"""Listings of long, forked threads against a model of the puts.

A listing builds a page's states together, from one read of their run replayed
from the nearest state at hand, and leaves to single reads the records it does
not reach. Threads here fork from records far below a page, change channels
big enough to start new keyframes, and are listed by the saver that wrote them
and by savers that hold nothing yet: every listed checkpoint must be the model's.
"""

import random

import pytest
from conftest import langgraph_or_skip

langgraph_or_skip()

from test_langgraph import opener, put  # noqa: E402


def forked_thread(saver, rng: random.Random, steps: int) -> dict[str, tuple[dict, str | None]]:
    """Puts with parents mostly the last checkpoint, now and then one far back; checkpoint id ->
    (channel values, parent id)."""
    model: dict[str, tuple[dict, str | None]] = {}
    ids: list[str] = []
    for step in range(steps):
        parent = (ids[-1] if rng.random() < 0.85 else rng.choice(ids)) if ids else None
        values = dict(model[parent][0]) if parent else {f"c{i}": i for i in range(12)}
        changed = {f"c{rng.randrange(12)}": step}
        if rng.random() < 0.3:  # big enough that the deltas soon outweigh the state: a new keyframe
            changed["big"] = rng.randbytes(600).hex()
        values.update(changed)
        on, new = parent and {"configurable": {"checkpoint_id": parent}}, dict.fromkeys(changed, step + 1)
        done = put(saver, on, values, dict.fromkeys(values, step + 1), new=new, step=step, parents={})
        ids.append(done["configurable"]["checkpoint_id"])
        model[ids[-1]] = (values, parent)
    return model


@pytest.mark.parametrize("kind", ["memory", "sqlite"])
def test_listed_checkpoints_are_the_puts_whatever_the_saver_holds(kind, tmp_path):
    open_saver = opener(kind, tmp_path)
    rng = random.Random(11)
    writer = open_saver()
    model = forked_thread(writer, rng, 400)
    newest_first = sorted(model, reverse=True)
    thread = {"configurable": {"thread_id": "t"}}
    for checkpoint_id in rng.sample(newest_first, 40):  # pending writes listed beside their checkpoints
        where = {"configurable": {"thread_id": "t", "checkpoint_ns": "", "checkpoint_id": checkpoint_id}}
        writer.put_writes(where, [("c0", checkpoint_id)], task_id="task")
    for trial in range(12):
        saver = writer if trial % 3 == 0 else open_saver()
        before = rng.choice([None, *newest_first])
        limit = rng.choice([None, 1, 10, 100, 150])
        cursor = before and {"configurable": {"checkpoint_id": before}}
        listed = list(saver.list(thread, before=cursor, limit=limit))
        got = [(t.checkpoint["id"], t.checkpoint["channel_values"], t.parent_config) for t in listed]
        wanted = [c for c in newest_first if before is None or c < before][:limit]
        assert [c for c, _, _ in got] == wanted, (trial, before, limit)
        for checkpoint_id, values, parent in got:
            assert values == model[checkpoint_id][0], (trial, checkpoint_id)
            assert (parent and parent["configurable"]["checkpoint_id"]) == model[checkpoint_id][1]
        for tup in rng.sample(listed, min(len(listed), 5)):  # whole, as a single read gives it
            assert tup == open_saver().get_tuple(tup.config), (trial, tup.config)
    steps = {model_id: i for i, model_id in enumerate(sorted(model))}
    for step in rng.sample(range(400), 5):  # a filter's one match, whichever page it lies on
        (only,) = writer.list(thread, filter={"step": step})
        assert steps[only.checkpoint["id"]] == step and only == open_saver().get_tuple(only.config)

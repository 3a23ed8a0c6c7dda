"""What derirezaro logs, and at which level: nothing above DEBUG while all is well, a line for each
race retried, rewrite seen and slow call. Outages are logged where they are made: the refusals of
test_persist_logs.py and the stalled server of test_persist_redis.py."""

import importlib
import logging
import pkgutil

import derirezaro.persist
import pytest
from conftest import langgraph_or_skip
from derirezaro import Store
from derirezaro.persist import MemoryLog, timeline

langgraph_or_skip()

import derirezaro.langgraph  # noqa: E402
from derirezaro.langgraph import DerirezaroSaver  # noqa: E402
from test_langgraph import put  # noqa: E402


def healthy_steps(log):
    saver = DerirezaroSaver(log)
    config = None
    for step in range(20):
        config = put(saver, config, {"a": step}, {"a": step + 1})
    assert len(list(saver.list({"configurable": {"thread_id": "t"}}))) == 20
    tl = log.timeline("plain", store := Store(), keyframe_every=4)
    for step in range(20):
        store.set("s", "k", step)
        tl.commit()
    tl.restore(3)
    log.timeline("plain", Store(), cache_size=1).checkout(9)  # a cold read, replayed from a keyframe


def put_losing_a_race(log):
    one, two = DerirezaroSaver(log), DerirezaroSaver(log)
    root = put(one, None, {"a": 1}, {"a": 1})
    put(two, root, {"a": 2}, {"a": 2})
    put(one, root, {"a": 3}, {"a": 2})  # one still holds the root as the head: its commit conflicts


def put_on_a_thread_deleted_under_it(log):
    one, two = DerirezaroSaver(log), DerirezaroSaver(log)
    root = put(one, None, {"a": 1}, {"a": 1})
    two.delete_thread("t")
    put(one, root, {"a": 2}, {"a": 2})


def timeline_written_anew(log):
    mine, theirs = log.timeline("t", Store()), log.timeline("t", Store())
    mine.commit()
    theirs.delete()
    theirs.commit()
    mine.head  # noqa: B018  (a read that sees the other incarnation)


def slow_commit(log):
    log.timeline("t", Store()).commit()


SCENARIOS = [  # what runs, and what it logs above DEBUG: (logger, level, words of the message)
    (healthy_steps, []),
    (put_losing_a_race, [("derirezaro.langgraph.put", "INFO", "lost a race")]),
    (
        put_on_a_thread_deleted_under_it,
        [
            ("derirezaro.langgraph.put", "INFO", "lost a race"),  # its commit finds no head
            ("derirezaro.persist.timeline", "INFO", "dropped by another writer"),
            ("derirezaro.langgraph.put", "INFO", "dropped, rewritten or pruned"),  # and it reopens the thread
        ],
    ),
    (timeline_written_anew, [("derirezaro.persist.timeline", "INFO", "dropped and written anew")]),
    (slow_commit, [("derirezaro.persist.timeline", "WARNING", "took")]),
]


@pytest.mark.parametrize("run, expected", SCENARIOS, ids=[run.__name__ for run, _ in SCENARIOS])
def test_what_is_logged_above_debug(caplog, monkeypatch, run, expected):
    if run is slow_commit:
        monkeypatch.setattr(timeline, "SLOW_CALL_SECONDS", -1.0)
    caplog.set_level(logging.DEBUG, logger="derirezaro")
    run(MemoryLog())
    logged = [(r.name, r.levelname, r.getMessage()) for r in caplog.records if r.levelno > logging.DEBUG]
    assert [(name, level) for name, level, _ in logged] == [(name, level) for name, level, _ in expected]
    assert all(words in message for (*_, message), (*_, words) in zip(logged, expected, strict=True))


def test_the_package_adds_no_handler():
    for package in (derirezaro.persist, derirezaro.langgraph):
        for module in pkgutil.iter_modules(package.__path__, f"{package.__name__}."):
            importlib.import_module(module.name)
    loggers = [
        logging.getLogger(name) for name in logging.root.manager.loggerDict if name.startswith("derirezaro")
    ]
    assert loggers and all(type(h) is logging.NullHandler for lg in loggers for h in lg.handlers)

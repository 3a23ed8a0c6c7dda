"""The module's shared state under threads that really run at once: on a free-threaded
interpreter (PYTHON_GIL=0) nothing serialises the calls below but the module's own
locks. Each test runs a few threads for a bounded time and checks every result
exactly: a decoded map holds its own keys and values, an encoded container that
another thread mutates decodes to something that container held, a store loses no
write, a graph routes every state as its guards say. Under an interpreter lock the
same tests pass trivially; they are cheap enough to run everywhere."""

import sys
import sysconfig
import threading
import time

import pytest
from derirezaro import HandoffGraph, Store, dumps, loads

THREADS = 4
DURATION = 1.0  # seconds per test: a bound on the work, never a measured result


def run_threads(body):
    """Runs body(tid, stop) in THREADS threads, all started together, until every one
    returns or DURATION passes (then `stop()` turns true); re-raises the first failure."""
    barrier, failures, deadline = threading.Barrier(THREADS), [], time.monotonic() + DURATION

    def run(tid):
        barrier.wait()
        try:
            body(tid, lambda: time.monotonic() > deadline)
        except BaseException as exc:  # noqa: BLE001  (re-raised in the main thread)
            failures.append(exc)

    threads = [threading.Thread(target=run, args=(tid,)) for tid in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]


@pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="the interpreter has its own lock"
)
def test_import_leaves_the_interpreter_lock_off():
    if getattr(sys.flags, "gil", None) == 1:
        pytest.skip("the lock was asked for (PYTHON_GIL=1 or -X gil=1)")
    assert not sys._is_gil_enabled()


def test_loads_gives_each_thread_its_own_keys():
    # 4 x 400 distinct short keys cannot fit the decoder's 1024 cache slots: threads keep
    # replacing each other's keys in shared slots while they read their own.
    def body(tid, stop):
        values = [{f"t{tid}.k{i}.{j}": [tid, i, j] for j in range(8)} for i in range(50)]
        encoded = [dumps(value) for value in values]
        while not stop():
            for value, data in zip(values, encoded, strict=True):
                decoded = loads(data)
                assert decoded == value, (tid, sorted(decoded)[:3])
                assert all(type(key) is str for key in decoded)

    run_threads(body)


def mutate_list(shared, stop):
    # Items are replaced, not only appended, so an item an encoder borrowed can lose
    # its last reference; nested lists change size while they may be walked.
    i = 0
    while not stop():
        i += 1
        shared.append([i, str(i)])
        if len(shared) > 64:
            del shared[:32]
        shared[i % len(shared)] = {"i": i}
        if isinstance(shared[-1], list):
            shared[-1].append(i)
        if i % 500 == 0:
            shared.clear()


def mutate_dict(shared, stop):
    i = 0
    while not stop():
        i += 1
        shared[f"k{i % 97}"] = [i, str(i)]
        shared[f"n{i}"] = {"i": i}
        if len(shared) > 96:
            for key in list(shared)[:48]:
                shared.pop(key, None)
        if i % 500 == 0:
            shared.clear()


def check_list_item(item):
    if isinstance(item, dict):
        assert list(item) == ["i"] and type(item["i"]) is int, item
    else:
        assert item[:2] == [item[0], str(item[0])] and item[2:] in ([], [item[0]]), item


def check_dict_item(entry):
    key, value = entry
    if key.startswith("n"):
        assert value == {"i": int(key[1:])}, entry
    else:
        assert value == [value[0], str(value[0])] and value[0] % 97 == int(key[1:]), entry


@pytest.mark.parametrize(
    ("shared", "mutate", "check_item"),
    [([], mutate_list, check_list_item), ({}, mutate_dict, check_dict_item)],
    ids=["list", "dict"],
)
def test_dumps_of_a_container_another_thread_mutates(shared, mutate, check_item):
    # Each encoding is of some state the container passed through: its count matches
    # its elements (else loads fails), and each element is one the mutator wrote whole.
    def body(tid, stop):
        while tid and not stop():
            decoded = loads(dumps(shared))
            assert type(decoded) is type(shared)
            for item in decoded.items() if isinstance(decoded, dict) else decoded:
                check_item(item)
        if not tid:
            mutate(shared, stop)

    run_threads(body)


def test_store_loses_no_write_from_threads():
    # Each thread owns a namespace, and its own keys in one namespace all share: every
    # read of a key it owns returns its own last write, and so does the store after.
    store, last = Store(), {}

    def body(tid, stop):
        seq = 0
        while not stop():
            seq += 1
            name, previous = f"{tid}.k{seq % 16}", f"{tid}.k{(seq - 1) % 16}"
            for ns in (f"own{tid}", "shared"):
                store.set(ns, name, value := {"tid": tid, "seq": seq, "ns": ns})
                last[ns, name] = value
                assert store.get(ns, name) == value
                assert store.get(ns, previous) == last.get((ns, previous)), (ns, previous)

    run_threads(body)
    assert [where for where, value in last.items() if store.get(*where) != value] == []
    assert len(store.keys("shared")) == len(last) // 2


def test_graph_routes_from_threads():
    graph = HandoffGraph(on_cycle="allow")
    for source, target, when in [("start", "big", "n > 100"), ("start", "mid", "n > 10 and not quiet"),
                                 ("start", "small", None), ("small", "start", None)]:  # fmt: skip
        graph.add_edge(source, target, when)

    def body(n, stop):
        while not stop():
            n = (n * 31 + 7) % 257
            state = {"n": n, "quiet": n % 3 == 0, "padding": list(range(n % 20))}
            expected = "big" if n > 100 else "mid" if n > 10 and not state["quiet"] else "small"
            assert (graph.route("start", state), graph.route("small", state)) == (expected, "start"), state

    run_threads(body)

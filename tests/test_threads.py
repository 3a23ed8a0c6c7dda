"""Which drops and long calls give up the interpreter lock. (The store under threads that
really run at once is the core's test under ThreadSanitizer, tests/core/test_threads.cpp,
and test_free_threading.py's at the binding: under the interpreter lock every store call
here is one step.)"""

import sys
import threading
import time

import pytest
from conftest import needs_gil
from derirezaro import Store
from derirezaro.persist import record
from derirezaro.persist.record import KEYFRAME

# --- dropping what frees much ----------------------------------------------


def _gives_up_the_lock(drop):
    # With a switch interval far beyond the test's length, the ticking thread
    # runs while drop() does only if drop() gives up the interpreter lock.
    ticks, stop = [0], threading.Event()

    def tick():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(60)
    thread = threading.Thread(target=tick)
    try:
        thread.start()
        time.sleep(0.01)
        before = ticks[0]
        drop()
        return ticks[0] != before
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)


@needs_gil
@pytest.mark.parametrize("entries, drop, frees_much", [(20_000, "store", True), (10, "store", False),
                                                      (20_000, "snapshot", True)])  # fmt: skip
def test_the_last_reference_frees_without_the_lock_only_what_frees_much(entries, drop, frees_much):
    # Whether a drop frees much is the core's rule (tests/core/test_snapshot.cpp);
    # here, that the last reference to a store or a snapshot follows it. A tick
    # seen proves the lock was given up; a tick missed may only mean the ticking
    # thread got no processor before the free ended, so a miss is tried again at
    # larger sizes, whose frees take longer.
    seen = set()
    for scale in (1, 4, 16):
        store = Store(max_history=0)
        for i in range(entries * scale):
            store.set(f"ns{i % 3}", str(i), i)
        doomed = [store.snapshot() if drop == "snapshot" else store]  # the only reference to what is dropped
        if drop == "snapshot":
            store.clear()  # the snapshot holds the last of the entries
        del store
        seen.add(_gives_up_the_lock(doomed.clear))
        if True in seen:
            break
    assert (True in seen) is frees_much


def test_long_calls_let_other_threads_run():
    # Making a Python object per entry needs the lock throughout; the builder
    # gives it up every few milliseconds, so a large result stalls no other
    # thread for long. Checksumming a large record gives it up throughout.
    store, big = Store(), b"x" * (16 << 20)  # tens of milliseconds of CRC-32
    for i in range(300_000):
        store.set("n", str(i), i)
    snapshot, fields = store.snapshot(), dict(seq=1, id=None, parent=None, base=1, kind=KEYFRAME, digest=0)
    row = record.seal("t", **fields, timestamp=1.0, meta=big, body=big)
    calls = {
        "snapshot.keys": lambda: snapshot.keys,
        "store.keys": lambda: store.keys("n"),
        "diff": lambda: snapshot.diff(Store().snapshot()),
        "seal": lambda: record.seal("t", **fields, timestamp=1.0, meta=big, body=big),
        "check_header": lambda: record.check_header("t", row),
    }
    assert [name for name, call in calls.items() if not _gives_up_the_lock(call)] == []

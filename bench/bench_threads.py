"""Store set/get throughput from threads on distinct namespaces, beside a dict behind a
threading.Lock doing the same work: how far the store's sharded locks let threads run
at once. Meaningful on a free-threaded interpreter (PYTHON_GIL=0); under an interpreter
lock both sides are serialised anyway.

    PYTHON_GIL=0 python3.13t bench/bench_threads.py [--threads 2] [--seconds 2]
"""

import argparse
import sys
import threading
import time

from derirezaro import Store

KEYS = [f"key{i}" for i in range(256)]
VALUE = {"role": "assistant", "content": "a short message", "turn": 7}


class LockedDict:
    """The plain-Python baseline: one dict per namespace, one lock for all."""

    def __init__(self):
        self.lock = threading.Lock()
        self.data = {}

    def set(self, ns, key, value):
        with self.lock:
            self.data.setdefault(ns, {})[key] = value

    def get(self, ns, key):
        with self.lock:
            return self.data.get(ns, {}).get(key)


def worker(target, ns, stop, counts, slot):
    ops = 0
    while not stop.is_set():
        for key in KEYS:
            target.set(ns, key, VALUE)
            target.get(ns, key)
        ops += 2 * len(KEYS)
    counts[slot] = ops


def measure(make_target, threads, seconds):
    target = make_target()
    stop = threading.Event()
    counts = [0] * threads
    workers = [
        threading.Thread(target=worker, args=(target, f"ns{i}", stop, counts, i)) for i in range(threads)
    ]
    start = time.perf_counter()
    for thread in workers:
        thread.start()
    time.sleep(seconds)
    stop.set()
    for thread in workers:
        thread.join()
    return sum(counts) / (time.perf_counter() - start)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--seconds", type=float, default=2.0)
    args = parser.parse_args()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"python {sys.version.split()[0]}, interpreter lock {'on' if gil else 'off'}")
    for name, make_target in (("Store", Store), ("dict + Lock", LockedDict)):
        for threads in sorted({1, args.threads}):
            rate = measure(make_target, threads, args.seconds)
            print(f"{name:12} {threads} thread(s): {rate / 1e6:6.2f} M ops/s (set+get, distinct namespaces)")


if __name__ == "__main__":
    main()

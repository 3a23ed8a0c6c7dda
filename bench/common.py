"""What the benchmarks share: their common options, the machine's name, and
loading an installed older build beside the current one, so that both are timed
in one run (--baseline DIR)."""

import argparse
import contextlib
import importlib.machinery
import importlib.util
import json
import os
import platform
import sys
import threading

import derirezaro


def load_baseline(root):
    """Load DIR/derirezaro/_core from an installed copy, beside the current build.

    The loader finds the init function by the last part of the module name, so
    "derirezaro_baseline._core" initialises the other file's _core under a name
    of its own: a second module, with its own types and state, in this process.
    Only the extension is loaded; the package's __init__ merely re-exports it.
    """
    pkg = os.path.join(root, "derirezaro")
    path = next(
        (
            p
            for s in importlib.machinery.EXTENSION_SUFFIXES
            if os.path.isfile(p := os.path.join(pkg, "_core" + s))
        ),
        None,
    )
    if path is None:
        sys.exit(f"--baseline: no derirezaro/_core extension for this Python under {root}")
    # The dynamic loader hands back the library already mapped for the same
    # file, so that would not be a second copy at all.
    if os.path.samefile(path, derirezaro._core.__file__):
        sys.exit(f"--baseline: {path} is the build being measured")
    name = "derirezaro_baseline._core"
    spec = importlib.util.spec_from_file_location(name, path)
    core = importlib.util.module_from_spec(spec)
    sys.modules[name] = core
    spec.loader.exec_module(core)
    return core


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            return next(ln.split(":", 1)[1].strip() for ln in f if ln.startswith("model name"))
    except (OSError, StopIteration):
        return platform.processor() or platform.machine()


def argument_parser(doc):
    """--repeats, --quick, --json and --baseline, described by the script's docstring."""
    ap = argparse.ArgumentParser(description=doc.split("\n")[0])
    ap.add_argument("--repeats", type=int, default=15, help="timed repeats (default 15)")
    ap.add_argument("--quick", action="store_true", help="few short repeats: a smoke run")
    ap.add_argument("--json", metavar="PATH", help="also write the raw numbers as JSON")
    ap.add_argument(
        "--baseline",
        metavar="DIR",
        help="also time the derirezaro installed under DIR (pip install --target DIR)",
    )
    return ap


@contextlib.contextmanager
def busy_thread(busy):
    """With `busy`, a thread spins in pure Python for the duration of the block:
    it wants the interpreter lock all the time, as a busy agent thread would."""
    stop, started = [], threading.Event()

    def spin():
        started.set()
        n = 0
        while not stop:
            n += 1

    spinner = threading.Thread(target=spin)
    if busy:
        spinner.start()
        started.wait()
    try:
        yield
    finally:
        stop.append(True)
        if busy:
            spinner.join()


def write_json(path, raw):
    with open(path, "w") as f:
        json.dump(raw, f, indent=1)
    print(f"raw numbers written to {path}")

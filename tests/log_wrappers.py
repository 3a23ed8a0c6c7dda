"""Logs that stop or fail on cue, and sides of a race that run on threads of their own.

A race test gives one side a wrapped log, runs it until the wrapper stops it between
two calls, runs the other side to the end, then lets the first go on. Nothing waits
for a window to come by chance: every wait is for an event, and bounded by `WAIT`,
after which the test fails saying what did not happen.
"""

import threading
import weakref

from derirezaro.persist import ConnectionLostError

WAIT = 30.0  # seconds a side may take to reach its pause or to finish, before the test fails
_PAUSES = weakref.WeakSet()  # every pause made, so a failed test lets its sides go (`release_all`)


def release_all():
    """Let every side still stopped go on: after a failed check, so no thread waits out `WAIT`."""
    for paused in list(_PAUSES):
        paused.go.set()


class Paused:
    """`log` for one side of a race: its `call`-th call since `arm()` stops until the test sets `go`.

    It stops before the log is called or, with `after`, once the log returned or raised and
    before the side sees the outcome. `stopped` is set when it stops (and by a `Side` that
    finishes, so a test can wait for whichever comes first).
    """

    def __init__(self, log, call, after):
        self.log, self.call, self.after, self._count = log, call, after, None
        self.stopped, self.go, self._lock = threading.Event(), threading.Event(), threading.Lock()
        _PAUSES.add(self)

    def arm(self):
        with self._lock:
            self._count = 0

    def __getattr__(self, name):
        attribute = getattr(self.log, name)  # a method: a Timeline reads nothing else of its log

        def call(*args, **kwargs):
            with self._lock:
                self._count = None if self._count is None else self._count + 1
                stops = self._count == self.call
            if stops and not self.after:
                self._stop(name)
            try:
                return attribute(*args, **kwargs)
            finally:
                if stops and self.after:
                    self._stop(name)

        return call

    def _stop(self, name):
        self.stopped.set()
        if not self.go.wait(WAIT):
            raise TimeoutError(f"paused at {name} and never let go")


class LostReply:
    """`log`, except that its next `append` fails as a broken connection does.

    `landed`: the record is stored and the reply is lost; otherwise the request
    is lost and nothing is stored. Either way the writer cannot tell which.
    """

    def __init__(self, log, landed):
        self.log, self.landed, self.armed = log, landed, True

    def append(self, timeline, record, expected, attach=None):
        if not self.armed:
            return self.log.append(timeline, record, expected, attach)
        self.armed = False
        if self.landed:
            self.log.append(timeline, record, expected, attach)
        raise ConnectionLostError("test", "connection reset by peer", timeline)

    def __getattr__(self, name):
        return getattr(self.log, name)


class Side:
    """`work()` on a daemon thread, stopped by `paused`; `outcome()` is what it returned or raised."""

    def __init__(self, work, paused):
        self.paused, self.done, self._outcome = paused, threading.Event(), None
        self._thread = threading.Thread(target=self._run, args=(work,), daemon=True)
        self._thread.start()

    def _run(self, work):
        try:
            self._outcome = work()
        except BaseException as error:  # handed to the test, which judges it
            self._outcome = error
        finally:
            self.done.set()
            self.paused.stopped.set()

    def stopped(self):
        """Wait until the side reached its pause (True) or finished without reaching it (False)."""
        if not self.paused.stopped.wait(WAIT):
            raise AssertionError(f"the side neither reached its pause nor finished in {WAIT}s")
        return not self.done.is_set()

    def outcome(self):
        self.paused.go.set()
        self._thread.join(WAIT)
        if self._thread.is_alive():
            raise AssertionError(f"the side did not finish in {WAIT}s: a deadlock, or a pause never let go")
        return self._outcome

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
    """`log` for one side of a race: one of its calls stops until the test sets `go`.

    The call that stops is the `call`-th of `method` (of any method, when None) made
    through this wrapper since `arm()`, or since it was made with `armed`; it stops
    `before` the log is called, or `after` the log returned or raised, before the
    side sees the outcome. `stopped` is set when it stops (and by a `Side` that
    finishes, so a test can wait for whichever comes first); `at` names the call.
    """

    def __init__(self, log, method=None, *, before=False, after=False, call=1, armed=True):
        if before == after:
            raise ValueError("a pause is either before the call or after it")
        self.log, self.method, self.before, self.call = log, method, before, call
        self.stopped, self.go = threading.Event(), threading.Event()
        self.at = None  # (method, args) of the call that stopped
        self._lock = threading.Lock()
        self._count = 0 if armed else None
        _PAUSES.add(self)

    def arm(self):
        with self._lock:
            self._count = 0

    def __getattr__(self, name):
        attribute = getattr(self.log, name)
        if not callable(attribute):
            return attribute

        def call(*args, **kwargs):
            stops = self._counts(name)
            if stops and self.before:
                self._stop(name, args)
            try:
                return attribute(*args, **kwargs)
            finally:
                if stops and not self.before:
                    self._stop(name, args)

        return call

    def _counts(self, name):
        with self._lock:
            if self._count is None or self.method not in (None, name):
                return False
            self._count += 1
            return self._count == self.call

    def _stop(self, name, args):
        self.at = (name, args)
        self.stopped.set()
        if not self.go.wait(WAIT):
            raise TimeoutError(f"paused at {name}{args!r} and never let go")

    def __repr__(self):
        return f"Paused({self.log!r})"


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

    def __repr__(self):
        return f"LostReply({self.log!r})"


class Side:
    """`work()` on a daemon thread; `outcome()` is what it returned or the exception it raised."""

    def __init__(self, work, paused=None):
        self.paused, self.done = paused, threading.Event()
        self._value = self._error = None
        self._thread = threading.Thread(target=self._run, args=(work,), daemon=True)
        self._thread.start()

    def _run(self, work):
        try:
            self._value = work()
        except BaseException as error:  # handed to the test, which judges it
            self._error = error
        finally:
            self.done.set()
            if self.paused is not None:
                self.paused.stopped.set()

    def stopped(self):
        """Wait until the side reached its pause (True) or finished without reaching it (False)."""
        if not self.paused.stopped.wait(WAIT):
            raise AssertionError(f"the side neither reached its pause nor finished in {WAIT}s")
        return not self.done.is_set()

    def outcome(self):
        if self.paused is not None:
            self.paused.go.set()
        self._thread.join(WAIT)
        if self._thread.is_alive():
            raise AssertionError(f"the side did not finish in {WAIT}s: a deadlock, or a pause never let go")
        return self._error if self._error is not None else self._value

    def result(self):
        """`outcome()`, raising what the side raised."""
        outcome = self.outcome()
        if self._error is not None:
            raise outcome
        return outcome

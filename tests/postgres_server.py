"""PostgreSQL servers of the tests' own: Debian's server on 127.0.0.1, a free port, its data and
socket in a temporary directory, stopped and removed at the end whatever happens.

The server refuses to run as root, so a test run as root runs it as the `postgres` user the
Debian package makes (or `nobody`), and gives it the directory. Tests that need a server skip,
with the reason, only where PostgreSQL is not installed; with DERIREZARO_REQUIRE_POSTGRES set
(the suite's own script sets it) a missing server fails them.
"""

import atexit
import glob
import os
import pwd
import shutil
import subprocess
import tempfile
import uuid

import pytest
from redis_server import SERVER_ENV, free_port

MISSING = "PostgreSQL is not installed (Debian package postgresql; tools/dev-setup.sh installs it)"
SUPERUSER = "derirezaro"


def _binaries() -> str | None:
    """The directory of initdb and pg_ctl: Debian keeps them out of PATH, one directory per version."""
    versions = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"), key=lambda p: int(p.split("/")[4]))
    if versions:
        return os.path.dirname(versions[-1])
    found = shutil.which("pg_ctl")
    return None if found is None else os.path.dirname(os.path.realpath(found))


BINARIES = _binaries()


def _run_as() -> pwd.struct_passwd | None:
    """The user the server runs as: None (this one) unless this is root, whom the server refuses."""
    if os.geteuid() != 0:
        return None
    for name in ("postgres", "nobody"):
        try:
            return pwd.getpwnam(name)
        except KeyError:
            continue
    raise RuntimeError("running as root, and neither a postgres nor a nobody user to run PostgreSQL as")


class PostgresServer:
    """One server; `fsync` off unless a test measures durability, as a crash of the test machine
    loses nothing a test needs."""

    def __init__(self, *settings: str, fsync: bool = False):
        self.user = _run_as()
        self.directory = tempfile.mkdtemp(prefix="dz-postgres-")
        self.data = os.path.join(self.directory, "data")
        self.port = free_port()
        self.settings = ["-c", f"fsync={'on' if fsync else 'off'}", *settings]
        self.url = f"postgresql://{SUPERUSER}@127.0.0.1:{self.port}/postgres"
        self.running = False
        atexit.register(self.stop)
        if self.user is not None:
            os.chown(self.directory, self.user.pw_uid, self.user.pw_gid)

    def _as_server(self, *command: str, check: bool = True) -> subprocess.CompletedProcess:
        user = None if self.user is None else self.user.pw_uid
        group = None if self.user is None else self.user.pw_gid
        return subprocess.run(
            [os.path.join(BINARIES, command[0]), *command[1:]],
            cwd=self.directory,
            user=user,
            group=group,
            env=SERVER_ENV,
            capture_output=True,
            text=True,
            check=check,
            timeout=60,
        )

    def start(self) -> "PostgresServer":
        if not os.path.exists(self.data):
            self._as_server(
                "initdb", "-D", self.data, "-U", SUPERUSER, "--auth=trust", "-E", "UTF8", "--no-sync"
            )
        options = f"-h 127.0.0.1 -p {self.port} -k {self.directory} " + " ".join(self.settings)
        log = os.path.join(self.directory, "server.log")
        result = self._as_server(
            "pg_ctl", "start", "-D", self.data, "-w", "-l", log, "-o", options, check=False
        )
        if result.returncode:
            raise RuntimeError(f"PostgreSQL on port {self.port} did not start: {result.stdout}{self.log()}")
        self.running = True  # pg_ctl -w returned once the server accepts connections
        return self

    def log(self) -> str:
        try:
            with open(os.path.join(self.directory, "server.log")) as file:
                return file.read()[-2000:]
        except OSError:
            return ""

    def halt(self) -> None:
        """Stop the server as a crash would (immediate: no checkpoint), keeping its data to start again."""
        if self.running:
            self._as_server("pg_ctl", "stop", "-D", self.data, "-m", "immediate", "-w", check=False)
            self.running = False

    def stop(self) -> None:
        self.halt()
        shutil.rmtree(self.directory, ignore_errors=True)

    def __enter__(self) -> "PostgresServer":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()


_shared = None


def shared_url() -> str:
    """The conninfo URL of one server shared by the session (started on first use)."""
    global _shared
    require()
    if _shared is None:
        _shared = PostgresServer().start()
    return _shared.url


def fresh_prefix() -> str:
    return f"t{uuid.uuid4().hex[:12]}"


def require() -> None:
    missing = BINARIES is None
    try:
        import psycopg  # noqa: F401
    except ImportError:
        missing = True
    if missing:
        if os.environ.get("DERIREZARO_REQUIRE_POSTGRES"):
            pytest.fail(MISSING + ", or psycopg is not (pip install 'derirezaro[postgres]')")
        pytest.skip(MISSING, allow_module_level=True)

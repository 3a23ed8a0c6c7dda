"""Redis servers of the tests' own: Debian's redis-server on 127.0.0.1, a free port, a
temporary directory, stopped at the end whatever happens.

Tests that need one skip, with the reason, only where redis-server is not installed; with
DERIREZARO_REQUIRE_REDIS set (the suite's own script sets it) a missing server fails them.
"""

import atexit
import os
import shutil
import socket
import subprocess
import tempfile
import time
import uuid

import pytest
import redis

BINARY = shutil.which("redis-server")
# The server is no Python process: a sanitizer runtime preloaded for the interpreter stays out of it.
SERVER_ENV = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
MISSING = "redis-server is not installed (Debian package redis-server; tools/dev-setup.sh installs it)"


def free_port(below: int = 65536) -> int:
    """A port free now; a cluster node also takes its port + 10000, so it asks for one below 55536."""
    while True:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            if (port := s.getsockname()[1]) < below:
                return port


def wait_for(done, what: str, seconds: float = 10) -> None:
    """Poll `done()` until it is true; fail saying `what` did not happen after `seconds`."""
    deadline = time.monotonic() + seconds
    while not done():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what}: not after {seconds}s")
        time.sleep(0.01)


class RedisServer:
    def __init__(self, *options: str):
        self.options, self.process = options, None
        self.directory = tempfile.mkdtemp(prefix="dz-redis-")
        self.port = free_port(55536 if "--cluster-enabled" in options else 65536)
        self.url = f"redis://127.0.0.1:{self.port}/0"
        atexit.register(self.stop)

    def start(self) -> "RedisServer":
        command = [BINARY, "--port", str(self.port), "--bind", "127.0.0.1", "--dir", self.directory]
        command += ["--save", "", "--appendonly", "no", *self.options]
        self.process = subprocess.Popen(
            command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=SERVER_ENV
        )
        wait_for(self._answers, f"redis-server on port {self.port} answering")
        return self

    def _answers(self) -> bool:
        if self.process.poll() is not None:
            raise RuntimeError(f"redis-server on port {self.port} exited with {self.process.returncode}")
        try:
            with self.client(socket_timeout=0.5) as client:
                return client.ping()
        except redis.RedisError:
            return False

    def client(self, **options) -> redis.Redis:
        return redis.Redis(host="127.0.0.1", port=self.port, **options)

    def stop(self) -> None:
        if self.process is not None:  # killed, as a crash ends it: nothing of it is kept
            self.process.kill()
            self.process.wait()
            self.process = None
        shutil.rmtree(self.directory, ignore_errors=True)


_shared = None


def shared_url() -> str:
    """The URL of one server shared by the session (started on first use)."""
    global _shared
    require()
    if _shared is None:
        _shared = RedisServer().start()
    return _shared.url


def fresh_prefix() -> str:
    return f"t{uuid.uuid4().hex[:12]}"


def require() -> None:
    if BINARY is None:
        if os.environ.get("DERIREZARO_REQUIRE_REDIS"):
            pytest.fail(MISSING)
        pytest.skip(MISSING)


def replica_of(primary: RedisServer, *options: str) -> RedisServer:
    """A server that replicates `primary`, returned once the primary counts it as connected."""
    with primary.client() as client:
        client.config_set("repl-diskless-sync-delay", 0)  # the first sync starts at once
        replica = RedisServer("--replicaof", "127.0.0.1", str(primary.port), *options).start()
        with replica.client() as own:
            wait_for(
                lambda: (
                    own.info("replication")["master_link_status"] == "up"
                    and client.info("replication").get("slave0", {}).get("state") == "online"
                ),
                f"redis-server on port {replica.port} replicating",
            )
    return replica

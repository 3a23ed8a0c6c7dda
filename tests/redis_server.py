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
import threading
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
            port = s.getsockname()[1]
        if port < below:
            return port


class RedisServer:
    def __init__(self, *options: str):
        self.options = options
        self.directory = tempfile.mkdtemp(prefix="dz-redis-")
        self.port = free_port(55536 if "--cluster-enabled" in options else 65536)
        self.process = None
        atexit.register(self.stop)

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def start(self) -> "RedisServer":
        command = [BINARY, "--port", str(self.port), "--bind", "127.0.0.1", "--dir", self.directory]
        command += ["--save", "", "--appendonly", "no", *self.options]
        self.process = subprocess.Popen(
            command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=SERVER_ENV
        )
        deadline = time.monotonic() + 10
        while not self.answers():
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"redis-server on port {self.port} did not start")
            time.sleep(0.01)
        return self

    def answers(self) -> bool:
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=0.5) as s:
                s.sendall(b"PING\r\n")
                return s.recv(16).startswith(b"+PONG")
        except OSError:
            return False

    def client(self, **options) -> redis.Redis:
        return redis.Redis(host="127.0.0.1", port=self.port, **options)

    def info(self, section: str) -> dict:
        with self.client() as client:
            return client.info(section)

    def kill(self) -> None:
        """SIGKILL, as a crash would end it; start() brings it back on the same port and directory."""
        if self.process is not None:
            self.process.kill()
            self.process.wait()
            self.process = None

    def stop(self) -> None:
        if self.process is not None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
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
    deadline = time.monotonic() + 10
    while replica.info("replication").get("master_link_status") != "up" or not any(
        key.startswith("slave") and value.get("state") == "online"
        for key, value in primary.info("replication").items()
    ):
        if time.monotonic() > deadline:
            replica.stop()
            raise RuntimeError(f"redis-server on port {replica.port} did not start replicating")
        time.sleep(0.01)
    return replica


class Relay:
    """A loopback TCP relay to a server that can drop the server's replies and close the connection.

    With `drop_replies` set, a command still reaches the server (and may land) while its client
    sees the connection break: what a network failure after the server acted looks like.
    """

    def __init__(self, port: int):
        self.target, self.drop_replies = port, False
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.sockets: list[socket.socket] = []
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()
        atexit.register(self.stop)

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def _accept(self) -> None:
        while not self.closed:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.target))
            self.sockets += [client, server]
            threading.Thread(target=self._pump, args=(client, server, False), daemon=True).start()
            threading.Thread(target=self._pump, args=(server, client, True), daemon=True).start()

    def _pump(self, source: socket.socket, sink: socket.socket, replies: bool) -> None:
        try:
            while data := source.recv(65536):
                if replies and self.drop_replies:
                    break
                sink.sendall(data)
        except OSError:
            pass
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            end.close()

    def stop(self) -> None:
        self.closed = True
        self.listener.close()
        for end in self.sockets:
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            end.close()

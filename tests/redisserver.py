"""Debian's redis-server on a free loopback port, for the tests and benchmarks of the shared bar cache.

`make test` installs the package when it is missing and it may (root); elsewhere `missing()` gives
the reason to skip.
"""
import shutil
import socket
import subprocess
import time

import redis

BINARY = "redis-server"


def missing() -> str | None:
    """Why no server can be started here, or None."""
    if shutil.which(BINARY) is None:
        return "redis-server is not installed (apt-get install redis-server; `make test` installs it as root)"
    return None


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RedisServer:
    """One redis-server process on 127.0.0.1, no persistence; `start` again after `kill` reuses the port."""

    def __init__(self, directory) -> None:
        self.directory = directory
        self.port = free_port()
        self.url = f"redis://127.0.0.1:{self.port}/0"
        self.proc = None

    def start(self) -> "RedisServer":
        self.proc = subprocess.Popen(
            [BINARY, "--bind", "127.0.0.1", "--port", str(self.port), "--save", "", "--appendonly", "no",
             "--dir", str(self.directory)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        client = redis.Redis(port=self.port, socket_timeout=1, socket_connect_timeout=1)
        deadline = time.monotonic() + 20
        try:
            while True:
                try:
                    client.ping()
                    return self
                except redis.ConnectionError:
                    if self.proc.poll() is not None or time.monotonic() > deadline:
                        raise RuntimeError(f"redis-server on port {self.port} did not start") from None
                    time.sleep(0.05)
        finally:
            client.close()

    def kill(self) -> None:
        """SIGKILL: the server goes away at once, with everything it held."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def stop(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.kill()

"""Debian's redis-server on a free loopback port without persistence, for tests and bench/load.py."""
import shutil
import subprocess
import time

import redis
from service import free_port

MISSING = None if shutil.which("redis-server") else (
    "redis-server is not installed (apt-get install redis-server; `make test` installs it as root)")


class RedisServer:
    """`start` again after `kill` (SIGKILL: gone at once, with all it held) serves on the same port."""

    def __init__(self, directory) -> None:
        self.directory, self.port = directory, free_port()
        self.url = f"redis://127.0.0.1:{self.port}/0"

    def start(self) -> "RedisServer":
        self.proc = subprocess.Popen(["redis-server", "--bind", "127.0.0.1", "--port", str(self.port), "--save", "",
                                      "--appendonly", "no", "--dir", str(self.directory)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with redis.Redis(port=self.port, socket_timeout=1, socket_connect_timeout=1) as client:
            for _ in range(400):  # 20 s
                try:
                    client.ping()
                    return self
                except redis.ConnectionError:
                    if self.proc.poll() is not None:
                        break
                    time.sleep(0.05)
        raise RuntimeError(f"redis-server on port {self.port} did not start")

    def kill(self) -> None:
        self.proc.kill()
        self.proc.wait()

    def stop(self) -> None:
        self.proc.terminate()
        self.proc.wait(timeout=10)

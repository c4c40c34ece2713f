"""A `quorvane serve` process on a free loopback port, for the tests that talk to one over HTTP."""
import contextlib
import signal
import socket
import subprocess
import time

import httpx
import pytest

START_TIMEOUT = 60  # a sanitizer build imports slowly


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def serving(command: list[str], data_dir):
    """Base URL of `command serve` (e.g. [sys.executable, "-m", "quorvane"]) started on a free
    loopback port over the bar cache in data_dir, once it answers /api/v1/health; stopped with
    SIGINT (killed after 15 s) when the block ends."""
    port = free_port()
    proc = subprocess.Popen(
        [*command, "serve", "--host", "127.0.0.1", "--port", str(port), "--data-dir", str(data_dir),
         "--log-level", "warning"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    base = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            try:
                httpx.get(f"{base}/api/v1/health", timeout=2)
                break
            except httpx.TransportError:
                if proc.poll() is not None:
                    pytest.fail(f"serve exited with {proc.returncode}:\n{proc.communicate()[1]}")
                if time.monotonic() > deadline:
                    pytest.fail(f"serve did not answer within {START_TIMEOUT} s")
                time.sleep(0.2)
        yield base
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)
            try:
                proc.communicate(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.communicate()

"""A server process on a free loopback port (`quorvane serve` unless told otherwise), for the tests
and the load benchmarks that talk to one over HTTP.

    with Service("--data-dir", tmp_path, "--log-level", "warning") as service:
        httpx.get(service.base + "/api/v1/info")

The command is given `--host 127.0.0.1 --port PORT` and then the options; it counts as started
once GET /api/v1/health answers at all. Its standard output and error go to one log (`output()`).
Every wait is bounded: the start by START_TIMEOUT, the stop by `timeout` after the signal, then
the process is killed.
"""
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import httpx

SERVE = (sys.executable, "-m", "quorvane", "serve")
START_TIMEOUT = 120  # a sanitizer build imports and seeds slowly
# a report of AddressSanitizer or UBSan, or of the interpreter's fatal-error handler
FATAL = re.compile(r"AddressSanitizer|runtime error:|Fatal Python error|Segmentation fault")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def closed_url() -> str:
    """A loopback URL that nothing listens on: a request to it is refused at once."""
    return f"http://127.0.0.1:{free_port()}"


class Service:
    """`command` (a sequence of arguments) with the options (str() of each), its environment
    os.environ updated by `env`; its output in `log` (a path), else in a file removed at the stop."""

    def __init__(self, *options, command=SERVE, env=None, log=None):
        self.port = free_port()
        self.base = f"http://127.0.0.1:{self.port}"
        self.name = " ".join(Path(a).name for a in map(str, command))
        self.argv = [*map(str, command), "--host", "127.0.0.1", "--port", str(self.port), *map(str, options)]
        self.env = {**os.environ, **(env or {})}
        self.log, self._own_log = (Path(log), False) if log else (None, True)
        self.proc, self.killed, self._output = None, False, ""

    def start(self) -> "Service":
        """Starts the process and waits until it answers; stops it and raises AssertionError if it
        dies, reports a fatal error or does not answer within START_TIMEOUT."""
        if self._own_log:
            fd, name = tempfile.mkstemp(prefix="quorvane-service-", suffix=".log")
            os.close(fd)
            self.log = Path(name)
        # opened for appending: the child's writes land at the end whatever this process reads
        with open(self.log, "ab") as out:
            self.proc = subprocess.Popen(self.argv, stdout=out, stderr=subprocess.STDOUT, env=self.env)
        try:
            deadline = time.monotonic() + START_TIMEOUT
            while True:
                try:
                    httpx.get(f"{self.base}/api/v1/health", timeout=5)
                    self.assert_alive()
                    return self
                except httpx.TransportError:
                    self.assert_alive()
                    if time.monotonic() > deadline:
                        raise AssertionError(f"{self.name} did not answer within {START_TIMEOUT} s:\n"
                                             + self.output()[-3000:]) from None
                    time.sleep(0.2)
        except BaseException:
            self.stop()
            raise

    def output(self) -> str:
        """All the process has written so far, standard output and error interleaved."""
        if self.log is None or not self.log.exists():
            return self._output
        return self.log.read_text(errors="replace")

    def assert_alive(self):
        """Raises AssertionError if the process has ended or its output holds a fatal report."""
        out = self.output()
        fatal = FATAL.search(out)
        code = self.proc.poll()
        if code is not None or fatal:
            what = "reported a fatal error" if fatal else f"exited with {code}"
            raise AssertionError(f"{self.name} {what}:\n" + out[fatal.start() if fatal else -3000:][:3000])

    def stop(self, sig=signal.SIGINT, timeout=30) -> bool:
        """Sends `sig` and waits `timeout` s for the end, then kills. False if it had to be killed
        (now or by an earlier stop). The output stays readable."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                self.killed = True
        if self._own_log and self.log is not None and self.log.exists():
            self._output = self.output()
            self.log.unlink()
        return not self.killed

    def __enter__(self) -> "Service":
        return self.start()

    def __exit__(self, exc_type, *_):
        if not self.stop() and exc_type is None:
            raise AssertionError(f"{self.name} did not end within 30 s of SIGINT:\n" + self.output()[-3000:])

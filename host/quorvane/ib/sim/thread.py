"""`SimThread`: a `GatewaySim` on its own event loop in a daemon thread, for tests and scripts."""

from __future__ import annotations

import asyncio
import inspect
import threading
import time
from collections.abc import Callable
from typing import Any

from quorvane.ib.sim.server import GatewaySim


class SimThread:
    """Starts a `GatewaySim` (by default on a free port) in a thread; a context manager.

    The simulator's state belongs to its loop: read and switch it through `call` and `wait_for`.
    """

    def __init__(self, **kwargs: Any) -> None:
        kwargs.setdefault("port", 0)
        self.sim = GatewaySim(**kwargs)
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None

    @property
    def port(self) -> int:
        return self.sim.port

    def start(self) -> SimThread:
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, name="ib-sim", daemon=True)
        self._thread.start()
        self.call(lambda sim: sim.start())
        return self

    def stop(self) -> None:
        loop, thread = self._loop, self._thread
        if loop is None:
            return
        try:
            self.call(lambda sim: sim.stop())
        finally:
            loop.call_soon_threadsafe(loop.stop)
            thread.join(10)
            loop.close()
            self._loop = self._thread = None

    def __enter__(self) -> SimThread:
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def call(self, fn: Callable[[GatewaySim], Any], timeout: float = 30.0) -> Any:
        """fn(sim) run on the simulator's loop; its result. A coroutine it returns is awaited
        (``call(lambda sim: sim.restart(1))`` returns once the simulator listens again), a task
        is not (``call(lambda sim: asyncio.ensure_future(sim.restart(1)))`` returns at once)."""
        async def run():
            out = fn(self.sim)
            return await out if inspect.iscoroutine(out) else out

        return asyncio.run_coroutine_threadsafe(run(), self._loop).result(timeout)

    def wait_for(self, predicate: Callable[[GatewaySim], Any], timeout: float = 10.0,
                 interval: float = 0.02) -> Any:
        """Polls predicate(sim) on the simulator's loop until it is truthy; returns that value.
        Raises TimeoutError when `timeout` seconds pass first."""
        deadline = time.monotonic() + timeout
        while True:
            out = self.call(predicate)
            if out:
                return out
            if time.monotonic() > deadline:
                raise TimeoutError(f"ib-sim: condition not met within {timeout} s")
            time.sleep(interval)

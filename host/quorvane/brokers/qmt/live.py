"""The QMT strategy runner of the reference host.

The strategies of QMT mode trade through the QMT bridge (an HTTP and WebSocket service in front
of the QMT terminal). The runner owns that connection's state: `is_connected` is true while the
bridge serves the account. It probes the bridge's asset endpoint once at `start` and then every
poll interval: a success status counts as connected; an error status (a key the bridge refuses,
no account, some other server on that port) or a transport failure (refused, timed out, reset)
as disconnected. Changes are logged once, not at every probe. The reference host runs no strategies of its own: it keeps the
connection state that the terminal app (`quorvane.brokers.qmt.termhost`) reports as `connected`.
"""

from __future__ import annotations

import asyncio
import os

import httpx
from loguru import logger

URL_ENV, KEY_ENV, POLL_ENV = "QUORVANE_QMT_URL", "QUORVANE_QMT_API_KEY", "QUORVANE_QMT_POLL_SECONDS"
DEFAULT_URL = "http://127.0.0.1:8000"
PROBE_PATH = "/api/trading/asset"
PROBE_TIMEOUT = 5.0


class QMTMultiStrategyRunner:
    """The QMT strategies' runner and its bridge connection state (`is_connected`)."""

    def __init__(self, base_url: str | None = None, api_key: str | None = None,
                 interval: int | None = None) -> None:
        self.base_url = base_url if base_url is not None else os.environ.get(URL_ENV, DEFAULT_URL)
        self.api_key = api_key if api_key is not None else os.environ.get(KEY_ENV, "")
        # int, as the terminal app's poll loop reads it: a value it could not use fails here, at start
        self.interval = int(interval if interval is not None else os.environ.get(POLL_ENV, "30"))
        self.is_connected = False
        self._task: asyncio.Task | None = None

    async def probe(self) -> bool:
        """Asks the bridge once and updates `is_connected`; returns it."""
        headers = {"X-API-Key": self.api_key} if self.api_key else {}
        try:
            async with httpx.AsyncClient(base_url=self.base_url, headers=headers, timeout=PROBE_TIMEOUT) as client:
                status = (await client.get(PROBE_PATH)).status_code
            connected, why = 200 <= status < 300, f"HTTP {status}"
        except Exception as e:  # refused, timed out, reset, a URL httpx cannot use
            connected, why = False, type(e).__name__
        if connected != self.is_connected:
            logger.info("qmt-bridge {} ({}, {})", "connected" if connected else "disconnected", self.base_url, why)
        self.is_connected = connected
        return connected

    async def _watch(self) -> None:
        while True:
            await asyncio.sleep(self.interval)
            await self.probe()

    async def start(self) -> None:
        """Probes the bridge now and then every interval, until `stop`."""
        if self._task is not None:
            return
        await self.probe()
        self._task = asyncio.create_task(self._watch(), name="qmt-runner")

    async def stop(self) -> None:
        """Ends the probing; the runner then counts as disconnected."""
        task, self._task = self._task, None
        if task is not None:
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                pass
        self.is_connected = False

"""Event-loop scheduling-lag watchdog.

Measures how late a periodic timer actually fires: the monitor sleeps for a fixed
interval (every second by default) and records the actual minus the expected wake-up
time as lag_ms. Sustained lag means something is blocking the loop (synchronous disk
I/O, heavy CPU work in a coroutine), which silently starves HTTP and WebSocket
broadcasts during bursts of market ticks.

The value lives on the application state and is surfaced by the health route, so a
page that stops updating can be triaged in seconds without a native stack sample.
"""
import asyncio
import os

from loguru import logger

DEFAULT_INTERVAL_SEC = 1.0


class LagSentry:
    def __init__(self, interval: "float | None" = None, warn_ms: "float | None" = None) -> "None":
        # Numbers are converted to float on entry, anything else is refused by name,
        # as the native argument binder does.
        if interval is not None:
            if not (hasattr(type(interval), "__float__") or hasattr(type(interval), "__index__")):
                raise TypeError(
                    f"Argument 'interval' has incorrect type (expected float, got {type(interval).__name__})")
            interval = float(interval)
        if warn_ms is not None:
            if not (hasattr(type(warn_ms), "__float__") or hasattr(type(warn_ms), "__index__")):
                raise TypeError(
                    f"Argument 'warn_ms' has incorrect type (expected float, got {type(warn_ms).__name__})")
            warn_ms = float(warn_ms)
        env_interval = os.environ.get("QUORVANE_LAGSENTRY_SEC")
        self.interval = float(
            interval if interval is not None else (env_interval or DEFAULT_INTERVAL_SEC))
        env_warn = os.environ.get("QUORVANE_LOOP_WARN_MS")
        self.warn_ms = float(warn_ms if warn_ms is not None else (env_warn or 250))
        self.lag_ms = 0.0
        self.max_lag_ms = 0.0

    async def run(self) -> "None":
        loop = asyncio.get_running_loop()
        while True:
            t0 = loop.time()
            await asyncio.sleep(self.interval)
            lag = (loop.time() - t0 - self.interval) * 1000
            self.lag_ms = lag if lag > 0.0 else 0.0
            if lag > self.max_lag_ms:
                self.max_lag_ms = self.lag_ms
            if self.lag_ms >= self.warn_ms:
                logger.warning(
                    "event loop lag {:.0f}ms (max {:.0f}ms) — something is blocking the loop",
                    self.lag_ms, self.max_lag_ms)

    def snapshot(self) -> "dict[str, float]":
        return {"lag_ms": round(self.lag_ms, 1), "max_lag_ms": round(self.max_lag_ms, 1)}

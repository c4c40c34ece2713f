"""Event-loop scheduling-lag watchdog."""

from loguru import logger as logger

DEFAULT_INTERVAL_SEC: float

class LagSentry:
    # seconds between wake-ups ($QUORVANE_LAGSENTRY_SEC, else DEFAULT_INTERVAL_SEC)
    interval: float
    # a lag of at least this many milliseconds is logged ($QUORVANE_LOOP_WARN_MS, else 250)
    warn_ms: float
    lag_ms: float
    max_lag_ms: float
    def __init__(self, interval: float | None = None, warn_ms: float | None = None) -> None: ...
    # runs until cancelled
    async def run(self) -> None: ...
    # {"lag_ms": ..., "max_lag_ms": ...}, each rounded to 0.1 ms
    def snapshot(self) -> dict[str, float]: ...

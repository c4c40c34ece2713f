"""Live one-minute bars: the per-symbol aggregator and the flusher that writes them to the bar cache.

A `BarAggregator` folds a symbol's trade prints into one-minute bars on the plain UTC minute grid
(alignment 0) and lets the server's bar for a minute replace what the prints made of it. It is fed
on the event loop; the `LiveBarFlusher` merges the bars that changed into the symbol's intraday
entry of the bar cache on a worker thread every few seconds, so the market-data routes see the
live minute with at most that delay.
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import math
import threading
import time
from collections.abc import Iterable, Mapping
from typing import Any

from loguru import logger

from quorvane.data import loader
from quorvane.server.kline_cache import KlineCache, _as_epoch
from quorvane.tinyalgo import Bar

FLUSH_SECONDS = 5.0


class BarAggregator:
    """One symbol's one-minute bars, the newest of them still forming.

    Both ingest methods run on the event loop; `flush` runs on a worker thread. A lock guards the
    forming bar and the set of bars not yet written, and a second one keeps two flushes of the
    same symbol from interleaving their read-merge-write of the cache entry.
    """

    SECONDS = 60

    def __init__(self, symbol: str) -> None:
        self.symbol = symbol.strip().upper()
        self._current: Bar | None = None
        self._dirty: dict[int, Bar] = {}  # bucket start -> bar changed since the last flush
        self._lock = threading.Lock()
        self._write_lock = threading.Lock()

    @property
    def current(self) -> Bar | None:
        """A copy of the forming bar (None before the first print or server bar)."""
        with self._lock:
            return None if self._current is None else dataclasses.replace(self._current)

    def ingest_tick(self, price, size, ts) -> bool:
        """Fold one trade print (price, size, epoch seconds) into its minute.

        False, and nothing changes, for a print without a positive finite price or one that
        belongs to a minute older than the forming bar.
        """
        price, size = float(price), float(size or 0.0)
        if not (math.isfinite(price) and price > 0):
            return False
        size = size if math.isfinite(size) and size > 0 else 0.0
        bucket = int(float(ts) // self.SECONDS) * self.SECONDS
        with self._lock:
            bar = self._current
            if bar is None or bucket > bar.timestamp:
                bar = self._current = Bar(bucket, price, price, price, price, size)
            elif bucket < bar.timestamp:
                return False
            else:
                bar.high, bar.low = max(bar.high, price), min(bar.low, price)
                bar.close = price
                bar.volume += size
            self._dirty[bucket] = bar
        return True

    def ingest_authoritative_bar(self, bar: Bar) -> bool:
        """Take the server's bar of a minute as that minute's values.

        `bar.timestamp` must be a bucket start not older than the forming bar; anything else is
        stale and dropped (False). The bar replaces the forming bar of its minute (prints that
        arrive later in the minute keep folding into it) or starts the next one.
        """
        ts = float(bar.timestamp)
        if not math.isfinite(ts) or ts % self.SECONDS:
            return False
        bucket = int(ts)
        with self._lock:
            if self._current is not None and bucket < self._current.timestamp:
                return False
            # positional: a call with keywords costs the interpreter a dict, and this runs per update
            new = self._current = Bar(bucket, bar.open, bar.high, bar.low, bar.close, bar.volume)
            self._dirty[bucket] = new
        return True

    def flush(self, cache) -> int:
        """Merge the bars changed since the last flush into the cache; the number written.

        Blocking (a cache read and write): call it on a worker thread. When the write fails the
        bars stay pending for the next flush and the error propagates.
        """
        with self._write_lock:
            with self._lock:
                taken, self._dirty = self._dirty, {}
                rows = [_bar_dict(b) for b in taken.values()]
            if not rows:
                return 0
            try:
                return _merge_intraday(cache, self.symbol, rows)
            except BaseException:
                with self._lock:
                    for bucket, bar in taken.items():
                        self._dirty.setdefault(bucket, bar)
                raise


def _bar_dict(bar: Bar) -> dict:
    # marked: an entry these bars started holds the day since start-up only (`BarCache.get_intraday`)
    return {"date": int(bar.timestamp), "open": bar.open, "high": bar.high, "low": bar.low,
            "close": bar.close, "volume": bar.volume, "source": loader.LIVE_SOURCE}


def _merge_intraday(cache, symbol: str, rows: list[dict]) -> int:
    """Merge bar dicts of one session into the symbol's intraday entry (newest session only).

    The session is the one `get_intraday` reads at the newest row's time (from 04:00 New York
    that day's, before it the previous one, so minutes after midnight join the evening's).
    Stored bars from its pre-market on stay, a stored bar of the same minute is replaced, older
    bars are dropped: the entry holds one session, like the batch intraday route's.
    """
    bounds = KlineCache.session(KlineCache.intraday_session_day(max(r["date"] for r in rows)))
    if bounds is None:
        raise ValueError(f"no trading session holds the live bars of {symbol}")
    start = bounds[0]
    rows = [r for r in rows if r["date"] >= start]
    stored = cache.get(KlineCache.intraday_key(symbol))
    merged: dict[int, Mapping] = {}
    if isinstance(stored, Iterable) and not isinstance(stored, (str, bytes, Mapping)):
        for entry in stored:
            t = _as_epoch(entry.get("date")) if isinstance(entry, Mapping) else None
            if t is not None and t >= start:
                merged[int(t)] = entry
    merged.update((r["date"], r) for r in rows)
    cache.set(KlineCache.intraday_key(symbol), [merged[t] for t in sorted(merged)])
    return len(rows)


class LiveBarFlusher:
    """Writes the live bars of a terminal app's tickers into the bar cache, every `interval` s.

    The application keeps it as ``app.state.live_flusher``; `stats` is what the health route
    reports. Writes happen on a worker thread; a symbol whose write fails is logged and retried
    with the next flush.
    """

    def __init__(self, icli_app, interval: float = FLUSH_SECONDS) -> None:
        self._app = icli_app
        self.interval = float(interval)
        self.stats: dict[str, Any] = {"interval_sec": self.interval, "flushes": 0, "bars_written": 0, "errors": 0,
                      "last_flush": None}
        self._task: asyncio.Task | None = None
        self._stats_lock = threading.Lock()

    def start(self) -> None:
        self._task = asyncio.create_task(self._run(), name="live-flusher")

    async def stop(self) -> None:
        """Stop the periodic flush and write what is still pending."""
        if self._task is not None:
            self._task.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await self._task
            self._task = None
        await self.flush()

    async def flush(self) -> int:
        aggregators = [agg for it in list(self._app.quoteState.values())
                       if (agg := getattr(it, "bars", {}).get(BarAggregator.SECONDS)) is not None]
        return await asyncio.to_thread(self._flush, aggregators)

    async def _run(self) -> None:
        while True:
            await asyncio.sleep(self.interval)
            await self.flush()

    def _flush(self, aggregators: list[BarAggregator]) -> int:
        cache = loader._get_cache()
        written = errors = 0
        for agg in aggregators:
            try:
                written += agg.flush(cache)
            except Exception as e:
                errors += 1
                logger.warning("live bars of {} not written: {!r}", agg.symbol, e)
        with self._stats_lock:  # replaced whole: readers on the loop never see it half updated
            old = self.stats
            self.stats = {**old, "flushes": old["flushes"] + 1,
                          "bars_written": old["bars_written"] + written,
                          "errors": old["errors"] + errors, "last_flush": time.time()}
        return written

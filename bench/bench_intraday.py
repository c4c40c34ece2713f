"""Bar normalisation and the batch intraday route: the native functions against bench/baseline/intraday.py.

The timed entries run the blocking helpers on 1,300 one-minute bars of the current session
(pre-market, regular hours and after-hours), the load of one symbol's IB fetch: real ib_async
`BarData` records with UTC datetimes as formatDate=2 gives them, and a frame shaped like
yfinance's one-minute history. The cache's `set` is a no-op there, so the disk does not hide
the work.

The load figure is not a time per call: while `batch_intraday` serves 100 cache misses from a
stand-in IB session (1,300 bars each, a short network delay, normalisation and a real disk
write on worker threads), a LagSentry ticking every 10 ms records how late the event loop
woke up. It is printed as an extra line in the harness's style: "... max lag: native X ms,
python Y ms" (the median over three runs of each side).
"""
import asyncio
import statistics
import sys
import tempfile
import time
from datetime import datetime, timezone
from types import SimpleNamespace

import numpy as np
import pandas as pd
from ib_async import BarData, BarDataList

from baseline import intraday as baseline
from quorvane.data import loader
from quorvane.server.kline_cache import _EXCHANGE_TZ, KlineCache
from quorvane.server.lagsentry import LagSentry
from quorvane.server.routes import health

N_BARS = 1300
LOAD_SYMBOLS = 100
LAG_NAME = f"intraday batch_intraday, {LOAD_SYMBOLS} IB symbols x {N_BARS:,} bars, LagSentry(0.01 s)"


class NullCache:
    """A cache whose write costs nothing: the figures are the normalisation's own."""

    def set(self, key, value):
        return True


def minute_times(day):
    """N_BARS minute times (epoch seconds) ending at the close of `day`'s after-hours session."""
    pre, _, _, post = KlineCache.session(day)
    return [int(post) - 60 * (N_BARS - i) for i in range(N_BARS)]


def ib_bars(day):
    bars = BarDataList()
    for i, t in enumerate(minute_times(day)):
        price = 100.0 + (i % 97) / 8 + i / 1000
        bars.append(BarData(date=datetime.fromtimestamp(t, timezone.utc), open=price, high=price + 0.25,
                            low=price - 0.25, close=price + 0.125, volume=float(100 + i % 50), average=price,
                            barCount=10 + i % 7))
    return bars


def yf_frame(day):
    times = minute_times(day)
    index = pd.DatetimeIndex(pd.to_datetime(times, unit="s", utc=True).tz_convert(_EXCHANGE_TZ), name="Datetime")
    close = 100.0 + np.arange(N_BARS) / 1000
    return pd.DataFrame({"Open": close, "High": close + 0.25, "Low": close - 0.25, "Close": close + 0.125,
                         "Adj Close": close + 0.125, "Volume": np.arange(N_BARS, dtype="int64") * 10,
                         "Dividends": 0.0, "Stock Splits": 0.0}, index=index)


TODAY = KlineCache.intraday_session_day()
BARS = ib_bars(TODAY)
HIST = yf_frame(TODAY)
_written: list = []
baseline._process_ibkr_bars(SimpleNamespace(set=lambda key, value: _written.append(value)), "AAPL", BARS)
[BAR_DICTS] = _written    # the full bar dicts of one IB fetch, as the processor hands them to the store
CACHE = NullCache()

BENCHMARKS = [
    (f"intraday _store_and_slim, {N_BARS:,} bar dicts", health._store_and_slim, baseline._store_and_slim,
     (CACHE, "AAPL", BAR_DICTS)),
    (f"intraday _process_ibkr_bars, {N_BARS:,} BarData", health._process_ibkr_bars, baseline._process_ibkr_bars,
     (CACHE, "AAPL", BARS)),
    (f"intraday _process_yf_hist, {N_BARS:,} bars", health._process_yf_hist, baseline._process_yf_hist,
     (CACHE, "AAPL", HIST)),
]

# Both sides must answer the same, or the comparison means nothing.
for _name, _native, _python, _args in BENCHMARKS:
    assert _native(*_args) == _python(*_args), _name


# -- the load figure ------------------------------------------------------------------------------
class FakeIB:
    """The IB session at the network edge: a short delay, then the prepared bars (never built here:
    building 1,300 records inside the request would itself block the loop)."""

    def __init__(self, bars):
        self.bars = bars

    async def qualifyContractsAsync(self, contract):
        await asyncio.sleep(0.002)
        return [contract]

    async def reqHistoricalDataAsync(self, contract, **kwargs):
        await asyncio.sleep(0.02)
        return self.bars


def load_lag(route, request_model, bars) -> tuple[float, float]:
    """(max lag in ms, wall seconds) of one batch_intraday call over LOAD_SYMBOLS cache misses.

    The bars belong to the session before the current one, so the cache never answers for them
    and every run fetches and writes all symbols again."""
    icli = SimpleNamespace(connected=True, ib=FakeIB(bars))
    request = SimpleNamespace(app=SimpleNamespace(state=SimpleNamespace(icli_app=icli)))
    req = request_model(symbols=[f"S{i:03d}" for i in range(LOAD_SYMBOLS)])

    async def scenario():
        sentry = LagSentry(interval=0.01, warn_ms=1e9)
        task = asyncio.create_task(sentry.run())
        await asyncio.sleep(0.05)
        started = time.perf_counter()
        body = await route(request, req)
        wall = time.perf_counter() - started
        await asyncio.sleep(0.02)
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            pass
        assert body["errors"] is None and len(body["intraday"]) == LOAD_SYMBOLS, body["errors"]
        return sentry.max_lag_ms, wall

    return asyncio.run(scenario())


def print_load_figure():
    from loguru import logger

    logger.remove()    # the route logs one "[bi-req]" line per symbol
    stale = ib_bars(KlineCache.previous_trading_day(TODAY))
    runs = {"native": [], "python": []}
    with tempfile.TemporaryDirectory() as data_dir:
        loader.open_cache(data_dir)
        try:
            for _ in range(3):    # alternating, so drift of the machine hits both
                runs["native"].append(load_lag(health.batch_intraday, health.BatchIntradayRequest, stale))
                runs["python"].append(load_lag(baseline.batch_intraday, baseline.BatchIntradayRequest, stale))
        finally:
            loader.close_cache()
    # the median of the three runs' maxima, and of their wall times
    (n_lag, n_wall), (p_lag, p_wall) = ((statistics.median(lag for lag, _ in runs[side]),
                                         statistics.median(wall for _, wall in runs[side]))
                                        for side in ("native", "python"))
    print(f"{LAG_NAME} max lag: native {n_lag:.1f} ms, python {p_lag:.1f} ms "
          f"(median of 3 runs; target < 50 ms; whole batch native {n_wall:.2f} s, python {p_wall:.2f} s)",
          flush=True)


_filters = sys.argv[1:] if sys.argv[0].endswith("run.py") else []
if not _filters or any(f in LAG_NAME for f in _filters):
    print_load_figure()

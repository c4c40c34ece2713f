"""Bar normalisation, the intraday store and the batch intraday route, as plain Python.

The same logic as the native `_store_and_slim`, `_process_ibkr_bars`, `_process_yf_hist` and
`batch_intraday` of quorvane.server.routes.health, written the obvious way: pandas builds the IB
frame straight from the bar objects (`pd.DataFrame(bars)`), and the route's nested coroutines
are `async def` closures. The route is not registered on a router; the benchmarks call it.
"""
import asyncio
import os

import pandas as pd
from loguru import logger
from fastapi import Request
from pydantic import BaseModel

from quorvane.data.loader import _get_cache
from quorvane.server.kline_cache import KlineCache, _as_datetime


class BatchIntradayRequest(BaseModel):
    symbols: "list[str]"


def _store_and_slim(cache, sym, bar_dicts):
    """Persist full bar dicts (incl. pre/post-market, so extended-hours
    indicators can be computed later) and return the RTH-only slim
    sparkline payload. Blocking (diskcache write + dict building) — call
    via asyncio.to_thread."""
    cache.set(KlineCache.intraday_key(sym), bar_dicts)
    rth = [b for b in bar_dicts if KlineCache.is_rth_bar(b.get("date"))]
    return {"bars": [{"date": b["date"], "close": b["close"]} for b in rth]}


def _process_ibkr_bars(cache, sym, bars):
    """Blocking pandas normalization of IBKR historical bars — runs in a
    worker thread so 20 symbols x ~1300 bars don't stall the event loop."""
    if not bars:
        return None
    df = pd.DataFrame(bars).convert_dtypes()
    df["date"] = df["date"].apply(lambda v: int(_as_datetime(v).timestamp()))
    entry = _store_and_slim(cache, sym, df.to_dict(orient="records"))
    entry["source"] = "ibkr"
    return entry


def _process_yf_hist(cache, sym, hist):
    """Blocking pandas normalization of a yfinance 1m history frame."""
    if hist is None or hist.empty:
        return None
    df = hist.reset_index()
    first = str(df.columns[0])
    df = df.rename(columns={first: "date", "Open": "open", "High": "high", "Low": "low", "Close": "close",
                            "Volume": "volume"})
    for col in ("Dividends", "Stock Splits"):
        if col in df.columns:
            df = df.drop(columns=[col])
    df["date"] = df["date"].apply(lambda v: int(_as_datetime(v).timestamp()))
    entry = _store_and_slim(cache, sym, df.convert_dtypes().to_dict(orient="records"))
    entry["source"] = "yfinance"
    return entry


async def batch_intraday(request: Request, req: BatchIntradayRequest):
    icli = getattr(request.app.state, "icli_app", None)
    online = bool(icli and icli.connected)
    cache = _get_cache()
    symbols = [s.upper() for s in req.symbols]
    result: dict = {}
    errors: list[str] = []
    to_fetch: list[str] = []

    async def _read_cache(sym: str):
        def _get():
            stored = cache.get_intraday(sym)
            if stored is None:
                return None
            return {"bars": [{"date": b["date"], "close": b["close"]} for b in stored], "source": "cache"}

        return sym, await asyncio.to_thread(_get)

    for sym, payload in await asyncio.gather(*(_read_cache(s) for s in symbols)):
        if payload is not None:
            result[sym] = payload
        else:
            to_fetch.append(sym)

    if not to_fetch:
        return {"success": True, "intraday": result, "errors": errors or None}

    async def _fetch_one(sym: str):
        try:
            logger.info("[bi-req] {}", sym)
            from ib_async import Stock

            contract = Stock(sym, "SMART", "USD")
            qualified = await icli.ib.qualifyContractsAsync(contract)
            if not qualified:
                errors.append(f"{sym}: contract not found")
                return
            bars = await icli.ib.reqHistoricalDataAsync(
                qualified[0], endDateTime="", durationStr="1 D", barSizeSetting="1 min", whatToShow="TRADES",
                useRTH=False, formatDate=2, keepUpToDate=False, timeout=60)
            entry = await asyncio.to_thread(_process_ibkr_bars, cache, sym, bars)
            if entry is None:
                errors.append(f"{sym}: no data")
                return
            result[sym] = entry
        except Exception as e:
            errors.append(f"{sym}: {e}")

    async def _yf_one(sym: str):
        try:
            import yfinance as yf

            _proxy = os.environ.get("HTTPS_PROXY")
            if _proxy:
                yf.config.network.proxy = {"https": _proxy, "http": _proxy}

            def _get():
                return yf.Ticker(sym).history(period="1d", interval="1m", auto_adjust=False)

            hist = await asyncio.to_thread(_get)
            entry = await asyncio.to_thread(_process_yf_hist, cache, sym, hist)
            if entry is None:
                errors.append(f"{sym}: no data")
                return
            result[sym] = entry
        except Exception as e:
            errors.append(f"{sym}: {e}")

    if online and icli:
        for i in range(0, len(to_fetch), 20):
            batch = to_fetch[i:i + 20]
            await asyncio.gather(*(_fetch_one(s) for s in batch), return_exceptions=True)
    else:
        await asyncio.gather(*(_yf_one(s) for s in to_fetch), return_exceptions=True)

    return {"success": True, "intraday": result, "errors": errors or None}

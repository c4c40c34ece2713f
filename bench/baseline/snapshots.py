"""The quote snapshots route, as plain Python.

The same logic as the native `snapshots` of quorvane.server.routes.health: live quotes with the
regular-hours reference fields online, cached daily bars with the Yahoo Finance fall-back
offline, all the work in nested `async def` closures made anew at each call. `get_bars`,
`KlineCache`, `asyncio` and `os` are this module's globals, read at each use as the native module
reads its own. The route is not registered on a router; the benchmarks call it.
"""
import asyncio
import os

from fastapi import Request

from quorvane.data.loader import get_bars
from quorvane.server.kline_cache import KlineCache


async def snapshots(request: Request, symbols: str = ""):
    icli = getattr(request.app.state, "icli_app", None)
    online = bool(icli and icli.connected)
    sym_list = [s.strip().upper() for s in symbols.split(",") if s.strip()]

    async def _fetch_yfinance(sym: str) -> dict:
        def _sync():
            import yfinance as yf

            proxy = os.environ.get("HTTPS_PROXY")
            if proxy:
                yf.config.network.proxy = {"https": proxy, "http": proxy}
            try:
                info = yf.Ticker(sym).info or {}
                return {
                    "symbol": sym,
                    "bid": info.get("bid"),
                    "ask": info.get("ask"),
                    "last": info.get("regularMarketPrice") or info.get("previousClose"),
                    "close": info.get("previousClose"),
                    "high": info.get("regularMarketDayHigh"),
                    "low": info.get("regularMarketDayLow"),
                    "volume": info.get("volume"),
                    "change": info.get("regularMarketChange"),
                    "changePercent": info.get("regularMarketChangePercent"),
                    "name": info.get("longName") or info.get("shortName"),
                    "source": "yfinance",
                }
            except Exception as e:
                return {"symbol": sym, "error": str(e), "source": "yfinance"}

        return await asyncio.to_thread(_sync)

    async def _snap_from_bars(sym: str):
        try:
            df = await get_bars(sym, "day", 3)
            cutoff = KlineCache._last_complete_trading_day()
            df = df[df["date"].astype(str) <= cutoff.isoformat()]
            if len(df) < 2:
                return None
            last = float(df["close"].iloc[-1])
            prev = float(df["close"].iloc[-2])
            if prev == 0:
                return None
            return {
                "symbol": sym,
                "bid": None,
                "ask": None,
                "last": last,
                "close": prev,
                "high": float(df["high"].iloc[-1]),
                "low": float(df["low"].iloc[-1]),
                "volume": None,
                "change": last - prev,
                "changePercent": round((last - prev) / prev * 100, 2),
                "source": df.attrs.get("source", "cache"),
            }
        except Exception:
            return None

    if online and icli:
        async def _merge_rth(sym: str, d: dict) -> dict:
            out = dict(d)
            if out.get("secType") in ("OPT", "FOP"):
                out["prevClose"] = None
                out["rthChange"] = None
                out["rthChangePercent"] = None
                return out
            s = await _snap_from_bars(sym)
            if s is None:
                out["prevClose"] = None
                out["rthChange"] = None
                out["rthChangePercent"] = None
            else:
                out["prevClose"] = s["close"]
                out["rthChange"] = s["change"]
                out["rthChangePercent"] = s["changePercent"]
            return out

        items = []
        if sym_list:
            for sym in sym_list:
                it = icli.quoteState.get(sym)
                if it:
                    items.append((sym, it.to_dict()))
        else:
            for sym, it in icli.quoteState.items():
                items.append((sym, it.to_dict()))
        quotes = await asyncio.gather(*(_merge_rth(sym, d) for sym, d in items))
        return {"success": True, "online": True, "count": len(quotes), "quotes": list(quotes)}

    if not sym_list:
        return {"success": True, "online": False, "count": 0, "quotes": [],
                "error": "No symbols provided for offline mode"}

    async def _snap(sym: str) -> dict:
        q = await _snap_from_bars(sym)
        if q is not None:
            return q
        return await _fetch_yfinance(sym)

    results = await asyncio.gather(*(_snap(s) for s in sym_list), return_exceptions=True)
    quotes, errors = [], []
    for r in results:
        if isinstance(r, dict) and "error" in r:
            errors.append(r)
        elif isinstance(r, dict):
            quotes.append(r)
        elif isinstance(r, Exception):
            errors.append(str(r))
    payload = {"success": True, "online": False, "count": len(quotes), "quotes": quotes}
    if errors:
        payload["errors"] = errors
    return payload

"""Indicator spec parsing, the series helpers and the formula batch route, as plain Python.

The same module body as the native quorvane.server.routes.formulas up to its batch route: the
same imports, a router of its own with the tag "formulas", the batch cache, the six helpers and
`formula_batch` registered as GET /api/v1/formulas/batch, written the ordinary way (`re.match`
on the pattern text, `inspect.signature`, `time.monotonic`, `asyncio.to_thread`). The host's
modules are imported inside the functions at call time, as the native module does. Argument
types are not checked on entry. The `since` filter answers with filtered copies, so the lists
held by the cache keep every point (a payload without plots is answered as it is).
"""
import asyncio
import inspect
import re
import time

from fastapi import APIRouter, Query, Request

from quorvane.tinyalgo import Bar

router = APIRouter(tags=["formulas"])

_BATCH_TTL = 5.0
_batch_cache: dict = {}


def _compute_indicators(bars, ind):
    """Replay every requested indicator over *bars* (pure CPU, off the event loop)."""
    from quorvane.formulas import formula_key, registry

    results = {}
    errors = {}
    for spec in ind:
        parsed = _parse_ind(spec)
        if parsed is None:
            errors[spec] = "invalid indicator spec"
            continue
        name, params = parsed
        fn = registry.get(name)
        if fn is None:
            errors[spec] = f"Unknown formula: {name}"
            continue
        key = formula_key(name, params)
        try:
            if _supports_emit(fn):
                res = fn(bars, *params, emit=True)
            else:
                res = _snapshot_series(fn, bars, params)
            results[key] = _normalize_plots(res)
        except Exception as e:
            errors[key] = str(e)
    return results, errors


def _parse_ind(spec):
    """Parse 'NAME' or 'NAME(p1,p2,...)' into (upper_name, params_tuple)."""
    m = re.match(r"^([A-Za-z0-9_.\-]+)(?:\(([^)]*)\))?$", spec.strip())
    if not m:
        return None
    name = m.group(1).upper()
    inner = (m.group(2) or "").strip()
    params = []
    if inner:
        for piece in inner.split(","):
            piece = piece.strip()
            try:
                if re.fullmatch(r"[+-]?\d+", piece):
                    params.append(int(piece))
                else:
                    params.append(float(piece))
            except ValueError:
                params.append(piece)
    return name, tuple(params)


def _supports_emit(fn):
    try:
        sig = inspect.signature(fn)
    except (TypeError, ValueError):
        return False
    for p in sig.parameters.values():
        if p.kind == inspect.Parameter.VAR_KEYWORD or p.name == "emit":
            return True
    return False


def _is_stock_symbol(symbol):
    """Resolve a symbol to its contract secType — True only for stocks and
    ETFs (secType STK), never options, futures, indices, forex, crypto,
    bonds, CFDs or combos."""
    s = symbol.strip().upper()
    if not s:
        return False
    try:
        from quorvane.helpers import contractForName

        contract = contractForName(s)
    except Exception:
        return False
    return getattr(contract, "secType", None) == "STK"


def _snapshot_series(fn, bars, params):
    """Legacy fallback: prefix-replay a snapshot formula into a line series."""
    pts = []
    for i in range(len(bars)):
        res = fn(bars[:i + 1], *params)
        if isinstance(res, dict):
            v = res.get("value")
            if isinstance(v, (int, float)):
                pts.append({"time": int(bars[i].timestamp), "value": v})
    return {"kind": "series", "series": pts}


def _normalize_plots(result):
    kind = result.get("kind")
    if kind == "markers":
        return {"plots": {"signal": result.get("markers", [])}}
    if kind == "multi":
        return {"plots": result.get("plots", {})}
    if kind in ("series", "histogram", "baseline", "area"):
        return {"plots": {"value": result.get("series", [])}}
    return {"plots": {"value": []}}


@router.get("/api/v1/formulas/batch")
async def formula_batch(request: Request, symbol: str, period: str = "day", count: int = 250,
                        ind: list[str] = Query(), since: int = 0):
    if not ind:
        return {"success": False, "error": "no indicators requested"}
    if not _is_stock_symbol(symbol):
        return {"success": False, "error": f"formulas only apply to stocks and ETFs: {symbol}"}

    from quorvane.data.loader import get_bars
    from quorvane.server.kline_cache import _as_epoch

    try:
        df = await get_bars(symbol.upper(), period, count, adjust="none")
    except Exception as e:
        return {"success": False, "error": f"bars unavailable for {symbol}: {e}"}

    bars = []
    if df is not None and not df.empty:
        for d in df.to_dict(orient="records"):
            ts = _as_epoch(d.get("date"))
            if ts is None:
                continue
            bars.append(Bar(timestamp=ts, open=d["open"], high=d["high"], low=d["low"], close=d["close"],
                            volume=d.get("volume", 0.0)))
    if not bars:
        return {"success": False, "error": f"No bars for {symbol} {period}"}

    key = (symbol.upper(), period, count, tuple(sorted(ind)))
    now = time.monotonic()
    hit = _batch_cache.get(key)
    if hit is None or now - hit[0] >= _BATCH_TTL:
        indicators, errors = await asyncio.to_thread(_compute_indicators, bars, ind)
        _batch_cache[key] = (now, (indicators, errors))
        if len(_batch_cache) > 64:
            cutoff = now - _BATCH_TTL
            stale = [k for k, (stored_at, _) in _batch_cache.items() if stored_at < cutoff]
            for k in stale:
                del _batch_cache[k]
    else:
        indicators, errors = hit[1]

    if since > 0:
        indicators = {
            k: payload if "plots" not in payload else
            {**payload, "plots": {pid: [p for p in pts if p.get("time", 0) >= since]
                                  for pid, pts in payload["plots"].items()}}
            for k, payload in indicators.items()
        }

    return {
        "success": True,
        "symbol": symbol.upper(),
        "period": period,
        "count": count,
        "since": since,
        "indicators": indicators,
        "errors": errors,
    }

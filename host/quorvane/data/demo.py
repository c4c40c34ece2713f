"""Deterministic demo bars, so a machine without market data serves meaningful answers.

Every value is a function of the symbol and the date (or minute) alone: seeding
on any day gives the same bars for the days the seeds share, and seeding twice
at the same moment gives identical bars. The randomness comes from
``random.Random`` seeded with text, whose ``random()`` sequence Python keeps
stable across versions.

Daily closes follow a few slow waves around a base price plus day-to-day
noise. One-minute bars of the current session run as bridges: pre-market from
the previous close to the open, the regular session from the open to the
day's close (kept inside the day's high and low), then a free walk through
the after-hours session.
"""

from __future__ import annotations

import math
import random
import time
from datetime import date

from quorvane.data.loader import BarCache
from quorvane.server.kline_cache import KlineCache

# symbol -> (base price, typical daily volume)
DEMO_SYMBOLS: dict[str, tuple[float, float]] = {
    "AAPL": (190.0, 55e6),
    "MSFT": (420.0, 22e6),
    "NVDA": (130.0, 250e6),
    "SPY": (560.0, 60e6),
    "TSLA": (250.0, 95e6),
}
DEMO_DAYS = 300
DEMO_SOURCE = "demo"
_ANCHOR = date(2000, 1, 1)


def _rng(*parts) -> random.Random:
    return random.Random(":".join(str(p) for p in parts))


def _gauss(rng: random.Random) -> float:
    # Box-Muller over random(), the one generator method whose output Python keeps stable.
    u1 = 1.0 - rng.random()
    return math.sqrt(-2.0 * math.log(u1)) * math.cos(2.0 * math.pi * rng.random())


def _waves(sym: str) -> list[tuple[float, float, float]]:
    rng = _rng("waves", sym)
    return [(0.04 + 0.10 * rng.random(), 40 + 400 * rng.random(), 2 * math.pi * rng.random())
            for _ in range(3)]


def _daily_close(sym: str, d: date) -> float:
    base = DEMO_SYMBOLS.get(sym, (100.0, 1e6))[0]
    t = (d - _ANCHOR).days
    log_p = math.log(base) + sum(a * math.sin(2 * math.pi * t / p + ph) for a, p, ph in _waves(sym))
    return math.exp(log_p + 0.012 * _gauss(_rng("close", sym, d.isoformat())))


def _daily_bar(sym: str, d: date, prev_close: float) -> dict:
    rng = _rng("day", sym, d.isoformat())
    close = _daily_close(sym, d)
    opn = prev_close * math.exp(0.004 * _gauss(rng))
    high = max(opn, close) * (1 + abs(0.007 * _gauss(rng)))
    low = min(opn, close) * (1 - abs(0.007 * _gauss(rng)))
    volume = DEMO_SYMBOLS.get(sym, (100.0, 1e6))[1] * math.exp(0.25 * _gauss(rng))
    return {"date": d.isoformat(), "open": round(opn, 2), "high": round(high, 2),
            "low": round(low, 2), "close": round(close, 2), "volume": float(round(volume))}


def daily_bars(sym: str, end: date, count: int = DEMO_DAYS) -> list[dict]:
    """`count` daily bars of `sym` for the sessions up to `end`, oldest first."""
    days = KlineCache.trading_days(end, count + 1)
    bars = []
    prev_close = _daily_close(sym, days[0])
    for d in days[1:]:
        bars.append(_daily_bar(sym, d, prev_close))
        prev_close = _daily_close(sym, d)
    return bars


def _bridge(rng: random.Random, start: float, end: float, n: int, sigma: float) -> list[float]:
    """n log-prices after `start`, the last one exactly `end`: a random walk pinned at both ends."""
    walk, w = [], 0.0
    for _ in range(n):
        w += sigma * _gauss(rng)
        walk.append(w)
    a, b = math.log(start), math.log(end)
    return [a + (b - a) * (i + 1) / n + walk[i] - walk[-1] * (i + 1) / n for i in range(n)]


def _fit_inside(path: list[float], start: float, end: float, lo: float, hi: float) -> list[float]:
    """Shrink the path's wander around the straight start-end line so it stays in [lo, hi]."""
    n = len(path)
    line = [start + (end - start) * (i + 1) / n for i in range(n)]
    k = 1.0
    for x, ln in zip(path, line):
        dev = x - ln
        if dev > 0 and x > hi:
            k = min(k, max(hi - ln, 0.0) / dev)
        elif dev < 0 and x < lo:
            k = min(k, max(ln - lo, 0.0) / -dev)
    return [ln + k * (x - ln) for x, ln in zip(path, line)]


def intraday_bars(sym: str, day: date, now: float | None = None) -> list[dict]:
    """One-minute bars of `sym` for the session of `day`, 04:00 to the end of after-hours,
    leaving out minutes that have not ended by `now` (default: the clock)."""
    bounds = KlineCache.session(day)
    if bounds is None:
        return []
    pre, opens, closes, post = bounds
    prev_close = _daily_close(sym, KlineCache.previous_trading_day(day))
    bar = _daily_bar(sym, day, prev_close)
    lo, hi = math.log(bar["low"]), math.log(bar["high"])
    rng = _rng("minute", sym, day.isoformat())
    n_pre, n_rth, n_post = (int(opens - pre) // 60, int(closes - opens) // 60, int(post - closes) // 60)

    log_prices = _bridge(rng, prev_close, bar["open"], n_pre, 0.0006)
    rth = _bridge(rng, bar["open"], bar["close"], n_rth, 0.0012)
    log_prices += _fit_inside(rth, math.log(bar["open"]), math.log(bar["close"]), lo, hi)
    x = math.log(bar["close"])
    for _ in range(n_post):
        x += 0.0005 * _gauss(rng)
        log_prices.append(x)

    day_volume = bar["volume"]
    out = []
    last = prev_close
    for i, lp in enumerate(log_prices):
        t = int(pre) + 60 * i
        close = math.exp(lp)
        wiggle = abs(0.0004 * _gauss(rng))
        high, low = max(last, close) * (1 + wiggle), min(last, close) * (1 - wiggle)
        if opens <= t < closes:
            # heavier trading near the open and the close
            u = (t - opens) / (closes - opens)
            volume = day_volume / n_rth * (0.6 + 2.4 * (2 * u - 1) ** 2) / 1.4
            high, low = min(high, bar["high"]), max(low, bar["low"])
        else:
            volume = day_volume * 0.0004
        volume *= math.exp(0.3 * _gauss(rng))
        out.append({"date": t, "open": round(last, 2), "high": round(max(high, last, close), 2),
                    "low": round(min(low, last, close), 2), "close": round(close, 2),
                    "volume": float(round(volume))})
        last = close
    cutoff = time.time() if now is None else float(now)
    return [b for b in out if b["date"] + 60 <= cutoff]


def seed_demo(cache: BarCache, now: float | None = None, symbols=None, days: int = DEMO_DAYS) -> dict:
    """Write demo daily bars (`days` sessions up to the last complete trading day) and
    today's one-minute bars (up to `now`) of `symbols` (default: `DEMO_SYMBOLS`) into `cache`.

    Returns a summary: the two dates and the number of bars written per symbol.
    """
    now = time.time() if now is None else float(now)
    last_day = KlineCache._last_complete_trading_day(now)
    session_day = KlineCache.intraday_session_day(now)
    counts = {}
    for sym in symbols or DEMO_SYMBOLS:
        sym = sym.strip().upper()
        daily = daily_bars(sym, last_day, days)
        minutes = intraday_bars(sym, session_day, now)
        cache.put_daily(sym, daily, DEMO_SOURCE)
        cache.set(KlineCache.intraday_key(sym), minutes)
        counts[sym] = {"daily": len(daily), "intraday": len(minutes)}
    return {"last_complete_day": last_day.isoformat(), "session_day": session_day.isoformat(),
            "symbols": counts}


def demo_is_stale(cache: BarCache, now: float | None = None) -> bool:
    """True when the demo symbols hold only demo bars and those have fallen behind
    (daily bars short of the last complete trading day, or no one-minute bars of
    the current session). Real bars of any demo symbol make it False: they are
    never replaced by demo data."""
    now = time.time() if now is None else float(now)
    last_day = KlineCache._last_complete_trading_day(now).isoformat()
    behind = False
    for sym in DEMO_SYMBOLS:
        found = cache.daily(sym)
        if found is None or found.source != DEMO_SOURCE:
            return False
        if found.bars[-1]["date"] != last_day or cache.get_intraday(sym, now=now) is None:
            behind = True
    return behind


def drop_demo(cache: BarCache, symbols) -> list[str]:
    """Delete the bars `seed_demo` wrote for `symbols`, for a service that serves only real market
    data (IB mode); the symbols dropped, in order.

    A symbol's daily bars carry the demo source; its intraday entry, written with them, may since
    hold real minutes merged into demo ones, so it goes too: the next request fetches the day
    afresh. Symbols with real daily bars, or none, are left alone.
    """
    dropped = []
    for sym in symbols:
        sym = sym.strip().upper()
        found = cache.daily(sym)
        if found is not None and found.source == DEMO_SOURCE:
            cache.delete(KlineCache.daily_key(sym))
            cache.delete(KlineCache.intraday_key(sym))
            dropped.append(sym)
    return dropped

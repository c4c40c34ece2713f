"""The simulated market: per symbol, a deterministic random walk, its quote and its minute bars.

Each symbol trades in the session day of `KlineCache.intraday_session_day` (today once the
pre-market has begun at 04:00 New York, else the previous session). The day's bars up to the
moment a `SymbolMarket` opens it are drawn minute by minute from the previous close; from then
on every `step` moves the quote and, most of the time, prints a trade, and the trades are folded
into the forming minute's bar. So every trade a client sees is in the bars, and the forming
minute is the last bar.

The simulated market never closes within its session day: past the end of after-hours (20:00
New York) and through nights and weekends it keeps trading as in after-hours, so IB mode can be
tried at any hour. Everything is a function of the seed, the symbol, the session day and the
number of steps taken: `random.Random` seeded with text, and only its ``random()``, whose
sequence Python keeps stable across versions.
"""

from __future__ import annotations

import math
import random
import zlib
from datetime import date

from quorvane.data.demo import DEMO_SYMBOLS
from quorvane.server.kline_cache import KlineCache

# symbol -> (conId, primary exchange, long name, industry) of the stocks with a known identity;
# any other tracked symbol gets a made-up conId on NASDAQ
_STOCKS = {
    "AAPL": (265598, "NASDAQ", "APPLE INC", "Technology"),
    "MSFT": (272093, "NASDAQ", "MICROSOFT CORP", "Technology"),
    "NVDA": (4815747, "NASDAQ", "NVIDIA CORP", "Technology"),
    "SPY": (756733, "ARCA", "SPDR S&P 500 ETF TRUST", "Funds"),
    "TSLA": (76792991, "NASDAQ", "TESLA INC", "Consumer, Cyclical"),
}

# per-minute volatility of the log price, and the mean minute volume in round lots of 100
_RTH_SIGMA, _EXT_SIGMA = 0.0009, 0.0004
_RTH_LOTS, _EXT_LOTS = 900, 40
# per step: chance of a trade, volatility of the mid price
_RTH_TRADE, _EXT_TRADE = 0.7, 0.25
_STEP_SIGMA = 0.00012

QUOTE_FIELDS = ("bid", "bidSize", "ask", "askSize", "last", "lastSize", "volume", "close",
                "open", "high", "low")


def contract_of(symbol: str) -> dict:
    """The contract details the gateway reports for a stock it knows."""
    con_id, exchange, name, industry = _STOCKS.get(
        symbol, (10_000_000 + zlib.crc32(symbol.encode()) % 90_000_000, "NASDAQ", symbol, "Technology"))
    return {"symbol": symbol, "conId": con_id, "primaryExchange": exchange, "longName": name,
            "industry": industry}


def _gauss(rng: random.Random) -> float:
    # Box-Muller over random(), the one generator method whose output Python keeps stable.
    u1 = 1.0 - rng.random()
    return math.sqrt(-2.0 * math.log(u1)) * math.cos(2.0 * math.pi * rng.random())


def _base_price(symbol: str) -> float:
    known = DEMO_SYMBOLS.get(symbol)
    return known[0] if known else 20.0 + zlib.crc32(symbol.encode()) % 300


class SymbolMarket:
    """One symbol's walk: its quote (`quote`) and the 1-minute TRADES bars of its session day."""

    def __init__(self, symbol: str, seed: int, now: float) -> None:
        self.symbol = symbol
        self._seed = seed
        self._open_day(KlineCache.intraday_session_day(now), now)

    def _rng(self, *parts) -> random.Random:
        return random.Random(":".join(str(p) for p in (self._seed, self.symbol, *parts)))

    def _open_day(self, day: date, now: float) -> None:
        self.day = day
        self._previous_rth: list[dict] | None = None  # the previous session's, drawn when asked for
        bounds = KlineCache.session(day)
        assert bounds is not None, f"{day} is a session day without a session"
        self._pre, self._rth_open, self._rth_close, _post = bounds
        self.prev_close = round(_base_price(self.symbol) * math.exp(0.02 * _gauss(self._rng("close", day))), 2)
        self._bars: list[dict] = self._history(int(self._pre), int(now) // 60 * 60)
        self._tape = self._rng("tape", day)
        newest = self._bars[-1] if self._bars else None
        self._notional = newest["wap"] * newest["volume"] if newest else 0.0  # for the newest bar's WAP
        last = newest["close"] if newest else self.prev_close
        self.quote = {"last": last, "lastSize": 100.0, "close": self.prev_close,
                      "volume": float(sum(b["volume"] for b in self._bars))}
        self._requote(last)
        self._day_range()

    def _history(self, start: int, end: int) -> list[dict]:
        """Bars of the minutes [start, end), drawn minute by minute from the previous close."""
        rng = self._rng("minutes", self.day)
        bars, x = [], math.log(self.prev_close)
        for t in range(start, end, 60):
            rth = self._rth_open <= t < self._rth_close
            sigma = _RTH_SIGMA if rth else _EXT_SIGMA
            opn = round(math.exp(x), 2)
            x += sigma * _gauss(rng)
            close = round(math.exp(x), 2)
            wiggle = 1 + abs(_gauss(rng)) * sigma / 2
            high, low = round(max(opn, close) * wiggle, 2), round(min(opn, close) / wiggle, 2)
            lots = max(1, int((_RTH_LOTS if rth else _EXT_LOTS) * math.exp(0.4 * _gauss(rng))))
            bars.append({"date": t, "open": opn, "high": high, "low": low, "close": close,
                         "volume": float(100 * lots), "wap": round((high + low + close) / 3, 4),
                         "count": max(1, lots // 3)})
        return bars

    def _requote(self, mid: float) -> None:
        rng = self._tape
        half = max(0.01, round(mid * 0.00005, 2))
        self.quote.update(bid=round(mid - half, 2), ask=round(mid + half, 2),
                          bidSize=float(100 * (1 + int(rng.random() * 20))),
                          askSize=float(100 * (1 + int(rng.random() * 20))))

    def _day_range(self) -> None:
        """The regular session's open, high and low so far (None before it opens)."""
        q, rth = self.quote, [b for b in self._bars if self._rth_open <= b["date"] < self._rth_close]
        q["open"] = rth[0]["open"] if rth else None
        q["high"] = max((b["high"] for b in rth), default=None)
        q["low"] = min((b["low"] for b in rth), default=None)

    def step(self, now: float) -> set[str]:
        """One tick round at `now`: the quote moves, maybe a trade prints. Returns the names of
        the quote fields that changed ("last" whenever a trade printed, even at the same price)."""
        day = KlineCache.intraday_session_day(now)
        if day != self.day:
            self._open_day(day, now)
            return set(QUOTE_FIELDS)
        before = dict(self.quote)
        rng = self._tape
        mid = (self.quote["bid"] + self.quote["ask"]) / 2 * math.exp(_STEP_SIGMA * _gauss(rng))
        self._requote(mid)
        changed = {k for k in ("bid", "bidSize", "ask", "askSize") if self.quote[k] != before[k]}
        rth = self._rth_open <= now < self._rth_close
        if rng.random() < (_RTH_TRADE if rth else _EXT_TRADE):
            q = self.quote
            price = min(max(round(mid, 2), q["bid"]), q["ask"])
            size = float(100 * (1 + int(rng.random() * 10)))
            self._trade(now, price, size)
            changed |= {"last", "lastSize", "volume"}
            if rth:
                q["open"] = price if q["open"] is None else q["open"]
                q["high"] = price if q["high"] is None else max(q["high"], price)
                q["low"] = price if q["low"] is None else min(q["low"], price)
                changed |= {k for k in ("open", "high", "low") if q[k] != before[k]}
        return changed

    def _trade(self, now: float, price: float, size: float) -> None:
        self.quote.update(last=price, lastSize=size, volume=self.quote["volume"] + size)
        minute = int(now) // 60 * 60
        bar = self._bars[-1] if self._bars else None
        if bar is not None and minute <= bar["date"]:   # a clock that stepped back stays in the bar
            bar.update(high=max(bar["high"], price), low=min(bar["low"], price), close=price,
                       volume=bar["volume"] + size, count=bar["count"] + 1)
            self._notional += price * size
        else:
            bar = {"date": minute, "open": price, "high": price, "low": price, "close": price,
                   "volume": size, "count": 1}
            self._bars.append(bar)
            self._notional = price * size
        bar["wap"] = round(self._notional / bar["volume"], 4)

    def bars(self, use_rth: bool) -> list[dict]:
        """Copies of the day's bars, oldest first: the regular session's only when `use_rth`."""
        if use_rth:
            return [dict(b) for b in self._bars if self._rth_open <= b["date"] < self._rth_close]
        return [dict(b) for b in self._bars]

    def answer(self, use_rth: bool) -> list[dict]:
        """The bars a gateway answers for "1 D": the day's, except that before the day's regular
        session opens, regular hours are the previous session's (and ib_async drops every
        keep-up-to-date update of a request whose first answer was empty)."""
        if not use_rth or self._bars and self._bars[-1]["date"] >= self._rth_open:
            return self.bars(use_rth)
        if self._previous_rth is None:
            self._previous_rth = SymbolMarket(self.symbol, self._seed, self._pre - 1).bars(True)
        return [dict(b) for b in self._previous_rth]

    def bars_since(self, minute: int, use_rth: bool) -> list[dict]:
        """Copies of the bars from `minute` on (a keep-up-to-date round's updates)."""
        out = []
        for b in reversed(self._bars):
            if b["date"] < minute:
                break
            if not use_rth or self._rth_open <= b["date"] < self._rth_close or b is self._bars[-1]:
                out.append(dict(b))
        out.reverse()
        return out

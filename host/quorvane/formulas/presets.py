"""The preset formulas and the small toolkit they (and custom formulas) are built from.

A formula takes the bar list (`quorvane.tinyalgo.Bar`, oldest first) and its parameters
positionally. A formula that emits takes the keyword `emit` as well:

* ``emit=True`` (what the batch route passes) returns the whole result over the bars:
  ``{"kind": "series", "series": [{"time": t, "value": v}, ...]}`` for a line (kinds
  "series", "histogram", "baseline", "area"), ``{"kind": "multi", "plots": {id: points}}``
  for several lines, ``{"kind": "markers", "markers": [{"time": t, "position": ...,
  "shape": ..., "color": ..., "text": ...}, ...]}`` for chart markers;
* ``emit=False`` returns only the newest bar's part, ``{"time": t, "value": v}``, where v is
  the line's value (None while undefined), a dict plot id -> value for "multi", the list of
  the newest bar's markers for "markers"; t is None for an empty bar list.

Points carry "time" as `int(bar.timestamp)`; bars where an indicator is not defined yet
(fewer bars than its window) have no point, and neither do non-finite values.

A formula without `emit` (MOM here) is a snapshot formula: it computes one value for the
last bar of the list it is given and returns ``{"value": v}`` (None while undefined); the
batch route replays it over growing prefixes of the bars.

Parameters arrive as int, float or str (the client's spec text, parsed), so every formula
checks its own with `positive_int` and `positive_number`, which raise ValueError with a
text the route hands back to the client. Every formula is O(number of bars).
"""

from __future__ import annotations

import math
import re
from collections.abc import Callable, Sequence
from typing import cast

from quorvane.tinyalgo import Bar

_INT_TEXT = re.compile(r"\s*\+?\d+\s*")

GOLDEN = {"position": "belowBar", "shape": "arrowUp", "color": "#26a69a", "text": "golden"}
DEAD = {"position": "aboveBar", "shape": "arrowDown", "color": "#ef5350", "text": "dead"}


# -- parameters ----------------------------------------------------------------------------------
def positive_int(value, name: str = "n") -> int:
    """`value` as an int >= 1: an int, an integral float (5.0) or decimal digits ("5")."""
    if isinstance(value, int) and not isinstance(value, bool):
        out = value
    elif isinstance(value, float) and value.is_integer():
        out = int(value)
    elif isinstance(value, str) and _INT_TEXT.fullmatch(value):
        out = int(value)
    else:
        out = 0
    if out < 1:
        raise ValueError(f"{name} must be a positive integer, got {value!r}")
    return out


def positive_number(value, name: str) -> float:
    """`value` as a finite float > 0: an int, a float or a number's text ("2.5")."""
    out = math.nan
    if not isinstance(value, bool):
        try:
            out = float(value)
        except (TypeError, ValueError):
            pass
    if not (math.isfinite(out) and out > 0):
        raise ValueError(f"{name} must be a positive number, got {value!r}")
    return out


# -- results -------------------------------------------------------------------------------------
def points(bars: Sequence[Bar], values: Sequence[float | None]) -> list[dict]:
    """Line points of `values` (one per bar, None where undefined); undefined and non-finite skipped."""
    return [{"time": int(b.timestamp), "value": v} for b, v in zip(bars, values)
            if v is not None and math.isfinite(v)]


def _newest(pts: list[dict], t: int | None):
    return pts[-1]["value"] if pts and pts[-1]["time"] == t else None


def finish(result: dict, bars: Sequence[Bar], emit: bool) -> dict:
    """`result` itself when emitting, else its newest-bar snapshot (see the module text)."""
    if emit:
        return result
    t = int(bars[-1].timestamp) if bars else None
    kind = result["kind"]
    value: object
    if kind == "multi":
        value = {pid: _newest(pts, t) for pid, pts in result["plots"].items()}
    elif kind == "markers":
        value = [m for m in result["markers"] if m["time"] == t]
    else:
        value = _newest(result["series"], t)
    return {"time": t, "value": value}


def line(bars: Sequence[Bar], values: Sequence[float | None], *, kind: str = "series",
         emit: bool = True) -> dict:
    """A one-line result of kind "series", "histogram", "baseline" or "area"."""
    return finish({"kind": kind, "series": points(bars, values)}, bars, emit)


def multi(bars: Sequence[Bar], plots: dict[str, Sequence[float | None]], *, emit: bool = True) -> dict:
    """A several-line result: plot id -> values, one per bar."""
    return finish({"kind": "multi", "plots": {pid: points(bars, vals) for pid, vals in plots.items()}},
                  bars, emit)


# -- building blocks over plain value lists --------------------------------------------------------
def sma(values: Sequence[float], n: int) -> list[float | None]:
    """Simple moving average over `n` values; None for the first n - 1."""
    out: list[float | None] = [None] * len(values)
    total = 0.0
    for i, v in enumerate(values):
        total += v
        if i >= n:
            total -= values[i - n]
        if i >= n - 1:
            out[i] = total / n
    return out


def ema(values: Sequence[float | None], n: int) -> list[float | None]:
    """Exponential moving average, alpha = 2 / (n + 1), seeded with the mean of the first n values.

    Leading None values (an input that is itself undefined at first) are skipped; the
    first average falls on the n-th defined value.
    """
    out: list[float | None] = [None] * len(values)
    start = next((i for i, v in enumerate(values) if v is not None), len(values))
    seed = start + n - 1
    if seed >= len(values):
        return out
    defined = cast(Sequence[float], values[start:])  # only leading values are undefined
    prev = sum(defined[:n]) / n
    out[seed] = prev
    alpha = 2.0 / (n + 1)
    for i in range(seed + 1, len(values)):
        prev += alpha * (defined[i - start] - prev)
        out[i] = prev
    return out


def closes(bars: Sequence[Bar]) -> list[float]:
    return [b.close for b in bars]


# -- presets -------------------------------------------------------------------------------------
def MA(bars, n=5, *, emit=True):
    """Simple moving average of the close over n bars."""
    return line(bars, sma(closes(bars), positive_int(n)), emit=emit)


def EMA(bars, n=12, *, emit=True):
    """Exponential moving average of the close (alpha 2/(n+1), seeded with the first n-bar mean)."""
    return line(bars, ema(closes(bars), positive_int(n)), emit=emit)


def RSI(bars, n=14, *, emit=True):
    """Wilder's relative strength index over n bars (0-100; 50 when prices did not move)."""
    n = positive_int(n)
    c = closes(bars)
    out: list[float | None] = [None] * len(c)
    avg_gain = avg_loss = 0.0
    for i in range(1, len(c)):
        change = c[i] - c[i - 1]
        gain, loss = max(change, 0.0), max(-change, 0.0)
        if i <= n:  # the first average is the plain mean of n changes
            avg_gain += gain / n
            avg_loss += loss / n
            if i < n:
                continue
        else:
            avg_gain = (avg_gain * (n - 1) + gain) / n
            avg_loss = (avg_loss * (n - 1) + loss) / n
        if avg_loss == 0.0:
            out[i] = 50.0 if avg_gain == 0.0 else 100.0
        else:
            out[i] = 100.0 - 100.0 / (1.0 + avg_gain / avg_loss)
    return line(bars, out, emit=emit)


def MACD(bars, fast=12, slow=26, signal=9, *, emit=True):
    """MACD: dif = EMA(fast) - EMA(slow) of the close, dea = EMA(signal) of dif, hist = dif - dea."""
    fast, slow = positive_int(fast, "fast"), positive_int(slow, "slow")
    signal = positive_int(signal, "signal")
    if fast >= slow:
        raise ValueError(f"fast must be less than slow, got fast={fast}, slow={slow}")
    c = closes(bars)
    dif = [f - s if s is not None else None for f, s in zip(ema(c, fast), ema(c, slow))]
    dea = ema(dif, signal)
    hist = [d - e if e is not None else None for d, e in zip(dif, dea)]
    return multi(bars, {"dif": dif, "dea": dea, "hist": hist}, emit=emit)


def BOLL(bars, n=20, k=2, *, emit=True):
    """Bollinger bands: mid = n-bar mean of the close, upper/lower = mid +/- k population deviations."""
    n, k = positive_int(n), positive_number(k, "k")
    c = closes(bars)
    upper: list[float | None] = [None] * len(c)
    mid, lower = upper[:], upper[:]
    mean = m2 = 0.0  # the window's mean and sum of squared deviations, updated as it slides
    for i, x in enumerate(c):
        if i < n:
            d = x - mean
            mean += d / (i + 1)
            m2 += d * (x - mean)
        else:
            old = c[i - n]
            new_mean = mean + (x - old) / n
            m2 += (x - old) * (x - new_mean + old - mean)
            mean = new_mean
        if i >= n - 1:
            dev = math.sqrt(max(m2, 0.0) / n)
            upper[i], mid[i], lower[i] = mean + k * dev, mean, mean - k * dev
    return multi(bars, {"upper": upper, "mid": mid, "lower": lower}, emit=emit)


def CROSS(bars, fast=5, slow=20, *, emit=True):
    """Crossovers of the fast and slow moving averages of the close: "golden" up, "dead" down.

    A touch that does not change sides is no crossover: the marker falls on the bar where
    the fast average is first strictly on the other side.
    """
    fast, slow = positive_int(fast, "fast"), positive_int(slow, "slow")
    if fast >= slow:
        raise ValueError(f"fast must be less than slow, got fast={fast}, slow={slow}")
    c = closes(bars)
    markers = []
    side = 0
    for b, f, s in zip(bars, sma(c, fast), sma(c, slow)):
        if s is None:
            continue
        now = (f > s) - (f < s)
        if now and side and now != side:
            markers.append({"time": int(b.timestamp), **(GOLDEN if now > 0 else DEAD)})
        side = now or side
    return finish({"kind": "markers", "markers": markers}, bars, emit)


def VOL(bars, *, emit=True):
    """Volume bars, green when the bar closed at or above its open, red otherwise."""
    series = [{"time": int(b.timestamp), "value": b.volume,
               "color": GOLDEN["color"] if b.close >= b.open else DEAD["color"]}
              for b in bars if math.isfinite(b.volume)]
    return finish({"kind": "histogram", "series": series}, bars, emit)


def MOM(bars, n=10):
    """Momentum: the last close minus the close n bars earlier (a snapshot formula)."""
    n = positive_int(n)
    if len(bars) <= n:
        return {"value": None}
    return {"value": bars[-1].close - bars[-1 - n].close}


# name -> (formula, kind of its result)
PRESETS: dict[str, tuple[Callable[..., dict], str]] = {
    "MA": (MA, "series"),
    "EMA": (EMA, "series"),
    "RSI": (RSI, "series"),
    "MACD": (MACD, "multi"),
    "BOLL": (BOLL, "multi"),
    "CROSS": (CROSS, "markers"),
    "VOL": (VOL, "histogram"),
    "MOM": (MOM, "series"),
}

"""Small algorithmic-trading records shared by the formulas and the bar aggregators."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(slots=True, init=False)
class Bar:
    """One OHLCV bar. `timestamp` is the bar's start in epoch seconds.

    Every field is stored as a float; a missing volume (None) counts as 0.0.
    """

    timestamp: float
    open: float
    high: float
    low: float
    close: float
    volume: float = 0.0

    # Written out rather than generated with a __post_init__: bars are made on every live update,
    # and one frame converting the fields costs half of two.
    def __init__(self, timestamp, open, high, low, close, volume=0.0) -> None:
        self.timestamp = float(timestamp)
        self.open = float(open)
        self.high = float(high)
        self.low = float(low)
        self.close = float(close)
        self.volume = 0.0 if volume is None else float(volume)

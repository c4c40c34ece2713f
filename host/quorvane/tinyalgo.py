"""Small algorithmic-trading records shared by the formulas and the bar aggregators."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(slots=True)
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

    def __post_init__(self) -> None:
        self.timestamp = float(self.timestamp)
        self.open = float(self.open)
        self.high = float(self.high)
        self.low = float(self.low)
        self.close = float(self.close)
        self.volume = 0.0 if self.volume is None else float(self.volume)

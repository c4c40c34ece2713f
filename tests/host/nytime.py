"""New York wall-clock times as epoch seconds, for the host tests."""

from datetime import datetime

from quorvane.server.kline_cache import _EXCHANGE_TZ


def ny(*args) -> float:
    """Epoch seconds of a New York wall-clock time: ny(2025, 12, 1, 9, 30)."""
    return datetime(*args, tzinfo=_EXCHANGE_TZ).timestamp()

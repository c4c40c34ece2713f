"""Authoritative 1-minute bar override via IBKR's keepUpToDate feed."""

import asyncio
from collections.abc import Callable
from datetime import datetime
from typing import Any

from ib_async import BarDataList, Contract
from loguru import logger as logger

from quorvane.server.kline_cache import _EXCHANGE_TZ as _EXCHANGE_TZ

MAX_SUBS: int
STAGGER_SECONDS: float
_BUST_ERROR_CODE: int

def _bucket_start_epoch(dt: datetime) -> int:
    """Floor an aware datetime to its UTC minute grid (epoch seconds).

    The 1-minute aggregator aligns its buckets on the plain UTC minute grid: a bar
    whose time is not exactly a bucket start would be taken as stale."""

class _SymbolSubscription:
    """One keepUpToDate BarDataList plus its update wiring."""

    __slots__ = ("bar_list", "iticker", "last_seen", "symbol")
    symbol: str
    # the host's tracked ticker: `bars` (bar seconds -> aggregator) and `ticker.contract`
    iticker: Any
    bar_list: BarDataList
    # epoch seconds of the last pump; 0.0 until the first
    last_seen: float
    def __init__(self, symbol: str, iticker: Any, bar_list: BarDataList) -> None: ...

class BarwardenManager:
    """Owns the keepUpToDate subscription set and pumps overrides downstream."""

    # the host's terminal app (`ib`, `quoteState`), or None
    _app: Any
    _subs: dict[str, _SymbolSubscription]
    _stagger_task: asyncio.Task[None] | None
    # contract symbol (or "?") -> epoch seconds of its last bust-trade warning
    _bust_warned: dict[str, float]
    _error_handler: Callable[[int, int, str, Contract | None], None] | None
    _update_handlers: dict[str, Callable[[BarDataList], None]]
    def __init__(self, icli_app: Any) -> None: ...
    async def start(self) -> None: ...
    async def stop(self) -> None: ...
    async def _subscribe_all(self) -> None:
        """Subscribe up to MAX_SUBS symbols, staggered to respect pacing."""

    async def _subscribe_one(self, symbol: str, iticker: Any) -> None: ...
    def _make_update_handler(self, symbol: str) -> Callable[[BarDataList], None]:
        """One closure per symbol; kept here so stop() can detach symmetrically."""

    def _pump_authoritative(self, symbol: str, bar_list: BarDataList) -> None:
        """Feed the newest forming bar into the ticker's 1m aggregator.

        Never raises into the update event's emitter: a malformed bar ends in one
        exception-level log line, and the next update is pumped as usual."""

    def _on_ib_error(self, req_id: int, error_code: int, error_string: str, contract: Contract | None = None) -> None: ...

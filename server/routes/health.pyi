"""Health, info, snapshots, market-status, batch-intraday routes."""

from typing import Any as Any

import pandas as pd
from fastapi import APIRouter as APIRouter
from fastapi import Request as Request
from fastapi.responses import JSONResponse as JSONResponse
from loguru import logger as logger
from pydantic import BaseModel as BaseModel

from quorvane import __version__ as __version__
from quorvane.data.loader import _get_cache as _get_cache
from quorvane.data.loader import get_bars as get_bars
from quorvane.server.kline_cache import KlineCache as KlineCache
from quorvane.server.kline_cache import _as_datetime as _as_datetime

# The cache argument of the intraday helpers is the host's bar cache (`_get_cache()`): only its
# `set` with a key and a list of bar dicts is used.

router: APIRouter

async def health(request: Request) -> dict[str, Any]: ...
async def info() -> dict[str, Any]: ...
async def market_status(request: Request, exchange: str = "NYSE") -> dict[str, Any]: ...
async def snapshots(request: Request, symbols: str = "") -> dict[str, Any]: ...

class BatchIntradayRequest(BaseModel):
    symbols: list[str]

def _store_and_slim(cache: Any, sym: str, bar_dicts: list[dict[str, Any]]) -> dict[str, list[dict[str, Any]]]:
    """Persist full bar dicts (incl. pre/post-market, so extended-hours
    indicators can be computed later) and return the RTH-only slim
    sparkline payload. Blocking (diskcache write + dict building) — call
    via asyncio.to_thread."""

def _process_ibkr_bars(cache: Any, sym: str, bars: list[Any]) -> dict[str, Any] | None:
    """Blocking pandas normalization of IBKR historical bars — runs in a
    worker thread so 20 symbols x ~1300 bars don't stall the event loop."""

def _process_yf_hist(cache: Any, sym: str, hist: pd.DataFrame | None) -> dict[str, Any] | None:
    """Blocking pandas normalization of a yfinance 1m history frame."""

async def batch_intraday(request: Request, req: BatchIntradayRequest) -> dict[str, Any]: ...

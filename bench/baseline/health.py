"""Health router and the service status routes, as plain Python.

The same module body as the native quorvane.server.routes.health up to its status routes: the
same imports, a router of its own with the tag "health", and `health` and `info` registered on it.
"""
import asyncio
import datetime
import os
from typing import Any

import pandas as pd
from fastapi import APIRouter, Request
from fastapi.responses import JSONResponse
from loguru import logger
from pydantic import BaseModel

from quorvane import __version__
from quorvane.data.loader import _get_cache, get_bars
from quorvane.server.kline_cache import KlineCache, _as_datetime

router = APIRouter(tags=["health"])


@router.get("/api/v1/health")
async def health(request: Request):
    ib_connected = False
    account_id = None
    icli = getattr(request.app.state, "icli_app", None)
    if icli:
        try:
            ib_connected = icli.connected
        except Exception:
            pass
        account_id = getattr(icli, "accountId", None)
    lagsentry = getattr(request.app.state, "lagsentry", None)
    flusher = getattr(request.app.state, "live_flusher", None)
    return {
        "status": "ok",
        "service": "quorvane",
        "version": __version__,
        "ib_connected": ib_connected,
        "account_id": account_id,
        "loop_lag": lagsentry.snapshot() if lagsentry else None,
        "live_bar_flusher": flusher.stats if flusher else None,
    }


@router.get("/api/v1/info")
async def info():
    return {
        "name": "Quorvane",
        "version": __version__,
        "docs": "https://github.com/quorvane/quorvane#readme",
    }


class BatchIntradayRequest(BaseModel):
    symbols: "list[str]"

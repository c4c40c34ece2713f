"""The FastAPI application that hosts the native route modules.

Offline by default: no Interactive Brokers terminal app is attached, so
``app.state`` has no ``icli_app`` (and no ``live_flusher``), and the routes
answer from the bar cache. IB mode (`quorvane.ib`) attaches them; QMT mode
(`quorvane.brokers.qmt`) attaches its own terminal app. Either way the app
serves the streamer's WebSocket at ``/ws`` (``app.state.streamer``).
"""

from __future__ import annotations

import asyncio
import contextlib
import gc
import importlib
import os
import sys

from fastapi import FastAPI, Request, Response, WebSocket
from loguru import logger

from quorvane import __version__, dashboard, guards, metrics, plainjson
from quorvane.data import loader
from quorvane.server.kline_cache import KlineCache
from quorvane.server.streamer import DataStreamer

SWITCH_INTERVAL = 0.001  # seconds the interpreter lets a thread run before a waiting one; default 0.005

# Route modules whose `router` the application includes, in this order. Every
# entry must import: a listed module that is missing is a broken install.
ROUTERS: list[str] = [
    "quorvane.server.routes.health",
    "quorvane.server.routes.formulas",
    "quorvane.server.routes.billing",
]


def _load_custom_formulas() -> None:
    """Registers the custom formulas next to the presets; a file that does not load is logged."""
    from quorvane.formulas import registry
    from quorvane.formulas.hotreload import FormulaHotReloader

    try:
        _, failed = FormulaHotReloader.reload_custom_formulas(registry)
    except Exception as e:  # no formula directory: the presets still serve
        logger.warning("custom formulas not loaded: {}", e)
        return
    for failure in failed:
        logger.warning("custom formula file {} not loaded: {}", failure["file"], failure["error"])


def _ib_mode(app: FastAPI, ib):
    """IB mode for the life of the app, or nothing at all (offline, nothing of it imported)."""
    if ib is None:
        return contextlib.nullcontext()
    from quorvane.ib import ib_mode

    return ib_mode(app, ib)


def _qmt_mode(app: FastAPI, qmt: bool):
    """QMT mode for the life of the app, or nothing at all (nothing of it imported)."""
    if not qmt:
        return contextlib.nullcontext()
    from quorvane.brokers.qmt import qmt_mode

    return qmt_mode(app, app.state.streamer)


def _warm_up() -> None:
    """On a worker thread before the app serves: what the routes' first trading-day lookups would
    do on the event loop, loading the year's sessions."""
    KlineCache.intraday_session_day()


async def _cache_unavailable(request: Request, exc: Exception) -> Response:
    # a shared cache's server went away: the request fails with the reason, the next one tries again
    logger.warning("{} {}: {}", request.method, request.url.path, exc)
    return guards.SurrogateSafeJSON({"success": False, "error": str(exc)}, status_code=503)


def create_app(data_dir: str | os.PathLike | None = None, ib=None, qmt: bool = False) -> FastAPI:
    """Build the application.

    Opens the bar cache now: the Redis server of ``$QUORVANE_CACHE_URL`` when it is set,
    else the directory `data_dir` (default: ``$QUORVANE_DATA_DIR`` or
    ``~/.local/share/quorvane``), so a bad cache directory, URL or server fails here with
    `loader.CacheError` rather than at the first request; a cache failure during a
    request answers 503 with the reason. GET /metrics serves the app's figures
    (`quorvane.metrics`). The lifespan first computes NYSE's market status on the
    market-status cache's worker thread (`guards.MarketStatusCache`) and does the routes'
    first-call work on another (`_warm_up`); it then creates the event-loop lag monitor, keeps
    it as ``app.state.lagsentry`` and runs it as a task until shutdown, and once IB or QMT
    mode is up it freezes the objects made so far out of the garbage collector's passes
    (`gc.freeze`) and shortens the interpreter's thread switch interval to `SWITCH_INTERVAL`
    (both undone at shutdown). The request guards (`quorvane.guards`) take their
    limits from the environment now, and the app renders plain answers without FastAPI's
    `jsonable_encoder` walk unless ``$QUORVANE_PLAIN_JSON`` is 0 (`quorvane.plainjson`).
    With `ib`, a `quorvane.ib.IBConfig`, the lifespan also runs IB mode
    (`quorvane.ib.ib_mode`) inside it; with `qmt`, QMT mode (`quorvane.brokers.qmt.qmt_mode`). The streamer (``app.state.streamer``)
    serves its clients at ``/ws``.
    """
    if ib is not None and qmt:
        raise ValueError("IB mode and QMT mode exclude each other")
    loader.open_cache(data_dir)
    _load_custom_formulas()
    from quorvane.server.lagsentry import LagSentry

    @contextlib.asynccontextmanager
    async def lifespan(app: FastAPI):
        switch_interval = sys.getswitchinterval()
        # off the loop, before the app serves: the default exchange's market status (the
        # calendar library's import included) and the routes' first-call work
        await asyncio.gather(market_status.warm(), asyncio.to_thread(_warm_up))
        lagsentry = LagSentry()
        app.state.lagsentry = lagsentry
        task = asyncio.create_task(lagsentry.run(), name="lagsentry")
        try:
            async with _ib_mode(app, ib), _qmt_mode(app, qmt):
                # The objects made so far (modules, calendars, the routes) live as long as the app:
                # the collector's full passes over them took 40-90 ms of loop time each; frozen,
                # a pass walks only what was made since.
                gc.freeze()
                # the loop waits up to one switch interval for the interpreter each time a worker
                # thread (cache reads, formulas, large encodings) holds it
                sys.setswitchinterval(SWITCH_INTERVAL)
                yield
        finally:
            sys.setswitchinterval(switch_interval)
            gc.unfreeze()
            await market_status.close()
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                pass
            except Exception as e:  # the monitor died earlier; shutdown goes on
                logger.error("lag monitor task had failed: {!r}", e)

    # /docs and /redoc are the dashboard package's: they work without internet access
    app = FastAPI(title="Quorvane", version=__version__, lifespan=lifespan, docs_url=None, redoc_url=None)
    app.state.streamer = streamer = DataStreamer()

    @app.websocket("/ws")
    async def stream(websocket: WebSocket):
        await streamer.serve(websocket)

    dashboard.install(app)
    plainjson.install(app, plainjson.enabled())
    market_status = guards.install(app)
    metrics.install(app)
    app.add_exception_handler(loader.CacheError, _cache_unavailable)
    for name in ROUTERS:
        app.include_router(importlib.import_module(name).router)
    return app

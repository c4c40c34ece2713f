import asyncio
import sys
import types

import httpx
import numpy as np
import pytest
from fastapi import APIRouter

from quorvane import app as app_module
from quorvane.app import create_app
from quorvane.data import loader
from quorvane.tinyalgo import Bar
from service import Service


@pytest.fixture
def lagsentry_built():
    pytest.importorskip("quorvane.server.lagsentry",
                        reason="the native lagsentry module is not built (make install builds it)")


@pytest.mark.parametrize("timestamp", [1764599400, 1764599400.0, np.int64(1764599400), np.float64(1764599400)])
def test_bar_fields_are_floats(timestamp):
    bar = Bar(timestamp=timestamp, open=1, high=np.float64(2.5), low=0.5, close=2, volume=None)
    assert (bar.timestamp, bar.open, bar.high, bar.low, bar.close, bar.volume) == (
        1764599400.0, 1.0, 2.5, 0.5, 2.0, 0.0)
    assert all(type(v) is float for v in (bar.timestamp, bar.open, bar.high, bar.low, bar.close, bar.volume))
    assert int(bar.timestamp) == 1764599400


def test_bar_refuses_a_non_numeric_price():
    with pytest.raises((TypeError, ValueError)):
        Bar(timestamp=0, open="x", high=1, low=1, close=1, volume=1)


def test_create_app_fails_early_on_a_bad_cache(tmp_path):
    (tmp_path / "cache.db").write_bytes(b"garbage" * 1000)
    with pytest.raises(loader.CacheError, match="bar cache"):
        create_app(tmp_path)


@pytest.fixture
def ping_router(monkeypatch):
    mod = types.ModuleType("quorvane_test_ping_routes")
    mod.router = APIRouter()

    @mod.router.get("/ping")
    async def ping():
        return {"pong": True}

    monkeypatch.setitem(sys.modules, mod.__name__, mod)
    monkeypatch.setattr(app_module, "ROUTERS", [mod.__name__])


def test_lifespan_runs_and_stops_the_lag_monitor(lagsentry_built, ping_router, tmp_path):
    app = create_app(tmp_path)

    async def scenario():
        async with app.router.lifespan_context(app):
            sentry = app.state.lagsentry
            [task] = [t for t in asyncio.all_tasks() if t.get_name() == "lagsentry"]
            await asyncio.sleep(0.01)
            assert not task.done()
            assert sentry.snapshot() == {"lag_ms": 0.0, "max_lag_ms": 0.0}
            # offline: no terminal app and no live flusher on the state
            assert getattr(app.state, "icli_app", None) is None
            assert getattr(app.state, "live_flusher", None) is None
            transport = httpx.ASGITransport(app=app)
            async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
                assert (await client.get("/ping")).json() == {"pong": True}
        assert task.cancelled()

    try:
        asyncio.run(scenario())
    finally:
        loader.close_cache()


def test_serve_seeds_an_empty_cache_and_shuts_down_cleanly(lagsentry_built, tmp_path):
    with Service("--data-dir", tmp_path, "--log-level", "warning") as service:
        reply = httpx.get(f"{service.base}/openapi.json", timeout=10)
        assert reply.status_code == 200 and reply.json()["info"]["title"] == "Quorvane"
        service.stop()
    assert service.proc.returncode == 0, service.output()
    assert "seeded demo bars into" in service.output()
    cache = loader.BarCache(tmp_path)
    assert cache.symbols() == ["AAPL", "MSFT", "NVDA", "SPY", "TSLA"]
    cache.close()

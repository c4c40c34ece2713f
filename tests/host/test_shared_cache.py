"""Several processes, one bar cache: Redis as the store, writes seen across processes at the next
read, start-up errors, and a Redis server that goes away mid-run and comes back."""
import asyncio
import contextlib
import os
import signal
import subprocess
import sys
import time

import httpx
import pytest
from redisserver import free_port
from test_loader import put_days

from quorvane.__main__ import main
from quorvane.data import loader
from quorvane.data.demo import seed_demo


@contextlib.contextmanager
def serving(*args, env=None):
    """`quorvane serve` with `args` on a free loopback port: its base URL; stopped afterwards."""
    port = free_port()
    proc = subprocess.Popen([sys.executable, "-m", "quorvane", "serve", "--port", str(port), "--no-seed",
                             "--log-level", "warning", *args], env={**os.environ, **(env or {})},
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    base = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 120
        while True:
            try:
                httpx.get(f"{base}/api/v1/health", timeout=2)
                break
            except httpx.TransportError:
                assert proc.poll() is None, f"serve exited with {proc.returncode}:\n{proc.communicate()[1]}"
                assert time.monotonic() < deadline, "serve did not answer within 120 s"
                time.sleep(0.2)
        yield base
    finally:
        proc.send_signal(signal.SIGINT)
        try:
            proc.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()


def last_close(base, sym="MSFT"):
    # a fresh connection each time, so the workers take turns
    quote = httpx.get(f"{base}/api/v1/snapshots", params={"symbols": sym}, timeout=30).json()["quotes"][0]
    return quote["last"]


@pytest.mark.parametrize("store", ["disk", "redis"])
def test_two_workers_see_a_write_of_another_process_at_their_next_read(store, tmp_path, request):
    url = request.getfixturevalue("redis_url") if store == "redis" else ""
    cache = loader.open_cache(tmp_path / "data", url=url)
    try:
        days = put_days(cache, "MSFT")
        with serving("--workers", "2", "--data-dir", str(tmp_path / "data"), "--cache-url", url) as base:
            assert {last_close(base) for _ in range(12)} == {19.5}  # both workers keep the frame
            cache.put_daily("MSFT", [{"date": d, "open": 1, "high": 2, "low": 0, "close": 100.5 + i,
                                      "volume": 1} for i, d in enumerate(days)], "other process")
            assert {last_close(base) for _ in range(12)} == {109.5}
    finally:
        loader.close_cache()


def test_requests_fail_clearly_while_redis_is_away_and_serve_again_after(redis_server, monkeypatch, tmp_path):
    monkeypatch.setenv(loader.CACHE_URL_ENV, redis_server.url)
    from quorvane.app import create_app

    app = create_app()
    cache = loader._get_cache()
    intraday = ("POST", "/api/v1/batch-intraday", {"symbols": ["AAPL"]})

    async def scenario():
        transport = httpx.ASGITransport(app=app, raise_app_exceptions=False)
        async with app.router.lifespan_context(app), \
                httpx.AsyncClient(transport=transport, base_url="http://test") as client:
            async def call(method, path, body=None):
                return await asyncio.wait_for(client.request(method, path, json=body), 30)

            seed_demo(cache, symbols=["AAPL"])
            put_days(cache, "MSFT")
            before = await call(*intraday)
            kept = await loader.get_bars("MSFT", "day", 3)
            redis_server.kill()
            away = await call(*intraday)
            with pytest.raises(loader.CacheError, match="Redis bar cache at .* is unavailable"):
                await loader.get_bars("MSFT", "day", 3)
            redis_server.start()  # empty: nothing survives a kill without persistence
            emptied = await loader.get_bars("MSFT", "day", 3)
            seed_demo(cache, symbols=["AAPL"])
            return before, kept, away, emptied, await call(*intraday)

    before, kept, away, emptied, after = asyncio.run(scenario())
    assert before.status_code == 200 and before.json()["intraday"]["AAPL"]["source"] == "cache"
    assert kept["close"].tolist() == [17.5, 18.5, 19.5]
    assert away.status_code == 503 and list(away.json()) == ["success", "error"]
    assert away.json()["error"].startswith(f"the Redis bar cache at {redis_server.url} is unavailable: ")
    assert "Connection refused" in away.json()["error"]
    assert emptied is None  # not the frame kept from before
    assert after.status_code == 200 and after.json()["intraday"]["AAPL"]["source"] == "cache"
    loader.close_cache()


@pytest.fixture
def command_line():
    """Runs `quorvane` in this process; what it writes into the environment is undone afterwards."""
    saved = dict(os.environ)
    yield main
    os.environ.clear()
    os.environ.update(saved)


@pytest.mark.parametrize("url, message", [
    ("http://127.0.0.1:6379/0", "QUORVANE_CACHE_URL must name a Redis server as redis://host:port/db, got "),
    ("redis://127.0.0.1:6379/cache", "QUORVANE_CACHE_URL must name a Redis server as redis://host:port/db, got "),
    ("redis://127.0.0.1:port/0", "QUORVANE_CACHE_URL is not a usable Redis URL (redis://127.0.0.1:port/0): "),
    ("redis://:hunter2@127.0.0.1:{closed}/0", "cannot use the Redis bar cache at redis://:***@127.0.0.1:{closed}/0: "
                                              "Error 111 connecting to 127.0.0.1:{closed}. Connection refused."),
])
@pytest.mark.parametrize("command", ["serve", "seed-demo"])
def test_a_bad_url_or_unreachable_server_fails_at_start_up(capsys, command_line, command, url, message):
    closed = free_port()
    url, message = url.format(closed=closed), message.format(closed=closed)
    assert command_line([command, "--cache-url", url]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"quorvane: error: {message}") and "hunter2" not in err


@pytest.mark.parametrize("args, message", [
    (["--workers", "0"], "--workers must be at least 1, got 0"),
    (["--workers", "2", "--ib"], "--workers above 1 serves offline only"),
    (["--workers", "3", "--broker", "qmt"], "--workers above 1 serves offline only"),
])
def test_workers_option_refuses(capsys, command_line, args, message):
    assert command_line(["serve", *args]) == 2
    assert capsys.readouterr().err.startswith(f"quorvane: error: {message}")

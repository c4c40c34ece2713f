"""Several processes, one bar cache: writes seen across processes, start-up errors, Redis going away."""
import asyncio
import os

import httpx
import pytest
import redisserver
from service import Service
from test_loader import put_days

from quorvane.__main__ import main
from quorvane.data import loader
from quorvane.data.demo import seed_demo


@pytest.mark.parametrize("store", ["disk", "redis"])
def test_two_workers_see_a_write_of_another_process_at_their_next_read(store, tmp_path, request):
    url = request.getfixturevalue("redis_url") if store == "redis" else ""
    cache = loader.open_cache(tmp_path, url=url)
    days = put_days(cache, "MSFT")

    def last_closes(base):  # a connection each, so both workers answer
        return {httpx.get(f"{base}/api/v1/snapshots?symbols=MSFT", timeout=30).json()["quotes"][0]["last"]
                for _ in range(12)}
    try:
        with Service("--workers", "2", "--data-dir", tmp_path, "--cache-url", url, "--no-seed",
                     "--log-level", "warning") as served:
            assert last_closes(served.base) == {19.5}  # both workers keep the frame
            cache.put_daily("MSFT", [{"date": d, "open": 1, "high": 2, "low": 0, "close": 100.5 + i, "volume": 1}
                                     for i, d in enumerate(days)], "other process")
            assert last_closes(served.base) == {109.5}
    finally:
        loader.close_cache()


def test_requests_fail_clearly_while_redis_is_away_and_serve_again_after(tmp_path, monkeypatch):
    if redisserver.MISSING:
        pytest.skip(redisserver.MISSING)
    server = redisserver.RedisServer(tmp_path).start()
    monkeypatch.setenv(loader.CACHE_URL_ENV, server.url)
    from quorvane.app import create_app

    app, cache = create_app(), loader._get_cache()

    async def scenario():
        transport = httpx.ASGITransport(app=app, raise_app_exceptions=False)
        async with app.router.lifespan_context(app), httpx.AsyncClient(transport=transport, base_url="http://t") as client:
            def intraday():
                return asyncio.wait_for(client.post("/api/v1/batch-intraday", json={"symbols": ["AAPL"]}), 30)
            seed_demo(cache, symbols=["AAPL"])
            put_days(cache, "MSFT")
            answers = [await intraday(), await loader.get_bars("MSFT", "day", 3)]
            server.kill()
            answers.append(await intraday())
            with pytest.raises(loader.CacheError, match="Redis bar cache at .* is unavailable"):
                await loader.get_bars("MSFT", "day", 3)
            server.start()  # empty: nothing outlives a kill without persistence
            answers.append(await loader.get_bars("MSFT", "day", 3))
            seed_demo(cache, symbols=["AAPL"])
            return [*answers, await intraday()]

    try:
        before, kept, away, emptied, after = asyncio.run(scenario())
    finally:
        server.stop()
        loader.close_cache()
    assert kept["close"].tolist() == [17.5, 18.5, 19.5]
    assert away.status_code == 503 and list(away.json()) == ["success", "error"]
    assert away.json()["error"].startswith(f"the Redis bar cache at {server.url} is unavailable: ")
    assert "Connection refused" in away.json()["error"]
    assert emptied is None  # not the frame kept from before
    for answer in (before, after):
        assert answer.status_code == 200 and answer.json()["intraday"]["AAPL"]["source"] == "cache"


@pytest.mark.parametrize("args, message", [
    (["seed-demo", "--cache-url", "http://h:6379/0"], "QUORVANE_CACHE_URL must name a Redis server as "
                                                      "redis://host:port/db, got 'http://h:6379/0'"),
    (["serve", "--cache-url", "redis://h:6379/bars"], "QUORVANE_CACHE_URL must name a Redis server as "),
    (["serve", "--cache-url", "redis://h:port/0"], "QUORVANE_CACHE_URL is not a usable Redis URL (redis://h:port/0): "),
    (["serve", "--cache-url", "redis://:hunter2@127.0.0.1:{closed}/0"],
     "cannot use the Redis bar cache at redis://:***@127.0.0.1:{closed}/0: Error 111 connecting to 127.0.0.1:{closed}."),
    (["serve", "--workers", "0"], "--workers must be at least 1, got 0"),
    (["serve", "--workers", "2", "--broker", "qmt"], "--workers above 1 serves offline only"),
])
def test_start_up_errors(capsys, args, message):
    closed, saved = redisserver.free_port(), dict(os.environ)
    try:
        assert main([arg.format(closed=closed) for arg in args]) == 2
    finally:  # the command line writes its options into the environment
        os.environ.clear()
        os.environ.update(saved)
    err = capsys.readouterr().err
    assert err.startswith(f"quorvane: error: {message.format(closed=closed)}") and "hunter2" not in err

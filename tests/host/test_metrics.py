"""GET /metrics: series by route template, the lag monitor's and bar cache's figures, shared scrapes."""
import asyncio
import threading
from types import SimpleNamespace

import httpx
from prometheus_client.parser import text_string_to_metric_families
from test_loader import put_days

from quorvane import metrics
from quorvane.data import loader


def samples(text: str) -> dict:
    """{(name, *label values in label-name order): value} of a scrape."""
    return {(s.name, *(v for _, v in sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(text) for s in family.samples}


def test_series_by_route_template_and_the_process_figures(call_app):
    put_days(loader._get_cache(), "MSFT")
    loader._get_cache().get("nothing here")
    for _ in range(3):
        asyncio.run(loader.get_bars("MSFT", "day", 3))
    *_, scrape, schema = call_app(
        "GET /api/v1/formulas/ma", "DELETE /api/v1/formulas/nosuch-1", "DELETE /api/v1/formulas/nosuch-2",
        "GET /api/v1/market-status", "GET /api/v1/market-status",  # the second from the guards' cache
        ("POST /api/v1/batch-intraday", {"json": {"symbols": ["A"] * 1001}}),  # refused before routing
        "GET /nowhere/1", "GET /nowhere/2", "BREW /api/v1/health", "GET /metrics", "GET /openapi.json",
        lagsentry=SimpleNamespace(snapshot=lambda: {"lag_ms": 12.5, "max_lag_ms": 250.0}))
    got = samples(scrape.text)
    assert {key[1:]: n for key, n in got.items() if key[0] == "quorvane_http_requests_total"} == {
        ("GET", "/api/v1/formulas/{name}", "405"): 1, ("DELETE", "/api/v1/formulas/{name}", "200"): 2,
        ("GET", "/api/v1/market-status", "200"): 2, ("POST", "/api/v1/batch-intraday", "413"): 1,
        ("GET", "unmatched", "404"): 2, ("other", "/api/v1/health", "405"): 1}
    buckets = [got["quorvane_http_request_duration_seconds_bucket", le, "DELETE", "/api/v1/formulas/{name}"]
               for le in [*map(str, metrics.BUCKETS), "+Inf"]]
    assert buckets == sorted(buckets) and buckets[-1] == 2
    assert got["quorvane_http_request_duration_seconds_sum", "DELETE", "/api/v1/formulas/{name}"] > 0
    assert (got["quorvane_loop_lag_seconds",], got["quorvane_loop_max_lag_seconds",]) == (0.0125, 0.25)
    assert [got["quorvane_bar_cache_reads_total", r] for r in ("hit", "miss")] == [1, 1]
    assert [got["quorvane_bar_memo_reads_total", r] for r in ("hit", "miss")] == [2, 1]
    assert scrape.headers["content-type"].startswith("text/plain") and "/metrics" not in schema.json()["paths"]


def test_concurrent_scrapes_share_one_build_off_the_loop(tmp_path, monkeypatch):
    from quorvane.app import create_app

    app, release, builds, entered = create_app(tmp_path), threading.Event(), [], []
    real = metrics.generate_latest
    monkeypatch.setattr(metrics, "generate_latest",
                        lambda registry: builds.append(threading.current_thread()) or release.wait(30) and real(registry))

    async def counting(scope, receive, send):
        entered.append(scope["path"])
        await app(scope, receive, send)

    async def scenario():
        transport = httpx.ASGITransport(app=counting)
        async with app.router.lifespan_context(app), httpx.AsyncClient(transport=transport, base_url="http://t") as client:
            scrapes = [asyncio.ensure_future(client.get("/metrics")) for _ in range(20)]
            for _ in range(3000):  # until every scrape waits for the build (30 s at most)
                if len(entered) == 20 and builds:
                    break
                await asyncio.sleep(0.01)
            health = await client.get("/api/v1/health")  # the loop answers while the build runs
            release.set()
            return health, await asyncio.wait_for(asyncio.gather(*scrapes), 30)

    health, scraped = asyncio.run(scenario())
    assert health.status_code == 200 and [r.status_code for r in scraped] == [200] * 20
    assert len({r.text for r in scraped}) == 1 and len(builds) == 1 and builds[0] is not threading.main_thread()

"""GET /metrics: the series by route template, the lag monitor's and the bar cache's figures, the scrape."""
import asyncio
import threading
from types import SimpleNamespace

import httpx
from prometheus_client.parser import text_string_to_metric_families

from quorvane import metrics
from quorvane.data import loader


def samples(text: str) -> dict:
    """{(sample name, sorted label items): value} of a scrape."""
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(text) for s in family.samples}


def requests_of(scraped, route, method="GET"):
    return {dict(labels)["status"]: value for (name, labels), value in scraped.items()
            if name == "quorvane_http_requests_total" and dict(labels)["route"] == route
            and dict(labels)["method"] == method}


def test_series_are_per_route_template_method_and_status(call_app):
    lag = SimpleNamespace(snapshot=lambda: {"lag_ms": 12.5, "max_lag_ms": 250.0})
    *_, scrape = call_app(
        "GET /api/v1/formulas/ma", "DELETE /api/v1/formulas/nosuch-1", "DELETE /api/v1/formulas/nosuch-2",
        "GET /api/v1/market-status", "GET /api/v1/market-status",  # the second from the guards' cache
        ("POST /api/v1/batch-intraday", {"json": {"symbols": ["A"] * 1001}}),  # refused before routing
        "GET /nowhere/1", "GET /nowhere/2", "BREW /api/v1/health",
        "GET /metrics", lagsentry=lag)
    assert scrape.status_code == 200 and scrape.headers["content-type"].startswith("text/plain")
    got = samples(scrape.text)
    assert requests_of(got, "/api/v1/formulas/{name}") == {"405": 1}
    assert requests_of(got, "/api/v1/formulas/{name}", "DELETE") == {"200": 2}  # {"success": false, ...}
    assert requests_of(got, "/api/v1/market-status") == {"200": 2}
    assert requests_of(got, "/api/v1/batch-intraday", "POST") == {"413": 1}
    assert requests_of(got, "unmatched") == {"404": 2}
    assert requests_of(got, "/api/v1/health", "other") == {"405": 1}
    assert not any("nosuch" in str(key) or "nowhere" in str(key) for key in got)

    route = (("method", "DELETE"), ("route", "/api/v1/formulas/{name}"))
    buckets = [got[("quorvane_http_request_duration_seconds_bucket", tuple(sorted((*route, ("le", le)))))]
               for le in [*map(str, metrics.BUCKETS), "+Inf"]]
    assert buckets == sorted(buckets) and buckets[-1] == 2
    assert got[("quorvane_http_request_duration_seconds_count", route)] == 2
    assert got[("quorvane_http_request_duration_seconds_sum", route)] > 0
    assert got[("quorvane_loop_lag_seconds", ())] == 0.0125
    assert got[("quorvane_loop_max_lag_seconds", ())] == 0.25


def test_bar_cache_reads_and_memo_lookups(call_app):
    from test_loader import put_days

    cache = loader._get_cache()
    put_days(cache, "MSFT")
    cache.get("nothing here")
    for _ in range(3):
        asyncio.run(loader.get_bars("MSFT", "day", 3))
    got = samples(call_app("GET /metrics")[0].text)
    assert {r: got[("quorvane_bar_cache_reads_total", (("result", r),))] for r in ("hit", "miss")} == \
        {"hit": 1, "miss": 1}
    assert {r: got[("quorvane_bar_memo_reads_total", (("result", r),))] for r in ("hit", "miss")} == \
        {"hit": 2, "miss": 1}


def test_metrics_is_not_in_the_schema(call_app):
    assert "/metrics" not in call_app("GET /openapi.json", lifespan=False)[0].json()["paths"]


def test_concurrent_scrapes_share_one_build_off_the_loop(tmp_path, monkeypatch):
    from quorvane.app import create_app

    app = create_app(tmp_path)
    release, builds = threading.Event(), []
    real = metrics.generate_latest

    def slow_build(registry):
        builds.append(threading.current_thread())
        assert release.wait(30)
        return real(registry)

    monkeypatch.setattr(metrics, "generate_latest", slow_build)
    entered = 0

    async def counting(scope, receive, send):
        nonlocal entered
        entered += 1
        await app(scope, receive, send)

    async def scenario():
        transport = httpx.ASGITransport(app=counting)
        async with app.router.lifespan_context(app), \
                httpx.AsyncClient(transport=transport, base_url="http://test") as client:
            scrapes = [asyncio.ensure_future(client.get("/metrics")) for _ in range(20)]
            for _ in range(3000):  # until every scrape waits for the build (bounded: 30 s)
                if entered == 20 and builds:
                    break
                await asyncio.sleep(0.01)
            for _ in range(10):
                await asyncio.sleep(0)
            health = await client.get("/api/v1/health")  # the loop answers while the build runs
            release.set()
            return health, await asyncio.wait_for(asyncio.gather(*scrapes), 30)

    health, scraped = asyncio.run(scenario())
    assert health.status_code == 200
    assert [r.status_code for r in scraped] == [200] * 20 and len({r.text for r in scraped}) == 1
    assert len(builds) == 1 and builds[0] is not threading.main_thread()

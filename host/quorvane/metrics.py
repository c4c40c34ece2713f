"""GET /metrics: the reference app's figures in the Prometheus text format (prometheus_client).

* ``quorvane_http_requests_total{route, method, status}`` and the histogram
  ``quorvane_http_request_duration_seconds{route, method}``: every HTTP request the app
  answers, the guards' refusals and the market-status cache's answers included. "route"
  is the route's path template (``/api/v1/formulas/{name}``), never the raw path, so a
  client cannot make the series many; a path no route has is "unmatched", and a method
  outside the standard ones "other";
* ``quorvane_loop_lag_seconds`` and ``quorvane_loop_max_lag_seconds``: the lag monitor's
  snapshot (present once the lifespan has started it);
* ``quorvane_bar_cache_reads_total{result}`` and ``quorvane_bar_memo_reads_total{result}``:
  the bar cache's reads that found an entry ("hit") or none ("miss"), and `get_bars`' frames
  served from memory or built;
* prometheus_client's process, platform and garbage-collector figures.

Recording stays off the hot path: per request the middleware adds one to a plain counter
and one to a histogram bucket, on the event loop (about a microsecond; `bench/bench_metrics.py`
compares the health route with and without it). Each scrape turns those counters into metric
families and formats them on a worker thread, and the scrapes that arrive while one is being
built share it, so scraping under load never holds the loop for a whole build. With several
worker processes each scrape is answered by one worker, with that worker's figures.
"""

from __future__ import annotations

import asyncio
import itertools
import time
from bisect import bisect_left

from prometheus_client import (CONTENT_TYPE_LATEST, CollectorRegistry, GCCollector, PlatformCollector,
                               ProcessCollector, generate_latest)
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, HistogramMetricFamily
from starlette.responses import Response

METRICS_PATH = "/metrics"
UNMATCHED = "unmatched"
METHODS = frozenset({"GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS", "TRACE", "CONNECT"})
# seconds; the status routes answer in well under a millisecond, batch routes in tens of them
BUCKETS = (0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0)
_TEMPLATES_KEPT = 1024  # paths answered before routing whose template was looked up


class RequestMetrics:
    """Pure ASGI middleware counting every HTTP request by route template, method and status.

    Per (route, method, status) it keeps one list: the requests of each duration bucket, +Inf
    last, then their seconds summed; only the event loop writes it.
    """

    def __init__(self, app, routes: list, series: dict) -> None:
        self.app = app
        self.routes = routes  # the router's own list: routes included later are seen
        self.series = series
        self._templates: dict[str, str] = {}

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        answer = _StatusSend(send)
        start = time.perf_counter()
        try:
            await self.app(scope, receive, answer)
        finally:
            elapsed = time.perf_counter() - start
            route, method = scope.get("route"), scope["method"]
            key = (self._template(scope) if route is None else route.path,
                   method if method in METHODS else "other", answer.status)
            counts = self.series.get(key)
            if counts is None:
                counts = self.series[key] = [0] * (len(BUCKETS) + 1) + [0.0]
            counts[bisect_left(BUCKETS, elapsed)] += 1
            counts[-1] += elapsed

    def _template(self, scope) -> str:
        """The template of the route whose path matches, for a request answered before routing
        (a guard's 413, a cached market-status answer) or by no route (404)."""
        path = scope["path"]
        template = self._templates.get(path)
        if template is None:
            template = next((route.path for route in _leaf_routes(self.routes)
                             if route.path_regex.match(path)), UNMATCHED)
            if len(self._templates) >= _TEMPLATES_KEPT:
                self._templates.clear()
            self._templates[path] = template
        return template


def _leaf_routes(routes):
    for route in routes:
        included = getattr(route, "original_router", None)  # newer FastAPI keeps an included router whole
        if included is not None:
            yield from _leaf_routes(included.routes)
        elif hasattr(route, "path_regex"):
            yield route


class _StatusSend:
    """The server's `send`, noting the status of the response it starts; it hands back the
    server's own awaitable, so a message costs no coroutine of ours."""

    __slots__ = ("send", "status")

    def __init__(self, send) -> None:
        self.send = send
        self.status = 500  # what the server answers when the app raises before it starts a response

    def __call__(self, message):
        if message["type"] == "http.response.start":
            self.status = message["status"]
        return self.send(message)


class _AppCollector:
    """The request series, the lag monitor's snapshot and the bar cache's reads, at each scrape."""

    def __init__(self, app, series: dict) -> None:
        self.app = app
        self.series = series

    def collect(self):
        counts = CounterMetricFamily("quorvane_http_requests", "HTTP requests answered",
                                     labels=["route", "method", "status"])
        latency = HistogramMetricFamily("quorvane_http_request_duration_seconds",
                                        "Time from a request's arrival to the end of its answer",
                                        labels=["route", "method"])
        histograms: dict[tuple[str, str], list] = {}
        for (route, method, status), kept in sorted(self.series.items()):
            counts.add_metric([route, method, str(status)], sum(kept[:-1]))
            merged = histograms.setdefault((route, method), [0] * len(kept))
            merged[:] = [a + b for a, b in zip(merged, kept)]
        for (route, method), kept in histograms.items():
            cumulative = itertools.accumulate(kept[:-1])
            latency.add_metric([route, method], list(zip((*map(str, BUCKETS), "+Inf"), cumulative)), kept[-1])
        yield counts
        yield latency

        lagsentry = getattr(self.app.state, "lagsentry", None)
        if lagsentry is not None:
            snapshot = lagsentry.snapshot()
            yield GaugeMetricFamily("quorvane_loop_lag_seconds",
                                    "How late the lag monitor's latest wake-up came",
                                    value=snapshot["lag_ms"] / 1000)
            yield GaugeMetricFamily("quorvane_loop_max_lag_seconds",
                                    "The latest wake-up of the lag monitor since the start",
                                    value=snapshot["max_lag_ms"] / 1000)

        from quorvane.data import loader

        stats = loader._get_cache().stats()
        for name, kind, text in (("reads", "bar_cache", "Bar cache reads that found an entry or none"),
                                 ("memo", "bar_memo", "Bar frames served from memory or built")):
            family = CounterMetricFamily(f"quorvane_{kind}_reads", text, labels=["result"])
            for result in ("hit", "miss"):
                family.add_metric([result], stats[name][result])
            yield family


def install(app) -> None:
    """Serve GET /metrics (not in the OpenAPI schema) and count every request; called after the
    guards are installed, so this is the outermost layer and their refusals are counted too."""
    series: dict[tuple[str, str, int], list] = {}
    registry = CollectorRegistry(auto_describe=False)
    for collector in (ProcessCollector, PlatformCollector, GCCollector):
        collector(registry=registry)
    registry.register(_AppCollector(app, series))
    app.add_middleware(RequestMetrics, routes=app.router.routes, series=series)

    scraping: asyncio.Future | None = None

    @app.get(METRICS_PATH, include_in_schema=False)
    async def metrics() -> Response:
        # built on a worker thread (reading /proc, formatting every series), one build for all
        # the scrapes that arrive meanwhile
        nonlocal scraping
        if scraping is None:
            scraping = asyncio.ensure_future(asyncio.to_thread(generate_latest, registry))
            scraping.add_done_callback(_scraped)
        return Response(await asyncio.shield(scraping), media_type=CONTENT_TYPE_LATEST)

    def _scraped(_):
        nonlocal scraping
        scraping = None

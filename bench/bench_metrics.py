"""What counting a request for GET /metrics costs: GET /api/v1/health through the whole app that
`create_app` builds (guards, routers), without and with the metrics middleware, in one run.

The two apps differ only in that middleware (`quorvane.metrics.RequestMetrics`), so the ratio
less one is the share of the health route's time that recording a request adds. Requests are raw
ASGI calls finishing in one step, as in bench_health.py.
"""
import atexit
import shutil
import tempfile

from bench_health import asgi_get

from quorvane import metrics
from quorvane.app import create_app
from quorvane.server.lagsentry import LagSentry

SIDES = ("without metrics", "with metrics")
REPEATS = 201
STATISTIC = min  # the difference is a few per cent: the fastest repeat of each side, least disturbed
DATA_DIR = tempfile.mkdtemp(prefix="quorvane-bench-metrics-")
atexit.register(shutil.rmtree, DATA_DIR, ignore_errors=True)


def make_app(counted: bool):
    app = create_app(DATA_DIR)
    if not counted:
        app.user_middleware = [m for m in app.user_middleware if m.cls is not metrics.RequestMetrics]
    app.state.lagsentry = LagSentry(interval=1.0, warn_ms=250.0)
    return app


BARE, COUNTED = make_app(False), make_app(True)

BENCHMARKS = [
    ("metrics: GET /api/v1/health (ASGI, whole app)",
     asgi_get(BARE, "/api/v1/health"), asgi_get(COUNTED, "/api/v1/health")),
]
assert BENCHMARKS[0][1]() == BENCHMARKS[0][2]()

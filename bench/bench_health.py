"""GET /api/v1/health and /api/v1/info: the native routes against bench/baseline/health.py.

Each side is a FastAPI app of its own that includes only its module's router, with the same
state objects (a connected terminal app stand-in, a LagSentry, a live flusher stand-in), so
the two differ only in the route. Requests are raw ASGI calls: the app's coroutine finishes
in one step (nothing in the stack suspends for a body-less GET), so it is driven with a single
send() and no event loop or HTTP client adds noise. The web stack still dominates those
figures; the "call" entries time the route coroutine alone (create, run, result).
"""
import asyncio
from types import SimpleNamespace

from fastapi import FastAPI
from starlette.requests import Request

from baseline import health as baseline
from quorvane.server.lagsentry import LagSentry
from quorvane.server.routes import health

STATE = {
    "icli_app": SimpleNamespace(connected=True, accountId="DU1234567"),
    "lagsentry": LagSentry(interval=1.0, warn_ms=250.0),
    "live_flusher": SimpleNamespace(stats={"flushed": 1234, "pending": 0, "errors": 0}),
}


def make_app(module):
    app = FastAPI(title="Quorvane")
    app.include_router(module.router)
    for name, value in STATE.items():
        setattr(app.state, name, value)
    return app


def scope(path, query=b""):
    return {"type": "http", "asgi": {"version": "3.0", "spec_version": "2.4"}, "http_version": "1.1",
            "method": "GET", "scheme": "http", "path": path, "raw_path": path.encode(), "root_path": "",
            "query_string": query, "headers": [(b"host", b"127.0.0.1:8000"), (b"accept", b"*/*")],
            "client": ("127.0.0.1", 50000), "server": ("127.0.0.1", 8000)}


PENDING = object()


def run_once(coroutine):
    """The coroutine's result if it finishes in one step, else PENDING (it is then closed)."""
    try:
        coroutine.send(None)
    except StopIteration as done:
        return done.value
    coroutine.close()
    return PENDING


def asgi_get(app, path):
    """One GET through the whole ASGI stack; the callable returns the response body."""
    request_scope = scope(path)
    sent = []

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        sent.append(message)

    def one_step():
        sent.clear()
        run_once(app(request_scope, receive, send))
        return sent[-1]["body"]

    if run_once(app(request_scope, receive, send)) is not PENDING:
        return one_step
    # a framework version whose stack suspends: time it on an event loop instead
    loop = asyncio.new_event_loop()

    def on_loop():
        sent.clear()
        loop.run_until_complete(app(request_scope, receive, send))
        return sent[-1]["body"]
    return on_loop


def route_call(route, *args):
    """Create the route's coroutine and run it to completion."""
    def call():
        return run_once(route(*args))
    return call


NATIVE_APP, PYTHON_APP = make_app(health), make_app(baseline)
NATIVE_REQUEST, PYTHON_REQUEST = (Request(scope("/api/v1/health") | {"app": app}) for app in (NATIVE_APP, PYTHON_APP))

BENCHMARKS = [
    ("health GET /api/v1/health (ASGI)", asgi_get(NATIVE_APP, "/api/v1/health"), asgi_get(PYTHON_APP, "/api/v1/health")),
    ("health GET /api/v1/info (ASGI)", asgi_get(NATIVE_APP, "/api/v1/info"), asgi_get(PYTHON_APP, "/api/v1/info")),
    ("health call health(request)", route_call(health.health, NATIVE_REQUEST), route_call(baseline.health, PYTHON_REQUEST)),
    ("health call info()", route_call(health.info), route_call(baseline.info)),
]

# Both sides must answer the same, or the comparison means nothing.
for _name, _native, _python in BENCHMARKS:
    assert _native() == _python() and _native() is not PENDING, _name

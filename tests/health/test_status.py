"""GET /api/v1/health and /api/v1/info through the real app, and the health module's body.

Requests go through FastAPI in process (httpx's ASGI transport) inside the app's lifespan, so
the lag monitor on `app.state` is the real one unless a case replaces it. The IB terminal app
and the live bar flusher are stand-ins: the terminal app is the network edge.
"""
import asyncio
import inspect
import os
import subprocess
import sys
from types import SimpleNamespace

import pydantic
import pytest
from starlette.datastructures import State

import quorvane
from quorvane.server.routes import health as module

from appstate import ABSENT

HEALTH_KEYS = ["status", "service", "version", "ib_connected", "account_id", "loop_lag", "live_bar_flusher"]
INFO_KEYS = ["name", "version", "docs"]


class Recorder:
    """A host object whose attributes are served from `attrs`: a value, or an exception to raise.
    Records every attribute read; `truthy` is what bool() of it gives."""

    def __init__(self, truthy=True, **attrs):
        self.truthy, self.attrs, self.reads, self.calls = truthy, attrs, [], []

    def __bool__(self):
        return self.truthy

    def __getattr__(self, name):  # reached only for names not set in __init__
        self.reads.append(name)
        if name not in self.attrs:
            raise AttributeError(name)
        value = self.attrs[name]
        if isinstance(value, BaseException):
            raise value
        return value


class Sentry(Recorder):
    def snapshot(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.__getattr__("snapshot_result")


def health_of(call_app, **state):
    [reply] = call_app("GET /api/v1/health", **state)
    assert reply.status_code == 200, reply.text
    body = reply.json()
    assert list(body) == HEALTH_KEYS
    assert (body["status"], body["service"], body["version"]) == ("ok", "quorvane", quorvane.__version__)
    return body


@pytest.mark.parametrize("app, connected, account_id, reads", [
    (ABSENT, False, None, None),
    (None, False, None, None),
    (Recorder(truthy=False, connected=True, accountId="DU1"), False, None, []),
    (Recorder(connected=True, accountId="DU123"), True, "DU123", ["connected", "accountId"]),
    (Recorder(connected=False, accountId="DU123"), False, "DU123", ["connected", "accountId"]),
    (Recorder(connected=RuntimeError("socket gone"), accountId="DU9"), False, "DU9", ["connected", "accountId"]),
    (Recorder(connected=AttributeError("connected")), False, None, ["connected", "accountId"]),
    (Recorder(connected=1, accountId="DU1"), 1, "DU1", None),    # passed through, not coerced
    (Recorder(connected=0), 0, None, None),
    (Recorder(connected="yes"), "yes", None, None),
    (Recorder(connected=True), True, None, ["connected", "accountId"]),
], ids=["no-app", "none", "falsy-app", "connected", "disconnected", "connected-raises",
        "connected-missing", "int-1", "int-0", "text", "no-account"])
def test_ib_state(call_app, app, connected, account_id, reads):
    body = health_of(call_app, icli_app=app)
    assert type(body["ib_connected"]) is type(connected) and body["ib_connected"] == connected
    assert body["account_id"] == account_id
    if reads is not None:
        assert app.reads == reads
    # the real lag monitor of the lifespan, no flusher offline
    assert list(body["loop_lag"]) == ["lag_ms", "max_lag_ms"] and body["live_bar_flusher"] is None


@pytest.mark.parametrize("state, loop_lag, flusher_stats", [
    ({"lagsentry": ABSENT}, None, None),
    ({"lagsentry": None}, None, None),
    ({"lagsentry": Sentry(truthy=False, snapshot_result={"lag_ms": 1})}, None, None),
    ({"lagsentry": Sentry(snapshot_result={"lag_ms": 2.5, "max_lag_ms": 40.0})}, {"lag_ms": 2.5, "max_lag_ms": 40.0}, None),
    ({"live_flusher": Recorder(stats={"flushed": 3, "pending": [1, 2]})}, "real", {"flushed": 3, "pending": [1, 2]}),
    ({"live_flusher": Recorder(truthy=False, stats={"flushed": 3})}, "real", None),
    ({"live_flusher": None, "lagsentry": ABSENT}, None, None),
], ids=["no-sentry", "none-sentry", "falsy-sentry", "sentry", "flusher", "falsy-flusher", "neither"])
def test_loop_lag_and_flusher(call_app, state, loop_lag, flusher_stats):
    body = health_of(call_app, icli_app=Recorder(connected=True, accountId="DU7"), **state)
    assert (body["ib_connected"], body["account_id"]) == (True, "DU7")
    if loop_lag == "real":
        assert list(body["loop_lag"]) == ["lag_ms", "max_lag_ms"]
    else:
        assert body["loop_lag"] == loop_lag
    assert body["live_bar_flusher"] == flusher_stats
    sentry, flusher = state.get("lagsentry"), state.get("live_flusher")
    if isinstance(sentry, Sentry):
        assert sentry.calls == ([((), {})] if sentry.truthy else [])
    if isinstance(flusher, Recorder):
        assert flusher.reads == (["stats"] if flusher.truthy else [])


@pytest.mark.parametrize("state", [
    {"lagsentry": Sentry(snapshot_result=RuntimeError("monitor broke"))},
    {"live_flusher": Recorder(stats=RuntimeError("flusher broke"))},
    {"icli_app": Recorder(connected=True, accountId=RuntimeError("account broke"))},
], ids=["snapshot", "stats", "accountId"])
def test_unguarded_host_failures_are_server_errors(call_app, state):
    [reply] = call_app("GET /api/v1/health", **state)
    assert (reply.status_code, reply.text) == (500, "Internal Server Error")


def test_version_is_read_at_each_call(call_app, monkeypatch):
    before = call_app("GET /api/v1/health", "GET /api/v1/info")
    assert [r.json()["version"] for r in before] == [quorvane.__version__] * 2
    monkeypatch.setattr(module, "__version__", "9.9.9-test")
    after = call_app("GET /api/v1/health", "GET /api/v1/info")
    assert [r.json()["version"] for r in after] == ["9.9.9-test"] * 2


def test_info_payload_ignores_the_query_string(call_app):
    replies = call_app("GET /api/v1/info", "GET /api/v1/info?version=2&name=x", "GET /api/v1/info?")
    assert {r.status_code for r in replies} == {200}
    bodies = [r.json() for r in replies]
    assert list(bodies[0]) == INFO_KEYS
    assert bodies[0]["name"] == "Quorvane" and bodies[0]["docs"].startswith("http")
    assert bodies == [bodies[0]] * 3


def test_framework_answers_for_unknown_paths_and_methods(call_app):
    missing, wrong_method, openapi = call_app("GET /api/v1/healthz", "POST /api/v1/health", "GET /openapi.json")
    assert (missing.status_code, missing.json()) == (404, {"detail": "Not Found"})
    assert (wrong_method.status_code, wrong_method.json()) == (405, {"detail": "Method Not Allowed"})
    paths = openapi.json()["paths"]
    for path in ("/api/v1/health", "/api/v1/info"):
        assert list(paths[path]) == ["get"]
        operation = paths[path]["get"]
        assert operation["tags"] == ["health"]
        assert "parameters" not in operation  # `request` is the framework's, not a query parameter


# ---- the module itself ---------------------------------------------------------------------------
BODY_NAMES = ["asyncio", "datetime", "os", "Any", "pd", "APIRouter", "Request", "JSONResponse", "logger",
              "BaseModel", "__version__", "_get_cache", "get_bars", "KlineCache", "_as_datetime", "router",
              "health", "info", "market_status", "snapshots", "BatchIntradayRequest", "_store_and_slim",
              "_process_ibkr_bars", "_process_yf_hist", "batch_intraday"]


def test_module_globals_in_body_order():
    bound = [name for name in vars(module) if name in BODY_NAMES]
    assert bound == [name for name in BODY_NAMES if name in bound]
    assert set(BODY_NAMES[:BODY_NAMES.index("info") + 1] + ["BatchIntradayRequest"]) <= set(bound)
    import asyncio as a, datetime as d, os as o, typing, pandas, fastapi, fastapi.responses, loguru
    from quorvane.data import loader as host_loader
    from quorvane.server import kline_cache
    assert (module.asyncio, module.datetime, module.os, module.Any, module.pd) == (a, d, o, typing.Any, pandas)
    assert (module.APIRouter, module.Request, module.JSONResponse) == (
        fastapi.APIRouter, fastapi.Request, fastapi.responses.JSONResponse)
    assert (module.logger, module.BaseModel) == (loguru.logger, pydantic.BaseModel)
    assert (module._get_cache, module.get_bars) == (host_loader._get_cache, host_loader.get_bars)
    assert (module.KlineCache, module._as_datetime) == (kline_cache.KlineCache, kline_cache._as_datetime)


MISSING_NAME = """
import importlib, sys, traceback
delattr(importlib.import_module({host!r}), {name!r})
for source in ("from {host} import {name}", "import quorvane.server.routes.health"):
    try:
        exec(source)
    except ImportError as e:
        print((str(e), e.name, e.path, e.name_from), traceback.extract_tb(e.__traceback__)[-1].name)
print("quorvane.server.routes.health" in sys.modules)
"""


@pytest.mark.parametrize("host, name", [("quorvane", "__version__"), ("quorvane.data.loader", "get_bars")])
def test_a_missing_host_name_fails_the_import_as_from_import_does(host, name):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    script = MISSING_NAME.format(host=host, name=name)
    expected, got, loaded = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                                           timeout=120, check=True).stdout.splitlines()
    assert got == expected.replace("<module>", "init quorvane.server.routes.health") and loaded == "False"


def test_router_and_route_functions():
    router = module.router
    assert (router.tags, router.prefix, router.dependencies) == (["health"], "", [])
    first = [(r.path, r.methods, r.endpoint) for r in router.routes[:2]]
    assert first == [("/api/v1/health", {"GET"}, module.health), ("/api/v1/info", {"GET"}, module.info)]
    assert inspect.iscoroutinefunction(module.health) and inspect.iscoroutinefunction(module.info)
    assert list(inspect.signature(module.health).parameters) == ["request"]
    assert list(inspect.signature(module.info).parameters) == []
    for bad_call in (lambda: module.info(1), lambda: module.health(), lambda: module.health(1, 2)):
        with pytest.raises(TypeError):
            bad_call()


def fake_request(**state):
    return SimpleNamespace(app=SimpleNamespace(state=State(state)))


def test_health_runs_in_one_step_and_passes_host_values_through(tok):
    connected, account, lag, stats = tok("connected"), tok("account"), tok("lag"), tok("stats")
    request = fake_request(icli_app=Recorder(connected=connected, accountId=account),
                           lagsentry=Sentry(snapshot_result=lag), live_flusher=Recorder(stats=stats))
    coroutine = module.health(request)
    with pytest.raises(StopIteration) as done:  # nothing awaited: one send completes it
        coroutine.send(None)
    payload = done.value.value
    assert [payload[k] for k in HEALTH_KEYS[3:]] == [connected, account, lag, stats]
    assert all(payload[k] is v for k, v in zip(HEALTH_KEYS[3:], (connected, account, lag, stats)))
    del payload, done, request, coroutine


class Abort(BaseException):
    pass


def test_connected_guard_catches_only_exceptions():
    request = fake_request(icli_app=Recorder(connected=Abort("stop")))
    with pytest.raises(Abort):
        asyncio.run(module.health(request))


def test_batch_intraday_request_model():
    model = module.BatchIntradayRequest
    assert issubclass(model, pydantic.BaseModel) and model.__module__ == module.__name__
    assert model.__annotations__ == {"symbols": "list[str]"}
    assert list(model.model_fields) == ["symbols"] and model.model_fields["symbols"].is_required()
    assert model(symbols=["AAPL", "msft"]).symbols == ["AAPL", "msft"]
    for bad in ({}, {"symbols": "AAPL"}, {"symbols": None}):
        with pytest.raises(pydantic.ValidationError):
            model(**bad)

"""Schemathesis over the served app's /openapi.json: every operation the schema lists (new routes
are picked up by themselves), a bounded number of generated requests each, valid and invalid.

Every answer must be a JSON payload of the route (2xx), a refusal (4xx) or a server error that the
route documents (the billing proxy's 503 for a backend that does not accept connections and 504 for
one that does not answer); the process must stay up throughout, with nothing on its error output
from the sanitizer or the interpreter's fatal-error handler. Yahoo Finance and the billing backend
are pointed at a closed loopback port, so every request stays on this machine and fails fast.

QUORVANE_FUZZ_EXAMPLES sets the number of requests per operation and generation mode (valid and
invalid; default 60). `make check` runs this file in each of its three builds.
"""
import asyncio
import os

import fastapi.routing
import httpx
import pytest
import requests
import schemathesis
import yfinance
from fastapi.encoders import jsonable_encoder
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis.errors import Unsatisfiable
from schemathesis import GenerationMode

from quorvane import plainjson
from quorvane.app import create_app
from quorvane.data import loader
from quorvane.data.demo import DEMO_SYMBOLS, seed_demo
from quorvane.guards import SurrogateSafeJSON
from service import Service, closed_url

EXAMPLES = int(os.environ.get("QUORVANE_FUZZ_EXAMPLES", "60"))
DOCUMENTED_5XX = {"/api/v1/billing/": {503, 504}, "/api/v1/user/usage": {503, 504}}

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    directory, closed = tmp_path_factory.mktemp("fuzz"), closed_url()
    env = {"HTTPS_PROXY": closed, "QUORVANE_BACKEND_URL": closed, "QUORVANE_PROXY_TIMEOUT": "5"}
    with Service("--data-dir", directory / "data", "--log-level", "warning", env=env,
                 log=directory / "serve.log") as svc:
        yield svc
        svc.assert_alive()


def check(service, case):
    try:
        response = case.call(base_url=service.base, timeout=60)
    except requests.ConnectionError:
        service.assert_alive()
        raise
    status = response.status_code
    if status >= 500:
        allowed = next((codes for prefix, codes in DOCUMENTED_5XX.items() if case.path.startswith(prefix)), set())
        assert status in allowed, f"{case.method} {case.formatted_path}: {status} {response.text[:500]}"
    elif status < 300:
        assert response.headers.get("content-type", [""])[0].startswith("application/json")
        assert isinstance(response.json(), (dict, list)), response.text[:500]


def fuzz(schema, check, examples):
    """`check(case)` over `examples` generated requests per operation and generation mode (valid and
    invalid): the operations' labels and the first failure of each operation and mode."""
    failures, operations = [], []
    for result in schema.get_all_operations():
        operation = result.ok()
        operations.append(operation.label)
        for mode in GenerationMode:
            @settings(max_examples=examples, deadline=None, database=None, derandomize=True,
                      phases=[Phase.explicit, Phase.generate], suppress_health_check=list(HealthCheck))
            @given(case=operation.as_strategy(generation_mode=mode))
            def run(case):
                check(case)

            try:
                run()
            except Unsatisfiable:  # nothing to make invalid: an operation without parameters
                pass
            except Exception as e:  # the first failure of an operation and mode; the others still run
                failures.append(f"{operation.label} ({mode.value}): {e}")
    return operations, failures


def test_every_answer_is_a_payload_a_refusal_or_a_documented_error(service):
    def checked(case):
        check(service, case)
        service.assert_alive()

    operations, failures = fuzz(schemathesis.openapi.from_url(f"{service.base}/openapi.json"), checked, EXAMPLES)
    assert "POST /api/v1/batch-intraday" in operations and "GET /api/v1/market-status" in operations
    assert not failures, "\n\n".join(failures)


def test_plain_json_answers_are_fastapis_bytes(tmp_path, monkeypatch):
    """Every payload a route hands the framework, for the fuzzer's requests and the demo symbols',
    rendered by the plain-JSON path as FastAPI's own path renders it; the worker thread's
    piecewise rendering is forced on all but the smallest."""
    closed = closed_url()
    for name, value in {"HTTPS_PROXY": closed, "QUORVANE_BACKEND_URL": closed, "QUORVANE_PROXY_TIMEOUT": "5"}.items():
        monkeypatch.setenv(name, value)
    # the routes set yfinance's process-wide proxy from HTTPS_PROXY: undone after the test
    network = yfinance.config.network
    monkeypatch.setitem(network.data, "proxy", network.proxy)
    app = create_app(tmp_path)
    seed_demo(loader._get_cache())
    monkeypatch.setattr(plainjson, "_LOOP_NODES", 50)
    monkeypatch.setattr(plainjson, "_PIECE_NODES", 3)
    hook, answers = fastapi.routing.serialize_response, []

    async def compare(*, response_content, **kwargs):
        theirs = SurrogateSafeJSON(jsonable_encoder(response_content)).body
        content = await hook(response_content=response_content, **kwargs)
        answers.append((content is response_content, SurrogateSafeJSON(content).body == theirs, content))
        return content

    async def demo_requests():
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://test") as client:
            await client.post("/api/v1/batch-intraday", json={"symbols": list(DEMO_SYMBOLS) * 20})
            await client.get(f"/api/v1/snapshots?symbols={','.join(DEMO_SYMBOLS)}")
            await client.get("/api/v1/formulas/batch?symbol=AAPL&ind=MA(5)&ind=MACD&ind=BOLL")

    monkeypatch.setattr(fastapi.routing, "serialize_response", compare)
    try:
        asyncio.run(demo_requests())
        _, failures = fuzz(schemathesis.openapi.from_asgi("/openapi.json", app), lambda case: case.call(),
                           EXAMPLES // 4)
    finally:
        loader.close_cache()
    assert not failures and [repr(c)[:300] for _, same, c in answers if not same] == []
    assert sum(plain for plain, _, _ in answers) > len(answers) / 2

"""`python -m quorvane serve` end to end: the status routes over real HTTP through uvicorn.

(tests/host/test_app.py covers the seeding and the clean shutdown of the same command; this
module checks what the running service answers.)
"""
import httpx
import pytest

import quorvane
from service import Service


@pytest.fixture
def service(tmp_path):
    """Base URL of a freshly started service on a free loopback port; stopped afterwards."""
    with Service("--data-dir", tmp_path, "--log-level", "warning") as service:
        yield service.base


def test_status_routes_over_http(service):
    with httpx.Client(base_url=service, timeout=10) as client:
        health = client.get("/api/v1/health")
        info = client.get("/api/v1/info?verbose=1")
        docs = client.get("/docs")
    assert health.status_code == 200 and health.headers["content-type"] == "application/json"
    body = health.json()
    # offline service: no terminal app, no flusher; the lag monitor runs from the lifespan
    assert {k: v for k, v in body.items() if k != "loop_lag"} == {
        "status": "ok", "service": "quorvane", "version": quorvane.__version__,
        "ib_connected": False, "account_id": None, "live_bar_flusher": None}
    assert list(body) == ["status", "service", "version", "ib_connected", "account_id", "loop_lag",
                          "live_bar_flusher"]
    assert list(body["loop_lag"]) == ["lag_ms", "max_lag_ms"]
    assert info.status_code == 200
    assert list(info.json()) == ["name", "version", "docs"]
    assert info.json()["name"] == "Quorvane" and info.json()["version"] == quorvane.__version__
    assert docs.status_code == 200 and "swagger" in docs.text.lower()

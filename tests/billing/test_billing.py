"""The billing proxy through the real app against a billing backend stand-in: a real HTTP server
on 127.0.0.1 that records what reaches it and answers from a script (bench's raw one: as sent)."""
import asyncio
import gzip
import inspect
import subprocess
import sys
import threading
import time
from pathlib import Path
from types import SimpleNamespace

import httpx
import pytest
import uvicorn
from starlette.applications import Starlette
from starlette.datastructures import QueryParams
from starlette.responses import Response
from starlette.routing import Route

from baseline import billing as baseline
from quorvane.server.routes import billing
from service import free_port


class Backend:
    """Records (method, path, raw query, headers, body); answers `reply` (status, header pairs,
    body), after `delay` seconds."""

    def __init__(self):
        self.seen, self.reply, self.delay = [], (200, [], b"{}"), 0.0
        app = Starlette(routes=[Route("/{path:path}", self.answer, methods=["GET", "POST"])])
        self.port = free_port()
        self.server = uvicorn.Server(uvicorn.Config(app, host="127.0.0.1", port=self.port, log_level="error"))
        self.thread = threading.Thread(target=self.server.run, daemon=True)
        self.thread.start()
        for _ in range(200):
            if self.server.started:
                break
            time.sleep(0.02)
        self.url = f"http://127.0.0.1:{self.port}"

    async def answer(self, request):
        self.seen.append((request.method, request.url.path, request.url.query, request.headers.raw,
                          await request.body()))
        await asyncio.sleep(self.delay)
        status, headers, body = self.reply
        response = Response(body, status_code=status)
        response.raw_headers.extend(headers)
        return response

    def stop(self):
        self.server.should_exit = True
        self.thread.join(5)


@pytest.fixture
def backend(monkeypatch):
    server = Backend()
    monkeypatch.setattr(billing, "BACKEND_URL", server.url)
    monkeypatch.delenv("QUORVANE_API_KEY", raising=False)
    monkeypatch.delenv("QUORVANE_PROXY_TIMEOUT", raising=False)
    yield server
    server.stop()


@pytest.fixture(scope="module")
def raw_backend():
    """The load benchmark's backend stand-in: it answers with the header lines and body it read."""
    standin = Path(__file__).resolve().parents[2] / "bench" / "standins" / "billing_backend.py"
    proc = subprocess.Popen([sys.executable, standin], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    yield "http://127.0.0.1:" + proc.stdout.readline().split()[1]
    proc.kill()
    proc.wait()


def test_module_body():
    assert [(r.path, sorted(r.methods)) for r in billing.router.routes] == [
        ("/api/v1/billing/charge", ["POST"]), ("/api/v1/billing/ledger", ["GET"]), ("/api/v1/billing/wallet", ["GET"]),
        ("/api/v1/billing/usage", ["GET"]), ("/api/v1/user/usage", ["GET"])]
    assert str(inspect.signature(billing.proxy_billing)) == "(request: starlette.requests.Request)"
    assert billing.router.tags == ["billing"] and billing.__doc__ == "Billing routes — proxy to backend."


def test_forwarding(call_app, backend, monkeypatch):
    monkeypatch.setenv("QUORVANE_API_KEY", "k-123")
    call_app(("GET /api/v1/billing/wallet?a=1&a=2&b=%20x", {"headers": {"X-Api-Key": "client", "Content-Length": "0",
                                                                          "x-odd": "ü".encode(), "x-long": "v" * 8000}}),
             ("POST /api/v1/billing/charge", {"content": bytes(range(256)) * 4096}))
    (method, path, query, headers, body), (post, _, _, _, raw) = backend.seen
    assert (method, path, query, body) == ("GET", "/api/v1/billing/wallet", "a=1&a=2&b=+x", b"")
    sent = dict(headers)
    assert sent[b"x-api-key"] == b"k-123" and sent[b"x-odd"] == "ü".encode() and len(sent[b"x-long"]) == 8000
    assert [k for k, _ in headers].count(b"x-api-key") == 1 and sent[b"host"] == f"127.0.0.1:{backend.port}".encode()
    assert (post, raw) == ("POST", bytes(range(256)) * 4096)


def test_empty_key_without_the_variable(call_app, backend):
    call_app("GET /api/v1/user/usage")
    assert dict(backend.seen[0][3])[b"x-api-key"] == b""


@pytest.mark.parametrize("status", [200, 402, 500])
def test_answers_passed_back(backend, status):
    payload = b'{"balance": 12}' * 100
    backend.reply = (status, [(b"content-type", b"application/json"), (b"content-encoding", b"gzip"),
                              (b"x-trace", b"t1"), (b"x-trace", b"t2"), (b"x-name", "é".encode()),
                              (b"set-cookie", b"a=1; Path=/"), (b"set-cookie", b"b=2; Path=/; HttpOnly")],
                     gzip.compress(payload))
    app = __import__("fastapi").FastAPI()
    app.include_router(billing.router)
    port = free_port()
    server = uvicorn.Server(uvicorn.Config(app, host="127.0.0.1", port=port, log_level="error"))
    thread = threading.Thread(target=server.run, daemon=True)
    thread.start()
    try:
        while not server.started:
            time.sleep(0.02)
        reply = httpx.get(f"http://127.0.0.1:{port}/api/v1/billing/ledger", timeout=10)   # a real client, real sockets
    finally:
        server.should_exit = True
        thread.join(5)
    assert (reply.status_code, reply.content) == (status, payload)
    assert reply.headers.get_list("set-cookie") == ["a=1; Path=/", "b=2; Path=/; HttpOnly"]
    assert dict(reply.cookies) == {"a": "1", "b": "2"}
    assert reply.headers["x-trace"] == "t1, t2" and dict(reply.headers.raw)[b"x-name"] == "é".encode()
    assert "content-encoding" not in reply.headers and reply.headers["content-length"] == str(len(payload))


@pytest.mark.parametrize("lines, forwarded", [
    ([("transfer-encoding", "chunked"), ("x-trace", "t1")], [("x-trace", "t1")]),   # one framing: httpx's length
    ([("x-api-key", "client"), ("accept", "text/a"), ("x-forwarded-for", "10.0.0.1"), ("accept", "text/b"),
      ("x-forwarded-for", "10.0.0.2"), ("x-api-key", "again")],                    # every value, in order; our key
     [("accept", "text/a"), ("x-forwarded-for", "10.0.0.1"), ("accept", "text/b"), ("x-forwarded-for", "10.0.0.2")]),
    ([("connection", "close, X-Secret "), ("x-secret", "s"), ("connection", "X-OTHER"), ("x-other", "o"),
      ("keep-alive", "timeout=5"), ("proxy-connection", "keep-alive"), ("te", "trailers"), ("trailer", "x-sum"),
      ("upgrade", "h2c"), ("x-kept", "v")], [("x-kept", "v")]),                     # hop-by-hop and what they name
])
def test_header_lines_at_the_backend(call_app, raw_backend, monkeypatch, lines, forwarded):
    monkeypatch.setattr(billing, "BACKEND_URL", raw_backend)
    monkeypatch.setenv("QUORVANE_API_KEY", "k")
    seen = call_app(("POST /api/v1/billing/charge", {"headers": lines, "content": b'{"amount": 5}'}))[0].json()
    names = {name for name, _ in lines} | {"x-api-key", "content-length", "transfer-encoding", "connection"}
    assert [(name.lower(), value) for name, value in seen["headers"] if name.lower() in names] == [
        ("connection", "keep-alive"), *forwarded, ("x-api-key", "k"), ("content-length", "13")]   # httpx's own hop
    assert seen["body"] == '{"amount": 5}'


class TimeoutSpy:
    """What the proxy sees as `httpx`: the real module, with the timeouts it makes recorded."""

    def __init__(self):
        self.made = []

    def __getattr__(self, name):
        return getattr(httpx, name)

    def Timeout(self, *args):
        self.made.append(httpx.Timeout(*args))
        return self.made[-1]


def test_unreachable_and_slow(call_app, backend, monkeypatch):
    spy = TimeoutSpy()
    monkeypatch.setattr(billing, "httpx", spy)
    backend.delay = 1.0
    monkeypatch.setenv("QUORVANE_PROXY_TIMEOUT", "0.25")
    slow = call_app("GET /api/v1/billing/usage")[0]
    assert [(t.connect, t.read, t.write, t.pool) for t in spy.made] == [(0.25,) * 4]   # one limit, every phase
    target = backend.url + "/api/v1/billing/usage"
    assert (slow.status_code, slow.json()) == (504, {"success": False, "error": {
        "code": "PROXY_TIMEOUT", "message": "Backend timeout: " + target}})
    backend.stop()
    down = call_app("GET /api/v1/billing/usage")[0]
    assert (down.status_code, down.json()) == (503, {"success": False, "error": {
        "code": "BACKEND_UNAVAILABLE", "message": "Backend unreachable: " + target}})


class ClientSpy:
    """What the proxy sees as `httpx`: the real module, but its client records the keywords of each
    request and answers `reply`."""

    def __init__(self, reply):
        self.reply, self.requests, self.clients = reply, [], []

    def __getattr__(self, name):
        return getattr(httpx, name)

    def AsyncClient(self, **options):
        self.clients.append(options)
        return self

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        return None

    async def request(self, **options):
        self.requests.append(options)
        return self.reply


def test_what_the_client_is_given(call_app, monkeypatch):
    answer = SimpleNamespace(content=b"no funds", status_code=402, headers={"X-Trace": "t1, t2", "content-length": "8"})
    spy = ClientSpy(answer)                                       # an answer of the three fields the proxy reads
    monkeypatch.setattr(billing, "httpx", spy)
    monkeypatch.setenv("QUORVANE_API_KEY", "k")
    reply, _ = call_app(*[("GET /api/v1/billing/wallet?a=1&b=2", {"headers": {"x-thing": "v"}})] * 2)
    assert (reply.status_code, reply.content, reply.headers["x-trace"]) == (402, b"no funds", "t1, t2")
    sent = spy.requests[0]
    assert sent["headers"][-2:] == [("x-thing", "v"), ("x-api-key", "k")]                # text, as the app gives it
    assert sent["url"] == billing.BACKEND_URL + "/api/v1/billing/wallet"               # the query goes as params:
    assert isinstance(sent["params"], QueryParams) and dict(sent["params"]) == {"a": "1", "b": "2"}   # the app's own
    first, second = (options["verify"] for options in spy.clients)       # one TLS context, as httpx makes its default
    default = httpx.create_ssl_context()
    assert first is second and [(c.verify_mode, c.options, c.cert_store_stats()) for c in (first, default)] == [
        (default.verify_mode, default.options, default.cert_store_stats())] * 2


@pytest.mark.parametrize("case, error", [
    ("target", "name 'BACKEND_URL' is not defined"),   # read before the request's url
    ("client", "no attribute 'request'"),              # the client's method, before the request's
    ("answer", "no attribute 'content'"),              # the answer's content, before its status
])
@pytest.mark.parametrize("module", [billing, baseline])
def test_reads_in_order(monkeypatch, module, case, error):
    request = SimpleNamespace(url=SimpleNamespace(path="/p"), headers={}, method="GET", body=lambda: asyncio.sleep(0),
                              query_params=QueryParams(""))             # the body: None
    monkeypatch.setattr(module, "httpx", ClientSpy(object()))
    if case == "target":
        monkeypatch.delattr(module, "BACKEND_URL")
        request = SimpleNamespace()
    elif case == "client":
        monkeypatch.setattr(ClientSpy, "__aenter__", lambda spy: asyncio.sleep(0))   # the client: None
        del request.method
    with pytest.raises((NameError, AttributeError), match=error):
        asyncio.run(module.proxy_billing(request))


def test_bad_timeout_and_wrong_method(call_app, backend, monkeypatch):
    monkeypatch.setenv("QUORVANE_PROXY_TIMEOUT", "soon")
    bad, wrong = call_app("GET /api/v1/billing/wallet", "POST /api/v1/billing/wallet")
    assert (bad.status_code, wrong.status_code) == (500, 405) and backend.seen == []


@pytest.mark.parametrize("kib, status", [(1024, 200), (16 << 10, 413)])   # the app takes at most 1 MiB
def test_large_bodies(call_app, backend, kib, status):
    body = bytes(range(256)) * (4 * kib)
    reply = call_app(("POST /api/v1/billing/charge", {"content": body, "headers": {"content-type": "x/y"}}))[0]
    assert reply.status_code == status
    assert [seen[4] for seen in backend.seen] == ([body] if status == 200 else [])

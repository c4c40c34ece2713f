"""What the reference app puts between the network and the route modules.

The routes do what they are asked: batch-intraday takes any number of symbols, and
market-status builds its exchange calendar on the event loop at every call. One
hostile or careless client could therefore exhaust the process's memory or stall
every other request. The app guards against that with two ASGI middlewares:

* `RequestGuards` refuses a request body over the size limit and a batch-intraday
  request over the symbol cap, both with a 413 and a JSON error body, before any
  route runs;
* `SurrogateSafeJSON`, the app's response class, writes a text that UTF-8 cannot
  encode (a lone surrogate, which JSON request text may carry and a route may echo
  in an error line) as a JSON escape instead of failing the response;
* `MarketStatusCache` answers GET /api/v1/market-status from a response cache kept
  per exchange for a short time; concurrent misses for the same exchange share one
  computation, so the route runs at most once per exchange and time-to-live.

Each limit has an environment variable (read when the app is built) and a
`quorvane serve` option; `serve_options` also bounds uvicorn's graceful shutdown
and shortens the lag monitor's interval.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import time

from fastapi.encoders import jsonable_encoder
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse
from starlette.datastructures import Headers, QueryParams

MAX_BODY_ENV = "QUORVANE_MAX_BODY_BYTES"
MAX_BATCH_SYMBOLS_ENV = "QUORVANE_MAX_BATCH_SYMBOLS"
MARKET_STATUS_TTL_ENV = "QUORVANE_MARKET_STATUS_TTL"
GRACEFUL_TIMEOUT_ENV = "QUORVANE_GRACEFUL_TIMEOUT"
LAG_INTERVAL_ENV = "QUORVANE_LAGSENTRY_SEC"  # read by the lag monitor itself

DEFAULT_MAX_BODY = 1024 * 1024
DEFAULT_MAX_BATCH_SYMBOLS = 1000
DEFAULT_MARKET_STATUS_TTL = 1.0
DEFAULT_GRACEFUL_TIMEOUT = 10.0
# A stall is seen only when a timer of the monitor comes due during it: with a 1 s
# interval, stalls of a fixed 1 s rhythm can fall between the wake-ups and go unseen.
SERVE_LAG_INTERVAL = 0.1

BATCH_INTRADAY_PATH = "/api/v1/batch-intraday"
MARKET_STATUS_PATH = "/api/v1/market-status"
_MAX_CACHED_QUERIES = 256  # distinct exchanges kept at once (unknown names answer fast, but are many)
_now = time.monotonic


def _setting(name: str, default, convert):
    """The environment variable `name` converted, `default` when unset or empty; a bad value raises
    ValueError naming the variable."""
    text = os.environ.get(name)
    if not text:
        return default
    try:
        value = convert(text)
    except ValueError:
        raise ValueError(f"{name} must be a non-negative number, got {text!r}") from None
    if value < 0:
        raise ValueError(f"{name} must be a non-negative number, got {text!r}")
    return value


def _json_response(status: int, payload: dict, close: bool = False):
    body = json.dumps(payload, separators=(",", ":")).encode()
    headers = [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]
    if close:  # the rest of the body is never read: the connection cannot carry another request
        headers.append((b"connection", b"close"))
    return [{"type": "http.response.start", "status": status, "headers": headers},
            {"type": "http.response.body", "body": body}]


async def _send_all(send, messages) -> None:
    for message in messages:
        await send(dict(message))


class SurrogateSafeJSON(JSONResponse):
    """JSON as FastAPI writes it (UTF-8, non-ASCII as is); a text with a lone surrogate has no
    UTF-8 form, so such a body is written with ASCII escapes, which JSON readers decode back."""

    def render(self, content) -> bytes:
        try:
            return super().render(content)
        except UnicodeEncodeError:
            return json.dumps(content, ensure_ascii=True, allow_nan=False, separators=(",", ":")).encode()


async def _validation_error(request, exc: RequestValidationError):
    # FastAPI's own handler, with the response class that can echo any input text
    return SurrogateSafeJSON({"detail": jsonable_encoder(exc.errors())}, status_code=422)


class RequestGuards:
    """Request-body size limit for every route, symbol cap for batch-intraday (413, JSON error).

    A body is read whole before the route runs (it is at most `max_body` bytes), so a
    body announced too large is refused without reading it, and a chunked one as soon
    as it grows past the limit.
    """

    def __init__(self, app, max_body: int, max_batch_symbols: int) -> None:
        self.app = app
        self.max_body = max_body
        self.max_batch_symbols = max_batch_symbols

    def _too_large(self, close: bool):
        return _json_response(413, {"success": False, "error": (
            f"request body too large: at most {self.max_body} bytes are accepted")}, close)

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        headers = Headers(scope=scope)
        length = headers.get("content-length")
        if length is None and "chunked" not in headers.get("transfer-encoding", "").lower():
            return await self.app(scope, receive, send)  # no body
        if length is not None and length.isdigit() and int(length) > self.max_body:
            return await _send_all(send, self._too_large(close=True))

        chunks, size = [], 0
        while True:
            message = await receive()
            if message["type"] != "http.request":  # the client went away
                return
            chunk = message.get("body", b"")
            size += len(chunk)
            if size > self.max_body:
                return await _send_all(send, self._too_large(close=True))
            chunks.append(chunk)
            if not message.get("more_body", False):
                break
        body = b"".join(chunks)

        if scope["method"] == "POST" and scope["path"] == BATCH_INTRADAY_PATH:
            count = self._symbol_count(body)
            if count > self.max_batch_symbols:
                return await _send_all(send, _json_response(413, {"success": False, "error": (
                    f"too many symbols: batch-intraday takes at most {self.max_batch_symbols} "
                    f"symbols per request, got {count}")}))

        replayed = False

        async def replay():
            nonlocal replayed
            if replayed:
                return await receive()  # a later read waits for the disconnect, as it would have
            replayed = True
            return {"type": "http.request", "body": body, "more_body": False}

        await self.app(scope, replay, send)

    @staticmethod
    def _symbol_count(body: bytes) -> int:
        """Length of the body's "symbols" list; 0 when the body is not such an object (the
        route's own validation answers it)."""
        try:
            symbols = json.loads(body).get("symbols")
        except (ValueError, AttributeError, RecursionError):
            return 0
        return len(symbols) if isinstance(symbols, list) else 0


class MarketStatusCache:
    """GET /api/v1/market-status answered from the response of the last `ttl` seconds.

    The answer depends only on the "exchange" query values (and the clock), so they are
    the key: other query text cannot push the route into recomputing. The first request
    of a key runs the route in a task of its own, and every request for that key until
    the answer is there awaits the same task, so a client that goes away does not cancel
    the others' answer. Only status-200 answers are kept; a failure reaches every
    request that waited for it and is not cached.
    """

    def __init__(self, app, ttl: float) -> None:
        self.app = app
        self.ttl = ttl
        self._answers: dict[tuple, tuple[float, list]] = {}  # key -> (expiry, response messages)
        self._pending: dict[tuple, asyncio.Task] = {}

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] != "http" or scope["method"] != "GET" or scope["path"] != MARKET_STATUS_PATH:
            return await self.app(scope, receive, send)
        key = tuple(QueryParams(scope.get("query_string", b"")).getlist("exchange"))
        now = _now()
        cached = self._answers.get(key)
        if cached is not None and cached[0] > now:
            return await _send_all(send, cached[1])
        task = self._pending.get(key)
        if task is None:
            task = asyncio.ensure_future(self._compute(scope, key))
            self._pending[key] = task
        await _send_all(send, await asyncio.shield(task))

    async def _compute(self, scope, key: tuple) -> list:
        messages = []

        async def receive():
            if not messages:
                return {"type": "http.request", "body": b"", "more_body": False}
            return {"type": "http.disconnect"}

        async def capture(message):
            messages.append(message)

        try:
            await self.app(scope, receive, capture)
        finally:
            del self._pending[key]
        if messages and messages[0].get("status") == 200:
            now = _now()
            for stale in [k for k, (expiry, _) in self._answers.items() if expiry <= now]:
                del self._answers[stale]
            if len(self._answers) >= _MAX_CACHED_QUERIES:
                del self._answers[next(iter(self._answers))]
            self._answers[key] = (now + self.ttl, messages)
        return messages


def install(app) -> None:
    """Add the guards to `app` with the limits of the environment (defaults when unset).

    Called before the routers are included: they take the app's response class then.
    """
    app.router.default_response_class = SurrogateSafeJSON
    app.add_exception_handler(RequestValidationError, _validation_error)
    ttl = _setting(MARKET_STATUS_TTL_ENV, DEFAULT_MARKET_STATUS_TTL, float)
    if ttl > 0:
        app.add_middleware(MarketStatusCache, ttl=ttl)
    # added last: the outermost layer, so an oversized request never reaches the cache or a route
    app.add_middleware(RequestGuards,
                       max_body=_setting(MAX_BODY_ENV, DEFAULT_MAX_BODY, int),
                       max_batch_symbols=_setting(MAX_BATCH_SYMBOLS_ENV, DEFAULT_MAX_BATCH_SYMBOLS, int))


def add_serve_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("limits", "Guards against requests that would exhaust the process.")
    group.add_argument("--max-body-bytes", type=int,
                       help=f"largest request body accepted (default: ${MAX_BODY_ENV}, else {DEFAULT_MAX_BODY})")
    group.add_argument("--max-batch-symbols", type=int,
                       help=f"most symbols of one batch-intraday request (default: ${MAX_BATCH_SYMBOLS_ENV}, "
                            f"else {DEFAULT_MAX_BATCH_SYMBOLS})")
    group.add_argument("--market-status-ttl", type=float,
                       help=f"seconds a market-status answer is reused, 0 for none (default: "
                            f"${MARKET_STATUS_TTL_ENV}, else {DEFAULT_MARKET_STATUS_TTL:g})")
    group.add_argument("--graceful-timeout", type=float,
                       help=f"seconds shutdown waits for requests in flight before cancelling them "
                            f"(default: ${GRACEFUL_TIMEOUT_ENV}, else {DEFAULT_GRACEFUL_TIMEOUT:g})")
    group.add_argument("--lag-interval", type=float,
                       help=f"seconds between the lag monitor's wake-ups (default: ${LAG_INTERVAL_ENV}, "
                            f"else {SERVE_LAG_INTERVAL:g})")


def serve_options(args: argparse.Namespace) -> dict:
    """Put the serve options where the app reads them (its environment) and return uvicorn's
    keyword arguments. Raises ValueError for a bad value."""
    for env, value in ((MAX_BODY_ENV, args.max_body_bytes), (MAX_BATCH_SYMBOLS_ENV, args.max_batch_symbols),
                       (MARKET_STATUS_TTL_ENV, args.market_status_ttl), (LAG_INTERVAL_ENV, args.lag_interval)):
        if value is not None:
            os.environ[env] = str(value)
    os.environ.setdefault(LAG_INTERVAL_ENV, str(SERVE_LAG_INTERVAL))
    for env, convert in ((MAX_BODY_ENV, int), (MAX_BATCH_SYMBOLS_ENV, int), (MARKET_STATUS_TTL_ENV, float),
                         (LAG_INTERVAL_ENV, float)):
        _setting(env, 0, convert)  # a bad value fails here, before the server starts
    if float(os.environ[LAG_INTERVAL_ENV]) == 0:
        raise ValueError(f"{LAG_INTERVAL_ENV} must be a positive number of seconds")
    graceful = args.graceful_timeout
    if graceful is None:
        graceful = _setting(GRACEFUL_TIMEOUT_ENV, DEFAULT_GRACEFUL_TIMEOUT, float)
    if graceful < 0:
        raise ValueError(f"--graceful-timeout must be a non-negative number, got {graceful:g}")
    return {"timeout_graceful_shutdown": graceful}

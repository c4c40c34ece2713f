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
* `MarketStatusCache` answers GET /api/v1/market-status from the answer of the current
  exchange-local minute, computed off the event loop on a worker thread; concurrent
  misses for the same exchange share one computation, so the route runs at most once
  per exchange and minute, and never on the loop.

Each limit has an environment variable (read when the app is built) and a
`quorvane serve` option; `serve_options` also bounds uvicorn's graceful shutdown
and shortens the lag monitor's interval.
"""

from __future__ import annotations

import argparse
import asyncio
import datetime
import json
import os
from collections import OrderedDict
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import NamedTuple
from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

from fastapi.encoders import jsonable_encoder
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse
from loguru import logger
from starlette.datastructures import Headers, QueryParams
from starlette.requests import Request

from quorvane import plainjson
from quorvane.environment import setting

MAX_BODY_ENV = "QUORVANE_MAX_BODY_BYTES"
MAX_BATCH_SYMBOLS_ENV = "QUORVANE_MAX_BATCH_SYMBOLS"
GRACEFUL_TIMEOUT_ENV = "QUORVANE_GRACEFUL_TIMEOUT"
LAG_INTERVAL_ENV = "QUORVANE_LAGSENTRY_SEC"  # read by the lag monitor itself

DEFAULT_MAX_BODY = 1024 * 1024
DEFAULT_MAX_BATCH_SYMBOLS = 1000
DEFAULT_GRACEFUL_TIMEOUT = 10.0
# A stall is seen only when a timer of the monitor comes due during it: with a 1 s
# interval, stalls of a fixed 1 s rhythm can fall between the wake-ups and go unseen.
SERVE_LAG_INTERVAL = 0.1

BATCH_INTRADAY_PATH = "/api/v1/batch-intraday"
MARKET_STATUS_PATH = "/api/v1/market-status"
DEFAULT_EXCHANGE = "NYSE"  # the route's default for "exchange"
_MAX_KEPT_EXCHANGES = 256  # distinct exchanges kept at once (unknown names answer fast, but are many)


def _limit[N: (int, float)](name: str, default: N, convert: Callable[[str], N]) -> N:
    """The environment variable `name` as a non-negative number, `default` when unset or blank."""
    def non_negative(text: str) -> N:
        value = convert(text)
        if value < 0:
            raise ValueError(text)
        return value

    return setting(name, non_negative, default, invalid="{name} must be a non-negative number, got {text!r}")


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
        body = plainjson.rendered(content)  # this content's bytes, made off the event loop
        if body is not None:
            return body
        try:
            return super().render(content)
        except UnicodeEncodeError:
            return json.dumps(content, ensure_ascii=True, allow_nan=False, separators=(",", ":")).encode()


async def _validation_error(request, exc: RequestValidationError):
    # FastAPI's own handler, with the response class that can echo any input text
    return SurrogateSafeJSON({"detail": jsonable_encoder(exc.errors())}, status_code=422)


def _utc_now() -> datetime.datetime:
    # read through the module at each call, as the route reads it
    return datetime.datetime.now(datetime.timezone.utc)


def _minute(instant: datetime.datetime, zone) -> tuple:
    """The wall-clock minute of `instant` in `zone`: what the route's answer depends on."""
    local = instant.astimezone(zone)
    return local.year, local.month, local.day, local.hour, local.minute


class _MarketStatus(NamedTuple):
    zone: datetime.tzinfo  # the exchange's (UTC for an error payload)
    stamp: tuple | None  # the _minute the answer is of; None: not known, so not kept
    messages: list  # the response, as ASGI messages


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
    """GET /api/v1/market-status answered from the answer of the current minute of the exchange.

    The route's answer is a function of the exchange as the query names it and of the
    exchange-local calendar minute only: it reads the clock once, and uses the local date and
    the hour and minute of that reading. So an answer kept per exchange until the next local
    minute boundary (its (year, month, day, hour, minute) stamp still current) equals a fresh
    call of the route. An unknown name's error payload reads no clock; it is kept to the next
    UTC minute. The "exchange" query value is the key, so other query text cannot push the
    route into recomputing; at most `max_kept` exchanges are kept, the least recently asked
    for dropped first.

    A miss runs the route's coroutine to completion on the cache's one worker thread, in a
    private event loop there (the route awaits nothing), so the calendar work never holds the
    event loop; one thread also means that two calendar computations never run at once. The
    requests that want the same exchange meanwhile await that computation through `shield`
    (a client that goes away cancels nobody's answer). A computation that began before a
    request, in an earlier minute, does not answer it: the request starts its own. A failure
    reaches every request that waited for it and is not kept.
    """

    def __init__(self, route, max_kept: int = _MAX_KEPT_EXCHANGES) -> None:
        self.route = route
        self.max_kept = max_kept
        self._answers: OrderedDict[str, _MarketStatus] = OrderedDict()
        self._pending: dict[str, asyncio.Future] = {}
        self._executor: ThreadPoolExecutor | None = None
        self._loop: asyncio.AbstractEventLoop | None = None  # the worker thread's

    def middleware(self, app):
        """The ASGI middleware that answers the route from this cache and passes the rest to `app`."""
        async def market_status_cache(scope, receive, send) -> None:
            if scope["type"] != "http" or scope["method"] != "GET" or scope["path"] != MARKET_STATUS_PATH:
                return await app(scope, receive, send)
            # the value the framework would hand the route: the last "exchange", else the default
            exchange = QueryParams(scope.get("query_string", b"")).get("exchange", DEFAULT_EXCHANGE)
            await _send_all(send, await self.answer(exchange, Request(scope)))
        return market_status_cache

    async def answer(self, exchange: str, request=None) -> list:
        """The response messages of the route's answer for `exchange`, as of now."""
        arrival = _utc_now()
        kept = self._answers.get(exchange)
        if kept is not None and kept.stamp == _minute(arrival, kept.zone):
            self._answers.move_to_end(exchange)
            return kept.messages
        earlier = self._pending.get(exchange)
        if earlier is not None:  # under way since before this request: its minute may be an earlier one
            computed = await asyncio.shield(earlier)
            if computed.stamp is not None and computed.stamp == _minute(arrival, computed.zone):
                return computed.messages
        # a computation that starts after this request arrived answers it, whatever its minute
        return (await asyncio.shield(self._computation(exchange, request))).messages

    async def warm(self, exchange: str = DEFAULT_EXCHANGE) -> None:
        """Compute `exchange`'s answer for no request (at start-up); a failure is logged."""
        try:
            await asyncio.shield(self._computation(exchange))
        except Exception as e:
            logger.warning("market-status warm-up failed: {!r}", e)

    def _computation(self, exchange: str, request=None) -> asyncio.Future:
        future = self._pending.get(exchange)
        if future is None:
            future = self._pending[exchange] = asyncio.ensure_future(self._compute(exchange, request))
        return future

    async def _compute(self, exchange: str, request) -> _MarketStatus:
        if self._executor is None:
            self._executor = ThreadPoolExecutor(1, thread_name_prefix="market-status")
        try:
            computed = await asyncio.get_running_loop().run_in_executor(self._executor, self._run, exchange, request)
        finally:
            del self._pending[exchange]
        if computed.stamp is not None:
            self._answers.pop(exchange, None)
            self._answers[exchange] = computed
            while len(self._answers) > self.max_kept:
                self._answers.popitem(last=False)
        return computed

    def _run(self, exchange: str, request) -> _MarketStatus:
        """On the worker thread: the route's answer, with the minute it belongs to (None when that
        is not certain: a minute boundary passed during the call, or the zone is not known)."""
        if self._loop is None:
            self._loop = asyncio.new_event_loop()
        started = _utc_now()
        payload = self._loop.run_until_complete(self.route(request, exchange))
        finished = _utc_now()
        # exactly what the framework answers for the route's dict
        response = SurrogateSafeJSON(jsonable_encoder(payload))
        messages = [{"type": "http.response.start", "status": response.status_code, "headers": response.raw_headers},
                    {"type": "http.response.body", "body": response.body}]
        zone: datetime.tzinfo = datetime.timezone.utc
        stamp = None
        try:
            if payload.get("success") is True:
                zone = ZoneInfo(payload["timezone"])  # the calendar's zone, by its key
        except (TypeError, KeyError, ValueError, ZoneInfoNotFoundError):
            pass  # no zone to read the minute in: the answer serves its own requests only
        else:
            if _minute(started, zone) == _minute(finished, zone):
                stamp = _minute(started, zone)
        return _MarketStatus(zone, stamp, messages)

    async def close(self) -> None:
        """Wait for the computations under way and stop the worker thread; a later miss starts another."""
        await asyncio.gather(*self._pending.values(), return_exceptions=True)
        executor, loop = self._executor, self._loop
        self._executor = self._loop = None
        if executor is not None:
            if loop is not None:
                executor.submit(loop.close)
            executor.shutdown(wait=True)


def install(app) -> MarketStatusCache:
    """Add the guards to `app` with the limits of the environment (defaults when unset); the
    market-status cache is also kept as ``app.state.market_status_cache``, for the lifespan to
    warm and close.

    Called before the routers are included: they take the app's response class then.
    """
    from quorvane.server.routes import health

    app.router.default_response_class = SurrogateSafeJSON
    app.add_exception_handler(RequestValidationError, _validation_error)
    app.state.market_status_cache = cache = MarketStatusCache(health.market_status)
    app.add_middleware(cache.middleware)
    # added last: the outermost layer, so an oversized request never reaches the cache or a route
    app.add_middleware(RequestGuards,
                       max_body=_limit(MAX_BODY_ENV, DEFAULT_MAX_BODY, int),
                       max_batch_symbols=_limit(MAX_BATCH_SYMBOLS_ENV, DEFAULT_MAX_BATCH_SYMBOLS, int))
    return cache


def add_serve_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("limits", "Guards against requests that would exhaust the process.")
    group.add_argument("--max-body-bytes", type=int,
                       help=f"largest request body accepted (default: ${MAX_BODY_ENV}, else {DEFAULT_MAX_BODY})")
    group.add_argument("--max-batch-symbols", type=int,
                       help=f"most symbols of one batch-intraday request (default: ${MAX_BATCH_SYMBOLS_ENV}, "
                            f"else {DEFAULT_MAX_BATCH_SYMBOLS})")
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
                       (LAG_INTERVAL_ENV, args.lag_interval)):
        if value is not None:
            os.environ[env] = str(value)
    os.environ.setdefault(LAG_INTERVAL_ENV, str(SERVE_LAG_INTERVAL))
    # a bad value fails here, before the server starts
    _limit(MAX_BODY_ENV, 0, int)
    _limit(MAX_BATCH_SYMBOLS_ENV, 0, int)
    _limit(LAG_INTERVAL_ENV, 0.0, float)
    if float(os.environ[LAG_INTERVAL_ENV]) == 0:
        raise ValueError(f"{LAG_INTERVAL_ENV} must be a positive number of seconds")
    graceful = args.graceful_timeout
    if graceful is None:
        graceful = _limit(GRACEFUL_TIMEOUT_ENV, DEFAULT_GRACEFUL_TIMEOUT, float)
    if graceful < 0:
        raise ValueError(f"--graceful-timeout must be a non-negative number, got {graceful:g}")
    return {"timeout_graceful_shutdown": graceful}

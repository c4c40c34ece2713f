"""Live one-minute bar subscriptions (keepUpToDate) for the tracked tickers.

TWS aggregates the full trade stream into its own one-minute bars and refreshes the forming bar
about every 5 seconds on a keepUpToDate historical-data subscription. The host aggregates bars
locally from throttled tick snapshots (about every 250 ms, several prints folded into one
update), which can give a too narrow high/low range and too little volume. So for up to MAX_SUBS
tracked tickers the manager keeps one such subscription open and feeds every server update of
the forming bar into the ticker's one-minute aggregator as the authoritative value. Broadcasting
and persistence stay with the host's aggregator pipeline.

IB paces historical-data requests: one subscription pass opens them one at a time, with
STAGGER_SECONDS after each.
"""
import asyncio
import os
import time

from loguru import logger

from quorvane.server.kline_cache import _EXCHANGE_TZ

MAX_SUBS = 50
STAGGER_SECONDS = 2.0
_BUST_ERROR_CODE = 10225


def _check_str(name, value):
    # The native argument binder refuses anything but an exact str, with this text.
    if type(value) is not str:
        raise TypeError(f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})")


# IB reports on a request without refusing it with the codes ib_async logs as warnings (the
# 2100-2199 family, 165, 10167, order messages), and ib_async re-requests a subscription after a
# bust (10225) itself; 321, a warning to ib_async because a modified order stays live, refuses a
# data request.
_NOT_REFUSALS = frozenset({105, 110, 165, 329, 399, 404, 434, 492, 10167, 10225})


def _refuses(code):
    return isinstance(code, int) and not (code in _NOT_REFUSALS or 2100 <= code < 2200)


def _bucket_start_epoch(dt):
    """Floor an aware datetime to its UTC minute grid (epoch seconds).

    The aggregator's buckets start on the plain UTC minute grid (alignment 0) and it drops a bar
    whose time is not exactly a bucket start as stale, so the time must be floored this way.
    """
    return int(dt.timestamp() // 60) * 60


class _SymbolSubscription:
    """One keepUpToDate BarDataList plus its update wiring."""

    __slots__ = ("bar_list", "iticker", "last_seen", "symbol")

    def __init__(self, symbol: str, iticker, bar_list):
        _check_str("symbol", symbol)
        self.symbol = symbol
        self.iticker = iticker
        self.bar_list = bar_list
        self.last_seen = 0.0


class BarwardenManager:
    """Owns the keepUpToDate subscription set and pumps overrides downstream."""

    def __init__(self, icli_app):
        self._app = icli_app
        self._subs = {}
        self._stagger_task = None
        self._bust_warned = {}
        self._error_handler = None
        self._update_handlers = {}

    async def start(self):
        if self._stagger_task is not None and not self._stagger_task.done():
            # One pass at a time: a second one would request symbols the first is requesting.
            return
        if os.environ.get("QUORVANE_BARWARDEN", "1") in ("0", "false", "False"):
            logger.info("barwarden disabled via QUORVANE_BARWARDEN")
            return
        if self._app is None:
            logger.info("barwarden: no icli app, staying idle")
            return
        ib = getattr(self._app, "ib", None)
        if ib is None:
            logger.info("barwarden: no ib session, staying idle")
            return
        if not getattr(self._app, "quoteState", None):
            logger.info("barwarden: no tracked tickers yet")
            return
        self._error_handler = self._on_ib_error
        ib.errorEvent += self._error_handler
        self._stagger_task = asyncio.create_task(self._subscribe_all())

    async def stop(self):
        ib = getattr(self._app, "ib", None)
        if self._stagger_task is not None:
            self._stagger_task.cancel()
            self._stagger_task = None
        for symbol, sub in list(self._subs.items()):
            try:
                if sub.bar_list.updateEvent:
                    sub.bar_list.updateEvent -= self._make_update_handler(symbol)
                if ib is not None:
                    ib.cancelHistoricalData(sub.bar_list)
            except Exception:
                logger.debug("barwarden teardown issue for {}", symbol)
        self._subs.clear()
        if ib is not None and self._error_handler is not None:
            try:
                ib.errorEvent -= self._error_handler
            except Exception:
                pass
        self._error_handler = None

    async def _subscribe_all(self):
        """Subscribe up to MAX_SUBS symbols, staggered to respect pacing."""
        ib = getattr(self._app, "ib", None)
        if ib is None or not ib.isConnected():
            return
        count = 0
        for iticker in list(self._app.quoteState.values()):
            if count >= MAX_SUBS:
                break
            symbol = getattr(iticker, "name", "?")
            if symbol in self._subs:
                continue
            try:
                await self._subscribe_one(symbol, iticker)
            except Exception:
                logger.warning("barwarden subscribe failed for {}", symbol)
                continue
            count += 1
            await asyncio.sleep(STAGGER_SECONDS)

    async def _subscribe_one(self, symbol: str, iticker):
        _check_str("symbol", symbol)
        ib = getattr(self._app, "ib", None)
        if ib is None:
            return
        contract = getattr(getattr(iticker, "ticker", None), "contract", None)
        if contract is None:
            return
        if not getattr(contract, "conId", 0):
            # a symbol IB does not know keeps the host's unqualified contract
            raise LookupError(f"IB knows no contract for {symbol}")
        refused = {}

        def _on_error(req_id, error_code, error_string, *_):
            if _refuses(error_code):
                refused.setdefault(req_id, (error_code, error_string))

        ib.errorEvent += _on_error
        try:
            bar_list = await ib.reqHistoricalDataAsync(
                contract,
                endDateTime="",
                durationStr="1 D",
                barSizeSetting="1 min",
                whatToShow="TRADES",
                useRTH=True,
                formatDate=2,
                keepUpToDate=True,
            )
        finally:
            ib.errorEvent -= _on_error
        if refused:
            # ib_async's default returns a refused request's list and raises nothing
            req_id = getattr(bar_list, "reqId", None)
            answer = refused.get(req_id)
            if answer is not None:
                from ib_async import RequestError

                raise RequestError(req_id, *answer)
        self._subs[symbol] = _SymbolSubscription(symbol, iticker, bar_list)
        bar_list.updateEvent += self._make_update_handler(symbol)
        logger.debug("barwarden subscribed {}", symbol)

    def _make_update_handler(self, symbol: str):
        """One closure per symbol; kept here so stop() can detach symmetrically."""
        _check_str("symbol", symbol)

        # The bar list's updateEvent emits (bars, hasNewBar); only the list is used.
        def _on_update(bar_list, *_):
            self._pump_authoritative(symbol, bar_list)

        existing = self._update_handlers.get(symbol)
        if existing is not None:
            return existing
        self._update_handlers[symbol] = _on_update
        return _on_update

    def _pump_authoritative(self, symbol: str, bar_list):
        """Feed the newest forming bar into the ticker's 1m aggregator.

        The server bar wins over the local tick aggregation of the same minute. Never raises into
        the update event's emitter: a failure is logged and the update dropped.
        """
        _check_str("symbol", symbol)
        try:
            sub = self._subs.get(symbol)
            if sub is None or len(bar_list) == 0:
                return
            aggregator = getattr(sub.iticker, "bars", {}).get(60)
            if aggregator is None or not hasattr(aggregator, "ingest_authoritative_bar"):
                return
            last = bar_list[-1]
            dt = last.date
            if dt is None:
                return
            if dt.tzinfo is None:
                dt = dt.replace(tzinfo=_EXCHANGE_TZ)
            from quorvane.tinyalgo import Bar

            bar = Bar(
                timestamp=float(_bucket_start_epoch(dt)),
                open=float(last.open),
                high=float(last.high),
                low=float(last.low),
                close=float(last.close),
                volume=float(last.volume) if last.volume else 0.0,
            )
            sub.last_seen = time.time()
            aggregator.ingest_authoritative_bar(bar)
        except Exception:
            logger.exception("barwarden pump failed for {}", symbol)

    def _on_ib_error(self, req_id, error_code, error_string, contract=None):
        if error_code != _BUST_ERROR_CODE:
            return
        now = time.time()
        key = getattr(contract, "symbol", None)
        if not key:
            # a live subscription's errors come without a contract: ib_async forgets it once the
            # first bars have arrived
            key = next((symbol for symbol, sub in list(self._subs.items())
                        if (answers := getattr(sub.bar_list, "reqId", None)) is not None and answers == req_id), "?")
        last = self._bust_warned.get(key, 0.0)
        if now - last > 300:
            self._bust_warned[key] = now
            logger.warning(
                "barwarden: bust trade reported for {} (10225); server bars already reflect the correction", key)

"""The terminal app of IB mode: one `ib_async.IB` session and the tickers it tracks.

The routes and the live bar subscriptions find it as ``app.state.icli_app``: `connected`,
`accountId`, `ib`, and `quoteState`, the tracked tickers by upper-case symbol. Each tracked ticker
feeds the trade prints of its market-data stream into its one-minute `BarAggregator`, whose forming
bar the server's bars then override (`quorvane.server.barwarden`).
"""

from __future__ import annotations

import asyncio
import contextlib
import math

from ib_async import Contract, Stock, Ticker
from loguru import logger

from quorvane.ib.pacing import PacedIB as IB  # ib_async's session, decoding a bounded amount per loop turn
from quorvane.live import BarAggregator

_LAST_TICKS = frozenset({4, 68})  # last trade price (live, delayed) with the trade's size


def _num(value) -> float | None:
    """A finite float, or None for IB's NaN placeholders and anything unusable."""
    try:
        out = float(value)
    except (TypeError, ValueError):
        return None
    return out if math.isfinite(out) else None


class ITicker:
    """One tracked symbol: its live `ib_async.Ticker` and its bar aggregators by bar seconds."""

    def __init__(self, symbol: str) -> None:
        self.name = symbol.strip().upper()
        self.ticker = Ticker(contract=Stock(self.name, "SMART", "USD"))
        self.bars = {60: BarAggregator(self.name)}

    def to_dict(self) -> dict:
        """The live quote, JSON-serialisable: fields IB has not sent yet are None."""
        t = self.ticker
        last, close = _num(t.last), _num(t.close)
        change = last - close if last is not None and close else None
        return {
            "symbol": self.name, "secType": getattr(t.contract, "secType", "") or "STK",
            "bid": _num(t.bid), "ask": _num(t.ask), "last": last, "close": close,
            "open": _num(t.open), "high": _num(t.high), "low": _num(t.low), "volume": _num(t.volume),
            "bidSize": _num(t.bidSize), "askSize": _num(t.askSize), "lastSize": _num(t.lastSize),
            "change": change, "changePercent": None if change is None or not close else round(change / close * 100, 2),
            "time": t.time.isoformat() if t.time else None, "source": "ibkr",
        }


class TerminalApp:
    """The IB session and the tracked tickers (``quoteState``) of IB mode.

    The session can be connected again after a drop (`connect` once more); its event handlers
    are wired once, here, and released by `close`.
    """

    def __init__(self, symbols, ib: IB | None = None) -> None:
        self.ib = IB() if ib is None else ib
        self.quoteState: dict[str, ITicker] = {}
        for symbol in symbols:
            it = ITicker(symbol)
            self.quoteState[it.name] = it
        self._dropped = asyncio.Event()
        self.ib.pendingTickersEvent += self._on_pending_tickers
        self.ib.disconnectedEvent += self._dropped.set

    @property
    def connected(self) -> bool:
        return bool(self.ib.isConnected())

    @property
    def accountId(self) -> str | None:
        accounts = self.ib.managedAccounts()
        return accounts[0] if accounts else None

    async def connect(self, host: str, port: int, client_id: int, timeout: float = 4.0) -> bool:
        """One connection attempt, then quotes of every tracked symbol; False when not connected.

        Each attempt is logged, and so is its failure (with the error IB sent, such as 326 for
        a client id in use). The tracked symbols are qualified anew and their market data
        requested on the new session (a drop ends every stream); a symbol IB does not know has
        no live quote.
        """
        self._dropped.clear()
        logger.info("IB: connecting to {}:{} as client {}", host, port, client_id)
        errors: list[str] = []
        closed = asyncio.get_running_loop().create_future()

        def on_error(req_id, code, text, contract=None):
            if not 2100 <= code < 2200:  # not one of the farm-status notices
                errors.append(f"error {code}: {text}")

        def on_closed(text):
            if not closed.done():
                closed.set_result(text)

        self.ib.errorEvent += on_error
        self.ib.client.conn.disconnected += on_closed
        attempt = asyncio.ensure_future(
            self.ib.connectAsync(host, port, clientId=client_id, timeout=timeout, readonly=True))
        try:
            await asyncio.wait((attempt, closed), return_when=asyncio.FIRST_COMPLETED)
            if not attempt.done():  # the socket ended before the API was ready: no use waiting
                raise ConnectionError(closed.result() or "the peer closed the connection")
            attempt.result()
        except Exception as e:
            logger.warning("IB: no connection to {}:{} (client id {}): {}; serving offline",
                           host, port, client_id, errors[-1] if errors else repr(e))
            return False
        finally:
            attempt.cancel()
            await asyncio.gather(attempt, return_exceptions=True)
            self.ib.errorEvent -= on_error
            self.ib.client.conn.disconnected -= on_closed
        logger.info("IB: connected to {}:{} as client {} (account {})", host, port, client_id, self.accountId)
        await self._stream_quotes()
        return True

    async def _stream_quotes(self) -> None:
        # one symbol after the other: its first quote is in before the next one's details
        for it in self.quoteState.values():
            if not self.connected:
                return
            try:
                found = await self.ib.qualifyContractsAsync(Stock(it.name, "SMART", "USD"))
                contract = found[0] if found else None
                if not isinstance(contract, Contract):  # None: unknown or ambiguous
                    logger.warning("IB: {} is not a known stock; no live quote", it.name)
                    continue
                it.ticker = self.ib.reqMktData(contract)
            except Exception as e:
                logger.warning("IB: market data for {} not subscribed: {!r}", it.name, e)

    async def wait_dropped(self, probe_seconds: float) -> None:
        """Return once the session has dropped.

        A session that delivered no message between two looks `probe_seconds` apart is asked for
        the server's time; when that brings no answer within as long (a peer that stopped
        answering, or a stream the decoder can no longer frame), it is disconnected as dropped.
        """
        seen = None  # messages received by the last look
        while not self._dropped.is_set():
            with contextlib.suppress(TimeoutError):
                await asyncio.wait_for(self._dropped.wait(), probe_seconds)
            if self._dropped.is_set():
                return
            before, seen = seen, self._messages()
            if seen != before:
                continue
            try:
                await asyncio.wait_for(self.ib.reqCurrentTimeAsync(), probe_seconds)
            except Exception as e:
                if not self._dropped.is_set():
                    logger.warning("IB: the session went silent and a time request brought no answer "
                                   "in {:g} s ({!r}); disconnecting", probe_seconds, e)
                    self.disconnect()

    def _messages(self) -> int:
        try:
            return self.ib.client.connectionStats().numMsgRecv
        except ConnectionError:
            return -1

    def disconnect(self) -> None:
        """End the session (a later `connect` may start another)."""
        self.ib.disconnect()
        self._dropped.set()

    def close(self) -> None:
        """End the session and release the handlers wired to it."""
        self.ib.pendingTickersEvent -= self._on_pending_tickers
        self.ib.disconnectedEvent -= self._dropped.set
        self.disconnect()

    def _on_pending_tickers(self, tickers) -> None:
        """Trade prints of the latest ticker updates into the one-minute aggregators."""
        for ticker in tickers:
            it = self.quoteState.get(getattr(ticker.contract, "symbol", ""))
            if it is None:
                continue
            aggregator = it.bars[60]
            for tick in ticker.ticks:
                if tick.tickType in _LAST_TICKS:
                    aggregator.ingest_tick(tick.price, tick.size, tick.time.timestamp())

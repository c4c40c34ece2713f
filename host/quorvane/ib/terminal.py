"""The terminal app of IB mode: one `ib_async.IB` session and the tickers it tracks.

The routes and the live bar subscriptions find it as ``app.state.icli_app``: `connected`,
`accountId`, `ib`, and `quoteState`, the tracked tickers by upper-case symbol. Each tracked ticker
feeds the trade prints of its market-data stream into its one-minute `BarAggregator`, whose forming
bar the server's bars then override (`quorvane.server.barwarden`).
"""

from __future__ import annotations

import math

from ib_async import Stock, Ticker
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
            "change": change, "changePercent": None if change is None else round(change / close * 100, 2),
            "time": t.time.isoformat() if t.time else None, "source": "ibkr",
        }


class TerminalApp:
    """The IB session and the tracked tickers (``quoteState``) of IB mode."""

    def __init__(self, symbols, ib: IB | None = None) -> None:
        self.ib = IB() if ib is None else ib
        self.quoteState: dict[str, ITicker] = {}
        for symbol in symbols:
            it = ITicker(symbol)
            self.quoteState[it.name] = it

    @property
    def connected(self) -> bool:
        return bool(self.ib.isConnected())

    @property
    def accountId(self) -> str | None:
        accounts = self.ib.managedAccounts()
        return accounts[0] if accounts else None

    async def connect(self, host: str, port: int, client_id: int, timeout: float = 4.0) -> bool:
        """Connect the session and stream quotes of every tracked symbol; False when not connected.

        Failures are logged: the app then serves offline, and a symbol IB does not know has no
        live quote.
        """
        try:
            await self.ib.connectAsync(host, port, clientId=client_id, timeout=timeout, readonly=True)
        except Exception as e:
            logger.warning("IB: no connection to {}:{} (client id {}): {!r}; serving offline",
                           host, port, client_id, e)
            return False
        logger.info("IB: connected to {}:{} as client {} (account {})", host, port, client_id, self.accountId)
        for it in self.quoteState.values():
            try:
                found = await self.ib.qualifyContractsAsync(it.ticker.contract)
                contract = found[0] if found else None
                if contract is None:
                    logger.warning("IB: {} is not a known stock; no live quote", it.name)
                    continue
                it.ticker = self.ib.reqMktData(contract)
            except Exception as e:
                logger.warning("IB: market data for {} not subscribed: {!r}", it.name, e)
        self.ib.pendingTickersEvent += self._on_pending_tickers
        return True

    def disconnect(self) -> None:
        self.ib.pendingTickersEvent -= self._on_pending_tickers
        self.ib.disconnect()

    def _on_pending_tickers(self, tickers) -> None:
        """Trade prints of the latest ticker updates into the one-minute aggregators."""
        for ticker in tickers:
            it = self.quoteState.get(getattr(ticker.contract, "symbol", None))
            if it is None:
                continue
            aggregator = it.bars[60]
            for tick in ticker.ticks:
                if tick.tickType in _LAST_TICKS:
                    aggregator.ingest_tick(tick.price, tick.size, tick.time.timestamp())

"""The simulated gateway: a loopback TCP server, one `_Session` per API client, fault switches.

`GatewaySim` owns the market (a `SymbolMarket` per tracked symbol), steps it every
`tick_interval` seconds and streams the changes to every market-data request, and sends the
forming bar of every keep-up-to-date request every `bar_update_seconds`. A `_Session` answers one
client's requests in the order they arrive. Nothing a client sends can end the server: a message
that does not decode is logged and dropped, a stream that cannot be framed any more ends that
session only.

Keep-up-to-date updates follow the trade stream: the forming minute is sent whatever the
request's useRTH says, so live bars move at any hour; the first answer keeps to the request's
hours.
"""

from __future__ import annotations

import asyncio
import socket
import struct
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass

from loguru import logger

from quorvane.data.demo import DEMO_SYMBOLS
from quorvane.ib.sim import protocol as p
from quorvane.ib.sim.market import QUOTE_FIELDS, SymbolMarket, contract_of

ACCOUNT = "DU1234567"
ERROR_TEXTS = {
    162: "Historical Market Data Service error message:Historical data request pacing violation",
    200: "No security definition has been found for the request",
    321: "Error validating request.-'bS' : cause - The request is not valid",
    326: "Unable to connect as the client id is already in use. Retry with a unique client id.",
    354: "Requested market data is not subscribed.",
    10225: "Bust event occurred, current subscription is deactivated. Please resubscribe real-time "
           "bars immediately.",
}
# what the gateway says after startApi: its data farms are up (informational codes)
_FARMS_OK = ((2104, "Market data farm connection is OK:usfarm"),
             (2106, "HMDS data farm connection is OK:ushmds"),
             (2158, "Sec-def data farm connection is OK:secdefnj"))
FAULT_KINDS = ("historical", "live", "contract", "mktdata")
DROP_KINDS = ("close", "reset", "half")
MALFORMED_KINDS = ("garbage", "unknown", "length")

# quote field -> (tick type, size field) of the price ticks; volume goes as a size tick
_PRICE_TICKS = {"bid": (1, "bidSize"), "ask": (2, "askSize"), "last": (4, "lastSize"),
                "high": (6, None), "low": (7, None), "close": (9, None), "open": (14, None)}
_VOLUME_TICK = 8


def error_text(code: int) -> str:
    return ERROR_TEXTS.get(code, f"Simulated error {code}")


@dataclass
class _Fault:
    kind: str
    code: int
    text: str
    symbol: str | None
    times: int | None


@dataclass
class _Live:
    """One open keep-up-to-date request: its bars are sent from minute `sent` on."""
    symbol: str
    use_rth: bool
    format_date: int
    sent: int


class GatewaySim:
    """An IB Gateway stand-in on loopback, run on the caller's event loop (`start`, `stop`).

    Fault switches, effective at once: `refuse` (None, "close", or 326 for "client id in use"),
    `drop_all`, `restart`, `bust`, `fail` / `clear_faults`, `historical_delay` (seconds before a
    historical answer) and `send_malformed`. What tests read: `requests` (every decoded request
    as (name, fields), in arrival order), `sessions`, `listening`, `live_subscriptions`,
    `market_data`, `bars` and `last_tick`.
    """

    def __init__(self, symbols: Iterable[str] = tuple(DEMO_SYMBOLS), host: str = "127.0.0.1",
                 port: int = 0, seed: int = 0, tick_interval: float = 0.25,
                 bar_update_seconds: float = 5.0, clock: Callable[[], float] = time.time) -> None:
        self.symbols = tuple(dict.fromkeys(s.strip().upper() for s in symbols if s.strip()))
        self.host, self.port, self.seed = host, port, seed
        self.tick_interval, self.bar_update_seconds = tick_interval, bar_update_seconds
        self.clock = clock
        # fault switches
        self.refuse: None | str | int = None
        self.historical_delay = 0.0
        self._faults: list[_Fault] = []
        # what tests read
        self.requests: list[tuple[str, dict]] = []
        self._connections: set[_Session] = set()
        self._markets: dict[str, SymbolMarket] = {}
        self._server: asyncio.Server | None = None
        self._tasks: list[asyncio.Task] = []

    # --- life cycle --------------------------------------------------------------------------

    async def start(self) -> None:
        now = self.clock()
        self._markets = {s: SymbolMarket(s, self.seed, now) for s in self.symbols}
        await self._listen()
        self._tasks = [asyncio.create_task(self._every(lambda: self.tick_interval, self._tick_round)),
                       asyncio.create_task(self._every(lambda: self.bar_update_seconds, self._bar_round))]
        logger.info("ib-sim: listening on {}:{} ({} symbols)", self.host, self.port, len(self.symbols))

    async def stop(self) -> None:
        for task in self._tasks:
            task.cancel()
        self._tasks = []
        await self._unlisten()
        logger.info("ib-sim: stopped")

    async def restart(self, after: float = 2.0) -> None:
        """Drop every session, stop listening, and listen again on the same port `after` s later."""
        await self._unlisten()
        logger.info("ib-sim: restarting in {} s", after)
        await asyncio.sleep(after)
        await self._listen()
        logger.info("ib-sim: listening again on {}:{}", self.host, self.port)

    async def _listen(self) -> None:
        self._server = await asyncio.get_running_loop().create_server(
            lambda: _Session(self), self.host, self.port, reuse_address=True)
        self.port = self._server.sockets[0].getsockname()[1]

    async def _unlisten(self) -> None:
        server, self._server = self._server, None
        if server is None:
            return
        server.close()
        self.drop_all("close")
        server.close_clients()   # those accepted whose session has not started yet
        await server.wait_closed()

    async def _every(self, period: Callable[[], float], fn: Callable[[], None]) -> None:
        while True:
            await asyncio.sleep(period())
            try:
                fn()
            except Exception:
                logger.exception("ib-sim: {} failed", fn.__name__)

    # --- fault switches ----------------------------------------------------------------------

    def drop_all(self, how: str = "close") -> None:
        """End every session: "close" (FIN), "reset" (RST) or "half" (half a frame, then FIN)."""
        if how not in DROP_KINDS:
            raise ValueError(f"drop_all: how must be one of {DROP_KINDS}, not {how!r}")
        for session in list(self._connections):
            session.drop(how)

    def bust(self, symbol: str) -> None:
        """Error 10225 on every live keep-up-to-date request of `symbol`, which it deactivates."""
        symbol = symbol.upper()
        for session in list(self._connections):
            for req_id, live in list(session.live.items()):
                if live.symbol == symbol:
                    del session.live[req_id]
                    session.error(req_id, 10225)

    def fail(self, kind: str, code: int, text: str | None = None, symbol: str | None = None,
             times: int | None = None) -> None:
        """Answer the matching requests of `kind` with error `code` (`times` of them, None: all)."""
        if kind not in FAULT_KINDS:
            raise ValueError(f"fail: kind must be one of {FAULT_KINDS}, not {kind!r}")
        self._faults.append(_Fault(kind, int(code), text or error_text(int(code)),
                                   symbol.upper() if symbol else None, times))

    def clear_faults(self) -> None:
        self._faults.clear()

    def send_malformed(self, kind: str = "garbage") -> None:
        """To every session: "garbage" (a tick with unusable fields), "unknown" (an unknown
        message id) or "length" (an absurd length prefix, after which the session is closed, as
        nothing after it could be framed)."""
        if kind not in MALFORMED_KINDS:
            raise ValueError(f"send_malformed: kind must be one of {MALFORMED_KINDS}, not {kind!r}")
        for session in list(self._connections):
            if kind == "garbage":
                session.send(p.frame(1, 6, "x", "bid", "?", "", 0))
            elif kind == "unknown":
                session.send(p.frame(9999, 1, "?"))
            else:
                session.send(struct.pack(">I", 0xFFFFFFF0) + b"\0\0")
                session.drop("close")

    def _take_fault(self, kind: str, symbol: str) -> _Fault | None:
        for fault in self._faults:
            if fault.kind == kind and fault.symbol in (None, symbol):
                if fault.times is not None:
                    fault.times -= 1
                    if fault.times <= 0:
                        self._faults.remove(fault)
                return fault
        return None

    # --- what tests read ---------------------------------------------------------------------

    @property
    def listening(self) -> bool:
        """Whether it accepts connections (False from a restart's drop until it listens again)."""
        return self._server is not None

    @property
    def sessions(self) -> int:
        """The number of connected API sessions (past startApi)."""
        return sum(1 for s in self._connections if s.client_id is not None)

    @property
    def live_subscriptions(self) -> dict[int, str]:
        return {req_id: live.symbol for s in self._connections for req_id, live in s.live.items()}

    @property
    def market_data(self) -> dict[int, str]:
        return {req_id: sym for s in self._connections for req_id, sym in s.streams.items()}

    def bars(self, symbol: str, use_rth: bool) -> list[dict]:
        return self._markets[symbol.upper()].bars(use_rth)

    def last_tick(self, symbol: str) -> dict:
        quote = self._markets[symbol.upper()].quote
        return {k: quote[k] for k in QUOTE_FIELDS}

    def market(self, symbol: str) -> SymbolMarket | None:
        return self._markets.get(symbol.upper())

    # --- the streams -------------------------------------------------------------------------

    def _tick_round(self) -> None:
        now = self.clock()
        changes = {sym: m.step(now) for sym, m in self._markets.items()}
        for session in list(self._connections):
            for req_id, sym in list(session.streams.items()):
                session.send(tick_messages(req_id, self._markets[sym].quote, changes[sym]))

    def _bar_round(self) -> None:
        for session in list(self._connections):
            for req_id, live in list(session.live.items()):
                bars = self._markets[live.symbol].bars_since(live.sent, live.use_rth)
                if bars:
                    session.send(b"".join(p.msg_historical_data_update(req_id, b, live.format_date)
                                          for b in bars))
                    live.sent = bars[-1]["date"]


def tick_messages(req_id: int, quote: dict, fields: Iterable[str]) -> bytes:
    """The tick messages of the quote fields named, as one write."""
    fields = set(fields)
    out = []
    for name, (tick_type, size_field) in _PRICE_TICKS.items():
        if (name in fields or size_field in fields) and quote[name] is not None:
            out.append(p.msg_tick_price(req_id, tick_type, quote[name],
                                        quote[size_field] if size_field else 0))
    if "volume" in fields:
        out.append(p.msg_tick_size(req_id, _VOLUME_TICK, quote["volume"]))
    return b"".join(out)


class _Session(asyncio.Protocol):
    """One client connection: the handshake, then its requests in arrival order."""

    def __init__(self, sim: GatewaySim) -> None:
        self.sim = sim
        self.transport: asyncio.Transport | None = None
        self.peer = "?"
        self.client_id: int | None = None   # set once its API has started
        self.streams: dict[int, str] = {}   # market-data reqId -> symbol
        self.live: dict[int, _Live] = {}    # keep-up-to-date reqId -> subscription
        self._pending: dict[int, asyncio.Task] = {}   # delayed historical answers
        self._head = b""                    # the handshake's "API\0", until it is complete
        self._greeted = False               # the version frame has been answered
        self._reader = p.FrameReader()

    # --- transport ---------------------------------------------------------------------------

    def connection_made(self, transport) -> None:
        self.transport = transport
        peer = transport.get_extra_info("peername")
        self.peer = f"{peer[0]}:{peer[1]}" if peer else "?"
        self.sim._connections.add(self)
        if self.sim.refuse == "close":
            logger.info("ib-sim: refusing {} (closing at once)", self.peer)
            transport.close()

    def connection_lost(self, exc) -> None:
        self.sim._connections.discard(self)
        for task in self._pending.values():
            task.cancel()
        self._pending.clear()
        if self._reader.pending:
            logger.warning("ib-sim: {}: closed mid-frame; dropped {} bytes", self.peer, self._reader.pending)
        logger.info("ib-sim: session {} (client {}) ended{}", self.peer, self.client_id,
                    f": {exc!r}" if exc else "")

    def send(self, data: bytes) -> None:
        if data and self.transport is not None and not self.transport.is_closing():
            self.transport.write(data)

    def error(self, req_id: int, code: int, text: str | None = None) -> None:
        self.send(p.msg_error(req_id, code, text or error_text(code)))

    def drop(self, how: str) -> None:
        transport = self.transport
        if transport is None or transport.is_closing():
            return
        if how == "reset":
            sock = transport.get_extra_info("socket")
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            transport.abort()
            return
        if how == "half":
            whole = p.msg_current_time(self.sim.clock())
            transport.write(whole[:len(whole) // 2])
        transport.close()

    def data_received(self, data: bytes) -> None:
        try:
            self._receive(data)
        except p.ProtocolError as e:
            logger.warning("ib-sim: {}: {}; closing the session", self.peer, e)
            self._reader = p.FrameReader()   # what it held is part of what was just reported
            if self.transport is not None:
                self.transport.abort()

    def _receive(self, data: bytes) -> None:
        if not self._greeted and len(self._head) < 4:
            self._head += data
            if len(self._head) < 4:
                return
            if self._head[:4] != p.HANDSHAKE_PREFIX:
                raise p.ProtocolError(f"not an API handshake: {self._head[:4]!r}")
            data = self._head[4:]
        for payload in self._reader.feed(data):
            if not self._greeted:
                self._handshake(payload)
            else:
                self._message(p.fields_of(payload))

    def _handshake(self, payload: bytes) -> None:
        low, high = p.parse_version_range(payload)
        if not low <= p.SERVER_VERSION <= high:
            raise p.ProtocolError(f"client versions {low}..{high} exclude {p.SERVER_VERSION}")
        self._greeted = True
        self.send(p.msg_handshake_reply(self.sim.clock()))

    def _message(self, fields: list[str]) -> None:
        try:
            name, req = p.decode_request(fields)
        except p.BadMessage as e:
            logger.warning("ib-sim: {}: dropped a message: {}", self.peer, e)
            return
        self.sim.requests.append((name, req))
        handler = getattr(self, "_on_" + name, None)
        if handler is None:
            return
        try:
            handler(req)
        except Exception:
            logger.exception("ib-sim: {}: {} failed", self.peer, name)

    def _admit(self, kind: str, req: dict) -> str | None:
        """The request's symbol, or None once the request is answered with its error: the fault
        switched on for `kind` and the symbol, else 200 for a stock the gateway does not know."""
        symbol = req["symbol"].strip().upper()
        fault = self.sim._take_fault(kind, symbol)
        if fault:
            self.error(req["reqId"], fault.code, fault.text)
            return None
        known = symbol in self.sim._markets and req["secType"] in ("STK", "") \
            and req["currency"] in ("USD", "")
        if not known:
            self.error(req["reqId"], 200)
            return None
        return symbol

    # --- the connect sequence ----------------------------------------------------------------

    def _on_startApi(self, req: dict) -> None:
        in_use = any(s.client_id == req["clientId"] for s in self.sim._connections if s is not self)
        if self.sim.refuse == 326 or in_use:
            logger.info("ib-sim: refusing {} (client id {} in use)", self.peer, req["clientId"])
            self.error(-1, 326)
            self.drop("close")
            return
        self.client_id = req["clientId"]
        logger.info("ib-sim: session {} started as client {}", self.peer, self.client_id)
        self.send(p.msg_managed_accounts(ACCOUNT) + p.msg_next_valid_id(1))
        for code, text in _FARMS_OK:
            self.error(-1, code, text)

    def _on_reqPositions(self, req: dict) -> None:
        self.send(p.msg_position_end())

    def _on_reqAccountUpdates(self, req: dict) -> None:
        if req["subscribe"]:
            self.send(p.msg_account_download_end(req["acctCode"] or ACCOUNT))

    def _on_reqAccountUpdatesMulti(self, req: dict) -> None:
        self.send(p.msg_account_update_multi_end(req["reqId"]))

    def _on_reqExecutions(self, req: dict) -> None:
        self.send(p.msg_exec_details_end(req["reqId"]))

    def _on_reqOpenOrders(self, req: dict) -> None:
        self.send(p.msg_open_order_end())

    _on_reqAllOpenOrders = _on_reqOpenOrders

    def _on_reqCompletedOrders(self, req: dict) -> None:
        self.send(p.msg_completed_orders_end())

    def _on_reqIds(self, req: dict) -> None:
        self.send(p.msg_next_valid_id(1))

    def _on_reqManagedAccts(self, req: dict) -> None:
        self.send(p.msg_managed_accounts(ACCOUNT))

    def _on_reqCurrentTime(self, req: dict) -> None:
        self.send(p.msg_current_time(self.sim.clock()))

    # --- contracts and market data -----------------------------------------------------------

    def _on_reqContractDetails(self, req: dict) -> None:
        req_id, symbol = req["reqId"], self._admit("contract", req)
        if symbol is not None:
            self.send(p.msg_contract_details(req_id, contract_of(symbol))
                      + p.msg_contract_details_end(req_id))

    def _on_reqMktData(self, req: dict) -> None:
        req_id, symbol = req["reqId"], self._admit("mktdata", req)
        if symbol is None:
            return
        quote = self.sim._markets[symbol].quote
        self.send(p.msg_market_data_type(req_id) + p.msg_tick_req_params(req_id)
                  + tick_messages(req_id, quote, QUOTE_FIELDS))
        if req["snapshot"]:
            self.send(p.frame(57, 1, req_id))   # tickSnapshotEnd
        else:
            self.streams[req_id] = symbol

    def _on_cancelMktData(self, req: dict) -> None:
        if self.streams.pop(req["reqId"], None) is None:
            logger.warning("ib-sim: {}: cancelMktData for unknown request {}", self.peer, req["reqId"])

    # --- historical data ---------------------------------------------------------------------

    def _on_reqHistoricalData(self, req: dict) -> None:
        delay = self.sim.historical_delay
        if delay > 0:
            req_id = req["reqId"]
            self._pending[req_id] = asyncio.get_running_loop().create_task(self._answer_later(req, delay))
        else:
            self._answer_historical(req)

    async def _answer_later(self, req: dict, delay: float) -> None:
        await asyncio.sleep(delay)
        self._pending.pop(req["reqId"], None)
        self._answer_historical(req)

    def _answer_historical(self, req: dict) -> None:
        req_id, live = req["reqId"], bool(req["keepUpToDate"])
        symbol = self._admit("live" if live else "historical", req)
        if symbol is None:
            return
        asked = (req["durationStr"], req["barSizeSetting"], req["whatToShow"])
        if asked != ("1 D", "1 min", "TRADES"):
            self.error(req_id, 162, "Historical Market Data Service error message:the simulator "
                                    f"serves 1 D of 1 min TRADES bars only, not {asked}")
            return
        if live and req["endDateTime"]:
            self.error(req_id, 321, "Error validating request.-'bS' : cause - End date not "
                                    "supported with live updates")
            return
        now = int(self.sim.clock())
        use_rth = bool(req["useRTH"])
        bars = self.sim._markets[symbol].answer(use_rth)
        start = bars[0]["date"] if bars else now
        self.send(p.msg_historical_data(req_id, bars, req["formatDate"], start, now))
        if live:
            self.live[req_id] = _Live(symbol, use_rth, req["formatDate"],
                                      bars[-1]["date"] if bars else now // 60 * 60)

    def _on_cancelHistoricalData(self, req: dict) -> None:
        req_id = req["reqId"]
        task = self._pending.pop(req_id, None)
        if task is not None:
            task.cancel()
        elif self.live.pop(req_id, None) is None:
            logger.warning("ib-sim: {}: cancelHistoricalData for unknown request {}", self.peer, req_id)

"""A fake IB session at the network edge, made of the real ib_async and eventkit objects.

Only the wire to TWS is faked: the events are real `eventkit.Event`s, the bar lists real
`ib_async.BarDataList`s of real `BarData`, the tickers real `Ticker`s of `Stock` contracts, and
every fake call is checked against the signature of the real `ib_async.IB` method it stands for
(a wrong keyword fails here as it would there).

How eventkit (ib_async's event library, the aeventkit distribution) treats handlers, read from
eventkit/event.py (`Event.connect`, `Event._split`, `Slots`):

* Calling: ``emit(*args)`` calls every connected handler with all the emitted arguments,
  positionally, in connection order, over a copy of the handler list (a handler connected or
  removed during an emit takes effect from the next emit). A handler that raises an `Exception`
  does not stop the others: the exception is emitted as ``(event, exc)`` on the event's
  ``error_event`` sub-event, and with no listener there (the normal case: nothing in ib_async
  listens) it is silently dropped; only events made with ``_with_error_done_events=False`` (the
  sub-events themselves) log it through `logging`. A `BaseException` that is not an `Exception`
  (CancelledError, KeyboardInterrupt) propagates out of ``emit``. A handler whose result is
  truthy and awaitable is scheduled with ``asyncio.ensure_future``.
* Holding: ``+=`` is ``connect(handler)`` with keep_ref False. A plain Python function or closure
  (``types.FunctionType``) is held strongly. A bound Python method is split into its
  ``__self__`` and ``__func__``: the instance is held by a weak reference (the slot disappears
  when the instance is collected) and the function strongly. A builtin function or a method of
  a C type (``builtin_function_or_method``, e.g. ``[].append``) is held strongly as one object.
  Any other callable object is held weakly when ``hasattr(obj, "__weakref__")``, else strongly
  (e.g. ``functools.partial`` objects have no ``__weakref__`` attribute: strong). For our frame:
  a method of a frame-made class, read from an instance, is a ``types.MethodType`` (held like a
  Python bound method); a frame function object (``builtins.native_function``, e.g. a nested
  function) is none of the above and has no ``__weakref__`` attribute: held strongly, as itself.
* Removing: ``-=`` is ``disconnect(handler)``: it removes EVERY slot that matches, not just
  one: for a function, every slot with that same function object; for a bound Python method,
  every slot with that instance and function (a fresh ``obj.method`` object matches); for a
  builtin method or a callable object, only slots holding that very object (``obj.meth`` made
  anew is another object and removes nothing). Removing what is not connected does nothing.
* ``+=``/``-=`` return the event itself, so the attribute is assigned back unchanged. An event
  is always truthy (``__bool__`` returns True) and ``len(event)`` is its number of handlers.
  ``emit`` keeps its arguments as the event's last value: a bar list's ``updateEvent`` holds a
  reference to the bar list after its first update (a reference cycle, freed by the collector).

How ib_async keeps a keepUpToDate bar list (ib.py ``reqHistoricalDataAsync``, wrapper.py
``historicalData``/``historicalDataUpdate``/``error``): the request returns a `BarDataList` (a
list subclass: falsy when empty, equal only to itself) with the request's parameters as
attributes (reqId, contract, endDateTime, durationStr, barSizeSetting, whatToShow, useRTH,
formatDate, keepUpToDate, chartOptions) and its own ``updateEvent``; with formatDate 2 every
``date`` is an aware datetime in ``timezone.utc``. With keepUpToDate it is registered as the
request's subscriber; a request that times out (60 s) returns it emptied, still registered.
Updates reach only a registered, non-empty list: an update bar older than the last bar is
ignored; a newer one is appended (hasNewBar True); one of the same time replaces the last
element with the new `BarData` object (hasNewBar False), unless it equals the last bar, when
nothing is emitted. Then ``ib.barUpdateEvent`` and ``bars.updateEvent`` both emit
``(bars, hasNewBar)``: TWO arguments. The error handler also emits the list's ``updateEvent``
with ONE argument, ``(bars,)``, after clearing it, on error 165; on error 10225 (bust) it
re-requests the subscribed list under the same reqId itself. ``cancelHistoricalData(bars)``
unregisters the subscriber (no more updates). ``errorEvent`` emits ``(reqId, errorCode,
errorString, contract)`` after the wrapper's own handling, contract possibly None.
"""

from __future__ import annotations

import asyncio
import inspect
from datetime import datetime, timezone
from types import SimpleNamespace
from typing import NamedTuple

from eventkit import Event
from ib_async import IB, BarData, BarDataList, Stock, Ticker

# 2025-12-01 14:30 UTC is 09:30 in New York, the open of a regular session.
START = datetime(2025, 12, 1, 14, 30, tzinfo=timezone.utc)


def _bind(name: str, args, kwargs) -> dict:
    """The arguments of a call of `IB.<name>` by name, defaults applied; TypeError as the real one."""
    bound = inspect.signature(getattr(IB, name)).bind(None, *args, **kwargs)
    bound.apply_defaults()
    return bound.arguments


def bar_data(t, open=100.0, high=None, low=None, close=None, volume=100.0, average=None,
             barCount=10) -> BarData:
    """A BarData as the decoder makes it: floats, an int count; `t` epoch seconds or a datetime
    (epoch seconds become an aware UTC datetime, as formatDate 2 gives)."""
    close = open if close is None else close
    date = t if isinstance(t, datetime) else datetime.fromtimestamp(t, timezone.utc)
    return BarData(date=date, open=float(open), high=float(max(open, close) if high is None else high),
                   low=float(min(open, close) if low is None else low), close=float(close),
                   volume=float(volume), average=float(close if average is None else average),
                   barCount=int(barCount))


def emit_update(bar_list: BarDataList, bar: BarData | None = None, has_new_bar: bool = False) -> bool:
    """Apply one keepUpToDate update to `bar_list` and emit its updateEvent as ib_async does.

    With `bar`: the wrapper's own rule (an older bar is ignored; a newer one is appended; one of
    the same time replaces the last element unless equal to it), then ``(bar_list, hasNewBar)``
    is emitted; False when nothing was emitted. Without `bar`: emits ``(bar_list, has_new_bar)``
    as the list stands (for an empty list, or to re-deliver the same forming bar).
    """
    if bar is not None:
        if bar_list and bar.date < bar_list[-1].date:
            return False
        has_new_bar = len(bar_list) == 0 or bar.date > bar_list[-1].date
        if has_new_bar:
            bar_list.append(bar)
        elif bar_list[-1] != bar:
            bar_list[-1] = bar
        else:
            return False
    bar_list.updateEvent.emit(bar_list, has_new_bar)
    return True


class HistoryRequest(NamedTuple):
    args: tuple     # positional arguments as passed
    kwargs: dict    # keyword arguments as passed
    at: float       # loop time when the request was made
    bar_list: BarDataList | None  # what it returned (None while in flight or when it raised)


class FakeIB:
    """An `ib_async.IB` whose TWS is a script: set the knobs, then look at what was called.

    Knobs: `connected` (what isConnected returns), `fail` (symbol -> exception the historical
    request raises), `gates` (symbol, or "*" for every symbol -> asyncio.Event the request waits
    on before answering), `history_bars` (bars in a new list, one a minute from `start`),
    `refuse` (exception connectAsync raises), `unknown` (symbols qualifyContractsAsync does not
    find), `accounts`.
    Records: `requests` (HistoryRequest per reqHistoricalDataAsync, in call order), `in_flight`
    (symbols whose request waits on a gate), `bar_lists` (symbol -> newest list returned),
    `subscribers` (reqId -> live list, as the wrapper's reqId2Subscriber), `cancelled` (lists
    given to cancelHistoricalData), `connects` (connectAsync arguments), `market_data` (contracts).
    """

    def __init__(self, connected: bool = True, history_bars: int = 3, start: datetime = START,
                 refuse: BaseException | None = None):
        self.connected = connected
        self.history_bars = history_bars
        self.start = start
        self.fail: dict[str, BaseException] = {}
        self.gates: dict[str, asyncio.Event] = {}
        self.refuse = refuse
        self.unknown: set[str] = set()
        self.accounts = ["DU1234567"]
        self.errorEvent = Event("errorEvent")
        self.barUpdateEvent = Event("barUpdateEvent")
        self.pendingTickersEvent = Event("pendingTickersEvent")
        self.disconnectedEvent = Event("disconnectedEvent")
        self.client = SimpleNamespace(conn=SimpleNamespace(disconnected=Event("disconnected")))
        self.requests: list[HistoryRequest] = []
        self.in_flight: set[str] = set()
        self.bar_lists: dict[str, BarDataList] = {}
        self.subscribers: dict[int, BarDataList] = {}
        self.cancelled: list[BarDataList] = []
        self.connects: list[dict] = []
        self.market_data: list = []
        self._req_id = 0

    def isConnected(self) -> bool:
        return self.connected

    async def reqHistoricalDataAsync(self, *args, **kwargs) -> BarDataList:
        a = _bind("reqHistoricalDataAsync", args, kwargs)
        contract, symbol = a["contract"], a["contract"].symbol
        index = len(self.requests)
        self.requests.append(HistoryRequest(args, kwargs, asyncio.get_running_loop().time(), None))
        gate = self.gates.get(symbol) or self.gates.get("*")
        if gate is not None:
            self.in_flight.add(symbol)
            try:
                await gate.wait()
            finally:
                self.in_flight.discard(symbol)
        if symbol in self.fail:
            raise self.fail[symbol]
        self._req_id += 1
        bars = BarDataList()
        bars.reqId = self._req_id
        for name in ("contract", "endDateTime", "durationStr", "barSizeSetting", "whatToShow", "useRTH",
                     "formatDate", "keepUpToDate"):
            setattr(bars, name, a[name])
        bars.chartOptions = a["chartOptions"] or []
        start = self.start.timestamp()
        bars.extend(bar_data(start + 60 * i, open=100.0 + i, close=100.5 + i) for i in range(self.history_bars))
        if bars.keepUpToDate:
            self.subscribers[bars.reqId] = bars
        self.bar_lists[symbol] = bars
        self.requests[index] = self.requests[index]._replace(bar_list=bars)
        return bars

    def cancelHistoricalData(self, *args, **kwargs) -> None:
        bars = _bind("cancelHistoricalData", args, kwargs)["bars"]
        self.cancelled.append(bars)
        self.subscribers.pop(bars.reqId, None)

    def historicalDataUpdate(self, reqId: int, bar: BarData) -> bool:
        """TWS sends an update for request `reqId`: dropped once the subscription is cancelled
        (or while its list is empty, as in the wrapper), else as `emit_update`, with
        ``barUpdateEvent`` emitted first."""
        bars = self.subscribers.get(reqId)
        if not bars or bar.date < bars[-1].date:
            return False
        has_new_bar = bar.date > bars[-1].date
        if not has_new_bar and bars[-1] == bar:
            return False
        if has_new_bar:
            bars.append(bar)
        else:
            bars[-1] = bar
        self.barUpdateEvent.emit(bars, has_new_bar)
        bars.updateEvent.emit(bars, has_new_bar)
        return True

    def emit_error(self, reqId: int, errorCode: int, errorString: str = "", contract=None) -> None:
        """TWS reports an error: `errorEvent` emits as the wrapper's `error` ends."""
        self.errorEvent.emit(reqId, errorCode, errorString, contract)

    async def connectAsync(self, *args, **kwargs):
        self.connects.append(_bind("connectAsync", args, kwargs))
        if self.refuse is not None:
            raise self.refuse
        self.connected = True
        return self

    async def qualifyContractsAsync(self, *contracts, returnAll: bool = False) -> list:
        out = []
        for c in contracts:
            if c.symbol in self.unknown:
                out.append(None)
            else:
                c.conId = c.conId or 265598 + len(self.market_data) + len(out)
                out.append(c)
        return out

    def reqMktData(self, *args, **kwargs) -> Ticker:
        contract = _bind("reqMktData", args, kwargs)["contract"]
        self.market_data.append(contract)
        return Ticker(contract=contract)

    def managedAccounts(self) -> list[str]:
        return list(self.accounts) if self.connected else []

    def disconnect(self) -> None:
        self.connected = False


class RecordingAggregator:
    """A one-minute aggregator that records every authoritative bar; `raises` makes it fail."""

    def __init__(self, raises: BaseException | None = None):
        self.bars: list = []
        self.raises = raises

    def ingest_authoritative_bar(self, bar) -> bool:
        self.bars.append(bar)
        if self.raises is not None:
            raise self.raises
        return True


class FakeITicker:
    """A tracked ticker: `name`, a real Ticker of a qualified SMART/USD Stock (a conId, as the
    host's ticker after qualification), `bars` {60: aggregator}."""

    def __init__(self, symbol: str, aggregator=None):
        self.name = symbol
        self.ticker = Ticker(contract=Stock(symbol, "SMART", "USD", conId=100000 + sum(map(ord, symbol))))
        self.bars = {60: RecordingAggregator() if aggregator is None else aggregator}

    def to_dict(self) -> dict:
        return {"symbol": self.name, "secType": "STK"}


class FakeTerminalApp:
    """The terminal app (icli_app) as the live bar subscriptions see it."""

    def __init__(self, ib=None, tickers=()):
        self.ib = ib
        self.quoteState = {t.name: t for t in tickers}

    @property
    def connected(self) -> bool:
        return bool(self.ib is not None and self.ib.isConnected())

    @property
    def accountId(self):
        return None


def terminal_app(n: int = 3, ib: FakeIB | None = None, symbols=None) -> FakeTerminalApp:
    """A terminal app over `ib` (a new connected FakeIB by default) tracking `symbols`, else
    n symbols S00, S01, ...; each ticker with its own RecordingAggregator."""
    symbols = [f"S{i:02d}" for i in range(n)] if symbols is None else symbols
    return FakeTerminalApp(FakeIB() if ib is None else ib, [FakeITicker(s) for s in symbols])


def aggregator(app: FakeTerminalApp, symbol: str) -> RecordingAggregator:
    return app.quoteState[symbol].bars[60]

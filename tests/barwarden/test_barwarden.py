"""The live bar subscriptions against a fake IB session made of the real ib_async and eventkit
objects (tests/ibfake.py): start's checks, the staggered pass, stop, the update pump as the
library emits updates, minute flooring, malformed bars and the bust-trade warnings; then the
host's terminal app over ib_async's real client against the gateway simulator (tests/ibsim.py):
server bars reaching the aggregators and the cache, busts named by their symbol, a refused
subscription tried again after stop and start, a symbol IB does not know never requested."""
import asyncio
import contextlib
import dataclasses
import gc
import sys
import time
import types
import weakref
from datetime import datetime, timedelta, timezone
from zoneinfo import ZoneInfo

import pytest
from ib_async import BarData, BarDataList, Stock

import ibfake
from baseline import barwarden as baseline
from ibsim import CLIENT_ID
from quorvane.data import loader
from quorvane.ib.terminal import TerminalApp
from quorvane.live import LiveBarFlusher
from quorvane.server import barwarden
from quorvane.server.barwarden import BarwardenManager

P = "pause"  # a pause of the pass in a timeline, between the symbols requested


@pytest.fixture
def timeline(monkeypatch):
    """The pass's requests (contract symbol) and pauses ("pause", with STAGGER_SECONDS 0.25 checked),
    in order; a pause yields to the loop once instead of sleeping."""
    seen = []

    async def sleep(delay):
        assert delay == 0.25
        seen.append(P)
        await asyncio.sleep(0)
    monkeypatch.setattr(barwarden, "STAGGER_SECONDS", 0.25)
    monkeypatch.setattr(barwarden, "asyncio", types.SimpleNamespace(sleep=sleep, create_task=asyncio.create_task))
    return seen


# symbol kind -> the error TWS sends while the request is in flight: (code, reqId offset)
ANSWERS = {"refused": (162, 0), "r321": (321, 0), "info": (2174, 0), "elsewhere": (162, 1000)}


def watch(app, timeline, plain=(), adds=None, answers=None):
    """Records each request in the timeline; symbols in `plain` get a plain list (no updateEvent),
    the request for `adds` tracks one more ticker, "LATE", while the pass runs, and `answers`
    (symbol -> (code, offset)) has TWS send an error for the list's reqId + offset before the
    request returns, as ib_async's wrapper emits it."""
    request = app.ib.reqHistoricalDataAsync

    async def requesting(contract, **kwargs):
        timeline.append(contract.symbol)
        if contract.symbol == adds:
            app.quoteState["LATE"] = ibfake.FakeITicker("LATE")
        bars = await request(contract, **kwargs)
        if contract.symbol in (answers or {}):
            code, offset = answers[contract.symbol]
            app.ib.emit_error(bars.reqId + offset, code, "text", contract)
        return list(bars) if contract.symbol in plain else bars
    app.ib.reqHistoricalDataAsync = requesting


def run(coroutine_fn):
    return asyncio.run(coroutine_fn())


async def started(manager):
    await manager.start()
    if manager._stagger_task is not None:
        await manager._stagger_task
    return manager


def messages(log_records, level):
    return [r["message"] for r in log_records if r["level"].name == level]


@pytest.mark.parametrize("switch, enabled", [("0", False), ("false", False), ("False", False), ("FALSE", True),
                                             ("no", True), ("1", True), ("", True), (None, True)])
def test_enable_switch(monkeypatch, timeline, log_records, switch, enabled):
    if switch is None:
        monkeypatch.delenv("QUORVANE_BARWARDEN", raising=False)
    else:
        monkeypatch.setenv("QUORVANE_BARWARDEN", switch)
    app = ibfake.terminal_app(2)
    manager = run(lambda: started(BarwardenManager(app)))
    assert (len(manager._subs), len(app.ib.errorEvent)) == ((2, 1) if enabled else (0, 0))
    assert messages(log_records, "INFO") == ([] if enabled else ["barwarden disabled via QUORVANE_BARWARDEN"])


@pytest.mark.parametrize("app, line", [
    (None, "barwarden: no icli app, staying idle"),
    (types.SimpleNamespace(quoteState={"A": 1}), "barwarden: no ib session, staying idle"),
    (types.SimpleNamespace(ib=None, quoteState={"A": 1}), "barwarden: no ib session, staying idle"),
    (ibfake.FakeTerminalApp(ibfake.FakeIB()), "barwarden: no tracked tickers yet"),
    (types.SimpleNamespace(ib=ibfake.FakeIB()), "barwarden: no tracked tickers yet"),
])
def test_idle_without_app_session_or_tickers(log_records, app, line):
    manager = run(lambda: started(BarwardenManager(app)))
    assert log_records.levels_and_messages() == [("INFO", line)]
    assert manager._stagger_task is None and manager._error_handler is None
    ib = getattr(app, "ib", None)
    assert ib is None or len(ib.errorEvent) == 0
    assert run(manager.stop) is None


def test_pass_opens_at_most_max_subs_then_a_second_pass_the_rest(timeline, log_records):
    app = ibfake.terminal_app(60)
    watch(app, timeline)
    manager = run(lambda: started(BarwardenManager(app)))
    assert list(manager._subs) == [f"S{i:02d}" for i in range(50)]
    assert timeline == [x for i in range(50) for x in (f"S{i:02d}", P)]  # a pause after each request
    assert app.ib.requests[0].args == (app.quoteState["S00"].ticker.contract,)
    assert app.ib.requests[0].kwargs == {"endDateTime": "", "durationStr": "1 D", "barSizeSetting": "1 min",
                                         "whatToShow": "TRADES", "useRTH": True, "formatDate": 2,
                                         "keepUpToDate": True}
    assert messages(log_records, "DEBUG") == [f"barwarden subscribed S{i:02d}" for i in range(50)]
    timeline.clear()
    run(lambda: started(manager))                    # the pass is over: start runs a new one
    assert timeline == [x for i in range(50, 60) for x in (f"S{i:02d}", P)] and len(manager._subs) == 60
    assert len(app.ib.errorEvent) == 2
    run(manager.stop)
    assert len(app.ib.errorEvent) == 0 and len(app.ib.cancelled) == 60 and manager._subs == {}


class Name(str):
    pass


def tracked(kind, symbol):
    t = ibfake.FakeITicker(symbol)
    if kind == "nameless":
        del t.name
    elif kind in ("None", "7", "strsub"):
        t.name = {"None": None, "7": 7, "strsub": Name(symbol)}[kind]
    elif kind == "noticker":
        del t.ticker
    elif kind == "nocontract":
        t.ticker.contract = None
    elif kind == "unqualified":
        t.ticker.contract.conId = 0
    return t


@pytest.mark.parametrize("tickers, max_subs, expected, subs, warned", [
    # names: "?" twice (the second skipped), non-str names and a str subclass refused, a request
    # that raises or leaves no updateEvent (not counted, no pause), tickers without a contract
    # (no request, counted, paused), a ticker added during the pass (not seen)
    ("nameless:A nameless:B noticker:C None:D 7:E strsub:F fails:G plain:H nocontract:I adds:J", 50,
     ["A", P, P, "G", "H", P, "J", P], ["?", "H", "J"], ["None", "7", "F", "G", "H"]),
    ("nocontract:A nocontract:B ok:C", 2, [P, P], [], []),
    ("fails:A ok:B ok:C", 1, ["A", "B", P], ["B"], ["A"]),
    ("ok:A", 0, [], [], []),
    # refused by TWS (321 too, which ib_async logs as a warning) or never qualified: failed, not
    # counted, no pause; an informational code or another request's refusal does not fail it
    ("refused:A r321:B info:C elsewhere:D unqualified:E ok:F", 50,
     ["A", "B", "C", P, "D", P, "F", P], ["C", "D", "F"], ["A", "B", "E"]),
])
def test_pass_names_contracts_and_failures(monkeypatch, timeline, log_records, tickers, max_subs, expected,
                                           subs, warned):
    monkeypatch.setattr(barwarden, "MAX_SUBS", max_subs)
    app = ibfake.terminal_app(0)
    for kind, s in (t.split(":") for t in tickers.split()):
        app.quoteState[s] = tracked(kind, s)
        if kind == "fails":
            app.ib.fail[s] = RuntimeError("pacing violation")
    watch(app, timeline, plain={"H"}, adds="J", answers={s: ANSWERS[k] for k, s in
                                                        (t.split(":") for t in tickers.split()) if k in ANSWERS})
    manager = run(lambda: started(BarwardenManager(app)))
    assert (timeline, list(manager._subs)) == (expected, subs)
    assert messages(log_records, "WARNING") == [f"barwarden subscribe failed for {w}" for w in warned]
    assert set(manager._update_handlers) == set(subs) - {"H"}  # the handler is made after the event is read
    assert len(app.ib.errorEvent) == 1               # no request's watcher left behind
    timeline.clear()
    run(lambda: started(manager))                    # a stored symbol is never requested again
    assert "H" not in timeline and not set(timeline) & set(subs)


@pytest.mark.parametrize("connected", [False, None])
def test_pass_without_a_session_is_silent(timeline, log_records, connected):
    app = ibfake.terminal_app(2, ib=ibfake.FakeIB(connected=connected is None))

    async def scenario():
        manager = BarwardenManager(app)
        await manager.start()
        if connected is None:
            app.ib = None                             # gone before the pass runs
        await manager._stagger_task
        return manager
    assert run(scenario)._subs == {} and log_records == [] and timeline == []


def test_stop_in_the_middle_of_a_pass(timeline, log_records):
    app = ibfake.terminal_app(3)
    gate = app.ib.gates["S01"] = asyncio.Event()

    async def scenario():
        manager = BarwardenManager(app)
        await manager.start()
        while "S01" not in app.ib.in_flight:
            await asyncio.sleep(0)
        task = manager._stagger_task
        await manager.start()                        # a pass is running: nothing happens
        # the manager's handler and the in-flight request's refusal watcher
        assert manager._stagger_task is task and len(app.ib.errorEvent) == 2
        first = manager._subs["S00"].bar_list
        await manager.stop()
        await asyncio.sleep(0)
        gate.set()
        return manager, task, first

    manager, task, first = run(scenario)
    assert task.cancelled() and manager._stagger_task is None and manager._error_handler is None
    assert manager._subs == {} and app.ib.cancelled == [first]
    assert len(first.updateEvent) == 0 and len(app.ib.errorEvent) == 0
    assert len(app.ib.requests) == 2 and log_records.levels_and_messages() == [("DEBUG", "barwarden subscribed S00")]


@pytest.mark.parametrize("fault, debug, cancelled", [
    (None, [], ["S00", "S01", "S02"]),
    ("cancel", ["barwarden teardown issue for S01"], ["S00", "S02"]),
    ("plain", ["barwarden teardown issue for S01"], ["S00", "S02"]),
    ("errorEvent", [], ["S00", "S01", "S02"]),       # its release failing is not even logged
    ("no app", [], []),
])
def test_stop_tears_down_each_subscription_on_its_own(timeline, log_records, fault, debug, cancelled):
    app = ibfake.terminal_app(3)
    manager = run(lambda: started(BarwardenManager(app)))
    lists = {s: sub.bar_list for s, sub in manager._subs.items()}
    log_records.clear()
    if fault == "cancel":
        cancel = app.ib.cancelHistoricalData

        def cancelling(bars):
            if bars is lists["S01"]:
                raise OSError("socket closed")
            cancel(bars)
        app.ib.cancelHistoricalData = cancelling
    elif fault == "plain":
        manager._subs["S01"].bar_list = list(lists["S01"])
    elif fault == "errorEvent":
        app.ib.errorEvent = object()
    elif fault == "no app":
        manager._app = None
    assert run(manager.stop) is None
    assert messages(log_records, "DEBUG") == debug and log_records.levels_and_messages() == [("DEBUG", d) for d in debug]
    assert [b.contract.symbol for b in app.ib.cancelled] == cancelled
    assert manager._subs == {} and manager._error_handler is None
    assert [len(lists[s].updateEvent) for s in lists] == [0, int(fault == "plain"), 0]


def subscribed(symbol="S00"):
    """A manager subscribed to one symbol (the list holds three bars); its bar list and aggregator."""
    app = ibfake.terminal_app(symbols=[symbol])
    barwarden.STAGGER_SECONDS, saved = 0.0, barwarden.STAGGER_SECONDS
    try:
        manager = run(lambda: started(BarwardenManager(app)))
    finally:
        barwarden.STAGGER_SECONDS = saved
    return manager, manager._subs[symbol].bar_list, ibfake.aggregator(app, symbol)


def delivered(aggregator):
    return [(b.timestamp, b.open, b.high, b.low, b.close, b.volume) for b in aggregator.bars]


def test_updates_pump_authoritative_bars(log_records):
    manager, bars, agg = subscribed()
    handler = manager._make_update_handler("S00")
    assert handler is manager._make_update_handler("S00") and len(bars.updateEvent) == 1
    forming = bars[-1].date + timedelta(minutes=1, seconds=59.9)
    ibfake.emit_update(bars, ibfake.bar_data(forming, open=10, high=12, low=9, close=11, volume=500))
    ibfake.emit_update(bars, ibfake.bar_data(forming, open=10, high=13, low=9, close=12, volume=700))
    minute = forming.replace(second=0, microsecond=0).timestamp()
    assert delivered(agg) == [(minute, 10.0, 12.0, 9.0, 11.0, 500.0), (minute, 10.0, 13.0, 9.0, 12.0, 700.0)]
    assert manager._subs["S00"].last_seen > 0
    run(manager.stop)
    assert len(bars.updateEvent) == 0 and manager._update_handlers["S00"] is handler
    bars.updateEvent.emit(bars, False)                # a late update after stop pumps nothing
    assert len(agg.bars) == 2 and messages(log_records, "ERROR") == []


UTC, NY = timezone.utc, ZoneInfo("America/New_York")


@pytest.mark.parametrize("date, minute", [
    (datetime(2025, 12, 1, 14, 30, 59, 900000, tzinfo=UTC), datetime(2025, 12, 1, 14, 30, tzinfo=UTC)),
    (datetime(2025, 12, 1, 14, 30, tzinfo=UTC), datetime(2025, 12, 1, 14, 30, tzinfo=UTC)),
    (datetime(2025, 12, 1, 20, 0, 30, tzinfo=timezone(timedelta(hours=5, minutes=30))),
     datetime(2025, 12, 1, 14, 30, tzinfo=UTC)),
    (datetime(2025, 12, 1, 9, 30, 45), datetime(2025, 12, 1, 9, 30, tzinfo=NY)),  # naive: exchange time
    (datetime(2025, 7, 1, 9, 30, 45), datetime(2025, 7, 1, 9, 30, tzinfo=NY)),    # ... in summer time
    (datetime(1969, 12, 31, 23, 59, 30, tzinfo=UTC), datetime(1969, 12, 31, 23, 59, tzinfo=UTC)),
])
def test_bar_time_floored_to_the_utc_minute(date, minute):
    manager, bars, agg = subscribed()
    bars[-1] = ibfake.bar_data(date)
    ibfake.emit_update(bars)
    assert [b.timestamp for b in agg.bars] == [minute.timestamp()]
    if date.tzinfo is not None:
        floored = barwarden._bucket_start_epoch(date)
        assert (type(floored), floored) == (int, int(minute.timestamp()))


# the last bar's fields -> what reaches the aggregator (None: nothing, the failure logged)
GOOD = dict(open=10.0, high=12.0, low=9.0, close=11.0, volume=500.0)


@pytest.mark.parametrize("change, sent", [
    ({}, (10.0, 12.0, 9.0, 11.0, 500.0)),
    ({"volume": None}, (10.0, 12.0, 9.0, 11.0, 0.0)),
    ({"volume": 0}, (10.0, 12.0, 9.0, 11.0, 0.0)),
    ({"volume": ""}, (10.0, 12.0, 9.0, 11.0, 0.0)),
    ({"volume": -1}, (10.0, 12.0, 9.0, 11.0, -1.0)),
    ({"close": "11.5", "open": 10}, (10.0, 12.0, 9.0, 11.5, 500.0)),  # float() of text and ints, as in Python
    ({"open": None}, None), ({"high": None}, None), ({"low": "x"}, None), ({"close": [11]}, None),
    ({"volume": "many"}, None),
    ({"date": "20251201 14:30:00"}, None),           # the text formatDate 1 would give
    ({"date": 1764599400}, None),
])
def test_malformed_bar_is_logged_and_the_next_update_pumps(log_records, change, sent):
    manager, bars, agg = subscribed()
    escaped = []
    bars.updateEvent.error_event.connect(lambda event, exc: escaped.append(exc))
    good = ibfake.bar_data(bars[-1].date, **GOOD)
    bars[-1] = BarData(**{**vars(good), **change})
    ibfake.emit_update(bars)
    bars[-1] = good
    ibfake.emit_update(bars)
    t = good.date.timestamp()
    assert delivered(agg) == ([(t, *sent)] if sent else []) + [(t, *GOOD.values())]
    assert [(r["level"].name, r["message"], r["exception"] is not None) for r in log_records if r["level"].no > 10] \
        == ([] if sent else [("ERROR", "barwarden pump failed for S00", True)])
    assert escaped == []


def no_tinyalgo(monkeypatch, iticker):
    monkeypatch.setitem(sys.modules, "quorvane.tinyalgo", None)


@pytest.mark.parametrize("setup, logged, seen", [
    # silent: nothing to feed
    (lambda mp, it: it.bars.clear(), False, False),
    (lambda mp, it: delattr(it, "bars"), False, False),
    (lambda mp, it: it.bars.update({60: object()}), False, False),
    (lambda mp, it: setattr(it, "bars", {"60": it.bars[60]}), False, False),
    # logged: a broken ticker, a missing host module, a failing aggregator (after last_seen)
    (lambda mp, it: setattr(it, "bars", [it.bars[60]]), True, False),
    (no_tinyalgo, True, False),
    (lambda mp, it: setattr(it.bars[60], "raises", ValueError("full")), True, True),
])
def test_pump_without_an_aggregator_or_with_a_failing_one(monkeypatch, log_records, setup, logged, seen):
    manager, bars, agg = subscribed()
    log_records.clear()
    setup(monkeypatch, manager._subs["S00"].iticker)
    ibfake.emit_update(bars)
    assert [r["message"] for r in log_records] == (["barwarden pump failed for S00"] if logged else [])
    assert (manager._subs["S00"].last_seen > 0) == seen


def test_pump_of_an_empty_list_or_an_unknown_symbol_is_silent(log_records):
    manager, bars, agg = subscribed()
    log_records.clear()
    assert manager._pump_authoritative("OTHER", bars) is None
    bars.clear()
    ibfake.emit_update(bars)
    manager._pump_authoritative("S00", BarDataList())
    assert agg.bars == [] and log_records == [] and manager._subs["S00"].last_seen == 0.0
    with pytest.raises(TypeError, match="Argument 'symbol' has incorrect type"):
        manager._pump_authoritative(Name("S00"), bars)


def test_handler_keeps_the_manager_until_stop_then_all_is_collected():
    manager, bars, agg = subscribed()
    alive = weakref.ref(manager)
    del manager
    gc.collect()
    ibfake.emit_update(bars)                         # eventkit holds the nested builtin strongly
    assert alive() is not None and len(agg.bars) == 1
    run(alive().stop)
    gc.collect()
    assert alive() is None


def test_pumps_leave_reference_counts_as_they_were(log_records):
    manager, bars, agg = subscribed()
    good = ibfake.bar_data(bars[-1].date, **GOOD)
    bad = BarData(**{**vars(good), "low": "x"})
    watched = [bars, good, good.date, good.open, good.volume, bad, bad.low, manager]

    def pump_both(rounds):
        for _ in range(rounds):
            for last in (good, bad):
                bars[-1] = last
                ibfake.emit_update(bars)
        agg.bars.clear()
        log_records.clear()
        bars[-1] = good

    pump_both(1)
    before = [sys.getrefcount(o) for o in watched]
    pump_both(100)
    assert [sys.getrefcount(o) for o in watched] == before


BUST = "barwarden: bust trade reported for {} (10225); server bars already reflect the correction"


def test_bust_trade_warnings(monkeypatch, log_records):
    clock = [0.0]
    monkeypatch.setattr(barwarden, "time", types.SimpleNamespace(time=lambda: clock[0]))
    manager, _, _ = subscribed("AAPL")
    app = manager._app
    log_records.clear()
    aapl, msft = Stock("AAPL", "SMART", "USD"), Stock("MSFT", "SMART", "USD")
    escaped = []
    app.ib.errorEvent.error_event.connect(lambda event, exc: escaped.append(type(exc)))
    # AAPL's bar list answers reqId 1; 7 is no subscription's
    for at, req, code, contract in [
            (1000, 7, 10225, aapl), (1100, 7, 10225, aapl), (1300, 7, 10225, aapl), (1301, 7, 10225, aapl),
            (1302, 7, 10225, msft), (1303, 7, 10225, None), (1304, 7, 10225, object()),
            (1305, 7, 162, aapl), (1306, 7, "10225", msft), (1601, 7, 10225, aapl), (1602, 7, 10225, aapl),
            (1603, 7, 10225, types.SimpleNamespace(symbol=["unhashable"])),
            (1903, 1, 10225, None), (1904, 1, 10225, Stock()), (2204, 1, 10225, Stock()), (2205, 1, 162, None)]:
        clock[0] = float(at)
        app.ib.emit_error(req, code, "text", contract)
    assert messages(log_records, "WARNING") == [BUST.format(s) for s in ("AAPL", "AAPL", "MSFT", "?", "AAPL",
                                                                         "AAPL", "AAPL")]
    assert len(log_records) == 7 and escaped == [TypeError]  # the handler has no guard of its own
    assert manager._bust_warned == {"AAPL": 2204.0, "MSFT": 1302.0, "?": 1303.0}
    assert manager._on_ib_error(1, 10225, "", contract=msft) is None


@pytest.mark.parametrize("args, kwargs", [(("S", 1, 2), {}), ((), {"bar_list": 2, "iticker": 1, "symbol": "S"})])
def test_symbol_subscription_record(tok, args, kwargs):
    sub = barwarden._SymbolSubscription(*args, **kwargs)
    assert (sub.symbol, sub.iticker, sub.bar_list, sub.last_seen) == ("S", 1, 2, 0.0)
    assert not hasattr(sub, "__dict__")
    with pytest.raises(TypeError, match=r"Argument 'symbol' has incorrect type \(expected str, got Name\)"):
        barwarden._SymbolSubscription(Name("S"), tok(), tok())


class Reads:
    """Logs each attribute read ("name.attr") into `log`; an attribute it was not given raises."""

    def __init__(self, log, name, **attrs):
        self.__dict__.update(_log=log, _name=name, _attrs=attrs)

    def __getattr__(self, attr):
        self._log.append(f"{self._name}.{attr}")
        if attr not in self._attrs:
            raise AttributeError(attr)
        return self._attrs[attr]


def stop_reads(module, monkeypatch, log, log_records):
    manager = module.BarwardenManager(types.SimpleNamespace(ib=Reads(log, "ib", cancelHistoricalData=len)))
    manager._subs["S"] = Reads(log, "sub", bar_list=Reads(log, "bars", updateEvent=0))
    run(manager.stop)
    return log


def pause_fails(module, monkeypatch, log, log_records):
    monkeypatch.setattr(module, "asyncio", types.SimpleNamespace(create_task=asyncio.create_task))
    monkeypatch.delattr(module, "STAGGER_SECONDS")
    with pytest.raises(Exception) as failed:
        run(lambda: started(module.BarwardenManager(ibfake.terminal_app(1))))
    return failed.type


def pump_fails(module, monkeypatch, log, log_records):
    monkeypatch.delattr(module, "_EXCHANGE_TZ")
    manager = module.BarwardenManager(None)
    manager._subs["S"] = Reads(log, "sub", iticker=Reads(log, "it", bars={60: ibfake.RecordingAggregator()}))
    manager._pump_authoritative("S", [Reads(log, "bar", date=Reads(log, "dt", tzinfo=None))])
    return log, log_records[-1]["exception"].type


# the method looked up before its arguments are read, as the interpreter does
@pytest.mark.parametrize("scenario", [stop_reads, pause_fails, pump_fails])
def test_host_reads_in_the_interpreters_order(monkeypatch, log_records, scenario):
    assert scenario(barwarden, monkeypatch, [], log_records) == scenario(baseline, monkeypatch, [], log_records)


# --- over the socket -------------------------------------------------------------------------

# No trade prints: the newest bar stays what the simulator sent. Its clock runs 90 s ahead, so the
# quote's first print, which ib_async stamps with the time it arrives, never falls in a minute
# newer than the simulator's newest (last complete) bar, which would make the server's bar stale.
STILL = {"tick_interval": 3600, "clock": lambda: time.time() + 90}


@contextlib.asynccontextmanager
async def over_the_wire(ib_sim, timeline, symbols):
    """The host's terminal app connected to the simulator (its symbols qualified), requests
    recorded in the timeline, and a manager whose first pass has run; stopped at the end."""
    app = TerminalApp(symbols)
    assert await app.connect("127.0.0.1", ib_sim.port, CLIENT_ID)
    watch(app, timeline)
    manager = BarwardenManager(app)
    try:
        yield app, await started(manager)
    finally:
        await manager.stop()
        app.disconnect()


def warnings(log_records):
    """The manager's warnings (the simulator logs its own)."""
    return [m for m in messages(log_records, "WARNING") if m.startswith("barwarden")]


async def until(predicate):
    while not predicate():
        await asyncio.sleep(0.02)


def live_requests(ib_sim):
    return [(r["symbol"], r["keepUpToDate"], r["useRTH"], r["formatDate"], r["durationStr"], r["barSizeSetting"],
             r["whatToShow"], r["endDateTime"]) for name, r in ib_sim.call(lambda sim: list(sim.requests))
            if name == "reqHistoricalData"]


@pytest.mark.ib_sim(**STILL)
def test_server_bars_reach_the_aggregators_and_the_cache(ib_sim, timeline, log_records, tmp_path):
    async def scenario():
        async with over_the_wire(ib_sim, timeline, ("AAPL", "MSFT", "ZZZZ")) as (app, manager):
            aggregators = [app.quoteState[s].bars[60] for s in ("AAPL", "MSFT")]
            await until(lambda: all(manager._subs[s].last_seen for s in ("AAPL", "MSFT")))  # pumped
            loader.open_cache(tmp_path)
            try:
                await LiveBarFlusher(app).flush()
                stored = [loader._get_cache().intraday(s)[-1] for s in ("AAPL", "MSFT")]
            finally:
                loader.close_cache()
            return list(manager._subs), [dataclasses.asdict(agg.current) for agg in aggregators], stored

    subs, forming, stored = asyncio.run(asyncio.wait_for(scenario(), 30))
    # ZZZZ, unknown to IB, keeps its unqualified contract: never requested, not counted, no pause
    assert subs == ["AAPL", "MSFT"] and timeline == ["AAPL", P, "MSFT", P]
    assert live_requests(ib_sim) == [(s, 1, 1, 2, "1 D", "1 min", "TRADES", "") for s in ("AAPL", "MSFT")]
    assert warnings(log_records) == ["barwarden subscribe failed for ZZZZ"]
    newest = [ib_sim.call(lambda sim, s=s: sim.bars(s, False)[-1]) for s in ("AAPL", "MSFT")]
    fields = ("open", "high", "low", "close", "volume")
    assert forming == [{"timestamp": float(b["date"]), **{k: b[k] for k in fields}} for b in newest]
    assert stored == [{"date": b["date"], **{k: b[k] for k in fields}, "source": "live"} for b in newest]


@pytest.mark.ib_sim(symbols=("AAPL", "MSFT"))
def test_refused_subscription_tried_again_and_busts_named(ib_sim, timeline, log_records):
    ib_sim.call(lambda sim: sim.fail("live", 162, symbol="MSFT", times=1))

    def requested(symbol):
        return sum(r[0] == symbol for r in live_requests(ib_sim))

    async def scenario():
        async with over_the_wire(ib_sim, timeline, ("AAPL", "MSFT")) as (app, manager):
            first, handlers = list(manager._subs), len(app.ib.errorEvent)
            await manager.stop()                     # as the host does at a reconnect
            await until(lambda: not ib_sim.call(lambda sim: sim.live_subscriptions))
            await started(manager)
            again = (list(manager._subs), len(app.ib.errorEvent))
            for symbol, requests in (("AAPL", 3), ("MSFT", 3), ("AAPL", 4)):
                # ib_async re-requests a busted list itself, under its reqId, keeping no contract
                await until(lambda: symbol in ib_sim.call(lambda sim: sim.live_subscriptions).values())
                ib_sim.call(lambda sim: sim.bust(symbol))
                await until(lambda: requested(symbol) == requests)
            return (first, handlers), again

    first, again = asyncio.run(asyncio.wait_for(scenario(), 30))
    assert (first[0], again[0]) == (["AAPL"], ["AAPL", "MSFT"]) and first[1] == again[1]  # no watcher left
    assert timeline == ["AAPL", P, "MSFT", "AAPL", P, "MSFT", P]  # a refusal is not counted, no pause
    assert warnings(log_records) == ["barwarden subscribe failed for MSFT", BUST.format("AAPL"), BUST.format("MSFT")]

"""The live bar subscriptions against a fake IB session made of the real ib_async and eventkit
objects (tests/ibfake.py): start's checks, the staggered pass, stop, the update pump as the
library emits updates, minute flooring and the bust-trade warnings."""
import asyncio
import types
from datetime import datetime, timedelta, timezone
from zoneinfo import ZoneInfo

import pytest
from ib_async import BarData, Stock

import ibfake
from quorvane.server import barwarden
from quorvane.server.barwarden import BarwardenManager


@pytest.fixture
def pauses(monkeypatch):
    """The pass's pauses, recorded; each yields to the loop once instead of sleeping."""
    seen = []

    async def sleep(delay):
        seen.append(delay)
        await asyncio.sleep(0)
    monkeypatch.setattr(barwarden, "asyncio", types.SimpleNamespace(sleep=sleep, create_task=asyncio.create_task))
    return seen


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
                                             ("no", True), ("1", True), (None, True)])
def test_enable_switch(monkeypatch, pauses, log_records, switch, enabled):
    if switch is None:
        monkeypatch.delenv("QUORVANE_BARWARDEN", raising=False)
    else:
        monkeypatch.setenv("QUORVANE_BARWARDEN", switch)
    app = ibfake.terminal_app(2)
    manager = run(lambda: started(BarwardenManager(app)))
    assert len(manager._subs) == (2 if enabled else 0)
    assert messages(log_records, "INFO") == ([] if enabled else ["barwarden disabled via QUORVANE_BARWARDEN"])


@pytest.mark.parametrize("app, line", [
    (None, "barwarden: no icli app, staying idle"),
    (types.SimpleNamespace(quoteState={"A": 1}), "barwarden: no ib session, staying idle"),
    (ibfake.FakeTerminalApp(ibfake.FakeIB()), "barwarden: no tracked tickers yet"),
    (types.SimpleNamespace(ib=ibfake.FakeIB()), "barwarden: no tracked tickers yet"),
])
def test_idle_without_app_session_or_tickers(log_records, app, line):
    manager = run(lambda: started(BarwardenManager(app)))
    assert messages(log_records, "INFO") == [line]
    assert manager._stagger_task is None and manager._error_handler is None
    ib = getattr(app, "ib", None)
    assert ib is None or len(ib.errorEvent) == 0
    assert run(manager.stop) is None


def test_pass_opens_at_most_max_subs(monkeypatch, pauses):
    monkeypatch.setattr(barwarden, "STAGGER_SECONDS", 0.25)
    app = ibfake.terminal_app(60)
    manager = run(lambda: started(BarwardenManager(app)))
    assert list(manager._subs) == [f"S{i:02d}" for i in range(50)]
    assert pauses == [0.25] * 50
    request = app.ib.requests[0]
    assert request.args == (app.quoteState["S00"].ticker.contract,)
    assert request.kwargs == {"endDateTime": "", "durationStr": "1 D", "barSizeSetting": "1 min",
                              "whatToShow": "TRADES", "useRTH": True, "formatDate": 2, "keepUpToDate": True}


def test_pass_names_contracts_and_failures(pauses, log_records):
    app = ibfake.terminal_app(0)
    nameless = [ibfake.FakeITicker("X1"), ibfake.FakeITicker("X2")]
    for t in nameless:
        del t.name
    no_contract = ibfake.FakeITicker("NOC")
    no_contract.ticker = None
    odd = ibfake.FakeITicker("ODD")
    odd.name = None
    app.quoteState = {"X1": nameless[0], "X2": nameless[1], "NOC": no_contract, "ODD": odd,
                      "BAD": ibfake.FakeITicker("BAD"), "OK": ibfake.FakeITicker("OK")}
    app.ib.fail["BAD"] = RuntimeError("pacing violation")
    manager = run(lambda: started(BarwardenManager(app)))
    assert list(manager._subs) == ["?", "OK"]
    assert [r.args[0].symbol for r in app.ib.requests] == ["X1", "BAD", "OK"]
    assert len(pauses) == 3            # "?", the ticker without contract, OK
    assert messages(log_records, "WARNING") == ["barwarden subscribe failed for None",
                                                "barwarden subscribe failed for BAD"]


def test_stop_in_the_middle_of_a_pass(pauses):
    app = ibfake.terminal_app(3)
    gate = app.ib.gates["S01"] = asyncio.Event()

    async def scenario():
        manager = BarwardenManager(app)
        await manager.start()
        await manager.start()                        # a pass is running: nothing more happens
        while "S01" not in app.ib.in_flight:
            await asyncio.sleep(0)
        task = manager._stagger_task
        first = manager._subs["S00"].bar_list
        await manager.stop()
        await asyncio.sleep(0)
        gate.set()
        return manager, task, first

    manager, task, first = run(scenario)
    assert task.cancelled() and manager._stagger_task is None
    assert manager._subs == {} and app.ib.cancelled == [first]
    assert len(first.updateEvent) == 0 and len(app.ib.errorEvent) == 0
    assert len(app.ib.requests) == 2


def test_updates_pump_authoritative_bars(pauses):
    app = ibfake.terminal_app(1)
    manager = run(lambda: started(BarwardenManager(app)))
    bars = manager._subs["S00"].bar_list
    handler = manager._make_update_handler("S00")
    assert handler is manager._make_update_handler("S00") and len(bars.updateEvent) == 1
    forming = ibfake.START + timedelta(minutes=5, seconds=59.9)
    ibfake.emit_update(bars, ibfake.bar_data(forming, open=10, high=12, low=9, close=11, volume=500))
    ibfake.emit_update(bars, ibfake.bar_data(forming, open=10, high=13, low=9, close=12, volume=700))
    got = [(b.timestamp, b.open, b.high, b.low, b.close, b.volume) for b in ibfake.aggregator(app, "S00").bars]
    minute = (ibfake.START + timedelta(minutes=5)).timestamp()
    assert got == [(minute, 10.0, 12.0, 9.0, 11.0, 500.0), (minute, 10.0, 13.0, 9.0, 12.0, 700.0)]
    assert manager._subs["S00"].last_seen > 0
    run(manager.stop)
    assert len(bars.updateEvent) == 0 and manager._update_handlers["S00"] is handler
    bars.updateEvent.emit(bars, False)                # a late update after stop pumps nothing
    assert len(ibfake.aggregator(app, "S00").bars) == 2


@pytest.mark.parametrize("date, minute", [
    (datetime(2025, 12, 1, 14, 30, 59, 900000, tzinfo=timezone.utc), datetime(2025, 12, 1, 14, 30, tzinfo=timezone.utc)),
    (datetime(2025, 12, 1, 14, 30, tzinfo=timezone.utc), datetime(2025, 12, 1, 14, 30, tzinfo=timezone.utc)),
    (datetime(2025, 12, 1, 20, 0, 30, tzinfo=timezone(timedelta(hours=5, minutes=30))),
     datetime(2025, 12, 1, 14, 30, tzinfo=timezone.utc)),
    (datetime(2025, 12, 1, 9, 30, 45), datetime(2025, 12, 1, 9, 30, tzinfo=ZoneInfo("America/New_York"))),
])
@pytest.mark.parametrize("volume, sent", [(None, 0.0), (0, 0.0), (-1, -1.0), (12.5, 12.5)])
def test_bar_time_and_volume(date, minute, volume, sent):
    manager = BarwardenManager(None)
    iticker = ibfake.FakeITicker("S")
    manager._subs["S"] = barwarden._SymbolSubscription("S", iticker, [BarData(date=date, volume=volume)])
    manager._pump_authoritative("S", manager._subs["S"].bar_list)
    [bar] = iticker.bars[60].bars
    assert (bar.timestamp, bar.volume) == (minute.timestamp(), sent)
    assert type(barwarden._bucket_start_epoch(date.astimezone(timezone.utc))) is int


@pytest.mark.parametrize("field, value, logged", [("open", None, True), ("close", "x", True), ("date", None, False),
                                                 ("date", "missing", True)])
def test_malformed_bar_then_next_update(log_records, field, value, logged):
    manager = BarwardenManager(None)
    iticker = ibfake.FakeITicker("S")
    good = ibfake.bar_data(ibfake.START)
    bad = types.SimpleNamespace(**vars(good))
    if value == "missing":
        delattr(bad, field)
    else:
        setattr(bad, field, value)
    manager._subs["S"] = barwarden._SymbolSubscription("S", iticker, [bad])
    handler = manager._make_update_handler("S")
    assert handler([bad], True) is None               # what the library calls never raises
    handler([good])
    assert len(iticker.bars[60].bars) == 1
    assert [(r["message"], r["exception"] is not None) for r in log_records] == (
        [("barwarden pump failed for S", True)] if logged else [])


def test_bust_trade_warnings(monkeypatch, log_records):
    clock = [1000.0]
    monkeypatch.setattr(barwarden, "time", types.SimpleNamespace(time=lambda: clock[0]))
    manager = BarwardenManager(None)
    aapl = Stock("AAPL", "SMART", "USD")
    for at, code, contract in [(1000, 10225, aapl), (1100, 10225, aapl), (1300, 10225, aapl), (1301, 10225, aapl),
                               (1302, 10225, None), (1303, 10225, object()), (1304, 162, aapl)]:
        clock[0] = float(at)
        manager._on_ib_error(7, code, "text", contract)
    text = "barwarden: bust trade reported for {} (10225); server bars already reflect the correction"
    assert messages(log_records, "WARNING") == [text.format("AAPL"), text.format("AAPL"), text.format("?")]
    assert manager._bust_warned == {"AAPL": 1301.0, "?": 1302.0}

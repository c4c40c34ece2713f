"""Every coroutine function and route of the native modules, driven to each of its suspensions
next to its `async def` twin: left there (loop closed, references dropped) it is collected, and
cancelled there it ends with CancelledError and leaves no task and nothing it held behind.

A native body that kept a reference the garbage collector cannot see across an await would keep
a suspended request alive for ever: the objects it holds would never be freed."""
import asyncio
import gc
import importlib
import inspect
import sys
import types
import weakref
from concurrent.futures import ThreadPoolExecutor
from types import SimpleNamespace

import httpx
import pandas as pd
import pytest
import websockets
import yfinance
from starlette.datastructures import Headers, QueryParams

import ibfake
from baseline import barwarden as barwarden_twin
from baseline import billing as billing_twin
from baseline import formulas as formulas_twin
from baseline import health as health_twin
from baseline import intraday as intraday_twin
from baseline import lagsentry as lagsentry_twin
from baseline import snapshots as snapshots_twin
from quorvane.data import loader

MODULES = ["quorvane.server.barwarden", "quorvane.server.lagsentry", "quorvane.server.telegram",
           "quorvane.server.routes.billing", "quorvane.server.routes.formulas", "quorvane.server.routes.health",
           "quorvane.brokers.qmt.termhost"]
ENDLESS = 6  # suspensions a loop that never ends is driven through


def coroutine_functions():
    """module:qualname of each coroutine function the native modules define."""
    for name in MODULES:
        module = importlib.import_module(name)
        for attr, value in vars(module).items():
            if isinstance(value, type) and value.__module__ == name:
                yield from (f"{name}:{attr}.{m}" for m, f in vars(value).items() if inspect.iscoroutinefunction(f))
            elif inspect.iscoroutinefunction(value) and getattr(value, "__module__", None) == name:
                yield f"{name}:{attr}"


class Token:
    """What a body holds: freed once the coroutine is."""


def request(token, icli=None, **fields):
    return SimpleNamespace(app=SimpleNamespace(state=SimpleNamespace(icli_app=icli)), token=token, **fields)


async def step():
    """One turn of the loop, waiting on a future as a real request waits on its I/O."""
    done = asyncio.get_running_loop().create_future()
    done.get_loop().call_soon(done.set_result, None)
    await done


async def unavailable(*args, **kwargs):
    await step()
    raise LookupError("no bars")


class Quote:
    def __init__(self, sec_type):
        self.sec_type = sec_type

    def to_dict(self):
        return {"symbol": "AAPL", "secType": self.sec_type}


def snapshots(online):
    def setup(monkeypatch, mod):
        monkeypatch.setattr(mod, "get_bars", unavailable)
        monkeypatch.setattr(yfinance, "Ticker", lambda sym: SimpleNamespace(info={"regularMarketPrice": 1.0}))
        icli = SimpleNamespace(connected=True, quoteState={"AAPL": Quote("STK"), "SPY": Quote("STK"),
                                                           "X": Quote("OPT")}) if online else None
        return lambda token: mod.snapshots(request(token, icli), "" if online else "aapl,spy")
    return setup


class Client:
    """httpx.AsyncClient as the backend answers it, one step of the loop per await."""

    def __init__(self, **kwargs):
        pass

    async def __aenter__(self):
        await step()
        return self

    async def __aexit__(self, *exc):   # no step: close() of a body left inside the block awaits it
        pass

    async def request(self, **kwargs):
        await step()
        return httpx.Response(200, content=b"{}", headers={"content-type": "application/json"})

    async def get(self, path):
        await step()
        return httpx.Response(200, json={"data": {"accountId": "U1"}})

    async def recv(self):   # as a websocket
        await step()
        return '{"type": "asset", "data": {"cash": 1}}'


def billing(monkeypatch, mod):
    monkeypatch.setattr(httpx, "AsyncClient", Client)

    async def body():
        await step()
        return b""
    return lambda token: mod.proxy_billing(request(
        token, method="GET", url=SimpleNamespace(path="/api/v1/billing/wallet"), headers=Headers({"a": "1"}),
        query_params=QueryParams("x=1&x=2"), body=body))


def formula_batch(monkeypatch, mod):
    async def get_bars(*args, **kwargs):
        await step()
        return pd.DataFrame({"date": pd.date_range("2026-01-05", periods=30, tz="UTC"), "open": 1.0, "high": 2.0,
                             "low": 0.5, "close": 1.5, "volume": 10.0})
    monkeypatch.setattr(loader, "get_bars", get_bars)

    def make(token):
        mod._batch_cache.clear()
        return mod.formula_batch(request(token), "AAPL", "day", 30, ["MA"], 0)
    return make


def batch_intraday(monkeypatch, mod):
    monkeypatch.setattr(mod, "_get_cache", lambda: SimpleNamespace(get_intraday=lambda sym: None))
    monkeypatch.setattr(yfinance, "Ticker", lambda sym: SimpleNamespace(history=lambda **kw: pd.DataFrame()))
    return lambda token: mod.batch_intraday(request(token), mod.BatchIntradayRequest(symbols=["aapl", "spy"]))


def manager(method):
    def setup(monkeypatch, mod):
        monkeypatch.setattr(mod, "STAGGER_SECONDS", 0)

        def make(token):
            app = ibfake.terminal_app(2)
            app.ib.gates["*"] = SimpleNamespace(wait=step)
            app.token = token
            owner = mod.BarwardenManager(app)
            args = ("S00", app.quoteState["S00"]) if method == "_subscribe_one" else ()
            return getattr(owner, method)(*args)
        return make
    return setup


def sentry(monkeypatch, mod):
    def make(token):
        watched = mod.LagSentry(interval=0.0)
        watched.token = token
        return watched.run()
    return make


def streamer(token):
    async def broadcast_json(message):
        await step()
    return SimpleNamespace(manager=SimpleNamespace(broadcast_json=broadcast_json), token=token)


def termhost_broadcast(monkeypatch, mod):
    return lambda token: mod.QMTTermhost()._broadcast_asset({"accountId": "U1"}, streamer(token))


def termhost_poll(monkeypatch, mod):
    monkeypatch.setenv("QUORVANE_QMT_POLL_SECONDS", "0")
    monkeypatch.setattr(httpx, "AsyncClient", Client)
    monkeypatch.setattr(websockets, "connect", lambda url: Client())
    return lambda token: mod.QMTTermhost()._account_poll_loop(streamer(token))


def plain(call):
    return lambda monkeypatch, mod: lambda token: call(mod, token)


B, F, H = "quorvane.server.barwarden:BarwardenManager.", "quorvane.server.routes.formulas:", \
    "quorvane.server.routes.health:"
# module:qualname -> (setup(monkeypatch, module) -> make(token) -> coroutine, its twin's module or None)
SCENARIOS = {
    B + "start": (manager("start"), barwarden_twin),
    B + "stop": (manager("stop"), barwarden_twin),
    B + "_subscribe_all": (manager("_subscribe_all"), barwarden_twin),
    B + "_subscribe_one": (manager("_subscribe_one"), barwarden_twin),
    "quorvane.server.lagsentry:LagSentry.run": (sentry, lagsentry_twin),
    "quorvane.server.routes.billing:proxy_billing": (billing, billing_twin),
    F + "formula_batch": (formula_batch, formulas_twin),
    F + "list_formulas": (plain(lambda mod, token: mod.list_formulas(request(token))), None),
    F + "reload_formulas": (plain(lambda mod, token: mod.reload_formulas(request(token))), None),
    F + "remove_formula": (plain(lambda mod, token: mod.remove_formula(request(token), "NO_SUCH")), None),
    H + "health": (plain(lambda mod, token: mod.health(request(token))), health_twin),
    H + "info": (plain(lambda mod, token: mod.info()), health_twin),
    H + "market_status": (plain(lambda mod, token: mod.market_status(request(token), "NYSE")), None),
    H + "snapshots": (snapshots(online=False), snapshots_twin),
    # left a turn after its gather suspended, the online request kept its children's coroutines
    # (and through their tasks' callbacks itself) in a Ref the collector could not see
    H + "snapshots:online": (snapshots(online=True), snapshots_twin),
    H + "batch_intraday": (batch_intraday, intraday_twin),
    "quorvane.brokers.qmt.termhost:QMTTermhost._broadcast_asset": (termhost_broadcast, None),
    "quorvane.brokers.qmt.termhost:QMTTermhost._account_poll_loop": (termhost_poll, None),
}


@types.coroutine
def counted(coro, suspended):
    """await coro, calling suspended() each time it suspends."""
    it, value = coro.__await__(), None
    send = it.send
    while True:
        try:
            yielded = send(value)
        except StopIteration as e:
            return e.value
        suspended()
        try:
            value, send = (yield yielded), it.send
        except GeneratorExit:
            it.close()
            raise
        except BaseException as e:
            value, send = e, it.throw


MODES = ("left", "left a turn later", "cancelled")   # a turn: what the body started runs its first step


def drive(make, stop_at=None, mode="cancelled"):
    """Runs make(token) in a loop of its own to its stop_at-th suspension (all of them when None),
    then leaves it there or cancels it. -> (suspensions, how it ended, tasks left, token freed,
    errors reported while it was collected)."""
    loop = asyncio.new_event_loop()
    loop.set_exception_handler(lambda loop, context: None)   # "Task was destroyed but it is pending!"
    workers = ThreadPoolExecutor()   # waited for: a call still running holds what it was given
    loop.set_default_executor(workers)
    token = Token()
    freed = weakref.ref(token)
    count = 0

    def suspended():
        nonlocal count
        count += 1
        if count != (stop_at or ENDLESS):
            return
        if mode == "left":
            loop.stop()
        elif mode == "left a turn later":
            loop.call_soon(loop.stop)
        else:
            task.cancel()

    async def watched(coro):
        return await counted(coro, suspended)

    task = loop.create_task(watched(make(token)))
    del token
    task.add_done_callback(lambda _: loop.stop())
    loop.run_forever()
    ended = None if not task.done() else "CancelledError" if task.cancelled() else \
        type(task.exception()).__name__ if task.exception() else "returned"
    left = sum(not t.done() for t in asyncio.all_tasks(loop) if t is not task)
    # an error of the closing (a finally block's call_soon on the closed loop) is told by its
    # type: kept, it would keep the frames of its traceback, and what they hold, alive
    unraisable, hook = [], sys.unraisablehook
    sys.unraisablehook = lambda u: unraisable.append(u.exc_type.__name__)
    try:
        loop.close()
        workers.shutdown()
        del task, loop
        gc.collect()
    finally:
        sys.unraisablehook = hook
    return count, ended, left, freed() is None, unraisable


def test_every_coroutine_function_has_a_scenario():
    assert sorted(set(coroutine_functions()) - {s.split(":online")[0] for s in SCENARIOS}) == []


@pytest.mark.parametrize("name", SCENARIOS)
def test_left_suspended_or_cancelled_it_holds_nothing(name, monkeypatch):
    setup, twin = SCENARIOS[name]
    native = setup(monkeypatch, importlib.import_module(name.split(":")[0]))
    count, ended, left, freed, errors = drive(native)
    assert freed
    runs = [drive(native, k, mode) for k in range(1, min(count, ENDLESS) + 1) for mode in MODES]
    for k, (at_once, later, cancelled) in enumerate(zip(*[iter(runs)] * 3), 1):
        assert at_once[3] and later[3], f"left at suspension {k}, it was never collected"
        assert cancelled[1:] == ("CancelledError", 0, True, []), f"cancelled at suspension {k}"
    if twin is not None:
        twinned = setup(monkeypatch, twin)
        assert drive(twinned) == (count, ended, left, freed, errors)
        assert [drive(twinned, k, mode) for k in range(1, min(count, ENDLESS) + 1) for mode in MODES] == runs

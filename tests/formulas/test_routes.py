"""The formula routes through the real app: the batch route's payloads, cache and since filter,
emit and replay dispatch, bad input, and the catalogue routes. The bar loader is replaced per test
(the route imports it at each call); the formula registry is a fresh one with the presets."""
import asyncio
import types

import pandas as pd
import pytest

import quorvane.formulas as host_formulas
from quorvane.data import loader
from quorvane.formulas import FormulaRegistry
from quorvane.formulas.hotreload import FormulaHotReloader
from quorvane.server.routes import formulas

from appstate import ABSENT

T0 = 1_700_000_000


def bar_frame(n, volume=True, dates=None):
    rows = [{"date": T0 + 86400 * i if dates is None else dates[i], "open": 10.0 + i, "high": 11.0 + i,
             "low": 9.0 + i, "close": 10.5 + i} for i in range(n)]
    for row in rows if volume else []:
        row["volume"] = 1000.0
    return pd.DataFrame(rows)


@pytest.fixture
def env(monkeypatch):
    """A fresh registry with the presets and a few test formulas, a loader answering `env.bars`,
    a clock at `env.now`, and an empty batch cache."""
    state = types.SimpleNamespace(bars=bar_frame(30), now=100.0, loads=[], calls=[])
    registry = FormulaRegistry.with_presets()
    monkeypatch.setattr(host_formulas, "registry", registry)
    monkeypatch.setattr(formulas, "_batch_cache", {})
    monkeypatch.setattr(formulas, "time", types.SimpleNamespace(monotonic=lambda: state.now))

    async def get_bars(symbol, period, count, adjust):
        state.loads.append((symbol, period, count, adjust))
        if isinstance(state.bars, Exception):
            raise state.bars
        return state.bars
    monkeypatch.setattr(loader, "get_bars", get_bars)

    def counted(bars, n=2, **kw):
        state.calls.append(("counted", len(bars), kw))
        return {"kind": "series", "series": [{"time": int(b.timestamp), "value": n} for b in bars]}

    def legacy(bars):
        state.calls.append(("legacy", len(bars)))
        return {"value": len(bars)}

    def boom(bars, emit=True):
        raise RuntimeError("formula failed")

    for name, fn in [("COUNTED", counted), ("LEGACY", legacy), ("BOOM", boom),
                     ("JUNK", lambda bars, emit=True: [1]), ("BUILTIN", iter)]:
        registry.register(name, fn)
    state.registry = registry
    return state


def batch(call_app, query, **state):
    response = call_app(f"GET /api/v1/formulas/batch?{query}", **state)[0]
    assert response.status_code == 200, response.text
    return response.json()


def test_success_payload(call_app, env):
    got = batch(call_app, "symbol=aapl&ind=counted(3)&ind=ma(2&ind=nope&ind=BOOM&ind=junk&count=30&since=0")
    assert list(got) == ["success", "symbol", "period", "count", "since", "indicators", "errors"]
    assert got["symbol"] == "AAPL" and got["period"] == "day" and got["count"] == 30 and got["since"] == 0
    assert env.loads == [("AAPL", "day", 30, "none")]
    assert list(got["indicators"]) == ["COUNTED(3)"]
    assert got["indicators"]["COUNTED(3)"]["plots"]["value"][:2] == [{"time": T0, "value": 3},
                                                                     {"time": T0 + 86400, "value": 3}]
    assert got["errors"] == {"ma(2": "invalid indicator spec", "nope": "Unknown formula: NOPE",
                             "BOOM": "formula failed",
                             "JUNK": "Argument 'result' has incorrect type (expected dict, got list)"}


@pytest.mark.parametrize("bars, symbol, error", [
    (ValueError("disk gone"), "msft", "bars unavailable for msft: disk gone"),
    (None, "msft", "No bars for msft day"),
    (bar_frame(0), "msft", "No bars for msft day"),
    (bar_frame(3, dates=["not a date", None, float("nan")]), "msft", "No bars for msft day"),
    (bar_frame(3), "/es", "formulas only apply to stocks and ETFs: /es"),
    (bar_frame(3), "EUR.USD", "formulas only apply to stocks and ETFs: EUR.USD"),
    (bar_frame(3), "", "formulas only apply to stocks and ETFs: "),
])
def test_failure_payloads(call_app, env, bars, symbol, error):
    env.bars = bars
    assert batch(call_app, f"symbol={symbol}&ind=MA") == {"success": False, "error": error}
    assert env.loads == ([] if "stocks" in error else [(symbol.upper(), "day", 250, "none")])


def test_no_specs_on_direct_call(env):
    assert asyncio.run(formulas.formula_batch(None, "AAPL", ind=[])) == {"success": False,
                                                                         "error": "no indicators requested"}
    assert env.loads == []


def test_record_without_volume(call_app, env):
    env.bars = bar_frame(2, volume=False)
    seen = []
    env.registry.register("SEE", lambda bars, emit=True: seen.extend(bars) or {"kind": "series"})
    batch(call_app, "symbol=AAPL&ind=SEE")
    assert [b.volume for b in seen] == [0.0, 0.0]


class Record(dict):
    """A loader record that logs the fields read from it."""

    def __getitem__(self, key):
        self.read.append(key)
        return super().__getitem__(key)

    def get(self, key, default=None):
        self.read.append(key)
        return super().get(key, default)


@pytest.mark.parametrize("fields, outcome", [
    ({"open": 1, "high": 2, "low": 0, "close": 1, "volume": 5}, ["date", "open", "high", "low", "close", "volume"]),
    ({"high": 2, "low": 0}, KeyError("open")),      # the first field missing is the one named
    ({"open": 1, "high": 2, "low": 0}, KeyError("close")),
])
def test_records_read_in_order(env, fields, outcome):
    record = Record(date=T0, **fields)
    record.read = []
    env.bars = types.SimpleNamespace(empty=False, to_dict=lambda orient: [record])
    call = formulas.formula_batch(None, "AAPL", ind=["MA"])
    if isinstance(outcome, KeyError):
        with pytest.raises(KeyError) as raised:
            asyncio.run(call)
        assert raised.value.args == outcome.args
    else:
        assert asyncio.run(call)["success"] is True and record.read == outcome


def test_since_answers_from_copies(env, monkeypatch):
    """Payloads that are not what _normalize_plots makes: one without plots stays as it is, another
    keeps its own keys in their order; the cached payloads keep every point."""
    bare, odd = {"note": 1}, {"plots": {"b": [{"time": 5}, {"x": 1}], "a": [{"time": 9}]}, "extra": 2}
    monkeypatch.setattr(formulas, "_compute_indicators", lambda bars, ind: ({"K": bare, "L": odd}, {"E": "e"}))
    got = asyncio.run(formulas.formula_batch(None, "AAPL", ind=["X"], since=6))
    assert got["indicators"] == {"K": {"note": 1}, "L": {"plots": {"b": [], "a": [{"time": 9}]}, "extra": 2}}
    assert list(got["indicators"]["L"]) == ["plots", "extra"] and got["errors"] == {"E": "e"}
    assert odd["plots"]["b"] == [{"time": 5}, {"x": 1}] and bare == {"note": 1}


@pytest.mark.parametrize("computed, raised", [
    (KeyError("formula key"), KeyError),                                     # escapes the computation
    (({"K": {"plots": {"a": [{"time": 9}, 7]}}}, {}), AttributeError),        # a point without get
])
def test_unguarded_failures_raise(env, monkeypatch, computed, raised):
    def compute(bars, ind):
        if isinstance(computed, Exception):
            raise computed
        return computed
    monkeypatch.setattr(formulas, "_compute_indicators", compute)
    with pytest.raises(raised):
        asyncio.run(formulas.formula_batch(None, "AAPL", ind=["X"], since=1))
    # nothing stored when the computation raises; a filter failure leaves the stored lists as they were
    assert list(formulas._batch_cache.values()) == ([] if raised is KeyError else [(env.now, computed)])


def test_cache(call_app, env):
    first = batch(call_app, "symbol=AAPL&ind=counted&ind=legacy")
    calls = len(env.calls)
    assert batch(call_app, "symbol=aapl&ind=legacy&ind=counted") == first   # same set, any order
    assert len(env.calls) == calls and len(env.loads) == 2                  # loaded, not computed
    env.now += 4.999
    batch(call_app, "symbol=AAPL&ind=counted&ind=legacy")
    assert len(env.calls) == calls
    env.now += 0.001                                                        # 5.0 s: stale
    batch(call_app, "symbol=AAPL&ind=counted&ind=legacy")
    assert len(env.calls) == 2 * calls
    assert formulas._batch_cache[("AAPL", "day", 250, ("counted", "legacy"))][0] == env.now


def test_cache_sweep(call_app, env):
    stale_key = ("AAPL", "day", 1, ("MA",))
    formulas._batch_cache[stale_key] = (env.now - 5.0, ({}, {}))
    for count in range(2, 65):                               # 64 entries, one of them stale
        batch(call_app, f"symbol=AAPL&ind=MA&count={count}")
    assert len(formulas._batch_cache) == 64
    env.now += 0.5
    batch(call_app, "symbol=AAPL&ind=MA&count=65")            # 65 entries: the stale one goes
    assert len(formulas._batch_cache) == 64 and stale_key not in formulas._batch_cache
    batch(call_app, "symbol=AAPL&ind=MA&count=66")            # 65 fresh ones: nothing goes
    assert len(formulas._batch_cache) == 65


@pytest.mark.parametrize("since, kept", [(0, 30), (-5, 30), (T0 + 86400 * 28, 2), (10**30, 0)])
def test_since(call_app, env, since, kept):
    got = batch(call_app, f"symbol=AAPL&ind=counted&ind=BOLL(3)&since={since}")
    assert [len(points) for points in got["indicators"]["COUNTED"]["plots"].values()] == [kept]
    assert list(got["indicators"]["BOLL(3)"]["plots"]) == ["upper", "mid", "lower"]
    again = batch(call_app, "symbol=AAPL&ind=counted&ind=BOLL(3)&since=0")    # the cache keeps every point
    assert len(again["indicators"]["COUNTED"]["plots"]["value"]) == 30


def test_emit_and_replay(call_app, env):
    env.bars = bar_frame(4)
    got = batch(call_app, "symbol=AAPL&ind=counted&ind=legacy&ind=builtin")
    assert env.calls == [("counted", 4, {"emit": True})] + [("legacy", n) for n in range(1, 5)]
    assert [p["value"] for p in got["indicators"]["LEGACY"]["plots"]["value"]] == [1, 2, 3, 4]
    # iter has no signature: replayed (iter(prefix) is no dict, so no points), never called with emit
    assert got["indicators"]["BUILTIN"] == {"plots": {"value": []}} and got["errors"] == {}


@pytest.mark.parametrize("query", [
    "symbol=AAPL&ind=" + "M" * 20000, "symbol=AAPL&ind=MA(" + "9," * 3000 + "9)", "symbol=AAPL&count=0&ind=MA",
    "symbol=AAPL&count=-7&ind=MA", "symbol=AAPL&count=" + "9" * 30 + "&ind=MA",
    "symbol=AAPL&" + "&".join(f"ind=MA({n})" for n in range(1, 2000)), "symbol=AAPL&ind=%00%FF%E2%80%A8",
])
def test_bad_input_is_answered(call_app, env, query):
    assert call_app(f"GET /api/v1/formulas/batch?{query}")[0].status_code in (200, 422)


def test_list(call_app, env):
    registered = env.registry.catalog()
    streamer = types.SimpleNamespace(formula_results={"AAPL": {"MA": 1}})
    for icli, results in [(ABSENT, {}), (types.SimpleNamespace(), {}),
                          (types.SimpleNamespace(streamer=types.SimpleNamespace()), {}),
                          (types.SimpleNamespace(streamer=streamer), {"AAPL": {"MA": 1}})]:
        got = call_app("GET /api/v1/formulas", icli_app=icli)[0].json()
        assert got == {"success": True, "registered": registered, "results": results}


def test_reload(call_app, env, monkeypatch):
    got = call_app("POST /api/v1/formulas/reload")[0].json()
    assert list(got) == ["success", "registered", "new", "failed"] and got["success"] is True
    assert "TYPICAL" in got["registered"] and got["registered"] == env.registry.list()
    monkeypatch.setattr(FormulaHotReloader, "reload_custom_formulas", classmethod(lambda cls, reg: (1, 2, 3)))
    assert call_app("POST /api/v1/formulas/reload")[0].json() == {
        "success": False, "error": "too many values to unpack (expected 2)"}


def test_remove(call_app, env):
    assert call_app("DELETE /api/v1/formulas/ma")[0].json() == {
        "success": False, "error": "Cannot unregister preset formula: ma"}
    assert call_app("DELETE /api/v1/formulas/Counted")[0].json() == {"success": True, "name": "COUNTED"}
    assert call_app("DELETE /api/v1/formulas/Counted")[0].json() == {"success": False, "name": "COUNTED"}

import json
import statistics
import sys
import threading

import pytest

from quorvane.formulas import FormulaRegistry, formula_key, registry
from quorvane.formulas.hotreload import FORMULA_DIR_ENV, FormulaHotReloader
from quorvane.formulas.presets import BOLL, CROSS, EMA, MA, MACD, MOM, RSI
from quorvane.helpers import contractForName
from quorvane.tinyalgo import Bar

T0 = 1_700_000_000


def bars_of(closes):
    return [Bar(timestamp=T0 + 60 * i, open=c, high=c + 1, low=c - 2, close=c, volume=10)
            for i, c in enumerate(closes)]


@pytest.mark.parametrize("fn, closes, params, first, expected", [
    (MA, [2, 4, 6, 8, 12], (3,), 2, [4, 6, 26 / 3]),
    (EMA, [2, 4, 6, 8, 12], (3,), 2, [4, 6, 9]),                  # seed mean 4, then alpha 1/2
    (RSI, [1, 2, 1, 2], (2,), 2, [50, 75]),                       # Wilder: (0.5*1 + 1)/2 vs (0.5*1 + 0)/2
    (RSI, [1, 2, 3, 4], (2,), 2, [100, 100]),                     # no losses
    (RSI, [5, 5, 5], (2,), 2, [50]),                              # no movement
    (RSI, [1, 2], (2,), 2, []),                                   # fewer than n changes
    (MA, [1, 2], (3,), 2, []),
])
def test_line_presets(fn, closes, params, first, expected):
    result = fn(bars_of(closes), *params, emit=True)
    assert result["kind"] == "series"
    assert [p["time"] for p in result["series"]] == [T0 + 60 * (first + i) for i in range(len(expected))]
    assert [p["value"] for p in result["series"]] == pytest.approx(expected)


@pytest.mark.parametrize("closes, n", [
    ([1, 2, 3, 4, 10], 3),
    ([500 + 1e-3 * (i * 7 % 11) for i in range(2000)], 20),   # tiny spread on a large price: no cancellation
])
def test_boll_matches_window_deviation(closes, n):
    plots = BOLL(bars_of(closes), n, 2.5, emit=True)["plots"]
    windows = [closes[i - n + 1:i + 1] for i in range(n - 1, len(closes))]
    assert [p["value"] for p in plots["mid"]] == pytest.approx([statistics.fmean(w) for w in windows])
    dev = [(u["value"] - lo["value"]) / 5 for u, lo in zip(plots["upper"], plots["lower"])]
    assert dev == pytest.approx([statistics.pstdev(w) for w in windows], rel=1e-6, abs=1e-9)


def test_macd_plots():   # values: see the newest-bar snapshot below
    plots = MACD(bars_of([10, 11, 13, 12, 15, 14, 16, 18]), 2, 3, 2, emit=True)["plots"]
    firsts = {pid: (len(pts), pts[0]["time"]) for pid, pts in plots.items()}
    assert firsts == {"dif": (6, T0 + 120), "dea": (5, T0 + 180), "hist": (5, T0 + 180)}


@pytest.mark.parametrize("closes, expected", [
    ([3, 2, 3, 2], [(2, "golden", "belowBar"), (3, "dead", "aboveBar")]),   # CROSS(1,2): sign of each change
    ([1, 2, 2, 3], []),                                                     # a touch without changing sides
    ([1, 2, 2, 1], [(3, "dead", "aboveBar")]),
])
def test_cross_markers(closes, expected):
    result = CROSS(bars_of(closes), 1, 2, emit=True)
    assert result["kind"] == "markers"
    marks = [(m["time"], m["text"], m["position"]) for m in result["markers"]]
    assert marks == [(T0 + 60 * i, text, pos) for i, text, pos in expected]


@pytest.mark.parametrize("fn, params, expected", [   # EMA(2) 3, 5, 7, 31/3; EMA(3) 4, 6, 9
    (MA, (3,), 26 / 3), (MA, (9,), None),
    (MACD, (2, 3, 2), {"dif": pytest.approx(4 / 3), "dea": pytest.approx(11 / 9),
                       "hist": pytest.approx(1 / 9)}),
    (CROSS, (1, 2), []),
])
def test_snapshot_of_newest_bar(fn, params, expected):
    assert fn(bars_of([2, 4, 6, 8, 12]), *params, emit=False) == {"time": T0 + 240, "value": expected}


def test_legacy_formula_on_prefixes():
    bars = bars_of([1, 2, 4, 7])
    assert [MOM(bars[:i], 2)["value"] for i in range(1, 5)] == [None, None, 3, 5]


@pytest.mark.parametrize("fn, params, text", [
    (MA, ("x",), "n must be a positive integer, got 'x'"), (MA, (0,), "n must be a positive integer"),
    (EMA, (2.5,), "n must be a positive integer"), (RSI, (True,), "n must be a positive integer"),
    (MOM, ("",), "n must be a positive integer"), (BOLL, (20, "abc"), "k must be a positive number"),
    (BOLL, (20, float("nan")), "k must be"), (MACD, (26, 12), "fast must be less than slow"),
    (CROSS, (5, "5"), "fast must be less than slow"),
])
def test_bad_params(fn, params, text):
    with pytest.raises(ValueError, match=text):
        fn(bars_of([1, 2, 3]), *params)


@pytest.mark.parametrize("n", ["3", " +3 ", 3.0])
def test_numeric_params_in_other_forms(n):
    assert MA(bars_of([2, 4, 6, 8]), n) == MA(bars_of([2, 4, 6, 8]), 3)


@pytest.mark.parametrize("name, params, key", [
    ("MA", (), "MA"), ("MA", (5, 10), "MA(5,10)"), ("BOLL", (20, 2.5), "BOLL(20,2.5)"),
    ("X", ("a", "", 1), "X('a','',1)"), ("X", ("5",), "X('5')"),
])
def test_formula_key(name, params, key):
    assert formula_key(name, params) == key
    assert json.loads(json.dumps({formula_key(name, params): 1})) == {key: 1}


def test_registry():
    reg = FormulaRegistry.with_presets()
    assert reg.register("spread", lambda bars, *, emit=True: {}) is True
    assert (reg.is_native("MA"), reg.is_native("SPREAD"), reg.get("NOPE")) == (True, False, None)
    with pytest.raises(ValueError, match="preset"):
        reg.register("MA", lambda bars: {})
    with pytest.raises(ValueError, match="invalid formula name"):
        reg.register("A B", lambda bars: {})
    assert [reg.remove("MA"), reg.remove("SPREAD"), reg.remove("SPREAD")] == [False, True, False]
    assert reg.get("MA") is MA and reg.list() == sorted(reg.list()) and "SPREAD" not in reg.list()
    json.dumps([reg.catalog(), reg.list()])
    ma, mom = (next(e for e in registry.catalog() if e["name"] == n) for n in ("MA", "MOM"))
    assert ma["params"] == [{"name": "n", "default": 5}]
    assert (ma["emit"], ma["preset"], ma["kind"], mom["emit"]) == (True, True, "series", False)


def test_registry_under_concurrent_changes():
    reg, errors, interval = FormulaRegistry.with_presets(), [], sys.getswitchinterval()

    def churn(k):
        try:
            for i in range(600):
                reg.register(f"C{k}_{i}", MA)
                reg.remove(f"C{k}_{i - 2}")
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=churn, args=(k,)) for k in range(4)]
    sys.setswitchinterval(1e-6)   # switch threads inside the readers' loops over the entries
    try:
        for t in threads:
            t.start()
        while any(t.is_alive() for t in threads):
            reg.catalog(), reg.list()
    finally:
        sys.setswitchinterval(interval)
    assert not errors and len(reg.list()) == len(FormulaRegistry.with_presets().list()) + 8


GOOD = """from quorvane.formulas.presets import line
def SPREAD(bars, *, emit=True):
    return line(bars, [b.high - b.low for b in bars], emit=emit)
FORMULAS = {'spread': SPREAD}
"""


def test_hot_reload(tmp_path, monkeypatch):
    monkeypatch.setenv(FORMULA_DIR_ENV, str(tmp_path))
    monkeypatch.setattr(sys, "dont_write_bytecode", False)   # as in production: a stale .pyc must not win
    files = {"good.py": GOOD, "broken.py": "def f(:\n", "raises.py": "raise RuntimeError('boom')\n",
             "nodecl.py": "X = 1\n", "clash.py": GOOD.replace("'spread'", "'MA'"), "twice.py": GOOD,
             "_helper.py": "raise RuntimeError('not a formula file')\n"}
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    reg = FormulaRegistry.with_presets()
    new, failed = FormulaHotReloader.reload_custom_formulas(reg)
    errors = {f["file"]: f["error"] for f in json.loads(json.dumps(failed))}
    assert new == 1 and sorted(errors) == ["broken.py", "clash.py", "nodecl.py", "raises.py", "twice.py"]
    assert errors["raises.py"] == "RuntimeError: boom" and errors["broken.py"].startswith("SyntaxError")
    assert "preset" in errors["clash.py"] and "good.py" in errors["twice.py"]
    assert reg.get("MA") is MA and reg.get("SPREAD")(bars_of([5]))["series"][0]["value"] == 3
    (tmp_path / "good.py").write_text(GOOD.replace("'spread'", "'spreae'"))   # same size, same second
    assert FormulaHotReloader.reload_custom_formulas(reg)[0] == 1 and reg.get("SPREAE") and reg.get("SPREAD")


def test_hot_reload_shipped_and_missing_dirs(tmp_path, monkeypatch):
    monkeypatch.delenv(FORMULA_DIR_ENV, raising=False)
    reg = FormulaRegistry.with_presets()
    assert FormulaHotReloader.reload_custom_formulas(reg) == (1, [])
    assert reg.get("TYPICAL")(bars_of([6]))["series"][0]["value"] == pytest.approx(17 / 3)   # (7 + 4 + 6) / 3
    monkeypatch.setenv(FORMULA_DIR_ENV, str(tmp_path / "absent"))
    with pytest.raises(FileNotFoundError):
        FormulaHotReloader.reload_custom_formulas(reg)


@pytest.mark.parametrize("symbol, sec_type, root", [
    ("AAPL", "STK", "AAPL"), (" spy ", "STK", "SPY"), ("BRK.B", "STK", "BRK.B"), ("BF-B", "STK", "BF-B"),
    ("AAPL240119C00150000", "OPT", "AAPL"), ("AAPL  240119P00150500", "OPT", "AAPL"),
    ("O:SPY241220P00500000", "OPT", "SPY"), ("AAPL 240119C150", "OPT", "AAPL"),
    ("/ES", "FUT", "ES"), ("/ESZ24", "FUT", "ES"), ("ESZ4", "FUT", "ES"), ("ES=F", "FUT", "ES"),
    ("^SPX", "IND", "SPX"), ("I:NDX", "IND", "NDX"),
    ("EUR.USD", "CASH", "EUR"), ("EURUSD=X", "CASH", "EUR"), ("JPY=X", "CASH", "USD"),
    ("EUR-USD", "CASH", "EUR"),
    ("BTC-USD", "CRYPTO", "BTC"), ("ETH/USDT", "CRYPTO", "ETH"), ("X:BTCUSD", "CRYPTO", "BTC"),
    *((bad, None, None) for bad in ["", "  ", "AAPL241332C00150000", "TOOLONG", "ABC.DEF", "BTC-XYZ", "A B"]),
])
def test_contract_for_name(symbol, sec_type, root):
    if sec_type is None:
        with pytest.raises(ValueError):
            contractForName(symbol)
    else:
        assert (contractForName(symbol).secType, contractForName(symbol).symbol) == (sec_type, root)

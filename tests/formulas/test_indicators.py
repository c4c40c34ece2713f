"""Indicator specs, emit detection, the snapshot replay and plot shapes."""
import inspect
import random
import re
from types import SimpleNamespace

import pytest

from baseline import formulas as baseline
from quorvane.server.routes import formulas


def python_parse(spec):
    """The indicator spec grammar in plain Python, for the property test."""
    m = re.match(r"^([A-Za-z0-9_.\-]+)(?:\(([^)]*)\))?$", spec.strip())
    if not m:
        return None
    inner = (m.group(2) or "").strip()
    params = []
    for piece in inner.split(",") if inner else []:
        piece = piece.strip()
        try:
            params.append(int(piece) if re.fullmatch(r"[+-]?\d+", piece) else float(piece))
        except ValueError:
            params.append(piece)
    return (m.group(1).upper(), tuple(params))


@pytest.mark.parametrize("spec, parsed", [
    ("ma(5, 10)", ("MA", (5, 10))), ("BOLL(20,2.5)", ("BOLL", (20, 2.5))), ("rsi", ("RSI", ())),
    ("RSI()", ("RSI", ())), ("X(a,,+1)", ("X", ("a", "", 1))), ("x(1e3,007,-4)", ("X", (1000.0, 7, -4))),
    ("  boll( 20 , 2 )\t", ("BOLL", (20, 2))), ("A.b-c_1( )", ("A.B-C_1", ())), ("x(٣,1_0)", ("X", (3, 10.0))),
    ("MA(5", None), ("MA((5))", None), ("MA(5)x", None), ("MA (5)", None), ("M A", None), ("", None),
    ("MA(5))", None), ("(5)", None), ("é(1)", None),
])
def test_parse(spec, parsed):
    assert formulas._parse_ind(spec) == parsed


SPACES = "".join(c for c in map(chr, range(0x3001)) if c.isspace())   # every white space str.strip() removes
DIGITS = "٣१৩߀๕𝟘𝟗"                                                   # decimal digits of other scripts


def random_text(rng):
    pools = ["aZ9_.-(),+e", "(),", SPACES, DIGITS, "1.5 inf nan é_"]
    n = rng.randrange(14)
    return "".join(chr(rng.randrange(0x110000)) if rng.random() < 0.1 else rng.choice(rng.choice(pools))
                   for _ in range(n))


def test_parse_matches_python_on_random_text():
    rng = random.Random(7)
    for _ in range(30000):
        spec = random_text(rng)
        if rng.random() < 0.5:
            spec = (rng.choice(["ma", "X.y", " Boll", "a" + rng.choice(SPACES)]) + "(" + spec.replace(")", "") + ")"
                    + rng.choice(["", " ", ")", rng.choice(SPACES)]))
        assert repr(formulas._parse_ind(spec)) == repr(python_parse(spec)), ascii(spec)


def test_parse_long_and_odd_specs():
    assert formulas._parse_ind("x(" + "9" * 5000 + ")") == ("X", ("9" * 5000,))   # past int()'s digit limit
    assert formulas._parse_ind("A" * 100000) == ("A" * 100000, ())
    with pytest.raises(TypeError, match="Argument 'spec' has incorrect type"):
        formulas._parse_ind(5)


def legacy(bars, n=1):
    return {"value": len(bars) * n}


@pytest.mark.parametrize("fn, emits", [
    (legacy, False), (lambda bars, emit=False: 0, True), (lambda bars, **kw: 0, True), (len, False),
    (lambda bars, *, emit: 0, True), (lambda emit, /: 0, True), (max, False), (iter, False), (formulas._parse_ind, False),
    (type("Odd", (), {"__signature__": property(lambda s: 1 / 0), "__call__": lambda s: 0})(), None),
])
def test_supports_emit(fn, emits):
    if emits is None:   # only "no signature" means False: other errors reach the caller
        with pytest.raises(ZeroDivisionError):
            formulas._supports_emit(fn)
    else:
        assert formulas._supports_emit(fn) is emits


@pytest.mark.parametrize("module", [formulas, baseline])
def test_supports_emit_reads_the_kind_first(module, monkeypatch):
    class Parameter:
        kind = property(lambda self: 1 / 0)
    signature = SimpleNamespace(parameters={"a": Parameter()})
    monkeypatch.setattr(module, "inspect", SimpleNamespace(signature=lambda fn: signature))
    with pytest.raises(ZeroDivisionError):   # p.kind is read before inspect.Parameter, which is missing
        module._supports_emit(len)


class Bar:
    def __init__(self, t):
        self.timestamp = t


@pytest.mark.parametrize("meddle", ["none", "keep", "pop", "append", "replace", "sort", "grow bars", "shrink bars",
                                    "replace in bars"])
def test_snapshot_prefixes_are_fresh_slices(meddle):
    """Each call gets what bars[:i + 1] is at that moment, whatever the formula did with the list it
    got before or with the bars themselves, and a list it keeps is never changed afterwards."""
    def replay(snapshot):
        bars = [Bar(60 * i) for i in range(6)]
        seen, kept = [], []

        def fn(prefix):
            seen.append([b.timestamp for b in prefix])
            if meddle == "keep":
                kept.append(prefix)
            elif meddle in ("pop", "append", "replace", "sort"):
                {"pop": prefix.pop, "append": lambda: prefix.append(Bar(-1)), "sort": lambda: prefix.reverse(),
                 "replace": lambda: prefix.__setitem__(0, Bar(-2))}[meddle]()
            elif meddle == "grow bars" and len(prefix) == 2:
                bars.insert(0, Bar(-3))
            elif meddle == "shrink bars" and len(prefix) == 3:
                del bars[0]
            elif meddle == "replace in bars" and len(prefix) == 4:
                bars[1] = Bar(-4)
            return {"value": len(prefix)}
        try:
            out = snapshot(fn, bars, ())
        except IndexError as e:
            out = repr(e)
        return seen, [[b.timestamp for b in p] for p in kept], out
    assert replay(formulas._snapshot_series) == replay(baseline._snapshot_series)


@pytest.mark.parametrize("value, point", [(3, True), (2.5, True), (True, True), (None, False), ("x", False),
                                          ([1], False)])
def test_snapshot_series_values(value, point):
    got = formulas._snapshot_series(lambda bars: {"value": value}, [Bar(1.9)], ())
    assert got == {"kind": "series", "series": [{"time": 1, "value": value}] if point else []}


def test_snapshot_series_replays_prefixes():
    seen = []

    def fn(bars, n):
        seen.append(len(bars))
        return {"value": len(bars) * n} if len(bars) > 1 else "junk"
    bars = [Bar(60.0 * i) for i in range(4)]
    assert formulas._snapshot_series(fn, bars, (2,))["series"] == [{"time": 60 * i, "value": 2 * (i + 1)}
                                                                   for i in range(1, 4)]
    assert seen == [1, 2, 3, 4]
    assert formulas._snapshot_series(fn, [], (1,)) == {"kind": "series", "series": []}
    with pytest.raises(TypeError, match="Argument 'params' has incorrect type"):
        formulas._snapshot_series(fn, bars, [2])


@pytest.mark.parametrize("result, plots", [
    ({"kind": "markers", "markers": [1]}, {"signal": [1]}), ({"kind": "markers"}, {"signal": []}),
    ({"kind": "multi", "plots": {"a": [1]}}, {"a": [1]}), ({"kind": "area"}, {"value": []}),
    ({"kind": "histogram", "series": [2]}, {"value": [2]}), ({}, {"value": []}), ({"kind": "?"}, {"value": []}),
])
def test_normalize_plots(result, plots):
    assert formulas._normalize_plots(result) == {"plots": plots}


def test_module_globals_in_order():
    names = [n for n in vars(formulas) if not n.startswith("__")]
    assert names == ["asyncio", "inspect", "re", "time", "APIRouter", "Query", "Request", "Bar", "router",
                     "_BATCH_TTL", "_batch_cache", "_compute_indicators", "_parse_ind", "_supports_emit",
                     "_is_stock_symbol", "_snapshot_series", "_normalize_plots", "formula_batch", "list_formulas",
                     "reload_formulas", "remove_formula"]
    assert [(r.path, sorted(r.methods)) for r in formulas.router.routes] == [
        ("/api/v1/formulas/batch", ["GET"]), ("/api/v1/formulas", ["GET"]), ("/api/v1/formulas/reload", ["POST"]),
        ("/api/v1/formulas/{name}", ["DELETE"])]
    assert str(inspect.signature(formulas.formula_batch)) == (
        "(request: starlette.requests.Request, symbol: str, period: str = 'day', count: int = 250, "
        "ind: list[str] = Query(PydanticUndefined), since: int = 0)")


class Contract:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


class Odd:
    def __eq__(self, other):
        raise ArithmeticError("compared")


@pytest.mark.parametrize("symbol, contract, outcome, looked_up", [
    ("  aapl ", Contract(secType="STK"), True, ["AAPL"]),
    ("SPY", Contract(secType="ETF"), False, ["SPY"]),
    ("X", Contract(), False, ["X"]),                                  # no secType: None
    ("X", ValueError("unrecognised"), False, ["X"]),                  # the lookup raises
    ("X", "no module", False, []),                                    # the import fails
    ("", Contract(secType="STK"), False, []), (" \t\u3000", Contract(secType="STK"), False, []),
    ("X", Contract(secType=Odd()), ArithmeticError, ["X"]),           # the comparison is not guarded
    ("X", property(lambda self: 1 / 0), ZeroDivisionError, ["X"]),    # nor reading secType
])
def test_is_stock_symbol(monkeypatch, symbol, contract, outcome, looked_up):
    import sys
    import quorvane.helpers as helpers
    seen = []

    def lookup(s):
        seen.append(s)
        if isinstance(contract, Exception):
            raise contract
        return type("C", (), {"secType": contract})() if isinstance(contract, property) else contract
    monkeypatch.setattr(helpers, "contractForName", lookup)
    if contract == "no module":
        monkeypatch.setitem(sys.modules, "quorvane.helpers", None)
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            formulas._is_stock_symbol(symbol)
    else:
        assert formulas._is_stock_symbol(symbol) is outcome
    assert seen == looked_up


def test_compute_indicators(monkeypatch):
    import quorvane.formulas as host
    registry = {"A": lambda bars, emit: {"kind": "series", "series": [len(bars)]}, "B": lambda bars, n=0: {"value": n},
                "KEYFAIL": lambda bars: {}, "GETFAIL": None}

    class Registry:
        def get(self, name):
            if name == "GETFAIL":
                raise LookupError("registry down")
            return registry.get(name)

    def key(name, params):
        if name == "KEYFAIL":
            raise KeyError("no key")
        return name
    monkeypatch.setattr(host, "registry", Registry())
    monkeypatch.setattr(host, "formula_key", key)
    bars = [Bar(60)]
    results, errors = formulas._compute_indicators(bars, ["a", "b(1)", "b(2)", "x y", "x y", "zz", "a(1)"])
    assert results == {"A": {"plots": {"value": [1]}}, "B": {"plots": {"value": [{"time": 60, "value": 2}]}}}
    # later specs of the same key overwrite; a(1) fails after a succeeded: both entries stay
    assert errors == {"x y": "invalid indicator spec", "zz": "Unknown formula: ZZ",
                      "A": "test_compute_indicators.<locals>.<lambda>() got multiple values for argument 'emit'"}
    for ind, raised in [(["a", "keyfail"], KeyError), (["getfail"], LookupError), (["a", 5], TypeError)]:
        with pytest.raises(raised):      # registry lookup, formula key and the spec's type are not guarded
            formulas._compute_indicators(bars, ind)
    with pytest.raises(TypeError, match="Argument 'ind' has incorrect type"):
        formulas._compute_indicators(bars, ("a",))


class FailingFinder:
    """Makes the import of one module name raise `error`."""

    def __init__(self, name, error):
        self.name, self.error = name, error

    def find_spec(self, fullname, path=None, target=None):
        if fullname == self.name:
            raise self.error


@pytest.mark.parametrize("error", [None, ValueError("broken"), ModuleNotFoundError("No module named 'dep'", name="dep")],
                         ids=["no such submodule", "submodule fails", "submodule's own import fails"])
def test_a_missing_host_name_is_imported_as_from_import_does(monkeypatch, error):
    import sys
    import quorvane.formulas as host
    monkeypatch.delattr(host, "registry")
    if error:
        monkeypatch.setattr(sys, "meta_path", [FailingFinder("quorvane.formulas.registry", error), *sys.meta_path])
    outcomes = []
    for run in (lambda: exec("from quorvane.formulas import formula_key, registry", {}),
                lambda: formulas._compute_indicators([], ["MA"])):
        with pytest.raises(ImportError if error is None else type(error)) as failed:
            run()
        outcomes.append((type(failed.value), str(failed.value)))
    assert outcomes[0] == outcomes[1]

"""The health module under hostile input: bars whose attribute reads empty the list being walked or
raise, and an `asyncio.gather` that answers with a tuple. Scenarios that crashed the interpreter
run again in a child pytest, so that a crash fails the test instead of ending the run."""
import asyncio
import dataclasses
import types

import pytest
from ib_async import BarData

from quorvane.server.routes import health as module
from test_batch_intraday import (FakeIB, around_open, make_bars, post, serve,  # noqa: F401  (serve: a fixture)
                                 session_times, slim, store, terminal)
from test_intraday_store import Cache

pytestmark = pytest.mark.filterwarnings(r"ignore:Series\.dt\.weekday is deprecated")


@pytest.mark.parametrize("n", [1, 2, 100])
def test_bars_emptied_while_read(isolated, n):
    if not isolated():
        return
    bars = []

    class Emptying(BarData):
        def __getattribute__(self, name):
            if name == "open":
                bars.clear()       # from now on the bars live only as long as someone holds them
            return object.__getattribute__(self, name)

    bars += [Emptying(**dataclasses.asdict(b)) for b in make_bars(around_open(n))]
    given = {(int(b.date.timestamp()), b.open) for b in make_bars(around_open(n))}
    cache = Cache()
    try:
        result = module._process_ibkr_bars(cache, "AAPL", bars)
    except (RuntimeError, ValueError, LookupError):
        return                     # refusing a list that changes under it is fine
    [(_, stored)] = cache.sets     # else it stored bars it was given (pandas' own path: the first)
    assert result["source"] == "ibkr" and stored
    assert {(r["date"], r["open"]) for r in stored} <= given


class Refusing(type):
    def __getattr__(cls, name):
        if name == "__dataclass_fields__":
            raise RuntimeError("fields unavailable")
        raise AttributeError(name)


class Odd(metaclass=Refusing):
    """A field value whose `__dataclass_fields__` lookup fails, on the value and on its type."""

    def __getattr__(self, name):
        return Refusing.__getattr__(type(self), name)


def test_field_lookup_error_propagates():
    # as from pandas' own dataclass path
    first, second = make_bars(around_open(2))
    with pytest.raises(RuntimeError, match="^fields unavailable$"):
        module._process_ibkr_bars(Cache(), "AAPL", [dataclasses.replace(first, volume=Odd()), second])


@pytest.mark.parametrize("gather", ["list", "tuple"])
def test_batch_intraday_with_gather_giving_a_tuple(isolated, serve, monkeypatch, gather):
    if not isolated():
        return
    if gather == "tuple":
        shim = types.ModuleType("asyncio")
        shim.__dict__.update(vars(asyncio))

        async def as_tuple(*aws, **kwargs):
            return tuple(await asyncio.gather(*aws, **kwargs))

        shim.gather = as_tuple
        monkeypatch.setattr(module, "asyncio", shim)
    hit = store("HIT", session_times(120))
    ib = FakeIB(make_bars(around_open()))
    body = post(serve, ["hit", "miss"], icli=terminal(ib))
    assert body == {"success": True, "errors": None, "intraday": {"HIT": {"bars": hit, "source": "cache"},
                                                                   "MISS": {"bars": slim(ib.bars), "source": "ibkr"}}}

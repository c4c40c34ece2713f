"""The formula routes' hot paths: the native module against bench/baseline/formulas.py.

- indicator spec parsing, one typical indicator spec;
- _normalize_plots of 5 results plus the since filter over their 5 x 250 points. The filter has
  no function of its own, so it runs inside the batch route on a fresh cache hit, with what else
  the route calls standing in trivially on both sides (the stock check, a loader returning one
  record, `Bar`): the time is the normalisation and the filter, not the route around them;
- the snapshot replay of a trivial formula over 250 bars;
- GET /api/v1/formulas/batch through each side's own FastAPI app: 250 bars (a frame from a loader
  stand-in) and 5 preset indicators, computed every time (the cache is emptied).
"""
import asyncio

import httpx
import pandas as pd
from fastapi import FastAPI

from baseline import formulas as baseline
from quorvane.data import loader
from quorvane.server.routes import formulas as native
from quorvane.tinyalgo import Bar

T0 = 1_700_000_000
BARS = [Bar(timestamp=T0 + 86400 * i, open=10.0, high=11.0, low=9.0, close=10.0 + i % 7, volume=1e3) for i in range(250)]
FRAME = pd.DataFrame([{"date": T0 + 86400 * i, "open": 10.0, "high": 11.0, "low": 9.0, "close": 10.0 + i % 7,
                       "volume": 1e3} for i in range(250)])
IND = ["MA(5)", "EMA(12)", "RSI(14)", "MACD(12,26,9)", "BOLL(20,2)"]
KEYS = [f"I{n}" for n in range(5)]
RESULTS = [{"kind": "series", "series": [{"time": T0 + 86400 * i, "value": 1.0} for i in range(250)]}
           for _ in range(5)]


class OneRecord:
    empty = False

    def to_dict(self, orient):
        return [{"date": T0, "open": 1.0, "high": 1.0, "low": 1.0, "close": 1.0}]


def filtered_hit(module):
    """The route on a fresh cache hit with since in the middle of the points."""
    key = ("AAPL", "day", 1, tuple(sorted(IND)))
    stand_ins = {"_is_stock_symbol": bool, "Bar": dict}

    def run():
        indicators = dict(zip(KEYS, map(module._normalize_plots, RESULTS)))
        module._batch_cache[key] = (module.time.monotonic(), (indicators, {}))
        real = {name: getattr(module, name) for name in stand_ins}
        for name, stand_in in stand_ins.items():
            setattr(module, name, stand_in)
        try:
            coroutine = module.formula_batch(None, "AAPL", "day", 1, IND, T0 + 86400 * 125)
            try:
                coroutine.send(None)
            except StopIteration as done:
                return done.value
        finally:
            for name, value in real.items():
                setattr(module, name, value)
        raise AssertionError("the route suspended")
    return run


def trivial(bars):
    return {"value": 1.0}


def app_of(module):
    app = FastAPI()
    app.include_router(module.router)
    client = httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://bench")
    loop = asyncio.new_event_loop()
    query = "/api/v1/formulas/batch?symbol=AAPL&" + "&".join(f"ind={i}" for i in IND)

    def get():
        module._batch_cache.clear()
        response = loop.run_until_complete(client.get(query))
        # the payload is compared once, below; decoding it is the client's work, not the route's
        assert response.status_code == 200 and response.content.startswith(b'{"success":true'), response.text
        return response
    return get


async def stand_in_bars(symbol, period, count, adjust):
    """Both sides import the loader at each call: one record for count 1, else 250 bars."""
    return OneRecord() if count == 1 else FRAME


def with_stand_in(run):
    """run() with the loader stand-in in place (other benchmarks use the real loader)."""
    def wrapped():
        real, loader.get_bars = loader.get_bars, stand_in_bars
        try:
            return run()
        finally:
            loader.get_bars = real
    return wrapped


cached = with_stand_in(filtered_hit(native)), with_stand_in(filtered_hit(baseline))
assert cached[0]() == cached[1]()
batch = with_stand_in(app_of(native)), with_stand_in(app_of(baseline))
assert batch[0]().json() == batch[1]().json()

BENCHMARKS = [
    ("formulas _parse_ind 'BOLL(20, 2.5)'", native._parse_ind, baseline._parse_ind, ("BOLL(20, 2.5)",)),
    ("formulas _normalize_plots x5 + since over 5 x 250 points (cached batch)", *cached),
    ("formulas _snapshot_series, 250 bars, trivial formula", native._snapshot_series, baseline._snapshot_series,
     (trivial, BARS, ())),
    ("formulas GET /api/v1/formulas/batch, 250 bars x 5 indicators", *batch),
]

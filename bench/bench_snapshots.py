"""GET /api/v1/snapshots offline: the native route against bench/baseline/snapshots.py.

One call of the route for 50 symbols whose daily bars are all in the cache, so every symbol is
answered from `get_bars` and Yahoo Finance is never reached. The cache is a throwaway directory
seeded with the demo generator's daily bars through the loader's own writer; it stays open until
the process exits. The request is a stand-in whose application state has no terminal app, which
is what selects the offline path.

Each side runs its coroutine to completion on one event loop made here, with the same wrapper.
The route hands each symbol's disk read and frame building to a worker thread (`get_bars`), so
the host's pandas work and the thread hand-offs are inside both figures.
"""
import asyncio
import atexit
import json
import tempfile
from types import SimpleNamespace

from baseline import snapshots as baseline
from quorvane.data import demo, loader
from quorvane.server.kline_cache import KlineCache
from quorvane.server.routes import health

N_SYMBOLS = 50
DAILY_BARS = 5    # the route reads the newest 3; a few more so the cut at the cutoff day has rows to drop
SYMBOLS = [f"SYM{i:02d}" for i in range(N_SYMBOLS)]
QUERY = ",".join(SYMBOLS)

_data_dir = tempfile.TemporaryDirectory(prefix="quorvane-bench-")
_cache = loader.open_cache(_data_dir.name)
_last_day = KlineCache._last_complete_trading_day()
for _sym in SYMBOLS:
    _cache.put_daily(_sym, demo.daily_bars(_sym, _last_day, DAILY_BARS), demo.DEMO_SOURCE)


@atexit.register
def _close():
    loader.close_cache()
    _data_dir.cleanup()


REQUEST = SimpleNamespace(app=SimpleNamespace(state=SimpleNamespace()))    # no icli_app: offline
LOOP = asyncio.new_event_loop()


def on_loop(route):
    """One route call for the 50 symbols, awaited to completion on the shared loop."""
    def call():
        return LOOP.run_until_complete(route(REQUEST, QUERY))
    return call


BENCHMARKS = [
    (f"snapshots offline, {N_SYMBOLS} cached symbols", on_loop(health.snapshots), on_loop(baseline.snapshots)),
]

# Both sides must answer the same, or the comparison means nothing; and every symbol must come
# from the cache, or the figures would time a failing Yahoo Finance fetch instead.
for _name, _native, _python in BENCHMARKS:
    _n, _p = _native(), _python()
    assert _n == _p and json.dumps(_n) == json.dumps(_p), _name    # same keys in the same order
    assert list(_n) == ["success", "online", "count", "quotes"] and _n["count"] == N_SYMBOLS, _n.get("errors")
    assert [q["symbol"] for q in _n["quotes"]] == SYMBOLS and {q["source"] for q in _n["quotes"]} == {"demo"}

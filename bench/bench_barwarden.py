"""One keep-up-to-date update pumped end to end: the bar list's updateEvent emitted as ib_async
emits it, through the symbol's handler and the pump, into a real one-minute BarAggregator;
the native module against bench/baseline/barwarden.py. eventkit's own dispatch is in both."""
import asyncio
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import ibfake  # noqa: E402
from baseline import barwarden as baseline  # noqa: E402
from quorvane.live import BarAggregator  # noqa: E402
from quorvane.server import barwarden as native  # noqa: E402


def subscribed(module):
    """emit() of the forming bar's update on a manager subscribed to one symbol."""
    module.STAGGER_SECONDS = 0
    app = ibfake.terminal_app(1)
    app.quoteState["S00"].bars[60] = BarAggregator("S00")
    manager = module.BarwardenManager(app)

    async def start():
        await manager.start()
        await manager._stagger_task
    asyncio.run(start())
    bars = manager._subs["S00"].bar_list
    return lambda: bars.updateEvent.emit(bars, False), app.quoteState["S00"].bars[60]


(native_emit, native_agg), (python_emit, python_agg) = subscribed(native), subscribed(baseline)
native_emit(), python_emit()
assert native_agg.current == python_agg.current is not None

BENCHMARKS = [("barwarden one update, emit -> handler -> pump -> aggregator", native_emit, python_emit)]

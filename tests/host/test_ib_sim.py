"""The IB Gateway simulator as ib_async sees it: the real client over a loopback socket."""
import asyncio

import pytest
from ib_async import Stock
from ibsim import ib_client

STILL = {"tick_interval": 3600}   # no trade prints while the test compares


def as_dicts(bars):
    return [{"date": int(b.date.timestamp()), "open": b.open, "high": b.high, "low": b.low,
             "close": b.close, "volume": b.volume, "wap": b.average, "count": b.barCount} for b in bars]


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 60))


@pytest.mark.ib_sim(**STILL)
@pytest.mark.parametrize("use_rth", [False, True])
def test_day_bars_over_the_wire(ib_sim, use_rth):
    async def scenario():
        async with ib_client(ib_sim) as ib:
            [contract] = await ib.qualifyContractsAsync(Stock("AAPL", "SMART", "USD"))
            bars = await ib.reqHistoricalDataAsync(contract, "", "1 D", "1 min", "TRADES", use_rth, 2)
            return ib.managedAccounts(), contract.conId, as_dicts(bars)

    accounts, con_id, bars = run(scenario())
    assert (accounts, con_id) == (["DU1234567"], 265598)
    assert bars and bars == ib_sim.call(lambda sim: sim.bars("AAPL", use_rth))


def test_live_bar_updates(ib_sim):
    async def scenario():
        async with ib_client(ib_sim) as ib:
            [contract] = await ib.qualifyContractsAsync(Stock("MSFT", "SMART", "USD"))
            bars = await ib.reqHistoricalDataAsync(contract, "", "1 D", "1 min", "TRADES", True, 2, True)
            updated = asyncio.Event()
            bars.updateEvent += lambda bars, has_new: updated.set()
            await updated.wait()
            forming = as_dicts(bars[-1:])
            ib.cancelHistoricalData(bars)
            await asyncio.sleep(0.1)
            return forming

    forming = run(scenario())
    # the forming minute, which the regular session's answer may not hold yet
    assert forming[0]["date"] in [b["date"] for b in ib_sim.call(lambda sim: sim.bars("MSFT", False))[-2:]]
    assert ib_sim.call(lambda sim: sim.live_subscriptions) == {}

"""The health routes in IB mode over the real wire: the app's own IB mode (ib_async, its socket,
decoder and wrapper) connected to the gateway simulator on a free port. The routes' behaviour in
detail is tested against object fakes (test_batch_intraday.py, test_snapshots.py); this checks
that it holds against what the TWS API protocol really delivers."""
import threading

import pytest

from quorvane.data import loader
from quorvane.ib import IBConfig
from quorvane.ib.sim.market import contract_of

# The terminal opens the streams one after the other, each after its symbol's contract details:
# a symbol's first quote is in before the next symbol's details arrive (one ordered stream), so
# every tracked symbol but the last has its quote when the app has started.
TRACKED = ("AAPL", "MSFT", "NVDA")
QUOTED = TRACKED[:-1]
MISSES = [f"S{i:02d}" for i in range(45)]
# no tick rounds: the quotes stay those sent when each stream opened, the bars those answered
pytestmark = [pytest.mark.ib_sim(symbols=(*TRACKED, *MISSES), tick_interval=3600),
              pytest.mark.filterwarnings(r"ignore:Series\.dt\.weekday is deprecated")]
TIMEOUT = 120


@pytest.fixture
def app_options(ib_sim):
    return {"ib": IBConfig(port=ib_sim.port, symbols=TRACKED)}


def get_json(call_app, *requests):
    replies = call_app(*requests, timeout=TIMEOUT)
    assert [r.status_code for r in replies] == [200] * len(replies), [r.text for r in replies]
    return [r.json() for r in replies]


def test_health_and_snapshots(call_app, ib_sim):
    health, snap = get_json(call_app, "GET /api/v1/health", "GET /api/v1/snapshots?symbols=" + ",".join(QUOTED))
    assert (health["ib_connected"], health["account_id"]) == (True, "DU1234567")
    assert snap["online"] is True and [q["symbol"] for q in snap["quotes"]] == list(QUOTED)
    for quote in snap["quotes"]:
        tick = ib_sim.call(lambda sim: sim.last_tick(quote["symbol"]))
        assert {k: quote[k] for k in ("bid", "ask", "last", "close", "high", "low", "volume")} == \
               {k: tick[k] for k in ("bid", "ask", "last", "close", "high", "low", "volume")}
        assert quote["source"] == "ibkr"


# what the route asks the gateway for each symbol, besides the qualified contract
HISTORICAL_REQUEST = {"includeExpired": 0, "endDateTime": "", "barSizeSetting": "1 min", "durationStr": "1 D",
                      "useRTH": 0, "whatToShow": "TRADES", "formatDate": 2, "keepUpToDate": 0, "chartOptions": ""}


def batch(call_app, symbols):
    [body] = get_json(call_app, ("POST /api/v1/batch-intraday", {"json": {"symbols": symbols}}))
    return body


def fetches(ib_sim, symbols):
    """The (message name, symbol) of the batch's requests, in the order the gateway got them."""
    return [(name, req["symbol"]) for name, req in ib_sim.call(lambda sim: list(sim.requests))
            if name in ("reqContractDetails", "reqHistoricalData") and req["symbol"] in symbols]


def test_misses_go_in_batches_of_20(call_app, ib_sim):
    body = batch(call_app, MISSES)
    assert body["errors"] is None
    for sym in MISSES:
        rth = ib_sim.call(lambda sim: sim.bars(sym, True))
        assert body["intraday"][sym] == {"bars": [{"date": b["date"], "close": b["close"]} for b in rth],
                                         "source": "ibkr"}
        # the whole day, extended hours included, is stored
        day = ib_sim.call(lambda sim: sim.bars(sym, False))
        assert [b["date"] for b in loader._get_cache().intraday(sym)] == [b["date"] for b in day]
    # each batch qualifies its symbols, then asks for their bars; the next batch starts when all are in
    expected = []
    for start in range(0, 45, 20):
        part = MISSES[start:start + 20]
        expected += [("reqContractDetails", s) for s in part] + [("reqHistoricalData", s) for s in part]
    assert fetches(ib_sim, MISSES) == expected
    for name, req in ib_sim.call(lambda sim: list(sim.requests)):
        if name == "reqHistoricalData" and req["symbol"] in MISSES:
            contract = contract_of(req["symbol"])
            assert {k: req[k] for k in HISTORICAL_REQUEST} == HISTORICAL_REQUEST
            assert (req["conId"], req["primaryExchange"], req["exchange"], req["currency"]) == (
                contract["conId"], contract["primaryExchange"], "SMART", "USD")


def drop_when_asked(ib_sim):
    """Drops every session once a bar request is waiting for its (delayed) answer."""
    def run():
        ib_sim.wait_for(lambda sim: any(name == "reqHistoricalData" and req["symbol"] == "S01"
                                        for name, req in sim.requests), timeout=TIMEOUT)
        ib_sim.call(lambda sim: sim.drop_all("reset"))
    thread = threading.Thread(target=run, daemon=True)
    thread.start()


NO_DATA = "Historical Market Data Service error message:HMDS query returned no data: S01@SMART Trades"


@pytest.mark.parametrize("faults, lines", [
    ([], ["ZZZZ: contract not found"]),                                         # a symbol IB does not know
    ([("fail", "contract", 200)], ["S01: contract not found"]),
    ([("fail", "historical", 162, NO_DATA)], ["S01: no data"]),
    ([("delay", 0.3), ("fail", "historical", 162, NO_DATA)], ["S01: no data"]),  # a late answer
    ([("delay", 30.0), ("drop",)], ["S00: Socket disconnect", "S01: Socket disconnect"]),  # none comes
], ids=["unknown", "contract-error", "no-data", "late-no-data", "dropped"])
def test_failure_lines(call_app, ib_sim, faults, lines):
    bad = lines[-1].split(":")[0]
    for fault in faults:
        if fault[0] == "fail":
            ib_sim.call(lambda sim: sim.fail(*fault[1:], symbol="S01"))
        elif fault[0] == "delay":
            ib_sim.call(lambda sim: setattr(sim, "historical_delay", fault[1]))
        else:
            drop_when_asked(ib_sim)
    body = batch(call_app, ["S00", bad])
    assert body["errors"] == lines
    if len(lines) == 1:
        ok = ib_sim.call(lambda sim: sim.bars("S00", True))
        assert list(body["intraday"]) == ["S00"] and len(body["intraday"]["S00"]["bars"]) == len(ok)
    assert loader._get_cache().intraday(bad) is None
    # a symbol without a contract is never asked for bars
    assert (("reqHistoricalData", bad) in fetches(ib_sim, [bad])) == ("contract" not in lines[-1])

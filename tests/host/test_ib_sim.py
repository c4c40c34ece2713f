"""The IB Gateway simulator as ib_async sees it: the real client over a loopback socket, and the
simulator surviving clients that are not one."""
import asyncio
import signal
import socket
import struct
import subprocess
import sys

import httpx
import pytest
from ib_async import Stock
from ibsim import FAST, ib_client
from service import Service, free_port

from quorvane.ib.sim import SimThread

# New York 10:00 of a regular day, the day of the first of SESSIONS below
REGULAR_DAY_10 = 1796828400
# No trade prints while the test compares, and the clock at 19:00 of a regular day: the day's
# bars, regular hours and extended, whatever the hour the tests run
STILL = {"tick_interval": 3600, "clock": lambda: REGULAR_DAY_10 + 9 * 3600}
HELLO = b"API\0" + struct.pack(">I", 9) + b"v157..178"


def as_dicts(bars):
    return [{"date": int(b.date.timestamp()), "open": b.open, "high": b.high, "low": b.low,
             "close": b.close, "volume": b.volume, "wap": b.average, "count": b.barCount} for b in bars]


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 60))


async def qualified(ib, symbol):
    [contract] = await ib.qualifyContractsAsync(Stock(symbol, "SMART", "USD"))
    return contract


def day_bars(ib, contract, use_rth=False, live=False):
    return ib.reqHistoricalDataAsync(contract, "", "1 D", "1 min", "TRADES", use_rth, 2, live)


@pytest.mark.ib_sim(**STILL)
@pytest.mark.parametrize("use_rth", [False, True])
def test_day_bars_over_the_wire(ib_sim, use_rth):
    async def scenario():
        async with ib_client(ib_sim) as ib:
            contract = await qualified(ib, "AAPL")
            return ib.managedAccounts(), contract.conId, as_dicts(await day_bars(ib, contract, use_rth))

    accounts, con_id, bars = run(scenario())
    assert (accounts, con_id) == (["DU1234567"], 265598)
    assert bars and bars == ib_sim.call(lambda sim: sim.bars("AAPL", use_rth))


@pytest.mark.ib_sim(tick_interval=3600, clock=lambda: REGULAR_DAY_10 - 5 * 3600)
def test_regular_hours_before_the_open_are_the_previous_sessions(ib_sim):
    # at 05:00 the day has only pre-market bars; a gateway answers regular hours with the
    # previous session's, so that a keep-up-to-date request's later updates are taken
    async def scenario():
        async with ib_client(ib_sim) as ib:
            return as_dicts(await day_bars(ib, await qualified(ib, "AAPL"), True))

    bars = run(scenario())
    assert ib_sim.call(lambda sim: sim.bars("AAPL", True)) == []
    assert len(bars) == 390 and bars[-1]["date"] < REGULAR_DAY_10 - 6 * 3600


# New York times (epoch) -> the session's bar counts without and with useRTH: a regular day at
# 10:00, the early close after Thanksgiving at 18:00 (trading on past its 17:00 end), a Saturday
SESSIONS = [(REGULAR_DAY_10, 360, 30), (1795820400, 840, 210), (1797094800, 1920, 390)]


@pytest.mark.parametrize("now, n_all, n_rth", SESSIONS, ids=["regular", "early-close", "weekend"])
def test_session_bounds_and_determinism(now, n_all, n_rth):
    def bars(seed):
        with SimThread(symbols=("AAPL",), seed=seed, tick_interval=3600, clock=lambda: now) as st:
            return st.call(lambda sim: (sim.bars("AAPL", False), sim.bars("AAPL", True)))

    every, rth = bars(0)
    assert (len(every), len(rth)) == (n_all, n_rth) and every[-1]["date"] == now - 60
    assert set(map(str, rth)) <= set(map(str, every))
    assert bars(0) == (every, rth) and bars(1)[0] != every


def test_live_bars_and_cancels(ib_sim):
    async def scenario():
        async with ib_client(ib_sim) as ib:
            msft = await qualified(ib, "MSFT")
            ib.reqMktData(msft)
            bars = await day_bars(ib, msft, live=True)
            updated = asyncio.Event()
            bars.updateEvent += lambda bars, has_new: updated.set()
            await updated.wait()
            streams = ib_sim.call(lambda sim: (sim.live_subscriptions, sim.market_data))
            ib.cancelHistoricalData(bars)
            ib.cancelMktData(msft)
            await ib.reqCurrentTimeAsync()    # the cancels are in once its answer is
            return streams, bars[-1]

    (live, quoted), forming = run(scenario())
    assert list(live.values()) == list(quoted.values()) == ["MSFT"]
    assert ib_sim.call(lambda sim: (sim.live_subscriptions, sim.market_data)) == ({}, {})
    assert int(forming.date.timestamp()) in [b["date"] for b in ib_sim.call(lambda sim: sim.bars("MSFT", False))]



def test_live_bar_rolls_over_the_minute():
    now = [1796828400.0]    # 10:00 New York on a regular session day
    with SimThread(symbols=("AAPL",), clock=lambda: now[0], **FAST) as st:
        async def scenario():
            async with ib_client(st) as ib:
                bars = await day_bars(ib, await qualified(ib, "AAPL"), use_rth=True, live=True)
                new_bars = asyncio.Queue()
                bars.updateEvent += lambda bars, has_new: has_new and new_bars.put_nowait(bars[-1].date)
                await asyncio.to_thread(st.wait_for, lambda sim: sim.bars("AAPL", True)[-1]["date"] == now[0])
                now[0] += 60
                while (minute := int((await new_bars.get()).timestamp())) < now[0]:
                    pass    # the 10:00 bar, when the answer came before its first trade
                return minute, as_dicts(bars[:-1])

        minute, closed = run(scenario())
        assert minute == 1796828460
        # the 10:00 bar as it ended: its final update came before the 10:01 one
        assert len(closed) == 31 and closed == st.call(lambda sim: sim.bars("AAPL", True))[:-1]

@pytest.mark.parametrize("refuse", ["close", 326, "client-id-in-use"])
def test_refused_connections(ib_sim, refuse):
    async def scenario():
        async with ib_client(ib_sim, client_id=1) as first:
            if refuse != "client-id-in-use":
                ib_sim.call(lambda sim: setattr(sim, "refuse", refuse))
            with pytest.raises((TimeoutError, ConnectionError)):
                async with ib_client(ib_sim, client_id=1 if refuse == "client-id-in-use" else 2, timeout=1):
                    pass
            sessions = ib_sim.call(lambda sim: sim.sessions)
            ib_sim.call(lambda sim: setattr(sim, "refuse", None))
            async with ib_client(ib_sim, client_id=3):
                return sessions, first.isConnected(), ib_sim.call(lambda sim: sim.sessions)

    assert run(scenario()) == (1, True, 2)


@pytest.mark.parametrize("how", ["close", "reset", "half", "restart", "length"])
def test_drops(ib_sim, how):
    async def scenario():
        async with ib_client(ib_sim) as ib:
            dropped = asyncio.Event()
            ib.disconnectedEvent += dropped.set
            if how == "restart":
                ib_sim.call(lambda sim: asyncio.ensure_future(sim.restart(2.0)))
            elif how == "length":
                ib_sim.call(lambda sim: sim.send_malformed("length"))
            else:
                ib_sim.call(lambda sim: sim.drop_all(how))
            await dropped.wait()
            if how == "restart":    # nothing listens until the restart is over
                with pytest.raises(ConnectionRefusedError):
                    await ib.connectAsync("127.0.0.1", ib_sim.port, clientId=17, timeout=1)
                await asyncio.to_thread(ib_sim.wait_for, lambda sim: sim.listening)
        async with ib_client(ib_sim) as ib:    # the same port serves again
            return (await qualified(ib, "AAPL")).conId

    assert run(scenario()) == 265598


def test_faults_answer_requests(ib_sim):
    async def scenario():
        async with ib_client(ib_sim) as ib:
            errors = []
            ib.errorEvent += lambda req_id, code, text, contract: errors.append((req_id, code))
            aapl = await qualified(ib, "AAPL")
            for kind, code in [("contract", 200), ("mktdata", 354), ("historical", 162), ("live", 162)]:
                ib_sim.call(lambda sim: sim.fail(kind, code, symbol="AAPL", times=1))
            got = [await ib.qualifyContractsAsync(Stock("AAPL", "SMART", "USD"))]
            ticker = ib.reqMktData(aapl)
            got += [len(await day_bars(ib, aapl)), len(await day_bars(ib, aapl, live=True))]
            msft = await day_bars(ib, await qualified(ib, "MSFT"), live=True)
            again = await day_bars(ib, aapl, live=True)    # the faults were for one request each
            subs = ib_sim.call(lambda sim: sim.live_subscriptions)
            ib_sim.call(lambda sim: sim.bust("AAPL"))
            # ib_async resubscribes on its own
            await asyncio.to_thread(ib_sim.wait_for, lambda sim: len(sim.live_subscriptions) == 2)
            return got, ticker.last, errors, subs, again.reqId, msft.reqId

    got, last, errors, subs, again, msft = run(scenario())
    assert got == [[None], 0, 0] and last != last    # NaN: no quote
    assert [code for _, code in errors] == [200, 354, 162, 162, 10225]
    assert errors[-1][0] == again and subs == {msft: "MSFT", again: "AAPL"}


JUNK = [b"GET / HTTP/1.1\r\n\r\n",                        # not the API
        HELLO + struct.pack(">I", 0xFFFFFFFF),               # an absurd length
        HELLO + struct.pack(">I", 40) + b"71\x002\0",        # closed mid-frame
        HELLO + b"".join(struct.pack(">I", len(f)) + f for f in (
            b"x\0", b"4242\0", b"71\0", b"71\x002\0zz\0\0", b"\xff\xfe\0", b"2\x002\x0099\0", b"25\x001\x0042\0"))]


def test_junk_is_dropped(ib_sim, log_records):
    for data in JUNK:
        with socket.create_connection(("127.0.0.1", ib_sim.port)) as s:
            s.sendall(data)
            s.shutdown(socket.SHUT_WR)
            s.recv(1024)    # the server's handshake reply, or its close
    ib_sim.wait_for(lambda sim: not sim._connections)

    async def scenario():
        async with ib_client(ib_sim) as ib:
            ib_sim.call(lambda sim: sim.send_malformed("garbage"))
            ib_sim.call(lambda sim: sim.send_malformed("unknown"))
            return (await qualified(ib, "MSFT")).conId

    assert run(scenario()) == 272093
    warnings = [m.split(": ", 2)[-1] for level, m in log_records.levels_and_messages() if level == "WARNING"]
    assert warnings == [
        "not an API handshake: b'GET '; closing the session",
        "frame length 4294967295 exceeds 1048576; closing the session",
        "closed mid-frame; dropped 9 bytes",
        "dropped a message: message id 'x' is not a number",
        "dropped a message: unknown message id 4242",
        "dropped a message: startApi: 1 fields, too few",
        "dropped a message: startApi: clientId 'zz' is not a number",
        "dropped a message: message id '\\\\xff\\\\xfe' is not a number",
        "cancelMktData for unknown request 99",
        "cancelHistoricalData for unknown request 42"]


def test_command_line(tmp_path):
    """`quorvane ib-sim` in the foreground, `quorvane serve --ib` against it, both ended by SIGTERM."""
    port = free_port()
    sim = subprocess.Popen([sys.executable, "-m", "quorvane", "ib-sim", "--port", str(port), "--symbols", "aapl,spy"],
                           stderr=subprocess.PIPE, text=True)
    try:
        while f"ib-sim: listening on 127.0.0.1:{port}" not in (line := sim.stderr.readline()):
            assert line, "ib-sim ended before it listened"
        with Service("--ib", "--ib-port", port, "--ib-symbols", "SPY,NOPE", "--data-dir", tmp_path) as service:
            health = httpx.get(service.base + "/api/v1/health", timeout=30).json()
            quotes = httpx.get(service.base + "/api/v1/snapshots", timeout=30).json()["quotes"]
            assert service.stop(signal.SIGTERM)
    finally:
        sim.send_signal(signal.SIGTERM)
        assert sim.wait(30) == 0
    assert (health["ib_connected"], health["account_id"]) == (True, "DU1234567")
    assert [q["symbol"] for q in quotes] == ["SPY", "NOPE"] and quotes[1]["last"] is None
    assert "IB: NOPE is not a known stock; no live quote" in service.output()
    assert "Application shutdown complete" in service.output()

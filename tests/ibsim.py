"""The IB Gateway simulator for tests (a pytest plugin, loaded by conftest.py).

Every IB-path test drives the real ib_async client over a loopback socket:

    def test_x(ib_sim):                       # a SimThread on a free port, stopped after the test
        ib_sim.call(lambda sim: sim.fail("historical", 162, symbol="MSFT"))

    @pytest.mark.ib_sim(symbols=("AAPL",), bar_update_seconds=1)   # GatewaySim keywords
    def test_y(ib_sim): ...

`ib_client(ib_sim)` connects an `ib_async.IB` to it (an async context manager).
The simulator ticks faster than its defaults so that tests do not wait.
"""
import contextlib

import pytest

FAST = {"tick_interval": 0.05, "bar_update_seconds": 0.2}
CLIENT_ID = 17


def pytest_configure(config):
    config.addinivalue_line("markers", "ib_sim(**kwargs): GatewaySim keywords of the ib_sim fixture")


@pytest.fixture
def ib_sim(request):
    # imported here, not when pytest loads this plugin: importing the host package installs a
    # warnings filter, which must not come before pytest's own (see conftest.call_app)
    from quorvane.ib.sim import SimThread

    marker = request.node.get_closest_marker("ib_sim")
    with SimThread(**{**FAST, **(marker.kwargs if marker else {})}) as st:
        yield st


@contextlib.asynccontextmanager
async def ib_client(st, client_id: int = CLIENT_ID, timeout: float = 10, ib=None):
    """`ib` (default: a new `ib_async.IB`) connected to the simulator, disconnected at the exit."""
    from ib_async import IB

    ib = IB() if ib is None else ib
    await ib.connectAsync("127.0.0.1", st.port, clientId=client_id, timeout=timeout, readonly=True)
    try:
        yield ib
    finally:
        ib.disconnect()

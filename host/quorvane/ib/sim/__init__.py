"""An IB Gateway simulator: the TWS API socket protocol on loopback, for IB mode without IB.

``quorvane ib-sim`` runs it in the foreground; ``make serve-ib`` runs it with ``quorvane serve
--ib`` against it; the tests start one per test (`SimThread`). It serves what the reference host
uses: ib_async's whole connect sequence, contract details (error 200 for a symbol it does not
track), market data streamed several times a second, the day's 1-minute TRADES bars ("1 D", with
or without the regular session's bounds) and keep-up-to-date updates of the forming bar, cancels,
and fault switches for tests (refused connections, dropped sessions, restarts, busts, errors for
any request, delayed answers, malformed frames).

The pieces: `protocol` (framing, requests, answers), `market` (the simulated market),
`server` (`GatewaySim` and its sessions), `thread` (`SimThread`, the simulator on a thread).
"""

from quorvane.ib.sim.server import GatewaySim
from quorvane.ib.sim.thread import SimThread

__all__ = ["GatewaySim", "SimThread"]

"""Paced decoding of the IB session's socket: a bounded amount of API messages per event-loop turn.

ib_async's client decodes, in one call on the event loop, every complete message that one socket
read brings, and a read returns up to 256 KiB. When the historical answers of a batch of requests
arrive together, one read holds several of them, each a single message of about 50 KB (a day of
one-minute bars), and decoding them back to back blocks the loop for far longer than one of them
takes. `PacedConnection` hands the client the complete messages of at most `TURN_BYTES` per loop
turn (always at least one message) and the rest at the next turns, so timers, other sockets and
requests run in between. The client sees the same bytes in the same order, messages whole; small
traffic (ticks, bar updates) still comes in one piece per read, as before. Whatever is still
pending when the connection is lost is delivered before the loss, as an unpaced read would have
delivered it; a deliberate disconnect drops it, since the client resets its state at once.
"""

from __future__ import annotations

import asyncio

from ib_async import IB
from ib_async.connection import Connection

TURN_BYTES = 32 * 1024  # ~0.6 of a day of one-minute bars: a few ms of decoding on the loop


class PacedConnection(Connection):
    """ib_async's `Connection`, emitting `hasData` with whole messages of at most TURN_BYTES per
    loop turn."""

    def reset(self) -> None:
        super().reset()
        self._pending = bytearray()
        self._turn: asyncio.Handle | None = None

    def data_received(self, data: bytes) -> None:
        self._pending += data
        if self._turn is None:
            self._deliver()

    def _deliver(self) -> None:
        """Emit the complete messages at the front, up to TURN_BYTES (one at least); schedule the
        next turn when more complete messages are pending."""
        self._turn = None
        buf, end = self._pending, 0
        while len(buf) - end >= 4:
            stop = end + 4 + int.from_bytes(buf[end:end + 4], "big")
            if stop > len(buf) or (end and stop > TURN_BYTES):
                break
            end = stop
        if not end:
            return
        chunk = bytes(buf[:end])
        del buf[:end]
        if len(buf) >= 4 and len(buf) >= 4 + int.from_bytes(buf[:4], "big"):
            self._turn = asyncio.get_running_loop().call_soon(self._deliver)
        self.hasData.emit(chunk)

    def connection_lost(self, exc) -> None:
        if self._turn is not None:
            self._turn.cancel()
            self._turn = None
        if self._pending:
            chunk = bytes(self._pending)
            self._pending.clear()
            self.hasData.emit(chunk)
        super().connection_lost(exc)

    def disconnect(self) -> None:
        if self._turn is not None:
            self._turn.cancel()
        self._turn = None
        self._pending.clear()
        super().disconnect()


class PacedIB(IB):
    """ib_async's `IB` session, whose client reads the socket through a `PacedConnection`."""

    def __init__(self, *args, **kwargs) -> None:
        super().__init__(*args, **kwargs)
        client = self.client
        conn = client.conn = PacedConnection()
        conn.hasData += client._onSocketHasData
        conn.disconnected += client._onSocketDisconnected

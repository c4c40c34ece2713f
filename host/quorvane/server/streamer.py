"""The streamer: pushes JSON messages to the WebSocket clients of the app's ``/ws`` endpoint.

`DataStreamer.manager` is the `ConnectionManager` that the endpoint registers each accepted
client with; `broadcast_json` sends one message to every client connected at that moment. A
client whose send fails (it went away, its connection broke) is dropped; the others still get
the message. A slow client delays a broadcast by at most `SEND_TIMEOUT` seconds before it is
dropped, so whoever broadcasts (the QMT terminal app's poll loop) is never held up for long.
"""

from __future__ import annotations

import asyncio

from fastapi import WebSocket
from loguru import logger

SEND_TIMEOUT = 5.0


class ConnectionManager:
    """The WebSocket clients connected to the streamer."""

    def __init__(self) -> None:
        self.clients: set[WebSocket] = set()

    async def connect(self, websocket: WebSocket) -> None:
        await websocket.accept()
        self.clients.add(websocket)

    def disconnect(self, websocket: WebSocket) -> None:
        self.clients.discard(websocket)

    async def _send(self, websocket: WebSocket, message) -> None:
        try:
            await asyncio.wait_for(websocket.send_json(message), SEND_TIMEOUT)
        except Exception as e:  # gone, broken or too slow: the others still get it
            logger.debug("streamer client dropped: {!r}", e)
            self.disconnect(websocket)

    async def broadcast_json(self, message) -> None:
        """Sends `message` as JSON text to every connected client, all at once."""
        await asyncio.gather(*(self._send(ws, message) for ws in list(self.clients)))


class DataStreamer:
    """What the terminal apps broadcast through; ``app.state.streamer``."""

    def __init__(self) -> None:
        self.manager = ConnectionManager()

    async def serve(self, websocket: WebSocket) -> None:
        """The ``/ws`` endpoint: registers the client until it disconnects (what it sends is
        read and ignored)."""
        await self.manager.connect(websocket)
        try:
            while (await websocket.receive())["type"] != "websocket.disconnect":
                pass
        finally:
            self.manager.disconnect(websocket)

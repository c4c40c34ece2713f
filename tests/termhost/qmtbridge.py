"""A QMT bridge stand-in (a real HTTP and WebSocket server on 127.0.0.1) and what the terminal app
needs around it: a recording streamer, a faster clock for its waits, and a way to serve an app."""
import asyncio
import contextlib
import socket

import uvicorn
from starlette.applications import Starlette
from starlette.responses import Response
from starlette.routing import Route, WebSocketRoute


@contextlib.asynccontextmanager
async def serving(app):
    """Serves an ASGI app on 127.0.0.1 inside the running loop; yields its base URL."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    server = uvicorn.Server(uvicorn.Config(app, log_level="error", ws_max_size=16 * 2**20))
    task = asyncio.create_task(server.serve(sockets=[sock]))
    try:
        await until(lambda: server.started or task.done())
        yield f"http://127.0.0.1:{sock.getsockname()[1]}"
    finally:
        server.should_exit = True
        await asyncio.wait_for(task, 10)
        sock.close()


async def until(condition, timeout=10.0):
    """Waits until condition() is true; a hang fails the test instead of the run."""
    async with asyncio.timeout(timeout):
        while not condition():
            await asyncio.sleep(0.005)


class Bridge:
    """GET /api/trading/asset answers `reply` (status, body) and records each request's headers in
    `polls`; each /ws/trade connection is a session (its query string, and a queue of frames, text
    or bytes, that the test fills and the bridge sends), listed in `sessions` in connection order."""

    def __init__(self):
        self.reply = (200, b'{"data": {"account_id": 1}}')
        self.polls, self.sessions = [], []
        self.app = Starlette(routes=[Route("/api/trading/asset", self.asset),
                                     WebSocketRoute("/ws/trade", self.trade)])

    async def asset(self, request):
        self.polls.append(dict(request.headers))
        status, body = self.reply
        return Response(body, status_code=status, media_type="application/json")

    async def trade(self, ws):
        await ws.accept()
        queue = asyncio.Queue()
        self.sessions.append((ws.url.query, queue))
        receiving = asyncio.ensure_future(ws.receive())
        try:
            while True:
                getting = asyncio.ensure_future(queue.get())
                await asyncio.wait({receiving, getting}, return_when=asyncio.FIRST_COMPLETED)
                if receiving.done():                      # the client closed the connection
                    getting.cancel()
                    return
                frame = getting.result()
                await (ws.send_bytes(frame) if isinstance(frame, bytes) else ws.send_text(frame))
        finally:
            receiving.cancel()

    def push(self, frame, session=-1):
        self.sessions[session][1].put_nowait(frame)


class Streamer:
    """Records what is broadcast (`sent`); `fail` makes the next broadcasts raise."""

    def __init__(self):
        self.manager, self.sent, self.fail = self, [], None

    async def broadcast_json(self, message):
        if self.fail:
            raise self.fail
        self.sent.append(message)


class FastClock:
    """What the terminal app sees as `asyncio`: the real module, but each sleep lasts a hundredth
    of what was asked (recorded in `sleeps`)."""

    def __init__(self):
        self.sleeps = []

    def __getattr__(self, name):
        return getattr(asyncio, name)

    def sleep(self, delay):
        self.sleeps.append(delay)
        return asyncio.sleep(delay / 100)



def ours(task):
    """Whether a task runs the terminal app's loop or its listener."""
    return "QMTTermhost._account_poll_loop" in getattr(task.get_coro(), "__qualname__", "")

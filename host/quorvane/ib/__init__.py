"""IB mode of the reference host: its configuration, and what runs for the life of the app.

Off by default. ``quorvane serve --ib`` (or ``QUORVANE_IB=1``) connects one IB session to TWS or
IB Gateway, tracks the configured symbols (quotes and one-minute bars), keeps their live bars in
the bar cache and opens the live bar subscriptions of `quorvane.server.barwarden`. The session is
kept up for the life of the app: a connection that fails or drops is retried with capped
exponential backoff while the service serves offline. This module imports none of that until IB
mode starts, so the offline service never loads it.
"""

from __future__ import annotations

import asyncio
import contextlib
import math
import os
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field

from loguru import logger

from quorvane.data.demo import DEMO_SYMBOLS
from quorvane.environment import setting

ENABLE_ENV = "QUORVANE_IB"
HOST_ENV, PORT_ENV, CLIENT_ID_ENV, SYMBOLS_ENV, RECONNECT_MAX_ENV = (
    "QUORVANE_IB_HOST", "QUORVANE_IB_PORT", "QUORVANE_IB_CLIENT_ID", "QUORVANE_IB_SYMBOLS",
    "QUORVANE_IB_RECONNECT_MAX")
DEFAULT_HOST, DEFAULT_PORT, DEFAULT_CLIENT_ID = "127.0.0.1", 7497, 17
DEFAULT_RECONNECT_MAX = 60.0
FIRST_RETRY_SECONDS = 1.0  # the wait before the first retry; each failed attempt doubles it
START_WAIT_SECONDS = 10.0  # how long start-up waits for the first attempt's outcome
PROBE_SECONDS = 15.0  # a session silent this long must answer a time request within as long
_TRUE = {"1", "true", "yes", "on"}


def parse_symbols(text: str) -> tuple[str, ...]:
    """A comma list of symbols: stripped, upper-cased, empty pieces and repeats dropped."""
    out = dict.fromkeys(s.strip().upper() for s in text.split(","))
    out.pop("", None)
    if not out:
        raise ValueError(f"no symbol in {text!r}")
    return tuple(out)


def parse_seconds(text: str) -> float:
    """A positive, finite number of seconds."""
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"must be a positive number of seconds, got {text!r}")
    return value


@dataclass(frozen=True)
class IBConfig:
    """Where the IB session connects, which symbols it tracks, and the longest wait between
    two connection attempts (seconds)."""

    host: str = DEFAULT_HOST
    port: int = DEFAULT_PORT
    client_id: int = DEFAULT_CLIENT_ID
    symbols: tuple[str, ...] = field(default_factory=lambda: tuple(DEMO_SYMBOLS))
    reconnect_max: float = DEFAULT_RECONNECT_MAX

    @classmethod
    def resolve(cls, environ: Mapping[str, str] | None = None, *, enable: bool | None = None,
                host: str | None = None, port: int | None = None, client_id: int | None = None,
                symbols: str | None = None, reconnect_max: float | None = None) -> IBConfig | None:
        """The configuration of IB mode, or None when it is off.

        Each argument given (not None) wins over its environment variable, which wins over the
        default; `enable` None leaves the choice to ``QUORVANE_IB``. Raises ValueError naming
        the variable (or option) whose value is unusable.
        """
        env = os.environ if environ is None else environ
        if enable is None:
            enable = env.get(ENABLE_ENV, "").strip().lower() in _TRUE
        if not enable:
            return None
        if reconnect_max is not None:
            try:
                reconnect_max = parse_seconds(str(reconnect_max))
            except ValueError as e:
                raise ValueError(f"--ib-reconnect-max: {e}") from None
        return cls(
            host=host or setting(HOST_ENV, str, DEFAULT_HOST, environ=env),
            port=port if port is not None else setting(PORT_ENV, int, DEFAULT_PORT, environ=env),
            client_id=client_id if client_id is not None
            else setting(CLIENT_ID_ENV, int, DEFAULT_CLIENT_ID, environ=env),
            symbols=parse_symbols(symbols) if symbols is not None
            else setting(SYMBOLS_ENV, parse_symbols, tuple(DEMO_SYMBOLS), environ=env),
            reconnect_max=reconnect_max if reconnect_max is not None
            else setting(RECONNECT_MAX_ENV, parse_seconds, DEFAULT_RECONNECT_MAX, environ=env))


def backoff(cap: float, first: float = FIRST_RETRY_SECONDS) -> Iterator[float]:
    """The waits before successive connection attempts: `first`, doubling up to `cap`."""
    delay = min(first, cap)
    while True:
        yield delay
        delay = min(delay * 2, cap)


async def keep_connected(icli_app, config: IBConfig, manager, attempted: asyncio.Event) -> None:
    """Keep the terminal app's session up until cancelled; `attempted` is set once the first
    attempt has come up (streaming, subscriptions started) or failed.

    Each connection that comes up has the tracked symbols qualified and streaming (the terminal
    app's `connect`) and the live bar subscriptions opened anew (`manager.start`); when it drops,
    the subscriptions are torn down (`manager.stop`) and the service serves offline until the next
    attempt. Attempts follow `backoff`, which starts over after each connection that came up.
    """
    waits = backoff(config.reconnect_max)
    while True:
        try:
            if await icli_app.connect(config.host, config.port, config.client_id):
                waits = backoff(config.reconnect_max)
                await manager.start()
                attempted.set()
                await icli_app.wait_dropped(PROBE_SECONDS)
                logger.warning("IB: connection to {}:{} lost; serving offline", config.host, config.port)
                await manager.stop()
        except Exception as e:  # whatever broke, the next attempt starts from a clean session
            logger.opt(exception=e).error("IB: session handling failed: {!r}", e)
            icli_app.disconnect()
            with contextlib.suppress(Exception):
                await manager.stop()
        attempted.set()
        delay = next(waits)
        logger.info("IB: next connection attempt to {}:{} in {:g} s", config.host, config.port, delay)
        await asyncio.sleep(delay)


async def _cancel(task: asyncio.Task) -> None:
    task.cancel()
    with contextlib.suppress(asyncio.CancelledError):
        await task


@contextlib.asynccontextmanager
async def ib_mode(app, config: IBConfig):
    """Runs IB mode inside the app's lifespan.

    Keeps the terminal app as ``app.state.icli_app`` and its session connected in a task of its
    own (`keep_connected`); start-up waits for the first attempt only (at most
    `START_WAIT_SECONDS`), so a refused connection is retried while the service serves. Flushes
    its live bars into the cache (``app.state.live_flusher``) and runs the live bar subscriptions
    (``app.state.barwarden``) whenever the session is up. Demo bars are dropped first (IB mode
    never serves them as market data). At exit everything is stopped in reverse order and the
    session disconnected, whatever state it is in and whatever fails on the way.
    """
    # First: a broken install fails here, before anything talks to TWS.
    from quorvane.server.barwarden import BarwardenManager

    from quorvane.data import loader
    from quorvane.data.demo import drop_demo
    from quorvane.ib.terminal import TerminalApp
    from quorvane.live import LiveBarFlusher

    dropped = await asyncio.to_thread(drop_demo, loader._get_cache(),
                                    sorted({*config.symbols, *DEMO_SYMBOLS}))
    if dropped:
        logger.info("IB: demo bars of {} dropped; IB mode serves none", ", ".join(dropped))
    async with contextlib.AsyncExitStack() as stack:
        icli_app = app.state.icli_app = TerminalApp(config.symbols)
        stack.callback(icli_app.close)

        flusher = app.state.live_flusher = LiveBarFlusher(icli_app)
        flusher.start()
        stack.push_async_callback(flusher.stop)

        manager = app.state.barwarden = BarwardenManager(icli_app)
        stack.push_async_callback(manager.stop)
        attempted = asyncio.Event()
        task = asyncio.create_task(keep_connected(icli_app, config, manager, attempted), name="ib-connection")
        stack.push_async_callback(_cancel, task)
        # health is right from the first request, and a gateway that hangs holds start-up no longer
        with contextlib.suppress(TimeoutError):
            await asyncio.wait_for(attempted.wait(), START_WAIT_SECONDS)
        yield

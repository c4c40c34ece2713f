"""IB mode of the reference host: its configuration, and what runs for the life of the app.

Off by default. ``quorvane serve --ib`` (or ``QUORVANE_IB=1``) connects one IB session to TWS or
IB Gateway, tracks the configured symbols (quotes and one-minute bars), keeps their live bars in
the bar cache and opens the live bar subscriptions of `quorvane.server.barwarden`. This module
imports none of that until IB mode starts, so the offline service never loads it.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Mapping
from dataclasses import dataclass, field

from quorvane.data.demo import DEMO_SYMBOLS

ENABLE_ENV = "QUORVANE_IB"
HOST_ENV, PORT_ENV, CLIENT_ID_ENV, SYMBOLS_ENV = (
    "QUORVANE_IB_HOST", "QUORVANE_IB_PORT", "QUORVANE_IB_CLIENT_ID", "QUORVANE_IB_SYMBOLS")
DEFAULT_HOST, DEFAULT_PORT, DEFAULT_CLIENT_ID = "127.0.0.1", 7497, 17
_TRUE = {"1", "true", "yes", "on"}


def parse_symbols(text: str) -> tuple[str, ...]:
    """A comma list of symbols: stripped, upper-cased, empty pieces and repeats dropped."""
    out = dict.fromkeys(s.strip().upper() for s in text.split(","))
    out.pop("", None)
    if not out:
        raise ValueError(f"no symbol in {text!r}")
    return tuple(out)


@dataclass(frozen=True)
class IBConfig:
    """Where the IB session connects and which symbols it tracks."""

    host: str = DEFAULT_HOST
    port: int = DEFAULT_PORT
    client_id: int = DEFAULT_CLIENT_ID
    symbols: tuple[str, ...] = field(default_factory=lambda: tuple(DEMO_SYMBOLS))

    @classmethod
    def resolve(cls, environ: Mapping[str, str] | None = None, *, enable: bool | None = None,
                host: str | None = None, port: int | None = None, client_id: int | None = None,
                symbols: str | None = None) -> IBConfig | None:
        """The configuration of IB mode, or None when it is off.

        Each argument given (not None) wins over its environment variable, which wins over the
        default; `enable` None leaves the choice to ``QUORVANE_IB``. Raises ValueError naming
        the variable whose value is unusable.
        """
        env = os.environ if environ is None else environ
        if enable is None:
            enable = env.get(ENABLE_ENV, "").strip().lower() in _TRUE
        if not enable:
            return None

        def from_env(name, convert, default):
            text = env.get(name, "").strip()
            if not text:
                return default
            try:
                return convert(text)
            except ValueError as e:
                raise ValueError(f"${name}: {e}") from None

        return cls(
            host=host or from_env(HOST_ENV, str, DEFAULT_HOST),
            port=port if port is not None else from_env(PORT_ENV, int, DEFAULT_PORT),
            client_id=client_id if client_id is not None else from_env(CLIENT_ID_ENV, int, DEFAULT_CLIENT_ID),
            symbols=parse_symbols(symbols) if symbols is not None
            else from_env(SYMBOLS_ENV, parse_symbols, tuple(DEMO_SYMBOLS)))


@contextlib.asynccontextmanager
async def ib_mode(app, config: IBConfig):
    """Runs IB mode inside the app's lifespan.

    Connects the terminal app (a failed connection is logged and the app serves offline), keeps
    it as ``app.state.icli_app``, flushes its live bars into the cache (``app.state.live_flusher``)
    and starts the live bar subscriptions (``app.state.barwarden``). At exit everything is
    stopped in reverse order and the session disconnected, whatever fails on the way.
    """
    # First: a broken install fails here, before anything talks to TWS.
    from quorvane.server.barwarden import BarwardenManager

    from quorvane.ib.terminal import TerminalApp
    from quorvane.live import LiveBarFlusher

    async with contextlib.AsyncExitStack() as stack:
        icli_app = TerminalApp(config.symbols)
        stack.callback(icli_app.disconnect)
        await icli_app.connect(config.host, config.port, config.client_id)
        app.state.icli_app = icli_app

        flusher = app.state.live_flusher = LiveBarFlusher(icli_app)
        flusher.start()
        stack.push_async_callback(flusher.stop)

        manager = app.state.barwarden = BarwardenManager(icli_app)
        stack.push_async_callback(manager.stop)
        await manager.start()
        yield

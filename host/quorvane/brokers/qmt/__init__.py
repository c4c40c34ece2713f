"""QMT mode of the reference host (``quorvane serve --broker qmt``).

The terminal app is `termhost.QMTTermhost` (a native module), backed by the strategy runner of
`live`; both talk to the QMT bridge at ``$QUORVANE_QMT_URL`` with ``$QUORVANE_QMT_API_KEY``, every
``$QUORVANE_QMT_POLL_SECONDS``. Nothing of it is imported until QMT mode starts.
"""

from __future__ import annotations

import asyncio
import contextlib

from loguru import logger


@contextlib.asynccontextmanager
async def qmt_mode(app, streamer):
    """Runs QMT mode inside the app's lifespan.

    Starts the runner (its first probe of the bridge is awaited, so the health route is right from
    the first request), keeps the terminal app as ``app.state.icli_app`` and starts its account
    polling with `streamer`. At exit the polling is stopped (and waited for, so its HTTP client is
    closed and its WebSocket listener cancelled) and then the runner.
    """
    from quorvane.brokers.qmt.live import QMTMultiStrategyRunner
    from quorvane.brokers.qmt.termhost import QMTTermhost

    runner = QMTMultiStrategyRunner()
    icli_app = QMTTermhost()
    icli_app.set_runner(runner)
    await runner.start()
    polling = None
    try:
        app.state.icli_app = icli_app
        icli_app.start_account_polling(streamer)
        polling = icli_app._poll_task  # stop() forgets the task: shutdown waits for it to unwind
        yield
    finally:
        icli_app.stop()
        if polling is not None:
            try:
                await polling
            except asyncio.CancelledError:
                pass
            except Exception as e:  # it ended earlier; shutdown goes on
                logger.error("qmt account polling had failed: {!r}", e)
        await runner.stop()

"""QMT broker app: the minimal terminal app for the `--broker qmt` mode."""

import asyncio
from typing import TYPE_CHECKING as TYPE_CHECKING
from typing import Any

from loguru import logger as logger

from quorvane.brokers.qmt.live import QMTMultiStrategyRunner as QMTMultiStrategyRunner
from quorvane.cmds.dispatch import Dispatch as Dispatch
from quorvane.server.streamer import DataStreamer

class QMTTermhost:
    accountId: str
    streamer: DataStreamer | None
    _runner: QMTMultiStrategyRunner | None
    quoteState: dict[str, Any]
    # the latest asset snapshot from the bridge
    accountStatus: dict[str, Any]
    pnlSingle: dict[str, Any]
    _poll_task: asyncio.Task[None] | None
    dispatch: Dispatch
    opstate: QMTTermhost
    def __init__(self) -> None: ...
    @property
    def connected(self) -> bool: ...
    def set_runner(self, runner: QMTMultiStrategyRunner) -> None: ...
    def start_account_polling(self, streamer: DataStreamer) -> None: ...
    async def _broadcast_asset(self, data: dict[str, Any], streamer: DataStreamer) -> None: ...
    # polls the bridge until cancelled
    async def _account_poll_loop(self, streamer: DataStreamer) -> None: ...
    def stop(self) -> None: ...

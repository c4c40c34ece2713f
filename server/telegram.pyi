"""Telegram notification — fire-and-forget from any thread via background worker."""

import logging
import threading
from queue import Queue as Queue

logger: logging.Logger
ENABLED: bool
_TOKEN: str
_CHAT_ID: int
# messages for the worker; None makes it stop
_queue: Queue[str | None]
_worker: threading.Thread | None

def configure(token: str, chat_id: int) -> None: ...
def _start_worker() -> None: ...
def send(text: str) -> None: ...
def shutdown() -> None: ...
def _run() -> None: ...

"""Telegram notification — fire-and-forget from any thread via background worker."""
import logging
import os
import threading
from queue import Queue

import httpx

logger = logging.getLogger(__name__)

ENABLED = False
_TOKEN = ""
_CHAT_ID = 0
_queue = Queue()
_worker = None


def configure(token, chat_id):
    # The native argument binder refuses anything but an exact str, and converts numbers
    # to an exact int; the same texts are produced here.
    if type(token) is not str:
        raise TypeError(f"Argument 'token' has incorrect type (expected str, got {type(token).__name__})")
    if type(chat_id) is not int:
        if not (hasattr(type(chat_id), "__int__") or hasattr(type(chat_id), "__index__")):
            raise TypeError(
                f"Argument 'chat_id' has incorrect type (expected int, got {type(chat_id).__name__})")
        chat_id = int(chat_id)
    global ENABLED, _TOKEN, _CHAT_ID
    _TOKEN = token
    _CHAT_ID = chat_id
    ENABLED = bool(token) and chat_id != 0
    if ENABLED:
        _start_worker()


def _start_worker():
    global _worker
    if _worker and _worker.is_alive():
        return
    _worker = threading.Thread(target=_run, daemon=True)
    _worker.start()


def send(text):
    if type(text) is not str:
        raise TypeError(f"Argument 'text' has incorrect type (expected str, got {type(text).__name__})")
    if not ENABLED or not text:
        return
    if len(text) > 4000:
        text = text[:4000] + "..."
    _queue.put_nowait(text)


def shutdown():
    if not ENABLED:
        return
    _queue.put_nowait(None)


def _run():
    url = f"https://api.telegram.org/bot{_TOKEN}/sendMessage"
    proxy = os.environ.get("HTTPS_PROXY") or os.environ.get("https_proxy") or None
    with httpx.Client(timeout=10.0, proxy=proxy) as client:
        while True:
            text = _queue.get()
            if text is None:
                return
            for attempt in (0, 1):
                try:
                    r = client.post(url, json={"chat_id": _CHAT_ID, "text": text})
                    if r.status_code == 429:
                        retry_after = r.json().get("parameters", {}).get("retry_after", 1)
                        import time
                        time.sleep(retry_after)
                        continue
                    r.raise_for_status()
                    break
                except Exception:
                    if attempt == 1:
                        logger.exception("telegram send failed")
                    else:
                        logger.warning("telegram send retry")
                        import time
                        time.sleep(1)

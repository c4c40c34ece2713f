"""Fixtures of the terminal app tests: a faster clock for its waits, the bridge variables."""
import pytest

from qmtbridge import FastClock
from quorvane.brokers.qmt import termhost


@pytest.fixture
def clock(monkeypatch):
    fast = FastClock()
    monkeypatch.setattr(termhost, "asyncio", fast)
    return fast


@pytest.fixture
def qmt_env(monkeypatch):
    """Sets the bridge variables: qmt_env(url, key=None, poll="1")."""
    def set_env(url, key=None, poll="1"):
        monkeypatch.setenv("QUORVANE_QMT_URL", url)
        monkeypatch.setenv("QUORVANE_QMT_POLL_SECONDS", poll)
        if key is None:
            monkeypatch.delenv("QUORVANE_QMT_API_KEY", raising=False)
        else:
            monkeypatch.setenv("QUORVANE_QMT_API_KEY", key)
    return set_env

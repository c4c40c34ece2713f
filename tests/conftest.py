"""Shared test set-up: where the test-only extension modules live, log capture, sanitizer runs."""
import asyncio
import contextlib
import datetime as datetime_module
import gc
import os
import re
import subprocess
import sys
from pathlib import Path
from zoneinfo import ZoneInfo

import httpx
import pytest

from appstate import ABSENT

REPO_ROOT = Path(__file__).resolve().parent.parent
pytest_plugins = ("ibsim",)   # the ib_sim fixture: an IB Gateway simulator on a free port
REAL_DATETIME = datetime_module.datetime


def _testmods_dir() -> Path:
    """The test-only extension modules (_frametest) are built outside the installed package;
    `make test` and `make asan` name the directory in QUORVANE_TESTMODS, relative to the working
    directory or to the repository root."""
    path = Path(os.environ.get("QUORVANE_TESTMODS", "build/dev/testmods"))
    if path.is_absolute() or path.resolve().is_dir():
        return path.resolve()
    return REPO_ROOT / path


TESTMODS = _testmods_dir()
if str(TESTMODS) not in sys.path:
    sys.path.insert(0, str(TESTMODS))

# Set by `make asan`: the modules run under AddressSanitizer, where everything is slow and the
# process RSS is dominated by shadow memory and quarantine, telling nothing about our allocations.
SANITIZED = os.environ.get("QUORVANE_SANITIZED") == "1"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "memory: measures process memory (RSS); skipped in the sanitizer run")


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    skip = pytest.mark.skip(reason="RSS is meaningless under AddressSanitizer")
    for item in items:
        if "memory" in item.keywords:
            item.add_marker(skip)


@pytest.fixture(scope="session")
def sanitized() -> bool:
    """True in the AddressSanitizer run (QUORVANE_SANITIZED=1)."""
    return SANITIZED


class LogRecords(list):
    """loguru's record dicts, in order: r["level"].name, r["message"], r["exception"], r["extra"]."""

    def levels_and_messages(self) -> list[tuple[str, str]]:
        return [(r["level"].name, r["message"]) for r in self]


@pytest.fixture
def log_records():
    """Everything logged through loguru while the test runs, at every level."""
    from loguru import logger

    records = LogRecords()
    handler_id = logger.add(lambda message: records.append(message.record), level=0,
                            format="{message}", catch=False)
    try:
        yield records
    finally:
        logger.remove(handler_id)


class Token:
    """A non-immortal value (unlike small ints, None or True): a reference-count error shows."""
    __slots__ = ("name",)

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"<{self.name}>"


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item, call):
    report = yield
    if report.when == "call":
        item.call_failed = report.failed
    return report


@pytest.fixture
def tok(request):
    """Makes tokens; after the test each must be referenced by nothing but this fixture.
    (Not checked after a failure: the kept traceback still references the test's locals.)"""
    made = []

    def make(name="tok"):
        made.append(Token(f"{name}{len(made)}"))
        return made[-1]

    yield make
    if getattr(request.node, "call_failed", False):
        return
    gc.collect()
    make("control")
    counts = {t.name: sys.getrefcount(t) for t in made}
    base = counts.pop(made[-1].name)
    assert {name: n - base for name, n in counts.items() if n != base} == {}, \
        "token reference counts changed (name: delta)"


class Census:
    """Destructor counter: `alive` counts the objects from item() that were not yet released."""

    def __init__(self):
        self.alive = 0

    def item(self):
        return _Tracked(self)


class _Tracked:
    def __init__(self, census):
        self.census = census
        census.alive += 1

    def __del__(self):
        self.census.alive -= 1


@pytest.fixture
def census():
    return Census()


@pytest.fixture
def isolated(request):
    """For tests of crashes: `if not isolated(): return` runs the test again in a child pytest
    and asserts that it passed there (a crash must not end the run), showing the sanitizer
    report, assertion or fatal error; in that child it returns True and the test goes on."""
    def run():
        node = request.node.nodeid
        if os.environ.get("QUORVANE_ISOLATED") == node:
            return True
        child = subprocess.run([sys.executable, "-m", "pytest", "-q", "-s", "-p", "no:cacheprovider", node],
                               cwd=request.config.rootpath, env={**os.environ, "QUORVANE_ISOLATED": node},
                               capture_output=True, text=True, timeout=300)
        out = child.stdout + child.stderr
        first = re.search(r"^.*(AddressSanitizer|runtime error:|Assertion .* failed|Fatal Python error)", out, re.M)
        assert child.returncode == 0, f"exit {child.returncode}: " + out[first.start() if first else -3000:][:2500]
        return False
    return run


@pytest.fixture(params=[
    ({"HTTPS_PROXY": "http://proxy.local:3128"}, "http://proxy.local:3128"),
    ({"HTTPS_PROXY": ""}, None),
    ({"https_proxy": "http://lower.local:3128"}, None),   # only the upper-case name is read
], ids=["set", "empty", "lower-case"])
def https_proxy(request, monkeypatch):
    """Sets one proxy environment; returns what yfinance's proxy setting should then be."""
    env, proxy = request.param
    monkeypatch.delenv("HTTPS_PROXY", raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    return {"https": proxy, "http": proxy} if proxy else None


@pytest.fixture
def pin(monkeypatch):
    """pin("2025-11-28 13:00") makes datetime.now() that instant (New York time unless tz says): the
    `datetime` class of the `datetime` module is replaced, for whatever reads it from there at each call."""

    def set_now(local, tz="America/New_York"):
        instant = REAL_DATETIME.fromisoformat(local).replace(tzinfo=ZoneInfo(tz))

        class Pinned(REAL_DATETIME):
            @classmethod
            def now(cls, tz=None):
                return instant.astimezone(tz) if tz else instant.astimezone().replace(tzinfo=None)

        monkeypatch.setattr(datetime_module, "datetime", Pinned)

    return set_now


@pytest.fixture
def app_options():
    """Keyword arguments of the `call_app` fixture's `create_app` besides the data directory; a
    test module overrides this fixture for another mode (IB mode against the simulator, say)."""
    return {}


@pytest.fixture
def call_app(tmp_path, app_options):
    """call_app(*requests, lifespan=True, timeout=None, **state) -> [httpx.Response], in order.

    The test's app is made once, now, over a bar cache in tmp_path: a test may seed the cache or
    spy on `loader._get_cache()` before its first call, and every call talks to the same app and
    cache. A call enters the app's lifespan (unless lifespan=False), sets each `state` attribute on
    `app.state` (ABSENT deletes it), then sends the requests one after the other through httpx's
    ASGI transport, an exception of the app becoming a 500 response. A request is "METHOD /path"
    or ("METHOD /path", keyword arguments of httpx's request); `timeout` (seconds) bounds each one,
    so that a hang fails the test instead of the run.
    """
    # Imported at first use rather than when pytest loads this file: the host package installs a
    # warnings filter on import, and one installed that early (before collection) ranks below
    # pytest's own filters, so collection would report warnings that it otherwise keeps out.
    from quorvane.app import create_app
    from quorvane.data import loader

    app = create_app(data_dir=tmp_path, **app_options)

    def run(*requests, lifespan=True, timeout=None, **state):
        async def scenario():
            async with app.router.lifespan_context(app) if lifespan else contextlib.nullcontext():
                for name, value in state.items():
                    if value is not ABSENT:
                        setattr(app.state, name, value)
                    elif hasattr(app.state, name):
                        delattr(app.state, name)
                transport = httpx.ASGITransport(app=app, raise_app_exceptions=False)
                async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
                    replies = []
                    for request in requests:
                        line, kwargs = (request, {}) if isinstance(request, str) else request
                        method, path = line.split(" ", 1)
                        replies.append(await asyncio.wait_for(client.request(method, path, **kwargs), timeout))
                    return replies

        return asyncio.run(scenario())

    yield run
    loader.close_cache()

"""The real app over a bar cache of the test's own, for the route tests of the health module."""
import asyncio
import contextlib

import httpx
import pytest

from appstate import ABSENT


@pytest.fixture
def call_app(tmp_path):
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

    app = create_app(data_dir=tmp_path)

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

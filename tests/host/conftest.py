import pytest
import redisserver

from quorvane.data import loader


def pytest_configure(config):
    # pandas_market_calendars 5 uses an accessor that pandas 3 deprecates; not ours to fix.
    config.addinivalue_line("filterwarnings", r"ignore:Series\.dt\.weekday is deprecated")


@pytest.fixture(params=["disk", "redis"])
def cache(request, tmp_path, monkeypatch):
    """A fresh process-wide bar cache: in a temporary directory, and in an emptied Redis database."""
    monkeypatch.setenv(loader.DATA_DIR_ENV, str(tmp_path / "data"))
    monkeypatch.setenv(loader.CACHE_URL_ENV, request.getfixturevalue("redis_url") if request.param == "redis" else "")
    yield loader.open_cache(tmp_path / "data")
    loader.close_cache()


@pytest.fixture(scope="session")
def redis_session(tmp_path_factory):
    if redisserver.MISSING:
        pytest.skip(redisserver.MISSING)
    server = redisserver.RedisServer(tmp_path_factory.mktemp("redis")).start()
    yield server
    server.stop()


@pytest.fixture
def redis_url(redis_session):
    """The URL of an emptied database of the session's redis-server."""
    import redis

    with redis.Redis.from_url(redis_session.url) as client:
        client.flushdb()
    return redis_session.url

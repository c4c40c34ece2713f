import pytest

from quorvane.data import loader


def pytest_configure(config):
    # pandas_market_calendars 5 uses an accessor that pandas 3 deprecates; not ours to fix.
    config.addinivalue_line("filterwarnings", r"ignore:Series\.dt\.weekday is deprecated")


@pytest.fixture
def cache(tmp_path, monkeypatch):
    """A fresh process-wide bar cache in a temporary directory."""
    monkeypatch.setenv(loader.DATA_DIR_ENV, str(tmp_path / "data"))
    opened = loader.open_cache(tmp_path / "data")
    yield opened
    loader.close_cache()

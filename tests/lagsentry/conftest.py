import pytest
from loguru import logger


@pytest.fixture
def log_records():
    """Every loguru record emitted during the test, as loguru's record dicts."""
    records = []
    sink = logger.add(lambda message: records.append(message.record), level="DEBUG", format="{message}")
    yield records
    logger.remove(sink)

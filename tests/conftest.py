import logging

import pytest

import vexlo_device_communication as vexlo


@pytest.fixture
def records(caplog):
    """Log records of the module logger, as (level name, message) pairs."""
    caplog.set_level(logging.DEBUG, logger="vexlo_device_communication")

    def collect():
        return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == vexlo.logger.name]

    return collect


@pytest.fixture
def commands():
    return vexlo._CommandOperations()

import logging
from unittest import mock

import pytest
from hypothesis import HealthCheck, settings

import vexlo_device_communication as vexlo
from link_fake_port import ScriptedPort
from reliability import FIGURES, FULL, FUZZ_INPUTS

# Property tests stay short in the suite; `make fuzz` selects the long profile.
# No deadlines: the sanitizer build runs many times slower.
settings.register_profile("suite", max_examples=100, deadline=None)
settings.register_profile(
    "fuzz", max_examples=100_000, deadline=None, database=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much])
settings.load_profile("fuzz" if FULL else "suite")


SHORT_TARGETS = []


def pytest_sessionfinish(session, exitstatus):
    workeroutput = getattr(session.config, "workeroutput", None)
    if workeroutput is not None:  # a worker of a parallel run hands its figures to the main process
        workeroutput["figures"] = dict(FIGURES)
        return
    # The long run fails if a fuzz target ran fewer inputs than it promises.
    if FULL:
        SHORT_TARGETS[:] = [what for what, n in FIGURES.items()
                            if what.startswith("inputs fuzzed") and n < FUZZ_INPUTS]
        if SHORT_TARGETS:
            session.exitstatus = pytest.ExitCode.TESTS_FAILED


@pytest.hookimpl(optionalhook=True)
def pytest_testnodedown(node, error):
    FIGURES.update(getattr(node, "workeroutput", {}).get("figures", {}))


def pytest_terminal_summary(terminalreporter):
    if FIGURES:
        terminalreporter.write_sep("-", "reliability figures")
        for what, n in sorted(FIGURES.items()):
            terminalreporter.write_line("%s: %s" % (what, format(n, ",")))
    for what in SHORT_TARGETS:
        terminalreporter.write_line("FAILED: %s below %s" % (what, format(FUZZ_INPUTS, ",")), red=True)


# Tests that keep real time with pseudo-terminals, a broker or a browser: marked `serial`, so that the
# suite's parallel pass leaves them to a pass of their own, where no other test competes for the cores.
SERIAL_FILES = {"test_acquisition.py", "test_acquisition_native.py", "test_cli_recording.py", "test_devices.py",
                "test_mqtt.py", "test_mqtt_checks.py", "test_reliability_pty.py", "test_runs.py", "test_serve.py", "test_simulator_pty.py"}


def pytest_collection_modifyitems(items):
    for item in items:
        if item.path.name in SERIAL_FILES:
            item.add_marker(pytest.mark.serial)


def pytest_configure(config):
    # Installed, the package's pytest plugin loads by its entry point; in
    # the in-place loop (sources on the path) it is registered here.
    import vexlo_tools.sim.pytest_plugin as plugin
    if not config.pluginmanager.is_registered(plugin):
        config.pluginmanager.register(plugin, "vexlo_sim")


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


@pytest.fixture
def sleeps():
    """time.sleep replaced by a mock: pauses are observed, never waited for."""
    with mock.patch("time.sleep") as sleep:
        yield sleep


@pytest.fixture
def port():
    """A scripted stand-in for a serial port (see link_fake_port)."""
    return ScriptedPort("/dev/ttyFAKE0")


@pytest.fixture
def link(port):
    """A link on the scripted port, as connected."""
    ci = vexlo._SerialCommunicationInterface("/dev/ttyFAKE0")
    ci.serial_connection = port
    return ci


@pytest.fixture(autouse=True, scope="session")
def _state_folder(tmp_path_factory):
    """A state folder of the session's own: a stand's spool outlives its publisher, never in the user's home."""
    with mock.patch.dict("os.environ", {"XDG_STATE_HOME": str(tmp_path_factory.mktemp("state"))}):
        yield

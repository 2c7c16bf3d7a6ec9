"""The scripts in examples/, run against simulated instruments with --sim."""

import csv
import importlib.util
import logging
import subprocess
import sys
import threading
import time
from pathlib import Path
from unittest import mock

import pytest

from acquisition_steps import LockStep
from vexlo_tools import _reading
from vexlo_tools.sim import VirtualClock

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
NAMES = ("discover_and_read", "stream_to_csv", "auto_teds")


def load(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(autouse=True)
def root_logger_kept():
    """The examples configure logging for a script; keep the test session's own."""
    root = logging.getLogger()
    level, handlers = root.level, list(root.handlers)
    yield
    root.setLevel(level)
    root.handlers[:] = handlers


@pytest.fixture
def no_sleep():
    with mock.patch("time.sleep") as sleep:
        yield sleep


def test_discover_and_read_finds_both_simulated_instruments(capsys, no_sleep):
    assert load("discover_and_read").main(["--sim", "--count", "2"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("PLX310 on /dev/ttySIM0 at 2000000 baud: serial number 1001")
    assert lines[1:3] == ["     250.000 N"] * 2
    assert lines[3].startswith("MVR420 on /dev/ttySIM1 at 320000 baud: serial number 1002")
    assert lines[4:] == ["     -12.500 N"] * 2


@pytest.mark.parametrize("fast, packets, foreign", [
    (False, 100, False),
    (True, 38400, False),
    # A thread an earlier test left sleeping in a loop: its sleeps must not move the virtual clock.
    (True, 38400, True),
])
def test_stream_to_csv_writes_one_row_per_sample(tmp_path, capsys, fast, packets, foreign):
    # Time is virtual: every pause of the example moves the simulator's clock.
    done = threading.Event()
    if foreign:
        threading.Thread(target=lambda: [time.sleep(0.05) for _ in iter(done.is_set, True)], daemon=True).start()
    clock = VirtualClock()
    out = tmp_path / "samples.csv"
    argv = ["--sim", "--seconds", "1", "--csv", str(out)] + (["--fast"] if fast else [])
    steps = LockStep(clock)
    with mock.patch("time.monotonic", clock), mock.patch("time.sleep", steps.sleep), \
            mock.patch.object(_reading, "clock", clock), mock.patch.object(_reading, "pause", steps.pause):
        assert load("stream_to_csv").main(argv) == 0
    done.set()
    with open(out, newline="") as file:
        rows = [row for row in csv.reader(file) if not row[0].startswith("#")]  # the provenance lines
    assert rows[0] == ["time_s", "adc", "value"]
    samples = rows[1:]
    # One second at the rate, give or take the packet under way at either end.
    assert abs(len(samples) - packets) <= 1
    assert [float(row[0]) for row in samples] == pytest.approx([n / packets for n in range(len(samples))], abs=1e-9)
    values = [float(row[2]) for row in samples]
    # The simulated load swings between 200 and 300 N once a second; a
    # three-byte packet carries 16 bits, about 18 N a step with this calibration.
    step = 20.0 if fast else 1.0
    assert min(values) == pytest.approx(200.0, abs=step)
    assert max(values) == pytest.approx(300.0, abs=step)
    assert capsys.readouterr().out == f"{len(samples)} samples in 1 s written to {out}\n"


def test_auto_teds_switches_to_the_sensor_calibration_and_back(capsys, no_sleep):
    assert load("auto_teds").main(["--sim", "--restore"]) == 0
    assert capsys.readouterr().out.splitlines() == [
        "AutoTEDS is off",
        "stored calibration: 0.5000 mVV",
        "TEDS sensor 12345 (template 33), capacity 1000 N",
        "TEDS calibration:   250.0000 N",
        "AutoTEDS off again: 0.5000 mVV",
    ]
    # The settling pause after TEDS work is observed, not waited for.
    no_sleep.assert_any_call(3)


@pytest.mark.parametrize("name", NAMES)
def test_an_example_that_finds_nothing_says_so(name, capsys, no_sleep):
    assert load(name).main(["--sim", "--port", "/dev/ttyNONE"]) == 1
    captured = capsys.readouterr()
    assert captured.out == ""
    assert captured.err.startswith("no ")


def test_an_example_runs_as_a_script():
    # Only the PLX310's port at its own baud rate: it answers at once, so nothing waits.
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / "discover_and_read.py"), "--sim", "--port", "/dev/ttySIM0",
         "--model", "PLX310", "--count", "1"],
        capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[1] == "     250.000 N"

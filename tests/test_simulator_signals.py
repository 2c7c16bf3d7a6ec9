"""The simulator's time base, its load signals and its own clock, as a host sees them."""

import logging
import re
import time
from pathlib import Path

import pytest
import serial

import vexlo_device_communication as vdc
from vexlo_tools.sim import PtyServer, SimulatedInstrument, build_request, load_config, load_signal, simulated_ports

DOCS = Path(__file__).resolve().parent.parent / "docs" / "simulator.md"


def docs_bench(tmp_path):
    """The first bench file of the simulator's page, as a user copies it."""
    block = re.search(r"```toml\n(.*?)```", DOCS.read_text(encoding="utf-8"), re.S).group(1)
    path = tmp_path / "bench.toml"
    path.write_text(block)
    return path


def test_the_documented_ramp_reads_zero_at_the_start_and_its_slope_a_second_later(tmp_path, vexlo_sim_clock):
    ports = load_config(docs_bench(tmp_path))
    with simulated_ports(ports, clock=vexlo_sim_clock):
        [device] = vdc.VexloSerialScanner.discover_devices(device_models=["PLX310"])
        with device:
            assert device.get_reading(0) == pytest.approx(0.0, abs=0.01)
            vexlo_sim_clock.advance(1.0)
            assert device.get_reading(0) == pytest.approx(100.0, abs=0.01)


def test_on_a_pseudo_terminal_time_starts_when_the_instrument_is_created():
    instrument = SimulatedInstrument.mvr420()
    instrument.set_load_signal(lambda t: 100.0 * t)
    with PtyServer([instrument]) as (path,):
        with serial.Serial(port=path, baudrate=320000, timeout=5) as port:
            port.write(build_request(0x00, 0x05, [0]))
            count = int.from_bytes(port.read(9)[4:8], "big")
        elapsed = time.monotonic() - instrument.created
    # Between creation and the answer: not the machine's uptime, nor before time zero.
    profile = instrument.profiles[0]
    assert profile.count_for_load(0.0) <= count <= profile.count_for_load(100.0 * elapsed)


def test_a_load_beyond_the_adc_is_clipped_with_one_warning_naming_instrument_and_load(vexlo_sim_clock, caplog):
    instrument = SimulatedInstrument.dta530(serial_number=77)
    instrument.set_load_signal(load_signal("ramp", slope=1000.0))
    with simulated_ports({"/dev/ttySIM0": instrument}, clock=vexlo_sim_clock):
        [device] = vdc.VexloSerialScanner.discover_devices(device_models=["DTA530"])
        with device, caplog.at_level(logging.WARNING, logger="vexlo_tools.sim"):
            readings = []
            for _ in range(4):
                vexlo_sim_clock.advance(1.0)
                readings.append(device.get_reading(0))
    # 1000 N in the default calibration is 3,072,000,000 counts: the ADC ends at 2322.8 N.
    assert readings[:2] == pytest.approx([1000.0, 2000.0], abs=0.01)
    assert readings[2] == readings[3] == pytest.approx(2322.8, abs=0.1)
    [warning] = [r.getMessage() for r in caplog.records if "clipped" in r.getMessage()]
    assert "DTA530" in warning and "serial=77" in warning and "ramp(start=0.0, slope=1000.0)" in warning

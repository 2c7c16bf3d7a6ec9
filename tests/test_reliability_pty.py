"""Fault injection over pseudo-terminals, with real pyserial and the operating
system's serial layer: silence, short answers, corrupted checksums, garbage
in a real-time stream, and a port that vanishes during an exchange, during
streaming and during a TEDS image read.

Read timeouts are shortened so that silences cost little; nothing sleeps.
"""

import sys
from types import SimpleNamespace
from unittest import mock

import pytest
import serial

import vexlo_device_communication as vexlo
from reliability import count, expected_stream, heal, inject
from vexlo_tools import Acquisition, find_devices
from vexlo_tools.sim import PtyServer, SimulatedInstrument, TedsSensor

# Pseudo-terminals of Linux, and time.sleep replaced for every test here (the shared fixture in conftest.py).
pytestmark = [pytest.mark.skipif(not sys.platform.startswith("linux"), reason="pseudo-terminals of Linux"),
              pytest.mark.usefixtures("sleeps")]

SHORT_TIMEOUT = 0.05


def discover(path, model, timeout=None):
    """The device on the pseudo-terminal `path`, found by discovery."""
    with mock.patch("serial.tools.list_ports.comports", lambda: [SimpleNamespace(device=path)]):
        [device] = vexlo.VexloSerialScanner.discover_devices([model])
    ci = device.communication_interface
    assert type(ci.serial_connection) is serial.Serial
    if timeout is not None:
        # Silences and short answers then cost a short read timeout.
        ci.serial_connection.timeout = ci.timeout = timeout
    return device


@pytest.fixture
def mvr420():
    instrument = SimulatedInstrument.mvr420()
    instrument.set_raw_count(9_000_000)
    with PtyServer([instrument]) as (path,):
        yield instrument, discover(path, "MVR420", SHORT_TIMEOUT)


@pytest.mark.parametrize("fault, error, message", [
    ("silent", vexlo.VexloTimeoutError, "No response received within 0.05s timeout"),
    ("short", vexlo.VexloCommunicationError, "Incomplete response: expected 9 bytes, got 3"),
    ("corrupt", vexlo.VexloProtocolError, "Invalid checksum in response"),
])
def test_faults_of_one_exchange(mvr420, sleeps, fault, error, message):
    instrument, device = mvr420
    converter = device.adc_converter
    seen = inject(instrument, "ndr", fault)
    with pytest.raises(error) as raised:
        device.get_reading(0)
    assert type(raised.value) is error and str(raised.value) == message
    assert len(seen) == (3 if fault == "silent" else 1)
    assert sleeps.call_args_list == ([mock.call(0.1)] * 2 if fault == "silent" else [])
    assert device.adc_converter is converter
    heal(instrument)
    # The link works again: the next exchange starts by discarding anything late.
    assert device.get_reading(0) == converter.convert_adc(9_000_000)
    assert device.get_sampling_rate(1) == instrument.profiles[0].sampling_rate_code


def test_port_vanishing_during_an_exchange(mvr420):
    instrument, device = mvr420
    converter = device.adc_converter
    ci = device.communication_interface
    inject(instrument, "ndr", "unplug")
    with pytest.raises(vexlo.VexloCommunicationError) as raised:
        device.get_reading(0)
    assert isinstance(raised.value.__cause__, (serial.SerialException, OSError))
    with pytest.raises(vexlo.VexloCommunicationError):
        device.get_sampling_rate()
    assert device.adc_converter is converter
    device.disconnect()  # closing a vanished port raises nothing
    assert ci.serial_connection is None
    with pytest.raises(vexlo.VexloCommunicationError, match="^Serial connection not open$"):
        device.get_reading(0)


def test_garbage_in_a_real_time_stream_at_38400_samples_per_second():
    instrument = SimulatedInstrument.plx310_plus_prime(with_teds=False)  # reads N
    count_ = instrument.set_load(321.0)
    instrument.add_stream_garbage(0.2)
    with PtyServer([instrument]) as (path,):
        device = discover(path, "PLX310")
        converter = device.get_adc_converter()
        device.set_sampling_rate(vexlo.PLX310SamplingRateEnum.SPS_38400)
        device.set_stream_state(True)
        port = device.communication_interface.serial_connection
        # A blocking read of the port's own waits for the data (no sleeping),
        # then whatever the buffer holds.
        chunks = [port.read(6000), device.get_stream_data(), port.read(3001), device.get_stream_data()]
        device.set_stream_state(False)
    received = b"".join(chunks)
    assert len(received) >= 9001
    readings, remainder = [], bytearray()
    for chunk in chunks:
        result = vexlo.StreamDataConverter.convert_stream_data_to_reading_38_kHz(remainder + chunk, converter)
        readings += result.readings
        remainder = result.remainder
    (expected, rest), _ = expected_stream(received, 3, converter.convert_adc)
    assert [(r.calibrated_value, r.adc_value) for r in readings] == expected and remainder == rest
    # The 16-bit samples of the constant load, with few stand-ins formed by garbage.
    sample = count_ & 0xFFFF0000
    assert sum(r.adc_value == sample for r in readings) >= 0.97 * len(readings) > 2000
    count("faults injected")


def test_port_vanishing_during_streaming():
    instrument = SimulatedInstrument.plx310_plus_prime()
    with PtyServer([instrument]) as (path,):
        device = discover(path, "PLX310")
        converter = device.get_adc_converter()
        device.set_sampling_rate(vexlo.PLX310SamplingRateEnum.SPS_19200)
        device.set_stream_state(True)
        port = device.communication_interface.serial_connection
        data = port.read(400)
        instrument.unplug()
        count("faults injected")
        # Reading on until the port reports that it is gone.
        for _ in range(50):
            try:
                data += port.read(4096)
            except serial.SerialException:
                break
        else:
            pytest.fail("the port never reported that it was gone")
        with pytest.raises(vexlo.VexloCommunicationError) as raised:
            device.get_stream_data()
        assert isinstance(raised.value.__cause__, (serial.SerialException, OSError))
        with pytest.raises(vexlo.VexloCommunicationError):
            device.set_stream_state(False)
        assert device.get_adc_converter() is converter
        result = vexlo.StreamDataConverter.convert_stream_data_to_reading(data, converter)
        assert len(result.readings) >= 100
        device.disconnect()
        assert device.communication_interface.serial_connection is None


def test_port_vanishing_during_a_teds_image_read(records):
    instrument = SimulatedInstrument.plx310_plus_prime(
        teds_sensor=TedsSensor(serial_number=77, max_capacity=500.0, max_electrical=2.0))
    with PtyServer([instrument]) as (path,):
        device = discover(path, "PLX310")
        device.reload_teds_data()
        data, converter = device._teds_data, device.adc_converter
        assert data.serial_number == "77"
        inject(instrument, "teds_page", "unplug", nth=9)
        device.reload_teds_data()  # logged, not raised
        assert any(level == "ERROR" and text.startswith("Error loading teds Error reading TEDS data: ")
                   for level, text in records())
        assert (device._teds_data, device.adc_converter) == (data, converter)
        assert device.communication_interface.timeout == 1
        with pytest.raises(vexlo.VexloCommunicationError):
            device.teds_is_connected()
        device.disconnect()


@pytest.mark.parametrize("model, rate", [("PLX310", 38400), ("MVR420", 1300)])
def test_packets_split_across_reads_in_real_time_are_all_kept(model, rate):
    instrument = SimulatedInstrument(model, "QMT31872" if model == "PLX310" else None)
    instrument.set_raw_count(0x9ABCDE00)
    with PtyServer([instrument], split_reads=True) as (path,):
        [device] = find_devices([path], [model])
        with Acquisition([device], rate=rate, samples=rate // 4) as acquisition:
            assert acquisition.wait(timeout=30)
        [block] = acquisition.read(timeout=0)
        device.disconnect()
    assert len(block) == block.stats.received == rate // 4
    assert block.stats.corrupted == 0
    assert set(block.adc.tolist()) == {0x9ABC0000 if model == "PLX310" else 0x9ABCDE00}

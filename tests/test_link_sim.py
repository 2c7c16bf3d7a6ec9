"""The serial link end to end, against simulated instruments: in-process
ports for settings, faults and streaming, and one pseudo-terminal with real
pyserial."""

import sys

import pytest
import serial

import vexlo_device_communication as vexlo
from vexlo_tools.sim import PtyServer, SimulatedInstrument, VirtualClock, simulated_ports

PORT = "/dev/ttySIM0"


# time.sleep replaced for every test here (the shared fixture in conftest.py).
pytestmark = pytest.mark.usefixtures("sleeps")


def connected(instrument, baud_rate, **ports):
    with simulated_ports({PORT: instrument}, **ports):
        ci = vexlo._SerialCommunicationInterface(PORT, baud_rate)
        ci.connect()
    return ci


def sent(instrument):
    return [(r.name, r.arguments, r.answered) for r in instrument.request_log]


@pytest.mark.parametrize("instrument, baud_rate, model, item", [
    (SimulatedInstrument.plx310_plus_prime(), 2000000, "PLX310", "QMT31872"),
    (SimulatedInstrument.plx310(), 2000000, "PLX310", SimulatedInstrument.plx310().item_number),
    (SimulatedInstrument.mvr420(), 320000, "MVR420", SimulatedInstrument.mvr420().item_number),
    (SimulatedInstrument.hsk640(), 115200, "HSK640", SimulatedInstrument.hsk640().item_number),
])
def test_connect_caches_the_identity_of_each_model(instrument, baud_rate, model, item):
    ci = connected(instrument, baud_rate)
    assert (ci._cached_model_number, ci._cached_item_number) == (model, item)
    assert ci.serial_connection.is_open
    ci.disconnect()
    assert ci.serial_connection is None


def test_settings_round_trip_through_the_instrument():
    instrument = SimulatedInstrument.mvr420(serial_number=4711, firmware_version=(4, 10, 2))
    ci = connected(instrument, 320000)
    ci.set_unit_of_measure(2, 31)
    ci.set_device_channel_selected_profile(1, 2)
    ci.set_number_of_directions(2, 0)
    ci.set_load_of_loading_point(2, 1, 123.5)
    ci.set_adc_of_loading_point(2, 1, 9_000_001)
    ci.set_sampling_rate(2, 6)
    assert ci.get_unit_of_measure(2) == 31
    assert ci.get_device_channel_selected_profile(1) == 2
    assert ci.get_number_of_directions(2) == 0
    assert ci.get_load_of_loading_point(2, 1) == 123.5
    assert ci.get_loading_point_value(2, 1) == 9_000_001
    assert ci.get_sampling_rate(2) == 6
    assert ci.get_number_of_loading_points(2) == instrument.profiles[2].points_per_direction
    assert ci.get_instrument_serial_number() == 4711
    assert ci.get_sensor_serial_number(2) == instrument.profiles[2].sensor_serial_number
    assert ci.get_firmware_version_with_patch() == "04.0a.02"
    assert ci.get_board_temperature() == instrument.board_temperature_raw
    instrument.set_raw_count(0xFEDCBA98, channel=1)
    assert ci.get_ndr(1) == 0xFEDCBA98
    assert all(answered for _, _, answered in sent(instrument))


def test_retries_ride_out_a_brief_silence(sleeps):
    instrument = SimulatedInstrument.mvr420()
    ci = connected(instrument, 320000)
    instrument.set_raw_count(12345)
    instrument.go_silent(requests=2)
    assert ci.get_ndr(0) == 12345
    assert [answered for name, _, answered in sent(instrument) if name == "ndr"] == [False, False, True]
    assert len(sleeps.call_args_list) == 2


@pytest.mark.parametrize("fault, error, message", [
    (lambda i: i.answer_short(4), vexlo.VexloCommunicationError, "^Incomplete response: expected 9 bytes, got 4$"),
    (lambda i: i.corrupt_checksums(), vexlo.VexloProtocolError, "^Invalid checksum in response$"),
    (lambda i: i.unplug(), vexlo.VexloCommunicationError, "^Serial error during command transmission: "),
    (lambda i: i.go_silent(), vexlo.VexloTimeoutError, "^No response received within 1s timeout$"),
])
def test_faults_surface_as_module_errors_and_the_link_recovers(fault, error, message, sleeps):
    instrument = SimulatedInstrument.mvr420()
    ci = connected(instrument, 320000)
    instrument.set_raw_count(777)
    fault(instrument)
    with pytest.raises(error, match=message) as raised:
        ci.get_ndr(0)
    assert type(raised.value) is error
    timed_out = error is vexlo.VexloTimeoutError
    assert len(sleeps.call_args_list) == (2 if timed_out else 0)
    instrument.clear_faults()
    instrument.plug_in()
    assert ci.get_ndr(0) == 777


def test_streamed_bytes_come_back_through_the_buffer_read():
    instrument = SimulatedInstrument.mvr420()  # 100 samples per second
    clock = VirtualClock()
    with simulated_ports({PORT: instrument}, clock=clock):
        ci = vexlo._SerialCommunicationInterface(PORT, 320000)
        ci.connect()
        ci.set_streaming_state(True)
        clock.advance(0.5)
        data = ci.read_buffer_data()
        assert len(data) == 50 * 4
        assert ci.read_buffer_data() == b""
        ci.set_streaming_state(False)
        instrument.unplug()
        with pytest.raises(vexlo.VexloCommunicationError):
            ci.read_buffer_data()
    assert instrument.streaming is False


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="pseudo-terminals of Linux")
def test_over_a_pseudo_terminal_with_real_pyserial(sleeps):
    instrument = SimulatedInstrument.plx310()
    instrument.set_raw_count(0x01020304)
    with PtyServer([instrument]) as (path,):
        ci = vexlo._SerialCommunicationInterface(path, 2000000)
        ci.connect()
        try:
            assert type(ci.serial_connection) is serial.Serial
            assert ci._cached_model_number == "PLX310"
            assert ci.get_ndr(0) == 0x01020304
            ci.set_sampling_rate(1, 9)
            assert ci.get_sampling_rate(1) == 9
            with pytest.raises(vexlo.VexloInvalidParameterError):
                ci.set_sampling_rate(1, 15)
            assert ci.get_firmware_version_with_patch() == "04.03.02"
        finally:
            ci.disconnect()
    assert ci.serial_connection is None
    assert not sleeps.called

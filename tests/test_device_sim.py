"""Discovery and devices end to end, against simulated instruments on in-process ports."""
from unittest import mock

import pytest
import serial
import serial.tools.list_ports

import vexlo_device_communication as vexlo
from vexlo_tools.sim import Profile, SimulatedInstrument, VirtualClock, simulated_ports



@pytest.fixture(autouse=True)
def no_sleep():
    with mock.patch("time.sleep") as sleep:
        yield sleep


def test_discovery_on_a_bench_of_instruments(records):
    plx, mvr, hsk = SimulatedInstrument.plx310(), SimulatedInstrument.mvr420(), SimulatedInstrument.hsk640()
    silent, gone = SimulatedInstrument.dta530(), SimulatedInstrument.mvr420()
    plx.set_load(250.0)
    mvr.set_load(-40.0)
    hsk.set_load(612.5)
    silent.go_silent()
    bench = {"/dev/ttySIM0": plx, "/dev/ttySIM1": silent, "/dev/ttySIM2": mvr, "/dev/ttySIM3": gone,
             "/dev/ttySIM4": hsk}
    with simulated_ports(bench):
        # Listed, then unplugged before discovery opens it.
        listing = serial.tools.list_ports.comports()
        gone.unplug()
        with mock.patch("serial.tools.list_ports.comports", return_value=listing):
            devices = vexlo.VexloSerialScanner.discover_devices()
        log = records()
        found = {d.communication_interface.comport: d for d in devices}
        assert list(found) == ["/dev/ttySIM0", "/dev/ttySIM2", "/dev/ttySIM4"]
        assert [d.communication_interface.baud_rate for d in devices] == [2000000, 320000, 320000]
        assert [d.get_model_number() for d in devices] == ["PLX310", "MVR420", "HSK640"]
        assert found["/dev/ttySIM0"].get_reading() == pytest.approx(250.0, abs=1e-3)
        assert found["/dev/ttySIM2"].get_reading(0) == pytest.approx(-40.0, abs=1e-3)
        assert found["/dev/ttySIM4"].get_reading() == pytest.approx(612.5, abs=1e-3)
        for device in devices:
            assert device.communication_interface.serial_connection.is_open
    for baud in (2000000, 320000, 115200):
        assert ("DEBUG", f"/dev/ttySIM1 at {baud} baud: communication error - "
                         "No response received within 1s timeout") in log
        assert any(text.startswith(f"/dev/ttySIM3 at {baud} baud: communication error - "
                                   "Could not open serial port /dev/ttySIM3")
                   for _, text in log)
    assert ("INFO", "Found MVR420 on /dev/ttySIM2 at 320000 baud )") in log
    assert log[-1] == ("INFO", "Discovery complete: found 3 device(s)")


def test_model_filter_with_instruments_of_other_models():
    with simulated_ports({"/dev/ttySIM0": SimulatedInstrument.plx310(),
                          "/dev/ttySIM1": SimulatedInstrument.dta530()}):
        devices = vexlo.VexloSerialScanner.discover_devices(["hsk640"], ["/dev/ttySIM0", "/dev/ttySIM1"])
        # The DTA530 answers at the HSK640's rates; the PLX310 at 2000000 is never asked.
        assert [d.get_model_number() for d in devices] == ["DTA530"]


def test_instrument_whose_calibration_cannot_be_loaded(records):
    broken = SimulatedInstrument.mvr420(profiles=[Profile(loads=[], counts=[])])
    with simulated_ports({"/dev/ttySIM0": broken, "/dev/ttySIM1": SimulatedInstrument.dta530()}):
        devices = vexlo.VexloSerialScanner.discover_devices()
    assert [d.communication_interface.comport for d in devices] == ["/dev/ttySIM1"]
    log = records()
    for baud in (320000, 115200):
        found = log.index(("INFO", f"Found MVR420 on /dev/ttySIM0 at {baud} baud )"))
        assert log[found + 1] == ("WARNING", f"Unexpected error scanning /dev/ttySIM0 at {baud} baud: "
                                             "Invalid number of loading points: 0")
        assert log[found + 2] == ("INFO", "Disconnected from /dev/ttySIM0")


@pytest.fixture
def device():
    instrument = SimulatedInstrument.plx310_plus_prime()
    with simulated_ports({"/dev/ttySIM0": instrument}):
        [device] = vexlo.VexloSerialScanner.discover_devices(["PLX310"])
        device.instrument = instrument
        yield device


def test_settings_round_trip(device):
    device.instrument.select_profile(2, channel=1)
    device.set_sampling_rate(vexlo.PLX310SamplingRateEnum.SPS_38400, channel_number=1.0)
    assert device.get_sampling_rate(1) == 15
    device.set_sampling_rate_value(3)
    assert device.get_sampling_rate() == 3
    device.set_unit_of_measure(vexlo.UnitOfMeasureEnum.psi, 1)
    assert device.get_unit_of_measure(1) is vexlo.UnitOfMeasureEnum.psi
    assert device.get_unit_of_measure() is vexlo.UnitOfMeasureEnum.mVV  # a Plus Prime with its sensor
    assert device.get_board_temperature() == 25.000125340053003


def test_selecting_a_profile_follows_channel_0(device):
    instrument = device.instrument
    instrument.profiles[3] = Profile.linear(offset_count=1_000_000, fullscale_count=2_000_000, capacity=10.0)
    instrument.set_raw_count(1_500_000)
    before = device.get_adc_converter()
    device.set_device_channel_selected_profile(1, 3)
    assert instrument.profile_for_channel(1) is instrument.profiles[3]
    assert device.get_adc_converter() is not before  # reloaded, for channel 0's profile still
    assert device.get_reading() == before.convert_adc(1_500_000)
    device.set_device_channel_selected_profile(0, 3)
    assert device.get_reading() == pytest.approx(5.0)
    assert device.get_adc_for_profile(0).convert_adc(1_500_000) == before.convert_adc(1_500_000)


def test_closed_link_fails_every_operation_and_keeps_the_converter(device):
    converter = device.get_adc_converter()
    with device:
        pass
    assert device.communication_interface.serial_connection is None
    operations = [
        lambda: device.get_reading(), lambda: device.get_ndr(), lambda: device.get_model_number(),
        lambda: device.get_number_of_loading_points(), lambda: device.get_load_of_loading_point(0),
        lambda: device.set_stream_state(True), lambda: device.get_stream_data(),
        lambda: device.set_sampling_rate(vexlo.PLX310SamplingRateEnum.SPS_10),
        lambda: device.get_unit_of_measure(), lambda: device.get_board_temperature(),
        lambda: device.set_device_channel_selected_profile(0, 1), lambda: device.get_adc_for_profile(1),
    ]
    for operation in operations:
        with pytest.raises(vexlo.VexloCommunicationError):
            operation()
    assert device.get_adc_converter() is converter
    device.disconnect()  # a second close does nothing


@pytest.mark.parametrize("load", [250.0, 260.0, 270.0, -35.5])
@pytest.mark.parametrize("rate_code, convert, step", [
    (15, vexlo.StreamDataConverter.convert_stream_data_to_reading_38_kHz, 1 << 16),  # 16 bits in 3-byte packets
    (7, vexlo.StreamDataConverter.convert_stream_data_to_reading, 1 << 8),           # 24 bits in 4-byte packets
])
def test_streamed_values_agree_with_the_reading(load, rate_code, convert, step):
    instrument = SimulatedInstrument.plx310_plus_prime(with_teds=False)
    instrument.profiles[0].sampling_rate_code = rate_code
    instrument.set_load(load)
    # 1000 N span most of the upper half of the 32-bit count range, as on a real instrument.
    counts_per_unit = (3_072_000_000 - 0x80000000) / 1000.0
    clock = VirtualClock()
    with simulated_ports({"/dev/ttySIM0": instrument}, clock=clock):
        [device] = vexlo.VexloSerialScanner.discover_devices()
        with device:
            reading = device.get_reading(0)
            device.set_stream_state(True)
            clock.advance(0.05)
            data = device.get_stream_data()
            device.set_stream_state(False)
            readings = convert(data, device.get_adc_converter()).readings
    # The reading is as fine as the ADC (one step of 256 counts); the stream as its packets allow.
    assert reading == pytest.approx(load, abs=256 / counts_per_unit)
    assert len(readings) >= 4
    assert all(abs(r.calibrated_value - reading) <= step / counts_per_unit for r in readings)

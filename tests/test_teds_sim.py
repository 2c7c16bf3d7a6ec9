"""TEDS end to end: discovered devices talking to simulated instruments that
carry a TEDS sensor, on in-process ports."""
import struct
from unittest import mock

import pytest

import vexlo_device_communication as vexlo
from vexlo_tools.sim import RawTedsSensor, SimulatedInstrument, TedsSensor, simulated_ports
from teds_doubles import make_image


PORT = "/dev/ttySIM0"


@pytest.fixture(autouse=True)
def no_sleep():
    with mock.patch("time.sleep") as sleep:
        yield sleep


def float32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def predicted_converter(instrument, sensor):
    """Offset and full-scale counts and loads the TEDS calibration should
    have, from profile 0's stored points and the sensor's data sheet."""
    profile = instrument.profiles[0]
    n = profile.points_per_direction
    o1, f1 = profile.counts[0], profile.counts[n - 1]
    slope = (f1 - o1) / (profile.loads[n - 1] - profile.loads[0])
    max_el = float32(sensor.max_electrical / 1000.0) * 1000.0
    rev_el = float32(sensor.reverse_max_electrical / 1000.0) * 1000.0
    return o1, int(slope * max_el + o1), int(o1 - slope * rev_el), float32(sensor.max_capacity)


def expected_reading(count, offset, fullscale, capacity, sign=1.0):
    return sign * ((count - offset) * capacity / (fullscale - offset) * 1.0 + 0.0)


def discover(instrument):
    [device] = vexlo.VexloSerialScanner.discover_devices(device_models=["PLX310"])
    return device


@pytest.mark.parametrize("firmware, command", [((4, 3, 2), "set_auto_teds_v1"),
                                               ((4, 2, 9), "set_auto_teds")])
def test_autoteds_switch_on_follows_the_data_sheet(firmware, command):
    sensor = TedsSensor(serial_number=424242, unit_code=5, max_capacity=250.0, max_electrical=2.5,
                        reverse_scaling=True, reverse_max_electrical=2.0)
    instrument = SimulatedInstrument.plx310_plus_prime(teds_sensor=sensor, firmware_version=firmware)
    offset, fullscale, reverse, capacity = predicted_converter(instrument, sensor)
    with simulated_ports({PORT: instrument}):
        device = discover(instrument)
        stored = device.get_adc_converter()
        instrument.request_log.clear()
        device.set_auto_teds(True)
        names = [request.name for request in instrument.request_log]
        assert [n for n in names if "auto_teds" in n] == [command]
        assert names.count("teds_page") == 32
        assert instrument.auto_teds is True
        assert device.get_auto_teds() is True
        assert device.get_teds_serial_number() == "424242"
        assert device.get_teds_engineering_unit() == "lb"
        assert device.get_teds_template() == 33
        assert device.get_teds_max_capacity() == 250.0
        assert device.get_adc_converter() is not stored
        for count in (offset + (fullscale - offset) // 3, fullscale):
            instrument.set_raw_count(count)
            assert device.get_reading() == expected_reading(count, offset, fullscale, capacity)
        below = offset - (offset - reverse) // 4
        instrument.set_raw_count(below)
        assert device.get_reading() == expected_reading(below, offset, reverse, capacity, -1.0)


def test_switch_off_returns_to_stored_calibration():
    instrument = SimulatedInstrument.plx310_plus_prime(auto_teds=True)
    with simulated_ports({PORT: instrument}):
        device = discover(instrument)
        device.set_auto_teds(True)
        device.set_auto_teds(False)
        assert instrument.auto_teds is False
        instrument.set_load(0.24)                 # mV/V: the stored calibration is the electrical one
        assert device.get_reading() == pytest.approx(0.24, abs=1e-6)
        with pytest.raises(vexlo.VexloTEDSNotConnectedError):
            device.get_teds_serial_number()


def test_initialize_teds_loads_when_autoteds_is_on(records):
    instrument = SimulatedInstrument.plx310_plus_prime(auto_teds=True,
                                                       teds_sensor=TedsSensor(serial_number=99))
    with simulated_ports({PORT: instrument}):
        device = discover(instrument)
        device.initialize_teds()
        assert device.get_teds_serial_number() == "99"
    assert ("INFO", "AutoTEDS enabled - automatically loading TEDS calibration") in records()


def test_hand_made_image_through_the_instrument():
    image = make_image(serial_number=12345, engineering_unit=4, max_capacity=500.0,
                       max_electrical=0.0015, reverse_flag=0x54)
    sensor = RawTedsSensor(image_bytes=image, laser_bytes=bytes([7, 1, 2, 3, 4, 5, 6, 7]))
    instrument = SimulatedInstrument.plx310_plus_prime(teds_sensor=sensor)
    with simulated_ports({PORT: instrument}):
        device = discover(instrument)
        ci = device.communication_interface
        assert ci.generate_all_teds_data() == image
        device.reload_teds_data()
        assert (device.get_teds_serial_number(), device.get_teds_engineering_unit(),
                device.get_teds_template()) == ("12345", "N", 7)
        assert device.get_adc_converter().number_of_directions == 0


def test_no_sensor():
    instrument = SimulatedInstrument.plx310_plus_prime(with_teds=False)
    with simulated_ports({PORT: instrument}):
        device = discover(instrument)
        assert device.teds_is_connected() is False
        assert device.communication_interface.get_teds_laser() is None
        with pytest.raises(vexlo.VexloTEDSNotConnectedError):
            device.reload_teds_data()


@pytest.mark.parametrize("instrument, message", [
    (SimulatedInstrument.plx310(), "TEDS is not supported on PLX310"),
])
def test_other_editions_refuse(instrument, message):
    with simulated_ports({PORT: instrument}):
        device = discover(instrument)
        assert device.supports_teds() is False
        instrument.request_log.clear()
        with pytest.raises(vexlo.VexloTEDSNotSupportedError, match="^" + message + "$"):
            device.set_auto_teds(True)
        with pytest.raises(vexlo.VexloTEDSNotSupportedError, match="Plus Prime"):
            device.communication_interface.get_teds_data(0)
        assert not any("teds" in request.name for request in instrument.request_log)


def test_port_lost_mid_load_keeps_previous_converter(records):
    instrument = SimulatedInstrument.plx310_plus_prime()
    respond = instrument.respond
    pages = []

    def respond_then_vanish(frame, now=None):
        if bytes(frame[2:4]) == b"\x01\x1e":
            pages.append(frame)
            if len(pages) == 10:
                instrument.unplug()
        return respond(frame, now)

    instrument.respond = respond_then_vanish
    with simulated_ports({PORT: instrument}):
        device = discover(instrument)
        previous = device.get_adc_converter()
        device.reload_teds_data()
        assert device.get_adc_converter() is previous
        assert device._teds_data is None
    assert any(level == "ERROR" and text.startswith("Error loading teds Error reading TEDS data: ")
               for level, text in records())


def test_silent_page_read_quotes_the_short_timeout(no_sleep):
    instrument = SimulatedInstrument.plx310_plus_prime()
    with simulated_ports({PORT: instrument}):
        ci = discover(instrument).communication_interface
        instrument.go_silent()
        with pytest.raises(vexlo.VexloTimeoutError, match="^No response received within 0.05s timeout$"):
            ci.get_teds_data(2)
        assert ci.get_teds_laser() is None
        assert ci.timeout == 1

"""Fault injection through simulated instruments on in-process ports: silence,
short answers, corrupted checksums, garbage in the stream and a port that
vanishes, at chosen moments of each kind of operation. The caller gets one of
the module's errors (or the documented quiet handling), the device keeps a
consistent converter and TEDS state, and the link works again once the fault
is gone.
"""

import math
from unittest import mock

import pytest
import serial

import vexlo_device_communication as vexlo
from reliability import FAULTS, count, expected_stream, heal, inject
from vexlo_tools.sim import COMMANDS_BY_NAME, SimulatedInstrument, TedsSensor, VirtualClock, simulated_ports

PORT = "/dev/ttySIM0"


# time.sleep replaced for every test here (the shared fixture in conftest.py).
pytestmark = pytest.mark.usefixtures("sleeps")


@pytest.fixture
def mvr420():
    instrument = SimulatedInstrument.mvr420()
    instrument.set_raw_count(9_000_000)
    with simulated_ports({PORT: instrument}):
        [device] = vexlo.VexloSerialScanner.discover_devices(["MVR420"])
        yield instrument, device


def expected_failure(kind, fault, command):
    """(error class, message or message prefix, cause class), or None when the
    operation succeeds regardless."""
    if fault == "silent":
        return vexlo.VexloTimeoutError, "No response received within 1s timeout", None
    if fault == "short":
        length = COMMANDS_BY_NAME[command].response_length
        return vexlo.VexloCommunicationError, "Incomplete response: expected %d bytes, got 3" % length, None
    if fault == "unplug":
        return vexlo.VexloCommunicationError, "Serial error during command transmission: ", serial.SerialException
    if kind == "setting":
        return None  # a setting's acknowledgement is read, not validated
    if kind == "calibration":
        return (vexlo.VexloCalibrationError, "Error loading calibration data: Invalid checksum in response",
                vexlo.VexloProtocolError)
    return vexlo.VexloProtocolError, "Invalid checksum in response", None


def recover(instrument, device, fault):
    heal(instrument)
    if fault == "unplug":
        # A vanished port is given up and opened again.
        device.disconnect()
        device.communication_interface.connect()


# (what, operation, command the fault hits, kind)
OPERATIONS = [
    ("reading", lambda d: d.get_reading(0), "ndr", "query"),
    ("sampling rate", lambda d: d.get_sampling_rate(1), "sampling_rate", "query"),
    ("profile lookup of a setting", lambda d: d.set_unit_of_measure(vexlo.UnitOfMeasureEnum.N, 1),
     "selected_profile", "query"),
    ("unit setting", lambda d: d.set_unit_of_measure(vexlo.UnitOfMeasureEnum.N, 1), "set_unit_of_measure",
     "setting"),
    ("rate check", lambda d: d.set_sampling_rate(vexlo.MVR420SamplingRateEnum.SPS_50), "item_number", "query"),
    ("board temperature", lambda d: d.get_board_temperature(), "board_temperature", "query"),
    ("calibration after a profile change", lambda d: d.set_device_channel_selected_profile(0, 1),
     "loading_point_value", "calibration"),
    ("calibration of another profile", lambda d: d.get_adc_for_profile(2), "number_of_directions",
     "calibration"),
]


@pytest.mark.parametrize("fault", list(FAULTS))
@pytest.mark.parametrize("what, operation, command, kind", OPERATIONS, ids=[o[0] for o in OPERATIONS])
def test_exchange_faults(mvr420, sleeps, fault, what, operation, command, kind):
    instrument, device = mvr420
    converter = device.adc_converter
    ci = device.communication_interface
    seen = inject(instrument, command, fault)
    expected = expected_failure(kind, fault, command)
    if expected is None:
        operation(device)
    else:
        error, message, cause = expected
        with pytest.raises(vexlo.VexloDeviceError) as raised:
            operation(device)
        assert type(raised.value) is error
        assert str(raised.value).startswith(message) if cause is serial.SerialException else \
            str(raised.value) == message
        assert type(raised.value.__cause__) is (cause or type(None))
    # Only a timeout is retried, twice, 0.1 s apart; nothing else waits.
    assert len(seen) == (3 if fault == "silent" else 1)
    assert sleeps.call_args_list == ([mock.call(0.1)] * 2 if fault == "silent" else [])
    assert device.adc_converter is converter
    assert ci.timeout == 1 and ci.serial_connection is not None
    recover(instrument, device, fault)
    operation(device)
    assert device.get_reading(0) == device.adc_converter.convert_adc(9_000_000)


@pytest.mark.parametrize("answered", [0, 1, 4, 8])
def test_every_truncation_of_an_answer(mvr420, sleeps, answered):
    # Nothing at all is a timeout (retried, then answered); any part of the
    # answer is an incomplete response (not retried).
    instrument, device = mvr420
    instrument.answer_short(answered, answers=1)
    if answered == 0:
        assert device.get_reading(0) == device.adc_converter.convert_adc(9_000_000)
        assert sleeps.call_args_list == [mock.call(0.1)]
    else:
        with pytest.raises(vexlo.VexloCommunicationError,
                           match="^Incomplete response: expected 9 bytes, got %d$" % answered):
            device.get_reading(0)
        assert device.get_reading(0) == device.adc_converter.convert_adc(9_000_000)


# (request hit, which one): identity caching in connect, the probe's model
# query, the device's profile query and its calibration read.
CREATION_MOMENTS = [("model_number", 1), ("item_number", 1), ("model_number", 2), ("selected_profile", 1),
                    ("loading_point_value", 3)]


@pytest.mark.parametrize("fault", list(FAULTS))
@pytest.mark.parametrize("command, nth", CREATION_MOMENTS)
def test_faults_while_discovery_creates_a_device(records, fault, command, nth):
    instrument = SimulatedInstrument.mvr420()
    opened = []
    with simulated_ports({PORT: instrument}):
        installed = serial.Serial

        def opening(*args, **kwargs):
            opened.append(installed(*args, **kwargs))
            return opened[-1]

        with mock.patch("serial.Serial", opening):
            inject(instrument, command, fault, nth)
            assert vexlo.VexloSerialScanner.discover_devices(["MVR420"]) == []
            # Every probe's port was closed again, at both baud rates.
            assert opened and not any(port.is_open for port in opened)
            assert records()[-1] == ("INFO", "Discovery complete: found 0 device(s)")
            heal(instrument)
            [device] = vexlo.VexloSerialScanner.discover_devices(["MVR420"])
            assert device.communication_interface.serial_connection.is_open


# --- Streaming ------------------------------------------------------------------------------

STEPS = [0.0037, 0.011, 0.0003, 0.02, 0.0071, 0.013] * 12  # uneven reads: packets split anywhere


def stream(garbage):
    """Streams a changing load at 1300 samples per second on a virtual clock,
    reading the port in uneven chunks and converting each chunk with the
    previous remainder in front. Returns the bytes received, the readings,
    the last remainder, the warnings and the converter."""
    instrument = SimulatedInstrument.mvr420()
    instrument.profiles[0].sampling_rate_code = 7
    instrument.set_load_signal(lambda t: 900.0 * math.sin(9.0 * t))
    instrument.add_stream_garbage(garbage)
    clock = VirtualClock()
    warnings = []
    logger = mock.Mock()
    logger.warning.side_effect = warnings.append
    with simulated_ports({PORT: instrument}, clock=clock):
        [device] = vexlo.VexloSerialScanner.discover_devices(["MVR420"])
        converter = device.get_adc_converter()
        device.set_stream_state(True)
        received, readings, remainder = bytearray(), [], bytearray()
        with mock.patch.object(vexlo, "logger", logger):
            for step in STEPS:
                clock.advance(step)
                chunk = device.get_stream_data()
                received += chunk
                result = vexlo.StreamDataConverter.convert_stream_data_to_reading(remainder + chunk, converter)
                readings += result.readings
                remainder = result.remainder
        device.set_stream_state(False)
    return received, readings, remainder, warnings, converter


def skipped(warnings):
    """Positions skipped, by the summary warnings of the conversions."""
    return sum(int(w.split()[2]) for w in warnings if w.startswith("Stream conversion: "))


def test_garbage_in_the_stream_loses_no_packet():
    clean, clean_readings, _, clean_warnings, _ = stream(0.0)
    dirty, readings, remainder, warnings, converter = stream(0.25)
    assert len(dirty) > len(clean) > 2000 and clean_warnings == []
    count("faults injected")
    count("garbage bytes streamed", len(dirty) - len(clean))
    # Chunk by chunk, nothing is lost or found twice at the chunk boundaries:
    # the same as one scan over everything received.
    (expected, rest), expected_warnings = expected_stream(dirty, 4, converter.convert_adc)
    assert [(r.calibrated_value, r.adc_value) for r in readings] == expected
    assert remainder == rest
    assert skipped(warnings) == skipped(expected_warnings) > 0
    # Every packet sent is read, in order; a garbage byte that happens to form
    # a valid packet with the next three bytes takes that packet's place.
    sent = [r.adc_value for r in clean_readings]
    got = [r.adc_value for r in readings]
    assert len(got) == len(sent)
    assert sum(a != b for a, b in zip(got, sent)) <= len(sent) // 100


def test_port_vanishing_during_streaming():
    instrument = SimulatedInstrument.mvr420()
    clock = VirtualClock()
    with simulated_ports({PORT: instrument}, clock=clock):
        [device] = vexlo.VexloSerialScanner.discover_devices(["MVR420"])
        converter = device.get_adc_converter()
        device.set_stream_state(True)
        clock.advance(0.105)
        data = device.get_stream_data()
        clock.advance(0.05)
        instrument.unplug()
        count("faults injected")
        with pytest.raises(vexlo.VexloCommunicationError,
                           match="^Serial error during command transmission: ") as raised:
            device.get_stream_data()
        assert type(raised.value.__cause__) is serial.SerialException
        with pytest.raises(vexlo.VexloCommunicationError):
            device.set_stream_state(False)
        # What arrived before still converts with the converter the device kept.
        assert device.get_adc_converter() is converter
        result = vexlo.StreamDataConverter.convert_stream_data_to_reading(data, converter)
        assert len(result.readings) == 10 and result.remainder == b""
        instrument.plug_in()
        device.disconnect()
        device.communication_interface.connect()
        device.set_stream_state(True)
        clock.advance(0.1)
        assert len(device.get_stream_data()) == 40
        device.set_stream_state(False)


# --- TEDS -----------------------------------------------------------------------------------


@pytest.fixture
def plus_prime():
    instrument = SimulatedInstrument.plx310_plus_prime(
        teds_sensor=TedsSensor(serial_number=77, max_capacity=500.0, max_electrical=2.0))
    with simulated_ports({PORT: instrument}):
        [device] = vexlo.VexloSerialScanner.discover_devices(["PLX310"])
        device.reload_teds_data()
        yield instrument, device


def converter_state(converter):
    return converter.__reduce__()[2]


# (where the fault hits, which request of it)
TEDS_MOMENTS = [("teds_laser", 1), ("teds_page", 1), ("teds_page", 20), ("teds_page", 32),
                ("load_of_loading_point", 1)]


@pytest.mark.parametrize("fault", list(FAULTS))
@pytest.mark.parametrize("command, nth", TEDS_MOMENTS)
def test_teds_load_faults_keep_the_previous_teds_state(plus_prime, records, fault, command, nth):
    instrument, device = plus_prime
    ci = device.communication_interface
    data, converter = device._teds_data, device.adc_converter
    assert data.serial_number == "77" and type(converter) is vexlo.ADCConverter
    seen = inject(instrument, command, fault, nth)
    assert device.reload_teds_data() is None  # failures while loading are logged only
    assert len(seen) >= nth
    assert [level for level, text in records() if text.startswith("Error loading teds ")] == ["ERROR"]
    assert device.adc_converter is converter
    if command == "load_of_loading_point":
        # The new data sheet was parsed before its calibration failed.
        assert device._teds_data is not data and device._teds_data.__reduce__() == data.__reduce__()
    else:
        assert device._teds_data is data
    assert ci.timeout == 1
    recover(instrument, device, fault)
    device.reload_teds_data()
    assert device._teds_data is not data and device._teds_data.__reduce__() == data.__reduce__()
    assert device.adc_converter is not converter
    assert converter_state(device.adc_converter) == converter_state(converter)


@pytest.mark.parametrize("fault", list(FAULTS))
@pytest.mark.parametrize("command", ["auto_teds_v1", "teds_is_connected", "teds_page"])
def test_teds_initialization_reports_faults_in_the_log_only(plus_prime, records, fault, command):
    instrument, device = plus_prime
    instrument.auto_teds = True
    data, converter = device._teds_data, device.adc_converter
    inject(instrument, command, fault)
    assert device.initialize_teds() is None
    assert (device._teds_data, device.adc_converter) == (data, converter)
    assert any(level in ("WARNING", "ERROR") and ("Failed to auto-load TEDS data" in text or
                                                  text.startswith("Error loading teds "))
               for level, text in records())
    recover(instrument, device, fault)
    device.initialize_teds()
    assert device._teds_data is not data and device.adc_converter is not converter
    assert converter_state(device.adc_converter) == converter_state(converter)


@pytest.mark.parametrize("fault", list(FAULTS))
def test_teds_presence_check_fault_is_raised(plus_prime, fault):
    # The presence check comes before the guarded load: its failure reaches the caller.
    instrument, device = plus_prime
    data, converter = device._teds_data, device.adc_converter
    inject(instrument, "teds_is_connected", fault)
    error, message, _ = expected_failure("query", fault, "teds_is_connected")
    with pytest.raises(error) as raised:
        device.reload_teds_data()
    assert str(raised.value).startswith(message)
    assert (device._teds_data, device.adc_converter) == (data, converter)


def test_silent_page_read_gives_up_after_three_short_attempts(plus_prime, sleeps, records):
    instrument, device = plus_prime
    converter = device.adc_converter
    seen = inject(instrument, "teds_page", "silent", nth=5)
    device.reload_teds_data()
    assert len(seen) == 5 + 2 and sleeps.call_args_list == [mock.call(0.1)] * 2
    assert ("ERROR", "Error loading teds Error reading TEDS data: "
                     "No response received within 0.05s timeout") in records()
    assert device.adc_converter is converter and device.communication_interface.timeout == 1


def test_switching_autoteds_on_while_the_port_vanishes(plus_prime):
    instrument, device = plus_prime
    converter = device.adc_converter
    instrument.auto_teds = False
    inject(instrument, "teds_page", "unplug", nth=3)
    device.set_auto_teds(True)  # the switch is set; the load fails quietly
    assert instrument.auto_teds is True
    assert device.adc_converter is converter


def test_interrupt_during_a_teds_image_read_is_not_swallowed(plus_prime):
    # Ctrl-C while the 32 pages are read ends the load; it is not taken for
    # corrupted data and logged away.
    instrument, device = plus_prime
    data, converter = device._teds_data, device.adc_converter
    respond = instrument.respond
    pages = []

    def interrupted(frame, now=None):
        if bytes(frame[2:4]) == b"\x01\x1e":
            pages.append(frame)
            if len(pages) == 7:
                raise KeyboardInterrupt
        return respond(frame, now)

    instrument.respond = interrupted
    with pytest.raises(KeyboardInterrupt):
        device.reload_teds_data()
    pages.clear()
    with pytest.raises(KeyboardInterrupt):
        device.communication_interface.generate_all_teds_data()
    assert (device._teds_data, device.adc_converter) == (data, converter)
    assert device.communication_interface.timeout == 1


def test_interrupt_while_parsing_an_image_is_not_swallowed():
    class Interrupting:
        def __index__(self):
            raise KeyboardInterrupt

    image = [0] * 512
    image[100] = Interrupting()
    with pytest.raises(KeyboardInterrupt):
        vexlo.TEDSData.parse_from_bytes(image, 33)

import logging
from unittest import mock

import pytest

import vexlo_device_communication as vexlo
from reliability import assert_flat
from teds_doubles import TedsInstrument, make_image, make_interface

OPERATIONS = [
    ("teds_is_connected", ()),
    ("get_teds_laser", ()),
    ("get_teds_data", (0,)),
    ("generate_all_teds_data", ()),
    ("get_auto_teds", ()),
    ("get_auto_teds_v1", ()),
    ("set_auto_teds", (True,)),
    ("set_auto_teds_v1", (False,)),
]


@pytest.fixture
def instrument():
    return TedsInstrument()


@pytest.fixture
def ci(instrument):
    return make_interface(instrument=instrument)


def timeout_error():
    return vexlo.VexloTimeoutError("No response received within 0.05s timeout")


# ---------------------------------------------------------------- the gate

@pytest.mark.parametrize("name, args", OPERATIONS)
@pytest.mark.parametrize("model, item, error, message", [
    ("MVR420", "QMT31872", vexlo.VexloTEDSNotSupportedError, "TEDS is not supported on MVR420. "),
    ("PLX310", "QMT30000", vexlo.VexloTEDSNotSupportedError, "TEDS is only supported on Plus Prime "),
    (None, "QMT31872", vexlo.VexloCommunicationError,
     "Device info not available. Ensure device is connected."),
    ("PLX310", None, vexlo.VexloCommunicationError,
     "Device info not available. Ensure device is connected."),
])
def test_gate_refuses_before_sending(name, args, model, item, error, message):
    instrument = TedsInstrument()
    ci = make_interface(model, item, instrument)
    with pytest.raises(error) as info:
        getattr(ci, name)(*args)
    assert str(info.value) == message
    assert instrument.calls == []


@pytest.mark.parametrize("model, item, level, text", [
    ("HSK640", "X", logging.DEBUG, "TEDS not supported: model is HSK640, not PLX310"),
    ("PLX310", "QMT1", logging.DEBUG, "TEDS not supported: item number is QMT1, not Plus Prime"),
    (None, None, logging.ERROR, "Cannot validate TEDS support: device info not cached"),
])
def test_gate_logs_why(caplog, model, item, level, text):
    caplog.set_level(logging.DEBUG, logger="vexlo_device_communication")
    with pytest.raises(vexlo.VexloDeviceError):
        make_interface(model, item)._validate_teds_support()
    assert (level, text) in [(r.levelno, r.getMessage()) for r in caplog.records]


def test_gate_passes_the_plus_prime(ci):
    assert ci._validate_teds_support() is None


# ---------------------------------------------------- presence and AutoTEDS

@pytest.mark.parametrize("connected, expected", [(True, True), (False, False)])
def test_teds_is_connected(ci, instrument, connected, expected):
    instrument.connected = connected
    assert ci.teds_is_connected() is expected
    assert instrument.calls == [("TEDS_Is_Connected_Command", b"", 1)]


@pytest.mark.parametrize("method, command", [("get_auto_teds", "Get_Auto_TEDS_Command"),
                                             ("get_auto_teds_v1", "Get_Auto_TEDS_V1_Command")])
@pytest.mark.parametrize("state, expected", [(1, True), (255, True), (0, False), (2, False)])
def test_get_auto_teds(ci, instrument, method, command, state, expected):
    instrument.auto = {"Auto_TEDS": state, "Auto_TEDS_V1": state}
    assert getattr(ci, method)() is expected
    assert instrument.names() == [command]


@pytest.mark.parametrize("method, command", [("set_auto_teds", "Set_Auto_TEDS_Command"),
                                             ("set_auto_teds_v1", "Set_Auto_TEDS_V1_Command")])
@pytest.mark.parametrize("value, byte", [(True, 1), ("yes", 1), (False, 0), (0, 0), (None, 0)])
def test_set_auto_teds_sends_truth_with_short_timeout(ci, instrument, method, command, value, byte):
    assert getattr(ci, method)(value) is None
    assert instrument.calls == [(command, bytes([byte]), 0.1)]
    assert ci.timeout == 1


# ------------------------------------------------------------ laser and pages

def test_laser_answer_returned_as_is(ci, instrument):
    laser = ci.get_teds_laser()
    assert laser[:8] == instrument.laser and len(laser) == 9
    assert instrument.calls == [("Get_TEDS_Laser_Command", b"", 0.05)]
    assert ci.timeout == 1


@pytest.mark.parametrize("answer, expected", [
    (b"\x00" * 9, None),
    (b"", None),
    (bytearray(9), None),
    (b"\x00" * 8 + b"\x01", b"\x00" * 8 + b"\x01"),
])
def test_laser_all_zero_means_no_sensor(ci, answer, expected):
    ci.send_convert_return_sequence = lambda command, arguments: answer
    assert ci.get_teds_laser() == expected


def test_laser_timeout_means_no_sensor(ci, instrument, caplog):
    caplog.set_level(logging.DEBUG, logger="vexlo_device_communication")

    def silent(name, arguments):
        raise timeout_error()

    instrument.fault = silent
    assert ci.get_teds_laser() is None
    assert ci.timeout == 1
    assert "TEDS laser timeout - no TEDS sensor detected" in caplog.messages


def test_laser_other_errors_propagate(ci, instrument):
    error = vexlo.VexloProtocolError("Invalid checksum in response")

    def corrupt(name, arguments):
        raise error

    instrument.fault = corrupt
    with pytest.raises(vexlo.VexloProtocolError) as info:
        ci.get_teds_laser()
    assert info.value is error and ci.timeout == 1


@pytest.mark.parametrize("page", [16, -1, 255, 100.5])
def test_page_range_checked_before_sending(ci, instrument, page):
    with pytest.raises(vexlo.VexloInvalidParameterError) as info:
        ci.get_teds_data(page)
    assert str(info.value) == "TEDS page number must be 0-15, got " + str(page)
    assert instrument.calls == []


def test_page_number_that_is_no_integer_never_reaches_the_wire(ci, instrument):
    with pytest.raises(TypeError):
        ci.get_teds_data(2.5)
    assert instrument.calls == [] and ci.timeout == 1


def test_page_read(ci, instrument):
    answer = ci.get_teds_data(15)
    assert answer[:32] == instrument.image[480:512] and len(answer) == 33
    assert instrument.calls == [("Get_TEDS_Data_Command", b"\x0f", 0.05)]
    assert ci.timeout == 1


def test_timeout_restored_after_failed_page_read(ci, instrument):
    instrument.fault = lambda name, arguments: (_ for _ in ()).throw(timeout_error())
    with pytest.raises(vexlo.VexloTimeoutError):
        ci.get_teds_data(3)
    assert ci.timeout == 1


# ----------------------------------------------------------- the whole image

def test_whole_image_in_page_order(ci, instrument):
    instrument.image = bytearray(make_image(serial_number=4242, checksum_fill=0x11))
    image = ci.generate_all_teds_data()
    assert type(image) is bytes and image == bytes(instrument.image)
    pages = [arguments[0] for name, arguments, timeout in instrument.calls]
    assert pages == [page for page in range(16) for _ in (0, 1)]


def test_halves_come_from_the_two_reads(ci, instrument):
    reads = []

    def page_answer(command, arguments):
        reads.append(arguments[0])
        fill = len(reads)  # a different answer on every read
        return bytes([fill]) * 32 + b"\xee"

    ci.send_convert_return_sequence = page_answer
    image = ci.generate_all_teds_data()
    for page in range(16):
        first, second = 2 * page + 1, 2 * page + 2
        assert image[32 * page:32 * page + 16] == bytes([first]) * 16
        assert image[32 * page + 16:32 * page + 32] == bytes([second]) * 16


def test_failure_on_read_20_gives_no_image(ci, instrument, caplog):
    count = []

    def fail_twentieth(name, arguments):
        count.append(name)
        if len(count) == 20:
            raise timeout_error()

    instrument.fault = fail_twentieth
    with pytest.raises(vexlo.VexloTEDSDataCorruptedError) as info:
        ci.generate_all_teds_data()
    assert str(info.value) == "Error reading TEDS data: No response received within 0.05s timeout"
    assert type(info.value.__cause__) is vexlo.VexloTimeoutError
    assert len(count) == 20 and ci.timeout == 1
    assert "Failed to read TEDS data: No response received within 0.05s timeout" in caplog.messages


@pytest.mark.parametrize("answer, cause", [(bytes(20), IndexError), ([0] * 31 + [300], ValueError),
                                           (None, TypeError)])
def test_bad_page_answers_are_corrupted_data(ci, answer, cause):
    ci.get_teds_data = lambda page: answer
    with pytest.raises(vexlo.VexloTEDSDataCorruptedError) as info:
        ci.generate_all_teds_data()
    assert str(info.value).startswith("Error reading TEDS data: ")
    assert type(info.value.__cause__) is cause


def test_whole_image_gate_is_not_wrapped():
    with pytest.raises(vexlo.VexloTEDSNotSupportedError):
        make_interface("MVR420").generate_all_teds_data()


# ------------------------------------------------------------------ retries

@pytest.fixture
def retried():
    instrument = TedsInstrument()
    ci = make_interface(instrument=instrument, wrap=vexlo.retry_on_timeout())

    def silent(name, arguments):
        raise vexlo.VexloTimeoutError("No response received within %ss timeout" % ci.timeout)

    instrument.fault = silent
    with mock.patch("time.sleep") as sleep:
        yield ci, instrument, sleep


def test_silent_laser_is_no_sensor_after_three_attempts(retried):
    ci, instrument, sleep = retried
    assert ci.get_teds_laser() is None
    assert len(instrument.calls) == 3 and sleep.call_count == 2
    assert ci.timeout == 1


def test_silent_page_read_times_out_quoting_the_short_timeout(retried):
    ci, instrument, sleep = retried
    with pytest.raises(vexlo.VexloTimeoutError) as info:
        ci.get_teds_data(0)
    assert str(info.value) == "No response received within 0.05s timeout"
    assert len(instrument.calls) == 3 and ci.timeout == 1


def test_no_growth_over_many_operations(ci, instrument):
    def run(_):
        instrument.calls.clear()
        ci.teds_is_connected()
        ci.get_teds_laser()
        try:
            ci.get_teds_data(16)
        except vexlo.VexloInvalidParameterError:
            pass

    assert_flat(run, iterations=3000)

"""Instrument queries and settings: the frames on the wire, the values
returned, argument encoding, the sampling-rate rule and the firmware text."""

import hashlib
import logging
import struct
from unittest import mock

import pytest

import vexlo_device_communication as vexlo
from link_fake_port import request, response

LOGGER = "vexlo_device_communication"
ITEM_FRAME = bytes.fromhex("0005010215")
MODEL_FRAME = bytes.fromhex("0005010111")


def ascii10(text):
    return response(text.encode().ljust(10, b"\0"))


# time.sleep replaced for every test here (the shared fixture in conftest.py).
pytestmark = pytest.mark.usefixtures("sleeps")


# (method, positional, keyword, request before its checksum, reply payload or
# None for a setting, value returned)
OPERATIONS = [
    ("get_model_number", (), {}, "00050101", b"PLX\x00310\x00\x00\x00", "PLX310"),
    ("get_item_number", (), {}, "00050102", b"QMT31872\x00\x00", "QMT31872"),
    ("get_instrument_serial_number", (), {}, "00050100", b"\x00\x01\x86\xa0", 100000),
    ("get_sensor_serial_number", (3,), {}, "0006030003", b"\xff\xff\xff\xff", 4294967295),
    ("get_board_temperature", (), {}, "00050007", b"\x00\x00\x0b\xb8", 3000),
    ("get_ndr", (0,), {}, "0006000500", b"\x00\x01\x86\xa0", 100000),
    ("get_ndr", (), {"channel_number": 255}, "00060005ff", b"\x00\x00\x00\x00", 0),
    ("get_number_of_loading_points", (1,), {}, "0006031701", b"\x05", 5),
    ("get_load_of_loading_point", (2, 5), {}, "000703180205", b"\x00\x00\x80\x3f", 1.0),
    ("get_load_of_loading_point", (), {"point_index": 5, "profile_number": 2}, "000703180205",
     b"\x00\x00\x20\xc1", -10.0),
    ("get_loading_point_value", (2, 5), {}, "000703190205", b"\x12\x34\x56\x00", 305419776),
    ("set_load_of_loading_point", (2, 5, 1.0), {}, "000b041802050000803f", None, None),
    ("set_load_of_loading_point", (2, 5, 3), {}, "000b0418020500004040", None, None),
    ("set_adc_of_loading_point", (2, 5, 305419776), {}, "000b0419020512345600", None, None),
    ("set_adc_of_loading_point", (0, 41, 2**32 - 1), {}, "000b04190029ffffffff", None, None),
    ("get_number_of_directions", (7,), {}, "0006030b07", b"\x01", 1),
    ("set_number_of_directions", (7, 0), {}, "0007040b0700", None, None),
    ("get_sampling_rate", (1,), {}, "0006031e01", b"\x0f", 15),
    ("get_unit_of_measure", (1,), {}, "0006030c01", b"\x1a", 26),
    ("set_unit_of_measure", (1, 26), {}, "0007040c011a", None, None),
    ("get_device_channel_selected_profile", (0,), {}, "0006010a00", b"\x03", 3),
    ("set_device_channel_selected_profile", (0, 3), {}, "0007020a0003", None, None),
    ("set_streaming_state", (True,), {}, "0006000c01", None, None),
    ("set_streaming_state", (False,), {}, "0006000c00", None, None),
    ("get_firmware_version_with_patch", (), {}, "00050104", b"\x01\x0a\x03", "01.0a.03"),
    ("get_firmware_version_with_patch", (), {}, "00050104", b"\x00\x09\x1c", "00.09.1c"),
]


@pytest.mark.parametrize("name, args, kwargs, body, payload, expected", OPERATIONS)
def test_operation_frame_and_result(name, args, kwargs, body, payload, expected, link, port):
    port.answer(response(payload if payload is not None else b""))
    result = getattr(link, name)(*args, **kwargs)
    assert port.frames == [request(body)]
    assert result == expected and type(result) is type(expected)


def test_known_frames_match_the_protocol_examples(link, port):
    port.answer(response(b"\0\0\0\0"), response(b"\1\2\3"))
    link.get_ndr(0)
    link.get_firmware_version_with_patch()
    assert port.frames == [bytes.fromhex("000600050020"), bytes.fromhex("000501041d")]


@pytest.mark.parametrize("name, args, kwargs, body, payload, expected", OPERATIONS)
def test_operations_take_their_descriptor_from_commands_and_pass_bytearrays(
        name, args, kwargs, body, payload, expected):
    ci = vexlo._SerialCommunicationInterface("/dev/x")
    ci.commands = mock.Mock()
    sequence = "send_sequence" if payload is None else "send_convert_return_sequence"
    with mock.patch.object(ci, sequence, return_value="010a03") as sent:
        getattr(ci, name)(*args, **kwargs)
    (command, arguments), keywords = sent.call_args
    assert keywords == {}
    assert command is getattr(ci.commands, command._mock_name)
    real = getattr(vexlo._CommandOperations(), command._mock_name)
    assert bytes([real.command_high_byte, real.command_low_byte]) == bytes.fromhex(body)[2:4]
    assert type(arguments) is bytearray and arguments == bytes.fromhex(body)[4:]


@pytest.mark.parametrize("call, error, message", [
    (lambda ci: ci.get_ndr(256), ValueError, "byte must be in range"),
    (lambda ci: ci.get_ndr(-1), ValueError, "byte must be in range"),
    (lambda ci: ci.get_ndr(2**100), ValueError, "byte must be in range"),
    (lambda ci: ci.get_ndr(1.0), TypeError, "'float' object cannot be interpreted as an integer"),
    (lambda ci: ci.get_ndr("0"), TypeError, "'str' object cannot be interpreted as an integer"),
    (lambda ci: ci.get_ndr(None), TypeError, "'NoneType' object"),
    (lambda ci: ci.get_ndr(), TypeError, "missing 1 required positional argument: 'channel_number'"),
    (lambda ci: ci.get_ndr(0, 1), TypeError, "takes 2 positional arguments but 3 were given"),
    (lambda ci: ci.set_device_channel_selected_profile(0, 300), ValueError, "byte must be in range"),
    (lambda ci: ci.set_sampling_rate(0, 256), ValueError, "byte must be in range"),
    (lambda ci: ci.set_sampling_rate(0, 15.0), TypeError, "'float' object"),
    (lambda ci: ci.set_unit_of_measure(0, vexlo.UnitOfMeasureEnum.N), TypeError, "UnitOfMeasureEnum"),
    (lambda ci: ci.set_load_of_loading_point(0, 0, "heavy"), struct.error, "required argument is not a float"),
    (lambda ci: ci.set_load_of_loading_point(0, 0, 1e300), OverflowError, "float too large"),
    (lambda ci: ci.set_load_of_loading_point(0, 256, 1.0), ValueError, "byte must be in range"),
    (lambda ci: ci.set_adc_of_loading_point(0, 0, -1), OverflowError, "negative"),
    (lambda ci: ci.set_adc_of_loading_point(0, 0, 2**32), OverflowError, "too big"),
    (lambda ci: ci.set_adc_of_loading_point(0, 0, 1.5), AttributeError, "to_bytes"),
])
def test_bad_arguments_fail_before_anything_is_written(call, error, message, link, port):
    with pytest.raises(error, match=message):
        call(link)
    assert port.frames == []


# ---------------------------------------------------------------- sampling rate

@pytest.mark.parametrize("model, item, rate", [
    ("PLX310", "QMT31872", 15),   # the Plus Prime
    ("MVR420", "QMT31870", 15),
    ("PLX310", "QMT31870", 14),
    ("PLX310", "QMT31870", 0),
])
def test_set_sampling_rate_sends_after_two_queries(model, item, rate, link, port, caplog):
    port.answer(ascii10(item), ascii10(model), response())
    assert link.set_sampling_rate(3, rate) is None
    assert port.frames == [ITEM_FRAME, MODEL_FRAME, request("0007041e03%02x" % rate)]
    assert not [r for r in caplog.records if r.levelno >= logging.WARNING]


@pytest.mark.parametrize("item", ["QMT31870", "", "qmt31872"])
def test_fastest_rate_is_refused_on_other_plx310_editions(item, link, port, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    port.answer(ascii10(item), ascii10("PLX310"), response())
    text = "The 38,400 SPS rate is only available on PLX310 Plus Prime"
    with pytest.raises(vexlo.VexloInvalidParameterError) as raised:
        link.set_sampling_rate(profile_number=0, samples_per_second=15)
    assert str(raised.value) == text
    assert port.frames == [ITEM_FRAME, MODEL_FRAME]
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [("ERROR", text)]


def test_set_sampling_rate_digests_the_item_number_on_every_call(link, port):
    port.answer(ascii10("ABC"), ascii10("MVR420"), response())
    with mock.patch.object(vexlo.hashlib, "sha256", wraps=hashlib.sha256) as sha256:
        link.set_sampling_rate(0, 3)
    sha256.assert_called_once_with(b"ABC")


def test_set_sampling_rate_stops_when_a_query_fails(link, port):
    port.answer(ascii10("QMT31872"))  # then silence
    with pytest.raises(vexlo.VexloTimeoutError):
        link.set_sampling_rate(0, 15)
    assert port.frames == [ITEM_FRAME] + [MODEL_FRAME] * 3


# ------------------------------------------------------------- firmware version

@pytest.mark.parametrize("answer", ["0109", "010a03f", "zz0a03", "\ud80001", b"010a03", None, 10])
def test_firmware_version_that_is_no_version_gives_zeros(answer, link, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    with mock.patch.object(link, "send_convert_return_sequence", return_value=answer):
        assert link.get_firmware_version_with_patch() == "0.0.0"
    (record,) = caplog.records
    assert record.levelname == "DEBUG"
    assert record.getMessage().startswith("Error parsing firmware version: ")
    assert repr(answer) in record.getMessage()


def test_firmware_version_keeps_uppercase_digits_as_given(link):
    with mock.patch.object(link, "send_convert_return_sequence", return_value="0A0B0C"):
        assert link.get_firmware_version_with_patch() == "0A.0B.0C"


def test_firmware_version_lets_communication_failures_through(link, port):
    with pytest.raises(vexlo.VexloTimeoutError):
        link.get_firmware_version_with_patch()
    assert len(port.frames) == 3

"""The serial link: connect, disconnect, the exchange and its failures, the
two sequences with their retries, the buffer read and the identity queries."""

from unittest import mock

import pytest
import serial

import vexlo_device_communication as vexlo
from link_fake_port import ScriptedPort, request, response

MODEL = response(b"PLX310\0\0\0\0")
ITEM = response(b"QMT31872\0\0")
MODEL_FRAME = bytes.fromhex("0005010111")
ITEM_FRAME = bytes.fromhex("0005010215")


# time.sleep replaced for every test here (the shared fixture in conftest.py).
pytestmark = pytest.mark.usefixtures("sleeps")


def opening(*ports):
    """Patches serial.Serial to hand out the given ports in turn."""
    return mock.patch("serial.Serial", side_effect=list(ports))


# ------------------------------------------------------------------ constructor

def test_constructor_sets_state_in_order_without_touching_the_port():
    with mock.patch("serial.Serial") as opened:
        ci = vexlo._SerialCommunicationInterface("COM3")
    assert not opened.called
    assert list(vars(ci)) == ["comport", "baud_rate", "timeout", "serial_connection", "commands",
                              "_cached_model_number", "_cached_item_number"]
    assert (ci.comport, ci.baud_rate, ci.timeout) == ("COM3", 9600, 1)
    assert type(ci.timeout) is int
    assert ci.serial_connection is ci._cached_model_number is ci._cached_item_number is None
    assert type(ci.commands) is vexlo._CommandOperations
    assert ci.commands is not vexlo._SerialCommunicationInterface("COM3").commands
    with pytest.raises(TypeError, match="comport"):
        vexlo._SerialCommunicationInterface()


# ---------------------------------------------------------------------- connect

def test_connect_opens_the_port_by_keyword_and_caches_the_identity(records):
    port = ScriptedPort().answer(MODEL, ITEM)
    ci = vexlo._SerialCommunicationInterface("/dev/ttyUSB1", 2000000, 0.5)
    with opening(port) as opened:
        assert ci.connect() is None
    opened.assert_called_once_with(port="/dev/ttyUSB1", baudrate=2000000, timeout=0.5)
    assert ci.serial_connection is port
    assert (ci._cached_model_number, ci._cached_item_number) == ("PLX310", "QMT31872")
    assert port.frames == [MODEL_FRAME, ITEM_FRAME]
    assert records() == [("INFO", "Successfully connected to /dev/ttyUSB1 at 2000000 baud"),
                         ("DEBUG", "Device model: PLX310")]


@pytest.mark.parametrize("replies, frames", [
    ((), [MODEL_FRAME] * 3),                 # silent: model asked three times, item never
    ((MODEL,), [MODEL_FRAME] + [ITEM_FRAME] * 3),
])
def test_connect_survives_an_instrument_that_does_not_identify(replies, frames, records, sleeps):
    port = ScriptedPort().answer(*replies)
    ci = vexlo._SerialCommunicationInterface("/dev/ttyUSB1")
    with opening(port):
        ci.connect()
    assert ci.serial_connection is port and port.is_open
    assert ci._cached_model_number is None and ci._cached_item_number is None
    assert port.frames == frames
    assert sleeps.call_args_list == [mock.call(0.1)] * 2
    assert records()[-1] == ("WARNING", "Failed to cache device info during connect: "
                                        "No response received within 1s timeout")


def test_connect_to_a_missing_port_raises_with_the_port_error_as_cause(records):
    ci = vexlo._SerialCommunicationInterface("/dev/nothing", 115200)
    previous = ci.serial_connection = ScriptedPort("/dev/old")
    cause = serial.SerialException("[Errno 2] could not open port /dev/nothing")
    with opening(cause), pytest.raises(vexlo.VexloConnectionError) as raised:
        ci.connect()
    assert str(raised.value) == ("Could not open serial port /dev/nothing at 115200 baud: "
                                 "[Errno 2] could not open port /dev/nothing")
    assert raised.value.__cause__ is cause
    assert ci.serial_connection is previous
    assert records() == [("ERROR", "Failed to connect to /dev/nothing: "
                                   "[Errno 2] could not open port /dev/nothing")]


def test_connect_wraps_unexpected_errors(records):
    ci = vexlo._SerialCommunicationInterface("/dev/x")
    cause = ValueError("baudrate must be positive")
    with opening(cause), pytest.raises(vexlo.VexloConnectionError) as raised:
        ci.connect()
    assert str(raised.value) == "Unexpected connection error: baudrate must be positive"
    assert raised.value.__cause__ is cause and raised.value.__context__ is cause
    assert records() == [("ERROR", "Unexpected error connecting to /dev/x: baudrate must be positive")]


def test_connect_that_fails_after_opening_closes_the_new_port_and_keeps_the_old_one():
    ci = vexlo._SerialCommunicationInterface("/dev/x")
    port = ScriptedPort().answer(MODEL, ITEM)
    with opening(port), mock.patch.object(vexlo.logger, "info", side_effect=RuntimeError("full")):
        with pytest.raises(vexlo.VexloConnectionError, match="Unexpected connection error: full"):
            ci.connect()
    assert not port.is_open
    assert ci.serial_connection is None


# ------------------------------------------------------------------- disconnect

def test_disconnect_closes_once_and_keeps_the_cached_identity(link, port, records):
    link._cached_model_number = "PLX310"
    link.disconnect()
    link.disconnect()
    assert not port.is_open and link.serial_connection is None
    assert link._cached_model_number == "PLX310"
    assert records() == [("INFO", "Disconnected from /dev/ttyFAKE0")]


@pytest.mark.parametrize("connection", [None, ScriptedPort("/dev/closed")])
def test_disconnect_without_an_open_port_does_nothing(connection, records):
    ci = vexlo._SerialCommunicationInterface("/dev/x")
    if connection is not None:
        connection.is_open = False
    ci.serial_connection = connection
    ci.disconnect()
    assert ci.serial_connection is connection
    assert records() == []


def test_disconnect_logs_a_failing_close_and_still_lets_go(link, port, records):
    port.close = mock.Mock(side_effect=OSError("device gone"))
    link.disconnect()
    assert link.serial_connection is None
    assert records() == [("WARNING", "Error during disconnect: device gone")]


# --------------------------------------------------------------------- exchange

def test_exchange_resets_writes_and_reads_the_response_length(link, port):
    reply = response(b"\x00\x01\x86\xa0")
    port.pending += b"stale"
    port.answer(reply + b"late")
    assert link.send_command_with_response(bytearray(b"\x00\x06\x00\x05\x00\x20"), 9) == reply
    assert port.frames == [bytes.fromhex("000600050020")]
    assert port.resets == 1


def test_short_write_is_only_a_warning(link, port, records):
    port.written_count = 4
    port.answer(response())
    assert link.send_command_with_response(bytearray(5), 5) == response()
    assert records() == [("WARNING", "Incomplete write: sent 4/5 bytes")]


def port_error(kind):
    return {"timeout": serial.SerialTimeoutException("Write timeout"),
            "serial": serial.SerialException("device reports readiness to read but returned no data"),
            "other": OSError(5, "Input/output error")}[kind]


@pytest.mark.parametrize("fault, error, message, record", [
    ("silent", vexlo.VexloTimeoutError, "No response received within 1s timeout",
     ("ERROR", "Timeout waiting for response (expected 6 bytes)")),
    ("short", vexlo.VexloCommunicationError, "Incomplete response: expected 6 bytes, got 3",
     ("WARNING", "Incomplete response: received 3/6 bytes")),
    ("timeout", vexlo.VexloTimeoutError, "Command timed out after 1s",
     ("ERROR", "Serial timeout: Write timeout")),
    ("serial", vexlo.VexloCommunicationError,
     "Serial error during command transmission: device reports readiness to read but returned no data",
     ("ERROR", "Serial communication error: device reports readiness to read but returned no data")),
    ("other", vexlo.VexloCommunicationError,
     "Unexpected communication error: [Errno 5] Input/output error",
     ("ERROR", "Unexpected error during communication: [Errno 5] Input/output error")),
])
def test_exchange_failures_map_to_module_errors(fault, error, message, record, link, port, records):
    cause = None
    if fault == "short":
        port.answer(b"\x00\x00\x00")
    elif fault != "silent":
        cause = port.read_error = port_error(fault)
    with pytest.raises(error) as raised:
        link.send_command_with_response(bytearray(6), 6)
    assert type(raised.value) is error
    assert str(raised.value) == message
    assert raised.value.__cause__ is cause
    assert records() == [record]
    # The link stays usable: the next exchange starts afresh.
    port.read_error = None
    port.answer(response(b"\x07"))
    assert link.send_command_with_response(bytearray(6), 6) == response(b"\x07")


def test_exchange_on_a_closed_link_is_refused_before_any_io(records):
    ci = vexlo._SerialCommunicationInterface("/dev/x")
    for connection in (None, ScriptedPort()):
        if connection is not None:
            connection.is_open = False
        ci.serial_connection = connection
        with pytest.raises(vexlo.VexloCommunicationError, match="^Serial connection not open$"):
            ci.send_command_with_response(bytearray(5), 5)
        assert connection is None or connection.frames == []
    assert records() == [("ERROR", "Attempted to send command on closed connection")] * 2


def test_timeout_message_quotes_the_current_timeout(link):
    link.timeout = 0.05
    with pytest.raises(vexlo.VexloTimeoutError, match=r"^No response received within 0\.05s timeout$"):
        link.send_command_with_response(bytearray(5), 5)


def test_exchange_lets_keyboard_interrupt_through(link, port):
    port.read_error = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        link.send_command_with_response(bytearray(5), 5)


# -------------------------------------------------------------------- sequences

def test_setting_sequence_discards_even_a_bad_response(link, port):
    port.answer(b"\xff" * 5)
    command = link.commands.Set_Streaming_State_Command
    assert link.send_sequence(command, bytearray([1])) is None
    assert port.frames == [request("0006000c01")]


def test_sequences_default_to_no_arguments_and_leave_the_default_alone(link, port):
    port.answer(MODEL, response(), MODEL, response())
    for _ in range(2):
        assert link.send_convert_return_sequence(link.commands.Get_Model_Number_Command) == "PLX310"
        assert link.send_sequence(link.commands.Set_All_TEDS_Data_Command) is None
    assert port.frames == [MODEL_FRAME, request("0005021d")] * 2


@pytest.mark.parametrize("sequence", ["send_sequence", "send_convert_return_sequence"])
def test_silence_costs_three_attempts_and_two_pauses(sequence, link, port, records, sleeps):
    command = link.commands.Get_Sampling_Rate_Command
    with pytest.raises(vexlo.VexloTimeoutError) as raised:
        getattr(link, sequence)(command, bytearray([2]))
    assert str(raised.value) == "No response received within 1s timeout"
    assert port.frames == [request("0006031e02")] * 3
    assert port.resets == 3
    assert sleeps.call_args_list == [mock.call(0.1)] * 2
    timeout = ("ERROR", "Timeout waiting for response (expected 6 bytes)")
    retry = ("WARNING", "Attempting Retry")
    assert records() == [timeout, retry, timeout, retry, timeout, ("ERROR", "Retries failed after ")]


@pytest.mark.parametrize("open_port", [True, False])
def test_non_timeout_failures_are_not_retried(open_port, link, port, sleeps):
    port.is_open = open_port
    port.answer(b"\x00\x00")
    with pytest.raises(vexlo.VexloCommunicationError) as raised:
        link.get_ndr(0)
    assert type(raised.value) is vexlo.VexloCommunicationError
    assert len(port.frames) == (1 if open_port else 0)
    assert not sleeps.called


def test_each_attempt_builds_the_frame_anew(link, port):
    built = []
    original = link.commands.get_command_byte_array

    def spy(command, arguments):
        built.append(bytes(arguments))
        return original(command, arguments)

    link.commands.get_command_byte_array = spy
    port.answer(b"", b"", response(b"\x01"))
    assert link.get_number_of_directions(4) == 1
    assert built == [b"\x04"] * 3


# ------------------------------------------------------------------ buffer read

def test_read_buffer_data_returns_what_is_waiting_without_resetting(link, port, records):
    assert link.read_buffer_data() == b""
    port.pending += b"\x01\x02\x03"
    assert link.read_buffer_data() == b"\x01\x02\x03"
    assert port.resets == 0
    assert records() == [("DEBUG", "Reading 0 bytes from buffer"), ("DEBUG", "Reading 3 bytes from buffer")]


def test_read_buffer_data_on_a_closed_link(records):
    ci = vexlo._SerialCommunicationInterface("/dev/x")
    with pytest.raises(vexlo.VexloCommunicationError,
                       match="^Cannot read buffer: serial connection not open$"):
        ci.read_buffer_data()
    assert records() == []


def test_read_buffer_data_reports_a_failing_port_as_a_module_error(link, port):
    cause = port.read_error = serial.SerialException("device disconnected")
    with pytest.raises(vexlo.VexloCommunicationError) as raised:
        link.read_buffer_data()
    assert raised.value.__cause__ is cause
    assert str(raised.value).endswith("device disconnected")


# ------------------------------------------------------------ identity queries

def test_identity_queries_ask_afresh_and_only_the_model_is_logged(link, port, records):
    link._cached_model_number = "cached"
    port.answer(MODEL, ITEM, MODEL)
    assert [link.get_model_number(), link.get_item_number(), link.get_model_number()] == [
        "PLX310", "QMT31872", "PLX310"]
    assert port.frames == [MODEL_FRAME, ITEM_FRAME, MODEL_FRAME]
    assert link._cached_model_number == "cached"
    assert records() == [("DEBUG", "Device model: PLX310")] * 2

"""Long loops of every kind of operation, successful and failing: the allocated
blocks and the open file descriptors must stay flat after warm-up.

The suite runs short loops; ``make leaks`` runs 100,000 iterations of each.
"""

import collections
import sys
from types import SimpleNamespace
from unittest import mock

import pytest
import serial

import vexlo_device_communication as vexlo
from reference import packet
from reliability import PTY_LEAK_ITERATIONS, assert_flat, quiet
from vexlo_tools.sim import Profile, PtyServer, SimulatedInstrument, TedsSensor, simulated_ports

Interface = vexlo._SerialCommunicationInterface
Scanner = vexlo.VexloSerialScanner
convert4 = vexlo.StreamDataConverter.convert_stream_data_to_reading
convert3 = vexlo.StreamDataConverter.convert_stream_data_to_reading_38_kHz
PORT = "/dev/ttySIM0"
linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="pseudo-terminals of Linux")


def unlogged_mvr420():
    """An MVR420 that keeps no log of the requests it gets (a filling log
    would look like a leak)."""
    instrument = SimulatedInstrument.mvr420()
    instrument.request_log = collections.deque(maxlen=1)
    return instrument


@pytest.fixture
def mvr420():
    """An MVR420 on an in-process port, with logging and pauses off."""
    instrument = unlogged_mvr420()
    with quiet(), simulated_ports({PORT: instrument}):
        yield instrument


def connected(baud_rate=320000, port=PORT, timeout=1):
    ci = Interface(port, baud_rate, timeout)
    ci.connect()
    return ci


def test_exchanges_through_the_in_process_port(mvr420):
    ci = connected()
    operations = [
        lambda: ci.get_ndr(1),
        lambda: ci.set_unit_of_measure(2, 31),
        lambda: ci.get_load_of_loading_point(0, 1),
        lambda: ci.get_firmware_version_with_patch(),
        lambda: ci.set_load_of_loading_point(3, 0, 0.0),
        lambda: ci.read_buffer_data(),
        lambda: ci.get_model_number(),
    ]
    assert_flat(lambda i: operations[i % len(operations)]())




class ByName:
    def convert_adc(self, count):
        if count & 0x10000:
            raise ValueError("odd count")
        return count / 8


def test_stream_conversion():
    native = vexlo.ADCConverter()
    native.direction_1_fullscale_value = 4.0e9
    native.direction_1_fullscale_load = 100.0
    four = bytearray(b"".join(packet((i, i * 3 % 256, 7)) for i in range(64)) + b"\x01\x02")
    three = bytes(b"\x09" + b"".join(packet((i, 200), 3) for i in range(64)))
    conversions = [
        lambda: convert4(four, native),
        lambda: convert4(bytes(four), ByName()),
        lambda: convert3(three, native),
        lambda: convert3(bytearray(three), ByName()),
        lambda: convert4(four[:3], native),
    ]
    with quiet():
        assert_flat(lambda i: conversions[i % len(conversions)]())


@linux_only
def test_the_native_reader():
    """Readers made, fed, read from a port, taken from and refused, with both kinds of converter."""
    import os
    import tty

    import numpy as np

    from vexlo_tools import _arrays, _reading

    native = vexlo.ADCConverter()
    data = b"".join(packet((i, i * 3 % 256, 7)) for i in range(64)) + b"\x01\x02"
    waiting = np.zeros(1, np.int64)
    master, slave = os.openpty()
    tty.setraw(slave)

    def work(i):
        reader = _arrays.Reader(4, 50, 8190, native if i % 2 else ByName(), i % 2 == 1, 100 if i % 3 else None)
        reader.feed(data)
        os.write(master, data)
        _arrays.read_ports([reader], [slave], -1, 0.0, 1.0, 0.0, waiting)
        assert reader.failure is None and reader.remainder
        _reading.take(reader)
        for call, error in [(lambda: _arrays.read_ports([object()], [slave], -1, 0.0, 0.0, 0.0, waiting), TypeError),
                            (lambda: _arrays.Reader(5, 1, 10, native, True), ValueError),
                            (lambda: reader.take(np.zeros(1), np.zeros(1)), TypeError)]:
            with pytest.raises(error):
                call()

    try:
        with quiet():
            assert_flat(work)
    finally:
        os.close(master)
        os.close(slave)


def test_teds_parse():
    image = TedsSensor(serial_number=4711, max_capacity=250.0).image()
    bits = vexlo.TEDSData.bytes_to_bits(image, True)
    operations = [
        lambda: vexlo.TEDSData.parse_from_bytes(image, 33),
        lambda: vexlo.TEDSData.parse_from_bytes(bytearray(image), 33),
        lambda: vexlo.TEDSData.parse_from_bytes(list(image), 33.0),
        lambda: vexlo.TEDSData.bytes_to_bits(image, True),
        lambda: [vexlo.TEDSData.bits_to_int(bits, 40, 24), vexlo.TEDSData.bits_to_float(bits, 80)],
    ]

    def work(i):
        operations[i % len(operations)]()

    assert_flat(work)


def test_device_creation_through_discovery_and_disconnection(mvr420):
    def work(i):
        models, ports = (["MVR420"], None) if i % 2 else (["mvr420", "xyz"], [PORT, "/dev/other"])
        [device] = Scanner.discover_devices(models, ports)
        device.disconnect()
        assert device.communication_interface.serial_connection is None

    assert_flat(work)


def test_connect_and_disconnect_of_an_interface(mvr420):
    ci = Interface(PORT, 320000)

    def work(i):
        ci.connect()
        if i % 3 == 0:
            ci.connect()  # a second connect replaces the port object
        ci.disconnect()

    assert_flat(work)


class FailingPort:
    """An open port whose writes fail with the given exception."""

    port = "/dev/failing"
    is_open = True

    def __init__(self, error):
        self.error = error

    def reset_input_buffer(self):
        pass

    def write(self, data):
        raise self.error("write failed")

    def close(self):
        pass


def failing_serial(*args, **kwargs):
    raise ValueError("Not a valid baudrate: 0")


def test_every_error_path_that_chains_a_cause(mvr420):
    commands = vexlo._CommandOperations()
    ci = connected()
    # An interface that takes the MVR420 for the TEDS edition: its page reads go unanswered.
    teds_link = connected()
    teds_link._cached_model_number, teds_link._cached_item_number = "PLX310", "QMT31872"
    # A stored calibration whose loads are all equal has no slope for a TEDS calibration.
    mvr420.profiles[3] = Profile(loads=[0.0] * 4, counts=[1, 2, 3, 4])
    [device] = Scanner.discover_devices(["MVR420"])
    teds_data = vexlo.TEDSData.parse_from_bytes(TedsSensor().image(), 33)
    stranded = {error: Interface("/dev/failing") for error in (serial.SerialTimeoutException, OSError)}
    for error, link in stranded.items():
        link.serial_connection = FailingPort(error)
    frame = commands.get_command_byte_array(commands.Get_Ndr_Command, bytearray([0]))

    def corrupt_calibration():
        mvr420.corrupt_checksums(answers=1)
        ci.load_adc_converter(0)

    def unplugged_exchange():
        mvr420.unplug()
        try:
            ci.get_ndr(0)
        finally:
            mvr420.plug_in()

    def unplugged_buffer_read():
        mvr420.unplug()
        try:
            ci.read_buffer_data()
        finally:
            mvr420.plug_in()

    def unexpected_connection_error():
        with mock.patch("serial.Serial", failing_serial):
            Interface(PORT, 0).connect()

    # (operation, error raised, type of its cause)
    paths = [
        (lambda: commands.get_command_byte_array(commands.Get_Ndr_Command, [300]),
         vexlo.VexloProtocolError, ValueError),
        (lambda: commands.convert_payload(4, "ascii", b"\0\0\0\0\xc3abc\0"), vexlo.VexloProtocolError,
         UnicodeDecodeError),
        (lambda: Interface("/dev/none", 320000).connect(), vexlo.VexloConnectionError, serial.SerialException),
        (unexpected_connection_error, vexlo.VexloConnectionError, ValueError),
        (lambda: stranded[serial.SerialTimeoutException].send_command_with_response(frame, 9),
         vexlo.VexloTimeoutError, serial.SerialTimeoutException),
        (lambda: stranded[OSError].send_command_with_response(frame, 9), vexlo.VexloCommunicationError, OSError),
        (unplugged_exchange, vexlo.VexloCommunicationError, serial.SerialException),
        (unplugged_buffer_read, vexlo.VexloCommunicationError, serial.SerialException),
        (corrupt_calibration, vexlo.VexloCalibrationError, vexlo.VexloProtocolError),
        (lambda: vexlo.TEDSData.parse_from_bytes([256] + [0] * 511, 33), vexlo.VexloTEDSDataCorruptedError,
         OverflowError),
        (lambda: teds_link.generate_all_teds_data(), vexlo.VexloTEDSDataCorruptedError, vexlo.VexloTimeoutError),
        (lambda: device._load_teds_calibration_plx310(teds_data, 3), vexlo.VexloCalibrationError,
         ZeroDivisionError),
    ]

    def work(i):
        operation, error, cause = paths[i % len(paths)]
        with pytest.raises(error) as raised:
            operation()
        assert type(raised.value.__cause__) is cause

    assert_flat(work)


# --- Over pseudo-terminals: real pyserial, real file descriptors -----------------------------


@pytest.fixture
def pty_mvr420():
    instrument = unlogged_mvr420()
    with quiet(), PtyServer([instrument]) as (path,):
        with mock.patch("serial.tools.list_ports.comports", lambda: [SimpleNamespace(device=path)]):
            yield path


@linux_only
def test_connect_and_disconnect_over_a_pseudo_terminal(pty_mvr420):
    ci = Interface(pty_mvr420, 320000)

    def work(i):
        ci.connect()
        if i % 3 == 0:
            ci.connect()  # the replaced port object closes when it is dropped
        assert ci._cached_model_number == "MVR420"
        ci.get_ndr(0)
        ci.disconnect()

    assert_flat(work, PTY_LEAK_ITERATIONS)


@linux_only
def test_discovery_and_disconnection_over_a_pseudo_terminal(pty_mvr420):
    def work(i):
        with Scanner.discover_devices(["MVR420"])[0] as device:
            device.get_reading(0)

    assert_flat(work, PTY_LEAK_ITERATIONS)


@linux_only
def test_failed_connects_over_pseudo_terminals_release_their_ports(pty_mvr420):
    # Opening a path that is no port, and now and then a probe at a rate the
    # instrument does not use (silent, with its read timeout cut short).
    silent = Interface(pty_mvr420, 2000000, timeout=0.001)

    def work(i):
        if i % 10:
            with pytest.raises(vexlo.VexloConnectionError):
                Interface(pty_mvr420 + "-gone", 320000).connect()
        else:
            silent.connect()
            assert silent._cached_model_number is None
            silent.disconnect()

    assert_flat(work, PTY_LEAK_ITERATIONS)

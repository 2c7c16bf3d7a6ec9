"""The acquisition's reader on a port's own descriptor: waiting, waking, splitting, failing; which ports get it."""

import errno
import os
import sys
import threading
import time
import tty

import numpy as np
import pytest
import serial

import vexlo_device_communication as vexlo
from reliability import open_descriptors
from vexlo_tools import Acquisition, Engine, Sink, _arrays, _lowlevel, _reading, find_devices
from vexlo_tools import engine as engine_module
from vexlo_tools.acquisition import port_of
from vexlo_tools.sim import PtyServer, SimulatedInstrument, simulated_ports, stream_packet

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="pseudo-terminals of Linux")


WAITING = np.zeros(1, np.int64)  # no consumer waits


def readers():
    return [t for t in threading.enumerate() if t.name.startswith("vexlo reader")]


@pytest.fixture
def streaming_pty():
    """An MVR420 on a pseudo-terminal and its found device: (instrument, device)."""
    instrument = SimulatedInstrument.mvr420()
    with PtyServer([instrument]) as (path,):
        [device] = find_devices([path], ["MVR420"])
        yield instrument, device
        device.disconnect()


class Subclassed(serial.Serial):
    """A pyserial port whose reads a program may have changed: read through the module."""


@pytest.mark.parametrize("connection, expected", [
    (lambda device: device.communication_interface.serial_connection, "its fd"),
    (lambda device: Subclassed(), None),
    (lambda device: None, None),
])
def test_only_an_open_pyserial_port_is_read_through_its_descriptor(streaming_pty, connection, expected):
    _, device = streaming_pty
    interface = device.communication_interface
    own = interface.serial_connection
    interface.serial_connection = connection(device)
    try:
        _lowlevel.guard_streaming(interface, "the instrument")  # the guard is looked through
        got = _lowlevel.port_descriptor(device)
    finally:
        interface.serial_connection = own
    assert got == (own.fd if expected else None)


def test_a_simulated_port_keeps_the_module_read():
    with simulated_ports({"/dev/ttySIM0": SimulatedInstrument.mvr420()}):
        [device] = find_devices(["/dev/ttySIM0"], ["MVR420"])
        assert _lowlevel.port_descriptor(device) is None
        with Acquisition([device], samples=20) as acq:
            assert acq.wait(timeout=30)
        assert [len(b) for b in acq.read(timeout=0)] == [20]


def test_stop_wakes_a_reader_waiting_for_ever_and_leaves_nothing_open(monkeypatch, streaming_pty):
    instrument, device = streaming_pty
    monkeypatch.setattr(_reading, "READ_WAIT_SECONDS", -1.0)  # only the wake ends the wait
    descriptors = open_descriptors()
    for _ in range(3):
        acq = Acquisition([device])
        acq.start()
        assert acq._readers[0].port.descriptor is not None
        assert acq.read(timeout=30)[0].stats.received > 0
        # The line falls silent: the reader waits on the port with nothing to come.
        instrument.stop_streaming(time.monotonic())
        stopper = threading.Thread(target=acq.stop, daemon=True)
        stopper.start()
        stopper.join(timeout=30)
        assert not stopper.is_alive(), "stop() did not wake the reader"
        assert not acq.running and not readers()
    assert open_descriptors() == descriptors
    assert device.get_sampling_rate(0) >= 0  # the device answers again


def test_a_port_vanishing_under_the_reader_names_the_instrument(streaming_pty):
    instrument, device = streaming_pty
    with Acquisition([device]) as acq:
        assert acq.read(timeout=30)[0].stats.received > 0
        instrument.unplug()
        with pytest.raises(vexlo.VexloCommunicationError,
                           match=rf"^MVR420 \d+ on {acq.streams[0].port}: reading the port failed") as raised:
            for _ in range(1000):
                acq.read(timeout=5)
        assert isinstance(raised.value.__cause__.__cause__, OSError)
        assert acq.ends[0].reason.startswith("failed: ")
    assert not readers()


def native_reader(capacity=10, size=4, keep=None):
    return _arrays.Reader(size, capacity, _reading.READ_BYTES, vexlo.ADCConverter(), True, keep)


@pytest.mark.parametrize("short", [True, False])
def test_packets_split_at_every_byte_between_descriptor_reads_and_fed_bytes(short):
    """A read's remainder is carried to the next read, and to bytes fed after it (the switch-off);
    samples go into the ring's room, wrapping, and beyond it the oldest make room, counted."""
    size = 3 if short else 4
    packets = b"".join(stream_packet(0x123456 + i * 0x10101, short) for i in range(6))
    expected = [int.from_bytes(packets[i:i + size - 1], "big") << (16 if short else 8)
                for i in range(0, len(packets), size)]
    master, slave = os.openpty()
    tty.setraw(slave)
    try:
        for cut in range(1, len(packets)):
            reader = native_reader(6, size)
            reader.feed(stream_packet(0, short) * 5)
            _reading.take(reader)
            reader.feed(stream_packet(0x070707, short) * 2)  # room for 4, from the last place on
            os.write(master, packets[:cut])
            assert _reading.DescriptorPort(slave).read(reader) == cut
            assert reader.remainder == packets[cut // size * size:cut]
            assert (len(reader), reader.overrun) == (min(6, 2 + cut // size), max(0, 2 + cut // size - 6))
            reader.feed(packets[cut:])
            assert _reading.take(reader)[1].tolist() == expected
            assert (reader.end, reader.overrun, reader.corrupted) == (13, 2, 0)
            assert reader.bytes_read == 7 * size + len(packets)
    finally:
        os.close(master)
        os.close(slave)


def test_a_read_without_data_or_on_a_closed_descriptor():
    reader = native_reader()
    master, slave = os.openpty()
    tty.setraw(slave)
    wake_r, wake_w = os.pipe()
    try:
        os.write(wake_w, b"x")  # woken: no pause, no wait; what the port holds is still taken
        os.write(master, stream_packet(0x123456, False)[:2])
        for _ in range(2):
            _arrays.read_ports([reader], [slave], wake_r, 3600.0, -1.0, 0.0, WAITING)
            assert (reader.bytes_read, reader.corrupted, reader.failure, len(reader)) == (2, 0, None, 0)
        assert reader.remainder == stream_packet(0x123456, False)[:2]
    finally:
        for descriptor in (master, wake_r, wake_w):
            os.close(descriptor)
    os.close(slave)
    with pytest.raises(vexlo.VexloCommunicationError, match="reading the port failed") as raised:
        _reading.DescriptorPort(slave).read(reader)
    assert reader.failure.errno == raised.value.__cause__.errno == errno.EBADF


def test_one_read_of_several_ports_reads_each_ready_one_and_fails_only_the_broken_one():
    """The ports' shared wait: a closed descriptor fails its own port; the others are read and converted."""
    ptys = [os.openpty() for _ in range(3)]
    for _, slave in ptys:
        tty.setraw(slave)
    readers = [native_reader() for _ in ptys]
    try:
        os.write(ptys[0][0], b"".join(stream_packet(0x100000 * i, False) for i in range(1, 4)))
        os.close(ptys[2][1])  # the third port is gone; the second has nothing to give
        _arrays.read_ports(readers, [slave for _, slave in ptys], -1, 0.0, 5.0, 0.0, WAITING)
        assert [reader.end for reader in readers] == [3, 0, 0]
        assert readers[0].failure is None and readers[1].failure is None and readers[2].failure.errno == errno.EBADF
        assert _reading.take(readers[0])[1].tolist() == [0x100000, 0x200000, 0x300000]
    finally:
        for master, slave in ptys:
            os.close(master)
            if slave != ptys[2][1]:
                os.close(slave)


def test_a_second_writer_is_refused_while_the_ports_are_read():
    reader = native_reader()
    master, slave = os.openpty()
    wake_r, wake_w = os.pipe()
    loop = threading.Thread(target=_arrays.read_ports, args=([reader], [slave], wake_r, 0.0, -1.0, 0.0, WAITING))
    try:
        loop.start()
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:  # until the loop holds the reader
            try:
                reader.feed(b"")
            except RuntimeError as error:
                assert "another thread" in str(error)
                break
            time.sleep(0.01)
        else:
            pytest.fail("the loop never held the reader")
        with pytest.raises(RuntimeError, match="another thread"):
            _arrays.read_ports([reader], [slave], -1, 0.0, 0.0, 0.0, WAITING)
    finally:
        os.write(wake_w, b"x")
        loop.join(timeout=30)
        for descriptor in (master, slave, wake_r, wake_w):
            os.close(descriptor)
    assert not loop.is_alive() and reader.feed(stream_packet(0x123456, False)) == 1


@pytest.mark.parametrize("keep", [None, 5000])
def test_a_consumer_taking_while_the_reader_writes_gets_every_sample_once_or_counted_as_overrun(keep):
    """One writer, one taker, a small ring: what is taken is in order without gaps but the counted drops."""
    reader = native_reader(capacity=64, keep=keep)
    fed = 8000

    def write():
        for first in range(0, fed, 7):
            reader.feed(b"".join(stream_packet(i << 8, False) for i in range(first, min(fed, first + 7))))

    writer = threading.Thread(target=write)
    writer.start()
    taken = []
    while writer.is_alive() or len(reader):
        first, adc, _ = _reading.take(reader)
        assert (adc >> 8).tolist() == list(range(first, first + len(adc)))
        taken.append((first, len(adc)))
    writer.join()
    assert all(a + n <= b for (a, n), (b, _) in zip(taken, taken[1:]))
    kept = fed if keep is None else keep
    assert reader.end == kept and sum(n for _, n in taken) + reader.overrun == kept


def test_a_port_failing_leaves_the_other_ports_of_the_acquisition_read():
    """One thread reads every port; when one vanishes, only its stream ends."""
    lost, kept = SimulatedInstrument.mvr420(), SimulatedInstrument.mvr420()
    with PtyServer([lost, kept]) as paths:
        devices = {port_of(d): d for d in find_devices(list(paths), ["MVR420"])}
        with Acquisition([devices[paths[0]], devices[paths[1]]]) as acq:
            assert len(readers()) == 1
            deadline = time.monotonic() + 30
            while not all(stats.received for stats in acq.stats()) and time.monotonic() < deadline:
                acq.read(timeout=1)
            lost.unplug()
            with pytest.raises(vexlo.VexloCommunicationError, match=f"on {paths[0]}: reading the port failed"):
                for _ in range(1000):
                    acq.read(timeout=5)
            received = acq.stats()[1].received
            deadline = time.monotonic() + 30
            while acq.stats()[1].received < received + 1000 and time.monotonic() < deadline:
                acq.read(timeout=1)
            assert acq.stats()[1].received >= received + 1000
            assert acq.ends[0].reason.startswith("failed: ") and acq.ends[1] is None
        devices[paths[0]].disconnect()
        devices[paths[1]].disconnect()
    assert not readers()


class Consumer(Sink):
    """A sink that keeps the number of samples it was given."""

    def __init__(self, latency):
        self.latency_seconds = latency
        self.samples = 0

    def write(self, block):
        self.samples += len(block)


def read_then_stop(acq, seconds):
    """A consumer in read(timeout=...) until samples come or ``seconds`` pass: the samples taken."""
    return len(acq.read(timeout=seconds)[0])


def engine_then_stop(latency):
    def consume(acq, seconds):
        sink = Consumer(latency)
        with Engine(acq, [sink]):
            deadline = time.monotonic() + seconds
            while not sink.samples and time.monotonic() < deadline:
                time.sleep(0.01)
            return sink.samples
    return consume


def polled(acq, seconds):
    """A patient consumer: read(timeout=0) now and then."""
    taken = 0
    for _ in range(round(seconds / 0.05)):
        taken += len(acq.read(timeout=0)[0])
        time.sleep(0.05)
    return taken


@pytest.mark.parametrize("consume, seconds, hurried", [
    (read_then_stop, 30, True),
    (engine_then_stop(0.0), 30, True),  # a sink in more of a hurry than the default
    (polled, 0.5, False),
    (engine_then_stop(engine_module.LATENCY_SECONDS), 0.5, False),
    (engine_then_stop(0.25), 0.5, False),  # the recording sink's
], ids=["read(timeout)", "engine, sink latency 0", "read(timeout=0) now and then", "engine, default latency",
        "engine, a quarter second"])
def test_the_readers_wake_as_often_as_their_most_hurried_consumer_needs(monkeypatch, streaming_pty, consume,
                                                                       seconds, hurried):
    """The loop's patient pause lasts an hour here: only a hurried consumer cuts it short and gets samples."""
    _, device = streaming_pty
    monkeypatch.setattr(_reading, "longest_pause", lambda bytes_per_second: 3600.0)
    pauses = []
    read_ports = _arrays.read_ports

    def recorded(readers, descriptors, wake, pause, *rest):
        if wake >= 0:  # the loop's (the switch-off reads without a wake pipe)
            pauses.append(pause)
        return read_ports(readers, descriptors, wake, pause, *rest)

    monkeypatch.setattr(_arrays, "read_ports", recorded)
    with Acquisition([device]) as acq:
        deadline = time.monotonic() + 30
        while not pauses and time.monotonic() < deadline:  # the loop's first wait, with nobody in a hurry
            time.sleep(0.01)
        assert (consume(acq, seconds) > 0) == hurried
        if acq.running:  # not stopped with an engine: back to the patient pace once nobody hurries
            deadline = time.monotonic() + 30
            while pauses[-1] != 3600.0 and time.monotonic() < deadline:
                time.sleep(0.01)
            assert pauses[-1] == 3600.0
    assert pauses[0] == 3600.0
    assert (_reading.READ_PAUSE_SECONDS in pauses) == hurried
    assert acq.stats()[0].overrun == acq.stats()[0].missing == 0


@pytest.mark.parametrize("samples_per_second, packet_size, pause", [
    (1300, 4, _reading.MAX_POLL_SECONDS),  # fifty wake-ups a second at most
    (38400, 3, 4095 / (38400 * 3) / 2),  # half the port's buffer
    (10**6, 4, _reading.MIN_POLL_SECONDS),
])
def test_a_patient_pause_lets_the_port_fill_at_most_half(samples_per_second, packet_size, pause):
    assert _reading.longest_pause(samples_per_second * packet_size) == pytest.approx(pause)

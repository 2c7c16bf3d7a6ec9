"""Faults an acquisition layer must survive, in process and on pseudo-terminals."""

import time

import pytest
import serial

from vexlo_tools.sim import (
    MAX_STREAM_BACKLOG,
    SimulatedInstrument,
    SimulatedSerial,
    VirtualClock,
    build_request,
)

MODEL = build_request(0x01, 0x01)
STREAM_ON = build_request(0x00, 0x0C, [1])
ANSWER_LENGTH = 15


def open_port(instrument, clock, **kwargs):
    return SimulatedSerial(port="sim", baudrate=320000, timeout=1, instrument=instrument, clock=clock, **kwargs)


def streaming_mvr(clock, **kwargs):
    """An MVR420 streaming 100 samples/s of a ramp whose count is the sample's index."""
    inst = SimulatedInstrument.mvr420(**kwargs)
    port = open_port(inst, clock)
    port.write(STREAM_ON)
    assert len(port.read(5)) == 5
    inst.profiles[0].counts[:2] = [0, 100 << 8]
    inst.profiles[0].loads[:2] = [0.0, 1.0]
    inst.set_load_signal(lambda t: t)
    return inst, port


def sample_indices(data):
    return [int.from_bytes(data[i:i + 3], "big") for i in range(0, len(data), 4)]


@pytest.mark.parametrize("answers,late", [(1, [True, False]), (None, [True, True])])
def test_late_answer_arrives_after_the_read_gave_up(answers, late):
    clock = VirtualClock()
    inst = SimulatedInstrument.mvr420()
    port = open_port(inst, clock)
    inst.answer_late(0.5, answers=answers)
    for is_late in late:
        port.write(MODEL)
        first = port.read(ANSWER_LENGTH)
        assert (first == b"") == is_late
        clock.advance(0.5)
        assert len(first + port.read(ANSWER_LENGTH)) == ANSWER_LENGTH


def test_writes_time_out_while_the_instrument_does_not_read():
    inst = SimulatedInstrument.mvr420()
    port = open_port(inst, VirtualClock(), write_timeout=0.1)
    inst.stop_reading()
    with pytest.raises(serial.SerialTimeoutException):
        port.write(MODEL)
    assert port.read(ANSWER_LENGTH) == b""
    inst.resume_reading()
    port.write(MODEL)
    assert port.read(ANSWER_LENGTH)[4:10] == b"MVR420"


def test_a_stalled_stream_resumes_with_its_backlog():
    clock = VirtualClock()
    inst, port = streaming_mvr(clock)
    inst.stall_stream(0.5)
    clock.advance(0.3)
    assert port.in_waiting == 0
    clock.advance(0.3)
    assert sample_indices(port.read(port.in_waiting)) == list(range(60))
    assert (inst.samples_sent, inst.dropped_samples) == (60, 0)


def test_a_stall_set_before_any_exchange_starts_with_the_first():
    clock = VirtualClock(1000.0)
    inst = SimulatedInstrument.mvr420()
    inst.stall_stream(0.5)  # as a bench file does, before the port opens
    port = open_port(inst, clock)
    port.write(STREAM_ON)
    port.read(5)
    clock.advance(0.3)
    assert port.in_waiting == 0
    clock.advance(0.3)
    assert port.in_waiting == 60 * 4


def test_a_full_fifo_drops_the_newest_samples_and_counts_them():
    clock = VirtualClock()
    inst, port = streaming_mvr(clock)
    capacity = MAX_STREAM_BACKLOG // 4
    inst.stall_stream()
    clock.advance((capacity + 250) / 100)
    inst.resume_stream()
    data = inst.transmit(clock())  # straight from the instrument: a port holds only 4 KiB
    # The oldest samples are kept; the 250 newest found no room.
    assert sample_indices(data) == list(range(capacity))
    assert (inst.samples_sent, inst.dropped_samples) == (capacity, 250)


def test_port_vanishes_after_the_given_samples():
    clock = VirtualClock()
    inst, port = streaming_mvr(clock)
    inst.unplug_after(7)
    clock.advance(1.0)
    assert sample_indices(port.read(4096)) == list(range(7))
    with pytest.raises(serial.SerialException):
        port.read(1)
    assert not inst.plugged_in and inst.samples_sent == 7


@pytest.mark.vexlo_sim("mvr420")
def test_faults_on_a_pseudo_terminal(vexlo_sim_pty, vexlo_sim_instruments):
    [inst] = vexlo_sim_instruments
    with serial.Serial(port=vexlo_sim_pty.paths[0], baudrate=320000, timeout=2, write_timeout=0.2) as port:
        inst.answer_late(0.3)
        port.timeout = 0.05
        port.write(MODEL)
        assert port.read(ANSWER_LENGTH) == b""
        port.timeout = 2
        assert port.read(ANSWER_LENGTH)[4:10] == b"MVR420"
        inst.stop_reading()
        with pytest.raises(serial.SerialTimeoutException):
            for _ in range(100_000):  # the server notices at its next turn; then the line is full
                port.write(MODEL)
        inst.resume_reading()
        port.timeout = 0.2
        while port.read(4096):  # answers to the requests taken in before it stopped
            pass
        port.timeout = 2
        port.write(MODEL)
        assert port.read(ANSWER_LENGTH)[4:10] == b"MVR420"
        inst.unplug_after(5)
        port.write(STREAM_ON)
        with pytest.raises(serial.SerialException):
            while True:
                port.read(64)
    assert inst.samples_sent == 5 and not inst.plugged_in


@pytest.mark.vexlo_sim("plx310-plus-prime")
def test_a_host_that_falls_behind_on_a_pseudo_terminal_loses_only_counted_samples(vexlo_sim_pty,
                                                                                  vexlo_sim_instruments):
    [inst] = vexlo_sim_instruments
    inst.profiles[0].sampling_rate_code = 15  # 38400 samples/s in 3-byte packets
    with serial.Serial(port=vexlo_sim_pty.paths[0], baudrate=2000000, timeout=0.3) as port:
        port.write(STREAM_ON)
        assert len(port.read(5)) == 5
        deadline = time.monotonic() + 10
        while inst.dropped_samples == 0 and time.monotonic() < deadline:
            time.sleep(0.05)  # not reading: the line, the server and then the FIFO fill
        assert inst.dropped_samples > 0
        inst.stop_streaming(time.monotonic())
        data = b""
        while chunk := port.read(65536):
            data += chunk
    assert len(data) == 3 * inst.samples_sent

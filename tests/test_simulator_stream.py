"""Streaming through the in-process port, on a virtual clock."""

import pytest

from vexlo_tools.sim import (
    INPUT_BUFFER_SIZE,
    Profile,
    SimulatedInstrument,
    SimulatedSerial,
    VirtualClock,
    build_request,
    checksum,
)

STREAM_ON = build_request(0x00, 0x0C, [1])
STREAM_OFF = build_request(0x00, 0x0C, [0])
ACK_ON_OFF = bytes([0x00, 0x05, 0x00, 0x0C]) + bytes([checksum(bytes([0x00, 0x05, 0x00, 0x0C]))])


def open_port(instrument, clock, baudrate=None):
    baudrate = baudrate or min(instrument.baud_rates)
    return SimulatedSerial(port="sim", baudrate=baudrate, timeout=1, instrument=instrument, clock=clock)


def start(port):
    port.write(STREAM_ON)
    assert port.read(5) == ACK_ON_OFF


def scan_packets(data, size):
    """Find packets by their checksums, sliding over bytes that do not fit (as the host does)."""
    samples, i = [], 0
    while i + size <= len(data):
        if checksum(data[i : i + size - 1]) == data[i + size - 1]:
            samples.append(data[i : i + size - 1])
            i += size
        else:
            i += 1
    return samples


@pytest.mark.parametrize(
    "factory,rate_code,count,packet",
    [
        (SimulatedInstrument.mvr420, 3, 0x12345678, "1234567C"),
        (SimulatedInstrument.plx310, 7, 0x12345678, "1234567C"),
        (SimulatedInstrument.plx310, 15, 0x12345678, "12347A"),
        (SimulatedInstrument.plx310_plus_prime, 15, 0x00800000, "008000"),
    ],
)
def test_packet_format(factory, rate_code, count, packet):
    inst = factory()
    inst.profiles[0].sampling_rate_code = rate_code
    inst.set_raw_count(count)
    clock = VirtualClock()
    port = open_port(inst, clock)
    start(port)
    clock.advance(0.02)  # under 4 KiB even at 38400 SPS
    data = port.read(port.in_waiting)
    size = len(packet) // 2
    assert len(data) >= 2 * size and len(data) % size == 0
    assert data == bytes.fromhex(packet) * (len(data) // size)


def test_3_byte_packet_checksum_rule():
    inst = SimulatedInstrument.plx310()
    inst.profiles[0].sampling_rate_code = 15
    inst.set_raw_count(0xABCD0000)
    clock = VirtualClock()
    port = open_port(inst, clock)
    start(port)
    clock.advance(0.001)
    data = port.read(port.in_waiting)
    assert data[:3] == bytes([0xAB, 0xCD, (0xAB + 2 * 0xCD) % 256])


@pytest.mark.parametrize(
    "factory,rate_code,rate,size",
    [
        (SimulatedInstrument.plx310, 0, 2.5, 4),
        (SimulatedInstrument.plx310, 3, 16.6, 4),
        (SimulatedInstrument.plx310, 9, 1200, 4),
        (SimulatedInstrument.plx310_plus_prime, 15, 38400, 3),
        (SimulatedInstrument.mvr420, 0, 4, 4),
        (SimulatedInstrument.dta530, 6, 850, 4),
        (SimulatedInstrument.hsk640, 7, 1300, 4),
    ],
)
def test_stream_runs_at_the_configured_rate(factory, rate_code, rate, size):
    inst = factory()
    inst.profiles[0].sampling_rate_code = rate_code
    clock = VirtualClock()
    port = open_port(inst, clock)
    start(port)
    received = 0
    for _ in range(200):  # 2 s of virtual time, read often enough never to overflow
        clock.advance(0.01)
        received += len(port.read(port.in_waiting))
    assert received % size == 0
    assert received // size == pytest.approx(2 * rate, abs=1)
    assert port.overrun_bytes == 0


def test_stream_follows_the_profile_selected_on_channel_0():
    profiles = [Profile.linear(sampling_rate_code=3), Profile.linear(sampling_rate_code=7)]
    inst = SimulatedInstrument.mvr420(profiles=profiles)
    clock = VirtualClock()
    port = open_port(inst, clock)
    port.write(build_request(0x02, 0x0A, [0, 1]))  # channel 0 -> profile 1 (1300 SPS)
    port.read(5)
    start(port)
    clock.advance(1.0)
    port.read(INPUT_BUFFER_SIZE)
    assert port.overrun_bytes == 1300 * 4 - INPUT_BUFFER_SIZE


def test_rate_change_while_streaming_takes_effect():
    inst = SimulatedInstrument.mvr420()
    clock = VirtualClock()
    port = open_port(inst, clock)
    start(port)
    clock.advance(1.0)
    assert len(port.read(4096)) == 100 * 4
    port.write(build_request(0x04, 0x1E, [0, 1]))  # 20 SPS
    assert port.read(5)[2:4] == b"\x04\x1e"
    clock.advance(1.0)
    assert len(port.read(4096)) == 20 * 4


def test_stop_streaming_ends_with_the_acknowledgement():
    inst = SimulatedInstrument.mvr420()
    clock = VirtualClock()
    port = open_port(inst, clock)
    start(port)
    clock.advance(0.1)
    port.write(STREAM_OFF)
    data = port.read(4096)
    assert len(data) == 10 * 4 + 5 and data.endswith(ACK_ON_OFF)
    clock.advance(1.0)
    assert port.in_waiting == 0
    assert not inst.streaming


def test_queries_answer_cleanly_while_streaming():
    inst = SimulatedInstrument.mvr420()
    clock = VirtualClock()
    port = open_port(inst, clock)
    start(port)
    clock.advance(0.5)
    port.reset_input_buffer()
    port.write(build_request(0x01, 0x01))
    assert port.read(size=15)[4:10] == b"MVR420"


def test_stream_garbage_fraction():
    inst = SimulatedInstrument.hsk640(seed=7)
    inst.profiles[0].sampling_rate_code = 6  # 850 SPS
    inst.set_raw_count(0x12345600)
    inst.add_stream_garbage(0.25)
    clock = VirtualClock()
    port = open_port(inst, clock)
    start(port)
    data = b""
    for _ in range(200):
        clock.advance(0.01)
        data += port.read(port.in_waiting)
    packets = 1700
    assert data.count(bytes.fromhex("1234567C")) == packets
    garbage = len(data) - 4 * packets
    assert 0.2 * packets < garbage < 0.3 * packets
    assert len(scan_packets(data, 4)) > 0.9 * packets


def test_buffer_is_capped_when_nobody_reads():
    inst = SimulatedInstrument.hsk640()
    inst.profiles[0].sampling_rate_code = 7
    clock = VirtualClock()
    port = open_port(inst, clock)
    start(port)
    clock.advance(3600.0)  # an hour unread: memory must not follow
    assert port.in_waiting == INPUT_BUFFER_SIZE
    assert port.overrun_bytes > 0
    assert len(port.read(10 * INPUT_BUFFER_SIZE)) == INPUT_BUFFER_SIZE


def test_load_signal_and_noise_shape_the_samples():
    inst = SimulatedInstrument.mvr420(noise_counts=0)
    inst.set_load_signal(lambda t: 1000.0 * t)  # ramps to full scale in 1 s
    clock = VirtualClock()
    port = open_port(inst, clock)
    start(port)
    clock.advance(1.0)
    counts = [int.from_bytes(p, "big") << 8 for p in scan_packets(port.read(4096), 4)]
    assert len(counts) == 100
    assert counts == sorted(counts)
    assert counts[0] == 0x80000000 and abs(counts[-1] - 3_072_000_000) < 40_000 * 256

    noisy = SimulatedInstrument.mvr420(noise_counts=5000 * 256, seed=1)
    readings = {int.from_bytes(noisy.respond(build_request(0x00, 0x05, [0]), 0.0)[4:8], "big") for _ in range(50)}
    assert len(readings) > 10 and all(abs(r - 0x80000000) <= 5000 * 256 for r in readings)


def test_stream_is_silent_at_a_wrong_baud_rate():
    inst = SimulatedInstrument.mvr420()
    inst.start_streaming(0.0)
    clock = VirtualClock()
    port = open_port(inst, clock, baudrate=9600)
    clock.advance(1.0)
    assert port.in_waiting == 0

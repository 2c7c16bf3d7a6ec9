"""Acquisition: background readers, ring buffers, loss counters, stop; in-process on a virtual clock."""

import contextlib
import copy
import dataclasses
import functools
import math
import pickle
import sys
import threading

import numpy as np
import pytest

import vexlo_device_communication as vexlo
from vexlo_tools import Acquisition, _reading, _stopping, acquisition, find_devices
from vexlo_tools.types import COUNTERS, Block, Stats
from vexlo_tools.sim import SimulatedInstrument, VirtualClock, simulated_ports, stream_packet
from acquisition_steps import LockStep

PLUS = functools.partial(SimulatedInstrument.plx310_plus_prime, with_teds=False)  # reads N, as the MVR420
MVR = SimulatedInstrument.mvr420


class SteppedReaders:
    """Readers whose pause moves a virtual clock; at ``stall_until`` they hold until released.

    The consumer (the test) reads nothing meanwhile: a stalled consumer,
    without real waiting. The clock stops for all readers once one of them
    gets to the stall, and each reads its port once more before it holds,
    so every port has been read up to the same moment.
    """

    def __init__(self, monkeypatch, clock, stall_until):
        self.clock = clock
        self.stall_until = stall_until
        self.frozen = False
        self.read_at_stall = set()
        self.holding = set()
        self.changed = threading.Condition()
        self.released = threading.Event()
        monkeypatch.setattr(_reading, "clock", clock)
        monkeypatch.setattr(_reading, "pause", self.pause)

    def pause(self, stop, seconds):
        me = threading.current_thread()
        with self.changed:
            if not self.frozen and self.clock() + seconds <= self.stall_until + 1e-9:
                self.clock.advance(seconds)
                return
            self.frozen = True
            if me not in self.read_at_stall:
                self.read_at_stall.add(me)
                return
            self.holding.add(me)
            self.changed.notify_all()
        self.released.wait()
        stop.wait(0.001)  # the clock stands still from here on

    def wait(self, readers=1):
        with self.changed:
            assert self.changed.wait_for(lambda: len(self.holding) >= readers, timeout=30), \
                "the readers never got to the end of the stall"


def virtual_waits(monkeypatch, clock):
    """The stop path waits and measures on ``clock``, the clock of the line's delays too."""
    monkeypatch.setattr("time.monotonic", clock)
    monkeypatch.setattr("time.sleep", clock.advance)


def expected_counts(instrument, short, n):
    """The counts of the first ``n`` stream samples, through the packet encoding."""
    rate = instrument.stream_rate()
    shift = 16 if short else 8
    return np.array([int.from_bytes(stream_packet(instrument.raw_count(0, i / rate), short)[:-1], "big") << shift
                     for i in range(n)], dtype=np.uint32)


def open_devices(instruments, clock):
    ports = {f"/dev/ttySIM{i}": inst for i, inst in enumerate(instruments)}
    return ports, simulated_ports(ports, clock=clock)


def found(ports):
    """The devices on ``ports``, probed at their models' rates only (no silent rates to wait out)."""
    return find_devices(list(ports), sorted({inst.model for inst in ports.values()}))


@contextlib.contextmanager
def stalled_device(monkeypatch, instrument, stall_until, virtual=False):
    """One found device on a simulated port, its reader stepped to ``stall_until``: (device, readers, clock)."""
    clock = VirtualClock()
    readers = SteppedReaders(monkeypatch, clock, stall_until=stall_until)
    if virtual:
        virtual_waits(monkeypatch, clock)
    ports, installed = open_devices([instrument], clock)
    with installed:
        [device] = found(ports)
        yield device, readers, clock


@pytest.mark.parametrize("factory, rate, short", [(PLUS, 38400, True), (MVR, 1300, False)])
def test_a_stalled_consumer_loses_nothing_and_stop_leaves_the_device_usable(monkeypatch, factory, rate, short):
    instrument = factory()
    instrument.set_load_signal(lambda t: 300.0 * t)  # every sample differs
    with stalled_device(monkeypatch, instrument, 2.0) as (device, readers, clock):
        with Acquisition([device], rate=rate) as acq:
            readers.wait()
            [block] = acq.read(timeout=0)
            stalled_at = clock()
            readers.released.set()
        assert not instrument.streaming
        assert device.get_sampling_rate(0) == acq.streams[0].rate_code
        assert device.get_reading(0) == pytest.approx(300.0 * clock(), abs=0.1)
        assert device.communication_interface.serial_connection.write_timeout is None
    due = math.floor(stalled_at * rate + 1e-9)
    assert (block.first_index, len(block)) == (0, due)
    np.testing.assert_array_equal(block.adc, expected_counts(instrument, short, due))
    np.testing.assert_array_equal(block.time, np.arange(due) / rate)
    converter = device.get_adc_converter()
    assert block.value[-1] == converter.convert_adc(int(block.adc[-1]))
    assert block.stats == acquisition.Stats(received=due, overrun=0, missing=0, corrupted=0)
    assert acq.stats() == [block.stats]
    assert acq.streams[0].packet_size == (3 if short else 4)


def fields_of(block):
    return [(f.name, getattr(block, f.name)) for f in dataclasses.fields(block)]


@pytest.mark.parametrize("passed", [lambda b: b, copy.copy, copy.deepcopy, lambda b: pickle.loads(pickle.dumps(b)),
                                    lambda b: dataclasses.replace(b, index=1)])
def test_a_block_as_read_makes_its_times_and_counters_as_the_block_made_whole(passed):
    """read() leaves a block's times and Stats to be made when asked for: the same values, dtype and
    behaviour, copied, pickled or replaced before or after, with the counters of the moment it was taken."""
    adc = np.arange(2**24, 2**24 + 5, dtype=np.uint32)
    value = adc * 0.1
    whole = Block("device", 7, np.arange(7, 12, dtype=np.float64) / 38400.0, adc, value, Stats(12, 1, 0, 2, 3), 1, 4.5)
    def taken():
        return Block._taken("device", 7, adc, value, 38400.0, (12, 1, 0, 2, 3), 1, 4.5)

    touched = taken()
    touched.time, touched.stats
    for block in (passed(taken()), passed(touched)):
        got, expected = fields_of(block), fields_of(passed(whole))
        assert [name for name, _ in got] == [name for name, _ in expected]
        for (name, a), (_, b) in zip(got, expected):
            if isinstance(b, np.ndarray):
                assert a.dtype == b.dtype and a.tobytes() == b.tobytes(), name
            else:
                assert a == b, name
        assert repr(block) == repr(passed(whole)) and len(block) == 5
    assert touched.time is touched.time and touched.stats is touched.stats  # made once
    with pytest.raises(AttributeError, match="no attribute 'tme'"):
        taken().tme


def test_a_block_as_read_makes_its_times_once_for_every_thread_that_asks():
    """Sinks on threads of their own ask the same block at once: each gets the same arrays."""
    adc = np.arange(1000, dtype=np.uint32)
    blocks = [Block._taken(None, 0, adc, adc * 0.5, 100.0, (1000, 0, 0, 0, 0), 0, 1.0) for _ in range(300)]
    start = threading.Barrier(4)
    seen = [[] for _ in range(4)]

    def ask(mine):
        start.wait()
        for block in blocks:
            mine.append((block.time, block.stats))

    threads = [threading.Thread(target=ask, args=(mine,)) for mine in seen]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter can
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old)
    assert all(len(mine) == len(blocks) for mine in seen)
    for got in zip(*seen):
        assert all(time is got[0][0] and stats is got[0][1] for time, stats in got)


@pytest.mark.parametrize("buffer_seconds", [0.05, 0.5])
def test_a_full_ring_drops_the_oldest_and_counts_them_exactly(monkeypatch, buffer_seconds):
    instrument = MVR()
    instrument.set_load_signal(lambda t: 300.0 * t)
    with stalled_device(monkeypatch, instrument, 1.0) as (device, readers, clock):
        with Acquisition([device], rate=850, buffer_seconds=buffer_seconds) as acq:
            readers.wait()
            [block] = acq.read(timeout=0)
            readers.released.set()
    received = block.stats.received
    kept = math.ceil(buffer_seconds * 850)
    assert received > kept
    assert (block.first_index, len(block), block.stats.overrun) == (received - kept, kept, received - kept)
    np.testing.assert_array_equal(block.adc, expected_counts(instrument, False, received)[-kept:])
    np.testing.assert_array_equal(block.time, np.arange(received - kept, received) / 850)


def test_a_vanished_port_surfaces_once_naming_it_and_the_others_go_on(monkeypatch):
    lost, kept = MVR(), MVR()
    clock = VirtualClock()
    readers = SteppedReaders(monkeypatch, clock, stall_until=0.5)
    ports, installed = open_devices([lost, kept], clock)
    with installed:
        devices = found(ports)
        with Acquisition(devices) as acq:
            readers.wait(2)
            lost.unplug()
            readers.released.set()
            got = [0, 0]
            with pytest.raises(vexlo.VexloCommunicationError, match="MVR420 20240001 on /dev/ttySIM0: ") as raised:
                for _ in range(1000):
                    got = [n + len(b) for n, b in zip(got, acq.read(timeout=5))]
            assert raised.value.stream is acq.streams[0]
        assert kept.streaming is False
        # Raised once; what came before the failure is all there, the other device's too.
        got = [n + len(b) for n, b in zip(got, acq.read(timeout=0))]
    assert got == [50, 50]
    assert [s.received for s in acq.stats()] == [50, 50]


def test_a_rate_a_model_lacks_is_refused_before_anything_is_set():
    plain, mvr = SimulatedInstrument.plx310(), MVR()
    ports, installed = open_devices([plain, mvr], VirtualClock())
    with installed:
        devices = found(ports)
        for inst in (plain, mvr):
            inst.request_log.clear()
        with pytest.raises(ValueError, match="PLX310 has no rate of 38400 samples/s"):
            Acquisition(devices, rate=38400).start()
    sent = {r.name for inst in (plain, mvr) for r in inst.request_log}
    assert not sent & {"set_sampling_rate", "set_streaming"}, sent


@pytest.mark.parametrize("every", [30, 1000])  # 1000: only the short last block comes
def test_callbacks_get_blocks_of_at_least_the_asked_size_then_the_rest(monkeypatch, every):
    instrument = MVR()
    got = []
    with stalled_device(monkeypatch, instrument, 1.0) as (device, readers, clock):
        with Acquisition([device], rate=100) as acq:
            acq.on_block(got.append, every_samples=every)
            readers.wait()
            readers.released.set()
    sizes = [len(b) for b in got]
    assert all(n >= every for n in sizes[:-1]) and sum(sizes) == 100
    assert [b.first_index for b in got] == [sum(sizes[:i]) for i in range(len(sizes))]


@pytest.mark.parametrize("fault", [lambda inst: inst.corrupt_checksums(answers=1),
                                   lambda inst: inst.go_silent(requests=1)])
def test_a_garbled_or_missing_answer_to_streaming_off_still_stops_and_leaves_the_device_usable(monkeypatch, fault):
    instrument = MVR()
    with stalled_device(monkeypatch, instrument, 0.3, virtual=True) as (device, readers, clock):
        with Acquisition([device]) as acq:
            readers.wait()
            fault(instrument)  # on the streaming-off setting
            readers.released.set()
        assert not instrument.streaming
        assert device.get_model_number() == "MVR420"
    [block] = acq.read(timeout=0)
    # Every sample the instrument sent, also those sent until it took a repeated setting.
    assert len(block) == block.stats.received == instrument.samples_sent >= 30


def test_reading_after_the_only_reader_failed_does_not_wait_for_ever(monkeypatch):
    instrument = MVR()
    with stalled_device(monkeypatch, instrument, 0.1) as (device, readers, clock):
        with Acquisition([device]) as acq:
            readers.wait()
            instrument.unplug()
            readers.released.set()
            with pytest.raises(vexlo.VexloCommunicationError):
                for _ in range(1000):
                    acq.read(timeout=5)
            assert [len(b) for b in acq.read()] == [0]  # no timeout: returns, as nothing can come


@pytest.mark.parametrize("factory, rate, late", [
    (PLUS, 38400, lambda inst: inst.answer_late(0.3)),  # the answer to streaming off comes late
    (MVR, 1300, lambda inst: inst.answer_late(0.3)),
    # Packets held up on the way come after the answer (a burst that fits the port's buffer).
    (MVR, 1300, lambda inst: inst.stall_stream(0.3)),
], ids=["late answer, 3-byte packets", "late answer, 4-byte packets", "late packets"])
def test_bytes_arriving_late_after_streaming_off_are_all_taken_before_stop_returns(monkeypatch, late, factory, rate):
    instrument = factory()
    with stalled_device(monkeypatch, instrument, 0.3, virtual=True) as (device, readers, clock):
        with Acquisition([device], rate=rate) as acq:
            readers.wait()
            late(instrument)
            clock.advance(0.02)  # a tail of packets the readers have not taken yet
            readers.released.set()
        clock.advance(5.0)  # whatever was still on its way has arrived by now
        assert device.get_stream_data() == b""
        assert device.get_sampling_rate(0) == acq.streams[0].rate_code
    [block] = acq.read(timeout=0)
    assert len(block) == block.stats.received == instrument.samples_sent
    assert block.stats.corrupted == 0


@pytest.mark.parametrize("garbled, asked", [(1, 2), (None, _stopping.CHECK_ATTEMPTS)])
def test_a_garbled_answer_to_the_query_after_stopping_is_asked_again_a_bounded_number_of_times(
        monkeypatch, garbled, asked):
    instrument = MVR()
    with stalled_device(monkeypatch, instrument, 0.1, virtual=True) as (device, readers, clock):
        acq = Acquisition([device])
        acq.start()
        queries = []
        query = device.get_sampling_rate

        def garbling(channel):
            # Stands in for stream bytes that arrive during the exchange.
            queries.append(channel)
            if garbled is None or len(queries) <= garbled:
                instrument.corrupt_checksums(1)
            return query(channel)

        monkeypatch.setattr(device, "get_sampling_rate", garbling)
        readers.wait()
        readers.released.set()
        if garbled is None:
            with pytest.raises(vexlo.VexloProtocolError, match="MVR420 20240001 on /dev/ttySIM0: Invalid checksum"):
                acq.stop()
        else:
            acq.stop()
        assert len(queries) == asked and not instrument.streaming
        monkeypatch.undo()
        assert device.get_model_number() == "MVR420"


@contextlib.contextmanager
def stepped_device(monkeypatch, instrument, split_reads=False):
    """One found device on a simulated port, its reader in lock-step with the clock: (device, steps)."""
    clock = VirtualClock()
    steps = LockStep(clock)
    monkeypatch.setattr(_reading, "clock", clock)
    monkeypatch.setattr(_reading, "pause", steps.pause)
    ports = {"/dev/ttySIM0": instrument}
    with simulated_ports(ports, clock=clock, split_reads=split_reads):
        [device] = found(ports)
        yield device, steps


def test_samples_held_up_on_the_way_are_overdue_then_received_and_every_counter_only_grows(monkeypatch):
    late, other = MVR(), MVR()  # the second's samples come late after the first's came late (out of order)
    clock = VirtualClock()
    steps = LockStep(clock)
    monkeypatch.setattr(_reading, "clock", clock)
    monkeypatch.setattr(_reading, "pause", steps.pause)
    ports = {"/dev/ttySIM0": late, "/dev/ttySIM1": other}
    seen = []
    with simulated_ports(ports, clock=clock):
        with Acquisition(found(ports), rate=100) as acq:
            steps.sleep(0.5)
            late.stall_stream()
            steps.sleep(0.2)  # 20 samples on their way, within the allowance for samples in flight
            seen.append(acq.stats())
            assert seen[-1][0] == acquisition.Stats(received=50)
            other.stall_stream()
            steps.sleep(0.3)
            seen.append(acq.stats())
            assert (seen[-1][0].overdue, seen[-1][0].missing) == (25, 0)  # due by 0.25 s ago, not come
            late.resume_stream()
            steps.sleep(0.01)
            seen.append(acq.stats())
            assert seen[-1][0] == acquisition.Stats(received=101) and seen[-1][1].overdue > 0
            steps.sleep(0.3)
            other.resume_stream()
            steps.sleep(0.01)
            seen.append(acq.stats())
        seen.append(acq.stats())
    for earlier, later in zip(seen, seen[1:]):
        for before, after in zip(earlier, later):
            assert all(getattr(before, name) <= getattr(after, name) for name in COUNTERS), seen
    assert [s.overdue for s in seen[-1]] == [0, 0]


def test_a_finite_run_counts_no_more_missing_than_it_planned(monkeypatch):
    instrument = MVR()
    with stepped_device(monkeypatch, instrument) as (device, steps):
        with Acquisition([device], rate=100, samples=60) as acq:
            steps.sleep(0.3)
            instrument.stall_stream()  # for ever: the other 30 never come
            steps.sleep(5.0)
            assert acq.stats()[0].overdue == 30  # not the 470 due by the clock
        assert (acq.ends[0].stats.received, acq.ends[0].stats.missing) == (30, 30)


@pytest.mark.parametrize("factory, rate, short", [(PLUS, 38400, True), (MVR, 1300, False)])
def test_packets_split_across_reads_at_any_byte_are_all_kept(monkeypatch, factory, rate, short):
    instrument = factory()
    instrument.set_load_signal(lambda t: 300.0 * t)
    with stepped_device(monkeypatch, instrument, split_reads=True) as (device, steps):
        with Acquisition([device], rate=rate) as acq:
            for _ in range(20):
                steps.sleep(0.0013)
        [block] = acq.read(timeout=0)
    assert len(block) == block.stats.received == instrument.samples_sent > 20
    assert block.stats.corrupted == 0
    np.testing.assert_array_equal(block.adc, expected_counts(instrument, short, len(block)))


def test_a_reader_without_a_descriptor_hurries_only_while_a_consumer_waits_and_a_little_after(monkeypatch):
    with stepped_device(monkeypatch, MVR()) as (device, steps):
        asked = []

        def pause(stop, seconds):
            asked.append(seconds)
            steps.pause(stop, seconds)

        monkeypatch.setattr(_reading, "pause", pause)
        with Acquisition([device], rate=1300) as acq:
            steps.sleep(0.1)
            assert len(acq.read(timeout=0)[0]) == 130
            patient = asked[-1]
            got = []
            waiter = threading.Thread(target=lambda: got.extend(acq.read(timeout=60)))
            hurried_from = len(asked)
            waiter.start()
            while acq._waiters.hurried == 0 and waiter.is_alive():
                waiter.join(0.001)
            steps.sleep(0.01)  # the reader reads; the waiting consumer gets the samples
            waiter.join(30)
            steps.sleep(0.01)
            hurried = asked[hurried_from:]
            steps.sleep(_reading.HURRY_HOLD_SECONDS)  # nobody has waited for as long
            steps.sleep(0.01)
    assert [len(block) for block in got] == [13]
    assert patient == _reading.MAX_POLL_SECONDS and set(asked[:hurried_from]) == {patient}
    assert hurried[-1] == _reading.READ_PAUSE_SECONDS and asked[-1] == patient

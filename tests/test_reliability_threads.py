"""Misuse: objects shared between threads. One device serves one thread at a
time; used from two at once, results may interleave and exchanges fail with
the module's errors, but the interpreter must not crash and no memory may be
corrupted (the sanitizer build runs these too).
"""

import contextlib
import random
import threading
from unittest import mock

import vexlo_device_communication as vexlo
from reference import packet
from reliability import count, quiet
from vexlo_tools.sim import SimulatedInstrument, TedsSensor, simulated_ports

PORT = "/dev/ttySIM0"
ROUNDS = 150


class TakingTurns:
    """Makes threads take turns: turn() hands over to the next running thread
    and waits until the turn comes back, so calls interleave at the points
    where it is called (the interpreter alone switches only every few
    milliseconds)."""

    def __init__(self):
        self.condition = threading.Condition()
        self.running = []
        self.current = None
        self.local = threading.local()

    def enter(self, me):
        self.local.me = me
        with self.condition:
            self.condition.wait_for(lambda: self.current == me, timeout=10)

    def turn(self):
        me = getattr(self.local, "me", None)
        if me is None:
            return  # a thread that does not take part
        with self.condition:
            if len(self.running) < 2:
                return
            self.current = self.running[(self.running.index(me) + 1) % len(self.running)]
            self.condition.notify_all()
            self.condition.wait_for(lambda: self.current == me or len(self.running) < 2, timeout=10)

    def leave(self):
        me = self.local.me
        with self.condition:
            index = self.running.index(me)
            self.running.remove(me)
            if self.running:
                self.current = self.running[index % len(self.running)]
            self.condition.notify_all()

    def run(self, *workers):
        """Runs the workers on threads of their own, taking turns; returns
        what they raised."""
        unexpected = []
        self.running = list(range(len(workers)))
        self.current = 0

        def guarded(me, work):
            self.enter(me)
            try:
                work()
            except BaseException as error:  # noqa: BLE001 - collected for the assertion
                unexpected.append(error)
            finally:
                self.leave()

        threads = [threading.Thread(target=guarded, args=(me, work)) for me, work in enumerate(workers)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
        assert not any(thread.is_alive() for thread in threads)
        return unexpected


def taking_turns_at_the_port(port, turns, seed=1):
    """Port operations of the link hand the turn to the other thread, at
    random: one thread's reset may then discard the other's answer, or its
    read take it."""
    chance = random.Random(seed)
    for name in ("reset_input_buffer", "write", "read"):
        operation = getattr(port, name)

        def handing_over(*args, _operation=operation, **kwargs):
            if chance.random() < 0.5:
                turns.turn()
            return _operation(*args, **kwargs)

        setattr(port, name, handing_over)


def test_two_threads_sharing_one_device():
    instrument = SimulatedInstrument.plx310_plus_prime(teds_sensor=TedsSensor(serial_number=5150))
    instrument.set_raw_count(9_000_000)
    outcomes = {"ok": 0, "module error": 0}
    operations = [
        lambda d: d.get_reading(0),
        lambda d: d.get_sampling_rate(1),
        lambda d: d.set_unit_of_measure(vexlo.UnitOfMeasureEnum.N),
        lambda d: d.get_board_temperature(),
        lambda d: d.set_device_channel_selected_profile(0, 0),
        lambda d: d.get_adc_for_profile(1),
        lambda d: d.reload_teds_data(),
        lambda d: d.get_teds_serial_number(),
        lambda d: vexlo.StreamDataConverter.convert_stream_data_to_reading(
            bytes(range(40)), d.get_adc_converter()),
    ]

    def worker(offset):
        def work():
            for i in range(ROUNDS):
                try:
                    operations[(i + offset) % len(operations)](device)
                    outcomes["ok"] += 1
                except vexlo.VexloDeviceError:
                    outcomes["module error"] += 1
        return work

    turns = TakingTurns()
    with quiet(), simulated_ports({PORT: instrument}):
        [device] = vexlo.VexloSerialScanner.discover_devices(["PLX310"])
        taking_turns_at_the_port(device.communication_interface.serial_connection, turns)
        unexpected = turns.run(worker(0), worker(4))
        count("operations from two threads", 2 * ROUNDS)
        assert unexpected == []
        # Both kinds of outcome: the threads' exchanges did get mixed up.
        assert outcomes["ok"] > 0 and outcomes["module error"] > 10, outcomes
        # Used from one thread again, the device is whole.
        assert type(device.adc_converter) is vexlo.ADCConverter
        device.set_device_channel_selected_profile(0, 0)
        assert device.get_reading(0) == device.adc_converter.convert_adc(9_000_000)
        device.reload_teds_data()
        assert device.get_teds_serial_number() == "5150"




def test_stream_buffer_and_converter_changed_by_other_threads():
    # Two threads convert one bytearray, a third grows and shrinks it and a
    # fourth rewrites the converter's calibration. The buffer cannot change
    # size under a conversion (BufferError), and every result is whole.
    data = bytearray(b"".join(packet((i, 7, 9)) for i in range(60)))
    counts = {(i << 24) | (7 << 16) | (9 << 8) for i in range(60)}
    native = vexlo.ADCConverter()
    native.direction_1_fullscale_value = 4.0e9
    native.direction_1_fullscale_load = 10.0
    turns = TakingTurns()
    refused = []

    class HandingOver:
        """Converts in Python, handing the turn over in the middle of the scan."""

        def convert_adc(self, n):
            turns.turn()
            return native.convert_adc(n)

    def convert(converter):
        def work():
            for _ in range(ROUNDS):
                for function in (vexlo.StreamDataConverter.convert_stream_data_to_reading,
                                 vexlo.StreamDataConverter.convert_stream_data_to_reading_38_kHz):
                    result = function(data, converter)
                    assert type(result.remainder) is bytearray and len(result.remainder) < 4
                    if function is vexlo.StreamDataConverter.convert_stream_data_to_reading:
                        assert all(r.adc_value in counts for r in result.readings)
                    turns.turn()
        return work

    def resize():
        for i in range(ROUNDS * 4):
            try:
                if i % 2:
                    data.extend(packet((i % 60, 7, 9)))
                else:
                    del data[-4:]
            except BufferError:
                refused.append(i)
            turns.turn()

    def recalibrate():
        for i in range(ROUNDS * 4):
            native.number_of_directions = i % 3
            native.direction_2_offset_value = float(i)
            native._set_midpoint_offset()
            turns.turn()

    with mock.patch.object(vexlo, "logger", mock.Mock()):
        unexpected = turns.run(convert(native), convert(HandingOver()), resize, recalibrate)
    assert unexpected == []
    assert refused  # resizing was tried during conversions, and refused
    assert len(data) % 4 == 0
    count("operations from two threads", 4 * ROUNDS)


def test_two_threads_sharing_one_interface_with_faults():
    instrument = SimulatedInstrument.mvr420()
    turns = TakingTurns()

    def work():
        for i in range(ROUNDS):
            with contextlib.suppress(vexlo.VexloDeviceError):
                if i % 7 == 0:
                    instrument.corrupt_checksums(answers=1)
                if i % 11 == 0:
                    instrument.go_silent(requests=1)
                ci.get_ndr(0)
                ci.set_load_of_loading_point(1, 0, 0.0)
                ci.load_adc_converter(i % 8)

    with quiet(), simulated_ports({PORT: instrument}):
        ci = vexlo._SerialCommunicationInterface(PORT, 320000)
        ci.connect()
        taking_turns_at_the_port(ci.serial_connection, turns)
        unexpected = turns.run(work, work)
        assert unexpected == []
        instrument.clear_faults()
        assert ci.load_adc_converter(0).number_of_loading_points == 2
    count("operations from two threads", 2 * ROUNDS)

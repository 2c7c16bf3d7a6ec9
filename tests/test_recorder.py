"""recording.record(): what an acquisition delivers goes into the file, cut at --seconds, complete after Ctrl-C."""
from types import SimpleNamespace

import numpy as np
import pytest

import vexlo_device_communication as vexlo
from vexlo_tools import Block, Stats, recording

pytest.importorskip("h5py", reason="the hdf5 extra")


def stream(serial_number, sps):
    converter = vexlo.ADCConverter()
    converter.direction_1_fullscale_value = 12_000_000
    converter.direction_1_fullscale_load = 1000.0
    device = SimpleNamespace(_teds_data=None, get_adc_converter=lambda: converter)
    return SimpleNamespace(device=device, port=f"/dev/pts/{serial_number}", model="MVR420", item_number="QMT42010",
                           serial_number=serial_number, firmware="04.03.02", rate_code=3, samples_per_second=sps,
                           packet_size=4, unit="N")


class Acquisition:
    """Hands out 30 samples per instrument and read, also the one read after stop(); the clock moves 0.1 s per read."""

    def __init__(self, rates, clock, interrupt_at=None, fail_at=None):
        self.streams = [stream(n, sps) for n, sps in enumerate(rates, 1)]
        self.sent = [0] * len(rates)
        self.clock = clock
        self.reads = 0
        self.interrupt_at = interrupt_at
        self.fail_at = fail_at
        self.stopped = False

    def read(self, timeout=None):
        self.reads += 1
        if self.reads == self.interrupt_at and not self.stopped:
            raise KeyboardInterrupt
        if self.reads == self.fail_at:  # the last instrument's port vanishes; the others go on
            error = vexlo.VexloCommunicationError(f"MVR420 {len(self.streams)} on /dev/pts/{len(self.streams)}: gone")
            error.stream = self.streams[-1]  # as the acquisition's errors carry the stream that failed
            raise error
        self.clock.now += 0.1
        blocks = []
        for n, s in enumerate(self.streams):
            failed = self.fail_at is not None and self.reads > self.fail_at and n == len(self.streams) - 1
            first, self.sent[n] = self.sent[n], self.sent[n] + (0 if failed else 30)
            index = np.arange(first, self.sent[n])
            blocks.append(Block(s.device, first, index / s.samples_per_second, index.astype(np.uint32),
                                index * 0.5, Stats(self.sent[n], missing=n)))
        return blocks

    def stop(self):
        self.stopped = True

    def stats(self):
        return [Stats(sent + 1, overrun=4, missing=n) for n, sent in enumerate(self.sent)]


class Clock:
    now = 0.0

    def __call__(self):
        return self.now


@pytest.mark.parametrize("suffix", [".h5", ".csv"])
def test_seconds_of_data_per_instrument_and_the_final_counters(tmp_path, suffix):
    clock = Clock()
    acquisition = Acquisition([100.0, 150.0], clock)
    lines = []
    progress = recording.record(acquisition, tmp_path / f"run{suffix}", seconds=0.5, clock=clock,
                                status=lambda p: lines.append(p.line()))
    run = recording.load(tmp_path / f"run{suffix}")
    assert [len(i.time) for i in run] == progress.samples == [50, 75]
    for data, sps in zip(run, (100.0, 150.0)):
        np.testing.assert_allclose(data.time, np.arange(len(data.time)) / sps, atol=1e-9)
        assert data.metadata["samples_per_second"] == sps and data.metadata["direction_1_fullscale_count"] == 12e6
    # The counters are the acquisition's after it stopped (the tail read past the time included).
    assert [i.metadata["overrun"] for i in run] == [4, 4] and [i.metadata["received"] for i in run] == [121, 121]
    assert not progress.interrupted and lines and "samples" in lines[-1] and "file " in lines[-1]


def test_ctrl_c_leaves_a_complete_file(tmp_path):
    clock = Clock()
    acquisition = Acquisition([100.0], clock, interrupt_at=4)
    progress = recording.record(acquisition, tmp_path / "run.h5", clock=clock)
    [data] = recording.load(tmp_path / "run.h5")
    # Three reads before Ctrl-C, and the samples that came until streaming was off.
    assert acquisition.stopped and progress.interrupted and progress.samples == [120] and len(data.value) == 120
    assert data.metadata["complete"] is True and data.metadata["received"] == 121


def test_an_instrument_that_fails_ends_its_part_and_the_others_go_on(tmp_path):
    clock = Clock()
    acquisition = Acquisition([100.0, 100.0], clock, fail_at=2)
    progress = recording.record(acquisition, tmp_path / "run.h5", seconds=1.0, clock=clock)
    assert progress.errors == ["MVR420 2 on /dev/pts/2: gone"]
    assert progress.samples == [100, 30] and [len(i.value) for i in recording.load(tmp_path / "run.h5")] == [100, 30]
    assert acquisition.reads == 6  # not waiting for the failed instrument past the time

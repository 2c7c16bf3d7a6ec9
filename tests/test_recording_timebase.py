"""One time base: instruments' clocks estimated against the host's from when blocks were taken, kept in the
file, and applied by the loader, proven on simulated instruments whose clocks run 100 ppm fast and slow."""
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from vexlo_tools import Acquisition, Block, Stats, find_devices, recording
from vexlo_tools.recording import ClockFit, RecordingSink
from vexlo_tools.recording.timebase import MAX_POINTS, lower_envelope
from vexlo_tools.sim import SimulatedInstrument, simulated_ports
from engine_doubles import stream

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
from unattended import simulated_hour  # noqa: E402  (the benchmark's hour, also row 71)


def test_two_instruments_100_ppm_apart_line_up_within_a_millisecond_over_an_hour(tmp_path):
    path, starts, errors = simulated_hour(folder=tmp_path)
    run = recording.load(path)
    for data, ppm in zip(run, errors):
        assert data.metadata["clock_error_ppm"] == pytest.approx(ppm, abs=0.5)
    # Where every sample truly left its instrument, on the host's clock, and where the file puts it.
    truths = [start + data.time / (1 + ppm * 1e-6) for data, start, ppm in zip(run, starts, errors)]
    aligned = recording.load(path, aligned=True)
    origin = min(data.metadata["clock_offset_s"] for data in run)
    misses = [a.time + origin - truth for a, truth in zip(aligned, truths)]
    for miss in misses:
        assert np.abs(miss).max() < 0.001  # what is left: about the shortest delay of a read
    # Compared at the same host moments, the two instruments' times agree within 1 ms all the hour.
    moments = np.linspace(10, 3590, 500)
    apart = np.interp(moments, truths[0], misses[0]) - np.interp(moments, truths[1], misses[1])
    assert np.abs(apart).max() < 0.001
    # Without the estimate they drift apart by the clocks' difference: 0.72 s at the end of the hour.
    nominal = [data.time + start for data, start in zip(run, starts)]
    drift = np.interp(3590, truths[0], nominal[0] - truths[0]) - np.interp(3590, truths[1], nominal[1] - truths[1])
    assert drift == pytest.approx(0.718, abs=0.01)
    assert [d.metadata["time_base"] for d in aligned] == ["host", "host"]


def test_the_lower_envelope_is_not_pulled_by_one_sided_delays():
    rng = np.random.default_rng(3)
    x = np.sort(rng.uniform(0, 1000, 5000))
    y = 2.0 + x * (1 - 50e-6) + rng.exponential(0.01, len(x)) + (rng.random(len(x)) < 0.1) * 5.0
    a, b = lower_envelope(x, y)
    assert b == pytest.approx(1 - 50e-6, abs=2e-7) and a == pytest.approx(2.0, abs=2e-4)
    assert lower_envelope([1.0, 1.0], [2.0, 3.0]) is None


def test_a_fit_keeps_bounded_points_over_days_and_needs_a_span():
    fit = ClockFit(100.0)
    fit.add(100, 8.0)
    assert fit.estimate() is None  # one point, less than MIN_FIT_SECONDS
    for n in range(1, 200_000):
        fit.add(n * 400, n * 4.0 * (1 - 20e-6) + 7.0)  # 4 s of samples a block, 20 ppm fast, over nine days
    assert len(fit._points) <= MAX_POINTS
    estimate = fit.estimate()
    assert estimate.error_ppm == pytest.approx(20.0, abs=1e-3) and estimate.offset_s == pytest.approx(7.0, abs=1e-5)


def test_aligned_times_need_an_estimate_of_every_instrument(tmp_path):
    sink = RecordingSink(tmp_path / "run.csv")
    sink.open([stream(1, 100.0)])
    sink.write(Block(None, 0, np.arange(5) / 100.0, np.zeros(5, np.uint32), np.zeros(5), Stats(5), 0, 1.0))
    sink.close()
    [data] = recording.load(tmp_path / "run.csv")
    assert data.clock is None and "clock_error_ppm" not in data.metadata
    with pytest.raises(ValueError, match="run.csv: an instrument has no clock estimate"):
        recording.load(tmp_path / "run.csv", aligned=True)


def test_an_event_recording_carries_the_clock_estimates_of_its_moment(tmp_path):
    sink = recording.TriggerSink(tmp_path / "run.csv", "value > 1", pre=1.0, post=1.0)
    sink.open([stream(1, 100.0)])
    for first in range(0, 3000, 50):  # 30 s in blocks of half a second, a crossing at 20 s
        numbers = np.arange(first, first + 50)
        value = (numbers >= 2000).astype(np.float64) * 2
        sink.write(Block(None, first, numbers / 100.0, numbers.astype(np.uint32), value, Stats(first + 50), 0,
                         3.0 + (first + 50) / 100.0 / (1 + 40e-6)))
    sink.close()
    [data] = recording.load(tmp_path / "run.event0001.csv")
    assert data.metadata["trigger_sample"] == 2000 and len(data.value) == 201
    assert data.metadata["clock_error_ppm"] == pytest.approx(40.0, abs=1e-6)
    assert data.metadata["clock_offset_s"] == pytest.approx(3.0, abs=1e-9)


@pytest.mark.serial
def test_the_blocks_of_an_acquisition_say_when_they_were_taken():
    with simulated_ports({"/dev/ttySIM0": SimulatedInstrument.mvr420()}):
        [device] = find_devices(["/dev/ttySIM0"])
        with device:
            began = time.monotonic()
            with Acquisition([device], rate=100, seconds=0.3) as acquisition:
                acquisition.wait()
                blocks = [acquisition.read(0)[0] for _ in range(2)]
            ended = time.monotonic()
    assert len(blocks[0]) == 30 and blocks[0].taken is not None and began < blocks[0].taken <= blocks[1].taken < ended

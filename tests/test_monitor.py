"""vexlo monitor: window statistics with a host-side zero, and the view driven headless by textual's pilot."""
import asyncio
from types import SimpleNamespace

import numpy as np
import pytest

import vexlo_device_communication as vexlo
from vexlo_tools.monitor import MonitorSink, RateMeter, SampleWindow, monitor_app
from vexlo_tools.types import Stats, tared


@pytest.mark.parametrize("window, chunk", [(50, 7), (50, 50), (50, 120), (1, 3)])
def test_window_figures_are_those_of_the_latest_samples(window, chunk):
    values = np.random.default_rng(3).normal(10.0, 2.0, 333)
    stats = SampleWindow(window)
    for start in range(0, len(values), chunk):
        stats.add(values[start:start + chunk])
    latest = values[-window:]
    np.testing.assert_array_equal(stats.window(), latest)
    assert stats.summary() == pytest.approx((latest.min(), latest.max(), latest.mean()))
    assert stats.current == values[-1]


def test_tare_zeroes_on_the_window_mean_and_reset_keeps_the_zero():
    stats = SampleWindow(10)
    stats.add(np.array([4.0, 6.0]))
    stats.tare()
    assert stats.summary() is None and stats.current == pytest.approx(1.0)  # 6 - 5
    stats.add(np.array([5.5, 7.0]))
    assert stats.summary() == pytest.approx((0.5, 2.0, 1.25))
    stats.reset()
    stats.add(np.array([3.0]))
    assert stats.summary() == pytest.approx((-2.0, -2.0, -2.0))


@pytest.mark.parametrize("value, zero, shown", [
    (250.00000000000003, 250.0, 0.0),               # the subtraction's rounding: nothing
    (250.0 + 6e-5, 250.0, 6e-5),                    # about one ADC step on a 1000 N range: kept
    (1e-4 + 1e-20, 1e-4, 0.0),
    (-3e-7, 0.0, -3e-7),                            # untared values as they are
    (0.0, 0.0, 0.0),
])
def test_a_tared_value_shows_what_was_measured_and_no_rounding(value, zero, shown):
    assert tared(value, zero) == pytest.approx(shown, rel=1e-6, abs=0.0)
    assert tared(np.array([value, value]), zero).tolist() == pytest.approx([shown] * 2, rel=1e-6, abs=0.0)


def test_after_a_tare_the_same_signal_reads_exactly_0():
    values = 250.0 + np.random.default_rng(0).normal(0.0, 0.3, 1000)
    window = SampleWindow(1000)
    window.add(values)
    window.tare()
    window.add(values)
    assert window.summary()[2] == 0.0
    window.add(np.full(1, values.mean()))
    assert window.current == 0.0


def test_the_measured_rate_is_timed_when_the_counters_were_taken_not_when_the_view_reads():
    now = [0.0]
    sink = MonitorSink(clock=lambda: now[0])
    sink.open([None])
    meter = RateMeter(clock=lambda: now[0])
    for step in range(5):   # 100 samples a second; the view reads 0.3 s after each block was taken
        now[0] = float(step)
        sink.tick([Stats(received=100 * step)])
        now[0] += 0.3 * (step % 2)
        [at] = sink.counted_at()
        rate = meter.add(100 * step, at)
    assert rate == pytest.approx(100.0)


class Source:
    """Two instruments: a ramp in N around 250, a constant 12.5 kg."""

    streams = [SimpleNamespace(model="PLX310", serial_number=20240001, port="/dev/pts/7", unit="N",
                               samples_per_second=10.0),
               SimpleNamespace(model="MVR420", serial_number=20240002, port="/dev/pts/8", unit="kg",
                               samples_per_second=10.0)]

    def __init__(self):
        self.sent = 0
        self.failed = False

    def read(self, timeout=None):
        if self.sent == 10 and not self.failed:  # one instrument's port vanishes, once
            self.failed = True
            raise vexlo.VexloCommunicationError("MVR420 20240002 on /dev/pts/8: the port is gone")
        first, self.sent = self.sent, self.sent + 5
        ramp = 250.0 + np.arange(first, self.sent, dtype=float)
        return [SimpleNamespace(value=ramp, stats=SimpleNamespace(received=self.sent, overrun=0, missing=2,
                                                                  corrupted=1)),
                SimpleNamespace(value=np.full(5, 12.5), stats=SimpleNamespace(received=self.sent, overrun=3,
                                                                              missing=0, corrupted=0))]


def test_the_view_shows_figures_and_answers_its_keys():
    pytest.importorskip("textual")
    source = Source()

    def figures(app, index):
        return str(app.query_one(f"#figures-{index}").render())

    async def drive():
        app = monitor_app(source, window_seconds=2.0, poll_seconds=3600)  # polled by hand below
        async with app.run_test(size=(100, 30)) as pilot:
            for _ in range(7):  # one of them fails, and the view goes on
                app.poll()
            await pilot.pause()
            assert app.errors == ["MVR420 20240002 on /dev/pts/8: the port is gone"]
            shown = [figures(app, 0), figures(app, 1)]
            # 30 samples 250..279; the window holds the last 20: 260..279.
            assert "PLX310 20240001 on /dev/pts/7" in shown[0] and "value 279 N" in shown[0]
            assert "min 260  max 279  mean 269.5 N" in shown[0]
            assert "received 30  overrun 0  missing 2  corrupted 1" in shown[0]
            assert "value 12.5 kg" in shown[1] and "overrun 3" in shown[1]
            assert len(app.query_one("#chart-0").data) == 20
            assert "chart: the last 2 s, from 260 (bottom) to 279 N (top)" in shown[0]
            await pilot.press("t")
            assert "value 9.5 N   (tared: zero at 269.5 N)" in figures(app, 0)
            app.poll()
            await pilot.press("r")
            assert "min -  max -  mean -" in figures(app, 0)
            app.poll()
            assert "min 15.5  max 19.5  mean 17.5 N" in figures(app, 0)  # 285..289 less the zero
            await pilot.press("q")
        return app.return_value

    assert asyncio.run(drive()) == 0


def test_the_view_shows_a_real_acquisition_through_the_engine():
    pytest.importorskip("textual")
    from vexlo_tools import Acquisition, Engine, find_devices
    from vexlo_tools.monitor import MonitorSink
    from vexlo_tools.sim import SimulatedInstrument, simulated_ports

    async def drive(source):
        app = monitor_app(source, poll_seconds=0.05)
        async with app.run_test(size=(100, 30)) as pilot:
            for _ in range(400):  # until the timer has drawn samples (the stream runs in real time)
                if app.counters[0] is not None and app.counters[0].received >= 10:
                    break
                await pilot.pause(0.01)
            shown = str(app.query_one("#figures-0").render())
            await pilot.press("q")
        return shown

    with simulated_ports({"/dev/ttySIM0": SimulatedInstrument.mvr420(serial_number=77)}):
        [device] = find_devices()
        sink = MonitorSink()
        with device, Engine(Acquisition([device]), [sink]):
            shown = asyncio.run(drive(sink))
    assert "MVR420 77 on /dev/ttySIM0, 100 samples/s nominal" in shown and "value 0 N" in shown

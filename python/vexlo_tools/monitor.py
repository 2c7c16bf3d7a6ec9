"""A live terminal view of one or several instruments, built on textual.

Per instrument: the current value with its unit, the minimum, maximum and
mean over a sliding window, the rate, the loss counters and a chart of the
window. Keys: ``t`` tares (a zero kept on the host; the instrument is not
touched), ``r`` resets the statistics, ``q`` quits.

:class:`SampleWindow` is the arithmetic, free of any terminal;
:func:`monitor_app` builds the textual application around a source of
blocks: a :class:`MonitorSink` that an engine feeds (what ``vexlo
monitor`` does), or anything else with ``streams`` and ``read``, so tests
drive it headless with textual's pilot.
"""

from __future__ import annotations

import threading
import time
from typing import Any, Callable, List, Optional, Protocol, Sequence

import numpy as np
import numpy.typing as npt

import vexlo_device_communication as vexlo

from ._extras import require
from .engine import Sink
from .types import COUNTERS, Block, Stats, StreamEnd, StreamInfo, join_blocks, tared

__all__ = ["MonitorSink", "MonitorSource", "SampleWindow", "monitor_app"]

#: Bars of the chart.
CHART_POINTS = 120


class MonitorSource(Protocol):
    """Where the view gets its data: one block per instrument on each read."""

    @property
    def streams(self) -> Sequence[StreamInfo]: ...

    def read(self, timeout: Optional[float] = None) -> Sequence[Block]: ...


class MonitorSink(Sink):
    """What an engine hands the view, kept until the view's next :meth:`read`.

    The view draws on its own clock; the sink only collects, so a view
    that falls behind costs the acquisition nothing.

    :param clock: the host clock that times the counters (see :meth:`counted_at`).
    """

    name = "monitor"

    def __init__(self, clock: Callable[[], float] = time.monotonic) -> None:
        self._clock = clock
        self._lock = threading.Lock()
        self._opened = threading.Event()
        self._streams: List[StreamInfo] = []
        self._held: List[List[Block]] = []
        self._stats: List[Stats] = []
        self._counted_at: List[Optional[float]] = []
        self._failures: List[str] = []

    def open(self, streams: Sequence[StreamInfo]) -> None:
        with self._lock:
            self._streams = list(streams)
            self._held = [[] for _ in streams]
            self._stats = [Stats() for _ in streams]
            self._counted_at = [None for _ in streams]
        self._opened.set()

    @property
    def streams(self) -> Sequence[StreamInfo]:
        """The streams, once the engine has opened the sink."""
        self._opened.wait()
        return self._streams

    def write(self, block: Block) -> None:
        with self._lock:
            self._held[block.index].append(block)
            self._stats[block.index] = block.stats
            self._counted_at[block.index] = self._clock()

    def tick(self, stats: Sequence[Stats]) -> None:
        with self._lock:
            self._stats = list(stats)
            self._counted_at = [self._clock()] * len(stats)

    def counted_at(self) -> List[Optional[float]]:
        """Per stream, when the counters the last :meth:`read` gave were taken (on the sink's clock).

        A rate measured from the counters needs this time, not that of the read: the counters of a block
        are those of the moment the engine took it, some blocks before a read picks it up.
        """
        with self._lock:
            return list(self._counted_at)

    def end(self, index: int, end: StreamEnd) -> None:
        if end.reason.startswith("failed: "):
            with self._lock:
                self._failures.append(end.reason[len("failed: "):])

    def read(self, timeout: Optional[float] = None) -> Sequence[Block]:
        """One block per stream of what came since the last read (empty where nothing did).

        :raises vexlo.VexloDeviceError: an instrument failed since the last read (once).
        """
        with self._lock:
            failures, self._failures = self._failures, []
            held, self._held = self._held, [[] for _ in self._held]
            stats = list(self._stats)
        if failures:
            with self._lock:  # the samples wait for the next read
                self._held = [old + new for old, new in zip(held, self._held)]
            raise vexlo.VexloCommunicationError("; ".join(failures))
        empty_adc, empty_value = np.empty(0, np.uint32), np.empty(0, np.float64)
        return [join_blocks(blocks) if blocks else
                Block(stream.device, 0, empty_value, empty_adc, empty_value, stats[index], index)
                for index, (stream, blocks) in enumerate(zip(self._streams, held))]


class SampleWindow:
    """The latest ``window`` samples of one instrument, with a host-side zero, and their figures.

    :param window: how many of the latest samples the minimum, maximum, mean and chart cover.
    """

    def __init__(self, window: int) -> None:
        if window < 1:
            raise ValueError("the window must hold at least one sample")
        self._ring: npt.NDArray[np.float64] = np.empty(window)
        self._filled = 0
        self._next = 0
        self.zero = 0.0
        self.last: Optional[float] = None

    def add(self, values: npt.NDArray[np.float64]) -> None:
        """Take new samples (calibrated values, before the tare)."""
        values = np.asarray(values, np.float64)[-len(self._ring):]
        if not len(values):
            return
        size = len(self._ring)
        end = self._next + len(values)
        if end <= size:
            self._ring[self._next:end] = values
        else:
            split = size - self._next
            self._ring[self._next:] = values[:split]
            self._ring[:end - size] = values[split:]
        self._next = end % size
        self._filled = min(size, self._filled + len(values))
        self.last = float(values[-1])

    def _measured(self) -> npt.NDArray[np.float64]:
        """The samples of the window, oldest first, as measured."""
        if self._filled < len(self._ring):
            return self._ring[:self._filled]
        return np.concatenate((self._ring[self._next:], self._ring[:self._next]))

    def window(self) -> npt.NDArray[np.float64]:
        """The samples of the window, oldest first, tare applied."""
        return tared(self._measured(), self.zero)

    @property
    def current(self) -> Optional[float]:
        """The latest value, tare applied."""
        return None if self.last is None else tared(self.last, self.zero)

    def summary(self) -> Optional[tuple[float, float, float]]:
        """(minimum, maximum, mean) over the window, tare applied; ``None`` before any sample."""
        data = self._measured()
        if not len(data):
            return None
        # Taken as measured, then tared: the mean of tared values would keep their rounding.
        low, high, mean = tared(np.array([data.min(), data.max(), data.mean()]), self.zero)
        return float(low), float(high), float(mean)

    def tare(self) -> None:
        """Make the mean of the window the new zero (the latest value when the window is empty)."""
        data = self._ring[:self._filled]
        if len(data):
            self.zero = float(data.mean())
        self.reset()

    def untare(self) -> None:
        self.zero = 0.0

    def reset(self) -> None:
        """Forget the window; the zero stays."""
        self._filled = self._next = 0

    def chart(self, points: int = CHART_POINTS) -> List[float]:
        """The window as at most ``points`` bars: the mean of each run of samples, tare applied."""
        data = self._measured()
        if not len(data):
            return []
        runs = np.array_split(data, min(points, len(data)))
        return [float(value) for value in tared(np.array([run.mean() for run in runs]), self.zero)]


class RateMeter:
    """Samples per second from the received counter, over the last few seconds of host time."""

    def __init__(self, clock: Callable[[], float] = time.monotonic, span: float = 2.0) -> None:
        self._clock = clock
        self._span = span
        self._history: List[tuple[float, int]] = []

    def add(self, received: int, at: Optional[float] = None) -> Optional[float]:
        """Take the counter ``received`` as of host time ``at`` (default: now); return the rate, once known."""
        now = self._clock() if at is None else at
        self._history.append((now, received))
        while len(self._history) > 2 and now - self._history[1][0] >= self._span:
            self._history.pop(0)
        (t0, r0), (t1, r1) = self._history[0], self._history[-1]
        return (r1 - r0) / (t1 - t0) if t1 > t0 else None


def panel_text(stream: StreamInfo, window: SampleWindow, counters: Optional[Stats], rate: Optional[float],
               window_seconds: float, chart: Optional[Sequence[float]] = None) -> str:
    """The figures of one instrument, as the view shows them, and the scale of its ``chart`` (drawn below)."""
    unit = stream.unit
    current = window.current
    lines = [f"[b]{stream.model} {stream.serial_number}[/b] on {stream.port}, "
             f"{stream.samples_per_second:g} samples/s nominal"
             + (f", {rate:,.0f}/s measured" if rate is not None else "")]
    # Six significant digits: a mV/V signal and a load in newtons both show their noise.
    value = "-" if current is None else f"{current:.6g} {unit}"
    tare = f"   (tared: zero at {window.zero:.6g} {unit})" if window.zero else ""
    lines.append(f"value {value}{tare}")
    summary = window.summary()
    if summary is not None:
        low, high, mean = summary
        lines.append(f"min {low:.6g}  max {high:.6g}  mean {mean:.6g} {unit}  over the last {window_seconds:g} s")
    else:
        lines.append("min -  max -  mean -")
    if counters is not None:
        lines.append("  ".join(f"{name} {getattr(counters, name):,}" for name in COUNTERS))
    if chart:
        lines.append(f"chart: the last {window_seconds:g} s, from {min(chart):.6g} (bottom) to {max(chart):.6g} "
                     f"{unit} (top)")
    return "\n".join(lines)


def monitor_app(source: MonitorSource, *, window_seconds: float = 10.0, poll_seconds: float = 0.1,
                clock: Callable[[], float] = time.monotonic) -> Any:
    """The textual application showing ``source``; ``app.run()`` shows it, ``app.run_test()`` drives it.

    :param window_seconds: the span of the statistics and the chart.
    :param poll_seconds: how often the source is read and the view redrawn.
    :raises vexlo_tools._extras.MissingExtraError: textual is not installed.
    """
    require("textual", "monitor", "vexlo monitor")
    from textual.app import App, ComposeResult
    from textual.binding import Binding
    from textual.containers import Vertical
    from textual.widgets import Footer, Header, Sparkline, Static

    streams = list(source.streams)

    class MonitorApp(App[int]):
        TITLE = "vexlo monitor"
        CSS = """
        .instrument { height: auto; border: round $primary; padding: 0 1; }
        Sparkline { height: 4; }
        """
        BINDINGS = [
            Binding("t", "tare", "Tare"),
            Binding("u", "untare", "Untare"),
            Binding("r", "reset", "Reset statistics"),
            Binding("q", "quit", "Quit"),
            Binding("ctrl+c", "quit", "Quit", show=False, priority=True),
        ]

        def __init__(self) -> None:
            super().__init__()
            self.windows = [SampleWindow(max(1, int(window_seconds * s.samples_per_second))) for s in streams]
            self.counters: List[Optional[Stats]] = [None] * len(streams)
            self.rates: List[Optional[float]] = [None] * len(streams)
            self._meters = [RateMeter(clock) for _ in streams]
            self.errors: List[str] = []

        def compose(self) -> ComposeResult:
            yield Header()
            for index, _ in enumerate(streams):
                with Vertical(classes="instrument"):
                    yield Static(id=f"figures-{index}")
                    yield Sparkline([], id=f"chart-{index}")
            yield Footer()

        def on_mount(self) -> None:
            self.show()
            self.set_interval(poll_seconds, self.poll)

        def poll(self) -> None:
            """Read what arrived and redraw."""
            try:
                blocks = source.read(0)
            except vexlo.VexloDeviceError as error:
                # One instrument failed (its port vanished, say): say so; the others go on.
                self.errors.append(str(error))
                self.notify(str(error), title="instrument failed", severity="error", timeout=30)
                return
            # Counters of a sink's blocks are timed by the sink; a source read directly counts as of now.
            counted_at = source.counted_at() if isinstance(source, MonitorSink) else [None] * len(blocks)
            for index, block in enumerate(blocks):
                self.windows[index].add(block.value)
                self.counters[index] = block.stats
                self.rates[index] = self._meters[index].add(int(block.stats.received), counted_at[index])
            self.show()

        def show(self) -> None:
            for index, stream in enumerate(streams):
                window = self.windows[index]
                chart = window.chart()
                self.query_one(f"#figures-{index}", Static).update(
                    panel_text(stream, window, self.counters[index], self.rates[index], window_seconds, chart))
                self.query_one(f"#chart-{index}", Sparkline).data = chart

        def action_tare(self) -> None:
            for window in self.windows:
                window.tare()
            self.show()

        def action_untare(self) -> None:
            for window in self.windows:
                window.untare()
            self.show()

        def action_reset(self) -> None:
            for window in self.windows:
                window.reset()
            self.show()

        async def action_quit(self) -> None:
            self.exit(0)

    return MonitorApp()

"""What the live page shows, kept up to date by the consumer engine: free of any web framework.

:class:`LiveView` is a sink: it keeps the last :data:`MAX_WINDOW` seconds of
each instrument (:class:`Trace`), its counters and how its stream ended, and
builds the frames the page draws. A frame is the same for every viewer with
the same window and width, so it is built once per frame interval and shared.
:class:`Recordings` starts and stops recordings into one directory, under
names it chooses itself, and lists what is there.
"""

from __future__ import annotations

import dataclasses
import json
import logging
import math
import os
import re
import struct
import threading
import time
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from .engine import LATENCY_SECONDS, Sink
from .models import model_info
from .recording import WRITERS, RecordingSink
from .recording.limits import LimitEvent
from .recording.provenance import calibration
from .types import COUNTERS, Block, Stats, StreamEnd, StreamInfo, tared

__all__ = ["Columns", "Frame", "InstrumentView", "LiveView", "MAX_WINDOW", "MIN_WINDOW", "Recordings", "Since",
           "Trace"]

logger = logging.getLogger(__name__)

FloatArray = npt.NDArray[np.float64]
#: The chart's span can be chosen from MIN_WINDOW to MAX_WINDOW seconds.
MIN_WINDOW = 1.0
MAX_WINDOW = 600.0
#: Samples kept at full resolution; longer windows are drawn from buckets of several samples.
RAW_SAMPLES = 1 << 20
#: Buckets kept for the long windows (each its minimum, maximum and sum).
BUCKETS = 1 << 17
#: Chart widths in pixel columns a viewer may ask for.
MIN_COLUMNS, MAX_COLUMNS = 50, 4000
#: The tare's zero is the mean of this many seconds of the latest samples.
TARE_SECONDS = 1.0
#: The page counts as watched this long after its last frame was built.
WATCHED_SECONDS = 2.0
#: How long samples may wait for a page nobody watches: no frame needs them sooner, and the engine
#: and the page's sink then wake a few times a second instead of dozens.
UNWATCHED_LATENCY_SECONDS = 0.25
#: A window's columns are no longer kept once no frame asked for them for this many seconds.
VIEW_IDLE = 10.0


class Columns:
    """Minimum, maximum and sum of each run of ``width`` consecutive samples (column ``k`` holds
    samples ``k * width`` to ``(k + 1) * width - 1``), the latest ``length`` columns in rings,
    kept up to date as samples arrive: a frame reads columns, it never rereads the samples.

    :param width: samples per column.
    :param length: columns kept.
    """

    def __init__(self, width: int, length: int) -> None:
        self.width = int(width)
        self.low: FloatArray = np.zeros(length)
        self.high: FloatArray = np.zeros(length)
        self.sum: FloatArray = np.zeros(length)
        #: Samples taken in all (those before :attr:`first`'s column were never given).
        self.count = 0
        #: The oldest column that holds samples.
        self.first = 0

    @property
    def done(self) -> int:
        """Columns complete so far (the one being filled is column ``done``)."""
        return self.count // self.width

    def start_at(self, column: int) -> None:
        """Begin at column ``column`` (nothing taken yet, or the columns before it filled by :meth:`put`)."""
        self.count, self.first = column * self.width, column

    def add(self, values: FloatArray) -> None:
        """Append samples, in order."""
        if not len(values):
            return
        start, width = self.count, self.width
        # The column being filled takes the block's head, merged with what it held.
        head = min(len(values), (-start) % width)
        if head:
            part = values[:head]
            slot = (start // width) % len(self.low)
            self.low[slot] = min(self.low[slot], part.min())
            self.high[slot] = max(self.high[slot], part.max())
            self.sum[slot] += part.sum()
        rest = values[head:]
        if len(rest):
            cut = math.ceil(len(rest) / width) * width
            padded = np.pad(rest, (0, cut - len(rest)), mode="edge").reshape(-1, width)
            sums = padded.sum(axis=1)
            # The padding repeats the last value; it is not part of the sum.
            sums[-1] -= rest[-1] * (cut - len(rest))
            # A block longer than the rings keeps what they hold: the complete columns and the one being filled.
            keep = slice(-len(self.low), None)
            self.put((start + head) // width, padded.min(axis=1)[keep], padded.max(axis=1)[keep], sums[keep],
                     len(sums))
        self.count += len(values)

    def put(self, at: int, low: FloatArray, high: FloatArray, sums: FloatArray, advance: int) -> None:
        """Write the last of ``advance`` columns that start at column ``at``."""
        for ring, part in ((self.low, low), (self.high, high), (self.sum, sums)):
            _put(ring, at, part, advance)

    def tail(self, end: int, n: int) -> Tuple[FloatArray, FloatArray, FloatArray]:
        """Minimum, maximum and sum of the ``n`` columns before column ``end``, oldest first."""
        return _tail(self.low, end, n), _tail(self.high, end, n), _tail(self.sum, end, n)


def _put(ring: FloatArray, at: int, data: FloatArray, advance: int) -> None:
    """Write the tail ``data`` of ``advance`` items that start at item ``at`` into ``ring``."""
    position = (at + advance - len(data)) % len(ring)
    end = position + len(data)
    if end <= len(ring):
        ring[position:end] = data
    else:
        split = len(ring) - position
        ring[position:] = data[:split]
        ring[:end - len(ring)] = data[split:]


def _tail(ring: FloatArray, end: int, n: int) -> FloatArray:
    """The ``n`` items before item ``end`` of ``ring``, oldest first."""
    start = (end - n) % len(ring)
    stop = end % len(ring)
    if start < stop or n == 0:
        return ring[start:start + n]
    return np.concatenate((ring[start:], ring[:stop]))


class Trace:
    """The latest samples of one instrument: the last :data:`RAW_SAMPLES` as they are,
    :data:`MAX_WINDOW` seconds in :class:`Columns` of ``bucket`` samples, and the columns of each
    window and width a frame was asked for lately, each kept up to date as samples arrive.

    :param samples_per_second: the stream's nominal rate (fixes how many samples a window holds).
    :param clock: monotonic seconds, to forget the columns of a width nobody asks for any more.
    """

    def __init__(self, samples_per_second: float, clock: Callable[[], float] = time.monotonic) -> None:
        self.rate = float(samples_per_second)
        span = max(1, math.ceil(self.rate * MAX_WINDOW))
        self.raw: FloatArray = np.zeros(min(span, RAW_SAMPLES))
        self.bucket = max(1, math.ceil(span / BUCKETS))
        self.buckets = Columns(self.bucket, math.ceil(span / self.bucket) + 1)
        #: Samples taken in all.
        self.count = 0
        self.last: Optional[float] = None
        self._clock = clock
        #: The columns of each (seconds, columns) asked for, with when they were last asked for.
        self._views: Dict[Tuple[float, int], Tuple[Columns, float]] = {}

    def add(self, values: FloatArray) -> None:
        """Append samples, in order."""
        if not len(values):
            return
        _put(self.raw, self.count, values[-len(self.raw):], len(values))
        self.buckets.add(values)
        now = self._clock()
        for key, (columns, asked) in list(self._views.items()):
            if now - asked > VIEW_IDLE:
                del self._views[key]
            else:
                columns.add(values)
        self.count += len(values)
        self.last = float(values[-1])

    def recent(self, seconds: float) -> FloatArray:
        """The samples of the last ``seconds`` (at most :data:`RAW_SAMPLES`), oldest first."""
        n = min(self.count, len(self.raw), max(1, round(seconds * self.rate)))
        return _tail(self.raw, self.count, n)

    def width(self, seconds: float, columns: int) -> int:
        """Samples per column of the chart of ``seconds`` in ``columns`` pixel columns: windows longer than
        the samples kept as they are take whole buckets."""
        wanted = max(1, math.ceil(seconds * self.rate))
        width = max(1, math.ceil(wanted / columns))
        if wanted + width > len(self.raw):
            width = math.ceil(width / self.bucket) * self.bucket
        return width

    def columns(self, seconds: float, columns: int) -> Columns:
        """The columns of the chart of ``seconds`` in ``columns`` pixel columns, from now on kept up to
        date (until nobody asks for them for :data:`VIEW_IDLE` seconds)."""
        key = (seconds, columns)
        found = self._views.get(key)
        view = found[0] if found is not None else self._seeded(self.width(seconds, columns), columns + 2)
        self._views[key] = (view, self._clock())
        return view

    def _seeded(self, width: int, length: int) -> Columns:
        """New columns of ``width`` samples holding what is kept of the latest ``length``."""
        view = Columns(width, length)
        done = self.count // width
        first = max(0, done - length + 1)
        if self.count - first * width <= len(self.raw):
            view.start_at(first)
            view.add(_tail(self.raw, self.count, self.count - first * width))
            return view
        # Older than the samples kept: whole columns from the buckets (``width`` is a whole number of them).
        per = width // self.bucket
        held = self.buckets.done - (len(self.buckets.low) - 1)
        first = max(first, -(-held // per))
        n = done - first
        low, high, sums = self.buckets.tail(done * per, n * per)
        view.start_at(first)
        view.put(first, low.reshape(n, per).min(axis=1), high.reshape(n, per).max(axis=1),
                 sums.reshape(n, per).sum(axis=1), n)
        view.count = done * width
        view.add(_tail(self.raw, self.count, min(len(self.raw), self.count - done * width)))
        return view


class Since(NamedTuple):
    """What a viewer was last sent: the instruments' generation, and per instrument the column its
    next frame begins at and the zero the columns sent were tared by."""

    generation: int
    marks: Tuple[Tuple[int, float], ...]


class Frame(NamedTuple):
    """A frame of the page (see :meth:`InstrumentView.frame`) and what it leaves its viewer with."""

    data: bytes
    since: Since


@dataclass
class _Instrument:
    trace: Trace
    stats: Stats
    zero: float = 0.0
    expected: int = 0
    skipped: int = 0
    ended: Optional[str] = None
    #: What a frame says of it beyond the local page's figures (a fleet's spool counters, its last event).
    extra: Dict[str, Any] = dataclasses.field(default_factory=dict)


def limit_badge(event: Dict[str, Any]) -> Dict[str, Any]:
    """What an instrument's card shows of its last limit event (kept as a recording keeps it)."""
    return {key: event[key] for key in ("condition", "value", "utc", "sample")}


def stream_facts(stream: StreamInfo) -> Dict[str, Any]:
    """What the page says about an instrument."""
    source = str(calibration(stream.device)["calibration"])
    try:
        rates = list(model_info(stream.model).offered_rates(stream.item_number))
    except ValueError:
        rates = [stream.samples_per_second]
    return {"model": stream.model, "serial_number": int(stream.serial_number), "port": stream.port,
            "unit": stream.unit, "samples_per_second": float(stream.samples_per_second),
            "firmware": stream.firmware, "item_number": stream.item_number, "calibration": source,
            "rates": rates}


class InstrumentView:
    """What the page shows of a set of instruments, whoever feeds it: facts, traces, counters, frames.

    :class:`LiveView` feeds it from this computer's acquisition,
    :class:`vexlo_tools.mqtt.fleet.FleetView` from a broker; the page takes either. Its state is
    changed under :attr:`_lock` and read by :meth:`frame` from the web server's threads.

    :param clock: host time in seconds, for the frames' stamps.
    """

    def __init__(self, clock: Callable[[], float] = time.time) -> None:
        self._lock = threading.Lock()
        self._instruments: List[_Instrument] = []
        self._facts: List[Dict[str, Any]] = []
        self._clock = clock
        #: Raised each time the instruments change (a new acquisition): viewers fetch the facts again.
        self.generation = 0

    def facts(self) -> List[Dict[str, Any]]:
        """Model, serial number, port, unit, rate, firmware and calibration source of each instrument."""
        return self.described()[1]

    def described(self) -> Tuple[int, List[Dict[str, Any]]]:
        """The generation and the facts of its instruments, taken together."""
        with self._lock:
            return self.generation, list(self._facts)

    def tare(self, index: Optional[int] = None) -> None:
        """Make the mean of the latest second its zero, of instrument ``index`` or of each (on this
        computer; the files keep the values as measured)."""
        with self._lock:
            for instrument in self._chosen(index):
                if instrument.trace.count:
                    instrument.zero = float(instrument.trace.recent(TARE_SECONDS).mean())

    def untare(self, index: Optional[int] = None) -> None:
        """Remove the zero of instrument ``index``, or of each."""
        with self._lock:
            for instrument in self._chosen(index):
                instrument.zero = 0.0

    def _chosen(self, index: Optional[int]) -> List[_Instrument]:
        return self._instruments if index is None else self._instruments[index:index + 1]

    def _head(self) -> Dict[str, Any]:
        """What a frame says beyond its instruments (called under the lock)."""
        return {}

    def frame(self, seconds: float, columns: int, since: Optional[Since] = None) -> Frame:
        """One frame of the page: the figures of every instrument as JSON, then the chart's columns
        that are new since the frame ``since`` stands for (its :attr:`Frame.since`), or the whole
        window (without ``since``, when the instruments or an instrument's zero changed since, or
        when the columns after it are no longer kept).

        Layout: a little-endian ``uint32`` length of the JSON text, the text (padded with spaces to
        a multiple of 4 bytes), then per instrument the minimum and the maximum of each column sent
        as ``float32`` (``points`` of each). An instrument's ``first`` is the number of its first
        column sent, ``step`` the seconds each column spans (column ``k`` begins ``k * step`` seconds
        into the samples the page took), ``whole`` whether the columns replace the chart's rather than
        follow them, and ``end`` the seconds its chart ends at.
        """
        seconds = min(MAX_WINDOW, max(MIN_WINDOW, seconds))
        columns = min(MAX_COLUMNS, max(MIN_COLUMNS, columns))
        figures: List[Dict[str, Any]] = []
        arrays: List[bytes] = []
        marks: List[Tuple[int, float]] = []
        with self._lock:
            given = since.marks if since is not None and since.generation == self.generation \
                and len(since.marks) == len(self._instruments) else None
            for i, instrument in enumerate(self._instruments):
                trace, zero = instrument.trace, instrument.zero
                entry: Dict[str, Any] = {
                    "counters": {name: int(getattr(instrument.stats, name)) for name in COUNTERS},
                    "dropped": instrument.skipped, "ended": instrument.ended, "zero": zero,
                    "samples": trace.count, "points": 0, "first": 0, "whole": True, "step": 0.0, "end": 0.0,
                    **instrument.extra}
                view = trace.columns(seconds, columns)
                done = view.done
                shown = min(done - view.first, math.ceil(seconds * trace.rate / view.width))
                if given is not None and given[i][1] == zero and done - shown <= given[i][0] <= done:
                    start, whole = given[i][0], False
                else:
                    start, whole = done - shown, True
                low, high, sums = view.tail(done, shown)
                if shown:
                    # tared: a value equal to the zero is 0, not the subtraction's rounding (1.78e-15)
                    value, least, most, mean = tared(np.array(
                        [trace.last or 0.0, low.min(), high.max(), sums.sum() / (shown * view.width)]), zero).tolist()
                    entry.update(value=_number(value), min=_number(least), max=_number(most), mean=_number(mean))
                elif trace.count:
                    entry.update(value=_number(float(tared(np.array([trace.last or 0.0]), zero)[0])))
                new = done - start
                entry.update(points=new, first=start, whole=whole, step=view.width / trace.rate,
                             end=done * view.width / trace.rate)
                arrays += [tared(low[shown - new:], zero).astype("<f4").tobytes(),
                           tared(high[shown - new:], zero).astype("<f4").tobytes()]
                marks.append((done, zero))
                figures.append(entry)
            head = {"time": self._clock(), "window": seconds, "generation": self.generation,
                    "instruments": figures, **self._head()}
            generation = self.generation
        text = json.dumps(head).encode()
        text += b" " * (-len(text) % 4)
        return Frame(b"".join([struct.pack("<I", len(text)), text, *arrays]), Since(generation, tuple(marks)))


class LiveView(InstrumentView, Sink):
    """The live page's sink: the latest samples, counters and ends of every instrument.

    Its methods are called from the engine's thread for the sink, and :meth:`frame` from the web
    server's: a lock keeps them apart, held only for copies and arithmetic on arrays.

    :param clock: host time in seconds, for the frames' stamps.
    """

    name = "live page"
    queue_blocks = 256
    #: The engine's default while the page is watched (a frame was built within WATCHED_SECONDS), longer else.
    latency_seconds = UNWATCHED_LATENCY_SECONDS
    _watched_at = -math.inf

    def __init__(self, clock: Callable[[], float] = time.time) -> None:
        super().__init__(clock)
        #: Whether a run is open; limit events that come before it opens wait in ``_early``.
        self._running = False
        self._early: List[LimitEvent] = []

    # The sink's side.
    def open(self, streams: Sequence[StreamInfo]) -> None:
        instruments = [_Instrument(Trace(s.samples_per_second), Stats()) for s in streams]
        facts = [stream_facts(s) for s in streams]
        with self._lock:
            self._instruments = instruments
            self._facts = facts
            self.generation += 1
            self._running = True
            early, self._early = self._early, []
        for event in early:
            self.limit(event)

    def write(self, block: Block) -> None:
        with self._lock:
            instrument = self._instruments[block.index]
            # Blocks the engine dropped for this sink (its queue was full) leave a hole: the chart
            # closes it up, and the page shows how many samples it lacks.
            instrument.skipped += max(0, block.first_index - instrument.expected)
            instrument.expected = block.first_index + len(block.value)
            instrument.trace.add(np.asarray(block.value, np.float64))
            instrument.stats = block.stats

    def tick(self, stats: Sequence[Stats]) -> None:
        with self._lock:
            for instrument, counters in zip(self._instruments, stats):
                instrument.stats = counters
        if time.monotonic() - self._watched_at >= WATCHED_SECONDS:
            self.latency_seconds = UNWATCHED_LATENCY_SECONDS

    def end(self, index: int, end: StreamEnd) -> None:
        with self._lock:
            self._instruments[index].ended = end.reason

    def close(self) -> None:
        with self._lock:
            self._running = False

    def limit(self, event: LimitEvent) -> None:
        """A listener of a :class:`~vexlo_tools.recording.LimitSink`: the card shows the instrument's last event.

        The engine opens each sink on its own thread: an event of a run this view has not opened yet waits
        for it.
        """
        with self._lock:
            if not self._running:
                self._early.append(event)
            else:
                self._instruments[event.index].extra["event"] = limit_badge(event.metadata())

    # The page's side.
    def frame(self, seconds: float, columns: int, since: Optional[Since] = None) -> Frame:
        # Watched: samples go to the page as they come (the engine reads at its default pace).
        self._watched_at = time.monotonic()
        self.latency_seconds = LATENCY_SECONDS
        return super().frame(seconds, columns, since)

    def ended(self) -> List[Tuple[str, Optional[str]]]:
        """Each instrument's port and how its stream ended (``None`` while it runs)."""
        with self._lock:
            return [(facts["port"], instrument.ended) for facts, instrument in zip(self._facts, self._instruments)]


def _number(value: float) -> Optional[float]:
    """JSON has no NaN: an empty window's figures are ``null``."""
    return None if math.isnan(value) else value


def _still_there(sink: RecordingSink) -> None:
    """A file removed while written (its folder deleted) takes writes that land nowhere: say so.

    :raises FileNotFoundError: naming the file gone.
    """
    for path in sink.progress.paths:
        if not os.path.exists(path):
            raise FileNotFoundError(f"{path} was removed while it was written")


#: What a recording's name looks like: the server's own names only.
_NAME = re.compile(r"^vexlo-\d{8}-\d{6}[A-Za-z0-9-]*\.[a-z0-9]+$")


class Recordings(Sink):
    """Recordings started and stopped from the page, all in ``directory``, under names the server gives.

    A sink that stays on the engine for the whole run and hands the blocks to a
    :class:`~vexlo_tools.recording.RecordingSink` only while a recording is on. A recording is
    a run of its own: its time, sample numbers, start time and counters count from its start
    (``received`` is then what the file holds, ``overrun`` aside). Stopped from the page it ends
    as ``"completed"``, complete when it lost nothing. A recording that fails (a full disk, its
    folder removed) ends alone, with its error in :meth:`status`; the page and the run go on.

    :param directory: where the files go (created if missing).
    """

    name = "recordings"

    def __init__(self, directory: Union[str, os.PathLike[str]]) -> None:
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        self._lock = threading.Lock()
        self._streams: List[StreamInfo] = []
        #: Per stream, the counters of its latest block and the sample number that follows it.
        self._latest: List[Stats] = []
        self._next: List[int] = []
        #: Per stream, when the recording started: the counters, and the first sample number it takes.
        self._base: List[Stats] = []
        self._first: List[int] = []
        #: Per stream, samples the engine dropped for this sink while recording.
        self._dropped: List[int] = []
        self._ended: List[bool] = []
        self._sink: Optional[RecordingSink] = None
        #: How the last recording ended (its status), until the next one starts.
        self._last: Optional[Dict[str, Any]] = None

    @staticmethod
    def suffixes() -> List[str]:
        """The suffix of each format a recording can be written in."""
        return sorted({writer.suffixes[0] for writer in WRITERS.values()})

    # The sink's side.
    def open(self, streams: Sequence[StreamInfo]) -> None:
        with self._lock:
            self._finish()
            self._streams = list(streams)
            self._latest = [Stats() for _ in streams]
            self._next = [0] * len(streams)
            self._ended = [False] * len(streams)

    def write(self, block: Block) -> None:
        with self._lock:
            index = block.index
            self._latest[index] = block.stats
            expected, self._next[index] = self._next[index], block.first_index + len(block)
            if self._sink is not None:
                self._dropped[index] += max(0, block.first_index - expected)
                # Sample numbers from the recording's first; times from them, as the stream's are.
                number = block.first_index - self._first[index]
                times = (number + np.arange(len(block), dtype=np.float64)) / self._streams[index].samples_per_second
                moved = dataclasses.replace(block, first_index=number, time=times,
                                            stats=self._since_start(index, block.stats))
                self._guarded(lambda sink: sink.write(moved))

    def tick(self, stats: Sequence[Stats]) -> None:
        with self._lock:
            if self._sink is not None:
                since = [self._since_start(i, s) for i, s in enumerate(stats)]
                self._guarded(lambda sink: sink.tick(since))
            if self._sink is not None:
                self._guarded(_still_there)

    def end(self, index: int, end: StreamEnd) -> None:
        with self._lock:
            self._ended[index] = True
            if self._sink is not None:
                moved = dataclasses.replace(end, start_utc=self._started(index, end.start_utc),
                                            stats=self._since_start(index, end.stats))
                self._guarded(lambda sink: sink.end(index, moved))

    def close(self) -> None:
        with self._lock:
            self._finish()

    def limit(self, event: LimitEvent) -> None:
        """A listener of a :class:`~vexlo_tools.recording.LimitSink`: the recording that is on keeps the
        event, its sample number and time counted from the recording's start, as its samples are."""
        with self._lock:
            if self._sink is None or event.sample < self._first[event.index]:
                return
            sample = event.sample - self._first[event.index]
            kept = event.metadata()
            kept.update(sample=sample, time_s=sample / self._streams[event.index].samples_per_second)
            self._sink.add_event(event.index, kept)

    def _since_start(self, index: int, stats: Stats) -> Stats:
        base = self._base[index]
        return Stats(**{name: getattr(stats, name) - getattr(base, name) for name in COUNTERS})

    def _started(self, index: int, stream_start: Optional[datetime]) -> datetime:
        """When the recording's first sample of stream ``index`` was taken."""
        offset = timedelta(seconds=self._first[index] / self._streams[index].samples_per_second)
        return (stream_start or datetime.now(timezone.utc)) + offset

    def _guarded(self, call: Callable[[RecordingSink], None]) -> None:
        """``call`` the recording; one that fails ends alone, closed as far as it can be, with its error kept."""
        assert self._sink is not None
        try:
            call(self._sink)
        except Exception as error:
            sink, self._sink = self._sink, None
            logger.error("recording %s failed: %s", Path(sink.path).name, error)
            try:
                sink.close()
            except Exception as closing:
                logger.error("recording %s could not be closed: %s", Path(sink.path).name, closing)
            self._last = self._status(sink, on=False, error=f"failed: {error}")

    def _finish(self) -> None:
        """End the recording that is on: streams still running end as stopped, complete if nothing was lost."""
        sink = self._sink
        if sink is None:
            return
        now = datetime.now(timezone.utc)
        for index, stream in enumerate(self._streams):
            if not self._ended[index] and self._sink is not None:
                counted = self._since_start(index, self._latest[index])
                lost = counted.overrun + counted.missing + self._dropped[index]
                end = StreamEnd("completed", lost == 0, self._started(index, stream.start_utc), now, counted)
                self._guarded(lambda sink: sink.end(index, end))
        if self._sink is not None:
            self._guarded(lambda sink: sink.close())
        if self._sink is not None:
            self._sink = None
            self._last = self._status(sink, on=False)

    def _status(self, sink: RecordingSink, on: bool, error: Optional[str] = None) -> Dict[str, Any]:
        progress = sink.progress
        if error is None and progress.errors:
            error = "failed: " + "; ".join(progress.errors)
        return {"on": on, "file": ", ".join(Path(p).name for p in progress.paths), "size": progress.file_size,
                "elapsed": progress.elapsed, "error": error,
                "counters": [{name: int(getattr(stats, name)) for name in COUNTERS} for stats in progress.stats]}

    # The page's side.
    def start(self, suffix: str) -> str:
        """Start a recording in the format of ``suffix``; return its file name.

        :raises ValueError: not a suffix of a format, no instruments, or a recording is on.
        """
        if suffix not in self.suffixes():
            raise ValueError(f"no recording format {suffix!r}; choose from {', '.join(self.suffixes())}")
        with self._lock:
            if self._sink is not None:
                raise ValueError(f"already recording into {Path(self._sink.path).name}")
            if not self._streams:
                raise ValueError("no instruments to record")
            stamp = datetime.now(timezone.utc).strftime("vexlo-%Y%m%d-%H%M%S")
            taken = {name.split(".")[0] for name in os.listdir(self.directory)}
            stem, number = stamp, 1
            # Several instruments in CSV make one file each, named after the stem.
            while any(name == stem or name.startswith(stem + "-") for name in taken):
                number += 1
                stem = f"{stamp}-{number}"
            sink = RecordingSink(self.directory / f"{stem}{suffix}")
            self._first = list(self._next)
            sink.open([dataclasses.replace(stream, start_utc=self._started(i, stream.start_utc))
                       for i, stream in enumerate(self._streams)])
            self._sink, self._base = sink, list(self._latest)
            self._dropped = [0] * len(self._streams)
            self._last = None
            return Path(sink.path).name

    def stop(self) -> Optional[str]:
        """End the recording that is on, if any; return its file name."""
        with self._lock:
            name = Path(self._sink.path).name if self._sink is not None else None
            self._finish()
            return name

    def status(self) -> Optional[Dict[str, Any]]:
        """The recording that is on (``"on"``), else how the last one ended (``"error"`` if it failed):
        its file(s), their size in bytes, its seconds and its counters from its start; ``None`` before any."""
        with self._lock:
            if self._sink is None:
                return self._last
            return self._status(self._sink, on=True)

    def files(self) -> Dict[str, Path]:
        """The recordings in the directory by name (only names the server gives, regular files only)."""
        found: Dict[str, Path] = {}
        for entry in os.scandir(self.directory):
            if _NAME.match(entry.name) and entry.is_file(follow_symlinks=False):
                found[entry.name] = Path(entry.path)
        return dict(sorted(found.items()))

"""One consumer engine: every block of an acquisition to every sink, each sink on its own thread.

An :class:`Engine` is the one reader of an :class:`~vexlo_tools.Acquisition`
(as python-can's ``Notifier`` is of a bus). It hands each block to every
:class:`Sink` (a file writer, the status line, the terminal view, a user's
callback, the live page, a network publisher) through the sink's own
bounded queue, served by the sink's own thread::

    from vexlo_tools import Acquisition, find_devices
    from vexlo_tools.engine import Engine, Sink

    class Peak(Sink):
        def open(self, streams):
            self.peak = [float("-inf")] * len(streams)

        def write(self, block):
            self.peak[block.index] = max(self.peak[block.index], block.value.max())

    peak = Peak()
    with Engine(Acquisition(find_devices(), samples=100), [peak]) as engine:
        engine.wait()
    print(peak.peak)

A slow sink never holds up the readers or the other sinks: blocks beyond
its queue are dropped for it alone and counted (:meth:`Engine.dropped`). A
sink that raises ends alone (its :meth:`Sink.close` is still called); its
error reaches the caller from :meth:`Engine.stop` at the latest.
"""

from __future__ import annotations

import collections
import dataclasses
import logging
import threading
import time
import weakref
from datetime import datetime, timezone
from types import TracebackType
from typing import Any, Callable, Deque, Dict, List, Optional, Sequence, Tuple, Type

from .types import Block, Stats, StreamEnd, StreamInfo, join_blocks

__all__ = ["CallbackSink", "Engine", "Sink"]

logger = logging.getLogger("vexlo_tools.engine")

#: Blocks a sink's queue holds unless the sink says otherwise: at the
#: engine's pace of about ten reads a second, several minutes.
QUEUE_BLOCKS = 4096
#: How long samples may wait in the acquisition for a sink that says nothing else: at
#: most fifty reads a second, less than a frame of a live view. A reader that reads
#: every few milliseconds would otherwise wake the engine and every sink as often.
LATENCY_SECONDS = 0.02
#: How often :meth:`Engine.run`, waiting on the run's end, looks at its ``until`` and
#: whether a sink has failed: the streams' end and Ctrl-C wake it at once.
RUN_LOOK_SECONDS = 0.25
#: The step of a given pause (a test's virtual clock) between two looks.
PAUSE_STEP_SECONDS = 0.01
#: How long stopping waits for a sink that has not returned from one call (a write to
#: a hung network share, say): then it is left behind as failed. A sink that takes its
#: items, however slowly, is waited for.
SINK_STUCK_SECONDS = 60.0


class Sink:
    """A consumer of an acquisition's blocks; subclass it and override what you need.

    Every call comes on the sink's own thread, in this order: :meth:`open`,
    then any of :meth:`write`, :meth:`tick` and :meth:`end`, then
    :meth:`close`, which comes last whatever happened before. Blocks are
    shared between sinks: read them, do not change them.

    :ivar name: how messages name the sink (default: its class name).
    :ivar queue_blocks: the most blocks waiting for the sink; blocks beyond
        are dropped for this sink only, and counted.
    :ivar latency_seconds: how long samples may wait in the acquisition
        before the sink gets them (0: at every news from the readers). The
        engine reads as often as its most hurried sink asks; a sink that can wait
        (a file writer) gets fewer, larger blocks, and the engine and the
        sink wake less often. Under :data:`LATENCY_SECONDS`, the acquisition's
        readers are in a hurry too (they read every few milliseconds). The
        engine looks at it before every read: a sink may change it while it
        runs (the live page does, while nobody watches).
    """

    name: str = ""
    queue_blocks: int = QUEUE_BLOCKS
    latency_seconds: float = LATENCY_SECONDS

    def open(self, streams: Sequence[StreamInfo]) -> None:
        """The run starts: one :class:`StreamInfo` per stream, ``block.index`` indexes them."""

    def write(self, block: Block) -> None:
        """A non-empty block; per stream, blocks come in order."""

    def tick(self, stats: Sequence[Stats]) -> None:
        """About every ``tick_seconds`` of the engine, data or not: every stream's counters."""

    def end(self, index: int, end: StreamEnd) -> None:
        """Stream ``index`` ended (its planned samples, a failure, or stopped); no block of it follows."""

    def close(self) -> None:
        """The last call."""


class CallbackSink(Sink):
    """Calls ``fn(block)`` with blocks of at least ``every_samples`` samples of one stream.

    Blocks of a stream are joined until they hold that many; what is left
    when the stream ends is handed over then.
    """

    def __init__(self, fn: Callable[[Block], None], every_samples: int = 1) -> None:
        if every_samples < 1:
            raise ValueError("every_samples must be at least 1")
        self.fn = fn
        self.every = every_samples
        self.name = getattr(fn, "__qualname__", "callback")
        self._held: Dict[int, List[Block]] = {}

    def write(self, block: Block) -> None:
        held = self._held.setdefault(block.index, [])
        held.append(block)
        if sum(len(b) for b in held) >= self.every:
            self._hand_over(block.index)

    def end(self, index: int, end: StreamEnd) -> None:
        self._hand_over(index)

    def close(self) -> None:
        for index in list(self._held):
            self._hand_over(index)

    def _hand_over(self, index: int) -> None:
        held = self._held.pop(index, [])
        if held:
            self.fn(join_blocks(held))


def _name(sink: Sink) -> str:
    return sink.name or type(sink).__name__


def _failure_text(error: BaseException) -> str:
    return str(error) or type(error).__name__


class _Feed:
    """One sink's queue and thread."""

    def __init__(self, sink: Sink, streams: Sequence[StreamInfo], failed: threading.Event) -> None:
        self.sink = sink
        self.failed = failed
        self.streams = list(streams)
        self.items: Deque[Tuple[str, Any]] = collections.deque()
        self.blocks = 0
        self.dropped = 0
        self.handled = 0  # items taken so far: how finish() tells slow from stuck
        self.error: Optional[BaseException] = None
        self.changed = threading.Condition()
        self.thread = threading.Thread(target=self._run, name=f"vexlo sink {_name(sink)}", daemon=True)

    def put(self, kind: str, payload: Any) -> None:
        with self.changed:
            if self.error is not None:
                return
            if kind == "block":
                if self.blocks >= self.sink.queue_blocks:
                    self.dropped += len(payload)
                    return
                self.blocks += 1
            elif kind == "tick" and self.items and self.items[-1][0] == "tick":
                self.items[-1] = (kind, payload)  # a sink behind needs only the latest counters
                return
            self.items.append((kind, payload))
            self.changed.notify()

    def _next(self) -> Tuple[str, Any]:
        with self.changed:
            while not self.items:
                self.changed.wait()
            kind, payload = self.items.popleft()
            self.handled += 1
            if kind == "block":
                self.blocks -= 1
            return kind, payload

    def _run(self) -> None:
        sink = self.sink
        try:
            sink.open(self.streams)
            while True:
                kind, payload = self._next()
                if kind == "block":
                    sink.write(payload)
                elif kind == "tick":
                    sink.tick(payload)
                elif kind == "end":
                    sink.end(*payload)
                else:
                    break
        except BaseException as error:  # handed to the engine's caller
            logger.error("sink %s failed: %s", _name(sink), error)
            with self.changed:
                self.error = error
                self.items.clear()
                self.blocks = 0
            self.failed.set()
        try:
            sink.close()
        except BaseException as error:
            logger.error("sink %s failed to close: %s", _name(sink), error)
            with self.changed:
                self.error = self.error or error

    def finish(self) -> None:
        """Let the sink take what is queued, close it and wait for its thread.

        A sink that has taken nothing for :data:`SINK_STUCK_SECONDS` is left
        behind (its thread is a daemon) with a :class:`TimeoutError` as its error.
        """
        with self.changed:
            self.items.append(("close", None))
            self.changed.notify()
        if self.thread is threading.current_thread():
            return
        handled = -1
        while self.thread.is_alive():
            if self.handled == handled:
                stuck = TimeoutError(f"sink {_name(self.sink)} has not returned from a call for "
                                     f"{SINK_STUCK_SECONDS:g} s: left behind, and what it wrote may be incomplete")
                with self.changed:
                    if self.error is None:
                        self.error = stuck
                    else:  # failed already, then stuck in close: its first error is the one raised
                        logger.error("%s", stuck)
                return
            handled = self.handled
            self.thread.join(SINK_STUCK_SECONDS)


def _pump(engine_ref: "weakref.ref[Engine]") -> None:
    """The engine's reading. It holds the engine only while it reads, so that an engine (and
    its acquisition) that nobody keeps can be collected, and the acquisition warn and stop."""
    next_tick: Optional[float] = 0.0  # a first tick at once
    while True:
        engine = engine_ref()
        if engine is None:
            return
        try:
            waiter: Optional[Callable[[float, bool], object]] = getattr(engine.acquisition, "waiter", None)
            gather, (pace, hurried) = engine._stopping, engine._pace()
            next_tick = engine._step(next_tick or 0.0, wait=waiter is None)
        except BaseException as error:  # stop() hands the sinks the rest and the ends
            engine._reading_failed(error)
            return
        if next_tick is None:
            engine._end_all()
            return
        del engine
        try:
            if waiter is not None:
                # Waiting for samples holds neither the engine nor the acquisition.
                waiter(next_tick - time.monotonic(), hurried)
            if pace:
                # Then more gather, up to the tick, unless the engine stops.
                gather.wait(min(pace, next_tick - time.monotonic()))
        except BaseException as error:
            engine = engine_ref()
            if engine is not None:
                engine._reading_failed(error)
            return


class Engine:
    """Reads an acquisition and feeds every sink; a context manager (entering starts, leaving stops).

    :param acquisition: an :class:`~vexlo_tools.Acquisition`, started or not
        (the engine starts it if needed and stops it at the end). The engine
        is its only reader: do not call its ``read`` meanwhile.
    :param sinks: the sinks fed from the start.
    :param tick_seconds: how often each sink gets :meth:`Sink.tick`.
    """

    def __init__(self, acquisition: Any, sinks: Sequence[Sink] = (), *, tick_seconds: float = 0.5) -> None:
        if not tick_seconds > 0:
            raise ValueError("tick_seconds must be more than 0")
        self.acquisition = acquisition
        self.tick_seconds = tick_seconds
        self._sinks: List[Sink] = list(sinks)
        self._feeds: Dict[int, _Feed] = {}
        self._lock = threading.Lock()
        self._streams: List[StreamInfo] = []
        self._ends: List[Optional[StreamEnd]] = []
        self._all_ended = threading.Event()
        # Set when every stream has ended or a sink has failed: either ends run().
        self._over = threading.Event()
        self._failures: List[BaseException] = []
        #: What ended the engine's reading thread, if anything did: the streams not over
        #: by then end with it as their reason.
        self._failure: Optional[BaseException] = None
        self._over_before_failure: List[bool] = []
        self._retired: List[_Feed] = []
        self._pump: Optional[threading.Thread] = None
        #: Set once stopping begins: it also ends the pump's wait while samples gather.
        self._stopping = threading.Event()
        self._acquisition_stopped = False
        self._stopped = False

    # ------------------------------------------------------------ sinks

    def add(self, sink: Sink) -> None:
        """Feed ``sink`` too; while running it opens at once and gets the blocks from now on."""
        with self._lock:
            if any(s is sink for s in self._sinks):
                raise ValueError(f"sink {_name(sink)} is already fed by this engine")
            self._sinks.append(sink)
            if self._pump is not None and not self._stopping.is_set():
                self._start_feed(sink)

    def remove(self, sink: Sink) -> None:
        """Stop feeding ``sink``: it takes what is queued for it, then closes.

        Its error, if it failed, still reaches the caller from :meth:`stop`.
        """
        with self._lock:
            self._sinks = [s for s in self._sinks if s is not sink]
            feed = self._feeds.pop(id(sink), None)
        if feed is not None:
            feed.finish()
            self._retired.append(feed)

    def dropped(self, sink: Sink) -> int:
        """Samples dropped for ``sink`` because its queue was full (0 for a sink never fed)."""
        feed = self._feeds.get(id(sink)) or next((f for f in self._retired if f.sink is sink), None)
        return 0 if feed is None else feed.dropped

    def _start_feed(self, sink: Sink) -> None:
        feed = _Feed(sink, self._streams, self._over)
        # The ends so far, so that a sink added late knows which streams are over.
        for index, end in enumerate(self._ends):
            if end is not None:
                feed.put("end", (index, end))
        self._feeds[id(sink)] = feed
        feed.thread.start()

    def _pace(self) -> Tuple[float, bool]:
        """How long samples may gather between two reads (what the most hurried sink allows), and whether
        a sink allows less than the default latency (the acquisition's readers then wake every few
        milliseconds while the engine waits for them, else seldom). Asked before every read: a sink
        may change its ``latency_seconds`` while it runs."""
        with self._lock:
            latencies = [max(0.0, feed.sink.latency_seconds) for feed in self._feeds.values()]
        return min(latencies, default=0.0), any(latency < LATENCY_SECONDS for latency in latencies)

    # ------------------------------------------------------------ running

    def start(self) -> None:
        """Start the acquisition (unless it runs already), the sinks and the engine's reading.

        :raises RuntimeError: started before.
        """
        if self._pump is not None:
            raise RuntimeError("the engine has already been started")
        if not self.acquisition.running:
            self.acquisition.start()
        with self._lock:
            self._streams = list(self.acquisition.streams)
            self._ends = [None] * len(self._streams)
            for sink in self._sinks:
                self._start_feed(sink)
            self._pump = threading.Thread(target=_pump, args=(weakref.ref(self),), name="vexlo engine",
                                          daemon=True)
            consumer = getattr(self.acquisition, "_set_consumer", None)
            if consumer is not None:
                consumer(self._pump)  # a read() elsewhere would take blocks the sinks never see
            self._pump.start()

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Wait until every stream has ended (a finite run done, or failed); return whether they have."""
        return self._all_ended.wait(timeout)

    def _step(self, next_tick: float, wait: bool = True) -> Optional[float]:
        """One read of the acquisition (waiting for samples until the next tick, if ``wait``),
        handed to the sinks; the time of the next tick, ``None`` at the end."""
        acquisition = self.acquisition
        # Seen before the read: a stream over by then has all its samples in this read.
        running = acquisition.running
        ends = list(acquisition.ends)
        try:
            blocks = acquisition.read(timeout=max(0.0, next_tick - time.monotonic()) if wait else 0)
        except Exception as error:
            if getattr(error, "stream", None) is None:
                raise  # not an instrument's: the reading itself failed
            # An instrument failed; its end follows, the others go on.
            logger.debug("engine: %s", error)
            self._failures.append(error)
            return next_tick
        self._dispatch(blocks, ends)
        now = time.monotonic()
        if now >= next_tick or not running:
            self._send("tick", acquisition.stats())
            next_tick = now + self.tick_seconds
        return next_tick if running else None

    def _dispatch(self, blocks: Sequence[Block], ends: Sequence[Optional[StreamEnd]]) -> None:
        for block in blocks:
            if len(block):
                self._send("block", block)
        with self._lock:
            fresh = [(i, e) for i, e in enumerate(ends) if e is not None and self._ends[i] is None]
            for index, end in fresh:
                self._ends[index] = end
        for index, end in fresh:
            self._send("end", (index, end))
        if all(e is not None for e in self._ends):
            self._end_all()

    def _reading_failed(self, error: BaseException) -> None:
        """The engine's reading thread ends with ``error``: the run is over (stop() ends the streams)."""
        logger.error("engine: reading the acquisition failed: %s", _failure_text(error))
        try:
            over = [end is not None for end in self.acquisition.ends]
        except BaseException:  # ends unknown: none is taken as over
            over = [False] * len(self._streams)
        with self._lock:
            self._failure = error
            self._over_before_failure = over
        self._failures.append(error)
        self._end_all()

    def _hand_over_rest(self) -> None:
        """After the reading thread failed: what the stopped acquisition still holds, then every end.

        A stream over before the failure keeps its own end; the others end
        with the failure as their reason (an interrupt's end is the
        acquisition's own, as it was stopped as interrupted).
        """
        blocks: Sequence[Block] = []
        ends: List[Optional[StreamEnd]] = [None] * len(self._streams)
        try:
            for _ in range(len(self._streams) + 1):  # each instrument's error is raised once
                try:
                    blocks = self.acquisition.read(timeout=0)
                    break
                except Exception as error:
                    if getattr(error, "stream", None) is None:
                        raise
                    self._failures.append(error)
            ends = list(self.acquisition.ends)
        except BaseException as error:
            logger.error("engine: reading what was left failed: %s", _failure_text(error))
            self._failures.append(error)
        self._dispatch(blocks, [self._true_end(index, end) for index, end in enumerate(ends)])

    def _true_end(self, index: int, end: Optional[StreamEnd]) -> StreamEnd:
        failure = self._failure
        assert failure is not None
        if end is not None and (self._over_before_failure[index] or isinstance(failure, KeyboardInterrupt)):
            return end
        now = datetime.now(timezone.utc)
        if end is None:
            try:
                stats = self.acquisition.stats()[index]
            except BaseException:
                stats = Stats()
            stream = self._streams[index]
            end = StreamEnd("", False, getattr(stream, "start_utc", None) or now, now, stats)
        if isinstance(failure, KeyboardInterrupt):
            return dataclasses.replace(end, reason="interrupted", complete=False)
        return dataclasses.replace(end, reason=f"failed: reading the acquisition: {_failure_text(failure)}",
                                   complete=False)

    def _end_all(self) -> None:
        self._all_ended.set()
        self._over.set()

    def _send(self, kind: str, payload: Any) -> None:
        with self._lock:
            feeds = list(self._feeds.values())
        for feed in feeds:
            feed.put(kind, payload)

    def stop(self, *, interrupted: bool = False) -> None:
        """Stop the acquisition, hand the sinks what is left and the ends, close them.

        Safe to call again: after an interrupt cut it short it goes on
        where it was; after it has finished it does nothing.

        :param interrupted: streams still running end as ``"interrupted"``
            (Ctrl-C, a signal) rather than as asked.
        :raises BaseException: after everything is closed: the acquisition's
            error in stopping, else the first failure of the run (an
            instrument's, or the engine's own reading, an interrupt raised
            there included), else the first sink's error (the others are
            logged). Every sink has had each stream's end all the same.
        """
        if self._stopped:
            return
        with self._lock:
            pump = self._pump
            self._stopping.set()
            # An interrupt that landed on the engine's reading thread interrupts the run all the same.
            interrupted = interrupted or isinstance(self._failure, KeyboardInterrupt)
        if pump is not None:
            if not self._acquisition_stopped:
                try:
                    self.acquisition.stop(interrupted=interrupted)
                except Exception as error:
                    self._failures.insert(0, error)
                self._acquisition_stopped = True
            on_pump = pump is threading.current_thread()  # stopped by a collection on the pump's own thread
            if not on_pump:
                pump.join()
            consumer = getattr(self.acquisition, "_set_consumer", None)
            if consumer is not None:
                consumer(None)
            if not on_pump and self._failure is not None and any(end is None for end in self._ends):
                self._hand_over_rest()
        with self._lock:
            feeds = list(self._feeds.values())
        for feed in feeds:
            feed.finish()
        self._stopped = True
        errors = self._failures + [f.error for f in feeds + self._retired if f.error is not None]
        if errors:
            for other in errors[1:]:
                logger.error("also: %s", other)
            raise errors[0]

    def run(self, pause: Optional[Callable[[float], None]] = None,
            foreground: Optional[Callable[[], object]] = None,
            until: Optional[Callable[[], bool]] = None) -> bool:
        """Start, wait until every stream has ended, a sink has failed, ``until`` or Ctrl-C, then stop.

        :param pause: waits between two looks whether the run is over (a
            test's virtual clock); by default the engine waits on the run's
            end, waking only to look at ``until``.
        :param foreground: run this instead of waiting (a terminal view);
            the run stops when it returns.
        :param until: looked at while the run waits; once it returns true,
            the run ends as on Ctrl-C (the streams end as interrupted).
        :return: whether Ctrl-C, a signal the caller turned into it, or ``until`` ended the run.
        :raises Exception: what :meth:`stop` raises.
        """
        self.start()
        interrupted = False
        try:
            if foreground is not None:
                foreground()
            else:
                # Timed waits, not an endless one: signal handlers (Ctrl-C, SIGTERM) run between two,
                # and a failed sink (which ends the run without ending the streams) is seen within one.
                while not self._over.is_set():
                    if until is not None and until():
                        raise KeyboardInterrupt
                    if pause is None:
                        self.wait(RUN_LOOK_SECONDS)
                    else:
                        pause(PAUSE_STEP_SECONDS)
        except KeyboardInterrupt:
            interrupted = True
        try:
            self.stop(interrupted=interrupted)
        except KeyboardInterrupt:
            self.stop(interrupted=True)  # Ctrl-C again while stopping: finish stopping first
            interrupted = True
        return interrupted

    def __enter__(self) -> "Engine":
        self.start()
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        interrupted = isinstance(exc, KeyboardInterrupt)
        if exc is None:
            self.stop()
            return
        try:
            self.stop(interrupted=interrupted)
        except Exception as error:  # the error under way goes on; this one is said
            logger.error("%s", error)

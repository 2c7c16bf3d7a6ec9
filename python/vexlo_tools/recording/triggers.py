"""Triggered recordings: the last seconds kept in memory, one recording per event.

An event capture waits hours for the one second that matters. A
:class:`TriggerSink` keeps the last ``pre`` seconds of every instrument in
memory and watches one instrument's samples for a crossing of a
:class:`~.conditions.Condition` (``value > 250``). At a crossing it writes
one recording (``run.event0001.h5``, ``run.event0002.h5``, ...) from
``pre`` seconds before the crossing to ``post`` seconds after it (both
included), every instrument over the same window of sample time. The file says the
condition (``trigger``), the instrument (``trigger_serial_number``), the
crossing's sample number (``trigger_sample``) and its UTC time
(``trigger_utc``), and the instruments' clock estimates of the run so far
(see :mod:`.timebase`). A crossing while an event is being written belongs
to that event.
"""

from __future__ import annotations

import collections
import math
import os
import threading
import time
from datetime import timedelta
from pathlib import Path
from typing import Callable, Deque, List, Optional, Sequence, Union

from ..engine import Sink
from ..types import COUNTERS, Block, Stats, StreamEnd, StreamInfo
from .conditions import Condition, Crossings
from .limits import EventInbox
from .parts import check_numbered, numbered_path
from .provenance import provenance
from .recorder import FLUSH_SECONDS
from .timebase import ClockFit, note_estimates
from .writers import Metadata, Writer, open_writer

__all__ = ["TriggerSink"]

#: Seconds kept beyond ``pre``: instruments are read together, but one may be a read ahead of another.
SPARE_SECONDS = 1.0
#: The longest pre-trigger window: what it keeps is in memory (an hour at 38,400 samples/s is 2 GB).
MAX_PRE_SECONDS = 600.0


class _Event:
    """One event being written: its writer, its window in sample numbers, per instrument how far it is."""

    def __init__(self, writer: Writer, starts: List[int], stops: List[int]) -> None:
        self.writer = writer
        self.starts = starts
        self.stops = stops
        self.next = list(starts)  # per instrument, the first sample number not yet written
        self.base: List[Optional[Stats]] = [None] * len(starts)
        self.done = [False] * len(starts)


class TriggerSink(Sink):
    """Writes one recording per crossing of ``condition`` (see the module's description).

    :param path: names the events' files: ``run.h5`` gives ``run.event0001.h5``, ...
    :param condition: the condition (or its text, see :class:`~.conditions.Condition`).
    :param pre: seconds kept before the crossing (at most :data:`MAX_PRE_SECONDS`).
    :param post: seconds written after it.
    :param events: stop after this many events (``None``: go on); :attr:`finished` is set then.
    :param on: the serial number of the instrument watched (``None``: the first).
    :param metadata: the user's own keys for every instrument.
    :param clock: the host's clock, for the flush cadence.
    :raises ValueError: a bad condition or window.
    """

    name = "trigger"
    # The window before a crossing is kept in memory, so the samples may gather as for a recording:
    # fewer, larger blocks, and the engine wakes as seldom as for one.
    latency_seconds = FLUSH_SECONDS / 2

    def __init__(self, path: Union[str, os.PathLike[str]], condition: Union[Condition, str], *,
                 pre: float = 1.0, post: float = 1.0, events: Optional[int] = None, on: Optional[int] = None,
                 overwrite: bool = False, metadata: Optional[Metadata] = None, compress: bool = False,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.crossings = Crossings(condition)
        self.condition = self.crossings.condition
        for what, seconds in (("pre", pre), ("post", post)):
            if not (math.isfinite(seconds) and seconds >= 0):
                raise ValueError(f"{what} must be a finite number of seconds, at least 0, not {seconds}")
        if pre > MAX_PRE_SECONDS:
            raise ValueError(f"pre: at most {MAX_PRE_SECONDS:g} s are kept in memory, not {pre:g}")
        if events is not None and (isinstance(events, bool) or int(events) != events or events < 1):
            raise ValueError(f"events must be a whole number of at least 1, not {events}")
        self.path = Path(path)
        self.pre, self.post, self.limit, self.on = pre, post, events, on
        self.overwrite, self.compress = overwrite, compress
        self.metadata = dict(metadata or {})
        #: The files written, one per event.
        self.paths: List[str] = []
        #: Set once ``events`` events are written.
        self.finished = threading.Event()
        #: Events begun so far.
        self.count = 0
        self.event: Optional[_Event] = None
        self._quiet_until = 0  # the watched instrument's first sample after the last event's window
        self.inbox = EventInbox()
        self.clock = clock
        self._flushed = clock()

    @staticmethod
    def check(path: Union[str, os.PathLike[str]], overwrite: bool = False) -> None:
        """Check that the first event's file can be written, and that no event of an earlier run is in the way.

        :raises FileExistsError, OSError, ValueError: as :func:`~vexlo_tools.recording.check_output`.
        """
        check_numbered(path, "event", overwrite)

    def open(self, streams: Sequence[StreamInfo]) -> None:
        self.streams = list(streams)
        serials = [s.serial_number for s in streams]
        if self.on is not None and self.on not in serials:
            raise ValueError(f"no instrument with serial number {self.on} to trigger on (found "
                             + ", ".join(map(str, serials)) + ")")
        self.watched = 0 if self.on is None else serials.index(self.on)
        # Per instrument, the recent blocks and the counters before the first of them.
        self.kept: List[Deque[Block]] = [collections.deque() for _ in streams]
        self.before: List[Stats] = [Stats() for _ in streams]
        self.ended: List[Optional[StreamEnd]] = [None] * len(streams)
        # The instruments' clocks, over the whole run: an event's file gets the estimates of its moment.
        self.fits = [ClockFit(s.samples_per_second) for s in streams]
        # Per instrument, the events handed over (limits crossed) as recent as the samples kept.
        self.recent: List[List[Metadata]] = [[] for _ in streams]

    def write(self, block: Block) -> None:
        index = block.index
        if block.taken is not None:
            self.fits[index].add(block.first_index + len(block), block.taken)
        kept = self.kept[index]
        previous = kept[-1].stats if kept else self.before[index]
        kept.append(block)
        rate = self.streams[index].samples_per_second
        keep = math.ceil((self.pre + SPARE_SECONDS) * rate)
        while kept and block.first_index + len(block) - (kept[0].first_index + len(kept[0])) > keep:
            self.before[index] = kept.popleft().stats
        if self.event is not None:
            self._take(index, [block], previous)
        self._sort_events()
        if index == self.watched:
            for position in self.crossings.find(block.value, block.adc):
                crossing = block.first_index + position
                # A crossing within the window of the event before belongs to it.
                if self.event is None and crossing >= self._quiet_until and not self.finished.is_set():
                    self._begin(crossing)

    def _begin(self, crossing: int) -> None:
        stream = self.streams[self.watched]
        at = crossing / stream.samples_per_second
        self.count += 1
        number = self.count
        utc = (stream.start_utc + timedelta(seconds=at)) if stream.start_utc else None
        extra = dict(self.metadata, trigger=str(self.condition), trigger_serial_number=int(stream.serial_number),
                     trigger_sample=int(crossing), trigger_time_s=at, event=number, pre_seconds=self.pre,
                     post_seconds=self.post)
        if utc is not None:
            extra["trigger_utc"] = utc.isoformat(timespec="microseconds")
        path = numbered_path(self.path, "event", number)
        writer = open_writer(path, [provenance(s, extra=extra) for s in self.streams], overwrite=self.overwrite,
                             compress=self.compress)
        self.began(path, extra)
        self.paths += [os.fspath(p) for p in writer.files()]
        rates = [s.samples_per_second for s in self.streams]
        # Every sample from ``pre`` before the crossing to ``post`` after it, both ends included (so the
        # crossing itself also with ``post`` 0).
        self.event = _Event(writer, [max(0, math.ceil((at - self.pre) * r - 1e-6)) for r in rates],
                            [math.floor((at + self.post) * r + 1e-6) + 1 for r in rates])
        self._quiet_until = self.event.stops[self.watched]
        for index in range(len(self.streams)):
            self._take(index, list(self.kept[index]), self.before[index])
            for handed in self.recent[index]:
                self._keep_event(index, handed)
        self._finish_if_done()

    def add_event(self, index: int, event: Metadata) -> None:
        """An event of instrument ``index`` (a limit crossed: flat keys, ``sample`` its sample number), kept
        in the event's file whose window holds it. Safe from any thread; taken with the next block."""
        self.inbox.put(index, event)

    def _sort_events(self) -> None:
        for index, event in self.inbox.take():
            self.recent[index].append(event)
            if self.event is not None:
                self._keep_event(index, event)
        for index, kept in enumerate(self.kept):
            oldest = kept[0].first_index if kept else 0
            # Those before the samples kept can fall in no later window (nor those without a sample number).
            self.recent[index] = [e for e in self.recent[index] if _sample(e, -1) >= oldest]

    def _keep_event(self, index: int, handed: Metadata) -> None:
        event = self.event
        assert event is not None
        if event.starts[index] <= _sample(handed, event.starts[index]) < event.stops[index]:
            event.writer.event(index, handed)

    def began(self, path: Path, trigger: Metadata) -> None:
        """An event begins, into ``path``; ``trigger`` holds its ``trigger_*`` keys. Override to say so."""

    def _take(self, index: int, blocks: List[Block], previous: Stats) -> None:
        """Write what of ``blocks`` (of one instrument, in order, ``previous`` the counters of the block
        before them) falls in the event's window and was not written yet."""
        event = self.event
        assert event is not None
        if event.done[index]:
            return
        for block in blocks:
            start, stop = max(event.next[index], event.starts[index]), event.stops[index]
            low, high = max(0, start - block.first_index), min(len(block), stop - block.first_index)
            if high > low:
                if event.base[index] is None:
                    # The counters before the window: the samples numbered before it were received.
                    event.base[index] = Stats(max(previous.received, block.first_index + low),
                                              *(getattr(previous, k) for k in COUNTERS[1:]))
                base = event.base[index]
                assert base is not None
                stats = block.stats if high == len(block) else Stats(block.first_index + high,
                                                                     *(getattr(previous, k) for k in COUNTERS[1:]))
                event.writer.append(index, Block(block.device, block.first_index + low, block.time[low:high],
                                                 block.adc[low:high], block.value[low:high],
                                                 Stats(*(max(0, getattr(stats, k) - getattr(base, k))
                                                         for k in COUNTERS)), index))
                event.next[index] = block.first_index + high
            if block.first_index + len(block) >= stop:
                event.done[index] = True
                break
            previous = block.stats
        if event is self.event and blocks:
            self._finish_if_done()

    def _finish_if_done(self) -> None:
        event = self.event
        if event is None or not all(d or e is not None for d, e in zip(event.done, self.ended)):
            return
        self.event = None
        note_estimates(event.writer, self.fits)
        for index, ended in enumerate(event.writer.ends):
            if not ended:  # its window is whole: it holds all the event was to keep
                event.writer.end(index, "completed", True)
        event.writer.close()
        if self.limit is not None and self.count >= self.limit:
            self.finished.set()

    def tick(self, stats: Sequence[Stats]) -> None:
        self._sort_events()
        now = self.clock()
        if self.event is not None and now - self._flushed >= FLUSH_SECONDS:
            self.event.writer.flush()
            self._flushed = now

    def end(self, index: int, end: StreamEnd) -> None:
        self.ended[index] = end
        if self.event is not None:
            if not self.event.done[index]:  # its window cut short
                note_estimates(self.event.writer, self.fits)
                self.event.writer.end(index, end.reason, end.complete, end.end_utc)
            self._finish_if_done()

    def close(self) -> None:
        event, self.event = self.event, None
        if event is not None:
            # Cut short: what the window still lacked never came.
            for index, done in enumerate(event.done):
                if not done and not event.writer.ends[index]:
                    event.writer.end(index, "interrupted", False)
            note_estimates(event.writer, self.fits)
            event.writer.close()



def _sample(event: Metadata, otherwise: int) -> int:
    """An event's sample number, ``otherwise`` when it has none."""
    sample = event.get("sample")
    return sample if isinstance(sample, int) and not isinstance(sample, bool) else otherwise

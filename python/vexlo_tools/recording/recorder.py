"""Recording an acquisition into a file: a sink of the engine that writes, flushes and reports progress.

:class:`RecordingSink` is what ``vexlo record``, ``vexlo demo`` and the live page feed;
:func:`record` runs one acquisition into one file through the engine. No
instrument logic here (that is :class:`vexlo_tools.Acquisition`'s), and no
loop of its own (that is :class:`vexlo_tools.engine.Engine`'s).
"""

from __future__ import annotations

import math
import os
import time
import uuid
from pathlib import Path
from typing import Callable, List, Optional, Sequence, Union

from ..engine import Engine, Sink
from ..types import COUNTERS, Block, Progress, Stats, StreamEnd, StreamInfo
from .limits import EventInbox
from .parts import Split, check_numbered, numbered_path
from .provenance import provenance
from .timebase import ClockFit, note_estimates
from .writers import Metadata, Writer, check_output, open_writer

__all__ = ["FLUSH_SECONDS", "Progress", "RecordingSink", "record"]

#: How often what was written is made durable (a killed recording loses at most this much, and
#: what gathers for the sink meanwhile: ``RecordingSink.latency_seconds``).
FLUSH_SECONDS = 0.5


def _size(paths: Sequence[str]) -> int:
    return sum(os.path.getsize(p) for p in paths if os.path.exists(p))


#: How often the clock estimates are worked out again and noted in the files.
CLOCK_NOTE_SECONDS = 10.0


def _less(stats: Stats, base: Stats) -> Stats:
    return Stats(*(getattr(stats, k) - getattr(base, k) for k in COUNTERS))


#: The end of an instrument's data in a part that it left at the part's boundary.
CONTINUED = "continued in the next part"


class _Part:
    """One open part: its writer, where each instrument's samples in it end, the counters it starts from."""

    def __init__(self, number: int, writer: Writer, base: List[Stats]) -> None:
        self.number = number
        self.writer = writer
        self.base = base
        #: Per instrument, the sample number at which the next part begins (``None``: not known yet).
        self.until: List[Optional[int]] = [None] * len(base)
        #: Per instrument, whether it has passed this part's end (or ended).
        self.left = [False] * len(base)


class RecordingSink(Sink):
    """Writes every block into the file ``path`` names (format by suffix), with each stream's provenance,
    in parts when ``split`` says where a new part begins (see :mod:`vexlo_tools.recording.parts`).

    The file is created when the run starts (so a run that finds no
    instrument leaves an existing file alone), flushed every
    :data:`FLUSH_SECONDS`, and closed with each stream's final counters and
    end. An instrument that fails ends its part; its error is kept in
    :attr:`progress` (the engine raises it too). It also keeps each
    instrument's clock against the host's (:mod:`~vexlo_tools.recording.timebase`),
    noted in the files, and writes the events given to :meth:`add_event`
    (limits crossed).

    :param split: where a new part begins, or ``None`` for one file, ``path`` itself.
    :param metadata: the user's own keys for every instrument (``notes``, say).
    :param compress: compress the samples (``.h5``).
    :param status: called with the progress on every tick of the engine.
    :param clock: the host's clock, for the flush cadence and the progress (not the clock estimates, which
        rest on the blocks' :attr:`~vexlo_tools.Block.taken`).
    """

    name = "recording"
    # Blocks gather in the acquisition for up to half a flush: fewer wake-ups and
    # writes, and what a killed recording loses grows by no more than that.
    latency_seconds = FLUSH_SECONDS / 2

    def __init__(self, path: Union[str, os.PathLike[str]], split: Optional[Split] = None, *,
                 overwrite: bool = False, metadata: Optional[Metadata] = None, compress: bool = False,
                 status: Optional[Callable[[Progress], None]] = None,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.path = path
        self.split = split
        self.overwrite = overwrite
        self.metadata = dict(metadata or {})
        self.compress = compress
        self.status = status
        self.clock = clock
        self.progress = Progress()
        #: The writer of the part open last (the file, without a split).
        self.writer: Optional[Writer] = None
        self.run_path = Path(path)
        self.run_id = uuid.uuid4().hex
        self.parts: List[_Part] = []
        self.fits: List[ClockFit] = []
        self.inbox = EventInbox()
        self._final: List[Optional[Stats]] = []
        self._began = self._flushed = 0.0
        self._numbers = 0
        self._noted = -math.inf

    @staticmethod
    def check(path: Union[str, os.PathLike[str]], split: Optional[Split], overwrite: bool = False) -> None:
        """Check the run's first file (and, with ``overwrite`` false, that no part of an earlier run is in the way).

        :raises FileExistsError: a part exists and ``overwrite`` is false.
        :raises OSError, ValueError: as :func:`~vexlo_tools.recording.check_output`.
        """
        if split is None:
            check_output(path, overwrite)
            return
        check_numbered(path, "part", overwrite)

    # ------------------------------------------------------------ the sink

    def open(self, streams: Sequence[StreamInfo]) -> None:
        self.streams = list(streams)
        self._began = self._flushed = self.clock()
        self._taken: List[Optional[Stats]] = [None] * len(streams)
        self._final = [None] * len(streams)
        self._ends: List[Optional[StreamEnd]] = [None] * len(streams)
        self._next = [0] * len(streams)  # per instrument, the number of the sample after its last
        self.fits = [ClockFit(s.samples_per_second) for s in streams]
        self.progress.samples = [0] * len(streams)
        self.progress.stats = [Stats() for _ in streams]
        self._open_part([Stats() for _ in streams])

    def _open_part(self, base: List[Stats]) -> _Part:
        number = len(self.parts) + self._numbers + 1
        extra = dict(self.metadata)
        if self.split is not None:
            extra.update(part=number, run_id=self.run_id,
                         previous_part=numbered_path(self.run_path, "part", number - 1).name if number > 1 else "")
            path = numbered_path(self.run_path, "part", number)
        else:
            path = self.run_path
        metadata = [provenance(stream, extra=extra) for stream in self.streams]
        part = _Part(number, open_writer(path, metadata, overwrite=self.overwrite, compress=self.compress), base)
        if self.split is not None and self.split.seconds is not None:
            part.until = [math.ceil(number * self.split.seconds * s.samples_per_second - 1e-6) for s in self.streams]
        for index, end in enumerate(self._ends):
            if end is not None:  # an instrument over already: an empty part, with its end
                part.writer.end(index, end.reason, end.complete, end.end_utc, Stats())
                part.left[index] = True
        self.parts.append(part)
        self.writer = part.writer
        self.progress.paths += [os.fspath(p) for p in part.writer.files()]
        return part

    def _part_of(self, index: int) -> _Part:
        part = next((p for p in self.parts if not p.left[index]), None)
        return part if part is not None else self._open_part([p for p in self.parts[-1].base])

    def write(self, block: Block) -> None:
        index = block.index
        if block.taken is not None:
            self.fits[index].add(block.first_index + len(block), block.taken)
        done = 0
        while done < len(block):
            part = self._part_of(index)
            until = part.until[index]
            stop = len(block) if until is None else min(len(block), max(done, until - block.first_index))
            if stop > done:
                stats = block.stats
                if stop < len(block):
                    # Cut at the boundary: the samples numbered before it were received; the
                    # other counters go with the block's later part.
                    before = self._taken[index] or Stats()
                    stats = Stats(max(before.received, block.first_index + stop), before.overrun, before.missing,
                                  before.corrupted)
                part.writer.append(index, Block(block.device, block.first_index + done, block.time[done:stop],
                                                block.adc[done:stop], block.value[done:stop],
                                                _less(stats, part.base[index]), index))
                self._taken[index] = stats
                done = stop
            self._next[index] = block.first_index + done
            if stop < len(block) or (until is not None and self._next[index] >= until):
                self._leave(part, index)
        self.progress.samples[index] += len(block)
        self._drain_events()

    def _leave(self, part: _Part, index: int) -> None:
        """Instrument ``index`` has passed ``part``'s end: the next part begins where this one ends."""
        part.left[index] = True
        following = next((p for p in self.parts if p.number > part.number), None)
        if following is None:
            following = self._open_part(list(part.base))
        following.base[index] = self._taken[index] or Stats()
        if all(part.left):
            self._close_part(part)

    def _close_part(self, part: _Part) -> None:
        note_estimates(part.writer, self.fits)
        for index, ended in enumerate(part.writer.ends):
            if not ended:  # it passed the boundary with its whole span: the run goes on in the next part
                part.writer.end(index, CONTINUED, True)
        part.writer.close()
        self.parts.remove(part)
        self._numbers += 1

    def tick(self, stats: Sequence[Stats]) -> None:
        for index, now_stats in enumerate(stats):
            taken = self._taken[index]
            # Newer counters count when they count no sample the files do not hold yet.
            if self._ends[index] is None and now_stats.received == (taken.received if taken else 0):
                part = self._part_of(index)
                part.writer.count(index, _less(now_stats, part.base[index]))
        now = self.clock()
        if now - self._flushed >= FLUSH_SECONDS:
            self._drain_events()
            if now - self._noted >= CLOCK_NOTE_SECONDS:
                self._noted = now
                for part in self.parts:
                    note_estimates(part.writer, self.fits)
            for part in list(self.parts):
                part.writer.flush()
            self._flushed = now
            self._size_boundary()
        self._update(stats)
        if self.status is not None:
            self.status(self.progress)

    def _size_boundary(self) -> None:
        if self.split is None or self.split.size is None:
            return
        part = self.parts[-1]
        if any(u is not None for u in part.until):
            return
        if sum(os.path.getsize(p) for p in part.writer.files() if os.path.exists(p)) < self.split.size:
            return
        # Ends where the instrument furthest on is: no instrument has a sample at or after it in this part.
        nexts = self._next
        at = max(n / s.samples_per_second for n, s in zip(nexts, self.streams))
        ends = [max(n, math.ceil(at * s.samples_per_second - 1e-6)) for n, s in zip(nexts, self.streams)]
        part.until = list(ends)
        for index, (n, until) in enumerate(zip(nexts, ends)):
            if n >= until and not part.left[index]:
                self._leave(part, index)

    def end(self, index: int, end: StreamEnd) -> None:
        self._ends[index] = end
        self._final[index] = end.stats
        first = True
        for part in list(self.parts):
            if part.left[index]:
                continue
            note_estimates(part.writer, self.fits)  # before the end: a CSV file says nothing after it
            # The parts after the one it ended in hold none of its samples.
            part.writer.end(index, end.reason, end.complete, end.end_utc,
                            _less(end.stats, part.base[index]) if first else Stats())
            part.left[index], first = True, False
            if all(part.left) and part is not self.parts[-1]:
                self._close_part(part)
        if end.reason.startswith("failed: "):
            self.progress.errors.append(end.reason[len("failed: "):])
        if end.reason == "interrupted":
            self.progress.interrupted = True

    def close(self) -> None:
        try:
            self._drain_events()
        finally:
            errors = []
            for part in list(self.parts):
                try:
                    self._close_part(part)
                except OSError as error:
                    errors.append(error)
            final = [s if s is not None else (t or Stats()) for s, t in zip(self._final, self._taken)]
            self._update(final)
            if errors:
                raise errors[0]

    # ------------------------------------------------------------ clocks and events

    def add_event(self, index: int, event: Metadata) -> None:
        """Write an event of instrument ``index`` (flat keys: ``sample``, ``utc``, ...) into the part open now.

        Safe from any thread (a listener of a :class:`~vexlo_tools.recording.LimitSink`, say); written
        with the next block or flush.
        """
        self.inbox.put(index, event)

    def _drain_events(self) -> None:
        for index, event in self.inbox.take():
            if self.parts:
                # The part the instrument writes into; after its end, the last part.
                part = next((p for p in self.parts if not p.left[index]), self.parts[-1])
                part.writer.event(index, event)

    def _update(self, stats: Sequence[Stats]) -> None:
        self.progress.elapsed = self.clock() - self._began
        self.progress.stats = list(stats)
        self.progress.file_size = _size(self.progress.paths)


def record(acquisition: object, path: Union[str, os.PathLike[str]], *, overwrite: bool = False,
           metadata: Optional[Metadata] = None, compress: bool = False,
           status: Optional[Callable[[Progress], None]] = None, status_seconds: float = 0.2) -> Progress:
    """Write what an acquisition delivers into ``path`` until it ends (a finite run) or Ctrl-C.

    Ctrl-C ends the recording too; the file is then closed all the same
    and the result says ``interrupted``. The acquisition (started here if
    it was not) is stopped at the end, and what arrived until streaming
    was off is written too.

    :param acquisition: a :class:`vexlo_tools.Acquisition`, finite or open-ended.
    :param metadata: the user's own keys for every instrument (``notes``, say).
    :param compress: compress the samples (``.h5``).
    :param status: called with the progress every ``status_seconds``.
    :return: the final progress.
    :raises vexlo.VexloDeviceError: an instrument failed (the file is closed first).
    """
    sink = RecordingSink(path, overwrite=overwrite, metadata=metadata, compress=compress, status=status)
    interrupted = Engine(acquisition, [sink], tick_seconds=status_seconds).run()
    sink.progress.interrupted = sink.progress.interrupted or interrupted
    return sink.progress

"""Recording an acquisition into a file: a sink of the engine that writes, flushes and reports progress.

:class:`RecordingSink` is what ``vexlo record`` and ``vexlo demo`` feed;
:func:`record` runs one acquisition into one file through the engine. No
instrument logic here (that is :class:`vexlo_tools.Acquisition`'s), and no
loop of its own (that is :class:`vexlo_tools.engine.Engine`'s).
"""

from __future__ import annotations

import os
import time
from typing import Callable, List, Optional, Sequence, Union

from ..engine import Engine, Sink
from ..types import Block, Progress, Stats, StreamEnd, StreamInfo
from .provenance import provenance
from .writers import Metadata, Writer, open_writer

__all__ = ["FLUSH_SECONDS", "Progress", "RecordingSink", "record"]

#: How often what was written is made durable (a killed recording loses at most this much, and
#: what gathers for the sink meanwhile: ``RecordingSink.latency_seconds``).
FLUSH_SECONDS = 0.5


def _size(paths: Sequence[str]) -> int:
    return sum(os.path.getsize(p) for p in paths if os.path.exists(p))


class RecordingSink(Sink):
    """Writes every block into the file ``path`` names (format by suffix), with each stream's provenance.

    The file is created when the run starts (so a run that finds no
    instrument leaves an existing file alone), flushed every
    :data:`FLUSH_SECONDS`, and closed with each stream's final counters. An
    instrument that fails ends its part; its error is kept in
    :attr:`progress` (the engine raises it too).

    :param metadata: the user's own keys for every instrument (``notes``, say).
    :param compress: compress the samples (``.h5``).
    :param status: called with the progress on every tick of the engine.
    """

    name = "recording"
    # Blocks gather in the acquisition for up to half a flush: fewer wake-ups and
    # writes, and what a killed recording loses grows by no more than that.
    latency_seconds = FLUSH_SECONDS / 2

    def __init__(self, path: Union[str, os.PathLike[str]], *, overwrite: bool = False,
                 metadata: Optional[Metadata] = None, compress: bool = False,
                 status: Optional[Callable[[Progress], None]] = None,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.path = path
        self.overwrite = overwrite
        self.metadata = dict(metadata or {})
        self.compress = compress
        self.status = status
        self.clock = clock
        self.progress = Progress()
        self.writer: Optional[Writer] = None
        self._final: List[Optional[Stats]] = []
        self._began = self._flushed = 0.0

    def open(self, streams: Sequence[StreamInfo]) -> None:
        self._began = self._flushed = self.clock()
        metadata = [provenance(stream, extra=self.metadata) for stream in streams]
        self.writer = open_writer(self.path, metadata, overwrite=self.overwrite, compress=self.compress)
        self._taken: List[Optional[Stats]] = [None] * len(streams)
        self._final = [None] * len(streams)
        self.progress.samples = [0] * len(streams)
        self.progress.stats = [Stats() for _ in streams]
        self.progress.paths = [os.fspath(p) for p in self.writer.files()]

    def write(self, block: Block) -> None:
        assert self.writer is not None
        self.writer.append(block.index, block)
        self._taken[block.index] = block.stats
        self.progress.samples[block.index] = self.writer.samples[block.index]

    def tick(self, stats: Sequence[Stats]) -> None:
        assert self.writer is not None
        for index, now_stats in enumerate(stats):
            # Newer counters go into the file when they count no sample it does not hold yet
            # (while none arrive, the missing ones still grow).
            taken = self._taken[index]
            if not self.writer.ends[index] and now_stats.received == (taken.received if taken else 0):
                self.writer.count(index, now_stats)
        now = self.clock()
        if now - self._flushed >= FLUSH_SECONDS:
            self.writer.flush()
            self._flushed = now
        self._update(stats)
        if self.status is not None:
            self.status(self.progress)

    def end(self, index: int, end: StreamEnd) -> None:
        assert self.writer is not None
        self.writer.end(index, end.reason, end.complete, end.end_utc, end.stats)
        self._final[index] = end.stats
        if end.reason.startswith("failed: "):
            self.progress.errors.append(end.reason[len("failed: "):])
        if end.reason == "interrupted":
            self.progress.interrupted = True

    def close(self) -> None:
        if self.writer is None:
            return
        self.writer.close()
        self._update([s if s is not None else Stats(**c) for s, c in zip(self._final, self.writer.counters)])

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

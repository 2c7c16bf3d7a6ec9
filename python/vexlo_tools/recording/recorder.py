"""Recording an acquisition into a file: read blocks, write them, flush, report progress.

The loop that ``vexlo record`` and ``vexlo demo`` run; it holds no
instrument logic of its own (that is :class:`vexlo_tools.Acquisition`'s).
"""

from __future__ import annotations

import dataclasses
import os
import time
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Callable, List, Optional, Sequence, Union

import numpy as np

import vexlo_device_communication as vexlo

from ..acquisition import Acquisition, Block
from .provenance import provenance
from .writers import COUNTERS, Writer, open_writer

__all__ = ["FLUSH_SECONDS", "Progress", "record"]

#: How often what was written is made durable (a killed recording loses at most this much).
FLUSH_SECONDS = 0.5
#: How long one read waits for data.
READ_SECONDS = 0.1
#: With --seconds: how long past the end of the time the loop waits for a stalled instrument.
GRACE_SECONDS = 2.0


@dataclass
class Progress:
    """Where a recording stands.

    :ivar elapsed: host seconds since the recording started.
    :ivar samples: samples written, per instrument.
    :ivar counters: the latest counters, per instrument (``received``, ``overrun``, ...).
    :ivar file_size: bytes on disk of the output file(s).
    :ivar interrupted: Ctrl-C ended the recording.
    :ivar paths: the files written.
    :ivar errors: instruments that failed while recording (the others went on).
    """

    elapsed: float = 0.0
    samples: List[int] = field(default_factory=list)
    counters: List[dict[str, int]] = field(default_factory=list)
    file_size: int = 0
    interrupted: bool = False
    paths: List[str] = field(default_factory=list)
    errors: List[str] = field(default_factory=list)

    def rate(self) -> float:
        """Samples per second written, all instruments together."""
        return sum(self.samples) / self.elapsed if self.elapsed > 0 else 0.0

    def line(self) -> str:
        """The status line: samples, rate, counters and file size."""
        totals = {name: sum(c.get(name, 0) for c in self.counters) for name in COUNTERS[1:]}
        return (f"{self.elapsed:6.1f} s  samples {sum(self.samples):,}  rate {self.rate():,.0f}/s  "
                + "  ".join(f"{k} {v}" for k, v in totals.items())
                + f"  file {self.file_size / 1e6:.1f} MB")


def _size(paths: Sequence[str]) -> int:
    return sum(os.path.getsize(p) for p in paths if os.path.exists(p))


def record(acquisition: Acquisition, path: Union[str, os.PathLike[str]], *, seconds: Optional[float] = None,
           overwrite: bool = False, started: Optional[datetime] = None,
           status: Optional[Callable[[Progress], None]] = None, status_seconds: float = 0.2,
           clock: Callable[[], float] = time.monotonic) -> Progress:
    """Write what a started acquisition delivers into ``path`` until ``seconds`` of data or Ctrl-C.

    With ``seconds``, each instrument's data ends at that time since the
    start of streaming (samples past it are not written). Ctrl-C ends the
    recording too; the file is then closed complete all the same and the
    result says ``interrupted``. An instrument that fails ends its part of the
    recording (the error is kept in the result); the others go on. What was
    written is flushed every :data:`FLUSH_SECONDS`. The acquisition is
    stopped at the end, and what arrived until streaming was off is written
    too.

    :param acquisition: a started :class:`vexlo_tools.Acquisition`.
    :param started: when streaming started (UTC), for the provenance; now when not given.
    :param status: called with the progress every ``status_seconds``.
    :return: the final progress.
    """
    began = clock()
    started = started or datetime.now(timezone.utc)
    streams = acquisition.streams
    metadata = [provenance(stream, started) for stream in streams]
    progress = Progress(samples=[0] * len(metadata))
    writer: Writer = open_writer(path, metadata, overwrite=overwrite)
    progress.paths = [os.fspath(p) for p in writer.files()]
    done = [False] * len(metadata)

    def write(blocks: Sequence[Block]) -> None:
        nonlocal done
        if seconds is not None:
            cut = [_until(block, seconds) for block in blocks]
            done = [d or c is not b for d, c, b in zip(done, cut, blocks)]
            blocks = cut
        writer.write(blocks)
        progress.samples = list(writer.samples)

    try:
        last_flush = last_status = began
        try:
            while not (seconds is not None and (all(done) or progress.elapsed > seconds + GRACE_SECONDS)):
                try:
                    write(acquisition.read(timeout=READ_SECONDS))
                except vexlo.VexloDeviceError as error:
                    # One instrument failed (its port vanished, say); the others go on.
                    progress.errors.append(str(error))
                    if len(progress.errors) == len(metadata):
                        break
                    # The failed instrument's part of the recording is over.
                    failed = getattr(error, "stream", None)
                    done = [d or s is failed for d, s in zip(done, streams)]
                now = clock()
                progress.elapsed = now - began
                if now - last_flush >= FLUSH_SECONDS:
                    writer.flush()
                    last_flush = now
                if status is not None and now - last_status >= status_seconds:
                    progress.counters = [dict(c) for c in writer.counters]
                    progress.file_size = _size(progress.paths)
                    status(progress)
                    last_status = now
        except KeyboardInterrupt:
            progress.interrupted = True
        # What arrives until streaming is off belongs to the recording too,
        # and only then are the counters final.
        acquisition.stop()
        write(acquisition.read(timeout=0))
    finally:
        writer.close(acquisition.stats())
    progress.counters = [dict(c) for c in writer.counters]
    progress.elapsed = clock() - began
    progress.file_size = _size(progress.paths)
    return progress


def _until(block: Block, seconds: float) -> Block:
    """The part of ``block`` before ``seconds`` (the block itself when all of it is)."""
    if not len(block.time) or block.time[-1] < seconds:
        return block
    keep = int(np.searchsorted(block.time, seconds, side="left"))
    return dataclasses.replace(block, time=block.time[:keep], adc=block.adc[:keep], value=block.value[:keep])

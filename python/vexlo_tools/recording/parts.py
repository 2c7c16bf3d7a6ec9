"""Recordings in parts: a new file at each time or size boundary, no sample lost or repeated.

A run of days in one file is one file to lose, to copy and to open; in
parts of an hour (``vexlo record run.h5 --split 1h``) or of a size
(``--split 500MB``) it is files named ``run.part0001.h5``,
``run.part0002.h5``, ... Each part is a whole recording: the provenance,
its part number, the name of the part before it and the run they belong
to (``part``, ``previous_part``, ``run_id``), the counters of its own
samples (the parts' counters add up to the run's), its end. Sample numbers
and times go on from part to part.

Time boundaries lie on the samples' own times (sample number / rate), so
every part of an hour holds exactly an hour of each instrument's samples,
however the host was doing. A size boundary is set once the files reach
the size, at the next sample time of the instrument that is furthest on.
Instruments reach a boundary at different moments; a part stays open
until every instrument has passed its end.

:class:`PartsSink` is the recording sink that writes them (with ``split``
of ``None``, one file, the path itself); it also keeps each instrument's
clock against the host's (:mod:`.timebase`) and writes events given to
:meth:`PartsSink.add_event` (limits crossed). :func:`part_sources` joins
the parts of a run for :func:`~vexlo_tools.recording.load` and ``vexlo plot``.
"""

from __future__ import annotations

import contextlib
import glob
import json
import math
import os
import re
import time
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Iterator, List, Optional, Sequence, Union

import numpy as np

from ..types import COUNTERS, Block, Progress, Stats, StreamEnd, StreamInfo
from .limits import EventInbox
from .provenance import provenance
from .recorder import FLUSH_SECONDS, RecordingSink
from .timebase import ClockFit, note_estimates
from .writers import Chunk, Metadata, Source, Writer, check_output, open_writer, writer_class

__all__ = ["PartsSink", "Split", "check_numbered", "numbered_path", "part_sources"]

#: How often the clock estimates are worked out again and noted in the files.
CLOCK_NOTE_SECONDS = 10.0
_SPLIT = re.compile(r"\s*(\d+(?:\.\d+)?)\s*([A-Za-z]+)\s*\Z")
_SECONDS = {"s": 1.0, "min": 60.0, "h": 3600.0, "d": 86400.0}
_BYTES = {"kB": 1e3, "MB": 1e6, "GB": 1e9, "KiB": 1024.0, "MiB": 1024.0 ** 2, "GiB": 1024.0 ** 3}
#: The shortest parts ``Split.parse`` accepts: a file a second is already a lot of files.
MIN_SPLIT_SECONDS = 1.0
MIN_SPLIT_BYTES = 1 << 16


@dataclass(frozen=True)
class Split:
    """Where a recording starts a new part: every ``seconds`` of sample time, or at ``size`` bytes of files."""

    seconds: Optional[float] = None
    size: Optional[int] = None

    def __post_init__(self) -> None:
        if (self.seconds is None) == (self.size is None):
            raise ValueError("a split is a time or a size, one of them")
        if self.seconds is not None and not (math.isfinite(self.seconds) and self.seconds > 0):
            raise ValueError(f"a split time must be a number of seconds above 0, not {self.seconds}")
        if self.size is not None and not self.size > 0:
            raise ValueError(f"a split size must be a number of bytes above 0, not {self.size}")

    @classmethod
    def parse(cls, text: str) -> "Split":
        """``90s``, ``30min``, ``1h``, ``1d``, or ``500MB``, ``2GB``, ``512MiB``, ...

        :raises ValueError: anything else, or parts shorter than :data:`MIN_SPLIT_SECONDS` or
            smaller than :data:`MIN_SPLIT_BYTES`.
        """
        found = _SPLIT.match(text) if len(text) < 40 else None
        if found is None or (found.group(2) not in _SECONDS and found.group(2) not in _BYTES):
            raise ValueError(f"a split of {text[:40]!r}: give a time (90s, 30min, 1h, 1d) or a size "
                             "(500MB, 2GB, 512MiB)")
        number, unit = float(found.group(1)), found.group(2)
        if unit in _SECONDS:
            if number * _SECONDS[unit] < MIN_SPLIT_SECONDS:
                raise ValueError(f"a split of {text!r}: parts of at least {MIN_SPLIT_SECONDS:g} s")
            return cls(seconds=number * _SECONDS[unit])
        if number * _BYTES[unit] < MIN_SPLIT_BYTES:
            raise ValueError(f"a split of {text!r}: parts of at least {MIN_SPLIT_BYTES // 1024} KiB")
        return cls(size=int(number * _BYTES[unit]))


def numbered_path(path: Union[str, os.PathLike[str]], kind: str, number: int) -> Path:
    """``run.h5`` -> ``run.part0001.h5`` (``kind`` ``"part"``, number 1)."""
    target = Path(path)
    return target.with_name(f"{target.stem}.{kind}{number:04d}{target.suffix}")


def check_numbered(path: Union[str, os.PathLike[str]], kind: str, overwrite: bool = False) -> None:
    """Check that the first of the numbered files (``run.part0001.h5``) can be written and, unless
    ``overwrite``, that no numbered file of that kind from an earlier run is in the way.

    :raises FileExistsError: one is, and ``overwrite`` is false.
    :raises OSError, ValueError: as :func:`~vexlo_tools.recording.check_output`.
    """
    check_output(numbered_path(path, kind, 1), overwrite)
    target = Path(path)
    if not overwrite:
        found = sorted(target.parent.glob(f"{glob.escape(target.stem)}.{kind}[0-9][0-9][0-9][0-9]*{target.suffix}"))
        if found:
            raise FileExistsError(f"{os.fspath(found[0])} exists, {'an' if kind[0] in 'aeiou' else 'a'} {kind} of "
                                  "an earlier run (--overwrite replaces them)")


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


class PartsSink(RecordingSink):
    """A recording in parts (see the module's description): ``path`` names the run, ``split`` the parts.

    With ``split`` ``None`` it is one recording into ``path`` itself, as
    :class:`~vexlo_tools.recording.RecordingSink` writes, with the clock
    estimates and events this sink adds. The other parameters are
    :class:`~vexlo_tools.recording.RecordingSink`'s.

    :param split: where a new part begins, or ``None``.
    :param clock: the host's clock, for the flush cadence and the progress (not the clock estimates, which
        rest on the blocks' :attr:`~vexlo_tools.Block.taken`).
    """

    name = "recording"

    def __init__(self, path: Union[str, os.PathLike[str]], split: Optional[Split] = None, *,
                 overwrite: bool = False, metadata: Optional[Metadata] = None, compress: bool = False,
                 status: Optional[Callable[[Progress], None]] = None,
                 clock: Callable[[], float] = time.monotonic) -> None:
        super().__init__(path, overwrite=overwrite, metadata=metadata, compress=compress, status=status, clock=clock)
        self.split = split
        self.run_path = Path(path)
        self.run_id = uuid.uuid4().hex
        self.parts: List[_Part] = []
        self.fits: List[ClockFit] = []
        self.inbox = EventInbox()
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
        self._final: List[Optional[Stats]] = [None] * len(streams)
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


def _exists(path: Path) -> bool:
    """Whether a recording of that name exists: the file, or the files of several instruments (CSV)."""
    return path.exists() or any(path.parent.glob(f"{glob.escape(path.stem)}-*{path.suffix}"))


def _joined_source(sources: List[Source]) -> Source:
    """The sources of one instrument over the parts, as one: samples end to end, counters summed."""
    if len(sources) == 1:
        return sources[0]
    first, last = sources[0], sources[-1]
    metadata: Metadata = dict(first.metadata)
    for key in COUNTERS + ("samples",):
        metadata[key] = sum(int(s.metadata.get(key, 0)) for s in sources)
    for key in ("end_utc", "end_reason", "complete", "clock_error_ppm", "clock_offset_s"):
        metadata.pop(key, None)
        if key in last.metadata:
            metadata[key] = last.metadata[key]
    events = [e for s in sources for e in json.loads(str(s.metadata.get("events", "[]")))]
    metadata.pop("events", None)
    if events:
        metadata["events"] = json.dumps(events)
    metadata["parts"] = len(sources)
    starts = np.cumsum([0] + [s.length for s in sources])

    def read(start: int, stop: int, with_adc: bool) -> Chunk:
        pieces = []
        for source, begin, end in zip(sources, starts[:-1], starts[1:]):
            if begin < stop and end > start:
                pieces.append(source.read(max(start, begin) - begin, min(stop, end) - begin, with_adc))
        if not pieces:
            return np.empty(0), np.empty(0, np.uint32), np.empty(0)
        return tuple(np.concatenate([p[n] for p in pieces]) for n in range(3))  # type: ignore[return-value]

    return Source(first.name, metadata, int(starts[-1]), read)


@contextlib.contextmanager
def part_sources(path: Union[str, os.PathLike[str]]) -> Iterator[List[Source]]:
    """The instruments of a run in parts, each over all the parts from ``path`` on, joined.

    ``path`` is a part (usually the first, ``run.part0001.h5``), or the run's name (``run.h5``)
    when no such file exists but its first part does. The parts that follow are found by their
    names and kept while each names the one before it and belongs to the same run.

    :raises ValueError: a part that is not a recording, or parts whose instruments differ.
    """
    target = Path(path)
    if not _exists(target) and _exists(numbered_path(target, "part", 1)):
        target = numbered_path(target, "part", 1)
    cls = writer_class(target)
    with contextlib.ExitStack() as stack:
        parts = [stack.enter_context(cls.sources(target))]
        run = parts[0][0].metadata.get("run_id") if parts[0] else None
        number = parts[0][0].metadata.get("part") if parts[0] else None
        if run is not None and isinstance(number, int):
            stem = target.stem[:-len(f".part{number:04d}")] if target.stem.endswith(f".part{number:04d}") \
                else target.stem
            base = target.with_name(stem + target.suffix)
            while True:
                following = numbered_path(base, "part", number + len(parts))
                if not _exists(following):
                    break
                sources = stack.enter_context(cls.sources(following))
                said = sources[0].metadata if sources else {}
                if said.get("run_id") != run or said.get("previous_part") != numbered_path(
                        base, "part", number + len(parts) - 1).name:
                    break
                if [s.name for s in sources] != [s.name for s in parts[0]]:
                    raise ValueError(f"{os.fspath(following)}: its instruments differ from those of the parts "
                                     "before it")
                parts.append(sources)
        yield [_joined_source([p[i] for p in parts]) for i in range(len(parts[0]))]


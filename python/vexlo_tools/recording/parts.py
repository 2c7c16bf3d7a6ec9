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

:class:`~vexlo_tools.recording.RecordingSink` writes them (given a
:class:`Split`); :func:`part_sources` joins the parts of a run for
:func:`~vexlo_tools.recording.load` and ``vexlo plot``.
"""

from __future__ import annotations

import contextlib
import glob
import json
import math
import os
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator, List, Optional, Union

import numpy as np

from ..types import COUNTERS
from .writers import Chunk, Metadata, Source, check_output, writer_class

__all__ = ["Split", "check_numbered", "numbered_path", "part_sources"]

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


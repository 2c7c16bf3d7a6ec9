"""Pictures of recordings: value against time per instrument, through matplotlib.

Long recordings are reduced before drawing: the samples are cut into as
many runs as the picture has pixel columns, and each run is drawn by its
minimum and its maximum (at the times they occurred). The picture then
looks as if every sample were drawn, spikes included, while matplotlib only
gets two points per column. The file is read in chunks, so an hour at
38,400 samples/s never has to be in memory at once.
"""

from __future__ import annotations

import math
import os
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterable, List, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from ._extras import require
from .recording import Source, part_sources
from .types import COUNTERS

__all__ = ["MinMaxReducer", "Reduced", "draw", "label", "merge_gaps", "minmax", "plot_file", "reduce_source"]

FloatArray = npt.NDArray[np.float64]
#: A step between two samples longer than this many sample periods is a gap.
GAP_PERIODS = 1.5
#: Texts from the file are cut to this many characters in titles and labels.
MAX_LABEL = 100
#: Picture size in inches and resolution: 1200 pixel columns wide.
WIDTH_INCHES = 12.0
ROW_INCHES = 3.0
DPI = 100


@dataclass
class Reduced:
    """What is drawn of one instrument: two points per column, and the gaps.

    :ivar time: x of each point (the time of the sample it comes from).
    :ivar value: y of each point.
    :ivar gaps: (last time before, first time after) of each gap.
    :ivar samples: how many samples went in.
    """

    time: FloatArray
    value: FloatArray
    gaps: List[Tuple[float, float]] = field(default_factory=list)
    samples: int = 0


class MinMaxReducer:
    """Reduces samples given in chunks to the minimum and maximum of each run of ``per_column`` samples.

    :param total: how many samples will come (fixes the run length).
    :param columns: how many runs (pixel columns) to make at most.
    :param period: the sample period in seconds, for finding gaps; ``None`` finds none.
    """

    def __init__(self, total: int, columns: int, period: Optional[float] = None) -> None:
        if columns < 1:
            raise ValueError("columns must be 1 or more")
        self.per_column = max(1, math.ceil(total / columns))
        self.period = period
        self._carry_time: FloatArray = np.empty(0)
        self._carry_value: FloatArray = np.empty(0)
        self._last_time: Optional[float] = None
        self._times: List[FloatArray] = []
        self._values: List[FloatArray] = []
        self._gaps: List[Tuple[float, float]] = []
        self._samples = 0

    def add(self, time: FloatArray, value: FloatArray) -> None:
        """Take the next samples, in order."""
        if not len(time):
            return
        self._samples += len(time)
        if self.period:
            joined = time if self._last_time is None else np.concatenate(([self._last_time], time))
            jumps = np.flatnonzero(np.diff(joined) > GAP_PERIODS * self.period)
            self._gaps.extend(zip(joined[jumps].tolist(), joined[jumps + 1].tolist()))
        self._last_time = float(time[-1])
        if len(self._carry_time):
            time = np.concatenate((self._carry_time, time))
            value = np.concatenate((self._carry_value, value))
        whole = len(time) // self.per_column * self.per_column
        self._reduce(time[:whole], value[:whole], self.per_column)
        self._carry_time, self._carry_value = time[whole:], value[whole:]

    def _reduce(self, time: FloatArray, value: FloatArray, per: int) -> None:
        if not len(time):
            return
        runs = value.reshape(-1, per)
        times = time.reshape(-1, per)
        low = runs.argmin(axis=1)[:, None]
        high = runs.argmax(axis=1)[:, None]
        # The two points of a run in the order they occurred, so the line follows the signal.
        first = np.minimum(low, high)
        second = np.maximum(low, high)
        self._times.append(np.column_stack((np.take_along_axis(times, first, 1),
                                            np.take_along_axis(times, second, 1))).ravel())
        self._values.append(np.column_stack((np.take_along_axis(runs, first, 1),
                                             np.take_along_axis(runs, second, 1))).ravel())

    def finish(self) -> Reduced:
        """The points of all runs, the last partial run included."""
        self._reduce(self._carry_time, self._carry_value, len(self._carry_time))
        self._carry_time = self._carry_value = np.empty(0)
        time = np.concatenate(self._times) if self._times else np.empty(0)
        value = np.concatenate(self._values) if self._values else np.empty(0)
        return Reduced(time, value, self._gaps, self._samples)


def minmax(time: FloatArray, value: FloatArray, columns: int, period: Optional[float] = None) -> Reduced:
    """Reduce samples in memory to at most two points per column (see :class:`MinMaxReducer`)."""
    reducer = MinMaxReducer(len(time), columns, period)
    reducer.add(np.asarray(time, np.float64), np.asarray(value, np.float64))
    return reducer.finish()


def reduce_source(source: Source, columns: int, chunk: int = 1 << 21) -> Reduced:
    """Reduce one instrument of a file, reading it ``chunk`` samples at a time."""
    sps = source.metadata.get("samples_per_second")
    period = 1.0 / float(sps) if isinstance(sps, (int, float)) and sps > 0 else None
    reducer = MinMaxReducer(source.length, columns, period)
    for time, _, value in source.chunks(chunk, with_adc=False):
        reducer.add(time, value)
    return reducer.finish()


def merge_gaps(gaps: Iterable[Tuple[float, float]], closer_than: float) -> List[Tuple[float, float]]:
    """Gaps as drawn: those less than ``closer_than`` apart merged, each at least that wide."""
    merged: List[Tuple[float, float]] = []
    for start, end in sorted(gaps):
        if merged and start - merged[-1][1] < closer_than:
            merged[-1] = (merged[-1][0], max(end, merged[-1][1]))
        else:
            merged.append((start, end))
    return [(a, max(b, a + closer_than)) for a, b in merged]


def label(text: object, limit: int = MAX_LABEL) -> str:
    """A text from a file as a title or label shows it: on one line, cut to ``limit`` characters."""
    flat = " ".join(str(text).split())
    return flat if len(flat) <= limit else flat[:limit - 1] + "\u2026"


def _title(source: Source, reduced: Reduced) -> str:
    meta = source.metadata
    head = " ".join(label(meta[k], 40) for k in ("model", "serial_number") if k in meta) or label(source.name, 40)
    parts = [head]
    sps = meta.get("samples_per_second")
    if isinstance(sps, (int, float)):
        parts.append(f"{float(sps):g} samples/s")
    parts.append(f"{reduced.samples:,} samples" + (f" in {meta['parts']} parts" if "parts" in meta else ""))
    counts = [f"{k} {label(meta[k], 20)}" for k in COUNTERS[1:] if k in meta]
    if counts:
        parts.append(", ".join(counts))
    if meta.get("complete") is False:
        parts.append("incomplete file")
    return "; ".join(parts)


def draw(figure: Any, sources: List[Source], name: str) -> None:
    """Draw each instrument on its own axes of ``figure`` (a matplotlib Figure)."""
    axes = figure.subplots(len(sources), 1, sharex=True, squeeze=False)[:, 0]
    columns = int(figure.get_figwidth() * figure.dpi)
    span = 0.0
    for ax, source in zip(axes, sources):
        reduced = reduce_source(source, columns)
        if len(reduced.time):
            span = max(span, float(reduced.time[-1] - reduced.time[0]))
        gaps = merge_gaps(reduced.gaps, span / columns if span else 0.0)
        # The line breaks at each gap rather than bridging it.
        cuts = np.searchsorted(reduced.time, [end for _, end in gaps])
        ax.plot(np.insert(reduced.time, cuts, np.nan), np.insert(reduced.value, cuts, np.nan),
                linewidth=0.8, color="tab:blue")
        for number, (start, end) in enumerate(gaps):
            ax.axvspan(start, end, color="tab:red", alpha=0.3, linewidth=0,
                       label=f"gap ({len(reduced.gaps)})" if number == 0 else None)
        if gaps:
            ax.legend(loc="upper right")
        unit = source.metadata.get("unit")
        # Texts from the file are shown as they are, never read as mathtext ("$...$").
        ax.set_ylabel(f"value ({label(unit, 30)})" if unit else "value", parse_math=False)
        ax.set_title(label(_title(source, reduced), 2 * MAX_LABEL), fontsize="medium", parse_math=False)
        # Values as they are: a near-flat trace would otherwise get an offset ("1e-6+6e-1") to add in one's head.
        ax.ticklabel_format(axis="y", useOffset=False)
        notes = source.metadata.get("notes")
        if notes:
            ax.text(0.005, 0.98, label("; ".join(str(notes).splitlines()), 2 * MAX_LABEL), transform=ax.transAxes,
                    va="top", fontsize="small", parse_math=False,
                    bbox={"facecolor": "white", "alpha": 0.7, "linewidth": 0})
        ax.grid(True, alpha=0.3)
    axes[-1].set_xlabel("time since start (s)")
    began = next((s.metadata["start_utc"] for s in sources if "start_utc" in s.metadata), None)
    figure.suptitle(label(name) + (f", started {label(began, 40)}" if began else ""), parse_math=False)


def has_display() -> bool:
    """Whether a window can be opened: always off Linux, with an X or Wayland display on it."""
    if not sys.platform.startswith("linux"):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def plot_file(path: Union[str, os.PathLike[str]], output: Optional[Union[str, os.PathLike[str]]] = None) -> Any:
    """Draw a recording; write it to ``output`` (.png, .svg, .pdf, ...) or, without, show it in a window.

    :return: the matplotlib Figure.
    :raises vexlo_tools._extras.MissingExtraError: matplotlib is not installed.
    :raises RuntimeError: no ``output`` and no display to open a window on.
    :raises ValueError: not a recording.
    """
    require("matplotlib", "plot", "drawing recordings")
    from matplotlib.backend_bases import FigureCanvasBase
    if output is not None:
        # Refused before a long recording is read, not after.
        kinds = FigureCanvasBase.get_supported_filetypes()
        if Path(output).suffix.lower().lstrip(".") not in kinds:
            raise ValueError(f"cannot write a picture as {os.fspath(output)!r}; give it one of the suffixes "
                             + ", ".join("." + kind for kind in sorted(kinds)))
    target = Path(path)
    # A run in parts is drawn whole, from the part given on.
    with part_sources(target) as sources:
        if not sources:
            raise ValueError(f"{os.fspath(path)} holds no instrument")
        size = (WIDTH_INCHES, ROW_INCHES * len(sources) + 0.8)
        if output is None:
            if not has_display():
                raise RuntimeError("no display to open a window on; write a picture with -o FILE.png")
            import matplotlib.pyplot as pyplot
            from matplotlib.backends.registry import BackendFilter, backend_registry
            # Without a GUI toolkit matplotlib falls back to a backend that shows nothing.
            quiet: List[str] = backend_registry.list_builtin(  # type: ignore[no-untyped-call]
                BackendFilter.NON_INTERACTIVE)
            if pyplot.get_backend().lower() in quiet:
                raise RuntimeError(f"matplotlib has no window backend here ({pyplot.get_backend()}); "
                                   "write a picture with -o FILE.png")
            figure = pyplot.figure(figsize=size, dpi=DPI, layout="constrained")
        else:
            from matplotlib.figure import Figure
            figure = Figure(figsize=size, dpi=DPI, layout="constrained")
        draw(figure, sources, target.name)
    if output is None:
        pyplot.show()
    else:
        figure.savefig(output)
    return figure

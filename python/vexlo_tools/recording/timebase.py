"""One time base across instruments: each instrument's sample clock estimated against the host's.

An instrument times its samples with its own crystal, some ppm fast or
slow; two instruments' sample times drift apart by their clock errors
(100 ppm is 0.36 s an hour). The host's monotonic clock is the one clock
they share: every block an acquisition hands out says when it was taken
(:attr:`vexlo_tools.Block.taken`), after every one of its samples
arrived. A block's last sample thus arrived at the host at most at that
moment, never after: the delays are one-sided (the line, the USB stack,
the reader's pause, a busy machine). :class:`ClockFit` fits the line under
all the points ``(sample time, host time)`` that touches the earliest ones
(the lower envelope), which such delays cannot bias, only the shortest of
them can (a reader's pause of a few milliseconds, about the same for every
instrument read by the same loop).

The estimate is kept in the file (``clock_error_ppm`` and
``clock_offset_s``, see :meth:`ClockFit.estimate`) and
:func:`vexlo_tools.recording.load` with ``aligned=True`` gives every
instrument's times on the host's time base, from one origin.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Dict, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from .writers import Writer

__all__ = ["ClockEstimate", "ClockFit", "MIN_FIT_SECONDS", "aligned_times", "lower_envelope", "note_estimates"]

#: Points kept at most per instrument: older ones are thinned to the earliest per (wider) span of
#: sample time, so that a run of days needs as little memory as one of minutes.
MAX_POINTS = 2048
#: The span of sample time a kept point stands for at first.
FIRST_SPAN_SECONDS = 1.0
#: An estimate needs points at least this far apart in sample time (before, the rate error
#: would rest on noise).
MIN_FIT_SECONDS = 10.0


@dataclass(frozen=True)
class ClockEstimate:
    """An instrument's clock against the host's: ``host = offset_s + t / (1 + error_ppm * 1e-6)``.

    :ivar error_ppm: how fast the instrument's clock runs, in parts per million (negative: slow).
    :ivar offset_s: the host's monotonic clock (s) at the instrument's sample time zero.
    :ivar points: how many points the fit rests on.
    """

    error_ppm: float
    offset_s: float
    points: int

    def host_time(self, time: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        """Sample times (s since streaming started) on the host's monotonic clock."""
        result: npt.NDArray[np.float64] = self.offset_s + np.asarray(time, np.float64) / (1.0 + self.error_ppm * 1e-6)
        return result


def lower_envelope(x: Sequence[float], y: Sequence[float]) -> Optional[Tuple[float, float]]:
    """The line ``y = a + b x`` under every point that lies closest to them on the whole.

    It minimises the sum of the points' heights above it: of the lines
    under all points, the one that touches their lower convex hull at the
    points' mean ``x``. Delays that only ever add to ``y`` cannot pull it.

    :param x: rising abscissae.
    :return: ``(a, b)``, or ``None`` for fewer than two distinct ``x``.
    """
    hull: List[Tuple[float, float]] = []
    for point in zip(x, y):
        # Monotone chain: drop the last point while it lies on or above the segment to the new one.
        while len(hull) >= 2:
            (x1, y1), (x2, y2) = hull[-2], hull[-1]
            if (x2 - x1) * (point[1] - y1) - (y2 - y1) * (point[0] - x1) <= 0:
                hull.pop()
            else:
                break
        if hull and point[0] == hull[-1][0]:
            if point[1] < hull[-1][1]:
                hull[-1] = point
            continue
        hull.append(point)
    if len(hull) < 2:
        return None
    mean = float(np.mean(x))
    for (x1, y1), (x2, y2) in zip(hull, hull[1:]):
        if x2 >= mean:
            break
    slope = (y2 - y1) / (x2 - x1)
    return y1 - slope * x1, slope


class ClockFit:
    """Collects ``(sample time, host time)`` points of one instrument and fits its clock.

    :param samples_per_second: the instrument's nominal rate.
    """

    def __init__(self, samples_per_second: float) -> None:
        self.rate = float(samples_per_second)
        self.span = FIRST_SPAN_SECONDS
        # Per span of sample time, the point that came earliest against a clock without error.
        self._points: Dict[int, Tuple[float, float]] = {}

    def add(self, next_sample: int, taken: float) -> None:
        """The samples before sample number ``next_sample`` had all arrived when the host's clock read ``taken``."""
        if next_sample <= 0 or not math.isfinite(taken):
            return
        # The last sample is sent once its period is over, at the next one's time: so the line's
        # offset is the host's time of sample time zero, the moment streaming was switched on.
        x = next_sample / self.rate
        key = int(x // self.span)
        kept = self._points.get(key)
        if kept is None or taken - x < kept[1] - kept[0]:
            self._points[key] = (x, taken)
            if len(self._points) > MAX_POINTS:
                self._thin()

    def _thin(self) -> None:
        self.span *= 2
        points, self._points = self._points, {}
        for x, y in points.values():
            key = int(x // self.span)
            kept = self._points.get(key)
            if kept is None or y - x < kept[1] - kept[0]:
                self._points[key] = (x, y)

    def estimate(self) -> Optional[ClockEstimate]:
        """The clock's estimate, or ``None`` before the points span :data:`MIN_FIT_SECONDS`."""
        points = sorted(self._points.values())
        if len(points) < 2 or points[-1][0] - points[0][0] < MIN_FIT_SECONDS:
            return None
        x, y = zip(*points)
        fit = lower_envelope(x, y)
        if fit is None:
            return None
        offset, slope = fit
        return ClockEstimate((1.0 / slope - 1.0) * 1e6, offset, len(points))


def note_estimates(writer: "Writer", fits: Sequence[ClockFit]) -> None:
    """Bring the clock estimates of a recording's instruments up to date in ``writer`` (where there are some)."""
    for index, fit in enumerate(fits):
        estimate = fit.estimate()
        if estimate is not None:
            writer.note(index, "clock_error_ppm", estimate.error_ppm)
            writer.note(index, "clock_offset_s", estimate.offset_s)


def aligned_times(times: Sequence[npt.NDArray[np.float64]],
                  estimates: Sequence[Optional[ClockEstimate]]) -> List[npt.NDArray[np.float64]]:
    """Each instrument's sample times on the host's time base, from one origin: the earliest sample time zero.

    :raises ValueError: an instrument has no estimate.
    """
    if any(e is None for e in estimates):
        raise ValueError("an instrument has no clock estimate (a run shorter than "
                         f"{MIN_FIT_SECONDS:g} s, or recorded without the host's times)")
    known = [e for e in estimates if e is not None]
    origin = min((e.offset_s for e in known), default=0.0)
    return [e.host_time(t) - origin for t, e in zip(times, known)]

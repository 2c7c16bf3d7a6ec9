"""Loads as functions of the instrument's time: the shapes engineers meet, added together.

Each shape is a :class:`Signal`: called with the instrument's time ``t``
(seconds from its time zero) it gives the load, in the unit of the
calibration that converts it. ``a + b`` is their sum, so a sine on a
drifting offset with mains hum and noise is one expression, or several
``[[instrument.load]]`` tables on one channel of a bench file.
"""

from __future__ import annotations

import csv
import inspect
import math
import os
import random
import stat
from typing import Any, Callable, Dict, List, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

__all__ = ["CsvLoad", "Drift", "Hum", "LOAD_KINDS", "Noise", "Replay", "Signal", "Steps", "Sum", "load_signal"]

#: Mains frequencies a hum may have.
MAINS_FREQUENCIES = (50.0, 60.0)
#: Rows a CSV load may have: a day at 100 samples/s is far beyond any bench's profile.
MAX_CSV_ROWS = 10_000_000
#: The highest frequency of a sine, Hz: far above any instrument's sampling rate.
MAX_FREQUENCY = 1e6
#: Steps a load may have.
MAX_STEPS = 100_000


def _finite(value: float, name: str) -> float:
    if not math.isfinite(value):
        raise ValueError(f"{name} must be a finite number, got {value!r}")
    return float(value)


class Signal:
    """A load as a function of time; ``a + b`` adds two of them."""

    def __call__(self, t: float) -> float:
        raise NotImplementedError

    def __add__(self, other: "Signal") -> "Sum":
        if not callable(other):
            return NotImplemented
        return Sum([*_terms(self), *_terms(other)])

    def __repr__(self) -> str:
        fields = ", ".join(f"{key}={value!r}" for key, value in self._fields().items())
        return f"{type(self).__name__.lower()}({fields})"

    def _fields(self) -> Dict[str, Any]:
        return {key: value for key, value in vars(self).items() if not key.startswith("_")}


def _terms(signal: Callable[[float], float]) -> List[Callable[[float], float]]:
    return list(signal.terms) if isinstance(signal, Sum) else [signal]


class Sum(Signal):
    """The sum of several loads (what ``a + b`` gives)."""

    def __init__(self, terms: Sequence[Callable[[float], float]]) -> None:
        self.terms = tuple(terms)

    def __call__(self, t: float) -> float:
        return sum([term(t) for term in self.terms])

    def __repr__(self) -> str:
        return " + ".join(repr(term) for term in self.terms)


class Constant(Signal):
    """``value`` at all times."""

    def __init__(self, value: float = 0.0) -> None:
        self.value = _finite(value, "value")

    def __call__(self, t: float) -> float:
        return self.value


class Ramp(Signal):
    """``start + slope * t``."""

    def __init__(self, start: float = 0.0, slope: float = 1.0) -> None:
        self.start, self.slope = _finite(start, "start"), _finite(slope, "slope")

    def __call__(self, t: float) -> float:
        return self.start + self.slope * t


class Sine(Signal):
    """``offset + amplitude * sin(2 pi frequency t + phase)`` (``phase`` in degrees)."""

    def __init__(self, offset: float = 0.0, amplitude: float = 1.0, frequency: float = 1.0,
                 phase: float = 0.0) -> None:
        self.offset, self.amplitude = _finite(offset, "offset"), _finite(amplitude, "amplitude")
        self.frequency, self.phase = _finite(frequency, "frequency"), _finite(phase, "phase")
        if abs(self.frequency) > MAX_FREQUENCY:
            raise ValueError(f"frequency must lie within +-{MAX_FREQUENCY:g} Hz, got {frequency!r}")
        self._omega, self._phase = 2.0 * math.pi * self.frequency, math.radians(self.phase)

    def __call__(self, t: float) -> float:
        return self.offset + self.amplitude * math.sin(self._omega * t + self._phase)


class Hum(Sine):
    """Mains hum: a sine of ``amplitude`` at 50 or 60 Hz (``phase`` in degrees)."""

    def __init__(self, amplitude: float = 1.0, frequency: float = 50.0, phase: float = 0.0) -> None:
        if frequency not in MAINS_FREQUENCIES:
            raise ValueError(f"frequency must be 50 or 60 (Hz, the mains), got {frequency!r}")
        super().__init__(0.0, amplitude, frequency, phase)

    def _fields(self) -> Dict[str, Any]:
        return {"amplitude": self.amplitude, "frequency": self.frequency, "phase": self.phase}


class Noise(Signal):
    """Gaussian noise around ``mean`` with standard ``deviation``, repeatable by ``seed``."""

    def __init__(self, mean: float = 0.0, deviation: float = 1.0, seed: int = 0) -> None:
        self.mean, self.deviation = _finite(mean, "mean"), _finite(deviation, "deviation")
        if self.deviation < 0:
            raise ValueError(f"deviation must be 0 or more, got {deviation!r}")
        self.seed = seed
        self._random = random.Random(seed)

    def __call__(self, t: float) -> float:
        return self._random.gauss(self.mean, self.deviation)


class Drift(Signal):
    """A slow drift: ``rate`` per second, plus a random walk that strays ``deviation`` in a second.

    The walk's spread grows with the square root of time (its increments
    over ``dt`` seconds have the standard deviation ``deviation *
    sqrt(dt)``), as a sensor's zero wanders with temperature. Time only
    moves forward for it: an earlier ``t`` gives the latest value.
    """

    def __init__(self, rate: float = 0.0, deviation: float = 0.0, seed: int = 0) -> None:
        self.rate, self.deviation = _finite(rate, "rate"), _finite(deviation, "deviation")
        if self.deviation < 0:
            raise ValueError(f"deviation must be 0 or more, got {deviation!r}")
        self.seed = seed
        self._random = random.Random(seed)
        self._t = 0.0
        self._walk = 0.0

    def __call__(self, t: float) -> float:
        if t > self._t:
            if self.deviation:
                self._walk += self._random.gauss(0.0, self.deviation * math.sqrt(t - self._t))
            self._t = t
        return self.rate * self._t + self._walk


class Steps(Signal):
    """A load that holds ``start`` until ``times[0]``, then ``levels[0]`` until ``times[1]``, and so on."""

    def __init__(self, times: Sequence[float], levels: Sequence[float], start: float = 0.0) -> None:
        if len(times) != len(levels):
            raise ValueError(f"times and levels differ: {len(times)} times but {len(levels)} levels")
        if len(times) > MAX_STEPS:
            raise ValueError(f"times: at most {MAX_STEPS} steps, got {len(times)}")
        self.times = [_finite(t, "times") for t in times]
        self.levels = [_finite(v, "levels") for v in levels]
        if any(b <= a for a, b in zip(self.times, self.times[1:])):
            raise ValueError("times must increase")
        self.start = _finite(start, "start")
        self._times = np.array(self.times)
        self._levels = np.array([self.start, *self.levels])

    def __call__(self, t: float) -> float:
        return float(self._levels[np.searchsorted(self._times, t, side="right")])

    def _fields(self) -> Dict[str, Any]:
        # A log message names the shape, not thousands of levels.
        return {"start": self.start, "steps": len(self.times)}


def read_csv_load(path: Union[str, "os.PathLike[str]"]) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The times and loads of a CSV file of two columns (a header line is skipped).

    :raises ValueError: (beginning "file") unreadable or not a regular file,
        a row that is not two finite numbers, times that do not increase,
        no rows, or more than :data:`MAX_CSV_ROWS` rows.
    """
    name = os.fspath(path)
    times: List[float] = []
    loads: List[float] = []
    try:
        with open(name, newline="") as handle:
            if not stat.S_ISREG(os.fstat(handle.fileno()).st_mode):
                raise ValueError(f"file {name}: not a regular file")
            for number, row in enumerate(csv.reader(handle), start=1):
                if not row or row[0].lstrip().startswith("#"):
                    continue
                try:
                    t, load = float(row[0]), float(row[1])
                except (ValueError, IndexError):
                    if not times and number == 1:
                        continue  # the header
                    raise ValueError(f"file {name}, line {number}: not a time and a load: {row!r}") from None
                if not (math.isfinite(t) and math.isfinite(load)):
                    raise ValueError(f"file {name}, line {number}: time and load must be finite, got {row!r}")
                if times and t <= times[-1]:
                    raise ValueError(f"file {name}, line {number}: times must increase ({t} after {times[-1]})")
                if len(times) >= MAX_CSV_ROWS:
                    raise ValueError(f"file {name}: more than {MAX_CSV_ROWS} rows")
                times.append(t)
                loads.append(load)
    except OSError as exc:
        raise ValueError(f"file {name}: cannot read: {exc.strerror or exc}") from None
    except (UnicodeDecodeError, csv.Error) as exc:
        raise ValueError(f"file {name}: not a CSV text file ({exc})") from None
    if not times:
        raise ValueError(f"file {name}: no rows of time and load")
    return np.array(times), np.array(loads)


class CsvLoad(Signal):
    """A load read from a CSV file of time (s) and load, interpolated linearly.

    Before the first time the first load holds, after the last the last
    one, unless ``loop``: then the file repeats.
    """

    def __init__(self, file: Union[str, "os.PathLike[str]"], loop: bool = False) -> None:
        self.file = os.fspath(file)
        self.loop = loop
        self._times, self._loads = read_csv_load(self.file)

    def __call__(self, t: float) -> float:
        times = self._times
        if self.loop and len(times) > 1:
            t = times[0] + (t - times[0]) % (times[-1] - times[0])
        return float(np.interp(t, times, self._loads))


class Replay(Signal):
    """Recorded loads at recorded times (seconds from the first sample), streamed again.

    As a load signal it gives the latest recorded value at ``t`` (for
    readings); while streaming the instrument sends sample ``k`` when
    :meth:`due` counts it: one sample period after its recorded time from
    the start of streaming, as a live instrument sends a sample once taken.

    :param times: the samples' times, increasing, the first taken as 0.
    :param values: their loads.
    :param samples_per_second: the recorded rate; a loop lasts the
        recording plus one sample period.
    :param loop: start over at the end, rather than stop sending.
    """

    def __init__(self, times: npt.ArrayLike, values: npt.ArrayLike, samples_per_second: float,
                 loop: bool = False) -> None:
        self.times = np.asarray(times, dtype=np.float64)
        self.values = np.asarray(values, dtype=np.float64)
        if self.times.ndim != 1 or self.times.shape != self.values.shape or not len(self.times):
            raise ValueError("a replay needs as many times as values, at least one")
        if not (math.isfinite(samples_per_second) and samples_per_second > 0):
            raise ValueError(f"samples_per_second must be above 0, got {samples_per_second!r}")
        if not np.all(np.isfinite(self.values)) or np.any(np.diff(self.times) <= 0):
            raise ValueError("a replay needs finite values at increasing times")
        self.times = self.times - self.times[0]
        self.samples_per_second = float(samples_per_second)
        self.loop = loop
        self.period = float(self.times[-1]) + 1.0 / self.samples_per_second

    def __repr__(self) -> str:
        return (f"replay({len(self.times)} samples at {self.samples_per_second:g}/s"
                f"{', looped' if self.loop else ''})")

    def due(self, elapsed: float) -> int:
        """How many samples have been sent ``elapsed`` seconds after streaming started."""
        if elapsed < 0:
            return 0
        laps = 0.0
        if self.loop:
            laps, elapsed = divmod(elapsed, self.period)
        # As the instrument sends a sample once it is taken, one period after its time (and not a rounding later).
        sent = np.searchsorted(self.times, elapsed - 1.0 / self.samples_per_second + 1e-9, side="right")
        return int(laps) * len(self.times) + int(sent)

    def value(self, sample: int) -> float:
        """The load of the ``sample``-th sample sent (counting over loops)."""
        return float(self.values[sample % len(self.values)])

    def __call__(self, t: float) -> float:
        return self.value(max(0, self.due(t) - 1))


#: The load kinds of :func:`load_signal` and bench files, with the keys each takes.
LOAD_KINDS: Dict[str, Callable[..., Signal]] = {
    "constant": Constant,
    "ramp": Ramp,
    "sine": Sine,
    "noise": Noise,
    "drift": Drift,
    "hum": Hum,
    "steps": Steps,
    "csv": CsvLoad,
}


def kind_keys(kind: str) -> List[str]:
    """The keys a load of ``kind`` takes."""
    return [name for name in inspect.signature(LOAD_KINDS[kind]).parameters]


def load_signal(kind: str, **params: Any) -> Signal:
    """A load of one of the :data:`LOAD_KINDS` (``ramp(start=0, slope=100)`` is ``load_signal("ramp", ...)``).

    ``constant`` (``value``), ``ramp`` (``start + slope * t``), ``sine``
    (``offset + amplitude * sin(2 pi frequency t + phase)``), ``noise``
    (Gaussian around ``mean`` with standard ``deviation``, repeatable by
    ``seed``), ``drift`` (``rate`` per second plus a random walk of
    ``deviation`` per square-root second, ``seed``), ``hum`` (``amplitude``
    at 50 or 60 Hz ``frequency``, ``phase`` in degrees), ``steps``
    (``start``, then ``levels[i]`` from ``times[i]`` on) and ``csv`` (a
    ``file`` of time and load, interpolated; ``loop``). Add them with ``+``.

    :raises ValueError: unknown kind or key, or a value out of range.
    """
    if kind not in LOAD_KINDS:
        raise ValueError(f"unknown load kind {kind!r}; choose from {', '.join(LOAD_KINDS)}")
    keys = kind_keys(kind)
    unknown = sorted(set(params) - set(keys))
    if unknown:
        raise ValueError(f"a {kind} load has no {unknown[0]!r}; its keys are {', '.join(keys)}")
    parameters = inspect.signature(LOAD_KINDS[kind]).parameters
    missing = [key for key in keys if key not in params and parameters[key].default is inspect.Parameter.empty]
    if missing:
        raise ValueError(f"{missing[0]} missing: a {kind} load needs {' and '.join(missing)}")
    if "seed" in params:
        seed = params["seed"]
        if isinstance(seed, float) and seed.is_integer():
            params["seed"] = int(seed)
        if not isinstance(params["seed"], int) or isinstance(params["seed"], bool):
            raise ValueError(f"seed must be an integer, got {seed!r}")
    return LOAD_KINDS[kind](**params)

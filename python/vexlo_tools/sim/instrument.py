"""The simulated instrument: state, request handling, streaming and faults.

:class:`SimulatedInstrument` is transport-free. A transport hands it the
bytes the host wrote (:meth:`~SimulatedInstrument.receive`) and collects
what it sends back (:meth:`~SimulatedInstrument.transmit`): answers to
requests and, while streaming, sample packets that accrue with the time
the transport passes in. :meth:`~SimulatedInstrument.respond` answers a
single request frame directly, for tests that work at frame level.
"""

from __future__ import annotations

import logging
import math
import random
import struct
import threading
import time
import types
from collections import deque
from dataclasses import dataclass
from typing import Any, Callable, Deque, Dict, List, Optional, Sequence, Tuple, Union

from ..models import MODELS, PLUS_PRIME_ITEM_NUMBER, ModelInfo, is_plus_prime
from .protocol import COMMANDS, CommandInfo, Rejected, Request, RequestParser, build_response, stream_packet
from .signals import Replay
from .teds import TedsSensor, page_of

__all__ = [
    "BAUD_RATES",
    "Channel",
    "Faults",
    "LoggedRequest",
    "MAX_STREAM_BACKLOG",
    "PLUS_PRIME_ITEM_NUMBER",
    "Profile",
    "SAMPLING_RATES",
    "SimulatedInstrument",
    "sampling_rates_for",
]

logger = logging.getLogger("vexlo_tools.sim")

# The instrument facts come from the toolkit's one registry of models; the
# names below are kept because users' tests import them from here.

#: The model an unknown model name behaves like (8 rates, 320000 and 115200 baud).
_GENERIC_MODEL = MODELS["MVR420"]
_UNKNOWN_ITEM_NUMBER = "QMT00000"

#: Samples per second for each sampling-rate code, per model.
SAMPLING_RATES: Dict[str, Tuple[float, ...]] = {name: info.rates for name, info in MODELS.items()}
#: Baud rates at which each model answers.
BAUD_RATES: Dict[str, Tuple[int, ...]] = {name: info.baud_rates for name, info in MODELS.items()}
# Item numbers of the editions without TEDS hardware (the Plus Prime is PLUS_PRIME_ITEM_NUMBER).
DEFAULT_ITEM_NUMBERS: Dict[str, str] = {name: info.default_item_number for name, info in MODELS.items()}


def _model_info(model: str) -> ModelInfo:
    return MODELS.get(model, _GENERIC_MODEL)

#: The first firmware version with the V1 AutoTEDS commands (and without the old ones).
V1_AUTO_TEDS_FIRMWARE = (4, 3, 2)

UNIT_N = 26
UNIT_MVV = 34
#: The unit codes an instrument takes.
UNIT_CODES = frozenset(range(64)) | {254, 255}
#: Channels an instrument may have (a channel number is one byte on the wire).
MAX_CHANNELS = 256
#: Loading points per direction (a point number is one byte for both directions).
MAX_POINTS_PER_DIRECTION = 128
#: The largest reading noise, +- counts.
MAX_NOISE_COUNTS = 0x7FFFFFFF
#: The largest rate error of an instrument's clock, in parts per million (a crystal's is about 100).
MAX_CLOCK_ERROR_PPM = 10_000.0

_MAX_COUNT = 0xFFFFFFFF
# ADC counts are 32-bit with the converter's 24-bit sample in the upper three
# bytes, so one step of the converter is 256 counts and the low byte is 0.
_ADC_STEP = 256
_MAX_SAMPLE = 0xFFFFFF
#: The count of a sensor at rest (mid-scale), and of full load in the default calibration.
OFFSET_COUNT = 0x80000000
FULLSCALE_COUNT = 12_000_000 * _ADC_STEP
#: Size of the instrument's output FIFO for stream packets, in bytes. When
#: the link does not carry packets away fast enough (a stalled stream, a
#: transport not pulled for a long while) the FIFO fills and the newest
#: samples find no room: they are dropped and counted in
#: ``SimulatedInstrument.dropped_samples``.
MAX_STREAM_BACKLOG = 64 * 1024


def sampling_rates_for(model: str) -> Tuple[float, ...]:
    """Samples per second by rate code for ``model`` (unknown models use the 8-rate table)."""
    return _model_info(model).rates


def _adc_count(value: float) -> int:
    """What the ADC measures for ``value``: its 24-bit sample in the upper three bytes, saturating."""
    if math.isnan(value):
        raise ValueError("count is NaN")
    step = value / _ADC_STEP
    return 0 if step <= 0 else _MAX_SAMPLE * _ADC_STEP if step >= _MAX_SAMPLE else round(step) * _ADC_STEP


# The counts the ADC can tell apart from its ends.
_ADC_LOW = -_ADC_STEP / 2
_ADC_HIGH = (_MAX_SAMPLE + 0.5) * _ADC_STEP


def _describe(source: object) -> str:
    """A load as a log message names it: its own ``repr``, or a function's name."""
    return source.__qualname__ if isinstance(source, types.FunctionType) else repr(source)


def _check_int_range(value: int, low: int, high: int, what: str) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or not low <= value <= high:
        raise ValueError(f"{what} must be an integer from {low} to {high}, got {value!r}")
    return value


_FLOAT32_MAX = 3.4028234663852886e38


def _float32(value: float) -> float:
    single: float = struct.unpack("<f", struct.pack("<f", value))[0]
    return single


@dataclass
class Profile:
    """One calibration profile of an instrument.

    ``loads`` and ``counts`` hold the loading points: first the
    ``n`` points of direction 1, then the ``n`` points of direction 2
    (``n`` = :attr:`points_per_direction`). Loads are engineering values
    (sent as 32-bit floats, so they are kept rounded to float32), counts
    are 32-bit ADC counts. A direction's first point is its offset (no
    load), its last its fullscale point; direction 2's loads are stored
    positive, the host reports them negated.

    :param direction_code: 1 for a two-direction calibration, 0 for one.
    :param sensor_serial_number: 32-bit sensor serial number.
    :param sampling_rate_code: code into the model's sampling-rate table.
    :param unit_code: unit of measure code (26 is N).
    """

    loads: List[float]
    counts: List[int]
    direction_code: int = 1
    sensor_serial_number: int = 0
    sampling_rate_code: int = 7
    unit_code: int = UNIT_N

    def __post_init__(self) -> None:
        if len(self.loads) != len(self.counts):
            raise ValueError(f"{len(self.loads)} loads but {len(self.counts)} counts: one of each per point")
        if len(self.loads) % 2:
            raise ValueError("loading points come in two directions of n points each: need an even number")
        if len(self.loads) > 2 * MAX_POINTS_PER_DIRECTION:
            raise ValueError("at most 256 loading points (point indices are one byte)")
        if not all(math.isfinite(v) and abs(v) <= _FLOAT32_MAX for v in self.loads):
            raise ValueError(f"loads must be finite 32-bit floats (at most {_FLOAT32_MAX:g}), got {self.loads!r}")
        self.loads = [_float32(float(v)) for v in self.loads]
        self.counts = [_check_int_range(c, 0, _MAX_COUNT, "count") for c in self.counts]
        _check_int_range(self.direction_code, 0, 255, "direction_code")
        _check_int_range(self.sensor_serial_number, 0, _MAX_COUNT, "sensor_serial_number")
        _check_int_range(self.sampling_rate_code, 0, 255, "sampling_rate_code")
        _check_int_range(self.unit_code, 0, 255, "unit_code")

    @classmethod
    def linear(
        cls,
        *,
        offset_count: int = OFFSET_COUNT,
        fullscale_count: int = FULLSCALE_COUNT,
        capacity: float = 1000.0,
        points_per_direction: int = 2,
        two_directions: bool = True,
        reverse_fullscale_count: Optional[int] = None,
        reverse_capacity: Optional[float] = None,
        sensor_serial_number: int = 0,
        sampling_rate_code: int = 7,
        unit_code: int = UNIT_N,
    ) -> "Profile":
        """A linear calibration with evenly spaced points.

        Direction 1 runs from ``offset_count`` at load 0 to
        ``fullscale_count`` at ``capacity``. Direction 2 starts at the same
        offset and, unless given, mirrors direction 1 (its fullscale count
        lies as far below the offset as direction 1's lies above). With
        ``two_directions=False`` the direction code is 0 and, unless given,
        the direction-2 points repeat direction 1's (the instrument's table
        always has both halves, and the host reads both).
        """
        if not 2 <= points_per_direction <= MAX_POINTS_PER_DIRECTION:
            raise ValueError(f"a linear profile has 2 to {MAX_POINTS_PER_DIRECTION} points per direction, "
                             f"got {points_per_direction}")
        if not (math.isfinite(capacity) and capacity > 0):
            raise ValueError(f"capacity must be a finite number above 0, got {capacity!r}")
        if reverse_fullscale_count is None:
            reverse_fullscale_count = (2 * offset_count - fullscale_count) if two_directions else fullscale_count
        if reverse_capacity is None:
            reverse_capacity = capacity
        n = points_per_direction
        steps = [i / (n - 1) for i in range(n)]
        loads = [capacity * s for s in steps] + [reverse_capacity * s for s in steps]
        counts = [round(offset_count + (fullscale_count - offset_count) * s) for s in steps]
        counts += [round(offset_count + (reverse_fullscale_count - offset_count) * s) for s in steps]
        return cls(
            loads=loads,
            counts=counts,
            direction_code=1 if two_directions else 0,
            sensor_serial_number=sensor_serial_number,
            sampling_rate_code=sampling_rate_code,
            unit_code=unit_code,
        )

    @property
    def points_per_direction(self) -> int:
        """Loading points per direction (what the instrument reports as n)."""
        return len(self.loads) // 2

    def count_for_load(self, load: float) -> int:
        """The ADC count at which the host's converter reads ``load``.

        Inverts the host's linear conversion over each direction's first
        and last point: a load of 0 or more uses direction 1, a negative
        load direction 2 (direction 1 extrapolated when the profile has
        one direction). The result is what a saturating 24-bit ADC gives:
        rounded to its step (the low byte is 0) and clamped to its range.
        """
        return _adc_count(self.exact_count(load))

    def exact_count(self, load: float) -> float:
        """The count of ``load`` before the ADC rounds and saturates (see :meth:`count_for_load`)."""
        n = self.points_per_direction
        if n == 0:
            raise ValueError("profile has no loading points")
        if load >= 0 or self.direction_code != 1:
            offset, fullscale, capacity = self.counts[0], self.counts[n - 1], self.loads[n - 1]
            sign = 1.0
        else:
            offset, fullscale, capacity = self.counts[n], self.counts[2 * n - 1], self.loads[2 * n - 1]
            sign = -1.0
        if capacity == 0:
            raise ValueError("the profile's fullscale load is 0: no count corresponds to a load")
        return offset + sign * load * (fullscale - offset) / capacity


@dataclass
class Channel:
    """One measuring channel: its selected profile and what it measures.

    The channel measures ``raw_count``, unless ``signal`` is set: then
    ``signal(t)`` gives the load at the instrument's time ``t`` (seconds
    from its time zero, see :meth:`SimulatedInstrument.instrument_time`),
    converted through the selected profile at every reading.
    """

    selected_profile: int = 0
    raw_count: int = OFFSET_COUNT
    signal: Optional[Callable[[float], float]] = None


@dataclass
class Faults:
    """Faults the instrument shows on demand (set through the instrument's methods).

    Counts of ``None`` mean "every time until cleared".
    """

    silent: bool = False
    silent_requests: int = 0
    short_length: Optional[int] = None
    short_answers: Optional[int] = 0
    corrupt_answers: Optional[int] = 0
    garbage_fraction: float = 0.0
    unplugged: bool = False
    late_delay: float = 0.0
    late_answers: Optional[int] = 0
    not_reading: bool = False
    stream_stalled: bool = False
    stall_until: Optional[float] = None
    stall_pending: Optional[float] = None
    unplug_after_samples: Optional[int] = None
    ignored_stream_offs: int = 0
    trickle: bool = False


@dataclass(frozen=True)
class LoggedRequest:
    """A request the instrument received, as kept in ``request_log``.

    ``answered`` is False when the instrument stayed silent (a silence
    fault, an invalid argument, a command its hardware lacks).
    """

    name: str
    high: int
    low: int
    arguments: bytes
    answered: bool


class _Refused(Exception):
    """A request the instrument does not answer (logged, then silence)."""


class _WholeAnswer(bytes):
    """A handler's answer that is the complete frame, not a payload to wrap."""


Load = Union[int, float]


class SimulatedInstrument:
    """A simulated Vexlo instrument.

    Build one with a preset (:meth:`plx310_plus_prime`, :meth:`plx310`,
    :meth:`mvr420`, :meth:`dta530`, :meth:`hsk640`) or the constructor,
    adjust its public attributes, and put it on a port with
    :func:`vexlo_tools.sim.simulated_ports` (in-process) or
    :class:`vexlo_tools.sim.PtyServer` (pseudo-terminals).

    :param model: model name, at most 10 ASCII characters ("PLX310",
        "MVR420", "DTA530", "HSK640"; others are accepted and behave like
        the 8-rate models).
    :param item_number: item number, at most 10 ASCII characters; by
        default the model's edition without TEDS.
    :param serial_number: instrument serial number (32 bits).
    :param firmware_version: three bytes, e.g. ``(4, 3, 2)``.
    :param board_temperature_raw: raw board temperature count (the default
        reads as about 25 degrees C).
    :param profiles: calibration profiles; by default 8 profiles with the
        linear two-direction calibration of :meth:`Profile.linear`.
    :param channel_count: number of measuring channels.
    :param teds_sensor: the attached TEDS sensor, or ``None`` for none.
    :param teds_hardware: whether TEDS and AutoTEDS commands are answered;
        by default only on a PLX310 with the Plus Prime item number. Of the
        two AutoTEDS command generations only the firmware's own is
        answered: V1 from firmware 4.3.2 on, the old one before.
    :param auto_teds: initial AutoTEDS switch.
    :param baud_rates: rates at which it answers; by default the model's.
    :param noise_counts: uniform noise of +- this many counts (on the
        32-bit scale, so one ADC step is 256) on every reading and stream
        sample (0 for exact, repeatable values).
    :param seed: seed for noise and stream garbage, for repeatable tests.
    :param t0: the time of the instrument's own clock, in seconds, at its
        time zero (see :meth:`bind_clock`): load signals start there.
    :param clock_error_ppm: how fast the instrument's own clock runs, in
        parts per million (negative: slow). Its sampling and its load
        signals follow that clock, as a real instrument's crystal does.

    Attributes worth knowing: ``profiles``, ``channels``, ``faults``,
    ``streaming``, ``auto_teds``, ``auto_teds_on_code`` (the value
    answered for "on", 1 by default), ``request_log`` (the last 1000
    requests received, oldest first), ``samples_sent`` and
    ``dropped_samples`` (stream samples handed to the transport, and
    samples the full output FIFO had no room for, since streaming last
    started: the truth to compare a host's loss counters with), ``created``
    (``time.monotonic()`` at construction). ``baud_rates`` and ``teds_hardware``
    are derived from the model and item number once, at construction: set
    them as well when changing ``model`` or ``item_number`` afterwards.
    """

    def __init__(
        self,
        model: str = "PLX310",
        item_number: Optional[str] = None,
        *,
        serial_number: int = 20240001,
        firmware_version: Sequence[int] = (4, 3, 2),
        board_temperature_raw: int = 9075075,
        profiles: Optional[Sequence[Profile]] = None,
        channel_count: int = 2,
        teds_sensor: Optional[TedsSensor] = None,
        teds_hardware: Optional[bool] = None,
        auto_teds: bool = False,
        baud_rates: Optional[Sequence[int]] = None,
        noise_counts: int = 0,
        seed: Optional[int] = 0,
        t0: float = 0.0,
        clock_error_ppm: float = 0.0,
    ) -> None:
        self._lock = threading.RLock()
        self.created = time.monotonic()
        self.t0 = t0
        self.clock_error_ppm = clock_error_ppm
        # The transport-clock reading of time zero, once a transport has given it.
        self._epoch: Optional[float] = None
        # Channels whose load drove the ADC beyond its range: warned once each.
        self._clipped: set[int] = set()
        self.model = model
        self.item_number = (item_number if item_number is not None
                            else DEFAULT_ITEM_NUMBERS.get(model, _UNKNOWN_ITEM_NUMBER))
        self._encode_name(self.model, "model")
        self._encode_name(self.item_number, "item_number")
        self.serial_number = _check_int_range(serial_number, 0, _MAX_COUNT, "serial_number")
        self.firmware_version = bytes(firmware_version)
        if len(self.firmware_version) != 3:
            raise ValueError("firmware_version must be three bytes, e.g. (4, 3, 2)")
        self.board_temperature_raw = _check_int_range(board_temperature_raw, 0, _MAX_COUNT, "board_temperature_raw")
        if profiles is None:
            rate_code = _model_info(model).default_rate_code
            profiles = [
                Profile.linear(sensor_serial_number=100001 + i, sampling_rate_code=rate_code) for i in range(8)
            ]
        self.profiles: List[Profile] = list(profiles)
        if not self.profiles:
            raise ValueError("an instrument needs at least one profile")
        _check_int_range(channel_count, 1, MAX_CHANNELS, "channel_count")
        _check_int_range(noise_counts, 0, MAX_NOISE_COUNTS, "noise_counts")
        if not math.isfinite(t0):
            raise ValueError(f"t0 must be a finite number of seconds, got {t0!r}")
        if not (math.isfinite(clock_error_ppm) and abs(clock_error_ppm) <= MAX_CLOCK_ERROR_PPM):
            raise ValueError(f"clock_error_ppm must lie between -{MAX_CLOCK_ERROR_PPM:g} and "
                             f"{MAX_CLOCK_ERROR_PPM:g}, got {clock_error_ppm!r}")
        self.channels: List[Channel] = [Channel() for _ in range(channel_count)]
        self.teds_sensor = teds_sensor
        self.teds_hardware = (
            teds_hardware if teds_hardware is not None
            else is_plus_prime(model, self.item_number)
        )
        self.auto_teds = auto_teds
        self.auto_teds_on_code = 1
        self.baud_rates = frozenset(baud_rates if baud_rates is not None else _model_info(model).baud_rates)
        self.noise_counts = noise_counts
        self.faults = Faults()
        self.request_log: Deque[LoggedRequest] = deque(maxlen=1000)
        self._random = random.Random(seed)
        self._parser = RequestParser()
        self._out = bytearray()
        self.streaming = False
        self._stream_anchor = 0.0
        self._stream_emitted = 0
        self._stream_rate: Optional[float] = None
        # Stream samples waiting in the output FIFO: in _out, or held back by a stall.
        self._out_samples = 0
        self._held = bytearray()
        self._held_samples = 0
        self._late: List[Tuple[float, bytes]] = []
        self._last_now: Optional[float] = None
        self.samples_sent = 0
        self.dropped_samples = 0
        self._handlers: Dict[Tuple[int, int], Callable[[bytes, float], bytes]] = {
            (c.high, c.low): getattr(self, "_cmd_" + c.name) for c in COMMANDS.values()
        }

    # ------------------------------------------------------------------ presets

    @classmethod
    def plx310(cls, **kwargs: Any) -> "SimulatedInstrument":
        """A PLX310, standard edition: 16 rates, no TEDS, 2000000 baud."""
        return cls("PLX310", **kwargs)

    @classmethod
    def plx310_plus_prime(cls, with_teds: bool = True, **kwargs: Any) -> "SimulatedInstrument":
        """A PLX310 Plus Prime (item QMT31872): TEDS hardware and the 38400 rate.

        With a :class:`TedsSensor` (and no ``profiles`` of the caller's), it is calibrated as such an
        instrument is in the field: profile 0 holds the electrical calibration, 0 to the sensor's rated
        output in mV/V, which the TEDS data sheet turns into the sensor's unit once AutoTEDS is on; so
        :meth:`set_load` takes mV/V. Without a sensor, profile 0 reads N as on the other models.
        ``plx310-plus-prime`` on the command line is the same instrument.

        :param with_teds: attach the default :class:`TedsSensor` (serial
            12345, 0..1000 N, 2 mV/V, reverse scaling on).
        """
        kwargs.setdefault("teds_sensor", TedsSensor() if with_teds else None)
        electrical = isinstance(kwargs["teds_sensor"], TedsSensor) and "profiles" not in kwargs
        instrument = cls("PLX310", PLUS_PRIME_ITEM_NUMBER, **kwargs)
        if electrical:
            calibrate_electrically(instrument)
        return instrument

    @classmethod
    def mvr420(cls, **kwargs: Any) -> "SimulatedInstrument":
        """An MVR420: 8 rates, no TEDS, 320000 and 115200 baud."""
        return cls("MVR420", **kwargs)

    @classmethod
    def dta530(cls, **kwargs: Any) -> "SimulatedInstrument":
        """A DTA530: 8 rates, no TEDS, 320000 and 115200 baud."""
        return cls("DTA530", **kwargs)

    @classmethod
    def hsk640(cls, **kwargs: Any) -> "SimulatedInstrument":
        """An HSK640: 8 rates, no TEDS, 320000 and 115200 baud."""
        return cls("HSK640", **kwargs)

    def __repr__(self) -> str:
        return f"<SimulatedInstrument {self.model} item={self.item_number} serial={self.serial_number}>"

    # ------------------------------------------------------------ measurement

    def _channel(self, channel: int) -> Channel:
        if not 0 <= channel < len(self.channels):
            raise ValueError(f"channel {channel} does not exist (the instrument has {len(self.channels)})")
        return self.channels[channel]

    def profile_for_channel(self, channel: int = 0) -> Profile:
        """The profile currently selected on ``channel``."""
        return self.profiles[self._channel(channel).selected_profile]

    def select_profile(self, profile: int, channel: int = 0) -> None:
        """Select ``profile`` on ``channel`` (as the host's setting does)."""
        if not 0 <= profile < len(self.profiles):
            raise ValueError(f"profile {profile} does not exist (the instrument has {len(self.profiles)})")
        self._channel(channel).selected_profile = profile

    def set_raw_count(self, count: int, channel: int = 0) -> None:
        """Make ``channel`` measure the 32-bit ADC count ``count``.

        The count is sent as given, a low byte other than 0 included (a
        real ADC's is always 0), so host code can be tried on any count.
        """
        ch = self._channel(channel)
        ch.raw_count = _check_int_range(count, 0, _MAX_COUNT, "count")
        ch.signal = None

    def set_load(self, load: Load, channel: int = 0) -> int:
        """Put ``load`` on the sensor of ``channel``; return the resulting count.

        The count is computed once, through the calibration of the profile
        selected now (a real sensor's output does not change when the
        stored calibration does). See :meth:`Profile.count_for_load`.
        """
        if not math.isfinite(load):
            raise ValueError(f"load must be a finite number, got {load!r}")
        self._clipped.discard(channel)
        count = self._count_of(channel, float(load), load)
        self.set_raw_count(count, channel)
        return count

    def _count_of(self, channel: int, load: float, source: object) -> int:
        """The count of ``load`` (from ``source``, a signal or a value) on ``channel``.

        Beyond the ADC's range it is the range's end, with one warning per
        channel; a load that is no number (a signal's NaN) reads as no
        load, also with a warning.
        """
        nan = load != load
        exact = self.profiles[self.channels[channel].selected_profile].exact_count(0.0 if nan else load)
        if (nan or not _ADC_LOW <= exact < _ADC_HIGH) and channel not in self._clipped:
            self._clipped.add(channel)
            logger.warning("%s: the load %s on channel %d reached %g, beyond the ADC's range: readings are clipped",
                           self, _describe(source), channel, load)
        return _adc_count(exact)

    def set_load_signal(self, signal: Callable[[float], float], channel: int = 0) -> None:
        """Make the load on ``channel`` a function of time.

        ``signal(t)`` returns the load at ``t`` seconds of the instrument's
        own time (:meth:`instrument_time`: from ``t0`` when the instrument
        was created); each reading and stream sample converts it through
        the profile selected at that moment. Example: a 1 Hz sine of 500
        units, ``lambda t: 500 * math.sin(2 * math.pi * t)``, or the shapes
        of :func:`vexlo_tools.sim.load_signal`, added together.
        """
        self._channel(channel).signal = signal
        self._clipped.discard(channel)

    def bind_clock(self, now: float, *, real: bool = False) -> None:
        """Fix the instrument's time zero on the clock of the transport that serves it.

        On the real clock (``real``: ``time.monotonic``) time zero is the
        moment the instrument was created; on any other clock (a
        :class:`~vexlo_tools.sim.VirtualClock`) it is ``now``, the clock's
        reading when the instrument is put on a port. The first transport
        decides; until one does, transport time is the instrument's time.
        """
        with self._lock:
            if self._epoch is None:
                self._epoch = self.created if real else now

    @property
    def _rate_factor(self) -> float:
        return 1.0 + self.clock_error_ppm * 1e-6

    def instrument_time(self, now: float) -> float:
        """The instrument's own time, in seconds, at ``now`` on the transport's clock.

        It is :attr:`t0` at time zero (see :meth:`bind_clock`) and runs
        ``clock_error_ppm`` fast; load signals are functions of it.
        """
        epoch = 0.0 if self._epoch is None else self._epoch
        return self.t0 + (now - epoch) * (1.0 + self.clock_error_ppm * 1e-6)

    def raw_count(self, channel: int = 0, now: float = 0.0) -> int:
        """The count ``channel`` measures at ``now`` on the transport's clock, without noise.

        A load beyond the ADC's range reads as its end, as on the
        instrument, and is logged once per channel as a warning.
        """
        ch = self._channel(channel)
        if ch.signal is None:
            return ch.raw_count
        return self._count_of(channel, float(ch.signal(self.instrument_time(now))), ch.signal)

    def _reading(self, channel: int, now: float) -> int:
        return self._noisy(self.raw_count(channel, now))

    def _noisy(self, count: int) -> int:
        if self.noise_counts:
            count = _adc_count(count + self._random.randint(-self.noise_counts, self.noise_counts))
        return count

    # ------------------------------------------------------------- streaming

    def stream_rate(self) -> Optional[float]:
        """Samples per second while streaming: channel 0's profile's rate code.

        ``None`` when the code is not in the model's table (nothing is sent).
        """
        return _model_info(self.model).samples_per_second(self.profile_for_channel(0).sampling_rate_code)

    @property
    def short_packets(self) -> bool:
        """True when streaming uses 3-byte packets (the PLX310 at its highest rate)."""
        return _model_info(self.model).short_packets(self.profile_for_channel(0).sampling_rate_code)

    def start_streaming(self, now: float) -> None:
        """Switch streaming on at time ``now`` (what the host's 00 0C 01 does).

        ``samples_sent`` and ``dropped_samples`` start again from 0.
        """
        with self._lock:
            self.streaming = True
            self.samples_sent = self.dropped_samples = 0
            self._anchor_stream(now)
            if self._stream_rate is None:
                logger.warning("%s: sampling-rate code not in the %s table, streaming nothing", self, self.model)

    def stop_streaming(self, now: float) -> None:
        """Switch streaming off at ``now``; samples due until then are still sent."""
        with self._lock:
            self._emit_stream(now)
            self.streaming = False

    def _anchor_stream(self, now: float) -> None:
        self._stream_anchor = now
        self._stream_emitted = 0
        self._stream_rate = self.stream_rate()

    def _emit_stream(self, now: float) -> None:
        if not self.streaming:
            return
        rate = self.stream_rate()
        if rate != self._stream_rate:
            # Rate changed while streaming: carry on at the new rate from now.
            self._anchor_stream(now)
            if rate is None:
                logger.warning("%s: sampling-rate code not in the %s table, streaming nothing", self, self.model)
            return
        if rate is None:
            return
        rate *= self._rate_factor
        replay = self.channels[0].signal
        if isinstance(replay, Replay):
            # Recorded samples go at their recorded times, gaps included, on the instrument's clock.
            due = replay.due((now - self._stream_anchor) * self._rate_factor) - self._stream_emitted
        else:
            replay = None
            due = math.floor((now - self._stream_anchor) * rate + 1e-9) - self._stream_emitted
        if due <= 0:
            return
        short = self.short_packets
        packet_size = 3 if short else 4
        faults = self.faults
        # The FIFO keeps the oldest samples; the newest find no room.
        room = max(0, MAX_STREAM_BACKLOG // packet_size - self._out_samples - self._held_samples)
        count = min(due, room)
        if faults.unplug_after_samples is not None:
            count = min(count, faults.unplug_after_samples)
            faults.unplug_after_samples -= count
        first = self._stream_emitted
        self._stream_emitted += due
        self.dropped_samples += due - count
        garbage = faults.garbage_fraction
        out = self._held if faults.stream_stalled else self._out
        for i in range(count):
            if replay is not None:
                reading = self._noisy(self._count_of(0, replay.value(first + i), replay))
            else:
                reading = self._reading(0, self._stream_anchor + (first + i) / rate)
            if garbage and self._random.random() < garbage:
                out.append(self._random.randrange(256))
            out += stream_packet(reading, short)
        if faults.stream_stalled:
            self._held_samples += count
        else:
            self._out_samples += count
        if faults.unplug_after_samples == 0:
            logger.info("%s: port vanishes while streaming (fault)", self)
            self.unplug()

    def _catch_up(self, now: float) -> None:
        """Bring the output up to ``now``: stream samples, the end of a stall, late answers, in time order."""
        faults = self.faults
        self._last_now = now if self._last_now is None else max(self._last_now, now)
        if faults.stall_pending is not None:
            faults.stall_until, faults.stall_pending = now + faults.stall_pending, None
        events: List[Tuple[float, int, bytes]] = [(due, i, answer) for i, (due, answer) in enumerate(self._late)
                                                  if due <= now]
        if faults.stall_until is not None and faults.stall_until <= now:
            events.append((faults.stall_until, -1, b""))
        for when, index, answer in sorted(events):
            self._emit_stream(when)
            if index < 0:
                self._end_stall()
            else:
                self._out += answer
        self._late = [(due, answer) for due, answer in self._late if due > now]
        self._emit_stream(now)

    def _end_stall(self) -> None:
        faults = self.faults
        faults.stream_stalled = False
        faults.stall_until = None
        self._out += self._held
        self._out_samples += self._held_samples
        self._held.clear()
        self._held_samples = 0

    # ------------------------------------------------------------------ wire

    def answers_at(self, baud_rate: Optional[float]) -> bool:
        """Whether the instrument understands a host talking at ``baud_rate``."""
        return baud_rate in self.baud_rates

    def attach(self, now: float) -> None:
        """A host opened the port at ``now``: output nobody was listening to is gone."""
        with self._lock:
            self._catch_up(now)
            self._out.clear()
            self._out_samples = 0
            self._late.clear()
            self._parser.reset()

    def receive(self, data: bytes, now: float) -> None:
        """Take bytes the host wrote at time ``now``; answers go to the output."""
        with self._lock:
            for item in self._parser.feed(bytes(data), now):
                if isinstance(item, Rejected):
                    logger.warning("%s: ignored %d byte(s) (%s): %s", self, len(item.data), item.reason, item.data.hex(" "))
                    continue
                self._catch_up(now)
                answer = self.respond(item.frame, now)
                if not answer:
                    continue
                if self._answer_is_late():
                    self._late.append((now + self.faults.late_delay, answer))
                else:
                    self._out += answer
                if self.streaming and self.faults.trickle:
                    self._out += stream_packet(self._reading(0, now), self.short_packets)
                    self._out_samples += 1

    def _answer_is_late(self) -> bool:
        faults = self.faults
        if faults.late_answers is not None and faults.late_answers <= 0:
            return False
        if faults.late_answers is not None:
            faults.late_answers -= 1
        return True

    def advance(self, now: float) -> None:
        """Let time pass up to ``now`` without collecting output.

        A transport that cannot take output (its host does not read) calls
        this: stream samples pile up in the FIFO, and the newest are
        dropped once it is full.
        """
        with self._lock:
            self._catch_up(now)

    def transmit(self, now: float) -> bytes:
        """Everything the instrument has sent up to ``now`` and not yet collected."""
        with self._lock:
            self._catch_up(now)
            data = bytes(self._out)
            self._out.clear()
            self.samples_sent += self._out_samples
            self._out_samples = 0
            return data

    @property
    def reading(self) -> bool:
        """Whether the instrument takes in what the host writes (see :meth:`stop_reading`)."""
        return not self.faults.not_reading

    def respond(self, frame: bytes, now: Optional[float] = None) -> Optional[bytes]:
        """Answer one complete request frame; ``None`` means silence.

        Faults apply here (silence, short answers, corrupted checksums).
        A frame that is not a well-formed request of a known command gets
        silence and a log record. ``now`` is the time on the transport's
        clock (for streaming and load signals; ``time.monotonic()`` if
        omitted).
        """
        if now is None:
            now = time.monotonic()
            self.bind_clock(now, real=True)
        frame = bytes(frame)
        with self._lock:
            items = RequestParser().feed(frame, now)
            if len(items) != 1 or not isinstance(items[0], Request):
                reason = items[0].reason if items and isinstance(items[0], Rejected) else "incomplete frame"
                logger.warning("%s: no answer to %s (%s)", self, frame.hex(" "), reason)
                return None
            request = items[0]
            info = request.command
            faults = self.faults
            if faults.silent or faults.silent_requests > 0:
                if faults.silent_requests > 0:
                    faults.silent_requests -= 1
                self._log(info, request.arguments, False)
                logger.info("%s: silent to %s (fault)", self, info.name)
                return None
            try:
                payload = self._handlers[(info.high, info.low)](request.arguments, now)
            except _Refused as refusal:
                self._log(info, request.arguments, False)
                logger.warning("%s: no answer to %s %s: %s", self, info.name, request.arguments.hex(" "), refusal)
                return None
            self._log(info, request.arguments, True)
            if isinstance(payload, _WholeAnswer):
                answer = bytes(payload)
            else:
                answer = build_response(info.high, info.low, payload)
            return self._apply_answer_faults(answer)

    def _log(self, info: CommandInfo, arguments: bytes, answered: bool) -> None:
        self.request_log.append(LoggedRequest(info.name, info.high, info.low, bytes(arguments), answered))

    def _apply_answer_faults(self, answer: bytes) -> bytes:
        faults = self.faults
        if faults.corrupt_answers is None or faults.corrupt_answers > 0:
            if faults.corrupt_answers is not None:
                faults.corrupt_answers -= 1
            answer = answer[:-1] + bytes([(answer[-1] + 1) & 0xFF])
        if faults.short_length is not None and (faults.short_answers is None or faults.short_answers > 0):
            if faults.short_answers is not None:
                faults.short_answers -= 1
            answer = answer[: faults.short_length]
        return answer

    # ---------------------------------------------------------------- faults

    def go_silent(self, requests: Optional[int] = None) -> None:
        """Ignore the next ``requests`` requests, or all of them (``None``) until cleared.

        An ignored request is not carried out and gets no answer; the host
        sees a timeout.
        """
        if requests is None:
            self.faults.silent = True
        else:
            self.faults.silent_requests += requests

    def answer_short(self, length: int, answers: Optional[int] = 1) -> None:
        """Cut the next ``answers`` answers (``None``: all) to their first ``length`` bytes."""
        if length < 0:
            raise ValueError("length must be 0 or more")
        self.faults.short_length = length
        self.faults.short_answers = answers

    def corrupt_checksums(self, answers: Optional[int] = 1) -> None:
        """Send a wrong checksum in the next ``answers`` answers (``None``: all)."""
        self.faults.corrupt_answers = answers

    def add_stream_garbage(self, fraction: float) -> None:
        """Put a random byte before about ``fraction`` (0..1) of the stream packets."""
        if not 0.0 <= fraction <= 1.0:
            raise ValueError("fraction must lie between 0 and 1")
        self.faults.garbage_fraction = fraction

    def answer_late(self, delay: float, answers: Optional[int] = 1) -> None:
        """Send the next ``answers`` answers (``None``: all) ``delay`` seconds after the request.

        The delay runs on the transport's clock, so a host whose time-out
        is shorter gives up first, and the answer then arrives unasked for,
        in front of whatever the host reads next. In process a read never
        waits, so any delay is "after the time-out"; a
        :class:`~vexlo_tools.sim.VirtualClock` moved past ``delay`` makes
        the answer appear.
        """
        if not delay >= 0:
            raise ValueError("delay must be 0 or more seconds")
        self.faults.late_delay = float(delay)
        self.faults.late_answers = answers

    def stop_reading(self) -> None:
        """Stop taking in what the host writes, until :meth:`resume_reading`.

        The instrument keeps sending (answers already due, stream packets)
        but its input is full: the host's writes block, and with a
        ``write_timeout`` raise ``serial.SerialTimeoutException`` once it
        expires. In process a write with a ``write_timeout`` raises at
        once (without one it waits in real time); on a pseudo-terminal the
        server stops reading and fills the line, so the next write blocks.
        """
        self.faults.not_reading = True

    def resume_reading(self) -> None:
        """Undo :meth:`stop_reading`: later writes are taken in again (the blocked ones were not)."""
        self.faults.not_reading = False

    def stall_stream(self, seconds: Optional[float] = None) -> None:
        """Hold stream packets back for ``seconds`` (``None``: until :meth:`resume_stream`).

        The stall starts from the latest moment the instrument has seen
        (its last exchange with the transport), or from its first one. Sampling goes on: the
        samples wait in the output FIFO and come out in one burst when
        the stall ends; once the FIFO (``MAX_STREAM_BACKLOG`` bytes) is
        full the newest are dropped and counted in ``dropped_samples``.
        Answers to requests are not held.
        """
        with self._lock:
            if seconds is not None and not seconds >= 0:
                raise ValueError("seconds must be 0 or more")
            faults = self.faults
            faults.stream_stalled = True
            faults.stall_until = faults.stall_pending = None
            if seconds is None:
                return
            if self._last_now is None:
                faults.stall_pending = seconds
            else:
                faults.stall_until = self._last_now + seconds

    def resume_stream(self) -> None:
        """End a stall now: the samples held back are sent at once."""
        with self._lock:
            if self.faults.stream_stalled:
                self._end_stall()

    def trickle(self) -> None:
        """While streaming, follow every answer with one stream packet, whatever the clock says.

        An instrument left streaming at a low rate, as a host sees it that
        asks faster than the samples come: its answers get through, and a
        packet is waiting after each (a discovery finds it while it streams).
        """
        self.faults.trickle = True

    def ignore_stream_off(self, settings: int = 1) -> None:
        """Ignore the next ``settings`` streaming-off settings: no answer, and streaming goes on.

        As an instrument that missed the setting among the bytes it was
        sending: a host must send it again.
        """
        self.faults.ignored_stream_offs = _check_int_range(settings, 0, 2**31, "settings")

    def unplug_after(self, samples: int) -> None:
        """Make the port vanish (as :meth:`unplug`) once ``samples`` more stream samples have been sent.

        Samples dropped for want of room in the FIFO do not count. The
        samples before the cut reach the host; then reads and writes fail.
        """
        _check_int_range(samples, 0, 2**63, "samples")
        with self._lock:
            self.faults.unplug_after_samples = samples
            if samples == 0:
                self.unplug()

    def unplug(self) -> None:
        """Make the port vanish, as when the USB cable is pulled.

        Open ports raise ``serial.SerialException`` on every read and
        write, opening fails, and the port leaves the port listing, until
        :meth:`plug_in`. Samples and answers not yet sent are lost.
        """
        with self._lock:
            self.faults.unplugged = True
            self.faults.unplug_after_samples = None
            self.streaming = False
            self._held.clear()
            self._held_samples = 0
            self._late.clear()

    def plug_in(self) -> None:
        """Undo :meth:`unplug` (ports must be opened again)."""
        self.faults.unplugged = False

    @property
    def plugged_in(self) -> bool:
        return not self.faults.unplugged

    def clear_faults(self) -> None:
        """Clear every fault, unplugging included; a stalled stream resumes at once."""
        with self._lock:
            self.resume_stream()
            self.faults = Faults()

    # -------------------------------------------------------------- commands
    # Each takes the argument bytes and the time; returns the answer payload
    # (b"" for a bare acknowledgement) or raises _Refused for silence.

    @staticmethod
    def _encode_name(text: str, what: str) -> bytes:
        try:
            raw = text.encode("ascii")
        except UnicodeEncodeError as exc:
            raise ValueError(f"{what} must be ASCII: {text!r}") from exc
        if len(raw) > 10:
            raise ValueError(f"{what} must be at most 10 characters: {text!r}")
        return raw.ljust(10, b"\x00")

    def _profile_arg(self, number: int) -> Profile:
        if number >= len(self.profiles):
            raise _Refused(f"no profile {number}")
        return self.profiles[number]

    def _channel_arg(self, number: int) -> Channel:
        if number >= len(self.channels):
            raise _Refused(f"no channel {number}")
        return self.channels[number]

    def _point_arg(self, profile: Profile, point: int) -> int:
        if point >= len(profile.loads):
            raise _Refused(f"no loading point {point} (profile has {len(profile.loads)})")
        return point

    def _require_teds_hardware(self) -> None:
        if not self.teds_hardware:
            raise _Refused(f"no TEDS hardware on {self.model} {self.item_number}")

    def _cmd_model_number(self, args: bytes, now: float) -> bytes:
        return self._encode_name(self.model, "model")

    def _cmd_item_number(self, args: bytes, now: float) -> bytes:
        return self._encode_name(self.item_number, "item_number")

    def _cmd_instrument_serial_number(self, args: bytes, now: float) -> bytes:
        return self.serial_number.to_bytes(4, "big")

    def _cmd_firmware_version(self, args: bytes, now: float) -> bytes:
        return bytes(self.firmware_version)

    def _cmd_board_temperature(self, args: bytes, now: float) -> bytes:
        return self.board_temperature_raw.to_bytes(4, "big")

    def _cmd_activity_inquiry(self, args: bytes, now: float) -> bytes:
        # The host never sends it; a bare acknowledgement says "alive".
        return b""

    def _cmd_ndr(self, args: bytes, now: float) -> bytes:
        self._channel_arg(args[0])
        return self._reading(args[0], now).to_bytes(4, "big")

    def _cmd_set_streaming(self, args: bytes, now: float) -> bytes:
        if args[0] == 1:
            self.start_streaming(now)
        elif args[0] == 0:
            if self.faults.ignored_stream_offs > 0:
                self.faults.ignored_stream_offs -= 1
                raise _Refused("streaming-off setting ignored (fault)")
            self.stop_streaming(now)
        else:
            raise _Refused(f"streaming switch {args[0]} is neither 0 nor 1")
        return b""

    def _cmd_selected_profile(self, args: bytes, now: float) -> bytes:
        return bytes([self._channel_arg(args[0]).selected_profile])

    def _cmd_set_selected_profile(self, args: bytes, now: float) -> bytes:
        channel = self._channel_arg(args[0])
        self._profile_arg(args[1])
        channel.selected_profile = args[1]
        return b""

    def _cmd_sensor_serial_number(self, args: bytes, now: float) -> bytes:
        return self._profile_arg(args[0]).sensor_serial_number.to_bytes(4, "big")

    def _cmd_sampling_rate(self, args: bytes, now: float) -> bytes:
        return bytes([self._profile_arg(args[0]).sampling_rate_code])

    def _cmd_set_sampling_rate(self, args: bytes, now: float) -> bytes:
        profile = self._profile_arg(args[0])
        if args[1] >= len(sampling_rates_for(self.model)):
            raise _Refused(f"rate code {args[1]} is not in the {self.model} table")
        # Deciding whether this edition may use the code is the host's business.
        profile.sampling_rate_code = args[1]
        return b""

    def _cmd_unit_of_measure(self, args: bytes, now: float) -> bytes:
        return bytes([self._profile_arg(args[0]).unit_code])

    def _cmd_set_unit_of_measure(self, args: bytes, now: float) -> bytes:
        profile = self._profile_arg(args[0])
        if args[1] not in UNIT_CODES:
            raise _Refused(f"unit code {args[1]} is not a unit")
        profile.unit_code = args[1]
        return b""

    def _cmd_number_of_loading_points(self, args: bytes, now: float) -> bytes:
        return bytes([self._profile_arg(args[0]).points_per_direction & 0xFF])

    def _cmd_load_of_loading_point(self, args: bytes, now: float) -> bytes:
        profile = self._profile_arg(args[0])
        return struct.pack("<f", profile.loads[self._point_arg(profile, args[1])])

    def _cmd_set_load_of_loading_point(self, args: bytes, now: float) -> bytes:
        profile = self._profile_arg(args[0])
        profile.loads[self._point_arg(profile, args[1])] = struct.unpack("<f", args[2:6])[0]
        return b""

    def _cmd_loading_point_value(self, args: bytes, now: float) -> bytes:
        profile = self._profile_arg(args[0])
        return profile.counts[self._point_arg(profile, args[1])].to_bytes(4, "big")

    def _cmd_set_loading_point_value(self, args: bytes, now: float) -> bytes:
        profile = self._profile_arg(args[0])
        profile.counts[self._point_arg(profile, args[1])] = int.from_bytes(args[2:6], "big")
        return b""

    def _cmd_number_of_directions(self, args: bytes, now: float) -> bytes:
        return bytes([self._profile_arg(args[0]).direction_code])

    def _cmd_set_number_of_directions(self, args: bytes, now: float) -> bytes:
        self._profile_arg(args[0]).direction_code = args[1]
        return b""

    def _cmd_teds_is_connected(self, args: bytes, now: float) -> bytes:
        self._require_teds_hardware()
        return bytes([1 if self.teds_sensor is not None else 0])

    def _cmd_teds_laser(self, args: bytes, now: float) -> bytes:
        self._require_teds_hardware()
        if self.teds_sensor is None:
            # No sensor: the instrument answers a frame of zeros throughout.
            return _WholeAnswer(COMMANDS[(0x01, 0x1F)].response_length)
        return bytes(self.teds_sensor.laser())

    def _cmd_teds_page(self, args: bytes, now: float) -> bytes:
        self._require_teds_hardware()
        image = self.teds_sensor.image() if self.teds_sensor is not None else bytes(512)
        page = page_of(image, args[0])
        if page is None:
            raise _Refused(f"no TEDS page {args[0]}")
        return page

    def _cmd_set_all_teds_data(self, args: bytes, now: float) -> bytes:
        self._require_teds_hardware()
        return b""

    @property
    def auto_teds_generation(self) -> str:
        """The AutoTEDS commands this firmware knows: ``"v1"`` from 4.3.2 on, ``"old"`` before.

        The instrument stays silent to the other generation's commands.
        """
        return "v1" if tuple(self.firmware_version) >= V1_AUTO_TEDS_FIRMWARE else "old"

    def _require_auto_teds(self, generation: str) -> None:
        self._require_teds_hardware()
        if generation != self.auto_teds_generation:
            version = ".".join(str(b) for b in self.firmware_version)
            raise _Refused(f"firmware {version} has no {generation} AutoTEDS commands")

    def _auto_teds_state(self, generation: str) -> bytes:
        self._require_auto_teds(generation)
        return bytes([self.auto_teds_on_code if self.auto_teds else 0])

    def _set_auto_teds(self, args: bytes, generation: str) -> bytes:
        self._require_auto_teds(generation)
        self.auto_teds = args[0] != 0
        return b""

    def _cmd_auto_teds(self, args: bytes, now: float) -> bytes:
        return self._auto_teds_state("old")

    def _cmd_auto_teds_v1(self, args: bytes, now: float) -> bytes:
        return self._auto_teds_state("v1")

    def _cmd_set_auto_teds(self, args: bytes, now: float) -> bytes:
        return self._set_auto_teds(args, "old")

    def _cmd_set_auto_teds_v1(self, args: bytes, now: float) -> bytes:
        return self._set_auto_teds(args, "v1")


def calibrate_electrically(instrument: SimulatedInstrument) -> None:
    """Give profile 0 the electrical calibration that a TEDS data sheet builds on: 0 to the sensor's rated
    output, in mV/V."""
    sensor = instrument.teds_sensor
    if not isinstance(sensor, TedsSensor):
        raise ValueError(f"{instrument.model} has no TEDS sensor to calibrate for")
    old = instrument.profiles[0]
    instrument.profiles[0] = Profile.linear(capacity=sensor.max_electrical, unit_code=UNIT_MVV,
                                            sensor_serial_number=old.sensor_serial_number,
                                            sampling_rate_code=old.sampling_rate_code)

"""What an acquisition hands out and its consumers take: streams, blocks of samples, counters, ends.

Plain data, free of the extension module, so that the sinks (files, the
live page, the network publisher) and their tests can be written and
imported without it.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from datetime import datetime
from typing import Any, List, Optional, Sequence, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

__all__ = ["COUNTERS", "Block", "Progress", "Stats", "StreamEnd", "StreamInfo", "join_blocks", "size_text", "tared"]

UInt32Array = npt.NDArray[np.uint32]
Float64Array = npt.NDArray[np.float64]

#: The loss counters, in the order files and views show them.
COUNTERS = ("received", "overrun", "missing", "corrupted")


@dataclass(frozen=True)
class Stats:
    """Cumulative counters of one device's stream.

    :ivar received: samples taken off the line (of a finite run: at most its planned number).
    :ivar overrun: received samples the host dropped because the ring buffer
        was full (exact); the oldest go first.
    :ivar missing: samples the line never delivered, counted once the stream
        has ended (from the host clock and the nominal rate, exact to a
        sample once the line is drained); samples still under way when a
        port failed count here. Until the end it is 0.
    :ivar corrupted: byte positions the packet scan skipped.
    :ivar overdue: while the stream runs, samples due by the host clock
        (less those that may still be under way) that have not come: an
        estimate, which falls again when late samples arrive, and 0 once
        the stream has ended (they are then ``missing`` or received).

    The counters (:data:`COUNTERS`) only grow over a run, so the difference
    of two readings counts what happened in between; ``overdue`` is not one.
    """

    received: int = 0
    overrun: int = 0
    missing: int = 0
    corrupted: int = 0
    overdue: int = 0


@dataclass(frozen=True)
class StreamInfo:
    """What one device streams, known once :meth:`vexlo_tools.Acquisition.start` has run.

    :ivar device: the module's device object (kept as ``Any`` here, so that
        this module does not import the extension).
    :ivar start_utc: when streaming was switched on (aware, UTC).
    :ivar channel: the channel streamed.
    :ivar profile: the sensor profile selected on it, where the instrument tells.
    :ivar sensor_serial_number: that profile's sensor serial number, where the instrument tells.
    """

    device: Any
    port: str
    model: str
    item_number: str
    serial_number: int
    firmware: str
    rate_code: int
    samples_per_second: float
    packet_size: int
    unit: str
    start_utc: Optional[datetime] = None
    channel: int = 0
    profile: Optional[int] = None
    sensor_serial_number: Optional[int] = None


@dataclass
class Block:
    """The samples of one device that arrived since the last read.

    :ivar first_index: sample number of the first sample since streaming
        started; samples dropped by a full ring leave a gap in the numbers.
    :ivar time: seconds since streaming started (sample number / nominal rate).
    :ivar adc: the raw counts.
    :ivar value: the calibrated values.
    :ivar stats: the device's counters when the block was taken.
    :ivar index: the position of the device's stream in ``acquisition.streams``.
    :ivar taken: the host's monotonic clock when the block was taken from its
        reader (every sample of it had arrived by then), or ``None`` where not known.

    A block that :meth:`~vexlo_tools.Acquisition.read` hands out makes its
    ``time`` and ``stats`` when first asked for (the counters are those of
    the moment it was taken), so a consumer that never looks at them does
    not pay for them.
    """

    device: Any
    first_index: int
    time: Float64Array
    adc: UInt32Array
    value: Float64Array
    stats: Stats = field(default_factory=Stats)
    index: int = 0
    taken: Optional[float] = None

    def __len__(self) -> int:
        return len(self.adc)

    @classmethod
    def _taken(cls, device: Any, first_index: int, adc: UInt32Array, value: Float64Array, samples_per_second: float,
               counters: Tuple[int, int, int, int, int], index: int, taken: Optional[float]) -> "Block":
        """A block as an acquisition takes it: its times and its :class:`Stats` are made when first
        asked for, from the first sample number and the rate, and from ``counters`` (the values of
        :class:`Stats`' fields when the block was taken), the same as if they were made at once."""
        block = object.__new__(cls)
        block.__dict__ = {"device": device, "first_index": first_index, "adc": adc, "value": value, "index": index,
                          "taken": taken, "_times": (first_index, len(adc), samples_per_second),
                          "_counters": counters}
        return block

    def _numbered(self) -> Optional[Tuple[int, float]]:
        """The first sample number and the rate when the block's times are its sample numbers / rate and have
        not been made (nor replaced): a writer that keeps sample numbers then takes them without the times."""
        held = self.__dict__
        if "_times" not in held or "time" in held:
            return None
        return held["_times"][0], held["_times"][2]


class _OnDemand:
    # A field that a block made by Block._taken makes when first asked for, then holds as any block
    # does: a value set on the instance hides this class attribute, so blocks made whole never reach
    # it. Sinks on threads of their own may ask at once: setdefault keeps the first made, for all.
    def __init__(self, name: str) -> None:
        self.name = name

    def __get__(self, block: Optional[Block], owner: Optional[type] = None) -> Any:
        if block is None:  # the class has no such attribute, as for any field without a class default
            raise AttributeError(f"type object 'Block' has no attribute {self.name!r}")
        held = block.__dict__
        if self.name == "time" and "_times" in held:
            first, count, rate = held["_times"]
            times = np.arange(first, first + count, dtype=np.float64)
            times /= rate  # in place: the same values as dividing into a new array, one allocation fewer
            return held.setdefault("time", times)
        if self.name == "stats" and "_counters" in held:
            return held.setdefault("stats", Stats(*held["_counters"]))
        raise AttributeError(f"{type(block).__name__!r} object has no attribute {self.name!r}")


setattr(Block, "time", _OnDemand("time"))
setattr(Block, "stats", _OnDemand("stats"))


def join_blocks(blocks: Sequence[Block]) -> Block:
    """Blocks of one stream, in order, as one block (its counters those of the last).

    :raises ValueError: no blocks.
    """
    if not blocks:
        raise ValueError("no blocks to join")
    last = blocks[-1]
    if len(blocks) == 1:
        return last
    return Block(last.device, blocks[0].first_index, np.concatenate([b.time for b in blocks]),
                 np.concatenate([b.adc for b in blocks]), np.concatenate([b.value for b in blocks]),
                 last.stats, last.index, last.taken)


@dataclass(frozen=True)
class StreamEnd:
    """Why and when one stream ended.

    :ivar reason: ``"completed"`` (its planned number of samples, or stopped
        as asked), ``"interrupted"`` (Ctrl-C or a signal) or
        ``"failed: <message>"``.
    :ivar complete: whether it ran to its planned end (a run without a
        planned number of samples ends as planned when it is stopped).
    :ivar start_utc: when streaming was switched on (aware, UTC).
    :ivar end_utc: when it ended (aware, UTC).
    :ivar stats: its final counters.
    """

    reason: str
    complete: bool
    start_utc: datetime
    end_utc: datetime
    stats: Stats


@dataclass
class Progress:
    """Where a run stands, as its consumers (a recording, ``vexlo stream``'s view) keep it while it goes.

    :ivar elapsed: host seconds since the run started.
    :ivar samples: samples taken (written, shown), per stream.
    :ivar stats: the latest counters, per stream.
    :ivar interrupted: Ctrl-C (or a signal) ended the run.
    :ivar errors: why streams failed, one message each (the others went on).
    :ivar paths: the files written, if any.
    :ivar file_size: bytes on disk of those files.
    """

    elapsed: float = 0.0
    samples: List[int] = field(default_factory=list)
    stats: List[Stats] = field(default_factory=list)
    interrupted: bool = False
    errors: List[str] = field(default_factory=list)
    paths: List[str] = field(default_factory=list)
    file_size: int = 0

    def rate(self) -> float:
        """Samples per second taken, all streams together."""
        return sum(self.samples) / self.elapsed if self.elapsed > 0 else 0.0

    def line(self) -> str:
        """The status line: samples, rate, loss counters and, when files are written, their size."""
        losses = "  ".join(f"{name} {sum(getattr(s, name) for s in self.stats)}" for name in COUNTERS[1:])
        overdue = sum(s.overdue for s in self.stats)
        losses += f"  overdue {overdue}" if overdue else ""
        return (f"{self.elapsed:6.1f} s  samples {sum(self.samples):,}  rate {self.rate():,.0f}/s  {losses}"
                + (f"  file {size_text(self.file_size)}" if self.paths else ""))


def size_text(size: int) -> str:
    """A file's size as people read it, never rounded to nothing: ``"812 bytes"``, ``"45.3 kB"``, ``"1.8 MB"``."""
    if size < 1000:
        return f"{size} bytes"
    value, units = size / 1000.0, ["kB", "MB", "GB", "TB"]
    while value >= 999.95 and len(units) > 1:
        value /= 1000.0
        units.pop(0)
    return f"{value:.1f} {units[0]}"


#: A difference below this share of its operands is what a subtraction's rounding leaves: far below one
#: step of any instrument's 24-bit converter (1 in 16.7 million of its range).
TARE_NOISE = 1e-9


@overload
def tared(values: float, zero: float) -> float:
    ...


@overload
def tared(values: Float64Array, zero: float) -> Float64Array:
    ...


def tared(values: Union[float, Float64Array], zero: float) -> Union[float, Float64Array]:
    """``values - zero``, as a view of tared values shows them: where the difference is only the
    rounding of the subtraction (a value equal to the zero), exactly 0, never ``-3.55e-15``.

    :param values: one value or an array of them, as measured.
    :param zero: the tare's zero.
    """
    difference = np.asarray(values, np.float64) - zero
    noise = TARE_NOISE * np.maximum(np.abs(values), abs(zero))
    result = np.where(np.abs(difference) <= noise, 0.0, difference)
    return float(result) if np.ndim(result) == 0 else result

"""An acquisition's readers: how each port is read, its native reader, the loop over the ports with a descriptor.

Each device's :class:`_Reader` owns a native reader (``_arrays.Reader``:
its port's buffer, the ring, what a finite run keeps, the counters), the
ring's only writer. A port is read through one of two transports: a
:class:`DescriptorPort` (a real serial port, waited on and read with the
GIL released by the :class:`_PortLoop`, one thread for all such ports) or
a :class:`ModulePort` (read through the module between pauses, on the
reader's own thread: simulated ports, test doubles).

:data:`clock` and :func:`pause` are looked up at the moment of use, and the
read constants where they are used, so tests can put a virtual clock and
other paces in place here.
"""

from __future__ import annotations

import math
import os
import threading
import time
from datetime import datetime, timezone
from typing import Callable, Optional, Sequence, Tuple, Union, cast

import numpy as np
import numpy.typing as npt

import vexlo_device_communication as vexlo

from . import _arrays
from . import _lowlevel
from .types import Block, Stats, StreamEnd, StreamInfo

# Looked up at the moment of use, so tests can put a virtual clock in place.
clock: Callable[[], float] = time.monotonic


def pause(stop: threading.Event, seconds: float) -> None:
    """How a reader waits between two reads of its port (the GIL is released meanwhile)."""
    stop.wait(seconds)


#: Bytes a serial port buffers (Linux: 4095); a reader reads well before that fills.
PORT_BUFFER_BYTES = 4095
#: Bounds of a reader's pause between two reads of its port: with nobody in a
#: hurry it reads at most about fifty times a second (each wake-up of a
#: sleeping thread costs tens of microseconds), sooner where the port's buffer
#: would fill.
MIN_POLL_SECONDS = 0.002
MAX_POLL_SECONDS = 0.02
#: Bytes a reader takes from its port's descriptor at most in one read: what
#: two port buffers hold, so a reader held up still empties the port at once.
READ_BYTES = 2 * PORT_BUFFER_BYTES
#: How long a reader lets bytes gather before it waits on the port again while
#: a consumer is in a hurry (see :class:`Waiters`): a read then takes several
#: of the line's bursts, and the oldest sample of a read has waited about as
#: long at most.
READ_PAUSE_SECONDS = 0.003
#: How long the readers keep the hurried pace after a hurried consumer's wait
#: ends: a consumer reading in a loop waits again soon, and should not have to
#: wake the readers each time.
HURRY_HOLD_SECONDS = 0.5
#: The longest single wait for the port (stopping wakes a reader at once; this
#: bounds a wait whatever happens).
READ_WAIT_SECONDS = 0.5
#: How long such a reader reads on without the GIL before it updates the
#: overdue-sample estimate and wakes waiting consumers (it wakes them at once
#: when one waits, and samples are in the ring as soon as read): each return
#: to Python costs CPU, and the estimate allows IN_FLIGHT_SECONDS anyway.
NEWS_SECONDS = 0.25
#: Samples that may still be under way (instrument, line, port) when the
#: overdue count is estimated during acquisition.
IN_FLIGHT_SECONDS = 0.25

UInt32Array = npt.NDArray[np.uint32]
Float64Array = npt.NDArray[np.float64]
# The blocks' dtypes as objects: np.empty then skips making one from the type at every read.
_UINT32, _FLOAT64 = np.dtype(np.uint32), np.dtype(np.float64)


_NATIVE_OPERATIONS = {name: vexlo.ADCConverter.__dict__[name]
                      for name in ("convert_adc", "calculate_for_direction_1", "calculate_for_direction_2")}


def has_native_arithmetic(converter: object) -> bool:
    """Whether ``converter`` is exactly the module's ``ADCConverter`` with its own operations."""
    cls = type(converter)
    return cls is vexlo.ADCConverter and all(cls.__dict__.get(name) is operation
                                             for name, operation in _NATIVE_OPERATIONS.items())


def take(reader: _arrays.Reader) -> Tuple[int, UInt32Array, Float64Array]:
    """Everything ``reader``'s ring holds, oldest first, as new arrays; the ring lets it go.

    :return: the first sample's number, the counts, the values.
    """
    held = len(reader)
    adc, value = np.empty(held, _UINT32), np.empty(held, _FLOAT64)
    # Samples written meanwhile stay for the next take; the oldest may have made room for them.
    first, taken = reader.take(adc, value)
    if taken < held:  # only if another take came in between
        return first, adc[:taken], value[:taken]
    return first, adc, value


def longest_pause(bytes_per_second: float) -> float:
    """The longest pause between two reads of a port at ``bytes_per_second``: half of what its buffer holds,
    within the bounds of a reader's pause."""
    return min(MAX_POLL_SECONDS, max(MIN_POLL_SECONDS, PORT_BUFFER_BYTES / bytes_per_second / 2))


class Waiters:
    """The consumers of an acquisition waiting for its readers, and how hurried the most hurried is.

    The readers wake as often as that consumer needs: every
    :data:`READ_PAUSE_SECONDS` from the moment a hurried consumer waits (one
    in ``read(timeout=...)``, an engine with a sink in a hurry) until
    :data:`HURRY_HOLD_SECONDS` after its last wait, else as seldom as the
    ports' buffers allow (:func:`longest_pause`). :meth:`wait` is called
    holding the acquisition's lock, which also guards the counts.
    """

    def __init__(self) -> None:
        #: Consumers waiting now: while one waits, the loop over the ports returns as soon as it has
        #: kept samples, so that they are woken at once (read by ``_arrays.read_ports`` without the GIL).
        self.waiting = np.zeros(1, np.int64)
        self.hurried = 0
        self.hurried_until = -math.inf
        #: Called when a hurried consumer starts waiting: cuts a patient pause of the loop short.
        self.nudge: Callable[[], None] = lambda: None

    def wait(self, news: threading.Condition, seconds: Optional[float], hurried: bool) -> None:
        """Wait on ``news`` (held; ``None``: for ever), counted, the readers in a hurry if ``hurried``."""
        self.waiting[0] += 1
        self.hurried += hurried
        try:
            if hurried:
                self.nudge()
            news.wait(seconds)
        finally:
            self.waiting[0] -= 1
            if hurried:
                self.hurried -= 1
                self.hurried_until = clock() + HURRY_HOLD_SECONDS

    def in_a_hurry(self) -> bool:
        """Whether the readers should keep the hurried pace now."""
        return self.hurried > 0 or clock() < self.hurried_until


def _port_failed(failure: OSError) -> vexlo.VexloCommunicationError:
    error = vexlo.VexloCommunicationError(
        f"reading the port failed ({failure.strerror or failure}); was the instrument unplugged?")
    error.__cause__ = failure
    return error


class ModulePort:
    """A port read through the module's ``get_stream_data`` (a simulated port, a test double), between pauses.

    :param bytes_per_second: the stream's pace, which bounds the pauses.
    """

    #: No descriptor: the port is read on its reader's own thread.
    descriptor: Optional[int] = None

    def __init__(self, device: vexlo.VexloDevice, bytes_per_second: float) -> None:
        self.device = device
        # Between a quarter and half of the port's buffer per read: fewer reads
        # cost less, and a reader held up (a busy machine) must still come
        # back before the buffer is full. It starts careful and adapts.
        self.shortest_pause = longest_pause(2 * bytes_per_second)
        self.longest_pause = longest_pause(bytes_per_second)
        #: How long the reader pauses before the next read.
        self.pause_seconds = self.shortest_pause

    def read(self, reader: _arrays.Reader) -> int:
        """Feed ``reader`` what the port holds now; return the bytes read."""
        data: bytes = self.device.get_stream_data()
        filled = len(data) / PORT_BUFFER_BYTES
        if filled > 0.6:  # came back late: read more often
            self.pause_seconds = max(self.shortest_pause, self.pause_seconds / 2)
        elif filled < 0.4:
            self.pause_seconds = min(self.longest_pause, self.pause_seconds * 1.1)
        reader.feed(data)
        return len(data)


class DescriptorPort:
    """A port read through its own file descriptor, the GIL released (see ``_arrays.read_ports``)."""

    def __init__(self, descriptor: int) -> None:
        self.descriptor = descriptor

    def read(self, reader: _arrays.Reader) -> int:
        """Feed ``reader`` what the port holds now, without waiting; return the bytes read.

        :raises vexlo.VexloCommunicationError: the port failed or is gone (what came before is kept).
        """
        before = reader.bytes_read
        _arrays.read_ports([reader], [self.descriptor], -1, 0.0, 0.0, 0.0, _NOBODY_WAITS)
        if reader.failure is not None:
            raise _port_failed(reader.failure)
        return reader.bytes_read - before


#: A consumer count of nobody, for reads that do not wait.
_NOBODY_WAITS = np.zeros(1, np.int64)

Port = Union[ModulePort, DescriptorPort]


def port_reader_of(device: vexlo.VexloDevice, bytes_per_second: float) -> Port:
    """How ``device``'s port is read while streaming: through its descriptor where it has one, else the module.

    :param bytes_per_second: the stream's pace.
    """
    descriptor = _lowlevel.port_descriptor(device)
    return ModulePort(device, bytes_per_second) if descriptor is None else DescriptorPort(descriptor)


class _Reader:
    """One device's reader: its port, its native reader (buffer, ring, counters), the estimates under the lock.

    A port with a file descriptor is waited on and read directly, the GIL
    released, by the acquisition's :class:`_PortLoop` together with every
    other such port; any other (a simulated port, a double) is read through
    the module between pauses, on a thread of its own. Either way, and for
    the bytes the switch-off drains, the native reader writes the ring.
    """

    def __init__(self, index: int, info: StreamInfo, converter: vexlo.ADCConverter, buffer_seconds: float,
                 wake: threading.Condition, limit: Optional[int], port: Port, waiters: Waiters) -> None:
        self.index = index
        self.port = port
        self.info = info
        self.limit = limit
        # The converter's class is decided once: that of a running acquisition is not expected to change.
        self.core = _arrays.Reader(info.packet_size, max(1, math.ceil(buffer_seconds * info.samples_per_second)),
                                   READ_BYTES, converter, has_native_arithmetic(converter), limit)
        self.wake = wake  # shared by all readers, so read() can wait for any of them
        self.waiters = waiters  # shared too: their pace follows the most hurried
        self.stop_event = threading.Event()
        self.missing = 0  # counted at the end only, so that it only grows
        self.overdue = 0  # the estimate meanwhile
        self.started_at = 0.0
        self.error: Optional[BaseException] = None
        self.error_reported = False
        self.end: Optional[StreamEnd] = None
        self.switched_off = False
        #: Called on :attr:`thread` once a finite run has all its samples.
        self.on_reached: Callable[[_Reader], None] = lambda reader: None
        #: The thread working for this reader: its own reading thread (a port
        #: without a descriptor), or the one switching a finished run off.
        self.thread: Optional[threading.Thread] = None

    def start(self, started_at: float) -> None:
        """Count due samples from ``started_at``; read on a thread of its own when the port has no descriptor."""
        self.started_at = started_at
        if self.port.descriptor is None:
            self.thread = threading.Thread(target=self._run, name=f"vexlo reader {self.info.port}", daemon=True)
            self.thread.start()

    def stop_reading(self) -> None:
        """Ask the reader's own thread to end (a port on a :class:`_PortLoop` is stopped there)."""
        self.stop_event.set()

    def complete_aside(self) -> None:
        """A finished run's end (:attr:`on_reached`) on a thread of its own: it waits on the instrument."""
        self.thread = threading.Thread(target=self._complete, name=f"vexlo stop {self.info.port}", daemon=True)
        try:
            self.thread.start()
        except BaseException as error:
            self.fail(error)

    @property
    def received(self) -> int:
        """Samples received: the ring's end (every sample ever kept, taken or dropped)."""
        return self.core.end

    @property
    def reached(self) -> bool:
        """Whether a finite run has all its samples."""
        return self.core.reached

    def _run(self) -> None:
        try:
            while not self.stop_event.is_set() and not self.reached:
                self.poll()
                if not self.reached:
                    pause(self.stop_event, self.pause_seconds())
        except BaseException as error:  # handed to the consumer on its next read
            self.fail(error)
            return
        if self.reached:
            self._complete()

    def pause_seconds(self) -> float:
        """How long its own thread pauses before the next read of a port without a descriptor.

        A hurried consumer that starts waiting during a longer pause waits
        out that pause once (the loop over descriptors is woken instead).
        """
        own = cast(ModulePort, self.port).pause_seconds
        return min(own, READ_PAUSE_SECONDS) if self.waiters.in_a_hurry() else own

    def _complete(self) -> None:
        try:
            self.on_reached(self)
        except BaseException as error:  # handed to the consumer on its next read
            self.fail(error)

    def fail(self, error: BaseException) -> None:
        """The stream failed: keep the error (naming the device) for the consumer, and end the stream."""
        wrapped = _naming_device(error, self.info)
        with self.wake:
            self.error = wrapped
            # Samples still under way when the port failed are missing, not in flight.
            self._count_missing(clock())
            self.end_as(f"failed: {wrapped}", self.reached)
            self.wake.notify_all()

    def poll(self) -> int:
        """Read what the port holds into the ring; return the number of samples kept."""
        before = self.received
        self.port.read(self.core)
        return self.news(self.received - before)

    def feed(self, data: bytes) -> int:
        """Stream bytes into the ring; return the number of samples kept."""
        return self.news(self.core.feed(data))

    def news(self, kept: int) -> int:
        """The ring has ``kept`` more samples: update the overdue estimate, wake the consumers; return ``kept``."""
        now = clock()
        with self.wake:
            if self.end is None:
                self.overdue = self._missing_by(now - IN_FLIGHT_SECONDS)
            if kept:
                self.wake.notify_all()
        return kept

    def _missing_by(self, moment: float) -> int:
        due = math.floor((moment - self.started_at) * self.info.samples_per_second)
        if self.limit is not None:
            due = min(due, self.limit)
        return max(0, due - self.received)

    def _count_missing(self, moment: float) -> None:
        """The stream is over at ``moment``: what was due by then and never came is missing (call under the lock)."""
        self.missing = max(self.missing, self._missing_by(moment))
        self.overdue = 0

    def stats(self) -> Stats:
        return Stats(*self._counters())

    def _counters(self) -> Tuple[int, int, int, int, int]:
        core = self.core
        overrun = core.overrun  # first: the end read after it covers every sample it counts
        return core.end, overrun, self.missing, core.corrupted, self.overdue

    def block(self) -> Block:
        # The times and Stats are made only if a consumer asks for them: a read costs little else.
        first, adc, value = take(self.core)
        return Block._taken(self.info.device, first, adc, value, self.info.samples_per_second, self._counters(),
                            self.index, clock())

    def finish(self, stopped_at: float) -> None:
        """The exact count of missing samples, once the line is drained."""
        with self.wake:
            self._count_missing(stopped_at)

    def end_as(self, reason: str, complete: bool) -> None:
        """Give the stream its end, unless it has one (call under the lock)."""
        if self.end is None:
            started = self.info.start_utc or datetime.now(timezone.utc)
            self.end = StreamEnd(reason, complete, started, datetime.now(timezone.utc), self.stats())


class _PortLoop:
    """The readers of every port with a file descriptor, on one thread.

    One wait covers all the ports (``_arrays.read_ports``): each wake-up
    costs the same for one instrument or eight. A reader leaves the loop when
    its port fails (the failure is its own) or its run has all its samples
    (its instrument is then switched off on a thread of its own, see
    :meth:`_Reader.complete_aside`, so the others are read on meanwhile).
    """

    def __init__(self, readers: Sequence[_Reader], waiters: Waiters) -> None:
        self.readers = list(readers)
        self.waiters = waiters
        self.stop_event = threading.Event()
        # Read end, write end: stopping (or a hurried consumer) writes a byte, which ends the wait on the ports.
        # Closed by the loop's thread as it ends; the lock keeps a write from meeting the close.
        self.wake_pipe: Optional[Tuple[int, int]] = None
        self.pipe_lock = threading.Lock()
        # Whether the wait under way pauses longer than a hurried consumer allows: it is then cut short.
        self.patient = False
        # Set after a hurried consumer's byte is written: the loop then takes it out of the pipe.
        self.nudged = False
        self.thread = threading.Thread(target=self._run, name="vexlo readers", daemon=True)

    def start(self) -> None:
        self.wake_pipe = os.pipe()
        for descriptor in self.wake_pipe:
            os.set_blocking(descriptor, False)
        try:
            self.thread.start()
        except BaseException:
            self._close_pipe()
            raise

    def pause_seconds(self, readers: Sequence[_Reader]) -> float:
        """How long the next wait pauses on the wake pipe alone: as long as the most hurried consumer
        allows, and as the port that fills first allows."""
        patient = min(longest_pause(reader.info.samples_per_second * reader.info.packet_size) for reader in readers)
        return min(patient, READ_PAUSE_SECONDS) if self.waiters.in_a_hurry() else patient

    def stop_reading(self) -> None:
        """Ask the loop to end, waking it from its wait on the ports."""
        self.stop_event.set()
        self._wake()

    def hurry(self) -> None:
        """A hurried consumer waits: cut a longer pause under way short (the next pauses are short)."""
        if self.patient:
            self.patient = False
            self._wake()
            self.nudged = True

    def _wake(self) -> None:
        with self.pipe_lock:
            if self.wake_pipe is not None:
                try:
                    os.write(self.wake_pipe[1], b"x")
                except BlockingIOError:
                    pass  # woken already

    def _close_pipe(self) -> None:
        with self.pipe_lock:
            pipe, self.wake_pipe = self.wake_pipe, None
        for descriptor in pipe or ():
            os.close(descriptor)

    def _run(self) -> None:
        active = [reader for reader in self.readers if not reader.reached]
        try:
            assert self.wake_pipe is not None
            wake = self.wake_pipe[0]
            while active and not self.stop_event.is_set():
                before = [reader.received for reader in active]
                # Patient first, then the pace looked at: a hurried consumer that starts waiting after the
                # look finds the wait patient and cuts it short.
                self.patient = True
                pause_seconds = self.pause_seconds(active)
                self.patient = pause_seconds > READ_PAUSE_SECONDS
                _arrays.read_ports([reader.core for reader in active],
                                   [cast(int, reader.port.descriptor) for reader in active],
                                   wake, pause_seconds, READ_WAIT_SECONDS, NEWS_SECONDS, self.waiters.waiting)
                if self.nudged:  # a hurried consumer's bytes, once written (stopping is seen from its event)
                    self.nudged = False
                    try:
                        os.read(wake, 64)
                    except BlockingIOError:
                        pass
                for reader, received in zip(active, before):
                    try:
                        reader.news(reader.received - received)
                        if reader.core.failure is not None:
                            raise _port_failed(reader.core.failure)
                    except BaseException as error:  # handed to the consumer on its next read
                        reader.fail(error)
                    else:
                        if reader.reached:
                            reader.complete_aside()
                active = [reader for reader in active if reader.error is None and not reader.reached]
        except BaseException as error:  # not the ports' own: every reader still on the loop fails with it
            for reader in active:
                reader.fail(error)
        finally:
            # Its waits are over: the switch-off's reads take only what the ports hold.
            self._close_pipe()


def _name(info: StreamInfo) -> str:
    """How messages name an instrument: model, serial number, port."""
    return f"{info.model} {info.serial_number} on {info.port}"


def _naming_device(error: BaseException, info: StreamInfo) -> BaseException:
    """The error as the module's type, naming the instrument, the original chained as its cause."""
    if not isinstance(error, Exception) or getattr(error, "stream", None) is info:
        return error
    name = _name(info)
    if isinstance(error, vexlo.VexloDeviceError):
        wrapped: BaseException = type(error)(f"{name}: {error}")
    else:
        wrapped = vexlo.VexloCommunicationError(f"{name}: {error}")
    wrapped.__cause__ = error
    # Which stream failed, for callers that go on with the others.
    wrapped.stream = info  # type: ignore[attr-defined]
    return wrapped

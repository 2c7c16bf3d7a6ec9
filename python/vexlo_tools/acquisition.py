"""Continuous acquisition from one or many instruments, in arrays, with exact loss counters.

An :class:`Acquisition` starts streaming on its devices and gives each one
a background reader that drains the port continuously into a ring buffer,
so a consumer that is late, for seconds even, loses nothing. What the host
could not keep (a full ring) and what the line never delivered are counted
and handed out with the data::

    from vexlo_tools import Acquisition, find_devices

    devices = find_devices()
    with Acquisition(devices, rate=1200) as acquisition:
        for _ in range(10):
            for block in acquisition.read(timeout=1.0):
                print(block.device, block.first_index, block.value.mean(), block.stats)
"""

from __future__ import annotations

import dataclasses
import functools
import logging
import math
import threading
import time
import warnings
import weakref
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

import vexlo_device_communication as vexlo

from . import _arrays
from . import _lowlevel
from . import _reading
from . import _stopping
from ._lowlevel import PortInUseError
from ._reading import (Float64Array, UInt32Array, Waiters, _name, _PortLoop, _Reader, has_native_arithmetic,
                       port_reader_of)
from .models import model_info, unit_symbol
from .types import Block, Stats, StreamEnd, StreamInfo

__all__ = ["Acquisition", "Block", "Stats", "StreamEnd", "StreamInfo", "convert_to_arrays", "unit_text"]

logger = logging.getLogger("vexlo_tools.acquisition")

#: Write timeout set on the ports while acquiring: an instrument that stops
#: reading must not block a host write forever.
WRITE_TIMEOUT_SECONDS = 1.0
#: After streaming is switched off, the line must be silent for one read
#: timeout of the port (see quiet_seconds), never less than MIN_QUIET_SECONDS.
MIN_QUIET_SECONDS = 0.05
#: The quiet window on a port without a read timeout (the module's default timeout).
DEFAULT_QUIET_SECONDS = 1.0


def _told(query: Callable[[int], int]) -> Optional[int]:
    """What a query of channel 0 answers, or ``None`` where the instrument does not tell (for provenance)."""
    try:
        return int(query(0))
    except vexlo.VexloDeviceError:
        return None


def unit_text(device: vexlo.VexloDevice, channel: int = 0) -> str:
    """Unit of the device's readings: the TEDS unit while TEDS data is loaded, else the profile's."""
    try:
        return device.get_teds_engineering_unit()
    except vexlo.VexloTEDSError:
        pass
    try:
        return unit_symbol(device.get_unit_of_measure(channel).name)
    except ValueError:
        # A unit code the module has no member for.
        return "(unknown unit)"


def converter_of(device: vexlo.VexloDevice) -> vexlo.ADCConverter:
    """The device's ADC converter.

    :raises vexlo.VexloCalibrationError: no calibration is loaded.
    """
    converter = device.get_adc_converter()
    if converter is None:
        raise vexlo.VexloCalibrationError("ADC converter not initialized. Cannot convert reading.")
    return converter


def port_of(device: vexlo.VexloDevice) -> str:
    """The port a device is on."""
    return str(getattr(device.communication_interface, "comport", "?"))


@dataclass
class Conversion:
    """Stream bytes converted into arrays.

    :ivar adc: the counts.
    :ivar value: the calibrated values.
    :ivar remainder: the bytes of an unfinished packet at the end.
    :ivar corrupted: byte positions the scan skipped.
    """

    adc: UInt32Array
    value: Float64Array
    remainder: bytes
    corrupted: int


def convert_to_arrays(data: bytes, converter: vexlo.ADCConverter, packet_size: int = 4, *,
                      out: Optional[Tuple[UInt32Array, Float64Array]] = None) -> Conversion:
    """Convert stream packets into arrays, as ``StreamDataConverter`` converts them into readings.

    Packets are found by their checksums, as by the module; an exact
    ``ADCConverter`` gives values bit for bit equal to the module's, any
    other converter is asked through ``convert_adc`` for every packet (a
    ``ValueError``, ``ZeroDivisionError`` or ``AttributeError`` skips the
    position, other errors end the conversion).

    :param data: stream bytes, the previous remainder in front.
    :param converter: any object with ``convert_adc``.
    :param packet_size: 3 (a PLX310 at 38400 samples/s) or 4.
    :param out: arrays to write the counts and values into (uint32 and
        float64, room for ``len(data) // packet_size`` samples), e.g. the
        same two for every buffer of a stream; new arrays by default.
    :return: the counts, values (views into ``out`` when given), remainder
        and skipped positions.
    :raises ValueError: a packet size other than 3 or 4, or ``out`` too short.
    :raises TypeError: ``out`` arrays of another type.
    """
    return _convert(data, converter, packet_size, has_native_arithmetic(converter), out)


def _convert(data: Union[bytes, bytearray], converter: vexlo.ADCConverter, packet_size: int, native: bool,
             out: Optional[Tuple[UInt32Array, Float64Array]] = None) -> Conversion:
    if out is None:
        room = len(data) // packet_size if packet_size in (3, 4) else 0
        out = (np.empty(room, np.uint32), np.empty(room, np.float64))
    adc, value = out
    taken, rest, corrupted = _arrays.convert(data, packet_size, adc, value, converter, native)
    return Conversion(adc[:taken], value[:taken], bytes(data[rest:]), corrupted)


def _join(thread: Optional[threading.Thread]) -> None:
    if thread is not None and thread.is_alive() and thread is not threading.current_thread():
        thread.join()



class Acquisition:
    """Stream from several devices at once into ring buffers, read as arrays.

    A context manager: entering starts, leaving stops. While it runs, each
    device belongs to its reader; do not use the devices otherwise. A
    device belongs to one acquisition at a time.

    An open-ended acquisition streams until :meth:`stop`; a finite one
    (``samples`` or ``seconds``) ends each instrument after exactly that
    many samples, switching it off, and :meth:`wait` waits for all of them.

    :param devices: open devices (e.g. from :func:`vexlo_tools.find_devices`), each once.
    :param rate: if given, channel 0's sampling rate to set on every device,
        in samples per second; or one rate per device, in device order
        (``None`` leaves that device's rate as it is).
    :param buffer_seconds: how much each ring buffer holds at the device's
        nominal rate; a consumer later than that loses the oldest samples
        (counted in :attr:`Stats.overrun`).
    :param samples: end each instrument after this many samples.
    :param seconds: end each instrument after this many seconds of data
        (``seconds`` × its rate samples, rounded); not with ``samples``.
    :raises ValueError: no devices, a device given twice, or bad numbers.
    """

    def __init__(self, devices: Sequence[vexlo.VexloDevice], *,
                 rate: Union[None, float, Sequence[Optional[float]]] = None,
                 buffer_seconds: float = 60.0, samples: Optional[int] = None,
                 seconds: Optional[float] = None) -> None:
        if not devices:
            raise ValueError("an acquisition needs at least one device")
        if not buffer_seconds > 0:
            raise ValueError("buffer_seconds must be more than 0")
        rates = list(rate) if isinstance(rate, Sequence) else [rate] * len(devices)
        if len(rates) != len(devices):
            raise ValueError(f"{len(rates)} rates for {len(devices)} devices")
        for sps in rates:
            if sps is not None and not (math.isfinite(sps) and sps > 0):
                raise ValueError(f"a rate must be a finite number of samples per second above 0, not {sps}")
        if samples is not None and seconds is not None:
            raise ValueError("give samples or seconds, not both")
        if samples is not None and (isinstance(samples, bool) or int(samples) != samples or samples < 1):
            raise ValueError(f"samples must be a whole number of at least 1, not {samples}")
        if seconds is not None and not (math.isfinite(seconds) and seconds > 0):
            raise ValueError(f"seconds must be a finite number above 0, not {seconds}")
        seen: Dict[int, vexlo.VexloDevice] = {}
        for device in devices:
            if id(device) in seen:
                raise ValueError(f"the device on {port_of(device)} is given twice")
            seen[id(device)] = device
        self.devices = list(devices)
        self.rate = rate
        self._rates: List[Optional[float]] = rates
        self.buffer_seconds = buffer_seconds
        self.samples = None if samples is None else int(samples)
        self.seconds = seconds
        # read() takes the condition's lock itself, a C call, rather than through Condition.__enter__
        # and __exit__, two Python calls: it is the one path a consumer takes several times a second.
        self._mutex = threading.RLock()
        self._lock = threading.Condition(self._mutex)
        # Consumers waiting on _lock: the readers wake them at once, and as often as the most hurried needs.
        self._waiters = Waiters()
        self._readers: List[_Reader] = []
        self._loop: Optional[_PortLoop] = None
        self._write_timeouts: List[Optional[float]] = []
        self._switching_off: Optional[List[threading.Thread]] = None
        self._stop_errors: List[Optional[BaseException]] = []
        self._engine: Optional[Any] = None
        self._consumer: Optional[threading.Thread] = None
        self._running = False
        self._owning = False

    # ------------------------------------------------------------ lifecycle

    @property
    def running(self) -> bool:
        """Whether streaming is on (between :meth:`start` and :meth:`stop`)."""
        return self._running

    @property
    def streams(self) -> List[StreamInfo]:
        """One :class:`StreamInfo` per device, in device order.

        :raises RuntimeError: before :meth:`start`.
        """
        if not self._readers:
            raise RuntimeError("the streams are known once the acquisition has started")
        return [reader.info for reader in self._readers]

    @property
    def ends(self) -> List[Optional[StreamEnd]]:
        """Per stream, how it ended, or ``None`` while it runs.

        A stream's end is set once every one of its samples is in its ring,
        so a :meth:`read` after seeing the end takes all that is left of it.
        """
        with self._lock:
            return [reader.end for reader in self._readers]

    def start(self) -> None:
        """Set the rate if asked, switch streaming on and start the readers.

        :raises ValueError: a model lacks the rate (nothing has been set then).
        :raises RuntimeError: already running.
        :raises vexlo_tools.devices.PortInUseError: a device belongs to another acquisition.
        :raises vexlo.VexloDeviceError: an exchange with an instrument failed;
            devices already streaming are switched off again.
        """
        if self._running:
            raise RuntimeError("the acquisition is already running")
        _claim(self)
        try:
            identities = [(device.get_model_number(), device.communication_interface.get_item_number())
                          for device in self.devices]
            # Every rate is checked before any is set.
            codes: List[Optional[int]] = [None if sps is None else model_info(model).rate_code(sps, item)
                                          for sps, (model, item) in zip(self._rates, identities)]
        except BaseException:
            _release(self)
            raise
        readers: List[_Reader] = []
        self._readers = readers
        self._loop = None
        self._write_timeouts = []
        self._switching_off = None
        try:
            for index, (device, (model, item), code) in enumerate(zip(self.devices, identities, codes)):
                if code is not None:
                    device.set_sampling_rate_value(code, 0)
                readers.append(self._prepare(index, device, model, item))
            self._running = True
            # All streams first, then the readers: the streams start as close together as the links allow.
            started = []
            for reader in readers:
                _lowlevel.clear_input(reader.info.device)
                reader.info.device.set_stream_state(True)
                started.append((_reading.clock(), datetime.now(timezone.utc)))
                # From now on a query would read its answer from among stream bytes: refused instead.
                _lowlevel.guard_streaming(reader.info.device.communication_interface, _name(reader.info))
            for reader, (at, utc) in zip(readers, started):
                reader.info = dataclasses.replace(reader.info, start_utc=utc)
                # Weakly: a reader must not keep an acquisition nobody holds from being collected.
                reader.on_reached = functools.partial(_call_if_alive, weakref.WeakMethod(self._complete))
                reader.start(at)
            on_descriptors = [reader for reader in readers if reader.port.descriptor is not None]
            if on_descriptors:
                self._loop = _PortLoop(on_descriptors, self._waiters)
                self._waiters.nudge = self._loop.hurry
                self._loop.start()
        except BaseException:
            self.stop(quiet=True)
            raise

    def _prepare(self, index: int, device: vexlo.VexloDevice, model: str, item: str) -> _Reader:
        info = model_info(model)
        code = device.get_sampling_rate(0)
        sps = info.samples_per_second(code)
        if sps is None:
            raise vexlo.VexloInvalidParameterError(
                f"{model} on {port_of(device)}: rate code {code} is not a {model} rate")
        converter = converter_of(device)
        self._write_timeouts.append(_lowlevel.set_write_timeout(device, WRITE_TIMEOUT_SECONDS))
        stream = StreamInfo(
            device=device, port=port_of(device), model=model, item_number=item,
            serial_number=device.get_instrument_serial_number(),
            firmware=device.communication_interface.get_firmware_version_with_patch(),
            rate_code=code, samples_per_second=sps, packet_size=info.packet_size(code),
            unit=unit_text(device), profile=_told(device.get_device_channel_selected_profile),
            sensor_serial_number=_told(device.get_sensor_serial_number))
        limit = self.samples if self.seconds is None else max(1, round(self.seconds * sps))
        return _Reader(index, stream, converter, self.buffer_seconds, self._lock, limit,
                       port_reader_of(device, sps * stream.packet_size), self._waiters)

    def _complete(self, reader: _Reader) -> None:
        """A finite stream has its samples: switch its instrument off (on its reader's :attr:`_Reader.thread`)."""
        self._switch_off(reader)
        with self._lock:
            reader.end_as("completed", True)
            self._lock.notify_all()

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Wait until every stream has ended (a finite run has all its samples, or failed).

        :return: whether all have ended (``False`` after ``timeout`` seconds).
        :raises RuntimeError: never started.
        """
        if not self._readers:
            raise RuntimeError("start the acquisition before waiting for it")
        with self._lock:
            return self._lock.wait_for(lambda: all(r.end is not None for r in self._readers), timeout)

    def stop(self, *, quiet: bool = False, interrupted: bool = False) -> None:
        """Stop the readers, switch streaming off, drain, and check each instrument answers.

        The instruments are switched off in parallel. Samples that arrive
        until the line has fallen quiet (silent for one read timeout of the
        port, see :func:`quiet_seconds`) are kept for the next :meth:`read`.
        Every device is switched off and its port's settings restored
        before an error is raised; :attr:`running` is false afterwards. Safe
        to call again, also after an interrupt cut it short. The devices stay
        open.

        :param quiet: log failures instead of raising them (used when
            already failing).
        :param interrupted: streams still running end as ``"interrupted"``.
        :raises vexlo.VexloDeviceError: an instrument could not be switched
            quiet or did not answer afterwards; the error names it.
        """
        engine, self._engine = self._engine, None
        if engine is not None:
            # The callbacks' engine stops this acquisition and hands them what is left.
            try:
                engine.stop(interrupted=interrupted)
            except Exception as error:
                if not quiet:
                    raise
                logger.error("%s", error)
            return
        readers = self._readers
        if self._loop is not None:
            self._loop.stop_reading()
        for reader in readers:
            reader.stop_reading()
        if self._loop is not None:
            _join(self._loop.thread)  # first: once it has ended, it starts no switch-off of its own
        for reader in readers:
            _join(reader.thread)
        if self._running and self._switching_off is None:
            self._stop_errors = [None] * len(readers)
            self._switching_off = [threading.Thread(target=self._switch_off_quietly, args=(reader,),
                                                    name=f"vexlo stop {reader.info.port}", daemon=True)
                                   for reader in readers]
            for thread in self._switching_off:
                thread.start()
        for thread in self._switching_off or ():
            thread.join()
        # Raised once: a later call has nothing left to do.
        errors, self._stop_errors = [error for error in self._stop_errors if error is not None], []
        for reader, timeout in zip(readers, self._write_timeouts):
            try:
                _lowlevel.unguard(reader.info.device.communication_interface)
                _lowlevel.set_write_timeout(reader.info.device, timeout)
            except Exception as error:  # a vanished port: nothing to restore on it
                logger.debug("%s: write timeout not restored: %s", reader.info.port, error)
        with self._lock:
            for reader in readers:
                if reader.limit is not None:
                    reader.end_as("interrupted", False)
                else:
                    reader.end_as("interrupted" if interrupted else "completed", True)
            self._running = False
            self._lock.notify_all()
        _release(self)
        if errors and not quiet:
            for other in errors[1:]:
                logger.error("%s", other)
            raise errors[0]

    def _switch_off_quietly(self, reader: _Reader) -> None:
        try:
            self._switch_off(reader)
        except BaseException as error:  # raised by stop() once every device is off, not by read()
            reader.error_reported = True
            self._stop_errors[reader.index] = error

    def _switch_off(self, reader: _Reader) -> None:
        if reader.error is not None or reader.switched_off:
            return  # the port failed (nothing to switch off through it), or it is off already
        device = reader.info.device
        try:
            reader.poll()
            stopped_at = _reading.clock()
            _lowlevel.unguard(device.communication_interface)
            quiet = quiet_seconds(device)
            # Every packet sent until the instrument stopped is kept (its answer cut out
            # when found; else its bytes count among the skipped positions). An answer
            # lost or garbled: asked once more the same way, which loses nothing.
            for _ in range(_stopping.STOP_ATTEMPTS):
                tail, clean = _stopping.ask_to_stop(device, quiet)
                reader.feed(tail)
                if clean:
                    break
            else:
                # Switch off through the module, and keep what still comes.
                try:
                    device.set_stream_state(False)
                except (vexlo.VexloProtocolError, vexlo.VexloCommunicationError) as error:
                    logger.debug("%s: answer to streaming off lost among stream bytes: %s", reader.info.port, error)
                reader.feed(_stopping.drain_quiet(device, quiet))
            reader.switched_off = True
            _stopping.check_answers(device, quiet)
            reader.finish(stopped_at)
        except BaseException as error:
            reader.fail(error)
            if reader.error is None or reader.error is error:
                raise
            raise reader.error from error

    def __enter__(self) -> "Acquisition":
        self.start()
        return self

    def __del__(self) -> None:
        if getattr(self, "_running", False):
            names = ", ".join(_name(reader.info) for reader in self._readers)
            warnings.warn(f"an acquisition of {names} was never stopped; switching streaming off",
                          ResourceWarning, source=self)
            self.stop(quiet=True)

    def __exit__(self, exc_type: object, exc: object, tb: object) -> None:
        interrupted = isinstance(exc, KeyboardInterrupt)
        try:
            self.stop(quiet=exc is not None, interrupted=interrupted)
        except KeyboardInterrupt:
            # Ctrl-C while stopping: finish stopping, then let it through.
            self.stop(quiet=True, interrupted=True)
            raise

    # ------------------------------------------------------------- reading

    def read(self, timeout: Optional[float] = None) -> List[Block]:
        """What arrived since the last read: one :class:`Block` per device, in device order.

        :param timeout: wait at most this long for a first new sample from
            any device (``0``: do not wait; ``None``: wait until one comes).
            After :meth:`stop`, or once every stream has ended, returns at
            once with what is left.
        :return: one block per device, empty where nothing came.
        :raises vexlo.VexloDeviceError: a device's reader failed (a port that
            vanished): the error names the device, and its ``stream``
            attribute is the device's :class:`StreamInfo`, once; the others go on
            and their samples wait for the next read.
        :raises RuntimeError: never started, or an engine (the callbacks of
            :meth:`on_block`) reads this acquisition.
        """
        if not self._readers:
            raise RuntimeError("start the acquisition before reading")
        consumer = self._consumer
        if consumer is not None and consumer is not threading.current_thread():
            raise RuntimeError("an engine reads this acquisition (its blocks go to its sinks and callbacks)")
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._mutex:
            # Nothing more can come once every stream has ended.
            while self._running and not self._pending() and any(r.end is None for r in self._readers):
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0:
                    break
                # A consumer that waits is in a hurry: the readers keep the short pace while it reads on.
                self._waiters.wait(self._lock, remaining, hurried=True)
            self._raise_pending_error()
            return [reader.block() for reader in self._readers]

    def _pending(self) -> bool:
        for r in self._readers:  # a loop, not any() over a generator: called at every read()
            if len(r.core) or (r.error is not None and not r.error_reported):
                return True
        return False

    def _raise_pending_error(self) -> None:
        for reader in self._readers:
            if reader.error is not None and not reader.error_reported:
                reader.error_reported = True
                raise reader.error

    @property
    def waiter(self) -> Callable[[float, bool], object]:
        """Waits at most the given seconds for news (samples, a failure, the end), holding no reference
        to the acquisition meanwhile: an engine waits with it, so an acquisition that nobody keeps
        can still be collected. Its second argument says whether the waiter is in a hurry (the
        readers then wake every few milliseconds, as for :meth:`read` with a timeout)."""
        return functools.partial(_wait_for_news, self._lock, self._waiters)

    def _set_consumer(self, thread: Optional[threading.Thread]) -> None:
        """The one thread that may read (an engine's), or ``None`` for any."""
        self._consumer = thread

    def stats(self) -> List[Stats]:
        """The counters of every device, in device order."""
        with self._lock:
            return [reader.stats() for reader in self._readers]

    def on_block(self, fn: Callable[[Block], None], every_samples: int = 1) -> None:
        """Call ``fn(block)`` on a worker thread whenever a device has ``every_samples`` new samples.

        The callback is a sink of an :class:`~vexlo_tools.engine.Engine`
        that now reads the acquisition, so :meth:`read` is refused while
        it runs. What is left when the acquisition stops is handed over
        last. An exception raised by ``fn`` ends the calls and is raised by
        :meth:`stop` (and so when the ``with`` block ends). Register after
        :meth:`start`, once.

        :param every_samples: the least number of samples in a block (the
            last blocks may be shorter).
        :raises RuntimeError: not running, or a callback is already registered.
        :raises ValueError: ``every_samples`` below 1.
        """
        from .engine import CallbackSink, Engine

        if every_samples < 1:
            raise ValueError("every_samples must be at least 1")
        if not self._running:
            raise RuntimeError("start the acquisition before registering a callback")
        if self._engine is not None:
            raise RuntimeError("a callback is already registered")
        engine = Engine(self, [CallbackSink(fn, every_samples)], tick_seconds=0.1)
        engine.start()
        self._engine = engine


def quiet_seconds(device: vexlo.VexloDevice) -> float:
    """How long a line must stay silent to count as quiet after streaming: the port's read timeout.

    Bytes may trail the end of a stream by the delays of the instrument,
    the USB or serial path, the kernel and, on a busy machine, the threads
    in between; a fixed short window is shorter than those at times. A line
    silent for a whole read timeout is silent by the module's own measure:
    it gives up waiting for an answer after as long.

    :return: the port's ``timeout``, at least :data:`MIN_QUIET_SECONDS`;
        :data:`DEFAULT_QUIET_SECONDS` for a port that waits for ever.
    """
    timeout = _lowlevel.read_timeout(device)
    if timeout is None:
        return DEFAULT_QUIET_SECONDS
    return max(MIN_QUIET_SECONDS, float(timeout))


def _wait_for_news(news: threading.Condition, waiters: Waiters, seconds: float, hurried: bool) -> None:
    with news:
        waiters.wait(news, max(0.0, seconds), hurried)


def _call_if_alive(method: "weakref.WeakMethod[Callable[[_Reader], None]]", reader: _Reader) -> None:
    """Call ``method`` (a weak reference to a bound method) if its object still lives."""
    bound = method()
    if bound is not None:
        bound(reader)


#: Device id -> the acquisition that owns it (weakly: a collected acquisition owns nothing).
_owners: "weakref.WeakValueDictionary[int, Acquisition]" = weakref.WeakValueDictionary()
_owners_lock = threading.Lock()


def _claim(acquisition: Acquisition) -> None:
    """Make ``acquisition`` the owner of its devices.

    :raises PortInUseError: one of them belongs to another acquisition.
    """
    with _owners_lock:
        for device in acquisition.devices:
            owner = _owners.get(id(device))
            if owner is not None and owner is not acquisition:
                raise PortInUseError(f"port {port_of(device)} in use: its device belongs to another acquisition")
        for device in acquisition.devices:
            _owners[id(device)] = acquisition


def _release(acquisition: Acquisition) -> None:
    with _owners_lock:
        for device in acquisition.devices:
            if _owners.get(id(device)) is acquisition:
                del _owners[id(device)]

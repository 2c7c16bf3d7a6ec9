"""In-process transport: simulated instruments behind a pyserial-like port.

:class:`SimulatedSerial` offers the part of ``serial.Serial`` that code
driving Vexlo instruments uses, and talks straight to a
:class:`~vexlo_tools.sim.SimulatedInstrument`. :func:`simulated_ports`
puts instruments on named ports for the duration of a ``with`` block, so
code that opens ``serial.Serial(port=...)`` and lists
``serial.tools.list_ports.comports()`` finds them.

Time is virtual by default in the sense that nothing ever waits: answers
are there as soon as a request is written, and a read that finds nothing
returns ``b""`` at once, as a read whose timeout expired. Stream packets
accrue by the time elapsed on a clock, ``time.monotonic`` unless another
is given (a :class:`VirtualClock` lets tests step time by hand).
"""

from __future__ import annotations

import contextlib
import errno
import itertools
import logging
import threading
import time
from collections.abc import Mapping
from typing import Any, Callable, Dict, Iterator, List, Optional

import serial
import serial.tools.list_ports
from serial.serialutil import to_bytes  # type: ignore[attr-defined]  # public in pyserial, absent from its stubs
from serial.tools.list_ports_common import ListPortInfo

from .instrument import SimulatedInstrument

__all__ = ["INPUT_BUFFER_SIZE", "SimulatedPorts", "SimulatedSerial", "VirtualClock", "simulated_ports"]

logger = logging.getLogger("vexlo_tools.sim")

#: Bytes a port buffers before further received bytes are lost, as in a
#: Linux tty's 4 KiB receive buffer; ``SimulatedSerial.overrun_bytes`` counts losses.
INPUT_BUFFER_SIZE = 4096
#: With ``split_reads``, the bytes held back at a look at the port cycle through 1 to this many:
#: one more than the longest stream packet, so the cut falls at every byte of a packet in turn.
SPLIT_CYCLE = 5

Clock = Callable[[], float]

# Ports installed by simulated_ports(), consulted by SimulatedSerial when it
# is not handed an instrument. Nested blocks stack; each restores on exit.
_registry: Dict[str, SimulatedInstrument] = {}
_registry_lock = threading.RLock()


class LineSplit:
    """Holds back the tail of what arrives, 1 to :data:`SPLIT_CYCLE` bytes in turn, until the next look.

    Bytes still on the line when the host looks: what it reads then ends
    inside a stream packet, at every byte position in turn. Called with
    nothing new, it gives the held-back bytes.
    """

    def __init__(self) -> None:
        self.held = b""
        self._cuts = itertools.cycle(range(1, SPLIT_CYCLE + 1))

    def __call__(self, data: bytes) -> bytes:
        cut = min(len(data), next(self._cuts)) if data else 0
        data = self.held + data
        self.held = data[len(data) - cut:]
        return data[:len(data) - cut]


class VirtualClock:
    """A clock that only moves when told to, for stream tests.

    >>> clock = VirtualClock()
    >>> clock()
    0.0
    >>> clock.advance(0.5)
    0.5
    """

    def __init__(self, start: float = 0.0) -> None:
        self._now = float(start)

    def __call__(self) -> float:
        return self._now

    def advance(self, seconds: float) -> float:
        """Move the clock forward by ``seconds``; return the new time."""
        if seconds < 0:
            raise ValueError("a clock does not run backwards")
        self._now += seconds
        return self._now


def _open_error(port: object) -> serial.SerialException:
    # Worded like pyserial's own failure on Linux.
    return serial.SerialException(
        errno.ENOENT, f"could not open port {port}: [Errno 2] No such file or directory: '{port}'"
    )


class SimulatedSerial:
    """A serial port whose far end is a simulated instrument.

    Mirrors the ``serial.Serial`` interface code uses to talk to an
    instrument: construction opens the port (unless ``port`` is ``None``),
    then ``write``, ``read``, ``in_waiting``, ``reset_input_buffer``,
    ``close``, ``is_open``, ``port``, ``baudrate`` and ``timeout``, and
    use as a context manager.

    :param port: port name. The instrument is looked up among the ports
        installed by :func:`simulated_ports` unless ``instrument`` is given.
    :param baudrate: the instrument answers only at its model's rates
        (PLX310 at 2000000, the others at 320000 and 115200); at any other
        rate it stays silent, as it would over a real line.
    :param timeout: kept for compatibility; reads never wait for it unless
        ``realtime_reads`` is set.
    :param instrument: the instrument on the far end, bypassing the
        installed ports.
    :param clock: time source for streaming (default ``time.monotonic``).
    :param realtime_reads: when true, ``read(n)`` waits in real time up to
        ``timeout`` seconds for ``n`` bytes (useful while streaming on the
        real clock), and a write to an instrument that stopped reading
        waits up to ``write_timeout``; by default both return at once.
    :param write_timeout: as in pyserial: a write the instrument does not
        take in (:meth:`SimulatedInstrument.stop_reading`) raises
        ``serial.SerialTimeoutException`` when it expires; with ``None``
        the write waits until the instrument reads again.
    :param split_reads: when true, each look at the port (``in_waiting``,
        ``read``) holds back the last 1 to :data:`SPLIT_CYCLE` bytes that
        newly arrived (cycling) until the next look, as bytes still on the
        line would be: a read of what is waiting then ends inside a stream
        packet, at every byte position in turn. A read of more bytes than
        are visible takes the held-back ones too, as a read waiting for its
        timeout would. By default false, or as :func:`simulated_ports` says.
    :raises serial.SerialException: the port is unknown or unplugged,
        with pyserial's message ("[Errno 2] could not open port ...").

    Other ``serial.Serial`` keyword arguments (``bytesize``, ``parity``,
    ...) are accepted and ignored.
    """

    def __init__(
        self,
        port: Optional[str] = None,
        baudrate: int = 9600,
        timeout: Optional[float] = None,
        *args: object,
        instrument: Optional[SimulatedInstrument] = None,
        clock: Optional[Clock] = None,
        realtime_reads: bool = False,
        write_timeout: Optional[float] = None,
        split_reads: Optional[bool] = None,
        **kwargs: object,
    ) -> None:
        self._port = port
        self.baudrate = baudrate
        self.timeout = timeout
        self.write_timeout = write_timeout
        self._instrument_given = instrument
        self._instrument: Optional[SimulatedInstrument] = None
        self._clock: Clock = clock if clock is not None else self._default_clock()
        self._real_clock = clock is None
        self.realtime_reads = realtime_reads
        self._rx = bytearray()
        self.split_reads = self._split_by_default if split_reads is None else split_reads
        self._line = LineSplit()
        self.overrun_bytes = 0
        self.is_open = False
        if port is not None:
            self.open()

    _split_by_default = False

    @classmethod
    def _default_clock(cls) -> Clock:
        return time.monotonic

    # ------------------------------------------------------------- lifecycle

    @property
    def port(self) -> Optional[str]:
        """The port name; assigning one to an open port reopens it, as pyserial does."""
        return self._port

    @port.setter
    def port(self, name: Optional[str]) -> None:
        was_open = self.is_open
        if was_open:
            self.close()
        self._port = name
        if was_open:
            self.open()

    @property
    def instrument(self) -> Optional[SimulatedInstrument]:
        """The instrument on the far end while the port is open."""
        return self._instrument

    def open(self) -> None:
        """Open the port (construction with a port name does this)."""
        if self.is_open:
            raise serial.SerialException("Port is already open.")
        if self._port is None:
            raise serial.SerialException("Port must be configured before it can be used.")
        instrument = self._instrument_given
        if instrument is None:
            with _registry_lock:
                instrument = _registry.get(self._port)
        if instrument is None or not instrument.plugged_in:
            raise _open_error(self._port)
        self._instrument = instrument
        self._rx.clear()
        self._line.held = b""
        now = self._clock()
        instrument.bind_clock(now, real=self._real_clock)
        instrument.attach(now)
        self.is_open = True

    def close(self) -> None:
        """Close the port; closing twice is harmless."""
        self.is_open = False
        self._instrument = None
        self._rx.clear()
        self._line.held = b""

    def __enter__(self) -> "SimulatedSerial":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "open" if self.is_open else "closed"
        return f"<SimulatedSerial port={self._port!r} baudrate={self.baudrate} {state}>"

    # ------------------------------------------------------------------- I/O

    def _open_instrument(self) -> SimulatedInstrument:
        if not self.is_open or self._instrument is None:
            raise serial.PortNotOpenError()
        return self._instrument

    def _live_instrument(self) -> SimulatedInstrument:
        # A vanished device fails like pyserial's ioctl on a dead fd.
        instrument = self._open_instrument()
        if not instrument.plugged_in:
            raise serial.SerialException(errno.EIO, "Input/output error")
        return instrument

    def _pump(self) -> None:
        instrument = self._live_instrument()
        data = instrument.transmit(self._clock())
        if data and not instrument.answers_at(self.baudrate):
            # Wrong line speed: what the instrument sends never decodes.
            return
        self._take(self._line(data) if self.split_reads else data)

    def _take(self, data: bytes) -> None:
        room = INPUT_BUFFER_SIZE - len(self._rx)
        if len(data) > room:
            self.overrun_bytes += len(data) - room
            data = data[:room]
        self._rx += data

    @property
    def in_waiting(self) -> int:
        """Number of received bytes waiting to be read."""
        self._pump()
        return len(self._rx)

    def write(self, data: bytes) -> int:
        """Send ``data`` to the instrument; returns the number of bytes written."""
        payload = to_bytes(data)
        instrument = self._open_instrument()
        if not instrument.plugged_in:
            raise serial.SerialException(errno.EIO, "write failed: [Errno 5] Input/output error")
        self._pump()
        if not instrument.reading:
            self._wait_until_reading(instrument)
        if instrument.answers_at(self.baudrate):
            instrument.receive(payload, self._clock())
        else:
            logger.debug("%s: %d byte(s) at %s baud, which %s does not understand",
                         self._port, len(payload), self.baudrate, instrument.model)
        return len(payload)

    def _wait_until_reading(self, instrument: SimulatedInstrument) -> None:
        # The instrument's input is full: the write blocks, as pyserial's does.
        wait = self.write_timeout if self.realtime_reads or self.write_timeout is None else 0.0
        deadline = None if wait is None else time.monotonic() + wait
        while not instrument.reading:
            if deadline is not None and time.monotonic() >= deadline:
                raise serial.SerialTimeoutException("Write timeout")
            time.sleep(0.001)
            self._live_instrument()

    def read(self, size: int = 1) -> bytes:
        """Return up to ``size`` received bytes; ``b""`` when nothing came (a timeout)."""
        instrument = self._open_instrument()
        if not instrument.plugged_in:
            raise serial.SerialException(
                "device reports readiness to read but returned no data "
                "(device disconnected or multiple access on port?)"
            )
        self._pump()
        if len(self._rx) < size and self.split_reads:
            self._take(self._line(b""))  # a read waiting for its timeout gets the rest
        if self.realtime_reads and self.timeout and len(self._rx) < size:
            deadline = time.monotonic() + self.timeout
            while len(self._rx) < size and time.monotonic() < deadline:
                time.sleep(0.001)
                self._pump()
        data = bytes(self._rx[:size])
        del self._rx[:size]
        return data

    def reset_input_buffer(self) -> None:
        """Discard every received byte not yet read."""
        self._pump()
        self._rx.clear()
        self._line.held = b""

    def reset_output_buffer(self) -> None:
        """Nothing is ever left unsent; kept for interface compatibility."""
        self._live_instrument()

    def flush(self) -> None:
        """Writes complete at once; kept for interface compatibility."""
        self._live_instrument()

    # pyserial 2 spelling, still used by some code.
    def inWaiting(self) -> int:  # noqa: N802
        return self.in_waiting

    def flushInput(self) -> None:  # noqa: N802
        self.reset_input_buffer()


class SimulatedPorts(Mapping[str, SimulatedInstrument]):
    """The ports installed by one :func:`simulated_ports` block.

    A read-only mapping from port name to instrument, plus the ``clock``
    the ports stream by.
    """

    def __init__(self, instruments: Dict[str, SimulatedInstrument], clock: Clock) -> None:
        self._instruments = dict(instruments)
        self.clock = clock

    def __getitem__(self, port: str) -> SimulatedInstrument:
        return self._instruments[port]

    def __iter__(self) -> Iterator[str]:
        return iter(self._instruments)

    def __len__(self) -> int:
        return len(self._instruments)


def _port_info(port: str, instrument: SimulatedInstrument) -> ListPortInfo:
    info = ListPortInfo(port, skip_link_detection=True)
    info.description = f"Vexlo {instrument.model} (simulated)"
    info.manufacturer = "Vexlo (simulated)"
    info.product = instrument.model
    info.serial_number = str(instrument.serial_number)
    info.location = "sim"
    info.hwid = f"SIM VEXLO {instrument.model} SER={instrument.serial_number} LOCATION=sim"
    return info


@contextlib.contextmanager
def simulated_ports(
    instruments: Mapping[str, SimulatedInstrument],
    *,
    clock: Optional[Clock] = None,
    include_system_ports: bool = False,
    split_reads: bool = False,
) -> Iterator[SimulatedPorts]:
    """Put simulated instruments on named serial ports for a ``with`` block.

    Inside the block ``serial.Serial`` is :class:`SimulatedSerial` (bound
    to these ports and ``clock``) and ``serial.tools.list_ports.comports()``
    lists the ports whose instrument is plugged in, with ``device``,
    ``name``, ``description`` ("Vexlo PLX310 (simulated)") and ``hwid``.
    Both are restored on exit, also after an exception. Code that looks up
    ``serial.Serial`` when it opens a port (rather than importing the
    class early) therefore talks to the instruments::

        from vexlo_tools.sim import SimulatedInstrument, simulated_ports

        with simulated_ports({"/dev/ttySIM0": SimulatedInstrument.mvr420()}):
            port = serial.Serial(port="/dev/ttySIM0", baudrate=320000, timeout=1)

    :param instruments: port name -> instrument.
    :param clock: time source for streaming, e.g. a :class:`VirtualClock`;
        ``time.monotonic`` by default.
    :param include_system_ports: also list the machine's real ports and
        open names that are not simulated with the real ``serial.Serial``.
        By default the block is hermetic: only the simulated ports exist.
    :param split_reads: the ports' reads end inside stream packets, at
        every byte in turn (see :class:`SimulatedSerial`).
    :return: a :class:`SimulatedPorts` mapping of the installed ports.

    Blocks can be nested; an inner block adds ports to the outer ones.
    """
    tick: Clock = clock if clock is not None else time.monotonic
    real_serial = serial.Serial
    real_comports = serial.tools.list_ports.comports
    ports = SimulatedPorts(dict(instruments), tick)

    class _InstalledSerial(SimulatedSerial):
        __doc__ = SimulatedSerial.__doc__

        def __new__(cls, port: Optional[str] = None, *args: Any, **kwargs: Any) -> Any:
            if include_system_ports and port is not None and "instrument" not in kwargs:
                with _registry_lock:
                    simulated = port in _registry
                if not simulated:
                    return real_serial(port, *args, **kwargs)
            return super().__new__(cls)

        _split_by_default = split_reads

        @classmethod
        def _default_clock(cls) -> Clock:
            return tick

    _InstalledSerial.__name__ = _InstalledSerial.__qualname__ = "Serial"

    def comports(include_links: bool = False) -> List[ListPortInfo]:
        listed: List[ListPortInfo] = list(real_comports(include_links)) if include_system_ports else []
        with _registry_lock:
            installed = list(_registry.items())
        listed += [_port_info(port, inst) for port, inst in installed if inst.plugged_in]
        return listed

    for instrument in ports.values():
        instrument.bind_clock(tick(), real=clock is None)
    with _registry_lock:
        saved_registry = dict(_registry)
        _registry.update(ports)
    # Patching the modules is the point; their stubs type them as fixed.
    serial.Serial = _InstalledSerial  # type: ignore[misc]
    serial.tools.list_ports.comports = comports  # type: ignore[assignment]
    try:
        yield ports
    finally:
        serial.Serial = real_serial  # type: ignore[misc]
        serial.tools.list_ports.comports = real_comports
        with _registry_lock:
            _registry.clear()
            _registry.update(saved_registry)

"""Finding instruments: every port at once, named ports the system does not list, instruments left streaming.

The module's discovery probes one port after the other and only the ports
``serial.tools.list_ports`` lists. :func:`find_devices` runs that same
discovery on each port alone, one thread per port, so a scan takes as long
as its slowest port, and probes a named port the system does not list (a
pseudo-terminal, a ``/dev/serial/by-id/`` link) the same way, without
touching pyserial's port listing. An instrument left streaming by a
program that ended without switching it off fills every probe's answer
with stream bytes; such a port is switched quiet and probed again.
"""

from __future__ import annotations

import contextlib
import errno
import logging
import os
import stat
import threading
import time
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

import serial
import serial.tools.list_ports

import vexlo_device_communication as vexlo

from . import _lowlevel
from ._lowlevel import PortInUseError
from .models import MODEL_NAMES, model_info

__all__ = ["NoInstrumentError", "PortInUseError", "discover", "drain", "find_devices", "listed_ports",
           "load_auto_teds", "not_found_message", "plain", "port_gone", "quiet_the_line", "teds_bracket",
           "teds_loaded"]

logger = logging.getLogger("vexlo_tools.devices")

#: How long the quick probe waits for the first byte of an answer at each baud rate.
QUICK_PROBE_SECONDS = 0.25
#: How long a port that did not answer is watched for stream bytes.
LISTEN_SECONDS = 0.25
#: When recovering, the line counts as quiet after this long without a byte:
#: the module's default read timeout, so that bytes trailing the stream on a
#: busy machine cannot garble the probe that follows.
RECOVERY_QUIET_SECONDS = 1.0
#: Bytes may keep arriving this long after streaming is switched off before
#: draining gives up (a quiet window is still waited for after it).
DRAIN_SECONDS = 2.0
#: While recovering, the streaming-off setting is sent again this often as long as bytes arrive.
RESEND_SECONDS = 0.5
#: Pause between two looks at a port's input while watching or draining.
POLL_SECONDS = 0.005


def listed_ports() -> List[str]:
    """The serial ports the system lists (pyserial's listing), in its order: what a scan of every port probes."""
    return [str(port.device) for port in serial.tools.list_ports.comports()]


def _named_port(name: str, listed: Sequence[str]) -> str:
    """``name`` if the system lists it, else after checking it is a character device.

    :raises vexlo.VexloConnectionError: no such path, or a path that is no serial device.
    """
    if name in listed:
        return name
    target = os.path.realpath(name)
    try:
        mode = os.stat(target).st_mode
    except OSError as error:
        raise vexlo.VexloConnectionError(
            f"Could not open serial port {name} at any baud rate: no such port") from error
    if not stat.S_ISCHR(mode):
        kind = "a directory" if stat.S_ISDIR(mode) else "a regular file" if stat.S_ISREG(mode) else "not a device"
        raise vexlo.VexloConnectionError(
            f"Could not open serial port {name} at any baud rate: {target} is {kind}, not a serial device")
    return name


def _unique(items: Iterable[Any]) -> List[Any]:
    return list(dict.fromkeys(items))


def _bauds(model_names: Iterable[str]) -> List[int]:
    """The baud rates of ``model_names``, in the order the module's discovery tries them."""
    return _unique(b for name in model_names for b in model_info(name).baud_rates)


def find_devices(ports: Optional[Sequence[str]] = None, models: Optional[Sequence[str]] = None, *,
                 recover: bool = True) -> List[vexlo.VexloDevice]:
    """Find instruments on every port at once.

    Each port is probed by the module's own discovery, on a thread of its
    own, so the scan takes as long as the slowest port. A port is held
    exclusively (an advisory lock, as pyserial's ``exclusive=True`` takes)
    from its probe until the device found on it is closed: another
    program, or another scan, gets "port in use" and does not probe it.

    :param ports: the ports to probe (paths; links are followed). Default:
        every port the system lists. A named port need not be listed, but
        it must be a character device.
    :param models: probe only at the baud rates of these models (any case).
    :param recover: when a port gives no answer while bytes keep arriving
        (an instrument left streaming), switch streaming off at the port's
        candidate baud rates, wait until the line is quiet and probe again.
        Instruments found streaming are also switched quiet.
    :return: one open device per instrument found, in port order: the
        listed ports in the order of the listing, then unlisted named ports.
    :raises PortInUseError: a named port is held by another program, another
        scan or an acquisition (a scan of every port passes over such ports,
        with a warning), and is not probed.
    :raises vexlo.VexloConnectionError: a named port does not exist or is no serial device.
    :raises ValueError: an unknown model name.
    :raises TypeError: ``ports`` or ``models`` given as a single string.
    """
    for given, what in ((ports, "ports"), (models, "models")):
        if isinstance(given, (str, bytes)):
            raise TypeError(f"{what} must be a list of names, not {type(given).__name__}")
    model_names = _unique(model_info(m).name for m in models) if models else list(MODEL_NAMES)
    listed = listed_ports()
    if ports is None:
        targets = listed
    else:
        named = _unique(_named_port(str(p), listed) for p in ports)
        # Listed ports in the listing's order (as the module's discovery goes), then the others as named.
        targets = [p for p in listed if p in named] + [p for p in named if p not in listed]
    if not targets:
        return []
    results: List[List[vexlo.VexloDevice]] = [[] for _ in targets]
    errors: List[Optional[BaseException]] = [None] * len(targets)
    cancelled = threading.Event()

    def probe(index: int, port: str) -> None:
        try:
            found = _probe_port(port, model_names, recover, listed)
        except BaseException as error:  # handed to the caller's thread
            errors[index] = error
            return
        if cancelled.is_set():
            for device in found:
                device.disconnect()
            return
        results[index] = found

    threads = [threading.Thread(target=probe, args=(i, port), name=f"vexlo probe {port}", daemon=True)
               for i, port in enumerate(targets)]
    for thread in threads:
        thread.start()
    try:
        for thread in threads:
            thread.join()
    except BaseException:
        # Ctrl-C: probes still running close what they find.
        cancelled.set()
        for found in results:
            for device in found:
                device.disconnect()
        raise
    if ports is None:
        # A scan of every port passes over the ports others hold; a port named is asked for.
        for index, error in enumerate(errors):
            if isinstance(error, PortInUseError):
                logger.warning("%s", error)
                errors[index] = None
    failure = next((e for e in errors if e is not None), None)
    if failure is not None:
        for found in results:
            for device in found:
                device.disconnect()
        raise failure
    return [device for found in results for device in found]


def _probe_port(port: str, model_names: List[str], recover: bool,
                listed: Sequence[str]) -> List[vexlo.VexloDevice]:
    """The instruments on ``port``, probed while it is held exclusively, and held by their connections after.

    :raises PortInUseError: another program or scan holds the port.
    """
    with _lowlevel.probing(port):
        devices = _probe_held_port(port, model_names, recover, listed)
    try:
        for device in devices:
            _lowlevel.hold(port, _lowlevel.connection_of(device))
    except BaseException:
        for device in devices:
            device.disconnect()
        raise
    return devices


def _quick_probe(port: str, model_names: List[str]) -> List[str]:
    """The models worth the module's full discovery on ``port``, from one
    identity query per candidate baud rate: those of the first baud rate at
    which a whole answer came back; all of them when other bytes came (an
    instrument left streaming, for the module's discovery and recovery);
    none for a port silent at every baud rate.

    The module's discovery spends seconds of time-outs on every baud rate
    that gets no answer; an instrument answers this query within milliseconds.
    """
    query, length = _lowlevel.model_query()
    for baud in _bauds(model_names):
        try:
            connection = serial.Serial(port=port, baudrate=baud, timeout=QUICK_PROBE_SECONDS, write_timeout=1.0)
        except (serial.SerialException, OSError) as error:
            logger.debug("%s at %d baud: cannot open for the quick probe: %s", port, baud, error)
            return model_names  # the module's discovery says why
        try:
            connection.reset_input_buffer()
            connection.write(query)
            answer = bytes(connection.read(length))
        except (serial.SerialException, OSError) as error:
            logger.debug("%s at %d baud: quick probe: %s", port, baud, error)
            return model_names
        finally:
            connection.close()
        if not answer:
            continue
        if _lowlevel.is_model_answer(answer, length):
            return [name for name in model_names if baud in model_info(name).baud_rates]
        logger.debug("%s at %d baud: bytes that answer nothing; full discovery", port, baud)
        return model_names
    logger.debug("%s: silent at every candidate baud rate", port)
    return []


def _probe_held_port(port: str, model_names: List[str], recover: bool,
                     listed: Sequence[str]) -> List[vexlo.VexloDevice]:
    model_names = _quick_probe(port, model_names)
    if not model_names:
        return []
    models = None if list(model_names) == list(MODEL_NAMES) else model_names
    devices = _lowlevel.discover(port, models, _bauds(model_names), listed)
    if not recover:
        return devices
    if devices:
        for device in devices:
            connection = _lowlevel.connection_of(device)
            if connection is not None and connection.in_waiting:
                logger.info("%s: the instrument is streaming; switching it off", port)
                quiet_the_line(connection)
        return devices
    bauds = _bauds(model_names)
    heard = [baud for baud in bauds if _recover_at(port, baud)]
    if not heard:
        return []
    again = [name for name in model_names if set(model_info(name).baud_rates) & set(heard)]
    logger.info("%s: probing again after switching streaming off", port)
    return _lowlevel.discover(port, again, _bauds(again), listed)


def _recover_at(port: str, baud: int) -> bool:
    """Whether bytes arrived on ``port`` at ``baud``; if so streaming was switched off and the line drained."""
    try:
        connection = serial.Serial(port=port, baudrate=baud, timeout=0, write_timeout=1.0)
    except (serial.SerialException, OSError) as error:
        logger.debug("%s at %d baud: cannot open to listen: %s", port, baud, error)
        return False
    try:
        deadline = time.monotonic() + LISTEN_SECONDS
        while not connection.in_waiting:
            if time.monotonic() >= deadline:
                return False
            time.sleep(POLL_SECONDS)
        logger.info("%s at %d baud: bytes arriving without a request; switching streaming off", port, baud)
        quiet_the_line(connection)
        return True
    except (serial.SerialException, OSError) as error:
        logger.debug("%s at %d baud: %s", port, baud, error)
        return False
    finally:
        connection.close()


def quiet_the_line(connection: Any, quiet: float = RECOVERY_QUIET_SECONDS) -> int:
    """Send the streaming-off setting and read until the line is quiet.

    The setting is sent again every :data:`RESEND_SECONDS` while bytes keep
    coming (the instrument's answers are among the bytes read).

    :param connection: an open serial port (``serial.Serial`` or alike).
    :param quiet: seconds without a byte that make the line quiet.
    :return: the number of bytes read and dropped.
    """
    frame = _lowlevel.stream_off_frame()
    connection.write(frame)
    received, _ = drain(lambda: connection.read(connection.in_waiting), quiet,
                        resend=lambda: connection.write(frame))
    return len(received)


def drain(read: Callable[[], bytes], quiet: float, *,
          resend: Optional[Callable[[], object]] = None) -> Tuple[bytes, bool]:
    """Read a line that is falling quiet until it has been silent for ``quiet`` seconds.

    Gives up once bytes have kept coming for :data:`DRAIN_SECONDS` and a
    quiet window after them. Waits through ``time.sleep`` and measures with
    ``time.monotonic``, both looked up when used, so tests can patch them.

    :param read: returns what the line holds now, without waiting
        (``device.get_stream_data``, or a port's ``read(in_waiting)``).
    :param quiet: seconds without a byte that make the line quiet.
    :param resend: called every :data:`RESEND_SECONDS` while bytes keep coming.
    :return: the bytes read, and whether the line fell quiet.
    """
    received = bytearray()
    begin = quiet_since = sent = time.monotonic()
    while True:
        data = read()
        now = time.monotonic()
        if data:
            received += data
            quiet_since = now
        elif now - quiet_since >= quiet:
            return bytes(received), True
        if now - begin >= DRAIN_SECONDS + quiet:
            return bytes(received), False
        if resend is not None and data and now - sent >= RESEND_SECONDS:
            resend()
            sent = now
        if not data:
            time.sleep(POLL_SECONDS)


class _ProbeFailures(logging.Handler):
    """Keeps, per port, the last failure text that discovery logged for it, and every record for later."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.by_port: Dict[str, str] = {}
        self.records: List[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        message = record.getMessage()
        if record.name == logger.name:
            # A port a scan of every port passed over: held by another program.
            if message.startswith("port ") and " in use " in message:
                self.by_port[message.split(" ", 2)[1]] = message
            return
        self.records.append(record)
        failure = _lowlevel.probe_failure(message)
        if failure is not None:
            port, text = failure
            self.by_port[port] = text


def discover(models: Optional[Sequence[str]] = None,
             ports: Optional[Sequence[str]] = None) -> Tuple[List[vexlo.VexloDevice], Dict[str, str]]:
    """Find instruments (every port at once); return the devices and, per port, why its last probe failed.

    The module's records of the probes (silent baud rates, retries) are
    held back meanwhile: a discovery that finds something passes them on
    at debug level, one that finds nothing as they were.
    """
    failures = _ProbeFailures()
    module_logger = vexlo.logger
    level, handlers, propagate = module_logger.level, list(module_logger.handlers), module_logger.propagate
    module_logger.handlers[:] = [failures]
    module_logger.propagate = False
    module_logger.setLevel(logging.DEBUG)
    logger.addHandler(failures)
    devices_level = logger.level
    logger.setLevel(logging.WARNING)
    devices: List[vexlo.VexloDevice] = []
    try:
        devices = find_devices(ports or None, models or None)
    except PortInUseError:
        raise
    except vexlo.VexloConnectionError as error:
        # A named port that is no serial device: said per port, like a failed probe.
        refused = {port: str(error) for port in ports or () if f"serial port {port} at " in str(error)}
        if not refused:
            raise
        return [], refused
    finally:
        logger.removeHandler(failures)
        logger.setLevel(devices_level)
        module_logger.handlers[:] = handlers
        module_logger.propagate = propagate
        module_logger.setLevel(level)
        for record in failures.records:
            if devices and record.levelno > logging.DEBUG:
                record.levelno, record.levelname = logging.DEBUG, "DEBUG"
            if module_logger.isEnabledFor(record.levelno):
                module_logger.handle(record)
    return devices, failures.by_port


def not_found_message(ports: Optional[Sequence[str]], failures: Dict[str, str]) -> str:
    """Where discovery looked and, per named port, why it found nothing there."""
    listed = listed_ports()
    if not ports:
        where = f"on the ports this system lists ({', '.join(listed)})" if listed else "(this system lists no ports)"
        in_use = "".join(f"; {text}" for text in failures.values() if " in use " in text)
        return (f"no instruments found {where}{in_use}; a port it does not list (a simulator's, a link) "
                "must be named with --port")
    reasons = []
    for port in ports:
        if port not in listed and not os.path.exists(port):
            reasons.append(f"{port}: no such port")
        elif port in failures:
            reasons.append(f"{port}: {failures[port]}")
        else:
            reasons.append(f"{port}: no answer")
    return "no instrument found on " + "; ".join(reasons)


class NoInstrumentError(vexlo.VexloConnectionError):
    """No instrument was found; the message says where discovery looked and, per named port, why."""


def _warn(text: str) -> None:
    logger.warning("%s", text)


@contextlib.contextmanager
def teds_bracket(device: vexlo.VexloDevice, note: Callable[[str], None] = _warn) -> Iterator[None]:
    """Run TEDS work in the device's bracket: at the lowest sampling rate, then a settling pause and the rate back.

    The rate goes back whatever happens inside; after Ctrl-C, in the work
    or in the pause, at once. A rate that cannot be put back is raised
    after work that went well, and told ``note`` after work that failed
    (whose error goes on).
    """
    device.pre_teds_operations()
    try:
        yield
    except BaseException as error:
        _end_teds(device, pause=not isinstance(error, KeyboardInterrupt), note=note)
        raise
    _end_teds(device, pause=True, note=None)


def _end_teds(device: vexlo.VexloDevice, *, pause: bool, note: Optional[Callable[[str], None]]) -> None:
    try:
        if not pause:
            _lowlevel.put_teds_rate_back(device)
            return
        try:
            device.post_teds_operations()
        except KeyboardInterrupt:
            # The device's end pauses first and was cut short: the rate still goes back.
            _lowlevel.put_teds_rate_back(device)
            raise
    except vexlo.VexloDeviceError as error:
        if note is None:
            raise
        note(f"vexlo: could not restore the sampling rate: {error}")


def load_auto_teds(device: vexlo.VexloDevice, note: Callable[[str], None] = _warn) -> bool:
    """When the instrument's AutoTEDS switch is on, load the sensor's TEDS calibration (in :func:`teds_bracket`).

    Returns whether TEDS data is now loaded. A device without TEDS is left alone.
    """
    if not device.supports_teds() or not device.get_auto_teds():
        return False
    with teds_bracket(device, note):
        device.initialize_teds()
    return teds_loaded(device)


def teds_loaded(device: vexlo.VexloDevice) -> bool:
    """Whether the device holds TEDS data (asks nothing of the instrument)."""
    try:
        device.get_teds_serial_number()
    except vexlo.VexloTEDSError:
        return False
    return True


# A port that is gone (unplugged, its simulator or driver ended) fails with these system errors, or with
# pyserial's words for a read that finds the line hung up.
_GONE_ERRNOS = {errno.EIO, errno.ENXIO, errno.ENODEV}
_GONE_WORDS = ("returned no data", "Input/output error")


def port_gone(error: BaseException) -> Optional[str]:
    """The system's words when ``error``, an exchange with an instrument or an error it came from, says
    that the port is gone; else ``None`` (a failing disk's ``EIO`` is no port's)."""
    chain: List[BaseException] = []
    current: Optional[BaseException] = error
    while current is not None and current not in chain:
        chain.append(current)
        current = current.__cause__ or current.__context__
    if not any(isinstance(cause, (vexlo.VexloDeviceError, serial.SerialException)) for cause in chain):
        return None
    for cause in chain:
        # OSError, and termios.error, which carries (errno, text) without being an OSError.
        number = getattr(cause, "errno", None)
        if number is None and len(cause.args) == 2 and isinstance(cause.args[0], int):
            number = cause.args[0]
        if number in _GONE_ERRNOS:
            return os.strerror(number)
    for cause in chain:
        if not isinstance(cause, vexlo.VexloDeviceError) and any(words in str(cause) for words in _GONE_WORDS):
            return " ".join(str(cause).split())
    return None


def plain(error: BaseException) -> str:
    """The text of ``error`` for a person: the module's words around the system's error for a vanished
    port (``Unexpected communication error: (5, 'Input/output error')``) become what happened."""
    why = port_gone(error)
    text = str(error)
    if why is None:
        return text
    said = f"the port is gone ({why}); was the instrument unplugged, or its simulator ended?"
    # The first of the module's own errors in the chain holds the system's words.
    current: Optional[BaseException] = error
    while current is not None and not (isinstance(current, vexlo.VexloDeviceError)
                                       and not isinstance(current.__cause__, vexlo.VexloDeviceError)):
        current = current.__cause__
    if current is not None and str(current) and str(current) in text:
        return text.replace(str(current), said)
    return f"{text}: {said}"

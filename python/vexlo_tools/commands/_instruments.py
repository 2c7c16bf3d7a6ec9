"""The instruments a command works on: found on the ports the options name, opened, closed, described.

A command that finds nothing says, per port, why: the module's discovery
logs why a probe failed and raises nothing, so its records are held back
while it runs and read afterwards.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import logging
import os
from typing import Dict, Iterator, List, Optional, Sequence, Tuple

import serial

import vexlo_device_communication as vexlo

from .. import _lowlevel
from ..acquisition import port_of
from ..devices import PortInUseError, find_devices, listed_ports
from ..devices import logger as devices_logger
from ._console import CliError, note


class _ProbeFailures(logging.Handler):
    """Keeps, per port, the last failure text that discovery logged for it, and every record for later."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.by_port: Dict[str, str] = {}
        self.records: List[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        message = record.getMessage()
        if record.name == devices_logger.name:
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
    logger = vexlo.logger
    level, handlers, propagate = logger.level, list(logger.handlers), logger.propagate
    logger.handlers[:] = [failures]
    logger.propagate = False
    logger.setLevel(logging.DEBUG)
    devices_logger.addHandler(failures)
    devices_level = devices_logger.level
    devices_logger.setLevel(logging.WARNING)
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
        devices_logger.removeHandler(failures)
        devices_logger.setLevel(devices_level)
        logger.handlers[:] = handlers
        logger.propagate = propagate
        logger.setLevel(level)
        for record in failures.records:
            if devices and record.levelno > logging.DEBUG:
                record.levelno, record.levelname = logging.DEBUG, "DEBUG"
            if logger.isEnabledFor(record.levelno):
                logger.handle(record)
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


def port_list(args: argparse.Namespace) -> Optional[List[str]]:
    """The ports ``--port`` names (given once or repeated), or ``None`` for every port."""
    port = getattr(args, "port", None)
    if not port:
        return None
    return [port] if isinstance(port, str) else list(port)


@contextlib.contextmanager
def one_device(args: argparse.Namespace) -> Iterator[vexlo.VexloDevice]:
    """The instrument a command works on: the first found on the ``--port`` ports, else on any.

    Every other device found is closed at once; the chosen one is closed
    when the block ends, also on error or Ctrl-C. The module's errors from
    within the block name the instrument.
    """
    with devices_found(args, first_only=True) as (device,):
        name = f"{device.get_model_number()} {device.get_instrument_serial_number()} on {port_of(device)}"
        try:
            yield device
        except vexlo.VexloDeviceError as error:
            if str(error).startswith(name):
                raise
            raise type(error)(f"{name}: {error}") from error


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


@contextlib.contextmanager
def devices_found(args: argparse.Namespace, *, first_only: bool = False) -> Iterator[List[vexlo.VexloDevice]]:
    """The open instruments on the ``--port`` ports (or every port), closed when the block ends.

    :param first_only: keep the first instrument found and close the others.
    :raises CliError: nothing found (the message says where it looked).
    """
    ports = port_list(args)
    devices, failures = discover(getattr(args, "model", None), ports)
    if not devices:
        raise CliError(not_found_message(ports, failures))
    if first_only and len(devices) > 1:
        for other in devices[1:]:
            other.disconnect()
        note(f"using the instrument on {port_of(devices[0])}; also found on "
             + ", ".join(port_of(o) for o in devices[1:]) + " (choose one with --port)")
        devices = devices[:1]
    with contextlib.ExitStack() as stack:
        for device in devices:
            stack.enter_context(device)
        yield devices


def baud_of(device: vexlo.VexloDevice) -> str:
    return str(getattr(device.communication_interface, "baud_rate", "?"))


def item_number(device: vexlo.VexloDevice) -> str:
    return device.communication_interface.get_item_number()


def firmware_version(device: vexlo.VexloDevice) -> str:
    return device.communication_interface.get_firmware_version_with_patch()

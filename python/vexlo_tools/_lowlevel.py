"""The toolkit's one door below the module's public API, each use with the reason it is needed.

- Ports held exclusively. The module opens its ports without a lock, so
  two programs (or two scans in one) could talk over each other on one
  port. While a port is probed the toolkit holds an advisory ``flock`` on
  it through a descriptor of its own (the module opens the port itself,
  at several baud rates, inside its discovery); once an instrument is
  found, the lock moves to the connection the device keeps, through
  pyserial's ``exclusive`` setting (the same ``flock``, released when the
  port closes). Within one program the lock works as between two (each
  open port has its own lock); in-process simulated ports have no file
  to lock.
- A streaming port guarded. While an acquisition streams, a query's answer
  would be read from among stream bytes, and the query's clearing of the
  input would take samples from the reader; the device's connection is
  replaced by a guard that refuses writes and clearing with an error
  naming the instrument (reads go through for the reader).
"""

from __future__ import annotations

import contextlib
import errno
import os
from typing import Any, Iterator, Optional

import serial

import vexlo_device_communication as vexlo

try:
    import fcntl
except ImportError:  # pragma: no cover - not on Windows
    fcntl = None  # type: ignore[assignment]

__all__ = ["PortInUseError", "StreamingError", "StreamingGuard", "guard_streaming", "hold", "probing", "unguard"]


class PortInUseError(vexlo.VexloConnectionError):
    """A port another program or another scan holds, or a device another acquisition owns.

    Also published as ``vexlo_tools.devices.PortInUseError``.
    """


class StreamingError(vexlo.VexloCommunicationError):
    """A query sent to an instrument while an acquisition streams from it."""


def _in_use(port: str) -> PortInUseError:
    return PortInUseError(f"port {port} in use by another program (or another scan or recording); "
                          "it was not probed")


@contextlib.contextmanager
def probing(port: str) -> Iterator[None]:
    """Hold ``port`` exclusively while it is probed.

    :raises PortInUseError: another holds it (another program, or a device
        of this one, which locks through its own descriptor).
    """
    descriptor = _lock(port)
    try:
        yield
    finally:
        if descriptor is not None:
            os.close(descriptor)


def _lock(port: str) -> Optional[int]:
    """An open descriptor of ``port`` holding its ``flock``; ``None`` for a port with no device file."""
    if fcntl is None:
        return None
    try:
        descriptor = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError:
        return None  # not a file (a simulated port), or not openable: the probe says why
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as error:
        os.close(descriptor)
        if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
            raise _in_use(port) from error
        raise
    return descriptor


def hold(port: str, connection: Any) -> None:
    """Lock ``port`` through ``connection`` (pyserial's ``exclusive``) until it closes.

    Called once the probe's own lock is let go.

    :raises PortInUseError: another program took the port in between.
    """
    if connection is None:
        return
    try:
        connection.exclusive = True
    except (serial.SerialException, OSError) as error:
        raise _in_use(port) from error


class StreamingGuard:
    """A device's connection while an acquisition streams from it: reads pass, writes are refused."""

    def __init__(self, connection: Any, name: str) -> None:
        self.__dict__["connection"] = connection
        self.__dict__["name"] = name

    def __getattr__(self, attribute: str) -> Any:
        return getattr(self.__dict__["connection"], attribute)

    def __setattr__(self, attribute: str, value: Any) -> None:
        setattr(self.__dict__["connection"], attribute, value)

    def _refuse(self, *args: Any, **kwargs: Any) -> Any:
        raise StreamingError(f"{self.__dict__['name']} is streaming for an acquisition; "
                             "stop the acquisition before sending the instrument anything")

    write = _refuse
    reset_input_buffer = _refuse


def guard_streaming(interface: Any, name: str) -> None:
    """Put the guard in place of ``interface``'s connection."""
    connection = interface.serial_connection
    if connection is not None and not isinstance(connection, StreamingGuard):
        interface.serial_connection = StreamingGuard(connection, name)


def unguard(interface: Any) -> None:
    """Give ``interface`` its own connection back."""
    connection = interface.serial_connection
    if isinstance(connection, StreamingGuard):
        interface.serial_connection = connection.__dict__["connection"]

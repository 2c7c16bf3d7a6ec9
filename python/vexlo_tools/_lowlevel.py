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
- Named ports the system does not list. The module's discovery probes only
  the ports ``serial.tools.list_ports`` lists, so a pseudo-terminal or a
  ``/dev/serial/by-id/`` link named by the caller would never be probed.
  :func:`discover` runs the module's discovery for a listed port and, for
  an unlisted one, the same probe with the module's own link class and
  device creation token, logging what the module logs; nothing
  process-wide (such as pyserial's port listing) is replaced.
- Frames built and read by hand. The quick probe asks each candidate baud
  rate for the model once with a short timeout (the module's exchange
  retries for seconds), and checks the answer's checksum itself (the
  module's validation logs a mismatch as an error). Streaming is switched
  off by writing the setting directly, as the module's exchange clears
  the input first and would lose the packets still due; its answer is
  then found among the stream bytes (after a two-byte header, ended by a
  checksum byte) and cut out.
- The pyserial object's settings. The input is cleared before streaming
  starts, so that stale bytes do not pass for samples; a write timeout is
  set while streaming, so that a stalled link cannot hang the switch-off;
  the read timeout tells how long the module waits for an answer, which
  is how long a line must stay silent to count as quiet.
- The port's file descriptor. An acquisition's reader waits on the port
  itself and reads it with one system call, the GIL released, where the
  module's read would cost three system calls and Python objects per read;
  only a real pyserial port (not a subclass or a simulated port, whose
  reads are their own) has one to wait on.
- The module's log text. Discovery logs why a probe failed and raises
  nothing; a command that found no instrument tells, per port, why, and
  :func:`probe_failure` reads that from the module's record.
- The device's TEDS record. A recording's provenance keeps the sensor
  record the device loaded, which the device reads but does not publish.
- The rate the TEDS bracket saved. The device's own end of the bracket
  always pauses before it puts the rate back; after Ctrl-C a command puts
  back at once the rate the device's start of the bracket saved.
"""

from __future__ import annotations

import contextlib
import errno
import os
from typing import Any, Iterator, List, Optional, Sequence, Tuple

import serial

import vexlo_device_communication as vexlo

try:
    import fcntl
except ImportError:  # pragma: no cover - not on Windows
    fcntl = None  # type: ignore[assignment]

__all__ = ["PortInUseError", "StreamingError", "StreamingGuard", "clear_input", "connection_of",
           "cut_stream_off_answer", "discover", "guard_streaming", "hold", "is_model_answer", "model_query",
           "port_descriptor", "probe_failure", "probing", "put_teds_rate_back", "read_timeout", "set_write_timeout",
           "stream_off_frame", "teds_record", "unguard", "write_stream_off"]


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


def discover(port: str, models: Optional[List[str]], bauds: Sequence[int],
             listed: Sequence[str]) -> List[vexlo.VexloDevice]:
    """The module's discovery on ``port`` alone, whether or not the system lists it.

    :param models: the model names asked for (``None`` for all), as the module's discovery takes them.
    :param bauds: the baud rates that discovery tries for ``models``, in its order.
    :param listed: the ports the system lists.
    """
    if port in listed:
        return list(vexlo.VexloSerialScanner.discover_devices(device_models=models, comports=[port]))
    log = vexlo.logger
    log.info(f"Starting device discovery (models: {models if models else 'all'}, ports: {[port]})")
    log.debug(f"Scanning {port}")
    for baud in bauds:
        interface = None
        try:
            interface = vexlo._SerialCommunicationInterface(port, baud)
            interface.connect()
            model = interface.get_model_number()
            if not model:
                log.debug(f"{port} at {baud} baud: no response")
                interface.disconnect()
                continue
            log.info(f"Found {model} on {port} at {baud} baud )")
            device = vexlo.VexloDevice(interface, _internal_token=vexlo._DEVICE_CREATION_TOKEN)
            log.info("Discovery complete: found 1 device(s)")
            return [device]
        except (vexlo.VexloCommunicationError, vexlo.VexloConnectionError) as error:
            log.debug(f"{port} at {baud} baud: communication error - {error}")
        except Exception as error:
            log.warning(f"Unexpected error scanning {port} at {baud} baud: {error}")
        if interface is not None:
            try:
                interface.disconnect()
            except Exception:
                pass
    log.info("Discovery complete: found 0 device(s)")
    return []


def connection_of(device: Any) -> Any:
    """The pyserial object behind ``device``; ``None`` when it is closed."""
    return device.communication_interface.serial_connection


def port_descriptor(device: Any) -> Optional[int]:
    """The file descriptor of ``device``'s port, to wait on and read directly; ``None`` when it has none.

    Only an open port of pyserial's own class on a POSIX system has one:
    simulated ports and other doubles are read through the module.
    """
    connection = connection_of(device)
    if isinstance(connection, StreamingGuard):
        connection = connection.__dict__["connection"]
    if os.name != "posix" or type(connection) is not serial.Serial or not connection.is_open:
        return None
    descriptor = getattr(connection, "fd", None)
    return descriptor if isinstance(descriptor, int) and descriptor >= 0 else None


def clear_input(device: Any) -> None:
    """Drop the bytes waiting on ``device``'s port."""
    connection = connection_of(device)
    if connection is not None:
        connection.reset_input_buffer()


def set_write_timeout(device: Any, seconds: Optional[float]) -> Optional[float]:
    """Set the write timeout of ``device``'s port; return the one it had."""
    connection = connection_of(device)
    before: Optional[float] = getattr(connection, "write_timeout", None)
    if connection is not None:
        connection.write_timeout = seconds
    return before


def read_timeout(device: Any) -> Optional[float]:
    """The read timeout of ``device``'s port (``None``: it waits for ever, or the port is closed)."""
    timeout: Optional[float] = getattr(connection_of(device), "timeout", None)
    return timeout


def teds_record(device: Any) -> Optional[vexlo.TEDSData]:
    """The TEDS record ``device`` loaded, if any."""
    record: Optional[vexlo.TEDSData] = device._teds_data
    return record


def put_teds_rate_back(device: Any) -> None:
    """Put back the rate ``device.pre_teds_operations()`` saved, without the pause of ``post_teds_operations``.

    Nothing happens when no rate is saved (the bracket ended already).
    """
    code: Optional[int] = device._cached_sampling_rate_for_teds
    if code is not None:
        device.set_sampling_rate_value(code, 0)
        device._cached_sampling_rate_for_teds = None


def stream_off_frame() -> bytes:
    """The streaming-off setting, as written to the line."""
    commands = vexlo._CommandOperations()
    return bytes(commands.get_command_byte_array(commands.Set_Streaming_State_Command, bytearray([0])))


def model_query() -> Tuple[bytes, int]:
    """The model-number query, and the length of its answer."""
    commands = vexlo._CommandOperations()
    command = commands.Get_Model_Number_Command
    return bytes(commands.get_command_byte_array(command)), int(command.receive_length)


def is_model_answer(frame: bytes, length: int) -> bool:
    """Whether ``frame`` is a whole answer to :func:`model_query`."""
    # An identity is text, and the frame's checksum holds: stream bytes seldom pass both.
    return (len(frame) == length and all(byte < 0x80 for byte in frame[4:-1])
            and vexlo._CommandOperations().calculate_checksum(frame[:-1]) == frame[-1])


def write_stream_off(device: Any) -> bool:
    """Write the streaming-off setting to ``device``'s port without clearing its input; ``False`` if it is closed."""
    connection = connection_of(device)
    if connection is None:
        return False
    connection.write(stream_off_frame())
    return True


def cut_stream_off_answer(received: bytes) -> Optional[bytes]:
    """``received`` without the last valid answer to the streaming-off setting; ``None`` if there is none."""
    commands = vexlo._CommandOperations()
    command = commands.Set_Streaming_State_Command
    size = command.receive_length
    marker = bytes([command.command_high_byte, command.command_low_byte])
    # The command bytes follow a two-byte header; stream bytes may match them by chance.
    end = len(received) - size + 4
    while end >= 4:
        at = received.rfind(marker, 2, end)
        if at < 0:
            return None
        frame = received[at - 2:at - 2 + size]
        if frame[-1] == commands.calculate_checksum(frame[:-1]):
            return received[:at - 2] + received[at - 2 + size:]
        end = at + 1
    return None


def probe_failure(message: str) -> Optional[Tuple[str, str]]:
    """The port and the reason in a probe failure the module's discovery logged; ``None`` for any other message."""
    if " baud: communication error - " in message:
        head, text = message.split(" baud: communication error - ", 1)
    elif message.startswith("Unexpected error scanning ") and " baud: " in message:
        head, text = message[len("Unexpected error scanning "):].split(" baud: ", 1)
    else:
        return None
    return head.rsplit(" at ", 1)[0], text

"""Wire format of Vexlo instruments, as the simulator speaks it.

Everything here is plain byte arithmetic with no simulator state: the
position-weighted checksum, request and response frames, stream packets,
the command set the instruments understand, and a parser that cuts the
host's byte stream into request frames.

This is deliberately a separate implementation from the one inside
``vexlo_device_communication``: tests that run the extension against the
simulator compare two independent readings of the same protocol.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Iterable, List, Optional, Tuple, Union

__all__ = [
    "COMMANDS",
    "COMMANDS_BY_NAME",
    "CommandInfo",
    "MAX_REQUEST_LENGTH",
    "Rejected",
    "Request",
    "RequestParser",
    "build_request",
    "build_response",
    "checksum",
    "stream_packet",
]


def checksum(data: Iterable[int]) -> int:
    """Position-weighted checksum: ``(1*b0 + 2*b1 + ... + n*b[n-1]) mod 256``.

    Requests and responses both end with this checksum taken over every
    byte before it; an empty sequence gives 0.
    """
    total = 0
    for weight, byte in enumerate(data, start=1):
        total += weight * byte
    return total & 0xFF


@dataclass(frozen=True)
class CommandInfo:
    """One command the instruments understand.

    :param name: the command's name, as used in logs and the request log.
    :param high: first command byte.
    :param low: second command byte.
    :param request_length: length of the request frame, checksum included.
    :param payload_length: payload bytes in the answer (0 for settings,
        whose answer is a bare 5-byte acknowledgement).
    """

    name: str
    high: int
    low: int
    request_length: int
    payload_length: int

    @property
    def response_length(self) -> int:
        """Length of the answer frame: header, payload and checksum."""
        return self.payload_length + 5


_COMMAND_LIST = [
    # Identity and housekeeping.
    CommandInfo("model_number", 0x01, 0x01, 5, 10),
    CommandInfo("item_number", 0x01, 0x02, 5, 10),
    CommandInfo("instrument_serial_number", 0x01, 0x00, 5, 4),
    CommandInfo("firmware_version", 0x01, 0x04, 5, 3),
    CommandInfo("board_temperature", 0x00, 0x07, 5, 4),
    CommandInfo("activity_inquiry", 0x00, 0x01, 5, 0),
    # Readings and streaming.
    CommandInfo("ndr", 0x00, 0x05, 6, 4),
    CommandInfo("set_streaming", 0x00, 0x0C, 6, 0),
    # Per-channel profile selection.
    CommandInfo("selected_profile", 0x01, 0x0A, 6, 1),
    CommandInfo("set_selected_profile", 0x02, 0x0A, 7, 0),
    # Per-profile settings and calibration.
    CommandInfo("sensor_serial_number", 0x03, 0x00, 6, 4),
    CommandInfo("sampling_rate", 0x03, 0x1E, 6, 1),
    CommandInfo("set_sampling_rate", 0x04, 0x1E, 7, 0),
    CommandInfo("unit_of_measure", 0x03, 0x0C, 6, 1),
    CommandInfo("set_unit_of_measure", 0x04, 0x0C, 7, 0),
    CommandInfo("number_of_loading_points", 0x03, 0x17, 6, 1),
    CommandInfo("load_of_loading_point", 0x03, 0x18, 7, 4),
    CommandInfo("set_load_of_loading_point", 0x04, 0x18, 11, 0),
    CommandInfo("loading_point_value", 0x03, 0x19, 7, 4),
    CommandInfo("set_loading_point_value", 0x04, 0x19, 11, 0),
    CommandInfo("number_of_directions", 0x03, 0x0B, 6, 1),
    CommandInfo("set_number_of_directions", 0x04, 0x0B, 7, 0),
    # TEDS sensor and AutoTEDS, old and V1 generations.
    CommandInfo("teds_is_connected", 0x01, 0x20, 5, 1),
    CommandInfo("teds_laser", 0x01, 0x1F, 5, 8),
    CommandInfo("teds_page", 0x01, 0x1E, 6, 32),
    CommandInfo("set_all_teds_data", 0x02, 0x1D, 5, 0),
    CommandInfo("auto_teds", 0x01, 0x21, 5, 1),
    CommandInfo("set_auto_teds", 0x02, 0x21, 6, 0),
    CommandInfo("auto_teds_v1", 0x01, 0x22, 5, 1),
    CommandInfo("set_auto_teds_v1", 0x02, 0x22, 6, 0),
]

#: Every command, keyed by its two command bytes ``(high, low)``.
COMMANDS = {(c.high, c.low): c for c in _COMMAND_LIST}
#: Every command, keyed by its name.
COMMANDS_BY_NAME = {c.name: c for c in _COMMAND_LIST}

#: Longest request frame the parser will wait for; anything claiming more is noise.
MAX_REQUEST_LENGTH = 64


def build_request(high: int, low: int, arguments: Iterable[int] = b"") -> bytes:
    """Build a request frame as a host sends it.

    ``00, length, high, low, arguments..., checksum``, where the length
    counts the whole frame. Handy in tests that talk to a simulated
    instrument byte by byte::

        build_request(0x01, 0x01)        # model number: 00 05 01 01 11
        build_request(0x00, 0x05, [0])   # NDR of channel 0: 00 06 00 05 00 20
    """
    args = bytes(arguments)
    frame = bytes([0x00, len(args) + 5, high, low]) + args
    return frame + bytes([checksum(frame)])


def build_response(high: int, low: int, payload: bytes = b"") -> bytes:
    """Build an answer frame: header ``00, length, high, low``, payload, checksum.

    The host does not interpret the header; echoing the length and the
    command bytes makes captured traffic readable.
    """
    frame = bytes([0x00, len(payload) + 5, high, low]) + bytes(payload)
    return frame + bytes([checksum(frame)])


def stream_packet(raw_count: int, short: bool = False) -> bytes:
    """Encode one stream sample from a 32-bit raw count.

    The 4-byte packet carries the count's upper three bytes, most
    significant first, and the checksum ``(b0 + 2*b1 + 3*b2) mod 256``.
    The 3-byte packet (``short=True``, the PLX310 at its highest rate)
    carries the upper two bytes and ``(b0 + 2*b1) mod 256``.
    """
    if short:
        sample = bytes([(raw_count >> 24) & 0xFF, (raw_count >> 16) & 0xFF])
    else:
        sample = bytes([(raw_count >> 24) & 0xFF, (raw_count >> 16) & 0xFF, (raw_count >> 8) & 0xFF])
    return sample + bytes([checksum(sample)])


@dataclass(frozen=True)
class Request:
    """A well-formed request frame of a known command."""

    command: CommandInfo
    arguments: bytes
    frame: bytes


@dataclass(frozen=True)
class Rejected:
    """Bytes the parser threw away, and why (for the log)."""

    reason: str
    data: bytes


ParsedItem = Union[Request, Rejected]


class RequestParser:
    """Cut a host's byte stream into request frames.

    Bytes may arrive in any chunks. A frame is accepted when it starts
    with 00, its length byte matches the command's request length and its
    checksum is right. Anything else is skipped one byte at a time, so the
    parser finds the next good frame after noise (the way the host's
    stream scanner resynchronises); each run of skipped bytes is reported
    once, with the reason found at its first byte. A well-formed frame of
    an unknown command is reported whole.

    An incomplete frame of a known command is kept until more bytes come;
    if nothing arrives for ``stale_after`` seconds it is discarded, so one
    lost byte cannot swallow the next request.
    """

    def __init__(self, stale_after: float = 0.1) -> None:
        self.stale_after = stale_after
        self._buffer = bytearray()
        self._last_time: Optional[float] = None

    @property
    def pending(self) -> bytes:
        """Bytes of an incomplete frame waiting for the rest."""
        return bytes(self._buffer)

    def reset(self) -> None:
        """Forget any partial frame."""
        self._buffer.clear()

    def expire(self, now: float) -> List[ParsedItem]:
        """Discard a partial frame that has waited longer than ``stale_after``."""
        if self._buffer and self._last_time is not None and now - self._last_time > self.stale_after:
            item = Rejected("incomplete frame timed out", bytes(self._buffer))
            self._buffer.clear()
            return [item]
        return []

    def feed(self, data: bytes, now: float = 0.0) -> List[ParsedItem]:
        """Add received bytes; return the frames and rejected runs found, in order."""
        items = self.expire(now)
        self._buffer += data
        self._last_time = now
        skipped = bytearray()
        skip_reason = ""
        while self._buffer:
            status, detail = self._examine()
            if status == "wait":
                break
            if status == "skip":
                if not skipped:
                    skip_reason = detail
                skipped.append(self._buffer[0])
                del self._buffer[0]
                continue
            if skipped:
                items.append(Rejected(skip_reason, bytes(skipped)))
                skipped.clear()
            length = self._buffer[1]
            frame = bytes(self._buffer[:length])
            del self._buffer[:length]
            if status == "unknown":
                items.append(Rejected(detail, frame))
            else:
                items.append(Request(COMMANDS[(frame[2], frame[3])], frame[4:-1], frame))
        if skipped:
            items.append(Rejected(skip_reason, bytes(skipped)))
        return items

    def _examine(self) -> Tuple[str, str]:
        buf = self._buffer
        if buf[0] != 0x00:
            return "skip", "frame does not start with 00"
        if len(buf) < 2:
            return "wait", ""
        length = buf[1]
        if not 5 <= length <= MAX_REQUEST_LENGTH:
            return "skip", f"implausible frame length {length}"
        if len(buf) < 4:
            return "wait", ""
        key = (buf[2], buf[3])
        info = COMMANDS.get(key)
        complete = len(buf) >= length
        good_sum = complete and checksum(buf[: length - 1]) == buf[length - 1]
        if info is None:
            if good_sum:
                return "unknown", f"unknown command {key[0]:02X} {key[1]:02X}"
            # Not waiting here: garbage with a plausible length must not hold up real frames.
            return "skip", f"unknown command {key[0]:02X} {key[1]:02X}"
        if length != info.request_length:
            return "skip", f"length {length} does not fit {info.name} (needs {info.request_length})"
        if not complete:
            return "wait", ""
        if not good_sum:
            return "skip", f"checksum mismatch in {info.name} request"
        return "frame", ""

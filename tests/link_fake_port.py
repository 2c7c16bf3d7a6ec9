"""A scripted stand-in for serial.Serial, for link tests that need port
behaviour a well-behaved instrument never shows (short writes, port errors)."""

import collections

from reference import frame


def response(payload=b"", header=b"\x00\x00\x00\x00"):
    """A response frame: header, payload and the position-weighted checksum."""
    return frame(bytes(header) + bytes(payload))


def request(hex_body):
    """A request frame from its bytes before the checksum, in hexadecimal."""
    return frame(bytes.fromhex(hex_body))


class ScriptedPort:
    """Answers each write with the next scripted reply.

    A reply is bytes (they arrive in the input buffer) or an exception (raised
    by the write). Without a reply the instrument stays silent.
    """

    def __init__(self, port=None, baudrate=9600, timeout=None):
        self.port = port
        self.baudrate = baudrate
        self.timeout = timeout
        self.is_open = True
        self.frames = []
        self.replies = collections.deque()
        self.pending = bytearray()
        self.written_count = None  # what write reports, when not the frame length
        self.read_error = None
        self.resets = 0

    def answer(self, *replies):
        self.replies.extend(replies)
        return self

    def reset_input_buffer(self):
        self.resets += 1
        self.pending.clear()

    def write(self, data):
        self.frames.append(bytes(data))
        reply = self.replies.popleft() if self.replies else b""
        if isinstance(reply, BaseException):
            raise reply
        self.pending += reply
        return len(data) if self.written_count is None else self.written_count

    def read(self, size=1):
        if self.read_error is not None:
            raise self.read_error
        data = bytes(self.pending[:size])
        del self.pending[:size]
        return data

    @property
    def in_waiting(self):
        return len(self.pending)

    def close(self):
        self.is_open = False

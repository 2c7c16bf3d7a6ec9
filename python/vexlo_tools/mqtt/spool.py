"""Messages on their way to the broker, kept on disk until it acknowledges them, and a few seconds more.

Every data message goes into the spool first and leaves it only once the
broker has acknowledged it (QoS 1), so a broker that is away for a while
costs nothing but disk space. A broker keeps what it acknowledged in memory
until its next save, so an acknowledged message stays :data:`KEEP_SECONDS`
longer, to be sent again after a reconnection (:meth:`Spool.acknowledged`).
The spool is a row of segment files, oldest first; a segment is deleted once
every message in it is gone. The spool is bounded: when a new message would
pass the limit, the acknowledged messages go first, then the oldest segment,
and the samples of its messages not yet sent are counted per topic in
:attr:`Spool.dropped`.

Written to the files as each message comes (no fsync): a publisher process
that dies keeps nothing across its end, the spool lives for one run.
"""

from __future__ import annotations

import collections
import math
import os
import struct
import time
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO, Deque, Dict, List, Optional, Tuple

#: Each record in a segment: topic length, payload length, then both.
_RECORD = struct.Struct("<HI")
#: Segments hold about an eighth of the limit each, within these bounds.
MIN_SEGMENT_BYTES = 64 * 1024
MAX_SEGMENT_BYTES = 8 * 1024 * 1024
#: How long an acknowledged message is kept (while acknowledgements come): beyond a broker's save
#: interval, every 2 to 3 s with Mosquitto's ``autosave_interval 1``.
KEEP_SECONDS = 5.0


@dataclass
class _Entry:
    topic: str
    segment: int
    offset: int
    size: int
    samples: int
    acknowledged: Optional[float] = None  # when, on the monotonic clock


@dataclass
class _Segment:
    number: int
    file: BinaryIO
    size: int = 0
    entries: int = 0


class SpoolFull(OSError):
    """A single message is larger than the whole spool."""


class Spool:
    """A bounded, ordered queue of messages on disk.

    Used by one thread (the publisher's).

    :param directory: where the segment files go (created; emptied by :meth:`close`).
    :param limit_bytes: the most the segment files may take together.
    :param keep_seconds: how long a message is kept after the broker acknowledged it, counted by
        later acknowledgements: while the broker is away the kept messages stay.
    """

    def __init__(self, directory: os.PathLike[str] | str, limit_bytes: int, keep_seconds: float = KEEP_SECONDS) -> None:
        if limit_bytes <= 0:
            raise ValueError("the spool needs a limit of more than 0 bytes")
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        self.limit = limit_bytes
        self.keep_seconds = keep_seconds
        self.segment_bytes = max(MIN_SEGMENT_BYTES, min(MAX_SEGMENT_BYTES, limit_bytes // 8))
        self._entries: Deque[_Entry] = collections.deque()
        self._first = 0  # sequence number of _entries[0]
        self._next = 0  # sequence number of the next message to send
        self._segments: Deque[_Segment] = collections.deque()
        self._numbers = 0
        self.size = 0
        #: Samples dropped unsent from a full spool, per topic.
        self.dropped: Dict[str, int] = collections.defaultdict(int)

    def __len__(self) -> int:
        """Messages not yet acknowledged."""
        return sum(e.acknowledged is None for e in self._entries)

    def append(self, topic: str, payload: bytes, samples: int) -> None:
        """Keep a message, after the others; make room first when it would not fit (the acknowledged go first).

        :raises SpoolFull: the message alone is larger than the limit.
        :raises OSError: the disk refused the write.
        """
        record = _RECORD.pack(len(topic.encode()), len(payload)) + topic.encode() + payload
        if len(record) > self.limit:
            raise SpoolFull(f"a message of {len(record)} bytes does not fit a spool of {self.limit} bytes")
        if self.size + len(record) > self.limit:
            self._release(math.inf)
        while self.size + len(record) > self.limit and self._segments:
            self._drop_oldest()
        if not self._segments or self._segments[-1].size + len(record) > self.segment_bytes:
            self._numbers += 1
            path = self.directory / f"{self._numbers:012d}.spool"
            self._segments.append(_Segment(self._numbers, open(path, "w+b")))
        segment = self._segments[-1]
        segment.file.seek(segment.size)
        segment.file.write(record)
        segment.file.flush()
        self._entries.append(_Entry(topic, segment.number, segment.size, len(record), samples))
        segment.size += len(record)
        segment.entries += 1
        self.size += len(record)

    def take(self, most: int) -> List[Tuple[int, str, bytes]]:
        """Up to ``most`` messages not yet handed out, oldest first, as (sequence number, topic, payload)."""
        taken: List[Tuple[int, str, bytes]] = []
        while len(taken) < most and self._next - self._first < len(self._entries):
            taken.append(self._read(self._next))
            self._next += 1
        return taken

    def acknowledge(self, sequence: int) -> None:
        """The broker has the message ``sequence``: keep it :attr:`keep_seconds` more, then forget it
        (a message dropped meanwhile is ignored)."""
        now = time.monotonic()
        if sequence >= self._first:
            self._entries[sequence - self._first].acknowledged = now
        self._release(now - self.keep_seconds)

    def acknowledged(self) -> List[Tuple[int, str, bytes]]:
        """The acknowledged messages still kept, oldest first, as :meth:`take` gives them."""
        return [self._read(self._first + n) for n, entry in enumerate(self._entries) if entry.acknowledged is not None]

    def unsent(self) -> int:
        """Messages not yet handed out by :meth:`take`."""
        return len(self._entries) - (self._next - self._first)

    def close(self) -> None:
        """Delete the segment files, whatever they hold."""
        while self._segments:
            self._delete(self._segments.popleft())

    def _segment(self, number: int) -> _Segment:
        return self._segments[number - self._segments[0].number]

    def _read(self, sequence: int) -> Tuple[int, str, bytes]:
        entry = self._entries[sequence - self._first]
        segment = self._segment(entry.segment)
        segment.file.seek(entry.offset)
        record = segment.file.read(entry.size)
        topic_size, _ = _RECORD.unpack_from(record)
        return sequence, entry.topic, record[_RECORD.size + topic_size:]

    def _release(self, before: float) -> None:
        """Forget the leading messages acknowledged before ``before``; delete the segments left empty."""
        while self._entries:
            acknowledged = self._entries[0].acknowledged
            if acknowledged is None or acknowledged > before:
                break
            self._segment(self._entries.popleft().segment).entries -= 1
            self._first += 1
        while len(self._segments) > 1 and self._segments[0].entries == 0:
            self._delete(self._segments.popleft())
        self._next = max(self._next, self._first)

    def _drop_oldest(self) -> None:
        segment = self._segments.popleft()
        while self._entries and self._entries[0].segment == segment.number:
            entry = self._entries.popleft()
            # Messages already handed to the client are resent by it after a reconnection.
            if self._first >= self._next:
                self.dropped[entry.topic] += entry.samples
            self._first += 1
        self._next = max(self._next, self._first)
        self._delete(segment)

    def _delete(self, segment: _Segment) -> None:
        segment.file.close()
        self.size -= segment.size
        (self.directory / f"{segment.number:012d}.spool").unlink(missing_ok=True)

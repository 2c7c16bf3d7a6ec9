"""Messages on their way to the broker, kept on disk until it acknowledges them, and a few seconds more.

Every data message goes into the spool first and leaves it only once the
broker has acknowledged it (QoS 1), so a broker that is away for a while
costs nothing but disk space. A broker keeps what it acknowledged in memory
until its next save, so an acknowledged message stays :data:`KEEP_SECONDS`
longer, to be sent again after a reconnection (:meth:`Spool.acknowledged`).

The spool is an SQLite database in WAL mode (the standard library's): each
message is a row, written in a transaction of its own, with a CRC-32 of what
it holds, so a publisher that dies (SIGKILL, a power cut) leaves every
message it had spooled, and the next publisher of the stand sends them, under
their own run, before its own. A row whose checksum fails is skipped, logged
and counted in :attr:`Spool.corrupted`, never sent. The spool is bounded:
when a new message would pass the limit, or the disk is full, the
acknowledged messages go first, then the oldest, and the samples of those
not yet sent are counted per topic and run in :attr:`Spool.dropped`.

The database also keeps, per run, the ``info`` and the latest ``stats`` the
stand published (:meth:`Spool.runs`), so that a run cut short can be
announced and ended after a restart.
"""

from __future__ import annotations

import collections
import errno
import logging
import os
import sqlite3
import sys
import time
import zlib
from dataclasses import dataclass
from pathlib import Path
from typing import Deque, Dict, List, Optional, Tuple

from ..recording.writers import OutputLock

logger = logging.getLogger("vexlo_tools.mqtt")

#: How long an acknowledged message is kept (while acknowledgements come): beyond a broker's save
#: interval, every 2 to 3 s with Mosquitto's ``autosave_interval 1``.
KEEP_SECONDS = 5.0
DATABASE = "spool.sqlite3"
_SCHEMA = """
CREATE TABLE IF NOT EXISTS message (sequence INTEGER PRIMARY KEY, topic TEXT NOT NULL, run TEXT NOT NULL,
    samples INTEGER NOT NULL, last INTEGER NOT NULL, payload BLOB NOT NULL, crc INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS run (topic TEXT NOT NULL, run TEXT NOT NULL, info BLOB NOT NULL, stats BLOB,
    PRIMARY KEY (topic, run));
"""
#: A message as :meth:`Spool.take` hands it out: sequence number, topic, payload, run.
Message = Tuple[int, str, bytes, str]


def state_directory() -> Path:
    """The platform's folder for a user's persistent state: ``$XDG_STATE_HOME`` or ``~/.local/state``
    (Linux and other Unixes), ``~/Library/Application Support`` (macOS), ``%LOCALAPPDATA%`` (Windows)."""
    if sys.platform == "win32":
        return Path(os.environ.get("LOCALAPPDATA") or Path.home() / "AppData" / "Local")
    if sys.platform == "darwin":
        return Path.home() / "Library" / "Application Support"
    return Path(os.environ.get("XDG_STATE_HOME") or Path.home() / ".local" / "state")


def default_directory(stand: str) -> Path:
    """Where the spool of ``stand`` lives by default: ``<state folder>/vexlo/spool/<stand>``."""
    return state_directory() / "vexlo" / "spool" / stand


@dataclass
class _Entry:
    sequence: int
    topic: str
    run: str
    size: int
    samples: int
    acknowledged: Optional[float] = None  # when, on the monotonic clock


class SpoolFull(OSError):
    """A single message is larger than the whole spool."""


def _crc(topic: str, run: str, payload: bytes) -> int:
    return zlib.crc32(payload, zlib.crc32(f"{topic}\0{run}\0".encode()))


class Spool:
    """A bounded, ordered queue of messages on disk that outlives its process.

    Used under one lock (the publisher's), from more than one thread.

    :param directory: the spool's folder (created); one publisher at a time may use it.
    :param limit_bytes: the most the messages may take together.
    :param keep_seconds: how long a message is kept after the broker acknowledged it, counted by
        later acknowledgements: while the broker is away the kept messages stay.
    :raises OSError: the folder cannot be made, another publisher uses it, or its database is not a spool.
    """

    def __init__(self, directory: os.PathLike[str] | str, limit_bytes: int, keep_seconds: float = KEEP_SECONDS) -> None:
        if limit_bytes <= 0:
            raise ValueError("the spool needs a limit of more than 0 bytes")
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        try:
            self._lock = OutputLock(self.directory / DATABASE)  # released by the system when the process ends
        except OSError as error:
            raise OSError(errno.EBUSY, f"the spool at {self.directory} is used by another publisher of the "
                          f"stand ({error.strerror})") from None
        self.limit = limit_bytes
        self.keep_seconds = keep_seconds
        self.size = 0
        #: Samples dropped unsent from a full spool, per topic and run.
        self.dropped: Dict[Tuple[str, str], int] = collections.defaultdict(int)
        #: Samples of messages whose checksum failed, per topic and run: skipped, never sent.
        self.corrupted: Dict[Tuple[str, str], int] = collections.defaultdict(int)
        self._entries: Deque[_Entry] = collections.deque()
        self._next = 0  # index in _entries of the next message to hand out
        self._full = False  # the disk refused the last message at first
        try:
            self._db = sqlite3.connect(self.directory / DATABASE, isolation_level=None, check_same_thread=False)
            self._db.execute("PRAGMA journal_mode=WAL")
            self._db.execute("PRAGMA synchronous=NORMAL")  # durable across a process's death; a power cut may
            self._db.executescript(_SCHEMA)                # take the last transactions, never corrupt the rest
            rows = self._db.execute("SELECT sequence, topic, run, length(payload), samples FROM message "
                                    "ORDER BY sequence").fetchall()
        except sqlite3.Error as error:
            self._lock.release()
            raise OSError(f"the spool in {self.directory}: {error}") from error
        for sequence, topic, run, size, samples in rows:
            self._entries.append(_Entry(sequence, topic, run, size, samples))
            self.size += size
        if rows:
            logger.warning("%d blocks left in the spool at %s by an earlier run go first", len(rows), self.directory)

    def __len__(self) -> int:
        """Messages not yet acknowledged."""
        return sum(e.acknowledged is None for e in self._entries)

    def append(self, topic: str, payload: bytes, samples: int, run: str = "", last: int = 0) -> None:
        """Keep a message, after the others; make room first when it would not fit (the acknowledged go first).
        A full disk makes room the same way; when nothing is left to give way, the message itself is dropped.

        :param last: the number after its last sample (what the run reached, for :meth:`runs`).
        :raises SpoolFull: the message alone is larger than the limit.
        """
        if len(payload) > self.limit:
            raise SpoolFull(f"a message of {len(payload)} bytes does not fit a spool of {self.limit} bytes")
        if self.size + len(payload) > self.limit:
            self._release(float("inf"))
        while self.size + len(payload) > self.limit and self._entries:
            self._drop_oldest()
        full = False
        while True:
            try:
                cursor = self._db.execute(
                    "INSERT INTO message (topic, run, samples, last, payload, crc) VALUES (?, ?, ?, ?, ?, ?)",
                    (topic, run, samples, last, payload, _crc(topic, run, payload)))
                break
            except sqlite3.Error as error:
                if not self._full:  # said once while it lasts
                    logger.error("the spool at %s is full (%s): its oldest blocks give way", self.directory, error)
                self._full = full = True
                if not self._entries:
                    logger.error("the spool at %s cannot take a block: %d samples dropped", self.directory, samples)
                    self.dropped[topic, run] += samples
                    return
                self._release(float("inf"))
                if self._entries:
                    self._drop_oldest()
        self._full = full
        assert cursor.lastrowid is not None
        self._entries.append(_Entry(cursor.lastrowid, topic, run, len(payload), samples))
        self.size += len(payload)

    def take(self, most: int) -> List[Message]:
        """Up to ``most`` messages not yet handed out, oldest first; a damaged one is skipped and counted."""
        taken: List[Message] = []
        while len(taken) < most and self._next < len(self._entries):
            entry = self._entries[self._next]
            message = self._read(entry)
            if message is None:
                self._remove(entry)
                continue
            taken.append(message)
            self._next += 1
        return taken

    def acknowledge(self, sequence: int) -> None:
        """The broker has the message ``sequence``: keep it :attr:`keep_seconds` more, then forget it
        (a message dropped meanwhile is ignored)."""
        now = time.monotonic()
        for entry in self._entries:
            if entry.sequence == sequence:
                entry.acknowledged = now
                break
            if entry.sequence > sequence:
                break
        self._release(now - self.keep_seconds)

    def acknowledged(self) -> List[Message]:
        """The acknowledged messages still kept, oldest first, as :meth:`take` gives them."""
        kept = [entry for entry in self._entries if entry.acknowledged is not None]
        return [message for message in map(self._read, kept) if message is not None]

    def unsent(self) -> int:
        """Messages not yet handed out by :meth:`take`."""
        return len(self._entries) - self._next

    def remember(self, topic: str, run: str, info: bytes) -> None:
        """Keep the ``info`` of a run whose messages go to ``topic`` until :meth:`forget`."""
        self._db.execute("INSERT OR IGNORE INTO run (topic, run, info) VALUES (?, ?, ?)", (topic, run, info))

    def note_stats(self, topic: str, run: str, stats: bytes) -> None:
        """Keep the latest ``stats`` of a run remembered by :meth:`remember`."""
        self._db.execute("UPDATE run SET stats = ? WHERE topic = ? AND run = ?", (stats, topic, run))

    def runs(self) -> List[Tuple[str, str, bytes, Optional[bytes], int, int]]:
        """The runs remembered: topic, run, info, latest stats, the number after the last sample of its
        messages still spooled (0 when none), and how many of them are not yet acknowledged."""
        waiting = collections.Counter((e.topic, e.run) for e in self._entries if e.acknowledged is None)
        return [(topic, run, bytes(info), None if stats is None else bytes(stats), int(last or 0),
                 waiting[topic, run]) for topic, run, info, stats, last in self._db.execute(
            "SELECT r.topic, r.run, r.info, r.stats, (SELECT max(m.last) FROM message m "
            "WHERE m.topic = r.topic AND m.run = r.run) FROM run r ORDER BY r.run")]

    def forget(self, topic: str, run: str) -> None:
        """A run is over and delivered: its info and stats are kept no more."""
        self._db.execute("DELETE FROM run WHERE topic = ? AND run = ?", (topic, run))

    def close(self) -> None:
        """Close the database; what is not acknowledged stays for the next publisher of the stand (what
        a killed publisher leaves acknowledged is sent again: the collector writes a repeat once)."""
        for entry in [e for e in self._entries if e.acknowledged is not None]:
            self._remove(entry)
        self._db.close()
        self._lock.release()

    def _read(self, entry: _Entry) -> Optional[Message]:
        row = self._db.execute("SELECT payload, crc FROM message WHERE sequence = ?", (entry.sequence,)).fetchone()
        if row is not None and _crc(entry.topic, entry.run, row[0]) == row[1]:
            return entry.sequence, entry.topic, bytes(row[0]), entry.run
        logger.error("the spool at %s: block %d of %s is damaged (its checksum fails); skipped, %d samples lost",
                     self.directory, entry.sequence, entry.topic, entry.samples)
        self.corrupted[entry.topic, entry.run] += entry.samples
        return None

    def _remove(self, entry: _Entry) -> None:
        index = self._entries.index(entry)
        del self._entries[index]
        if index < self._next:
            self._next -= 1
        self.size -= entry.size
        self._db.execute("DELETE FROM message WHERE sequence = ?", (entry.sequence,))

    def _release(self, before: float) -> None:
        """Forget the leading messages acknowledged before ``before``."""
        gone = 0
        while gone < len(self._entries):
            acknowledged = self._entries[gone].acknowledged
            if acknowledged is None or acknowledged > before:
                break
            gone += 1
        if gone:
            last = self._entries[gone - 1].sequence
            for _ in range(gone):
                self.size -= self._entries.popleft().size
            self._next = max(0, self._next - gone)
            self._db.execute("DELETE FROM message WHERE sequence <= ?", (last,))

    def _drop_oldest(self) -> None:
        entry = self._entries[0]
        # Messages already handed to the client are resent by it after a reconnection.
        if self._next == 0:
            self.dropped[entry.topic, entry.run] += entry.samples
        self._remove(entry)

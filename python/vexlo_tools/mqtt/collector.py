"""The central recorder: subscribe to the stands, write one recording per stand and instrument.

A :class:`Collector` keeps a persistent session at the broker (MQTT 5, the
session outlives the collector by :data:`SESSION_SECONDS`), so blocks
published while it is away wait for it. It acknowledges a data message only
once its samples are flushed into the file: a collector that is killed gets
again whatever it had not made durable. Messages that arrive twice (QoS 1
allows it, and so does a restart) are recognised by stand, serial number and
sample number and written once; blocks that come out of order within
:data:`REORDER_SECONDS` are written in order; samples that never arrive leave
a gap in the sample numbers, logged and counted, and a block that fills a gap
too late goes into a file of its own for the run. Limit events (``vexlo
publish --limit``) go into the file of the run they happened in, each once.

Every message is checked first (:mod:`~vexlo_tools.mqtt.checks`): one that
fails is acknowledged, logged, counted in :attr:`Collector.rejected` (and in
the file of the run it names) and never written; nothing one message does
ends the collector.

Several collectors can share the data of a fleet through an MQTT 5 shared
subscription (``group``): the broker hands each data message to one of
them, each writes what it received into files of its own.
"""

from __future__ import annotations

import bisect
import collections
import dataclasses
import hashlib
import logging
import os
import socket
import threading
import time
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Set, Tuple

import numpy as np

from ..types import Block, Stats
from ..recording import Metadata, Writer, hdf5, open_writer
from . import checks, layout, topics
from .broker import Broker, paho

logger = logging.getLogger("vexlo_tools.mqtt")

#: How long the broker keeps the collector's session (and queues for it) while it is away.
SESSION_SECONDS = 7 * 24 * 3600
#: How often the messages received are taken, written, flushed and acknowledged: once a second. What
#: is not yet flushed is still the broker's (unacknowledged), so a longer cadence loses nothing when the
#: collector is killed; each round costs the same whatever it holds, so fewer rounds cost less.
FLUSH_SECONDS = 1.0
#: Data messages the broker may send before the collector acknowledges (held until a flush).
RECEIVE_MAXIMUM = 1000
#: Messages received and not yet handled; beyond, the network thread waits (the broker holds the rest).
INBOX_MESSAGES = 2000
INBOX_BYTES = 64 << 20
#: A round comes at once, not at its time, once this many messages wait in the inbox or unflushed (or a
#: quarter of INBOX_BYTES waits): through a backlog the broker's window of unacknowledged messages moves on.
ROUND_MESSAGES = RECEIVE_MAXIMUM // 4
#: How long a block that came before the one it follows waits for it: until this much data came
#: after it, or this long.
REORDER_SECONDS = 10.0
#: Blocks waiting for those before them, in all (unacknowledged, so well below RECEIVE_MAXIMUM).
REORDER_MESSAGES = 400
#: Data messages held for an ``info`` that has not come: per stand, and in all (count, bytes).
HELD_PER_STAND = (100, 32 << 20)
HELD_IN_ALL = (400, 128 << 20)
#: How long a data message is held for its run's ``info`` before it is refused.
HELD_SECONDS = 60.0
#: ``info`` messages of runs with no file yet, kept unacknowledged (a collector started again gets them again).
HELD_INFOS = 100
#: Limit events filed per run (an alarm storm beyond is refused), and held for a run's first block.
MAX_EVENTS = 100_000
HELD_EVENTS = 100
#: Gaps remembered per run, to file blocks that fill them late.
MAX_HOLES = 1000
SUFFIX = ".h5"
#: Stands counted by name in :attr:`Collector.rejected`; beyond, under "".
COUNTED_STANDS = 1000


@dataclasses.dataclass
class Track:
    """One run of one instrument of one stand, as the collector follows it.

    :ivar run: the run's start time (``start_utc`` of its ``info``), which data messages carry too.
    :ivar next: the sample number after the highest written (or found in the directory).
    :ivar first: the sample number the file began with (a file is whole only from 0).
    :ivar gaps: samples skipped between blocks, in this collector's files.
    :ivar late: samples that filled a gap late, written into a file of their own.
    :ivar rejected: messages of this run that failed their checks.
    """

    stand: str
    serial: str
    run: str
    info: Optional[Metadata] = None
    next: int = 0
    first: int = 0
    samples: int = 0
    gaps: int = 0
    late: int = 0
    dropped: int = 0
    rejected: int = 0
    stats: Dict[str, Any] = dataclasses.field(default_factory=dict)
    writer: Optional[Writer] = None
    late_writer: Optional[Writer] = None
    late_next: int = 0
    #: Data messages waiting for the info (message id, payload, arrival).
    held: List[Tuple[int, bytes, float]] = dataclasses.field(default_factory=list)
    #: Blocks waiting for those before them: (first sample, arrival, message id, frame), by first sample.
    pending: List[Tuple[int, float, int, layout.Frame]] = dataclasses.field(default_factory=list)
    #: Gaps of the file, [start, end) of sample numbers.
    holes: List[Tuple[int, int]] = dataclasses.field(default_factory=list)
    info_mid: int = 0
    #: The run's start, as :attr:`run` gives it (checked once, when the track is made).
    began: Optional[datetime] = None
    #: Limit events filed (condition, sample), so that one that comes again is filed once.
    events: Set[Tuple[str, int]] = dataclasses.field(default_factory=set)
    #: Limit events that came before the run's first block, filed when its file opens.
    early_events: List[Metadata] = dataclasses.field(default_factory=list)

    def counters(self) -> Stats:
        """The stand's counters (:func:`~vexlo_tools.mqtt.checks.counters`)."""
        return checks.counters(self.stats)

    def count(self, key: str) -> int:
        """A counter of the stand's stats (0 when it sent none, or no count)."""
        return checks.count(self.stats, key)

    @property
    def rate(self) -> float:
        assert self.info is not None
        return float(self.info["samples_per_second"])


def default_client_id(directory: Path) -> str:
    """A client id that stays the same for one directory on one host, so the session resumes."""
    digest = hashlib.sha1(os.fsencode(directory.resolve())).hexdigest()[:8]
    return f"vexlo-collect-{socket.gethostname()}-{digest}"[:64]


class Collector:
    """Writes what the stands publish into ``directory`` (created when missing).

    :param broker: the broker.
    :param directory: where the recordings go (one ``.h5`` file per stand, instrument and run).
    :param stands: the stands to collect (all when empty).
    :param group: the name of a shared subscription, to share the data with other collectors.
    :param client_id: the session's name at the broker (by default one per host and directory).
    :ivar rejected: messages that failed their checks, per stand ("" for those naming none).
    """

    def __init__(self, broker: Broker, directory: os.PathLike[str] | str, *, stands: Sequence[str] = (),
                 group: Optional[str] = None, client_id: Optional[str] = None) -> None:
        self.broker = broker
        self.stands = [topics.check_stand(s) for s in stands]
        self.group = topics.check_stand(group, "group name") if group else None
        hdf5.HDF5Writer.check_library()
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        self.client_id = client_id or default_client_id(self.directory)
        self.tracks: Dict[Tuple[str, str, str], Track] = {}
        self.files: List[Path] = []
        self.rejected: Dict[str, int] = {}
        self._known = _written(self.directory)
        # Messages handed on by the network thread; it waits on ``_room`` while the inbox is full, and
        # wakes the collector's thread through ``_filled`` only when it holds a good share of its bounds.
        self._inbox: "collections.deque[Any]" = collections.deque()
        self._inbox_bytes = 0
        lock = threading.Lock()
        self._room, self._filled = threading.Condition(lock), threading.Condition(lock)
        self._unflushed: List[int] = []
        self._acks: List[int] = []  # sent together at the end of a round: the network thread wakes once for them
        self._held: Dict[str, List[int]] = {}  # per stand: messages and bytes held for an info
        self._reordering = 0
        # In a group, each collector gets some of the blocks: a gap is no sign that one is late.
        self.reorder_seconds = 0.0 if group else REORDER_SECONDS
        self._connection: Any = None
        self._closing = False
        # What the message being handled names, once known: its stand and run (for the counts of a refusal).
        self._stand = ""
        self._run: Optional[Track] = None
        #: Set once the broker has confirmed the subscriptions (from then on nothing published is missed).
        self.subscribed = threading.Event()

    # ------------------------------------------------------------ running

    def connect(self) -> None:
        """Connect and subscribe now (else :meth:`run` does), so that a broker that cannot be used is told at once.

        :raises vexlo_tools.mqtt.BrokerError: the broker cannot be reached or refuses.
        """
        if self._connection is not None:
            return
        mqtt = paho()
        properties = mqtt.Properties(mqtt.PacketTypes.CONNECT)
        properties.SessionExpiryInterval = SESSION_SECONDS
        properties.ReceiveMaximum = RECEIVE_MAXIMUM

        def prepare(client: Any) -> None:
            client.manual_ack_set(True)
            client.on_message = lambda c, u, message: self._receive(message)
            client.on_subscribe = lambda c, u, mid, reasons, properties: self.subscribed.set()

        self._connection = self.broker.client(self.client_id, clean_start=False, properties=properties,
                                              prepare=prepare)
        self._connection.on_connect = self._subscribe
        self._subscribe()

    def _receive(self, message: Any) -> None:
        """On the network thread: hand a message on, waiting while the inbox is full (the broker holds the rest)."""
        size = len(message.payload)
        with self._room:
            # One message larger than the bound gets in alone.
            while self._inbox and (len(self._inbox) >= INBOX_MESSAGES or self._inbox_bytes + size > INBOX_BYTES):
                if self._closing:
                    return  # left unacknowledged, the broker sends it again to the next collector of the session
                self._room.wait(0.5)
            self._inbox.append(message)
            self._inbox_bytes += size
            if self._backlog():
                self._filled.notify()

    def _backlog(self) -> bool:
        return len(self._inbox) >= ROUND_MESSAGES or self._inbox_bytes >= INBOX_BYTES // 4

    def _taken_from_inbox(self, until: float) -> "collections.deque[Any]":
        """The messages received, once the next round is due at ``until`` (monotonic clock) or the inbox fills."""
        with self._filled:
            if not self._backlog() and until > time.monotonic():
                self._filled.wait(until - time.monotonic())
            taken = collections.deque(self._inbox)
            self._inbox.clear()
            self._inbox_bytes = 0
            self._room.notify()
        return taken

    def run(self, stop: Optional[threading.Event] = None, *, status: Optional[Callable[[Collector], None]] = None,
            status_seconds: float = 1.0) -> None:
        """Collect until ``stop`` is set (or Ctrl-C); the files are closed and all written acknowledged then.

        :raises vexlo_tools.mqtt.BrokerError: the broker cannot be reached or refuses.
        """
        stop = stop or threading.Event()
        self.connect()
        batch: "collections.deque[Any]" = collections.deque()
        try:
            last_flush = last_status = time.monotonic()
            while not stop.is_set():
                # One round a FLUSH_SECONDS (or a status line): the messages that came meanwhile are taken
                # together, written, flushed and acknowledged; the thread sleeps in between unless the inbox
                # fills (``stop`` is looked at as often).
                due = last_flush + FLUSH_SECONDS
                if status is not None:
                    due = min(due, last_status + status_seconds)
                batch = self._taken_from_inbox(due)
                while batch:
                    self._handle(batch.popleft())
                now = time.monotonic()
                # A backlog is flushed as it is taken, so the broker's window of unacknowledged messages moves on.
                if now - last_flush >= FLUSH_SECONDS or len(self._unflushed) >= ROUND_MESSAGES:
                    self._flush()
                    last_flush = now
                if status is not None and now - last_status >= status_seconds:
                    status(self)
                    last_status = now
                self._send_acks()
        except KeyboardInterrupt:
            pass
        finally:
            try:
                # What came before the end is written too (a stand's last stats, say, that end its file).
                batch.extend(self._taken_from_inbox(0.0))
                while batch:
                    self._handle(batch.popleft())
                for track in self.tracks.values():
                    self._guarded(track, lambda t: self._drain(t, everything=True))
                self._flush()
                for track in self.tracks.values():
                    self._guarded(track, self._close)
                self._send_acks()
            finally:
                with self._room:
                    self._closing = True
                    self._room.notify_all()
                self._connection.close()
                self._connection = None

    def _subscribe(self) -> None:
        mqtt = paho()
        # Retained info only for a new subscription: a resumed session has newer info queued in order
        # with the data, and the info of runs without a file yet is held unacknowledged, so it comes again.
        options = mqtt.SubscribeOptions(qos=1, retainHandling=mqtt.SubscribeOptions.RETAIN_SEND_IF_NEW_SUB)
        wanted = []
        for stand in self.stands or ["+"]:
            wanted += [(topics.status(stand), options)]
            wanted += [(topics.instrument(stand, "+", kind), options) for kind in ("info", "stats", "event")]
            data = topics.instrument(stand, "+", "data")
            wanted.append((f"$share/{self.group}/{data}" if self.group else data, options))
        self._connection.client.subscribe(wanted)

    # ------------------------------------------------------------ messages

    def _handle(self, message: Any) -> None:
        """Check a message and take it; one that fails, or fails us, is refused, never the end of the collector."""
        self._stand, self._run = "", None
        try:
            self._take(message)
        except Exception as error:  # noqa: BLE001 (whatever one message does, the others go on)
            self._refuse(message.mid, message.topic, error, self._stand, self._run)

    def _refuse(self, mid: int, topic: str, error: Exception, stand: str, track: Optional[Track]) -> None:
        """Acknowledge a message that is not written, say why once, and count it for its stand and run."""
        reason = str(error) if isinstance(error, checks.Rejected) else f"{type(error).__name__}: {error}"
        if stand not in self.rejected and len(self.rejected) >= COUNTED_STANDS:
            stand = ""
        self.rejected[stand] = self.rejected.get(stand, 0) + 1
        if track is not None:
            track.rejected += 1
            if track.writer is not None and track.writer.error is None:
                track.writer.note(0, "rejected", track.rejected)
            if track.info is None and not track.held and track.samples == 0:
                self.tracks.pop((track.stand, track.serial, track.run), None)  # a run no one announced
        logger.warning("refused a message on %r: %s", topic[:200], reason)
        self._ack(mid)

    def _take(self, message: Any) -> None:
        self._stand = checks.stand_of(message.topic)
        stand, serial, kind = checks.topic(message.topic)
        if kind == "status":
            logger.info("stand %s is %s", stand, checks.status(message.payload))
            self._ack(message.mid)
            return
        if kind == "data":
            run = dict(getattr(message.properties, "UserProperty", None) or ()).get("run")
            # A run with a track here was checked when the track was made.
            track = self.tracks.get((stand, serial, run)) if isinstance(run, str) else None
            if track is None:
                run = checks.run(run)
                track = self._track(stand, serial, run) if run is not None else self._latest(stand, serial)
            if track is None:
                raise checks.Rejected("a data message that names no run, of an instrument with none known")
            self._run = track
            if message.qos != 1:
                raise checks.Rejected("a data message not sent with QoS 1")
            if track.info is None:
                self._hold(track, message.mid, message.payload)
            else:
                self._data(track, message.mid, message.payload)
            return
        if kind not in ("info", "stats", "event"):
            self._ack(message.mid)  # a kind this collector does not file
            return
        content = checks.json_object(message.payload, kind)
        if kind == "event":
            self._event(stand, serial, message.mid, checks.event(content))
            return
        key = (stand, serial, checks.start(content))
        if kind == "info":
            info, left = checks.info(content)
            self._info(self._track(*key), message.mid, info, left)
            return
        if key not in self.tracks and key not in self._known:
            raise checks.Rejected(f"stats of a run with no info here ({key[2]})")
        track = self._run = self._track(*key)
        track.stats = checks.stats(content)
        self._ack(message.mid)
        self._drain(track)

    def _track(self, stand: str, serial: str, run: str) -> Track:
        key = (stand, serial, run)
        track = self.tracks.get(key)
        if track is None:
            end, info = self._known.get(key, (0, None))
            track = self.tracks[key] = Track(stand, serial, run, info, end, end, began=checks.moment(run))
        return track

    def _latest(self, stand: str, serial: str) -> Optional[Track]:
        runs = [track for (s, n, _), track in self.tracks.items() if (s, n) == (stand, serial) and track.info]
        return max(runs, key=lambda track: _began(track)) if runs else None

    def _event(self, stand: str, serial: str, mid: int, event: Metadata) -> None:
        """A limit event, filed once into the file of the run it happened in (the latest run begun before it)."""
        moment = checks.moment(str(event["utc"]))
        runs = [track for (s, n, _), track in self.tracks.items()
                if (s, n) == (stand, serial) and track.info and _began(track) <= moment]
        track = max(runs, key=_began) if runs else None
        key = (str(event["condition"]), int(event["sample"]))
        if track is None or key in track.events:
            self._ack(mid)  # a run this collector files no more (or never did), or an event filed already
            return
        self._run = track
        if len(track.events) >= MAX_EVENTS:
            raise checks.Rejected(f"more than {MAX_EVENTS} limit events in one run")
        if track.writer is not None:
            track.writer.event(0, event)
        elif len(track.early_events) < HELD_EVENTS:
            track.early_events.append(event)
        else:
            raise checks.Rejected(f"more than {HELD_EVENTS} limit events before the run's first block")
        track.events.add(key)
        self._unflushed.append(mid)

    def _hold(self, track: Track, mid: int, payload: bytes) -> None:
        """Keep a data message until its run's info comes, within bounds per stand and in all."""
        count, size = self._held.get(track.stand, [0, 0])
        every = [sum(held[n] for held in self._held.values()) for n in (0, 1)]
        if (count + 1 > HELD_PER_STAND[0] or size + len(payload) > HELD_PER_STAND[1]
                or every[0] + 1 > HELD_IN_ALL[0] or every[1] + len(payload) > HELD_IN_ALL[1]):
            raise checks.Rejected(f"no info for its run {track.run}, and as many messages wait for one as may")
        track.held.append((mid, payload, time.monotonic()))
        self._held[track.stand] = [count + 1, size + len(payload)]

    def _unhold(self, track: Track, before: float = float("inf")) -> List[Tuple[int, bytes, float]]:
        """Take the messages held for the info of ``track`` that came before ``before``."""
        taken = [held for held in track.held if held[2] < before]
        track.held = [held for held in track.held if held[2] >= before]
        count, size = self._held.pop(track.stand, [0, 0])
        if count > len(taken):  # no entry kept for a stand with nothing held (a flood of names costs nothing)
            self._held[track.stand] = [count - len(taken), size - sum(len(p) for _, p, _ in taken)]
        return taken

    def _info(self, track: Track, mid: int, info: Metadata, left: Dict[str, str]) -> None:
        if track.info is None:
            for key, why in left.items():
                logger.warning("stand %s instrument %s: left %r out of the provenance: %s", track.stand,
                               track.serial, key, why)
            track.info = info
        known = (track.stand, track.serial, track.run) in self._known
        if track.writer is None and not track.samples and not known and not track.info_mid:
            # Acknowledged once the run has a file: a collector stopped before its first block gets it again.
            track.info_mid = mid
            self._release_infos(track)
        else:
            self._ack(mid)
        for held_mid, payload, _ in self._unhold(track):
            try:
                self._data(track, held_mid, payload)
            except Exception as error:  # noqa: BLE001 (one held message refused, the others go on)
                self._refuse(held_mid, topics.instrument(track.stand, track.serial, "data"), error, track.stand,
                             track)

    def _release_infos(self, newest: Track) -> None:
        """Acknowledge held infos of older runs of the same instrument, and the oldest beyond :data:`HELD_INFOS`."""
        waiting = [t for t in self.tracks.values() if t.info_mid and t is not newest]
        for track in waiting:
            if (track.stand, track.serial) == (newest.stand, newest.serial):
                self._ack(track.info_mid)
                track.info_mid = 0
        waiting = [t for t in waiting if t.info_mid]
        for track in waiting[:max(0, len(waiting) + 1 - HELD_INFOS)]:
            self._ack(track.info_mid)
            track.info_mid = 0
        for track in waiting:
            if not track.info_mid and not track.held and not track.samples and track.writer is None:
                del self.tracks[track.stand, track.serial, track.run]  # a run with no data: nothing to keep

    def _data(self, track: Track, mid: int, payload: bytes) -> None:
        assert track.info is not None
        frame = checks.data(payload, track.rate, _began(track))
        self._late(track, frame, track.next)
        if len(frame.value) and frame.first + len(frame.value) > track.next:
            bisect.insort(track.pending, (frame.first, time.monotonic(), mid, frame), key=lambda p: p[0])
            self._reordering += 1
        else:
            self._unflushed.append(mid)  # a repeat, or a late part, written
        self._drain(track, everything=self._reordering > REORDER_MESSAGES)

    def _drain(self, track: Track, everything: bool = False) -> None:
        """Write the waiting blocks that follow what is written; give up a gap after :data:`REORDER_SECONDS`
        (of data or of waiting), or once the samples the stand counted at its run's end are here."""
        if not track.pending:
            self._end_if_over(track)
            return
        expired = time.monotonic() - self.reorder_seconds
        last = track.pending[-1][0] + len(track.pending[-1][3].value)
        # Counted in samples waiting, not in their span: one block far ahead is no sign that a gap is lost.
        waiting = sum(len(frame.value) for _, _, _, frame in track.pending)
        everything = (everything or waiting > track.rate * self.reorder_seconds
                      or bool(track.stats.get("end_reason")) and last >= track.count("received"))
        while track.pending:
            first, arrived, mid, frame = track.pending[0]
            if first > track.next and not everything and arrived > expired:
                break
            del track.pending[0]
            self._reordering -= 1
            try:
                if track.stats.get("end_reason") and first >= track.count("received"):
                    raise checks.Rejected(f"data: samples from {first}, beyond the {track.count('received')} "
                                          "the stand says its run received")
                self._write(track, frame)
            except Exception as error:  # noqa: BLE001 (a file that fails ends; a new one takes the next block)
                if track.writer is not None and track.writer.error is not None:
                    track.writer = None
                self._refuse(mid, topics.instrument(track.stand, track.serial, "data"), error, track.stand, track)
                continue
            self._unflushed.append(mid)
        self._end_if_over(track)

    def _write(self, track: Track, frame: layout.Frame) -> None:
        """Write the part of a block at or beyond what is written; the part before fills gaps or is a repeat."""
        skip = max(0, min(track.next - frame.first, len(frame.value)))
        first, adc, value = frame.first + skip, frame.adc[skip:], frame.value[skip:]
        if not len(value):
            return
        if first > track.next:
            logger.warning("stand %s instrument %s: samples %d to %d did not arrive", track.stand, track.serial,
                           track.next, first - 1)
            track.gaps += first - track.next
            track.holes.append((track.next, first))
            if len(track.holes) > MAX_HOLES:
                lost = track.holes.pop(0)
                logger.error("stand %s instrument %s: more than %d gaps; samples %d to %d will not be filed if "
                             "they come", track.stand, track.serial, MAX_HOLES, lost[0], lost[1] - 1)
        self._received(track, first, len(value))
        writer = track.writer or self._open(track)
        writer.append(0, _block(track, first, adc, value))
        track.next = first + len(value)
        track.samples += len(value)

    def _late(self, track: Track, frame: layout.Frame, below: int) -> None:
        """Write the samples of a block before ``below`` that fill a gap into the run's file of late samples."""
        end = min(frame.first + len(frame.value), below)
        for start, stop in list(track.holes):
            low, high = max(start, frame.first), min(stop, end)
            if low >= high:
                continue
            if track.late_writer is not None and low < track.late_next:
                self._end(track, track.late_writer, late=True)  # samples must rise within a file
                track.late_writer = None
            if track.late_writer is None:
                track.late_writer = self._new_file(track)
            part = slice(low - frame.first, high - frame.first)
            track.late_writer.append(0, _block(track, low, frame.adc[part], frame.value[part]))
            track.late_next = high
            track.late += high - low
            logger.warning("stand %s instrument %s: samples %d to %d came late, into %s", track.stand, track.serial,
                           low, high - 1, track.late_writer.path.name)
        track.holes = [piece for start, stop in track.holes for piece in _minus((start, stop), (frame.first, end))]

    def _received(self, track: Track, first: int, count: int) -> None:
        """A block of new samples is about to be written (a hook for measurements)."""

    def _open(self, track: Track) -> Writer:
        track.writer = self._new_file(track)
        for event in track.early_events:
            track.writer.event(0, event)
        track.early_events = []
        track.first = track.next
        if track.info_mid:
            self._unflushed.append(track.info_mid)
            track.info_mid = 0
        return track.writer

    def _new_file(self, track: Track) -> Writer:
        info = dict(track.info or {})
        info.update(stand=track.stand, serial=track.serial, collected_by=self.client_id, rejected=0)
        # Every part of the name is checked: the stand and serial are names, the stamp digits.
        stamp = _began(track).astimezone(timezone.utc).strftime("%Y%m%dT%H%M%S")
        base = f"{track.stand}_{track.serial}_{stamp}"
        for n in range(1, 1000):
            path = self.directory / (base + (f"_{n}" if n > 1 else "") + SUFFIX)
            if os.path.lexists(path):
                continue
            try:
                writer = open_writer(path, [info])
            except FileExistsError:
                continue
            writer.note(0, "rejected", track.rejected)
            self.files.append(path)
            logger.info("writing stand %s instrument %s into %s", track.stand, track.serial, path)
            return writer
        raise FileExistsError(f"{self.directory}: {base}_2 to _999 exist already")

    def _end_if_over(self, track: Track) -> None:
        """End the run's file once the stand said the run ended and every sample it counted is here."""
        if (track.writer is not None and track.stats.get("end_reason") and not track.pending
                and track.next >= track.count("received")):
            self._close(track)

    def _close(self, track: Track) -> None:
        if track.late_writer is not None:
            self._end(track, track.late_writer, late=True)
            track.late_writer = None
        if track.writer is not None:
            writer, track.writer = track.writer, None
            self._end(track, writer)

    def _end(self, track: Track, writer: Writer, late: bool = False) -> None:
        stats = track.stats
        if stats.get("end_reason") and track.next >= track.count("received"):
            # Complete only when this file holds every sample from 0 to the last the stand received.
            whole = not late and track.first == 0 and not track.gaps and track.next == track.count("received")
            writer.end(0, str(stats["end_reason"]), bool(stats.get("complete")) and whole,
                       _moment(stats.get("end_utc")), track.counters())
        else:  # the collector stops before the stand's run ended, or with samples of it still under way
            writer.end(0, "interrupted", False, stats=track.counters())
        writer.close()
        self._ack_written()

    def _guarded(self, track: Track, step: Callable[[Track], None]) -> None:
        """One run's step at the end; a failure of its file is said and the other runs go on."""
        try:
            step(track)
        except Exception as error:  # noqa: BLE001
            logger.error("stand %s instrument %s: %s", track.stand, track.serial, error)

    def _flush(self) -> None:
        expired = time.monotonic() - HELD_SECONDS
        for track in list(self.tracks.values()):
            for mid, _, _ in self._unhold(track, expired):
                self._refuse(mid, topics.instrument(track.stand, track.serial, "data"),
                             checks.Rejected(f"no info for its run {track.run} within {HELD_SECONDS:g} s"),
                             track.stand, track)
            self._guarded(track, self._drain)
            for writer in (track.writer, track.late_writer):
                if writer is not None:
                    self._guarded(track, lambda t: writer.flush())
        self._ack_written()

    def _ack_written(self) -> None:
        """Everything written so far is durable: let the broker forget it."""
        for mid in self._unflushed:
            self._ack(mid)
        self._unflushed = []

    def _ack(self, mid: int) -> None:
        if mid:
            self._acks.append(mid)

    def _send_acks(self) -> None:
        acks, self._acks = self._acks, []
        for mid in acks:
            self._connection.client.ack(mid, 1)


def _block(track: Track, first: int, adc: np.ndarray, value: np.ndarray) -> Block:
    # The times are made only if a writer asks: the HDF5 writer keeps the sample numbers as they are.
    stats = track.counters()
    counters = (stats.received, stats.overrun, stats.missing, stats.corrupted, stats.overdue)
    return Block._taken(None, first, adc, value, track.rate, counters, 0, None)


def _began(track: Track) -> datetime:
    assert track.began is not None
    return track.began


def _minus(span: Tuple[int, int], cut: Tuple[int, int]) -> List[Tuple[int, int]]:
    """What of ``span`` lies outside ``cut`` (both [start, end))."""
    pieces = [(span[0], min(span[1], cut[0])), (max(span[0], cut[1]), span[1])]
    return [(a, b) for a, b in pieces if a < b]


def _moment(text: Any) -> Optional[datetime]:
    try:
        return checks.moment(text, "end_utc")
    except checks.Rejected:
        return None


def _written(directory: Path) -> Dict[Tuple[str, str, str], Tuple[int, Metadata]]:
    """For each stand, instrument and run recorded in ``directory``: the sample number after its last, and its info."""
    known: Dict[Tuple[str, str, str], Tuple[int, Metadata]] = {}
    for path in sorted(directory.glob("*" + SUFFIX)):
        try:
            with hdf5.HDF5Writer.sources(path) as sources:
                for source in sources:
                    meta = source.metadata
                    if "stand" not in meta or "serial" not in meta:
                        continue  # not a collector's file
                    end = 0
                    if source.length:
                        last = float(source.read(source.length - 1, source.length, False)[0][0])
                        end = int(round(last * float(meta["samples_per_second"]))) + 1
                    key = (str(meta["stand"]), str(meta["serial"]), str(meta.get("start_utc", "")))
                    info = {k: v for k, v in meta.items() if k not in checks.WRITTEN_KEYS}
                    known[key] = (max(known.get(key, (0, info))[0], end), info)
        except (OSError, ValueError, KeyError) as error:
            logger.warning("cannot read %s, so samples in it may be written again: %s", path, error)
    return known

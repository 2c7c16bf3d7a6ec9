"""The central recorder: subscribe to the stands, write one recording per stand and instrument.

A :class:`Collector` keeps a persistent session at the broker (MQTT 5, the
session outlives the collector by :data:`SESSION_SECONDS`), so blocks
published while it is away wait for it. It acknowledges a data message only
once its samples are flushed into the file: a collector that is killed gets
again whatever it had not made durable. Messages that arrive twice (QoS 1
allows it, and so does a restart) are recognised by stand, serial number and
sample number and written once; samples that never arrive leave a gap in
the sample numbers, logged and counted.

Several collectors can share the data of a fleet through an MQTT 5 shared
subscription (``group``): the broker hands each data message to one of
them, each writes what it received into files of its own.
"""

from __future__ import annotations

import contextlib
import dataclasses
import hashlib
import json
import logging
import math
import os
import queue
import socket
import threading
import time
from datetime import datetime
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ..types import Block, Stats
from ..recording import Metadata, Writer, hdf5, open_writer
from ..recording.writers import WRITTEN, check_metadata
from . import layout, topics
from .broker import Broker, paho

logger = logging.getLogger("vexlo_tools.mqtt")

#: How long the broker keeps the collector's session (and queues for it) while it is away.
SESSION_SECONDS = 7 * 24 * 3600
#: How often the files are flushed and what they hold acknowledged.
FLUSH_SECONDS = 0.5
#: Data messages the broker may send before the collector acknowledges (held until a flush).
RECEIVE_MAXIMUM = 1000
#: Data messages of a run whose info has not come, held per instrument (unacknowledged, so bounded).
HELD_MESSAGES = 50
SUFFIX = ".h5"
#: Keys of a recording's metadata that the recording adds to the stand's info.
_WRITTEN_KEYS = WRITTEN + ("collected_by",)


@dataclasses.dataclass
class Track:
    """One run of one instrument of one stand, as the collector follows it.

    :ivar run: the run's start time (``start_utc`` of its ``info``), which data messages carry too.
    :ivar next: the sample number after the highest written (or found in the directory).
    :ivar gaps: samples skipped between blocks, in this collector's files.
    """

    stand: str
    serial: str
    run: str
    info: Optional[Metadata] = None
    next: int = 0
    samples: int = 0
    gaps: int = 0
    stats: Dict[str, Any] = dataclasses.field(default_factory=dict)
    writer: Optional[Writer] = None
    held: List[Tuple[int, bytes]] = dataclasses.field(default_factory=list)

    def counters(self) -> Stats:
        """The stand's counters; samples dropped from its full spool or never published count as
        overrun (kept by no one)."""
        count = self.count
        return Stats(count("received"), count("overrun") + count("spool_dropped") + count("not_published"),
                     count("missing"), count("corrupted"))

    def count(self, key: str) -> int:
        """A counter of the stand's stats (0 when it sent none, or no count)."""
        value = self.stats.get(key)
        return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else 0


def default_client_id(directory: Path) -> str:
    """A client id that stays the same for one directory on one host, so the session resumes."""
    digest = hashlib.sha1(os.fsencode(directory.resolve())).hexdigest()[:8]
    return f"vexlo-collect-{socket.gethostname()}-{digest}"[:64]


class Collector:
    """Writes what the stands publish into ``directory``.

    :param broker: the broker.
    :param directory: where the recordings go (one ``.h5`` file per stand, instrument and run).
    :param stands: the stands to collect (all when empty).
    :param group: the name of a shared subscription, to share the data with other collectors.
    :param client_id: the session's name at the broker (by default one per host and directory).
    """

    def __init__(self, broker: Broker, directory: os.PathLike[str] | str, *, stands: Sequence[str] = (),
                 group: Optional[str] = None, client_id: Optional[str] = None) -> None:
        self.broker = broker
        self.directory = Path(directory)
        if not self.directory.is_dir():
            raise FileNotFoundError(f"no such directory: {os.fspath(directory)}")
        hdf5.HDF5Writer.check_library()
        self.stands = [topics.check_stand(s) for s in stands]
        self.group = topics.check_stand(group) if group else None
        self.client_id = client_id or default_client_id(self.directory)
        self.tracks: Dict[Tuple[str, str, str], Track] = {}
        self._latest: Dict[Tuple[str, str], str] = {}
        self.files: List[Path] = []
        self._known = _written(self.directory)
        self._inbox: "queue.Queue[Any]" = queue.Queue()
        self._unflushed: List[int] = []
        self._connection: Any = None
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
            client.on_message = lambda c, u, message: self._inbox.put(message)
            client.on_subscribe = lambda c, u, mid, reasons, properties: self.subscribed.set()

        self._connection = self.broker.client(self.client_id, clean_start=False, properties=properties,
                                              prepare=prepare)
        self._connection.on_connect = self._subscribe
        self._subscribe()

    def run(self, stop: Optional[threading.Event] = None, *, status: Optional[Callable[[Collector], None]] = None,
            status_seconds: float = 1.0) -> None:
        """Collect until ``stop`` is set (or Ctrl-C); the files are closed and all written acknowledged then.

        :raises vexlo_tools.mqtt.BrokerError: the broker cannot be reached or refuses.
        """
        stop = stop or threading.Event()
        self.connect()
        try:
            last_flush = last_status = time.monotonic()
            while not stop.is_set():
                with contextlib.suppress(queue.Empty):
                    self._handle(self._inbox.get(timeout=0.1))
                now = time.monotonic()
                if now - last_flush >= FLUSH_SECONDS:
                    self._flush()
                    last_flush = now
                if status is not None and now - last_status >= status_seconds:
                    status(self)
                    last_status = now
        except KeyboardInterrupt:
            pass
        finally:
            try:
                self._flush()
                for track in self.tracks.values():
                    self._close(track)
            finally:
                self._connection.close()
                self._connection = None

    def _subscribe(self) -> None:
        mqtt = paho()
        # Retained info only for a new subscription: a resumed session has newer info queued in order
        # with the data, and the info of runs already begun is in the files.
        options = mqtt.SubscribeOptions(qos=1, retainHandling=mqtt.SubscribeOptions.RETAIN_SEND_IF_NEW_SUB)
        wanted = []
        for stand in self.stands or ["+"]:
            wanted += [(topics.status(stand), options), (topics.instrument(stand, "+", "info"), options),
                       (topics.instrument(stand, "+", "stats"), options)]
            data = topics.instrument(stand, "+", "data")
            wanted.append((f"$share/{self.group}/{data}" if self.group else data, options))
        self._connection.client.subscribe(wanted)

    # ------------------------------------------------------------ messages

    def _handle(self, message: Any) -> None:
        parsed = topics.parse(message.topic)
        if parsed is None:
            self._ack(message.mid)
            return
        stand, serial, kind = parsed
        if kind == "status":
            logger.info("stand %s is %s", stand, message.payload.decode(errors="replace"))
            self._ack(message.mid)
            return
        if kind == "data":
            run = dict(getattr(message.properties, "UserProperty", None) or ()).get("run")
            track = self._track(stand, serial, run or self._latest.get((stand, serial), ""))
            if track.info is None and len(track.held) < HELD_MESSAGES:
                track.held.append((message.mid, message.payload))  # until its info arrives
            elif track.info is None:
                logger.error("stand %s instrument %s: no info for its run %s; a block of it is dropped",
                             stand, serial, track.run)
                self._ack(message.mid)
            else:
                self._data(track, message.mid, message.payload)
            return
        try:
            content = json.loads(message.payload)
            if not isinstance(content, dict):
                raise ValueError("not a JSON object")
        except ValueError as error:
            logger.warning("ignored the %s message of %s/%s: %s", kind, stand, serial, error)
            self._ack(message.mid)
            return
        run = str(content.get("start_utc", ""))
        track = self._track(stand, serial, run)
        if kind == "info":
            self._info(track, content)
        else:
            track.stats = content
            if content.get("end_reason") and track.writer is not None and track.next >= track.count("received"):
                self._close(track)  # the stream has ended and every sample is here
        self._ack(message.mid)

    def _track(self, stand: str, serial: str, run: str) -> Track:
        key = (stand, serial, run)
        track = self.tracks.get(key)
        if track is None:
            end, info = self._known.get(key, (0, None))
            track = self.tracks[key] = Track(stand, serial, run, info, end)
        return track

    def _info(self, track: Track, info: Metadata) -> None:
        latest = self._latest.get((track.stand, track.serial))
        if latest != track.run:
            self._latest[track.stand, track.serial] = track.run
            if latest is not None:
                self._close(self.tracks[track.stand, track.serial, latest])  # the stand started a new run
        if track.info is None:
            track.info = _usable(track, info)
            if track.info and (track.stand, track.serial, track.run) not in self._known:
                # The file is there before the info is acknowledged: a collector started again finds the
                # run's provenance in it even when no sample came before it was stopped.
                self._open(track)
        held, track.held = track.held, []
        for mid, payload in held:
            self._data(track, mid, payload)

    def _data(self, track: Track, mid: int, payload: bytes) -> None:
        if not track.info:
            self._ack(mid)  # a stand whose info is no use: its data cannot be filed (said once, in _usable)
            return
        try:
            frame = layout.decode(payload)
        except ValueError as error:
            logger.warning("ignored a data message of %s/%s: %s", track.stand, track.serial, error)
            self._ack(mid)
            return
        first, adc, value = frame.first, frame.adc, frame.value
        if first < track.next:  # a block, or its start, already written
            skip = min(track.next - first, len(adc))
            first, adc, value = first + skip, adc[skip:], value[skip:]
        if not len(adc):
            self._ack(mid)
            return
        if first > track.next:
            logger.warning("stand %s instrument %s: samples %d to %d did not arrive", track.stand, track.serial,
                           track.next, first - 1)
            track.gaps += first - track.next
        self._received(track, first, len(adc))
        writer = track.writer or self._open(track)
        times = np.arange(first, first + len(adc), dtype=np.float64) / float(track.info["samples_per_second"])
        writer.append(0, Block(None, first, times, adc, value, track.counters()))
        track.next = first + len(adc)
        track.samples += len(adc)
        self._unflushed.append(mid)

    def _received(self, track: Track, first: int, count: int) -> None:
        """A block of new samples is about to be written (a hook for measurements)."""

    def _open(self, track: Track) -> Writer:
        info = dict(track.info or {})
        info.update(stand=track.stand, serial=track.serial, collected_by=self.client_id)
        stamp = track.run.replace("-", "").replace(":", "")[:15] or "unknown"
        base = f"{track.stand}_{track.serial}_{stamp}"
        for n in range(1, 1000):
            path = self.directory / (base + (f"_{n}" if n > 1 else "") + SUFFIX)
            try:
                track.writer = open_writer(path, [info])
            except FileExistsError:
                continue
            self.files.append(path)
            logger.info("writing stand %s instrument %s into %s", track.stand, track.serial, path)
            return track.writer
        raise FileExistsError(f"{self.directory}: {base}_2 to _999 exist already")

    def _close(self, track: Track) -> None:
        if track.writer is None:
            return
        writer, track.writer = track.writer, None
        stats = track.stats
        if stats.get("end_reason") and track.next >= track.count("received"):
            writer.end(0, str(stats["end_reason"]), bool(stats.get("complete")), _moment(stats.get("end_utc")),
                       track.counters())
        else:  # the collector stops before the stand's run ended, or with samples of it still under way
            writer.end(0, "interrupted", False, stats=track.counters())
        writer.close()
        self._ack_written()

    def _flush(self) -> None:
        for track in self.tracks.values():
            if track.writer is not None:
                track.writer.flush()
        self._ack_written()

    def _ack_written(self) -> None:
        """Everything written so far is durable: let the broker forget it."""
        for mid in self._unflushed:
            self._ack(mid)
        self._unflushed = []

    def _ack(self, mid: int) -> None:
        if mid:
            self._connection.client.ack(mid, 1)


def _usable(track: Track, info: Metadata) -> Metadata:
    """The part of a stand's info a recording can hold (an empty one when it gives no rate); what is left out is logged."""
    kept: Metadata = {}
    for key, value in info.items():
        try:
            if key in _WRITTEN_KEYS:
                raise ValueError("the recording writes it itself")
            kept.update(check_metadata({key: value}))
        except ValueError as error:
            logger.warning("stand %s instrument %s: left %r out of the provenance: %s", track.stand, track.serial,
                           key, error)
    rate = kept.get("samples_per_second")
    if isinstance(rate, bool) or not isinstance(rate, (int, float)) or not 0 < rate < math.inf:
        logger.error("stand %s instrument %s: its info gives no sampling rate, so its data is dropped",
                     track.stand, track.serial)
        return {}
    return kept


def _moment(text: Any) -> Optional[datetime]:
    try:
        return datetime.fromisoformat(str(text))
    except ValueError:
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
                    info = {k: v for k, v in meta.items() if k not in _WRITTEN_KEYS}
                    known[key] = (max(known.get(key, (0, info))[0], end), info)
        except (OSError, ValueError, KeyError) as error:
            logger.warning("cannot read %s, so samples in it may be written again: %s", path, error)
    return known

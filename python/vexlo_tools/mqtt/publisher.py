"""The stand's side: a sink of the consumer engine that publishes every block to the broker.

Blocks go out as they come, about a quarter second of samples each
(``BATCH_SECONDS``): the engine reads at that pace for this sink, and a
longer block (after a stall) is cut into pieces of at most that much. Each
message carries its first sample number, so order, gaps and resends are told
from the numbers whatever the size.

Every block goes into the :class:`~vexlo_tools.mqtt.spool.Spool` on disk
first and leaves it a few seconds after the broker has acknowledged it (QoS
1), so blocks acquired while the broker is away, or before it was ever
reached, are sent, in order, when it is back. The spool outlives the
publisher: what a publisher killed left is sent by the next one of the stand,
first, under its own run, with that run's ``info`` and an end for it. A
broker keeps what it acknowledged in memory until its next save, so after
every reconnection the blocks acknowledged in those last seconds are sent
again before any other (the collector writes a repeated block once).
The instruments' provenance is published retained on ``.../info`` at every
connection, their counters on ``.../stats`` once a second, and the stand's
state on ``vexlo/<stand>/status``, ``online`` or, by the broker's last will
when the stand vanishes, ``offline``.
"""

from __future__ import annotations

import collections
import contextlib
import json
import logging
import math
import socket
import threading
import time
from datetime import datetime, timezone
from typing import Any, Deque, Dict, List, Optional, Sequence, Tuple

from .._options import DRAIN_SECONDS, SPOOL_MB
from ..engine import Sink
from ..recording.limits import LimitEvent
from ..recording.provenance import provenance
from ..recording.writers import instrument_names
from ..types import COUNTERS, Block, Stats, StreamEnd, StreamInfo
from . import layout, topics
from .broker import Broker, Connection, paho
from .spool import Spool, default_directory

logger = logging.getLogger("vexlo_tools.mqtt")

#: Messages sent and not yet acknowledged, at most.
WINDOW = 256
STATS_SECONDS = 1.0
#: The most samples of one message, in seconds of the stream; also how long samples may wait in the
#: acquisition for the publisher: one message, one acknowledgement, a few wake-ups per batch, not per read.
BATCH_SECONDS = 0.25


class PublishError(ConnectionError):
    """Blocks the broker never acknowledged before the publisher closed."""


class Publisher(Sink):
    """Publishes the blocks of every stream to ``vexlo/<stand>/<serial number>/data``.

    :param broker: the broker.
    :param stand: this stand's name in the topics (default: the host name).
    :param spool_mb: the most disk the spool may take, in MB (10^6 bytes).
    :param spool_dir: the spool's folder, kept across runs (default: the stand's folder in the
        user's state folder, :func:`~vexlo_tools.mqtt.spool.default_directory`).
    :param drain_seconds: how long :meth:`close` waits for the broker to acknowledge the rest.
    """

    name = "mqtt publisher"
    latency_seconds = BATCH_SECONDS

    def __init__(self, broker: Broker, stand: Optional[str] = None, *, spool_mb: float = SPOOL_MB,
                 spool_dir: Optional[str] = None, drain_seconds: float = DRAIN_SECONDS) -> None:
        self.broker = broker
        self.stand = topics.check_stand(stand or socket.gethostname().split(".")[0])
        if not spool_mb > 0:
            raise ValueError("the spool needs more than 0 MB")
        if not drain_seconds >= 0:
            raise ValueError(f"drain seconds {drain_seconds:g}: give 0 or more")
        self.spool_bytes = int(spool_mb * 1e6)
        self.spool_dir = spool_dir
        self.drain_seconds = drain_seconds
        self.serials: List[str] = []
        self.spool: Optional[Spool] = None
        self._old: List[Tuple[str, str, bytes, bytes]] = []  # earlier runs to end: topic, run, info, stats
        self._connection: Optional[Connection] = None
        self._infos: List[bytes] = []
        self._runs: List[str] = []
        self._topics: List[str] = []  # each instrument's data topic
        self._properties: Dict[str, Any] = {}  # the properties of a data message, by run
        self._expected: List[int] = []
        self._batch: List[int] = []  # the most samples of one message, per stream
        self._skipped: List[int] = []  # samples between blocks: the ring's overrun, and the engine's drops
        self._published: List[int] = []
        self._stats: List[Stats] = []
        #: Limit events handed on from the limit sink's thread, published from this sink's own.
        self._events: Deque[LimitEvent] = collections.deque()
        self._ends: Dict[int, StreamEnd] = {}
        self._sent: Dict[int, int] = {}  # paho's message id -> spool sequence number
        self._acked: Deque[int] = collections.deque()
        # The spool and _sent, used by the sink's thread and, at a reconnection, the network thread.
        self._lock = threading.Lock()
        self._last_stats = 0.0
        self._closed = False

    def connect(self) -> None:
        """Connect to the broker now (else :meth:`open` does), so that a broker that refuses is told at once;
        one that cannot be reached yet is tried again in the background while the spool keeps the blocks.

        :raises BrokerError: refused, TLS failed.
        """
        if self._connection is None:
            self._connection = self.broker.client(
                f"vexlo-publish-{self.stand}", clean_start=True, will=(topics.status(self.stand), b"offline"),
                prepare=self._prepare, patient=True)
            self._connection.on_connect = self._reconnected
            if self._connection.connected.is_set():
                self._announce()

    # ------------------------------------------------------------ sink

    def open(self, streams: Sequence[StreamInfo]) -> None:
        now = datetime.now(timezone.utc)
        metadata = [provenance(s, s.start_utc or now) for s in streams]
        self.serials = instrument_names(metadata)
        for meta in metadata:
            meta.update(stand=self.stand, data_layout=layout.VERSION)
        self._infos = [json.dumps(m).encode() for m in metadata]
        # Data messages name their run, so that a collector never files a late block under a newer run.
        self._runs = [str(m["start_utc"]) for m in metadata]
        self._topics = [topics.instrument(self.stand, serial, "data") for serial in self.serials]
        self._expected = [0] * len(streams)
        self._batch = [max(1, math.ceil(s.samples_per_second * BATCH_SECONDS)) for s in streams]
        self._skipped = [0] * len(streams)
        self._published = [0] * len(streams)
        self._stats = [Stats() for _ in streams]
        folder = self.spool_dir or default_directory(self.stand)
        with self._lock:
            self.spool = spool = Spool(folder, self.spool_bytes)
            # Runs of an earlier publisher of the stand: announced again and ended, their blocks sent first.
            current = set(zip(self._topics, self._runs))
            self._old = [(topic, run, info, _ended(run, stats, last))
                         for topic, run, info, stats, last, _ in spool.runs() if (topic, run) not in current]
            for topic, run, info in zip(self._topics, self._runs, self._infos):
                spool.remember(topic, run, info)
        if self._connection is None:
            self.connect()
        elif self._connection.connected.is_set():
            self._announce()

    def write(self, block: Block) -> None:
        assert self.spool is not None
        index = block.index
        gap = block.first_index - self._expected[index]
        flags = layout.GAP_BEFORE if gap else 0
        self._skipped[index] += max(0, gap)
        self._published[index] += len(block)
        batch = self._batch[index]
        for start in range(0, len(block), batch):
            first = block.first_index + start
            payload = layout.encode(first, block.adc[start:start + batch], block.value[start:start + batch],
                                    flags if start == 0 else 0)
            self._expected[index] = first + min(batch, len(block) - start)
            with self._lock:
                self.spool.append(self._topics[index], payload, self._expected[index] - first, self._runs[index],
                                  self._expected[index])
        self._stats[index] = block.stats
        self._send_events()
        self._pump()

    def tick(self, stats: Sequence[Stats]) -> None:
        self._stats = list(stats)
        self._send_events()
        self._pump()
        if time.monotonic() - self._last_stats >= STATS_SECONDS:
            self._publish_stats()

    def end(self, index: int, end: StreamEnd) -> None:
        self._send_events()
        self._stats[index] = end.stats
        self._ends[index] = end
        self._publish_stats([index])

    def publish_event(self, event: LimitEvent) -> None:
        """Publish a limit event (a :data:`~vexlo_tools.recording.LimitListener`): retained, QoS 1, on
        ``vexlo/<stand>/<serial>/event``, so that a dashboard that comes later sees each instrument's last alarm.

        Safe from any thread. The event goes out from this sink's own thread, with its next block or tick
        or at its close: after its run's ``info``, which this sink publishes when it opens (each sink of an
        engine opens on its own thread, so a limit sink can find a crossing before this one has opened).
        """
        self._events.append(event)

    def _send_events(self) -> None:
        connection = self._connection
        while self._events:
            event = self._events.popleft()
            if connection is not None and 0 <= event.index < len(self.serials):
                connection.client.publish(topics.instrument(self.stand, self.serials[event.index], "event"),
                                          json.dumps(event.metadata()).encode(), qos=1, retain=True)

    def close(self) -> None:
        """Wait for the broker to acknowledge the spool (:attr:`drain_seconds` at most), say offline, disconnect.

        :raises PublishError: blocks remained unacknowledged (they stay in the spool for the next publisher).
        """
        connection, spool = self._connection, self.spool
        if connection is None or self._closed:
            return
        self._closed = True
        try:
            self._send_events()
            left = 0
            if spool is not None:
                deadline = time.monotonic() + self.drain_seconds
                while self._unacknowledged() and time.monotonic() < deadline:
                    self._pump()
                    time.sleep(0.02)
                self._publish_stats()
                with self._lock:
                    left = len(spool)
                    for topic, run, _, _, _, waiting in spool.runs():
                        if not waiting:
                            spool.forget(topic, run)  # delivered: an end is no longer owed
                for index, serial in enumerate(self.serials):
                    dropped = spool.dropped.get((self._topics[index], self._runs[index]), 0)
                    logger.info("instrument %s: %d samples published%s", serial, self._published[index],
                                f", {dropped} of them dropped from the full spool" if dropped else "")
            offline = connection.client.publish(topics.status(self.stand), b"offline", qos=1, retain=True)
            with contextlib.suppress(RuntimeError, ValueError):  # not connected: the last will says it
                offline.wait_for_publish(2)
            if left:
                raise PublishError(f"the broker at {self.broker} did not acknowledge {left} blocks within "
                                   f"{self.drain_seconds:g} s; they stay in the spool at {spool and spool.directory} "
                                   f"and go first with the next publisher of stand {self.stand}")
        finally:
            connection.close()
            if spool is not None:
                with self._lock:
                    spool.close()

    # ------------------------------------------------------------ broker

    def _prepare(self, client: Any) -> None:
        client.on_publish = self._on_publish
        # No limit in the client (WINDOW is the limit): a message it held back would go out after the
        # client's own resends of a reconnection, where _reconnected must come first.
        client.max_inflight_messages_set(0)

    def _reconnected(self) -> None:
        """On the network thread, at every connection after the first, before the client resends what it holds.

        The broker may have lost what it acknowledged since its last save (killed): the blocks of the
        last seconds go again, first, so that the collector gets them in order.
        """
        self._announce()
        with self._lock:
            if self.spool is None:
                return
            self._note_acknowledged()  # those of the lost connection too, which the client no longer holds
            for message in self.spool.acknowledged():
                self._send(*message)

    def _announce(self) -> None:
        """On every connection: the stand is online, and what its instruments are (retained)."""
        assert self._connection is not None
        client = self._connection.client
        client.publish(topics.status(self.stand), b"online", qos=1, retain=True)
        for topic, run, info, stats in self._old:  # not retained: the current runs' info is
            client.publish(topic[:-len("data")] + "info", info, qos=1)
            client.publish(topic[:-len("data")] + "stats", stats, qos=1)
        for serial, info in zip(self.serials, self._infos):
            client.publish(topics.instrument(self.stand, serial, "info"), info, qos=1, retain=True)

    def _on_publish(self, client: Any, userdata: Any, mid: int, reason: Any, properties: Any) -> None:
        self._acked.append(mid)  # taken under self._lock, elsewhere (the client's lock is held here)

    def _pump(self) -> None:
        """Note what the broker acknowledged; send from the spool while the window has room."""
        assert self.spool is not None and self._connection is not None
        with self._lock:
            self._note_acknowledged()
            # While away, the client keeps what it holds and the rest waits in the spool. Asked before each
            # message: one sent on a new connection before _reconnected would overtake what it sends again.
            while len(self._sent) < WINDOW and self._connection.connected.is_set():
                taken = self.spool.take(1)
                if not taken:
                    break
                self._send(*taken[0])

    def _note_acknowledged(self) -> None:
        assert self.spool is not None
        while self._acked:
            sequence = self._sent.pop(self._acked.popleft(), None)
            if sequence is not None:
                self.spool.acknowledge(sequence)

    def _send(self, sequence: int, topic: str, payload: bytes, run: str) -> None:
        assert self._connection is not None
        properties = self._properties.get(run)
        if properties is None:
            properties = self._properties[run] = _run_property(run)
        message = self._connection.client.publish(topic, payload, qos=1, properties=properties)
        self._sent[message.mid] = sequence

    def _unacknowledged(self) -> int:
        assert self.spool is not None
        with self._lock:
            return len(self.spool)

    def _publish_stats(self, which: Optional[Sequence[int]] = None) -> None:
        assert self.spool is not None and self._connection is not None
        self._last_stats = time.monotonic()
        now = datetime.now(timezone.utc).isoformat(timespec="milliseconds")
        for index in range(len(self.serials)) if which is None else which:
            serial = self.serials[index]
            content: Dict[str, Any] = {name: int(getattr(self._stats[index], name)) for name in COUNTERS}
            # Skipped samples that the ring did not drop were dropped by the engine for this
            # sink (a slow broker link): received by the stand, never published.
            key = (self._topics[index], self._runs[index])
            content.update(start_utc=self._runs[index], spool_dropped=self.spool.dropped.get(key, 0),
                           spool_corrupted=self.spool.corrupted.get(key, 0),
                           not_published=max(0, self._skipped[index] - content["overrun"]),
                           spooled=self._unacknowledged(), time_utc=now)
            end = self._ends.get(index)
            if end is not None:
                content.update(end_reason=end.reason, complete=end.complete, end_utc=end.end_utc.isoformat())
            payload = json.dumps(content).encode()
            with self._lock:
                self.spool.note_stats(*key, payload)
            self._connection.client.publish(topics.instrument(self.stand, serial, "stats"), payload, qos=1,
                                            retain=True)


def _ended(run: str, stats: Optional[bytes], last: int) -> bytes:
    """The stats that end a run an earlier publisher left: its own end if it published one, else
    ``interrupted``, counting at least the samples it spooled."""
    content: Dict[str, Any] = json.loads(stats) if stats else {"start_utc": run}
    content["received"] = max(int(content.get("received", 0)), last)
    content.setdefault("end_reason", "interrupted")
    if content["end_reason"] == "interrupted":
        content.update(complete=False, end_utc=content.get("time_utc") or datetime.now(timezone.utc).isoformat())
    return json.dumps(content).encode()


def _run_property(run: str) -> Any:
    mqtt = paho()
    properties = mqtt.Properties(mqtt.PacketTypes.PUBLISH)
    properties.UserProperty = ("run", run)
    return properties

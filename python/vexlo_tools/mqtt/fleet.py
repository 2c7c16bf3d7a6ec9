"""The fleet on one page: every stand and instrument a broker carries, shown as the live page shows this computer's.

A :class:`FleetView` subscribes (a clean session of its own, data at QoS 0:
a page keeps nothing and asks the broker to keep nothing) to the stands'
``status``, and their instruments' retained ``info``, ``stats`` and ``event``
and their ``data``. Every message passes :mod:`~vexlo_tools.mqtt.checks`
first; one that fails is counted for its stand, logged, and changes nothing
else. It is an :class:`~vexlo_tools.live.InstrumentView`, the source the
page draws from, so :func:`serve` is the same page, gate and shared frames
as ``vexlo serve``, read-only. Nothing is written to disk; each instrument
keeps a :class:`~vexlo_tools.live.Trace` (bounded by the longest window), and
the stands and instruments a broker can make it keep are bounded too.
"""

from __future__ import annotations

import fnmatch
import logging
import re
import socket
import threading
import time
import uuid
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from .. import web
from .._options import MAX_VIEWERS
from ..live import InstrumentView, Trace, _Instrument, limit_badge
from ..types import Stats
from . import checks, topics
from .broker import Broker, paho

__all__ = ["FleetView", "check_pattern", "serve"]

logger = logging.getLogger("vexlo_tools.mqtt")

#: The most stands and instruments one page follows; beyond, their messages are refused.
MAX_STANDS = 256
MAX_INSTRUMENTS = 128
#: Refusals logged per stand in full; beyond, every thousandth (a flood must not flood the log).
LOGGED_REFUSALS = 20
#: The counters of a stand's spool that a card shows beside the stream's.
SPOOL_COUNTERS = ("spooled", "spool_dropped", "spool_corrupted", "not_published")
_PATTERN = re.compile(r"[A-Za-z0-9._*?\[\]!-]{1,64}")


def check_pattern(pattern: str) -> str:
    """``pattern`` if it can select stands: a name, or one with the shell's ``*``, ``?`` and ``[...]``.

    :raises ValueError: it cannot.
    """
    if not _PATTERN.fullmatch(pattern):
        raise ValueError(f"stand pattern {pattern[:80]!r}: use letters, digits, '.', '_', '-' and * ? [ ]")
    return pattern


@dataclass
class _Stand:
    status: Optional[str] = None
    #: Host time of its newest data message.
    newest: Optional[float] = None
    rejected: int = 0


class _Run:
    """The run of one instrument the page shows: its start, rate, and where its samples stand."""

    def __init__(self, stand: str, run: str, rate: float) -> None:
        self.stand, self.run, self.start, self.rate = stand, run, checks.moment(run), rate
        self.view = _Instrument(Trace(rate), Stats(), extra={"stand": stand})
        self.joined = False


class FleetView(InstrumentView):
    """The page's source for a fleet: the stands and instruments seen on ``broker``, kept up to date.

    :param broker: the broker.
    :param stands: shell patterns of the stands to show (all when empty).
    :param clock: host time in seconds.
    :ivar rejected: messages that failed their checks, in all.
    """

    def __init__(self, broker: Broker, stands: Sequence[str] = (), *, clock: Callable[[], float] = time.time) -> None:
        super().__init__(clock)
        self.broker = broker
        self.patterns = [check_pattern(p) for p in stands]
        self.rejected = 0
        self._stands: Dict[str, _Stand] = {}
        self._runs: Dict[Tuple[str, str], _Run] = {}
        #: stats and events that came before their instrument's info (retained ones come in any order).
        self._early: Dict[Tuple[str, str, str], Dict[str, Any]] = {}
        self._facts_by: Dict[Tuple[str, str], Dict[str, Any]] = {}
        self._connection: Any = None

    # ------------------------------------------------------------ the broker

    def connect(self) -> None:
        """Connect and subscribe; a broker that cannot be reached yet is tried again in the background.

        :raises vexlo_tools.mqtt.BrokerError: the broker refuses, or TLS failed.
        """
        def prepare(client: Any) -> None:
            client.on_message = lambda c, u, message: self.receive(
                message.topic, message.payload, dict(getattr(message.properties, "UserProperty", None) or ()).get("run"))

        client_id = f"vexlo-serve-{socket.gethostname()}-{uuid.uuid4().hex[:8]}"[:64]
        self._connection = self.broker.client(client_id, clean_start=True, prepare=prepare, patient=True)
        self._connection.on_connect = self._subscribe
        if self._connection.connected.is_set():
            self._subscribe()

    @property
    def connected(self) -> bool:
        """Whether the broker is connected now."""
        return self._connection is not None and bool(self._connection.connected.is_set())

    def close(self) -> None:
        if self._connection is not None:
            self._connection.close()
            self._connection = None

    def _subscribe(self) -> None:
        mqtt = paho()
        wanted: List[Tuple[str, Any]] = []
        # Exact names are asked of the broker as they are; patterns are sorted here from every stand.
        names = self.patterns if self.patterns and not any(set(p) & set("*?[") for p in self.patterns) else ["+"]
        for stand in names:
            wanted.append((topics.status(stand), mqtt.SubscribeOptions(qos=1)))
            wanted += [(topics.instrument(stand, "+", kind), mqtt.SubscribeOptions(qos=1))
                       for kind in ("info", "stats", "event")]
            # The page keeps nothing: the broker need not keep the data for it either.
            wanted.append((topics.instrument(stand, "+", "data"), mqtt.SubscribeOptions(qos=0)))
        self._connection.client.subscribe(wanted)

    # ------------------------------------------------------------ messages

    def receive(self, topic: str, payload: bytes, run: Optional[str] = None) -> None:
        """Take one message (``run``: a data message's ``run`` property); one that fails its checks is
        counted and logged, and changes nothing else."""
        try:
            self._take(topic, payload, run)
        except Exception as error:  # noqa: BLE001 (whatever one message does, the page goes on)
            reason = str(error) if isinstance(error, checks.Rejected) else f"{type(error).__name__}: {error}"
            with self._lock:
                self.rejected += 1
                stand = self._stands.get(checks.stand_of(topic))
                if stand is not None:
                    stand.rejected += 1
                count = stand.rejected if stand is not None else self.rejected
            if count <= LOGGED_REFUSALS or count % 1000 == 0:
                logger.warning("refused a message on %r (%d refused): %s", topic[:200], count, reason)

    def _take(self, topic: str, payload: bytes, run: Optional[str]) -> None:
        stand, serial, kind = checks.topic(topic)
        if self.patterns and not any(fnmatch.fnmatchcase(stand, p) for p in self.patterns):
            return
        if kind == "data":
            self._data(stand, serial, payload, checks.run(run))
            return
        if kind == "status":
            state = checks.status(payload)
            if state not in ("online", "offline"):
                raise checks.Rejected(f"status: {state[:40]!r} is neither online nor offline")
            with self._lock:
                self._stand(stand).status = state
                for (name, _), shown in self._runs.items():
                    if name == stand:
                        shown.view.extra["offline"] = state == "offline"
            return
        content = checks.json_object(payload, kind)
        if kind == "info":
            checks.info(content)
            self._info(stand, serial, checks.start(content), content)
        elif kind == "stats":
            self._later(stand, serial, "stats", checks.stats(content))
        else:
            self._later(stand, serial, "event", checks.event(content))

    def _stand(self, name: str) -> _Stand:
        """The stand called ``name``, new if need be (under the lock)."""
        stand = self._stands.get(name)
        if stand is None:
            if len(self._stands) >= MAX_STANDS:
                raise checks.Rejected(f"the page follows at most {MAX_STANDS} stands")
            stand = self._stands[name] = _Stand()
        return stand

    def _info(self, stand: str, serial: str, run: str, content: Dict[str, Any]) -> None:
        key = (stand, serial)
        rate = checks.rate(content["samples_per_second"])
        with self._lock:
            shown = self._runs.get(key)
            if shown is not None and (shown.run == run or shown.start > checks.moment(run)):
                return  # announced again, or an earlier run a stand sends what it left of
            if shown is None and len(self._runs) >= MAX_INSTRUMENTS:
                raise checks.Rejected(f"the page follows at most {MAX_INSTRUMENTS} instruments")
            state = self._stand(stand).status
            new = _Run(stand, run, rate)
            new.view.extra["offline"] = state == "offline"
            if shown is not None and "event" in shown.view.extra:
                new.view.extra["event"] = shown.view.extra["event"]  # the instrument's last alarm stays
            self._runs[key] = new
            self._early = {k: v for k, v in self._early.items() if k[:2] != key or k[2] == "event"
                           or v.get("start_utc") == run}
            for (name, number, kind), early in list(self._early.items()):
                if (name, number) == key:
                    self._apply(new, kind, early)
                    del self._early[name, number, kind]
            self._facts_of(key, content)
            ordered = sorted(self._runs)
            self._instruments = [self._runs[k].view for k in ordered]
            self._facts = [self._facts_by[k] for k in ordered]
            self.generation += 1

    def _facts_of(self, key: Tuple[str, str], info: Dict[str, Any]) -> None:
        """What a card says of an instrument, from its ``info`` (checked), in the local page's shape."""
        text = {name: str(info.get(name, "?"))[:200] for name in
                ("model", "serial_number", "port", "unit", "firmware", "item_number", "calibration")}
        rate = float(info["samples_per_second"])
        self._facts_by[key] = {**text, "stand": key[0], "instrument": key[1], "samples_per_second": rate,
                               "rates": [rate], "start_utc": str(info["start_utc"])}

    def _later(self, stand: str, serial: str, kind: str, content: Dict[str, Any]) -> None:
        """A ``stats`` or ``event`` message: applied to its instrument, or kept until its info comes."""
        with self._lock:
            self._stand(stand)
            shown = self._runs.get((stand, serial))
            if shown is not None:
                self._apply(shown, kind, content)
            elif len(self._early) < 2 * MAX_INSTRUMENTS or (stand, serial, kind) in self._early:
                self._early[stand, serial, kind] = content

    @staticmethod
    def _apply(shown: _Run, kind: str, content: Dict[str, Any]) -> None:
        view = shown.view
        if kind == "event":
            view.extra["event"] = limit_badge(content)
        elif content["start_utc"] == shown.run:  # the counters of another run are not this one's
            view.stats = checks.counters(content)
            view.extra["spool"] = {key: checks.count(content, key) for key in SPOOL_COUNTERS}
            reason = content.get("end_reason")
            view.ended = str(reason) if reason else None

    def _data(self, stand: str, serial: str, payload: bytes, run: Optional[str]) -> None:
        with self._lock:
            shown = self._runs.get((stand, serial))
        if shown is None or (run is not None and run != shown.run):
            return  # no info yet (it is retained: it comes), or an earlier run's block sent again
        frame = checks.data(payload, shown.rate, shown.start)
        with self._lock:
            view = shown.view
            if not shown.joined:  # the page joins a run where it is
                view.expected, shown.joined = frame.first, True
            end = frame.first + len(frame.value)
            if end <= view.expected:
                return  # sent again (a stand's reconnection), or out of order: the chart only moves on
            # Samples that never came (or came before the page) are counted, and the chart closes up.
            view.skipped += max(0, frame.first - view.expected)
            view.trace.add(frame.value[max(0, view.expected - frame.first):])
            view.expected = end
            self._stands[stand].newest = self._clock()

    # ------------------------------------------------------------ the page's side

    def stands(self) -> Dict[str, Dict[str, Any]]:
        """Each stand's state (``online``, ``offline`` or ``None`` if it said none), seconds since its newest
        data (``None`` before any) and messages refused."""
        with self._lock:
            found: Dict[str, Dict[str, Any]] = self._head()["stands"]
            return found

    def _head(self) -> Dict[str, Any]:
        now = self._clock()
        return {"rejected": self.rejected, "connected": self.connected,
                "stands": {name: {"status": stand.status, "rejected": stand.rejected,
                                  "age": None if stand.newest is None else max(0.0, now - stand.newest)}
                           for name, stand in sorted(self._stands.items())}}


def serve(broker: Broker, stands: Sequence[str] = (), *, seconds: Optional[float] = None, host: str = "127.0.0.1",
          http_port: int = 8765, token: Optional[str] = None, max_viewers: int = MAX_VIEWERS,
          announce: Callable[[str], None] = print, stop: Optional[threading.Event] = None) -> int:
    """Serve the page of the fleet on ``broker``, read-only, until ``seconds`` have passed, ``stop`` is set or Ctrl-C.

    :param stands: shell patterns of the stands to show (all when empty).
    :param host: the address to listen on; other than this computer's own, a token is required.
    :param http_port: the port to listen on.
    :param token: the access token (made up when ``host`` is not loopback and none is given).
    :param max_viewers: viewers served at once; one more is told so.
    :param announce: told the page's address once the server listens.
    :return: the exit status, 0.
    :raises OSError: the address cannot be listened on.
    :raises ValueError: a token shorter than 16 characters, or a stand pattern that selects nothing.
    :raises vexlo_tools.mqtt.BrokerError: the broker refuses, or TLS failed.
    """
    token = web.needed_token(host, token)
    view = FleetView(broker, stands)
    page = web.Page(view, token=token, max_viewers=max_viewers)
    view.connect()
    deadline = None if seconds is None else time.monotonic() + seconds
    try:
        with web.WebServer(web.create_app(page), host, http_port):
            announce(f"fleet page of {broker} at {web.page_address(host, http_port, token)}")
            while deadline is None or time.monotonic() < deadline:
                page.problem = None if view.connected else f"not connected to the broker at {broker}; trying again"
                if stop is not None and stop.wait(0.25):
                    break
                if stop is None:
                    time.sleep(0.25)
    except KeyboardInterrupt:
        pass
    finally:
        page.frames.close()
        view.close()
    return 0


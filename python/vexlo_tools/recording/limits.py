"""Limits that raise alarms: each crossing of a condition is an event, said, kept and acted on.

A :class:`LimitSink` watches every instrument for crossings of its
conditions (``value > 900``, see :class:`~.conditions.Condition`). Each
crossing is a :class:`LimitEvent`: a warning on the ``vexlo_tools.limits``
logger, a call of every listener subscribed (:meth:`LimitSink.subscribe`:
a recording that keeps it, :meth:`RecordingSink.add_event
<vexlo_tools.recording.RecordingSink.add_event>`; a live page's badge; a
fleet's retained message), and, if asked, a command run with the event in
its environment. The command is an argument list, run without a shell:
nothing in an event (a condition's text, a serial number) can become part
of a command line.

Give an engine the limit sink before a recording that keeps its events:
stopping finishes the sinks in their order, so the recording then gets
every event before it closes.
"""

from __future__ import annotations

import collections
import json
import logging
import os
import subprocess
import threading
import time
from dataclasses import asdict, dataclass
from datetime import timedelta
from typing import Callable, Deque, Dict, List, Optional, Sequence, Tuple, Union

from ..engine import Sink
from ..types import Block, Stats, StreamInfo
from .conditions import Condition, Crossings
from .writers import Metadata

__all__ = ["EventInbox", "LimitEvent", "LimitListener", "LimitSink", "MAX_COMMANDS"]

logger = logging.getLogger("vexlo_tools.limits")

#: Commands of events that run at once at most; an event beyond finds them busy and runs none
#: (said in the log): an alarm storm must not start thousands of processes.
MAX_COMMANDS = 4
#: How long closing waits for the commands still running, all together, before it leaves them be.
COMMAND_WAIT_SECONDS = 5.0


@dataclass(frozen=True)
class LimitEvent:
    """One crossing of a limit.

    :ivar condition: the condition crossed, as text.
    :ivar index: the instrument's position in the run's streams.
    :ivar serial_number: the instrument's serial number.
    :ivar model: its model.
    :ivar sample: the number of the first sample beyond the limit.
    :ivar time_s: that sample's time (s since streaming started).
    :ivar utc: its UTC time (ISO 8601): the stream's start plus ``time_s``.
    :ivar value: its calibrated value.
    :ivar adc: its count.
    """

    condition: str
    index: int
    serial_number: int
    model: str
    sample: int
    time_s: float
    utc: str
    value: float
    adc: int

    def metadata(self) -> Metadata:
        """The event as a recording keeps it (flat keys; ``kind`` ``"limit"``)."""
        found: Metadata = {"kind": "limit"}
        found.update({k: v for k, v in asdict(self).items() if k != "index"})
        return found

    def environment(self) -> Dict[str, str]:
        """The event as the environment of a command: ``VEXLO_EVENT`` (JSON) and ``VEXLO_EVENT_<KEY>`` each."""
        found = {f"VEXLO_EVENT_{k.upper()}": str(v) for k, v in self.metadata().items()}
        found["VEXLO_EVENT"] = json.dumps(self.metadata())
        return found


class EventInbox:
    """Events handed over from another thread (a limit sink's listener) to the sink that keeps them."""

    def __init__(self) -> None:
        self._events: Deque[Tuple[int, Metadata]] = collections.deque()
        self._lock = threading.Lock()

    def put(self, index: int, event: Metadata) -> None:
        """An event of instrument ``index`` (flat keys); safe from any thread."""
        with self._lock:
            self._events.append((index, dict(event)))

    def take(self) -> List[Tuple[int, Metadata]]:
        """Every event put since the last take, oldest first."""
        with self._lock:
            events, self._events = list(self._events), collections.deque()
        return events


#: What :meth:`LimitSink.subscribe` takes: called with each event on the sink's thread; it should be quick.
LimitListener = Callable[[LimitEvent], None]


class LimitSink(Sink):
    """Raises an alarm at each crossing of each condition by each instrument (see the module's description).

    :param conditions: the conditions (or their texts).
    :param listeners: called with each event; more with :meth:`subscribe`.
    :param command: an argument list run at each event (no shell), with
        :meth:`LimitEvent.environment` added to this process's environment.
    :raises ValueError: a bad condition, or an empty command.
    """

    name = "limits"
    # An alarm a tenth of a second after the samples came is soon enough for a person or a command, and
    # the engine then reads ten times a second for it rather than fifty (see bench row 70).
    latency_seconds = 0.1

    def __init__(self, conditions: Sequence[Union[Condition, str]], *, listeners: Sequence[LimitListener] = (),
                 command: Optional[Sequence[str]] = None) -> None:
        self.conditions = [c if isinstance(c, Condition) else Condition.parse(c) for c in conditions]
        if not self.conditions:
            raise ValueError("no limit to watch")
        self.command = None if command is None else list(command)
        if self.command is not None and (not self.command or not self.command[0] or
                                         any(not isinstance(a, str) or "\0" in a for a in self.command)):
            raise ValueError("a limit's command is a program and its arguments, texts without NUL characters")
        self.listeners: List[LimitListener] = list(listeners)
        #: Every event so far, in order.
        self.events: List[LimitEvent] = []
        self._running: List[subprocess.Popen[bytes]] = []

    def subscribe(self, listener: LimitListener) -> None:
        """Call ``listener`` with each event from now on."""
        self.listeners.append(listener)

    def unsubscribe(self, listener: LimitListener) -> None:
        """Stop calling ``listener``."""
        self.listeners = [f for f in self.listeners if f is not listener]

    def open(self, streams: Sequence[StreamInfo]) -> None:
        self.streams = list(streams)
        self.watches = [[Crossings(c) for c in self.conditions] for _ in streams]

    def write(self, block: Block) -> None:
        stream = self.streams[block.index]
        found = [(position, crossings) for crossings in self.watches[block.index]
                 for position in crossings.find(block.value, block.adc)]
        for position, crossings in sorted(found, key=lambda pair: pair[0]):
            sample = block.first_index + position
            time_s = float(block.time[position])
            utc = (stream.start_utc + timedelta(seconds=time_s)).isoformat(timespec="microseconds") \
                if stream.start_utc else ""
            self._raise(LimitEvent(str(crossings.condition), block.index, int(stream.serial_number), stream.model,
                                   sample, time_s, utc, float(block.value[position]), int(block.adc[position])))

    def _raise(self, event: LimitEvent) -> None:
        self.events.append(event)
        logger.warning("limit %s crossed by %s %s at sample %d (%s): %g", event.condition, event.model,
                       event.serial_number, event.sample, event.utc, event.value)
        for listener in list(self.listeners):
            try:
                listener(event)
            except Exception as error:  # a listener's fault is its own: the alarm goes on
                logger.error("a listener of limit events failed: %s", error)
        if self.command is not None:
            self._run(event)

    def _run(self, event: LimitEvent) -> None:
        self._reap()
        if len(self._running) >= MAX_COMMANDS:
            logger.error("limit command not run for the event at sample %d: %d commands still running",
                         event.sample, len(self._running))
            return
        assert self.command is not None
        try:
            self._running.append(subprocess.Popen(self.command, env={**os.environ, **event.environment()},
                                                  stdin=subprocess.DEVNULL, close_fds=True, shell=False))
        except OSError as error:
            logger.error("limit command %s could not run: %s", self.command[0], error)

    def _reap(self) -> None:
        still: List[subprocess.Popen[bytes]] = []
        for process in self._running:
            code = process.poll()
            if code is None:
                still.append(process)
            elif code != 0:
                logger.error("limit command %s ended with status %d", self.command and self.command[0], code)
        self._running = still

    def tick(self, stats: Sequence[Stats]) -> None:
        self._reap()

    def close(self) -> None:
        deadline = time.monotonic() + COMMAND_WAIT_SECONDS
        for process in self._running:
            try:
                process.wait(max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                logger.warning("limit command %s (process %d) still runs; left to finish", process.args,
                               process.pid)
        self._reap()

"""Every check of a message from the broker, before anything uses it: one place for every consumer.

A broker hands on whatever a client with the right to publish sent, so a
collector (or a page) takes nothing from a message on trust: the topic's
levels are names a stand's publisher would make, an ``info`` or ``stats``
message is a bounded JSON object of the expected types, a data message has
the exact layout, finite values and sample numbers its run could have reached
by now. A message that fails raises :class:`Rejected`, whose text says why;
the caller acknowledges it, logs it once, counts it and writes nothing of it.

What the checks cannot tell is a well-formed message from a client that
should not have sent it: rights live at the broker (``docs/mqtt.md``).
"""

from __future__ import annotations

import json
from datetime import datetime, timezone
from typing import Any, Dict, Optional, Tuple

import numpy as np

from ..recording import Metadata
from ..types import Stats
from ..recording.writers import MAX_TEXT, WRITTEN, check_metadata
from . import layout, topics

#: The kinds of an instrument's topics (a new kind is one more name here; a consumer takes the kinds it knows).
KINDS = ("data", "event", "info", "stats")
#: The largest JSON message (an instrument's provenance is a few kB).
MAX_JSON_BYTES = 64 * 1024
#: The largest status message (``online``, ``offline``).
MAX_STATUS_BYTES = 64
#: The most samples one data message may hold (a second at the fastest rate, many times over).
MAX_SAMPLES = 1 << 20
#: The fastest sampling rate an ``info`` may give.
MAX_RATE = 1e7
#: How far ahead of the collector's clock a stand's may be: sample numbers up to
#: ``rate * (seconds since the run's start + SLACK_SECONDS)`` are plausible.
SLACK_SECONDS = 300.0
#: The longest ISO time text (``2026-12-08T02:06:37.621000+00:00`` is 32).
MAX_TIME_TEXT = 40
#: The largest counter a ``stats`` message may hold.
MAX_COUNT = 2**62
#: Keys of a collector's recording that it gives itself, never taken from a stand's ``info``.
WRITTEN_KEYS = WRITTEN + ("collected_by", "rejected")


class Rejected(ValueError):
    """A message that fails its checks; the text says why."""


def name(level: str, what: str = "stand") -> str:
    """``level`` if a publisher could have made it (letters, digits, ``._-``, 1 to 64, not ``.`` or ``..``).

    :raises Rejected: it is not.
    """
    try:
        return topics.check_stand(level, what)
    except ValueError as error:
        raise Rejected(str(error)) from None


def topic(text: str) -> Tuple[str, str, str]:
    """``(stand, serial, kind)`` of an instrument's topic, or ``(stand, "", "status")``.

    :raises Rejected: not a topic of the tree, or a level that is not a name.
    """
    parts = text.split("/")
    if len(parts) == 3 and parts[0] == topics.ROOT and parts[2] == "status":
        return name(parts[1], "stand"), "", "status"
    if len(parts) == 4 and parts[0] == topics.ROOT and parts[3] in KINDS:
        return name(parts[1], "stand"), name(parts[2], "instrument"), parts[3]
    raise Rejected(f"topic {text[:200]!r} is not one of {topics.ROOT}/STAND/status, "
                   f"{topics.ROOT}/STAND/SERIAL/{{{','.join(KINDS)}}}")


def stand_of(text: str) -> str:
    """The stand a topic names when its level is a name, else "" (to count a refused message by stand)."""
    parts = text.split("/")
    try:
        return name(parts[1]) if len(parts) > 2 and parts[0] == topics.ROOT else ""
    except Rejected:
        return ""


def moment(value: Any, what: str = "start_utc") -> datetime:
    """The aware time an ISO text gives.

    :raises Rejected: not an ISO time with its offset from UTC.
    """
    if not isinstance(value, str) or len(value) > MAX_TIME_TEXT:
        raise Rejected(f"{what} is not an ISO time text")
    try:
        parsed = datetime.fromisoformat(value)
    except ValueError:
        raise Rejected(f"{what} {value!r} is not an ISO time") from None
    if parsed.tzinfo is None:
        raise Rejected(f"{what} {value!r} has no offset from UTC")
    try:
        parsed.astimezone(timezone.utc)  # the file name is made of the UTC time
    except OverflowError:
        raise Rejected(f"{what} {value!r} is out of range") from None
    return parsed


def run(value: Optional[str]) -> Optional[str]:
    """The run a data message names (its ``run`` property, the run's ``start_utc``), checked; ``None`` if none.

    :raises Rejected: a run that is not an ISO time.
    """
    if value is None:
        return None
    moment(value, "the run")
    return value


def start(content: Dict[str, Any]) -> str:
    """The run an ``info`` or ``stats`` object names: its ``start_utc``, checked.

    :raises Rejected: not an ISO time.
    """
    value = content.get("start_utc")
    moment(value)
    return str(value)


def json_object(payload: bytes, kind: str) -> Dict[str, Any]:
    """The JSON object of an ``info`` or ``stats`` message (non-finite numbers are refused).

    :raises Rejected: too large, not JSON, or not an object.
    """
    if len(payload) > MAX_JSON_BYTES:
        raise Rejected(f"{kind}: {len(payload)} bytes, more than {MAX_JSON_BYTES}")
    try:
        content = json.loads(payload, parse_constant=_no_constant)
    except (ValueError, RecursionError) as error:
        raise Rejected(f"{kind}: not JSON ({str(error)[:80]})") from None
    if not isinstance(content, dict):
        raise Rejected(f"{kind}: not a JSON object")
    return content


def _no_constant(text: str) -> None:
    raise ValueError(f"{text} is not a number JSON knows")


def rate(value: Any) -> float:
    """A sampling rate: a number, finite, above 0 and at most :data:`MAX_RATE`.

    :raises Rejected: it is not.
    """
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 < value <= MAX_RATE:
        raise Rejected(f"samples_per_second {str(value)[:40]!r} is not a rate above 0 and up to {MAX_RATE:g}")
    return float(value)


def info(content: Dict[str, Any]) -> Tuple[Metadata, Dict[str, str]]:
    """An ``info`` message's object (:func:`json_object`): its provenance as a recording can hold it, and
    the keys left out with why.

    Keys a recording cannot hold (nested values, odd names, the counters it writes itself) are left
    out, not refused: the provenance is what the stand says, as far as a file can keep it.

    :raises Rejected: not a JSON object, or no ISO ``start_utc`` or usable ``samples_per_second``.
    """
    start(content)
    rate(content.get("samples_per_second"))
    kept: Metadata = {}
    left: Dict[str, str] = {}
    for key, value in content.items():
        try:
            if key in WRITTEN_KEYS:
                raise ValueError("the recording writes it itself")
            kept.update(check_metadata({key: value}))
        except ValueError as error:
            left[str(key)[:80]] = str(error)
    return kept, left


def stats(content: Dict[str, Any]) -> Dict[str, Any]:
    """A ``stats`` message's object (:func:`json_object`), checked: ``start_utc`` an ISO time, counters
    whole numbers from 0 to :data:`MAX_COUNT`,
    ``end_reason`` text of at most :data:`~vexlo_tools.recording.writers.MAX_TEXT` characters,
    ``complete`` true or false, ``end_utc`` an ISO time.

    :raises Rejected: one of these is not so.
    """
    start(content)
    for key, value in content.items():
        if key in ("start_utc", "time_utc", "end_utc"):
            if key != "start_utc" and value is not None:
                moment(value, key)
        elif key == "end_reason":
            if not isinstance(value, str) or not 0 < len(value) <= MAX_TEXT or "\0" in value:
                raise Rejected(f"stats: end_reason is not a text of 1 to {MAX_TEXT} characters")
        elif key == "complete":
            if not isinstance(value, bool):
                raise Rejected("stats: complete is not true or false")
        elif isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= MAX_COUNT:
            raise Rejected(f"stats: {str(key)[:40]!r} is not a count")
    return content


#: A limit event's keys and their types (``vexlo publish --limit`` sends them, retained).
EVENT_KEYS = {"kind": str, "condition": str, "serial_number": int, "model": str, "sample": int, "time_s": float,
              "utc": str, "value": float, "adc": int}


def event(content: Dict[str, Any]) -> Dict[str, Any]:
    """An ``event`` message's object (:func:`json_object`): a limit event with exactly its keys, texts of at
    most :data:`~vexlo_tools.recording.writers.MAX_TEXT` characters, whole numbers from 0, finite numbers,
    ``utc`` an ISO time.

    :raises Rejected: it is not so.
    """
    if set(content) != set(EVENT_KEYS) or content["kind"] != "limit":
        raise Rejected(f"event: not a limit event (keys {', '.join(sorted(map(str, content)))[:200]})")
    for key, kind in EVENT_KEYS.items():
        value = content[key]
        if kind is str:
            if not isinstance(value, str) or len(value) > MAX_TEXT:
                raise Rejected(f"event: {key} is not a text of at most {MAX_TEXT} characters")
        elif kind is int:
            if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= MAX_COUNT:
                raise Rejected(f"event: {key} is not a count")
        elif isinstance(value, bool) or not isinstance(value, (int, float)) or not np.isfinite(value):
            raise Rejected(f"event: {key} is not a finite number")
    moment(content["utc"], "utc")
    return content


def count(content: Dict[str, Any], key: str) -> int:
    """A counter of a checked ``stats`` object (0 when it has none)."""
    value = content.get(key)
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else 0


def counters(content: Dict[str, Any]) -> Stats:
    """The counters of a checked ``stats`` object as a run's: samples dropped from the stand's full spool,
    damaged in it or never published count as overrun (kept by no one)."""
    return Stats(count(content, "received"),
                 sum(count(content, key) for key in ("overrun", "spool_dropped", "spool_corrupted", "not_published")),
                 count(content, "missing"), count(content, "corrupted"))


def status(payload: bytes) -> str:
    """A stand's status, as text.

    :raises Rejected: longer than :data:`MAX_STATUS_BYTES`.
    """
    if len(payload) > MAX_STATUS_BYTES:
        raise Rejected(f"status: {len(payload)} bytes, more than {MAX_STATUS_BYTES}")
    return payload.decode(errors="replace")


def data(payload: bytes, samples_per_second: float, start: datetime, now: Optional[datetime] = None) -> layout.Frame:
    """A data message of a run that started at ``start``: the exact layout, at most :data:`MAX_SAMPLES`,
    finite values, and sample numbers the run could have reached by ``now`` (plus :data:`SLACK_SECONDS`).

    :raises Rejected: it is not so.
    """
    if len(payload) > layout.HEADER.size + 12 * MAX_SAMPLES:
        raise Rejected(f"data: {len(payload)} bytes, more than {MAX_SAMPLES} samples take")
    try:
        frame = layout.decode(payload)
    except ValueError as error:
        raise Rejected(f"data: {error}") from None
    seconds = ((now or datetime.now(timezone.utc)) - start).total_seconds() + SLACK_SECONDS
    reachable = max(0.0, samples_per_second * seconds)
    end = frame.first + len(frame.value)
    if end > reachable:
        raise Rejected(f"data: samples {frame.first} to {end - 1}, beyond the {reachable:.0f} the run "
                       f"could have reached by now")
    if not np.isfinite(frame.value).all():
        bad = int(np.flatnonzero(~np.isfinite(frame.value))[0])
        raise Rejected(f"data: sample {frame.first + bad} is {frame.value[bad]}, not a finite value")
    return frame

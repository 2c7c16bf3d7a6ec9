"""Hostile and damaged messages against a collector on a real Mosquitto: it runs on, the real stand's
file is whole and complete, and what it refused is counted."""

import json
from datetime import datetime, timedelta, timezone

import numpy as np
import paho.mqtt.client as paho
import pytest

from mosquitto import mosquitto  # noqa: F401 (fixture)
from test_mqtt import collecting, wait_until
from vexlo_tools import recording
from vexlo_tools.mqtt import checks, layout

RATE, BLOCK, BLOCKS = 100.0, 10, 12
START = (datetime.now(timezone.utc) - timedelta(seconds=60)).isoformat(timespec="milliseconds")


def run_property(run):
    properties = paho.Properties(paho.PacketTypes.PUBLISH)
    properties.UserProperty = ("run", run)
    return properties


def info(start=START, **changes):
    return json.dumps({"serial_number": 7, "samples_per_second": RATE, "start_utc": start, "model": "PLX310",
                       "unit": "N", **changes}).encode()


# (topic, payload, qos, run property, retained): each row's messages are sent amid the real stand's blocks.
ROWS = {
    "start_utc leaves the directory": [("vexlo/s1/evil/info", info("2024/../../../../x"), 1, None, True)],
    "start_utc with NUL": [("vexlo/s1/evil/info", info("2024-01-01T00:00:00\0"), 1, None, True)],
    "serial of 300 characters": [("vexlo/s1/" + "a" * 300 + "/info", info(), 1, None, True)],
    "serial with a space": [("vexlo/s1/a b/info", info(), 1, None, False)],
    "stand of 65 characters": [("vexlo/" + "s" * 65 + "/7/info", info(), 1, None, False)],
    "info not JSON": [("vexlo/s1/8/info", b"\xff{", 1, None, False)],
    "info a list": [("vexlo/s1/8/info", b"[1, 2]", 1, None, False)],
    "rate infinite": [("vexlo/s1/8/info", info(samples_per_second=float("inf")), 1, None, False)],
    "rate text": [("vexlo/s1/8/info", info(samples_per_second="fast"), 1, None, False)],
    "rate negative": [("vexlo/s1/8/info", info(samples_per_second=-1), 1, None, False)],
    "info of 100 kB": [("vexlo/s1/8/info", info(model="m" * 100_000), 1, None, False)],
    "start_utc without its offset": [("vexlo/s1/8/info", info("2026-01-01T00:00:00"), 1, None, False)],
    "block far ahead": [("vexlo/s1/7/data", layout.encode(2**62, [1], [1e300]), 1, START, False)],
    "block one day ahead": [("vexlo/s1/7/data", layout.encode(int(RATE * 86400), [1], [1.0]), 1, START, False)],
    "block beyond the run's end": [("vexlo/s1/7/data", layout.encode(BLOCK * BLOCKS + 50, [1], [1.0]), 1, START,
                                    False)],
    "value NaN": [("vexlo/s1/7/data", layout.encode(BLOCK * BLOCKS, [1, 2], [1.0, float("nan")]), 1, START,
                   False)],
    "value infinite": [("vexlo/s1/7/data", layout.encode(BLOCK * BLOCKS, [1], [float("-inf")]), 1, START, False)],
    "data truncated": [("vexlo/s1/7/data", layout.encode(5, [1, 2], [1.0, 2.0])[:-3], 1, START, False)],
    "data version 9": [("vexlo/s1/7/data", b"\x09" + bytes(15), 1, START, False)],
    "data at QoS 0": [("vexlo/s1/7/data", layout.encode(BLOCK * BLOCKS, [1], [0.5]), 0, START, False)],
    "run property of 5,000 characters": [("vexlo/s1/7/data", layout.encode(0, [1], [1.0]), 1, "x" * 5000, False)],
    "stats of another run ending": [("vexlo/s1/7/stats", json.dumps(
        {"start_utc": "2020-01-01T00:00:00+00:00", "received": 1, "end_reason": "completed",
         "complete": True}).encode(), 1, None, False)],
    "stats with counters as text": [("vexlo/s1/7/stats", json.dumps(
        {"start_utc": START, "received": "many", "end_reason": "completed"}).encode(), 1, None, False)],
    "stats not JSON": [("vexlo/s1/7/stats", b"not JSON", 1, None, False)],
    "status of 100 kB": [("vexlo/s1/status", b"x" * 100_000, 1, None, False)],
    "data of an unannounced run, flooded": [
        ("vexlo/s1/9/data", layout.encode(n, [1], [1.0]), 1, "2026-01-01T00:00:00+00:00", False)
        for n in range(300)],
}
#: Rows refused in a way the stand cannot name (no file of the real stand counts them).
UNNAMED = {"stand of 65 characters"}
#: Rows whose refusal names the real stand's own run, so its file counts them.
IN_FILE = {"block far ahead", "block beyond the run's end", "block one day ahead", "value NaN", "value infinite",
           "data truncated",
           "data version 9", "data at QoS 0", "stats with counters as text"}


@pytest.mark.broker
@pytest.mark.parametrize("row", list(ROWS))
def test_a_hostile_message_is_refused_counted_and_costs_the_real_stand_nothing(mosquitto, tmp_path, row):
    out = tmp_path / "out"  # made by the collector
    collector, stop, thread = collecting(mosquitto, out, reorder_seconds=10)
    hand = paho.Client(paho.CallbackAPIVersion.VERSION2, protocol=paho.MQTTv5)
    hand.connect("127.0.0.1", mosquitto.port)
    hand.loop_start()

    def send(topic, payload, qos=1, run=None, retain=False):
        hand.publish(topic, payload, qos=qos, retain=retain,
                     properties=run_property(run) if run else None).wait_for_publish(5)

    try:
        send("vexlo/s1/7/info", info(), retain=True)
        for n in range(BLOCKS):
            numbers = np.arange(n * BLOCK, (n + 1) * BLOCK)
            send("vexlo/s1/7/data", layout.encode(n * BLOCK, numbers, numbers * 0.5), run=START)
            if n == BLOCKS // 2:
                for message in ROWS[row]:
                    send(*message)
        send("vexlo/s1/7/stats", json.dumps({"start_utc": START, "received": BLOCK * BLOCKS, "overrun": 0,
                                             "end_reason": "completed", "complete": True,
                                             "end_utc": START}).encode())
        stand = "" if row in UNNAMED else "s1"
        wait_until(lambda: collector.rejected.get(stand, 0) >= 1 and thread.is_alive()
                   and collector.files and collector.tracks["s1", "7", START].writer is None)
        assert thread.is_alive()
    finally:
        stop.set()
        thread.join()
        hand.loop_stop()
    [path] = out.glob("*.h5")  # no file for a refused run, nothing outside the directory
    assert path.name == "s1_7_" + START[:19].replace("-", "").replace(":", "") + ".h5"
    instrument = recording.load(path).instruments["7"]
    assert np.array_equal(np.rint(instrument.time * RATE), np.arange(BLOCK * BLOCKS))
    assert np.array_equal(instrument.value, instrument.adc * 0.5)
    meta = instrument.metadata
    assert (meta["end_reason"], meta["complete"], meta["received"]) == ("completed", True, BLOCK * BLOCKS)
    assert meta["rejected"] == (len(ROWS[row]) if row in IN_FILE else 0)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["broker", "out"]


@pytest.mark.parametrize("topic, expected", [
    ("vexlo/s1/status", ("s1", "", "status")),
    ("vexlo/s-1.a_b/20240001-2/data", ("s-1.a_b", "20240001-2", "data")),
    ("vexlo/s1/7/stats", ("s1", "7", "stats")),
])
def test_topics_accepted(topic, expected):
    assert checks.topic(topic) == expected


@pytest.mark.parametrize("topic", [
    "vexlo/../7/info", "vexlo/s1/../info", "vexlo/s1/./data", "vexlo/s1/7/other", "other/s1/7/info",
    "vexlo/s1/7/data/x", "vexlo/s1", "vexlo/s 1/7/info", "vexlo/s1/" + "9" * 65 + "/info", "vexlo//7/info",
])
def test_topics_refused(topic):
    with pytest.raises(checks.Rejected):
        checks.topic(topic)


def test_a_data_message_may_reach_what_its_run_could_have_by_now_and_no_further():
    start = datetime(2026, 1, 1, tzinfo=timezone.utc)
    now = start + timedelta(seconds=100)
    reachable = int(RATE * (100 + checks.SLACK_SECONDS))
    assert checks.data(layout.encode(reachable - 2, [1, 2], [0.0, 1.0]), RATE, start, now).first == reachable - 2
    with pytest.raises(checks.Rejected, match="beyond"):
        checks.data(layout.encode(reachable - 1, [1, 2], [0.0, 1.0]), RATE, start, now)
    with pytest.raises(checks.Rejected, match="beyond"):  # a run that has not started yet has nothing
        checks.data(layout.encode(0, [1], [0.0]), RATE, now + timedelta(seconds=checks.SLACK_SECONDS + 1), now)


@pytest.mark.parametrize("content, message", [
    ({"start_utc": START, "samples_per_second": 0}, "not a rate"),
    ({"start_utc": START, "samples_per_second": True}, "not a rate"),
    ({"start_utc": START, "samples_per_second": 1e8}, "not a rate"),
    ({"start_utc": 5, "samples_per_second": 100}, "not an ISO time"),
    ({"start_utc": "yesterday", "samples_per_second": 100}, "not an ISO time"),
    ({"start_utc": START + " " * 40, "samples_per_second": 100}, "not an ISO time"),
    ({"start_utc": "0001-01-01T00:00:00+01:00", "samples_per_second": 100}, "out of range"),
])
def test_info_refused(content, message):
    with pytest.raises(checks.Rejected, match=message):
        checks.info(content)


@pytest.mark.parametrize("content, message", [
    ({"start_utc": START, "received": -1}, "not a count"),
    ({"start_utc": START, "received": 1.5}, "not a count"),
    ({"start_utc": START, "received": 2**63}, "not a count"),
    ({"start_utc": START, "complete": "yes"}, "not true or false"),
    ({"start_utc": START, "end_reason": ""}, "end_reason"),
    ({"start_utc": START, "end_reason": "x" * 5000}, "end_reason"),
    ({"start_utc": START, "end_utc": "soon"}, "not an ISO time"),
])
def test_stats_refused(content, message):
    with pytest.raises(checks.Rejected, match=message):
        checks.stats(content)


@pytest.mark.parametrize("payload", [b"NaN", b'{"a": Infinity}', b"[" * 60_000, b"{" + b" " * 70_000 + b"}"])
def test_json_refused(payload):
    with pytest.raises(checks.Rejected):
        checks.json_object(payload, "info")


def limit_event(**changed):
    """A limit event as `vexlo publish --limit` sends it (the publisher's own object), with ``changed`` keys."""
    from vexlo_tools.recording.limits import LimitEvent
    event = LimitEvent("value > 900", 0, 20240001, "PLX310", 12, 0.0003, START, 901.5, 7).metadata()
    return {**event, **changed}


@pytest.mark.parametrize("changes, message", [
    ({"kind": "trigger"}, "not a limit event"),
    ({"extra": 1}, "not a limit event"),
    ({"condition": "x" * 5000}, "condition is not a text"),
    ({"sample": -1}, "sample is not a count"),
    ({"serial_number": True}, "serial_number is not a count"),
    ({"value": float("inf")}, "value is not a finite number"),
    ({"time_s": "0"}, "time_s is not a finite number"),
    ({"utc": "now"}, "not an ISO time"),
])
def test_events_refused_and_the_publishers_own_accepted(changes, message):
    assert checks.event(limit_event()) == limit_event()
    assert checks.topic("vexlo/s1/7/event") == ("s1", "7", "event")
    with pytest.raises(checks.Rejected, match=message):
        checks.event(limit_event(**changes))

"""The MQTT fleet path: data layout, spool, broker connection, collector (real Mosquitto: marker `broker`)."""

import json
import os
import signal
import subprocess
import sys
import re
import ssl
import threading
import time
import types
from pathlib import Path

import numpy as np
import paho.mqtt.client as paho
import pytest

from mosquitto import Mosquitto, certificates, mosquitto  # noqa: F401 (fixture)
from vexlo_tools import recording
from vexlo_tools.mqtt import Broker, BrokerError, Collector, Spool, layout
from vexlo_tools.mqtt import collector as collector_module
from vexlo_tools.mqtt import spool as spool_module
from vexlo_tools.mqtt.publisher import BATCH_SECONDS

DOCS = Path(__file__).resolve().parent.parent / "docs" / "mqtt.md"


def documented_reader():
    """The reader of docs/mqtt.md, run as the docs give it."""
    code = re.search(r"```python\n(import struct\n.*?)```", DOCS.read_text(), re.S).group(1)
    assert len(code.splitlines()) <= 20
    namespace = {}
    exec(code, namespace)
    return namespace["read_block"]


@pytest.mark.parametrize("first, adc, value, flags", [
    (0, [], [], 0),
    (2**64 - 1, [0, 2**32 - 1], [-0.0, np.inf], layout.GAP_BEFORE),
    (38_400, np.arange(3840) * 1000, np.linspace(-1e300, 1e-300, 3840), 0),
])
def test_layout_round_trips_exactly_and_the_documented_reader_agrees(first, adc, value, flags):
    payload = layout.encode(first, adc, value, flags)
    frame = layout.decode(payload)
    assert (frame.first, frame.flags) == (first, flags)
    assert frame.adc.dtype == np.uint32 and np.array_equal(frame.adc, adc)
    assert frame.value.tobytes() == np.asarray(value, np.float64).tobytes()
    assert len(payload) == 16 + 12 * len(adc)
    assert documented_reader()(payload) == (first, flags, list(frame.adc), list(frame.value))


@pytest.mark.parametrize("payload, message", [
    (b"\x01\x00", "shorter than its 16-byte header"),
    (b"\x02" + bytes(15), "version 2 is not known"),
    (layout.encode(0, [1], [1.0])[:-1], "has 28 bytes, not 27"),
    (layout.encode(0, [1], [1.0]) + b"\x00", "has 28 bytes, not 29"),
])
def test_layout_refuses_malformed_messages(payload, message):
    with pytest.raises(ValueError, match=message):
        layout.decode(payload)


def test_spool_sends_in_order_and_deletes_only_what_is_acknowledged(tmp_path):
    spool = Spool(tmp_path, 10**6)
    for n in range(5):
        spool.append(f"t/{n % 2}", bytes([n]) * 100, n + 1, "r")
    sent = spool.take(3)
    assert [(s, t, p[:1], r) for s, t, p, r in sent] == [(1, "t/0", b"\x00", "r"), (2, "t/1", b"\x01", "r"),
                                                          (3, "t/0", b"\x02", "r")]
    spool.acknowledge(2)
    assert len(spool) == 4 and spool.unsent() == 2
    spool.acknowledge(1)
    spool.acknowledge(3)
    assert [s for s, _, _, _ in spool.take(10)] == [4, 5]
    for n in (4, 5):
        spool.acknowledge(n)
    assert len(spool) == 0
    spool.close()
    assert Spool(tmp_path, 10**6).unsent() == 0  # what was acknowledged is not sent again


def test_a_full_spool_drops_its_oldest_unsent_messages_and_counts_their_samples(tmp_path):
    spool = Spool(tmp_path, 3000)
    sent = []
    for n in range(40):  # 40 messages of 300 bytes: four times what fits
        spool.append("a" if n < 4 else "b", bytes(300), 10, "r")
        if n == 1:
            sent = spool.take(2)  # two are with the client: it resends them, they are not counted
    assert spool.size == spool.limit
    kept = spool.take(100)
    assert [s for s, _, _, _ in kept] == list(range(31, 41))
    assert spool.dropped == {("a", "r"): 20, ("b", "r"): (30 - 4) * 10}
    assert [s for s, _, _, _ in sent] == [1, 2]
    spool.acknowledge(1)  # acknowledged after it was dropped: nothing happens
    with pytest.raises(OSError, match="does not fit"):
        spool.append("c", bytes(spool.limit + 1), 1)


def test_acknowledged_messages_are_kept_through_an_outage_and_give_way_first_to_unsent_ones(tmp_path, monkeypatch):
    now = [0.0]
    monkeypatch.setattr(spool_module, "time", types.SimpleNamespace(monotonic=lambda: now[0]))
    spool = Spool(tmp_path, 3000, keep_seconds=5)
    for n in range(8):
        spool.append("a", bytes(300), 10)
    for sequence, _, _, _ in spool.take(8):
        now[0] = sequence  # one acknowledgement a second
        spool.acknowledge(sequence)
    assert len(spool) == 0 and [s for s, _, _, _ in spool.acknowledged()] == [4, 5, 6, 7, 8]
    now[0] = 100.0  # the broker is away: nothing acknowledged releases the kept ones
    assert [s for s, _, _, _ in spool.acknowledged()] == [4, 5, 6, 7, 8] and spool.size == 1500
    for n in range(10):  # fills the spool: the acknowledged make room, no unsent one goes
        spool.append("b", bytes(300), 10)
    assert spool.dropped == {} and spool.acknowledged() == [] and spool.unsent() == 10


def test_the_spool_outlives_its_process_and_skips_a_damaged_block(tmp_path):
    import sqlite3
    spool = Spool(tmp_path, 10**6)
    spool.remember("v/s/7/data", "run1", b"{}")
    for n in range(3):
        spool.append("v/s/7/data", bytes([n]) * 10, 5, "run1", 5 * (n + 1))
    with pytest.raises(OSError, match="used by another publisher of the stand"):
        Spool(tmp_path, 10**6)
    spool._lock.release()  # as a killed process leaves it: its lock gone with it, no close
    with sqlite3.connect(tmp_path / spool_module.DATABASE) as db:
        db.execute("UPDATE message SET payload = ? WHERE sequence = 2", (b"\xff" * 10,))
    again = Spool(tmp_path, 10**6)
    assert [(s, p[:1], r) for s, _, p, r in again.take(10)] == [(1, b"\x00", "run1"), (3, b"\x02", "run1")]
    assert again.corrupted == {("v/s/7/data", "run1"): 5}
    assert again.runs() == [("v/s/7/data", "run1", b"{}", None, 15, 2)]


def test_a_full_disk_under_the_spool_drops_the_oldest_and_names_the_folder(tmp_path, caplog):
    spool = Spool(tmp_path, 10**9)
    spool._db.execute("PRAGMA max_page_count = 40")  # a disk that is full at 40 pages
    for n in range(100):
        spool.append("t", bytes(4000), 10, "r")
    assert spool.dropped[("t", "r")] > 0 and spool.unsent() > 0
    assert caplog.text.count(f"the spool at {tmp_path} is full") == 1
    assert [s for s, _, _, _ in spool.take(1000)][-1] == 100  # the newest was kept


@pytest.mark.parametrize("url, expected", [
    ("mqtt://broker.lab", ("broker.lab", 1883, False, None, None)),
    ("broker.lab:1999", ("broker.lab", 1999, False, None, None)),
    ("mqtts://u%40x:p%3Aw@[::1]", ("::1", 8883, True, "u@x", "p:w")),
])
def test_broker_urls(url, expected):
    b = Broker.from_url(url)
    assert (b.host, b.port, b.tls, b.username, b.password) == expected


@pytest.mark.parametrize("url", ["http://h", "mqtt://", "mqtt://h:99999", "mqtt://h/topic"])
def test_broker_urls_refused(url):
    with pytest.raises(ValueError, match="broker URL"):
        Broker.from_url(url)


# ---------------------------------------------------------------- against a real broker


@pytest.mark.broker
def test_clear_errors_for_a_broker_that_refuses_or_is_unreachable(tmp_path):
    broker = Mosquitto(tmp_path, users={"stand": "right"}).start()
    try:
        with Broker.from_url(broker.url, username="stand", password="right").client("ok", clean_start=True):
            pass
        with pytest.raises(BrokerError, match=f"the broker at {broker.url} refused the connection: Not authorized"):
            Broker.from_url(broker.url, username="stand", password="wrong").client("x", clean_start=True)
    finally:
        broker.kill()
    with pytest.raises(BrokerError, match=f"cannot reach the broker at {broker.url}: Connection refused"):
        Broker.from_url(broker.url).client("x", clean_start=True)


@pytest.mark.broker
def test_tls_trusts_the_given_authority_only_and_passes_the_client_certificate(tmp_path):
    files = certificates(tmp_path)
    (tmp_path / "b").mkdir()
    broker = Mosquitto(tmp_path / "b", tls={**files, "require_certificate": True}).start()
    mine = {"cert_file": str(files["client_cert"]), "key_file": str(files["client_key"])}
    try:
        with Broker.from_url(broker.url, ca_file=str(files["ca"]), **mine).client("ok", clean_start=True) as ok:
            assert ok.connected.is_set()
        with pytest.raises(BrokerError, match="TLS with the broker at .* failed: CERTIFICATE_VERIFY_FAILED"):
            Broker.from_url(broker.url, ca_file=str(files["other_ca"]), **mine).client("x", clean_start=True)
        with pytest.raises(BrokerError, match="closed the connection before accepting it .*client certificate"):
            Broker.from_url(broker.url, ca_file=str(files["ca"])).client("x", clean_start=True)
    finally:
        broker.kill()


class Hand:
    """A publisher by hand: exact messages, in the order given."""

    def __init__(self, broker, start="2026-01-01T00:00:00.000+00:00"):
        self.client = paho.Client(paho.CallbackAPIVersion.VERSION2, protocol=paho.MQTTv5)
        self.client.connect("127.0.0.1", broker.port)
        self.client.loop_start()
        self.info(start)

    def info(self, start):
        self.run = paho.Properties(paho.PacketTypes.PUBLISH)
        self.run.UserProperty = ("run", start)
        self.send("info", json.dumps({"serial_number": 7, "samples_per_second": 100.0, "start_utc": start,
                                      "model": "PLX310", "unit": "N"}).encode(), retain=True)

    def data(self, first, count, run=None):
        numbers = np.arange(first, first + count)
        self.send("data", layout.encode(first, numbers, numbers * 0.5), properties=run or self.run)

    def send(self, kind, payload, retain=False, properties=None):
        self.client.publish("vexlo/s1/7/" + kind, payload, qos=1, retain=retain,
                            properties=properties).wait_for_publish(5)

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


def samples_in(directory):
    """Every sample number in the recordings of ``directory``, with the files they came from."""
    numbers, files = [], sorted(directory.glob("*.h5"))
    for path in files:
        for instrument in recording.load(path):
            assert np.array_equal(instrument.value, instrument.adc * 0.5)
            numbers += list(np.round(instrument.time * 100).astype(int))
    return numbers, files


class Collecting(threading.Thread):
    """A collector on a thread; :meth:`join` raises what ended it."""

    def __init__(self, collector):
        super().__init__()
        self.collector, self.stop, self.error = collector, threading.Event(), None
        self.start()
        assert collector.subscribed.wait(10)

    def run(self):
        try:
            self.collector.run(self.stop)
        except BaseException as error:
            self.error = error

    def join(self, timeout=None):
        super().join(timeout)
        if self.error is not None:
            raise self.error


def collecting(broker, directory, reorder_seconds=1.0, username=None, password=None, **options):
    """A collector on a thread that gives up a gap after ``reorder_seconds``."""
    collector = Collector(Broker.from_url(broker.url, username=username, password=password), directory, **options)
    collector.reorder_seconds = min(collector.reorder_seconds, reorder_seconds)
    thread = Collecting(collector)
    return thread.collector, thread.stop, thread


def watching(broker, topics, take, qos=1):
    """A client of the test's own, started: each message on the ``topics`` filters goes to ``take``."""
    client = paho.Client(paho.CallbackAPIVersion.VERSION2, protocol=paho.MQTTv5)
    client.on_message = lambda client, userdata, message: take(message)
    client.connect("127.0.0.1", broker.port)
    client.subscribe([(topic, qos) for topic in topics])
    client.loop_start()
    return client


def wait_until(condition, seconds=10):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


@pytest.mark.broker
def test_samples_skipped_but_not_by_the_ring_count_as_never_published_and_as_overrun(mosquitto, tmp_path):
    """Blocks the engine dropped for a publisher behind its queue leave a gap that its stats must explain."""
    from engine_doubles import stream
    from vexlo_tools import Block, Stats
    from vexlo_tools.mqtt.collector import Track
    from vexlo_tools.mqtt.publisher import Publisher

    got = []
    watcher = watching(mosquitto, ["vexlo/s1/+/stats"], lambda message: got.append(json.loads(message.payload)))
    info = stream(7, 100.0)
    publisher = Publisher(Broker.from_url(mosquitto.url), "s1", spool_dir=str(tmp_path))
    try:
        publisher.open([info])
        # 5 samples dropped from the ring (its overrun), then 15 that never reached the publisher.
        for first, overrun in ((0, 0), (15, 5), (40, 5)):
            numbers = np.arange(first, first + 10)
            publisher.write(Block(info.device, first, numbers / 100, numbers.astype(np.uint32), numbers * 0.5,
                                  Stats(first + 10, overrun=overrun), 0))
    finally:
        publisher.close()
        wait_until(lambda: any(stats["received"] == 50 for stats in got))  # the last, sent as it closed
        watcher.loop_stop()
    last = next(stats for stats in got if stats["received"] == 50)
    assert (last["overrun"], last["not_published"]) == (5, 15)
    assert Track("s1", "7", last["start_utc"], stats=last).counters().overrun == 20  # what the central file says


@pytest.mark.broker
def test_a_block_longer_than_a_batch_goes_in_pieces_numbered_in_order_the_gap_flag_on_the_first(mosquitto,
                                                                                                tmp_path):
    from engine_doubles import stream
    from vexlo_tools import Block, Stats
    from vexlo_tools.mqtt.publisher import Publisher

    got = []
    watcher = watching(mosquitto, ["vexlo/s1/+/data"], lambda message: got.append(layout.decode(message.payload)))
    info = stream(7, 100.0)  # a batch: 25 samples
    publisher = Publisher(Broker.from_url(mosquitto.url), "s1", spool_dir=str(tmp_path))
    try:
        publisher.open([info])
        for first, count in ((0, 10), (15, 60)):  # 5 samples lost between the two
            numbers = np.arange(first, first + count)
            publisher.write(Block(info.device, first, numbers / 100, numbers.astype(np.uint32), numbers * 0.5,
                                  Stats(first + count), 0))
    finally:
        publisher.close()
        wait_until(lambda: len(got) == 4)
        watcher.loop_stop()
    assert [(f.first, len(f.adc), f.flags) for f in got] == [(0, 10, 0), (15, 25, layout.GAP_BEFORE), (40, 25, 0),
                                                              (65, 10, 0)]
    assert np.concatenate([f.adc for f in got]).tolist() == list(range(10)) + list(range(15, 75))


@pytest.mark.broker
def test_a_limit_event_found_before_the_publisher_opened_goes_out_after_its_info(mosquitto, tmp_path):
    """Each sink of an engine opens on its own thread: the limit sink can hand on a crossing first."""
    from engine_doubles import stream
    from vexlo_tools import Block, Stats
    from vexlo_tools.mqtt.publisher import Publisher
    from vexlo_tools.recording import LimitEvent

    got = []
    watcher = watching(mosquitto, ["vexlo/s1/7/info", "vexlo/s1/7/event"],
                       lambda message: got.append(message.topic.rsplit("/", 1)[1]))
    info = stream(7, 100.0)
    publisher = Publisher(Broker.from_url(mosquitto.url), "s1", spool_dir=str(tmp_path))
    try:
        publisher.connect()
        publisher.publish_event(LimitEvent("value > 1", 0, 7, "MVR420", 3, 0.03, info.start_utc.isoformat(), 2.0, 4))
        publisher.open([info])
        numbers = np.arange(10)
        publisher.write(Block(info.device, 0, numbers / 100, numbers.astype(np.uint32), numbers * 0.5, Stats(10), 0))
    finally:
        publisher.close()
        wait_until(lambda: "event" in got)
        watcher.loop_stop()
    assert got == ["info", "event"]


@pytest.mark.broker
def test_collector_writes_duplicates_once_marks_gaps_and_resumes_after_a_restart(mosquitto, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    collector, stop, thread = collecting(mosquitto, out)
    hand = Hand(mosquitto)
    try:
        for first, count in ((0, 10), (10, 10), (10, 10), (5, 10), (30, 10)):  # a duplicate, an overlap, a gap
            hand.data(first, count)
        wait_until(lambda: sum(t.samples for t in collector.tracks.values()) == 30)
        stop.set()
        thread.join()
        assert collector.tracks["s1", "7", "2026-01-01T00:00:00.000+00:00"].gaps == 10
        first_run = hand.run
        hand.info("2026-01-02T00:00:00.000+00:00")  # a new run
        hand.data(0, 5)
        for first, count in ((35, 10), (45, 5)):  # late blocks of the first run, one overlapping the files
            hand.data(first, count, first_run)
        # All queued in the session while no collector runs; the first run's info is in the files only.
        again, stop, thread = collecting(mosquitto, out)
        wait_until(lambda: sum(t.samples for t in again.tracks.values()) == 15)
    finally:
        stop.set()
        thread.join()
        hand.close()
    numbers, files = samples_in(out)
    assert numbers == list(range(20)) + list(range(30, 50)) + list(range(5))
    assert [f.name for f in files] == ["s1_7_20260101T000000.h5", "s1_7_20260101T000000_2.h5",
                                       "s1_7_20260102T000000.h5"]
    metadata = recording.load(files[0]).instruments["7"].metadata
    assert (metadata["stand"], metadata["model"], metadata["unit"]) == ("s1", "PLX310", "N")


@pytest.mark.broker
def test_messages_are_taken_a_round_at_a_time_not_one_wake_up_each(mosquitto, tmp_path, monkeypatch):
    monkeypatch.setattr(collector_module, "FLUSH_SECONDS", 2.0)
    rounds = []

    def counted(self, until, take=Collector._taken_from_inbox):
        batch = take(self, until)
        rounds.append(len(batch))
        return batch

    monkeypatch.setattr(Collector, "_taken_from_inbox", counted)
    out = tmp_path / "out"
    collector, stop, thread = collecting(mosquitto, out)
    began = time.monotonic()
    hand = Hand(mosquitto)
    try:
        for first in range(0, 300, 10):
            hand.data(first, 10)
        sending = time.monotonic() - began
        wait_until(lambda: sum(t.samples for t in collector.tracks.values()) == 300)
    finally:
        stop.set()
        thread.join()
        hand.close()
    # The info and thirty blocks come in as many rounds as their sending spans (a round or two), not in
    # thirty-one wake-ups.
    assert sum(rounds) == 31 and sum(1 for taken in rounds if taken) <= 2 + int(sending / 2.0), (rounds, sending)
    assert samples_in(out)[0] == list(range(300))


@pytest.mark.broker
def test_limit_events_are_filed_once_into_the_run_they_happened_in(mosquitto, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    collector, stop, thread = collecting(mosquitto, out)
    hand = Hand(mosquitto)

    def event(sample, utc="2026-01-01T00:00:01.000+00:00"):
        hand.send("event", json.dumps({"kind": "limit", "condition": "value > 3", "serial_number": 7, "model": "PLX310",
                                       "sample": sample, "time_s": sample / 100, "utc": utc, "value": 4.0,
                                       "adc": 8}).encode(), retain=True)
    try:
        event(5)                                   # before the run's first block: held for its file
        event(5)                                   # again, as a retained event comes on every subscription
        event(1, "2025-12-31T23:59:59.000+00:00")  # before the run began: no run of it here
        hand.data(0, 10)
        event(8)
        key = "s1", "7", "2026-01-01T00:00:00.000+00:00"
        wait_until(lambda: key in collector.tracks and collector.tracks[key].samples == 10
                   and collector.tracks[key].events == {("value > 3", 5), ("value > 3", 8)})
    finally:
        stop.set()
        thread.join()
        hand.close()
    _, [path] = samples_in(out)
    [instrument] = recording.load(path)
    assert [(e["sample"], e["value"], e["kind"]) for e in instrument.events] == [(5, 4.0, "limit"), (8, 4.0, "limit")]
    assert collector.rejected == {}


@pytest.mark.broker
def test_blocks_out_of_order_are_written_in_order_and_a_late_one_is_kept_apart(mosquitto, tmp_path):
    out = tmp_path / "out"
    collector, stop, thread = collecting(mosquitto, out, reorder_seconds=1.0)
    hand = Hand(mosquitto)
    run = ("s1", "7", "2026-01-01T00:00:00.000+00:00")
    try:
        for first in (0, 10, 30, 20, 50):  # 20 comes within the window, 40 after it
            hand.data(first, 10)
        wait_until(lambda: getattr(collector.tracks.get(run), "gaps", 0) == 10)  # given up after a second
        hand.data(40, 10)
        hand.data(45, 10)  # half a repeat, half new: the repeat is written once
        hand.send("stats", json.dumps({"start_utc": run[2], "received": 60, "end_reason": "completed",
                                       "complete": True}).encode())
        wait_until(lambda: collector.tracks[run].writer is None)
    finally:
        stop.set()
        thread.join()
        hand.close()
    main, late = (recording.load(out / name).instruments["7"] for name in
                  ("s1_7_20260101T000000.h5", "s1_7_20260101T000000_2.h5"))
    assert list(np.rint(main.time * 100)) == list(range(40)) + list(range(50, 60))
    assert list(np.rint(late.time * 100)) == list(range(40, 50))
    # Neither file holds every sample: the stand's "complete" is not theirs to say.
    assert [(i.metadata["end_reason"], i.metadata["complete"]) for i in (main, late)] == [("completed", False)] * 2
    assert (collector.tracks[run].gaps, collector.tracks[run].late) == (10, 10)


@pytest.mark.broker
def test_no_file_for_a_run_without_data_and_its_info_comes_again_to_a_collector_started_again(mosquitto, tmp_path):
    out = tmp_path / "out"
    hand = Hand(mosquitto)  # a retained info, no data yet
    collector, stop, thread = collecting(mosquitto, out)
    try:
        wait_until(lambda: ("s1", "7", hand.run.UserProperty[0][1]) in collector.tracks)
    finally:
        stop.set()
        thread.join()
    assert not list(out.iterdir())
    hand.data(0, 10)  # queued in the session, its info not acknowledged
    again, stop, thread = collecting(mosquitto, out)
    try:
        wait_until(lambda: sum(t.samples for t in again.tracks.values()) == 10)
    finally:
        stop.set()
        thread.join()
        hand.close()
    [path] = out.glob("*.h5")
    assert recording.load(path).instruments["7"].metadata["model"] == "PLX310"


@pytest.mark.broker
def test_keys_a_recording_cannot_hold_are_left_out_of_the_provenance_not_the_run(mosquitto, tmp_path):
    collector, stop, thread = collecting(mosquitto, tmp_path / "out")
    hand = Hand(mosquitto, start="2026-01-03T00:00:00.000+00:00")
    try:
        info = {"samples_per_second": 100.0, "serial_number": 7, "start_utc": "2026-01-04T00:00:00+00:00",
                "bad key": 1, "nested": {"a": 1}, "received": 5, "rejected": 3, "model": "X\0"}
        hand.send("info", json.dumps(info).encode())
        run = paho.Properties(paho.PacketTypes.PUBLISH)
        run.UserProperty = ("run", info["start_utc"])
        hand.data(0, 10, run)
        wait_until(lambda: getattr(collector.tracks.get(("s1", "7", info["start_utc"])), "samples", 0) == 10)
    finally:
        stop.set()
        thread.join()
        hand.close()
    [path] = (tmp_path / "out").glob("s1_7_20260104*.h5")
    metadata = recording.load(path).instruments["7"].metadata
    assert not {"nested", "bad key", "model"} & set(metadata)
    assert (metadata["received"], metadata["rejected"], metadata["samples_per_second"]) == (0, 0, 100.0)


# ---------------------------------------------------------------- stands and collectors, end to end

RATE, SECONDS = 4800, 4


class Fleet:
    """A `vexlo publish` of one simulated stand and a `vexlo collect`, as processes, around one broker."""

    def __init__(self, broker, tmp_path):
        self.broker, self.tmp_path = broker, tmp_path
        self.out = tmp_path / "out"
        self.out.mkdir()
        self.collect_logs = []
        self.batches = []  # the samples of each data message a watcher saw
        self.collector = self.start_collector()

    def vexlo(self, log, *args):
        # The stand's spool in the test's own state folder, never the user's.
        environment = {**os.environ, "XDG_STATE_HOME": str(self.tmp_path / "state")}
        with open(log, "a") as stderr:
            return subprocess.Popen([sys.executable, "-m", "vexlo_tools.cli", *args], stdout=subprocess.DEVNULL,
                                    stderr=stderr, env=environment)

    def start_collector(self):
        log = self.tmp_path / f"collect{len(self.collect_logs)}.log"
        self.collect_logs.append(log)
        process = self.vexlo(log, "collect", "--broker", self.broker.url, str(self.out))
        wait_until(lambda: "stand s1 is" in log.read_text() or process.poll() is not None)  # subscribed
        return process

    def publish(self, *options):
        return self.vexlo(self.tmp_path / "publish.log", "publish", "--broker", self.broker.url, "--stand", "s1",
                          "--instrument", "plx310-plus-prime", "--rate", str(RATE), "--seconds", str(SECONDS),
                          *options)

    def run(self, fault, *options):
        """Publish, with ``fault`` once the collector writes; return the sample numbers of the central files."""
        publisher = self.publish(*options)
        try:
            wait_until(lambda: "writing stand s1" in self.collector_log(), 30)
            fault(self)
            assert publisher.wait(60) == 0, (self.tmp_path / "publish.log").read_text()
            wait_until(lambda: "is offline" in self.collector_log(), 60)  # after all the stand's data
        finally:
            publisher.kill()
            self.collector.send_signal(signal.SIGTERM)
        assert self.collector.wait(30) == 0
        numbers = []
        for path in sorted(self.out.glob("*.h5")):
            for instrument in recording.load(path):
                numbers += list(np.rint(instrument.time * RATE).astype(int))
        self.last = recording.load(path).instruments["20240001"].metadata
        return numbers

    def collector_log(self):
        return self.collect_logs[-1].read_text()


def kill_broker(fleet):
    """SIGKILL the broker just after it acknowledged a block that no collector has (the collector is away)."""
    saved = fleet.broker.saved()
    wait_until(lambda: fleet.broker.saved() != saved)  # with the collector's session, which must outlive the kill
    fleet.collector.kill()
    fleet.collector.wait()
    arrived = threading.Event()

    def seen(message):
        fleet.batches.append(len(layout.decode(message.payload).adc))
        arrived.set()

    watcher = watching(fleet.broker, ["vexlo/s1/+/data"], seen, qos=0)
    try:
        assert arrived.wait(10)
        fleet.broker.restart()  # the block came after its last save (every second or two): in its memory only
    finally:
        watcher.loop_stop()
    fleet.collector = fleet.start_collector()


def stop_broker_a_while(fleet):
    fleet.broker.kill(signal.SIGTERM)
    time.sleep(2)
    fleet.broker.start()


def kill_collector(fleet):
    fleet.collector.kill()
    fleet.collector.wait()
    fleet.collector = fleet.start_collector()


@pytest.mark.broker
@pytest.mark.parametrize("fault", [kill_broker, stop_broker_a_while, kill_collector])
def test_every_sample_arrives_once_across_faults(mosquitto, tmp_path, fault):
    set_status(mosquitto)
    fleet = Fleet(mosquitto, tmp_path)
    numbers = fleet.run(fault)
    if fault is not kill_collector:
        assert "reconnecting" in (tmp_path / "publish.log").read_text()  # the spool was needed
    assert sorted(numbers) == list(range(RATE * SECONDS))
    # Batched: a message per read of the engine at the publisher's pace, never more than a batch.
    assert (fault is not kill_broker or fleet.batches) and \
        all(RATE * 0.05 < count <= RATE * BATCH_SECONDS for count in fleet.batches)
    # Complete only where one file holds the whole run: a collector started again writes a second one.
    whole = fleet.last["samples"] == RATE * SECONDS
    assert (fleet.last["end_reason"], fleet.last["complete"], fleet.last["received"], fleet.last["overrun"],
            fleet.last["stand"]) == ("completed", whole, RATE * SECONDS, 0, "s1")


@pytest.mark.broker
def test_a_full_spool_drops_its_oldest_blocks_and_the_central_file_counts_them(mosquitto, tmp_path):
    set_status(mosquitto)
    fleet = Fleet(mosquitto, tmp_path)
    numbers = fleet.run(stop_broker_a_while, "--spool-mb", "0.1")
    assert len(set(numbers)) == len(numbers)
    assert 0 < fleet.last["overrun"] == RATE * SECONDS - len(numbers)
    assert "dropped from the full spool" in (tmp_path / "publish.log").read_text()


@pytest.mark.broker
def test_a_stands_limit_events_are_said_retained_and_filed_centrally(mosquitto, tmp_path):
    set_status(mosquitto)
    fleet = Fleet(mosquitto, tmp_path)
    log = tmp_path / "publish.log"
    fleet.publish = lambda: fleet.vexlo(log, "publish", "--broker", mosquitto.url, "--stand", "s1", "--instrument",
                                        "mvr420:load=12.5,noise=768", "--seconds", "1",
                                        "--limit", "value > 12.5 hysteresis 0.0003")
    fleet.run(lambda fleet: None)
    said = log.read_text().count("vexlo: limit value > 12.5 hysteresis 0.0003 crossed by MVR420 20240001")
    [path] = fleet.out.glob("*.h5")
    [instrument] = recording.load(path)
    assert len(instrument.events) == said > 0
    assert all(instrument.value[e["sample"]] == e["value"] > 12.5 for e in instrument.events)
    last = []
    retained = watching(mosquitto, ["vexlo/s1/20240001/event"],
                        lambda message: last.append(json.loads(message.payload)), qos=0)
    try:
        wait_until(lambda: last)
    finally:
        retained.loop_stop()
    assert last[0] == instrument.events[-1]


@pytest.mark.broker
def test_a_stand_that_vanishes_shows_offline_by_its_last_will(mosquitto, tmp_path):
    set_status(mosquitto)
    fleet = Fleet(mosquitto, tmp_path)
    publisher = fleet.publish()
    try:
        wait_until(lambda: "writing stand s1" in fleet.collector_log(), 30)
        publisher.kill()
        wait_until(lambda: "stand s1 is offline" in fleet.collector_log(), 30)
    finally:
        publisher.kill()
        fleet.collector.send_signal(signal.SIGTERM)
    assert fleet.collector.wait(30) == 0
    [path] = fleet.out.glob("*.h5")
    metadata = recording.load(path).instruments["20240001"].metadata
    assert (metadata["end_reason"], metadata["complete"]) == ("interrupted", False)


def set_status(broker):
    """The stand's retained status, so that a collector says when it has subscribed."""
    status = paho.Client(paho.CallbackAPIVersion.VERSION2, protocol=paho.MQTTv5)
    status.connect("127.0.0.1", broker.port)
    status.publish("vexlo/s1/status", b"waiting", qos=1, retain=True).wait_for_publish(5)
    status.disconnect()


@pytest.mark.broker
def test_collectors_of_a_group_share_the_blocks_and_write_each_once(mosquitto, tmp_path):
    group = []
    for name in ("a", "b"):
        (tmp_path / name).mkdir()
        group.append(collecting(mosquitto, tmp_path / name, group="g", client_id=name))
    hand = Hand(mosquitto)
    try:
        for first in range(0, 200, 10):
            hand.data(first, 10)
        wait_until(lambda: sum(t.samples for c, _, _ in group for t in c.tracks.values()) == 200)
    finally:
        for _, stop, thread in group:
            stop.set()
            thread.join()
        hand.close()
    a, b = (samples_in(tmp_path / name)[0] for name in ("a", "b"))
    assert a and b and sorted(a + b) == list(range(200))


def central_runs(directory):
    """Per run (start_utc): the sorted sample numbers of the central files, and the last file's metadata."""
    runs = {}
    for path in sorted(directory.glob("*.h5")):
        instrument = recording.load(path).instruments["20240001"]
        numbers, _ = runs.get(instrument.metadata["start_utc"], ([], None))
        runs[instrument.metadata["start_utc"]] = (sorted(numbers + list(np.rint(instrument.time * RATE).astype(int))),
                                                  instrument.metadata)
    return runs


@pytest.mark.broker
@pytest.mark.serial
def test_a_stand_started_before_its_broker_spools_from_the_first_sample(mosquitto, tmp_path):
    set_status(mosquitto)
    fleet = Fleet(mosquitto, tmp_path)  # the collector's session exists
    mosquitto.kill(signal.SIGTERM)
    publisher = fleet.publish()
    try:
        wait_until(lambda: "cannot reach the broker" in (tmp_path / "publish.log").read_text(), 30)
        time.sleep(1)
        mosquitto.start()
        assert publisher.wait(60) == 0, (tmp_path / "publish.log").read_text()
        wait_until(lambda: "is offline" in fleet.collector_log(), 60)
    finally:
        publisher.kill()
        fleet.collector.send_signal(signal.SIGTERM)
    assert fleet.collector.wait(30) == 0
    [(numbers, metadata)] = central_runs(fleet.out).values()
    assert numbers == list(range(RATE * SECONDS))
    assert (metadata["end_reason"], metadata["complete"]) == ("completed", True)


@pytest.mark.broker
@pytest.mark.serial
def test_a_publisher_killed_in_an_outage_leaves_its_run_to_the_next_one(mosquitto, tmp_path):
    set_status(mosquitto)
    fleet = Fleet(mosquitto, tmp_path)
    first = fleet.publish("--seconds", "60")
    try:
        wait_until(lambda: "writing stand s1" in fleet.collector_log(), 30)
        mosquitto.kill(signal.SIGTERM)
        # The stand spools; what the engine still held for the publisher's next batch (up to a
        # quarter second, read at its tick) is lost with the power, as anything not yet on disk.
        time.sleep(2.5)
        first.kill()  # a power cut
        first.wait()
        mosquitto.start()
        second = fleet.publish()
        assert second.wait(60) == 0, (tmp_path / "publish.log").read_text()
        wait_until(lambda: fleet.collector_log().count("is offline") >= 1 and len(central_runs(fleet.out)) == 2, 60)
        time.sleep(1)
    finally:
        first.kill()
        fleet.collector.send_signal(signal.SIGTERM)
    assert fleet.collector.wait(30) == 0
    assert "left in the spool" in (tmp_path / "publish.log").read_text()
    (old, old_meta), (new, new_meta) = (central_runs(fleet.out)[run] for run in sorted(central_runs(fleet.out)))
    # Everything the killed stand had spooled, under its own run, with no gap; its end is its own.
    assert len(old) > RATE * 1.5 and old == list(range(len(old)))
    assert old_meta["end_reason"] == "interrupted" and old_meta["complete"] is False
    assert new == list(range(RATE * SECONDS)) and (new_meta["end_reason"], new_meta["complete"]) == ("completed", True)
    assert (tmp_path / "state" / "vexlo" / "spool" / "s1" / "spool.sqlite3").exists()  # the default place


@pytest.mark.broker
def test_a_finite_run_without_its_broker_ends_after_the_drain_saying_what_it_kept(tmp_path):
    broker = Mosquitto(tmp_path)  # never started
    fleet = Fleet.__new__(Fleet)
    fleet.broker, fleet.tmp_path = broker, tmp_path
    publisher = fleet.publish("--seconds", "1", "--drain-seconds", "1")
    assert publisher.wait(60) == 1
    log = (tmp_path / "publish.log").read_text()
    assert re.search(r"did not acknowledge \d+ blocks within 1 s; they stay in the spool at .*vexlo/spool/s1 "
                     r"and go first with the next publisher of stand s1", log), log


def documented_acl():
    """The ACL of docs/mqtt.md, as the docs give it."""
    return re.search(r"```text\n(# The collectors read.*?)```", DOCS.read_text(), re.S).group(1)


@pytest.mark.broker
def test_the_documented_acl_lets_a_stand_write_only_its_own_topics_and_the_collector_only_read(tmp_path):
    users = {"s1": "p1", "s2": "p2", "collector": "pc"}
    (tmp_path / "b").mkdir()
    broker = Mosquitto(tmp_path / "b", users=users, acl=documented_acl()).start()
    replies, clients = {}, {}

    def client(user):
        c = clients[user] = paho.Client(paho.CallbackAPIVersion.VERSION2, protocol=paho.MQTTv5)
        c.username_pw_set(user, users[user])
        c.on_publish = lambda client, userdata, mid, reason, properties: replies.__setitem__((user, mid), reason)
        connected = threading.Event()
        c.on_connect = lambda *args: connected.set()
        c.connect("127.0.0.1", broker.port)
        c.loop_start()
        assert connected.wait(10)
        return c

    def send(user, topic, payload, run=None):
        properties = None
        if run:
            properties = paho.Properties(paho.PacketTypes.PUBLISH)
            properties.UserProperty = ("run", run)
        info = clients[user].publish(topic, payload, qos=1, properties=properties)
        wait_until(lambda: (user, info.mid) in replies)
        return replies[user, info.mid]

    collector, stop, thread = collecting(broker, tmp_path / "out", username="collector", password="pc")
    try:
        start = "2026-01-01T00:00:00+00:00"
        info = json.dumps({"serial_number": 7, "samples_per_second": 100.0, "start_utc": start}).encode()
        for user in users:
            client(user)
        # s2 writing as s1, and the collector writing at all, are refused by the broker.
        assert send("s2", "vexlo/s1/7/info", info).is_failure
        assert send("s2", "vexlo/s1/7/data", layout.encode(0, [1], [1.0]), start).is_failure
        assert send("collector", "vexlo/s1/7/info", info).is_failure
        assert not send("s1", "vexlo/s1/7/info", info).is_failure
        assert not send("s1", "vexlo/s1/7/data", layout.encode(0, [2], [2.0]), start).is_failure
        wait_until(lambda: sum(t.samples for t in collector.tracks.values()) == 1)
    finally:
        stop.set()
        thread.join()
        for c in clients.values():
            c.loop_stop()
        broker.kill()
    [path] = (tmp_path / "out").glob("*.h5")
    instrument = recording.load(path).instruments["7"]
    assert (path.name[:5], list(instrument.adc)) == ("s1_7_", [2])

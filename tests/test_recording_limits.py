"""Limits: each crossing an event, said in the log, kept in the recording, handed to listeners and to a command."""
import json
import logging
import sys
import time

import numpy as np
import pytest

from vexlo_tools import cli, recording
from vexlo_tools.recording import LimitSink, RecordingSink
from mosquitto import mosquitto  # noqa: F401 (fixture)
from test_recording_triggers import feed_signals, pulses


class Both:
    """Two sinks fed the same calls, in order (as the engine does, each on its own thread)."""

    def __init__(self, *sinks):
        self.sinks = sinks

    def __getattr__(self, name):
        return lambda *args: [getattr(sink, name)(*args) for sink in self.sinks]


@pytest.mark.parametrize("suffix", [".h5", ".csv"])
def test_each_crossing_is_logged_kept_in_the_file_and_handed_to_listeners(tmp_path, suffix, caplog):
    pytest.importorskip("h5py")
    heard = []
    record = RecordingSink(tmp_path / f"run{suffix}")
    limits = LimitSink(["value > 250", "value < -5"], listeners=[heard.append])
    limits.subscribe(lambda event: record.add_event(event.index, event.metadata()))
    signal = pulses(300, [50, 200], 10)
    signal[120] = -6.0
    with caplog.at_level(logging.WARNING, logger="vexlo_tools.limits"):
        streams = feed_signals(Both(limits, record), [signal, np.zeros(150)], [100.0, 50.0])
    assert [(e.condition, e.sample, e.index) for e in heard] == \
        [("value > 250", 50, 0), ("value < -5", 120, 0), ("value > 250", 200, 0)]
    assert heard == limits.events
    assert "limit value < -5 crossed by MVR420 1 at sample 120" in caplog.text
    first, second = recording.load(tmp_path / f"run{suffix}")
    assert [(e["condition"], e["sample"], e["value"]) for e in first.events] == \
        [("value > 250", 50, 300.0), ("value < -5", 120, -6.0), ("value > 250", 200, 300.0)]
    assert first.events[0]["utc"] == heard[0].utc and heard[0].utc.startswith(
        streams[0].start_utc.isoformat(timespec="seconds")[:10])
    assert first.events[0]["time_s"] == 0.5 and first.events[0]["kind"] == "limit"
    assert second.events == []


def test_a_failing_listener_is_logged_and_the_alarm_goes_on(caplog):
    heard = []

    def broken(event):
        raise RuntimeError("page gone")

    limits = LimitSink(["value > 250"], listeners=[broken, heard.append])
    feed_signals(limits, [pulses(100, [10, 60], 5)], [100.0])
    assert [e.sample for e in heard] == [10, 60] and "a listener of limit events failed: page gone" in caplog.text
    limits.unsubscribe(broken)
    assert limits.listeners == [heard.append]


def test_the_command_gets_the_event_in_its_environment_and_no_shell(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    script = ("import os, sys; open(sys.argv[1], 'a').write(os.environ['VEXLO_EVENT'] + '\\n'); "
              "open(sys.argv[2], 'a').write(os.environ['VEXLO_EVENT_SAMPLE'] + '\\n')")
    limits = LimitSink(["value > 250"], command=[sys.executable, "-c", script, "events.jsonl", "$(touch hacked)"])
    feed_signals(limits, [pulses(100, [10, 60], 5)], [100.0])
    events = [json.loads(line) for line in (tmp_path / "events.jsonl").read_text().splitlines()]
    assert sorted(e["sample"] for e in events) == [10, 60] and events[0]["condition"] == "value > 250"
    # The argument went to the program as it was: no shell ran it.
    assert sorted((tmp_path / "$(touch hacked)").read_text().split()) == ["10", "60"]
    assert not (tmp_path / "hacked").exists()


def test_a_command_that_cannot_run_is_logged_and_the_alarm_goes_on(tmp_path, caplog):
    heard = []
    limits = LimitSink(["value > 250"], listeners=[heard.append], command=[str(tmp_path / "missing")])
    feed_signals(limits, [pulses(100, [10, 60], 5)], [100.0])
    assert len(heard) == 2 and caplog.text.count("could not run") == 2


@pytest.mark.parametrize("command", [[], [""], ["echo", "a\0b"], [None]])
def test_bad_commands_are_refused(command):
    with pytest.raises(ValueError, match="a program and its arguments"):
        LimitSink(["value > 1"], command=command)


@pytest.mark.parametrize("argv, message", [
    (["--limit", "value >= 3"], "the comparison is > or <"),
    (["--limit", "value > 3", "--on-limit", ""], "needs a program"),
    (["--limit", "value > 3", "--on-limit", "'unbalanced"], "No closing quotation"),
    (["--limit", "value > 3", "--on-limit", "no-such-program-here --now"], "no program 'no-such-program-here'"),
])
def test_record_refuses_bad_limit_options_before_probing(capsys, tmp_path, argv, message):
    with pytest.raises(SystemExit, match="2"):
        cli.main(["--sim", "record", str(tmp_path / "run.h5"), *argv])
    assert message in capsys.readouterr().err and not list(tmp_path.iterdir())


def test_record_refuses_a_command_without_a_limit(capsys, tmp_path):
    assert cli.main(["--sim", "record", str(tmp_path / "run.h5"), "--on-limit", "true"]) == 1
    assert "--on-limit needs a --limit" in capsys.readouterr().err


@pytest.mark.serial
def test_record_with_limits_says_each_alarm_and_keeps_it_in_the_file(capsys, tmp_path):
    code = cli.main(["--instrument", "mvr420:load=12.5,noise=768", "record", str(tmp_path / "run.csv"),
                     "--seconds", "0.5", "--limit", "value > 12.5 hysteresis 0.0003"])
    err = capsys.readouterr().err
    assert code == 0 and "vexlo: limit value > 12.5 hysteresis 0.0003 crossed by MVR420 20240001 at sample" in err
    [data] = recording.load(tmp_path / "run.csv")
    assert len(data.events) == err.count("vexlo: limit ") > 0
    for event in data.events:
        assert data.value[event["sample"]] == event["value"] > 12.5


def kept_event_file(tmp_path, suffix):
    path = tmp_path / f"run{suffix}"
    sink = RecordingSink(path)
    feed_signals(sink, [np.zeros(3)], [100.0])
    return path


@pytest.mark.parametrize("line, message", [
    ('# event: not json', "the event line after row 3: Expecting value"),
    ('# event: "[1\\u002c 2]"', "not a flat object"),
    ('# event: "{\\"a\\": [1]}"', "not a flat object"),
    ("# event: \"{" + "\\u002c".join(f'\\"k{n}\\": 1' for n in range(33)) + "}\"", "at most 32"),
    ("# clock_error_ppm: fast", "clock_error_ppm is not a number"),
])
def test_hostile_event_and_clock_lines_are_refused_clearly(tmp_path, line, message):
    path = kept_event_file(tmp_path, ".csv")
    text = path.read_text()
    path.write_text(text.replace("# end_utc:", line + "\n# end_utc:"))
    with pytest.raises(ValueError, match=f"run.csv: .*{message}"):
        recording.load(path)


@pytest.mark.parametrize("row", [b"not json", b"[1, 2]", b'{"a": {"b": 1}}', b""])
def test_hostile_events_of_an_h5_file_are_refused_clearly(tmp_path, row):
    h5py = pytest.importorskip("h5py")
    path = kept_event_file(tmp_path, ".h5")
    with h5py.File(path, "r+") as file:
        events = file["1"]["events"]
        events.resize((2,))
        events[:] = [b'{"kind": "limit"}', row]
    with pytest.raises(ValueError, match="run.h5: /1/events: not a list of events"):
        recording.load(path)


def test_an_event_too_long_for_a_file_is_refused(tmp_path):
    with recording.open_writer(tmp_path / "run.csv", [{"serial_number": 1}]) as writer:
        with pytest.raises(ValueError, match="an event of more than 512 bytes"):
            writer.event(0, {"note": "x" * 600})


@pytest.mark.broker
def test_a_publisher_keeps_each_instruments_last_alarm_retained_on_the_fleet_path(mosquitto, tmp_path):
    paho = pytest.importorskip("paho.mqtt.client")
    from vexlo_tools.mqtt import Broker
    from vexlo_tools.mqtt.publisher import Publisher

    publisher = Publisher(Broker.from_url(mosquitto.url), "s1", spool_dir=str(tmp_path))
    limits = LimitSink(["value > 250"], listeners=[publisher.publish_event])
    feed_signals(Both(limits, publisher), [pulses(100, [10, 60], 5), np.zeros(100)], [100.0, 100.0])
    got = []
    late = paho.Client(paho.CallbackAPIVersion.VERSION2, protocol=paho.MQTTv5)  # subscribes after the run
    late.on_message = lambda client, userdata, message: got.append((message.topic, json.loads(message.payload)))
    late.connect("127.0.0.1", mosquitto.port)
    late.subscribe("vexlo/s1/+/event", qos=1)
    late.loop_start()
    try:
        deadline = time.monotonic() + 5
        while not got and time.monotonic() < deadline:
            time.sleep(0.02)
    finally:
        late.loop_stop()
    assert [(topic, event["sample"], event["condition"]) for topic, event in got] == \
        [("vexlo/s1/1/event", 60, "value > 250")]


def test_with_a_trigger_a_limit_event_goes_into_the_event_whose_window_holds_it(tmp_path):
    signal = np.zeros(700)
    signal[90:100], signal[100:120], signal[500:510] = 60.0, 300.0, 60.0
    trigger = recording.TriggerSink(tmp_path / "run.csv", "value > 250", pre=0.2, post=0.1)
    limits = LimitSink(["value > 50"], listeners=[lambda event: trigger.add_event(event.index, event.metadata())])
    feed_signals(Both(limits, trigger), [signal], [100.0])
    assert [e.sample for e in limits.events] == [90, 500]
    [data] = recording.load(tmp_path / "run.event0001.csv")
    assert [e["sample"] for e in data.events] == [90] and data.metadata["trigger_sample"] == 100

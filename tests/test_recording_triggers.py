"""Triggered recordings and the conditions they watch: crossings, windows, files that say what triggered them."""
from datetime import timedelta

import numpy as np
import pytest

from vexlo_tools import Block, Stats, StreamEnd, cli, recording
from vexlo_tools.recording import Condition, Crossings, TriggerSink
from engine_doubles import stream


def feed_signals(sink, signals, rates, per_read=7, end=True):
    """Hand ``sink`` each stream's signal in reads of ``per_read`` samples at 100 samples/s (as many more as a
    stream is faster), stream after stream, then the ends."""
    streams = [stream(n, rate) for n, rate in enumerate(rates, 1)]
    sink.open(streams)
    sizes = [round(per_read * rate / 100) for rate in rates]
    for read in range(max(-(-len(s) // n) for s, n in zip(signals, sizes))):
        for index, (signal, size) in enumerate(zip(signals, sizes)):
            start = read * size
            value = np.asarray(signal[start:start + size], np.float64)
            if len(value):
                numbers = np.arange(start, start + len(value))
                sink.write(Block(streams[index].device, start, numbers / rates[index], numbers.astype(np.uint32),
                                 value, Stats(start + len(value)), index))
        sink.tick([Stats(min(len(s), (read + 1) * n)) for s, n in zip(signals, sizes)])
    if end:
        for index, signal in enumerate(signals):
            now = streams[index].start_utc
            sink.end(index, StreamEnd("completed", True, now, now, Stats(len(signal))))
    sink.close()
    return streams


def pulses(length, starts, width, high=300.0, first=0):
    signal = np.zeros(length)
    signal[:first] = high  # above the level from the start: no crossing
    for start in starts:
        signal[start:start + width] = high
    return signal


@pytest.mark.parametrize("suffix", [".h5", ".csv"])
def test_each_crossing_writes_its_window_of_every_instrument(tmp_path, suffix):
    pytest.importorskip("h5py")
    # The second instrument (200 samples/s) is watched; it is above the level from the start, which is no crossing.
    signals = [np.arange(500.0), pulses(1000, [100, 400], 20, first=10)]
    sink = TriggerSink(tmp_path / f"run{suffix}", "value > 250", pre=0.25, post=0.3, on=2)
    streams = feed_signals(sink, signals, [100.0, 200.0])
    assert sink.count == 2
    for number, crossing in ((1, 100), (2, 400)):
        event = recording.load(recording.numbered_path(tmp_path / f"run{suffix}", "event", number))
        first, second = event
        at = crossing / 200.0
        np.testing.assert_array_equal(second.adc, np.arange(crossing - 50, crossing + 61))  # both ends included
        np.testing.assert_array_equal(first.adc, np.arange(round((at - 0.25) * 100), round((at + 0.3) * 100) + 1))
        for data in event:
            meta = data.metadata
            assert (meta["trigger"], meta["trigger_sample"], meta["trigger_serial_number"], meta["event"]) == \
                ("value > 250", crossing, 2, number)
            assert meta["trigger_utc"] == (streams[1].start_utc + timedelta(seconds=at)).isoformat(
                timespec="microseconds")
            assert meta["complete"] is True and meta["received"] == meta["samples"] == len(data.adc)


def test_the_window_starts_at_the_first_sample_and_the_events_limit_finishes(tmp_path):
    sink = TriggerSink(tmp_path / "run.csv", "adc > 5", pre=10.0, post=0.05, events=1)
    feed_signals(sink, [np.arange(100.0)], [100.0])
    [data] = recording.load(tmp_path / "run.event0001.csv")
    np.testing.assert_array_equal(data.adc, np.arange(12))  # from sample 0 to 5 samples after the crossing at 6
    assert sink.finished.is_set() and sink.count == 1


def test_an_event_cut_short_says_so(tmp_path):
    sink = TriggerSink(tmp_path / "run.csv", "value > 250", pre=0.1, post=5.0)
    feed_signals(sink, [pulses(200, [150], 10)], [100.0], end=False)
    [data] = recording.load(tmp_path / "run.event0001.csv")
    assert len(data.adc) == 60 and data.metadata["complete"] is False
    assert data.metadata["end_reason"] == "interrupted"


def test_without_post_the_event_ends_with_the_crossing(tmp_path):
    feed_signals(TriggerSink(tmp_path / "run.csv", "value > 250", pre=0.0, post=0.0), [pulses(100, [40], 5)], [100.0])
    [data] = recording.load(tmp_path / "run.event0001.csv")
    np.testing.assert_array_equal(data.adc, [40])


def test_a_trigger_on_an_instrument_not_there_is_refused(tmp_path):
    with pytest.raises(ValueError, match="no instrument with serial number 7 to trigger on"):
        feed_signals(TriggerSink(tmp_path / "run.csv", "value > 1", on=7), [np.zeros(10)], [100.0])


@pytest.mark.parametrize("condition, signal, found", [
    ("value > 250", [0, 300, 0, 300], [1, 3]),
    ("value > 250", [300, 300, 0, 251], [3]),                       # reached at the start: no crossing
    ("value > 250", [0, 251, 249, 251, 249, 251], [1, 3, 5]),
    ("value > 250 hysteresis 5", [0, 251, 249, 251, 249, 251, 240, 260], [1, 7]),
    ("value < -10", [0, -11, -9, -12], [1, 3]),
    ("value < -10 hysteresis 2", [0, -11, -9, -12, -7, -11], [1, 5]),
    ("adc > 1000", [0, 1001, 1000, 1001], [1, 3]),
])
def test_crossings(condition, signal, found):
    signal = np.asarray(signal, np.float64)
    whole = Crossings(condition).find(signal, signal.astype(np.uint32) if condition.startswith("adc") else None)
    assert whole == found
    # Block by block, the state carries over.
    crossings, seen = Crossings(condition), []
    for start in range(len(signal)):
        seen += [start + i for i in crossings.find(signal[start:start + 1], signal[start:start + 1].astype(np.uint32))]
    assert seen == found


@pytest.mark.parametrize("text, message", [
    ("", "an empty condition"),
    ("   ", "an empty condition"),
    ("value", "a condition reads FIELD > LEVEL"),
    ("value >", "a condition reads FIELD > LEVEL"),
    ("force > 3", "on value or adc, not 'force'"),
    ("__import__('os').system('id') > 1", "on value or adc"),
    ("value >= 3", "the comparison is > or <, not '>='"),
    ("value == 3", "the comparison is > or <"),
    ("value > nan", "'nan' is not a decimal number"),
    ("value > inf", "is not a decimal number"),
    ("value > 1e999", "is not a finite number"),
    ("value > 0x10", "is not a decimal number"),
    ("value > 3 hysteresis -1", "the hysteresis is at least 0"),
    ("value > 3 hysteresis", "a condition reads"),
    ("value > 3 and 1", "only 'hysteresis H' may follow"),
    ("value > 3; rm -rf /", "a condition reads"),
    ("value > 3\n", "a character other than"),
    ("value > 3\x00", "a character other than"),
    ("valu\u00e9 > 3", "a character other than"),
    ("value > " + "9" * 300, "longer than 200 characters"),
])
def test_hostile_conditions_are_refused_clearly(text, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace("'", "'")):
        Condition.parse(text)


def test_conditions_read_back_as_written():
    assert str(Condition.parse(" value>250 ")) == "value > 250"
    assert Condition.parse("adc < 1.5e6 hysteresis 1000") == Condition("adc", "<", 1.5e6, 1000.0)


def test_record_refuses_bad_trigger_options_before_probing(capsys, tmp_path):
    for argv, message in ((["--trigger", "value > 1", "--split", "1h"], "give one of them"),
                          (["--trigger", "value > 1", "--pre", "1e9"], "--pre must be from 0 to 600 seconds"),
                          (["--trigger", "value > 1", "--events", "0"], "--events must be at least 1"),
                          (["--pre", "2"], "--pre goes with --trigger"),
                          (["--trigger-on", "4711"], "--trigger-on goes with --trigger")):
        assert cli.main(["--sim", "record", str(tmp_path / "run.h5"), *argv]) == 1
        assert message in capsys.readouterr().err
    with pytest.raises(SystemExit, match="2"):
        cli.main(["--sim", "record", str(tmp_path / "run.h5"), "--trigger", "value >= 1"])
    assert "the comparison is > or <" in capsys.readouterr().err
    assert not list(tmp_path.iterdir())


@pytest.mark.serial
def test_record_trigger_writes_events_and_ends_after_the_asked_number(capsys, tmp_path):
    code = cli.main(["--instrument", "mvr420:load=12.5,noise=768", "--instrument", "mvr420:serial=4711",
                     "record", str(tmp_path / "run.csv"), "--trigger", "value > 12.5", "--pre", "0.1",
                     "--post", "0.1", "--events", "2", "--trigger-on", "20240001"])
    out = capsys.readouterr().out
    assert code == 0 and "Waiting for value > 12.5 on MVR420 20240001 (2 instruments kept)" in out
    assert "event 2: value > 12.5 at sample" in out and "2 events recorded" in out
    for number in (1, 2):
        watched, other = recording.load(recording.numbered_path(tmp_path / "run.csv", "event", number))
        assert watched.metadata["trigger_serial_number"] == 20240001 and other.name == "4711"
        crossing = watched.metadata["trigger_sample"]
        assert watched.value[crossing - round(watched.time[0] * 100)] > 12.5
        assert abs(len(watched.value) - 20) <= 10 and len(other.value) > 0


@pytest.mark.parametrize("per_read", [7, 400])  # 400: a whole event, and the crossings in its window, in one read
def test_a_crossing_in_the_window_of_the_event_before_belongs_to_it(tmp_path, per_read):
    sink = TriggerSink(tmp_path / "run.csv", "value > 250", pre=0.1, post=0.3)
    feed_signals(sink, [pulses(1000, [100, 115, 400], 5)], [100.0], per_read=per_read)
    assert sink.count == 2
    assert [recording.load(recording.numbered_path(tmp_path / "run.csv", "event", n)).instruments["1"]
            .metadata["trigger_sample"] for n in (1, 2)] == [100, 400]

"""Recordings in parts: boundaries that lose and repeat nothing, parts that are whole recordings, joined by the loader."""
import itertools

import numpy as np
import pytest

from vexlo_tools import cli, recording
from vexlo_tools.recording import RecordingSink, Split
from engine_doubles import ScriptedAcquisition


def feed(sink, acquisition):
    """What the engine does, on this thread: every read's blocks, a tick, the ends, then close."""
    acquisition.start()
    sink.open(acquisition.streams)
    ended = set()
    while len(ended) < len(acquisition.streams):
        ends = list(acquisition.ends)
        for block in acquisition.read(0):
            if len(block):
                sink.write(block)
        sink.tick(acquisition.stats())
        for index, end in enumerate(ends):
            if end is not None and index not in ended:
                sink.end(index, end)
                ended.add(index)
    sink.close()


def run_parts(tmp_path, rates, samples, split, suffix=".csv", per_read=7):
    ticks = itertools.count()
    # Each look at the clock a second later: every tick flushes (and a size split looks at the files).
    sink = RecordingSink(tmp_path / f"run{suffix}", split, clock=lambda: float(next(ticks)))
    feed(sink, ScriptedAcquisition(rates, per_read=per_read, samples=samples))
    return sink


def numbers(data):
    return np.rint(data.time * data.metadata["samples_per_second"]).astype(np.int64)


def test_a_thousand_boundaries_lose_and_repeat_no_sample(tmp_path):
    # 5 samples a part, blocks of 7: most boundaries fall inside a block.
    sink = run_parts(tmp_path, [100.0], 5001, Split(seconds=0.05))
    assert len(sink.progress.paths) == 1001
    [data] = recording.load(tmp_path / "run.part0001.csv", parts=True)
    np.testing.assert_array_equal(numbers(data), np.arange(5001))
    np.testing.assert_array_equal(data.adc, np.arange(5001))
    assert (data.metadata["parts"], data.metadata["samples"], data.metadata["received"]) == (1001, 5001, 5001)
    assert data.metadata["complete"] is True and data.metadata["end_reason"] == "completed"


@pytest.mark.parametrize("suffix", [".h5", ".csv"])
@pytest.mark.parametrize("split", [Split(seconds=0.3), Split(size=5000)], ids=["time", "size"])
def test_each_part_is_a_whole_recording_and_the_parts_add_up(tmp_path, suffix, split):
    pytest.importorskip("h5py")
    sink = run_parts(tmp_path, [100.0, 150.0], 240, split, suffix)
    whole = recording.load(tmp_path / f"run{suffix}", parts=True)  # the run's name finds its first part
    count = whole.instruments["1"].metadata["parts"]
    assert count >= 3 and len({p.rsplit(".part", 1)[1][:4] for p in sink.progress.paths}) == count
    for data in whole:
        np.testing.assert_array_equal(numbers(data), np.arange(240))
        assert data.metadata["received"] == data.metadata["samples"] == 240
    # The parts' counters add up to the run's final ones (the double's second stream ends with 1 missing).
    assert [d.metadata["missing"] for d in whole] == [0, 1]
    run_ids, ends = set(), []
    for number in range(1, count + 1):
        part = recording.load(recording.numbered_path(tmp_path / f"run{suffix}", "part", number))
        for data in part:
            meta = data.metadata
            assert meta["part"] == number and meta["complete"] is True
            if len(data.value) and numbers(data)[-1] < 239:  # left at its boundary: said so, never unknown
                assert meta["end_reason"] == "continued in the next part"
            assert meta["previous_part"] == ("" if number == 1 else f"run.part{number - 1:04d}{suffix}")
            # The counters of the part's own samples.
            assert meta["samples"] == meta["received"] == len(data.value)
            if len(data.value):
                assert numbers(data)[0] == sum(len(recording.load(recording.numbered_path(
                    tmp_path / f"run{suffix}", "part", n)).instruments[data.name].value) for n in range(1, number))
            run_ids.add(meta["run_id"])
            ends.append(numbers(data)[-1] if len(data.value) else None)
    assert len(run_ids) == 1
    if split.seconds:  # time boundaries lie on the samples' times: 0.3 s of each instrument a part
        assert [len(d.value) for d in recording.load(tmp_path / f"run.part0001{suffix}")] == [30, 45]


def test_the_loader_stops_at_a_part_of_another_run(tmp_path):
    run_parts(tmp_path, [100.0], 100, Split(seconds=0.4))
    other = tmp_path / "other"
    other.mkdir()
    run_parts(other, [100.0], 100, Split(seconds=0.4))
    (other / "run.part0002.csv").replace(tmp_path / "run.part0002.csv")  # another run's second part
    [data] = recording.load(tmp_path / "run.part0001.csv", parts=True)
    assert len(data.value) == 40 and "parts" not in data.metadata


@pytest.mark.parametrize("text, seconds, size", [
    ("90s", 90.0, None), ("30min", 1800.0, None), ("1h", 3600.0, None), ("1.5d", 129600.0, None),
    ("500MB", None, 500_000_000), ("512MiB", None, 512 << 20), (" 2GB ", None, 2_000_000_000),
])
def test_split_spans_and_sizes(text, seconds, size):
    assert Split.parse(text) == Split(seconds=seconds, size=size)


@pytest.mark.parametrize("text, message", [
    ("", "give a time"), ("1", "give a time"), ("1 parsec", "give a time"), ("-1h", "give a time"),
    ("1e3s", "give a time"), ("nan h", "give a time"), ("infs", "give a time"), ("1h; rm -rf /", "give a time"),
    ("9" * 400 + "h", "give a time"), ("0s", "at least 1 s"), ("0.5s", "at least 1 s"), ("10kB", "at least 64 KiB"),
    ("1\u0000h", "give a time"),
])
def test_hostile_splits_are_refused_clearly(text, message):
    with pytest.raises(ValueError, match=message):
        Split.parse(text)


def test_record_refuses_parts_of_an_earlier_run_before_probing(capsys, tmp_path):
    (tmp_path / "run.part0003.h5").write_text("keep")
    assert cli.main(["--sim", "record", str(tmp_path / "run.h5"), "--split", "1h"]) == 1
    assert "run.part0003.h5 exists, a part of an earlier run" in capsys.readouterr().err
    with pytest.raises(SystemExit, match="2"):
        cli.main(["--sim", "record", str(tmp_path / "run.h5"), "--split", "1 parsec"])
    assert "give a time (90s, 30min, 1h, 1d)" in capsys.readouterr().err


@pytest.mark.serial
def test_record_split_writes_parts_and_plot_draws_them_as_one(capsys, tmp_path):
    pytest.importorskip("h5py")
    pytest.importorskip("matplotlib")
    code = cli.main(["--instrument", "mvr420", "record", str(tmp_path / "run.h5"), "--split", "1s",
                     "--seconds", "2.5"])
    out = capsys.readouterr().out
    assert code == 0 and "parts of 1 s: " in out and "run.part0003.h5" in out
    [data] = recording.load(tmp_path / "run.h5", parts=True)
    np.testing.assert_array_equal(numbers(data), np.arange(250))
    assert data.metadata["parts"] == 3
    assert cli.main(["plot", str(tmp_path / "run.part0001.h5"), "-o", str(tmp_path / "run.png")]) == 0
    from vexlo_tools import plot
    figure = plot.plot_file(tmp_path / "run.part0001.h5", tmp_path / "again.png")
    assert "250 samples in 3 parts" in figure.axes[0].get_title()

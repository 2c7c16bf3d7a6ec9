"""recording.record() and its sink: what an acquisition delivers goes into the file with the final counters."""
from types import SimpleNamespace

import numpy as np
import pytest

import vexlo_device_communication as vexlo
from vexlo_tools import Block, Stats, recording
from engine_doubles import ScriptedAcquisition

pytest.importorskip("h5py", reason="the hdf5 extra")


@pytest.mark.parametrize("suffix", [".h5", ".csv"])
def test_a_finite_run_is_written_whole_with_the_final_counters(tmp_path, suffix):
    acquisition = ScriptedAcquisition([100.0, 150.0], samples=75)
    lines = []
    progress = recording.record(acquisition, tmp_path / f"run{suffix}", status=lambda p: lines.append(p.line()),
                                status_seconds=0.001)
    run = recording.load(tmp_path / f"run{suffix}")
    assert [len(i.time) for i in run] == progress.samples == [75, 75]
    for data, sps in zip(run, (100.0, 150.0)):
        np.testing.assert_allclose(data.time, np.arange(75) / sps, atol=1e-9)
        assert data.metadata["samples_per_second"] == sps and data.metadata["direction_1_fullscale_count"] == 12e6
    # The counters of each stream's end.
    assert [i.metadata["received"] for i in run] == [75, 75] and [i.metadata["missing"] for i in run] == [0, 1]
    assert not progress.interrupted and lines and "samples" in lines[-1] and "file " in lines[-1]
    assert acquisition.stop_calls == [False]


def test_ctrl_c_leaves_a_complete_file(tmp_path, monkeypatch):
    acquisition = ScriptedAcquisition([100.0])
    waits = []

    def wait(self, timeout=None):
        waits.append(timeout)
        raise KeyboardInterrupt

    monkeypatch.setattr("vexlo_tools.engine.Engine.wait", wait)
    progress = recording.record(acquisition, tmp_path / "run.h5")
    [data] = recording.load(tmp_path / "run.h5")
    assert acquisition.stop_calls == [True] and progress.interrupted
    assert progress.samples == [len(data.value)] == [acquisition.sent[0]]
    assert data.metadata["complete"] is True and data.metadata["received"] == acquisition.sent[0]


def test_an_instrument_that_fails_ends_its_part_the_others_go_on_and_its_error_is_raised(tmp_path):
    acquisition = ScriptedAcquisition([100.0, 100.0], samples=90, fail_at=(1, 2))
    with pytest.raises(vexlo.VexloCommunicationError, match="MVR420 2 on /dev/pts/2: gone"):
        recording.record(acquisition, tmp_path / "run.h5")
    assert [len(i.value) for i in recording.load(tmp_path / "run.h5")] == [90, 30]


def test_each_instrument_says_how_its_data_ended_and_carries_the_notes(tmp_path):
    acquisition = ScriptedAcquisition([100.0, 100.0], samples=90, fail_at=(1, 2))
    with pytest.raises(vexlo.VexloCommunicationError):
        recording.record(acquisition, tmp_path / "run.h5", metadata={"notes": "bridge 4,\n=north"})
    first, second = recording.load(tmp_path / "run.h5")
    assert (first.metadata["end_reason"], first.metadata["complete"]) == ("completed", True)
    assert (second.metadata["end_reason"], second.metadata["complete"]) == \
        ("failed: MVR420 2 on /dev/pts/2: gone", False)
    for data, stream in zip((first, second), acquisition.streams):
        assert data.metadata["start_utc"] == stream.start_utc.isoformat(timespec="milliseconds")
        assert data.metadata["end_utc"] >= data.metadata["start_utc"] and data.metadata["notes"] == "bridge 4,\n=north"
        assert data.metadata["channel"] == 0


@pytest.mark.parametrize("suffix", [".h5", ".csv"])
def test_counters_reach_the_file_at_every_flush_but_never_ahead_of_its_samples(tmp_path, suffix):
    path = tmp_path / f"run{suffix}"
    clock = SimpleNamespace(now=0.0)
    sink = recording.RecordingSink(path, clock=lambda: clock.now)
    streams = ScriptedAcquisition([100.0]).streams
    sink.open(streams)

    def tick(stats):
        clock.now += 0.5  # the promised flush cadence
        sink.tick([stats])
        [data] = recording.load(path)
        return [data.metadata[k] for k in ("samples", "received", "missing")]

    sink.write(Block(None, 0, np.arange(10) / 100.0, np.zeros(10, np.uint32), np.zeros(10), Stats(10), 0))
    assert tick(Stats(10, missing=5)) == [10, 10, 5]    # no new samples: the missing ones count
    assert tick(Stats(25, missing=9)) == [10, 10, 5]    # 15 samples on their way: not yet
    sink.close()


@pytest.mark.parametrize("size, text", [
    (0, "0 bytes"), (999, "999 bytes"), (1000, "1.0 kB"), (45_300, "45.3 kB"), (999_949, "999.9 kB"),
    (999_950, "1.0 MB"), (1_800_000, "1.8 MB"), (2_800_000_000, "2.8 GB"), (5 * 10**15, "5000.0 TB"),
])
def test_a_size_is_never_rounded_to_nothing(size, text):
    from vexlo_tools.types import size_text
    assert size_text(size) == text

"""Recording files: round trips with provenance, cut-off files, output paths checked up front."""
import subprocess
import sys

import numpy as np
import pytest

from vexlo_tools import Block, Stats, recording
from vexlo_tools._extras import MissingExtraError
from vexlo_tools.recording import csvfile, writers

h5py = pytest.importorskip("h5py", reason="the hdf5 extra")


def block(first, count, rate=38400.0, overrun=0):
    rng = np.random.default_rng(first)
    index = np.arange(first, first + count)
    return Block(None, first, index / rate, rng.integers(0, 2**24, count).astype(np.uint32),
                 rng.normal(250.0, 30.0, count), Stats(first + count, overrun, 1, 2))


METADATA = [
    {"model": "PLX310", "item_number": "QMT31872", "serial_number": 20240001, "firmware": "04.03.02",
     "port": "/dev/pts/3", "rate_code": 15, "samples_per_second": 38400.0, "unit": "N",
     "calibration": "TEDS data sheet", "teds_reverse_scaling_enabled": False, "note": "true"},
    {"model": "MVR420", "serial_number": 20240002, "unit": "kg", "direction_1_fullscale_load": 101.97},
]


def test_reading_and_drawing_recordings_loads_no_extension(tmp_path):
    path = tmp_path / "run.csv"
    with recording.open_writer(path, METADATA[:1]) as writer:
        writer.append(0, block(0, 10))
    code = ("import sys\nfrom vexlo_tools import plot, recording\nrecording.load(sys.argv[1])\n"
            "print('vexlo_device_communication' in sys.modules)")
    done = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, check=True)
    assert done.stdout.split() == ["False"]


@pytest.mark.parametrize("suffix, compress", [(".h5", False), (".h5", True), (".csv", False)])
@pytest.mark.parametrize("instruments", [1, 2])
def test_round_trip_keeps_samples_provenance_and_counters(tmp_path, suffix, compress, instruments):
    path = tmp_path / f"run{suffix}"
    metadata = METADATA[:instruments]
    blocks = [[block(0, 500), block(0, 40)], [block(500, 0), block(40, 7)], [block(500, 1200, overrun=9), block(47, 3)]]
    with recording.open_writer(path, metadata, compress=compress) as writer:
        for row in blocks:
            writer.write(row[:instruments])
            writer.flush()
        writer.end(0, "completed", True)  # the second instrument is never told its end
    loaded = recording.load(path)
    assert list(loaded.instruments) == [str(m["serial_number"]) for m in metadata]
    for n, (data, meta) in enumerate(zip(loaded, metadata)):
        mine = [row[n] for row in blocks]
        np.testing.assert_allclose(data.time, np.concatenate([b.time for b in mine]), rtol=0, atol=1e-9)
        np.testing.assert_array_equal(data.adc, np.concatenate([b.adc for b in mine]))
        np.testing.assert_array_equal(data.value, np.concatenate([b.value for b in mine]))
        assert data.adc.dtype == np.uint32 and data.value.dtype == data.time.dtype == np.float64
        last = mine[-1].stats
        assert {k: data.metadata[k] for k in meta} == meta
        assert [data.metadata[k] for k in recording.COUNTERS] == [last.received, last.overrun, last.missing,
                                                                  last.corrupted]
        # An end nobody gave is not guessed.
        assert (data.metadata["end_reason"], data.metadata["complete"]) == \
            (("completed", True) if n == 0 else ("unknown", False)) and data.metadata["end_utc"]


def test_hdf5_keeps_runs_of_sample_numbers_in_place_of_times_and_units_on_the_data(tmp_path):
    path = tmp_path / "run.h5"
    blocks = [block(5, 100), block(105, 50), block(400, 10), block(410, 3)]  # a gap of 245 samples
    with recording.open_writer(path, METADATA) as writer:
        for one in blocks:
            writer.write([one, one])
            writer.flush()
    with h5py.File(path, "r") as file:
        plx, mvr = file["20240001"], file["20240002"]
        assert "time" not in plx and plx["runs"][()].tolist() == [[0, 5], [150, 400]]
        assert "runs" not in mvr and len(mvr["time"]) == 163  # no rate: the times are stored
        assert [plx[k].attrs["unit"] for k in ("adc", "value")] == ["counts", "N"]
    for data in recording.load(path):
        np.testing.assert_array_equal(data.time, np.concatenate([b.time for b in blocks]))


def taken(first, count, rate=38400.0, overrun=0):
    """The same block as :func:`block`, its times made on demand (as an acquisition and a collector make them)."""
    made = block(first, count, overrun=overrun)
    stats = made.stats
    return Block._taken(None, first, made.adc, made.value, rate,
                        (stats.received, stats.overrun, stats.missing, stats.corrupted, 0), 0, None)


@pytest.mark.parametrize("suffix", [".h5", ".csv"])
def test_blocks_with_times_on_demand_write_the_same_file_and_hdf5_never_makes_them(tmp_path, suffix):
    pieces = [(5, 100), (105, 50), (400, 10), (410, 3)]  # a gap of 245 samples
    loaded = []
    for name, make in (("made", block), ("taken", taken)):
        blocks = [make(first, count, overrun=first) for first, count in pieces]
        with recording.open_writer(tmp_path / f"{name}{suffix}", METADATA[:1]) as writer:
            for one in blocks:
                writer.write([one])
                writer.flush()
        loaded.append(recording.load(tmp_path / f"{name}{suffix}").instruments["20240001"])
    # The blocks were not asked for their times (the HDF5 writer keeps sample numbers as they are).
    assert not any("time" in one.__dict__ for one in blocks)
    made, numbered = loaded
    for key in ("time", "adc", "value"):
        np.testing.assert_array_equal(getattr(numbered, key), getattr(made, key))
    assert {k: numbered.metadata[k] for k in recording.COUNTERS} == {k: made.metadata[k] for k in recording.COUNTERS}


@pytest.mark.parametrize("bad", [
    pytest.param(lambda: Block(None, 0, np.array([0.0, 0.5e-3]), np.zeros(2, np.uint32), np.zeros(2), Stats()),
                 id="times-that-are-no-sample-numbers"),
    pytest.param(lambda: Block._taken(None, 3, np.zeros(2, np.uint32), np.zeros(2), 1000.0, (0,) * 5, 0, None),
                 id="sample-numbers-of-another-rate"),
])
def test_times_that_are_not_the_files_sample_numbers_are_refused_and_the_samples_around_them_kept(tmp_path, bad):
    path = tmp_path / "run.h5"
    with recording.open_writer(path, METADATA[:1]) as writer:
        writer.append(0, block(0, 10))
        with pytest.raises(ValueError, match="not sample numbers / samples_per_second"):
            writer.append(0, bad())
        writer.append(0, block(10, 5))
    data = recording.load(path).instruments["20240001"]
    np.testing.assert_array_equal(data.time, np.arange(15) / 38400.0)
    assert data.metadata["samples"] == 15


def test_compression_needs_a_format_that_compresses(tmp_path):
    with pytest.raises(ValueError, match="CSV text recordings cannot be compressed; compression needs one of .h5"):
        recording.open_writer(tmp_path / "run.csv", METADATA[:1], compress=True)


def test_dataframe_carries_the_metadata(tmp_path):
    pytest.importorskip("pandas")
    path = tmp_path / "run.csv"
    with recording.open_writer(path, METADATA[:1]) as writer:
        writer.write([block(0, 10)])
    frame = recording.load(path).instruments["20240001"].dataframe()
    assert list(frame.columns) == ["time_s", "adc", "value"] and len(frame) == 10
    assert frame.attrs["model"] == "PLX310"


@pytest.mark.parametrize("value", ["true", "1.5", "null", "04.03.02", '"quoted"', "a: b", "", " x ", 7, 2.5, True])
def test_csv_metadata_values_read_back_as_written(value):
    assert csvfile.parse_metadata_line(csvfile.metadata_line("key", value)) == ("key", value)


def test_csv_cut_off_mid_row_reads_the_whole_rows(tmp_path):
    path = tmp_path / "run.csv"
    writer = recording.open_writer(path, METADATA[:1])
    writer.write([block(0, 100)])
    writer.flush()
    text = path.read_text()
    path.write_text(text[:text.rindex("\n# counters") - 7])  # as if the process died while writing the last row
    data = recording.load(path).instruments["20240001"]
    assert len(data.time) == 99 and data.metadata["complete"] is False
    # The counters said last how it stood before the rows came.
    assert (data.metadata["samples"], data.metadata["counted_samples"]) == (99, 0)
    writer.close()


@pytest.mark.parametrize("name, prepare, error, message", [
    ("run.txt", None, ValueError, "from its suffix; use one of .csv (CSV text), .h5 (HDF5)"),
    ("run.h5", "file", FileExistsError, "exists (--overwrite replaces it)"),
    ("missing/run.h5", None, FileNotFoundError, "No such file or directory"),
    ("run.csv", "folder", IsADirectoryError, "Is a directory"),
])
def test_output_path_is_refused_before_anything_is_written(tmp_path, name, prepare, error, message):
    path = tmp_path / name
    if prepare == "file":
        path.write_text("keep me")
    elif prepare == "folder":
        path.mkdir()
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        recording.check_output(path)
    assert prepare != "file" or path.read_text() == "keep me"


def test_overwrite_allows_an_existing_file(tmp_path):
    path = tmp_path / "run.h5"
    path.write_text("old")
    assert recording.check_output(path, overwrite=True) is recording.HDF5Writer
    with recording.open_writer(path, METADATA[:1], overwrite=True) as writer:
        writer.write([block(0, 3)])
    assert len(recording.load(path).instruments["20240001"].value) == 3


@pytest.mark.parametrize("module, extra, call", [
    ("h5py", "hdf5", lambda tmp: recording.check_output(tmp / "run.h5")),
    ("pandas", "pandas", lambda tmp: recording.InstrumentData("1", np.zeros(1), np.zeros(1, np.uint32),
                                                              np.zeros(1)).dataframe()),
])
def test_a_missing_library_names_its_extra(tmp_path, monkeypatch, module, extra, call):
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(MissingExtraError, match=rf"\[{extra}\]'$"):
        call(tmp_path)


@pytest.mark.parametrize("suffix", [".h5", ".csv"])
@pytest.mark.parametrize("completes", [(True, False), (False, True), (True, True)])
def test_a_file_is_complete_when_every_instrument_is_and_its_ends_are_bounded_text(tmp_path, suffix, completes):
    path = tmp_path / f"run{suffix}"
    long = "failed: " + "\0x" * 3 * writers.MAX_TEXT  # a failure's message is whatever the failure said
    with recording.open_writer(path, METADATA) as writer:
        for n, complete in enumerate(completes):
            writer.append(n, block(0, 5))
            writer.end(n, "completed" if complete else long, complete)
    for data, complete in zip(recording.load(path), completes):
        reason = data.metadata["end_reason"]
        assert data.metadata["complete"] is complete
        assert reason == "completed" if complete else (len(reason) == writers.MAX_TEXT and "\0" not in reason)
    if suffix == ".h5":
        with h5py.File(path) as file:
            assert file.attrs["complete"] == all(completes)

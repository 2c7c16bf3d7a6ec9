"""Recordings against what goes wrong: hostile files, hostile strings, full disks, two writers on one path."""
import csv
import os
import subprocess
import sys

import numpy as np
import pytest

from vexlo_tools import Block, Stats, plot, recording
from vexlo_tools.recording import csvfile

h5py = pytest.importorskip("h5py", reason="the hdf5 extra")

META = {"model": "MVR420", "serial_number": 7, "unit": "N", "samples_per_second": 100.0}


def block(first, count, rate=100.0):
    index = np.arange(first, first + count)
    return Block(None, first, index / rate, index.astype(np.uint32), index * 0.5, Stats(first + count))


def write(path, metadata=META, blocks=(block(0, 50),), **options):
    with recording.open_writer(path, [metadata], **options) as writer:
        for one in blocks:
            writer.write([one])
            writer.flush()


# ---------------------------------------------------------------- strings are data

HOSTILE_TEXTS = ["a\n# x: 1", "a\r\nb", "a,=1+1", "=SUM(A1:A9)", "+1", "-x", "@cmd", "semi;colon", 'say "hi"',
                 "tab\there", "\u2028line", "\x85nel", "ünï €", "", " x ", "true", "1.5", "null", "04.03.02",
                 "\\u002c", "'quoted'"]


@pytest.mark.parametrize("suffix", [".csv", ".h5"])
def test_hostile_strings_round_trip_exactly_and_stay_data(tmp_path, suffix):
    path = tmp_path / f"run{suffix}"
    metadata = dict(META, **{f"text_{n}": text for n, text in enumerate(HOSTILE_TEXTS)})
    write(path, metadata)
    [data] = recording.load(path)
    assert {k: data.metadata[k] for k in metadata} == metadata and len(data.value) == 50
    if suffix == ".csv":
        lines = path.read_text(encoding="utf-8").split("\n")
        # One line per value; each one field, starting with "#", to a CSV reader and a spreadsheet.
        assert len(lines) == 1 + len(metadata) + 1 + 50 + 2 + 3 + 1
        for row in csv.reader(lines[1:1 + len(metadata)]):
            assert len(row) == 1 and row[0].startswith("# ")
        pandas = pytest.importorskip("pandas")
        frame = pandas.read_csv(path, comment="#")
        assert list(frame.columns) == ["time_s", "adc", "value"] and len(frame) == 50


@pytest.mark.parametrize("key, value, message", [
    ("a b", "x", "not a name"), ("received", 3, "written by the recording itself"),
    ("model", "x" * 5000, "more than 4096"), ("model", "a\0b", "NUL"), ("model", [1], "not text"),
])
def test_metadata_a_file_cannot_hold_is_refused_before_anything_is_written(tmp_path, key, value, message):
    with pytest.raises(ValueError, match=message):
        recording.open_writer(tmp_path / "run.csv", [dict(META, **{key: value})])
    assert list(tmp_path.iterdir()) == []


def test_plot_titles_are_literal_and_short(tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "price_$5_vs_$6.h5"
    write(path, dict(META, model="$\\frac{a}{b}$ " + "x" * 500, unit="$^$"))
    figure = plot.plot_file(path, tmp_path / "out.png")
    titles = [ax.get_title() for ax in figure.axes] + [figure._suptitle.get_text()]
    assert titles[0].startswith("$\\frac{a}{b}$ xxx") and max(len(t) for t in titles) <= 2 * plot.MAX_LABEL
    assert figure.axes[0].get_ylabel() == "value ($^$)" and titles[1].startswith("price_$5_vs_$6.h5")


# ---------------------------------------------------------------- hostile files

def csv_text(*lines, header=csvfile.HEADER):
    return "\n".join([header, "# model: MVR420", "# samples_per_second: 100.0", csvfile.COLUMNS, *lines]) + "\n"


@pytest.mark.parametrize("text, message", [
    ("hello\n", "not a vexlo recording"),
    (csv_text("0.0,1,2.0", "0.01," + "9" * 10_000), "a row of more than 256 bytes"),
    (csv_text("0.0,1,2.0") + "1" * 100_000, "a line of more than"),
    (csv_text("0.0,1,2.0", "# " + "x" * 100_000), "a comment line of more than"),
    ("\n".join([csvfile.HEADER, "# model: " + "x" * 100_000, csvfile.COLUMNS]) + "\n", "longer than"),
    (csv_text("0.0,-1,2.0"), "ADC count outside"),
    (csv_text("0.0,4294967296,2.0"), "ADC count outside"),
    (csv_text("0.0,1e20,2.0"), "a row near row 0"),
    (csv_text("0.0,nan,2.0"), "a row near row 0"),
    (csv_text("nan,1,2.0"), "not a finite number"),
    (csv_text("0.0,1,2.0,4"), "a row near row 0"),
    (csv_text("0.0,1,2.0", "# counters: samples=5 received=1 overrun=0 missing=0 corrupted=0"), "for 5 samples"),
    (csv_text("0.0,1,2.0", "# end_utc: x", "0.01,1,2.0"), "1 rows after the end"),
    (csv_text("0.0,1,2.0", "# complete: true", "0.01,1,2.0", "0.02,1,2.0"), "2 rows after the end"),
    (csv_text().replace("# samples", "# model: again\n# samples"), "gives 'model' twice"),
    (csv_text().replace("# samples", "# received: 5\n# samples"), "only the end of the data may say"),
    (csv_text().replace(csvfile.COLUMNS, "t,a,v"), "expected the column line"),
    (csv_text("0.0,1,2.0", "0.01,1,2.0#x"), "a '#' within a row"),      # not a comment cutting a row short
    (csv_text("0.0,1,2.0\r0.01,1,2.0"), "near row 0"),                # a line end that is not one to the rows' count

])
def test_hostile_csv_files_give_one_line_errors(tmp_path, text, message, csv_parser):
    path = tmp_path / "bad.csv"
    path.write_text(text)
    with pytest.raises(ValueError, match=message) as error:
        recording.load(path)
    assert "\n" not in str(error.value) and len(str(error.value)) < 300
    assert csvfile._kept_bytes == 0  # what the pass kept before the fault is given back


@pytest.fixture(params=["pandas", "numpy"])
def csv_parser(request, monkeypatch):
    """Rows read by pandas' parser where it is installed, else by numpy's."""
    if request.param == "pandas":
        pytest.importorskip("pandas")
    else:
        monkeypatch.setitem(sys.modules, "pandas", None)  # as if not installed
    return request.param


@pytest.mark.parametrize("keep", [csvfile.KEEP_BYTES, 200, 0])  # all kept by the one pass, some, none
def test_csv_rows_between_comments_and_across_reads_come_back_exact(tmp_path, csv_parser, monkeypatch, keep):
    monkeypatch.setattr(csvfile, "READ_BYTES", 64)  # many blocks: some rows only, some with comment lines
    monkeypatch.setattr(csvfile, "KEEP_BYTES", keep)
    values = [0.1 * i + 1e-13 for i in range(40)]
    rows = [f"{i / 100:.9f},{i * 7},{v!r}" for i, v in enumerate(values)]
    path = tmp_path / "run.csv"
    path.write_text(csv_text(*rows[:10], "# a note", "", *rows[10:30], "# another", *rows[30:]))
    with recording.writer_class(path).sources(path) as [source]:
        pieces = [chunk for chunk in source.chunks(7)]
        again = source.read(3, 33, True)  # what a read handed out is read again from the file
    assert csvfile._kept_bytes == 0  # every row kept is given back with the file
    assert again[2].tolist() == values[3:33] and again[1].tolist() == [i * 7 for i in range(3, 33)]
    assert np.concatenate([p[2] for p in pieces]).tolist() == values
    assert np.concatenate([p[1] for p in pieces]).tolist() == [i * 7 for i in range(40)]


def test_csv_metadata_comes_only_from_the_header(tmp_path):
    path = tmp_path / "run.csv"
    path.write_text(csv_text("0.0,1,2.0", "# model: forged", "# note: x", "0.01,1,2.0"))
    [data] = recording.load(path)
    assert (data.metadata["model"], "note" in data.metadata, len(data.value)) == ("MVR420", False, 2)


def hdf5_file(path, change):
    write(path)
    with h5py.File(path, "r+") as file:
        change(file, file["7"])


def replace(group, key, data, **options):
    del group[key]
    group.create_dataset(key, data=data, **options)


@pytest.mark.parametrize("change, message", [
    (lambda f, g: f.create_group("extra"), "/extra is not an instrument"),
    (lambda f, g: f.__setitem__("ext", h5py.ExternalLink("other.h5", "/7")), "/ext is a link"),
    (lambda f, g: g.__setitem__("adc2", h5py.SoftLink("/7/adc")) or g.move("adc", "adc3") or g.move("adc2", "adc"),
     "/7/adc is a link"),
    (lambda f, g: f.create_dataset("data", data=[1, 2]), "/data is not an instrument group"),
    (lambda f, g: replace(g, "adc", np.uint32(5)), r"has shape \(\)"),
    (lambda f, g: replace(g, "value", np.zeros((50, 2))), r"has shape \(50, 2\)"),
    (lambda f, g: replace(g, "adc", np.zeros(50)), "holds float64; expected u32"),
    (lambda f, g: replace(g, "value", np.zeros(50, np.float32)), "holds float32"),
    (lambda f, g: replace(g, "adc", shape=(10**12,), dtype=np.uint32, chunks=(4096,), data=None),
     "declares 1000000000000 samples"),
    (lambda f, g: replace(g, "value", shape=(10**12,), dtype=np.float64, chunks=(4096,), data=None,
                          compression="gzip"), "declares 1000000000000 samples"),
    (lambda f, g: replace(g, "adc", shape=(10**9,), dtype=np.uint32, chunks=(10**9,), data=None), "chunks of"),
    (lambda f, g: f.attrs.modify("layout_version", 9), "layout version 9"),
    (lambda f, g: g.attrs.__setitem__("note", np.arange(3)), "attribute of instrument '7' cannot be read"),
    (lambda f, g: g.attrs.modify("samples", -4), "samples is -4, not a count"),
    (lambda f, g: g.attrs.modify("samples_per_second", 0.0), "samples_per_second is not a rate"),
    (lambda f, g: replace(g, "runs", np.array([[3, 0], [1, 9]]), maxshape=(None, 2)), "not a list of runs"),
])
def test_hostile_hdf5_files_give_one_line_errors_from_load_and_plot(tmp_path, change, message):
    path = tmp_path / "bad.h5"
    hdf5_file(path, change)
    with pytest.raises(ValueError, match=message) as error:
        recording.load(path)
    assert "\n" not in str(error.value)
    if pytest.importorskip("matplotlib"):
        with pytest.raises(ValueError, match=message):
            plot.plot_file(path, tmp_path / "out.png")


def test_a_file_that_is_no_hdf5_is_refused_in_one_line(tmp_path):
    (tmp_path / "run.h5").write_bytes(b"\x89HDF\r\n\x1a\n" + bytes(100))
    with pytest.raises(ValueError, match="not a readable HDF5 file"):
        recording.load(tmp_path / "run.h5")


@pytest.mark.parametrize("suffix", [".csv", ".h5"])
def test_files_of_layout_1_still_load(tmp_path, suffix):
    path = tmp_path / f"old{suffix}"
    if suffix == ".csv":
        path.write_text(csv_text("0.0,1,2.5", "0.01,2,3.5", "# received: 3", "# overrun: 1", "# missing: 0",
                                 "# corrupted: 0", "# end_utc: 2026-01-01T00:00:00.000+00:00",
                                 header=csvfile.HEADER_1))
    else:
        with h5py.File(path, "w") as file:
            file.attrs.update({"layout": "vexlo recording", "layout_version": 1, "complete": True})
            group = file.create_group("7")
            group.attrs.update({"model": "MVR420", "received": 3, "overrun": 1, "missing": 0, "corrupted": 0,
                                "samples": 2, "end_utc": "2026-01-01T00:00:00.000+00:00"})
            for key, data in (("time", [0.0, 0.01]), ("adc", np.array([1, 2], np.uint32)), ("value", [2.5, 3.5])):
                group.create_dataset(key, data=data, maxshape=(None,), chunks=(1024,))
    [data] = recording.load(path)
    assert data.time.tolist() == [0.0, 0.01] and data.adc.tolist() == [1, 2] and data.value.tolist() == [2.5, 3.5]
    assert (data.metadata["received"], data.metadata["overrun"], data.metadata["complete"]) == (3, 1, True)


# ---------------------------------------------------------------- faults while writing

@pytest.fixture
def small_disk(tmp_path):
    """A folder on a 1 MiB file system (a tmpfs, mounted as root only)."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    folder = tmp_path / "disk"
    folder.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(folder)], check=True)
    yield folder
    subprocess.run(["umount", "-l", str(folder)], check=True)


@pytest.mark.parametrize("suffix", [".h5", ".csv"])
def test_a_full_disk_ends_the_recording_with_an_error_and_a_file_that_loads(small_disk, suffix):
    path = small_disk / f"run{suffix}"
    done = subprocess.run([sys.executable, "-m", "vexlo_tools.cli", "--instrument", "plx310-plus-prime", "record",
                           str(path), "--rate", "38400", "--seconds", "3600"], capture_output=True, text=True,
                          timeout=120)  # ends with the disk full, not an hour on
    assert done.returncode == 1, done.stderr  # no crash, no signal
    assert done.stderr == f"vexlo: error: [Errno 28] No space left on device: '{path}'\n"
    [data] = recording.load(path)
    assert data.metadata["complete"] is False and 0 < len(data.value) == data.metadata["samples"]


class FailingFile:
    """A file object whose writes fail as on a full disk."""

    def __init__(self, file):
        self.file, self.writes = file, 0

    def write(self, data):
        self.writes += 1
        raise OSError(28, "No space left on device")

    def fileno(self):
        return self.file.fileno()

    def close(self):
        self.file.close()


def test_a_failing_csv_write_is_reported_once_and_never_repeated(tmp_path):
    path = tmp_path / "run.csv"
    writer = recording.open_writer(path, [META])
    writer._files[0] = failing = FailingFile(writer._files[0])
    writer.write([block(0, 10)])
    with pytest.raises(OSError, match=f"No space left on device: '{path}'"):
        writer.flush()
    writer.close()  # closes, writes nothing more
    with pytest.raises(OSError, match="already failed"):
        writer.flush()
    assert failing.writes == 1 and writer.error.errno == 28
    [data] = recording.load(path)
    assert data.metadata["complete"] is False and len(data.value) == 0


@pytest.mark.parametrize("suffix", [".h5", ".csv"])
@pytest.mark.parametrize("overwrite", [False, True])
def test_a_second_writer_on_the_same_path_is_refused(tmp_path, suffix, overwrite):
    path = tmp_path / f"run{suffix}"
    with recording.open_writer(path, [META]) as first:
        with pytest.raises(OSError, match="in use by another recording"):
            recording.open_writer(path, [META], overwrite=overwrite)
        with pytest.raises(OSError, match="in use by another recording"):
            recording.check_output(path, overwrite=True)
        first.write([block(0, 20)])
    assert len(recording.load(path).instruments["7"].value) == 20
    assert sorted(p.name for p in tmp_path.iterdir()) == [f"run{suffix}"]  # the lock is gone


@pytest.mark.parametrize("suffix", [".h5", ".csv"])
def test_overwrite_replaces_the_old_file_only_once_the_new_one_has_started(tmp_path, monkeypatch, suffix):
    path = tmp_path / f"run{suffix}"
    write(path, blocks=[block(0, 30)])
    cls = recording.writer_class(path)
    with monkeypatch.context() as patch:
        patch.setattr(cls, "_flush", lambda self: os.write(-1, b""))  # the new file fails as it starts
        with pytest.raises(OSError, match="Bad file descriptor"):
            recording.open_writer(path, [META], overwrite=True)
    assert len(recording.load(path).instruments["7"].value) == 30  # the old one, untouched
    assert sorted(p.name for p in tmp_path.iterdir()) == [f"run{suffix}"]
    with recording.open_writer(path, [META], overwrite=True) as writer:
        assert recording.load(path).instruments["7"].metadata["complete"] is False  # the new one, in place
        writer.write([block(0, 5)])
    assert len(recording.load(path).instruments["7"].value) == 5
    assert sorted(p.name for p in tmp_path.iterdir()) == [f"run{suffix}"]


@pytest.mark.parametrize("suffix", [".h5", ".csv"])
@pytest.mark.parametrize("error, reason", [(KeyboardInterrupt(), "interrupted"), (RuntimeError("boom"), "failed: boom")])
def test_a_writer_left_by_an_error_says_its_data_did_not_run_to_its_end(tmp_path, suffix, error, reason):
    path = tmp_path / f"run{suffix}"
    with pytest.raises(type(error)):
        with recording.open_writer(path, [META]) as writer:
            writer.write([block(0, 10)])
            raise error
    [data] = recording.load(path)
    assert (data.metadata["end_reason"], data.metadata["complete"], len(data.value)) == (reason, False, 10)


@pytest.mark.parametrize("suffix", [".h5", ".csv"])
def test_a_folder_removed_while_recording_ends_the_recording_with_an_error(tmp_path, suffix):
    folder = tmp_path / "day"
    folder.mkdir()
    writer = recording.open_writer(folder / f"run{suffix}", [META])
    writer.write([block(0, 10)])
    for path in folder.iterdir():
        path.unlink()
    folder.rmdir()
    with pytest.raises(OSError, match=f"removed while being written: '{folder / f'run{suffix}'}'"):
        writer.flush()
    writer.close()  # closes quietly

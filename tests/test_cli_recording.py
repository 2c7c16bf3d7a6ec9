"""vexlo record, plot and monitor from the command line, and what every command shares:
--version, the dialout hint, extras named when missing, Ctrl-C."""
import contextlib
import signal
import subprocess
import sys
import time
import tomllib
from importlib import metadata
from pathlib import Path

import numpy as np
import pytest
import serial

import vexlo_device_communication as vexlo
from vexlo_tools import Acquisition, Block, Stats, cli, devices, recording
from vexlo_tools._extras import software_version


def run(capsys, *argv):
    code = cli.main(list(argv))
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def test_version_is_the_projects(capsys):
    with pytest.raises(SystemExit) as exit_:
        cli.main(["--version"])
    project = tomllib.loads((Path(__file__).resolve().parents[1] / "pyproject.toml").read_text())["project"]
    assert exit_.value.code == 0 and capsys.readouterr().out == f"vexlo {project['version']}\n"
    with contextlib.suppress(metadata.PackageNotFoundError):  # an in-place build is not installed
        assert metadata.version("vexlo-device-communication") == software_version()


@pytest.mark.parametrize("option", ["--help", "--version"])
def test_help_and_version_read_no_package_metadata(option):
    # Reading the installed distribution's metadata costs tens of
    # milliseconds; the build writes the version instead.
    child = subprocess.run([sys.executable, "-c", "import sys\nfrom vexlo_tools import cli\n"
                            f"try:\n    cli.main([{option!r}])\nexcept SystemExit:\n    pass\n"
                            "print('importlib.metadata' in sys.modules, file=sys.stderr)"],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0 and child.stderr.split() == ["False"], child.stderr


def test_demo_refuses_instruments_it_would_not_use(capsys):
    code, out, err = run(capsys, "--instrument", "mvr420", "demo")
    assert (code, out) == (1, "") and "the demo serves its own instruments" in err


@pytest.mark.parametrize("error, hint", [
    (serial.SerialException("could not open port /dev/ttyUSB0: [Errno 13] Permission denied: '/dev/ttyUSB0'"), True),
    (vexlo.VexloConnectionError("Failed to connect: [Errno 13] Permission denied: '/dev/ttyUSB0'"), True),
    (PermissionError(13, "Permission denied", "run.h5"), False),  # a file, not a port
    (vexlo.VexloTimeoutError("No response received within 1s timeout"), False),
])
def test_permission_denied_on_a_port_hints_at_the_dialout_group(error, hint):
    assert ("dialout" in cli._one_line(error)) is hint


def write_recording(path, seconds=2.0, rate=1000.0):
    meta = [{"model": "MVR420", "serial_number": 7, "unit": "kg", "samples_per_second": rate,
             "start_utc": "2026-12-07T10:00:00.000+00:00"}]
    index = np.concatenate((np.arange(0, 800), np.arange(900, int(seconds * rate))))  # a gap of 100 samples
    block = Block(None, 0, index / rate, np.zeros(len(index), np.uint32), np.sin(index / 50.0),
                  Stats(len(index), overrun=100))
    with recording.open_writer(path, meta) as writer:
        writer.write([block])


@pytest.mark.parametrize("suffix", [".png", ".svg"])
def test_plot_writes_a_picture(capsys, tmp_path, suffix):
    pytest.importorskip("matplotlib")
    write_recording(tmp_path / "run.h5")
    code, out, err = run(capsys, "plot", str(tmp_path / "run.h5"), "-o", str(tmp_path / f"run{suffix}"))
    assert (code, err) == (0, "") and out == f"wrote {tmp_path / f'run{suffix}'}\n"
    head = (tmp_path / f"run{suffix}").read_bytes()[:200]
    assert head.startswith(b"\x89PNG") if suffix == ".png" else b"<svg" in head


@pytest.mark.parametrize("argv, display, message", [
    (["-o", "{tmp}/run.doc"], None, "cannot write a picture as"),
    ([], None, "no display to open a window on; write a picture with -o FILE.png"),
    ([], ":0", "matplotlib has no window backend here (agg); write a picture with -o FILE.png"),
])
def test_plot_refusals(capsys, tmp_path, monkeypatch, argv, display, message):
    pyplot = pytest.importorskip("matplotlib.pyplot")
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    if display:
        monkeypatch.setenv("DISPLAY", display)
        monkeypatch.setattr(pyplot, "get_backend", lambda: "agg")  # no GUI toolkit
    else:
        monkeypatch.delenv("DISPLAY", raising=False)
    write_recording(tmp_path / "run.h5")
    code, out, err = run(capsys, "plot", str(tmp_path / "run.h5"), *[a.format(tmp=tmp_path) for a in argv])
    assert code == 1 and message in err


@pytest.mark.parametrize("argv, module, extra", [
    (["plot", "run.h5", "-o", "run.png"], "matplotlib", "plot"),
    (["--sim", "record", "run.h5", "--seconds", "1"], "h5py", "hdf5"),
    (["--sim", "monitor"], "textual", "monitor"),
    (["--sim", "serve"], "starlette", "web"),
])
def test_a_command_whose_extra_is_missing_names_it(capsys, monkeypatch, tmp_path, argv, module, extra):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setitem(sys.modules, module, None)
    code, out, err = run(capsys, *argv)
    assert code == 1 and err.rstrip().endswith(f"pip install 'vexlo-device-communication[{extra}]'")
    assert list(tmp_path.iterdir()) == []


# ---------------------------------------------------------------- record, end to end


def flushed_samples(path):
    """Samples the recording in progress has flushed so far (0 while it cannot be read yet)."""
    import h5py
    try:
        with h5py.File(path, "r", libver="latest", swmr=True) as file:
            return min(int(group.attrs["samples"]) for group in file.values()) if len(file) else 0
    except (OSError, KeyError):
        return 0


@pytest.mark.skipif(sys.platform == "win32", reason="SIGKILL")
@pytest.mark.parametrize("attempt", range(3))
def test_a_recording_killed_outright_still_opens_with_what_was_flushed(tmp_path, attempt):
    pytest.importorskip("h5py")
    path = tmp_path / "killed.h5"
    process = subprocess.Popen(
        [sys.executable, "-m", "vexlo_tools.cli", "--instrument", "plx310-plus-prime", "--instrument", "mvr420",
         "record", str(path)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        # Wait for a few flushes; each attempt kills at another moment of the write cycle.
        wanted = 100 + 60 * attempt  # 100 samples/s each
        seen = 0
        for _ in range(2000):
            seen = flushed_samples(path)
            if seen >= wanted or process.poll() is not None:
                break
            time.sleep(0.02)  # the recording runs in real time, in the other process
        assert process.poll() is None, process.stderr.read().decode()
        process.send_signal(signal.SIGKILL)
        process.wait()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == -signal.SIGKILL and seen >= wanted
    run = recording.load(path)
    assert [i.metadata["model"] for i in run] == ["PLX310", "MVR420"]
    for data in run:
        assert data.metadata["complete"] is False and len(data.value) >= seen
        index = np.rint(data.time * data.metadata["samples_per_second"])
        assert np.all(np.diff(index) >= 1) and np.all(np.isfinite(data.value))


@pytest.mark.parametrize("suffix", [".h5", ".csv"])
def test_record_writes_data_and_provenance_of_simulated_instruments(capsys, tmp_path, suffix):
    pytest.importorskip("h5py")
    code, out, err = run(capsys, "--instrument", "plx310-plus-prime:auto-teds=on,load=250",
                         "--instrument", "mvr420:load=12.5,serial=4711", "record", str(tmp_path / f"run{suffix}"),
                         "--seconds", "0.3", "--note", "first", "--note", "x,=1+1",
                         *(["--compress"] if suffix == ".h5" else []))
    assert code == 0, err
    plx, mvr = recording.load(tmp_path / f"run{suffix}")
    assert [len(plx.value), len(mvr.value)] == [30, 30]  # 0.3 s at 100 samples/s each
    assert mvr.metadata["serial_number"] == 4711 and mvr.metadata["unit"] == "N"
    assert np.allclose(mvr.value, 12.5, atol=0.05) and np.allclose(plx.value, 250.0, atol=0.5)
    assert (mvr.metadata["calibration"], mvr.metadata["direction_1_fullscale_load"]) == ("instrument", 1000.0)
    # AutoTEDS on: the values are in the sensor's unit, and the file says it used the data sheet.
    assert (plx.metadata["calibration"], plx.metadata["teds_serial_number"], plx.metadata["unit"]) == \
        ("TEDS data sheet", "12345", "N")
    for data in (plx, mvr):
        assert data.metadata["rate_code"] in (3, 7) and data.metadata["samples_per_second"] == 100.0
        assert data.metadata["packet_format"] == "four-byte packets" and data.metadata["complete"] is True
        assert data.metadata["start_utc"].endswith("+00:00") and data.metadata["end_reason"] == "completed"
        # The counters count exactly the samples in the file.
        assert data.metadata["received"] == data.metadata["samples"] == 30
        assert data.metadata["notes"] == "first\nx,=1+1" and data.metadata["channel"] == 0
        assert isinstance(data.metadata["profile"], int) and isinstance(data.metadata["sensor_serial_number"], int)
    if suffix == ".h5":
        import h5py
        with h5py.File(tmp_path / "run.h5", "r") as file:
            assert file[mvr.name]["value"].compression == "gzip"


def test_record_refuses_compress_for_csv_before_probing(capsys, tmp_path):
    code, out, err = run(capsys, "--sim", "record", str(tmp_path / "run.csv"), "--compress")
    assert (code, out) == (1, "") and "--compress needs an .h5 output" in err and not list(tmp_path.iterdir())


def test_record_refuses_an_existing_output_before_probing(capsys, tmp_path, monkeypatch):
    (tmp_path / "run.h5").write_text("keep")
    probed = []
    monkeypatch.setattr(devices, "find_devices", lambda *args: probed.append(args) or [])
    code, out, err = run(capsys, "--sim", "record", str(tmp_path / "run.h5"))
    assert (code, out, probed) == (1, "", []) and "exists (--overwrite replaces it)" in err
    assert (tmp_path / "run.h5").read_text() == "keep"


@pytest.mark.parametrize("command, seconds, status", [
    ("record", None, 0),    # runs until Ctrl-C: its normal end
    ("record", "30", 130),  # cut short (the interrupt comes on the engine's reading thread)
    ("stream", "30", 130),
])
def test_ctrl_c_ends_cleanly_and_the_status_says_whether_it_cut_short(capsys, tmp_path, monkeypatch,
                                                                      command, seconds, status):
    pytest.importorskip("h5py")
    real_read = Acquisition.read
    reads = []

    def read(self, timeout=None):
        reads.append(timeout)
        if len(reads) == 3:
            raise KeyboardInterrupt
        return real_read(self, timeout)

    monkeypatch.setattr(Acquisition, "read", read)
    output = ["run.h5"] if command == "record" else []
    argv = ["--instrument", "mvr420", command, *(str(tmp_path / o) for o in output)]
    code, out, err = run(capsys, *argv, *(["--seconds", seconds] if seconds else []))
    assert code == status and err == ("vexlo: interrupted\n" if status else "")
    if command == "record":
        [data] = recording.load(tmp_path / "run.h5")
        # Ctrl-C is an open-ended run's planned end, and cuts a finite one short; every sample
        # received (the ring's rest included) is in the file.
        assert (data.metadata["end_reason"], data.metadata["complete"]) == ("interrupted", seconds is None)
        assert len(data.value) == data.metadata["samples"] == data.metadata["received"] > 0


def test_monitor_needs_a_terminal(capsys):
    pytest.importorskip("textual")
    code, out, err = run(capsys, "--instrument", "mvr420", "monitor")
    assert (code, out) == (1, "") and "vexlo monitor draws on a terminal" in err


def test_stream_csv_is_a_recording_with_provenance(capsys, tmp_path):
    code, out, err = run(capsys, "--instrument", "mvr420:load=12.5,serial=4711", "stream", "--seconds", "0.2",
                         "--csv", str(tmp_path / "s.csv"))
    assert code == 0, err
    [data] = recording.load(tmp_path / "s.csv")
    assert (data.name, data.metadata["model"], data.metadata["unit"]) == ("4711", "MVR420", "N")
    assert len(data.value) == int(out.splitlines()[1].split()[0]) and data.metadata["complete"] is True

"""vexlo demo, once, end to end: pseudo-terminals, real pyserial, the real extension."""
import os
from unittest import mock

import pytest

from vexlo_tools import cli, models, recording
from vexlo_tools.commands import _clock


pytestmark = [
    pytest.mark.skipif(not hasattr(os, "openpty"), reason="pseudo-terminals"),
]


def test_demo_runs_the_main_job_end_to_end(capsys, monkeypatch, tmp_path):
    slept = []
    monkeypatch.setattr(_clock, "sleep", slept.append)  # the polls: no real waiting
    with mock.patch("time.sleep") as paused:  # the module's pauses (retries, the TEDS settling pause)
        code = cli.main(["demo", "--output-dir", str(tmp_path)])
    captured = capsys.readouterr()
    assert code == 0, captured.err
    out = captured.out
    sections = [line for line in out.splitlines() if line.startswith("== ")]
    assert [s.split(".")[0] for s in sections] == ["== 1", "== 2", "== 3", "== 4", "== 5", "== 6"]
    table = out[out.index("PORT"):out.index("== 2")].split("\n")
    assert [row.split()[2:4] for row in table[1:3]] == [["PLX310", "QMT31872"], ["MVR420", "QMT42010"]]
    # The MVR420 reads about 12.5 N on profile 0, and the same output in kg on profile 1.
    readings = out[out.index("MVR420, profile 0:"):out.index("== 4")].splitlines()[1:4]
    assert [float(line.split()[0]) for line in readings] == pytest.approx([12.5] * 3, abs=0.02)
    in_kg = out[out.index("the same sensor output reads:"):out.index("== 5")].splitlines()[1:4]
    assert all(line.split()[1] == "kg" and float(line.split()[0]) == pytest.approx(1.2747, abs=0.01)
               for line in in_kg)
    # Two seconds at 38400 samples/s, with the stray bytes counted as corrupted positions.
    summary = next(line for line in out.splitlines() if " samples in " in line).split()
    assert int(summary[0]) > 20000 and int(summary[7]) > 0
    assert "samples " in captured.err and "corrupted " in captured.err  # status lines
    # AutoTEDS: the data sheet and readings in newtons (the load swings between 230 and 270 N).
    assert "    serial number  12345" in out and "    capacity       1000 N" in out
    teds_readings = out[out.index("readings with the TEDS calibration:"):].splitlines()[1:4]
    assert all(line.split()[1] == "N" and 229 < float(line.split()[0]) < 271 for line in teds_readings)
    assert paused.call_args_list.count(mock.call(models.TEDS_SETTLE_SECONDS)) == 1
    # It ends with a recording of both instruments and its picture, and says where they are.
    assert f"  recording  {tmp_path / 'demo.h5'} (" in out and f"  picture    {tmp_path / 'demo.png'}" in out
    plx, mvr = recording.load(tmp_path / "demo.h5")
    assert (plx.metadata["unit"], plx.metadata["calibration"], mvr.metadata["unit"]) == ("N", "TEDS data sheet", "kg")
    assert 0.9 * 3 * 38400 <= len(plx.value) <= 3 * 38400 and (tmp_path / "demo.png").read_bytes().startswith(b"\x89PNG")


@pytest.mark.parametrize("squatter", [None, "link", "file"])
def test_the_demo_reuses_its_own_temporary_folder_only(monkeypatch, tmp_path, squatter):
    from vexlo_tools.commands import demo
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path))
    name = tmp_path / f"vexlo-demo-{os.getuid()}"
    if squatter == "link":
        (tmp_path / "elsewhere").mkdir()
        name.symlink_to(tmp_path / "elsewhere")
    elif squatter == "file":
        name.write_text("not a folder")
    first, second = demo._demo_folder(), demo._demo_folder()
    assert (first == second == name) is (squatter is None)
    assert first.is_dir() and not first.is_symlink()

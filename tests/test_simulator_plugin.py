"""The pytest plugin, as a user meets it: a test file written from the simulator's page, run by pytest."""

import importlib.metadata
import os
import re
import subprocess
import sys
from pathlib import Path

import vexlo_tools

PAGE = Path(__file__).resolve().parent.parent / "docs" / "simulator.md"


def page_block(heading, language):
    """The first ``language`` code block under ``heading`` on the page."""
    text = PAGE.read_text(encoding="utf-8")
    section = text[text.index(heading):]
    return re.search(rf"```{language}\n(.*?)```", section, re.S).group(1)


def run_pytest(directory, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(Path(vexlo_tools.__file__).resolve().parent.parent)] + sys.path[1:]))
    installed = any(ep.name == "vexlo_sim" for ep in importlib.metadata.entry_points(group="pytest11"))
    # Installed, the entry point loads the plugin; in the in-place loop it is named.
    plugin = [] if installed else ["-p", "vexlo_tools.sim.pytest_plugin"]
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *plugin, *args],
                          cwd=directory, capture_output=True, text=True, env=env, timeout=120)


def test_the_pages_test_file_passes_with_the_plugin(tmp_path):
    (tmp_path / "test_user.py").write_text(page_block("## In your pytest suite", "python"))
    result = run_pytest(tmp_path, "--strict-markers")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "3 passed" in result.stdout


def test_config_file_through_the_marker_and_a_bad_marker(tmp_path):
    (tmp_path / "bench.toml").write_text(page_block("## A bench file", "toml"))
    (tmp_path / "test_config.py").write_text(
        "import pytest\n"
        "@pytest.mark.vexlo_sim(config='bench.toml')\n"
        "def test_bench(vexlo_sim_ports, vexlo_sim_instruments):\n"
        "    [inst] = vexlo_sim_instruments\n"
        "    assert list(vexlo_sim_ports) == ['/dev/ttySIM0']\n"
        "    assert (inst.firmware_version, inst.profiles[0].sampling_rate_code) == (bytes([4, 2, 9]), 15)\n"
        "    assert inst.channels[0].signal(2.0) == 200.0\n"
        "@pytest.mark.vexlo_sim(colour='red')\n"
        "def test_bad_marker(vexlo_sim_ports):\n"
        "    pass\n")
    result = run_pytest(tmp_path)
    assert "1 passed" in result.stdout and "1 error" in result.stdout, result.stdout
    assert "unknown argument 'colour'" in result.stdout


def test_loading_the_plugin_and_the_simulator_leaves_the_extension_alone():
    code = ("import sys, vexlo_tools.sim.pytest_plugin, vexlo_tools.sim.serve, vexlo_tools.sim.config; "
            "print(sorted(m for m in sys.modules if m.startswith('vexlo_device')))")
    env = dict(os.environ, PYTHONPATH=str(Path(vexlo_tools.__file__).resolve().parent.parent))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert result.stdout.strip() == "[]", result.stderr

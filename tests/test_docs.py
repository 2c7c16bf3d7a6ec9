"""The documentation: every example runs as a reader runs it, and the API reference names every public name
of the module and of the toolkit.

The pages are the Markdown files of docs/ and the README. Each page's blocks run in a fresh interpreter of
their own, in a folder of their own, in the order they stand and exactly as written (see docs_page.py): a
page that needs instruments brings simulated ones itself.
"""

from __future__ import annotations

import functools
import importlib
import importlib.util
import os
import pkgutil
import re
import subprocess
import sys
from pathlib import Path
from types import ModuleType
from typing import List

import pytest

import vexlo_device_communication as vexlo
import vexlo_tools
from docs_page import RUN, examples

ROOT = Path(__file__).resolve().parents[1]
PAGES = sorted((ROOT / "docs").glob("*.md")) + [ROOT / "README.md"]
RUNNER = Path(__file__).resolve().with_name("docs_page.py")

# Reference pages have no examples of their own.
RUNNABLE = [page for page in PAGES if any(e.language in RUN for e in examples(page))]


@pytest.mark.parametrize("page", RUNNABLE, ids=[p.name for p in RUNNABLE])
def test_the_examples_of_a_page_run(page, tmp_path):
    done = subprocess.run([sys.executable, str(RUNNER), str(page)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=600,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)})
    assert done.returncode == 0, done.stderr[-6000:]


DIRECTIVE = re.compile(r"^\.\. auto(?P<kind>\w+):: (?P<target>[\w.]+)", re.M)


@functools.lru_cache(maxsize=None)
def documented() -> List[str]:
    """The targets of the autodoc directives of every page."""
    return [m["target"] for page in PAGES for m in DIRECTIVE.finditer(page.read_text(encoding="utf-8"))]


def resolve(target: str) -> object:
    """What a dotted name stands for: an attribute where its parent has one (a package's function may share
    its name with a submodule), else a module."""
    parent, _, name = target.rpartition(".")
    if parent:
        owner = resolve(parent)
        if hasattr(owner, name):
            return getattr(owner, name)
    return importlib.import_module(target)


def module_names() -> List[str]:
    return sorted(n for n in dir(vexlo) if not n.startswith("_") and not isinstance(getattr(vexlo, n), ModuleType))


def toolkit_modules() -> List[ModuleType]:
    """The package and its public modules (the command line has its own page, generated from its parsers)."""
    names = [m.name for m in pkgutil.iter_modules(vexlo_tools.__path__)
             if not m.name.startswith("_") and m.name not in ("cli", "commands")]
    return [vexlo_tools] + [importlib.import_module(f"vexlo_tools.{n}") for n in sorted(names)]


def toolkit_names() -> List[str]:
    found = []
    for module in toolkit_modules():
        assert hasattr(module, "__all__"), f"{module.__name__} has no __all__ saying what is public"
        found += [f"{module.__name__}.{name}" for name in module.__all__]
    return found


@pytest.mark.parametrize("name", [f"vexlo_device_communication.{n}" for n in module_names()] + toolkit_names())
def test_every_public_name_is_in_the_api_reference(name):
    module, _, attribute = name.rpartition(".")
    obj = getattr(importlib.import_module(module), attribute)
    targets = [t for t in documented() if t.rpartition(".")[2] == attribute]
    assert any(resolve(t) is obj for t in targets), \
        f"{name} is not in the API reference: add an autodoc directive for it to docs/api.md or docs/toolkit-api.md"


def test_the_reference_names_only_what_exists():
    assert documented(), "no autodoc directive found: has the form of the API pages changed?"
    for target in documented():
        resolve(target)


def test_the_readme_fits_on_a_screen_or_two():
    lines = (ROOT / "README.md").read_text(encoding="utf-8").splitlines()
    assert len(lines) <= 150, f"README.md has {len(lines)} lines: move what it grew into a page under docs/"


@pytest.fixture
def pictures() -> ModuleType:
    spec = importlib.util.spec_from_file_location("docs_pictures", ROOT / "docs" / "pictures.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_the_pictures_script_draws_a_recording_and_the_monitor(pictures, tmp_path):
    pictures.recording_picture(tmp_path / "recording.png", seconds=0.5)
    pictures.monitor_picture(tmp_path / "monitor.svg", seconds=0.5)
    assert (tmp_path / "recording.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    svg = (tmp_path / "monitor.svg").read_text(encoding="utf-8")
    assert svg.lstrip().startswith("<svg")
    # Both instruments are on the monitor's screen, with their figures.
    assert "PLX310" in svg and "MVR420" in svg and "overrun" in svg


@pytest.mark.browser
@pytest.mark.parametrize("name", ["serve.png", pytest.param("fleet.png", marks=[pytest.mark.broker, pytest.mark.serial])])
def test_the_pictures_script_takes_the_live_and_fleet_pages(pictures, tmp_path, name):
    take = pictures.live_picture if name == "serve.png" else pictures.fleet_picture
    take(tmp_path / name, seconds=0.5)
    assert (tmp_path / name).read_bytes().startswith(b"\x89PNG\r\n\x1a\n")

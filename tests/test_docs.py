"""The documentation: every example runs against simulated instruments, and the API reference names every
public name of the module and of the toolkit.

The pages are the Markdown files of docs/ and the README. In each page, the fenced blocks run in the order
they stand, in one namespace per page, in a folder of their own, with simulated instruments on the ports
the pages name: ``python`` blocks as Python (a block that defines ``test_`` functions as a test file, under
pytest with the package's plugin), each ``$ vexlo ...`` line of a ``console`` block through the ``vexlo``
command (exit status 0), and ``toml`` blocks as simulator configuration files. Blocks in other languages
(``sh``, ``text``) are shown, not run: install and hardware commands.
"""

from __future__ import annotations

import contextlib
import functools
import importlib
import importlib.util
import logging
import os
import pkgutil
import re
import shlex
import socket
import subprocess
import sys
import textwrap
from pathlib import Path
from types import ModuleType
from typing import List, NamedTuple

import pytest

import vexlo_device_communication as vexlo
import vexlo_tools
from vexlo_tools import cli, web
from vexlo_tools.sim import load_config, simulated_ports
from vexlo_tools.sim.choices import build_instruments

ROOT = Path(__file__).resolve().parents[1]
PAGES = sorted((ROOT / "docs").glob("*.md")) + [ROOT / "README.md"]
# The ports the pages name, with the instruments of `vexlo --sim` on them.
PORTS = ("/dev/ttyUSB0", "/dev/ttyUSB1")

FENCE = re.compile(r"^(?P<fence>`{3,})(?P<info>[^\n`]*)\n(?P<body>.*?)^(?P=fence)[ \t]*$", re.M | re.S)
RUN = {"python", "console", "toml"}
SHOWN = {"sh", "text"}


class Example(NamedTuple):
    language: str
    code: str
    line: int


def examples(page: Path) -> List[Example]:
    text = page.read_text(encoding="utf-8")
    found = []
    for match in FENCE.finditer(text):
        language = match["info"].strip()
        if language.startswith("{"):  # a directive, e.g. {toctree}
            continue
        found.append(Example(language, match["body"], text.count("\n", 0, match.start()) + 1))
    return found


# A page whose examples bring their own simulated instruments runs without the bench.
OWN_INSTRUMENTS = re.compile(r"simulated_ports\(|PtyServer\(|--sim\b|--instrument\b|vexlo_sim")


def bench(page_examples: List[Example]) -> contextlib.AbstractContextManager[object]:
    if any(OWN_INSTRUMENTS.search(e.code) for e in page_examples if e.language in RUN):
        return contextlib.nullcontext()
    return simulated_ports(dict(zip(PORTS, build_instruments([]))))


def run_tests(code: str, folder: Path, where: str) -> None:
    """A block of pytest tests, run by pytest with the package's plugin, as a user's suite runs it."""
    (folder / "conftest.py").write_text(textwrap.dedent("""\
        def pytest_configure(config):
            import vexlo_tools.sim.pytest_plugin as plugin
            if not config.pluginmanager.is_registered(plugin):
                config.pluginmanager.register(plugin, "vexlo_sim")
        """))
    test_file = folder / "test_example.py"
    test_file.write_text(code)
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(test_file)],
                          cwd=folder, capture_output=True, text=True, timeout=300,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)})
    assert done.returncode == 0, f"{where}:\n{done.stdout}{done.stderr}"
    assert re.search(r"\b[1-9]\d* passed\b", done.stdout), f"{where}: no test ran\n{done.stdout}"


@pytest.fixture
def logging_kept():
    """The pages configure logging as a program would; keep the test session's own."""
    loggers = [logging.getLogger(), vexlo.logger]
    saved = [(logger, logger.level, list(logger.handlers), logger.propagate) for logger in loggers]
    yield
    for logger, level, handlers, propagate in saved:
        for handler in logger.handlers:
            if handler not in handlers:
                handler.close()
        logger.setLevel(level)
        logger.handlers[:] = handlers
        logger.propagate = propagate


# Reference pages have no examples of their own.
RUNNABLE = [page for page in PAGES if any(e.language in RUN for e in examples(page))]


@pytest.mark.parametrize("page", RUNNABLE, ids=[p.name for p in RUNNABLE])
def test_the_examples_of_a_page_run(page, tmp_path, monkeypatch, capsys, logging_kept):
    monkeypatch.chdir(tmp_path)
    # The pages' live pages listen on the documented default port; here on a free one, beside any other.
    monkeypatch.setitem(web.serve.__kwdefaults__, "http_port", free_port())
    namespace: dict = {"__name__": f"docs_{page.stem}"}
    page_examples = examples(page)
    with bench(page_examples):
        for example in page_examples:
            where = f"{page.name}, line {example.line}"
            assert example.language in RUN | SHOWN, f"{where}: a block in {example.language!r}"
            if example.language == "python" and re.search(r"^def test_", example.code, re.M):
                run_tests(example.code, tmp_path, where)
            elif example.language == "python":
                exec(compile(example.code, where, "exec"), namespace)
            elif example.language == "toml":
                config = tmp_path / "example.toml"
                config.write_text(example.code)
                assert load_config(config), where
            elif example.language == "console":
                for line in example.code.splitlines():
                    if not line.startswith("$ "):
                        continue  # what the command prints
                    argv = shlex.split(line[2:])
                    assert argv[0] == "vexlo", f"{where}: only vexlo commands run here: {line}"
                    assert cli.main(argv[1:]) == 0, f"{where}: {line}\n{capsys.readouterr().err}"


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


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


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
def test_the_pictures_script_takes_the_live_page(pictures, tmp_path):
    pictures.live_picture(tmp_path / "serve.png", seconds=0.5)
    assert (tmp_path / "serve.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")

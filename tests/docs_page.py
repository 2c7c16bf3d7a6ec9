"""Run the code blocks of one documentation page as a reader runs them: in a fresh interpreter, in the
order they stand, each exactly as written, in the current folder.

``python docs_page.py PAGE`` runs the page's ``python`` blocks in one namespace (a block that defines
``test_`` functions as a test file, under pytest with the package's plugin), each ``$ vexlo ...`` line of
a ``console`` block as the ``vexlo`` command in a process of its own (exit status 0), and ``toml`` blocks
as simulator bench files. Blocks in other languages (``sh``, ``text``) are shown, not run: install and
hardware commands. Nothing is put on the ports: a page that needs instruments brings simulated ones in
its own first block. The exit status is 0 when every block ran; otherwise the failing block is named.
"""

from __future__ import annotations

import os
import re
import shlex
import socket
import subprocess
import sys
import textwrap
import traceback
from pathlib import Path
from typing import List, NamedTuple

FENCE = re.compile(r"^(?P<fence>`{3,})(?P<info>[^\n`]*)\n(?P<body>.*?)^(?P=fence)[ \t]*$", re.M | re.S)
RUN = {"python", "console", "toml"}
SHOWN = {"sh", "text"}
TIMEOUT = 300


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


class BlockFailed(Exception):
    pass


def child_environment() -> dict:
    """The commands and test runs a page starts see the same package as this interpreter."""
    return {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def run_tests(code: str, where: str) -> None:
    """A block of pytest tests, run by pytest with the package's plugin, as a user's suite runs it."""
    Path("conftest.py").write_text(textwrap.dedent("""\
        def pytest_configure(config):
            import vexlo_tools.sim.pytest_plugin as plugin
            if not config.pluginmanager.is_registered(plugin):
                config.pluginmanager.register(plugin, "vexlo_sim")
        """))
    Path("test_example.py").write_text(code)
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_example.py"],
                          capture_output=True, text=True, timeout=TIMEOUT, env=child_environment())
    if done.returncode != 0 or not re.search(r"\b[1-9]\d* passed\b", done.stdout):
        raise BlockFailed(f"{where}: the tests did not pass\n{done.stdout}{done.stderr}")


def run_command(line: str, where: str) -> None:
    argv = shlex.split(line)
    if argv[0] != "vexlo":
        raise BlockFailed(f"{where}: only vexlo commands run here: {line}")
    # The installed `vexlo` beside this interpreter; in the in-place loop, where there may be none, the same
    # entry point by module.
    script = Path(sys.executable).with_name("vexlo")
    vexlo = [str(script)] if script.exists() else [sys.executable, "-m", "vexlo_tools.cli"]
    done = subprocess.run([*vexlo, *argv[1:]], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=TIMEOUT, env=child_environment())
    if done.returncode != 0:
        raise BlockFailed(f"{where}: $ {line}\nexit status {done.returncode}\n{done.stdout}{done.stderr}")


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def run_page(page: Path) -> None:
    page_examples = examples(page)
    if any(re.search(r"\bserve\(", e.code) for e in page_examples if e.language == "python"):
        # The live page listens on the documented default port; here on a free one, beside other runs.
        from vexlo_tools import web
        web.serve.__kwdefaults__["http_port"] = free_port()
    namespace: dict = {"__name__": "__main__"}
    for example in page_examples:
        where = f"{page.name}, line {example.line}"
        if example.language not in RUN | SHOWN:
            raise BlockFailed(f"{where}: a block in {example.language!r}")
        if example.language == "python" and re.search(r"^def test_", example.code, re.M):
            run_tests(example.code, where)
        elif example.language == "python":
            try:
                exec(compile(example.code, where, "exec"), namespace)
            except Exception:
                raise BlockFailed(f"{where}:\n{traceback.format_exc()}") from None
        elif example.language == "toml":
            from vexlo_tools.sim import load_config
            Path("bench.toml").write_text(example.code)
            try:
                load_config("bench.toml")
            except Exception as error:
                raise BlockFailed(f"{where}: {error}") from None
        elif example.language == "console":
            for line in example.code.splitlines():
                if line.startswith("$ "):  # other lines are what the command prints
                    run_command(line[2:], where)


if __name__ == "__main__":
    try:
        run_page(Path(sys.argv[1]))
    except BlockFailed as failure:
        print(failure, file=sys.stderr)
        sys.exit(1)

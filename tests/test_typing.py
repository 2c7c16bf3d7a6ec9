"""The stub file against the extension (stubtest), and mypy --strict over the Python code.

The stub that is checked is the one the imported module comes with: the
installed stub-only package after ``pip install``, the source copy in
``python/`` for an in-place build.
"""

import ast
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vexlo_device_communication as vexlo

pytest.importorskip("mypy", reason="mypy is installed by the test extra")

ROOT = Path(__file__).resolve().parents[1]
STUB_NAME = "vexlo_device_communication"
INSTALLED_STUB = Path(vexlo.__file__).parent / f"{STUB_NAME}-stubs" / "__init__.pyi"
SOURCE_STUB = ROOT / "python" / f"{STUB_NAME}.pyi"


def _stub_file():
    return INSTALLED_STUB if INSTALLED_STUB.is_file() else SOURCE_STUB


def _env():
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if not INSTALLED_STUB.is_file():
        env["MYPYPATH"] = str(SOURCE_STUB.parent)
    return env


@pytest.fixture(scope="module")
def config(tmp_path_factory):
    """A mypy configuration of its own, with its cache out of the checkout."""
    folder = tmp_path_factory.mktemp("mypy")
    path = folder / "mypy.ini"
    path.write_text(f"[mypy]\ncache_dir = {folder / 'cache'}\n")
    return path


def _run(args, cwd):
    done = subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=_env(), capture_output=True,
                          text=True, timeout=900)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stubtest_finds_the_stub_true_to_the_extension(config, tmp_path):
    # Run outside the checkout, so that only the stub under test can be found.
    _run(["mypy.stubtest", STUB_NAME, "--mypy-config-file", str(config),
          "--allowlist", str(ROOT / "tests" / "stubtest_allowlist.txt")], tmp_path)


def test_examples_type_check_strictly_against_the_stub(config, tmp_path):
    # The examples alone: with an installed package, mypy finds the stub as a user's code would.
    _run(["mypy", "--config-file", str(config), "--strict", str(ROOT / "examples")], tmp_path)


def test_vexlo_tools_type_checks_strictly(config, tmp_path):
    _run(["mypy", "--config-file", str(config), "--strict", str(ROOT / "python" / "vexlo_tools")], tmp_path)


def _stub_enums():
    tree = ast.parse(_stub_file().read_text(encoding="utf-8"))
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and any(getattr(base, "id", None) == "Enum" for base in node.bases):
            members = [(item.targets[0].id, ast.literal_eval(item.value))
                       for item in node.body if isinstance(item, ast.Assign)]
            yield node.name, members


def test_stub_enumerations_match_the_module_member_for_member():
    # stubtest does not compare enumeration values; the wire codes matter.
    enums = dict(_stub_enums())
    assert set(enums) == {"PLX310SamplingRateEnum", "MVR420SamplingRateEnum", "DTA530SamplingRateEnum",
                          "HSK640SamplingRateEnum", "UnitOfMeasureEnum"}
    for name, members in enums.items():
        assert members == [(m.name, m.value) for m in getattr(vexlo, name)], name

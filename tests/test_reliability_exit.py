"""Misuse: the interpreter exits while a daemon thread is inside a module
call. CPython ends such a thread when it tries to take the GIL back; the
process must still exit cleanly. The debug allocator makes any release
without the GIL fatal, so a fault shows on every run it happens in. The
sources keep to the holder and the compatibility header that make it hold."""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from reliability import SANITIZED

# The worker signals after its first call, so the main thread exits while
# calls keep coming.
PYTHON_CODE_IN_A_CALL = """
import threading, vexlo_device_communication as vexlo

class Converter(vexlo.ADCConverter):
    def convert_adc(self, count):
        return super().convert_adc(count)

data = b"\\x12\\x34\\x56\\x7c" * 100_000
started = threading.Event()

def worker():
    while True:
        vexlo.StreamDataConverter.convert_stream_data_to_reading(data, Converter())
        started.set()

threading.Thread(target=worker, daemon=True).start()
assert started.wait(60)
"""

BLOCKED_ON_THE_PORT = """
import threading, types, serial.tools.list_ports, vexlo_device_communication as vexlo
from vexlo_tools.sim import PtyServer, SimulatedInstrument

(path,) = PtyServer([SimulatedInstrument.mvr420()]).start()
serial.tools.list_ports.comports = lambda: [types.SimpleNamespace(device=path)]
[device] = vexlo.VexloSerialScanner.discover_devices(["MVR420"])
started = threading.Event()

def poll():
    while True:
        device.get_reading(0)
        started.set()

threading.Thread(target=poll, daemon=True).start()
assert started.wait(60)
"""

RUNS = 3


# AddressSanitizer does not follow the forced unwinding that ends the thread:
# its own runtime then reports the dead frames' redzones.
@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer misreads the unwinding of a thread ended at exit")
@pytest.mark.parametrize("code", [
    PYTHON_CODE_IN_A_CALL,
    pytest.param(BLOCKED_ON_THE_PORT, marks=pytest.mark.skipif(
        not sys.platform.startswith("linux"), reason="pseudo-terminals of Linux")),
], ids=["python-code", "port-read"])
def test_exit_with_a_daemon_thread_in_a_call(code):
    env = dict(os.environ, PYTHONMALLOC="debug")
    outcomes = []
    for _ in range(RUNS):
        child = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                               capture_output=True, text=True, timeout=120)
        outcomes.append((child.returncode, child.stderr[-300:]))
    assert outcomes == [(0, "")] * RUNS


ROOT = Path(__file__).resolve().parents[1]
SOURCES = [path for folder in ("src", "native") for path in (ROOT / folder).rglob("*.[ch]pp")]


# The holder and the compatibility header are the only places allowed these:
# a plain cppy::ptr releases without the GIL on a thread ended at exit, and
# private or deprecated C API changes between interpreter versions.
@pytest.mark.parametrize("pattern, allowed", [
    (r"\bcppy::ptr\b|~ptr\(", {"src/common/ref.hpp"}),
    (r"\b_PyType_Lookup\b|\b_PyLong_FromByteArray\b|\bPyErr_(Fetch|Restore)\b|\b_Py_IsFinalizing\b"
     r"|\b_PyThreadState_UncheckedGet\b", {"src/common/compat.hpp"}),
], ids=["reference-holder", "private-api"])
def test_sources_use_the_shared_mechanisms(pattern, allowed):
    assert SOURCES
    users = {path.relative_to(ROOT).as_posix() for path in SOURCES if re.search(pattern, path.read_text())}
    assert users <= allowed

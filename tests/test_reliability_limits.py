"""Misuse: endless or huge caller-supplied data. Running out of memory is a
MemoryError, never the end of the process; Ctrl-C stops the loops over such
data part way, and nothing they were building is handed out."""

import _thread
import collections
import itertools
import signal
import subprocess
import sys
import textwrap

import pytest

import vexlo_device_communication as vexlo
from reliability import SANITIZED

TEDS = vexlo.TEDSData
OPS = vexlo._CommandOperations()


def ctrl_c():
    """An iterator that presses Ctrl-C when it is reached and yields nothing.
    All of it runs in C, so only the module's own look for signals can see
    the interrupt before the call returns."""
    return filter(_thread.interrupt_main, [signal.SIGINT])


# Several looks' worth of elements: without a look the call would finish.
MANY = 4 * 65536


# The interrupt while the elements are collected, then right after they are
# (where the bit list is built, or the checksum walked).
@pytest.mark.parametrize("call, argument", [
    (OPS.calculate_checksum, lambda: itertools.chain(ctrl_c(), itertools.repeat(1, MANY))),
    (TEDS.bytes_to_bits, lambda: itertools.chain(ctrl_c(), itertools.repeat(1, MANY))),
    (OPS.calculate_checksum, lambda: itertools.chain(itertools.repeat(1, 1000), ctrl_c())),
    (TEDS.bytes_to_bits, lambda: itertools.chain(itertools.repeat(1, 1000), ctrl_c())),
], ids=["checksum-iterator", "bits-iterator", "checksum-walk", "bit-list"])
def test_ctrl_c_stops_a_loop_and_no_result_is_handed_out(call, argument):
    results = collections.deque()
    with pytest.raises(KeyboardInterrupt) as caught:
        # deque.extend keeps what the call returned even if the interrupt
        # is only seen after it; calls and iteration stay in C throughout.
        results.extend(map(call, [argument()]))
    assert list(results) == []
    assert caught.value.__context__ is None


CHILD = """
import itertools, resource, sys
import vexlo_device_communication as vexlo

def address_space():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * resource.getpagesize()

{setup}
# Room for the interpreter to go on, not for the data.
limit = address_space() + 64 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    {call}
except MemoryError:
    print("MemoryError")
print(vexlo._CommandOperations().calculate_checksum([1, 2, 3]))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space limit and /proc of Linux")
@pytest.mark.skipif(SANITIZED, reason="under an address-space limit AddressSanitizer's own allocator gives up first")
@pytest.mark.parametrize("setup, call", [
    ("", "vexlo._CommandOperations().calculate_checksum(itertools.repeat(0))"),
    ("data = bytes(96 * 2**20)", "vexlo.TEDSData.bytes_to_bits(data)"),
    (textwrap.dedent('''
        class Endless:
            def __len__(self): return 512
            def __iter__(self): return itertools.repeat(0)
        '''), "vexlo.TEDSData.parse_from_bytes(Endless(), 33)"),
], ids=["checksum", "bits", "teds-parse"])
def test_memory_exhaustion_is_a_memory_error(setup, call):
    child = subprocess.run([sys.executable, "-c", CHILD.format(setup=setup, call=call)],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["MemoryError", "14"]

"""Shared pieces of the reliability tests: how long they run, the figures they
report at the end of a run, quiet logging, and the leak measurement.

``VEXLO_RELIABILITY=full`` (set by ``make fuzz`` and ``make leaks``) runs them
at full length: 100,000 hypothesis examples per fuzz target and 100,000
iterations per leak loop. The ordinary suite runs them short.
"""

import collections
import contextlib
import gc
import logging
import os
import sys
from unittest import mock

import vexlo_device_communication as vexlo

FULL = os.environ.get("VEXLO_RELIABILITY", "") == "full"

#: Under the sanitizer build the interpreter uses the system allocator, which
#: sys.getallocatedblocks() does not see; the loops then only exercise the code.
BLOCKS_COUNTED = sys.getallocatedblocks() > 0

#: Iterations of one leak loop, in-process and over pseudo-terminals (slower).
LEAK_ITERATIONS = 100_000 if FULL else (5_000 if BLOCKS_COUNTED else 300)
PTY_LEAK_ITERATIONS = 100_000 if FULL else (500 if BLOCKS_COUNTED else 50)

#: Blocks a loop may leave behind after warm-up: interpreter caches settle,
#: but one object kept per iteration would show as thousands.
BLOCK_SLACK = 300

#: What the reliability tests did, printed at the end of the run.
FIGURES = collections.Counter()


def count(what, n=1):
    FIGURES[what] += n


@contextlib.contextmanager
def quiet():
    """No log records kept anywhere and no pauses, so that only the module's
    own allocations remain and nothing waits."""
    loggers = [logging.getLogger(vexlo.logger.name), logging.getLogger("vexlo_tools.sim")]
    saved = [lg.disabled for lg in loggers]
    for lg in loggers:
        lg.disabled = True
    try:
        with mock.patch("time.sleep", new=lambda seconds: None):
            yield
    finally:
        for lg, was in zip(loggers, saved):
            lg.disabled = was


def open_descriptors():
    """The process's open file descriptors (Linux), or None where not visible."""
    try:
        return sorted(os.listdir("/proc/self/fd"))
    except OSError:
        return None


def assert_flat(work, iterations=LEAK_ITERATIONS, label="operations looped"):
    """Runs work(i) for i in range(iterations) after a warm-up and checks that
    the allocated blocks and the open file descriptors stay flat."""
    warm_up = max(iterations // 10, 100)
    for i in range(warm_up):
        work(i)
    gc.collect()
    blocks = sys.getallocatedblocks()
    descriptors = open_descriptors()
    for i in range(iterations):
        work(i)
    gc.collect()
    grown = sys.getallocatedblocks() - blocks
    count(label, warm_up + iterations)
    assert grown < BLOCK_SLACK, "%d blocks left after %d iterations" % (grown, iterations)
    assert open_descriptors() == descriptors


def caught(function, *args):
    """function(*args) -> ("ok", result) or ("raised", exception)."""
    try:
        return "ok", function(*args)
    except Exception as error:  # noqa: BLE001 - the caller judges the outcome
        return "raised", error

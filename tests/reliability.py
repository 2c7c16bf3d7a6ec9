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
from reference import packet_count, packet_valid
from vexlo_tools.sim import COMMANDS

FULL = os.environ.get("VEXLO_RELIABILITY", "") == "full"

#: Inputs per fuzz target in the full run.
FUZZ_INPUTS = 100_000

#: Under the sanitizer build the interpreter uses the system allocator, which
#: sys.getallocatedblocks() does not see; the loops then only exercise the code.
BLOCKS_COUNTED = sys.getallocatedblocks() > 0

#: The sanitizer run (make asan): the AddressSanitizer runtime is preloaded.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

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


def assert_flat(work, iterations=LEAK_ITERATIONS, label="operations looped", slack=BLOCK_SLACK):
    """Runs work(i) for i in range(iterations) after a warm-up and checks that
    the allocated blocks (fewer than ``slack`` more) and the open file
    descriptors stay flat."""
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
    assert grown < slack, "%d blocks left after %d iterations" % (grown, iterations)
    assert open_descriptors() == descriptors


def caught(function, *args):
    """function(*args) -> ("ok", result) or ("raised", exception)."""
    try:
        return "ok", function(*args)
    except Exception as error:  # noqa: BLE001 - the caller judges the outcome
        return "raised", error


# --- The stream scan, transcribed from its documented rules ----------------------------------


def expected_stream(data, size, value_of):
    """The scan as documented. value_of(count) gives the float, ("skip", warning
    text) for a rejected position, or raises. Returns readings, remainder and warnings, or the
    propagating exception with the warnings logged before it."""
    readings, warnings = [], []
    index = invalid = 0
    while index <= len(data) - size:
        window = data[index:index + size]
        if not packet_valid(window):
            invalid += 1
            index += 1
            continue
        n = packet_count(window)
        try:
            outcome = value_of(n)
        except Exception as error:  # noqa: BLE001 - propagates, as from the module
            return error, warnings
        if isinstance(outcome, tuple):  # ("skip", text)
            warnings.append("ADC conversion failed at index %d: %s" % (index, outcome[1]))
            invalid += 1
            index += 1
            continue
        readings.append((outcome, n))
        index += size
    if invalid:
        warnings.append("Stream conversion: %d invalid/corrupted packets detected" % invalid)
    return (readings, bytearray(data[index:])), warnings


# --- Faults on demand, at a chosen request -----------------------------------------------------

FAULTS = {
    "silent": lambda instrument: instrument.go_silent(),
    "short": lambda instrument: instrument.answer_short(3, answers=None),
    "corrupt": lambda instrument: instrument.corrupt_checksums(answers=None),
    "unplug": lambda instrument: instrument.unplug(),
}


def inject(instrument, command, fault, nth=1):
    """Makes FAULTS[fault] happen when the instrument receives its nth request
    of `command` (the simulator's command name) from now on, before it
    answers that request; an unplugged instrument answers nothing more.
    Returns the list of those requests, as received."""
    names = {(c.high, c.low): c.name for c in COMMANDS.values()}
    respond = instrument.respond
    seen = []

    def responding(frame, now=None):
        if len(frame) >= 4 and names.get((frame[2], frame[3])) == command:
            seen.append(bytes(frame))
            if len(seen) == nth:
                FAULTS[fault](instrument)
                count("faults injected")
        if not instrument.plugged_in:
            return None  # gone before it could answer
        return respond(frame, now)

    instrument.respond = responding
    return seen


def heal(instrument):
    """Clears every fault and plugs the instrument in again."""
    instrument.__dict__.pop("respond", None)
    instrument.clear_faults()

"""vexlo sim: serve simulated instruments on pseudo-terminals.

Serve simulated instruments (INSTRUMENT arguments, --instrument, --config FILE, or --replay
RECORDING to stream a recording again; by default a PLX310 Plus Prime with a TEDS sensor and an
MVR420) on pseudo-terminals, print one line per port, and serve until Ctrl-C. Other programs, or vexlo read --port PATH, can then talk to them through
the operating system's serial layer. The options are those of python -m vexlo_tools.sim.
"""

from __future__ import annotations

import argparse
import os
import threading

from .._options import add_sim_arguments
from . import _console


def wait_for_stop(stop: threading.Event) -> None:
    """The server's wait for Ctrl-C; looked up when the command runs, so tests can stand in for it."""
    from ..sim.serve import wait_for_stop as wait

    wait(stop)


def options(parser: argparse.ArgumentParser) -> None:
    add_sim_arguments(parser, verbose_option=False)


def run(args: argparse.Namespace) -> int:
    from ..sim import serve as _serve
    from . import _simenv

    if not hasattr(os, "openpty"):
        raise _console.CliError("pseudo-terminals are not available on this system")
    try:
        instruments = _serve.instruments_from_args(args, args.instrument, build=_simenv.build_instruments)
    except ValueError as exc:
        raise _console.CliError(str(exc)) from None
    try:
        return _serve.serve(instruments, args, out=_console.out, note=_console.note, wait=wait_for_stop)
    except FileExistsError as exc:
        raise _console.CliError(str(exc.strerror)) from None

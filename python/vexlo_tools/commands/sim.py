"""``vexlo sim``: serve simulated instruments on pseudo-terminals until Ctrl-C.

The options and the serve loop are those of ``python -m vexlo_tools.sim``
(:mod:`vexlo_tools.sim.serve`); ``--instrument`` choices add to the
``INSTRUMENT`` arguments.
"""

from __future__ import annotations

import argparse
import os
from typing import List

from ..sim import serve as _serve
from . import _common, _simenv

#: Looked up when the command runs, so tests can stand in for Ctrl-C.
wait_for_stop = _serve.wait_for_stop


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser],
               parents: List[argparse.ArgumentParser]) -> None:
    parser = subparsers.add_parser(
        "sim", parents=parents, help="serve simulated instruments on pseudo-terminals",
        description="Serve simulated instruments (INSTRUMENT, --instrument or --config; by default a PLX310 "
                    "Plus Prime with a TEDS sensor and an MVR420) on pseudo-terminals, print one line per "
                    "port, and serve until Ctrl-C. Other programs, or vexlo --port PATH, can then talk to "
                    "them through the operating system's serial layer.")
    _serve.add_arguments(parser, verbose_option=False)
    parser.set_defaults(run=run, uses_sim_ports=False)


def run(args: argparse.Namespace) -> int:
    if not hasattr(os, "openpty"):
        raise _common.CliError("pseudo-terminals are not available on this system")
    try:
        instruments = _serve.instruments_from_args(args, args.instrument, build=_simenv.build_instruments)
    except ValueError as exc:
        raise _common.CliError(str(exc)) from None
    try:
        return _serve.serve(instruments, args, out=_common.out, note=_common.note, wait=wait_for_stop)
    except FileExistsError as exc:
        raise _common.CliError(f"{exc.strerror} (--force takes links over)") from None

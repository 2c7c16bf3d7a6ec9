"""vexlo sim: serve simulated instruments on pseudo-terminals.

Serve simulated instruments (--instrument, default a PLX310 Plus Prime with a TEDS sensor and an
MVR420) on pseudo-terminals, print one line per port, and serve until Ctrl-C. Other programs, or
vexlo read --port PATH, can then talk to them through the operating system's serial layer.
"""

from __future__ import annotations

import argparse
import os
import signal
import threading

from ..sim import PtyServer
from . import _common, _simenv


def options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--link", metavar="PREFIX", help="also create symlinks PREFIX0, PREFIX1, ... to the ports")
    parser.add_argument("--any-baud", action="store_true", help="answer at any baud rate, not only the model's")


def wait_for_stop(stop: threading.Event) -> None:
    """Block until Ctrl-C or SIGTERM sets ``stop``."""
    while not stop.wait(0.5):
        pass


def run(args: argparse.Namespace) -> int:
    if not hasattr(os, "openpty"):
        raise _common.CliError("pseudo-terminals are not available on this system")
    instruments = _simenv.build_instruments(args.instrument)
    server = PtyServer(instruments, enforce_baud_rate=not args.any_baud, link_prefix=args.link)
    stop = threading.Event()
    previous = {}
    if threading.current_thread() is threading.main_thread():
        for signum in (signal.SIGINT, signal.SIGTERM):
            previous[signum] = signal.signal(signum, lambda *_: stop.set())
    try:
        paths = server.start()
        for path, link, instrument in zip(paths, server.links, instruments):
            shown = f"{path} ({link})" if link else path
            _common.out(f"{shown}\t{instrument.model}\titem {instrument.item_number}"
                        f"\tserial {instrument.serial_number}")
        if server.enforce_baud_rate and not server.baud_rate_visible:
            _common.note("note: line speed not visible, answering at any baud rate")
        _common.note("Serving; press Ctrl-C to stop.")
        wait_for_stop(stop)
    finally:
        server.stop()
        for signum, handler in previous.items():
            signal.signal(signum, handler)
    return 0

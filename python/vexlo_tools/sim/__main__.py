"""Run simulated instruments on pseudo-terminals: ``python -m vexlo_tools.sim``.

Prints one line per instrument (port path, model, item number, serial
number) and serves until Ctrl-C or SIGTERM.
"""

from __future__ import annotations

import argparse
import logging
import signal
import sys
import threading
from typing import Callable, Dict, List, Optional, Sequence

from .instrument import SimulatedInstrument
from .pty_server import PtyServer

PRESETS: Dict[str, Callable[..., SimulatedInstrument]] = {
    "plx310-plus-prime": SimulatedInstrument.plx310_plus_prime,
    "plx310": SimulatedInstrument.plx310,
    "mvr420": SimulatedInstrument.mvr420,
    "dta530": SimulatedInstrument.dta530,
    "hsk640": SimulatedInstrument.hsk640,
}


def build_parser(prog: Optional[str] = None) -> argparse.ArgumentParser:
    """The argument parser (shared with the ``vexlo sim`` command)."""
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Serve simulated Vexlo instruments on pseudo-terminals until interrupted.",
    )
    parser.add_argument(
        "instruments", nargs="*", metavar="INSTRUMENT",
        help="instruments to simulate, one port each: " + ", ".join(PRESETS) + " (default: plx310-plus-prime)",
    )
    parser.add_argument("--load", type=float, default=0.0, help="load on channel 0 of every instrument (default 0)")
    parser.add_argument("--noise", type=int, default=0, metavar="COUNTS", help="reading noise, +- counts (default 0)")
    parser.add_argument("--no-teds", action="store_true", help="no TEDS sensor on the Plus Prime")
    parser.add_argument("--any-baud", action="store_true", help="answer at any baud rate")
    parser.add_argument("--link", metavar="PREFIX", help="also create symlinks PREFIX0, PREFIX1, ... to the ports")
    parser.add_argument("-v", "--verbose", action="count", default=0, help="log requests (-vv for debug)")
    return parser


def make_instruments(names: Sequence[str], *, load: float = 0.0, noise: int = 0,
                     teds: bool = True) -> List[SimulatedInstrument]:
    """Instruments for preset ``names``, with distinct serial numbers."""
    instruments = []
    for index, name in enumerate(names or ["plx310-plus-prime"]):
        kwargs = {"serial_number": 20240001 + index, "noise_counts": noise}
        if name == "plx310-plus-prime":
            kwargs["with_teds"] = teds
        instrument = PRESETS[name](**kwargs)
        instrument.set_load(load)
        instruments.append(instrument)
    return instruments


def main(argv: Optional[Sequence[str]] = None, prog: Optional[str] = None) -> int:
    """Serve until interrupted; return the exit status."""
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    unknown = [name for name in args.instruments if name not in PRESETS]
    if unknown:
        parser.error(f"unknown instrument {unknown[0]!r}; choose from {', '.join(PRESETS)}")
    level = logging.WARNING - 10 * min(args.verbose, 2)
    logging.basicConfig(level=level, format="%(asctime)s %(levelname)s %(message)s")
    instruments = make_instruments(args.instruments, load=args.load, noise=args.noise, teds=not args.no_teds)
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
            print(f"{shown}\t{instrument.model}\titem {instrument.item_number}\tserial {instrument.serial_number}")
        if server.enforce_baud_rate and not server.baud_rate_visible:
            print("note: line speed not visible, answering at any baud rate", file=sys.stderr)
        print("Serving; press Ctrl-C to stop.", file=sys.stderr)
        sys.stdout.flush()
        while not stop.wait(0.5):
            pass
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()
        for signum, handler in previous.items():
            signal.signal(signum, handler)
    return 0


if __name__ == "__main__":
    sys.exit(main())

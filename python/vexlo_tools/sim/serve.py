"""Serving simulated instruments on pseudo-terminals from the shell.

One parser and one serve loop for both ``python -m vexlo_tools.sim`` and
``vexlo sim``: :func:`add_arguments` puts the options on either parser (it
lives in :mod:`vexlo_tools._options`, so that ``vexlo sim --help`` loads no
simulator), :func:`instruments_from_args` builds what they name,
:func:`serve` serves until Ctrl-C or SIGTERM.
"""

from __future__ import annotations

import argparse
import logging
import signal
import sys
import threading
from typing import Callable, List, Optional, Sequence, TextIO

from .._options import add_sim_arguments as add_arguments
from .choices import FIRST_SERIAL_NUMBER, InstrumentChoice, build_instruments, choices_or_default
from .config import load_config
from .instrument import SimulatedInstrument
from .pty_server import PtyServer
from .replay import replay_instruments

__all__ = ["add_arguments", "build_parser", "instruments_from_args", "main", "serve", "wait_for_stop"]

Build = Callable[[Sequence[InstrumentChoice]], List[SimulatedInstrument]]


def build_parser(prog: Optional[str] = None) -> argparse.ArgumentParser:
    """The parser of ``python -m vexlo_tools.sim``."""
    parser = argparse.ArgumentParser(
        prog=prog, description="Serve simulated Vexlo instruments on pseudo-terminals until interrupted.")
    add_arguments(parser)
    return parser


def instruments_from_args(args: argparse.Namespace, extra: Sequence[InstrumentChoice] = (),
                          build: Build = build_instruments) -> List[SimulatedInstrument]:
    """The instruments the options name: the config files' and recordings' first, then ``INSTRUMENT`` and ``extra``.

    ``--load``, ``--noise`` and ``--no-teds`` shape every named instrument
    that does not set the option itself, and the default instruments.

    :raises ValueError: a config file is unreadable or invalid
        (:class:`~vexlo_tools.sim.config.ConfigError`), or an option does not fit.
    """
    if args.loop and not args.replay:
        raise ValueError("--loop goes with --replay")
    from_files = [inst for path in args.config for inst in load_config(path).values()]
    for path in args.replay:
        try:
            from_files += replay_instruments(path, loop=args.loop).values()
        except (OSError, ImportError) as exc:
            raise ValueError(f"cannot replay {path}: {exc.strerror if isinstance(exc, OSError) else exc}") from None
    named = list(args.instruments) + list(extra)
    flags = {}
    if args.load is not None:
        flags["load"] = repr(args.load)
    if args.noise is not None:
        flags["noise"] = str(args.noise)
    if named or not from_files:
        # The defaults' own options give way to the flags; a named instrument's do not.
        override = not named
        choices = [c.with_options({**flags, **({"teds": "off"} if args.no_teds and c.has_teds_hardware else {})},
                                  override=override)
                   # Serial numbers count on after the files' instruments.
                   .with_options({"serial": str(FIRST_SERIAL_NUMBER + len(from_files) + index)})
                   for index, c in enumerate(choices_or_default(named))]
        from_choices = build(choices)
    else:
        from_choices = []
    return from_files + from_choices


def wait_for_stop(stop: threading.Event) -> None:
    """Block until Ctrl-C or SIGTERM sets ``stop``."""
    while not stop.wait(0.5):
        pass


def serve(instruments: Sequence[SimulatedInstrument], args: argparse.Namespace, *,
          out: Callable[[str], None], note: Callable[[str], None],
          wait: Callable[[threading.Event], None] = wait_for_stop) -> int:
    """Serve ``instruments`` on pseudo-terminals until ``wait`` returns; print one line per port.

    :param out: prints a line of the port listing (standard output).
    :param note: prints a remark (standard error).
    :raises FileExistsError: a ``--link`` path is taken (see :class:`PtyServer`).
    """
    server = PtyServer(instruments, enforce_baud_rate=not args.any_baud, link_prefix=args.link,
                       force_links=args.force)
    stop = threading.Event()
    previous = {}
    if threading.current_thread() is threading.main_thread():
        for signum in (signal.SIGINT, signal.SIGTERM):
            previous[signum] = signal.signal(signum, lambda *_: stop.set())
    try:
        paths = server.start()
        for path, link, instrument in zip(paths, server.links, instruments):
            shown = f"{path} ({link})" if link else path
            out(f"{shown}\t{instrument.model}\titem {instrument.item_number}\tserial {instrument.serial_number}")
        if server.enforce_baud_rate and not server.baud_rate_visible:
            note("note: line speed not visible, answering at any baud rate")
        note("Serving; press Ctrl-C to stop.")
        wait(stop)
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()
        for signum, handler in previous.items():
            signal.signal(signum, handler)
    return 0


def _print(stream: TextIO) -> Callable[[str], None]:
    def write(text: str) -> None:
        print(text, file=stream, flush=True)
    return write


def main(argv: Optional[Sequence[str]] = None, prog: Optional[str] = None) -> int:
    """``python -m vexlo_tools.sim``: serve until interrupted; return the exit status."""
    parser = build_parser(prog or "python -m vexlo_tools.sim")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.WARNING - 10 * min(args.verbose, 2),
                        format="%(asctime)s %(levelname)s %(message)s")
    try:
        instruments = instruments_from_args(args)
    except ValueError as exc:
        parser.error(str(exc))
    try:
        return serve(instruments, args, out=_print(sys.stdout), note=_print(sys.stderr))
    except FileExistsError as exc:
        print(f"{parser.prog}: error: {exc.strerror}", file=sys.stderr)
        return 1

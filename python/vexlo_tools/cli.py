"""``vexlo``: find, read, stream and configure Vexlo instruments from the shell.

Every command also runs against simulated instruments with ``--sim`` (a
PLX310 Plus Prime with a TEDS sensor and an MVR420 unless ``--instrument``
names others), so the tool works on a machine without hardware.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
import threading
from typing import Iterator, Optional, Sequence

from ._extras import software_version
from ._options import INSTRUMENT_KINDS, INSTRUMENT_OPTIONS, instrument
from .commands import Command, CommandParser

# The commands, numpy, the extension and the simulator are imported only
# once a command is chosen, so that --help and --version answer at once.
COMMANDS = (
    Command("scan", "find instruments on the serial ports and list them"),
    Command("info", "show one instrument in full"),
    Command("read", "print calibrated readings with unit and raw count"),
    Command("stream", "stream calibrated samples, optionally to CSV"),
    Command("teds", "show the TEDS sensor's data; switch AutoTEDS"),
    Command("sim", "serve simulated instruments on pseudo-terminals", sim_ports=False),
    Command("demo", "the main job end to end on simulated instruments", sim_ports=False),
    Command("record", "record instruments into a file with their provenance"),
    Command("plot", "draw a recording, value against time per instrument", sim_ports=False),
    Command("monitor", "a live terminal view of one or several instruments"),
    Command("publish", "stream the instruments to an MQTT broker"),
    Command("collect", "record what the stands publish to an MQTT broker", sim_ports=False),
    Command("serve", "a live view of the instruments in a web browser"),
)

EXIT_ERROR = 1
EXIT_INTERRUPTED = 130
DIALOUT_HINT = ("serial ports need membership of the dialout group on most Linux systems: "
                "sudo usermod -aG dialout $USER, then log in again")


def _add_common_options(parser: argparse.ArgumentParser, suppress: bool) -> None:
    # On the subcommands the defaults are suppressed, so an option given
    # before the command name is not reset by the subcommand's parser.
    default = (lambda value: argparse.SUPPRESS) if suppress else (lambda value: value)
    parser.add_argument("-v", "--verbose", action="count", default=default(0),
                        help="show the module's log records on standard error (-vv for debug detail)")
    parser.add_argument("--sim", action="store_true", default=default(False),
                        help="run against simulated instruments instead of the serial ports, made afresh for "
                             "each command: what one command sets (teds --auto on, --keep-rate) is gone in the "
                             "next; vexlo sim serves instruments that keep it")
    parser.add_argument("--instrument", metavar="MODEL[:OPTIONS]", action="append", type=instrument,
                        default=default([]),
                        help="a simulated instrument (implies --sim; repeat for more): "
                             + ", ".join(INSTRUMENT_KINDS) + "; " + INSTRUMENT_OPTIONS)


class _Version(argparse.Action):
    """``--version``, with the version read only when it is asked for."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: object,
                 option_string: Optional[str] = None) -> None:
        print(f"{parser.prog} {software_version()}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vexlo",
        description="Find, read, stream and configure Vexlo strain-gauge instruments.",
        epilog="Every command runs against simulated instruments with --sim.",
    )
    parser.add_argument("--version", action=_Version, nargs=0, help="show the version and exit")
    _add_common_options(parser, suppress=False)
    common = CommandParser(add_help=False)  # a parent of the command parsers, of their class for the typing
    _add_common_options(common, suppress=True)
    subparsers = parser.add_subparsers(title="commands", dest="command", metavar="COMMAND",
                                       parser_class=CommandParser)
    subparsers.required = True
    for command in COMMANDS:
        command.add_to(subparsers, [common])
    return parser


@contextlib.contextmanager
def _logging_to_stderr(verbosity: int) -> Iterator[None]:
    """Show the module's log records with -v; keep them off the terminal otherwise."""
    import logging  # where it is used: help loads none of it

    import vexlo_device_communication as vexlo

    loggers = [vexlo.logger, logging.getLogger("vexlo_tools")]
    saved = [(lg, lg.level) for lg in loggers]
    if verbosity:
        handler: logging.Handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
        handler.setLevel(logging.DEBUG if verbosity > 1 else logging.INFO)
        vexlo.logger.setLevel(handler.level)
        # The simulator's own records only at -vv.
        logging.getLogger("vexlo_tools").setLevel(logging.INFO if verbosity > 1 else logging.CRITICAL + 1)
    else:
        # Without a handler Python would print warnings (retries, corrupted
        # stream packets) through its last-resort handler.
        handler = logging.NullHandler()
    for lg in loggers:
        lg.addHandler(handler)
    try:
        yield
    finally:
        for lg, level in saved:
            lg.removeHandler(handler)
            lg.setLevel(level)


def _one_line(error: BaseException) -> str:
    from .devices import plain
    text = " ".join(plain(error).split()) or type(error).__name__
    # A port the user may not open; a file they may not write is another matter.
    if "Permission denied" in text and not isinstance(error, PermissionError):
        text += f" ({DIALOUT_HINT})"
    return text


def _terminated(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


@contextlib.contextmanager
def _sigterm_as_ctrl_c() -> Iterator[None]:
    """SIGTERM (``kill``, a service manager) ends a command as Ctrl-C does: cleanly."""
    if threading.current_thread() is not threading.main_thread():
        yield  # signals reach the main thread only
        return
    before = signal.signal(signal.SIGTERM, _terminated)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, before)


def _quiet_stdout() -> None:
    """After a reader of our output went away: send what is still printed nowhere."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):  # no real descriptor behind stdout (tests capture it)
        pass


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the ``vexlo`` command line; return the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.instrument:
        args.sim = True
    import serial

    import vexlo_device_communication as vexlo

    from ._extras import MissingExtraError
    from .commands import _console, _simenv

    with _logging_to_stderr(args.verbose), _sigterm_as_ctrl_c():
        try:
            with contextlib.ExitStack() as stack:
                if args.sim and getattr(args, "uses_sim_ports", True):
                    stack.enter_context(_simenv.in_process(args.instrument))
                status: int = args.run(args)
            # What is still buffered for a pipe goes now, so that a closed one is met here, not at exit.
            sys.stdout.flush()
            return status
        except KeyboardInterrupt:
            _console.note("vexlo: interrupted")
            return EXIT_INTERRUPTED
        except BrokenPipeError:
            # `vexlo read | head -2`: the reader has all it wanted, which is a success (as for shell tools);
            # what is still printed (at exit too) goes nowhere.
            _quiet_stdout()
            return 0
        except (_console.CliError, vexlo.VexloDeviceError, serial.SerialException, OSError,
                MissingExtraError) as error:
            _console.note(f"vexlo: error: {_one_line(error)}")
            return EXIT_ERROR

if __name__ == "__main__":
    sys.exit(main())

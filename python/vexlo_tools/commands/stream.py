"""vexlo stream: stream calibrated samples, optionally to CSV.

Switch streaming on, convert the samples as they arrive (three-byte packets on a PLX310 at 38400
samples/s, four-byte packets otherwise) and show a status line on a terminal. Streaming is switched
off and the port closed at the end, on Ctrl-C too.
"""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING, List

from . import _console, _device_options

if TYPE_CHECKING:
    from ..engine import Sink


def options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--port", action="append", metavar="P",
                        help="the instrument on port P (default: the first one found); repeatable")
    _device_options.add_model(parser)
    parser.add_argument("--seconds", type=float, metavar="S",
                        help="stream S seconds of data (default: until Ctrl-C)")
    _device_options.add_rate(parser, "first set channel 0's sampling rate to SPS samples per second")
    _device_options.add_keep_rate(parser)
    parser.add_argument("--csv", metavar="FILE",
                        help="write the samples to FILE as vexlo record does: commented provenance, then "
                             "time_s,adc,value rows (time: sample number over the sampling rate); - writes "
                             "them to standard output (and what the command says to standard error)")
    parser.add_argument("--overwrite", action="store_true", help="replace FILE if it exists")


def run(args: argparse.Namespace) -> int:
    from .. import recording
    from ..recording.writers import STANDARD_OUTPUT
    from . import _session, _sinks

    _session.check_options(args)
    to_stdout = args.csv == STANDARD_OUTPUT
    sinks: List[Sink] = [_sinks.StreamView(seconds=args.seconds, say=_console.note if to_stdout else _console.out)]
    if args.csv:
        try:
            recording.check_output(args.csv, args.overwrite)  # before any instrument is probed
        except ValueError as error:
            raise _console.CliError(str(error)) from error
        sinks.append(_sinks.CSVSink(args.csv, overwrite=args.overwrite))
    return _session.run_sinks(args, sinks, first_only=True)

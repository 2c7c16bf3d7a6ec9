"""vexlo monitor: a live terminal view of one or several instruments.

Stream from the instruments found (--port, --model narrow the search) and show, per instrument,
the current value with its unit, the minimum, maximum and mean over the last --window seconds,
the rate, the counters received, overrun, missing and corrupted, and a chart. Keys: t tares (a zero
kept on this computer; the instrument is not changed), u removes the tare, r resets the statistics,
q or Ctrl-C quits. Needs the monitor extra (textual).
"""

from __future__ import annotations

import argparse
import sys

from .._extras import require
from . import _console, _device_options


def options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--port", action="append", metavar="P", help="the instrument on port P; repeatable")
    _device_options.add_model(parser)
    _device_options.add_rate(parser)
    _device_options.add_keep_rate(parser)
    parser.add_argument("--window", type=float, default=10.0, metavar="S",
                        help="seconds the minimum, maximum, mean and chart cover (default 10)")


def run(args: argparse.Namespace) -> int:
    from .. import monitor
    from . import _session

    _device_options.check_positive(args.window, "--window")
    _session.check_options(args)
    require("textual", "monitor", "vexlo monitor")
    if not sys.stdout.isatty():
        raise _console.CliError("vexlo monitor draws on a terminal; standard output is not one")
    sink = monitor.MonitorSink()
    # The view is built once the engine has opened the sink (it knows the streams then).
    return _session.run_sinks(args, [sink],
                              foreground=lambda: monitor.monitor_app(sink, window_seconds=args.window).run())

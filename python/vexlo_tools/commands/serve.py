"""vexlo serve: a live view of the instruments in a web browser.

Stream from the instruments found (--port, --model narrow the search) and serve a page that shows,
per instrument, its facts, a chart of the last seconds to minutes, the current value with the
minimum, maximum and mean, and the counters. The server listens on 127.0.0.1:8765 (--host,
--http-port) and prints the page's address; on any other address than this computer's own an
access token is required (--token, at least 16 characters, else one is made up) and the printed address carries it. With
--control the page may also start and stop recordings (into --recordings, under names the server
gives), tare and untare, and change the rate; without it the page is read-only. At most
--max-viewers (20) viewers are served at once. --limit "value > 900" (repeatable) raises an alarm
at each crossing: a warning line, a badge on the instrument's card, an event in the page's recording
that is on, and with --on-limit COMMAND that command run with the event in its environment. Needs
the web extra.

With --broker, the page shows the fleet instead: every stand and instrument seen on the broker
(--stand PATTERN narrows it, shell patterns, repeatable), grouped by stand, read-only, from what
the stands publish (vexlo publish). Needs the mqtt extra as well.
"""

from __future__ import annotations

import argparse

from .._extras import require
from .._options import MAX_VIEWERS
from . import _broker, _console, _device_options, record


def options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--port", action="append", metavar="P", help="the instrument on port P; repeatable")
    _device_options.add_model(parser)
    _device_options.add_rate(parser)
    parser.add_argument("--seconds", type=float, metavar="S", help="serve S seconds of data (default: until Ctrl-C)")
    parser.add_argument("--host", default="127.0.0.1",
                        help="the address to listen on (default 127.0.0.1: this computer only)")
    parser.add_argument("--http-port", type=int, default=8765, metavar="N", help="the port to listen on (default 8765)")
    parser.add_argument("--token", help="the access token the page's address carries (made up when needed)")
    parser.add_argument("--max-viewers", type=int, default=MAX_VIEWERS, metavar="N",
                        help=f"serve at most N viewers at once (default {MAX_VIEWERS})")
    parser.add_argument("--control", action="store_true",
                        help="let the page record, tare and change the rate")
    parser.add_argument("--recordings", default="recordings", metavar="DIR",
                        help="where recordings started from the page go (default ./recordings)")
    record.add_limits(parser)
    _broker.add(parser, required=False, what="show the fleet on ")
    parser.add_argument("--stand", action="append", default=[], metavar="PATTERN",
                        help="with --broker, show the stands PATTERN names (shell patterns such as hall2-*); "
                             "repeatable (default: every stand)")


def run(args: argparse.Namespace) -> int:
    from .. import web
    from . import _session

    _session.check_options(args)
    if not 0 < args.http_port < 65536:
        raise _console.CliError("--http-port must be between 1 and 65535")
    if args.max_viewers < 1:
        raise _console.CliError("--max-viewers must be at least 1")
    try:
        web.check_token(args.token)
    except ValueError as error:
        raise _console.CliError(str(error)) from None
    for module in ("starlette", "uvicorn", "websockets", "plotly"):
        require(module, "web", "vexlo serve")
    if args.broker is not None:
        return _fleet(args)
    if args.stand:
        raise _console.CliError("--stand selects stands of a --broker")
    return web.serve(args.port, args.model, rate=args.rate, seconds=args.seconds, host=args.host,
                     http_port=args.http_port, token=args.token, max_viewers=args.max_viewers,
                     control=args.recordings if args.control else None, announce=_console.out,
                     limits=record.limit_sink(args))


def _fleet(args: argparse.Namespace) -> int:
    """The fleet's page: read-only, from the broker, no instrument of this computer."""
    from ..mqtt import fleet
    given = [name for name, value in (("--port", args.port), ("--model", args.model), ("--rate", args.rate),
                                      ("--control", args.control), ("--limit", args.limit),
                                      ("--on-limit", args.on_limit)) if value]
    if given:
        raise _console.CliError(f"{', '.join(given)}: the fleet page shows what the stands publish, read-only")
    try:
        stands = [fleet.check_pattern(pattern) for pattern in args.stand]
    except ValueError as error:
        raise _console.CliError(str(error)) from None
    with _broker.reporting():
        return fleet.serve(_broker.broker(args), stands, seconds=args.seconds, host=args.host,
                           http_port=args.http_port, token=args.token, max_viewers=args.max_viewers,
                           announce=_console.out)

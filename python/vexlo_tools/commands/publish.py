"""vexlo publish: stream the instruments to an MQTT broker.

Every block of every instrument goes with QoS 1 to vexlo/STAND/SERIAL/data in a compact binary
layout (docs/mqtt.md); the provenance is published retained on vexlo/STAND/SERIAL/info, the
counters once a second on .../stats, and the stand's state on vexlo/STAND/status ("offline" by
the broker's last will when the stand vanishes). While the broker is away, or before it was first
reached, blocks wait in a spool on disk (--spool-mb, default 512; in the user's state folder, kept
across runs) and are sent in order once it is back, after those it acknowledged in the last seconds
(a killed broker loses what it has not saved); when the spool is full the oldest go, counted in the
stats. What an earlier, killed publisher of the stand left in the spool goes first, under its own
run. Stops after --seconds of data or on Ctrl-C or SIGTERM, once the broker has acknowledged every
block or --drain-seconds have passed (what is left stays in the spool). --limit "value > 900"
(repeatable) raises an alarm at each crossing: a line on standard error, the event retained on
vexlo/STAND/SERIAL/event, and with --on-limit COMMAND that command run with the event in its
environment. Needs the mqtt extra.
"""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING, List

from .._options import DRAIN_SECONDS, SPOOL_MB
from . import _broker, _console, _device_options, record

if TYPE_CHECKING:
    from ..engine import Sink


def options(parser: argparse.ArgumentParser) -> None:
    _broker.add(parser)
    parser.add_argument("--stand", metavar="NAME", help="this stand's name in the topics (default: the host name)")
    _device_options.add_run(parser, "publish")
    parser.add_argument("--spool-mb", type=float, default=SPOOL_MB, metavar="MB",
                        help=f"disk kept for blocks on their way to the broker (default {SPOOL_MB})")
    parser.add_argument("--spool-dir", metavar="DIR",
                        help="the stand's spool folder, kept across runs (default: vexlo/spool/STAND in the "
                             "user's state folder, $XDG_STATE_HOME or ~/.local/state)")
    parser.add_argument("--drain-seconds", type=float, default=DRAIN_SECONDS, metavar="S",
                        help="at the end, wait up to S seconds for the broker to take the rest; what it did not "
                             f"stays in the spool for the next run (default {DRAIN_SECONDS:g})")
    record.add_limits(parser)


def run(args: argparse.Namespace) -> int:
    from ..mqtt.publisher import Publisher
    from . import _session

    _session.check_options(args)
    limits = record.limit_sink(args)
    try:
        publisher = Publisher(_broker.broker(args), args.stand, spool_mb=args.spool_mb, spool_dir=args.spool_dir,
                              drain_seconds=args.drain_seconds)
    except ValueError as error:
        raise _console.CliError(str(error)) from error
    with _broker.reporting():
        publisher.connect()  # before any instrument is probed: a broker that refuses wastes no time
        _console.out(f"publishing stand {publisher.stand} to {publisher.broker}"
                     + ("" if args.seconds else "; Ctrl-C stops"))
        try:
            sinks: List[Sink] = [publisher]
            if limits is not None:
                limits.subscribe(publisher.publish_event)
                sinks.insert(0, limits)
            return _session.run_sinks(args, sinks)
        finally:
            publisher.close()  # when no instrument was found; after a run the engine has closed it

"""vexlo collect: record what the stands publish to an MQTT broker.

Subscribes with a persistent session (blocks published while the collector is away wait at the
broker) and writes into DIRECTORY one HDF5 recording per stand, instrument and run, named
STAND_SERIAL_START.h5, with the provenance the stand published. Every message is checked first; one
that fails is acknowledged, logged, counted (rejected) and never written. Blocks that arrive twice
are written once, blocks out of order in order; samples that never arrive leave a gap in the sample
times and are reported. A block
is acknowledged to the broker only once it is flushed into its file, so a collector that is
killed and started again loses nothing. Runs until Ctrl-C or SIGTERM, which close the files
cleanly. With --group, several collectors share the data through an MQTT 5 shared subscription,
each writing the blocks it received into files of its own. Needs the mqtt and hdf5 extras.
"""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING

from . import _broker, _console, _status

if TYPE_CHECKING:
    from ..mqtt.collector import Collector


def options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("directory", metavar="DIRECTORY", help="where the recordings go (created when missing)")
    _broker.add(parser)
    parser.add_argument("--stand", action="append", default=[], metavar="NAME",
                        help="collect stand NAME only; repeatable (default: every stand)")
    parser.add_argument("--group", metavar="NAME", help="share the data with the other collectors of group NAME")
    parser.add_argument("--client-id", metavar="ID",
                        help="the session's name at the broker (default: one per host and directory)")


def run(args: argparse.Namespace) -> int:
    from ..mqtt.collector import Collector

    try:
        collector = Collector(_broker.broker(args), args.directory, stands=args.stand, group=args.group,
                              client_id=args.client_id)
    except ValueError as error:
        raise _console.CliError(str(error)) from error
    collector.connect()
    line = _status.StatusLine()
    _console.out(f"collecting {', '.join(args.stand) or 'every stand'} from {collector.broker} into "
                 f"{args.directory}; Ctrl-C stops")
    try:
        with _broker.reporting():
            collector.run(status=lambda c: line.show(_summary(c)))  # until Ctrl-C or SIGTERM
    finally:
        line.end()
    for (stand, serial, run), track in sorted(collector.tracks.items()):
        if track.samples or track.late:
            _console.out(f"stand {stand} instrument {serial} (run of {run}): {track.samples:,} samples"
                         + (f", {track.gaps:,} did not arrive" if track.gaps else "")
                         + (f", {track.late:,} came late (in a file of their own)" if track.late else ""))
    for stand, count in sorted(collector.rejected.items()):
        _console.out(f"{'stand ' + stand if stand else 'messages naming no stand'}: {count:,} messages refused")
    _console.out(f"wrote {len(collector.files)} files")
    return 0


def _summary(collector: Collector) -> str:
    tracks = collector.tracks.values()
    return (f"stands {len({t.stand for t in tracks})}  instruments {len(collector.tracks)}  "
            f"samples {sum(t.samples for t in tracks):,}  gaps {sum(t.gaps for t in tracks):,}  "
            f"files {len(collector.files)}  rejected {sum(collector.rejected.values()):,}")

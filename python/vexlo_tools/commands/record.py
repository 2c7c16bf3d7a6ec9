"""vexlo record: record instruments into a file with their provenance.

Stream from the instruments found (--port, --model narrow the search) until --seconds of data are
recorded or Ctrl-C, which ends the recording cleanly with the file complete. The output's suffix
chooses the format: .h5 (HDF5: one group per instrument, flushed every half second, so a killed
recording keeps all but its last moments; needs the hdf5 extra) or .csv (commented metadata, then
time_s,adc,value rows; one file per instrument when there are several). Both hold the model, item
and serial number, firmware, port, rate, packet format, unit, the calibration used, the start time,
host, software versions, the channel, sensor profile and serial number, the notes given with --note,
and per instrument its end (time, reason, whether complete) and the counters received, overrun,
missing and corrupted of the samples in the file. --compress stores .h5 samples compressed. The
output path is checked before any instrument is probed, and locked while it is written; --overwrite
replaces an existing file only once the new recording has started. A status line shows progress on
a terminal. --split 1h (or a size, 500MB) writes the run in parts, run.part0001.h5, run.part0002.h5,
..., each a whole recording, sample numbers and times going on across them (vexlo plot of the first
part draws them all). --trigger "value > 250" records events instead: the last --pre seconds are kept
in memory, and each crossing of the condition (value or adc, > or <, optionally "hysteresis H")
writes run.event0001.h5, ... from --pre seconds before it to --post seconds after, every instrument
over the same window; --trigger-on SERIAL chooses the instrument watched, --events N ends the run
after N events. --limit "value > 900" (repeatable) raises an alarm at each crossing: a warning line,
an event in the recording (with --trigger, in the event's file whose window holds it), and with --on-limit COMMAND that command run with the
event in its environment (VEXLO_EVENT as JSON, VEXLO_EVENT_SAMPLE, _UTC, _VALUE, ...); COMMAND is
split into words as a shell would, but runs without a shell.
"""

from __future__ import annotations

import argparse
import math
import shlex
import shutil
from typing import TYPE_CHECKING, List, Optional, Sequence, Union

from . import _console, _device_options

if TYPE_CHECKING:
    from .. import recording
    from ..engine import Sink
    from ._sinks import AnnouncedEvents, AnnouncedRecording


def options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("output", metavar="OUTPUT", help="the file to write: .h5 or .csv")
    _device_options.add_run(parser, "record")
    parser.add_argument("--overwrite", action="store_true",
                        help="replace OUTPUT if it exists (once the new recording has started)")
    parser.add_argument("--note", action="append", metavar="TEXT",
                        help="a note kept in the file with each instrument (notes); repeatable")
    parser.add_argument("--compress", action="store_true", help="compress the samples (.h5 only)")
    parser.add_argument("--split", metavar="SPAN", type=_split,
                        help="start a new part every SPAN of data (90s, 30min, 1h, 1d) or at a size (500MB, 2GB): "
                             "OUTPUT.part0001.h5, OUTPUT.part0002.h5, ...")
    parser.add_argument("--trigger", metavar="CONDITION", type=condition,
                        help='record events: each crossing of CONDITION ("value > 250", "adc < 9000000", '
                             '"value > 250 hysteresis 5") into OUTPUT.event0001.h5, ...')
    parser.add_argument("--pre", type=float, metavar="S",
                        help="with --trigger: seconds kept before each crossing (default 1)")
    parser.add_argument("--post", type=float, metavar="S",
                        help="with --trigger: seconds written after each crossing (default 1)")
    parser.add_argument("--events", type=int, metavar="N", help="with --trigger: end after N events")
    parser.add_argument("--trigger-on", type=int, metavar="SERIAL",
                        help="with --trigger: watch the instrument with this serial number (default: the first)")
    add_limits(parser)


def add_limits(parser: argparse.ArgumentParser) -> None:
    """--limit and --on-limit, as every streaming command that raises alarms takes them."""
    parser.add_argument("--limit", action="append", metavar="CONDITION", type=condition,
                        help='raise an alarm at each crossing of CONDITION ("value > 900"); repeatable')
    parser.add_argument("--on-limit", metavar="COMMAND", type=_command,
                        help="with --limit: run COMMAND at each alarm, the event in its environment (no shell)")


def limit_sink(args: argparse.Namespace, listeners: Sequence[recording.LimitListener] = ()) \
        -> Optional[recording.LimitSink]:
    """The alarms --limit asks for (``None`` without), each said on standard error and run --on-limit.

    :raises _console.CliError: --on-limit without --limit.
    """
    if not args.limit:
        if args.on_limit is not None:
            raise _console.CliError("--on-limit needs a --limit")
        return None
    from .. import recording

    return recording.LimitSink(args.limit, command=args.on_limit, listeners=[say_alarm, *listeners])


def _command(text: str) -> List[str]:
    try:
        words = shlex.split(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"--on-limit {text[:60]!r}: {error}") from None
    if not words or "\0" in text:
        raise argparse.ArgumentTypeError("--on-limit needs a program (and its arguments), without NUL characters")
    if shutil.which(words[0]) is None:
        raise argparse.ArgumentTypeError(f"--on-limit: no program {words[0][:60]!r} found")
    return words


def condition(text: str) -> recording.Condition:
    """A condition option (--trigger, --limit), read by its grammar; a bad one is a usage error."""
    from .. import recording

    try:
        return recording.Condition.parse(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _split(text: str) -> recording.Split:
    from .. import recording

    try:
        return recording.Split.parse(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def run(args: argparse.Namespace) -> int:
    from .. import recording
    from ..recording.writers import STANDARD_OUTPUT
    from . import _session, _sinks

    _session.check_options(args)
    if args.output == STANDARD_OUTPUT:
        raise _console.CliError("vexlo record writes files (its own lines go to standard output); "
                                "vexlo stream --csv - writes the samples to standard output")
    try:
        # Before any instrument is probed: a run that cannot write wastes no time.
        if args.trigger is None:
            given = [o for o, v in (("--pre", args.pre), ("--post", args.post), ("--events", args.events),
                                    ("--trigger-on", args.trigger_on)) if v is not None]
            if given:
                raise ValueError(f"{given[0]} goes with --trigger")
            recording.RecordingSink.check(args.output, args.split, args.overwrite)
        else:
            _check_trigger(args)
            recording.TriggerSink.check(args.output, args.overwrite)
        recording.check_metadata(_sinks.notes(args.note))
        if args.compress and not recording.writer_class(args.output).compressible:
            raise ValueError(f"--compress needs an .h5 output, not {args.output!r}")
    except ValueError as error:
        raise _console.CliError(str(error)) from error
    limits = limit_sink(args)
    main: Union[AnnouncedRecording, AnnouncedEvents] = \
        _sinks.AnnouncedRecording(args) if args.trigger is None else _sinks.AnnouncedEvents(args)
    sinks: List[Sink] = [main]
    if limits is not None:
        limits.subscribe(lambda event: main.add_event(event.index, event.metadata()))
        # First: stopping finishes the sinks in order, so the recording gets every event before it closes.
        sinks.insert(0, limits)
    finished = main.finished.is_set if isinstance(main, _sinks.AnnouncedEvents) else None
    return _session.run_sinks(args, sinks, until=finished)


def say_alarm(event: recording.LimitEvent) -> None:
    """An alarm on standard error, one line."""
    _console.note(f"vexlo: limit {event.condition} crossed by {event.model} {event.serial_number} at sample "
                  f"{event.sample} ({event.utc}): {event.value:g}")


def _check_trigger(args: argparse.Namespace) -> None:
    """Refuse trigger options that do not fit together (before anything is probed)."""
    from .. import recording
    from . import _sinks

    if args.split is not None:
        raise ValueError("--split records continuously and --trigger records events: give one of them")
    for option, seconds in (("--pre", _sinks.or_one(args.pre)), ("--post", _sinks.or_one(args.post))):
        if not (math.isfinite(seconds) and 0 <= seconds <= recording.triggers.MAX_PRE_SECONDS):
            raise ValueError(f"{option} must be from 0 to {recording.triggers.MAX_PRE_SECONDS:g} seconds")
    if args.events is not None and args.events < 1:
        raise ValueError("--events must be at least 1")

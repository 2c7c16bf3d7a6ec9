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
a terminal.
"""

from __future__ import annotations

import argparse
from typing import Optional, Sequence

from .. import recording
from ..recording.writers import STANDARD_OUTPUT
from ..types import COUNTERS, StreamInfo, size_text
from . import _console, _device_options, _session, _status


def options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("output", metavar="OUTPUT", help="the file to write: .h5 or .csv")
    _device_options.add_run(parser, "record")
    parser.add_argument("--overwrite", action="store_true",
                        help="replace OUTPUT if it exists (once the new recording has started)")
    parser.add_argument("--note", action="append", metavar="TEXT",
                        help="a note kept in the file with each instrument (notes); repeatable")
    parser.add_argument("--compress", action="store_true", help="compress the samples (.h5 only)")


class _Announce(recording.RecordingSink):
    """The recording, with what is recorded said first and the status line on a terminal."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.line = _status.StatusLine()
        super().__init__(args.output, overwrite=args.overwrite, metadata=notes(args.note), compress=args.compress,
                         status=lambda p: self.line.show(p.line()))
        self.seconds = args.seconds

    def open(self, streams: Sequence[StreamInfo]) -> None:
        self.streams = list(streams)
        for stream in streams:
            _console.out(f"Recording {stream.model} {stream.serial_number} on {stream.port} at "
                         f"{stream.samples_per_second:g} samples/s, {stream.unit}")
        _console.out(f"into {self.path}" + ("" if self.seconds else "; Ctrl-C stops"))
        super().open(streams)

    def close(self) -> None:
        try:
            super().close()
        finally:
            self.line.end()
        progress = self.progress
        for stream, samples, stats in zip(self.streams, progress.samples, progress.stats):
            _console.out(f"{stream.model} {stream.serial_number}: {samples:,} samples; "
                         + ", ".join(f"{name} {getattr(stats, name)}" for name in COUNTERS))
        _console.out(f"wrote {', '.join(progress.paths)} ({size_text(progress.file_size)}) "
                     f"in {progress.elapsed:.1f} s")


def notes(texts: Optional[Sequence[str]]) -> recording.Metadata:
    """The ``notes`` key of the --note texts, one a line."""
    return {"notes": "\n".join(texts)} if texts else {}


def run(args: argparse.Namespace) -> int:
    _session.check_options(args)
    if args.output == STANDARD_OUTPUT:
        raise _console.CliError("vexlo record writes files (its own lines go to standard output); "
                                "vexlo stream --csv - writes the samples to standard output")
    try:
        # Before any instrument is probed: a run that cannot write wastes no time.
        recording.check_output(args.output, args.overwrite)
        recording.check_metadata(notes(args.note))
        if args.compress and not recording.writer_class(args.output).compressible:
            raise ValueError(f"--compress needs an .h5 output, not {args.output!r}")
    except ValueError as error:
        raise _console.CliError(str(error)) from error
    return _session.run_sinks(args, [_Announce(args)])

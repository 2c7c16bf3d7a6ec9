"""vexlo record: record instruments into a file with their provenance.

Stream from the instruments found (--port, --model narrow the search) until --seconds of data are
recorded or Ctrl-C, which ends the recording cleanly with the file complete. The output's suffix
chooses the format: .h5 (HDF5: one group per instrument, flushed every half second, so a killed
recording keeps all but its last moments; needs the hdf5 extra) or .csv (commented metadata, then
time_s,adc,value rows; one file per instrument when there are several). Both hold the model, item
and serial number, firmware, port, rate, packet format, unit, the calibration used, the start time,
host, software versions and the counters received, overrun, missing and corrupted. The output path
is checked before any instrument is probed. A status line shows progress on a terminal.
"""

from __future__ import annotations

import argparse
from typing import Optional

from .. import recording
from . import _acquire, _common, _device_options, _status


def options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("output", metavar="OUTPUT", help="the file to write: .h5 or .csv")
    parser.add_argument("--seconds", type=float, metavar="S", help="record S seconds (default: until Ctrl-C)")
    parser.add_argument("--rate", type=float, metavar="SPS", help="stream at SPS samples per second, e.g. 38400")
    parser.add_argument("--port", action="append", metavar="P", help="the instrument on port P; repeatable")
    _device_options.add_model(parser)
    parser.add_argument("--overwrite", action="store_true", help="replace OUTPUT if it exists")


def run(args: argparse.Namespace) -> int:
    if args.seconds is not None and not args.seconds > 0:
        raise _common.CliError("--seconds must be more than 0")
    try:
        # Before any instrument is probed: a run that cannot write wastes no time.
        recording.check_output(args.output, args.overwrite)
    except ValueError as error:
        raise _common.CliError(str(error)) from error
    progress = record_instruments(args.output, ports=args.port, models=args.model, rate=args.rate,
                                  seconds=args.seconds, overwrite=args.overwrite)
    for failure in progress.errors:
        _common.note(f"vexlo: error: {failure}")
    if progress.interrupted and args.seconds is not None:
        raise KeyboardInterrupt  # cut short: the file is complete, the exit status says so
    return 1 if progress.errors else 0


def record_instruments(output: str, *, ports: Optional[list[str]] = None, models: Optional[list[str]] = None,
                       rate: Optional[float] = None, seconds: Optional[float] = None,
                       overwrite: bool = False) -> recording.Progress:
    """Find the instruments, record them into ``output`` and print what was written."""
    status = _status.StatusLine()
    with _acquire.acquiring(ports, models, rate) as acquisition:
        for stream in acquisition.streams:
            _common.out(f"Recording {stream.model} {stream.serial_number} on {stream.port} at "
                        f"{stream.samples_per_second:g} samples/s, {stream.unit}")
        _common.out(f"into {output}" + ("" if seconds else "; Ctrl-C stops"))
        try:
            progress = recording.record(acquisition, output, seconds=seconds, overwrite=overwrite,
                                        status=lambda p: status.show(p.line()))
        finally:
            status.end()
    for stream, samples, counters in zip(acquisition.streams, progress.samples, progress.counters):
        _common.out(f"{stream.model} {stream.serial_number}: {samples:,} samples; "
                    + ", ".join(f"{k} {v}" for k, v in counters.items()))
    _common.out(f"wrote {', '.join(progress.paths)} ({progress.file_size / 1e6:.1f} MB) in {progress.elapsed:.1f} s")
    return progress

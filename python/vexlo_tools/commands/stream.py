"""vexlo stream: stream calibrated samples, optionally to CSV.

Switch streaming on, convert the samples as they arrive (three-byte packets on a PLX310 at 38400
samples/s, four-byte packets otherwise) and show a status line on a terminal. Streaming is switched
off and the port closed at the end, on Ctrl-C too.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import sys
from typing import IO, Optional, Tuple

import vexlo_device_communication as vexlo

from . import _common, _device_options

#: Seconds between two reads of the input buffer. At 38400 samples/s in
#: three-byte packets 5 ms bring about 600 bytes, far below a port's buffer.
POLL_SECONDS = 0.005
STATUS_SECONDS = 0.2
#: After streaming is switched off: packets still under way are read and
#: dropped until the line has been quiet this long (at most DRAIN_SECONDS).
QUIET_SECONDS = 0.05
DRAIN_SECONDS = 1.0


def options(parser: argparse.ArgumentParser) -> None:
    _device_options.add(parser)
    parser.add_argument("--seconds", type=float, metavar="S", help="stream for S seconds (default: until Ctrl-C)")
    parser.add_argument("--rate", type=float, metavar="SPS",
                        help="first set channel 0's sampling rate to SPS samples per second, e.g. 38400")
    parser.add_argument("--csv", metavar="FILE",
                        help="write time,adc,value rows to FILE (time: seconds since streaming started, "
                             "sample number over the sampling rate)")


class StreamStats:
    """Running totals of a stream session."""

    def __init__(self) -> None:
        self.samples = 0
        self.corrupted = 0
        self.last_value: Optional[float] = None
        self.elapsed = 0.0
        self.interrupted = False

    def add(self, buffer_length: int, result: vexlo.StreamConversionResult, packet_size: int) -> None:
        readings = result.readings or []
        remainder = result.remainder or b""
        self.samples += len(readings)
        self.corrupted += _common.corrupted_positions(buffer_length, len(remainder), len(readings),
                                                      packet_size)
        if readings:
            self.last_value = readings[-1].calibrated_value

    def rate(self) -> float:
        return self.samples / self.elapsed if self.elapsed > 0 else 0.0

    def _last(self, unit: str) -> str:
        return "-" if self.last_value is None else f"{self.last_value:.4f} {unit}"

    def status_line(self, unit: str) -> str:
        return (f"samples {self.samples}  rate {self.rate():.0f}/s  corrupted {self.corrupted}"
                f"  last {self._last(unit)}")

    def summary(self, unit: str) -> str:
        return (f"{self.samples} samples in {self.elapsed:.2f} s ({self.rate():.0f} samples/s), "
                f"{self.corrupted} corrupted position{'s' if self.corrupted != 1 else ''}; "
                f"last {self._last(unit)}")


def stream_session(device: vexlo.VexloDevice, *, model: str, code: int, seconds: Optional[float],
                   unit: str, csv_file: Optional[IO[str]] = None,
                   status: Optional[IO[str]] = None, status_every: Optional[float] = None) -> StreamStats:
    """Stream from ``device`` for ``seconds`` (``None``: until Ctrl-C) and return the totals.

    Each buffer is converted with the remainder of the previous one in
    front. ``status`` receives a status line: rewritten in place every
    STATUS_SECONDS, or, with ``status_every``, one line per that many
    seconds. Streaming is always switched off again; Ctrl-C ends the
    session normally (``interrupted`` is then set).
    """
    short = _common.uses_short_packets(model, code)
    convert = (vexlo.StreamDataConverter.convert_stream_data_to_reading_38_kHz if short
               else vexlo.StreamDataConverter.convert_stream_data_to_reading)
    packet_size = 3 if short else 4
    sps = _common.samples_per_second(model, code)
    converter = device.get_adc_converter()
    if converter is None:
        raise vexlo.VexloCalibrationError("ADC converter not initialized. Cannot convert reading.")
    writer = csv.writer(csv_file, lineterminator="\n") if csv_file is not None else None
    if writer:
        writer.writerow(("time", "adc", "value"))
    stats = StreamStats()
    live = status is not None and status_every is None
    every = status_every if status_every is not None else STATUS_SECONDS
    remainder = bytearray()
    shown = False
    start: Optional[float] = None
    next_status = 0.0
    try:
        try:
            # Inside the cleanup: a switch-on whose answer got lost may still have taken effect.
            device.set_stream_state(True)
            start = _common.clock()
            next_status = start + every
            while True:
                now = _common.clock()
                stats.elapsed = now - start
                # Time is up: one last read collects what arrived until now.
                done = seconds is not None and stats.elapsed >= seconds
                data = device.get_stream_data()
                if data:
                    buffer = remainder + data
                    result = convert(buffer, converter)
                    first = stats.samples
                    stats.add(len(buffer), result, packet_size)
                    remainder = result.remainder if result.remainder is not None else bytearray()
                    if writer:
                        for n, reading in enumerate(result.readings or [], first):
                            t = n / sps if sps else stats.elapsed
                            writer.writerow((f"{t:.6f}", reading.adc_value, repr(reading.calibrated_value)))
                if done:
                    break
                if status is not None and now >= next_status:
                    _show_status(status, stats.status_line(unit), live)
                    shown = True
                    next_status = now + every
                _common.sleep(POLL_SECONDS)
        except KeyboardInterrupt:
            stats.interrupted = True
            stats.elapsed = _common.clock() - start if start is not None else 0.0
    finally:
        if live and shown and status is not None:
            status.write("\n")
            status.flush()
        _stop_streaming(device)
    return stats


def _show_status(status: IO[str], line: str, live: bool) -> None:
    if live:
        status.write("\r" + line.ljust(78))
    else:
        status.write(line + "\n")
    status.flush()


def _stop_streaming(device: vexlo.VexloDevice) -> None:
    failing = sys.exc_info()[1] is not None
    try:
        device.set_stream_state(False)
        drain(device)
    except vexlo.VexloDeviceError as error:
        if not failing:
            raise
        _common.note(f"vexlo: could not switch streaming off: {error}")


def drain(device: vexlo.VexloDevice) -> int:
    """Read and drop stream bytes still under way; return how many there were."""
    dropped = 0
    begin = quiet_since = _common.clock()
    while True:
        now = _common.clock()
        if now - quiet_since >= QUIET_SECONDS or now - begin >= DRAIN_SECONDS:
            return dropped
        data = device.get_stream_data()
        if data:
            dropped += len(data)
            quiet_since = _common.clock()
        _common.sleep(POLL_SECONDS)


def prepare(device: vexlo.VexloDevice, rate: Optional[float]) -> Tuple[str, int]:
    """Set the rate if asked; return the model and channel 0's rate code."""
    model = device.get_model_number()
    if rate is not None:
        device.set_sampling_rate(_common.rate_member(model, rate))
    return model, device.get_sampling_rate(0)


def run(args: argparse.Namespace) -> int:
    if args.seconds is not None and not args.seconds > 0:
        raise _common.CliError("--seconds must be more than 0")
    with _common.one_device(args) as device:
        _common.load_auto_teds(device)
        model, code = prepare(device, args.rate)
        unit = _common.unit_text(device)
        # Opened only now: a run that finds no instrument leaves an existing file alone.
        with contextlib.ExitStack() as files:
            csv_file = files.enter_context(open(args.csv, "w", newline="", encoding="utf-8")) if args.csv else None
            packets = "three-byte" if _common.uses_short_packets(model, code) else "four-byte"
            _common.out(f"Streaming from {model} on {_common.port_of(device)} at "
                        f"{_common.describe_rate(model, code)}, {packets} packets"
                        + ("" if args.seconds else "; Ctrl-C stops"))
            stats = stream_session(device, model=model, code=code, seconds=args.seconds, unit=unit,
                                   csv_file=csv_file, status=sys.stderr if sys.stderr.isatty() else None)
    _common.out(stats.summary(unit))
    if args.csv:
        _common.out(f"{stats.samples} rows written to {args.csv}")
    if stats.interrupted and args.seconds is not None:
        raise KeyboardInterrupt  # cut short: the exit status says so
    return 0

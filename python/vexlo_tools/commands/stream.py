"""vexlo stream: stream calibrated samples, optionally to CSV.

Switch streaming on, convert the samples as they arrive (three-byte packets on a PLX310 at 38400
samples/s, four-byte packets otherwise) and show a status line on a terminal. Streaming is switched
off and the port closed at the end, on Ctrl-C too.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
from datetime import datetime, timezone
from typing import IO, List, Optional

import vexlo_device_communication as vexlo

from .. import recording
from ..acquisition import Acquisition, Block, StreamInfo
from ..models import model_info
from . import _common, _device_options

#: Seconds between two looks at what the acquisition's reader collected.
POLL_SECONDS = 0.005
STATUS_SECONDS = 0.2


def options(parser: argparse.ArgumentParser) -> None:
    _device_options.add(parser)
    parser.add_argument("--seconds", type=float, metavar="S", help="stream for S seconds (default: until Ctrl-C)")
    parser.add_argument("--rate", type=float, metavar="SPS",
                        help="first set channel 0's sampling rate to SPS samples per second, e.g. 38400")
    parser.add_argument("--csv", metavar="FILE",
                        help="write the samples to FILE as vexlo record does: commented provenance, then "
                             "time_s,adc,value rows (time: sample number over the sampling rate)")


class StreamStats:
    """Running totals of a stream session."""

    def __init__(self) -> None:
        self.samples = 0
        self.corrupted = 0
        self.lost = 0
        self.last_value: Optional[float] = None
        self.elapsed = 0.0
        self.interrupted = False

    def add(self, block: Block) -> None:
        self.samples += len(block)
        self.corrupted = block.stats.corrupted
        self.lost = block.stats.overrun + block.stats.missing
        if len(block):
            self.last_value = float(block.value[-1])

    def rate(self) -> float:
        return self.samples / self.elapsed if self.elapsed > 0 else 0.0

    def _last(self, unit: str) -> str:
        return "-" if self.last_value is None else f"{self.last_value:.4f} {unit}"

    def _lost(self) -> str:
        return f", {self.lost} lost" if self.lost else ""

    def status_line(self, unit: str) -> str:
        return (f"samples {self.samples}  rate {self.rate():.0f}/s  corrupted {self.corrupted}"
                + (f"  lost {self.lost}" if self.lost else "") + f"  last {self._last(unit)}")

    def summary(self, unit: str) -> str:
        return (f"{self.samples} samples in {self.elapsed:.2f} s ({self.rate():.0f} samples/s), "
                f"{self.corrupted} corrupted position{'s' if self.corrupted != 1 else ''}{self._lost()}; "
                f"last {self._last(unit)}")


def stream_session(acquisition: Acquisition, *, seconds: Optional[float], writer: Optional[recording.Writer] = None,
                   status: Optional[IO[str]] = None, status_every: Optional[float] = None) -> StreamStats:
    """Take the samples of a started one-device acquisition for ``seconds`` (``None``: until Ctrl-C).

    ``status`` receives a status line: rewritten in place every
    STATUS_SECONDS, or, with ``status_every``, one line per that many
    seconds. The acquisition is stopped at the end, and the samples that
    arrived until then are taken too; Ctrl-C ends the session normally
    (``interrupted`` is then set).
    """
    [stream] = acquisition.streams
    stats = StreamStats()
    live = status is not None and status_every is None
    every = status_every if status_every is not None else STATUS_SECONDS
    shown = False
    start = _common.clock()
    next_status = start + every
    try:
        try:
            while True:
                now = _common.clock()
                stats.elapsed = now - start
                done = seconds is not None and stats.elapsed >= seconds
                if done:
                    acquisition.stop()  # what arrived until now is read below
                _take(acquisition.read(timeout=0), stats, writer)
                if done:
                    break
                if status is not None and now >= next_status:
                    _show_status(status, stats.status_line(stream.unit), live)
                    shown = True
                    next_status = now + every
                _common.sleep(POLL_SECONDS)
        except KeyboardInterrupt:
            stats.interrupted = True
            stats.elapsed = _common.clock() - start
            acquisition.stop()
            _take(acquisition.read(timeout=0), stats, writer)
    finally:
        if live and shown and status is not None:
            status.write("\n")
            status.flush()
    return stats


def _take(blocks: List[Block], stats: StreamStats, writer: Optional[recording.Writer]) -> None:
    for block in blocks:
        stats.add(block)
    if writer:
        writer.write(blocks)


def _show_status(status: IO[str], line: str, live: bool) -> None:
    if live:
        status.write("\r" + line.ljust(78))
    else:
        status.write(line + "\n")
    status.flush()


def describe(stream: StreamInfo) -> str:
    """Rate and packet format of a stream, e.g. "38400 samples/s (code 15), three-byte packets"."""
    packets = "three-byte" if stream.packet_size == 3 else "four-byte"
    return f"{_common.describe_rate(stream.model, stream.rate_code)}, {packets} packets"


def check_rate(device: vexlo.VexloDevice, rate: Optional[float]) -> None:
    """Refuse a rate the instrument lacks, before anything is sent or written.

    :raises _common.CliError: the message lists the instrument's rates.
    """
    if rate is None:
        return
    try:
        model_info(device.get_model_number()).rate_code(rate, _common.item_number(device))
    except ValueError as error:
        raise _common.CliError(str(error)) from None


def run(args: argparse.Namespace) -> int:
    if args.seconds is not None and not args.seconds > 0:
        raise _common.CliError("--seconds must be more than 0")
    if args.csv:
        recording.check_path(args.csv, overwrite=True)  # before any instrument is probed
    with _common.one_device(args) as device:
        _common.load_auto_teds(device)
        check_rate(device, args.rate)
        with contextlib.ExitStack() as files:
            with Acquisition([device], rate=args.rate) as acquisition:
                [stream] = acquisition.streams
                # Opened only now: a run that finds no instrument leaves an existing file alone.
                writer = files.enter_context(recording.CSVWriter(
                    args.csv, [recording.provenance(stream, datetime.now(timezone.utc))], overwrite=True)) \
                    if args.csv else None
                _common.out(f"Streaming from {stream.model} on {stream.port} at {describe(stream)}"
                            + ("" if args.seconds else "; Ctrl-C stops"))
                stats = stream_session(acquisition, seconds=args.seconds, writer=writer,
                                       status=sys.stderr if sys.stderr.isatty() else None)
            if writer:
                writer.close(acquisition.stats())
    _common.out(stats.summary(stream.unit))
    if args.csv:
        _common.out(f"{stats.samples} rows written to {args.csv}")
    if stats.interrupted and args.seconds is not None:
        raise KeyboardInterrupt  # cut short: the exit status says so
    return 0

"""vexlo stream: stream calibrated samples, optionally to CSV.

Switch streaming on, convert the samples as they arrive (three-byte packets on a PLX310 at 38400
samples/s, four-byte packets otherwise) and show a status line on a terminal. Streaming is switched
off and the port closed at the end, on Ctrl-C too.
"""

from __future__ import annotations

import argparse
import sys
from typing import List, Optional, Sequence

from .. import models, recording
from ..engine import Sink
from ..types import Block, Stats, StreamEnd, StreamInfo
from . import _clock, _console, _device_options, _session, _status

STATUS_SECONDS = 0.2


def options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--port", action="append", metavar="P",
                        help="the instrument on port P (default: the first one found); repeatable")
    _device_options.add_model(parser)
    parser.add_argument("--seconds", type=float, metavar="S",
                        help="stream S seconds of data (default: until Ctrl-C)")
    parser.add_argument("--rate", type=float, metavar="SPS",
                        help="first set channel 0's sampling rate to SPS samples per second, e.g. 38400")
    _device_options.add_keep_rate(parser)
    parser.add_argument("--csv", metavar="FILE",
                        help="write the samples to FILE as vexlo record does: commented provenance, then "
                             "time_s,adc,value rows (time: sample number over the sampling rate)")
    parser.add_argument("--overwrite", action="store_true", help="replace FILE if it exists")


class StreamStats:
    """Running totals of one stream."""

    def __init__(self) -> None:
        self.samples = 0
        self.corrupted = 0
        self.lost = 0
        self.last_value: Optional[float] = None
        self.elapsed = 0.0
        self.interrupted = False

    def add(self, block: Block) -> None:
        self.samples += len(block)
        self.count(block.stats)
        if len(block):
            self.last_value = float(block.value[-1])

    def count(self, stats: Stats) -> None:
        self.corrupted = stats.corrupted
        self.lost = stats.overrun + stats.missing

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


class StreamView(Sink):
    """What ``vexlo stream`` shows: the streams, a status line, and a summary per stream at the end.

    :param status: where the status line goes (only when it is a terminal), standard error by default.
    :param status_every: instead of one line rewritten in place, one line per that many seconds
        (the demo's output when it is not on a terminal).
    :param seconds: the planned seconds of data, ``None`` for until Ctrl-C.
    """

    name = "stream view"

    def __init__(self, *, seconds: Optional[float] = None, prefix: str = "",
                 status_every: Optional[float] = None) -> None:
        self.seconds = seconds
        self.prefix = prefix
        self.status_every = status_every
        self.line = _status.StatusLine()
        self.stats: List[StreamStats] = []
        self._ended: List[bool] = []
        self.streams: List[StreamInfo] = []
        self._began = self._shown = 0.0

    def open(self, streams: Sequence[StreamInfo]) -> None:
        self.streams = list(streams)
        self.stats = [StreamStats() for _ in streams]
        self._ended = [False] * len(streams)
        for stream in streams:
            _console.out(f"{self.prefix}Streaming from {stream.model} on {stream.port} at {describe(stream)}"
                        + ("" if self.seconds else "; Ctrl-C stops"))
        self._began = self._shown = _clock.clock()

    def write(self, block: Block) -> None:
        self.stats[block.index].add(block)

    def tick(self, stats: Sequence[Stats]) -> None:
        now = _clock.clock()
        for totals, counters, ended in zip(self.stats, stats, self._ended):
            if not ended:
                totals.elapsed = now - self._began
                totals.count(counters)
        text = "   ".join(t.status_line(s.unit) for t, s in zip(self.stats, self.streams))
        if self.status_every is None:
            self.line.show(text)
        elif now - self._shown >= self.status_every:
            _console.note(text)
            self._shown = now

    def end(self, index: int, end: StreamEnd) -> None:
        totals = self.stats[index]
        self._ended[index] = True
        totals.elapsed = _clock.clock() - self._began
        if self.seconds is not None and end.complete:
            totals.elapsed = self.seconds  # exactly that much data
        totals.count(end.stats)
        totals.interrupted = end.reason == "interrupted"

    def close(self) -> None:
        self.line.end()
        for totals, stream in zip(self.stats, self.streams):
            _console.out(self.prefix + totals.summary(stream.unit))


def describe(stream: StreamInfo) -> str:
    """Rate and packet format of a stream, e.g. "38400 samples/s (code 15), three-byte packets"."""
    packets = "three-byte" if stream.packet_size == 3 else "four-byte"
    return f"{models.describe_rate(stream.model, stream.rate_code)}, {packets} packets"


class CSVSink(recording.RecordingSink):
    """The samples into a CSV file, saying how many rows it wrote."""

    def close(self) -> None:
        super().close()
        for samples, path in zip(self.progress.samples, self.progress.paths):
            _console.out(f"{samples} rows written to {path}")


def run(args: argparse.Namespace) -> int:
    _session.check_options(args)
    sinks: List[Sink] = [StreamView(seconds=args.seconds)]
    if args.csv:
        try:
            recording.check_output(args.csv, args.overwrite)  # before any instrument is probed
        except ValueError as error:
            raise _console.CliError(str(error)) from error
        sinks.append(CSVSink(args.csv, overwrite=args.overwrite))
    return _session.run_sinks(args, sinks, first_only=True)

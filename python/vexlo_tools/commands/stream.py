"""vexlo stream: stream calibrated samples, optionally to CSV.

Switch streaming on, convert the samples as they arrive (three-byte packets on a PLX310 at 38400
samples/s, four-byte packets otherwise) and show a status line on a terminal. Streaming is switched
off and the port closed at the end, on Ctrl-C too.
"""

from __future__ import annotations

import argparse
import os
from typing import Callable, List, Optional, Sequence

from .. import models, recording
from ..recording.writers import STANDARD_OUTPUT
from ..engine import Sink
from ..types import Block, Progress, Stats, StreamEnd, StreamInfo
from . import _clock, _console, _device_options, _session, _status

def options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--port", action="append", metavar="P",
                        help="the instrument on port P (default: the first one found); repeatable")
    _device_options.add_model(parser)
    parser.add_argument("--seconds", type=float, metavar="S",
                        help="stream S seconds of data (default: until Ctrl-C)")
    _device_options.add_rate(parser, "first set channel 0's sampling rate to SPS samples per second")
    _device_options.add_keep_rate(parser)
    parser.add_argument("--csv", metavar="FILE",
                        help="write the samples to FILE as vexlo record does: commented provenance, then "
                             "time_s,adc,value rows (time: sample number over the sampling rate); - writes "
                             "them to standard output (and what the command says to standard error)")
    parser.add_argument("--overwrite", action="store_true", help="replace FILE if it exists")


class StreamView(Sink):
    """What ``vexlo stream`` shows: the streams, a status line, and a summary per stream at the end.

    :param seconds: the planned seconds of data, ``None`` for until Ctrl-C.
    :param prefix: put before every line written to standard output.
    :param status_every: instead of one line rewritten in place on a terminal,
        one line on standard error per that many seconds (the demo's output
        when it is not on a terminal).
    :param say: where its lines go (standard output; standard error when the samples go there).
    """

    name = "stream view"

    def __init__(self, *, seconds: Optional[float] = None, prefix: str = "",
                 status_every: Optional[float] = None, say: Callable[[str], None] = _console.out) -> None:
        self.seconds = seconds
        self.say = say
        self.prefix = prefix
        self.status_every = status_every
        self.line = _status.StatusLine()
        self.progress = Progress()
        self.streams: List[StreamInfo] = []
        self._last: List[Optional[float]] = []
        self._ended: List[Optional[float]] = []  # each stream's seconds, once it has ended
        self._began = self._shown = 0.0

    def open(self, streams: Sequence[StreamInfo]) -> None:
        self.streams = list(streams)
        self.progress = Progress(samples=[0] * len(streams), stats=[Stats() for _ in streams])
        self._last = [None] * len(streams)
        self._ended = [None] * len(streams)
        for stream in streams:
            self.say(f"{self.prefix}Streaming from {stream.model} on {stream.port} at {describe(stream)}"
                         + ("" if self.seconds else "; Ctrl-C stops"))
        self._began = self._shown = _clock.clock()

    def write(self, block: Block) -> None:
        self.progress.samples[block.index] += len(block)
        self.progress.stats[block.index] = block.stats
        if len(block):
            self._last[block.index] = float(block.value[-1])

    def tick(self, stats: Sequence[Stats]) -> None:
        now = _clock.clock()
        self.progress.elapsed = now - self._began
        for index, counters in enumerate(stats):
            if self._ended[index] is None:
                self.progress.stats[index] = counters
        text = "   ".join(self._figures(index, summary=False) for index in range(len(self.streams)))
        if self.status_every is None:
            self.line.show(text)
        elif now - self._shown >= self.status_every:
            _console.note(text)
            self._shown = now

    def end(self, index: int, end: StreamEnd) -> None:
        if self.seconds is not None and end.complete:
            self._ended[index] = self.seconds  # exactly that much data
        else:
            self._ended[index] = _clock.clock() - self._began
        self.progress.stats[index] = end.stats
        self.progress.interrupted = self.progress.interrupted or end.reason == "interrupted"

    def close(self) -> None:
        self.line.end()
        for index in range(len(self.streams)):
            self.say(self.prefix + self._figures(index, summary=True))

    def _figures(self, index: int, *, summary: bool) -> str:
        """One stream's status (``summary`` false) or closing line."""
        samples, stats, last = self.progress.samples[index], self.progress.stats[index], self._last[index]
        ended = self._ended[index]
        seconds = self.progress.elapsed if ended is None else ended
        rate = samples / seconds if seconds > 0 else 0.0
        lost = stats.overrun + stats.missing
        value = "-" if last is None else f"{last:.4f} {self.streams[index].unit}"
        if not summary:
            return (f"samples {samples}  rate {rate:.0f}/s  corrupted {stats.corrupted}"
                    + (f"  lost {lost}" if lost else "") + (f"  overdue {stats.overdue}" if stats.overdue else "")
                    + f"  last {value}")
        return (f"{samples} samples in {seconds:.2f} s ({rate:.0f} samples/s), {stats.corrupted} corrupted "
                f"position{'s' if stats.corrupted != 1 else ''}" + (f", {lost} lost" if lost else "")
                + f"; last {value}")


def describe(stream: StreamInfo) -> str:
    """Rate and packet format of a stream, e.g. "38400 samples/s (code 15), three-byte packets"."""
    packets = "three-byte" if stream.packet_size == 3 else "four-byte"
    return f"{models.describe_rate(stream.model, stream.rate_code)}, {packets} packets"


class CSVSink(recording.RecordingSink):
    """The samples into a CSV file (or standard output), saying how many rows it wrote."""

    def close(self) -> None:
        super().close()
        to_stdout = os.fspath(self.path) == STANDARD_OUTPUT
        for samples, path in zip(self.progress.samples, self.progress.paths):
            (_console.note if to_stdout else _console.out)(
                f"{samples} rows written to {'standard output' if to_stdout else path}")


def run(args: argparse.Namespace) -> int:
    _session.check_options(args)
    to_stdout = args.csv == STANDARD_OUTPUT
    sinks: List[Sink] = [StreamView(seconds=args.seconds, say=_console.note if to_stdout else _console.out)]
    if args.csv:
        try:
            recording.check_output(args.csv, args.overwrite)  # before any instrument is probed
        except ValueError as error:
            raise _console.CliError(str(error)) from error
        sinks.append(CSVSink(args.csv, overwrite=args.overwrite))
    return _session.run_sinks(args, sinks, first_only=True)

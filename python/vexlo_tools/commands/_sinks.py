"""The sinks of the commands that stream and record, and what they say: ``vexlo stream``'s view and
CSV output, ``vexlo record``'s recording and events, announced as they begin and end.

Apart from the commands' modules, which ``vexlo COMMAND --help`` imports: these need the engine and
the recording package (numpy among them), which only a command that runs does.
"""

from __future__ import annotations

import argparse
import os
from pathlib import Path
from typing import Callable, List, Optional, Sequence

from .. import models, recording
from ..engine import Sink
from ..recording.writers import STANDARD_OUTPUT
from ..types import COUNTERS, Block, Progress, Stats, StreamEnd, StreamInfo, size_text
from . import _clock, _console, _status


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


class AnnouncedRecording(recording.RecordingSink):
    """The recording, with what is recorded said first and the status line on a terminal."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.line = _status.StatusLine()
        super().__init__(args.output, args.split, overwrite=args.overwrite, metadata=notes(args.note),
                         compress=args.compress, status=lambda p: self.line.show(p.line()))
        self.seconds = args.seconds

    def open(self, streams: Sequence[StreamInfo]) -> None:
        self.streams = list(streams)
        for stream in streams:
            _console.out(f"Recording {stream.model} {stream.serial_number} on {stream.port} at "
                         f"{stream.samples_per_second:g} samples/s, {stream.unit}")
        into = self.path if self.split is None else \
            f"parts of {span_text(self.split)}: {recording.numbered_path(self.path, 'part', 1)}, ..."
        _console.out(f"into {into}" + ("" if self.seconds else "; Ctrl-C stops"))
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
        paths = progress.paths if len(progress.paths) <= 4 else \
            [progress.paths[0], f"... ({len(progress.paths)} files)", progress.paths[-1]]
        _console.out(f"wrote {', '.join(paths)} ({size_text(progress.file_size)}) in {progress.elapsed:.1f} s")


def span_text(split: recording.Split) -> str:
    return f"{split.seconds:g} s" if split.seconds is not None else f"{size_text(split.size or 0)}"


class AnnouncedEvents(recording.TriggerSink):
    """The triggered recordings, with what is watched said first and each event as it begins."""

    def __init__(self, args: argparse.Namespace) -> None:
        super().__init__(args.output, args.trigger, pre=or_one(args.pre), post=or_one(args.post),
                         events=args.events, on=args.trigger_on, overwrite=args.overwrite,
                         metadata=notes(args.note), compress=args.compress)

    def open(self, streams: Sequence[StreamInfo]) -> None:
        super().open(streams)
        watched = streams[self.watched]
        _console.out(f"Waiting for {self.condition} on {watched.model} {watched.serial_number} "
                     f"({len(streams)} instrument{'s' if len(streams) > 1 else ''} kept); events into "
                     f"{recording.numbered_path(self.path, 'event', 1)}, ...; Ctrl-C stops")

    def began(self, path: Path, trigger: recording.Metadata) -> None:
        _console.out(f"event {trigger['event']}: {trigger['trigger']} at sample {trigger['trigger_sample']} "
                     f"({trigger.get('trigger_utc', '?')}) into {path}")

    def close(self) -> None:
        super().close()
        _console.out(f"{self.count} event{'' if self.count == 1 else 's'} recorded")


def notes(texts: Optional[Sequence[str]]) -> recording.Metadata:
    """The ``notes`` key of the --note texts, one a line."""
    return {"notes": "\n".join(texts)} if texts else {}


def or_one(seconds: Optional[float]) -> float:
    """--pre and --post: one second unless given."""
    return 1.0 if seconds is None else seconds

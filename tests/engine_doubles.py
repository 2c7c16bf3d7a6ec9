"""A stand-in for an acquisition, scripted read by read, for tests of the engine and its sinks."""

import threading
import time
from datetime import datetime, timezone
from types import SimpleNamespace

import numpy as np

import vexlo_device_communication as vexlo
from vexlo_tools import Block, Stats, StreamEnd, StreamInfo


def stream(serial_number, sps):
    converter = vexlo.ADCConverter()
    converter.direction_1_fullscale_value = 12_000_000
    converter.direction_1_fullscale_load = 1000.0
    device = SimpleNamespace(_teds_data=None, get_adc_converter=lambda: converter)
    return StreamInfo(device, f"/dev/pts/{serial_number}", "MVR420", "QMT42010", serial_number, "04.03.02", 3, sps,
                      4, "N", datetime.now(timezone.utc))


class ScriptedAcquisition:
    """Each read hands out ``per_read`` new samples per stream until a stream has ``samples``
    (``None``: until stopped); then the stream ends as completed.

    :param fail_at: (stream, read number): that read raises the stream's error and the stream ends failed.
    """

    def __init__(self, rates, per_read=30, samples=None, fail_at=None):
        self.streams = [stream(n, sps) for n, sps in enumerate(rates, 1)]
        self.per_read = per_read
        self.samples = samples
        self.fail_at = fail_at
        self.sent = [0] * len(rates)
        self.ends = [None] * len(rates)
        self.running = False
        self.reads = 0
        self.stop_calls = []
        self.lock = threading.Lock()

    def start(self):
        self.running = True

    def stats(self):
        return [Stats(sent, overrun=1, missing=n) for n, sent in enumerate(self.sent)]

    def _end(self, index, reason, complete):
        if self.ends[index] is None:
            now = datetime.now(timezone.utc)
            self.ends[index] = StreamEnd(reason, complete, now, now, self.stats()[index])

    def read(self, timeout=None):
        with self.lock:
            self.reads += 1
            if self.fail_at is not None and self.fail_at[1] == self.reads:
                index = self.fail_at[0]
                error = vexlo.VexloCommunicationError(f"MVR420 {index + 1} on /dev/pts/{index + 1}: gone")
                error.stream = self.streams[index]
                self._end(index, f"failed: {error}", False)
                raise error
            blocks = []
            for n, s in enumerate(self.streams):
                count = 0 if self.ends[n] is not None or not self.running else self.per_read
                if self.samples is not None:
                    count = min(count, self.samples - self.sent[n])
                first, self.sent[n] = self.sent[n], self.sent[n] + count
                index = np.arange(first, self.sent[n])
                blocks.append(Block(s.device, first, index / s.samples_per_second, index.astype(np.uint32),
                                    index * 0.5, Stats(self.sent[n]), n))
                if self.samples is not None and self.sent[n] >= self.samples:
                    self._end(n, "completed", True)
        if not any(len(b) for b in blocks):
            time.sleep(min(0.005, timeout or 0.005))
        return blocks

    def stop(self, *, interrupted=False):
        with self.lock:
            self.stop_calls.append(interrupted)
            self.running = False
            for n in range(len(self.streams)):
                self._end(n, "interrupted" if interrupted else "completed", self.samples is None)

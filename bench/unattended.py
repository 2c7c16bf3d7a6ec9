"""Long unattended runs: a trigger sink's CPU against a recording's, and the time base over an hour.

Rows of ``bench/run.py`` (70 and 71); also runs alone:

    PYTHONPATH=build/dev:python python bench/unattended.py [--rows 70,71]

Row 70 streams a PLX310 Plus Prime at 38,400 samples/s over a pseudo-terminal, served by
``python -m vexlo_tools.sim`` in a helper process (so this process's CPU is the consumer's), through
the engine into one sink at a time, alternating: a recording (``.h5``), a trigger sink that waits
(its condition never crossed: the pre-trigger window kept, every sample compared), and a trigger sink
that writes events (crossings made to come every 1.5 s, the simulator's signal being constant: 0.5 s
written before and after each). Row 71 simulates two instruments whose clocks run 100 ppm fast and 100 ppm slow for an
hour of virtual time, read at jittered moments and stamped late by one-sided delays, and measures how
far the times the loader gives (``aligned=True``) are from the true ones.
"""

import argparse
import os
import random
import statistics
import sys
import tempfile
import time
from types import SimpleNamespace

import numpy as np

from vexlo_tools import Acquisition, Block, Engine, Stats, StreamInfo, recording
from vexlo_tools.sim import SimulatedInstrument, SimulatedSerial, VirtualClock, build_request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from acquisition import HIGH_RATE, PLUS, open_plus, served  # noqa: E402
from table import Line, print_rows  # noqa: E402


class Timed:
    """Adds up the CPU time a sink's own calls take (on its own thread)."""

    def __init__(self, sink):
        self.sink, self.cpu = sink, 0.0

    def wrap(self):
        sink, timed = self.sink, self
        for name in ("write", "tick", "end", "close"):
            call = getattr(sink, name)

            def measured(*args, _call=call):
                began = time.thread_time()
                try:
                    return _call(*args)
                finally:
                    timed.cpu += time.thread_time() - began
            setattr(sink, name, measured)
        return sink


class Periodic:
    """Stands in for a condition's crossings: one every ``every`` samples (the simulator's stream is constant)."""

    def __init__(self, every):
        self.every, self.next = every, every

    def find(self, value, adc=None):
        found = []
        while self.next < self.seen + len(value):
            found.append(self.next - self.seen)
            self.next += self.every
        self.seen += len(value)
        return found

    seen = 0


def periodic_events(path, every):
    sink = recording.TriggerSink(path, "value > 1e9", pre=0.5, post=0.5)
    sink.crossings = Periodic(every)
    return sink


def one_run(device, sink, seconds):
    timed = Timed(sink)
    with Engine(Acquisition([device], rate=HIGH_RATE), [timed.wrap()], tick_seconds=0.5):
        began, cpu = time.monotonic(), time.process_time()
        time.sleep(seconds)
        used, wall = time.process_time() - cpu, time.monotonic() - began
    return 100 * used / wall, 100 * timed.cpu / wall


def row_trigger_cpu(seconds=5.0, repeats=3):
    with tempfile.TemporaryDirectory() as folder, served(PLUS) as (paths, _):
        [device] = open_plus(paths)
        with device:
            cases = {
                "recording": lambda n: recording.RecordingSink(os.path.join(folder, f"r{n}.h5")),
                "trigger waiting": lambda n: recording.TriggerSink(os.path.join(folder, f"w{n}.h5"),
                                                                   "value > 1e9", pre=1.0, post=1.0),
                # An event every 1.5 s: 1 s written of every 1.5.
                "trigger writing events": lambda n: periodic_events(os.path.join(folder, f"e{n}.h5"),
                                                                    int(1.5 * HIGH_RATE)),
            }
            results = {name: [] for name in cases}
            events = []
            for n in range(repeats):
                for name, make in cases.items():
                    sink = make(n)
                    results[name].append(one_run(device, sink, seconds))
                    if name == "trigger writing events":
                        events.append(sink.count)
    process = {name: statistics.median(p for p, _ in runs) for name, runs in results.items()}
    own = {name: statistics.median(s for _, s in runs) for name, runs in results.items()}
    base, base_own = process.pop("recording"), own.pop("recording")
    lines = []
    for name, value in process.items():
        extra = f", {statistics.median(events):.0f} events" if "events" in name else ""
        lines.append(Line(70, f"process CPU at 38400/s over a pty: {name}{extra} vs recording (.h5)",
                          "% of a core", value, base, base / value, "<= 1.2x", value <= 1.2 * base))
        lines.append(Line(70, f"  the sink's own calls: {name} vs recording", "% of a core", own[name], base_own,
                          base_own / own[name] if own[name] else None, "", None))
    return lines


def simulated_hour(errors=(100.0, -100.0), seconds=3600.0, read_every=0.25, seed=2, folder=None):
    """Simulated instruments (20 samples/s, clocks ``errors`` ppm fast) on a virtual clock, read every
    ``read_every`` s (jittered), each read stamped late by a one-sided delay, recorded into ``folder``
    (a new temporary one by default); the recording's path, the instruments' start times, ``errors``."""
    clock, jitter = VirtualClock(), random.Random(seed)
    ports, starts, streams = [], [], []
    for number, ppm in enumerate(errors, 1):
        instrument = SimulatedInstrument.mvr420(serial_number=number, clock_error_ppm=ppm)
        instrument.profiles[0].sampling_rate_code = 1  # 20 samples/s
        port = SimulatedSerial(port="sim", baudrate=115200, timeout=1, instrument=instrument, clock=clock)
        clock.advance(jitter.uniform(0.001, 0.01))
        port.write(build_request(0x00, 0x0C, [1]))
        port.read(5)
        ports.append(port)
        starts.append(clock())
        # A stand-in for the device: what a recording asks of it (no calibration to keep).
        device = SimpleNamespace(_teds_data=None, get_adc_converter=lambda: None)
        streams.append(StreamInfo(device, f"sim{number}", "MVR420", "QMT42010", number, "4.3.2", 1, 20.0, 4, "N"))
    folder = folder or tempfile.mkdtemp()
    sink = recording.RecordingSink(os.path.join(folder, "hour.csv"), clock=clock)
    sink.open(streams)
    received = [0] * len(errors)
    while clock() < seconds:
        clock.advance(read_every * jitter.uniform(0.5, 1.5))
        taken = clock() + (jitter.expovariate(1 / 0.003) if jitter.random() > 0.05 else jitter.uniform(0.1, 0.5))
        for index, port in enumerate(ports):
            count = len(port.read(port.in_waiting)) // 4
            if count:
                numbers = np.arange(received[index], received[index] + count)
                received[index] += count
                sink.write(Block(None, int(numbers[0]), numbers / 20.0, np.zeros(count, np.uint32), np.zeros(count),
                                 Stats(received[index]), index, taken))
        sink.tick([Stats(n) for n in received])
    sink.close()
    return os.path.join(folder, "hour.csv"), starts, errors


def row_time_base():
    began = time.perf_counter()
    path, starts, errors = simulated_hour()
    simulated = time.perf_counter() - began
    run = list(recording.load(path))
    aligned = list(recording.load(path, aligned=True))
    origin = min(d.metadata["clock_offset_s"] for d in run)
    truths = [start + d.time / (1 + ppm * 1e-6) for d, start, ppm in zip(run, starts, errors)]
    misses = [a.time + origin - truth for a, truth in zip(aligned, truths)]
    nominal = [d.time + start - truth for d, start, truth in zip(run, starts, truths)]
    moments = np.linspace(10, 3590, 1000)

    def apart(series):
        return float(np.abs(np.interp(moments, truths[0], series[0]) - np.interp(moments, truths[1], series[1])).max())

    fit = max(abs(d.metadata["clock_error_ppm"] - ppm) for d, ppm in zip(run, errors))
    return [Line(71, f"time base, 2 instruments at +-100 ppm over an hour of simulated time ({simulated:.0f} s to "
                     "simulate): worst gap between their times, aligned vs nominal", "ms", 1e3 * apart(misses),
                 1e3 * apart(nominal), None, "<= 1 ms", apart(misses) <= 0.001),
            Line(71, "  worst distance of an aligned time from the truth (the shortest delay left in)", "ms",
                 1e3 * max(float(np.abs(m).max()) for m in misses), None, None, "", None),
            Line(71, "  worst error of the estimated clock rate", "ppm", fit, None, None, "", None)]


ROWS = {
    70: lambda args: row_trigger_cpu(),
    71: lambda args: row_time_base(),
}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", default=",".join(map(str, ROWS)))
    args = parser.parse_args(argv)
    print_rows(ROWS, args.rows, args)


if __name__ == "__main__":
    main()

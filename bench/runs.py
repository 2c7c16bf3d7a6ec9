"""The consumer engine and the ends of runs: stopping several instruments, the engine's cost, a stalled sink.

Rows of ``bench/run.py`` (50 to 52); also runs alone:

    PYTHONPATH=build/dev:python python bench/runs.py [--rows 50,51]

Instruments on pseudo-terminals are served by ``python -m vexlo_tools.sim``
in a helper process (see ``acquisition.served``), so the CPU time of this
process is the consumer's.
"""

import argparse
import statistics
import threading
import time

from vexlo_tools import Acquisition, Engine, Sink

from acquisition import HIGH_RATE, PLUS, open_plus, served
from table import Line


class Counting(Sink):
    """Counts samples; ``gate``, when given, holds every write until it opens."""

    def __init__(self, queue_blocks=4096, gate=None):
        self.queue_blocks, self.gate, self.samples, self.blocks = queue_blocks, gate, 0, 0

    def write(self, block):
        if self.gate is not None:
            self.gate.wait()
        self.samples += len(block)
        self.blocks += 1


# --- Row 50: stopping 1, 2 and 4 instruments -------------------------------------------


def stop_seconds(devices, streaming=0.5):
    acquisition = Acquisition(devices, rate=HIGH_RATE)
    acquisition.start()
    time.sleep(streaming)
    began = time.monotonic()
    acquisition.stop()
    return time.monotonic() - began


def row_stop(counts=(1, 2, 4), repeats=3):
    with served(*[PLUS] * max(counts)) as (paths, _):
        devices = open_plus(paths)
        try:
            walls = {n: statistics.median(stop_seconds(devices[:n]) for _ in range(repeats)) for n in counts}
        finally:
            for device in devices:
                device.disconnect()
    one = walls[counts[0]]
    return [Line(50, f"stop() of {n} instrument{'s' if n > 1 else ''} at 38400/s over ptys (in parallel) "
                     f"vs of 1", "s", walls[n], one, one / walls[n],
                 "<= 1.3x" if n == max(counts) else "", walls[n] <= 1.3 * one if n == max(counts) else None)
            for n in counts]


# --- Row 51: the engine's cost against a direct loop ------------------------------------


def direct(device, seconds, sinks):
    """The loop the engine replaces: read the acquisition, hand each block to each sink, on one thread."""
    with Acquisition([device], rate=HIGH_RATE) as acquisition:
        began, cpu = time.monotonic(), time.process_time()
        blocks = 0
        while time.monotonic() - began < seconds:
            for block in acquisition.read(timeout=0.1):
                if len(block):
                    blocks += 1
                    for sink in sinks:
                        sink.write(block)
        return time.process_time() - cpu, time.monotonic() - began, blocks


def engined(device, seconds, sinks):
    with Engine(Acquisition([device], rate=HIGH_RATE), sinks, tick_seconds=0.5):
        began, cpu = time.monotonic(), time.process_time()
        time.sleep(seconds)
        return time.process_time() - cpu, time.monotonic() - began, sinks[0].blocks


def row_engine(seconds=4.0, repeats=3):
    lines = []
    with served(PLUS) as (paths, _):
        [device] = open_plus(paths)
        with device:
            for n in (1, 5):
                runs = []
                for _ in range(repeats):
                    runs.append((engined(device, seconds, [Counting() for _ in range(n)]),
                                 direct(device, seconds, [Counting() for _ in range(n)])))
                engine = statistics.median(100 * cpu / wall for (cpu, wall, _), _ in runs)
                loop = statistics.median(100 * cpu / wall for _, (cpu, wall, _) in runs)
                blocks = statistics.median(b for (_, _, b), _ in runs)
                per_block = 1e6 * statistics.median(cpu / max(1, b) for (cpu, _, b), _ in runs)
                lines.append(Line(51, f"consumer CPU at 38400/s over a pty, {n} sink{'s' if n > 1 else ''}: "
                                      f"engine ({blocks:.0f} blocks, {per_block:.0f} us process CPU per block) "
                                      f"vs direct loop", "% of a core", engine, loop, loop / engine,
                                  "<= 1.1x + 2", engine <= 1.1 * loop + 2.0))
    return lines


# --- Row 52: a sink stalled for 5 s -----------------------------------------------------


def row_stalled_sink(stall=5.0):
    gate = threading.Event()
    fast, stalled = Counting(), Counting(queue_blocks=8, gate=gate)
    with served(PLUS) as (paths, _):
        [device] = open_plus(paths)
        with device:
            acquisition = Acquisition([device], rate=HIGH_RATE)
            with Engine(acquisition, [fast, stalled], tick_seconds=0.5) as engine:
                time.sleep(stall)
                gate.set()
            [stats] = acquisition.stats()
    lost = stats.overrun + stats.missing
    counted = engine.dropped(stalled)
    return [Line(52, f"a sink stalled {stall:g} s beside a fast one, 38400/s over a pty: samples the fast "
                     f"sink got vs received ({lost} lost on the line or ring)", "samples",
                 fast.samples, stats.received, None, "all", fast.samples == stats.received),
            Line(52, "  the stalled sink's drops as counted vs received less what it got", "samples",
                 counted, stats.received - stalled.samples, None, "exact",
                 counted == stats.received - stalled.samples)]


ROWS = {
    50: lambda args: row_stop(),
    51: lambda args: row_engine(),
    52: lambda args: row_stalled_sink(),
}


def main(argv=None):
    from table import print_table

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", default=",".join(map(str, ROWS)))
    args = parser.parse_args(argv)
    print_table([line for row in args.rows.split(",") for line in ROWS[int(row)](args)])


if __name__ == "__main__":
    main()

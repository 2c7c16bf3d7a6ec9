"""An hour at 38,400 samples/s drawn with `vexlo plot`, beside the floor of merely reading it.

    PYTHONPATH=build/dev:python python bench/plot_hour.py               # in-place build
    .venv/bin/python bench/plot_hour.py --minutes 60 --rounds 3        # installed build

Writes the recording once through the HDF5 writer (138,240,000 samples,
2.8 GB for an hour; --keep FILE keeps it for later runs), then times, in
alternation, each row ROUNDS times and prints the medians:

- floor: reading the time and value datasets in the same chunks, nothing else;
- reduce: reading them and reducing to min/max per pixel column (1,200 columns);
- plot: the whole `vexlo plot FILE -o OUT.png` path, figure and PNG included.

All rows read the same file, so they see the same page cache: after the first
round it is in memory if the machine has room for it.
"""

import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from vexlo_tools import plot, recording
from vexlo_tools.recording import Source

RATE = 38400.0


class Stats:
    def __init__(self, received):
        self.received, self.overrun, self.missing, self.corrupted = received, 0, 0, 0


class Block:
    def __init__(self, first, count):
        index = np.arange(first, first + count)
        self.time = index / RATE
        self.value = 250.0 + 20.0 * np.sin(2 * np.pi * 0.5 * self.time) + np.sin(index * 0.7) * 0.3
        self.adc = (8_388_608 + self.value * 1000).astype(np.uint32)
        self.stats = Stats(first + count)


def write(path, minutes):
    total = int(minutes * 60 * RATE)
    meta = [{"model": "PLX310", "serial_number": 1, "unit": "N", "samples_per_second": RATE}]
    step = int(10 * RATE)
    with recording.open_writer(path, meta, overwrite=True) as writer:
        for first in range(0, total, step):
            writer.write([Block(first, min(step, total - first))])
            writer.flush()
    return total


def floor(path):
    with recording.HDF5Writer.sources(Path(path)) as sources:
        for source in sources:
            for _ in source.chunks(1 << 21, with_adc=False):
                pass


def reduce(path):
    with recording.HDF5Writer.sources(Path(path)) as sources:
        for source in sources:
            plot.reduce_source(source, 1200)


def draw(path, out):
    plot.plot_file(path, out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=60.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--keep", metavar="FILE", help="write the recording here (reused if it exists)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = args.keep or os.path.join(folder, "hour.h5")
        began = time.perf_counter()
        if args.keep and os.path.exists(path):
            with recording.HDF5Writer.sources(Path(path)) as sources:
                total = sources[0].length
            print(f"reusing {path}: {total:,} samples")
        else:
            total = write(path, args.minutes)
            print(f"wrote {total:,} samples ({os.path.getsize(path) / 1e9:.2f} GB) in "
                  f"{time.perf_counter() - began:.1f} s")
        rows = {"floor: read time and value in chunks": lambda: floor(path),
                "reduce: read and reduce to 1,200 columns": lambda: reduce(path),
                "plot: vexlo plot -o OUT.png": lambda: draw(path, os.path.join(folder, "out.png"))}
        times = {name: [] for name in rows}
        for _ in range(args.rounds):
            for name, run in rows.items():
                start = time.perf_counter()
                run()
                times[name].append(time.perf_counter() - start)
        floor_s = statistics.median(times[next(iter(rows))])
        print(f"{'row':<44}{'median s':>10}{'x floor':>10}   ({args.rounds} rounds, {total:,} samples)")
        for name, seconds in times.items():
            median = statistics.median(seconds)
            print(f"{name:<44}{median:>10.2f}{median / floor_s:>10.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

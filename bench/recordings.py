"""Recordings: what writing costs against raw h5py, bytes per sample, memory of plotting a long CSV.

Rows of ``bench/run.py`` (20 to 23; row 20 prints row 21 too); also runs alone:

    PYTHONPATH=build/dev:python python bench/recordings.py [--rows 20,23] [--csv-minutes 60]

The data is one instrument at 38,400 samples/s with a noisy signal (the
simulator's default signal is constant and would compress to nothing), in
blocks of 650 samples, as an acquisition hands them out (about 59 a second).
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import vexlo_device_communication as vexlo

from vexlo_tools import Block, Stats, recording

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from table import Line, print_rows  # noqa: E402

RATE = 38400.0
BLOCK = 650
FLUSH_BLOCKS = 30  # a flush every half second of data, as vexlo record does
META = {"model": "PLX310", "serial_number": 1, "unit": "N", "samples_per_second": RATE}


def signal(first, count, seed=5):
    """A loaded sensor: a slow sine with noise in the last digits of the counts and values."""
    index = np.arange(first, first + count)
    rng = np.random.default_rng(seed + first)
    value = 250.0 + 20.0 * np.sin(2 * np.pi * 0.5 * index / RATE) + rng.normal(0.0, 0.05, count)
    return index, (8_388_608 + value * 1000).astype(np.uint32), value


def blocks(seconds):
    total = int(seconds * RATE)
    index, adc, value = signal(0, total)
    return [Block(None, s, index[s:s + BLOCK] / RATE, adc[s:s + BLOCK], value[s:s + BLOCK], Stats(s + BLOCK))
            for s in range(0, total, BLOCK)]


def with_writer(path, data, **options):
    with recording.open_writer(path, [META], overwrite=True, **options) as writer:
        for number, one in enumerate(data, 1):
            writer.write([one])
            if number % FLUSH_BLOCKS == 0:
                writer.flush()


def raw_file(path):
    """The floor's file: adc and value datasets, in single-writer mode as the writer's."""
    import h5py
    file = h5py.File(path, "w", libver=("v110", "latest"))
    datasets = [file.create_dataset(key, shape=(0,), maxshape=(None,), dtype=dtype, chunks=(65536,))
                for key, dtype in (("adc", np.uint32), ("value", np.float64))]
    file.swmr_mode = True
    return file, datasets


def raw_append(file, datasets, batch):
    """One batch of blocks appended with raw h5py, one resize and write per dataset, then a flush."""
    for dataset, column in zip(datasets, (np.concatenate([b.adc for b in batch]),
                                          np.concatenate([b.value for b in batch]))):
        end = dataset.shape[0]
        dataset.resize((end + len(column),))
        dataset[end:] = column
    file.flush()


def hand_loop(path, data):
    """The floor: raw h5py appends of the same arrays, batched to a second."""
    file, datasets = raw_file(path)
    with file:
        per_second = int(RATE) // BLOCK
        for start in range(0, len(data), per_second):
            raw_append(file, datasets, data[start:start + per_second])


def row_write(seconds=60.0, repeats=3):
    data = blocks(seconds)
    samples = sum(len(b) for b in data)
    cases = {
        "HDF5": (".h5", lambda p: with_writer(p, data)),
        "HDF5 --compress": (".h5", lambda p: with_writer(p, data, compress=True)),
        "CSV": (".csv", lambda p: with_writer(p, data)),
        "floor": (".h5", lambda p: hand_loop(p, data)),
    }
    cpu = {name: [] for name in cases}
    size = {}
    with tempfile.TemporaryDirectory() as folder:
        for _ in range(repeats):
            for name, (suffix, run) in cases.items():
                path = os.path.join(folder, f"{name.split()[-1].strip('-')}{suffix}")
                began = time.process_time()
                run(path)
                cpu[name].append(time.process_time() - began)
                size[name] = os.path.getsize(path)
        [loaded] = recording.load(os.path.join(folder, "compress.h5"))
        if not np.array_equal(loaded.value, np.concatenate([b.value for b in data])):
            sys.exit("the compressed recording does not read back the same")
    share = {name: 100 * statistics.median(times) / seconds for name, times in cpu.items()}
    floor = share.pop("floor")
    lines = [Line(20, f"writer CPU per instrument at 38400/s, {seconds:g} s of data, flushed every 0.5 s: {name} "
                      "vs raw h5py batched to 1 s (floor)", "% of a core", value, floor, floor / value, "", None)
             for name, value in share.items()]
    bytes_floor = size.pop("floor") / samples
    lines += [Line(21, f"bytes per sample: {name} vs adc + value alone (12 B, raw h5py)", "bytes",
                   value / samples, bytes_floor, bytes_floor / (value / samples),
                   "<= 12.5 B" if name == "HDF5" else "", value / samples <= 12.5 if name == "HDF5" else None)
              for name, value in size.items()]
    return lines


def write_csv(path, minutes):
    total = int(minutes * 60 * RATE)
    step = int(10 * RATE)
    with recording.open_writer(path, [META], overwrite=True) as writer:
        for first in range(0, total, step):
            index, adc, value = signal(first, min(step, total - first))
            writer.write([Block(None, first, index / RATE, adc, value, Stats(first + len(index)))])
            writer.flush()
    return total


def peak_mib(code):
    """Peak resident memory of a Python process that runs ``code``."""
    child = subprocess.Popen([sys.executable, "-c", code])
    _, status, usage = os.wait4(child.pid, 0)
    if status != 0:
        sys.exit(f"the child failed: {code}")
    return usage.ru_maxrss / 1024


def row_plot_memory(minutes=5.0):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "long.csv")
        began = time.perf_counter()
        total = write_csv(path, minutes)
        written = time.perf_counter() - began
        size = os.path.getsize(path)
        draw = f"from vexlo_tools import plot; plot.plot_file({path!r}, {os.path.join(folder, 'out.png')!r})"
        began = time.perf_counter()
        peak = peak_mib(draw)
        drawn = time.perf_counter() - began
        # The same process drawing a recording of one block: what matplotlib and the imports take alone.
        small = os.path.join(folder, "small.csv")
        write_csv(small, 0.001)
        alone = peak_mib(draw.replace(repr(path), repr(small)))
    return [Line(22, f"vexlo plot of a {minutes:g}-minute CSV at 38400/s ({total:,} rows, {size / 1e9:.2f} GB, "
                     f"written in {written:.0f} s, drawn in {drawn:.0f} s): peak RSS vs a 38-row CSV",
                 "MiB", peak, alone, None, "<= 1024", peak <= 1024)]


def raw_h5py_record(devices, path, seconds):
    """The hand loop: an acquisition read once a second, its arrays appended with raw h5py."""
    from vexlo_tools import Acquisition
    file, datasets = raw_file(path)
    with Acquisition(devices, rate=RATE, seconds=seconds) as acquisition, file:
        done = False
        while not done:
            done = acquisition.wait(timeout=1.0)
            raw_append(file, datasets, acquisition.read(timeout=0))


def row_record(seconds=5.0, repeats=3):
    """vexlo record's sink and engine on a PLX310 Plus Prime at 38400/s over a pty, against the hand loop."""
    from vexlo_tools import Acquisition
    from acquisition import PLUS, open_plus, served
    from vexlo_tools.engine import Engine, Sink
    cases = {
        "HDF5": (".h5", {}), "HDF5 --compress": (".h5", {"compress": True}), "CSV": (".csv", {}),
        "the engine with a sink that keeps nothing": ("", {}), "floor": (".h5", None)}
    shares = {name: [] for name in cases}
    with tempfile.TemporaryDirectory() as folder, served(PLUS) as (paths, _):
        [device] = open_plus(paths)
        with device:
            for _ in range(repeats):
                for name, (suffix, options) in cases.items():
                    path = os.path.join(folder, f"run{suffix}")
                    began, cpu = time.monotonic(), time.process_time()
                    if options is None:
                        raw_h5py_record([device], path, seconds)
                    elif not suffix:
                        Engine(Acquisition([device], rate=RATE, seconds=seconds), [Sink()], tick_seconds=0.2).run()
                    else:
                        recording.record(Acquisition([device], rate=RATE, seconds=seconds), path, overwrite=True,
                                         **options)
                    shares[name].append(100 * (time.process_time() - cpu) / (time.monotonic() - began))
    share = {name: statistics.median(values) for name, values in shares.items()}
    floor = share.pop("floor")
    return [Line(23, f"record CPU, 1 PLX310 Plus Prime at 38400/s over a pty, {seconds:g} s, median of {repeats}: "
                     f"{name} (recording.record) vs Acquisition + raw h5py appends batched to 1 s",
                 "% of a core", value, floor, floor / value,
                 ">= 0.67x" if name == "HDF5" else "", floor / value >= 1 / 1.5 if name == "HDF5" else None)
            for name, value in share.items()]


def hand_loop_record(device, path, seconds, every=0.01):
    """The hand loop: the stream read every 10 ms and converted, appended with raw h5py once a second."""
    converter = device.get_adc_converter()
    convert = vexlo.StreamDataConverter.convert_stream_data_to_reading_38_kHz
    file, datasets = raw_file(path)
    remainder, adc, value = bytearray(), [], []
    device.set_stream_state(True)
    began = last = time.monotonic()
    try:
        with file:
            while time.monotonic() - began < seconds:
                time.sleep(every)
                result = convert(remainder + device.get_stream_data(), converter)
                remainder = result.remainder or bytearray()
                readings = result.readings or []
                adc.append(np.fromiter((r.adc_value for r in readings), np.uint32, len(readings)))
                value.append(np.fromiter((r.calibrated_value for r in readings), np.float64, len(readings)))
                if time.monotonic() - last >= 1.0:
                    raw_append(file, datasets, [Block(None, 0, None, np.concatenate(adc), np.concatenate(value),
                                                      Stats())])
                    adc, value, last = [], [], time.monotonic()
    finally:
        device.set_stream_state(False)
        time.sleep(0.2)
        device.get_stream_data()


def row_record_command(seconds=8.0, window=5.0, repeats=3):
    """`vexlo record` .h5 as a process (its CPU over a window of steady streaming) against the hand loop,
    both on a PLX310 Plus Prime at 38400/s over a pty served by a process of its own."""
    from acquisition import PLUS, cpu_seconds_of, open_plus, served
    record, hand = [], []
    with tempfile.TemporaryDirectory() as folder, served(PLUS) as (paths, _):
        for _ in range(repeats):
            out = os.path.join(folder, "run.h5")
            process = subprocess.Popen([sys.executable, "-m", "vexlo_tools.cli", "record", "--port", paths[0],
                                        "--rate", str(int(RATE)), "--seconds", str(seconds), "--overwrite", out],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 60
            while not (os.path.exists(out) and os.path.getsize(out) > 0) and time.monotonic() < deadline:
                time.sleep(0.1)
            time.sleep(1.0)
            began, cpu = time.monotonic(), cpu_seconds_of(process.pid)
            time.sleep(window)
            record.append(100 * (cpu_seconds_of(process.pid) - cpu) / (time.monotonic() - began))
            process.wait()
            [device] = open_plus(paths)
            with device:
                device.set_sampling_rate_value(_rate_code(device), 0)
                began, cpu = time.monotonic(), time.process_time()
                hand_loop_record(device, os.path.join(folder, "hand.h5"), window)
                hand.append(100 * (time.process_time() - cpu) / (time.monotonic() - began))
    value, floor = statistics.median(record), statistics.median(hand)
    return [Line(24, f"process CPU, 1 PLX310 Plus Prime at 38400/s over a pty (simulator in its own process), "
                     f"{window:g} s window, median of {repeats}: vexlo record .h5 vs hand loop (read every 10 ms, "
                     f"h5py appends once a second); load {os.getloadavg()[0]:.2f}",
                 "% of a core", value, floor, value / floor, "<= 1.0x", value <= floor)]


def _rate_code(device):
    from vexlo_tools import models
    return models.model_info(device.get_model_number()).rate_code(RATE, device.communication_interface.get_item_number())


def row_read_csv(minutes=5.0, repeats=3):
    """Reading a CSV recording of N minutes at 38400/s (recording.load: every check, both columns)
    against pandas.read_csv of the same file, alternating, medians of the wall time."""
    import pandas
    from vexlo_tools import plot
    ours, drawn, theirs = [], [], []
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "run.csv")
        write_csv(path, minutes)
        plot.plot_file(path, os.path.join(folder, "warm.png"))  # matplotlib's own first-use costs left out
        for _ in range(repeats):
            began = time.perf_counter()
            recording.load(path)
            ours.append(time.perf_counter() - began)
            began = time.perf_counter()
            pandas.read_csv(path, comment="#")
            theirs.append(time.perf_counter() - began)
            began = time.perf_counter()
            plot.plot_file(path, os.path.join(folder, "run.png"))
            drawn.append(time.perf_counter() - began)
    value, reference, drawing = statistics.median(ours), statistics.median(theirs), statistics.median(drawn)
    return [Line(25, f"reading a CSV recording of {minutes:g} min at 38400/s, median of {repeats}: recording.load vs "
                     f"pandas.read_csv; load {os.getloadavg()[0]:.2f}", "s", value, reference, value / reference,
                 "<= 1.5x", value <= 1.5 * reference),
            Line(25, "  drawing it (vexlo plot's plot.plot_file, to .png) vs pandas.read_csv", "s", drawing, reference,
                 drawing / reference, "<= 1.5x", drawing <= 1.5 * reference)]


ROWS = {
    25: lambda args: row_read_csv(getattr(args, "csv_minutes", 5.0), repeats=min(args.repeats, 3)),
    24: lambda args: row_record_command(repeats=min(args.repeats, 3)),
    20: lambda args: row_write(repeats=min(args.repeats, 3)),
    23: lambda args: row_record(repeats=min(args.repeats, 3)),
    22: lambda args: row_plot_memory(getattr(args, "csv_minutes", 5.0)),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", default="20,22,23")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--csv-minutes", type=float, default=5.0)
    args = parser.parse_args()
    print_rows(ROWS, args.rows, args)


if __name__ == "__main__":
    main()

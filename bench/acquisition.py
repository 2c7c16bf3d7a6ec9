"""Continuous acquisition against the hand-written loop, the array converter against its floors.

Rows of ``bench/run.py`` (9 to 15; the reader's CPU and latency in rows 9
and 11 come from ``bench/reader.py``); also runs alone:

    PYTHONPATH=build/dev:python python bench/acquisition.py [--rows 9,10]

Instruments on pseudo-terminals are served by ``python -m vexlo_tools.sim``
in a helper process, so the CPU time of this process is the consumer's
(the acquisition's reader threads included) and the server's is its own.
"""

import argparse
import contextlib
import logging
import math
import os
import statistics
import subprocess
import sys
import time
import tracemalloc

import numpy as np
import serial.tools.list_ports
from serial.tools.list_ports_common import ListPortInfo

import vexlo_device_communication as vexlo
from vexlo_tools import Acquisition, find_devices
from vexlo_tools.acquisition import convert_to_arrays
from vexlo_tools.sim import PtyServer, SimulatedInstrument, simulated_ports

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from stream import converter  # noqa: E402
from table import Line  # noqa: E402

HIGH_RATE = 38400.0
PLUS = "plx310-plus-prime"


# --- helpers -----------------------------------------------------------------------


@contextlib.contextmanager
def served(*instruments):
    """Instruments on pseudo-terminals served by a helper process; yields (paths, pid)."""
    server = subprocess.Popen([sys.executable, "-m", "vexlo_tools.sim", "--no-teds", *instruments],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        paths = []
        for _ in instruments:
            line = server.stdout.readline()
            if not line:
                sys.exit("the pseudo-terminal server did not start")
            paths.append(line.split("\t")[0].split(" ")[0])
        yield paths, server.pid
    finally:
        server.terminate()
        server.wait()


def cpu_seconds_of(pid):
    """User + system CPU seconds of another process, from /proc."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wakeups_of(pid="self"):
    """Per thread (by id) of a process (``self``: this one), the times it has gone to sleep so far
    (voluntary context switches: each is a wake-up to come)."""
    counts = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as status:
                counts[task] = next(int(line.split()[1]) for line in status
                                    if line.startswith("voluntary_ctxt_switches"))
        except (FileNotFoundError, ProcessLookupError, StopIteration):
            continue  # a thread that ended meanwhile
    return counts


def wakeups_per_second(before, after, seconds):
    """Wake-ups a second of each thread between two :func:`wakeups_of`, as text (busiest first, threads
    that slept less than once a second left out), and their total."""
    rates = sorted(((after[task] - before.get(task, 0)) / seconds for task in after), reverse=True)
    return "threads " + ", ".join(f"{rate:.0f}" for rate in rates if rate >= 1), sum(rates)


def open_plus(paths):
    devices = find_devices(paths, ["PLX310"])
    if len(devices) != len(paths):
        sys.exit(f"found {len(devices)} of {len(paths)} instruments")
    return devices


def hand_loop(device, seconds, every):
    """The README's streaming loop: read every `every` seconds, convert with the remainder in front.

    Returns (samples received, samples due, CPU seconds of this process, wall seconds).
    """
    converter = device.get_adc_converter()
    convert = vexlo.StreamDataConverter.convert_stream_data_to_reading_38_kHz
    remainder = bytearray()
    received = 0
    device.set_stream_state(True)
    began, cpu = time.monotonic(), time.process_time()
    try:
        while time.monotonic() - began < seconds:
            time.sleep(every)
            result = convert(remainder + device.get_stream_data(), converter)
            received += len(result.readings or [])
            remainder = result.remainder or bytearray()
    finally:
        wall, cpu = time.monotonic() - began, time.process_time() - cpu
        device.set_stream_state(False)
        time.sleep(0.2)
        device.get_stream_data()
    return received, math.floor(wall * HIGH_RATE), cpu, wall


def acquire(devices, seconds, read_every, stall=0.0):
    """An acquisition at 38400 samples/s: the consumer reads every `read_every` s after a first stall.

    Returns (stats per device, samples taken, CPU seconds of this process, wall seconds).
    """
    taken = 0
    with Acquisition(devices, rate=HIGH_RATE) as acquisition:
        began, cpu = time.monotonic(), time.process_time()
        time.sleep(stall)
        while time.monotonic() - began < seconds:
            taken += sum(len(b) for b in acquisition.read(timeout=0))
            time.sleep(read_every)
        wall, cpu = time.monotonic() - began, time.process_time() - cpu
    taken += sum(len(b) for b in acquisition.read(timeout=0))
    return acquisition.stats(), taken, cpu, wall


# --- Row 10: a stalled consumer ------------------------------------------------------


def row_stall(stall=2.0):
    with served(PLUS) as (paths, _):
        [device] = open_plus(paths)
        with device:
            stats, taken, _, wall = acquire([device], stall + 1.0, read_every=0.05, stall=stall)
            device.set_sampling_rate_value(15, 0)
            received, due, _, _ = hand_loop(device, stall, every=0.05)
    [s] = stats
    lost = s.overrun + s.missing
    hand_lost = max(0, due - received)
    return [Line(10, f"samples lost, consumer stalled {stall:g} s at 38400/s over a pty: Acquisition "
                     f"({s.received} received) vs hand loop reading every 50 ms ({received} of {due})",
                 "samples", lost, hand_lost, None, "0", lost == 0),
            Line(10, "  the same as a share of the samples due", "%", 100 * lost / max(1, s.received + lost),
                 100 * hand_lost / max(1, due), None, "", None)]


# --- Row 11: many instruments at once ------------------------------------------------


def row_many(counts=(1, 2, 4, 8), seconds=3.0, warm_up=1.0):
    lines = []
    knee = None
    for n in counts:
        with served(*[PLUS] * n) as (paths, pid):
            devices = open_plus(paths)
            try:
                with Acquisition(devices, rate=HIGH_RATE) as acquisition:
                    # Measured after a warm-up: the simulator's first moments are not the line's.
                    time.sleep(warm_up)
                    acquisition.read(timeout=0)
                    before = acquisition.stats()
                    began, cpu, server_cpu = time.monotonic(), time.process_time(), cpu_seconds_of(pid)
                    while time.monotonic() - began < seconds:
                        time.sleep(0.5)
                        acquisition.read(timeout=0)
                    after = acquisition.stats()
                    wall = time.monotonic() - began
                    cpu, server_cpu = time.process_time() - cpu, cpu_seconds_of(pid) - server_cpu
            finally:
                for device in devices:
                    device.disconnect()
        received = sum(a.received - b.received for a, b in zip(after, before))
        lost = sum(a.missing + a.overrun - b.missing - b.overrun for a, b in zip(after, before))
        share = 100 * received / max(1, received + lost)
        busy = 100 * (cpu + server_cpu) / (2 * wall)
        if knee is None and share < 99.0:
            knee = (n, busy)
        lines.append(Line(11, f"{n} PLX310 Plus Prime at 38400/s over ptys, {seconds:g} s: received of due "
                              f"({received} of {received + lost}); consumer {100 * cpu / wall:.1f}% of a core, "
                              f"simulator {100 * server_cpu / wall:.0f}%", "%", share, 100.0, None, "", None))
    lines.append(Line(11, (f"knee: {knee[0]} instruments (both cores {knee[1]:.0f}% busy with simulator and consumer)"
                           if knee else f"knee: none up to {counts[-1]} instruments"),
                      "", None, None, None, "", None))
    return lines


# --- Row 15: the CPU of one read() ---------------------------------------------------


def row_read_call(calls=400, samples=800):
    """One consumer over a pty reading about 800 samples at a time: the thread CPU of each read()
    against a floor measured the same way (after the same pause, so both start as cold): copying
    800 counts and values out of two numpy arrays, the least a read that hands out new arrays does.
    Each read follows a floor step, so the pause is half the time 800 samples take. A second floor,
    before every other read: allocating the two arrays alone (two np.empty), measured the same way."""
    counts, values = np.arange(100_000, dtype=np.uint32), np.arange(100_000, dtype=np.float64)
    clock = time.thread_time_ns
    pause = samples / HIGH_RATE / 2
    costs = {"read": [], "touched": [], "floor": [], "allocation": []}
    sizes = []
    kinds = np.dtype(np.uint32), np.dtype(np.float64)

    def floor():
        time.sleep(pause)
        began = clock()
        counts[5_000:5_000 + samples].copy(), values[5_000:5_000 + samples].copy()
        costs["floor"].append(clock() - began)

    def allocation():
        time.sleep(pause)
        began = clock()
        np.empty(samples, kinds[0]), np.empty(samples, kinds[1])
        costs["allocation"].append(clock() - began)

    with served(PLUS) as (paths, _):
        devices = open_plus(paths)
        try:
            with Acquisition(devices, rate=HIGH_RATE) as acquisition:
                time.sleep(0.5)
                acquisition.read(timeout=0)
                for _ in range(calls):
                    floor()
                    time.sleep(pause)
                    began = clock()
                    [block] = acquisition.read(timeout=0)
                    costs["read"].append(clock() - began)
                    sizes.append(len(block))
                    allocation()
                    time.sleep(pause)
                    began = clock()
                    [block] = acquisition.read(timeout=0)
                    block.time, block.stats  # what a consumer that writes them asks for too
                    costs["touched"].append(clock() - began)
        finally:
            for device in devices:
                device.disconnect()
    read, touched, floor, allocation = (statistics.median(costs[k]) / 1e3
                                        for k in ("read", "touched", "floor", "allocation"))
    load = os.getloadavg()[0]
    return [Line(15, f"read() CPU per call, 1 PLX310 Plus Prime at 38400/s over a pty, {statistics.median(sizes):.0f} "
                     f"samples a block, {calls} calls (load {load:.1f}): vs copying {samples} samples (floor)",
                 "us", read, floor, floor / read, "<= 40 us", read <= 40),
            Line(15, "  the same, the block's times and counters asked for too", "us", touched, floor,
                 floor / touched, "", None),
            Line(15, "  floor alone: allocating the two arrays a read hands out (np.empty x2, as cold)", "us",
                 allocation, None, None, "", None)]


# --- Row 12: discovery in parallel ---------------------------------------------------


@contextlib.contextmanager
def listed(paths):
    """The module's discovery sees exactly these ports."""
    before = serial.tools.list_ports.comports
    serial.tools.list_ports.comports = lambda *a, **k: [ListPortInfo(p, skip_link_detection=True) for p in paths]
    try:
        yield
    finally:
        serial.tools.list_ports.comports = before


def row_discovery():
    instruments = [SimulatedInstrument.plx310(), SimulatedInstrument.mvr420(), SimulatedInstrument.dta530(),
                   SimulatedInstrument.hsk640(), SimulatedInstrument.plx310(), SimulatedInstrument.mvr420()]
    silent = [os.openpty() for _ in range(2)]  # nobody answers on these
    try:
        with PtyServer(instruments) as answering:
            paths = answering + [os.ttyname(slave) for _, slave in silent]
            began = time.monotonic()
            found = find_devices(paths)
            parallel = time.monotonic() - began
            for device in found:
                device.disconnect()
            with listed(paths):
                began = time.monotonic()
                alone = vexlo.VexloSerialScanner.discover_devices(comports=paths[-1:])
                one_silent = time.monotonic() - began
                began = time.monotonic()
                sequential_found = vexlo.VexloSerialScanner.discover_devices()
                sequential = time.monotonic() - began
            for device in sequential_found:
                device.disconnect()
    finally:
        for master, slave in silent:
            os.close(master)
            os.close(slave)
    if len(found) != 6 or len(sequential_found) != 6 or alone:
        sys.exit(f"discovery found {len(found)} and {len(sequential_found)} instruments")
    return [Line(12, "discovery, 8 ptys (2 silent): find_devices vs one silent port alone (module)", "s",
                 parallel, one_silent, parallel / one_silent, "<= 1.2x", parallel <= 1.2 * one_silent),
            Line(12, "discovery, 8 ptys (2 silent): find_devices vs the module's discovery of all 8", "s",
                 parallel, sequential, sequential / parallel, "", None)]


# --- Row 13: an instrument left streaming ---------------------------------------------


def leave_streaming(path):
    with vexlo.VexloSerialScanner.discover_devices(device_models=["PLX310"], comports=[path])[0] as device:
        device.set_sampling_rate_value(15, 0)
        device.set_stream_state(True)


def row_recovery(tries=20):
    results = []
    with served(PLUS) as ([path], _):
        with listed([path]):
            leave_streaming(path)
        for finder in (lambda: find_devices([path], ["PLX310"]),
                       lambda: vexlo.VexloSerialScanner.discover_devices(device_models=["PLX310"])):
            found = 0
            for _ in range(tries):
                with listed([path]):
                    devices = finder()
                found += bool(devices)
                for device in devices:
                    device.set_stream_state(True)  # left streaming again, as a crashed program would leave it
                    device.disconnect()
            results.append(found)
    in_process = []
    for recover in (True, False):
        instrument = SimulatedInstrument.plx310_plus_prime()
        instrument.profiles[0].sampling_rate_code = 15
        found = 0
        with simulated_ports({"/dev/ttySIM0": instrument}):
            for _ in range(tries):
                instrument.start_streaming(time.monotonic())
                devices = (find_devices(["/dev/ttySIM0"], ["PLX310"]) if recover
                           else vexlo.VexloSerialScanner.discover_devices(device_models=["PLX310"]))
                found += bool(devices)
                for device in devices:
                    device.disconnect()
        in_process.append(found)
    return [Line(13, f"a PLX310 left streaming at 38400/s, found in {tries} tries over a pty: "
                     "find_devices vs the module's discovery", "found", results[0], results[1], None,
                 f"{tries} of {tries}", results[0] == tries),
            Line(13, "the same in-process (simulated port, real clock)", "found", in_process[0], in_process[1],
                 None, f"{tries} of {tries}", in_process[0] == tries)]


# --- Row 14: the array converter ------------------------------------------------------

MIB = 1 << 20


def smooth_packets(mib, packet_size, seed=7):
    """`mib` MiB of packets of a slow sine with a little noise, as a loaded sensor gives."""
    n = mib * MIB // packet_size
    rng = np.random.default_rng(seed)
    t = np.arange(n) / HIGH_RATE
    counts = (2.2e9 + 4e8 * np.sin(2 * np.pi * 3 * t) + rng.normal(0, 2e5, n)).astype(np.uint32)
    b = [(counts >> shift).astype(np.uint8) for shift in (24, 16, 8)][:packet_size - 1]
    check = (b[0].astype(np.uint32) + 2 * b[1] + (3 * b[2].astype(np.uint32) if packet_size == 4 else 0)) & 0xFF
    return np.stack(b + [check.astype(np.uint8)], axis=1).tobytes()


def numpy_floor(chunk, conv):
    """A vectorised decode without checksum checks: one direction's formula over whole arrays."""
    raw = np.frombuffer(chunk, np.uint8).reshape(-1, 4)
    counts = (raw[:, 0].astype(np.uint32) << 24) | (raw[:, 1].astype(np.uint32) << 16) | (raw[:, 2].astype(np.uint32) << 8)
    o, f, load = conv.direction_1_offset_value, conv.direction_1_fullscale_value, conv.direction_1_fullscale_load
    return counts, (counts - o) * load / (f - o) * conv.scale_factor + conv.offset


def per_packet(function, chunks, packets):
    began = time.perf_counter()
    for chunk in chunks:
        function(chunk)
    return (time.perf_counter() - began) / packets


def retained_bytes(make):
    """Bytes per sample a result keeps alive, by tracemalloc."""
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    result, count = make()
    kept = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    del result
    return kept / count


def row_converter(mib=64, repeats=5):
    conv = converter()
    data = smooth_packets(mib, 4)
    chunks = [data[i:i + MIB] for i in range(0, len(data), MIB)]
    packets = len(data) // 4
    convert4 = vexlo.StreamDataConverter.convert_stream_data_to_reading
    first = convert4(chunks[0], conv)
    arrays = convert_to_arrays(chunks[0], conv, 4)
    if not (np.array_equal(arrays.adc, [r.adc_value for r in first.readings])
            and np.array_equal(arrays.value, [r.calibrated_value for r in first.readings])):
        sys.exit("the array converter and the module disagree")
    del first
    random_chunks = [np.random.default_rng(1).integers(0, 256, MIB, dtype=np.uint8).tobytes()]
    random_packets = MIB // 4  # per four bytes of input, as for the smooth signal

    # The same two arrays for every buffer, as a stream reader keeps them.
    out = (np.empty(MIB // 4, np.uint32), np.empty(MIB // 4, np.float64))
    times = [[], [], [], []]
    for _ in range(repeats):
        times[0].append(per_packet(lambda c: convert_to_arrays(c, conv, 4, out=out), chunks, packets))
        times[1].append(per_packet(lambda c: convert4(c, conv), chunks, packets))
        times[2].append(per_packet(lambda c: numpy_floor(c, conv), chunks, packets))
        times[3].append(per_packet(lambda c: convert4(c, conv), random_chunks, random_packets))
    native, readings, floor, random_readings = (statistics.median(t) * 1e9 for t in times)
    arrays_bytes = retained_bytes(lambda: (lambda r: (r, len(r.adc)))(convert_to_arrays(chunks[0], conv, 4)))
    list_bytes = retained_bytes(lambda: (lambda r: (r, len(r.readings)))(convert4(chunks[0], conv)))
    return [
        Line(14, f"array converter, {mib} MiB smooth 4-byte packets: vs StreamReading lists", "ns/packet",
             native, readings, readings / native, ">= 8x", readings / native >= 8),
        Line(14, "array converter vs numpy decode without checksums (floor)", "ns/packet",
             native, floor, floor / native, ">= 0.5x", native <= 2 * floor),
        Line(14, "bytes retained per sample: arrays vs StreamReading list", "bytes", arrays_bytes, list_bytes,
             list_bytes / arrays_bytes, "<= 16 B", arrays_bytes <= 16),
        Line(14, "module stream conversion: smooth signal vs random bytes (per 4 bytes of input)", "ns/packet",
             readings, random_readings, random_readings / readings, "", None),
    ]


def reader_rows():
    """The reader's rows (bench/reader.py, which builds on this module)."""
    import reader

    return reader


ROWS = {
    9: lambda args: reader_rows().row_cpu(),
    10: lambda args: row_stall(),
    11: lambda args: row_many() + reader_rows().row_latency(),
    12: lambda args: row_discovery(),
    13: lambda args: row_recovery(),
    14: lambda args: row_converter(),
    15: lambda args: row_read_call(),
}


def main(argv=None):
    from table import print_rows

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", default=",".join(map(str, ROWS)), help="rows to run, e.g. 9,14")
    args = parser.parse_args(argv)
    vexlo.logger.setLevel(logging.CRITICAL)
    print_rows(ROWS, args.rows, args)


if __name__ == "__main__":
    main()


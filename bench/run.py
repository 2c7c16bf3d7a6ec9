"""One benchmark run: the module against pure-Python baselines and against the
serial line itself, every row measured side by side in this process (rows 6
and 8 with one helper process each), printed as one table.

    make bench                                       # installed build
    PYTHONPATH=build/dev:python python bench/run.py  # in-place build

Each row runs its module side and its reference side in alternation,
several repetitions each, and quotes the median. Ratios are reference time /
module time, so above 1 means the module is faster; row 6 quotes the module's
rate as a fraction of the bare pyserial loop's rate. What each row measures
is written out in bench/RESULTS.md.
"""

import argparse
import collections
import gc
import json
import logging
import os
import platform
import statistics
import struct
import subprocess
import sys
import time
from itertools import repeat

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import vexlo_device_communication as vexlo  # noqa: E402
from vexlo_tools.sim import SimulatedInstrument, simulated_ports  # noqa: E402

import acquisition as acquisition_bench  # noqa: E402
import baselines  # noqa: E402
import fleet as fleet_bench  # noqa: E402
import fleet_page as fleet_page_bench  # noqa: E402
import recordings as recordings_bench  # noqa: E402
import regressions  # noqa: E402
import runs as runs_bench  # noqa: E402
import startup  # noqa: E402
from table import Line, print_table  # noqa: E402
import stream as stream_bench  # noqa: E402
import teds as teds_bench  # noqa: E402
import unattended as unattended_bench  # noqa: E402
import web as web_bench  # noqa: E402



class CountingHandler(logging.Handler):
    """Counts records by message instead of printing them: both sides log
    exactly as they would, and nothing reaches the terminal."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.counts = collections.Counter()

    def emit(self, record):
        self.counts[record.getMessage()] += 1


HANDLER = CountingHandler()


def quiet_loggers():
    for log in (vexlo.logger, baselines.logger, logging.getLogger("vexlo_tools")):
        log.handlers[:] = [HANDLER]
        log.propagate = False
        log.setLevel(logging.WARNING)


# --- Measurement ------------------------------------------------------------------


def per_call(function, number):
    """Seconds per call of `function()` over `number` calls."""
    start = time.perf_counter()
    for _ in repeat(None, number):
        function()
    return (time.perf_counter() - start) / number


def side_by_side(probes, repeats):
    """Run each probe (a callable returning seconds per operation) in turn,
    `repeats` rounds; the median of each."""
    times = [[] for _ in probes]
    for _ in range(repeats):
        for slot, probe in zip(times, probes):
            slot.append(probe())
    return [statistics.median(t) for t in times]


def calls(function, number):
    return lambda: per_call(function, number)


def agree(what, module_value, reference_value):
    if module_value != reference_value:
        sys.exit(f"{what}: module gives {module_value!r}, baseline {reference_value!r}")


def speed_line(row, label, unit, scale, module, reference, target=None):
    ratio = reference / module
    met = None if target is None else ratio >= target
    return Line(row, label, unit, module * scale, reference * scale, ratio,
                "" if target is None else f">= {target:g}x", met)


# --- Row 1: stream conversion -----------------------------------------------------


def row_stream(repeats):
    rng = stream_bench.random.Random(stream_bench.SEED)
    conv = stream_bench.converter()
    python_conv = stream_bench.PythonConverter(conv)
    convert4 = vexlo.StreamDataConverter.convert_stream_data_to_reading
    convert3 = vexlo.StreamDataConverter.convert_stream_data_to_reading_38_kHz
    cases = [
        ("4-byte packets, clean", 4, 0.0, convert4),
        ("4-byte packets, 5% garbage", 4, 0.05, convert4),
        ("3-byte packets, clean", 3, 0.0, convert3),
        ("3-byte packets, 5% garbage", 3, 0.05, convert3),
    ]
    lines = []
    for name, size, garbage, convert in cases:
        data = stream_bench.stream_buffer(rng, size, garbage=garbage)
        result = convert(data, conv)
        readings, remainder = stream_bench.python_stream_baseline(
            data, python_conv, size, stream_bench.PythonReading)
        stream_bench.check_same(result, readings, remainder)
        count = len(result.readings)
        values = [r.calibrated_value for r in result.readings]
        counts = [r.adc_value for r in result.readings]
        del result, readings

        def build(values=values, counts=counts):
            return list(map(vexlo.StreamReading, values, counts))

        module, baseline, building = side_by_side(
            [calls(lambda: convert(data, conv), 1),
             calls(lambda: stream_bench.python_stream_baseline(
                 data, python_conv, size, stream_bench.PythonReading), 1),
             calls(build, 1)],
            repeats)
        scale = 1e9 / count
        lines.append(speed_line(1, f"stream {name}: vs Python", "ns/packet", scale,
                                module, baseline, 50))
        lines.append(speed_line(1, f"stream {name}: vs building the readings", "ns/packet",
                                scale, module, building))
    return lines


# --- Row 2: convert_adc -----------------------------------------------------------


def one_direction():
    conv = vexlo.ADCConverter()
    conv.number_of_directions = 0
    conv.direction_1_offset_value = 1.0e9
    conv.direction_1_fullscale_value = 3.5e9
    conv.direction_1_fullscale_load = 500.0
    conv._set_midpoint_offset()
    return conv


def row_convert_adc(repeats):
    counts = list(range(5 * 10**8, 4 * 10**9, 35_011))[:100_000]

    def loop(function):
        def probe():
            start = time.perf_counter()
            for count in counts:
                function(count)
            return (time.perf_counter() - start) / len(counts)
        return probe

    lines = []
    for name, conv in (("1 direction", one_direction()), ("2 directions", stream_bench.converter())):
        python_conv = stream_bench.PythonConverter(conv)
        agree("convert_adc", [conv.convert_adc(c) for c in counts[:1000]],
              [python_conv.convert_adc(c) for c in counts[:1000]])
        # float(count) in the same loop: one call of a C function that turns
        # the int into a new float, the least that any convert_adc called
        # from Python has to do.
        module, baseline, floor = side_by_side(
            [loop(conv.convert_adc), loop(python_conv.convert_adc), loop(float)], repeats)
        lines.append(speed_line(2, f"convert_adc, {name}: vs Python", "ns/call", 1e9,
                                module, baseline, 10))
        lines.append(speed_line(2, f"convert_adc, {name}: above float(count) ({floor * 1e9:.0f} ns)",
                                "ns/call", 1e9, module - floor, baseline - floor))
    return lines


# --- Row 3: one query's protocol work ---------------------------------------------


def response(payload):
    frame = bytes([0x00, len(payload) + 5, 0x01, 0x01]) + payload
    checksum = sum((i + 1) * b for i, b in enumerate(frame)) % 256
    return frame + bytes([checksum])


QUERIES = [
    ("int", "Get_Loading_Point_Value_Command", bytearray([1, 3]), response(bytes.fromhex("0001a0c5"))),
    ("float", "Get_Load_Of_Loading_Point_Command", bytearray([1, 3]), response(struct.pack("<f", 250.5))),
    ("ascii", "Get_Model_Number_Command", bytearray(), response(b"MVR420\0\0\0\0")),
    ("raw", "Get_TEDS_Data_Command", bytearray([2]), response(bytes(range(7, 39)))),
]


def protocol_work(ops, name, arguments, answer):
    def query():
        command = getattr(ops, name)
        ops.get_command_byte_array(command, arguments)
        ops.validate_response_checksum(answer)
        return ops.convert_payload(command.payload_length, command.payload_type, answer)
    return query


def row_protocol(repeats):
    module_ops = vexlo._CommandOperations()
    python_ops = baselines.CommandOperations()
    lines = []
    for kind, name, arguments, answer in QUERIES:
        module_query = protocol_work(module_ops, name, arguments, answer)
        python_query = protocol_work(python_ops, name, arguments, answer)
        agree(f"{kind} query", module_query(), python_query())
        agree(f"{kind} frame", module_ops.get_command_byte_array(getattr(module_ops, name), arguments),
              python_ops.get_command_byte_array(getattr(python_ops, name), arguments))
        module, baseline = side_by_side([calls(module_query, 20_000), calls(python_query, 5_000)], repeats)
        lines.append(speed_line(3, f"protocol work of one {kind} query: vs Python", "us/query", 1e6,
                                module, baseline, 10))
    # The int query step by step, to show where the time goes.
    kind, name, arguments, answer = QUERIES[0]
    for step, make in (
        ("reading the descriptor (a new _Command)", lambda ops: lambda: getattr(ops, name)),
        ("building the frame", lambda ops: (lambda command: lambda: ops.get_command_byte_array(
            command, arguments))(getattr(ops, name))),
        ("validating the response", lambda ops: lambda: ops.validate_response_checksum(answer)),
        ("converting the payload", lambda ops: lambda: ops.convert_payload(4, "int", answer)),
    ):
        module, baseline = side_by_side([calls(make(module_ops), 20_000), calls(make(python_ops), 10_000)],
                                        repeats)
        lines.append(speed_line(3, f"  int query, {step}", "us/step", 1e6, module, baseline))
    return lines


# --- Row 4: TEDS parsing ----------------------------------------------------------


def row_teds(repeats):
    teds = vexlo.TEDSData
    image = teds_bench.IMAGE
    parsed = teds.parse_from_bytes(image, 33)
    for field, value in teds_bench.python_parse(image, 33).items():
        agree(f"TEDS {field}", repr(getattr(parsed, field)), repr(value))
    module, baseline = side_by_side(
        [calls(lambda: teds.parse_from_bytes(image, 33), 5_000),
         calls(lambda: teds_bench.python_parse(image, 33), 100)], repeats)
    return [speed_line(4, "TEDSData.parse_from_bytes, 512 bytes: vs Python", "us/parse", 1e6,
                       module, baseline, 50)]


# --- Row 5: get_reading through the in-process simulated port ---------------------

SIM_PORT = "/dev/ttySIMBENCH"
NDR_REQUEST = bytes.fromhex("00060005 0020".replace(" ", ""))


def row_reading(repeats):
    instrument = SimulatedInstrument.mvr420()
    instrument.set_raw_count(2_345_678_912)
    lines = []
    with simulated_ports({SIM_PORT: instrument}):
        (device,) = vexlo.VexloSerialScanner.discover_devices(comports=[SIM_PORT])
        port = device.communication_interface.serial_connection
        python_device = baselines.Device(baselines.SerialCommunicationInterface(port),
                                         stream_bench.PythonConverter(device.get_adc_converter()))
        agree("get_reading", device.get_reading(0), python_device.get_reading(0))

        def port_alone(port):
            # The port's whole share of one exchange, as both sides use it:
            # the open check, the reset, the frame as a bytearray, the read.
            frame = bytearray(NDR_REQUEST)

            def exchange():
                if port.is_open:
                    port.reset_input_buffer()
                    port.write(frame)
                    return port.read(size=9)
            return exchange

        agree("simulated answer", port_alone(port)(), instrument.respond(NDR_REQUEST))
        # The module's own cost here is the difference of two times ten
        # times larger, which wander with the simulator's garbage collection:
        # many short rounds, so that the medians settle.
        module, baseline, port_cost = side_by_side(
            [calls(lambda: device.get_reading(0), 2_000),
             calls(lambda: python_device.get_reading(0), 2_000),
             calls(port_alone(port), 2_000)], 5 * repeats)
        lines.append(speed_line(5, "get_reading, simulated port: vs Python, whole call", "us/reading",
                                1e6, module, baseline))
        lines.append(speed_line(5, f"get_reading, simulated port: own cost (port {port_cost * 1e6:.1f} us "
                                   "subtracted)", "us/reading", 1e6,
                                module - port_cost, baseline - port_cost, 3))

        # The same with a stand-in port that answers from a prepared response.
        canned = baselines.CannedPort(port_alone(port)())
        device.communication_interface.serial_connection = canned
        python_device.communication_interface.serial_connection = canned
        agree("get_reading, canned", device.get_reading(0), python_device.get_reading(0))
        module, baseline, port_cost = side_by_side(
            [calls(lambda: device.get_reading(0), 20_000),
             calls(lambda: python_device.get_reading(0), 5_000),
             calls(port_alone(canned), 20_000)], repeats)
        lines.append(speed_line(5, "get_reading, stand-in port: vs Python, whole call", "us/reading",
                                1e6, module, baseline))
        lines.append(speed_line(5, f"get_reading, stand-in port: own cost (port {port_cost * 1e6:.2f} us "
                                   "subtracted)", "us/reading", 1e6,
                                module - port_cost, baseline - port_cost, 3))
        device.communication_interface.serial_connection = port
        device.disconnect()
    return lines


# --- Row 6: get_ndr over a pseudo-terminal ----------------------------------------


def start_pty_server():
    server = subprocess.Popen([sys.executable, "-m", "vexlo_tools.sim", "mvr420"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = server.stdout.readline()
    if not line:
        server.wait()
        sys.exit("the pseudo-terminal server did not start")
    return server, line.split("\t")[0].split(" ")[0]


def row_pty(repeats):
    import serial  # the real pyserial: no simulated ports are installed here

    server, path = start_pty_server()
    try:
        ci = vexlo._SerialCommunicationInterface(path, 320000)
        ci.connect()
        port = ci.serial_connection
        if not isinstance(port, serial.Serial):
            sys.exit("row 6 needs the real serial.Serial")

        def bare():
            port.reset_input_buffer()
            port.write(NDR_REQUEST)
            return port.read(9)

        answer = bare()
        agree("pty answer", ci.get_ndr(0), int.from_bytes(answer[4:8], "big"))
        # Round trips jitter with the scheduling of two processes on a shared
        # machine: short rounds, many of them, alternating.
        module, bare_time = side_by_side([calls(lambda: ci.get_ndr(0), 300), calls(bare, 300)],
                                         3 * repeats)
        ci.disconnect()
    finally:
        server.terminate()
        server.wait()
    ratio = bare_time / module
    return [Line(6, "get_ndr over a pseudo-terminal: rate vs bare pyserial loop", "us/exchange",
                 module * 1e6, bare_time * 1e6, ratio, ">= 0.9x", ratio >= 0.9)]


# --- Row 7: discovery -------------------------------------------------------------

RETRY_PAUSE = 0.1
PAUSES_PER_FAILED_PROBE = 4  # two model queries (connect, then the probe), 3 attempts each


def discovery_ports():
    instruments = [
        SimulatedInstrument.plx310(), SimulatedInstrument.plx310(),
        SimulatedInstrument.mvr420(), SimulatedInstrument.dta530(),
        SimulatedInstrument.hsk640(), SimulatedInstrument.mvr420(),
        SimulatedInstrument.mvr420(), SimulatedInstrument.hsk640(),
    ]
    for silent in instruments[6:]:
        silent.go_silent()
    return {f"/dev/ttySIMDISC{i}": inst for i, inst in enumerate(instruments)}


def row_discovery(repeats):
    ports = discovery_ports()
    # Failed probes per discovery: without a filter the bauds are 2000000,
    # 320000, 115200: the 4 compact models fail once (at 2000000), the 2 silent
    # ports three times. With the PLX310 filter only 2000000 is tried: the 4
    # compact models and the 2 silent ports fail once each.
    cases = [("no filter", None, 4 * 1 + 2 * 3, 6), ("models=['PLX310']", ["PLX310"], 4 + 2, 2)]
    lines = []
    with simulated_ports(ports):
        probes = []
        for label, models, failed_probes, expected in cases:
            def probe(models=models, expected=expected, failed_probes=failed_probes):
                before = HANDLER.counts["Attempting Retry"]
                start = time.perf_counter()
                devices = vexlo.VexloSerialScanner.discover_devices(device_models=models)
                elapsed = time.perf_counter() - start
                for device in devices:
                    device.disconnect()
                pauses = HANDLER.counts["Attempting Retry"] - before
                if len(devices) != expected or pauses != failed_probes * PAUSES_PER_FAILED_PROBE:
                    sys.exit(f"discovery found {len(devices)} devices after {pauses} pauses")
                return elapsed
            probes.append(probe)
        walls = side_by_side(probes, repeats)
    for (label, _, failed_probes, expected), wall in zip(cases, walls):
        floor = failed_probes * PAUSES_PER_FAILED_PROBE * RETRY_PAUSE
        lines.append(Line(7, f"discovery, 8 ports (2 silent), {label}: {expected} found, "
                             f"wall vs its {failed_probes * PAUSES_PER_FAILED_PROBE} retry pauses",
                          "s", wall, floor, floor / wall, "", None))
    return lines


# --- Row 8: memory while streaming ------------------------------------------------


def row_memory(packets):
    # The child reads its own high-water marks: its rusage would also count
    # the pages it shared with this process between fork and exec.
    child = subprocess.run([sys.executable, os.path.join(HERE, "memory.py"), str(packets)],
                           stdout=subprocess.PIPE, text=True)
    if child.returncode != 0:
        sys.exit("the memory benchmark failed")
    report = json.loads(child.stdout)
    warm = report["rss_after_warm_up_kib"]
    peak = report["peak_rss_while_streaming_kib"]
    blocks = report["blocks_after"] - report["blocks_before"]
    # Flat: the peak while streaming stays within 1 MiB of the resident size
    # after the warm-up, and no more blocks are left than the loop's own few
    # variables hold (one per chunk would be thousands).
    allowed = 10
    return [
        Line(8, f"memory, {report['packets'] / 1e6:.0f}M packets in {report['chunks']} chunks: peak RSS "
                f"while streaming vs after warm-up (peak before: "
                f"{report['peak_rss_before_streaming_kib'] / 1024:.1f})",
             "MiB", peak / 1024, warm / 1024, warm / peak, "flat", peak - warm <= 1024),
        Line(8, f"memory: allocated blocks at the end vs after warm-up ({blocks:+d}, "
                f"allowed +-{allowed})", "blocks",
             report["blocks_after"], report["blocks_before"], None, "no growth", abs(blocks) < allowed),
    ]


# --- Table ------------------------------------------------------------------------


def machine():
    cpu = "unknown processor"
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return (f"{cpu}, {os.cpu_count()} cores; {platform.system()} {platform.release()}; "
            f"Python {platform.python_version()}; module {vexlo.__file__}")


ROWS = {
    1: lambda args: row_stream(args.repeats),
    2: lambda args: row_convert_adc(args.repeats),
    3: lambda args: row_protocol(args.repeats),
    4: lambda args: row_teds(args.repeats),
    5: lambda args: row_reading(args.repeats),
    6: lambda args: row_pty(args.repeats),
    7: lambda args: row_discovery(args.discovery_repeats),
    8: lambda args: row_memory(args.packets),
    60: lambda args: regressions.rows(args.repeats, lambda new, old, number, repeats: side_by_side(
        [calls(new, number), calls(old, number)], repeats)),
    61: lambda args: startup.rows(3 * args.repeats),
    **acquisition_bench.ROWS,
    **fleet_bench.ROWS,
    **fleet_page_bench.ROWS,
    **recordings_bench.ROWS,
    **runs_bench.ROWS,
    **unattended_bench.ROWS,
    **web_bench.ROWS,
}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", default=",".join(map(str, ROWS)), help="rows to run, e.g. 2,3")
    parser.add_argument("--repeats", type=int, default=7, help="repetitions per row (median quoted)")
    parser.add_argument("--discovery-repeats", type=int, default=3, help="repetitions of row 7")
    parser.add_argument("--packets", type=int, default=10_000_000, help="packets streamed in row 8")
    parser.add_argument("--fleet-stands", type=int, default=16, help="stands on the fleet's page in row 43")
    args = parser.parse_args(argv)
    quiet_loggers()
    started = time.perf_counter()
    lines = []
    for row in sorted(int(r) for r in args.rows.split(",")):
        row_start = time.perf_counter()
        lines.extend(ROWS[row](args))
        gc.collect()
        print(f"row {row} done in {time.perf_counter() - row_start:.1f} s", file=sys.stderr)
    print(f"machine: {machine()}")
    print(f"{args.repeats} repetitions per row (row 7: {args.discovery_repeats}), median quoted; "
          f"ratio = reference time / module time")
    print()
    print_table(lines)
    missed = [line for line in lines if line.met is False]
    print()
    print(f"total {time.perf_counter() - started:.0f} s; targets met: "
          f"{sum(1 for line in lines if line.met)}, missed: {len(missed)}")


if __name__ == "__main__":
    main()

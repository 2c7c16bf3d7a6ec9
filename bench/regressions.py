"""The module's own side of rows 1 to 5 against the module as it was at
commit d87d02e (before the hardening and structure work), both loaded into
this process and timed in alternation on the same inputs.

The old module is built once from that commit's sources (``git archive``)
into ``build/bench-d87d02e/`` with pip and cached there. Ratios are old time /
new time, so below 1 means the module became slower; the targets are the
ones the regressions were measured against (within 1.05 times, or at least
as fast).

    PYTHONPATH=build/dev:python python bench/regressions.py
"""

import glob
import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BASE = "d87d02e"
SCRATCH = os.path.join(ROOT, "build", f"bench-{BASE}")

sys.path.insert(0, HERE)

import vexlo_device_communication as vexlo  # noqa: E402
from vexlo_tools.sim import SimulatedInstrument, simulated_ports  # noqa: E402

import baselines  # noqa: E402
import stream as stream_bench  # noqa: E402
import teds as teds_bench  # noqa: E402
from table import Line  # noqa: E402


def old_module():
    """The module of commit BASE, built on first use; a module object of its
    own beside the current one (multi-phase initialisation allows both)."""
    target = os.path.join(SCRATCH, "lib")
    if not os.path.isdir(target):
        os.makedirs(os.path.dirname(SCRATCH), exist_ok=True)
        with tempfile.TemporaryDirectory(dir=os.path.dirname(SCRATCH)) as sources:
            archive = subprocess.run(["git", "-C", ROOT, "archive", BASE], check=True,
                                     stdout=subprocess.PIPE).stdout
            subprocess.run(["tar", "-x", "-C", sources], input=archive, check=True)
            print(f"building the module of {BASE} into {target} (once)", file=sys.stderr)
            subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-deps",
                            "--target", target + ".part", sources], check=True)
        os.rename(target + ".part", target)
    (path,) = glob.glob(os.path.join(target, "vexlo_device_communication.*.so"))
    spec = importlib.util.spec_from_file_location(
        "vexlo_device_communication", path,
        loader=importlib.machinery.ExtensionFileLoader("vexlo_device_communication", path))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    # The same logging as the current module: a level check on both sides.
    module.logger = vexlo.logger
    return module


def converter(module):
    conv = module.ADCConverter()
    for name in ("direction_1_offset_value", "direction_1_fullscale_value", "direction_1_fullscale_load",
                 "direction_2_offset_value", "direction_2_fullscale_value", "direction_2_fullscale_load"):
        setattr(conv, name, getattr(stream_bench.converter(), name))
    conv._set_midpoint_offset()
    return conv


def probes(module, canned):
    """name -> (unit scale, callable, calls per round) for one module."""
    rng = stream_bench.random.Random(stream_bench.SEED)
    data4 = stream_bench.stream_buffer(rng, 4)
    data3 = stream_bench.stream_buffer(rng, 3)
    conv = converter(module)
    convert = module.StreamDataConverter
    ops = module._CommandOperations()
    command = ops.Get_Loading_Point_Value_Command
    arguments = bytearray([1, 3])
    four = bytearray(b"\x00\x06\x00\x05")
    answer = bytes.fromhex("000901010001a0c5") + b"\x00"
    answer = answer[:-1] + bytes([sum((i + 1) * b for i, b in enumerate(answer[:-1])) % 256])
    packets4 = len(convert.convert_stream_data_to_reading(data4, conv).readings)
    packets3 = len(convert.convert_stream_data_to_reading_38_kHz(data3, conv).readings)
    device = canned[module]
    return {
        "stream, 4-byte packets (ns/packet)": (
            1e9 / packets4, lambda: convert.convert_stream_data_to_reading(data4, conv), 1),
        "stream, 3-byte packets (ns/packet)": (
            1e9 / packets3, lambda: convert.convert_stream_data_to_reading_38_kHz(data3, conv), 1),
        "convert_adc, 2 directions (ns/call)": (1e9, lambda: conv.convert_adc(2_345_678_912), 100_000),
        "calculate_checksum, 4 bytes (ns/call)": (1e9, lambda: ops.calculate_checksum(four), 100_000),
        "get_command_byte_array (ns/call)": (
            1e9, lambda: ops.get_command_byte_array(command, arguments), 50_000),
        "validate_response_checksum (ns/call)": (
            1e9, lambda: ops.validate_response_checksum(answer), 100_000),
        "convert_payload, int (ns/call)": (1e9, lambda: ops.convert_payload(4, "int", answer), 100_000),
        "TEDSData.parse_from_bytes (us/parse)": (
            1e6, lambda: module.TEDSData.parse_from_bytes(teds_bench.IMAGE, 33), 5_000),
        "get_reading, stand-in port (us/reading)": (1e6, lambda: device.get_reading(0), 20_000),
    }


def canned_device(module, path):
    (device,) = module.VexloSerialScanner.discover_devices(comports=[path])
    port = device.communication_interface.serial_connection
    port.reset_input_buffer()
    port.write(bytearray(bytes.fromhex("000600050020")))
    device.communication_interface.serial_connection = baselines.CannedPort(port.read(size=9))
    port.close()
    return device


# Within 1.05 times the old figure, or (the stream conversion) at least as fast.
TARGETS = {"stream": 1.0, "calculate_checksum": 1 / 1.05, "get_command_byte_array": 1 / 1.05,
           "get_reading": 1 / 1.05}


def rows(repeats, measure):
    """measure(probes) -> medians, as run.side_by_side with calls."""
    old = old_module()
    instrument = SimulatedInstrument.mvr420()
    instrument.set_raw_count(2_345_678_912)
    with simulated_ports({"/dev/ttySIMOLD": instrument}):
        canned = {vexlo: canned_device(vexlo, "/dev/ttySIMOLD"), old: canned_device(old, "/dev/ttySIMOLD")}
        new_probes, old_probes = probes(vexlo, canned), probes(old, canned)
    lines = []
    for name, (scale, new_call, number) in new_probes.items():
        _, old_call, _ = old_probes[name]
        new_time, old_time = measure(new_call, old_call, number, repeats)
        label, unit = name.rsplit(" (", 1)
        ratio = old_time / new_time
        target = next((t for key, t in TARGETS.items() if label.startswith(key)), None)
        lines.append(Line(60, f"{label}: now vs {BASE}", unit.rstrip(")"), new_time * scale,
                          old_time * scale, ratio, "" if target is None else f">= {target:.3g}x",
                          None if target is None else ratio >= target))
    return lines


if __name__ == "__main__":
    import run

    run.main(["--rows", "60"])

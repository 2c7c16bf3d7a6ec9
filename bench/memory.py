"""Memory while streaming: a device reads stream data in chunks of irregular
size and converts them, with the remainder of each chunk carried in front of
the next, until the given number of packets has been converted. Prints one
JSON line: allocated blocks and resident memory after a warm-up and at the
end, and the peak resident memory (VmHWM) before the warm-up ended and
after it. Run by bench/run.py in a process of its own; runnable alone too:

    PYTHONPATH=build/dev:python python bench/memory.py [packets]
"""

import gc
import json
import logging
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import vexlo_device_communication as vexlo  # noqa: E402
from vexlo_tools.sim import SimulatedInstrument, simulated_ports  # noqa: E402

import baselines  # noqa: E402
import stream as stream_bench  # noqa: E402

PORT = "/dev/ttySIMMEM"
# Sizes that are no multiple of the packet size, so every remainder length occurs.
CHUNK_SIZES = [4093, 4096, 4099, 1021, 2050, 4095, 3, 4097]


def rss_kib(field="VmRSS"):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not found")


def main():
    packets = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
    # Nothing to print: the garbage warnings are counted by the module anyway.
    vexlo.logger.addHandler(logging.NullHandler())
    vexlo.logger.propagate = False
    with simulated_ports({PORT: SimulatedInstrument.mvr420()}):
        (device,) = vexlo.VexloSerialScanner.discover_devices(device_models=["MVR420"], comports=[PORT])
    device.communication_interface.serial_connection.close()
    rng = random.Random(stream_bench.SEED)
    stream = stream_bench.stream_buffer(rng, 4, garbage=0.02)
    device.communication_interface.serial_connection = baselines.ReplayPort(stream, CHUNK_SIZES)
    converter = device.get_adc_converter()
    convert = vexlo.StreamDataConverter.convert_stream_data_to_reading

    converted = chunks = 0
    total = 0.0
    remainder = bytearray()
    warm_up = packets // 100
    report = {}
    while converted < packets:
        result = convert(remainder + device.get_stream_data(), converter)
        readings = result.readings
        converted += len(readings)
        chunks += 1
        if readings:
            total += readings[-1].calibrated_value
        remainder = result.remainder
        del result, readings
        if not report and converted >= warm_up:
            report["rss_after_warm_up_kib"] = rss_kib()
            report["peak_rss_before_streaming_kib"] = rss_kib("VmHWM")
            # From here on VmHWM is the peak while streaming (Linux: writing
            # 5 to clear_refs resets the high-water mark).
            with open("/proc/self/clear_refs", "w") as clear:
                clear.write("5")
            report["blocks_before"] = 0  # a key made before the count
            gc.collect()
            report["blocks_before"] = sys.getallocatedblocks()
    gc.collect()
    report["blocks_after"] = sys.getallocatedblocks()
    report["rss_at_end_kib"] = rss_kib()
    report["peak_rss_while_streaming_kib"] = rss_kib("VmHWM")
    report["packets"] = converted
    report["chunks"] = chunks
    report["checksum"] = total
    print(json.dumps(report))


if __name__ == "__main__":
    main()

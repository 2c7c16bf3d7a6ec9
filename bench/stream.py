"""Stream conversion speed: the module against a pure-Python baseline.

Both run in the same process on the same buffers: 1 MiB of valid four-byte
packets, 1 MiB of three-byte packets, and 1 MiB of four-byte packets with 5%
random garbage bytes. The table gives packets (readings) per second, the ratio
module/baseline, and the time of merely building the same number of readings
with ``list(map(StreamReading, values, counts))``.

Run with the module importable, e.g. ``PYTHONPATH=build/dev python bench/stream.py``.
"""

import logging
import random
import sys
import time

import vexlo_device_communication as vexlo

MIB = 1 << 20
SEED = 20240611


# --- The baseline: the same algorithm, in Python ---------------------------------


def python_stream_baseline(data, adc_converter, packet_size, reading_type):
    """Convert a stream buffer as the module does, in pure Python."""
    if isinstance(data, bytes):
        data = bytearray(data)
    elif not isinstance(data, bytearray):
        raise TypeError("Expected bytearray, got %.200s" % type(data).__name__)
    length = len(data)
    if length < packet_size:
        return [], data
    logger = vexlo.logger
    readings = []
    index = 0
    last = length - packet_size
    invalid = 0
    four = packet_size == 4
    while index <= last:
        b0 = data[index]
        b1 = data[index + 1]
        if four:
            b2 = data[index + 2]
            valid = (b0 + 2 * b1 + 3 * b2) & 0xFF == data[index + 3]
            count = (b0 << 24) | (b1 << 16) | (b2 << 8)
        else:
            valid = (b0 + 2 * b1) & 0xFF == data[index + 2]
            count = (b0 << 24) | (b1 << 16)
        if not valid:
            invalid += 1
            index += 1
            continue
        try:
            value = float(adc_converter.convert_adc(count))
            readings.append(reading_type(value, count))
            index += packet_size
        except (ValueError, ZeroDivisionError, AttributeError) as error:
            logger.warning("ADC conversion failed at index %d: %s" % (index, error))
            invalid += 1
            index += 1
    if invalid > 0:
        logger.warning("Stream conversion: %d invalid/corrupted packets detected" % invalid)
    remainder = bytearray(data[index:])
    logger.debug("Converted %d readings, %d remainder bytes" % (len(readings), len(remainder)))
    return readings, remainder


class PythonConverter:
    """The converter's arithmetic in Python, on a copy of an ADCConverter's calibration."""

    def __init__(self, source):
        for name in (
            "direction_1_fullscale_load", "direction_1_offset_value", "direction_1_fullscale_value",
            "direction_2_fullscale_load", "direction_2_offset_value", "direction_2_fullscale_value",
            "scale_factor", "offset", "number_of_directions", "midpoint_offset",
        ):
            setattr(self, name, getattr(source, name))

    def calculate_for_direction_1(self, n):
        t4 = (n - self.direction_1_offset_value) * self.direction_1_fullscale_load / (
            self.direction_1_fullscale_value - self.direction_1_offset_value)
        return t4 * self.scale_factor + self.offset

    def calculate_for_direction_2(self, n):
        t4 = (n - self.direction_2_offset_value) * self.direction_2_fullscale_load / (
            self.direction_2_fullscale_value - self.direction_2_offset_value)
        return -(t4 * self.scale_factor + self.offset)

    def convert_adc(self, ndr_adc):
        n = int(ndr_adc)
        x = float(n)
        if self.number_of_directions != 1:
            return self.calculate_for_direction_1(n)
        o1, f1 = self.direction_1_offset_value, self.direction_1_fullscale_value
        o2, f2 = self.direction_2_offset_value, self.direction_2_fullscale_value
        mu = max(int(self.midpoint_offset), 0)
        if f1 > o1:
            if o2 > o1:
                below = n < mu
            elif x >= o1:
                below = False
            elif x <= o2:
                below = True
            else:
                below = n < mu
            return self.calculate_for_direction_2(n) if below else self.calculate_for_direction_1(n)
        if o1 <= f2:
            return 0.0
        if x < f1 or f2 <= x <= o1:
            return self.calculate_for_direction_1(n)
        if o1 < x < o2 and not n > mu:
            return self.calculate_for_direction_1(n)
        return self.calculate_for_direction_2(n)


class PythonReading:
    __slots__ = ("calibrated_value", "adc_value")

    def __init__(self, calibrated_value, adc_value):
        self.calibrated_value = calibrated_value
        self.adc_value = adc_value


# --- Buffers ----------------------------------------------------------------------


def packet(rng, size):
    b0, b1 = rng.randrange(256), rng.randrange(256)
    if size == 3:
        return bytes((b0, b1, (b0 + 2 * b1) & 0xFF))
    b2 = rng.randrange(256)
    return bytes((b0, b1, b2, (b0 + 2 * b1 + 3 * b2) & 0xFF))


def stream_buffer(rng, size, garbage=0.0):
    out = bytearray()
    while len(out) < MIB:
        for byte in packet(rng, size):
            while rng.random() < garbage:
                out.append(rng.randrange(256))
            out.append(byte)
    return out[:MIB]


def converter():
    conv = vexlo.ADCConverter()
    conv.direction_1_offset_value = 2.0e9
    conv.direction_1_fullscale_value = 4.0e9
    conv.direction_1_fullscale_load = 500.0
    conv.direction_2_offset_value = 1.9e9
    conv.direction_2_fullscale_value = 1.0e8
    conv.direction_2_fullscale_load = 450.0
    conv._set_midpoint_offset()
    return conv


# --- Measurement ------------------------------------------------------------------


def best_time(function, repeats):
    """Best time of `repeats` calls; each result is freed after its timing."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
        del result
    return best


def check_same(result, readings, remainder):
    got = [(r.calibrated_value, r.adc_value) for r in result.readings]
    want = [(r.calibrated_value, r.adc_value) for r in readings]
    if got != want or result.remainder != remainder:
        sys.exit("module and baseline disagree")


def main():
    vexlo.logger.setLevel(logging.ERROR)  # both sides pay only the level check
    rng = random.Random(SEED)
    conv = converter()
    python_conv = PythonConverter(conv)
    cases = [
        ("4-byte packets", stream_buffer(rng, 4), 4,
         vexlo.StreamDataConverter.convert_stream_data_to_reading),
        ("3-byte packets", stream_buffer(rng, 3), 3,
         vexlo.StreamDataConverter.convert_stream_data_to_reading_38_kHz),
        ("4-byte, 5% garbage", stream_buffer(rng, 4, garbage=0.05), 4,
         vexlo.StreamDataConverter.convert_stream_data_to_reading),
    ]
    header = "%-20s %9s %12s %12s %9s %12s %10s" % (
        "buffer (1 MiB)", "packets", "module/s", "baseline/s", "mod/base", "readings/s", "mod/build")
    print(header)
    print("-" * len(header))
    targets = []
    for name, data, size, convert in cases:
        result = convert(data, conv)
        readings, remainder = python_stream_baseline(data, python_conv, size, PythonReading)
        check_same(result, readings, remainder)
        count = len(result.readings)
        values = [r.calibrated_value for r in result.readings]
        counts = [r.adc_value for r in result.readings]
        del result, readings

        module_time = best_time(lambda: convert(data, conv), 7)
        baseline_time = best_time(
            lambda: python_stream_baseline(data, python_conv, size, PythonReading), 3)
        build_time = best_time(lambda: list(map(vexlo.StreamReading, values, counts)), 7)
        ratio = baseline_time / module_time
        print("%-20s %9d %12.0f %12.0f %8.1fx %12.0f %9.2fx" % (
            name, count, count / module_time, count / baseline_time, ratio, count / build_time,
            module_time / build_time))
        if size == 4 and not name.endswith("garbage"):
            targets.append((ratio, module_time / build_time))

    ratio, relative = targets[0]
    print()
    print("module/s, baseline/s: packets (readings) per second; mod/base: module speed / baseline speed")
    print("readings/s: list(map(StreamReading, values, counts)) over ready-made lists of the same readings;")
    print("mod/build: module time / time of that list(map(...))")
    print("targets on the valid 4-byte buffer: mod/base >= 50x: %s (%.1fx); mod/build <= 2x: %s (%.2fx)"
          % ("met" if ratio >= 50 else "NOT met", ratio, "met" if relative <= 2 else "NOT met",
             relative))

    # For reference: the same Python loop calling the module's own converter and
    # reading class, so only the scan and the call overhead stay in Python.
    data, size, convert = cases[0][1], cases[0][2], cases[0][3]
    count = len(convert(data, conv).readings)
    module_time = best_time(lambda: convert(data, conv), 7)
    mixed_time = best_time(
        lambda: python_stream_baseline(data, conv, size, vexlo.StreamReading), 3)
    print("reference: Python loop with the module's ADCConverter and StreamReading: "
          "%.0f packets/s, module %.1fx faster" % (count / mixed_time, mixed_time / module_time))


if __name__ == "__main__":
    main()

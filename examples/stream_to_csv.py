"""Stream calibrated samples from a Vexlo instrument into a CSV file.

    python examples/stream_to_csv.py --seconds 5 --csv samples.csv
    python examples/stream_to_csv.py --port /dev/ttyUSB0 --fast     # PLX310 Plus Prime at 38400 samples/s
    python examples/stream_to_csv.py --sim --fast

The instrument sends packets continuously while streaming is on. Each read
of the port's input buffer ends wherever it ends, mid-packet too: the
unfinished tail of one buffer (the remainder) goes in front of the next.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import logging
import math
import sys
import time
from typing import Callable, ContextManager, List, Optional, Sequence

import vexlo_device_communication as vexlo

POLL_SECONDS = 0.01


def simulated_instrument() -> ContextManager[object]:
    """A PLX310 Plus Prime under a swinging load, on an in-process port."""
    from vexlo_tools.sim import SimulatedInstrument, simulated_ports

    plx = SimulatedInstrument.plx310_plus_prime()
    plx.set_load_signal(lambda t: 250.0 + 50.0 * math.sin(2.0 * math.pi * t))
    return simulated_ports({"/dev/ttySIM0": plx})


def stream(device: vexlo.VexloDevice, seconds: float, write_row: Callable[[Sequence[object]], object]) -> int:
    """Stream for ``seconds``, pass one row per sample to ``write_row``; return the number of samples."""
    converter = device.get_adc_converter()
    if converter is None:
        raise vexlo.VexloCalibrationError("the device has no calibration")
    # The PLX310 at 38400 samples/s sends three-byte packets, every other rate four-byte ones.
    fast = (device.get_model_number() == "PLX310"
            and device.get_sampling_rate(0) == vexlo.PLX310SamplingRateEnum.SPS_38400.value)
    convert = (vexlo.StreamDataConverter.convert_stream_data_to_reading_38_kHz if fast
               else vexlo.StreamDataConverter.convert_stream_data_to_reading)
    samples = 0
    remainder = bytearray()
    device.set_stream_state(True)
    try:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            time.sleep(POLL_SECONDS)
            result = convert(remainder + device.get_stream_data(), converter)
            for reading in result.readings or []:
                write_row((samples, reading.adc_value, reading.calibrated_value))
                samples += 1
            remainder = result.remainder or bytearray()
    finally:
        device.set_stream_state(False)
    return samples


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Stream calibrated samples into a CSV file.")
    parser.add_argument("--sim", action="store_true", help="use a simulated instrument instead of the serial ports")
    parser.add_argument("--port", action="append", help="probe only this port (repeatable)")
    parser.add_argument("--seconds", type=float, default=2.0, help="how long to stream (default 2)")
    parser.add_argument("--csv", default="samples.csv", help="output file (default samples.csv)")
    parser.add_argument("--fast", action="store_true",
                        help="first set 38400 samples/s (PLX310 Plus Prime only; three-byte packets)")
    parser.add_argument("-v", "--verbose", action="store_true", help="show the module's log records")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.CRITICAL,
                        format="%(levelname)s %(name)s: %(message)s")

    with simulated_instrument() if args.sim else contextlib.nullcontext():
        devices = vexlo.VexloSerialScanner.discover_devices(comports=args.port)
        if not devices:
            print("no instruments found", file=sys.stderr)
            return 1
        device, others = devices[0], devices[1:]
        for other in others:
            other.disconnect()
        with device:
            if args.fast:
                device.set_sampling_rate(vexlo.PLX310SamplingRateEnum.SPS_38400)
            unit = device.get_unit_of_measure(0).name
            with open(args.csv, "w", newline="") as file:
                writer = csv.writer(file)
                writer.writerow(("sample", "adc_count", f"value_{unit}"))
                samples = stream(device, args.seconds, writer.writerow)
    print(f"{samples} samples in {args.seconds:g} s written to {args.csv}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Stream calibrated samples from a Vexlo instrument into a CSV file.

    python examples/stream_to_csv.py --seconds 5 --csv samples.csv
    python examples/stream_to_csv.py --port /dev/ttyUSB0 --fast     # PLX310 Plus Prime at 38400 samples/s
    python examples/stream_to_csv.py --sim --fast

An Acquisition reads the port on a thread of its own, so the loop here may
be as slow as it likes: the samples wait in the acquisition's buffer, in
arrays, and every block says how many samples were lost, if any. The file is
written as `vexlo record` writes one: the instrument's provenance in `#`
lines, then time_s,adc,value rows, then the loss counters
(`vexlo_tools.recording.load` reads it back).
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import math
import sys
import time
from datetime import datetime, timezone
from typing import ContextManager, List, Optional

from vexlo_device_communication import VexloConnectionError
from vexlo_tools import Acquisition, find_devices, recording

POLL_SECONDS = 0.01


def simulated_instrument() -> ContextManager[object]:
    """A PLX310 Plus Prime under a swinging load, on an in-process port."""
    from vexlo_tools.sim import SimulatedInstrument, simulated_ports

    plx = SimulatedInstrument.plx310_plus_prime(with_teds=False)  # without a sensor it reads N
    plx.set_load_signal(lambda t: 250.0 + 50.0 * math.sin(2.0 * math.pi * t))
    return simulated_ports({"/dev/ttySIM0": plx})


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
        try:
            devices = find_devices(args.port)
        except VexloConnectionError as error:  # a named port that is no serial port
            print(f"no instruments found: {error}", file=sys.stderr)
            return 1
        if not devices:
            print("no instruments found", file=sys.stderr)
            return 1
        device, others = devices[0], devices[1:]
        for other in others:
            other.disconnect()
        with device:
            # --fast: three-byte packets at 38400 samples/s, chosen by the acquisition.
            with Acquisition([device], rate=38400 if args.fast else None) as acquisition:
                [stream] = acquisition.streams
                provenance = recording.provenance(stream, started=datetime.now(timezone.utc))
                with recording.CSVWriter(args.csv, [provenance], overwrite=True) as writer:
                    deadline = time.monotonic() + args.seconds
                    while time.monotonic() < deadline:
                        time.sleep(POLL_SECONDS)  # or any other work: the acquisition keeps reading
                        writer.write(acquisition.read(timeout=0))
                    acquisition.stop()
                    writer.write(acquisition.read(timeout=0))  # what came until streaming stopped
                    writer.close(acquisition.stats())          # the counters go at the end of the file
            [samples] = writer.samples
            lost = acquisition.stats()[0]
            if lost.overrun or lost.missing:
                print(f"lost: {lost.overrun} dropped by the host, about {lost.missing} never delivered",
                      file=sys.stderr)
    print(f"{samples} samples in {args.seconds:g} s written to {args.csv}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

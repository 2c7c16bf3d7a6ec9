"""Find the Vexlo instruments on the serial ports and print calibrated readings.

    python examples/discover_and_read.py                    # every port, every model
    python examples/discover_and_read.py --port /dev/ttyUSB0 --model PLX310
    python examples/discover_and_read.py --sim              # simulated instruments
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import sys
from typing import ContextManager, List, Optional

import vexlo_device_communication as vexlo


def simulated_instruments() -> ContextManager[object]:
    """A PLX310 Plus Prime and an MVR420 on in-process ports, in place of the serial ports."""
    from vexlo_tools.sim import SimulatedInstrument, simulated_ports

    plx = SimulatedInstrument.plx310_plus_prime(with_teds=False, serial_number=1001)  # without a sensor: N
    plx.set_load(250.0)  # in the units of the selected profile's calibration (N)
    mvr = SimulatedInstrument.mvr420(serial_number=1002)
    mvr.set_load(-12.5)
    return simulated_ports({"/dev/ttySIM0": plx, "/dev/ttySIM1": mvr})


def describe(device: vexlo.VexloDevice) -> str:
    link = device.communication_interface
    return (f"{device.get_model_number()} on {link.comport} at {link.baud_rate} baud: "
            f"serial number {device.get_instrument_serial_number()}, "
            f"firmware {link.get_firmware_version_with_patch()}, "
            f"board {device.get_board_temperature():.1f} °C")


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Find Vexlo instruments and print calibrated readings.")
    parser.add_argument("--sim", action="store_true", help="use simulated instruments instead of the serial ports")
    parser.add_argument("--port", action="append", help="probe only this port (repeatable)")
    parser.add_argument("--model", action="append",
                        help="probe only at this model's baud rates: PLX310, MVR420, DTA530 or HSK640 (repeatable)")
    parser.add_argument("--count", type=int, default=3, help="readings per instrument (default 3)")
    parser.add_argument("-v", "--verbose", action="store_true", help="show the module's log records")
    args = parser.parse_args(argv)
    # Discovery logs every port and baud rate that does not answer; show that only when asked.
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.CRITICAL,
                        format="%(levelname)s %(name)s: %(message)s")

    with simulated_instruments() if args.sim else contextlib.nullcontext():
        # Ports that do not answer are logged and skipped; nothing found is an empty list.
        devices = vexlo.VexloSerialScanner.discover_devices(device_models=args.model, comports=args.port)
        if not devices:
            print("no instruments found", file=sys.stderr)
            return 1
        for device in devices:
            with device:  # closes the port at the end of the block
                print(describe(device))
                unit = device.get_unit_of_measure(0).name
                for _ in range(args.count):
                    print(f"  {device.get_reading(0):10.3f} {unit}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

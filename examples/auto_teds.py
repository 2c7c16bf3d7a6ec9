"""Read a sensor's TEDS data sheet and switch AutoTEDS on, so readings use the TEDS calibration.

    python examples/auto_teds.py                      # the first PLX310 Plus Prime found
    python examples/auto_teds.py --port /dev/ttyUSB0 --restore
    python examples/auto_teds.py --sim

Only the PLX310 Plus Prime (item number QMT31872) reads TEDS sensors. With
AutoTEDS on, the sensor's capacity and rated output (mV/V) become the
calibration; switched off, the instrument's stored calibration returns.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import sys
from typing import ContextManager, List, Optional

import vexlo_device_communication as vexlo

SENSOR_LOAD = 250.0  # N, on the simulated sensor


def simulated_instrument() -> ContextManager[object]:
    """A PLX310 Plus Prime with a TEDS sensor (0 to 1000 N at 2 mV/V), on an in-process port."""
    from vexlo_tools.sim import SimulatedInstrument, TedsSensor, simulated_ports

    sensor = TedsSensor(serial_number=12345, unit_code=4, max_capacity=1000.0, max_electrical=2.0)
    # Its stored calibration measures the bridge output in mV/V, which the
    # TEDS calibration scales to the sensor's capacity.
    plx = SimulatedInstrument.plx310_plus_prime(teds_sensor=sensor)
    plx.set_load(SENSOR_LOAD * sensor.max_electrical / sensor.max_capacity)
    return simulated_ports({"/dev/ttySIM0": plx})


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Read a TEDS sensor and switch AutoTEDS on.")
    parser.add_argument("--sim", action="store_true", help="use a simulated instrument instead of the serial ports")
    parser.add_argument("--port", action="append", help="probe only this port (repeatable)")
    parser.add_argument("--restore", action="store_true", help="switch AutoTEDS off again at the end")
    parser.add_argument("-v", "--verbose", action="store_true", help="show the module's log records")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.CRITICAL,
                        format="%(levelname)s %(name)s: %(message)s")

    with simulated_instrument() if args.sim else contextlib.nullcontext():
        devices = vexlo.VexloSerialScanner.discover_devices(device_models=["PLX310"], comports=args.port)
        found = next((d for d in devices if d.supports_teds()), None)
        for other in devices:
            if other is not found:
                other.disconnect()
        if found is None:
            print("no PLX310 Plus Prime found", file=sys.stderr)
            return 1
        with found as device:
            if not device.teds_is_connected():
                print("no TEDS sensor is plugged in", file=sys.stderr)
                return 1
            print(f"AutoTEDS is {'on' if device.get_auto_teds() else 'off'}")
            print(f"stored calibration: {device.get_reading(0):.4f} {device.get_unit_of_measure(0).name}")
            # TEDS reads are more reliable at the lowest sampling rate; the
            # post step waits 3 s for the instrument and restores the rate.
            device.pre_teds_operations()
            try:
                device.set_auto_teds(True)  # switches the instrument, then loads the TEDS data
            finally:
                device.post_teds_operations()
            try:
                unit = device.get_teds_engineering_unit()
                print(f"TEDS sensor {device.get_teds_serial_number()} (template {device.get_teds_template()}), "
                      f"capacity {device.get_teds_max_capacity():g} {unit}")
            except vexlo.VexloTEDSNotConnectedError:
                # Loading failures are logged, not raised: -v shows why.
                print("the TEDS data could not be loaded", file=sys.stderr)
                return 1
            print(f"TEDS calibration:   {device.get_reading(0):.4f} {unit}")
            if args.restore:
                device.set_auto_teds(False)
                print(f"AutoTEDS off again: {device.get_reading(0):.4f} {device.get_unit_of_measure(0).name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

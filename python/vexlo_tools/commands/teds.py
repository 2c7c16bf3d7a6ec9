"""vexlo teds: show the TEDS sensor's data; switch AutoTEDS.

Show the TEDS data of the sensor connected to a PLX310 Plus Prime (serial number, template, unit,
capacity) and the AutoTEDS switch; --auto switches it. TEDS work runs at the lowest sampling rate
and the rate is restored after a 3 s pause.
"""

from __future__ import annotations

import argparse
import contextlib
from typing import TYPE_CHECKING, List

from . import _console, _device_options

if TYPE_CHECKING:
    import vexlo_device_communication as vexlo


def options(parser: argparse.ArgumentParser) -> None:
    _device_options.add(parser)
    parser.add_argument("--auto", choices=("on", "off"), help="switch AutoTEDS on or off first")


def teds_lines(device: vexlo.VexloDevice) -> List[str]:
    """The TEDS data lines of a device with TEDS data loaded."""
    unit = device.get_teds_engineering_unit()
    return [
        f"  serial number  {device.get_teds_serial_number()}",
        f"  template       {device.get_teds_template()}",
        f"  unit           {unit}",
        f"  capacity       {device.get_teds_max_capacity():g} {unit}",
    ]


def run(args: argparse.Namespace) -> int:
    import vexlo_device_communication as vexlo
    from ..acquisition import port_of
    from . import _instruments, _teds

    with _instruments.one_device(args) as device:
        model = device.get_model_number()
        # Raises the module's "not supported" error on an instrument without TEDS.
        connected = device.teds_is_connected()
        work = args.auto is not None or connected
        with _teds.teds_bracket(device) if work else contextlib.nullcontext():
            if args.auto is not None:
                try:
                    device.set_auto_teds(args.auto == "on")
                except vexlo.VexloTEDSNotConnectedError as error:
                    raise _console.CliError(f"AutoTEDS is now on, but: {error}") from error
            if connected and not _teds.loaded(device):
                device.reload_teds_data()
        auto = device.get_auto_teds()
        _console.out(f"TEDS on {port_of(device)} ({model} {_instruments.item_number(device)})")
        _console.out(f"  sensor         {'connected' if connected else 'not connected'}")
        _console.out(f"  AutoTEDS       {'on' if auto else 'off'}")
        if not connected:
            return 0
        if not _teds.loaded(device):
            raise _console.CliError("the TEDS data of the connected sensor could not be read (-v shows why)")
        for line in teds_lines(device):
            _console.out(line)
    if args.auto is not None and getattr(args, "sim", False):
        _console.note("(--sim instruments last for one command: the next starts with AutoTEDS off again; "
                      "vexlo sim serves instruments that keep it)")
    return 0

"""vexlo scan: find instruments on the serial ports and list them.

Probe the serial ports for Vexlo instruments and list those that answer. A port that does not answer
costs several seconds per baud rate: name models or ports to shorten the scan.
"""

from __future__ import annotations

import argparse
import contextlib
from typing import Callable, List, Sequence

from . import _console, _device_options

HEADINGS = ("PORT", "BAUD", "MODEL", "ITEM", "SERIAL", "FIRMWARE")


def options(parser: argparse.ArgumentParser) -> None:
    _device_options.add_model(parser)
    parser.add_argument("--port", action="append", metavar="P", help="probe only port P; repeatable")


def _field(query: Callable[[], object]) -> str:
    import vexlo_device_communication as vexlo

    try:
        return str(query())
    except vexlo.VexloDeviceError:
        return "?"


def table(rows: Sequence[Sequence[str]]) -> List[str]:
    """Rows laid out in columns under ``HEADINGS``."""
    rows = [HEADINGS] + [tuple(row) for row in rows]
    widths = [max(len(row[i]) for row in rows) for i in range(len(HEADINGS))]
    return ["  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() for row in rows]


def run(args: argparse.Namespace) -> int:
    from ..devices import discover, not_found_message
    from ..acquisition import port_of
    from . import _instruments

    devices, failures = discover(args.model, args.port)
    if not devices:
        _console.note(not_found_message(args.port, failures))
        return 1
    with contextlib.ExitStack() as stack:
        for device in devices:
            stack.enter_context(device)
        rows = [(
            port_of(device),
            _instruments.baud_of(device),
            _field(device.get_model_number),
            _field(lambda: _instruments.item_number(device)),
            _field(device.get_instrument_serial_number),
            _field(lambda: _instruments.firmware_version(device)),
        ) for device in devices]
    for line in table(rows):
        _console.out(line)
    _console.out(f"{len(devices)} instrument{'s' if len(devices) != 1 else ''} found")
    return 0

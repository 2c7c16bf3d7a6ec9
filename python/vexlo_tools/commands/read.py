"""vexlo read: print calibrated readings with unit and raw count.

Print calibrated readings of one channel, one per line, with the raw ADC count beside each. With the
instrument's AutoTEDS switch on, the sensor's TEDS calibration is used.
"""

from __future__ import annotations

import argparse

from . import _clock, _console, _device_options


def options(parser: argparse.ArgumentParser) -> None:
    _device_options.add(parser)
    parser.add_argument("--channel", type=int, default=0, metavar="N", help="channel number (default 0)")
    parser.add_argument("--count", type=int, default=1, metavar="K",
                        help="number of readings (default 1; 0 reads until Ctrl-C)")
    parser.add_argument("--interval", type=float, default=1.0, metavar="S",
                        help="seconds between readings (default 1)")


def reading_line(value: float, unit: str, raw: int) -> str:
    return f"{value:.4f} {unit}\traw {raw}"


def run(args: argparse.Namespace) -> int:
    from ..acquisition import converter_of, unit_text
    from . import _instruments, _teds

    if not 0 <= args.channel <= 255:
        raise _console.CliError("--channel must lie between 0 and 255")
    if args.count < 0:
        raise _console.CliError("--count must be 0 or more")
    if not args.interval >= 0:
        raise _console.CliError("--interval must be 0 or more")
    with _instruments.one_device(args) as device:
        _teds.load_auto_teds(device)
        converter = converter_of(device)
        unit = unit_text(device, args.channel)
        taken = 0
        try:
            while args.count == 0 or taken < args.count:
                if taken:
                    _clock.sleep(args.interval)
                # One exchange gives the count; the value is converted from that
                # very count, so the two printed side by side belong together.
                raw = device.get_ndr(args.channel)
                _console.out(reading_line(converter.convert_adc(raw), unit, raw))
                taken += 1
        except KeyboardInterrupt:
            if args.count:
                raise
            # Ctrl-C is how reading without a count ends.
    return 0

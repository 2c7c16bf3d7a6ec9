"""vexlo info: show one instrument in full.

Show an instrument's identity, board temperature, each channel's selected profile (sampling rate,
unit, loading points, direction code) and its TEDS state.
"""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING

from .. import models
from . import _console, _device_options

if TYPE_CHECKING:
    import vexlo_device_communication as vexlo

DIRECTION_CODES = {0: "one direction", 1: "two directions"}


def options(parser: argparse.ArgumentParser) -> None:
    _device_options.add(parser)
    parser.add_argument("--channels", type=int, default=2, metavar="N",
                        help="channels to show, from 0 (default 2; stops at the first that does not answer)")


def board_temperature_text(celsius: float) -> str:
    return f"{celsius:.1f} °C"


def run(args: argparse.Namespace) -> int:
    import vexlo_device_communication as vexlo
    from ..acquisition import port_of
    from . import _instruments

    if args.channels < 1:
        raise _console.CliError("--channels must be 1 or more")
    with _instruments.one_device(args) as device:
        model = device.get_model_number()
        item = _instruments.item_number(device)
        edition = " (Plus Prime)" if models.is_plus_prime(model, item) else ""
        _console.out(f"Instrument on {port_of(device)} at {_instruments.baud_of(device)} baud")
        _console.out(f"  model              {model}")
        _console.out(f"  item number        {item}{edition}")
        _console.out(f"  serial number      {device.get_instrument_serial_number()}")
        _console.out(f"  firmware           {_instruments.firmware_version(device)}")
        _console.out(f"  board temperature  {board_temperature_text(device.get_board_temperature())}")
        for channel in range(args.channels):
            try:
                profile = device.get_device_channel_selected_profile(channel)
            except vexlo.VexloTimeoutError:
                if channel == 0:
                    raise
                _console.out(f"Channel {channel}: no answer (the instrument has {channel} channel"
                             f"{'s' if channel != 1 else ''})")
                break
            _show_channel(device, model, channel, profile)
        _show_teds(device)
    return 0


def _show_channel(device: vexlo.VexloDevice, model: str, channel: int, profile: int) -> None:
    _console.out(f"Channel {channel}: profile {profile}")
    code = device.get_sampling_rate(channel)
    _console.out(f"  sampling rate      {models.describe_rate(model, code)}")
    try:
        unit = models.unit_symbol(device.get_unit_of_measure(channel).name)
    except ValueError:
        unit = "(unknown unit code)"
    _console.out(f"  unit               {unit}")
    direction = device.get_number_of_directions(channel)
    _console.out(f"  direction code     {direction} ({DIRECTION_CODES.get(direction, 'direction 1 only')})")
    points = device.get_number_of_loading_points(channel)
    if not 1 <= points <= models.MAX_LOADING_POINTS:
        _console.out(f"  loading points     {points} per direction (not a valid calibration)")
        return
    _console.out(f"  loading points     {points} per direction")
    for number in (1, 2):
        first = (number - 1) * points
        pairs = []
        for index in range(first, first + points):
            load = device.get_load_of_loading_point(index, channel)
            count = device.get_loading_point_value(index, channel)
            pairs.append(f"{load:g} {unit} @ {count}")
        _console.out(f"    direction {number}      " + ", ".join(pairs))


def _show_teds(device: vexlo.VexloDevice) -> None:
    if not device.supports_teds():
        _console.out("TEDS: not supported on this instrument")
        return
    connected = device.teds_is_connected()
    auto = device.get_auto_teds()
    _console.out("TEDS: supported")
    _console.out(f"  sensor             {'connected' if connected else 'not connected'}")
    _console.out(f"  AutoTEDS           {'on' if auto else 'off'}")

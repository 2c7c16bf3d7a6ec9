"""The instruments a command works on: found on the ports the options name, opened, closed, described.

A command that finds nothing says, per port, why
(:func:`vexlo_tools.devices.discover`).
"""

from __future__ import annotations

import argparse
import contextlib
from typing import Iterator, List, Optional

import vexlo_device_communication as vexlo

from .. import session
from ..acquisition import port_of
from ._console import note


def port_list(args: argparse.Namespace) -> Optional[List[str]]:
    """The ports ``--port`` names (given once or repeated), or ``None`` for every port."""
    port = getattr(args, "port", None)
    if not port:
        return None
    return [port] if isinstance(port, str) else list(port)


@contextlib.contextmanager
def one_device(args: argparse.Namespace) -> Iterator[vexlo.VexloDevice]:
    """The instrument a command works on: the first found on the ``--port`` ports, else on any.

    Every other device found is closed at once; the chosen one is closed
    when the block ends, also on error or Ctrl-C. The module's errors from
    within the block name the instrument.
    """
    with devices_found(args, first_only=True) as (device,):
        name = f"{device.get_model_number()} {device.get_instrument_serial_number()} on {port_of(device)}"
        try:
            yield device
        except vexlo.VexloDeviceError as error:
            if str(error).startswith(name):
                raise
            raise type(error)(f"{name}: {error}") from error


@contextlib.contextmanager
def devices_found(args: argparse.Namespace, *, first_only: bool = False) -> Iterator[List[vexlo.VexloDevice]]:
    """The open instruments on the ``--port`` ports (or every port), closed when the block ends.

    :param first_only: keep the first instrument found and close the others.
    :raises vexlo_tools.devices.NoInstrumentError: nothing found (the message says where it looked).
    """
    with session.instruments(port_list(args), getattr(args, "model", None), first_only=first_only,
                             auto_teds=False, note=note) as devices:
        yield devices


def baud_of(device: vexlo.VexloDevice) -> str:
    return str(getattr(device.communication_interface, "baud_rate", "?"))


def item_number(device: vexlo.VexloDevice) -> str:
    return device.communication_interface.get_item_number()


def firmware_version(device: vexlo.VexloDevice) -> str:
    return device.communication_interface.get_firmware_version_with_patch()

"""TEDS work in the commands: the device's own rate bracket around it, and AutoTEDS on opening."""

from __future__ import annotations

import contextlib
from typing import Iterator

import vexlo_device_communication as vexlo

from .. import _lowlevel
from ._console import note


@contextlib.contextmanager
def teds_bracket(device: vexlo.VexloDevice) -> Iterator[None]:
    """Run TEDS work in the device's bracket: at the lowest sampling rate, then a settling pause and the rate back.

    The rate goes back whatever happens inside; after Ctrl-C, in the work
    or in the pause, at once. A rate that cannot be put back is raised
    after work that went well, and noted on standard error after work that
    failed (whose error goes on).
    """
    device.pre_teds_operations()
    try:
        yield
    except BaseException as error:
        _end(device, pause=not isinstance(error, KeyboardInterrupt), quiet=True)
        raise
    _end(device, pause=True, quiet=False)


def _end(device: vexlo.VexloDevice, *, pause: bool, quiet: bool) -> None:
    try:
        if not pause:
            _lowlevel.put_teds_rate_back(device)
            return
        try:
            device.post_teds_operations()
        except KeyboardInterrupt:
            # The device's end pauses first and was cut short: the rate still goes back.
            _lowlevel.put_teds_rate_back(device)
            raise
    except vexlo.VexloDeviceError as error:
        if not quiet:
            raise
        note(f"vexlo: could not restore the sampling rate: {error}")


def load_auto_teds(device: vexlo.VexloDevice) -> bool:
    """When the instrument's AutoTEDS switch is on, load the sensor's TEDS calibration.

    Returns whether TEDS data is now loaded. A device without TEDS is left alone.
    """
    if not device.supports_teds() or not device.get_auto_teds():
        return False
    with teds_bracket(device):
        device.initialize_teds()
    return loaded(device)


def loaded(device: vexlo.VexloDevice) -> bool:
    """Whether the device holds TEDS data (asks nothing of the instrument)."""
    try:
        device.get_teds_serial_number()
    except vexlo.VexloTEDSError:
        return False
    return True

"""TEDS work in the commands: the device's own rate bracket around it, and AutoTEDS on opening, told on standard error."""

from __future__ import annotations

from typing import ContextManager

import vexlo_device_communication as vexlo

from .. import devices
from ..devices import teds_loaded as loaded
from ._console import note

__all__ = ["load_auto_teds", "loaded", "teds_bracket"]


def teds_bracket(device: vexlo.VexloDevice) -> ContextManager[None]:
    """:func:`vexlo_tools.devices.teds_bracket`, a rate that cannot go back noted on standard error."""
    return devices.teds_bracket(device, note)


def load_auto_teds(device: vexlo.VexloDevice) -> bool:
    """:func:`vexlo_tools.devices.load_auto_teds`, a rate that cannot go back noted on standard error."""
    return devices.load_auto_teds(device, note)

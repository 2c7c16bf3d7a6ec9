"""Companion tools for ``vexlo_device_communication``.

``vexlo_tools.sim`` simulates Vexlo instruments, in-process and on
pseudo-terminals, so that code driving the instruments can be developed
and tested without hardware. ``vexlo_tools.cli`` is the ``vexlo`` command:
scan, info, read, stream, teds, sim and demo, each also runnable against
simulated instruments with ``--sim``.

The toolkit: :func:`find_devices` finds instruments on every port at once
(named ports the system does not list included, instruments left streaming
recovered); :class:`Acquisition` streams from them continuously into numpy
arrays, with exact loss counters.
"""

import pkgutil

# In-place builds put the native helper in a vexlo_tools folder of their own.
__path__ = pkgutil.extend_path(__path__, __name__)

from .acquisition import Acquisition, Block, Stats, StreamInfo
from .devices import find_devices

__all__ = ["Acquisition", "Block", "Stats", "StreamInfo", "find_devices"]

"""Companion tools for ``vexlo_device_communication``.

``vexlo_tools.sim`` simulates Vexlo instruments, in-process and on
pseudo-terminals, so that code driving the instruments can be developed
and tested without hardware. ``vexlo_tools.cli`` is the ``vexlo`` command:
scan, info, read, stream, teds, sim, demo, record, plot, monitor and serve, each
instrument command also runnable against simulated instruments with ``--sim``.

The toolkit: :func:`find_devices` finds instruments on every port at once
(named ports the system does not list included, instruments left streaming
recovered); :class:`Acquisition` streams from them continuously into numpy
arrays, with exact loss counters; :mod:`vexlo_tools.recording` writes what
it delivers into files that carry their provenance (HDF5, CSV) and reads
them back; :mod:`vexlo_tools.plot` draws them, :mod:`vexlo_tools.monitor`
shows instruments live in a terminal and :func:`serve` in a browser.
"""

import importlib
import os
import sys
from typing import TYPE_CHECKING, Any, List

# In-place builds put the native helper in a vexlo_tools folder of their own, found on sys.path as
# pkgutil.extend_path finds folders (not imported: it costs the command line's help a tenth of its time).
__path__ += [folder for folder in (os.path.join(entry, __name__) for entry in sys.path if isinstance(entry, str))
             if os.path.isdir(folder) and folder not in __path__]

if TYPE_CHECKING:
    from .acquisition import Acquisition
    from .devices import find_devices
    from .engine import Engine, Sink
    from .types import Block, Stats, StreamEnd, StreamInfo
    from .web import serve

__all__ = ["Acquisition", "Block", "Engine", "Sink", "Stats", "StreamEnd", "StreamInfo", "find_devices", "serve"]

# The toolkit's names are imported on first use: the simulator (and the
# pytest plugin inside it) is part of this package and must not load the
# extension module, or numpy, just by being imported.
_LAZY = {"Acquisition": "acquisition", "Block": "types", "Stats": "types", "StreamEnd": "types",
         "StreamInfo": "types", "Engine": "engine", "Sink": "engine", "find_devices": "devices",
         "serve": "web"}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(__all__))

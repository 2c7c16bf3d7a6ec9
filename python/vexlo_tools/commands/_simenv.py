"""Simulated instruments for ``--sim`` and ``vexlo sim``.

The ``MODEL[:options]`` choices are the simulator's own
(:mod:`vexlo_tools.sim.choices`), shared with ``python -m vexlo_tools.sim``;
this module puts them on in-process ports on the command line's clock.
"""

from __future__ import annotations

import contextlib
from typing import Dict, Iterator, Sequence

from ..sim import SimulatedInstrument, simulated_ports
# build_instruments is looked up here when used (by `vexlo sim` too), so that tests can replace it.
from ..sim.choices import InstrumentChoice, build_instruments as build_instruments
from . import _clock


@contextlib.contextmanager
def in_process(choices: Sequence[InstrumentChoice]) -> Iterator[Dict[str, SimulatedInstrument]]:
    """Serve the instruments on in-process ports ``sim0``, ``sim1``, ... for discovery to find."""
    instruments = {f"sim{i}": inst for i, inst in enumerate(build_instruments(choices))}
    with simulated_ports(instruments, clock=lambda: _clock.clock()):
        yield instruments

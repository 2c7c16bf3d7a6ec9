"""Simulated instruments for ``--sim`` and ``vexlo sim``.

The ``MODEL[:options]`` choices are the simulator's own
(:mod:`vexlo_tools.sim.choices`), shared with ``python -m vexlo_tools.sim``;
this module puts them on in-process ports on the command line's clock.
"""

from __future__ import annotations

import contextlib
from typing import Dict, Iterator, Sequence

from ..sim import SimulatedInstrument, simulated_ports
from ..sim.choices import (
    DEFAULT_INSTRUMENTS as DEFAULT_INSTRUMENTS,
    PRESETS as PRESETS,
    UNIT_MVV as UNIT_MVV,
    InstrumentChoice as InstrumentChoice,
    build_instruments as build_instruments,
    calibrate_electrically as calibrate_electrically,
    choices_or_default as choices_or_default,
    parse_instrument as parse_instrument,
    sensor_output as sensor_output,
    set_sensor_load as set_sensor_load,
)
from . import _clock


@contextlib.contextmanager
def in_process(choices: Sequence[InstrumentChoice]) -> Iterator[Dict[str, SimulatedInstrument]]:
    """Serve the instruments on in-process ports ``sim0``, ``sim1``, ... for discovery to find."""
    instruments = {f"sim{i}": inst for i, inst in enumerate(build_instruments(choices))}
    with simulated_ports(instruments, clock=lambda: _clock.clock()):
        yield instruments

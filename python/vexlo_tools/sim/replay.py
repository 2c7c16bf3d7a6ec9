"""Replaying recordings: instruments that stream a recorded measurement again.

:func:`replay_instruments` reads a recording (``.h5`` or ``.csv``, as
``vexlo record`` writes them) through :func:`vexlo_tools.recording.load`
and makes, for each recorded instrument, a :class:`SimulatedInstrument` of
its model, item number, serial number, firmware, sampling rate, unit and
calibration, whose channel 0 streams the recorded values at the recorded
times: each converted back to a count through that calibration, so that
a recording of the replay equals the original within one count. Where
the recording has a gap (samples the host lost), the replay sends
nothing for as long. At the end it stops sending, or starts over (``loop``).
"""

from __future__ import annotations

import dataclasses
import os
from typing import Any, Dict, List, Union

from .instrument import Profile, SimulatedInstrument
from .signals import Replay
from .units import profile_unit_code

__all__ = ["Replay", "replay_instruments"]

# The converter's points in a recording's metadata, in the order of a profile's loading points.
_POINTS = tuple(f"direction_{d}_{point}" for d in (1, 2) for point in ("offset", "fullscale"))


def _firmware(text: str) -> List[int]:
    # Recordings write it as the module reports it, "04.03.02".
    parts = text.split(".")
    if len(parts) != 3 or not all(p.isdigit() and int(p) <= 255 for p in parts):
        raise ValueError(f"firmware {text!r} is not A.B.C")
    return [int(p) for p in parts]


def replay_instruments(path: Union[str, "os.PathLike[str]"], *, loop: bool = False,
                       **options: Any) -> Dict[str, SimulatedInstrument]:
    """Instruments that stream the recording ``path`` again: its name in the recording -> instrument, in file order.

    :param loop: start over at the end of the recording rather than stop.
    :param options: more :class:`SimulatedInstrument` parameters
        (``noise_counts``, ``seed``, ``t0``, ``clock_error_ppm``).
    :raises ValueError: not a recording, or one without what a replay
        needs (model, serial number, rate, unit, calibration, samples).
    :raises FileNotFoundError: no such file.
    :raises vexlo_tools._extras.MissingExtraError: reading HDF5 needs h5py.
    """
    from ..recording import load  # when used: importing the simulator loads no recording code

    instruments: Dict[str, SimulatedInstrument] = {}
    for data in load(path):
        where = f"{os.fspath(path)}: instrument {data.name}"
        meta = data.metadata
        try:
            loads = [float(meta[f"{point}_load"]) for point in _POINTS]
            counts = [int(float(meta[f"{point}_count"])) for point in _POINTS]
            profile = Profile(loads=loads, counts=counts, direction_code=int(meta["direction_code"]),
                              sampling_rate_code=int(meta["rate_code"]),
                              unit_code=profile_unit_code(str(meta["unit"])))
            instrument = SimulatedInstrument(
                str(meta["model"]), str(meta["item_number"]), serial_number=int(meta["serial_number"]),
                firmware_version=_firmware(str(meta["firmware"])),
                profiles=[profile] + [dataclasses.replace(profile) for _ in range(7)], **options)
            profile.exact_count(0.0)  # a calibration that turns loads into counts
            replay = Replay(data.time, data.value, float(meta["samples_per_second"]), loop)
        except KeyError as exc:
            raise ValueError(f"{where}: the recording has no {exc.args[0]}, which a replay needs") from None
        except ValueError as exc:
            raise ValueError(f"{where}: {exc}") from None
        instrument.set_load_signal(replay)
        instruments[data.name] = instrument
    return instruments

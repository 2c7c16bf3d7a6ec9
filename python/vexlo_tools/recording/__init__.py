"""Recordings: files that carry their provenance, written while acquiring and read back.

- :func:`open_writer` chooses a writer by the output's suffix (``.h5``,
  ``.csv``; :data:`WRITERS` lists them) and :func:`check_output` checks a
  path before any instrument is probed.
- :func:`provenance` gathers what a file says about an instrument.
- :func:`record` writes what an acquisition delivers into a file.
- :func:`load` reads a recording of either format back (a run in parts joined, times on the
  host's time base on request).
- :class:`RecordingSink` writes a recording (in parts, given a :class:`Split`), :class:`TriggerSink` one recording per event,
  :class:`LimitSink` raises alarms; :mod:`.timebase` estimates each instrument's clock.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, Iterator, List, Union

import numpy as np
import numpy.typing as npt

from .._extras import require, software_version
from . import csvfile, hdf5
from .conditions import Condition, Crossings
from .csvfile import CSVWriter
from .hdf5 import HDF5Writer
from .limits import LimitEvent, LimitListener, LimitSink
from .parts import Split, numbered_path, part_sources
from .provenance import provenance
from .recorder import Progress, RecordingSink, record
from .timebase import ClockEstimate, ClockFit, aligned_times
from .triggers import TriggerSink
from .writers import (COUNTERS, WRITERS, Metadata, MetadataValue, Source, Writer, check_metadata, check_output,
                      check_path, open_writer, register, writer_class)

__all__ = [
    "COUNTERS",
    "CSVWriter",
    "HDF5Writer",
    "ClockEstimate",
    "ClockFit",
    "Condition",
    "Crossings",
    "InstrumentData",
    "LimitEvent",
    "LimitListener",
    "LimitSink",
    "Metadata",
    "MetadataValue",
    "Progress",
    "Recording",
    "RecordingSink",
    "Source",
    "Split",
    "TriggerSink",
    "WRITERS",
    "Writer",
    "check_metadata",
    "check_output",
    "check_path",
    "csvfile",
    "hdf5",
    "load",
    "numbered_path",
    "open_writer",
    "part_sources",
    "provenance",
    "record",
    "register",
    "software_version",
    "writer_class",
]


@dataclass
class InstrumentData:
    """One instrument's samples and provenance.

    :ivar name: its name in the file (the serial number).
    :ivar time: seconds since streaming started (float64).
    :ivar adc: raw ADC counts (uint32).
    :ivar value: calibrated values (float64), in ``metadata["unit"]``.
    :ivar metadata: provenance and counters.
    """

    name: str
    time: npt.NDArray[np.float64]
    adc: npt.NDArray[np.uint32]
    value: npt.NDArray[np.float64]
    metadata: Metadata = field(default_factory=dict)

    @property
    def events(self) -> List[Dict[str, Any]]:
        """The events the file holds for the instrument (limits crossed), oldest first."""
        events: List[Dict[str, Any]] = json.loads(str(self.metadata.get("events", "[]")))
        return events

    @property
    def clock(self) -> Union[ClockEstimate, None]:
        """The estimate of the instrument's clock against the host's, when the file holds one."""
        ppm, offset = self.metadata.get("clock_error_ppm"), self.metadata.get("clock_offset_s")
        if isinstance(ppm, float) and isinstance(offset, float):
            return ClockEstimate(ppm, offset, 0)
        return None

    def dataframe(self) -> Any:
        """The samples as a pandas DataFrame (columns ``time_s``, ``adc``, ``value``; metadata in ``attrs``).

        :raises vexlo_tools._extras.MissingExtraError: pandas is not installed.
        """
        pandas = require("pandas", "pandas", "a DataFrame")
        frame = pandas.DataFrame({"time_s": self.time, "adc": self.adc, "value": self.value})
        frame.attrs.update(self.metadata)
        return frame


@dataclass
class Recording:
    """A recording read back: its instruments by name, in file order."""

    path: Path
    instruments: Dict[str, InstrumentData]

    def __iter__(self) -> Iterator[InstrumentData]:
        return iter(self.instruments.values())


def load(path: Union[str, os.PathLike[str]], *, parts: bool = False, aligned: bool = False) -> Recording:
    """Read a recording (``.h5`` or ``.csv``, by suffix) into numpy arrays.

    A CSV recording of several instruments is given by the name it was
    recorded under (``run.csv`` for ``run-SERIAL.csv`` files). A recording
    that was killed reads as far as it was flushed; its metadata then says
    ``complete: False``.

    :param parts: join the parts of a run recorded in parts (see :class:`RecordingSink`): ``path`` is the
        first part (``run.part0001.h5``) or the run's name (``run.h5``); the instruments' samples,
        events and counters over every part, their metadata ``parts`` saying how many.
    :param aligned: give every instrument's times on the host's time base, from one origin (the
        earliest instrument's sample zero), with the clock estimates the file holds (see
        :mod:`vexlo_tools.recording.timebase`); ``metadata["time_base"]`` then says ``"host"``.
    :raises ValueError: unknown suffix, or not a recording; with ``aligned``, an instrument without a
        clock estimate.
    :raises FileNotFoundError: no such file.
    :raises vexlo_tools._extras.MissingExtraError: the format's library is missing.
    """
    target = Path(path)
    with (part_sources(target) if parts else writer_class(target).sources(target)) as sources:
        instruments: Dict[str, InstrumentData] = {}
        for source in sources:
            time, adc, value = source.read(0, source.length, True)
            instruments[source.name] = InstrumentData(source.name, time, adc, value, dict(source.metadata))
    if aligned:
        found = list(instruments.values())
        try:
            times = aligned_times([i.time for i in found], [i.clock for i in found])
        except ValueError as error:
            raise ValueError(f"{os.fspath(path)}: {error}") from None
        for instrument, time in zip(found, times):
            instrument.time = time
            instrument.metadata["time_base"] = "host"
    return Recording(target, instruments)

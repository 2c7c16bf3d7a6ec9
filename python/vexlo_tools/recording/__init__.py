"""Recordings: files that carry their provenance, written while acquiring and read back.

- :func:`open_writer` chooses a writer by the output's suffix (``.h5``,
  ``.csv``; :data:`WRITERS` lists them) and :func:`check_output` checks a
  path before any instrument is probed.
- :func:`provenance` gathers what a file says about an instrument.
- :func:`record` writes what an acquisition delivers into a file.
- :func:`load` reads a recording of either format back.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, Iterator, Union

import numpy as np
import numpy.typing as npt

from .._extras import require, software_version
from . import csvfile, hdf5
from .csvfile import CSVWriter
from .hdf5 import HDF5Writer
from .provenance import provenance
from .recorder import Progress, RecordingSink, record
from .writers import (COUNTERS, WRITERS, Metadata, MetadataValue, Source, Writer, check_metadata, check_output,
                      check_path, open_writer, register, writer_class)

__all__ = [
    "COUNTERS",
    "CSVWriter",
    "HDF5Writer",
    "InstrumentData",
    "Metadata",
    "MetadataValue",
    "Progress",
    "Recording",
    "RecordingSink",
    "Source",
    "WRITERS",
    "Writer",
    "check_metadata",
    "check_output",
    "check_path",
    "csvfile",
    "hdf5",
    "load",
    "open_writer",
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


def load(path: Union[str, os.PathLike[str]]) -> Recording:
    """Read a recording (``.h5`` or ``.csv``, by suffix) into numpy arrays.

    A CSV recording of several instruments is given by the name it was
    recorded under (``run.csv`` for ``run-SERIAL.csv`` files). A recording
    that was killed reads as far as it was flushed; its metadata then says
    ``complete: False``.

    :raises ValueError: unknown suffix, or not a recording.
    :raises FileNotFoundError: no such file.
    :raises vexlo_tools._extras.MissingExtraError: the format's library is missing.
    """
    target = Path(path)
    with writer_class(target).sources(target) as sources:
        instruments: Dict[str, InstrumentData] = {}
        for source in sources:
            time, adc, value = source.read(0, source.length, True)
            instruments[source.name] = InstrumentData(source.name, time, adc, value, dict(source.metadata))
    return Recording(target, instruments)


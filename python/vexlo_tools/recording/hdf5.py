"""Recordings in HDF5, through h5py.

Layout (version 1), readable with any HDF5 library:

- root attributes ``layout`` ("vexlo recording"), ``layout_version`` (1),
  ``complete`` (true once the recording ended cleanly);
- one group per instrument, named by its serial number, with the datasets
  ``time`` (float64, seconds since streaming started), ``adc`` (uint32) and
  ``value`` (float64), one-dimensional, chunked and resizable;
- the group's attributes: the provenance (model, item number, rate,
  calibration, ...), the counters ``received``, ``overrun``, ``missing``,
  ``corrupted``, and ``samples``, the number of samples the file is known
  to hold.

The file is written in single-writer/multiple-reader mode: the library then
orders what it puts on disk so that the file stays consistent at every
flush, and a recording killed mid-write still opens with all that was
flushed (``samples`` says how much). Such a file carries a "still open"
mark: h5py opens it with ``swmr=True`` (as :func:`vexlo_tools.recording.load`
does), and ``h5clear -s FILE`` removes the mark for other tools.
"""

from __future__ import annotations

import contextlib
import os
from datetime import datetime, timezone
from pathlib import Path
from types import ModuleType
from typing import Any, Dict, Iterator, List, Sequence, Union

import numpy as np
import numpy.typing as npt

from .._extras import require
from .writers import COUNTERS, Chunk, Metadata, MetadataValue, Source, Writer, register

LAYOUT = "vexlo recording"
LAYOUT_VERSION = 1
#: Samples per chunk of each dataset: about a second of data, within these bounds.
MIN_CHUNK_SAMPLES = 1024
MAX_CHUNK_SAMPLES = 65536
_DATASETS = (("time", np.float64, np.nan), ("adc", np.uint32, 0), ("value", np.float64, np.nan))
_NAMES = tuple(name for name, _, _ in _DATASETS)
#: The oldest file format that single-writer mode allows: HDF5 1.10 and later read it.
LIBVER = ("v110", "latest")


def _h5py() -> ModuleType:
    return require("h5py", "hdf5", "reading and writing .h5 files")


@register
class HDF5Writer(Writer):
    """Appends to chunked, resizable datasets; :meth:`flush` makes what was written durable."""

    suffixes = (".h5", ".hdf5")
    description = "HDF5"

    def __init__(self, path: Union[str, os.PathLike[str]], instruments: Sequence[Metadata], *,
                 overwrite: bool = False) -> None:
        super().__init__(path, instruments, overwrite=overwrite)
        h5py = _h5py()
        self._file = h5py.File(self.path, "w" if overwrite else "w-", libver=LIBVER)
        try:
            self._file.attrs["layout"] = LAYOUT
            self._file.attrs["layout_version"] = LAYOUT_VERSION
            self._file.attrs["complete"] = False
            self._groups = []
            self._datasets: List[Dict[str, Any]] = []
            for name, metadata in zip(self.names, self.metadata):
                sps = metadata.get("samples_per_second")
                chunk = _chunk_samples(float(sps) if isinstance(sps, (int, float)) else 0.0)
                group = self._file.create_group(name)
                for key, value in metadata.items():
                    group.attrs[key] = value
                # Created now: in single-writer mode no attribute can be added later.
                for key in COUNTERS + ("samples",):
                    group.attrs.create(key, 0, dtype=np.int64)
                self._groups.append(group)
                self._datasets.append({
                    key: group.create_dataset(key, shape=(0,), maxshape=(None,), dtype=dtype,
                                              chunks=(chunk,), fillvalue=fill)
                    for key, dtype, fill in _DATASETS})
            self._file.swmr_mode = True
        except BaseException:
            self._file.close()
            raise

    @classmethod
    def check_library(cls) -> None:
        _h5py()

    def _append(self, index: int, chunk: Chunk) -> None:
        arrays: Sequence[npt.NDArray[Any]] = chunk
        for key, data in zip(_NAMES, arrays):
            dataset = self._datasets[index][key]
            end = dataset.shape[0]
            dataset.resize((end + len(data),))
            dataset[end:] = data

    def flush(self) -> None:
        for group, samples, counters in zip(self._groups, self.samples, self.counters):
            group.attrs.modify("samples", samples)
            for key in COUNTERS:
                group.attrs.modify(key, counters[key])
        self._file.flush()

    def _finish(self) -> None:
        self.flush()
        self._file.close()
        # Out of single-writer mode, the attributes of the end can be added.
        with _h5py().File(self.path, "r+", libver=LIBVER) as done:
            done.attrs["complete"] = True
            end = datetime.now(timezone.utc).isoformat(timespec="milliseconds")
            for name in self.names:
                done[name].attrs["end_utc"] = end

    @classmethod
    @contextlib.contextmanager
    def sources(cls, path: Path) -> Iterator[List[Source]]:
        h5py = _h5py()
        if not path.is_file():
            raise FileNotFoundError(f"no such file: {os.fspath(path)}")
        try:
            file = h5py.File(path, "r")
        except OSError as error:
            # A recording that was killed still carries the writer's mark.
            if "already open for write" not in str(error):
                raise
            file = h5py.File(path, "r", libver="latest", swmr=True)
        with file:
            if file.attrs.get("layout") != LAYOUT:
                raise ValueError(f"{os.fspath(path)} is not a vexlo recording (no layout attribute {LAYOUT!r})")
            complete = bool(file.attrs.get("complete", False))
            found = []
            for name, group in file.items():
                datasets = [group[key] for key in _NAMES]
                length = min(d.shape[0] for d in datasets)
                if not complete:
                    # Beyond what was flushed the file may hold fill values.
                    length = min(length, int(group.attrs.get("samples", length)))
                metadata = {key: _python_value(value) for key, value in group.attrs.items()}
                metadata["complete"] = complete
                found.append(Source(name, metadata, length, _reader(datasets)))
            yield found


def _chunk_samples(samples_per_second: float) -> int:
    """A power of two near a second of data: small files at low rates, few chunks at high ones."""
    wanted = max(MIN_CHUNK_SAMPLES, min(MAX_CHUNK_SAMPLES, int(samples_per_second)))
    return 1 << (wanted - 1).bit_length()


def _reader(datasets: Sequence[Any]) -> Any:
    def read(start: int, stop: int, with_adc: bool) -> Chunk:
        time, adc, value = datasets
        return (np.asarray(time[start:stop], np.float64),
                np.asarray(adc[start:stop] if with_adc else (), np.uint32),
                np.asarray(value[start:stop], np.float64))
    return read


def _python_value(value: Any) -> MetadataValue:
    if isinstance(value, bytes):
        return value.decode("utf-8")
    if isinstance(value, np.generic):
        item: MetadataValue = value.item()
        return item
    if isinstance(value, (str, int, float, bool)):
        return value
    return str(value)

"""Recordings in HDF5, through h5py.

Layout (version 2), readable with any HDF5 library:

- root attributes ``layout`` ("vexlo recording"), ``layout_version`` (2),
  ``complete`` (true once every instrument ran to its planned end);
- one group per instrument, named by its serial number, with the
  one-dimensional, chunked, resizable datasets ``adc`` (uint32, attribute
  ``unit`` "counts") and ``value`` (float64, attribute ``unit``, the unit of
  the values), and the times:

  - ``runs`` (int64, two columns) when the instrument's rate is known: one
    row (position in the datasets, sample number) where a run of
    consecutive sample numbers starts, so the first row is (0, first sample
    number) and a new row follows each gap. A sample's time is its sample
    number / ``samples_per_second``, seconds since streaming started;
  - else ``time`` (float64, ``unit`` "s"), the time of each sample;

- the group's attributes: the provenance (model, item number, rate,
  calibration, ...), ``samples`` (how many samples the datasets hold for
  sure), the counters ``received``, ``overrun``, ``missing``, ``corrupted``
  of those samples, and ``end_utc``, ``end_reason``, ``complete`` (empty
  until the instrument's data ended), ``clock_error_ppm`` and
  ``clock_offset_s`` (NaN until the instrument's clock is estimated);
- the dataset ``events`` (fixed-length byte strings): one JSON object a row,
  an event of the instrument (a limit crossed).

With ``compress`` the samples are stored shuffled and deflated (``gzip``),
a filter every HDF5 library reads, in chunks of about a quarter second
(at least 256 samples) that are written whole: a chunk written again would
compress to another size and leave its first copy as a hole in the file.
What waits for its chunk to fill is written at the end, so a killed
compressed recording loses up to a chunk more than an uncompressed one.

The file is written in single-writer/multiple-reader mode: the library then
orders what it puts on disk so that the file stays consistent at every
flush, and a recording killed mid-write still opens with all that was
flushed (``samples`` says how much: it is brought up to date only once the
data it counts is on disk). Such a file carries a "still open" mark: h5py
opens it with ``swmr=True`` (as :func:`vexlo_tools.recording.load` does),
and ``h5clear -s FILE`` removes the mark for other tools. Layout 1 (a
``time`` dataset always, ``complete`` only at the root) is read as well.

Reading checks the file before it reads samples: the layout, that every
member is a group of datasets of the expected ranks and types reached
directly (no links), and that the sizes the datasets declare are backed by
what the file holds.
"""

from __future__ import annotations

import contextlib
import json
import math
import os
from pathlib import Path
from types import ModuleType
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from .._extras import require
from .writers import (COUNTERS, MAX_EVENT_BYTES, NOTED, Chunk, Metadata, MetadataValue, Source, Writer, check_event,
                      register)

LAYOUT = "vexlo recording"
LAYOUT_VERSION = 2
#: Samples per chunk of each dataset: about a second of data, within these bounds.
MIN_CHUNK_SAMPLES = 1024
MAX_CHUNK_SAMPLES = 65536
#: The filter of ``compress``: byte shuffling, then deflate at its fastest level.
COMPRESSION: Dict[str, Any] = {"compression": "gzip", "compression_opts": 1, "shuffle": True}
#: The oldest file format that single-writer mode allows: HDF5 1.10 and later read it.
LIBVER = ("v110", "latest")
#: Appended samples are written to the datasets at each flush, or once this many wait.
PENDING_SAMPLES = 1 << 20
#: A reader refuses chunks larger than this (a hostile file could make one read huge).
MAX_CHUNK_BYTES = 64 << 20
_END = ("end_utc", "end_reason", "complete")


def _h5py() -> ModuleType:
    return require("h5py", "hdf5", "reading and writing .h5 files")


def _rate(metadata: Metadata) -> Optional[float]:
    sps = metadata.get("samples_per_second")
    if isinstance(sps, (int, float)) and not isinstance(sps, bool) and math.isfinite(sps) and sps > 0:
        return float(sps)
    return None


@register
class HDF5Writer(Writer):
    """Appends to chunked, resizable datasets once per :meth:`flush`; :meth:`flush` makes it durable."""

    suffixes = (".h5", ".hdf5")
    description = "HDF5"
    compressible = True

    def _open(self) -> None:
        h5py = _h5py()
        place, new = self._place(self.path)
        self._file = h5py.File(place, "w-" if new else "w", libver=LIBVER)
        self._file.attrs["layout"] = LAYOUT
        self._file.attrs["layout_version"] = LAYOUT_VERSION
        self._file.attrs["complete"] = False
        self._groups: List[Any] = []
        self._datasets: List[Dict[str, Any]] = []
        self._rates = [_rate(m) for m in self.metadata]
        # Per instrument, what waits for the next write: (sample numbers, adc, value) when the rate is
        # known (the times checked and turned into numbers as they come), else (times, adc, value).
        self._pending: List[List[Tuple[npt.NDArray[Any], npt.NDArray[np.uint32], npt.NDArray[np.float64]]]] = [
            [] for _ in self.metadata]
        self._waiting = [0] * len(self.metadata)
        self._stored = [0] * len(self.metadata)
        # What the attributes say now, so that only changes are written.
        self._stored_counters: List[Metadata] = [{} for _ in self.metadata]
        self._next = [-1] * len(self.metadata)
        filters = COMPRESSION if self.compress else {}
        for name, metadata, rate in zip(self.names, self.metadata, self._rates):
            # Compressed, only whole chunks are written: smaller ones, so that little waits.
            chunk = _chunk_samples((rate or 0.0) / 4, 256) if self.compress else _chunk_samples(rate or 0.0)
            group = self._file.create_group(name)
            for key, value in metadata.items():
                group.attrs[key] = value
            # Created now: in single-writer mode no attribute can be added later.
            for key in COUNTERS + ("samples",):
                group.attrs.create(key, 0, dtype=np.int64)
            group.attrs["end_utc"] = group.attrs["end_reason"] = ""
            group.attrs["complete"] = False
            for key in NOTED:
                group.attrs[key] = math.nan
            columns = [("adc", np.uint32, "counts"), ("value", np.float64, str(metadata.get("unit", "")))]
            if rate is None:
                columns.append(("time", np.float64, "s"))
            datasets = {}
            for key, dtype, unit in columns:
                datasets[key] = group.create_dataset(key, shape=(0,), maxshape=(None,), dtype=dtype,
                                                     chunks=(chunk,), **filters)
                datasets[key].attrs["unit"] = unit
            # The events (limits crossed), one JSON object a row, appended as they come.
            datasets["events"] = group.create_dataset("events", shape=(0,), maxshape=(None,),
                                                      dtype=f"S{MAX_EVENT_BYTES}", chunks=(16,))
            if rate is not None:
                datasets["runs"] = group.create_dataset("runs", shape=(0, 2), maxshape=(None, 2), dtype=np.int64,
                                                        chunks=(256, 2))
            self._groups.append(group)
            self._datasets.append(datasets)
        self._file.swmr_mode = True

    @classmethod
    def check_library(cls) -> None:
        _h5py()

    def _handles(self) -> List[int]:
        return [int(self._file.id.get_vfd_handle())]

    def _append(self, index: int, chunk: Chunk) -> None:
        time, adc, value = chunk
        rate = self._rates[index]
        if rate is None:
            self._pend(index, time, adc, value)
            return
        numbers = np.rint(time * rate).astype(np.int64)
        if not np.array_equal(numbers / rate, time):
            raise ValueError(f"instrument {self.names[index]}: its times are not sample numbers / "
                             "samples_per_second")
        self._pend(index, numbers, adc, value)

    def _append_numbered(self, index: int, first: int, rate: float, adc: npt.NDArray[np.uint32],
                         value: npt.NDArray[np.float64]) -> None:
        if rate != self._rates[index]:  # times of another rate: as any times, checked against the file's
            super()._append_numbered(index, first, rate, adc, value)
            return
        self._pend(index, np.arange(first, first + len(adc), dtype=np.int64), adc, value)

    def _pend(self, index: int, time: npt.NDArray[Any], adc: npt.NDArray[np.uint32],
              value: npt.NDArray[np.float64]) -> None:
        self._pending[index].append((time, adc, value))
        self._waiting[index] += len(adc)
        if self._waiting[index] >= PENDING_SAMPLES:
            self._write_pending(index, everything=False)

    def _write_pending(self, index: int, everything: bool = True) -> None:
        """Write what waits, in one append per dataset; compressed, only whole chunks unless
        ``everything``: a chunk written again compresses to another size and would leave its
        first copy as a hole in the file."""
        if not self._pending[index]:
            return
        datasets = self._datasets[index]
        time, adc, value = (np.concatenate([chunk[n] for chunk in self._pending[index]]) for n in range(3))
        count = len(adc)
        if self.compress and not everything:
            count -= count % datasets["adc"].chunks[0]
        self._pending[index] = [(time[count:], adc[count:], value[count:])] if count < len(adc) else []
        self._waiting[index] = len(adc) - count
        if not count:
            return
        if self._rates[index] is None:
            _extend(datasets["time"], time[:count])
        else:
            numbers = time[:count]
            starts = np.flatnonzero(np.diff(numbers) != 1) + 1
            if numbers[0] != self._next[index]:
                starts = np.concatenate(([0], starts))
            if len(starts):
                _extend(datasets["runs"], np.column_stack((self._stored[index] + starts, numbers[starts])))
            self._next[index] = int(numbers[-1]) + 1
        _extend(datasets["adc"], adc[:count])
        _extend(datasets["value"], value[:count])
        self._stored[index] += count

    def _flush(self, everything: bool = False) -> None:
        for index in range(len(self.metadata)):
            self._write_pending(index, everything or bool(self.ends[index]))
            events = self._datasets[index]["events"]
            fresh = self.events[index][events.shape[0]:]
            if fresh:
                _extend(events, np.array([json.dumps(e).encode() for e in fresh], dtype=events.dtype))
        # The samples first, then what counts them: a failure in between leaves counts of durable data.
        self._file.flush()
        for index, group in enumerate(self._groups):
            said = dict(self._stored_counters[index])
            now = {"samples": self._stored[index], **self.counters[index], **self.ends[index], **self.notes[index]}
            for key, value in now.items():
                if said.get(key) != value:
                    group.attrs.modify(key, value)
            self._stored_counters[index] = now
        if all(end.get("complete") for end in self.ends):
            self._file.attrs.modify("complete", True)
        self._file.flush()

    def _finish(self) -> None:
        self._flush(everything=True)
        self._file.close()

    def _abandon(self) -> None:
        # Once only: a second close of a file whose close failed brings the process down.
        file, self._file = getattr(self, "_file", None), None
        if file is None or not file.id.valid:
            return
        # Closing flushes; into a failing file that would fail again, and an HDF5 file that
        # cannot be closed brings the process down at exit. Its writes go nowhere from
        # here on, so it closes, and the file keeps what was flushed before the failure.
        with contextlib.suppress(Exception):
            null = os.open(os.devnull, os.O_RDWR)
            try:
                os.dup2(null, file.id.get_vfd_handle())
            finally:
                os.close(null)
        with contextlib.suppress(Exception):
            file.close()

    @classmethod
    @contextlib.contextmanager
    def sources(cls, path: Path) -> Iterator[List[Source]]:
        h5py = _h5py()
        if not path.is_file():
            raise FileNotFoundError(f"no such file: {os.fspath(path)}")
        where = os.fspath(path)
        try:
            file = h5py.File(path, "r")
        except OSError as error:
            try:
                # A recording that was killed still carries the writer's mark.
                if "already open for write" not in str(error):
                    raise
                file = h5py.File(path, "r", libver="latest", swmr=True)
            except OSError as second:
                raise ValueError(f"{where}: not a readable HDF5 file ({_one_line(second)})") from None
        with file:
            yield _Reader(h5py, file, where, path.stat().st_size).sources()


def _one_line(error: BaseException) -> str:
    return " ".join(str(error).split())[:160]


def _extend(dataset: Any, data: npt.NDArray[Any]) -> None:
    end = dataset.shape[0]
    dataset.resize(end + len(data), axis=0)
    dataset[end:] = data


def _chunk_samples(samples: float, least: int = MIN_CHUNK_SAMPLES) -> int:
    """A power of two near ``samples`` (a second of data): small files at low rates, few chunks at high ones."""
    wanted = max(least, min(MAX_CHUNK_SAMPLES, int(samples)))
    return 1 << (wanted - 1).bit_length()


class _Reader:
    """Checks a file's layout and each instrument's datasets, and makes their sources."""

    def __init__(self, h5py: ModuleType, file: Any, where: str, size: int) -> None:
        self.h5py, self.file, self.where, self.size = h5py, file, where, size

    def fail(self, message: str) -> ValueError:
        return ValueError(f"{self.where}: {message}")

    def sources(self) -> List[Source]:
        attrs = self._attributes(self.file, "the file")
        if attrs.get("layout") != LAYOUT:
            raise self.fail(f"not a vexlo recording (no layout attribute {LAYOUT!r})")
        version = attrs.get("layout_version")
        if version not in (1, 2) or not isinstance(version, int):
            raise self.fail(f"layout version {version!r}; this vexlo reads versions 1 and 2")
        self.version = version
        self.complete = attrs.get("complete") is True
        found = [self._source(name, self._member(self.file, name, self.h5py.Group, "instrument group"))
                 for name in self.file]
        if not found:
            raise self.fail("holds no instrument")
        return found

    def _member(self, parent: Any, name: str, kind: Any, what: str) -> Any:
        link = parent.get(name, getlink=True)
        if link is None:
            return None
        if not isinstance(link, self.h5py.HardLink):
            raise self.fail(f"{parent.name.rstrip('/')}/{name} is a link, not an {what}")
        member = parent[name]
        if not isinstance(member, kind):
            raise self.fail(f"{parent.name.rstrip('/')}/{name} is not an {what}")
        return member

    def _attributes(self, holder: Any, what: str) -> Metadata:
        found: Metadata = {}
        try:
            for key, value in holder.attrs.items():
                found[key] = _python_value(value)
        except (OSError, TypeError, ValueError, KeyError) as error:
            raise self.fail(f"an attribute of {what} cannot be read: {_one_line(error)}") from None
        return found

    def _dataset(self, group: Any, key: str, kind: str, itemsize: int, columns: int = 0) -> Any:
        dataset = self._member(group, key, self.h5py.Dataset, "dataset")
        if dataset is None:
            return None
        where = f"{group.name}/{key}"
        if dataset.ndim != (2 if columns else 1) or (columns and dataset.shape[1] != columns):
            raise self.fail(f"{where} has shape {dataset.shape}; expected "
                            + (f"(n, {columns})" if columns else "(n,)"))
        if dataset.dtype.kind != kind or dataset.dtype.itemsize != itemsize:
            raise self.fail(f"{where} holds {dataset.dtype}; expected {kind}{itemsize * 8}")
        if dataset.chunks is not None and math.prod(dataset.chunks) * itemsize > MAX_CHUNK_BYTES:
            raise self.fail(f"{where} has chunks of {dataset.chunks}, more than {MAX_CHUNK_BYTES} bytes")
        return dataset

    def _backed(self, dataset: Any) -> int:
        """How many rows of ``dataset`` the file's storage can hold: what it declares is not trusted."""
        stored = int(dataset.id.get_storage_size())
        if stored > self.size:
            raise self.fail(f"{dataset.name} claims {stored} bytes in a file of {self.size}")
        row = dataset.dtype.itemsize * (dataset.shape[1] if dataset.ndim == 2 else 1)
        if dataset.chunks is None or not dataset.compression and not dataset.shuffle and not dataset.scaleoffset:
            return stored // int(row)
        return int(dataset.id.get_num_chunks()) * int(dataset.chunks[0])

    def _source(self, name: str, group: Any) -> Source:
        metadata = self._attributes(group, f"instrument {name!r}")
        adc = self._dataset(group, "adc", "u", 4)
        value = self._dataset(group, "value", "f", 8)
        time = self._dataset(group, "time", "f", 8)
        runs = self._dataset(group, "runs", "i", 8, columns=2) if self.version > 1 else None
        if adc is None or value is None or (time is None and runs is None):
            raise self.fail(f"{group.name} is not an instrument: it lacks the adc, value or time datasets")
        datasets = [d for d in (time, adc, value) if d is not None]
        length = int(min(d.shape[0] for d in datasets))
        for key in COUNTERS + ("samples",):
            count = metadata.get(key, 0)
            if not isinstance(count, int) or isinstance(count, bool) or count < 0:
                raise self.fail(f"{group.name}: {key} is {count!r}, not a count")
            if key == "samples" and not complete_of(metadata, self):
                # Beyond what was flushed the file may hold fill values.
                length = min(length, count)
        complete = complete_of(metadata, self)
        for dataset in datasets:
            if self._backed(dataset) < length:
                raise self.fail(f"{dataset.name} declares {dataset.shape[0]} samples but the file holds "
                                f"no more than {self._backed(dataset)}")
        for key in _END:
            if metadata.get(key) == "":
                del metadata[key]
        for key in NOTED:
            if not isinstance(metadata.get(key, 0.0), float) or metadata.get(key) != metadata.get(key):
                metadata.pop(key, None)  # not known (yet), or not a number
        events = self._dataset(group, "events", "S", MAX_EVENT_BYTES)
        if events is not None:
            if self._backed(events) < events.shape[0]:
                raise self.fail(f"{events.name} declares more rows than the file holds")
            try:
                found = [check_event(json.loads(row)) for row in events[()]]
            except ValueError as error:
                raise self.fail(f"{events.name}: not a list of events ({_one_line(error)})") from None
            if found:
                metadata["events"] = json.dumps(found)
        metadata["complete"] = complete
        metadata["samples"] = length
        rate = _rate(metadata)
        starts: Optional[npt.NDArray[np.int64]] = None
        numbers: Optional[npt.NDArray[np.int64]] = None
        if runs is not None and time is None:
            if rate is None:
                raise self.fail(f"{group.name}: samples_per_second is not a rate, and the times follow from it")
            if self._backed(runs) < runs.shape[0]:
                raise self.fail(f"{runs.name} declares more rows than the file holds")
            table = np.asarray(runs[()], np.int64)
            starts, numbers = table[:, 0], table[:, 1]
            if length and (not len(starts) or starts[0] != 0 or numbers[0] < 0 or np.any(np.diff(starts) <= 0)
                           or np.any(np.diff(numbers) < np.diff(starts))):
                raise self.fail(f"{runs.name} is not a list of runs of rising sample numbers")
        return Source(name, metadata, length, _read(self, time, adc, value, starts, numbers, rate))


def complete_of(metadata: Metadata, reader: _Reader) -> bool:
    """Whether an instrument's data ran to its planned end (layout 1 says it for the whole file)."""
    return metadata.get("complete") is True if reader.version > 1 else reader.complete


def _read(reader: _Reader, time: Any, adc: Any, value: Any, starts: Optional[npt.NDArray[np.int64]],
          numbers: Optional[npt.NDArray[np.int64]], rate: Optional[float]) -> Any:
    def read(start: int, stop: int, with_adc: bool) -> Chunk:
        values = np.asarray(value[start:stop], np.float64)
        if time is not None:
            times = np.asarray(time[start:stop], np.float64)
        else:
            assert starts is not None and numbers is not None and rate is not None
            position = np.arange(start, stop, dtype=np.int64)
            run = np.searchsorted(starts, position, side="right") - 1
            times = (numbers[run] + (position - starts[run])) / rate
        if not (np.all(np.isfinite(times)) and np.all(np.isfinite(values))):
            raise reader.fail(f"a time or value that is not a finite number in samples {start} to {stop}")
        return times, np.asarray(adc[start:stop] if with_adc else (), np.uint32), values
    return read


def _python_value(value: Any) -> MetadataValue:
    if isinstance(value, np.ndarray):
        if value.size != 1:
            raise ValueError(f"an array of shape {value.shape} where a single value belongs")
        value = value.reshape(()).item()
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, np.generic):
        item = value.item()
        return item if isinstance(item, (str, int, float, bool)) else str(item)
    if isinstance(value, (str, int, float, bool)):
        return value
    return str(value)

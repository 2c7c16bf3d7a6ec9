"""Recordings in CSV: commented metadata, then ``time_s,adc,value`` rows.

Layout (version 1), one file per instrument (with several instruments the
serial number is added to the name: ``run.csv`` becomes ``run-20240001.csv``,
``run-20240002.csv``)::

    # vexlo recording, layout 1
    # model: PLX310
    # samples_per_second: 38400.0
    # ...
    time_s,adc,value
    0.000000000,8391234,250.0312
    ...
    # received: 76800
    # overrun: 0
    # missing: 0
    # corrupted: 3

A metadata line is ``# key: value``; a value that would read as a number,
a truth value or ``null`` while being text (or is empty, or starts or ends
with a space) is written in JSON quotes.
Readers that skip ``#`` lines (pandas' ``comment="#"``, numpy's ``loadtxt``)
read the rows as they are.
"""

from __future__ import annotations

import contextlib
import io
import json
import os
from datetime import datetime, timezone
from pathlib import Path
from typing import IO, Iterator, List, Sequence, Tuple, Union

import numpy as np

from .writers import COUNTERS, Chunk, Metadata, MetadataValue, Source, Writer, register

HEADER = "# vexlo recording, layout 1"
COLUMNS = "time_s,adc,value"


def metadata_line(key: str, value: MetadataValue) -> str:
    """``# key: value``, text quoted only where it would read as something else."""
    text = json.dumps(value)
    if isinstance(value, str) and value.strip() == value and value:
        try:
            json.loads(value)
        except ValueError:
            text = value
    return f"# {key}: {text}\n"


def parse_metadata_line(line: str) -> Tuple[str, MetadataValue]:
    """The key and value of a ``# key: value`` line.

    :raises ValueError: not such a line.
    """
    key, sep, text = line.lstrip("#").strip().partition(": ")
    if not sep or not key:
        raise ValueError(f"not a metadata line: {line!r}")
    try:
        value = json.loads(text)
    except ValueError:
        return key, text
    return key, value if isinstance(value, (str, int, float, bool)) else text


def instrument_paths(path: Path, names: Sequence[str]) -> List[Path]:
    """The file of each instrument: ``path`` itself for one, ``stem-NAME.csv`` for several."""
    if len(names) == 1:
        return [path]
    return [path.with_name(f"{path.stem}-{name}{path.suffix}") for name in names]


@register
class CSVWriter(Writer):
    """Writes rows as they come; :meth:`flush` hands them to the operating system."""

    suffixes = (".csv",)
    description = "CSV text"

    def __init__(self, path: Union[str, os.PathLike[str]], instruments: Sequence[Metadata], *,
                 overwrite: bool = False) -> None:
        super().__init__(path, instruments, overwrite=overwrite)
        self.paths = instrument_paths(self.path, self.names)
        self._files: List[IO[str]] = []
        try:
            for file_path, metadata in zip(self.paths, self.metadata):
                out = open(file_path, "w" if overwrite else "x", encoding="utf-8", newline="\n")
                self._files.append(out)
                out.write(HEADER + "\n" + "".join(metadata_line(k, v) for k, v in metadata.items()))
                out.write(COLUMNS + "\n")
        except BaseException:
            for file in self._files:
                file.close()
            raise

    def files(self) -> List[Path]:
        return list(self.paths)

    def _append(self, index: int, chunk: Chunk) -> None:
        time, adc, value = (a.tolist() for a in chunk)
        # repr of a float reads back as the same float.
        self._files[index].write("".join(f"{t:.9f},{a},{v!r}\n" for t, a, v in zip(time, adc, value)))

    def flush(self) -> None:
        for file in self._files:
            file.flush()

    def _finish(self) -> None:
        end = datetime.now(timezone.utc).isoformat(timespec="milliseconds")
        for file, counters in zip(self._files, self.counters):
            with file:
                file.write("".join(metadata_line(key, counters[key]) for key in COUNTERS)
                           + metadata_line("end_utc", end))

    @classmethod
    @contextlib.contextmanager
    def sources(cls, path: Path) -> Iterator[List[Source]]:
        paths = [path]
        if not path.exists():
            # Several instruments were recorded as stem-SERIAL.csv.
            paths = sorted(path.parent.glob(f"{path.stem}-*{path.suffix}")) or [path]
        yield [_read(p) for p in paths]


def _read(path: Path) -> Source:
    metadata: Metadata = {}
    rows: List[str] = []
    with open(path, encoding="utf-8", newline="") as file:
        first = file.readline()
        if first.rstrip("\r\n") != HEADER:
            raise ValueError(f"{os.fspath(path)} is not a vexlo recording (its first line is not {HEADER!r})")
        seen_columns = False
        for line in file:
            if line.startswith("#"):
                key, value = parse_metadata_line(line)
                metadata[key] = value
            elif not seen_columns:
                seen_columns = line.strip() == COLUMNS
                if not seen_columns:
                    raise ValueError(f"{os.fspath(path)}: expected the column line {COLUMNS!r}, found {line!r}")
            elif line.endswith("\n"):
                rows.append(line)
            # A last row without its line end was cut off mid-write: dropped.
    metadata["complete"] = "end_utc" in metadata
    table = (np.loadtxt(io.StringIO("".join(rows)), delimiter=",", dtype=np.float64, ndmin=2) if rows
             else np.empty((0, 3)))
    times = np.ascontiguousarray(table[:, 0])
    counts = table[:, 1].astype(np.uint32)
    values = np.ascontiguousarray(table[:, 2])

    def read(start: int, stop: int, with_adc: bool) -> Chunk:
        return times[start:stop], counts[start:stop] if with_adc else counts[:0], values[start:stop]

    return Source(str(metadata.get("serial_number", path.stem)), metadata, len(times), read)

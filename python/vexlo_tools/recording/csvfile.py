"""Recordings in CSV: commented metadata, then ``time_s,adc,value`` rows.

Layout (version 2), one file per instrument (with several instruments the
serial number is added to the name: ``run.csv`` becomes ``run-20240001.csv``,
``run-20240002.csv``)::

    # vexlo recording, layout 2
    # model: PLX310
    # samples_per_second: 38400.0
    # ...
    time_s,adc,value
    0.000000000,8391234,250.0312
    ...
    # counters: samples=19200 received=19200 overrun=0 missing=0 corrupted=3
    ...
    # counters: samples=76800 received=76800 overrun=0 missing=0 corrupted=3
    # end_utc: 2026-12-07T10:00:02.000+00:00
    # end_reason: completed
    # complete: true

The metadata is the header, up to the column line, and only the header.
Within the rows, a ``counters`` line brings the counters up to date at each
flush where they changed (also while no samples arrive); ``samples`` says how
many rows precede it, so a file cut off by a killed process says how far its
counters go. The end lines close a recording that ended.

A metadata line is ``# key: value``. A text value is written as it is when
it is plain; it is written as a JSON string (``"..."``) when it is empty,
starts or ends with a space, starts with ``=``, ``+``, ``-``, ``@`` or a
quote, would read as a number, a truth value or ``null``, or holds a
control character, a comma or a semicolon. In that JSON string, control
characters, commas and semicolons are written as ``\\uXXXX`` escapes, so a
metadata line never holds a line break or a field separator: pandas
(``comment="#"``) and numpy skip it, and a spreadsheet shows it in one cell
that starts with ``#``, never as a formula. ``json.loads`` gives the text
back exactly. Numbers and truth values are written as JSON.

Reading checks what it reads: the header, the length of every line (a
line longer than any row is refused before it is read whole), the ADC
counts (integers of 0 to 2**32 - 1), finite times and values, and the
counter lines against the rows. The file is read in one pass that checks
every line and parses the rows (with pandas' parser where the ``pandas``
extra is installed), keeping them for the reads that follow while they
fit in :data:`KEEP_BYTES`; the rows of a longer file are parsed again when
read, in blocks, so memory stays bounded, not by the file.
"""

from __future__ import annotations

import contextlib
import glob
import importlib
import io
import json
import os
import re
import sys
import threading
import warnings
from pathlib import Path
from typing import Any, BinaryIO, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from .writers import (COUNTERS, MAX_TEXT, NOTED, STANDARD_OUTPUT, WRITTEN, Chunk, Metadata, MetadataValue, Source,
                      Writer, check_event, register)

LAYOUT = 2
HEADER = f"# vexlo recording, layout {LAYOUT}"
#: The first line of the files written before layout 2 (read still).
HEADER_1 = "# vexlo recording, layout 1"
COLUMNS = "time_s,adc,value"
#: The longest row a reader accepts: far more than any row written (about 50 bytes).
MAX_ROW = 256
#: The longest metadata or counters line a reader accepts: a value of MAX_TEXT escaped characters.
MAX_LINE = 6 * MAX_TEXT + 256
#: At most this many header lines.
MAX_HEADER_LINES = 10_000
#: Bytes read at a time when scanning or reading rows.
READ_BYTES = 1 << 20
#: Rows the one pass over a file parses and keeps for the reads that follow, in bytes of columns
#: (20 a row), over all the files open at once (the parts of a run are opened together): a file
#: whose rows fit is read from disk once; beyond it, rows are parsed again when read.
KEEP_BYTES = 1 << 28
_ROW_BYTES = 20
_kept_lock = threading.Lock()
_kept_bytes = 0


def _keep(size: int) -> bool:
    """Reserve ``size`` bytes of :data:`KEEP_BYTES`, if they are free; or give them back (below 0)."""
    global _kept_bytes
    with _kept_lock:
        if size > 0 and _kept_bytes + size > KEEP_BYTES:
            return False
        _kept_bytes += size
        return True
#: Appended rows are written out once this many bytes wait.
PENDING_BYTES = 1 << 20
_ROW = np.dtype([("time", np.float64), ("adc", np.int64), ("value", np.float64)])
_PARSED = Tuple[npt.NDArray[np.float64], npt.NDArray[np.int64], npt.NDArray[np.float64]]
_COLUMNS = Tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32], npt.NDArray[np.float64]]
_ROW_FORMAT = "%.9f,%d,%r\n"
_ESCAPED = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029,;]")
_END_KEYS = ("end_utc", "end_reason", "complete")


def metadata_text(value: MetadataValue) -> str:
    """The value as written after ``# key: `` (see the module's description)."""
    if not isinstance(value, str):
        return json.dumps(value)
    if value and value == value.strip() and value[0] not in "=+-@\"'" and not _ESCAPED.search(value):
        try:
            json.loads(value)
        except ValueError:
            return value
    return _ESCAPED.sub(lambda m: f"\\u{ord(m.group()):04x}", json.dumps(value, ensure_ascii=False))


def metadata_line(key: str, value: MetadataValue) -> str:
    """``# key: value``, text quoted where it would read as something else (see the module's description)."""
    return f"# {key}: {metadata_text(value)}\n"


def parse_metadata_line(line: str) -> Tuple[str, MetadataValue]:
    """The key and value of a ``# key: value`` line.

    :raises ValueError: not such a line.
    """
    key, sep, text = line.lstrip("#").strip(" \r\n").partition(": ")
    if not sep or not key:
        raise ValueError(f"not a metadata line: {line[:80]!r}")
    if text.startswith('"'):
        try:
            quoted = json.loads(text)
        except ValueError:
            raise ValueError(f"metadata {key!r}: a quoted value that does not end where it should") from None
        if not isinstance(quoted, str):
            raise ValueError(f"metadata {key!r}: not a quoted text")
        return key, quoted
    try:
        value = json.loads(text)
    except ValueError:
        return key, text
    return key, value if isinstance(value, (int, float, bool)) else text


def counters_line(samples: int, counters: Dict[str, int]) -> str:
    """``# counters: samples=N received=N ...``: the counters that hold for the first N rows."""
    return "# counters: " + " ".join(f"{k}={v}" for k, v in (("samples", samples), *counters.items())) + "\n"


def parse_counters(text: str) -> Dict[str, int]:
    """The values of a counters line's ``key=N`` pairs.

    :raises ValueError: not such pairs, or not all of ``samples`` and the counters.
    """
    found: Dict[str, int] = {}
    for pair in text.split():
        key, sep, number = pair.partition("=")
        if not sep or key not in ("samples",) + COUNTERS or not number.isdigit():
            raise ValueError(f"a counters line with {pair[:40]!r}")
        found[key] = int(number)
    if len(found) != 1 + len(COUNTERS):
        raise ValueError("a counters line without all the counters")
    return found


def instrument_paths(path: Path, names: Sequence[str]) -> List[Path]:
    """The file of each instrument: ``path`` itself for one, ``stem-NAME.csv`` for several."""
    if len(names) == 1:
        return [path]
    return [path.with_name(f"{path.stem}-{name}{path.suffix}") for name in names]


def _write_all(file: BinaryIO, data: bytes) -> None:
    view = memoryview(data)
    while view:
        written = file.write(view)
        view = view[written or 0:]


@register
class CSVWriter(Writer):
    """Writes rows as they come; :meth:`flush` hands them and the counters to the operating system.

    The files are written unbuffered by Python (this class keeps what waits), so a
    failed write is never repeated when the files are closed.
    """

    suffixes = (".csv",)
    description = "CSV text"

    def _open(self) -> None:
        self.paths = instrument_paths(self.path, self.names)
        self._files: List[BinaryIO] = []
        self._pending: List[List[bytes]] = [[] for _ in self.names]
        self._waiting = [0] * len(self.names)
        self._said: List[Optional[Tuple[int, Tuple[int, ...]]]] = [None] * len(self.names)
        self._ended = [False] * len(self.names)
        self._events_said = [0] * len(self.names)
        to_stdout = os.fspath(self.path) == STANDARD_OUTPUT
        if to_stdout and len(self.names) > 1:
            raise ValueError("standard output takes the CSV of one instrument; name a file for several")
        for index, (file_path, metadata) in enumerate(zip(self.paths, self.metadata)):
            if to_stdout:
                sys.stdout.flush()  # what was printed before comes first
                self._files.append(open(os.dup(sys.stdout.fileno()), "wb", buffering=0))
            else:
                place, new = self._place(file_path)
                self._files.append(open(place, "xb" if new else "wb", buffering=0))
            self._pending[index].append((HEADER + "\n" + "".join(metadata_line(k, v) for k, v in metadata.items())
                                         + COLUMNS + "\n").encode("utf-8"))

    def files(self) -> List[Path]:
        return list(self.paths)

    def _handles(self) -> List[int]:
        return [file.fileno() for file in self._files]

    def _append(self, index: int, chunk: Chunk) -> None:
        fields: List[object] = [None] * (3 * len(chunk[0]))
        for column in range(3):
            fields[column::3] = chunk[column].tolist()
        # One format for the whole block; repr of a float reads back as the same float.
        rows = (_ROW_FORMAT * len(chunk[0]) % tuple(fields)).encode("ascii")
        self._pending[index].append(rows)
        self._waiting[index] += len(rows)
        if self._waiting[index] >= PENDING_BYTES:
            self._write_pending(index)

    def _write_pending(self, index: int) -> None:
        data, self._pending[index], self._waiting[index] = b"".join(self._pending[index]), [], 0
        _write_all(self._files[index], data)

    def _flush(self) -> None:
        for index, (samples, counters, end) in enumerate(zip(self.samples, self.counters, self.ends)):
            if self._ended[index]:
                continue
            state = (samples, tuple(counters.values()))
            if state != self._said[index]:
                self._pending[index].append(counters_line(samples, counters).encode("ascii"))
                self._said[index] = state
            events = self.events[index][self._events_said[index]:]
            self._events_said[index] += len(events)
            for event in events:
                self._pending[index].append(metadata_line("event", json.dumps(event)).encode("utf-8"))
            if end:
                notes = self.notes[index]
                self._pending[index].append("".join(metadata_line(k, notes[k]) for k in NOTED if k in notes)
                                            .encode("utf-8"))
                self._pending[index].append("".join(metadata_line(k, end[k]) for k in _END_KEYS).encode("utf-8"))
                self._ended[index] = True
            self._write_pending(index)

    def _finish(self) -> None:
        self._flush()
        for file in self._files:
            file.close()

    def _abandon(self) -> None:
        for file in getattr(self, "_files", []):
            with contextlib.suppress(OSError):
                file.close()

    @classmethod
    @contextlib.contextmanager
    def sources(cls, path: Path) -> Iterator[List[Source]]:
        paths = [path]
        if not path.exists():
            # Several instruments were recorded as stem-SERIAL.csv.
            paths = sorted(path.parent.glob(f"{glob.escape(path.stem)}-*{path.suffix}")) or [path]
        with contextlib.ExitStack() as stack:
            files = []
            for p in paths:
                files.append(_CSVFile(p, stack.enter_context(open(p, "rb"))))
                stack.callback(files[-1].let_go)
            yield [file.source() for file in files]


class _CSVFile:
    """One instrument's CSV file, read with every line bounded in length, its rows in chunks."""

    def __init__(self, path: Path, file: BinaryIO) -> None:
        self.path = path
        self.file = file
        self.where = os.fspath(path)
        self.metadata: Metadata = {}
        self._header()
        self.data_start = file.tell()
        #: The file's blocks of whole lines, in order: (first row, rows, byte offset, bytes), and the
        #: columns of each as the one pass parsed them (None where not kept, or already handed out).
        self._parts: List[Tuple[int, int, int, int]] = []
        self._kept: List[Optional[_COLUMNS]] = []
        try:
            self.length = self._pass()
        except BaseException:
            self.let_go()
            raise
        # The block parsed last, kept for the read that goes on where the last one stopped.
        self._last: Tuple[int, Optional[_COLUMNS]] = (-1, None)

    def let_go(self) -> None:
        """Give back the rows kept (the file is closed, or they are handed out)."""
        for number, kept in enumerate(self._kept):
            if kept is not None:
                self._kept[number] = None
                _keep(-len(kept[0]) * _ROW_BYTES)

    def fail(self, message: str) -> ValueError:
        return ValueError(f"{self.where}: {message}")

    def _line(self, number: int) -> str:
        line = self.file.readline(MAX_LINE + 1)
        if len(line) > MAX_LINE:
            raise self.fail(f"line {number} is longer than {MAX_LINE} bytes; not a recording's header")
        if not line.endswith(b"\n"):
            raise self.fail(f"cut off in its header, at line {number}")
        try:
            return line.decode("utf-8").rstrip("\r\n")
        except UnicodeDecodeError:
            raise self.fail(f"line {number} is not UTF-8 text") from None

    def _header(self) -> None:
        first = self.file.readline(len(HEADER) + 2).decode("utf-8", "replace").rstrip("\r\n")
        if first not in (HEADER, HEADER_1):
            raise self.fail(f"not a vexlo recording (its first line is not {HEADER!r})")
        self.version = LAYOUT if first == HEADER else 1
        for number in range(2, MAX_HEADER_LINES):
            line = self._line(number)
            if line == COLUMNS:
                return
            if not line.startswith("#"):
                raise self.fail(f"expected the column line {COLUMNS!r} at line {number}, found {line[:80]!r}")
            try:
                key, value = parse_metadata_line(line)
            except ValueError as error:
                raise self.fail(f"line {number}: {error}") from None
            if key in self.metadata or key in WRITTEN:
                raise self.fail(f"line {number}: the header gives {key!r} " +
                                ("twice" if key in self.metadata else "which only the end of the data may say"))
            self.metadata[key] = value
        raise self.fail(f"more than {MAX_HEADER_LINES} header lines")

    def _blocks(self, offset: int) -> Iterator[Tuple[bytes, int]]:
        """The data from ``offset`` in blocks of whole lines, each with the offset after it.

        A last line without its line end was cut off mid-write: it is left out.
        :raises ValueError: a line longer than any valid one.
        """
        self.file.seek(offset)
        carry = b""
        while True:
            block = self.file.read(READ_BYTES)
            data = carry + block
            cut = data.rfind(b"\n") + 1
            carry = data[cut:]
            if len(carry) > MAX_LINE or (len(carry) > MAX_ROW and not carry.startswith(b"#")):
                raise self.fail(f"a line of more than {len(carry)} bytes near byte {offset + cut}; not a row")
            if cut:
                offset += cut
                yield data[:cut], offset
            if not block:
                return

    def _lines(self, data: bytes) -> Tuple[int, List[Tuple[int, int, int]]]:
        """The rows of ``data`` (whole lines) and its other lines as (start, end, rows before them),
        every length checked; a ``#`` only starts a line."""
        ends = np.flatnonzero(np.frombuffer(data, np.uint8) == 10)
        lengths = np.empty_like(ends)
        lengths[:1] = ends[:1]
        np.subtract(ends[1:], ends[:-1] + 1, out=lengths[1:])
        others = np.flatnonzero(lengths == 0).tolist() if len(lengths) and lengths.min() == 0 else []  # empty
        at = data.find(b"#")
        while at >= 0:
            line = int(np.searchsorted(ends, at))
            if at and data[at - 1] != 10:
                raise self.fail(f"a '#' within a row, at line {line + 1} of the rows' block near row "
                                f"{line - len(others)}")
            others.append(line)
            at = data.find(b"#", int(ends[line]))
        others.sort()
        longest = int(lengths.max()) if len(lengths) else 0
        if longest > MAX_ROW:
            is_row = np.ones(len(ends), bool)
            is_row[others] = False
            if np.any(lengths[is_row] > MAX_ROW):
                raise self.fail(f"a row of more than {MAX_ROW} bytes")
            if longest > MAX_LINE:
                raise self.fail(f"a comment line of more than {MAX_LINE} bytes among the rows")
        lines = [(int(ends[line]) - int(lengths[line]), int(ends[line]), line - number)
                 for number, line in enumerate(others)]
        return len(ends) - len(others), lines

    def _pass(self) -> int:
        """The one pass over the rows: count them, check every line's length, read the counters and
        end lines among them, and parse the rows while they fit in :data:`KEEP_BYTES`."""
        rows = 0
        ended_at: Optional[int] = None
        trailer: Dict[str, Any] = {}
        for data, after in self._blocks(self.data_start):
            count, lines = self._lines(data)
            for begin, end, before in lines:
                text = data[begin:end].decode("utf-8", "replace").rstrip("\r")
                if begin < end and self._trailer(text, rows + before, trailer) and ended_at is None:
                    ended_at = rows + before
            self._parts.append((rows, count, after - len(data), len(data)))
            self._kept.append(None)
            if count and _keep(count * _ROW_BYTES):
                try:
                    self._kept[-1] = self._parse(data, rows, count)
                except BaseException:
                    _keep(-count * _ROW_BYTES)
                    raise
            rows += count
        if ended_at is not None and rows != ended_at:
            raise self.fail(f"{rows - ended_at} rows after the end of the recording")
        events = trailer.pop("events", None)
        self.metadata.update(trailer)
        if events:
            self.metadata["events"] = json.dumps(events)
        counted = trailer.pop("samples", None)
        self.metadata.pop("samples", None)
        complete = trailer.get("complete") is True if self.version > 1 else "end_utc" in trailer
        self.metadata["samples"] = rows
        self.metadata["complete"] = complete
        if not complete and isinstance(counted, int) and counted != rows:
            self.metadata["counted_samples"] = counted
        return rows

    def _trailer(self, text: str, rows: int, trailer: Dict[str, Any]) -> bool:
        """Take a counters or end line into ``trailer``; whether it was an end line (no rows may follow)."""
        try:
            key, value = parse_metadata_line(text)
        except ValueError:
            return False  # a comment: the metadata comes only from the header
        if self.version > 1 and key == "event":
            try:
                trailer.setdefault("events", []).append(check_event(json.loads(str(value))))
            except ValueError as error:
                raise self.fail(f"the event line after row {rows}: {error}") from None
        elif self.version > 1 and key in NOTED:
            if not isinstance(value, (int, float)) or isinstance(value, bool):
                raise self.fail(f"{key} is not a number")
            trailer[key] = float(value)
        elif self.version > 1 and key == "counters":
            try:
                counted = parse_counters(str(value))
            except ValueError as error:
                raise self.fail(str(error)) from None
            if counted["samples"] != rows:
                raise self.fail(f"a counters line for {counted['samples']} samples after {rows} rows")
            trailer.update(counted)
        elif key in (_END_KEYS if self.version > 1 else COUNTERS + ("end_utc",)):
            if self.version == 1 and not isinstance(value, int) and key in COUNTERS:
                raise self.fail(f"{key} is not a count")
            trailer[key] = value
            return key in _END_KEYS
        return False

    def read(self, start: int, stop: int, with_adc: bool) -> Chunk:
        """Rows ``start`` to ``stop``: the blocks that hold them, as the one pass kept them or read again.
        A kept block is let go once a read has handed out its last row."""
        pieces: List[_COLUMNS] = []
        if stop > start:
            first = max(0, int(np.searchsorted([p[0] for p in self._parts], start, "right")) - 1)
            for number in range(first, len(self._parts)):
                row, count, offset, size = self._parts[number]
                if row >= stop:
                    break
                if not count or row + count <= start:
                    continue
                columns = self._kept[number]
                if columns is None:
                    columns = self._last[1] if self._last[0] == number else None
                if columns is None:
                    self.file.seek(offset)
                    columns = self._parse(self.file.read(size), row, count)
                    self._last = (number, columns)
                if stop >= row + count and self._kept[number] is not None:
                    self._kept[number] = None
                    _keep(-count * _ROW_BYTES)
                low, high = max(start, row) - row, min(stop, row + count) - row
                times, counts, values = columns
                pieces.append((times[low:high], counts[low:high], values[low:high]))
        time, adc, value = (np.concatenate(column) if len(column) != 1 else column[0]
                            for column in (zip(*pieces) if pieces else ([np.empty(0)],) * 3))
        if len(time) != stop - start:
            raise self.fail(f"rows {start} to {stop} asked, {len(time)} found")
        return time, (adc if with_adc else adc[:0]).astype(np.uint32, copy=False), value

    def _parse(self, data: bytes, first: int, count: int) -> _COLUMNS:
        """The ``count`` rows of ``data`` (whole lines, the first row numbered ``first``), checked."""
        try:
            time, adc, value = _parse_rows(data)
        except (ValueError, OverflowError, UnicodeDecodeError) as error:
            raise self.fail(f"a row near row {first}: {' '.join(str(error).split())[:120]}") from None
        if len(time) != count:
            raise self.fail(f"{len(time)} rows parsed near row {first}, {count} lines")
        if len(adc) and (adc.min() < 0 or adc.max() > 0xFFFFFFFF):
            raise self.fail(f"an ADC count outside 0 to 4294967295 near row {first}")
        if not (np.isfinite(time).all() and np.isfinite(value).all()):
            raise self.fail(f"a time or value that is not a finite number near row {first}")
        return time, adc.astype(np.uint32), value

    def source(self) -> Source:
        return Source(str(self.metadata.get("serial_number", self.path.stem)), self.metadata, self.length,
                      self.read)


def _parse_rows(data: bytes) -> _PARSED:
    """The columns of the rows in ``data`` (whole lines, ``#`` lines among them): with pandas' parser
    written in C where it is installed (the ``pandas`` extra), several times faster than :func:`numpy.loadtxt`.

    :raises ValueError: a row that is not three numbers of the columns' kinds.
    """
    try:
        pandas = importlib.import_module("pandas")  # an optional extra, untyped
    except ImportError:
        table = np.loadtxt(io.StringIO(data.decode("ascii")), delimiter=",", comments="#", dtype=_ROW, ndmin=1)
        return (np.ascontiguousarray(table["time"]), np.ascontiguousarray(table["adc"]),
                np.ascontiguousarray(table["value"]))
    if not data.isascii():
        raise ValueError("a character that is not ASCII")
    try:
        # No names: a row with more fields than the first is the parser's error, not an index column.
        with warnings.catch_warnings():
            # A count that does not fit is numpy's warning on the way; the checks after refuse its row.
            warnings.simplefilter("ignore", RuntimeWarning)
            frame = pandas.read_csv(io.BytesIO(data), header=None, comment="#", engine="c", low_memory=False,
                                    dtype={0: np.float64, 1: np.int64, 2: np.float64})
    except pandas.errors.EmptyDataError:
        return np.empty(0), np.empty(0, np.int64), np.empty(0)
    except (pandas.errors.ParserError, TypeError) as error:
        raise ValueError(str(error)) from None
    if frame.shape[1] != 3:
        raise ValueError(f"{frame.shape[1]} fields, not 3")
    return frame[0].to_numpy(np.float64), frame[1].to_numpy(np.int64), frame[2].to_numpy(np.float64)

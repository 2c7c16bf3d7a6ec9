"""File writers chosen by the suffix of the output path, and the readers of the same files.

One class per format, each registered for its suffixes (as python-can's
loggers are). A writer takes one block per instrument at a time (the
blocks :meth:`vexlo_tools.Acquisition.read` hands out), keeps the loss
counters of the latest block, and writes them at the end. The same class
reads its files back as :class:`Source` objects, in chunks, so a long
recording never has to fit in memory at once.
"""

from __future__ import annotations

import abc
import errno
import json
import os
import re
import tempfile
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path
from types import TracebackType
from typing import Callable, ClassVar, ContextManager, Dict, Iterator, List, Optional, Sequence, Tuple, Type, Union

import numpy as np
import numpy.typing as npt

from ..types import COUNTERS, Block, Stats

try:
    import fcntl
except ImportError:  # pragma: no cover - not on Windows
    fcntl = None  # type: ignore[assignment]

__all__ = [
    "COUNTERS",
    "NOTED",
    "Chunk",
    "MAX_EVENT_BYTES",
    "MAX_TEXT",
    "Metadata",
    "MetadataValue",
    "Source",
    "WRITERS",
    "OutputLock",
    "Writer",
    "check_event",
    "check_metadata",
    "check_output",
    "check_path",
    "open_writer",
    "register",
    "writer_class",
]

MetadataValue = Union[str, int, float, bool]
#: Provenance of one instrument's data: flat, so that every format can hold it as it is.
Metadata = Dict[str, MetadataValue]
#: A piece of one instrument's data: times (s), ADC counts, values.
Chunk = Tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32], npt.NDArray[np.float64]]


@dataclass
class Source:
    """One instrument's data in a file, read on demand.

    :ivar name: the instrument's name in the file (its serial number).
    :ivar metadata: its provenance and counters.
    :ivar length: the number of samples.
    :ivar read: ``read(start, stop, with_adc)`` returns the samples in that
        range as a :data:`Chunk` (with an empty ``adc`` array unless ``with_adc``).
    """

    name: str
    metadata: Metadata
    length: int
    read: Callable[[int, int, bool], Chunk]

    def chunks(self, size: int = 1 << 20, with_adc: bool = True) -> Iterator[Chunk]:
        """The data in chunks of ``size`` samples (the last may be shorter)."""
        for start in range(0, self.length, size):
            yield self.read(start, min(start + size, self.length), with_adc)


class Writer(abc.ABC):
    """Writes one recording: data and provenance of one or several instruments.

    The output is locked while it is written: a second writer on the same
    path is refused, whether it would overwrite or not. A file that
    ``overwrite`` replaces is written aside first and renamed over the old
    one only once the new one has started cleanly. A write that fails (a
    full disk, say) ends the writer: the error names the file, what was
    flushed before it stays readable, and nothing more is written.

    :param path: the output file.
    :param instruments: the provenance of each instrument, in the order of the blocks.
    :param overwrite: replace existing files instead of refusing them.
    :param compress: compress the samples (formats that can; see :attr:`compressible`).
    :raises FileExistsError: a file exists and ``overwrite`` is false.
    :raises OSError: the output is being written by another writer, or cannot be written.
    :raises ValueError: a metadata key or value the files cannot hold (see :func:`check_metadata`).
    """

    #: The suffixes the format is chosen by, lower case with the dot.
    suffixes: ClassVar[Tuple[str, ...]] = ()
    #: What the format is, for messages and ``--help``.
    description: ClassVar[str] = ""
    #: Whether the format can compress its samples.
    compressible: ClassVar[bool] = False

    def __init__(self, path: Union[str, os.PathLike[str]], instruments: Sequence[Metadata], *,
                 overwrite: bool = False, compress: bool = False) -> None:
        if not instruments:
            raise ValueError("a recording needs at least one instrument")
        if compress and not self.compressible:
            raise ValueError(f"{self.description} recordings cannot be compressed; "
                             f"compression needs one of {', '.join(s for s, c in WRITERS.items() if c.compressible)}")
        self.path = Path(path)
        self.overwrite = overwrite
        self.compress = compress
        self.metadata: List[Metadata] = [check_metadata(m) for m in instruments]
        self.names = instrument_names(self.metadata)
        self.samples = [0] * len(self.metadata)
        self.counters: List[Dict[str, int]] = [dict.fromkeys(COUNTERS, 0) for _ in self.metadata]
        #: Per instrument, how its data ended (``end_utc``, ``end_reason``, ``complete``), once known.
        self.ends: List[Metadata] = [{} for _ in self.metadata]
        #: Per instrument, what :meth:`note` brought up to date, and the events it was given (:meth:`event`).
        self.notes: List[Metadata] = [{} for _ in self.metadata]
        self.events: List[List[Metadata]] = [[] for _ in self.metadata]
        #: The error that ended writing, if one did.
        self.error: Optional[OSError] = None
        self.closed = False
        self._aside: List[Tuple[Path, Path]] = []
        self._lock = OutputLock(self.path)
        try:
            self._guard(self._open)
            self._guard(self._flush)
            for aside, final in self._aside:
                os.replace(aside, final)
        except BaseException:
            self._abandon()
            for aside, _ in self._aside:
                aside.unlink(missing_ok=True)
            self._lock.release()
            self.closed = True
            raise
        self._aside = []

    def files(self) -> List[Path]:
        """The files being written."""
        return [self.path]

    @classmethod
    def check_library(cls) -> None:
        """Make sure the library the format needs is installed.

        :raises vexlo_tools._extras.MissingExtraError: it is not; the message names the extra.
        """

    def write(self, blocks: Sequence[Block]) -> None:
        """Append one block per instrument, in the order the instruments were given.

        :raises ValueError: not one block per instrument.
        :raises OSError: writing failed (see :attr:`error`).
        """
        if len(blocks) != len(self.metadata):
            raise ValueError(f"{len(blocks)} blocks for {len(self.metadata)} instruments")
        for index, block in enumerate(blocks):
            self.append(index, block)

    def append(self, index: int, block: Block) -> None:
        """Append the samples of one block of instrument ``index`` and take its counters.

        :raises OSError: writing failed (see :attr:`error`).
        """
        if len(block):
            adc, value = np.asarray(block.adc, np.uint32), np.asarray(block.value, np.float64)
            numbered = block._numbered()
            if numbered is not None:
                first, rate = numbered
                self._guard(lambda: self._append_numbered(index, first, rate, adc, value))
            else:
                chunk = (np.asarray(block.time, np.float64), adc, value)
                self._guard(lambda: self._append(index, chunk))
            self.samples[index] += len(adc)
        self.count(index, block.stats)

    def count(self, index: int, stats: Stats) -> None:
        """Take the counters of instrument ``index`` (written at the next :meth:`flush`)."""
        self.counters[index] = {name: int(getattr(stats, name)) for name in COUNTERS}

    def note(self, index: int, key: str, value: float) -> None:
        """Bring a value of instrument ``index`` up to date, written at the next :meth:`flush`: one of the
        :data:`NOTED` keys (the clock estimates), or a whole-number count of its provenance (a collector's
        refused messages, say), which a header written once (CSV) keeps at its value of the start.

        :raises ValueError: neither such a key.
        """
        if key in NOTED:
            self.notes[index][key] = float(value)
            return
        start = self.metadata[index].get(key)
        if isinstance(start, bool) or not isinstance(start, int):
            raise ValueError(f"instrument {self.names[index]}: {key!r} is neither a key the recording brings "
                             f"up to date ({', '.join(NOTED)}) nor a count in its provenance")
        self.notes[index][key] = int(value)

    def event(self, index: int, event: Metadata) -> None:
        """Add an event (a limit crossed, say) of instrument ``index``: flat keys, written at the next flush.

        :raises ValueError: a key or value :func:`check_metadata` refuses, or more than
            :data:`MAX_EVENT_BYTES` bytes as JSON.
        """
        checked = check_metadata(event)
        if len(json.dumps(checked).encode()) > MAX_EVENT_BYTES:
            raise ValueError(f"an event of more than {MAX_EVENT_BYTES} bytes as JSON")
        self.events[index].append(checked)

    def end(self, index: int, reason: str, complete: bool, end_utc: Optional[datetime] = None,
            stats: Optional[Stats] = None) -> None:
        """Say how the data of instrument ``index`` ended (written at the next :meth:`flush`).

        :param reason: ``"completed"``, ``"interrupted"``, ``"failed: <message>"`` or ``"unknown"``.
        :param complete: whether it ran to its planned end.
        :param end_utc: when it ended (aware); now when not given.
        :param stats: its final counters.
        """
        if stats is not None:
            self.count(index, stats)
        moment = end_utc or datetime.now(timezone.utc)
        # A failure's message is whatever the failure said: kept, as far as a file holds text.
        self.ends[index] = {"end_utc": moment.isoformat(timespec="milliseconds"),
                            "end_reason": reason.replace("\0", "")[:MAX_TEXT], "complete": bool(complete)}

    def flush(self) -> None:
        """Put what was written so far, with the counters, into the file, so that it survives the process.

        :raises OSError: writing failed, or a file was removed (its folder, say) while written (see :attr:`error`).
        """
        self._guard(self._check_linked)
        self._guard(self._flush)

    def _check_linked(self) -> None:
        # Writes into a removed file succeed and keep nothing: a recording into one is over.
        for handle in self._handles():
            if os.fstat(handle).st_nlink == 0:
                raise OSError(errno.ENOENT, "removed while being written")

    def _handles(self) -> List[int]:
        """The operating system's handles of the open files."""
        return []

    def close(self, stats: Optional[Sequence[Stats]] = None) -> None:
        """Write the counters (``stats``, else the latest) and the end of each instrument, and close.

        An instrument whose end was not given with :meth:`end` ends now, ``"unknown"``
        and not complete.
        After a failed write only what can be closed is closed, and nothing is written.

        :raises OSError: writing failed.
        """
        if self.closed:
            return
        self.closed = True
        try:
            if self.error is None:
                for index in range(len(self.metadata)):
                    if stats is not None:
                        self.count(index, stats[index])
                    if not self.ends[index]:
                        self.end(index, "unknown", False)  # never guessed: nobody said it ran to its end
                self._guard(self._finish)
        finally:
            self._lock.release()

    def __enter__(self) -> Writer:
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        if exc is not None:
            # Left by an error: what had not ended did not run to its end.
            reason = "interrupted" if isinstance(exc, KeyboardInterrupt) else f"failed: {exc}"
            for index, end in enumerate(self.ends):
                if not end:
                    self.end(index, reason, False)
        self.close()

    def _place(self, final: Path) -> Tuple[Path, bool]:
        """Where to create ``final``, and whether that place is new: aside (renamed over it once
        the recording has started) when it replaces a file, else ``final`` itself.

        :raises FileExistsError: ``final`` exists and the writer does not overwrite.
        """
        if not os.path.lexists(final):
            return final, True
        if not self.overwrite:
            raise FileExistsError(f"{os.fspath(final)} exists (--overwrite replaces it)")
        handle, name = tempfile.mkstemp(dir=final.parent, prefix=f".{final.name}.", suffix=".partial")
        os.close(handle)
        self._aside.append((Path(name), final))
        return Path(name), False

    def _guard(self, step: Callable[[], None]) -> None:
        """Run a step that writes; its failure ends the writer with an error that names the file."""
        if self.error is not None:
            raise OSError(f"{os.fspath(self.path)}: the recording already failed ({self.error})") from self.error
        try:
            step()
        except (ValueError, TypeError, FileExistsError):
            raise
        except Exception as error:
            self.error = write_error(self.path, error)
            self._abandon()
            raise self.error from error

    @abc.abstractmethod
    def _open(self) -> None:
        """Create the files (at the places :meth:`_place` gives) and write what is known at the start."""

    @abc.abstractmethod
    def _append(self, index: int, chunk: Chunk) -> None:
        """Append samples of instrument ``index`` (written to the file at the latest by :meth:`_flush`)."""

    def _append_numbered(self, index: int, first: int, rate: float, adc: npt.NDArray[np.uint32],
                         value: npt.NDArray[np.float64]) -> None:
        """Append samples whose times are their sample numbers from ``first`` / ``rate`` (a format that
        keeps sample numbers takes them so; the others get the times, made as the block makes them)."""
        self._append(index, (np.arange(first, first + len(adc), dtype=np.float64) / rate, adc, value))

    @abc.abstractmethod
    def _flush(self) -> None:
        """Write what was appended, the counters and the ends, and make them durable."""

    @abc.abstractmethod
    def _finish(self) -> None:
        """Flush and close: the recording is over."""

    @abc.abstractmethod
    def _abandon(self) -> None:
        """Close what is open without writing anything more (after a failure)."""

    @classmethod
    @abc.abstractmethod
    def sources(cls, path: Path) -> ContextManager[List[Source]]:
        """The instruments of a file of this format, readable until the block ends.

        :raises ValueError: the file is not a recording of this format, or not a sound one.
        """


def write_error(path: Path, error: BaseException) -> OSError:
    """One error for a failed write, naming the file: the system's error when one is known."""
    if isinstance(error, OSError) and error.errno is not None:
        return OSError(error.errno, error.strerror or os.strerror(error.errno), os.fspath(path))
    text = str(error)
    # HDF5 reports the system's error inside its own message.
    found = re.search(r"errno = (\d+)", text)
    if found:
        number = int(found.group(1))
        return OSError(number, os.strerror(number), os.fspath(path))
    return OSError(f"cannot write {os.fspath(path)}: {' '.join(text.split())[:200] or type(error).__name__}")


class OutputLock:
    """An exclusive lock on an output path while it is written: ``.NAME.lock`` beside it, locked
    with ``flock`` (released by the system when the process ends, however it ends), removed on release.

    :raises OSError: another writer holds it (``EBUSY``; the message names its process).
    """

    def __init__(self, path: Path) -> None:
        self.path = path.with_name(f".{path.name}.lock")
        self._handle: Optional[int] = None
        if fcntl is None or os.fspath(path) == STANDARD_OUTPUT:  # no flock on this system; no file to lock
            return
        while True:
            handle = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
            try:
                fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                holder = os.read(handle, 32).decode("ascii", "replace").strip()
                os.close(handle)
                raise OSError(errno.EBUSY, "in use by another recording"
                              + (f" (process {holder})" if holder.isdigit() else ""), os.fspath(path)) from None
            # Its last holder may have removed the file meanwhile: then lock the new one.
            try:
                same = os.stat(self.path).st_ino == os.fstat(handle).st_ino
            except FileNotFoundError:
                same = False
            if same:
                break
            os.close(handle)
        os.ftruncate(handle, 0)
        os.write(handle, f"{os.getpid()}\n".encode())
        self._handle = handle

    def release(self) -> None:
        """Remove and unlock (once)."""
        if self._handle is not None:
            self.path.unlink(missing_ok=True)
            os.close(self._handle)
            self._handle = None

    @staticmethod
    def check(path: Path) -> None:
        """Refuse a path that another writer holds now.

        :raises OSError: it does.
        """
        OutputLock(path).release()


#: The longest text a metadata value may hold (a header line a reader accepts is longer than any).
MAX_TEXT = 4096
_KEY = re.compile(r"[A-Za-z_][A-Za-z0-9_.-]{0,63}\Z")
#: Keys a run's sinks bring up to date while it is written (:meth:`Writer.note`): the instrument's
#: clock against the host's (see :mod:`vexlo_tools.recording.timebase`).
NOTED = ("clock_error_ppm", "clock_offset_s")
#: Keys the writer gives itself: what it says about the data it wrote.
WRITTEN = COUNTERS + ("samples", "end_utc", "end_reason", "complete", "events") + NOTED


def check_metadata(metadata: Metadata) -> Metadata:
    """A copy of one instrument's metadata, checked: keys are names (letters, digits, ``_.-``, up
    to 64), values text (up to :data:`MAX_TEXT` characters, no NUL), numbers or truth values, and
    none of the keys the writer gives itself (:data:`WRITTEN`).

    :raises ValueError: one is not.
    """
    checked: Metadata = {}
    for key, value in metadata.items():
        if not isinstance(key, str) or not _KEY.match(key):
            raise ValueError(f"metadata key {key!r}: not a name (letters, digits, '_', '.', '-'; up to 64)")
        if key in WRITTEN:
            raise ValueError(f"metadata key {key!r} is written by the recording itself")
        if isinstance(value, str):
            if len(value) > MAX_TEXT:
                raise ValueError(f"metadata {key!r}: {len(value)} characters, more than {MAX_TEXT}")
            if "\0" in value:
                raise ValueError(f"metadata {key!r}: a NUL character")
        elif not isinstance(value, (bool, int, float)):
            raise ValueError(f"metadata {key!r}: {type(value).__name__}, not text, a number or a truth value")
        checked[key] = value
    return checked


#: The most keys an event may have (a reader refuses more).
MAX_EVENT_KEYS = 32
#: The longest event, as JSON: what a row of an HDF5 file's ``events`` holds.
MAX_EVENT_BYTES = 512


def check_event(event: object) -> Metadata:
    """An event read from a file, checked: an object of at most :data:`MAX_EVENT_KEYS` keys whose values
    are text, numbers or truth values.

    :raises ValueError: it is not.
    """
    if not isinstance(event, dict) or len(event) > MAX_EVENT_KEYS or not all(
            isinstance(k, str) and isinstance(v, (str, int, float, bool)) for k, v in event.items()):
        raise ValueError("an event that is not a flat object of at most 32 texts, numbers or truth values")
    return event


def instrument_names(instruments: Sequence[Metadata]) -> List[str]:
    """Each instrument's name in the file: its serial number, made unique with ``-2``, ``-3``, ..."""
    names: List[str] = []
    for number, metadata in enumerate(instruments, 1):
        base = str(metadata.get("serial_number", f"instrument{number}"))
        name, n = base, 1
        while name in names:
            n += 1
            name = f"{base}-{n}"
        names.append(name)
    return names


#: Writer classes by suffix.
WRITERS: Dict[str, Type[Writer]] = {}

W = Type[Writer]


def register(cls: W) -> W:
    """Class decorator: choose ``cls`` for its suffixes."""
    for suffix in cls.suffixes:
        WRITERS[suffix] = cls
    return cls


#: The output path that stands for standard output, in CSV.
STANDARD_OUTPUT = "-"


def writer_class(path: Union[str, os.PathLike[str]]) -> Type[Writer]:
    """The writer for ``path``'s suffix (CSV for :data:`STANDARD_OUTPUT`).

    :raises ValueError: no format has that suffix (the message lists them).
    """
    suffix = ".csv" if os.fspath(path) == STANDARD_OUTPUT else Path(path).suffix.lower()
    cls = WRITERS.get(suffix)
    if cls is None:
        known = ", ".join(f"{s} ({c.description})" for s, c in WRITERS.items())
        raise ValueError(f"cannot tell the format of {os.fspath(path)!r} from its suffix; use one of {known}")
    return cls


def check_output(path: Union[str, os.PathLike[str]], overwrite: bool = False) -> Type[Writer]:
    """Check that a recording can be written to ``path``, before any instrument is probed.

    The format is known and its library installed, and :func:`check_path` passes.

    :return: the writer class.
    :raises ValueError: unknown suffix.
    :raises vexlo_tools._extras.MissingExtraError: the format's library is missing.
    :raises OSError: see :func:`check_path`.
    """
    cls = writer_class(path)
    cls.check_library()
    check_path(path, overwrite)
    return cls


def check_path(path: Union[str, os.PathLike[str]], overwrite: bool = False) -> None:
    """Check that a file can be written at ``path``: the folder exists and is writable, the
    path is no folder and, unless ``overwrite``, no existing file, and no other writer holds it.

    :raises FileExistsError: the file exists and ``overwrite`` is false.
    :raises PermissionError: the folder (or the existing file) is not writable.
    :raises FileNotFoundError: the folder does not exist.
    :raises IsADirectoryError: the path is a folder.
    :raises OSError: another writer holds the path (see :class:`OutputLock`).
    """
    if os.fspath(path) == STANDARD_OUTPUT:
        return
    target = Path(path)
    folder = target.parent
    if target.is_dir():
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
    if not folder.is_dir():
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), os.fspath(folder))
    if not os.access(folder, os.W_OK | os.X_OK):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), os.fspath(folder))
    if target.exists() and not overwrite:
        raise FileExistsError(f"{os.fspath(path)} exists (--overwrite replaces it)")
    if target.exists() and not os.access(target, os.W_OK):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), os.fspath(path))
    OutputLock.check(target)


def open_writer(path: Union[str, os.PathLike[str]], instruments: Sequence[Metadata], *,
                overwrite: bool = False, compress: bool = False) -> Writer:
    """A writer of the format that ``path``'s suffix names (see :func:`writer_class`)."""
    return writer_class(path)(path, instruments, overwrite=overwrite, compress=compress)

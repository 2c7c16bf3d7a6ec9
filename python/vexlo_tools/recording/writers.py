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
import os
from dataclasses import dataclass
from pathlib import Path
from types import TracebackType
from typing import Callable, ClassVar, ContextManager, Dict, Iterator, List, Optional, Sequence, Tuple, Type, Union

import numpy as np
import numpy.typing as npt

from ..types import COUNTERS, Block, Stats

__all__ = [
    "COUNTERS",
    "Chunk",
    "Metadata",
    "MetadataValue",
    "Source",
    "WRITERS",
    "Writer",
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

    :param path: the output file.
    :param instruments: the provenance of each instrument, in the order of the blocks.
    :param overwrite: replace existing files instead of refusing them.
    :raises FileExistsError: a file exists and ``overwrite`` is false.
    """

    #: The suffixes the format is chosen by, lower case with the dot.
    suffixes: ClassVar[Tuple[str, ...]] = ()
    #: What the format is, for messages and ``--help``.
    description: ClassVar[str] = ""

    def __init__(self, path: Union[str, os.PathLike[str]], instruments: Sequence[Metadata], *,
                 overwrite: bool = False) -> None:
        if not instruments:
            raise ValueError("a recording needs at least one instrument")
        self.path = Path(path)
        self.overwrite = overwrite
        self.metadata: List[Metadata] = [dict(m) for m in instruments]
        self.names = instrument_names(self.metadata)
        self.samples = [0] * len(self.metadata)
        self.counters: List[Dict[str, int]] = [dict.fromkeys(COUNTERS, 0) for _ in self.metadata]
        self.closed = False

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
        """
        if len(blocks) != len(self.metadata):
            raise ValueError(f"{len(blocks)} blocks for {len(self.metadata)} instruments")
        for index, block in enumerate(blocks):
            self._take(index, block)

    def write_block(self, block: Block) -> None:
        """Append one block of the instrument ``block.index`` names (as an engine's sink gets them)."""
        if not 0 <= block.index < len(self.metadata):
            raise ValueError(f"a block of stream {block.index} for {len(self.metadata)} instruments")
        self._take(block.index, block)

    def _take(self, index: int, block: Block) -> None:
        if len(block.time):
            self._append(index, (np.asarray(block.time, np.float64), np.asarray(block.adc, np.uint32),
                                 np.asarray(block.value, np.float64)))
            self.samples[index] += len(block.time)
        self.counters[index] = {name: int(getattr(block.stats, name)) for name in COUNTERS}

    def close(self, stats: Optional[Sequence[Stats]] = None) -> None:
        """Write the counters (``stats``, else those of the last blocks) and close the file."""
        if self.closed:
            return
        self.closed = True
        if stats is not None:
            self.counters = [{name: int(getattr(s, name)) for name in COUNTERS} for s in stats]
        self._finish()

    def __enter__(self) -> Writer:
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()

    @abc.abstractmethod
    def _append(self, index: int, chunk: Chunk) -> None:
        """Append samples of instrument ``index``."""

    @abc.abstractmethod
    def flush(self) -> None:
        """Put what was written so far into the file, so that it survives the process."""

    @abc.abstractmethod
    def _finish(self) -> None:
        """Write the counters and close."""

    @classmethod
    @abc.abstractmethod
    def sources(cls, path: Path) -> ContextManager[List[Source]]:
        """The instruments of a file of this format, readable until the block ends.

        :raises ValueError: the file is not a recording of this format.
        """


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


def writer_class(path: Union[str, os.PathLike[str]]) -> Type[Writer]:
    """The writer for ``path``'s suffix.

    :raises ValueError: no format has that suffix (the message lists them).
    """
    suffix = Path(path).suffix.lower()
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
    path is no folder and, unless ``overwrite``, no existing file.

    :raises FileExistsError: the file exists and ``overwrite`` is false.
    :raises PermissionError: the folder (or the existing file) is not writable.
    :raises FileNotFoundError: the folder does not exist.
    :raises IsADirectoryError: the path is a folder.
    """
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


def open_writer(path: Union[str, os.PathLike[str]], instruments: Sequence[Metadata], *,
                overwrite: bool = False) -> Writer:
    """A writer of the format that ``path``'s suffix names (see :func:`writer_class`)."""
    return writer_class(path)(path, instruments, overwrite=overwrite)

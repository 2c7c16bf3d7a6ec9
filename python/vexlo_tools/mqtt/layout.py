"""The binary layout of a data message: one block of one instrument's samples.

Version 1, little-endian, exact (no padding beyond the header's two reserved bytes)::

    offset  size     field
    0       1        version (1)
    1       8        first sample number (uint64), counted from the start of streaming
    9       4        count n (uint32)
    13      1        flags (uint8): bit 0 set when samples were lost just before this block
    14      2        reserved (zero)
    16      4 n      adc counts (uint32)
    16+4n   8 n      values (float64), in the unit of the instrument's ``info`` message

The sample times follow from the numbers: ``number / samples_per_second``
of the ``info`` message. ``docs/mqtt.md`` gives a reader in plain Python.
"""

from __future__ import annotations

import struct
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

VERSION = 1
HEADER = struct.Struct("<BQIBxx")
#: Flag: samples are missing just before this block (host overrun, or dropped from a full spool).
GAP_BEFORE = 0x01


class Frame(NamedTuple):
    """One decoded data message."""

    first: int
    adc: npt.NDArray[np.uint32]
    value: npt.NDArray[np.float64]
    flags: int


def encode(first: int, adc: npt.ArrayLike, value: npt.ArrayLike, flags: int = 0) -> bytes:
    """The message of one block.

    :raises ValueError: ``adc`` and ``value`` differ in length.
    """
    counts = np.ascontiguousarray(adc, dtype="<u4")
    values = np.ascontiguousarray(value, dtype="<f8")
    if counts.shape != values.shape or counts.ndim != 1:
        raise ValueError(f"adc and value must be one-dimensional and of one length, not {counts.shape} and {values.shape}")
    return HEADER.pack(VERSION, first, len(counts), flags) + counts.tobytes() + values.tobytes()


def decode(payload: bytes) -> Frame:
    """The block a message holds.

    :raises ValueError: an unknown version, or a length that does not match the count.
    """
    if len(payload) < HEADER.size:
        raise ValueError(f"a data message of {len(payload)} bytes is shorter than its {HEADER.size}-byte header")
    version, first, count, flags = HEADER.unpack_from(payload)
    if version != VERSION:
        raise ValueError(f"data layout version {version} is not known (this reader knows {VERSION})")
    expected = HEADER.size + 12 * count
    if len(payload) != expected:
        raise ValueError(f"a data message of {count} samples has {expected} bytes, not {len(payload)}")
    # Views of the message where the host is little-endian (read-only, as the message is), copies elsewhere.
    adc = np.frombuffer(payload, "<u4", count, HEADER.size).astype(np.uint32, copy=False)
    value = np.frombuffer(payload, "<f8", count, HEADER.size + 4 * count).astype(np.float64, copy=False)
    return Frame(first, adc, value, flags)

"""Simulated TEDS sensors (IEEE 1451.4 data sheet in a 512-byte memory).

A sensor is described by readable fields; :meth:`TedsSensor.image` lays
them out in the 512-byte memory image the instrument serves page by page,
and :meth:`TedsSensor.laser` gives the 8-byte identification block whose
first byte is the template ID.

Image layout: 16 pages of 32 bytes; the first byte of every page is a page
checksum, the other 31 bytes carry data. The 496 data bytes form one bit
stream, bit n being bit (n mod 8) of data byte (n div 8), least significant
first, and every field is written least significant bit first at its
stream position:

=========================  =========  ======  ======================
field                      start bit  bits    encoding
=========================  =========  ======  ======================
manufacturer ID            0          14      unsigned
model number               14         15      unsigned
version letter             29         5       unsigned
version number             34         6       unsigned
serial number              40         24      unsigned
template selector          64         2       unsigned (always 0)
template ID                66         8       unsigned
engineering unit code      74         6       unsigned
minimum physical value     80         32      float32
maximum physical value     112        32      float32
minimum electrical value   146        32      float32, V/V
maximum electrical value   178        32      float32, V/V
reverse scaling flag       568        8       0x55 when on, else 0
reverse max electrical     576        32      float32, V/V
=========================  =========  ======  ======================

The host reads the template ID from the laser block, not from the image;
the copy at bit 66 only keeps the image a plausible data sheet.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import Optional

__all__ = ["RawTedsSensor", "TedsSensor", "IMAGE_SIZE", "PAGE_SIZE", "PAGE_COUNT"]

IMAGE_SIZE = 512
PAGE_SIZE = 32
PAGE_COUNT = IMAGE_SIZE // PAGE_SIZE
_DATA_BYTES = PAGE_COUNT * (PAGE_SIZE - 1)

REVERSE_SCALING_ON = 0x55


def _float32_bits(value: float, what: str) -> int:
    try:
        return int.from_bytes(struct.pack("<f", value), "little")
    except (OverflowError, struct.error) as exc:
        raise ValueError(f"{what} {value!r} does not fit a 32-bit float") from exc


def _check_unsigned(value: int, bits: int, what: str) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value < (1 << bits):
        raise ValueError(f"{what} must be an integer from 0 to {(1 << bits) - 1}, got {value!r}")
    return value


class _BitStream:
    """The 496 data bytes of the image, written field by field."""

    def __init__(self) -> None:
        self.data = bytearray(_DATA_BYTES)

    def put(self, start: int, length: int, value: int) -> None:
        for i in range(length):
            if value >> i & 1:
                bit = start + i
                self.data[bit >> 3] |= 1 << (bit & 7)

    def to_image(self) -> bytes:
        image = bytearray(IMAGE_SIZE)
        for page in range(PAGE_COUNT):
            chunk = self.data[page * (PAGE_SIZE - 1) : (page + 1) * (PAGE_SIZE - 1)]
            base = page * PAGE_SIZE
            image[base + 1 : base + PAGE_SIZE] = chunk
            # Page checksum: makes the page's bytes sum to 0 mod 256. The host
            # skips these bytes, so any rule would do; this one is easy to check.
            image[base] = -sum(chunk) & 0xFF
        return bytes(image)


@dataclass
class TedsSensor:
    """A TEDS sensor described by the fields the host decodes.

    Electrical values are given in mV/V, as users think of them; the image
    stores them in V/V as 32-bit floats, so they read back with float32
    precision. Capacities are in the sensor's native unit (``unit_code``:
    the 6-bit TEDS engineering unit code, e.g. 4 for N, 5 for lb).

    :param serial_number: sensor serial number, 24 bits.
    :param unit_code: TEDS engineering unit code, 0..63.
    :param min_capacity: physical value at the minimum electrical output.
    :param max_capacity: physical value at the maximum electrical output.
    :param min_electrical: electrical output at ``min_capacity``, mV/V.
    :param max_electrical: electrical output at ``max_capacity``, mV/V.
    :param reverse_scaling: whether the sheet carries reverse (second
        direction) scaling; written as the flag byte 0x55.
    :param reverse_max_electrical: output at full reverse load, mV/V.
    :param template_id: the TEDS template, first byte of the laser block
        (33 is the IEEE 1451.4 bridge-sensor template).
    :param manufacturer_id: Basic TEDS manufacturer ID, 14 bits.
    :param model_number: Basic TEDS model number, 15 bits.
    :param version_letter: Basic TEDS version letter, 5 bits.
    :param version_number: Basic TEDS version number, 6 bits.
    """

    serial_number: int = 12345
    unit_code: int = 4
    min_capacity: float = 0.0
    max_capacity: float = 1000.0
    min_electrical: float = 0.0
    max_electrical: float = 2.0
    reverse_scaling: bool = True
    reverse_max_electrical: float = 2.0
    template_id: int = 33
    manufacturer_id: int = 0x1D2
    model_number: int = 640
    version_letter: int = 1
    version_number: int = 1

    def image(self) -> bytes:
        """The 512-byte memory image (raises ``ValueError`` for a field out of range)."""
        bits = _BitStream()
        bits.put(0, 14, _check_unsigned(self.manufacturer_id, 14, "manufacturer_id"))
        bits.put(14, 15, _check_unsigned(self.model_number, 15, "model_number"))
        bits.put(29, 5, _check_unsigned(self.version_letter, 5, "version_letter"))
        bits.put(34, 6, _check_unsigned(self.version_number, 6, "version_number"))
        bits.put(40, 24, _check_unsigned(self.serial_number, 24, "serial_number"))
        bits.put(66, 8, _check_unsigned(self.template_id, 8, "template_id"))
        bits.put(74, 6, _check_unsigned(self.unit_code, 6, "unit_code"))
        bits.put(80, 32, _float32_bits(self.min_capacity, "min_capacity"))
        bits.put(112, 32, _float32_bits(self.max_capacity, "max_capacity"))
        bits.put(146, 32, _float32_bits(self.min_electrical / 1000.0, "min_electrical"))
        bits.put(178, 32, _float32_bits(self.max_electrical / 1000.0, "max_electrical"))
        bits.put(568, 8, REVERSE_SCALING_ON if self.reverse_scaling else 0)
        bits.put(576, 32, _float32_bits(self.reverse_max_electrical / 1000.0, "reverse_max_electrical"))
        return bits.to_image()

    def laser(self) -> bytes:
        """The 8-byte laser (identification) block.

        Byte 0 is the template ID; bytes 1..7 identify the part (serial
        number, manufacturer and model, least significant byte first). The
        host only uses byte 0.
        """
        _check_unsigned(self.template_id, 8, "template_id")
        return (
            bytes([self.template_id])
            + _check_unsigned(self.serial_number, 24, "serial_number").to_bytes(3, "little")
            + _check_unsigned(self.manufacturer_id, 14, "manufacturer_id").to_bytes(2, "little")
            + _check_unsigned(self.model_number, 15, "model_number").to_bytes(2, "little")
        )


@dataclass
class RawTedsSensor:
    """A TEDS sensor that serves a given image and laser block verbatim.

    For tests of the host's parser with hand-made or damaged images. Any
    object with ``image()`` (512 bytes) and ``laser()`` (8 bytes) methods
    can stand for a sensor; this is the plain one.
    """

    image_bytes: bytes = field(default_factory=lambda: bytes(IMAGE_SIZE))
    laser_bytes: bytes = bytes([33, 0, 0, 0, 0, 0, 0, 0])

    def __post_init__(self) -> None:
        self.image_bytes = bytes(self.image_bytes)
        self.laser_bytes = bytes(self.laser_bytes)
        if len(self.image_bytes) != IMAGE_SIZE:
            raise ValueError(f"TEDS image must be {IMAGE_SIZE} bytes, got {len(self.image_bytes)}")
        if len(self.laser_bytes) != 8:
            raise ValueError(f"TEDS laser block must be 8 bytes, got {len(self.laser_bytes)}")

    def image(self) -> bytes:
        return self.image_bytes

    def laser(self) -> bytes:
        return self.laser_bytes


def page_of(image: bytes, page: int) -> Optional[bytes]:
    """The 32 bytes of ``page`` (0..15) of an image, or ``None`` outside that range."""
    if not 0 <= page < PAGE_COUNT:
        return None
    return bytes(image[page * PAGE_SIZE : (page + 1) * PAGE_SIZE])

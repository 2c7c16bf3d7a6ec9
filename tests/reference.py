"""Reference versions, in plain Python, of what the tests compare the module
against bit for bit: the integer conversion rules, the checksum and frames,
stream packets and their scan, and the ADC arithmetic. One copy of each, for
every test file.
"""

import math
import operator
import struct

TWO_TO_64 = 2 ** 64
#: The largest value of the unsigned C types the module converts arguments to.
UNSIGNED_LIMITS = {"unsigned char": 255, "unsigned long": TWO_TO_64 - 1}


# --- integer conversion rules -----------------------------------------------------------------


def unsigned(value, c_type, *, truncates=True):
    """``value`` converted as the module converts it to ``c_type`` ("unsigned char" or "unsigned
    long"): an int or anything with ``__index__``, and with ``truncates`` anything with
    ``__int__`` too; TypeError or OverflowError as the interpreter words them."""
    if isinstance(value, int):
        n = value
    elif hasattr(type(value), "__index__"):
        n = operator.index(value)
    elif truncates and hasattr(type(value), "__int__"):
        n = int(value)
    else:
        raise TypeError("an integer is required")
    if n < 0:
        raise OverflowError("can't convert negative value to %s" % c_type)
    if n > UNSIGNED_LIMITS[c_type]:
        raise OverflowError("value too large to convert to %s" % c_type)
    return n


def count_of_reading(reading):
    """The unsigned count of a reading: the double truncated toward zero."""
    if isinstance(reading, (str, bytes)) or reading is None:
        raise TypeError("must be real number, not %s" % type(reading).__name__)
    x = float(reading)
    if math.isnan(x):
        raise ValueError("cannot convert float NaN to integer")
    whole = math.trunc(x) if math.isfinite(x) else x
    if whole < 0:
        raise OverflowError("can't convert negative value to unsigned long")
    if whole >= TWO_TO_64:
        raise OverflowError("value too large to convert to unsigned long")
    return whole


# --- checksum and frames ----------------------------------------------------------------------


def checksum(values):
    """The position-weighted checksum, with the element rules of a byte."""
    return sum(weight * unsigned(v, "unsigned char", truncates=False) for weight, v in enumerate(values, 1)) % 256


def frame(body):
    """``body`` with its checksum appended."""
    body = bytes(body)
    return body + bytes([checksum(body)])


# --- stream packets ---------------------------------------------------------------------------


def packet(values, size=4):
    """A stream packet of ``size`` bytes (4, or 3 for short packets) from its data bytes."""
    data = tuple(values)[:size - 1]
    weighted = sum(weight * b for weight, b in enumerate(data, 1)) % 256
    return bytes(data) + bytes([weighted])


def packet_count(window):
    """The count a packet carries: its data bytes as the top bytes of 32 bits."""
    return int.from_bytes(bytes(window[:-1]).ljust(4, b"\0"), "big")


def packet_valid(window):
    return packet(window[:-1], len(window)) == bytes(window)


def ieee_div(a, b):
    """a / b as IEEE arithmetic gives it (Python raises on a zero divisor)."""
    if b != 0.0 or math.isnan(b):
        return a / b
    if a == 0.0 or math.isnan(a):
        return math.nan
    return math.copysign(math.inf, math.copysign(1.0, a) * math.copysign(1.0, b))


def direction(conv, n, which):
    """Direction 1 or 2 of count n, one operation at a time in the documented order."""
    offset_value = getattr(conv, "direction_%d_offset_value" % which)
    fullscale_load = getattr(conv, "direction_%d_fullscale_load" % which)
    fullscale_value = getattr(conv, "direction_%d_fullscale_value" % which)
    t1 = float(n) - offset_value
    t2 = t1 * fullscale_load
    t3 = fullscale_value - offset_value
    t4 = ieee_div(t2, t3)
    result = t4 * conv.scale_factor + conv.offset
    return result if which == 1 else -result


def midpoint_count(value):
    """The midpoint as a count: negative and NaN as 0, beyond the counts the largest count."""
    if not value >= 1.0:
        return 0
    if value >= TWO_TO_64:
        return TWO_TO_64 - 1
    return int(value)


def route(conv, n):
    """1 or 2 for the direction that converts count n, 0 for the fixed 0.0."""
    if conv.number_of_directions != 1:
        return 1
    x = float(n)
    o1, f1 = conv.direction_1_offset_value, conv.direction_1_fullscale_value
    o2, f2 = conv.direction_2_offset_value, conv.direction_2_fullscale_value
    mu = midpoint_count(conv.midpoint_offset)
    if f1 > o1:
        if o2 > o1:
            return 2 if n < mu else 1
        if x >= o1:
            return 1
        if x <= o2:
            return 2
        return 2 if n < mu else 1
    if o1 <= f2:
        return 0
    if x < f1 or (f2 <= x <= o1):
        return 1
    if o1 < x < o2:
        return 2 if n > mu else 1
    return 2


def convert(conv, reading):
    n = count_of_reading(reading)
    which = route(conv, n)
    return 0.0 if which == 0 else direction(conv, n, which)


def same_float(a, b):
    """Bit-identical doubles, any NaN matching any NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<d", a) == struct.pack("<d", b)


def scan(data, packet_size, convert_count):
    """The stream algorithm.

    convert_count(count) returns a float, or raises ValueError to reject the
    position. Returns the readings as (value, count) pairs, the remainder,
    the invalid count and the rejections as (index, error text).
    """
    readings = []
    rejections = []
    index = 0
    invalid = 0
    while index <= len(data) - packet_size:
        p = data[index:index + packet_size]
        count = packet_count(p)
        if not packet_valid(p):
            invalid += 1
            index += 1
            continue
        try:
            readings.append((convert_count(count), count))
            index += packet_size
        except ValueError as error:
            rejections.append((index, str(error)))
            invalid += 1
            index += 1
    return readings, bytes(data[index:]), invalid, rejections


def two_direction_converter(cls):
    """A calibration over the 32-bit count range, so that stream counts reach both directions."""
    conv = cls()
    conv.direction_1_offset_value = 2.0e9
    conv.direction_1_fullscale_value = 4.0e9
    conv.direction_1_fullscale_load = 500.0
    conv.direction_2_offset_value = 1.9e9
    conv.direction_2_fullscale_value = 1.0e8
    conv.direction_2_fullscale_load = 450.0
    conv._set_midpoint_offset()
    return conv

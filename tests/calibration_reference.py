"""Reference versions, in plain Python, of the ADC arithmetic and the stream scan.

The tests compare the module against these bit for bit.
"""

import math
import struct

TWO_TO_64 = 2.0 ** 64


def ieee_div(a, b):
    """a / b as IEEE arithmetic gives it (Python raises on a zero divisor)."""
    if b != 0.0 or math.isnan(b):
        return a / b
    if a == 0.0 or math.isnan(a):
        return math.nan
    return math.copysign(math.inf, math.copysign(1.0, a) * math.copysign(1.0, b))


def direction(conv, n, which):
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
    if not value >= 1.0:
        return 0
    if value >= TWO_TO_64:
        return 2 ** 64 - 1
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
    n = int(float(reading))  # the reading is a double
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
        if packet_size == 4:
            valid = (p[0] + 2 * p[1] + 3 * p[2]) % 256 == p[3]
            count = (p[0] << 24) | (p[1] << 16) | (p[2] << 8)
        else:
            valid = (p[0] + 2 * p[1]) % 256 == p[2]
            count = (p[0] << 24) | (p[1] << 16)
        if not valid:
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


def packet4(b0, b1, b2):
    return bytes((b0, b1, b2, (b0 + 2 * b1 + 3 * b2) % 256))


def packet3(b0, b1):
    return bytes((b0, b1, (b0 + 2 * b1) % 256))


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

"""Fuzzing of every parser and converter against plain-Python transcriptions of
their rules: the only outcomes allowed are the correct result or one of the
documented errors, with the documented message, cause and log records.

Each hypothesis example is checked as several inputs (a frame under every
payload type and several lengths, a calibration with readings around each of
its points, ...). The suite runs a short profile; ``make fuzz`` runs at least
100,000 inputs per target.
"""

import math
import operator
import struct
import sys
from decimal import Decimal
from fractions import Fraction
from unittest import mock

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vexlo_device_communication as vexlo
from reference import checksum, convert, direction, packet, unsigned
from reliability import FULL, FUZZ_INPUTS, caught, count, expected_stream

ProtocolError = vexlo.VexloProtocolError
convert4 = vexlo.StreamDataConverter.convert_stream_data_to_reading
convert3 = vexlo.StreamDataConverter.convert_stream_data_to_reading_38_kHz
OPERATIONS = vexlo._CommandOperations()


class Recorder:
    """Stands in for the module logger and keeps (level, message) pairs."""

    def __init__(self):
        self.records = []

    def __getattr__(self, level):
        return lambda message: self.records.append((level, message))


RECORDER = Recorder()


@pytest.fixture(autouse=True, scope="module")
def recording_logger():
    with mock.patch.object(vexlo, "logger", RECORDER):
        yield


def recorded(function, *args):
    """The outcome of function(*args) (see caught) and the log records it made."""
    RECORDER.records = []
    return caught(function, *args), RECORDER.records


def inputs(per_example):
    """Settings for a target whose examples are checked as at least
    `per_example` inputs each: enough examples for the full run's total."""
    if FULL:
        return settings(max_examples=-(-FUZZ_INPUTS // per_example))
    return settings()


def fuzzed(target, n=1):
    count("inputs fuzzed: " + target, n)


def same_value(a, b):
    """Equal values of the same type; floats bit for bit, any NaN matching any NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return struct.pack("<d", a) == struct.pack("<d", b)
    return a == b


def assert_protocol_error(error, message, cause_type):
    """A VexloProtocolError with exactly this message, chained to a cause of
    this type as `raise ... from e` does (or with no cause)."""
    assert type(error) is ProtocolError, repr(error)
    assert str(error) == message
    if cause_type is None:
        assert error.__cause__ is None
    else:
        assert type(error.__cause__) is cause_type
        assert error.__context__ is error.__cause__


class Refusing:
    """A value whose float conversion raises the given exception."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class Indexable:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class Wrong:
    def __float__(self):
        return "not a float"


class Derived(float):
    pass


# --- Payload conversion ---------------------------------------------------------------------

PAYLOAD_TYPES = ["raw", "hex_string", "ascii", "int", "float"]

payload_types = st.one_of(
    st.sampled_from(PAYLOAD_TYPES),
    st.sampled_from(["NA", "Int", "RAW", "raw ", "", "\0"]),
    st.text(max_size=6), st.none(), st.integers(), st.binary(max_size=5), st.floats())
lengths = st.one_of(st.integers(-6, 44), st.integers(-2 ** 31, 2 ** 31 - 1))
odd_lengths = st.one_of(st.integers(2 ** 31, 2 ** 80), st.integers(-2 ** 80, -2 ** 31 - 1), st.floats(),
                        st.text(max_size=2), st.none(), st.booleans())
byte_frames = st.one_of(st.binary(max_size=44), st.lists(st.integers(0, 127), max_size=44).map(bytes))
frames = st.one_of(byte_frames, byte_frames.map(bytearray), st.lists(st.integers(0, 255), max_size=20))


def expected_payload(length, kind, frame):
    """('ok', value), ('protocol', message, cause type) or ('interpreter', error type)."""
    try:
        length = operator.index(length)
    except TypeError:
        return ("interpreter", TypeError)
    if not -2 ** 31 <= length < 2 ** 31:
        return ("interpreter", OverflowError)
    try:
        if isinstance(kind, str) and kind == "raw":
            return ("ok", frame[4:])
        if len(frame) < length + 4:
            return ("protocol", "Payload too short: expected %d bytes, got %d" % (length + 4, len(frame)), None)
        payload = frame[4:length + 4]
        if kind == "hex_string":
            return ("ok", payload.hex())
        if kind == "ascii":
            return ("ok", payload.decode("ascii").replace("\0", ""))
        if kind == "int":
            return ("ok", int.from_bytes(payload, "big"))
        if kind == "float":
            if len(payload) != 4:
                return ("protocol", "Float conversion requires 4 bytes, got %d" % len(payload), None)
            return ("ok", struct.unpack("<f", payload)[0])
        return ("protocol", "Unknown payload type: %s" % (kind,), None)
    except Exception as error:  # noqa: BLE001 - any other failure is wrapped
        return ("protocol", "Failed to convert payload: %s" % error, type(error))


def check_payload(length, kind, frame):
    original = frame.copy() if isinstance(frame, (bytearray, list)) else frame
    (status, value), logged = recorded(OPERATIONS.convert_payload, length, kind, frame)
    expected = expected_payload(length, kind, frame)
    assert frame == original
    if expected[0] == "ok":
        assert status == "ok" and same_value(value, expected[1]), (value, expected)
        assert logged == []
    elif expected[0] == "interpreter":
        assert status == "raised" and type(value) is expected[1]
        assert logged == []
    else:
        assert status == "raised"
        assert_protocol_error(value, expected[1], expected[2])
        cause = value.__cause__
        assert logged == ([("error", "Payload conversion failed: %s" % cause)] if cause else [])


@inputs(35)
@given(frame=frames, more_lengths=st.lists(st.one_of(lengths, lengths, lengths, odd_lengths), min_size=3, max_size=3),
       odd_kind=payload_types)
def test_convert_payload(frame, more_lengths, odd_kind):
    # The frame under every payload type, at its own payload length, at 4 and
    # at the lengths drawn.
    for length in [len(frame) - 5, 4] + more_lengths:
        for kind in PAYLOAD_TYPES + ["NA", odd_kind]:
            check_payload(length, kind, frame)
    fuzzed("convert_payload", 35)


# --- Checksums ------------------------------------------------------------------------------


def expected_validation(frame):
    if len(frame) < 2:
        return ("protocol", "Response too short for checksum validation")
    try:
        calculated = checksum(frame[:-1])
    except (TypeError, OverflowError) as error:
        return ("interpreter", type(error), str(error))
    if frame[-1] != calculated:
        return ("mismatch", "Invalid checksum in response")
    return ("ok", None)


def check_validation(frame):
    (status, value), logged = recorded(OPERATIONS.validate_response_checksum, frame)
    expected = expected_validation(frame)
    if expected[0] == "ok":
        assert (status, value, logged) == ("ok", None, [])
    elif expected[0] == "interpreter":
        assert status == "raised" and (type(value), str(value)) == expected[1:]
    else:
        assert status == "raised"
        assert_protocol_error(value, expected[1], None)
        assert logged == ([("error", "Checksum mismatch")] if expected[0] == "mismatch" else [])


@inputs(12)
@given(body=st.binary(max_size=40), wrong=st.integers(1, 255), position=st.integers(0, 40),
       odd=st.sampled_from([-1, 256, 2 ** 70, True, 1.0, "a", None]))
def test_validate_response_checksum(body, wrong, position, odd):
    # The body closed by its checksum, by a wrong byte, and unclosed, as bytes,
    # bytearray and list; then a list holding one element that is no byte.
    right = checksum(body)
    variants = [body + bytes([right]), body + bytes([(right + wrong) % 256]), body, body[:1]]
    frames = [kind(v) for v in variants for kind in (bytes, bytearray, list)]
    odd_frame = list(variants[0])
    odd_frame[position % len(odd_frame)] = odd
    for frame in frames + [odd_frame]:
        check_validation(frame)
    fuzzed("validate_response_checksum", len(frames) + 1)


byte_values = st.one_of(st.integers(0, 255), st.integers(0, 255), st.integers(-3, 300), st.integers(),
                        st.booleans(), st.floats(), st.text(max_size=1), st.none())


@inputs(5)
@given(values=st.lists(byte_values, max_size=12))
def test_calculate_checksum(values):
    in_range = [v if type(v) is int and 0 <= v <= 255 else 7 for v in values]
    for kind, elements in ((list, values), (tuple, values), (iter, values), (bytes, in_range),
                           (bytearray, in_range)):
        status, value = caught(OPERATIONS.calculate_checksum, kind(elements))
        expected = caught(checksum, elements)
        if expected[0] == "ok":
            assert (status, value) == expected
        else:
            assert status == "raised" and (type(value), str(value)) == (type(expected[1]), str(expected[1]))
    fuzzed("calculate_checksum", 5)


# --- Request frames -------------------------------------------------------------------------

descriptor_values = st.one_of(st.integers(0, 255), st.integers(0, 255), st.integers(-3, 300), st.integers(),
                              st.booleans(), st.floats(), st.text(max_size=2), st.none())
arguments = st.one_of(
    st.binary(max_size=8), st.binary(max_size=8).map(bytearray),
    st.lists(st.integers(0, 255), max_size=8), st.lists(st.integers(-2, 300), max_size=8),
    st.lists(st.integers(0, 255), max_size=8).map(tuple), st.integers(0, 6).map(range),
    st.text(max_size=3), st.none(), st.integers(), st.lists(byte_values, max_size=3))


class DerivedCommand(vexlo._Command):
    pass


@st.composite
def descriptors(draw):
    if draw(st.integers(0, 9)) == 0:
        return draw(st.sampled_from([(0, 5, 1, 1), {"command_length": 5}, None, 5, "command", b"\0\5",
                                     vexlo._CommandOperations()]))
    cls = DerivedCommand if draw(st.booleans()) else vexlo._Command
    high, low, length = draw(descriptor_values), draw(descriptor_values), draw(descriptor_values)
    return cls(high, low, length, draw(descriptor_values), draw(descriptor_values), draw(descriptor_values),
               draw(payload_types))


def expected_frame(command, args):
    if not isinstance(command, vexlo._Command):
        return ("protocol", "Invalid command type: " + type(command).__name__, None)
    try:
        frame = bytearray([0, command.command_length, command.command_high_byte, command.command_low_byte])
        frame.extend(bytearray() if args == "default" else args)
        frame.append(checksum(frame))
        return ("ok", frame)
    except Exception as error:  # noqa: BLE001 - any other failure is wrapped
        return ("protocol", "Failed to construct command: %s" % error, type(error))


@inputs(5)
@given(command=descriptors(), argument_list=st.lists(arguments, min_size=4, max_size=4))
def test_get_command_byte_array(command, argument_list):
    for args in argument_list + ["default"]:
        call = (OPERATIONS.get_command_byte_array, command) + (() if args == "default" else (args,))
        (status, value), logged = recorded(*call)
        expected = expected_frame(command, args)
        if expected[0] == "ok":
            assert status == "ok" and type(value) is bytearray and value == expected[1]
            assert logged == []
        else:
            assert status == "raised"
            assert_protocol_error(value, expected[1], expected[2])
            cause = value.__cause__
            assert logged == ([("error", "Error constructing command: %s" % cause)] if cause else [])
    fuzzed("get_command_byte_array", 5)


# --- ADC conversion -------------------------------------------------------------------------

COUNTS = [0.0, 1.0, 100.0, 1000.0, 1005.0, 2.0 ** 24, 2.0 ** 31, 2.0 ** 32 - 1, 2.0 ** 53, 2.0 ** 63, 2.0 ** 64]
doubles = st.one_of(st.sampled_from(COUNTS), st.integers(-2 ** 33, 2 ** 33).map(float), st.floats(),
                    st.floats(-1e10, 1e10), st.sampled_from([math.inf, -math.inf, math.nan, -0.0]))
DIRECTION_ATTRIBUTES = ["direction_%d_%s" % (d, name) for d in (1, 2)
                        for name in ("offset_load", "fullscale_load", "offset_value", "fullscale_value")]


@st.composite
def converters(draw):
    conv = vexlo.ADCConverter()
    for name in DIRECTION_ATTRIBUTES + ["scale_factor", "offset"]:
        setattr(conv, name, draw(doubles))
    conv.number_of_directions = draw(st.one_of(st.sampled_from([1, 1, 1, 0, 2]), st.integers(-2 ** 31, 2 ** 31 - 1)))
    conv.number_of_loading_points = draw(st.integers(-2 ** 31, 2 ** 31 - 1))
    if draw(st.booleans()):
        conv._set_midpoint_offset()
    else:
        conv.midpoint_offset = draw(doubles)
    return conv


def readings_near(conv):
    """Readings at and around the points the decision tree compares with."""
    points = [conv.direction_1_offset_value, conv.direction_1_fullscale_value, conv.direction_2_offset_value,
              conv.direction_2_fullscale_value, conv.midpoint_offset]
    readings = []
    for point in points:
        if math.isfinite(point) and -2 <= point < 2 ** 64:
            whole = math.floor(point)
            readings += [point, whole - 1, whole + 1, whole + 0.5]
        else:
            readings.append(point)
    return readings


other_readings = st.one_of(
    st.integers(0, 2 ** 32), st.integers(-2 ** 65, 2 ** 65), st.integers(2 ** 1023, 2 ** 1100), st.floats(),
    st.sampled_from([None, "12", b"12", True, Decimal("7.5"), Fraction(7, 2), -0.5, -1.0, 2.0 ** 64,
                     2.0 ** 64 - 2048, Indexable(3)]))


def check_reading(conv, reading):
    status, value = caught(conv.convert_adc, reading)
    expected = caught(convert, conv, reading)
    if expected[0] == "ok":
        assert status == "ok" and same_value(value, expected[1]), (reading, value, expected[1])
    else:
        assert status == "raised" and type(value) is type(expected[1]), (reading, value, expected[1])
        if not isinstance(value, TypeError):
            assert str(value) == str(expected[1])
    for which in (1, 2):
        operation = conv.calculate_for_direction_1 if which == 1 else conv.calculate_for_direction_2
        status, value = caught(operation, reading)
        expected = caught(lambda: direction(conv, unsigned(reading, "unsigned long"), which))
        if expected[0] == "ok":
            assert status == "ok" and same_value(value, expected[1])
        else:
            assert status == "raised" and (type(value), str(value)) == (type(expected[1]), str(expected[1]))


@inputs(8)
@given(conv=converters(), others=st.lists(other_readings, min_size=3, max_size=3))
def test_convert_adc_matches_the_documented_rules(conv, others):
    readings = readings_near(conv) + others
    for reading in readings:
        check_reading(conv, reading)
    fuzzed("ADCConverter.convert_adc", len(readings))


# --- Stream conversion ----------------------------------------------------------------------


def _raise(error):
    raise error


# What a converter's convert_adc does for a count: returns odd values, or raises.
BEHAVIOURS = [
    ("plain", lambda n: n / 3),
    ("zero int", lambda n: 0),
    ("negative", lambda n: -7),
    ("bool", lambda n: True),
    ("huge int", lambda n: 2 ** 70),
    ("too large for a float", lambda n: 2 ** 1100),
    ("nan", lambda n: math.nan),
    ("infinity", lambda n: -math.inf),
    ("decimal", lambda n: Decimal("2.5")),
    ("fraction", lambda n: Fraction(1, 3)),
    ("float subclass", lambda n: Derived(3.25)),
    ("index only", lambda n: Indexable(5)),
    ("text", lambda n: "12"),
    ("none", lambda n: None),
    ("float conversion returns text", lambda n: Wrong()),
    ("float conversion raises value error", lambda n: Refusing(ValueError("no float for %d" % n))),
    ("float conversion raises key error", lambda n: Refusing(KeyError(n))),
    ("raises value error", lambda n: _raise(ValueError("bad count %d" % n))),
    ("raises zero division", lambda n: _raise(ZeroDivisionError("zero at %d" % n))),
    ("raises attribute error", lambda n: _raise(AttributeError("nothing at %d" % n))),
    ("raises unicode error", lambda n: _raise(UnicodeError("sub at %d" % n))),
    ("raises runtime error", lambda n: _raise(RuntimeError("stop at %d" % n))),
    ("raises arithmetic error", lambda n: _raise(ArithmeticError("arith at %d" % n))),
    ("raises type error", lambda n: _raise(TypeError("type at %d" % n))),
    ("raises stop iteration", lambda n: _raise(StopIteration(n))),
]


def as_double(value):
    """A result converted to a float as a C double field takes it: numbers and
    objects with __float__ or __index__, but no text."""
    if isinstance(value, (str, bytes)) or value is None:
        raise TypeError("must be real number, not %s" % type(value).__name__)
    return float(value)


class OddConverter:
    """Picks a behaviour per count, from a few drawn ones."""

    def __init__(self, behaviours):
        self.behaviours = behaviours

    def pick(self, n):
        return self.behaviours[(n >> 16) % len(self.behaviours)]

    def convert_adc(self, n):
        return self.pick(n)[1](n)


class NoConvert:
    """A converter without convert_adc: every valid packet is an AttributeError."""


class PlainSubclass(vexlo.ADCConverter):
    """Not exactly ADCConverter, so converted through convert_adc by name."""


@st.composite
def stream_buffers(draw, size):
    out = bytearray()
    for _ in range(draw(st.integers(0, 12))):
        if draw(st.integers(0, 3)):
            out += packet(draw(st.tuples(st.integers(0, 255), st.integers(0, 255), st.integers(0, 255))), size)
        else:
            out += draw(st.binary(min_size=1, max_size=3))
    return out


def stream_converter(draw):
    """A converter and value_of(count): the float its reading gets, ("skip", warning text) or raises."""
    kind = draw(st.sampled_from(["native", "subclass", "odd", "odd", "no convert_adc"]))
    if kind in ("native", "subclass"):
        conv = draw(converters())
        if kind == "subclass":
            derived = PlainSubclass()
            derived.__setstate__(conv.__reduce__()[2])
            conv = derived
        return conv, lambda n: convert(conv, n)
    if kind == "odd":
        conv = OddConverter(draw(st.lists(st.sampled_from(BEHAVIOURS), min_size=1, max_size=4)))

        def value_of(n):
            try:
                return as_double(conv.pick(n)[1](n))
            except (ValueError, ZeroDivisionError, AttributeError) as error:
                return ("skip", str(error))
        return conv, value_of
    return NoConvert(), lambda n: ("skip", "'NoConvert' object has no attribute 'convert_adc'")


def check_stream(function, size, given_data, conv, value_of):
    buffer = bytearray(given_data)
    (status, result), logged = recorded(function, given_data, conv)
    assert given_data == buffer
    expected, warnings = expected_stream(buffer, size, value_of)
    assert [text for level, text in logged if level == "warning"] == warnings
    if isinstance(expected, Exception):
        assert status == "raised" and type(result) is type(expected), (result, expected)
        return
    assert status == "ok", result
    readings, remainder = expected
    assert type(result) is vexlo.StreamConversionResult
    assert type(result.readings) is list and type(result.remainder) is bytearray
    assert [r.adc_value for r in result.readings] == [n for _, n in readings]
    assert all(type(r) is vexlo.StreamReading for r in result.readings)
    assert all(same_value(r.calibrated_value, value) for r, (value, _) in zip(result.readings, readings))
    assert result.remainder == remainder
    if len(buffer) < size:
        assert logged == []
        if type(given_data) is bytearray:
            assert result.remainder is given_data
    else:
        assert logged[-1] == ("debug", "Converted %d readings, %d remainder bytes" % (len(readings), len(remainder)))


@inputs(4)
@given(data=st.data(), size=st.sampled_from([3, 4]))
def test_stream_conversions(data, size):
    # A buffer made for one packet format goes through both, as bytes and as a bytearray.
    buffer = data.draw(stream_buffers(size))
    conv, value_of = stream_converter(data.draw)
    for function, packet_size in ((convert4, 4), (convert3, 3)):
        for given_data in (bytes(buffer), bytearray(buffer)):
            check_stream(function, packet_size, given_data, conv, value_of)
    fuzzed("stream conversions", 4)


# --- TEDS image and bit helpers -------------------------------------------------------------

TEDSData = vexlo.TEDSData
SSIZE_MAX = sys.maxsize


def image_bits(elements, skip_checksums):
    """Stream bit n is bit (n mod 8) of data byte (n div 8), least significant first.
    Every element is converted, the left-out checksum bytes too."""
    data = [unsigned(v, "unsigned char") for v in elements]
    data = [byte for i, byte in enumerate(data) if not (skip_checksums and i % 32 == 0)]
    return [bool((byte >> k) & 1) for byte in data for k in range(8)]


def bit_field(bits, start, length):
    return sum(1 << i for i in range(length) if start + i < len(bits) and bits[start + i])


def single(bits, start):
    return struct.unpack("<f", bit_field(bits, start, 32).to_bytes(4, "little"))[0]


def template_value(template):
    if isinstance(template, int):
        n = int(template)
    elif hasattr(type(template), "__index__"):
        n = operator.index(template)
    elif hasattr(type(template), "__int__"):
        n = int(template)
    else:
        raise TypeError("an integer is required")
    if not -2 ** 31 <= n < 2 ** 31:
        raise OverflowError("value too large to convert to int")
    return n


def expected_teds(raw, template):
    """('ok', fields), ('length', message) or ('wrapped', message, cause type)."""
    if len(raw) != 512:
        return ("length", "TEDS data must be 512 bytes, got %d" % len(raw))
    try:
        bits = image_bits(raw, True)
        fields = {
            "raw_data": raw,
            "template": template_value(template),
            "serial_number": str(bit_field(bits, 40, 24)),
            "engineering_unit": bit_field(bits, 74, 6),
            "min_capacity": single(bits, 80),
            "max_capacity": single(bits, 112),
            "min_electrical": single(bits, 146) * 1000.0,
            "max_electrical": single(bits, 178) * 1000.0,
            "reverse_scaling_enabled": bit_field(bits, 568, 8) == 0x55,
            "reverse_max_electrical": single(bits, 576) * 1000.0,
        }
    except Exception as error:  # noqa: BLE001 - wrapped, as by the module
        return ("wrapped", "Failed to parse TEDS data: %s" % error, type(error))
    return ("ok", fields)


def check_parse(raw, template):
    status, value = caught(TEDSData.parse_from_bytes, raw, template)
    expected = expected_teds(raw, template)
    if expected[0] == "ok":
        assert status == "ok" and type(value) is TEDSData, value
        for name, field_value in expected[1].items():
            got = getattr(value, name)
            assert got is raw if name == "raw_data" else same_value(got, field_value), (name, got, field_value)
        return
    assert status == "raised" and type(value) is vexlo.VexloTEDSDataCorruptedError, value
    assert str(value) == expected[1]
    if expected[0] == "length":
        assert value.__cause__ is None
    else:
        assert type(value.__cause__) is expected[2] and value.__context__ is value.__cause__


# Images: random ones, and ones whose decoded fields hold chosen values.
field_bytes = st.one_of(st.binary(min_size=4, max_size=4),
                        st.floats(width=32).map(lambda f: struct.pack("<f", f)),
                        st.sampled_from([b"\0\0\x80\x3f", b"\0\0\xc0\x7f", b"\0\0\x80\xff", b"\x01\0\0\0"]))


@st.composite
def teds_images(draw):
    image = bytearray(draw(st.randoms(use_true_random=False)).randbytes(512))
    if draw(st.booleans()):
        # The page-0 float fields and the page-2 reverse fields, byte aligned.
        for offset in (11, 15, 75):
            image[offset:offset + 4] = draw(field_bytes)
        image[74] = draw(st.sampled_from([0x55, 0x54, 0x56, 0xFF, 0x00]))
    return bytes(image)


odd_elements = st.sampled_from([-1, 256, 2 ** 70, 3.9, -0.5, True, "7", None, Decimal("9.5"), Indexable(8)])
templates = st.one_of(st.integers(0, 255), st.integers(-2 ** 31, 2 ** 31 - 1), st.integers(), st.floats(),
                      st.sampled_from([None, "33", True, Decimal("33.7"), Indexable(33)]))


@inputs(7)
@given(image=teds_images(), template=templates, position=st.integers(0, 511), odd=odd_elements,
       length=st.sampled_from([0, 1, 511, 513, 1024]))
def test_teds_parse_from_bytes(image, template, position, odd, length):
    with_odd = list(image)
    with_odd[position] = odd
    for raw in (image, bytearray(image), list(image), tuple(image), with_odd, image[:length] + bytes(1024)[:max(0, length - 512)]):
        check_parse(raw, template)
    check_parse(image, 33)
    fuzzed("TEDSData.parse_from_bytes", 7)


def expected_int(bits, start, length):
    start, length = operator.index(start), operator.index(length)
    start = max(-SSIZE_MAX - 1, min(SSIZE_MAX, start))
    length = max(-SSIZE_MAX - 1, min(SSIZE_MAX, length))
    if start < 0:
        raise ValueError("start_index must not be negative, got %d" % start)
    if length > 32:
        raise ValueError("length must not exceed 32, got %d" % length)
    if length <= 0:
        return 0
    value = sum(1 << i for i in range(length) if start + i < len(bits) and bits[start + i])
    return value - 2 ** 32 if value >= 2 ** 31 else value


def expected_float(bits, start):
    start = max(-SSIZE_MAX - 1, min(SSIZE_MAX, operator.index(start)))
    if start < 0:
        raise ValueError("start_index must not be negative, got %d" % start)
    value = sum(1 << i for i in range(32) if start + i < len(bits) and bits[start + i])
    return struct.unpack("<f", value.to_bytes(4, "little"))[0]


def same_outcome(got, expected):
    if expected[0] == "ok":
        return got[0] == "ok" and same_value(got[1], expected[1])
    return got[0] == "raised" and (type(got[1]), str(got[1])) == (type(expected[1]), str(expected[1]))


positions = st.one_of(st.integers(-3, 80), st.integers(-2 ** 70, 2 ** 70), st.sampled_from([3.0, "1", None]))


@inputs(10)
@given(raw=st.lists(st.one_of(st.integers(0, 255), st.integers(0, 255), odd_elements), max_size=70),
       skip=st.sampled_from([False, True, 0, 1, "", "yes", None]),
       fields=st.lists(st.tuples(positions, positions), min_size=4, max_size=4),
       bit_kind=st.sampled_from([list, tuple, "ints", "bytes"]))
def test_teds_bit_helpers(raw, skip, fields, bit_kind):
    for elements in (raw, bytes(v for v in raw if type(v) is int and 0 <= v <= 255)):
        assert same_outcome(caught(TEDSData.bytes_to_bits, elements, skip),
                            caught(image_bits, list(elements), bool(skip)))
    bits = image_bits([v for v in raw if type(v) is int and 0 <= v <= 255], False)
    bit_array = {list: list, tuple: tuple, "ints": lambda b: [int(x) * 7 for x in b],
                 "bytes": lambda b: bytes(int(x) for x in b)}[bit_kind](bits)
    for start, length in fields:
        assert same_outcome(caught(TEDSData.bits_to_int, bit_array, start, length),
                            caught(expected_int, bits, start, length)), (start, length)
        assert same_outcome(caught(TEDSData.bits_to_float, bit_array, start), caught(expected_float, bits, start))
    fuzzed("TEDSData bit helpers", 10)

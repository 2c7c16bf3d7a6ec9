import copy
import gc
import pickle
import re
import weakref
from unittest import mock

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference as ref
import vexlo_device_communication as vexlo

StreamReading = vexlo.StreamReading
StreamConversionResult = vexlo.StreamConversionResult
convert4 = vexlo.StreamDataConverter.convert_stream_data_to_reading
convert3 = vexlo.StreamDataConverter.convert_stream_data_to_reading_38_kHz
FORMATS = [pytest.param(convert4, 4, id="4-byte"), pytest.param(convert3, 3, id="3-byte")]


class RecordingLogger:
    def __init__(self):
        self.records = []

    def __getattr__(self, level):
        return lambda message: self.records.append((level, message))

    def at(self, level):
        return [message for lvl, message in self.records if lvl == level]


@pytest.fixture
def logger(monkeypatch):
    recorder = RecordingLogger()
    monkeypatch.setattr(vexlo, "logger", recorder)
    return recorder


def calibrated():
    return ref.two_direction_converter(vexlo.ADCConverter)


class PlainSubclass(vexlo.ADCConverter):
    """Not exactly ADCConverter: goes through convert_adc by name."""


def as_pairs(result):
    return [(r.calibrated_value, r.adc_value) for r in result.readings]


# --- StreamReading ------------------------------------------------------------------


@pytest.mark.parametrize("args, kwargs, expected", [
    ((1.5, 7), {}, (1.5, 7)),
    ((), {"calibrated_value": 1.5, "adc_value": 7}, (1.5, 7)),
    ((1.5,), {"adc_value": 7}, (1.5, 7)),
    ((2, 7.9), {}, (2.0, 7)),
    ((True, 2 ** 64 - 1), {}, (1.0, 2 ** 64 - 1)),
])
def test_reading_constructor(args, kwargs, expected):
    reading = StreamReading(*args, **kwargs)
    assert (reading.calibrated_value, reading.adc_value) == expected
    assert type(reading.calibrated_value) is float and type(reading.adc_value) is int


@pytest.mark.parametrize("value, error, message", [
    (-1, OverflowError, "can't convert negative value to unsigned long"),
    (2 ** 64, OverflowError, "value too large to convert to unsigned long"),
    ("7", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
])
def test_reading_adc_value_rules(value, error, message):
    with pytest.raises(error, match="^%s$" % message):
        StreamReading(0.0, value)
    reading = StreamReading(0.0, 2 ** 64 - 1)
    with pytest.raises(error, match="^%s$" % message):
        reading.adc_value = value
    assert reading.adc_value == 2 ** 64 - 1


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((1.0,), {}), ((1.0, 2, 3), {}), (("x", 2), {}), ((1.0, 2), {"other": 1}),
])
def test_reading_constructor_errors(args, kwargs):
    with pytest.raises(TypeError):
        StreamReading(*args, **kwargs)


@pytest.mark.parametrize("name", ["calibrated_value", "adc_value"])
def test_reading_attributes_cannot_be_deleted(name):
    reading = StreamReading(2.5, 9)
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(reading, name)
    reading.calibrated_value = 4
    assert reading.calibrated_value == 4.0 and type(reading.calibrated_value) is float


@pytest.mark.parametrize("protocol", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_reading_pickles(protocol):
    reading = StreamReading(-3.25, 2 ** 40 + 1)
    assert reading.__reduce__()[2] == (2 ** 40 + 1, -3.25)
    copy_ = pickle.loads(pickle.dumps(reading, protocol))
    assert (type(copy_), copy_.calibrated_value, copy_.adc_value) == (StreamReading, -3.25, 2 ** 40 + 1)


# --- StreamConversionResult ----------------------------------------------------------


class ListSubclass(list):
    pass


@pytest.mark.parametrize("name, value, message", [
    ("readings", (), "Expected list, got tuple"),
    ("readings", ListSubclass(), "Expected list, got ListSubclass"),
    ("remainder", b"", "Expected bytearray, got bytes"),
    ("remainder", memoryview(b""), "Expected bytearray, got memoryview"),
])
def test_result_types_are_exact(name, value, message):
    arguments = {"readings": None, "remainder": None, name: value}
    with pytest.raises(TypeError, match="^%s$" % message):
        StreamConversionResult(**arguments)
    result = StreamConversionResult([], bytearray())
    before = getattr(result, name)
    with pytest.raises(TypeError, match="^%s$" % message):
        setattr(result, name, value)
    assert getattr(result, name) is before


def test_result_keeps_the_objects_and_deletion_sets_none():
    readings, remainder = [StreamReading(1.0, 2)], bytearray(b"\x01")
    result = StreamConversionResult(remainder=remainder, readings=readings)
    assert result.readings is readings and result.remainder is remainder
    del result.readings
    del result.remainder
    assert result.readings is None and result.remainder is None
    assert StreamConversionResult(None, None).readings is None


@pytest.mark.parametrize("args", [(), ([],), ([], None, None)])
def test_result_constructor_needs_both(args):
    with pytest.raises(TypeError):
        StreamConversionResult(*args)


def test_result_pickles_and_deep_copies():
    result = StreamConversionResult([StreamReading(1.5, 256)], bytearray(b"\x07\x08"))
    assert [type(v) for v in result.__reduce__()[2]] == [list, bytearray]
    for copy_ in (pickle.loads(pickle.dumps(result)), copy.deepcopy(result)):
        assert as_pairs(copy_) == [(1.5, 256)] and copy_.remainder == bytearray(b"\x07\x08")
        assert copy_.readings is not result.readings


def test_result_in_a_cycle_is_collected():
    class Result(StreamConversionResult):
        pass

    result = Result([], None)
    result.readings.append(result)
    alive = weakref.ref(result)
    del result
    gc.collect()
    assert alive() is None


# --- Conversion: examples ----------------------------------------------------------------


def test_four_byte_packet(logger):
    conv = calibrated()
    result = convert4(bytes.fromhex("1234567C"), conv)
    assert type(result) is StreamConversionResult
    assert as_pairs(result) == [(conv.convert_adc(305419776), 305419776)]
    assert type(result.remainder) is bytearray and result.remainder == bytearray()
    assert logger.records == [("debug", "Converted 1 readings, 0 remainder bytes")]


# With the logger not enabled for debug the text is not built, unless a
# patched debug method would see it.
@pytest.mark.parametrize("patch", ["instance", "class"])
def test_a_patched_debug_method_gets_the_text_at_any_level(monkeypatch, patch):
    calls = []
    target = vexlo.logger if patch == "instance" else type(vexlo.logger)
    monkeypatch.setattr(target, "debug", lambda *args: calls.append(args[-1]))
    monkeypatch.setattr(vexlo.logger, "level", 40)
    convert4(bytes.fromhex("1234567C"), calibrated())
    assert calls == ["Converted 1 readings, 0 remainder bytes"]


def test_three_byte_packet(logger):
    conv = calibrated()
    result = convert3(adc_converter=conv, data=bytearray.fromhex("12347A"))
    assert as_pairs(result) == [(conv.convert_adc(305397760), 305397760)]
    assert logger.at("warning") == []


@pytest.mark.parametrize("convert, size", FORMATS)
def test_short_buffer_is_returned_as_remainder(convert, size, logger):
    data = bytearray(b"\x01\x02\x03")[: size - 1]
    result = convert(data, object())
    assert result.readings == [] and result.remainder is data
    from_bytes = convert(bytes(data), object())
    assert type(from_bytes.remainder) is bytearray and from_bytes.remainder == data
    assert convert(b"", None).remainder == bytearray()
    assert logger.records == []


@pytest.mark.parametrize("convert, packet", [(convert4, ref.packet((1, 2, 3))), (convert3, ref.packet((1, 2), 3))])
def test_unfinished_packet_is_the_remainder(convert, packet, logger):
    data = bytearray(packet * 2 + packet[:-1])
    result = convert(data, calibrated())
    assert [r.adc_value for r in result.readings] == [0x01020000 | (0x0300 if len(packet) == 4 else 0)] * 2
    assert result.remainder == packet[:-1] and result.remainder is not data
    assert logger.at("debug") == ["Converted 2 readings, %d remainder bytes" % (len(packet) - 1)]
    assert data == packet * 2 + packet[:-1]


def test_leading_garbage_byte(logger):
    result = convert4(b"\xff" + ref.packet((0x12, 0x34, 0x56)), calibrated())
    assert [r.adc_value for r in result.readings] == [305419776]
    assert logger.at("warning") == ["Stream conversion: 1 invalid/corrupted packets detected"]
    assert logger.at("debug") == ["Converted 1 readings, 0 remainder bytes"]


@pytest.mark.parametrize("convert, packet", [(convert4, ref.packet((0, 0, 0))), (convert3, ref.packet((0, 0), 3))])
def test_converter_without_convert_adc(convert, packet, logger):
    # Zero bytes are checksum-valid at every position: each one fails and slides.
    data = packet * 2
    result = convert(data, object())
    assert result.readings == []
    expected = ["ADC conversion failed at index %d: 'object' object has no attribute 'convert_adc'" % i
                for i in range(len(data) - len(packet) + 1)]
    assert logger.at("warning") == expected + [
        "Stream conversion: %d invalid/corrupted packets detected" % len(expected)]
    assert result.remainder == packet[1:]


@pytest.mark.parametrize("error", [ValueError("bad"), ZeroDivisionError("zero"), UnicodeError("sub")])
def test_caught_conversion_errors_are_logged_and_skipped(error, logger):
    class Picky:
        def convert_adc(self, count):
            if count == 0x01000000:
                raise error
            return count / 2

    data = ref.packet((1, 0, 0)) + ref.packet((2, 0, 0))
    result = convert4(data, Picky())
    assert as_pairs(result) == [(0x02000000 / 2, 0x02000000)]
    assert logger.at("warning") == [
        "ADC conversion failed at index 0: %s" % error,
        "Stream conversion: 4 invalid/corrupted packets detected",
    ]


@pytest.mark.parametrize("error", [RuntimeError("stop"), KeyError("k"), TypeError("t")])
def test_other_errors_propagate(error, logger):
    class Failing:
        def convert_adc(self, count):
            raise error

    with pytest.raises(type(error)) as info:
        convert4(ref.packet((1, 2, 3)) * 3, Failing())
    assert info.value is error
    assert logger.records == []


def test_non_numeric_result_propagates():
    class Text:
        def convert_adc(self, count):
            return "heavy"

    with pytest.raises(TypeError):
        convert4(ref.packet((1, 2, 3)), Text())


@pytest.mark.parametrize("convert", [convert4, convert3])
@pytest.mark.parametrize("data, message", [
    ([0x12, 0x34, 0x56, 0x7C], "Expected bytearray, got list"),
    (memoryview(b"1234"), "Expected bytearray, got memoryview"),
    ("1234", "Expected bytearray, got str"),
    (None, "object of type 'NoneType' has no len()"),
])
def test_data_type_errors(convert, data, message):
    class Untouched:
        def convert_adc(self, count):
            raise AssertionError("no byte may be looked at")

    with pytest.raises(TypeError, match="^%s$" % re.escape(message)):
        convert(data, Untouched())


# --- Conversion: dispatch ------------------------------------------------------------------


def test_subclass_override_is_used():
    class Doubling(vexlo.ADCConverter):
        def convert_adc(self, ndr_adc):
            return ndr_adc * 2

    result = convert4(ref.packet((0, 0, 1)), Doubling())
    assert as_pairs(result) == [(512.0, 256)]


def test_direction_override_is_used_through_native_convert_adc():
    class Direction(vexlo.ADCConverter):
        def calculate_for_direction_1(self, ndr_adc):
            return -1.0

    conv = Direction()
    conv.number_of_directions = 0
    assert as_pairs(convert3(ref.packet((0, 1), 3), conv)) == [(-1.0, 65536)]


def test_convert_adc_is_looked_up_for_every_packet():
    class Switching:
        def convert_adc(self, count):
            self.convert_adc = lambda count: 2.0
            return 1.0

    result = convert4(ref.packet((1, 1, 1)) * 3, Switching())
    assert [r.calibrated_value for r in result.readings] == [1.0, 2.0, 2.0]


def test_class_patch_on_adc_converter_is_used():
    conv = calibrated()
    with mock.patch.object(vexlo.ADCConverter, "convert_adc", lambda self, n: 5.0):
        assert [r.calibrated_value for r in convert4(ref.packet((1, 2, 3)), conv).readings] == [5.0]
    assert [r.calibrated_value for r in convert4(ref.packet((1, 2, 3)), conv).readings] == [
        conv.convert_adc(0x01020300)]


def test_converter_cannot_resize_the_buffer():
    data = bytearray(ref.packet((1, 2, 3)) * 4)

    class Shrinking:
        def convert_adc(self, count):
            data.clear()
            return 0.0

    with pytest.raises(BufferError):
        convert4(data, Shrinking())
    assert data == ref.packet((1, 2, 3)) * 4


streams = st.lists(
    st.one_of(st.tuples(st.integers(0, 255), st.integers(0, 255), st.integers(0, 255)),
              st.binary(min_size=1, max_size=3)),
    max_size=40)


def build(parts, size):
    out = bytearray()
    for part in parts:
        if isinstance(part, tuple):
            out += ref.packet(part, size)
        else:
            out += part
    return out


@settings(max_examples=300, deadline=None)
@given(parts=streams, size=st.sampled_from([3, 4]), as_bytes=st.booleans())
def test_matches_reference_scan(parts, size, as_bytes):
    data = build(parts, size)
    convert = convert4 if size == 4 else convert3
    conv = calibrated()
    sub = PlainSubclass()
    sub.__setstate__(conv.__reduce__()[2])
    readings, remainder, invalid, _ = ref.scan(data, size, conv.convert_adc)
    for converter in (conv, sub):
        logger = RecordingLogger()
        with mock.patch.object(vexlo, "logger", logger):
            result = convert(bytes(data) if as_bytes else data, converter)
        assert as_pairs(result) == readings
        assert result.remainder == remainder
        summary = ["Stream conversion: %d invalid/corrupted packets detected" % invalid] if invalid else []
        if len(data) >= size:
            assert logger.at("warning") == summary


@settings(max_examples=200, deadline=None)
@given(parts=streams, size=st.sampled_from([3, 4]), reject=st.integers(1, 5))
def test_rejections_slide_like_the_reference(parts, size, reject):
    data = build(parts, size)

    def convert_count(count):
        if (count >> 16) % reject == 0:
            raise ValueError(count)
        return float(count >> 8)

    class Converter:
        def convert_adc(self, count):
            return convert_count(count)

    readings, remainder, invalid, rejections = ref.scan(data, size, convert_count)
    logger = RecordingLogger()
    with mock.patch.object(vexlo, "logger", logger):
        result = (convert4 if size == 4 else convert3)(data, Converter())
    assert as_pairs(result) == readings and result.remainder == remainder
    summary = ["Stream conversion: %d invalid/corrupted packets detected" % invalid] if invalid else []
    assert logger.at("warning") == [
        "ADC conversion failed at index %d: %s" % rejection for rejection in rejections] + summary

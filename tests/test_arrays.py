"""The array converter against the module's own stream conversion, bit for bit."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import vexlo_device_communication as vexlo
from reference import packet, two_direction_converter
from test_reliability_fuzz import converters
from vexlo_tools import _arrays, _reading
from vexlo_tools.acquisition import convert_to_arrays, has_native_arithmetic

MODULE = {3: vexlo.StreamDataConverter.convert_stream_data_to_reading_38_kHz,
          4: vexlo.StreamDataConverter.convert_stream_data_to_reading}


class Picky(vexlo.ADCConverter):
    """Refuses some counts in each of the ways that skip a position."""

    def convert_adc(self, ndr_adc):
        errors = {0: ValueError, 1: ZeroDivisionError, 2: AttributeError}
        if ndr_adc % 5 in errors:
            raise errors[ndr_adc % 5]("refused")
        return super().convert_adc(ndr_adc) if ndr_adc % 2 else int(ndr_adc // 3)


@st.composite
def streams(draw, packet_size):
    """Valid packets with random bytes between some of them, cut anywhere."""
    parts = []
    for _ in range(draw(st.integers(0, 40))):
        body = draw(st.binary(min_size=packet_size - 1, max_size=packet_size - 1))
        parts.append(packet(body, packet_size))
        if draw(st.integers(0, 4)) == 0:
            parts.append(draw(st.binary(min_size=1, max_size=5)))
    data = b"".join(parts)
    return data[draw(st.integers(0, 2)):]


def bits(values):
    return np.where(np.isnan(values), np.nan, values).view(np.uint64)


def assert_same_as_module(data, converter, packet_size):
    expected = MODULE[packet_size](bytearray(data), converter)
    got = convert_to_arrays(data, converter, packet_size)
    readings = expected.readings or []
    np.testing.assert_array_equal(got.adc, np.array([r.adc_value for r in readings], dtype=np.uint32))
    # Bit patterns, so that signed zeros compare too; a NaN's sign and payload are left to the compiler.
    np.testing.assert_array_equal(bits(got.value), bits(np.array([r.calibrated_value for r in readings], np.float64)))
    assert got.remainder == bytes(expected.remainder)
    assert got.corrupted == len(data) - len(got.remainder) - len(readings) * packet_size


@pytest.mark.parametrize("packet_size", [3, 4])
@given(data=st.data(), converter=converters())
def test_an_exact_converter_gives_the_module_s_results(packet_size, data, converter):
    assert has_native_arithmetic(converter)
    assert_same_as_module(data.draw(streams(packet_size)), converter, packet_size)


@pytest.mark.parametrize("packet_size", [3, 4])
@pytest.mark.parametrize("converter", [two_direction_converter(Picky), Picky()])
@given(data=st.data())
def test_another_converter_is_asked_per_packet_with_the_module_s_skip_rules(packet_size, converter, data):
    assert not has_native_arithmetic(converter)
    assert_same_as_module(data.draw(streams(packet_size)), converter, packet_size)


def test_a_converter_patched_on_the_class_is_not_taken_as_native(monkeypatch):
    converter = two_direction_converter(vexlo.ADCConverter)
    data = packet((200, 1, 2)) * 3
    monkeypatch.setattr(vexlo.ADCConverter, "convert_adc", lambda self, n: -1.0)
    assert not has_native_arithmetic(converter)
    assert list(convert_to_arrays(data, converter).value) == [-1.0] * 3


@pytest.mark.parametrize("error", [TypeError, OverflowError, KeyboardInterrupt])
def test_other_errors_of_a_converter_end_the_conversion(error):
    class Failing:
        def convert_adc(self, ndr_adc):
            raise error("stop")

    with pytest.raises(error, match="stop"):
        convert_to_arrays(packet((1, 2, 3)), Failing())


@pytest.mark.parametrize("adc, value, error", [
    (np.empty(2, np.uint32), np.empty(3, np.float64), ValueError),   # no room for 3 samples
    (np.empty(3, np.int32), np.empty(3, np.float64), TypeError),
    (np.empty(3, np.uint32), np.empty(3, np.float32), TypeError),
    (np.empty((3, 1), np.uint32), np.empty(3, np.float64), TypeError),
])
def test_caller_arrays_of_the_wrong_kind_or_size_are_refused(adc, value, error):
    with pytest.raises(error):
        convert_to_arrays(packet((1, 2, 3)) * 3, two_direction_converter(vexlo.ADCConverter), out=(adc, value))


def test_caller_arrays_are_written_in_place():
    adc, value = np.zeros(4, np.uint32), np.zeros(4, np.float64)
    got = convert_to_arrays(packet((200, 1, 2)) * 3, two_direction_converter(vexlo.ADCConverter), out=(adc, value))
    assert np.shares_memory(got.adc, adc) and np.shares_memory(got.value, value)
    assert list(adc[:3]) == [(200 << 24) | (1 << 16) | (2 << 8)] * 3 and adc[3] == 0


@pytest.mark.parametrize("packet_size", [3, 4])
@pytest.mark.parametrize("converter", [two_direction_converter(vexlo.ADCConverter), Picky()])
@given(data=st.data())
def test_a_port_s_reader_fed_in_pieces_gives_what_one_conversion_gives(packet_size, converter, data):
    """Pieces cut anywhere, through a buffer smaller than some of them: the same samples, remainder, skips."""
    stream = data.draw(streams(packet_size))
    cuts = sorted(data.draw(st.lists(st.integers(0, len(stream)), max_size=6)))
    reader = _arrays.Reader(packet_size, 1000, 11, converter, has_native_arithmetic(converter))
    for start, end in zip([0] + cuts, cuts + [len(stream)]):
        reader.feed(stream[start:end])
    first, adc, value = _reading.take(reader)
    whole = convert_to_arrays(stream, converter, packet_size)
    assert first == 0 and adc.tolist() == whole.adc.tolist() and bits(value).tolist() == bits(whole.value).tolist()
    assert (reader.remainder, reader.corrupted, reader.end, reader.bytes_read) == (
        whole.remainder, whole.corrupted, len(adc), len(stream))


NATIVE = vexlo.ADCConverter()


@pytest.mark.parametrize("call, error", [
    (lambda: _arrays.Reader(5, 10, 100, NATIVE, True), ValueError),          # no such packet size
    (lambda: _arrays.Reader(4, 0, 100, NATIVE, True), ValueError),           # an empty ring
    (lambda: _arrays.Reader(4, 10, 3, NATIVE, True), ValueError),            # a buffer without room for a packet
    (lambda: _arrays.Reader(4, 10, 100, NATIVE, True, -1), ValueError),      # keeping fewer than none
    (lambda: _arrays.Reader(4, 10, 100, object(), True), AttributeError),    # native without a calibration
    (lambda: _arrays.Reader(4, 10, 100, NATIVE, True).feed(3), TypeError),
    (lambda: _arrays.Reader(4, 10, 100, NATIVE, True).take(np.empty(2, np.int64), np.empty(2)), TypeError),
    (lambda: _arrays.read_ports([object()], [0], -1, 0.0, 0.0, 0.0, np.zeros(1, np.int64)), TypeError),
    (lambda: _arrays.read_ports([_arrays.Reader(4, 10, 100, NATIVE, True)], [], -1, 0.0, 0.0, 0.0,
                                np.zeros(1, np.int64)), TypeError),        # a descriptor short
    (lambda: _arrays.read_ports([], [], -5, 0.0, 0.0, 0.0, np.zeros(1, np.int64)), ValueError),
    (lambda: _arrays.read_ports([], [], -1, 0.0, 0.0, 0.0, np.zeros(0, np.int64)), ValueError),
    (lambda: _arrays.read_ports([], [], -1, 0.0, 0.0, 0.0, np.zeros(1, np.int32)), TypeError),
])
def test_bad_arguments_of_a_port_s_reader_are_refused(call, error):
    with pytest.raises(error):
        call()

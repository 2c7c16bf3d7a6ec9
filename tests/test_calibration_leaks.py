"""Repeated operations, successful and failing, must not grow memory."""

import pickle
from unittest import mock

import pytest

import vexlo_device_communication as vexlo
from reliability import assert_flat
from reference import packet, two_direction_converter


class Quiet:
    def __getattr__(self, level):
        return lambda message: None


class Override(vexlo.ADCConverter):
    def calculate_for_direction_1(self, ndr_adc):
        return 1.0


class Picky:
    def convert_adc(self, count):
        if count & 0x10000:
            raise ValueError("odd")
        return count


def fail(function, *args):
    try:
        function(*args)
    except Exception:
        pass


STREAM4 = bytearray(b"".join(packet((i % 256, (i * 7) % 256, 3)) for i in range(1000)) + b"\x01\x02")
STREAM3 = bytes(b"".join(packet((i % 256, 9), 3) for i in range(1000)) + b"\x05")
GARBAGE = bytearray(STREAM4[:400] + b"\xff\xfe" + STREAM4[400:])

native = two_direction_converter(vexlo.ADCConverter)
override = two_direction_converter(Override)
reading = vexlo.StreamReading(1.5, 10)
result = vexlo.StreamConversionResult([reading], bytearray(b"\x01"))

OPERATIONS = {
    "convert_adc": lambda: [native.convert_adc(n) for n in (0, 1.5e9, 2.5e9, 3e9)],
    "convert_adc through an override": lambda: [override.convert_adc(n) for n in (1.5e9, 2.5e9)],
    "argument errors": lambda: [fail(native.convert_adc, v) for v in (-1, float("nan"), "x", 2 ** 64)]
    + [fail(native.calculate_for_direction_2, v) for v in (-1, "x", 2 ** 64)]
    + [fail(setattr, native, "number_of_directions", v) for v in (2 ** 40, "x")]
    + [fail(delattr, native, "offset")],
    "pickling": lambda: [pickle.loads(pickle.dumps(o)) for o in (native, override, reading, result)],
    "value classes": lambda: [
        vexlo.StreamConversionResult([vexlo.StreamReading(n, n) for n in range(5)], bytearray(3)),
        fail(vexlo.StreamConversionResult, (), None),
        fail(vexlo.StreamReading, 1.0, -1),
    ],
    "stream, direct path": lambda: [
        vexlo.StreamDataConverter.convert_stream_data_to_reading(STREAM4, native),
        vexlo.StreamDataConverter.convert_stream_data_to_reading_38_kHz(STREAM3, native),
        vexlo.StreamDataConverter.convert_stream_data_to_reading(GARBAGE, native),
    ],
    "stream, by name with failures": lambda: [
        vexlo.StreamDataConverter.convert_stream_data_to_reading(GARBAGE, Picky()),
        vexlo.StreamDataConverter.convert_stream_data_to_reading(STREAM4[:64], override),
        vexlo.StreamDataConverter.convert_stream_data_to_reading(STREAM4[:64], object()),
        fail(vexlo.StreamDataConverter.convert_stream_data_to_reading, [1, 2], native),
    ],
}


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_repeated_operations_do_not_grow_memory(name):
    operation = OPERATIONS[name]
    stream = name.startswith("stream")
    rounds = 300 if stream else 50_000  # about a million packets, or 200 000 calls and more
    with mock.patch.object(vexlo, "logger", Quiet()):
        assert_flat(lambda _: operation(), iterations=rounds)

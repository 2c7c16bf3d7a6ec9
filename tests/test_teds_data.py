import math
import pickle
import struct

import pytest
from hypothesis import given, settings, strategies as st

import vexlo_device_communication as vexlo
from reliability import assert_flat
from teds_doubles import make_image, reference_decode

TEDSData = vexlo.TEDSData

DEFAULTS = {
    "raw_data": None,
    "template": 0,
    "serial_number": "",
    "engineering_unit": 0,
    "min_capacity": 0.0,
    "max_capacity": 0.0,
    "min_electrical": 0.0,
    "max_electrical": 0.0,
    "reverse_scaling_enabled": False,
    "reverse_max_electrical": 0.0,
}
INT_FIELDS = ["template", "engineering_unit"]
DOUBLE_FIELDS = ["min_capacity", "max_capacity", "min_electrical", "max_electrical",
                 "reverse_max_electrical"]


def fields_of(data):
    return {name: getattr(data, name) for name in DEFAULTS}


# ---------------------------------------------------------------- the class

def test_defaults_and_no_instance_dict():
    data = TEDSData()
    assert fields_of(data) == DEFAULTS
    assert type(data.min_capacity) is float and type(data.template) is int
    with pytest.raises(AttributeError):
        data.unknown = 1


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"template": 1})])
def test_constructor_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        TEDSData(*args, **kwargs)


@pytest.mark.parametrize("name", INT_FIELDS)
@pytest.mark.parametrize("value, expected", [(7, 7), (-2**31, -2**31), (2**31 - 1, 2**31 - 1),
                                             (True, 1), (3.9, 3), (-3.9, -3)])
def test_integer_fields_convert(name, value, expected):
    data = TEDSData()
    setattr(data, name, value)
    assert getattr(data, name) == expected and type(getattr(data, name)) is int


@pytest.mark.parametrize("name", INT_FIELDS)
@pytest.mark.parametrize("value, error, message", [
    (2**31, OverflowError, "value too large to convert to int"),
    (-2**31 - 1, OverflowError, "value too large to convert to int"),
    ("1", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
])
def test_integer_fields_refuse(name, value, error, message):
    data = TEDSData()
    with pytest.raises(error, match=message):
        setattr(data, name, value)
    assert getattr(data, name) == 0


@pytest.mark.parametrize("name", DOUBLE_FIELDS)
def test_double_fields_convert_and_refuse(name):
    data = TEDSData()
    setattr(data, name, 3)
    assert getattr(data, name) == 3.0 and type(getattr(data, name)) is float
    with pytest.raises(TypeError):
        setattr(data, name, "1.5")
    assert getattr(data, name) == 3.0


def test_boolean_object_and_text_fields():
    data = TEDSData()
    data.reverse_scaling_enabled = [1]
    assert data.reverse_scaling_enabled is True
    data.reverse_scaling_enabled = ""
    assert data.reverse_scaling_enabled is False
    payload = object()
    data.raw_data = payload
    assert data.raw_data is payload
    data.serial_number = None
    assert data.serial_number is None
    with pytest.raises(TypeError, match="Expected str, got int"):
        data.serial_number = 12345
    with pytest.raises(TypeError, match="bytes"):
        data.serial_number = b"12345"


@pytest.mark.parametrize("name", ["raw_data", "serial_number"])
def test_object_fields_delete_to_none(name):
    data = TEDSData()
    setattr(data, name, "x")
    delattr(data, name)
    assert getattr(data, name) is None


@pytest.mark.parametrize("name", INT_FIELDS + DOUBLE_FIELDS + ["reverse_scaling_enabled"])
def test_typed_fields_cannot_be_deleted(name):
    data = TEDSData()
    with pytest.raises(NotImplementedError):
        delattr(data, name)


def filled():
    data = TEDSData()
    values = dict(raw_data=b"\x01\x02", template=33, serial_number="777", engineering_unit=4,
                  min_capacity=-1.5, max_capacity=500.0, min_electrical=0.25, max_electrical=2.0,
                  reverse_scaling_enabled=True, reverse_max_electrical=1.75)
    for name, value in values.items():
        setattr(data, name, value)
    return data, values


def test_pickle_round_trip_and_state_order():
    data, values = filled()
    state = data.__reduce__()[2]
    assert state == tuple(values[name] for name in sorted(values))
    copy = pickle.loads(pickle.dumps(data))
    assert type(copy) is TEDSData and fields_of(copy) == values


def test_setstate_refuses_a_bad_state_without_changing_anything():
    data, values = filled()
    bad = list(data.__reduce__()[2])
    bad[-1] = "not an int"  # template, last in alphabetical order
    with pytest.raises(TypeError):
        data.__setstate__(tuple(bad))
    assert fields_of(data) == values
    with pytest.raises(TypeError):
        data.__setstate__((1, 2))


def test_subclass_pickles_its_own_attributes():
    data = Sub()
    data.max_capacity = 9.0
    data.note = "kept"
    copy = pickle.loads(pickle.dumps(data))
    assert type(copy) is Sub and copy.max_capacity == 9.0 and copy.note == "kept"


class Sub(TEDSData):
    pass


# ------------------------------------------------------------ static methods

def test_bytes_to_bits_orders_least_significant_first():
    assert TEDSData.bytes_to_bits(bytes([0x01, 0x80])) == [True] + [False] * 7 + [False] * 7 + [True]


def test_bytes_to_bits_skips_page_checksums():
    data = list(range(33))
    bits = TEDSData.bytes_to_bits(data, skip_checksums=True)
    assert bits == TEDSData.bytes_to_bits(data[1:32])
    assert len(TEDSData.bytes_to_bits(bytes(512), True)) == 3968
    assert len(TEDSData.bytes_to_bits(bytearray(512))) == 4096


@pytest.mark.parametrize("element, error, message", [
    (-1, OverflowError, "can't convert negative value to unsigned char"),
    (256, OverflowError, "value too large to convert to unsigned char"),
    ("a", TypeError, "an integer is required"),
])
def test_bytes_to_bits_element_errors(element, error, message):
    with pytest.raises(error, match=message):
        TEDSData.bytes_to_bits([1, element, 2])


def test_bytes_to_bits_truncates_floats():
    assert TEDSData.bytes_to_bits([3.9]) == TEDSData.bytes_to_bits([3])


def test_bits_to_int():
    ten = [True] * 10
    assert TEDSData.bits_to_int(ten, 8, 8) == 3  # only bits 8 and 9 exist
    assert TEDSData.bits_to_int([1, 0, 1], 0, 3) == 5
    assert TEDSData.bits_to_int([True] * 32, 0, 32) == -1
    assert TEDSData.bits_to_int([0] * 31 + [1], 0, 32) == -2**31
    assert TEDSData.bits_to_int(ten, 0, 0) == 0
    assert TEDSData.bits_to_int(ten, 0, -5) == 0
    assert TEDSData.bits_to_int(ten, 2**70, 8) == 0


@pytest.mark.parametrize("start, length", [(0, 33), (-1, 4)])
def test_bits_to_int_refuses_fields_it_cannot_hold(start, length):
    with pytest.raises(ValueError):
        TEDSData.bits_to_int([1] * 40, start, length)


def test_bits_to_float():
    one = TEDSData.bytes_to_bits(struct.pack("<f", 1.0))
    assert TEDSData.bits_to_float(one, 0) == 1.0
    assert TEDSData.bits_to_float([False] + one, 1) == 1.0
    # Only the upper half is left, as the low bits of a denormal.
    assert TEDSData.bits_to_float(one, 16) == struct.unpack("<f", struct.pack("<I", 0x3F80))[0]
    assert TEDSData.bits_to_float(one[:23], 0) == 0.0  # the fraction bits are all zero
    assert math.isnan(TEDSData.bits_to_float(TEDSData.bytes_to_bits(b"\x01\x00\xc0\x7f"), 0))


# ---------------------------------------------------------------- the parser

def test_zero_image():
    image = bytes(512)
    data = TEDSData.parse_from_bytes(image, 0)
    assert data.raw_data is image
    assert fields_of(data) == dict(DEFAULTS, raw_data=image, serial_number="0")


@pytest.mark.parametrize("size", [0, 511, 513])
def test_wrong_length_is_refused_without_a_cause(size):
    with pytest.raises(vexlo.VexloTEDSDataCorruptedError) as info:
        TEDSData.parse_from_bytes([999] * size, 0)  # elements never looked at
    assert str(info.value) == "TEDS data must be 512 bytes, got %d" % size
    assert info.value.__cause__ is None


def test_object_without_length_raises_type_error_unchanged():
    with pytest.raises(TypeError):
        TEDSData.parse_from_bytes(None, 0)


@pytest.mark.parametrize("offset, raw, field, expected", [
    (6, b"\x39\x30\x00", "serial_number", "12345"),
    (6, b"\xff\xff\xff", "serial_number", "16777215"),
    (10, b"\x13", "engineering_unit", 4),
    (10, b"\xff", "engineering_unit", 63),
    (11, b"\x00\x00\x80\x3f", "min_capacity", 1.0),
    (11, b"\x00\x00\x80\xbf", "min_capacity", -1.0),
    (15, b"\x00\x00\x80\x7f", "max_capacity", math.inf),
    (74, b"\x55", "reverse_scaling_enabled", True),
    (74, b"\x54", "reverse_scaling_enabled", False),
    (74, b"\x56", "reverse_scaling_enabled", False),
    (74, b"\xff", "reverse_scaling_enabled", False),
    (75, b"\x00\x00\xc0\x3f", "reverse_max_electrical", 1500.0),
])
def test_image_bytes_decode(offset, raw, field, expected):
    image = bytearray(512)
    image[offset:offset + len(raw)] = raw
    assert getattr(TEDSData.parse_from_bytes(image, 0), field) == expected


def test_electrical_value_is_widened_before_scaling():
    data = TEDSData.parse_from_bytes(make_image(min_electrical=0.002, max_electrical=0.0015), 0)
    assert data.min_electrical == 2.0000000949949026
    assert data.max_electrical == struct.unpack("<f", struct.pack("<f", 0.0015))[0] * 1000.0


def test_list_input_and_template():
    image = list(make_image(serial_number=42))
    data = TEDSData.parse_from_bytes(image, 0x21)
    assert data.serial_number == "42" and data.template == 33 and data.raw_data is image


@pytest.mark.parametrize("image, template, cause, text", [
    ([0] * 511 + [256], 0, OverflowError, "value too large to convert to unsigned char"),
    ([-1] + [0] * 511, 0, OverflowError, "can't convert negative value to unsigned char"),
    ([None] * 512, 0, TypeError, "an integer is required"),
    (bytes(512), "x", TypeError, "an integer is required"),
    (bytes(512), 2**31, OverflowError, "value too large to convert to int"),
])
def test_parse_errors_are_wrapped(image, template, cause, text):
    with pytest.raises(vexlo.VexloTEDSDataCorruptedError) as info:
        TEDSData.parse_from_bytes(image, template)
    assert str(info.value) == "Failed to parse TEDS data: " + text
    assert type(info.value.__cause__) is cause


@settings(max_examples=200, deadline=None)
@given(st.binary(min_size=512, max_size=512), st.integers(0, 255))
def test_parser_agrees_with_reference(image, template):
    data = TEDSData.parse_from_bytes(image, template)
    expected = reference_decode(image)
    for name, value in expected.items():
        actual = getattr(data, name)
        assert actual == value or (math.isnan(actual) and math.isnan(value)), name
    assert data.template == template


@settings(max_examples=50, deadline=None)
@given(st.binary(min_size=512, max_size=512), st.binary(min_size=16, max_size=16))
def test_checksum_bytes_never_matter(image, checksums):
    changed = bytearray(image)
    changed[::32] = checksums
    first = TEDSData.parse_from_bytes(image, 1).__reduce__()[2]
    second = TEDSData.parse_from_bytes(bytes(changed), 1).__reduce__()[2]
    raw = sorted(DEFAULTS).index("raw_data")
    # repr, so that NaN fields compare equal
    assert repr(first[:raw] + first[raw + 1:]) == repr(second[:raw] + second[raw + 1:])


@settings(max_examples=100, deadline=None)
@given(st.lists(st.one_of(st.integers(-300, 300), st.floats(allow_nan=False), st.text(max_size=1)),
                min_size=510, max_size=514))
def test_fuzz_raises_only_documented_errors(elements):
    try:
        TEDSData.parse_from_bytes(elements, 0)
    except vexlo.VexloTEDSDataCorruptedError:
        pass


def test_no_growth_over_many_parses():
    good, bad = make_image(serial_number=9), [0] * 511 + [300]

    def run(_):
        TEDSData.parse_from_bytes(good, 1)
        try:
            TEDSData.parse_from_bytes(bad, 1)
        except vexlo.VexloTEDSDataCorruptedError:
            pass

    assert_flat(run, iterations=20000)

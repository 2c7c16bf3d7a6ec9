import math
import pickle
from decimal import Decimal
from fractions import Fraction
from unittest import mock

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference as ref
import vexlo_device_communication as vexlo

ADCConverter = vexlo.ADCConverter

INT_ATTRIBUTES = ["number_of_loading_points", "number_of_directions"]
DOUBLE_ATTRIBUTES = [
    "direction_1_offset_load", "direction_1_fullscale_load",
    "direction_1_offset_value", "direction_1_fullscale_value",
    "direction_2_offset_load", "direction_2_fullscale_load",
    "direction_2_offset_value", "direction_2_fullscale_value",
    "scale_factor", "offset", "midpoint_offset",
]
ALL_ATTRIBUTES = INT_ATTRIBUTES + DOUBLE_ATTRIBUTES


def make(**values):
    conv = ADCConverter()
    for name, value in values.items():
        setattr(conv, name, value)
    return conv


def two_directions(o1, f1, o2, f2, load1=500.0, load2=500.0, midpoint=True):
    conv = make(direction_1_offset_value=o1, direction_1_fullscale_value=f1,
                direction_2_offset_value=o2, direction_2_fullscale_value=f2,
                direction_1_fullscale_load=load1, direction_2_fullscale_load=load2)
    if midpoint:
        conv._set_midpoint_offset()
    return conv


class Recording(ADCConverter):
    """Records which direction operation convert_adc calls, and with what."""

    def __init__(self):
        super().__init__()
        self.calls = []

    def calculate_for_direction_1(self, ndr_adc):
        self.calls.append((1, ndr_adc))
        return super().calculate_for_direction_1(ndr_adc)

    def calculate_for_direction_2(self, ndr_adc):
        self.calls.append((2, ndr_adc))
        return super().calculate_for_direction_2(ndr_adc)


class Tagged(ADCConverter):
    """A subclass with state of its own, for pickling (module level)."""

    def __init__(self, tag):
        super().__init__()
        self.tag = tag

    def calculate_for_direction_1(self, ndr_adc):
        return 42.0


def recording(**values):
    conv = Recording()
    for name, value in values.items():
        setattr(conv, name, value)
    return conv


class IndexOnly:
    def __index__(self):
        return 5


# --- Construction and attributes -----------------------------------------------


def test_defaults():
    conv = ADCConverter()
    assert {name: getattr(conv, name) for name in ALL_ATTRIBUTES} == {
        **{name: 0.0 for name in DOUBLE_ATTRIBUTES},
        "number_of_loading_points": 0, "number_of_directions": 1, "scale_factor": 1.0,
    }
    assert all(type(getattr(conv, name)) is int for name in INT_ATTRIBUTES)
    assert all(type(getattr(conv, name)) is float for name in DOUBLE_ATTRIBUTES)


@pytest.mark.parametrize("reading", [0, 1, 100, 2 ** 31, 2 ** 32 - 1, 2 ** 63, 123.9])
def test_new_converter_reads_zero(reading):
    # All points 0.0 with two directions: the impossible shape, fixed 0.0.
    assert ADCConverter().convert_adc(reading) == 0.0


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"scale_factor": 2.0}), ((None, None), {})])
def test_constructor_refuses_arguments(args, kwargs):
    with pytest.raises(TypeError):
        ADCConverter(*args, **kwargs)


def test_subclass_may_take_its_own_constructor_arguments():
    assert Tagged("x").tag == "x"


@pytest.mark.parametrize("name", INT_ATTRIBUTES)
@pytest.mark.parametrize("value, expected", [
    (7, 7), (-7, -7), (True, 1), (3.99, 3), (-3.99, -3), (2 ** 31 - 1, 2 ** 31 - 1),
    (-2 ** 31, -2 ** 31), (Decimal("12.7"), 12), (Fraction(9, 2), 4), ("index", 5),
])
def test_integer_attributes_convert(name, value, expected):
    conv = make(**{name: IndexOnly() if value == "index" else value})
    assert getattr(conv, name) == expected
    assert type(getattr(conv, name)) is int


@pytest.mark.parametrize("name", INT_ATTRIBUTES)
@pytest.mark.parametrize("value, error, message", [
    ("5", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (2 ** 31, OverflowError, "value too large to convert to int"),
    (-2 ** 31 - 1, OverflowError, "value too large to convert to int"),
    (2 ** 100, OverflowError, "value too large to convert to int"),
    (-2 ** 100, OverflowError, "value too large to convert to int"),
    (1e20, OverflowError, "value too large to convert to int"),
    (math.nan, ValueError, None),
    (math.inf, OverflowError, None),
])
def test_integer_attributes_refuse(name, value, error, message):
    conv = ADCConverter()
    before = getattr(conv, name)
    with pytest.raises(error) as info:
        setattr(conv, name, value)
    if message:
        assert str(info.value) == message
    assert getattr(conv, name) == before


class FloatLike:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("name", DOUBLE_ATTRIBUTES)
@pytest.mark.parametrize("value, expected", [
    (3, 3.0), (-2.5, -2.5), (True, 1.0), (FloatLike(), 2.5), (IndexOnly(), 5.0), (2 ** 80, 2.0 ** 80),
])
def test_double_attributes_convert(name, value, expected):
    conv = make(**{name: value})
    assert getattr(conv, name) == expected
    assert type(getattr(conv, name)) is float


@pytest.mark.parametrize("name", DOUBLE_ATTRIBUTES)
@pytest.mark.parametrize("value, error", [("1.5", TypeError), (None, TypeError), (2 ** 1100, OverflowError)])
def test_double_attributes_refuse(name, value, error):
    with pytest.raises(error):
        setattr(ADCConverter(), name, value)


@pytest.mark.parametrize("name", ALL_ATTRIBUTES)
def test_attributes_cannot_be_deleted(name):
    conv = make(**{name: 3})
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(conv, name)
    assert getattr(conv, name) == 3


def test_no_other_attributes():
    with pytest.raises(AttributeError):
        ADCConverter().direction_3_offset_value = 1.0


# --- Pickling --------------------------------------------------------------------


def distinct_converter():
    values = {name: float(i) + 0.25 for i, name in enumerate(DOUBLE_ATTRIBUTES)}
    values.update(number_of_loading_points=21, number_of_directions=-4)
    return make(**values), values


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(protocol):
    conv, values = distinct_converter()
    copy_ = pickle.loads(pickle.dumps(conv, protocol))
    assert type(copy_) is ADCConverter
    assert {name: getattr(copy_, name) for name in ALL_ATTRIBUTES} == values


def test_state_is_in_alphabetical_order():
    conv, values = distinct_converter()
    state = conv.__reduce__()[2]
    assert state == tuple(values[name] for name in sorted(ALL_ATTRIBUTES))


def test_subclass_pickles_with_its_dict_and_override():
    conv = Tagged("label")
    conv.offset = 1.5
    conv.number_of_directions = 0
    copy_ = pickle.loads(pickle.dumps(conv))
    assert (type(copy_), copy_.tag, copy_.offset) == (Tagged, "label", 1.5)
    assert copy_.convert_adc(10) == 42.0


@pytest.mark.parametrize("state", [None, (), (1.0,) * 12, (1.0,) * 14, ("x",) + (1.0,) * 12])
def test_setstate_rejects_bad_state(state):
    with pytest.raises((TypeError, ValueError)):
        ADCConverter().__setstate__(state)


# --- Arithmetic --------------------------------------------------------------------


def test_midpoint_is_halfway_between_offset_counts():
    conv = make(direction_1_offset_value=1010.0, direction_2_offset_value=1000.0)
    assert conv._set_midpoint_offset() is None
    assert conv.midpoint_offset == 1005.0


@pytest.mark.parametrize("reading, expected, calls", [
    (600, 250.0, [(1, 600)]),     # direction 1
    (50, -250.0, [(2, 50)]),      # direction 2: negative loads
    (100, 0.0, [(1, 100)]),       # A2, x >= o1: direction 1
    (600.9, 250.0, [(1, 600)]),   # the fraction is dropped first
])
def test_two_direction_example(reading, expected, calls):
    conv = recording(direction_1_offset_value=100, direction_1_fullscale_value=1100,
                     direction_1_fullscale_load=500, direction_2_offset_value=100,
                     direction_2_fullscale_value=0, direction_2_fullscale_load=500)
    conv._set_midpoint_offset()
    assert conv.convert_adc(reading) == expected
    assert conv.calls == calls
    assert all(type(n) is int for _, n in conv.calls)


@pytest.mark.parametrize("o1, o2, f1, reading, direction_used", [
    (1000, 1010, 2000, 1004, 2),  # A1: below the midpoint 1005
    (1000, 1010, 2000, 1005, 1),
    (2147484000, 2147483000, 3000000000, 2147483400, 2),  # A2 with a midpoint above 2**31
    (2147484000, 2147483000, 3000000000, 2147483600, 1),
])
def test_midpoint_decides(o1, o2, f1, reading, direction_used):
    conv = recording(direction_1_offset_value=o1, direction_2_offset_value=o2,
                     direction_1_fullscale_value=f1, direction_2_fullscale_value=0)
    conv._set_midpoint_offset()
    conv.convert_adc(reading)
    assert conv.calls == [(direction_used, reading)]


@pytest.mark.parametrize("directions", [0, 2, -1, 7])
@pytest.mark.parametrize("reading", [0, 50, 100, 5000])
def test_other_direction_codes_use_direction_1(directions, reading):
    conv = recording(number_of_directions=directions, direction_1_offset_value=100,
                     direction_1_fullscale_value=1100, direction_1_fullscale_load=500,
                     direction_2_offset_value=9e9, direction_2_fullscale_value=-3,
                     direction_2_fullscale_load=7)
    assert conv.convert_adc(reading) == (reading - 100) * 500 / 1000
    assert conv.calls == [(1, reading)]


def test_case_b_impossible_shape_calls_nothing():
    conv = recording(direction_1_offset_value=100, direction_1_fullscale_value=50,
                     direction_2_fullscale_value=100)
    assert conv.convert_adc(75) == 0.0
    assert conv.calls == []


@pytest.mark.parametrize("reading, direction_used", [
    (10, 1),     # below f1
    (300, 1),    # f2 <= x <= o1
    (1040, 1),   # o1 < x < o2, at or below the midpoint 1050
    (1050, 1),
    (1051, 2),   # o1 < x < o2, above the midpoint
    (1060, 2),   # o1 < x < o2, above the midpoint
    (250, 2),    # between f1 and f2
    (5000, 2),   # above o2
])
def test_case_b_decisions(reading, direction_used):
    conv = recording(direction_1_offset_value=1000, direction_1_fullscale_value=200,
                     direction_2_offset_value=1100, direction_2_fullscale_value=300)
    conv._set_midpoint_offset()
    conv.convert_adc(reading)
    assert conv.calls == [(direction_used, reading)]


# Exactly at the midpoint, and with a midpoint of exactly 1.0 (the count 1,
# not 0): the boundaries of the decision when direction 1 rises (offset 2
# below or above offset 1) and when it falls.
@pytest.mark.parametrize("o1, f1, o2, f2, reading, direction_used", [
    (1010, 2000, 1000, 0, 1005, 1),  # rising, o2 < x < o1, at the midpoint
    (1010, 2000, 1000, 0, 1004, 2),
    (2, 100, 0, 0, 1, 1),            # rising, o2 < x < o1, midpoint 1.0
    (0, 100, 2, 0, 0, 2),            # rising, o2 above o1, below midpoint 1.0
    (0, 100, 2, 0, 1, 1),
    (0, -100, 2, -50, 1, 1),         # falling, o1 < x < o2, at midpoint 1.0
    (1000, 200, 1100, 300, 1050, 1), # falling, at the midpoint
])
def test_midpoint_boundaries(o1, f1, o2, f2, reading, direction_used):
    conv = recording(direction_1_offset_value=o1, direction_1_fullscale_value=f1,
                     direction_2_offset_value=o2, direction_2_fullscale_value=f2)
    conv._set_midpoint_offset()
    conv.convert_adc(reading)
    assert conv.calls == [(direction_used, reading)]


def test_negative_midpoint_counts_as_zero():
    # A1 with a midpoint below every count: nothing goes to direction 2.
    conv = recording(direction_1_offset_value=-10, direction_1_fullscale_value=100,
                     direction_2_offset_value=0, midpoint_offset=-5.0)
    conv.convert_adc(0)
    assert conv.calls == [(1, 0)]


@pytest.mark.parametrize("midpoint", [math.nan, math.inf, 1e30])
def test_midpoint_beyond_counts_is_safe(midpoint):
    conv = make(direction_1_offset_value=10, direction_1_fullscale_value=100,
                direction_2_offset_value=20, midpoint_offset=midpoint)
    assert ref.same_float(conv.convert_adc(15), ref.convert(conv, 15))


@pytest.mark.parametrize("fullscale_load, expected", [(500.0, math.inf), (-500.0, -math.inf), (0.0, None)])
def test_degenerate_points_give_ieee_results(fullscale_load, expected):
    conv = make(number_of_directions=0, direction_1_offset_value=100, direction_1_fullscale_value=100,
                direction_1_fullscale_load=fullscale_load)
    result = conv.convert_adc(600)
    assert math.isnan(result) if expected is None else result == expected


def test_huge_counts_are_unsigned():
    conv = make(number_of_directions=0, direction_1_fullscale_value=1.0, direction_1_fullscale_load=1.0)
    assert conv.convert_adc(2 ** 63) == 2.0 ** 63
    assert conv.calculate_for_direction_1(2 ** 64 - 1) == 2.0 ** 64
    assert conv.convert_adc(2.0 ** 64 - 2048) == 2.0 ** 64 - 2048


def test_fractional_negative_reading_truncates_to_zero():
    conv = make(number_of_directions=0, direction_1_offset_value=-4, direction_1_fullscale_value=4,
                direction_1_fullscale_load=8)
    assert conv.convert_adc(-0.9) == conv.convert_adc(0) == 4.0


counts = st.one_of(st.integers(0, 2 ** 32), st.integers(0, 2 ** 64 - 1),
                   st.sampled_from([0, 99, 100, 101, 1004, 1005, 1006, 2 ** 31, 2 ** 32 - 1]))
points = st.one_of(st.sampled_from([0.0, 100.0, 1000.0, 1005.0, 1010.0, 2.0 ** 31, -50.0]),
                   st.integers(-10, 2 ** 33).map(float),
                   st.floats(allow_nan=True, allow_infinity=True))


@settings(max_examples=400, deadline=None)
@given(o1=points, f1=points, o2=points, f2=points, l1=points, l2=points, scale=points, offset=points,
       directions=st.sampled_from([0, 1, 1, 1, 2]), midpoint=st.one_of(st.none(), points),
       count=counts, fraction=st.sampled_from([0.0, 0.25, 0.75]))
def test_matches_reference_bit_for_bit(o1, f1, o2, f2, l1, l2, scale, offset, directions, midpoint,
                                       count, fraction):
    conv = make(direction_1_offset_value=o1, direction_1_fullscale_value=f1,
                direction_2_offset_value=o2, direction_2_fullscale_value=f2,
                direction_1_fullscale_load=l1, direction_2_fullscale_load=l2,
                scale_factor=scale, offset=offset, number_of_directions=directions)
    if midpoint is None:
        conv._set_midpoint_offset()
    else:
        conv.midpoint_offset = midpoint
    for which, operation in ((1, conv.calculate_for_direction_1), (2, conv.calculate_for_direction_2)):
        assert ref.same_float(operation(count), ref.direction(conv, count, which))
    reading = float(count) + fraction if count < 2 ** 52 else count
    if float(reading) < 2.0 ** 64:
        assert ref.same_float(conv.convert_adc(reading), ref.convert(conv, reading))
        # A subclass without overrides converts alike.
        sub = Recording()
        sub.__setstate__(conv.__reduce__()[2])
        assert ref.same_float(sub.convert_adc(reading), conv.convert_adc(reading))


# --- Arguments -------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["calculate_for_direction_1", "calculate_for_direction_2"])
@pytest.mark.parametrize("value, error, message", [
    (-1, OverflowError, "can't convert negative value to unsigned long"),
    (-2 ** 70, OverflowError, "can't convert negative value to unsigned long"),
    (-1.5, OverflowError, "can't convert negative value to unsigned long"),
    (2 ** 64, OverflowError, "value too large to convert to unsigned long"),
    ("600", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
])
def test_direction_argument_errors(name, value, error, message):
    with pytest.raises(error, match="^%s$" % message):
        getattr(ADCConverter(), name)(value)


@pytest.mark.parametrize("name", ["calculate_for_direction_1", "calculate_for_direction_2"])
def test_direction_argument_truncates_and_takes_keyword(name):
    conv = make(direction_1_fullscale_value=1000, direction_1_fullscale_load=3,
                direction_2_fullscale_value=1000, direction_2_fullscale_load=3)
    operation = getattr(conv, name)
    assert operation(600.7) == operation(600) == operation(ndr_adc=600)
    assert operation(IndexOnly()) == operation(5)
    assert conv.convert_adc(ndr_adc=600.7) == conv.calculate_for_direction_1(600)


@pytest.mark.parametrize("value, error, message", [
    (-1, OverflowError, "can't convert negative value to unsigned long"),
    (-math.inf, OverflowError, "can't convert negative value to unsigned long"),
    (math.nan, ValueError, "cannot convert float NaN to integer"),
    (2 ** 64, OverflowError, "value too large to convert to unsigned long"),
    (math.inf, OverflowError, "value too large to convert to unsigned long"),
    (2 ** 2000, OverflowError, None),
    ("100", TypeError, None),
    (None, TypeError, None),
])
def test_convert_adc_argument_errors(value, error, message):
    with pytest.raises(error) as info:
        ADCConverter().convert_adc(value)
    if message:
        assert str(info.value) == message


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((1, 2), {}), ((), {"reading": 1}), ((1,), {"ndr_adc": 1}), ((), {"ndr_adc": 1, "x": 2}),
])
@pytest.mark.parametrize("name", ["convert_adc", "calculate_for_direction_1", "calculate_for_direction_2"])
def test_operations_bind_one_argument(name, args, kwargs):
    with pytest.raises(TypeError):
        getattr(ADCConverter(), name)(*args, **kwargs)


# --- Overrides -------------------------------------------------------------------------


class Plain(ADCConverter):
    pass


class Whole(ADCConverter):
    def calculate_for_direction_1(self, ndr_adc):
        return ndr_adc // 2


class Redirect(ADCConverter):
    __slots__ = ()

    def __getattribute__(self, name):
        if name == "calculate_for_direction_1":
            return lambda n: 77.0
        return super().__getattribute__(name)


def on_instance():
    conv = Recording()
    conv.calculate_for_direction_1 = lambda n: -1.0
    return conv


@pytest.mark.parametrize("factory, expected", [
    (ADCConverter, 4.5), (Plain, 4.5),  # native
    (Whole, 4.0),                       # the override's int, as a float
    (on_instance, -1.0),                # found on the instance
    (Redirect, 77.0),                   # found by custom attribute access
])
def test_convert_adc_uses_what_attribute_lookup_finds(factory, expected):
    conv = factory()
    conv.__setstate__(make(number_of_directions=0, direction_1_fullscale_value=2,
                           direction_1_fullscale_load=1).__reduce__()[2])
    result = conv.convert_adc(9)
    assert type(result) is float and result == expected


def test_override_returning_non_number_raises_type_error():
    class Broken(ADCConverter):
        def calculate_for_direction_2(self, ndr_adc):
            return "heavy"

    conv = Broken()
    conv.__setstate__(two_directions(100, 1100, 100, 0).__reduce__()[2])
    with pytest.raises(TypeError):
        conv.convert_adc(50)


def test_override_errors_pass_unchanged():
    error = KeyError("boom")

    class Failing(ADCConverter):
        def calculate_for_direction_1(self, ndr_adc):
            raise error

    conv = Failing()
    conv.number_of_directions = 0
    with pytest.raises(KeyError) as info:
        conv.convert_adc(1)
    assert info.value is error


def test_patch_on_the_class_is_used():
    conv = make(number_of_directions=0, direction_1_fullscale_value=10, direction_1_fullscale_load=10)
    with mock.patch.object(ADCConverter, "calculate_for_direction_1", return_value=8.5) as patched:
        assert conv.convert_adc(12.5) == 8.5
    patched.assert_called_once_with(12)
    assert conv.convert_adc(12.5) == 12.0


"""What every typed value class shares: pickling through copyreg.__newobj__ with the fields in
alphabetical order, and a bad state that changes nothing."""
import copyreg
import pickle

import pytest

import vexlo_device_communication as vexlo


def adc():
    conv = vexlo.ADCConverter()
    conv.offset, conv.number_of_directions = 2.5, 0
    return conv


def teds():
    data = vexlo.TEDSData()
    data.serial_number, data.reverse_scaling_enabled, data.template = "42", True, 7
    return data


# A filled instance, and a state whose last field has the wrong type.
CASES = [
    (adc, lambda state: state[:-1] + ("not a number",)),
    (lambda: vexlo.StreamReading(1.5, 7), lambda state: state[:-1] + ("not a number",)),
    (lambda: vexlo.StreamConversionResult([1], bytearray(b"x")), lambda state: state[:-1] + (b"x",)),
    (teds, lambda state: state[:-1] + ("not an int",)),
]


@pytest.mark.parametrize("make, spoil", CASES)
def test_pickle_shape_and_atomic_setstate(make, spoil):
    obj = make()
    constructor, args, state = obj.__reduce__()
    assert (constructor, args) == (copyreg.__newobj__, (type(obj),))
    assert pickle.loads(pickle.dumps(obj)).__reduce__() == obj.__reduce__()
    fresh = type(obj).__new__(type(obj))
    before = fresh.__reduce__()
    with pytest.raises((TypeError, OverflowError)):
        fresh.__setstate__(spoil(state))
    assert fresh.__reduce__() == before


@pytest.mark.parametrize("call, message", [
    (lambda: vexlo.ADCConverter().convert_adc(), "convert_adc() missing required argument 'ndr_adc' (pos 1)"),
    (lambda: vexlo.ADCConverter().convert_adc(1, 2), "convert_adc() takes exactly one argument (2 given)"),
    (lambda: vexlo.ADCConverter().convert_adc(1, ndr_adc=2),
     "argument for convert_adc() given by name ('ndr_adc') and position (1)"),
    (lambda: vexlo.ADCConverter().calculate_for_direction_2(x=1, ndr_adc=2),
     "calculate_for_direction_2() got an unexpected keyword argument 'x'"),
    (lambda: vexlo.StreamReading(1, zzz=2), "StreamReading() missing required argument 'adc_value' (pos 2)"),
    (lambda: vexlo.StreamReading(1, 2, 3), "StreamReading() takes at most 2 arguments (3 given)"),
    (lambda: vexlo.StreamConversionResult(a=1, b=2, c=3),
     "StreamConversionResult() takes at most 2 keyword arguments (3 given)"),
    (lambda: vexlo.TEDSData.bits_to_int([1], 0), "TEDSData.bits_to_int() missing 1 required positional argument: 'length'"),
    (lambda: vexlo.TEDSData.bits_to_int([1], 0, 1, 2),
     "TEDSData.bits_to_int() takes 3 positional arguments but 4 were given"),
    (lambda: vexlo.TEDSData.bits_to_float([1], start_index=0, bit_array=[]),
     "TEDSData.bits_to_float() got multiple values for argument 'bit_array'"),
])
def test_argument_errors_read_as_the_interpreters(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message

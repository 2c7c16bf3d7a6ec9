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

"""Misuse: every function and method of the module, called with odd arguments
of every kind, one, two and three at a time. Any outcome is allowed but a
crash, a hang or an exception that is not an Exception (the sanitizer run
checks memory on the way).
"""

import itertools
import math
from unittest import mock

import pytest

import vexlo_device_communication as vexlo
from reliability import count, quiet
from vexlo_tools.sim import SimulatedInstrument, simulated_ports

ODD = [None, -1, 0, 1, 255, 256, 2 ** 70, -2 ** 70, 1.5, math.nan, math.inf, "x", "", b"\x00", bytearray(3),
       [], [1, 300], {}, object(), True, vexlo.UnitOfMeasureEnum.N, vexlo.PLX310SamplingRateEnum.SPS_38400]
PAIRS = [None, -1, 2 ** 70, 1.5, "x", bytearray(3), [1, 300], object()]
TRIPLES = [None, 0, 2 ** 70, "x", object()]


def argument_lists():
    yield ()
    for value in ODD:
        yield (value,)
    yield from itertools.product(PAIRS, repeat=2)
    yield from itertools.product(TRIPLES, repeat=3)


def callables(owner):
    """The functions and methods an object or class offers, dunders that take
    part in pickling and the context protocol included."""
    for name in sorted(dir(owner)):
        if name.startswith("__") and name not in ("__init__", "__setstate__", "__reduce__", "__exit__",
                                                  "__enter__"):
            continue
        value = getattr(owner, name)
        if callable(value) and not isinstance(value, type):
            yield name


def call_everything(owner, reset=lambda: None):
    """Calls every callable of `owner` with every argument list; checks that
    an object's calls do reach its code (some succeed)."""
    succeeded = failed = 0
    for name in callables(owner):
        for args in argument_lists():
            reset()
            try:
                getattr(owner, name)(*args)
                succeeded += 1
            except Exception:  # noqa: BLE001 - any error is an allowed outcome
                failed += 1
    count("calls with odd arguments", succeeded + failed)
    assert failed > 0 and (succeeded > 0 or isinstance(owner, type)), owner


def test_value_classes_and_protocol_objects():
    converter = vexlo.ADCConverter()
    converter.direction_1_fullscale_value = 1000.0
    for owner in (converter, vexlo.ADCConverter, vexlo.TEDSData(), vexlo.TEDSData,
                  vexlo.StreamReading(1.0, 2), vexlo.StreamConversionResult([], bytearray()),
                  vexlo.StreamDataConverter, vexlo._CommandOperations(), vexlo._Command(0, 5, 6, 1, 4, 9, "int")):
        with mock.patch.object(vexlo, "logger", mock.Mock()):
            call_everything(owner)


def call_with_everything(function):
    """Calls `function` itself with every argument list."""
    outcomes = set()
    for args in argument_lists():
        try:
            function(*args)
            outcomes.add("ok")
        except Exception:  # noqa: BLE001 - any error is an allowed outcome
            outcomes.add("error")
    count("calls with odd arguments", len(list(argument_lists())))
    return outcomes


def timing_out(*args):
    raise vexlo.VexloTimeoutError("No response received within 1s timeout")


@pytest.mark.parametrize("instrument, model", [(SimulatedInstrument.mvr420(), "MVR420"),
                                               (SimulatedInstrument.plx310_plus_prime(), "PLX310")])
def test_devices_links_and_discovery(instrument, model):
    with quiet(), simulated_ports({"/dev/ttySIM0": instrument}):
        [device] = vexlo.VexloSerialScanner.discover_devices([model])
        ci = device.communication_interface

        saved = [(ci, dict(vars(ci))), (device, dict(vars(device)))]

        def reconnect():
            # Each call finds the objects as they were (a call of __init__
            # changes them), the link open and the instrument in order, not
            # streaming (stream bytes would come before any answer).
            instrument.clear_faults()
            instrument.stop_streaming(0.0)
            for owner, attributes in saved:
                for name, value in attributes.items():
                    if name != "serial_connection":
                        setattr(owner, name, value)
            if ci.serial_connection is None or not ci.serial_connection.is_open:
                ci.connect()

        call_everything(ci, reconnect)
        call_everything(device, reconnect)
        call_everything(vexlo.VexloSerialScanner)
        assert call_with_everything(vexlo.retry_on_timeout) == {"ok", "error"}
        assert call_with_everything(vexlo.retry_on_timeout(2, 0.0)) == {"ok", "error"}
        assert call_with_everything(vexlo.retry_on_timeout(2, 0.0)(lambda *args: args)) == {"ok"}
        assert call_with_everything(vexlo.retry_on_timeout(3)(timing_out)) == {"error"}
        reconnect()
        assert device.get_model_number() == model

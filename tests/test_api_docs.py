"""Docstrings of the public surface: reStructuredText field lists, and the texts users rely on."""

import builtins
import enum
import importlib
import inspect
import re

import pytest

import vexlo_device_communication as vexlo

# Internal classes that the module makes reachable, and that a caller meets
# as device.communication_interface and its commands.
INTERNAL_CLASSES = ("_SerialCommunicationInterface", "_CommandOperations", "_Command")
# Slot wrappers and pickling hooks come with the type machinery, not from us.
INHERITED_KINDS = ("wrapper_descriptor", "builtin_function_or_method")
PICKLING = ("__reduce__", "__setstate__")

FIELD = re.compile(r":(param (?P<param>\w+)|return|raises (?P<error>[\w.]+)):(\s|$)")


def _classes():
    public = [n for n in dir(vexlo) if not n.startswith("_") and isinstance(getattr(vexlo, n), type)]
    return sorted(public) + list(INTERNAL_CLASSES)


def _members():
    for class_name in _classes():
        cls = getattr(vexlo, class_name)
        if issubclass(cls, (BaseException, enum.Enum)):
            continue
        for name, raw in vars(cls).items():
            if name in PICKLING or type(raw).__name__ in INHERITED_KINDS:
                continue
            if name.startswith("__") and name not in ("__init__", "__enter__", "__exit__"):
                continue
            if isinstance(raw, (staticmethod, classmethod, property)) or callable(raw):
                yield pytest.param(cls, name, raw, id=f"{class_name}.{name}")


def _fields(doc):
    """The summary line and the fields of a docstring, checking its shape."""
    lines = doc.strip("\n").splitlines()
    assert lines and lines[0].strip(), "no summary line"
    assert not lines[0].lstrip().startswith(":"), "the summary line is a field"
    if len(lines) > 1:
        assert not lines[1].strip(), "the summary line is not followed by a blank line"
    params, errors, has_return = [], [], False
    for line in lines[1:]:
        if not line.lstrip().startswith(":"):
            continue
        match = FIELD.match(line.lstrip())
        assert match, f"not a :param:, :return: or :raises: field: {line!r}"
        if match["param"]:
            params.append(match["param"])
        elif match["error"]:
            errors.append(match["error"])
        else:
            has_return = True
    return params, errors, has_return


def _check_errors(errors):
    for name in errors:
        if "." in name:  # an error of another module, e.g. struct.error
            module, _, attribute = name.rpartition(".")
            error = getattr(importlib.import_module(module), attribute, None)
        else:
            error = getattr(vexlo, name, None) or getattr(builtins, name, None)
        assert isinstance(error, type) and issubclass(error, BaseException), f":raises {name}: is no exception"


@pytest.mark.parametrize("class_name", _classes())
def test_every_class_has_a_docstring_with_a_summary_line(class_name):
    cls = getattr(vexlo, class_name)
    assert cls.__doc__ and cls.__doc__ != type.__doc__
    params, errors, _ = _fields(cls.__doc__)
    _check_errors(errors)
    if params:  # constructor parameters, where the class documents them itself
        assert params == list(inspect.signature(cls).parameters)


@pytest.mark.parametrize("cls, name, raw", list(_members()))
def test_every_method_documents_its_parameters_return_and_errors(cls, name, raw):
    if isinstance(raw, property):
        doc, expected, needs_return = raw.__doc__, [], False
    else:
        function = raw.__func__ if isinstance(raw, (staticmethod, classmethod)) else raw
        doc = function.__doc__
        signature = inspect.signature(getattr(cls, name))
        expected = [p for p in signature.parameters if p not in ("self", "cls")]
        needs_return = name != "__init__"
    assert doc, "no docstring"
    params, errors, has_return = _fields(doc)
    assert params == expected
    assert has_return or not needs_return, "no :return: field"
    _check_errors(errors)


ERROR_DOCS = {
    "VexloDeviceError": "Base exception for all VEXLO device errors",
    "VexloConnectionError": "Raised when connection/disconnection fails",
    "VexloCommunicationError": "Raised when serial communication fails",
    "VexloTimeoutError": "Raised when a command times out",
    "VexloProtocolError": "Raised when protocol/checksum validation fails",
    "VexloInvalidParameterError": "Raised when invalid parameters are provided",
    "VexloDeviceNotFoundError": "Raised when device discovery fails",
    "VexloCalibrationError": "Raised when calibration data is invalid or missing",
    "VexloTEDSError": "Base exception for TEDS-related errors",
    "VexloTEDSNotSupportedError": "Raised when device doesn't support TEDS",
    "VexloTEDSNotConnectedError": "Raised when TEDS sensor is not physically connected",
    "VexloTEDSDataCorruptedError": "Raised when TEDS data checksum/parsing fails",
}


@pytest.mark.parametrize("name, text", ERROR_DOCS.items())
def test_error_classes_carry_their_texts(name, text):
    assert getattr(vexlo, name).__doc__ == text


def _lines(obj):
    return [line.strip() for line in obj.__doc__.splitlines()]


def _in_order(lines, expected):
    """Whether ``expected`` appear among ``lines`` in this order, consecutive lines kept together."""
    position = 0
    for text in expected:
        try:
            position = lines.index(text, position) + 1
        except ValueError:
            return False
    return True


QUOTED_LINES = [
    ("PLX310SamplingRateEnum", [
        "Sampling rates available for PLX310 devices.",
        "Supports rates from 2.5 SPS to 38,400 SPS.",
        "Note: The 38,400 SPS rate (SPS_38400) is only available on PLX310 Plus Prime.",
        "Available rates: 2.5, 5, 10, 16.6, 20, 50, 60, 100, 400, 1200,",
        "2400, 4800, 7200, 14000, 19200, 38400 samples per second.",
    ]),
    *[(f"{model}SamplingRateEnum", [
        f"Sampling rates available for {model} devices.",
        "Supports rates from 4 SPS to 1300 SPS.",
        "Available rates: 4, 20, 50, 100, 200, 500, 850, 1300 samples per second.",
    ]) for model in ("MVR420", "DTA530", "HSK640")],
    ("UnitOfMeasureEnum", [
        "Available units of measure for VEXLO devices.",
        "Supports various measurement units including:",
        "- Force: lb, N, kg, oz, gram, dyn, kN, mN",
        "- Torque: Nm, Ncm, Nmm, inch_lb, inch_oz, ft_lb, kg_cm, kg_m, kNm",
        "- Pressure: psi, bar, Pa, kPa, MPa, atm, mbar, mm_Hg, inch_H2O, ft_H2O",
        "- Distance: mm, cm, dm, m, km, inch, ft, yd, mi",
        "- Temperature: C, F, K, Ra",
        "- Electrical: V, mV, uV, nV, kV, A, mA, uA, mVV, Ohms",
        "- Mass: g, mg, ug, kg, MT, ST, LT",
    ]),
    ("VexloSerialScanner.discover_devices", [
        "Discovers Vexlo serial devices.",
        ":param device_models: Device model types to search for.",
        ":param comports: Specific comports to scan.",
        ":return: Vexlo devices discovered during scan.",
    ]),
]


@pytest.mark.parametrize("path, expected", QUOTED_LINES, ids=[path for path, _ in QUOTED_LINES])
def test_quoted_docstring_lines_stand_in_order(path, expected):
    obj = vexlo
    for part in path.split("."):
        obj = getattr(obj, part)
    lines = _lines(obj)
    assert lines[0] == expected[0]
    assert _in_order(lines, expected)


def test_quoted_docstring_ends_and_summaries():
    assert vexlo.VexloSerialScanner.__doc__ == "VEXLOSerialScanner handles discovery operations for VEXLO devices."
    assert _lines(vexlo.VexloDevice.get_board_temperature)[-1] == ":return: Device Board Temperature in degrees Celsius."
    assert _lines(vexlo.VexloDevice.initialize_teds)[0] == "Initialize TEDS support during device discovery."


def test_the_device_docstring_says_how_to_obtain_a_device():
    doc = vexlo.VexloDevice.__doc__
    assert "VexloSerialScanner.discover_devices()" in doc
    assert "must not be instantiated directly" in doc and "TypeError" in doc
    # The example takes the first element of the discovered list.
    assert re.search(r"= *\w+\[0\]|discover_devices\(\)\[0\]", doc)

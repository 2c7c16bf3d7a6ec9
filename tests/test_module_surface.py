import logging
import pickle
import subprocess
import sys

import pytest

import vexlo_device_communication as vexlo

ERRORS = {
    "VexloDeviceError": (Exception, "Base exception for all VEXLO device errors"),
    "VexloConnectionError": ("VexloDeviceError", "Raised when connection/disconnection fails"),
    "VexloCommunicationError": ("VexloDeviceError", "Raised when serial communication fails"),
    "VexloTimeoutError": ("VexloCommunicationError", "Raised when a command times out"),
    "VexloProtocolError": ("VexloDeviceError", "Raised when protocol/checksum validation fails"),
    "VexloInvalidParameterError": ("VexloDeviceError", "Raised when invalid parameters are provided"),
    "VexloDeviceNotFoundError": ("VexloDeviceError", "Raised when device discovery fails"),
    "VexloCalibrationError": ("VexloDeviceError", "Raised when calibration data is invalid or missing"),
    "VexloTEDSError": ("VexloDeviceError", "Base exception for TEDS-related errors"),
    "VexloTEDSNotSupportedError": ("VexloTEDSError", "Raised when device doesn't support TEDS"),
    "VexloTEDSNotConnectedError": ("VexloTEDSError", "Raised when TEDS sensor is not physically connected"),
    "VexloTEDSDataCorruptedError": ("VexloTEDSError", "Raised when TEDS data checksum/parsing fails"),
}


@pytest.mark.parametrize("name", list(ERRORS))
def test_error_classes(name):
    base, doc = ERRORS[name]
    cls = getattr(vexlo, name)
    base_cls = getattr(vexlo, base) if isinstance(base, str) else base
    assert cls.__bases__ == (base_cls,)
    assert cls.__doc__ == doc
    assert cls.__module__ == "vexlo_device_communication"
    assert str(cls("Checksum mismatch")) == "Checksum mismatch"
    assert pickle.loads(pickle.dumps(cls("x"))).args == ("x",)


def test_error_hierarchy_is_not_builtin():
    assert not issubclass(vexlo.VexloTimeoutError, TimeoutError)
    assert not issubclass(vexlo.VexloInvalidParameterError, ValueError)
    assert not issubclass(vexlo.VexloCalibrationError, vexlo.VexloTEDSError)


def test_module_names_in_order_of_creation():
    names = [n for n in vars(vexlo) if not n.startswith("__")]
    expected = [
        "logger", "_DEVICE_CREATION_TOKEN", "_TEDS_UNIT_MAPPING", *ERRORS,
        "retry_on_timeout", "UnitOfMeasureEnum", "VexloDevice", "StreamDataConverter",
        "VexloSerialScanner", "_Command", "_SerialCommunicationInterface",
        "PLX310SamplingRateEnum", "MVR420SamplingRateEnum", "DTA530SamplingRateEnum",
        "HSK640SamplingRateEnum", "_CommandOperations",
    ]
    assert [n for n in names if n in expected] == expected
    for module_global in ("logging", "time", "struct", "hashlib", "functools", "enum", "serial"):
        assert getattr(vexlo, module_global) is sys.modules[module_global]
    assert hasattr(vexlo.serial, "tools") and hasattr(vexlo.serial.tools, "list_ports")


def test_logger_token_and_unit_table():
    assert vexlo.logger is logging.getLogger("vexlo_device_communication")
    assert type(vexlo._DEVICE_CREATION_TOKEN) is object
    assert list(vexlo._TEDS_UNIT_MAPPING.items()) == [
        (0, "\u00b0K"), (1, "\u00b0C"), (4, "N"), (5, "lb"), (10, "N-m"), (11, "in-oz"),
        (12, "Pa"), (13, "psi"), (14, "kg"), (15, "g"), (16, "m"), (17, "mm"), (18, "in"),
    ]


def test_sampling_rate_enums():
    plx = vexlo.PLX310SamplingRateEnum
    assert [(m.name, m.value) for m in plx][:3] == [("SPS_2_5", 0), ("SPS_5", 1), ("SPS_10", 2)]
    assert plx.SPS_38400.value == 15 and plx.SPS_16_6.value == 3 and len(plx) == 16
    assert plx.SPS_20 != 4
    assert plx.__doc__.splitlines()[0] == "Sampling rates available for PLX310 devices."
    assert "Note: The 38,400 SPS rate (SPS_38400) is only available on PLX310 Plus Prime." in plx.__doc__
    families = [vexlo.MVR420SamplingRateEnum, vexlo.DTA530SamplingRateEnum, vexlo.HSK640SamplingRateEnum]
    for cls, model in zip(families, ["MVR420", "DTA530", "HSK640"]):
        assert [m.name for m in cls] == ["SPS_4", "SPS_20", "SPS_50", "SPS_100", "SPS_200", "SPS_500",
                                         "SPS_850", "SPS_1300"]
        assert cls.SPS_1300.value == 7
        assert cls.__doc__.splitlines()[:1] == ["Sampling rates available for %s devices." % model]
        assert "Available rates: 4, 20, 50, 100, 200, 500, 850, 1300 samples per second." in cls.__doc__
    assert vexlo.MVR420SamplingRateEnum.SPS_20 != vexlo.DTA530SamplingRateEnum.SPS_20


def test_unit_enum():
    unit = vexlo.UnitOfMeasureEnum
    assert len(unit) == 66
    expected = {"atm": 0, "lb": 20, "N": 26, "psi": 31, "mm": 38, "C": 51, "V": 60, "none": 62, "mN": 63,
                "M_Pa": 24, "m_Nm": 23, "Ohms": 254, "Undefined": 255}
    assert {name: unit[name].value for name in expected} == expected
    assert unit(255) is unit.Undefined
    with pytest.raises(ValueError):
        unit(64)
    assert unit.__doc__.startswith("Available units of measure for VEXLO devices.")
    assert "- Mass: g, mg, ug, kg, MT, ST, LT" in unit.__doc__


@pytest.mark.parametrize("member", [vexlo.UnitOfMeasureEnum.N, vexlo.PLX310SamplingRateEnum.SPS_2_5,
                                    vexlo.HSK640SamplingRateEnum.SPS_850])
def test_enum_members_pickle(member):
    assert type(member).__module__ == "vexlo_device_communication"
    assert pickle.loads(pickle.dumps(member)) is member


def test_second_interpreter_is_refused():
    code = (
        "try:\n"
        "    import _interpreters as interpreters\n"  # 3.13 on
        "except ImportError:\n"
        "    import _xxsubinterpreters as interpreters\n"
        "import vexlo_device_communication\n"
        "sub = interpreters.create()\n"
        "try:\n"
        "    failure = interpreters.run_string(sub, 'import vexlo_device_communication')\n"
        "except Exception as e:\n"  # raised up to 3.12, returned from 3.13
        "    failure = e\n"
        "print(getattr(failure, 'formatted', failure))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "ImportError" in out
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in out

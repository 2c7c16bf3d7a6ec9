"""VexloDevice against a stand-in interface: what it asks the interface, in which order, and
what it hands back."""
from decimal import Decimal
from unittest import mock

import pytest

import vexlo_device_communication as vexlo
from reliability import assert_flat

TOKEN = vexlo._DEVICE_CREATION_TOKEN
DIRECT = ("VexloDevice cannot be instantiated directly. Use VexloSerialScanner.discover_devices() "
          "to obtain VexloDevice instances.")
PROFILES = {0: 2, 1: 5, 3: 7}  # channel -> selected profile


def make_interface():
    ci = mock.Mock(name="ci")
    ci.get_device_channel_selected_profile.side_effect = PROFILES.__getitem__
    ci.load_adc_converter.side_effect = lambda profile: mock.Mock(name=f"converter{profile}")
    return ci


@pytest.fixture
def ci():
    return make_interface()


@pytest.fixture
def device(ci):
    device = vexlo.VexloDevice(ci, _internal_token=TOKEN)
    ci.reset_mock()
    return device


@pytest.mark.parametrize("kwargs", [{}, {"_internal_token": object()}, {"_internal_token": None}])
def test_direct_construction_is_refused_without_touching_the_interface(ci, kwargs):
    with pytest.raises(TypeError) as info:
        vexlo.VexloDevice(ci, **kwargs)
    assert str(info.value) == DIRECT
    assert ci.mock_calls == []
    bare = vexlo.VexloDevice.__new__(vexlo.VexloDevice)
    with pytest.raises(TypeError):
        bare.__init__(ci, **kwargs)
    assert vars(bare) == {}


def test_token_is_keyword_only(ci):
    with pytest.raises(TypeError, match="positional"):
        vexlo.VexloDevice(ci, TOKEN)
    assert ci.mock_calls == []


def test_constructor_reads_channel_0_profile_and_loads_its_calibration(ci):
    device = vexlo.VexloDevice(ci, _internal_token=TOKEN)
    assert ci.mock_calls == [mock.call.get_device_channel_selected_profile(0), mock.call.load_adc_converter(2)]
    assert list(vars(device)) == ["communication_interface", "_teds_data", "_model_number", "_item_number",
                                  "_firmware_version", "_cached_sampling_rate_for_teds", "adc_converter"]
    assert device.communication_interface is ci
    assert device.adc_converter._mock_name == "converter2"
    assert [device._teds_data, device._model_number, device._item_number, device._firmware_version,
            device._cached_sampling_rate_for_teds] == [None] * 5


def test_constructor_lets_calibration_failure_through(ci):
    error = vexlo.VexloCalibrationError("Invalid number of loading points: 0")
    ci.load_adc_converter.side_effect = error
    with pytest.raises(vexlo.VexloCalibrationError) as info:
        vexlo.VexloDevice(ci, _internal_token=TOKEN)
    assert info.value is error


P = "profile"  # the expected call begins with the channel's profile lookup

# method, args, kwargs, channel whose profile is looked up (None: no lookup), interface call
OPERATIONS = [
    ("get_ndr", (), {}, None, mock.call.get_ndr(0)),
    ("get_ndr", (3,), {}, None, mock.call.get_ndr(3)),
    ("get_model_number", (), {}, None, mock.call.get_model_number()),
    ("disconnect", (), {}, None, mock.call.disconnect()),
    ("get_number_of_loading_points", (), {}, 0, mock.call.get_number_of_loading_points(2)),
    ("get_load_of_loading_point", (4,), {"channel_number": 1}, 1, mock.call.get_load_of_loading_point(5, 4)),
    ("get_loading_point_value", (4,), {}, 0, mock.call.get_loading_point_value(2, 4)),
    ("set_adc_of_loading_point", (1, 9000), {}, 0, mock.call.set_adc_of_loading_point(2, 1, 9000)),
    ("set_adc_of_loading_point", (1, 9000, 2, 3), {}, 3, mock.call.set_adc_of_loading_point(7, 1, 9000)),
    ("set_load_of_loading_point", (1, 2.5), {"channel_number": 1}, 1,
     mock.call.set_load_of_loading_point(5, 1, 2.5)),
    ("get_number_of_directions", (1,), {}, 1, mock.call.get_number_of_directions(5)),
    ("set_number_of_directions", (2,), {}, 0, mock.call.set_number_of_directions(2, 2)),
    ("set_stream_state", (True,), {}, None, mock.call.set_streaming_state(True)),
    ("get_stream_data", (), {}, None, mock.call.read_buffer_data()),
    ("get_sampling_rate", (1,), {}, 1, mock.call.get_sampling_rate(5)),
    ("set_sampling_rate", (vexlo.PLX310SamplingRateEnum.SPS_100,), {}, 0, mock.call.set_sampling_rate(2, 7)),
    ("set_sampling_rate", (vexlo.HSK640SamplingRateEnum.SPS_20, 3), {}, 3, mock.call.set_sampling_rate(7, 1)),
    ("set_sampling_rate_value", (7,), {}, 0, mock.call.set_sampling_rate(2, 7)),
    ("get_instrument_serial_number", (), {}, None, mock.call.get_instrument_serial_number()),
    ("get_sensor_serial_number", (3,), {}, 3, mock.call.get_sensor_serial_number(7)),
    ("get_device_channel_selected_profile", (1,), {}, None, mock.call.get_device_channel_selected_profile(1)),
    ("set_unit_of_measure", (vexlo.UnitOfMeasureEnum.N,), {"channel_number": 1}, 1,
     mock.call.set_unit_of_measure(5, 26)),
    ("get_adc_for_profile", (4,), {}, None, mock.call.load_adc_converter(4)),
]


@pytest.mark.parametrize("name, args, kwargs, channel, expected", OPERATIONS)
def test_operation_forwards_to_the_interface(device, ci, name, args, kwargs, channel, expected):
    result = getattr(device, name)(*args, **kwargs)
    calls = [expected] if channel is None else [mock.call.get_device_channel_selected_profile(channel), expected]
    assert ci.mock_calls == calls
    # What the interface answered comes back unchanged (set_sampling_rate alone returns None).
    special = {"set_sampling_rate": None, "get_device_channel_selected_profile": PROFILES[1]}
    if name in special:
        assert result == special[name]
    elif name == "get_adc_for_profile":
        assert result._mock_name == "converter4"
    else:
        assert result is getattr(ci, expected[0]).return_value


@pytest.mark.parametrize("name, args, kwargs, channel, expected",
                         [op for op in OPERATIONS if op[0] != "get_device_channel_selected_profile"])
def test_interface_errors_pass_unchanged(device, ci, name, args, kwargs, channel, expected):
    error = vexlo.VexloTimeoutError("No response received within 1s timeout")
    getattr(ci, expected[0]).side_effect = error
    with pytest.raises(vexlo.VexloTimeoutError) as info:
        getattr(device, name)(*args, **kwargs)
    assert info.value is error


def test_profile_lookup_goes_through_the_device_method(device, ci):
    device.get_device_channel_selected_profile = lambda channel: 40 + channel
    device.get_sampling_rate(1)
    device.get_number_of_directions()
    assert ci.mock_calls == [mock.call.get_sampling_rate(41), mock.call.get_number_of_directions(40)]


def test_reading_uses_the_single_converter_for_any_channel(device, ci):
    ci.get_ndr.return_value = 123456
    assert device.get_reading(3) is device.adc_converter.convert_adc.return_value
    assert ci.mock_calls == [mock.call.get_ndr(3)]
    device.adc_converter.convert_adc.assert_called_once_with(123456)


def test_reading_without_converter(device, ci):
    device.adc_converter = None
    with pytest.raises(vexlo.VexloCalibrationError) as info:
        device.get_reading()
    assert str(info.value) == "ADC converter not initialized. Cannot convert reading."
    assert ci.mock_calls == []


def test_unit_of_measure_is_an_enumeration_member(device, ci):
    ci.get_unit_of_measure.return_value = 255
    assert device.get_unit_of_measure(1) is vexlo.UnitOfMeasureEnum.Undefined
    assert ci.mock_calls == [mock.call.get_device_channel_selected_profile(1), mock.call.get_unit_of_measure(5)]
    ci.get_unit_of_measure.return_value = 64
    with pytest.raises(ValueError):
        device.get_unit_of_measure()


@pytest.mark.parametrize("channel, used", [(1, 1), (1.0, 1), (1.9, 1), (Decimal("3.2"), 3), (True, True)])
def test_sampling_rate_channel_numbers(device, ci, channel, used):
    device.set_sampling_rate(vexlo.MVR420SamplingRateEnum.SPS_50, channel)
    assert ci.mock_calls[0] == mock.call.get_device_channel_selected_profile(used)
    assert type(ci.mock_calls[0].args[0]) is type(used)


@pytest.mark.parametrize("channel, type_name", [("1", "str"), (None, "NoneType"), (1j, "complex"), ([1], "list")])
def test_sampling_rate_refuses_a_channel_that_is_not_a_number(device, ci, channel, type_name):
    with pytest.raises(TypeError) as info:
        device.set_sampling_rate(vexlo.PLX310SamplingRateEnum.SPS_10, channel_number=channel)
    assert "channel_number" in str(info.value) and "int" in str(info.value) and type_name in str(info.value)
    assert ci.mock_calls == []


@pytest.mark.parametrize("name", ["set_sampling_rate", "set_unit_of_measure"])
def test_enumeration_setters_need_a_member(device, ci, name):
    with pytest.raises(AttributeError):
        getattr(device, name)(7)
    assert ci.mock_calls == []


def test_selecting_a_profile_reloads_the_converter_for_channel_0(device, ci):
    ci.get_device_channel_selected_profile.side_effect = [3]
    assert device.set_device_channel_selected_profile(1, 3) is None
    assert ci.mock_calls == [mock.call.set_device_channel_selected_profile(1, 3),
                             mock.call.get_device_channel_selected_profile(0),
                             mock.call.load_adc_converter(3)]
    assert device.adc_converter._mock_name == "converter3"


def test_failed_reload_keeps_the_old_converter(device, ci):
    old = device.adc_converter
    ci.load_adc_converter.side_effect = vexlo.VexloCalibrationError("Error loading calibration data: x")
    with pytest.raises(vexlo.VexloCalibrationError):
        device.set_device_channel_selected_profile(0, 1)
    assert device.adc_converter is old


def test_converter_for_another_profile_is_not_kept(device, ci):
    old = device.adc_converter
    converter = device.get_adc_for_profile(2)
    assert converter is not old and device.get_adc_converter() is old
    assert ci.mock_calls == [mock.call.load_adc_converter(2)]


@pytest.mark.parametrize("raw, expected", [
    (9075075, 25.000125340053003),
    (16777215, 3959.9999999999995),
    (0, -4611.428060531616),
    (2 ** 40, -40 + ((1200 - (16777215 - 2 ** 40) / 6990.506666666667) - 80) / 0.28),
])
def test_board_temperature(device, ci, raw, expected):
    ci.get_board_temperature.return_value = raw
    assert device.get_board_temperature() == expected
    assert ci.mock_calls == [mock.call.get_board_temperature()]


def test_context_manager_disconnects(device, ci, records):
    with device as entered:
        assert entered is device
    assert ci.mock_calls == [mock.call.disconnect()]
    assert records() == [("DEBUG", "Entering VexloDevice context"), ("DEBUG", "Exiting VexloDevice context")]


def test_block_exception_survives_a_failing_disconnect(device, ci, records):
    ci.disconnect.side_effect = OSError("port vanished")
    with pytest.raises(KeyError):
        with device:
            raise KeyError("block")
    ci.disconnect.assert_called_once_with()
    assert ("ERROR", "Error during context manager cleanup: port vanished") in records()


def test_failing_disconnect_after_a_clean_block_is_logged_only(device, ci, records):
    ci.disconnect.side_effect = vexlo.VexloConnectionError("busy")
    with device:
        pass
    assert records()[-1] == ("ERROR", "Error during context manager cleanup: busy")
    assert device.__exit__(None, None, None) is False


class LightInterface:
    """An interface that keeps nothing, for measuring the device's own allocations."""

    def get_device_channel_selected_profile(self, channel):
        return channel

    def load_adc_converter(self, profile):
        return self

    def convert_adc(self, raw):
        return raw * 0.5

    def get_ndr(self, channel):
        return 1000 + channel

    def get_board_temperature(self):
        return 9075075

    def set_sampling_rate(self, profile, code):
        return None

    def get_unit_of_measure(self, profile):
        return 26

    def set_device_channel_selected_profile(self, channel, profile):
        return None

    def disconnect(self):
        raise OSError("gone")


def test_operations_do_not_leak(monkeypatch):
    # A logger that keeps nothing either (captured records would grow).
    monkeypatch.setattr(vexlo, "logger", type("Quiet", (), {"debug": lambda s, m: None,
                                                           "error": lambda s, m: None})())
    device = vexlo.VexloDevice(LightInterface(), _internal_token=TOKEN)
    rate = vexlo.PLX310SamplingRateEnum.SPS_100

    def run(_):
        device.get_reading(1)
        device.get_board_temperature()
        device.set_sampling_rate(rate, 1.0)
        device.get_unit_of_measure(2)
        device.set_device_channel_selected_profile(0, 1)
        with device:
            pass
        try:
            vexlo.VexloDevice(device, _internal_token=None)
        except TypeError:
            pass

    assert_flat(run, iterations=20000)


def test_set_sampling_rate_annotation_names_the_four_rate_enumerations():
    annotations = vexlo.VexloDevice.set_sampling_rate.__annotations__
    assert annotations["channel_number"] is int and annotations["return"] is None
    names = [enum for enum in ("PLX310", "MVR420", "DTA530", "HSK640")
             if enum + "SamplingRateEnum" in annotations["samples_per_second"]]
    assert len(names) == 4

"""The device's TEDS methods, on a device built around a stand-in link whose
TEDS commands are answered by a TEDS instrument double."""

from types import SimpleNamespace
from unittest import mock

import pytest

import vexlo_device_communication as vexlo
from reliability import assert_flat
from teds_doubles import TedsInstrument, make_device, make_image, make_interface



def stored(o1=20000.0, f1=40000.0, l1=2.0, o2=20000.0, f2=0.0, l2=2.0, code=1):
    """A stored calibration as load_adc_converter hands it out."""
    return SimpleNamespace(direction_1_offset_value=o1, direction_1_fullscale_value=f1,
                           direction_1_offset_load=0.0, direction_1_fullscale_load=l1,
                           direction_2_offset_value=o2, direction_2_fullscale_value=f2,
                           direction_2_offset_load=0.0, direction_2_fullscale_load=l2,
                           number_of_directions=code)


class Rig:
    """A device whose link answers the identity, firmware, calibration and
    sampling-rate operations from plain values and counts every call."""

    def __init__(self, model="PLX310", item="QMT31872", firmware="04.03.02", image=None):
        self.instrument = TedsInstrument(image=image)
        self.ci = make_interface(model, item, self.instrument)
        self.model, self.item, self.firmware = model, item, firmware
        self.calibration = stored()
        self.selected_profile = 3
        self.rates = {3: 9}
        self.calls = []
        for name in ("get_model_number", "get_item_number", "get_firmware_version_with_patch",
                     "load_adc_converter", "get_device_channel_selected_profile",
                     "get_sampling_rate", "set_sampling_rate"):
            setattr(self.ci, name, self._recorder(name))
        self.previous = object()
        self.device = make_device(self.ci, converter=self.previous)

    def _recorder(self, name):
        def call(*args):
            self.calls.append((name,) + args)
            result = getattr(self, "_" + name)(*args)
            if isinstance(result, Exception):
                raise result
            return result
        return call

    def _get_model_number(self):
        return self.model

    def _get_item_number(self):
        return self.item

    def _get_firmware_version_with_patch(self):
        return self.firmware

    def _load_adc_converter(self, profile):
        return self.calibration

    def _get_device_channel_selected_profile(self, channel):
        return self.selected_profile

    def _get_sampling_rate(self, profile):
        return self.rates[profile]

    def _set_sampling_rate(self, profile, code):
        self.rates[profile] = code

    def count(self, name):
        return sum(1 for call in self.calls if call[0] == name)


@pytest.fixture
def rig():
    return Rig()


GUARDED = [("teds_is_connected", ()), ("get_auto_teds", ()), ("set_auto_teds", (True,)),
           ("reload_teds_data", ())]


# ------------------------------------------------------------ support check

@pytest.mark.parametrize("model, item, expected", [
    ("PLX310", "QMT31872", True), ("PLX310", "QMT31871", False), ("MVR420", "QMT31872", False),
])
def test_supports_teds_asks_once(model, item, expected):
    rig = Rig(model, item)
    assert rig.device.supports_teds() is expected
    assert rig.device.supports_teds() is expected
    assert rig.count("get_model_number") == 1 and rig.count("get_item_number") == 1


def test_failed_item_number_counts_as_empty(rig, records):
    rig.item = vexlo.VexloTimeoutError("No response received within 1s timeout")
    assert rig.device.supports_teds() is False
    assert rig.device._item_number == ""
    assert records() == []


@pytest.mark.parametrize("name, args", GUARDED)
def test_guarded_methods_refuse_other_editions(name, args):
    rig = Rig("MVR420", "QMT31872")
    with pytest.raises(vexlo.VexloTEDSNotSupportedError) as info:
        getattr(rig.device, name)(*args)
    assert str(info.value) == "TEDS is not supported on MVR420"
    assert rig.instrument.calls == []


# ----------------------------------------------------- firmware generation

@pytest.mark.parametrize("version, v1", [
    ("04.03.02", True), ("04.04.00", True), ("05.00.00", True), ("04.10.00", True),
    ("4.3.2.7", True), ("04.03.01", False), ("04.02.09", False), ("03.09.09", False), ("4", False),
])
def test_firmware_chooses_the_command_generation(version, v1):
    rig = Rig(firmware=version)
    assert rig.device._should_use_auto_teds_v1() is v1
    rig.device.get_auto_teds()
    rig.device.set_auto_teds(False)
    suffix = "_V1_Command" if v1 else "_Command"
    assert rig.instrument.names() == ["Get_Auto_TEDS" + suffix, "Set_Auto_TEDS" + suffix]
    assert rig.count("get_firmware_version_with_patch") == 1


def test_unparsable_firmware_warns_and_uses_old_commands(records):
    rig = Rig(firmware="04.0a.00")
    assert rig.device._should_use_auto_teds_v1() is False
    assert ("WARNING", "Failed to parse firmware version '04.0a.00': "
            "invalid literal for int() with base 10: '0a'") in records()


def test_unreadable_firmware_is_taken_as_old_once(records):
    rig = Rig()
    rig.firmware = vexlo.VexloTimeoutError("No response received within 1s timeout")
    assert rig.device._should_use_auto_teds_v1() is False
    assert rig.device._should_use_auto_teds_v1() is False
    assert rig.device._firmware_version == "0.0.0"
    assert rig.count("get_firmware_version_with_patch") == 1
    assert ("WARNING", "Failed to retrieve firmware version: No response received within 1s "
            "timeout, assuming old version") in records()


# ---------------------------------------------------------------- AutoTEDS

def test_get_auto_teds_reads_the_instrument(rig):
    rig.instrument.auto["Auto_TEDS_V1"] = 255
    assert rig.device.get_auto_teds() is True


def test_switching_on_loads_the_sensor(rig):
    rig.instrument.image = bytearray(make_image(serial_number=777, max_capacity=250.0))
    rig.device.set_auto_teds(True)
    names = rig.instrument.names()
    assert names[:3] == ["Set_Auto_TEDS_V1_Command", "TEDS_Is_Connected_Command",
                         "Get_TEDS_Laser_Command"]
    assert names[3:] == ["Get_TEDS_Data_Command"] * 32
    assert rig.instrument.auto["Auto_TEDS_V1"] == 1
    assert rig.device.get_teds_serial_number() == "777"
    assert rig.device.get_teds_template() == 0x21
    assert rig.device.get_teds_max_capacity() == 250.0
    assert ("load_adc_converter", 0) in rig.calls


def test_switching_off_returns_to_stored_calibration(rig, records):
    rig.device._teds_data = vexlo.TEDSData()
    rig.device.set_auto_teds(0)
    assert rig.instrument.calls == [("Set_Auto_TEDS_V1_Command", b"\x00", 0.1)]
    assert rig.device._teds_data is None
    assert rig.device.adc_converter is rig.calibration
    assert ("load_adc_converter", 3) in rig.calls
    assert ("INFO", "AutoTEDS disabled - reverted to manual calibration") in records()
    with pytest.raises(vexlo.VexloTEDSNotConnectedError):
        rig.device.get_teds_serial_number()


def test_switching_on_without_sensor_raises_after_the_switch(rig):
    rig.instrument.connected = False
    with pytest.raises(vexlo.VexloTEDSNotConnectedError, match="^No TEDS sensor connected to device$"):
        rig.device.set_auto_teds(True)
    assert rig.instrument.auto["Auto_TEDS_V1"] == 1  # not turned back
    assert rig.instrument.names() == ["Set_Auto_TEDS_V1_Command", "TEDS_Is_Connected_Command"]


# ------------------------------------------------------------- TEDS loading

def test_reload_with_silent_laser_is_logged_and_swallowed(rig, records):
    rig.ci.get_teds_laser = lambda: None  # the interface found no sensor
    assert rig.device.reload_teds_data() is None
    assert ("ERROR", "Error loading teds Failed to read TEDS template - sensor may be "
            "disconnected") in records()
    assert rig.device.adc_converter is rig.previous and rig.device._teds_data is None
    assert "Get_TEDS_Data_Command" not in rig.instrument.names()


def test_sensor_unplugged_mid_load_keeps_previous_state(rig, records):
    earlier = vexlo.TEDSData()
    rig.device._teds_data = earlier
    pages = []

    def unplug_at_tenth_page(name, arguments):
        if name == "Get_TEDS_Data_Command":
            pages.append(arguments)
            if len(pages) == 10:
                raise vexlo.VexloCommunicationError("Serial connection not open")

    rig.instrument.fault = unplug_at_tenth_page
    rig.device.reload_teds_data()
    assert rig.device.adc_converter is rig.previous and rig.device._teds_data is earlier
    assert ("ERROR", "Error loading teds Error reading TEDS data: Serial connection not open") \
        in records()


def test_reload_keeps_parsed_data_when_calibration_fails(rig, records):
    rig.calibration = stored(l1=0.0)  # equal loads: no slope
    rig.device.reload_teds_data()
    assert rig.device._teds_data is not None
    assert rig.device.adc_converter is rig.previous
    assert ("ERROR", "Error loading teds Error loading TEDS calibration: float division by zero") \
        in records()


@pytest.mark.parametrize("model, auto, connected, level, text, loads", [
    ("MVR420", 1, True, "DEBUG", "Device does not support TEDS - skipping TEDS initialization", False),
    ("PLX310", 0, True, "DEBUG", "AutoTEDS is disabled - TEDS data will not be auto-loaded", False),
    ("PLX310", 1, False, "WARNING", "AutoTEDS enabled but no TEDS sensor connected", False),
    ("PLX310", 1, True, "INFO", "AutoTEDS enabled - automatically loading TEDS calibration", True),
])
def test_initialize_teds(records, model, auto, connected, level, text, loads):
    rig = Rig(model)
    rig.instrument.auto["Auto_TEDS_V1"] = auto
    rig.instrument.connected = connected
    assert rig.device.initialize_teds() is None
    assert (level, text) in records()
    assert ("Get_TEDS_Laser_Command" in rig.instrument.names()) is loads


def test_initialize_teds_never_raises(rig, records):
    rig.instrument.fault = lambda name, arguments: (_ for _ in ()).throw(
        vexlo.VexloProtocolError("Invalid checksum in response"))
    assert rig.device.initialize_teds() is None
    assert records()[-2:] == [
        ("WARNING", "Failed to auto-load TEDS data during initialization: Invalid checksum in response"),
        ("WARNING", "Device will use manual calibration"),
    ]


# ------------------------------------------------------------------ getters

@pytest.mark.parametrize("getter", ["get_teds_serial_number", "get_teds_template",
                                    "get_teds_max_capacity", "get_teds_engineering_unit"])
def test_getters_need_loaded_data(rig, getter):
    assert rig.device.teds_is_connected() is True
    with pytest.raises(vexlo.VexloTEDSNotConnectedError) as info:
        getattr(rig.device, getter)()
    assert str(info.value) == ("No TEDS data loaded. Ensure TEDS sensor is connected and "
                               "AutoTEDS is enabled.")


@pytest.mark.parametrize("code, unit", [(4, "N"), (0, "\u00b0K"), (1, "\u00b0C"), (18, "in"),
                                        (2, "Unknown (2)"), (63, "Unknown (63)")])
def test_engineering_unit_lookup(rig, code, unit):
    rig.device._teds_data = vexlo.TEDSData()
    rig.device._teds_data.engineering_unit = code
    assert rig.device.get_teds_engineering_unit() == unit


# ---------------------------------------------------- sampling-rate bracket

def test_pre_and_post_teds_operations(rig, records):
    with mock.patch("time.sleep") as sleep:
        rig.device.pre_teds_operations()
        assert rig.device._cached_sampling_rate_for_teds == 9 and rig.rates[3] == 0
        rig.device.post_teds_operations()
    sleep.assert_called_once_with(3)
    assert rig.rates[3] == 9 and rig.device._cached_sampling_rate_for_teds is None
    assert [m for level, m in records() if "TEDS operations" in m] == [
        "Pre-TEDS operations: sampling rate cached and set to 2.5 SPS",
        "Post-TEDS operations: sampling rate restored",
    ]


def test_post_without_pre_only_sleeps(rig, records):
    with mock.patch("time.sleep") as sleep:
        rig.device.post_teds_operations()
    sleep.assert_called_once_with(3)
    assert rig.calls == []
    assert ("DEBUG", "Post-TEDS operations: sampling rate restored") in records()


# ------------------------------------------------------- TEDS calibration

def teds(min_capacity=0.0, max_capacity=500.0, max_electrical=1.5, reverse=False,
         reverse_max_electrical=0.0):
    data = vexlo.TEDSData()
    data.min_capacity, data.max_capacity, data.max_electrical = min_capacity, max_capacity, max_electrical
    data.reverse_scaling_enabled, data.reverse_max_electrical = reverse, reverse_max_electrical
    data.min_electrical = 123.0  # takes no part
    return data


def converter_points(converter):
    return (converter.direction_1_offset_value, converter.direction_1_offset_load,
            converter.direction_1_fullscale_value, converter.direction_1_fullscale_load,
            converter.number_of_directions)


def test_worked_calibration_one_direction(rig, records):
    rig.device._load_teds_calibration_plx310(teds(), 0)
    t = rig.device.adc_converter
    assert type(t) is vexlo.ADCConverter
    assert converter_points(t) == (20000.0, 0.0, 35000.0, 500.0, 0)
    assert (t.number_of_loading_points, t.scale_factor, t.offset, t.midpoint_offset) == (2, 1.0, 0.0, 0.0)
    assert t.convert_adc(27500) == 250.0
    assert ("INFO", "TEDS calibration loaded: 0.0 to 500.0, Reverse scaling: False") in records()


@pytest.mark.parametrize("calibration, reverse_offset, reverse_fullscale", [
    (stored(code=1), 20000.0, 5000.0),                       # stored direction 1 supplies it
    (stored(o2=21000.0, f2=1000.0, l2=4.0, code=0), 21000.0, 13500.0),  # stored direction 2
])
def test_worked_calibration_reverse(rig, calibration, reverse_offset, reverse_fullscale):
    rig.calibration = calibration
    rig.device._load_teds_calibration_plx310(teds(reverse=True, reverse_max_electrical=1.5), 0)
    t = rig.device.adc_converter
    assert (t.direction_2_offset_value, t.direction_2_offset_load, t.direction_2_fullscale_value,
            t.direction_2_fullscale_load, t.number_of_directions) == \
        (reverse_offset, 0.0, reverse_fullscale, 500.0, 1)


@pytest.mark.parametrize("max_electrical, reverse_max, forward, reverse", [
    (1.59999, 1.50001, 35999.0, 4999.0),     # 35999.9 and 4999.9: never rounded up
    (1.0, 2.50001, 30000.0, -5000.0),        # -5000.1: toward zero, not down
])
def test_counts_truncate_toward_zero(rig, max_electrical, reverse_max, forward, reverse):
    rig.device._load_teds_calibration_plx310(
        teds(max_electrical=max_electrical, reverse=True, reverse_max_electrical=reverse_max), 0)
    t = rig.device.adc_converter
    assert (t.direction_1_fullscale_value, t.direction_2_fullscale_value) == (forward, reverse)


@pytest.mark.parametrize("calibration, cause_text", [
    (stored(l1=0.0), "float division by zero"),
    (stored(l2=0.0, code=0), "float division by zero"),
    (stored(f1=float("inf")), "cannot convert float infinity to integer"),
])
def test_failed_calibration_keeps_converter(rig, records, calibration, cause_text):
    rig.calibration = calibration
    with pytest.raises(vexlo.VexloCalibrationError) as info:
        rig.device._load_teds_calibration_plx310(teds(reverse=True, reverse_max_electrical=1.0), 0)
    assert str(info.value) == "Error loading TEDS calibration: " + cause_text
    assert str(info.value.__cause__) == cause_text
    assert rig.device.adc_converter is rig.previous
    assert ("ERROR", "Failed to load TEDS calibration: " + cause_text) in records()


def test_switch_on_installs_teds_calibration(rig):
    rig.instrument.image = bytearray(make_image(max_capacity=500.0, max_electrical=0.0015))
    rig.device.set_auto_teds(True)
    t = rig.device.adc_converter
    assert converter_points(t) == (20000.0, 0.0, 35000.0, 500.0, 0)
    assert t.convert_adc(35000) == 500.0


def test_no_growth_over_many_loads(rig):
    def run(_):
        rig.calls.clear()
        rig.instrument.calls.clear()
        rig.device.set_auto_teds(True)
        rig.device.get_teds_engineering_unit()
        rig.device.set_auto_teds(False)
        rig.device.initialize_teds()

    assert_flat(run, iterations=2000)

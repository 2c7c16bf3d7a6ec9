"""Loading a profile's stored calibration into an ADCConverter: the ten
exchanges in order, the point-count check, the error mapping and overrides."""

from unittest import mock

import pytest

import vexlo_device_communication as vexlo
from vexlo_tools.sim import Profile, SimulatedInstrument, simulated_ports

PORT = "/dev/ttySIM0"


# time.sleep replaced for every test here (the shared fixture in conftest.py).
pytestmark = pytest.mark.usefixtures("sleeps")


def profile_with(n, direction_code=1):
    """n points per direction: loads 10 * i, counts 1000 + 7 * i (direction 2
    from 5000 down), so each point read is recognisable."""
    loads = [10.0 * i for i in range(n)] + [20.0 * i for i in range(n)]
    counts = [1000 + 7 * i for i in range(n)] + [5000 - 3 * i for i in range(n)]
    return Profile(loads=loads, counts=counts, direction_code=direction_code)


@pytest.fixture
def instrument():
    return SimulatedInstrument.mvr420()


@pytest.fixture
def link(instrument):
    with simulated_ports({PORT: instrument}):
        ci = vexlo._SerialCommunicationInterface(PORT, 320000)
        ci.connect()
    instrument.request_log.clear()
    return ci


def reads(instrument):
    return [(r.name, tuple(r.arguments)) for r in instrument.request_log]


@pytest.mark.parametrize("n, points", [(3, (0, 2, 3, 5)), (1, (0, 0, 1, 1)), (21, (0, 20, 21, 41))])
def test_loading_reads_first_and_last_points_of_each_direction(n, points, instrument, link, records):
    instrument.profiles[2] = profile_with(n, direction_code=7)
    converter = link.load_adc_converter(2)
    first, last, first2, last2 = points
    assert reads(instrument) == [
        ("number_of_loading_points", (2,)),
        ("load_of_loading_point", (2, first)), ("load_of_loading_point", (2, last)),
        ("loading_point_value", (2, first)), ("loading_point_value", (2, last)),
        ("load_of_loading_point", (2, first2)), ("load_of_loading_point", (2, last2)),
        ("loading_point_value", (2, first2)), ("loading_point_value", (2, last2)),
        ("number_of_directions", (2,)),
    ]
    p = instrument.profiles[2]
    assert type(converter) is vexlo.ADCConverter
    assert converter.number_of_loading_points == n
    assert (converter.direction_1_offset_load, converter.direction_1_fullscale_load) == (p.loads[first], p.loads[last])
    assert (converter.direction_1_offset_value, converter.direction_1_fullscale_value) == (p.counts[first], p.counts[last])
    assert (converter.direction_2_offset_load, converter.direction_2_fullscale_load) == (p.loads[first2], p.loads[last2])
    assert (converter.direction_2_offset_value, converter.direction_2_fullscale_value) == (p.counts[first2], p.counts[last2])
    assert (converter.scale_factor, converter.offset) == (1.0, 0.0)
    assert converter.number_of_directions == 7  # stored as the instrument gives it
    assert converter.midpoint_offset == (p.counts[first] + p.counts[first2]) / 2
    assert records()[-1] == ("DEBUG", "Loaded ADC converter for profile 2")


def test_loaded_converter_reads_the_load_the_instrument_measures(instrument, link):
    instrument.profiles[0] = Profile.linear(offset_count=8_000_000 << 8, fullscale_count=9_000_000 << 8,
                                            capacity=50.0)
    converter = link.load_adc_converter(0)
    for load in (12.5, -20.0, 0.0):
        instrument.set_load(load)
        assert converter.convert_adc(link.get_ndr(0)) == pytest.approx(load, abs=1e-3)


@pytest.mark.parametrize("n", [0, 22])
def test_a_point_count_outside_1_to_21_is_refused_after_one_query(n, instrument, link, records):
    instrument.profiles[1] = profile_with(n)
    with pytest.raises(vexlo.VexloCalibrationError) as raised:
        link.load_adc_converter(1)
    assert str(raised.value) == f"Invalid number of loading points: {n}"
    assert raised.value.__cause__ is None
    assert reads(instrument) == [("number_of_loading_points", (1,))]
    assert [r for r in records() if r[0] == "ERROR"] == []


@pytest.mark.parametrize("fault, error", [
    (lambda i: i.go_silent(), vexlo.VexloTimeoutError),
    (lambda i: i.answer_short(3), vexlo.VexloCommunicationError),
    (lambda i: i.unplug(), vexlo.VexloCommunicationError),
])
def test_communication_errors_pass_unchanged(fault, error, instrument, link, records):
    fault(instrument)
    with pytest.raises(error) as raised:
        link.load_adc_converter(0)
    assert type(raised.value) is error
    assert not any(m.startswith("Failed to load ADC converter") for _, m in records())


def test_a_bad_checksum_becomes_a_calibration_error(instrument, link, records):
    instrument.corrupt_checksums(answers=1)
    with pytest.raises(vexlo.VexloCalibrationError) as raised:
        link.load_adc_converter(0)
    assert str(raised.value) == "Error loading calibration data: Invalid checksum in response"
    assert type(raised.value.__cause__) is vexlo.VexloProtocolError
    assert raised.value.__context__ is raised.value.__cause__
    assert ("ERROR", "Failed to load ADC converter: Invalid checksum in response") in records()


def test_a_query_answering_text_becomes_a_calibration_error(link, records):
    with mock.patch.object(link, "get_load_of_loading_point", return_value="heavy"):
        with pytest.raises(vexlo.VexloCalibrationError, match="^Error loading calibration data: ") as raised:
            link.load_adc_converter(0)
    assert isinstance(raised.value.__cause__, TypeError)
    assert [r for r in records() if r[0] == "ERROR"] == [
        ("ERROR", "Failed to load ADC converter: " + str(raised.value.__cause__))]


def test_overridden_queries_and_midpoint_are_used(instrument, link):
    calls = []

    class Tuned(vexlo._SerialCommunicationInterface):
        def get_number_of_loading_points(self, profile_number):
            return 2.9  # converted as the attribute converts it: 2

        def get_loading_point_value(self, profile_number, point_index):
            calls.append(point_index)
            return 100 * point_index

    tuned = Tuned(PORT, 320000)
    tuned.serial_connection = link.serial_connection
    midpoints = []
    with mock.patch.object(vexlo.ADCConverter, "_set_midpoint_offset", lambda self: midpoints.append(self)):
        converter = tuned.load_adc_converter(0)
    assert midpoints == [converter]
    assert converter.number_of_loading_points == 2
    assert calls == [0, 1, 2, 3]
    assert (converter.direction_1_fullscale_value, converter.direction_2_fullscale_value) == (100.0, 300.0)
    assert converter.midpoint_offset == 0.0  # the patched computation did not run
    assert [r.name for r in instrument.request_log].count("load_of_loading_point") == 4

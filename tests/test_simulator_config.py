"""Simulated instruments from TOML files: the example bench, faults, load signals, and errors naming file and key."""

import math
from pathlib import Path

import pytest
from hypothesis import given, strategies as st

from vexlo_tools.sim import ConfigError, load_config, load_signal

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "sim_bench.toml"


MVR = "[[instrument]]\nmodel = 'MVR420'\n"


def write(tmp_path, text):
    path = tmp_path / "bench.toml"
    path.write_text(text)
    return path


def test_the_example_bench():
    ports = load_config(EXAMPLE)
    assert list(ports) == ["/dev/ttySIM0", "/dev/ttySIM1"]
    plx, mvr = ports.values()
    assert (plx.item_number, plx.teds_hardware, plx.teds_sensor.max_capacity) == ("QMT31872", True, 1000.0)
    assert (plx.profiles[0].sampling_rate_code, plx.short_packets, plx.faults.garbage_fraction) == (15, True, 0.0005)
    assert plx.profiles[1].counts[-1] == 1642450944 and plx.profiles[1].points_per_direction == 3
    # The sine's crest comes a quarter period (0.5 s) in: 250 + 20.
    assert plx.raw_count(0, 0.5) == plx.profiles[0].count_for_load(270.0)
    assert (mvr.auto_teds_generation, mvr.raw_count(0, 9.0)) == ("old", mvr.profiles[0].count_for_load(12.5))


@pytest.mark.parametrize("faults, check", [
    ("silent = 2", lambda f: f.silent_requests == 2 and not f.silent),
    ("silent = 'all'", lambda f: f.silent),
    ("corrupt_checksums = 'all'", lambda f: f.corrupt_answers is None),
    ("answer_short = { length = 4, answers = 3 }", lambda f: (f.short_length, f.short_answers) == (4, 3)),
    ("answer_late = 0.25", lambda f: (f.late_delay, f.late_answers) == (0.25, 1)),
    ("stop_reading = true", lambda f: f.not_reading),
    ("stall_stream = true", lambda f: f.stream_stalled and f.stall_until is None),
    ("unplug_after = 10", lambda f: f.unplug_after_samples == 10),
    ("ignore_stream_off = 2", lambda f: f.ignored_stream_offs == 2),
    ("unplugged = true", lambda f: f.unplugged),
])
def test_faults(tmp_path, faults, check):
    [inst] = load_config(write(tmp_path, f"[[instrument]]\nmodel = 'MVR420'\n[instrument.faults]\n{faults}\n")).values()
    assert check(inst.faults)


@pytest.mark.parametrize("kind, params, t, expected", [
    ("constant", {"value": 3.5}, 7.0, 3.5),
    ("ramp", {"start": 1.0, "slope": 2.0}, 3.0, 7.0),
    ("sine", {"offset": 1.0, "amplitude": 2.0, "frequency": 0.25}, 1.0, 3.0),
])
def test_load_signals(kind, params, t, expected):
    assert load_signal(kind, **params)(t) == pytest.approx(expected)


def test_noise_is_repeatable_and_spread():
    first, second = load_signal("noise", mean=5.0, deviation=0.5, seed=3), load_signal("noise", mean=5.0, seed=3.0,
                                                                                     deviation=0.5)
    values = [first(t) for t in range(200)]
    assert values == [second(t) for t in range(200)]
    assert abs(sum(values) / 200 - 5.0) < 0.2 and len(set(values)) == 200 and not any(map(math.isnan, values))


@pytest.mark.parametrize("text, key, message", [
    ("", "instrument", "no [[instrument]] table"),
    ("[[instrument]]\nserial_number = 5", "instrument[0].model", "missing"),
    ("[[instrument]]\nmodel = 'ABC123'", "instrument[0].model", "unknown model 'ABC123'"),
    ("[[instrument]]\nmodel = 'MVR420'\ncolour = 'red'", "instrument[0].colour", "unknown key"),
    ("[[instrument]]\nmodel = 'MVR420'\nfirmware = '4.3'", "instrument[0].firmware", "must be A.B.C"),
    ("[[instrument]]\nmodel = 'MVR420'\nserial_number = 'x'", "instrument[0].serial_number", "must be an integer"),
    ("[[instrument]]\nmodel = 'MVR420'\n[[instrument]]\nmodel = 'MVR420'\n[[instrument.profile]]\ncapacity = 'heavy'",
     "instrument[1].profile[0].capacity", "must be a number, got 'heavy'"),
    ("[[instrument]]\nmodel = 'MVR420'\n[[instrument.profile]]\nsampling_rate = 38400",
     "instrument[0].profile[0].sampling_rate", "MVR420 has no rate of 38400"),
    ("[[instrument]]\nmodel = 'MVR420'\n[[instrument.profile]]\nnumber = 8", "instrument[0].profile[0].number",
     "must be 0 to 7"),
    ("[[instrument]]\nmodel = 'MVR420'\n[[instrument.profile]]\nloads = [0.0, 1.0]\ncounts = [1]",
     "instrument[0].profile[0].counts", "2 loads but 1 counts"),
    ("[[instrument]]\nmodel = 'MVR420'\n[instrument.teds]\nunit_code = 4", "instrument[0].teds", "no TEDS hardware"),
    ("[[instrument]]\nmodel = 'PLX310'\nitem_number = 'QMT31872'\n[instrument.teds]\nunit_code = 99",
     "instrument[0].teds.unit_code", "99 is not a unit code"),
    ("[[instrument]]\nmodel = 'MVR420'\n[instrument.load]\nkind = 'square'", "instrument[0].load.kind",
     "unknown load kind 'square'"),
    ("[[instrument]]\nmodel = 'MVR420'\n[instrument.load]\nkind = 'ramp'\nvalue = 1", "instrument[0].load.value",
     "a ramp load has no 'value'"),
    ("[[instrument]]\nmodel = 'MVR420'\n[instrument.load]\nchannel = 5", "instrument[0].load.channel",
     "must be 0 to 1, got 5"),
    ("[[instrument]]\nmodel = 'MVR420'\n[instrument.faults]\nexplode = true", "instrument[0].faults.explode",
     "unknown fault"),
    ("[[instrument]]\nmodel = 'MVR420'\n[instrument.faults]\nsilent = -1", "instrument[0].faults.silent",
     "must be a count"),
    ("[[instrument]]\nmodel = 'MVR420'\n[instrument.faults]\nanswer_late = { delay = 1.0, when = 2 }",
     "instrument[0].faults.answer_late.when", "unknown key"),
    ("[[instrument]]\nmodel = 'MVR420'\nport = 'a'\n[[instrument]]\nmodel = 'MVR420'\nport = 'a'",
     "instrument[1].port", "already used"),
    # Hostile files: each refused when read, with the command line's rules and the stated limits.
    ("a = " + "[" * 100_000 + "]" * 100_000, "", "nested too deeply"),
    ("a = " + "{b = " * 5000 + "1" + "}" * 5000, "", "nested too deeply"),
    (MVR + "x = 1" + "0" * 5000, "", "not valid TOML"),
    (MVR + "selected_profiles = ['a', {x = 1}]", "instrument[0].selected_profiles[0]", "must be a profile number"),
    (MVR + "selected_profiles = [0, 0, 0]", "instrument[0].selected_profiles", "3 profiles for 2 channels"),
    (MVR + "[[instrument.profile]]\ncapacity = 1e308", "instrument[0].profile[0].capacity", "finite 32-bit"),
    (MVR + "[[instrument.profile]]\ncapacity = inf", "instrument[0].profile[0].capacity", "finite number"),
    (MVR + "[[instrument.profile]]\ncapacity = -5.0", "instrument[0].profile[0].capacity", "more than 0"),
    (MVR + "[[instrument.profile]]\npoints_per_direction = 100000000", "instrument[0].profile[0].points_per_direction",
     "between 2 and 128"),
    (MVR + "[[instrument.profile]]\nloads = [0, 1e39]\ncounts = [0, 1]", "instrument[0].profile[0].counts",
     "finite 32-bit"),
    (MVR + "[[instrument.profile]]\nloads = [0, 1]\ncounts = [0, -1]", "instrument[0].profile[0].counts[1]",
     "must be a count"),
    (MVR + "[[instrument.profile]]\nsampling_rate_code = 8", "instrument[0].profile[0].sampling_rate_code",
     "between 0 and 7"),
    (MVR + "[[instrument.profile]]\nunit = 'furlong'", "instrument[0].profile[0].unit", "known units: atm, bar"),
    (MVR + "[[instrument.profile]]\nunit = 'N'\nunit_code = 26", "instrument[0].profile[0].unit", "not both"),
    (MVR + "[[instrument.profile]]\nunit_code = 100", "instrument[0].profile[0].unit_code", "not a unit code"),
    (MVR + "channels = 100000000", "instrument[0].channels", "between 1 and 256"),
    (MVR + "noise_counts = -100", "instrument[0].noise_counts", "between 0 and 2147483647"),
    (MVR + "serial_number = 99999999999", "instrument[0].serial_number", "between 0 and 4294967295"),
    (MVR + "seed = -1", "instrument[0].seed", "between 0 and"),
    (MVR + "t0 = nan", "instrument[0].t0", "finite number"),
    (MVR + "clock_error_ppm = 1e6", "instrument[0].clock_error_ppm", "between -10000 and 10000"),
    ("[[instrument]]\nmodel = 'MVR420'\n" * 257, "instrument", "at most 256"),
    ("# " + "x" * (4 * 1024 * 1024), "", "larger than 4194304 bytes"),
    (MVR + "[instrument.load]\nkind = 'constant'\nvalue = inf", "instrument[0].load.value", "finite number"),
    (MVR + "[instrument.load]\nkind = 'hum'\nfrequency = 55.0", "instrument[0].load.frequency", "50 or 60"),
    (MVR + "[instrument.load]\nkind = 'noise'\ndeviation = -1.0", "instrument[0].load.deviation", "0 or more"),
    (MVR + "[instrument.load]\nkind = 'steps'\ntimes = [1.0, 'x']\nlevels = [1.0, 2.0]",
     "instrument[0].load.times[1]", "must be a number"),
    (MVR + "[instrument.load]\nkind = 'steps'\ntimes = [2.0, 1.0]\nlevels = [1.0, 2.0]",
     "instrument[0].load.times", "must increase"),
    (MVR + "[instrument.load]\nkind = 'steps'\ntimes = [1.0]", "instrument[0].load.levels", "levels missing"),
    (MVR + "[instrument.load]\nkind = 'sine'\nfrequency = 1e308", "instrument[0].load.frequency", "within +-1e+06"),
    (MVR + "[[instrument.profile]]\nloads = [0, 0, 0, 0]\ncounts = [0, 1, 0, 1]\n[instrument.load]\nvalue = 5.0",
     "instrument[0].load", "fullscale load is 0"),
    (MVR + "[instrument.load]\nkind = 'csv'\nfile = '/dev/zero'", "instrument[0].load.file", "not a regular file"),
    (MVR + "[instrument.load]\nkind = 'csv'\nfile = 'missing.csv'", "instrument[0].load.file", "cannot read"),
    (MVR + "[instrument.faults]\nstream_garbage = 2.0", "instrument[0].faults.stream_garbage", "between 0 and 1"),
    (MVR + "[instrument.faults]\nanswer_late = { delay = inf }", "instrument[0].faults.answer_late.delay",
     "finite number"),
    (MVR + "[instrument.faults]\nunplug_after = -3", "instrument[0].faults.unplug_after", "from 0 to"),
    ("[[instrument]]\nreplay = 'run.h5'\nmodel = 'MVR420'", "instrument[0].model", "comes from the recording"),
    ("[[instrument]]\nreplay = 'missing.csv'", "instrument[0].replay", "No such file"),
])
def test_errors_name_the_file_and_the_key(tmp_path, text, key, message):
    path = write(tmp_path, text)
    with pytest.raises(ConfigError) as error:
        load_config(path)
    assert str(error.value).startswith(f"{path}: {key}: " if key else f"{path}: ") and message in str(error.value)
    assert (error.value.path, error.value.key) == (str(path), key)


@pytest.mark.parametrize("text, message", [(None, "cannot read"), ("[[instrument]\n", "not valid TOML")])
def test_unreadable_files(tmp_path, text, message):
    path = tmp_path / "bench.toml"
    if text is not None:
        path.write_text(text)
    with pytest.raises(ConfigError, match=message):
        load_config(path)


def toml(value):
    """A value in TOML, inline."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    if isinstance(value, list):
        return "[" + ", ".join(toml(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{k} = {toml(v)}" for k, v in value.items()) + "}"
    return repr(value) if isinstance(value, (int, float)) else f'"{value}"'


HOSTILE = st.sampled_from([-1, 0, 2, 2**70, 1e308, -1e308, math.inf, math.nan, 1.5, "x", "all", True, [], {},
                           [1, "a"], ["a", {"x": 1}], [1e308, -1e308], {"length": -1}])
TABLES = {"": ["serial_number", "channels", "noise_counts", "seed", "t0", "clock_error_ppm", "selected_profiles"],
          "profile": ["number", "capacity", "offset_count", "points_per_direction", "sampling_rate", "unit", "loads"],
          "load": ["channel", "kind", "value", "slope", "frequency", "deviation", "times", "levels"],
          "faults": ["silent", "answer_short", "answer_late", "stream_garbage", "stall_stream", "unplug_after",
                     "ignore_stream_off"]}


@given(st.lists(st.tuples(st.sampled_from([(t, k) for t, keys in TABLES.items() for k in keys]), HOSTILE),
                max_size=4))
def test_any_hostile_values_give_a_config_error_or_instruments_that_read(tmp_path_factory, entries):
    instrument = {"model": "PLX310", "item_number": "QMT31872"}
    for (table, key), value in entries:
        (instrument if not table else instrument.setdefault(table, {}))[key] = value
    path = tmp_path_factory.mktemp("bench") / "bench.toml"
    lines = ["[[instrument]]"] + [f"{k} = {toml(v)}" for k, v in instrument.items() if k not in TABLES]
    for table in TABLES:
        if table in instrument:
            lines += [f"[instrument.{table}]"] + [f"{k} = {toml(v)}" for k, v in instrument[table].items()]
    path.write_text("\n".join(lines) + "\n")
    try:
        ports = load_config(path)
    except ConfigError:
        return
    for inst in ports.values():
        assert all(0 <= inst.raw_count(ch, 1.0) <= 0xFFFFFFFF for ch in range(len(inst.channels)))

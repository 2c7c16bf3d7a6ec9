"""Every vexlo command run in-process against simulated instruments: what it prints, its exit code,
and what it leaves on the instrument."""
import csv
import os
from types import SimpleNamespace
from unittest import mock

import pytest
import serial

import vexlo_device_communication as vexlo
from vexlo_tools import _reading, cli, devices, models, recording
from vexlo_tools.commands import _clock, _simenv, _teds, sim
from vexlo_tools.sim import VirtualClock, build_request
from acquisition_steps import LockStep


OFFSET, FULLSCALE = 0x80000000, 3_072_000_000  # the simulator's default calibration counts
MODEL_REQUEST = build_request(0x01, 0x01)


def newtons(count):
    """Reading of a count on the default profile (0 to 1000 N)."""
    return (count - OFFSET) * 1000.0 / (FULLSCALE - OFFSET)


@pytest.fixture
def bench(monkeypatch):
    """The instruments --sim builds, on a virtual clock that _clock.sleep moves; no real sleeping (the module's
    pauses, as the TEDS settling pause, are in ``paused``)."""
    built = []
    real_build = _simenv.build_instruments

    def build(choices):
        built[:] = real_build(choices)
        return list(built)

    clock = VirtualClock(100.0)
    slept = []
    steps = LockStep(clock)

    def sleep(seconds):
        slept.append(seconds)
        clock.advance(seconds)
        steps.wait_for_readers()

    monkeypatch.setattr(_simenv, "build_instruments", build)
    monkeypatch.setattr(_clock, "clock", clock)
    monkeypatch.setattr(_clock, "sleep", sleep)
    monkeypatch.setattr(_reading, "clock", clock)
    monkeypatch.setattr(_reading, "pause", steps.pause)
    with mock.patch("time.sleep") as paused:
        yield SimpleNamespace(instruments=built, clock=clock, slept=slept, sleep=sleep,
                              settled=lambda: paused.call_args_list.count(mock.call(models.TEDS_SETTLE_SECONDS)))


def run(capsys, *argv):
    code = cli.main(list(argv))
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def one_error_line(err):
    lines = err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("vexlo: error: "), err
    return lines[0][len("vexlo: error: "):]


def requests(instrument, name):
    return [r.arguments for r in instrument.request_log if r.name == name]


# ---------------------------------------------------------------- sim (needs only the simulator)


@pytest.mark.skipif(not hasattr(os, "openpty"), reason="pseudo-terminals")
def test_sim_serves_on_pseudo_terminals_until_stopped(capsys, monkeypatch, tmp_path):
    seen = {}

    def wait_for_stop(stop):
        printed = capsys.readouterr()
        path, model, item, serial_number = printed.out.splitlines()[0].split("\t")
        seen["path"] = path.split(" (")[0]
        seen["fields"] = (model, item, serial_number)
        seen["link"] = os.path.islink(tmp_path / "vex0")
        seen["stderr"] = printed.err
        with serial.Serial(port=seen["path"], baudrate=320000, timeout=1) as port:
            port.write(MODEL_REQUEST)
            seen["answer"] = port.read(15)

    monkeypatch.setattr(sim, "wait_for_stop", wait_for_stop)
    code = cli.main(["sim", "--instrument", "mvr420:serial=4711", "--link", str(tmp_path / "vex")])
    assert code == 0
    assert seen["fields"] == ("MVR420", "item QMT42010", "serial 4711")
    assert seen["answer"][4:10] == b"MVR420"
    assert seen["link"] and not os.path.lexists(tmp_path / "vex0")  # the link goes with the server
    assert "Serving; press Ctrl-C to stop." in seen["stderr"]


# ---------------------------------------------------------------- scan


def test_scan_lists_the_default_simulated_instruments(capsys, bench):
    code, out, err = run(capsys, "--sim", "scan")
    assert code == 0
    assert [line.split() for line in out.splitlines()] == [
        ["PORT", "BAUD", "MODEL", "ITEM", "SERIAL", "FIRMWARE"],
        ["sim0", "2000000", "PLX310", "QMT31872", "20240001", "04.03.02"],
        ["sim1", "320000", "MVR420", "QMT42010", "20240002", "04.03.02"],
        ["2", "instruments", "found"],
    ]
    assert err == ""


@pytest.mark.parametrize("filters, ports", [
    (["--model", "mvr420"], ["sim1"]),  # the PLX310 does not answer at the MVR420's rates
    (["--port", "sim0"], ["sim0"]),
    (["--port", "sim1", "--port", "sim0"], ["sim0", "sim1"]),
])
def test_scan_filters(capsys, bench, filters, ports):
    code, out, err = run(capsys, "scan", "--sim", *filters)
    assert code == 0
    assert [line.split()[0] for line in out.splitlines()[1:-1]] == ports


@pytest.mark.parametrize("filters, reason", [
    # Silent at the PLX310's baud rate: the quick probe passes it over.
    (["--model", "PLX310", "--port", "sim1"], "sim1: no answer"),
    (["--port", "sim7"], "sim7: no such port"),
])
def test_scan_finding_nothing_says_why_and_exits_1(capsys, bench, filters, reason):
    code, out, err = run(capsys, "--sim", "scan", *filters)
    assert (code, out) == (1, "")
    assert err == f"no instrument found on {reason}\n"


def test_a_port_that_cannot_be_opened_is_one_line(capsys, tmp_path):
    not_a_tty = tmp_path / "ttyFILE"
    not_a_tty.write_bytes(b"")
    with mock.patch("time.sleep"):
        code, out, err = run(capsys, "info", "--port", str(not_a_tty))
    assert code == 1
    assert one_error_line(err).startswith(
        f"no instrument found on {not_a_tty}: Could not open serial port {not_a_tty} at ")


# ---------------------------------------------------------------- info


def test_info_on_the_plus_prime(capsys, bench):
    code, out, err = run(capsys, "--sim", "info", "--port", "sim0")
    assert code == 0
    assert out.splitlines() == [
        "Instrument on sim0 at 2000000 baud",
        "  model              PLX310",
        "  item number        QMT31872 (Plus Prime)",
        "  serial number      20240001",
        "  firmware           04.03.02",
        "  board temperature  25.0 °C",
        "Channel 0: profile 0",
        "  sampling rate      100 samples/s (code 7)",
        "  unit               mV/V",
        "  direction code     1 (two directions)",
        "  loading points     2 per direction",
        "    direction 1      0 mV/V @ 2147483648, 2 mV/V @ 3072000000",
        "    direction 2      0 mV/V @ 2147483648, 2 mV/V @ 1222967296",
        "Channel 1: profile 0",
        "  sampling rate      100 samples/s (code 7)",
        "  unit               mV/V",
        "  direction code     1 (two directions)",
        "  loading points     2 per direction",
        "    direction 1      0 mV/V @ 2147483648, 2 mV/V @ 3072000000",
        "    direction 2      0 mV/V @ 2147483648, 2 mV/V @ 1222967296",
        "TEDS: supported",
        "  sensor             connected",
        "  AutoTEDS           off",
    ]


def test_info_shows_each_channels_own_profile_and_stops_at_a_missing_channel(capsys, bench):
    code, out, err = run(capsys, "--instrument", "mvr420", "info", "--channels", "3")
    instrument = bench.instruments[0]
    assert code == 0
    assert "TEDS: not supported on this instrument" in out
    assert "Channel 2: no answer (the instrument has 2 channels)" in out
    assert "  sampling rate      100 samples/s (code 3)" in out
    # Channel 1 on another profile with another rate and unit.
    instrument.select_profile(4, channel=1)
    instrument.profiles[4].sampling_rate_code = 7
    instrument.profiles[4].unit_code = vexlo.UnitOfMeasureEnum.kg.value
    with mock.patch.object(_simenv, "build_instruments", lambda choices: [instrument]):
        code, out, err = run(capsys, "--sim", "info", "--channels", "2")
    channel_1 = out[out.index("Channel 1"):]
    assert channel_1.splitlines()[:3] == ["Channel 1: profile 4", "  sampling rate      1300 samples/s (code 7)",
                                          "  unit               kg"]


# ---------------------------------------------------------------- read


def test_read_prints_value_unit_and_raw_count(capsys, bench):
    code, out, err = run(capsys, "--instrument", "mvr420:load=12.5", "read", "--count", "3", "--interval", "0.5")
    raw = bench.instruments[0].raw_count()
    assert code == 0
    assert out.splitlines() == [f"{newtons(raw):.4f} N\traw {raw}"] * 3
    assert bench.slept == [0.5, 0.5]


@pytest.mark.parametrize("auto_teds, line", [
    ("off", "0.5000 mV/V\traw 2378612736"),   # the electrical calibration of profile 0
    ("on", "250.0000 N\traw 2378612736"),    # turned into newtons by the sensor's data sheet
])
def test_read_follows_the_autoteds_switch(capsys, bench, auto_teds, line):
    code, out, err = run(capsys, "--instrument", f"plx310-plus-prime:load=250,auto-teds={auto_teds}", "read")
    instrument = bench.instruments[0]
    assert (code, out) == (0, line + "\n")
    rates = requests(instrument, "set_sampling_rate")
    if auto_teds == "on":
        # TEDS read at the lowest rate, the rate put back after the settling pause.
        assert rates == [bytes([0, 0]), bytes([0, 7])] and bench.settled() == 1
    else:
        assert rates == [] and bench.settled() == 0
    assert instrument.profiles[0].sampling_rate_code == 7


@pytest.mark.parametrize("count, code, lines", [("0", 0, 4), ("10", 130, 4)])
def test_ctrl_c_ends_reading(capsys, bench, monkeypatch, count, code, lines):
    def sleep(seconds):
        bench.slept.append(seconds)
        if len(bench.slept) == 4:
            raise KeyboardInterrupt

    monkeypatch.setattr(_clock, "sleep", sleep)
    result, out, err = run(capsys, "--instrument", "mvr420", "read", "--count", count, "--interval", "0.1")
    assert (result, len(out.splitlines())) == (code, lines)
    assert err == ("" if code == 0 else "vexlo: interrupted\n")


def test_an_instrument_that_falls_silent_gives_one_error_line(capsys, bench, monkeypatch):
    def then_silence(device):
        bench.instruments[0].go_silent()
        return False

    monkeypatch.setattr(_teds, "load_auto_teds", then_silence)
    code, out, err = run(capsys, "--instrument", "mvr420", "read")
    assert code == 1
    assert one_error_line(err) == "MVR420 20240001 on sim0: No response received within 1s timeout"


# ---------------------------------------------------------------- stream


def read_csv(path):
    with open(path, newline="") as f:
        rows = [row for row in csv.reader(f) if not row[0].startswith("#")]  # the provenance lines
    assert rows[0] == ["time_s", "adc", "value"]
    return [(float(t), int(adc), float(value)) for t, adc, value in rows[1:]]


def test_stream_four_byte_packets_to_csv(capsys, bench, tmp_path):
    path = tmp_path / "samples.csv"
    code, out, err = run(capsys, "--instrument", "mvr420:load=12.5", "stream", "--seconds", "0.5",
                         "--csv", str(path))
    instrument = bench.instruments[0]
    assert code == 0
    rows = read_csv(path)
    adc = instrument.raw_count() & 0xFFFFFF00  # four-byte packets carry the upper three bytes
    assert 45 <= len(rows) <= 50  # 100 samples/s for half a second
    assert [t for t, _, _ in rows] == pytest.approx([n / 100 for n in range(len(rows))])
    assert {a for _, a, _ in rows} == {adc}
    assert [v for _, _, v in rows] == pytest.approx([newtons(adc)] * len(rows))
    lines = out.splitlines()
    assert lines[0] == "Streaming from MVR420 on sim0 at 100 samples/s (code 3), four-byte packets"
    assert lines[1].startswith(f"{len(rows)} samples in 0.50 s (") and "0 corrupted positions" in lines[1]
    assert lines[1].endswith(f"last {newtons(adc):.4f} N")
    assert lines[2] == f"{len(rows)} rows written to {path}"
    assert not instrument.streaming and requests(instrument, "set_streaming") == [b"\x01", b"\x00"]


def test_stream_at_38400_uses_three_byte_packets_and_keeps_every_sample(capsys, bench, tmp_path):
    path = tmp_path / "fast.csv"
    code, out, err = run(capsys, "--instrument", "plx310-plus-prime:load=250", "stream", "--rate", "38400",
                         "--seconds", "0.1", "--csv", str(path))
    instrument = bench.instruments[0]
    assert code == 0, err
    assert "38400 samples/s (code 15), three-byte packets" in out
    rows = read_csv(path)
    adc = instrument.raw_count() & 0xFFFF0000
    summary = out.splitlines()[1]
    assert summary.startswith(f"{len(rows)} samples in ") and ", 0 corrupted positions" in summary
    assert 38000 <= int(summary.split("(")[1].split()[0]) <= 38400
    assert {a for _, a, _ in rows} == {adc}
    assert rows[-1][0] == pytest.approx((len(rows) - 1) / 38400)
    assert instrument.profiles[0].sampling_rate_code == 7  # put back at the end
    assert not instrument.streaming
    code, out, err = run(capsys, "--instrument", "plx310-plus-prime:load=250", "stream", "--rate", "38400",
                         "--seconds", "0.01", "--keep-rate")
    assert code == 0 and bench.instruments[0].profiles[0].sampling_rate_code == 15


def test_stream_counts_corrupted_positions_and_still_converts_the_rest(capsys, bench, monkeypatch):
    def garbage_then_nothing(device, note):
        bench.instruments[0].add_stream_garbage(0.2)
        return False

    monkeypatch.setattr(devices, "load_auto_teds", garbage_then_nothing)
    code, out, err = run(capsys, "--instrument", "mvr420:load=12.5", "stream", "--seconds", "2")
    summary = out.splitlines()[1]
    samples, corrupted = int(summary.split()[0]), int(summary.split(", ")[1].split()[0])
    assert code == 0
    assert 180 <= samples <= 200 and 20 <= corrupted  # about 40 stray bytes, each at least one position


def test_ctrl_c_ends_the_stream_normally_and_switches_streaming_off(capsys, bench, monkeypatch):
    calls = []

    def sleep(seconds):
        calls.append(seconds)
        bench.sleep(seconds)
        if len(calls) == 20:  # 0.2 s in the run's looks of 0.01 s
            raise KeyboardInterrupt

    monkeypatch.setattr(_clock, "sleep", sleep)
    code, out, err = run(capsys, "--instrument", "mvr420", "stream")
    instrument = bench.instruments[0]
    assert code == 0
    assert out.splitlines()[0].endswith("; Ctrl-C stops")
    assert out.splitlines()[1].startswith("20 samples in 0.20 s")  # every sample until Ctrl-C
    assert not instrument.streaming and requests(instrument, "set_streaming")[-1] == b"\x00"


def test_a_port_lost_while_streaming_is_one_error_line(capsys, bench, monkeypatch):
    calls = []

    def sleep(seconds):
        calls.append(seconds)
        bench.sleep(seconds)
        if len(calls) == 10:
            bench.instruments[0].unplug()

    monkeypatch.setattr(_clock, "sleep", sleep)
    code, out, err = run(capsys, "--instrument", "mvr420", "stream", "--seconds", "1")
    assert code == 1
    assert "Traceback" not in err
    assert err.splitlines()[-1].startswith("vexlo: error: ")


@pytest.mark.parametrize("choice, message", [
    ("mvr420", "MVR420 20240001 on sim0: MVR420 has no rate of 38400 samples/s; choose from 4, 20, 50, 100, 200, "
               "500, 850, 1300 (a rate of its own: --rate MVR420=SPS or --rate 20240001=SPS)"),
    ("plx310", None),  # the module refuses 38400 on a PLX310 that is not the Plus Prime
])
def test_stream_refuses_a_rate_the_instrument_lacks(capsys, bench, choice, message):
    code, out, err = run(capsys, "--instrument", choice, "stream", "--rate", "38400", "--seconds", "1")
    instrument = bench.instruments[0]
    assert (code, out) == (1, "")
    text = one_error_line(err)
    assert text == message if message else text
    assert requests(instrument, "set_streaming") == [] and instrument.profiles[0].sampling_rate_code != 15


@pytest.mark.parametrize("rates, expected", [
    (["PLX310=38400", "MVR420=500"], [38400, 500]),
    (["20240002=500", "1200"], [1200, 500]),          # a serial number's rate before the one for all
    (["mvr420=20"], [100, 20]),                       # an instrument without a rate keeps its own
])
def test_a_rate_per_instrument(capsys, bench, tmp_path, rates, expected):
    argv = [arg for rate in rates for arg in ("--rate", rate)]
    code, out, err = run(capsys, "--sim", "record", str(tmp_path / "run.csv"), "--seconds", "0.1", *argv)
    assert code == 0, err
    run_ = recording.load(tmp_path / "run.csv")
    assert [data.metadata["samples_per_second"] for data in run_] == expected
    # Put back at the end.
    assert [i.profiles[0].sampling_rate_code for i in bench.instruments] == [7, 3]


@pytest.mark.parametrize("rates, message", [
    (["1200"], "MVR420 20240002 on sim1: MVR420 has no rate of 1200 samples/s; choose from 4, 20, 50, 100, 200, "
               "500, 850, 1300 (a rate of its own: --rate MVR420=SPS or --rate 20240002=SPS)"),
    (["DTA530=4"], "--rate DTA530=: no such instrument among those found (PLX310 20240001, MVR420 20240002)"),
    (["99=4"], "--rate 99=: no such instrument among those found (PLX310 20240001, MVR420 20240002)"),
    (["100", "200"], "--rate SPS is given twice"),
    (["PLX310=100", "plx310=200"], "--rate PLX310= is given twice"),
])
def test_a_rate_an_instrument_cannot_take_is_refused_before_streaming(capsys, bench, tmp_path, rates, message):
    argv = [arg for rate in rates for arg in ("--rate", rate)]
    code, out, err = run(capsys, "--sim", "record", str(tmp_path / "run.csv"), "--seconds", "0.1", *argv)
    assert (code, one_error_line(err)) == (1, message)
    assert all(requests(i, "set_streaming") == [] for i in bench.instruments)


@pytest.mark.parametrize("rate", ["plx310=abc", "XYZ=100", "=5", ""])
def test_a_malformed_rate_is_a_usage_error(capsys, rate):
    with pytest.raises(SystemExit) as exit_:
        cli.main(["--sim", "record", "run.csv", "--rate", rate])
    assert exit_.value.code == 2 and "--rate" in capsys.readouterr().err


def test_stream_to_an_unwritable_csv_fails_before_streaming(capsys, bench, tmp_path):
    code, out, err = run(capsys, "--instrument", "mvr420", "stream", "--csv", str(tmp_path / "missing" / "x.csv"))
    assert (code, out) == (1, "")
    assert "No such file or directory" in one_error_line(err)
    assert requests(bench.instruments[0], "set_streaming") == []


def test_a_failed_stream_leaves_an_existing_csv_alone(capsys, bench, tmp_path):
    kept = tmp_path / "kept.csv"
    kept.write_text("time,adc,value\n0.0,1,2.0\n")
    code, out, err = run(capsys, "--sim", "stream", "--port", "sim9", "--csv", str(kept))
    assert code == 1
    assert kept.read_text() == "time,adc,value\n0.0,1,2.0\n"


def test_without_a_port_the_first_instrument_is_used_and_the_others_closed(capsys, bench):
    code, out, err = run(capsys, "--sim", "read")
    assert (code, out) == (0, "0.5000 mV/V\traw 2378612736\n")
    assert err == "using the instrument on sim0; also found on sim1 (choose one with --port)\n"
    assert requests(bench.instruments[1], "ndr") == []


# ---------------------------------------------------------------- teds


TEDS_DATA = ["  serial number  12345", "  template       33", "  unit           N", "  capacity       1000 N"]


@pytest.mark.parametrize("choice, switch, auto", [
    ("plx310-plus-prime", [], False),
    ("plx310-plus-prime", ["--auto", "on"], True),
    ("plx310-plus-prime:auto-teds=on", ["--auto", "off"], False),
])
def test_teds_shows_the_data_sheet_and_switches_autoteds(capsys, bench, choice, switch, auto):
    code, out, err = run(capsys, "--instrument", choice, "teds", *switch)
    instrument = bench.instruments[0]
    assert code == 0, err
    assert out.splitlines() == ["TEDS on sim0 (PLX310 QMT31872)", "  sensor         connected",
                                f"  AutoTEDS       {'on' if auto else 'off'}"] + TEDS_DATA
    assert instrument.auto_teds is auto
    assert instrument.profiles[0].sampling_rate_code == 7 and bench.settled() == 1
    # Switched on simulated instruments that the next command will not see: said so.
    assert ("last for one command" in err) is bool(switch)


def test_teds_without_a_sensor(capsys, bench):
    code, out, err = run(capsys, "--instrument", "plx310-plus-prime:teds=off", "teds")
    assert (code, err) == (0, "")
    assert out.splitlines()[1:] == ["  sensor         not connected", "  AutoTEDS       off"]
    assert bench.settled() == 0  # nothing to read, so no slow-down


@pytest.mark.parametrize("choice, message, rates", [
    ("plx310-plus-prime:teds=off", "AutoTEDS is now on, but: No TEDS sensor connected to device",
     [bytes([0, 0]), bytes([0, 7])]),  # the rate is put back although the TEDS work failed
    ("mvr420", "MVR420 20240001 on sim0: TEDS is not supported on MVR420", []),
    ("plx310", "PLX310 20240001 on sim0: TEDS is not supported on PLX310", []),
])
def test_teds_failures_are_one_line(capsys, bench, choice, message, rates):
    code, out, err = run(capsys, "--instrument", choice, "teds", "--auto", "on")
    assert code == 1
    assert one_error_line(err) == message
    assert requests(bench.instruments[0], "set_sampling_rate") == rates


# ---------------------------------------------------------------- a pseudo-terminal named with --port


@pytest.mark.skipif(not hasattr(os, "openpty"), reason="pseudo-terminals")
def test_read_on_a_pseudo_terminal_that_pyserial_does_not_list(capsys, monkeypatch):
    results = {}

    def wait_for_stop(stop):
        path = capsys.readouterr().out.split("\t")[0]
        with mock.patch("time.sleep"):
            results["code"] = cli.main(["read", "--port", path, "--model", "MVR420"])
        results["printed"] = capsys.readouterr()

    monkeypatch.setattr(sim, "wait_for_stop", wait_for_stop)
    assert cli.main(["sim", "--instrument", "mvr420:load=500"]) == 0
    assert results["code"] == 0, results["printed"].err
    value, unit = results["printed"].out.split("\t")[0].split()
    assert (float(value), unit) == (pytest.approx(500.0, abs=1e-3), "N")

"""The vexlo command line: parser, instrument choices, rate tables, TEDS bracket, error lines."""
import argparse
import errno
import os
import random
import socket
import subprocess
import sys
import termios
import threading
from types import SimpleNamespace

import pytest
import serial

import vexlo_device_communication as vexlo
from vexlo_tools import cli, devices, models
from vexlo_tools.commands import _simenv, _teds
from vexlo_tools.acquisition import convert_to_arrays
from vexlo_tools.sim import PtyServer, SimulatedInstrument, simulated_ports, stream_packet
from vexlo_tools.sim.choices import UNIT_MVV, parse_instrument

COMMANDS = ["scan", "info", "read", "stream", "teds", "sim", "demo", "record", "plot", "monitor", "publish", "collect",
            "serve"]


def run(capsys, *argv):
    code = cli.main(list(argv))
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def test_help_lists_every_command_on_one_line(capsys, monkeypatch):
    monkeypatch.setenv("COLUMNS", "80")
    with pytest.raises(SystemExit) as exit_:
        cli.main(["--help"])
    assert exit_.value.code == 0
    lines = capsys.readouterr().out.splitlines()
    listed = [line.split() for line in lines[lines.index("commands:") + 2:] if line.startswith("    ")]
    assert [words[0] for words in listed] == COMMANDS
    assert all(len(words) > 2 for words in listed)  # name and a help text on the same line


# What only running a command needs: numpy, the extension and its helper, the simulator, paho, the web stack.
HEAVY = ("numpy", "vexlo_device_communication", "vexlo_tools._arrays", "vexlo_tools.sim", "paho", "starlette",
         "uvicorn")


@pytest.mark.parametrize("argv", [["--help"], ["--version"]] + [[c.name, "--help"] for c in cli.COMMANDS],
                         ids=" ".join)
def test_help_and_version_load_nothing_only_running_needs(argv):
    code = ("import sys\nfrom vexlo_tools.cli import main\ntry: main(%r)\nexcept SystemExit: pass\n"
            "print(*sorted(m for m in %r if m in sys.modules))")
    done = subprocess.run([sys.executable, "-c", code % (argv, HEAVY)], capture_output=True, text=True, check=True)
    assert done.stdout.splitlines()[-1] == ""


@pytest.mark.parametrize("command", cli.COMMANDS, ids=lambda command: command.name)
def test_command_rows_repeat_their_modules_first_line(command):
    assert command.module().__doc__.splitlines()[0] == f"vexlo {command.name}: {command.summary}."


@pytest.mark.parametrize("argv", [
    ["--sim", "-v", "scan"],
    ["scan", "--sim", "-v"],
    ["-v", "scan", "--sim"],
])
def test_common_options_before_or_after_the_command(argv):
    args = cli.build_parser().parse_args(argv)
    assert (args.sim, args.verbose, args.command) == (True, 1, "scan")


@pytest.mark.parametrize("text, check", [
    ("plx310-plus-prime", lambda i: (i.item_number, i.teds_sensor is not None, i.auto_teds) == ("QMT31872", True, False)),
    ("PLX310_Plus_Prime:teds=off", lambda i: i.teds_sensor is None and i.profiles[0].unit_code == 26),
    ("plx310-plus-prime:auto-teds=on", lambda i: i.auto_teds),
    ("mvr420:serial=4711,firmware=4.2.9", lambda i: (i.serial_number, i.firmware_version) == (4711, b"\x04\x02\x09")),
    ("hsk640:noise=3", lambda i: i.noise_counts == 3),
    ("mvr420:clock-error=-150.5", lambda i: i.clock_error_ppm == -150.5),
    ("mvr420:load=500", lambda i: i.raw_count() == i.profiles[0].count_for_load(500.0)),
    # Behind a TEDS sensor profile 0 measures mV/V: 250 N of a 1000 N, 2 mV/V sensor is 0.5 mV/V.
    ("plx310-plus-prime:load=250",
     lambda i: i.profiles[0].unit_code == UNIT_MVV and i.raw_count() == i.profiles[0].count_for_load(0.5)),
])
def test_instrument_choices(text, check):
    assert check(parse_instrument(text).build())


@pytest.mark.parametrize("text, message", [
    ("plx999", "unknown instrument 'plx999'"),
    ("mvr420:load", "bad option 'load'"),
    ("mvr420:colour=red", "bad option 'colour=red'"),
    ("mvr420:load=heavy", "load must be a number"),
    ("mvr420:load=inf", "load must be a finite number"),
    ("mvr420:clock-error=1e9", "clock_error_ppm must lie between -10000 and 10000"),
    ("mvr420:serial=-1", "serial must lie between 0 and 4294967295"),
    ("mvr420:firmware=4.3", "firmware must be A.B.C"),
    ("mvr420:noise=0.5", "noise must be a whole number of counts (± on every reading; one ADC step is 256)"),
    ("mvr420:noise=-1", "noise must lie between 0 and 2147483647 counts"),
    ("mvr420:teds=on", "mvr420 has no TEDS hardware"),
    ("plx310-plus-prime:auto-teds=maybe", "auto-teds must be on or off"),
])
def test_bad_instrument_choices_are_usage_errors(capsys, text, message):
    with pytest.raises(SystemExit) as exit_:
        cli.main(["--instrument", text, "scan"])
    assert exit_.value.code == 2
    assert message in capsys.readouterr().err
    with pytest.raises(argparse.ArgumentTypeError):
        parse_instrument(text)


@pytest.mark.parametrize("command", ["scan", "read"])
def test_unknown_models_are_usage_errors(capsys, command):
    with pytest.raises(SystemExit) as exit_:
        cli.main([command, "--model", "plx310", "--model", "XYZ100"])
    assert exit_.value.code == 2
    assert "unknown model 'XYZ100'; choose from PLX310, MVR420, DTA530, HSK640" in capsys.readouterr().err


def test_simulated_instruments_get_distinct_serial_numbers():
    built = _simenv.build_instruments([])
    assert [(i.model, i.item_number) for i in built] == [("PLX310", "QMT31872"), ("MVR420", "QMT42010")]
    assert len({i.serial_number for i in built}) == 2


@pytest.mark.parametrize("model, code, text", [
    ("PLX310", 0, "2.5 samples/s (code 0)"), ("PLX310", 15, "38400 samples/s (code 15)"),
    ("MVR420", 8, "code 8 (not a MVR420 rate)"), ("XYZ100", 0, "code 0 (not a XYZ100 rate)"),
])
def test_rate_codes_described(model, code, text):
    assert models.describe_rate(model, code) == text


@pytest.mark.parametrize("model, sps, message", [
    ("MVR420", 38400, "MVR420 has no rate of 38400 samples/s; choose from 4, 20, 50, 100, 200, 500, 850, 1300"),
    ("PLX310", 3, "PLX310 has no rate of 3 samples/s; choose from 2.5, 5, 10, 16.6,"),
])
def test_rate_code_refuses_rates_the_model_lacks(model, sps, message):
    with pytest.raises(ValueError, match="^" + message.replace(".", r"\.")):
        models.model_info(model).rate_code(sps)


class Identity:
    def convert_adc(self, count):
        return float(count)


@pytest.mark.parametrize("short", [False, True])
@pytest.mark.parametrize("seed", range(20))
def test_corrupted_positions_agree_with_the_converters_own_count(records, short, seed):
    """The array converter's count of skipped positions equals the one the module's converter logs."""
    rng = random.Random(seed)
    buffer = bytearray(rng.randrange(3))
    for _ in range(rng.randrange(1, 40)):
        if rng.random() < 0.2:
            buffer += bytes(rng.randrange(256) for _ in range(rng.randrange(1, 4)))
        buffer += stream_packet(rng.randrange(1 << 32), short)
    buffer += bytes(rng.randrange(3))
    convert = (vexlo.StreamDataConverter.convert_stream_data_to_reading_38_kHz if short
               else vexlo.StreamDataConverter.convert_stream_data_to_reading)
    convert(buffer, Identity())  # for the count it logs
    logged = [int(text.split()[2]) for level, text in records() if text.startswith("Stream conversion: ")]
    counted = convert_to_arrays(bytes(buffer), Identity(), 3 if short else 4).corrupted
    assert counted == (logged[0] if logged else 0)


@pytest.fixture
def plus_prime(sleeps):
    """A device on a simulated PLX310 Plus Prime at rate code 15; ``rates()``: the codes set on it since."""
    instrument = SimulatedInstrument.plx310_plus_prime()
    instrument.profiles[0].sampling_rate_code = 15
    with simulated_ports({"/dev/ttySIM0": instrument}):
        [device] = vexlo.VexloSerialScanner.discover_devices(device_models=["PLX310"])
        with device:
            instrument.request_log.clear()
            yield SimpleNamespace(device=device, instrument=instrument, rates=lambda: [
                r.arguments[1] for r in instrument.request_log if r.name == "set_sampling_rate"])


@pytest.mark.parametrize("in_pause", [False, True])
def test_ctrl_c_in_teds_work_or_its_settling_pause_puts_the_rate_back_at_once(plus_prime, sleeps, in_pause):
    sleeps.side_effect = KeyboardInterrupt if in_pause else None
    with pytest.raises(KeyboardInterrupt):
        with _teds.teds_bracket(plus_prime.device):
            assert plus_prime.instrument.profiles[0].sampling_rate_code == 0
            if not in_pause:
                raise KeyboardInterrupt
    assert plus_prime.rates() == [0, 15] and sleeps.call_count == in_pause  # no pause after Ctrl-C in the work


@pytest.mark.parametrize("error", [None, vexlo.VexloTEDSNotConnectedError("No TEDS sensor connected to device")])
def test_teds_bracket_a_rate_that_cannot_go_back(plus_prime, capsys, error):
    """After work that went well the failure is raised; after work that failed, noted, and the first error goes on."""
    with pytest.raises(type(error) if error else vexlo.VexloTimeoutError):
        with _teds.teds_bracket(plus_prime.device):
            plus_prime.instrument.go_silent()
            if error:
                raise error
    noted = "could not restore the sampling rate: No response received" in capsys.readouterr().err
    assert noted is (error is not None)


@pytest.mark.parametrize("verbose, shown", [([], False), (["-v"], True)])
def test_missing_port_is_one_line_and_log_records_only_with_verbose(capsys, verbose, shown):
    code, out, err = run(capsys, *verbose, "scan", "--port", "/dev/no-such-vexlo-port")
    assert code == 1
    assert "no instrument found on /dev/no-such-vexlo-port: no such port" in err
    assert "Traceback" not in err
    # A port that does not exist is refused before any probe; one that does is probed, with log records.
    code, out, err = run(capsys, *verbose, "scan", "--port", os.devnull)
    assert code == 1 and "Traceback" not in err
    assert (f"Starting device discovery (models: all, ports: ['{os.devnull}'])" in err) is shown
    assert not vexlo.logger.handlers  # the command's handler is gone again


def test_read_on_a_missing_port_exits_1_with_one_line(capsys):
    code, out, err = run(capsys, "read", "--port", "/dev/no-such-vexlo-port")
    assert (code, out) == (1, "")
    assert err.splitlines() == ["vexlo: error: no instrument found on /dev/no-such-vexlo-port: no such port"]


@pytest.mark.parametrize("argv, message", [
    (["read", "--count", "-1"], "--count must be 0 or more"),
    (["read", "--channel", "256"], "--channel must lie between 0 and 255"),
    (["stream", "--seconds", "0"], "--seconds must be more than 0"),
    (["serve", "--rate", "inf"], "--rate must be more than 0 and finite"),
    (["info", "--channels", "0"], "--channels must be 1 or more"),
    (["record", "-"], "vexlo record writes files (its own lines go to standard output); vexlo stream --csv - "
                      "writes the samples to standard output"),
])
def test_bad_numbers_are_refused_before_any_port_is_touched(capsys, monkeypatch, argv, message):
    monkeypatch.setattr(devices, "discover", pytest.fail)
    code, out, err = run(capsys, *argv)
    assert (code, err) == (1, f"vexlo: error: {message}\n")


WARN_THEN_FIND_NOTHING = """
import sys
import vexlo_device_communication as vexlo
from vexlo_tools import cli, devices, models

def discover(models, ports):
    vexlo.logger.warning("Stream conversion: 3 invalid/corrupted packets detected")
    return [], {}

devices.discover = discover
sys.exit(cli.main(sys.argv[1:]))
"""


@pytest.mark.parametrize("verbose, shown", [([], False), (["-v"], True)])
def test_module_warnings_reach_the_terminal_only_with_verbose(verbose, shown):
    # A fresh interpreter: Python's last-resort handler would print warnings there.
    done = subprocess.run([sys.executable, "-c", WARN_THEN_FIND_NOTHING, *verbose, "read"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert ("Stream conversion: 3 invalid/corrupted packets detected" in done.stderr) is shown
    assert done.stderr.splitlines()[-1].startswith("vexlo: error: no instruments found")


def vexlo_process(*argv):
    return subprocess.Popen([sys.executable, "-m", "vexlo_tools.cli", *argv], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})


@pytest.mark.parametrize("argv", [
    ["--sim", "read", "--count", "0", "--interval", "0.01"],
    ["--sim", "stream", "--csv", "-"],
    ["--sim", "scan"],
])
def test_a_closed_pipe_ends_a_command_quietly_with_status_0(argv):
    # `vexlo ... | head -1`: the reader takes one line and goes.
    process = vexlo_process(*argv)
    assert process.stdout.readline()
    process.stdout.close()
    err = process.stderr.read().decode()
    assert process.wait(timeout=60) == 0, err
    assert "error" not in err and "Traceback" not in err and "Exception ignored" not in err


def test_stream_writes_csv_to_standard_output():
    process = vexlo_process("--sim", "stream", "--seconds", "0.3", "--csv", "-")
    out, err = process.communicate(timeout=60)
    lines = out.decode().splitlines()
    rows = [line for line in lines if not line.startswith("#")]
    assert lines[0] == "# vexlo recording, layout 2" and rows[0] == "time_s,adc,value"
    assert len(rows) - 1 == 30 and "30 rows written to standard output" in err.decode()
    assert all(row.endswith(",0.5") for row in rows[1:])    # the Plus Prime's 250 N: 0.5 mV/V


def test_serve_on_an_address_in_use_says_so_once(capsys):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        code, out, err = run(capsys, "--sim", "serve", "--http-port", str(port), "--seconds", "1")
    assert (code, err) == (1, f"vexlo: error: cannot listen on 127.0.0.1:{port}: Address already in use\n")


def module_error(cause):
    """The module's error for a failed exchange, as it raises it: its text holds the cause's."""
    try:
        raise cause
    except BaseException as error:
        try:
            raise vexlo.VexloCommunicationError(f"Unexpected communication error: {error}") from error
        except vexlo.VexloCommunicationError as wrapped:
            return wrapped


@pytest.mark.parametrize("cause, why", [
    (termios.error(5, "Input/output error"), "Input/output error"),
    (OSError(errno.ENXIO, "No such device or address"), os.strerror(errno.ENXIO)),
    (serial.SerialException("device reports readiness to read but returned no data (device disconnected or "
                            "multiple access on port?)"), "device reports readiness to read but returned no data"),
    (serial.SerialException("write failed: [Errno 5] Input/output error"), "write failed: [Errno 5] Input/output"),
    (ValueError("checksum"), None),
])
def test_a_vanished_port_is_said_so_not_in_raw_system_words(cause, why):
    error = module_error(cause)
    named = vexlo.VexloCommunicationError(f"MVR420 7 on /dev/pts/3: {error}")   # as the commands name it
    named.__cause__ = error
    text = devices.plain(named)
    if why is None:
        assert text == f"MVR420 7 on /dev/pts/3: {error}"
    else:
        assert text.startswith(f"MVR420 7 on /dev/pts/3: the port is gone ({why}")
        assert "Unexpected communication error" not in text and text.endswith("or its simulator ended?")


def test_a_failing_disk_is_no_vanished_port():
    error = OSError(errno.EIO, "Input/output error", "run.h5")
    assert devices.plain(error) == str(error)


@pytest.mark.serial
@pytest.mark.skipif(not hasattr(os, "openpty"), reason="pseudo-terminals")
def test_read_from_a_simulator_that_ends_names_the_port_and_the_instrument(capsys):
    server = PtyServer([SimulatedInstrument.mvr420(serial_number=7)])
    [path] = server.start()
    stopper = threading.Timer(1.0, server.stop)
    stopper.start()
    try:
        code, out, err = run(capsys, "read", "--port", path, "--count", "0", "--interval", "0.02")
    finally:
        stopper.join()
        server.stop()
    assert code == 1 and out
    assert err.splitlines()[-1].startswith(f"vexlo: error: MVR420 7 on {path}: the port is gone (")


def test_a_broker_port_that_never_answers_is_said_so(capsys, monkeypatch, tmp_path):
    from vexlo_tools.mqtt import broker
    monkeypatch.setattr(broker, "CONNECT_SECONDS", 0.5)
    with socket.socket() as silent:     # takes the connection, never speaks MQTT
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        url = f"mqtt://127.0.0.1:{silent.getsockname()[1]}"
        code, out, err = run(capsys, "collect", "--broker", url, str(tmp_path))
    assert (code, err) == (1, f"vexlo: error: the broker at {url} did not answer within 0.5 s\n")

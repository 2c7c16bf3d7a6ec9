"""Simulated instruments on pseudo-terminals, driven through real pyserial."""

import logging
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
import serial

import vexlo_tools
from vexlo_tools.sim import PtyServer, SimulatedInstrument, build_request, checksum

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="pseudo-terminals of Linux")

MODEL = build_request(0x01, 0x01)


def exchange(port, frame, size):
    port.reset_input_buffer()
    port.write(frame)
    return port.read(size=size)


def test_round_trip_with_real_pyserial():
    plx, mvr = SimulatedInstrument.plx310_plus_prime(), SimulatedInstrument.mvr420()
    mvr.set_load(500.0)
    with PtyServer([plx, mvr]) as (plx_path, mvr_path):
        with serial.Serial(port=plx_path, baudrate=2000000, timeout=1) as port:
            assert exchange(port, MODEL, 15) == plx.respond(MODEL, 0.0)
            pages = b"".join(exchange(port, build_request(0x01, 0x1E, [p]), 37)[4:36] for p in range(16))
            assert pages == plx.teds_sensor.image()
        with serial.Serial(port=mvr_path, baudrate=115200, timeout=1) as port:
            answer = exchange(port, build_request(0x00, 0x05, [0]), 9)
            assert answer[-1] == checksum(answer[:-1])
            assert int.from_bytes(answer[4:8], "big") == 2_609_741_824  # 0x80000000 + 500 * 924516.352


def test_wrong_baud_rate_gets_no_answer():
    server = PtyServer([SimulatedInstrument.plx310()])
    with server as (path,):
        if not server.baud_rate_visible:
            pytest.skip("this kernel does not show the line speed on the master side")
        with serial.Serial(port=path, baudrate=320000, timeout=0.2) as port:
            assert exchange(port, MODEL, 15) == b""
            port.baudrate = 2000000
            assert exchange(port, MODEL, 15)[4:10] == b"PLX310"


def test_any_baud_when_not_enforced():
    with PtyServer([SimulatedInstrument.plx310()], enforce_baud_rate=False) as (path,):
        with serial.Serial(port=path, baudrate=9600, timeout=1) as port:
            assert exchange(port, MODEL, 15)[4:10] == b"PLX310"


def test_malformed_requests_are_logged_not_answered(caplog):
    with caplog.at_level(logging.WARNING, logger="vexlo_tools.sim"):
        with PtyServer([SimulatedInstrument.mvr420()]) as (path,):
            with serial.Serial(port=path, baudrate=320000, timeout=0.2) as port:
                assert exchange(port, bytes.fromhex("0005010112"), 15) == b""
                assert exchange(port, build_request(0x09, 0x09), 5) == b""
                assert exchange(port, MODEL, 15)[4:10] == b"MVR420"  # still serving
    assert "checksum mismatch" in caplog.text
    assert "unknown command 09 09" in caplog.text


def test_streaming_in_real_time():
    inst = SimulatedInstrument.mvr420()  # 100 SPS
    with PtyServer([inst]) as (path,):
        with serial.Serial(port=path, baudrate=320000, timeout=1) as port:
            assert len(exchange(port, build_request(0x00, 0x0C, [1]), 5)) == 5
            started = time.monotonic()
            time.sleep(0.5)
            data = port.read(port.in_waiting)
            elapsed = time.monotonic() - started
            exchange(port, build_request(0x00, 0x0C, [0]), 5)
    packets = len(data) // 4
    assert packets == pytest.approx(100 * elapsed, rel=0.3)
    assert data[:4] == bytes.fromhex("80000080")  # 0x80000000 and checksum 0x80


def test_unplug_and_plug_in(tmp_path):
    inst = SimulatedInstrument.hsk640()
    link_prefix = str(tmp_path / "ttyVEX")
    server = PtyServer([inst], link_prefix=link_prefix)
    with server as (path,):
        link = server.links[0]
        assert os.path.realpath(link) == path
        port = serial.Serial(port=link, baudrate=320000, timeout=0.5)
        assert exchange(port, MODEL, 15)[4:10] == b"HSK640"
        inst.unplug()
        deadline = time.monotonic() + 2
        while server.paths[0] and time.monotonic() < deadline:
            time.sleep(0.01)
        assert server.paths == [""] and not os.path.lexists(link)
        with pytest.raises(serial.SerialException):
            port.write(MODEL)
            port.read(15)
        port.close()
        inst.plug_in()
        while not server.paths[0] and time.monotonic() < deadline:
            time.sleep(0.01)
        with serial.Serial(port=link, baudrate=320000, timeout=1) as port:
            assert exchange(port, MODEL, 15)[4:10] == b"HSK640"
    assert not server.running and not os.path.lexists(link)


def test_command_line_server():
    env = dict(os.environ, PYTHONPATH=str(Path(vexlo_tools.__file__).resolve().parent.parent))
    proc = subprocess.Popen(
        [sys.executable, "-m", "vexlo_tools.sim", "mvr420", "plx310", "--load", "250"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
    )
    try:
        lines = [proc.stdout.readline() for _ in range(2)]
        paths = [line.split("\t")[0] for line in lines]
        assert "MVR420" in lines[0] and "PLX310" in lines[1]
        with serial.Serial(port=paths[0], baudrate=320000, timeout=1) as port:
            answer = exchange(port, build_request(0x00, 0x05, [0]), 9)
        assert int.from_bytes(answer[4:8], "big") == SimulatedInstrument.mvr420().set_load(250.0)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=5) == 0
        assert "press Ctrl-C to stop" in proc.stderr.read()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_command_line_rejects_unknown_instruments():
    env = dict(os.environ, PYTHONPATH=str(Path(vexlo_tools.__file__).resolve().parent.parent))
    result = subprocess.run([sys.executable, "-m", "vexlo_tools.sim", "xyz999"],
                            capture_output=True, text=True, env=env, timeout=10)
    assert result.returncode == 2
    assert "unknown instrument 'xyz999'" in result.stderr


def test_without_pseudo_terminals_the_package_imports_and_the_server_says_why():
    # As on Windows: the POSIX terminal modules are missing.
    code = (
        "import sys, serial, serial.tools.list_ports\n"  # pyserial has its own Windows backend
        "sys.modules.update(fcntl=None, termios=None, tty=None)\n"
        "from vexlo_tools.sim import PtyServer, SimulatedInstrument, simulated_ports\n"
        "try:\n"
        "    PtyServer([SimulatedInstrument.mvr420()])\n"
        "except NotImplementedError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "needs a POSIX system" in out and "simulated_ports" in out

"""The in-process port and the helper that installs it in place of serial.Serial."""

import errno
import time

import pytest
import serial
import serial.tools.list_ports

from vexlo_tools.sim import SimulatedInstrument, SimulatedSerial, VirtualClock, build_request, simulated_ports

MODEL = build_request(0x01, 0x01)


def exchange(port, frame, size):
    """One exchange the way the host makes it: flush, write, one read of the answer length."""
    port.reset_input_buffer()
    assert port.write(frame) == len(frame)
    return port.read(size=size)


@pytest.mark.parametrize(
    "factory,baud,answers",
    [
        (SimulatedInstrument.plx310_plus_prime, 2000000, True),
        (SimulatedInstrument.plx310_plus_prime, 320000, False),
        (SimulatedInstrument.plx310, 115200, False),
        (SimulatedInstrument.mvr420, 320000, True),
        (SimulatedInstrument.dta530, 115200, True),
        (SimulatedInstrument.hsk640, 2000000, False),
        (SimulatedInstrument.hsk640, 9600, False),
    ],
)
def test_answers_only_at_the_models_baud_rates(factory, baud, answers):
    inst = factory()
    with SimulatedSerial(port="sim", baudrate=baud, timeout=1, instrument=inst) as port:
        answer = exchange(port, MODEL, 15)
    assert (answer[4:10] == inst.model.encode()) if answers else answer == b""
    assert len(inst.request_log) == (1 if answers else 0)


def test_silence_is_an_immediate_empty_read():
    inst = SimulatedInstrument.mvr420()
    inst.go_silent()
    with SimulatedSerial(port="sim", baudrate=320000, timeout=5, instrument=inst) as port:
        started = time.monotonic()
        assert exchange(port, MODEL, 15) == b""
        assert time.monotonic() - started < 1.0  # the 5 s timeout is virtual


def test_read_gives_at_most_size_and_keeps_the_rest():
    with SimulatedSerial(port="sim", baudrate=320000, instrument=SimulatedInstrument.mvr420()) as port:
        port.write(bytearray(MODEL) + MODEL)
        assert port.in_waiting == 30
        assert port.read() == b"\x00"
        assert len(port.read(20)) == 20
        assert len(port.read(20)) == 9
        assert port.read(20) == b""


def test_short_and_corrupt_answers_reach_the_host():
    inst = SimulatedInstrument.mvr420()
    with SimulatedSerial(port="sim", baudrate=320000, instrument=inst) as port:
        inst.answer_short(7)
        assert len(exchange(port, MODEL, 15)) == 7
        assert len(exchange(port, MODEL, 15)) == 15


def test_unplugged_port_fails_like_a_vanished_device():
    inst = SimulatedInstrument.mvr420()
    with simulated_ports({"/dev/ttySIM0": inst}):
        port = serial.Serial(port="/dev/ttySIM0", baudrate=320000, timeout=1)
        inst.unplug()
        with pytest.raises(serial.SerialException, match="write failed"):
            port.write(MODEL)
        with pytest.raises(serial.SerialException, match="returned no data"):
            port.read(15)
        for operation in (lambda: port.in_waiting, port.reset_input_buffer):
            with pytest.raises(serial.SerialException) as caught:
                operation()
            assert caught.value.errno == errno.EIO
        assert port.is_open
        port.close()
        assert serial.tools.list_ports.comports() == []
        with pytest.raises(serial.SerialException, match="could not open port"):
            serial.Serial(port="/dev/ttySIM0", baudrate=320000, timeout=1)
        inst.plug_in()
        with serial.Serial(port="/dev/ttySIM0", baudrate=320000, timeout=1) as port:
            assert exchange(port, MODEL, 15)[4:10] == b"MVR420"


def test_closed_port_refuses_io():
    port = SimulatedSerial(port="sim", baudrate=320000, instrument=SimulatedInstrument.mvr420())
    port.close()
    port.close()
    assert not port.is_open
    for operation in (lambda: port.write(MODEL), lambda: port.read(1), lambda: port.in_waiting):
        with pytest.raises(serial.PortNotOpenError):
            operation()


def test_port_none_opens_later():
    port = SimulatedSerial(baudrate=320000, instrument=SimulatedInstrument.hsk640())
    assert not port.is_open and port.port is None
    with pytest.raises(serial.SerialException):
        port.open()
    port.port = "sim"
    port.open()
    assert port.is_open
    with pytest.raises(serial.SerialException, match="already open"):
        port.open()


def test_unknown_port_message_is_pyserials():
    with simulated_ports({"/dev/ttySIM0": SimulatedInstrument.mvr420()}):
        with pytest.raises(serial.SerialException) as caught:
            serial.Serial(port="/dev/ttyNOPE", baudrate=320000, timeout=1)
    assert caught.value.errno == errno.ENOENT
    assert str(caught.value) == (
        "[Errno 2] could not open port /dev/ttyNOPE: [Errno 2] No such file or directory: '/dev/ttyNOPE'"
    )


def test_simulated_ports_installs_and_restores():
    real_serial, real_comports = serial.Serial, serial.tools.list_ports.comports
    plx, mvr = SimulatedInstrument.plx310_plus_prime(), SimulatedInstrument.mvr420(serial_number=77)
    with simulated_ports({"/dev/ttySIM0": plx, "/dev/ttySIM1": mvr}) as ports:
        assert dict(ports) == {"/dev/ttySIM0": plx, "/dev/ttySIM1": mvr}
        listed = serial.tools.list_ports.comports()
        assert [(p.device, p.name) for p in listed] == [("/dev/ttySIM0", "ttySIM0"), ("/dev/ttySIM1", "ttySIM1")]
        assert listed[1].description == "Vexlo MVR420 (simulated)"
        assert "SER=77" in listed[1].hwid
        device, description, hwid = listed[0]  # pyserial's tuple form
        assert device == "/dev/ttySIM0"
        port = serial.Serial(port="/dev/ttySIM1", baudrate=115200, timeout=1)
        assert isinstance(port, SimulatedSerial) and port.instrument is mvr
    assert serial.Serial is real_serial
    assert serial.tools.list_ports.comports is real_comports


def test_simulated_ports_restores_after_an_error():
    real_serial = serial.Serial
    with pytest.raises(RuntimeError):
        with simulated_ports({"/dev/ttySIM0": SimulatedInstrument.mvr420()}):
            raise RuntimeError("test body failed")
    assert serial.Serial is real_serial
    with pytest.raises(serial.SerialException):
        SimulatedSerial(port="/dev/ttySIM0", baudrate=320000)


def test_nested_blocks_add_ports():
    outer, inner = SimulatedInstrument.mvr420(), SimulatedInstrument.hsk640()
    with simulated_ports({"A": outer}):
        with simulated_ports({"B": inner}):
            assert [p.device for p in serial.tools.list_ports.comports()] == ["A", "B"]
        assert [p.device for p in serial.tools.list_ports.comports()] == ["A"]
        with pytest.raises(serial.SerialException):
            serial.Serial(port="B", baudrate=320000)


def test_system_ports_can_be_kept(monkeypatch):
    opened = []

    class FakeReal:
        def __init__(self, port, *args, **kwargs):
            opened.append(port)

    monkeypatch.setattr(serial, "Serial", FakeReal)
    monkeypatch.setattr(serial.tools.list_ports, "comports", lambda include_links=False: ["real-port"])
    with simulated_ports({"/dev/ttySIM0": SimulatedInstrument.mvr420()}, include_system_ports=True):
        listed = serial.tools.list_ports.comports()
        assert listed[0] == "real-port" and listed[1].device == "/dev/ttySIM0"
        assert isinstance(serial.Serial(port="/dev/ttyUSB0", baudrate=9600), FakeReal)
        assert isinstance(serial.Serial(port="/dev/ttySIM0", baudrate=320000), SimulatedSerial)
    assert opened == ["/dev/ttyUSB0"]


def test_clock_of_the_block_drives_streaming():
    clock = VirtualClock()
    inst = SimulatedInstrument.mvr420()
    with simulated_ports({"S": inst}, clock=clock) as ports:
        assert ports.clock is clock
        port = serial.Serial(port="S", baudrate=320000, timeout=1)
        exchange(port, build_request(0x00, 0x0C, [1]), 5)
        assert port.in_waiting == 0
        clock.advance(0.5)
        assert port.in_waiting == 50 * 4


def test_realtime_reads_wait_for_stream_data():
    inst = SimulatedInstrument.hsk640()
    inst.profiles[0].sampling_rate_code = 7  # 1300 SPS: 40 bytes take about 8 ms
    with SimulatedSerial(port="S", baudrate=320000, timeout=0.5, instrument=inst, realtime_reads=True) as port:
        exchange(port, build_request(0x00, 0x0C, [1]), 5)
        assert len(port.read(40)) == 40


def test_opening_discards_output_nobody_listened_to():
    inst = SimulatedInstrument.mvr420()
    clock = VirtualClock()
    inst.start_streaming(clock())
    clock.advance(1.0)
    with SimulatedSerial(port="S", baudrate=320000, instrument=inst, clock=clock) as port:
        assert port.in_waiting == 0
        clock.advance(0.1)
        assert port.in_waiting == 40

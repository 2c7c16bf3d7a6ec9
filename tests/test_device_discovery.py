"""VexloSerialScanner.discover_devices with the port listing and the serial link stood in for."""
from types import SimpleNamespace
from unittest import mock

import pytest

import vexlo_device_communication as vexlo
from reliability import assert_flat

Interface = vexlo._SerialCommunicationInterface
ALL_BAUDS = [2000000, 320000, 115200]


class Bench:
    """Instruments on ports. `answers[port][baud]` is the model text given at that baud rate, or an
    exception raised by connect; a port or baud rate not listed there answers with empty text.
    Every step of every probe is recorded in `events`."""

    def __init__(self, ports, answers=None, bad_calibration=(), record=True):
        self.ports = ports
        self.answers = answers or {}
        self.bad_calibration = set(bad_calibration)
        self.record = record
        self.events = []

    def probed(self, port=None):
        return [(p, b) for p, b, what in self.events if what == "connect" and port in (None, p)]

    def install(self):
        bench = self

        def init(self, comport, baud_rate=9600, timeout=1):
            self.comport, self.baud_rate, self.timeout = comport, baud_rate, timeout

        def step(name):
            def method(self, *args):
                if bench.record:
                    bench.events.append((self.comport, self.baud_rate, name))
                return getattr(bench, name)(self, *args)
            return method

        patches = [mock.patch("serial.tools.list_ports.comports",
                              lambda: [SimpleNamespace(device=p) for p in self.ports]),
                   mock.patch.object(Interface, "__init__", init)]
        for name in ("connect", "get_model_number", "disconnect", "get_device_channel_selected_profile",
                     "load_adc_converter"):
            patches.append(mock.patch.object(Interface, name, step(name), create=True))
        for p in patches:
            p.start()
        return patches

    def connect(self, ci):
        answer = self.answers.get(ci.comport, {}).get(ci.baud_rate, "")
        if isinstance(answer, BaseException):
            raise answer.with_traceback(None)  # a re-raised instance would keep growing its traceback

    def get_model_number(self, ci):
        return self.answers.get(ci.comport, {}).get(ci.baud_rate, "")

    def disconnect(self, ci):
        pass

    def get_device_channel_selected_profile(self, ci, channel):
        return 0

    def load_adc_converter(self, ci, profile):
        if ci.comport in self.bad_calibration:
            raise vexlo.VexloCalibrationError("Invalid number of loading points: 0")
        return f"converter of {ci.comport}"


@pytest.fixture
def bench():
    benches = []

    def make(ports, answers=None, bad_calibration=(), record=True):
        b = Bench(ports, answers, bad_calibration, record)
        benches.append(b.install())
        return b

    yield make
    for patches in benches:
        for p in reversed(patches):
            p.stop()


def test_no_ports(bench, records):
    bench([])
    assert vexlo.VexloSerialScanner.discover_devices() == []
    assert records() == [("INFO", "Starting device discovery (models: all, ports: all)"),
                         ("DEBUG", "Found 0 COM ports to scan"),
                         ("INFO", "Discovery complete: found 0 device(s)")]


def test_port_listing_fails(bench, records):
    b = bench(["COM3"])
    with mock.patch("serial.tools.list_ports.comports", side_effect=OSError("no sysfs")):
        assert vexlo.VexloSerialScanner.discover_devices(["plx310"], ["COM3"]) == []
    assert records() == [("INFO", "Starting device discovery (models: ['plx310'], ports: ['COM3'])"),
                         ("ERROR", "Failed to enumerate COM ports: no sysfs")]
    assert b.events == []


def test_scan_of_a_silent_port_and_an_answering_one(bench, records):
    b = bench(["COM3", "COM7"], {"COM7": {320000: "MVR420"}})
    devices = vexlo.VexloSerialScanner.discover_devices()
    assert len(devices) == 1 and type(devices[0]) is vexlo.VexloDevice
    device = devices[0]
    assert (device.communication_interface.comport, device.communication_interface.baud_rate) == ("COM7", 320000)
    assert device.adc_converter == "converter of COM7"
    assert b.probed() == [("COM3", 2000000), ("COM3", 320000), ("COM3", 115200),
                          ("COM7", 2000000), ("COM7", 320000)]
    # The silent port is closed after every baud rate; the found one stays open.
    assert [e for e in b.events if e[2] == "disconnect"] == [
        ("COM3", 2000000, "disconnect"), ("COM3", 320000, "disconnect"), ("COM3", 115200, "disconnect"),
        ("COM7", 2000000, "disconnect")]
    assert records() == [
        ("INFO", "Starting device discovery (models: all, ports: all)"),
        ("DEBUG", "Found 2 COM ports to scan"),
        ("DEBUG", "Scanning COM3"),
        ("DEBUG", "COM3 at 2000000 baud: no response"),
        ("DEBUG", "COM3 at 320000 baud: no response"),
        ("DEBUG", "COM3 at 115200 baud: no response"),
        ("DEBUG", "Scanning COM7"),
        ("DEBUG", "COM7 at 2000000 baud: no response"),
        ("INFO", "Found MVR420 on COM7 at 320000 baud )"),
        ("INFO", "Discovery complete: found 1 device(s)"),
    ]


def test_devices_come_in_listing_order_and_work_on_an_instance(bench):
    bench(["b", "a", "c"], {"a": {2000000: "PLX310"}, "b": {115200: "HSK640"}, "c": {320000: "DTA530"}})
    devices = vexlo.VexloSerialScanner().discover_devices(device_models=None, comports=None)
    assert [d.communication_interface.comport for d in devices] == ["b", "a", "c"]


@pytest.mark.parametrize("models, bauds", [
    (["hsk640", "plx310"], [320000, 115200, 2000000]),
    (["PLX310"], [2000000]),
    (["MVR420", "dta530", "MVR420"], [320000, 115200]),
    (("HSK640",), [320000, 115200]),
    ([], ALL_BAUDS),
])
def test_model_filter_chooses_the_baud_rates(bench, records, models, bauds):
    b = bench(["COM1"])
    assert vexlo.VexloSerialScanner.discover_devices(models) == []
    assert b.probed() == [("COM1", baud) for baud in bauds]
    assert not [r for r in records() if r[0] == "WARNING"]


def test_unknown_models_are_skipped(bench, records):
    b = bench(["COM1", "COM2"])
    assert vexlo.VexloSerialScanner.discover_devices(["XYZ"]) == []
    assert b.events == []
    assert records() == [("INFO", "Starting device discovery (models: ['XYZ'], ports: all)"),
                         ("DEBUG", "Found 2 COM ports to scan"),
                         ("WARNING", "Unknown device model: XYZ, skipping"),
                         ("DEBUG", "Scanning COM1"),
                         ("DEBUG", "Scanning COM2"),
                         ("INFO", "Discovery complete: found 0 device(s)")]
    records_before = len(records())
    vexlo.VexloSerialScanner.discover_devices(["abc", "mvr420"])
    assert ("WARNING", "Unknown device model: ABC, skipping") in records()[records_before:]
    assert b.probed("COM1") == [("COM1", 320000), ("COM1", 115200)]


def test_model_filter_does_not_check_the_reported_model(bench):
    bench(["COM4"], {"COM4": {2000000: "MVR420"}})
    [device] = vexlo.VexloSerialScanner.discover_devices(["PLX310"])
    assert device.communication_interface.baud_rate == 2000000


def test_port_filter(bench, records):
    b = bench(["COM3", "COM7", "COM70"], {"COM7": {2000000: "PLX310"}})
    [device] = vexlo.VexloSerialScanner.discover_devices(comports=["COM7", "COM9"])
    assert device.communication_interface.comport == "COM7"
    assert {p for p, _ in b.probed()} == {"COM7"}
    assert ("DEBUG", "Skipping COM3 (not in requested list)") in records()
    assert ("DEBUG", "Skipping COM70 (not in requested list)") in records()
    assert not any("COM9" in text for _, text in records()[1:])


@pytest.mark.parametrize("error, level, text", [
    (vexlo.VexloConnectionError("Could not open serial port COM5 at 2000000 baud: busy"), "DEBUG",
     "COM5 at 2000000 baud: communication error - Could not open serial port COM5 at 2000000 baud: busy"),
    (vexlo.VexloTimeoutError("No response received within 1s timeout"), "DEBUG",
     "COM5 at 2000000 baud: communication error - No response received within 1s timeout"),
    (vexlo.VexloProtocolError("Invalid checksum in response"), "WARNING",
     "Unexpected error scanning COM5 at 2000000 baud: Invalid checksum in response"),
    (RuntimeError("odd"), "WARNING", "Unexpected error scanning COM5 at 2000000 baud: odd"),
])
def test_failing_probe_is_logged_closed_and_the_next_baud_tried(bench, records, error, level, text):
    b = bench(["COM5"], {"COM5": {2000000: error, 320000: "DTA530"}})
    [device] = vexlo.VexloSerialScanner.discover_devices()
    assert device.communication_interface.baud_rate == 320000
    assert b.events[:3] == [("COM5", 2000000, "connect"), ("COM5", 2000000, "disconnect"),
                            ("COM5", 320000, "connect")]
    assert (level, text) in records()


def test_instrument_whose_calibration_cannot_be_loaded(bench, records):
    b = bench(["COM6", "COM8"], {"COM6": {320000: "HSK640", 115200: "HSK640"}, "COM8": {2000000: "PLX310"}},
              bad_calibration=["COM6"])
    [device] = vexlo.VexloSerialScanner.discover_devices()
    assert device.communication_interface.comport == "COM8"
    assert [e for e in b.events if e[0] == "COM6" and e[1] == 320000] == [
        ("COM6", 320000, "connect"), ("COM6", 320000, "get_model_number"),
        ("COM6", 320000, "get_device_channel_selected_profile"), ("COM6", 320000, "load_adc_converter"),
        ("COM6", 320000, "disconnect")]
    assert b.probed("COM6") == [("COM6", b_) for b_ in ALL_BAUDS]
    log = records()
    found = log.index(("INFO", "Found HSK640 on COM6 at 320000 baud )"))
    assert log[found + 1] == ("WARNING", "Unexpected error scanning COM6 at 320000 baud: "
                                         "Invalid number of loading points: 0")


def test_interface_that_cannot_be_created_is_not_closed(bench, records):
    b = bench(["COM1"])
    with mock.patch.object(Interface, "__init__", side_effect=ValueError("bad port name")):
        assert vexlo.VexloSerialScanner.discover_devices(["PLX310"]) == []
    assert b.events == []
    assert ("WARNING", "Unexpected error scanning COM1 at 2000000 baud: bad port name") in records()


def test_failures_while_closing_and_logging_are_swallowed(bench, records):
    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError("no text")

    b = bench(["COM1", "COM2"], {"COM1": {2000000: Unprintable()}, "COM2": {115200: "MVR420"}})
    with mock.patch.object(Bench, "disconnect", side_effect=OSError("close failed")):
        devices = vexlo.VexloSerialScanner.discover_devices()
    assert [d.communication_interface.comport for d in devices] == ["COM2"]
    assert b.probed("COM1") == [("COM1", b_) for b_ in ALL_BAUDS]
    # The failing close of an empty answer is itself a probe failure: logged, closed once more.
    assert ("WARNING", "Unexpected error scanning COM2 at 2000000 baud: close failed") in records()


def test_interrupt_ends_discovery_and_closes_the_probe(bench):
    b = bench(["COM1", "COM2"], {"COM1": {320000: KeyboardInterrupt()}})
    with pytest.raises(KeyboardInterrupt):
        vexlo.VexloSerialScanner.discover_devices()
    assert b.events[-2:] == [("COM1", 320000, "connect"), ("COM1", 320000, "disconnect")]
    assert b.probed("COM2") == []


@pytest.mark.parametrize("kwargs, error", [
    ({"device_models": [1]}, AttributeError),
    ({"device_models": 5}, TypeError),
    ({"comports": 5}, TypeError),
    ({"comports": iter(["COM1"])}, TypeError),
    ({"device_models": "PLX310"}, TypeError),
    ({"comports": "COM10"}, TypeError),
    ({"comports": b"COM1"}, TypeError),
])
def test_filters_of_the_wrong_kind(bench, kwargs, error):
    b = bench(["COM1", "COM10"])
    with pytest.raises(error):
        vexlo.VexloSerialScanner.discover_devices(**kwargs)
    assert b.events == []


def test_any_iterable_port_listing(bench):
    bench([], {"COM2": {2000000: "PLX310"}})
    listing = (SimpleNamespace(device=p) for p in ["COM1", "COM2"])
    with mock.patch("serial.tools.list_ports.comports", return_value=listing):
        [device] = vexlo.VexloSerialScanner.discover_devices()
    assert device.communication_interface.comport == "COM2"


def test_listing_entry_without_a_device_name(bench, records):
    b = bench([])
    with mock.patch("serial.tools.list_ports.comports", return_value=[object()]):
        assert vexlo.VexloSerialScanner.discover_devices() == []
    assert records()[-1][0] == "ERROR" and records()[-1][1].startswith("Failed to enumerate COM ports: ")
    assert b.events == []


def test_scanner_instance_has_its_own_commands():
    first, second = vexlo.VexloSerialScanner(), vexlo.VexloSerialScanner()
    assert type(first.commands) is vexlo._CommandOperations and first.commands is not second.commands


def test_discovery_does_not_leak(bench, monkeypatch):
    bench(["COM1", "COM2", "COM3", "COM4"],
          {"COM1": {320000: "MVR420"}, "COM2": {2000000: RuntimeError("x")}, "COM3": {320000: "HSK640"}},
          bad_calibration=["COM3"], record=False)
    monkeypatch.setattr(vexlo, "logger", type("Quiet", (), dict.fromkeys(
        ["debug", "info", "warning", "error"], lambda self, message: None))())

    def run(_):
        vexlo.VexloSerialScanner.discover_devices(["mvr420", "xyz", "plx310"], ["COM1", "COM2", "COM3"])

    assert_flat(run, iterations=3000)

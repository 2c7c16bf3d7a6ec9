"""find_devices: ports probed at once, named ports the system does not list, instruments left streaming."""

import os
import re
import threading
from pathlib import Path

import pytest

import vexlo_device_communication as vexlo
from vexlo_tools import find_devices
from vexlo_tools.devices import drain
from vexlo_tools.sim import PtyServer, SimulatedInstrument, VirtualClock, simulated_ports


def left_streaming():
    """A PLX310 Plus Prime streaming at 38400 samples/s, as a crashed program would leave it."""
    instrument = SimulatedInstrument.plx310_plus_prime()
    instrument.profiles[0].sampling_rate_code = 15
    instrument.start_streaming(0.0)
    return instrument


class TickingClock:
    """Moves on at every look: stream bytes keep arriving between any two port operations."""

    def __init__(self, step):
        self.now, self.step, self.lock = 0.0, step, threading.Lock()

    def __call__(self):
        with self.lock:
            self.now += self.step
            return self.now


@pytest.mark.parametrize("recover", [True, False])
def test_an_instrument_left_streaming_is_found_only_with_recovery(monkeypatch, recover):
    monkeypatch.setattr("time.sleep", lambda s: None)
    instrument = left_streaming()
    with simulated_ports({"/dev/ttySIM0": instrument}, clock=TickingClock(0.001)):
        devices = find_devices(models=["PLX310"], recover=recover)
        assert len(devices) == int(recover)
        for device in devices:
            assert not instrument.streaming
            assert device.get_model_number() == "PLX310"
            device.disconnect()


@pytest.fixture
def clock(monkeypatch):
    """A virtual clock that the waits of discovery and draining move."""
    clock = VirtualClock()
    monkeypatch.setattr("time.monotonic", clock)
    monkeypatch.setattr("time.sleep", clock.advance)
    return clock


@pytest.mark.parametrize("ignored", [0, 1], ids=["switched off", "first setting ignored"])
def test_an_instrument_found_while_streaming_slowly_is_switched_quiet(clock, ignored):
    instrument = SimulatedInstrument.mvr420()
    instrument.trickle()  # its answers get through, a packet waits after each
    instrument.ignore_stream_off(ignored)
    with simulated_ports({"/dev/ttySIM0": instrument}, clock=clock):
        instrument.start_streaming(clock())
        [device] = find_devices(["/dev/ttySIM0"], ["MVR420"])
        assert not instrument.streaming
        assert device.get_model_number() == "MVR420"
        device.disconnect()


def test_draining_goes_on_until_a_quiet_window_follows_the_last_byte(clock):
    arrivals = [i * 0.03 for i in range(11)]  # closer together than the quiet window

    def read():
        due = [t for t in arrivals if t <= clock()]
        del arrivals[:len(due)]
        return bytes(len(due))

    received, quiet = drain(read, 0.05)
    assert (len(received), quiet) == (11, True)
    assert clock() >= 0.35


@pytest.mark.skipif(not hasattr(os, "openpty"), reason="pseudo-terminals")
def test_over_a_pseudo_terminal_named_by_a_link_a_streaming_instrument_is_found_every_time(tmp_path):
    instrument = left_streaming()
    with PtyServer([instrument]) as [path]:
        link = tmp_path / "ttyVEX"
        link.symlink_to(path)
        for _ in range(5):
            instrument.start_streaming(0.0)
            [device] = find_devices([str(link)], ["PLX310"])
            assert not instrument.streaming
            assert device.communication_interface.comport == str(link)
            device.disconnect()


@pytest.mark.parametrize("make, kind", [
    (lambda p: p.write_bytes(b""), "is a regular file, not a serial device"),
    (lambda p: p.mkdir(), "is a directory, not a serial device"),
    (lambda p: None, "no such port"),
])
def test_a_named_port_that_is_no_serial_device_is_refused(tmp_path, make, kind):
    path = tmp_path / "ttyX"
    make(path)
    with simulated_ports({}), pytest.raises(vexlo.VexloConnectionError) as raised:
        find_devices([str(path)])
    assert str(raised.value).startswith(f"Could not open serial port {path} at any baud rate: ")
    assert str(raised.value).endswith(kind)


def test_ports_are_probed_at_once_and_reported_in_port_order(monkeypatch):
    instruments = [SimulatedInstrument.mvr420(), SimulatedInstrument.plx310(), SimulatedInstrument.hsk640()]
    ports = {f"/dev/ttySIM{i}": inst for i, inst in enumerate(instruments)}
    # Each probe waits for all the others to have begun: probes one after the other would break the barrier.
    barrier = threading.Barrier(len(ports), timeout=10)
    discover = vexlo.VexloSerialScanner.discover_devices

    def probing_together(device_models=None, comports=None):
        barrier.wait()
        return discover(device_models=device_models, comports=comports)

    monkeypatch.setattr(vexlo.VexloSerialScanner, "discover_devices", probing_together)
    monkeypatch.setattr("time.sleep", lambda s: None)
    with simulated_ports(ports):
        devices = find_devices(recover=False)
        assert [d.communication_interface.comport for d in devices] == list(ports)
        assert [d.get_model_number() for d in devices] == ["MVR420", "PLX310", "HSK640"]
        for device in devices:
            device.disconnect()


def silent():
    instrument = SimulatedInstrument.mvr420()
    instrument.go_silent()
    return instrument


# The quick identity probe hands the module's discovery only the models of
# the baud rate that answered, all of them when stream bytes came, and
# nothing for a silent port.
@pytest.mark.parametrize("make, handed", [
    (silent, []),
    (SimulatedInstrument.mvr420, [["MVR420", "DTA530", "HSK640"]]),
    (SimulatedInstrument.plx310, [["PLX310"]]),
    (left_streaming, [None, ["PLX310"]]),  # the full discovery, then again after recovery
], ids=["silent", "compact", "plx310", "left-streaming"])
def test_the_quick_probe_decides_what_the_full_discovery_gets(monkeypatch, make, handed):
    discover = vexlo.VexloSerialScanner.discover_devices
    calls = []

    def recorded(device_models=None, comports=None):
        calls.append(device_models)
        return discover(device_models=device_models, comports=comports)

    monkeypatch.setattr(vexlo.VexloSerialScanner, "discover_devices", recorded)
    with simulated_ports({"/dev/ttySIM0": make()}, clock=TickingClock(0.001)):
        devices = find_devices()
        assert len(devices) == (0 if make is silent else 1)
        for device in devices:
            device.disconnect()
    assert calls == handed


TOOLKIT = Path(__file__).resolve().parents[1] / "python" / "vexlo_tools"


# Below the module's public API only through the one door (the simulator is an
# instrument of its own); and pyserial's port listing is never replaced for a scan.
def test_the_toolkit_goes_below_the_modules_api_only_through_its_door():
    pattern = re.compile(r"\bvexlo\._\w|\b_Command(Operations)?\b|\bserial_connection\b|\._teds_data\b"
                         r"|list_ports\.comports\s*=")
    sources = [path for path in TOOLKIT.rglob("*.py") if "sim" not in path.relative_to(TOOLKIT).parts]
    users = {path.relative_to(TOOLKIT).as_posix() for path in sources if pattern.search(path.read_text())}
    assert len(sources) > 20 and users == {"_lowlevel.py"}

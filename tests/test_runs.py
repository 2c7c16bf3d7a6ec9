"""Runs a lab can trust: finite runs, one owner per device and port, clean ends under faults, collected runs."""
import gc
import os
import signal
import subprocess
import sys
import threading
import time
from unittest import mock

import pytest
from serial.tools.list_ports_common import ListPortInfo

import vexlo_device_communication as vexlo
from vexlo_tools import Acquisition, cli, find_devices, recording
from vexlo_tools.devices import PortInUseError
from vexlo_tools.sim import PtyServer, SimulatedInstrument, simulated_ports

MVR = SimulatedInstrument.mvr420
PLUS = SimulatedInstrument.plx310_plus_prime


def on_ports(*instruments):
    ports = {f"/dev/ttySIM{i}": inst for i, inst in enumerate(instruments)}
    return ports, simulated_ports(ports)


def found(ports):
    return find_devices(list(ports), sorted({inst.model for inst in ports.values()}))


@pytest.mark.parametrize("finite, expected", [({"samples": 250}, [250, 250]), ({"seconds": 0.2}, [260, 7680])])
def test_a_finite_run_ends_each_instrument_after_exactly_its_samples(finite, expected):
    mvr, plx = MVR(), PLUS()
    ports, installed = on_ports(mvr, plx)
    with installed:
        devices = found(ports)
        rates = {"MVR420": 1300, "PLX310": 38400}
        for device in devices:
            device.set_sampling_rate_value(
                {1300: 7, 38400: 15}[rates[device.get_model_number()]], 0)
        with Acquisition(devices, **finite) as acquisition:
            assert acquisition.wait(timeout=60)
            assert not mvr.streaming and not plx.streaming  # each switched off at its end
            blocks = acquisition.read(timeout=0)
        assert [len(b) for b in blocks] == [s.received for s in acquisition.stats()] == expected
        assert [b.first_index for b in blocks] == [0, 0]
        assert [(e.reason, e.complete, e.stats.received) for e in acquisition.ends] == \
            [("completed", True, n) for n in expected]
        assert devices[0].get_sampling_rate(0) == 7  # usable afterwards


@pytest.mark.parametrize("engine", [False, True])
@pytest.mark.parametrize("interrupted", [False, True])
def test_a_finite_run_stopped_early_on_the_main_thread_is_not_complete(engine, interrupted):
    from vexlo_tools.engine import CallbackSink, Engine
    mvr = MVR()
    ports, installed = on_ports(mvr)
    with installed:
        acquisition = Acquisition(found(ports), samples=10**6)
        got = []
        sink = CallbackSink(got.append)
        sink.end = lambda index, end: got.append(end)
        if engine:
            stopper = Engine(acquisition, [sink], tick_seconds=0.01)
            stopper.start()
        else:
            stopper = acquisition
            acquisition.start()
        while acquisition.stats()[0].received < 5:
            time.sleep(0.01)
        stopper.stop(interrupted=interrupted)
        [end] = acquisition.ends
        assert (end.reason, end.complete) == ("interrupted", False) and end.stats.received < 10**6
        if engine:
            assert got[-1] == end and sum(len(b) for b in got[:-1]) == end.stats.received


def test_a_device_belongs_to_one_acquisition_and_refuses_queries_while_it_streams():
    mvr = MVR()
    ports, installed = on_ports(mvr)
    with installed:
        [device] = found(ports)
        with pytest.raises(ValueError, match="given twice"):
            Acquisition([device, device])
        with Acquisition([device]):
            with pytest.raises(PortInUseError, match="belongs to another acquisition"):
                Acquisition([device]).start()
            # Never a value read from among stream bytes: an error that names the instrument.
            with pytest.raises(vexlo.VexloCommunicationError,
                               match="MVR420 20240001 on /dev/ttySIM0 is streaming for an acquisition"):
                device.get_reading(0)
        assert not mvr.streaming and isinstance(device.get_reading(0), float)
        with Acquisition([device], samples=10) as again:  # free again
            assert again.wait(timeout=30)


def test_a_deaf_and_a_vanished_instrument_still_leave_the_others_off_and_every_setting_restored():
    deaf, gone, fine = MVR(), MVR(), MVR()
    ports, installed = on_ports(deaf, gone, fine)
    with installed:
        devices = found(ports)
        acquisition = Acquisition(devices)
        acquisition.start()
        time.sleep(0.1)
        deaf.stop_reading()
        gone.unplug()
        with pytest.raises(vexlo.VexloDeviceError) as raised:
            acquisition.stop()
        assert "MVR420 20240001 on /dev/ttySIM0" in str(raised.value) and raised.value.__cause__ is not None
        assert not acquisition.running and not fine.streaming
        assert [d.communication_interface.serial_connection.write_timeout for d in devices] == [None] * 3
        acquisition.stop()  # again: nothing left to do, nothing raised
        ends = acquisition.ends
        assert ends[0].reason.startswith("failed: ") and ends[1].reason.startswith("failed: ")
        assert (ends[2].reason, ends[2].complete) == ("completed", True)
        # The samples due when the port vanished (0.1 s at 100 samples/s, at least) are all
        # accounted for, received or missing, none left "in flight".
        assert ends[1].stats.missing + ends[1].stats.received >= 10


@pytest.mark.parametrize("callback", [False, True])
def test_a_collected_acquisition_warns_and_switches_its_instruments_off(callback):
    mvr = MVR()
    ports, installed = on_ports(mvr)
    with installed:
        [device] = found(ports)
        acquisition = Acquisition([device])
        acquisition.start()
        if callback:  # the callbacks' engine and its thread do not keep it alive
            acquisition.on_block(lambda block: None)
        assert mvr.streaming
        with pytest.warns(ResourceWarning, match="never stopped"):
            del acquisition
            for _ in range(200):  # the engine's thread lets go of it between its reads
                gc.collect()
                if not mvr.streaming:
                    break
                time.sleep(0.01)
        assert not mvr.streaming and isinstance(device.get_reading(0), float)


HOLDER = """
import sys
from vexlo_tools import find_devices
[device] = find_devices([sys.argv[1]], ["MVR420"])
print("holding", flush=True)
sys.stdin.read()
"""


@pytest.mark.skipif(not hasattr(os, "openpty"), reason="pseudo-terminals")
def test_a_port_another_program_holds_is_in_use_and_never_probed(capsys):
    instrument = MVR()
    with PtyServer([instrument]) as (path,):
        holder = subprocess.Popen([sys.executable, "-c", HOLDER, path], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        try:
            assert holder.stdout.readline() == "holding\n"
            instrument.request_log.clear()
            with pytest.raises(PortInUseError, match="in use by another program"):
                find_devices([path], ["MVR420"])
            assert cli.main(["read", "--port", path]) == 1
            assert f"vexlo: error: port {path} in use by another program" in capsys.readouterr().err
            # A scan of every port the system lists passes over it, and says so when it finds nothing.
            with mock.patch("serial.tools.list_ports.comports", lambda *a: [ListPortInfo(path, True)]):
                assert cli.main(["read"]) == 1
            assert f"the ports this system lists ({path}); port {path} in use by another program" in \
                capsys.readouterr().err
            assert list(instrument.request_log) == []  # not probed, not recovered
        finally:
            holder.communicate("")
        [device] = find_devices([path], ["MVR420"])  # free once the other program ended
        device.disconnect()


PROBER = """
import sys
from vexlo_tools import _lowlevel
with _lowlevel.probing(sys.argv[1]):
    print("probing", flush=True)
    sys.stdin.read()
"""


@pytest.mark.skipif(not hasattr(os, "openpty"), reason="pseudo-terminals")
def test_a_port_another_program_probes_is_in_use_for_a_probe_here():
    from vexlo_tools import _lowlevel
    with PtyServer([MVR()]) as (path,):
        prober = subprocess.Popen([sys.executable, "-c", PROBER, path], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        try:
            assert prober.stdout.readline() == "probing\n"
            with pytest.raises(PortInUseError, match="in use by another program"):
                with _lowlevel.probing(path):
                    pass
        finally:
            prober.communicate("")
        with _lowlevel.probing(path):  # free once the other program ended
            pass


@pytest.mark.skipif(not hasattr(os, "openpty"), reason="pseudo-terminals")
def test_sigterm_ends_a_recording_like_ctrl_c(tmp_path):
    pytest.importorskip("h5py")
    output = tmp_path / "run.h5"
    command = [sys.executable, "-m", "vexlo_tools.cli", "--instrument", "mvr420", "record", str(output)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert process.stdout.readline().startswith("Recording MVR420")
    time.sleep(0.5)
    process.send_signal(signal.SIGTERM)
    out, err = process.communicate(timeout=60)
    assert process.returncode == 0 and "Traceback" not in err
    [data] = recording.load(output)
    assert data.metadata["complete"] is True and data.metadata["end_reason"] == "interrupted"
    assert len(data.value) == data.metadata["received"] > 0


@pytest.mark.parametrize("fault", ["vanishes", "deaf"])
@pytest.mark.parametrize("command", ["record", "stream"])
def test_an_instrument_that_fails_in_a_command_is_one_line_naming_it_and_the_rest_is_complete(
        capsys, monkeypatch, tmp_path, command, fault):
    from vexlo_tools.commands import _simenv

    built = []
    real_build, real_start = _simenv.build_instruments, Acquisition.start
    monkeypatch.setattr(_simenv, "build_instruments", lambda choices: built.extend(real_build(choices)) or built)

    def start(self):
        real_start(self)
        if fault == "vanishes":
            built[-1].unplug_after(20)
        else:  # takes no more input: it cannot be switched off at its end
            built[-1].stop_reading()

    monkeypatch.setattr(Acquisition, "start", start)
    output = tmp_path / "run.csv"
    argv = ["--instrument", "mvr420:serial=1", "--instrument", "mvr420:serial=2", command, "--seconds", "0.5",
            *([str(output)] if command == "record" else ["--port", "sim1", "--csv", str(output)])]
    code = cli.main(argv)
    err = capsys.readouterr().err
    assert code == 1 and err.splitlines() == [err.splitlines()[0]] and "Traceback" not in err
    assert err.startswith("vexlo: error: MVR420 2 on sim1: ")
    by_serial = {data.metadata["serial_number"]: data for data in recording.load(output)}
    failed = by_serial.pop(2)
    assert failed.metadata["end_reason"].startswith("failed: MVR420 2 on sim1: ")
    if fault == "vanishes":
        # What reached the file is what was received; what was sent and not received is missing.
        assert len(failed.value) == failed.metadata["received"] <= 20 <= failed.metadata["received"] + \
            failed.metadata["missing"]
        assert failed.metadata["complete"] is False
    else:  # all its samples came; only switching it off failed
        assert len(failed.value) == failed.metadata["received"] == 50 and failed.metadata["complete"] is True
    for data in by_serial.values():  # the other instrument: its 0.5 s of data, whole
        assert len(data.value) == 50 and data.metadata["complete"] is True


@pytest.mark.parametrize("fault", [lambda inst: inst.corrupt_checksums(answers=1),
                                   lambda inst: inst.go_silent(requests=1)])
def test_samples_sent_before_a_garbled_or_lost_answer_to_streaming_off_are_received(fault):
    instrument = MVR()
    ports, installed = on_ports(instrument)
    with installed:
        [device] = found(ports)
        device.set_sampling_rate_value(7, 0)  # 1300 samples/s
        with Acquisition([device]) as acquisition:
            time.sleep(0.3)
            fault(instrument)  # on the streaming-off setting
    [stats] = acquisition.stats()
    assert not instrument.streaming and stats.received == instrument.samples_sent > 300


def test_a_closed_pipe_ends_a_command_quietly():
    command = [sys.executable, "-m", "vexlo_tools.cli", "--instrument", "mvr420", "stream", "--seconds", "0.5"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert process.stdout.readline().startswith("Streaming from MVR420")
    process.stdout.close()  # `vexlo stream | head -1`
    err = process.stderr.read()
    assert process.wait(timeout=60) == 0 and err == ""   # the reader has what it wanted


def test_ctrl_c_while_stopping_is_let_through_only_once_the_stop_is_finished(monkeypatch):
    mvr = MVR()
    ports, installed = on_ports(mvr)
    with installed:
        [device] = found(ports)
        real_join, interrupted = threading.Thread.join, []

        def join(self, timeout=None):
            if self.name.startswith("vexlo stop") and not interrupted:
                interrupted.append(self.name)
                raise KeyboardInterrupt  # Ctrl-C while waiting for the instrument to fall quiet
            return real_join(self, timeout)

        with pytest.raises(KeyboardInterrupt):
            with Acquisition([device]) as acquisition:
                time.sleep(0.1)
                monkeypatch.setattr(threading.Thread, "join", join)
        assert interrupted and not mvr.streaming and not acquisition.running
        assert acquisition.ends[0].reason == "interrupted" and isinstance(device.get_reading(0), float)

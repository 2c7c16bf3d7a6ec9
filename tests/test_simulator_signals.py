"""The simulator's time base, its load signals and its own clock, as a host sees them."""

import contextlib
import logging
import re
import time
from datetime import datetime, timezone
from pathlib import Path

import numpy as np
import pytest
import serial

import vexlo_device_communication as vdc
from acquisition_steps import LockStep
from vexlo_tools import Acquisition, _reading, acquisition, find_devices, recording
from vexlo_tools.sim import (PtyServer, SimulatedInstrument, VirtualClock, build_request, build_response, load_config,
                             load_signal, replay_instruments, serve, simulated_ports)

DOCS = Path(__file__).resolve().parent.parent / "docs" / "simulator.md"


def docs_bench(tmp_path):
    """The first bench file of the simulator's page, as a user copies it."""
    block = re.search(r"```toml\n(.*?)```", DOCS.read_text(encoding="utf-8"), re.S).group(1)
    path = tmp_path / "bench.toml"
    path.write_text(block)
    return path


def test_the_documented_ramp_reads_zero_at_the_start_and_its_slope_a_second_later(tmp_path, vexlo_sim_clock):
    ports = load_config(docs_bench(tmp_path))
    with simulated_ports(ports, clock=vexlo_sim_clock):
        [device] = vdc.VexloSerialScanner.discover_devices(device_models=["PLX310"])
        with device:
            assert device.get_reading(0) == pytest.approx(0.0, abs=0.01)
            vexlo_sim_clock.advance(1.0)
            assert device.get_reading(0) == pytest.approx(100.0, abs=0.01)


@contextlib.contextmanager
def on_a_pseudo_terminal(instrument):
    with PtyServer([instrument]) as (path,):
        yield path


@contextlib.contextmanager
def in_process_on_the_real_clock(instrument):
    with simulated_ports({"/dev/ttySIM0": instrument}):
        yield "/dev/ttySIM0"


@pytest.mark.parametrize("served", [on_a_pseudo_terminal, in_process_on_the_real_clock])
def test_on_the_real_clock_time_starts_when_the_instrument_is_created(served):
    instrument = SimulatedInstrument.mvr420()
    instrument.set_load_signal(lambda t: 100.0 * t)
    with served(instrument) as path:
        with serial.Serial(port=path, baudrate=320000, timeout=5) as port:
            port.write(build_request(0x00, 0x05, [0]))
            count = int.from_bytes(port.read(9)[4:8], "big")
        elapsed = time.monotonic() - instrument.created
    # Between creation and the answer: not the machine's uptime, nor before time zero.
    profile = instrument.profiles[0]
    assert profile.count_for_load(0.0) <= count <= profile.count_for_load(100.0 * elapsed)


def test_a_load_beyond_the_adc_is_clipped_with_one_warning_naming_instrument_and_load(vexlo_sim_clock, caplog):
    instrument = SimulatedInstrument.dta530(serial_number=77)
    instrument.set_load_signal(load_signal("ramp", slope=1000.0))
    with simulated_ports({"/dev/ttySIM0": instrument}, clock=vexlo_sim_clock):
        [device] = vdc.VexloSerialScanner.discover_devices(device_models=["DTA530"])
        with device, caplog.at_level(logging.WARNING, logger="vexlo_tools.sim"):
            readings = []
            for _ in range(4):
                vexlo_sim_clock.advance(1.0)
                readings.append(device.get_reading(0))
    # 1000 N in the default calibration is 3,072,000,000 counts: the ADC ends at 2322.8 N.
    assert readings[:2] == pytest.approx([1000.0, 2000.0], abs=0.01)
    assert readings[2] == readings[3] == pytest.approx(2322.8, abs=0.1)
    [warning] = [r.getMessage() for r in caplog.records if "clipped" in r.getMessage()]
    assert "DTA530" in warning and "serial=77" in warning and "ramp(start=0.0, slope=1000.0)" in warning


# ----------------------------------------------------------- recordings in process, on the virtual clock


def record(monkeypatch, instruments, seconds, path):
    """What the toolkit records of ``instruments`` for ``seconds`` of virtual time, read back from ``path``."""
    clock = VirtualClock()
    steps = LockStep(clock)
    monkeypatch.setattr(_reading, "clock", clock)
    monkeypatch.setattr(_reading, "pause", steps.pause)
    monkeypatch.setattr("time.monotonic", clock)  # the stop drains the line on the same clock
    monkeypatch.setattr("time.sleep", clock.advance)
    ports = {f"/dev/ttySIM{i}": inst for i, inst in enumerate(instruments)}
    with simulated_ports(ports, clock=clock):
        devices = find_devices(list(ports), sorted({inst.model for inst in instruments}))
        started = datetime.now(timezone.utc)
        with Acquisition(devices) as acq:
            metadata = [recording.provenance(stream, started) for stream in acq.streams]
            with recording.open_writer(path, metadata) as writer:
                while clock() < seconds:
                    clock.advance(0.05)
                    steps.wait_for_readers()
                    writer.write(acq.read(timeout=0))
                acq.stop()
                writer.write(acq.read(timeout=0))
                writer.close(acq.stats())
    return recording.load(path)


SECONDS = 20.0
#: What a recording says of an instrument before its data (the rest is counters and its end).
PROVENANCE = ("model", "item_number", "serial_number", "firmware", "rate_code", "samples_per_second", "unit",
              "direction_code") + tuple(f"direction_{d}_{p}_{w}" for d in (1, 2) for p in ("offset", "fullscale")
                                        for w in ("load", "count"))


@pytest.mark.parametrize("kind, params, check", [
    ("noise", {"mean": 100.0, "deviation": 5.0, "seed": 1},
     lambda t, v: (np.mean(v), np.std(v)) == pytest.approx((100.0, 5.0), rel=0.05)),
    ("drift", {"rate": 2.0, "deviation": 0.5, "seed": 1},
     # The walk's increments over one sample have the deviation 0.5 * sqrt(1 / 500); the trend is the rate.
     lambda t, v: (np.polyfit(t, v, 1)[0] == pytest.approx(2.0, abs=0.5)
                   and np.std(np.diff(v)) == pytest.approx(0.5 / np.sqrt(500), rel=0.1))),
    ("hum", {"amplitude": 10.0, "frequency": 60.0, "phase": 45.0},
     # 60 Hz seen at 500 samples/s: an RMS of amplitude / sqrt(2), and a spectrum peak at 60 Hz.
     lambda t, v: (np.sqrt(np.mean(v ** 2)) == pytest.approx(10.0 / np.sqrt(2), rel=0.01)
                   and np.argmax(np.abs(np.fft.rfft(v))) / SECONDS == pytest.approx(60.0))),
    ("steps", {"times": [5.0, 12.0], "levels": [300.0, -200.0], "start": 50.0},
     lambda t, v: (list(np.unique(np.round(v))) == [-200.0, 50.0, 300.0]
                   and np.count_nonzero(np.round(v) == 300.0) == 7 * 500)),
    ("csv", {"file": "profile.csv"},
     # 0 to 500 N in 10 s, then back to 0 by 20 s: linear in between.
     lambda t, v: np.max(np.abs(v - np.interp(t, [0.0, 10.0, 20.0], [0.0, 500.0, 0.0]))) < 0.01),
])
def test_a_recording_of_each_signal_has_its_statistics(monkeypatch, tmp_path, kind, params, check):
    (tmp_path / "profile.csv").write_text("time_s,load_N\n0,0\n10,500\n20,0\n")
    if kind == "csv":
        params = {"file": tmp_path / "profile.csv"}
    instrument = SimulatedInstrument.mvr420()
    instrument.profiles[0].sampling_rate_code = 5  # 500 samples/s
    # On an offset, through the sum, as a bench file's loads on one channel add up.
    instrument.set_load_signal(load_signal("constant", value=400.0) + load_signal(kind, **params))
    [data] = record(monkeypatch, [instrument], SECONDS, tmp_path / "run.h5")
    assert len(data.value) == SECONDS * 500
    # The ADC's step is about 0.01 N in this calibration.
    assert check(data.time, data.value - 400.0)


@pytest.mark.parametrize("suffix", [".csv", ".h5"])
def test_a_replay_records_as_the_original_within_one_count_with_its_gap_and_loop(monkeypatch, tmp_path, suffix):
    original = SimulatedInstrument.plx310_plus_prime(with_teds=False, serial_number=4711)
    original.set_load_signal(load_signal("sine", amplitude=300.0, frequency=1.5)
                             + load_signal("noise", deviation=20.0, seed=2))
    first = record(monkeypatch, [original], 2.0, tmp_path / f"first{suffix}").instruments["4711"]
    # Cut 0.3 s out: samples the host lost.
    gap = (first.time >= 0.5) & (first.time < 0.8)
    provenance = {key: value for key, value in first.metadata.items() if key in PROVENANCE}
    with recording.open_writer(tmp_path / f"gap{suffix}", [provenance]) as writer:
        writer.write([acquisition.Block(None, 0, first.time[~gap], first.adc[~gap], first.value[~gap])])

    [replay] = replay_instruments(tmp_path / f"gap{suffix}").values()
    assert (replay.model, replay.item_number, replay.serial_number) == ("PLX310", "QMT31872", 4711)
    second = record(monkeypatch, [replay], 2.0, tmp_path / f"second{suffix}").instruments["4711"]
    kept = first.adc[~gap]
    # The gap is no samples: a host recording the replay counts the 30 as missing.
    assert len(second.adc) == len(kept) and second.metadata["missing"] == np.count_nonzero(gap) == 30
    assert np.max(np.abs(second.adc.astype(np.int64) - kept)) <= 1
    np.testing.assert_allclose(second.value, first.value[~gap], atol=1e-9)
    assert second.metadata["unit"] == first.metadata["unit"] and second.metadata["samples_per_second"] == 100.0

    [looped] = replay_instruments(tmp_path / f"first{suffix}", loop=True).values()
    third = record(monkeypatch, [looped], 5.0, tmp_path / f"third{suffix}").instruments["4711"]
    # Over and over, without a sample lost or doubled between laps.
    assert len(third.adc) >= 500 and np.array_equal(third.adc, np.tile(first.adc, 3)[:len(third.adc)])


@pytest.mark.parametrize("ppm", [-2000.0, 2000.0])
def test_a_clock_rate_error_shows_in_the_counters(monkeypatch, tmp_path, ppm):
    instrument = SimulatedInstrument.mvr420(clock_error_ppm=ppm)
    [data] = record(monkeypatch, [instrument], 10.0, tmp_path / "run.h5")
    # 100 samples/s for 10 s on a clock 0.2 % slow sends 998; a fast one 1002, and nothing is missing.
    assert data.metadata["received"] == round(1000 * (1 + ppm * 1e-6))
    assert data.metadata["missing"] == (2 if ppm < 0 else 0)


def test_vexlo_sim_replay_streams_a_recording_on_a_pseudo_terminal(tmp_path):
    index = np.arange(300)
    counts = (0x80000000 + index * 0x10000).astype(np.uint32)
    meta = {"model": "MVR420", "item_number": "QMT42010", "serial_number": 99, "firmware": "04.02.09",
            "rate_code": 3, "samples_per_second": 100.0, "unit": "k_N", "direction_code": 1}
    for d, fullscale in ((1, 3072000000.0), (2, 1222967296.0)):
        meta.update({f"direction_{d}_offset_load": 0.0, f"direction_{d}_offset_count": 2147483648.0,
                     f"direction_{d}_fullscale_load": 5.0, f"direction_{d}_fullscale_count": fullscale})
    values = (counts - 2147483648.0) * 5.0 / (3072000000.0 - 2147483648.0)
    with recording.open_writer(tmp_path / "run.csv", [meta]) as writer:
        writer.write([acquisition.Block(None, 0, index / 100.0, counts, values, acquisition.Stats(300))])
    (tmp_path / "bench.toml").write_text("[[instrument]]\nreplay = 'run.csv'\nclock_error_ppm = 50.0\n")
    [from_bench] = load_config(tmp_path / "bench.toml").values()
    assert (from_bench.serial_number, from_bench.clock_error_ppm) == (99, 50.0)
    args = serve.build_parser().parse_args(["--replay", str(tmp_path / "run.csv"), "--loop"])
    [instrument] = serve.instruments_from_args(args)
    assert (instrument.serial_number, instrument.firmware_version, instrument.profiles[0].unit_code) == \
        (99, bytes([4, 2, 9]), 17)
    with PtyServer([instrument]) as (path,):
        with serial.Serial(port=path, baudrate=320000, timeout=5) as port:
            port.write(build_request(0x00, 0x0C, [1]))
            data = port.read(len(build_response(0x00, 0x0C, b"")) + 4 * 40)
            port.write(build_request(0x00, 0x0C, [0]))
    streamed = [int.from_bytes(data[i:i + 3], "big") << 8 for i in range(len(data) - 160, len(data), 4)]
    assert streamed == list(counts[:40])


@pytest.mark.parametrize("lap", [0, 1, 7])
def test_a_replay_sends_each_sample_one_period_after_its_recorded_time_lap_after_lap(lap):
    from vexlo_tools.sim.signals import Replay
    times = np.array([0.0, 0.01, 0.02, 0.05, 0.06])  # a gap of two samples
    replay = Replay(times, np.arange(5.0), 100.0, loop=True)
    start = lap * 0.07  # a lap lasts the recording and one period
    for k, t in enumerate(times):
        sent_at = start + t + 0.01  # once taken
        assert (replay.due(sent_at - 1e-6), replay.due(sent_at + 1e-6)) == (lap * 5 + k, lap * 5 + k + 1)

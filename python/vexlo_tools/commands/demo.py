"""vexlo demo: the main job end to end on simulated instruments.

Serve a PLX310 Plus Prime with a TEDS sensor and an MVR420 on pseudo-terminals and drive them
through real pyserial: discovery, identity, readings, a profile and unit change, two seconds of
streaming at 38400 samples/s, and AutoTEDS; then record both instruments for a few seconds into an
HDF5 file and draw it (with the hdf5 and plot extras), and print the paths of both.
"""

from __future__ import annotations

import argparse
import math
import os
import stat
import sys
import tempfile
import time
from pathlib import Path
from typing import TYPE_CHECKING, List, Tuple

from .._extras import MissingExtraError, require
from . import _clock, _console, _status

if TYPE_CHECKING:
    import vexlo_device_communication as vexlo
    from ..sim import SimulatedInstrument

STREAM_SECONDS = 2.0
READINGS = 3
RECORD_SECONDS = 3.0


def options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--output-dir", metavar="DIR",
                        help="where the recording and its picture go (default: vexlo-demo-USER in the temporary "
                             "folder, replaced at every run)")


def instruments() -> Tuple[SimulatedInstrument, SimulatedInstrument]:
    """The demo's instruments: a Plus Prime under a slowly swinging load, and an MVR420."""
    # Profile 0 measures mV/V; the TEDS data sheet will turn that into N.
    from ..sim import Profile, SimulatedInstrument
    from ..sim.choices import sensor_output

    plx = SimulatedInstrument.plx310_plus_prime(with_teds=True, serial_number=20240001, noise_counts=30 * 256)
    plx.set_load_signal(lambda t: sensor_output(plx, 250.0 + 20.0 * math.sin(2.0 * math.pi * 0.5 * t)))
    # A few stray bytes in the stream, to show that the conversion resynchronises.
    plx.add_stream_garbage(0.0005)
    mvr = SimulatedInstrument.mvr420(serial_number=20240002, noise_counts=30 * 256)
    # Profile 1: the same sensor calibrated in kilograms (1000 N is 101.97 kg).
    mvr.profiles[1] = Profile.linear(capacity=101.97, sensor_serial_number=100002, sampling_rate_code=5)
    mvr.set_load(12.5)
    return plx, mvr


def _section(title: str) -> None:
    _console.out()
    _console.out(f"== {title}")


def _readings(device: vexlo.VexloDevice, count: int = READINGS) -> None:
    from ..acquisition import converter_of, unit_text

    converter = converter_of(device)
    unit = unit_text(device)
    for _ in range(count):
        raw = device.get_ndr(0)
        _console.out("  " + _reading_line(converter.convert_adc(raw), unit, raw))


def _reading_line(value: float, unit: str, raw: int) -> str:
    return f"{value:10.4f} {unit:<3} raw {raw}"


def run(args: argparse.Namespace) -> int:
    import vexlo_device_communication as vexlo
    from .. import session
    from ..acquisition import port_of
    from ..devices import discover, not_found_message
    from ..sim import PtyServer
    from . import _instruments, _sinks, _teds, scan, teds

    if args.instrument:
        raise _console.CliError("the demo serves its own instruments (a PLX310 Plus Prime and an MVR420); "
                                "--instrument chooses the simulated instruments of the other commands")
    if not hasattr(os, "openpty"):
        raise _console.CliError("the demo needs pseudo-terminals, which this system does not have")
    if args.output_dir:
        os.makedirs(args.output_dir, exist_ok=True)  # a folder that cannot be made fails before the demo
    began = time.monotonic()
    plx_sim, mvr_sim = instruments()
    with PtyServer([plx_sim, mvr_sim]) as paths:
        _console.out("Simulated instruments on pseudo-terminals, driven through real pyserial:")
        _console.out(f"  {paths[0]}  PLX310 Plus Prime with a TEDS sensor")
        _console.out(f"  {paths[1]}  MVR420")

        _section("1. Discovery")
        _console.out("Probing both ports at 2000000, 320000 and 115200 baud. An instrument stays silent at a")
        _console.out("rate it does not use, so the MVR420's port costs a few seconds at 2000000 baud.")
        devices, failures = discover(ports=paths)
        if len(devices) != 2:
            for device in devices:
                device.disconnect()
            raise _console.CliError(f"discovery found {len(devices)} of the 2 simulated instruments; "
                                    + not_found_message(paths, failures))
        by_model = {device.get_model_number(): device for device in devices}
        plx, mvr = by_model.get("PLX310"), by_model.get("MVR420")
        if plx is None or mvr is None:
            for device in devices:
                device.disconnect()
            raise _console.CliError("discovery did not find the PLX310 and the MVR420: found "
                                    + ", ".join(sorted(by_model)))
        devices = [plx, mvr]
        with plx, mvr:
            rows = [(port_of(d), _instruments.baud_of(d), d.get_model_number(), _instruments.item_number(d),
                     str(d.get_instrument_serial_number()), _instruments.firmware_version(d)) for d in devices]
            for line in scan.table(rows):
                _console.out("  " + line)

            _section("2. Identity")
            for device in devices:
                _console.out(f"  {device.get_model_number()} on {port_of(device)}: "
                             f"serial {device.get_instrument_serial_number()}, "
                             f"TEDS {'yes' if device.supports_teds() else 'no'}, "
                             f"board at {device.get_board_temperature():.1f} °C")

            _section("3. Calibrated readings (value, unit, raw ADC count)")
            for device in devices:
                _console.out(f"  {device.get_model_number()}, profile {device.get_device_channel_selected_profile(0)}:")
                _readings(device)
            _console.out("  (the PLX310's profile 0 measures the bridge output in mV/V; step 6 turns it into N)")

            _section("4. Profile and unit change on the MVR420")
            mvr.set_device_channel_selected_profile(0, 1)
            mvr.set_unit_of_measure(vexlo.UnitOfMeasureEnum.kg)
            _console.out(f"  channel 0 now uses profile {mvr.get_device_channel_selected_profile(0)}, "
                         f"unit {mvr.get_unit_of_measure(0).name}; the same sensor output reads:")
            _readings(mvr)

            _section("5. Streaming from the PLX310 at 38400 samples/s for 2 s")
            _console.out("  The simulator puts a stray byte before about one packet in 2000, on purpose: the")
            _console.out("  conversion skips it and finds the packets again; the skipped bytes are counted as")
            _console.out("  corrupted positions (on a sound line there are none).")
            view = _sinks.StreamView(seconds=STREAM_SECONDS, prefix="  ",
                                     status_every=None if sys.stderr.isatty() else 0.5)
            # The PLX310 stays at 38400 samples/s for the recording at the end.
            if session.run([view], devices=[plx], rate=38400, keep_rate=True, seconds=STREAM_SECONDS,
                           pause=_clock.run_pause(), note=_console.note):
                raise KeyboardInterrupt
            if view.progress.samples[0] == 0:
                raise _console.CliError("no stream samples arrived")

            _section("6. AutoTEDS on the PLX310")
            _console.out("  switching AutoTEDS on: the sensor's data sheet is read and becomes the calibration")
            _console.out("  (at the lowest sampling rate; the rate is restored after a 3 s pause)")
            with _teds.teds_bracket(plx):
                plx.set_auto_teds(True)
            _console.out(f"  AutoTEDS {'on' if plx.get_auto_teds() else 'off'}; TEDS data:")
            for line in teds.teds_lines(plx):
                _console.out("  " + line)
            _console.out("  readings with the TEDS calibration:")
            _readings(plx)

            _console.out()
            # The stray bytes have made their point in step 5; the recording shows the clean signal.
            plx_sim.clear_faults()
            _record_and_draw([plx, mvr], args.output_dir)

    _console.out()
    _console.out(f"Demo finished in {time.monotonic() - began:.1f} s.")
    return 0


def _record_and_draw(devices: List[vexlo.VexloDevice], output_dir: str | None) -> None:
    """Record the instruments for RECORD_SECONDS into an HDF5 file, draw it, print both paths."""
    from .. import plot, recording, session
    from ..types import size_text

    _console.out(f"Recording both instruments for {RECORD_SECONDS:g} s, then drawing the recording:")
    try:
        require("h5py", "hdf5", "recording to .h5")
        require("matplotlib", "plot", "drawing")
    except MissingExtraError as error:
        _console.out(f"  skipped: {error}")
        return
    folder = Path(output_dir) if output_dir else _demo_folder()
    path, picture = folder / "demo.h5", folder / "demo.png"
    recording.check_output(path, overwrite=True)
    status = _status.StatusLine()
    sink = recording.RecordingSink(path, overwrite=True, status=lambda p: status.show(p.line()))
    try:
        interrupted = session.run([sink], devices=devices, seconds=RECORD_SECONDS,
                                  pause=_clock.run_pause(), note=_console.note)
    finally:
        status.end()
    progress = sink.progress
    if interrupted or progress.interrupted:
        raise KeyboardInterrupt
    assert sink.writer is not None  # opened, or the run raised its error
    plot.plot_file(path, picture)
    for meta, samples in zip(sink.writer.metadata, progress.samples):
        _console.out(f"  {meta['model']} {meta['serial_number']}: {samples:,} samples at "
                     f"{meta['samples_per_second']:g} samples/s, {meta['unit']}")
    _console.out(f"  recording  {path} ({size_text(progress.file_size)})")
    _console.out(f"  picture    {picture}")


def _demo_folder() -> Path:
    """The user's demo folder in the temporary folder, the same at every run (so that runs do not pile up),
    or a new one where that name is taken by something that is not the user's own folder."""
    user = os.getuid() if hasattr(os, "getuid") else os.getlogin()
    folder = Path(tempfile.gettempdir()) / f"vexlo-demo-{user}"
    try:
        folder.mkdir(mode=0o700, exist_ok=True)
        info = folder.lstat()
        if stat.S_ISDIR(info.st_mode) and (not hasattr(os, "getuid") or info.st_uid == os.getuid()):
            return folder
    except OSError:
        pass
    return Path(tempfile.mkdtemp(prefix="vexlo-demo-"))

"""Take the documentation's pictures with the project's own code: ``make pictures``.

- ``recording.png``: a recording of two simulated instruments (a PLX310 Plus Prime at 38400
  samples/s under a swinging load, an MVR420 at 500 samples/s) on pseudo-terminals, drawn as
  ``vexlo plot`` draws it;
- ``monitor.svg``: ``vexlo monitor``'s view of the same instruments after a few seconds, as
  textual's screenshot.

Run it again when what the pictures show changes, and commit the pictures.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import math
import sys
import tempfile
from pathlib import Path
from typing import Any, Iterator, List, Optional, Sequence

import vexlo_device_communication as vexlo
from vexlo_tools import Acquisition, find_devices, plot, recording
from vexlo_tools.monitor import monitor_app
from vexlo_tools.sim import PtyServer, SimulatedInstrument

HERE = Path(__file__).resolve().parent / "pictures"
RECORD_SECONDS = 3.0
MONITOR_SECONDS = 4.0


def instruments() -> List[SimulatedInstrument]:
    """A Plus Prime under a load swinging around 250 N, and an MVR420 under 12.5 N, both with some noise."""
    plx = SimulatedInstrument.plx310_plus_prime(serial_number=20240001, noise_counts=30 * 256)
    plx.set_load_signal(lambda t: 250.0 + 20.0 * math.sin(2.0 * math.pi * 0.5 * t))
    mvr = SimulatedInstrument.mvr420(serial_number=20240002, noise_counts=30 * 256)
    mvr.set_load(12.5)
    return [plx, mvr]


@contextlib.contextmanager
def bench() -> Iterator[List[vexlo.VexloDevice]]:
    """The instruments on pseudo-terminals, found, at their rates: the PLX310 at 38400, the MVR420 at 500."""
    with PtyServer(instruments()) as paths:
        # One model per port: no port waits out the baud rates of the other model.
        [plx] = find_devices(ports=[paths[0]], models=["PLX310"])
        [mvr] = find_devices(ports=[paths[1]], models=["MVR420"])
        with plx, mvr:
            plx.set_sampling_rate(vexlo.PLX310SamplingRateEnum.SPS_38400)
            mvr.set_sampling_rate(vexlo.MVR420SamplingRateEnum.SPS_500)
            yield [plx, mvr]


def recording_picture(output: Path, seconds: float = RECORD_SECONDS) -> None:
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "run.h5"
        with bench() as devices:
            recording.record(Acquisition(devices, seconds=seconds), path)
        plot.plot_file(path, output)


def monitor_picture(output: Path, seconds: float = MONITOR_SECONDS) -> None:
    with bench() as devices, Acquisition(devices) as acquisition:
        app = monitor_app(acquisition, window_seconds=5.0)
        output.write_text(asyncio.run(_screenshot(app, seconds)), encoding="utf-8")


async def _screenshot(app: Any, seconds: float) -> str:
    async with app.run_test(size=(100, 24)) as pilot:
        await pilot.pause(seconds)
        svg: str = app.export_screenshot()
        await pilot.press("q")
    return svg


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output-dir", type=Path, default=HERE, help=f"where the pictures go (default: {HERE})")
    args = parser.parse_args(argv)
    args.output_dir.mkdir(parents=True, exist_ok=True)
    for name, take in (("recording.png", recording_picture), ("monitor.svg", monitor_picture)):
        take(args.output_dir / name)
        print(args.output_dir / name)
    return 0


if __name__ == "__main__":
    sys.exit(main())

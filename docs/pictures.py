"""Take the documentation's pictures with the project's own code: ``make pictures``.

- ``recording.png``: a recording of two simulated instruments (a PLX310 Plus Prime at 38400
  samples/s under a swinging load, an MVR420 at 500 samples/s) on pseudo-terminals, drawn as
  ``vexlo plot`` draws it;
- ``monitor.svg``: ``vexlo monitor``'s view of the same instruments after a few seconds, as
  textual's screenshot;
- ``serve.png`` and ``serve-phone.png``: the live page of ``vexlo serve --control`` showing both instruments
  (the PLX310 at 1200 samples/s), at a desk's width and a phone's, in headless Chromium (Debian's chromium and
  chromium-driver, which ``make browser`` installs);
- ``fleet.png``: the fleet page of ``vexlo serve --broker`` with two stands, each a ``vexlo publish`` of a
  simulated instrument through a Mosquitto of its own on a loopback port (Debian's mosquitto, which
  ``make mosquitto`` installs); one stand with a limit it crosses.

Run it again when what the pictures show changes, and commit the pictures.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import math
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Iterator, List, Optional, Sequence

from vexlo_tools import Acquisition, find_devices, models, plot, recording, serve
from vexlo_tools.monitor import monitor_app
from vexlo_tools.sim import PtyServer, SimulatedInstrument

HERE = Path(__file__).resolve().parent / "pictures"
RECORD_SECONDS = 3.0
MONITOR_SECONDS = 4.0
LIVE_SECONDS = 6.0
LIVE_RATE = 1200.0


def instruments() -> List[SimulatedInstrument]:
    """A Plus Prime at 38400 samples/s under a load swinging around 250 N, and an MVR420 at 500 samples/s
    under 12.5 N, both with some noise."""
    plx = SimulatedInstrument.plx310_plus_prime(with_teds=False, serial_number=20240001, noise_counts=30 * 256)
    plx.profiles[0].sampling_rate_code = models.model_info("PLX310").rate_code(38400, models.PLUS_PRIME_ITEM_NUMBER)
    plx.set_load_signal(lambda t: 250.0 + 20.0 * math.sin(2.0 * math.pi * 0.5 * t))
    mvr = SimulatedInstrument.mvr420(serial_number=20240002, noise_counts=30 * 256)
    mvr.profiles[0].sampling_rate_code = models.model_info("MVR420").rate_code(500)
    mvr.set_load(12.5)
    return [plx, mvr]


@contextlib.contextmanager
def bench() -> Iterator[List[Any]]:
    """The instruments on pseudo-terminals, found."""
    with PtyServer(instruments()) as paths:
        # One model per port: no port waits out the baud rates of the other model.
        [plx] = find_devices(ports=[paths[0]], models=["PLX310"])
        [mvr] = find_devices(ports=[paths[1]], models=["MVR420"])
        with plx, mvr:
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


def _browser() -> Any:
    """Headless Chromium at a desk's width."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,900",
                     "--hide-scrollbars"):
        options.add_argument(argument)
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    return webdriver.Chrome(service=Service(shutil.which("chromedriver") or "chromedriver"), options=options)


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def _wait_for(driver: Any, script: str, what: str, seconds: float = 60) -> None:
    deadline = time.monotonic() + seconds
    while not driver.execute_script("return " + script):
        if time.monotonic() > deadline:
            raise RuntimeError(what)
        time.sleep(0.1)


def live_picture(output: Path, seconds: float = LIVE_SECONDS, phone: Optional[Path] = None) -> None:
    driver = _browser()
    stop, listening = threading.Event(), threading.Event()
    port = _free_port()
    plx, mvr = instruments()
    # The Plus Prime at a rate that a loaded machine keeps up with while it also runs the browser.
    plx.profiles[0].sampling_rate_code = models.model_info("PLX310").rate_code(LIVE_RATE, models.PLUS_PRIME_ITEM_NUMBER)
    try:
        with PtyServer([plx, mvr]) as paths, tempfile.TemporaryDirectory() as folder:
            server = threading.Thread(target=serve, kwargs=dict(
                ports=paths, http_port=port, control=folder, announce=lambda text: listening.set(), stop=stop),
                daemon=True)
            server.start()
            try:
                if not listening.wait(60):
                    raise RuntimeError("vexlo serve did not start listening")
                driver.get(f"http://127.0.0.1:{port}/")
                # Discovery goes on after the server listens: wait for the charts.
                _wait_for(driver, "window.vexlo && window.vexlo.drawn > 3 && "
                                  "document.querySelectorAll('.chart').length == 2",
                          "the live page did not show the instruments")
                time.sleep(seconds)
                driver.save_screenshot(str(output))
                if phone is not None:
                    driver.set_window_size(390, 1500)
                    time.sleep(2.0)
                    driver.save_screenshot(str(phone))
            finally:
                stop.set()
                server.join(30)
    finally:
        driver.quit()


def fleet_picture(output: Path, seconds: float = LIVE_SECONDS) -> None:
    from vexlo_tools.mqtt import Broker, fleet

    mosquitto = shutil.which("mosquitto") or shutil.which("mosquitto", path="/usr/sbin:/usr/bin")
    if mosquitto is None:
        raise RuntimeError("mosquitto is not installed (make mosquitto installs Debian's package)")
    broker_port, port = _free_port(), _free_port()
    stands = [("hall2-a", "plx310-plus-prime:load=250,noise=7680,teds=off", ["--rate", "1200"]),
              ("hall2-b", "mvr420:load=12.5,noise=7680", ["--limit", "value > 12.503"])]
    stop, listening = threading.Event(), threading.Event()
    processes: List[subprocess.Popen[bytes]] = []
    driver = _browser()
    try:
        with tempfile.TemporaryDirectory() as folder:
            # As root, Mosquitto would switch to a user of its own; nothing is kept on disk.
            config = Path(folder) / "mosquitto.conf"
            config.write_text(f"user root\nlistener {broker_port} 127.0.0.1\nallow_anonymous true\n"
                              "persistence false\n")
            processes.append(subprocess.Popen([mosquitto, "-c", str(config)], stdout=subprocess.DEVNULL,
                                              stderr=subprocess.DEVNULL))
            url = f"mqtt://127.0.0.1:{broker_port}"
            server = threading.Thread(target=fleet.serve, args=(Broker.from_url(url), []), kwargs=dict(
                http_port=port, announce=lambda text: listening.set(), stop=stop), daemon=True)
            server.start()
            # Each stand's spool in the picture's own folder, never the user's.
            environment = {**os.environ, "XDG_STATE_HOME": folder}
            for stand, instrument, options in stands:
                processes.append(subprocess.Popen(
                    [sys.executable, "-m", "vexlo_tools.cli", "--instrument", instrument, "publish", "--broker", url,
                     "--stand", stand, *options], env=environment, stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL))
            try:
                if not listening.wait(60):
                    raise RuntimeError("vexlo serve --broker did not start listening")
                driver.set_window_size(1400, 1150)  # both stands, one above the other
                driver.get(f"http://127.0.0.1:{port}/")
                _wait_for(driver, "document.querySelectorAll('.chart').length == 2 && "
                                  "document.querySelector('.instrument .event') && "
                                  "[...document.querySelectorAll('.instrument .event')].some(e => e.textContent)",
                          "the fleet page did not show both stands and the alarm")
                time.sleep(seconds)
                driver.save_screenshot(str(output))
            finally:
                stop.set()
                server.join(30)
    finally:
        driver.quit()
        for process in reversed(processes):
            process.terminate()
            process.wait(30)


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
    for name, take in (("recording.png", recording_picture), ("monitor.svg", monitor_picture),
                       ("serve.png", lambda path: live_picture(path, phone=path.with_name("serve-phone.png"))),
                       ("fleet.png", fleet_picture)):
        take(args.output_dir / name)
        print(args.output_dir / name)
    return 0


if __name__ == "__main__":
    sys.exit(main())

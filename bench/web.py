"""The live page: server CPU with 1 and 10 viewers, step-to-page latency and frames per second, what
50 viewers cost the acquisition, and what drawing costs the browser.

Rows of ``bench/run.py`` (30 to 33); also runs alone:

    PYTHONPATH=build/dev:python python bench/web.py [--rows 30]

Row 30 runs ``vexlo serve`` as a process of its own against a PLX310 Plus Prime at 38,400
samples/s on a pseudo-terminal (served by a helper process), so the CPU time read from /proc is
the server's alone (acquisition, engine, page sink and web server); the viewers are websocket
clients in this process that take every frame as a browser would. Row 31 runs the same, with the
instrument's load stepped by its helper process at a known host time, and drives headless
Chromium: the page logs the host time of every frame it draws, with its value. Row 32 runs the
server of row 30 with 50 viewers, each asking for another window and width, and compares the
samples the acquisition lost (overrun and missing) while they watch with as long a time unwatched.
Row 33 drives 1, then 10 headless Chromium viewers of the server of row 30 (a browser each, 10 s
window), then 1 with a 10-minute window, and reads the CPU of each browser's processes from /proc, the frames each draws a second, and the
server's CPU meanwhile.
"""

import argparse
import asyncio
import contextlib
import json
import os
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from acquisition import cpu_seconds_of, served  # noqa: E402
from table import Line  # noqa: E402

PLUS = "plx310-plus-prime"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def serving(path, port, *options):
    """``vexlo serve`` on the instrument at ``path``, as a process; yields its pid once it listens."""
    server = subprocess.Popen([sys.executable, "-m", "vexlo_tools.cli", "serve", "--port", path, "--rate", "38400",
                               "--http-port", str(port), *options], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True)
    try:
        line = server.stdout.readline()
        if "live page at" not in line:
            sys.exit(f"vexlo serve did not start: {line}{server.stderr.read()}")
        yield server.pid
    finally:
        server.terminate()
        server.wait()


async def view(port, seconds, frames, last, window=10, columns=1200):
    """One viewer: take frames for ``seconds``; count them, keep the latest figures."""
    import websockets
    async with websockets.connect(f"ws://127.0.0.1:{port}/ws", max_size=None) as ws:
        await ws.send(json.dumps({"window": window, "columns": columns}))
        began = time.monotonic()
        while time.monotonic() - began < seconds:
            message = await ws.recv()
            if isinstance(message, bytes):
                length, = struct.unpack_from("<I", message)
                last[:] = json.loads(message[4:4 + length])["instruments"]
                frames.append(time.monotonic())
                await ws.send('{"drawn": 1}')


def viewers_cpu(pid, port, clients, seconds):
    """CPU share of the server while ``clients`` viewers watch for ``seconds``; frames each got a second."""
    frames = [[] for _ in range(clients)]
    last = []

    async def main():
        tasks = [asyncio.create_task(view(port, seconds + 1.5, frames[i], last)) for i in range(clients)]
        await asyncio.sleep(1.5)  # connected and past the first frames
        nonlocal cpu, wall
        cpu, wall = cpu_seconds_of(pid), time.monotonic()
        await asyncio.sleep(seconds)
        cpu, wall = cpu_seconds_of(pid) - cpu, time.monotonic() - wall
        await asyncio.gather(*tasks)

    cpu = wall = 0.0
    asyncio.run(main())
    rates = [sum(1 for t in f if t >= f[-1] - seconds) / seconds for f in frames]
    return 100 * cpu / wall, min(rates), last


def row_cpu(seconds=5.0):
    port = free_port()
    with served(PLUS) as (paths, _), serving(paths[0], port) as pid:
        time.sleep(2.0)
        cpu, wall = cpu_seconds_of(pid), time.monotonic()
        time.sleep(seconds)
        floor = 100 * (cpu_seconds_of(pid) - cpu) / (time.monotonic() - wall)
        lines = []
        for clients in (1, 10):
            share, rate, last = viewers_cpu(pid, port, clients, seconds)
            counters = last[0]["counters"]
            lines.append(Line(30, f"vexlo serve, 38400/s over a pty, {clients} viewer(s) at {rate:.1f} frames/s "
                                  f"each (overrun {counters['overrun']}, missing {counters['missing']}, not shown "
                                  f"{last[0]['dropped']}): "
                                  "vs no viewer", "% of a core", share, floor, None, "<= 25%", share <= 25.0))
    return lines


def lost(figures):
    """Samples the acquisition lost so far, by the page's counters of its instrument."""
    return figures[0]["counters"]["overrun"] + figures[0]["counters"]["missing"]


def row_many_viewers(clients=50, seconds=10.0):
    """Samples lost while ``clients`` viewers of different windows watch, against as long unwatched."""
    port = free_port()
    windows = [1, 2, 5, 7, 10, 20, 30, 45, 60, 120, 300, 600]

    async def watch(viewers, frames, last):
        await asyncio.gather(*(view(port, seconds, frames[i], last, windows[i % len(windows)], 300 + 37 * i)
                               for i in range(viewers)))

    with served(PLUS) as (paths, _), serving(paths[0], port, "--max-viewers", str(clients + 2)) as pid:
        last, frames = [], [[]]
        asyncio.run(watch(1, frames, last))  # past the start, and the counters then
        before, cpu, wall = lost(last), cpu_seconds_of(pid), time.monotonic()
        time.sleep(seconds)
        floor_cpu = 100 * (cpu_seconds_of(pid) - cpu) / (time.monotonic() - wall)
        asyncio.run(watch(1, frames, last))
        unwatched, before = lost(last) - before, lost(last)
        frames = [[] for _ in range(clients)]
        time.sleep(1.0)  # the viewer before has left
        cpu, wall = cpu_seconds_of(pid), time.monotonic()
        asyncio.run(watch(clients, frames, last))
        share = 100 * (cpu_seconds_of(pid) - cpu) / (time.monotonic() - wall)
        asyncio.run(watch(1, [[]], last))
        watched = lost(last) - before
    rate = min(len(f) for f in frames) / seconds
    load = os.getloadavg()[0]
    return [Line(32, f"vexlo serve, 38400/s over a pty, {clients} viewers of {len(windows)} windows and {clients} "
                     f"widths for {seconds:g} s (each at least {rate:.1f} frames/s; load average {load:.1f}): "
                     "samples lost (overrun + missing) vs as long unwatched", "samples", watched, unwatched, None,
                 "0", watched == 0),
            Line(32, "  the server's CPU meanwhile, vs unwatched", "% of a core", share, floor_cpu, None, "", None)]


def stepped_instrument():
    """The child of row 31: a PLX310 Plus Prime on a pseudo-terminal whose load the parent steps.

    Prints the port, then for each load read from standard input sets it and prints the host time
    (ms) it was set.
    """
    from vexlo_tools.sim import PtyServer, SimulatedInstrument

    instrument = SimulatedInstrument.plx310_plus_prime(with_teds=False)
    instrument.set_load(250.0)
    with PtyServer([instrument]) as (path,):
        print(path, flush=True)
        for line in sys.stdin:
            instrument.set_load(float(line))
            print(time.time() * 1000, flush=True)


def chromium():
    """Headless Chromium through chromedriver, 1280 by 900 pixels."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,900"):
        options.add_argument(argument)
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    return webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)


def drawing(driver, frames=10, timeout=30):
    """Wait until the page in ``driver`` has drawn ``frames`` frames."""
    deadline = time.monotonic() + timeout
    while not driver.execute_script(f"return window.vexlo && window.vexlo.drawn > {frames}"):
        if time.monotonic() > deadline:
            sys.exit("the page never drew")
        time.sleep(0.1)


def row_latency(steps=100):
    port = free_port()
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--stepped-instrument"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        with serving(child.stdout.readline().strip(), port):
            driver = chromium()
            try:
                driver.get(f"http://127.0.0.1:{port}/")
                drawing(driver)
                drawn, began = driver.execute_script("return window.vexlo.drawn"), time.monotonic()
                latencies, arrivals = [], []
                for step in range(steps):
                    load = 400.0 if step % 2 == 0 else 250.0
                    child.stdin.write(f"{load}\n")
                    child.stdin.flush()
                    stepped = float(child.stdout.readline())
                    seen = []
                    # A late frame counts with its latency; only one that never comes ends the run.
                    for _ in range(50):
                        time.sleep(0.1)
                        seen = [(t, arrived) for t, value, arrived in driver.execute_script("return window.vexlo.log")
                                if t >= stepped and value is not None and abs(value - load) < 5]
                        if seen and time.time() * 1000 - stepped > 400:
                            break
                    if not seen:
                        sys.exit(f"step {step} to {load} never reached the page")
                    latencies.append(seen[0][0] - stepped)
                    arrivals.append(seen[0][1] - stepped)
                fps = (driver.execute_script("return window.vexlo.drawn") - drawn) / (time.monotonic() - began)
            finally:
                driver.quit()
    finally:
        child.stdin.close()
        child.wait()
    cuts, came = statistics.quantiles(latencies, n=100), statistics.quantiles(arrivals, n=100)
    # Both cores are shared: how busy the machine was says how far the tail can be trusted.
    return [Line(31, f"load step in the simulator to the page drawn ({steps} steps, load average "
                     f"{os.getloadavg()[0]:.1f}), headless Chromium: p50 (reference: to the frame's arrival)",
                 "ms", cuts[49], came[49], None, "", None),
            Line(31, "  the same, p99", "ms", cuts[98], came[98], None, "< 250 ms", cuts[98] < 250),
            Line(31, "frames drawn per second in the browser, one 38400/s instrument, 10 s window", "frames/s",
                 fps, None, None, ">= 10", fps >= 10)]


def tree_cpu_seconds(pid):
    """CPU seconds of process ``pid`` and all its descendants alive now (a browser's processes)."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    parents[int(entry)] = int(stat.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                pass  # gone meanwhile
    tree, total = [pid], 0.0
    while tree:
        found = tree.pop()
        try:
            total += cpu_seconds_of(found)
        except OSError:
            continue
        tree += [child for child, parent in parents.items() if parent == found]
    return total


def row_browsers(seconds=10.0):
    """Headless Chromium viewers of the page (one 38400/s instrument, 10 s window): their CPU, the frames
    each draws a second, and the server's CPU meanwhile against no viewer."""
    port = free_port()
    lines = []
    with served(PLUS) as (paths, _), serving(paths[0], port) as pid:
        time.sleep(2.0)
        cpu, wall = cpu_seconds_of(pid), time.monotonic()
        time.sleep(seconds)
        floor = 100 * (cpu_seconds_of(pid) - cpu) / (time.monotonic() - wall)
        for count, window in ((1, 10), (10, 10), (1, 600)):
            drivers = []
            try:
                for _ in range(count):
                    drivers.append(chromium())
                    drivers[-1].get(f"http://127.0.0.1:{port}/")
                for driver in drivers:
                    drawing(driver)
                    driver.execute_script(f"const w = document.getElementById('window'); w.value = '{window}';"
                                          "w.dispatchEvent(new Event('change'))")
                time.sleep(2.0)  # past the first frames of the last
                browsers = [driver.service.process.pid for driver in drivers]
                began = time.monotonic()
                cpu = [tree_cpu_seconds(p) for p in browsers], cpu_seconds_of(pid)
                drawn = [driver.execute_script("return window.vexlo.drawn") for driver in drivers]
                time.sleep(seconds)
                wall = time.monotonic() - began
                after = [tree_cpu_seconds(p) for p in browsers], cpu_seconds_of(pid)
                fps = min((driver.execute_script("return window.vexlo.drawn") - d) / wall
                          for driver, d in zip(drivers, drawn))
            finally:
                for driver in drivers:
                    driver.quit()
            each = 100 * (sum(after[0]) - sum(cpu[0])) / wall / count
            server = 100 * (after[1] - cpu[1]) / wall
            load = os.getloadavg()[0]
            short = window == 10
            lines += [Line(33, f"{count} headless Chromium viewer(s) of one 38400/s instrument, {window} s window, "
                               f"1280 px (load average {load:.1f}): each browser's CPU", "% of a core", each, None, None,
                           "<= 10%" if count == 1 and short else "", each <= 10.0 if count == 1 and short else None),
                      Line(33, "  frames drawn per second, the slowest viewer", "frames/s", fps, None, None,
                           ">= 10" if short else "", fps >= 10.0 if short else None),
                      Line(33, "  the server's CPU meanwhile, vs no viewer", "% of a core", server, floor, None, "",
                           None)]
    return lines


ROWS = {
    30: lambda args: row_cpu(),
    31: lambda args: row_latency(),
    32: lambda args: row_many_viewers(),
    33: lambda args: row_browsers(),
}


def main(argv=None):
    from table import print_rows

    if sys.argv[1:] == ["--stepped-instrument"]:
        return stepped_instrument()
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", default=",".join(map(str, ROWS)), help="rows to run, e.g. 30")
    args = parser.parse_args(argv)
    print_rows(ROWS, args.rows, args)


if __name__ == "__main__":
    main()

"""Row 43: the fleet's page. N stands of one PLX310 Plus Prime at 38,400 samples/s (each its own `vexlo
publish` process, as row 40 starts them) through one local Mosquitto, shown by `vexlo serve --broker`
(its own process) to 10 websocket viewers: the server's CPU, and the latency from a load step in one
stand's simulator to the first frame that shows it at a viewer (p50, p99).

One of the N stands publishes a PLX310 Plus Prime on a pseudo-terminal (row 31's stepped instrument)
whose load the bench steps between 250 and 400 N; the latency is the host time a viewer received the
first frame whose value is within 5 N of the new load, minus the host time the load was set. The
browser's drawing adds about one frame interval (row 31 has it). Run: ``python bench/run.py --rows 43``
(``--fleet-stands 4`` for a smaller run).
"""

import asyncio
import json
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from acquisition import cpu_seconds_of  # noqa: E402
from fleet import INSTRUMENT, vexlo  # noqa: E402
from mosquitto import Mosquitto  # noqa: E402
from table import Line  # noqa: E402
from web import free_port  # noqa: E402


def fleet_page(stands=16, viewers=10, steps=40, window=10.0):
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        (folder / "broker").mkdir()
        broker = Mosquitto(folder / "broker").start()
        child = subprocess.Popen([sys.executable, str(HERE / "web.py"), "--stepped-instrument"],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        pty = child.stdout.readline().strip()
        # The stepped stand sorts first, so its instrument is the page's first.
        processes = [vexlo("publish", "--broker", broker.url, "--stand", "a-stepped", "--port", pty, "--rate", "38400",
                           state=folder / "state")]
        processes += [vexlo("publish", "--broker", broker.url, "--stand", f"bench{i:02}", *INSTRUMENT,
                            state=folder / "state") for i in range(1, stands)]
        port = free_port()
        server = subprocess.Popen([sys.executable, "-m", "vexlo_tools.cli", "serve", "--broker", broker.url,
                                   "--http-port", str(port)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  text=True)
        try:
            assert "fleet page" in server.stdout.readline()
            return measure(server.pid, port, child, stands, viewers, steps, window)
        finally:
            server.terminate()
            server.wait()
            for process in processes:
                process.kill()
                process.wait()
            child.stdin.close()
            child.kill()
            child.wait()
            broker.kill()


def measure(pid, port, child, stands, viewers, steps, window):
    import websockets

    latest = {"head": None, "arrived": 0.0}
    seen = []  # (host ms the frame arrived, value of the first instrument)
    done = threading.Event()

    async def view(record):
        async with websockets.connect(f"ws://127.0.0.1:{port}/ws", max_size=None) as ws:
            await ws.send(json.dumps({"window": 10, "columns": 800}))
            while not done.is_set():
                message = await ws.recv()
                if isinstance(message, bytes):
                    length, = struct.unpack_from("<I", message)
                    head = json.loads(message[4:4 + length])
                    if record:
                        latest["head"] = head
                        if head["instruments"]:
                            seen.append((time.time() * 1000, head["instruments"][0].get("value")))
                    await ws.send('{"drawn": 1}')

    async def main():
        tasks = [asyncio.create_task(view(i == 0)) for i in range(viewers)]
        deadline = time.monotonic() + 60
        while not (latest["head"] and len(latest["head"]["instruments"]) == stands
                   and all(i["samples"] for i in latest["head"]["instruments"])):
            if time.monotonic() > deadline:
                sys.exit(f"the page never showed {stands} stands: {latest['head'] and len(latest['head']['instruments'])}")
            await asyncio.sleep(0.2)
        await asyncio.sleep(2.0)
        load = os.getloadavg()[0]
        rss = rss_mib(pid)
        cpu, wall = cpu_seconds_of(pid), time.monotonic()
        latencies = []
        for step in range(steps):
            value = 400.0 if step % 2 == 0 else 250.0
            child.stdin.write(f"{value}\n")
            child.stdin.flush()
            stepped = float(await asyncio.to_thread(child.stdout.readline))
            for _ in range(100):
                await asyncio.sleep(0.05)
                shown = [t for t, v in list(seen) if t >= stepped and v is not None and abs(v - value) < 5]
                if shown:
                    latencies.append(shown[0] - stepped)
                    break
            else:
                latencies.append(5000.0)  # never within 5 s: counted as 5 s
            await asyncio.sleep(0.2)
        share = 100 * (cpu_seconds_of(pid) - cpu) / (time.monotonic() - wall)
        ages = [s["age"] for s in latest["head"]["stands"].values() if s["age"] is not None]
        done.set()
        await asyncio.gather(*tasks, return_exceptions=True)
        return share, latencies, load, max(ages), rss, rss_mib(pid)

    share, latencies, load, age, rss, rss_end = asyncio.run(main())
    cuts = statistics.quantiles(latencies, n=100)
    return [Line(43, f"vexlo serve --broker, {stands} stands at 38400/s, {viewers} viewers (load average "
                     f"{load:.1f} before; oldest stand's newest data {age:.2f} s)", "% of a core", share, None, None,
                 "< 50%", share < 50.0),
            Line(43, f"  load step in one stand to a viewer's frame ({steps} steps): p50", "ms", cuts[49], None,
                 None, "", None),
            Line(43, "  the same, p99", "ms", cuts[98], None, None, "< 500 ms", cuts[98] < 500),
            Line(43, f"  server's resident memory at the end (at the first step: {rss:.0f} MiB)", "MiB", rss_end,
                 None, None, "", None)]


def rss_mib(pid):
    """A process's resident memory, from /proc."""
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")) / 1024


ROWS = {
    43: lambda args: fleet_page(args.fleet_stands),
}

if __name__ == "__main__":
    from table import print_table
    print_table(fleet_page(int(sys.argv[1]) if len(sys.argv) > 1 else 16))

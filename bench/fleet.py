"""Row 40: the fleet path. N = 1, 2, 4, 8, 16 simulated stands (a PLX310 Plus Prime at 38,400
samples/s each, each its own `vexlo publish` process) through one local Mosquitto into one collector.

Per N: samples lost (due minus written centrally); and over a window of steady streaming, CPU per
instrument of the publishers, the broker and the collector, and the latency from a sample's nominal
time (start of streaming + number / rate) to its block being written centrally, p50 and p99. The floor
for the publisher's CPU is `vexlo record` of the same simulated instrument into an .h5 file in the
same run (both include the in-process simulator). The knee is the first N with a sample lost or a
p99 latency above one second.
"""

import statistics
import subprocess
import sys
import tempfile
import threading
import time
from datetime import datetime
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from acquisition import cpu_seconds_of  # noqa: E402
from mosquitto import Mosquitto  # noqa: E402
from table import Line  # noqa: E402
from vexlo_tools.mqtt import Broker, Collector  # noqa: E402

RATE = 38400
INSTRUMENT = ["--instrument", "plx310-plus-prime", "--rate", str(RATE)]
KNEE_LATENCY = 1.0


class TimedCollector(Collector):
    """A collector that notes, per block it writes, how long after its last sample's nominal time."""

    latencies = []

    def _received(self, track, first, count):
        start = datetime.fromisoformat(track.run).timestamp()
        self.latencies.append(time.time() - start - (first + count) / RATE)


def vexlo(*args):
    return subprocess.Popen([sys.executable, "-m", "vexlo_tools.cli", *args],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wait_for(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError("the fleet did not get going")
        time.sleep(0.1)


def cpu(pids):
    return sum(cpu_seconds_of(pid) for pid in pids)


def floor(folder, seconds, window):
    """CPU of `vexlo record` of the same instrument into .h5 over the same window, % of a core."""
    out = folder / "floor.h5"
    process = vexlo("record", *INSTRUMENT, "--seconds", str(seconds), str(out))
    wait_for(lambda: out.exists() and out.stat().st_size > 0)
    time.sleep(1.0)
    before = cpu_seconds_of(process.pid)
    time.sleep(window)
    used = cpu_seconds_of(process.pid) - before
    process.wait()
    return 100 * used / window


def fleet(folder, n, seconds, window):
    (folder / "broker").mkdir()
    (folder / "out").mkdir()
    broker = Mosquitto(folder / "broker").start()
    collector = TimedCollector(Broker.from_url(broker.url), folder / "out")
    collector.latencies = []
    stop = threading.Event()
    thread = threading.Thread(target=collector.run, args=(stop,))
    thread.start()
    publishers = []
    try:
        assert collector.subscribed.wait(30)
        publishers = [vexlo("publish", "--broker", broker.url, "--stand", f"bench{i}", *INSTRUMENT,
                            "--seconds", str(seconds)) for i in range(n)]
        wait_for(lambda: len(collector.tracks) == n and all(t.samples for t in collector.tracks.values()))
        time.sleep(1.0)
        pids = [p.pid for p in publishers]
        begin = (time.monotonic(), cpu(pids), cpu_seconds_of(broker.process.pid), time.process_time())
        collector.latencies = []
        time.sleep(window)
        latencies = sorted(collector.latencies)
        end = (time.monotonic(), cpu(pids), cpu_seconds_of(broker.process.pid), time.process_time())
        for p in publishers:
            p.wait()
        # Every stand has said its last word once its final stats closed its file.
        wait_for(lambda: all(t.writer is None for t in collector.tracks.values()), 120)
    finally:
        stop.set()
        thread.join()
        for p in publishers:
            p.kill()
        broker.kill()
    wall = end[0] - begin[0]
    shares = [100 * (e - b) / wall / n for b, e in zip(begin[1:], end[1:])]
    written = sum(t.samples for t in collector.tracks.values())
    return n * RATE * int(seconds) - written, shares, latencies


def row_fleet(counts=(1, 2, 4, 8, 16), seconds=12.0, window=5.0):
    lines = []
    knee = None
    with tempfile.TemporaryDirectory() as tmp:
        record_share = floor(Path(tmp), seconds, window)
        for n in counts:
            folder = Path(tmp) / f"n{n}"
            folder.mkdir()
            lost, (publisher, broker, collector), latencies = fleet(folder, n, seconds, window)
            p50 = 1000 * statistics.median(latencies)
            p99 = 1000 * latencies[min(len(latencies) - 1, int(0.99 * len(latencies)))]
            if knee is None and (lost or p99 > 1000 * KNEE_LATENCY):
                knee = n
            label = f"{n} stand{'s' if n > 1 else ''} x 38400/s, {seconds:g} s"
            lines += [
                Line(40, f"{label}: samples lost of {n * RATE * int(seconds):,} due", "samples", lost, None, None,
                     "0", lost == 0),
                Line(40, "  CPU per instrument: publisher (reference: vexlo record .h5)", "% of a core",
                     publisher, record_share, record_share / publisher if publisher else None, "", None),
                Line(40, f"  CPU per instrument: broker {broker:.1f}%, collector", "% of a core", collector, None,
                     None, "", None),
                Line(40, "  latency, sample to central file: p50 (reference: p99)", "ms", p50, p99, None, "", None),
            ]
    lines.append(Line(40, f"knee: {knee} stands (a sample lost or p99 latency above {KNEE_LATENCY:g} s)" if knee
                      else f"knee: none up to {counts[-1]} stands", "", None, None, None, "", None))
    return lines


ROWS = {40: lambda args: row_fleet()}


if __name__ == "__main__":
    from table import print_table
    print_table(row_fleet(*[tuple(int(c) for c in sys.argv[1].split(","))] if len(sys.argv) > 1 else []))

"""Row 40: the fleet path. N = 1, 2, 4, 8, 16 simulated stands (a PLX310 Plus Prime at 38,400
samples/s each, each its own `vexlo publish` process) through one local Mosquitto into one collector.

Per N: samples lost (due minus written centrally); and over a window of steady streaming, CPU per
instrument of the publishers, the broker and the collector, and the latency from a sample's nominal
time (start of streaming + number / rate) to its block being written centrally, p50 and p99. The floor
for the publisher's CPU is `vexlo record` of the same simulated instrument into an .h5 file in the
same run (both include the in-process simulator). The knee is the first N with a sample lost or a
p99 latency above one second.
"""

import os
import statistics

import numpy as np
import subprocess
import sys
import tempfile
import threading
import time
from datetime import datetime
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from acquisition import cpu_seconds_of, wakeups_of, wakeups_per_second  # noqa: E402
from mosquitto import Mosquitto  # noqa: E402
from table import Line  # noqa: E402
from vexlo_tools.mqtt import Broker, Collector  # noqa: E402

RATE = 38400
INSTRUMENT = ["--instrument", "plx310-plus-prime", "--rate", str(RATE)]
# Two of the collector's rounds (it writes and acknowledges once a second): a collector falling behind.
KNEE_LATENCY = 2.0


class TimedCollector(Collector):
    """A collector that notes, per block it writes, how long after its last sample's nominal time."""

    latencies = []

    def _received(self, track, first, count):
        start = datetime.fromisoformat(track.run).timestamp()
        self.latencies.append(time.time() - start - (first + count) / RATE)


def vexlo(*args, state=None):
    """A `vexlo` process; ``state``: its state folder (a stand's spool), so that none is left in the user's."""
    environment = {**os.environ, **({"XDG_STATE_HOME": str(state)} if state else {})}
    return subprocess.Popen([sys.executable, "-m", "vexlo_tools.cli", *args],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=environment)


def wait_for(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError("the fleet did not get going")
        time.sleep(0.1)


def cpu(pids):
    return sum(cpu_seconds_of(pid) for pid in pids)


def steady(process, ready, window):
    """CPU (% of a core) and wake-ups a second (per thread as text, total) of ``process`` over ``window``
    seconds of steady streaming, from a second after ``ready()``."""
    wait_for(ready)
    time.sleep(1.0)
    began, before, woken = time.monotonic(), cpu_seconds_of(process.pid), wakeups_of(process.pid)
    time.sleep(window)
    used, after, wall = cpu_seconds_of(process.pid) - before, wakeups_of(process.pid), time.monotonic() - began
    return (100 * used / wall, *wakeups_per_second(woken, after, wall))


def floor(folder, seconds, window, instrument=INSTRUMENT, wakes=False):
    """CPU of `vexlo record` of the same instrument into .h5 over the same window, % of a core
    (with ``wakes``: also its wake-ups a second, per thread and in total)."""
    out = folder / "floor.h5"
    process = vexlo("record", *instrument, "--seconds", str(seconds), str(out))
    measured = steady(process, lambda: out.exists() and out.stat().st_size > 0, window)
    process.wait()
    return measured if wakes else measured[0]


def serve_unwatched(window, instrument):
    """CPU and wake-ups (as :func:`steady`) of `vexlo serve` of the instrument with nobody watching."""
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]

    def listening():
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", port)) == 0

    process = vexlo("serve", *instrument, "--http-port", str(port))
    try:
        return steady(process, listening, window)
    finally:
        process.terminate()
        process.wait()


def thread_times(pid):
    """Per thread (by id) of a process: CPU seconds so far (from ``schedstat``, in nanoseconds, not in the
    10 ms ticks of ``stat``) and the times it has gone to sleep (voluntary context switches)."""
    found = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as stat:
                ran = int(stat.read().split()[0]) / 1e9
            with open(f"/proc/{pid}/task/{task}/status") as status:
                slept = next(int(line.split()[1]) for line in status if line.startswith("voluntary_ctxt_switches"))
        except (FileNotFoundError, ProcessLookupError, StopIteration):
            continue  # a thread that ended meanwhile
        found[task] = (ran, slept)
    return found


def collect_process(folder, instruments, seconds, window):
    """`vexlo collect` as a process of its own, with a `vexlo publish` process per instrument (stand
    ``bench<i>``) through a local Mosquitto: the collector's CPU (% of a core) per instrument over
    ``window`` seconds of steady streaming, and per thread (main thread first, then by thread id) its
    CPU and wake-ups a second, as text."""
    (folder / "broker").mkdir()
    out = folder / "out"
    out.mkdir()
    broker = Mosquitto(folder / "broker").start()
    collector = vexlo("collect", str(out), "--broker", broker.url)
    publishers = []
    try:
        time.sleep(2.0)  # subscribed: what the stands publish from now on waits for it at the broker
        publishers = [vexlo("publish", "--broker", broker.url, "--stand", f"bench{i}", *instrument,
                            "--seconds", str(seconds), state=folder / "state")
                      for i, instrument in enumerate(instruments)]
        wait_for(lambda: sum(1 for path in out.glob("*.h5") if path.stat().st_size) == len(instruments))
        time.sleep(1.5)
        began, before = time.monotonic(), thread_times(collector.pid)
        time.sleep(window)
        after, wall = thread_times(collector.pid), time.monotonic() - began
        for process in publishers:
            process.wait()
    finally:
        for process in publishers:
            process.kill()
        collector.terminate()
        collector.wait()
        broker.kill()
    threads = []
    for task in sorted(after, key=lambda t: (int(t) != collector.pid, int(t))):
        ran, slept = (a - b for a, b in zip(after[task], before.get(task, (0.0, 0))))
        if ran or slept:
            threads.append((100 * ran / wall, slept / wall))
    share = sum(ran for ran, _ in threads) / len(instruments)
    return share, ", ".join(f"{ran:.2f} % at {slept:.0f}/s" for ran, slept in threads)


def fleet(folder, n, seconds, window, instruments=None):
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
        publishers = [vexlo("publish", "--broker", broker.url, "--stand", f"bench{i}",
                            *(INSTRUMENT if instruments is None else instruments[i]),
                            "--seconds", str(seconds), state=folder / "state") for i in range(n)]
        wait_for(lambda: len(collector.tracks) == n and all(t.samples for t in collector.tracks.values()))
        time.sleep(1.0)
        pids = [p.pid for p in publishers]
        woken = wakeups_of(pids[0])
        begin = (time.monotonic(), cpu(pids), cpu_seconds_of(broker.process.pid), time.process_time())
        collector.latencies = []
        time.sleep(window)
        latencies = sorted(collector.latencies)
        end = (time.monotonic(), cpu(pids), cpu_seconds_of(broker.process.pid), time.process_time())
        wakes = wakeups_per_second(woken, wakeups_of(pids[0]), end[0] - begin[0])
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
    return n * RATE * int(seconds) - written, shares, latencies, wakes


def row_fleet(counts=(1, 2, 4, 8, 16), seconds=12.0, window=5.0):
    lines = []
    knee = None
    with tempfile.TemporaryDirectory() as tmp:
        record_share = floor(Path(tmp), seconds, window)
        for n in counts:
            folder = Path(tmp) / f"n{n}"
            folder.mkdir()
            lost, (publisher, broker, collector), latencies, _ = fleet(folder, n, seconds, window)
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


# ---------------------------------------------------------------- rows 41 and 42: the collector's checks

BLOCK = 3840  # samples per data message: a tenth of a second at 38,400/s, as the publisher sends
START = "2026-01-01T00:00:00+00:00"


class Feeder:
    """A hand client that publishes exact messages at QoS 1, never more than 200 unacknowledged."""

    def __init__(self, broker):
        import paho.mqtt.client as paho
        self.paho = paho
        self.client = paho.Client(paho.CallbackAPIVersion.VERSION2, protocol=paho.MQTTv5)
        self.client.connect("127.0.0.1", broker.port)
        self.client.loop_start()
        self.waiting = []

    def send(self, topic, payload, run=None, retain=False):
        properties = None
        if run is not None:
            properties = self.paho.Properties(self.paho.PacketTypes.PUBLISH)
            properties.UserProperty = ("run", run)
        self.waiting.append(self.client.publish(topic, payload, qos=1, retain=retain, properties=properties))
        if len(self.waiting) >= 200:
            self.drain()

    def drain(self):
        for message in self.waiting:
            message.wait_for_publish(30)
        self.waiting = []

    def close(self):
        self.drain()
        self.client.disconnect()
        self.client.loop_stop()


def collector_drain(folder, stands, messages):
    """``messages`` data blocks of ``stands`` stands queued in a collector's session, then taken by it:
    messages per second, and CPU seconds per message of the collector (its whole process)."""
    import json
    from vexlo_tools.mqtt import layout
    (folder / "broker").mkdir()
    broker = Mosquitto(folder / "broker").start()
    try:
        collector = Collector(Broker.from_url(broker.url), folder / "out", client_id="bench")
        collector.connect()  # the session exists: what follows is queued for it
        collector._connection.close()
        collector._connection = None
        feeder = Feeder(broker)
        counts = np.arange(BLOCK, dtype=np.uint32)
        per_stand = messages // stands
        for stand in range(stands):
            feeder.send(f"vexlo/bench{stand}/7/info", json.dumps(
                {"serial_number": 7, "samples_per_second": float(RATE), "start_utc": START}).encode(), retain=True)
        for n in range(per_stand):
            payload = layout.encode(n * BLOCK, counts, counts * 0.5)
            for stand in range(stands):
                feeder.send(f"vexlo/bench{stand}/7/data", payload, START)
        feeder.close()
        collector = Collector(Broker.from_url(broker.url), folder / "out", client_id="bench")
        stop = threading.Event()
        begin = (time.monotonic(), time.process_time())
        thread = threading.Thread(target=collector.run, args=(stop,))
        thread.start()
        wait_for(lambda: sum(t.samples for t in collector.tracks.values()) == stands * per_stand * BLOCK, 600)
        end = (time.monotonic(), time.process_time())
        stop.set()
        thread.join()
    finally:
        broker.kill()
    taken = stands * per_stand
    return taken / (end[0] - begin[0]), (end[1] - begin[1]) / taken


def writer_floor(folder, messages):
    """The floor of the collector: the same blocks decoded and appended by an HDF5 writer alone, CPU s per block."""
    from vexlo_tools.mqtt import layout
    from vexlo_tools.recording import open_writer
    from vexlo_tools.types import Block, Stats
    counts = np.arange(BLOCK, dtype=np.uint32)
    payloads = [layout.encode(n * BLOCK, counts, counts * 0.5) for n in range(messages)]
    begin = time.process_time()
    with open_writer(folder / "floor.h5", [{"samples_per_second": float(RATE)}]) as writer:
        for n, payload in enumerate(payloads):
            frame = layout.decode(payload)
            times = np.arange(frame.first, frame.first + BLOCK, dtype=np.float64) / RATE
            writer.append(0, Block(None, frame.first, times, frame.adc, frame.value, Stats()))
            if n % 5 == 0:
                writer.flush()
    return (time.process_time() - begin) / messages


def row_collector(counts=(1, 4, 16), messages=3200):
    lines = []
    with tempfile.TemporaryDirectory() as tmp:
        for n in counts:
            folder = Path(tmp) / f"n{n}"
            folder.mkdir()
            load = os.getloadavg()[0]
            rate, cpu_per_message = collector_drain(folder, n, messages)
            floor = writer_floor(folder, messages)
            # A stand sends 10 such messages a second: the collector's share of a core for one.
            share, floor_share = (100 * seconds * RATE / BLOCK for seconds in (cpu_per_message, floor))
            lines += [
                Line(41, f"collector, {n} stand{'s' if n > 1 else ''}, {messages:,} queued blocks of {BLOCK}: "
                     f"messages/s (load {load:.1f})", "messages/s", rate, None, None, "", None),
                Line(41, "  CPU per stand at 38400/s, 10 messages/s (reference: HDF5 writer alone)", "% of a core",
                     share, floor_share, floor_share / share, "", None),
            ]
    return lines


FLOOD = r"""
import sys, time, paho.mqtt.client as paho
sys.path.insert(0, sys.argv[3])
from vexlo_tools.mqtt import layout
client = paho.Client(paho.CallbackAPIVersion.VERSION2, protocol=paho.MQTTv5)
client.connect("127.0.0.1", int(sys.argv[1]))
client.loop_start()
end, sent, last = time.monotonic() + float(sys.argv[2]), 0, None
bad = [("vexlo/bench0/7/data", layout.encode(2**62, [1], [1e300])),
       ("vexlo/bench1/" + "x" * 300 + "/info", b"{}"),
       ("vexlo/bench0/7/info", b'{"start_utc": "../../x", "samples_per_second": 1}'),
       ("vexlo/evil/9/data", layout.encode(0, [1], [float("nan")])),
       ("vexlo/bench1/7/stats", b"not JSON")]
while time.monotonic() < end:
    topic, payload = bad[sent % len(bad)]
    last = client.publish(topic, payload, qos=1)
    sent += 1
    if sent % 200 == 0:
        last.wait_for_publish(30)
print(sent)
"""


def row_flood(stands=2, seconds=10):
    """Real stands (`vexlo publish`) while a client floods the broker with messages the collector refuses."""
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        (folder / "broker").mkdir()
        broker = Mosquitto(folder / "broker").start()
        collector = Collector(Broker.from_url(broker.url), folder / "out")
        stop = threading.Event()
        thread = threading.Thread(target=collector.run, args=(stop,))
        thread.start()
        publishers = []
        load = os.getloadavg()[0]
        try:
            assert collector.subscribed.wait(30)
            publishers = [vexlo("publish", "--broker", broker.url, "--stand", f"bench{i}",
                                *INSTRUMENT, "--seconds", str(seconds), state=folder / "state")
                          for i in range(stands)]
            wait_for(lambda: len(collector.files) == stands)
            flood = subprocess.run([sys.executable, "-c", FLOOD, str(broker.port), str(seconds - 2),
                                    str(HERE.parent / "python")], capture_output=True, text=True, check=True)
            for p in publishers:
                p.wait()
            wait_for(lambda: all(t.writer is None for t in collector.tracks.values() if t.samples), 120)
        finally:
            stop.set()
            thread.join()
            for p in publishers:
                p.kill()
            broker.kill()
        written = sum(t.samples for t in collector.tracks.values())
        complete = sum(1 for t in collector.tracks.values() if t.samples == RATE * seconds)
    lost = stands * RATE * seconds - written
    sent = int(flood.stdout)
    return [
        Line(42, f"{stands} stands x 38400/s, {seconds} s, beside a flood of {sent:,} refused messages "
             f"({sent / (seconds - 2):,.0f}/s; load {load:.1f}): samples lost", "samples", lost, None, None, "0",
             lost == 0),
        Line(42, f"  refused by the collector, of {sent:,} (the rest still held for an info when it stopped)",
             "messages", sum(collector.rejected.values()), sent, None, "", None),
        Line(42, "  stands whose file is whole", "stands", complete, stands, None, f"{stands}", complete == stands),
    ]


def row_publish_pty(seconds=20.0, window=12.0, repeats=3, stands=(1, 4)):
    """Row 40 with the simulator in its own process: `vexlo publish` of one PLX310 Plus Prime on a pty
    (its collector in this process), `vexlo collect` as a process of its own taking 1 and 4 such stands
    (per instrument, and per thread), and `vexlo serve` of it with nobody watching, against `vexlo
    record` .h5 of the same instrument, alternating, medians of the process CPU; the wake-ups a second
    of each process's threads in the last round. A 12 s window: /proc counts CPU in 10 ms ticks, and at
    about 1 % of a core a 5 s window holds five of them (the collector's threads are read from
    ``schedstat``, in nanoseconds)."""
    from acquisition import PLUS, served
    record, publish, serve = [], [], []
    collect = {n: [] for n in stands}
    threads = {}
    loads = [os.getloadavg()[0]]
    with tempfile.TemporaryDirectory() as tmp, served(*[PLUS] * max(stands)) as (paths, _):
        instruments = [["--port", path, "--rate", str(RATE)] for path in paths]
        for round in range(repeats):
            folder = Path(tmp) / f"r{round}"
            folder.mkdir()
            share, record_wakes, record_total = floor(folder, seconds, window, instruments[0], wakes=True)
            record.append(share)
            lost, (publisher, _, _), _, (publish_wakes, publish_total) = fleet(folder, 1, seconds, window,
                                                                              instruments[:1])
            publish.append(publisher)
            for n in stands:
                (folder / f"collect{n}").mkdir()
                share, threads[n] = collect_process(folder / f"collect{n}", instruments[:n], seconds, window)
                collect[n].append(share)
            share, serve_wakes, serve_total = serve_unwatched(window, instruments[0])
            serve.append(share)
            loads.append(os.getloadavg()[0])
    reference = statistics.median(record)
    load = f"load {min(loads):.2f} to {max(loads):.2f}"

    def against_record(label, shares, target):
        value = statistics.median(shares)
        return Line(40, label, "% of a core", value, reference, value / reference, f"<= {target}x",
                    value <= target * reference)

    lines = [against_record(f"pty (simulator in its own process), {window:g} s window, median of {repeats}: "
                            f"publisher vs vexlo record .h5; {load}", publish, 1.2)]
    for n in stands:
        lines += [against_record(f"pty: vexlo collect (a process), {n} stand{'s' if n > 1 else ''}, per instrument, "
                                 "vs vexlo record .h5", collect[n], 0.5),
                  Line(40, f"    its threads (main, MQTT client): {threads[n]}", "", None, None, None, "", None)]
    return lines + [
        against_record("pty: vexlo serve, nobody watching, vs vexlo record .h5", serve, 1.2),
        Line(40, f"  wake-ups a second: vexlo record ({record_wakes})", "per s", record_total, None, None, "", None),
        Line(40, f"  wake-ups a second: vexlo publish ({publish_wakes})", "per s", publish_total, record_total,
             publish_total / record_total, "", None),
        Line(40, f"  wake-ups a second: vexlo serve ({serve_wakes})", "per s", serve_total, record_total,
             serve_total / record_total, "", None)]


ROWS = {40: lambda args: row_fleet() + row_publish_pty(), 41: lambda args: row_collector(), 42: lambda args: row_flood()}


if __name__ == "__main__":
    from table import print_table
    if sys.argv[1:] == ["pty"]:
        print_table(row_publish_pty())
    else:
        print_table(row_fleet(*[tuple(int(c) for c in sys.argv[1].split(","))] if len(sys.argv) > 1 else []))

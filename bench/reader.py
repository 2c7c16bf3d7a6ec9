"""The acquisition's reader against a plain pyserial loop and a C read loop, and the latency from the line to read().

Rows 9 and 11 of ``bench/run.py``; also runs alone:

    PYTHONPATH=build/dev:python python bench/reader.py [--rows 9,11]

Instruments are PLX310 Plus Prime at 38,400 samples/s on pseudo-terminals
served by a helper process, so this process's CPU time is the reader's
(and its consumer's). Row 9: an ``Acquisition`` whose consumer calls
``read(0)`` once a second (patient: the reader reads at its slow pace)
against the plain loop a user would write (pyserial ``read(in_waiting)``
of every port every 10 ms, nothing converted), with the wake-ups of the
process's threads (voluntary context switches from ``/proc``); the floor is
a C loop compiled here (``cc``) and called through ctypes, one thread that
pauses as the patient reader does, polls every port and reads each once,
converting nothing. The old reader (through the module's
``get_stream_data``, with its pauses) runs in the same run beside them.
Row 11: a consumer waiting in ``read(timeout=1.0)`` (hurried: the reader
reads every few milliseconds).
"""

import argparse
import contextlib
import ctypes
import json
import logging
import os
import statistics
import subprocess
import sys
import tempfile
import time
from unittest import mock

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import vexlo_device_communication as vexlo  # noqa: E402
from vexlo_tools import Acquisition, _lowlevel, _reading  # noqa: E402
from vexlo_tools.devices import drain  # noqa: E402

from acquisition import HIGH_RATE, PLUS, open_plus, served, wakeups_of  # noqa: E402
from table import Line  # noqa: E402

C_LOOP = r"""
#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

struct job { const int* fds; int n; int pause_us; double seconds; long bytes; };

static double now(void) { struct timespec t; clock_gettime(CLOCK_MONOTONIC, &t); return t.tv_sec + t.tv_nsec * 1e-9; }

/* Pause, wait for any of the ports, read each that is ready once: the reader's steps without converting. */
static void* run(void* arg)
{
    struct job* job = arg;
    struct pollfd fds[64];
    char buffer[8190];
    for (int i = 0; i < job->n; ++i) { fds[i].fd = job->fds[i]; fds[i].events = POLLIN; }
    const double end = now() + job->seconds;
    while (now() < end)
    {
        struct timespec pause = {0, job->pause_us * 1000L};
        nanosleep(&pause, 0);
        if (poll(fds, job->n, 500) <= 0) continue;
        for (int i = 0; i < job->n; ++i)
            if (fds[i].revents) { long got = read(fds[i].fd, buffer, sizeof buffer); if (got > 0) job->bytes += got; }
    }
    return 0;
}

/* One thread per port (shared = 0) or one for all; returns the bytes read. */
long read_loop(const int* fds, int n, int shared, int pause_us, double seconds)
{
    struct job jobs[64];
    pthread_t threads[64];
    int count = shared ? 1 : n;
    for (int i = 0; i < count; ++i)
    {
        struct job job = {shared ? fds : fds + i, shared ? n : 1, pause_us, seconds, 0};
        jobs[i] = job;
        pthread_create(&threads[i], 0, run, &jobs[i]);
    }
    long bytes = 0;
    for (int i = 0; i < count; ++i) { pthread_join(threads[i], 0); bytes += jobs[i].bytes; }
    return bytes;
}
"""


@contextlib.contextmanager
def c_loop():
    """The C read loop, built in a scratch directory."""
    with tempfile.TemporaryDirectory() as scratch:
        source, library = os.path.join(scratch, "loop.c"), os.path.join(scratch, "loop.so")
        with open(source, "w") as out:
            out.write(C_LOOP)
        subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-pthread", source, "-o", library], check=True)
        loop = ctypes.CDLL(library).read_loop
        loop.argtypes = [ctypes.POINTER(ctypes.c_int), ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_double]
        loop.restype = ctypes.c_long
        yield loop


def run_c_loop(loop, devices, shared, seconds, pause=_reading.READ_PAUSE_SECONDS):
    """Stream from ``devices`` and read them with the C loop; return (CPU % of a core, bytes read)."""
    for device in devices:
        device.set_sampling_rate_value(15, 0)
        device.set_stream_state(True)
    try:
        fds = [_lowlevel.port_descriptor(device) for device in devices]
        began, cpu = time.monotonic(), time.process_time()
        got = loop((ctypes.c_int * len(fds))(*fds), len(fds), int(shared),
                   round(pause * 1e6), seconds)
        wall, cpu = time.monotonic() - began, time.process_time() - cpu
    finally:
        for device in devices:
            device.set_stream_state(False)
        for device in devices:
            drain(device.get_stream_data, 0.3)  # until silent: the next run starts on a clean line
    return 100 * cpu / wall, got


def wakeups():
    """Times the threads of this process have gone to sleep so far (each sleep is a wake-up to come)."""
    return sum(wakeups_of().values())


def run_acquisition(devices, seconds, through_module=False, warm_up=0.5, every=1.0):
    """An acquisition read every ``every`` s with read(0); return (CPU % of a core, wake-ups a second,
    samples received, samples lost)."""
    with contextlib.ExitStack() as stack:
        if through_module:  # the reader before: the module's get_stream_data between pauses
            stack.enter_context(mock.patch.object(_lowlevel, "port_descriptor", lambda device: None))
        with Acquisition(devices, rate=HIGH_RATE) as acq:
            time.sleep(warm_up)
            taken = sum(len(b) for b in acq.read(timeout=0))
            before = acq.stats()
            began, cpu, woken = time.monotonic(), time.process_time(), wakeups()
            while time.monotonic() - began < seconds:
                time.sleep(every)
                taken += sum(len(b) for b in acq.read(timeout=0))
            wall, cpu, woken = time.monotonic() - began, time.process_time() - cpu, wakeups() - woken
            after = acq.stats()
        taken += sum(len(b) for b in acq.read(timeout=0))
    # Every sample received and not dropped for room was handed out, once.
    if taken != sum(s.received - s.overrun for s in acq.stats()):
        sys.exit(f"the acquisition handed out {taken} samples: {acq.stats()}")
    received = sum(a.received - b.received for a, b in zip(after, before))
    lost = sum(a.overrun + a.missing - b.overrun - b.missing for a, b in zip(after, before))
    return 100 * cpu / wall, woken / wall, received, lost


def run_pyserial_loop(devices, seconds, every=0.01):
    """The plain loop: every ``every`` s, each port's pyserial ``read(in_waiting)``, nothing converted;
    return (CPU % of a core, wake-ups a second)."""
    for device in devices:
        device.set_sampling_rate_value(15, 0)
        device.set_stream_state(True)
    ports = [device.communication_interface.serial_connection for device in devices]
    try:
        began, cpu, woken = time.monotonic(), time.process_time(), wakeups()
        while time.monotonic() - began < seconds:
            time.sleep(every)
            for port in ports:
                port.read(port.in_waiting)
        wall, cpu, woken = time.monotonic() - began, time.process_time() - cpu, wakeups() - woken
    finally:
        for device in devices:
            device.set_stream_state(False)
        for device in devices:
            drain(device.get_stream_data, 0.3)  # until silent: the next run starts on a clean line
    return 100 * cpu / wall, woken / wall


def row_cpu(counts=(1, 2, 4, 8), seconds=5.0):
    lines = []
    with c_loop() as loop:
        for n in counts:
            with served(*[PLUS] * n) as (paths, _):
                devices = open_plus(paths)
                try:
                    load = os.getloadavg()[0]
                    native, native_woken, received, lost = run_acquisition(devices, seconds)
                    plain, plain_woken = run_pyserial_loop(devices, seconds)
                    # The same steps in C at the reader's patient pace: what pausing costs on this machine.
                    pause = min(_reading.longest_pause(HIGH_RATE * 3) for _ in devices)
                    shared, _ = run_c_loop(loop, devices, True, seconds, pause)
                    module, _, _, module_lost = run_acquisition(devices, seconds, through_module=True)
                finally:
                    for device in devices:
                        device.disconnect()
            lines += [
                Line(9, f"reader CPU, {n} PLX310 at 38400/s over ptys, {seconds:g} s (load {load:.1f}): "
                        f"Acquisition read(0) once a second vs pyserial read(in_waiting) every 10 ms",
                     # The target is one instrument's: the plain loop converts nothing, and conversion
                     # grows with the instruments.
                     "% of a core", native, plain, native / plain, "<= 0.5x" if n == 1 else "",
                     native <= 0.5 * plain if n == 1 else None),
                Line(9, "  wake-ups of the process's threads: the same", "per s", native_woken, plain_woken,
                     native_woken / plain_woken, "", None),
                Line(9, f"  the same: vs C poll+read loop, one thread, {pause * 1e3:.1f} ms pause (floor)",
                     "% of a core", native, shared, native / shared, "", None),
                Line(9, f"  the same: vs the reader through the module's get_stream_data ({module_lost} lost)",
                     "% of a core", native, module, native / module, "", None),
                Line(9, f"  samples lost by the Acquisition (of {received + lost})", "samples", lost, None, None,
                     "0", lost == 0),
            ]
    return lines


# --- Row 11: from the simulator's write to read() --------------------------------------------


def serve_timed():
    """Serve one instrument on a pty; on end of stdin, print when each write put stream samples on the line."""
    from vexlo_tools.sim import PtyServer, SimulatedInstrument

    log = []

    class Timed(PtyServer):
        def _send(self, port, now):
            before = port.instrument.samples_sent
            super()._send(port, now)
            if port.instrument.samples_sent != before and not port.pending:
                log.append((time.monotonic(), port.instrument.samples_sent))

    with Timed([SimulatedInstrument.plx310_plus_prime(with_teds=False)]) as (path,):
        print(path, flush=True)
        sys.stdin.read()
    print(json.dumps(log), flush=True)


def latencies(seconds, through_module=False):
    """Seconds from the write of each block's oldest sample by the simulator to the read() that returned it."""
    server = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve-timed"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        path = server.stdout.readline().strip()
        [device] = open_plus([path])
        taken = []
        with contextlib.ExitStack() as stack:
            if through_module:
                stack.enter_context(mock.patch.object(_lowlevel, "port_descriptor", lambda device: None))
            with Acquisition([device], rate=HIGH_RATE) as acq:
                began = time.monotonic()
                while time.monotonic() - began < seconds:
                    for block in acq.read(timeout=1.0):
                        if len(block):
                            taken.append((block.first_index, time.monotonic()))
        device.disconnect()
        server.stdin.close()
        log = json.loads(server.stdout.readline())
    finally:
        server.terminate()
        server.wait()
    waits, at = [], 0
    for first, read_at in taken:
        while at < len(log) and log[at][1] <= first:
            at += 1
        if at < len(log):
            waits.append(read_at - log[at][0])
    return waits[len(waits) // 10:]  # past the start


def row_latency(seconds=5.0):
    load = os.getloadavg()[0]
    native = latencies(seconds)
    module = latencies(seconds, through_module=True)

    def p(waits, q):
        return 1e3 * statistics.quantiles(waits, n=100)[q - 1]

    return [
        Line(11, f"simulator's write to read(), 1 PLX310 at 38400/s, {seconds:g} s (load {load:.1f}): p50, "
                 "Acquisition vs the reader through the module", "ms", p(native, 50), p(module, 50),
             p(module, 50) / p(native, 50), "", None),
        Line(11, f"  the same, p99 ({len(native)} and {len(module)} blocks)", "ms", p(native, 99), p(module, 99),
             p(module, 99) / p(native, 99), "<= 5 ms", p(native, 99) <= 5.0),
    ]


ROWS = {
    9: lambda args: row_cpu(),
    11: lambda args: row_latency(),
}


def main(argv=None):
    from table import print_rows

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", default=",".join(map(str, ROWS)), help="rows to run, e.g. 9")
    parser.add_argument("--serve-timed", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.serve_timed:
        return serve_timed()
    vexlo.logger.setLevel(logging.CRITICAL)
    print_rows(ROWS, args.rows, args)


if __name__ == "__main__":
    main()

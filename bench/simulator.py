"""How fast the simulator makes stream samples, beside the rate it must keep up with.

    PYTHONPATH=build/dev:python python bench/simulator.py       # in-place build
    .venv/bin/python bench/simulator.py --seconds 2 --rounds 5  # installed build

A PLX310 Plus Prime at 38,400 samples/s (its highest rate, three-byte
packets) streams SECONDS of virtual time in steps of 10 ms, as a
pseudo-terminal server pulls it; each row is the median of ROUNDS, run in
alternation. The floor is real time: a row above 1.0 x makes samples
faster than the instrument sends them, so a server keeps up on one core.

- function: a plain function of time (a sine), as before load signals had shapes;
- composed: a sine on an offset with mains hum, drift and noise, added up;
- replay: a recording of the same length streamed again.
"""

import argparse
import math
import statistics
import time

import numpy as np

from vexlo_tools.sim import Replay, SimulatedInstrument, load_signal

RATE = 38400.0


def composed():
    return (load_signal("sine", offset=200.0, amplitude=300.0, frequency=2.0) + load_signal("hum", amplitude=1.0)
            + load_signal("drift", rate=0.1, deviation=0.5, seed=1) + load_signal("noise", deviation=2.0, seed=2))


def replay(seconds):
    times = np.arange(int(seconds * RATE)) / RATE
    return Replay(times, 300.0 * np.sin(2.0 * math.pi * 2.0 * times), RATE)


def seconds_to_stream(signal, seconds):
    instrument = SimulatedInstrument.plx310_plus_prime(with_teds=False)
    instrument.profiles[0].sampling_rate_code = 15
    instrument.set_load_signal(signal)
    instrument.start_streaming(0.0)
    start = time.perf_counter()
    sent = sum(len(instrument.transmit(step * 0.01)) for step in range(1, int(seconds * 100) + 1))
    elapsed = time.perf_counter() - start
    assert sent == 3 * int(seconds * RATE), sent
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2.0, help="virtual seconds streamed per round")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    rows = {"function": lambda: (lambda t: 300.0 * math.sin(2.0 * math.pi * 2.0 * t)),
            "composed": composed, "replay": lambda: replay(args.seconds)}
    times = {name: [] for name in rows}
    for _ in range(args.rounds):
        for name, make in rows.items():
            times[name].append(seconds_to_stream(make(), args.seconds))
    print(f"{'row':<10} {'samples/s':>12} {'x real time':>12}")
    for name, measured in times.items():
        rate = args.seconds * RATE / statistics.median(measured)
        print(f"{name:<10} {rate:>12,.0f} {rate / RATE:>11.2f}x")


if __name__ == "__main__":
    main()

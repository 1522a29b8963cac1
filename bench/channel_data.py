#!/usr/bin/env python3
"""Channel data through the Python package: the case of BM_ChannelsPlaneWaves end to end.

A 128-element linear array (0.27 x 5 mm, kerf 0.03 mm, 1 x 5), 5 plane waves
from -10 to +10 degrees, 10,000 scatterers in x +-19 mm, y +-2 mm, z 5 to
60 mm, fs 100 MHz, a 5 MHz Gaussian impulse response of 20% bandwidth (2.3
us), one cycle of excitation. Prints, for the given threads:

- the rates of Simulator.channel_data and of calc_scat_multi with the
  transmit delays set by hand (scatterer-element-transmit triples per
  second, rounds interleaved in one process) and their ratio;
- the peak resident memory channel_data adds, measured in a fresh process,
  against the size of its result.

    PYTHONPATH=build/release/python python3 bench/channel_data.py [THREADS] [ROUNDS]
"""

import subprocess
import sys
import time

import numpy as np

import sonvar
from sonvar import pulses, sequence


def case(threads):
    sim = sonvar.Simulator(fs=100e6, threads=threads)
    probe = sim.linear_array(128, 0.27e-3, 5e-3, 0.03e-3, 1, 5)
    probe.impulse(pulses.gaussian_pulse(5e6, 0.2, sim.fs))
    probe.excitation(pulses.sine_burst(5e6, 1, sim.fs, window=None))
    rng = np.random.default_rng(2025)
    n = 10000
    points = np.column_stack([rng.uniform(-19e-3, 19e-3, n), rng.uniform(-2e-3, 2e-3, n),
                              rng.uniform(5e-3, 60e-3, n)])
    amplitudes = rng.normal(size=n)
    waves = sequence.plane_waves(probe, np.radians([-10, -5, 0, 5, 10]))
    return sim, probe, waves, points, amplitudes


def multi(sim, probe, waves, points, amplitudes):
    """calc_scat_multi of every transmit, delays and weights set by hand, receive unfocused."""
    tx = sim.linear_array(128, 0.27e-3, 5e-3, 0.03e-3, 1, 5)
    rx = sim.linear_array(128, 0.27e-3, 5e-3, 0.03e-3, 1, 5)
    for ap in (tx, rx):
        ap.impulse(probe.impulse_response)
        ap.excitation(probe.excitation_signal)
    rx.focus_times(np.zeros(128))
    for t in waves:
        tx.focus_times(t.delays)
        tx.apodization(t.apodization)
        sim.calc_scat_multi(tx, rx, points, amplitudes)


def rss():
    values = {}
    with open("/proc/self/status") as status:
        for line in status:
            key, value = line.split(":", 1)
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(value.split()[0]) * 1024
    return values["VmRSS"], values["VmHWM"]


def memory(threads):
    """Peak resident memory channel_data adds, and its result's size, bytes (this process)."""
    sim, probe, waves, points, amplitudes = case(threads)
    sim.channel_data(probe, waves, points[:10], amplitudes[:10])  # load everything once
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the peak restarts from the current size
    base, _ = rss()
    data = sim.channel_data(probe, waves, points, amplitudes).data
    return rss()[1] - base, data.nbytes


def main(argv):
    threads = int(argv[1]) if len(argv) > 1 else 2
    rounds = int(argv[2]) if len(argv) > 2 else 2
    if len(argv) > 3 and argv[3] == "memory":
        print(*memory(threads))
        return
    sim, probe, waves, points, amplitudes = case(threads)
    triples = len(points) * 128 * len(waves)
    own, other = [], []
    for _ in range(rounds):
        start = time.perf_counter()
        sim.channel_data(probe, waves, points, amplitudes)
        own.append(time.perf_counter() - start)
        start = time.perf_counter()
        multi(sim, probe, waves, points, amplitudes)
        other.append(time.perf_counter() - start)
    a, b = min(own), min(other)
    print(f"threads {threads}: channel_data {triples / a:,.0f} /s, calc_scat_multi "
          f"{triples / b:,.0f} /s, ratio {b / a:.2f} (best of {rounds} interleaved rounds)")
    done = subprocess.run([sys.executable, __file__, str(threads), "1", "memory"],
                          capture_output=True, text=True, check=True)
    peak, size = (int(v) for v in done.stdout.split())
    print(f"threads {threads}: peak memory added {peak / 1e6:.1f} MB for a result of "
          f"{size / 1e6:.1f} MB: {peak / size:.3f} x the result")


if __name__ == "__main__":
    main(sys.argv)

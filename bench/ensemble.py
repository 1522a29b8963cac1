#!/usr/bin/env python3
"""An ensemble against the same number of independent channel-data calls.

The case: a 64-element 5 MHz linear array, 3 plane waves (-10, 0, 10 degrees) repeated over
8 frames at a PRF of 5 kHz, on a vessel phantom (parabolic flow at 0.5 m/s, 60 degrees to
the beam) in static tissue, fs 40 MHz. Each round times `Simulator.ensemble` and then one
`Simulator.channel_data` call per transmit and frame with the scatterers where the phantom
has them at that emission (rounds interleaved in one process), and prints both times and
their ratio (ensemble / independent calls; below 1: the ensemble costs less). With `moving`
every scatterer moves (the tissue too, at 0.1 m/s towards the probe): no static echoes to
share.

    PYTHONPATH=build/release/python python3 bench/ensemble.py [THREADS] [ROUNDS] [FRAMES] [moving]
"""

import os
import sys
import time

import numpy as np

import sonvar
from sonvar import motion, pulses, sequence


def case(threads, frames, all_moving=False):
    sim = sonvar.Simulator(fs=40e6, threads=threads)
    probe = sim.linear_array(64, 0.27e-3, 4e-3, 0.03e-3)
    probe.impulse(pulses.gaussian_pulse(5e6, 0.6, sim.fs))
    probe.excitation(pulses.sine_burst(5e6, 1, sim.fs))
    waves = sequence.plane_waves(probe, np.radians([-10.0, 0.0, 10.0]), prf=5e3)
    axis = (np.sin(np.radians(60)), 0.0, -np.cos(np.radians(60)))
    vessel = motion.vessel((-8e-3, 8e-3), (-1e-3, 1e-3), (12e-3, 28e-3), center=(0, 0, 20e-3),
                           axis=axis, radius=3e-3, peak_velocity=0.5, count=6000, rng=1)
    if all_moving:
        start = vessel.at(0.0)
        vessel = motion.constant_velocity(start.points, start.amplitudes, [0.0, 0.0, -0.1])
    return sim, probe, waves, vessel, frames


def ensemble(sim, probe, waves, vessel, frames):
    return sim.ensemble(probe, waves, vessel, frames)


def independent(sim, probe, waves, vessel, frames):
    for f in range(frames):
        for w, t in enumerate(waves):
            at = vessel.at((f * len(waves) + w) / waves.prf)
            sim.channel_data(probe, sequence.Sequence([t]), at.points, at.amplitudes)


def main(argv):
    threads = int(argv[1]) if len(argv) > 1 else 2
    rounds = int(argv[2]) if len(argv) > 2 else 3
    frames = int(argv[3]) if len(argv) > 3 else 8
    args = case(threads, frames, all_moving=len(argv) > 4 and argv[4] == "moving")
    ratios = []
    for r in range(rounds):
        start = time.perf_counter()
        ensemble(*args)
        middle = time.perf_counter()
        independent(*args)
        end = time.perf_counter()
        ratios.append((middle - start) / (end - middle))
        print(f"round {r + 1}: ensemble {middle - start:.2f} s, independent calls "
              f"{end - middle:.2f} s, ratio {ratios[-1]:.3f}")
    print(f"{threads} thread(s), {frames} frames x {len(args[2])} transmits, "
          f"{len(args[3].static)} static and {len(args[3]) - len(args[3].static)} moving "
          f"scatterers: ratio best {min(ratios):.3f}, median {np.median(ratios):.3f}; "
          f"load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main(sys.argv)

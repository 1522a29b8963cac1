#!/usr/bin/env python3
"""Plane-wave channel data of a point-and-cyst phantom: a UFF file and a compounded B-mode image.

A 128-element 5 MHz linear array fires 5 plane waves from -10 to +10
degrees; every element records the echoes of a speckle phantom with an
anechoic cyst and three point targets. The channel data go to a UFF file
that USTB (or sonvar.uff.read) opens: sample k of transmit w lies at
initial_time + k / fs after the moment the wavefront passes (0, 0, 0), and
the echo of p on element r peaks at w.time_of_flight(p) + |p - r| / c.
The five waves are then demodulated to IQ, beamformed by delay-and-sum and
compounded, and the B-mode image goes to a PNG (axes in mm, dB colour bar).

    python3 plane_wave_channel_data.py [--quick] [--output plane_waves.uff]
                                       [--image plane_waves.png]

--quick uses 32 elements and a small phantom (the test command runs it).
"""

import argparse

import numpy as np

import sonvar
from sonvar import beamform, display, phantom, pulses, sequence, uff


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a small array and phantom")
    parser.add_argument("--output", default="plane_waves.uff", help="UFF file to write")
    parser.add_argument("--image", default="plane_waves.png", help="B-mode PNG to write")
    args = parser.parse_args(argv)
    elements, count = (32, 500) if args.quick else (128, 20000)
    half = elements * 0.3e-3 / 2

    sim = sonvar.Simulator(fs=50e6)
    probe = sim.linear_array(elements, 0.27e-3, 5e-3, 0.03e-3, no_sub_y=5)
    probe.impulse(pulses.gaussian_pulse(5e6, 0.6, sim.fs))
    probe.excitation(pulses.sine_burst(5e6, 1, sim.fs))
    waves = sequence.plane_waves(probe, np.radians(np.linspace(-10, 10, 5)), prf=5000)
    targets = [(-half / 2, 0, 15e-3), (0, 0, 25e-3), (half / 2, 0, 35e-3)]
    ph = phantom.speckle(count, (-half, half), (-2e-3, 2e-3), (10e-3, 40e-3), rng=1)
    ph = ph.with_cyst((0, 0, 20e-3), 3e-3).with_points(targets, 20.0)

    data = sim.channel_data(probe, waves, ph.points, ph.amplitudes)
    uff.write(args.output, data)
    print(f"{args.output}: {len(waves)} plane waves x {elements} channels x "
          f"{data.samples} samples from {data.initial_time * 1e6:.2f} us, {len(ph)} scatterers")

    grid = beamform.CartesianGrid(x=np.arange(-half, half, 0.1e-3), z=np.arange(8e-3, 42e-3, 5e-5))
    image = beamform.das(data, grid, f_number=1.5, iq=True)  # demodulated, compounded
    bmode = display.bmode(image, dynamic_range=50)

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    mm = (bmode.x[0] * 1e3, bmode.x[-1] * 1e3, bmode.z[-1] * 1e3, bmode.z[0] * 1e3)
    plt.figure(figsize=(5, 6.5))
    plt.colorbar(plt.imshow(bmode.db, cmap="gray", vmin=-50, vmax=0, extent=mm), label="dB")
    plt.xlabel("x [mm]"), plt.ylabel("z [mm]"), plt.title("5 plane waves compounded")
    plt.savefig(args.image, dpi=90)
    print(f"{args.image}: B-mode of {grid.shape[1]} x {grid.shape[0]} pixels")
    return dict(data=data, targets=np.array(targets), path=args.output, bmode=bmode)


if __name__ == "__main__":
    main()

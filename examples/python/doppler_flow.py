#!/usr/bin/env python3
"""Colour Doppler of parabolic flow in a vessel at 60 degrees to the beam.

A 5 MHz linear array fires one plane wave steered 10 degrees, 16 times at a
PRF of 5 kHz, over a vessel of 3 mm radius whose axis lies 60 degrees from
the depth axis, with a parabolic (Poiseuille) profile of 0.5 m/s on the
axis; the static tissue around it echoes 20 dB above the blood. The phantom
is a thin slab in elevation (the image plane), so that the profile is not
averaged across the vessel's depth in y. The ensemble (samples x channels x
1 transmit x 16 frames) goes to a UFF file with its PRF; every frame is
demodulated to IQ and beamformed by delay-and-sum, and sonvar.doppler
estimates the velocity along the bisector of the transmit and receive
directions (lag-one autocorrelation with the local mean frequency, after a
polynomial-regression clutter filter), and the power with its mask.

The figure shows the velocity over the B-mode image and the estimated
profile across the vessel against the true one projected on the bisector.

    python3 doppler_flow.py [--quick] [--output doppler_flow.uff]
                            [--image doppler_flow.png]

--quick uses 64 elements and a smaller phantom (the test command runs it).
"""

import argparse
import time

import numpy as np

import sonvar
from sonvar import beamform, display, doppler, motion, pulses, sequence, uff

F0, PRF, FRAMES, PEAK, RADIUS = 5e6, 5e3, 16, 0.5, 3e-3
ANGLE, STEER = np.radians(60), np.radians(-10)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a small array and phantom")
    parser.add_argument("--output", default="doppler_flow.uff", help="UFF file to write")
    parser.add_argument("--image", default="doppler_flow.png", help="PNG to write")
    args = parser.parse_args(argv)
    elements, half_x, half_z = (64, 5e-3, 5e-3) if args.quick else (128, 12e-3, 10e-3)
    depth = 20e-3

    sim = sonvar.Simulator(fs=40e6)
    probe = sim.linear_array(elements, 0.27e-3, 4e-3, 0.03e-3)
    probe.impulse(pulses.gaussian_pulse(F0, 0.6, sim.fs))
    probe.excitation(pulses.sine_burst(F0, 1, sim.fs))
    weights = tukey(elements)  # a tapered aperture: weak edge waves
    waves = sequence.plane_waves(probe, [STEER], apodization=weights, prf=PRF)
    # The axis rises towards +x: the flow along it comes towards the probe.
    axis = np.array([np.sin(ANGLE), 0.0, -np.cos(ANGLE)])
    vessel = motion.vessel((-half_x, half_x), (-0.1e-3, 0.1e-3),
                           (depth - half_z, depth + half_z), center=(0, 0, depth), axis=axis,
                           radius=RADIUS, peak_velocity=PEAK, profile="parabolic",
                           count=int(270e9 * 4 * half_x * half_z * 0.2e-3), rng=7)

    start = time.perf_counter()
    data = sim.ensemble(probe, waves, vessel, FRAMES)
    simulated = time.perf_counter() - start
    uff.write(args.output, data)
    print(f"{args.output}: {FRAMES} frames x {len(waves)} transmit x {elements} channels x "
          f"{data.samples} samples at a PRF of {data.prf:g} Hz, {len(vessel.static)} tissue and "
          f"{len(vessel) - len(vessel.static)} blood scatterers, simulated in {simulated:.1f} s")

    grid = beamform.CartesianGrid(x=np.arange(-half_x + 1e-3, half_x - 1e-3 + 1e-9, 0.1e-3),
                                  z=np.arange(depth - half_z + 1e-3, depth + half_z - 1e-3 + 1e-9,
                                              0.05e-3))
    frames = beamform.das(data, grid, f_number=1.5, window="hanning", iq=True,
                          modulation_frequency=F0)
    k = doppler.bisector(grid.points(), waves, data.element_positions, f_number=1.5)
    maps = doppler.estimate(frames, len(waves) / PRF, data.sound_speed, clutter="polynomial",
                            order=2, kernel=(9, 3), threshold=-20.0, bisector=k)

    # The true velocity at each pixel, projected on its bisector; pixels well inside the vessel.
    points = grid.points()
    truth = np.einsum("zxi,zxi->zx", vessel.velocity(points.reshape(-1, 3)).reshape(points.shape),
                      k.direction)
    d = points - vessel.center
    rho = np.linalg.norm(d - (d @ axis)[..., None] * axis, axis=-1)
    core = rho <= 0.8 * RADIUS
    peak = float(np.abs(truth).max())
    rms = float(np.sqrt(np.mean((maps.velocity[core] - truth[core]) ** 2)))
    print(f"velocity within 0.8 of the radius: RMS error {rms * 1e3:.1f} mm/s = "
          f"{100 * rms / peak:.2f} % of the projected peak {peak:.3f} m/s; aliasing limit "
          f"{maps.aliasing_velocity:.3f} m/s; {int(maps.mask.sum())} of {maps.mask.size} pixels "
          "masked")

    bmode = display.bmode(beamform.Image(frames.data[0], grid, ("z", "x")), dynamic_range=50)
    _figure(args.image, maps, bmode, truth, rho, core)
    print(f"{args.image}: velocity over the B-mode of {grid.shape[1]} x {grid.shape[0]} pixels")
    return dict(data=data, vessel=vessel, maps=maps, truth=truth, core=core, rms=rms,
                peak=peak, grid=grid, frames=frames, bisector=k)


def tukey(n, alpha=0.5):
    """Tukey window over n elements: flat in the middle, cosine tapers over alpha of it."""
    u = np.abs(np.linspace(-1, 1, n))
    edge = np.clip((u - (1 - alpha)) / alpha, 0, 1)
    return 0.5 + 0.5 * np.cos(np.pi * edge)


def _figure(path, maps, bmode, truth, rho, core):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 5))
    doppler.plot(maps, bmode, ax=left, title=f"{FRAMES} frames at {PRF / 1e3:g} kHz, "
                                             f"aliasing at {maps.aliasing_velocity:.2f} m/s")
    # The profile across the vessel: the pixels binned by their distance from its axis.
    inside = rho <= RADIUS
    bins = np.linspace(0, RADIUS, 11)
    which = np.digitize(rho[inside], bins) - 1
    centres = (bins[:-1] + bins[1:]) / 2
    estimated = [maps.velocity[inside][which == b].mean() for b in range(10)]
    true = [truth[inside][which == b].mean() for b in range(10)]
    right.plot(centres * 1e3, true, "k-", label="true, on the bisector")
    right.plot(centres * 1e3, estimated, "o", label="estimated")
    right.axvline(0.8 * RADIUS * 1e3, color="gray", ls=":", lw=0.8)
    right.set_xlabel("distance from the vessel's axis [mm]")
    right.set_ylabel("velocity towards the probe [m/s]")
    right.legend()
    right.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


if __name__ == "__main__":
    main()

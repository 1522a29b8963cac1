#!/usr/bin/env python3
"""Emitted pressure peak map of a 128-element linear array focused at 20 mm.

Computes the peak of hp at every point of an x-z grid in the plane y = 0
(Simulator.field_map: each point's signal is reduced inside the library)
and plots the map in dB with its lateral profile at the focal depth and its
axial profile on the axis. Writes beam_map.png.

    python3 beam_map.py [--quick] [--output beam_map.png]
"""

import argparse
import time

import numpy as np

import sonvar
from sonvar import field, pulses

F0 = 5e6  # centre frequency, Hz
FOCUS = 0.02  # transmit focus, m


def simulate(quick=False, threads=None):
    """The peak map and its profiles; lengths in m.

    Returns a dict: x, z (grid axes), peak (nz, nx), lateral and axial
    profiles, the -6 dB beam width at the focus, the depth of field, and
    the time of the calculation, s.
    """
    sim = sonvar.Simulator(fs=100e6, threads=threads)
    wavelength = sim.c / F0
    width, kerf = wavelength / 2 - 0.02e-3, 0.02e-3  # half-wavelength pitch
    probe = sim.linear_array(128, width, 5e-3, kerf, no_sub_x=1, no_sub_y=1 if quick else 5,
                             focus=(0, 0, FOCUS))
    probe.impulse(pulses.gaussian_pulse(F0, 0.6, sim.fs))
    probe.excitation(pulses.sine_burst(F0, 2, sim.fs))
    probe.apodization(np.hanning(130)[1:-1])  # Hanning without its zero ends
    step = 0.2e-3 if quick else 0.1e-3
    x = np.arange(-10e-3, 10e-3 + step / 2, step)
    z = np.arange(2e-3, 40e-3 + step / 2, step)
    xx, zz = np.meshgrid(x, z)
    points = np.stack([xx, np.zeros(xx.shape), zz], axis=-1)  # (len(z), len(x), 3)
    start = time.perf_counter()
    beam = sim.field_map(probe, points, reduce="peak")
    seconds = time.perf_counter() - start
    peak = field.peak(beam)
    focal_row = int(np.argmin(np.abs(z - FOCUS)))
    lateral = peak[focal_row]
    axial = peak[:, int(np.argmin(np.abs(x)))]
    return {
        "x": x, "z": z, "peak": peak, "lateral": lateral, "axial": axial,
        "beam_width": field.beam_width(lateral, x),
        "depth_of_field": field.depth_of_field(axial, z),
        "aperture_width": 128 * (width + kerf), "wavelength": wavelength,
        "points": peak.size, "seconds": seconds,
    }


def plot(result, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    x_mm, z_mm = result["x"] * 1e3, result["z"] * 1e3
    peak_db = 20 * np.log10(result["peak"] / result["peak"].max())
    fig = plt.figure(figsize=(11, 5))
    grid = fig.add_gridspec(2, 2, width_ratios=(1.3, 1))
    ax = fig.add_subplot(grid[:, 0])
    im = ax.imshow(np.maximum(peak_db, -40), extent=(x_mm[0], x_mm[-1], z_mm[-1], z_mm[0]),
                   cmap="inferno", aspect="auto", vmin=-40, vmax=0)
    ax.set_xlabel("lateral x [mm]")
    ax.set_ylabel("depth z [mm]")
    ax.set_title("peak emitted pressure, focus at 20 mm")
    fig.colorbar(im, ax=ax, label="dB re maximum")
    lat = fig.add_subplot(grid[0, 1])
    lat.plot(x_mm, 20 * np.log10(result["lateral"] / result["lateral"].max()))
    lat.axhline(-6, color="grey", lw=0.8, ls="--")
    lat.set_ylim(-40, 1)
    lat.set_xlabel("lateral x [mm] at z = 20 mm")
    lat.set_ylabel("dB")
    lat.set_title(f"-6 dB beam width {result['beam_width'] * 1e3:.2f} mm")
    axl = fig.add_subplot(grid[1, 1])
    axl.plot(z_mm, 20 * np.log10(result["axial"] / result["axial"].max()))
    axl.axhline(-6, color="grey", lw=0.8, ls="--")
    axl.set_ylim(-30, 1)
    axl.set_xlabel("depth z [mm] at x = 0")
    axl.set_ylabel("dB")
    start, end, _ = result["depth_of_field"]
    axl.set_title(f"-6 dB depth of field {start * 1e3:.1f} to {end * 1e3:.1f} mm")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="coarser grid, one sub-row")
    parser.add_argument("--output", default="beam_map.png", help="PNG file to write")
    args = parser.parse_args(argv)
    result = simulate(quick=args.quick)
    plot(result, args.output)
    start, end, length = result["depth_of_field"]
    print(f"hp at {result['points']} points in {result['seconds']:.1f} s")
    print(f"-6 dB beam width at 20 mm: {result['beam_width'] * 1e3:.3f} mm")
    print(f"-6 dB depth of field: {start * 1e3:.1f} to {end * 1e3:.1f} mm")
    print(f"wrote {args.output}")
    return result


if __name__ == "__main__":
    main()

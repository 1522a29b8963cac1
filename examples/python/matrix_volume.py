#!/usr/bin/env python3
"""A volume from a matrix array: point targets imaged with compounded plane waves.

A 32 x 32-element 5 MHz matrix array (pitch 0.3 mm) sends plane waves steered in
azimuth and elevation; the simulator computes every element's echoes of a few
point targets (the transmit delays of each wave set by hand, no receive
focusing). The channel data are demodulated to IQ, beamformed onto a 3-D grid
by delay-and-sum and compounded, and the B-mode volume is shown as three
orthogonal slices through the brightest target in matrix_volume.png. The
script reports where each target appears.

    python3 matrix_volume.py [--quick] [--output matrix_volume.png]

--quick uses a 20 x 20-element array, five waves and a coarser volume.
"""

import argparse
import time

import numpy as np

import sonvar
from sonvar import beamform, display, pulses

F0 = 5e6  # centre frequency, Hz
C = 1540.0  # m/s
FS = 40e6  # Hz


def setup(quick):
    """Array size, plane-wave angles (azimuth, elevation), targets and the volume: pixels
    across x and y within +-extent, depths every 0.1 mm."""
    if quick:
        angles = [(0, 0), (-0.1, 0), (0.1, 0), (0, -0.1), (0, 0.1)]
        return dict(elements=20, angles=angles, pixels=33, extent=2.4e-3, depths=(6e-3, 13e-3),
                    slices=(0.0, 0.0, 10e-3),
                    targets=[(0, 0, 8e-3), (1.2e-3, 0, 10e-3), (0, -1.05e-3, 10e-3),
                             (-0.9e-3, 0.9e-3, 10e-3)])
    angles = [(a, e) for a in (-0.12, 0, 0.12) for e in (-0.12, 0, 0.12)]
    return dict(elements=32, angles=angles, pixels=65, extent=4e-3, depths=(6e-3, 20e-3),
                slices=(0.0, 0.0, 12e-3),
                targets=[(0, 0, 8e-3), (2e-3, 0, 12e-3), (0, -2e-3, 12e-3),
                         (-1.5e-3, 1.5e-3, 12e-3), (0, 0, 16e-3), (-2e-3, 0, 16e-3)])


def channel_data(size, targets):
    """Echoes on every element for each plane wave, on the wave's own clock (time zero when
    the wavefront passes the array centre), with the pulse's lag as each wave's delay."""
    sim = sonvar.Simulator(fs=FS, c=C)
    impulse = pulses.gaussian_pulse(F0, 0.6, FS)
    excitation = pulses.sine_burst(F0, 1, FS)
    lag = pulses.center_delay(FS, impulse, excitation, impulse)
    n = size["elements"]
    tx, rx = [sim.array_2d(0.27e-3, 0.27e-3, 0.03e-3, 0.03e-3, np.ones((n, n), int))
              for _ in range(2)]
    for probe in (tx, rx):
        probe.impulse(impulse)
        probe.excitation(excitation)
    positions = rx.element_centers
    rx.focus_times(np.zeros(len(positions)))
    echoes, waves = [], []
    for azimuth, elevation in size["angles"]:
        tx.focus_times((positions[:, 0] * np.sin(azimuth) * np.cos(elevation) +
                        positions[:, 1] * np.sin(elevation)) / C)
        echoes.append(sim.calc_scat_multi(tx, rx, targets, np.ones(len(targets))))
        waves.append(beamform.Wave.plane(azimuth, elevation, delay=-lag))
    first = min(e.start_sample for e in echoes)
    rows = max(e.start_sample + len(e.data) for e in echoes) - first
    data = np.zeros((rows, len(positions), len(waves)), order="F")
    for i, e in enumerate(echoes):
        data[e.start_sample - first:e.start_sample - first + len(e.data), :, i] = e.data
    return beamform.ChannelData(data, FS, positions, waves, initial_time=first / FS, sound_speed=C)


def locate_targets(result):
    """Position of the B-mode maximum within 1 mm of each target, m."""
    b = result["bmode"]
    found = []
    for x, y, z in result["targets"]:
        near = ((np.abs(b.z - z) <= 1e-3)[:, None, None] &
                (np.abs(b.y - y) <= 1e-3)[None, :, None] & (np.abs(b.x - x) <= 1e-3)[None, None, :])
        i = np.unravel_index(np.argmax(np.where(near, b.db, -np.inf)), b.db.shape)
        found.append((b.x[i[2]], b.y[i[1]], b.z[i[0]]))
    return np.array(found)


def plot(result, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    b = result["bmode"]
    x0, y0, z0 = result["slices"]
    k = (np.argmin(np.abs(b.z - z0)), np.argmin(np.abs(b.y - y0)), np.argmin(np.abs(b.x - x0)))
    mm = 1e3
    views = [("x-z plane, y = %.1f mm" % (b.y[k[1]] * mm), b.db[:, k[1], :], b.x, b.z, "x", "z"),
             ("y-z plane, x = %.1f mm" % (b.x[k[2]] * mm), b.db[:, :, k[2]], b.y, b.z, "y", "z"),
             ("x-y plane, z = %.1f mm" % (b.z[k[0]] * mm), b.db[k[0]], b.x, b.y, "x", "y")]
    fig, axes = plt.subplots(1, 3, figsize=(13, 4.6), constrained_layout=True)
    for ax, (title, image, h, v, hn, vn) in zip(axes, views):
        shown = ax.imshow(image, cmap="gray", vmin=-b.dynamic_range, vmax=0, aspect="equal",
                          extent=(h[0] * mm, h[-1] * mm, v[-1] * mm, v[0] * mm))
        ax.set_xlabel(f"{hn} [mm]")
        ax.set_ylabel(f"{vn} [mm]")
        ax.set_title(title, fontsize=10)
    fig.colorbar(shown, ax=axes, label="dB", shrink=0.8)
    fig.suptitle(f"{result['elements']} x {result['elements']}-element matrix array, "
                 f"{result['waves']} plane waves compounded")
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller array and volume")
    parser.add_argument("--output", default="matrix_volume.png", help="the PNG to write")
    args = parser.parse_args(argv)
    size = setup(args.quick)
    targets = np.array(size["targets"], dtype=float)

    start = time.time()
    data = channel_data(size, targets)
    simulated = time.time() - start
    span = np.linspace(-size["extent"], size["extent"], size["pixels"])
    depths = np.arange(size["depths"][0], size["depths"][1] + 1e-9, 0.1e-3)
    grid = beamform.CartesianGrid(x=span, y=span, z=depths)
    start = time.time()
    image = beamform.das(data, grid, f_number=1.0, iq=True, modulation_frequency=F0)
    beamformed = time.time() - start
    bmode = display.bmode(image, dynamic_range=40)

    samples = data.data.shape[1] * data.data.shape[2] * np.prod(grid.shape)
    result = dict(targets=targets, bmode=bmode, elements=size["elements"],
                  waves=len(size["angles"]), slices=size["slices"])
    print(f"channel data: {data.data.shape[1]} elements x {data.data.shape[2]} waves "
          f"in {simulated:.1f} s; volume {grid.shape[2]} x {grid.shape[1]} x {grid.shape[0]} "
          f"pixels in {beamformed:.2f} s ({samples / beamformed:.3g} channel-pixel samples/s)")
    for (x, y, z), (fx, fy, fz) in zip(targets, locate_targets(result)):
        print(f"target at ({x * 1e3:5.2f}, {y * 1e3:5.2f}, {z * 1e3:5.2f}) mm appears at "
              f"({fx * 1e3:5.2f}, {fy * 1e3:5.2f}, {fz * 1e3:5.2f}) mm")
    plot(result, args.output)
    print(f"wrote {args.output}")
    return result


if __name__ == "__main__":
    main()

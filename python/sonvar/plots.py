"""PNG plots of the command-line tool's results (matplotlib, Agg).

Fields: the peak or RMS map in dB with axes in mm, and the lateral and axial
profiles through the maximum with the -6 dB beam width and depth of field.
Images: the B-mode image in dB with axes in mm and a colour bar (of a volume the
plane nearest y = 0; of images kept apart per transmit the middle one).
"""

import os
from typing import Any, List, Optional

import numpy as np

from . import field as field_module

__all__ = ["plot", "plot_path", "plot_format"]


def _db(values, floor):
    top = np.max(values)
    if not top > 0:
        return np.full(np.shape(values), -floor)
    with np.errstate(divide="ignore"):
        return np.maximum(20 * np.log10(np.maximum(values, 0) / top), -floor)


def _profile(ax, positions, values, label, kind):
    """One profile in dB through the maximum with its -6 dB extent marked."""
    db = _db(values, 60)
    ax.plot(positions * 1e3, db, lw=1.2)
    ax.axhline(-6, color="gray", lw=0.6, ls=":")
    if len(positions) >= 2 and np.max(values) > 0:
        if kind == "width":
            w = field_module.beam_width(values, positions)
            text = f"-6 dB width {w * 1e3:.2f} mm" if np.isfinite(w) else \
                "-6 dB width: beyond the grid"
            lo, hi = field_module._width(values, positions, -6.0, "profile")
        else:
            lo, hi, length = field_module.depth_of_field(values, positions)
            text = (f"-6 dB depth of field {length * 1e3:.2f} mm\n"
                    f"from {lo * 1e3:.1f} to {hi * 1e3:.1f} mm"
                    if np.isfinite(length) else "depth of field: beyond the grid")
            lo = None if not np.isfinite(lo) else lo
            hi = None if not np.isfinite(hi) else hi
        for edge in (lo, hi):
            if edge is not None:
                ax.axvline(edge * 1e3, color="tab:red", lw=0.8, ls="--")
        ax.set_title(text, fontsize=9)
    ax.set_xlabel(f"{label} [mm]")
    ax.set_ylabel("dB")
    ax.set_ylim(-60, 3)
    ax.grid(alpha=0.3)


def _field(job, products, fig):
    q = job.plot["quantity"]
    values = products[q]
    dr = job.plot["dynamic_range"]
    axes = job.field["axes"]
    title = f"{q} of {job.field['quantity']}"
    if axes is None:  # points from a file: the values against x and z
        pts = job.field["points"]
        ax = fig.add_subplot(1, 1, 1)
        sc = ax.scatter(pts[:, 0] * 1e3, pts[:, 2] * 1e3, c=_db(values, dr), vmin=-dr, vmax=0,
                        cmap="viridis", s=12)
        ax.set_xlabel("x [mm]")
        ax.set_ylabel("z [mm]")
        ax.invert_yaxis()
        ax.set_title(title + " at the job's points")
        fig.colorbar(sc, ax=ax, label="dB")
        return
    top = np.unravel_index(np.argmax(values), values.shape)
    x, z = axes["x"], axes["z"]
    lateral = values[:, top[1], top[2]]
    axial = values[top[0], top[1], :]
    long_axes = [a for a in "xyz" if len(axes[a]) > 1]
    if len(x) > 1 and len(z) > 1:
        grid = fig.add_gridspec(2, 2, width_ratios=[1.4, 1])
        ax = fig.add_subplot(grid[:, 0])
        img = values[:, top[1], :].T  # rows z, columns x: the plane y through the maximum
        im = ax.imshow(_db(img, dr), cmap="viridis", vmin=-dr, vmax=0, aspect="auto",
                       origin="upper", extent=(x[0] * 1e3, x[-1] * 1e3, z[-1] * 1e3, z[0] * 1e3))
        ax.set_xlabel("lateral x [mm]")
        ax.set_ylabel("depth z [mm]")
        ax.set_title(title + (f", y = {axes['y'][top[1]] * 1e3:.1f} mm" if len(axes["y"]) > 1
                              else ""), fontsize=10)
        fig.colorbar(im, ax=ax, label="dB")
        _profile(fig.add_subplot(grid[0, 1]), x, lateral,
                 f"lateral x at z = {z[top[2]] * 1e3:.1f} mm",
                 "width")
        _profile(fig.add_subplot(grid[1, 1]), z, axial, f"depth z at x = {x[top[0]] * 1e3:.1f} mm",
                 "depth")
    else:
        a = long_axes[0] if long_axes else "z"
        profile = {"x": lateral, "y": values[top[0], :, top[2]], "z": axial}[a]
        ax = fig.add_subplot(1, 1, 1)
        _profile(ax, axes[a], profile, f"{a} [through the maximum]",
                 "depth" if a == "z" else "width")
        ax.set_xlabel(f"{a} [mm]")
        ax.set_ylabel(f"{title} [dB]")


def _image(job, products, fig):
    dr = job.image["dynamic_range"]
    x, z, img = products["x"], products["z"], products["bmode"]
    ax = fig.add_subplot(1, 1, 1)
    if "doppler" in products:  # the velocity in colour over the B-mode of the first frame
        from . import display, doppler
        maps = products["doppler"]
        doppler.plot(maps, display.BMode(img, x, z, None, dr), ax=ax,
                     title=f"velocity over the B-mode, {len(job.phantom)} scatterers,\n"
                           f"{job.ensemble['frames']} frames at {job.ensemble['prf']:g} Hz")
        return
    im = ax.imshow(img, cmap="gray", vmin=-dr, vmax=0, aspect="equal", origin="upper",
                   extent=(x[0] * 1e3, x[-1] * 1e3, z[-1] * 1e3, z[0] * 1e3))
    ax.set_xlabel("lateral x [mm]")
    ax.set_ylabel("depth z [mm]")
    mode = job.image["mode"].replace("_", " ")
    ax.set_title(f"B-mode, {mode}, {len(job.phantom)} scatterers{products.get('note', '')}",
                 fontsize=10)
    fig.colorbar(im, ax=ax, label="dB")


def plot_path(job: Any, result_files: List[str]) -> str:
    """Where the job's plot goes: plot.path, else the result file (the NPY side file) with
    .png."""
    return job.plot["path"] or os.path.splitext(result_files[-1])[0] + ".png"


def plot_format(path: str) -> str:
    """The picture format of a plot path: its extension, lower case ("png", "pdf", ...)."""
    return os.path.splitext(path)[1][1:].lower()


def plot(job: Any, products: dict, path: str, fmt: Optional[str] = None) -> None:
    """Write the job's plot to path (in fmt, by default the format of the path's extension);
    the figure's size comes from the job's plot section."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    p = job.plot
    fig = plt.figure(figsize=(p["width"], p["height"]), dpi=p["dpi"])
    try:
        draw = _field if job.command == "field" else _image
        draw(job, products, fig)
        fig.tight_layout()
        fig.savefig(path, dpi=p["dpi"], format=fmt or plot_format(path))
    finally:
        plt.close(fig)

"""The checks of a job against its surroundings, before any calculation.

- The output and plot paths: a file name (not empty, not a folder) in a writable folder, a
  picture format the plot can be written in, and no file of the run written over an input of
  the job (the job file, a phantom, a table, a pulse) or over another output of the run.
- The memory a run needs: the points and their maps, the phantom, the RF lines and their
  envelopes, the pixels of an image, the picture: each against the memory available, with
  the size named.
- The depths: a time-gain compensation that stays within the range of numbers over the
  phantom's depths, and an image depth range that meets the phantom.

Each fault is one line of the job's report (`jobs.load` gathers them), exit status 2.
"""

import fnmatch
import os
from typing import Any, Dict, Optional

import numpy as np

from ._machine import memory_available, size_text

__all__ = ["fits", "check_outputs", "check_plot", "check_run", "BYTES_PER_SCATTERER",
           "BYTES_PER_FIELD_POINT"]

#: Bytes a scatterer of a phantom takes while a job runs: its position and amplitude, the
#: library's copies and the sort keys.
BYTES_PER_SCATTERER = 96
#: Bytes a field point takes on rank 0 beside its signals: the grid's temporaries and the
#: point, the peak, sum of squares, RMS and energy and the scratch of its chunk.
BYTES_PER_FIELD_POINT = 160
#: A plot's picture takes about this many bytes a pixel while it is drawn and saved.
BYTES_PER_PIXEL = 16
#: Widest and highest picture Agg draws, pixels; the narrowest a plot's axes fit in.
MOST_PIXELS, LEAST_PIXELS = 65535, 100
#: The largest gain a time-gain compensation may reach over the phantom's depths, dB: far
#: within the range of double precision (about 6000 dB).
MOST_GAIN_DB = 3000.0


def fits(sec: Any, key: str, nbytes: float, what: str,
         available: Optional[float] = None) -> None:
    """Refuses `key` when `what` needs more memory than is available."""
    available = memory_available() if available is None else available
    if available is not None and nbytes > available:
        sec.fail(key, f"{what} needs about {size_text(nbytes)} of memory, more than the "
                      f"{size_text(available)} available")


def _same(a, b):
    """Whether two paths name one file (existing or not)."""
    try:
        if os.path.exists(a) and os.path.exists(b):
            return os.path.samefile(a, b)
    except OSError:
        pass
    return os.path.realpath(a) == os.path.realpath(b)


def _writable_file(sec, key, path, what):
    """A path a file can be written at: a name, not a folder, in a writable folder."""
    if not path or path.endswith(os.sep) or os.path.basename(path) in ("", ".", ".."):
        sec.fail(key, f"expected a {what} file name, got {path!r}")
    if os.path.isdir(path):
        sec.fail(key, f"expected a {what} file, got the folder {path}")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        sec.fail(key, f"expected a {what} file in an existing folder, got {path} (no folder "
                      f"{folder})")
    if not os.access(folder, os.W_OK | os.X_OK):
        sec.fail(key, f"expected a {what} file in a writable folder, got {path}")


def _section(report, job_path, prefix):
    from .jobs import Section
    return Section(job_path, {}, prefix, report)


def check_outputs(report: Any, job_path: str, key: str, path: str, fmt: str,
                  inputs: Dict[str, str]) -> bool:
    """The result path (`key`: "output.path" or "-o"): a writable file that replaces no
    input. Returns whether the path is a usable file name."""
    from .output import npy_stem
    prefix, _, name = key.rpartition(".")
    sec = _section(report, job_path, prefix)
    if report.attempt(lambda: _writable_file(sec, name, path, "result"), False) is False:
        return False
    sources = dict(inputs, job=job_path)
    if fmt == "hdf5":
        clashes = [(k, p) for k, p in sources.items() if _same(p, path)]
        described = path
    else:
        stem = os.path.abspath(npy_stem(path))
        side = stem + ".json"
        clashes = [(k, p) for k, p in sources.items()
                   if _same(p, side) or fnmatch.fnmatchcase(os.path.abspath(p), stem + ".*.npy")]
        described = f"{npy_stem(path)}.json and {os.path.basename(stem)}.*.npy"
    for source, p in clashes:
        what = "the job file" if source == "job" else f"the input {source} ({p})"
        report.attempt(lambda: sec.fail(name, f"expected results that replace no input, but "
                                              f"{described} would replace {what}"))
    return True


def check_plot(report: Any, job_path: str, plot: dict, result_path: str, fmt: str,
               inputs: Dict[str, str], result_ok: bool = True) -> None:
    """The plot: its path (a writable file in a format matplotlib writes, neither an input
    nor a result file) and its size in pixels against Agg's limit and the memory available.
    A plot named after an unusable result path (`result_ok` false) is not checked by name."""
    sec = _section(report, job_path, "plot")
    if plot["path"] is not None or result_ok:
        _check_plot_path(report, sec, job_path, plot, result_path, fmt, inputs)
    width, height = (round(plot[k] * plot["dpi"]) for k in ("width", "height"))
    drawable = True
    for name, pixels in (("width", width), ("height", height)):
        if not LEAST_PIXELS <= pixels <= MOST_PIXELS:
            drawable = False
            report.attempt(lambda: sec.fail(name, f"expected a picture {LEAST_PIXELS} to "
                                                  f"{MOST_PIXELS} pixels {name} ({name} x dpi), "
                                                  f"got {pixels}"))
    if drawable:
        report.attempt(lambda: fits(sec, "dpi", width * height * BYTES_PER_PIXEL,
                                    f"a picture of {width} x {height} pixels"))


def _check_plot_path(report, sec, job_path, plot, result_path, fmt, inputs):
    """The plot's path: a writable file that is no other file of the job, in a picture
    format."""
    from .output import result_files
    from .plots import plot_format
    results = result_files(result_path, fmt)
    path = plot["path"] or os.path.splitext(results[-1])[0] + ".png"
    if plot["path"] is not None:
        report.attempt(lambda: _writable_file(sec, "path", path, "plot"))
    others = list(dict(inputs, job=job_path).items()) + [("output", r) for r in results]
    clashes = [(source, p) for source, p in others if _same(p, path)]
    for source, p in clashes:
        what = "the job file" if source == "job" else \
            "the result file" if source == "output" else f"the input {source}"
        report.attempt(lambda: sec.fail("path", f"expected a plot that replaces no other "
                                                f"file, but {path} is {what}"))
    supported = _picture_formats()
    if not clashes and plot_format(path) not in supported:
        report.attempt(lambda: sec.fail("path", f"expected a picture file ending in one of "
                                                f".{', .'.join(sorted(supported))}, got {path}"))


def _picture_formats():
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    return set(FigureCanvasAgg.get_supported_filetypes())


def echo_rows(job, one_way=False) -> int:
    """Samples of the RF lines or channels of an image job: the echoes of the deepest
    scatterer (or, one way, the field at the farthest point) and the pulses."""
    if job.command == "field":
        far = float(np.max(np.linalg.norm(job.field["points"], axis=1)))
    else:
        far = float(np.max(np.linalg.norm(job.phantom.points, axis=1)))
    trips = 1 if one_way else 2
    pulse = 2 * len(job.impulse) + len(job.excitation)
    return int(trips * far / job.c * job.fs) + pulse


def check_run(report, job) -> None:
    """The checks that need the whole job: memory, depths. Each fault is one line of the
    report."""
    if job.command == "field":
        return
    img = job.image
    sec = _section(report, job.path, "image")
    bmode = _section(report, job.path, "image.bmode")
    report.attempt(lambda: _tgc(bmode, job))
    report.attempt(lambda: _depths(bmode, job))
    rows = echo_rows(job)
    if img["mode"] in ("linear", "convex", "phased"):
        lines = len(img["positions"])
        # The RF lines in memory, their analytic signal and envelope and the log image.
        report.attempt(lambda: fits(sec, "lines", rows * lines * 64,
                                    f"{lines} RF lines of {rows} samples"))
    else:
        n = img["no_elements"]
        report.attempt(lambda: fits(sec, "mode", rows * n * 40,
                                    f"one transmit's channels ({rows} samples x {n} elements)"))
    pixels = _pixels(job)
    if pixels is not None:
        bf = img["beamform"]
        apart = img["mode"] in CHANNEL_MODES and not bf.get("compound", True) and \
            img.get("sequence") is not None
        images = len(img["sequence"]) if apart else 1
        where, key = (_section(report, job.path, "image.beamform"), "grid") \
            if bf["grid"] is not None else (bmode, "pixel_size")
        # The image and its envelope, analytic or IQ copy and log image (16 bytes each and a
        # spare), per transmit when they are kept apart.
        report.attempt(lambda: fits(where, key, pixels * images * 80,
                                    f"an image of {pixels} pixels" +
                                    (f" x {images} transmits" if images > 1 else "")))
    if getattr(job, "ensemble", None) is not None:
        report.attempt(lambda: _ensemble(_section(report, job.path, "ensemble"), job, rows))


def _ensemble(sec, job, rows):
    """An ensemble's frame (its channels and the static echoes of every transmit) and, on the
    writing rank, the complex image of every frame and the Doppler estimate's working copies
    of them."""
    img, frames = job.image, job.ensemble["frames"]
    transmits, n = len(img["sequence"]), img["no_elements"]
    grid = (img.get("beamform") or {}).get("grid")
    if grid is not None:
        pixels = len(grid["x"]) * len(grid["z"])
    else:
        far = float(np.max(np.linalg.norm(job.phantom.points, axis=1))) + 0.01
        xr, zr = img["x_range"] or [-far, far], img["z_range"] or [0.0, far]
        step = img["pixel_size"]
        pixels = int((xr[1] - xr[0]) / step + 1) * int((zr[1] - zr[0]) / step + 1)
    fits(sec, "frames", rows * n * transmits * 16 + frames * pixels * 48,
         f"an ensemble of {frames} frames of {pixels} pixels ({transmits} transmits of {rows} "
         f"samples x {n} elements each)")


#: Image modes that record channel data and image them by delay-and-sum.
CHANNEL_MODES = ("synthetic_aperture", "plane_wave", "diverging_wave", "focused", "custom")


def _pixels(job) -> Optional[int]:
    """Pixels of the image, where the job fixes them: image.beamform.grid, or a scan-converted
    sector's or a delay-and-sum image's default pixels (image.bmode.pixel_size over its
    ranges)."""
    img = job.image
    grid = img["beamform"]["grid"]
    if grid is not None:
        return int(np.prod([len(v) for v in grid.values()]))
    if img["mode"] not in ("convex", "phased") + CHANNEL_MODES:
        return None
    step = img["pixel_size"]
    far = float(np.max(np.linalg.norm(job.phantom.points, axis=1))) + 0.01
    xr = img["x_range"] or [-far, far]
    zr = img["z_range"] or [0.0, far]
    return int((xr[1] - xr[0]) / step + 1) * int((zr[1] - zr[0]) / step + 1)


def _tgc(sec, job):
    tgc = job.image["tgc"]
    deepest = float(np.max(np.abs(job.phantom.points[:, 2]))) + 0.01
    if abs(tgc) * deepest > MOST_GAIN_DB:
        sec.fail("tgc", f"expected at most {MOST_GAIN_DB / deepest:.4g} dB/m in magnitude for "
                        f"scatterers down to {deepest - 0.01:.4g} m (a gain beyond "
                        f"{MOST_GAIN_DB:g} dB), got {tgc:g}")


def _depths(sec, job):
    """An image depth range that meets the phantom's depths (give or take the pulse)."""
    zr = job.image["z_range"]
    if zr is None:
        return
    z = job.phantom.points[:, 2]
    margin = (2 * len(job.impulse) + len(job.excitation)) / job.fs * job.c / 2 + 1e-3
    low, high = float(z.min()) - margin, float(z.max()) + margin
    if zr[1] < low or zr[0] > high:
        sec.fail("z_range", f"expected depths that meet the phantom (its scatterers lie from "
                            f"z = {z.min():.4g} to {z.max():.4g} m), got [{zr[0]:g}, {zr[1]:g}]")

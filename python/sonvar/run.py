"""The work of the command-line tool, cut into units that any process can compute.

A plan turns a checked job into numbered units: chunks of field points,
image lines or synthetic-aperture emissions. `compute(i)` returns a unit's
result (a dict of arrays, picklable so that MPI ranks can send it);
`finish(results, out)` is called on the writing process only, with the units'
results in index order, and writes every dataset. A unit's result does not
depend on which process computed it, so any split of the units gives the
same file.
"""

import math

import numpy as np

from . import beamform, display, imaging, pulses
from .output import UFF_VERSION, write_uff_number, write_uff_object

__all__ = ["make_plan"]

_UNITS = {"h": "m/s", "hp": "a.u.", "hhp": "a.u."}


class Scratch:
    """Unit results kept until every unit is in: in memory, or in a scratch HDF5 file beside the
    output when they are large, so that rank 0 never holds a whole job's signals."""

    def __init__(self, path, on_disk):
        self.path = path
        self.memory = {} if not on_disk else None
        self.file = None
        if on_disk:
            import h5py
            self.file = h5py.File(path, "w")

    def put(self, index, result):
        if self.file is None:
            self.memory[index] = result
            return
        group = self.file.create_group(str(index))
        for k, v in result.items():
            group.create_dataset(k, data=v)

    def get(self, index, names=None):
        if self.file is None:
            return self.memory[index]
        group = self.file[str(index)]
        return {k: group[k][()] for k in (names or group.keys())}

    def close(self):
        if self.file is not None:
            import os
            self.file.close()
            self.file = None
            if os.path.exists(self.path):
                os.remove(self.path)


def _span(spans):
    """First sample and number of rows of the common time axis of (start, rows) signals."""
    first = min(s for s, _ in spans)
    return first, max(s + n for s, n in spans) - first


class FieldPlan:
    """h, hp or hhp on points, in chunks of points; per point peak, RMS and energy."""

    noun = "points"

    def __init__(self, job, threads):
        self.job, self.threads = job, threads
        f = job.field
        self.points, self.chunk = f["points"], f["chunk"]
        self.units = -(-len(self.points) // self.chunk)
        self.work = len(self.points)
        self.calc = None

    def unit_work(self, i):
        return min(self.chunk, len(self.points) - i * self.chunk)

    def setup(self):
        sim = self.job.simulator(self.threads)
        ap = self.job.build_probe(sim)
        q = self.job.field["quantity"]
        if q == "hhp":
            self.calc = lambda p: sim.calc_hhp(ap, ap, p)
        else:
            self.calc = lambda p: getattr(sim, "calc_" + q)(ap, p)
        self.sim = sim

    def compute(self, i):
        if self.calc is None:
            self.setup()
        f = self.calc(self.points[i * self.chunk:(i + 1) * self.chunk])
        a = f.data
        out = {"start": np.int64(f.start_sample), "rows": np.int64(a.shape[0]),
               "peak": np.abs(a).max(axis=0),
               "sumsq": np.sum(a * a, axis=0)}
        if self.job.field["keep_signals"]:
            out["data"] = a
        return out

    def scratch_on_disk(self):
        return self.job.field["keep_signals"]

    def finish(self, scratch, out, spans):
        job, f = self.job, self.job.field
        n = len(self.points)
        peak, sumsq = np.zeros(n), np.zeros(n)
        for i in range(self.units):
            r = scratch.get(i, ("peak", "sumsq"))
            sl = slice(i * self.chunk, i * self.chunk + len(r["peak"]))
            peak[sl], sumsq[sl] = r["peak"], r["sumsq"]
        first, rows = _span(spans)
        fs = job.fs
        unit = _UNITS[f["quantity"]]
        shape = (n,) if f["axes"] is None else tuple(len(f["axes"][a]) for a in "xyz")
        axes = ["point"] if f["axes"] is None else ["x", "y", "z"]
        out.attrs("field", quantity=f["quantity"], fs=fs, t0=first / fs, samples=rows,
                  units=unit, axes=axes)
        out.array("field/points", self.points, units="m", columns=["x", "y", "z"])
        if f["axes"] is not None:
            for a in "xyz":
                out.array(f"field/{a}", f["axes"][a], units="m")
        out.array("field/peak", peak.reshape(shape), units=unit, axes=axes)
        out.array("field/rms", np.sqrt(sumsq / rows).reshape(shape), units=unit, axes=axes)
        out.array("field/energy", (sumsq / fs).reshape(shape), units=f"({unit})^2 s", axes=axes)
        if f["keep_signals"]:
            d = out.stream("field/signals", (rows, n), units=unit, t0=first / fs, fs=fs,
                           axes=["time", "point"])
            for i in range(self.units):
                r = scratch.get(i)
                s = int(r["start"]) - first
                d[s:s + r["data"].shape[0], i * self.chunk:i * self.chunk + r["data"].shape[1]] = r["data"]
        return {"peak": peak.reshape(shape), "rms": np.sqrt(sumsq / rows).reshape(shape)}


class PhasedLines:
    """Phased-array lines: the whole array steered to each angle (rad), transmit focus at
    focus_depth along the line, dynamic receive focus, the transmit window on both sides."""

    def __init__(self, sim, params, active, impulse, excitation, focus_depth, transmit_window,
                 kind):
        self.sim = sim
        n = params["no_elements"]
        weights = np.zeros(n)
        first = (n - active) // 2
        weights[first:first + active] = imaging.window(active, transmit_window)
        self.weights = weights
        self.focus_depth = focus_depth

        def make():
            ap = getattr(sim, kind)(**params)
            ap.impulse(impulse)
            ap.excitation(excitation)
            return ap
        self.transmit, self.receive = make(), make()
        self.lag = pulses.center_delay(sim.fs, impulse, excitation, impulse)

    def line(self, angle, points, amplitudes):
        d = np.array([math.sin(angle), 0.0, math.cos(angle)])
        self.transmit.center_focus((0.0, 0.0, 0.0))
        self.transmit.focus(self.focus_depth * d)
        self.transmit.apodization(self.weights)
        self.receive.center_focus((0.0, 0.0, 0.0))
        self.receive.dynamic_focus(angle, 0.0)
        self.receive.apodization(self.weights)
        return self.sim.calc_scat(self.transmit, self.receive, points, amplitudes)


class _ImagePlan:
    """What image plans share: the phantom and one unit of work per line or emission."""

    def __init__(self, job, threads, units):
        self.job, self.threads = job, threads
        self.img = job.image
        self.units = len(units)
        self.work = self.units
        self.scatterers = len(job.phantom)

    def unit_work(self, i):
        return 1


class LinePlan(_ImagePlan):
    """Focused line-by-line imaging (linear, convex or phased), one unit per line."""

    noun = "lines"

    def __init__(self, job, threads):
        super().__init__(job, threads, job.image["positions"])
        self.positions = self.img["positions"]
        self.imager = None

    def setup(self):
        job, img = self.job, self.img
        sim = job.simulator(self.threads)
        p = dict(job.probe["params"])
        common = dict(no_sub_x=p.get("no_sub_x", 1), no_sub_y=p.get("no_sub_y", 1))
        mode = img["mode"]
        if mode in ("linear", "convex"):
            # The convex imager takes the radius after the element geometry.
            imager, radius = ((imaging.LinearImager, ()) if mode == "linear"
                              else (imaging.ConvexImager, (p["r_convex"],)))
            self.imager = imager(
                sim, p["no_elements"], p["width"], p["height"], p["kerf"], *radius,
                img["active"], job.impulse, job.excitation, img["focus_depth"], img["f_number"],
                elevation_focus=img["elevation_focus"], transmit_window=img["transmit_window"],
                apodization_steps=img["apodization_steps"], **common)
        else:
            self.imager = PhasedLines(sim, p, img["active"], job.impulse, job.excitation,
                                      img["focus_depth"], img["transmit_window"],
                                      job.probe["kind"])
        self.sim = sim

    def compute(self, i):
        if self.imager is None:
            self.setup()
        ph = self.job.phantom
        f = self.imager.line(self.positions[i], ph.points, ph.amplitudes)
        return {"start": np.int64(f.start_sample), "rows": np.int64(f.data.shape[0]),
                "data": f.data}

    def scratch_on_disk(self):
        return True

    def finish(self, scratch, out, spans):
        job, img = self.job, self.img
        fs, c = job.fs, job.c
        first, rows = _span(spans)
        lag = pulses.center_delay(fs, job.impulse, job.excitation, job.impulse)
        sector = img["mode"] != "linear"
        unit = "rad" if sector else "m"
        out.attrs("image", mode=img["mode"], fs=fs, t0=first / fs, lag=lag,
                  scatterers=self.scatterers)
        out.array("image/line_positions", self.positions, units=unit,
                  quantity="angle from the z axis towards x" if sector else "lateral position x")
        rf = out.stream("image/rf", (rows, self.units), units="a.u.", t0=first / fs, fs=fs,
                        axes=["time", "line"])
        for i in range(self.units):
            r = scratch.get(i)
            s = int(r["start"]) - first
            rf[s:s + len(r["data"]), i] = r["data"]
        ranges = (first / fs + np.arange(rows) / fs - lag) * c / 2
        out.array("image/ranges", ranges, units="m")
        env = display.envelope(np.asarray(rf[:, :]))
        if img["tgc"]:
            env = display.time_gain(env, np.maximum(ranges, 0), img["tgc"])
        db = display.log_compress(env, img["dynamic_range"])
        if not sector:
            x, z = self.positions, ranges
            keep = np.ones(rows, bool)
            if img["z_range"] is not None:
                keep = (z >= img["z_range"][0]) & (z <= img["z_range"][1])
            image, z = db[keep], z[keep]
        else:
            radius = job.probe["params"].get("r_convex", 0.0) if img["mode"] == "convex" else 0.0
            radii = ranges + radius
            th = self.positions
            r_hi = radii[-1]
            r_lo = max(radii[0], radius)
            xs = [r * math.sin(t) for r in (r_lo, r_hi) for t in (th[0], th[-1])]
            zs = [r * math.cos(t) - radius for r in (r_lo, r_hi) for t in (th[0], th[-1], 0.0)]
            xr = img["x_range"] or [min(xs), max(xs)]
            zr = img["z_range"] or [max(min(zs), 0.0), max(zs)]
            step = img["pixel_size"]
            x = np.arange(xr[0], xr[1] + step / 2, step)
            z = np.arange(zr[0], zr[1] + step / 2, step)
            keep = radii > 0
            image = np.maximum(display.scan_convert(db[keep], radii[keep], th, x, z,
                                                    apex=-radius, fill=-img["dynamic_range"]),
                               -img["dynamic_range"])  # bilinear weights round below the floor
        _bmode(out, image, x, z, img)
        return {"bmode": image, "x": x, "z": z}


def _bmode(out, image, x, z, img):
    out.attrs("bmode", dynamic_range=img["dynamic_range"], tgc=img["tgc"])
    out.array("bmode/image", image, units="dB", axes=["z", "x"])
    out.array("bmode/x", x, units="m")
    out.array("bmode/z", z, units="m")


class SyntheticAperturePlan(_ImagePlan):
    """One emission per listed element, echoes on every element; delay-and-sum image."""

    noun = "emissions"

    def __init__(self, job, threads):
        super().__init__(job, threads, job.image["elements"])
        self.elements = self.img["elements"]
        self.receive = None

    def setup(self):
        job = self.job
        sim = job.simulator(self.threads)
        probe_job = dict(job.probe, focus=None, apodization=None)
        from .jobs import make_probe
        self.probe = make_probe(sim, probe_job, job.impulse, job.excitation)
        self.probe.focus_times(np.zeros(self.probe.no_elements))
        self.table = self.probe.table("rectangles")
        self.centers = self.probe.element_centers
        self.sim = sim

    def emitter(self, element):
        """The element alone as an aperture: its rectangles, unfocused."""
        t = self.table[self.table[:, 0] == element - 1]
        rows = np.column_stack([np.ones(len(t)), t[:, 10:22], t[:, 4], t[:, 2], t[:, 3],
                                t[:, 7:10]])
        ap = self.sim.rectangles(rows, self.centers[element - 1:element])
        ap.impulse(self.job.impulse)
        ap.excitation(self.job.excitation)
        ap.focus_times(np.zeros(1))
        return ap

    def compute(self, i):
        if self.receive is None:
            self.setup()
            self.receive = self.probe
        ph = self.job.phantom
        f = self.sim.calc_scat_multi(self.emitter(self.elements[i]), self.receive, ph.points,
                                     ph.amplitudes)
        return {"start": np.int64(f.start_sample), "rows": np.int64(f.data.shape[0]),
                "data": f.data}

    def scratch_on_disk(self):
        return True

    def finish(self, scratch, out, spans):
        job, img = self.job, self.img
        fs, c = job.fs, job.c
        from .jobs import make_probe
        sim = job.simulator(1)
        probe = make_probe(sim, dict(job.probe, focus=None, apodization=None), job.impulse,
                           job.excitation)
        centers = probe.element_centers
        n = probe.no_elements
        first, rows = _span(spans)
        lag = pulses.center_delay(fs, job.impulse, job.excitation, job.impulse)
        _uff_channel_data(out, job, centers, self.elements, first / fs, lag)
        data = out.stream("channel_data/data", (1, self.units, n, rows),
                          **{"class": "double", "name": "data",
                             "complex": np.array([0], dtype=np.int32),
                             "imaginary": np.array([0], dtype=np.int32),
                             "units": "a.u.",
                             "axes": ["frame", "wave", "channel", "time"]})
        for i in range(self.units):
            r = scratch.get(i)
            s = int(r["start"]) - first
            data[0, i, :, s:s + r["data"].shape[0]] = r["data"].T
        # Delay-and-sum of the analytic signal on a grid of pixels (sonvar.beamform), one
        # emission at a time. The element fires at the wave's time zero plus |e| / c and
        # its echoes peak one pulse lag late: the wave's delay is |e| / c - lag.
        step = img["pixel_size"]
        xr = img["x_range"] or [centers[:, 0].min(), centers[:, 0].max()]
        zr = img["z_range"]
        x = np.arange(xr[0], xr[1] + step / 2, step)
        z = np.arange(zr[0], zr[1] + step / 2, step)
        grid = beamform.CartesianGrid(x=x, z=z)
        radius = job.probe["params"].get("r_convex")
        theta = np.arctan2(centers[:, 0], centers[:, 2] + radius) if radius else None
        total = np.zeros(grid.shape, complex)
        for i, e in enumerate(self.elements):
            position = centers[e - 1]
            wave = beamform.Wave.element(position, delay=np.linalg.norm(position) / c - lag)
            analytic = display.analytic(np.asarray(data[0, i, :, :]).T)  # (rows, n)
            emission = beamform.ChannelData(analytic[:, :, None], fs, centers, [wave],
                                            initial_time=first / fs, sound_speed=c,
                                            element_theta=theta)
            total += beamform.das(emission, grid, f_number=img["f_number"],
                                  threads=self.threads).data
        env = np.abs(total)
        if img["tgc"]:
            env = display.time_gain(env, z, img["tgc"])
        image = display.log_compress(env, img["dynamic_range"]) if env.max() > 0 else \
            np.full(env.shape, -img["dynamic_range"])
        _bmode(out, image, x, z, img)
        out.attrs("bmode", method="delay-and-sum", f_number=img["f_number"])
        return {"bmode": image, "x": x, "z": z}


def _uff_channel_data(out, job, centers, elements, initial_time, lag):
    """Everything of the channel-data object but its data: probe geometry, the sequence of waves
    (a spherical wave from each emitting element), sampling frequency, initial time."""
    if out.format != "hdf5":
        out.attrs("channel_data", sampling_frequency=job.fs, initial_time=initial_time,
                  sound_speed=job.c, element_positions=centers, elements=list(elements),
                  wave_delay=lag)
        return
    out.attrs("/", version=UFF_VERSION)
    g = "channel_data"
    write_uff_object(out, g, "uff.channel_data")
    write_uff_number(out, f"{g}/sampling_frequency", job.fs)
    write_uff_number(out, f"{g}/initial_time", initial_time)
    write_uff_number(out, f"{g}/sound_speed", job.c)
    write_uff_number(out, f"{g}/modulation_frequency", 0.0)
    p = job.probe
    params = p.get("params", {})
    n = len(centers)
    width = params.get("width", 0.0)
    height = params.get("height", 0.0)
    radius = params.get("r_convex")
    theta = np.arctan2(centers[:, 0], centers[:, 2] + radius) if radius else np.zeros(n)
    geometry = np.vstack([centers.T, theta, np.zeros(n), np.full(n, width), np.full(n, height)])
    linear = p["kind"] in ("linear_array", "focused_array")
    write_uff_object(out, f"{g}/probe", "uff.linear_array" if linear else "uff.probe")
    write_uff_number(out, f"{g}/probe/geometry", geometry)
    if linear:
        write_uff_number(out, f"{g}/probe/N", n)
        write_uff_number(out, f"{g}/probe/pitch", width + params["kerf"])
        write_uff_number(out, f"{g}/probe/element_width", width)
        write_uff_number(out, f"{g}/probe/element_height", height)
    seq = f"{g}/sequence"
    if len(elements) > 1:  # an array of waves; a single wave is the object itself
        out.attrs(seq, **{"class": "uff.wave", "name": "sequence",
                          "size": np.array([1, len(elements)], dtype=np.int32),
                          "array": np.array([1], dtype=np.int32)})
    for k, e in enumerate(elements):
        w = f"{seq}/sequence_{k + 1:04d}" if len(elements) > 1 else seq
        write_uff_object(out, w, "uff.wave")
        out.array(f"{w}/wavefront", np.array([[1]], dtype=np.int32),
                  **{"class": "uff.wavefront", "name": "wavefront"})
        x, y, zc = centers[e - 1]
        d = math.sqrt(x * x + y * y + zc * zc)
        write_uff_object(out, f"{w}/source", "uff.point")
        write_uff_number(out, f"{w}/source/distance", d)
        write_uff_number(out, f"{w}/source/azimuth", math.atan2(x, zc) if d else 0.0)
        write_uff_number(out, f"{w}/source/elevation", math.asin(y / d) if d else 0.0)
        write_uff_number(out, f"{w}/sound_speed", job.c)
        write_uff_number(out, f"{w}/delay", lag)
        write_uff_number(out, f"{w}/event", k + 1)


def make_plan(job, threads):
    if job.command == "field":
        return FieldPlan(job, threads)
    if job.image["mode"] == "synthetic_aperture":
        return SyntheticAperturePlan(job, threads)
    return LinePlan(job, threads)

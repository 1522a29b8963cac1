"""The work of the command-line tool, cut into units that any process can compute.

A plan turns a checked job into numbered units: chunks of field points,
image lines or the transmits of a channel-data sequence. `compute(i)` returns a unit's
result (a dict of arrays, picklable so that MPI ranks can send it);
`finish(results, out)` is called on the writing process only, with the units'
results in index order, and writes every dataset. A unit's result does not
depend on which process computed it, so any split of the units gives the
same file.
"""

import dataclasses
import math

import numpy as np

from . import beamform, display, imaging, pulses
from .sequence import Sequence

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
    """h, hp or hhp on points, in chunks of points; per point peak, RMS and energy, reduced in the
    library (Simulator.field_map); with keep_signals the signals too."""

    noun = "points"

    def __init__(self, job, threads):
        self.job, self.threads = job, threads
        f = job.field
        self.points, self.chunk = f["points"], f["chunk"]
        self.units = -(-len(self.points) // self.chunk)
        self.work = len(self.points)
        self.sim = None

    def unit_work(self, i):
        return min(self.chunk, len(self.points) - i * self.chunk)

    def setup(self):
        self.sim = self.job.simulator(self.threads)
        self.ap = self.job.build_probe(self.sim)

    def compute(self, i):
        if self.sim is None:
            self.setup()
        q = self.job.field["quantity"]
        p = self.points[i * self.chunk:(i + 1) * self.chunk]
        m = self.sim.field_map(self.ap, p, quantity=q, reduce=("peak", "energy"))
        fs = self.job.fs
        # The unit's span on the common time axis, as the rows of its aligned signals (one row
        # at sample 0 when no point has a signal).
        start, end = (int(round(t * fs)) for t in m.window)
        if end <= start:
            start, end = 0, 1
        out = {"start": np.int64(start), "rows": np.int64(end - start), "peak": m.peak,
               "energy": m.energy}
        if self.job.field["keep_signals"]:
            calc = getattr(self.sim, "calc_" + q)
            f = calc(self.ap, self.ap, p) if q == "hhp" else calc(self.ap, p)
            out["data"] = f.data
        return out

    def scratch_on_disk(self):
        return self.job.field["keep_signals"]

    def finish(self, scratch, out, spans):
        job, f = self.job, self.job.field
        n = len(self.points)
        peak, energy = np.zeros(n), np.zeros(n)
        for i in range(self.units):
            r = scratch.get(i, ("peak", "energy"))
            sl = slice(i * self.chunk, i * self.chunk + len(r["peak"]))
            peak[sl], energy[sl] = r["peak"], r["energy"]
        first, rows = _span(spans)
        fs = job.fs
        shape = (n,) if f["axes"] is None else tuple(len(f["axes"][a]) for a in "xyz")
        # RMS over the common time axis of all points (the rows of their aligned signals).
        rms = np.sqrt(energy * fs / rows).reshape(shape)
        unit = _UNITS[f["quantity"]]
        axes = ["point"] if f["axes"] is None else ["x", "y", "z"]
        out.attrs("field", quantity=f["quantity"], fs=fs, t0=first / fs, samples=rows,
                  units=unit, axes=axes)
        out.array("field/points", self.points, units="m", columns=["x", "y", "z"])
        if f["axes"] is not None:
            for a in "xyz":
                out.array(f"field/{a}", f["axes"][a], units="m")
        out.array("field/peak", peak.reshape(shape), units=unit, axes=axes)
        out.array("field/rms", rms, units=unit, axes=axes)
        out.array("field/energy", energy.reshape(shape), units=f"({unit})^2 s", axes=axes)
        if f["keep_signals"]:
            d = out.stream("field/signals", (rows, n), units=unit, t0=first / fs, fs=fs,
                           axes=["time", "point"])
            for i in range(self.units):
                r = scratch.get(i)
                s = int(r["start"]) - first
                height, width = r["data"].shape
                d[s:s + height, i * self.chunk:i * self.chunk + width] = r["data"]
        return {"peak": peak.reshape(shape), "rms": rms}


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
            self.imager = imaging.PhasedImager(
                sim, p["no_elements"], p["width"], p["height"], p["kerf"], img["active"],
                job.impulse, job.excitation, img["focus_depth"],
                elevation_focus=img["elevation_focus"], transmit_window=img["transmit_window"],
                **common)
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
        floor = -img["dynamic_range"]
        grid = img["beamform"]["grid"]
        if not sector and grid is not None:  # the lines resampled onto the grid's pixels
            x, z = grid["x"], grid["z"]
            image = np.maximum(display.resample(db, ranges, self.positions, x, z, fill=floor),
                               floor)
        elif not sector:
            x, z = self.positions, ranges
            keep = np.ones(rows, bool)
            if img["z_range"] is not None:
                keep = (z >= img["z_range"][0]) & (z <= img["z_range"][1])
            image, z = db[keep], z[keep]
        else:
            radius = job.probe["params"].get("r_convex", 0.0) if img["mode"] == "convex" else 0.0
            radii = ranges + radius
            th = self.positions
            if grid is not None:
                x, z = grid["x"], grid["z"]
            else:
                x, z = self._sector_pixels(radii, th, radius)
            keep = radii > 0
            image = np.maximum(display.scan_convert(db[keep], radii[keep], th, x, z,
                                                    apex=-radius, fill=floor),
                               floor)  # bilinear weights round below the floor
        _bmode(out, image, {"x": x, "z": z}, img)
        return {"bmode": image, "x": x, "z": z}

    def _sector_pixels(self, radii, th, radius):
        """x and z of image.bmode.pixel_size covering the sector, or x_range and z_range."""
        img = self.img
        r_hi = radii[-1]
        r_lo = max(radii[0], radius)
        xs = [r * math.sin(t) for r in (r_lo, r_hi) for t in (th[0], th[-1])]
        zs = [r * math.cos(t) - radius for r in (r_lo, r_hi) for t in (th[0], th[-1], 0.0)]
        xr = img["x_range"] or [min(xs), max(xs)]
        zr = img["z_range"] or [max(min(zs), 0.0), max(zs)]
        step = img["pixel_size"]
        return np.arange(xr[0], xr[1] + step / 2, step), np.arange(zr[0], zr[1] + step / 2, step)


def _bmode(out, image, axes, img, dims=("z", "x")):
    """/bmode: the image in dB with its axes (name -> positions, m)."""
    out.attrs("bmode", dynamic_range=img["dynamic_range"], tgc=img["tgc"])
    out.array("bmode/image", image, units="dB", axes=list(dims))
    for name in ("x", "y", "z"):
        if name in axes:
            out.array(f"bmode/{name}", axes[name], units="m")


class ChannelPlan(_ImagePlan):
    """Channel data of a transmit sequence (plane, diverging, focused, custom or single-element
    waves), one unit per transmit, written as UFF channel data, and their delay-and-sum
    B-mode image."""

    def __init__(self, job, threads):
        super().__init__(job, threads, job.image["sequence"])
        self.sequence = self.img["sequence"]
        self.synthetic = self.img["mode"] == "synthetic_aperture"
        self.noun = "emissions" if self.synthetic else "transmits"
        self.recorder = None

    def make_recorder(self, sim, probe):
        from .channel import Recorder
        ph = self.job.phantom
        return Recorder(sim, probe, self.sequence, ph.points, ph.amplitudes,
                        texts=self.img["texts"])

    def setup(self):
        from .jobs import make_probe
        job = self.job
        sim = job.simulator(self.threads)
        probe = make_probe(sim, dict(job.probe, focus=None, apodization=None), job.impulse,
                           job.excitation)
        self.recorder = self.make_recorder(sim, probe)
        if self.img["pulse"] is not None:
            cd = self.recorder.channel_data
            cd.center_frequency, cd.bandwidth = self.img["pulse"]

    def compute(self, i):
        if self.recorder is None:
            self.setup()
        out = np.zeros(self.recorder.shape, order="F")
        self.recorder.record(i, out)
        return {"start": np.int64(self.recorder.first), "rows": np.int64(out.shape[0]),
                "data": out}

    def scratch_on_disk(self):
        return True

    def finish(self, scratch, out, spans):
        if self.recorder is None:
            self.setup()
        cd = self.recorder.channel_data
        rows, channels = self.recorder.shape
        if out.format == "hdf5":
            from . import uff
            group = uff.write_metadata(out.file, cd)
            data = uff.create_data(group, cd, rows, single=self.img["single"])[0]
        else:
            out.attrs("channel_data", sampling_frequency=cd.fs, initial_time=cd.initial_time,
                      sound_speed=cd.sound_speed, element_positions=cd.element_positions,
                      kinds=[t.kind for t in self.sequence], delays=self.sequence.delays,
                      apodization=self.sequence.apodizations,
                      wave_delay=np.array([t.delay for t in self.sequence]))
            data = out.stream("channel_data/data", (1, self.units, channels, rows), units="a.u.",
                              axes=["frame", "wave", "channel", "time"])
        for i in range(self.units):
            data[0, i, :, :] = np.asarray(scratch.get(i)["data"]).T
        return self._image(cd, data, out)

    def _transmit_image(self, cd, block, t, grid, fm):
        """The complex image of one transmit's (channels, samples) block on the grid, and the
        mixing frequency (found from the block when IQ is asked for and none is known)."""
        bf = self.img["beamform"]
        one = dataclasses.replace(cd, data=block.T[:, :, None], sequence=Sequence(
            (t,), sound_speed=self.sequence.sound_speed))
        if bf["iq"]:
            fm = fm or beamform.center_frequency(block.T, cd.fs)
            one = beamform.demodulate(one, fm)
        else:  # the RF as its analytic signal: its real part is the RF image
            one.data = display.analytic(block, axis=1).T[:, :, None]
        image = beamform.das(one, grid, f_number=bf["f_number"] or self.img["f_number"],
                             window=bf["window"], threads=self.threads).data
        return image, fm

    def _image(self, cd, data, out):
        """The B-mode image: delay-and-sum (sonvar.beamform.das) of one transmit at a time,
        compounded or kept apart."""
        bf = self.img["beamform"]
        grid = self._grid(cd)
        seq = self.sequence
        fm = cd.center_frequency
        images, total = [], 0.0
        for w, t in enumerate(seq):
            image, fm = self._transmit_image(cd, np.asarray(data[0, w, :, :]), t, grid, fm)
            if bf["compound"]:
                total = total + image
            else:
                images.append(image)
        env = np.abs(total if bf["compound"] else np.stack(images))
        db = self._write_bmode(env, grid, out, fm, bf["compound"])
        # The plot: the compound image, or the middle transmit's; a volume's plane nearest y = 0.
        shown, note = db, ""
        if not bf["compound"]:
            shown, note = shown[len(seq) // 2], f", transmit {len(seq) // 2 + 1} of {len(seq)}"
        if grid.y is not None:
            k = int(np.argmin(np.abs(grid.y)))
            shown, note = shown[:, k, :], note + f", y = {grid.y[k] * 1e3:.2f} mm"
        return {"bmode": shown, "x": grid.x, "z": grid.z, "note": note}

    def _write_bmode(self, env, grid, out, fm, compound):
        """/bmode of the envelope (one image, or one per transmit when not compounded): time-gain
        compensation, log compression, the delay-and-sum's attributes; returns the dB image."""
        img, bf = self.img, self.img["beamform"]
        depth_axis = 0 if compound else 1
        if img["tgc"]:
            env = np.moveaxis(display.time_gain(np.moveaxis(env, depth_axis, 0), grid.z,
                                                img["tgc"]), 0, depth_axis)
        db = display.log_compress(env, img["dynamic_range"]) if env.max() > 0 else \
            np.full(env.shape, -img["dynamic_range"])
        dims = ("transmit",) * (not compound) + tuple(grid.axes)
        _bmode(out, db, grid.axes, img, dims)
        out.attrs("bmode", method="delay-and-sum", f_number=bf["f_number"] or img["f_number"],
                  window=bf["window"], compound=bf["compound"], iq=bf["iq"],
                  modulation_frequency=float(fm or 0.0) if bf["iq"] else 0.0)
        return db

    def _grid(self, cd):
        """image.beamform.grid, or pixels of image.bmode.pixel_size over x_range (default the
        elements' extent) and z_range (default the phantom's depths, 1 mm wider each way)."""
        img = self.img
        axes = img["beamform"]["grid"]
        if axes is not None:
            return beamform.CartesianGrid(x=axes["x"], z=axes["z"], y=axes.get("y"))
        step = img["pixel_size"]
        x_all = cd.element_positions[:, 0]
        depths = self.job.phantom.points[:, 2]
        xr = img["x_range"] or [x_all.min(), x_all.max()]
        zr = img["z_range"] or [max(depths.min() - 1e-3, 0.0), depths.max() + 1e-3]
        return beamform.CartesianGrid(x=np.arange(xr[0], xr[1] + step / 2, step),
                                      z=np.arange(zr[0], zr[1] + step / 2, step))


def make_plan(job, threads):
    if job.command == "field":
        return FieldPlan(job, threads)
    if job.ensemble is not None:
        from .ensemble_jobs import EnsemblePlan
        return EnsemblePlan(job, threads)
    if job.image["mode"] in CHANNEL_MODES:
        return ChannelPlan(job, threads)
    return LinePlan(job, threads)


#: Image modes that record channel data.
CHANNEL_MODES = ("synthetic_aperture", "plane_wave", "diverging_wave", "focused", "custom")

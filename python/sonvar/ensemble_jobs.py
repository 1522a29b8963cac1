"""Ensembles and Doppler in job files: the keys `phantom.flow`, `ensemble` and `doppler`, and
the plan that simulates the frames, beamforms them and writes the Doppler maps.

An image job of a channel-data mode with an `ensemble` section fires its sequence
`ensemble.frames` times at `ensemble.prf` (docs/jobs.md, "Ensembles and Doppler"): the frames
are the units of work that processes share; the file holds the channel data of every frame
(UFF, with the PRF), the beamformed IQ frames, the B-mode image of the first frame and the
Doppler maps.
"""

import warnings

import numpy as np

from . import doppler
from . import motion as motion_module
from .run import ChannelPlan

__all__ = ["FLOW_KINDS", "read_flow", "read", "EnsemblePlan"]

#: Kinds of `phantom.flow`.
FLOW_KINDS = ("vessel", "disk")
_BOX = ("count", "x_range", "y_range", "z_range")


def read_flow(sec, box, seed):
    """phantom.flow: a vessel or a rotating disk in the speckle generator's box (box: its count,
    x_range, y_range, z_range, already checked), made by sonvar.motion (whose checks name the
    key)."""
    from .jobs import _call_by_name
    flow = sec.section("flow")
    kind = flow.string("kind", choices=FLOW_KINDS)
    inner = flow.sub({k: v for k, v in flow.values.items() if k != "kind"}, flow.prefix)
    make = motion_module.vessel if kind == "vessel" else motion_module.rotating_disk
    return _call_by_name(inner, make, skip=("rng",) + _BOX, fixed=dict(box, rng=seed))


def read(top, job):
    """The keys `ensemble` and `doppler` of an image job, and what they need of the others."""
    from .jobs import CHANNEL_MODES
    report = top.report
    attempt = report.attempt
    img = job.image or {}
    flow = isinstance(job.phantom, motion_module.MovingPhantom)
    if not top.has("ensemble"):
        if flow:
            attempt(lambda: top.sub({}, "phantom").fail(
                "flow", "expected an ensemble (ensemble.frames, ensemble.prf) to move the flow"))
        if top.has("doppler"):
            attempt(lambda: top.fail("doppler", "expected an ensemble (ensemble.frames, "
                                                "ensemble.prf) for Doppler maps"))
        return
    sec = top.section("ensemble")
    frames = sec.integer("frames", at_least=2)
    prf = sec.number("prf", None, above=0)
    sec.done()
    if img.get("mode") is not None and img["mode"] not in CHANNEL_MODES:
        sec.fail("frames", f"expected a channel-data image mode for an ensemble, got "
                           f"{img['mode']}")
    image = top.sub(top.values.get("image", {}), "image")
    if img.get("prf") is not None:
        if prf is not None and prf != img["prf"]:
            sec.fail("prf", "expected either image.prf or ensemble.prf, or the same value")
        prf = img["prf"]
    if prf is None:
        sec.fail("prf", "missing key")
    beam = img.get("beamform") or {}
    if beam.get("compound") is False:
        attempt(lambda: image.sub({}, "image.beamform").fail(
            "compound", "expected true with an ensemble (the Doppler maps take one image per "
                        "frame)"))
    if (beam.get("grid") or {}).get("y") is not None:
        attempt(lambda: image.sub({}, "image.beamform.grid").fail(
            "y", "expected a 2-D grid (x, z) for the Doppler maps of an ensemble"))
    job.ensemble = {"frames": frames, "prf": prf}
    job.doppler = attempt(lambda: _doppler(top, frames, prf, img), None)
    sequence = img.get("sequence")
    if flow and sequence is not None:
        text = job.phantom.warning(len(sequence) / prf)
        if text:
            job.warnings.append(f"{job.path}: phantom.flow.{text}")


def _doppler(top, frames, prf, img):
    sec = top.section("doppler", {})
    out = {"clutter": sec.string("clutter", "polynomial", choices=doppler.CLUTTER_FILTERS)}
    least = 1 if out["clutter"] == "iir" else 0
    out["order"] = sec.integer("order", 2, at_least=least)
    if out["clutter"] != "none" and out["order"] > frames - 2:
        sec.fail("order", f"expected at most {frames - 2} for {frames} frames (the filter "
                          f"leaves nothing of them otherwise), got {out['order']}")
    rate = prf / max(1, len(img.get("sequence") or (None,)))
    out["cutoff"] = sec.number("cutoff", None, above=0)
    if out["clutter"] == "iir":
        if out["cutoff"] is None:
            sec.fail("cutoff", "missing key (the iir filter's -3 dB frequency, Hz)")
        if not out["cutoff"] < rate / 2:
            sec.fail("cutoff", f"expected a frequency below half the frame rate ({rate / 2:g} "
                               f"Hz), got {out['cutoff']:g}")
    elif out["cutoff"] is not None:
        sec.fail("cutoff", "expected no cutoff unless clutter is iir")
    kernel = sec.raw("kernel", [5, 3])
    if (not isinstance(kernel, list) or len(kernel) != 2 or not all(
            isinstance(k, int) and not isinstance(k, bool) and k >= 1 and k % 2 == 1
            for k in kernel)):
        sec.fail("kernel", f"expected two odd pixel counts [depth, lateral], got {kernel!r}")
    out["kernel"] = tuple(kernel)
    out["threshold"] = sec.number("threshold", -20.0)
    if out["threshold"] > 0:
        sec.fail("threshold", f"expected dB at or below 0, got {out['threshold']:g}")
    out["floor"] = sec.number("floor", -100.0)
    sec.done()
    return out


class EnsemblePlan(ChannelPlan):
    """The sequence repeated over the frames of an ensemble, one unit per frame; the channel
    data of every frame (UFF), the beamformed IQ frames, the B-mode image of the first frame
    and the Doppler maps."""

    noun = "frames"

    def __init__(self, job, threads):
        super().__init__(job, threads)
        self.noun = "frames"
        self.frames, self.prf = job.ensemble["frames"], job.ensemble["prf"]
        self.units = self.work = self.frames

    def make_recorder(self, sim, probe):
        from .ensemble import EnsembleRecorder
        ph = self.job.phantom
        with warnings.catch_warnings():  # reported once, when the job was read
            warnings.simplefilter("ignore", motion_module.MotionWarning)
            return EnsembleRecorder(sim, probe, self.sequence, ph, self.frames, self.prf,
                                    texts=self.img["texts"], keep=len(self.sequence))

    def compute(self, i):
        if self.recorder is None:
            self.setup()
        data = self.recorder.frame(i)
        return {"start": np.int64(self.recorder.recorder.first), "rows": np.int64(data.shape[0]),
                "data": data}

    def finish(self, scratch, out, spans):
        if self.recorder is None:
            self.setup()
        cd = self.recorder.channel_data
        rows, channels = self.recorder.shape
        n = len(self.sequence)
        if out.format == "hdf5":
            from . import uff
            group = uff.write_metadata(out.file, cd)
            data = uff.create_data(group, cd, rows, single=self.img["single"],
                                   frames=self.frames)[0]
        else:
            data = self._npy_channel_data(cd, out, (self.frames, n, channels, rows))
        for f in range(self.frames):
            data[f] = np.transpose(np.asarray(scratch.get(f)["data"]), (2, 1, 0))
        grid = self._grid(cd)
        fm = cd.center_frequency
        iq = np.zeros((self.frames,) + grid.shape, complex)
        for f in range(self.frames):
            for w, t in enumerate(self.sequence):
                image, fm = self._transmit_image(cd, np.asarray(data[f, w, :, :]), t, grid, fm)
                iq[f] += image
        out.array("beamformed/iq", iq, units="a.u.", axes=["frame", "z", "x"])
        out.attrs("beamformed", modulation_frequency=float(fm or 0.0) if self.img["beamform"][
            "iq"] else 0.0, frames=self.frames, prf=self.prf)
        for name in ("x", "z"):
            out.array(f"beamformed/{name}", getattr(grid, name), units="m")
        db = self._write_bmode(np.abs(iq[0]), grid, out, fm, True)
        out.attrs("bmode", frame=1)
        products = {"bmode": db, "x": grid.x, "z": grid.z}
        products["doppler"] = self._doppler(iq, grid, cd, out)
        products["note"] = f", frame 1 of {self.frames}"
        return products

    def _npy_channel_data(self, cd, out, shape):
        out.attrs("channel_data", sampling_frequency=cd.fs, initial_time=cd.initial_time,
                  sound_speed=cd.sound_speed, element_positions=cd.element_positions, prf=self.prf,
                  kinds=[t.kind for t in self.sequence], delays=self.sequence.delays,
                  apodization=self.sequence.apodizations,
                  wave_delay=np.array([t.delay for t in self.sequence]))
        return out.stream("channel_data/data", shape, units="a.u.",
                          axes=["frame", "wave", "channel", "time"])

    def _doppler(self, iq, grid, cd, out):
        """/doppler: velocity, power, mask and local frequency maps with their axes."""
        img, d = self.img, self.job.doppler
        interval = len(self.sequence) / self.prf
        k = doppler.bisector(grid.points(), self.sequence, cd.element_positions,
                             img["beamform"]["f_number"] or img["f_number"])
        nominal = img["pulse"][0] if img["pulse"] is not None else cd.center_frequency
        maps = doppler.estimate(iq, interval, cd.sound_speed, z=grid.z, x=grid.x,
                                clutter=d["clutter"], order=d["order"], cutoff=d["cutoff"],
                                kernel=d["kernel"], threshold=d["threshold"], floor=d["floor"],
                                center_frequency=nominal, bisector=k)
        out.attrs("doppler", frames=self.frames, prf=self.prf, interval=interval,
                  aliasing_velocity=maps.aliasing_velocity, clutter=d["clutter"],
                  order=d["order"], cutoff=d["cutoff"] or 0.0, kernel=list(d["kernel"]),
                  threshold=d["threshold"], floor=d["floor"])
        out.array("doppler/velocity", maps.velocity, units="m/s", axes=["z", "x"],
                  quantity="velocity along the bisector of the transmit and receive directions, "
                           "positive towards the probe")
        out.array("doppler/power", maps.power, units="dB", axes=["z", "x"],
                  quantity="power of the filtered echoes, dB of the brightest unfiltered echo")
        out.array("doppler/mask", maps.mask.astype(np.uint8), axes=["z", "x"],
                  quantity="1 where the power lies below the threshold or the floor "
                           "(velocity 0)")
        out.array("doppler/frequency", maps.frequency, units="Hz", axes=["z", "x"],
                  quantity="local mean frequency of the echoes (0 where masked)")
        out.array("doppler/x", grid.x, units="m")
        out.array("doppler/z", grid.z, units="m")
        return maps

"""Ensembles: a transmit sequence repeated over slow time at a pulse repetition frequency.

`Simulator.ensemble` (implemented here as `simulate`) fires the sequence
`frames` times. Consecutive transmits lie 1 / prf apart: transmit w of
frame f fires at

    t = (f * transmits + w) / prf

after the first, so a frame of N transmits lasts N / prf and scatterers move
within a frame as well as between frames (they stand still during one
emission's echoes). Each emission takes the scatterers where the phantom
(`sonvar.motion`) has them at its time.

The result is channel data of shape (samples, channels, transmits, frames)
on one time axis for every transmit of every frame (docs/imaging.md), as
`Simulator.channel_data` gives for one frame: the axis holds every echo of
every frame, found before anything is simulated. Static scatterers echo
the same in every frame: their echoes are computed once per transmit and
added to the moving scatterers' echoes of each frame (linearity: the same
channels, to rounding, as one call with all scatterers).
"""

import os
import warnings

import numpy as np

from . import _checks as chk
from .channel import Recorder, _extent
from .motion import MotionWarning, MovingPhantom
from .phantom import Phantom
from .sequence import Sequence

__all__ = ["EnsembleRecorder", "simulate", "transmit_times"]

# Moving scatterers per call of the time-axis search (over several frames' positions).
_EXTENT_POINTS = 1 << 16


def transmit_times(transmits: int, frames: int, prf: float) -> np.ndarray:
    """Time of each transmit of each frame after the first emission, s: (frames, transmits).

    Parameters
    ----------
    transmits, frames : int
        Transmits of a frame, frames of the ensemble.
    prf : float
        Pulse repetition frequency, Hz (the rate of emissions).

    Returns
    -------
    numpy.ndarray
        (f * transmits + w) / prf at [f, w].

    Example
    -------
    >>> (transmit_times(2, 3, 1e3) * 1e3).tolist()
    [[0.0, 1.0], [2.0, 3.0], [4.0, 5.0]]
    """
    n = chk.count(transmits, "transmits")
    f = chk.count(frames, "frames")
    rate = chk.number(prf, "prf", positive=True)
    return (np.arange(f)[:, None] * n + np.arange(n)[None, :]) / rate


def _phantom(phantom):
    if isinstance(phantom, MovingPhantom):
        return phantom
    if isinstance(phantom, Phantom):
        return MovingPhantom(phantom)
    raise TypeError(f"phantom must be a sonvar.phantom.Phantom or a sonvar.motion.MovingPhantom, "
                    f"not {type(phantom).__name__}")


class EnsembleRecorder:
    """One ensemble: the emission times, the time axis of every echo of every frame and the
    static scatterers' echoes, kept per transmit (at most `keep` transmits at a time).

    `record(f, w, out)` adds the echoes of transmit w of frame f into out (float64 (samples,
    channels), each column's samples contiguous); `channel_data` holds the fields.
    """

    def __init__(self, sim, probe, sequence, phantom, frames, prf=None, receive=None, texts=None,
                 keep=1):
        if not isinstance(sequence, Sequence):
            raise TypeError(f"sequence must be a Sequence, not {type(sequence).__name__}")
        self.phantom = _phantom(phantom)
        self.frames = chk.count(frames, "frames")
        if self.phantom.frames is not None and self.frames > self.phantom.frames:
            raise ValueError(f"frames: the phantom's positions hold {self.phantom.frames} frames, "
                             f"got {self.frames}")
        prf = sequence.prf if prf is None else prf
        if prf is None:
            raise ValueError("prf: an ensemble needs a pulse repetition frequency (give prf or a "
                             "sequence with one)")
        self.prf = chk.number(prf, "prf", positive=True)
        self.sequence = Sequence(sequence.transmits, prf=self.prf,
                                 sound_speed=sequence.sound_speed)
        n = len(self.sequence)
        self.times = transmit_times(n, self.frames, self.prf)
        self.interval = n / self.prf
        text = self.phantom.warning(self.interval) if self.frames > 1 else None
        if text:
            warnings.warn(text, MotionWarning, stacklevel=3)
        self.static = self.phantom.static
        start = self.phantom.at(0.0, 0)
        if len(start) == 0:
            raise ValueError("phantom: no scatterer echoes at the first emission")
        kinds = sorted({t.kind for t in self.sequence})
        described = {"info": f"simulated ensemble: {self.frames} frames of {n} transmits "
                             f"({', '.join(kinds)}) at a PRF of {self.prf:g} Hz of "
                             f"{probe.no_elements} elements, {len(self.static)} static and "
                             f"{len(start) - len(self.static)} moving scatterers, "
                             f"fs {sim.fs:g} Hz"}
        described.update(texts or {})
        self.recorder = Recorder(sim, probe, self.sequence, start.points, start.amplitudes,
                                 receive, described, extent=self._extent)
        self.keep = chk.count(keep, "keep")
        self.cache = {}
        self.scratch = None

    def _extent(self, tx, rx):
        """(first sample, samples) of an axis that holds every echo of every frame."""
        sim = tx._sim
        spans = []
        if len(self.static):
            spans.append(_extent(sim, tx, rx, self.sequence, self.static.points))
        for w, t in enumerate(self.sequence):
            gathered, size = [], 0
            for f in range(self.frames):
                p = self.phantom.moving(self.times[f, w], f).points
                gathered.append(p)
                size += len(p)
                if size >= _EXTENT_POINTS or f == self.frames - 1:
                    if size:
                        spans.append(_extent(sim, tx, rx, (t,), np.vstack(gathered)))
                    gathered, size = [], 0
        first = min(s for s, _ in spans)
        return first, max(s + r for s, r in spans) - first

    @property
    def channel_data(self):
        """The ensemble's channel data fields (data None)."""
        return self.recorder.channel_data

    @property
    def shape(self):
        """(samples, channels) of one transmit."""
        return self.recorder.shape

    def _static_echo(self, w):
        if w not in self.cache:
            if len(self.cache) >= self.keep:
                self.cache.pop(next(iter(self.cache)))
            echo = np.zeros(self.shape, order="F")
            self.recorder.record(w, echo, self.static.points, self.static.amplitudes)
            self.cache[w] = echo
        return self.cache[w]

    def record(self, f, w, out):
        """Adds the echoes of transmit w of frame f into out."""
        out += self._static_echo(w)
        m = self.phantom.moving(self.times[f, w], f)
        if len(m):
            # The library forms the echoes in place over the samples they cover, taking what
            # it finds there as part of them: they are formed in zeros and added.
            if self.scratch is None:
                self.scratch = np.zeros(self.shape, order="F")
            self.scratch[:] = 0.0
            self.recorder.record(w, self.scratch, m.points, m.amplitudes)
            out += self.scratch

    def frame(self, f):
        """Every transmit of frame f: (samples, channels, transmits), Fortran order."""
        out = np.zeros(self.shape + (len(self.sequence),), order="F")
        for w in range(len(self.sequence)):
            self.record(f, w, out[:, :, w])
        return out


def simulate(sim, probe, sequence, phantom, frames, prf=None, receive=None, path=None,
             single=False, texts=None):
    """An ensemble of channel data; see Simulator.ensemble."""
    rec = EnsembleRecorder(sim, probe, sequence, phantom, frames, prf, receive, texts, keep=1)
    result = rec.channel_data
    n = len(rec.sequence)
    if path is None:
        result.data = np.zeros(rec.shape + (n, rec.frames), order="F")
        for w in range(n):  # transmit by transmit: one transmit's static echoes kept
            for f in range(rec.frames):
                rec.record(f, w, result.data[:, :, w, f])
        return result
    from . import uff
    writer = uff.Writer(os.fspath(path), result, rec.shape[0], single=single, frames=rec.frames)
    try:
        slab = np.zeros(rec.shape, order="F")
        for w in range(n):
            for f in range(rec.frames):
                slab[:] = 0.0
                rec.record(f, w, slab)
                writer.put(w, slab, frame=f)
        writer.close()
    except BaseException:
        writer.discard()
        raise
    return result

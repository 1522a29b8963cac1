"""Channel data: raw per-element echoes of every transmit on one time axis.

`Simulator.channel_data` (implemented here as `simulate`) fires each
transmit of a Sequence from the probe and records the echo on every element
of the probe (or of a given receive aperture), without receive focusing or
apodization. Sample k of every transmit lies at `initial_time + k / fs`
after that transmit's t = 0 (the moment its wavefront passes (0, 0, 0)),
with the pulse's own two-way lag taken out of `initial_time`: the echo of a
point p received by element r for transmit w peaks at

    time_of_flight_w(p) + |p - r| / c - delay_w

(docs/imaging.md). The result holds the samples plus a fixed amount per
thread; with `path` the transmits go to a UFF file one at a time instead.
"""

import os
from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike

from . import _checks as chk
from . import _core, pulses
from .sequence import Sequence

__all__ = ["ChannelData", "ProbeGeometry", "simulate", "pulse_band"]

# Samples of margin on each side of the computed extent of the echoes.
_MARGIN = 4
# Scatterers per block of the extent's distance tables.
_BLOCK = 4096


@dataclass(frozen=True, eq=False)
class ProbeGeometry:
    """Element geometry of a probe as USTB describes it.

    Attributes
    ----------
    kind : {"linear", "convex", "probe"}
        "linear": evenly spaced along x at y = z = 0, centred; "convex":
        evenly spaced on an arc of `radius` in the xz plane, its apex at
        (0, 0, 0); "probe": any other layout (2-D and multi-row arrays,
        free-form tables).
    positions : (elements, 3) numpy.ndarray
        Element centres, m.
    theta, phi : (elements,) numpy.ndarray
        Azimuth and elevation of each element's normal, rad.
    width, height : (elements,) numpy.ndarray
        Element size along its own x and y, m.
    pitch : float or None
        Centre spacing (linear), or chord between neighbouring centres
        (convex), m.
    radius : float or None
        Radius of a convex array, m.
    """

    kind: str
    positions: np.ndarray
    theta: np.ndarray
    phi: np.ndarray
    width: np.ndarray
    height: np.ndarray
    pitch: float = None
    radius: float = None

    @classmethod
    def from_positions(cls, positions: ArrayLike, theta: Optional[ArrayLike] = None,
                       phi: Optional[ArrayLike] = None, width: Optional[ArrayLike] = None,
                       height: Optional[ArrayLike] = None) -> "ProbeGeometry":
        """The geometry of element centres (m), with optional tilts (rad) and sizes (m)."""
        p = chk.points(positions, "positions")
        n = len(p)
        values = [np.zeros(n) if v is None else chk.vector(v, name, length=n)
                  for v, name in ((theta, "theta"), (phi, "phi"), (width, "width"),
                                  (height, "height"))]
        kind, pitch, radius = _layout(p)
        if kind == "convex":
            values[0] = np.arctan2(p[:, 0], p[:, 2] + radius)
        return cls(kind, p, *values, pitch=pitch, radius=radius)

    @classmethod
    def from_aperture(cls, aperture: Any) -> "ProbeGeometry":
        """The geometry of an Aperture: its centres, and tilts and sizes from its rectangles."""
        p = aperture.element_centers
        n = len(p)
        theta, phi, width, height = np.zeros(n), np.zeros(n), np.zeros(n), np.zeros(n)
        if aperture.kind == "rectangles":
            t = aperture.table("rectangles")
            element = t[:, 0].astype(int)
            corners = t[:, 10:22].reshape(-1, 4, 3)
            for i in range(n):
                mine = element == i
                if not np.any(mine):
                    continue
                theta[i] = -np.mean(np.arctan(t[mine, 5]))
                phi[i] = -np.mean(np.arctan(t[mine, 6]))
                c = corners[mine].reshape(-1, 3)
                along = c @ np.array([np.cos(theta[i]), 0.0, -np.sin(theta[i])])
                width[i] = along.max() - along.min()
                height[i] = c[:, 1].max() - c[:, 1].min()
        return cls.from_positions(p, theta, phi, width, height)

    @property
    def elements(self) -> int:
        """Number of elements."""
        return len(self.positions)


def _layout(p, tolerance=1e-9):
    """("linear" | "convex" | "probe", pitch, radius) of element centres."""
    n = len(p)
    if n < 2 or np.any(np.abs(p[:, 1]) > tolerance):
        return "probe", None, None
    x, z = p[:, 0], p[:, 2]
    steps = np.diff(x)
    centred = abs(x[0] + x[-1]) <= tolerance
    even = np.all(np.abs(steps - steps[0]) <= tolerance) and steps[0] > 0
    if np.all(np.abs(z) <= tolerance) and centred and even:
        return "linear", float(steps[0]), None
    # An arc about (0, 0, -R) through (0, 0, 0): x^2 + (z + R)^2 = R^2 gives R per element.
    if np.all(z < 0):
        r = -(x * x + z * z) / (2 * z)
        angles = np.arctan2(x, z + r.mean())
        da = np.diff(angles)
        if np.all(np.abs(r - r.mean()) <= tolerance * 1e3) and np.all(np.abs(da - da[0]) <= 1e-9) \
                and da[0] > 0 and abs(angles[0] + angles[-1]) <= 1e-9:
            radius = float(r.mean())
            return "convex", float(2 * radius * np.sin(da[0] / 2)), radius
    return "probe", None, None


@dataclass(eq=False)
class ChannelData:
    """Per-element echoes of every transmit of a sequence on one time axis.

    Attributes
    ----------
    data : numpy.ndarray or None
        (samples, channels, transmits) or (samples, channels, transmits,
        frames): real RF (modulation_frequency 0) or complex IQ. None when
        the samples were written to a file instead.
    fs : float
        Sampling frequency, Hz.
    initial_time : float
        Time of sample 0 after each transmit's t = 0, s (the two-way pulse's
        lag taken out).
    sound_speed : float
        Speed of sound, m/s.
    element_positions : (channels, 3) numpy.ndarray
        Receiving element centres, m.
    sequence : Sequence
        The transmits, in the order of the data's third axis.
    probe : ProbeGeometry
        Geometry of the receiving elements.
    modulation_frequency : float
        0 for RF data, else the demodulation frequency of IQ data, Hz.
    center_frequency, bandwidth : float or None
        The pulse's centre frequency, Hz, and fractional -6 dB bandwidth.
    texts : dict
        name, author, version and info strings of the dataset.
    """

    data: np.ndarray
    fs: float
    initial_time: float
    sound_speed: float
    element_positions: np.ndarray
    sequence: Sequence
    probe: ProbeGeometry = None
    modulation_frequency: float = 0.0
    center_frequency: float = None
    bandwidth: float = None
    texts: dict = field(default_factory=dict)

    def __post_init__(self):
        self.element_positions = chk.points(self.element_positions, "element_positions")
        if not isinstance(self.sequence, Sequence):
            raise TypeError(f"sequence must be a Sequence, not {type(self.sequence).__name__}")
        if self.probe is None:
            self.probe = ProbeGeometry.from_positions(self.element_positions)
        if self.data is not None:
            d = self.data
            expected = (len(self.element_positions), len(self.sequence))
            if d.ndim not in (3, 4) or d.shape[1:3] != expected:
                raise ValueError(f"data must have shape (samples, {expected[0]}, {expected[1]}"
                                 f"[, frames]), got {d.shape}")

    @property
    def prf(self) -> Optional[float]:
        """The sequence's pulse repetition frequency, Hz, or None."""
        return self.sequence.prf

    @property
    def frames(self) -> int:
        """Frames of the data (its fourth axis; 1 for 3-D data)."""
        return 1 if self.data is None or self.data.ndim == 3 else self.data.shape[3]

    @property
    def samples(self) -> int:
        """Samples per channel."""
        return 0 if self.data is None else self.data.shape[0]

    @property
    def time(self) -> np.ndarray:
        """Time of every sample, s: initial_time + arange(samples) / fs."""
        return self.initial_time + np.arange(self.samples) / self.fs


def pulse_band(fs: float, *signals: ArrayLike) -> Tuple[float, float]:
    """Centre frequency (Hz) and fractional -6 dB bandwidth of the convolution of signals.

    The centre is the middle of the band where the spectrum stays within
    6 dB of its peak.
    """
    p = signals[0]
    for s in signals[1:]:
        p = np.convolve(p, s)
    n = 1 << max(14, int(np.ceil(np.log2(len(p)))) + 4)
    spectrum = np.abs(np.fft.rfft(p, n))
    f = np.fft.rfftfreq(n, 1 / fs)
    band = f[spectrum >= spectrum.max() / 2]
    centre = (band.min() + band.max()) / 2
    return float(centre), float((band.max() - band.min()) / centre) if centre > 0 else 0.0


def _copy(aperture, name):
    """A new aperture of the same elements and pulses, focused and apodized from scratch."""
    sim = aperture._sim
    if aperture.kind == "rectangles":
        t = aperture.table("rectangles")
        rows = np.column_stack([t[:, 0] + 1, t[:, 10:22], t[:, 4], t[:, 2], t[:, 3], t[:, 7:10]])
        new = sim.rectangles(rows, aperture.element_centers)
        delayed = np.unique(t[t[:, 22] != 0, 0]).astype(int)
        for e in delayed:
            new.element_delay([e + 1], t[t[:, 0] == e, 22])
    elif aperture.kind == "triangles":
        t = aperture.table("triangles")
        rows = np.column_stack([t[:, 0] + 1, t[:, 6:15], t[:, 2]])
        new = sim.triangles(rows, aperture.element_centers)
    else:
        raise ValueError(f"{name}: an aperture of line elements cannot be used for channel data; "
                         "build it of rectangles or triangles")
    new.impulse(aperture.impulse_response)
    new.excitation(aperture.excitation_signal)
    return new


def _radii(aperture):
    """Distance from each element centre to its farthest corner, m (0 where unknown)."""
    centers = aperture.element_centers
    r = np.zeros(len(centers))
    kind = aperture.kind
    if kind in ("rectangles", "triangles"):
        t = aperture.table(kind)
        corners = t[:, 10:22].reshape(-1, 4, 3) if kind == "rectangles" else \
            t[:, 6:15].reshape(-1, 3, 3)
        element = t[:, 0].astype(int)
        far = np.linalg.norm(corners - centers[element][:, None, :], axis=2).max(axis=1)
        np.maximum.at(r, element, far)
        if kind == "rectangles":  # sub-element delays widen the window like distance
            np.maximum.at(r, element, far + np.abs(t[:, 22]) * aperture._sim.c)
    return r


def _extent(sim, tx, rx, sequence, points):
    """First sample and samples of a time axis holding every echo of the sequence."""
    c, fs = sim.c, sim.fs
    tc, tr = tx.element_centers, _radii(tx)
    rc, rr = rx.element_centers, _radii(rx)
    lo, hi = np.inf, -np.inf
    for b in range(0, len(points), _BLOCK):
        p = points[b:b + _BLOCK]
        d = np.linalg.norm(p[:, None, :] - rc[None, :, :], axis=2)
        rx_lo, rx_hi = (d - rr).min(axis=1) / c, (d + rr).max(axis=1) / c
        for t in sequence:
            on = t.apodization != 0
            if not np.any(on):
                continue
            dt = np.linalg.norm(p[:, None, :] - tc[None, on, :], axis=2)
            lo = min(lo, float(np.min((t.delays[on] + (dt - tr[on]) / c).min(axis=1) + rx_lo)))
            hi = max(hi, float(np.max((t.delays[on] + (dt + tr[on]) / c).max(axis=1) + rx_hi)))
    if not np.isfinite(lo):
        return 0, 1
    taps = len(tx.impulse_response) + len(tx.excitation_signal) + len(rx.impulse_response) - 2
    first = int(np.floor(lo * fs)) - _MARGIN
    return first, int(np.ceil(hi * fs)) + taps + _MARGIN - first + 1


class Recorder:
    """One channel-data acquisition: copies of the probe for transmit and receive, the time
    axis that holds every echo of the sequence, and the channel data's fields; record(w, out)
    adds transmit w's echoes into out. `extent(tx, rx)`, when given, returns the time axis
    (first sample, samples) in place of the one of `points`."""

    def __init__(self, sim: Any, probe: Any, sequence: Any, points: ArrayLike,
                 amplitudes: ArrayLike, receive: Any = None, texts: Optional[dict] = None,
                 extent: Optional[Callable] = None) -> None:
        from .simulator import Aperture
        if not isinstance(probe, Aperture):
            raise TypeError(f"probe must be an Aperture, not {type(probe).__name__}")
        if probe._sim is not sim:
            raise ValueError("probe belongs to another Simulator")
        if receive is not None:
            if not isinstance(receive, Aperture):
                raise TypeError(f"receive must be an Aperture or None, not "
                                f"{type(receive).__name__}")
            if receive._sim is not sim:
                raise ValueError("receive belongs to another Simulator")
        if not isinstance(sequence, Sequence):
            raise TypeError(f"sequence must be a Sequence, not {type(sequence).__name__}")
        if sequence.elements != probe.no_elements:
            raise ValueError(f"sequence: its transmits have {sequence.elements} delays and "
                             f"weights, the probe {probe.no_elements} elements")
        self.sim = sim
        self.points = chk.points(points)
        self.amplitudes = chk.vector(amplitudes, "amplitudes", length=self.points.shape[0])
        self.sequence = sequence
        self.tx = _copy(probe, "probe")
        self.rx = _copy(receive if receive is not None else probe, "receive")
        self.rx.focus_times(np.zeros(self.rx.no_elements))
        self.rx.apodization(np.ones(self.rx.no_elements))
        self.first, self.rows = (_extent(sim, self.tx, self.rx, sequence, self.points)
                                 if extent is None else extent(self.tx, self.rx))
        imp_t, exc, imp_r = (self.tx.impulse_response, self.tx.excitation_signal,
                             self.rx.impulse_response)
        fs = sim.fs
        lag = pulses.center_delay(fs, imp_t, exc, imp_r)
        centre, band = pulse_band(fs, imp_t, exc, imp_r)
        kinds = sorted({t.kind for t in sequence})
        described = {"name": "channel data", "author": f"Sonvar {_core.version}", "version": "1",
                     "info": f"simulated: {len(sequence)} transmits ({', '.join(kinds)}) of "
                             f"{probe.no_elements} elements, {len(self.points)} scatterers, "
                             f"fs {fs:g} Hz"}
        described.update(texts or {})
        self.channel_data = ChannelData(None, fs, self.first / fs - lag, sim.c,
                                        self.rx.element_centers, sequence,
                                        ProbeGeometry.from_aperture(self.rx),
                                        center_frequency=centre, bandwidth=band, texts=described)

    @property
    def shape(self) -> Tuple[int, int]:
        """(samples, channels) of one transmit."""
        return self.rows, self.rx.no_elements

    def record(self, w: int, out: Any, points: Optional[ArrayLike] = None,
               amplitudes: Optional[ArrayLike] = None) -> None:
        """Writes the echoes of transmit w into out: float64 (samples, channels), each column's
        samples contiguous (a slab of a Fortran-ordered array), zero where the echoes land
        (the library forms them in place: what it finds there is taken as part of them); of
        other scatterers when points (n, 3) and amplitudes (n,) are given (checked, n may be
        0)."""
        if points is None:
            points, amplitudes = self.points, self.amplitudes
        elif len(points) == 0:
            return
        t = self.sequence[w]
        self.tx.focus_times(t.delays)
        self.tx.apodization(t.apodization)
        dropped = _core.scat_channels(self.sim._state, self.tx._core, self.rx._core, points,
                                      amplitudes, out, self.first)
        if dropped:
            raise RuntimeError(f"channel data: {dropped} echo samples of transmit {w} fell "
                               "outside the time axis")
        if not np.isfinite(out).all():
            raise ValueError(f"amplitudes: the echoes of transmit {w} overflow (largest "
                             f"|amplitude| {np.abs(amplitudes).max():g}); scale them down")


def simulate(sim: Any, probe: Any, sequence: Any, points: ArrayLike, amplitudes: ArrayLike,
             receive: Any = None, path: Optional[str] = None, single: bool = False,
             texts: Optional[dict] = None) -> "ChannelData":
    """Per-element echoes of every transmit; see Simulator.channel_data."""
    recorder = Recorder(sim, probe, sequence, points, amplitudes, receive, texts)
    result = recorder.channel_data
    if path is None:
        result.data = np.zeros(recorder.shape + (len(sequence),), order="F")
        for w in range(len(sequence)):
            recorder.record(w, result.data[:, :, w])
        return result
    from . import uff
    writer = uff.Writer(os.fspath(path), result, recorder.rows, single=single)
    try:
        slab = np.zeros(recorder.shape, order="F")
        for w in range(len(sequence)):
            recorder.record(w, slab)
            writer.put(w, slab)
            slab[:] = 0.0
        writer.close()
    except BaseException:
        writer.discard()
        raise
    return result

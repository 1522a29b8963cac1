"""Reductions of calculated fields: peak, RMS and energy per point, and the
-6 dB beam width and depth of field of a map.

peak, rms and energy take a `sonvar.FieldMap` (Simulator.field_map: the
reductions formed in the library, in memory that does not grow with the
points; the way for maps of many points), a `sonvar.Field` or a plain
array whose first axis is time (shape (samples, points) or (samples, ...)).

Example
-------
>>> import numpy as np, sonvar
>>> from sonvar import field
>>> sim = sonvar.Simulator(fs=50e6)
>>> probe = sim.linear_array(32, 0.27e-3, 5e-3, 0.03e-3, focus=(0, 0, 0.02))
>>> probe.impulse(sonvar.pulses.gaussian_pulse(5e6, 0.6, sim.fs))
>>> x = np.linspace(-4e-3, 4e-3, 41)
>>> beam = sim.field_map(probe, np.column_stack([x, 0 * x, 0 * x + 0.02]))
>>> round(field.beam_width(field.peak(beam), x) * 1e3, 1)  # -6 dB width at 20 mm, mm
0.8
"""

from typing import Optional, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike

from . import _checks as chk
from .simulator import Field, FieldMap

__all__ = ["peak", "rms", "energy", "beam_width", "depth_of_field"]


def _reduced(field, name):
    """The reduction `name` of a FieldMap, or None for anything else."""
    if hasattr(field, "peak_time") and hasattr(field, "window"):
        value = getattr(field, name)
        if value is None:
            raise ValueError(f"field: this FieldMap has no {name}; ask for it in reduce=")
        return value
    return None


def _samples(field):
    data = getattr(field, "data", field)
    a = chk.real_array(data, "field")
    if a.ndim < 1 or a.shape[0] < 1:
        raise ValueError("field must have at least one sample along its first axis")
    return a


def peak(field: Union[Field, FieldMap, ArrayLike]) -> np.ndarray:
    """Largest absolute value over time, per point: shape field.shape[1:] (a FieldMap's peak)."""
    reduced = _reduced(field, "peak")
    if reduced is not None:
        return reduced
    return np.abs(_samples(field)).max(axis=0)


def rms(field: Union[Field, FieldMap, ArrayLike]) -> np.ndarray:
    """Root mean square over the rows, per point (zero rows of the common time axis count).

    A FieldMap gives its rms, over its window (by default the same common time axis).
    """
    reduced = _reduced(field, "rms")
    if reduced is not None:
        return reduced
    a = _samples(field)
    return np.sqrt(np.mean(a * a, axis=0))


def energy(field: Union[Field, FieldMap, ArrayLike], fs: Optional[float] = None) -> np.ndarray:
    """Time integral of the squared signal, per point: sum(v^2) / fs, in (unit)^2 s.

    fs (Hz) defaults to the Field's own; a FieldMap gives its energy.
    """
    reduced = _reduced(field, "energy")
    if reduced is not None:
        return reduced
    fs = getattr(field, "fs", None) if fs is None else fs
    fs = chk.number(fs, "fs", positive=True)
    a = _samples(field)
    return np.sum(a * a, axis=0) / fs


def _width(profile, positions, level_db, name):
    p = chk.vector(profile, name, min_length=2)
    x = chk.vector(positions, "positions", length=p.shape[0])
    if np.any(np.diff(x) <= 0):
        raise ValueError("positions must increase")
    level_db = chk.number(level_db, "level_db")
    if level_db >= 0:
        raise ValueError("level_db must be below 0")
    top = int(np.argmax(p))
    if p[top] <= 0:
        raise ValueError(f"{name} has no positive maximum")
    threshold = p[top] * 10 ** (level_db / 20)

    def crossing(step):
        i = top
        while 0 <= i + step < len(p) and p[i + step] >= threshold:
            i += step
        j = i + step
        if not 0 <= j < len(p):
            return None  # the profile does not fall to the level on this side
        # Linear interpolation between the last sample above and the first below.
        return x[i] + (x[j] - x[i]) * (p[i] - threshold) / (p[i] - p[j])

    low, high = crossing(-1), crossing(+1)
    return low, high


def beam_width(profile: ArrayLike, positions: ArrayLike, level_db: float = -6.0) -> float:
    """Width of the main lobe at level_db below its maximum.

    Parameters
    ----------
    profile : (n,) array_like
        Amplitude (not dB) along a line across the beam, e.g. peak(hp).
    positions : (n,) array_like
        Increasing positions of the samples, m.
    level_db : float
        Level below the maximum, dB (default -6).

    Returns
    -------
    float
        Width, m (linear interpolation between samples); NaN when the
        profile does not fall to the level on both sides.
    """
    low, high = _width(profile, positions, level_db, "profile")
    return np.nan if low is None or high is None else high - low


def depth_of_field(profile: ArrayLike, depths: ArrayLike,
                   level_db: float = -6.0) -> Tuple[float, float, float]:
    """Extent along the axis where the axial profile stays within level_db of its maximum.

    Returns (start, end, length) in m; NaN for an end the profile does not reach.
    """
    low, high = _width(profile, depths, level_db, "profile")
    start = np.nan if low is None else low
    end = np.nan if high is None else high
    return start, end, end - start

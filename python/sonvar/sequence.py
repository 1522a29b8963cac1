"""Transmits and sequences: per-element firing delays and weights of each emission.

One time convention holds for every transmit (docs/imaging.md): t = 0 is the
moment the transmit's wavefront passes the origin (0, 0, 0), the centre of
the array, and each element fires at its delay relative to that moment (a
delay may be negative). The constructors give the delays of plane waves
(azimuth towards x, elevation towards y), diverging waves (a virtual source
behind the array), focused waves (a focus in front of the array, optionally
with a sub-aperture of the elements nearest the focus) and single-element
emissions (the element fires at |e| / c), from the element positions of any
array: linear, convex, phased, multi-row, 2-D or a free-form table.

A transmit's `time_of_flight(points)` is the time, after t = 0, at which
its wavefront reaches each point, as USTB's delay-and-sum computes it from
the wave's wavefront and source; `delay` is the wave's UFF delay: what
USTB's formula needs subtracted to land on the simulated echo. It is 0 for
every transmit the constructors make, except where USTB's formula reads a
wave otherwise than it was fired (a spherical source less than 1 mm behind
the array; an element of a convex array more than 1 mm behind the apex).
"""

from dataclasses import dataclass
from typing import Optional

import numpy as np
from numpy.typing import ArrayLike

from . import _checks as chk
from ._docs import shared_doc

__all__ = ["Transmit", "Sequence", "KINDS", "plane_waves", "diverging_waves", "focused_waves",
           "line_foci", "synthetic_aperture", "custom"]

#: Kinds of transmit.
KINDS = ("plane", "diverging", "focused", "element", "custom")

#: USTB's delay-and-sum reads a spherical wave whose source lies more than this far behind the
#: plane z = 0 as diverging, any other as converging on its source, m.
DIVERGING_BEHIND = 1e-3

_WINDOWS = ("rect", "hanning", "hamming")

# Docstring parts of the constructors (sonvar._docs.shared_doc).
_SPEED = """
c : float
    Speed of sound, m/s.
"""
_PRF = """
prf : float, optional
    Pulse repetition frequency, Hz.
"""


def _positions(positions):
    """Element positions (n, 3) in m, from an array or anything with element_centers."""
    centers = getattr(positions, "element_centers", positions)
    return chk.points(centers, "positions")


def _speed(c):
    return chk.number(c, "c", positive=True)


def _points_on_side(points, name, what, behind):
    """Points (k, 3) of argument `name`, each behind the array (z < 0) or in front (z > 0)."""
    p = chk.points(points, name)
    on_side = p[:, 2] < 0 if behind else p[:, 2] > 0
    if not np.all(on_side):
        side = "behind the array (z < 0)" if behind else "in front of the array (z > 0)"
        raise ValueError(f"{name}: {what} must lie {side}, got z = {p[~on_side][0, 2]:g} m")
    return p


def _ustb_time(wavefront, azimuth, elevation, source, points, c):
    """Transmit time of flight, s, as USTB's delay-and-sum forms it (plane or spherical)."""
    p = points
    if wavefront == "plane":
        return (p[:, 2] * np.cos(azimuth) * np.cos(elevation)
                + p[:, 0] * np.sin(azimuth) * np.cos(elevation)
                + p[:, 1] * np.sin(elevation)) / c
    s = np.asarray(source, dtype=float)
    d = np.linalg.norm(p - s, axis=1)
    signed = np.where(p[:, 2] < s[2], -d, d)
    r = np.linalg.norm(s)
    return (signed - r if s[2] < -DIVERGING_BEHIND else signed + r) / c


@dataclass(frozen=True, eq=False)
class Transmit:
    """One emission: when each element fires and how strongly.

    Attributes
    ----------
    delays : (elements,) numpy.ndarray
        Firing time of each element after t = 0 of the transmit, s (the
        moment the wavefront passes (0, 0, 0)); may be negative.
    apodization : (elements,) numpy.ndarray
        Weight of each element; 0 for an element that does not fire.
    kind : {"plane", "diverging", "focused", "element", "custom"}
    azimuth, elevation : float
        Steering of a plane wave, rad: azimuth towards x, elevation towards
        y (0 for other kinds).
    source : (3,) numpy.ndarray or None
        The virtual source (diverging), focus (focused) or emitting element
        (element), m; None for a plane wave; for a custom transmit the point
        its UFF wave names as source (None: the origin).
    delay : float
        The wave's UFF delay, s: a beamformer that places the echo of p at
        time_of_flight(p) + |p - r| / c - delay finds it.
    """

    delays: np.ndarray
    apodization: np.ndarray
    kind: str = "custom"
    azimuth: float = 0.0
    elevation: float = 0.0
    source: np.ndarray = None
    delay: float = 0.0

    def __post_init__(self):
        if self.kind not in KINDS:
            raise ValueError(f"kind must be one of {', '.join(KINDS)}, got {self.kind!r}")
        d = chk.vector(self.delays, "delays")
        a = chk.vector(self.apodization, "apodization")
        if a.shape != d.shape:
            raise ValueError(f"apodization must hold one weight per element ({d.shape[0]}), "
                             f"got {a.shape[0]}")
        object.__setattr__(self, "delays", d.copy())
        object.__setattr__(self, "apodization", a.copy())
        for name in ("azimuth", "elevation", "delay"):
            object.__setattr__(self, name, chk.number(getattr(self, name), name))
        _check_angles(np.array([self.azimuth]), "azimuth")
        _check_angles(np.array([self.elevation]), "elevation")
        if self.kind in ("diverging", "focused", "element"):
            if self.source is None:
                raise ValueError(f"source: a {self.kind} transmit needs its source point")
            s = np.array(chk.point(self.source, "source"))
            if self.kind == "diverging" and not s[2] < 0:
                raise ValueError(f"source: a virtual source must lie behind the array (z < 0), "
                                 f"got z = {s[2]:g} m")
            if self.kind == "focused" and not s[2] > 0:
                raise ValueError(f"source: a focus must lie in front of the array (z > 0), "
                                 f"got z = {s[2]:g} m")
            object.__setattr__(self, "source", s)
        elif self.kind == "plane" and self.source is not None:
            raise ValueError("source: a plane wave has no source point")
        elif self.source is not None:  # a custom transmit read as a spherical wave from it
            object.__setattr__(self, "source", np.array(chk.point(self.source, "source")))

    @property
    def elements(self) -> int:
        """Number of elements."""
        return self.delays.shape[0]

    @property
    def wavefront(self) -> str:
        """"plane" for plane waves, else "spherical" (a custom transmit: from the origin)."""
        return "plane" if self.kind == "plane" else "spherical"

    @property
    def wave_source(self) -> np.ndarray:
        """The UFF wave's source point, m: inf distance for a plane wave, (0, 0, 0) for custom."""
        if self.kind == "plane":
            return None
        return np.zeros(3) if self.source is None else self.source

    def time_of_flight(self, points: ArrayLike, c: float = 1540.0) -> np.ndarray:
        """Time at which the wavefront reaches each point, s after t = 0 (USTB's formula).

        Parameters
        ----------
        points : (n, 3) array_like
            Points, m.
        c : float
            Speed of sound, m/s.

        Returns
        -------
        (n,) numpy.ndarray
            Plane wave: (z cos az cos el + x sin az cos el + y sin el) / c.
            Spherical wave from s: (+-|p - s| - |s|) / c when s lies more
            than 1 mm behind the array, else (+-|p - s| + |s|) / c, the sign
            negative for points shallower than s. Custom transmits are read as
            a spherical wave from (0, 0, 0): |p| / c.

        Examples
        --------
        >>> t = plane_waves([[0, 0, 0], [1e-3, 0, 0]], [0.0])[0]
        >>> float(t.time_of_flight([[0, 0, 0.0154]])[0]) * 1e6
        10.0
        """
        return _ustb_time(self.wavefront, self.azimuth, self.elevation, self.wave_source,
                          chk.points(points), _speed(c))


@dataclass(frozen=True, eq=False)
class Sequence:
    """An ordered list of transmits with an optional pulse repetition frequency.

    Attributes
    ----------
    transmits : tuple of Transmit
        At least one; all with the same number of elements.
    prf : float or None
        Pulse repetition frequency, Hz: one transmit every 1 / prf.
    sound_speed : float
        Speed of sound the delays were made for, m/s.

    Examples
    --------
    >>> import numpy as np
    >>> x = (np.arange(8) - 3.5) * 0.3e-3
    >>> seq = plane_waves(np.column_stack([x, 0 * x, 0 * x]), np.radians([-5, 0, 5]))
    >>> len(seq), seq.elements
    (3, 8)
    """

    transmits: tuple
    prf: float = None
    sound_speed: float = 1540.0

    def __post_init__(self):
        t = tuple(self.transmits) if not isinstance(self.transmits, Transmit) else ()
        if not t:
            raise ValueError("transmits: a sequence needs at least one transmit")
        for k, tx in enumerate(t):
            if not isinstance(tx, Transmit):
                raise TypeError(f"transmits[{k}] must be a Transmit, not {type(tx).__name__}")
            if tx.elements != t[0].elements:
                raise ValueError(f"transmits[{k}] has {tx.elements} elements, transmits[0] "
                                 f"{t[0].elements}")
        object.__setattr__(self, "transmits", t)
        if self.prf is not None:
            object.__setattr__(self, "prf", chk.number(self.prf, "prf", positive=True))
        object.__setattr__(self, "sound_speed", _speed(self.sound_speed))

    def __len__(self):
        return len(self.transmits)

    def __iter__(self):
        return iter(self.transmits)

    def __getitem__(self, index):
        return self.transmits[index]

    @property
    def elements(self) -> int:
        """Number of elements of every transmit."""
        return self.transmits[0].elements

    @property
    def delays(self) -> np.ndarray:
        """(transmits, elements) firing delays, s."""
        return np.array([t.delays for t in self.transmits])

    @property
    def apodizations(self) -> np.ndarray:
        """(transmits, elements) weights."""
        return np.array([t.apodization for t in self.transmits])


def _check_angles(angles, name):
    return chk.angles(angles, name, "steering angles")


def _weights(apodization, n):
    if apodization is None:
        return np.ones(n)
    return chk.vector(apodization, "apodization", length=n)


def _wave(delays, apodization, kind, **fields):
    return Transmit(delays=delays, apodization=apodization, kind=kind, **fields)


@shared_doc(speed=_SPEED, prf=_PRF)
def plane_waves(positions: ArrayLike, azimuths: ArrayLike, elevations: ArrayLike = 0.0,
                c: float = 1540.0, apodization: Optional[ArrayLike] = None,
                prf: Optional[float] = None) -> "Sequence":
    """Plane waves steered in azimuth (towards x) and elevation (towards y).

    Element i fires at u . e_i / c, u = (sin az cos el, sin el, cos az cos el)
    the direction of travel: the wavefront is the plane u . p = c t, which
    passes (0, 0, 0) at t = 0. For a flat array (z = 0) that is
    (x sin az cos el + y sin el) / c; the z term keeps the wavefront plane
    on a convex array.

    Parameters
    ----------
    positions : (elements, 3) array_like or Aperture
        Element positions, m.
    azimuths : (k,) array_like
        Azimuth angles, rad, within +-90 degrees.
    elevations : float or (m,) array_like
        Elevation angles, rad; with several, every azimuth is taken at every
        elevation (elevation by elevation).
    {speed}
    apodization : (elements,) array_like, optional
        Weights of every transmit (default 1).
    {prf}

    Returns
    -------
    Sequence

    Examples
    --------
    >>> seq = plane_waves([[-1e-3, 0, 0], [1e-3, 0, 0]], [0.1])
    >>> seq[0].delays * 1540 / 1e-3
    array([-0.09983342,  0.09983342])
    """
    e, c = _positions(positions), _speed(c)
    az = _check_angles(chk.vector(azimuths, "azimuths"), "azimuths")
    el = _check_angles(chk.vector(elevations, "elevations"), "elevations")
    w = _weights(apodization, len(e))
    transmits = []
    for b in el:
        for a in az:
            u = np.array([np.sin(a) * np.cos(b), np.sin(b), np.cos(a) * np.cos(b)])
            transmits.append(_wave(e @ u / c, w, "plane", azimuth=float(a), elevation=float(b)))
    return Sequence(tuple(transmits), prf=prf, sound_speed=c)


def diverging_waves(positions: ArrayLike, sources: ArrayLike, c: float = 1540.0,
                    apodization: Optional[ArrayLike] = None,
                    prf: Optional[float] = None) -> "Sequence":
    """Diverging waves from virtual sources behind the array.

    Element i fires at (|e_i - s| - |s|) / c: the spherical wave from s
    passes (0, 0, 0) at t = 0.

    Parameters
    ----------
    positions : (elements, 3) array_like or Aperture
        Element positions, m.
    sources : (k, 3) array_like
        Virtual sources, m, each behind the array (z < 0).
    c, apodization, prf
        As for plane_waves.

    Returns
    -------
    Sequence
    """
    e, c = _positions(positions), _speed(c)
    s = _points_on_side(sources, "sources", "a virtual source", behind=True)
    w = _weights(apodization, len(e))
    transmits = []
    for src in s:
        r = np.linalg.norm(src)
        delays = (np.linalg.norm(e - src, axis=1) - r) / c
        # USTB reads a source within 1 mm of the array as converging: |s| + |p - s|.
        delay = 0.0 if src[2] < -DIVERGING_BEHIND else 2 * r / c
        transmits.append(_wave(delays, w, "diverging", source=src, delay=delay))
    return Sequence(tuple(transmits), prf=prf, sound_speed=c)


def _sub_aperture(e, focus, active, window):
    """Weights of the `active` elements nearest the focus (a window over their distances from
    the sub-aperture's centre), zero elsewhere."""
    n = len(e)
    w = np.zeros(n)
    order = np.argsort(np.linalg.norm(e - focus, axis=1), kind="stable")[:active]
    if window == "rect" or active == 1:
        w[order] = 1.0
        return w
    chosen = e[order]
    d = np.linalg.norm(chosen - chosen.mean(axis=0), axis=1)
    spacing = np.linalg.norm(chosen[:, None, :] - chosen[None, :, :], axis=2)
    np.fill_diagonal(spacing, np.inf)
    step = float(np.median(spacing.min(axis=1)))
    # For a row of evenly spaced elements these are imaging.window's weights.
    if window == "hanning":
        w[order] = 0.5 + 0.5 * np.cos(np.pi * d / (d.max() + step))
    else:
        w[order] = 0.54 + 0.46 * np.cos(np.pi * d / d.max()) if d.max() > 0 else 1.0
    return w


@shared_doc(speed=_SPEED, prf=_PRF)
def focused_waves(positions: ArrayLike, foci: ArrayLike, c: float = 1540.0,
                  active: Optional[int] = None, window: str = "rect",
                  prf: Optional[float] = None) -> "Sequence":
    """Waves focused at points in front of the array, optionally by a moving sub-aperture.

    Element i fires at (|s| - |e_i - s|) / c: the converging wave passes
    (0, 0, 0) at t = 0 and its focus s at |s| / c.

    Parameters
    ----------
    positions : (elements, 3) array_like or Aperture
        Element positions, m.
    foci : (k, 3) array_like
        Focus points, m, in front of the array (z > 0).
    {speed}
    active : int, optional
        Elements that fire for each focus: the `active` elements nearest the
        focus (a sub-aperture that moves with it); default all.
    window : {"rect", "hanning", "hamming"}
        Weights over the active elements by their distance from the
        sub-aperture's centre (for a row of evenly spaced elements the
        windows of sonvar.imaging.window).
    {prf}

    Returns
    -------
    Sequence
    """
    e, c = _positions(positions), _speed(c)
    f = _points_on_side(foci, "foci", "a focus", behind=False)
    n = len(e)
    active = n if active is None else chk.count(active, "active")
    if active > n:
        raise ValueError(f"active must be at most the {n} elements, got {active}")
    if window not in _WINDOWS:
        raise ValueError(f"window must be one of {', '.join(_WINDOWS)}, got {window!r}")
    transmits = []
    for s in f:
        delays = (np.linalg.norm(s) - np.linalg.norm(e - s, axis=1)) / c
        transmits.append(_wave(delays, _sub_aperture(e, s, active, window), "focused", source=s))
    return Sequence(tuple(transmits), prf=prf, sound_speed=c)


def line_foci(lines: ArrayLike, depth: float, sector: bool = False,
              radius: float = 0.0) -> np.ndarray:
    """Focus points of image lines, m: (k, 3).

    Parameters
    ----------
    lines : (k,) array_like
        Lateral positions x, m (sector False), or angles from the z axis
        towards x, rad (sector True).
    depth : float
        Focus depth along each line, m: from the array face (linear), from
        the face of a convex array of the given radius along its radius, or
        from (0, 0, 0) for a phased array (radius 0).
    sector : bool
        Lines are angles.
    radius : float
        Radius of a convex array, m (its centre of curvature at (0, 0, -radius)).
    """
    v = chk.vector(lines, "lines")
    depth = chk.number(depth, "depth", positive=True)
    if not sector:
        return np.column_stack([v, np.zeros_like(v), np.full_like(v, depth)])
    r = chk.number(radius, "radius", nonnegative=True) + depth
    _check_angles(v, "lines")
    return np.column_stack([r * np.sin(v), np.zeros_like(v), r * np.cos(v) - radius])


@shared_doc(speed=_SPEED, prf=_PRF)
def synthetic_aperture(positions: ArrayLike, elements: Optional[ArrayLike] = None,
                       c: float = 1540.0, prf: Optional[float] = None) -> "Sequence":
    """Single-element emissions: each listed element fires alone at |e| / c.

    Parameters
    ----------
    positions : (elements, 3) array_like or Aperture
        Element positions, m.
    elements : (k,) array_like of int, optional
        Element numbers from 1 (default every element, in order).
    {speed}
    {prf}

    Returns
    -------
    Sequence
        Transmits of kind "element" with their source at the element: USTB's
        time of flight (|e| + |p - e|) / c, or for an element more than 1 mm
        behind the array's apex (a convex array) the diverging form, which
        the wave's delay -2 |e| / c brings back.
    """
    e, c = _positions(positions), _speed(c)
    n = len(e)
    numbers = np.arange(1, n + 1) if elements is None else chk.element_numbers(
        elements, "elements", n)
    transmits = []
    for k in numbers:
        src = e[k - 1]
        r = np.linalg.norm(src)
        delays = np.zeros(n)
        delays[k - 1] = r / c
        weights = np.zeros(n)
        weights[k - 1] = 1.0
        delay = -2 * r / c if src[2] < -DIVERGING_BEHIND else 0.0
        transmits.append(_wave(delays, weights, "element", source=src, delay=delay))
    return Sequence(tuple(transmits), prf=prf, sound_speed=c)


@shared_doc(speed=_SPEED, prf=_PRF)
def custom(delays: ArrayLike, apodizations: Optional[ArrayLike] = None, c: float = 1540.0,
           prf: Optional[float] = None) -> "Sequence":
    """Transmits of given delay vectors.

    Parameters
    ----------
    delays : (k, elements) array_like
        Firing delay of each element per transmit, s (finite).
    apodizations : (k, elements) array_like, optional
        Weights of the same shape (default 1).
    {speed}
    {prf}

    Returns
    -------
    Sequence
        Transmits of kind "custom": their time zero is the zero of the
        delays; a UFF file describes each as a spherical wave from (0, 0, 0).
    """
    d = chk.real_array(delays, "delays")
    if d.ndim == 1:
        d = d.reshape(1, -1)
    d = chk.matrix(d, "delays")
    if apodizations is None:
        a = np.ones_like(d)
    else:
        a = chk.real_array(apodizations, "apodizations")
        if a.ndim == 1:
            a = a.reshape(1, -1)
        if a.shape != d.shape:
            raise ValueError(f"apodizations must have the shape of delays {d.shape}, got "
                             f"{a.shape}")
        a = chk.matrix(a, "apodizations")
    transmits = tuple(_wave(d[k], a[k], "custom") for k in range(d.shape[0]))
    return Sequence(transmits, prf=prf, sound_speed=_speed(c))

"""Scatterers that move over slow time: motion models and flow phantoms.

A `MovingPhantom` holds static scatterers and moving ones; `at(time, frame)`
gives every scatterer that echoes at that time (s, from the first emission
of an ensemble). The ensembles of `sonvar.ensemble` (and
`Simulator.ensemble`) fire each transmit at its own time and take the
scatterers there; within one emission the scatterers stand still.

Motion models:

- `constant_velocity(points, amplitudes, velocities)`: p(t) = p0 + v t, one
  velocity (m/s) per scatterer or one for all;
- `displaced(points, amplitudes, displacement)`: p(t) = p0 + displacement(t),
  a function of time giving one (3,) or (n, 3) displacement, m;
- `per_frame(positions, amplitudes)`: the positions of every frame, (frames,
  n, 3), m, held for every transmit of that frame.

Flow phantoms, in a box of static speckle (tissue) whose amplitude lies
`tissue_db` above that of the moving scatterers (default 20 dB):

- `vessel`: a straight vessel of any orientation with a parabolic
  (Poiseuille) or plug profile; its scatterers that leave the vessel's
  stretch across the box re-enter upstream, so the density stays constant;
- `rotating_disk`: a disk (a cylinder about an axis) turning at an angular
  velocity.

Moving scatterers echo only while they lie inside the phantom's box: the
flow's scatterers fill its region a little beyond the box (a radius), so
that the box stays evenly filled as they move. A seed (`rng`) makes every
phantom reproducible.

Example
-------
>>> from sonvar import motion
>>> v = motion.vessel((-5e-3, 5e-3), (-0.2e-3, 0.2e-3), (15e-3, 25e-3), center=(0, 0, 20e-3),
...                   axis=(1, 0, -1), radius=2e-3, peak_velocity=0.5, count=2000, rng=1)
>>> p = v.at(1e-3)
>>> bool(abs(float(v.velocity([[0, 0, 20e-3]])[0] @ v.axis) - 0.5) < 1e-12)
True
"""

import math
from typing import Callable, Optional

import numpy as np
from numpy.typing import ArrayLike

from . import _checks as chk
from ._docs import shared_doc
from .phantom import Phantom, speckle

__all__ = ["MotionWarning", "MovingPhantom", "constant_velocity", "displaced", "per_frame",
           "FlowPhantom", "Vessel", "RotatingDisk", "vessel", "rotating_disk", "PROFILES"]

#: Velocity profiles of a vessel.
PROFILES = ("parabolic", "plug")

# Docstring parts of the constructors (sonvar._docs.shared_doc).
_AMPLITUDES = ("amplitudes : (n,) array_like\n"
               "    Scattering amplitudes.\n")
_POINTS_PARAMETERS = """
Parameters
----------
points : (n, 3) array_like
    Positions at time 0, m.
""" + _AMPLITUDES
_BOX_PARAMETERS = """
Parameters
----------
x_range, y_range, z_range : (2,) array_like
    The phantom's box, m (low, high).
"""
_STATIC_RESULT = """
static : Phantom, optional
    Scatterers that stand still.

Returns
-------
MovingPhantom
"""


class MotionWarning(UserWarning):
    """Motion that an ensemble samples too coarsely to follow (allowed, but warned)."""


def _empty():
    return Phantom(np.zeros((0, 3)), np.zeros(0))


def _static(static):
    if static is None:
        return _empty()
    if not isinstance(static, Phantom):
        raise TypeError(f"static must be a sonvar.phantom.Phantom or None, not "
                        f"{type(static).__name__}")
    # A Phantom keeps what it was given (lists, say): checked here as arrays.
    p = chk.points(static.points, "static.points", allow_empty=True)
    return Phantom(p, chk.vector(static.amplitudes, "static.amplitudes", length=len(p),
                                 min_length=0))


class MovingPhantom:
    """Static scatterers and moving ones; subclasses say where the moving ones are
    (`MovingPhantom(static)` itself has none: a phantom standing still).

    Attributes
    ----------
    static : Phantom
        Scatterers that do not move (possibly none).
    frames : int or None
        Frames the motion describes (positions per frame), None for any time.
    """

    frames: Optional[int] = None

    def __init__(self, static=None):
        self.static = _static(static)

    def moving(self, time: float, frame: int = 0) -> Phantom:
        """The moving scatterers that echo at `time` (s) of frame `frame`: a Phantom."""
        return _empty()

    def at(self, time: float = 0.0, frame: int = 0) -> Phantom:
        """Every scatterer that echoes at `time` (s) of frame `frame`: a Phantom."""
        m = self.moving(time, frame)
        return Phantom(np.vstack([self.static.points, m.points]),
                       np.concatenate([self.static.amplitudes, m.amplitudes]))

    @property
    def points(self):
        """Positions of the scatterers at time 0, m: (n, 3)."""
        return self.at(0.0).points

    @property
    def amplitudes(self):
        """Amplitudes of the scatterers at time 0: (n,)."""
        return self.at(0.0).amplitudes

    def __len__(self):
        return len(self.static) + len(self.moving(0.0))

    def warning(self, interval):
        """A text when motion over `interval` (s) between frames is too coarse to follow, else
        None."""
        return None


class _Moving(MovingPhantom):
    """Moving scatterers of fixed amplitudes at p0 + offset(time, frame)."""

    def __init__(self, points, amplitudes, offset, static=None):
        super().__init__(static)
        self.origin = chk.points(points, "points")
        self.weights = chk.vector(amplitudes, "amplitudes", length=len(self.origin))
        self.offset = offset

    def moving(self, time, frame=0):
        return Phantom(self.origin + self.offset(chk.number(time, "time"), frame),
                       self.weights.copy())


@shared_doc(parameters=_POINTS_PARAMETERS, static_result=_STATIC_RESULT)
def constant_velocity(points: ArrayLike, amplitudes: ArrayLike, velocities: ArrayLike,
                      static: Optional[Phantom] = None) -> MovingPhantom:
    """Scatterers moving at constant velocities: p(t) = p0 + v t.

    {parameters}
    velocities : (3,) or (n, 3) array_like
        Velocity of all scatterers or of each, m/s (finite).
    {static_result}

    Example
    -------
    >>> m = constant_velocity([[0, 0, 0.02]], [1.0], [0, 0, -0.1])
    >>> m.at(1e-3).points.tolist()
    [[0.0, 0.0, 0.0199]]
    """
    p = chk.points(points, "points")
    v = chk.points(velocities, "velocities")
    if len(v) not in (1, len(p)):
        raise ValueError(f"velocities must have shape (3,) or ({len(p)}, 3), got {v.shape}")
    return _Moving(p, amplitudes, lambda t, f: v * t, static)


@shared_doc(parameters=_POINTS_PARAMETERS, static_result=_STATIC_RESULT)
def displaced(points: ArrayLike, amplitudes: ArrayLike, displacement: Callable,
              static: Optional[Phantom] = None) -> MovingPhantom:
    """Scatterers displaced by a function of time: p(t) = p0 + displacement(t).

    {parameters}
    displacement : callable
        displacement(t) with t in s returns a (3,) displacement of all
        scatterers or an (n, 3) array of each one's, m (finite).
    {static_result}

    Example
    -------
    >>> import numpy as np
    >>> m = displaced([[0, 0, 0.02]], [1.0], lambda t: [0, 0, 1e-4 * np.sin(2 * np.pi * 50 * t)])
    >>> round(float(m.at(5e-3).points[0, 2]), 6)
    0.0201
    """
    if not callable(displacement):
        raise TypeError(f"displacement must be a function of time, not "
                        f"{type(displacement).__name__}")
    p = chk.points(points, "points")

    def offset(t, frame):
        d = chk.real_array(displacement(t), "displacement")
        if d.shape not in ((3,), (len(p), 3)):
            raise ValueError(f"displacement must return shape (3,) or ({len(p)}, 3), got "
                             f"{d.shape} at t = {t:g} s")
        return chk.finite(d, "displacement")
    return _Moving(p, amplitudes, offset, static)


class _PerFrame(_Moving):
    def __init__(self, positions, amplitudes, static):
        a = chk.real_array(positions, "positions")
        if a.ndim != 3 or a.shape[2] != 3 or 0 in a.shape:
            raise ValueError(f"positions must have shape (frames, n, 3), got {a.shape}")
        chk.finite(a, "positions")
        super().__init__(a[0], amplitudes, lambda t, f: self.positions[f] - self.origin, static)
        self.positions = a.copy()
        self.frames = a.shape[0]


@shared_doc(amplitudes=_AMPLITUDES, static_result=_STATIC_RESULT)
def per_frame(positions: ArrayLike, amplitudes: ArrayLike,
              static: Optional[Phantom] = None) -> MovingPhantom:
    """Scatterers at given positions in every frame (held for all transmits of a frame).

    Parameters
    ----------
    positions : (frames, n, 3) array_like
        Positions of the n scatterers in each frame, m.
    {amplitudes}
    {static_result}
        Its `frames` is the number of frames given; an ensemble takes at most
        that many.

    Example
    -------
    >>> m = per_frame([[[0, 0, 0.02]], [[0, 0, 0.0201]]], [1.0])
    >>> m.frames, m.at(0.0, frame=1).points.tolist()
    (2, [[0.0, 0.0, 0.0201]])
    """
    return _PerFrame(positions, amplitudes, static)


# ---------------------------------------------------------------------------
# Flow phantoms


def _box(x_range, y_range, z_range):
    lo, hi = [], []
    for name, r in (("x_range", x_range), ("y_range", y_range), ("z_range", z_range)):
        v = chk.vector(r, name, length=2)
        if not v[1] > v[0]:
            raise ValueError(f"{name} must be (low, high) with high above low, got {v.tolist()}")
        lo.append(v[0])
        hi.append(v[1])
    return np.array(lo), np.array(hi)


def _unit(value, name):
    a = np.array(chk.point(value, name))
    n = np.linalg.norm(a)
    if not n > 0:
        raise ValueError(f"{name} must be a direction (not zero)")
    return a / n


def _frame(axis):
    """Two unit vectors perpendicular to axis and to each other."""
    helper = np.eye(3)[int(np.argmin(np.abs(axis)))]
    e1 = np.cross(axis, helper)
    e1 /= np.linalg.norm(e1)
    return e1, np.cross(axis, e1)


def _chord(center, axis, lo, hi):
    """[s0, s1] of the line center + s axis inside the box [lo, hi] (s0 > s1: it misses)."""
    s0, s1 = -np.inf, np.inf
    for k in range(3):
        if axis[k] == 0:
            if not lo[k] <= center[k] <= hi[k]:
                return 1.0, 0.0
            continue
        a, b = (lo[k] - center[k]) / axis[k], (hi[k] - center[k]) / axis[k]
        s0, s1 = max(s0, min(a, b)), min(s1, max(a, b))
    return s0, s1


def _inside(points, lo, hi):
    return np.all((points >= lo) & (points <= hi), axis=1)


def _amplitude(db):
    return 10.0 ** (-chk.number(db, "tissue_db") / 20.0)


def _tissue_and_flow(count, flow_count, flow_name, lo, hi, radius, extent, tissue_db, rng):
    """The tissue (`count` speckle scatterers in the box [lo, hi]) and the flow's scatterers,
    uniform in a cylinder of `radius` over `extent` (a0, a1) along its axis: their local
    coordinates (along the axis, rho, psi) and amplitudes, `tissue_db` below the tissue's.
    flow_count (argument `flow_name`) defaults to the tissue's density."""
    a0, a1 = extent
    rng = np.random.default_rng(rng)
    tissue = speckle(chk.count(count, "count"), (lo[0], hi[0]), (lo[1], hi[1]), (lo[2], hi[2]),
                     rng)
    if flow_count is None:
        n = max(1, int(round(count / np.prod(hi - lo) * np.pi * radius * radius * (a1 - a0))))
    else:
        n = chk.count(flow_count, flow_name)
    local = np.column_stack([rng.uniform(a0, a1, n), radius * np.sqrt(rng.uniform(0, 1, n)),
                             rng.uniform(0, 2 * np.pi, n)])
    return tissue, local, rng.normal(size=n) * _amplitude(tissue_db)


class FlowPhantom(MovingPhantom):
    """A flow region in a box of static tissue (see `vessel` and `rotating_disk`).

    Attributes
    ----------
    static : Phantom
        The tissue: speckle in the box outside the flow region.
    lo, hi : (3,) numpy.ndarray
        Corners of the box, m.
    """

    def __init__(self, tissue, lo, hi, local, amplitudes, **geometry):
        for name, value in geometry.items():
            setattr(self, name, value)
        self.e = _frame(self.axis)
        keep = ~self.inside(tissue.points)  # the flow region is cut out of the tissue
        super().__init__(Phantom(tissue.points[keep], tissue.amplitudes[keep]))
        self.lo, self.hi = lo, hi
        self.local = local  # each moving scatterer's own coordinates at time 0
        self.weights = amplitudes

    def _place(self, time):
        raise NotImplementedError

    def moving(self, time, frame=0):
        p = self._place(chk.number(time, "time"))
        keep = _inside(p, self.lo, self.hi)
        return Phantom(p[keep], self.weights[keep])

    def velocity(self, points):
        """Velocity of the flow at points, m/s: (n, 3); zero outside the flow region."""
        raise NotImplementedError

    def inside(self, points):
        """Whether each point lies inside the flow region: (n,) bool."""
        raise NotImplementedError


class Vessel(FlowPhantom):
    """A straight vessel: blood flowing along `axis` in a cylinder of `radius` through `center`.

    Attributes
    ----------
    center, axis : (3,) numpy.ndarray
        A point of the vessel's axis, m, and its unit direction (the flow's
        direction for a positive peak velocity).
    radius, peak_velocity : float
        m, m/s.
    profile : {"parabolic", "plug"}
    length : float
        Length of the axis inside the box, m.
    """

    def speed(self, rho):
        """Speed along the axis at a distance rho from it, m/s (zero outside)."""
        rho = np.asarray(rho, dtype=float)
        inside = rho <= self.radius
        if self.profile == "plug":
            return np.where(inside, self.peak_velocity, 0.0)
        return np.where(inside, self.peak_velocity * (1.0 - (rho / self.radius) ** 2), 0.0)

    def __init__(self, tissue, lo, hi, local, amplitudes, **geometry):
        super().__init__(tissue, lo, hi, local, amplitudes, **geometry)
        # Contiguous columns: numpy's cos and sin of a strided column may round differently
        # from one allocation to the next, and a seed must give the same phantom.
        s, rho, psi = np.ascontiguousarray(local.T)
        e1, e2 = self.e
        # Each scatterer keeps its place across the vessel and its speed along it.
        self.across = (self.center + np.outer(rho * np.cos(psi), e1)
                       + np.outer(rho * np.sin(psi), e2))
        self.rate = self.speed(rho)

    def _place(self, time):
        s = self.s0 + np.mod(self.local[:, 0] - self.s0 + self.rate * time, self.span)
        return self.across + np.outer(s, self.axis)

    def _rho(self, points):
        d = chk.points(points, "points") - self.center
        return np.linalg.norm(d - np.outer(d @ self.axis, self.axis), axis=1)

    def inside(self, points):
        return self._rho(points) <= self.radius

    def velocity(self, points):
        return np.outer(self.speed(self._rho(points)), self.axis)

    def warning(self, interval):
        step = abs(self.peak_velocity) * chk.number(interval, "interval", positive=True)
        if step < self.length:
            return None
        return (f"peak_velocity: the blood moves {step * 1e3:.3g} mm between frames "
                f"({interval * 1e3:.3g} ms apart), more than the vessel's {self.length * 1e3:.3g} "
                "mm in the phantom: the frames do not follow the flow (raise the PRF)")


@shared_doc(parameters=_BOX_PARAMETERS)
def vessel(x_range: ArrayLike, y_range: ArrayLike, z_range: ArrayLike, center: ArrayLike,
           axis: ArrayLike, radius: float, peak_velocity: float, profile: str = "parabolic",
           count: int = 10000, blood_count: Optional[int] = None, tissue_db: float = 20.0,
           rng=None) -> "Vessel":
    """A straight vessel with flow through a box of static tissue.

    {parameters}
    center : (3,) array_like
        A point of the vessel's axis, m; the axis must pass through the box.
    axis : (3,) array_like
        Direction of the vessel (and of the flow for a positive
        peak_velocity); any length but zero.
    radius : float
        Inner radius of the vessel, m.
    peak_velocity : float
        Speed on the axis, m/s (finite; negative flows against `axis`).
    profile : {"parabolic", "plug"}
        Parabolic (Poiseuille): v(rho) = peak (1 - rho^2 / radius^2); plug:
        peak everywhere inside.
    count : int
        Tissue scatterers in the box before the vessel is cut out of it.
    blood_count : int, optional
        Blood scatterers in the vessel's stretch across the box (its axis
        from where it enters to where it leaves the box widened by the
        radius); default the tissue's density.
    tissue_db : float
        Amplitude of the tissue above that of the blood, dB (default 20):
        the blood's Gaussian amplitudes are scaled by 10^(-tissue_db / 20).
    rng : numpy.random.Generator or int, optional
        Source of randomness (a seed gives a reproducible phantom).

    Returns
    -------
    Vessel
        Scatterers that leave the stretch downstream re-enter upstream at
        the same distance from the axis; only those inside the box echo.

    Raises
    ------
    ValueError
        A box of no volume, a zero axis, a radius or count not above 0,
        a non-finite velocity, an unknown profile, an axis that misses the
        box (naming `center`).

    Example
    -------
    >>> v = vessel((-4e-3, 4e-3), (-1e-3, 1e-3), (16e-3, 24e-3), center=(0, 0, 0.02),
    ...            axis=(1, 0, 0), radius=1e-3, peak_velocity=0.3, profile="plug", count=500,
    ...            rng=1)
    >>> v.velocity([[0, 0, 0.02], [0, 0, 0.022]]).tolist()
    [[0.3, 0.0, 0.0], [0.0, 0.0, 0.0]]
    """
    lo, hi = _box(x_range, y_range, z_range)
    c = np.array(chk.point(center, "center"))
    a = _unit(axis, "axis")
    r = chk.number(radius, "radius", positive=True)
    peak = chk.number(peak_velocity, "peak_velocity")
    if profile not in PROFILES:
        raise ValueError(f"profile must be one of {', '.join(PROFILES)}, got {profile!r}")
    s_in, s_out = _chord(c, a, lo, hi)
    if not s_out > s_in:
        raise ValueError("center: the vessel's axis does not pass through the phantom's box "
                         f"(x {lo[0]:g}..{hi[0]:g}, y {lo[1]:g}..{hi[1]:g}, z {lo[2]:g}..{hi[2]:g} "
                         "m)")
    s0, s1 = _chord(c, a, lo - r, hi + r)
    span = s1 - s0
    tissue, local, amplitudes = _tissue_and_flow(count, blood_count, "blood_count", lo, hi, r,
                                                 (s0, s1), tissue_db, rng)
    return Vessel(tissue, lo, hi, local, amplitudes, center=c, axis=a, radius=r,
                  peak_velocity=peak, profile=profile, s0=s0, span=span, length=s_out - s_in)


class RotatingDisk(FlowPhantom):
    """A disk turning about `axis` through `center` at `angular_velocity` (right-handed).

    Attributes
    ----------
    center, axis : (3,) numpy.ndarray
        The disk's centre, m, and the unit axis it turns about.
    radius : float
        m.
    angular_velocity : float
        rad/s, positive counter-clockwise seen from the tip of the axis.
    thickness : float
        Extent along the axis, m.
    """

    def _place(self, time):
        h, rho, psi = self.local.T
        turned = psi + self.angular_velocity * time
        e1, e2 = self.e
        return (self.center + h[:, None] * self.axis + (rho * np.cos(turned))[:, None] * e1
                + (rho * np.sin(turned))[:, None] * e2)

    def inside(self, points):
        d = chk.points(points, "points") - self.center
        h = d @ self.axis
        rho = np.linalg.norm(d - np.outer(h, self.axis), axis=1)
        return (rho <= self.radius) & (h >= self.h0) & (h <= self.h1)

    def velocity(self, points):
        p = chk.points(points, "points")
        v = self.angular_velocity * np.cross(self.axis, p - self.center)
        return np.where(self.inside(p)[:, None], v, 0.0)

    def warning(self, interval):
        turn = abs(self.angular_velocity) * chk.number(interval, "interval", positive=True)
        if turn < 2 * np.pi:
            return None
        return (f"angular_velocity: the disk turns {math.degrees(turn):.4g} degrees between "
                f"frames ({interval * 1e3:.3g} ms apart), more than a whole turn: the frames "
                "do not follow it (raise the PRF)")


@shared_doc(parameters=_BOX_PARAMETERS)
def rotating_disk(x_range: ArrayLike, y_range: ArrayLike, z_range: ArrayLike,
                  center: ArrayLike, radius: float, angular_velocity: float,
                  axis: ArrayLike = (0, 1, 0), thickness: Optional[float] = None,
                  count: int = 10000, disk_count: Optional[int] = None, tissue_db: float = 20.0,
                  rng=None) -> "RotatingDisk":
    """A rotating disk in a box of static tissue.

    {parameters}
    center : (3,) array_like
        The disk's centre, m, inside the box.
    radius : float
        m.
    angular_velocity : float
        rad/s (finite), right-handed about `axis`: at a point p of the disk
        the velocity is angular_velocity * axis x (p - center).
    axis : (3,) array_like
        The axis it turns about (default y: the disk turns in the x-z plane).
    thickness : float, optional
        Extent along the axis, m, centred on `center` (default: as far as
        the box reaches along the axis).
    count : int
        Tissue scatterers in the box before the disk is cut out of it.
    disk_count : int, optional
        Scatterers of the disk (default the tissue's density).
    tissue_db : float
        Amplitude of the tissue above that of the disk, dB (default 20).
    rng : numpy.random.Generator or int, optional
        Source of randomness.

    Returns
    -------
    RotatingDisk

    Raises
    ------
    ValueError
        A centre outside the box (naming `center`), a radius, thickness or
        count not above 0, a non-finite angular velocity.

    Example
    -------
    >>> d = rotating_disk((-4e-3, 4e-3), (-1e-3, 1e-3), (16e-3, 24e-3), center=(0, 0, 0.02),
    ...                   radius=2e-3, angular_velocity=10.0, count=500, rng=1)
    >>> d.velocity([[1e-3, 0, 0.02]]).round(6).tolist()
    [[0.0, 0.0, -0.01]]
    """
    lo, hi = _box(x_range, y_range, z_range)
    c = np.array(chk.point(center, "center"))
    if not np.all((c >= lo) & (c <= hi)):
        raise ValueError(f"center: the disk's centre {c.tolist()} m lies outside the phantom's "
                         "box")
    r = chk.number(radius, "radius", positive=True)
    omega = chk.number(angular_velocity, "angular_velocity")
    a = _unit(axis, "axis")
    if thickness is None:
        corners = np.array([[x, y, z] for x in (lo[0], hi[0]) for y in (lo[1], hi[1])
                            for z in (lo[2], hi[2])])
        along = (corners - c) @ a
        h0, h1 = float(along.min()), float(along.max())
    else:
        t = chk.number(thickness, "thickness", positive=True)
        h0, h1 = -t / 2, t / 2
    tissue, local, amplitudes = _tissue_and_flow(count, disk_count, "disk_count", lo, hi, r,
                                                 (h0, h1), tissue_db, rng)
    return RotatingDisk(tissue, lo, hi, local, amplitudes, center=c, axis=a, radius=r,
                        angular_velocity=omega, h0=h0, h1=h1, thickness=h1 - h0)

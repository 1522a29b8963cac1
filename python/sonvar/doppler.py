"""Colour and power Doppler of beamformed frames over slow time.

The input is an ensemble of complex images, one per frame, `interval`
seconds apart (the frame's transmits over the PRF): the delay-and-sum of
`Simulator.ensemble` channel data (`sonvar.beamform.das` with IQ data or
`iq=True` gives them, frame axis first), whose values are the analytic
signal of the echoes: their phase turns by 2 pi f tau with the two-way time
tau of what echoes there.

`estimate` runs the chain:

1. a clutter filter along slow time removes the echoes of what stands still
   or moves slowly: polynomial regression (the projection out of the
   Legendre polynomials up to `order`) or an infinite-impulse-response
   Butterworth high-pass of `order` with projection initialization (its
   start-up transient removed: the output is orthogonal to every
   zero-input response);
2. the lag-one autocorrelation over slow time R1, the power R0 and the axial
   lag-one autocorrelation (between neighbouring depths) Rz, each averaged
   over a spatial kernel of pixels;
3. the echo's local mean frequency from the phase of Rz, and the velocity
   from the phase of R1:

       f = angle(Rz) c / (2 pi dz |k_z|),    v = angle(R1) c / (2 pi f T |k|),

   with k = u_t + u_r, the unit vectors from the pixel back along the
   transmitted wave and to the receiving aperture, T the interval, dz the
   depth step. v is the velocity along the bisector of u_t and u_r
   (physics: the phase step is 2 pi f T v . k / c), positive towards the
   probe; it aliases beyond |v| = c / (2 f T |k|) (c / (4 f T) when both
   directions point straight up, `Bisector` default);
4. the power map in dB of the brightest unfiltered echo, and a mask where
   it lies more than `threshold` dB below the strongest filtered pixel (the
   flow's own range) or below `floor` (what is left of echoes that stand
   still: rounding): there the velocity is 0. No value is NaN.

`bisector` gives k for a grid and a transmit sequence; `plot` draws the
velocity in colour over the B-mode image.

Example
-------
>>> import numpy as np
>>> from sonvar import doppler
>>> z = np.arange(40) * 20e-6
>>> frames = np.exp(1j * (2 * np.pi * 5e6 * 2 * (z[None, :, None] + 10e-6 * np.arange(8)[:, None,
...                 None]) / 1540.0)) * np.ones((8, 40, 3))
>>> maps = doppler.estimate(frames, 1e-4, z=z, clutter="none", kernel=(3, 1))
>>> round(float(maps.velocity[20, 1]), 6), round(float(maps.frequency[20, 1]) / 1e6, 6)
(0.1, 5.0)
"""

from dataclasses import dataclass
from typing import Optional

import numpy as np
from numpy.typing import ArrayLike

from . import _checks as chk

__all__ = ["CLUTTER_FILTERS", "regression_filter", "butterworth_highpass", "iir_filter",
           "clutter_filter", "Bisector", "bisector", "DopplerMaps", "estimate", "plot"]

#: Clutter filters of `estimate`.
CLUTTER_FILTERS = ("polynomial", "iir", "none")

#: Lowest power reported, dB: pixels without any echo show this instead of minus infinity.
POWER_FLOOR = -300.0


def _slow_time(iq, axis, least=2):
    a = np.asarray(iq)
    if a.dtype == object or not np.issubdtype(a.dtype, np.number):
        raise TypeError(f"iq must be a numeric array, not dtype {a.dtype}")
    a = np.moveaxis(a.astype(np.complex128 if np.iscomplexobj(a) else np.float64, copy=False),
                    axis, 0)
    if a.shape[0] < least:
        raise ValueError(f"iq must hold at least {least} frames along axis {axis}, got "
                         f"{a.shape[0]}")
    return chk.finite(a, "iq")


def _apply(matrix, a, axis):
    """matrix (n, n) applied along the slow-time axis (first of a), moved back to axis."""
    out = np.tensordot(matrix, a, axes=(1, 0))
    return np.moveaxis(out, 0, axis)


def regression_filter(iq: ArrayLike, order: int = 2, axis: int = 0) -> np.ndarray:
    """Polynomial-regression clutter filter: slow time minus its least-squares polynomial.

    Parameters
    ----------
    iq : array_like
        Frames along `axis` (real or complex).
    order : int
        Highest degree removed (0: the mean; 1: also a linear trend); below
        the frames minus 1.
    axis : int
        The slow-time axis.

    Returns
    -------
    numpy.ndarray
        The same shape: the part of each slow-time signal orthogonal to the
        polynomials of degree 0 to `order`.

    Example
    -------
    >>> regression_filter([1.0, 2.0, 3.0, 4.0, 10.0], order=1).round(6).tolist()
    [1.0, 0.0, -1.0, -2.0, 2.0]
    """
    a = _slow_time(iq, axis)
    n = a.shape[0]
    order = chk.count(order, "order", minimum=0)
    if order > n - 2:
        raise ValueError(f"order: a polynomial of degree {order} leaves nothing of {n} frames "
                         f"(at most {n - 2})")
    t = np.linspace(-1.0, 1.0, n)
    basis = np.polynomial.legendre.legvander(t, order)
    q, _ = np.linalg.qr(basis)
    return _apply(np.eye(n) - q @ q.T, a, axis)


def butterworth_highpass(order: int, cutoff: float, rate: float) -> tuple:
    """Digital Butterworth high-pass (bilinear transform): numerator and denominator.

    Parameters
    ----------
    order : int
        Filter order (poles).
    cutoff : float
        -3 dB frequency, Hz, between 0 and rate / 2.
    rate : float
        Sampling rate, Hz (slow time: frames per second).

    Returns
    -------
    b, a : numpy.ndarray
        Coefficients of z^0, z^-1, ... (a[0] = 1); the gain at rate / 2 is 1.

    Raises
    ------
    ValueError
        An order below 1, a cutoff not between 0 and rate / 2.

    Example
    -------
    >>> b, a = butterworth_highpass(1, 1000.0, 4000.0)
    >>> b.round(6).tolist(), a.round(6).tolist()
    ([0.5, -0.5], [1.0, 0.0])
    """
    n = chk.count(order, "order")
    rate = chk.number(rate, "rate", positive=True)
    fc = chk.number(cutoff, "cutoff", positive=True)
    if not fc < rate / 2:
        raise ValueError(f"cutoff must lie below half the rate ({rate / 2:g} Hz), got {fc:g} Hz")
    warped = 2.0 * np.tan(np.pi * fc / rate)  # the analog cutoff for s = 2 (z - 1) / (z + 1)
    prototype = np.exp(1j * np.pi * (2 * np.arange(n) + n + 1) / (2 * n))
    poles_s = warped / prototype  # low-pass to high-pass; n zeros at s = 0
    poles_z = (2.0 + poles_s) / (2.0 - poles_s)
    gain = np.real(2.0 ** n / np.prod(2.0 - poles_s))
    b = gain * np.poly(np.ones(n))
    a = np.real(np.poly(poles_z))
    return b, a


def _recursion(b, a, x, past):
    """y[k] = sum_j b[j] x[k - j] - sum_j>0 a[j] y[k - j], with x zero before k = 0 and
    y[-1], y[-2], ... = past."""
    p, q = len(a) - 1, len(b) - 1
    xs = np.concatenate([np.zeros(q), x])
    ys = np.concatenate([past[::-1], np.zeros(len(x))])
    for k in range(len(x)):
        ys[p + k] = (np.dot(b, xs[k:k + q + 1][::-1])
                     - np.dot(a[1:], ys[k:k + p][::-1]))
    return ys[p:]


def _iir_matrix(b, a, n):
    """(n, n) matrix of the filter over n samples with projection initialization: the forced
    response minus its projection on the zero-input responses."""
    order = len(a) - 1
    impulse = _recursion(b, a, np.eye(n)[0], np.zeros(order))
    forced = np.zeros((n, n))
    for k in range(n):
        forced[k:, k] = impulse[:n - k]
    free = np.column_stack([_recursion(b, a, np.zeros(n), np.eye(order)[j])
                            for j in range(order)])
    q, _ = np.linalg.qr(free)
    return forced - q @ (q.T @ forced)


def iir_filter(iq: ArrayLike, cutoff: float, rate: float, order: int = 2,
               axis: int = 0) -> np.ndarray:
    """Butterworth high-pass clutter filter along slow time, with projection initialization.

    The filter starts in the state that leaves the least output: its
    output is the filtered signal minus its projection on the filter's
    zero-input responses, so no start-up transient remains and a constant
    (up to order - 1: a polynomial of that degree) gives exactly zero.

    Parameters
    ----------
    iq : array_like
        Frames along `axis`.
    cutoff : float
        -3 dB frequency, Hz.
    rate : float
        Frames per second, Hz (1 / the interval between frames).
    order : int
        Filter order; below the frames.
    axis : int
        The slow-time axis.

    Returns
    -------
    numpy.ndarray
        The same shape.

    Raises
    ------
    ValueError
        Fewer than order + 2 frames, a bad cutoff or rate, non-finite data.

    Example
    -------
    >>> import numpy as np
    >>> trend = 2.0 + 0.1 * np.arange(12)  # a constant and a slope leave nothing at order 2
    >>> bool(np.abs(iir_filter(trend, 500.0, 5000.0, order=2)).max() < 1e-12)
    True
    """
    a_in = _slow_time(iq, axis)
    n = a_in.shape[0]
    b, a = butterworth_highpass(order, cutoff, rate)
    if len(a) - 1 > n - 2:
        raise ValueError(f"order: a filter of order {len(a) - 1} leaves nothing of {n} frames "
                         f"(at most {n - 2})")
    return _apply(_iir_matrix(b, a, n), a_in, axis)


def clutter_filter(iq: ArrayLike, method: str = "polynomial", order: int = 2,
                   cutoff: Optional[float] = None, rate: Optional[float] = None,
                   axis: int = 0) -> np.ndarray:
    """The clutter filter `method` along slow time.

    Parameters
    ----------
    iq : array_like
        Frames along `axis`.
    method : {"polynomial", "iir", "none"}
        `regression_filter`, `iir_filter` (needs cutoff and rate, Hz) or a copy.
    order, cutoff, rate, axis
        As those functions take them.

    Returns
    -------
    numpy.ndarray
        The same shape.

    Example
    -------
    >>> clutter_filter([1.0, 1.0, 1.0, 1.0], "polynomial", order=0).tolist()
    [0.0, 0.0, 0.0, 0.0]
    """
    if method == "polynomial":
        return regression_filter(iq, order, axis)
    if method == "iir":
        if cutoff is None or rate is None:
            raise ValueError("cutoff: the iir filter needs its cutoff and the frame rate, Hz")
        return iir_filter(iq, cutoff, rate, order, axis)
    if method == "none":
        return np.moveaxis(_slow_time(iq, axis, least=1), 0, axis).copy()
    raise ValueError(f"method must be one of {', '.join(CLUTTER_FILTERS)}, got {method!r}")


# ---------------------------------------------------------------------------
# Geometry


@dataclass(frozen=True, eq=False)
class Bisector:
    """Sum k = u_t + u_r of the unit vectors from each pixel back along the transmitted wave
    and towards the receiving aperture.

    Attributes
    ----------
    k : (..., 3) numpy.ndarray
        Per pixel; its direction is the bisector (towards the probe), its
        length 2 cos(half the angle between u_t and u_r).
    """

    k: np.ndarray

    @property
    def length(self):
        """|k| per pixel."""
        return np.linalg.norm(self.k, axis=-1)

    @property
    def direction(self):
        """The unit bisector per pixel (..., 3)."""
        return self.k / self.length[..., None]


def _back_along(t, p):
    """Unit vectors from the points p (m, 3) back along the transmit's wave."""
    kind = t.kind
    if kind == "plane":
        u = np.array([np.sin(t.azimuth) * np.cos(t.elevation), np.sin(t.elevation),
                      np.cos(t.azimuth) * np.cos(t.elevation)])
        return np.broadcast_to(-u, p.shape)
    if kind == "custom" and t.source is None:  # from the centre of the firing elements
        return None
    s = np.asarray(t.source, dtype=float)
    d = s - p
    if kind == "focused":  # converging before the focus, diverging beyond it
        d = np.where((p[:, 2] < s[2])[:, None], -d, d)
    return d / np.maximum(np.linalg.norm(d, axis=1), 1e-30)[:, None]


def bisector(points: ArrayLike, sequence, element_positions: ArrayLike,
             f_number: float = 1.5) -> Bisector:
    """k = u_t + u_r per pixel for a sequence's transmits and a receive aperture.

    Parameters
    ----------
    points : (..., 3) array_like
        Pixels, m (e.g. `grid.points()` of a sonvar.beamform grid).
    sequence : sonvar.sequence.Sequence or list of Transmit
        The transmits of a frame: u_t is their mean (plane waves: minus the
        direction of travel; diverging waves and single elements: towards
        the source; focused waves: against the travel, converging before the
        focus and diverging beyond it; custom waves: towards the centre of
        their firing elements).
    element_positions : (channels, 3) array_like
        Receiving elements, m (a flat array facing +z).
    f_number : float
        The delay-and-sum's receive F-number: u_r is the mean of the unit
        vectors to the elements within depth / (2 f_number) across the
        pixel (the nearest element when none).

    Returns
    -------
    Bisector

    Example
    -------
    >>> import numpy as np, sonvar
    >>> from sonvar import sequence
    >>> probe = sonvar.Simulator().linear_array(32, 0.27e-3, 4e-3, 0.03e-3)
    >>> k = bisector([[0, 0, 0.02]], sequence.plane_waves(probe, [0.0]), probe.element_centers)
    >>> k.k.round(9).tolist(), float(k.length[0])
    ([[-0.0, 0.0, -2.0]], 2.0)
    """
    p_in = chk.real_array(points, "points")
    if p_in.ndim < 1 or p_in.shape[-1] != 3:
        raise ValueError(f"points must have shape (..., 3), got {p_in.shape}")
    p = chk.finite(p_in.reshape(-1, 3), "points")
    e = chk.points(element_positions, "element_positions")
    f_number = chk.number(f_number, "f_number", positive=True)
    transmits = list(getattr(sequence, "transmits", sequence))
    if not transmits:
        raise ValueError("sequence must hold at least one transmit")
    u_t = np.zeros_like(p)
    for t in transmits:
        u = _back_along(t, p)
        if u is None:
            firing = e[np.asarray(t.apodization) != 0] if len(t.apodization) == len(e) else e
            d = firing.mean(axis=0) - p
            u = d / np.maximum(np.linalg.norm(d, axis=1), 1e-30)[:, None]
        u_t += u
    u_t /= len(transmits)
    u_r = np.zeros_like(p)
    for start in range(0, len(p), 4096):
        q = p[start:start + 4096]
        d = e[None, :, :] - q[:, None, :]
        dist = np.linalg.norm(d, axis=2)
        across = np.hypot(d[:, :, 0], d[:, :, 1])
        half = np.maximum(q[:, 2], 0.0)[:, None] / (2 * f_number)
        inside = across <= half
        none = ~inside.any(axis=1)
        inside[none, np.argmin(dist[none], axis=1)] = True
        units = d / np.maximum(dist, 1e-30)[:, :, None]
        u_r[start:start + 4096] = (units * inside[:, :, None]).sum(axis=1) / inside.sum(
            axis=1)[:, None]
    u_r /= np.linalg.norm(u_r, axis=1)[:, None]
    return Bisector((u_t + u_r).reshape(p_in.shape))


# ---------------------------------------------------------------------------
# Estimates


@dataclass(frozen=True, eq=False)
class DopplerMaps:
    """Colour and power Doppler maps on a grid of (nz, nx) pixels.

    Attributes
    ----------
    velocity : (nz, nx) numpy.ndarray
        Velocity along the bisector of the transmit and receive directions,
        m/s, positive towards the probe; 0 where masked.
    power : (nz, nx) numpy.ndarray
        Mean power of the filtered echoes over the kernel, dB of the
        brightest unfiltered echo (at least POWER_FLOOR).
    mask : (nz, nx) numpy.ndarray of bool
        True where the power lies below the threshold or the floor (or no
        frequency could be found): the velocity there is 0.
    frequency : (nz, nx) numpy.ndarray
        The echo's local mean frequency, Hz (0 where masked).
    aliasing_velocity : float
        |v| beyond which velocities alias at the power-weighted mean
        frequency and bisector of the unmasked pixels, m/s.
    x, z : numpy.ndarray or None
        The pixels' positions, m.
    interval : float
        Time between frames, s.
    """

    velocity: np.ndarray
    power: np.ndarray
    mask: np.ndarray
    frequency: np.ndarray
    aliasing_velocity: float
    x: Optional[np.ndarray]
    z: Optional[np.ndarray]
    interval: float


def _box(a, kernel):
    """Mean over a (kz, kx) box of the last two axes, the box cut at the edges."""
    out = a
    for axis, size in ((-2, kernel[0]), (-1, kernel[1])):
        if size == 1:
            continue
        half = size // 2
        n = out.shape[axis]
        c = np.cumsum(np.moveaxis(out, axis, 0), axis=0)
        c = np.concatenate([np.zeros((1,) + c.shape[1:], c.dtype), c])
        hi = np.minimum(np.arange(n) + half + 1, n)
        lo = np.maximum(np.arange(n) - half, 0)
        shape = (n,) + (1,) * (c.ndim - 1)
        out = np.moveaxis((c[hi] - c[lo]) / (hi - lo).reshape(shape), 0, axis)
    return out


def _kernel(kernel):
    k = np.asarray(kernel)
    if k.shape != (2,) or k.dtype.kind not in "iu" or np.any(k < 1) or np.any(k % 2 == 0):
        raise ValueError(f"kernel must be two odd pixel counts (depth, lateral) of at least 1, "
                         f"got {kernel!r}")
    return int(k[0]), int(k[1])


def _frames_of(frames, z, x):
    """(frames, nz, nx) complex data and the axes of an Image or an array."""
    data = getattr(frames, "data", None)
    if data is not None and hasattr(frames, "grid"):
        dims = tuple(frames.dims)
        if dims != ("frame", "z", "x"):
            raise ValueError(f"frames must be an image of frames on a 2-D Cartesian grid (dims "
                             f"frame, z, x), got dims {dims}")
        z = frames.grid.z if z is None else z
        x = frames.grid.x if x is None else x
        frames = data
    a = np.asarray(frames)
    if a.ndim != 3:
        raise ValueError(f"frames must have shape (frames, nz, nx), got {a.shape}")
    if not np.iscomplexobj(a):
        raise ValueError("frames must be complex (the analytic or IQ image of each frame)")
    if z is None:
        raise ValueError("z: the depth of each row is needed (m)")
    z = chk.vector(z, "z", length=a.shape[1], min_length=2)
    step = np.diff(z)
    if not np.all(step > 0) or np.ptp(step) > 1e-6 * step.mean():
        raise ValueError("z must increase in equal steps")
    if x is not None:
        x = chk.vector(x, "x", length=a.shape[2])
    return a, z, x, float(step.mean())


def _axial(y):
    """Lag-one autocorrelation between neighbouring rows, mean over frames, on the rows:
    (nz, nx)."""
    pairs = np.mean(np.conj(y[:, :-1]) * y[:, 1:], axis=0)
    rows = np.zeros((y.shape[1],) + pairs.shape[1:], complex)
    count = np.zeros(y.shape[1])
    rows[:-1] += pairs
    rows[1:] += pairs
    count[:-1] += 1
    count[1:] += 1
    return rows / count.reshape((-1,) + (1,) * (pairs.ndim - 1))


def estimate(frames, interval: float, sound_speed: float = 1540.0, *,
             z: Optional[ArrayLike] = None, x: Optional[ArrayLike] = None,
             clutter: str = "polynomial", order: int = 2, cutoff: Optional[float] = None,
             kernel: tuple = (5, 3), threshold: float = -20.0, floor: float = -100.0,
             center_frequency: Optional[float] = None,
             bisector: Optional[Bisector] = None) -> DopplerMaps:
    """Velocity, power and mask maps of an ensemble of beamformed frames.

    Parameters
    ----------
    frames : sonvar.beamform.Image or (frames, nz, nx) array_like
        Complex images of each frame (the analytic signal, as das gives it
        for IQ data); an Image of frames on a 2-D Cartesian grid brings its
        axes.
    interval : float
        Time between frames, s (transmits per frame / PRF).
    sound_speed : float
        m/s.
    z, x : (nz,), (nx,) array_like, optional
        Depths (equal steps) and lateral positions of the pixels, m.
    clutter : {"polynomial", "iir", "none"}
        The clutter filter along slow time (see the module).
    order : int
        Polynomial degree removed, or the Butterworth filter's order.
    cutoff : float, optional
        The IIR filter's -3 dB frequency, Hz.
    kernel : (2,) int
        Pixels of the spatial averaging box, (depth, lateral), odd.
    threshold : float
        Pixels whose filtered power lies more than -threshold dB below the
        strongest filtered pixel are masked (velocity 0): sidelobes and
        the edges of the flow.
    floor : float
        Pixels whose filtered power lies below this many dB of the
        brightest unfiltered echo are masked too: what a clutter filter
        leaves of echoes that stand still is rounding (about -300 dB).
    center_frequency : float, optional
        The pulse's nominal centre frequency, Hz: the axial phase per depth
        step is unwrapped around the one it gives (needed when a step
        exceeds a quarter wavelength); default the image's modulation
        frequency when it has one, else none (steps must stay below a
        quarter wavelength).
    bisector : Bisector, optional
        k = u_t + u_r per pixel (see `bisector`); default straight up, |k| = 2
        (an unsteered wave received by an aperture centred over the pixel).

    Returns
    -------
    DopplerMaps

    Raises
    ------
    ValueError, TypeError
        Frames that are not complex or finite, fewer than 2 frames (or too
        few for the filter's order), unequal depth steps, a bad kernel,
        clutter filter or interval.

    Example
    -------
    >>> import numpy as np
    >>> z = 0.02 + np.arange(32) * 20e-6  # echoes coming closer by 30 um per frame:
    >>> n = np.arange(6)[:, None, None]
    >>> iq = np.exp(4j * np.pi * 5e6 * (z[None, :, None] + 30e-6 * n) / 1540) * np.ones((1, 1, 2))
    >>> maps = estimate(iq, 1e-4, z=z, clutter="none", kernel=(3, 1))
    >>> v, limit = float(maps.velocity[10, 0]), maps.aliasing_velocity
    >>> round(v, 9), round(limit, 3), bool(maps.mask.any())
    (0.3, 0.77, False)
    """
    a, z, x, dz = _frames_of(frames, z, x)
    if center_frequency is None:
        center_frequency = getattr(frames, "modulation_frequency", 0.0) or None
    if a.shape[0] < 2:
        raise ValueError(f"frames: at least 2 frames are needed, got {a.shape[0]}")
    a = chk.finite(a.astype(np.complex128, copy=False), "frames")
    T = chk.number(interval, "interval", positive=True)
    c = chk.number(sound_speed, "sound_speed", positive=True)
    kernel = _kernel(kernel)
    threshold = chk.number(threshold, "threshold")
    floor = chk.number(floor, "floor")
    if clutter not in CLUTTER_FILTERS:
        raise ValueError(f"clutter must be one of {', '.join(CLUTTER_FILTERS)}, got {clutter!r}")
    k = np.array([0.0, 0.0, -2.0]) if bisector is None else np.asarray(bisector.k)
    k = np.broadcast_to(k, a.shape[1:] + (3,))
    length, k_z = np.linalg.norm(k, axis=-1), -k[..., 2]
    if not np.all(k_z > 0):
        raise ValueError("bisector: every pixel's bisector must point towards the probe (-z)")

    y = clutter_filter(a, clutter, order, cutoff, 1.0 / T)
    reference = _box(np.mean(np.abs(a) ** 2, axis=0), kernel).max()
    r0 = _box(np.mean(np.abs(y) ** 2, axis=0), kernel)
    r1 = _box(np.mean(np.conj(y[:-1]) * y[1:], axis=0), kernel)
    rz = _box(_axial(y), kernel)

    phase_z = np.angle(rz)
    if center_frequency is not None:
        f0 = chk.number(center_frequency, "center_frequency", positive=True)
        expected = 2 * np.pi * f0 * k_z * dz / c
        phase_z = expected + np.angle(np.exp(1j * (phase_z - expected)))
    with np.errstate(divide="ignore", invalid="ignore"):
        frequency = phase_z * c / (2 * np.pi * dz * k_z)
        velocity = np.angle(r1) * c / (2 * np.pi * frequency * T * length)
        power = 10 * np.log10(r0 / reference) if reference > 0 else np.full(r0.shape, -np.inf)
    power = np.where(np.isfinite(power), np.maximum(power, POWER_FLOOR), POWER_FLOOR)
    mask = (power < power.max() + threshold) | (power < floor) | ~np.isfinite(velocity) | \
        ~(frequency > 0)
    velocity = np.where(mask, 0.0, velocity)
    frequency = np.where(mask, 0.0, frequency)
    weights = np.where(mask, 0.0, r0)
    if weights.sum() > 0:
        f_mean = float(np.sum(weights * frequency) / weights.sum())
        k_mean = float(np.sum(weights * length) / weights.sum())
    else:
        f_mean, k_mean = float(center_frequency or 0.0), float(length.mean())
    aliasing = c / (2 * f_mean * T * k_mean) if f_mean > 0 else 0.0
    return DopplerMaps(velocity, power, mask, frequency, aliasing, x, z, T)


def plot(maps: DopplerMaps, bmode, ax=None, path: Optional[str] = None,
         title: Optional[str] = None, velocity_range: Optional[float] = None):
    """The velocity map in colour over the B-mode image (masked pixels show the B-mode).

    Parameters
    ----------
    maps : DopplerMaps
        On the B-mode image's pixels.
    bmode : sonvar.display.BMode
        The image underneath (its db, x, z, dynamic_range).
    ax : matplotlib Axes, optional
        Where to draw (default a new figure).
    path : str, optional
        Write the figure to this PNG.
    title : str, optional
    velocity_range : float, optional
        The colour scale's +- limit, m/s (default the aliasing velocity, or
        the largest |velocity|).

    Returns
    -------
    The Axes drawn on.
    """
    import matplotlib
    if ax is None and path is not None:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    if maps.velocity.shape != bmode.db.shape:
        raise ValueError(f"maps: velocity of shape {maps.velocity.shape} over a B-mode image of "
                         f"shape {bmode.db.shape}")
    own = ax is None
    if own:
        fig, ax = plt.subplots(figsize=(5.5, 6.5))
    x, z = bmode.x, bmode.z
    extent = (x[0] * 1e3, x[-1] * 1e3, z[-1] * 1e3, z[0] * 1e3)
    ax.imshow(bmode.db, cmap="gray", vmin=-bmode.dynamic_range, vmax=0, extent=extent,
              aspect="equal")
    limit = velocity_range or maps.aliasing_velocity or float(np.abs(maps.velocity).max()) or 1.0
    shown = np.ma.masked_array(maps.velocity, mask=maps.mask)
    im = ax.imshow(shown, cmap="RdBu_r", vmin=-limit, vmax=limit, extent=extent, aspect="equal")
    ax.figure.colorbar(im, ax=ax, label="velocity towards the probe [m/s]")
    ax.set_xlabel("lateral x [mm]")
    ax.set_ylabel("depth z [mm]")
    if title:
        ax.set_title(title, fontsize=10)
    if path is not None:
        ax.figure.savefig(path, dpi=100)
        if own:
            plt.close(ax.figure)
    return ax

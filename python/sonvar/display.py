"""From RF lines to a displayed image: envelope detection, IQ demodulation,
time-gain compensation, log compression, scan conversion of sectors, resampling
of parallel lines, and the B-mode image of a beamformed image (`bmode`)."""

from dataclasses import dataclass
from typing import Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike

from . import _checks as chk

__all__ = ["analytic", "envelope", "iq_demodulate", "time_gain", "log_compress", "scan_convert",
           "resample", "BMode", "bmode"]


def analytic(rf: ArrayLike, axis: int = 0) -> np.ndarray:
    """Analytic signal of real RF data along axis (time), by FFT; complex, same shape.

    Its magnitude is the envelope, its angle the instantaneous phase.
    """
    a = chk.real_array(rf, "rf")
    n = a.shape[axis]
    spectrum = np.fft.fft(a, axis=axis)
    gain = np.zeros(n)
    gain[0] = 1
    if n % 2 == 0:
        gain[n // 2] = 1
        gain[1:n // 2] = 2
    else:
        gain[1:(n + 1) // 2] = 2
    shape = [1] * a.ndim
    shape[axis] = n
    return np.fft.ifft(spectrum * gain.reshape(shape), axis=axis)


def envelope(rf: ArrayLike, axis: int = 0) -> np.ndarray:
    """Magnitude of the analytic signal along axis (time), by FFT."""
    return np.abs(analytic(rf, axis))


def _lowpass_taps(cutoff, fs):
    """Hann-windowed sinc of unit sum passing |f| < cutoff: odd length, two periods of the
    cut-off frequency on each side of the centre."""
    half = int(np.ceil(2 * fs / cutoff))
    k = np.arange(-half, half + 1)
    taps = np.sinc(2 * cutoff / fs * k) * (0.5 + 0.5 * np.cos(np.pi * k / (half + 1)))
    return taps / taps.sum()


def iq_demodulate(rf: ArrayLike, fs: float, modulation_frequency: float, t0: float = 0.0,
                  bandwidth: Optional[float] = None, decimation: int = 1,
                  axis: int = 0) -> Tuple[np.ndarray, float]:
    """IQ samples of real RF data: mixed down, low-pass filtered (zero phase), decimated.

    Sample k at time t = t0 + k / fs is multiplied by 2 exp(-2 pi i f_m t) and filtered
    by a linear-phase low-pass (a Hann-windowed sinc, its delay taken out) that passes
    |f| < bandwidth / 2: the result is the analytic signal mixed down by f_m, whose
    magnitude is the RF envelope. Then every decimation-th sample is kept.

    Parameters
    ----------
    rf : array_like
        Real RF samples along axis.
    fs : float
        Sampling frequency, Hz.
    modulation_frequency : float
        Mixing frequency f_m, Hz (typically the centre frequency of the echoes).
    t0 : float
        Time of the first sample, s (the mixing is referred to t = 0).
    bandwidth : float, optional
        Width of the pass band around f_m, Hz (default 2 f_m).
    decimation : int
        Keep every decimation-th sample; fs / decimation must not fall below the
        bandwidth.
    axis : int
        The time axis.

    Returns
    -------
    iq : complex numpy.ndarray
        Same shape with the time axis shortened by the decimation.
    fs : float
        Its sampling frequency, Hz.

    Example
    -------
    >>> import numpy as np
    >>> t = np.arange(400) / 100e6
    >>> rf = np.exp(-((t - 2e-6) / 0.3e-6) ** 2) * np.cos(2 * np.pi * 5e6 * t)
    >>> iq, fs = iq_demodulate(rf, 100e6, 5e6, decimation=4)
    >>> fs, round(float(np.abs(iq).max()), 2)
    (25000000.0, 1.0)
    """
    a = chk.real_array(rf, "rf")
    fs = chk.number(fs, "fs", positive=True)
    fm = chk.number(modulation_frequency, "modulation_frequency", positive=True)
    t0 = chk.number(t0, "t0")
    bw = 2 * fm if bandwidth is None else chk.number(bandwidth, "bandwidth", positive=True)
    decimation = chk.count(decimation, "decimation")
    if not bw < fs:
        raise ValueError(f"bandwidth must be below fs ({fs:g} Hz), got {bw:g} Hz")
    if fs / decimation < bw:
        raise ValueError(f"decimation: fs / {decimation} = {fs / decimation:g} Hz is below the "
                         f"bandwidth of {bw:g} Hz")
    x = np.moveaxis(a, axis, 0)
    n = x.shape[0]
    shape = (n,) + (1,) * (x.ndim - 1)
    mixed = x * np.exp(-2j * np.pi * fm * (t0 + np.arange(n) / fs)).reshape(shape)
    taps = _lowpass_taps(bw / 2, fs)
    size = 1 << int(np.ceil(np.log2(n + len(taps) - 1)))
    spectrum = np.fft.fft(mixed, size, axis=0) * np.fft.fft(2 * taps, size).reshape(
        (size,) + (1,) * (x.ndim - 1))
    iq = np.fft.ifft(spectrum, axis=0)[len(taps) // 2:len(taps) // 2 + n:decimation]
    return np.moveaxis(iq, 0, axis), fs / decimation


def time_gain(image: ArrayLike, depths: ArrayLike, db_per_m: float) -> np.ndarray:
    """Multiply each row (depth, m) by 10^(db_per_m * depth / 20), e.g. 0.5 dB/(cm MHz) * 2 * f0."""
    a = chk.real_array(image, "image")
    d = chk.vector(depths, "depths", length=a.shape[0])
    with np.errstate(over="ignore"):
        g = 10 ** (chk.number(db_per_m, "db_per_m") * d / 20)
    if not np.all(np.isfinite(g)):
        raise ValueError(f"db_per_m: a gain of {db_per_m:g} dB/m over depths to "
                         f"{np.max(np.abs(d)):g} m exceeds the range of double precision")
    return a * g.reshape((-1,) + (1,) * (a.ndim - 1))


def log_compress(env: ArrayLike, dynamic_range: float = 60.0,
                 reference: Optional[float] = None) -> np.ndarray:
    """Envelope in dB relative to its maximum (or reference), clipped at -dynamic_range."""
    a = chk.real_array(env, "env")
    dr = chk.number(dynamic_range, "dynamic_range", positive=True)
    ref = np.max(a) if reference is None else chk.number(reference, "reference", positive=True)
    if not ref > 0:
        raise ValueError("env has no positive value")
    with np.errstate(divide="ignore"):
        db = 20 * np.log10(np.maximum(a, 0) / ref)
    return np.maximum(db, -dr)


def scan_convert(image: ArrayLike, radii: ArrayLike, angles: ArrayLike, x: ArrayLike, z: ArrayLike,
                 apex: float = 0.0, fill: float = np.nan) -> np.ndarray:
    """Resample a sector image onto a Cartesian grid (bilinear).

    Parameters
    ----------
    image : (samples, lines) array_like
        Rows at increasing radius, columns at increasing angle.
    radii : (samples,) array_like
        Distance of each row from the apex, m.
    angles : (lines,) array_like
        Angle of each line from the z axis towards x, rad.
    x, z : (nx,), (nz,) array_like
        Pixel positions, m.
    apex : float
        z of the sector's apex, m: 0 for a phased array, -R for a convex
        array of radius R with its face at z = 0.
    fill : float
        Value outside the sector.

    Returns
    -------
    (nz, nx) numpy.ndarray
    """
    img = chk.matrix(image, "image")
    r = chk.vector(radii, "radii", length=img.shape[0], min_length=2)
    th = chk.vector(angles, "angles", length=img.shape[1], min_length=2)
    if np.any(np.diff(r) <= 0) or np.any(np.diff(th) <= 0):
        raise ValueError("radii and angles must increase")
    xx, zz = np.meshgrid(chk.vector(x, "x"), chk.vector(z, "z") - chk.number(apex, "apex"))
    return _bilinear(img, r, th, np.hypot(xx, zz), np.arctan2(xx, zz), fill)


def _bilinear(img, rows, columns, row_at, column_at, fill):
    """img (rows at increasing positions `rows`, columns at `columns`) interpolated at the
    positions (row_at, column_at); fill outside."""
    fr = np.interp(row_at, rows, np.arange(len(rows)), left=-1, right=-1)
    fc = np.interp(column_at, columns, np.arange(len(columns)), left=-1, right=-1)
    inside = (fr >= 0) & (fc >= 0)
    fr, fc = np.where(inside, fr, 0), np.where(inside, fc, 0)
    i0 = np.minimum(fr.astype(int), len(rows) - 2)
    j0 = np.minimum(fc.astype(int), len(columns) - 2)
    u, v = fr - i0, fc - j0
    out = ((1 - u) * (1 - v) * img[i0, j0] + u * (1 - v) * img[i0 + 1, j0] +
           (1 - u) * v * img[i0, j0 + 1] + u * v * img[i0 + 1, j0 + 1])
    return np.where(inside, out, fill)


def resample(image: ArrayLike, depths: ArrayLike, lateral: ArrayLike, x: ArrayLike, z: ArrayLike,
             fill: float = np.nan) -> np.ndarray:
    """Resample an image of parallel lines onto other Cartesian pixels (bilinear).

    Parameters
    ----------
    image : (samples, lines) array_like
        Rows at increasing depth, columns at increasing lateral position.
    depths : (samples,) array_like
        Depth z of each row, m.
    lateral : (lines,) array_like
        Lateral position x of each line, m.
    x, z : (nx,), (nz,) array_like
        Pixel positions, m.
    fill : float
        Value outside the lines' span.

    Returns
    -------
    (nz, nx) numpy.ndarray

    Example
    -------
    >>> resample([[0.0, 1.0], [2.0, 3.0]], [0.01, 0.02], [0.0, 1e-3], [5e-4, 2e-3], [0.015])
    array([[1.5, nan]])
    """
    img = chk.matrix(image, "image")
    d = chk.vector(depths, "depths", length=img.shape[0], min_length=2)
    lat = chk.vector(lateral, "lateral", length=img.shape[1], min_length=2)
    if np.any(np.diff(d) <= 0) or np.any(np.diff(lat) <= 0):
        raise ValueError("depths and lateral must increase")
    xx, zz = np.meshgrid(chk.vector(x, "x"), chk.vector(z, "z"))
    return _bilinear(img, d, lat, zz, xx, fill)


@dataclass(frozen=True, eq=False)
class BMode:
    """A B-mode image in dB (0 at its maximum, down to -dynamic_range).

    Attributes
    ----------
    db : numpy.ndarray
        (nz, nx), or (nz, ny, nx) for a volume.
    x, z : numpy.ndarray
        Pixel positions, m.
    y : numpy.ndarray or None
        Elevation positions of a volume, m.
    dynamic_range : float
        dB.
    """

    db: np.ndarray
    x: np.ndarray
    z: np.ndarray
    y: Optional[np.ndarray] = None
    dynamic_range: float = 60.0


def _sector_axes(radii, angles, radius, pixel_size):
    """Cartesian pixels covering a 2-D sector (apex at z = -radius)."""
    r_lo, r_hi = max(radii[0], radius), radii[-1]
    corners = [(r * np.sin(a), r * np.cos(a) - radius) for r in (r_lo, r_hi)
               for a in (angles[0], angles[-1], 0.0) if angles[0] <= a <= angles[-1]]
    xs, zs = [p[0] for p in corners], [p[1] for p in corners]
    step = pixel_size or float(np.min(np.diff(radii)))
    x = np.arange(min(xs), max(xs) + step / 2, step)
    z = np.arange(max(min(zs), 0.0), max(zs) + step / 2, step)
    return x, z


def bmode(image: ArrayLike, dynamic_range: float = 60.0, tgc: float = 0.0,
          pixel_size: Optional[float] = None, x: Optional[ArrayLike] = None,
          z: Optional[ArrayLike] = None) -> "BMode":
    """The B-mode image of a beamformed image: envelope, time-gain compensation, log
    compression, and for a 2-D polar sector scan conversion onto Cartesian pixels.

    Parameters
    ----------
    image : sonvar.beamform.Image
        One image (no frame or transmit axis) on a Cartesian or polar grid.
    dynamic_range : float
        dB shown below the maximum.
    tgc : float
        Time-gain compensation, dB per metre of depth (0: none).
    pixel_size : float, optional
        Sector images: the Cartesian pixel pitch, m (default: the radial step).
    x, z : array_like, optional
        Sector images: the Cartesian pixels, m (default: covering the sector).

    Returns
    -------
    BMode

    Example
    -------
    >>> import numpy as np
    >>> from sonvar import beamform, display
    >>> grid = beamform.CartesianGrid(x=np.linspace(-1e-3, 1e-3, 3), z=np.linspace(0.01, 0.02, 2))
    >>> image = beamform.Image(np.array([[1, 1j, 0.1], [0.5, 0.5, 0.5]]), grid, ("z", "x"))
    >>> display.bmode(image, dynamic_range=40).db.round(2).tolist()
    [[0.0, 0.0, -20.0], [-6.02, -6.02, -6.02]]
    """
    from .beamform import CartesianGrid, Image, PolarGrid
    if not isinstance(image, Image):
        raise TypeError(f"image must be a sonvar.beamform.Image, not {type(image).__name__}")
    grid = image.grid
    if not isinstance(grid, (CartesianGrid, PolarGrid)):
        raise ValueError("image: a B-mode image needs a Cartesian or polar grid")
    if image.data.ndim != len(grid.shape):
        raise ValueError(f"image must be one image of the grid's shape {grid.shape}, got "
                         f"{image.data.shape} ({', '.join(image.dims)})")
    dr = chk.number(dynamic_range, "dynamic_range", positive=True)
    env = image.envelope()
    if chk.number(tgc, "tgc"):
        env = time_gain(env, np.maximum(grid.depths, 0), tgc)
    db = log_compress(env, dr) if env.max() > 0 else np.full(env.shape, -dr)
    if isinstance(grid, CartesianGrid):
        return BMode(db, grid.x, grid.z, grid.y, dr)
    if grid.elevations is not None:
        raise ValueError("image: a 3-D sector is not scan-converted; take its slices")
    if grid.apex[0] != 0 or grid.apex[1] != 0:
        raise ValueError(f"image: the sector's apex must lie on the z axis, got {grid.apex}")
    radius = -float(grid.apex[2])
    if x is None or z is None:
        size = None if pixel_size is None else chk.number(pixel_size, "pixel_size", positive=True)
        x0, z0 = _sector_axes(grid.radii, grid.azimuths, radius, size)
        x = x0 if x is None else x
        z = z0 if z is None else z
    x, z = chk.vector(x, "x"), chk.vector(z, "z")
    # Bilinear weights round below the floor: clip again.
    db = np.maximum(scan_convert(db, grid.radii, grid.azimuths, x, z, apex=-radius, fill=-dr), -dr)
    return BMode(db, x, z, None, dr)

"""From RF lines to a displayed image: envelope detection, time-gain
compensation, log compression and scan conversion of sectors."""

import numpy as np

from . import _checks as chk

__all__ = ["analytic", "envelope", "time_gain", "log_compress", "scan_convert"]


def analytic(rf, axis=0):
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


def envelope(rf, axis=0):
    """Magnitude of the analytic signal along axis (time), by FFT."""
    return np.abs(analytic(rf, axis))


def time_gain(image, depths, db_per_m):
    """Multiply each row (depth, m) by 10^(db_per_m * depth / 20), e.g. 0.5 dB/(cm MHz) * 2 * f0."""
    a = chk.real_array(image, "image")
    d = chk.vector(depths, "depths", length=a.shape[0])
    g = 10 ** (chk.number(db_per_m, "db_per_m") * d / 20)
    return a * g.reshape((-1,) + (1,) * (a.ndim - 1))


def log_compress(env, dynamic_range=60.0, reference=None):
    """Envelope in dB relative to its maximum (or reference), clipped at -dynamic_range."""
    a = chk.real_array(env, "env")
    dr = chk.number(dynamic_range, "dynamic_range", positive=True)
    ref = np.max(a) if reference is None else chk.number(reference, "reference", positive=True)
    if not ref > 0:
        raise ValueError("env has no positive value")
    with np.errstate(divide="ignore"):
        db = 20 * np.log10(np.maximum(a, 0) / ref)
    return np.maximum(db, -dr)


def scan_convert(image, radii, angles, x, z, apex=0.0, fill=np.nan):
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
    pr = np.hypot(xx, zz)
    pt = np.arctan2(xx, zz)
    fr = np.interp(pr, r, np.arange(len(r)), left=-1, right=-1)
    ft = np.interp(pt, th, np.arange(len(th)), left=-1, right=-1)
    inside = (fr >= 0) & (ft >= 0)
    fr, ft = np.where(inside, fr, 0), np.where(inside, ft, 0)
    i0 = np.minimum(fr.astype(int), len(r) - 2)
    j0 = np.minimum(ft.astype(int), len(th) - 2)
    u, v = fr - i0, ft - j0
    out = ((1 - u) * (1 - v) * img[i0, j0] + u * (1 - v) * img[i0 + 1, j0] +
           (1 - u) * v * img[i0, j0 + 1] + u * v * img[i0 + 1, j0 + 1])
    return np.where(inside, out, fill)

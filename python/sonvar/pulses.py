"""Pulse shapes sampled at a given sampling frequency.

Every pulse is symmetric about its middle sample, (n - 1) / 2: a signal
starting at t = 0 has its centre (the peak of its envelope) at
(n - 1) / (2 fs). Use `center_delay` to find the delay of a chain of pulses.
"""

import numpy as np

from . import _checks as chk

__all__ = ["gaussian_pulse", "sine_burst", "center_delay"]


def gaussian_pulse(f0, bandwidth, fs, cutoff_db=-40.0, phase=0.0):
    """Gaussian-modulated sine (cosine for phase = pi/2).

    Parameters
    ----------
    f0 : float
        Centre frequency, Hz.
    bandwidth : float
        Fractional -6 dB bandwidth (e.g. 0.6 for 60 %).
    fs : float
        Sampling frequency, Hz.
    cutoff_db : float
        Level of the envelope, dB (negative), at which the pulse is cut.
    phase : float
        Phase of the carrier at the centre, rad; 0 gives an odd (sine) pulse,
        pi/2 an even (cosine) one.

    Returns
    -------
    numpy.ndarray
        An odd number of samples, peak of the envelope at the middle one.

    Examples
    --------
    >>> p = gaussian_pulse(5e6, 0.6, 100e6)
    >>> len(p) % 2
    1
    """
    f0 = chk.number(f0, "f0", positive=True)
    bandwidth = chk.number(bandwidth, "bandwidth", positive=True)
    fs = chk.number(fs, "fs", positive=True)
    cutoff_db = chk.number(cutoff_db, "cutoff_db")
    if cutoff_db >= 0:
        raise ValueError("cutoff_db must be below 0")
    # Envelope exp(-t^2 / (2 s^2)); its spectrum falls by 6 dB (a factor 1/2)
    # at f0 (1 +- bandwidth / 2).
    sigma_f = f0 * bandwidth / 2 / np.sqrt(2 * np.log(2))
    sigma_t = 1 / (2 * np.pi * sigma_f)
    t_cut = sigma_t * np.sqrt(-2 * np.log(10 ** (cutoff_db / 20)))
    half = int(np.ceil(t_cut * fs))
    t = np.arange(-half, half + 1) / fs
    return np.exp(-t ** 2 / (2 * sigma_t ** 2)) * np.sin(2 * np.pi * f0 * t + phase)


def sine_burst(f0, cycles, fs, window="hanning"):
    """Sine burst of a whole or half number of cycles, optionally windowed.

    Parameters
    ----------
    f0 : float
        Frequency, Hz.
    cycles : float
        Periods in the burst (at least 0.5).
    fs : float
        Sampling frequency, Hz.
    window : {"hanning", None}
        Hanning window over the burst, or none (rectangular).

    Returns
    -------
    numpy.ndarray
        floor(cycles * fs / f0) + 1 samples from t = 0.
    """
    f0 = chk.number(f0, "f0", positive=True)
    cycles = chk.number(cycles, "cycles", positive=True)
    fs = chk.number(fs, "fs", positive=True)
    if window not in ("hanning", None):
        raise ValueError("window must be 'hanning' or None")
    n = int(np.floor(cycles * fs / f0)) + 1
    t = np.arange(n) / fs
    burst = np.sin(2 * np.pi * f0 * t)
    if window == "hanning" and n > 1:
        burst *= 0.5 - 0.5 * np.cos(2 * np.pi * np.arange(n) / (n - 1))
    return burst


def center_delay(fs, *pulses):
    """Delay, s, of the centre of the convolution of symmetric pulses that start at t = 0.

    For a pulse-echo simulation pass the impulse response twice and the
    excitation once: the echo of a scatterer at range r peaks near
    2 r / c + center_delay(fs, impulse, excitation, impulse).
    """
    fs = chk.number(fs, "fs", positive=True)
    return sum((len(p) - 1) / 2 for p in pulses) / fs

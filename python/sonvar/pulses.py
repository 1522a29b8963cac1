"""Pulse shapes sampled at a given sampling frequency.

Every pulse is symmetric about its middle sample, (n - 1) / 2: a signal
starting at t = 0 has its centre (the peak of its envelope) at
(n - 1) / (2 fs). Use `center_delay` to find the delay of a chain of pulses.
"""

from typing import Optional

import numpy as np
from numpy.typing import ArrayLike

from . import _checks as chk
from . import _core

__all__ = ["gaussian_pulse", "sine_burst", "center_delay"]

#: The longest signal a simulator holds by default (its option max_samples), samples.
_MOST_SAMPLES = next(o["default"] for o in _core.option_table() if o["name"] == "max_samples")


def _sampled(f0, fs):
    """fs above twice f0: a pulse sampled more sparsely is not the pulse asked for."""
    if not fs > 2 * f0:
        raise ValueError(f"f0: {f0:g} Hz is not sampled by fs = {fs:g} Hz (f0 must lie below "
                         f"fs / 2 = {fs / 2:g} Hz)")


def _length(samples, name, what):
    """A pulse length within the longest signal, or ValueError naming the argument."""
    if not samples <= _MOST_SAMPLES:
        raise ValueError(f"{name}: {what} would hold {samples:.4g} samples, more than the "
                         f"{_MOST_SAMPLES:.0f} a signal may hold")
    return int(samples)


def _not_zero(pulse, name, what):
    if not np.any(pulse):
        raise ValueError(f"{name}: {what} has no sample other than zero at this fs")
    return pulse


def gaussian_pulse(f0: float, bandwidth: float, fs: float, cutoff_db: float = -40.0,
                   phase: float = 0.0) -> np.ndarray:
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

    Raises
    ------
    ValueError
        A value that is not finite or outside its range (bandwidth above 2,
        cutoff_db outside -300 to 0), fs not above 2 f0, a pulse longer than
        a signal may hold (max_samples' default) or without a sample other
        than zero.

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
    phase = chk.number(phase, "phase")
    if bandwidth > 2:
        raise ValueError(f"bandwidth must be at most 2 (its lower -6 dB edge at 0 Hz), got "
                         f"{bandwidth:g}")
    if not -300 <= cutoff_db < 0:
        raise ValueError(f"cutoff_db must be from -300 to below 0, got {cutoff_db:g}")
    _sampled(f0, fs)
    # Envelope exp(-t^2 / (2 s^2)); its spectrum falls by 6 dB (a factor 1/2)
    # at f0 (1 +- bandwidth / 2).
    sigma_f = f0 * bandwidth / 2 / np.sqrt(2 * np.log(2))
    sigma_t = 1 / (2 * np.pi * sigma_f)
    t_cut = sigma_t * np.sqrt(-2 * np.log(10 ** (cutoff_db / 20)))
    half = np.ceil(t_cut * fs)
    half = (_length(2 * half + 1, "bandwidth",
                    f"a pulse of bandwidth {bandwidth:g} at f0 = {f0:g} Hz") - 1) // 2
    t = np.arange(-half, half + 1) / fs
    pulse = np.exp(-t ** 2 / (2 * sigma_t ** 2)) * np.sin(2 * np.pi * f0 * t + phase)
    return _not_zero(pulse, "phase", "the pulse")


def sine_burst(f0: float, cycles: float, fs: float,
               window: Optional[str] = "hanning") -> np.ndarray:
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

    Raises
    ------
    ValueError
        cycles below 0.5, fs not above 2 f0, a burst longer than a signal may
        hold or without a sample other than zero.
    """
    f0 = chk.number(f0, "f0", positive=True)
    cycles = chk.number(cycles, "cycles", positive=True)
    fs = chk.number(fs, "fs", positive=True)
    if window not in ("hanning", None):
        raise ValueError("window must be 'hanning' or None")
    if cycles < 0.5:
        raise ValueError(f"cycles must be at least 0.5, got {cycles:g}")
    _sampled(f0, fs)
    n = _length(np.floor(cycles * fs / f0) + 1, "f0",
                f"a burst of {cycles:g} cycles at f0 = {f0:g} Hz")
    t = np.arange(n) / fs
    burst = np.sin(2 * np.pi * f0 * t)
    if window == "hanning" and n > 1:
        burst *= 0.5 - 0.5 * np.cos(2 * np.pi * np.arange(n) / (n - 1))
    return _not_zero(burst, "cycles", f"a burst of {cycles:g} cycles")


def center_delay(fs: float, *pulses: ArrayLike) -> float:
    """Delay, s, of the centre of the convolution of symmetric pulses that start at t = 0.

    For a pulse-echo simulation pass the impulse response twice and the
    excitation once: the echo of a scatterer at range r peaks near
    2 r / c + center_delay(fs, impulse, excitation, impulse).
    """
    fs = chk.number(fs, "fs", positive=True)
    return sum((len(p) - 1) / 2 for p in pulses) / fs

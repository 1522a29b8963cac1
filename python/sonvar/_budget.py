"""The memory budget of the calculations that return whole signals.

`check_result_memory` refuses, before anything is computed, a result whose
samples would take more bytes than the budget; `aligned_rows` estimates the
rows of the common time axis of h, hp or hhp at a set of points from the
geometry alone.
"""

import numpy as np

__all__ = []

#: Default budget of Simulator.memory_budget, bytes (2 GiB).
DEFAULT_BUDGET = 2 * 1024 ** 3


def _size(nbytes):
    for unit, scale in (("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if nbytes >= scale:
            return f"{nbytes / scale:.1f} {unit}"
    return f"{nbytes:.0f} bytes"


def check_result_memory(nbytes, budget, call, instead):
    """Refuse a result of about `nbytes` above `budget` bytes.

    Raises ValueError naming `call`, the size, the budget and what to do
    `instead`.
    """
    if nbytes > budget:
        raise ValueError(f"points: {call} would return about {_size(nbytes)} of samples, more "
                         f"than the memory budget of {_size(budget)}; {instead}")


def aligned_rows(points, low, high, c, fs, pulse_samples, two_way=False):
    """Rows of the common time axis of the points' signals, about.

    The arrivals at a point begin near its distance from the aperture's
    bounding box (low, high: (3,) corners, m); the axis runs from the
    earliest to the latest of them (twice the distances for the pulse-echo
    field), plus the pulse's samples.
    """
    outside = np.maximum(np.maximum(low - points, points - high), 0.0)
    distance = np.sqrt(np.einsum("ij,ij->i", outside, outside))
    travel = (distance.max() - distance.min()) * (2 if two_way else 1)
    return int(travel / c * fs) + int(pulse_samples)

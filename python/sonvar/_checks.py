"""Argument checks run before any library call.

Each check names the argument in its message: TypeError for a value of the
wrong kind (not a number, a complex or object array), ValueError for a value
of the right kind that the library cannot take (shape, non-finite, sign,
range).
"""

import numbers
import operator
from typing import Any, List, Optional

import numpy as np
from numpy.typing import ArrayLike

__all__ = []


def real_array(value: Any, name: str) -> np.ndarray:
    """Float64 copy-free view of a real numeric array, or TypeError."""
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a real numeric array, not {type(value).__name__}")
    try:
        a = np.asarray(value)
    except Exception as error:  # ragged nested sequences
        raise ValueError(f"{name} must be a rectangular numeric array ({error})") from None
    if a.dtype == object or not (np.issubdtype(a.dtype, np.integer) or
                                 np.issubdtype(a.dtype, np.floating) or a.dtype == bool):
        raise TypeError(f"{name} must be a real numeric array, not dtype {a.dtype}")
    return a.astype(np.float64, copy=False)


def finite(a: np.ndarray, name: str) -> np.ndarray:
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{name} must hold finite values only")
    return a


def points(value: Any, name: str = "points", allow_empty: bool = False) -> np.ndarray:
    """An (n, 3) float64 array of positions in metres; one (3,) point gives n = 1."""
    a = real_array(value, name)
    if a.ndim == 1 and a.shape[0] == 3:
        a = a.reshape(1, 3)
    if a.ndim != 2 or a.shape[1] != 3:
        raise ValueError(f"{name} must have shape (n, 3), got {a.shape}")
    if a.shape[0] == 0 and not allow_empty:
        raise ValueError(f"{name} must hold at least one point")
    return np.ascontiguousarray(finite(a, name))


def point(value: Any, name: str) -> List[float]:
    """Three finite coordinates as a list of floats."""
    a = real_array(value, name)
    if a.shape != (3,):
        raise ValueError(f"{name} must hold 3 values (x, y, z), got shape {a.shape}")
    return [float(v) for v in finite(a, name)]


def vector(value: Any, name: str, length: Optional[int] = None, min_length: int = 1) -> np.ndarray:
    a = real_array(value, name)
    if a.ndim == 0:
        a = a.reshape(1)
    if a.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {a.shape}")
    if length is not None and a.shape[0] != length:
        raise ValueError(f"{name} must hold {length} values, got {a.shape[0]}")
    if a.shape[0] < min_length:
        raise ValueError(f"{name} must hold at least {min_length} value(s)")
    return np.ascontiguousarray(finite(a, name))


def matrix(value: Any, name: str, columns: Optional[int] = None,
           rows: Optional[int] = None) -> np.ndarray:
    a = real_array(value, name)
    if a.ndim == 1 and columns is not None and a.shape[0] == columns:
        a = a.reshape(1, columns)
    if a.ndim != 2:
        raise ValueError(f"{name} must be two-dimensional, got shape {a.shape}")
    if columns is not None and a.shape[1] != columns:
        raise ValueError(f"{name} must have {columns} columns, got {a.shape[1]}")
    if rows is not None and a.shape[0] != rows:
        raise ValueError(f"{name} must have {rows} rows, got {a.shape[0]}")
    if a.shape[0] < 1 or a.shape[1] < 1:
        raise ValueError(f"{name} must not be empty")
    return np.ascontiguousarray(finite(a, name))


def number(value: Any, name: str, positive: bool = False, nonnegative: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        if not (isinstance(value, np.ndarray) and value.ndim == 0 and
                np.issubdtype(value.dtype, np.number) and not np.iscomplexobj(value)):
            raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    v = float(value)
    if not np.isfinite(v):
        raise ValueError(f"{name} must be finite, got {v}")
    if positive and not v > 0:
        raise ValueError(f"{name} must be above 0, got {v}")
    if nonnegative and v < 0:
        raise ValueError(f"{name} must not be negative, got {v}")
    return v


def count(value: Any, name: str, minimum: int = 1) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if v < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {v}")
    if v > 2**31 - 1:
        raise ValueError(f"{name} is too large: {v}")
    return v


def element_numbers(value: Any, name: str, no_elements: int) -> np.ndarray:
    a = np.asarray(value)
    if a.ndim == 0:
        a = a.reshape(1)
    if a.dtype == bool or not np.issubdtype(a.dtype, np.integer):
        raise TypeError(f"{name} must be integers (element numbers from 1), not dtype {a.dtype}")
    if a.ndim != 1 or a.shape[0] < 1:
        raise ValueError(f"{name} must be a non-empty one-dimensional array")
    bad = (a < 1) | (a > no_elements)
    if np.any(bad):
        raise ValueError(f"{name}: element number {int(a[bad][0])} is outside 1 .. {no_elements}")
    return np.ascontiguousarray(a, dtype=np.intc)


def angles(values: ArrayLike, name: str, what: str = "angles") -> ArrayLike:
    """Angles in rad within +-90 degrees; ValueError naming the argument, with a hint when the
    value looks like degrees."""
    a = np.atleast_1d(np.asarray(values, dtype=float))
    bad = ~(np.abs(a) < np.pi / 2)
    if np.any(bad):
        v = float(a[bad][0])
        # Beyond pi and up to a full turn, the value looks like degrees.
        hint = (f" ({v:g} rad; if {v:g} is in degrees, give {np.radians(v):.4g} rad)"
                if np.pi < abs(v) <= 360 else "")
        raise ValueError(f"{name}: {what} must lie within +-90 degrees, got {np.degrees(v):g} "
                         f"degrees{hint}")
    return values

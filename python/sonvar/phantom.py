"""Scatterer phantoms: uniform speckle with Gaussian amplitudes in a box,
anechoic cysts, and point targets. Positions in m."""

from dataclasses import dataclass

from typing import Optional

import numpy as np
from numpy.typing import ArrayLike

from . import _checks as chk

__all__ = ["Phantom", "speckle", "scatterers_for_density"]


@dataclass
class Phantom:
    """Point scatterers.

    Attributes
    ----------
    points : (n, 3) numpy.ndarray
        Positions, m.
    amplitudes : (n,) numpy.ndarray
        Scattering amplitudes.
    """

    points: np.ndarray
    amplitudes: np.ndarray

    def __len__(self):
        return len(self.amplitudes)

    def with_cyst(self, center: ArrayLike, radius: float, axis: Optional[str] = "y") -> "Phantom":
        """A copy without the scatterers inside a sphere (axis=None) or a cylinder.

        Parameters
        ----------
        center : (3,) array_like
            Centre, m.
        radius : float
            Radius, m.
        axis : {"x", "y", "z", None}
            Axis of the cylinder (default y, the elevation: a cyst through the
            whole slice); None for a sphere.
        """
        c = np.array(chk.point(center, "center"))
        r = chk.number(radius, "radius", positive=True)
        d = self.points - c
        if axis is not None:
            if axis not in ("x", "y", "z"):
                raise ValueError("axis must be 'x', 'y', 'z' or None")
            d[:, "xyz".index(axis)] = 0
        keep = np.einsum("ij,ij->i", d, d) > r * r
        return Phantom(self.points[keep], self.amplitudes[keep])

    def with_points(self, points: ArrayLike, amplitude: float) -> "Phantom":
        """A copy with point targets added at the given positions (n, 3), m, of one amplitude."""
        p = chk.points(points)
        a = np.full(len(p), chk.number(amplitude, "amplitude"))
        return Phantom(np.vstack([self.points, p]), np.concatenate([self.amplitudes, a]))


def scatterers_for_density(box: ArrayLike, per_cell: float, cell: ArrayLike) -> int:
    """Number of scatterers that gives per_cell scatterers per resolution cell.

    box : (3,) sizes of the phantom along x, y, z, m; cell : (3,) sizes of the
    resolution cell (lateral, elevation, axial), m.
    """
    b = np.array(chk.point(box, "box"))
    c = np.array(chk.point(cell, "cell"))
    if np.any(b <= 0) or np.any(c <= 0):
        raise ValueError("box and cell sizes must be above 0")
    return int(np.ceil(chk.number(per_cell, "per_cell", positive=True) * np.prod(b) / np.prod(c)))


def speckle(count: int, x_range: ArrayLike, y_range: ArrayLike, z_range: ArrayLike,
            rng: Optional[np.random.Generator] = None) -> Phantom:
    """Uniformly placed scatterers with zero-mean Gaussian amplitudes of unit variance.

    Parameters
    ----------
    count : int
        Number of scatterers.
    x_range, y_range, z_range : (2,) array_like
        Extent of the box, m (low, high).
    rng : numpy.random.Generator or int, optional
        Source of randomness (a seed gives a reproducible phantom).

    Returns
    -------
    Phantom
    """
    n = chk.count(count, "count")
    rng = np.random.default_rng(rng)
    bounds = []
    for name, r in (("x_range", x_range), ("y_range", y_range), ("z_range", z_range)):
        v = chk.vector(r, name, length=2)
        if not v[1] >= v[0]:
            raise ValueError(f"{name} must be (low, high)")
        bounds.append(v)
    points = np.column_stack([rng.uniform(lo, hi, n) for lo, hi in bounds])
    return Phantom(points, rng.normal(size=n))

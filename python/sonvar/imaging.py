"""Line-by-line focused imaging with linear, convex and phased arrays.

Linear and convex arrays: each image line uses an active sub-aperture of `active` neighbouring
elements centred at the element nearest the line: a fixed transmit focus
with an apodization window, dynamic receive focusing along the line and a
receive aperture that widens with depth at a constant F-number. Elements of
the sub-aperture that fall beyond the array get zero weight.

The sub-aperture is built once, centred in its own frame; for each line the
scatterers are moved into that frame (shifted for a linear array, turned
about the centre of curvature for a convex one), which gives the same echo as
the sub-aperture at its place in the full array.

Phased arrays: every line is formed by the same central `active` elements,
steered to the line's angle: a fixed transmit focus along the line, dynamic
receive focusing along it, the transmit window on both sides.
"""

from dataclasses import dataclass
from typing import Optional

import numpy as np
from numpy.typing import ArrayLike

from . import _checks as chk
from .phantom import Phantom
from .simulator import Field, Simulator

__all__ = ["LinearImager", "ConvexImager", "PhasedImager", "RFImage", "window"]


def window(n: int, kind: str = "hanning") -> np.ndarray:
    """Apodization window of n weights: "hanning" (no zero ends), "hamming" or "rect"."""
    n = chk.count(n, "n")
    k = np.arange(n)
    if kind == "rect" or n == 1:
        return np.ones(n)
    if kind == "hanning":
        return 0.5 - 0.5 * np.cos(2 * np.pi * (k + 1) / (n + 1))
    if kind == "hamming":
        return 0.54 - 0.46 * np.cos(2 * np.pi * k / (n - 1))
    raise ValueError("kind must be 'hanning', 'hamming' or 'rect'")


@dataclass(frozen=True)
class RFImage:
    """RF lines on one time axis.

    Attributes
    ----------
    data : (samples, lines) numpy.ndarray
        Echo of each line; row k is at time t0 + k / fs.
    t0 : float
        Time of the first row, s.
    fs : float
        Sampling frequency, Hz.
    positions : (lines,) numpy.ndarray
        Lateral position (linear array, m) or angle (convex array, rad) of each line.
    lag : float
        Delay, s, of the two-way pulse's centre: a scatterer at range r
        along a line peaks at 2 r / c + lag.
    """

    data: np.ndarray
    t0: float
    fs: float
    positions: np.ndarray
    lag: float

    def ranges(self, c: float) -> np.ndarray:
        """Range of each row along the lines, m, for speed of sound c (m/s)."""
        return (self.t0 + np.arange(self.data.shape[0]) / self.fs - self.lag) * c / 2


def _stack(fields, positions, lag):
    first = min(f.start_sample for f in fields)
    rows = max(f.start_sample + f.data.shape[0] for f in fields) - first
    data = np.zeros((rows, len(fields)))
    for j, f in enumerate(fields):
        s = f.start_sample - first
        data[s:s + f.data.shape[0], j] = f.data
    fs = fields[0].fs
    return RFImage(data, first / fs, fs, np.asarray(positions, dtype=float), lag)


class _Imager:
    def __init__(self, sim, no_elements, active, impulse, excitation, focus_depth, f_number,
                 transmit_window, apodization_steps):
        if not isinstance(sim, Simulator):
            raise TypeError("sim must be a Simulator")
        self.sim = sim
        self.no_elements = chk.count(no_elements, "no_elements")
        self.active = chk.count(active, "active")
        if self.active > self.no_elements:
            raise ValueError("active must not exceed no_elements")
        self.impulse = chk.vector(impulse, "impulse")
        self.excitation = chk.vector(excitation, "excitation")
        self.focus_depth = chk.number(focus_depth, "focus_depth", positive=True)
        self.f_number = chk.number(f_number, "f_number", positive=True)
        self.tx_weights = window(self.active, transmit_window)
        self.steps = chk.count(apodization_steps, "apodization_steps")
        self.lag = (2 * (len(self.impulse) - 1) + len(self.excitation) - 1) / 2 / sim.fs

    def _prepare(self, ap):
        ap.impulse(self.impulse)
        ap.excitation(self.excitation)
        return ap

    def _make_arrays(self, elevation_focus, flat, focused):
        """The transmit and the receive array, each made by flat() or, with an elevation
        focus, by focused(), with the imager's impulse response and excitation."""
        make = flat if elevation_focus is None else focused
        self.transmit = self._prepare(make())
        self.receive = self._prepare(make())

    def _first_element(self, position, pitch):
        """First full-array element of the sub-aperture nearest the line."""
        centre = position / pitch + (self.no_elements - 1) / 2
        return int(np.round(centre - (self.active - 1) / 2))

    def _sub_aperture(self, position):
        """The centre of the sub-aperture nearest the line at `position` (in the unit of the
        pitch) and which of its elements lie on the array (1.0) or beyond its ends (0.0)."""
        first = self._first_element(position, self.pitch)
        centre = (first + (self.active - 1) / 2 - (self.no_elements - 1) / 2) * self.pitch
        idx = first + np.arange(self.active)
        return centre, ((idx >= 0) & (idx < self.no_elements)).astype(float)

    def _focus_line(self, origin, focus, angle, valid, offsets):
        """Both arrays on one line from `origin` at `angle` (rad): the transmit focused at
        `focus` with the transmit window, the receive dynamically focused with the apodization
        time line of the sub-aperture's elements at `offsets` (`valid` weighs both)."""
        self.transmit.center_focus(origin)
        self.transmit.focus(focus)
        self.transmit.apodization(self.tx_weights * valid)
        self.receive.center_focus(origin)
        self.receive.dynamic_focus(angle, 0.0)
        times, values = self._receive_line(valid, offsets, self.max_range)
        self.receive.apodization(values, times)

    def _receive_line(self, valid, offsets, max_range):
        """Apodization time line: entries from 1 mm to max_range, width range / F-number."""
        ranges = np.linspace(1e-3, max(max_range, 2e-3), self.steps)
        values = np.zeros((self.steps, self.active))
        for k, r in enumerate(ranges):
            half = r / self.f_number / 2
            u = np.abs(offsets) / max(half, 1e-12)
            values[k] = np.where(u < 1, 0.5 + 0.5 * np.cos(np.pi * u), 0.0) * valid
        return ranges / self.sim.c, values

    def image(self, phantom: Phantom, positions: ArrayLike) -> RFImage:
        """RF lines of the phantom at the given line positions.

        Parameters
        ----------
        phantom : sonvar.phantom.Phantom
            Scatterers (positions in m, amplitudes).
        positions : (lines,) array_like
            Lateral positions, m (linear array), or angles, rad (convex).

        Returns
        -------
        RFImage
        """
        pos = chk.vector(positions, "positions")
        points = chk.points(phantom.points, "phantom.points")
        amplitudes = chk.vector(phantom.amplitudes, "phantom.amplitudes", length=len(points))
        fields = [self.line(p, points, amplitudes) for p in pos]
        return _stack(fields, pos, self.lag)


class LinearImager(_Imager):
    """Linear-array imaging, one line per lateral position.

    Parameters
    ----------
    sim : Simulator
    no_elements : int
        Elements of the full array.
    width, height, kerf : float
        Element size and gap, m.
    active : int
        Elements of the active sub-aperture.
    impulse, excitation : (n,) array_like
        Impulse response and excitation sampled at sim.fs.
    focus_depth : float
        Transmit focus depth, m.
    f_number : float
        Receive F-number (range over active width).
    elevation_focus : float, optional
        Elevation focus radius, m (an elevation-focused array); None: flat.
    no_sub_x, no_sub_y : int
        Rectangles per element.
    transmit_window : {"hanning", "hamming", "rect"}
    apodization_steps : int
        Entries of the receive apodization time line.
    max_range : float
        Deepest range the receive aperture grows to, m.
    """

    def __init__(self, sim: Simulator, no_elements: int, width: float, height: float, kerf: float,
                 active: int, impulse: ArrayLike, excitation: ArrayLike, focus_depth: float,
                 f_number: float = 2.0, elevation_focus: Optional[float] = None, no_sub_x: int = 1,
                 no_sub_y: int = 1, transmit_window: str = "hanning", apodization_steps: int = 32,
                 max_range: float = 0.08) -> None:
        super().__init__(sim, no_elements, active, impulse, excitation, focus_depth, f_number,
                         transmit_window, apodization_steps)
        self.pitch = chk.number(width, "width", positive=True) + chk.number(kerf, "kerf",
                                                                            nonnegative=True)
        self.max_range = chk.number(max_range, "max_range", positive=True)
        self._make_arrays(
            elevation_focus,
            lambda: sim.linear_array(self.active, width, height, kerf, no_sub_x, no_sub_y),
            lambda: sim.focused_array(self.active, width, height, kerf, elevation_focus, no_sub_x,
                                      no_sub_y))
        self.offsets = (np.arange(self.active) - (self.active - 1) / 2) * self.pitch

    def line(self, x: float, points: ArrayLike, amplitudes: ArrayLike) -> Field:
        """Echo of one line at lateral position x, m: a Field of shape (samples,)."""
        centre, valid = self._sub_aperture(x)
        xl = x - centre
        self._focus_line((xl, 0.0, 0.0), (xl, 0.0, self.focus_depth), 0.0, valid,
                         self.offsets - xl)
        local = points - np.array([centre, 0.0, 0.0])
        return self.sim.calc_scat(self.transmit, self.receive, local, amplitudes)


class ConvexImager(_Imager):
    """Convex-array imaging, one line per angle (rad, from the z axis towards x).

    The array's face touches z = 0 at its middle; its centre of curvature is
    (0, 0, -r_convex). Ranges are measured from the face along each line.
    Parameters as LinearImager, with r_convex (m) the radius of the face.
    """

    def __init__(self, sim: Simulator, no_elements: int, width: float, height: float, kerf: float,
                 r_convex: float, active: int, impulse: ArrayLike, excitation: ArrayLike,
                 focus_depth: float, f_number: float = 2.0, elevation_focus: Optional[float] = None,
                 no_sub_x: int = 1, no_sub_y: int = 1, transmit_window: str = "hanning",
                 apodization_steps: int = 32, max_range: float = 0.15) -> None:
        super().__init__(sim, no_elements, active, impulse, excitation, focus_depth, f_number,
                         transmit_window, apodization_steps)
        self.radius = chk.number(r_convex, "r_convex", positive=True)
        width = chk.number(width, "width", positive=True)
        kerf = chk.number(kerf, "kerf", nonnegative=True)
        self.pitch = np.arcsin(width / self.radius) + np.arcsin(kerf / self.radius)
        self.max_range = chk.number(max_range, "max_range", positive=True)
        self._make_arrays(
            elevation_focus,
            lambda: sim.convex_array(self.active, width, height, kerf, self.radius, no_sub_x,
                                     no_sub_y),
            lambda: sim.convex_focused_array(self.active, width, height, kerf, self.radius,
                                             elevation_focus, no_sub_x, no_sub_y))
        self.angles = (np.arange(self.active) - (self.active - 1) / 2) * self.pitch

    def line(self, angle: float, points: ArrayLike, amplitudes: ArrayLike) -> Field:
        """Echo of one line at the given angle, rad: a Field of shape (samples,)."""
        centre, valid = self._sub_aperture(angle)
        al = angle - centre
        r = self.radius
        origin = (r * np.sin(al), 0.0, r * np.cos(al) - r)
        direction = np.array([np.sin(al), 0.0, np.cos(al)])
        self._focus_line(origin, np.array(origin) + self.focus_depth * direction, al, valid,
                         r * (self.angles - al))
        # Turn the scatterers by -centre about the centre of curvature.
        c, s = np.cos(-centre), np.sin(-centre)
        x, z = points[:, 0], points[:, 2] + r
        local = np.column_stack([c * x + s * z, points[:, 1], -s * x + c * z - r])
        return self.sim.calc_scat(self.transmit, self.receive, local, amplitudes)


class PhasedImager(_Imager):
    """Phased-array imaging, one line per angle (rad, from the z axis towards x).

    The central `active` elements of the array, weighted by the transmit
    window, focus at focus_depth along the line on transmit and dynamically
    along it on receive (the same weights). Ranges are measured from (0, 0, 0).

    Parameters
    ----------
    sim : Simulator
    no_elements : int
        Elements of the array.
    width, height, kerf : float
        Element size and gap, m.
    active : int
        Central elements that transmit and receive.
    impulse, excitation : (n,) array_like
        Impulse response and excitation sampled at sim.fs.
    focus_depth : float
        Transmit focus along each line, m.
    elevation_focus : float, optional
        Elevation focus radius, m (an elevation-focused array); None: flat.
    no_sub_x, no_sub_y : int
        Rectangles per element.
    transmit_window : {"hanning", "hamming", "rect"}

    Examples
    --------
    >>> import numpy as np, sonvar
    >>> from sonvar import imaging, phantom, pulses
    >>> sim = sonvar.Simulator(fs=50e6)
    >>> imager = imaging.PhasedImager(sim, 16, 0.2e-3, 4e-3, 0.02e-3, 16,
    ...                               pulses.gaussian_pulse(4e6, 0.6, sim.fs),
    ...                               pulses.sine_burst(4e6, 1, sim.fs), 0.02)
    >>> target = phantom.Phantom(np.array([[0.0, 0.0, 0.02]]), np.ones(1))
    >>> imager.image(target, [-0.1, 0.0, 0.1]).data.shape[1]
    3
    """

    def __init__(self, sim: Simulator, no_elements: int, width: float, height: float, kerf: float,
                 active: int, impulse: ArrayLike, excitation: ArrayLike, focus_depth: float,
                 elevation_focus: Optional[float] = None, no_sub_x: int = 1, no_sub_y: int = 1,
                 transmit_window: str = "hanning") -> None:
        super().__init__(sim, no_elements, active, impulse, excitation, focus_depth, 2.0,
                         transmit_window, 1)
        n = self.no_elements
        weights = np.zeros(n)
        first = (n - self.active) // 2
        weights[first:first + self.active] = self.tx_weights
        self.weights = weights
        self._make_arrays(
            elevation_focus, lambda: sim.linear_array(n, width, height, kerf, no_sub_x, no_sub_y),
            lambda: sim.focused_array(n, width, height, kerf, elevation_focus, no_sub_x, no_sub_y))

    def line(self, angle: float, points: ArrayLike, amplitudes: ArrayLike) -> Field:
        """Echo of one line at the given angle, rad: a Field of shape (samples,)."""
        d = np.array([np.sin(angle), 0.0, np.cos(angle)])
        self.transmit.center_focus((0.0, 0.0, 0.0))
        self.transmit.focus(self.focus_depth * d)
        self.transmit.apodization(self.weights)
        self.receive.center_focus((0.0, 0.0, 0.0))
        self.receive.dynamic_focus(angle, 0.0)
        self.receive.apodization(self.weights)
        return self.sim.calc_scat(self.transmit, self.receive, points, amplitudes)

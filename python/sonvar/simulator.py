"""The simulator, its apertures and the calculations' results.

Units are SI throughout: metres, seconds, hertz, radians, dB/m and
dB/(m Hz). Element numbers count from 1, as in the library's element calls.
"""

import logging
import math
import textwrap
from dataclasses import dataclass
from typing import Any, Dict, Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike

from . import _budget
from . import _checks as chk
from . import _core
from ._docs import shared_doc
from ._machine import cores, memory_available, size_text

__all__ = ["Simulator", "Aperture", "Field", "FieldMap", "SonvarError", "OPTIONS", "OPTION_TABLE",
           "RECTANGLE_COLUMNS", "TRIANGLE_COLUMNS", "REDUCTIONS"]

SonvarError = _core.SonvarError
SonvarError.__doc__ = """A failure inside the library, carrying the library's message.

The message is the library's, without the words of an ending (nothing
ends). The simulator that raised it stays usable, and a failed calculation
has given back everything it had taken."""

# The parameters of the single-aperture field calculations, and the kind of
# their result.
_APERTURE_POINTS = """
Parameters
----------
aperture : Aperture
points : (n, 3) array_like
    Field points, m.

Returns
-------
Field
"""

# The parameters of the channel-data calculations that go with path.
_SINGLE_TEXTS = """
single : bool
    With path: store the samples in single precision.
texts : dict, optional
    name, author, version, info strings of the dataset.
"""

#: The library's option table: name -> dict of kind ("real", "integer" or "flag"), default,
#: minimum, maximum, minimum_excluded, unit and description.
OPTION_TABLE = {o["name"]: o for o in _core.option_table()}

#: Options of the state, settable with Simulator.set and read with Simulator.get.
OPTIONS = tuple(OPTION_TABLE)

#: Columns of Aperture.table("rectangles"), one row per rectangle.
RECTANGLE_COLUMNS = ("element", "index", "width", "height", "apodization", "tan_xz", "tan_yz",
                     "center_x", "center_y", "center_z",
                     "x1", "y1", "z1", "x2", "y2", "z2", "x3", "y3", "z3", "x4", "y4", "z4",
                     "delay", "element_center_x", "element_center_y", "element_center_z")
#: Columns of Aperture.table("triangles"), one row per triangle.
TRIANGLE_COLUMNS = ("element", "index", "apodization",
                    "element_center_x", "element_center_y", "element_center_z",
                    "x1", "y1", "z1", "x2", "y2", "z2", "x3", "y3", "z3")

#: Reductions Simulator.field_map keeps per point.
REDUCTIONS = ("peak", "rms", "energy", "spectrum")

_QUANTITIES = {"h": 1, "hp": 2, "hhp": 3}
_TABLES = {"rectangles": 1, "triangles": 2, "lines": 3, "focus": 4, "apodization": 5}
_SHOW = {"all": 0, "elements": 1, "focus": 2, "apodization": 3, "header": -1}
_WINDOWS = {"hanning": 1, "hamming": 2, "blackman": 3}
_KINDS = ("rectangles", "triangles", "lines")


@dataclass(frozen=True)
class Field:
    """A calculation's result on one common time axis.

    Attributes
    ----------
    data : numpy.ndarray
        Samples, first axis time: shape (samples, points) for h, hp and hhp,
        (samples,) for the summed echo, (samples, elements) per receive
        element, (samples, transmit, receive) for all element pairs. Units:
        h in m/s; hp, hhp and echoes in the library's scaled units (see the
        calculations). Zero where a signal has no samples; a point without
        any response is a column of zeros.
    t0 : float
        Time of the first row, s.
    fs : float
        Sampling frequency of the rows, Hz (fs / decimation for all pairs).
    """

    data: np.ndarray
    t0: float
    fs: float

    @property
    def start_sample(self) -> int:
        """Index of the first row on the library's sample grid: t0 * fs."""
        return int(round(self.t0 * self.fs))

    @property
    def times(self) -> np.ndarray:
        """Time of every row, s: t0 + arange(samples) / fs."""
        return self.t0 + np.arange(self.data.shape[0]) / self.fs


@dataclass(frozen=True)
class FieldMap:
    """Reductions of h, hp or hhp per point, shaped like the points' leading dimensions.

    An attribute is None when its reduction was not asked for.

    Attributes
    ----------
    peak : numpy.ndarray
        Largest absolute value of each point's signal (the units of the
        quantity: h in m/s, hp and hhp in the library's scaled units).
    peak_time : numpy.ndarray
        Time of the first sample that reaches the peak, s; NaN where the
        signal is absent or all zero.
    rms : numpy.ndarray
        Root mean square over `window`.
    energy : numpy.ndarray
        Sum of the squared samples over fs, (unit)^2 s.
    spectrum : numpy.ndarray
        |sum_j v_j exp(-2 pi i f t_j)| / fs at each of `frequencies`, (unit) s:
        shape leading dimensions + (len(frequencies),).
    frequencies : numpy.ndarray
        The frequencies of `spectrum`, Hz (None without it).
    window : tuple of float
        The RMS window (start, end), s: the common time axis of all points
        (from the first sample of the earliest signal to the last of the
        latest, as the rows of calc_hp's matrix) unless a window was given.
    quantity : str
        "h", "hp" or "hhp".
    fs : float
        Sampling frequency, Hz.
    """

    peak: np.ndarray = None
    peak_time: np.ndarray = None
    rms: np.ndarray = None
    energy: np.ndarray = None
    spectrum: np.ndarray = None
    frequencies: np.ndarray = None
    window: tuple = None
    quantity: str = "hp"
    fs: float = 0.0


class _Output:
    """Turns the library's text into lines for logging or a callback."""

    def __init__(self, target):
        self.pending = ""
        if target is None:
            self.emit = None
        elif target == "logging":
            logger = logging.getLogger("sonvar")
            self.emit = lambda line: logger.info("%s", line)
        elif callable(target):
            self.emit = target
        else:
            raise TypeError("output must be None, 'logging' or a callable taking one line")

    def __call__(self, text):
        if self.emit is None:
            return
        lines = (self.pending + text).split("\n")
        self.pending = lines.pop()
        for line in lines:
            self.emit(line)


def _option_value(name, value):
    """The value of an option as the library's table allows it (flags 0 or 1, whole numbers
    rounded as the library rounds them, reals within their range), or TypeError / ValueError
    naming the option."""
    o = OPTION_TABLE[name]
    v = chk.number(value, name)
    unit = f" {o['unit']}" if o["unit"] else ""
    if o["kind"] == "flag":
        if v not in (0.0, 1.0):
            raise ValueError(f"{name} must be 0 or 1, got {v:g}")
        return v
    if o["kind"] == "integer":
        v = float(np.floor(v + 0.5))
        if not o["minimum"] <= v <= o["maximum"]:
            raise ValueError(f"{name} must be a whole number from {o['minimum']:.0f} to "
                             f"{o['maximum']:.0f}{unit}, got {value:g}")
        return v
    low, high = o["minimum"], o["maximum"]
    if o["minimum_excluded"] and not v > low:
        raise ValueError(f"{name} must be above {low:g}{unit}, got {v:g}")
    if not low <= v <= high:
        raise ValueError(f"{name} must be from {low:g} to {high:g}{unit}, got {v:g}")
    return v


def _options_text():
    """The Options section of Simulator's docstring, from the library's table."""
    lines = []
    for name, o in OPTION_TABLE.items():
        unit = f", {o['unit']}" if o["unit"] else ""
        number = "{:.0f}" if o["kind"] == "integer" else "{:g}"
        if o["kind"] == "flag":
            what = f"flag (0 or 1), default {o['default']:g}"
        elif np.isinf(o["minimum"]):
            what = f"real{unit}, any finite value, default {o['default']:g}"
        else:
            low = ("above " if o["minimum_excluded"] else "from ") + number.format(o["minimum"])
            high = "" if np.isinf(o["maximum"]) else " to " + number.format(o["maximum"])
            what = f"{o['kind']}{unit}, {low}{high}, default {number.format(o['default'])}"
        lines.append(f"    {name} : {what}")
        lines.append(textwrap.fill(o["description"], 78, initial_indent=" " * 8,
                                   subsequent_indent=" " * 8))
    return "\n".join(lines)


def _option_property(name, doc):
    return property(lambda self: self.get(name), lambda self, value: self.set(name, value),
                    doc=doc)


def _rows_of(no_elem_x: Any, width: Any, heights: Any, kerf_x: Any,
             kerf_y: Any) -> Tuple[int, float, np.ndarray, float, float]:
    """The checked geometry of a multi-row array: elements, width, heights, kerfs."""
    h = chk.vector(heights, "heights")
    if np.any(h <= 0):
        raise ValueError("heights must all be above 0")
    return (chk.count(no_elem_x, "no_elem_x"), chk.number(width, "width", positive=True), h,
            chk.number(kerf_x, "kerf_x", nonnegative=True),
            chk.number(kerf_y, "kerf_y", nonnegative=True))


class Simulator:
    """One simulation state of the library: options, apertures, calculations.

    Parameters
    ----------
    c : float, optional
        Speed of sound, m/s (default 1540).
    fs : float, optional
        Sampling frequency, Hz (default 100 MHz). Set it before building
        apertures: pulses are sampled at the fs of their time.
    threads : int, optional
        Worker threads of the calculations (default: the number of cores).
    memory_budget : float, optional
        Bytes of samples calc_h, calc_hp and calc_hhp may return (default
        2 GiB): a larger result is refused before it is computed (see
        field_map for peak, RMS and energy maps of any size).
    output : None, "logging" or callable, optional
        Where the library's lines go. None (default) drops them, so nothing
        reaches standard output; "logging" sends each line to the logger
        "sonvar" at level INFO; a callable receives each line (without its
        newline) on the calling thread after the library call returns.
    **options
        Any further option by name (below), e.g. ``use_triangles=1``.

    Options
    -------
    Set with `set` or as keyword arguments, read with `get`; the library's
    own table (OPTION_TABLE) gives every one:

OPTIONS_TEXT

    Examples
    --------
    >>> import numpy as np, sonvar
    >>> sim = sonvar.Simulator(fs=100e6, exact_integration=1)
    >>> probe = sim.linear_array(64, 0.29e-3, 5e-3, 0.01e-3, focus=(0, 0, 0.03))
    >>> field = sim.calc_hp(probe, [[0, 0, 0.03]])
    >>> field.data.shape[1], sim.get("exact_integration")
    (1, 1)

    A calculation can be interrupted: Ctrl-C (or any signal handler that
    raises) stops it within a few hundredths of a second of work and raises
    KeyboardInterrupt; the simulator stays usable.
    """

    def __init__(self, c: float = 1540.0, fs: float = 100e6, threads: Optional[int] = None,
                 output: Any = None, memory_budget: Optional[float] = None,
                 **options: float) -> None:
        self._state = _core.State()
        self._memory_budget = _budget.DEFAULT_BUDGET
        if memory_budget is not None:
            self.memory_budget = memory_budget
        self._output = None
        self.set_output(output)
        self.set("c", c)
        self.set("fs", fs)
        self.set("threads", min(cores(), OPTION_TABLE["threads"]["maximum"]) if threads is None
                 else threads)
        # show_times is on in a new state; its progress lines only matter when
        # someone reads the output.
        for name, value in options.items():
            self.set(name, value)

    # --- options ---------------------------------------------------------
    def set(self, name: str, value: float) -> None:
        """Set one option of the state by name (see Options).

        Parameters
        ----------
        name : str
            Option name, matched without regard to case.
        value : float
            Its value in SI units: flags 0 or 1, whole numbers (rounded to
            the nearest), reals within the option's range.

        Raises
        ------
        ValueError
            Unknown name, or a value outside the option's range.
        TypeError
            The name is not a string or the value not a number.
        """
        if not isinstance(name, str):
            raise TypeError(f"name must be a string, not {type(name).__name__}")
        key = name.lower()
        if key not in OPTION_TABLE:
            raise ValueError(f"name: unknown option {name!r}; options are {', '.join(OPTIONS)}")
        self._state.set(key, _option_value(key, value))

    def get(self, name: str) -> float:
        """Read one option back by name (flags and whole numbers as int); "time_interval" gives
        the interval of the progress report, s."""
        key = name.lower() if isinstance(name, str) else name
        if key == "time_interval":
            return self._state.counters()["time_interval"]
        if key not in OPTION_TABLE:
            raise ValueError(f"name: unknown option {name!r}")
        value = self._state.get(key)
        return value if OPTION_TABLE[key]["kind"] == "real" else int(value)

    @property
    def options(self) -> Dict[str, float]:
        """All options as a dict of name to value (and time_interval)."""
        values = {name: self.get(name) for name in OPTIONS}
        values["time_interval"] = self.get("time_interval")
        return values

    c = _option_property("c", "Speed of sound, m/s.")
    fs = _option_property("fs", "Sampling frequency, Hz.")
    threads = _option_property("threads", "Worker threads of the calculations.")

    @property
    def memory_budget(self) -> float:
        """Bytes of samples calc_h, calc_hp and calc_hhp may return (default 2 GiB)."""
        return self._memory_budget

    @memory_budget.setter
    def memory_budget(self, value: float) -> None:
        self._memory_budget = chk.number(value, "memory_budget", positive=True)

    def attenuation(self, att: float = 0.0, freq_att: float = 0.0, att_f0: float = 0.0,
                    enabled: bool = True) -> None:
        """Set the attenuation options.

        Parameters
        ----------
        att : float
            Frequency-independent attenuation, dB/m.
        freq_att : float
            Frequency-dependent attenuation, dB/(m Hz), e.g. 0.5 dB/(cm MHz) = 50e-6.
        att_f0 : float
            Centre frequency of the frequency-dependent part, Hz.
        enabled : bool
            Whether calculations apply attenuation.
        """
        self.set("att", chk.number(att, "att", nonnegative=True))
        self.set("freq_att", chk.number(freq_att, "freq_att", nonnegative=True))
        self.set("att_f0", chk.number(att_f0, "att_f0", nonnegative=True))
        self.set("use_att", 1 if enabled else 0)

    def element_kind(self, kind: str) -> None:
        """Choose the kind of mathematical element of apertures built from now on.

        Parameters
        ----------
        kind : {"rectangles", "triangles", "lines"}
        """
        if kind not in _KINDS:
            raise ValueError(f"kind must be one of {_KINDS}, got {kind!r}")
        self.set("use_" + kind, 1)

    def info(self) -> str:
        """The configuration report as a string."""
        return self._state.info()

    def set_output(self, output: Any) -> None:
        """Send the library's lines to None (dropped), "logging" or a callable (see Simulator)."""
        self._output = _Output(output)
        self._state.set_callback(None if self._output.emit is None else self._output)

    # --- apertures -------------------------------------------------------
    def _aperture(self, core):
        return Aperture(self, core)

    def piston(self, radius: float, ele_size: float) -> "Aperture":
        """Flat circular piston of the given radius, m, divided into squares of side ele_size, m."""
        return self._aperture(_core.piston(self._state, chk.number(radius, "radius", positive=True),
                                           chk.number(ele_size, "ele_size", positive=True)))

    def concave(self, radius: float, focal_radius: float, ele_size: float) -> "Aperture":
        """Spherically concave disc: radius, m; focal_radius, m (above radius); squares of
        ele_size, m."""
        r = chk.number(radius, "radius", positive=True)
        f = chk.number(focal_radius, "focal_radius", positive=True)
        if f < r:
            raise ValueError("focal_radius must not be below radius")
        return self._aperture(_core.concave(self._state, r, f,
                                            chk.number(ele_size, "ele_size", positive=True)))

    def linear_array(self, no_elements: int, width: float, height: float, kerf: float,
                     no_sub_x: int = 1, no_sub_y: int = 1,
                     focus: ArrayLike = (0.0, 0.0, 0.02)) -> "Aperture":
        """Flat linear array along x, centred at the origin.

        Parameters
        ----------
        no_elements : int
            Physical elements.
        width, height : float
            Size of one element along x and y, m.
        kerf : float
            Gap between elements, m.
        no_sub_x, no_sub_y : int
            Rectangles per element along x and y.
        focus : (3,) array_like
            Initial fixed focus point, m.

        Returns
        -------
        Aperture
        """
        return self._aperture(_core.linear_array(
            self._state, chk.count(no_elements, "no_elements"),
            chk.number(width, "width", positive=True), chk.number(height, "height", positive=True),
            chk.number(kerf, "kerf", nonnegative=True), chk.count(no_sub_x, "no_sub_x"),
            chk.count(no_sub_y, "no_sub_y"), chk.point(focus, "focus")))

    def linear_multirow(self, no_elem_x: int, width: float, heights: ArrayLike, kerf_x: float,
                        kerf_y: float, no_sub_x: int = 1, no_sub_y: int = 1,
                        focus: ArrayLike = (0.0, 0.0, 0.02)) -> "Aperture":
        """Linear array of several rows: heights (rows,) in m, kerf_x and kerf_y in m."""
        return self._aperture(_core.linear_multirow(
            self._state, *_rows_of(no_elem_x, width, heights, kerf_x, kerf_y),
            chk.count(no_sub_x, "no_sub_x"), chk.count(no_sub_y, "no_sub_y"),
            chk.point(focus, "focus")))

    def focused_array(self, no_elements: int, width: float, height: float, kerf: float,
                      r_focus: float, no_sub_x: int = 1, no_sub_y: int = 1,
                      focus: ArrayLike = (0.0, 0.0, 0.02)) -> "Aperture":
        """Linear array with elevation focus of radius r_focus, m (at least height / 2)."""
        height = chk.number(height, "height", positive=True)
        r = chk.number(r_focus, "r_focus", positive=True)
        if 2 * r < height:
            raise ValueError("r_focus must be at least height / 2")
        return self._aperture(_core.focused_array(
            self._state, chk.count(no_elements, "no_elements"),
            chk.number(width, "width", positive=True), height,
            chk.number(kerf, "kerf", nonnegative=True), r, chk.count(no_sub_x, "no_sub_x"),
            chk.count(no_sub_y, "no_sub_y"), chk.point(focus, "focus")))

    def focused_multirow(self, no_elem_x: int, width: float, heights: ArrayLike, kerf_x: float,
                         kerf_y: float, r_focus: float, no_sub_x: int = 1, no_sub_y: int = 1,
                         focus: ArrayLike = (0.0, 0.0, 0.02)) -> "Aperture":
        """Multi-row linear array with elevation focus: heights (rows,) m, r_focus m."""
        return self._aperture(_core.focused_multirow(
            self._state, *_rows_of(no_elem_x, width, heights, kerf_x, kerf_y),
            chk.number(r_focus, "r_focus", positive=True), chk.count(no_sub_x, "no_sub_x"),
            chk.count(no_sub_y, "no_sub_y"), chk.point(focus, "focus")))

    def convex_array(self, no_elements: int, width: float, height: float, kerf: float,
                     r_convex: float, no_sub_x: int = 1, no_sub_y: int = 1,
                     focus: ArrayLike = (0.0, 0.0, 0.02)) -> "Aperture":
        """Convex array of radius r_convex, m (above width and kerf); its apex at the origin."""
        width = chk.number(width, "width", positive=True)
        r = chk.number(r_convex, "r_convex", positive=True)
        if r < width:
            raise ValueError("r_convex must not be below width")
        return self._aperture(_core.convex_array(
            self._state, chk.count(no_elements, "no_elements"), width,
            chk.number(height, "height", positive=True),
            chk.number(kerf, "kerf", nonnegative=True), r, chk.count(no_sub_x, "no_sub_x"),
            chk.count(no_sub_y, "no_sub_y"), chk.point(focus, "focus")))

    def convex_focused_array(self, no_elements: int, width: float, height: float, kerf: float,
                             r_convex: float, r_focus: float, no_sub_x: int = 1, no_sub_y: int = 1,
                             focus: ArrayLike = (0.0, 0.0, 0.02)) -> "Aperture":
        """Convex array (radius r_convex, m) with elevation focus (radius r_focus, m)."""
        width = chk.number(width, "width", positive=True)
        height = chk.number(height, "height", positive=True)
        r = chk.number(r_convex, "r_convex", positive=True)
        rf = chk.number(r_focus, "r_focus", positive=True)
        if r < width or 2 * rf < height:
            raise ValueError("r_convex must not be below width, r_focus not below height / 2")
        return self._aperture(_core.convex_focused_array(
            self._state, chk.count(no_elements, "no_elements"), width, height,
            chk.number(kerf, "kerf", nonnegative=True), r, rf, chk.count(no_sub_x, "no_sub_x"),
            chk.count(no_sub_y, "no_sub_y"), chk.point(focus, "focus")))

    def convex_focused_multirow(self, no_elem_x: int, width: float, heights: ArrayLike,
                                kerf_x: float, kerf_y: float, r_convex: float, r_focus: float,
                                no_sub_x: int = 1, no_sub_y: int = 1,
                                focus: ArrayLike = (0.0, 0.0, 0.02)) -> "Aperture":
        """Multi-row convex array with elevation focus; lengths in m."""
        h = chk.vector(heights, "heights")
        if np.any(h <= 0):
            raise ValueError("heights must all be above 0")
        return self._aperture(_core.convex_focused_multirow(
            self._state, chk.count(no_elem_x, "no_elem_x"),
            chk.number(width, "width", positive=True), h,
            chk.number(kerf_x, "kerf_x", nonnegative=True),
            chk.number(kerf_y, "kerf_y", nonnegative=True),
            chk.number(r_convex, "r_convex", positive=True),
            chk.number(r_focus, "r_focus", positive=True), chk.count(no_sub_x, "no_sub_x"),
            chk.count(no_sub_y, "no_sub_y"), chk.point(focus, "focus")))

    def array_2d(self, width: float, height: float, kerf_x: float, kerf_y: float,
                 enabled: ArrayLike, no_sub_x: int = 1, no_sub_y: int = 1,
                 focus: ArrayLike = (0.0, 0.0, 0.02)) -> "Aperture":
        """Two-dimensional array: enabled is a (no_elem_x, no_elem_y) table of flags.

        The flags are booleans, integers or floats of value 0 or 1 (a mask
        made with numpy, e.g. np.ones((8, 8))). Elements are numbered row by
        row (lowest y first), within a row from lowest x; only enabled
        positions become elements. Lengths in m.
        """
        e = np.asarray(enabled)
        if e.dtype.kind == "f":
            if not np.all((e == 0) | (e == 1)):
                raise ValueError("enabled: float flags must be 0 or 1")
        elif e.dtype.kind not in "biu":
            raise TypeError(f"enabled must hold boolean, integer or 0/1 float flags, not dtype "
                            f"{e.dtype}")
        if e.ndim != 2 or e.size == 0:
            raise ValueError("enabled must be a non-empty (no_elem_x, no_elem_y) table")
        if not np.any(e):
            raise ValueError("enabled must enable at least one element, got none")
        return self._aperture(_core.array_2d(
            self._state, e.shape[0], e.shape[1], chk.number(width, "width", positive=True),
            chk.number(height, "height", positive=True),
            chk.number(kerf_x, "kerf_x", nonnegative=True),
            chk.number(kerf_y, "kerf_y", nonnegative=True),
            np.ascontiguousarray(e != 0, dtype=np.int16), chk.count(no_sub_x, "no_sub_x"),
            chk.count(no_sub_y, "no_sub_y"), chk.point(focus, "focus")))

    def _table_aperture(self, maker, table, columns, centers, focus, name):
        t = chk.matrix(table, name, columns=columns)
        numbers = t[:, 0]
        if np.any(numbers < 1) or np.any(numbers != np.floor(numbers)) or \
                np.any(np.diff(numbers) < 0):
            raise ValueError(f"{name}: column 0 must hold element numbers from 1, ascending")
        n = int(numbers[-1])
        c = chk.matrix(centers, "centers", columns=3, rows=n)
        return self._aperture(maker(self._state, np.asfortranarray(t), np.asfortranarray(c),
                                    chk.point(focus, "focus")))

    def rectangles(self, table: ArrayLike, centers: ArrayLike,
                   focus: ArrayLike = (0.0, 0.0, 0.02)) -> "Aperture":
        """Aperture from a table of rectangles.

        Parameters
        ----------
        table : (rows, 19) array_like
            Per rectangle: element number (from 1, ascending), corners x1 y1 z1
            ... x4 y4 z4 (m), apodization, width (m), height (m), centre x y z (m).
        centers : (elements, 3) array_like
            Centre of each physical element, m.
        focus : (3,) array_like
            Initial fixed focus point, m.
        """
        return self._table_aperture(_core.rectangles, table, 19, centers, focus, "table")

    def triangles(self, table: ArrayLike, centers: ArrayLike,
                  focus: ArrayLike = (0.0, 0.0, 0.02)) -> "Aperture":
        """Aperture from a (rows, 11) table of triangles: element number, x1 y1 z1 x2 y2 z2
        x3 y3 z3 (m), apodization."""
        return self._table_aperture(_core.triangles, table, 11, centers, focus, "table")

    def lines(self, table: ArrayLike, centers: ArrayLike,
              focus: ArrayLike = (0.0, 0.0, 0.02)) -> "Aperture":
        """Aperture from a (rows, 6) table of bounding lines in the plane z = 0.

        Columns: element number, line-element number within the element,
        slope, vertical flag (1: line parallel to y), y at x = 0 (or x of a
        vertical line), m, above-or-left flag (1: the element lies above the
        line or left of a vertical one).
        """
        return self._table_aperture(_core.lines, table, 6, centers, focus, "table")

    def triangles_single(self, corners: ArrayLike, apodizations: ArrayLike,
                         element_apodization: float = 1.0,
                         center: ArrayLike = (0.0, 0.0, 0.0)) -> "Aperture":
        """One physical element of triangles: corners (rows, 9) in m, one weight per triangle."""
        c = chk.matrix(corners, "corners", columns=9)
        a = chk.vector(apodizations, "apodizations", length=c.shape[0])
        return self._aperture(_core.triangles_single(
            self._state, np.asfortranarray(c), a,
            chk.number(element_apodization, "element_apodization"), chk.point(center, "center")))

    # --- calculations ----------------------------------------------------
    def _mine(self, aperture, name):
        """The aperture, when it is an Aperture of this simulator."""
        if not isinstance(aperture, Aperture):
            raise TypeError(f"{name} must be an Aperture, not {type(aperture).__name__}")
        if aperture._sim is not self:
            raise ValueError(f"{name} belongs to another Simulator")
        return aperture

    def _check_result_memory(self, code, transmit, receive, p):
        """Refuse before computing a matrix of signals beyond the memory budget."""
        box = transmit._extent()
        pulse = 1
        if code >= 2:
            pulse = transmit.impulse_response.size + transmit.excitation_signal.size - 1
        if code == 3:
            pulse += receive.impulse_response.size - 1
        rows = _budget.aligned_rows(p, box[0], box[1], self.c, self.fs, pulse, two_way=code == 3)
        name = {1: "calc_h", 2: "calc_hp", 3: "calc_hhp"}[code]
        _budget.check_result_memory(
            8.0 * rows * p.shape[0], self._memory_budget, name,
            "Simulator.field_map keeps only peak, RMS and energy per point in any number of "
            "points; or raise Simulator.memory_budget")

    def _own(self, aperture, name):
        return self._mine(aperture, name)._core

    def _result_fits(self, call, columns, apertures, points, decimation=1):
        """MemoryError before a calculation whose result matrix cannot fit in the memory
        available (its rows estimated from the spread of the points' travel times)."""
        available = memory_available()
        fs = self.fs / decimation
        if available is None or 8.0 * columns * _rows_bound(apertures, points, self.c, fs) <= \
                available:
            return  # even the longest travel time fits: no closer look needed
        rows = _rows_estimate(apertures, points, self.c, fs)
        need = 8.0 * columns * rows
        if need > available:
            raise MemoryError(f"points: {call} on {len(points)} points needs about "
                              f"{size_text(need)} for its result ({columns} signals of about "
                              f"{rows} samples), more than the {size_text(available)} available")

    def _field(self, code, apertures, points):
        p = chk.points(points)
        call = ("calc_h", "calc_hp", "calc_hhp")[code - 1]
        self._result_fits(call, len(p), apertures, p)
        self._check_result_memory(code, apertures[0], apertures[-1], p)
        cores = [a._core for a in apertures]
        data, start = _core.field(self._state, code, cores[0], cores[-1] if code == 3 else None, p)
        return Field(_finite(data, call), start / self.fs, self.fs)

    def field_map(self, aperture, points, quantity="hp", reduce=("peak", "rms", "energy"),
                  receive=None, window=None, frequencies=None):
        """h, hp or hhp at every point, kept only as reductions per point.

        Each point's signal is formed and reduced inside the library and
        given back at once: memory is the result arrays plus a fixed amount
        per thread, whatever the number of points. The values equal those
        of the same reductions of calc_h, calc_hp or calc_hhp's signals
        (peak and its time exactly, sums to rounding).

        Parameters
        ----------
        aperture : Aperture
            The aperture of h and hp; the transmit aperture of hhp.
        points : (..., 3) array_like
            Field points, m; the results take the shape of the leading
            dimensions (an (nx, nz, 3) grid gives (nx, nz) maps).
        quantity : {"h", "hp", "hhp"}
            Spatial impulse response, emitted pressure or pulse-echo field.
        reduce : sequence of str
            Any of REDUCTIONS: "peak" (with peak_time), "rms", "energy",
            "spectrum" (needs frequencies).
        receive : Aperture, optional
            The receive aperture of hhp (default: `aperture`); not for h and hp.
        window : (2,) array_like, optional
            RMS window (start, end), s: the samples at times k / fs with
            start <= k / fs < end. Default: the common time axis of all points.
        frequencies : array_like, optional
            Frequencies of "spectrum", Hz, from 0 to fs / 2.

        Returns
        -------
        FieldMap

        Raises
        ------
        TypeError, ValueError
            Bad arguments (nothing is computed), or a window that lies wholly
            before or after the points' signals.

        Examples
        --------
        >>> import numpy as np, sonvar
        >>> sim = sonvar.Simulator(fs=50e6)
        >>> probe = sim.linear_array(32, 0.27e-3, 5e-3, 0.03e-3, focus=(0, 0, 0.02))
        >>> x, z = np.meshgrid(np.linspace(-5e-3, 5e-3, 11), np.linspace(5e-3, 30e-3, 26),
        ...                    indexing="ij")
        >>> grid = np.stack([x, 0 * x, z], axis=-1)
        >>> beam = sim.field_map(probe, grid)
        >>> beam.peak.shape, beam.rms.shape
        ((11, 26), (11, 26))
        """
        if not isinstance(quantity, str) or quantity not in _QUANTITIES:
            raise ValueError(f"quantity must be one of {tuple(_QUANTITIES)}, got {quantity!r}")
        code = _QUANTITIES[quantity]
        names = (reduce,) if isinstance(reduce, str) else tuple(reduce)
        for name in names:
            if not isinstance(name, str) or name not in REDUCTIONS:
                raise ValueError(f"reduce: unknown reduction {name!r}; reductions are "
                                 f"{', '.join(REDUCTIONS)}")
        if not names:
            raise ValueError("reduce must name at least one reduction")
        transmit = self._own(aperture, "aperture")
        if receive is not None and code != 3:
            raise ValueError(f"receive is only for quantity 'hhp', not {quantity!r}")
        rx = self._own(receive, "receive") if receive is not None else transmit
        p = chk.real_array(points, "points")
        if p.ndim < 1 or p.shape[-1] != 3:
            raise ValueError(f"points must have shape (..., 3), got {p.shape}")
        shape = p.shape[:-1]
        p = np.ascontiguousarray(chk.finite(p.reshape(-1, 3), "points"))
        if p.shape[0] == 0:
            raise ValueError("points must hold at least one point")
        flags = 0
        for name, flag in (("peak", _core.MAP_PEAK), ("rms", _core.MAP_RMS),
                           ("energy", _core.MAP_ENERGY), ("spectrum", _core.MAP_SPECTRUM)):
            if name in names:
                flags |= flag
        f = np.zeros(0)
        if "spectrum" in names:
            if frequencies is None:
                raise ValueError("frequencies must be given for the reduction 'spectrum'")
            f = chk.vector(frequencies, "frequencies")
            if np.any(f < 0) or np.any(f > self.fs / 2):
                raise ValueError(f"frequencies must lie from 0 to fs/2 = {self.fs / 2:g} Hz")
        elif frequencies is not None:
            raise ValueError("frequencies are only for the reduction 'spectrum'")
        first, count, fixed = self._rms_window(window, "rms" in names)
        try:
            out = _core.field_map(self._state, code, transmit, rx, p, flags | _core.MAP_SPAN,
                                  1 if fixed else 0, first, count, f)
        except SonvarError as error:
            text = str(error)
            if fixed and "RMS window" in text:  # known once every point is done
                raise ValueError("window: " + text.split(": ", 2)[-1].strip()) from None
            raise
        if fixed:
            span = (first / self.fs, (first + count) / self.fs)
        else:
            present = out["no_samples"] > 0
            if np.any(present):
                starts = out["first_sample"][present]
                span = (starts.min() / self.fs,
                        (starts + out["no_samples"][present]).max() / self.fs)
            else:
                span = (0.0, 0.0)
        spectrum = out.get("spectrum")
        return FieldMap(
            peak=out["peak"].reshape(shape) if "peak" in out else None,
            peak_time=out["peak_time"].reshape(shape) if "peak_time" in out else None,
            rms=out["rms"].reshape(shape) if "rms" in out else None,
            energy=out["energy"].reshape(shape) if "energy" in out else None,
            spectrum=spectrum.reshape(shape + (f.size,)) if spectrum is not None else None,
            frequencies=f if "spectrum" in names else None,
            window=span, quantity=quantity, fs=self.fs)

    def _rms_window(self, window, rms):
        """(first sample, samples, fixed) of an RMS window given in seconds."""
        if window is None:
            return 0, 0, False
        w = chk.vector(window, "window", length=2)
        if not rms:
            raise ValueError("window is only for the reduction 'rms'")
        first = math.ceil(w[0] * self.fs - 1e-6)
        end = math.ceil(w[1] * self.fs - 1e-6)
        if end <= first:
            raise ValueError(f"window ({w[0]:g}, {w[1]:g}) s holds no sample at fs "
                             f"{self.fs:g} Hz")
        return first, end - first, True

    @shared_doc(parameters_and_result=_APERTURE_POINTS)
    def calc_h(self, aperture: "Aperture", points: ArrayLike) -> "Field":
        """Spatial impulse response at each point.

        {parameters_and_result}
            data of shape (samples, n) in m/s (with attenuation on, the
            library scales h by one more 1/fs).
        """
        return self._field(1, [self._mine(aperture, "aperture")], points)

    @shared_doc(parameters_and_result=_APERTURE_POINTS)
    def calc_hp(self, aperture: "Aperture", points: ArrayLike) -> "Field":
        """Emitted pressure at each point: (h * impulse response * excitation) / fs^2.

        {parameters_and_result}
            data of shape (samples, n).

        Notes
        -----
        The result matrix is allocated once; the library's signals are copied
        into it as they come and go back at once. Up to 65536 points make one
        library call; more go in four batches, so the peak memory is the
        matrix plus a quarter of the packed signals plus a fixed amount per
        thread.
        """
        return self._field(2, [self._mine(aperture, "aperture")], points)

    def calc_hhp(self, transmit: "Aperture", receive: Optional["Aperture"],
                 points: ArrayLike) -> "Field":
        """Pulse-echo field of a transmit and a receive aperture (may be the same) at each point.

        Returns a Field of shape (samples, n).
        """
        return self._field(3, [self._mine(transmit, "transmit"), self._mine(receive, "receive")],
                           points)

    def _scatterers(self, points, amplitudes):
        p = chk.points(points)
        a = chk.vector(amplitudes, "amplitudes", length=p.shape[0])
        return p, a

    def calc_scat(self, transmit: "Aperture", receive: Optional["Aperture"], points: ArrayLike,
                  amplitudes: ArrayLike) -> "Field":
        """Echo of point scatterers summed over the receive aperture.

        Parameters
        ----------
        transmit, receive : Aperture
        points : (n, 3) array_like
            Scatterer positions, m.
        amplitudes : (n,) array_like
            Scattering amplitudes. Neither array is changed.

        Returns
        -------
        Field
            data of shape (samples,).
        """
        t, r = self._own(transmit, "transmit"), self._own(receive, "receive")
        p, a = self._scatterers(points, amplitudes)
        data, start = _core.scat(self._state, t, r, p, a)
        return Field(_finite(data, "calc_scat"), start / self.fs, self.fs)

    def calc_scat_multi(self, transmit: "Aperture", receive: Optional["Aperture"],
                        points: ArrayLike, amplitudes: ArrayLike) -> "Field":
        """Echo of point scatterers per receive element: Field of shape (samples, elements).

        Both apertures apply their own focusing and apodization, the receive
        aperture's too: the constructors give every array a fixed focus
        (default 20 mm), so each element's echo is shifted by its focusing
        delay. For raw per-element echoes set the receive aperture's delays
        to zero (receive.focus_times(np.zeros(n))) or use channel_data.
        """
        tx, rx = self._mine(transmit, "transmit"), self._mine(receive, "receive")
        p, a = self._scatterers(points, amplitudes)
        self._result_fits("calc_scat_multi", rx.no_elements, [tx, rx], p)
        data, start = _core.scat_multi(self._state, tx._core, rx._core, p, a)
        return Field(_finite(data, "calc_scat_multi"), start / self.fs, self.fs)

    def calc_scat_all(self, transmit: "Aperture", receive: Optional["Aperture"], points: ArrayLike,
                      amplitudes: ArrayLike, decimation: int = 1) -> "Field":
        """Echo of every transmit element received by every receive element.

        Each element acts unfocused and unapodized. The result is sampled at
        fs / decimation: a Field of shape (samples, transmit elements,
        receive elements) whose fs is fs / decimation. Amplitudes are not
        changed (the library's division by fs happens on a copy).
        """
        tx, rx = self._mine(transmit, "transmit"), self._mine(receive, "receive")
        p, a = self._scatterers(points, amplitudes)
        d = chk.count(decimation, "decimation")
        self._result_fits("calc_scat_all", tx.no_elements * rx.no_elements, [tx, rx], p,
                          decimation=d)
        data, start = _core.scat_all(self._state, tx._core, rx._core, p, a, d)
        fs = self.fs / d
        return Field(_finite(data, "calc_scat_all"), start / fs, fs)

    @shared_doc(single_texts=_SINGLE_TEXTS)
    def channel_data(self, probe: "Aperture", sequence: Any, points: ArrayLike,
                     amplitudes: ArrayLike, receive: Optional["Aperture"] = None,
                     path: Optional[str] = None, single: bool = False,
                     texts: Optional[dict] = None) -> Any:
        """Raw per-element echoes of every transmit of a sequence.

        Each transmit fires from the probe with its own delays and weights
        (the probe's own focus and apodization are not used, nor changed);
        every element of the probe, or of `receive`, records without
        focusing or apodization. Sample k of every transmit lies at
        initial_time + k / fs after the transmit's t = 0 (docs/imaging.md):
        the echo of p on element r for transmit w peaks at
        w.time_of_flight(p) + |p - r| / c - w.delay. Each channel equals
        calc_scat_multi with the transmit's delays and weights set on the
        probe and zero delays and unit weights on the receive aperture (to
        rounding), and does not depend on the thread count.

        Parameters
        ----------
        probe : Aperture
            The transmitting array (of rectangles or triangles); its impulse
            response and excitation are used.
        sequence : sonvar.sequence.Sequence
            Transmits with one delay and weight per element of the probe.
        points : (n, 3) array_like
            Scatterer positions, m.
        amplitudes : (n,) array_like
            Scattering amplitudes.
        receive : Aperture, optional
            Receiving array (default the probe's own elements, with the
            probe's impulse response).
        path : str or os.PathLike, optional
            Write the result to this UFF file (sonvar.uff's layout) transmit
            by transmit instead of keeping it: memory is then one transmit's
            samples. The returned data is None.
        {single_texts}

        Returns
        -------
        sonvar.channel.ChannelData
            data (samples, channels, transmits), float64.

        Raises
        ------
        TypeError, ValueError
            Bad arguments (nothing is computed or written).

        Notes
        -----
        Memory: the result plus, per thread, the frame spectra of at most 64
        receive elements over a band of range and a scratch block.

        Examples
        --------
        >>> import numpy as np, sonvar
        >>> from sonvar import pulses, sequence
        >>> sim = sonvar.Simulator(fs=50e6)
        >>> probe = sim.linear_array(16, 0.27e-3, 4e-3, 0.03e-3)
        >>> probe.impulse(pulses.gaussian_pulse(5e6, 0.6, sim.fs))
        >>> probe.excitation(pulses.sine_burst(5e6, 1, sim.fs))
        >>> seq = sequence.plane_waves(probe, np.radians([-5, 0, 5]))
        >>> cd = sim.channel_data(probe, seq, [[0, 0, 0.01]], [1.0])
        >>> cd.data.shape[1:]
        (16, 3)
        """
        from .channel import simulate
        return simulate(self, probe, sequence, points, amplitudes, receive=receive, path=path,
                        single=single, texts=texts)

    @shared_doc(single_texts=_SINGLE_TEXTS)
    def ensemble(self, probe, sequence, phantom, frames, prf=None, receive=None, path=None,
                 single=False, texts=None):
        """Channel data of a sequence repeated over slow time on a phantom that moves.

        Consecutive transmits fire 1 / prf apart: transmit w of frame f at
        (f * len(sequence) + w) / prf after the first, so scatterers move
        within a frame as well as between frames (and stand still during
        one emission's echoes). Every transmit of every frame is recorded as
        channel_data records it, on one time axis that holds every echo of
        every frame.

        Parameters
        ----------
        probe : Aperture
            The transmitting array (rectangles or triangles).
        sequence : sonvar.sequence.Sequence
            The transmits of one frame (one transmit is allowed).
        phantom : sonvar.motion.MovingPhantom or sonvar.phantom.Phantom
            The scatterers over time (a Phantom stands still).
        frames : int
            Repetitions of the sequence.
        prf : float, optional
            Pulse repetition frequency, Hz: the rate of emissions (default the
            sequence's own; one of them is needed).
        receive : Aperture, optional
            Receiving array (default the probe's own elements).
        path : str or os.PathLike, optional
            Write the result to this UFF file (4-D data, its PRF) one
            transmit of one frame at a time instead of keeping it; the
            returned data is None.
        {single_texts}

        Returns
        -------
        sonvar.channel.ChannelData
            data (samples, channels, transmits, frames), float64; its
            sequence carries the prf.

        Raises
        ------
        TypeError, ValueError
            Bad arguments (nothing is computed or written).

        Warns
        -----
        sonvar.motion.MotionWarning
            When a flow phantom's scatterers move more than its flow region
            between frames (the frames then do not follow the flow).

        Notes
        -----
        Static scatterers echo alike in every frame: their echoes are computed
        once per transmit and added to each frame's moving echoes. Memory: the
        result plus two transmits' samples (with path: three transmits') plus
        the library's per-thread frames (channel_data's).

        Examples
        --------
        >>> import numpy as np, sonvar
        >>> from sonvar import motion, pulses, sequence
        >>> sim = sonvar.Simulator(fs=50e6)
        >>> probe = sim.linear_array(16, 0.27e-3, 4e-3, 0.03e-3)
        >>> probe.impulse(pulses.gaussian_pulse(5e6, 0.6, sim.fs))
        >>> probe.excitation(pulses.sine_burst(5e6, 1, sim.fs))
        >>> moving = motion.constant_velocity([[0, 0, 0.01]], [1.0], [0, 0, -0.2])
        >>> cd = sim.ensemble(probe, sequence.plane_waves(probe, [0.0]), moving, 8, prf=4e3)
        >>> cd.data.shape[1:], cd.prf
        ((16, 1, 8), 4000.0)
        """
        from .ensemble import simulate
        return simulate(self, probe, sequence, phantom, frames, prf=prf, receive=receive,
                        path=path, single=single, texts=texts)


Simulator.__doc__ = Simulator.__doc__.replace("OPTIONS_TEXT", _options_text())


def _finite(data, call):
    """The result of a calculation; OverflowError when a sample is NaN or infinite (weights,
    pulses or amplitudes whose product leaves the range of double precision)."""
    if not np.isfinite(data).all():
        raise OverflowError(f"{call}: the result holds values that are not finite: the "
                            f"apertures' weights, pulses and amplitudes multiply beyond the "
                            f"range of double precision")
    return data


#: Points a block of the travel-time estimate takes at once.
_BLOCK = 1 << 16
#: Elements of an aperture the travel-time estimate looks at, at most (the first and the last
#: among them).
_SAMPLED = 5


def _rows_bound(apertures, points, c, fs):
    """Rows no travel time's spread exceeds: the farthest corner of the points' bounding box
    from each aperture's centre plus the aperture's reach, in samples (cheap: one pass)."""
    box = (points.min(axis=0), points.max(axis=0))
    corners = np.array([[box[i][k] for k, i in enumerate(ix)] for ix in np.ndindex(2, 2, 2)])
    total = 0.0
    for a in apertures:
        centres = a.element_centers
        middle = centres.mean(axis=0)
        total += np.linalg.norm(corners - middle, axis=1).max() + \
            np.linalg.norm(centres - middle, axis=1).max()
    return int(total / c * fs) + 1


def _rows_estimate(apertures, points, c, fs):
    """The rows a result needs at least: the spread over the points of their travel times
    through some of each aperture's elements (the common time axis spans every point's
    signal, each of which reaches from the nearest to the farthest element; elements looked at
    give a latest arrival no later and an earliest no earlier than the true ones), in
    samples."""
    sampled = []
    for a in apertures:
        centres = a.element_centers
        pick = np.unique(np.linspace(0, len(centres) - 1, min(len(centres), _SAMPLED)).astype(int))
        sampled.append(centres[pick])
    low, high = np.inf, -np.inf
    for b in range(0, len(points), _BLOCK):
        p = points[b:b + _BLOCK]
        near = far = 0.0
        for centres in sampled:
            d = np.linalg.norm(p[:, None, :] - centres[None, :, :], axis=2)
            near, far = near + d.min(axis=1), far + d.max(axis=1)
        low, high = min(low, float(near.min())), max(high, float(far.max()))
    return int((high - low) / c * fs) + 1


class Aperture:
    """A transducer of a Simulator; made by the Simulator's constructors.

    Focus, apodization and element settings change the aperture in place;
    they take effect in later calculations.
    """

    def __init__(self, sim: "Simulator", core: Any) -> None:
        self._sim = sim
        self._core = core

    @property
    def no_elements(self) -> int:
        """Number of physical elements."""
        return self._core.no_elements

    @property
    def name(self) -> str:
        """Kind of transducer, as the library names it."""
        return self._core.name

    @property
    def kind(self) -> str:
        """Mathematical elements: "rectangles", "triangles" or "lines"."""
        return self._core.kind

    @property
    def element_centers(self) -> np.ndarray:
        """(elements, 3) array of the physical elements' centres, m."""
        return self._core.element_centers()

    def sub_elements(self) -> np.ndarray:
        """Number of mathematical elements of each physical element, a list."""
        return self._core.sub_elements()

    def _extent(self):
        """Corners (low, high) of the box around the elements, m."""
        kind = self.kind
        if kind == "rectangles":
            t = self.table("rectangles")
            corners = t[:, 10:22].reshape(-1, 4, 3).reshape(-1, 3)
        elif kind == "triangles":
            corners = self.table("triangles")[:, 6:15].reshape(-1, 3)
        else:
            corners = np.asarray(self.element_centers, dtype=float).reshape(-1, 3)
        if corners.size == 0:
            corners = np.zeros((1, 3))
        return corners.min(axis=0), corners.max(axis=0)

    def _per_element(self, values, name, entries):
        v = chk.real_array(values, name)
        if v.ndim == 1:
            v = v.reshape(1, -1)
        v = chk.matrix(v, name, columns=self.no_elements)
        if v.shape[0] != entries:
            raise ValueError(f"{name} must have one row per time ({entries}), got {v.shape[0]}")
        return v

    @staticmethod
    def _times(times, count):
        t = chk.vector(times, "times")
        if t.shape[0] == 1 and count > 1:
            raise ValueError(f"times must hold {count} values")
        if t.shape[0] != count:
            raise ValueError(f"times must hold {count} values, got {t.shape[0]}")
        return t

    def focus(self, points: ArrayLike, times: ArrayLike = 0.0) -> None:
        """Fixed focus (one point) or a focus time line (several).

        Parameters
        ----------
        points : (3,) or (n, 3) array_like
            Focus points, m.
        times : float or (n,) array_like
            Start time of each point, s.
        """
        p = chk.points(points)
        self._core.focus(self._times(times, p.shape[0]), p)

    def dynamic_focus(self, angle_zx: float = 0.0, angle_zy: float = 0.0,
                      time: float = 0.0) -> None:
        """Dynamic focusing along a direction from the focus centre.

        angle_zx and angle_zy in rad, time (start of the entry) in s.
        """
        self._core.dynamic_focus(chk.number(time, "time"), chk.number(angle_zx, "angle_zx"),
                                 chk.number(angle_zy, "angle_zy"))

    def center_focus(self, point: ArrayLike) -> None:
        """Reference point for focusing, m. Set it before static focus points."""
        self._core.center_focus(chk.point(point, "point"))

    def focus_times(self, delays: ArrayLike, times: ArrayLike = 0.0) -> None:
        """Per-element focusing delays, s: delays (elements,) or (entries, elements)."""
        t = chk.vector(times, "times")
        self._core.focus_times(t, self._per_element(delays, "delays", t.shape[0]))

    def apodization(self, values: ArrayLike, times: ArrayLike = 0.0) -> None:
        """Static apodization (elements,) or a time line (entries, elements) with times in s."""
        t = chk.vector(times, "times")
        self._core.apodization(t, self._per_element(values, "values", t.shape[0]))

    def dynamic_apodization(self, f_number: float, window: str = "hanning",
                            reference: ArrayLike = (0.0, 0.0, 0.0),
                            direction: ArrayLike = (0.0, 0.0, 1.0)) -> None:
        """Aperture widening with depth at a constant F-number.

        Parameters
        ----------
        f_number : float
            Depth over active aperture width.
        window : {"hanning", "hamming", "blackman"}
        reference : (3,) array_like
            Start of the axis, m.
        direction : (3,) array_like
            Unit vector of the axis.
        """
        if window not in _WINDOWS:
            raise ValueError(f"window must be one of {tuple(_WINDOWS)}, got {window!r}")
        self._core.dynamic_apodization(_WINDOWS[window],
                                       chk.number(f_number, "f_number", positive=True),
                                       chk.point(reference, "reference"),
                                       chk.point(direction, "direction"))

    def _element_values(self, elements, values, name, per_sub_element=False):
        """Element numbers and one row of values per element; with per_sub_element, each row
        must hold a value for every sub-element of its element."""
        n = chk.element_numbers(elements, "elements", self.no_elements)
        v = chk.real_array(values, name)
        if v.ndim == 1:
            v = v.reshape(1, -1)
        v = chk.matrix(v, name, rows=n.shape[0])
        if per_sub_element:
            subs = self.sub_elements()
            for e in n:
                if subs[e - 1] > v.shape[1]:
                    raise ValueError(f"{name}: element {e} has {subs[e - 1]} sub-elements, "
                                     f"got {v.shape[1]} values")
        return n, v

    def element_apodization(self, elements: ArrayLike, values: ArrayLike) -> None:
        """Weights of the mathematical elements of the listed physical elements.

        elements: element numbers (from 1); values: one row per listed
        element with at least as many weights as it has sub-elements.
        """
        n, v = self._element_values(elements, values, "values", per_sub_element=True)
        self._core.ele_apodization(n, v)

    def element_delay(self, elements: ArrayLike, values: ArrayLike) -> None:
        """Delays, s, of the mathematical elements of the listed physical elements."""
        n, v = self._element_values(elements, values, "values", per_sub_element=True)
        self._core.ele_delay(n, v)

    def element_waveform(self, elements: ArrayLike, samples: ArrayLike) -> None:
        """Own excitation of the listed elements: one row of samples (at fs) per element."""
        n, v = self._element_values(elements, samples, "samples")
        self._core.ele_waveform(n, v)

    def impulse(self, samples: ArrayLike) -> None:
        """Impulse response of every element, sampled at the simulator's fs (starts at t = 0)."""
        self._core.impulse(chk.vector(samples, "samples"))

    def excitation(self, samples: ArrayLike) -> None:
        """Excitation of every element, sampled at the simulator's fs (starts at t = 0)."""
        self._core.excitation(chk.vector(samples, "samples"))

    @property
    def impulse_response(self) -> np.ndarray:
        """The impulse response samples (1-D array)."""
        return self._core.signal("impulse")[1]

    @property
    def excitation_signal(self) -> np.ndarray:
        """The excitation samples (1-D array)."""
        return self._core.signal("excitation")[1]

    def report(self, what: str = "all") -> str:
        """The aperture report as a string: "all", "elements", "focus", "apodization" or
        "header"."""
        if what not in _SHOW:
            raise ValueError(f"what must be one of {tuple(_SHOW)}, got {what!r}")
        return self._core.show(_SHOW[what])

    def table(self, kind: str) -> np.ndarray:
        """An export table of the aperture.

        Parameters
        ----------
        kind : {"rectangles", "triangles", "lines", "focus", "apodization"}

        Returns
        -------
        numpy.ndarray or list
            "rectangles": (rows, 26) with the columns RECTANGLE_COLUMNS;
            "triangles": (rows, 15) with TRIANGLE_COLUMNS; "focus" and
            "apodization": (entries, 1 + elements), the entry's start time in s
            then one delay (s; zeros for a dynamic entry) or weight per element;
            "lines": a list of dicts per line element (element, index,
            apodization, element_center, rotation (cos_x, sin_x, cos_y, sin_y),
            zc, lines (n, 5: slope, vertical, y1, x1, above_or_left),
            crossings (k, 3)). Element and sub-element indices count from 0.
        """
        if kind not in _TABLES:
            raise ValueError(f"kind must be one of {tuple(_TABLES)}, got {kind!r}")
        return self._core.get(_TABLES[kind])

    def convert_to_triangles(self) -> None:
        """Replace every rectangle by two triangles."""
        self._core.convert()

    def convert_to_lines(self) -> None:
        """Replace every rectangle by an element bounded by four lines."""
        self._core.line_convert()

"""Delay-and-sum beamforming of channel data onto grids of pixels.

`das` sums, for every pixel, the echoes that the receiving elements recorded
from it, over the elements within the receive aperture (an F-number with a
window) and, when compounding, over the transmits. Times follow the
convention of docs/imaging.md: coordinates with the array centre at the
origin, z into the medium; a transmit's time zero is when its wavefront
passes the origin; sample k lies at `initial_time + k / fs` and each
transmit's `delay` (from its time zero to the start of acquisition) is
subtracted. The echo of pixel p received by element r for transmit w is
read at the fractional sample

    k = (tau_tx(p) + |p - r| / c - delay_w - initial_time) * fs,

tau_tx being the transmit's time of flight (plane, diverging, focused,
single-element or custom waves: see `Wave`). The work runs in the library's
beamformer (beamform/sonvar_beamform.h) on threads, without the interpreter
lock.

Channel data are the sequence layer's `sonvar.channel.ChannelData` (from
`Simulator.channel_data` or `sonvar.uff.read`), or any object with the
attributes `data` ((samples, channels, transmits) or (samples, channels,
transmits, frames), real RF or complex IQ), `fs` (Hz), `initial_time` (s),
`sound_speed` (m/s), `element_positions` ((channels, 3), m) and `sequence`
(the transmits, or an object whose `transmits` are); optional
`modulation_frequency` (Hz, IQ) and per-element normals `element_theta`,
`element_phi` (rad; also read from `probe.theta`, `probe.phi`).
`ChannelData` builds one from plain arrays. A transmit of the sequence layer
(`sonvar.sequence.Transmit`) is read as the `Wave` that `wave_of` makes of it
(docs/beamform.md); any other transmit by the attributes of `Wave`.

Grids: `CartesianGrid` (2-D x-z or 3-D x-y-z), `PolarGrid` (phased and
convex sectors, and 3-D sectors) and `PointGrid` (any points); an (..., 3)
array of points stands for a `PointGrid`.

Example
-------
>>> import numpy as np
>>> from sonvar import beamform
>>> x = (np.arange(32) - 15.5) * 0.3e-3
>>> positions = np.column_stack([x, 0 * x, 0 * x])
>>> fs, c, target = 40e6, 1540.0, np.array([1e-3, 0.0, 10e-3])
>>> t = np.arange(800) / fs
>>> tau = (target[2] + np.linalg.norm(positions - target, axis=1)) / c
>>> rf = np.cos(2e7 * np.pi * (t[:, None] - tau)) * np.exp(-((t[:, None] - tau) / 1e-7) ** 2)
>>> data = beamform.ChannelData(rf[:, :, None], fs, positions, [beamform.Wave.plane(0.0)])
>>> grid = beamform.CartesianGrid(x=np.linspace(0, 2e-3, 21), z=np.linspace(9e-3, 11e-3, 41))
>>> image = beamform.das(data, grid, iq=True, modulation_frequency=10e6)
>>> row, column = np.unravel_index(np.argmax(np.abs(image.data)), image.data.shape)
>>> round(float(image.z[row]) * 1e3, 6), round(float(image.x[column]) * 1e3, 6)
(10.0, 1.0)
"""

import copy
import dataclasses
from dataclasses import dataclass
from typing import Any, Dict, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import ArrayLike

from . import _beamform
from . import _checks as chk
from . import display

__all__ = ["CartesianGrid", "PolarGrid", "PointGrid", "Wave", "ChannelData", "Image", "das",
           "demodulate", "center_frequency", "wave_of"]

KINDS = {"plane": _beamform.PLANE, "diverging": _beamform.DIVERGING,
         "focused": _beamform.FOCUSED, "element": _beamform.ELEMENT, "custom": _beamform.CUSTOM}
WINDOWS = {"rect": _beamform.RECT, "hanning": _beamform.HANNING, "tukey": _beamform.TUKEY}
INTERPOLATIONS = {"linear": _beamform.LINEAR, "cubic": _beamform.CUBIC}


# ---------------------------------------------------------------------------
# Grids


class _Grid:
    """What the grids share: their named axes checked once, the image shape from them."""

    # (name, field) of each axis of an image in the order of its shape; a
    # field that is None (a 2-D grid's elevation) has no axis; none at all:
    # the grid's pixels have no named axes.
    _AXIS_FIELDS: Tuple[Tuple[str, str], ...] = ()

    def _check_axes(self, *names):
        for name in names:
            if getattr(self, name) is not None:
                object.__setattr__(self, name, chk.vector(getattr(self, name), name))

    @property
    def axes(self) -> Dict[str, Any]:
        """The axes of an image on the grid, in the order of its shape: name -> values."""
        return {name: getattr(self, field) for name, field in self._AXIS_FIELDS
                if getattr(self, field) is not None}

    @property
    def shape(self) -> Tuple[int, ...]:
        """Shape of an image on the grid."""
        return tuple(len(v) for v in self.axes.values())


@dataclass(frozen=True, eq=False)
class CartesianGrid(_Grid):
    """Pixels on Cartesian axes: x lateral, z depth, y elevation for a volume.

    Parameters
    ----------
    x, z : (nx,), (nz,) array_like
        Pixel positions along x and z, m.
    y : (ny,) array_like, optional
        Pixel positions along y, m, for a volume; a 2-D grid lies at y = 0.

    Images on the grid have the shape (nz, nx), or (nz, ny, nx) for a volume.
    """

    x: np.ndarray
    z: np.ndarray
    y: Optional[np.ndarray] = None
    _AXIS_FIELDS = (("z", "z"), ("y", "y"), ("x", "x"))

    def __post_init__(self):
        self._check_axes("x", "z", "y")

    @property
    def depths(self) -> np.ndarray:
        """Depth of each row of an image (its first axis), m."""
        return self.z

    def points(self) -> np.ndarray:
        """(*shape, 3) array of the pixels' positions, m."""
        y = np.zeros(1) if self.y is None else self.y
        zz, yy, xx = np.meshgrid(self.z, y, self.x, indexing="ij")
        return np.stack([xx, yy, zz], axis=-1).reshape(self.shape + (3,))

    def _library(self):
        y = None if self.y is None else self.y
        counts = (len(self.x), 1 if y is None else len(y), len(self.z))
        return _beamform.CARTESIAN, counts, [self.x, y, self.z], (0.0, 0.0, 0.0), None


@dataclass(frozen=True, eq=False)
class PolarGrid(_Grid):
    """Pixels on rays from an apex: a phased sector (apex at the origin), a convex
    sector (apex at the centre of curvature, (0, 0, -R)) or a 3-D sector.

    Parameters
    ----------
    radii : (nr,) array_like
        Distances from the apex, m (a convex array's face lies at R).
    azimuths : (na,) array_like
        Angles of the rays from the z axis towards x, rad.
    elevations : (ne,) array_like, optional
        Angles of the rays towards y, rad, for a 3-D sector.
    apex : (3,) array_like
        The apex, m.

    The pixel at (r, azimuth a, elevation e) lies at apex + r (sin a cos e,
    sin e, cos a cos e). Images have the shape (nr, na), or (nr, ne, na).
    """

    radii: np.ndarray
    azimuths: np.ndarray
    elevations: Optional[np.ndarray] = None
    apex: Any = (0.0, 0.0, 0.0)
    _AXIS_FIELDS = (("radius", "radii"), ("elevation", "elevations"), ("azimuth", "azimuths"))

    def __post_init__(self):
        self._check_axes("radii", "azimuths", "elevations")
        object.__setattr__(self, "apex", np.array(chk.point(self.apex, "apex")))

    @property
    def depths(self) -> np.ndarray:
        """Depth of each row below the array's face: radius + apex z (a convex array of
        radius R has its apex at z = -R), m."""
        return self.radii + self.apex[2]

    def points(self) -> np.ndarray:
        e = np.zeros(1) if self.elevations is None else self.elevations
        r, ee, a = np.meshgrid(self.radii, e, self.azimuths, indexing="ij")
        p = np.stack([r * np.sin(a) * np.cos(ee), r * np.sin(ee), r * np.cos(a) * np.cos(ee)],
                     axis=-1) + self.apex
        return p.reshape(self.shape + (3,))

    def _library(self):
        e = self.elevations
        counts = (len(self.azimuths), 1 if e is None else len(e), len(self.radii))
        return (_beamform.POLAR, counts, [self.azimuths, e, self.radii], tuple(self.apex), None)


@dataclass(frozen=True, eq=False)
class PointGrid(_Grid):
    """Any pixels: an (..., 3) array of positions, m; images take its leading shape."""

    positions: np.ndarray

    def __post_init__(self):
        a = chk.real_array(self.positions, "grid")
        if a.ndim < 1 or a.shape[-1] != 3 or a.size == 0:
            raise ValueError(f"grid must be an (..., 3) array of points, got shape {a.shape}")
        object.__setattr__(self, "positions", np.ascontiguousarray(chk.finite(a, "grid")))

    @property
    def shape(self) -> Tuple[int, ...]:
        return self.positions.shape[:-1]

    def points(self) -> np.ndarray:
        return self.positions

    def _library(self):
        n = int(np.prod(self.shape))
        return _beamform.POINTS, (n, 1, 1), [None, None, None], (0.0, 0.0, 0.0), \
            self.positions.reshape(n, 3)


def _grid(grid):
    if isinstance(grid, (CartesianGrid, PolarGrid, PointGrid)):
        return grid
    return PointGrid(grid)


# ---------------------------------------------------------------------------
# Channel data from plain arrays


@dataclass(frozen=True)
class Wave:
    """One transmit as the beamformer reads it (`wave_of` makes one of a transmit of the
    sequence layer).

    Attributes
    ----------
    kind : str
        "plane", "diverging", "focused", "element" or "custom".
    azimuth, elevation : float
        Plane wave: angles of propagation from the z axis towards x and towards y, rad.
    source : (3,) array_like
        Diverging: the virtual source behind the array (z < 0); focused: the focus
        (z > 0); element: the emitting element's centre; m.
    delay : float
        Time from the transmit's time zero (its wavefront at the origin) to the start of
        acquisition, s; the beamformer subtracts it.
    delays : (elements,) array_like, optional
        Custom: the elements' firing delays after time zero, s; the transmit time of
        flight is the first arrival, min_i (delays_i + |p - e_i| / c).
    apodization : (elements,) array_like, optional
        The elements' transmit weights; elements of weight 0 do not fire (they bound
        where the wave reaches and, for custom waves, the first arrival).
    """

    kind: str
    azimuth: float = 0.0
    elevation: float = 0.0
    source: Any = (0.0, 0.0, 0.0)
    delay: float = 0.0
    delays: Optional[np.ndarray] = None
    apodization: Optional[np.ndarray] = None

    @classmethod
    def plane(cls, azimuth: float, elevation: float = 0.0, delay: float = 0.0,
              apodization: Optional[ArrayLike] = None) -> "Wave":
        return cls("plane", azimuth=azimuth, elevation=elevation, delay=delay,
                   apodization=apodization)

    @classmethod
    def diverging(cls, source: ArrayLike, delay: float = 0.0,
                  apodization: Optional[ArrayLike] = None) -> "Wave":
        return cls("diverging", source=source, delay=delay, apodization=apodization)

    @classmethod
    def focused(cls, focus: ArrayLike, delay: float = 0.0,
                apodization: Optional[ArrayLike] = None) -> "Wave":
        return cls("focused", source=focus, delay=delay, apodization=apodization)

    @classmethod
    def element(cls, position: ArrayLike, delay: float = 0.0) -> "Wave":
        return cls("element", source=position, delay=delay)

    @classmethod
    def custom(cls, delays: ArrayLike, apodization: Optional[ArrayLike] = None,
               delay: float = 0.0) -> "Wave":
        return cls("custom", delays=delays, apodization=apodization, delay=delay)


@dataclass
class ChannelData:
    """Channel data from plain arrays, with the attributes `das` reads.

    Parameters
    ----------
    data : (samples, channels, transmits[, frames]) array_like
        Real RF, or complex IQ (then with `modulation_frequency`); sample k at
        initial_time + k / fs. Samples adjacent in memory (a Fortran-ordered array, or
        the transpose of a (frames, transmits, channels, samples) array) are read in
        place; other layouts are copied once.
    fs : float
        Sampling frequency, Hz.
    element_positions : (channels, 3) array_like
        Centre of the element of each channel, m.
    sequence : sequence of Wave
        The transmits, in the order of the data's third axis.
    initial_time : float
        Acquisition time of sample 0, s.
    sound_speed : float
        m/s.
    modulation_frequency : float
        IQ data: the mixing frequency, Hz (0 for RF, or for the analytic signal).
    element_theta, element_phi : (channels,) array_like, optional
        Azimuth and elevation of each element's normal, rad (a convex array's elements
        face away from its centre); None for a flat array facing +z.
    """

    data: np.ndarray
    fs: float
    element_positions: np.ndarray
    sequence: Sequence[Wave]
    initial_time: float = 0.0
    sound_speed: float = 1540.0
    modulation_frequency: float = 0.0
    element_theta: Optional[np.ndarray] = None
    element_phi: Optional[np.ndarray] = None


# ---------------------------------------------------------------------------
# Images


@dataclass(frozen=True, eq=False)
class Image:
    """A beamformed image.

    Attributes
    ----------
    data : numpy.ndarray
        (*grid.shape), with a leading frame axis when the channel data had frames and a
        transmit axis (after it) when not compounding; complex when IQ data were
        beamformed.
    grid : CartesianGrid, PolarGrid or PointGrid
    dims : tuple of str
        The name of each axis of `data`: "frame", "transmit", then the grid's axes.
    modulation_frequency : float
        The IQ data's mixing frequency, Hz (0 for RF).
    """

    data: np.ndarray
    grid: Any
    dims: tuple
    modulation_frequency: float = 0.0

    def __getattr__(self, name):
        # The grid's axes: image.x, image.z, image.radius, ...
        grid = self.__dict__.get("grid")
        if grid is not None and name in grid.axes:
            return grid.axes[name]
        if name == "y" and isinstance(grid, CartesianGrid):
            return None
        raise AttributeError(f"'Image' object has no attribute {name!r}")

    @property
    def iq(self) -> bool:
        return np.iscomplexobj(self.data)

    def envelope(self) -> np.ndarray:
        """Magnitude of the image: |data| for IQ images; for RF images on a Cartesian or
        polar grid, the magnitude of the analytic signal along the depth axis."""
        if self.iq:
            return np.abs(self.data)
        if isinstance(self.grid, PointGrid):
            raise ValueError("image: an RF image on a point list has no depth axis for its "
                             "envelope; beamform IQ data (iq=True)")
        depth_axis = self.data.ndim - len(self.grid.shape)
        return display.envelope(self.data, axis=depth_axis)


# ---------------------------------------------------------------------------
# IQ demodulation


def center_frequency(rf: ArrayLike, fs: float, axis: int = 0) -> float:
    """Power-weighted mean frequency of real RF data along axis, Hz.

    Parameters
    ----------
    rf : array_like
        Real samples at fs.
    fs : float
        Sampling frequency, Hz.
    """
    a = chk.real_array(rf, "rf")
    fs = chk.number(fs, "fs", positive=True)
    power = np.abs(np.fft.rfft(a, axis=axis)) ** 2
    power = np.moveaxis(power, axis, 0).reshape(power.shape[axis], -1).sum(axis=1)
    f = np.fft.rfftfreq(a.shape[axis], 1 / fs)
    if not power.sum() > 0:
        raise ValueError("rf holds no signal")
    return float(np.sum(f * power) / power.sum())


def _with_data(channel_data, **changes):
    if dataclasses.is_dataclass(channel_data):
        return dataclasses.replace(channel_data, **changes)
    out = copy.copy(channel_data)
    for name, value in changes.items():
        setattr(out, name, value)
    return out


def demodulate(channel_data: Any, modulation_frequency: Optional[float] = None,
               bandwidth: Optional[float] = None, decimation: int = 1) -> Any:
    """IQ channel data from RF channel data: mixed down, low-pass filtered, decimated.

    Parameters
    ----------
    channel_data : channel data (see the module's notes)
        Real RF data.
    modulation_frequency : float, optional
        Mixing frequency, Hz; by default the data's centre frequency
        (`center_frequency`).
    bandwidth : float, optional
        Width of the pass band around the mixing frequency, Hz (default twice the
        mixing frequency: everything below the image at twice it).
    decimation : int
        Keep every decimation-th sample (the rate must stay at or above the bandwidth).

    Returns
    -------
    A copy of the channel data with complex `data` (the analytic signal mixed down, so
    that |IQ| is the RF envelope), `fs` divided by the decimation and
    `modulation_frequency` set. See `sonvar.display.iq_demodulate`.
    """
    data = np.asarray(channel_data.data)
    if np.iscomplexobj(data):
        raise ValueError("channel_data.data is IQ already")
    fs = chk.number(channel_data.fs, "channel_data.fs", positive=True)
    if modulation_frequency is None:
        modulation_frequency = center_frequency(data, fs)
    iq, fs_out = display.iq_demodulate(data, fs, modulation_frequency,
                                       t0=float(channel_data.initial_time),
                                       bandwidth=bandwidth, decimation=decimation)
    return _with_data(channel_data, data=iq, fs=fs_out,
                      modulation_frequency=float(modulation_frequency))


# ---------------------------------------------------------------------------
# Delay-and-sum


def _transmits_of(sequence):
    items = getattr(sequence, "transmits", sequence)
    try:
        return list(items)
    except TypeError:
        raise TypeError("channel_data.sequence must be a sequence of transmits") from None


# The beamformer's time of flight of a spherical wave from s, for points beyond s, is
# (|p - s| + k |s|) / c with k of its kind.
_SOURCE_TERM = {"diverging": -1.0, "focused": 1.0, "element": 1.0}


def wave_of(transmit: Any, sound_speed: Optional[float] = None) -> "Wave":
    """The beamformer's wave of a transmit of the sequence layer (`sonvar.sequence.Transmit`,
    made by its constructors or read from a UFF file).

    The sequence layer's true transmit time is `transmit.time_of_flight(p, c) -
    transmit.delay` (USTB's reading of the wave's wavefront and source, docs/imaging.md).
    The wave keeps the transmit's kind, and so the beamformer's formula and reach of that
    kind; its delay is changed by the constant that makes the beamformer's time equal that
    true time:

    - plane, focused, and diverging from more than 1 mm behind the array: the delay as it is
      (the formulas agree);
    - diverging from less than 1 mm behind the array (USTB reads it as converging,
      |p - s| + |s|): delay - 2 |s| / c;
    - element more than 1 mm behind the array's apex (USTB reads it as diverging,
      |p - e| - |e|): delay + 2 |e| / c;
    - custom with its firing delays (no source named): the beamformer's first arrival over
      the firing elements, the delay as it is;
    - custom naming a source (a wave read from a file that was not written by this package
      and whose source lies on the array's plane, or one built so): the spherical wave from
      it as USTB reads it: focused when s lies in front of the array, diverging behind it,
      element on its plane, with the delay changed as above.

    Parameters
    ----------
    transmit : sonvar.sequence.Transmit
    sound_speed : float, optional
        The speed of sound of the delays, m/s (the sequence's; default 1540).

    Returns
    -------
    Wave

    Examples
    --------
    >>> from sonvar import sequence
    >>> t = sequence.diverging_waves([[-1e-3, 0, 0], [1e-3, 0, 0]], [[0, 0, -0.5e-3]])[0]
    >>> round(t.delay * 1540 / 1e-3, 12), wave_of(t, 1540.0).delay
    (1.0, 0.0)
    """
    from .sequence import DIVERGING_BEHIND
    c = 1540.0 if sound_speed is None else chk.number(sound_speed, "sound_speed", positive=True)
    kind, apodization, delay = transmit.kind, transmit.apodization, float(transmit.delay)
    if kind == "plane":
        return Wave.plane(transmit.azimuth, transmit.elevation, delay, apodization)
    if kind == "custom" and transmit.source is None:
        return Wave.custom(transmit.delays, apodization, delay)
    s = np.asarray(transmit.source, dtype=float)
    if kind == "custom":
        kind = "focused" if s[2] > 0 else "diverging" if s[2] < 0 else "element"
    ustb_term = -1.0 if s[2] < -DIVERGING_BEHIND else 1.0
    delay += (_SOURCE_TERM[kind] - ustb_term) * float(np.linalg.norm(s)) / c
    return Wave(kind, source=tuple(s), delay=delay, apodization=apodization)


def _as_wave(t, sound_speed):
    from .sequence import Transmit
    return wave_of(t, sound_speed) if isinstance(t, Transmit) else t


def _transmit(t, n, index):
    name = f"channel_data.sequence[{index}]"
    kind = getattr(t, "kind", None)
    if kind not in KINDS:
        raise ValueError(f"{name}.kind must be one of {', '.join(KINDS)}, got {kind!r}")
    source = getattr(t, "source", None)
    source = (0.0, 0.0, 0.0) if source is None else chk.point(source, f"{name}.source")
    delays = getattr(t, "delays", None)
    if kind == "custom":
        if delays is None:
            raise ValueError(f"{name}.delays: a custom transmit needs the elements' delays")
        delays = chk.vector(delays, f"{name}.delays", length=n)
    else:
        delays = None
    apodization = getattr(t, "apodization", None)
    if apodization is not None:
        apodization = chk.vector(apodization, f"{name}.apodization", length=n)
    return (KINDS[kind], chk.number(getattr(t, "azimuth", 0.0) or 0.0, f"{name}.azimuth"),
            chk.number(getattr(t, "elevation", 0.0) or 0.0, f"{name}.elevation"), source,
            chk.number(getattr(t, "delay", 0.0) or 0.0, f"{name}.delay"), delays, apodization)


def _normals(channel_data, n):
    out = []
    for name in ("theta", "phi"):
        value = getattr(channel_data, "element_" + name, None)
        probe = getattr(channel_data, "probe", None)
        if value is None and probe is not None:
            value = getattr(probe, name, None)
        out.append(None if value is None else chk.vector(value, f"element_{name}", length=n))
    return out


def _samples_adjacent(data):
    """The data as float64 or complex128 with the sample axis adjacent in memory."""
    dtype = np.complex128 if np.iscomplexobj(data) else np.float64
    data = data.astype(dtype, copy=False)
    if data.strides[0] != data.itemsize or 0 in data.strides[1:]:
        data = np.asfortranarray(data)
    return data


# The library's names of the arguments, as das's caller knows them.
_NAMES = (("data.values", "channel_data.data"), ("data.", "channel_data."),
          ("transmits[", "channel_data.sequence["),
          ("probe.positions", "channel_data.element_positions"),
          ("probe.theta", "channel_data.element_theta"),
          ("probe.phi", "channel_data.element_phi"))


def _python_names(text):
    for library, ours in _NAMES:
        if text.startswith(library):
            return ours + text[len(library):]
    return text


def das(channel_data: Any, grid: Any, f_number: float = 1.5, window: str = "rect",
        compound: bool = True, iq: bool = False, threads: Optional[int] = None, *,
        interpolation: str = "linear", min_aperture: float = 0.0,
        max_aperture: Optional[float] = None, tukey_alpha: float = 0.5,
        transmit_apodization: bool = True, transmit_margin: float = 0.0,
        modulation_frequency: Optional[float] = None,
        max_image_bytes: Optional[float] = None) -> "Image":
    """Delay-and-sum of channel data onto a grid.

    Parameters
    ----------
    channel_data : channel data
        The sequence layer's channel data (`Simulator.channel_data`, `sonvar.uff.read`),
        or see the module's notes; `ChannelData` builds one from arrays.
    grid : CartesianGrid, PolarGrid, PointGrid or (..., 3) array_like
        The pixels, m.
    f_number : float
        Receive F-number: at a pixel a distance d in front of an element (along its
        normal), the element counts when the pixel's offset across it is within
        d / (2 f_number) (across x and, for a 2-D array, across y).
    window : str
        Receive apodization across that aperture: "rect", "hanning" or "tukey".
    compound : bool
        True: one image, the coherent sum over the transmits; False: one per transmit.
    iq : bool
        True: real RF data are demodulated to IQ first (`demodulate` at
        `modulation_frequency`), and the image is complex. IQ data are always
        beamformed as IQ.
    threads : int, optional
        Worker threads; by default one per processor.
    interpolation : str
        "linear" or "cubic" (cubic convolution) between samples.
    min_aperture, max_aperture : float
        Bounds of the receive aperture's width, m (max_aperture None: no bound).
    tukey_alpha : float
        Tapered fraction of the Tukey window, in (0, 1].
    transmit_apodization : bool
        True: a transmit adds nothing where its wave does not reach (outside the
        region its firing elements insonify: across a plane wave, the cone from a
        diverging source, the hourglass through a focus, the F-number cone of a single
        element).
    transmit_margin : float
        How far outside that region, m, a pixel still counts as reached.
    modulation_frequency : float, optional
        Mixing frequency of the demodulation when iq is True, Hz (default: the data's
        centre frequency).
    max_image_bytes : float, optional
        Largest image accepted, bytes (default: the machine's physical memory).

    Returns
    -------
    Image
        `data` shaped (frames?, transmits?, *grid.shape); real for RF, complex for IQ.

    Raises
    ------
    ValueError
        Shapes of the data, geometry and sequence that do not match, non-finite values
        in the data or geometry, f_number not above 0, an unknown window, a grid whose
        image needs more than the memory allows (the message gives the bytes).
    TypeError
        Arguments of the wrong kind.
    """
    g = _grid(grid)
    f_number = chk.number(f_number, "f_number")
    if not f_number > 0:
        raise ValueError(f"f_number must be above 0, got {f_number}")
    if window not in WINDOWS:
        raise ValueError(f"window must be one of {', '.join(WINDOWS)}, got {window!r}")
    if interpolation not in INTERPOLATIONS:
        raise ValueError(f"interpolation must be 'linear' or 'cubic', got {interpolation!r}")
    threads = 0 if threads is None else chk.count(threads, "threads")
    cd = channel_data
    if getattr(cd, "data", None) is None:
        raise ValueError("channel_data holds no samples (they were written to a file; read it "
                         "with sonvar.uff.read)")
    data = np.asarray(cd.data)
    if data.dtype == object or not (np.issubdtype(data.dtype, np.number)):
        raise TypeError(f"channel_data.data must be a numeric array, not dtype {data.dtype}")
    if data.ndim not in (3, 4):
        raise ValueError("channel_data.data must have shape (samples, channels, transmits) or "
                         f"(samples, channels, transmits, frames), got {data.shape}")
    if iq and not np.iscomplexobj(data):
        cd = demodulate(cd, modulation_frequency)
        data = np.asarray(cd.data)
    framed = data.ndim == 4
    if not framed:
        data = data[..., None]
    samples, n, transmits, frames = data.shape
    positions = chk.matrix(cd.element_positions, "channel_data.element_positions", columns=3)
    if positions.shape[0] != n:
        raise ValueError(f"channel_data.element_positions holds {positions.shape[0]} elements "
                         f"for {n} channels of data")
    waves = _transmits_of(cd.sequence)
    if len(waves) != transmits:
        raise ValueError(f"channel_data.sequence holds {len(waves)} transmits for {transmits} "
                         "in the data")
    c_waves = getattr(cd.sequence, "sound_speed", None) or cd.sound_speed
    waves = [_transmit(_as_wave(t, c_waves), n, i) for i, t in enumerate(waves)]
    theta, phi = _normals(cd, n)
    fm = chk.number(getattr(cd, "modulation_frequency", 0.0) or 0.0,
                    "channel_data.modulation_frequency") if np.iscomplexobj(data) else 0.0
    kind, counts, axes, apex, points = g._library()
    args = (
        _samples_adjacent(data), chk.number(cd.fs, "channel_data.fs"),
        chk.number(cd.initial_time, "channel_data.initial_time"),
        chk.number(cd.sound_speed, "channel_data.sound_speed"), fm, positions, theta, phi, waves,
        kind, counts, axes, apex, points, f_number,
        chk.number(min_aperture, "min_aperture", nonnegative=True),
        0.0 if max_aperture is None else chk.number(max_aperture, "max_aperture", positive=True),
        WINDOWS[window], chk.number(tukey_alpha, "tukey_alpha"), INTERPOLATIONS[interpolation],
        bool(compound), bool(transmit_apodization),
        chk.number(transmit_margin, "transmit_margin", nonnegative=True), threads, 0,
        0.0 if max_image_bytes is None else chk.number(max_image_bytes, "max_image_bytes",
                                                       positive=True))
    try:
        image = _beamform.das(*args)
    except ValueError as error:
        raise ValueError(_python_names(str(error))) from None
    dims = tuple(g.axes) if g.axes else tuple(f"point{i}" for i in range(len(g.shape)))
    image = image.reshape((frames, image.shape[1]) + tuple(g.shape))
    if compound:
        image = image[:, 0]
    else:
        dims = ("transmit",) + dims
    if framed:
        dims = ("frame",) + dims
    else:
        image = image[0]
    return Image(image, g, dims, fm)

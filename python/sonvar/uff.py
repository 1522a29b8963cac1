"""Channel data in the ultrasound file format (UFF) of USTB: writing and reading (h5py).

The layout is USTB's (docs/imaging.md lists every field): a group
`/channel_data` of class `uff.channel_data` with sampling_frequency,
initial_time, sound_speed, modulation_frequency, PRF, data (USTB's
samples x channels x waves x frames, which HDF5 shows reversed), a probe
(`uff.linear_array`, `uff.curvilinear_array` or `uff.probe` with its
geometry and origin), a pulse and the sequence of `uff.wave` objects
(wavefront, source, origin, apodization, sound_speed, delay, event), each
object with its name, author, version and info strings. Every object is a
group with the attributes class, name, size [1, 1] and array [0]; every
number a dataset with class, name, complex and imaginary (scalars 1 x 1);
a string a uint16 column of class "char"; a list of objects or strings a
group with array [1] and size [1, n] holding NAME_0001 ....

Each transmit's delays, weights and kind also go to `/sonvar/<location>`,
outside USTB's objects (USTB's reader sets every member of an object as a
property), so that `read` gives back the sequence as it was made.
"""

import math
import os
from typing import Any, Optional

import numpy as np
from numpy.typing import ArrayLike

from . import _checks as chk
from .channel import ChannelData, ProbeGeometry
from .sequence import Sequence, Transmit

__all__ = ["write", "read", "Writer", "UFF_VERSION", "write_metadata", "create_data"]

#: The UFF version written into the root attribute "version" (USTB's current one).
UFF_VERSION = "v1.2.0"

_PLANE, _SPHERICAL = 0, 1


def _h5py():
    import h5py
    return h5py


def _object(parent, name, cls, size=1, array=False):
    g = parent.require_group(name)
    g.attrs["class"] = cls
    g.attrs["name"] = name.rsplit("/", 1)[-1]
    g.attrs["size"] = np.array([1, size], dtype=np.int32)
    g.attrs["array"] = np.array([1 if array else 0], dtype=np.int32)
    return g


def _number(parent, name, value, dtype=np.float64):
    v = np.asarray(value, dtype=dtype)
    if v.ndim == 0:
        v = v.reshape(1, 1)
    d = parent.create_dataset(name, data=v)
    d.attrs["class"] = "single" if dtype == np.float32 else "double"
    d.attrs["name"] = name
    d.attrs["complex"] = np.array([0], dtype=np.int32)
    d.attrs["imaginary"] = np.array([0], dtype=np.int32)
    return d


def _char(parent, name, text):
    d = parent.create_dataset(name, data=np.array([[ord(ch)] for ch in text], dtype=np.uint16))
    d.attrs["class"] = "char"
    d.attrs["name"] = name
    return d


def _texts(group, texts):
    """name, author, version, info, reference: each a list of one string, as USTB keeps them."""
    for key in ("name", "reference", "author", "version", "info"):
        text = texts.get(key)
        if text:
            cell = _object(group, key, "cell", array=True)
            _char(cell, f"{key}_0001", text)


def _point(parent, name, distance, azimuth, elevation):
    g = _object(parent, name, "uff.point")
    _number(g, "distance", distance)
    _number(g, "azimuth", azimuth)
    _number(g, "elevation", elevation)
    return g


def _spherical(p):
    """USTB's point angles of a position: distance, azimuth, elevation."""
    d = float(np.linalg.norm(p))
    if d == 0:
        return 0.0, 0.0, 0.0
    return d, math.atan2(p[0], p[2]), math.asin(max(-1.0, min(1.0, p[1] / d)))


def _probe(parent, probe, texts):
    classes = {"linear": "uff.linear_array", "convex": "uff.curvilinear_array"}
    cls = classes.get(probe.kind, "uff.probe")
    g = _object(parent, "probe", cls)
    geometry = np.vstack([probe.positions.T, probe.theta, probe.phi, probe.width, probe.height])
    _number(g, "geometry", geometry)
    _point(g, "origin", 0.0, 0.0, 0.0)
    if probe.kind in ("linear", "convex"):
        _number(g, "N", probe.elements)
        _number(g, "pitch", probe.pitch)
        _number(g, "element_width", float(probe.width[0]))
        _number(g, "element_height", float(probe.height[0]))
    if probe.kind == "convex":
        _number(g, "radius", probe.radius)
    _texts(g, texts)


def _wave(parent, name, t, event, c, texts):
    g = _object(parent, name, "uff.wave")
    w = g.create_dataset("wavefront", data=np.array([[_PLANE if t.kind == "plane" else
                                                      _SPHERICAL]], dtype=np.int32))
    w.attrs["class"] = "uff.wavefront"
    w.attrs["name"] = "wavefront"
    if t.kind == "plane":
        _point(g, "source", math.inf, t.azimuth, t.elevation)
    else:
        _point(g, "source", *_spherical(t.wave_source))
    _point(g, "origin", 0.0, 0.0, 0.0)
    a = _object(g, "apodization", "uff.apodization")
    _number(a, "apodization_vector", t.apodization.reshape(1, -1))
    window = a.create_dataset("window", data=np.array([[0]], dtype=np.float32))
    window.attrs["class"] = "uff.window"
    window.attrs["name"] = "window"
    _number(g, "sound_speed", c)
    _number(g, "delay", t.delay)
    _number(g, "event", event)
    _texts(g, texts)


def _describe(t):
    if t.kind == "plane":
        return (f"plane wave, azimuth {math.degrees(t.azimuth):g} deg, elevation "
                f"{math.degrees(t.elevation):g} deg")
    if t.kind == "custom":
        return "custom delays"
    s = t.source * 1e3
    return f"{t.kind} wave, source ({s[0]:g}, {s[1]:g}, {s[2]:g}) mm"


def write_metadata(h5file: Any, cd: Any, location: str = "channel_data") -> Any:
    """Every field of the channel data but its samples, into an open h5py File.

    Returns the channel-data group; the caller adds `data` (see Writer).
    """
    h5file.attrs["version"] = UFF_VERSION
    g = _object(h5file, location, "uff.channel_data")
    _number(g, "sampling_frequency", cd.fs)
    _number(g, "initial_time", cd.initial_time)
    _number(g, "sound_speed", cd.sound_speed)
    _number(g, "modulation_frequency", cd.modulation_frequency)
    if cd.prf is not None:
        _number(g, "PRF", cd.prf)
    texts = dict(cd.texts)
    common = {k: texts[k] for k in ("author", "version") if texts.get(k)}
    _probe(g, cd.probe, dict(common, name=f"{cd.probe.kind} probe of {cd.probe.elements} "
                                          "elements"))
    if cd.center_frequency is not None:
        p = _object(g, "pulse", "uff.pulse")
        _number(p, "center_frequency", cd.center_frequency)
        _number(p, "fractional_bandwidth", cd.bandwidth or 0.0)
        _number(p, "phase", 0.0)
        _texts(p, dict(common, name="two-way pulse"))
    seq = cd.sequence
    if len(seq) > 1:  # an array of waves; a single wave is the object itself
        parent = _object(g, "sequence", "uff.wave", size=len(seq), array=True)
    for k, t in enumerate(seq):
        wave_texts = dict(common, name=f"wave {k + 1} of {len(seq)}", info=_describe(t))
        if len(seq) > 1:
            _wave(parent, f"sequence_{k + 1:04d}", t, k + 1, seq.sound_speed, wave_texts)
        else:
            _wave(g, "sequence", t, 1, seq.sound_speed, wave_texts)
    _texts(g, texts)
    _sonvar_sequence(h5file, location, seq)
    return g


def _sonvar_sequence(h5file, location, seq):
    g = h5file.require_group(f"sonvar/{location}")
    g.attrs["sound_speed"] = seq.sound_speed
    if seq.prf is not None:
        g.attrs["prf"] = seq.prf
    g.create_dataset("kind", data=np.array([t.kind for t in seq], dtype="S9"))
    g.create_dataset("delays", data=seq.delays)
    g.create_dataset("apodization", data=seq.apodizations)
    g.create_dataset("angles", data=np.array([[t.azimuth, t.elevation] for t in seq]))
    g.create_dataset("source", data=np.array([t.source if t.source is not None else
                                              np.full(3, np.nan) for t in seq]))
    g.create_dataset("delay", data=np.array([t.delay for t in seq]))


def create_data(group: Any, cd: Any, samples: int, single: bool = False, frames: int = 1) -> Any:
    """The empty data object of channel data cd in its group (from write_metadata): float64 or
    (single) float32, shape (frames, waves, channels, samples) in HDF5's order; a tuple of the
    dataset, or of the real and imaginary datasets of IQ data."""
    shape = (chk.count(frames, "frames"), len(cd.sequence), len(cd.element_positions),
             chk.count(samples, "samples", minimum=0))
    return _data_dataset(group, shape, single, cd.modulation_frequency > 0)


def _data_dataset(group, shape, single, complex_data):
    """The data object: (frames, waves, channels, samples) in HDF5 order, chunked per channel
    record of one wave."""
    dtype = np.float32 if single else np.float64
    cls = "single" if single else "double"
    chunks = (1, 1, max(1, min(shape[2], (1 << 20) // max(1, shape[3]))), shape[3]) \
        if all(shape) else None

    def make(parent, name, imaginary):
        d = parent.create_dataset(name, shape=shape, dtype=dtype, chunks=chunks)
        d.attrs["class"] = cls
        d.attrs["name"] = "data"
        d.attrs["imaginary"] = np.array([imaginary], dtype=np.int32)
        if parent is group:
            d.attrs["complex"] = np.array([0], dtype=np.int32)
        return d
    if not complex_data:
        return (make(group, "data", 0),)
    g = group.create_group("data")
    g.attrs["class"] = cls
    g.attrs["name"] = "data"
    g.attrs["complex"] = np.array([1], dtype=np.int32)
    return make(g, "real", 0), make(g, "imag", 1)


class Writer:
    """A UFF file of channel data filled one transmit at a time.

    The file is written under a hidden temporary name beside `path` and
    renamed by close(); discard() removes it. `put(w, samples)` stores
    transmit w: samples of shape (samples, channels), or (samples,
    channels, frames); `put(w, samples, frame=f)` stores the (samples,
    channels) of transmit w in frame f alone.
    """

    def __init__(self, path: str, cd: Any, samples: int, single: bool = False, frames: int = 1,
                 location: str = "channel_data") -> None:
        from .output import Hdf5Output
        folder = os.path.dirname(os.path.abspath(os.fspath(path)))
        if not os.path.isdir(folder):
            raise ValueError(f"path: folder {folder} does not exist")
        self.out = Hdf5Output(os.fspath(path))
        try:
            g = write_metadata(self.out.file, cd, location)
            self.datasets = create_data(g, cd, samples, single, frames)
        except BaseException:
            self.discard()
            raise

    def put(self, w: int, samples: ArrayLike, frame: Optional[int] = None) -> None:
        s = np.asarray(samples)
        if frame is not None:
            parts = (s.real, s.imag) if len(self.datasets) == 2 else (s.real,)
            for d, part in zip(self.datasets, parts):
                d[frame, w, :, :] = part.T
            return
        if s.ndim == 2:
            s = s[:, :, None]
        # (samples, channels, frames) -> (frames, channels, samples)
        parts = (s.real, s.imag) if len(self.datasets) == 2 else (s.real,)
        for d, part in zip(self.datasets, parts):
            d[:, w, :, :] = np.transpose(part, (2, 1, 0))

    def close(self) -> None:
        from .output import publish
        publish(self.out.close())

    def discard(self) -> None:
        self.out.discard()


def write(path: str, channel_data: Any, single: bool = False,
          location: str = "channel_data") -> None:
    """Write channel data to a UFF file (replacing the file).

    Parameters
    ----------
    path : str or os.PathLike
        File to write; it appears only when complete.
    channel_data : ChannelData
        With its samples (data not None).
    single : bool
        Store the samples in single precision (float32; class "single").
    location : str
        Name of the channel-data group.

    Raises
    ------
    TypeError, ValueError
        Bad arguments; nothing is written.

    Examples
    --------
    >>> import os, tempfile, numpy as np
    >>> from sonvar import sequence, uff
    >>> from sonvar.channel import ChannelData
    >>> x = (np.arange(4) - 1.5) * 0.3e-3
    >>> pos = np.column_stack([x, 0 * x, 0 * x])
    >>> seq = sequence.plane_waves(pos, [0.0])
    >>> cd = ChannelData(np.zeros((10, 4, 1)), 50e6, 0.0, 1540.0, pos, seq)
    >>> path = os.path.join(tempfile.mkdtemp(), "cd.uff")
    >>> uff.write(path, cd)
    >>> uff.read(path).data.shape
    (10, 4, 1)
    """
    if not isinstance(channel_data, ChannelData):
        raise TypeError(f"channel_data must be a ChannelData, not {type(channel_data).__name__}")
    if channel_data.data is None:
        raise ValueError("channel_data holds no samples (they were written to a file)")
    if not isinstance(location, str) or not location or "/" in location:
        raise ValueError(f"location must be a group name, got {location!r}")
    d = channel_data.data
    if d.dtype.kind not in "fc" or not np.all(np.isfinite(d)):
        raise ValueError("channel_data.data must hold finite real or complex numbers")
    writer = Writer(path, channel_data, d.shape[0], single, channel_data.frames, location)
    try:
        for w in range(d.shape[2]):
            writer.put(w, d[:, :, w])
        writer.close()
    except BaseException:
        writer.discard()
        raise


def _value(node, default=None):
    if node is None:
        return default
    return float(np.asarray(node[()]).reshape(-1)[0])


def _get(group, name):
    return group[name] if name in group else None


def _read_text(group, key):
    if key not in group:
        return None
    node = group[key]
    if isinstance(node, _h5py().Dataset):
        return "".join(chr(int(v)) for v in np.asarray(node[()]).reshape(-1))
    parts = [_read_text(node, k) for k in sorted(node)]
    return "\n".join(p for p in parts if p)


def _read_point(group):
    d = _value(group["distance"])
    az = _value(group["azimuth"])
    el = _value(group["elevation"])
    if math.isinf(d):
        return None, az, el
    return np.array([d * math.sin(az) * math.cos(el), d * math.sin(el),
                     d * math.cos(az) * math.cos(el)]), az, el


def _read_waves(group):
    seq = group["sequence"]
    if seq.attrs.get("array", [0])[0]:
        return [seq[k] for k in sorted(seq) if k.startswith("sequence_")]
    return [seq]


def _ustb_delays(positions, wavefront, source, az, el, c):
    """USTB's delay_values of a wave (wave.m): the firing delays it implies."""
    if wavefront == _PLANE or source is None:
        return (positions[:, 0] * math.sin(az) + positions[:, 1] * math.sin(el)) / c
    dst = np.linalg.norm(positions - source, axis=1)
    r = np.linalg.norm(source)
    return (dst - r) / c if source[2] < 0 else (r - dst) / c


def _transmits_from_waves(waves, positions):
    out = []
    for w in waves:
        wavefront = int(np.asarray(w["wavefront"][()]).reshape(-1)[0]) if "wavefront" in w \
            else _SPHERICAL
        source, az, el = _read_point(w["source"])
        c = _value(_get(w, "sound_speed"), 1540.0)
        delays = _ustb_delays(positions, wavefront, source, az, el, c)
        apod = np.ones(len(positions))
        if "apodization" in w and "apodization_vector" in w["apodization"]:
            apod = np.asarray(w["apodization/apodization_vector"][()], dtype=float).reshape(-1)
        delay = _value(_get(w, "delay"), 0.0)
        if wavefront == _PLANE or source is None:
            out.append(Transmit(delays, apod, "plane", azimuth=az, elevation=el, delay=delay))
            continue
        at_element = np.min(np.linalg.norm(positions - source, axis=1)) < 1e-9
        kind = ("element" if at_element else "diverging" if source[2] < 0 else
                "focused" if source[2] > 0 else "custom")
        out.append(Transmit(delays, apod, kind, source=source, delay=delay))
    return out


def _transmits_from_sonvar(g):
    kinds = [k.decode() for k in g["kind"][()]]
    delays, apod = g["delays"][()], g["apodization"][()]
    angles, sources, delay = g["angles"][()], g["source"][()], g["delay"][()]
    out = []
    for k, kind in enumerate(kinds):
        src = None if np.isnan(sources[k]).any() else sources[k]
        out.append(Transmit(delays[k], apod[k], kind, azimuth=angles[k, 0],
                            elevation=angles[k, 1], source=src, delay=delay[k]))
    return out


def _read_data(node):
    h5py = _h5py()
    if isinstance(node, h5py.Group):  # complex: real and imaginary parts
        d = node["real"][()] + 1j * node["imag"][()]
    else:
        d = node[()]
    # HDF5 order (frames, waves, channels, samples) -> (samples, channels, waves, frames)
    d = np.transpose(d, tuple(range(d.ndim))[::-1])
    return d[..., 0] if d.ndim == 4 and d.shape[3] == 1 else d


def read(path: str, location: str = "channel_data") -> ChannelData:
    """Read channel data from a UFF file (written by `write` or by USTB).

    Parameters
    ----------
    path : str or os.PathLike
    location : str
        Name of the channel-data group.

    Returns
    -------
    ChannelData
        data (samples, channels, waves) or (samples, channels, waves,
        frames). The sequence is the one written when the file comes from
        this package; else each wave's delays are USTB's delay_values of its
        source and its weights the apodization_vector (or 1).
    """
    h5py = _h5py()
    with h5py.File(os.fspath(path), "r") as f:
        if location not in f or f[location].attrs.get("class") != "uff.channel_data":
            raise ValueError(f"location: no uff.channel_data at /{location} of {path}")
        g = f[location]
        probe = g["probe"]
        geometry = np.asarray(probe["geometry"][()], dtype=float)
        if geometry.shape[0] != 7 and geometry.shape[1] == 7:
            geometry = geometry.T
        positions = np.ascontiguousarray(geometry[:3].T)
        shape = ProbeGeometry.from_positions(positions, *geometry[3:7])
        extra = f.get(f"sonvar/{location}")
        if extra is not None:
            transmits = _transmits_from_sonvar(extra)
            c, prf = float(extra.attrs["sound_speed"]), extra.attrs.get("prf")
        else:
            transmits = _transmits_from_waves(_read_waves(g), positions)
            c, prf = _value(g["sound_speed"]), _value(_get(g, "PRF"))
        sequence = Sequence(tuple(transmits), prf=None if prf is None else float(prf),
                            sound_speed=c)
        pulse = _get(g, "pulse")
        texts = {k: _read_text(g, k) for k in ("name", "reference", "author", "version", "info")}
        return ChannelData(
            _read_data(g["data"]), _value(g["sampling_frequency"]), _value(g["initial_time"]),
            _value(g["sound_speed"]), positions, sequence, shape,
            modulation_frequency=_value(_get(g, "modulation_frequency"), 0.0),
            center_frequency=None if pulse is None else _value(pulse["center_frequency"]),
            bandwidth=None if pulse is None else _value(_get(pulse, "fractional_bandwidth")),
            texts={k: v for k, v in texts.items() if v})

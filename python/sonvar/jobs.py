"""Job files of the command-line tool: reading and validating them.

A job is a JSON object (see docs/jobs.md for every key, its unit and its
default). `load(path, command)` reads and checks the whole job before any
calculation and returns a `Job`: the parsed values with their defaults, the
probe and pulse descriptions resolved and the phantom read. Faults raise one
`JobError` after the whole job was checked: its text holds one line per bad
key, each naming the file, the key and what was expected (a key whose check
needs a refused one is not checked).
"""

import csv
import inspect
import json
import math
import os
import dataclasses
from typing import Callable, Optional
from dataclasses import dataclass

import numpy as np

from . import _checks as chk
from . import phantom as phantom_module
from . import preflight, pulses
from .simulator import OPTION_TABLE, Aperture, Simulator, SonvarError

__all__ = ["JobError", "Job", "load", "PROBES", "EXAMPLES"]

#: Array constructors a job may name, with the Simulator method of each.
PROBES = ("piston", "concave", "linear_array", "linear_multirow", "focused_array",
          "focused_multirow", "convex_array", "convex_focused_array", "convex_focused_multirow",
          "array_2d")
TABLES = ("rectangles", "triangles", "lines")
PULSES = ("gaussian_pulse", "sine_burst")
MODES = ("linear", "convex", "phased", "synthetic_aperture", "plane_wave", "diverging_wave",
         "focused", "custom")
#: Image modes that record channel data (one unit of work per transmit).
CHANNEL_MODES = ("synthetic_aperture", "plane_wave", "diverging_wave", "focused", "custom")
WINDOWS = ("hanning", "hamming", "rect")
QUANTITIES = ("h", "hp", "hhp")
_REQUIRED = object()
#: What the package or the library may raise on a value it refuses: reported as the key's
#: fault, one line, never a traceback.
REFUSALS = (TypeError, ValueError, SonvarError, MemoryError, OverflowError)
#: Apodization weights at most this large in magnitude keep every square and sum of the
#: results finite.
LARGEST_WEIGHT = 1e100


class JobError(Exception):
    """A fault of a job file; str() is the report, one line per bad key."""

    def __init__(self, path, key, expected, more=()):
        self.path, self.key, self.expected = path, key, expected
        self.lines = [f"{path}: {key}: {expected}" if key else f"{path}: {expected}"]
        for error in more:
            self.lines.extend(error.lines)
        super().__init__("\n".join(self.lines))


class _Skip(Exception):
    """A refused key, already reported: what depends on it is not checked."""


class Report:
    """The faults found in one job, reported together."""

    def __init__(self, path):
        self.path = path
        self.errors = []
        self.inputs = {}  # the files the job reads: key -> path

    def add(self, error):
        if str(error) not in (str(e) for e in self.errors):
            self.errors.append(error)

    def attempt(self, body, default=None):
        """body(), or default when it refused a key."""
        try:
            return body()
        except _Skip:
            return default

    def close(self):
        if self.errors:
            first = self.errors[0]
            raise JobError(first.path, first.key, first.expected, self.errors[1:])


def _describe(value):
    text = json.dumps(value) if not isinstance(value, np.ndarray) else "an array"
    return text if len(text) <= 40 else text[:37] + "..."


class Section:
    """One JSON object of the job with its dotted key path, read key by key."""

    def __init__(self, job_path, values, prefix="", report=None):
        self.job_path = job_path
        self.values = values
        self.prefix = prefix
        self.used = set()
        self.report = report

    def key(self, name):
        return f"{self.prefix}.{name}" if self.prefix else name

    def sub(self, values, prefix):
        """A section of other values sharing this one's report."""
        return Section(self.job_path, values, prefix, self.report)

    def fail(self, name, expected):
        error = JobError(self.job_path, self.key(name) if name else self.prefix, expected)
        if self.report is None:
            raise error
        self.report.add(error)
        raise _Skip()

    def _or_default(self, read, default):
        """read(); a refused value of a key with a default gives the default."""
        try:
            return read()
        except _Skip:
            if default is _REQUIRED:
                raise
            return default

    def has(self, name):
        return name in self.values

    def raw(self, name, default=_REQUIRED):
        self.used.add(name)
        if name not in self.values:
            if default is _REQUIRED:
                self.fail(name, "missing key")
            return default
        return self.values[name]

    def number(self, name, default=_REQUIRED, above=None, at_least=None, below=None):
        return self._or_default(lambda: self._number(name, default, above, at_least, below),
                                default)

    def _number(self, name, default, above, at_least, below):
        v = self.raw(name, default)
        if v is None and default is None:
            return None
        if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v):
            self.fail(name, f"expected a number, got {_describe(v)}")
        if above is not None and not v > above:
            self.fail(name, f"expected a number above {above:g}, got {v:g}")
        if at_least is not None and v < at_least:
            self.fail(name, f"expected a number of at least {at_least:g}, got {v:g}")
        if below is not None and not v < below:
            self.fail(name, f"expected a number below {below:g}, got {v:g}")
        return float(v)

    def integer(self, name, default=_REQUIRED, at_least=None, at_most=None):
        return self._or_default(lambda: self._integer(name, default, at_least, at_most), default)

    def _integer(self, name, default, at_least, at_most):
        v = self.raw(name, default)
        if v is None and default is None:
            return None
        if isinstance(v, bool) or not isinstance(v, int):
            self.fail(name, f"expected an integer, got {_describe(v)}")
        if at_least is not None and v < at_least:
            self.fail(name, f"expected an integer of at least {at_least}, got {v}")
        if at_most is not None and v > at_most:
            self.fail(name, f"expected an integer of at most {at_most}, got {v}")
        return v

    def boolean(self, name, default=_REQUIRED):
        return self._or_default(lambda: self._boolean(name, default), default)

    def _boolean(self, name, default):
        v = self.raw(name, default)
        if not isinstance(v, bool):
            self.fail(name, f"expected true or false, got {_describe(v)}")
        return v

    def string(self, name, default=_REQUIRED, choices=None):
        return self._or_default(lambda: self._string(name, default, choices), default)

    def _string(self, name, default, choices):
        v = self.raw(name, default)
        if v is None and default is None:
            return None
        if not isinstance(v, str):
            self.fail(name, f"expected a string, got {_describe(v)}")
        if choices is not None and v not in choices:
            self.fail(name, f"expected one of {', '.join(choices)}, got {_describe(v)}")
        return v

    def vector(self, name, default=_REQUIRED, length=None):
        return self._or_default(lambda: self._vector(name, default, length), default)

    def _vector(self, name, default, length):
        v = self.raw(name, default)
        if v is None and default is None:
            return None
        ok = isinstance(v, list) and all(
            isinstance(e, (int, float)) and not isinstance(e, bool) and math.isfinite(e) for e in v)
        if not ok or (length is not None and len(v) != length) or not v:
            what = f"a list of {length} numbers" if length else "a non-empty list of numbers"
            self.fail(name, f"expected {what}, got {_describe(v)}")
        return [float(e) for e in v]

    def section(self, name, default=_REQUIRED):
        v = self.raw(name, default)
        if v is None and default is None:
            return None
        if not isinstance(v, dict):
            self.fail(name, f"expected an object, got {_describe(v)}")
        return self.sub(v, self.key(name))

    def file(self, name, default=_REQUIRED):
        """A readable file, relative paths taken from the job file's folder."""
        v = self.string(name, default)
        if v is None:
            return None
        path = v if os.path.isabs(v) else os.path.join(os.path.dirname(self.job_path) or ".", v)
        if not os.path.isfile(path) or not os.access(path, os.R_OK):
            self.fail(name, f"expected a readable file, cannot read {v}")
        if self.report is not None:
            self.report.inputs[self.key(name)] = path
        return path

    def done(self):
        """Refuse keys nobody read: a misspelt key would otherwise be silently ignored. Each
        is reported; with a report the reading goes on."""
        unknown = sorted(set(self.values) - self.used)
        known = ", ".join(sorted(self.used)) or "none"
        for name in unknown:
            try:
                self.fail(name, f"unknown key; expected one of: {known}")
            except _Skip:
                pass


def _call_by_name(sec, func, skip=(), fixed=None):
    """Keyword arguments of func from a section; the package's own checks name the argument."""
    params = {n: p for n, p in inspect.signature(func).parameters.items()
              if n not in skip and n != "self"}
    kwargs = dict(fixed or {})
    missing = False
    for name, p in params.items():
        if sec.has(name):
            kwargs[name] = sec.raw(name)
        elif p.default is inspect.Parameter.empty and name not in kwargs:
            try:
                sec.fail(name, "missing key")
            except _Skip:
                missing = True
    sec.used.update(params)
    sec.done()
    if missing:
        raise _Skip()
    try:
        return func(**kwargs)
    except REFUSALS as error:
        text = _refusal(error)
        name = text.split(":")[0].split(" ")[0]
        if name in params and text.startswith(f"{name}: "):
            text = text[len(name) + 2:]  # the key names it already
        sec.fail(name if name in params else None, text)


def _refusal(error):
    """The text of a refusal: the message of the package's or the library's checks, the kind
    and the message of anything else."""
    text = str(error).strip()
    if isinstance(error, (TypeError, ValueError, SonvarError)) and text:
        return text.splitlines()[0] if isinstance(error, SonvarError) else text
    return f"{type(error).__name__}: {text.splitlines()[0] if text else 'refused'}"


def read_table(sec: "Section", name: str, columns: Optional[int] = None) -> np.ndarray:
    """A numeric table from an NPY, CSV (optional header line) or HDF5 file (dataset named by
    `<name>_dataset`, default the only or first dataset)."""
    path = sec.file(name)
    try:
        if path.endswith(".npy"):
            a = np.load(path, allow_pickle=False)
        elif path.endswith((".h5", ".hdf5")):
            import h5py
            wanted = sec.string(name + "_dataset", None)
            with h5py.File(path, "r") as f:
                names = [k for k in f if isinstance(f[k], h5py.Dataset)]
                key = wanted or (names[0] if names else None)
                if key is None or key not in f:
                    sec.fail(name, f"expected a dataset {key or ''} in {os.path.basename(path)}")
                a = f[key][()]
        elif path.endswith((".csv", ".txt")):
            with open(path, newline="") as handle:
                rows = [r for r in csv.reader(handle) if r and not r[0].startswith("#")]
            if rows and not _numeric(rows[0][0]):
                rows = rows[1:]
            a = np.array([[float(v) for v in r] for r in rows])
        else:
            sec.fail(name, "expected a file ending in .npy, .csv, .h5 or .hdf5")
    except JobError:
        raise
    except Exception as error:  # unreadable content
        first = str(error).splitlines()[0] if str(error) else ""
        sec.fail(name, f"expected a numeric table, cannot read {os.path.basename(path)} "
                       f"({type(error).__name__}: {first})")
    a = np.asarray(a)
    if a.dtype.kind not in "biuf" or not np.all(np.isfinite(a)):
        sec.fail(name, f"expected finite numbers in {os.path.basename(path)}")
    a = a.astype(float)
    if a.ndim == 1 and columns is None:
        return a
    if a.ndim == 1 and columns is not None and a.size == columns:
        a = a.reshape(1, -1)
    if a.ndim != 2 or (columns is not None and a.shape[1] != columns) or a.shape[0] == 0:
        want = f"{columns} columns" if columns else "a table"
        sec.fail(name, f"expected {want} in {os.path.basename(path)}, got shape {a.shape}")
    return a


def _numeric(text):
    try:
        float(text)
        return True
    except ValueError:
        return False


@dataclass
class Job:
    """A checked job: everything needed to run it."""

    path: str
    command: str
    text: str  # the job as given, re-serialised
    c: float
    fs: float
    attenuation: dict
    threads: int
    probe: dict
    impulse: np.ndarray
    excitation: np.ndarray
    output: str
    output_format: str
    plot: dict
    precision: str = "double"
    field: dict = None
    image: dict = None
    phantom: object = None
    ensemble: dict = None  # frames and prf of an ensemble (ensemble_jobs)
    doppler: dict = None  # its Doppler keys
    accuracy: dict = None  # library accuracy options by name (0 or 1)
    # Texts the command prints before it runs.
    warnings: list = dataclasses.field(default_factory=list)

    def simulator(self, threads=None):
        sim = Simulator(c=self.c, fs=self.fs, threads=threads or self.threads,
                        **(self.accuracy or {}))
        if self.attenuation:
            sim.attenuation(**self.attenuation)
        return sim

    def build_probe(self, sim):
        return make_probe(sim, self.probe, self.impulse, self.excitation)


def make_probe(sim: Simulator, probe_job: dict, impulse: Optional[np.ndarray],
               excitation: Optional[np.ndarray],
               fail: Optional[Callable[[str, str], None]] = None) -> Aperture:
    """The aperture a checked probe description names, with its pulses, focus and apodization.

    fail(key, text), when given, reports a refused focus or apodization."""
    kind = probe_job["kind"]
    if kind in TABLES:
        ap = getattr(sim, kind)(probe_job["table"], probe_job["centers"])
    else:
        ap = getattr(sim, kind)(**probe_job["params"])
    ap.impulse(impulse)
    ap.excitation(excitation)
    apod = probe_job.get("apodization")
    for key, value, apply in (("focus", probe_job.get("focus"), ap.focus),
                              ("apodization", apod, ap.apodization)):
        if value is None:
            continue
        if isinstance(value, str):
            from .imaging import window
            value = window(ap.no_elements, value)
        try:
            apply(value)
        except REFUSALS as error:
            if fail is None:
                raise
            fail(key, _refusal(error))
    return ap


def _probe(sec, sim, impulse, excitation, allowed=PROBES + TABLES, focused=True):
    """The probe section: the constructor and its parameters, the focus and apodization keys
    (`focused`: they apply; else, in an image job, they are refused)."""
    kind = sec.string("kind", choices=allowed)
    if not focused:
        for key in ("focus", "apodization"):
            sec.used.add(key)
            if sec.values.get(key) is not None:
                sec.report.attempt(lambda: sec.fail(key, (
                    "not used by image jobs: the line modes focus and weight each line "
                    "(image.focus_depth, image.transmit_window, image.f_number), channel data "
                    "is recorded unfocused; remove the key")))
        focus = apod = None
    else:
        focus = sec.vector("focus", None, length=3)
        apod = sec.report.attempt(lambda: _apodization(sec)) if sec.report else _apodization(sec)
    probe_job = {"kind": kind, "focus": focus, "apodization": apod}
    if kind in TABLES:
        columns = {"rectangles": 19, "triangles": 11, "lines": 6}[kind]
        probe_job["table"] = read_table(sec, "table", columns)
        probe_job["centers"] = read_table(sec, "centers", 3)
        sec.raw("table_dataset", None)
        sec.raw("centers_dataset", None)
        sec.done()
        try:
            ap = make_probe(sim, probe_job, impulse, excitation, sec.fail)
        except REFUSALS as error:
            sec.fail("table", _refusal(error))
    else:
        params = {}
        method = getattr(sim, kind)
        names = [n for n in inspect.signature(method).parameters if n != "focus"]
        for n in names:
            if sec.has(n):
                params[n] = sec.raw(n)
        inner = sec.sub({n: sec.values[n] for n in params}, sec.prefix)
        _call_by_name(inner, method)
        sec.used.update(names)  # what remains unread is unknown to both
        sec.done()
        probe_job["params"] = params
        ap = make_probe(sim, probe_job, impulse, excitation, sec.fail)
    return probe_job, ap


def _apodization(sec):
    """The probe's apodization: a window's name or one weight per element."""
    apod = sec.raw("apodization", None)
    if isinstance(apod, str) and apod not in WINDOWS or \
            not isinstance(apod, (str, list, type(None))):
        sec.fail("apodization", f"expected {', '.join(WINDOWS)} or one weight per element, "
                                f"got {_describe(apod)}")
    if isinstance(apod, list):
        apod = sec.vector("apodization")
        if max(abs(w) for w in apod) > LARGEST_WEIGHT:
            sec.fail("apodization", f"expected weights of at most {LARGEST_WEIGHT:g} in magnitude, "
                                    f"got {max(apod, key=abs):g}")
    return apod


def _bounded(sec, name, values):
    """Values that scale every result (pulse samples, amplitudes) at most LARGEST_WEIGHT in
    magnitude, so that squares and sums of the results stay finite."""
    if values.size and np.max(np.abs(values)) > LARGEST_WEIGHT:
        sec.fail(name, f"expected values of at most {LARGEST_WEIGHT:g} in magnitude, got "
                       f"{np.max(np.abs(values)):g}")
    return values


def _pulse(sec, fs):
    if sec.has("file"):
        samples = _bounded(sec, "file", read_table(sec, "file"))
        sec.raw("file_dataset", None)
        sec.done()
        if samples.ndim != 1:
            samples = samples.ravel() if 1 in samples.shape else None
        if samples is None:
            sec.fail("file", "expected one column of samples")
        return samples
    shape = sec.string("shape", choices=PULSES)
    return _call_by_name(sec, getattr(pulses, shape), skip=("fs",), fixed={"fs": fs})


def _axis_count(sec, name):
    """Positions of a grid axis, 1 for a single one (checked by _axis)."""
    v = sec.values.get(name)
    count = v.get("count") if isinstance(v, dict) else 1
    return count if isinstance(count, int) and not isinstance(count, bool) and count > 0 else 1


def _axis(sec, name):
    """A grid axis: one position (m) or {start, stop, count}."""
    v = sec.raw(name, 0.0)
    if isinstance(v, dict):
        a = sec.section(name)
        start, stop = a.number("start"), a.number("stop")
        count = a.integer("count", at_least=1)
        a.done()
        if count > 1 and not stop > start:
            a.fail("stop", f"expected a number above start ({start:g}), got {stop:g}")
        return np.linspace(start, stop, count)
    return np.array([sec.number(name, 0.0)])


def _phantom(sec):
    if sec.has("file"):
        table = read_table(sec, "file", 4)
        _bounded(sec, "file", table[:, 3])
        sec.raw("file_dataset", None)
        if sec.has("flow"):
            sec.fail("flow", "expected the speckle generator's box (phantom.generator), not "
                             "a file")
        sec.done()
        return phantom_module.Phantom(np.ascontiguousarray(table[:, :3]), table[:, 3].copy())
    sec.string("generator", choices=("speckle",))
    seed = sec.integer("seed", 0, at_least=0)
    cysts = sec.raw("cysts", [])
    targets = sec.raw("targets", None)
    box = ("count", "x_range", "y_range", "z_range")
    gen = sec.sub({k: v for k, v in sec.values.items() if k in box}, sec.prefix)
    count = gen.values.get("count")
    if isinstance(count, int) and not isinstance(count, bool):
        preflight.fits(sec, "count", count * preflight.BYTES_PER_SCATTERER,
                       f"a phantom of {count} scatterers")
    ph = _call_by_name(gen, phantom_module.speckle, skip=("rng",), fixed={"rng": seed})
    sec.used.update(box)
    if sec.has("flow"):  # a vessel or a disk in the box: the speckle is its static tissue
        from .ensemble_jobs import read_flow
        flow = read_flow(sec, {k: gen.values[k] for k in box if k in gen.values}, seed)
        flow.static = _static_phantom(sec, flow.static, cysts, targets)
        sec.done()
        return flow
    ph = _static_phantom(sec, ph, cysts, targets)
    sec.done()
    return ph


def _static_phantom(sec, ph, cysts, targets):
    """The speckle with phantom.cysts cut out and phantom.targets added."""
    if not isinstance(cysts, list):
        sec.fail("cysts", f"expected a list of objects, got {_describe(cysts)}")
    for k, c in enumerate(cysts):
        if not isinstance(c, dict):
            sec.fail(f"cysts[{k}]", f"expected an object, got {_describe(c)}")
        cs = sec.sub(c, sec.key(f"cysts[{k}]"))
        ph = ph.with_cyst(cs.vector("center", length=3), cs.number("radius", above=0),
                          cs.string("axis", "y", choices=("x", "y", "z")))
        cs.done()
        if len(ph) == 0:
            sec.fail(f"cysts[{k}]", "removes every scatterer left of the phantom")
    if targets is not None:
        ts = sec.section("targets")
        pts = ts.raw("positions")
        if (not isinstance(pts, list) or not pts or not all(
                isinstance(p, list) and len(p) == 3 and all(
                    isinstance(e, (int, float)) and not isinstance(e, bool) for e in p)
                for p in pts)):
            ts.fail("positions", f"expected a list of [x, y, z] points, got {_describe(pts)}")
        amplitude = ts.number("amplitude", 1.0)
        _bounded(ts, "amplitude", np.array([amplitude]))
        ph = ph.with_points(pts, amplitude)
        ts.done()
    return ph


def _output(top, command):
    sec = top.section("output", {})
    path = sec.string("path", f"{command}.h5")
    fmt = sec.string("format", "hdf5", choices=("hdf5", "npy"))
    precision = sec.string("precision", "double", choices=("double", "single"))
    sec.done()
    return path, fmt, precision


def _plot(top, command):
    sec = top.section("plot", {})
    plot = {"enabled": sec.boolean("enabled", True),
            "path": sec.string("path", None),
            "dynamic_range": sec.number("dynamic_range", 40.0 if command == "field" else 50.0,
                                        above=0),
            "quantity": sec.string("quantity", "peak", choices=("peak", "rms")),
            "width": sec.number("width", 7.0 if command == "field" else 5.5, above=0),
            "height": sec.number("height", 6.0 if command == "field" else 6.5, above=0),
            "dpi": sec.integer("dpi", 100, at_least=10)}
    sec.done()
    return plot


def _medium(top):
    medium = top.section("medium", {})
    c = medium.number("c", 1540.0, above=0)
    att = medium.section("attenuation", None)
    attenuation = {}
    if att is not None:
        attenuation = {"att": att.number("att", 0.0, at_least=0),
                       "freq_att": att.number("freq_att", 0.0, at_least=0),
                       "att_f0": att.number("att_f0", 0.0, at_least=0)}
        att.done()
    medium.done()
    return c, attenuation


#: The library's accuracy options a job may switch on in its section "accuracy".
ACCURACY_OPTIONS = ("accurate_time_calc", "band_limited", "exact_integration")


def _accuracy(top):
    sec = top.section("accuracy", {})
    options = {name: int(sec.boolean(name, False)) for name in ACCURACY_OPTIONS}
    sec.done()
    return options


#: Threads a process may run, from the library's option table.
MOST_THREADS = int(OPTION_TABLE["threads"]["maximum"])


def _read_json(path):
    """The JSON value of a job file, or JobError."""
    try:
        with open(path, "rb") as handle:
            text = handle.read().decode("utf-8")
    except OSError as error:
        raise JobError(path, None, f"cannot read the job file ({error.strerror})") from None
    except UnicodeDecodeError as error:
        byte = error.object[error.start]
        raise JobError(path, None, f"expected UTF-8 text, got the byte 0x{byte:02x} "
                                   f"at position {error.start}") from None
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        raise JobError(path, None, f"expected JSON, line {error.lineno} column {error.colno}: "
                                   f"{error.msg}") from None
    except RecursionError:
        raise JobError(path, None, "expected JSON nested less deeply") from None


def load(path: str, command: str, output_override: Optional[str] = None,
         output_format: Optional[str] = None, threads_override: Optional[int] = None,
         plot: bool = True) -> "Job":
    """Read and check a job file for the sub-command "field" or "image", with the command
    line's overrides of the result path (-o), its format (--format) and the threads
    (--threads), and without the plot's checks when no plot is made (--no-plot).

    Every key is checked before any calculation, including what the library would refuse,
    the memory the results and the picture need and the output and plot paths. Raises
    JobError after checking the whole job when any key is bad: one line per bad key."""
    values = _read_json(path)
    if not isinstance(values, dict):
        raise JobError(path, None, "expected a JSON object at the top")
    report = Report(path)
    attempt = report.attempt
    top = Section(path, values, report=report)
    # Sections checked on their own are known keys even when their check stops early.
    top.used.update(("medium", "accuracy", "impulse", "excitation", "output", "plot", "probe"))
    top.used.update(("field",) if command == "field" else ("image", "phantom", "ensemble",
                                                           "doppler"))

    def command_key():
        kind = top.string("command", command, choices=("field", "image"))
        if kind != command:
            top.fail("command", f"expected {command} for `sonvar {command}`, got "
                                f"{_describe(kind)}")
    attempt(command_key)
    c, attenuation = attempt(lambda: _medium(top), (1540.0, {}))
    accuracy = attempt(lambda: _accuracy(top), {})
    fs = top.number("fs", 100e6, above=0)
    threads = top.integer("threads", None, at_least=1, at_most=MOST_THREADS)
    if threads_override is not None and not 1 <= threads_override <= MOST_THREADS:
        report.add(JobError(path, "--threads", f"expected an integer from 1 to {MOST_THREADS}, "
                                               f"got {threads_override}"))
    sim = Simulator(c=c, fs=fs, threads=1)
    impulse = attempt(lambda: _pulse(top.section("impulse"), fs))
    excitation = attempt(lambda: _pulse(top.section("excitation"), fs))
    output, fmt, precision = attempt(lambda: _output(top, command),
                                     (f"{command}.h5", "hdf5", "double"))
    output, fmt = output_override or output, output_format or fmt
    plot = attempt(lambda: _plot(top, command), {})
    job = Job(path=path, command=command, text=json.dumps(values, sort_keys=True), c=c, fs=fs,
              attenuation=attenuation, threads=threads, probe=None, impulse=impulse,
              excitation=excitation, output=output, output_format=fmt, plot=plot,
              precision=precision, accuracy=accuracy)
    if command == "field":
        probe = attempt(lambda: _probe(top.section("probe"), sim, _or_unit(impulse),
                                       _or_unit(excitation)))
        job.probe = probe[0] if probe else None
        attempt(lambda: _field(top.section("field"), job))
    else:
        attempt(lambda: _image(top.section("image"), top, job, sim))
        job.phantom = attempt(lambda: _phantom(top.section("phantom")))
        from .ensemble_jobs import read as read_ensemble
        attempt(lambda: read_ensemble(top, job))
    top.done()
    result_ok = preflight.check_outputs(report, path, "-o" if output_override else "output.path",
                                        output, fmt, report.inputs)
    if plot and job.plot.get("enabled"):
        preflight.check_plot(report, path, job.plot, output, fmt, report.inputs, result_ok)
    if not report.errors:
        preflight.check_run(report, job)
    report.close()
    return job


def _or_unit(samples):
    """The pulse, or a one-sample stand-in when its own check failed (the probe is still
    checked)."""
    return samples if samples is not None else np.ones(1)


def _field(sec, job):
    quantity = sec.string("quantity", "hp", choices=QUANTITIES)
    if sec.has("points") and sec.has("grid"):
        sec.fail("points", "expected either points or grid, not both")
    if sec.has("points"):
        points = read_table(sec, "points", 3)
        sec.raw("points_dataset", None)
        preflight.fits(sec, "points", len(points) * preflight.BYTES_PER_FIELD_POINT,
                       f"a map of {len(points)} points")
        axes = None
    else:
        grid = sec.section("grid")
        counts = {a: _axis_count(grid, a) for a in "xyz"}
        n = int(np.prod([float(c) for c in counts.values()]))
        preflight.fits(grid, "x" if counts["x"] > 1 else "z", n * preflight.BYTES_PER_FIELD_POINT,
                       f"a grid of {n} points")
        axes = {a: _axis(grid, a) for a in "xyz"}
        grid.done()
        xx, yy, zz = np.meshgrid(axes["x"], axes["y"], axes["z"], indexing="ij")
        points = np.column_stack([xx.ravel(), yy.ravel(), zz.ravel()])
    keep = sec.boolean("keep_signals", False)
    chunk = sec.integer("chunk", None, at_least=1)
    sec.used.update(("points", "points_dataset", "grid"))  # either one, checked above
    sec.done()
    n = len(points)
    job.field = {"quantity": quantity, "points": points, "axes": axes, "keep_signals": keep,
                 "chunk": chunk or max(1, min(256, -(-n // 32)))}


#: Probe constructors each image mode takes.
_MODE_PROBES = {"linear": ("linear_array", "focused_array"),
                "phased": ("linear_array", "focused_array"),
                "convex": ("convex_array", "convex_focused_array")}
#: Keys of each image mode beside mode, f_number and bmode.
_MODE_KEYS = {
    "linear": ("active", "focus_depth", "transmit_window", "lines", "apodization_steps"),
    "convex": ("active", "focus_depth", "transmit_window", "lines", "apodization_steps"),
    "phased": ("active", "focus_depth", "transmit_window", "lines"),
    "synthetic_aperture": ("elements",),
    "plane_wave": ("angles", "elevation_angles", "transmit_window"),
    "diverging_wave": ("virtual_sources", "transmit_window"),
    "focused": ("focus_points", "lines", "focus_depth", "sector", "active", "transmit_window"),
    "custom": ("delays", "delays_dataset", "apodizations", "apodizations_dataset"),
}
_CHANNEL_KEYS = ("prf", "dataset")


def _image(sec, top, job, sim):
    mode = sec.string("mode", choices=MODES)
    channel = mode in CHANNEL_MODES
    sec.used.update(_MODE_KEYS[mode] + ("f_number", "bmode", "beamform"))
    if channel:
        sec.used.update(_CHANNEL_KEYS)
    psec = top.section("probe")
    probe = sec.report.attempt(lambda: _probe(
        psec, sim, _or_unit(job.impulse), _or_unit(job.excitation),
        allowed=_MODE_PROBES.get(mode, PROBES + TABLES), focused=False))
    img = {"mode": mode}
    attempt = sec.report.attempt
    if probe is not None:
        job.probe, ap = probe
        img["no_elements"] = ap.no_elements
        if channel and ap.kind == "lines":
            attempt(lambda: psec.fail("kind", "expected a probe of rectangles or triangles for "
                                              "channel data"))
        if channel:
            img["sequence"] = attempt(lambda: _sequence(sec, mode, ap, job.probe, job.c))
        else:
            attempt(lambda: _lines(sec, mode, ap, job.probe, img))
    if channel:
        img["prf"] = sec.number("prf", None, above=0)
        if img.get("sequence") is not None and img["prf"] is not None:
            seq = img["sequence"]
            from .sequence import Sequence
            img["sequence"] = Sequence(seq.transmits, prf=img["prf"], sound_speed=seq.sound_speed)
        img["texts"] = attempt(lambda: _texts(sec), {})
        img["pulse"] = _nominal_pulse(top.values)
        img["single"] = job.precision == "single"
    img["f_number"] = sec.number("f_number", 2.0, above=0)
    img["beamform"] = attempt(lambda: _beamform(sec, mode, probe[1] if probe else None),
                              {"grid": None})
    attempt(lambda: _bmode(sec, mode, img))
    sec.done()
    job.image = img


def _lines(sec, mode, ap, probe_job, img):
    """The keys of the focused line modes (linear, convex, phased)."""
    n = ap.no_elements
    p = probe_job["params"]
    img["active"] = sec.integer("active", min(64, n) if mode != "phased" else n, at_least=1)
    if img["active"] > n:
        sec.fail("active", f"expected at most the probe's {n} elements, got {img['active']}")
    img["focus_depth"] = sec.number("focus_depth", above=0)
    img["transmit_window"] = sec.string("transmit_window", "hanning", choices=WINDOWS)
    img["positions"] = _span(sec, "lines", 2)
    if mode != "linear":  # angles from the z axis
        try:
            chk.angles(img["positions"], "lines", "line angles")
        except ValueError as error:
            sec.fail("lines", str(error).split(": ", 1)[1])
    if mode in ("linear", "convex"):
        img["apodization_steps"] = sec.integer("apodization_steps", 32, at_least=1)
    img["elevation_focus"] = p.get("r_focus")


def _span(sec, name, least):
    """{start, stop, count} as the values: count at least `least`, stop above start for more
    than one."""
    lines = sec.section(name)
    start, stop = lines.number("start"), lines.number("stop")
    count = lines.integer("count", at_least=least)
    lines.done()
    preflight.fits(lines, "count", count * 8 * 16, f"{count} positions")
    if count > 1 and not stop > start:
        lines.fail("stop", f"expected a number above start ({start:g}), got {stop:g}")
    return np.linspace(start, stop, count)


def _point_list(sec, name):
    v = sec.raw(name)
    if (not isinstance(v, list) or not v or not all(
            isinstance(p, list) and len(p) == 3 and all(
                isinstance(e, (int, float)) and not isinstance(e, bool) and math.isfinite(e)
                for e in p) for p in v)):
        sec.fail(name, f"expected a list of [x, y, z] points, got {_describe(v)}")
    return np.array(v, dtype=float)


def _sequence(sec, mode, ap, probe_job, c):
    """The transmits of a channel-data mode, made by sonvar.sequence (whose own checks name the
    key)."""
    from . import sequence as sq
    n = ap.no_elements
    window = sec.string("transmit_window", "hanning" if mode == "focused" else "rect",
                        choices=WINDOWS) if mode != "custom" else None

    def made(key, build):
        try:
            return build()
        except ValueError as error:
            sec.fail(key, str(error).split(": ", 1)[-1])
    if mode == "synthetic_aperture":
        elements = sec.raw("elements", None)
        if elements is None:
            elements = list(range(1, n + 1))
        if (not isinstance(elements, list) or not elements or
                not all(isinstance(e, int) and not isinstance(e, bool) and 1 <= e <= n
                        for e in elements)):
            sec.fail("elements", f"expected a list of element numbers from 1 to {n}, got "
                                 f"{_describe(elements)}")
        return sq.synthetic_aperture(ap, elements, c=c)
    if mode == "custom":
        delays = read_table(sec, "delays", n)
        sec.raw("delays_dataset", None)
        apod = None
        if sec.has("apodizations"):
            apod = read_table(sec, "apodizations", n)
            sec.raw("apodizations_dataset", None)
            if apod.shape != delays.shape:
                sec.fail("apodizations", f"expected the shape of delays {delays.shape}, got "
                                         f"{apod.shape}")
        return sq.custom(delays, apod, c=c)
    weights = sq._sub_aperture(ap.element_centers, ap.element_centers.mean(axis=0), n, window)
    if mode == "plane_wave":
        azimuths = _span(sec, "angles", 1)
        elevations = np.zeros(1)
        if sec.has("elevation_angles"):
            elevations = _span(sec, "elevation_angles", 1)
            y = ap.element_centers[:, 1]
            if np.any(elevations != 0) and np.ptp(y) == 0:
                sec.fail("elevation_angles", "expected a probe with elements at several y "
                                             "(a 2-D or multi-row array) to steer in elevation")
        made("elevation_angles", lambda: sq._check_angles(elevations, "elevation_angles"))
        return made("angles", lambda: sq.plane_waves(ap, azimuths, elevations, c=c,
                                                     apodization=weights))
    if mode == "diverging_wave":
        sources = _point_list(sec, "virtual_sources")
        return made("virtual_sources", lambda: sq.diverging_waves(ap, sources, c=c,
                                                                  apodization=weights))
    # focused
    active = sec.integer("active", n, at_least=1)
    if active > n:
        sec.fail("active", f"expected at most the probe's {n} elements, got {active}")
    if sec.has("focus_points") == sec.has("lines"):
        sec.fail("focus_points", "expected either focus_points or lines with focus_depth")
    if sec.has("focus_points"):
        foci = _point_list(sec, "focus_points")
    else:
        lines = _span(sec, "lines", 1)
        depth = sec.number("focus_depth", above=0)
        radius = probe_job.get("params", {}).get("r_convex")
        sector = sec.boolean("sector", False) or radius is not None
        foci = made("lines", lambda: sq.line_foci(lines, depth, sector, radius or 0.0))
    return made("focus_points", lambda: sq.focused_waves(ap, foci, c=c, active=active,
                                                         window=window))


def _texts(sec):
    texts = sec.section("dataset", {})
    out = {k: texts.string(k, None) for k in ("name", "author", "version", "info", "reference")}
    texts.done()
    return {k: v for k, v in out.items() if v}


def _nominal_pulse(values):
    """The pulse's nominal centre frequency and fractional bandwidth from the job's shapes: the
    excitation's f0 (else the impulse's) and a Gaussian impulse's bandwidth; None for pulses from
    files (the spectrum's own band is written then)."""
    exc, imp = values.get("excitation"), values.get("impulse")
    f0 = None
    for p in (exc, imp):
        if isinstance(p, dict) and isinstance(p.get("f0"), (int, float)) and "file" not in p:
            f0 = float(p["f0"])
            break
    if f0 is None:
        return None
    bw = imp.get("bandwidth") if isinstance(imp, dict) and imp.get("shape") == "gaussian_pulse" \
        else None
    return (f0, float(bw)) if isinstance(bw, (int, float)) else None


#: Receive windows of the delay-and-sum (image.beamform.window).
BEAMFORM_WINDOWS = ("rect", "hanning", "tukey")
#: image.beamform keys that only the channel-data modes take.
_DAS_KEYS = ("f_number", "window", "compound", "iq")


def _beamform(sec, mode, ap):
    """image.beamform: the delay-and-sum's options (channel-data modes) and the image's grid
    (every mode)."""
    bf = sec.section("beamform", {})
    attempt = sec.report.attempt
    out = {"grid": None}
    if mode in CHANNEL_MODES:
        if bf.has("f_number") and sec.has("f_number"):
            attempt(lambda: bf.fail("f_number", "expected either image.f_number or "
                                                "image.beamform.f_number, not both"))
        out["f_number"] = bf.number("f_number", None, above=0)
        out["window"] = bf.string("window", "rect", choices=BEAMFORM_WINDOWS)
        out["compound"] = bf.boolean("compound", True)
        out["iq"] = bf.boolean("iq", False)
    else:
        for key in _DAS_KEYS:
            if bf.has(key):
                attempt(lambda: bf.fail(key, "expected no delay-and-sum option in a line mode "
                                             "(its lines are focused on receive as they are "
                                             "simulated); image.beamform takes only grid here"))
        bf.used.update(_DAS_KEYS)
    if bf.has("grid"):
        out["grid"] = attempt(lambda: _grid(bf, mode, ap))
    bf.done()
    return out


def _grid(bf, mode, ap):
    """image.beamform.grid: {start, stop, count} along x and z, and y for a volume."""
    g = bf.section("grid")
    attempt = bf.report.attempt
    axes = {a: attempt(lambda: _span(g, a, 1)) for a in ("x", "z")}
    if g.has("y"):
        if mode not in CHANNEL_MODES:
            attempt(lambda: g.fail("y", "expected x and z only: a line mode images one plane"))
        elif ap is not None and np.ptp(ap.element_centers[:, 1]) == 0:
            attempt(lambda: g.fail("y", "expected a probe with elements at several y (a 2-D or "
                                        "multi-row array) for a volume"))
        else:
            axes["y"] = attempt(lambda: _span(g, "y", 1))
    g.used.add("y")
    g.done()
    if any(v is None for v in axes.values()):
        raise _Skip()
    return axes


def _bmode(sec, mode, img):
    bm = sec.section("bmode", {})
    img["dynamic_range"] = bm.number("dynamic_range", 50.0, above=0)
    img["tgc"] = bm.number("tgc", 0.0)
    grid = sec.has("beamform") and isinstance(sec.values["beamform"], dict) and \
        "grid" in sec.values["beamform"]
    for name in ("pixel_size", "x_range", "z_range"):
        if grid and bm.has(name):
            sec.report.attempt(lambda: bm.fail(name, "expected no pixel size or range beside "
                                                     "image.beamform.grid (the grid sets the "
                                                     "pixels)"))
    img["pixel_size"] = bm.number("pixel_size", 0.1e-3, above=0)
    img["x_range"] = bm.vector("x_range", None, length=2)
    img["z_range"] = bm.vector("z_range", None, length=2)
    for name in ("x_range", "z_range"):
        if img[name] is not None and not img[name][1] > img[name][0]:
            img[name] = None
            sec.report.attempt(lambda: bm.fail(name, f"expected [low, high] with high above low, "
                                                     f"got {bm.values[name]}"))
    bm.done()


EXAMPLES = {
    "field": {
        "command": "field",
        "medium": {"c": 1540.0},
        "fs": 100e6,
        "probe": {"kind": "linear_array", "no_elements": 64, "width": 0.27e-3, "height": 5e-3,
                  "kerf": 0.03e-3, "no_sub_x": 1, "no_sub_y": 5, "focus": [0.0, 0.0, 0.02],
                  "apodization": "hanning"},
        "impulse": {"shape": "gaussian_pulse", "f0": 5e6, "bandwidth": 0.6},
        "excitation": {"shape": "sine_burst", "f0": 5e6, "cycles": 2},
        "field": {"quantity": "hp",
                  "grid": {"x": {"start": -6e-3, "stop": 6e-3, "count": 61}, "y": 0.0,
                           "z": {"start": 5e-3, "stop": 40e-3, "count": 71}}},
        "output": {"path": "field.h5"},
        "plot": {"quantity": "peak", "dynamic_range": 40},
    },
    "image": {
        "command": "image",
        "medium": {"c": 1540.0},
        "fs": 100e6,
        "probe": {"kind": "linear_array", "no_elements": 128, "width": 0.28e-3, "height": 5e-3,
                  "kerf": 0.028e-3},
        "impulse": {"shape": "gaussian_pulse", "f0": 5e6, "bandwidth": 0.6},
        "excitation": {"shape": "sine_burst", "f0": 5e6, "cycles": 1},
        "image": {"mode": "linear", "active": 48, "focus_depth": 0.03, "f_number": 2.0,
                  "lines": {"start": -5e-3, "stop": 5e-3, "count": 51},
                  "bmode": {"dynamic_range": 50}},
        "phantom": {"generator": "speckle", "count": 4000, "x_range": [-6e-3, 6e-3],
                    "y_range": [-2e-3, 2e-3], "z_range": [24e-3, 36e-3], "seed": 7,
                    "cysts": [{"center": [0.0, 0.0, 0.03], "radius": 2.5e-3}],
                    "targets": {"positions": [[-3.5e-3, 0.0, 26e-3], [3.5e-3, 0.0, 34e-3]],
                                "amplitude": 40.0}},
        "output": {"path": "image.h5"},
    },
}

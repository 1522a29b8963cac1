"""Sonvar: ultrasound fields by the spatial impulse response method, on numpy arrays.

Units are SI throughout: metres, seconds, hertz, radians, dB/m and dB/(m Hz).

A `Simulator` owns one state of the library (speed of sound, sampling
frequency, threads, attenuation and element-kind options). Its constructors
make `Aperture` objects (arrays, pistons, free-form tables); apertures take
focusing, apodization, delays, impulse responses and excitations. The
calculations (`calc_h`, `calc_hp`, `calc_hhp`, `calc_scat`,
`calc_scat_multi`, `calc_scat_all`) return a `Field`: one matrix aligned on
one start time t0 (s) at the sampling frequency fs (Hz); a result beyond
the simulator's memory budget is refused before it is computed.
`field_map` keeps of h, hp or hhp only peak, RMS, energy (and spectrum
magnitudes) per point, in memory that does not grow with the points. Bad arguments raise
ValueError or TypeError naming the argument; a failure inside the library
raises `SonvarError` with the library's message, and the simulator stays
usable. The library is quiet unless output= asks for its lines.

Under failure the package holds four rules. A calculation whose result cannot
fit in the memory available is refused before it starts (MemoryError naming
its size). Ctrl-C interrupts a calculation within about a tenth of a second
of work (KeyboardInterrupt); the simulator stays usable, and a failed or
interrupted call gives back everything it allocated. No call returns NaN or
infinite samples from finite arguments it accepted: pulse shapes refuse
values that would give them, angles lie within +-90 degrees (with a hint when
a value looks like degrees). The `sonvar` command checks a whole job before
computing (one line per bad key, exit status 2, nothing written), never
writes a result over an input or another output of the run, publishes its
files only when the whole run succeeded and removes only its own temporary
files, on every signal and under MPI.

Submodules: `pulses` (pulse shapes), `field` (peak, RMS, energy, beam width,
depth of field), `phantom` (scatterer phantoms), `imaging` (line-by-line
focused imaging), `sequence` (transmit sequences: plane, diverging, focused,
single-element and custom waves on any array, with one time convention),
`channel` (channel data: the per-element echoes of every transmit, from
`Simulator.channel_data`), `uff` (channel data in USTB's UFF files, written
and read), `beamform` (delay-and-sum of channel data onto 2-D, 3-D, polar and
point grids), `display` (envelope, IQ demodulation, time-gain compensation,
log compression, scan conversion, B-mode images), `motion` (scatterers that move over
slow time: constant velocity, a displacement function or positions per frame, and flow
phantoms: a vessel with parabolic or plug flow, a rotating disk), `ensemble` (a sequence
repeated over slow time at a PRF, from `Simulator.ensemble`), `doppler` (clutter filters,
colour and power Doppler maps of beamformed frames).

From the shell, `sonvar field|image|check JOB` (also `python3 -m sonvar`)
runs a simulation described in a JSON job file and writes HDF5 or NPY
results with PNG plots, on one process or on MPI ranks; `sonvar example
field` prints a job to start from.

Example
-------
>>> import numpy as np, sonvar
>>> sim = sonvar.Simulator(fs=100e6)
>>> probe = sim.linear_array(128, 0.27e-3, 5e-3, 0.03e-3, no_sub_y=5, focus=(0, 0, 0.02))
>>> probe.impulse(sonvar.pulses.gaussian_pulse(5e6, 0.6, sim.fs))
>>> probe.excitation(sonvar.pulses.sine_burst(5e6, 2, sim.fs))
>>> z = np.linspace(0.005, 0.04, 50)
>>> hp = sim.calc_hp(probe, np.column_stack([0 * z, 0 * z, z]))
>>> hp.data.shape[1], hp.fs
(50, 100000000.0)
"""

from . import _core
from . import pulses
from .simulator import (OPTIONS, RECTANGLE_COLUMNS, REDUCTIONS, TRIANGLE_COLUMNS, Aperture,
                        Field, FieldMap, Simulator, SonvarError)

__version__ = _core.version

_SUBMODULES = ("field", "phantom", "imaging", "sequence", "channel", "uff", "beamform",
               "display", "motion", "ensemble", "doppler")

__all__ = ["Simulator", "Aperture", "Field", "FieldMap", "SonvarError", "OPTIONS",
           "RECTANGLE_COLUMNS", "TRIANGLE_COLUMNS", "REDUCTIONS", "pulses", *_SUBMODULES]


def __getattr__(name):
    # The helper modules load on first use: they need only numpy (uff also
    # h5py), but keep the import of the package light.
    if name in _SUBMODULES:
        import importlib
        return importlib.import_module(f".{name}", __name__)
    raise AttributeError(f"module 'sonvar' has no attribute {name!r}")

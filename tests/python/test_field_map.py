"""Simulator.field_map against the reductions of the full signals, the helpers on a FieldMap,
the memory budget of the full-signal calls and the argument checks."""

import numpy as np
import pytest

import sonvar
from sonvar import field


@pytest.fixture
def sim():
    return sonvar.Simulator(threads=2)


def probe(sim, elements=12, focus=(0, 0, 0.015)):
    ap = sim.linear_array(elements, 0.3e-3, 4e-3, 0.05e-3, 1, 4, focus)
    ap.impulse(sonvar.pulses.gaussian_pulse(5e6, 0.6, sim.fs))
    ap.excitation(sonvar.pulses.sine_burst(5e6, 1.5, sim.fs))
    return ap


def grid(nx=7, nz=9):
    x, z = np.meshgrid(np.linspace(-4e-3, 4e-3, nx), np.linspace(3e-3, 30e-3, nz), indexing="ij")
    return np.stack([x, 0 * x + 1e-4 * (x > 0), z], axis=-1)


def test_reductions_equal_those_of_the_full_signals(sim):
    """Peak and its time exactly (the same samples), RMS over the common time axis and over a
    window, energy and spectrum to rounding; h, hp and hhp of two apertures; shaped like the
    grid's leading dimensions."""
    tx, rx = probe(sim), probe(sim, elements=6, focus=(0, 0, 0.01))
    points = grid()
    f = [0.0, 3e6, 5e6]
    for quantity, calc in (("h", lambda p: sim.calc_h(tx, p)), ("hp", lambda p: sim.calc_hp(tx, p)),
                           ("hhp", lambda p: sim.calc_hhp(tx, rx, p))):
        full = calc(points.reshape(-1, 3))
        m = sim.field_map(tx, points, quantity=quantity, receive=rx if quantity == "hhp" else None,
                          reduce=("peak", "rms", "energy", "spectrum"), frequencies=f)
        assert m.peak.shape == m.rms.shape == m.energy.shape == (7, 9), quantity
        assert m.spectrum.shape == (7, 9, 3) and m.quantity == quantity and m.fs == sim.fs
        a = full.data
        assert np.array_equal(m.peak.ravel(), field.peak(full)), quantity
        k = full.start_sample + np.argmax(np.abs(a), axis=0)
        assert np.array_equal(m.peak_time.ravel(), k / sim.fs), quantity
        np.testing.assert_allclose(m.rms.ravel(), field.rms(full), rtol=1e-12)
        np.testing.assert_allclose(m.energy.ravel(), field.energy(full), rtol=1e-12)
        assert m.window == (full.t0, full.t0 + a.shape[0] / full.fs), quantity
        dft = np.abs(np.exp(-2j * np.pi * np.outer(f, full.times)) @ a).T / sim.fs
        np.testing.assert_allclose(m.spectrum.reshape(-1, 3), dft, rtol=0,
                                   atol=1e-12 * dft.max())
        # A window of whole samples: the RMS of those rows, zeros outside a signal included.
        k0 = full.start_sample + a.shape[0] // 3
        w = sim.field_map(tx, points, quantity=quantity, receive=rx if quantity == "hhp" else None,
                          reduce="rms", window=(k0 / sim.fs, (k0 + 40) / sim.fs))
        rows = a[a.shape[0] // 3:a.shape[0] // 3 + 40]
        np.testing.assert_allclose(w.rms.ravel(), np.sqrt(np.mean(rows * rows, axis=0)), rtol=1e-12)
        assert w.peak is None and w.window == (k0 / sim.fs, (k0 + 40) / sim.fs)


def test_helpers_take_a_field_map(sim):
    ap = probe(sim)
    m = sim.field_map(ap, grid(), reduce=("peak", "energy"))
    assert field.peak(m) is m.peak and field.energy(m) is m.energy
    with pytest.raises(ValueError, match="field: this FieldMap has no rms; ask for it in reduce="):
        field.rms(m)
    one = sim.field_map(ap, [0, 0, 0.015])
    assert one.peak.shape == () and one.peak > 0


def test_full_signals_beyond_the_memory_budget_are_refused_before_computing(sim):
    ap = probe(sim)
    points = grid(40, 60).reshape(-1, 3)
    before = sim._state.counters()["signal_alloc_calls"]
    sim.memory_budget = 1e6
    with pytest.raises(ValueError) as raised:
        sim.calc_hp(ap, points)
    assert str(raised.value).startswith("points: calc_hp would return about ")
    assert str(raised.value).endswith(
        " of samples, more than the memory budget of 1.0 MB; Simulator.field_map keeps only peak, "
        "RMS and energy per point in any number of points; or raise Simulator.memory_budget")
    assert sim._state.counters()["signal_alloc_calls"] == before  # nothing computed
    # The estimate from the geometry lies within a few percent of the matrix (here 93%).
    estimate = float(str(raised.value).split("about ")[1].split(" MB")[0]) * 1e6
    sim.memory_budget = 2 ** 31
    full = sim.calc_hp(ap, points)
    assert 0.8 * full.data.nbytes < estimate <= full.data.nbytes
    small = sonvar.Simulator(memory_budget=1e3)
    ap = small.linear_array(2, 1e-3, 1e-3, 0)
    with pytest.raises(ValueError, match="calc_hhp would return about"):
        small.calc_hhp(ap, ap, points)


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(quantity="p"), ValueError, "quantity must be one of ('h', 'hp', 'hhp'), got 'p'"),
    (dict(reduce=("peak", "mean")), ValueError,
     "reduce: unknown reduction 'mean'; reductions are peak, rms, energy, spectrum"),
    (dict(reduce=()), ValueError, "reduce must name at least one reduction"),
    (dict(points=np.zeros((0, 3))), ValueError, "points must hold at least one point"),
    (dict(points=np.zeros((4, 2))), ValueError, "points must have shape (..., 3), got (4, 2)"),
    (dict(points=[[0, 0, np.inf]]), ValueError, "points must hold finite values only"),
    (dict(window=(2e-5, 2e-5)), ValueError,
     "window (2e-05, 2e-05) s holds no sample at fs 1e+08 Hz"),
    (dict(window=(1e-3, 2e-3)), ValueError,
     "window: the RMS window [0.001, 0.002) s (samples 100000 to 199999) lies outside the "
     "points' signals, which lie within [1.85e-06, 2.093e-05) s"),
    (dict(window=(0, 1e-5), reduce="peak"), ValueError, "window is only for the reduction 'rms'"),
    (dict(reduce="spectrum"), ValueError, "frequencies must be given for the reduction 'spectrum'"),
    (dict(reduce="spectrum", frequencies=[6e7]), ValueError,
     "frequencies must lie from 0 to fs/2 = 5e+07 Hz"),
    (dict(frequencies=[1e6]), ValueError, "frequencies are only for the reduction 'spectrum'"),
    (dict(receive="self"), ValueError, "receive is only for quantity 'hhp', not 'hp'"),
    (dict(aperture="probe"), TypeError, "aperture must be an Aperture, not str"),
])
def test_bad_arguments_name_the_argument(sim, kwargs, error, message):
    ap = probe(sim)
    args = dict(aperture=ap, points=grid())
    args.update(kwargs)
    if args.get("receive") == "self":
        args["receive"] = ap
    with pytest.raises(error) as raised:
        sim.field_map(**args)
    assert str(raised.value) == message

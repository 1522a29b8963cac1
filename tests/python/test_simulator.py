"""The simulator against the library's C interface, and its argument checks."""

import logging

import numpy as np
import pytest

import sonvar
from sonvar import _core


@pytest.fixture
def sim():
    return sonvar.Simulator(threads=2)


def small_probe(sim, elements=8, focus=(0, 0, 0.015)):
    probe = sim.linear_array(elements, 0.3e-3, 4e-3, 0.05e-3, 1, 2, focus)
    probe.impulse(sonvar.pulses.gaussian_pulse(5e6, 0.6, sim.fs))
    probe.excitation(sonvar.pulses.sine_burst(5e6, 1.5, sim.fs))
    return probe


def axis_points(n, z0=0.004, z1=0.03, x=0.0):
    z = np.linspace(z0, z1, n)
    return np.column_stack([np.full(n, x), np.zeros(n), z])


def aligned(signals):
    """The library's signals put on one start by hand, as a reference."""
    present = [s for s in signals if s is not None]
    first = min(s[0] for s in present)
    rows = max(s[0] + len(s[1]) for s in present) - first
    out = np.zeros((rows, len(signals)))
    for j, s in enumerate(signals):
        if s is not None:
            out[s[0] - first:s[0] - first + len(s[1]), j] = s[1]
    return out, first


def test_results_equal_the_c_interface_exactly(sim):
    """Same library, same arithmetic: the matrices hold the library's samples bit for bit,
    shaped (samples, points | elements | transmit x receive) on the earliest start."""
    tx = small_probe(sim)
    rx = small_probe(sim, elements=6)
    rx.dynamic_focus()
    pts = axis_points(40)  # above 5 * threads: the split dispatcher runs
    rng = np.random.default_rng(1)
    scat = np.column_stack([rng.uniform(-2e-3, 2e-3, 30), np.zeros(30),
                            rng.uniform(8e-3, 2e-2, 30)])
    amp = rng.normal(size=30)
    cases = [("h", sim.calc_h, (tx,), pts), ("hp", sim.calc_hp, (tx,), pts),
             ("hhp", sim.calc_hhp, (tx, rx), pts)]
    for kind, calc, aps, p in cases:
        field = calc(*aps, p)
        ref, first = aligned(_core.direct(sim._state, kind, aps[0]._core, aps[-1]._core, p,
                                          np.ones(1), 1))
        assert field.data.shape == (ref.shape[0], len(p)), kind
        assert np.array_equal(field.data, ref), kind
        assert field.t0 == first / sim.fs and field.fs == sim.fs
        assert field.start_sample == first
    echo = sim.calc_scat(tx, rx, scat, amp)
    ref, first = aligned(_core.direct(sim._state, "scat", tx._core, rx._core, scat, amp, 1))
    assert echo.data.shape == (ref.shape[0],) and np.array_equal(echo.data, ref[:, 0])
    assert echo.start_sample == first
    multi = sim.calc_scat_multi(tx, rx, scat, amp)
    ref, first = aligned(_core.direct(sim._state, "scat_multi", tx._core, rx._core, scat, amp, 1))
    assert multi.data.shape == (ref.shape[0], 6) and np.array_equal(multi.data, ref)
    pairs = sim.calc_scat_all(tx, rx, scat, amp, decimation=3)
    ref, first = aligned(_core.direct(sim._state, "scat_all", tx._core, rx._core, scat, amp, 3))
    # The library's pairs come transmit-major: pair (t, r) is entry t * 6 + r.
    assert pairs.data.shape == (ref.shape[0], 8, 6)
    assert np.array_equal(pairs.data, ref.reshape(-1, 8, 6))
    assert pairs.fs == sim.fs / 3 and pairs.t0 == first / (sim.fs / 3)


def test_points_without_response_give_zero_columns(sim):
    probe = small_probe(sim)
    # At 0.1 mm an F-number of 2 leaves no element active; at 20 mm several are.
    probe.dynamic_apodization(2.0)
    pts = np.array([[0, 0, 0.02], [0, 0, 1e-4], [1e-3, 0, 0.02]])
    h = sim.calc_h(probe, pts)
    assert np.all(h.data[:, 1] == 0) and np.any(h.data[:, 0] != 0) and np.any(h.data[:, 2] != 0)
    probe.apodization(np.zeros(8))
    none = sim.calc_h(probe, pts)
    assert none.data.shape == (1, 3) and not np.any(none.data) and none.t0 == 0.0


def test_caller_arrays_are_not_changed(sim):
    """The scattering calls sort more than 10 scatterers and divide amplitudes by fs
    in place; both must happen on copies."""
    probe = small_probe(sim, elements=4)
    rng = np.random.default_rng(2)
    pts = np.column_stack([rng.uniform(-1e-3, 1e-3, 25), np.zeros(25), rng.uniform(5e-3, 2e-2, 25)])
    amp = rng.normal(size=25)
    pts_copy, amp_copy = pts.copy(), amp.copy()
    sim.calc_scat(probe, probe, pts, amp)
    sim.calc_scat_multi(probe, probe, pts, amp)
    sim.calc_scat_all(probe, probe, pts, amp)
    sim.calc_hp(probe, pts)
    assert np.array_equal(pts, pts_copy) and np.array_equal(amp, amp_copy)
    pts.flags.writeable = False  # read-only inputs are accepted
    sim.calc_scat(probe, probe, pts, amp)


def test_thread_counts_give_equal_results():
    fields = []
    for threads in (1, 2, 3, 4):
        s = sonvar.Simulator(threads=threads)
        probe = small_probe(s)
        fields.append(s.calc_hp(probe, axis_points(90, x=1e-3)))
    for f in fields[1:]:
        assert f.data.shape == fields[0].data.shape and f.t0 == fields[0].t0
        # Each point's transform length and pulse spectrum follow from that
        # point alone, so the split cannot change a single bit.
        assert np.array_equal(f.data, fields[0].data)


def test_batched_points_match_one_call(sim):
    probe = small_probe(sim)
    pts = axis_points(60)
    whole, start = _core.field(sim._state, 2, probe._core, None, pts)
    parts, start_parts = _core.field(sim._state, 2, probe._core, None, pts, batch=13)
    assert start == start_parts and whole.shape == parts.shape
    np.testing.assert_allclose(parts, whole, rtol=0, atol=1e-12 * np.abs(whole).max())


def test_library_failure_raises_and_the_simulator_stays_usable(sim):
    probe = small_probe(sim)
    before = sim.calc_hp(probe, axis_points(40))
    with pytest.raises(sonvar.SonvarError) as failure:
        sim._state.set("no_such_option", 1.0)  # past the Python check, into the library
    # The message alone: nothing ends, so nothing says "Fatal error".
    assert str(failure.value) == ("Trying to set option: no_such_option\n"
                                  "Error: Option not found in program")
    # A window kind the Python layer refuses fails inside the workers of a split run.
    probe._core.dynamic_apodization(7, 2.0, [0, 0, 0], [0, 0, 1])
    with pytest.raises(sonvar.SonvarError) as failure:
        sim.calc_hp(probe, axis_points(40))
    assert str(failure.value) == ("Internal error: Unknown apdoization function in dynamic "
                                  "apodization")
    probe.apodization(np.ones(8))
    after = sim.calc_hp(probe, axis_points(40))
    assert np.array_equal(before.data, after.data)


def test_quiet_by_default_and_lines_on_request(capfd, caplog):
    s = sonvar.Simulator(debug=1)
    small_probe(s).report()
    assert capfd.readouterr().out == ""
    lines = []
    s.set_output(lines.append)
    s.set("c", 1500)
    assert "Setting option c in program to  1500.0000 " in lines
    with caplog.at_level(logging.INFO, logger="sonvar"):
        s.set_output("logging")
        s.set("fs", 50e6)
    assert [r.getMessage() for r in caplog.records] == [
        "Setting option fs in program to 50000000.0000 "]
    assert capfd.readouterr().out == ""
    assert s.info().startswith("Current Sonvar configuration:\n\n")


def test_options_read_back(sim):
    sim.set("THREADS", 2.5)
    sim.attenuation(att=10.0, freq_att=50e-6, att_f0=5e6)
    sim.element_kind("triangles")
    assert (sim.threads, sim.get("use_att"), sim.get("freq_att")) == (3, 1, 50e-6)
    assert (sim.get("use_triangles"), sim.get("use_rectangles")) == (1, 0)
    assert sim.linear_array(2, 1e-3, 1e-3, 0).kind == "triangles"


@pytest.mark.parametrize("call, error, message", [
    (lambda s, p: s.calc_hp(p, np.zeros((4, 2))), ValueError,
     "points must have shape (n, 3), got (4, 2)"),
    (lambda s, p: s.calc_hp(p, [[0, 0, np.nan]]), ValueError,
     "points must hold finite values only"),
    (lambda s, p: s.calc_hp(p, np.zeros((0, 3))), ValueError,
     "points must hold at least one point"),
    (lambda s, p: s.calc_hp(p, [["a", "b", "c"]]), TypeError,
     "points must be a real numeric array, not dtype <U1"),
    (lambda s, p: s.calc_hp("probe", [0, 0, 1]), TypeError,
     "aperture must be an Aperture, not str"),
    (lambda s, p: s.calc_scat(p, p, [[0, 0, 0.01]], [1, 2]), ValueError,
     "amplitudes must hold 1 values, got 2"),
    (lambda s, p: s.calc_scat_all(p, p, [[0, 0, 0.01]], [1], decimation=0), ValueError,
     "decimation must be at least 1, got 0"),
    (lambda s, p: s.linear_array(0, 1e-3, 1e-3, 0), ValueError,
     "no_elements must be at least 1, got 0"),
    (lambda s, p: s.linear_array(2.5, 1e-3, 1e-3, 0), TypeError,
     "no_elements must be an integer, not float"),
    (lambda s, p: s.linear_array(2, -1e-3, 1e-3, 0), ValueError,
     "width must be above 0, got -0.001"),
    (lambda s, p: s.linear_array(2, 1e-3, 1e-3, 0, focus=(0, 0)), ValueError,
     "focus must hold 3 values (x, y, z), got shape (2,)"),
    (lambda s, p: p.element_apodization([0], [[1.0, 1.0]]), ValueError,
     "elements: element number 0 is outside 1 .. 8"),
    (lambda s, p: p.element_delay([9], [[0.0, 0.0]]), ValueError,
     "elements: element number 9 is outside 1 .. 8"),
    (lambda s, p: p.element_apodization([1], [[1.0]]), ValueError,
     "values: element 1 has 2 sub-elements, got 1 values"),
    (lambda s, p: p.element_waveform([1.0], [[1.0]]), TypeError,
     "elements must be integers (element numbers from 1), not dtype float64"),
    (lambda s, p: p.apodization(np.ones(7)), ValueError, "values must have 8 columns, got 7"),
    (lambda s, p: p.excitation([]), ValueError, "samples must hold at least 1 value(s)"),
    (lambda s, p: p.dynamic_apodization(2.0, window="boxcar"), ValueError,
     "window must be one of ('hanning', 'hamming', 'blackman'), got 'boxcar'"),
    (lambda s, p: s.set("speed", 1500), ValueError,
     "name: unknown option 'speed'; options are " + ", ".join(sonvar.OPTIONS)),
    (lambda s, p: s.set("fs", 0), ValueError, "fs must be above 0 Hz, got 0"),
    (lambda s, p: s.set("c", "fast"), TypeError, "c must be a real number, not str"),
    (lambda s, p: sonvar.Simulator().calc_h(p, [0, 0, 1]), ValueError,
     "aperture belongs to another Simulator"),
])
def test_argument_errors_name_the_argument(sim, call, error, message):
    probe = small_probe(sim)
    with pytest.raises(error) as raised:
        call(sim, probe)
    assert str(raised.value) == message

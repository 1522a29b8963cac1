"""Moving phantoms and ensembles over slow time, checked against closed forms and single
channel-data calls at each emission's time."""

import tracemalloc

import h5py
import numpy as np
import pytest

import sonvar
from sonvar import display, motion, pulses, sequence, uff
from sonvar.phantom import Phantom

FS = 50e6
C = 1540.0
BOX = dict(x_range=(-4e-3, 4e-3), y_range=(-0.5e-3, 0.5e-3), z_range=(16e-3, 24e-3))


def small_probe(sim, n=16):
    ap = sim.linear_array(n, 0.27e-3, 2e-3, 0.03e-3)
    ap.impulse(pulses.gaussian_pulse(5e6, 0.6, FS))
    ap.excitation(pulses.sine_burst(5e6, 1, FS))
    return ap


def test_motion_models_place_scatterers_at_each_time():
    p0 = np.array([[0.0, 0.0, 0.02], [1e-3, 0.0, 0.015]])
    v = np.array([[0.0, 0.0, -0.2], [0.1, 0.05, 0.0]])
    m = motion.constant_velocity(p0, [1.0, -2.0], v, static=Phantom([[0, 0, 0.01]], [3.0]))
    at = m.at(2.5e-3)
    np.testing.assert_allclose(at.points, np.vstack([[[0, 0, 0.01]], p0 + v * 2.5e-3]),
                               rtol=0, atol=1e-15)
    assert at.amplitudes.tolist() == [3.0, 1.0, -2.0]
    shared = motion.constant_velocity(p0, [1.0, 1.0], [0.0, 0.0, 0.1])
    np.testing.assert_allclose(shared.at(1e-3).points, p0 + [0, 0, 1e-4], rtol=0, atol=1e-15)

    wobble = motion.displaced(p0, [1.0, 1.0], lambda t: [0.0, 0.0, 1e-4 * np.sin(100 * t)])
    np.testing.assert_allclose(wobble.at(0.01).points, p0 + [0, 0, 1e-4 * np.sin(1.0)],
                               rtol=0, atol=1e-15)
    bad = motion.displaced(p0, [1.0, 1.0], lambda t: np.zeros((3, 3)))
    with pytest.raises(ValueError) as e:
        bad.at(1e-3)
    assert str(e.value) == ("displacement must return shape (3,) or (2, 3), got (3, 3) at "
                            "t = 0.001 s")

    frames = p0[None] + np.arange(3)[:, None, None] * [0.0, 0.0, 1e-5]
    held = motion.per_frame(frames, [1.0, 1.0])
    assert held.frames == 3
    np.testing.assert_array_equal(held.moving(7.0, frame=2).points, frames[2])
    sim = sonvar.Simulator(fs=FS)
    with pytest.raises(ValueError) as e:
        sim.ensemble(small_probe(sim), sequence.plane_waves(small_probe(sim), [0.0]), held, 4,
                     prf=1e3)
    assert str(e.value) == "frames: the phantom's positions hold 3 frames, got 4"


@pytest.mark.parametrize("profile", ["parabolic", "plug"])
def test_vessel_profile_reentry_amplitude_and_seed(profile):
    axis = np.array([1.0, 0.0, -1.0]) / np.sqrt(2)
    make = dict(BOX, center=(0, 0, 20e-3), axis=(1, 0, -1), radius=1.5e-3, peak_velocity=0.4,
                profile=profile, count=3000)
    v = motion.vessel(**make, rng=11)
    # The profile at distances 0, r/2, 0.9 r and outside the vessel, along the axis.
    across = np.array([0.0, 1.0, 0.0])
    pts = np.array([0, 0, 20e-3]) + np.outer([0.0, 0.75e-3, 1.35e-3, 1.6e-3], across)
    expected = [0.4, 0.3, 0.4 * 0.19, 0.0] if profile == "parabolic" else [0.4, 0.4, 0.4, 0.0]
    np.testing.assert_allclose(v.velocity(pts), np.outer(expected, axis), rtol=0, atol=1e-12)
    # No tissue inside the vessel; blood only inside it, its distance from the axis kept.
    assert not v.inside(v.static.points).any()

    def blood(t):
        p = v._place(t)  # every blood scatterer, in the box or not
        d = p - v.center
        s = d @ v.axis
        return s, np.linalg.norm(d - np.outer(s, v.axis), axis=1)
    s0, rho0 = blood(0.0)
    inside0 = len(v.moving(0.0))
    for t in (3e-3, 17e-3, 40e-3):  # up to several passes of the fastest scatterers
        s, rho = blood(t)
        np.testing.assert_allclose(rho, rho0, rtol=0, atol=1e-12)
        assert np.all((s >= v.s0 - 1e-12) & (s <= v.s0 + v.span + 1e-12))
        # Re-entry upstream keeps the density: the count in the box stays within 4 sigma.
        assert abs(len(v.moving(t)) - inside0) < 4 * np.sqrt(inside0), (t, len(v.moving(t)))
    # Plug flow: every scatterer moved by peak * t along the axis (modulo the stretch).
    if profile == "plug":
        s, _ = blood(3e-3)
        np.testing.assert_allclose(np.mod(s - s0 - 1.2e-3 + v.span / 2, v.span), v.span / 2,
                                   rtol=0, atol=1e-12)
    # Tissue 20 dB above the blood by default: the same draws scaled by 10^(-20/20).
    level = motion.vessel(**make, rng=11, tissue_db=0.0)
    np.testing.assert_allclose(v.weights, level.weights / 10.0, rtol=1e-15, atol=0)
    np.testing.assert_array_equal(v.static.amplitudes, level.static.amplitudes)
    again = motion.vessel(**make, rng=11)
    np.testing.assert_array_equal(again.at(5e-3).points, v.at(5e-3).points)
    np.testing.assert_array_equal(again.at(5e-3).amplitudes, v.at(5e-3).amplitudes)
    assert not np.array_equal(motion.vessel(**make, rng=12).points, v.points)


def test_rotating_disk_turns_rigidly():
    d = motion.rotating_disk(**BOX, center=(0, 0, 20e-3), radius=2e-3, angular_velocity=50.0,
                             count=2000, rng=3)
    p = np.array([[1e-3, 0.0, 20e-3], [3e-3, 0.0, 20e-3]])
    # omega * y x (p - c): at +x of the centre the disk moves towards -z (the probe).
    np.testing.assert_allclose(d.velocity(p), [[0, 0, -0.05], [0, 0, 0]], rtol=0, atol=1e-15)
    t = 0.01
    a, b = d._place(0.0) - d.center, d._place(t) - d.center
    angle = np.arctan2(b[:, 0], b[:, 2]) - np.arctan2(a[:, 0], a[:, 2])  # about +y
    np.testing.assert_allclose(np.angle(np.exp(1j * angle)), 50.0 * t, rtol=0, atol=1e-12)
    np.testing.assert_allclose(np.linalg.norm(b, axis=1), np.linalg.norm(a, axis=1), atol=1e-15)


def test_flow_phantoms_name_bad_arguments():
    good = dict(BOX, center=(0, 0, 20e-3), axis=(1, 0, 0), radius=1e-3, peak_velocity=0.3,
                count=100)
    cases = [
        (dict(center=(0, 0, 40e-3)), "center: the vessel's axis does not pass through the "
         "phantom's box (x -0.004..0.004, y -0.0005..0.0005, z 0.016..0.024 m)"),
        (dict(radius=-1e-3), "radius must be above 0, got -0.001"),
        (dict(peak_velocity=float("nan")), "peak_velocity must be finite, got nan"),
        (dict(profile="turbulent"), "profile must be one of parabolic, plug, got 'turbulent'"),
        (dict(axis=(0, 0, 0)), "axis must be a direction (not zero)"),
    ]
    for change, text in cases:
        with pytest.raises(ValueError) as e:
            motion.vessel(**dict(good, **change))
        assert str(e.value) == text
    with pytest.raises(ValueError) as e:
        motion.rotating_disk(**BOX, center=(0, 0, 0.03), radius=1e-3, angular_velocity=1.0)
    assert str(e.value) == ("center: the disk's centre [0.0, 0.0, 0.03] m lies outside the "
                            "phantom's box")


def test_ensemble_fires_each_transmit_at_its_time_on_one_axis():
    """Each transmit of each frame equals one channel-data call with the scatterers where they
    are (f * transmits + w) / prf after the first emission; static scatterers included."""
    sim = sonvar.Simulator(fs=FS, threads=2)
    probe = small_probe(sim)
    seq = sequence.plane_waves(probe, np.radians([-5.0, 5.0]))
    p0 = np.array([[0.5e-3, 0.0, 12e-3], [-1e-3, 0.0, 15e-3]])
    vel = np.array([[0.0, 0.0, -3.0], [2.0, 0.0, 4.0]])  # large: 1 mm per ms
    still = Phantom([[0.0, 0.0, 10e-3], [1.5e-3, 0.0, 18e-3]], [0.7, -1.3])
    moving = motion.constant_velocity(p0, [1.0, 0.5], vel, static=still)
    prf = 2e3
    cd = sim.ensemble(probe, seq, moving, 3, prf=prf)
    assert cd.data.shape[1:] == (16, 2, 3) and cd.prf == prf and cd.frames == 3
    for f in range(3):
        for w in range(2):
            at = moving.at((f * 2 + w) / prf)
            one = sim.channel_data(probe, sequence.Sequence([seq[w]]), at.points, at.amplitudes)
            shift = int(round((one.initial_time - cd.initial_time) * FS))
            assert shift >= 0 and shift + one.samples <= cd.samples  # the axis holds them all
            mine = cd.data[shift:shift + one.samples, :, w, f]
            scale = np.abs(one.data).max()
            assert np.abs(mine - one.data[:, :, 0]).max() < 1e-12 * scale, (f, w)
            # Nothing else on the axis.
            rest = np.delete(cd.data[:, :, w, f], np.s_[shift:shift + one.samples], axis=0)
            assert np.abs(rest).max(initial=0.0) < 1e-12 * scale


def phase_steps(cd, v, prf):
    """The phase steps between frames of element 8's echo (next to the axis: cos of its angle
    1 - 5e-5) and the step 4 pi f v / (c PRF) of a scatterer moving away at v, with f the echo's
    own mean frequency (centroid of its power spectrum)."""
    rf = cd.data[:, 7, 0, :]
    a = display.analytic(rf, axis=0)
    steps = np.angle(np.sum(np.conj(a[:, :-1]) * a[:, 1:], axis=0))
    spectrum = np.abs(np.fft.rfft(rf[:, 0])) ** 2
    f_mean = np.sum(spectrum * np.fft.rfftfreq(len(rf), 1 / FS)) / spectrum.sum()
    return steps, -4 * np.pi * f_mean * v / (C * prf)  # moving away: the phase falls


def test_axial_motion_turns_the_phase_by_4_pi_f_v_over_c_prf():
    """The mean phase step between frames of an echo moving away from the array. By default
    each step alone is off by the placement of a scatterer's echo in whole samples (up to half
    a sample at 50 MHz, 0.3 rad); over many frames those errors do not add up (they telescope),
    so the mean step over 100 frames is right to 1e-2 rad."""
    sim = sonvar.Simulator(fs=FS, threads=2)
    probe = small_probe(sim)
    v, prf, frames = 0.05, 5e3, 101
    moving = motion.constant_velocity([[0.0, 0.0, 15e-3]], [1.0], [0.0, 0.0, v])
    cd = sim.ensemble(probe, sequence.plane_waves(probe, [0.0]), moving, frames, prf=prf)
    steps, expected = phase_steps(cd, v, prf)
    assert abs(steps.mean() - expected) < 1e-2, (steps.mean(), expected)


def test_band_limited_echoes_turn_by_4_pi_f_v_over_c_prf_every_frame():
    """With band-limited sampling the echo moves continuously with the scatterer, so every
    step between frames, not only their mean, is the phase a displacement of v / PRF gives
    (here 0.65 samples a frame), to 1e-3 rad."""
    sim = sonvar.Simulator(fs=FS, threads=2, band_limited=1)
    probe = small_probe(sim)
    v, prf, frames = 0.05, 5e3, 9
    moving = motion.constant_velocity([[0.0, 0.0, 15e-3]], [1.0], [0.0, 0.0, v])
    cd = sim.ensemble(probe, sequence.plane_waves(probe, [0.0]), moving, frames, prf=prf)
    steps, expected = phase_steps(cd, v, prf)
    assert np.abs(steps - expected).max() < 1e-3, steps - expected


def test_ensemble_streams_to_uff_with_its_prf(tmp_path):
    sim = sonvar.Simulator(fs=FS, threads=2)
    probe = small_probe(sim)
    seq = sequence.plane_waves(probe, [0.0], prf=4e3)  # the sequence's own PRF
    moving = motion.constant_velocity([[0.0, 0.0, 12e-3]], [1.0], [0.0, 0.0, -0.3],
                                      static=Phantom([[1e-3, 0, 14e-3]], [0.5]))
    kept = sim.ensemble(probe, seq, moving, 48)
    slab = kept.data[:, :, 0, 0].nbytes
    sim.ensemble(probe, seq, moving, 2, path=tmp_path / "warm.uff")  # modules loaded
    tracemalloc.start()
    assert sim.ensemble(probe, seq, moving, 48, path=tmp_path / "e.uff") is not None
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 8 * slab, (peak, slab)  # 48 frames are never held (a few transmits are)
    back = uff.read(tmp_path / "e.uff")
    np.testing.assert_array_equal(back.data, kept.data)
    with h5py.File(tmp_path / "e.uff", "r") as f:
        assert f["channel_data/data"].shape == (48, 1, 16, kept.samples)  # N_frames first
        assert f["channel_data/PRF"][()].tolist() == [[4e3]]


def test_too_low_a_prf_warns_and_a_still_phantom_is_allowed():
    sim = sonvar.Simulator(fs=FS)
    probe = small_probe(sim)
    v = motion.vessel(**BOX, center=(0, 0, 20e-3), axis=(1, 0, 0), radius=1e-3,
                      peak_velocity=1.0, count=20, rng=1)
    with pytest.warns(motion.MotionWarning) as w:
        sim.ensemble(probe, sequence.plane_waves(probe, [0.0]), v, 2, prf=100.0)
    assert str(w[0].message) == (
        "peak_velocity: the blood moves 10 mm between frames (10 ms apart), more than the "
        "vessel's 8 mm in the phantom: the frames do not follow the flow (raise the PRF)")
    still = sim.ensemble(probe, sequence.plane_waves(probe, [0.0]),
                         Phantom([[0, 0, 15e-3]], [1.0]), 3, prf=1e3)
    assert np.array_equal(still.data[..., 0], still.data[..., 2])

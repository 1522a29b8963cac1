"""Pulse shapes, field reductions, phantoms, display and convex imaging."""

import numpy as np
import pytest

import sonvar
from sonvar import display, field, imaging, phantom, pulses

FS = 100e6


def test_pulses_have_the_asked_spectrum_and_centre():
    p = pulses.gaussian_pulse(5e6, 0.6, FS)
    assert len(p) % 2 == 1
    spectrum = np.abs(np.fft.rfft(p, 1 << 16))
    f = np.fft.rfftfreq(1 << 16, 1 / FS)
    above = f[spectrum >= spectrum.max() / 2]
    # -6 dB band 5 MHz +- 30 %, within the 1.5 kHz bin and the cut's ripple.
    assert above.min() == pytest.approx(3.5e6, rel=0.01)
    assert above.max() == pytest.approx(6.5e6, rel=0.01)
    even = pulses.gaussian_pulse(5e6, 0.6, FS, phase=np.pi / 2)
    assert np.argmax(even) == (len(even) - 1) // 2
    burst = pulses.sine_burst(5e6, 2, FS)
    assert len(burst) == 41 and burst[0] == 0 and abs(burst[-1]) < 1e-12
    assert pulses.center_delay(FS, p, burst, p) == ((len(p) - 1) + 20) / FS


def test_reductions_of_known_signals():
    t = np.arange(200) / FS
    data = np.column_stack([np.sin(2 * np.pi * 5e6 * t), 2 * np.ones(200), np.zeros(200)])
    f = sonvar.Field(data, 0.0, FS)
    np.testing.assert_allclose(field.peak(f), [1.0, 2.0, 0.0], atol=1e-12)
    np.testing.assert_allclose(field.rms(f), [np.sqrt(0.5), 2.0, 0.0], atol=1e-12)
    np.testing.assert_allclose(field.energy(f), [100 / FS, 800 / FS, 0.0], rtol=1e-12)
    # Gaussian profile: -6 dB full width 2 s sqrt(2 ln 2) (ln 2: -6.02 dB is 1/2).
    x = np.linspace(-5e-3, 5e-3, 1001)
    s = 0.4e-3
    level = 20 * np.log10(0.5)
    width = field.beam_width(np.exp(-x ** 2 / (2 * s ** 2)), x, level)
    assert width == pytest.approx(2 * s * np.sqrt(2 * np.log(2)), rel=1e-4)
    start, end, length = field.depth_of_field(np.exp(-(x - 1e-3) ** 2 / (2 * s ** 2)), x, level)
    assert (start + end) / 2 == pytest.approx(1e-3, abs=1e-8) and length == pytest.approx(width)
    assert np.isnan(field.beam_width(np.ones(5), np.arange(5.0)))


def test_phantom_speckle_cysts_and_targets():
    ph = phantom.speckle(20000, (-1e-3, 1e-3), (0, 1e-3), (0.01, 0.02), rng=3)
    assert ph.points.shape == (20000, 3) and np.all(ph.points[:, 2] >= 0.01)
    assert abs(ph.amplitudes.mean()) < 0.03 and ph.amplitudes.std() == pytest.approx(1, abs=0.03)
    cyst = ph.with_cyst((0, 0, 0.015), 0.5e-3)
    d = np.hypot(cyst.points[:, 0], cyst.points[:, 2] - 0.015)
    assert np.all(d > 0.5e-3)
    # A cylinder of radius 0.5 mm through the 2 mm x 10 mm section removes ~pi/80 of it.
    assert len(ph) - len(cyst) == pytest.approx(20000 * np.pi * 0.25 / 20, rel=0.1)
    both = cyst.with_points([[0, 0, 0.015]], 7.0)
    assert len(both) == len(cyst) + 1 and both.amplitudes[-1] == 7.0
    assert phantom.scatterers_for_density((2, 2, 2), 10, (1, 1, 1)) == 80


def test_display_chain():
    t = np.arange(4000) / FS
    env_true = np.exp(-((t - 20e-6) / 2e-6) ** 2)
    rf = env_true * np.cos(2 * np.pi * 5e6 * t)
    np.testing.assert_allclose(display.envelope(rf), env_true, atol=1e-3)
    db = display.log_compress(np.array([1.0, 0.1, 1e-6]), 40)
    np.testing.assert_allclose(db, [0, -20, -40])
    gained = display.time_gain(np.ones((3, 2)), [0, 0.01, 0.02], 100.0)
    np.testing.assert_allclose(gained[:, 0], [1, 10 ** 0.05, 10 ** 0.1])
    # A sector image of r * cos(angle) resampled at Cartesian pixels gives z - apex.
    radii = np.linspace(0.01, 0.05, 81)
    angles = np.linspace(-0.5, 0.5, 41)
    image = radii[:, None] * np.cos(angles)[None, :]
    out = display.scan_convert(image, radii, angles, [0.0, 0.01, 0.03], [0.0, 0.02], apex=-0.02)
    assert np.all(np.isnan(out[:, 2]))  # beyond 0.5 rad
    np.testing.assert_allclose(out[:, :2], [[0.02, 0.02], [0.04, 0.04]], rtol=2e-4)


def test_convex_imager_puts_a_target_on_its_line():
    sim = sonvar.Simulator(fs=50e6)
    imp = pulses.gaussian_pulse(4e6, 0.6, sim.fs)
    exc = pulses.sine_burst(4e6, 1, sim.fs)
    radius = 0.04
    imager = imaging.ConvexImager(sim, 96, 0.4e-3, 5e-3, 0.05e-3, radius, 32, imp, exc, 0.03)
    angle = 3 * imager.pitch + 0.004  # between element lines, off the array's middle
    depth = 0.03
    target = [(radius + depth) * np.sin(angle), 0, (radius + depth) * np.cos(angle) - radius]
    angles = angle + np.arange(-4, 5) * imager.pitch / 2
    rf = imager.image(phantom.Phantom(np.array([target]), np.ones(1)), angles)
    env = display.envelope(rf.data)
    row, col = np.unravel_index(np.argmax(env), env.shape)
    assert col == 4
    assert rf.ranges(sim.c)[row] == pytest.approx(depth, abs=0.1e-3)


def test_phased_imager_puts_a_target_on_its_line_and_array_2d_takes_a_float_mask():
    sim = sonvar.Simulator(fs=50e6)
    imp = pulses.gaussian_pulse(4e6, 0.6, sim.fs)
    exc = pulses.sine_burst(4e6, 1, sim.fs)
    imager = imaging.PhasedImager(sim, 32, 0.2e-3, 4e-3, 0.02e-3, 32, imp, exc, 0.025)
    angle, depth = 0.15, 0.025
    target = [depth * np.sin(angle), 0, depth * np.cos(angle)]
    angles = angle + np.arange(-3, 4) * 0.03
    rf = imager.image(phantom.Phantom(np.array([target]), np.ones(1)), angles)
    env = display.envelope(rf.data)
    row, col = np.unravel_index(np.argmax(env), env.shape)
    assert col == 3
    assert rf.ranges(sim.c)[row] == pytest.approx(depth, abs=0.1e-3)
    mask = np.array([[1.0, 0.0], [1.0, 1.0]])
    ap = sim.array_2d(0.3e-3, 0.3e-3, 0.05e-3, 0.05e-3, mask)
    assert ap.no_elements == 3
    np.testing.assert_array_equal(
        ap.element_centers, sim.array_2d(0.3e-3, 0.3e-3, 0.05e-3, 0.05e-3,
                                         mask.astype(bool)).element_centers)
    with pytest.raises(ValueError, match="^enabled: float flags must be 0 or 1$"):
        sim.array_2d(0.3e-3, 0.3e-3, 0.05e-3, 0.05e-3, mask * 0.5)

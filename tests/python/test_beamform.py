"""The beamformer from Python: against a delay-and-sum written here in numpy, on echoes
the simulator computes for point targets (positions and lateral widths), the IQ and
B-mode chain, refused input, and the job runner's synthetic-aperture image."""

import doctest
import json

import h5py
import numpy as np
import pytest

import sonvar
from sonvar import beamform, cli, display, field, imaging, pulses, sequence, uff
from sonvar.beamform import CartesianGrid, ChannelData, PolarGrid, Wave

C, F0 = 1540.0, 5e6
LAMBDA = C / F0


# ---- A plain delay-and-sum in numpy ---------------------------------------------------

def tau_tx(w, p, positions):
    s = np.asarray(w.source, float)
    r = np.linalg.norm(p - s, axis=-1)
    if w.kind == "plane":
        return (p[:, 2] * np.cos(w.azimuth) * np.cos(w.elevation) +
                p[:, 0] * np.sin(w.azimuth) * np.cos(w.elevation) +
                p[:, 1] * np.sin(w.elevation)) / C
    if w.kind == "diverging":
        return (r - np.linalg.norm(s)) / C
    if w.kind == "focused":
        return np.where(p[:, 2] < s[2], np.linalg.norm(s) - r, np.linalg.norm(s) + r) / C
    if w.kind == "element":
        return (np.linalg.norm(s) + r) / C
    arrival = w.delays[None, :] + np.linalg.norm(p[:, None] - positions[None], axis=2) / C
    return arrival.min(axis=1)


def numpy_das(cd, points, f_number, window="rect", tau=None):
    """Elements in a row along x facing +z, linear interpolation, no transmit apodization;
    tau(transmit, points) the transmit time, s (default tau_tx - delay); (pixels,) result."""
    data, pos = np.asarray(cd.data), cd.element_positions
    if tau is None:
        def tau(w, p):
            return tau_tx(w, p, pos) - w.delay
    n = data.shape[0]
    lateral = points[:, None, 0] - pos[None, :, 0]
    half = (points[:, None, 2] - pos[None, :, 2]) / (2 * f_number)
    rho = lateral / np.where(half > 0, half, 1)
    weight = ((np.abs(lateral) <= half) & (half > 0)).astype(float)
    if window == "hanning":
        weight *= 0.5 + 0.5 * np.cos(np.pi * rho)
    total = np.zeros(len(points), complex)
    for w, wave in enumerate(cd.sequence):
        k = (tau(wave, points)[:, None] + np.linalg.norm(points[:, None] - pos[None], axis=2) / C -
             cd.initial_time) * cd.fs
        inside = (k >= 0) & (k < n - 1)
        j = np.clip(np.floor(k).astype(int), 0, n - 2)
        u = k - j
        trace = data[:, :, w]
        v = (1 - u) * trace[j, np.arange(len(pos))] + u * trace[j + 1, np.arange(len(pos))]
        if np.iscomplexobj(data):
            v = v * np.exp(2j * np.pi * cd.modulation_frequency * (cd.initial_time + k / cd.fs))
        total += np.sum(np.where(inside, v, 0) * weight, axis=1)
    return total if np.iscomplexobj(data) else total.real


def linear_positions(n, pitch):
    x = (np.arange(n) - (n - 1) / 2) * pitch
    return np.column_stack([x, 0 * x, 0 * x])


def test_das_equals_a_numpy_delay_and_sum():
    rng = np.random.default_rng(4)
    pos = linear_positions(24, 0.3e-3)
    waves = [Wave.plane(0.15, delay=-0.2e-6), Wave.diverging((1e-3, 0, -6e-3), delay=0.3e-6),
             Wave.focused((0.0, 0.0, 12e-3)), Wave.element(pos[5]),
             Wave.custom(1e-7 * np.cos(np.arange(24)))]
    grid = CartesianGrid(x=np.linspace(-4.1e-3, 3.9e-3, 23), z=np.linspace(2.3e-3, 21.7e-3, 29))
    points = grid.points().reshape(-1, 3)
    for dtype, window in ((float, "rect"), (complex, "hanning")):
        data = rng.uniform(-1, 1, (700, 24, 5, 2))
        if dtype is complex:
            data = data + 1j * rng.uniform(-1, 1, data.shape)
        cd = ChannelData(data, 20e6, pos, waves, initial_time=0.7e-6,
                         modulation_frequency=4e6 if dtype is complex else 0.0)
        image = beamform.das(cd, grid, f_number=1.3, window=window, transmit_apodization=False)
        assert image.dims == ("frame", "z", "x") and image.data.shape == (2, 29, 23)
        for frame in (0, 1):
            one = ChannelData(data[..., frame], 20e6, pos, waves, initial_time=0.7e-6,
                              modulation_frequency=cd.modulation_frequency)
            ref = numpy_das(one, points, 1.3, window).reshape(grid.shape)
            assert np.abs(image.data[frame] - ref).max() <= 1e-10 * np.abs(ref).max()
    # One image per transmit sums to the compound image; a list of points is a grid too.
    apart = beamform.das(cd, grid, f_number=1.3, compound=False, threads=3)
    assert apart.dims == ("frame", "transmit", "z", "x") and apart.data.shape == (2, 5, 29, 23)
    together = beamform.das(cd, grid, f_number=1.3)
    np.testing.assert_allclose(apart.data.sum(axis=1), together.data, rtol=0,
                               atol=1e-12 * np.abs(together.data).max())
    listed = beamform.das(cd, grid.points()[::2], f_number=1.3)
    assert listed.data.shape == (2, 15, 23)
    assert np.array_equal(listed.data, together.data[:, ::2])


def test_sequence_transmits_are_read_at_their_true_transmit_time(tmp_path):
    """das of the sequence layer's transmits equals a numpy delay-and-sum at the sequence
    layer's own true transmit time, time_of_flight(p) - delay (a custom transmit without a
    source: the first arrival of its firing delays), as made and as read from a UFF file without
    this package's sequence: the diverging source within 1 mm of the array, the element more
    than 1 mm behind it and custom waves naming a source included; random samples."""
    rng = np.random.default_rng(8)
    x = (np.arange(24) - 11.5) * 0.3e-3
    pos = np.column_stack([x, 0 * x, np.where(np.abs(x) > 2.5e-3, -1.5e-3, 0.0)])
    named = [sequence.Transmit(np.zeros(24), np.ones(24), "custom", source=s)
             for s in ((0, 0, 0), (1e-3, 0, -3e-3), (0, 0, -0.4e-3), (-1e-3, 0, 9e-3))]
    seq = sequence.Sequence(
        sequence.plane_waves(pos, [0.1]).transmits
        + sequence.diverging_waves(pos, [(0, 0, -0.5e-3), (1e-3, 0, -6e-3)]).transmits
        + sequence.focused_waves(pos, [(0.5e-3, 0, 12e-3)], active=12).transmits
        + sequence.synthetic_aperture(pos, [1, 12]).transmits
        + sequence.custom(rng.uniform(-1e-6, 1e-6, (1, 24)),
                          (rng.uniform(size=(1, 24)) > 0.3).astype(float)).transmits
        + tuple(named))
    assert seq[1].delay > 0 and seq[4].delay < 0  # both readings that need a wave delay
    made = sonvar.channel.ChannelData(rng.uniform(-1, 1, (900, 24, len(seq))), 20e6, 0.7e-6, C,
                                      pos, seq)
    uff.write(tmp_path / "cd.uff", made)
    with h5py.File(tmp_path / "cd.uff", "a") as f:
        del f["sonvar"]
    foreign = uff.read(tmp_path / "cd.uff")
    assert [t.kind for t in foreign.sequence][4:8] == ["element", "element", "custom", "custom"]

    def true_time(t, p):
        if t.kind == "custom" and t.source is None:
            on = t.apodization != 0
            return (t.delays[on] + np.linalg.norm(p[:, None] - pos[None, on], axis=2) / C).min(1)
        return t.time_of_flight(p, C) - t.delay
    grid = CartesianGrid(x=np.linspace(-4.1e-3, 3.9e-3, 23), z=np.linspace(2.3e-3, 21.7e-3, 29))
    points = grid.points().reshape(-1, 3)
    for cd in (made, foreign):
        image = beamform.das(cd, grid, f_number=1.3, transmit_apodization=False).data
        ref = numpy_das(cd, points, 1.3, tau=true_time).reshape(grid.shape)
        assert np.abs(image - ref).max() <= 1e-10 * np.abs(ref).max()


# ---- Echoes of point targets from the simulator ----------------------------------------

FS = 50e6
IMPULSE = pulses.gaussian_pulse(F0, 0.6, FS)
EXCITATION = pulses.sine_burst(F0, 1, FS)
LAG = pulses.center_delay(FS, IMPULSE, EXCITATION, IMPULSE)


def firing_delays(wave, pos):
    """The elements' firing times after the transmit's time zero (docs/imaging.md)."""
    s = np.asarray(wave.source, float)
    if wave.kind == "plane":
        return (pos[:, 0] * np.sin(wave.azimuth) * np.cos(wave.elevation) +
                pos[:, 1] * np.sin(wave.elevation)) / C
    if wave.kind == "diverging":
        return (np.linalg.norm(pos - s, axis=1) - np.linalg.norm(s)) / C
    if wave.kind == "focused":
        return (np.linalg.norm(s) - np.linalg.norm(pos - s, axis=1)) / C
    return np.full(len(pos), np.linalg.norm(s) / C)


def acquire(make_probe, waves, targets):
    """calc_scat_multi per transmit with the delays set by hand and zero receive delays:
    the echoes on the transmit's own clock, so each wave's delay is minus the pulse lag."""
    sim = sonvar.Simulator(fs=FS, c=C, threads=2)
    tx, rx = make_probe(sim), make_probe(sim)
    for ap in (tx, rx):
        ap.impulse(IMPULSE)
        ap.excitation(EXCITATION)
    pos = rx.element_centers
    rx.focus_times(np.zeros(len(pos)))
    fields = []
    for w in waves:
        fires = np.ones(len(pos)) if w.kind != "element" else \
            (np.linalg.norm(pos - np.asarray(w.source), axis=1) < 1e-9).astype(float)
        tx.apodization(fires)
        tx.focus_times(firing_delays(w, pos))
        fields.append(sim.calc_scat_multi(tx, rx, targets, np.ones(len(targets))))
    first = min(f.start_sample for f in fields)
    rows = max(f.start_sample + len(f.data) for f in fields) - first
    data = np.zeros((rows, len(pos), len(waves)))
    for i, f in enumerate(fields):
        data[f.start_sample - first:f.start_sample - first + len(f.data), :, i] = f.data
    waves = [Wave(w.kind, w.azimuth, w.elevation, w.source, -LAG) for w in waves]
    return ChannelData(data, FS, pos, waves, initial_time=first / FS, sound_speed=C)


def linear_probe(sim):
    return sim.linear_array(48, 0.27e-3, 1e-3, 0.03e-3)  # elements 1 mm high


def matrix_probe(sim):
    # 7.2 mm across: the steered plane waves are formed at the targets' depths.
    return sim.array_2d(0.27e-3, 0.27e-3, 0.03e-3, 0.03e-3, np.ones((24, 24), int))


def half_maximum_centre(values, positions):
    """Middle of the -6 dB extent of a profile around its maximum (linear crossings); NaN when
    the extent leaves the profile."""
    top = np.argmax(values)
    level = values[top] / 2
    lo, hi = top, top
    while lo > 0 and values[lo - 1] > level:
        lo -= 1
    while hi < len(values) - 1 and values[hi + 1] > level:
        hi += 1
    if lo == 0 or hi == len(values) - 1:
        return np.nan

    def cross(a, b):
        return positions[a] + (level - values[a]) / (values[b] - values[a]) * (positions[b] -
                                                                               positions[a])
    return (cross(lo - 1, lo) + cross(hi + 1, hi)) / 2


def peak_position(cd, target, f_number, volume=False, **options):
    """Where the IQ images of a target land, m from it: the middle of the -6 dB extent along x,
    y and z through its maximum (the maximum alone moves with the elements entering the
    aperture); (images, axes), one image unless `options` (of das) keep transmits apart."""
    lateral = np.arange(-100, 101) * 10e-6
    axial = np.arange(-100, 101) * 5e-6
    found = []
    for axis in ("x", "y", "z") if volume else ("x", "z"):
        axes = {a: np.array([target["xyz".index(a)]]) for a in "xyz"}
        axes[axis] = target["xyz".index(axis)] + (axial if axis == "z" else lateral)
        grid = CartesianGrid(x=axes["x"], z=axes["z"], y=axes["y"] if volume else None)
        image = np.abs(beamform.das(cd, grid, f_number=f_number, iq=True,
                                    modulation_frequency=F0, **options).data)
        found.append([half_maximum_centre(row, axes[axis])
                      for row in image.reshape(-1, len(axes[axis]))])
    return np.array(found).T - (target if volume else target[[0, 2]])


TARGETS_2D = np.array([[0.4e-3, 0.0, 9e-3], [-2.1e-3, 0.0, 14e-3]])


@pytest.mark.parametrize("name,waves", [
    ("plane", [Wave.plane(a) for a in (-0.12, 0.0, 0.12)]),
    ("diverging", [Wave.diverging((x, 0.0, -8e-3)) for x in (-3e-3, 0.0, 3e-3)]),
    ("focused", [Wave.focused((0.4e-3, 0.0, 9e-3)), Wave.focused((-2.1e-3, 0.0, 14e-3))]),
    ("element", "every third element")])
def test_point_targets_land_within_a_twentieth_of_a_wavelength_in_2d(name, waves):
    if waves == "every third element":
        sim = sonvar.Simulator(fs=FS)
        waves = [Wave.element(p) for p in linear_probe(sim).element_centers[::3]]
    cd = acquire(linear_probe, waves, TARGETS_2D)
    for target in TARGETS_2D:
        error = np.linalg.norm(peak_position(cd, target, 1.5))
        assert error <= LAMBDA / 20, (name, target, error / LAMBDA)


def test_point_targets_land_within_a_twentieth_of_a_wavelength_in_3d():
    targets = np.array([[0.5e-3, -0.3e-3, 7e-3], [-0.8e-3, 0.9e-3, 12e-3]])
    waves = [Wave.plane(a, e) for a in (-0.06, 0.06) for e in (-0.06, 0.06)] + \
        [Wave.diverging((x, 0.0, -6e-3)) for x in (-1e-3, 1e-3)]
    cd = acquire(matrix_probe, waves, targets)
    for target in targets:
        error = peak_position(cd, target, 1.0, volume=True)
        assert np.linalg.norm(error) <= LAMBDA / 20, (target, error / LAMBDA)


# ---- Channel data of the sequence layer: simulated, and through UFF files -------------------

def half_wavelength_probe(sim, array):
    """Elements 1 mm high at half a wavelength (so that a diverging wave from just behind the
    array forms without grating lobes): 64 in a row, or 96 on an arc of radius 20 mm whose outer
    elements lie more than 1 mm behind its apex."""
    if array == "linear":
        probe = sim.linear_array(64, 0.13e-3, 1e-3, 0.02e-3)
    else:
        probe = sim.convex_array(96, 0.13e-3, 1e-3, 0.02e-3, 20e-3)
    probe.impulse(IMPULSE)
    probe.excitation(EXCITATION)
    return probe


def sequence_of(kind, probe):
    if kind == "plane":
        return sequence.plane_waves(probe, [-0.12, 0.0, 0.12])
    if kind == "diverging":  # the middle source 0.5 mm behind the array: its wave delay 2|s|/c
        return sequence.diverging_waves(probe, [(-3e-3, 0, -8e-3), (0, 0, -0.5e-3),
                                                (3e-3, 0, -8e-3)],
                                        apodization=imaging.window(probe.no_elements, "hanning"))
    if kind == "focused":  # one transmit per target, focused 8 mm beyond it
        return sequence.focused_waves(probe, TARGETS_2D + [0, 0, 8e-3])
    if kind == "custom":  # plane waves as delay vectors: the first arrival
        return sequence.custom(sequence.plane_waves(probe, [-0.12, 0.0, 0.12]).delays)
    n = probe.no_elements
    return sequence.synthetic_aperture(probe, list(range(1, n + 1, 4)) + [n])


@pytest.mark.parametrize("array", ["linear", "convex"])
def test_sequence_channel_data_put_targets_in_place_for_every_kind(tmp_path, array):
    """Simulator.channel_data of plane, diverging (one source 0.5 mm behind the array), focused,
    single-element (on the convex array elements more than 1 mm behind the apex) and custom
    transmits, beamformed as simulated, after a UFF round trip, and from the file without this
    package's own sequence (as USTB writes it; custom delays do not survive that): every target
    within a twentieth of a wavelength in the compound image (focused: each transmit on its own
    target), and at its depth within a twentieth of a wavelength in the image of each transmit
    alone (transmit apodization off: only the time decides; the lateral centre of one unfocused
    wave's image also follows the receive aperture's symmetry)."""
    sim = sonvar.Simulator(fs=FS, threads=2)
    probe = half_wavelength_probe(sim, array)
    if array == "convex":
        assert np.count_nonzero(probe.element_centers[:, 2] < -1e-3) >= 8
    worst = {}
    for kind in ("plane", "diverging", "focused", "element", "custom"):
        seq = sequence_of(kind, probe)
        cd = sim.channel_data(probe, seq, TARGETS_2D, np.ones(len(TARGETS_2D)))
        path = tmp_path / f"{kind}.uff"
        uff.write(path, cd)
        sources = {"simulated": cd, "file": uff.read(path)}
        if kind != "custom":
            with h5py.File(path, "a") as f:
                del f["sonvar"]
            sources["foreign file"] = uff.read(path)
        for name, data in sources.items():
            iq = beamform.demodulate(data, F0)
            for k, target in enumerate(TARGETS_2D):
                apart = peak_position(iq, target, 1.5, compound=False, transmit_apodization=False)
                if kind == "focused":
                    together, depth = np.linalg.norm(apart[k]), 0.0
                else:
                    together = np.linalg.norm(peak_position(iq, target, 1.5)[0])
                    depth = np.max(np.abs(apart[:, 1]))
                for measure, error in (("compound", together), ("depth alone", depth)):
                    key = (kind, name, measure)
                    worst[key] = np.maximum(worst.get(key, 0.0), error)  # keeps a NaN
    print(f"{array}: worst target error, wavelengths: " + ", ".join(
        f"{kind} {name} {measure} {error / LAMBDA:.3f}" for (kind, name, measure), error in
        worst.items()))
    assert all(error <= LAMBDA / 20 for error in worst.values()), worst  # NaN fails too


def test_phased_sector_of_a_mixed_sequence_puts_the_target_in_place():
    """A phased array (64 elements at half a wavelength) fires steered plane waves and a
    diverging wave in one sequence; das on a polar sector about the array's centre and its
    scan-converted B-mode put a target 20 degrees off the axis at its place."""
    sim = sonvar.Simulator(fs=FS, threads=2)
    probe = half_wavelength_probe(sim, "linear")
    seq = sequence.Sequence(sequence.plane_waves(probe, [0.2, 0.35, 0.5]).transmits +
                            sequence.diverging_waves(probe, [(0, 0, -3e-3)]).transmits)
    target = 12e-3 * np.array([np.sin(0.35), 0.0, np.cos(0.35)])
    cd = sim.channel_data(probe, seq, target[None], [1.0])
    grid = PolarGrid(radii=np.linspace(11e-3, 13e-3, 201), azimuths=np.linspace(0.25, 0.45, 101))
    b = display.bmode(beamform.das(cd, grid, iq=True), dynamic_range=40, pixel_size=0.02e-3)
    row, col = np.unravel_index(np.argmax(b.db), b.db.shape)
    assert abs(b.x[col] - target[0]) <= 0.03e-3 and abs(b.z[row] - target[2]) <= 0.02e-3


@pytest.mark.parametrize("name", ["synthetic aperture", "plane-wave sweep"])
def test_lateral_width_is_the_wavelength_times_the_f_number(name):
    sim = sonvar.Simulator(fs=FS)
    if name == "synthetic aperture":
        waves = [Wave.element(p) for p in linear_probe(sim).element_centers]
    else:
        waves = [Wave.plane(a) for a in np.linspace(-0.25, 0.25, 21)]
    cd = acquire(linear_probe, waves, TARGETS_2D)
    for target in TARGETS_2D:
        x = target[0] + np.arange(-300, 301) * 2.5e-6
        image = beamform.das(cd, CartesianGrid(x=x, z=[target[2]]), f_number=1.5, iq=True,
                             modulation_frequency=F0)
        width = field.beam_width(np.abs(image.data[0]), x)
        assert width == pytest.approx(LAMBDA * 1.5, rel=0.10), (name, target)


# ---- IQ, envelope and B-mode ---------------------------------------------------------

def test_iq_demodulation_gives_the_envelope_at_a_lower_rate():
    fs, t0 = 80e6, 3e-6
    t = t0 + np.arange(1200) / fs
    envelope = np.exp(-((t - 10e-6) / 0.4e-6) ** 2) + 0.5 * np.exp(-((t - 14e-6) / 0.3e-6) ** 2)
    rf = envelope * np.cos(2 * np.pi * 5.5e6 * t + 0.3)
    iq, fs_out = display.iq_demodulate(np.column_stack([rf, -rf]), fs, 5e6, t0=t0,
                                       decimation=4)
    assert iq.shape == (300, 2) and fs_out == 20e6
    np.testing.assert_allclose(np.abs(iq[:, 0]), envelope[::4], atol=2e-3)
    # The phase left after mixing turns at the 0.5 MHz offset, referred to t = 0.
    k = np.argmin(np.abs(t[::4] - 10e-6))
    assert np.angle(iq[k, 0]) == pytest.approx(
        np.angle(np.exp(1j * (2 * np.pi * 0.5e6 * t[::4][k] + 0.3))), abs=2e-3)
    np.testing.assert_allclose(iq[:, 1], -iq[:, 0], atol=1e-12)
    with pytest.raises(ValueError, match=r"^decimation: fs / 9 = 8.88889e\+06 Hz is below the "
                                         r"bandwidth of 1e\+07 Hz$"):
        display.iq_demodulate(rf, fs, 5e6, decimation=9)
    cd = ChannelData(rf[:, None, None], fs, [[0.0, 0.0, 0.0]], [Wave.plane(0.0)],
                     initial_time=t0)
    assert beamform.center_frequency(rf, fs) == pytest.approx(5.5e6, rel=0.02)
    down = beamform.demodulate(cd, 5e6, decimation=2)
    assert down.fs == 40e6 and down.modulation_frequency == 5e6 and cd.fs == fs
    np.testing.assert_allclose(down.data[:, 0, 0], display.iq_demodulate(
        rf, fs, 5e6, t0=t0, decimation=2)[0], rtol=0, atol=0)


def test_bmode_of_a_convex_sector_puts_the_target_in_place():
    # A convex array (radius 20 mm), synthetic aperture, a polar grid about the centre of
    # curvature; the scan-converted B-mode peaks at the target.
    def convex(sim):
        return sim.convex_array(32, 0.4e-3, 1e-3, 0.05e-3, 20e-3)
    sim = sonvar.Simulator(fs=FS)
    pos = convex(sim).element_centers
    target = np.array([[2e-3, 0.0, 10e-3]])
    cd = acquire(convex, [Wave.element(p) for p in pos[::2]], target)
    cd.element_theta = np.arctan2(pos[:, 0], pos[:, 2] + 20e-3)
    grid = PolarGrid(radii=np.linspace(25e-3, 35e-3, 401), azimuths=np.linspace(-0.3, 0.3, 121),
                     apex=(0, 0, -20e-3))
    image = beamform.das(cd, grid, f_number=1.5)
    assert image.dims == ("radius", "azimuth") and np.isrealobj(image.data)
    b = display.bmode(image, dynamic_range=40, tgc=50.0, pixel_size=0.05e-3)
    row, col = np.unravel_index(np.argmax(b.db), b.db.shape)
    assert abs(b.x[col] - 2e-3) <= 0.05e-3 and abs(b.z[row] - 10e-3) <= 0.05e-3
    assert -0.5 < b.db.max() <= 0 and b.db.min() == -40
    with pytest.raises(ValueError, match="one image of the grid's shape"):
        display.bmode(beamform.das(cd, grid, compound=False))


# ---- Refused input -------------------------------------------------------------------

def test_bad_input_is_refused_naming_the_argument():
    pos = linear_positions(8, 0.3e-3)
    data = np.zeros((100, 8, 1))
    cd = ChannelData(data, 20e6, pos, [Wave.plane(0.0)])
    grid = CartesianGrid(x=[0.0, 1e-3], z=[5e-3, 6e-3])
    cases = [
        (dict(f_number=0), "f_number must be above 0, got 0.0"),
        (dict(window="hamming"), "window must be one of rect, hanning, tukey, got 'hamming'"),
        (dict(channel_data=ChannelData(data, 20e6, pos[:7], [Wave.plane(0.0)])),
         "channel_data.element_positions holds 7 elements for 8 channels of data"),
        (dict(channel_data=ChannelData(data, 20e6, pos, [Wave.plane(0.0)] * 2)),
         "channel_data.sequence holds 2 transmits for 1 in the data"),
        (dict(channel_data=ChannelData(np.where(np.arange(100)[:, None, None] == 7, np.nan, data),
                                       20e6, pos, [Wave.plane(0.0)])),
         "channel_data.data: not finite (nan) at sample 7, channel 0, transmit 0, frame 0"),
        (dict(channel_data=ChannelData(data, 20e6, np.where(pos == pos[3, 0], np.inf, pos),
                                       [Wave.plane(0.0)])),
         "channel_data.element_positions must hold finite values only"),
        (dict(channel_data=ChannelData(data, 20e6, pos, [Wave.diverging((0, 0, 1e-3))])),
         "channel_data.sequence[0].source: a diverging wave's virtual source must lie behind "
         "the array "
         "(z < 0), got z = 0.001"),
        (dict(max_image_bytes=31), "grid: the image would need 32 bytes (4 pixels x 1 images x "
                                   "1 frames x 8 bytes), more than the limit of 31 bytes"),
        (dict(grid=CartesianGrid(x=np.zeros(2 ** 20), z=np.zeros(2 ** 20), y=np.zeros(2 ** 10))),
         "grid: the image would need 9007199254740992 bytes (1125899906842624 pixels x 1 images "
         "x 1 frames x 8 bytes), more than the limit of"),
    ]
    for changes, text in cases:
        args = dict(channel_data=cd, grid=grid)
        args.update(changes)
        with pytest.raises(ValueError) as raised:
            beamform.das(**args)
        assert str(raised.value).startswith(text), str(raised.value)
    with pytest.raises(TypeError, match="channel_data.data must be a numeric array"):
        beamform.das(ChannelData(data.astype(object), 20e6, pos, [Wave.plane(0.0)]), grid)
    streamed = sonvar.channel.ChannelData(None, 20e6, 0.0, C, pos, sequence.plane_waves(pos, [0]))
    with pytest.raises(ValueError) as raised:
        beamform.das(streamed, grid)
    assert str(raised.value) == ("channel_data holds no samples (they were written to a file; "
                                 "read it with sonvar.uff.read)")


# ---- The job runner's synthetic aperture and the modules' examples ----------------------

def test_synthetic_aperture_job_image_is_the_numpy_delay_and_sum_of_its_data(tmp_path):
    """The runner's image against a numpy delay-and-sum of the channel data it wrote: each
    emission's analytic signal read at (|e| + |p - e| + |p - r|) / c - delay (the file's wave
    delay) on the file's time axis, within the emitting element's F-number cone, a Hanning
    receive window; the image's axes are the grid's."""
    table = np.array([[0.5e-3, 0, 12e-3, 1.0], [-1e-3, 0, 15e-3, 0.7]])
    np.save(tmp_path / "ph.npy", table)
    # Steps of no round size: no pixel on the edge of an aperture (where rounding decides).
    grid = {"x": {"start": -2e-3, "stop": 2e-3, "count": 80},
            "z": {"start": 10e-3, "stop": 17e-3, "count": 140}}
    job = {"command": "image", "fs": FS, "threads": 2,
           "probe": {"kind": "linear_array", "no_elements": 16, "width": 0.27e-3,
                     "height": 1e-3, "kerf": 0.03e-3},
           "impulse": {"shape": "gaussian_pulse", "f0": F0, "bandwidth": 0.6},
           "excitation": {"shape": "sine_burst", "f0": F0, "cycles": 1},
           "image": {"mode": "synthetic_aperture", "bmode": {"dynamic_range": 60},
                     "beamform": {"f_number": 1.5, "window": "hanning", "grid": grid}},
           "phantom": {"file": str(tmp_path / "ph.npy")},
           "output": {"path": str(tmp_path / "sa.h5")}, "plot": {"enabled": False}}
    (tmp_path / "sa.json").write_text(json.dumps(job))
    assert cli.main(["image", str(tmp_path / "sa.json"), "-q"]) == 0
    with h5py.File(tmp_path / "sa.h5", "r") as f:
        data = f["channel_data/data"][0]  # (emissions, channels, samples)
        t0 = f["channel_data/initial_time"][0, 0]
        delays = [f[f"channel_data/sequence/sequence_{e + 1:04d}/delay"][0, 0] for e in range(16)]
        x, z, db = f["bmode/x"][()], f["bmode/z"][()], f["bmode/image"][()]
        assert list(f["bmode/image"].attrs["axes"]) == ["z", "x"]
        assert (f["bmode"].attrs["window"], f["bmode"].attrs["f_number"]) == ("hanning", 1.5)
    assert np.array_equal(x, np.linspace(-2e-3, 2e-3, 80))
    assert np.array_equal(z, np.linspace(10e-3, 17e-3, 140))
    pos = linear_positions(16, 0.3e-3)
    zz, xx = np.meshgrid(z, x, indexing="ij")
    points = np.column_stack([xx.ravel(), 0 * xx.ravel(), zz.ravel()])
    total = 0
    for e in range(16):
        # The emitting element's own F-number cone limits where it counts.
        reach = np.abs(points[:, 0] - pos[e, 0]) <= points[:, 2] / 3
        cd = ChannelData(display.analytic(data[e].T)[:, :, None], FS, pos,
                         [Wave.element(pos[e], delay=delays[e])], initial_time=t0)
        total = total + reach * numpy_das(cd, points, 1.5, "hanning")
    expected = display.log_compress(np.abs(total).reshape(len(z), len(x)), 60)
    assert np.abs(db - expected).max() <= 1e-9
    row, col = np.unravel_index(np.argmax(db), db.shape)
    assert abs(x[col] - 0.5e-3) <= 0.051e-3 and abs(z[row] - 12e-3) <= 0.051e-3


@pytest.mark.parametrize("module", [beamform, display])
def test_docstring_examples_run(module):
    assert doctest.testmod(module).failed == 0

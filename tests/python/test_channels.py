"""Transmit sequences, channel data and UFF files, checked against independent sums."""

import math

import h5py
import numpy as np
import pytest
from scipy.signal import hilbert

import sonvar
from sonvar import imaging, pulses, sequence, uff
from sonvar.channel import ChannelData

FS = 50e6
C = 1540.0
WAVELENGTH = C / 5e6


def make_sim(threads=2):
    return sonvar.Simulator(fs=FS, threads=threads)


def with_pulses(ap):
    ap.impulse(pulses.gaussian_pulse(5e6, 0.6, FS))
    ap.excitation(pulses.sine_burst(5e6, 1, FS))
    return ap


def linear(sim, n=48, height=1e-3, **kw):
    return with_pulses(sim.linear_array(n, 0.27e-3, height, 0.03e-3, **kw))


def convex(sim, n=48, radius=0.02):
    return with_pulses(sim.convex_array(n, 0.27e-3, 1e-3, 0.03e-3, radius))


def scatterers(n, seed=5):
    rng = np.random.default_rng(seed)
    return (np.column_stack([rng.uniform(-4e-3, 4e-3, n), rng.uniform(-1e-3, 1e-3, n),
                             rng.uniform(6e-3, 20e-3, n)]), rng.normal(size=n))


def by_hand(sim, probe, transmit, points, amplitudes):
    """calc_scat_multi with the transmit's delays and weights set on a fresh copy of the probe's
    geometry and a receive copy focused nowhere: (samples, channels) from absolute sample
    start."""
    tx, rx = [with_pulses(sim.rectangles(*probe_table(probe))) for _ in range(2)]
    tx.focus_times(transmit.delays)
    tx.apodization(transmit.apodization)
    rx.focus_times(np.zeros(rx.no_elements))
    return sim.calc_scat_multi(tx, rx, points, amplitudes)


def probe_table(ap):
    t = ap.table("rectangles")
    return (np.column_stack([t[:, 0] + 1, t[:, 10:22], t[:, 4], t[:, 2], t[:, 3], t[:, 7:10]]),
            ap.element_centers)


def channels_of(cd, w, field):
    """The rows of transmit w that a Field starting at its own sample covers."""
    lag = pulses.center_delay(FS, pulses.gaussian_pulse(5e6, 0.6, FS),
                              pulses.sine_burst(5e6, 1, FS), pulses.gaussian_pulse(5e6, 0.6, FS))
    first = int(round((cd.initial_time + lag) * FS))
    s = field.start_sample - first
    assert 0 <= s and s + field.data.shape[0] <= cd.samples
    rest = np.delete(cd.data[:, :, w], np.s_[s:s + field.data.shape[0]], axis=0)
    return cd.data[s:s + field.data.shape[0], :, w], rest


def test_channel_data_equals_the_per_element_echoes_with_the_delays_set_by_hand(tmp_path):
    """Plane, diverging, focused and single-element transmits on a linear array: each channel
    is calc_scat_multi's echo to 1e-12 of the peak, zero elsewhere; the probe's own focus is
    neither used nor changed; 1 and 2 threads give the same bits; the streamed file holds the
    same samples."""
    points, amplitudes = scatterers(60)
    results = []
    for threads in (1, 2):
        sim = make_sim(threads)
        probe = linear(sim, 20, focus=(0, 0, 0.02))
        seq = sequence.Sequence(
            sequence.plane_waves(probe, [0.15]).transmits
            + sequence.diverging_waves(probe, [[1e-3, 0, -5e-3]]).transmits
            + sequence.focused_waves(probe, [[1e-3, 0, 12e-3]], active=12,
                                     window="hanning").transmits
            + sequence.synthetic_aperture(probe, [4]).transmits)
        before = probe.table("focus")
        cd = sim.channel_data(probe, seq, points, amplitudes)
        assert np.array_equal(probe.table("focus"), before)
        results.append(cd.data)
    assert np.array_equal(results[0], results[1])
    for w, t in enumerate(seq):
        ref = by_hand(sim, probe, t, points, amplitudes)
        inside, outside = channels_of(cd, w, ref)
        peak = np.abs(ref.data).max()
        assert np.abs(inside - ref.data).max() <= 1e-12 * peak, t.kind
        assert not np.any(outside), t.kind
    cd2 = sim.channel_data(probe, seq, points, amplitudes, path=tmp_path / "s.uff", single=True)
    assert cd2.data is None
    back = uff.read(tmp_path / "s.uff")
    assert back.data.dtype == np.float32 and back.initial_time == cd.initial_time
    assert np.array_equal(back.data, cd.data.astype(np.float32))


def tof_ustb(wavefront, source_point, c, p):
    """USTB's delay-and-sum transmit distance/c (midprocess das.m), from the file's wave fields:
    wavefront 0 plane, 1 spherical; source (distance, azimuth, elevation)."""
    distance, az, el = source_point
    if wavefront == 0 or math.isinf(distance):
        return (p[:, 2] * math.cos(az) * math.cos(el) + p[:, 0] * math.sin(az) * math.cos(el)
                + p[:, 1] * math.sin(el)) / c
    s = distance * np.array([math.sin(az) * math.cos(el), math.sin(el),
                             math.cos(az) * math.cos(el)])
    d = np.linalg.norm(p - s, axis=1) * np.where(p[:, 2] < s[2], -1, 1)
    return (d - distance if s[2] < -1e-3 else d + distance) / c


def das_locate(path, target, waves):
    """Envelope peak of a delay-and-sum around a target, m: the data, time axis and element
    positions from sonvar.uff.read, every wave's wavefront, source, sound speed and delay from
    the file's uff.wave objects; samples at time_of_flight + |p - r| / c - delay."""
    cd = uff.read(path)
    with h5py.File(path, "r") as f:
        seq = f["channel_data/sequence"]
        groups = [seq[k] for k in sorted(seq) if k.startswith("sequence_")] or [seq]
        fields = [(int(g["wavefront"][0, 0]), [g[f"source/{k}"][0, 0] for k in
                  ("distance", "azimuth", "elevation")], g["sound_speed"][0, 0],
                   g["delay"][0, 0]) for g in groups]
    xs = target[0] + np.arange(-0.15e-3, 0.1501e-3, 0.005e-3)
    zs = target[2] + np.arange(-0.15e-3, 0.1501e-3, 0.005e-3)
    X, Z = np.meshgrid(xs, zs)
    pix = np.column_stack([X.ravel(), np.full(X.size, target[1]), Z.ravel()])
    analytic = hilbert(cd.data, axis=0)
    total = np.zeros(len(pix), complex)
    rows = np.arange(cd.data.shape[1])
    for w in waves:
        wavefront, source, c, delay = fields[w]
        tau = (tof_ustb(wavefront, source, c, pix) - delay)[:, None] + np.linalg.norm(
            pix[:, None, :] - cd.element_positions[None], axis=2) / cd.sound_speed
        k = (tau - cd.initial_time) * cd.fs
        k0 = np.clip(np.floor(k).astype(int), 0, cd.samples - 2)
        u = k - k0
        total += ((1 - u) * analytic[k0, rows, w] + u * analytic[k0 + 1, rows, w]).sum(axis=1)
    i, j = np.unravel_index(np.argmax(np.abs(total)), X.shape)
    return np.array([xs[j], target[1], zs[i]])


TARGETS = np.array([[-2e-3, 0, 12e-3], [1.5e-3, 0, 18e-3], [0.5e-3, 0, 24e-3]])


def transmits(kind, probe, radius):
    if kind == "plane":
        return sequence.plane_waves(probe, np.radians([-10, 0, 10]))
    if kind == "diverging":  # the middle source within 1 mm of the array (its wave delay 2|s|/c)
        return sequence.diverging_waves(probe, [[-3e-3, 0, -8e-3], [0, 0, -0.5e-3],
                                                [3e-3, 0, -8e-3]])
    if kind == "focused":  # one line through each target, focused at 18 mm
        lines = np.arctan2(TARGETS[:, 0], TARGETS[:, 2] + radius) if radius else TARGETS[:, 0]
        return sequence.focused_waves(probe, sequence.line_foci(lines, 0.018, radius > 0, radius),
                                      active=32, window="hanning")
    # Single elements: on the convex array the outer ones lie more than 1 mm behind the apex.
    return sequence.synthetic_aperture(probe, [1, 12, 24, 37, 48])


@pytest.mark.parametrize("array", ["linear", "convex"])
def test_uff_file_beamformed_by_the_ustb_formula_puts_targets_in_place(tmp_path, array):
    """Channel data written to UFF, read back, and beamformed with USTB's time of flight from the
    file's own wave fields: every point target within a tenth of a wavelength, for each kind of
    transmit (the focused lines each beamformed alone, on its own target)."""
    sim = make_sim()
    radius = 0.02 if array == "convex" else 0.0
    probe = convex(sim) if radius else linear(sim)
    errors = {}
    for kind in ("plane", "diverging", "focused", "element"):
        seq = transmits(kind, probe, radius)
        path = tmp_path / f"{kind}.uff"
        uff.write(path, sim.channel_data(probe, seq, TARGETS, np.ones(len(TARGETS))))
        errors[kind] = [np.linalg.norm(das_locate(path, t, [k] if kind == "focused" else
                                                  range(len(seq))) - t)
                        for k, t in enumerate(TARGETS)]
    worst = {k: max(v) / WAVELENGTH for k, v in errors.items()}
    print(f"{array}: worst target error in wavelengths {worst}")
    assert all(v <= 0.1 for v in worst.values()), worst
    if radius:  # the outer elements took the diverging reading's correction
        with h5py.File(tmp_path / "element.uff", "r") as f:
            delay = f["channel_data/sequence/sequence_0001/delay"][0, 0]
        e = probe.element_centers[0]
        assert e[2] < -1e-3 and delay == pytest.approx(-2 * np.linalg.norm(e) / C, rel=1e-12)


def test_sequence_delays_follow_their_wavefronts():
    """Each constructor's delays against the wave it makes: the wavefront reaches every element
    at its firing time (plane waves on a convex array too), the focused wave reaches its focus at
    |s| / c from every active element, the windows equal imaging.window on a row."""
    sim = make_sim(1)
    for probe in (convex(sim, 32, 0.02), with_pulses(sim.array_2d(
            0.3e-3, 0.3e-3, 0.02e-3, 0.02e-3, np.ones((6, 5))))):
        e = probe.element_centers
        pw = sequence.plane_waves(probe, [-0.2, 0.3], elevations=[0.0, 0.1])
        assert len(pw) == 4 and pw[3].elevation == 0.1 and pw[3].azimuth == 0.3
        for t in pw:  # the plane through each element at its firing time passes (0,0,0) at 0
            np.testing.assert_allclose(t.time_of_flight(e, C), t.delays, atol=1e-18)
        s = np.array([1e-3, 0.5e-3, -6e-3])
        dw = sequence.diverging_waves(probe, [s])[0]
        np.testing.assert_allclose(dw.delays + np.linalg.norm(e - s, axis=1) * 0,
                                   (np.linalg.norm(e - s, axis=1) - np.linalg.norm(s)) / C)
        f = np.array([0.5e-3, 0.0, 15e-3])
        fw = sequence.focused_waves(probe, [f], active=10)[0]
        arrival = fw.delays + np.linalg.norm(e - f, axis=1) / C
        on = fw.apodization > 0
        assert on.sum() == 10
        np.testing.assert_allclose(arrival[on], np.linalg.norm(f) / C, rtol=1e-12)
        nearest = np.sort(np.linalg.norm(e - f, axis=1))
        assert np.all(np.linalg.norm(e[on] - f, axis=1) <= nearest[9])
    row = linear(sim, 16).element_centers
    for window in ("hanning", "hamming"):
        w = sequence.focused_waves(row, [[0, 0, 0.02]], active=16, window=window)[0].apodization
        np.testing.assert_allclose(w, imaging.window(16, window), atol=1e-12)
    sa = sequence.synthetic_aperture(row, [3])[0]
    assert sa.delays[2] == pytest.approx(np.linalg.norm(row[2]) / C)
    assert np.count_nonzero(sa.apodization) == 1 and sa.delay == 0.0
    p = np.array([[1e-3, 0, 10e-3], [0, 0, 30e-3]])
    np.testing.assert_allclose(sa.time_of_flight(p, C), (np.linalg.norm(row[2]) + np.linalg.norm(
        p - row[2], axis=1)) / C)


BAD_SEQUENCES = [
    (lambda e: sequence.plane_waves(e, [np.radians(90)]), ValueError,
     "azimuths: steering angles must lie within +-90 degrees, got 90 degrees"),
    (lambda e: sequence.plane_waves(e, [0.0], elevations=[-2.0]), ValueError,
     "elevations: steering angles must lie within +-90 degrees, got -114.592 degrees"),
    (lambda e: sequence.diverging_waves(e, [[0, 0, 0.01]]), ValueError,
     "sources: a virtual source must lie behind the array (z < 0), got z = 0.01 m"),
    (lambda e: sequence.focused_waves(e, [[0, 0, -0.01]]), ValueError,
     "foci: a focus must lie in front of the array (z > 0), got z = -0.01 m"),
    (lambda e: sequence.custom([[0.0, np.nan, 0.0, 0.0]]), ValueError,
     "delays must hold finite values only"),
    (lambda e: sequence.custom(np.zeros((2, 4)), np.ones((2, 3))), ValueError,
     "apodizations must have the shape of delays (2, 4), got (2, 3)"),
    (lambda e: sequence.Sequence(()), ValueError,
     "transmits: a sequence needs at least one transmit"),
    (lambda e: sequence.Transmit(np.zeros(4), np.ones(3)), ValueError,
     "apodization must hold one weight per element (4), got 3"),
]


def test_bad_sequences_and_channel_data_are_refused_naming_the_argument(tmp_path):
    e = linear(make_sim(1), 4).element_centers
    for make, error, text in BAD_SEQUENCES:
        with pytest.raises(error) as caught:
            make(e)
        assert str(caught.value) == text
    sim = make_sim(1)
    probe = linear(sim, 4)
    path = tmp_path / "never.uff"
    cases = [
        (sequence.plane_waves(linear(sim, 5), [0.0]), [[0, 0, 0.01]], [1.0], ValueError,
         "sequence: its transmits have 5 delays and weights, the probe 4 elements"),
        (sequence.plane_waves(probe, [0.0]), [[0, 0, np.inf]], [1.0], ValueError,
         "points must hold finite values only"),
        ("plane", [[0, 0, 0.01]], [1.0], TypeError, "sequence must be a Sequence, not str"),
        (sequence.plane_waves(probe, [0.0]), [[0, 0, 0.01]] * 2, [1e308] * 2, ValueError,
         "amplitudes: the echoes of transmit 0 overflow (largest |amplitude| 1e+308); scale "
         "them down"),
    ]
    for seq, points, amplitudes, error, text in cases:
        with pytest.raises(error) as caught:
            sim.channel_data(probe, seq, points, amplitudes, path=path)
        assert str(caught.value) == text
    assert list(tmp_path.iterdir()) == []


def test_uff_layout_and_round_trip(tmp_path):
    """The fields USTB defines, with their classes; strings, PRF, frames, IQ and single precision;
    a file without this package's own sequence group reads its waves as USTB describes them."""
    sim = make_sim(1)
    probe = convex(sim, 8, 0.02)
    seq = sequence.focused_waves(probe, [[0, 0, 0.01], [1e-3, 0, 0.012]], active=5)
    seq = sequence.Sequence(seq.transmits, prf=4000.0)
    cd = sim.channel_data(probe, seq, [[0, 0, 0.01]], [1.0], texts={"author": "me"})
    path = tmp_path / "a.uff"
    uff.write(path, cd)
    with h5py.File(path, "r") as f:
        g = f["channel_data"]
        assert f.attrs["version"] == "v1.2.0"
        expected = {"sampling_frequency", "initial_time", "sound_speed", "modulation_frequency",
                    "PRF", "data", "probe", "pulse", "sequence", "name", "author", "version",
                    "info"}
        assert set(g) == expected
        for name in expected - {"probe", "pulse", "sequence", "name", "author", "version",
                                "info"}:
            assert g[name].attrs["class"] == "double" and list(g[name].attrs["complex"]) == [0]
        assert g["PRF"][()] == [[4000.0]] and g["data"].shape == (1, 2, 8, cd.samples)
        probe_g = g["probe"]
        assert probe_g.attrs["class"] == "uff.curvilinear_array"
        assert set(probe_g) == {"geometry", "origin", "N", "pitch", "radius", "element_width",
                                "element_height", "name", "author", "version"}
        assert probe_g["radius"][0, 0] == pytest.approx(0.02)
        wave = g["sequence/sequence_0002"]
        assert (wave.attrs["class"], list(wave.attrs["size"])) == ("uff.wave", [1, 1])
        assert {"wavefront", "source", "origin", "apodization", "sound_speed", "delay",
                "event"} <= set(wave)
        assert wave["wavefront"].attrs["class"] == "uff.wavefront" and wave["wavefront"][0, 0] == 1
        assert wave["event"][0, 0] == 2 and wave["origin/distance"][0, 0] == 0
        np.testing.assert_array_equal(wave["apodization/apodization_vector"][0],
                                      seq[1].apodization)
        assert "".join(map(chr, g["author/author_0001"][:, 0])) == "me"
        assert g["author"].attrs["class"] == "cell"
        assert g["pulse/center_frequency"][0, 0] == pytest.approx(cd.center_frequency)
    back = uff.read(path)
    assert back.prf == 4000.0 and back.texts["author"] == "me" and back.probe.kind == "convex"
    np.testing.assert_array_equal(back.sequence.delays, seq.delays)
    np.testing.assert_array_equal(back.element_positions, cd.element_positions)
    with h5py.File(path, "a") as f:  # as USTB would write it: no sonvar group
        del f["sonvar"]
    ustb = uff.read(path)
    assert [t.kind for t in ustb.sequence] == ["focused", "focused"]
    np.testing.assert_allclose(ustb.sequence.delays, seq.delays, atol=1e-18)
    np.testing.assert_allclose(ustb.sequence[1].source, seq[1].source, atol=1e-15)
    # Frames and IQ data: a fourth axis and real and imaginary parts.
    iq = ChannelData(cd.data[:, :, :, None] * (1 + 2j) * np.ones(3), FS, 1e-6, C,
                     cd.element_positions, seq, modulation_frequency=5e6)
    uff.write(tmp_path / "iq.uff", iq, single=True)
    with h5py.File(tmp_path / "iq.uff", "r") as f:
        d = f["channel_data/data"]
        assert list(d.attrs["complex"]) == [1] and d["real"].shape == (3, 2, 8, cd.samples)
        assert d["imag"].dtype == np.float32 and d["imag"].attrs["class"] == "single"
    back = uff.read(tmp_path / "iq.uff")
    assert back.frames == 3 and back.modulation_frequency == 5e6
    np.testing.assert_allclose(back.data, iq.data.astype(np.complex64), rtol=1e-6)

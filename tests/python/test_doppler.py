"""Colour and power Doppler: clutter filters against least squares and the Butterworth closed
form, the estimator against ensembles of known motion, a simulated plug flow end to end, and
the job file's Doppler maps."""

import json
import subprocess
from pathlib import Path

import h5py
import numpy as np
import pytest
from scipy import signal

import sonvar
from sonvar import beamform, cli, doppler, jobs, motion, preflight, pulses, sequence

C, F0, T = 1540.0, 5e6, 1e-4
Z = 15e-3 + np.arange(64) * 20e-6


def test_regression_filter_is_the_least_squares_residual():
    rng = np.random.default_rng(1)
    t = np.arange(10.0)
    x = rng.normal(size=(10, 4, 3)) + 1j * rng.normal(size=(10, 4, 3))
    for order in (0, 1, 3):
        y = doppler.regression_filter(x, order=order)
        flat = x.reshape(10, -1)
        fitted = np.column_stack([np.polyval(np.polyfit(t, flat[:, j], order), t)
                                  for j in range(flat.shape[1])])
        np.testing.assert_allclose(y.reshape(10, -1), flat - fitted, rtol=0, atol=1e-12)
        # A polynomial of the order's degree vanishes; one degree more does not.
        poly = np.polyval(rng.normal(size=order + 1), t / 10)[:, None] * (1 + 2j)
        assert np.abs(doppler.regression_filter(poly, order=order)).max() < 1e-12
        above = doppler.regression_filter((t / 10) ** (order + 1), order=order)
        assert np.abs(above).max() > 1e-3
    moved = doppler.regression_filter(np.moveaxis(x, 0, 2), order=1, axis=2)
    np.testing.assert_allclose(np.moveaxis(moved, 2, 0), doppler.regression_filter(x, order=1),
                               rtol=0, atol=1e-12)
    with pytest.raises(ValueError) as e:
        doppler.regression_filter(x[:4], order=3)
    assert str(e.value) == "order: a polynomial of degree 3 leaves nothing of 4 frames (at most 2)"


def test_iir_highpass_is_butterworth_and_starts_without_transient():
    rate, cutoff = 5e3, 400.0
    for order in (1, 2, 4):
        b, a = doppler.butterworth_highpass(order, cutoff, rate)
        b_ref, a_ref = signal.butter(order, cutoff / (rate / 2), "highpass")
        np.testing.assert_allclose(b, b_ref, rtol=1e-10, atol=1e-14)
        np.testing.assert_allclose(a, a_ref, rtol=1e-10, atol=1e-14)
        f = np.array([100.0, cutoff, 1000.0, 2499.0])
        _, h = signal.freqz(b, a, worN=f, fs=rate)
        closed = 1 / (1 + (np.tan(np.pi * cutoff / rate) / np.tan(np.pi * f / rate)) ** (2 * order))
        np.testing.assert_allclose(np.abs(h) ** 2, closed, rtol=1e-9)
    n = np.arange(24)
    # Projection initialization: a constant and a linear trend leave nothing (order 2).
    trend = (3.0 - 1j) + 0.5 * n
    assert np.abs(doppler.iir_filter(trend, cutoff, rate, order=2)).max() < 1e-10
    # A tone well above the cutoff keeps its power to the filter's gain there.
    tone = np.exp(2j * np.pi * 1500.0 * n / rate)
    out = doppler.iir_filter(tone[:, None], cutoff, rate, order=2)[:, 0]
    gain = 1 / (1 + (np.tan(np.pi * cutoff / rate) / np.tan(np.pi * 1500.0 / rate)) ** 4)
    assert abs(np.mean(np.abs(out[8:]) ** 2) / gain - 1) < 0.02
    with pytest.raises(ValueError) as e:
        doppler.butterworth_highpass(2, 2500.0, rate)
    assert str(e.value) == "cutoff must lie below half the rate (2500 Hz), got 2500 Hz"


def moving_ramp(v, f=F0, frames=8, columns=3):
    """The analytic image of echoes that move towards the probe at v: the pixel at depth z of
    frame n holds the phase 2 pi f (2 z / c - tau_n) with the echo's two-way time tau_n
    falling by 2 v T / c per frame."""
    n = np.arange(frames)[:, None, None]
    return np.exp(2j * np.pi * f * (2 * Z[None, :, None] / C + 2 * v * n * T / C)) \
        * np.ones((1, 1, columns))


def test_velocity_frequency_sign_and_aliasing_of_known_motion():
    limit = C / (4 * F0 * T)  # 0.77 m/s
    for v in (0.3, -0.5, 0.95 * limit):
        maps = doppler.estimate(moving_ramp(v), T, C, z=Z, clutter="none", kernel=(3, 1),
                                center_frequency=F0)
        assert np.abs(maps.velocity - v).max() < 1e-9 * limit, v
        assert maps.aliasing_velocity == pytest.approx(limit, rel=1e-12)
        assert not maps.mask.any()
    aliased = doppler.estimate(moving_ramp(1.2 * limit), T, C, z=Z, clutter="none",
                               kernel=(3, 1), center_frequency=F0)
    np.testing.assert_allclose(aliased.velocity, (1.2 - 2) * limit, rtol=1e-9)
    # The echo's own mean frequency, not the nominal one, scales the velocity.
    low = doppler.estimate(moving_ramp(0.3, f=4e6), T, C, z=Z, clutter="none", kernel=(3, 1),
                           center_frequency=F0)
    np.testing.assert_allclose(low.frequency, 4e6, rtol=1e-9)
    np.testing.assert_allclose(low.velocity, 0.3, rtol=1e-9)
    assert low.aliasing_velocity == pytest.approx(C / (4 * 4e6 * T), rel=1e-9)


def test_speckle_moving_in_static_clutter():
    """Speckle of random scatterers moving towards the probe, alone and under static clutter
    40 dB above it: the estimate without filter lies within 0.5 %; the regression filter takes
    the clutter out to rounding (the map equals that of the speckle alone, filtered)."""
    rng = np.random.default_rng(4)
    z_s, a_s = rng.uniform(Z[0] - 1e-3, Z[-1] + 1e-3, 300), rng.normal(size=(300, 6))
    width = 0.2e-3  # the pulse's envelope, m of depth

    def image(shift):
        d = Z[:, None] - z_s + shift  # every scatterer closer by shift
        return (np.exp(-(d / width) ** 2) * np.exp(4j * np.pi * F0 * d / C)) @ a_s

    def frames(v):
        return np.stack([image(v * n * T) for n in range(10)])
    common = dict(z=Z, kernel=(15, 3), threshold=-30, center_frequency=F0)
    alone = doppler.estimate(frames(0.2), T, C, clutter="none", **common)
    assert not alone.mask.any()
    assert abs(np.median(alone.velocity) / 0.2 - 1) < 5e-3
    clutter = 100 * np.stack([image(0.0)] * 10)
    filtered = doppler.estimate(frames(0.4), T, C, clutter="polynomial", order=1, **common)
    maps = doppler.estimate(frames(0.4) + clutter, T, C, clutter="polynomial", order=1, **common)
    np.testing.assert_allclose(maps.velocity, filtered.velocity, rtol=1e-9, atol=0)
    assert abs(np.median(maps.velocity[~maps.mask]) / 0.4 - 1) < 1e-2
    # The clutter alone: what the filter leaves is rounding, below the floor: velocity 0.
    still = doppler.estimate(clutter, T, C, order=1, **common)
    assert still.mask.all() and not still.velocity.any() and np.isfinite(still.power).all()


def test_power_and_mask_never_nan():
    frames = moving_ramp(0.3, columns=3) * np.array([1.0, 0.1, 0.0])  # 0 dB, -20 dB, nothing
    maps = doppler.estimate(frames, T, C, z=Z, x=[-1e-3, 0.0, 1e-3], clutter="none",
                            kernel=(3, 1), threshold=-10.0, center_frequency=F0)
    np.testing.assert_allclose(maps.power[:, :2], [[0.0, -20.0]] * len(Z), rtol=0, atol=1e-9)
    assert np.all(maps.power[:, 2] == doppler.POWER_FLOOR)
    assert maps.mask.tolist() == [[False, True, True]] * len(Z)
    assert np.all(maps.velocity[:, 1:] == 0) and np.all(maps.frequency[:, 1:] == 0)
    np.testing.assert_allclose(maps.velocity[:, 0], 0.3, rtol=1e-9)
    for name in ("velocity", "power", "frequency"):
        assert np.isfinite(getattr(maps, name)).all(), name
    bad = [(lambda: doppler.estimate(frames.real, T, z=Z), "frames must be complex (the "
            "analytic or IQ image of each frame)"),
           (lambda: doppler.estimate(frames, T, z=Z, kernel=(4, 1)), "kernel must be two odd "
            "pixel counts (depth, lateral) of at least 1, got (4, 1)"),
           (lambda: doppler.estimate(frames[:1], T, z=Z), "frames: at least 2 frames are "
            "needed, got 1")]
    for call, text in bad:
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == text


def test_bisector_of_a_steered_plane_wave():
    sim = sonvar.Simulator(fs=40e6)
    probe = sim.linear_array(32, 0.27e-3, 2e-3, 0.03e-3)
    theta = np.radians(-10.0)
    k = doppler.bisector([[0.0, 0.0, 20e-3]], sequence.plane_waves(probe, [theta]),
                         probe.element_centers, f_number=1.5)
    # Back along the wave, -(sin, 0, cos), plus straight up to the symmetric aperture.
    np.testing.assert_allclose(k.k, [[-np.sin(theta), 0.0, -np.cos(theta) - 1]], atol=1e-12)
    assert k.length[0] == pytest.approx(2 * np.cos(theta / 2), rel=1e-12)


def simulated_flow(peak, frames=10, static_only=False):
    sim = sonvar.Simulator(fs=40e6, threads=2)
    probe = sim.linear_array(32, 0.27e-3, 4e-3, 0.03e-3)
    probe.impulse(pulses.gaussian_pulse(F0, 0.6, sim.fs))
    probe.excitation(pulses.sine_burst(F0, 1, sim.fs))
    waves = sequence.plane_waves(probe, [0.0], prf=5e3)
    axis = np.array([np.sin(np.radians(60)), 0.0, -np.cos(np.radians(60))])
    phantom = motion.vessel((-4e-3, 4e-3), (-0.1e-3, 0.1e-3), (16e-3, 24e-3),
                            center=(0, 0, 20e-3), axis=axis, radius=2e-3, peak_velocity=peak,
                            profile="plug", count=1500, rng=5)
    if static_only:
        phantom = phantom.at(0.0)
    data = sim.ensemble(probe, waves, phantom, frames)
    grid = beamform.CartesianGrid(x=np.arange(-3e-3, 3e-3 + 1e-9, 0.1e-3),
                                  z=np.arange(17e-3, 23e-3 + 1e-9, 0.05e-3))
    iq = beamform.das(data, grid, f_number=1.5, window="hanning", iq=True,
                      modulation_frequency=F0)
    k = doppler.bisector(grid.points(), waves, data.element_positions, f_number=1.5)
    maps = doppler.estimate(iq, 1 / 5e3, C, clutter="polynomial", order=1, kernel=(9, 3),
                            bisector=k)
    return phantom, grid, k, maps


def test_plug_flow_end_to_end_and_a_still_phantom_gives_zero():
    vessel, grid, k, maps = simulated_flow(0.3)
    points = grid.points()
    truth = np.einsum("zxi,zxi->zx", vessel.velocity(points.reshape(-1, 3)).reshape(
        points.shape), k.direction)
    d = points - vessel.center
    core = np.linalg.norm(d - (d @ vessel.axis)[..., None] * vessel.axis, axis=-1) < 1.2e-3
    # The flow comes up towards the probe at 60 degrees from the beam: about 0.3 cos 60 deg.
    assert 0.13 < truth[core].mean() < 0.17 < maps.aliasing_velocity
    rms = np.sqrt(np.mean((maps.velocity[core] - truth[core]) ** 2))
    assert rms < 0.08 * truth[core].mean(), rms
    assert np.isfinite(maps.velocity).all() and np.isfinite(maps.power).all()
    _, _, _, still = simulated_flow(0.3, frames=6, static_only=True)
    assert still.mask.all() and not still.velocity.any()


def doppler_job():
    job = json.loads((Path(__file__).resolve().parents[2] / "examples" / "jobs" /
                      "doppler.json").read_text())
    job["probe"]["no_elements"] = 32
    job["image"]["beamform"]["grid"] = {"x": {"start": -3e-3, "stop": 3e-3, "count": 31},
                                        "z": {"start": 17e-3, "stop": 23e-3, "count": 121}}
    job["ensemble"]["frames"] = 8
    job["phantom"].update(count=1500, x_range=[-4e-3, 4e-3], z_range=[16e-3, 24e-3])
    job["phantom"]["flow"].update(radius=2e-3)
    job["threads"] = 2
    return job


def test_job_writes_channel_data_iq_frames_and_doppler_maps(tmp_path, capsys, monkeypatch):
    job = doppler_job()
    path = tmp_path / "doppler.json"
    path.write_text(json.dumps(job))
    assert cli.main(["image", str(path), "-o", str(tmp_path / "d.h5")]) == 0
    assert (tmp_path / "d.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    with h5py.File(tmp_path / "d.h5", "r") as f:
        data = f["channel_data/data"]
        assert data.shape[:3] == (8, 1, 32) and f["channel_data/PRF"][()].tolist() == [[5000.0]]
        assert f["beamformed/iq"].shape == (8, 121, 31)
        v, p, m = (f[f"doppler/{n}"][()] for n in ("velocity", "power", "mask"))
        assert [f[f"doppler/{n}"].attrs["units"] for n in ("velocity", "power", "x", "z")] == \
            ["m/s", "dB", "m", "m"]
        np.testing.assert_array_equal(f["doppler/x"][()], np.linspace(-3e-3, 3e-3, 31))
        assert v.shape == p.shape == m.shape == (121, 31) and m.dtype == np.uint8
        assert np.isfinite(v).all() and np.all(v[m == 1] == 0) and 0 < m.mean() < 1
    # The vessel's core (the axis through (0, 0, 20) mm rising at 30 degrees to x) flows at
    # 0.5 (1 - rho^2 / r^2) m/s along the axis, projected on the bisector of the wave steered
    # -10 degrees and straight up (the aperture over the pixels).
    x, z = np.meshgrid(np.linspace(-3e-3, 3e-3, 31), np.linspace(17e-3, 23e-3, 121))
    rho = np.abs((x * 0.5 + (z - 20e-3) * 0.866))
    k = np.array([np.sin(np.radians(10)), 0.0, -np.cos(np.radians(10)) - 1])
    truth = 0.5 * (1 - (rho / 2e-3) ** 2) * (np.array([0.866, 0, -0.5]) @ k) / np.linalg.norm(k)
    core = (rho < 0.5e-3) & (m == 0)
    assert core.sum() > 50
    assert abs(np.median(v[core] / truth[core]) - 1) < 0.1, np.median(v[core] / truth[core])
    assert "8 frames" in capsys.readouterr().out
    # An ensemble without flow: every pixel masked, velocity 0 (the clutter filter leaves
    # rounding of identical frames).
    still = doppler_job()
    still["phantom"].pop("flow")
    still["ensemble"]["frames"] = 4
    path.write_text(json.dumps(still))
    assert cli.main(["check", str(path)]) == 0
    assert (" image: plane wave channel data, 1 transmits repeated over 4 frames at a PRF of "
            "5000 Hz, Doppler maps, phantom of 1500 scatterers; 32 elements; ") in \
        capsys.readouterr().out.splitlines()[-1]
    assert cli.main(["image", str(path), "-o", str(tmp_path / "s.h5"), "--no-plot"]) == 0
    with h5py.File(tmp_path / "s.h5", "r") as f:
        assert f["doppler/mask"][()].all() and not f["doppler/velocity"][()].any()
    capsys.readouterr()
    path.write_text(json.dumps(job))
    # Bad keys of the flow and the ensemble: one line each, nothing written.
    job["phantom"]["flow"].update(radius=-1e-3)
    job["ensemble"]["frames"] = 1
    path.write_text(json.dumps(job))
    assert cli.main(["image", str(path), "-o", str(tmp_path / "e.h5")]) == 2
    assert capsys.readouterr().err.splitlines() == [
        f"sonvar: {path}: phantom.flow.radius: radius must be above 0, got -0.001",
        f"sonvar: {path}: ensemble.frames: expected an integer of at least 2, got 1"]
    assert not (tmp_path / "e.h5").exists()
    # Frames that do not fit in memory: refused before the run.
    job = doppler_job()
    job["ensemble"]["frames"] = 1000
    path.write_text(json.dumps(job))
    rows = preflight.echo_rows(jobs.load(str(path), "image"))
    monkeypatch.setattr(preflight, "memory_available", lambda: 50e6)
    assert cli.main(["check", str(path)]) == 2
    assert capsys.readouterr().err == (
        f"sonvar: {path}: ensemble.frames: an ensemble of 1000 frames of 3751 pixels (1 transmits "
        f"of {rows} samples x 32 elements each) needs about 181 MB of memory, more than the "
        "50 MB available\n")


def test_two_ranks_share_the_frames(tmp_path):
    from test_cli import mpirun_and_environment
    mpirun, env = mpirun_and_environment()
    job = doppler_job()
    job["ensemble"]["frames"], job["threads"] = 4, 1
    (tmp_path / "job.json").write_text(json.dumps(job))
    found = []
    for ranks in (1, 2):
        args = [mpirun, "--oversubscribe", "-n", "2"] if ranks > 1 else []
        done = subprocess.run(args + ["/usr/bin/python3", "-m", "sonvar", "image", "job.json",
                                      "--no-plot", "-o", f"r{ranks}.h5"], env=env, cwd=tmp_path,
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        assert f"{ranks} rank{'s' if ranks > 1 else ''} x" in done.stdout
        with h5py.File(tmp_path / f"r{ranks}.h5", "r") as f:
            found.append({n: f[n][()] for n in ("channel_data/data", "beamformed/iq",
                                                "doppler/velocity", "doppler/power")})
    for name in found[0]:
        np.testing.assert_array_equal(found[0][name], found[1][name], err_msg=name)


def test_velocity_plot_over_the_bmode(tmp_path):
    from sonvar import display
    frames = moving_ramp(0.3, columns=4)
    maps = doppler.estimate(frames, T, C, z=Z, x=np.arange(4) * 1e-4, clutter="none",
                            kernel=(3, 1), center_frequency=F0)
    bmode = display.BMode(np.zeros((len(Z), 4)), maps.x, Z, None, 40)
    doppler.plot(maps, bmode, path=str(tmp_path / "v.png"), title="ramp")
    assert (tmp_path / "v.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    with pytest.raises(ValueError):
        doppler.plot(maps, display.BMode(np.zeros((3, 4)), maps.x, Z[:3], None, 40))

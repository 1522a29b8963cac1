"""The sonvar command: jobs in, files out, checked against direct package calls."""

import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time
from pathlib import Path

import h5py
import numpy as np
import pytest

import sonvar
from sonvar import cli, field, imaging, jobs, pulses
from sonvar.ranks import MPI_VARIABLES

FS = 50e6
PROBE = {"kind": "linear_array", "no_elements": 8, "width": 0.3e-3, "height": 4e-3,
         "kerf": 0.05e-3, "focus": [0.0, 0.0, 0.015]}
PULSES = {"impulse": {"shape": "gaussian_pulse", "f0": 5e6, "bandwidth": 0.6},
          "excitation": {"shape": "sine_burst", "f0": 5e6, "cycles": 1.5}}


@pytest.fixture(autouse=True)
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # relative output paths land in the test's folder


def field_job(**changes):
    job = {"command": "field", "fs": FS, "threads": 2, "probe": dict(PROBE), **PULSES,
           "field": {"quantity": "hp", "keep_signals": True, "chunk": 7,
                     "grid": {"x": {"start": -3e-3, "stop": 3e-3, "count": 5}, "y": 0.0,
                              "z": {"start": 5e-3, "stop": 25e-3, "count": 6}}},
           "output": {"path": "field.h5"}, "plot": {"width": 6, "height": 4, "dpi": 50}}
    job.update(changes)
    return job


def image_job(image, phantom_file):
    return {"command": "image", "fs": FS, "threads": 2, "probe": dict(PROBE, focus=None), **PULSES,
            "image": image, "phantom": {"file": phantom_file}, "output": {"path": "image.h5"},
            "plot": {"enabled": False}}


def write_job(folder, job, name="job.json"):
    (folder / name).write_text(json.dumps(job))
    return str(folder / name)


def scatterers(n=12, seed=3):
    rng = np.random.default_rng(seed)
    return np.column_stack([rng.uniform(-2e-3, 2e-3, n), np.zeros(n),
                            rng.uniform(10e-3, 20e-3, n), rng.normal(size=n)])


def direct_probe(sim, **params):
    params_only = {k: v for k, v in PROBE.items() if k not in ("kind", "focus")}
    params_only.update(params)
    ap = sim.linear_array(**params_only)
    ap.impulse(pulses.gaussian_pulse(5e6, 0.6, FS))
    ap.excitation(pulses.sine_burst(5e6, 1.5, FS))
    return ap


def png_size(path):
    data = open(path, "rb").read(24)
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


def contents(path):
    """Every dataset and attribute of an HDF5 file, by path."""
    found = {}

    def visit(name, obj):
        for k, v in obj.attrs.items():
            found[f"{name}@{k}"] = v
        if isinstance(obj, h5py.Dataset):
            found[name] = obj[()]
    with h5py.File(path, "r") as f:
        visit("/", f)
        f.visititems(visit)
    return found


def test_field_map_equals_the_package_and_plots(tmp_path, capsys):
    job = field_job()
    assert cli.main(["field", write_job(tmp_path, job)]) == 0
    summary = capsys.readouterr().out
    assert re.fullmatch(r"sonvar field: 30 points of hp in [\d.]+ s \(\d+ points/s, 1 rank x 2 "
                        r"threads\); wrote field\.h5, field\.png\n", summary), summary
    sim = sonvar.Simulator(fs=FS, threads=1)
    x, z = np.linspace(-3e-3, 3e-3, 5), np.linspace(5e-3, 25e-3, 6)
    xx, zz = np.meshgrid(x, z, indexing="ij")
    points = np.column_stack([xx.ravel(), 0 * xx.ravel(), zz.ravel()])
    ref = sim.calc_hp(direct_probe(sim, focus=(0, 0, 0.015)), points)
    with h5py.File(tmp_path / "field.h5", "r") as f:
        g = f["field"]
        assert np.array_equal(g["x"][()], x) and np.array_equal(g["z"][()], z)
        assert g["x"].attrs["units"] == "m" and list(g["peak"].attrs["axes"]) == ["x", "y", "z"]
        assert g.attrs["t0"] == ref.t0 and g.attrs["fs"] == FS
        assert np.array_equal(g["signals"][()], ref.data)  # five chunks joined on one time axis
        assert g["peak"].shape == (5, 1, 6)
        assert np.array_equal(g["peak"][()].ravel(), field.peak(ref))
        np.testing.assert_allclose(g["rms"][()].ravel(), field.rms(ref), rtol=1e-12)
        np.testing.assert_allclose(g["energy"][()].ravel(), field.energy(ref), rtol=1e-12)
        assert json.loads(f.attrs["job"]) == job and f.attrs["sonvar_version"] == sonvar.__version__
    assert png_size(tmp_path / "field.png") == (300, 200)


def test_one_and_three_dimensional_grids(tmp_path, capsys):
    axis = {"start": 8e-3, "stop": 20e-3, "count": 4}
    for grid, shape in (({"z": axis}, (1, 1, 4)), ({"x": axis, "y": axis, "z": axis}, (4, 4, 4))):
        job = field_job(field={"quantity": "hhp", "grid": grid})
        assert cli.main(["field", write_job(tmp_path, job), "-q"]) == 0, capsys.readouterr().err
        with h5py.File(tmp_path / "field.h5", "r") as f:
            assert f["field/rms"].shape == shape and f["field/y"].shape == (shape[1],)
        assert png_size(tmp_path / "field.png") == (300, 200)


def test_points_table_probe_and_pulse_files_in_npy_format(tmp_path, capsys):
    """Points from CSV, a free-form probe of rectangles from HDF5, an impulse from NPY."""
    pts = np.array([[0, 0, 0.01], [1e-3, 0, 0.012], [-2e-3, 1e-3, 0.02]])
    np.savetxt(tmp_path / "points.csv", pts, delimiter=",", header="x,y,z", comments="")
    sim = sonvar.Simulator(fs=FS, threads=1)
    t = direct_probe(sim).table("rectangles")
    rects = np.column_stack([t[:, 0] + 1, t[:, 10:22], t[:, 4], t[:, 2], t[:, 3], t[:, 7:10]])
    with h5py.File(tmp_path / "probe.h5", "w") as f:
        f["centers"] = direct_probe(sim).element_centers
        f["rects"] = rects
    impulse = pulses.gaussian_pulse(4e6, 0.5, FS)
    np.save(tmp_path / "ir.npy", impulse)
    job = field_job(field={"quantity": "hp", "points": "points.csv"}, impulse={"file": "ir.npy"},
                    probe={"kind": "rectangles", "table": "probe.h5", "table_dataset": "rects",
                           "centers": "probe.h5", "centers_dataset": "centers"})
    path = write_job(tmp_path, job)
    assert cli.main(["field", path, "--format", "npy", "--no-plot", "-o",
                     str(tmp_path / "map.h5")]) == 0
    probe = sim.rectangles(rects, direct_probe(sim).element_centers)
    probe.impulse(impulse)
    probe.excitation(pulses.sine_burst(5e6, 1.5, FS))
    ref = sim.calc_hp(probe, pts)
    assert sorted(os.listdir(tmp_path)) == ["ir.npy", "job.json", "map.field.energy.npy",
                                            "map.field.peak.npy", "map.field.points.npy",
                                            "map.field.rms.npy", "map.json", "points.csv",
                                            "probe.h5"]
    assert np.array_equal(np.load(tmp_path / "map.field.peak.npy"), field.peak(ref))
    side = json.loads((tmp_path / "map.json").read_text())
    assert side["field/peak"]["units"] == "a.u." and side["field/points"]["units"] == "m"
    assert side["field"]["t0"] == ref.t0 and side["field"]["axes"] == ["point"]


def test_linear_image_equals_the_imager(tmp_path):
    np.save(tmp_path / "ph.npy", scatterers())
    img = {"mode": "linear", "active": 4, "focus_depth": 0.015,
           "lines": {"start": -1e-3, "stop": 1e-3, "count": 5}}
    assert cli.main(["image", write_job(tmp_path, image_job(img, "ph.npy")), "-q",
                     "-o", str(tmp_path / "image.h5")]) == 0
    sim = sonvar.Simulator(fs=FS, threads=1)
    ph = scatterers()
    imager = imaging.LinearImager(sim, 8, 0.3e-3, 4e-3, 0.05e-3, 4,
                                  pulses.gaussian_pulse(5e6, 0.6, FS),
                                  pulses.sine_burst(5e6, 1.5, FS), 0.015)
    from sonvar.phantom import Phantom
    rf = imager.image(Phantom(ph[:, :3], ph[:, 3]), np.linspace(-1e-3, 1e-3, 5))
    with h5py.File(tmp_path / "image.h5", "r") as f:
        assert np.array_equal(f["image/rf"][()], rf.data)
        assert f["image/rf"].attrs["t0"] == rf.t0
        np.testing.assert_allclose(f["image/ranges"][()], rf.ranges(1540.0), rtol=1e-12)
        b = f["bmode/image"]
        assert b.shape == (len(f["bmode/z"]), 5) and b.attrs["units"] == "dB"
        assert b[()].max() == 0.0 and b[()].min() == -50.0


def test_synthetic_aperture_writes_channel_data_in_the_uff_layout(tmp_path):
    table = scatterers()
    np.savetxt(tmp_path / "ph.csv", table, delimiter=",")
    img = {"mode": "synthetic_aperture", "elements": [1, 3, 8],
           "bmode": {"z_range": [0.01, 0.02], "pixel_size": 0.5e-3}}
    assert cli.main(["image", write_job(tmp_path, image_job(img, "ph.csv")), "-q",
                     "-o", str(tmp_path / "sa.h5")]) == 0
    sim = sonvar.Simulator(fs=FS, threads=1)
    tx, rx = direct_probe(sim), direct_probe(sim)
    rx.focus_times(np.zeros(8))
    centers = rx.element_centers
    lag = pulses.center_delay(FS, tx.impulse_response, tx.excitation_signal, rx.impulse_response)
    with h5py.File(tmp_path / "sa.h5", "r") as f:
        assert f.attrs["version"] == "v1.2.0"
        cd = f["channel_data"]
        assert (cd.attrs["class"], cd.attrs["name"]) == ("uff.channel_data", "channel_data")
        assert list(cd.attrs["size"]) == [1, 1] and cd["sampling_frequency"][()] == [[FS]]
        assert cd["probe"].attrs["class"] == "uff.linear_array"
        assert np.array_equal(cd["probe/geometry"][:3].T, centers)
        seq = cd["sequence"]
        assert seq.attrs["class"] == "uff.wave" and list(seq.attrs["size"]) == [1, 3]
        assert list(seq) == ["sequence_0001", "sequence_0002", "sequence_0003"]
        source = seq["sequence_0002/source"]
        assert source["distance"][0, 0] == pytest.approx(np.linalg.norm(centers[2]))
        assert source["azimuth"][0, 0] == pytest.approx(-np.pi / 2)
        assert seq["sequence_0002/delay"][0, 0] == 0.0  # each element fires at |e| / c
        data = cd["data"][()]
        assert data.shape[:3] == (1, 3, 8) and cd["data"].attrs["class"] == "double"
        first = int(round((cd["initial_time"][0, 0] + lag) * FS))
        for k, element in enumerate([1, 3, 8]):
            weights, delays = np.zeros(8), np.zeros(8)
            weights[element - 1] = 1
            delays[element - 1] = np.linalg.norm(centers[element - 1]) / 1540.0
            tx.apodization(weights)  # the element alone, fired at |e| / c
            tx.focus_times(delays)
            ref = sim.calc_scat_multi(tx, rx, table[:, :3], table[:, 3])
            s = ref.start_sample - first
            np.testing.assert_allclose(data[0, k, :, s:s + len(ref.data)].T, ref.data,
                                       rtol=0, atol=1e-12 * np.abs(ref.data).max())
        assert f["bmode/image"].shape == (21, len(f["bmode/x"]))
    # One emission: the sequence is that wave itself, as the format's readers expect.
    img["elements"] = [2]
    assert cli.main(["image", write_job(tmp_path, image_job(img, "ph.csv")), "-q",
                     "-o", str(tmp_path / "one.h5")]) == 0
    with h5py.File(tmp_path / "one.h5", "r") as f:
        seq = f["channel_data/sequence"]
        assert seq.attrs["class"] == "uff.wave" and list(seq.attrs["size"]) == [1, 1]
        assert seq["source/distance"][0, 0] == pytest.approx(np.linalg.norm(centers[1]))
        assert f["channel_data/data"].shape[:3] == (1, 1, 8)


@pytest.mark.parametrize("mode,kind,extra", [
    ("phased", "linear_array", {}),
    ("convex", "convex_array", {"r_convex": 0.03})])
def test_sector_images_are_scan_converted(tmp_path, mode, kind, extra):
    np.save(tmp_path / "ph.npy", scatterers())
    img = {"mode": mode, "focus_depth": 0.015, "active": 8,
           "lines": {"start": -0.2, "stop": 0.2, "count": 4}, "bmode": {"pixel_size": 0.5e-3}}
    job = image_job(img, "ph.npy")
    job["probe"] = dict(PROBE, kind=kind, focus=None, **extra)
    assert cli.main(["image", write_job(tmp_path, job), "-q"]) == 0
    with h5py.File(tmp_path / "image.h5", "r") as f:
        x, z, b = f["bmode/x"][()], f["bmode/z"][()], f["bmode/image"][()]
        assert b.shape == (len(z), len(x)) and np.isclose(x[0], -x[-1], atol=0.6e-3)
        # Bilinear resampling misses the very peak; beyond the sector the floor.
        assert -10 < b.max() <= 0 and np.all(b >= -50) and b[0, 0] == -50
        assert f["image/line_positions"].attrs["units"] == "rad"


def channel_job(image, phantom_file, probe=None):
    job = image_job(image, phantom_file)
    job["probe"] = probe or dict(PROBE, focus=None)
    return job


def test_channel_data_modes_write_what_the_package_computes(tmp_path):
    """plane_wave (with elevation steering on a 2-D array), diverging_wave, focused (lines on a
    convex probe, points on a linear one) and custom (delays from a file): the file's samples and
    waves are those of sim.channel_data with the sequence the keys describe."""
    from sonvar import sequence, uff
    np.save(tmp_path / "ph.npy", scatterers())
    delays = np.linspace(0, 1e-6, 8)[None, :] * np.array([[1.0], [-1.0]])
    np.savetxt(tmp_path / "delays.csv", delays, delimiter=",")
    convex = dict(PROBE, kind="convex_array", r_convex=0.03, focus=None)
    grid = {"kind": "array_2d", "width": 0.3e-3, "height": 0.3e-3, "kerf_x": 0.05e-3,
            "kerf_y": 0.05e-3, "enabled": [[1, 1], [1, 1], [1, 1]]}
    cases = [
        ({"mode": "plane_wave", "angles": {"start": -0.1, "stop": 0.1, "count": 2},
          "elevation_angles": {"start": 0.0, "stop": 0.1, "count": 2}, "prf": 2000}, grid,
         lambda ap: sequence.plane_waves(ap, [-0.1, 0.1], [0.0, 0.1], prf=2000)),
        ({"mode": "diverging_wave", "virtual_sources": [[0, 0, -5e-3], [1e-3, 0, -5e-3]],
          "transmit_window": "hamming"}, None,
         lambda ap: sequence.diverging_waves(ap, [[0, 0, -5e-3], [1e-3, 0, -5e-3]],
                                             apodization=imaging.window(8, "hamming"))),
        ({"mode": "focused", "lines": {"start": -0.05, "stop": 0.05, "count": 3},
          "focus_depth": 0.012, "active": 6}, convex,
         lambda ap: sequence.focused_waves(ap, sequence.line_foci(np.linspace(-0.05, 0.05, 3),
                                                                  0.012, True, 0.03),
                                           active=6, window="hanning")),
        ({"mode": "focused", "focus_points": [[0, 0, 0.015]], "transmit_window": "rect"}, None,
         lambda ap: sequence.focused_waves(ap, [[0, 0, 0.015]])),
        ({"mode": "custom", "delays": "delays.csv"}, None, lambda ap: sequence.custom(delays)),
    ]
    for image, probe, make in cases:
        job = channel_job(image, "ph.npy", probe)
        assert cli.main(["image", write_job(tmp_path, job), "-q", "--no-plot", "-o",
                         str(tmp_path / "cd.h5")]) == 0, image
        sim = sonvar.Simulator(fs=FS, threads=1)
        kind = job["probe"].pop("kind")
        job["probe"].pop("focus", None)
        if kind == "array_2d":
            job["probe"]["enabled"] = np.ones((3, 2))
        ap = getattr(sim, kind)(**job["probe"])
        ap.impulse(pulses.gaussian_pulse(5e6, 0.6, FS))
        ap.excitation(pulses.sine_burst(5e6, 1.5, FS))
        ph = scatterers()
        ref = sim.channel_data(ap, make(ap), ph[:, :3], ph[:, 3])
        got = uff.read(tmp_path / "cd.h5")
        assert got.initial_time == ref.initial_time and got.prf == ref.prf, image
        np.testing.assert_allclose(got.data, ref.data, rtol=0,
                                   atol=1e-12 * np.abs(ref.data).max())
        np.testing.assert_allclose(got.sequence.delays, ref.sequence.delays, rtol=1e-14)
        np.testing.assert_allclose(got.sequence.apodizations, ref.sequence.apodizations,
                                   rtol=1e-14)
        assert [t.kind for t in got.sequence] == [t.kind for t in ref.sequence]
        assert got.center_frequency == 5e6 and got.bandwidth == 0.6  # the job's nominal pulse


def test_synthetic_aperture_image_puts_a_target_in_place(tmp_path):
    """The delay-and-sum image of the synthetic-aperture job, its elements fired at |e| / c: the
    brightest pixel at a lone target."""
    np.save(tmp_path / "ph.npy", np.array([[0.6e-3, 0.0, 0.015, 1.0]]))
    img = {"mode": "synthetic_aperture",
           "bmode": {"x_range": [-1e-3, 2e-3], "z_range": [0.013, 0.017], "pixel_size": 0.05e-3}}
    assert cli.main(["image", write_job(tmp_path, image_job(img, "ph.npy")), "-q",
                     "--no-plot"]) == 0
    with h5py.File(tmp_path / "image.h5", "r") as f:
        b, x, z = f["bmode/image"][()], f["bmode/x"][()], f["bmode/z"][()]
    i, j = np.unravel_index(np.argmax(b), b.shape)
    assert abs(x[j] - 0.6e-3) <= 0.05e-3 and abs(z[i] - 0.015) <= 0.05e-3


def span(start, stop, count):
    return {"start": start, "stop": stop, "count": count}


def peak_at(image, axes, target, tolerance):
    """The image's maximum lies within tolerance (m) of the target along every axis."""
    top = np.unravel_index(np.argmax(image), image.shape)
    found = [axes[a][i] for a, i in zip("zyx" if image.ndim == 3 else "zx", top)]
    wanted = [target["xyz".index(a)] for a in ("zyx" if image.ndim == 3 else "zx")]
    assert np.allclose(found, wanted, atol=tolerance, rtol=0), (found, wanted)


def test_every_image_mode_writes_its_image_on_the_grid(tmp_path):
    """image.beamform: the channel-data modes' delay-and-sum image with exactly the grid's axes
    (one image per transmit, IQ, a Tukey window; a volume of a 2-D array; the default pixels
    over the phantom's depths), the line modes' image resampled onto the grid; a lone target at
    the image's maximum in each."""
    target = np.array([0.3e-3, 0.0, 12e-3])
    np.save(tmp_path / "one.npy", np.append(target, 1.0)[None])
    x, z = span(-1e-3, 1.5e-3, 26), span(10e-3, 14e-3, 81)
    grid = {"x": x, "z": z}
    row = dict(PROBE, no_elements=32, width=0.27e-3, height=1e-3, kerf=0.03e-3, focus=None)
    matrix = {"kind": "array_2d", "width": 0.27e-3, "height": 0.27e-3, "kerf_x": 0.03e-3,
              "kerf_y": 0.03e-3, "enabled": np.ones((12, 12)).tolist()}
    convex = dict(row, kind="convex_array", r_convex=0.03)
    cases = [
        ({"mode": "plane_wave", "angles": span(-0.1, 0.1, 3), "beamform": {
            "grid": grid, "compound": False, "iq": True, "window": "tukey"}}, row, (3, 81, 26)),
        ({"mode": "diverging_wave", "virtual_sources": [[0, 0, -4e-3], [1e-3, 0, -6e-3]],
          "beamform": {"grid": dict(grid, y=span(-0.5e-3, 0.5e-3, 5)), "f_number": 1.0}},
         matrix, (81, 5, 26)),
        ({"mode": "focused", "focus_points": [[0.3e-3, 0, 12e-3]], "bmode": {
            "pixel_size": 0.05e-3}}, row, None),
        ({"mode": "linear", "focus_depth": 0.012, "active": 16, "lines": span(-1e-3, 1.5e-3, 11),
          "beamform": {"grid": grid}}, row, (81, 26)),
        ({"mode": "convex", "focus_depth": 0.012, "active": 16, "lines": span(-0.05, 0.05, 11),
          "beamform": {"grid": grid}}, convex, (81, 26)),
    ]
    for image, probe, shape in cases:
        job = channel_job(image, "one.npy", probe)
        job["plot"] = {"width": 3, "height": 3, "dpi": 40}
        assert cli.main(["image", write_job(tmp_path, job), "-q"]) == 0, image
        assert png_size(tmp_path / "image.png") == (120, 120)
        with h5py.File(tmp_path / "image.h5", "r") as f:
            b = f["bmode/image"][()]
            axes = {a: f[f"bmode/{a}"][()] for a in "xyz" if f"bmode/{a}" in f}
            dims = list(f["bmode/image"].attrs["axes"])
        if shape is None:  # the phantom's depth, 1 mm either side; the elements' extent
            assert axes["z"][0] == pytest.approx(11e-3, abs=1e-12)
            assert axes["z"][-1] == pytest.approx(13e-3, abs=1e-12)
            assert axes["x"][0] == pytest.approx(-4.65e-3, abs=1e-12)
            assert abs(axes["x"][-1] - 4.65e-3) < 0.05e-3
            assert np.allclose(np.diff(axes["x"]), 0.05e-3, rtol=1e-9)
        else:
            kept_apart = image.get("beamform", {}).get("compound") is False
            assert b.shape == shape
            assert dims == ["transmit"] * kept_apart + [a for a in "zyx" if a in axes]
            assert np.array_equal(axes["x"], np.linspace(-1e-3, 1.5e-3, 26))
            assert np.array_equal(axes["z"], np.linspace(10e-3, 14e-3, 81))
        assert -6 < b.max() <= 0 and b.min() >= -50  # resampled lines miss the very peak
        # Half a pixel of the delay-and-sum grid; the lines lie 0.25 mm (0.4 mm) apart.
        tolerance = 0.2e-3 if image["mode"] in ("linear", "convex") else 0.051e-3
        if dims[0] == "transmit":  # one reference for all: each image peaks at its target
            assert sorted(b.max(axis=(1, 2)))[-2] < 0
            for one in b:
                peak_at(one, axes, target, tolerance)
        else:
            peak_at(b, axes, target, tolerance)


def test_every_bad_key_of_a_job_is_reported_in_one_run(tmp_path, capsys):
    np.save(tmp_path / "ph.npy", scatterers())
    job = channel_job({"mode": "plane_wave", "angles": {"start": -2, "stop": 2, "count": 3},
                       "elevation_angles": {"start": 0.0, "stop": 0.1, "count": 2},
                       "virtual_sources": [[0, 0, -1e-3]], "prf": 0,
                       "beamform": {"window": "hamming", "iq": "yes", "f_number": 1.0,
                                    "grid": {"x": {"start": 1e-3, "stop": -1e-3, "count": 9},
                                             "z": {"start": 5e-3, "stop": 9e-3},
                                             "y": {"start": 0, "stop": 1e-3, "count": 2}}},
                       "f_number": 2.0, "bmode": {"pixel_size": 1e-4}}, "ph.npy")
    job["fs"] = -1
    job["probe"]["color"] = "blue"
    job["output"]["precision"] = "half"
    path = write_job(tmp_path, job)
    assert cli.main(["image", path]) == 2
    err = capsys.readouterr().err.splitlines()
    assert err == [
        f"sonvar: {path}: fs: expected a number above 0, got -1",
        f"sonvar: {path}: output.precision: expected one of double, single, got \"half\"",
        f"sonvar: {path}: probe.color: unknown key; expected one of: apodization, focus, height, "
        "kerf, kind, no_elements, no_sub_x, no_sub_y, width",
        f"sonvar: {path}: image.elevation_angles: expected a probe with elements at several y "
        "(a 2-D or multi-row array) to steer in elevation",
        f"sonvar: {path}: image.prf: expected a number above 0, got 0",
        f"sonvar: {path}: image.beamform.f_number: expected either image.f_number or "
        "image.beamform.f_number, not both",
        f"sonvar: {path}: image.beamform.window: expected one of rect, hanning, tukey, got "
        "\"hamming\"",
        f"sonvar: {path}: image.beamform.iq: expected true or false, got \"yes\"",
        f"sonvar: {path}: image.beamform.grid.x.stop: expected a number above start (0.001), "
        "got -0.001",
        f"sonvar: {path}: image.beamform.grid.z.count: missing key",
        f"sonvar: {path}: image.beamform.grid.y: expected a probe with elements at several y "
        "(a 2-D or multi-row array) for a volume",
        f"sonvar: {path}: image.bmode.pixel_size: expected no pixel size or range beside "
        "image.beamform.grid (the grid sets the pixels)",
        f"sonvar: {path}: image.virtual_sources: unknown key; expected one of: angles, beamform, "
        "bmode, dataset, elevation_angles, f_number, mode, prf, transmit_window",
    ]
    assert sorted(os.listdir(tmp_path)) == ["job.json", "ph.npy"]
    # A line mode takes only the grid of image.beamform, and a plane.
    lines = image_job({"mode": "linear", "focus_depth": 0.01, "lines": {
        "start": 0, "stop": 1e-3, "count": 2}, "beamform": {"compound": False, "grid": {
            "x": {"start": 0, "stop": 1e-3, "count": 3}, "z": {"start": 5e-3, "stop": 9e-3,
                                                               "count": 5},
            "y": {"start": 0, "stop": 1e-3, "count": 2}}}}, "ph.npy")
    assert cli.main(["image", write_job(tmp_path, lines)]) == 2
    assert capsys.readouterr().err.splitlines() == [
        f"sonvar: {path}: image.beamform.compound: expected no delay-and-sum option in a line "
        "mode (its lines are focused on receive as they are simulated); image.beamform takes "
        "only grid here",
        f"sonvar: {path}: image.beamform.grid.y: expected x and z only: a line mode images one "
        "plane"]
    job["image"] = {"mode": "plane_wave", "angles": {"start": -2, "stop": 2, "count": 3}}
    job["fs"], job["output"] = FS, {}
    job["probe"].pop("color")
    assert cli.main(["image", write_job(tmp_path, job)]) == 2
    assert capsys.readouterr().err == (f"sonvar: {path}: image.angles: steering angles must lie "
                                       "within +-90 degrees, got -114.592 degrees\n")


BAD = [
    ("missing key", lambda j: j["probe"].pop("width"),
     "probe.width: missing key"),
    ("wrong type", lambda j: j.update(fs="fast"),
     'fs: expected a number, got "fast"'),
    ("out of range", lambda j: j.update(medium={"c": -1}),
     "medium.c: expected a number above 0, got -1"),
    ("accuracy flag", lambda j: j.update(accuracy={"band_limited": 1}),
     "accuracy.band_limited: expected true or false, got 1"),
    ("unknown constructor", lambda j: j["probe"].update(kind="hexagonal_array"),
     "probe.kind: expected one of " + ", ".join(jobs.PROBES + jobs.TABLES) +
     ', got "hexagonal_array"'),
    ("unknown key", lambda j: j["field"].update(kep_signals=True),
     "field.kep_signals: unknown key; expected one of: chunk, grid, keep_signals, points, "
     "points_dataset, quantity"),
    ("constructor's own check", lambda j: j["probe"].update(no_elements=2.5),
     "probe.no_elements: no_elements must be an integer, not float"),
    ("unreadable points", lambda j: j.update(field={"points": "nowhere.csv"}),
     "field.points: expected a readable file, cannot read nowhere.csv"),
]


def test_bad_jobs_give_one_line_and_status_2_and_write_nothing(tmp_path, capsys):
    for name, change, message in BAD:
        job = field_job()
        change(job)
        path = write_job(tmp_path, job)
        assert cli.main(["field", path]) == 2, name
        captured = capsys.readouterr()
        assert captured.err == f"sonvar: {path}: {message}\n", name
        assert captured.out == "" and os.listdir(tmp_path) == ["job.json"], name
    (tmp_path / "ph.npy").write_bytes(b"not an array")
    path = write_job(tmp_path, image_job({"mode": "linear", "focus_depth": 0.01, "lines": {
        "start": 0, "stop": 1e-3, "count": 2}}, "ph.npy"))
    assert cli.main(["image", path]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"sonvar: {path}: phantom.file: expected a numeric table, cannot read "
                          "ph.npy (ValueError: ") and err.count("\n") == 1


def test_accuracy_options_reach_the_simulator(tmp_path):
    job = field_job()
    job["accuracy"] = {"band_limited": True, "exact_integration": True}
    sim = jobs.load(write_job(tmp_path, job), "field").simulator()
    assert [sim.get(name) for name in jobs.ACCURACY_OPTIONS] == [0, 1, 1]


def test_failed_run_leaves_no_file(tmp_path, capsys, monkeypatch):
    from sonvar import run
    calls = []

    def failing(self, i):
        calls.append(i)
        if i == 2:
            raise sonvar.SonvarError("out of memory")
        return original(self, i)
    original = run.FieldPlan.compute
    monkeypatch.setattr(run.FieldPlan, "compute", failing)
    path = write_job(tmp_path, field_job())
    for fmt in ("hdf5", "npy"):
        assert cli.main(["field", path, "--format", fmt, "-o", str(tmp_path / "f.h5")]) == 1
        assert capsys.readouterr().err == ("sonvar: field failed: rank 0: unit 2: SonvarError: "
                                           "out of memory; no output written\n")
        assert os.listdir(tmp_path) == ["job.json"]
    assert calls == [0, 1, 2, 0, 1, 2]


EXAMPLE_JOBS = Path(__file__).resolve().parents[2] / "examples" / "jobs"


def test_check_example_and_help(tmp_path, capsys):
    for kind in ("field", "image"):
        assert cli.main(["example", kind]) == 0
        path = write_job(tmp_path, json.loads(capsys.readouterr().out), f"{kind}.json")
        for job in (path, str(EXAMPLE_JOBS / f"{kind}.json")):
            assert cli.main(["check", job]) == 0
            out = capsys.readouterr().out
            assert "elements" in out
            assert out.rstrip().splitlines()[-1].startswith(f"job {job}: {kind}: ")
        with pytest.raises(SystemExit) as exit_:
            cli.main([kind, "--help"])
        assert exit_.value.code == 0 and "JOB" in capsys.readouterr().out
    assert sorted(os.listdir(tmp_path)) == ["field.json", "image.json"]


MPI_FAILING = """
import sys
from sonvar import cli, run
original = run.FieldPlan.compute
def compute(self, i):
    if i == 3:
        raise RuntimeError("disk on fire")
    return original(self, i)
run.FieldPlan.compute = compute
sys.exit(cli.main(sys.argv[1:]))
"""


def mpirun_and_environment():
    """mpirun's path and the environment of its children: as root, oversubscribed, on this
    sys.path, without the MPI variables of a run this test may itself be part of."""
    mpirun = shutil.which("mpirun")
    assert mpirun, "mpirun is missing: bash scripts/setup.sh installs OpenMPI"
    env = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
               OMPI_MCA_rmaps_base_oversubscribe="1", PYTHONPATH=os.pathsep.join(sys.path))
    for v in MPI_VARIABLES:
        env.pop(v, None)
    return mpirun, env


def test_two_ranks_write_the_one_process_file(tmp_path):
    mpirun, env = mpirun_and_environment()
    np.save(tmp_path / "ph.npy", scatterers())
    sa = image_job({"mode": "synthetic_aperture", "elements": [1, 2, 5, 8],
                    "bmode": {"z_range": [0.01, 0.02], "pixel_size": 0.5e-3}}, "ph.npy")
    jobs_ = {"field": write_job(tmp_path, field_job(), "field.json"),
             "image": write_job(tmp_path, sa, "sa.json")}

    def sonvar_run(ranks, command, job, out, module=("-m", "sonvar")):
        args = [mpirun, "--oversubscribe", "-n", str(ranks)] if ranks > 1 else []
        return subprocess.run(args + ["/usr/bin/python3", *module, command, job, "--no-plot",
                                      "-o", out], env=env, cwd=tmp_path, capture_output=True,
                              text=True, timeout=120)

    for command, job in jobs_.items():
        for ranks in (1, 2):
            done = sonvar_run(ranks, command, job, f"{command}{ranks}.h5")
            assert done.returncode == 0, done.stderr
            assert f"{ranks} rank{'s' if ranks > 1 else ''} x" in done.stdout
        one, two = contents(tmp_path / f"{command}1.h5"), contents(tmp_path / f"{command}2.h5")
        assert sorted(one) == sorted(two)
        assert [k for k in one if not np.array_equal(one[k], two[k])] == []
    (tmp_path / "failing.py").write_text(MPI_FAILING)
    done = sonvar_run(2, "field", jobs_["field"], "bad.h5", module=("failing.py",))
    assert done.returncode != 0 and not (tmp_path / "bad.h5").exists()
    ours = [line for line in done.stderr.splitlines() if line.startswith("sonvar")]
    assert ours == ["sonvar: field failed: rank 1: unit 3: RuntimeError: disk on fire; "
                    "no output written"]
    assert not [n for n in os.listdir(tmp_path) if n.startswith(".")]


def long_image_job(tmp_path, lines):
    np.save(tmp_path / "ph.npy", scatterers(3000))
    img = {"mode": "linear", "active": 8, "focus_depth": 0.015,
           "lines": {"start": -1e-3, "stop": 1e-3, "count": lines}}
    return write_job(tmp_path, image_job(img, "ph.npy"))


def command(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return ["/usr/bin/python3", "-m", "sonvar", *args], env


def test_terminated_run_removes_its_temporary_files(tmp_path):
    args, env = command("image", long_image_job(tmp_path, 400), "--threads", "1")
    run = subprocess.Popen(args, env=env, cwd=tmp_path, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True)
    for _ in range(300):  # until the run has its files open
        if len([n for n in os.listdir(tmp_path) if n.startswith(".image.h5.part-")]) == 2:
            break
        assert run.poll() is None
        time.sleep(0.05)
    run.terminate()
    out, err = run.communicate(timeout=60)
    assert run.returncode == 1 and out == ""
    assert err == "sonvar: image failed: interrupted; no output written\n"
    assert sorted(os.listdir(tmp_path)) == ["job.json", "ph.npy"]


def test_progress_bar_only_on_a_terminal(tmp_path):
    job = long_image_job(tmp_path, 6)
    for extra, shown in (((), True), (("--quiet",), False)):
        master, slave = os.openpty()
        args, env = command("image", job, *extra)
        done = subprocess.run(args, env=env, cwd=tmp_path, stdout=subprocess.PIPE, stderr=slave,
                              timeout=120)
        os.close(slave)
        try:
            err = os.read(master, 65536).decode()
        except OSError:  # Linux: EIO once the terminal is closed and empty
            err = ""
        os.close(master)
        assert done.returncode == 0
        assert ("/6 [" in err and " line/s]" in err) == shown, err  # done, time left, rate

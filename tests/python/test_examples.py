"""The worked examples in their quick size: what their images show."""

import importlib.util
import os
from pathlib import Path

import numpy as np

EXAMPLES = Path(os.environ.get("SONVAR_EXAMPLES",
                               Path(__file__).resolve().parents[2] / "examples" / "python"))


def load(name):
    found = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def test_cyst_phantom_shows_targets_in_place_and_a_dark_cyst(tmp_path, capsys):
    example = load("cyst_phantom")
    out = tmp_path / "cyst.png"
    result = example.main(["--quick", "--output", str(out)])
    assert out.read_bytes()[:8] == PNG_SIGNATURE
    found = example.locate_targets(result)
    error = np.hypot(found[:, 0] - result["targets"][:, 0], found[:, 1] - result["targets"][:, 2])
    assert np.all(error < 0.1e-3), error
    assert example.cyst_contrast(result) <= -20.0
    assert "cyst interior" in capsys.readouterr().out


def test_beam_map_focuses_at_20_mm(tmp_path):
    example = load("beam_map")
    out = tmp_path / "beam.png"
    result = example.main(["--quick", "--output", str(out)])
    assert out.read_bytes()[:8] == PNG_SIGNATURE
    # The on-axis peak lies just before the geometric focus (focal gain falls
    # off with depth faster than it grows) and the -6 dB width there is of the
    # order of wavelength x F-number (Hanning apodization widens it).
    z_peak = result["z"][np.argmax(result["axial"])]
    assert 17e-3 <= z_peak <= 20.5e-3
    f_number = 0.02 / result["aperture_width"]
    assert 1.0 <= result["beam_width"] / (result["wavelength"] * f_number) <= 2.5
    start, end, _ = result["depth_of_field"]
    assert start < z_peak < end


def test_matrix_volume_shows_every_target_in_place(tmp_path, capsys):
    example = load("matrix_volume")
    out = tmp_path / "volume.png"
    result = example.main(["--quick", "--output", str(out)])
    assert out.read_bytes()[:8] == PNG_SIGNATURE
    # The targets lie on pixels of the quick volume: each appears on its own pixel.
    found = example.locate_targets(result)
    assert np.abs(found - result["targets"]).max() < 0.01e-3, found - result["targets"]
    assert result["bmode"].db.shape == (71, 33, 33)
    assert capsys.readouterr().out.count("appears at") == len(result["targets"])


def test_plane_wave_example_writes_channel_data_and_a_compounded_image(tmp_path, capsys):
    """The quick size: five plane waves over 32 channels in a UFF file; on the middle wave the
    centre channels' envelope peaks where the middle target's echo lies; in the compounded
    B-mode image (pixels 0.1 mm across, 0.05 mm deep) the brightest pixel within 1 mm of each
    target lies within 0.1 mm of it (the elements, 5 mm high, delay near echoes a little)."""
    from sonvar import display, uff
    example = load("plane_wave_channel_data")
    out, png = tmp_path / "pw.uff", tmp_path / "pw.png"
    result = example.main(["--quick", "--output", str(out), "--image", str(png)])
    assert png.read_bytes()[:8] == PNG_SIGNATURE
    cd = uff.read(out)
    assert cd.data.shape[1:] == (32, 5) and cd.prf == 5000
    np.testing.assert_allclose([t.azimuth for t in cd.sequence], np.radians([-10, -5, 0, 5, 10]))
    np.testing.assert_array_equal(cd.data, result["data"].data)
    target = result["targets"][1]
    centre = cd.element_positions[15:17]
    expected = (target[2] + np.linalg.norm(target - centre, axis=1)) / cd.sound_speed
    env = display.envelope(cd.data[:, 15:17, 2])
    found = cd.time[np.argmax(np.where(np.abs(cd.time[:, None] - expected) < 1e-6, env, 0),
                              axis=0)]
    np.testing.assert_allclose(found, expected, atol=0.5 / 5e6)
    b = result["bmode"]
    assert b.db.max() == 0 and b.db.min() == -50
    for x, _, z in result["targets"]:
        near = (np.abs(b.z - z) <= 1e-3)[:, None] & (np.abs(b.x - x) <= 1e-3)[None, :]
        row, col = np.unravel_index(np.argmax(np.where(near, b.db, -np.inf)), b.db.shape)
        assert abs(b.x[col] - x) <= 0.1e-3 and abs(b.z[row] - z) <= 0.1e-3, (x, z)
    printed = capsys.readouterr().out
    assert "5 plane waves x 32 channels" in printed and "B-mode of 96 x 680 pixels" in printed


def test_doppler_flow_follows_the_projected_parabola(tmp_path, capsys):
    example = load("doppler_flow")
    out, image = tmp_path / "flow.uff", tmp_path / "flow.png"
    result = example.main(["--quick", "--output", str(out), "--image", str(image)])
    assert image.read_bytes()[:8] == PNG_SIGNATURE
    # Within 0.8 of the radius: 5 % RMS of the projected peak, below the aliasing limit.
    assert result["rms"] < 0.05 * result["peak"], result["rms"] / result["peak"]
    assert result["peak"] < result["maps"].aliasing_velocity
    assert np.all(result["maps"].velocity[result["core"]] > 0)  # the flow comes up the beam
    from sonvar import uff
    back = uff.read(out)
    assert back.data.shape[2:] == (1, 16) and back.prf == 5e3
    assert "RMS error" in capsys.readouterr().out

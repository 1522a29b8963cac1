// beamform.cpp - the extension module sonvar._beamform: the beamformer's
// delay-and-sum (beamform/sonvar_beamform.h) on numpy arrays. The module
// sonvar.beamform checks and documents the arguments; this binding checks
// what keeps memory safe (shapes against counts, the sample axis
// contiguous) and runs the call with the interpreter lock released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <complex>
#include <string>
#include <utility>
#include <vector>

#include "sonvar_beamform.h"

namespace py = pybind11;

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

[[noreturn]] void raise(int32_t code, const char *text) {
  if (code == SONVAR_BF_NO_MEMORY) throw std::bad_alloc();
  if (code == SONVAR_BF_INTERNAL) throw std::runtime_error(text);
  throw py::value_error(text);
}

const double *values_of(const Array &a, py::ssize_t count, const char *name) {
  if (a.size() != count)
    throw py::value_error(std::string(name) + " must hold " + std::to_string(count) +
                          " values, got " + std::to_string(a.size()));
  return a.data();
}

// The channel data: float64 or complex128, (samples, channels, transmits,
// frames), samples adjacent in memory.
sonvar_bf_channel_data channel_data(const py::array &data, double fs, double initial_time,
                                    double sound_speed, double modulation_frequency) {
  sonvar_bf_channel_data d{};
  const bool iq = data.dtype().is(py::dtype::of<std::complex<double>>());
  if (!iq && !data.dtype().is(py::dtype::of<double>()))
    throw py::type_error("data must be float64 or complex128");
  if (data.ndim() != 4) throw py::value_error("data must have 4 axes");
  const py::ssize_t item = data.itemsize();
  if (data.strides(0) != item) throw py::value_error("data: the samples must be adjacent");
  int64_t strides[3];
  for (int i = 1; i < 4; i++) {
    if (data.strides(i) % item != 0 || (data.strides(i) == 0 && data.shape(i) > 1))
      throw py::value_error("data: strides must be whole, non-zero numbers of samples");
    strides[i - 1] = data.strides(i) / item;
  }
  d.values = static_cast<const double *>(data.data());
  d.iq = iq;
  d.samples = data.shape(0), d.channels = data.shape(1), d.transmits = data.shape(2);
  d.frames = data.shape(3);
  // A stride of 0 means "packed" to the library: an axis of one value may
  // take any stride.
  d.channel_stride = d.channels > 1 ? strides[0] : d.samples;
  d.transmit_stride = d.transmits > 1 ? strides[1] : d.samples * d.channels;
  d.frame_stride = d.frames > 1 ? strides[2] : d.samples * d.channels * d.transmits;
  d.fs = fs, d.initial_time = initial_time, d.sound_speed = sound_speed;
  d.modulation_frequency = modulation_frequency;
  return d;
}

struct Transmits {
  std::vector<sonvar_bf_transmit> records;
  std::vector<Array> keep;  // the per-element arrays the records point into
};

// Each transmit a tuple (kind, azimuth, elevation, source (3), delay,
// delays or None, apodization or None).
Transmits transmits_of(const py::list &list, py::ssize_t elements) {
  Transmits t;
  for (const py::handle &item : list) {
    const py::tuple w = py::reinterpret_borrow<py::tuple>(item);
    if (w.size() != 7) throw py::value_error("a transmit is a tuple of 7 values");
    sonvar_bf_transmit r{};
    r.kind = w[0].cast<int32_t>();
    r.azimuth = w[1].cast<double>(), r.elevation = w[2].cast<double>();
    const std::array<double, 3> s = w[3].cast<std::array<double, 3>>();
    r.source[0] = s[0], r.source[1] = s[1], r.source[2] = s[2];
    r.delay = w[4].cast<double>();
    for (int i : {5, 6}) {
      if (w[i].is_none()) continue;
      t.keep.push_back(w[i].cast<Array>());
      const double *v = values_of(t.keep.back(), elements, i == 5 ? "delays" : "apodization");
      (i == 5 ? r.delays : r.apodization) = v;
    }
    t.records.push_back(r);
  }
  return t;
}

struct Grid {
  sonvar_bf_grid record{};
  std::vector<Array> keep;
};

// kind, counts (3), axes (3 arrays or None), apex (3), points ((n, 3) or None).
Grid grid_of(int32_t kind, const std::array<int64_t, 3> &counts, const py::list &axes,
             const std::array<double, 3> &apex, const py::object &points) {
  Grid g;
  g.record.kind = kind;
  for (int i = 0; i < 3; i++) g.record.count[i] = counts[static_cast<size_t>(i)];
  for (int i = 0; i < 3; i++) g.record.apex[i] = apex[static_cast<size_t>(i)];
  if (kind == SONVAR_BF_GRID_POINTS) {
    g.keep.push_back(points.cast<Array>());
    g.record.points = values_of(g.keep.back(), 3 * counts[0], "points");
    return g;
  }
  if (axes.size() != 3) throw py::value_error("grid axes: 3 entries");
  for (int i = 0; i < 3; i++) {
    if (axes[static_cast<size_t>(i)].is_none()) continue;
    g.keep.push_back(axes[static_cast<size_t>(i)].cast<Array>());
    g.record.axis[i] = values_of(g.keep.back(), counts[static_cast<size_t>(i)], "grid axis");
  }
  return g;
}

py::array das(const py::array &data, double fs, double initial_time, double sound_speed,
              double modulation_frequency, const Array &positions, const py::object &theta,
              const py::object &phi, const py::list &transmit_list, int32_t grid_kind,
              const std::array<int64_t, 3> &counts, const py::list &axes,
              const std::array<double, 3> &apex, const py::object &points, double f_number,
              double min_aperture, double max_aperture, int32_t window, double tukey_alpha,
              int32_t interpolation, bool compound, bool transmit_apodization,
              double transmit_margin, int32_t threads, int32_t vector_width,
              double max_image_bytes) {
  const sonvar_bf_channel_data d =
      channel_data(data, fs, initial_time, sound_speed, modulation_frequency);
  sonvar_bf_probe probe{};
  probe.elements = d.channels;
  probe.positions = values_of(positions, 3 * d.channels, "element_positions");
  Array theta_values, phi_values;
  if (!theta.is_none()) {
    theta_values = theta.cast<Array>();
    probe.theta = values_of(theta_values, d.channels, "element_theta");
  }
  if (!phi.is_none()) {
    phi_values = phi.cast<Array>();
    probe.phi = values_of(phi_values, d.channels, "element_phi");
  }
  const Transmits t = transmits_of(transmit_list, d.channels);
  if (static_cast<int64_t>(t.records.size()) != d.transmits)
    throw py::value_error("the sequence has " + std::to_string(t.records.size()) +
                          " transmits for " + std::to_string(d.transmits) + " in the data");
  const Grid g = grid_of(grid_kind, counts, axes, apex, points);
  sonvar_bf_options o;
  sonvar_bf_default_options(&o);
  o.f_number = f_number, o.min_aperture = min_aperture, o.max_aperture = max_aperture;
  o.window = window, o.tukey_alpha = tukey_alpha, o.interpolation = interpolation;
  o.compound = compound, o.transmit_apodization = transmit_apodization;
  o.transmit_margin = transmit_margin, o.threads = threads, o.vector_width = vector_width;
  o.max_image_bytes = max_image_bytes;
  sonvar_bf_error error{};
  int64_t count = 0;
  if (sonvar_bf_image_values(&error, &d, &g.record, &o, &count) != SONVAR_BF_OK)
    raise(error.code, error.text);
  const py::ssize_t images = compound ? 1 : d.transmits;
  const py::ssize_t pixels = count / (d.frames * images * (d.iq ? 2 : 1));
  py::array image =
      d.iq ? py::array(py::dtype::of<std::complex<double>>(),
                       std::vector<py::ssize_t>{d.frames, images, pixels})
           : py::array(py::dtype::of<double>(), std::vector<py::ssize_t>{d.frames, images, pixels});
  double *out = static_cast<double *>(image.mutable_data());
  int32_t code;
  {
    py::gil_scoped_release release;
    code = sonvar_bf_das(&error, &d, &probe, t.records.data(), &g.record, &o, out);
  }
  if (code != SONVAR_BF_OK) raise(code, error.text);
  return image;
}

}  // namespace

PYBIND11_MODULE(_beamform, m) {
  m.doc() = "Low-level bindings of the beamformer; use sonvar.beamform instead.";
  m.attr("version") = sonvar_bf_version();
  // The library's named codes, by their names without the prefix.
  const std::pair<const char *, int> codes[] = {{"PLANE", SONVAR_BF_PLANE},
                                                {"DIVERGING", SONVAR_BF_DIVERGING},
                                                {"FOCUSED", SONVAR_BF_FOCUSED},
                                                {"ELEMENT", SONVAR_BF_ELEMENT},
                                                {"CUSTOM", SONVAR_BF_CUSTOM},
                                                {"LINEAR", SONVAR_BF_LINEAR},
                                                {"CUBIC", SONVAR_BF_CUBIC},
                                                {"RECT", SONVAR_BF_RECT},
                                                {"HANNING", SONVAR_BF_HANNING},
                                                {"TUKEY", SONVAR_BF_TUKEY},
                                                {"CARTESIAN", SONVAR_BF_GRID_CARTESIAN},
                                                {"POLAR", SONVAR_BF_GRID_POLAR},
                                                {"POINTS", SONVAR_BF_GRID_POINTS}};
  for (const auto &code : codes) m.attr(code.first) = code.second;
  m.def("widest_vector", &sonvar_bf_widest_vector);
  m.def("das", &das, py::arg("data"), py::arg("fs"), py::arg("initial_time"),
        py::arg("sound_speed"), py::arg("modulation_frequency"), py::arg("positions"),
        py::arg("theta"), py::arg("phi"), py::arg("transmits"), py::arg("grid_kind"),
        py::arg("counts"), py::arg("axes"), py::arg("apex"), py::arg("points"), py::arg("f_number"),
        py::arg("min_aperture"), py::arg("max_aperture"), py::arg("window"), py::arg("tukey_alpha"),
        py::arg("interpolation"), py::arg("compound"), py::arg("transmit_apodization"),
        py::arg("transmit_margin"), py::arg("threads"), py::arg("vector_width"),
        py::arg("max_image_bytes"));
}

// channels.cpp - the channel echoes of one transmit added into a matrix the
// caller owns (a slab of the channel data), with the interpreter lock
// released while the library computes.
#include <string>

#include "core.h"

namespace sonvar_py {

namespace {

// The matrix must be float64, writeable, with contiguous columns: shape
// (rows, elements), each column's samples next to one another.
void check_slab(const py::array &out, int elements) {
  if (!out.dtype().is(py::dtype::of<double>())) throw py::type_error("out must be a float64 array");
  if (!out.writeable()) throw py::value_error("out must be writeable");
  if (out.ndim() != 2 || out.shape(1) != elements)
    throw py::value_error("out must have shape (rows, " + std::to_string(elements) + ")");
  if (out.shape(0) > 0 && out.strides(0) != static_cast<py::ssize_t>(sizeof(double)))
    throw py::value_error("out must hold each column's samples contiguously");
  if (elements > 1 && (out.strides(1) % static_cast<py::ssize_t>(sizeof(double)) != 0 ||
                       out.strides(1) < out.shape(0) * static_cast<py::ssize_t>(sizeof(double))))
    throw py::value_error("out must not overlap its columns");
}

// Adds the echoes into out; returns the number of non-zero echo samples
// that fell outside its rows.
int64_t scat_channels(const StatePtr &s, const AperturePtr &tx, const AperturePtr &rx,
                      const Array &points_in, const Array &amplitudes_in, py::array out,
                      int64_t first_sample) {
  if (!tx || !rx || tx->state() != s || rx->state() != s)
    throw py::value_error("apertures must belong to this simulator");
  std::vector<point3> points = to_points(points_in, "points");
  if (amplitudes_in.ndim() != 1 || static_cast<size_t>(amplitudes_in.shape(0)) != points.size())
    throw py::value_error("amplitudes must hold one value per scatterer");
  if (points.size() > 0x7fffffff) throw py::value_error("too many scatterers");
  const int elements = rx->get()->no_elements;
  check_slab(out, elements);
  const int64_t rows = out.shape(0);
  const int64_t stride =
      elements > 1 ? out.strides(1) / static_cast<py::ssize_t>(sizeof(double)) : rows;
  auto *data = static_cast<double *>(out.mutable_data());
  const double *amplitudes = amplitudes_in.data();
  return s->calculate([&] {
    return calc_scat_channels(s->sys(), tx->get(), rx->get(), static_cast<int>(points.size()),
                              points.data(), amplitudes, data, first_sample, rows, stride);
  });
}

}  // namespace

void bind_channels(py::module_ &m) {
  m.def("scat_channels", &scat_channels, py::arg("state"), py::arg("transmit"), py::arg("receive"),
        py::arg("points"), py::arg("amplitudes"), py::arg("out"), py::arg("first_sample"),
        "calc_scat_channels: the echoes added into out; returns the samples dropped.");
}

}  // namespace sonvar_py

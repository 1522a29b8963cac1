// field_map.cpp - field maps: h, hp or hhp reduced per point in the library
// (calc_field_map_parallel) into arrays of this module, with the
// interpreter lock released while the library computes. The points are
// read where they lie (an (n, 3) float64 array in C order has the layout
// of n point3 records), so nothing of the size of the points is copied.
#include <cstring>
#include <string>

#include "core.h"

namespace sonvar_py {

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

static_assert(sizeof(point3) == 3 * sizeof(double), "point3 is three doubles");

// The reductions of n points: a dict of the arrays asked for.
py::dict field_map(const StatePtr &s, int quantity, const AperturePtr &transmit,
                   const AperturePtr &receive, const Array &points, int reductions, int rms_window,
                   int64_t window_first, int64_t window_samples, const Array &frequencies) {
  if (!transmit || transmit->state() != s || (receive && receive->state() != s))
    throw py::value_error("apertures must belong to this simulator");
  if (points.ndim() != 2 || points.shape(1) != 3)
    throw py::value_error("points must have shape (n, 3)");
  const py::ssize_t n = points.shape(0);
  if (n < 1) throw py::value_error("points must hold at least one point");
  if (frequencies.ndim() != 1) throw py::value_error("frequencies must be one-dimensional");
  const auto count = [](py::ssize_t k) { return std::vector<py::ssize_t>{k}; };
  py::dict out;
  field_map_result result{};
  const auto take = [&](const char *name, int flag, py::ssize_t size) -> double * {
    if (!(reductions & flag)) return nullptr;
    py::array_t<double> a(count(size));
    out[name] = a;
    return a.mutable_data();
  };
  const auto take_int = [&](const char *name, int flag) -> int64_t * {
    if (!(reductions & flag)) return nullptr;
    py::array_t<int64_t> a(count(n));
    out[name] = a;
    return a.mutable_data();
  };
  result.peak = take("peak", SONVAR_MAP_PEAK, n);
  result.peak_time = take("peak_time", SONVAR_MAP_PEAK, n);
  result.rms = take("rms", SONVAR_MAP_RMS, n);
  result.energy = take("energy", SONVAR_MAP_ENERGY, n);
  result.spectrum = take("spectrum", SONVAR_MAP_SPECTRUM, n * frequencies.shape(0));
  result.first_sample = take_int("first_sample", SONVAR_MAP_SPAN);
  result.no_samples = take_int("no_samples", SONVAR_MAP_SPAN);
  const field_map_request request{quantity,          reductions,
                                  rms_window,        window_first,
                                  window_samples,    static_cast<int32_t>(frequencies.shape(0)),
                                  frequencies.data()};
  const auto *p = reinterpret_cast<const point3 *>(points.data());
  aperture *ap2 = receive ? receive->get() : nullptr;
  s->call([&] {
    calc_field_map_parallel(s->sys(), transmit->get(), ap2, static_cast<int64_t>(n), p, &request,
                            &result);
  });
  return out;
}

}  // namespace

void bind_field_map(py::module_ &m) {
  m.def("field_map", &field_map, py::arg("state"), py::arg("quantity"), py::arg("transmit"),
        py::arg("receive"), py::arg("points"), py::arg("reductions"), py::arg("rms_window"),
        py::arg("window_first"), py::arg("window_samples"), py::arg("frequencies"));
  m.attr("MAP_PEAK") = static_cast<int>(SONVAR_MAP_PEAK);
  m.attr("MAP_RMS") = static_cast<int>(SONVAR_MAP_RMS);
  m.attr("MAP_ENERGY") = static_cast<int>(SONVAR_MAP_ENERGY);
  m.attr("MAP_SPECTRUM") = static_cast<int>(SONVAR_MAP_SPECTRUM);
  m.attr("MAP_SPAN") = static_cast<int>(SONVAR_MAP_SPAN);
}

}  // namespace sonvar_py

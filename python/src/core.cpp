// core.cpp - the extension module sonvar._core: the simulator state, the
// aperture constructors, focusing, apodization, element settings, reports and
// export tables. The pure-Python layer checks arguments and documents the
// API; these bindings check only what keeps the library's memory safe.
#include "core.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace sonvar_py {

PyObject *sonvar_error = nullptr;

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;
using FArray = py::array_t<double, py::array::f_style | py::array::forcecast>;
using IntArray = py::array_t<int, py::array::c_style | py::array::forcecast>;

// Called by the library from any of its threads: collects, never calls Python.
void collect_output(void *user_data, const char *text) {
  static_cast<State *>(user_data)->append_output(text);
}

point3 to_point(const std::vector<double> &v, const char *name) {
  if (v.size() != 3) throw py::value_error(std::string(name) + " must hold 3 values (x, y, z)");
  return point3{v[0], v[1], v[2]};
}

void check_rows(const py::array &a, py::ssize_t columns, const char *name) {
  if (a.ndim() != 2 || a.shape(1) != columns || a.shape(0) < 1)
    throw py::value_error(std::string(name) + " must have shape (rows, " + std::to_string(columns) +
                          ") with at least one row");
}

// Per-element arrays for the element calls: row i of values belongs to
// element_numbers[i].
std::vector<double *> row_pointers(Array &values) {
  std::vector<double *> rows(static_cast<size_t>(values.shape(0)));
  for (size_t i = 0; i < rows.size(); i++)
    rows[i] = values.mutable_data(static_cast<py::ssize_t>(i), 0);
  return rows;
}

int count_of(py::ssize_t n, const char *name) {
  if (n > 0x7fffffff) throw py::value_error(std::string(name) + " is too large");
  return static_cast<int>(n);
}

}  // namespace

// ---------------------------------------------------------------------------
// State

State::State() {
  sys_ = sonvar_init_with_output(1, collect_output, this);
  sonvar_set_failure_mode(sys_, SONVAR_FAILURE_THROW);
  callback_ = py::none();
}

State::~State() {
  sonvar_free(sys_);
}

void State::append_output(const char *text) {
  std::lock_guard<std::mutex> lock(output_mutex_);
  output_ += text;
}

std::string State::take_output() {
  std::lock_guard<std::mutex> lock(output_mutex_);
  std::string text;
  text.swap(output_);
  return text;
}

void State::forward_output() {
  std::string text = take_output();
  if (text.empty() || callback_.is_none()) return;
  callback_(text);
}

Aperture::~Aperture() {
  // Released with the interpreter lock held: xdc_free is quick and the
  // state's lock keeps it from overlapping a calculation of another thread.
  py::gil_scoped_release release;
  xdc_free(state_->sys(), ap_);
}

std::vector<point3> to_points(const Array &a, const char *name) {
  if (a.ndim() != 2 || a.shape(1) != 3)
    throw py::value_error(std::string(name) + " must have shape (n, 3)");
  std::vector<point3> points(static_cast<size_t>(a.shape(0)));
  if (!points.empty()) std::memcpy(points.data(), a.data(), points.size() * sizeof(point3));
  return points;
}

template <class F>
std::string report(State &state, F &&f) {
  return state.capture(std::forward<F>(f));
}

namespace {

AperturePtr make(const StatePtr &state, aperture *ap) {
  if (ap == nullptr) throw std::runtime_error("the library returned no aperture");
  return std::make_shared<Aperture>(state, ap);
}

// One field of the state by option name, for reading options back.
py::dict options_of(const sys_con *s) {
  py::dict d;
  d["use_rectangles"] = s->use_rectangles;
  d["use_triangles"] = s->use_triangles;
  d["use_lines"] = s->use_lines;
  d["accurate_time_calc"] = s->accurate_time_calc;
  d["fast_integration"] = s->fast_integration;
  d["c"] = s->c;
  d["fs"] = s->fs;
  d["use_att"] = s->use_att;
  d["att"] = s->att;
  d["freq_att"] = s->freq_att;
  d["att_f0"] = s->att_f0;
  d["tau_m"] = s->tau_m;
  d["z"] = s->z;
  d["bdiva"] = s->bdiva;
  d["dz"] = s->dz;
  d["debug"] = s->debug;
  d["show_times"] = s->show_times;
  d["time_interval"] = s->time_interval;
  d["threads"] = s->threads;
  return d;
}

py::dict counters_of(const sys_con *s) {
  py::dict d;
  d["no_apertures"] = s->no_apertures;
  d["signal_bytes"] = s->signal_bytes;
  d["max_signal_bytes"] = s->max_signal_bytes;
  d["signal_alloc_calls"] = s->signal_alloc_calls;
  d["next_signal_number"] = s->next_signal_number;
  d["internal_state"] = s->internal_state;
  d["quiet"] = s->quiet;
  d["last_calc_type"] = s->last_calc_type;
  return d;
}

signal_rec *signal_from(State &state, const Array &samples, const char *name) {
  if (samples.ndim() != 1 || samples.shape(0) < 1)
    throw py::value_error(std::string(name) + " must be a non-empty 1-D array");
  const int n = count_of(samples.shape(0), name);
  return state.call([&] {
    signal_rec *s = alloc_signal(state.sys(), n, 0);
    if (s != nullptr)
      std::memcpy(s->values, samples.data(), sizeof(double) * static_cast<size_t>(n));
    return s;
  });
}

// Per-element arrays handed over to the aperture must come from the
// library's allocator: one block per row.
std::vector<double *> owned_rows(State &state, const Array &values) {
  const size_t rows = static_cast<size_t>(values.shape(0));
  const size_t columns = static_cast<size_t>(values.shape(1));
  std::vector<double *> out(rows, nullptr);
  state.call([&] {
    for (size_t i = 0; i < rows; i++) {
      out[i] = static_cast<double *>(alloc_memory(state.sys(), columns, sizeof(double)));
      if (out[i] == nullptr) throw std::bad_alloc();
      std::memcpy(out[i], values.data(static_cast<py::ssize_t>(i), 0), columns * sizeof(double));
    }
  });
  return out;
}

// The line-element table: rows of different lengths, one dict per element.
py::list line_table(const std::vector<double> &t) {
  py::list out;
  size_t i = 0;
  while (i + 13 <= t.size()) {
    py::dict row;
    row["element"] = static_cast<int>(t[i]);
    row["index"] = static_cast<int>(t[i + 1]);
    row["apodization"] = t[i + 2];
    row["element_center"] = py::make_tuple(t[i + 4], t[i + 5], t[i + 6]);
    row["rotation"] = py::make_tuple(t[i + 7], t[i + 8], t[i + 9], t[i + 10]);
    row["zc"] = t[i + 11];
    const size_t lines = static_cast<size_t>(t[i + 12]);
    i += 13;
    if (i + 5 * lines + 1 > t.size()) break;
    py::array_t<double> bl({static_cast<py::ssize_t>(lines), static_cast<py::ssize_t>(5)});
    std::memcpy(bl.mutable_data(), t.data() + i, lines * 5 * sizeof(double));
    row["lines"] = bl;
    i += 5 * lines;
    const size_t crossings = static_cast<size_t>(t[i]);
    i += 1;
    if (i + 3 * crossings > t.size()) break;
    py::array_t<double> cr({static_cast<py::ssize_t>(crossings), static_cast<py::ssize_t>(3)});
    std::memcpy(cr.mutable_data(), t.data() + i, crossings * 3 * sizeof(double));
    row["crossings"] = cr;
    i += 3 * crossings;
    out.append(row);
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "Low-level bindings of the Sonvar library; use the package sonvar instead.";
  // Lives as long as the interpreter: the module attribute holds a reference.
  sonvar_error = PyErr_NewException("sonvar.SonvarError", PyExc_RuntimeError, nullptr);
  m.attr("SonvarError") = py::handle(sonvar_error);
  m.attr("version") = sonvar_version();

  py::class_<State, StatePtr>(m, "State")
      .def(py::init<>())
      .def("set", [](State &s, const std::string &name,
                     double value) { s.call([&] { set_sonvar(s.sys(), name.c_str(), value); }); })
      .def("options", [](const State &s) { return options_of(s.sys()); })
      .def("counters", [](const State &s) { return counters_of(s.sys()); })
      .def("info", [](State &s) { return report(s, [&] { sonvar_info(s.sys()); }); })
      .def("set_callback", &State::set_callback)
      .def("take_output", &State::take_output)
      .def("release_pool", [](State &s) { s.call([&] { free_signal_memory(s.sys()); }); });

  py::class_<Aperture, AperturePtr>(m, "Aperture")
      .def_property_readonly("no_elements", [](const Aperture &a) { return a.get()->no_elements; })
      .def_property_readonly("name", [](const Aperture &a) { return std::string(a.get()->name); })
      .def_property_readonly(
          "kind",
          [](const Aperture &a) {
            const aperture *ap = a.get();
            return ap->uses_lines ? "lines" : ap->uses_triangles ? "triangles" : "rectangles";
          })
      .def("sub_elements",
           [](const Aperture &a) {
             std::vector<int> n;
             const aperture *ap = a.get();
             for (int i = 0; i < ap->no_elements; i++) {
               const physical_element &e = ap->elements[i];
               n.push_back(e.no_rectangles + e.no_triangles + e.no_line_elements);
             }
             return n;
           })
      .def("element_centers",
           [](const Aperture &a) {
             const aperture *ap = a.get();
             py::array_t<double> out(
                 {static_cast<py::ssize_t>(ap->no_elements), static_cast<py::ssize_t>(3)});
             auto r = out.mutable_unchecked<2>();
             for (int i = 0; i < ap->no_elements; i++) {
               r(i, 0) = ap->elements[i].center.x;
               r(i, 1) = ap->elements[i].center.y;
               r(i, 2) = ap->elements[i].center.z;
             }
             return out;
           })
      .def("focus",
           [](Aperture &a, const Array &times, const Array &points) {
             std::vector<point3> p = to_points(points, "points");
             if (times.ndim() != 1 || times.shape(0) != static_cast<py::ssize_t>(p.size()))
               throw py::value_error("times must hold one time per point");
             const int n = count_of(times.shape(0), "times");
             a.state()->call(
                 [&] { xdc_focus(a.state()->sys(), a.get(), n, times.data(), p.data()); });
           })
      .def("dynamic_focus",
           [](Aperture &a, double time, double zx, double zy) {
             a.state()->call([&] { xdc_dynamic_focus(a.state()->sys(), a.get(), time, zx, zy); });
           })
      .def("center_focus",
           [](Aperture &a, const std::vector<double> &point) {
             const point3 p = to_point(point, "point");
             a.state()->call([&] { xdc_center_focus(a.state()->sys(), a.get(), p); });
           })
      .def("focus_times",
           [](Aperture &a, const Array &times, const Array &delays) {
             check_rows(delays, a.get()->no_elements, "delays");
             if (times.ndim() != 1 || times.shape(0) != delays.shape(0))
               throw py::value_error("times must hold one time per row of delays");
             std::vector<double *> rows = owned_rows(*a.state(), delays);
             a.state()->call([&] {
               xdc_focus_times(a.state()->sys(), a.get(), static_cast<int>(rows.size()),
                               times.data(), rows.data());
             });
           })
      .def("apodization",
           [](Aperture &a, const Array &times, const Array &values) {
             check_rows(values, a.get()->no_elements, "values");
             if (times.ndim() != 1 || times.shape(0) != values.shape(0))
               throw py::value_error("times must hold one time per row of values");
             std::vector<double *> rows = owned_rows(*a.state(), values);
             a.state()->call([&] {
               xdc_apodization(a.state()->sys(), a.get(), static_cast<int>(rows.size()),
                               times.data(), rows.data());
             });
           })
      .def("dynamic_apodization",
           [](Aperture &a, int window, double f_number, const std::vector<double> &reference,
              const std::vector<double> &direction) {
             const point3 r = to_point(reference, "reference"),
                          d = to_point(direction, "direction");
             a.state()->call([&] {
               xdc_dynamic_apodization(a.state()->sys(), a.get(), window, f_number, r, d);
             });
           })
      .def("ele_apodization",
           [](Aperture &a, const IntArray &numbers, Array values) {
             if (values.ndim() != 2 || numbers.ndim() != 1 || numbers.shape(0) != values.shape(0))
               throw py::value_error("values must have one row per element number");
             for (py::ssize_t i = 0; i < numbers.shape(0); i++)
               if (numbers.at(i) < 1 || numbers.at(i) > a.get()->no_elements)
                 throw py::value_error("element number out of range");
             std::vector<double *> rows = row_pointers(values);
             a.state()->call([&] {
               ele_apodization(a.get(), static_cast<int>(rows.size()), numbers.data(),
                               static_cast<int>(values.shape(1)), rows.data());
             });
           })
      .def("ele_delay",
           [](Aperture &a, const IntArray &numbers, Array values) {
             if (values.ndim() != 2 || numbers.ndim() != 1 || numbers.shape(0) != values.shape(0))
               throw py::value_error("values must have one row per element number");
             for (py::ssize_t i = 0; i < numbers.shape(0); i++)
               if (numbers.at(i) < 1 || numbers.at(i) > a.get()->no_elements)
                 throw py::value_error("element number out of range");
             std::vector<double *> rows = row_pointers(values);
             a.state()->call([&] {
               ele_delay(a.get(), static_cast<int>(rows.size()), numbers.data(),
                         static_cast<int>(values.shape(1)), rows.data());
             });
           })
      .def("ele_waveform",
           [](Aperture &a, const IntArray &numbers, Array samples) {
             if (samples.ndim() != 2 || samples.shape(1) < 1 || numbers.ndim() != 1 ||
                 numbers.shape(0) != samples.shape(0))
               throw py::value_error("samples must have one non-empty row per element number");
             for (py::ssize_t i = 0; i < numbers.shape(0); i++)
               if (numbers.at(i) < 1 || numbers.at(i) > a.get()->no_elements)
                 throw py::value_error("element number out of range");
             std::vector<double *> rows = row_pointers(samples);
             a.state()->call([&] {
               ele_waveform(a.state()->sys(), a.get(), static_cast<int>(rows.size()),
                            numbers.data(), count_of(samples.shape(1), "samples"), rows.data());
             });
           })
      .def("impulse",
           [](Aperture &a, const Array &samples) {
             signal_rec *s = signal_from(*a.state(), samples, "samples");
             a.state()->call([&] { xdc_impulse(a.state()->sys(), a.get(), s); });
           })
      .def("excitation",
           [](Aperture &a, const Array &samples) {
             signal_rec *s = signal_from(*a.state(), samples, "samples");
             a.state()->call([&] { xdc_excitation(a.state()->sys(), a.get(), s); });
           })
      .def("signal",
           [](const Aperture &a, const std::string &which) {
             const signal_rec *s =
                 which == "impulse" ? a.get()->impulse_response : a.get()->excitation;
             py::array_t<double> out(s->no_samples);
             std::memcpy(out.mutable_data(), s->values,
                         sizeof(double) * static_cast<size_t>(s->no_samples));
             return py::make_tuple(s->start_sample, out);
           })
      .def("convert",
           [](Aperture &a) { a.state()->call([&] { xdc_convert(a.state()->sys(), a.get()); }); })
      .def("line_convert",
           [](Aperture &a) {
             a.state()->call([&] { xdc_line_convert(a.state()->sys(), a.get()); });
           })
      .def("show",
           [](Aperture &a, int kind) {
             return report(*a.state(), [&] { xdc_show(a.state()->sys(), a.get(), kind); });
           })
      .def("get", [](Aperture &a, int kind) -> py::object {
        State &s = *a.state();
        const int64_t size = s.call([&] { return xdc_get_size(s.sys(), a.get(), kind); });
        std::vector<double> table(static_cast<size_t>(size));
        if (size > 0) s.call([&] { xdc_get(s.sys(), a.get(), kind, table.data()); });
        if (kind == SONVAR_TABLE_LINES) return line_table(table);
        py::ssize_t columns = 1;
        if (kind == SONVAR_TABLE_RECTANGLES) columns = 26;
        if (kind == SONVAR_TABLE_TRIANGLES) columns = 15;
        if (kind == SONVAR_TABLE_FOCUS || kind == SONVAR_TABLE_APODIZATION)
          columns = 1 + a.get()->no_elements;
        py::array_t<double> out({static_cast<py::ssize_t>(size) / columns, columns});
        if (size > 0) std::memcpy(out.mutable_data(), table.data(), sizeof(double) * table.size());
        return out;
      });

  // --- Constructors -------------------------------------------------------
  m.def("piston", [](const StatePtr &s, double radius, double ele_size) {
    return make(s, s->call([&] { return xdc_piston(s->sys(), radius, ele_size); }));
  });
  m.def("concave", [](const StatePtr &s, double radius, double focal_radius, double ele_size) {
    return make(s, s->call([&] { return xdc_concave(s->sys(), radius, focal_radius, ele_size); }));
  });
  m.def("linear_array", [](const StatePtr &s, int n, double width, double height, double kerf,
                           int sub_x, int sub_y, const std::vector<double> &focus) {
    const point3 f = to_point(focus, "focus");
    return make(s, s->call([&] {
      return xdc_linear_array(s->sys(), n, width, height, kerf, sub_x, sub_y, f);
    }));
  });
  m.def("linear_multirow",
        [](const StatePtr &s, int nx, double width, const Array &heights, double kerf_x,
           double kerf_y, int sub_x, int sub_y, const std::vector<double> &focus) {
          const point3 f = to_point(focus, "focus");
          const int ny = count_of(heights.size(), "heights");
          return make(s, s->call([&] {
            return xdc_linear_multirow(s->sys(), nx, width, ny, heights.data(), kerf_x, kerf_y,
                                       sub_x, sub_y, f);
          }));
        });
  m.def("focused_array",
        [](const StatePtr &s, int n, double width, double height, double kerf, double r_focus,
           int sub_x, int sub_y, const std::vector<double> &focus) {
          const point3 f = to_point(focus, "focus");
          return make(s, s->call([&] {
            return xdc_focused_array(s->sys(), n, width, height, kerf, r_focus, sub_x, sub_y, f);
          }));
        });
  m.def("focused_multirow",
        [](const StatePtr &s, int nx, double width, const Array &heights, double kerf_x,
           double kerf_y, double r_focus, int sub_x, int sub_y, const std::vector<double> &focus) {
          const point3 f = to_point(focus, "focus");
          const int ny = count_of(heights.size(), "heights");
          return make(s, s->call([&] {
            return xdc_focused_multirow(s->sys(), nx, width, ny, heights.data(), kerf_x, kerf_y,
                                        r_focus, sub_x, sub_y, f);
          }));
        });
  m.def("convex_array",
        [](const StatePtr &s, int n, double width, double height, double kerf, double r_convex,
           int sub_x, int sub_y, const std::vector<double> &focus) {
          const point3 f = to_point(focus, "focus");
          return make(s, s->call([&] {
            return xdc_convex_array(s->sys(), n, width, height, kerf, r_convex, sub_x, sub_y, f);
          }));
        });
  m.def("convex_focused_array",
        [](const StatePtr &s, int n, double width, double height, double kerf, double r_convex,
           double r_focus, int sub_x, int sub_y, const std::vector<double> &focus) {
          const point3 f = to_point(focus, "focus");
          return make(s, s->call([&] {
            return xdc_convex_focused_array(s->sys(), n, width, height, kerf, r_convex, r_focus,
                                            sub_x, sub_y, f);
          }));
        });
  m.def("convex_focused_multirow", [](const StatePtr &s, int nx, double width, const Array &heights,
                                      double kerf_x, double kerf_y, double r_convex, double r_focus,
                                      int sub_x, int sub_y, const std::vector<double> &focus) {
    const point3 f = to_point(focus, "focus");
    const int ny = count_of(heights.size(), "heights");
    return make(s, s->call([&] {
      return xdc_convex_focused_multirow(s->sys(), nx, width, ny, heights.data(), kerf_x, kerf_y,
                                         r_convex, r_focus, sub_x, sub_y, f);
    }));
  });
  m.def("array_2d",
        [](const StatePtr &s, int nx, int ny, double width, double height, double kerf_x,
           double kerf_y,
           const py::array_t<int16_t, py::array::c_style | py::array::forcecast> &enabled,
           int sub_x, int sub_y, const std::vector<double> &focus) {
          const point3 f = to_point(focus, "focus");
          if (enabled.size() != static_cast<py::ssize_t>(nx) * ny)
            throw py::value_error("enabled must hold no_elem_x * no_elem_y flags");
          return make(s, s->call([&] {
            return xdc_2d_array(s->sys(), nx, ny, width, height, kerf_x, kerf_y, enabled.data(),
                                sub_x, sub_y, f);
          }));
        });
  // Free-form tables (column-major, as the library reads them).
  m.def("rectangles", [](const StatePtr &s, const FArray &table, const FArray &centers,
                         const std::vector<double> &focus) {
    check_rows(table, 19, "rectangles");
    check_rows(centers, 3, "centers");
    const point3 f = to_point(focus, "focus");
    const int rows = count_of(table.shape(0), "rectangles");
    return make(s, s->call([&] {
      return xdc_rectangles(s->sys(), table.data(), rows, centers.data(), f);
    }));
  });
  m.def("triangles", [](const StatePtr &s, const FArray &table, const FArray &centers,
                        const std::vector<double> &focus) {
    check_rows(table, 11, "triangles");
    check_rows(centers, 3, "centers");
    const point3 f = to_point(focus, "focus");
    const int rows = count_of(table.shape(0), "triangles");
    return make(
        s, s->call([&] { return xdc_triangles(s->sys(), table.data(), rows, centers.data(), f); }));
  });
  m.def("lines", [](const StatePtr &s, const FArray &table, const FArray &centers,
                    const std::vector<double> &focus) {
    check_rows(table, 6, "lines");
    check_rows(centers, 3, "centers");
    const point3 f = to_point(focus, "focus");
    const int rows = count_of(table.shape(0), "lines");
    return make(
        s, s->call([&] { return xdc_lines(s->sys(), table.data(), rows, centers.data(), f); }));
  });
  m.def("triangles_single", [](const StatePtr &s, const FArray &corners, const Array &apodizations,
                               double element_apodization, const std::vector<double> &center) {
    check_rows(corners, 9, "corners");
    if (apodizations.size() != corners.shape(0))
      throw py::value_error("apodizations must hold one weight per triangle");
    const point3 c = to_point(center, "center");
    const int rows = count_of(corners.shape(0), "corners");
    return make(s, s->call([&] {
      return xdc_triangles_old(s->sys(), corners.data(), rows, apodizations.data(),
                               element_apodization, c);
    }));
  });

  bind_calculations(m);
  bind_channels(m);
  bind_field_map(m);
}

}  // namespace sonvar_py

// apertures.cpp - the aperture of sonvar._core: focusing, apodization,
// element settings, pulses, conversions, the report and the export tables.
// The pure-Python layer checks arguments and documents the API; these
// functions check only what keeps the library's memory safe.
#include <cstring>

#include "core.h"

namespace sonvar_py {

Aperture::~Aperture() {
  // Released with the interpreter lock held: xdc_free is quick and the
  // state's lock keeps it from overlapping a calculation of another thread.
  py::gil_scoped_release release;
  xdc_free(state_->sys(), ap_);
}

namespace {

// The rows of an element call: row i of `values` belongs to element number
// numbers[i] (from 1). The rows are copied, so read-only arrays serve.
struct ElementRows {
  ElementRows(const Aperture &a, const IntArray &numbers, const Array &values, const char *name,
              bool non_empty) {
    if (values.ndim() != 2 || numbers.ndim() != 1 || numbers.shape(0) != values.shape(0) ||
        (non_empty && values.shape(1) < 1))
      throw py::value_error(std::string(name) + " must have one " +
                            (non_empty ? "non-empty " : "") + "row per element number");
    for (py::ssize_t i = 0; i < numbers.shape(0); i++)
      if (numbers.at(i) < 1 || numbers.at(i) > a.get()->no_elements)
        throw py::value_error("element number out of range");
    count = count_of(values.shape(0), name);
    columns = count_of(values.shape(1), name);
    copy.assign(values.data(), values.data() + values.size());
    for (int i = 0; i < count; i++) rows.push_back(copy.data() + static_cast<size_t>(i) * columns);
    this->numbers = numbers.data();
  }
  int count = 0, columns = 0;
  const int *numbers = nullptr;
  std::vector<double> copy;
  std::vector<double *> rows;
};

// Per-element arrays handed over to the aperture come from the library's
// allocator, one block per row; rows taken before a failure go back.
std::vector<double *> owned_rows(State &state, const Array &values) {
  const size_t rows = static_cast<size_t>(values.shape(0));
  const size_t columns = static_cast<size_t>(values.shape(1));
  std::vector<double *> out(rows, nullptr);
  state.call([&] {
    for (size_t i = 0; i < rows; i++) {
      out[i] = static_cast<double *>(alloc_memory(state.sys(), columns, sizeof(double)));
      if (out[i] == nullptr) {
        for (size_t k = 0; k < i; k++) free_memory(state.sys(), out[k]);
        throw std::bad_alloc();
      }
      std::memcpy(out[i], values.data(static_cast<py::ssize_t>(i), 0), columns * sizeof(double));
    }
  });
  return out;
}

signal_rec *signal_from(State &state, const Array &samples, const char *name) {
  if (samples.ndim() != 1 || samples.shape(0) < 1)
    throw py::value_error(std::string(name) + " must be a non-empty 1-D array");
  const int n = count_of(samples.shape(0), name);
  return state.call([&] {
    signal_rec *s = alloc_signal(state.sys(), n, 0);
    std::memcpy(s->values, samples.data(), sizeof(double) * static_cast<size_t>(n));
    return s;
  });
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

const char *kind_of(const Aperture &a) {
  const aperture *ap = a.get();
  return ap->uses_lines ? "lines" : ap->uses_triangles ? "triangles" : "rectangles";
}

std::vector<int> sub_elements(const Aperture &a) {
  std::vector<int> n;
  const aperture *ap = a.get();
  for (int i = 0; i < ap->no_elements; i++) {
    const physical_element &e = ap->elements[i];
    n.push_back(e.no_rectangles + e.no_triangles + e.no_line_elements);
  }
  return n;
}

py::array_t<double> element_centers(const Aperture &a) {
  const aperture *ap = a.get();
  py::array_t<double> out({static_cast<py::ssize_t>(ap->no_elements), static_cast<py::ssize_t>(3)});
  auto r = out.mutable_unchecked<2>();
  for (int i = 0; i < ap->no_elements; i++) {
    r(i, 0) = ap->elements[i].center.x;
    r(i, 1) = ap->elements[i].center.y;
    r(i, 2) = ap->elements[i].center.z;
  }
  return out;
}

void focus(Aperture &a, const Array &times, const Array &points) {
  std::vector<point3> p = to_points(points, "points");
  if (times.ndim() != 1 || times.shape(0) != static_cast<py::ssize_t>(p.size()))
    throw py::value_error("times must hold one time per point");
  const int n = count_of(times.shape(0), "times");
  a.state()->call([&] { xdc_focus(a.state()->sys(), a.get(), n, times.data(), p.data()); });
}

void dynamic_focus(Aperture &a, double time, double zx, double zy) {
  a.state()->call([&] { xdc_dynamic_focus(a.state()->sys(), a.get(), time, zx, zy); });
}

void center_focus(Aperture &a, const std::vector<double> &point) {
  const point3 p = to_point(point, "point");
  a.state()->call([&] { xdc_center_focus(a.state()->sys(), a.get(), p); });
}

// A time line of per-element rows handed over to the aperture by `set`
// (xdc_focus_times or xdc_apodization).
template <typename Set>
void time_line(Aperture &a, const Array &times, const Array &values, const char *name, Set set) {
  check_rows(values, a.get()->no_elements, name);
  if (times.ndim() != 1 || times.shape(0) != values.shape(0))
    throw py::value_error(std::string("times must hold one time per row of ") + name);
  std::vector<double *> rows = owned_rows(*a.state(), values);
  a.state()->call([&] {
    set(a.state()->sys(), a.get(), static_cast<int>(rows.size()), times.data(), rows.data());
  });
}

void focus_times(Aperture &a, const Array &times, const Array &delays) {
  time_line(a, times, delays, "delays", xdc_focus_times);
}

void apodization(Aperture &a, const Array &times, const Array &values) {
  time_line(a, times, values, "values", xdc_apodization);
}

void dynamic_apodization(Aperture &a, int window, double f_number,
                         const std::vector<double> &reference,
                         const std::vector<double> &direction) {
  const point3 r = to_point(reference, "reference"), d = to_point(direction, "direction");
  a.state()->call(
      [&] { xdc_dynamic_apodization(a.state()->sys(), a.get(), window, f_number, r, d); });
}

void element_apodization(Aperture &a, const IntArray &numbers, const Array &values) {
  ElementRows e(a, numbers, values, "values", false);
  a.state()->call([&] { ele_apodization(a.get(), e.count, e.numbers, e.columns, e.rows.data()); });
}

void element_delay(Aperture &a, const IntArray &numbers, const Array &values) {
  ElementRows e(a, numbers, values, "values", false);
  a.state()->call([&] { ele_delay(a.get(), e.count, e.numbers, e.columns, e.rows.data()); });
}

void element_waveform(Aperture &a, const IntArray &numbers, const Array &samples) {
  ElementRows e(a, numbers, samples, "samples", true);
  a.state()->call([&] {
    ele_waveform(a.state()->sys(), a.get(), e.count, e.numbers, e.columns, e.rows.data());
  });
}

void impulse(Aperture &a, const Array &samples) {
  signal_rec *s = signal_from(*a.state(), samples, "samples");
  a.state()->call([&] { xdc_impulse(a.state()->sys(), a.get(), s); });
}

void excitation(Aperture &a, const Array &samples) {
  signal_rec *s = signal_from(*a.state(), samples, "samples");
  a.state()->call([&] { xdc_excitation(a.state()->sys(), a.get(), s); });
}

py::tuple signal(const Aperture &a, const std::string &which) {
  const signal_rec *s = which == "impulse" ? a.get()->impulse_response : a.get()->excitation;
  py::array_t<double> out(s->no_samples);
  std::memcpy(out.mutable_data(), s->values, sizeof(double) * static_cast<size_t>(s->no_samples));
  return py::make_tuple(s->start_sample, out);
}

void convert(Aperture &a) {
  a.state()->call([&] { xdc_convert(a.state()->sys(), a.get()); });
}

void line_convert(Aperture &a) {
  a.state()->call([&] { xdc_line_convert(a.state()->sys(), a.get()); });
}

std::string show(Aperture &a, int kind) {
  return a.state()->capture([&] { xdc_show(a.state()->sys(), a.get(), kind); });
}

// Values a row of an export table holds (the line table has rows of
// different lengths).
py::ssize_t table_columns(const Aperture &a, int kind) {
  if (kind == SONVAR_TABLE_RECTANGLES) return 26;
  if (kind == SONVAR_TABLE_TRIANGLES) return 15;
  if (kind == SONVAR_TABLE_FOCUS || kind == SONVAR_TABLE_APODIZATION)
    return 1 + a.get()->no_elements;
  return 1;
}

py::object table(Aperture &a, int kind) {
  State &s = *a.state();
  const int64_t size = s.call([&] { return xdc_get_size(s.sys(), a.get(), kind); });
  std::vector<double> values(static_cast<size_t>(size));
  if (size > 0) s.call([&] { xdc_get(s.sys(), a.get(), kind, values.data()); });
  if (kind == SONVAR_TABLE_LINES) return line_table(values);
  const py::ssize_t columns = table_columns(a, kind);
  py::array_t<double> out({static_cast<py::ssize_t>(size) / columns, columns});
  if (size > 0) std::memcpy(out.mutable_data(), values.data(), sizeof(double) * values.size());
  return out;
}

}  // namespace

void bind_apertures(py::module_ &m) {
  using py::arg;
  py::class_<Aperture, AperturePtr>(m, "Aperture", "An aperture of a State (xdc_free on release).")
      .def_property_readonly(
          "no_elements", [](const Aperture &a) { return a.get()->no_elements; },
          "Physical elements.")
      .def_property_readonly(
          "name", [](const Aperture &a) { return std::string(a.get()->name); },
          "Kind of transducer, as the library names it.")
      .def_property_readonly("kind", &kind_of, "rectangles, triangles or lines.")
      .def("sub_elements", &sub_elements, "Mathematical elements of each physical element.")
      .def("element_centers", &element_centers, "(elements, 3) centres, m.")
      .def("focus", &focus, arg("times"), arg("points"), "xdc_focus.")
      .def("dynamic_focus", &dynamic_focus, arg("time"), arg("angle_zx"), arg("angle_zy"),
           "xdc_dynamic_focus.")
      .def("center_focus", &center_focus, arg("point"), "xdc_center_focus.")
      .def("focus_times", &focus_times, arg("times"), arg("delays"),
           "xdc_focus_times: delays (entries, elements), s.")
      .def("apodization", &apodization, arg("times"), arg("values"),
           "xdc_apodization: values (entries, elements).")
      .def("dynamic_apodization", &dynamic_apodization, arg("window"), arg("f_number"),
           arg("reference"), arg("direction"), "xdc_dynamic_apodization.")
      .def("ele_apodization", &element_apodization, arg("numbers"), arg("values"),
           "ele_apodization: one row of values per element number.")
      .def("ele_delay", &element_delay, arg("numbers"), arg("values"),
           "ele_delay: one row of delays (s) per element number.")
      .def("ele_waveform", &element_waveform, arg("numbers"), arg("samples"),
           "ele_waveform: one row of samples per element number.")
      .def("impulse", &impulse, arg("samples"), "xdc_impulse.")
      .def("excitation", &excitation, arg("samples"), "xdc_excitation.")
      .def("signal", &signal, arg("which"),
           "(start_sample, samples) of the 'impulse' response or the excitation.")
      .def("convert", &convert, "xdc_convert: rectangles into triangles.")
      .def("line_convert", &line_convert, "xdc_line_convert: rectangles into line elements.")
      .def("show", &show, arg("kind"), "The xdc_show report as a string.")
      .def("get", &table, arg("kind"), "The xdc_get table of a kind.");
}

}  // namespace sonvar_py

// constructors.cpp - the aperture constructors of sonvar._core: pistons,
// arrays and free-form tables.
#include "core.h"

namespace sonvar_py {

namespace {

using Int16Array = py::array_t<int16_t, py::array::c_style | py::array::forcecast>;

// The aperture a constructor built on the state (which it keeps alive).
template <typename Build>
AperturePtr made(const StatePtr &s, Build build) {
  aperture *ap = s->call(build);
  if (ap == nullptr) throw std::runtime_error("the library returned no aperture");
  return std::make_shared<Aperture>(s, ap);
}

AperturePtr piston(const StatePtr &s, double radius, double ele_size) {
  return made(s, [&] { return xdc_piston(s->sys(), radius, ele_size); });
}

AperturePtr concave(const StatePtr &s, double radius, double focal_radius, double ele_size) {
  return made(s, [&] { return xdc_concave(s->sys(), radius, focal_radius, ele_size); });
}

AperturePtr linear_array(const StatePtr &s, int n, double width, double height, double kerf,
                         int sub_x, int sub_y, const std::vector<double> &focus) {
  const point3 f = to_point(focus, "focus");
  return made(s,
              [&] { return xdc_linear_array(s->sys(), n, width, height, kerf, sub_x, sub_y, f); });
}

AperturePtr linear_multirow(const StatePtr &s, int nx, double width, const Array &heights,
                            double kerf_x, double kerf_y, int sub_x, int sub_y,
                            const std::vector<double> &focus) {
  const point3 f = to_point(focus, "focus");
  const int ny = count_of(heights.size(), "heights");
  return made(s, [&] {
    return xdc_linear_multirow(s->sys(), nx, width, ny, heights.data(), kerf_x, kerf_y, sub_x,
                               sub_y, f);
  });
}

AperturePtr focused_array(const StatePtr &s, int n, double width, double height, double kerf,
                          double r_focus, int sub_x, int sub_y, const std::vector<double> &focus) {
  const point3 f = to_point(focus, "focus");
  return made(s, [&] {
    return xdc_focused_array(s->sys(), n, width, height, kerf, r_focus, sub_x, sub_y, f);
  });
}

AperturePtr focused_multirow(const StatePtr &s, int nx, double width, const Array &heights,
                             double kerf_x, double kerf_y, double r_focus, int sub_x, int sub_y,
                             const std::vector<double> &focus) {
  const point3 f = to_point(focus, "focus");
  const int ny = count_of(heights.size(), "heights");
  return made(s, [&] {
    return xdc_focused_multirow(s->sys(), nx, width, ny, heights.data(), kerf_x, kerf_y, r_focus,
                                sub_x, sub_y, f);
  });
}

AperturePtr convex_array(const StatePtr &s, int n, double width, double height, double kerf,
                         double r_convex, int sub_x, int sub_y, const std::vector<double> &focus) {
  const point3 f = to_point(focus, "focus");
  return made(s, [&] {
    return xdc_convex_array(s->sys(), n, width, height, kerf, r_convex, sub_x, sub_y, f);
  });
}

AperturePtr convex_focused_array(const StatePtr &s, int n, double width, double height, double kerf,
                                 double r_convex, double r_focus, int sub_x, int sub_y,
                                 const std::vector<double> &focus) {
  const point3 f = to_point(focus, "focus");
  return made(s, [&] {
    return xdc_convex_focused_array(s->sys(), n, width, height, kerf, r_convex, r_focus, sub_x,
                                    sub_y, f);
  });
}

AperturePtr convex_focused_multirow(const StatePtr &s, int nx, double width, const Array &heights,
                                    double kerf_x, double kerf_y, double r_convex, double r_focus,
                                    int sub_x, int sub_y, const std::vector<double> &focus) {
  const point3 f = to_point(focus, "focus");
  const int ny = count_of(heights.size(), "heights");
  return made(s, [&] {
    return xdc_convex_focused_multirow(s->sys(), nx, width, ny, heights.data(), kerf_x, kerf_y,
                                       r_convex, r_focus, sub_x, sub_y, f);
  });
}

AperturePtr array_2d(const StatePtr &s, int nx, int ny, double width, double height, double kerf_x,
                     double kerf_y, const Int16Array &enabled, int sub_x, int sub_y,
                     const std::vector<double> &focus) {
  const point3 f = to_point(focus, "focus");
  if (enabled.size() != static_cast<py::ssize_t>(nx) * ny)
    throw py::value_error("enabled must hold no_elem_x * no_elem_y flags");
  return made(s, [&] {
    return xdc_2d_array(s->sys(), nx, ny, width, height, kerf_x, kerf_y, enabled.data(), sub_x,
                        sub_y, f);
  });
}

// A free-form table (column-major, as the library reads it) of `columns`
// values a row, with the centres of its physical elements.
template <typename Build>
AperturePtr table_aperture(const StatePtr &s, const FArray &table, py::ssize_t columns,
                           const FArray &centers, const std::vector<double> &focus,
                           const char *name, Build build) {
  check_rows(table, columns, name);
  check_rows(centers, 3, "centers");
  const point3 f = to_point(focus, "focus");
  const int rows = count_of(table.shape(0), name);
  return made(s, [&] { return build(s->sys(), table.data(), rows, centers.data(), f); });
}

AperturePtr rectangles(const StatePtr &s, const FArray &table, const FArray &centers,
                       const std::vector<double> &focus) {
  return table_aperture(s, table, 19, centers, focus, "rectangles", xdc_rectangles);
}

AperturePtr triangles(const StatePtr &s, const FArray &table, const FArray &centers,
                      const std::vector<double> &focus) {
  return table_aperture(s, table, 11, centers, focus, "triangles", xdc_triangles);
}

AperturePtr lines(const StatePtr &s, const FArray &table, const FArray &centers,
                  const std::vector<double> &focus) {
  return table_aperture(s, table, 6, centers, focus, "lines", xdc_lines);
}

AperturePtr triangles_single(const StatePtr &s, const FArray &corners, const Array &apodizations,
                             double element_apodization, const std::vector<double> &center) {
  check_rows(corners, 9, "corners");
  if (apodizations.size() != corners.shape(0))
    throw py::value_error("apodizations must hold one weight per triangle");
  const point3 c = to_point(center, "center");
  const int rows = count_of(corners.shape(0), "corners");
  return made(s, [&] {
    return xdc_triangles_old(s->sys(), corners.data(), rows, apodizations.data(),
                             element_apodization, c);
  });
}

}  // namespace

void bind_constructors(py::module_ &m) {
  using py::arg;
  m.def("piston", &piston, arg("state"), arg("radius"), arg("ele_size"), "xdc_piston.");
  m.def("concave", &concave, arg("state"), arg("radius"), arg("focal_radius"), arg("ele_size"),
        "xdc_concave.");
  m.def("linear_array", &linear_array, arg("state"), arg("no_elements"), arg("width"),
        arg("height"), arg("kerf"), arg("no_sub_x"), arg("no_sub_y"), arg("focus"),
        "xdc_linear_array.");
  m.def("linear_multirow", &linear_multirow, arg("state"), arg("no_elem_x"), arg("width"),
        arg("heights"), arg("kerf_x"), arg("kerf_y"), arg("no_sub_x"), arg("no_sub_y"),
        arg("focus"), "xdc_linear_multirow.");
  m.def("focused_array", &focused_array, arg("state"), arg("no_elements"), arg("width"),
        arg("height"), arg("kerf"), arg("r_focus"), arg("no_sub_x"), arg("no_sub_y"), arg("focus"),
        "xdc_focused_array.");
  m.def("focused_multirow", &focused_multirow, arg("state"), arg("no_elem_x"), arg("width"),
        arg("heights"), arg("kerf_x"), arg("kerf_y"), arg("r_focus"), arg("no_sub_x"),
        arg("no_sub_y"), arg("focus"), "xdc_focused_multirow.");
  m.def("convex_array", &convex_array, arg("state"), arg("no_elements"), arg("width"),
        arg("height"), arg("kerf"), arg("r_convex"), arg("no_sub_x"), arg("no_sub_y"), arg("focus"),
        "xdc_convex_array.");
  m.def("convex_focused_array", &convex_focused_array, arg("state"), arg("no_elements"),
        arg("width"), arg("height"), arg("kerf"), arg("r_convex"), arg("r_focus"), arg("no_sub_x"),
        arg("no_sub_y"), arg("focus"), "xdc_convex_focused_array.");
  m.def("convex_focused_multirow", &convex_focused_multirow, arg("state"), arg("no_elem_x"),
        arg("width"), arg("heights"), arg("kerf_x"), arg("kerf_y"), arg("r_convex"), arg("r_focus"),
        arg("no_sub_x"), arg("no_sub_y"), arg("focus"), "xdc_convex_focused_multirow.");
  m.def("array_2d", &array_2d, arg("state"), arg("no_elem_x"), arg("no_elem_y"), arg("width"),
        arg("height"), arg("kerf_x"), arg("kerf_y"), arg("enabled"), arg("no_sub_x"),
        arg("no_sub_y"), arg("focus"), "xdc_2d_array: enabled (no_elem_x * no_elem_y) flags.");
  m.def("rectangles", &rectangles, arg("state"), arg("table"), arg("centers"), arg("focus"),
        "xdc_rectangles: table (rows, 19).");
  m.def("triangles", &triangles, arg("state"), arg("table"), arg("centers"), arg("focus"),
        "xdc_triangles: table (rows, 11).");
  m.def("lines", &lines, arg("state"), arg("table"), arg("centers"), arg("focus"),
        "xdc_lines: table (rows, 6).");
  m.def("triangles_single", &triangles_single, arg("state"), arg("corners"), arg("apodizations"),
        arg("element_apodization"), arg("center"), "xdc_triangles_old: corners (rows, 9).");
}

}  // namespace sonvar_py

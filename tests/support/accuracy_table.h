// accuracy_table.h - the cases, methods and rows of the accuracy table
// (docs/accuracy.md): each case is an aperture of flat elements and a field
// point, each method one way the library computes its h, each row the
// errors against the references of accuracy_reference.h.
#ifndef SONVAR_ACCURACY_TABLE_H
#define SONVAR_ACCURACY_TABLE_H

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "base/points.h"
#include "support/accuracy_reference.h"

namespace accuracy {

using namespace sonvar;  // the library internals under test

constexpr double kC = 1540.0;
constexpr double kFs = 100e6;

// How the library is asked to compute a case.
struct Method {
  std::string name;
  int kind;    // 0 rectangles, 1 triangles, 2 line-bounded elements
  int cut;     // rectangles: sub-elements per element side (x and y alike)
  int cut_y;   // rectangles: sub-elements along y (0: same as cut)
  bool exact;  // exact_integration option
};

struct Case {
  std::string name;
  // Builds the aperture for a method on a state whose options are set.
  std::function<aperture *(sys_con *, const Method &)> build;
  std::vector<Element> elements;  // the same aperture for the reference
  point3 point;
  double plateau = 0;                // plateau value in units of c (0: none)
  double plateau_end = 0;            // time the plateau ends, s (it starts at z / c)
  double piston_radius = 0;          // > 0: the reference is the circular piston
  std::vector<std::string> methods;  // names of the methods that apply
  double width = 0, height = 0;      // of one physical element, m (rule of the cut)
};

struct Row {
  std::string case_name, method;
  Errors errors;
  double fresnel = -1;  // rectangles: N_F of the sub-element nearest the point (-1: none)
  double floor = 0;     // rectangles: c / (fs R), R to the nearest element centre
};

// N_F = (w^2 + h^2) fs / (8 R c): the spread, in samples, of the path
// lengths over a sub-element of w x h at distance R beyond what the
// far-field (plane-wave) rectangle accounts for. R is taken to the nearest
// element centre.
inline double nearest_distance(const Case &c) {
  double r = 1e300;
  for (const Element &e : c.elements) {
    double cx = 0, cy = 0;
    for (const Vertex &v : e.v) {
      cx += v.x / e.v.size();
      cy += v.y / e.v.size();
    }
    r = std::min(r, std::sqrt(sqr(c.point.x - cx) + sqr(c.point.y - cy) + sqr(c.point.z)));
  }
  return r;
}

inline double fresnel_number(const Case &c, const Method &m) {
  const double r = nearest_distance(c);
  const double w = c.width / m.cut, h = c.height / (m.cut_y > 0 ? m.cut_y : m.cut);
  return (w * w + h * h) * kFs / (8 * r * kC);
}

inline Element rectangle(double x0, double y0, double w, double h, double delay = 0) {
  return Element{{{{x0, y0}, {x0 + w, y0}, {x0 + w, y0 + h}, {x0, y0 + h}}}, delay};
}

inline std::vector<Method> all_methods() {
  return {{"rectangles 1 x 1", 0, 1, 0, false},
          {"rectangles 4 x 4", 0, 4, 0, false},
          {"rectangles 16 x 16", 0, 16, 0, false},
          {"rectangles 1 x 28", 0, 1, 28, false},
          {"triangles", 1, 1, 0, false},
          {"triangles, exact", 1, 1, 0, true},
          {"lines", 2, 1, 0, false},
          {"lines, exact", 2, 1, 0, true}};
}

inline void set_method_options(sys_con *sys, const Method &m) {
  set_sonvar(sys, m.kind == 0 ? "use_rectangles" : m.kind == 1 ? "use_triangles" : "use_lines", 1);
  set_sonvar(sys, "exact_integration", m.exact ? 1 : 0);
}

// One square element of side w centred at the origin, through the linear
// array constructor (one element, no delay).
inline Case square_case(const std::string &name, double w, point3 p, double plateau = 0,
                        double plateau_end = 0) {
  Case c;
  c.name = name;
  c.build = [w](sys_con *sys, const Method &m) {
    return xdc_linear_array(sys, 1, w, w, 0.0, m.cut, m.cut_y > 0 ? m.cut_y : m.cut,
                            point3{0, 0, 1.0});
  };
  c.elements = {rectangle(-w / 2, -w / 2, w, w)};
  c.width = c.height = w;
  c.point = p;
  c.plateau = plateau;
  c.plateau_end = plateau_end;
  c.methods = {"rectangles 1 x 1", "rectangles 4 x 4", "rectangles 16 x 16",
               "triangles",        "triangles, exact", "lines",
               "lines, exact"};
  return c;
}

// The 128-element linear array (0.48 x 13.5 mm, pitch 0.508 mm) focused at
// 40 mm: every element's delay (|f| - |centre - f|) / c, as a focus point
// gives it, enters the reference as an exact time shift.
inline Case focused_array_case(const std::string &name, point3 p) {
  constexpr int kElements = 128;
  constexpr double kWidth = 0.48e-3, kHeight = 13.5e-3, kPitch = 0.508e-3, kFocus = 40e-3;
  Case c;
  c.name = name;
  c.build = [](sys_con *sys, const Method &m) {
    return xdc_linear_array(sys, kElements, kWidth, kHeight, kPitch - kWidth, m.cut,
                            m.cut_y > 0 ? m.cut_y : m.cut, point3{0, 0, kFocus});
  };
  for (int i = 0; i < kElements; i++) {
    const double x = (i - (kElements - 1) / 2.0) * kPitch;
    const double delay = (kFocus - std::hypot(x, kFocus)) / kC;
    c.elements.push_back(rectangle(x - kWidth / 2, -kHeight / 2, kWidth, kHeight, delay));
  }
  c.point = p;
  c.width = kWidth;
  c.height = kHeight;
  c.methods = {"rectangles 1 x 1", "rectangles 1 x 28", "triangles", "triangles, exact", "lines",
               "lines, exact"};
  return c;
}

// A circular piston of radius a on its axis: rectangles as the piston
// constructor cuts it (squares of 0.1 mm), triangles as a 720-gon fanned
// from the centre (its edges lie within 5e-6 a of the circle).
inline Case piston_case(const std::string &name, double a, double z) {
  Case c;
  c.name = name;
  c.build = [a](sys_con *sys, const Method &m) -> aperture * {
    if (m.kind == 0) return xdc_piston(sys, a, 0.1e-3);
    constexpr int kSides = 720;
    std::vector<double> corners(9 * kSides), weights(kSides, 1.0);
    for (int k = 0; k < kSides; k++) {
      const double a0 = kTwoPi * k / kSides, a1 = kTwoPi * (k + 1) / kSides;
      const double row[9] = {
          0, 0, 0, a * std::cos(a0), a * std::sin(a0), 0, a * std::cos(a1), a * std::sin(a1), 0};
      for (int col = 0; col < 9; col++) corners[k + col * kSides] = row[col];
    }
    return xdc_triangles_old(sys, corners.data(), kSides, weights.data(), 1.0, point3{0, 0, 0});
  };
  c.point = {0, 0, z};
  c.piston_radius = a;
  c.methods = {"rectangles 1 x 1", "triangles", "triangles, exact"};
  return c;
}

inline std::vector<Case> table_cases() {
  const double mm = 1e-3;
  return {
      square_case("4 x 4 mm, on axis at 5 mm", 4 * mm, {0, 0, 5 * mm}, 1.0,
                  std::sqrt(25.0 + 4.0) * mm / kC),
      square_case("4 x 4 mm, on axis at 60 mm", 4 * mm, {0, 0, 60 * mm}),
      square_case("4 x 4 mm, off axis (10, 0, 30) mm", 4 * mm, {10 * mm, 0, 30 * mm}),
      square_case("4 x 4 mm, above an edge (2, 0, 10) mm", 4 * mm, {2 * mm, 0, 10 * mm}, 0.5,
                  std::sqrt(100.0 + 4.0) * mm / kC),
      square_case("4 x 4 mm, above a corner (2, 2, 10) mm", 4 * mm, {2 * mm, 2 * mm, 10 * mm}, 0.25,
                  std::sqrt(100.0 + 16.0) * mm / kC),
      square_case("4 x 4 mm, oblique (6, 4, 8) mm", 4 * mm, {6 * mm, 4 * mm, 8 * mm}),
      square_case("0.3 x 0.3 mm, on axis at 40 mm", 0.3 * mm, {0, 0, 40 * mm}),
      piston_case("piston r = 5 mm, on axis at 20 mm", 5 * mm, 20 * mm),
      focused_array_case("focused array, (0, 0, 10) mm", {0, 0, 10 * mm}),
      focused_array_case("focused array, (5, 0, 40) mm", {5 * mm, 0, 40 * mm}),
      focused_array_case("focused array, (-15, 0, 70) mm", {-15 * mm, 0, 70 * mm}),
  };
}

// Largest |got - plateau| over the samples whose interval lies wholly in
// the plateau, relative to it.
inline double plateau_error(const Signal &got, const Case &c) {
  const double t0 = std::fabs(c.point.z) / kC, value = c.plateau * kC;
  double worst = -1;
  for (int k = got.start; k < got.start + static_cast<int>(got.v.size()); k++)
    if ((k - 0.5) / kFs > t0 && (k + 0.5) / kFs < c.plateau_end)
      worst = std::max(worst, std::fabs(got.at(k) - value) / value);
  return worst;
}

// Runs every method of every case; `budget` is the time spent timing each
// row (seconds).
inline std::vector<Row> run_table(const std::vector<Case> &cases, double budget) {
  std::vector<Row> rows;
  for (const Case &c : cases) {
    const Signal ref = c.piston_radius > 0 ? piston_on_axis(c.piston_radius, c.point.z, kC, kFs)
                                           : reference_response(c.elements, c.point, kC, kFs);
    const double integral =
        c.piston_radius > 0
            ? (std::sqrt(sqr(c.piston_radius) + sqr(c.point.z)) - std::fabs(c.point.z))
            : time_integral(c.elements, c.point);
    for (const Method &m : all_methods()) {
      if (std::find(c.methods.begin(), c.methods.end(), m.name) == c.methods.end()) continue;
      sys_con *sys = sonvar_init(1);
      set_sonvar(sys, "show_times", 0);
      set_sonvar(sys, "c", kC);
      set_sonvar(sys, "fs", kFs);
      set_method_options(sys, m);
      aperture *ap = c.build(sys, m);
      double micros = 0;
      Signal got = measure(sys, ap, c.point, 1, &micros);
      const int repeats = std::max(1, std::min(2000, static_cast<int>(budget * 1e6 / micros)));
      measure(sys, ap, c.point, repeats, &micros);
      Row row{c.name, m.name, compare(got, ref, integral, kFs)};
      row.errors.micros = micros;
      if (c.plateau > 0) row.errors.plateau = plateau_error(got, c);
      if (m.kind == 0 && c.width > 0) {
        row.fresnel = fresnel_number(c, m);
        row.floor = kC / (kFs * nearest_distance(c));
      }
      rows.push_back(row);
      xdc_free(sys, ap);
      sonvar_free(sys);
    }
  }
  return rows;
}

inline std::string format_table(const std::vector<Row> &rows) {
  std::string out =
      "| case | method | rel. L2 | peak error | time integral | plateau | time per point |\n"
      "|---|---|---|---|---|---|---|\n";
  char line[512];
  for (const Row &r : rows) {
    char plateau[32] = "-";
    if (r.errors.plateau >= 0) std::snprintf(plateau, sizeof plateau, "%.1e", r.errors.plateau);
    std::snprintf(line, sizeof line, "| %s | %s | %.1e | %.1e | %.1e | %s | %.0f us |\n",
                  r.case_name.c_str(), r.method.c_str(), r.errors.l2, r.errors.peak,
                  r.errors.integral, plateau, r.errors.micros);
    out += line;
  }
  return out;
}

// The rule for the cut of rectangles checked row by row: relative L2 at
// most 0.3 N_F + c / (fs R) while N_F <= 1.
inline std::string format_cut_rule(const std::vector<Row> &rows) {
  std::string out =
      "| case | method | N_F | c/(fs R) | bound | rel. L2 | within |\n"
      "|---|---|---|---|---|---|---|\n";
  char line[512];
  for (const Row &r : rows) {
    if (r.fresnel < 0 || r.fresnel > 1) continue;
    const double bound = 0.3 * r.fresnel + r.floor;
    std::snprintf(line, sizeof line, "| %s | %s | %.3f | %.1e | %.1e | %.1e | %s |\n",
                  r.case_name.c_str(), r.method.c_str(), r.fresnel, r.floor, bound, r.errors.l2,
                  r.errors.l2 <= bound ? "yes" : "no");
    out += line;
  }
  return out;
}

}  // namespace accuracy

#endif  // SONVAR_ACCURACY_TABLE_H

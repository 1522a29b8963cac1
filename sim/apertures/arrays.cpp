// arrays.cpp - the array constructors: discs (xdc_piston, xdc_concave),
// linear, focused and convex arrays of one or several rows, and 2-D arrays.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "apertures/geometry.h"
#include "apertures/record.h"
#include "base/constants.h"
#include "base/points.h"
#include "general/checks.h"
#include "general/failure.h"
#include "general/memory.h"
#include "general/messages.h"
#include "state/host.h"

namespace sonvar {

namespace {

constexpr std::size_t kLine = 256;  // message buffer for run-time lines

}  // namespace

namespace {

// A count of elements or sub-elements as an int; zero or negative factors
// give none, and a product too large for the records ends the program.
int element_count(std::int64_t a, std::int64_t b, const char *call) {
  if (a <= 0 || b <= 0) return 0;
  const std::int64_t count = a * b;
  if (count > 2147483647)
    fail(nullptr, "%s: %lld elements are more than an aperture can hold", call,
         static_cast<long long>(count));
  return static_cast<int>(count);
}

// Checks of the constructors' arguments: sizes and radii finite and above
// 0, gaps finite and 0 or more, points finite, and the consistency the
// curved surfaces need (otherwise their arcsines and square roots fill the
// geometry with NaN).
void require_size(sys_con *sys, const char *call, const char *name, double value) {
  if (!(std::isfinite(value) && value > 0))
    fail(sys, "%s: %s %g m must be finite and above 0", call, name, value);
}

void require_gap(sys_con *sys, const char *call, const char *name, double value) {
  if (!(std::isfinite(value) && value >= 0))
    fail(sys, "%s: %s %g m must be finite and 0 or more", call, name, value);
}

// The state, the element width, the kerf and the focus point of an array.
void require_array(sys_con *sys, const char *call, double width, double kerf, point3 focus) {
  check_state(sys, call);
  require_size(sys, call, "width", width);
  require_gap(sys, call, "kerf", kerf);
  require_finite_point(sys, call, "focus", focus);
}

// The row heights of a multi-row array (only read when it has elements).
void require_heights(sys_con *sys, const char *call, int no_elem_x, int no_elem_y,
                     const double *heights) {
  if (no_elem_x <= 0 || no_elem_y <= 0) return;
  if (heights == nullptr) fail(sys, "%s: heights is NULL for %d rows", call, no_elem_y);
  for (int r = 0; r < no_elem_y; r++)
    if (!(std::isfinite(heights[r]) && heights[r] > 0))
      fail(sys, "%s: heights[%d] %g m must be finite and above 0", call, r, heights[r]);
}

// The elevation focus circle must reach the edges of the total height H.
void require_elevation(sys_con *sys, const char *call, double Rfocus, double H) {
  require_size(sys, call, "Rfocus", Rfocus);
  if (!(Rfocus >= H / 2))
    fail(sys, "%s: Rfocus %g m must be at least half the elevation height %g m", call, Rfocus, H);
}

// A convex face: each element and kerf subtends an arcsine of the radius,
// and the elements together may span at most 180 degrees (beyond that the
// outer ones face backwards and their responses start before t = 0).
void require_convex(sys_con *sys, const char *call, int n, double width, double kerf,
                    double Rconvex) {
  require_size(sys, call, "Rconvex", Rconvex);
  if (!(width <= Rconvex))
    fail(sys, "%s: width %g m must not exceed Rconvex %g m", call, width, Rconvex);
  if (!(kerf <= Rconvex))
    fail(sys, "%s: kerf %g m must not exceed Rconvex %g m", call, kerf, Rconvex);
  if (n <= 0) return;
  const double arc = n * std::asin(width / Rconvex) + (n - 1) * std::asin(kerf / Rconvex);
  if (!(arc <= kPi * (1 + 1e-12)))
    fail(sys,
         "%s: %d elements of width %g m and kerf %g m span %g degrees of the convex radius "
         "%g m; at most 180",
         call, n, width, kerf, arc * 180 / kPi, Rconvex);
}

// The elevation curve recedes by its sagitta over the height H; a convex
// radius below it would turn the face inside out.
void require_sagitta(sys_con *sys, const char *call, double Rconvex, double Rfocus, double H) {
  const double sagitta = Rfocus - std::sqrt(Rfocus * Rfocus - H * H / 4);
  if (!(Rconvex > sagitta))
    fail(sys, "%s: Rconvex %g m must exceed the elevation sagitta %g m of Rfocus %g m", call,
         Rconvex, sagitta, Rfocus);
}

// Total elevation height of the rows (for the checks; 0 without rows).
double total_height(int no_elem_y, const double *heights, double kerf_y) {
  if (no_elem_y <= 0 || heights == nullptr) return 0;
  double H = (no_elem_y - 1) * kerf_y;
  for (int r = 0; r < no_elem_y; r++) H += heights[r];
  return H;
}

// The checks of a single-row (or 2-D) array: state, width, kerf, focus and
// the element height.
void check_one_row(sys_con *sys, const char *call, double width, double height, double kerf,
                   point3 focus) {
  require_array(sys, call, width, kerf, focus);
  require_size(sys, call, "height", height);
}

// The checks of a multi-row array: state, width, kerf, focus, the kerf
// between the rows and the rows' heights. Returns the total height.
double check_rows(sys_con *sys, const char *call, double width, double kerf_x, point3 focus,
                  int no_elem_x, int no_elem_y, const double *heights, double kerf_y) {
  require_array(sys, call, width, kerf_x, focus);
  require_gap(sys, call, "kerf_y", kerf_y);
  require_heights(sys, call, no_elem_x, no_elem_y, heights);
  return total_height(no_elem_y, heights, kerf_y);
}

// The checks of a convex face focused in elevation over the height H.
void check_convex_focused(sys_con *sys, const char *call, int n, double width, double kerf,
                          double Rconvex, double Rfocus, double H) {
  require_convex(sys, call, n, width, kerf, Rconvex);
  require_elevation(sys, call, Rfocus, H);
  require_sagitta(sys, call, Rconvex, Rfocus, H);
}

// Fills one physical element with no_sub_x x no_sub_y rectangles, sub-row by
// sub-row; place(rect, j, k) writes the corners of sub-row j, column k.
template <typename Place>
void fill_element(sys_con *sys, physical_element &element, point3 center, int no_sub_x,
                  int no_sub_y, const char *call, Place place) {
  element.center = center;
  const int count = element_count(no_sub_x, no_sub_y, call);
  if (count == 0) return;
  element.rectangles = alloc_array<rect_element>(sys, count, "rectangles");
  element.no_rectangles = count;
  int n = 0;
  for (int j = 0; j < no_sub_y; j++)
    for (int k = 0; k < no_sub_x; k++) {
      rect_element &rect = element.rectangles[n++];
      place(&rect, j, k);
      rect.apodization = 1.0;
      rect.delay = 0.0;
      calculate_vectors(&rect);
    }
}

// Lateral centre of element i of n in a row: (i - (n - 1)/2) * pitch.
double lateral_center(int i, int n, double pitch) {
  return pitch * (1.0 - n) / 2 + i * pitch;
}

// A new aperture of no_elem_x x no_elem_y empty physical elements.
aperture *new_array(sys_con *sys, const char *call, const char *name, int no_elem_x,
                    int no_elem_y) {
  return new_aperture(sys, name, element_count(no_elem_x, no_elem_y, call));
}

// One flat element of w x h centred at (x, y, 0), cut into no_sub_x x
// no_sub_y rectangles.
void fill_flat_element(sys_con *sys, physical_element &element, double x, double y, double w,
                       double h, int no_sub_x, int no_sub_y, const char *call) {
  const double sub_w = w / no_sub_x, sub_h = h / no_sub_y;
  fill_element(sys, element, point3{x, y, 0.0}, no_sub_x, no_sub_y, call,
               [&](rect_element *rect, int j, int k) {
                 insert_corners(rect, &rect->center, x - w / 2 + k * sub_w, y - h / 2 + j * sub_h,
                                sub_w, sub_h);
               });
}

// Row centres of a multi-row array and its total elevation height.
struct Rows {
  std::vector<double> y;  // centre of each row, m
  double total;           // sum of the heights and the kerfs between rows, m
};

Rows row_centers(int no_rows, const double *heights, double kerf_y) {
  Rows rows{{}, 0.0};
  if (no_rows <= 0) return rows;
  for (int r = 0; r < no_rows; r++) rows.total += heights[r];
  rows.total += (no_rows - 1) * kerf_y;
  rows.y.push_back(heights[0] / 2 - rows.total / 2);
  for (int r = 0; r + 1 < no_rows; r++)
    rows.y.push_back(rows.y[r] + heights[r] / 2 + heights[r + 1] / 2 + kerf_y);
  return rows;
}

// The rows of a multi-row array's aperture (none when it has no elements).
Rows array_rows(sys_con *sys, const aperture *ap, int no_rows, const double *heights,
                double kerf_y) {
  if (ap->no_elements <= 0) return Rows{};
  return allocating(sys, "the row centres", [&] { return row_centers(no_rows, heights, kerf_y); });
}

// Default focus and unit apodization, then the conversions the state asks
// for. `disc` names the disc kind ("piston" or "concave") for the warnings
// that its conversions print, or is NULL for the arrays.
aperture *finish_aperture(sys_con *sys, aperture *ap, point3 focus, const char *disc) {
  check_built_geometry(sys, ap->name, ap);
  // Rectangles are always built first; the conversions below change the kind.
  ap->uses_rectangles = 1;
  ap->uses_triangles = 0;
  ap->uses_lines = 0;
  set_default_focus(sys, ap, focus, 1.0);
  if (sys->use_triangles) {
    xdc_convert(sys, ap);
    if (disc != nullptr && sys->quiet == 0) {
      print_formatted(sys, kLine,
                      "Warning: Triangles are currently not fully supported for %s apertures.\n",
                      disc);
      print_message(sys, "         Some approximation in the responses might occur.\n");
    }
  }
  if (sys->use_lines) {
    xdc_line_convert(sys, ap);
    if (disc != nullptr && sys->quiet == 0) {
      print_formatted(sys, kLine,
                      "Warning: Lines are currently not fully supported for %s apertures.\n", disc);
      print_formatted(sys, kLine, "         Some approximation in the responses %s occur.\n",
                      std::strcmp(disc, "concave") == 0 ? "will" : "might");
    }
  }
  return ap;
}

// Visits the centres of the s x s squares of a disc of radius R: every point
// of the grid of odd multiples of s/2 within the disc, row by row in
// increasing y and within a row in increasing x.
template <typename Visit>
void for_each_disc_center(double R, double s, Visit visit) {
  const double k = std::floor((std::sqrt(R * R - s * s / 4) - s / 2) / s);
  for (double m = 0;; m++) {
    const double y = (m - k - 0.5) * s;
    if (!(y <= R)) break;
    const double x_max = std::sqrt(R * R - y * y);
    if (std::isnan(x_max)) continue;
    const double k2 = std::floor((x_max - s / 2) / s);
    for (double q = 0;; q++) {
      const double x = (q - k2 - 0.5) * s;
      if (!(x <= x_max)) break;
      visit(x, y);
    }
  }
}

// A disc aperture: one physical element at the origin made of squares.
// A radius below half a square gives an element without squares (the
// constructors have refused sizes that are not positive numbers).
template <typename Place>
aperture *disc_aperture(sys_con *sys, const char *name, const char *call, double radius,
                        double size, Place place) {
  const bool squares = size > 0.0 && radius >= size / 2;
  // No disc holds more squares than this; checking it first keeps the
  // loops finite and the count within an int.
  const double bound = squares ? std::floor(kPi * sqr(radius + size) / sqr(size) + 1) : 0.0;
  if (!(bound <= 2147483647.0))
    fail(nullptr, "%s: a disc of radius %g m needs too many squares of %g m", call, radius, size);
  aperture *ap = new_aperture(sys, name, 1);
  physical_element &element = ap->elements[0];
  element.center = point3{0.0, 0.0, 0.0};
  if (!squares) return ap;
  const int capacity = static_cast<int>(bound);
  element.rectangles = alloc_array<rect_element>(sys, capacity, "the squares of a disc");
  int count = 0;
  for_each_disc_center(radius, size, [&](double x, double y) {
    if (count == capacity) return;
    rect_element &rect = element.rectangles[count++];
    place(&rect, x, y);
    rect.apodization = 1.0;
    rect.delay = 0.0;
    calculate_vectors(&rect);
  });
  element.no_rectangles = count;
  if (count == 0) {
    free_memory(sys, element.rectangles);
    element.rectangles = nullptr;
  }
  return ap;
}

}  // namespace

// ---- Discs ----

// A flat disc of the given radius made of squares of side ele_size.
SONVAR_CALL aperture *xdc_piston(sys_con *sys, double radius, double ele_size) try {
  SONVAR_ENTER(sys);
  check_state(sys, "xdc_piston");
  require_size(sys, "xdc_piston", "radius", radius);
  require_size(sys, "xdc_piston", "ele_size", ele_size);
  aperture *ap = disc_aperture(sys, "Single element piston transducer", "xdc_piston", radius,
                               ele_size, [ele_size](rect_element *rect, double x, double y) {
                                 insert_corners(rect, &rect->center, x - ele_size / 2,
                                                y - ele_size / 2, ele_size, ele_size);
                               });
  return finish_aperture(sys, ap, point3{0.0, 0.0, 100000.0}, "piston");
}
SONVAR_LEAVE(sys)

// A disc on the sphere of radius focal_radius, made of squares of side
// ele_size.
SONVAR_CALL aperture *xdc_concave(sys_con *sys, double radius, double focal_radius,
                                  double ele_size) try {
  SONVAR_ENTER(sys);
  check_state(sys, "xdc_concave");
  require_size(sys, "xdc_concave", "radius", radius);
  require_size(sys, "xdc_concave", "focal_radius", focal_radius);
  require_size(sys, "xdc_concave", "ele_size", ele_size);
  // Every corner of a square whose centre lies in the disc stays within
  // radius + ele_size / sqrt(2) of the axis; the sphere must reach it.
  if (!(focal_radius >= radius + ele_size / std::sqrt(2.0)))
    fail(sys,
         "xdc_concave: focal_radius %g m must be at least radius %g m plus half the "
         "diagonal of ele_size %g m",
         focal_radius, radius, ele_size);
  aperture *ap =
      disc_aperture(sys, "Single element concave transducer", "xdc_concave", radius, ele_size,
                    [=](rect_element *rect, double x, double y) {
                      insert_concave_corners(rect, &rect->center, x, y, ele_size, focal_radius);
                    });
  return finish_aperture(sys, ap, point3{0.0, 0.0, focal_radius}, "concave");
}
SONVAR_LEAVE(sys)

// ---- Flat arrays ----

// no_elements flat elements in one row along x, centred on the origin.
SONVAR_CALL aperture *xdc_linear_array(sys_con *sys, int no_elements, double width, double height,
                                       double kerf, int no_sub_x, int no_sub_y, point3 focus) try {
  SONVAR_ENTER(sys);
  check_one_row(sys, __func__, width, height, kerf, focus);
  aperture *ap = new_array(sys, __func__, "Linear array transducer", no_elements, 1);
  for (int i = 0; i < ap->no_elements; i++)
    fill_flat_element(sys, ap->elements[i], lateral_center(i, no_elements, width + kerf), 0.0,
                      width, height, no_sub_x, no_sub_y, __func__);
  return finish_aperture(sys, ap, focus, nullptr);
}
SONVAR_LEAVE(sys)

// no_elem_x columns of flat elements in no_elem_y rows of their own
// heights.
SONVAR_CALL aperture *xdc_linear_multirow(sys_con *sys, int no_elem_x, double width, int no_elem_y,
                                          const double *heights, double kerf_x, double kerf_y,
                                          int no_sub_x, int no_sub_y, point3 focus) try {
  SONVAR_ENTER(sys);
  check_rows(sys, __func__, width, kerf_x, focus, no_elem_x, no_elem_y, heights, kerf_y);
  aperture *ap =
      new_array(sys, __func__, "Linear multi-row array transducer", no_elem_x, no_elem_y);
  const Rows rows = array_rows(sys, ap, no_elem_y, heights, kerf_y);
  int n = 0;
  for (int r = 0; r < no_elem_y && ap->no_elements > 0; r++)
    for (int i = 0; i < no_elem_x; i++)
      fill_flat_element(sys, ap->elements[n++], lateral_center(i, no_elem_x, width + kerf_x),
                        rows.y[r], width, heights[r], no_sub_x, no_sub_y, __func__);
  return finish_aperture(sys, ap, focus, nullptr);
}
SONVAR_LEAVE(sys)

// A grid of flat elements, each switched on or off by `enabled`.
SONVAR_CALL aperture *xdc_2d_array(sys_con *sys, int no_elem_x, int no_elem_y, double width,
                                   double height, double kerf_x, double kerf_y,
                                   const int16_t *enabled, int no_sub_x, int no_sub_y,
                                   point3 focus) try {
  SONVAR_ENTER(sys);
  check_one_row(sys, __func__, width, height, kerf_x, focus);
  require_gap(sys, __func__, "kerf_y", kerf_y);
  if (no_elem_x > 0 && no_elem_y > 0 && enabled == nullptr)
    fail(sys, "%s: enabled is NULL for %d x %d elements", __func__, no_elem_x, no_elem_y);
  // enabled holds no_elem_x columns of no_elem_y flags each.
  auto on = [&](int i, int j) { return enabled[static_cast<std::size_t>(i) * no_elem_y + j] != 0; };
  int count = 0;
  if (element_count(no_elem_x, no_elem_y, __func__) > 0)
    for (int i = 0; i < no_elem_x; i++)
      for (int j = 0; j < no_elem_y; j++) count += on(i, j) ? 1 : 0;
  aperture *ap = new_aperture(sys, "2-dimensional array transducer", count);
  int n = 0;
  for (int j = 0; j < no_elem_y && count > 0; j++)
    for (int i = 0; i < no_elem_x; i++)
      if (on(i, j))
        fill_flat_element(sys, ap->elements[n++], lateral_center(i, no_elem_x, width + kerf_x),
                          (j - (no_elem_y - 1) / 2.0) * (height + kerf_y), width, height, no_sub_x,
                          no_sub_y, __func__);
  return finish_aperture(sys, ap, focus, nullptr);
}
SONVAR_LEAVE(sys)

// ---- Arrays focused in elevation ----

namespace {

// Height z0 of the elevation focus axis that puts the edges of an
// elevation height H at z = 0.
double focus_height(double H, double Rfocus) {
  return Rfocus * std::cos(std::asin(H / (2 * Rfocus)));
}

// Sub-rows of equal angle on the focusing circle: start and height of
// sub-row j of no_sub_y over an elevation height H.
struct SubRow {
  double y;       // lower edge, m
  double height;  // height, m
};

SubRow equal_angle_sub_row(int j, int no_sub_y, double H, double Rfocus) {
  const double theta = std::asin(H / (2 * Rfocus));
  const double step = 2 * theta / no_sub_y;
  const double low = std::sin(-theta + j * step);
  const double high = std::sin(-theta + (j + 1) * step);
  return SubRow{Rfocus * low, Rfocus * (high - low)};
}

// One element on the elevation-focused cylinder of radius Rfocus with its
// axis at height z0: centre `center`, sub-element (j, k) from x - width / 2
// + k sub_w, sub_w wide, on the sub-row row(j).
template <typename SubRowOf>
void fill_focused_element(sys_con *sys, physical_element &element, point3 center, double x,
                          double width, double Rfocus, double z0, int no_sub_x, int no_sub_y,
                          const char *call, SubRowOf row) {
  const double sub_w = width / no_sub_x;
  fill_element(sys, element, center, no_sub_x, no_sub_y, call,
               [&](rect_element *rect, int j, int k) {
                 const SubRow r = row(j);
                 insert_corners_focused(rect, &rect->center, x - width / 2 + k * sub_w, r.y, sub_w,
                                        r.height, Rfocus, z0);
               });
}

}  // namespace

// Rows of elements on the elevation focusing cylinder of radius Rfocus.
SONVAR_CALL aperture *xdc_focused_multirow(sys_con *sys, int no_elem_x, double width, int no_elem_y,
                                           const double *heights, double kerf_x, double kerf_y,
                                           double Rfocus, int no_sub_x, int no_sub_y,
                                           point3 focus) try {
  SONVAR_ENTER(sys);
  require_elevation(
      sys, __func__, Rfocus,
      check_rows(sys, __func__, width, kerf_x, focus, no_elem_x, no_elem_y, heights, kerf_y));
  aperture *ap = new_array(sys, __func__, "Linear multi-row elevation focused array transducer",
                           no_elem_x, no_elem_y);
  const Rows rows = array_rows(sys, ap, no_elem_y, heights, kerf_y);
  const double z0 = focus_height(rows.total, Rfocus);
  int n = 0;
  for (int r = 0; r < no_elem_y && ap->no_elements > 0; r++)
    for (int i = 0; i < no_elem_x; i++) {
      const double x = lateral_center(i, no_elem_x, width + kerf_x);
      const double y = rows.y[r], h = heights[r], sub_h = h / no_sub_y;
      const point3 center{x, y, z0 - std::sqrt(Rfocus * Rfocus - y * y)};
      fill_focused_element(sys, ap->elements[n++], center, x, width, Rfocus, z0, no_sub_x, no_sub_y,
                           __func__, [&](int j) {
                             return SubRow{y - h / 2 + j * sub_h, sub_h};
                           });
    }
  return finish_aperture(sys, ap, focus, nullptr);
}
SONVAR_LEAVE(sys)

// One row of elements curved in elevation on the cylinder of radius Rfocus,
// its sub-rows at equal angles.
SONVAR_CALL aperture *xdc_focused_array(sys_con *sys, int no_elements, double width, double height,
                                        double kerf, double Rfocus, int no_sub_x, int no_sub_y,
                                        point3 focus) try {
  SONVAR_ENTER(sys);
  check_one_row(sys, __func__, width, height, kerf, focus);
  require_elevation(sys, __func__, Rfocus, height);
  aperture *ap =
      new_array(sys, __func__, "Linear elevation focused array transducer", no_elements, 1);
  const double z0 = focus_height(height, Rfocus);
  for (int i = 0; i < ap->no_elements; i++) {
    const double x = lateral_center(i, no_elements, width + kerf);
    fill_focused_element(sys, ap->elements[i], point3{x, 0.0, z0 - Rfocus}, x, width, Rfocus, z0,
                         no_sub_x, no_sub_y, __func__,
                         [&](int j) { return equal_angle_sub_row(j, no_sub_y, height, Rfocus); });
  }
  return finish_aperture(sys, ap, focus, nullptr);
}
SONVAR_LEAVE(sys)

// ---- Convex arrays ----

namespace {

// Angles of a convex array: one element, one sub-element, one kerf, and the
// start angle of element i of n.
struct ConvexAngles {
  double alpha, delta, kappa;
  double start(int i, int n) const { return (i - n / 2.0) * alpha + (i - (n - 1) / 2.0) * kappa; }
  // Centre of element i of n on the face of radius rho at elevation y, its
  // axis through (0, y, -Rconvex).
  point3 centre(int i, int n, double rho, double y, double Rconvex) const {
    const double mid = start(i, n) + alpha / 2;
    return point3{rho * std::sin(mid), y, rho * std::cos(mid) - Rconvex};
  }
};

ConvexAngles convex_angles(double width, double kerf, double Rconvex, int no_sub_x) {
  const double alpha = std::asin(width / Rconvex);
  return ConvexAngles{alpha, alpha / no_sub_x, std::asin(kerf / Rconvex)};
}

}  // namespace

// One row of elements on the convex cylinder of radius Rconvex.
SONVAR_CALL aperture *xdc_convex_array(sys_con *sys, int no_elements, double width, double height,
                                       double kerf, double Rconvex, int no_sub_x, int no_sub_y,
                                       point3 focus) try {
  SONVAR_ENTER(sys);
  check_one_row(sys, __func__, width, height, kerf, focus);
  require_convex(sys, __func__, no_elements, width, kerf, Rconvex);
  aperture *ap = new_array(sys, __func__, "Convex array transducer", no_elements, 1);
  const ConvexAngles angles = convex_angles(width, kerf, Rconvex, no_sub_x);
  const double sub_h = height / no_sub_y;
  for (int i = 0; i < ap->no_elements; i++) {
    const double phi = angles.start(i, no_elements);
    fill_element(sys, ap->elements[i], angles.centre(i, no_elements, Rconvex, 0.0, Rconvex),
                 no_sub_x, no_sub_y, __func__, [&](rect_element *rect, int j, int k) {
                   insert_corners_convex(rect, &rect->center, -height / 2 + j * sub_h, sub_h,
                                         Rconvex, phi + k * angles.delta, angles.delta);
                 });
  }
  return finish_aperture(sys, ap, focus, nullptr);
}
SONVAR_LEAVE(sys)

// One row on the convex face of radius Rconvex, curved in elevation by
// Rfocus.
SONVAR_CALL aperture *xdc_convex_focused_array(sys_con *sys, int no_elements, double width,
                                               double height, double kerf, double Rconvex,
                                               double Rfocus, int no_sub_x, int no_sub_y,
                                               point3 focus) try {
  SONVAR_ENTER(sys);
  check_one_row(sys, __func__, width, height, kerf, focus);
  check_convex_focused(sys, __func__, no_elements, width, kerf, Rconvex, Rfocus, height);
  aperture *ap = new_array(sys, __func__, "Convex focused array transducer", no_elements, 1);
  const ConvexAngles angles = convex_angles(width, kerf, Rconvex, no_sub_x);
  const double z0 = focus_height(height, Rfocus);
  const double rho = Rconvex - Rfocus + z0;
  for (int i = 0; i < ap->no_elements; i++) {
    const double phi = angles.start(i, no_elements);
    fill_element(sys, ap->elements[i], angles.centre(i, no_elements, rho, 0.0, Rconvex), no_sub_x,
                 no_sub_y, __func__, [&](rect_element *rect, int j, int k) {
                   const SubRow row = equal_angle_sub_row(j, no_sub_y, height, Rfocus);
                   insert_corners_convex_focused(rect, &rect->center, row.y, row.height, Rconvex,
                                                 Rfocus, z0, phi + k * angles.delta, angles.delta);
                 });
  }
  return finish_aperture(sys, ap, focus, nullptr);
}
SONVAR_LEAVE(sys)

// Rows on the convex face of radius Rconvex, curved in elevation by Rfocus.
SONVAR_CALL aperture *xdc_convex_focused_multirow(sys_con *sys, int no_elem_x, double width,
                                                  int no_elem_y, const double *heights,
                                                  double kerf_x, double kerf_y, double Rconvex,
                                                  double Rfocus, int no_sub_x, int no_sub_y,
                                                  point3 focus) try {
  SONVAR_ENTER(sys);
  const double H =
      check_rows(sys, __func__, width, kerf_x, focus, no_elem_x, no_elem_y, heights, kerf_y);
  check_convex_focused(sys, __func__, no_elem_x, width, kerf_x, Rconvex, Rfocus, H);
  aperture *ap =
      new_array(sys, __func__, "Convex focused multirow transducer", no_elem_x, no_elem_y);
  const Rows rows = array_rows(sys, ap, no_elem_y, heights, kerf_y);
  const double z0 = focus_height(rows.total, Rfocus);
  const ConvexAngles angles = convex_angles(width, kerf_x, Rconvex, no_sub_x);
  int n = 0;
  for (int r = 0; r < no_elem_y && ap->no_elements > 0; r++)
    for (int i = 0; i < no_elem_x; i++) {
      const double y = rows.y[r], h = heights[r], sub_h = h / no_sub_y;
      const double rho = Rconvex - (std::sqrt(Rfocus * Rfocus - y * y) - z0);
      const double phi = angles.start(i, no_elem_x);
      fill_element(sys, ap->elements[n++], angles.centre(i, no_elem_x, rho, y, Rconvex), no_sub_x,
                   no_sub_y, __func__, [&](rect_element *rect, int j, int k) {
                     insert_corners_convex_focused(rect, &rect->center, y - h / 2 + j * sub_h,
                                                   sub_h, Rconvex, Rfocus, z0,
                                                   phi + k * angles.delta, angles.delta);
                   });
    }
  return finish_aperture(sys, ap, focus, nullptr);
}
SONVAR_LEAVE(sys)

}  // namespace sonvar

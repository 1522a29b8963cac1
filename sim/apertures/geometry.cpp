// geometry.cpp - the geometry of an aperture's elements: corner
// generators, rectangle sizes and tilts, bounding lines and the levelling of
// a rectangle into a plane.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "apertures/geometry.h"
#include "base/points.h"
#include "general/memory.h"
#include "general/messages.h"
#include "state/host.h"

namespace sonvar {

namespace {

constexpr std::size_t kLine = 256;  // message buffer for run-time lines

}  // namespace

// ---------------------------------------------------------------------------
// Corner generators
// ---------------------------------------------------------------------------

void insert_corners(rect_element *rect, point3 *center, double x0, double y0, double w, double h) {
  rect->corners[0] = point3{x0, y0, 0.0};
  rect->corners[1] = point3{x0, y0 + h, 0.0};
  rect->corners[2] = point3{x0 + w, y0 + h, 0.0};
  rect->corners[3] = point3{x0 + w, y0, 0.0};
  *center = point3{x0 + w / 2, y0 + h / 2, 0.0};
}

void insert_concave_corners(rect_element *rect, point3 *center, double x, double y, double size,
                            double F) {
  // Height of the sphere of radius F touching the plane z = 0 at the origin.
  auto surface = [F](double u, double v) {
    return point3{u, v, F - std::sqrt(F * F - u * u - v * v)};
  };
  const double a = x - size / 2;
  const double b = y - size / 2;
  rect->corners[0] = surface(a, b);
  rect->corners[1] = surface(a, b + size);
  rect->corners[2] = surface(a + size, b + size);
  rect->corners[3] = surface(a + size, b);
  *center = surface(x, y);
}

void insert_corners_focused(rect_element *rect, point3 *center, double x0, double y0, double w,
                            double h, double Rfocus, double z0) {
  // The cylinder curved in elevation; its edges lie at z = 0 for the z0 the
  // constructors pass.
  auto elevation = [Rfocus, z0](double v) { return z0 - std::sqrt(Rfocus * Rfocus - v * v); };
  rect->corners[0] = point3{x0, y0, elevation(y0)};
  rect->corners[1] = point3{x0, y0 + h, elevation(y0 + h)};
  rect->corners[2] = point3{x0 + w, y0 + h, elevation(y0 + h)};
  rect->corners[3] = point3{x0 + w, y0, elevation(y0)};
  *center = point3{x0 + w / 2, y0 + h / 2, elevation(y0 + h / 2)};
}

namespace {

// Writes the corners and centre of the patch psi = phi .. phi + delta,
// v = y0 .. y0 + h of a surface given as a function of (psi, v).
template <typename Surface>
void insert_angular_patch(rect_element *rect, point3 *center, double y0, double h, double phi,
                          double delta, Surface surface) {
  rect->corners[0] = surface(phi, y0);
  rect->corners[1] = surface(phi, y0 + h);
  rect->corners[2] = surface(phi + delta, y0 + h);
  rect->corners[3] = surface(phi + delta, y0);
  *center = surface(phi + delta / 2, y0 + h / 2);
}

}  // namespace

void insert_corners_convex(rect_element *rect, point3 *center, double y0, double h, double Rconvex,
                           double phi, double delta) {
  insert_angular_patch(rect, center, y0, h, phi, delta, [Rconvex](double psi, double v) {
    return point3{Rconvex * std::sin(psi), v, Rconvex * std::cos(psi) - Rconvex};
  });
}

void insert_corners_convex_focused(rect_element *rect, point3 *center, double y0, double h,
                                   double Rconvex, double Rfocus, double z0, double phi,
                                   double delta) {
  insert_angular_patch(rect, center, y0, h, phi, delta, [=](double psi, double v) {
    const double r = Rconvex - (std::sqrt(Rfocus * Rfocus - v * v) - z0);
    return point3{r * std::sin(psi), v, r * std::cos(psi) - Rconvex};
  });
}

// ---------------------------------------------------------------------------
// Rectangle sizes and tilts
// ---------------------------------------------------------------------------

namespace {

void print_tilt_diagnostic(const rect_element *rect, double dx, double dy, double dz) {
  const point3 *c = rect->corners;
  std::string text;
  append_formatted(&text, "Warning: Excessively large value for tan_xz or tan_yz\n");
  append_formatted(&text, "Values are: tan_xz = %10.6f,  tan_yz = %10.6f \n", rect->tan_xz,
                   rect->tan_yz);
  append_formatted(&text, "Difference: dx = %10e, dy = %10e, dz = %10e \n", dx, dy, dz);
  for (int k = 0; k < 4; k++)
    append_formatted(&text, "Corner points are: %10.6f, %10.6f, %10.6f \n", c[k].x, c[k].y, c[k].z);
  const double dx12 = std::fabs(c[0].x - c[1].x);
  const double tol12 = std::fabs(c[0].x + c[1].x) * 1e-14;
  append_formatted(&text, "Check one: %10.6f, %10.6f, %d \n", dx12, tol12, dx12 <= tol12 ? 1 : 0);
  const double dy14 = std::fabs(c[0].y - c[3].y);
  const double tol14 = std::fabs(c[0].y + c[3].y) * 1e-14;
  append_formatted(&text, "Check two: %10.6f, %10.6f, %d \n", dy14, tol14, dy14 <= tol14 ? 1 : 0);
  print_message(CallScope::current(), text.c_str());
}

}  // namespace

void calculate_vectors(rect_element *rect) {
  const point3 &c1 = rect->corners[0];
  const point3 &c2 = rect->corners[1];
  const point3 &c4 = rect->corners[3];
  // The first side runs from corner 1 to corner 4 unless those share x (a
  // turned rectangle), in which case it runs from corner 1 to corner 2.
  const point3 &along = std::fabs(c1.x - c4.x) > std::fabs(c1.x + c4.x) * 1e-14 ? c4 : c2;
  const point3 &across = &along == &c4 ? c2 : c4;
  const char *label = &along == &c4 ? "case 1" : "case 2";
  const double dx = c1.x - along.x;
  rect->tan_xz = (c1.z - along.z) / dx;
  rect->width = std::sqrt(sqr(c1.z - along.z) + sqr(dx));
  const double dy = c1.y - across.y;
  const double dz = c1.z - across.z;
  rect->tan_yz = dz / dy;
  rect->height = std::sqrt(sqr(dz) + sqr(dy));
  const bool steep = std::fabs(rect->tan_xz) > 10 || std::fabs(rect->tan_yz) > 10;
  // No state is passed in: the line goes to the channel of the library call
  // running on this thread (standard output outside one).
  if (steep) print_message(CallScope::current(), (std::string(label) + "\n").c_str());
  const double angle_xz = std::atan(rect->tan_xz);
  const double angle_yz = std::atan(rect->tan_yz);
  rect->cos_xz = std::cos(angle_xz);
  rect->sin_xz = std::sin(angle_xz);
  rect->cos_yz = std::cos(angle_yz);
  rect->sin_yz = std::sin(angle_yz);
  rect->doubly_tilted =
      (std::fabs(rect->tan_yz) > 1e-15 && std::fabs(rect->tan_xz) > 1e-15) ? 1 : 0;
  if (steep) print_tilt_diagnostic(rect, dx, dy, dz);
}

// ---------------------------------------------------------------------------
// Bounding lines
// ---------------------------------------------------------------------------

void insert_element(line_element *element, int index, point3 p1, point3 p2, point3 inside) {
  bounding_line &line = element->lines[index];
  const double dx = p1.x - p2.x;
  if (std::fabs(dx) > (std::fabs(p2.x) + std::fabs(p1.x)) * 1e-14) {
    line.slope = (p1.y - p2.y) / dx;
    line.vertical = 0;
    line.y1 = p1.y - p1.x * line.slope;
    line.slope_factor = line.slope * line.slope + 1;
    line.above_or_left = inside.y > inside.x * line.slope + line.y1 ? 1 : 0;
  } else {
    line.slope = 1e60;
    line.vertical = 1;
    line.x1 = p1.x;
    line.above_or_left = p1.x > inside.x ? 1 : 0;
  }
}

int16_t inside_boundary(const line_element *element, double x, double y) {
  constexpr double kSlack = 1e-8;  // metres: points on a line count as inside
  for (int l = 0; l < element->no_lines; l++) {
    const bounding_line &line = element->lines[l];
    bool satisfied;
    if (line.vertical) {
      satisfied =
          std::fabs(x - line.x1) < kSlack || (line.above_or_left ? x <= line.x1 : x >= line.x1);
    } else {
      const double yl = x * line.slope + line.y1;
      satisfied = std::fabs(y - yl) < kSlack || (line.above_or_left ? y >= yl : y <= yl);
    }
    if (!satisfied) return 0;
  }
  return 1;
}

namespace {

// The crossing of two bounding lines; false when they are parallel.
bool line_crossing(const bounding_line &a, const bounding_line &b, point3 *at) {
  if (a.vertical && b.vertical) return false;
  if (a.vertical || b.vertical) {
    const bounding_line &v = a.vertical ? a : b;
    const bounding_line &other = a.vertical ? b : a;
    *at = point3{v.x1, v.x1 * other.slope + other.y1, 0.0};
    return true;
  }
  if (std::fabs(a.slope - b.slope) <= 1e-14 * (std::fabs(b.slope) + std::fabs(a.slope)))
    return false;
  const double x = (a.y1 - b.y1) / (b.slope - a.slope);
  *at = point3{x, a.y1 + a.slope * x, 0.0};
  return true;
}

}  // namespace

void intersections(sys_con *sys, line_element *element) {
  // The element's corners are the crossings of its lines that lie on it.
  const std::vector<point3> found = allocating(sys, "the crossings of a line element", [&] {
    std::vector<point3> crossings;
    for (int j = 0; j < element->no_lines; j++)
      for (int k = j + 1; k < element->no_lines; k++) {
        point3 at{};
        if (line_crossing(element->lines[j], element->lines[k], &at) &&
            inside_boundary(element, at.x, at.y))
          crossings.push_back(at);
      }
    return crossings;
  });
  free_memory(sys, element->crossings);
  element->crossings = nullptr;
  element->no_crossings = static_cast<int>(found.size());
  if (!found.empty()) {
    element->crossings = alloc_array<point3>(sys, found.size(), "the crossings of a line element");
    std::memcpy(element->crossings, found.data(), found.size() * sizeof(point3));
  }
  if (element->no_crossings <= 3)
    print_formatted(sys, kLine,
                    "Internal error. Number of crossings is %d and less than 4. Press RETURN: ",
                    element->no_crossings);
}

namespace {

// The cosine and sine of a turn.
struct Turn {
  double cos, sin;
};

// Turns the rectangle (corners and centre, in place) about the axis across
// `u` (the y axis for x, the x axis for y) so that its side from corner 1
// along u lies level: from corner 1 to corner 4, or to corner 2 where corners
// 1 and 4 share the coordinate u. Returns the turn.
Turn level_side(rect_element *rect, double point3::*u) {
  point3 *c = rect->corners;
  const point3 &far =
      std::fabs(c[3].*u - c[0].*u) > 1e-14 * (std::fabs(c[3].*u) + std::fabs(c[0].*u)) ? c[3]
                                                                                       : c[1];
  const double d = std::sqrt(sqr(far.*u - c[0].*u) + sqr(far.z - c[0].z));
  const Turn turn = {(far.*u - c[0].*u) / d, -(far.z - c[0].z) / d};
  const auto apply = [&](point3 &p) {
    const double pu = p.*u, pz = p.z;
    p.*u = pu * turn.cos - pz * turn.sin;
    p.z = pz * turn.cos + pu * turn.sin;
  };
  for (int k = 0; k < 4; k++) apply(c[k]);
  apply(rect->center);
  return turn;
}

}  // namespace

void project_rectangle(rect_element *rect, line_element *element) {
  // About the y axis first (mixing x and z), then about the x axis.
  const Turn about_y = level_side(rect, &point3::x);
  const Turn about_x = level_side(rect, &point3::y);
  element->cos_x = about_y.cos;
  element->sin_x = about_y.sin;
  element->cos_y = about_x.cos;
  element->sin_y = about_x.sin;
  element->zc = rect->corners[0].z;
}

}  // namespace sonvar

// transducers.cpp - apertures: the geometry of their elements, the focus and
// apodization time lines, the per-element settings, the free-form
// constructors and the conversion of rectangles into triangles or
// line-bounded elements.
//
// An aperture owns everything reachable from it; every array comes from the
// locked allocator and every signal from the state's pool, and xdc_free gives
// all of it back exactly once.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "internal.h"

using sonvar::alloc_array;
using sonvar::print_formatted;

double sqr(double x) {
  return x * x;
}

namespace {

constexpr std::size_t kLine = 256;  // message buffer for run-time lines

double point_distance(const point3 &a, const point3 &b) {
  return std::sqrt(sqr(a.x - b.x) + sqr(a.y - b.y) + sqr(a.z - b.z));
}

[[noreturn]] void fatal(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Builds the text and ends the program through error_message.
void fatal(const char *format, ...) {
  char text[kLine];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  error_message(text);
  __builtin_unreachable();
}

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
  sonvar::append_formatted(&text, "Warning: Excessively large value for tan_xz or tan_yz\n");
  sonvar::append_formatted(&text, "Values are: tan_xz = %10.6f,  tan_yz = %10.6f \n", rect->tan_xz,
                           rect->tan_yz);
  sonvar::append_formatted(&text, "Difference: dx = %10e, dy = %10e, dz = %10e \n", dx, dy, dz);
  for (int k = 0; k < 4; k++)
    sonvar::append_formatted(&text, "Corner points are: %10.6f, %10.6f, %10.6f \n", c[k].x, c[k].y,
                             c[k].z);
  const double dx12 = std::fabs(c[0].x - c[1].x);
  const double tol12 = std::fabs(c[0].x + c[1].x) * 1e-14;
  sonvar::append_formatted(&text, "Check one: %10.6f, %10.6f, %d \n", dx12, tol12,
                           dx12 <= tol12 ? 1 : 0);
  const double dy14 = std::fabs(c[0].y - c[3].y);
  const double tol14 = std::fabs(c[0].y + c[3].y) * 1e-14;
  sonvar::append_formatted(&text, "Check two: %10.6f, %10.6f, %d \n", dy14, tol14,
                           dy14 <= tol14 ? 1 : 0);
  print_message(sonvar::CallScope::current(), text.c_str());
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
  if (steep) print_message(sonvar::CallScope::current(), (std::string(label) + "\n").c_str());
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
  const std::vector<point3> found = sonvar::allocating(sys, "the crossings of a line element", [&] {
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

// ---------------------------------------------------------------------------
// Conversions
// ---------------------------------------------------------------------------

aperture *xdc_convert(sys_con *sys, aperture *ap) try {
  SONVAR_ENTER(sys);
  ap->uses_rectangles = 0;
  ap->uses_triangles = 1;
  for (int n = 0; n < ap->no_elements; n++) {
    physical_element &element = ap->elements[n];
    if (element.no_rectangles == 0) continue;
    const int kept = element.no_triangles;
    const int total = kept + 2 * element.no_rectangles;
    tri_element *triangles = alloc_array<tri_element>(sys, total, "triangles");
    if (kept > 0) std::memcpy(triangles, element.triangles, kept * sizeof(tri_element));
    free_memory(sys, element.triangles);
    // Each rectangle splits along its diagonal from corner 1 to corner 3.
    for (int j = 0; j < element.no_rectangles; j++) {
      const rect_element &rect = element.rectangles[j];
      tri_element &first = triangles[kept + 2 * j];
      tri_element &second = triangles[kept + 2 * j + 1];
      first = tri_element{
          {rect.corners[0], rect.corners[1], rect.corners[2]}, rect.apodization, rect.delay};
      second = tri_element{
          {rect.corners[0], rect.corners[3], rect.corners[2]}, rect.apodization, rect.delay};
    }
    element.triangles = triangles;
    element.no_triangles = total;
    free_memory(sys, element.rectangles);
    element.rectangles = nullptr;
    element.no_rectangles = 0;
  }
  return ap;
}
SONVAR_LEAVE(sys)

void project_rectangle(rect_element *rect, line_element *element) {
  point3 *c = rect->corners;
  // Rotation about the y axis that levels the first side (mixing x and z).
  const point3 &kx =
      std::fabs(c[3].x - c[0].x) > 1e-14 * (std::fabs(c[3].x) + std::fabs(c[0].x)) ? c[3] : c[1];
  const double dx = std::sqrt(sqr(kx.x - c[0].x) + sqr(kx.z - c[0].z));
  const double cos_x = (kx.x - c[0].x) / dx;
  const double sin_x = -(kx.z - c[0].z) / dx;
  auto turn_x = [cos_x, sin_x](point3 &p) {
    p = point3{p.x * cos_x - p.z * sin_x, p.y, p.z * cos_x + p.x * sin_x};
  };
  for (int k = 0; k < 4; k++) turn_x(c[k]);
  turn_x(rect->center);
  // Rotation about the x axis that levels the other side (mixing y and z).
  const point3 &ky =
      std::fabs(c[3].y - c[0].y) > 1e-14 * (std::fabs(c[3].y) + std::fabs(c[0].y)) ? c[3] : c[1];
  const double dy = std::sqrt(sqr(ky.y - c[0].y) + sqr(ky.z - c[0].z));
  const double cos_y = (ky.y - c[0].y) / dy;
  const double sin_y = -(ky.z - c[0].z) / dy;
  auto turn_y = [cos_y, sin_y](point3 &p) {
    p = point3{p.x, p.y * cos_y - p.z * sin_y, p.z * cos_y + p.y * sin_y};
  };
  for (int k = 0; k < 4; k++) turn_y(c[k]);
  turn_y(rect->center);
  element->cos_x = cos_x;
  element->sin_x = sin_x;
  element->cos_y = cos_y;
  element->sin_y = sin_y;
  element->zc = c[0].z;
}

namespace {

// One line element from a rectangle: four lines through the levelled
// corners, each with the levelled centre as the inside point.
void rectangle_to_lines(sys_con *sys, rect_element *rect, line_element *element) {
  project_rectangle(rect, element);
  element->no_lines = 4;
  element->lines = alloc_array<bounding_line>(sys, 4, "bounding lines");
  for (int l = 0; l < 4; l++)
    insert_element(element, l, rect->corners[l], rect->corners[(l + 1) % 4], rect->center);
  intersections(sys, element);
  element->apodization = rect->apodization;
  element->delay = rect->delay;
}

}  // namespace

aperture *xdc_line_convert(sys_con *sys, aperture *ap) try {
  SONVAR_ENTER(sys);
  ap->uses_rectangles = 0;
  ap->uses_lines = 1;
  for (int n = 0; n < ap->no_elements; n++) {
    physical_element &element = ap->elements[n];
    // An element without rectangles (already converted) keeps what it has.
    if (element.no_rectangles == 0) continue;
    element.no_line_elements = element.no_rectangles;
    element.line_elements = alloc_array<line_element>(sys, element.no_rectangles, "line elements");
    for (int j = 0; j < element.no_rectangles; j++)
      rectangle_to_lines(sys, &element.rectangles[j], &element.line_elements[j]);
    free_memory(sys, element.rectangles);
    element.rectangles = nullptr;
    element.no_rectangles = 0;
  }
  return ap;
}
SONVAR_LEAVE(sys)

// ---------------------------------------------------------------------------
// Release
// ---------------------------------------------------------------------------

namespace {

void free_line_elements(sys_con *sys, physical_element &element) {
  for (int e = 0; e < element.no_line_elements; e++) {
    free_memory(sys, element.line_elements[e].lines);
    free_memory(sys, element.line_elements[e].crossings);
  }
  free_memory(sys, element.line_elements);
  element.line_elements = nullptr;
  element.no_line_elements = 0;
}

void free_physical_element(sys_con *sys, physical_element &element) {
  if (element.excitation != nullptr) free_signal(sys, element.excitation);
  element.excitation = nullptr;
  element.has_excitation = 0;
  free_memory(sys, element.rectangles);
  element.rectangles = nullptr;
  element.no_rectangles = 0;
  free_memory(sys, element.triangles);
  element.triangles = nullptr;
  element.no_triangles = 0;
  free_line_elements(sys, element);
}

}  // namespace

// An aperture built by a constructor lives in one block with its link in
// the state's list of live apertures; xdc_free finds it there before it
// touches the aperture, so a second release (or one through another state)
// is refused instead of freeing twice.
struct sonvar_live_aperture {
  sonvar_live_aperture *next;
  aperture record;
};

namespace {

// Takes the aperture's block out of the state's list; NULL when the
// aperture is not in it.
sonvar_live_aperture *unlink_live(sys_con *sys, const aperture *ap) {
  sonvar::MutexGuard guard(&sys->memory_mutex);
  for (sonvar_live_aperture **link = &sys->apertures; *link != nullptr; link = &(*link)->next)
    if (&(*link)->record == ap) {
      sonvar_live_aperture *found = *link;
      *link = found->next;
      return found;
    }
  return nullptr;
}

}  // namespace

void xdc_free(sys_con *sys, aperture *ap) try {
  SONVAR_ENTER(sys);
  if (ap == nullptr) return;
  sonvar_live_aperture *live = unlink_live(sys, ap);
  if (live == nullptr)
    sonvar::fail(sys,
                 "xdc_free: the aperture at %p is not a live aperture of this state (released "
                 "before, or not built by its constructors)",
                 static_cast<const void *>(ap));
  for (int n = 0; n < ap->no_elements; n++) free_physical_element(sys, ap->elements[n]);
  free_memory(sys, ap->elements);
  // The hand-over calls never let one signal fill both slots; the test
  // keeps a record changed by hand from releasing a signal twice.
  if (ap->impulse_response != nullptr) free_signal(sys, ap->impulse_response);
  if (ap->excitation != nullptr && ap->excitation != ap->impulse_response)
    free_signal(sys, ap->excitation);
  free_focus_time_line(sys, ap);
  free_apodization_time_line(sys, ap);
  free_memory(sys, live);
}
SONVAR_LEAVE_VOID(sys)

// ---------------------------------------------------------------------------
// Time lines
// ---------------------------------------------------------------------------

namespace {

// Links `entry` into a time line. The first entry always stays first; any
// other goes after the last entry behind the first whose time is smaller,
// which puts it before entries of the same time.
template <typename Entry>
void link_entry(Entry **line, Entry *entry, int16_t *fixed_flag, int16_t flag_when_alone) {
  if (*line == nullptr) {
    *line = entry;
    *fixed_flag = flag_when_alone;
    return;
  }
  *fixed_flag = 0;
  Entry *prev = *line;
  while (prev->next != nullptr && entry->time > prev->next->time) prev = prev->next;
  entry->next = prev->next;
  prev->next = entry;
}

}  // namespace

void subtract_delay(int count, double *values, int quantize, double step, double reference) {
  // A step of zero or less has no multiples to round to; it means no
  // quantization rather than NaN delays.
  const bool rounded = quantize != 0 && step > 0;
  for (int i = 0; i < count; i++) {
    const double delay = reference - values[i];
    values[i] = rounded ? std::floor(delay / step + 0.5) * step : delay;
  }
}

void insert_focus(sys_con *sys, aperture *ap, int dynamic, double time, double angle_zx,
                  double angle_zy, point3 point) {
  focus_entry *entry = alloc_array<focus_entry>(sys, 1, "a focus entry");
  entry->time = time;
  entry->dynamic = dynamic ? 1 : 0;
  entry->next = nullptr;
  if (dynamic) {
    entry->angle_zx = angle_zx;
    entry->angle_zy = angle_zy;
  } else {
    entry->point = point;
    entry->delays = alloc_array<double>(sys, ap->no_elements, "focus delays");
    for (int i = 0; i < ap->no_elements; i++)
      entry->delays[i] = point_distance(ap->elements[i].center, point) / sys->c;
    const double reference = point_distance(ap->focus_reference, point) / sys->c;
    subtract_delay(ap->no_elements, entry->delays, ap->quantize_delays, ap->quantization,
                   reference);
  }
  link_entry(&ap->focus_line, entry, &ap->fixed_focus, static_cast<int16_t>(dynamic ? 0 : 1));
}

void insert_focus_times(sys_con *sys, aperture *ap, double *delays, double time) {
  focus_entry *entry = alloc_array<focus_entry>(sys, 1, "a focus entry");
  entry->time = time;
  entry->dynamic = 0;
  entry->delays = delays;
  entry->next = nullptr;
  link_entry(&ap->focus_line, entry, &ap->fixed_focus, static_cast<int16_t>(1));
}

void insert_apodization(sys_con *sys, aperture *ap, double *values, double time) {
  apodization_entry *entry = alloc_array<apodization_entry>(sys, 1, "an apodization entry");
  entry->time = time;
  entry->values = values;
  entry->next = nullptr;
  link_entry(&ap->apodization_line, entry, &ap->fixed_apodization, static_cast<int16_t>(1));
}

namespace {

// Releases a time line; arrays listed in `keep` (handed back in by the
// caller of a replacing call) are left alone because the new line takes
// them over.
template <typename Entry>
void release_line(sys_con *sys, Entry **line, double *Entry::*array,
                  const std::vector<double *> &keep) {
  Entry *entry = *line;
  while (entry != nullptr) {
    Entry *next = entry->next;
    bool kept = false;
    for (double *k : keep) kept = kept || k == entry->*array;
    if (!kept) free_memory(sys, entry->*array);
    free_memory(sys, entry);
    entry = next;
  }
  *line = nullptr;
}

// The arrays a replacing call hands over, each once: an array given twice
// is copied for its later entries so that every entry owns its own array.
std::vector<double *> owned_arrays(sys_con *sys, int count, double **arrays, int length,
                                   const char *what) {
  std::vector<double *> owned;
  for (int i = 0; i < count; i++) {
    double *array = arrays[i];
    for (int j = 0; j < i; j++)
      if (arrays[j] == arrays[i]) {
        array = alloc_array<double>(sys, length, what);
        if (length > 0) std::memcpy(array, arrays[i], length * sizeof(double));
        break;
      }
    owned.push_back(array);
  }
  return owned;
}

// The per-element arrays of a time line.
template <typename Entry>
std::vector<double *> line_arrays(const Entry *entry, double *Entry::*array,
                                  std::vector<double *> more = {}) {
  for (; entry != nullptr; entry = entry->next) more.push_back(entry->*array);
  return more;
}

}  // namespace

// An array that a caller handed to both time lines is released with the
// last line that holds it, so that it is never released twice.
void free_focus_time_line(sys_con *sys, aperture *ap) {
  sonvar::allocating(sys, "the list of time-line arrays", [&] {
    release_line(sys, &ap->focus_line, &focus_entry::delays,
                 line_arrays(ap->apodization_line, &apodization_entry::values));
  });
}

void free_apodization_time_line(sys_con *sys, aperture *ap) {
  sonvar::allocating(sys, "the list of time-line arrays", [&] {
    release_line(sys, &ap->apodization_line, &apodization_entry::values,
                 line_arrays(ap->focus_line, &focus_entry::delays));
  });
}

namespace {

// The values the time-line calls take over: times and every per-element
// value finite, no array missing; checked before anything changes hands.
void require_line_values(sys_con *sys, const char *call, const aperture *ap, int count,
                         const double *times, double *const *arrays, const char *what) {
  sonvar::check_aperture(sys, call, ap);
  if (count < 0) sonvar::fail(sys, "%s: count %d is negative", call, count);
  if (count > 0 && (times == nullptr || arrays == nullptr))
    sonvar::fail(sys, "%s: times or %s are NULL for %d entries", call, what, count);
  for (int i = 0; i < count; i++) {
    if (!std::isfinite(times[i]))
      sonvar::fail(sys, "%s: time %d is %g s; it must be finite", call, i, times[i]);
    if (arrays[i] == nullptr) sonvar::fail(sys, "%s: %s of entry %d are NULL", call, what, i);
    for (int e = 0; e < ap->no_elements; e++)
      if (!std::isfinite(arrays[i][e]))
        sonvar::fail(sys, "%s: %s of entry %d, element %d, is %g; it must be finite", call, what, i,
                     e + 1, arrays[i][e]);
  }
}

void require_finite(sys_con *sys, const char *call, const char *name, double value) {
  if (!std::isfinite(value)) sonvar::fail(sys, "%s: %s %g must be finite", call, name, value);
}

void require_finite_point(sys_con *sys, const char *call, const char *name, point3 p) {
  if (!(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)))
    sonvar::fail(sys, "%s: %s (%g, %g, %g) m must be finite", call, name, p.x, p.y, p.z);
}

}  // namespace

void xdc_focus(sys_con *sys, aperture *ap, int count, const double *times,
               const point3 *points) try {
  SONVAR_ENTER(sys);
  sonvar::check_aperture(sys, "xdc_focus", ap);
  sonvar::check_state(sys, "xdc_focus");
  if (count < 0) sonvar::fail(sys, "xdc_focus: count %d is negative", count);
  if (count > 0 && (times == nullptr || points == nullptr))
    sonvar::fail(sys, "xdc_focus: times or points are NULL for %d entries", count);
  for (int i = 0; i < count; i++) {
    require_finite(sys, "xdc_focus", "time", times[i]);
    require_finite_point(sys, "xdc_focus", "focus point", points[i]);
  }
  free_focus_time_line(sys, ap);
  for (int i = 0; i < count; i++) insert_focus(sys, ap, 0, times[i], 0.0, 0.0, points[i]);
}
SONVAR_LEAVE_VOID(sys)

void xdc_dynamic_focus(sys_con *sys, aperture *ap, double time, double angle_zx,
                       double angle_zy) try {
  SONVAR_ENTER(sys);
  sonvar::check_aperture(sys, "xdc_dynamic_focus", ap);
  require_finite(sys, "xdc_dynamic_focus", "time", time);
  require_finite(sys, "xdc_dynamic_focus", "angle_zx", angle_zx);
  require_finite(sys, "xdc_dynamic_focus", "angle_zy", angle_zy);
  free_focus_time_line(sys, ap);
  insert_focus(sys, ap, 1, time, angle_zx, angle_zy, point3{0.0, 0.0, 0.0});
}
SONVAR_LEAVE_VOID(sys)

void xdc_center_focus(sys_con *sys, aperture *ap, point3 point) {
  sonvar::check_aperture(sys, "xdc_center_focus", ap);
  require_finite_point(sys, "xdc_center_focus", "point", point);
  ap->focus_reference = point;
}

void xdc_focus_times(sys_con *sys, aperture *ap, int count, const double *times,
                     double **delays) try {
  SONVAR_ENTER(sys);
  require_line_values(sys, "xdc_focus_times", ap, count, times, delays, "delays");
  sonvar::allocating(sys, "the focus time line", [&] {
    const std::vector<double *> owned =
        owned_arrays(sys, count, delays, ap->no_elements, "focus delays");
    release_line(sys, &ap->focus_line, &focus_entry::delays,
                 line_arrays(ap->apodization_line, &apodization_entry::values, owned));
    for (int i = 0; i < count; i++) insert_focus_times(sys, ap, owned[i], times[i]);
  });
}
SONVAR_LEAVE_VOID(sys)

void xdc_apodization(sys_con *sys, aperture *ap, int count, const double *times,
                     double **values) try {
  SONVAR_ENTER(sys);
  require_line_values(sys, "xdc_apodization", ap, count, times, values, "values");
  sonvar::allocating(sys, "the apodization time line", [&] {
    const std::vector<double *> owned =
        owned_arrays(sys, count, values, ap->no_elements, "apodization values");
    release_line(sys, &ap->apodization_line, &apodization_entry::values,
                 line_arrays(ap->focus_line, &focus_entry::delays, owned));
    ap->dynamic_apodization = 0;
    for (int i = 0; i < count; i++) insert_apodization(sys, ap, owned[i], times[i]);
  });
}
SONVAR_LEAVE_VOID(sys)

void xdc_dynamic_apodization(sys_con *sys, aperture *ap, int window_kind, double f_number,
                             point3 reference, point3 direction) {
  const char *call = "xdc_dynamic_apodization";
  sonvar::check_aperture(sys, call, ap);
  if (!(std::isfinite(f_number) && f_number > 0))
    sonvar::fail(sys, "%s: f_number %g must be finite and above 0", call, f_number);
  require_finite_point(sys, call, "reference", reference);
  require_finite_point(sys, call, "direction", direction);
  ap->fixed_apodization = 0;
  ap->dynamic_apodization = 1;
  ap->apod_reference = reference;
  ap->apod_direction = direction;
  ap->f_number = f_number;
  ap->apod_window = window_kind;
}

// ---------------------------------------------------------------------------
// Element settings
// ---------------------------------------------------------------------------

namespace {

// What writing one physical element's values came to.
enum class SetResult { kDone, kTooFewValues, kNotFinite };

// Writes `values` into the apodization or delay of every mathematical
// element of one physical element (whichever kind it holds). Nothing is
// written when there are fewer values than mathematical elements, or when
// one of the values it would use is not finite (a NaN weight or delay would
// make every later response NaN).
SetResult set_sub_elements(physical_element &element, int no_values, const double *values,
                           bool delays) {
  auto apply = [&](auto *subs, int count) {
    if (count > no_values) return SetResult::kTooFewValues;
    for (int j = 0; j < count; j++)
      if (!std::isfinite(values[j])) return SetResult::kNotFinite;
    for (int j = 0; j < count; j++) (delays ? subs[j].delay : subs[j].apodization) = values[j];
    return SetResult::kDone;
  };
  if (element.no_rectangles > 0) return apply(element.rectangles, element.no_rectangles);
  if (element.no_triangles > 0) return apply(element.triangles, element.no_triangles);
  if (element.no_line_elements > 0) return apply(element.line_elements, element.no_line_elements);
  return SetResult::kDone;
}

void set_elements(aperture *ap, int count, const int *element_numbers, int no_values,
                  double **values, bool delays) {
  const char *what = delays ? "delay" : "apodization";
  if (ap == nullptr || (count > 0 && (element_numbers == nullptr || values == nullptr))) {
    printf(
        "Sonvar error: NULL aperture, element numbers or values when setting mathematical "
        "element %s\n",
        what);
    fflush(stdout);
    return;
  }
  for (int i = 0; i < count; i++) {
    const int n = element_numbers[i];
    std::string line;
    const SetResult result =
        (n <= 0 || n > ap->no_elements) ? SetResult::kDone
        : values[i] == nullptr
            ? SetResult::kTooFewValues
            : set_sub_elements(ap->elements[n - 1], no_values, values[i], delays);
    if (n <= 0 || n > ap->no_elements)
      sonvar::append_formatted(
          &line, "Sonvar error: Illegal element number when setting mathematical element %s\n",
          what);
    else if (result == SetResult::kTooFewValues)
      sonvar::append_formatted(
          &line, "Sonvar error: Not enough values to set mathematical element %s\n", what);
    else if (result == SetResult::kNotFinite)
      sonvar::append_formatted(&line,
                               "Sonvar error: Value that is not finite when setting mathematical "
                               "element %s of element %d\n",
                               what, n);
    // The call takes no state; the aperture names the one that made it.
    if (!line.empty()) print_message(ap->state, line.c_str());
  }
}

signal_rec *copy_signal(sys_con *sys, const signal_rec *signal) {
  signal_rec *copy = alloc_signal(sys, signal->no_samples, signal->start_sample);
  std::memcpy(copy->values, signal->values, signal->no_samples * sizeof(double));
  return copy;
}

// True when the aperture already owns `signal` somewhere.
bool owns_signal(const aperture *ap, const signal_rec *signal) {
  if (signal == ap->impulse_response || signal == ap->excitation) return true;
  for (int n = 0; n < ap->no_elements; n++)
    if (ap->elements[n].excitation == signal) return true;
  return false;
}

// Puts `signal` into `slot`: the aperture takes it over and gives its
// previous signal back to the pool. A signal that is already in the slot is
// kept; one the aperture owns elsewhere is copied, so that no signal is ever
// owned (and released) twice.
void hand_over_signal(sys_con *sys, aperture *ap, signal_rec **slot, signal_rec *signal,
                      const char *call) {
  sonvar::check_aperture(sys, call, ap);
  if (signal == nullptr || signal->in_use == 0)
    fatal("%s: the signal handed over is not in use (never allocated or already released)", call);
  for (int j = 0; j < signal->no_samples; j++)
    if (!std::isfinite(signal->values[j]))
      sonvar::fail(sys, "%s: sample %d of the signal is %g; it must be finite", call, j,
                   signal->values[j]);
  if (signal == *slot) return;
  signal_rec *taken = owns_signal(ap, signal) ? copy_signal(sys, signal) : signal;
  if (*slot != nullptr) free_signal(sys, *slot);
  *slot = taken;
}

}  // namespace

void ele_apodization(aperture *ap, int count, const int *element_numbers, int no_values,
                     double **values) {
  set_elements(ap, count, element_numbers, no_values, values, false);
}

void ele_delay(aperture *ap, int count, const int *element_numbers, int no_values,
               double **values) {
  set_elements(ap, count, element_numbers, no_values, values, true);
}

void ele_waveform(sys_con *sys, aperture *ap, int count, const int *element_numbers, int no_samples,
                  double **samples) try {
  SONVAR_ENTER(sys);
  const char *call = "ele_waveform";
  sonvar::check_aperture(sys, call, ap);
  if (count > 0 && (element_numbers == nullptr || samples == nullptr))
    sonvar::fail(sys, "%s: element numbers or samples are NULL for %d elements", call, count);
  for (int i = 0; i < count; i++) {
    if (no_samples < 1 || no_samples > sys->max_samples)
      sonvar::fail(sys, "%s: no_samples %d must be from 1 to max_samples %lld", call, no_samples,
                   static_cast<long long>(sys->max_samples));
    if (samples[i] == nullptr) sonvar::fail(sys, "%s: the samples of entry %d are NULL", call, i);
    for (int j = 0; j < no_samples; j++)
      if (!std::isfinite(samples[i][j]))
        sonvar::fail(sys, "%s: sample %d of entry %d is %g; it must be finite", call, j, i,
                     samples[i][j]);
  }
  for (int i = 0; i < count; i++) {
    const int n = element_numbers[i];
    if (n <= 0 || n > ap->no_elements) {
      print_message(
          sys, "Sonvar error: Illegal element number when setting physical element waveform\n");
      continue;
    }
    ap->individual_excitation = 1;
    physical_element &element = ap->elements[n - 1];
    if (element.excitation != nullptr) free_signal(sys, element.excitation);
    element.excitation = alloc_signal(sys, no_samples, 0);
    std::memcpy(element.excitation->values, samples[i], no_samples * sizeof(double));
    element.has_excitation = 1;
  }
}
SONVAR_LEAVE_VOID(sys)

void xdc_impulse(sys_con *sys, aperture *ap, signal_rec *signal) try {
  SONVAR_ENTER(sys);
  hand_over_signal(sys, ap, &ap->impulse_response, signal, "xdc_impulse");
}
SONVAR_LEAVE_VOID(sys)

void xdc_excitation(sys_con *sys, aperture *ap, signal_rec *signal) try {
  SONVAR_ENTER(sys);
  hand_over_signal(sys, ap, &ap->excitation, signal, "xdc_excitation");
}
SONVAR_LEAVE_VOID(sys)

// ---------------------------------------------------------------------------
// Free-form apertures
// ---------------------------------------------------------------------------

namespace {

// A run of consecutive table rows with the same physical element number.
struct Run {
  int element;  // physical element number, from 1
  int first;    // first row of the run
  int rows;     // number of rows in the run
};

// Entry (row r, column k) of a column-major table with `rows` rows.
double cell(const double *table, int rows, int r, int k) {
  return table[r + static_cast<std::size_t>(k) * rows];
}

// The truncated element number of one row; numbers below 1 (or not numbers)
// would index before the element array, so they end the program.
int element_number(const double *table, int rows, int r, const char *call) {
  const double number = std::trunc(cell(table, rows, r, 0));
  if (!(number >= 1.0 && number <= 2147483647.0))
    fatal("%s: element number %g in table row %d is not a whole number from 1 up", call,
          cell(table, rows, r, 0), r + 1);
  return static_cast<int>(number);
}

// Splits a table into runs of rows of one physical element. Element numbers
// must not fall back: a smaller number would make the last row's number too
// small for the element array.
std::vector<Run> element_runs(const double *table, int rows, const char *call) {
  if (rows < 1) fatal("%s: the table has %d rows; at least one is needed", call, rows);
  std::vector<Run> runs;
  for (int r = 0; r < rows; r++) {
    const int number = element_number(table, rows, r, call);
    if (!runs.empty() && number == runs.back().element) {
      runs.back().rows++;
      continue;
    }
    if (!runs.empty() && number < runs.back().element)
      fatal("%s: element number %d in table row %d is smaller than the one before it", call, number,
            r + 1);
    runs.push_back(Run{number, r, 1});
  }
  return runs;
}

// Finite and within the coordinates a calculation accepts.
bool finite3(const point3 &p) {
  return std::fabs(p.x) <= sonvar::kMaxCoordinate && std::fabs(p.y) <= sonvar::kMaxCoordinate &&
         std::fabs(p.z) <= sonvar::kMaxCoordinate;
}

// The last guard of every constructor: each number the calculations read
// from the built geometry is finite (coordinates within kMaxCoordinate). A table with a NaN,
// coinciding corners (an infinite tilt) or a surface its arguments do not reach stops here, named
// by `call`, instead of giving NaN responses later.
void check_built_geometry(sys_con *sys, const char *call, const aperture *ap) {
  for (int n = 0; n < ap->no_elements; n++) {
    const physical_element &e = ap->elements[n];
    if (!finite3(e.center))
      sonvar::fail(sys,
                   "%s: the centre of physical element %d is (%g, %g, %g) m; it must be finite",
                   call, n + 1, e.center.x, e.center.y, e.center.z);
    for (int k = 0; k < e.no_rectangles; k++) {
      const rect_element &r = e.rectangles[k];
      bool ok = finite3(r.center) && std::isfinite(r.apodization) && std::isfinite(r.width) &&
                std::isfinite(r.height) && std::isfinite(r.tan_xz) && std::isfinite(r.tan_yz) &&
                std::isfinite(r.cos_xz) && std::isfinite(r.cos_yz);
      for (const point3 &c : r.corners) ok = ok && finite3(c);
      if (!ok)
        sonvar::fail(sys,
                     "%s: rectangle %d of physical element %d has corners, sizes, weight or tilt "
                     "that are not finite (corner 1 at (%g, %g, %g) m, width %g m, height %g m)",
                     call, k + 1, n + 1, r.corners[0].x, r.corners[0].y, r.corners[0].z, r.width,
                     r.height);
    }
    for (int k = 0; k < e.no_triangles; k++) {
      const tri_element &t = e.triangles[k];
      bool ok = std::isfinite(t.apodization) && std::isfinite(t.delay);
      for (const point3 &c : t.corners) ok = ok && finite3(c);
      if (!ok)
        sonvar::fail(sys,
                     "%s: triangle %d of physical element %d has corners or a weight that are not "
                     "finite",
                     call, k + 1, n + 1);
    }
    for (int k = 0; k < e.no_line_elements; k++) {
      const line_element &l = e.line_elements[k];
      bool ok = std::isfinite(l.apodization) && std::isfinite(l.zc) && std::isfinite(l.cos_x) &&
                std::isfinite(l.cos_y);
      for (int b = 0; b < l.no_lines; b++)
        ok = ok && std::isfinite(l.lines[b].slope) && std::isfinite(l.lines[b].y1) &&
             std::isfinite(l.lines[b].x1);
      if (!ok)
        sonvar::fail(sys,
                     "%s: line element %d of physical element %d has lines or a weight that are "
                     "not finite",
                     call, k + 1, n + 1);
    }
  }
}

// Creation time as ctime text (with its newline), bounded to the record.
void stamp_creation(aperture *ap) {
  char text[64] = {0};
  const time_t now = time(nullptr);
  if (ctime_r(&now, text) == nullptr) text[0] = '\0';
  snprintf(ap->created, sizeof ap->created, "%s", text);
}

signal_rec *unit_signal(sys_con *sys) {
  signal_rec *signal = alloc_signal(sys, 1, 0);
  signal->values[0] = 1.0;
  return signal;
}

// A new aperture with its name, creation time, one-sample impulse response
// and excitation and `no_elements` empty physical elements.
aperture *new_aperture(sys_con *sys, const char *name, int no_elements) {
  // The element array first: a count too large for the heap then fails
  // before anything else is taken.
  const int count = no_elements > 0 ? no_elements : 0;
  physical_element *elements =
      count > 0 ? alloc_array<physical_element>(sys, count, "physical elements") : nullptr;
  auto *live = alloc_array<sonvar_live_aperture>(sys, 1, "an aperture");
  {
    sonvar::MutexGuard guard(&sys->memory_mutex);
    live->next = sys->apertures;
    sys->apertures = live;
  }
  aperture *ap = &live->record;
  ap->state = sys;
  snprintf(ap->name, sizeof ap->name, "%s", name);
  stamp_creation(ap);
  ap->impulse_response = unit_signal(sys);
  ap->excitation = unit_signal(sys);
  ap->no_elements = count;
  ap->focus_reference = point3{0.0, 0.0, 0.0};
  ap->elements = elements;
  return ap;
}

// The default focus (one static entry at time 0) and an apodization entry
// at time 0 with the same weight for every physical element.
void set_default_focus(sys_con *sys, aperture *ap, point3 focus, double weight) {
  ap->focus_reference = point3{0.0, 0.0, 0.0};
  insert_focus(sys, ap, 0, 0.0, 0.0, 0.0, focus);
  ap->fixed_focus = 1;
  double *values = alloc_array<double>(sys, ap->no_elements, "apodization values");
  for (int i = 0; i < ap->no_elements; i++) values[i] = weight;
  insert_apodization(sys, ap, values, 0.0);
  ap->fixed_apodization = 1;
  ap->dynamic_apodization = 0;
}

// The aperture of a table constructor: one physical element per number up
// to the last row's, centres from the centre table.
aperture *table_aperture(sys_con *sys, const char *name, const std::vector<Run> &runs,
                         const double *centers) {
  const int count = runs.back().element;
  aperture *ap = new_aperture(sys, name, count);
  for (int n = 0; n < count; n++)
    ap->elements[n].center =
        point3{cell(centers, count, n, 0), cell(centers, count, n, 1), cell(centers, count, n, 2)};
  return ap;
}

point3 table_point(const double *table, int rows, int r, int k) {
  return point3{cell(table, rows, r, k), cell(table, rows, r, k + 1), cell(table, rows, r, k + 2)};
}

// Rounds a flag column to 0 or 1 (non-zero after rounding to the nearest
// integer counts as set).
int16_t table_flag(double value) {
  return std::round(value) != 0.0 ? 1 : 0;
}

// The number of bounding lines of each line element in a run of rows.
// Line-element numbers must run 1, 2, ... without gaps, each in consecutive
// rows: any other numbering would index outside the element's array.
std::vector<int> lines_per_element(const double *table, int rows, const Run &run) {
  std::vector<int> lines_per_element;
  for (int r = run.first; r < run.first + run.rows; r++) {
    const double number = std::trunc(cell(table, rows, r, 1));
    const double last = static_cast<double>(lines_per_element.size());
    if (number == last + 1.0 && number >= 1.0)
      lines_per_element.push_back(1);
    else if (number == last && number >= 1.0)
      lines_per_element.back()++;
    else
      fatal(
          "xdc_lines: line element number %g in table row %d does not continue 1, 2, ... "
          "within physical element %d",
          cell(table, rows, r, 1), r + 1, run.element);
  }
  return lines_per_element;
}

// Fills the line elements of one physical element from its run of rows.
void fill_line_run(sys_con *sys, physical_element &element, const double *table, int rows,
                   const Run &run, const std::vector<int> &lines_per_element) {
  element.no_line_elements = static_cast<int>(lines_per_element.size());
  element.line_elements = alloc_array<line_element>(sys, element.no_line_elements, "line elements");
  int r = run.first;
  for (int e = 0; e < element.no_line_elements; e++) {
    line_element &le = element.line_elements[e];
    le.no_lines = lines_per_element[e];
    le.lines = alloc_array<bounding_line>(sys, le.no_lines, "bounding lines");
    for (int l = 0; l < le.no_lines; l++, r++) {
      bounding_line &line = le.lines[l];
      line.slope = cell(table, rows, r, 2);
      line.slope_factor = 1 + line.slope * line.slope;
      line.vertical = table_flag(cell(table, rows, r, 3));
      (line.vertical ? line.x1 : line.y1) = cell(table, rows, r, 4);
      line.above_or_left = table_flag(cell(table, rows, r, 5));
    }
    le.cos_x = 1.0;
    le.sin_x = 0.0;
    le.cos_y = 1.0;
    le.sin_y = 0.0;
    le.zc = 0.0;
    le.apodization = 1.0;
    le.delay = 0.0;
    intersections(sys, &le);
  }
}

}  // namespace

aperture *xdc_triangles(sys_con *sys, const double *table, int rows, const double *centers,
                        point3 focus) try {
  SONVAR_ENTER(sys);
  sonvar::check_state(sys, "xdc_triangles");
  if (table == nullptr || centers == nullptr)
    sonvar::fail(sys, "xdc_triangles: the table or the centres are NULL");
  const std::vector<Run> runs = sonvar::allocating(sys, "the element runs of a table", [&] {
    return element_runs(table, rows, "xdc_triangles");
  });
  aperture *ap = table_aperture(sys, "User defined transducer using triangles", runs, centers);
  ap->uses_triangles = 1;
  for (const Run &run : runs) {
    physical_element &element = ap->elements[run.element - 1];
    element.no_triangles = run.rows;
    element.triangles = alloc_array<tri_element>(sys, run.rows, "triangles");
    for (int j = 0; j < run.rows; j++) {
      const int r = run.first + j;
      tri_element &tri = element.triangles[j];
      for (int k = 0; k < 3; k++) tri.corners[k] = table_point(table, rows, r, 1 + 3 * k);
      tri.apodization = cell(table, rows, r, 10);
      tri.delay = 0.0;
    }
  }
  check_built_geometry(sys, "xdc_triangles", ap);
  require_finite_point(sys, "xdc_triangles", "focus", focus);
  set_default_focus(sys, ap, focus, 1.0);
  return ap;
}
SONVAR_LEAVE(sys)

aperture *xdc_rectangles(sys_con *sys, const double *table, int rows, const double *centers,
                         point3 focus) try {
  SONVAR_ENTER(sys);
  sonvar::check_state(sys, "xdc_rectangles");
  if (table == nullptr || centers == nullptr)
    sonvar::fail(sys, "xdc_rectangles: the table or the centres are NULL");
  const std::vector<Run> runs = sonvar::allocating(sys, "the element runs of a table", [&] {
    return element_runs(table, rows, "xdc_rectangles");
  });
  aperture *ap = table_aperture(sys, "User defined rectangles transducer", runs, centers);
  ap->uses_rectangles = 1;
  for (const Run &run : runs) {
    physical_element &element = ap->elements[run.element - 1];
    element.no_rectangles = run.rows;
    element.rectangles = alloc_array<rect_element>(sys, run.rows, "rectangles");
    for (int j = 0; j < run.rows; j++) {
      const int r = run.first + j;
      rect_element &rect = element.rectangles[j];
      for (int k = 0; k < 4; k++) rect.corners[k] = table_point(table, rows, r, 1 + 3 * k);
      rect.apodization = cell(table, rows, r, 13);
      rect.delay = 0.0;
      rect.width = cell(table, rows, r, 14);
      rect.height = cell(table, rows, r, 15);
      rect.center = table_point(table, rows, r, 16);
      // The sizes follow from the corners and replace the table's columns.
      calculate_vectors(&rect);
    }
  }
  check_built_geometry(sys, "xdc_rectangles", ap);
  require_finite_point(sys, "xdc_rectangles", "focus", focus);
  set_default_focus(sys, ap, focus, 1.0);
  if (sys->use_triangles) xdc_convert(sys, ap);
  if (sys->use_lines) xdc_line_convert(sys, ap);
  return ap;
}
SONVAR_LEAVE(sys)

aperture *xdc_lines(sys_con *sys, const double *table, int rows, const double *centers,
                    point3 focus) try {
  SONVAR_ENTER(sys);
  sonvar::check_state(sys, "xdc_lines");
  if (table == nullptr || centers == nullptr)
    sonvar::fail(sys, "xdc_lines: the table or the centres are NULL");
  const std::vector<Run> runs = sonvar::allocating(
      sys, "the element runs of a table", [&] { return element_runs(table, rows, "xdc_lines"); });
  const std::vector<std::vector<int>> counts =
      sonvar::allocating(sys, "the line counts of a table", [&] {
        std::vector<std::vector<int>> per_run;
        for (const Run &run : runs) per_run.push_back(lines_per_element(table, rows, run));
        return per_run;
      });
  aperture *ap = table_aperture(sys, "User defined transducer using lines", runs, centers);
  ap->uses_lines = 1;
  for (size_t k = 0; k < runs.size(); k++)
    fill_line_run(sys, ap->elements[runs[k].element - 1], table, rows, runs[k], counts[k]);
  check_built_geometry(sys, "xdc_lines", ap);
  require_finite_point(sys, "xdc_lines", "focus", focus);
  set_default_focus(sys, ap, focus, 1.0);
  return ap;
}
SONVAR_LEAVE(sys)

aperture *xdc_triangles_old(sys_con *sys, const double *corners, int rows,
                            const double *apodizations, double element_apodization,
                            point3 center) try {
  SONVAR_ENTER(sys);
  aperture *ap = new_aperture(sys, "Physical element made of triangles", 1);
  ap->uses_triangles = 1;
  physical_element &element = ap->elements[0];
  element.center = center;
  if (rows > 0) {
    element.no_triangles = rows;
    element.triangles = alloc_array<tri_element>(sys, rows, "triangles");
    for (int r = 0; r < rows; r++) {
      tri_element &tri = element.triangles[r];
      for (int k = 0; k < 3; k++) tri.corners[k] = table_point(corners, rows, r, 3 * k);
      tri.apodization = apodizations[r];
      tri.delay = 0.0;
    }
  }
  check_built_geometry(sys, "xdc_triangles_old", ap);
  if (!std::isfinite(element_apodization))
    sonvar::fail(sys, "xdc_triangles_old: element_apodization %g must be finite",
                 element_apodization);
  // A focus at infinity along z: every element fires at once.
  set_default_focus(sys, ap, point3{0.0, 0.0, 1e30}, element_apodization);
  return ap;
}
SONVAR_LEAVE(sys)

// ---------------------------------------------------------------------------
// Array constructors
// ---------------------------------------------------------------------------

namespace {

// A count of elements or sub-elements as an int; zero or negative factors
// give none, and a product too large for the records ends the program.
int element_count(std::int64_t a, std::int64_t b, const char *call) {
  if (a <= 0 || b <= 0) return 0;
  const std::int64_t count = a * b;
  if (count > 2147483647)
    fatal("%s: %lld elements are more than an aperture can hold", call,
          static_cast<long long>(count));
  return static_cast<int>(count);
}

// Checks of the constructors' arguments: sizes and radii finite and above
// 0, gaps finite and 0 or more, points finite, and the consistency the
// curved surfaces need (otherwise their arcsines and square roots fill the
// geometry with NaN).
void require_size(sys_con *sys, const char *call, const char *name, double value) {
  if (!(std::isfinite(value) && value > 0))
    sonvar::fail(sys, "%s: %s %g m must be finite and above 0", call, name, value);
}

void require_gap(sys_con *sys, const char *call, const char *name, double value) {
  if (!(std::isfinite(value) && value >= 0))
    sonvar::fail(sys, "%s: %s %g m must be finite and 0 or more", call, name, value);
}

void require_point(sys_con *sys, const char *call, const char *name, point3 p) {
  if (!(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)))
    sonvar::fail(sys, "%s: %s (%g, %g, %g) m must be finite", call, name, p.x, p.y, p.z);
}

// The state, the element width, the kerf and the focus point of an array.
void require_array(sys_con *sys, const char *call, double width, double kerf, point3 focus) {
  sonvar::check_state(sys, call);
  require_size(sys, call, "width", width);
  require_gap(sys, call, "kerf", kerf);
  require_point(sys, call, "focus", focus);
}

// The row heights of a multi-row array (only read when it has elements).
void require_heights(sys_con *sys, const char *call, int no_elem_x, int no_elem_y,
                     const double *heights) {
  if (no_elem_x <= 0 || no_elem_y <= 0) return;
  if (heights == nullptr) sonvar::fail(sys, "%s: heights is NULL for %d rows", call, no_elem_y);
  for (int r = 0; r < no_elem_y; r++)
    if (!(std::isfinite(heights[r]) && heights[r] > 0))
      sonvar::fail(sys, "%s: heights[%d] %g m must be finite and above 0", call, r, heights[r]);
}

// The elevation focus circle must reach the edges of the total height H.
void require_elevation(sys_con *sys, const char *call, double Rfocus, double H) {
  require_size(sys, call, "Rfocus", Rfocus);
  if (!(Rfocus >= H / 2))
    sonvar::fail(sys, "%s: Rfocus %g m must be at least half the elevation height %g m", call,
                 Rfocus, H);
}

// A convex face: each element and kerf subtends an arcsine of the radius,
// and the elements together may span at most 180 degrees (beyond that the
// outer ones face backwards and their responses start before t = 0).
void require_convex(sys_con *sys, const char *call, int n, double width, double kerf,
                    double Rconvex) {
  require_size(sys, call, "Rconvex", Rconvex);
  if (!(width <= Rconvex))
    sonvar::fail(sys, "%s: width %g m must not exceed Rconvex %g m", call, width, Rconvex);
  if (!(kerf <= Rconvex))
    sonvar::fail(sys, "%s: kerf %g m must not exceed Rconvex %g m", call, kerf, Rconvex);
  if (n <= 0) return;
  const double arc = n * std::asin(width / Rconvex) + (n - 1) * std::asin(kerf / Rconvex);
  if (!(arc <= M_PI * (1 + 1e-12)))
    sonvar::fail(sys,
                 "%s: %d elements of width %g m and kerf %g m span %g degrees of the convex radius "
                 "%g m; at most 180",
                 call, n, width, kerf, arc * 180 / M_PI, Rconvex);
}

// The elevation curve recedes by its sagitta over the height H; a convex
// radius below it would turn the face inside out.
void require_sagitta(sys_con *sys, const char *call, double Rconvex, double Rfocus, double H) {
  const double sagitta = Rfocus - std::sqrt(Rfocus * Rfocus - H * H / 4);
  if (!(Rconvex > sagitta))
    sonvar::fail(sys, "%s: Rconvex %g m must exceed the elevation sagitta %g m of Rfocus %g m",
                 call, Rconvex, sagitta, Rfocus);
}

// Total elevation height of the rows (for the checks; 0 without rows).
double total_height(int no_elem_y, const double *heights, double kerf_y) {
  if (no_elem_y <= 0 || heights == nullptr) return 0;
  double H = (no_elem_y - 1) * kerf_y;
  for (int r = 0; r < no_elem_y; r++) H += heights[r];
  return H;
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

// Angles of a convex array: one element, one sub-element, one kerf, and the
// start angle of element i of n.
struct ConvexAngles {
  double alpha, delta, kappa;
  double start(int i, int n) const { return (i - n / 2.0) * alpha + (i - (n - 1) / 2.0) * kappa; }
};

ConvexAngles convex_angles(double width, double kerf, double Rconvex, int no_sub_x) {
  const double alpha = std::asin(width / Rconvex);
  return ConvexAngles{alpha, alpha / no_sub_x, std::asin(kerf / Rconvex)};
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
  const double bound = squares ? std::floor(M_PI * sqr(radius + size) / sqr(size) + 1) : 0.0;
  if (!(bound <= 2147483647.0))
    fatal("%s: a disc of radius %g m needs too many squares of %g m", call, radius, size);
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

aperture *xdc_piston(sys_con *sys, double radius, double ele_size) try {
  SONVAR_ENTER(sys);
  sonvar::check_state(sys, "xdc_piston");
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

aperture *xdc_concave(sys_con *sys, double radius, double focal_radius, double ele_size) try {
  SONVAR_ENTER(sys);
  sonvar::check_state(sys, "xdc_concave");
  require_size(sys, "xdc_concave", "radius", radius);
  require_size(sys, "xdc_concave", "focal_radius", focal_radius);
  require_size(sys, "xdc_concave", "ele_size", ele_size);
  // Every corner of a square whose centre lies in the disc stays within
  // radius + ele_size / sqrt(2) of the axis; the sphere must reach it.
  if (!(focal_radius >= radius + ele_size / std::sqrt(2.0)))
    sonvar::fail(sys,
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

aperture *xdc_linear_array(sys_con *sys, int no_elements, double width, double height, double kerf,
                           int no_sub_x, int no_sub_y, point3 focus) try {
  SONVAR_ENTER(sys);
  require_array(sys, "xdc_linear_array", width, kerf, focus);
  require_size(sys, "xdc_linear_array", "height", height);
  const char *call = "xdc_linear_array";
  aperture *ap = new_aperture(sys, "Linear array transducer", element_count(no_elements, 1, call));
  const double sub_w = width / no_sub_x, sub_h = height / no_sub_y;
  for (int i = 0; i < ap->no_elements; i++) {
    const double x = lateral_center(i, no_elements, width + kerf);
    fill_element(sys, ap->elements[i], point3{x, 0.0, 0.0}, no_sub_x, no_sub_y, call,
                 [&](rect_element *rect, int j, int k) {
                   insert_corners(rect, &rect->center, x - width / 2 + k * sub_w,
                                  -height / 2 + j * sub_h, sub_w, sub_h);
                 });
  }
  return finish_aperture(sys, ap, focus, nullptr);
}
SONVAR_LEAVE(sys)

aperture *xdc_linear_multirow(sys_con *sys, int no_elem_x, double width, int no_elem_y,
                              const double *heights, double kerf_x, double kerf_y, int no_sub_x,
                              int no_sub_y, point3 focus) try {
  SONVAR_ENTER(sys);
  require_array(sys, "xdc_linear_multirow", width, kerf_x, focus);
  require_gap(sys, "xdc_linear_multirow", "kerf_y", kerf_y);
  require_heights(sys, "xdc_linear_multirow", no_elem_x, no_elem_y, heights);
  const char *call = "xdc_linear_multirow";
  aperture *ap = new_aperture(sys, "Linear multi-row array transducer",
                              element_count(no_elem_x, no_elem_y, call));
  const Rows rows =
      ap->no_elements > 0
          ? sonvar::allocating(sys, "the row centres",
                               [&] { return row_centers(no_elem_y, heights, kerf_y); })
          : Rows{};
  const double sub_w = width / no_sub_x;
  int n = 0;
  for (int r = 0; r < no_elem_y && ap->no_elements > 0; r++)
    for (int i = 0; i < no_elem_x; i++) {
      const double x = lateral_center(i, no_elem_x, width + kerf_x);
      const double y = rows.y[r], h = heights[r], sub_h = h / no_sub_y;
      fill_element(sys, ap->elements[n++], point3{x, y, 0.0}, no_sub_x, no_sub_y, call,
                   [&](rect_element *rect, int j, int k) {
                     insert_corners(rect, &rect->center, x - width / 2 + k * sub_w,
                                    y - h / 2 + j * sub_h, sub_w, sub_h);
                   });
    }
  return finish_aperture(sys, ap, focus, nullptr);
}
SONVAR_LEAVE(sys)

aperture *xdc_2d_array(sys_con *sys, int no_elem_x, int no_elem_y, double width, double height,
                       double kerf_x, double kerf_y, const int16_t *enabled, int no_sub_x,
                       int no_sub_y, point3 focus) try {
  SONVAR_ENTER(sys);
  require_array(sys, "xdc_2d_array", width, kerf_x, focus);
  require_size(sys, "xdc_2d_array", "height", height);
  require_gap(sys, "xdc_2d_array", "kerf_y", kerf_y);
  if (no_elem_x > 0 && no_elem_y > 0 && enabled == nullptr)
    sonvar::fail(sys, "xdc_2d_array: enabled is NULL for %d x %d elements", no_elem_x, no_elem_y);
  const char *call = "xdc_2d_array";
  // enabled holds no_elem_x columns of no_elem_y flags each.
  auto on = [&](int i, int j) { return enabled[static_cast<std::size_t>(i) * no_elem_y + j] != 0; };
  int count = 0;
  if (element_count(no_elem_x, no_elem_y, call) > 0)
    for (int i = 0; i < no_elem_x; i++)
      for (int j = 0; j < no_elem_y; j++) count += on(i, j) ? 1 : 0;
  aperture *ap = new_aperture(sys, "2-dimensional array transducer", count);
  const double sub_w = width / no_sub_x, sub_h = height / no_sub_y;
  int n = 0;
  for (int j = 0; j < no_elem_y && count > 0; j++)
    for (int i = 0; i < no_elem_x; i++) {
      if (!on(i, j)) continue;
      const double x = lateral_center(i, no_elem_x, width + kerf_x);
      const double y = (j - (no_elem_y - 1) / 2.0) * (height + kerf_y);
      fill_element(sys, ap->elements[n++], point3{x, y, 0.0}, no_sub_x, no_sub_y, call,
                   [&](rect_element *rect, int jj, int k) {
                     insert_corners(rect, &rect->center, x - width / 2 + k * sub_w,
                                    y - height / 2 + jj * sub_h, sub_w, sub_h);
                   });
    }
  return finish_aperture(sys, ap, focus, nullptr);
}
SONVAR_LEAVE(sys)

aperture *xdc_focused_array(sys_con *sys, int no_elements, double width, double height, double kerf,
                            double Rfocus, int no_sub_x, int no_sub_y, point3 focus) try {
  SONVAR_ENTER(sys);
  require_array(sys, "xdc_focused_array", width, kerf, focus);
  require_size(sys, "xdc_focused_array", "height", height);
  require_elevation(sys, "xdc_focused_array", Rfocus, height);
  const char *call = "xdc_focused_array";
  aperture *ap = new_aperture(sys, "Linear elevation focused array transducer",
                              element_count(no_elements, 1, call));
  const double z0 = focus_height(height, Rfocus);
  const double sub_w = width / no_sub_x;
  for (int i = 0; i < ap->no_elements; i++) {
    const double x = lateral_center(i, no_elements, width + kerf);
    fill_element(sys, ap->elements[i], point3{x, 0.0, z0 - Rfocus}, no_sub_x, no_sub_y, call,
                 [&](rect_element *rect, int j, int k) {
                   const SubRow row = equal_angle_sub_row(j, no_sub_y, height, Rfocus);
                   insert_corners_focused(rect, &rect->center, x - width / 2 + k * sub_w, row.y,
                                          sub_w, row.height, Rfocus, z0);
                 });
  }
  return finish_aperture(sys, ap, focus, nullptr);
}
SONVAR_LEAVE(sys)

aperture *xdc_focused_multirow(sys_con *sys, int no_elem_x, double width, int no_elem_y,
                               const double *heights, double kerf_x, double kerf_y, double Rfocus,
                               int no_sub_x, int no_sub_y, point3 focus) try {
  SONVAR_ENTER(sys);
  require_array(sys, "xdc_focused_multirow", width, kerf_x, focus);
  require_gap(sys, "xdc_focused_multirow", "kerf_y", kerf_y);
  require_heights(sys, "xdc_focused_multirow", no_elem_x, no_elem_y, heights);
  require_elevation(sys, "xdc_focused_multirow", Rfocus, total_height(no_elem_y, heights, kerf_y));
  const char *call = "xdc_focused_multirow";
  aperture *ap = new_aperture(sys, "Linear multi-row elevation focused array transducer",
                              element_count(no_elem_x, no_elem_y, call));
  const Rows rows =
      ap->no_elements > 0
          ? sonvar::allocating(sys, "the row centres",
                               [&] { return row_centers(no_elem_y, heights, kerf_y); })
          : Rows{};
  const double z0 = focus_height(rows.total, Rfocus);
  const double sub_w = width / no_sub_x;
  int n = 0;
  for (int r = 0; r < no_elem_y && ap->no_elements > 0; r++)
    for (int i = 0; i < no_elem_x; i++) {
      const double x = lateral_center(i, no_elem_x, width + kerf_x);
      const double y = rows.y[r], h = heights[r], sub_h = h / no_sub_y;
      const point3 center{x, y, z0 - std::sqrt(Rfocus * Rfocus - y * y)};
      fill_element(sys, ap->elements[n++], center, no_sub_x, no_sub_y, call,
                   [&](rect_element *rect, int j, int k) {
                     insert_corners_focused(rect, &rect->center, x - width / 2 + k * sub_w,
                                            y - h / 2 + j * sub_h, sub_w, sub_h, Rfocus, z0);
                   });
    }
  return finish_aperture(sys, ap, focus, nullptr);
}
SONVAR_LEAVE(sys)

aperture *xdc_convex_array(sys_con *sys, int no_elements, double width, double height, double kerf,
                           double Rconvex, int no_sub_x, int no_sub_y, point3 focus) try {
  SONVAR_ENTER(sys);
  require_array(sys, "xdc_convex_array", width, kerf, focus);
  require_size(sys, "xdc_convex_array", "height", height);
  require_convex(sys, "xdc_convex_array", no_elements, width, kerf, Rconvex);
  const char *call = "xdc_convex_array";
  aperture *ap = new_aperture(sys, "Convex array transducer", element_count(no_elements, 1, call));
  const ConvexAngles angles = convex_angles(width, kerf, Rconvex, no_sub_x);
  const double sub_h = height / no_sub_y;
  for (int i = 0; i < ap->no_elements; i++) {
    const double phi = angles.start(i, no_elements);
    const double mid = phi + angles.alpha / 2;
    const point3 center{Rconvex * std::sin(mid), 0.0, Rconvex * std::cos(mid) - Rconvex};
    fill_element(sys, ap->elements[i], center, no_sub_x, no_sub_y, call,
                 [&](rect_element *rect, int j, int k) {
                   insert_corners_convex(rect, &rect->center, -height / 2 + j * sub_h, sub_h,
                                         Rconvex, phi + k * angles.delta, angles.delta);
                 });
  }
  return finish_aperture(sys, ap, focus, nullptr);
}
SONVAR_LEAVE(sys)

aperture *xdc_convex_focused_array(sys_con *sys, int no_elements, double width, double height,
                                   double kerf, double Rconvex, double Rfocus, int no_sub_x,
                                   int no_sub_y, point3 focus) try {
  SONVAR_ENTER(sys);
  require_array(sys, "xdc_convex_focused_array", width, kerf, focus);
  require_size(sys, "xdc_convex_focused_array", "height", height);
  require_convex(sys, "xdc_convex_focused_array", no_elements, width, kerf, Rconvex);
  require_elevation(sys, "xdc_convex_focused_array", Rfocus, height);
  require_sagitta(sys, "xdc_convex_focused_array", Rconvex, Rfocus, height);
  const char *call = "xdc_convex_focused_array";
  aperture *ap =
      new_aperture(sys, "Convex focused array transducer", element_count(no_elements, 1, call));
  const ConvexAngles angles = convex_angles(width, kerf, Rconvex, no_sub_x);
  const double z0 = focus_height(height, Rfocus);
  const double rho = Rconvex - Rfocus + z0;
  for (int i = 0; i < ap->no_elements; i++) {
    const double phi = angles.start(i, no_elements);
    const double mid = phi + angles.alpha / 2;
    const point3 center{rho * std::sin(mid), 0.0, rho * std::cos(mid) - Rconvex};
    fill_element(sys, ap->elements[i], center, no_sub_x, no_sub_y, call,
                 [&](rect_element *rect, int j, int k) {
                   const SubRow row = equal_angle_sub_row(j, no_sub_y, height, Rfocus);
                   insert_corners_convex_focused(rect, &rect->center, row.y, row.height, Rconvex,
                                                 Rfocus, z0, phi + k * angles.delta, angles.delta);
                 });
  }
  return finish_aperture(sys, ap, focus, nullptr);
}
SONVAR_LEAVE(sys)

aperture *xdc_convex_focused_multirow(sys_con *sys, int no_elem_x, double width, int no_elem_y,
                                      const double *heights, double kerf_x, double kerf_y,
                                      double Rconvex, double Rfocus, int no_sub_x, int no_sub_y,
                                      point3 focus) try {
  SONVAR_ENTER(sys);
  const char *checked = "xdc_convex_focused_multirow";
  require_array(sys, checked, width, kerf_x, focus);
  require_gap(sys, checked, "kerf_y", kerf_y);
  require_heights(sys, checked, no_elem_x, no_elem_y, heights);
  const double H = total_height(no_elem_y, heights, kerf_y);
  require_convex(sys, checked, no_elem_x, width, kerf_x, Rconvex);
  require_elevation(sys, checked, Rfocus, H);
  require_sagitta(sys, checked, Rconvex, Rfocus, H);
  const char *call = "xdc_convex_focused_multirow";
  aperture *ap = new_aperture(sys, "Convex focused multirow transducer",
                              element_count(no_elem_x, no_elem_y, call));
  const Rows rows =
      ap->no_elements > 0
          ? sonvar::allocating(sys, "the row centres",
                               [&] { return row_centers(no_elem_y, heights, kerf_y); })
          : Rows{};
  const double z0 = focus_height(rows.total, Rfocus);
  const ConvexAngles angles = convex_angles(width, kerf_x, Rconvex, no_sub_x);
  int n = 0;
  for (int r = 0; r < no_elem_y && ap->no_elements > 0; r++)
    for (int i = 0; i < no_elem_x; i++) {
      const double y = rows.y[r], h = heights[r], sub_h = h / no_sub_y;
      const double rho = Rconvex - (std::sqrt(Rfocus * Rfocus - y * y) - z0);
      const double phi = angles.start(i, no_elem_x);
      const double mid = phi + angles.alpha / 2;
      const point3 center{rho * std::sin(mid), y, rho * std::cos(mid) - Rconvex};
      fill_element(sys, ap->elements[n++], center, no_sub_x, no_sub_y, call,
                   [&](rect_element *rect, int j, int k) {
                     insert_corners_convex_focused(rect, &rect->center, y - h / 2 + j * sub_h,
                                                   sub_h, Rconvex, Rfocus, z0,
                                                   phi + k * angles.delta, angles.delta);
                   });
    }
  return finish_aperture(sys, ap, focus, nullptr);
}
SONVAR_LEAVE(sys)

// ---------------------------------------------------------------------------
// Report
// ---------------------------------------------------------------------------

namespace {

constexpr double kMm = 1000.0;             // metres to millimetres
constexpr double kUs = 1e6;                // seconds to microseconds
constexpr double kDegrees = 180.0 / M_PI;  // radians to degrees

void show_header(std::string *text, const aperture *ap) {
  sonvar::append_formatted(text, "Aperture name: %s \n", ap->name);
  sonvar::append_formatted(text, "Created: %s \n", ap->created);
  sonvar::append_formatted(text, "Impulse response consists of %d samples\n",
                           ap->impulse_response->no_samples);
  sonvar::append_formatted(text, "Excitation response consists of %d samples\n",
                           ap->excitation->no_samples);
  sonvar::append_formatted(text, "%s\n",
                           ap->individual_excitation
                               ? "Physical elements uses individual excitation"
                               : "All elements uses same excitation");
  if (ap->quantize_delays)
    sonvar::append_formatted(text, "Quantized phase delay is used. Quantization = %10.4f ns\n",
                             ap->quantization * 1e9);
  else
    sonvar::append_formatted(text, "No quantization of phase delays are used.\n");
  sonvar::append_formatted(text, "%s\n",
                           ap->soft_baffle ? "Aperture uses the soft-baffle boundary condition"
                                           : "Aperture uses the rigid baffle boundary condition");
  const point3 &r = ap->focus_reference;
  sonvar::append_formatted(
      text, "The reference point for focusing is at  (x,y,z) = (%10.4f, %10.4f, %10.4f) mm\n",
      r.x * kMm, r.y * kMm, r.z * kMm);
  sonvar::append_formatted(text, "The aperture consists of %d physical elements. \n",
                           ap->no_elements);
}

void show_rectangles(std::string *text, const physical_element &e) {
  sonvar::append_formatted(text, "    Rectangular elements are given by (all measures in mm):\n");
  sonvar::append_formatted(text, "    Unit vectors \n");
  sonvar::append_formatted(text,
                           "    No.     Width    Height   Apodization    tan_xz     tan_yz\n");
  for (int j = 0; j < e.no_rectangles; j++) {
    const rect_element &r = e.rectangles[j];
    sonvar::append_formatted(text, "    %4d  %8.4f  %8.4f  %8.4f     %8.4f  %8.4f \n", j + 1,
                             r.width * kMm, r.height * kMm, r.apodization, r.tan_xz, r.tan_yz);
  }
  sonvar::append_formatted(text, "    Center points are given by (all measures in mm):  \n");
  sonvar::append_formatted(text, "    No.         Center\n");
  for (int j = 0; j < e.no_rectangles; j++) {
    const point3 &c = e.rectangles[j].center;
    sonvar::append_formatted(text, "    %4d  (%9.4f, %9.4f, %9.4f)  \n", j + 1, c.x * kMm,
                             c.y * kMm, c.z * kMm);
  }
  sonvar::append_formatted(text, "    Corners are given by (all measures in mm):  \n");
  sonvar::append_formatted(
      text,
      "    No.                (1)                      (2)                      (3)        "
      "              (4) \n");
  for (int j = 0; j < e.no_rectangles; j++) {
    sonvar::append_formatted(text, "    %4d ", j + 1);
    for (const point3 &c : e.rectangles[j].corners)
      sonvar::append_formatted(text, " (%6.2f, %6.2f, %6.2f)", c.x * kMm, c.y * kMm, c.z * kMm);
    sonvar::append_formatted(text, " \n");
  }
}

void show_triangles(std::string *text, const physical_element &e) {
  sonvar::append_formatted(text, "    Triangular elements: \n");
  sonvar::append_formatted(text, "    Corners are given by (all measures in mm):  \n");
  sonvar::append_formatted(
      text,
      "    No.     Apodization           (1)                      (2)                      "
      "(3)  \n");
  for (int j = 0; j < e.no_triangles; j++) {
    const tri_element &t = e.triangles[j];
    sonvar::append_formatted(text, "    %4d  %6.2f ", j + 1, t.apodization);
    for (const point3 &c : t.corners)
      sonvar::append_formatted(text, " (%6.2f, %6.2f, %6.2f)", c.x * kMm, c.y * kMm, c.z * kMm);
    sonvar::append_formatted(text, " \n");
  }
}

void show_line_element(std::string *text, const line_element &le, int e) {
  sonvar::append_formatted(
      text,
      "    Direction cosine for x = %10.6f, sine for x = %10.6f, cosine for y = %10.6f, sine "
      "for y = %10.6f, \n",
      le.cos_x, le.sin_x, le.cos_y, le.sin_y);
  sonvar::append_formatted(text, "    Projected plane height zc = %10.4f mm \n", le.zc * kMm);
  sonvar::append_formatted(text, "    There are %d crossings between bounding lines \n",
                           le.no_crossings);
  sonvar::append_formatted(text, "    Crossing no.   Position (x, y, z) mm \n");
  for (int k = 0; k < le.no_crossings; k++) {
    const point3 &c = le.crossings[k];
    sonvar::append_formatted(text, "  %8d   %10.6f    %10.6f    %10.6f \n", k, c.x * kMm, c.y * kMm,
                             c.z * kMm);
  }
  sonvar::append_formatted(text,
                           "    Element apodization value = %10.4f,  Delay value = %10.4f us\n",
                           le.apodization, le.delay * kUs);
  sonvar::append_formatted(
      text,
      "    Element no.   Line no.      Slope        Intersection      Above or left   "
      "Apodization   \n");
  for (int l = 0; l < le.no_lines; l++) {
    const bounding_line &line = le.lines[l];
    if (line.vertical)
      sonvar::append_formatted(
          text, "     %4d         %4d        Infinite       x1=%10.4f    %8d      %10.6f\n", e + 1,
          l + 1, line.x1 * kMm, line.above_or_left, le.apodization);
    else
      sonvar::append_formatted(
          text, "     %4d         %4d      %10.4f       y1=%10.4f    %8d      %10.6f\n", e, l,
          line.slope, line.y1 * kMm, line.above_or_left, le.apodization);
  }
}

void show_elements(std::string *text, const aperture *ap) {
  for (int n = 0; n < ap->no_elements; n++) {
    const physical_element &e = ap->elements[n];
    sonvar::append_formatted(
        text,
        "Physical element number %d consists of %d rectangles and %d triangles and %d line "
        "elements \n",
        n + 1, e.no_rectangles, e.no_triangles, e.no_line_elements);
    sonvar::append_formatted(text,
                             "The center point is at (x,y,z) = (%10.4f, %10.4f, %10.4f) mm. \n",
                             e.center.x * kMm, e.center.y * kMm, e.center.z * kMm);
    if (e.has_excitation && e.excitation != nullptr)
      sonvar::append_formatted(
          text, "    This physical element uses an individual excitation with %d samples\n",
          e.excitation->no_samples);
    if (e.no_rectangles > 0) show_rectangles(text, e);
    if (e.no_triangles > 0) show_triangles(text, e);
    if (e.no_line_elements > 0) {
      sonvar::append_formatted(text, "  Line elements: \n");
      sonvar::append_formatted(text, "    Lines are given by (all measures in mm):  \n");
      for (int l = 0; l < e.no_line_elements; l++) show_line_element(text, e.line_elements[l], l);
    }
  }
}

void show_focus(std::string *text, const aperture *ap) {
  sonvar::append_formatted(text, "\nTime line for focusing:\n");
  for (const focus_entry *f = ap->focus_line; f != nullptr; f = f->next) {
    sonvar::append_formatted(text, "Time [us]  Focal point [mm] or focal direction \n");
    if (f->dynamic) {
      sonvar::append_formatted(text, "%8.4f  Dynamic along: %9.4f deg. (z-x), %9.4f deg. (z-y)) \n",
                               f->time * kUs, f->angle_zx * kDegrees, f->angle_zy * kDegrees);
      continue;
    }
    sonvar::append_formatted(text, "%8.4f   (%8.4f, %8.4f, %8.4f) \n", f->time * kUs,
                             f->point.x * kMm, f->point.y * kMm, f->point.z * kMm);
    sonvar::append_formatted(text, "Delay times [s] (Element: Value) \n            ");
    for (int n = 0; n < ap->no_elements; n++) {
      sonvar::append_formatted(text, "(%3d, %10.3e)  ", n + 1, f->delays[n]);
      if ((n + 1) % 4 == 0) sonvar::append_formatted(text, "\n            ");
    }
    sonvar::append_formatted(text, "\n");
  }
}

void show_apodization(std::string *text, const aperture *ap) {
  if (ap->dynamic_apodization) {
    const point3 &r = ap->apod_reference;
    const point3 &d = ap->apod_direction;
    sonvar::append_formatted(text, "Dynamic apodization is used for this aperture\n");
    sonvar::append_formatted(text, "   Apodization reference point is (%8.4f, %8.4f, %8.4f) mm \n",
                             r.x * kMm, r.y * kMm, r.z * kMm);
    sonvar::append_formatted(text, "   Apodization direction vector is (%8.4f, %8.4f, %8.4f) mm \n",
                             d.x, d.y, d.z);
    sonvar::append_formatted(text, "F-number used is %8.4f \n", ap->f_number);
    static const char *const kWindows[] = {"Hanning", "Hamming", "Blackman"};
    if (ap->apod_window >= 1 && ap->apod_window <= 3)
      sonvar::append_formatted(text, "  Apodization uses %s windows \n",
                               kWindows[ap->apod_window - 1]);
    return;
  }
  sonvar::append_formatted(text, "Time line for apodization:\n");
  sonvar::append_formatted(text, "Time [us]  Apodization (Element: Value)");
  for (const apodization_entry *a = ap->apodization_line; a != nullptr; a = a->next) {
    sonvar::append_formatted(text, "\n %8.4f   ", a->time * kUs);
    for (int n = 0; n < ap->no_elements; n++) {
      sonvar::append_formatted(text, "(%3d, %6.4f)  ", n + 1, a->values[n]);
      if ((n + 1) % 5 == 0) sonvar::append_formatted(text, "\n            ");
    }
  }
  sonvar::append_formatted(text, "\n");
}

}  // namespace

void xdc_show(sys_con *sys, aperture *ap, int info_kind) try {
  SONVAR_ENTER(sys);
  if (sys->debug) print_message(sys, "Sonvar debug message: Entering xdc_show\n");
  // The report goes out in one piece, so that a sink sees it whole.
  std::string report;
  std::string *text = &report;
  show_header(text, ap);
  if (info_kind == 0 || info_kind == 1) show_elements(text, ap);
  if (info_kind == 0 || info_kind == 2) show_focus(text, ap);
  if (info_kind == 0 || info_kind == 3) show_apodization(text, ap);
  print_message(sys, report.c_str());
}
SONVAR_LEAVE_VOID(sys)

// ---------------------------------------------------------------------------
// Export tables
// ---------------------------------------------------------------------------

namespace {

// Appends values to the caller's array, or only counts them when the
// array is NULL (the size query shares the row layouts this way).
struct TableWriter {
  double *out;
  std::int64_t count;
  void put(double value) {
    if (out != nullptr) out[count] = value;
    count++;
  }
  void put(const point3 &p) {
    put(p.x);
    put(p.y);
    put(p.z);
  }
};

void write_rectangles(const aperture *ap, TableWriter &w) {
  for (int n = 0; n < ap->no_elements; n++) {
    const physical_element &e = ap->elements[n];
    for (int j = 0; j < e.no_rectangles; j++) {
      const rect_element &r = e.rectangles[j];
      w.put(n);
      w.put(j);
      for (double v : {r.width, r.height, r.apodization, r.tan_xz, r.tan_yz}) w.put(v);
      w.put(r.center);
      for (const point3 &c : r.corners) w.put(c);
      w.put(r.delay);
      w.put(e.center);
    }
  }
}

void write_triangles(const aperture *ap, TableWriter &w) {
  for (int n = 0; n < ap->no_elements; n++) {
    const physical_element &e = ap->elements[n];
    for (int j = 0; j < e.no_triangles; j++) {
      const tri_element &t = e.triangles[j];
      w.put(n);
      w.put(j);
      w.put(t.apodization);
      w.put(e.center);
      for (const point3 &c : t.corners) w.put(c);
    }
  }
}

void write_line_elements(const aperture *ap, TableWriter &w) {
  for (int n = 0; n < ap->no_elements; n++) {
    const physical_element &e = ap->elements[n];
    for (int j = 0; j < e.no_line_elements; j++) {
      const line_element &le = e.line_elements[j];
      w.put(n);
      w.put(j);
      w.put(le.apodization);
      w.put(le.no_lines);  // slot 3 carries the line count (as slot 12 does)
      w.put(e.center);
      for (double v : {le.cos_x, le.sin_x, le.cos_y, le.sin_y, le.zc}) w.put(v);
      w.put(le.no_lines);
      for (int l = 0; l < le.no_lines; l++) {
        const bounding_line &line = le.lines[l];
        for (double v : {line.slope, static_cast<double>(line.vertical), line.y1, line.x1,
                         static_cast<double>(line.above_or_left)})
          w.put(v);
      }
      w.put(le.no_crossings);
      for (int k = 0; k < le.no_crossings; k++) w.put(le.crossings[k]);
    }
  }
}

void write_focus_line(const aperture *ap, TableWriter &w) {
  for (const focus_entry *f = ap->focus_line; f != nullptr; f = f->next) {
    w.put(f->time);
    for (int n = 0; n < ap->no_elements; n++) w.put(f->dynamic ? 0.0 : f->delays[n]);
  }
}

void write_apodization_line(const aperture *ap, TableWriter &w) {
  for (const apodization_entry *a = ap->apodization_line; a != nullptr; a = a->next) {
    w.put(a->time);
    for (int n = 0; n < ap->no_elements; n++) w.put(a->values[n]);
  }
}

void write_table(const aperture *ap, int info_kind, TableWriter &w) {
  switch (info_kind) {
    case 1:
      write_rectangles(ap, w);
      break;
    case 2:
      write_triangles(ap, w);
      break;
    case 3:
      write_line_elements(ap, w);
      break;
    case 4:
      write_focus_line(ap, w);
      break;
    case 5:
      write_apodization_line(ap, w);
      break;
    default:
      break;
  }
}

}  // namespace

void xdc_get(sys_con *sys, aperture *ap, int info_kind, double *out) try {
  SONVAR_ENTER(sys);
  if (sys->debug) print_message(sys, "Sonvar debug message: Entering xdc_get\n");
  if (out == nullptr) return;
  TableWriter writer{out, 0};
  write_table(ap, info_kind, writer);
}
SONVAR_LEAVE_VOID(sys)

int64_t xdc_get_size(sys_con *, aperture *ap, int info_kind) {
  TableWriter counter{nullptr, 0};
  write_table(ap, info_kind, counter);
  return counter.count;
}

// lines.cpp - spatial impulse response of flat elements bounded by straight
// lines.
//
// The response of a flat element at a field point is h(t) = (c / 2 pi) * Omega(t),
// Omega being the angle of the wave circle (radius sqrt((c t)^2 - pz^2) about
// the point's projection) that lies inside the element. Omega is smooth
// between the element's arrival times (corners, feet of perpendiculars, the
// projection itself), so the time axis is cut there and each piece is
// integrated numerically; the samples are the means of h over their intervals.
#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "base/constants.h"
#include "base/points.h"
#include "base/quadrature.h"
#include "dispatch/scratch_block.h"
#include "field/focusing.h"
#include "general/checks.h"
#include "general/failure.h"
#include "general/memory.h"
#include "general/messages.h"
#include "lines/lines.h"
#include "state/host.h"
#include "triangles/exact_response.h"
#include "triangles/triangles.h"

namespace sonvar {

namespace {

// A point on a bounding line is inside when it misses the line by less than
// this fraction of the tested coordinate (rounding of the line's own terms).
constexpr double kInsideTolerance = 1e-14;

// Angle of the crossing described by `record` for the current radius, given
// the (possibly clamped) root e of the discriminant. Returns the angle in
// (-pi, pi] as atan2 gives it.
double crossing_angle(const line_element *element, const line_solution *solution,
                      const circle_crossing *record, double e) {
  const bounding_line &line = element->lines[record->line];
  const double u = (e - record->b) * record->inv_2a;
  if (line.vertical) return std::atan2(u - solution->py, line.x1 - solution->px);
  return std::atan2(u * line.slope + line.y1 - solution->py, u - solution->px);
}

// True when a listed crossing has moved across the x axis since the last
// call: the list's order would no longer follow the angles.
bool crossed_x_axis(double previous, double angle) {
  return (angle < 0.0 && previous < kPi) || (angle > 0.0 && previous > kPi);
}

// One pass of the crossing-angle computation. Returns false when the pass
// must be abandoned (a listed crossing moved across the x axis).
bool angle_pass(const line_element *element, line_solution *solution, bool discontinuity) {
  const int candidates = discontinuity ? 2 * element->no_lines : solution->no_angles;
  int j = 0;
  for (int k = 0; k < candidates; k++) {
    const int index = discontinuity ? k : solution->angle_index[k];
    const circle_crossing *record = solution->crossings_of_circle[index];
    const double disc = record->b_sq - (record->c0 - solution->radius_sq) * record->a4;
    double e = 0.0;
    if (disc >= 0.0) {
      e = std::sqrt(disc);
      if (record->root == 0) e = -e;
    } else if (discontinuity) {
      continue;  // the circle does not reach this line
    }
    // Otherwise a listed crossing at its tangency time: the double root.
    const double angle = crossing_angle(element, solution, record, e);
    if (!discontinuity && !element->lines[record->line].vertical &&
        crossed_x_axis(solution->angles[j], angle))
      return false;
    solution->angles[j] = angle;
    solution->angle_index[j] = index;
    j++;
  }
  solution->no_angles = j;
  return true;
}

// Point of the current circle at `angle`, tested against the element.
bool arc_point_inside(const line_element *element, const line_solution *solution, double angle) {
  return inside(element, solution->px + solution->radius * std::cos(angle),
                solution->py + solution->radius * std::sin(angle)) != 0;
}

circle_crossing *record_at(line_solution *solution, int position) {
  return solution->crossings_of_circle[solution->angle_index[position]];
}

// Inside angle from the list kept since the last full recomputation.
double listed_arcs(line_solution *solution) {
  const int n = solution->no_angles;
  const double *angles = solution->angles;
  double omega = 0.0;
  int first = 0;
  if (record_at(solution, n - 1)->include_forward) {
    omega = angles[0] + kTwoPi - angles[n - 1];
    first = 1;
  }
  for (int k = first; k < n - 1; k++)
    if (record_at(solution, k)->include_forward) omega += angles[k + 1] - angles[k];
  return omega;
}

// Full recomputation: tests every arc between neighbouring crossings (sorted
// angles) and rebuilds the list so that it holds only the crossings that
// bound inside arcs, each inside arc marked on its starting crossing.
double rebuild_arcs(const line_element *element, line_solution *solution) {
  const int n = solution->no_angles;
  double *angles = solution->angles;
  int *order = solution->angle_index;
  for (int k = 0; k < n - 1; k++) record_at(solution, k)->include_forward = 0;
  circle_crossing *last = record_at(solution, n - 1);
  if (n == 1) {  // a lone crossing bounds no arc
    last->include_forward = 0;
    solution->no_angles = 0;
    return 0.0;
  }
  const double last_angle = angles[n - 1];
  const int last_index = order[n - 1];
  const bool wrap_inside = arc_point_inside(element, solution, (angles[0] + last_angle) / 2 + kPi);
  double omega = 0.0;
  int count = 0;  // entries of the new list, including a slot kept for the last crossing
  int start = 0;
  if (wrap_inside) {
    omega = angles[0] + kTwoPi - last_angle;
    count = 2;
    start = 1;
  } else {
    last->include_forward = 0;
  }
  const int reserved = wrap_inside ? 1 : 0;
  bool previous_inside = false;
  for (int k = start; k < n - 1; k++) {
    const double a = angles[k];
    const double b = angles[k + 1];
    const int index_a = order[k];
    const int index_b = order[k + 1];
    if (!arc_point_inside(element, solution, (a + b) / 2)) {
      solution->crossings_of_circle[index_a]->include_forward = 0;
      previous_inside = false;
      continue;
    }
    omega += b - a;
    solution->crossings_of_circle[index_a]->include_forward = 1;
    if (!previous_inside) {
      angles[count - reserved] = a;
      order[count - reserved] = index_a;
      count++;
    }
    angles[count - reserved] = b;
    order[count - reserved] = index_b;
    count++;
    previous_inside = true;
  }
  if (wrap_inside) {
    // The wrap-around arc starts at the list's last crossing.
    if (previous_inside) {
      count--;
    } else {
      angles[count - 1] = last_angle;
      order[count - 1] = last_index;
    }
    last->include_forward = 1;
  }
  solution->no_angles = count;
  return omega;
}

// Heap sort (1-based heap over 0-based arrays) of keys, moving `tags` along
// when given.
void heap_sort(int n, double *keys, int *tags) {
  if (n < 2) return;
  auto sift = [&](int root, int end) {  // root, end: 1-based positions
    const double key = keys[root - 1];
    const int tag = tags ? tags[root - 1] : 0;
    int i = root;
    int child = 2 * i;
    while (child <= end) {
      if (child < end && keys[child - 1] < keys[child]) child++;
      if (key >= keys[child - 1]) break;
      keys[i - 1] = keys[child - 1];
      if (tags) tags[i - 1] = tags[child - 1];
      i = child;
      child = 2 * i;
    }
    keys[i - 1] = key;
    if (tags) tags[i - 1] = tag;
  };
  for (int root = n / 2; root >= 1; root--) sift(root, n);
  for (int end = n; end > 1; end--) {
    std::swap(keys[0], keys[end - 1]);
    if (tags) std::swap(tags[0], tags[end - 1]);
    sift(1, end - 1);
  }
}

// Romberg integration of the arc angle: the trapezoid sums are refined 15
// times and extrapolated to zero step with polynomials of growing order.
constexpr int kRombergRefinements = 15;
constexpr int kLowestOrder = 2;
constexpr int kHighestOrder = 9;
constexpr double kRombergAccuracy = 0.001;

// Prints what is known about an integral that did not converge.
void report_no_convergence(sys_con *sys, const line_element *element, const line_solution *solution,
                           int discontinuity, double t_a, double t_b, double step, double ss,
                           double dss) {
  const double len = t_b - t_a;
  print_message(sys, "Not possible to find convergent integral \n");
  print_formatted(sys, 256, "Returning after %d iterations \n", kRombergRefinements + 1);
  print_formatted(sys, 256, "Times are %e to %e \n", t_a, t_b);
  print_formatted(sys, 256, "Time difference %e corresponding to %e \n", len, 1.0 / len);
  print_formatted(sys, 256, "Step length in integration is %e, corresponding to fs= %e Hz \n", step,
                  1.0 / step);
  print_formatted(sys, 256, "Sum is %e \n", ss);
  print_formatted(sys, 256, "Accuracy is %e \n", std::fabs(dss) / std::fabs(ss));
  print_formatted(sys, 256, "Polynomial order %d \n", kHighestOrder);
  print_formatted(sys, 256, "Number of times %d, number of angles %d \n", solution->no_times,
                  solution->no_angles);
  print_formatted(sys, 256, "First time in solution %e, last time in solution %e \n",
                  solution->times[0], solution->times[solution->no_times - 1]);
  print_formatted(sys, 256, "Discontinuity %d \n", discontinuity);
  for (int k = 0; k < solution->no_angles; k++) {
    const circle_crossing *record = solution->crossings_of_circle[solution->angle_index[k]];
    print_formatted(sys, 256, "Line %d, angle: %10.6f, include forward %d\n", record->line,
                    solution->angles[k] * 180.0 / kPi, record->include_forward);
  }
  print_formatted(sys, 256, "Radius of circle: %10.6f mm \n", 1000.0 * solution->radius);
  print_message(sys, "    Crossing no.   Position (x, y, z) mm \n");
  for (int k = 0; k < element->no_crossings; k++) {
    const point3 &p = element->crossings[k];
    print_formatted(sys, 256, "  %8d   %10.6f    %10.6f    %10.6f \n", k, 1000.0 * p.x,
                    1000.0 * p.y, 1000.0 * p.z);
  }
}

// The walk over the sample boundaries of one element response: value[i]
// becomes the integral of the arc angle from the first arrival up to
// boundary i. Returns the index of the first boundary beyond the last
// arrival time.
int integrate_boundaries(sys_con *sys, const line_element *element, line_solution *solution,
                         double *value, int n, double first_time) {
  const double T = 1.0 / sys->fs;
  const double *times = solution->times;
  const int last = solution->no_times - 1;
  double sum = 0.0;
  double lo = 0.0;
  int j = 0;
  bool first_pending = true;
  int discontinuity = 0;
  int i = 0;
  while (i < n) {
    const double b = first_time - T / 2 + i * T;
    if (solution->pz > solution->c * b) {
      value[i++] = 0.0;
      continue;
    }
    if (b > times[std::min(j, last)]) {  // the boundary has passed an arrival time
      if (first_pending) {
        first_pending = false;
        lo = times[0];
        j = 1;
      } else {
        if (j > last) break;
        sum += int_sum(sys, element, solution, discontinuity, lo, times[j]);
        lo = times[j];
        j++;
      }
      discontinuity = 1;
      continue;
    }
    if (!first_pending) {
      sum += int_sum(sys, element, solution, discontinuity, lo, b);
      discontinuity = 0;
    }
    value[i++] = sum;
    lo = b;
  }
  check_index(sys, i, 0, n - 1, "response_line_int: finding difference");
  value[i] = sum;
  return i;
}

// Working signals of the aperture sum start with this many samples.
constexpr int kWorkingSamples = 1000;
// A physical element whose line elements all have weight 0 still yields its
// (all-zero) signal, computed into a fresh signal of this many samples.
constexpr int kZeroElementSamples = 100;

// Weight, attenuation and soft-baffle factor of one physical element's
// signal. Sample k is taken at the distance of the time one sample later,
// from the element's delayed origin.
void scale_element_signal(sys_con *sys, const aperture *ap, signal_rec *signal, double weight,
                          double delay, double z) {
  const double fs = sys->fs;
  const double c = sys->c;
  for (int k = 0; k < signal->no_samples; k++) {
    double r = c * ((signal->start_sample + k + 1) / fs - delay);
    double value = signal->values[k];
    value = sys->use_att ? std::exp(-kNepersPerDb * sys->att * r) * weight * value : weight * value;
    if (ap->soft_baffle) {
      // Before the delayed origin the distance is not positive: nothing in
      // the baffle plane itself, otherwise at least one sample of travel.
      if (r <= 0.0 && z == 0.0) {
        value = 0.0;
      } else {
        if (r <= 0.0) r = c / fs;
        value *= z / r;
      }
    }
    signal->values[k] = value;
  }
}

// The summed response of physical element i's line elements, computed into
// *element_signal (replaced by a fresh signal when only a zero-weight line
// element gives the timing). Returns false when nothing was computed.
bool element_response(sys_con *sys, calc_memory_block *block, const physical_element &element,
                      int i, signal_rec **element_signal, double x, double y, double z) {
  line_solution *solution = block->line_scratch;
  signal_rec *scratch = block->rect_signals[1];
  bool computed = false;
  for (int j = 0; j < element.no_line_elements; j++) {
    const line_element *line = &element.line_elements[j];
    const double t_delay = block->no_delay ? 0.0 : block->delays[i] + line->delay;
    if (line->apodization != 0.0) {
      if (!computed) {
        response_line_int(sys, solution, line, *element_signal, t_delay, x, y, z);
      } else {
        response_line_int(sys, solution, line, scratch, t_delay, x, y, z);
        add_responses(sys, scratch, *element_signal);
      }
      computed = true;
    } else if (j == element.no_line_elements - 1 && !computed) {
      signal_rec *fresh = alloc_signal(sys, kZeroElementSamples, 0);
      response_line_int(sys, solution, line, fresh, t_delay, x, y, z);
      free_signal(sys, *element_signal);
      *element_signal = fresh;
      computed = true;
    }
  }
  return computed;
}

// Whether physical element i takes part in the sum at this point.
bool element_selected(const calc_memory_block *block, int i) {
  if (block->single_element) return i == block->element_index;
  return i == 0 || block->apodizations[i] != 0.0;
}

// The exact response of a line element on the absolute sampling grid: the
// element is convex (an intersection of half-planes), so its corners in
// angular order about their mean are its polygon.
signal_rec *exact_line_response(sys_con *sys, const line_element *element, signal_rec *signal,
                                double t_delay, point3 p) {
  const int n = element->no_crossings;
  double mx = 0.0, my = 0.0;
  for (int k = 0; k < n; k++) {
    mx += element->crossings[k].x / n;
    my += element->crossings[k].y / n;
  }
  std::vector<std::pair<double, int>> order(n);
  for (int k = 0; k < n; k++)
    order[k] = {std::atan2(element->crossings[k].y - my, element->crossings[k].x - mx), k};
  std::sort(order.begin(), order.end());
  std::vector<double> xs(n), ys(n);
  for (int k = 0; k < n; k++) {
    xs[k] = element->crossings[order[k].second].x - p.x;
    ys[k] = element->crossings[order[k].second].y - p.y;
  }
  exact_polygon_response(sys, xs.data(), ys.data(), n, p.z, t_delay, element->apodization, signal);
  return signal;
}

}  // namespace

void initialize_solution(const line_element *element, line_solution *solution, double px, double py,
                         double pz) {
  solution->px = px;
  solution->py = py;
  solution->pz = pz;
  for (int i = 0; i < 2 * element->no_lines; i++) {
    circle_crossing *record = solution->crossings_of_circle[i];
    const bounding_line &line = element->lines[i / 2];
    record->line = i / 2;
    record->root = static_cast<int16_t>(i % 2);
    record->include_forward = 0;
    solution->angle_index[i] = i;
    if (line.vertical) {
      record->a4 = 4.0;
      record->b = -2.0 * py;
      record->c0 = sqr(line.x1 - px) + sqr(py);
    } else {
      record->a4 = 4.0 * (1.0 + sqr(line.slope));
      record->b = 2.0 * line.slope * (line.y1 - py) - 2.0 * px;
      record->c0 = sqr(py - line.y1) + sqr(px);
    }
    record->inv_2a = 2.0 / record->a4;
    record->b_sq = sqr(record->b);
  }
}

void find_angles(const line_element *element, line_solution *solution, int *discontinuity) {
  if (!angle_pass(element, solution, *discontinuity != 0)) {
    *discontinuity = 1;
    angle_pass(element, solution, true);
  }
  for (int k = 0; k < solution->no_angles; k++)
    if (solution->angles[k] < 0.0) solution->angles[k] += kTwoPi;
  if (*discontinuity) sort_solution(solution);
}

double sum_solution(const line_element *element, line_solution *solution, int discontinuity,
                    double t) {
  solution->radius_sq = sqr(t * solution->c) - sqr(solution->pz);
  solution->radius = std::sqrt(solution->radius_sq);
  find_angles(element, solution, &discontinuity);
  if (solution->no_angles == 0) return inside(element, solution->px, solution->py) ? kTwoPi : 0.0;
  if (!discontinuity) return listed_arcs(solution);
  return rebuild_arcs(element, solution);
}

int16_t inside(const line_element *element, double x, double y) {
  for (int i = 0; i < element->no_lines; i++) {
    const bounding_line &line = element->lines[i];
    double d = 0.0;
    double scale = 0.0;
    if (line.vertical) {
      d = line.above_or_left ? line.x1 - x : x - line.x1;
      scale = std::fabs(x);
    } else {
      const double yl = x * line.slope + line.y1;
      d = line.above_or_left ? y - yl : yl - y;
      scale = std::fabs(y);
    }
    if (d < 0.0 && std::fabs(d) >= kInsideTolerance * scale) return 0;
  }
  return 1;
}

void sort(int n, double *values) {
  heap_sort(n, values, nullptr);
}

void sort_solution(line_solution *solution) {
  heap_sort(solution->no_angles, solution->angles, solution->angle_index);
}

point3 *project_field_point(point3 *out, const line_element *element, double x, double y,
                            double z) {
  const double xr = x * element->cos_x - z * element->sin_x;
  const double zr = z * element->cos_x + x * element->sin_x;
  out->x = xr;
  out->y = y * element->cos_y - zr * element->sin_y;
  out->z = zr * element->cos_y + y * element->sin_y - element->zc;
  return out;
}

void arrival_times(sys_con *sys, const line_element *element, line_solution *solution, double px,
                   double py, double pz) {
  // The times array holds no_crossings + no_lines + 1 entries at least (the
  // scratch block or calc_lines sizes it so); every write is checked first.
  const int bound = element->no_crossings + element->no_lines + 1;
  const double inv_c = 1.0 / sys->c;
  const double pz_sq = sqr(pz);
  double *times = solution->times;
  int count = 0;
  for (int k = 0; k < element->no_crossings; k++) {
    const point3 &corner = element->crossings[k];
    times[count++] = std::sqrt(sqr(corner.x - px) + sqr(corner.y - py) + pz_sq) * inv_c;
  }
  for (int k = 0; k < element->no_lines; k++) {
    const bounding_line &line = element->lines[k];
    double fx = line.x1;
    double fy = py;
    if (!line.vertical) {
      fx = ((py - line.y1) * line.slope + px) / line.slope_factor;
      fy = line.y1 + line.slope * fx;
    }
    if (!inside(element, fx, fy)) continue;
    check_index(sys, count, 0, bound - 1, "arrival_times in loop");
    times[count++] = std::sqrt(sqr(fx - px) + sqr(fy - py) + pz_sq) * inv_c;
  }
  if (inside(element, px, py)) {
    check_index(sys, count, 0, bound - 1, "arrival_times last");
    times[count++] = std::fabs(pz) * inv_c;
  }
  sort(count, times);
  if (count > bound) print_formatted(sys, 256, "It actually was %d assumed %d \n", count, bound);
  solution->no_times = count;
  initialize_solution(element, solution, px, py, pz);
  solution->c = sys->c;
}

double int_sum(sys_con *sys, const line_element *element, line_solution *solution,
               int discontinuity, double t_a, double t_b) {
  auto f = [&](double t, int flag) { return sum_solution(element, solution, flag, t); };
  const double len = t_b - t_a;
  const double m = (t_a + t_b) / 2;
  if (sys->fast_integration) {
    const double fa = f(t_a, discontinuity);
    const double fm = f(m, discontinuity);
    const double fb = f(t_b, 0);
    return (fa + 2 * fm + fb) * len / 4;
  }
  // The integration runs in s, t = t_a + len s^2: where the circle reaches
  // a bounding line at its foot (an arrival time, so a piece's first time)
  // the two new crossings move as the square root of the time since, which
  // in s is smooth; the extrapolation and its error estimate then hold.
  auto g = [&](double u, int flag) { return 2 * len * u * f(t_a + len * u * u, flag); };
  if (len < 0.05 / sys->fs) {
    // A short piece is often a whole phase of a small element seen from
    // far away: a fixed Gauss-Legendre rule keeps its accuracy. The list of
    // crossings is rebuilt at the middle node first, away from the piece's
    // degenerate first circle.
    constexpr int kMiddle = kShortRulePoints / 2;
    if (discontinuity) g(kShortRuleNodes[kMiddle], discontinuity);
    double sum = 0.0;
    for (int k = 0; k < kShortRulePoints; k++)
      sum += kShortRuleWeights[k] * g(kShortRuleNodes[k], 0);
    return sum;
  }
  double ss = 0.0;
  double dss = 0.0;
  double step = len;
  for (int order = kLowestOrder; order <= kHighestOrder; order++) {
    double h[kRombergRefinements + 2];  // 1-based, index 16 written at j = 15
    double s[kRombergRefinements + 2];
    h[1] = 1.0;
    for (int j = 1; j <= kRombergRefinements; j++) {
      if (j == 1) {
        // After an arrival time the crossing list is rebuilt in the middle
        // of the piece, where the structure of the arcs is unambiguous, and
        // rebuilt there again after the end points: at the piece's first
        // arrival the circle may be degenerate (radius near 0 over an edge
        // or corner) and must not leave its list to the later refinements.
        // Each order's pass does this, since each starts from the end points.
        if (discontinuity) g(0.5, discontinuity);
        const double gb = g(1.0, 0);
        if (discontinuity) g(0.5, discontinuity);
        s[1] = gb / 2;
      } else {
        const int points = 1 << (j - 2);
        const double du = 1.0 / points;
        step = len * du;
        double sum = 0.0;
        for (int i = 0; i < points; i++) sum += g(du / 2 + i * du, 0);
        s[j] = (s[j] + sum / points) / 2;
      }
      if (j >= order) {
        polint(&h[j - order + 1], &s[j - order + 1], order, 0.0, &ss, &dss);
        if (kRombergAccuracy * std::fabs(ss) >= std::fabs(dss)) return ss;
      }
      s[j + 1] = s[j];
      h[j + 1] = h[j] / 4;
    }
  }
  report_no_convergence(sys, element, solution, discontinuity, t_a, t_b, step, ss, dss);
  return ss;
}

signal_rec *response_line_int(sys_con *sys, line_solution *solution, const line_element *element,
                              signal_rec *signal, double t_delay, double x, double y, double z) {
  point3 p;
  project_field_point(&p, element, x, y, z);
  if (sys->exact_integration) return exact_line_response(sys, element, signal, t_delay, p);
  arrival_times(sys, element, solution, p.x, p.y, p.z);
  const double fs = sys->fs;
  const double T = 1.0 / fs;
  const double t_first = solution->times[0];
  const double t_last = solution->times[solution->no_times - 1];
  // First sample time on the element's own axis, one sample or more before
  // the first arrival and on the grid of absolute samples.
  const double o =
      (std::floor((t_first - T + t_delay) * fs - 1) - std::floor(t_delay * fs - 1)) * T;
  const double count = std::floor((T + t_last - o) * fs) + 3;
  const double first = std::floor((t_delay + o) * fs + 0.5);
  if (!response_fits(sys, count, first))
    fail_response(sys, "line-element response", count, first, point3{x, y, z}, sys->c * t_first);
  const int n = static_cast<int>(count);
  const int start = static_cast<int>(first);
  if (n > signal->capacity) {
    extend_signal(sys, signal, n, start);
  } else {
    signal->no_samples = n;
    signal->start_sample = start;
  }
  double *value = signal->values;
  const int end = integrate_boundaries(sys, element, solution, value, n, o);
  // Cumulative integrals to means of h = (c / 2 pi) * Omega per sample.
  const double scale = fs * element->apodization * sys->c / kTwoPi;
  for (int k = 0; k < end; k++) value[k] = (value[k + 1] - value[k]) * scale;
  for (int k = end; k < n; k++) value[k] = 0.0;
  return signal;
}

signal_rec *calc_lines(sys_con *sys, calc_memory_block *block, aperture *ap, double x, double y,
                       double z) {
  if (ap->no_elements == 0) return nullptr;
  signal_rec *element_signal = alloc_signal(sys, kWorkingSamples, 0);
  signal_rec *result = alloc_signal(sys, kWorkingSamples, 0);
  find_delays_and_apodization(sys, ap, block->delays, block->apodizations, x, y, z);
  bool any = false;
  for (int i = 0; i < ap->no_elements; i++) {
    const physical_element &element = ap->elements[i];
    // An element without line elements has no response of its own.
    if (!element_selected(block, i) || element.no_line_elements == 0) continue;
    if (!element_response(sys, block, element, i, &element_signal, x, y, z)) continue;
    const double weight = block->no_delay ? 1.0 : block->apodizations[i];
    scale_element_signal(sys, ap, element_signal, weight, block->delays[i], z);
    if (element.has_excitation && block->apply_excitation) {
      signal_rec *spare = block->rect_signals[2];
      Convolute_fast(sys, element_signal, element.excitation, spare);
      block->rect_signals[2] = element_signal;
      element_signal = spare;
    }
    if (!any) {
      extend_signal(sys, result, element_signal->no_samples, element_signal->start_sample);
      std::copy(element_signal->values, element_signal->values + element_signal->no_samples,
                result->values);
    } else {
      add_responses(sys, element_signal, result);
    }
    any = true;
  }
  free_signal(sys, element_signal);
  if (!result->in_use)
    print_formatted(sys, 256, "Fault: returning non-allocated signal number %d n",
                    static_cast<int>(result->number));
  if (!any) {
    free_signal(sys, result);
    return nullptr;
  }
  return result;
}

}  // namespace sonvar

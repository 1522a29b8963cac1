// rect_timing.cpp - the records of the rectangles at a field point: unit
// vectors, the break times of each trapezoid and its sample window, one
// rectangle at a time or, for the far-field timings, four at once (a
// vector kernel), in batches of whole elements.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "base/points.h"
#include "base/simd.h"
#include "dispatch/scratch_block.h"
#include "field/rect_columns.h"
#include "field/rect_timing.h"

namespace sonvar {

namespace {

// Break times of one rectangle's trapezoid from its unit-vector record.
void rectangle_timing(sys_con *sys, const rect_element &rect, const rect_unit_vector &unit,
                      double delay, double x, double y, double z, rect_timing *timing) {
  if (sys->accurate_time_calc) {
    double t[4];
    for (int k = 0; k < 4; k++)
      t[k] = distance(rect.corners[k], x, y, z) / sys->c + delay + rect.delay;
    std::sort(t, t + 4);
    timing->t1 = t[0];
    timing->t2 = t[1];
    timing->t3 = t[2];
    timing->t4 = t[3];
    timing->short_duration = t[1] - t[0];
    timing->long_duration = t[2] - t[0];
    return;
  }
  double T0 = std::fabs(rect.width * unit.local_x / sys->c);
  double T1 = std::fabs(rect.height * unit.local_y / sys->c);
  if (T0 > T1) std::swap(T0, T1);
  timing->short_duration = T0;
  timing->long_duration = T1;
  timing->t1 = unit.t0 - (T0 + T1) / 2;
  timing->t2 = timing->t1 + T0;
  timing->t3 = timing->t1 + T1;
  timing->t4 = timing->t2 + T1;
}

// The sample window of a trapezoid whose break times are set.
void set_window(const sys_con *sys, double dt, rect_timing *timing) {
  const double T0 = timing->short_duration, T1 = timing->long_duration;
  timing->window_start = std::floor(timing->t1 * sys->fs) - 1;
  timing->window_samples = std::ceil((timing->t4 - timing->t1) * sys->fs + 3);
  timing->start_time = (timing->window_start + 0.5) * dt;
  timing->step = 0;
  if (timing->window_samples < 1e9)
    timing->step = exact_step(timing->start_time, dt, timing->window_samples);
  timing->lambda = T0 != 0 ? 1 / (2 * T0 * T1) : 0;  // T0 <= T1, as the kernel takes it
  timing->mu = T1 != 0 ? 1 / T1 : 0;
}

// The records k .. k + lanes - 1 of n (the last one repeated past n) and their
// rows, and whether the rows follow each other.
struct RowGroup {
  const int32_t *rows;
  int k, n;
  bool consecutive;
};

// The lanes of a group's rows of a column: one load where the rows follow
// each other.
template <typename Lanes, typename T>
SONVAR_LANE_HELPER Lanes lanes_of(const T *column, const RowGroup &g) {
  if (g.consecutive) return load<Lanes>(reinterpret_cast<const double *>(column + g.rows[g.k]));
  constexpr int kLanes = sizeof(Lanes) / sizeof(double);
  Lanes lanes;
  for (int q = 0; q < kLanes; q++) lanes[q] = column[g.rows[std::min(g.k + q, g.n - 1)]];
  return lanes;
}

// The unit-vector records, far-field trapezoid timings and sample windows
// of n rectangles (rows[k] of the columns t, of an element with focusing
// delay delays[k]), as many rectangles at a time as TimingLanes has lanes
// (the last group repeats the last rectangle where n is not a multiple of
// them); each value is formed as unit_vec_calc_mem (times the row's
// factor), rectangle_timing and set_window form it.
template <typename TimingLanes, typename TimingBits>
SONVAR_LANE_HELPER void timings_in_lanes(const rect_columns &t, const int32_t *rows,
                                         const double *delays, int n, double x, double y, double z,
                                         const sys_con *sys, const timing_columns &out) {
  constexpr int kTimingLanes = sizeof(TimingLanes) / sizeof(double);
  const TimingLanes zero = TimingLanes{} * 0, one = zero + 1;
  const double c = sys->c, fs = sys->fs, dt = 1 / sys->fs;
  for (int k = 0; k < n; k += kTimingLanes) {
    RowGroup g{rows, k, n, k + kTimingLanes <= n};
    for (int q = 1; g.consecutive && q < kTimingLanes; q++)
      g.consecutive = rows[k + q] == rows[k] + q;
    TimingLanes delay;
    if (k + kTimingLanes <= n) {
      delay = load<TimingLanes>(delays + k);
    } else {
      for (int q = 0; q < kTimingLanes; q++) delay[q] = delays[std::min(k + q, n - 1)];
    }
    const TimingLanes wx = x - lanes_of<TimingLanes>(t.cx, g);
    const TimingLanes wy = y - lanes_of<TimingLanes>(t.cy, g);
    const TimingLanes wz = z - lanes_of<TimingLanes>(t.cz, g);
    const TimingLanes R0 = sqrt(wx * wx + wy * wy + wz * wz);
    const TimingBits away = R0 > 0;  // a point exactly at a centre looks along the normal
    const TimingLanes R = select(away, R0, one);
    const TimingLanes ux = select(away, wx / R, zero);
    const TimingLanes uy = select(away, wy / R, zero);
    const TimingLanes uz = select(away, wz / R, one);
    const TimingLanes width = lanes_of<TimingLanes>(t.width, g);
    const TimingLanes height = lanes_of<TimingLanes>(t.height, g);
    const TimingLanes cos_xz = lanes_of<TimingLanes>(t.cos_xz, g);
    const TimingLanes sin_xz = lanes_of<TimingLanes>(t.sin_xz, g);
    const TimingLanes cos_yz = lanes_of<TimingLanes>(t.cos_yz, g);
    const TimingLanes sin_yz = lanes_of<TimingLanes>(t.sin_yz, g);
    const TimingBits doubly = lanes_of<TimingBits>(t.doubly, g);
    // Both tilts: the second rotation from the frame of the first, then
    // normalised; one tilt: the rotation alone.
    const TimingLanes a = cos_xz * ux + sin_xz * uz;
    TimingLanes local_x = a;
    TimingLanes local_y = cos_yz * uy + sin_yz * uz;
    // The square root and divisions only where a lane needs them (most
    // arrays tilt their rectangles about one axis only).
    std::int64_t any_doubly = 0;
    for (int q = 0; q < kTimingLanes; q++) any_doubly |= doubly[q];
    if (any_doubly != 0) {
      const TimingLanes b = cos_xz * uz - sin_xz * ux;
      const TimingLanes tilted_y = cos_yz * uy + sin_yz * b;
      const TimingLanes normal = cos_yz * b - sin_yz * uy;
      const TimingLanes root = sqrt(a * a + tilted_y * tilted_y + normal * normal);
      local_x = select(doubly, a / root, local_x);
      local_y = select(doubly, tilted_y / root, local_y);
    }
    const TimingLanes t0 = R0 / c + delay + lanes_of<TimingLanes>(t.delay, g);
    const TimingLanes weighted_area = lanes_of<TimingLanes>(t.apodization, g) * height * width *
                                      lanes_of<TimingLanes>(t.factor, g);
    const TimingLanes across = abs(width * local_x / c);
    const TimingLanes along = abs(height * local_y / c);
    const TimingLanes T0 = select(across > along, along, across);
    const TimingLanes T1 = select(across > along, across, along);
    const TimingLanes t1 = t0 - (T0 + T1) / 2;
    const TimingLanes t2 = t1 + T0;
    const TimingLanes t3 = t1 + T1;
    const TimingLanes t4 = t2 + T1;
    // The window and its exact step, as set_window forms them.
    const TimingLanes first = floor(t1 * fs) - 1;
    const TimingLanes count = ceil((t4 - t1) * fs + 3);
    const TimingLanes start = (first + 0.5) * dt;
    const TimingLanes step = select(count < 1e9, exact_step(start, dt, count), zero);
    // T0 <= T1, so T1 is not 0 where T0 is not (and a select of one mask
    // keeps it in a mask register, see exact_step).
    const TimingLanes lambda = select(T0 != 0, 1 / (2 * T0 * T1), zero);
    const TimingLanes mu = select(T1 != 0, 1 / T1, zero);
    // Whole vectors: the columns hold a multiple of eight entries.
    store(out.local_x + k, local_x);
    store(out.local_y + k, local_y);
    store(out.t0 + k, t0);
    store(out.weighted_area + k, weighted_area);
    store(out.short_duration + k, T0);
    store(out.long_duration + k, T1);
    store(out.t1 + k, t1);
    store(out.t2 + k, t2);
    store(out.t3 + k, t3);
    store(out.t4 + k, t4);
    store(out.window_start + k, first);
    store(out.window_samples + k, count);
    store(out.start_time + k, start);
    store(out.step + k, step);
    store(out.lambda + k, lambda);
    store(out.mu + k, mu);
  }
}

// The timings eight rectangles at a time where the processor has AVX-512,
// else four (eight lanes of AVX2 registers took twice the instructions);
// the same values either way.
SONVAR_WIDE_VECTOR_CLONES void far_field_timings(const rect_columns &t, const int32_t *rows,
                                                 const double *delays, int n, double x, double y,
                                                 double z, const sys_con *sys,
                                                 const timing_columns &out) {
  if (wide_lanes())
    timings_in_lanes<Lanes8, Bits8>(t, rows, delays, n, x, y, z, sys, out);
  else
    timings_in_lanes<Lanes4, Bits4>(t, rows, delays, n, x, y, z, sys, out);
}

// Record k of the columns from a unit-vector record and a timing record.
void set_record(const timing_columns &c, int k, const rect_unit_vector &u, const rect_timing &t) {
  c.local_x[k] = u.local_x;
  c.local_y[k] = u.local_y;
  c.t0[k] = u.t0;
  c.weighted_area[k] = u.weighted_area;
  c.short_duration[k] = t.short_duration;
  c.long_duration[k] = t.long_duration;
  c.t1[k] = t.t1;
  c.t2[k] = t.t2;
  c.t3[k] = t.t3;
  c.t4[k] = t.t4;
  c.window_start[k] = t.window_start;
  c.window_samples[k] = t.window_samples;
  c.start_time[k] = t.start_time;
  c.step[k] = t.step;
  c.lambda[k] = t.lambda;
  c.mu[k] = t.mu;
}

}  // namespace

const timing_columns *element_timings(sys_con *sys, calc_memory_block *block, const aperture *ap,
                                      const int32_t *list, int count, double x, double y,
                                      double z) {
  // In the plane y = 0 a rectangle stands for its mirror image too (the
  // far-field timing only; the accurate one keeps every rectangle).
  const aperture_columns *columns = block_columns(sys, block, ap);
  const bool mirrored = y == 0 && !sys->accurate_time_calc && columns->mirrored != nullptr;
  const rect_columns &t = mirrored ? *columns->mirrored : *columns->all;
  int m = 0;
  for (int k = 0; k < count; k++) {
    const int i = list[k];
    const double delay = block->no_delay ? 0.0 : block->delays[i];
    block->batch_offsets[i] = m;
    for (int r = t.first[i]; r < t.first[i + 1]; r++, m++) {
      block->batch_rows[m] = r;
      block->batch_delays[m] = delay;
    }
    block->batch_counts[i] = m - block->batch_offsets[i];
  }
  const timing_columns &out = *columns->timings;
  if (kVectorKernels && !sys->accurate_time_calc) {
    far_field_timings(t, block->batch_rows, block->batch_delays, m, x, y, z, sys, out);
    return &out;
  }
  for (int k = 0; k < m; k++) {
    const int r = block->batch_rows[k];
    rect_unit_vector unit;
    rect_timing timing;
    unit_vec_calc_mem(sys, &unit, 1, t.rect[r], block->batch_delays[k], x, y, z);
    unit.weighted_area *= t.factor[r];
    rectangle_timing(sys, *t.rect[r], unit, block->batch_delays[k], x, y, z, &timing);
    set_window(sys, 1 / sys->fs, &timing);
    set_record(out, k, unit, timing);
  }
  return &out;
}

// The end of the elements from list[k] on whose rectangles fit one batch
// (at least list[k] itself, which always fits).
int batch_end(const calc_memory_block *block, const aperture *ap, const int32_t *list, int k,
              int count) {
  int end = k, records = 0;
  while (end < count) {
    const int n = ap->elements[list[end]].no_rectangles;
    if (end > k && records + n > block->batch_capacity) break;
    records += n;
    end++;
  }
  return end;
}

rect_unit_vector *unit_vec_calc_mem(sys_con *sys, rect_unit_vector *out, int n,
                                    const rect_element *rectangles, double delay, double x,
                                    double y, double z) {
  for (int k = 0; k < n; k++) {
    const rect_element &rect = rectangles[k];
    const double wx = x - rect.center.x, wy = y - rect.center.y, wz = z - rect.center.z;
    const double R0 = std::sqrt(wx * wx + wy * wy + wz * wz);
    // A point exactly at the centre looks along the normal.
    double ux = 0, uy = 0, uz = 1;
    if (R0 > 0) {
      ux = wx / R0;
      uy = wy / R0;
      uz = wz / R0;
    }
    rect_unit_vector &unit = out[k];
    if (rect.doubly_tilted) {
      const double a = rect.cos_xz * ux + rect.sin_xz * uz;
      const double b = rect.cos_xz * uz - rect.sin_xz * ux;
      const double local_y = rect.cos_yz * uy + rect.sin_yz * b;
      const double normal = rect.cos_yz * b - rect.sin_yz * uy;
      const double root = std::sqrt(a * a + local_y * local_y + normal * normal);
      unit.local_x = a / root;
      unit.local_y = local_y / root;
    } else {
      // The rotation into the rectangle's frame for one tilt, as the doubly
      // tilted branch takes it: cos (u_x + u_z tan) keeps the direction
      // cosine a true cosine (ux + uz tan alone is 1/cos too large, which
      // narrows the directivity of every tilted element).
      unit.local_x = rect.cos_xz * ux + rect.sin_xz * uz;
      unit.local_y = rect.cos_yz * uy + rect.sin_yz * uz;
    }
    unit.t0 = R0 / sys->c + delay + rect.delay;
    unit.weighted_area = rect.apodization * rect.height * rect.width;
  }
  return out;
}

void rectangle_timings(sys_con *sys, const rect_element *rects, int n, double delay, double x,
                       double y, double z, rect_unit_vector *units, rect_timing *timings,
                       int by_four) {
  if (kVectorKernels && by_four && !sys->accurate_time_calc) {
    rect_columns *t = columns_of_rectangles(sys, rects, n);
    timing_columns *out = new_timing_columns(sys, n);
    std::vector<int32_t> rows(static_cast<std::size_t>(n));
    for (int k = 0; k < n; k++) rows[static_cast<std::size_t>(k)] = k;
    const std::vector<double> delays(static_cast<std::size_t>(n), delay);
    far_field_timings(*t, rows.data(), delays.data(), n, x, y, z, sys, *out);
    for (int k = 0; k < n; k++) {
      units[k] = unit_of(*out, k);
      timings[k] = timing_of(*out, k);
    }
    free_timing_columns(sys, out);
    free_rect_columns(sys, t);
    return;
  }
  unit_vec_calc_mem(sys, units, n, rects, delay, x, y, z);
  for (int k = 0; k < n; k++) {
    rectangle_timing(sys, rects[k], units[k], delay, x, y, z, &timings[k]);
    set_window(sys, 1 / sys->fs, &timings[k]);
  }
}

rect_unit_vector unit_of(const timing_columns &c, int k) {
  return {c.local_x[k], c.local_y[k], c.weighted_area[k], c.t0[k]};
}

double exact_time_step(double o0, double dt, int steps) {
  return exact_step(o0, dt, static_cast<double>(steps));
}

}  // namespace sonvar

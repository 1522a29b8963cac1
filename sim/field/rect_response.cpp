// rect_response.cpp - the spatial impulse response of rectangular elements.
//
// Each rectangle is taken in the far field of the point: its response is a
// trapezoid (the convolution of two rectangular pulses whose durations are
// the travel-time differences across its width and height), of area equal
// to the rectangle's weighted area, spread by 1/(2 pi R). The trapezoid
// differences and the spreading run four samples at once where the sample
// times are exact multiples of one step (vector kernels).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/constants.h"
#include "base/points.h"
#include "base/simd.h"
#include "dispatch/scratch_block.h"
#include "field/band_limited.h"
#include "field/focusing.h"
#include "field/rect_response.h"
#include "field/rect_timing.h"
#include "general/checks.h"
#include "signals/summation.h"

namespace sonvar {

namespace {

// att * R in dB as a factor exp(-att * kAttPerW * W) with W = 2 pi R:
// ln(10)/20 / (2 pi) (the quotient of the two constants rounds to the value
// the spreading has always used).
constexpr double kAttPerW = kNepersPerDb / kTwoPi;

// The physical elements to compute at this point, nearest first and
// farthest second so that the sum rarely grows more than once. Returns the
// count written into block->element_order.
int select_rectangle_elements(sys_con *sys, calc_memory_block *block, const aperture *ap, double x,
                              double y, double z) {
  int32_t *order = block->element_order;
  if (block->single_element) {
    order[0] = block->element_index;
    return ap->elements[block->element_index].no_rectangles > 0 ? 1 : 0;
  }
  int count = 0, min_pos = 0, max_pos = 0;
  double min_path = 0, max_path = 0;
  for (int i = 0; i < ap->no_elements; i++) {
    if (block->apodizations[i] == 0.0 || ap->elements[i].no_rectangles == 0) continue;
    const double path = distance(ap->elements[i].center, x, y, z) + block->delays[i] * sys->c;
    if (count == 0) {
      min_path = max_path = path;
    } else if (path < min_path) {  // ties keep the first
      min_path = path;
      min_pos = count;
    } else if (path > max_path) {
      max_path = path;
      max_pos = count;
    }
    order[count++] = i;
  }
  if (count > 1) {
    std::swap(order[0], order[min_pos]);
    std::swap(order[1], order[max_pos]);
  }
  return count;
}

// Takes the element signal of N samples from `start`: for the first element
// of the list a signal the block keeps, else a new pool signal; W1 for the
// others. All values zero.
signal_rec *element_signal(sys_con *sys, calc_memory_block *block, bool first, int N, int start) {
  signal_rec *signal = nullptr;
  if (first) {
    signal = take_kept_response(sys, block, N, start);
    if (signal == nullptr) signal = alloc_signal(sys, N, start);
  } else {
    signal = block->rect_signals[1];
    if (signal->capacity < N) {
      extend_signal(sys, signal, N, start);
    } else {
      signal->start_sample = start;
      signal->no_samples = N;
    }
  }
  std::fill(signal->values, signal->values + N, 0.0);
  return signal;
}

// Adds one rectangle's interval averages into the element signal: the
// differences of the trapezoid's cumulative area function, taken at the
// sample times (start + j + 0.5) dt of the rectangle's own window, times
// weighted area and fs. The cumulative area is 0 before t1 and 1 after t4,
// so only the samples from t1 to the first one past t4 carry a difference
// and only those are visited. The sample times are one running sum, and
// each difference is formed and added exactly as from a stored cumulative
// area, so the element signal does not depend on this being one pass.
// Window samples that fall outside the element signal carry no difference.
template <bool kClipped>
void add_trapezoid_samples(double *target, int offset, int j_first, int j_end, int s, int n,
                           double dt, const rect_timing &timing, double scale) {
  const double t1 = timing.t1, t2 = timing.t2, t3 = timing.t3, t4 = timing.t4;
  const double T0 = timing.short_duration, T1 = timing.long_duration;
  double lambda = 0, mu = 0;
  if (T1 != 0) {
    mu = 1 / T1;
    if (T0 != 0) lambda = 1 / (2 * T0 * T1);
  }
  double previous = 0;  // the cumulative area of the sample before
  const auto emit = [&](int j, double value) {
    if (!kClipped || (j >= j_first && j < j_end)) target[j + offset] += (value - previous) * scale;
    previous = value;
  };
  double o = (s + 0.5) * dt;
  int j = 0;
  for (; j < n && o < t1; j++, o += dt) {
  }
  // The first sample of the window counts as before the trapezoid, wherever
  // its time falls.
  if (j == 0 && n > 0) j++, o += dt;
  for (; j < n && o < t2; j++, o += dt) emit(j, (o - t1) * (o - t1) * lambda);
  for (; j < n && o < t3; j++, o += dt) emit(j, (T0 / 2 + o - t2) * mu);
  for (; j < n && o < t4; j++, o += dt) emit(j, 1 - (o - t4) * (o - t4) * lambda);
  if (j < n) emit(j, 1.0);
}

// Eight lanes kept, then eight not: from entry 8 - r, the first r lanes.
constexpr std::int64_t kKeepLanes[16] = {-1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};

// Adds the differences of the cumulative area between consecutive samples,
// times scale, into target[1..n-1] for a window whose times are exact
// multiples o0 + j d (see exact_step): four samples at once. Each area
// value is the piece add_trapezoid_samples would take, computed the same
// way, and each difference is formed from the stored values as it would be
// there. The value before a group of four is taken from the previous group
// in registers: reading it back from memory, straddling two stores, stalls
// every group on the store forwarding. Sample 0 counts as before the
// trapezoid (area 0); it and the lanes past n add nothing. V is Lanes8
// where the processor has AVX-512, else Lanes4 (the same values). Where
// target holds `room` values and the last group fits, that group is added
// as a whole vector too, the lanes that add nothing adding -0, which
// leaves every value as it is; lane by lane, through the stack, the last
// group's loads straddled the vector's store and stalled on the store
// forwarding as well.
template <typename V>
SONVAR_LANE_HELPER void add_trapezoid_differences(double *target, int n, int room, double o0,
                                                  double d, const rect_timing &timing,
                                                  double scale) {
  constexpr int kLanes = sizeof(V) / sizeof(double);
  const double t1 = timing.t1, t2 = timing.t2, t3 = timing.t3, t4 = timing.t4;
  const double lambda = timing.lambda, mu = timing.mu;
  const double half = timing.short_duration / 2;
  const V zero = V{} * 0, one = zero + 1, minus_zero = -zero;
  V j = zero;
  for (int q = 0; q < kLanes; q++) j[q] = q;
  V previous = zero;
  for (int k = 0; k < n; k += kLanes, j += kLanes) {
    const V o = o0 + j * d;
    const V rise = (o - t1) * (o - t1) * lambda;
    const V flat = (half + o - t2) * mu;
    const V fall = 1 - (o - t4) * (o - t4) * lambda;
    V value =
        select(o < t1, zero, select(o < t2, rise, select(o < t3, flat, select(o < t4, fall, one))));
    if (k == 0) value[0] = 0;
    V before;
    if constexpr (kLanes == 8)
      before = __builtin_shufflevector(previous, value, 7, 8, 9, 10, 11, 12, 13, 14);
    else
      before = __builtin_shufflevector(previous, value, 3, 4, 5, 6);
    V step = (value - before) * scale;
    previous = value;
    if (k + kLanes <= n) {
      // Lane 0 of the first group adds (0 - 0) scale, which leaves any sum
      // (never -0 here) as it is.
      store(target + k, load<V>(target + k) + step);
    } else if (k + kLanes <= room) {
      // The lanes below n - k keep their step (but lane 0 of a first
      // group), the others become -0: bit masks from a table (comparisons
      // of the lane numbers made the compiler take the lanes one by one).
      decltype(bits_of(step)) keep;
      std::memcpy(&keep, kKeepLanes + 8 - (n - k), sizeof keep);
      if (k == 0) keep[0] = 0;
      step = lanes_of_bits((bits_of(step) & keep) | (bits_of(minus_zero) & ~keep));
      store(target + k, load<V>(target + k) + step);
    } else {
      for (int q = k == 0 ? 1 : 0; k + q < n; q++) target[k + q] += step[q];
    }
  }
}

// Adds one rectangle's trapezoid into the element signal (values[0..N),
// the first at absolute sample `start`, `capacity` values readable): four
// or eight samples at once where the window lies inside and its times have
// an exact step, else the running sum of add_trapezoid_samples.
SONVAR_LANE_HELPER void add_rectangle(double *values, int start, int N, int capacity, double fs,
                                      double dt, const rect_timing &timing, double weighted_area,
                                      bool wide) {
  const int s = static_cast<int>(timing.window_start);
  const int n = static_cast<int>(timing.window_samples);
  const int offset = s - start;
  const int j_first = std::max(0, -offset);
  const int j_end = std::min(n, N - offset);
  const double scale = weighted_area * fs;
  if (j_first == 0 && j_end == n) {
    if (kVectorKernels && timing.step > 0) {
      if (wide)
        add_trapezoid_differences<Lanes8>(values + offset, n, capacity - offset, timing.start_time,
                                          timing.step, timing, scale);
      else
        add_trapezoid_differences<Lanes4>(values + offset, n, capacity - offset, timing.start_time,
                                          timing.step, timing, scale);
      return;
    }
    add_trapezoid_samples<false>(values, offset, 0, n, s, n, dt, timing, scale);
  } else {
    add_trapezoid_samples<true>(values, offset, j_first, j_end, s, n, dt, timing, scale);
  }
}

// The trapezoids of records [o, o + n) added into the element signal, one
// rectangle after the other (one kernel for the element, so that the
// rectangles need no call each); band-limited samples with the option.
SONVAR_WIDE_VECTOR_CLONES void add_element_trapezoids(double *values, int start, int N,
                                                      int capacity, const timing_columns &records,
                                                      int o, int n, double fs, bool band_limited) {
  if (band_limited) {
    for (int k = o; k < o + n; k++)
      add_band_limited_trapezoid(values, start, N, fs, timing_of(records, k),
                                 records.weighted_area[k] * fs);
    return;
  }
  const double dt = 1 / fs;
  const bool wide = wide_lanes();
  for (int k = o; k < o + n; k++)
    add_rectangle(values, start, N, capacity, fs, dt, timing_of(records, k),
                  records.weighted_area[k], wide);
}

// Samples between two exactly computed attenuation factors of the
// spreading; between them the factor falls by a constant ratio per sample.
constexpr int kAnchorSamples = 32;

// exp(-att kAttPerW w) for the samples of one element signal, where w grows
// by the same step from sample to sample: exact at every kAnchorSamples-th
// sample and wherever w is clamped, one multiplication in between (relative
// error a few rounding steps, ~1e-14).
class SpreadAttenuation {
 public:
  SpreadAttenuation(const sys_con *sys, double w_step)
      : rate_(sys->att * kAttPerW), ratio_(std::exp(-rate_ * w_step)) {}
  double at(int k, double w, bool clamped) {
    if (k % kAnchorSamples == 0 || clamped || !running_) {
      value_ = std::exp(-rate_ * w);
      running_ = !clamped;
    } else {
      value_ *= ratio_;
    }
    return value_;
  }

 private:
  double rate_;
  double ratio_;
  double value_ = 0.0;
  bool running_ = false;
};

// 1/(2 pi R) spreading, apodization, frequency-independent attenuation and
// the soft-baffle obliquity factor, sample by sample with the distance of
// each sample's time. W is kept at one sample of travel or more, so that a
// point within a few samples of the face neither flips sign nor blows up.
// The spread values replace the signal's (out = the signal's values) or are
// added into a sum (out = the sum at the signal's first sample), the same
// values either way.
// The spreading alone, four samples at once, for W0 + k step exact (see
// exact_step); each value as spread_and_weight forms it.
SONVAR_VECTOR_CLONES void spread_only(const double *values, double *out, bool add, int n, double W0,
                                      double step, double w_min, double weight) {
  const Lanes4 floor_w = {w_min, w_min, w_min, w_min};
  Lanes4 k = {0, 1, 2, 3};
  int j = 0;
  for (; j + 4 <= n; j += 4, k += 4) {
    const Lanes4 W = W0 + k * step;
    const Lanes4 w = select(W < w_min, floor_w, W);
    const Lanes4 h = weight * load<Lanes4>(values + j) / w;
    store(out + j, add ? load<Lanes4>(out + j) + h : h);
  }
  for (; j < n; j++) {
    const double W = W0 + j * step;
    const double w = W < w_min ? w_min : W;
    const double h = weight * values[j] / w;
    out[j] = add ? out[j] + h : h;
  }
}

void spread_and_weight(sys_con *sys, const aperture *ap, signal_rec *signal, double *out, bool add,
                       double delay, double weight, double z) {
  const double omega = kTwoPi * sys->c;
  const double dt = 1 / sys->fs;
  const double w_min = omega / sys->fs;
  const double w_step = dt * omega;
  double W = (signal->start_sample / sys->fs - delay) * omega;
  if (kVectorKernels && !sys->use_att && !ap->soft_baffle) {
    const double step = exact_step(W, w_step, static_cast<double>(signal->no_samples));
    if (step > 0) {
      spread_only(signal->values, out, add, signal->no_samples, W, step, w_min, weight);
      return;
    }
  }
  SpreadAttenuation attenuation(sys, w_step);
  for (int k = 0; k < signal->no_samples; k++) {
    const bool clamped = W < w_min;
    const double w = clamped ? w_min : W;
    double h = weight * signal->values[k] / w;
    if (sys->use_att) h *= attenuation.at(k, w, clamped);
    if (ap->soft_baffle) h *= z * kTwoPi / w;
    out[k] = add ? out[k] + h : h;
    W += w_step;
  }
}

// The sample windows of the responses of elements list[0..count) from
// their rectangles' records (as element_timings leaves them), into
// block->batch_windows: each one's samples and first sample, both still as
// numbers (response_fits checks them; a NaN time makes the count NaN).
// Found for a whole batch before its elements' responses: the divisions
// of one element wait on one another, those of different elements do not
// (and the clones round with one instruction).
SONVAR_WIDE_VECTOR_CLONES void element_windows(const sys_con *sys, calc_memory_block *block,
                                               const int32_t *list, int count,
                                               const timing_columns &records) {
  const double dt = 1 / sys->fs;
  // Band-limited samples reach kBandLimitedReach samples past the
  // trapezoids on either side.
  const int margin = sys->band_limited ? kBandLimitedReach + 1 : 0;
  for (int e = 0; e < count; e++) {
    const int i = list[e];
    const int n = block->batch_counts[i];
    const int o = block->batch_offsets[i];
    double t_min = 0, t_max = 0;
    bool defined = true;  // a NaN time escapes the min and max below
    for (int k = o; k < o + n; k++) {
      const double t1 = records.t1[k], t4 = records.t4[k];
      defined = defined && std::isfinite(t1) && std::isfinite(t4);
      if (k == o || t1 < t_min) t_min = t1;
      if (k == o || t4 > t_max) t_max = t4;
    }
    const double t_lo = std::floor(t_min / dt) * dt;
    const double t_hi = std::ceil(t_max / dt) * dt;
    // Every sample count and start below (and in area) lies within these.
    double *window = block->batch_windows + 2 * i;
    window[0] = defined ? std::ceil((t_hi - t_lo) * sys->fs + 4) + 2 * margin : NAN;
    window[1] = std::floor(t_lo / dt) - 1 - margin;
  }
}

// The element signal of element i from its rectangles' records (as
// element_timings leaves them, its window found): the sum of their
// trapezoids, spread. With a sum given, the spread signal is added into it
// (grown to cover it) and NULL returned; else the signal is returned.
signal_rec *rectangle_element_response(sys_con *sys, calc_memory_block *block, const aperture *ap,
                                       int i, bool first, double x, double y, double z,
                                       const timing_columns &records, signal_rec *sum) {
  const physical_element &element = ap->elements[i];
  const int n = block->batch_counts[i];
  const int o = block->batch_offsets[i];
  const double span = block->batch_windows[2 * i];
  const double first_sample = block->batch_windows[2 * i + 1];
  if (!response_fits(sys, span, first_sample)) {
    char what[96];
    snprintf(what, sizeof what, "rectangle response of physical element %d", i + 1);
    fail_response(sys, what, span, first_sample, point3{x, y, z},
                  distance(element.center, x, y, z));
  }
  const int N = static_cast<int>(span);
  signal_rec *signal = element_signal(sys, block, first, N, static_cast<int>(first_sample));
  add_element_trapezoids(signal->values, signal->start_sample, signal->no_samples, signal->capacity,
                         records, o, n, sys->fs, sys->band_limited != 0);
  const double weight = block->no_delay ? 1.0 : block->apodizations[i];
  if (sum != nullptr) {
    cover_samples(sys, sum, signal->start_sample, signal->no_samples);
    double *target = sum->values + (signal->start_sample - sum->start_sample);
    spread_and_weight(sys, ap, signal, target, true, block->delays[i], weight, z);
    return nullptr;
  }
  spread_and_weight(sys, ap, signal, signal->values, false, block->delays[i], weight, z);
  return signal;
}

// Convolves the element signal with the element's own excitation into W2
// and exchanges the working signals so that the block keeps three of its
// own. Returns the convolved signal.
signal_rec *apply_element_excitation(sys_con *sys, calc_memory_block *block,
                                     const physical_element &element, signal_rec *signal,
                                     bool first) {
  signal_rec *result = Convolute_fast(sys, signal, element.excitation, block->rect_signals[2]);
  if (first) {
    block->rect_signals[2] = signal;  // the new signal takes W2's place
  } else {
    block->rect_signals[2] = block->rect_signals[1];
    block->rect_signals[1] = result;
  }
  return result;
}

// The response of element i (excited by its own excitation where it has one
// and the block applies them) from the records of its batch. Without an
// excitation of its own it is spread straight into sum where one is given
// (then NULL is returned). Inlined into each walk (rectangle_element_response
// stays a call of its own: inlined here it costs more instructions).
__attribute__((always_inline)) inline signal_rec *excited_element_response(
    sys_con *sys, calc_memory_block *block, aperture *ap, int i, bool first, double x, double y,
    double z, const timing_columns &records, signal_rec *sum) {
  const physical_element &element = ap->elements[i];
  const bool excited = element.has_excitation && block->apply_excitation;
  signal_rec *signal = rectangle_element_response(sys, block, ap, i, first, x, y, z, records,
                                                  excited ? nullptr : sum);
  if (excited) signal = apply_element_excitation(sys, block, element, signal, first);
  return signal;
}

// Walks elements list[0..count) (each with rectangles) in batches of
// timings: visit(k, list[k], records) for each, records those of its batch.
template <typename Visit>
void walk_rectangle_batches(sys_con *sys, calc_memory_block *block, aperture *ap,
                            const int32_t *list, int count, double x, double y, double z,
                            Visit visit) {
  for (int k0 = 0; k0 < count;) {
    const int end = batch_end(block, ap, list, k0, count);
    const timing_columns &records = *element_timings(sys, block, ap, list + k0, end - k0, x, y, z);
    element_windows(sys, block, list + k0, end - k0, records);
    for (int k = k0; k < end; k++) visit(k, list[k], records);
    k0 = end;
  }
}

}  // namespace

signal_rec *calc_rectangles_mem(sys_con *sys, calc_memory_block *block, aperture *ap, double x,
                                double y, double z) {
  // One element alone reads its delay whatever its weight (and the delays
  // may be kept for the next elements); a sum reads only the weighted ones.
  if (!block->delays_current) {
    if (block->single_element)
      find_delays_and_apodization(sys, ap, block->delays, block->apodizations, x, y, z);
    else
      find_weighted_delays_and_apodization(sys, ap, block->delays, block->apodizations, x, y, z);
  }
  const int count = select_rectangle_elements(sys, block, ap, x, y, z);
  signal_rec *sum = nullptr;
  walk_rectangle_batches(sys, block, ap, block->element_order, count, x, y, z,
                         [&](int k, int i, const timing_columns &records) {
                           const bool first = k == 0;
                           signal_rec *signal = excited_element_response(
                               sys, block, ap, i, first, x, y, z, records, first ? nullptr : sum);
                           if (first)
                             sum = signal;
                           else if (signal != nullptr)
                             add_responses(sys, signal, sum);
                         });
  return sum;
}

namespace {

// The responses of elements list[0..count) (each with rectangles) in
// batches of timings, each in the block's working signal, handed to take.
void take_rectangle_elements(sys_con *sys, calc_memory_block *block, aperture *ap,
                             const int32_t *list, int count, int in_sum, double x, double y,
                             double z, ElementTaker take, void *context) {
  walk_rectangle_batches(
      sys, block, ap, list, count, x, y, z, [&](int k, int i, const timing_columns &records) {
        take(context, i,
             excited_element_response(sys, block, ap, i, false, x, y, z, records, nullptr),
             k < in_sum);
      });
}

}  // namespace

void each_rectangle_element(sys_con *sys, calc_memory_block *block, aperture *ap, double x,
                            double y, double z, ElementTaker take, void *context) {
  find_delays_and_apodization(sys, ap, block->delays, block->apodizations, x, y, z);
  block->single_element = 0;
  const int count = select_rectangle_elements(sys, block, ap, x, y, z);
  // The elements of the sum in its order, then the other elements with
  // rectangles (a weight of 0) in index order.
  int32_t *list = block->batch_list;
  std::copy(block->element_order, block->element_order + count, list);
  int listed = count;
  for (int i = 0; i < ap->no_elements; i++)
    if (ap->elements[i].no_rectangles > 0 && block->apodizations[i] == 0.0) list[listed++] = i;
  take_rectangle_elements(sys, block, ap, list, listed, count, x, y, z, take, context);
}

void each_rectangle_element_of(sys_con *sys, calc_memory_block *block, aperture *ap, int first,
                               int end, double x, double y, double z, ElementTaker take,
                               void *context) {
  int32_t *list = block->batch_list;
  int listed = 0;
  for (int i = first; i < end; i++)
    if (ap->elements[i].no_rectangles > 0) list[listed++] = i;
  take_rectangle_elements(sys, block, ap, list, listed, 0, x, y, z, take, context);
}

signal_rec *rectangle_elements_and_sum(sys_con *sys, calc_memory_block *block, aperture *ap,
                                       double x, double y, double z, signal_rec **elements) {
  find_delays_and_apodization(sys, ap, block->delays, block->apodizations, x, y, z);
  block->single_element = 0;
  const int count = select_rectangle_elements(sys, block, ap, x, y, z);
  int32_t *list = block->batch_list;
  int listed = 0;
  for (int i = 0; i < ap->no_elements; i++) {
    elements[i] = nullptr;
    if (ap->elements[i].no_rectangles > 0) list[listed++] = i;
  }
  // Each element as the single-element response makes it: a signal of its
  // own, weighted and excited as in the sum.
  walk_rectangle_batches(
      sys, block, ap, list, listed, x, y, z, [&](int, int i, const timing_columns &records) {
        elements[i] = excited_element_response(sys, block, ap, i, true, x, y, z, records, nullptr);
      });
  // The sum in the order calc_rectangles_mem adds it, so the same values.
  signal_rec *sum = nullptr;
  for (int k = 0; k < count; k++) sum = add_responses(sys, elements[block->element_order[k]], sum);
  return sum;
}

}  // namespace sonvar

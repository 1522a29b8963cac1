// map_reductions.cpp - the reductions a field map keeps of each point's
// signal.
//
// A signal with start sample s and values v[0..n-1] stands for v[j] at time
// (s + j) / fs; samples outside it are zeros. Sums run in four partial sums
// (the lanes of one vector) added at the end: the same values to rounding
// as a sum in sample order, and the same for every thread count.
#include <algorithm>
#include <cmath>

#include "base/constants.h"
#include "base/simd.h"
#include "field/map_reductions.h"
#include "general/memory.h"

namespace sonvar {

namespace {

SONVAR_LANE_HELPER double lane_sum(Lanes4 v) {
  return (v[0] + v[1]) + (v[2] + v[3]);
}

// Sum of the squares of v[0..n).
SONVAR_VECTOR_CLONES double sum_of_squares(const double *v, std::int64_t n) {
  Lanes4 sum = {0, 0, 0, 0};
  std::int64_t j = 0;
  for (; j + 4 <= n; j += 4) {
    const Lanes4 x = load<Lanes4>(v + j);
    sum += x * x;
  }
  double tail = 0;
  for (; j < n; j++) tail += v[j] * v[j];
  return lane_sum(sum) + tail;
}

// Largest |v[j]| and the sum of the squares of v[0..n) in one pass.
struct Scan {
  double peak = 0, squares = 0;
};
SONVAR_VECTOR_CLONES Scan scan_signal(const double *v, std::int64_t n) {
  Lanes4 top = {0, 0, 0, 0}, sum = {0, 0, 0, 0};
  std::int64_t j = 0;
  for (; j + 4 <= n; j += 4) {
    const Lanes4 x = load<Lanes4>(v + j);
    const Lanes4 a = abs(x);
    top = select(a > top, a, top);
    sum += x * x;
  }
  Scan scan;
  scan.peak = std::max(std::max(top[0], top[1]), std::max(top[2], top[3]));
  double tail = 0;
  for (; j < n; j++) {
    scan.peak = std::max(scan.peak, std::fabs(v[j]));
    tail += v[j] * v[j];
  }
  scan.squares = lane_sum(sum) + tail;
  return scan;
}

// The first j with |v[j]| = peak (-1 when the peak is 0: no sample differs
// from zero).
std::int64_t first_reaching(const double *v, double peak) {
  if (!(peak > 0)) return -1;
  std::int64_t j = 0;
  while (std::fabs(v[j]) != peak) j++;
  return j;
}

// The fraction of r * j0 cycles, with the rounding error of the product
// taken back (j0 up to 2^31 keeps the phase to a few 1e-16 cycles).
double cycle_fraction(double r, double j0) {
  const double p = r * j0;
  const double error = std::fma(r, j0, -p);
  const double fraction = (p - std::floor(p)) + error;
  return fraction - std::floor(fraction);
}

// |sum_j v[j] exp(-2 pi i r j)| for the frequency q of the plan, block by
// block: within a block from the tables, the block's own phase from one
// cosine and sine (the start sample changes only the phase of the sum).
SONVAR_VECTOR_CLONES double spectrum_magnitude(const MapPlan &plan, int q, const double *v,
                                               std::int64_t n) {
  const double r = plan.cycles_per_sample[q];
  const double *cos_k = plan.block_cos.data() + static_cast<std::size_t>(q) * kSpectrumBlock;
  const double *sin_k = plan.block_sin.data() + static_cast<std::size_t>(q) * kSpectrumBlock;
  double re = 0, im = 0;
  for (std::int64_t j0 = 0; j0 < n; j0 += kSpectrumBlock) {
    const int m = static_cast<int>(std::min<std::int64_t>(kSpectrumBlock, n - j0));
    Lanes4 c = {0, 0, 0, 0}, s = {0, 0, 0, 0};
    int k = 0;
    for (; k + 4 <= m; k += 4) {
      const Lanes4 x = load<Lanes4>(v + j0 + k);
      c += x * load<Lanes4>(cos_k + k);
      s += x * load<Lanes4>(sin_k + k);
    }
    double C = lane_sum(c), S = lane_sum(s);
    for (; k < m; k++) {
      C += v[j0 + k] * cos_k[k];
      S += v[j0 + k] * sin_k[k];
    }
    const double phase = kTwoPi * cycle_fraction(r, static_cast<double>(j0));
    const double ca = std::cos(phase), sa = std::sin(phase);
    // exp(-i (a + b)) summed with weights: cos a C - sin a S, -(sin a C + cos a S).
    re += ca * C - sa * S;
    im -= sa * C + ca * S;
  }
  return std::sqrt(re * re + im * im);
}

}  // namespace

MapPlan make_map_plan(const sys_con *sys, const field_map_request &request) {
  return allocating(const_cast<sys_con *>(sys), "the tables of the field map's spectrum", [&] {
    MapPlan plan;
    plan.quantity = request.quantity;
    plan.flags = request.reductions;
    plan.fixed_window = (plan.flags & SONVAR_MAP_RMS) && request.rms_window == SONVAR_RMS_FIXED;
    plan.window_first = request.window_first;
    plan.window_end = request.window_first + request.window_samples;
    if (plan.flags & SONVAR_MAP_SPECTRUM) {
      plan.frequencies = request.no_frequencies;
      const std::size_t size = static_cast<std::size_t>(plan.frequencies) * kSpectrumBlock;
      plan.block_cos.resize(size);
      plan.block_sin.resize(size);
      for (int q = 0; q < plan.frequencies; q++) {
        const double r = request.frequencies[q] / sys->fs;
        plan.cycles_per_sample.push_back(r);
        for (int k = 0; k < kSpectrumBlock; k++) {
          const double phase = kTwoPi * cycle_fraction(r, k);
          plan.block_cos[static_cast<std::size_t>(q) * kSpectrumBlock + k] = std::cos(phase);
          plan.block_sin[static_cast<std::size_t>(q) * kSpectrumBlock + k] = std::sin(phase);
        }
      }
    }
    return plan;
  });
}

void SignalExtent::merge(const SignalExtent &other) {
  first = std::min(first, other.first);
  end = std::max(end, other.end);
}

void reduce_point_signal(const sys_con *sys, const MapPlan &plan, const signal_rec *signal,
                         std::int64_t i, const field_map_result &out, SignalExtent *extent) {
  const bool present = signal != nullptr && signal->no_samples > 0;
  const double *v = present ? signal->values : nullptr;
  const std::int64_t n = present ? signal->no_samples : 0;
  const std::int64_t s = present ? signal->start_sample : 0;
  if (present) {
    extent->first = std::min(extent->first, s);
    extent->end = std::max(extent->end, s + n);
  }
  const Scan scan = scan_signal(v, n);
  if (plan.flags & SONVAR_MAP_PEAK) {
    const std::int64_t j = first_reaching(v, scan.peak);
    out.peak[i] = scan.peak;
    out.peak_time[i] = j >= 0 ? static_cast<double>(s + j) / sys->fs : NAN;
  }
  if (plan.flags & SONVAR_MAP_ENERGY) out.energy[i] = scan.squares / sys->fs;
  if ((plan.flags & SONVAR_MAP_RMS) && !plan.fixed_window) out.rms[i] = scan.squares;
  if (plan.fixed_window) {
    const std::int64_t lo = std::max(s, plan.window_first);
    const std::int64_t hi = std::min(s + n, plan.window_end);
    const double inside = hi > lo ? sum_of_squares(v + (lo - s), hi - lo) : 0.0;
    out.rms[i] = std::sqrt(inside / static_cast<double>(plan.window_end - plan.window_first));
  }
  if (plan.flags & SONVAR_MAP_SPECTRUM) {
    double *row = out.spectrum + i * plan.frequencies;
    for (int q = 0; q < plan.frequencies; q++)
      row[q] = present ? spectrum_magnitude(plan, q, v, n) / sys->fs : 0.0;
  }
  if (plan.flags & SONVAR_MAP_SPAN) {
    out.first_sample[i] = s;
    out.no_samples[i] = n;
  }
}

void finish_common_rms(const SignalExtent &extent, std::int64_t n, const field_map_result &out) {
  const double rows =
      extent.end > extent.first ? static_cast<double>(extent.end - extent.first) : 0;
  for (std::int64_t i = 0; i < n; i++) out.rms[i] = rows > 0 ? std::sqrt(out.rms[i] / rows) : 0.0;
}

}  // namespace sonvar

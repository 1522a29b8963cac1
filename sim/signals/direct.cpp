// direct.cpp - direct convolution of sampled signals: whole, into a given
// signal, decimated, and the padded direct sum added into a response.
//
// A signal with start sample s and values v[0..n-1] stands for v[j] at time
// (s + j) / fs. Every combination aligns its operands on that absolute sample
// index, so a convolution starts at the sum of its inputs' start samples.
// An absent (NULL) signal counts as zero.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/simd.h"
#include "general/failure.h"
#include "signals/direct.h"
#include "signals/summation.h"
#include "state/host.h"

namespace sonvar {

namespace {

// y[m] = sum a[k] b[m-k] over the k where both exist, summed in rising k:
// the first operand runs upwards and the second downwards.
double direct_sample(const signal_rec *a, const signal_rec *b, int m) {
  const int k_low = std::max(0, m - b->no_samples + 1);
  const int k_high = std::min(m, a->no_samples - 1);
  const double *x = a->values;
  const double *h = b->values;
  double sum = 0.0;
  for (int k = k_low; k <= k_high; k++) sum += x[k] * h[m - k];
  return sum;
}

// The whole direct convolution, samples 0 .. na+nb-2, into y.
void direct_sum(const signal_rec *a, const signal_rec *b, double *y) {
  const int length = a->no_samples + b->no_samples - 1;
  for (int m = 0; m < length; m++) y[m] = direct_sample(a, b, m);
}

}  // namespace

// Ends the program when a decimation factor cannot be used (0 would divide
// by zero, a negative one would run the sample index backwards).
void check_decimation(sys_con *sys, int D, const char *where) {
  if (D < 1) fail(sys, "%s: decimation factor %d is below 1", where, D);
}

// The present operand of a pair with one absent signal.
const signal_rec *present_one(const signal_rec *a, const signal_rec *b) {
  return a != nullptr ? a : b;
}

// The result of a convolution with an absent operand: zeros shaped like the
// other operand, or an absent result when both are absent.
signal_rec *zeros_like_present(sys_con *sys, const signal_rec *a, const signal_rec *b) {
  const signal_rec *other = present_one(a, b);
  if (other == nullptr) return nullptr;
  return alloc_signal(sys, other->no_samples, other->start_sample);
}

SONVAR_CALL signal_rec *Convolute(sys_con *sys, signal_rec *a, signal_rec *b) try {
  SONVAR_ENTER(sys);
  if (a == nullptr || b == nullptr) return zeros_like_present(sys, a, b);
  signal_rec *y =
      alloc_signal(sys, a->no_samples + b->no_samples - 1, a->start_sample + b->start_sample);
  direct_sum(a, b, y->values);
  return y;
}
SONVAR_LEAVE(sys)

SONVAR_CALL signal_rec *Convolute_fast(sys_con *sys, signal_rec *a, signal_rec *b,
                                       signal_rec *out) try {
  SONVAR_ENTER(sys);
  if (a == nullptr || b == nullptr) {
    const signal_rec *other = present_one(a, b);
    const int n = other != nullptr ? other->no_samples : 1;
    extend_signal(sys, out, n, other != nullptr ? other->start_sample : 0);
    std::fill(out->values, out->values + n, 0.0);
    return out;
  }
  extend_signal(sys, out, a->no_samples + b->no_samples - 1, a->start_sample + b->start_sample);
  direct_sum(a, b, out->values);
  return out;
}
SONVAR_LEAVE(sys)

SONVAR_CALL signal_rec *Convolve_decimate(sys_con *sys, signal_rec *a, signal_rec *b, int D,
                                          double scale) try {
  SONVAR_ENTER(sys);
  check_decimation(sys, D, "Convolve_decimate");
  if (a == nullptr && b == nullptr) return nullptr;
  // An absent operand acts as one zero sample at sample 0.
  const int start_sum = (a != nullptr ? a->start_sample : 0) + (b != nullptr ? b->start_sample : 0);
  const int length = (a != nullptr ? a->no_samples : 1) + (b != nullptr ? b->no_samples : 1) - 1;
  // Rounded up in floating point. The integer idiom (s + D - 1) / D would
  // start negative sums one decimated sample too late, as C++ division
  // truncates towards zero.
  const int start = static_cast<int>(std::ceil(static_cast<double>(start_sum) / D));
  signal_rec *y = alloc_signal(sys, length / D + 1, start);
  y->fs = sys->fs / D;
  if (a == nullptr || b == nullptr) return y;
  int j = 0;
  for (int m = D * start - start_sum; m < length; m += D)
    y->values[j++] = scale * direct_sample(a, b, m);
  return y;
}
SONVAR_LEAVE(sys)

namespace {

// Values of the first operand taken per pass over the output (their
// weights and indices sit on the stack).
constexpr int kTapsPerPass = 256;

// Adds the taps to `chains` x lanes outputs from y + m, each chain one
// vector of V held in a register while the taps go by.
template <typename V, int chains>
SONVAR_LANE_HELPER void add_tap_group(double *y, int m, const double *c, const int *k, int taps,
                                      const double *h) {
  constexpr int lanes = sizeof(V) / sizeof(double);
  V a[chains];
#pragma GCC unroll 8
  for (int r = 0; r < chains; r++) a[r] = load<V>(y + m + r * lanes);
  for (int q = 0; q < taps; q++) {
    const double w = c[q];
    const double *p = h + (m - k[q]);
#pragma GCC unroll 8
    for (int r = 0; r < chains; r++) a[r] += w * load<V>(p + r * lanes);
  }
#pragma GCC unroll 8
  for (int r = 0; r < chains; r++) store(y + m + r * lanes, a[r]);
}

// y[m] += sum over q of c[q] h[m - k[q]] for m in [0, length), the q in
// rising order, so that each output gathers its terms in the order of the
// direct sum. h is readable (zero) far enough either side of its values.
// Outputs go in groups of 64 held in eight independent chains of eight (one
// register each with 512-bit vectors), then of 32 in chains of four, so
// that the additions do not wait on one another. Every lane does the same
// operations in the same order, so each instruction set gives the same
// values.
SONVAR_WIDE_VECTOR_CLONES void add_taps(double *y, int length, const double *c, const int *k,
                                        int taps, const double *h) {
  int m = 0;
  if (kVectorKernels) {
    for (; m + 64 <= length; m += 64) add_tap_group<Lanes8, 8>(y, m, c, k, taps, h);
    for (; m + 32 <= length; m += 32) add_tap_group<Lanes4, 8>(y, m, c, k, taps, h);
    for (; m + 4 <= length; m += 4) add_tap_group<Lanes4, 1>(y, m, c, k, taps, h);
  }
  for (; m < length; m++) {
    double acc = y[m];
    for (int q = 0; q < taps; q++) acc += c[q] * h[m - k[q]];
    y[m] = acc;
  }
}

}  // namespace

const double *pad_samples(sys_con *sys, signal_rec *buffer, const signal_rec *b, int pad) {
  const int n = b->no_samples + 2 * pad;
  if (buffer->capacity < n) extend_signal(sys, buffer, n, 0);
  buffer->no_samples = n;
  std::fill(buffer->values, buffer->values + pad, 0.0);
  std::copy(b->values, b->values + b->no_samples, buffer->values + pad);
  std::fill(buffer->values + pad + b->no_samples, buffer->values + n, 0.0);
  return buffer->values + pad;
}

void add_scaled_convolution(sys_con *sys, signal_rec **dst, const signal_rec *a,
                            const signal_rec *b, const double *b_padded, double factor) {
  const int start = a->start_sample + b->start_sample;
  const int length = a->no_samples + b->no_samples - 1;
  if (*dst == nullptr)
    *dst = alloc_signal(sys, length, start);
  else
    cover_samples(sys, *dst, start, length);
  double *y = (*dst)->values + (start - (*dst)->start_sample);
  // a's zeros (outside its element's arrival span, or a weight of 0) cost
  // nothing: only the non-zero values become taps.
  double c[kTapsPerPass];
  int k[kTapsPerPass];
  int taps = 0;
  for (int j = 0; j < a->no_samples; j++) {
    const double weight = a->values[j] * factor;
    if (weight == 0.0) continue;
    c[taps] = weight;
    k[taps++] = j;
    if (taps == kTapsPerPass) {
      add_taps(y, length, c, k, taps, b_padded);
      taps = 0;
    }
  }
  if (taps > 0) add_taps(y, length, c, k, taps, b_padded);
}

}  // namespace sonvar

// signals.cpp - convolution of sampled signals (direct, decimated and by the
// real FFT with a cached spectrum), the FFT itself, and the addition of
// responses that start at different samples.
//
// A signal with start sample s and values v[0..n-1] stands for v[j] at time
// (s + j) / fs. Every combination aligns its operands on that absolute sample
// index, so a convolution starts at the sum of its inputs' start samples.
// An absent (NULL) signal counts as zero.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "internal.h"

using sonvar::MutexGuard;

namespace {

// y[m] = sum a[k] b[m-k], k rising, for m = 0 .. na+nb-2, into y. The first
// operand runs upwards and the second downwards.
void direct_sum(const signal_rec *a, const signal_rec *b, double *y) {
  const int na = a->no_samples;
  const int nb = b->no_samples;
  const double *x = a->values;
  const double *h = b->values;
  for (int m = 0; m < na + nb - 1; m++) {
    const int k_low = std::max(0, m - nb + 1);
    const int k_high = std::min(m, na - 1);
    double sum = 0.0;
    for (int k = k_low; k <= k_high; k++) sum += x[k] * h[m - k];
    y[m] = sum;
  }
}

// The present operand of a pair with one absent signal.
const signal_rec *present_one(const signal_rec *a, const signal_rec *b) {
  return a != nullptr ? a : b;
}

}  // namespace

signal_rec *Convolute(sys_con *sys, signal_rec *a, signal_rec *b) {
  if (a == nullptr && b == nullptr) return nullptr;
  if (a == nullptr || b == nullptr) {
    const signal_rec *other = present_one(a, b);
    return alloc_signal(sys, other->no_samples, other->start_sample);
  }
  signal_rec *y =
      alloc_signal(sys, a->no_samples + b->no_samples - 1, a->start_sample + b->start_sample);
  direct_sum(a, b, y->values);
  return y;
}

signal_rec *Convolute_fast(sys_con *sys, signal_rec *a, signal_rec *b, signal_rec *out) {
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

// ---------------------------------------------------------------------------
// Response summation
// ---------------------------------------------------------------------------

namespace {

// Rearranges dst in place to span [m0, m0 + length): the old values move up
// by d0 - m0 (from the top, as the ranges overlap) and everything outside
// them becomes zero. The caller ensures length < capacity.
void span_in_place(signal_rec *dst, int m0, int length) {
  const int shift = dst->start_sample - m0;
  const int old_length = dst->no_samples;
  double *v = dst->values;
  if (shift > 0) {
    for (int j = old_length - 1; j >= 0; j--) v[j + shift] = v[j];
    std::fill(v, v + shift, 0.0);
  }
  std::fill(v + shift + old_length, v + length, 0.0);
  dst->start_sample = m0;
  dst->no_samples = length;
}

// Replaces dst's array by one of exactly `length` values spanning
// [m0, m0 + length), the old values copied to their place, and charges the
// difference to the pool's byte count.
void span_reallocated(sys_con *sys, signal_rec *dst, int m0, int length) {
  double *values = sonvar::alloc_array<double>(sys, static_cast<std::uint64_t>(length),
                                               "the samples of a summed response");
  std::memcpy(values + (dst->start_sample - m0), dst->values,
              sizeof(double) * static_cast<std::size_t>(dst->no_samples));
  {
    MutexGuard guard(&sys->signal_mutex);
    free_memory(sys, dst->values);
    sys->signal_bytes += 8 * (static_cast<std::int64_t>(length) - dst->capacity);
    if (sys->signal_bytes > sys->max_signal_bytes) sys->max_signal_bytes = sys->signal_bytes;
    dst->values = values;
  }
  dst->start_sample = m0;
  dst->no_samples = length;
  dst->capacity = length;
  dst->bytes = 8 * (static_cast<std::int64_t>(length) + 6);
}

// A new signal holding a copy of src.
signal_rec *copy_signal(sys_con *sys, const signal_rec *src) {
  signal_rec *copy = alloc_signal(sys, src->no_samples, src->start_sample);
  std::copy(src->values, src->values + src->no_samples, copy->values);
  return copy;
}

}  // namespace

signal_rec *add_responses(sys_con *sys, signal_rec *src, signal_rec *dst) {
  if (src == nullptr) return dst;
  if (dst == nullptr) return copy_signal(sys, src);
  const int d0 = dst->start_sample;
  const int d1 = d0 + dst->no_samples;
  const int s0 = src->start_sample;
  const int s1 = s0 + src->no_samples;
  if (s0 < d0 || s1 > d1) {
    const int m0 = std::min(d0, s0);
    const int length = std::max(d1, s1) - m0;
    if (length < dst->capacity)
      span_in_place(dst, m0, length);
    else
      span_reallocated(sys, dst, m0, length);
  }
  double *target = dst->values + (s0 - dst->start_sample);
  for (int j = 0; j < src->no_samples; j++) target[j] += src->values[j];
  return dst;
}

// summation.cpp - the addition of responses that start at different
// samples: in place or into a grown sum, at the full or a decimated rate.
#include <algorithm>
#include <cstring>

#include "general/failure.h"
#include "general/memory.h"
#include "signals/direct.h"
#include "signals/summation.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

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
  double *values = alloc_signal_values(sys, static_cast<std::uint64_t>(length),
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

void cover_samples(sys_con *sys, signal_rec *dst, int s0, int n) {
  const int d0 = dst->start_sample;
  const int d1 = d0 + dst->no_samples;
  const int s1 = s0 + n;
  if (s0 >= d0 && s1 <= d1) return;
  const int m0 = std::min(d0, s0);
  // In 64 bits: two signals far apart in time span more than an int holds.
  const int64_t span = static_cast<int64_t>(std::max(d1, s1)) - m0;
  if (span > 2 * sys->max_samples)
    fail(sys,
         "add_responses: the sum would span %lld samples (%g s, from sample %d); at most "
         "twice max_samples %lld",
         static_cast<long long>(span), span / sys->fs, m0,
         static_cast<long long>(sys->max_samples));
  const int length = static_cast<int>(span);
  if (length < dst->capacity)
    span_in_place(dst, m0, length);
  else
    span_reallocated(sys, dst, m0, length);
}

SONVAR_CALL signal_rec *add_responses(sys_con *sys, signal_rec *src, signal_rec *dst) try {
  SONVAR_ENTER(sys);
  if (src == nullptr) return dst;
  if (dst == nullptr) return copy_signal(sys, src);
  cover_samples(sys, dst, src->start_sample, src->no_samples);
  const int s0 = src->start_sample;
  double *target = dst->values + (s0 - dst->start_sample);
  for (int j = 0; j < src->no_samples; j++) target[j] += src->values[j];
  return dst;
}
SONVAR_LEAVE(sys)

SONVAR_CALL signal_rec *sum_responses_decimated(sys_con *sys, signal_rec *src, signal_rec *dst,
                                                int D, int release, double amplitude) try {
  SONVAR_ENTER(sys);
  check_decimation(sys, D, "sum_responses_decimated");
  if (src == nullptr) return dst;
  const int s0 = src->start_sample;
  const int s1 = s0 + src->no_samples;
  if (dst == nullptr) {
    dst = alloc_signal(sys, src->no_samples, s0);
    dst->fs = sys->fs / D;
  } else if (s0 < dst->start_sample || s1 > dst->start_sample + dst->no_samples) {
    const int m0 = std::min(dst->start_sample, s0);
    const int m1 = std::max(dst->start_sample + dst->no_samples, s1);
    signal_rec *grown = alloc_signal(sys, m1 - m0, m0);
    grown->fs = sys->fs / D;
    std::copy(dst->values, dst->values + dst->no_samples, grown->values + (dst->start_sample - m0));
    free_signal(sys, dst);
    dst = grown;
  }
  double *target = dst->values + (s0 - dst->start_sample);
  for (int j = 0; j < src->no_samples; j++) target[j] += amplitude * src->values[j];
  if (release) free_signal(sys, src);
  return dst;
}
SONVAR_LEAVE(sys)

}  // namespace sonvar

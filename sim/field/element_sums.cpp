// element_sums.cpp - the per-element echo sums of one leaf in buffers that
// outlive the leaves.
#include <algorithm>

#include "field/element_sums.h"

namespace sonvar {

void ElementSums::cover(int j, int lo, int hi) {
  Sum &s = sums_[static_cast<std::size_t>(j)];
  const bool empty = !s.spans;  // then every value is zero
  s.lo = empty ? lo : std::min(s.lo, lo);
  s.hi = empty ? hi : std::max(s.hi, hi);
  s.spans = true;
  const int size = static_cast<int>(s.values.size());
  if (s.lo >= s.origin && s.hi <= s.origin + size) return;
  // The span with room below (a quarter of the spare) and above: in place
  // when the buffer is empty and long enough, else in a buffer of at least
  // twice the span, the values moved to their new place.
  const int span = s.hi - s.lo;
  const int length = std::max(size, 2 * span);
  const int origin = s.lo - (length - span) / 4;
  if (empty && length == size) {
    s.origin = origin;
    return;
  }
  std::vector<double> moved(static_cast<std::size_t>(length), 0.0);
  if (!empty)
    for (int k = 0; k < size; k++) {
      const int a = s.origin + k;  // the values lie in the old span, inside the new one
      if (a >= s.lo && a < s.hi) moved[static_cast<std::size_t>(a - origin)] = s.values[k];
    }
  s.values.swap(moved);
  s.origin = origin;
}

void ElementSums::add(int j, int start, const double *values, int n) {
  Sum &s = sums_[static_cast<std::size_t>(j)];
  double *y = s.values.data() + (start - s.origin);
  for (int k = 0; k < n; k++) y[k] += values[k];
}

signal_rec *ElementSums::take(sys_con *sys, int j) {
  Sum &s = sums_[static_cast<std::size_t>(j)];
  if (!s.spans) return nullptr;
  signal_rec *sum = alloc_signal(sys, s.hi - s.lo, s.lo);
  double *from = s.values.data() + (s.lo - s.origin);
  std::copy(from, from + (s.hi - s.lo), sum->values);
  std::fill(from, from + (s.hi - s.lo), 0.0);
  s.spans = false;
  return sum;
}

}  // namespace sonvar

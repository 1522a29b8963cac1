// echo_columns.h - the caller's matrix that the channel echoes
// (channels.cpp) add into, column by column.
#ifndef SONVAR_FIELD_ECHO_COLUMNS_H
#define SONVAR_FIELD_ECHO_COLUMNS_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include "field/echo_sink.h"

namespace sonvar {

// Column j (receive element j) at out + j * stride, row k at absolute
// sample first + k. Per element it keeps the samples its echoes covered
// before the pulse ([lo, hi), from element `base` on) and counts the
// non-zero samples that fell outside the rows.
struct EchoColumns final : EchoSink {
  double *out = nullptr;
  int64_t first = 0;
  int64_t rows = 0;
  int64_t stride = 0;
  int base = 0;
  int64_t dropped = 0;
  std::vector<int64_t> lo, hi;

  void add_rows(int j, int64_t start, const double *values, int64_t n) {
    double *column = out + static_cast<int64_t>(j) * stride;
    const int64_t begin = start - first;
    const int64_t a = std::max<int64_t>(0, -begin), b = std::min<int64_t>(n, rows - begin);
    for (int64_t k = 0; k < std::min(a, n); k++) dropped += values[k] != 0.0;
    for (int64_t k = a; k < b; k++) column[begin + k] += values[k];
    for (int64_t k = std::max(a, b); k < n; k++) dropped += values[k] != 0.0;
  }
  void cover_rows(int j, int64_t from, int64_t to) {
    const std::size_t k = static_cast<std::size_t>(j - base);
    if (lo[k] >= hi[k]) {
      lo[k] = from;
      hi[k] = to;
    } else {
      lo[k] = std::min(lo[k], from);
      hi[k] = std::max(hi[k], to);
    }
  }
  void cover(int j, int lo, int hi) override { cover_rows(j, lo, hi); }
  void add(int j, int start, const double *values, int n) override {
    add_rows(j, start, values, n);
  }
  double *samples(int j, int start, int end) override {
    if (start < first || end > first + rows) return nullptr;  // add_rows counts what falls out
    return out + static_cast<int64_t>(j) * stride + (start - first);
  }
};

}  // namespace sonvar

#endif  // SONVAR_FIELD_ECHO_COLUMNS_H

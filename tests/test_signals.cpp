// Tests of the signal module: direct and FFT convolution, the FFT, and the
// addition of responses on the absolute time axis.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "test_util.h"

using sonvar_test::expect_signal_near;
using sonvar_test::quiet_state;
using sonvar_test::release_state;

namespace {

// Sums of a few dozen products of values in [-1, 1]: rounding stays far
// below this (relative to the peak).
constexpr double kSumTolerance = 1e-13;

// Convolution by the textbook double loop, independent of the library's
// index bounds: every product a[i] b[j] lands at i + j.
std::vector<double> reference_convolution(const std::vector<double> &a,
                                          const std::vector<double> &b) {
  std::vector<double> y(a.size() + b.size() - 1, 0.0);
  for (size_t i = 0; i < a.size(); i++)
    for (size_t j = 0; j < b.size(); j++) y[i + j] += a[i] * b[j];
  return y;
}

std::vector<double> random_values(std::mt19937 &rng, int n) {
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  std::vector<double> v(static_cast<size_t>(n));
  for (double &x : v) x = value(rng);
  return v;
}

}  // namespace

class SignalsTest : public ::testing::Test {
 protected:
  void SetUp() override { sys = quiet_state(); }
  void TearDown() override { release_state(sys); }

  // A pool signal holding `values`, starting at `start`.
  signal_rec *make(const std::vector<double> &values, int start) {
    signal_rec *s = alloc_signal(sys, static_cast<int>(values.size()), start);
    std::copy(values.begin(), values.end(), s->values);
    return s;
  }

  sys_con *sys = nullptr;
  std::mt19937 rng{20261207};
};

// ---------------------------------------------------------------------------
// Direct convolution
// ---------------------------------------------------------------------------

TEST_F(SignalsTest, ConvoluteMatchesTextbookSumAndAddsStartSamples) {
  for (const auto &[na, nb] : std::vector<std::pair<int, int>>{{1, 1}, {5, 3}, {3, 5}, {40, 17}}) {
    const std::vector<double> va = random_values(rng, na);
    const std::vector<double> vb = random_values(rng, nb);
    signal_rec *a = make(va, -7);
    signal_rec *b = make(vb, 12);
    signal_rec *y = Convolute(sys, a, b);
    expect_signal_near(y, 5, reference_convolution(va, vb), kSumTolerance, "Convolute");
    free_signal(sys, y);
    free_signal(sys, b);
    free_signal(sys, a);
  }
}

TEST_F(SignalsTest, OneSampleDirectConvolutionIsTheProduct) {
  signal_rec *a = make({3.0}, 4);
  signal_rec *b = make({-2.5}, -1);
  signal_rec *y = Convolute(sys, a, b);
  expect_signal_near(y, 3, {-7.5}, 0.0, "one-sample product");
  free_signal(sys, y);
  free_signal(sys, b);
  free_signal(sys, a);
}

TEST_F(SignalsTest, ConvoluteFastOverwritesStaleOutputAndGrowsOnlyWhenShort) {
  const std::vector<double> va = random_values(rng, 9);
  const std::vector<double> vb = random_values(rng, 4);
  signal_rec *a = make(va, 2);
  signal_rec *b = make(vb, 3);
  const std::vector<double> ref = reference_convolution(va, vb);

  // Spare capacity full of stale values: reused, every output written.
  signal_rec *out = alloc_signal(sys, 50, 0);
  std::fill(out->values, out->values + 50, 99.0);
  EXPECT_EQ(Convolute_fast(sys, a, b, out), out);
  expect_signal_near(out, 5, ref, kSumTolerance, "reused output");
  EXPECT_EQ(out->capacity, 50);

  // Too small: grown to exactly the result's length.
  signal_rec *small = alloc_signal(sys, 2, 0);
  Convolute_fast(sys, a, b, small);
  expect_signal_near(small, 5, ref, kSumTolerance, "grown output");
  EXPECT_EQ(small->capacity, 12);

  for (signal_rec *s : {small, out, b, a}) free_signal(sys, s);
}

TEST_F(SignalsTest, AbsentOperandOfDirectConvolutionGivesZerosShapedLikeTheOther) {
  signal_rec *a = make({1.0, 2.0, 3.0}, 6);
  signal_rec *y1 = Convolute(sys, a, nullptr);
  expect_signal_near(y1, 6, {0.0, 0.0, 0.0}, 0.0, "b absent");
  signal_rec *y2 = Convolute(sys, nullptr, a);
  expect_signal_near(y2, 6, {0.0, 0.0, 0.0}, 0.0, "a absent");
  EXPECT_EQ(Convolute(sys, nullptr, nullptr), nullptr);

  signal_rec *out = make({5.0, 5.0, 5.0, 5.0}, 0);
  Convolute_fast(sys, nullptr, a, out);
  expect_signal_near(out, 6, {0.0, 0.0, 0.0}, 0.0, "Convolute_fast, a absent");
  Convolute_fast(sys, nullptr, nullptr, out);
  expect_signal_near(out, 0, {0.0}, 0.0, "Convolute_fast, both absent");
  for (signal_rec *s : {out, y2, y1, a}) free_signal(sys, s);
}

// ---------------------------------------------------------------------------
// Response summation
// ---------------------------------------------------------------------------

TEST_F(SignalsTest, AddingASignalInsideDestinationKeepsItsSpan) {
  signal_rec *dst = make({1, 2, 3, 4, 5}, 10);
  signal_rec *src = make({10, 20}, 12);
  EXPECT_EQ(add_responses(sys, src, dst), dst);
  expect_signal_near(dst, 10, {1, 2, 13, 24, 5}, 0.0, "inside");
  EXPECT_EQ(dst->capacity, 5);
  expect_signal_near(src, 12, {10, 20}, 0.0, "source unchanged");
  free_signal(sys, src);
  free_signal(sys, dst);
}

TEST_F(SignalsTest, AddingEarlierSignalShiftsDestinationUpInSpareCapacity) {
  signal_rec *dst = alloc_signal(sys, 20, 0);
  std::fill(dst->values, dst->values + 20, -1.0);  // stale samples beyond the span
  extend_signal(sys, dst, 4, 50);
  const double old[] = {1, 2, 3, 4};
  std::copy(old, old + 4, dst->values);
  signal_rec *src = make({10, 20}, 47);  // starts 3 samples before dst
  const int64_t bytes = sys->signal_bytes;
  double *array = dst->values;
  add_responses(sys, src, dst);
  expect_signal_near(dst, 47, {10, 20, 0, 1, 2, 3, 4}, 0.0, "shifted up by 3");
  EXPECT_EQ(dst->values, array);
  EXPECT_EQ(dst->capacity, 20);
  EXPECT_EQ(sys->signal_bytes, bytes);

  // Past the end, with a gap: the gap is zero, not the stale -1.
  signal_rec *late = make({7}, 57);
  add_responses(sys, late, dst);
  expect_signal_near(dst, 47, {10, 20, 0, 1, 2, 3, 4, 0, 0, 0, 7}, 0.0, "extended at the end");
  for (signal_rec *s : {late, src, dst}) free_signal(sys, s);
}

TEST_F(SignalsTest, AddingToExactlyTheCapacityReallocatesAndChargesTheBytes) {
  signal_rec *dst = make({1, 2, 3, 4}, 0);
  signal_rec *src = make({5, 6}, 3);  // span 5 > capacity 4
  const int64_t bytes = sys->signal_bytes;
  add_responses(sys, src, dst);
  expect_signal_near(dst, 0, {1, 2, 3, 9, 6}, 0.0, "grown");
  EXPECT_EQ(dst->capacity, 5);
  EXPECT_EQ(dst->bytes, 8 * (5 + 6));
  EXPECT_EQ(sys->signal_bytes, bytes + 8);

  // Span 8 with capacity 8: the in-place path needs a strictly smaller span.
  extend_signal(sys, dst, 8, 0);  // grows the array to 8 (zeros)
  extend_signal(sys, dst, 5, 0);
  signal_rec *front = make({1, 1, 1}, -3);
  const int64_t before = sys->signal_bytes;
  double *array = dst->values;
  add_responses(sys, front, dst);
  EXPECT_NE(dst->values, array);
  EXPECT_EQ(dst->capacity, 8);
  expect_signal_near(dst, -3, {1, 1, 1, 0, 0, 0, 0, 0}, 0.0, "reallocated at equal length");
  EXPECT_EQ(sys->signal_bytes, before);
  EXPECT_GE(sys->max_signal_bytes, sys->signal_bytes);
  for (signal_rec *s : {front, src, dst}) free_signal(sys, s);
}

TEST_F(SignalsTest, AbsentSignalsAddNothing) {
  signal_rec *dst = make({1, 2}, 5);
  EXPECT_EQ(add_responses(sys, nullptr, dst), dst);
  expect_signal_near(dst, 5, {1, 2}, 0.0, "absent source");
  signal_rec *copy = add_responses(sys, dst, nullptr);
  ASSERT_NE(copy, dst);
  expect_signal_near(copy, 5, {1, 2}, 0.0, "absent destination");
  free_signal(sys, copy);
  free_signal(sys, dst);
}

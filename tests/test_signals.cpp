// Tests of the signal module: direct and FFT convolution, the FFT, and the
// addition of responses on the absolute time axis.
#include <gtest/gtest.h>

#include <unistd.h>

#include <complex>
#include <initializer_list>
#include <random>
#include <thread>
#include <vector>

#include "support/oracles.h"
#include "support/test_util.h"

using namespace sonvar;  // the library internals under test

using sonvar_test::cplx;
using sonvar_test::DirectDft;
using sonvar_test::expect_signal_near;
using sonvar_test::quiet_state;
using sonvar_test::release_state;

namespace {

using Values = std::vector<double>;

// Sums of a few dozen products of values in [-1, 1]: rounding stays far below.
constexpr double kSumTolerance = 1e-13;
// The FFT forms: rounding of the transforms, relative to the peak.
constexpr double kFftTolerance = 1e-12;
// Required agreement of the FFT with a direct DFT, and of a forward and
// inverse transform with the input.
constexpr double kDftTolerance = 1e-12;
constexpr double kRoundTripTolerance = 1e-13;

// Convolution by the textbook double loop: every a[i] b[j] lands at i + j.
Values reference_convolution(const Values &a, const Values &b, double divisor = 1.0) {
  Values y(a.size() + b.size() - 1, 0.0);
  for (size_t i = 0; i < a.size(); i++)
    for (size_t j = 0; j < b.size(); j++) y[i + j] += a[i] * b[j];
  for (double &v : y) v /= divisor;
  return y;
}

Values values_of(const signal_rec *s) {
  return Values(s->values, s->values + s->no_samples);
}

// Bins 0 .. N/2 to compare: all up to N = 4096; above, the edges, the middle
// and 250 fixed random bins (a full direct DFT of 65,536 points takes minutes).
std::vector<int> bins_to_check(int N, std::mt19937 &rng) {
  std::vector<int> bins;
  if (N <= 4096) {
    for (int k = 0; k <= N / 2; k++) bins.push_back(k);
    return bins;
  }
  bins = {0, 1, N / 4, N / 2 - 1, N / 2};
  std::uniform_int_distribution<int> pick(0, N / 2);
  for (int i = 0; i < 250; i++) bins.push_back(pick(rng));
  return bins;
}

cplx packed_bin(const signal_rec *X, int k) {
  const int N = X->no_samples;
  if (k == 0 || k == N / 2) return X->values[k == 0 ? 0 : 1];
  return cplx(X->values[2 * k], X->values[2 * k + 1]);
}

// A figure for the test report, e.g. "3.10e-15".
std::string scientific(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.2e", value);
  return text;
}

}  // namespace

class SignalsTest : public ::testing::Test {
 protected:
  void SetUp() override { sys = quiet_state(); }
  void TearDown() override { release_state(sys); }

  // A pool signal holding `values`, starting at `start`.
  signal_rec *make(const Values &values, int start) {
    signal_rec *s = alloc_signal(sys, static_cast<int>(values.size()), start);
    std::copy(values.begin(), values.end(), s->values);
    return s;
  }
  Values random_values(int n) {
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    Values v(static_cast<size_t>(n));
    for (double &x : v) x = value(rng);
    return v;
  }
  void release(std::initializer_list<signal_rec *> signals) {
    for (signal_rec *s : signals) free_signal(sys, s);
  }

  sys_con *sys = nullptr;
  std::mt19937 rng{20261207};
};

// ---------------------------------------------------------------------------
// Direct and decimated convolution
// ---------------------------------------------------------------------------

TEST_F(SignalsTest, DirectConvolutionMatchesTextbookSumAtSummedStart) {
  signal_rec *out = alloc_signal(sys, 80, 0);
  std::fill(out->values, out->values + 80, 99.0);  // stale values must not survive
  for (const auto &[na, nb] : std::vector<std::pair<int, int>>{{1, 1}, {5, 3}, {3, 5}, {40, 17}}) {
    const Values va = random_values(na);
    const Values vb = random_values(nb);
    signal_rec *a = make(va, -7);
    signal_rec *b = make(vb, 12);
    signal_rec *y = Convolute(sys, a, b);
    expect_signal_near(y, 5, reference_convolution(va, vb), kSumTolerance, "Convolute");
    EXPECT_EQ(Convolute_fast(sys, a, b, out), out);
    expect_signal_near(out, 5, reference_convolution(va, vb), kSumTolerance, "Convolute_fast");
    EXPECT_EQ(out->capacity, 80);  // reused, not reallocated
    release({y, b, a});
  }
  signal_rec *small = alloc_signal(sys, 2, 0);
  signal_rec *a = make({1, 2, 3}, 0);
  Convolute_fast(sys, a, a, small);
  expect_signal_near(small, 0, {1, 4, 10, 12, 9}, 0.0, "output grown");
  release({a, small, out});
}

TEST_F(SignalsTest, DecimatedConvolutionStartsAtTheRoundedUpSample) {
  const Values va = random_values(9);
  const Values vb = random_values(6);
  const Values full = reference_convolution(va, vb);  // 14 samples
  // D = 1: the full convolution and one extra zero.
  signal_rec *a = make(va, 3);
  signal_rec *b = make(vb, 0);
  signal_rec *y = Convolve_decimate(sys, a, b, 1, 1.0);
  Values ref = full;
  ref.push_back(0.0);
  expect_signal_near(y, 3, ref, kSumTolerance, "D = 1");
  EXPECT_EQ(y->fs, sys->fs);
  release({y, a});
  // D = 4, start sum 5: first sample 2 (time 8) = y[3]. Start sum -5: first
  // sample -1 (time -4) = y[1]; the integer idiom (s + D - 1) / D would give
  // 0, as C++ division truncates towards zero.
  for (const auto &[sa, first_sample, first_m] :
       std::vector<std::tuple<int, int, int>>{{5, 2, 3}, {-5, -1, 1}}) {
    a = make(va, sa);
    y = Convolve_decimate(sys, a, b, 4, 2.5);
    ref.assign(14 / 4 + 1, 0.0);
    for (size_t j = 0, m = static_cast<size_t>(first_m); m < full.size(); j++, m += 4)
      ref[j] = 2.5 * full[m];
    expect_signal_near(y, first_sample, ref, kSumTolerance, "D = 4, sum " + std::to_string(sa));
    EXPECT_DOUBLE_EQ(y->fs, sys->fs / 4);
    release({y, a});
  }
  free_signal(sys, b);
}

TEST_F(SignalsTest, AbsentOperandsCountAsZero) {
  signal_rec *a = make({1, 2, 3, 4, 5, 6, 7, 8, 9}, 5);
  signal_rec *slot = nullptr;
  for (signal_rec *y :
       {Convolute(sys, nullptr, a), fast_convolute(sys, a, nullptr),
        fast_dft_convolute(sys, nullptr, a, &slot), fast_dft_convolute(sys, a, nullptr, &slot)}) {
    expect_signal_near(y, 5, Values(9, 0.0), 0.0, "zeros shaped like the present operand");
    free_signal(sys, y);
  }
  EXPECT_EQ(slot, nullptr);
  EXPECT_EQ(Convolute(sys, nullptr, nullptr), nullptr);
  EXPECT_EQ(fast_convolute(sys, nullptr, nullptr), nullptr);
  signal_rec *y = Convolve_decimate(sys, nullptr, a, 4, 1.0);  // as if y had 9 samples
  expect_signal_near(y, 2, {0, 0, 0}, 0.0, "decimated shape");
  signal_rec *out = make({4, 4, 4, 4, 4}, 1);
  signal_rec *fa = alloc_signal(sys, 4, 0);
  signal_rec *fb = alloc_signal(sys, 4, 0);
  EXPECT_EQ(fast_fft_convolute(sys, a, nullptr, fa, fb, out), out);
  expect_signal_near(out, 5, Values(9, 0.0), 0.0, "fast_fft_convolute");
  Convolute_fast(sys, nullptr, nullptr, out);
  expect_signal_near(out, 0, {0}, 0.0, "Convolute_fast, both absent");

  EXPECT_EQ(add_responses(sys, nullptr, a), a);
  signal_rec *copy = add_responses(sys, a, nullptr);
  ASSERT_NE(copy, a);
  expect_signal_near(copy, 5, values_of(a), 0.0, "added into an absent signal");
  release({copy, fb, fa, out, y, a});
}

TEST_F(SignalsTest, UnusableArgumentsEndTheProgramWithAMessage) {
  signal_rec *a = make(Values(9, 1.0), 0);
  EXPECT_FATAL(Convolve_decimate(sys, a, a, 0, 1.0),
               "^Fatal error: Convolve_decimate: decimation factor 0 is below 1 \n$");
  EXPECT_FATAL(sum_responses_decimated(sys, a, a, -2, 0, 1.0),
               "^Fatal error: sum_responses_decimated: decimation factor -2 is below 1 \n$");
  EXPECT_FATAL(
      Find_FFT(sys, a, 8),
      "^Fatal error: Find_FFT: a signal of 9 samples cannot be transformed with length 8 \n$");
  free_signal(sys, a);
}

// ---------------------------------------------------------------------------
// FFT
// ---------------------------------------------------------------------------

TEST_F(SignalsTest, RealTransformAgreesWithDirectDftFrom4To65536Points) {
  double worst = 0.0;
  for (int N = 4; N <= 65536; N *= 2) {
    Values x = random_values(N - N / 8);
    signal_rec *s = make(x, 17);
    signal_rec *X = Find_FFT(sys, s, N);
    ASSERT_EQ(X->no_samples, N);
    EXPECT_EQ(X->start_sample, 17);
    x.resize(static_cast<size_t>(N), 0.0);  // the zero padding
    const DirectDft dft(N);
    long double error = 0;
    long double peak = 0;
    for (int k : bins_to_check(N, rng)) {
      const cplx ref = dft.bin(x, k);
      error = std::max(error, std::abs(packed_bin(X, k) - ref));
      peak = std::max(peak, std::abs(ref));
    }
    const double relative = static_cast<double>(error / peak);
    EXPECT_LE(relative, kDftTolerance) << "N = " << N;
    worst = std::max(worst, relative);
    RecordProperty("dft_error_N" + std::to_string(N), scientific(relative));
    release({X, s});
  }
  RecordProperty("dft_error_worst", scientific(worst));
}

TEST_F(SignalsTest, ForwardThenInverseReturnsTheSamplesFrom4To65536Points) {
  double worst = 0.0;
  for (int N = 4; N <= 65536; N *= 2) {
    Values x = random_values(N / 2 + 1);
    signal_rec *s = make(x, -3);
    signal_rec *X = Find_FFT(sys, s, N);
    EXPECT_EQ(Inverse_FFT(X, N), X);
    x.resize(static_cast<size_t>(N), 0.0);  // the input, then zeros up to N
    double error = 0.0;
    double peak = 0.0;
    for (int j = 0; j < N; j++) {
      error = std::max(error, std::fabs(X->values[j] - x[static_cast<size_t>(j)]));
      peak = std::max(peak, std::fabs(x[static_cast<size_t>(j)]));
    }
    EXPECT_LE(error / peak, kRoundTripTolerance) << "N = " << N;
    worst = std::max(worst, error / peak);
    EXPECT_EQ(X->start_sample, -3);
    release({X, s});
  }
  RecordProperty("round_trip_error_worst", scientific(worst));
}

TEST_F(SignalsTest, TransformLengthIsTheSmallestPowerOfTwoFromFour) {
  EXPECT_EQ(Find_N(0, 0), 4);
  EXPECT_EQ(Find_N(5, 0), 8);
  EXPECT_EQ(Find_N(8, 0), 8);
  EXPECT_EQ(Find_N(3, 9), 16);
  EXPECT_EQ(Find_N(1025, 1024), 2048);
}

// ---------------------------------------------------------------------------
// FFT convolution
// ---------------------------------------------------------------------------

TEST_F(SignalsTest, FftConvolutionEqualsDirectConvolutionOverFs) {
  signal_rec *fa = alloc_signal(sys, 1, 0);
  signal_rec *fb = alloc_signal(sys, 1, 0);
  signal_rec *out = alloc_signal(sys, 1, 0);
  for (const auto &[na, nb] :
       std::vector<std::pair<int, int>>{{1, 1}, {2, 2}, {3, 1}, {300, 200}, {1000, 37}}) {
    const Values va = random_values(na);
    const Values vb = random_values(nb);
    signal_rec *a = make(va, 40);
    signal_rec *b = make(vb, -9);
    const Values ref = reference_convolution(va, vb, sys->fs);
    const std::string shape = std::to_string(na) + " x " + std::to_string(nb);
    signal_rec *y = fast_convolute(sys, a, b);
    expect_signal_near(y, 31, ref, kFftTolerance, "fast_convolute " + shape);
    signal_rec *slot = nullptr;
    signal_rec *z = fast_dft_convolute(sys, a, b, &slot);
    expect_signal_near(z, 31, ref, kFftTolerance, "fast_dft_convolute " + shape);
    fb->no_samples = 1;  // a new b: not the spectrum it holds
    fast_fft_convolute(sys, a, b, fa, fb, out);
    expect_signal_near(out, 31, ref, kFftTolerance, "fast_fft_convolute " + shape);
    release({z, slot, y, b, a});
  }
  // The same signal twice: one transform (one pool signal), squared.
  const Values va = random_values(50);
  signal_rec *a = make(va, 7);
  const int32_t calls = sys->signal_alloc_calls;
  signal_rec *y = fast_convolute(sys, a, a);
  EXPECT_EQ(sys->signal_alloc_calls, calls + 1);
  expect_signal_near(y, 14, reference_convolution(va, va, sys->fs), kFftTolerance, "squared");
  release({y, a, out, fb, fa});
}

TEST_F(SignalsTest, CachedSpectrumMayBeLongerAndIsRenewedOnlyWhenTooShort) {
  const Values va = random_values(30);
  const Values vb = random_values(20);
  signal_rec *a = make(va, 0);
  signal_rec *b = make(vb, 5);
  // Length 4N read at every fourth bin gives the N-point result.
  signal_rec *exact = Find_FFT(sys, b, 64);
  signal_rec *longer = Find_FFT(sys, b, 256);
  signal_rec *kept = longer;
  signal_rec *y1 = fast_dft_convolute(sys, a, b, &exact);
  signal_rec *y4 = fast_dft_convolute(sys, a, b, &longer);
  EXPECT_EQ(longer, kept);
  expect_signal_near(y4, 5, values_of(y1), kFftTolerance, "4N cache against N cache");
  expect_signal_near(y4, 5, reference_convolution(va, vb, sys->fs), kFftTolerance, "4N, direct");
  // Needs 30 + 20 = 50 values: a 32-value spectrum is renewed to 64.
  signal_rec *short_one = Find_FFT(sys, b, 32);
  signal_rec *old = short_one;
  signal_rec *y = fast_dft_convolute(sys, a, b, &short_one);
  EXPECT_NE(short_one, old);
  EXPECT_EQ(short_one->no_samples, 64);
  EXPECT_EQ(old->in_use, 0);  // went back to the pool
  expect_signal_near(y, 5, values_of(y1), kFftTolerance, "renewed cache");
  release({y, short_one, y4, y1, longer, exact, b, a});
}

TEST_F(SignalsTest, PerPointPathTakesNoNewSignalsOnceBuffersHaveGrown) {
  signal_rec *P = make(random_values(200), 0);
  signal_rec *slot = Find_FFT(sys, P, Find_N(500, 0));
  signal_rec *response = make(random_values(300), 1000);
  free_signal(sys, fast_dft_convolute(sys, response, P, &slot));
  const int32_t records = sys->next_signal_number;
  const int64_t bytes = sys->signal_bytes;
  const int32_t calls = sys->signal_alloc_calls;
  for (int point = 0; point < 10; point++) {
    response->start_sample = 1000 + point;
    free_signal(sys, fast_dft_convolute(sys, response, P, &slot));
  }
  EXPECT_EQ(sys->next_signal_number, records);     // no new records
  EXPECT_EQ(sys->signal_bytes, bytes);             // no array grew
  EXPECT_EQ(sys->signal_alloc_calls, calls + 10);  // one pooled signal per point
  // With caller-supplied buffers the pool is not even asked.
  signal_rec *fa = alloc_signal(sys, 1, 0);
  signal_rec *fb = alloc_signal(sys, 1, 0);
  signal_rec *out = alloc_signal(sys, 1, 0);
  fast_fft_convolute(sys, response, P, fa, fb, out);
  const int32_t calls_after = sys->signal_alloc_calls;
  const int64_t bytes_after = sys->signal_bytes;
  for (int point = 0; point < 10; point++) fast_fft_convolute(sys, response, P, fa, fb, out);
  EXPECT_EQ(sys->signal_alloc_calls, calls_after);
  EXPECT_EQ(sys->signal_bytes, bytes_after);
  release({out, fb, fa, response, slot, P});
}

TEST_F(SignalsTest, ConcurrentConvolutionsShareOneCachedSpectrum) {
  constexpr int kThreads = 4;
  constexpr int kPoints = 25;
  signal_rec *P = make(random_values(64), 2);
  std::vector<signal_rec *> responses;
  for (int i = 0; i < kThreads * kPoints; i++)
    responses.push_back(make(random_values(40 + i % 7), 100 + i));
  // The shared slot starts empty: the first thread to take fft_mutex fills
  // it, the others use it.
  signal_rec *shared = nullptr;
  std::vector<signal_rec *> results(responses.size(), nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([&, t] {
      for (size_t i = t * kPoints; i < static_cast<size_t>((t + 1) * kPoints); i++)
        results[i] = fast_dft_convolute(sys, responses[i], P, &shared);
    });
  for (std::thread &thread : threads) thread.join();
  signal_rec *single = nullptr;
  for (size_t i = 0; i < responses.size(); i++) {
    signal_rec *y = fast_dft_convolute(sys, responses[i], P, &single);
    EXPECT_EQ(results[i]->start_sample, y->start_sample);
    EXPECT_EQ(values_of(results[i]), values_of(y)) << "point " << i;  // same operations
    release({y, results[i], responses[i]});
  }
  release({single, shared, P});
}

// ---------------------------------------------------------------------------
// Response summation
// ---------------------------------------------------------------------------

TEST_F(SignalsTest, AddingGrowsDestinationInPlaceWhileBelowCapacity) {
  signal_rec *dst = alloc_signal(sys, 20, 0);
  std::fill(dst->values, dst->values + 20, -1.0);  // stale samples beyond the span
  extend_signal(sys, dst, 4, 50);
  std::copy_n(Values{1, 2, 3, 4}.begin(), 4, dst->values);
  signal_rec *inside = make({10, 20}, 51);
  signal_rec *early = make({10, 20}, 47);  // 3 samples before dst
  signal_rec *late = make({7}, 59);
  const int64_t bytes = sys->signal_bytes;
  double *array = dst->values;
  EXPECT_EQ(add_responses(sys, inside, dst), dst);
  expect_signal_near(dst, 50, {1, 12, 23, 4}, 0.0, "inside: no change of span");
  add_responses(sys, early, dst);
  expect_signal_near(dst, 47, {10, 20, 0, 1, 12, 23, 4}, 0.0, "shifted up by 3");
  add_responses(sys, late, dst);
  expect_signal_near(dst, 47, {10, 20, 0, 1, 12, 23, 4, 0, 0, 0, 0, 0, 7}, 0.0, "gap is zero");
  EXPECT_EQ(dst->values, array);
  EXPECT_EQ(dst->capacity, 20);
  EXPECT_EQ(sys->signal_bytes, bytes);
  expect_signal_near(early, 47, {10, 20}, 0.0, "source unchanged");
  release({late, early, inside, dst});
}

TEST_F(SignalsTest, AddingToExactlyTheCapacityReallocatesAndChargesTheBytes) {
  signal_rec *dst = alloc_signal(sys, 8, 0);
  extend_signal(sys, dst, 5, 0);
  std::copy_n(Values{1, 2, 3, 4, 5}.begin(), 5, dst->values);
  signal_rec *front = make({1, 1, 1}, -3);  // span 8 = capacity
  signal_rec *longer = make({5, 6}, 4);     // then span 9
  const int64_t bytes = sys->signal_bytes;
  double *array = dst->values;
  add_responses(sys, front, dst);
  EXPECT_NE(dst->values, array);
  expect_signal_near(dst, -3, {1, 1, 1, 1, 2, 3, 4, 5}, 0.0, "reallocated at equal length");
  EXPECT_EQ(dst->capacity, 8);
  EXPECT_EQ(sys->signal_bytes, bytes);
  add_responses(sys, longer, dst);
  expect_signal_near(dst, -3, {1, 1, 1, 1, 2, 3, 4, 10, 6}, 0.0, "grown by one");
  EXPECT_EQ(dst->capacity, 9);
  EXPECT_EQ(dst->bytes, 8 * (9 + 6));
  EXPECT_EQ(sys->signal_bytes, bytes + 8);
  EXPECT_GE(sys->max_signal_bytes, sys->signal_bytes);
  release({longer, front, dst});
}

TEST_F(SignalsTest, DecimatedSumGrowsIntoANewSignalAtTheReducedRate) {
  signal_rec *dst = make({1, 2, 3}, 10);
  signal_rec *inside = make({1, 1}, 11);
  EXPECT_EQ(sum_responses_decimated(sys, inside, dst, 4, 0, 0.5), dst);
  expect_signal_near(dst, 10, {1, 2.5, 3.5}, 0.0, "inside, amplitude 0.5");
  EXPECT_EQ(inside->in_use, 1);
  signal_rec *early = make({4, 4}, 8);
  signal_rec *grown = sum_responses_decimated(sys, early, dst, 4, 1, 2.0);
  ASSERT_NE(grown, dst);
  expect_signal_near(grown, 8, {8, 8, 1, 2.5, 3.5}, 0.0, "grown to the front");
  EXPECT_DOUBLE_EQ(grown->fs, sys->fs / 4);
  EXPECT_EQ(dst->in_use, 0);    // the old dst went back to the pool
  EXPECT_EQ(early->in_use, 0);  // released on request
  EXPECT_EQ(sum_responses_decimated(sys, nullptr, grown, 4, 1, 1.0), grown);
  signal_rec *fresh = sum_responses_decimated(sys, inside, nullptr, 2, 0, 3.0);
  expect_signal_near(fresh, 11, {3, 3}, 0.0, "absent dst");
  EXPECT_DOUBLE_EQ(fresh->fs, sys->fs / 2);
  release({fresh, grown, inside});
}

// Tests of the signal module: direct and FFT convolution, the FFT, and the
// addition of responses on the absolute time axis.
#include <gtest/gtest.h>

#include <unistd.h>

#include <complex>
#include <random>
#include <thread>
#include <vector>

#include "test_util.h"

using sonvar_test::expect_signal_near;
using sonvar_test::quiet_state;
using sonvar_test::release_state;

using cplx = std::complex<long double>;

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

// The transform convention X[k] = sum_j x[j] exp(+2 pi i j k / N), evaluated
// directly in long double with exact twiddles (the angle reduced modulo N
// before the sine and cosine).
class DirectDft {
 public:
  explicit DirectDft(int N) : N_(N), w_(static_cast<size_t>(N)) {
    const long double pi = 3.141592653589793238462643383279502884L;
    for (int r = 0; r < N; r++) w_[static_cast<size_t>(r)] = std::polar(1.0L, 2 * pi * r / N);
  }
  // Bin k of the transform of x (x holds N complex or, as re-only, N real
  // values), with sign +1 or -1 of the exponent.
  cplx bin(const std::vector<cplx> &x, int k, int sign) const {
    cplx sum = 0;
    int r = 0;
    const int step = ((sign * k) % N_ + N_) % N_;
    for (const cplx &v : x) {
      sum += v * w_[static_cast<size_t>(r)];
      r = (r + step) % N_;
    }
    return sum;
  }

 private:
  int N_;
  std::vector<cplx> w_;
};

// A figure for the test report, e.g. "3.1e-15".
std::string scientific(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.2e", value);
  return text;
}

// Bins of an N-point transform to compare: all for small N, otherwise the
// edges, the middle and a fixed random choice (a full direct DFT of 65,536
// points would take minutes).
std::vector<int> bins_to_check(int N, int last, std::mt19937 &rng) {
  std::vector<int> bins;
  if (N <= 4096) {
    for (int k = 0; k <= last; k++) bins.push_back(k);
    return bins;
  }
  bins = {0, 1, 2, N / 4, last - 1, last};
  std::uniform_int_distribution<int> pick(0, last);
  for (int i = 0; i < 250; i++) bins.push_back(pick(rng));
  return bins;
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

// ---------------------------------------------------------------------------
// Decimated convolution
// ---------------------------------------------------------------------------

TEST_F(SignalsTest, DecimationByOneIsTheDirectConvolutionPlusOneZero) {
  const std::vector<double> va = random_values(rng, 7);
  const std::vector<double> vb = random_values(rng, 5);
  signal_rec *a = make(va, 3);
  signal_rec *b = make(vb, -1);
  signal_rec *y = Convolve_decimate(sys, a, b, 1, 1.0);
  std::vector<double> ref = reference_convolution(va, vb);
  ref.push_back(0.0);
  expect_signal_near(y, 2, ref, kSumTolerance, "D = 1");
  EXPECT_EQ(y->fs, sys->fs);
  for (signal_rec *s : {y, b, a}) free_signal(sys, s);
}

TEST_F(SignalsTest, DecimatedStartIsRoundedUpAndPicksTheMatchingFullRateSample) {
  const std::vector<double> va = random_values(rng, 9);
  const std::vector<double> vb = random_values(rng, 6);
  const std::vector<double> full = reference_convolution(va, vb);  // 14 samples
  const double scale = 2.5;
  // Start sum 5: first decimated sample 8 = full-rate y[3]; start sum -5:
  // first decimated sample -4 (not -8: truncating division) = y[1].
  for (const auto &[sa, first_sample, first_m] :
       std::vector<std::tuple<int, int, int>>{{5, 2, 3}, {-5, -1, 1}}) {
    signal_rec *a = make(va, sa);
    signal_rec *b = make(vb, 0);
    signal_rec *y = Convolve_decimate(sys, a, b, 4, scale);
    std::vector<double> ref(14 / 4 + 1, 0.0);
    for (size_t j = 0, m = static_cast<size_t>(first_m); m < full.size(); j++, m += 4)
      ref[j] = scale * full[m];
    expect_signal_near(y, first_sample, ref, kSumTolerance,
                       "D = 4, start sum " + std::to_string(sa));
    EXPECT_DOUBLE_EQ(y->fs, sys->fs / 4);
    for (signal_rec *s : {y, b, a}) free_signal(sys, s);
  }
}

TEST_F(SignalsTest, DecimatedConvolutionWithAbsentOperandIsZeroInTheDecimatedShape) {
  signal_rec *a = make({1, 2, 3, 4, 5, 6, 7, 8, 9}, 5);
  signal_rec *y = Convolve_decimate(sys, nullptr, a, 4, 1.0);
  expect_signal_near(y, 2, {0, 0, 0}, 0.0, "absent a");
  EXPECT_EQ(Convolve_decimate(sys, nullptr, nullptr, 4, 1.0), nullptr);
  free_signal(sys, y);
  free_signal(sys, a);
}

TEST_F(SignalsTest, DecimationFactorBelowOneIsFatal) {
  signal_rec *a = make({1, 2}, 0);
  EXPECT_EXIT(
      {
        dup2(2, 1);
        Convolve_decimate(sys, a, a, 0, 1.0);
      },
      testing::ExitedWithCode(255),
      "^Fatal error: Convolve_decimate: decimation factor 0 is below 1 \n$");
  EXPECT_EXIT(
      {
        dup2(2, 1);
        sum_responses_decimated(sys, a, a, -2, 0, 1.0);
      },
      testing::ExitedWithCode(255),
      "^Fatal error: sum_responses_decimated: decimation factor -2 is below 1 \n$");
  free_signal(sys, a);
}

// ---------------------------------------------------------------------------
// FFT
// ---------------------------------------------------------------------------

// Rounding of a radix-2 transform grows like log N; the twiddle recurrence
// and the 15-digit 2 pi add a little more. The required agreement:
constexpr double kDftTolerance = 1e-12;
constexpr double kRoundTripTolerance = 1e-13;

TEST_F(SignalsTest, RealTransformAgreesWithDirectDftFrom4To65536Points) {
  double worst = 0.0;
  for (int N = 4; N <= 65536; N *= 2) {
    const std::vector<double> x = random_values(rng, N - N / 8);  // zero-padded tail
    signal_rec *s = make(x, 17);
    signal_rec *X = Find_FFT(sys, s, N);
    ASSERT_EQ(X->no_samples, N);
    EXPECT_EQ(X->start_sample, 17);
    std::vector<cplx> input(static_cast<size_t>(N), 0);
    for (size_t j = 0; j < x.size(); j++) input[j] = x[j];
    const DirectDft dft(N);
    long double error = 0;
    long double peak = 0;
    for (int k : bins_to_check(N, N / 2, rng)) {
      const cplx ref = dft.bin(input, k, +1);
      cplx got;
      if (k == 0)
        got = X->values[0];
      else if (k == N / 2)
        got = X->values[1];
      else
        got = cplx(X->values[2 * k], X->values[2 * k + 1]);
      error = std::max(error, std::abs(got - ref));
      peak = std::max(peak, std::abs(ref));
    }
    const double relative = static_cast<double>(error / peak);
    EXPECT_LE(relative, kDftTolerance) << "N = " << N;
    worst = std::max(worst, relative);
    RecordProperty("dft_error_N" + std::to_string(N), scientific(relative));
    free_signal(sys, X);
    free_signal(sys, s);
  }
  RecordProperty("dft_error_worst", scientific(worst));
}

TEST_F(SignalsTest, ComplexTransformAgreesWithDirectDftForBothSigns) {
  for (int nn : {1, 2, 8, 512, 4096}) {
    const std::vector<double> x = random_values(rng, 2 * nn);
    std::vector<cplx> input(static_cast<size_t>(nn));
    for (int j = 0; j < nn; j++) input[static_cast<size_t>(j)] = cplx(x[2 * j], x[2 * j + 1]);
    const DirectDft dft(nn);
    for (int sign : {+1, -1}) {
      std::vector<double> data = x;
      four1(data.data(), nn, sign);
      long double error = 0;
      long double peak = 0;
      for (int k = 0; k < nn; k++) {
        const cplx ref = dft.bin(input, k, sign);
        error = std::max(error, std::abs(cplx(data[2 * k], data[2 * k + 1]) - ref));
        peak = std::max(peak, std::abs(ref));
      }
      EXPECT_LE(static_cast<double>(error / peak), kDftTolerance)
          << "nn " << nn << " sign " << sign;
    }
  }
}

TEST_F(SignalsTest, ForwardThenInverseReturnsTheSamplesFrom4To65536Points) {
  double worst = 0.0;
  for (int N = 4; N <= 65536; N *= 2) {
    const std::vector<double> x = random_values(rng, N / 2 + 1);
    signal_rec *s = make(x, -3);
    signal_rec *X = Find_FFT(sys, s, N);
    EXPECT_EQ(Inverse_FFT(X, N), X);
    std::vector<double> ref(static_cast<size_t>(N), 0.0);
    std::copy(x.begin(), x.end(), ref.begin());
    double error = 0.0;
    for (int j = 0; j < N; j++) error = std::max(error, std::fabs(X->values[j] - ref[j]));
    double peak = 0.0;
    for (double v : x) peak = std::max(peak, std::fabs(v));
    EXPECT_LE(error / peak, kRoundTripTolerance) << "N = " << N;
    worst = std::max(worst, error / peak);
    EXPECT_EQ(X->start_sample, -3);
    free_signal(sys, X);
    free_signal(sys, s);
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

TEST_F(SignalsTest, TransformOfSignalLongerThanItsLengthIsFatal) {
  signal_rec *s = make(std::vector<double>(9, 1.0), 0);
  EXPECT_EXIT(
      {
        dup2(2, 1);
        Find_FFT(sys, s, 8);
      },
      testing::ExitedWithCode(255),
      "^Fatal error: Find_FFT: a signal of 9 samples cannot be transformed with length 8 \n$");
  free_signal(sys, s);
}

// ---------------------------------------------------------------------------
// FFT convolution
// ---------------------------------------------------------------------------

// The FFT forms carry 1/fs; their rounding is that of the transforms.
constexpr double kFftConvolutionTolerance = 1e-12;

std::vector<double> divided_by(std::vector<double> v, double fs) {
  for (double &x : v) x /= fs;
  return v;
}

TEST_F(SignalsTest, FftConvolutionEqualsDirectConvolutionOverFs) {
  for (const auto &[na, nb] :
       std::vector<std::pair<int, int>>{{1, 1}, {2, 2}, {3, 1}, {300, 200}, {1000, 37}}) {
    const std::vector<double> va = random_values(rng, na);
    const std::vector<double> vb = random_values(rng, nb);
    signal_rec *a = make(va, 40);
    signal_rec *b = make(vb, -9);
    const std::vector<double> ref = divided_by(reference_convolution(va, vb), sys->fs);
    const std::string shape = std::to_string(na) + " x " + std::to_string(nb);

    signal_rec *y = fast_convolute(sys, a, b);
    expect_signal_near(y, 31, ref, kFftConvolutionTolerance, "fast_convolute " + shape);
    signal_rec *slot = nullptr;
    signal_rec *z = fast_dft_convolute(sys, a, b, &slot);
    expect_signal_near(z, 31, ref, kFftConvolutionTolerance, "fast_dft_convolute " + shape);
    signal_rec *fa = alloc_signal(sys, 1, 0);
    signal_rec *fb = alloc_signal(sys, 1, 0);
    signal_rec *out = alloc_signal(sys, 1, 0);
    fast_fft_convolute(sys, a, b, fa, fb, out);
    expect_signal_near(out, 31, ref, kFftConvolutionTolerance, "fast_fft_convolute " + shape);
    for (signal_rec *s : {out, fb, fa, z, slot, y, b, a}) free_signal(sys, s);
  }
}

TEST_F(SignalsTest, OneSampleFftConvolutionIsTheProductOverFs) {
  signal_rec *a = make({3.0}, 4);
  signal_rec *b = make({-2.5}, -1);
  signal_rec *y = fast_convolute(sys, a, b);
  expect_signal_near(y, 3, {-7.5 / sys->fs}, 1e-15, "one-sample FFT product");
  for (signal_rec *s : {y, b, a}) free_signal(sys, s);
}

TEST_F(SignalsTest, SameSignalTwiceIsTransformedOnce) {
  const std::vector<double> va = random_values(rng, 50);
  signal_rec *a = make(va, 7);
  const int32_t calls = sys->signal_alloc_calls;
  signal_rec *y = fast_convolute(sys, a, a);
  EXPECT_EQ(sys->signal_alloc_calls, calls + 1);
  expect_signal_near(y, 14, divided_by(reference_convolution(va, va), sys->fs),
                     kFftConvolutionTolerance, "squared spectrum");
  free_signal(sys, y);
  free_signal(sys, a);
}

TEST_F(SignalsTest, LongerCachedSpectrumIsReadAtTheBinsOfTheSameFrequency) {
  const std::vector<double> va = random_values(rng, 30);
  const std::vector<double> vb = random_values(rng, 20);
  signal_rec *a = make(va, 0);
  signal_rec *b = make(vb, 5);
  const int N = Find_N(50, 0);
  signal_rec *exact = Find_FFT(sys, b, N);
  signal_rec *longer = Find_FFT(sys, b, 4 * N);
  signal_rec *kept = longer;
  signal_rec *y1 = fast_dft_convolute(sys, a, b, &exact);
  signal_rec *y4 = fast_dft_convolute(sys, a, b, &longer);
  EXPECT_EQ(longer, kept);  // long enough: not transformed again
  EXPECT_EQ(longer->no_samples, 4 * N);
  expect_signal_near(y4, 5, std::vector<double>(y1->values, y1->values + y1->no_samples),
                     kFftConvolutionTolerance, "4N cache against N cache");
  expect_signal_near(y4, 5, divided_by(reference_convolution(va, vb), sys->fs),
                     kFftConvolutionTolerance, "4N cache against direct");

  // Multiply_FFTs on its own: shorter length, summed start, 1/fs.
  signal_rec *A = Find_FFT(sys, a, N);
  signal_rec *P = Multiply_FFTs(sys, longer, A);
  EXPECT_EQ(P->no_samples, N);
  EXPECT_EQ(P->start_sample, 5);
  EXPECT_NEAR(P->values[0], longer->values[0] * A->values[0] / sys->fs, 1e-12 * fabs(P->values[0]));
  EXPECT_NEAR(P->values[1], longer->values[1] * A->values[1] / sys->fs, 1e-12 * fabs(P->values[1]));
  for (signal_rec *s : {P, A, y4, y1, longer, exact, b, a}) free_signal(sys, s);
}

TEST_F(SignalsTest, CachedSpectrumIsRenewedOnlyWhenTooShort) {
  const std::vector<double> vb = random_values(rng, 20);
  signal_rec *b = make(vb, 0);
  signal_rec *a = make(random_values(rng, 12), 0);
  signal_rec *slot = Find_FFT(sys, b, 32);  // holds 32 >= 12 + 20
  signal_rec *first = slot;
  signal_rec *y = fast_dft_convolute(sys, a, b, &slot);
  EXPECT_EQ(slot, first);
  free_signal(sys, y);

  signal_rec *longer_a = make(random_values(rng, 13), 0);  // needs 33
  y = fast_dft_convolute(sys, longer_a, b, &slot);
  EXPECT_NE(slot, first);
  EXPECT_EQ(slot->no_samples, 64);
  EXPECT_EQ(first->in_use, 0);  // the old spectrum went back to the pool
  for (signal_rec *s : {y, slot, longer_a, a, b}) free_signal(sys, s);
}

TEST_F(SignalsTest, AbsentOperandOfFftConvolutionGivesZerosShapedLikeTheOther) {
  signal_rec *a = make({1, 2, 3}, 8);
  signal_rec *slot = nullptr;
  signal_rec *y1 = fast_convolute(sys, nullptr, a);
  signal_rec *y2 = fast_dft_convolute(sys, a, nullptr, &slot);
  signal_rec *y3 = fast_dft_convolute(sys, nullptr, a, &slot);
  for (signal_rec *y : {y1, y2, y3}) expect_signal_near(y, 8, {0, 0, 0}, 0.0, "absent operand");
  EXPECT_EQ(slot, nullptr);
  EXPECT_EQ(fast_convolute(sys, nullptr, nullptr), nullptr);
  signal_rec *out = make({4, 4, 4, 4, 4}, 1);
  signal_rec *fa = alloc_signal(sys, 4, 0);
  signal_rec *fb = alloc_signal(sys, 4, 0);
  EXPECT_EQ(fast_fft_convolute(sys, a, nullptr, fa, fb, out), out);
  expect_signal_near(out, 8, {0, 0, 0}, 0.0, "fast_fft_convolute, absent b");
  for (signal_rec *s : {fb, fa, out, y3, y2, y1, a}) free_signal(sys, s);
}

TEST_F(SignalsTest, PerPointPathTakesNoNewSignalsOnceBuffersHaveGrown) {
  const std::vector<double> pulse = random_values(rng, 200);
  signal_rec *P = make(pulse, 0);
  signal_rec *slot = Find_FFT(sys, P, Find_N(500, 0));
  signal_rec *response = make(random_values(rng, 300), 1000);
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
  EXPECT_EQ(sys->signal_alloc_calls, calls + 10);  // one pool signal per point

  // With caller-supplied buffers not even the pool is asked.
  signal_rec *fa = alloc_signal(sys, 1, 0);
  signal_rec *fb = alloc_signal(sys, 1, 0);
  signal_rec *out = alloc_signal(sys, 1, 0);
  fast_fft_convolute(sys, response, P, fa, fb, out);
  const int32_t calls_after = sys->signal_alloc_calls;
  const int64_t bytes_after = sys->signal_bytes;
  for (int point = 0; point < 10; point++) fast_fft_convolute(sys, response, P, fa, fb, out);
  EXPECT_EQ(sys->signal_alloc_calls, calls_after);
  EXPECT_EQ(sys->signal_bytes, bytes_after);
  for (signal_rec *s : {out, fb, fa, response, slot, P}) free_signal(sys, s);
}

TEST_F(SignalsTest, ConcurrentConvolutionsShareOneCachedSpectrum) {
  constexpr int kThreads = 4;
  constexpr int kPoints = 25;
  signal_rec *P = make(random_values(rng, 64), 2);
  std::vector<signal_rec *> responses;
  for (int i = 0; i < kThreads * kPoints; i++)
    responses.push_back(make(random_values(rng, 40 + i % 7), 100 + i));

  // Each thread starts from an absent spectrum in the shared slot: the first
  // to take fft_mutex makes it, the others use it.
  signal_rec *shared = nullptr;
  std::vector<signal_rec *> results(responses.size(), nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([&, t] {
      for (int i = t * kPoints; i < (t + 1) * kPoints; i++)
        results[static_cast<size_t>(i)] =
            fast_dft_convolute(sys, responses[static_cast<size_t>(i)], P, &shared);
    });
  for (std::thread &thread : threads) thread.join();

  signal_rec *single = nullptr;
  for (size_t i = 0; i < responses.size(); i++) {
    signal_rec *y = fast_dft_convolute(sys, responses[i], P, &single);
    ASSERT_EQ(results[i]->no_samples, y->no_samples);
    EXPECT_EQ(results[i]->start_sample, y->start_sample);
    for (int j = 0; j < y->no_samples; j++)
      ASSERT_EQ(results[i]->values[j], y->values[j]) << "point " << i << " sample " << j;
    free_signal(sys, y);
    free_signal(sys, results[i]);
    free_signal(sys, responses[i]);
  }
  free_signal(sys, single);
  free_signal(sys, shared);
  free_signal(sys, P);
}

// ---------------------------------------------------------------------------
// Decimated summation
// ---------------------------------------------------------------------------

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
  for (signal_rec *s : {fresh, grown, inside}) free_signal(sys, s);
}

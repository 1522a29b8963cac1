// Tests of the frame transforms of the per-element echoes (field/frame_fft.h)
// against a direct DFT, and of the lane helpers of base/simd.h against their
// one-value forms.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "base/simd.h"
#include "field/frame_fft.h"
#include "support/oracles.h"

using namespace sonvar;  // the library internals under test

using sonvar_test::cplx;
using sonvar_test::DirectDft;

namespace {

// Samples of up to 1 in magnitude give bins up to kFrame; the transforms
// round to about 1e-16 of that per stage.
constexpr double kBinTolerance = 1e-12;
constexpr double kSampleTolerance = 1e-14;
constexpr double kUntouched = 7.0;

std::vector<std::vector<double>> random_frames(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<std::vector<double>> frames(kLanes, std::vector<double>(kFrame));
  for (auto &frame : frames)
    for (double &v : frame) v = u(rng);
  return frames;
}

// The spectra of kLanes frames, each kSpectrum values (kBins re from 0, kBins
// im from kImag), by the direct DFT with exp(-2 pi i j k / kFrame).
std::vector<double> direct_spectra(const std::vector<std::vector<double>> &frames) {
  const DirectDft dft(kFrame, -1);
  std::vector<double> spectra(kLanes * kSpectrum);
  for (int l = 0; l < kLanes; l++)
    for (int k = 0; k < kBins; k++) {
      const cplx X = dft.bin(frames[l], k);
      spectra[l * kSpectrum + k] = static_cast<double>(X.real());
      spectra[l * kSpectrum + kImag + k] = static_cast<double>(X.imag());
    }
  return spectra;
}

TEST(FrameFft, ForwardGivesTheDirectTransformOfEachLane) {
  const auto frames = random_frames(11);
  const std::vector<double> ref = direct_spectra(frames);
  for (const int lanes : {1, 3, kLanes}) {
    SCOPED_TRACE("lanes " + std::to_string(lanes));
    LaneFrames work;
    work.clear();
    for (int l = 0; l < kLanes; l++)
      for (int j = 0; j < kFrame; j++) work.put(l, j, frames[l][j]);
    std::vector<double> out(kLanes * kSpectrum, kUntouched);
    work.forward(out.data(), lanes);
    double worst = 0.0;
    for (int l = 0; l < lanes; l++)
      for (int k = 0; k < kBins; k++)
        for (int half : {0, kImag}) {
          const int i = l * kSpectrum + half + k;
          worst = std::max(worst, std::fabs(out[i] - ref[i]));
        }
    EXPECT_LT(worst, kBinTolerance);
    // DC and Nyquist are real.
    for (int l = 0; l < lanes; l++) {
      EXPECT_EQ(out[l * kSpectrum + kImag], 0.0);
      EXPECT_EQ(out[l * kSpectrum + kImag + kHalfFrame], 0.0);
    }
    // Only the asked lanes are written.
    for (int i = lanes * kSpectrum; i < kLanes * kSpectrum; i++) ASSERT_EQ(out[i], kUntouched);
  }
}

TEST(FrameFft, InverseGivesTheSamplesOfEachSpectrum) {
  const auto frames = random_frames(12);
  const std::vector<double> spectra = direct_spectra(frames);
  for (const int lanes : {2, kLanes}) {
    SCOPED_TRACE("lanes " + std::to_string(lanes));
    const double *s[kLanes];
    for (int l = 0; l < lanes; l++) s[l] = &spectra[l * kSpectrum];
    LaneFrames work;
    work.inverse(s, lanes);
    double worst = 0.0;
    for (int l = 0; l < kLanes; l++)
      for (int j = 0; j < kFrame; j++) {
        // The lanes without a spectrum count as zero.
        const double expected = l < lanes ? frames[l][j] : 0.0;
        worst = std::max(worst, std::fabs(work.get(l, j) - expected));
      }
    EXPECT_LT(worst, kSampleTolerance);
  }
}

// One bin alone: DC gives 1/kFrame at every sample, Nyquist (-1)^j/kFrame,
// bin k the cosine 2 cos(2 pi k j / kFrame)/kFrame and the imaginary unit
// at bin k the sine -2 sin(2 pi k j / kFrame)/kFrame.
TEST(FrameFft, InverseOfSingleBinsIsTheirWave) {
  const long double pi = 3.141592653589793238462643383279502884L;
  struct Bin {
    int k;
    bool imaginary;
  };
  for (const Bin b : {Bin{0, false}, Bin{kHalfFrame, false}, Bin{1, false}, Bin{37, true},
                      Bin{kHalfFrame - 1, true}}) {
    SCOPED_TRACE("bin " + std::to_string(b.k) + (b.imaginary ? " imaginary" : " real"));
    std::vector<double> spectrum(kSpectrum, 0.0);
    spectrum[(b.imaginary ? kImag : 0) + b.k] = 1.0;
    const double *s[1] = {spectrum.data()};
    LaneFrames work;
    work.inverse(s, 1);
    double worst = 0.0;
    for (int j = 0; j < kFrame; j++) {
      const long double angle = 2 * pi * b.k * j / kFrame;
      const long double edge = (b.k == 0 || b.k == kHalfFrame) ? 1 : 2;
      const long double expected =
          (b.imaginary ? -edge * std::sin(angle) : edge * std::cos(angle)) / kFrame;
      worst = std::max(worst, static_cast<double>(std::fabs(work.get(0, j) - expected)));
    }
    EXPECT_LT(worst, 1e-17);
  }
}

// The four-lane forms of base/simd.h give each lane what the one-value form
// gives: the exact step of the sample times (also where it refuses one),
// abs (the sign bit of -0 and of NaN cleared), floor, ceil and sqrt.
TEST(LaneHelpers, FourLanesAgreeWithOneValue) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> start(-0.1, 1.2);
  std::uniform_real_distribution<double> steps(1.0, 3000.0);
  const double fs[] = {100e6, 40e6, 123.456e6, 1e9, 1.0};
  int exact = 0;
  for (int trial = 0; trial < 20000; trial++) {
    const double dt = 1 / fs[trial % 5];
    Lanes4 o0, n;
    for (int q = 0; q < 4; q++) {
      o0[q] = trial % 7 == 0 ? (q + 1) * 0.25 : start(rng);  // ends of a binade too
      n[q] = std::floor(steps(rng));
    }
    const Lanes4 four = exact_step(o0, dt, n);
    for (int q = 0; q < 4; q++) {
      const double one = exact_step(o0[q], dt, n[q]);
      ASSERT_EQ(four[q], one) << "o0 " << o0[q] << " dt " << dt << " n " << n[q];
      exact += one != 0;
    }
  }
  EXPECT_GT(exact, 10000);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Lanes4 v = {-0.0, -2.5, nan, -nan};
  const Lanes4 a = sonvar::abs(v), f = sonvar::floor(v), c = sonvar::ceil(v);
  for (int q = 0; q < 4; q++) {
    EXPECT_FALSE(std::signbit(a[q])) << q;
    if (!std::isnan(v[q])) {
      EXPECT_EQ(a[q], std::fabs(v[q]));
      EXPECT_EQ(f[q], std::floor(v[q]));
      EXPECT_EQ(c[q], std::ceil(v[q]));
    }
  }
  const Lanes4 r = sonvar::sqrt(Lanes4{2.0, 0.25, 1e-300, 9.0});
  EXPECT_EQ(r[0], std::sqrt(2.0));
  EXPECT_EQ(r[3], 3.0);
  const Lanes4 picked = select(Lanes4{1, 2, 3, 4} > 2.5, Lanes4{10, 20, 30, 40}, Lanes4{});
  EXPECT_EQ(picked[1], 0.0);
  EXPECT_EQ(picked[2], 30.0);
}

// The eight-lane forms, written with the four-lane ones, give every lane
// (the upper four too) the bits the one-value form gives.
TEST(LaneHelpers, EightLanesAgreeWithOneValue) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Lanes8 v = {-0.0, -2.5, nan, -nan, 7.25, -1e300, 0.5, 1e-310};
  const Lanes8 a = sonvar::abs(v), f = sonvar::floor(v), c = sonvar::ceil(v);
  const Lanes8 r = sonvar::sqrt(a), back = lanes_of_bits(bits_of(v));
  const Lanes8 o0 = {0.25, 0.3, 0.7, 0.999, 0.5, 0.126, 1e-3, 0.9};
  const Lanes8 n = {100, 7, 3000, 2, 1, 250, 40, 999};
  const Lanes8 step = exact_step(o0, 1 / 40e6, n);
  for (int q = 0; q < 8; q++) {
    EXPECT_EQ(bits_of(a[q]), bits_of(sonvar::abs(v[q]))) << q;
    EXPECT_EQ(bits_of(back[q]), bits_of(v[q])) << q;
    EXPECT_EQ(bits_of(step[q]), bits_of(exact_step(o0[q], 1 / 40e6, n[q]))) << q;
    if (std::isnan(v[q])) continue;
    EXPECT_EQ(f[q], std::floor(v[q])) << q;
    EXPECT_EQ(c[q], std::ceil(v[q])) << q;
    EXPECT_EQ(r[q], std::sqrt(std::fabs(v[q]))) << q;
  }
}

}  // namespace

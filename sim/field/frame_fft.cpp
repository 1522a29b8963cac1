// frame_fft.cpp - the frame transforms of the per-element echoes: kLanes
// complex transforms of kHalfFrame points side by side (radix 4), and the
// split that makes real spectra of them and back.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/constants.h"
#include "base/simd.h"
#include "field/frame_fft.h"

namespace sonvar {

static_assert(sizeof(Lanes8) == kLanes * sizeof(double), "one vector holds the lanes");

namespace {

// Twiddles of the transforms and the digit reversal of the inner one.
struct FramePlan {
  // The row (point of every lane) that holds point k of the transform's
  // output: its base-4 digits reversed.
  int row[kHalfFrame];
  // exp(-2 pi i j / kHalfFrame), j < kHalfFrame.
  double cos[kHalfFrame];
  double sin[kHalfFrame];
  // exp(-2 pi i k / kFrame) for the split of the real transform.
  double split_cos[kBins];
  double split_sin[kBins];
  FramePlan() {
    for (int i = 0; i < kHalfFrame; i++) {
      int r = 0;
      for (int v = i, n = 1; n < kHalfFrame; n *= 4, v >>= 2) r = 4 * r + (v & 3);
      row[i] = r;
      cos[i] = std::cos(kTwoPi * i / kHalfFrame);
      sin[i] = -std::sin(kTwoPi * i / kHalfFrame);
    }
    for (int k = 0; k < kBins; k++) {
      split_cos[k] = std::cos(kTwoPi * k / kFrame);
      split_sin[k] = -std::sin(kTwoPi * k / kFrame);
    }
  }
};

const FramePlan &frame_plan() {
  static const FramePlan plan;
  return plan;
}

// (r + i q) times (c + i sn), in place.
SONVAR_LANE_HELPER void turn(double c, double sn, Lanes8 &r, Lanes8 &q) {
  const Lanes8 t = c * r - sn * q;
  q = c * q + sn * r;
  r = t;
}

// r[i][j] becomes r[j][i]: eight values of one lane at eight points into
// one vector per lane and back (pairs, then twos, then fours swapped).
SONVAR_LANE_HELPER void transpose8(Lanes8 *r) {
  Lanes8 t[8], u[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = __builtin_shufflevector(r[i], r[i + 1], 0, 8, 2, 10, 4, 12, 6, 14);
    t[i + 1] = __builtin_shufflevector(r[i], r[i + 1], 1, 9, 3, 11, 5, 13, 7, 15);
  }
  for (int i = 0; i < 8; i += 4)
    for (int j = 0; j < 2; j++) {
      u[i + j] = __builtin_shufflevector(t[i + j], t[i + j + 2], 0, 1, 8, 9, 4, 5, 12, 13);
      u[i + j + 2] = __builtin_shufflevector(t[i + j], t[i + j + 2], 2, 3, 10, 11, 6, 7, 14, 15);
    }
  for (int j = 0; j < 4; j++) {
    r[j] = __builtin_shufflevector(u[j], u[j + 4], 0, 1, 2, 3, 8, 9, 10, 11);
    r[j + 4] = __builtin_shufflevector(u[j], u[j + 4], 4, 5, 6, 7, 12, 13, 14, 15);
  }
}

// kLanes complex transforms of kHalfFrame points in place, point n of lane
// l at [n kLanes + l] (re and im apart); the inverse without the 1/n.
// Radix 4, decimation in frequency: the points go in in their order and
// come out in the rows of FramePlan::row (base-4 digits reversed), which
// the splits and the samples read through that table.
// The first stage reads the points from (from_re, from_im), which may be
// (re, im) themselves.
SONVAR_WIDE_VECTOR_CLONES void lanes_transform(const double *from_re, const double *from_im,
                                               double *re, double *im, bool inverse) {
  static_assert(kHalfFrame == 256, "four radix-4 stages");
  const FramePlan &p = frame_plan();
  const double sign = inverse ? -1.0 : 1.0;
  for (int quarter = kHalfFrame / 4, stride = 1; quarter >= 1; quarter /= 4, stride *= 4) {
    const int q = quarter * kLanes;
    const double *source_re = stride == 1 ? from_re : re;
    const double *source_im = stride == 1 ? from_im : im;
    for (int g = 0; g < kHalfFrame; g += 4 * quarter)
      for (int m = 0; m < quarter; m++) {
        const int o = (g + m) * kLanes;
        const double *a0 = source_re + o, *b0 = source_im + o;
        double *r0 = re + o, *i0 = im + o;
        const Lanes8 x0r = load<Lanes8>(a0), x0i = load<Lanes8>(b0);
        const Lanes8 x1r = load<Lanes8>(a0 + q), x1i = load<Lanes8>(b0 + q);
        const Lanes8 x2r = load<Lanes8>(a0 + 2 * q), x2i = load<Lanes8>(b0 + 2 * q);
        const Lanes8 x3r = load<Lanes8>(a0 + 3 * q), x3i = load<Lanes8>(b0 + 3 * q);
        const Lanes8 ar = x0r + x2r, ai = x0i + x2i, br = x0r - x2r, bi = x0i - x2i;
        const Lanes8 cr = x1r + x3r, ci = x1i + x3i;
        // (x1 - x3) times -i (forward) or i (inverse).
        const Lanes8 dr = sign * (x1i - x3i), di = sign * (x3r - x1r);
        Lanes8 y0r = ar + cr, y0i = ai + ci, y2r = ar - cr, y2i = ai - ci;
        Lanes8 y1r = br + dr, y1i = bi + di, y3r = br - dr, y3i = bi - di;
        if (m > 0) {
          const int j = m * stride;
          turn(p.cos[j], sign * p.sin[j], y1r, y1i);
          turn(p.cos[2 * j], sign * p.sin[2 * j], y2r, y2i);
          turn(p.cos[3 * j], sign * p.sin[3 * j], y3r, y3i);
        }
        store(r0, y0r);
        store(i0, y0i);
        store(r0 + q, y1r);
        store(i0 + q, y1i);
        store(r0 + 2 * q, y2r);
        store(i0 + 2 * q, y2i);
        store(r0 + 3 * q, y3r);
        store(i0 + 3 * q, y3i);
      }
  }
}

// The spectra of the first `lanes` lanes into out + l kSpectrum from the
// packed transform (re, im as lanes_transform leaves them): the transforms
// of the even (E) and odd (O) samples come out of the packed one, and
// X[k] = E[k] + exp(-2 pi i k / kFrame) O[k]. Eight bins of all lanes at
// once, turned round in registers into whole vectors of each lane.
SONVAR_WIDE_VECTOR_CLONES void split_forward(const double *re, const double *im, double *out,
                                             int lanes) {
  const FramePlan &p = frame_plan();
  static_assert(kHalfFrame % 8 == 0, "whole blocks of eight bins");
  for (int k0 = 0; k0 < kHalfFrame; k0 += 8) {
    Lanes8 xr[8], xi[8];
    for (int b = 0; b < 8; b++) {
      const int k = k0 + b;
      const Lanes8 ar = load<Lanes8>(re + p.row[k] * kLanes);
      const Lanes8 ai = load<Lanes8>(im + p.row[k] * kLanes);
      if (k == 0) {  // DC: E[0] + O[0], real
        xr[b] = ar + ai;
        xi[b] = Lanes8{};
        continue;
      }
      const Lanes8 br = load<Lanes8>(re + p.row[kHalfFrame - k] * kLanes);
      const Lanes8 bi = load<Lanes8>(im + p.row[kHalfFrame - k] * kLanes);
      const Lanes8 er = 0.5 * (ar + br), ei = 0.5 * (ai - bi);
      const Lanes8 orr = 0.5 * (ai + bi), oi = -0.5 * (ar - br);
      const double c = p.split_cos[k], s = p.split_sin[k];
      xr[b] = er + c * orr - s * oi;
      xi[b] = ei + c * oi + s * orr;
    }
    transpose8(xr);
    transpose8(xi);
    for (int l = 0; l < lanes; l++) {
      store(out + l * kSpectrum + k0, xr[l]);
      store(out + l * kSpectrum + kImag + k0, xi[l]);
    }
  }
  // Nyquist: E[0] - O[0], real.
  for (int l = 0; l < lanes; l++) {
    out[l * kSpectrum + kHalfFrame] = re[l] - im[l];
    out[l * kSpectrum + kImag + kHalfFrame] = 0.0;
  }
}

// The packed transform of the spectra s[l], l < lanes (the other lanes
// zero), into re and im, point k of lane l at [k kLanes + l]: the inverse
// of split_forward.
SONVAR_WIDE_VECTOR_CLONES void split_inverse(const double *const *s, int lanes, double *re,
                                             double *im) {
  const FramePlan &p = frame_plan();
  static_assert(kHalfFrame % 8 == 0, "whole blocks of eight bins");
  for (int k0 = 0; k0 < kHalfFrame; k0 += 8) {
    // Bins k0 + b and kHalfFrame - k0 - b of every lane, b < 8, by whole
    // vectors of each lane, turned into one vector of the lanes per bin.
    Lanes8 a_r[8], a_i[8], b_r[8], b_i[8];
    for (int l = 0; l < kLanes; l++) {
      if (l >= lanes) {
        a_r[l] = a_i[l] = b_r[l] = b_i[l] = Lanes8{};
        continue;
      }
      a_r[l] = load<Lanes8>(s[l] + k0);
      a_i[l] = load<Lanes8>(s[l] + kImag + k0);
      b_r[l] = load<Lanes8>(s[l] + kHalfFrame - k0 - 7);
      b_i[l] = load<Lanes8>(s[l] + kImag + kHalfFrame - k0 - 7);
      b_r[l] = __builtin_shufflevector(b_r[l], b_r[l], 7, 6, 5, 4, 3, 2, 1, 0);
      b_i[l] = __builtin_shufflevector(b_i[l], b_i[l], 7, 6, 5, 4, 3, 2, 1, 0);
    }
    transpose8(a_r);
    transpose8(a_i);
    transpose8(b_r);
    transpose8(b_i);
    for (int b = 0; b < 8; b++) {
      const int k = k0 + b;
      const Lanes8 ar = a_r[b], ai = a_i[b], br = b_r[b], bi = b_i[b];
      const Lanes8 er = 0.5 * (ar + br), ei = 0.5 * (ai - bi);
      const Lanes8 dr = 0.5 * (ar - br), di = 0.5 * (ai + bi);
      const double c = p.split_cos[k], sn = p.split_sin[k];
      const Lanes8 orr = dr * c + di * sn;
      const Lanes8 oi = di * c - dr * sn;
      const Lanes8 zr = er - oi, zi = ei + orr;
      store(re + k * kLanes, zr);
      store(im + k * kLanes, zi);
    }
  }
}

// The samples of every lane times scale into out[l kFrame + s]: each
// block of eight points of the eight lanes turned round in registers, so
// that each lane's samples are stored by whole vectors.
SONVAR_WIDE_VECTOR_CLONES void lane_samples(const double *re, const double *im, double *out,
                                            double scale) {
  const FramePlan &p = frame_plan();
  for (int k0 = 0; k0 < kHalfFrame; k0 += 8) {
    Lanes8 r[8], q[8];
    for (int i = 0; i < 8; i++) {
      r[i] = load<Lanes8>(re + p.row[k0 + i] * kLanes);
      q[i] = load<Lanes8>(im + p.row[k0 + i] * kLanes);
    }
    transpose8(r);
    transpose8(q);
    for (int l = 0; l < kLanes; l++) {
      // Samples 2 k0 .. 2 k0 + 15: the even ones from re, the odd ones from im.
      double *y = out + l * kFrame + 2 * k0;
      store(y, __builtin_shufflevector(r[l], q[l], 0, 8, 1, 9, 2, 10, 3, 11) * scale);
      store(y + 8, __builtin_shufflevector(r[l], q[l], 4, 12, 5, 13, 6, 14, 7, 15) * scale);
    }
  }
}

}  // namespace

void LaneFrames::forward(double *out, int lanes) {
  lanes_transform(in_re, in_im, re, im, false);
  split_forward(re, im, out, lanes);
}

void LaneFrames::inverse_unscaled(const double *const *s, int lanes) {
  split_inverse(s, lanes, re, im);
  lanes_transform(re, im, re, im, true);
}

double LaneFrames::get(int lane, int sample) const {
  const double *half = (sample & 1) != 0 ? im : re;
  return half[frame_plan().row[sample >> 1] * kLanes + lane];
}

void LaneFrames::samples_by_lane(double *out, double scale) const {
  lane_samples(re, im, out, scale);
}

void LaneFrames::inverse(const double *const *s, int lanes) {
  inverse_unscaled(s, lanes);
  const double scale = 1.0 / kHalfFrame;
  for (int i = 0; i < kHalfFrame * kLanes; i++) {
    re[i] *= scale;
    im[i] *= scale;
  }
}

}  // namespace sonvar

// frame_fft.cpp - the frame transforms of the per-element echoes: kLanes
// complex transforms of kHalfFrame points side by side (radix 2, two stages
// per pass), and the split that makes real spectra of them and back.
#include <cmath>
#include <cstring>

#include "base/constants.h"
#include "base/simd.h"
#include "field/frame_fft.h"

namespace sonvar {

static_assert(sizeof(Lanes8) == kLanes * sizeof(double), "one vector holds the lanes");

namespace {

// Twiddles of the transforms and the bit reversal of the inner transform.
struct FramePlan {
  int reversed[kHalfFrame];
  // Stage of span 2h uses stage_cos/sin[h - 1 + m], m < h: exp(-2 pi i m / 2h).
  double stage_cos[kHalfFrame];
  double stage_sin[kHalfFrame];
  // exp(-2 pi i k / kFrame) for the split of the real transform.
  double split_cos[kBins];
  double split_sin[kBins];
  FramePlan() {
    int bits = 0;
    while ((1 << bits) < kHalfFrame) bits++;
    for (int i = 0; i < kHalfFrame; i++) {
      int r = 0;
      for (int b = 0, v = i; b < bits; b++, v >>= 1) r = (r << 1) | (v & 1);
      reversed[i] = r;
    }
    for (int h = 1; h < kHalfFrame; h <<= 1)
      for (int m = 0; m < h; m++) {
        stage_cos[h - 1 + m] = std::cos(kTwoPi * m / (2 * h));
        stage_sin[h - 1 + m] = -std::sin(kTwoPi * m / (2 * h));
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

// One butterfly on eight lanes: (a, b) becomes (a + w b, a - w b), w = c + i sn.
SONVAR_LANE_HELPER void butterfly(double c, double sn, Lanes8 &ar, Lanes8 &ai, Lanes8 &br,
                                  Lanes8 &bi) {
  const Lanes8 tr = c * br - sn * bi, ti = c * bi + sn * br;
  br = ar - tr;
  bi = ai - ti;
  ar += tr;
  ai += ti;
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
SONVAR_WIDE_VECTOR_CLONES void lanes_transform(double *re, double *im, bool inverse) {
  const FramePlan &p = frame_plan();
  for (int i = 0; i < kHalfFrame; i++) {
    const int j = p.reversed[i];
    if (j <= i) continue;
    const Lanes8 ri = load<Lanes8>(re + i * kLanes);
    const Lanes8 ii = load<Lanes8>(im + i * kLanes);
    const Lanes8 rj = load<Lanes8>(re + j * kLanes);
    const Lanes8 ij = load<Lanes8>(im + j * kLanes);
    store(re + i * kLanes, rj);
    store(im + i * kLanes, ij);
    store(re + j * kLanes, ri);
    store(im + j * kLanes, ii);
  }
  // Two stages (spans 2h and 4h) per pass over the values: the same
  // butterflies in the same order for each value, half the loads and
  // stores.
  static_assert((kHalfFrame & 0x55555555) == kHalfFrame, "an even number of stages");
  const double sign = inverse ? -1.0 : 1.0;
  for (int h = 1; h < kHalfFrame; h <<= 2) {
    const double *c1 = p.stage_cos + h - 1, *s1 = p.stage_sin + h - 1;
    const double *c2 = p.stage_cos + 2 * h - 1, *s2 = p.stage_sin + 2 * h - 1;
    for (int i0 = 0; i0 < kHalfFrame; i0 += 4 * h)
      for (int m = 0; m < h; m++) {
        double *r0 = re + (i0 + m) * kLanes, *q0 = im + (i0 + m) * kLanes;
        double *r1 = r0 + h * kLanes, *q1 = q0 + h * kLanes;
        double *r2 = r1 + h * kLanes, *q2 = q1 + h * kLanes;
        double *r3 = r2 + h * kLanes, *q3 = q2 + h * kLanes;
        Lanes8 ar = load<Lanes8>(r0);
        Lanes8 ai = load<Lanes8>(q0);
        Lanes8 br = load<Lanes8>(r1);
        Lanes8 bi = load<Lanes8>(q1);
        Lanes8 cr = load<Lanes8>(r2);
        Lanes8 ci = load<Lanes8>(q2);
        Lanes8 dr = load<Lanes8>(r3);
        Lanes8 di = load<Lanes8>(q3);
        // span 2h: (a, b) and (c, d), twiddle m
        butterfly(c1[m], sign * s1[m], ar, ai, br, bi);
        butterfly(c1[m], sign * s1[m], cr, ci, dr, di);
        // span 4h: (a, c) with twiddle m, (b, d) with twiddle m + h
        butterfly(c2[m], sign * s2[m], ar, ai, cr, ci);
        butterfly(c2[m + h], sign * s2[m + h], br, bi, dr, di);
        store(r0, ar);
        store(q0, ai);
        store(r1, br);
        store(q1, bi);
        store(r2, cr);
        store(q2, ci);
        store(r3, dr);
        store(q3, di);
      }
  }
}

// The spectra of the first `lanes` lanes into out + l kSpectrum from the
// packed transform (re, im as lanes_transform leaves them): the transforms
// of the even (E) and odd (O) samples come out of the packed one, and
// X[k] = E[k] + exp(-2 pi i k / kFrame) O[k]. All lanes at once.
SONVAR_WIDE_VECTOR_CLONES void split_forward(const double *re, const double *im, double *out,
                                             int lanes) {
  const FramePlan &p = frame_plan();
  for (int l = 0; l < lanes; l++) {
    out[l * kSpectrum] = re[l] + im[l];
    out[l * kSpectrum + kImag] = 0.0;
    out[l * kSpectrum + kHalfFrame] = re[l] - im[l];
    out[l * kSpectrum + kImag + kHalfFrame] = 0.0;
  }
  for (int k = 1; k < kHalfFrame; k++) {
    const Lanes8 ar = load<Lanes8>(re + k * kLanes);
    const Lanes8 ai = load<Lanes8>(im + k * kLanes);
    const Lanes8 br = load<Lanes8>(re + (kHalfFrame - k) * kLanes);
    const Lanes8 bi = load<Lanes8>(im + (kHalfFrame - k) * kLanes);
    const Lanes8 er = 0.5 * (ar + br), ei = 0.5 * (ai - bi);
    const Lanes8 orr = 0.5 * (ai + bi), oi = -0.5 * (ar - br);
    const double c = p.split_cos[k], s = p.split_sin[k];
    const Lanes8 xr = er + c * orr - s * oi;
    const Lanes8 xi = ei + c * oi + s * orr;
    for (int l = 0; l < lanes; l++) {
      out[l * kSpectrum + k] = xr[l];
      out[l * kSpectrum + kImag + k] = xi[l];
    }
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

}  // namespace

void LaneFrames::forward(double *out, int lanes) {
  lanes_transform(re, im, false);
  split_forward(re, im, out, lanes);
}

void LaneFrames::inverse(const double *const *s, int lanes) {
  split_inverse(s, lanes, re, im);
  lanes_transform(re, im, true);
  const double scale = 1.0 / kHalfFrame;
  for (int i = 0; i < kHalfFrame * kLanes; i++) {
    re[i] *= scale;
    im[i] *= scale;
  }
}

}  // namespace sonvar

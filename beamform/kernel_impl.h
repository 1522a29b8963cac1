// kernel_impl.h - the channel kernel, written once on the lanes of lanes.h
// and compiled by each kernel_*.cpp for its vector width. Include after
// lanes.h, inside no namespace.
//
// For a tile of pixels and one receiving element the kernel finds, block by
// block of pixels, the element's receive aperture at each pixel (F-number,
// clamped to the minimum and maximum width, checked across x and, for 2-D
// arrays, across y), skips the block when no pixel lies inside it or none is
// reached by the transmit, and forms the fractional sample
// k = start + |p - r| fs / c; then for every frame of the group it adds
// weight x interpolated value to the pixel's accumulator.
#ifndef SONVAR_BEAMFORM_KERNEL_IMPL_H
#define SONVAR_BEAMFORM_KERNEL_IMPL_H

#include "kernel.h"
#include "sonvar_beamform.h"

namespace sonvar_bf {
namespace SONVAR_BF_LANES_NAMESPACE {

constexpr double kTwoPi = 6.283185307179586476925286766559;

// cos(2 pi x) and sin(2 pi x): x less its nearest quarter turn q / 4 leaves
// an angle t in [-pi/4, pi/4], where the Taylor series through t^13 (sine)
// and t^14 (cosine) are exact to 2e-14; the quarter turns then swap and
// negate the pair. The series are summed in pairs of terms (Estrin's
// scheme), which keeps the chain of dependent operations short.
inline void cos_sin_2pi(V x, V &cos_out, V &sin_out) {
  const V q = nearest(x * splat(4.0));
  const V t = (x - q * splat(0.25)) * splat(kTwoPi);
  const V t2 = t * t, t4 = t2 * t2, t8 = t4 * t4;
  // sin t = t + t t2 (s0 + s1 t2 + ... + s5 t2^5), s_i = (-1)^(i+1) / (2i + 3)!
  const V s01 = splat(-1.0 / 6.0) + splat(1.0 / 120.0) * t2;
  const V s23 = splat(-1.0 / 5040.0) + splat(1.0 / 362880.0) * t2;
  const V s45 = splat(-1.0 / 39916800.0) + splat(1.0 / 6227020800.0) * t2;
  const V s = t + t * (t2 * (s01 + t4 * s23 + t8 * s45));
  // cos t = 1 + t2 (c0 + c1 t2 + ... + c6 t2^6), c_i = (-1)^(i+1) / (2i + 2)!
  const V c01 = splat(-0.5) + splat(1.0 / 24.0) * t2;
  const V c23 = splat(-1.0 / 720.0) + splat(1.0 / 40320.0) * t2;
  const V c45 = splat(-1.0 / 3628800.0) + splat(1.0 / 479001600.0) * t2;
  const V c6 = splat(-1.0 / 87178291200.0);
  const V c = splat(1.0) + t2 * (c01 + t4 * c23 + t8 * (c45 + t4 * c6));
  // The quarter turn modulo 4: 0 (c, s), 1 (-s, c), 2 (-c, -s), 3 (s, -c).
  const V m = q - splat(4.0) * floor(q * splat(0.25));
  const V zero = splat(0.0);
  const M odd = (m == splat(1.0)) | (m == splat(3.0));
  const V c1 = select(odd, s, c), s1 = select(odd, c, s);
  cos_out = select((m == splat(1.0)) | (m == splat(2.0)), zero - c1, c1);
  sin_out = select(m >= splat(2.0), zero - s1, s1);
}

// The receive window at rho in [-1, 1] (see sonvar_bf_options.window).
inline V window_lanes(const Aperture &aperture, V rho) {
  V c, s;
  if (aperture.window == SONVAR_BF_HANNING) {
    cos_sin_2pi(rho * splat(0.25), c, s);
    return c * c;
  }
  const double alpha = aperture.tukey_alpha;
  const V taper = abs(rho) - splat(1.0 - alpha);
  cos_sin_2pi(taper / splat(4.0 * alpha), c, s);
  return select(taper > splat(0.0), c * c, splat(1.0));
}

// The four weights of cubic convolution (Keys, a = -1/2) at the fraction u
// past the second of four samples.
inline void cubic_weights(V u, V &w0, V &w1, V &w2, V &w3) {
  const V half = splat(0.5);
  w0 = ((splat(1.0) - half * u) * u - half) * u;
  w1 = (splat(1.5) * u - splat(2.5)) * u * u + splat(1.0);
  w2 = ((splat(2.0) - splat(1.5) * u) * u + half) * u;
  w3 = (half * u - half) * u * u;
}

// What the first pass of the kernel leaves for the second, per pixel of the
// tile: the index of its sample, the fraction past it, the weight, and for
// IQ data the turn back to the modulation frequency; and the blocks of
// pixels that have anything to add.
struct Reads {
  alignas(64) int32_t index[kTilePixels];
  alignas(64) double fraction[kTilePixels];
  alignas(64) double weight[kTilePixels];
  alignas(64) double turn_cos[kTilePixels];
  alignas(64) double turn_sin[kTilePixels];
  int blocks[kTilePixels / kWidth];
  int count;
};

// First pass: for every block of pixels, the receive aperture, the
// fractional sample and the weight. The blocks are independent of one
// another, so the processor overlaps their long chains (square root, the
// turn's series).
template <bool kIq, int32_t kInterpolation, int kGeometry>
void find_reads(const ChannelPass &pass, Reads &reads) {
  constexpr bool kCubic = kInterpolation == SONVAR_BF_CUBIC;
  const Element &e = pass.element;
  const V ex = splat(e.x), ey = splat(e.y), ez = splat(e.z);
  const V inv_2f = splat(pass.aperture.inv_2f);
  const V half_min = splat(pass.aperture.half_min), half_max = splat(pass.aperture.half_max);
  const V fs_over_c = splat(pass.fs_over_c);
  const bool windowed = pass.aperture.window != SONVAR_BF_RECT;
  const bool two_d = kGeometry == kPlane || (kGeometry == kGeneral && pass.two_d);
  // Valid fractional samples: every sample the interpolation reads was recorded.
  const V first = splat(kCubic ? 1.0 : 0.0);
  const V limit = splat(kCubic ? pass.samples - 2.0 : pass.samples - 1.0);
  const V zero = splat(0.0);
  reads.count = 0;
  for (int j = 0; j < pass.lanes; j += kWidth) {
    const V tx_weight = load(pass.tx_weight + j);
    const V dx = load(pass.x + j) - ex;
    V across = dx, along = zero, half, distance_sq;
    M inside;
    if (kGeometry == kGeneral) {
      const V dy = load(pass.y + j) - ey, dz = load(pass.z + j) - ez;
      V axial = dz;
      along = dy;
      if (!pass.flat) {
        across = dx * splat(e.ux) + dy * splat(e.uy) + dz * splat(e.uz);
        along = dx * splat(e.vx) + dy * splat(e.vy) + dz * splat(e.vz);
        axial = dx * splat(e.nx) + dy * splat(e.ny) + dz * splat(e.nz);
      }
      half = min(max(axial * inv_2f, half_min), half_max);
      inside = (abs(across) <= half) & (axial > zero) & (tx_weight != zero);
      distance_sq = dx * dx + dy * dy + dz * dz;
    } else {
      half = load(pass.half + j);
      inside = (abs(across) <= half) & (half > zero) & (tx_weight != zero);
      distance_sq = dx * dx + load(pass.depth_sq + j);
      if (kGeometry == kPlane) {
        along = load(pass.y + j) - ey;
        distance_sq = distance_sq + along * along;
      }
    }
    if (two_d) inside = inside & (abs(along) <= half);
    if (!any(inside)) continue;
    const V k = load(pass.start + j) + sqrt(distance_sq) * fs_over_c;
    inside = inside & (k >= first) & (k < limit);
    if (!any(inside)) continue;
    const V read_at = select(inside, k, first);
    const V whole = floor(read_at);
    indices(whole, reads.index + j);
    store(reads.fraction + j, read_at - whole);
    V weight = tx_weight;
    if (windowed) {
      weight = weight * window_lanes(pass.aperture, select(inside, across / half, zero));
      if (two_d) weight = weight * window_lanes(pass.aperture, select(inside, along / half, zero));
    }
    store(reads.weight + j, select(inside, weight, zero));
    if (kIq && pass.turns) store(reads.turn_cos + j, read_at);  // turned below
    reads.blocks[reads.count++] = j;
  }
  // The turns in a loop of their own: its iterations are short and
  // independent, so the series of several blocks run at once.
  if (kIq && pass.turns) {
    for (int b = 0; b < reads.count; b++) {
      const int j = reads.blocks[b];
      V c, s;
      cos_sin_2pi(
          load(reads.turn_cos + j) * splat(pass.cycles_per_sample) + splat(pass.cycles_at_start), c,
          s);
      store(reads.turn_cos + j, c);
      store(reads.turn_sin + j, s);
    }
  }
}

// Second pass: every frame's interpolated value of every block with
// something to add, weighted into the accumulators.
template <bool kIq, int32_t kInterpolation>
void add_reads(const ChannelPass &pass, const Reads &reads) {
  constexpr bool kCubic = kInterpolation == SONVAR_BF_CUBIC;
  constexpr int kStep = kIq ? 2 : 1;  // doubles a sample
  for (int b = 0; b < reads.count; b++) {
    const int j = reads.blocks[b];
    const int32_t *index = reads.index + j;
    const V u = load(reads.fraction + j), weight = load(reads.weight + j);
    V w0, w1, w2, w3;
    if (kCubic) cubic_weights(u, w0, w1, w2, w3);
    for (int f = 0; f < pass.frames; f++) {
      const double *trace = pass.traces[f];
      double *real = pass.real + f * kTilePixels + j;
      if (!kIq) {
        V value;
        if (kCubic) {
          V a, b4, c, d;
          load4(trace - 1, index, kStep, a, b4, c, d);
          value = a * w0 + b4 * w1 + c * w2 + d * w3;
        } else {
          V a, b2;
          load2(trace, index, kStep, a, b2);
          value = a + u * (b2 - a);
        }
        store(real, load(real) + weight * value);
        continue;
      }
      V re, im;
      if (kCubic) {
        V r0, i0, r1, i1, r2, i2, r3, i3;
        load4(trace - kStep, index, kStep, r0, i0, r1, i1);
        load4(trace + kStep, index, kStep, r2, i2, r3, i3);
        re = r0 * w0 + r1 * w1 + r2 * w2 + r3 * w3;
        im = i0 * w0 + i1 * w1 + i2 * w2 + i3 * w3;
      } else {
        V r0, i0, r1, i1;
        load4(trace, index, kStep, r0, i0, r1, i1);
        re = r0 + u * (r1 - r0);
        im = i0 + u * (i1 - i0);
      }
      double *imag = pass.imag + f * kTilePixels + j;
      if (!pass.turns) {  // the analytic signal itself (no modulation frequency)
        store(real, load(real) + weight * re);
        store(imag, load(imag) + weight * im);
        continue;
      }
      const V c = load(reads.turn_cos + j), s = load(reads.turn_sin + j);
      store(real, load(real) + weight * (re * c - im * s));
      store(imag, load(imag) + weight * (re * s + im * c));
    }
  }
}

template <bool kIq, int32_t kInterpolation, int kGeometry>
void channel_kernel(const ChannelPass &pass) {
  Reads reads;
  find_reads<kIq, kInterpolation, kGeometry>(pass, reads);
  add_reads<kIq, kInterpolation>(pass, reads);
}

template <bool kIq, int32_t kInterpolation>
ChannelKernel pick_geometry(int geometry) {
  if (geometry == kLine) return channel_kernel<kIq, kInterpolation, kLine>;
  if (geometry == kPlane) return channel_kernel<kIq, kInterpolation, kPlane>;
  return channel_kernel<kIq, kInterpolation, kGeneral>;
}

inline ChannelKernel pick_kernel(bool iq, int32_t interpolation, int geometry) {
  if (iq)
    return interpolation == SONVAR_BF_CUBIC ? pick_geometry<true, SONVAR_BF_CUBIC>(geometry)
                                            : pick_geometry<true, SONVAR_BF_LINEAR>(geometry);
  return interpolation == SONVAR_BF_CUBIC ? pick_geometry<false, SONVAR_BF_CUBIC>(geometry)
                                          : pick_geometry<false, SONVAR_BF_LINEAR>(geometry);
}

}  // namespace SONVAR_BF_LANES_NAMESPACE
}  // namespace sonvar_bf

#endif  // SONVAR_BEAMFORM_KERNEL_IMPL_H

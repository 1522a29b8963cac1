// lanes.h - the beamformer's vector lanes: one type of doubles and its mask
// for 8 lanes (AVX-512), 4 lanes (AVX2) or 1 lane (plain C++), chosen by the
// flags the including source is compiled with. Every operation is a single
// IEEE operation per lane (no fused multiply-add, correctly rounded square
// root and division), so all widths give the same values bit for bit.
//
// Each source that includes this header defines SONVAR_BF_LANES_NAMESPACE
// first: the functions live in that namespace, so that copies compiled for
// different processors never stand in for one another at link time. Only
// intrinsics and compiler built-ins are used, nothing of the standard
// library.
#ifndef SONVAR_BEAMFORM_LANES_H
#define SONVAR_BEAMFORM_LANES_H

#include <cstdint>

#if !defined(SONVAR_BF_LANES_NAMESPACE)
#error "define SONVAR_BF_LANES_NAMESPACE before including lanes.h"
#endif

#if defined(__AVX512F__) && defined(__AVX512DQ__)
#define SONVAR_BF_WIDTH 8
// GCC 12 warns on the deliberately undefined vectors inside its own AVX-512
// intrinsics (its bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#elif defined(__AVX2__)
#define SONVAR_BF_WIDTH 4
#include <immintrin.h>
#else
#define SONVAR_BF_WIDTH 1
#endif

namespace sonvar_bf {
namespace SONVAR_BF_LANES_NAMESPACE {

constexpr int kWidth = SONVAR_BF_WIDTH;

#if SONVAR_BF_WIDTH == 8

struct V {
  __m512d v;
};
struct M {
  __mmask8 m;
};
inline V load(const double *p) {
  return {_mm512_loadu_pd(p)};
}
inline void store(double *p, V a) {
  _mm512_storeu_pd(p, a.v);
}
inline V splat(double a) {
  return {_mm512_set1_pd(a)};
}
inline V operator+(V a, V b) {
  return {_mm512_add_pd(a.v, b.v)};
}
inline V operator-(V a, V b) {
  return {_mm512_sub_pd(a.v, b.v)};
}
inline V operator*(V a, V b) {
  return {_mm512_mul_pd(a.v, b.v)};
}
inline V operator/(V a, V b) {
  return {_mm512_div_pd(a.v, b.v)};
}
inline V sqrt(V a) {
  return {_mm512_sqrt_pd(a.v)};
}
inline V abs(V a) {
  return {_mm512_abs_pd(a.v)};
}
inline V min(V a, V b) {
  return {_mm512_min_pd(a.v, b.v)};
}
inline V max(V a, V b) {
  return {_mm512_max_pd(a.v, b.v)};
}
inline V floor(V a) {
  return {_mm512_roundscale_pd(a.v, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC)};
}
inline V nearest(V a) {
  return {_mm512_roundscale_pd(a.v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC)};
}
inline M operator<=(V a, V b) {
  return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LE_OQ)};
}
inline M operator<(V a, V b) {
  return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ)};
}
inline M operator>(V a, V b) {
  return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ)};
}
inline M operator>=(V a, V b) {
  return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ)};
}
inline M operator!=(V a, V b) {
  return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_NEQ_UQ)};
}
inline M operator==(V a, V b) {
  return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_EQ_OQ)};
}
inline M operator&(M a, M b) {
  return {static_cast<__mmask8>(a.m & b.m)};
}
inline M operator|(M a, M b) {
  return {static_cast<__mmask8>(a.m | b.m)};
}
inline bool any(M a) {
  return a.m != 0;
}
// a where the mask is set, else b.
inline V select(M m, V a, V b) {
  return {_mm512_mask_blend_pd(m.m, b.v, a.v)};
}
// The lanes' whole values (already floored, within int32) as indices.
inline void indices(V whole, int32_t *out) {
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), _mm512_cvttpd_epi32(whole.v));
}
// base[s * i], base[s * i + 1] of every lane's index i.
inline void load2(const double *base, const int32_t *i, int s, V &a, V &b) {
  const __m128d p0 = _mm_loadu_pd(base + static_cast<int64_t>(s) * i[0]),
                p1 = _mm_loadu_pd(base + static_cast<int64_t>(s) * i[1]);
  const __m128d p2 = _mm_loadu_pd(base + static_cast<int64_t>(s) * i[2]),
                p3 = _mm_loadu_pd(base + static_cast<int64_t>(s) * i[3]);
  const __m128d p4 = _mm_loadu_pd(base + static_cast<int64_t>(s) * i[4]),
                p5 = _mm_loadu_pd(base + static_cast<int64_t>(s) * i[5]);
  const __m128d p6 = _mm_loadu_pd(base + static_cast<int64_t>(s) * i[6]),
                p7 = _mm_loadu_pd(base + static_cast<int64_t>(s) * i[7]);
  const __m512d even = _mm512_insertf64x2(
      _mm512_insertf64x2(_mm512_insertf64x2(_mm512_castpd128_pd512(p0), p2, 1), p4, 2), p6, 3);
  const __m512d odd = _mm512_insertf64x2(
      _mm512_insertf64x2(_mm512_insertf64x2(_mm512_castpd128_pd512(p1), p3, 1), p5, 2), p7, 3);
  a.v = _mm512_unpacklo_pd(even, odd);
  b.v = _mm512_unpackhi_pd(even, odd);
}
// base[s * i + 0 .. 3] of every lane's index i.
inline void load4(const double *base, const int32_t *i, int s, V &a, V &b, V &c, V &d) {
  const __m512d r04 = _mm512_insertf64x4(
      _mm512_castpd256_pd512(_mm256_loadu_pd(base + static_cast<int64_t>(s) * i[0])),
      _mm256_loadu_pd(base + static_cast<int64_t>(s) * i[4]), 1);
  const __m512d r15 = _mm512_insertf64x4(
      _mm512_castpd256_pd512(_mm256_loadu_pd(base + static_cast<int64_t>(s) * i[1])),
      _mm256_loadu_pd(base + static_cast<int64_t>(s) * i[5]), 1);
  const __m512d r26 = _mm512_insertf64x4(
      _mm512_castpd256_pd512(_mm256_loadu_pd(base + static_cast<int64_t>(s) * i[2])),
      _mm256_loadu_pd(base + static_cast<int64_t>(s) * i[6]), 1);
  const __m512d r37 = _mm512_insertf64x4(
      _mm512_castpd256_pd512(_mm256_loadu_pd(base + static_cast<int64_t>(s) * i[3])),
      _mm256_loadu_pd(base + static_cast<int64_t>(s) * i[7]), 1);
  const __m512d t0 = _mm512_unpacklo_pd(r04, r15), t1 = _mm512_unpackhi_pd(r04, r15);
  const __m512d t2 = _mm512_unpacklo_pd(r26, r37), t3 = _mm512_unpackhi_pd(r26, r37);
  const __m512i low = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
  const __m512i high = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
  a.v = _mm512_permutex2var_pd(t0, low, t2);
  b.v = _mm512_permutex2var_pd(t1, low, t3);
  c.v = _mm512_permutex2var_pd(t0, high, t2);
  d.v = _mm512_permutex2var_pd(t1, high, t3);
}

#elif SONVAR_BF_WIDTH == 4

struct V {
  __m256d v;
};
struct M {
  __m256d m;
};
inline V load(const double *p) {
  return {_mm256_loadu_pd(p)};
}
inline void store(double *p, V a) {
  _mm256_storeu_pd(p, a.v);
}
inline V splat(double a) {
  return {_mm256_set1_pd(a)};
}
inline V operator+(V a, V b) {
  return {_mm256_add_pd(a.v, b.v)};
}
inline V operator-(V a, V b) {
  return {_mm256_sub_pd(a.v, b.v)};
}
inline V operator*(V a, V b) {
  return {_mm256_mul_pd(a.v, b.v)};
}
inline V operator/(V a, V b) {
  return {_mm256_div_pd(a.v, b.v)};
}
inline V sqrt(V a) {
  return {_mm256_sqrt_pd(a.v)};
}
inline V abs(V a) {
  return {_mm256_andnot_pd(_mm256_set1_pd(-0.0), a.v)};
}
inline V min(V a, V b) {
  return {_mm256_min_pd(a.v, b.v)};
}
inline V max(V a, V b) {
  return {_mm256_max_pd(a.v, b.v)};
}
inline V floor(V a) {
  return {_mm256_round_pd(a.v, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC)};
}
inline V nearest(V a) {
  return {_mm256_round_pd(a.v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC)};
}
inline M operator<=(V a, V b) {
  return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)};
}
inline M operator<(V a, V b) {
  return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)};
}
inline M operator>(V a, V b) {
  return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)};
}
inline M operator>=(V a, V b) {
  return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)};
}
inline M operator!=(V a, V b) {
  return {_mm256_cmp_pd(a.v, b.v, _CMP_NEQ_UQ)};
}
inline M operator==(V a, V b) {
  return {_mm256_cmp_pd(a.v, b.v, _CMP_EQ_OQ)};
}
inline M operator&(M a, M b) {
  return {_mm256_and_pd(a.m, b.m)};
}
inline M operator|(M a, M b) {
  return {_mm256_or_pd(a.m, b.m)};
}
inline bool any(M a) {
  return _mm256_movemask_pd(a.m) != 0;
}
inline V select(M m, V a, V b) {
  return {_mm256_blendv_pd(b.v, a.v, m.m)};
}
inline void indices(V whole, int32_t *out) {
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm256_cvttpd_epi32(whole.v));
}
inline void load2(const double *base, const int32_t *i, int s, V &a, V &b) {
  const __m256d even = _mm256_insertf128_pd(
      _mm256_castpd128_pd256(_mm_loadu_pd(base + static_cast<int64_t>(s) * i[0])),
      _mm_loadu_pd(base + static_cast<int64_t>(s) * i[2]), 1);
  const __m256d odd = _mm256_insertf128_pd(
      _mm256_castpd128_pd256(_mm_loadu_pd(base + static_cast<int64_t>(s) * i[1])),
      _mm_loadu_pd(base + static_cast<int64_t>(s) * i[3]), 1);
  a.v = _mm256_unpacklo_pd(even, odd);
  b.v = _mm256_unpackhi_pd(even, odd);
}
inline void load4(const double *base, const int32_t *i, int s, V &a, V &b, V &c, V &d) {
  const __m256d r0 = _mm256_loadu_pd(base + static_cast<int64_t>(s) * i[0]),
                r1 = _mm256_loadu_pd(base + static_cast<int64_t>(s) * i[1]);
  const __m256d r2 = _mm256_loadu_pd(base + static_cast<int64_t>(s) * i[2]),
                r3 = _mm256_loadu_pd(base + static_cast<int64_t>(s) * i[3]);
  const __m256d t0 = _mm256_unpacklo_pd(r0, r1), t1 = _mm256_unpackhi_pd(r0, r1);
  const __m256d t2 = _mm256_unpacklo_pd(r2, r3), t3 = _mm256_unpackhi_pd(r2, r3);
  a.v = _mm256_permute2f128_pd(t0, t2, 0x20);
  b.v = _mm256_permute2f128_pd(t1, t3, 0x20);
  c.v = _mm256_permute2f128_pd(t0, t2, 0x31);
  d.v = _mm256_permute2f128_pd(t1, t3, 0x31);
}

#else

struct V {
  double v;
};
struct M {
  bool m;
};
inline V load(const double *p) {
  return {*p};
}
inline void store(double *p, V a) {
  *p = a.v;
}
inline V splat(double a) {
  return {a};
}
inline V operator+(V a, V b) {
  return {a.v + b.v};
}
inline V operator-(V a, V b) {
  return {a.v - b.v};
}
inline V operator*(V a, V b) {
  return {a.v * b.v};
}
inline V operator/(V a, V b) {
  return {a.v / b.v};
}
inline V sqrt(V a) {
  return {__builtin_sqrt(a.v)};
}
inline V abs(V a) {
  return {__builtin_fabs(a.v)};
}
// As the vector instructions: the second operand when either is NaN.
inline V min(V a, V b) {
  return {a.v < b.v ? a.v : b.v};
}
inline V max(V a, V b) {
  return {a.v > b.v ? a.v : b.v};
}
inline V floor(V a) {
  return {__builtin_floor(a.v)};
}
inline V nearest(V a) {
  return {__builtin_nearbyint(a.v)};
}
inline M operator<=(V a, V b) {
  return {a.v <= b.v};
}
inline M operator<(V a, V b) {
  return {a.v < b.v};
}
inline M operator>(V a, V b) {
  return {a.v > b.v};
}
inline M operator>=(V a, V b) {
  return {a.v >= b.v};
}
inline M operator!=(V a, V b) {
  return {a.v != b.v};
}
inline M operator==(V a, V b) {
  return {a.v == b.v};
}
inline M operator&(M a, M b) {
  return {a.m && b.m};
}
inline M operator|(M a, M b) {
  return {a.m || b.m};
}
inline bool any(M a) {
  return a.m;
}
inline V select(M m, V a, V b) {
  return m.m ? a : b;
}
inline void indices(V whole, int32_t *out) {
  out[0] = static_cast<int32_t>(whole.v);
}
inline void load2(const double *base, const int32_t *i, int s, V &a, V &b) {
  const double *p = base + static_cast<int64_t>(s) * i[0];
  a.v = p[0], b.v = p[1];
}
inline void load4(const double *base, const int32_t *i, int s, V &a, V &b, V &c, V &d) {
  const double *p = base + static_cast<int64_t>(s) * i[0];
  a.v = p[0], b.v = p[1], c.v = p[2], d.v = p[3];
}

#endif

}  // namespace SONVAR_BF_LANES_NAMESPACE
}  // namespace sonvar_bf

#undef SONVAR_BF_WIDTH

#endif  // SONVAR_BEAMFORM_LANES_H

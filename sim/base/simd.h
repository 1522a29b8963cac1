// simd.h - the library's vector vocabulary: the 4- and 8-lane types and
// their loads, stores and lane-by-lane operations, the function clones that
// compile a kernel once more for wider vectors, and the exact step of a
// running sum of sample times (for one value or four).
//
// A vector kernel does, in every lane, the operations its scalar path does
// for one value, in the same order, so both give the same bits; the vector
// types are the compiler's (GCC and clang), which lowers them to whatever
// the target offers, down to one value at a time.
#ifndef SONVAR_BASE_SIMD_H
#define SONVAR_BASE_SIMD_H

#include <cmath>
#include <cstdint>
#include <cstring>

// ---- Function clones --------------------------------------------------------
//
// A kernel marked SONVAR_VECTOR_CLONES (AVX2) or SONVAR_WIDE_VECTOR_CLONES
// (AVX-512 and AVX2) is compiled once more for those instruction sets and
// one of its clones is picked at load time by an indirect function, which
// needs x86-64 and glibc. Everywhere else the kernel is compiled once for
// the target; so it is under ThreadSanitizer (the resolver runs before its
// runtime is ready), with clang (which checks how each call of a lane
// helper passes its vectors before inlining it, and rejects the helpers in
// a clone of another instruction set) and in a build configured with
// SONVAR_SIMD=OFF (SONVAR_NO_SIMD), which also takes the scalar paths below.
#if defined(__x86_64__) && defined(__GLIBC__) && !defined(__SANITIZE_THREAD__) && \
    !defined(__clang__) && !defined(SONVAR_NO_SIMD)
#define SONVAR_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#define SONVAR_WIDE_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#define SONVAR_HAS_CLONES 1
#else
#define SONVAR_VECTOR_CLONES
#define SONVAR_WIDE_VECTOR_CLONES
#endif

// The helpers below are inlined into each clone, so that they take its
// instruction set. They pass vectors by value and are never called as
// functions, so the compilers' note on the calling convention of wider
// vectors (-Wpsabi) does not concern them; the build turns it off.
#define SONVAR_LANE_HELPER __attribute__((always_inline)) inline

namespace sonvar {

// Whether the calculations take their vector kernels where they have a
// scalar path that gives the same values (the trapezoids, the spreading and
// the far-field timings of the rectangles, the direct sum of short
// convolutions). A build with SONVAR_SIMD=OFF takes the scalar paths, and
// the tests run on it too, so that both stay correct.
#if defined(SONVAR_NO_SIMD)
constexpr bool kVectorKernels = false;
#else
constexpr bool kVectorKernels = true;
#endif

// Whether the processor runs the AVX-512 clones: a kernel that works on
// eight lanes there takes four elsewhere, where eight lanes are formed of
// two or four registers and their shuffles and lane reads go through
// memory. (Checked per call: the answer is cached by the compiler's
// run-time library.)
inline bool wide_lanes() {
#if defined(SONVAR_HAS_CLONES)
  return __builtin_cpu_supports("avx512f");
#else
  return false;
#endif
}

// Four and eight doubles, and four 64-bit integers (the bits of four
// doubles, or the masks of their comparisons: all ones where true), as one
// value each; loads and stores need no alignment.
typedef double Lanes4 __attribute__((vector_size(32), aligned(8)));
typedef double Lanes8 __attribute__((vector_size(64), aligned(8)));
typedef std::int64_t Bits4 __attribute__((vector_size(32), aligned(8)));
typedef std::int64_t Bits8 __attribute__((vector_size(64), aligned(8)));

// The lanes at p, and into p.
template <typename V>
SONVAR_LANE_HELPER V load(const double *p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <typename V>
SONVAR_LANE_HELPER void store(double *p, V v) {
  std::memcpy(p, &v, sizeof v);
}

// Four lanes made of lane(0) .. lane(3) (a gather from four records).
template <typename Lane>
SONVAR_LANE_HELPER Lanes4 gather4(Lane lane) {
  return Lanes4{lane(0), lane(1), lane(2), lane(3)};
}
template <typename Lane>
SONVAR_LANE_HELPER Bits4 gather_bits4(Lane lane) {
  return Bits4{lane(0), lane(1), lane(2), lane(3)};
}
template <typename Lane>
SONVAR_LANE_HELPER Lanes8 gather8(Lane lane) {
  return Lanes8{lane(0), lane(1), lane(2), lane(3), lane(4), lane(5), lane(6), lane(7)};
}
template <typename Lane>
SONVAR_LANE_HELPER Bits8 gather_bits8(Lane lane) {
  return Bits8{lane(0), lane(1), lane(2), lane(3), lane(4), lane(5), lane(6), lane(7)};
}

// mask ? a : b lane by lane (mask from a comparison, or any non-zero), and
// the same for one value.
template <typename Mask, typename V>
SONVAR_LANE_HELPER V select(Mask mask, V a, V b) {
  return mask != 0 ? a : b;
}

// The same bits as another type of the same size.
template <typename To, typename From>
SONVAR_LANE_HELPER To same_bits(From from) {
  static_assert(sizeof(To) == sizeof(From), "same_bits needs types of one size");
  To to;
  std::memcpy(&to, &from, sizeof to);
  return to;
}

// The lane-by-lane operations, for one value and for each lane type (LANES
// of N doubles, BITS their bits): the bits of the lanes and lanes of given
// bits; |v| (the sign bit cleared, as fabs does); floor, ceil and sqrt
// (each exact, as for one value). floor is formed by arithmetic on whole
// vectors (std::floor lane by lane made every value formed from its result
// lane by lane too): below 2^52 in magnitude, v + c - c with c = 2^52 of
// v's sign is v rounded to an integer (to nearest, the rounding the library
// never changes), less 1 where that is above v, with v's sign (so that -0
// stays -0); larger values, infinities and NaN are their own floor. ceil(v)
// is -floor(-v).
SONVAR_LANE_HELPER std::int64_t bits_of(double v) {
  return same_bits<std::int64_t>(v);
}
SONVAR_LANE_HELPER double lanes_of_bits(std::int64_t b) {
  return same_bits<double>(b);
}
SONVAR_LANE_HELPER double abs(double v) {
  return std::fabs(v);
}
#define SONVAR_EACH_LANE(LANES, N, function)                \
  SONVAR_LANE_HELPER LANES function(LANES v) {              \
    for (int q = 0; q < N; q++) v[q] = std::function(v[q]); \
    return v;                                               \
  }
#define SONVAR_LANE_OPERATIONS(LANES, BITS, N)                                           \
  SONVAR_LANE_HELPER BITS bits_of(LANES v) {                                             \
    return same_bits<BITS>(v);                                                           \
  }                                                                                      \
  SONVAR_LANE_HELPER LANES lanes_of_bits(BITS b) {                                       \
    return same_bits<LANES>(b);                                                          \
  }                                                                                      \
  SONVAR_LANE_HELPER LANES abs(LANES v) {                                                \
    return lanes_of_bits(bits_of(v) & INT64_MAX);                                        \
  }                                                                                      \
  SONVAR_LANE_HELPER LANES floor(LANES v) {                                              \
    const LANES zero = LANES{} * 0, one = zero + 1;                                      \
    const LANES big = lanes_of_bits((bits_of(v) & INT64_MIN) | bits_of(zero + 0x1p52));  \
    const LANES rounded = (v + big) - big;                                               \
    const LANES below = rounded - select(rounded > v, one, zero);                        \
    const LANES signed_below = lanes_of_bits(bits_of(below) | (bits_of(v) & INT64_MIN)); \
    return select(abs(v) < 0x1p52, signed_below, v);                                     \
  }                                                                                      \
  SONVAR_LANE_HELPER LANES ceil(LANES v) {                                               \
    return -floor(-v);                                                                   \
  }                                                                                      \
  SONVAR_EACH_LANE(LANES, N, sqrt)
SONVAR_LANE_OPERATIONS(Lanes4, Bits4, 4)
SONVAR_LANE_OPERATIONS(Lanes8, Bits8, 8)
#undef SONVAR_LANE_OPERATIONS
#undef SONVAR_EACH_LANE

// ---- The exact step of a running sum of sample times ------------------------
//
// The step of the running sum o += dt from o0 over `steps` additions when
// every addition adds the same d: all sums lie in the binade of o0 (one
// spacing u of doubles) and dt is not half-way between two multiples of u,
// so each sum rounds to o + d with d = dt rounded to a multiple of u; then
// o0 + j d is exact and equal to the running sum, and a kernel can form the
// sample times independently (four at once). 0 otherwise (o0 outside
// (0, 1), the sums leaving its binade, or dt half-way). T is double, Lanes4
// or Lanes8 (one step per lane).
template <typename T>
SONVAR_LANE_HELPER T exact_step(T o0, double dt, T steps) {
  const T d = (o0 + dt) - o0;
  const T last = o0 + steps * d;
  // The power of two that starts o0's binade, with o0's sign (the sign and
  // exponent bits alone): above 2^-970 only where o0 is positive and its
  // exponent field above 53, where the half spacing below is exact. Every
  // sum lies in that binade when the last one is below twice that power.
  constexpr std::int64_t kSignAndExponent = INT64_MIN | 0x7ff0000000000000;
  const T binade = lanes_of_bits(bits_of(o0) & kSignAndExponent);
  const T half_spacing = binade * 0x1p-53;
  // One select per condition, each failing to a zero of the other sign than
  // the next: the compiler merges two selects with the same other value into
  // one select of both masks, and forms such a mask lane by lane before it
  // clones a kernel for wider vectors. Both zeros mean "no exact step".
  const T zero = T{} * 0, minus_zero = -zero;
  T step = select(abs(dt - d) != half_spacing, d, zero);
  step = select(last < binade * 2, step, minus_zero);
  step = select(binade > 0x1p-970, step, zero);
  return select(o0 < 1, step, minus_zero);
}

}  // namespace sonvar

#endif  // SONVAR_BASE_SIMD_H

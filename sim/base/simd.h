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
#include <type_traits>

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

// Whether every mask holds, lane by lane (masks of comparisons); for one
// value the logical and.
template <typename... Masks>
SONVAR_LANE_HELPER auto all_of(Masks... masks) {
  if constexpr ((std::is_same_v<Masks, bool> && ...))
    return (masks && ...);
  else
    return (masks & ...);
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
// (each exact, as for one value).
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
#define SONVAR_LANE_OPERATIONS(LANES, BITS, N)     \
  SONVAR_LANE_HELPER BITS bits_of(LANES v) {       \
    return same_bits<BITS>(v);                     \
  }                                                \
  SONVAR_LANE_HELPER LANES lanes_of_bits(BITS b) { \
    return same_bits<LANES>(b);                    \
  }                                                \
  SONVAR_LANE_HELPER LANES abs(LANES v) {          \
    return lanes_of_bits(bits_of(v) & INT64_MAX);  \
  }                                                \
  SONVAR_EACH_LANE(LANES, N, floor)                \
  SONVAR_EACH_LANE(LANES, N, ceil)                 \
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
  const auto exponent = bits_of(o0) >> 52;
  using Exponent = decltype(exponent + 0);
  // The half spacing of the binade (formed for any exponent, used only where
  // it is above 53).
  const Exponent half_bits = (select(exponent > 53, exponent, Exponent{} + 54) - 53) << 52;
  const T half_spacing = lanes_of_bits(half_bits);
  const auto exact = all_of((o0 > 0), (o0 < 1), (exponent == (bits_of(last) >> 52)),
                            (exponent > 53), (abs(dt - d) != half_spacing));
  return select(exact, d, T{});
}

}  // namespace sonvar

#endif  // SONVAR_BASE_SIMD_H

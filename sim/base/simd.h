// simd.h - the library's vector vocabulary: the four-lane types and the
// function clones that compile a loop once more for wider vectors.
#ifndef SONVAR_BASE_SIMD_H
#define SONVAR_BASE_SIMD_H

#include <cstdint>

namespace sonvar {

/* Loops whose lanes all do the same operations in the same order, compiled
 * once more for wider vectors and picked at load time: every clone gives the
 * same values. The ifunc resolver runs before the ThreadSanitizer runtime is
 * ready, so that build takes the default code only. */
#if defined(__SANITIZE_THREAD__)
#define SONVAR_VECTOR_CLONES
#define SONVAR_WIDE_VECTOR_CLONES
#else
#define SONVAR_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#define SONVAR_WIDE_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif

// Four doubles, and four 64-bit integers (the bits of four doubles, or the
// masks of their comparisons), as one value; loads and stores need no
// alignment.
typedef double Lanes4 __attribute__((vector_size(32), aligned(8)));
typedef std::int64_t Bits4 __attribute__((vector_size(32), aligned(8)));

}  // namespace sonvar

#endif  // SONVAR_BASE_SIMD_H

// kernel_avx512.cpp - the channel kernel on 8 lanes; compiled with -mavx512f
// -mavx512dq where the compiler targets x86 (elsewhere the build has no
// kernel of this width).
#if defined(__AVX512F__) && defined(__AVX512DQ__)
#define SONVAR_BF_LANES_NAMESPACE avx512
#include "lanes.h"
#include "kernel_impl.h"
#else
#include "kernel.h"
#endif

namespace sonvar_bf {

ChannelKernel avx512_kernel(bool iq, int32_t interpolation, int geometry) {
#if defined(__AVX512F__) && defined(__AVX512DQ__)
  return avx512::pick_kernel(iq, interpolation, geometry);
#else
  (void)iq, (void)interpolation, (void)geometry;
  return nullptr;
#endif
}

}  // namespace sonvar_bf

// kernel_avx2.cpp - the channel kernel on 4 lanes; compiled with -mavx2 where
// the compiler targets x86 (elsewhere the build has no kernel of this width).
#if defined(__AVX2__)
#define SONVAR_BF_LANES_NAMESPACE avx2
#include "lanes.h"
#include "kernel_impl.h"
#else
#include "kernel.h"
#endif

namespace sonvar_bf {

ChannelKernel avx2_kernel(bool iq, int32_t interpolation, int geometry) {
#if defined(__AVX2__)
  return avx2::pick_kernel(iq, interpolation, geometry);
#else
  (void)iq, (void)interpolation, (void)geometry;
  return nullptr;
#endif
}

}  // namespace sonvar_bf

// dispatch.cpp - which vector widths this build has and the processor runs,
// and the kernel of a width.
#include "kernel.h"
#include "sonvar_beamform.h"

namespace sonvar_bf {

int32_t widest_vector() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (avx512_kernel(false, SONVAR_BF_LINEAR, kGeneral) && __builtin_cpu_supports("avx512f") &&
      __builtin_cpu_supports("avx512dq"))
    return SONVAR_BF_VECTOR_8;
  if (avx2_kernel(false, SONVAR_BF_LINEAR, kGeneral) && __builtin_cpu_supports("avx2"))
    return SONVAR_BF_VECTOR_4;
#endif
  return SONVAR_BF_VECTOR_SCALAR;
}

ChannelKernel kernel_for(int32_t width, bool iq, int32_t interpolation, int geometry) {
  if (width == SONVAR_BF_VECTOR_8) return avx512_kernel(iq, interpolation, geometry);
  if (width == SONVAR_BF_VECTOR_4) return avx2_kernel(iq, interpolation, geometry);
  return scalar_kernel(iq, interpolation, geometry);
}

}  // namespace sonvar_bf

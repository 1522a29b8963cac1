// kernel_scalar.cpp - the channel kernel one pixel at a time, built on every
// processor; the reference the vector widths reproduce bit for bit.
#define SONVAR_BF_LANES_NAMESPACE scalar
#include "lanes.h"
#include "kernel_impl.h"

namespace sonvar_bf {

ChannelKernel scalar_kernel(bool iq, int32_t interpolation, int geometry) {
  return scalar::pick_kernel(iq, interpolation, geometry);
}

}  // namespace sonvar_bf

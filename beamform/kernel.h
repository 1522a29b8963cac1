// kernel.h - the channel kernels' records: plain data only, so that the
// sources compiled for wider vectors use nothing of the standard library.
#ifndef SONVAR_BEAMFORM_KERNEL_H
#define SONVAR_BEAMFORM_KERNEL_H

#include <cstdint>

namespace sonvar_bf {

// Pixels a worker takes at a time (a multiple of every vector width) and the
// most frames one pass over the channels accumulates.
constexpr int kTilePixels = 256;
constexpr int kFrameGroup = 8;

// A receiving element: its centre and its frame (lateral x, lateral y and
// the normal); the flat array has (1,0,0), (0,1,0), (0,0,1).
struct Element {
  double x, y, z;
  double ux, uy, uz, vx, vy, vz, nx, ny, nz;
};

// The receive aperture: half width clamp(axial * inv_2f, half_min,
// half_max) at the distance `axial` (> 0) along an element's normal.
struct Aperture {
  double inv_2f, half_min, half_max;
  int32_t window;
  double tukey_alpha;
};

// How the elements lie, which decides what of the receive geometry a tile
// can find once for all elements:
//   kLine     every element faces +z at the same y and z (a flat 1-D array):
//             per pixel the aperture's half width and (y - y_e)^2 + (z - z_e)^2
//   kPlane    every element faces +z at the same z (a flat 2-D array): per
//             pixel the half width and (z - z_e)^2
//   kGeneral  anything else (convex arrays, elements at several depths)
enum Geometry { kLine = 0, kPlane = 1, kGeneral = 2 };

// One pass of a tile over one transmit and one channel, for a group of
// frames: the kernels add each pixel's weighted, interpolated value to the
// accumulators.
struct ChannelPass {
  int lanes = 0;  // pixels to compute (a multiple of the kernel's width)
  const double *x = nullptr, *y = nullptr, *z = nullptr;
  const double *start = nullptr;  // (tau_tx + offset) * fs of each pixel
  const double *tx_weight = nullptr;
  Element element{};
  int geometry = kGeneral;
  bool flat = true;                  // kGeneral: every element faces +z
  bool two_d = false;                // kGeneral: the aperture is checked across y too
  const double *half = nullptr;      // kLine, kPlane: the aperture's half width (0: behind)
  const double *depth_sq = nullptr;  // kLine, kPlane: the squared offsets named above
  Aperture aperture{};
  double fs_over_c = 0;
  const double *traces[kFrameGroup] = {};  // first sample of each frame's trace
  int frames = 0;
  int32_t samples = 0;
  double cycles_per_sample = 0;  // IQ: f_m / fs
  double cycles_at_start = 0;    // IQ: f_m * initial_time
  bool turns = false;            // IQ with f_m > 0: the values are turned back
  double *real = nullptr;        // accumulators [frame][kTilePixels]
  double *imag = nullptr;        // IQ only
};

using ChannelKernel = void (*)(const ChannelPass &pass);

// kernel_*.cpp: the kernel for the data kind and interpolation, of each
// vector width this build has (nullptr where it has none).
ChannelKernel scalar_kernel(bool iq, int32_t interpolation, int geometry);
ChannelKernel avx2_kernel(bool iq, int32_t interpolation, int geometry);
ChannelKernel avx512_kernel(bool iq, int32_t interpolation, int geometry);
int32_t widest_vector();
ChannelKernel kernel_for(int32_t width, bool iq, int32_t interpolation, int geometry);

}  // namespace sonvar_bf

#endif  // SONVAR_BEAMFORM_KERNEL_H

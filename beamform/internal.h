// internal.h - what the beamformer's modules share: the checked plan of one
// call, the per-tile transmit and grid routines and the channel kernels.
// Not installed.
#ifndef SONVAR_BEAMFORM_INTERNAL_H
#define SONVAR_BEAMFORM_INTERNAL_H

#include <cstdint>
#include <string>
#include <vector>

#include "kernel.h"
#include "sonvar_beamform.h"

namespace sonvar_bf {

// A failure on its way to the caller: the status code and the text.
struct Failure {
  int32_t code;
  std::string text;
};

// Where a transmit's wave reaches: the pixel's offset across the wave, on
// one or two axes, lies within [lo, hi] (+- margin).
struct Reach {
  enum Kind { kEverywhere, kAcross, kFromSource, kThroughFocus, kElementCone } kind = kEverywhere;
  double axis1[3] = {0, 0, 0}, axis2[3] = {0, 0, 0};  // kAcross: directions across the wave
  double lo[2] = {0, 0}, hi[2] = {0, 0};              // extent along the two directions
  bool check[2] = {false, false};                     // whether each direction is checked
  double margin = 0;
  const Element *element = nullptr;  // kElementCone: the emitting element's frame
};

struct TransmitPlan {
  int32_t kind = 0;
  double direction[3] = {0, 0, 0};  // plane: unit vector of propagation
  double source[3] = {0, 0, 0};
  double source_norm = 0;      // |s|, or |e| for an element
  double offset = 0;           // -delay - initial_time, s
  std::vector<double> firing;  // custom: x, y, z, delay of every firing element
  Reach reach;
};

struct Plan {
  // Channel data; strides in doubles.
  const double *values = nullptr;
  bool iq = false;
  int32_t samples = 0;
  int64_t channels = 0, transmits = 0, frames = 0;
  int64_t channel_stride = 0, transmit_stride = 0, frame_stride = 0;
  double fs = 0, initial_time = 0, modulation_frequency = 0, sound_speed = 0;
  // Probe.
  std::vector<Element> elements;
  bool flat = true;    // every element faces +z
  bool two_d = false;  // the elements span y: the aperture is checked in y too
  int geometry = kGeneral;
  std::vector<TransmitPlan> transmit_plans;
  // Grid.
  sonvar_bf_grid grid{};
  int64_t pixels = 0;
  // Output and options.
  int64_t images = 1;  // images per frame
  bool compound = true;
  int32_t interpolation = SONVAR_BF_LINEAR;
  Aperture aperture{};
  int32_t threads = 1;
  int32_t vector_width = SONVAR_BF_VECTOR_SCALAR;
};

// checks.cpp: every argument checked and the plan built; throws Failure.
sonvar_bf_options options_or_defaults(const sonvar_bf_options *options);
int64_t checked_image_values(const sonvar_bf_channel_data *data, const sonvar_bf_grid *grid,
                             const sonvar_bf_options &options);
Plan make_plan(const sonvar_bf_channel_data *data, const sonvar_bf_probe *probe,
               const sonvar_bf_transmit *transmits, const sonvar_bf_grid *grid,
               const sonvar_bf_options &options);

// grid.cpp: how the grid is cut into tiles (blocks of block[0] x block[1] x
// block[2] pixels, across[i] blocks along axis i), the image indices of a
// tile's pixels (returns their number, at most kTilePixels), and their
// coordinates, the arrays filled up to `padded` entries by repeating the
// last pixel.
struct Tiling {
  int block[3] = {1, 1, 1};
  int64_t across[3] = {1, 1, 1};
  int64_t tiles = 1;
};
Tiling tiling_of(const sonvar_bf_grid &grid);
int tile_pixels(const sonvar_bf_grid &grid, const Tiling &tiling, int64_t tile, int64_t *pixels);
void pixel_coordinates(const sonvar_bf_grid &grid, const int64_t *pixels, int n, int padded,
                       double *x, double *y, double *z);

// transmit.cpp: the plan of one transmit, and for n pixels the start of
// their fractional sample index, (tau_tx + offset) * fs, and the weight of
// the transmit there (0 where the wave does not reach).
TransmitPlan plan_transmit(const Plan &plan, const sonvar_bf_transmit &transmit, bool apodize,
                           double margin);
void transmit_samples(const Plan &plan, const TransmitPlan &transmit, int n, const double *x,
                      const double *y, const double *z, double *start, double *weight);

}  // namespace sonvar_bf

#endif  // SONVAR_BEAMFORM_INTERNAL_H

// grid.cpp - the grid cut into tiles of at most kTilePixels pixels, and the
// positions of a tile's pixels.
//
// A tile is a block of neighbouring pixels (16 x 16 across x and z of a 2-D
// grid, 8 x 8 x 4 of a volume, 256 consecutive points of a list): the echoes
// its pixels read from one trace lie within a short run of samples, which
// stays in the cache while every element's trace is read for the tile.
#include <algorithm>
#include <cmath>

#include "internal.h"

namespace sonvar_bf {

Tiling tiling_of(const sonvar_bf_grid &grid) {
  Tiling t;
  const int64_t *c = grid.count;
  if (grid.kind == SONVAR_BF_GRID_POINTS) {
    t.block[0] = kTilePixels, t.block[1] = 1, t.block[2] = 1;
  } else if (c[1] == 1) {
    t.block[0] = static_cast<int>(std::min<int64_t>(c[0], 16)), t.block[1] = 1;
    t.block[2] = kTilePixels / t.block[0];
  } else {
    t.block[0] = static_cast<int>(std::min<int64_t>(c[0], 8));
    t.block[1] = static_cast<int>(std::min<int64_t>(c[1], 8));
    t.block[2] = kTilePixels / (t.block[0] * t.block[1]);
  }
  t.tiles = 1;
  for (int i = 0; i < 3; i++) {
    t.across[i] = (c[i] + t.block[i] - 1) / t.block[i];
    t.tiles *= t.across[i];
  }
  return t;
}

int tile_pixels(const sonvar_bf_grid &grid, const Tiling &tiling, int64_t tile, int64_t *pixels) {
  const int64_t *c = grid.count;
  const int64_t b0 = tile % tiling.across[0], b1 = (tile / tiling.across[0]) % tiling.across[1];
  const int64_t b2 = tile / (tiling.across[0] * tiling.across[1]);
  const int64_t first[3] = {b0 * tiling.block[0], b1 * tiling.block[1], b2 * tiling.block[2]};
  const int64_t end[3] = {std::min(c[0], first[0] + tiling.block[0]),
                          std::min(c[1], first[1] + tiling.block[1]),
                          std::min(c[2], first[2] + tiling.block[2])};
  int n = 0;
  for (int64_t i2 = first[2]; i2 < end[2]; i2++)
    for (int64_t i1 = first[1]; i1 < end[1]; i1++)
      for (int64_t i0 = first[0]; i0 < end[0]; i0++) pixels[n++] = (i2 * c[1] + i1) * c[0] + i0;
  return n;
}

namespace {

double axis_value(const sonvar_bf_grid &grid, int axis, int64_t index) {
  return grid.axis[axis] ? grid.axis[axis][index] : 0.0;
}

}  // namespace

void pixel_coordinates(const sonvar_bf_grid &grid, const int64_t *pixels, int n, int padded,
                       double *x, double *y, double *z) {
  for (int i = 0; i < n; i++) {
    const int64_t pixel = pixels[i];
    if (grid.kind == SONVAR_BF_GRID_POINTS) {
      x[i] = grid.points[3 * pixel];
      y[i] = grid.points[3 * pixel + 1];
      z[i] = grid.points[3 * pixel + 2];
      continue;
    }
    const double a0 = axis_value(grid, 0, pixel % grid.count[0]);
    const double a1 = axis_value(grid, 1, (pixel / grid.count[0]) % grid.count[1]);
    const double a2 = axis_value(grid, 2, pixel / (grid.count[0] * grid.count[1]));
    if (grid.kind == SONVAR_BF_GRID_CARTESIAN) {
      x[i] = a0, y[i] = a1, z[i] = a2;
    } else {  // polar: azimuth, elevation, radius about the apex
      x[i] = grid.apex[0] + a2 * std::sin(a0) * std::cos(a1);
      y[i] = grid.apex[1] + a2 * std::sin(a1);
      z[i] = grid.apex[2] + a2 * std::cos(a0) * std::cos(a1);
    }
  }
  for (int i = n; i < padded; i++) x[i] = x[n - 1], y[i] = y[n - 1], z[i] = z[n - 1];
}

}  // namespace sonvar_bf

// grid.cpp - the positions of a run of pixels of a grid, in the image's
// order (axis 0 fastest).
#include <cmath>

#include "internal.h"

namespace sonvar_bf {

namespace {

// The pixel's three axis indices.
void split_index(const sonvar_bf_grid &grid, int64_t pixel, int64_t index[3]) {
  index[0] = pixel % grid.count[0];
  index[1] = (pixel / grid.count[0]) % grid.count[1];
  index[2] = pixel / (grid.count[0] * grid.count[1]);
}

double axis_value(const sonvar_bf_grid &grid, int axis, int64_t index) {
  return grid.axis[axis] ? grid.axis[axis][index] : 0.0;
}

}  // namespace

void pixel_coordinates(const sonvar_bf_grid &grid, int64_t first, int n, int padded, double *x,
                       double *y, double *z) {
  for (int i = 0; i < n; i++) {
    const int64_t pixel = first + i;
    if (grid.kind == SONVAR_BF_GRID_POINTS) {
      x[i] = grid.points[3 * pixel];
      y[i] = grid.points[3 * pixel + 1];
      z[i] = grid.points[3 * pixel + 2];
      continue;
    }
    int64_t index[3];
    split_index(grid, pixel, index);
    const double a0 = axis_value(grid, 0, index[0]), a1 = axis_value(grid, 1, index[1]);
    const double a2 = axis_value(grid, 2, index[2]);
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

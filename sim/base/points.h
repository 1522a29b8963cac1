// points.h - the square and the distance between points, which every
// module's geometry uses.
#ifndef SONVAR_BASE_POINTS_H
#define SONVAR_BASE_POINTS_H

#include <cmath>

#include "sonvar.h"

namespace sonvar {

// x * x
inline double sqr(double x) {
  return x * x;
}

// The distance between two points, m.
inline double distance(point3 a, point3 b) {
  return std::sqrt(sqr(a.x - b.x) + sqr(a.y - b.y) + sqr(a.z - b.z));
}
inline double distance(point3 a, double x, double y, double z) {
  return distance(a, point3{x, y, z});
}

}  // namespace sonvar

#endif  // SONVAR_BASE_POINTS_H

// point_response.cpp - the whole response of an aperture at a field point:
// its rectangles, triangles and line-bounded elements added in that order.
#include "field/point_response.h"
#include "field/rect_response.h"
#include "lines/lines.h"
#include "triangles/triangles.h"

namespace sonvar {

signal_rec *calc_response_mem(sys_con *sys, calc_memory_block *block, aperture *ap, double x,
                              double y, double z) {
  if (!ap->uses_rectangles && !ap->uses_triangles && !ap->uses_lines)
    return calc_lines(sys, block, ap, x, y, z);
  signal_rec *sum = nullptr;
  const auto absorb = [&](signal_rec *part) {
    if (part == nullptr) return;
    if (sum != nullptr) {
      add_responses(sys, sum, part);
      free_signal(sys, sum);
    }
    sum = part;
  };
  if (ap->uses_rectangles) absorb(calc_rectangles_mem(sys, block, ap, x, y, z));
  if (ap->uses_triangles) absorb(calc_triangles(sys, block, ap, x, y, z));
  if (ap->uses_lines) absorb(calc_lines(sys, block, ap, x, y, z));
  return sum;
}

}  // namespace sonvar

// conversions.cpp - the conversion of an aperture's rectangles into
// triangles (xdc_convert) or into line-bounded elements (xdc_line_convert).
#include <cstring>

#include "apertures/geometry.h"
#include "general/memory.h"
#include "state/host.h"

namespace sonvar {

namespace {

// Replaces the rectangles of every physical element that has any by what
// convert(element) makes of them, then releases the rectangles; the
// aperture's kind becomes `kind`.
template <typename Convert>
aperture *convert_rectangles(sys_con *sys, aperture *ap, int16_t aperture::*kind, Convert convert) {
  ap->uses_rectangles = 0;
  ap->*kind = 1;
  for (int n = 0; n < ap->no_elements; n++) {
    physical_element &element = ap->elements[n];
    // An element without rectangles (already converted) keeps what it has.
    if (element.no_rectangles == 0) continue;
    convert(element);
    free_memory(sys, element.rectangles);
    element.rectangles = nullptr;
    element.no_rectangles = 0;
  }
  return ap;
}

}  // namespace

SONVAR_CALL aperture *xdc_convert(sys_con *sys, aperture *ap) try {
  SONVAR_ENTER(sys);
  return convert_rectangles(sys, ap, &aperture::uses_triangles, [&](physical_element &element) {
    const int kept = element.no_triangles;
    const int total = kept + 2 * element.no_rectangles;
    tri_element *triangles = alloc_array<tri_element>(sys, total, "triangles");
    if (kept > 0) std::memcpy(triangles, element.triangles, kept * sizeof(tri_element));
    free_memory(sys, element.triangles);
    // Each rectangle splits along its diagonal from corner 1 to corner 3.
    for (int j = 0; j < element.no_rectangles; j++) {
      const rect_element &rect = element.rectangles[j];
      tri_element &first = triangles[kept + 2 * j];
      tri_element &second = triangles[kept + 2 * j + 1];
      first = tri_element{
          {rect.corners[0], rect.corners[1], rect.corners[2]}, rect.apodization, rect.delay};
      second = tri_element{
          {rect.corners[0], rect.corners[3], rect.corners[2]}, rect.apodization, rect.delay};
    }
    element.triangles = triangles;
    element.no_triangles = total;
  });
}
SONVAR_LEAVE(sys)

namespace {

// One line element from a rectangle: four lines through the levelled
// corners, each with the levelled centre as the inside point.
void rectangle_to_lines(sys_con *sys, rect_element *rect, line_element *element) {
  project_rectangle(rect, element);
  element->no_lines = 4;
  element->lines = alloc_array<bounding_line>(sys, 4, "bounding lines");
  for (int l = 0; l < 4; l++)
    insert_element(element, l, rect->corners[l], rect->corners[(l + 1) % 4], rect->center);
  intersections(sys, element);
  element->apodization = rect->apodization;
  element->delay = rect->delay;
}

}  // namespace

SONVAR_CALL aperture *xdc_line_convert(sys_con *sys, aperture *ap) try {
  SONVAR_ENTER(sys);
  return convert_rectangles(sys, ap, &aperture::uses_lines, [&](physical_element &element) {
    element.no_line_elements = element.no_rectangles;
    element.line_elements = alloc_array<line_element>(sys, element.no_rectangles, "line elements");
    for (int j = 0; j < element.no_rectangles; j++)
      rectangle_to_lines(sys, &element.rectangles[j], &element.line_elements[j]);
  });
}
SONVAR_LEAVE(sys)

}  // namespace sonvar

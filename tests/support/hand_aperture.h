// hand_aperture.h - apertures assembled field by field for the calculation
// tests, with every block from the library's allocator.
#ifndef SONVAR_HAND_APERTURE_H
#define SONVAR_HAND_APERTURE_H

#include <vector>

#include "sonvar.h"

namespace sonvar_test {

struct HandElement {
  std::vector<tri_element> triangles;
  std::vector<rect_element> rectangles;
  std::vector<line_element> lines;  // `lines` member of each left NULL
  point3 center{0.0, 0.0, 0.0};
};

template <typename T>
inline T *copy_out(sys_con *sys, const std::vector<T> &items) {
  if (items.empty()) return nullptr;
  auto *out = static_cast<T *>(alloc_memory(sys, items.size(), sizeof(T)));
  for (size_t k = 0; k < items.size(); k++) out[k] = items[k];
  return out;
}

// An aperture with one static focus entry (all delays 0) and one
// apodization entry (all weights 1), both fixed, at time 0.
inline aperture *hand_aperture(sys_con *sys, const std::vector<HandElement> &elements) {
  auto *ap = static_cast<aperture *>(alloc_memory(sys, 1, sizeof(aperture)));
  const int n = static_cast<int>(elements.size());
  ap->no_elements = n;
  ap->elements =
      n > 0 ? static_cast<physical_element *>(alloc_memory(sys, n, sizeof(physical_element)))
            : nullptr;
  for (int i = 0; i < n; i++) {
    physical_element &e = ap->elements[i];
    e.no_triangles = static_cast<int>(elements[i].triangles.size());
    e.triangles = copy_out(sys, elements[i].triangles);
    e.no_rectangles = static_cast<int>(elements[i].rectangles.size());
    e.rectangles = copy_out(sys, elements[i].rectangles);
    e.no_line_elements = static_cast<int>(elements[i].lines.size());
    e.line_elements = copy_out(sys, elements[i].lines);
    e.center = elements[i].center;
  }
  auto *focus = static_cast<focus_entry *>(alloc_memory(sys, 1, sizeof(focus_entry)));
  focus->delays = static_cast<double *>(alloc_memory(sys, n > 0 ? n : 1, sizeof(double)));
  ap->focus_line = focus;
  auto *apod = static_cast<apodization_entry *>(alloc_memory(sys, 1, sizeof(apodization_entry)));
  apod->values = static_cast<double *>(alloc_memory(sys, n > 0 ? n : 1, sizeof(double)));
  for (int i = 0; i < n; i++) apod->values[i] = 1.0;
  ap->apodization_line = apod;
  ap->fixed_focus = 1;
  ap->fixed_apodization = 1;
  ap->uses_triangles = 1;
  return ap;
}

// Appends an entry to a time line of the aperture (list order as given).
inline focus_entry *add_focus_entry(sys_con *sys, aperture *ap, double time) {
  auto *entry = static_cast<focus_entry *>(alloc_memory(sys, 1, sizeof(focus_entry)));
  entry->time = time;
  entry->delays = static_cast<double *>(alloc_memory(sys, ap->no_elements, sizeof(double)));
  focus_entry **link = &ap->focus_line;
  while (*link != nullptr) link = &(*link)->next;
  *link = entry;
  ap->fixed_focus = 0;
  return entry;
}

inline apodization_entry *add_apodization_entry(sys_con *sys, aperture *ap, double time) {
  auto *entry = static_cast<apodization_entry *>(alloc_memory(sys, 1, sizeof(apodization_entry)));
  entry->time = time;
  entry->values = static_cast<double *>(alloc_memory(sys, ap->no_elements, sizeof(double)));
  apodization_entry **link = &ap->apodization_line;
  while (*link != nullptr) link = &(*link)->next;
  *link = entry;
  ap->fixed_apodization = 0;
  return entry;
}

inline void free_hand_aperture(sys_con *sys, aperture *ap) {
  for (int i = 0; i < ap->no_elements; i++) {
    free_memory(sys, ap->elements[i].triangles);
    free_memory(sys, ap->elements[i].rectangles);
    free_memory(sys, ap->elements[i].line_elements);
    if (ap->elements[i].excitation != nullptr) free_signal(sys, ap->elements[i].excitation);
  }
  free_memory(sys, ap->elements);
  for (focus_entry *e = ap->focus_line; e != nullptr;) {
    focus_entry *next = e->next;
    free_memory(sys, e->delays);
    free_memory(sys, e);
    e = next;
  }
  for (apodization_entry *e = ap->apodization_line; e != nullptr;) {
    apodization_entry *next = e->next;
    free_memory(sys, e->values);
    free_memory(sys, e);
    e = next;
  }
  free_memory(sys, ap);
}

inline tri_element make_triangle(point3 a, point3 b, point3 c, double apodization = 1.0,
                                 double delay = 0.0) {
  tri_element t{};
  t.corners[0] = a;
  t.corners[1] = b;
  t.corners[2] = c;
  t.apodization = apodization;
  t.delay = delay;
  return t;
}

}  // namespace sonvar_test

#endif  // SONVAR_HAND_APERTURE_H

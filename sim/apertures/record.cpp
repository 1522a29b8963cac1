// record.cpp - the aperture record: creation in the state's list of live
// apertures, the default focus, the last check of the built geometry and
// the release (xdc_free).
//
// An aperture owns everything reachable from it; every array comes from the
// locked allocator and every signal from the state's pool, and xdc_free gives
// all of it back exactly once.
#include <cmath>
#include <cstdio>
#include <ctime>

#include "apertures/record.h"
#include "apertures/time_lines.h"
#include "general/checks.h"
#include "general/failure.h"
#include "general/memory.h"
#include "general/messages.h"
#include "pool/spare_scratch.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

namespace {

void free_line_elements(sys_con *sys, physical_element &element) {
  for (int e = 0; e < element.no_line_elements; e++) {
    free_memory(sys, element.line_elements[e].lines);
    free_memory(sys, element.line_elements[e].crossings);
  }
  free_memory(sys, element.line_elements);
  element.line_elements = nullptr;
  element.no_line_elements = 0;
}

void free_physical_element(sys_con *sys, physical_element &element) {
  if (element.excitation != nullptr) free_signal(sys, element.excitation);
  element.excitation = nullptr;
  element.has_excitation = 0;
  free_memory(sys, element.rectangles);
  element.rectangles = nullptr;
  element.no_rectangles = 0;
  free_memory(sys, element.triangles);
  element.triangles = nullptr;
  element.no_triangles = 0;
  free_line_elements(sys, element);
}

// Finite and within the coordinates a calculation accepts.
bool finite3(const point3 &p) {
  return std::fabs(p.x) <= kMaxCoordinate && std::fabs(p.y) <= kMaxCoordinate &&
         std::fabs(p.z) <= kMaxCoordinate;
}

// Creation time as ctime text (with its newline), bounded to the record.
void stamp_creation(aperture *ap) {
  char text[64] = {0};
  const time_t now = time(nullptr);
  if (ctime_r(&now, text) == nullptr) text[0] = '\0';
  snprintf(ap->created, sizeof ap->created, "%s", text);
}

signal_rec *unit_signal(sys_con *sys) {
  signal_rec *signal = alloc_signal(sys, 1, 0);
  signal->values[0] = 1.0;
  return signal;
}

// Takes the aperture's block out of the state's list; NULL when the
// aperture is not in it.
sonvar_live_aperture *unlink_live(sys_con *sys, const aperture *ap) {
  MutexGuard guard(&sys->memory_mutex);
  for (sonvar_live_aperture **link = &sys->apertures; *link != nullptr; link = &(*link)->next)
    if (&(*link)->record == ap) {
      sonvar_live_aperture *found = *link;
      *link = found->next;
      return found;
    }
  return nullptr;
}

}  // namespace

void check_built_geometry(sys_con *sys, const char *call, const aperture *ap) {
  for (int n = 0; n < ap->no_elements; n++) {
    const physical_element &e = ap->elements[n];
    if (!finite3(e.center))
      fail(sys, "%s: the centre of physical element %d is (%g, %g, %g) m; it must be finite", call,
           n + 1, e.center.x, e.center.y, e.center.z);
    for (int k = 0; k < e.no_rectangles; k++) {
      const rect_element &r = e.rectangles[k];
      bool ok = finite3(r.center) && std::isfinite(r.apodization) && std::isfinite(r.width) &&
                std::isfinite(r.height) && std::isfinite(r.tan_xz) && std::isfinite(r.tan_yz) &&
                std::isfinite(r.cos_xz) && std::isfinite(r.cos_yz);
      for (const point3 &c : r.corners) ok = ok && finite3(c);
      if (!ok)
        fail(sys,
             "%s: rectangle %d of physical element %d has corners, sizes, weight or tilt "
             "that are not finite (corner 1 at (%g, %g, %g) m, width %g m, height %g m)",
             call, k + 1, n + 1, r.corners[0].x, r.corners[0].y, r.corners[0].z, r.width, r.height);
    }
    for (int k = 0; k < e.no_triangles; k++) {
      const tri_element &t = e.triangles[k];
      bool ok = std::isfinite(t.apodization) && std::isfinite(t.delay);
      for (const point3 &c : t.corners) ok = ok && finite3(c);
      if (!ok)
        fail(sys,
             "%s: triangle %d of physical element %d has corners or a weight that are not "
             "finite",
             call, k + 1, n + 1);
    }
    for (int k = 0; k < e.no_line_elements; k++) {
      const line_element &l = e.line_elements[k];
      bool ok = std::isfinite(l.apodization) && std::isfinite(l.zc) && std::isfinite(l.cos_x) &&
                std::isfinite(l.cos_y);
      for (int b = 0; b < l.no_lines; b++)
        ok = ok && std::isfinite(l.lines[b].slope) && std::isfinite(l.lines[b].y1) &&
             std::isfinite(l.lines[b].x1);
      if (!ok)
        fail(sys,
             "%s: line element %d of physical element %d has lines or a weight that are "
             "not finite",
             call, k + 1, n + 1);
    }
  }
}

aperture *new_aperture(sys_con *sys, const char *name, int no_elements) {
  // The element array first: a count too large for the heap then fails
  // before anything else is taken.
  const int count = no_elements > 0 ? no_elements : 0;
  physical_element *elements =
      count > 0 ? alloc_array<physical_element>(sys, count, "physical elements") : nullptr;
  auto *live = alloc_array<sonvar_live_aperture>(sys, 1, "an aperture");
  {
    MutexGuard guard(&sys->memory_mutex);
    live->next = sys->apertures;
    sys->apertures = live;
  }
  aperture *ap = &live->record;
  ap->state = sys;
  snprintf(ap->name, sizeof ap->name, "%s", name);
  stamp_creation(ap);
  ap->impulse_response = unit_signal(sys);
  ap->excitation = unit_signal(sys);
  ap->no_elements = count;
  ap->focus_reference = point3{0.0, 0.0, 0.0};
  ap->elements = elements;
  return ap;
}

// The default focus (one static entry at time 0) and an apodization entry
// at time 0 with the same weight for every physical element.
void set_default_focus(sys_con *sys, aperture *ap, point3 focus, double weight) {
  ap->focus_reference = point3{0.0, 0.0, 0.0};
  insert_focus(sys, ap, 0, 0.0, 0.0, 0.0, focus);
  ap->fixed_focus = 1;
  double *values = alloc_array<double>(sys, ap->no_elements, "apodization values");
  for (int i = 0; i < ap->no_elements; i++) values[i] = weight;
  insert_apodization(sys, ap, values, 0.0);
  ap->fixed_apodization = 1;
  ap->dynamic_apodization = 0;
}

SONVAR_CALL void xdc_free(sys_con *sys, aperture *ap) try {
  SONVAR_ENTER(sys);
  if (ap == nullptr) return;
  sonvar_live_aperture *live = unlink_live(sys, ap);
  if (live == nullptr)
    fail(sys,
         "xdc_free: the aperture at %p is not a live aperture of this state (released "
         "before, or not built by its constructors)",
         static_cast<const void *>(ap));
  for (int n = 0; n < ap->no_elements; n++) free_physical_element(sys, ap->elements[n]);
  free_memory(sys, ap->elements);
  // The hand-over calls never let one signal fill both slots; the test
  // keeps a record changed by hand from releasing a signal twice.
  if (ap->impulse_response != nullptr) free_signal(sys, ap->impulse_response);
  if (ap->excitation != nullptr && ap->excitation != ap->impulse_response)
    free_signal(sys, ap->excitation);
  free_focus_time_line(sys, ap);
  free_apodization_time_line(sys, ap);
  free_memory(sys, live);
  // The calculations' kept scratch arrays were sized for the apertures of
  // their time; they go with any of them.
  release_spare_scratch(sys);
}
SONVAR_LEAVE_VOID(sys)

}  // namespace sonvar

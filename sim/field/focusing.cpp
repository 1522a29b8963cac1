// focusing.cpp - the focusing delay and the apodization of every physical
// element at a field point: static, time-line and dynamic focusing, fixed,
// time-line and F-number apodization.
#include <cmath>

#include "base/constants.h"
#include "base/points.h"
#include "field/focusing.h"
#include "general/failure.h"

namespace sonvar {

namespace {

// Guards the F-number ratio for a point on the apodization reference plane.
constexpr double kAxialGuard = 1e-16;

// The entry in force at time of flight tau: the first entry, moved on while
// the next entry starts strictly before tau.
template <typename Entry>
const Entry *entry_in_force(const Entry *first, double tau) {
  const Entry *entry = first;
  while (entry->next != nullptr && entry->next->time < tau) entry = entry->next;
  return entry;
}

// The delay that focuses element `centre` at distance d from the focus
// reference along the entry's direction. By default d is the element's own
// distance to the point (c tau), which for an element off the axis puts its
// focus beyond the point and defocuses the outer elements at short range;
// with focus_at_point d is the point's distance from the reference, one
// focus for all elements.
//
// The direction's sines and cosines are the same for every element under
// one entry: FocusDirection keeps those of the last entry asked for.
struct FocusDirection {
  const focus_entry *entry = nullptr;
  double sin_zx = 0, cos_zx = 0, sin_zy = 0, cos_zy = 0;
  const FocusDirection &of(const focus_entry *e) {
    if (e != entry) {
      entry = e;
      sin_zx = std::sin(e->angle_zx);
      cos_zx = std::cos(e->angle_zx);
      sin_zy = std::sin(e->angle_zy);
      cos_zy = std::cos(e->angle_zy);
    }
    return *this;
  }
};

double dynamic_delay(const sys_con *sys, const aperture *ap, const FocusDirection &direction,
                     point3 centre, double tau, point3 point) {
  const point3 ref = ap->focus_reference;
  const double d = sys->focus_at_point ? distance(point, ref) : sys->c * tau;
  const point3 focus = {ref.x + d * direction.sin_zx * direction.cos_zy,
                        ref.y + d * direction.sin_zy,
                        ref.z + d * direction.cos_zx * direction.cos_zy};
  double delay = distance(focus, ref) / sys->c - distance(centre, focus) / sys->c;
  // A step of 0 (or less) cannot quantize: the delay is kept as it is, as
  // for the static delays of the focus line.
  if (ap->quantize_delays && ap->quantization > 0.0)
    delay = std::floor(delay / ap->quantization + 0.5) * ap->quantization;
  return delay;
}

double focus_delay(const sys_con *sys, const aperture *ap, int i, double tau, point3 point,
                   FocusDirection *direction) {
  const focus_entry *entry = ap->fixed_focus ? ap->focus_line : entry_in_force(ap->focus_line, tau);
  // A static entry carries its delays; a dynamic one (never the fixed entry
  // of a public call, but evaluated rather than dereferenced if it is)
  // focuses along its direction.
  if (!entry->dynamic && entry->delays != nullptr) return entry->delays[i];
  return dynamic_delay(sys, ap, direction->of(entry), ap->elements[i].center, tau, point);
}

double window_value(int kind, double r) {
  if (r >= 1.0) return 0.0;
  const double u = (1.0 + r) * kPi;  // the same bits as (1 + r) 2 pi / 2
  switch (kind) {
    case SONVAR_WINDOW_HANNING:
      return (1.0 - std::cos(u)) * 0.5;
    case SONVAR_WINDOW_HAMMING:
      return 0.54 - 0.46 * std::cos(u);
    default:  // SONVAR_WINDOW_BLACKMAN
      return 0.42 - 0.5 * std::cos(u) + 0.08 * std::cos(2.0 * u);
  }
}

// F-number window: the active aperture widens with the depth of the point
// along the apodization direction (which is used as given, not normalised).
double dynamic_weight(const aperture *ap, point3 centre, double x, double y, double z) {
  const point3 a = ap->apod_reference;
  const point3 d = ap->apod_direction;
  const double vx = a.x - centre.x;
  const double vy = a.y - centre.y;
  const double vz = a.z - centre.z;
  const double l1 = vx * d.z + vy * d.y - vz * d.x;
  const double l2 = vx * d.y + vy * d.z - vz * d.x;
  const double lateral = std::sqrt(l1 * l1 + l2 * l2);
  const double axial = std::fabs((x - a.x) * d.x + (y - a.y) * d.y + (z - a.z) * d.z);
  const double guard = axial == 0.0 ? kAxialGuard : 0.0;
  const double r = 2.0 * lateral * ap->f_number / (axial + guard);
  return window_value(ap->apod_window, r);
}

void check_time_lines(sys_con *sys, const aperture *ap) {
  if (ap->focus_line == nullptr)
    fail(sys, "The focus time line of the aperture holds no entry; set a focus first");
  if (!ap->dynamic_apodization && ap->apodization_line == nullptr)
    fail(sys, "The apodization time line of the aperture holds no entry; set an apodization first");
  if (ap->dynamic_apodization &&
      (ap->apod_window < SONVAR_WINDOW_HANNING || ap->apod_window > SONVAR_WINDOW_BLACKMAN))
    fail_text(sys, "Internal error: Unknown apdoization function in dynamic apodization");
}

}  // namespace

namespace {

// Both public forms; with weighted_only, elements of weight 0 get delay 0.
void delays_and_apodization(sys_con *sys, aperture *ap, double *delays, double *apodization,
                            double x, double y, double z, bool weighted_only) {
  if (ap->no_elements <= 0) return;
  check_time_lines(sys, ap);
  const point3 point = {x, y, z};
  FocusDirection direction;
  // The time of flight picks the entries in force and sets a dynamic focus.
  // With one static focus entry and a fixed or F-number apodization nothing
  // reads it, and its square root and division per element are skipped.
  const focus_entry *focus = ap->focus_line;
  const bool static_focus = ap->fixed_focus && !focus->dynamic && focus->delays != nullptr;
  const bool needs_tau = !static_focus || (!ap->dynamic_apodization && !ap->fixed_apodization);
  for (int i = 0; i < ap->no_elements; i++) {
    const point3 centre = ap->elements[i].center;
    // Worked out once, where the apodization or the delay reads it.
    double tau = -1.0;
    const auto time_of_flight = [&] {
      if (tau < 0.0) tau = needs_tau ? distance(point, centre) / sys->c : 0.0;
      return tau;
    };
    if (ap->dynamic_apodization)
      apodization[i] = dynamic_weight(ap, centre, x, y, z);
    else if (ap->fixed_apodization)
      apodization[i] = ap->apodization_line->values[i];
    else
      apodization[i] = entry_in_force(ap->apodization_line, time_of_flight())->values[i];
    delays[i] = weighted_only && apodization[i] == 0.0
                    ? 0.0
                    : focus_delay(sys, ap, i, time_of_flight(), point, &direction);
  }
}

}  // namespace

void find_delays_and_apodization(sys_con *sys, aperture *ap, double *delays, double *apodization,
                                 double x, double y, double z) {
  delays_and_apodization(sys, ap, delays, apodization, x, y, z, false);
}

void find_weighted_delays_and_apodization(sys_con *sys, aperture *ap, double *delays,
                                          double *apodization, double x, double y, double z) {
  delays_and_apodization(sys, ap, delays, apodization, x, y, z, true);
}

}  // namespace sonvar

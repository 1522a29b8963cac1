// point_field.h - the signal of h, hp or hhp at one field point
// (point_field.cpp): what calc_h, calc_hp, calc_hhp and the field maps
// share, so that a field map reduces exactly the samples the full-signal
// calls return.
#ifndef SONVAR_FIELD_POINT_FIELD_H
#define SONVAR_FIELD_POINT_FIELD_H

#include <cstdint>

#include "field/pulse.h"
#include "sonvar.h"

namespace sonvar {

struct calc_memory_block;

// One thread's calculation of h, hp or hhp point after point: the
// apertures, the scratch block, the pulse's spectra and the pulse (shared
// by the threads of one field map, read only).
struct PointField {
  sys_con *sys = nullptr;
  const char *call = nullptr;  // the name failures give
  int quantity = 0;            // SONVAR_CALC_H, SONVAR_CALC_HP or SONVAR_CALC_HHP
  aperture *transmit = nullptr;
  aperture *receive = nullptr;
  calc_memory_block *block = nullptr;
  signal_rec *pulse = nullptr;  // NULL for h
  PulseSpectra spectra;
};

// The pulse of a calculation: the emitted pulse for hp, the two-way pulse
// for hhp, none (NULL) for h.
signal_rec *quantity_pulse(sys_con *sys, int quantity, const aperture *transmit,
                           const aperture *receive);

// A calculation of `quantity` at `points` points on this thread with its
// own scratch block (below kMirrorPoints points, without mirrored pairs);
// `pulse` (from quantity_pulse) stays the caller's.
PointField start_point_field(sys_con *sys, const char *call, int quantity, aperture *transmit,
                             aperture *receive, signal_rec *pulse, std::int64_t points);

// The signal at point i (p), as the full-signal call forms it before the
// result is cut to its samples, checked to be finite: a new signal the
// caller gives back, or NULL where h has no response.
signal_rec *point_signal(PointField *field, std::int64_t i, point3 p);

// Gives back the scratch block and the spectra (not the pulse).
void end_point_field(PointField *field);

}  // namespace sonvar

#endif  // SONVAR_FIELD_POINT_FIELD_H

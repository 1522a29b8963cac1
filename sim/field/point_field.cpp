// point_field.cpp - the signal of h, hp or hhp at one field point.
#include "field/point_field.h"

#include "dispatch/scratch_block.h"
#include "field/attenuation.h"
#include "field/calculation.h"
#include "field/point_response.h"
#include "field/rect_columns.h"
#include "general/checks.h"

namespace sonvar {

namespace {

// h with the frequency-dependent attenuation: the response filtered through
// its own spectrum, kept at the full transform length, with one more 1/fs.
signal_rec *attenuated_h(sys_con *sys, signal_rec *R) {
  signal_rec *F = Find_FFT(sys, R, Find_N(R->no_samples, 0));
  signal_rec *A = Attenuate_pulse(sys, R, &F, R->start_sample, R->no_samples, 0);
  signal_rec *result = Inverse_FFT(A, A->no_samples);
  const double scale = 1 / sys->fs;
  for (int j = 0; j < result->no_samples; j++) result->values[j] *= scale;
  free_signal(sys, R);
  free_signal(sys, F);
  return result;
}

signal_rec *h_at(PointField *f, point3 p) {
  signal_rec *R = calc_response_mem(f->sys, f->block, f->transmit, p.x, p.y, p.z);
  return (f->sys->use_att && R != nullptr) ? attenuated_h(f->sys, R) : R;
}

signal_rec *hp_at(PointField *f, point3 p) {
  signal_rec *R = calc_response_mem(f->sys, f->block, f->transmit, p.x, p.y, p.z);
  signal_rec *result = convolve_with_pulse(f->sys, R, f->pulse, &f->spectra);
  keep_response(f->sys, f->block, R);
  return result;
}

signal_rec *hhp_at(PointField *f, point3 p) {
  sys_con *sys = f->sys;
  const bool shared = f->transmit == f->receive;
  signal_rec *Rt = calc_response_mem(sys, f->block, f->transmit, p.x, p.y, p.z);
  signal_rec *Rr = shared ? Rt : calc_response_mem(sys, f->block, f->receive, p.x, p.y, p.z);
  // The pulse-echo response needs both paths: one missing, nothing returns.
  signal_rec *Q = (Rt != nullptr && Rr != nullptr) ? fast_convolute(sys, Rt, Rr) : nullptr;
  signal_rec *result = convolve_with_pulse(sys, Q, f->pulse, &f->spectra);
  release_if_present(sys, Q);
  keep_response(sys, f->block, Rt);
  if (!shared) keep_response(sys, f->block, Rr);
  return result;
}

}  // namespace

signal_rec *quantity_pulse(sys_con *sys, int quantity, const aperture *transmit,
                           const aperture *receive) {
  if (quantity == SONVAR_CALC_HP) return emitted_pulse(sys, transmit);
  if (quantity == SONVAR_CALC_HHP) return two_way_pulse(sys, transmit, receive);
  return nullptr;
}

PointField start_point_field(sys_con *sys, const char *call, int quantity, aperture *transmit,
                             aperture *receive, signal_rec *pulse, std::int64_t points) {
  PointField field;
  field.sys = sys;
  field.call = call;
  field.quantity = quantity;
  field.transmit = transmit;
  field.receive = receive;
  field.pulse = pulse;
  // h applies no element excitation; hp and hhp do.
  field.block = new_block(sys, transmit, receive, quantity != SONVAR_CALC_H);
  field.block->no_mirrors = points < kMirrorPoints;
  return field;
}

signal_rec *point_signal(PointField *field, std::int64_t i, point3 p) {
  signal_rec *result = field->quantity == SONVAR_CALC_H    ? h_at(field, p)
                       : field->quantity == SONVAR_CALC_HP ? hp_at(field, p)
                                                           : hhp_at(field, p);
  check_finite_result(field->sys, field->call, result, i, p);
  return result;
}

void end_point_field(PointField *field) {
  free_memory_block(field->sys, field->block);
  field->block = nullptr;
  field->spectra.release(field->sys);
}

}  // namespace sonvar

// pulse.cpp - the pulse of a calculation and its convolution with the
// responses.
#include <cmath>

#include "field/attenuation.h"
#include "field/pulse.h"
#include "signals/direct.h"

namespace sonvar {

signal_rec *emitted_pulse(sys_con *sys, const aperture *ap) {
  return fast_convolute(sys, ap->impulse_response, ap->excitation);
}

signal_rec *two_way_pulse(sys_con *sys, const aperture *transmit, const aperture *receive) {
  signal_rec *inner = emitted_pulse(sys, transmit);
  signal_rec *pulse = fast_convolute(sys, receive->impulse_response, inner);
  free_signal(sys, inner);
  return pulse;
}

signal_rec *zeros_like(sys_con *sys, const signal_rec *pulse) {
  return alloc_signal(sys, pulse->no_samples, pulse->start_sample);
}

bool direct_costs_less(int taps, int other, double macs_per_step) {
  const int joint = taps + other;
  const int N = Find_N(joint, 0);
  return static_cast<double>(taps) * (joint - 1) <= macs_per_step * N * std::log2(N);
}

void add_direct_convolution(sys_con *sys, signal_rec **pad, signal_rec **dst,
                            const signal_rec *taps, const signal_rec *other, double factor) {
  if (*pad == nullptr) *pad = alloc_signal(sys, 1024, 0);
  const double *padded = pad_samples(sys, *pad, other, taps->no_samples);
  add_scaled_convolution(sys, dst, taps, other, padded, factor);
}

signal_rec *convolve_with_pulse(sys_con *sys, signal_rec *response, signal_rec *pulse,
                                PulseSpectra *spectra) {
  if (response == nullptr) return zeros_like(sys, pulse);
  if (!sys->use_att &&
      direct_costs_less(pulse->no_samples, response->no_samples, kMacsPerTwoTransformSteps)) {
    signal_rec *result = nullptr;
    add_direct_convolution(sys, &spectra->padded, &result, pulse, response, 1 / sys->fs);
    return result;
  }
  if (!sys->use_att)
    return fast_dft_convolute(
        sys, response, pulse,
        spectra->exact(sys, pulse, Find_N(pulse->no_samples + response->no_samples, 0)));
  signal_rec *attenuated = Attenuate_pulse(
      sys, pulse, spectra->attenuation(sys, pulse, response->start_sample, response->no_samples, 0),
      response->start_sample, response->no_samples, 0);
  signal_rec *result = fast_dft_convolute(sys, response, pulse, &attenuated);
  free_signal(sys, attenuated);
  return result;
}

}  // namespace sonvar

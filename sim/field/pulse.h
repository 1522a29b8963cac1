// pulse.h - the pulse of a calculation and its convolution with the
// responses (pulse.cpp): the emitted and the two-way pulse, the spectra of
// one calculation's pulse, and the choice between the direct sum and the
// transforms.
#ifndef SONVAR_FIELD_PULSE_H
#define SONVAR_FIELD_PULSE_H

#include "field/attenuation.h"
#include "sonvar.h"

namespace sonvar {

// The emitted pulse (impulse response * excitation)/fs of one aperture.
signal_rec *emitted_pulse(sys_con *sys, const aperture *ap);

// The two-way pulse: receive impulse response * transmit pulse, over fs.
signal_rec *two_way_pulse(sys_con *sys, const aperture *transmit, const aperture *receive);

// A zero signal shaped like the pulse: the field of a point that receives
// nothing.
signal_rec *zeros_like(sys_con *sys, const signal_rec *pulse);

// Multiply-adds of a direct convolution that cost as much as one butterfly
// step (N log2 N of them) of an FFT convolution at the joint length N.
// Measured on this code over 40 to 400 taps and 200 to 10,000 outputs: the
// direct sum takes about 0.06 ns per multiply-add, three transforms (both
// spectra made) about 1.8 ns per step, so they break even near 30; with one
// spectrum kept, two transforms break even near 20. Each constant stays a
// little below, where the direct sum is clearly no dearer. With the pulse
// spectrum kept (hp, hhp) remeasured with the direct sum's AVX-512 clone
// (108 and 231 taps, 300 to 6,000 outputs): 0.047 ns per multiply-add, the
// two transforms 1.1 ns per step, even near 23.
constexpr double kMacsPerThreeTransformSteps = 28;
constexpr double kMacsPerTwoTransformSteps = 20;

// Whether taps x outputs of a direct convolution of `taps` values with
// `other` values cost less than transforms of the joint length. The choice
// depends on the two lengths alone.
bool direct_costs_less(int taps, int other, double macs_per_step);

// *dst += factor (taps * other) by the direct sum; *pad holds `other`
// between zeros (a working signal made on first use and kept by the caller).
void add_direct_convolution(sys_con *sys, signal_rec **pad, signal_rec **dst,
                            const signal_rec *taps, const signal_rec *other, double factor);

// Spectra of one calculation's pulse, one per transform length. A
// response is always convolved through the spectrum of its own length (and
// filtered at its own length), so that its result depends on the response
// alone: not on the points computed before it in the same call, nor on how
// the dispatcher split the points over threads.
struct PulseSpectra {
  signal_rec *by_length[32] = {};
  signal_rec *padded = nullptr;  // a response between zeros, for the direct sum
  signal_rec *work = nullptr;    // a response's spectrum and its product, reused
  // The slot of the spectrum of length N (a power of two), made on first use.
  signal_rec **exact(sys_con *sys, signal_rec *pulse, int N) {
    int bits = 0;
    while ((1 << bits) < N) bits++;
    if (by_length[bits] == nullptr) by_length[bits] = Find_FFT(sys, pulse, N);
    return &by_length[bits];
  }
  // The slot Attenuate_pulse uses for a response (s, n, e) without renewing it.
  signal_rec **attenuation(sys_con *sys, signal_rec *pulse, int s, int n, int e) {
    return exact(sys, pulse,
                 Find_N(checked_attenuation_length(sys, s, n, e, pulse->no_samples), 0));
  }
  void release(sys_con *sys) {
    for (signal_rec *&slot : by_length)
      if (slot != nullptr) free_signal(sys, slot), slot = nullptr;
    if (padded != nullptr) free_signal(sys, padded), padded = nullptr;
    if (work != nullptr) free_signal(sys, work), work = nullptr;
  }
};

// (response * pulse)/fs through the pulse spectrum of the response's
// length, filtered for the response's distance when attenuation is on.
// Returns zeros shaped like the pulse when there is no response.
signal_rec *convolve_with_pulse(sys_con *sys, signal_rec *response, signal_rec *pulse,
                                PulseSpectra *spectra);

}  // namespace sonvar

#endif  // SONVAR_FIELD_PULSE_H

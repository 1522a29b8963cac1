// attenuation.h - the frequency-dependent attenuation of a pulse
// (attenuation.cpp).
#ifndef SONVAR_FIELD_ATTENUATION_H
#define SONVAR_FIELD_ATTENUATION_H

#include "sonvar.h"

namespace sonvar {

/* The pulse spectrum filtered for the distance of a response with start
 * sample s, length n and extra length e: d = c (s + floor((n+e)/2)) / fs.
 * Every bin of frequency f gets the amplitude of freq_att (f - att_f0) d dB
 * of attenuation and the matching dispersive phase; DC and Nyquist get the
 * gain of att_f0 freq_att d dB. *spectrum holds the packed spectrum of the
 * pulse; when it holds fewer values than the longer of the needed transform
 * length and n + e + pulse length (or none), it is renewed from the pulse
 * (the old one goes back to the pool) and the slot owns the new one. Returns
 * a new packed spectrum of the slot's length; an absent pulse gives an
 * absent result. */
signal_rec *Attenuate_pulse(sys_con *sys, signal_rec *pulse, signal_rec **spectrum, int s, int n,
                            int e);

/* (a * attenuated pulse)/fs for a transmit response a and a receive response
 * b: the pulse is filtered for the two-way distance (twice a's start, a's
 * length plus the pulse's, b's length as the extra length). *spectrum holds
 * the pulse's spectrum as for Attenuate_pulse. An absent a or pulse gives
 * zeros shaped like the other; an absent b counts as length 0. */
signal_rec *attenuated_pulse(sys_con *sys, signal_rec *a, signal_rec *b, signal_rec *pulse,
                             signal_rec **spectrum);

// The transform length the attenuated pulse of a response (start sample s,
// length n, extra length e) needs for a pulse of pulse_samples samples,
// after the checks that the filter stays finite and its transform within
// max_samples.
int checked_attenuation_length(sys_con *sys, int s, int n, int e, int pulse_samples);

}  // namespace sonvar

#endif  // SONVAR_FIELD_ATTENUATION_H

// calculations.cpp - field calculations: focusing at a field point and the
// frequency-dependent attenuation of a pulse.

#include <algorithm>
#include <cmath>

#include "internal.h"
#include "sonvar.h"

// ===========================================================================
// Focusing and apodization at a field point
// ===========================================================================

namespace {

// 2 pi written out, so that pi (1 + r) is formed as (1 + r) * 2pi * 0.5.
constexpr double kTwoPi = 6.283185307179586;
// Guards the F-number ratio for a point on the apodization reference plane.
constexpr double kAxialGuard = 1e-16;

double distance(point3 a, point3 b) {
  return std::sqrt(sqr(a.x - b.x) + sqr(a.y - b.y) + sqr(a.z - b.z));
}

// The entry in force at time of flight tau: the first entry, moved on while
// the next entry starts strictly before tau.
template <typename Entry>
const Entry *entry_in_force(const Entry *first, double tau) {
  const Entry *entry = first;
  while (entry->next != nullptr && entry->next->time < tau) entry = entry->next;
  return entry;
}

double dynamic_delay(const sys_con *sys, const aperture *ap, const focus_entry *entry,
                     point3 centre, double tau) {
  const double d = sys->c * tau;
  const point3 ref = ap->focus_reference;
  const double a1 = entry->angle_zx;
  const double a2 = entry->angle_zy;
  const point3 focus = {ref.x + d * std::sin(a1) * std::cos(a2), ref.y + d * std::sin(a2),
                        ref.z + d * std::cos(a1) * std::cos(a2)};
  double delay = distance(focus, ref) / sys->c - distance(centre, focus) / sys->c;
  // A step of 0 (or less) cannot quantize: the delay is kept as it is, as
  // for the static delays of the focus line.
  if (ap->quantize_delays && ap->quantization > 0.0)
    delay = std::floor(delay / ap->quantization + 0.5) * ap->quantization;
  return delay;
}

double focus_delay(const sys_con *sys, const aperture *ap, int i, double tau) {
  const focus_entry *entry = ap->fixed_focus ? ap->focus_line : entry_in_force(ap->focus_line, tau);
  // A static entry carries its delays; a dynamic one (never the fixed entry
  // of a public call, but evaluated rather than dereferenced if it is)
  // focuses along its direction.
  if (!entry->dynamic && entry->delays != nullptr) return entry->delays[i];
  return dynamic_delay(sys, ap, entry, ap->elements[i].center, tau);
}

double window_value(int kind, double r) {
  if (r >= 1.0) return 0.0;
  const double u = (1.0 + r) * kTwoPi * 0.5;
  switch (kind) {
    case 1:
      return (1.0 - std::cos(u)) * 0.5;
    case 2:
      return 0.54 - 0.46 * std::cos(u);
    default:
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

void check_time_lines(const aperture *ap) {
  if (ap->focus_line == nullptr)
    error_message("The focus time line of the aperture holds no entry; set a focus first");
  if (!ap->dynamic_apodization && ap->apodization_line == nullptr)
    error_message(
        "The apodization time line of the aperture holds no entry; set an apodization first");
  if (ap->dynamic_apodization && (ap->apod_window < 1 || ap->apod_window > 3))
    print_error_message("Internal error: Unknown apdoization function in dynamic apodization");
}

}  // namespace

void find_delays_and_apodization(sys_con *sys, aperture *ap, double *delays, double *apodization,
                                 double x, double y, double z) {
  if (ap->no_elements <= 0) return;
  check_time_lines(ap);
  const point3 point = {x, y, z};
  for (int i = 0; i < ap->no_elements; i++) {
    const point3 centre = ap->elements[i].center;
    const double tau = distance(point, centre) / sys->c;
    delays[i] = focus_delay(sys, ap, i, tau);
    if (ap->dynamic_apodization)
      apodization[i] = dynamic_weight(ap, centre, x, y, z);
    else if (ap->fixed_apodization)
      apodization[i] = ap->apodization_line->values[i];
    else
      apodization[i] = entry_in_force(ap->apodization_line, tau)->values[i];
  }
}

// ===========================================================================
// End of focusing and apodization at a field point
// ===========================================================================

// ===========================================================================
// Frequency-dependent attenuation of the pulse
//
// The total attenuation over a distance d of a component of frequency f is
// att d + freq_att (f - att_f0) d dB. The first term is applied to the
// spatial impulse responses sample by sample; the second term, with the
// dispersive phase that goes with it, is applied here to the spectrum of the
// pulse, with one distance per field point.
// ===========================================================================

namespace {

constexpr double kNeperPerDb = 0.11512925465;  // ln 10 / 20: L dB is exp(-k L)
constexpr double kPi = 3.141592653589793;
constexpr double kPiSquared = 9.869604401089358;
constexpr double kLargestTransform = 1 << 30;

// Distance travelled at the middle of a response of n + e samples starting
// at sample s. The half length is an integer number of samples.
double middle_distance(const sys_con *sys, int s, int n, int e) {
  const int middle = s + (n + e) / 2;
  return sys->c * middle / sys->fs;
}

// Transform length the attenuated pulse needs: beyond the convolution
// length the dispersive filter spreads the pulse with distance.
int needed_transform_length(const sys_con *sys, int s, int n, int e, int pulse_samples) {
  const double spread = sys->c * 0.59 * sys->freq_att * s + e + n - 1 + pulse_samples + 0.5;
  const double M = std::floor(spread);
  // Longer than any transform (or not a number): let Find_N report it.
  if (!(M < kLargestTransform)) return static_cast<int>(kLargestTransform) + 1;
  // The convolution of n + e samples with the pulse must fit as well, or
  // fast_dft_convolute would replace the attenuated spectrum by a plain one.
  return std::max(static_cast<int>(M), n + e + pulse_samples);
}

// Writes the spectrum F filtered for distance d into out (same length).
void filter_spectrum(const sys_con *sys, const signal_rec *F, double d, signal_rec *out) {
  const int N = F->no_samples;
  const double fa = sys->freq_att;
  const double *x = F->values;
  double *y = out->values;
  // DC and Nyquist both get the gain at zero frequency.
  const double dc_gain = std::exp(kNeperPerDb * sys->att_f0 * fa * d);
  y[0] = x[0] * dc_gain;
  y[1] = x[1] * dc_gain;
  const double h = kNeperPerDb * fa * sys->tau_m / kPiSquared;
  for (int m = 1; m < N / 2; m++) {
    const double f = m * sys->fs / N;
    const double amplitude = std::exp(-kNeperPerDb * fa * (f - sys->att_f0) * d);
    const double phase =
        -2 * kPi * f * h * d + std::log(2 * kPi * f) * (2 * f * kNeperPerDb * fa * d / kPi);
    const double cosine = std::cos(phase);
    const double sine = std::sin(-phase);
    const double re = x[2 * m];
    const double im = x[2 * m + 1];
    y[2 * m] = cosine * amplitude * re - sine * amplitude * im;
    y[2 * m + 1] = sine * amplitude * re + cosine * amplitude * im;
  }
}

}  // namespace

signal_rec *Attenuate_pulse(sys_con *sys, signal_rec *pulse, signal_rec **spectrum, int s, int n,
                            int e) {
  if (pulse == nullptr) return nullptr;
  const double d = middle_distance(sys, s, n, e);
  const int needed = needed_transform_length(sys, s, n, e, pulse->no_samples);
  if (*spectrum == nullptr || (*spectrum)->no_samples < needed) {
    signal_rec *renewed = Find_FFT(sys, pulse, Find_N(needed, 0));
    if (*spectrum != nullptr) free_signal(sys, *spectrum);
    *spectrum = renewed;
  }
  const signal_rec *F = *spectrum;
  signal_rec *filtered = alloc_signal(sys, F->no_samples, F->start_sample);
  filter_spectrum(sys, F, d, filtered);
  return filtered;
}

signal_rec *attenuated_pulse(sys_con *sys, signal_rec *a, signal_rec *b, signal_rec *pulse,
                             signal_rec **spectrum) {
  if (a == nullptr || pulse == nullptr) return fast_dft_convolute(sys, a, pulse, nullptr);
  const int extra = b != nullptr ? b->no_samples : 0;
  // Twice the transmit start: the two-way path to the point and back.
  signal_rec *A = Attenuate_pulse(sys, pulse, spectrum, 2 * a->start_sample,
                                  a->no_samples + pulse->no_samples, extra);
  // A holds at least na + 2 P + nb values, so this never replaces it.
  signal_rec *result = fast_dft_convolute(sys, a, pulse, &A);
  free_signal(sys, A);
  return result;
}

// ===========================================================================
// End of the frequency-dependent attenuation
// ===========================================================================

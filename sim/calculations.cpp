// calculations.cpp - field calculations: focusing at a field point, the
// attenuation of a pulse, the progress report, the rectangle response, the
// h, hp and hhp calculations and the scattering calculations.

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

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
  FocusDirection direction;
  for (int i = 0; i < ap->no_elements; i++) {
    const point3 centre = ap->elements[i].center;
    const double tau = distance(point, centre) / sys->c;
    delays[i] = focus_delay(sys, ap, i, tau, point, &direction);
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
// Largest gain of the attenuation filter, dB: 20 log10 of the largest double
// is 6165 dB, and the field a little below that still has to be summed.
constexpr double kMaxGainDb = 6000.0;

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
  const int transform = M > 0.0 ? static_cast<int>(M) : 0;  // negative freq_att
  // The convolution of n + e samples with the pulse must fit as well, or
  // fast_dft_convolute would replace the attenuated spectrum by a plain one.
  return std::max(transform, n + e + pulse_samples);
}

// needed_transform_length for a response (s, n, e), after the checks that
// the filter stays finite and its transform within max_samples.
int checked_attenuation_length(sys_con *sys, int s, int n, int e, int pulse_samples) {
  const double d = middle_distance(sys, s, n, e);
  // Below att_f0 the filter amplifies; at DC by freq_att att_f0 d dB. Beyond
  // kMaxGainDb the gain (and the field) would overflow to infinity.
  const double gain_db = sys->freq_att * sys->att_f0 * d;
  if (!(gain_db <= kMaxGainDb))
    sonvar::fail(sys,
                 "attenuation: at a distance of %g m, freq_att %g dB/(m Hz) around att_f0 %g Hz "
                 "amplifies the lowest frequencies by %g dB; above %g dB the field overflows",
                 d, sys->freq_att, sys->att_f0, gain_db, kMaxGainDb);
  const int needed = needed_transform_length(sys, s, n, e, pulse_samples);
  if (needed > sys->max_samples)
    sonvar::fail(sys,
                 "attenuation: at a distance of %g m, freq_att %g dB/(m Hz) spreads the pulse over "
                 "a transform of %d samples; at most max_samples %lld",
                 d, sys->freq_att, needed, static_cast<long long>(sys->max_samples));
  return needed;
}

// Bins between two exactly computed amplitudes of the filter. In between,
// the amplitude falls geometrically with the bin (it is exponential in
// frequency), so one multiplication replaces an exp; the relative error
// that builds up over a run stays near kAnchorBins rounding steps (~1e-14).
constexpr int kAnchorBins = 32;

// exp(-k fa (f - f0) d) for the bins of one filter: exact at every
// kAnchorBins-th bin, the previous value times exp(-k fa d fs/N) between.
class AmplitudeRun {
 public:
  AmplitudeRun(const sys_con *sys, int N, double d)
      : sys_(sys),
        N_(N),
        d_(d),
        ratio_(std::exp(-kNeperPerDb * sys->freq_att * (sys->fs / N) * d)) {}
  double at(int m) {
    if (m % kAnchorBins == 1) {  // bins count from 1
      value_ = exact(m);
    } else {
      value_ *= ratio_;
    }
    return value_;
  }

 private:
  double exact(int m) const {
    const double f = m * sys_->fs / N_;
    return std::exp(-kNeperPerDb * sys_->freq_att * (f - sys_->att_f0) * d_);
  }
  const sys_con *sys_;
  int N_;
  double d_;
  double ratio_;
  double value_ = 0.0;
};

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
  AmplitudeRun amplitudes(sys, N, d);
  for (int m = 1; m < N / 2; m++) {
    const double f = m * sys->fs / N;
    const double amplitude = amplitudes.at(m);
    const double phase =
        -2 * kPi * f * h * d + std::log(2 * kPi * f) * (2 * f * kNeperPerDb * fa * d / kPi);
    // sin is odd, so -sin(phase) is sin(-phase) exactly; with both taken of
    // the same argument the compiler forms them in one sincos call.
    const double cosine = std::cos(phase);
    const double sine = -std::sin(phase);
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
  const int needed = checked_attenuation_length(sys, s, n, e, pulse->no_samples);
  if (*spectrum == nullptr || (*spectrum)->no_samples < needed) {
    signal_rec *renewed = Find_FFT(sys, pulse, Find_N(needed, 0));
    if (*spectrum != nullptr) free_signal(sys, *spectrum);
    *spectrum = renewed;
  }
  const signal_rec *F = *spectrum;
  signal_rec *filtered = alloc_signal(sys, F->no_samples, F->start_sample);
  filter_spectrum(sys, F, middle_distance(sys, s, n, e), filtered);
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

// ===========================================================================
// Progress and timing report
// ===========================================================================

namespace {

constexpr std::size_t kProgressLine = 256;
constexpr std::size_t kFinalLine = 128;

// Splits a duration in seconds for the hours formats.
struct HoursSplit {
  double hours, minutes, seconds;
};

HoursSplit split_hours(double total) {
  const double hours = std::floor(total / 3600);
  const double minutes = std::floor((total - 3600 * hours) / 60);
  const double seconds = total - 60 * std::floor(total / 60);
  return {hours, minutes, seconds};
}

void print_estimate(sys_con *sys, double total) {
  if (total > 3600) {
    const HoursSplit split = split_hours(total);
    sonvar::print_formatted(sys, kProgressLine,
                            "Calculation will take roughly %3.0f hours, %2.0f minutes %2.0f "
                            "seconds to complete%26s\n",
                            split.hours, split.minutes, split.seconds, "");
  } else {
    const double minutes = std::floor(total / 60);
    sonvar::print_formatted(
        sys, kProgressLine,
        "Calculation will take roughly %3.0f minutes %2.0f seconds to complete%39s\n", minutes,
        total - 60 * minutes, "");
  }
}

void print_progress(sys_con *sys, double percent, double remaining) {
  if (remaining > 3600) {
    const HoursSplit split = split_hours(remaining);
    sonvar::print_formatted(sys, kProgressLine,
                            "%6.1f %% performed (roughly %3.0f hours, %2.0f minutes %2.0f seconds "
                            "remaining)\r",
                            percent, split.hours, split.minutes, split.seconds);
  } else if (remaining > 60) {
    const double minutes = std::floor(remaining / 60);
    sonvar::print_formatted(
        sys, kProgressLine,
        "%6.1f %% performed (roughly %2.0f minutes %2.0f seconds remaining)%15s\r", percent,
        minutes, remaining - 60 * minutes, "");
  } else {
    sonvar::print_formatted(sys, kProgressLine,
                            "%6.1f %% performed (roughly %2.0f seconds remaining)%29s\r", percent,
                            remaining, "");
  }
}

}  // namespace

void display_calculation_time_at(sys_con *sys, time_t now, time_t t_start, time_t *current,
                                 time_t *last_shown, int *estimate_shown, int i, int n) {
  if (!sys->show_times) return;
  *current = now;
  const time_t elapsed = now - t_start;
  const double per_point = static_cast<double>(elapsed) / (i + 1);
  const double remaining = (n - i - 1) * per_point;
  if (elapsed > 30 && *estimate_shown == 0 && remaining > 30.0) {
    print_estimate(sys, per_point * n);
    *estimate_shown = 1;
  }
  if (now - *last_shown > sys->time_interval) {
    print_progress(sys, static_cast<double>(i + 1) / n * 100, remaining);
    *last_shown = now;
  }
}

void display_calculation_time(sys_con *sys, time_t t_start, time_t *current, time_t *last_shown,
                              int *estimate_shown, int i, int n) {
  if (!sys->show_times) return;
  display_calculation_time_at(sys, time(nullptr), t_start, current, last_shown, estimate_shown, i,
                              n);
}

void display_final_time_at(sys_con *sys, time_t now, time_t t_start) {
  if (!sys->show_times) return;
  const double used = static_cast<double>(now - t_start);
  if (!(used > 1)) return;
  if (used > 3600) {
    const HoursSplit split = split_hours(used);
    sonvar::print_formatted(sys, kFinalLine,
                            " %3.0f hours, %2.0f minutes %2.0f seconds used for the "
                            "calculation%27s\n",
                            split.hours, split.minutes, split.seconds, "");
  } else if (used > 60) {
    const double minutes = std::floor(used / 60);
    sonvar::print_formatted(sys, kFinalLine,
                            "%2.0f minutes %2.0f seconds used for the calculation%27s\n", minutes,
                            used - 60 * minutes, "");
  } else {
    sonvar::print_formatted(sys, kFinalLine, "%2.0f seconds used for the calculation%27s\n", used,
                            "");
  }
}

void display_final_time(sys_con *sys, time_t t_start) {
  if (!sys->show_times) return;
  display_final_time_at(sys, time(nullptr), t_start);
}

// ===========================================================================
// Rectangle spatial impulse response
// ===========================================================================
//
// Each rectangle is taken in the far field of the point: its response is a
// trapezoid (the convolution of two rectangular pulses whose durations are
// the travel-time differences across its width and height), of area equal
// to the rectangle's weighted area, spread by 1/(2 pi R).

namespace {

// att * R in dB as a factor exp(-att * kAttPerW * W) with W = 2 pi R:
// ln(10)/20 / (2 pi).
constexpr double kAttPerW = 0.018323389972033078;

double distance(point3 a, double x, double y, double z) {
  return std::sqrt(sqr(x - a.x) + sqr(y - a.y) + sqr(z - a.z));
}

// The physical elements to compute at this point, nearest first and
// farthest second so that the sum rarely grows more than once. Returns the
// count written into block->element_order.
int select_rectangle_elements(sys_con *sys, calc_memory_block *block, const aperture *ap, double x,
                              double y, double z) {
  int32_t *order = block->element_order;
  if (block->single_element) {
    order[0] = block->element_index;
    return ap->elements[block->element_index].no_rectangles > 0 ? 1 : 0;
  }
  int count = 0, min_pos = 0, max_pos = 0;
  double min_path = 0, max_path = 0;
  for (int i = 0; i < ap->no_elements; i++) {
    if (block->apodizations[i] == 0.0 || ap->elements[i].no_rectangles == 0) continue;
    const double path = distance(ap->elements[i].center, x, y, z) + block->delays[i] * sys->c;
    if (count == 0) {
      min_path = max_path = path;
    } else if (path < min_path) {  // ties keep the first
      min_path = path;
      min_pos = count;
    } else if (path > max_path) {
      max_path = path;
      max_pos = count;
    }
    order[count++] = i;
  }
  if (count > 1) {
    std::swap(order[0], order[min_pos]);
    std::swap(order[1], order[max_pos]);
  }
  return count;
}

// Break times of one rectangle's trapezoid from its unit-vector record.
void rectangle_timing(sys_con *sys, const rect_element &rect, const rect_unit_vector &unit,
                      double delay, double x, double y, double z, rect_timing *timing) {
  if (sys->accurate_time_calc) {
    double t[4];
    for (int k = 0; k < 4; k++)
      t[k] = distance(rect.corners[k], x, y, z) / sys->c + delay + rect.delay;
    std::sort(t, t + 4);
    timing->t1 = t[0];
    timing->t2 = t[1];
    timing->t3 = t[2];
    timing->t4 = t[3];
    timing->short_duration = t[1] - t[0];
    timing->long_duration = t[2] - t[0];
    return;
  }
  double T0 = std::fabs(rect.width * unit.local_x / sys->c);
  double T1 = std::fabs(rect.height * unit.local_y / sys->c);
  if (T0 > T1) std::swap(T0, T1);
  timing->short_duration = T0;
  timing->long_duration = T1;
  timing->t1 = unit.t0 - (T0 + T1) / 2;
  timing->t2 = timing->t1 + T0;
  timing->t3 = timing->t1 + T1;
  timing->t4 = timing->t2 + T1;
}

// Takes the element signal of N samples from `start`: a new pool signal for
// the first element of the list, W1 for the others. All values zero.
signal_rec *element_signal(sys_con *sys, calc_memory_block *block, bool first, int N, int start) {
  signal_rec *signal = nullptr;
  if (first) {
    signal = alloc_signal(sys, N, start);
  } else {
    signal = block->rect_signals[1];
    if (signal->capacity < N) {
      extend_signal(sys, signal, N, start);
    } else {
      signal->start_sample = start;
      signal->no_samples = N;
    }
  }
  std::fill(signal->values, signal->values + N, 0.0);
  return signal;
}

// Adds one rectangle's interval averages into the element signal: the
// differences of the trapezoid's cumulative area function, taken at the
// sample times (start + j + 0.5) dt of the rectangle's own window, times
// weighted area and fs. The cumulative area is 0 before t1 and 1 after t4,
// so only the samples from t1 to the first one past t4 carry a difference
// and only those are visited. The sample times are one running sum, and
// each difference is formed and added exactly as from a stored cumulative
// area, so the element signal does not depend on this being one pass.
// Window samples that fall outside the element signal carry no difference.
template <bool kClipped>
void add_trapezoid_samples(double *target, int offset, int j_first, int j_end, int s, int n,
                           double dt, const rect_timing &timing, double scale) {
  const double t1 = timing.t1, t2 = timing.t2, t3 = timing.t3, t4 = timing.t4;
  const double T0 = timing.short_duration, T1 = timing.long_duration;
  double lambda = 0, mu = 0;
  if (T1 != 0) {
    mu = 1 / T1;
    if (T0 != 0) lambda = 1 / (2 * T0 * T1);
  }
  double previous = 0;  // the cumulative area of the sample before
  const auto emit = [&](int j, double value) {
    if (!kClipped || (j >= j_first && j < j_end)) target[j + offset] += (value - previous) * scale;
    previous = value;
  };
  double o = (s + 0.5) * dt;
  int j = 0;
  for (; j < n && o < t1; j++, o += dt) {
  }
  // The first sample of the window counts as before the trapezoid, wherever
  // its time falls.
  if (j == 0 && n > 0) j++, o += dt;
  for (; j < n && o < t2; j++, o += dt) emit(j, (o - t1) * (o - t1) * lambda);
  for (; j < n && o < t3; j++, o += dt) emit(j, (T0 / 2 + o - t2) * mu);
  for (; j < n && o < t4; j++, o += dt) emit(j, 1 - (o - t4) * (o - t4) * lambda);
  if (j < n) emit(j, 1.0);
}

typedef double Lanes4 __attribute__((vector_size(32), aligned(8)));

// Adds the differences of the cumulative area between consecutive samples,
// times scale, into target[1..n-1] for a window whose times are exact
// multiples o0 + j d (see exact_step): four samples at once. Each area
// value is the piece add_trapezoid_samples would take, computed the same
// way, and each difference is formed from the stored values as it would be
// there. The value before a group of four is taken from the previous group
// in registers: reading it back from memory, straddling two stores, stalls
// every group on the store forwarding. Sample 0 counts as before the
// trapezoid (area 0); it and the lanes past n add nothing.
SONVAR_VECTOR_CLONES void add_trapezoid_differences(double *target, int n, double o0, double d,
                                                    const rect_timing &timing, double scale) {
  const double t1 = timing.t1, t2 = timing.t2, t3 = timing.t3, t4 = timing.t4;
  const double lambda = timing.lambda, mu = timing.mu;
  const double half = timing.short_duration / 2;
  const Lanes4 zero = {0, 0, 0, 0}, one = {1, 1, 1, 1};
  Lanes4 j = {0, 1, 2, 3};
  Lanes4 previous = zero;
  for (int k = 0; k < n; k += 4, j += 4) {
    const Lanes4 o = o0 + j * d;
    const Lanes4 rise = (o - t1) * (o - t1) * lambda;
    const Lanes4 flat = (half + o - t2) * mu;
    const Lanes4 fall = 1 - (o - t4) * (o - t4) * lambda;
    Lanes4 value = o < t1 ? zero : o < t2 ? rise : o < t3 ? flat : o < t4 ? fall : one;
    if (k == 0) value[0] = 0;
    const Lanes4 before = __builtin_shufflevector(previous, value, 3, 4, 5, 6);
    const Lanes4 step = (value - before) * scale;
    previous = value;
    if (k + 4 <= n) {
      Lanes4 sum;
      std::memcpy(&sum, target + k, sizeof sum);
      // Lane 0 of the first group adds (0 - 0) scale, which leaves any sum
      // (never -0 here) as it is.
      sum += step;
      std::memcpy(target + k, &sum, sizeof sum);
    } else {
      for (int q = k == 0 ? 1 : 0; k + q < n; q++) target[k + q] += step[q];
    }
  }
}

// The step of the running sum o += dt from o0 over `steps` additions when
// every addition adds the same d: all sums lie in the binade of o0 (one
// spacing u of doubles) and dt is not half-way between two multiples of u,
// so each sum rounds to o + d with d = dt rounded to a multiple of u; then
// o0 + j d is exact and equal to the running sum. 0 otherwise.
double exact_step(double o0, double dt, int steps) {
  if (!(o0 > 0) || !(o0 < 1)) return 0;
  const double d = (o0 + dt) - o0;
  const double last = o0 + steps * d;
  std::uint64_t b0 = 0, b1 = 0;
  std::memcpy(&b0, &o0, 8);
  std::memcpy(&b1, &last, 8);
  const std::uint64_t exponent = b0 >> 52;
  if (exponent != b1 >> 52 || exponent <= 53) return 0;
  const std::uint64_t half_spacing_bits = (exponent - 53) << 52;
  double half_spacing = 0;
  std::memcpy(&half_spacing, &half_spacing_bits, 8);
  return std::fabs(dt - d) == half_spacing ? 0 : d;
}

// The sample window of a trapezoid whose break times are set.
void set_window(const sys_con *sys, double dt, rect_timing *timing) {
  const double T0 = timing->short_duration, T1 = timing->long_duration;
  timing->window_start = std::floor(timing->t1 * sys->fs) - 1;
  timing->window_samples = std::ceil((timing->t4 - timing->t1) * sys->fs + 3);
  timing->start_time = (timing->window_start + 0.5) * dt;
  timing->step = 0;
  if (timing->window_samples < 1e9)
    timing->step = exact_step(timing->start_time, dt, static_cast<int>(timing->window_samples));
  timing->lambda = T1 != 0 && T0 != 0 ? 1 / (2 * T0 * T1) : 0;
  timing->mu = T1 != 0 ? 1 / T1 : 0;
}

void add_rectangle(sys_con *sys, double dt, const rect_timing &timing, double weighted_area,
                   signal_rec *element) {
  const int s = static_cast<int>(timing.window_start);
  const int n = static_cast<int>(timing.window_samples);
  const int offset = s - element->start_sample;
  const int j_first = std::max(0, -offset);
  const int j_end = std::min(n, element->no_samples - offset);
  const double scale = weighted_area * sys->fs;
  if (j_first == 0 && j_end == n) {
    if (timing.step > 0) {
      add_trapezoid_differences(element->values + offset, n, timing.start_time, timing.step, timing,
                                scale);
      return;
    }
    add_trapezoid_samples<false>(element->values, offset, 0, n, s, n, dt, timing, scale);
  } else {
    add_trapezoid_samples<true>(element->values, offset, j_first, j_end, s, n, dt, timing, scale);
  }
}

// Samples between two exactly computed attenuation factors of the
// spreading; between them the factor falls by a constant ratio per sample.
constexpr int kAnchorSamples = 32;

// exp(-att kAttPerW w) for the samples of one element signal, where w grows
// by the same step from sample to sample: exact at every kAnchorSamples-th
// sample and wherever w is clamped, one multiplication in between (relative
// error a few rounding steps, ~1e-14).
class SpreadAttenuation {
 public:
  SpreadAttenuation(const sys_con *sys, double w_step)
      : rate_(sys->att * kAttPerW), ratio_(std::exp(-rate_ * w_step)) {}
  double at(int k, double w, bool clamped) {
    if (k % kAnchorSamples == 0 || clamped || !running_) {
      value_ = std::exp(-rate_ * w);
      running_ = !clamped;
    } else {
      value_ *= ratio_;
    }
    return value_;
  }

 private:
  double rate_;
  double ratio_;
  double value_ = 0.0;
  bool running_ = false;
};

// 1/(2 pi R) spreading, apodization, frequency-independent attenuation and
// the soft-baffle obliquity factor, sample by sample with the distance of
// each sample's time. W is kept at one sample of travel or more, so that a
// point within a few samples of the face neither flips sign nor blows up.
// The spreading alone, four samples at once, for W0 + k step exact (see
// exact_step); each value as spread_and_weight forms it.
SONVAR_VECTOR_CLONES void spread_only(double *values, int n, double W0, double step, double w_min,
                                      double weight) {
  const Lanes4 floor_w = {w_min, w_min, w_min, w_min};
  Lanes4 k = {0, 1, 2, 3};
  int j = 0;
  for (; j + 4 <= n; j += 4, k += 4) {
    const Lanes4 W = W0 + k * step;
    const Lanes4 w = W < w_min ? floor_w : W;
    Lanes4 v;
    std::memcpy(&v, values + j, sizeof v);
    v = weight * v / w;
    std::memcpy(values + j, &v, sizeof v);
  }
  for (; j < n; j++) {
    const double W = W0 + j * step;
    const double w = W < w_min ? w_min : W;
    values[j] = weight * values[j] / w;
  }
}

void spread_and_weight(sys_con *sys, const aperture *ap, signal_rec *signal, double delay,
                       double weight, double z) {
  const double omega = kTwoPi * sys->c;
  const double dt = 1 / sys->fs;
  const double w_min = omega / sys->fs;
  const double w_step = dt * omega;
  double W = (signal->start_sample / sys->fs - delay) * omega;
  if (!sys->use_att && !ap->soft_baffle) {
    const double step = exact_step(W, w_step, signal->no_samples);
    if (step > 0) {
      spread_only(signal->values, signal->no_samples, W, step, w_min, weight);
      return;
    }
  }
  SpreadAttenuation attenuation(sys, w_step);
  for (int k = 0; k < signal->no_samples; k++) {
    const bool clamped = W < w_min;
    const double w = clamped ? w_min : W;
    double h = weight * signal->values[k] / w;
    if (sys->use_att) h *= attenuation.at(k, w, clamped);
    if (ap->soft_baffle) h *= z * kTwoPi / w;
    signal->values[k] = h;
    W += w_step;
  }
}

typedef std::int64_t Bits4 __attribute__((vector_size(32), aligned(8)));

// |v| lane by lane: the sign bit cleared, as fabs does.
inline void make_absolute(Lanes4 *v) {
  const Bits4 magnitude = {INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX};
  Bits4 bits;
  std::memcpy(&bits, v, sizeof bits);
  bits &= magnitude;
  std::memcpy(v, &bits, sizeof bits);
}

// The unit-vector records, far-field trapezoid timings and sample windows
// of n rectangles (rects[k], of an element with focusing delay delays[k]),
// four rectangles at a time (the last four repeat the last rectangle where
// n is not a multiple of four); each value is formed as unit_vec_calc_mem,
// rectangle_timing and set_window form it.
SONVAR_VECTOR_CLONES void far_field_timings(const rect_element *const *rects, const double *delays,
                                            int n, double x, double y, double z, const sys_con *sys,
                                            rect_unit_vector *units, rect_timing *timings) {
  const Lanes4 zero = {0, 0, 0, 0}, one = {1, 1, 1, 1};
  const double c = sys->c, fs = sys->fs, dt = 1 / sys->fs;
  for (int k = 0; k < n; k += 4) {
    const rect_element *r[4];
    Lanes4 delay;
    for (int q = 0; q < 4; q++) {
      r[q] = rects[std::min(k + q, n - 1)];
      delay[q] = delays[std::min(k + q, n - 1)];
    }
#define SONVAR_LANES(field) \
  { r[0]->field, r[1]->field, r[2]->field, r[3]->field }
    const Lanes4 wx = x - Lanes4 SONVAR_LANES(center.x);
    const Lanes4 wy = y - Lanes4 SONVAR_LANES(center.y);
    const Lanes4 wz = z - Lanes4 SONVAR_LANES(center.z);
    Lanes4 R0 = wx * wx + wy * wy + wz * wz;
    for (int q = 0; q < 4; q++) R0[q] = std::sqrt(R0[q]);
    const Lanes4 R = R0 > 0 ? R0 : one;
    const Lanes4 ux = R0 > 0 ? wx / R : zero;
    const Lanes4 uy = R0 > 0 ? wy / R : zero;
    const Lanes4 uz = R0 > 0 ? wz / R : one;
    const Lanes4 width = SONVAR_LANES(width);
    const Lanes4 height = SONVAR_LANES(height);
    const Lanes4 cos_xz = SONVAR_LANES(cos_xz), sin_xz = SONVAR_LANES(sin_xz);
    const Lanes4 cos_yz = SONVAR_LANES(cos_yz), sin_yz = SONVAR_LANES(sin_yz);
    const Bits4 doubly = SONVAR_LANES(doubly_tilted);
    // Both tilts: the second rotation from the frame of the first, then
    // normalised; one tilt: the rotation alone.
    const Lanes4 a = cos_xz * ux + sin_xz * uz;
    Lanes4 local_x = a;
    Lanes4 local_y = cos_yz * uy + sin_yz * uz;
    // The square root and divisions only where a lane needs them (most
    // arrays tilt their rectangles about one axis only).
    if ((doubly[0] | doubly[1] | doubly[2] | doubly[3]) != 0) {
      const Lanes4 b = cos_xz * uz - sin_xz * ux;
      const Lanes4 tilted_y = cos_yz * uy + sin_yz * b;
      const Lanes4 normal = cos_yz * b - sin_yz * uy;
      Lanes4 root = a * a + tilted_y * tilted_y + normal * normal;
      for (int q = 0; q < 4; q++) root[q] = std::sqrt(root[q]);
      local_x = doubly != 0 ? a / root : local_x;
      local_y = doubly != 0 ? tilted_y / root : local_y;
    }
    const Lanes4 t0 = R0 / c + delay + Lanes4 SONVAR_LANES(delay);
    const Lanes4 weighted_area = Lanes4 SONVAR_LANES(apodization) * height * width;
#undef SONVAR_LANES
    Lanes4 across = width * local_x / c;
    Lanes4 along = height * local_y / c;
    make_absolute(&across);
    make_absolute(&along);
    const Lanes4 T0 = across > along ? along : across;
    const Lanes4 T1 = across > along ? across : along;
    const Lanes4 t1 = t0 - (T0 + T1) / 2;
    const Lanes4 t2 = t1 + T0;
    const Lanes4 t3 = t1 + T1;
    const Lanes4 t4 = t2 + T1;
    // The window and its exact step, as set_window and exact_step.
    Lanes4 first = t1 * fs, count = (t4 - t1) * fs + 3;
    for (int q = 0; q < 4; q++) {
      first[q] = std::floor(first[q]);
      count[q] = std::ceil(count[q]);
    }
    first -= 1;
    const Lanes4 start = (first + 0.5) * dt;
    const Lanes4 d = (start + dt) - start;
    const Lanes4 last = start + count * d;
    Bits4 b0, b1;
    std::memcpy(&b0, &start, sizeof b0);
    std::memcpy(&b1, &last, sizeof b1);
    const Bits4 exponent = b0 >> 52;
    const Bits4 low = {54, 54, 54, 54};
    const Bits4 half_bits = ((exponent > 53 ? exponent : low) - 53) << 52;
    Lanes4 half_spacing, off_grid = dt - d;
    std::memcpy(&half_spacing, &half_bits, sizeof half_spacing);
    make_absolute(&off_grid);
    const Bits4 exact = (start > 0) & (start < 1) & (count < 1e9) & (exponent == (b1 >> 52)) &
                        (exponent > 53) & (off_grid != half_spacing);
    const Lanes4 step = exact != 0 ? d : zero;
    const Bits4 both = (T1 != 0) & (T0 != 0);
    const Lanes4 lambda = both != 0 ? 1 / (2 * T0 * T1) : zero;
    const Lanes4 mu = T1 != 0 ? 1 / T1 : zero;
    for (int q = 0; q < 4 && k + q < n; q++) {
      units[k + q] = {local_x[q], local_y[q], weighted_area[q], t0[q]};
      timings[k + q] = {T0[q],    T1[q],    t1[q],    t2[q],   t3[q],     t4[q],
                        first[q], count[q], start[q], step[q], lambda[q], mu[q]};
    }
  }
}

// The records of the rectangles of elements list[0..count) at (x, y, z)
// into the block's unit_vectors and timings, element by element (element
// list[k]'s from batch_offsets[list[k]]); the far-field timings run in full
// fours across the elements, each rectangle with its own element's delay.
// Every listed element has rectangles, and together they fit the batch
// (batch_end).
void element_timings(sys_con *sys, calc_memory_block *block, const aperture *ap,
                     const int32_t *list, int count, double x, double y, double z) {
  int m = 0;
  for (int k = 0; k < count; k++) {
    const int i = list[k];
    const physical_element &element = ap->elements[i];
    const double delay = block->no_delay ? 0.0 : block->delays[i];
    block->batch_offsets[i] = m;
    for (int r = 0; r < element.no_rectangles; r++, m++) {
      block->batch_rects[m] = element.rectangles + r;
      block->batch_delays[m] = delay;
    }
  }
  if (!sys->accurate_time_calc) {
    far_field_timings(block->batch_rects, block->batch_delays, m, x, y, z, sys, block->unit_vectors,
                      block->timings);
    return;
  }
  for (int k = 0; k < count; k++) {
    const int i = list[k];
    const physical_element &element = ap->elements[i];
    const int o = block->batch_offsets[i];
    rectangle_timings(sys, element.rectangles, element.no_rectangles, block->batch_delays[o], x, y,
                      z, block->unit_vectors + o, block->timings + o, 0);
  }
}

// The end of the elements from list[k] on whose rectangles fit one batch
// (at least list[k] itself, which always fits).
int batch_end(const calc_memory_block *block, const aperture *ap, const int32_t *list, int k,
              int count) {
  int end = k, records = 0;
  while (end < count) {
    const int n = ap->elements[list[end]].no_rectangles;
    if (end > k && records + n > block->batch_capacity) break;
    records += n;
    end++;
  }
  return end;
}

// The element signal of element i from its rectangles' records (units and
// timings, as element_timings leaves them): the sum of their trapezoids.
signal_rec *rectangle_element_response(sys_con *sys, calc_memory_block *block, const aperture *ap,
                                       int i, bool first, double x, double y, double z,
                                       const rect_unit_vector *units, const rect_timing *timings) {
  const physical_element &element = ap->elements[i];
  const int n = element.no_rectangles;
  const double dt = 1 / sys->fs;
  double t_min = 0, t_max = 0;
  bool defined = true;  // a NaN time escapes the min and max below
  for (int k = 0; k < n; k++) {
    const rect_timing *timing = &timings[k];
    defined = defined && std::isfinite(timing->t1) && std::isfinite(timing->t4);
    if (k == 0 || timing->t1 < t_min) t_min = timing->t1;
    if (k == 0 || timing->t4 > t_max) t_max = timing->t4;
  }
  const double t_lo = std::floor(t_min / dt) * dt;
  const double t_hi = std::ceil(t_max / dt) * dt;
  // Every sample count and start below (and in area) lies within these.
  const double span = defined ? std::ceil((t_hi - t_lo) * sys->fs + 4) : NAN;
  const double first_sample = std::floor(t_lo / dt) - 1;
  if (!sonvar::response_fits(sys, span, first_sample)) {
    char what[96];
    snprintf(what, sizeof what, "rectangle response of physical element %d", i + 1);
    sonvar::fail_response(sys, what, span, first_sample, point3{x, y, z},
                          distance(element.center, x, y, z));
  }
  const int N = static_cast<int>(span);
  signal_rec *signal = element_signal(sys, block, first, N, static_cast<int>(first_sample));
  for (int k = 0; k < n; k++) add_rectangle(sys, dt, timings[k], units[k].weighted_area, signal);
  const double weight = block->no_delay ? 1.0 : block->apodizations[i];
  spread_and_weight(sys, ap, signal, block->delays[i], weight, z);
  return signal;
}

// Convolves the element signal with the element's own excitation into W2
// and exchanges the working signals so that the block keeps three of its
// own. Returns the convolved signal.
signal_rec *apply_element_excitation(sys_con *sys, calc_memory_block *block,
                                     const physical_element &element, signal_rec *signal,
                                     bool first) {
  signal_rec *result = Convolute_fast(sys, signal, element.excitation, block->rect_signals[2]);
  if (first) {
    block->rect_signals[2] = signal;  // the new signal takes W2's place
  } else {
    block->rect_signals[2] = block->rect_signals[1];
    block->rect_signals[1] = result;
  }
  return result;
}

}  // namespace

rect_unit_vector *unit_vec_calc_mem(sys_con *sys, rect_unit_vector *out, int n,
                                    const rect_element *rectangles, double delay, double x,
                                    double y, double z) {
  for (int k = 0; k < n; k++) {
    const rect_element &rect = rectangles[k];
    const double wx = x - rect.center.x, wy = y - rect.center.y, wz = z - rect.center.z;
    const double R0 = std::sqrt(wx * wx + wy * wy + wz * wz);
    // A point exactly at the centre looks along the normal.
    double ux = 0, uy = 0, uz = 1;
    if (R0 > 0) {
      ux = wx / R0;
      uy = wy / R0;
      uz = wz / R0;
    }
    rect_unit_vector &unit = out[k];
    if (rect.doubly_tilted) {
      const double a = rect.cos_xz * ux + rect.sin_xz * uz;
      const double b = rect.cos_xz * uz - rect.sin_xz * ux;
      const double local_y = rect.cos_yz * uy + rect.sin_yz * b;
      const double normal = rect.cos_yz * b - rect.sin_yz * uy;
      const double root = std::sqrt(a * a + local_y * local_y + normal * normal);
      unit.local_x = a / root;
      unit.local_y = local_y / root;
    } else {
      // The rotation into the rectangle's frame for one tilt, as the doubly
      // tilted branch takes it: cos (u_x + u_z tan) keeps the direction
      // cosine a true cosine (ux + uz tan alone is 1/cos too large, which
      // narrows the directivity of every tilted element).
      unit.local_x = rect.cos_xz * ux + rect.sin_xz * uz;
      unit.local_y = rect.cos_yz * uy + rect.sin_yz * uz;
    }
    unit.t0 = R0 / sys->c + delay + rect.delay;
    unit.weighted_area = rect.apodization * rect.height * rect.width;
  }
  return out;
}

void rectangle_timings(sys_con *sys, const rect_element *rects, int n, double delay, double x,
                       double y, double z, rect_unit_vector *units, rect_timing *timings,
                       int by_four) {
  if (by_four && !sys->accurate_time_calc) {
    std::vector<const rect_element *> pointers(static_cast<std::size_t>(n));
    for (int k = 0; k < n; k++) pointers[static_cast<std::size_t>(k)] = rects + k;
    const std::vector<double> delays(static_cast<std::size_t>(n), delay);
    far_field_timings(pointers.data(), delays.data(), n, x, y, z, sys, units, timings);
    return;
  }
  unit_vec_calc_mem(sys, units, n, rects, delay, x, y, z);
  for (int k = 0; k < n; k++) {
    rectangle_timing(sys, rects[k], units[k], delay, x, y, z, &timings[k]);
    set_window(sys, 1 / sys->fs, &timings[k]);
  }
}

double exact_time_step(double o0, double dt, int steps) {
  return exact_step(o0, dt, steps);
}

signal_rec *calc_rectangles_mem(sys_con *sys, calc_memory_block *block, aperture *ap, double x,
                                double y, double z) {
  if (!block->delays_current)
    find_delays_and_apodization(sys, ap, block->delays, block->apodizations, x, y, z);
  const int count = select_rectangle_elements(sys, block, ap, x, y, z);
  const int32_t *order = block->element_order;
  signal_rec *sum = nullptr;
  for (int k0 = 0; k0 < count;) {
    const int end = batch_end(block, ap, order, k0, count);
    element_timings(sys, block, ap, order + k0, end - k0, x, y, z);
    for (int k = k0; k < end; k++) {
      const int i = order[k];
      const bool first = k == 0;
      const int o = block->batch_offsets[i];
      signal_rec *signal = rectangle_element_response(sys, block, ap, i, first, x, y, z,
                                                      block->unit_vectors + o, block->timings + o);
      const physical_element &element = ap->elements[i];
      if (element.has_excitation && block->apply_excitation)
        signal = apply_element_excitation(sys, block, element, signal, first);
      if (first)
        sum = signal;
      else
        add_responses(sys, signal, sum);
    }
    k0 = end;
  }
  return sum;
}

signal_rec *rectangle_elements_and_sum(sys_con *sys, calc_memory_block *block, aperture *ap,
                                       double x, double y, double z, signal_rec **elements) {
  find_delays_and_apodization(sys, ap, block->delays, block->apodizations, x, y, z);
  block->single_element = 0;
  const int count = select_rectangle_elements(sys, block, ap, x, y, z);
  int32_t *list = block->batch_list;
  int listed = 0;
  for (int i = 0; i < ap->no_elements; i++) {
    elements[i] = nullptr;
    if (ap->elements[i].no_rectangles > 0) list[listed++] = i;
  }
  for (int k0 = 0; k0 < listed;) {
    const int end = batch_end(block, ap, list, k0, listed);
    element_timings(sys, block, ap, list + k0, end - k0, x, y, z);
    for (int k = k0; k < end; k++) {
      const int i = list[k];
      const physical_element &element = ap->elements[i];
      const int o = block->batch_offsets[i];
      // Each element as the single-element response makes it: a signal of
      // its own, weighted and excited as in the sum.
      signal_rec *signal = rectangle_element_response(sys, block, ap, i, true, x, y, z,
                                                      block->unit_vectors + o, block->timings + o);
      if (element.has_excitation && block->apply_excitation)
        signal = apply_element_excitation(sys, block, element, signal, true);
      elements[i] = signal;
    }
    k0 = end;
  }
  // The sum in the order calc_rectangles_mem adds it, so the same values.
  signal_rec *sum = nullptr;
  for (int k = 0; k < count; k++) sum = add_responses(sys, elements[block->element_order[k]], sum);
  return sum;
}

signal_rec *calc_response_mem(sys_con *sys, calc_memory_block *block, aperture *ap, double x,
                              double y, double z) {
  if (!ap->uses_rectangles && !ap->uses_triangles && !ap->uses_lines)
    return calc_lines(sys, block, ap, x, y, z);
  signal_rec *sum = nullptr;
  const auto absorb = [&](signal_rec *part) {
    if (part == nullptr) return;
    if (sum != nullptr) {
      add_responses(sys, sum, part);
      free_signal(sys, sum);
    }
    sum = part;
  };
  if (ap->uses_rectangles) absorb(calc_rectangles_mem(sys, block, ap, x, y, z));
  if (ap->uses_triangles) absorb(calc_triangles(sys, block, ap, x, y, z));
  if (ap->uses_lines) absorb(calc_lines(sys, block, ap, x, y, z));
  return sum;
}

// ===========================================================================
// Field calculations h, hp and hhp
// ===========================================================================

namespace {

// Clock readings of one calculation's progress report.
struct ProgressClock {
  time_t start = time(nullptr);
  time_t current = start;
  time_t last_shown = start;
  int estimate_shown = 0;
  void point_done(sys_con *sys, int i, int n) {
    display_calculation_time(sys, start, &current, &last_shown, &estimate_shown, i, n);
  }
};

// A result array of n entries, all absent (an empty array for n = 0).
signal_rec **new_result_array(sys_con *sys, int n) {
  return sonvar::alloc_array<signal_rec *>(sys, n > 0 ? n : 1, "the array of result signals");
}

calc_memory_block *new_block(sys_con *sys, aperture *ap1, aperture *ap2, bool excitations) {
  calc_memory_block *block = pre_allocate_memory(sys, ap1, ap2);
  block->apply_excitation = excitations ? 1 : 0;
  return block;
}

// The emitted pulse (impulse response * excitation)/fs of one aperture.
signal_rec *emitted_pulse(sys_con *sys, const aperture *ap) {
  return fast_convolute(sys, ap->impulse_response, ap->excitation);
}

// The two-way pulse: receive impulse response * transmit pulse, over fs.
signal_rec *two_way_pulse(sys_con *sys, const aperture *transmit, const aperture *receive) {
  signal_rec *inner = emitted_pulse(sys, transmit);
  signal_rec *pulse = fast_convolute(sys, receive->impulse_response, inner);
  free_signal(sys, inner);
  return pulse;
}

// A zero signal shaped like the pulse: the field of a point that receives
// nothing.
signal_rec *zeros_like(sys_con *sys, const signal_rec *pulse) {
  return alloc_signal(sys, pulse->no_samples, pulse->start_sample);
}

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

// Multiply-adds of a direct convolution that cost as much as one butterfly
// step (N log2 N of them) of an FFT convolution at the joint length N.
// Measured on this code over 40 to 400 taps and 200 to 10,000 outputs: the
// direct sum takes about 0.06 ns per multiply-add, three transforms (both
// spectra made) about 1.8 ns per step, so they break even near 30; with one
// spectrum kept, two transforms break even near 20. Each constant stays a
// little below, where the direct sum is clearly no dearer.
constexpr double kMacsPerThreeTransformSteps = 28;
constexpr double kMacsPerTwoTransformSteps = 14;

// Whether taps x outputs of a direct convolution of `taps` values with
// `other` values cost less than transforms of the joint length. The choice
// depends on the two lengths alone.
bool direct_costs_less(int taps, int other, double macs_per_step) {
  const int joint = taps + other;
  const int N = Find_N(joint, 0);
  return static_cast<double>(taps) * (joint - 1) <= macs_per_step * N * std::log2(N);
}

// *dst += factor (taps * other) by the direct sum; *pad holds `other`
// between zeros (a working signal made on first use and kept by the caller).
void add_direct_convolution(sys_con *sys, signal_rec **pad, signal_rec **dst,
                            const signal_rec *taps, const signal_rec *other, double factor) {
  if (*pad == nullptr) *pad = alloc_signal(sys, 1024, 0);
  const double *padded = pad_samples(sys, *pad, other, taps->no_samples);
  add_scaled_convolution(sys, dst, taps, other, padded, factor);
}

// Spectra of one calculation's pulse, one per transform length. A
// response is always convolved through the spectrum of its own length (and
// filtered at its own length), so that its result depends on the response
// alone: not on the points computed before it in the same call, nor on how
// the dispatcher split the points over threads.
struct PulseSpectra {
  signal_rec *by_length[32] = {};
  signal_rec *padded = nullptr;  // a response between zeros, for the direct sum
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
  }
};

// (response * pulse)/fs through the pulse spectrum of the response's
// length, filtered for the response's distance when attenuation is on.
// Returns zeros shaped like the pulse when there is no response.
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

void release_if_present(sys_con *sys, signal_rec *signal) {
  if (signal != nullptr) free_signal(sys, signal);
}

// The common end of the calculations with a pulse: the final time is
// reported, then the scratch block and the pulse go back.
void end_calculation(sys_con *sys, const ProgressClock &clock, calc_memory_block *block,
                     signal_rec *pulse) {
  display_final_time(sys, clock.start);
  free_memory_block(sys, block);
  free_signal(sys, pulse);
}

// A field result is formed in a transform buffer a power of two long, up to
// twice its samples. The caller keeps one per point, so the array is cut to
// the samples (the bytes charged to the pool fall with it): hp of many
// points then holds about the size of its samples, and the freed buffer is
// warm memory for the next point's transform.
void fit_to_samples(sys_con *sys, signal_rec *result) {
  const int n = result->no_samples;
  if (result->capacity - n <= n / 8) return;  // too little to gain for a copy
  double *values = sonvar::alloc_array<double>(sys, static_cast<std::uint64_t>(n),
                                               "the samples of a field result");
  std::copy(result->values, result->values + n, values);
  {
    sonvar::MutexGuard guard(&sys->signal_mutex);
    sys->signal_bytes -= 8 * (static_cast<std::int64_t>(result->capacity) - n);
  }
  free_memory(sys, result->values);
  result->values = values;
  result->capacity = n;
  result->bytes = 8 * (static_cast<std::int64_t>(n) + 6);
}

}  // namespace

signal_rec **calc_h(sys_con *sys, aperture *ap, int n, const point3 *points) try {
  SONVAR_ENTER(sys);
  sonvar::check_calculation(sys, "calc_h", ap, ap, n, points, nullptr, false);
  sonvar::store_relaxed(&sys->last_calc_type, 0);
  signal_rec **result = new_result_array(sys, n);
  calc_memory_block *block = new_block(sys, ap, ap, false);
  ProgressClock clock;
  for (int i = 0; i < n; i++) {
    signal_rec *R = calc_response_mem(sys, block, ap, points[i].x, points[i].y, points[i].z);
    result[i] = (sys->use_att && R != nullptr) ? attenuated_h(sys, R) : R;
    sonvar::check_finite_result(sys, "calc_h", result[i], i, points[i]);
    clock.point_done(sys, i, n);
  }
  free_memory_block(sys, block);
  display_final_time(sys, clock.start);
  return result;
}
SONVAR_LEAVE(sys)

signal_rec **calc_hp(sys_con *sys, aperture *ap, int n, const point3 *points) try {
  SONVAR_ENTER(sys);
  sonvar::check_calculation(sys, "calc_hp", ap, ap, n, points, nullptr, false);
  sonvar::store_relaxed(&sys->last_calc_type, 1);
  signal_rec **result = new_result_array(sys, n);
  calc_memory_block *block = new_block(sys, ap, ap, true);
  signal_rec *pulse = emitted_pulse(sys, ap);
  PulseSpectra spectra;
  ProgressClock clock;
  for (int i = 0; i < n; i++) {
    signal_rec *R = calc_response_mem(sys, block, ap, points[i].x, points[i].y, points[i].z);
    result[i] = convolve_with_pulse(sys, R, pulse, &spectra);
    sonvar::check_finite_result(sys, "calc_hp", result[i], i, points[i]);
    fit_to_samples(sys, result[i]);
    release_if_present(sys, R);
    clock.point_done(sys, i, n);
  }
  end_calculation(sys, clock, block, pulse);
  spectra.release(sys);
  return result;
}
SONVAR_LEAVE(sys)

signal_rec **calc_hhp(sys_con *sys, aperture *transmit, aperture *receive, int n,
                      const point3 *points) try {
  SONVAR_ENTER(sys);
  sonvar::check_calculation(sys, "calc_hhp", transmit, receive, n, points, nullptr, false);
  sonvar::store_relaxed(&sys->last_calc_type, 2);
  signal_rec **result = new_result_array(sys, n);
  calc_memory_block *block = new_block(sys, transmit, receive, true);
  signal_rec *pulse = two_way_pulse(sys, transmit, receive);
  PulseSpectra spectra;
  const bool shared = transmit == receive;
  ProgressClock clock;
  for (int i = 0; i < n; i++) {
    const point3 p = points[i];
    signal_rec *Rt = calc_response_mem(sys, block, transmit, p.x, p.y, p.z);
    signal_rec *Rr = shared ? Rt : calc_response_mem(sys, block, receive, p.x, p.y, p.z);
    // The pulse-echo response needs both paths: one missing, nothing returns.
    signal_rec *Q = (Rt != nullptr && Rr != nullptr) ? fast_convolute(sys, Rt, Rr) : nullptr;
    result[i] = convolve_with_pulse(sys, Q, pulse, &spectra);
    sonvar::check_finite_result(sys, "calc_hhp", result[i], i, p);
    fit_to_samples(sys, result[i]);
    release_if_present(sys, Q);
    release_if_present(sys, Rt);
    if (!shared) release_if_present(sys, Rr);
    clock.point_done(sys, i, n);
  }
  end_calculation(sys, clock, block, pulse);
  spectra.release(sys);
  return result;
}
SONVAR_LEAVE(sys)

// ===========================================================================
// Scattering calculations
// ===========================================================================

namespace {

double squared_range(point3 p) {
  return sqr(p.z) + (sqr(p.y) + sqr(p.x));
}

void swap_scatterers(point3 *points, double *amplitudes, int a, int b) {
  std::swap(points[a], points[b]);
  std::swap(amplitudes[a], amplitudes[b]);
}

// Puts the nearest scatterer first and the farthest second, so that the
// first echoes added already span nearly the whole time range.
void nearest_and_farthest_first(point3 *points, double *amplitudes, int n) {
  int min_pos = 0, max_pos = 0;
  double min_key = squared_range(points[0]), max_key = min_key;
  for (int i = 1; i < n; i++) {
    const double key = squared_range(points[i]);
    if (key > max_key) {
      max_key = key;
      max_pos = i;
    } else if (key < min_key) {
      min_key = key;
      min_pos = i;
    }
  }
  swap_scatterers(points, amplitudes, 0, min_pos);
  swap_scatterers(points, amplitudes, 1, max_pos);
}

// (echo * pulse)/fs with the pulse filtered for the echo's own distance; the
// echo goes back to the pool and the filtered one takes its place.
signal_rec *replace_by_attenuated_echo(sys_con *sys, signal_rec *echo, signal_rec *pulse,
                                       PulseSpectra *spectra) {
  signal_rec *A = Attenuate_pulse(
      sys, pulse, spectra->attenuation(sys, pulse, echo->start_sample, echo->no_samples, 0),
      echo->start_sample, echo->no_samples, 0);
  signal_rec *filtered = fast_dft_convolute(sys, echo, pulse, &A);
  free_signal(sys, A);
  free_signal(sys, echo);
  return filtered;
}

void scale_values(signal_rec *signal, double factor) {
  for (int j = 0; j < signal->no_samples; j++) signal->values[j] *= factor;
}

// Applies the postponed pulse convolution (no attenuation) or returns the
// sum as it is; an absent sum becomes zeros shaped like the pulse.
signal_rec *finish_with_pulse(sys_con *sys, signal_rec *sum, signal_rec *pulse, signal_rec **pad) {
  if (sum == nullptr) return zeros_like(sys, pulse);
  if (sys->use_att) return sum;
  signal_rec *result = nullptr;
  if (direct_costs_less(pulse->no_samples, sum->no_samples, kMacsPerThreeTransformSteps)) {
    add_direct_convolution(sys, pad, &result, pulse, sum, 1 / sys->fs);
  } else {
    result = fast_convolute(sys, pulse, sum);
  }
  free_signal(sys, sum);
  return result;
}

}  // namespace

void sort_points(sys_con *sys, int n, point3 *points, double *amplitudes) {
  double *keys = sonvar::alloc_array<double>(sys, n, "the scatterer sort keys");
  for (int k = 0; k < n; k++) keys[k] = squared_range(points[k]);
  // Heap sort over positions 1 .. n (position p is index p - 1).
  struct Item {
    double key;
    point3 point;
    double amplitude;
  };
  const auto get = [&](int p) { return Item{keys[p - 1], points[p - 1], amplitudes[p - 1]}; };
  const auto put = [&](int p, const Item &item) {
    keys[p - 1] = item.key;
    points[p - 1] = item.point;
    amplitudes[p - 1] = item.amplitude;
  };
  int l = n / 2 + 1, r = n;
  for (;;) {
    Item taken;
    if (l > 1) {
      taken = get(--l);
    } else {
      taken = get(r);
      put(r, get(1));
      if (--r == 1) {
        put(1, taken);
        break;
      }
    }
    int i = l, j = 2 * l;
    while (j <= r) {
      if (j < r && keys[j - 1] < keys[j]) j++;
      if (!(taken.key < keys[j - 1])) break;
      put(i, get(j));
      i = j;
      j = 2 * j;
    }
    put(i, taken);
  }
  free_memory(sys, keys);
}

namespace {

// ---- Per-element echoes accumulated by frames in the frequency domain ----
//
// Each receive element's echo sum is kept as the spectra of frames of
// kFrame samples that start every kHop samples on the absolute sample
// axis. The transmit response at a scatterer is cut at multiples of kHop
// into segments, each transformed once and shared by every element. An
// element response starting at sample q kHop + d is transformed with d
// leading zeros; its product with segment b spans at most
// kHop + d + taps - 1 <= 2 kHop + taps - 2 samples and so lies inside frame
// b + q without wrapping round, which lets the product of the spectra be
// added into that frame's spectrum. One inverse transform per frame and
// element at the end of a leaf gives the time signal. The transforms run
// kLanes at a time, one per vector lane.
constexpr int kFrame = 512;                           // samples of a frame's transform
constexpr int kHalfFrame = kFrame / 2;                // complex points of the inner transform
constexpr int kBins = kHalfFrame + 1;                 // bins of a real frame, DC to Nyquist
constexpr int kHop = 192;                             // frame spacing and transmit segment length
constexpr int kMaxBlockTaps = kFrame - 2 * kHop + 2;  // longest element response
constexpr int kLanes = 8;                             // transforms side by side
constexpr int kSpectrum = 2 * kBins;                  // a spectrum: kBins re, then kBins im

// Twiddles of the transforms and the bit reversal of the inner transform.
struct FramePlan {
  int reversed[kHalfFrame];
  // Stage of span 2h uses stage_cos/sin[h - 1 + m], m < h: exp(-2 pi i m / 2h).
  double stage_cos[kHalfFrame];
  double stage_sin[kHalfFrame];
  // exp(-2 pi i k / kFrame) for the split of the real transform.
  double split_cos[kBins];
  double split_sin[kBins];
  FramePlan() {
    int bits = 0;
    while ((1 << bits) < kHalfFrame) bits++;
    for (int i = 0; i < kHalfFrame; i++) {
      int r = 0;
      for (int b = 0, v = i; b < bits; b++, v >>= 1) r = (r << 1) | (v & 1);
      reversed[i] = r;
    }
    const double two_pi = 6.283185307179586476925286766559;
    for (int h = 1; h < kHalfFrame; h <<= 1)
      for (int m = 0; m < h; m++) {
        stage_cos[h - 1 + m] = std::cos(two_pi * m / (2 * h));
        stage_sin[h - 1 + m] = -std::sin(two_pi * m / (2 * h));
      }
    for (int k = 0; k < kBins; k++) {
      split_cos[k] = std::cos(two_pi * k / kFrame);
      split_sin[k] = -std::sin(two_pi * k / kFrame);
    }
  }
};

const FramePlan &frame_plan() {
  static const FramePlan plan;
  return plan;
}

typedef double Lanes8 __attribute__((vector_size(64), aligned(8)));
static_assert(sizeof(Lanes8) == kLanes * sizeof(double), "one vector holds the lanes");

// One butterfly on eight lanes: (a, b) becomes (a + w b, a - w b), w = c + i sn.
__attribute__((always_inline)) inline void butterfly(double c, double sn, Lanes8 &ar, Lanes8 &ai,
                                                     Lanes8 &br, Lanes8 &bi) {
  const Lanes8 tr = c * br - sn * bi, ti = c * bi + sn * br;
  br = ar - tr;
  bi = ai - ti;
  ar += tr;
  ai += ti;
}

// Vectors of the lanes in and out of memory (no alignment needed).
#define SONVAR_LOAD8(v, p) std::memcpy(&(v), (p), sizeof(Lanes8))
#define SONVAR_STORE8(p, v) std::memcpy((p), &(v), sizeof(Lanes8))

// r[i][j] becomes r[j][i]: eight values of one lane at eight points into
// one vector per lane and back (pairs, then twos, then fours swapped).
__attribute__((always_inline)) inline void transpose8(Lanes8 *r) {
  Lanes8 t[8], u[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = __builtin_shufflevector(r[i], r[i + 1], 0, 8, 2, 10, 4, 12, 6, 14);
    t[i + 1] = __builtin_shufflevector(r[i], r[i + 1], 1, 9, 3, 11, 5, 13, 7, 15);
  }
  for (int i = 0; i < 8; i += 4)
    for (int j = 0; j < 2; j++) {
      u[i + j] = __builtin_shufflevector(t[i + j], t[i + j + 2], 0, 1, 8, 9, 4, 5, 12, 13);
      u[i + j + 2] = __builtin_shufflevector(t[i + j], t[i + j + 2], 2, 3, 10, 11, 6, 7, 14, 15);
    }
  for (int j = 0; j < 4; j++) {
    r[j] = __builtin_shufflevector(u[j], u[j + 4], 0, 1, 2, 3, 8, 9, 10, 11);
    r[j + 4] = __builtin_shufflevector(u[j], u[j + 4], 4, 5, 6, 7, 12, 13, 14, 15);
  }
}

// kLanes complex transforms of kHalfFrame points in place, point n of lane
// l at [n kLanes + l] (re and im apart); the inverse without the 1/n.
SONVAR_WIDE_VECTOR_CLONES void lanes_transform(double *re, double *im, bool inverse) {
  const FramePlan &p = frame_plan();
  for (int i = 0; i < kHalfFrame; i++) {
    const int j = p.reversed[i];
    if (j <= i) continue;
    Lanes8 ri, ii, rj, ij;
    SONVAR_LOAD8(ri, re + i * kLanes);
    SONVAR_LOAD8(ii, im + i * kLanes);
    SONVAR_LOAD8(rj, re + j * kLanes);
    SONVAR_LOAD8(ij, im + j * kLanes);
    SONVAR_STORE8(re + i * kLanes, rj);
    SONVAR_STORE8(im + i * kLanes, ij);
    SONVAR_STORE8(re + j * kLanes, ri);
    SONVAR_STORE8(im + j * kLanes, ii);
  }
  // Two stages (spans 2h and 4h) per pass over the values: the same
  // butterflies in the same order for each value, half the loads and
  // stores.
  static_assert((kHalfFrame & 0x55555555) == kHalfFrame, "an even number of stages");
  const double sign = inverse ? -1.0 : 1.0;
  for (int h = 1; h < kHalfFrame; h <<= 2) {
    const double *c1 = p.stage_cos + h - 1, *s1 = p.stage_sin + h - 1;
    const double *c2 = p.stage_cos + 2 * h - 1, *s2 = p.stage_sin + 2 * h - 1;
    for (int i0 = 0; i0 < kHalfFrame; i0 += 4 * h)
      for (int m = 0; m < h; m++) {
        double *r0 = re + (i0 + m) * kLanes, *q0 = im + (i0 + m) * kLanes;
        double *r1 = r0 + h * kLanes, *q1 = q0 + h * kLanes;
        double *r2 = r1 + h * kLanes, *q2 = q1 + h * kLanes;
        double *r3 = r2 + h * kLanes, *q3 = q2 + h * kLanes;
        Lanes8 ar, ai, br, bi, cr, ci, dr, di;
        SONVAR_LOAD8(ar, r0);
        SONVAR_LOAD8(ai, q0);
        SONVAR_LOAD8(br, r1);
        SONVAR_LOAD8(bi, q1);
        SONVAR_LOAD8(cr, r2);
        SONVAR_LOAD8(ci, q2);
        SONVAR_LOAD8(dr, r3);
        SONVAR_LOAD8(di, q3);
        // span 2h: (a, b) and (c, d), twiddle m
        butterfly(c1[m], sign * s1[m], ar, ai, br, bi);
        butterfly(c1[m], sign * s1[m], cr, ci, dr, di);
        // span 4h: (a, c) with twiddle m, (b, d) with twiddle m + h
        butterfly(c2[m], sign * s2[m], ar, ai, cr, ci);
        butterfly(c2[m + h], sign * s2[m + h], br, bi, dr, di);
        SONVAR_STORE8(r0, ar);
        SONVAR_STORE8(q0, ai);
        SONVAR_STORE8(r1, br);
        SONVAR_STORE8(q1, bi);
        SONVAR_STORE8(r2, cr);
        SONVAR_STORE8(q2, ci);
        SONVAR_STORE8(r3, dr);
        SONVAR_STORE8(q3, di);
      }
  }
}

// The spectra of the first `lanes` lanes into out + l kSpectrum from the
// packed transform (re, im as lanes_transform leaves them): the transforms
// of the even (E) and odd (O) samples come out of the packed one, and
// X[k] = E[k] + exp(-2 pi i k / kFrame) O[k]. All lanes at once.
SONVAR_WIDE_VECTOR_CLONES void split_forward(const double *re, const double *im, double *out,
                                             int lanes) {
  const FramePlan &p = frame_plan();
  for (int l = 0; l < lanes; l++) {
    out[l * kSpectrum] = re[l] + im[l];
    out[l * kSpectrum + kBins] = 0.0;
    out[l * kSpectrum + kHalfFrame] = re[l] - im[l];
    out[l * kSpectrum + kBins + kHalfFrame] = 0.0;
  }
  for (int k = 1; k < kHalfFrame; k++) {
    Lanes8 ar, ai, br, bi;
    SONVAR_LOAD8(ar, re + k * kLanes);
    SONVAR_LOAD8(ai, im + k * kLanes);
    SONVAR_LOAD8(br, re + (kHalfFrame - k) * kLanes);
    SONVAR_LOAD8(bi, im + (kHalfFrame - k) * kLanes);
    const Lanes8 er = 0.5 * (ar + br), ei = 0.5 * (ai - bi);
    const Lanes8 orr = 0.5 * (ai + bi), oi = -0.5 * (ar - br);
    const double c = p.split_cos[k], s = p.split_sin[k];
    const Lanes8 xr = er + c * orr - s * oi;
    const Lanes8 xi = ei + c * oi + s * orr;
    for (int l = 0; l < lanes; l++) {
      out[l * kSpectrum + k] = xr[l];
      out[l * kSpectrum + kBins + k] = xi[l];
    }
  }
}

// The packed transform of the spectra s[l], l < lanes (the other lanes
// zero), into re and im, point k of lane l at [k kLanes + l]: the inverse
// of split_forward.
SONVAR_WIDE_VECTOR_CLONES void split_inverse(const double *const *s, int lanes, double *re,
                                             double *im) {
  const FramePlan &p = frame_plan();
  static_assert(kHalfFrame % 8 == 0, "whole blocks of eight bins");
  for (int k0 = 0; k0 < kHalfFrame; k0 += 8) {
    // Bins k0 + b and kHalfFrame - k0 - b of every lane, b < 8, by whole
    // vectors of each lane, turned into one vector of the lanes per bin.
    Lanes8 a_r[8], a_i[8], b_r[8], b_i[8];
    for (int l = 0; l < kLanes; l++) {
      if (l >= lanes) {
        a_r[l] = a_i[l] = b_r[l] = b_i[l] = Lanes8{};
        continue;
      }
      SONVAR_LOAD8(a_r[l], s[l] + k0);
      SONVAR_LOAD8(a_i[l], s[l] + kBins + k0);
      SONVAR_LOAD8(b_r[l], s[l] + kHalfFrame - k0 - 7);
      SONVAR_LOAD8(b_i[l], s[l] + kBins + kHalfFrame - k0 - 7);
      b_r[l] = __builtin_shufflevector(b_r[l], b_r[l], 7, 6, 5, 4, 3, 2, 1, 0);
      b_i[l] = __builtin_shufflevector(b_i[l], b_i[l], 7, 6, 5, 4, 3, 2, 1, 0);
    }
    transpose8(a_r);
    transpose8(a_i);
    transpose8(b_r);
    transpose8(b_i);
    for (int b = 0; b < 8; b++) {
      const int k = k0 + b;
      const Lanes8 ar = a_r[b], ai = a_i[b], br = b_r[b], bi = b_i[b];
      const Lanes8 er = 0.5 * (ar + br), ei = 0.5 * (ai - bi);
      const Lanes8 dr = 0.5 * (ar - br), di = 0.5 * (ai + bi);
      const double c = p.split_cos[k], sn = p.split_sin[k];
      const Lanes8 orr = dr * c + di * sn;
      const Lanes8 oi = di * c - dr * sn;
      const Lanes8 zr = er - oi, zi = ei + orr;
      SONVAR_STORE8(re + k * kLanes, zr);
      SONVAR_STORE8(im + k * kLanes, zi);
    }
  }
}

// Real samples of kLanes frames packed for the inner transform: sample 2n
// of lane l in re[n kLanes + l], sample 2n + 1 in im.
struct LaneFrames {
  double re[kHalfFrame * kLanes];
  double im[kHalfFrame * kLanes];

  void clear() {
    std::fill(re, re + kHalfFrame * kLanes, 0.0);
    std::fill(im, im + kHalfFrame * kLanes, 0.0);
  }
  void put(int lane, int sample, double value) {
    double *half = (sample & 1) != 0 ? im : re;
    half[(sample >> 1) * kLanes + lane] = value;
  }
  double get(int lane, int sample) const {
    const double *halves[2] = {re, im};
    return halves[sample & 1][(sample >> 1) * kLanes + lane];
  }

  // The spectra of the first `lanes` lanes into out + l kSpectrum. The
  // transforms of the even (E) and odd (O) samples come out of the packed
  // one; X[k] = E[k] + exp(-2 pi i k / kFrame) O[k].
  void forward(double *out, int lanes) {
    lanes_transform(re, im, false);
    split_forward(re, im, out, lanes);
  }

  // The samples of the spectra s[l], l < lanes (the other lanes zero).
  void inverse(const double *const *s, int lanes) {
    split_inverse(s, lanes, re, im);
    lanes_transform(re, im, true);
    const double scale = 1.0 / kHalfFrame;
    for (int i = 0; i < kHalfFrame * kLanes; i++) {
      re[i] *= scale;
      im[i] *= scale;
    }
  }
};

// f[n] += sum over t < terms of e[t] g[n][t] for each of the `frames`
// frames (spectra as kSpectrum values), the terms summed first, so that
// each frame is read and written once and each e[t] loaded once for all
// frames. Every bin's sums are formed in the same order whatever `frames`.
template <int frames>
__attribute__((always_inline)) inline void add_frame_products(double *const *f,
                                                              const double *const *e,
                                                              const double *const *const *g,
                                                              int terms) {
  // Two vectors of bins at a time: sums that do not wait on one another.
  int k = 0;
  for (; k + 16 <= kBins; k += 16) {
    Lanes8 sr[frames][2] = {}, si[frames][2] = {};
    for (int t = 0; t < terms; t++) {
#pragma GCC unroll 2
      for (int h = 0; h < 2; h++) {
        Lanes8 er, ei;
        SONVAR_LOAD8(er, e[t] + k + 8 * h);
        SONVAR_LOAD8(ei, e[t] + kBins + k + 8 * h);
#pragma GCC unroll 2
        for (int n = 0; n < frames; n++) {
          Lanes8 gr, gi;
          SONVAR_LOAD8(gr, g[n][t] + k + 8 * h);
          SONVAR_LOAD8(gi, g[n][t] + kBins + k + 8 * h);
          sr[n][h] += er * gr - ei * gi;
          si[n][h] += er * gi + ei * gr;
        }
      }
    }
#pragma GCC unroll 2
    for (int n = 0; n < frames; n++)
#pragma GCC unroll 2
      for (int h = 0; h < 2; h++) {
        Lanes8 fr, fi;
        SONVAR_LOAD8(fr, f[n] + k + 8 * h);
        SONVAR_LOAD8(fi, f[n] + kBins + k + 8 * h);
        fr += sr[n][h];
        fi += si[n][h];
        SONVAR_STORE8(f[n] + k + 8 * h, fr);
        SONVAR_STORE8(f[n] + kBins + k + 8 * h, fi);
      }
  }
  for (; k < kBins; k++)
    for (int n = 0; n < frames; n++) {
      double sr = 0.0, si = 0.0;
      for (int t = 0; t < terms; t++) {
        sr += e[t][k] * g[n][t][k] - e[t][kBins + k] * g[n][t][kBins + k];
        si += e[t][k] * g[n][t][kBins + k] + e[t][kBins + k] * g[n][t][k];
      }
      f[n][k] += sr;
      f[n][kBins + k] += si;
    }
}

// One frame: f += sum over t of e[t] g[t].
SONVAR_WIDE_VECTOR_CLONES void add_products(double *f, const double *const *e,
                                            const double *const *g, int terms) {
  add_frame_products<1>(&f, e, &g, terms);
}

// Two neighbouring frames whose terms share the element spectra e[t] (f0
// with g0[t], f1 with g1[t]): the same sums as add_products gives each.
SONVAR_WIDE_VECTOR_CLONES void add_products_pair(double *f0, double *f1, const double *const *e,
                                                 const double *const *g0, const double *const *g1,
                                                 int terms) {
  double *const f[2] = {f0, f1};
  const double *const *const g[2] = {g0, g1};
  add_frame_products<2>(f, e, g, terms);
}

int floor_div(int a, int b) {
  const int q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Scatterers whose pairs are gathered before they go into the frames, one
// vector lane each: element by element, so that the element responses are
// transformed side by side and each frame is read and written once per
// group.
constexpr int kGroup = kLanes;

// The per-element echo sums of one share as frame spectra.
class FrameEchoes {
 public:
  void resize(int elements) {
    elements_.resize(static_cast<std::size_t>(elements));
    pairs_.resize(static_cast<std::size_t>(elements));
  }

  // Room kept below a range that grows downwards, in eighths of the range.
  void keep_room(int eighths) { room_eighths_ = eighths; }

  // Forgets the frames' range (after every element was flushed): the next
  // scatterers start frames of their own range in the same memory.
  void restart() {
    for (Element &e : elements_) {
      e.frames.clear();
      e.touched.clear();
      e.first = e.count = 0;
    }
  }

  // Whether the pair of Rj goes by frames: whenever Rj fits a frame's spare
  // room. (Keeping transmit responses under 384 samples on the direct sum
  // measured about 8% slower at 10,000 scatterers of the convex probe: the
  // short ones near the focus cost little either way.)
  static bool suits(const signal_rec *Rj) { return Rj->no_samples <= kMaxBlockTaps; }

  // A new scatterer with transmit response Rt (a full group goes into the
  // frames first).
  void set_transmit(const signal_rec *Rt) {
    if (scatterers_ == kGroup) run_group();
    transmit_ = Rt;
    group_[scatterers_++].segments = 0;
  }

  // Queues (Rj * transmit) factor for element j's frames.
  void add(int j, const signal_rec *Rj, double factor) {
    Scatterer &g = group_[scatterers_ - 1];
    if (g.segments == 0) transform_transmit(g);
    const std::size_t offset = samples_.size();
    for (int i = 0; i < Rj->no_samples; i++) samples_.push_back(Rj->values[i] * factor);
    pairs_[static_cast<std::size_t>(j)].push_back(
        {scatterers_ - 1, Rj->start_sample, Rj->no_samples, offset});
  }

  // Every queued pair into the frames.
  void run_group() {
    for (std::size_t j = 0; j < elements_.size(); j++) {
      if (!pairs_[j].empty()) add_to_frames(elements_[j], pairs_[j]);
      pairs_[j].clear();
    }
    samples_.clear();
    scatterers_ = 0;
  }

  // Adds element j's frames into *sum over the samples its pairs cover and
  // empties them (after run_group).
  void flush(sys_con *sys, int j, signal_rec **sum) {
    Element &e = elements_[static_cast<std::size_t>(j)];
    if (!e.spans) return;
    if (*sum == nullptr)
      *sum = alloc_signal(sys, e.hi - e.lo, e.lo);
    else
      cover_samples(sys, *sum, e.lo, e.hi - e.lo);
    drain(e, [&](int l, int from, int to, int s0) {
      double *y = (*sum)->values + (from - (*sum)->start_sample);
      for (int s = from; s < to; s++) *y++ += work_.get(l, s - s0);
    });
  }

  // The same into column j of a caller's matrix (after run_group).
  void flush(int j, sonvar::EchoColumns *columns) {
    Element &e = elements_[static_cast<std::size_t>(j)];
    if (!e.spans) return;
    columns->cover(j, e.lo, e.hi);
    drain(e, [&](int l, int from, int to, int s0) {
      for (int s = from; s < to; s++) lane_[s - from] = work_.get(l, s - s0);
      columns->add(j, from, lane_, to - from);
    });
  }

 private:
 private:
  struct Element {
    int first = 0;  // frame index of frames[0]
    int count = 0;
    std::vector<double> frames;  // count spectra
    std::vector<char> touched;
    bool spans = false;
    int lo = 0, hi = 0;  // samples the pairs cover

    double *frame(int c) { return &frames[static_cast<std::size_t>(c - first) * kSpectrum]; }
    // Frames [c, c + n) exist (zero when new); a range that grows
    // downwards keeps room below (room_eighths / 8 of the range: as much
    // again by default), so that the frames move a few times only. The
    // frames outlive the leaves, emptied as they are flushed.
    void cover(int c, int n, int room_eighths) {
      if (frames.empty()) {
        first = c;
        count = n;
        frames.assign(static_cast<std::size_t>(n) * kSpectrum, 0.0);
        touched.assign(static_cast<std::size_t>(n), 0);
        return;
      }
      if (c < first) {
        const int more = first - c + count * room_eighths / 8;
        frames.insert(frames.begin(), static_cast<std::size_t>(more) * kSpectrum, 0.0);
        touched.insert(touched.begin(), static_cast<std::size_t>(more), 0);
        count += more;
        first -= more;
      }
      if (c + n > first + count) {
        count = c + n - first;
        frames.resize(static_cast<std::size_t>(count) * kSpectrum, 0.0);
        touched.resize(static_cast<std::size_t>(count), 0);
      }
    }
    void clear() { spans = false; }
  };

  // The touched frames of e, transformed back kLanes at a time: add(l,
  // from, to, s0) takes lane l, the frame from sample s0, over the samples
  // [from, to) of the element's span; then the frames are empty.
  template <typename Add>
  void drain(Element &e, Add add) {
    int batch[kLanes];
    const double *spectra[kLanes];
    int lanes = 0;
    for (int f = 0; f < e.count; f++) {
      if (e.touched[static_cast<std::size_t>(f)]) {
        batch[lanes] = e.first + f;
        spectra[lanes++] = e.frame(e.first + f);
      }
      if (lanes == kLanes || (f == e.count - 1 && lanes > 0)) {
        work_.inverse(spectra, lanes);
        for (int l = 0; l < lanes; l++) {
          const int s0 = batch[l] * kHop;
          add(l, std::max(s0, e.lo), std::min(s0 + kFrame, e.hi), s0);
          std::fill(e.frame(batch[l]), e.frame(batch[l]) + kSpectrum, 0.0);
          e.touched[static_cast<std::size_t>(batch[l] - e.first)] = 0;
        }
        lanes = 0;
      }
    }
    e.clear();
  }

  // A scatterer of the group: its transmit response's segment spectra.
  struct Scatterer {
    int first_segment = 0;
    int segments = 0;
    int start = 0, samples = 0;  // the transmit response's
    std::vector<double> spectra;
  };

  // An element response of the group, its scaled values in samples_.
  struct Pair {
    int scatterer;
    int start;
    int samples;
    std::size_t offset;
  };

  void transform_transmit(Scatterer &g) {
    const int s0 = transmit_->start_sample;
    const int n = transmit_->no_samples;
    g.start = s0;
    g.samples = n;
    g.first_segment = floor_div(s0, kHop);
    g.segments = floor_div(s0 + n - 1, kHop) - g.first_segment + 1;
    g.spectra.resize(static_cast<std::size_t>(g.segments) * kSpectrum);
    for (int b0 = 0; b0 < g.segments; b0 += kLanes) {
      const int lanes = std::min(kLanes, g.segments - b0);
      work_.clear();
      for (int l = 0; l < lanes; l++) {
        const int a0 = (g.first_segment + b0 + l) * kHop;
        const int from = std::max(a0, s0), to = std::min(a0 + kHop, s0 + n);
        for (int s = from; s < to; s++) work_.put(l, s - a0, transmit_->values[s - s0]);
      }
      work_.forward(&g.spectra[static_cast<std::size_t>(b0) * kSpectrum], lanes);
    }
  }

  // The group's pairs of one element (at most one per scatterer, so at
  // most kLanes) into its frames.
  void add_to_frames(Element &e, const std::vector<Pair> &pairs) {
    const int lanes = static_cast<int>(pairs.size());
    int first[kLanes];  // frame of each pair's first segment
    int lo = INT_MAX, hi = INT_MIN;
    work_.clear();
    for (int l = 0; l < lanes; l++) {
      const Pair &pair = pairs[static_cast<std::size_t>(l)];
      const Scatterer &g = group_[pair.scatterer];
      const int q = floor_div(pair.start, kHop);
      const int d = pair.start - q * kHop;
      for (int i = 0; i < pair.samples; i++) work_.put(l, d + i, samples_[pair.offset + i]);
      first[l] = g.first_segment + q;
      lo = std::min(lo, first[l]);
      hi = std::max(hi, first[l] + g.segments);
      const int start = pair.start + g.start;
      const int end = start + pair.samples + g.samples - 1;
      if (!e.spans) {
        e.lo = start;
        e.hi = end;
        e.spans = true;
      } else {
        e.lo = std::min(e.lo, start);
        e.hi = std::max(e.hi, end);
      }
    }
    work_.forward(spectra_, lanes);
    e.cover(lo, hi - lo, room_eighths_);
    // Frames go in twos: each lane whose transmit segments reach either
    // frame is a term of both, with a zero segment for the frame it misses.
    // Its product is then +-0, which leaves a sum (never -0 here) as it
    // is, so each frame gets the same sums as from its own terms alone.
    const double *es[kLanes], *gs[kLanes], *gs1[kLanes];
    for (int c = lo; c < hi; c += 2) {
      int terms = 0, in0 = 0, in1 = 0;
      for (int l = 0; l < lanes; l++) {
        const Scatterer &g = group_[pairs[static_cast<std::size_t>(l)].scatterer];
        const int b = c - first[l];
        const bool at0 = b >= 0 && b < g.segments;
        const bool at1 = c + 1 < hi && b + 1 >= 0 && b + 1 < g.segments;
        if (!at0 && !at1) continue;
        es[terms] = spectra_ + l * kSpectrum;
        gs[terms] = at0 ? &g.spectra[static_cast<std::size_t>(b) * kSpectrum] : zero_spectrum_;
        gs1[terms++] =
            at1 ? &g.spectra[static_cast<std::size_t>(b + 1) * kSpectrum] : zero_spectrum_;
        in0 += at0;
        in1 += at1;
      }
      if (in0 > 0) e.touched[static_cast<std::size_t>(c - e.first)] = 1;
      if (in1 > 0) e.touched[static_cast<std::size_t>(c + 1 - e.first)] = 1;
      if (in0 > 0 && in1 > 0)
        add_products_pair(e.frame(c), e.frame(c + 1), es, gs, gs1, terms);
      else if (in0 > 0)
        add_products(e.frame(c), es, gs, terms);
      else if (in1 > 0)
        add_products(e.frame(c + 1), es, gs1, terms);
    }
  }

  std::vector<Element> elements_;
  std::vector<std::vector<Pair>> pairs_;  // per element, in scatterer order
  std::vector<double> samples_;
  Scatterer group_[kGroup];
  int scatterers_ = 0;
  const signal_rec *transmit_ = nullptr;
  LaneFrames work_;
  double lane_[kFrame];  // one lane's samples on their way to a column
  int room_eighths_ = 8;
  double spectra_[kLanes * kSpectrum];
  double zero_spectrum_[kSpectrum] = {};
};

// Working signals of the per-element echoes.
struct MultiBuffers {
  signal_rec *transmit_spectrum;
  signal_rec *receive_spectrum;
  signal_rec *output;
  // Without attenuation: the transmit response between zeros, and the pad
  // it has (at least the longest element response of the scatterer).
  signal_rec *padded;
  const double *transmit = nullptr;
  int pad = 0;
};

// Everything one share of a scattering calculation holds: the scratch
// block, the pulse and its spectra, and for the per-element echoes the
// working signals. `elements` is 1 for the summed echo.
class ScatterShare {
 public:
  // Per-element echoes are formed for the receive elements [first, end)
  // (end -1: to the last); the others stay absent.
  ScatterShare(sys_con *sys, aperture *transmit, aperture *receive, bool per_element, int first = 0,
               int end = -1)
      : sys_(sys),
        transmit_(transmit),
        receive_(receive),
        per_element_(per_element),
        elements_(per_element ? receive->no_elements : 1),
        first_(per_element ? first : 0),
        end_(end < 0 || !per_element ? elements_ : end),
        block_(new_block(sys, transmit, receive, true)),
        pulse_(two_way_pulse(sys, transmit, receive)) {
    if (!per_element) return;
    sonvar::allocating(sys, "the frame spectra of the echoes", [&] { frames_.resize(elements_); });
    buffers_ = MultiBuffers{alloc_signal(sys, 1024, 0), alloc_signal(sys, 1024, 0),
                            alloc_signal(sys, 1024, 0), alloc_signal(sys, 1024, 0)};
    // One aperture of rectangles, no attenuation: each element's signal at
    // a scatterer serves as the element's receive response and as its part
    // of the transmit response, so every element is computed once.
    shared_ = transmit == receive && receive->uses_rectangles && !receive->uses_triangles &&
              !receive->uses_lines && !sys->use_att;
    if (shared_) element_signals_ = new_result_array(sys, elements_);
    // The receive delays and weights at a scatterer are the same for every
    // element: found by the first element's response, kept by the others
    // (only the rectangle response keeps them).
    keep_delays_ = receive->uses_rectangles && !receive->uses_triangles && !receive->uses_lines;
  }
  ~ScatterShare() {
    if (per_element_) {
      free_signal(sys_, buffers_.transmit_spectrum);
      free_signal(sys_, buffers_.receive_spectrum);
      free_signal(sys_, buffers_.output);
      free_signal(sys_, buffers_.padded);
      if (element_signals_ != nullptr) free_memory(sys_, element_signals_);
    }
    if (pad_ != nullptr) free_signal(sys_, pad_);
    spectra_.release(sys_);
    end_calculation(sys_, clock_, block_, pulse_);
  }
  ScatterShare(const ScatterShare &) = delete;
  ScatterShare &operator=(const ScatterShare &) = delete;

  int elements() const { return elements_; }

  // Adds the echo of scatterer p with amplitude a into sums.
  void add(point3 p, double a, signal_rec **sums) {
    if (!per_element_)
      add_summed(p, a, sums);
    else if (shared_)
      add_shared(p, a, sums);
    else
      add_per_element(p, a, sums);
  }
  void done(int i, int n) { clock_.point_done(sys_, i, n); }

  // The frame spectra of a finished leaf into its sums, in element order.
  void leaf_done(signal_rec **sums) {
    if (!per_element_) return;
    sonvar::allocating(sys_, "the frame spectra of the echoes", [&] { frames_.run_group(); });
    for (int j = 0; j < elements_; j++) frames_.flush(sys_, j, &sums[j]);
  }

  // Everything added since the last flush into the columns of the receive
  // elements [first, end): the frames and the direct sums; the frames'
  // memory goes back.
  void flush(signal_rec **sums, sonvar::EchoColumns *columns) {
    sonvar::allocating(sys_, "the frame spectra of the echoes", [&] { frames_.run_group(); });
    for (int j = first_; j < end_; j++) {
      frames_.flush(j, columns);
      if (sums[j] == nullptr) continue;
      columns->cover(j, sums[j]->start_sample, sums[j]->start_sample + sums[j]->no_samples);
      columns->add(j, sums[j]->start_sample, sums[j]->values, sums[j]->no_samples);
      free_signal(sys_, sums[j]);
      sums[j] = nullptr;
    }
    frames_.restart();
  }

  // Room below a frame range that grows downwards (see FrameEchoes).
  void keep_frame_room(int eighths) { frames_.keep_room(eighths); }

  // The postponed pulse on one per-element sum (which it takes over), as
  // the end of a calculation applies it.
  signal_rec *finish(signal_rec *sum) { return finish_with_pulse(sys_, sum, pulse_, &pad_); }

 private:
  // The echo of one scatterer for the whole receive aperture, (Rt * Rr)
  // a/fs (with the attenuated pulse already applied when attenuation is
  // on), added into sums[0]; nothing when either path gives no response.
  void add_summed(point3 p, double a, signal_rec **sums) {
    signal_rec *Rt = calc_response_mem(sys_, block_, transmit_, p.x, p.y, p.z);
    signal_rec *Rr =
        transmit_ == receive_ ? Rt : calc_response_mem(sys_, block_, receive_, p.x, p.y, p.z);
    if (Rt != nullptr && Rr != nullptr) {
      if (!sys_->use_att && direct_is_cheaper(Rt, Rr))
        add_direct_echo(Rt, Rr, a, sums);
      else
        add_transformed_echo(Rt, Rr, a, sums);
    }
    release_if_present(sys_, Rt);
    if (Rr != Rt) release_if_present(sys_, Rr);
  }

  // Whether the direct convolution of the two responses costs less than
  // the three transforms of their joint length: a dynamic receive focus
  // leaves Rr a few tens of samples long.
  static bool direct_is_cheaper(const signal_rec *Rt, const signal_rec *Rr) {
    const int taps = std::min(Rt->no_samples, Rr->no_samples);
    const int other = std::max(Rt->no_samples, Rr->no_samples);
    return direct_costs_less(taps, other, kMacsPerThreeTransformSteps);
  }

  // Without attenuation: the convolution summed straight into sums[0], the
  // shorter response as taps.
  void add_direct_echo(const signal_rec *Rt, const signal_rec *Rr, double a, signal_rec **sums) {
    const signal_rec *taps = Rr->no_samples <= Rt->no_samples ? Rr : Rt;
    const signal_rec *other = taps == Rr ? Rt : Rr;
    add_direct_convolution(sys_, &pad_, &sums[0], taps, other, a / sys_->fs);
  }

  void add_transformed_echo(signal_rec *Rt, signal_rec *Rr, double a, signal_rec **sums) {
    signal_rec *Q = fast_convolute(sys_, Rt, Rr);
    if (sys_->use_att) Q = replace_by_attenuated_echo(sys_, Q, pulse_, &spectra_);
    scale_values(Q, a);
    if (sums[0] == nullptr) {
      sums[0] = Q;
    } else {
      add_responses(sys_, Q, sums[0]);
      free_signal(sys_, Q);
    }
  }

  // (Rj * Rt) a/fs into sums[j] directly: two short responses, whose
  // direct convolution costs less than two transforms at the joint length.
  void add_direct(const signal_rec *Rj, const signal_rec *Rt, double a, signal_rec **sum) {
    if (buffers_.transmit == nullptr || Rj->no_samples > buffers_.pad) {
      buffers_.pad = std::max(2 * Rj->no_samples, 64);
      buffers_.transmit = pad_samples(sys_, buffers_.padded, Rt, buffers_.pad);
    }
    add_scaled_convolution(sys_, sum, Rj, Rt, buffers_.transmit, a / sys_->fs);
  }

  void set_transmit(const signal_rec *Rt) {
    sonvar::allocating(sys_, "the frame spectra of the echoes", [&] { frames_.set_transmit(Rt); });
  }

  // (Rj * Rt) a/fs for element j: by frames when Rj fits one, else
  // directly into sums[j]. frames_ holds Rt as the transmit response.
  void add_pair(int j, const signal_rec *Rj, const signal_rec *Rt, double a, signal_rec **sums) {
    if (FrameEchoes::suits(Rj))
      sonvar::allocating(sys_, "the frame spectra of the echoes",
                         [&] { frames_.add(j, Rj, a / sys_->fs); });
    else
      add_direct(Rj, Rt, a, &sums[j]);
  }

  void add_shared(point3 p, double a, signal_rec **sums) {
    signal_rec *Rt =
        rectangle_elements_and_sum(sys_, block_, receive_, p.x, p.y, p.z, element_signals_);
    buffers_.transmit = nullptr;
    if (Rt != nullptr) set_transmit(Rt);
    for (int j = 0; j < elements_; j++) {
      signal_rec *Rj = element_signals_[j];
      if (Rj == nullptr) continue;
      if (Rt != nullptr && j >= first_ && j < end_) add_pair(j, Rj, Rt, a, sums);
      free_signal(sys_, Rj);
    }
    release_if_present(sys_, Rt);
  }

  void add_per_element(point3 p, double a, signal_rec **sums) {
    block_->single_element = 0;
    signal_rec *Rt = calc_response_mem(sys_, block_, transmit_, p.x, p.y, p.z);
    if (Rt == nullptr) return;
    buffers_.transmit = nullptr;
    if (!sys_->use_att) set_transmit(Rt);
    if (sys_->use_att)
      Find_FFT_reuse(sys_, buffers_.transmit_spectrum, Rt, Find_N(4 * Rt->no_samples, 0));
    block_->single_element = 1;
    for (int j = first_; j < end_; j++) {
      block_->element_index = j;
      signal_rec *Rj = calc_response_mem(sys_, block_, receive_, p.x, p.y, p.z);
      block_->delays_current = keep_delays_ ? 1 : 0;
      if (Rj == nullptr) continue;  // this element receives nothing from here
      if (!sys_->use_att) {
        add_pair(j, Rj, Rt, a, sums);
      } else {
        signal_rec *out = fast_fft_convolute(sys_, Rj, Rt, buffers_.receive_spectrum,
                                             buffers_.transmit_spectrum, buffers_.output);
        out = replace_by_attenuated_echo(sys_, out, pulse_, &spectra_);
        scale_values(out, a);
        if (sums[j] == nullptr) {
          sums[j] = out;
          buffers_.output = alloc_signal(sys_, 1024, 0);
        } else {
          add_responses(sys_, out, sums[j]);
          buffers_.output = out;
        }
      }
      free_signal(sys_, Rj);
    }
    block_->delays_current = 0;
    block_->single_element = 0;
    free_signal(sys_, Rt);
  }

  sys_con *sys_;
  aperture *transmit_;
  aperture *receive_;
  bool per_element_;
  int elements_;
  int first_, end_;  // the receive elements whose echoes are formed
  calc_memory_block *block_;
  signal_rec *pulse_;
  PulseSpectra spectra_;
  ProgressClock clock_;
  MultiBuffers buffers_{};
  bool shared_ = false;
  bool keep_delays_ = false;
  signal_rec **element_signals_ = nullptr;
  signal_rec *pad_ = nullptr;  // the longer response between zeros, summed echoes
  FrameEchoes frames_;         // per-element echoes by frames, without attenuation
};

// First scatterer of leaf `leaf` of n scatterers cut into `leaves` leaves:
// n / leaves each, the rest to the last.
int leaf_begin(int n, int leaves, int leaf) {
  return leaf * (n / leaves);
}

int leaf_end(int n, int leaves, int leaf) {
  return leaf == leaves - 1 ? n : (leaf + 1) * (n / leaves);
}

// Adds the sums of `right` into `left` element by element; right goes back.
void absorb_sums(sys_con *sys, signal_rec **left, signal_rec **right, int elements) {
  for (int j = 0; j < elements; j++) {
    if (right[j] == nullptr) continue;
    if (left[j] == nullptr) {
      left[j] = right[j];
    } else {
      add_responses(sys, right[j], left[j]);
      free_signal(sys, right[j]);
    }
  }
  free_memory(sys, right);
}

}  // namespace

// The partial sums of a share of leaves: nodes of the binary tree over the
// leaves, each the sum of 2^level leaves from leaf index * 2^level, in leaf
// order. Two neighbouring nodes of one level that are siblings are always
// merged, so a share whose leaves form whole subtrees holds one node, and
// merging every share's nodes in leaf order adds the same pairs in the same
// order as one share holding all leaves: the sum does not depend on how the
// leaves were shared out.
struct scatter_partials {
  int elements;
  int count;
  struct Node {
    int level;
    int index;
    signal_rec **sums;
  } nodes[64];
};

namespace {

void push_node(sys_con *sys, scatter_partials *parts, int level, int index, signal_rec **sums) {
  parts->nodes[parts->count++] = {level, index, sums};
  while (parts->count >= 2) {
    scatter_partials::Node &left = parts->nodes[parts->count - 2];
    const scatter_partials::Node &right = parts->nodes[parts->count - 1];
    if (left.level != right.level || left.index % 2 != 0 || right.index != left.index + 1) break;
    absorb_sums(sys, left.sums, right.sums, parts->elements);
    left.level++;
    left.index /= 2;
    parts->count--;
  }
}

}  // namespace

namespace {

double squared_norm(point3 p) {
  return p.x * p.x + p.y * p.y + p.z * p.z;
}

}  // namespace

int scatter_leaves(int threads) {
  int leaves = 8;
  while (leaves < threads) leaves *= 2;
  return leaves;
}

scatter_partials *scatter_leaf_sums(sys_con *sys, aperture *transmit, aperture *receive,
                                    int per_element, int n, point3 *points, double *amplitudes,
                                    int leaves, int first, int end) {
  sonvar::store_relaxed(&sys->last_calc_type, per_element ? 4 : 3);
  auto *parts = sonvar::alloc_array<scatter_partials>(sys, 1, "the partial scattering sums");
  ScatterShare share(sys, transmit, receive, per_element != 0);
  parts->elements = share.elements();
  const int i0 = leaf_begin(n, leaves, first);
  const int count = leaf_end(n, leaves, end - 1) - i0;
  std::vector<int> order;
  for (int leaf = first; leaf < end; leaf++) {
    signal_rec **sums = new_result_array(sys, share.elements());
    const int begin = leaf_begin(n, leaves, leaf);
    const int stop = leaf_end(n, leaves, leaf);
    sonvar::allocating(sys, "the order of the scatterers", [&] { order.resize(stop - begin); });
    for (int i = begin; i < stop; i++) order[i - begin] = i;
    // Per-element echoes nearest first: scatterers that follow one another
    // then meet the same frames of each element's sum.
    if (per_element)
      std::stable_sort(order.begin(), order.end(), [&](int u, int v) {
        return squared_norm(points[u]) < squared_norm(points[v]);
      });
    for (int i = begin; i < stop; i++) {
      const int s = order[i - begin];
      share.add(points[s], amplitudes[s], sums);
      share.done(i - i0, count);
    }
    share.leaf_done(sums);
    push_node(sys, parts, 0, leaf, sums);
  }
  return parts;
}

void free_scatter_partials(sys_con *sys, scatter_partials *parts) {
  for (int m = 0; m < parts->count; m++) {
    for (int j = 0; j < parts->elements; j++)
      if (parts->nodes[m].sums[j] != nullptr) free_signal(sys, parts->nodes[m].sums[j]);
    free_memory(sys, parts->nodes[m].sums);
  }
  free_memory(sys, parts);
}

signal_rec **scatter_merge(sys_con *sys, scatter_partials **shares, int count, int *elements) {
  scatter_partials *all = shares[0];
  for (int k = 1; k < count; k++) {
    for (int m = 0; m < shares[k]->count; m++) {
      const scatter_partials::Node &node = shares[k]->nodes[m];
      push_node(sys, all, node.level, node.index, node.sums);
    }
    free_memory(sys, shares[k]);
  }
  // A share of an uneven split may leave nodes that only the whole
  // closes; they merge left to right at the end.
  while (all->count > 1) {
    absorb_sums(sys, all->nodes[all->count - 2].sums, all->nodes[all->count - 1].sums,
                all->elements);
    all->count--;
  }
  signal_rec **result = all->nodes[0].sums;
  *elements = all->elements;
  free_memory(sys, all);
  return result;
}

void scatter_apply_pulse(sys_con *sys, aperture *transmit, aperture *receive, signal_rec **sums,
                         int first, int end) {
  signal_rec *pulse = two_way_pulse(sys, transmit, receive);
  signal_rec *pad = nullptr;
  for (int j = first; j < end; j++) sums[j] = finish_with_pulse(sys, sums[j], pulse, &pad);
  if (pad != nullptr) free_signal(sys, pad);
  free_signal(sys, pulse);
}

signal_rec **scatter_finish(sys_con *sys, aperture *transmit, aperture *receive,
                            scatter_partials **shares, int count) {
  int elements = 0;
  signal_rec **result = scatter_merge(sys, shares, count, &elements);
  // The pulse convolution postponed to the end: once per output signal.
  scatter_apply_pulse(sys, transmit, receive, result, 0, elements);
  return result;
}

void calc_scat_order(int n, point3 *points, double *amplitudes) {
  if (n > 10) nearest_and_farthest_first(points, amplitudes, n);
}

signal_rec *calc_scat(sys_con *sys, aperture *transmit, aperture *receive, int n, point3 *points,
                      double *amplitudes) try {
  SONVAR_ENTER(sys);
  sonvar::check_calculation(sys, "calc_scat", transmit, receive, n, points, amplitudes, true);
  calc_scat_order(n, points, amplitudes);
  const int leaves = scatter_leaves(1);
  scatter_partials *parts =
      scatter_leaf_sums(sys, transmit, receive, 0, n, points, amplitudes, leaves, 0, leaves);
  signal_rec **sums = scatter_finish(sys, transmit, receive, &parts, 1);
  signal_rec *result = sums[0];
  free_memory(sys, sums);
  sonvar::check_finite_result(sys, "calc_scat", result, 0, n > 0 ? points[0] : point3{0, 0, 0});
  return result;
}
SONVAR_LEAVE(sys)

signal_rec **calc_scat_multi(sys_con *sys, aperture *transmit, aperture *receive, int n,
                             point3 *points, double *amplitudes) try {
  SONVAR_ENTER(sys);
  sonvar::check_calculation(sys, "calc_scat_multi", transmit, receive, n, points, amplitudes, true);
  const int leaves = scatter_leaves(1);
  scatter_partials *parts =
      scatter_leaf_sums(sys, transmit, receive, 1, n, points, amplitudes, leaves, 0, leaves);
  return scatter_finish(sys, transmit, receive, &parts, 1);
}
SONVAR_LEAVE(sys)

// The per-element echoes of a range of receive elements for the channel
// echoes: one share, and the sums of the scatterers added since the last
// take.
struct element_echoes {
  element_echoes(sys_con *sys, aperture *transmit, aperture *receive, int first, int end)
      : share(sys, transmit, receive, true, first, end),
        sums(new_result_array(sys, receive->no_elements)),
        sys(sys) {
    // The scatterers come nearest first in bands, so an element's frames
    // grow downwards by a little only: a quarter of the range as room keeps
    // the frames' memory near the samples they cover.
    share.keep_frame_room(2);
  }
  ~element_echoes() {
    for (int j = 0; j < share.elements(); j++) release_if_present(sys, sums[j]);
    free_memory(sys, sums);
  }
  element_echoes(const element_echoes &) = delete;
  element_echoes &operator=(const element_echoes &) = delete;
  ScatterShare share;
  signal_rec **sums;
  sys_con *sys;
};

element_echoes *element_echoes_new(sys_con *sys, aperture *transmit, aperture *receive, int first,
                                   int end) {
  sonvar::store_relaxed(&sys->last_calc_type, 4);
  return sonvar::allocating(sys, "the per-element echoes",
                            [&] { return new element_echoes(sys, transmit, receive, first, end); });
}

void element_echoes_add(element_echoes *echoes, point3 p, double a, int i, int n) {
  echoes->share.add(p, a, echoes->sums);
  echoes->share.done(i, n);
}

namespace sonvar {
void element_echoes_flush(element_echoes *echoes, EchoColumns *columns) {
  echoes->share.flush(echoes->sums, columns);
}
}  // namespace sonvar

signal_rec *element_echoes_finish(element_echoes *echoes, signal_rec *sum) {
  return echoes->share.finish(sum);
}

void element_echoes_free(element_echoes *echoes) {
  delete echoes;
}

namespace {

// Per-scatterer element responses of calc_scat_all.
struct PairSignals {
  signal_rec **T;   // transmit element responses
  signal_rec **R;   // receive element responses (T itself for one aperture)
  signal_rec **TP;  // (T * pulse)/fs, without attenuation
};

void element_responses(sys_con *sys, calc_memory_block *block, aperture *ap, point3 p,
                       signal_rec **out) {
  for (int e = 0; e < ap->no_elements; e++) {
    block->element_index = e;
    out[e] = calc_response_mem(sys, block, ap, p.x, p.y, p.z);
  }
}

// The decimated echo of transmit element t received by element r, times
// scale; NULL when either element has no response.
signal_rec *pair_echo(sys_con *sys, const PairSignals &s, int t, int r, signal_rec *pulse,
                      PulseSpectra *spectra, int D, double scale) {
  if (s.T[t] == nullptr || s.R[r] == nullptr) return nullptr;
  if (!sys->use_att) return Convolve_decimate(sys, s.R[r], s.TP[t], D, scale);
  // The spectrum of the length the pair's filter needs, so that it is
  // never renewed from one pair to the next.
  signal_rec **spectrum =
      spectra->attenuation(sys, pulse, 2 * s.T[t]->start_sample,
                           s.T[t]->no_samples + pulse->no_samples, s.R[r]->no_samples);
  signal_rec *A = attenuated_pulse(sys, s.T[t], s.R[r], pulse, spectrum);
  signal_rec *pair = Convolve_decimate(sys, s.R[r], A, D, scale);
  free_signal(sys, A);
  return pair;
}

void release_all(sys_con *sys, signal_rec **signals, int n) {
  for (int k = 0; k < n; k++) {
    release_if_present(sys, signals[k]);
    signals[k] = nullptr;
  }
}

}  // namespace

namespace {

// Adds the decimated echoes of one scatterer (amplitude a) of every element
// pair to sums, pair (t, r) at t * nr + r. The first scatterer of the whole
// calculation (`first`) computes every pair; the others of one shared
// aperture compute each pair once and add it to both of its slots (with
// attenuation the two directions differ slightly, so which scatterer is
// first stays what it has always been, whatever the leaves).
void add_pair_echoes(sys_con *sys, const PairSignals &s, int nt, int nr, bool shared, bool first,
                     signal_rec *pulse, PulseSpectra *spectra, int D, double a, signal_rec **sums) {
  for (int t = 0; t < nt; t++) {
    for (int r = (shared && !first) ? t : 0; r < nr; r++) {
      signal_rec **slot = &sums[static_cast<long>(t) * nr + r];
      if (first) {
        *slot = pair_echo(sys, s, t, r, pulse, spectra, D, a);
        continue;
      }
      signal_rec *pair = pair_echo(sys, s, t, r, pulse, spectra, D, 1.0);
      if (pair == nullptr) continue;
      if (shared && r > t) {
        // Reciprocity: the pair (t, r) is also the pair (r, t).
        signal_rec **mirror = &sums[static_cast<long>(r) * nr + t];
        *slot = sum_responses_decimated(sys, pair, *slot, D, 0, a);
        *mirror = sum_responses_decimated(sys, pair, *mirror, D, 1, a);
      } else {
        *slot = sum_responses_decimated(sys, pair, *slot, D, 1, a);
      }
    }
  }
}

int element_pairs(sys_con *sys, const aperture *transmit, const aperture *receive) {
  const long long pairs = static_cast<long long>(transmit->no_elements) * receive->no_elements;
  if (pairs > INT_MAX / 2)
    sonvar::fail(sys, "calc_scat_all: %d x %d element pairs are too many", transmit->no_elements,
                 receive->no_elements);
  return static_cast<int>(pairs);
}

}  // namespace

void calc_scat_all_order(sys_con *sys, int n, point3 *points, double *amplitudes) {
  if (n <= 10) return;
  sort_points(sys, n, points, amplitudes);
  swap_scatterers(points, amplitudes, 1, n - 1);
}

scatter_partials *pair_leaf_sums(sys_con *sys, aperture *transmit, aperture *receive, int n,
                                 point3 *points, double *amplitudes, int D, int leaves, int first,
                                 int end) {
  const int nt = transmit->no_elements, nr = receive->no_elements;
  const bool shared = transmit == receive;
  auto *parts = sonvar::alloc_array<scatter_partials>(sys, 1, "the partial scattering sums");
  parts->elements = element_pairs(sys, transmit, receive);
  PairSignals s{};
  s.T = new_result_array(sys, nt);
  s.R = shared ? s.T : new_result_array(sys, nr);
  s.TP = new_result_array(sys, nt);
  calc_memory_block *block = new_block(sys, transmit, receive, true);
  signal_rec *pulse = two_way_pulse(sys, transmit, receive);
  PulseSpectra spectra;
  block->single_element = 1;
  block->no_delay = 1;
  ProgressClock clock;
  const int i0 = leaf_begin(n, leaves, first);
  const int count = leaf_end(n, leaves, end - 1) - i0;
  for (int leaf = first; leaf < end; leaf++) {
    signal_rec **sums = new_result_array(sys, parts->elements);
    for (int i = leaf_begin(n, leaves, leaf); i < leaf_end(n, leaves, leaf); i++) {
      amplitudes[i] /= sys->fs;
      element_responses(sys, block, transmit, points[i], s.T);
      if (!sys->use_att)
        for (int t = 0; t < nt; t++)
          s.TP[t] = s.T[t] ? fast_dft_convolute(
                                 sys, s.T[t], pulse,
                                 spectra.exact(sys, pulse,
                                               Find_N(s.T[t]->no_samples + pulse->no_samples, 0)))
                           : nullptr;
      if (!shared) element_responses(sys, block, receive, points[i], s.R);
      add_pair_echoes(sys, s, nt, nr, shared, i == 0, pulse, &spectra, D, amplitudes[i], sums);
      release_all(sys, s.T, nt);
      release_all(sys, s.TP, nt);
      if (!shared) release_all(sys, s.R, nr);
      clock.point_done(sys, i - i0, count);
    }
    push_node(sys, parts, 0, leaf, sums);
  }
  end_calculation(sys, clock, block, pulse);
  spectra.release(sys);
  free_memory(sys, s.T);
  if (!shared) free_memory(sys, s.R);
  free_memory(sys, s.TP);
  return parts;
}

signal_rec ***pair_finish(sys_con *sys, aperture *transmit, aperture *receive,
                          scatter_partials **shares, int count, int D) {
  const int nt = transmit->no_elements, nr = receive->no_elements;
  int pairs = 0;
  signal_rec **sums = scatter_merge(sys, shares, count, &pairs);
  signal_rec ***result =
      sonvar::alloc_array<signal_rec **>(sys, nt > 0 ? nt : 1, "the element-pair results");
  signal_rec *pulse = two_way_pulse(sys, transmit, receive);
  for (int t = 0; t < nt; t++) {
    result[t] = new_result_array(sys, nr);
    for (int r = 0; r < nr; r++) {
      result[t][r] = sums[static_cast<long>(t) * nr + r];
      // Pairs that never received an echo get zeros at the decimated rate.
      if (result[t][r] == nullptr) {
        result[t][r] = zeros_like(sys, pulse);
        result[t][r]->fs = sys->fs / D;
      }
    }
  }
  free_signal(sys, pulse);
  free_memory(sys, sums);
  return result;
}

signal_rec ***calc_scat_all(sys_con *sys, aperture *transmit, aperture *receive, int n,
                            point3 *points, double *amplitudes, int D) try {
  SONVAR_ENTER(sys);
  sonvar::check_calculation(sys, "calc_scat_all", transmit, receive, n, points, amplitudes, true);
  if (D < 1) error_message("calc_scat_all: the decimation factor must be 1 or more");
  calc_scat_all_order(sys, n, points, amplitudes);
  const int leaves = scatter_leaves(1);
  scatter_partials *parts =
      pair_leaf_sums(sys, transmit, receive, n, points, amplitudes, D, leaves, 0, leaves);
  return pair_finish(sys, transmit, receive, &parts, 1, D);
}
SONVAR_LEAVE(sys)

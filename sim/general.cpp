// general.cpp - messages, the fatal exit, the index assertion, the locked
// heap allocator and the signal pool.
//
// Worker threads print, allocate and take signals at the same time, so every
// heap call runs under memory_mutex, every run-time message under
// message_mutex and every change of the pool under signal_mutex. Locks nest
// only as fft_mutex, then signal_mutex, then memory_mutex or message_mutex.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "internal.h"

namespace sonvar {

void print_formatted(sys_con *sys, std::size_t size, const char *format, ...) {
  constexpr std::size_t kMaxLine = 1024;
  char line[kMaxLine];
  if (size > kMaxLine) size = kMaxLine;
  va_list args;
  va_start(args, format);
  vsnprintf(line, size, format, args);
  va_end(args);
  print_message(sys, line);
}

namespace {

void append_list(std::string *out, std::size_t limit, const char *format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return;
  std::size_t kept = static_cast<std::size_t>(length);
  if (limit > 0 && kept > limit - 1) kept = limit - 1;
  const std::size_t at = out->size();
  out->resize(at + static_cast<std::size_t>(length) + 1);
  vsnprintf(&(*out)[at], static_cast<std::size_t>(length) + 1, format, args);
  out->resize(at + kept);
}

}  // namespace

void append_formatted(std::string *out, const char *format, ...) {
  va_list args;
  va_start(args, format);
  append_list(out, 0, format, args);
  va_end(args);
}

void append_cut(std::string *out, std::size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  append_list(out, size, format, args);
  va_end(args);
}

void fail(sys_con *sys, const char *format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  error_message(sys, text);
}

void *alloc_checked(sys_con *sys, std::uint64_t count, std::uint64_t size, const char *what) {
  void *block = alloc_memory(sys, count, size);
  if (block == nullptr && count != 0 && size != 0) {
    char text[256];
    snprintf(text, sizeof text,
             "Not possible to allocate memory for %s (%" PRIu64 " x %" PRIu64 " bytes)", what,
             count, size);
    error_message(sys, text);
  }
  return block;
}

namespace {

bool finite_point(point3 p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

bool bounded_point(point3 p) {
  return std::fabs(p.x) <= kMaxCoordinate && std::fabs(p.y) <= kMaxCoordinate &&
         std::fabs(p.z) <= kMaxCoordinate;
}

bool at_least_zero(double value) {
  return std::isfinite(value) && value >= 0;
}

}  // namespace

void check_state(sys_con *sys, const char *call) {
  if (sys == nullptr) {
    fail(sys, "%s: the state is NULL", call);
  }
  if (!(std::isfinite(sys->c) && sys->c > 0))
    fail(sys, "%s: speed of sound c %g m/s must be finite and above 0", call, sys->c);
  if (!(std::isfinite(sys->fs) && sys->fs > 0))
    fail(sys, "%s: sampling frequency fs %g Hz must be finite and above 0", call, sys->fs);
  if (sys->use_att) {
    if (!at_least_zero(sys->att))
      fail(sys, "%s: attenuation att %g dB/m must be finite and 0 or more", call, sys->att);
    if (!at_least_zero(sys->freq_att))
      fail(sys, "%s: attenuation freq_att %g dB/(m Hz) must be finite and 0 or more", call,
           sys->freq_att);
    if (!at_least_zero(sys->att_f0))
      fail(sys, "%s: attenuation centre frequency att_f0 %g Hz must be finite and 0 or more", call,
           sys->att_f0);
    if (!std::isfinite(sys->tau_m)) fail(sys, "%s: tau_m %g must be finite", call, sys->tau_m);
  }
  if (!(sys->max_samples >= SONVAR_MIN_MAX_SAMPLES &&
        sys->max_samples <= SONVAR_LARGEST_MAX_SAMPLES))
    fail(sys, "%s: max_samples %lld must be from %d to %d", call,
         static_cast<long long>(sys->max_samples), SONVAR_MIN_MAX_SAMPLES,
         SONVAR_LARGEST_MAX_SAMPLES);
}

void check_aperture(sys_con *sys, const char *call, const aperture *ap) {
  if (ap == nullptr) fail(sys, "%s: the aperture is NULL", call);
}

void check_calculation(sys_con *sys, const char *call, const aperture *ap1, const aperture *ap2,
                       int n, const point3 *points, const double *amplitudes,
                       bool amplitudes_needed) {
  check_state(sys, call);
  if (ap1 == nullptr) fail(sys, "%s: the %saperture is NULL", call, ap2 != nullptr ? "first " : "");
  if (ap2 == nullptr) fail(sys, "%s: the second aperture is NULL", call);
  if (n < 0) fail(sys, "%s: the number of points %d is negative", call, n);
  if (n > 0 && points == nullptr) fail(sys, "%s: the points are NULL for %d points", call, n);
  if (n > 0 && amplitudes_needed && amplitudes == nullptr)
    fail(sys, "%s: the amplitudes are NULL for %d points", call, n);
  for (int i = 0; i < n; i++) {
    if (!finite_point(points[i]))
      fail(sys, "%s: point %d (%g, %g, %g) m must be finite", call, i, points[i].x, points[i].y,
           points[i].z);
    if (!bounded_point(points[i]))
      fail(sys, "%s: point %d (%g, %g, %g) m lies beyond %g m", call, i, points[i].x, points[i].y,
           points[i].z, kMaxCoordinate);
    if (amplitudes_needed && !std::isfinite(amplitudes[i]))
      fail(sys, "%s: amplitude %d is %g; it must be finite", call, i, amplitudes[i]);
  }
}

void fail_response(sys_con *sys, const char *what, double samples, double first, point3 p,
                   double distance) {
  // The place, when the caller knows the field point.
  char where[128] = "";
  if (finite_point(p)) snprintf(where, sizeof where, " at the point (%g, %g, %g) m", p.x, p.y, p.z);
  if (std::isnan(samples) || std::isnan(first))
    fail(sys,
         "%s%s has no defined length or start (not a number): the geometry of the aperture is "
         "not usable",
         what, where);
  if (!(first >= -kMaxStartSample && first <= kMaxStartSample))
    fail(sys,
         "%s%s would start at %g s (sample %.0f), %g m away; starts are limited to %.0f samples",
         what, where, first / sys->fs, first, distance, kMaxStartSample);
  fail(sys,
       "%s%s would need %.0f samples (%g s of arrivals, the source %g m away); at most "
       "max_samples %lld",
       what, where, samples, samples / sys->fs, distance, static_cast<long long>(sys->max_samples));
}

void check_finite_result(sys_con *sys, const char *call, const signal_rec *result, int i,
                         point3 p) {
  if (result == nullptr) return;
  for (int j = 0; j < result->no_samples; j++)
    if (!std::isfinite(result->values[j]))
      fail(sys,
           "%s: the result at point %d (%g, %g, %g) m holds %g at sample %d: the attenuation "
           "(att %g dB/m, freq_att %g dB/(m Hz) around %g Hz) or the geometry overflows at a "
           "distance of %g m",
           call, i, p.x, p.y, p.z, result->values[j], result->start_sample + j, sys->att,
           sys->freq_att, sys->att_f0, std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z));
}

}  // namespace sonvar

using sonvar::append_cut;
using sonvar::MutexGuard;
using sonvar::print_formatted;

void print_message(sys_con *sys, const char *text) {
  if (sys == nullptr) {
    printf("%s", text);
    fflush(stdout);
    return;
  }
  MutexGuard guard(&sys->message_mutex);
  if (sys->host != nullptr && sys->host->sink != nullptr) {
    sys->host->sink(sys->host->sink_data, text);
    return;
  }
  printf("%s", text);
  fflush(stdout);
}

void print_error_message(const char *text) {
  sonvar::print_error_message(nullptr, text);
}

void assert_index(sys_con *sys, int index, int limit, const char *place) try {
  SONVAR_ENTER(sys);
  constexpr std::size_t kLine = 256;
  if (index >= 0 && index < limit) return;
  std::string text;
  append_cut(&text, kLine, "Assertion violation at: %s \n", place);
  if (index >= limit)
    append_cut(&text, kLine, "Assertion violation: Index larger than allowed. Is %d can be %d \n",
               index, limit - 1);
  else
    append_cut(&text, kLine, "Assertion violation: Index smaller than allowed. Is %d can be 0 \n",
               index);
  text += "Program stopped due to assertion violation\n";
  sonvar::print_error_message(sys, text);
}
SONVAR_LEAVE_VOID(sys)

void *alloc_memory(sys_con *sys, uint64_t count, uint64_t size) {
  MutexGuard guard(&sys->memory_mutex);
  return calloc(count, size);
}

void free_memory(sys_con *sys, void *block) {
  MutexGuard guard(&sys->memory_mutex);
  free(block);
}

// ---------------------------------------------------------------------------
// Signal pool
// ---------------------------------------------------------------------------

namespace {

constexpr std::size_t kAllocLine = 1024;  // debug buffer of alloc_signal
constexpr std::size_t kPoolLine = 256;    // debug buffer of the other pool calls

// Bytes charged for a signal of n samples: the values plus 48 bytes of record.
std::int64_t charge_for(std::int64_t n) {
  return 8 * (n + 6);
}

[[noreturn]] void fatal_sample_count(sys_con *sys, int n) {
  std::string text;
  sonvar::append_formatted(&text, "FATAL ERROR: Number of samples is negative or 0. It is %d\n", n);
  text += "Program terminated\n";
  sonvar::print_error_message(sys, text);
}

[[noreturn]] void fatal_no_storage(sys_con *sys, const char *what, long number, std::int64_t charge,
                                   int n, std::int64_t total) {
  std::string text;
  sonvar::append_formatted(&text, "FATAL ERROR: Not possible to allocate %s for signal\n", what);
  sonvar::append_formatted(&text,
                           "             Allocate signal %ld, bytes=%" PRId64 " (%d samples)\n",
                           number, charge, n);
  sonvar::append_formatted(&text, "             Total number of bytes reserved is %" PRId64 "\n",
                           total);
  text += "Program terminated\n";
  sonvar::print_error_message(sys, text);
}

// The number the pool's messages give a request that fails: the number the
// next new record would get.
long next_number(sys_con *sys) {
  MutexGuard guard(&sys->signal_mutex);
  return sys->next_signal_number;
}

// Adds `added` bytes to the pool's count; the caller holds signal_mutex.
void charge_bytes(sys_con *sys, std::int64_t added) {
  sys->signal_bytes += added;
  if (sys->signal_bytes > sys->max_signal_bytes) sys->max_signal_bytes = sys->signal_bytes;
}

// A zero-filled value array of n samples; heap exhaustion is fatal, naming
// `number` (from number_of when given, else the signal's own number).
double *new_values(sys_con *sys, int n, long number, std::int64_t total) {
  auto *values =
      static_cast<double *>(alloc_memory(sys, static_cast<std::uint64_t>(n), sizeof(double)));
  if (values == nullptr) fatal_no_storage(sys, "data storage", number, charge_for(n), n, total);
  return values;
}

// Grows a signal's array to n samples (old samples are not kept) and charges
// the difference. Used by alloc_signal for a reused record (whose failure
// names the pool's next number, as a new record's does) and by
// extend_signal (whose failure names the signal being grown).
void grow_values(sys_con *sys, signal_rec *signal, int n, bool name_next) {
  const std::int64_t charge = charge_for(n);
  std::int64_t total = 0;
  std::int64_t max_total = 0;
  {
    MutexGuard guard(&sys->signal_mutex);
    charge_bytes(sys, 8 * (static_cast<std::int64_t>(n) - signal->capacity));
    total = sys->signal_bytes;
    max_total = sys->max_signal_bytes;
  }
  if (sys->debug)
    print_formatted(sys, kPoolLine,
                    "=====> Extending signal %u from %d to %d samples with %" PRId64
                    " bytes, New total %" PRId64 ", Max bytes %" PRId64 "\n",
                    signal->number, signal->capacity, n, charge, total, max_total);
  free_memory(sys, signal->values);
  signal->values = nullptr;
  const long number = name_next ? next_number(sys) : static_cast<long>(signal->number);
  signal->values = new_values(sys, n, number, total);
  signal->bytes = charge;
  signal->capacity = n;
}

// Takes the head of the free list, or a new zero-filled record when the list
// is empty. Sets *reused accordingly. Runs under signal_mutex.
signal_rec *take_record(sys_con *sys, int n, bool *reused) {
  MutexGuard guard(&sys->signal_mutex);
  sys->signal_alloc_calls++;
  signal_rec *signal = sys->free_signals;
  if (signal != nullptr) {
    sys->free_signals = signal->next;
    *reused = true;
    return signal;
  }
  *reused = false;
  const std::int64_t charge = charge_for(n);
  signal = static_cast<signal_rec *>(alloc_memory(sys, 1, sizeof(signal_rec)));
  if (signal == nullptr)
    fatal_no_storage(sys, "storage", sys->next_signal_number, charge, n, sys->signal_bytes);
  if (sys->debug)
    print_formatted(sys, kAllocLine,
                    "------  No new signal available. New signal allocated with %" PRId64
                    " bytes, New total %" PRId64 " \n",
                    charge, charge + sys->signal_bytes);
  charge_bytes(sys, charge);
  signal->number = static_cast<uint32_t>(sys->next_signal_number++);
  return signal;
}

}  // namespace

namespace {

// Transforms round a length of up to max_samples up to a power of two, so a
// signal may hold twice the bound; anything longer comes from input no
// calculation checked.
void check_signal_length(sys_con *sys, const char *call, int n) {
  if (n > 2 * sys->max_samples)
    sonvar::fail(sys, "%s: %d samples are more than twice max_samples %lld", call, n,
                 static_cast<long long>(sys->max_samples));
}

}  // namespace

signal_rec *alloc_signal(sys_con *sys, int n, int start_sample) try {
  SONVAR_ENTER(sys);
  if (n <= 0) fatal_sample_count(sys, n);
  check_signal_length(sys, "alloc_signal", n);
  if (sys->debug)
    print_formatted(sys, kAllocLine,
                    "Allocate signal with %d samples, Signal starts at sample %d \n", n,
                    start_sample);
  bool reused = false;
  signal_rec *signal = take_record(sys, n, &reused);
  if (reused) {
    if (signal->capacity < n) grow_values(sys, signal, n, true);
    if (sys->debug) print_formatted(sys, kAllocLine, "Reusing signal number %u \n", signal->number);
  } else {
    std::int64_t total = 0;
    long number = 0;
    {
      MutexGuard guard(&sys->signal_mutex);
      total = sys->signal_bytes;
      number = sys->next_signal_number;
    }
    signal->values = new_values(sys, n, number, total);
    signal->bytes = charge_for(n);
    signal->capacity = n;
  }
  signal->next = nullptr;
  signal->in_use = 1;
  signal->start_sample = start_sample;
  signal->no_samples = n;
  signal->fs = sys->fs;
  if (sys->debug) {
    std::int64_t total = 0;
    {
      MutexGuard guard(&sys->signal_mutex);
      total = sys->signal_bytes;
    }
    print_formatted(sys, kAllocLine,
                    "Allocate signal number %u, bytes=%" PRId64
                    " (%d samples), total number of bytes is %" PRId64 "\n",
                    signal->number, signal->bytes, n, total);
    print_formatted(sys, kAllocLine, "Signal starts at %e \n", start_sample / sys->fs);
  }
  if (reused)
    for (int j = 0; j < n; j++) signal->values[j] = 0.0;
  return signal;
}
SONVAR_LEAVE(sys)

void extend_signal(sys_con *sys, signal_rec *signal, int n, int start_sample) try {
  SONVAR_ENTER(sys);
  if (n <= 0) fatal_sample_count(sys, n);
  check_signal_length(sys, "extend_signal", n);
  if (signal->capacity < n) grow_values(sys, signal, n, false);
  signal->start_sample = start_sample;
  signal->no_samples = n;
}
SONVAR_LEAVE_VOID(sys)

namespace {

void print_release_lines(sys_con *sys, const signal_rec *signal, std::int64_t total) {
  print_formatted(sys, kPoolLine,
                  "Free signal %u, address %ld, bytes=%" PRId64
                  ", total number of bytes is %" PRId64 "\n",
                  signal->number, static_cast<long>(reinterpret_cast<std::intptr_t>(signal)),
                  signal->bytes, total);
  print_formatted(sys, kPoolLine, "Signal starts at sample %d  and contained %d samples\n",
                  signal->start_sample, signal->no_samples);
}

// One of the first five values of a released signal, or "none" where the
// array is shorter.
void format_first_value(char *out, std::size_t size, const signal_rec *signal, int k) {
  if (signal->values != nullptr && k < signal->capacity)
    snprintf(out, size, "%10e", signal->values[k]);
  else
    snprintf(out, size, "%10s", "none");
}

[[noreturn]] void report_double_release(sys_con *sys, const signal_rec *signal) {
  std::string text = "ERROR: Signal has been previously freed\n";
  append_cut(&text, kPoolLine, "Signal number %u, Number of bytes %" PRId64 " \n", signal->number,
             signal->bytes);
  append_cut(&text, kPoolLine,
             "Start sample %d, Number of samples %d, Max. samples %d, Sampling frequency "
             "%10.4f MHz  \n",
             signal->start_sample, signal->no_samples, signal->capacity, signal->fs / 1000000);
  char v[5][32];
  for (int k = 0; k < 5; k++) format_first_value(v[k], sizeof v[k], signal, k);
  append_cut(&text, kPoolLine, "First 5 values: %s  %s   %s  %s  %s  \n", v[0], v[1], v[2], v[3],
             v[4]);
  text += "Internal Error 100: Freeing of already released signal";
  sonvar::print_error_message(sys, text);
}

}  // namespace

void free_signal(sys_con *sys, signal_rec *signal) try {
  SONVAR_ENTER(sys);
  if (sys->debug) {
    std::int64_t total = 0;
    {
      MutexGuard guard(&sys->signal_mutex);
      total = sys->signal_bytes;
    }
    print_formatted(sys, kPoolLine, "Signal number %u placed on the free list \n", signal->number);
    print_release_lines(sys, signal, total);
  }
  if (signal->in_use == 0) report_double_release(sys, signal);
  signal->in_use = 0;
  MutexGuard guard(&sys->signal_mutex);
  signal->next = sys->free_signals;
  sys->free_signals = signal;
}
SONVAR_LEAVE_VOID(sys)

void free_signal_memory(sys_con *sys) {
  MutexGuard guard(&sys->signal_mutex);
  while (sys->free_signals != nullptr) {
    signal_rec *signal = sys->free_signals;
    sys->free_signals = signal->next;
    sys->signal_bytes -= signal->bytes;
    if (sys->debug) {
      print_formatted(sys, kPoolLine, "Memory for signal number %u freed \n", signal->number);
      print_release_lines(sys, signal, sys->signal_bytes);
    }
    free_memory(sys, signal->values);
    free_memory(sys, signal);
  }
}

void store_signal(const char *path, const signal_rec *signal) {
  FILE *file = fopen(path, "w");
  if (file == nullptr) {
    // The call names no state: the line goes to the channel of the library
    // call running on this thread, or to standard output.
    std::string line;
    sonvar::append_formatted(&line, "Sonvar error: Cannot create the file %s to store a signal\n",
                             path);
    print_message(sonvar::CallScope::current(), line.c_str());
    return;
  }
  for (int j = 0; j < signal->no_samples; j++) fprintf(file, "%15e \n", signal->values[j]);
  fclose(file);
}

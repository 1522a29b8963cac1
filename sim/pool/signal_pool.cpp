// signal_pool.cpp - the state's pool of signals: alloc_signal,
// extend_signal, free_signal, free_signal_memory and store_signal.
//
// Worker threads take and give back signals at the same time, so every
// change of the pool runs under signal_mutex; locks nest only as fft_mutex,
// then signal_mutex, then memory_mutex or message_mutex.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "general/failure.h"
#include "general/memory.h"
#include "general/messages.h"
#include "pool/ledger.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

namespace {

constexpr std::size_t kAllocLine = 1024;  // debug buffer of alloc_signal
constexpr std::size_t kPoolLine = 256;    // debug buffer of the other pool calls

// Bytes charged for a signal of n samples: the values plus 48 bytes of record.
std::int64_t charge_for(std::int64_t n) {
  return 8 * (n + 6);
}

[[noreturn]] void fatal_sample_count(sys_con *sys, int n) {
  std::string text;
  append_formatted(&text, "FATAL ERROR: Number of samples is negative or 0. It is %d\n", n);
  text += "Program terminated\n";
  fail_text(sys, text);
}

[[noreturn]] void fatal_no_storage(sys_con *sys, const char *what, long number, std::int64_t charge,
                                   int n, std::int64_t total) {
  std::string text;
  append_formatted(&text, "FATAL ERROR: Not possible to allocate %s for signal\n", what);
  append_formatted(&text, "             Allocate signal %ld, bytes=%" PRId64 " (%d samples)\n",
                   number, charge, n);
  append_formatted(&text, "             Total number of bytes reserved is %" PRId64 "\n", total);
  text += "Program terminated\n";
  fail_text(sys, text);
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
      static_cast<double *>(heap_block(sys, static_cast<std::uint64_t>(n), sizeof(double)));
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
  signal = static_cast<signal_rec *>(heap_block(sys, 1, sizeof(PooledSignal)));
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
    fail(sys, "%s: %d samples are more than twice max_samples %lld", call, n,
         static_cast<long long>(sys->max_samples));
}

}  // namespace

SONVAR_CALL signal_rec *alloc_signal(sys_con *sys, int n, int start_sample) try {
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
  note_signal(signal);
  return signal;
}
SONVAR_LEAVE(sys)

SONVAR_CALL void extend_signal(sys_con *sys, signal_rec *signal, int n, int start_sample) try {
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
  fail_text(sys, text);
}

}  // namespace

SONVAR_CALL void free_signal(sys_con *sys, signal_rec *signal) try {
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
  forget_signal(signal);
  signal->in_use = 0;
  MutexGuard guard(&sys->signal_mutex);
  signal->next = sys->free_signals;
  sys->free_signals = signal;
}
SONVAR_LEAVE_VOID(sys)

SONVAR_CALL void free_signal_memory(sys_con *sys) {
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

SONVAR_CALL void store_signal(const char *path, const signal_rec *signal) {
  FILE *file = fopen(path, "w");
  if (file == nullptr) {
    // The call names no state: the line goes to the channel of the library
    // call running on this thread, or to standard output.
    std::string line;
    append_formatted(&line, "Sonvar error: Cannot create the file %s to store a signal\n", path);
    print_message(CallScope::current(), line.c_str());
    return;
  }
  for (int j = 0; j < signal->no_samples; j++) fprintf(file, "%15e \n", signal->values[j]);
  fclose(file);
}

}  // namespace sonvar

// state.cpp - the simulator state: creation with its defaults and mutexes,
// the start-up banner, the configuration report and the version.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "general/messages.h"
#include "state/host.h"
#include "state/option_table.h"
#include "threads/thread_lib.h"

namespace sonvar {

namespace {

// Build-time texts. The banner box is 68 characters wide, so the version and
// program texts have the widths that fill their banner lines exactly.
constexpr char kVersion[] = "0.1.0 - spatial impulse response core";
constexpr char kProgram[] = "sonvar-pthreads64";
constexpr char kLicensee[] = "open research and teaching use";
static_assert(sizeof kVersion - 1 == 37, "version text fills its banner line");
static_assert(sizeof kProgram - 1 == 17, "program text fills its banner line");
static_assert(sizeof kLicensee - 1 <= 46, "licensee text fits its banner line");

void print_banner(sys_con *sys) {
  std::string text;
  append_formatted(&text, "      *------------------------------------------------------------*\n");
  append_formatted(&text, "      *                                                            *\n");
  append_formatted(&text, "      *                      S O N V A R pro                       *\n");
  append_formatted(&text, "      *                                                            *\n");
  append_formatted(&text, "      *              Simulator for ultrasound systems              *\n");
  append_formatted(&text, "      *                                                            *\n");
  append_formatted(&text, "      *    Licensee: %-46s*\n", kLicensee);
  append_formatted(&text, "      *    Version: %s          *\n", kVersion);
  append_formatted(&text, "      *    Program: %s                              *\n", kProgram);
  append_formatted(&text, "      *    Build date: %s at time: %s               *\n", __DATE__,
                   __TIME__);
  append_formatted(&text, "      *         Professional parallel multi-core version           *\n");
  append_formatted(&text, "      *                                                            *\n");
  append_formatted(&text, "      *------------------------------------------------------------*\n");
  print_message(sys, text.c_str());
}

// The options from their table; the counters and lists start empty.
void write_defaults(sys_con *sys) {
  write_option_defaults(sys);
  sys->no_apertures = 0;
  sys->signal_bytes = 0;
  sys->max_signal_bytes = 0;
  sys->signal_alloc_calls = 0;
  sys->next_signal_number = 0;
  sys->free_signals = nullptr;
  sys->internal_state = 1;
  sys->last_calc_type = SONVAR_LAST_H;
  sys->apertures = nullptr;
}

// Appends "%6.0f Mbytes %5.1f kBytes" for a byte count.
void print_bytes(std::string *text, const char *label, int64_t bytes) {
  constexpr int64_t kMega = 1048576;
  append_formatted(text, "%s%6.0f Mbytes %5.1f kBytes\n", label,
                   std::floor(static_cast<double>(bytes) / static_cast<double>(kMega)),
                   static_cast<double>(bytes % kMega) / 1024);
}

}  // namespace

SONVAR_CALL sys_con *sonvar_init_with_output(int16_t quiet, sonvar_output_sink sink,
                                             void *user_data) {
  auto *sys = static_cast<sys_con *>(calloc(1, sizeof(sys_con)));
  sys->host = new sonvar_host;
  sys->host->sink = sink;
  sys->host->sink_data = sink != nullptr ? user_data : nullptr;
  // The mutexes exist before the first line, which goes through the channel.
  th_lib_mutex_init(&sys->memory_mutex);
  th_lib_mutex_init(&sys->fft_mutex);
  th_lib_mutex_init(&sys->signal_mutex);
  th_lib_mutex_init(&sys->message_mutex);
  sys->quiet = quiet;
  if (quiet == 0) print_banner(sys);
  write_defaults(sys);
  print_message(sys, "Multi-core mutexs have been initialized \n");
  return sys;
}

SONVAR_CALL sys_con *sonvar_init(int16_t quiet) {
  return sonvar_init_with_output(quiet, nullptr, nullptr);
}

SONVAR_CALL void sonvar_info(sys_con *sys) {
  std::string text;
  append_formatted(&text, "Current Sonvar configuration:\n\n");
  append_formatted(&text, "    Version: %s, Program: %s\n\n", kVersion, kProgram);
  append_formatted(&text, "    Parallel multi-thread version, running with %d threads\n",
                   sys->threads);
  append_formatted(&text, "    Licensee: %s\n", kLicensee);
  append_formatted(&text, "    Number of apertures in operation:            %d\n",
                   sys->no_apertures);
  append_formatted(&text, "    Apertures to be defined uses rectangles:     %d\n",
                   sys->use_rectangles);
  append_formatted(&text, "    Apertures to be defined uses triangles:      %d\n",
                   sys->use_triangles);
  append_formatted(&text, "    Apertures to be defined uses bounding lines: %d\n", sys->use_lines);
  append_formatted(&text, "\n");
  append_formatted(&text, "    Program uses accurate time calculation for rectangles: %d\n",
                   sys->accurate_time_calc);
  append_formatted(&text, "    Program uses fast integration for lines and triangles:  %d\n",
                   sys->fast_integration);
  // The accuracy options appear only when on, so that the default report
  // stays as it always was.
  if (sys->exact_integration)
    append_formatted(&text, "    Program uses exact integration for lines and triangles: %d\n",
                     sys->exact_integration);
  if (sys->band_limited)
    append_formatted(&text, "    Rectangle responses are band-limited samples:           %d\n",
                     sys->band_limited);
  if (sys->focus_at_point)
    append_formatted(&text, "    Dynamic focus is placed at the field point:             %d\n",
                     sys->focus_at_point);
  append_formatted(&text, "\n");
  append_formatted(&text, "    Speed of sound:     %10.4f m/s \n", sys->c);
  append_formatted(&text, "    Sampling frequency: %10.4f MHz \n", sys->fs / 1000000);
  append_formatted(&text, "    Whether to use attenuation: %d\n", sys->use_att);
  append_formatted(&text, "    Frequency independent attenuation is:  %10.4f dB/m\n", sys->att);
  append_formatted(&text,
                   "    Frequency dependent attenuation around %10.4f MHz is %10.4f dB/[m Hz]\n",
                   sys->att_f0 / 1000000, sys->freq_att);
  append_formatted(&text, "    Constant tau_m used in attenuation calculation:      %10.4f\n",
                   sys->tau_m);
  append_formatted(&text, "\n");
  append_formatted(&text, "    Step in propagation for non-linear imaging:  %10.6e m \n", sys->dz);
  append_formatted(&text, "    Characteristic acoustic impedance:           %10.6e kg/[m^2 s] \n",
                   sys->z);
  append_formatted(&text, "    Non-linearity parameter B/A:                 %10.4f  \n",
                   sys->bdiva);
  append_formatted(&text, "\n");
  int64_t bytes = 0;
  int64_t max_bytes = 0;
  {
    MutexGuard guard(&sys->signal_mutex);
    bytes = sys->signal_bytes;
    max_bytes = sys->max_signal_bytes;
  }
  print_bytes(&text, "    Number of bytes reserved for signals:           ", bytes);
  print_bytes(&text, "    Maximum number of bytes for signals:            ", max_bytes);
  append_formatted(&text, "    Number of times signal allocation was called:   %d\n",
                   sys->signal_alloc_calls);
  append_formatted(&text, "    Number for next signal to be used:              %d\n",
                   sys->next_signal_number);
  append_formatted(&text, "    Internal state of the program:                  %d\n",
                   sys->internal_state);
  append_formatted(&text, "    Debug mode enabled:                             %d\n", sys->debug);
  append_formatted(&text, "    Last calculation type done:                     %d\n",
                   sys->last_calc_type);
  append_formatted(&text, "    Whether calculation time should be shown:       %d\n",
                   sys->show_times);
  append_formatted(&text, "    Seconds between showing times                   %d s\n",
                   sys->time_interval);
  if (sys->max_samples != SONVAR_DEFAULT_MAX_SAMPLES)
    append_formatted(&text, "    Longest signal allowed:                         %lld samples\n",
                     static_cast<long long>(sys->max_samples));
  append_formatted(&text, "\n");
  append_formatted(&text, "A boolean value of 1 indicates true, 0 indicates false\n");
  print_message(sys, text.c_str());
}

SONVAR_CALL const char *sonvar_version(void) {
  return SONVAR_VERSION_STRING;
}

}  // namespace sonvar

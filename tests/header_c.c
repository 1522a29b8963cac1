/* Compiles the public header as strict C (and, copied, as C++) and calls the
 * shared library from a program linked by the compiler driver alone. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sonvar.h"

static const char kSampleCountText[] =
    "FATAL ERROR: Number of samples is negative or 0. It is -2\nProgram terminated\n";

int main(void) {
  sys_con *sys;
  signal_rec *signal;
  char parts[32];
  sprintf(parts, "%d.%d.%d", SONVAR_VERSION_MAJOR, SONVAR_VERSION_MINOR, SONVAR_VERSION_PATCH);
  if (strcmp(sonvar_version(), SONVAR_VERSION_STRING) != 0 ||
      strcmp(parts, SONVAR_VERSION_STRING) != 0) {
    printf("library %s, header %s, parts %s\n", sonvar_version(), SONVAR_VERSION_STRING, parts);
    return 1;
  }
  sys = sonvar_init_with_output(1, sonvar_discard_output, NULL);
  set_sonvar(sys, "C", 1500.0);
  signal = alloc_signal(sys, 10, 3);
  if (sys->c != 1500.0 || signal->no_samples != 10 || signal->start_sample != 3) {
    printf("C caller saw wrong values\n");
    return 1;
  }
  free_signal(sys, signal);

  /* A failure comes back to a C host with its text. */
  sonvar_set_failure_mode(sys, SONVAR_FAILURE_RETURN);
  if (alloc_signal(sys, -2, 0) != NULL || strcmp(sonvar_last_error(sys), kSampleCountText) != 0) {
    printf("RETURN mode gave \"%s\"\n", sonvar_last_error(sys));
    return 1;
  }
#ifdef __cplusplus
  /* The exception type is the same on both sides of the shared library. */
  sonvar_set_failure_mode(sys, SONVAR_FAILURE_THROW);
  try {
    alloc_signal(sys, -2, 0);
    printf("THROW mode did not throw\n");
    return 1;
  } catch (const sonvar::Error &e) {
    if (strcmp(e.what(), kSampleCountText) != 0) {
      printf("THROW mode gave \"%s\"\n", e.what());
      return 1;
    }
  }
#endif
  sonvar_free(sys);
  return 0;
}

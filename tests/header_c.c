/* Compiles the public header as strict C (and, copied, as C++) and calls the
 * shared library from a program linked by the compiler driver alone,
 * including a failure that comes back to a C caller. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sonvar.h"

static int handler_calls = 0;

static void count_failure(void *user_data, const char *message) {
  (void)message;
  handler_calls += *(const int *)user_data;
}

int main(void) {
  static const int one = 1;
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
  sonvar_set_failure_mode(sys, SONVAR_FAILURE_RETURN);
  sonvar_set_failure_handler(sys, count_failure, (void *)&one);
  if (alloc_signal(sys, 0, 0) != NULL || handler_calls != 1 ||
      strcmp(sonvar_last_error(sys),
             "FATAL ERROR: Number of samples is negative or 0. It is 0\nProgram terminated\n") !=
          0) {
    printf("C caller saw no failure\n");
    return 1;
  }
  sonvar_clear_error(sys);
  free_signal(sys, signal);
  free_signal_memory(sys);
  if (sys->signal_bytes != 0 || sonvar_last_error(sys)[0] != '\0') return 1;
  sonvar_free(sys);
  return 0;
}

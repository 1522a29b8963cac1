/* Compiles the public header as strict C (and, copied, as C++) and calls the
 * shared library from a program linked by the compiler driver alone. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sonvar.h"

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
  sys = sonvar_init(1);
  set_sonvar(sys, "C", 1500.0);
  signal = alloc_signal(sys, 10, 3);
  if (sys->c != 1500.0 || signal->no_samples != 10 || signal->start_sample != 3) {
    printf("C caller saw wrong values\n");
    return 1;
  }
  free_signal(sys, signal);
  free_signal_memory(sys);
  if (sys->signal_bytes != 0) return 1;
  free(sys);
  return 0;
}

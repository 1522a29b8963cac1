/* Compiles the public header as C and calls the library from C. */
#include <stdio.h>
#include <stdlib.h>

#include "sonvar.h"

int main(void) {
  sys_con *sys = sonvar_init(1);
  signal_rec *signal;
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

/*
 * beam_map.c - emitted-pressure beam map of a focused linear array.
 *
 * A 64-element linear array (5 MHz, half-wavelength pitch) focused at 20 mm
 * depth sends a two-cycle pulse; the program computes the emitted pressure at
 * every point of an x-z grid and writes the peak |p| of each point as CSV
 * ("x_m,z_m,peak", metres and the library's pressure unit) to the file named
 * by the first argument (default beam_map.csv).
 *
 * Build against the installed package with CMake (CMakeLists.txt beside this
 * file) or with pkg-config:  cc beam_map.c $(pkg-config --cflags --libs sonvar) -lm
 */
#include <math.h>
#include <stdio.h>

#include "sonvar.h"

#define F0 5e6         /* centre frequency, Hz */
#define FS 100e6       /* sampling frequency, Hz */
#define C_SOUND 1540.0 /* speed of sound, m/s */

#define NX 41 /* lateral positions, -10 mm to 10 mm in 0.5 mm steps */
#define NZ 36 /* depths, 5 mm to 40 mm in 1 mm steps */

int main(int argc, char **argv) {
  const char *path = argc > 1 ? argv[1] : "beam_map.csv";
  const double pi = 3.14159265358979323846;
  const double wavelength = C_SOUND / F0; /* 0.308 mm */
  const double focus_time = 0.0;
  point3 points[NX * NZ];
  point3 focus, no_focus = {0.0, 0.0, 0.0};
  signal_rec *impulse, *excitation, **pressure;
  aperture *array;
  sys_con *sys;
  FILE *out;
  int i, j, n, half;

  sys = sonvar_init(1);
  set_sonvar(sys, "c", C_SOUND);
  set_sonvar(sys, "fs", FS);
  set_sonvar(sys, "threads", 2);

  /* 64 elements of 0.28 mm x 5 mm, kerf 0.028 mm (pitch lambda/2), each cut
   * into 1 x 5 sub-elements so that the far-field approximation holds at
   * 5 mm depth. */
  array = xdc_linear_array(sys, 64, wavelength / 2 - 0.028e-3, 5e-3, 0.028e-3, 1, 5, no_focus);

  /* Impulse response: a sine at F0 under a Gaussian envelope, 4 periods
   * long; excitation: two periods of the sine. Both are sampled at FS and
   * start at sample 0; the aperture takes both signals over. */
  half = (int)(2.0 * FS / F0);
  impulse = alloc_signal(sys, 2 * half + 1, 0);
  for (j = 0; j <= 2 * half; j++) {
    double t = (j - half) / FS;
    double envelope = exp(-pow(t * F0 / 0.8, 2.0));
    impulse->values[j] = envelope * sin(2.0 * pi * F0 * t);
  }
  xdc_impulse(sys, array, impulse);
  excitation = alloc_signal(sys, (int)(2.0 * FS / F0), 0);
  for (j = 0; j < excitation->no_samples; j++) excitation->values[j] = sin(2.0 * pi * F0 * j / FS);
  xdc_excitation(sys, array, excitation);

  /* One static focus at 20 mm depth on the axis, from time 0 on. */
  focus.x = 0.0;
  focus.y = 0.0;
  focus.z = 20e-3;
  xdc_focus(sys, array, 1, &focus_time, &focus);

  n = 0;
  for (i = 0; i < NX; i++)
    for (j = 0; j < NZ; j++) {
      points[n].x = -10e-3 + 0.5e-3 * i;
      points[n].y = 0.0;
      points[n].z = 5e-3 + 1e-3 * j;
      n++;
    }

  /* Emitted pressure at every point, computed on two worker threads. */
  pressure = calc_function_parallel(sys, SONVAR_CALC_HP, array, NULL, n, points);

  out = fopen(path, "w");
  if (out == NULL) {
    perror(path);
    return 1;
  }
  fprintf(out, "x_m,z_m,peak\n");
  for (i = 0; i < n; i++) {
    double peak = 0.0;
    if (pressure[i] != NULL) {
      for (j = 0; j < pressure[i]->no_samples; j++)
        if (fabs(pressure[i]->values[j]) > peak) peak = fabs(pressure[i]->values[j]);
      free_signal(sys, pressure[i]);
    }
    fprintf(out, "%.4e,%.4e,%.6e\n", points[i].x, points[i].z, peak);
  }
  fclose(out);

  /* The result array and the aperture (with its impulse response and
   * excitation) go back before the state. */
  free_memory(sys, pressure);
  xdc_free(sys, array);
  free_signal_memory(sys);
  return 0;
}

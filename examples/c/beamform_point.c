/*
 * beamform_point.c - delay-and-sum of channel data with the beamformer alone.
 *
 * Channel data of a point target at (3 mm, 0, 20 mm) are written here as a
 * measured acquisition would hold them: a 64-element linear array (pitch
 * 0.3 mm) sends three plane waves (-0.1, 0 and 0.1 rad) and every element
 * records a 5 MHz Gaussian pulse at the two-way time of the target, sampled
 * at 40 MHz from 10 us on. The program beamforms the three waves onto an x-z
 * grid with their images compounded, prints where the image peaks and shows
 * the text of a refused argument. It exits with status 0 when the peak lies
 * within 0.1 mm of the target.
 *
 * Build against the installed package with CMake (CMakeLists.txt beside this
 * file) or with pkg-config:
 *   cc beamform_point.c $(pkg-config --cflags --libs sonvar_beamform) -lm
 */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sonvar_beamform.h"

#define ELEMENTS 64
#define WAVES 3
#define SAMPLES 1200
#define NX 201 /* x from -5 mm to 5 mm every 0.05 mm */
#define NZ 201 /* z from 15 mm to 25 mm every 0.05 mm */

int main(void) {
  const double pi = 3.14159265358979323846, c = 1540.0, fs = 40e6, t0 = 10e-6;
  const double target[3] = {3e-3, 0.0, 20e-3};
  const double angles[WAVES] = {-0.1, 0.0, 0.1};
  double positions[3 * ELEMENTS], x[NX], z[NZ];
  double *values = (double *)malloc(sizeof(double) * SAMPLES * ELEMENTS * WAVES);
  double *image = NULL;
  sonvar_bf_transmit transmits[WAVES];
  sonvar_bf_channel_data data;
  sonvar_bf_probe probe;
  sonvar_bf_grid grid;
  sonvar_bf_options options;
  sonvar_bf_error error;
  int64_t count = 0, best = 0, i;
  int w, e, k, status = 1;

  if (!values) return 1;
  for (e = 0; e < ELEMENTS; e++) {
    positions[3 * e] = (e - (ELEMENTS - 1) / 2.0) * 0.3e-3;
    positions[3 * e + 1] = positions[3 * e + 2] = 0.0;
  }
  /* Packed channel data [transmit][channel][sample]: the echo of the target
   * at tau_tx + |p - r| / c after each wave's time zero. */
  memset(transmits, 0, sizeof transmits);
  for (w = 0; w < WAVES; w++) {
    const double tau_tx = (target[2] * cos(angles[w]) + target[0] * sin(angles[w])) / c;
    transmits[w].kind = SONVAR_BF_PLANE;
    transmits[w].azimuth = angles[w];
    for (e = 0; e < ELEMENTS; e++) {
      const double dx = target[0] - positions[3 * e], dz = target[2];
      const double tau = tau_tx + sqrt(dx * dx + dz * dz) / c;
      for (k = 0; k < SAMPLES; k++) {
        const double t = t0 + k / fs - tau;
        values[(w * ELEMENTS + e) * SAMPLES + k] =
            exp(-t * t / (2 * 0.1e-6 * 0.1e-6)) * cos(2 * pi * 5e6 * t);
      }
    }
  }
  memset(&data, 0, sizeof data); /* strides 0: the packed layout */
  data.values = values;
  data.samples = SAMPLES;
  data.channels = ELEMENTS;
  data.transmits = WAVES;
  data.frames = 1;
  data.fs = fs;
  data.initial_time = t0;
  data.sound_speed = c;
  memset(&probe, 0, sizeof probe);
  probe.elements = ELEMENTS;
  probe.positions = positions;
  for (i = 0; i < NX; i++) x[i] = -5e-3 + i * 0.05e-3;
  for (i = 0; i < NZ; i++) z[i] = 15e-3 + i * 0.05e-3;
  memset(&grid, 0, sizeof grid);
  grid.kind = SONVAR_BF_GRID_CARTESIAN;
  grid.count[0] = NX;
  grid.count[1] = 1;
  grid.count[2] = NZ;
  grid.axis[0] = x;
  grid.axis[2] = z;
  sonvar_bf_default_options(&options);

  if (sonvar_bf_image_values(&error, &data, &grid, &options, &count) != SONVAR_BF_OK ||
      !(image = (double *)malloc(sizeof(double) * (size_t)count)) ||
      sonvar_bf_das(&error, &data, &probe, transmits, &grid, &options, image) != SONVAR_BF_OK) {
    printf("failed: %s\n", image ? error.text : "no memory");
  } else {
    for (i = 1; i < count; i++)
      if (fabs(image[i]) > fabs(image[best])) best = i;
    printf("beamformer %s: %d elements x %d waves onto %d x %d pixels\n", sonvar_bf_version(),
           ELEMENTS, WAVES, NX, NZ);
    printf("image peak at x = %.2f mm, z = %.2f mm (target at 3.00 mm, 20.00 mm)\n",
           x[best % NX] * 1e3, z[best / NX] * 1e3);
    status = fabs(x[best % NX] - target[0]) <= 0.1e-3 && fabs(z[best / NX] - target[2]) <= 0.1e-3
                 ? 0
                 : 1;
    /* A refused argument: the call says which and writes nothing. */
    options.f_number = 0;
    if (sonvar_bf_das(&error, &data, &probe, transmits, &grid, &options, image) !=
            SONVAR_BF_BAD_ARGUMENT ||
        strcmp(error.text, "f_number: must be above 0, got 0") != 0)
      status = 1;
    printf("with f_number 0: %s\n", error.text);
  }
  free(image);
  free(values);
  return status;
}

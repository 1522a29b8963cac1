// dispatcher.h - the work of one worker thread of the parallel dispatcher
// and the worker entry functions (workers.cpp); the dispatcher's calls
// themselves (calc_function_parallel and the calc_scat*_parallel calls) are
// public (dispatcher.cpp).
#ifndef SONVAR_DISPATCH_DISPATCHER_H
#define SONVAR_DISPATCH_DISPATCHER_H

#include "field/scattering.h"
#include "sonvar.h"

namespace sonvar {

/* The work of one worker thread. */
typedef struct thread_work {
  sys_con *sys;                /* the shared state */
  aperture *aperture1;         /* first (transmitting) aperture */
  aperture *aperture2;         /* second (receiving) aperture */
  int32_t no_points;           /* points of this worker's chunk */
  point3 *points;              /* first point of the chunk (in the caller's array) */
  double *amplitudes;          /* first amplitude of the chunk, or NULL */
  int32_t dec_factor;          /* decimation factor of the all-pairs scattering */
  signal_rec *scatter_result;  /* result of calc_scat */
  signal_rec **array_result;   /* result of calc_h, calc_hp, calc_hhp, calc_scat_multi */
  signal_rec ***nested_result; /* result of calc_scat_all */
  int32_t worker_index;        /* 0-based index of the worker */
  int32_t leaves;              /* summed and per-element scattering: leaves of */
  int32_t first_leaf;          /* all points, and this worker's leaves */
  int32_t end_leaf;            /* [first_leaf, end_leaf) */
  int32_t per_element;         /* 1: per-element echoes, 0: the summed echo */
  scatter_partials *partials;  /* the worker's partial sums (all pairs) */
  ScatterLeaves *leaf_plan;    /* summed and per-element: the leaves workers take */
  signal_rec **merged_sums;    /* the per-element results (shared), and */
  int32_t first_sum;           /* this worker's range of them to merge and pulse: */
  int32_t end_sum;             /* [first_sum, end_sum) */
  int32_t failed;              /* 1 when the worker's calculation failed */
  char *failure;               /* its failure text (alloc_memory), or NULL */
} thread_work;

/* Worker entry functions: each runs one calculation on its thread_work. */
void *calc_h_call(void *work);
void *calc_hp_call(void *work);
void *calc_hhp_call(void *work);
void *calc_scat_call(void *work);
void *calc_scat_multi_call(void *work);
void *calc_scat_all_call(void *work);
/* Sums of the leaves the worker takes from leaf_plan (sum_leaves). */
void *scatter_leaves_call(void *work);
/* All-pairs partial sums of the worker's leaves (pair_leaf_sums) into
 * partials. */
void *pair_leaves_call(void *work);

/* The worker's range of the per-element results: each element's leaf sums
 * merged, then the postponed pulse. */
void *scatter_pulse_call(void *work);

}  // namespace sonvar

#endif  // SONVAR_DISPATCH_DISPATCHER_H

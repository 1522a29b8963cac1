// scattering.h - the scattering calculations (scattering.cpp for the
// summed and per-element echoes, scatter_pairs.cpp for the all-pairs
// echoes): their order of the scatterers, their leaves and the partial sums
// that the dispatcher shares out over threads.
#ifndef SONVAR_FIELD_SCATTERING_H
#define SONVAR_FIELD_SCATTERING_H

#include <atomic>
#include <vector>

#include "sonvar.h"
#include "threads/thread_lib.h"

namespace sonvar {

struct PulseSpectra;

/* The scatterers of a summed, per-element or all-pairs scattering calculation are cut
 * into a fixed number of leaves (n / leaves each, the rest to the last),
 * each summed in order, and the leaf sums are added pairwise along a binary
 * tree, so that the result does not depend on how the leaves are shared
 * out over threads. */
typedef struct scatter_partials scatter_partials;

/* The order calc_scat computes its scatterers in (for n > 10 the nearest
 * first and the farthest second), made in place. */
void calc_scat_order(int n, point3 *points, double *amplitudes);

/* Number of leaves for a calculation on `threads` threads: 8, or the next
 * power of two above a larger thread count. */
int scatter_leaves(int threads);

/* The leaves of a summed or per-element calculation, which the workers
 * take one at a time (whichever is free takes the next); each leaf's sums
 * are added along the binary tree in leaf order (siblings as soon as both
 * are done, up to the tree's two halves; their addition is made element
 * by element with the pulse), so the result does not depend on
 * which worker took which leaf. The per-element echoes
 * take the scatterers nearest first over all n (`order`), so that a leaf
 * covers a band of range and its scatterers meet the same frames; the
 * summed echo takes them in the caller's order. */
struct ScatterLeaves {
  int n = 0;
  point3 *points = nullptr;
  double *amplitudes = nullptr;
  int per_element = 0;
  int leaves = 0;
  const int *order = nullptr;  // the k-th scatterer taken, or NULL: index order
  int expected = 0;            // scatterers one worker is expected to take (progress)
  std::atomic<int> next{0};
  // Per leaf slot: the sums of the tree node whose first leaf it is, once
  // done (NULL before, and after the node was merged into its left
  // sibling). Siblings below the tree's two halves are merged as soon as
  // both are done, by the worker that finished the second, so a node's sums
  // live only until its sibling is done and the memory of finished leaves
  // is reused for the next; the halves are added by merge_element_leaves.
  signal_rec ***sums = nullptr;
  std::vector<int> level;  // per slot: the level of its node once done, else -1
  pthread_mutex_t merge_mutex;

  ScatterLeaves() { th_lib_mutex_init(&merge_mutex); }
  ~ScatterLeaves() { th_lib_mutex_destroy(&merge_mutex); }
  ScatterLeaves(const ScatterLeaves &) = delete;
  ScatterLeaves &operator=(const ScatterLeaves &) = delete;
};

/* Sets up the leaves of n scatterers for a calculation on `threads`
 * threads: the array of leaf sums and, for the per-element echoes, the
 * order (held in *order, which the caller keeps). */
void plan_leaves(sys_con *sys, ScatterLeaves *plan, int per_element, int n, point3 *points,
                 double *amplitudes, int threads, std::vector<int> *order);

/* Takes leaves of the plan until none is left and leaves their partial
 * sums (without the pulse when attenuation is off) in plan->sums, each
 * merged with its finished siblings along the tree: one
 * signal per receive element (per_element) or one for the whole receive
 * aperture. Sets last_calc_type (SONVAR_LAST_SCAT_MULTI or
 * SONVAR_LAST_SCAT). The points are not reordered. */
void sum_leaves(sys_con *sys, aperture *transmit, aperture *receive, ScatterLeaves *plan);

/* The leaf sums merged in leaf order along the binary tree (their count in
 * *elements); every leaf must be done. The plan's array goes back. */
signal_rec **merge_leaves(sys_con *sys, aperture *receive, ScatterLeaves *plan, int *elements);

/* The per-element leaf sums of receive element j merged in leaf order along
 * the binary tree, as merge_leaves merges them (the same additions in the
 * same order, so the same values); the leaves' entries for j are taken
 * (left NULL). Elements apart may be merged on different threads. Nodes
 * the workers already merged are taken as they stand. */
signal_rec *merge_element_leaves(sys_con *sys, ScatterLeaves *plan, int j);

/* Gives back the sums of the leaves that were done and the plan's array
 * (after a failure). */
void free_leaves(sys_con *sys, aperture *receive, ScatterLeaves *plan);

/* Gives back every signal of the partial sums and the record. */
void free_scatter_partials(sys_con *sys, scatter_partials *parts);

/* The order calc_scat_all computes its scatterers in (for n > 10 sorted by
 * distance, then the second and the last exchanged), made in place. */
void calc_scat_all_order(sys_con *sys, int n, point3 *points, double *amplitudes);

/* The all-pairs partial sums of leaves [first, end) of n scatterers cut into
 * `leaves`, decimated by D: one signal per element pair, transmit element t
 * and receive element r at t * receive elements + r. Divides the amplitudes
 * of those leaves by fs in place. */
scatter_partials *pair_leaf_sums(sys_con *sys, aperture *transmit, aperture *receive, int n,
                                 point3 *points, double *amplitudes, int D, int leaves, int first,
                                 int end);

/* Merges the all-pairs partial sums of `count` shares (given in leaf order;
 * all are released) into calc_scat_all's result: [transmit][receive], zeros
 * at fs/D for pairs without an echo. */
signal_rec ***pair_finish(sys_con *sys, aperture *transmit, aperture *receive,
                          scatter_partials **shares, int count, int D);

/* Merges the partial sums of `count` shares (given in leaf order; all are
 * released): the merged sums, their count in *elements. */
signal_rec **scatter_merge(sys_con *sys, scatter_partials **shares, int count, int *elements);

/* The postponed pulse applied to sums[first, end), which a worker can do
 * for its own range. */
void scatter_apply_pulse(sys_con *sys, aperture *transmit, aperture *receive, signal_rec **sums,
                         int first, int end);

/* Applies the postponed pulse convolution (no attenuation) to a per-element
 * or summed echo, which it takes over, or returns the sum as it is; an
 * absent sum becomes zeros shaped like the pulse. `spectra` holds the
 * caller's pulse spectra by transform length and the working signals, kept
 * from sum to sum; the result is a new signal of exactly its length. */
signal_rec *finish_with_pulse(sys_con *sys, signal_rec *sum, signal_rec *pulse,
                              PulseSpectra *spectra);

/* Sorts the scatterers by squared distance from the origin, nearest first
 * (an in-place heap sort; not stable), moving the amplitudes along. */
void sort_points(sys_con *sys, int n, point3 *points, double *amplitudes);

// The partial sums of a share of leaves: nodes of the binary tree over the
// leaves, each the sum of 2^level leaves from leaf index * 2^level, in leaf
// order. Two neighbouring nodes of one level that are siblings are always
// merged, so a share whose leaves form whole subtrees holds one node, and
// merging every share's nodes in leaf order adds the same pairs in the same
// order as one share holding all leaves: the sum does not depend on how the
// leaves were shared out.
struct scatter_partials {
  int elements;
  int count;
  struct Node {
    int level;
    int index;
    signal_rec **sums;
  } nodes[64];
};

// Exchanges scatterers a and b with their amplitudes.
void swap_scatterers(point3 *points, double *amplitudes, int a, int b);

// First scatterer of leaf `leaf` of n scatterers cut into `leaves` leaves:
// n / leaves each, the rest to the last.
int leaf_begin(int n, int leaves, int leaf);
int leaf_end(int n, int leaves, int leaf);

// Adds the sums of leaf `index` (level 0), or of a node of the tree, to the
// partial sums, merging it with its sibling where the sibling is there.
void push_node(sys_con *sys, scatter_partials *parts, int level, int index, signal_rec **sums);

}  // namespace sonvar

#endif  // SONVAR_FIELD_SCATTERING_H

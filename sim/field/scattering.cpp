// scattering.cpp - the summed and per-element scattering calculations
// (calc_scat, calc_scat_multi): the scatterers cut into leaves, each leaf
// summed by a share of whichever worker takes it, the leaf sums merged
// along a binary tree, the pulse applied at the end.
#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "base/points.h"
#include "field/calculation.h"
#include "field/pulse.h"
#include "field/scatter_share.h"
#include "field/scattering.h"
#include "general/checks.h"
#include "general/memory.h"
#include "pool/ledger.h"
#include "signals/direct.h"
#include "state/host.h"
#include "threads/thread_lib.h"

namespace sonvar {

namespace {

double squared_range(point3 p) {
  return sqr(p.z) + (sqr(p.y) + sqr(p.x));
}

// Puts the nearest scatterer first and the farthest second, so that the
// first echoes added already span nearly the whole time range.
void nearest_and_farthest_first(point3 *points, double *amplitudes, int n) {
  int min_pos = 0, max_pos = 0;
  double min_key = squared_range(points[0]), max_key = min_key;
  for (int i = 1; i < n; i++) {
    const double key = squared_range(points[i]);
    if (key > max_key) {
      max_key = key;
      max_pos = i;
    } else if (key < min_key) {
      min_key = key;
      min_pos = i;
    }
  }
  swap_scatterers(points, amplitudes, 0, min_pos);
  swap_scatterers(points, amplitudes, 1, max_pos);
}

// Adds `right` into `left` (which takes it over when absent) and takes
// right (left NULL); a failure leaves each signal owned by one of the two.
void absorb_signal(sys_con *sys, signal_rec *&left, signal_rec *&right) {
  if (right == nullptr) return;
  if (left == nullptr) {
    left = right;
  } else {
    add_responses(sys, right, left);  // grows left in place
    free_signal(sys, right);
  }
  right = nullptr;
}

// Adds the sums of `right` into `left` element by element, each entry of
// right taken as it goes.
void absorb_node(sys_con *sys, signal_rec **left, signal_rec **right, int elements) {
  for (int j = 0; j < elements; j++) absorb_signal(sys, left[j], right[j]);
}

// The same, and right's array goes back.
void absorb_sums(sys_con *sys, signal_rec **left, signal_rec **right, int elements) {
  absorb_node(sys, left, right, elements);
  free_memory(sys, right);
}

double squared_norm(point3 p) {
  return p.x * p.x + p.y * p.y + p.z * p.z;
}

// (pulse * sum)/fs through transforms of the joint length: the pulse
// spectrum of that length made once per caller, the sum transformed in the
// caller's working signal, the product (pulse first) turned back there and
// copied out at its own length. The same products and transforms as
// fast_convolute(pulse, sum), so the same values, without two transform
// buffers taken and released per sum.
signal_rec *transformed_pulse_echo(sys_con *sys, signal_rec *sum, signal_rec *pulse,
                                   PulseSpectra *spectra) {
  const int length = pulse->no_samples + sum->no_samples;
  const int N = Find_N(length, 0);
  signal_rec *pulse_spectrum = *spectra->exact(sys, pulse, N);
  if (spectra->work == nullptr) spectra->work = alloc_signal(sys, N, 0);
  signal_rec *work = Find_FFT_reuse(sys, spectra->work, sum, N);
  Multiply_FFTs_fast(sys, pulse_spectrum, work, work);
  Inverse_FFT(work, length - 1);
  signal_rec *result = alloc_signal(sys, length - 1, work->start_sample);
  std::copy(work->values, work->values + (length - 1), result->values);
  return result;
}

}  // namespace

// Applies the postponed pulse convolution (no attenuation) or returns the
// sum as it is; an absent sum becomes zeros shaped like the pulse.
signal_rec *finish_with_pulse(sys_con *sys, signal_rec *sum, signal_rec *pulse,
                              PulseSpectra *spectra) {
  if (sum == nullptr) return zeros_like(sys, pulse);
  if (sys->use_att) return sum;
  signal_rec *result = nullptr;
  if (direct_costs_less(pulse->no_samples, sum->no_samples, kMacsPerThreeTransformSteps)) {
    add_direct_convolution(sys, &spectra->padded, &result, pulse, sum, 1 / sys->fs);
  } else {
    result = transformed_pulse_echo(sys, sum, pulse, spectra);
  }
  free_signal(sys, sum);
  return result;
}

void swap_scatterers(point3 *points, double *amplitudes, int a, int b) {
  std::swap(points[a], points[b]);
  std::swap(amplitudes[a], amplitudes[b]);
}

int leaf_begin(int n, int leaves, int leaf) {
  return leaf * (n / leaves);
}

int leaf_end(int n, int leaves, int leaf) {
  return leaf == leaves - 1 ? n : (leaf + 1) * (n / leaves);
}

void push_node(sys_con *sys, scatter_partials *parts, int level, int index, signal_rec **sums) {
  parts->nodes[parts->count++] = {level, index, sums};
  while (parts->count >= 2) {
    scatter_partials::Node &left = parts->nodes[parts->count - 2];
    const scatter_partials::Node &right = parts->nodes[parts->count - 1];
    if (left.level != right.level || left.index % 2 != 0 || right.index != left.index + 1) break;
    absorb_sums(sys, left.sums, right.sums, parts->elements);
    left.level++;
    left.index /= 2;
    parts->count--;
  }
}

void sort_points(sys_con *sys, int n, point3 *points, double *amplitudes) {
  double *keys = alloc_array<double>(sys, n, "the scatterer sort keys");
  for (int k = 0; k < n; k++) keys[k] = squared_range(points[k]);
  // Heap sort over positions 1 .. n (position p is index p - 1).
  struct Item {
    double key;
    point3 point;
    double amplitude;
  };
  const auto get = [&](int p) { return Item{keys[p - 1], points[p - 1], amplitudes[p - 1]}; };
  const auto put = [&](int p, const Item &item) {
    keys[p - 1] = item.key;
    points[p - 1] = item.point;
    amplitudes[p - 1] = item.amplitude;
  };
  int l = n / 2 + 1, r = n;
  for (;;) {
    Item taken;
    if (l > 1) {
      taken = get(--l);
    } else {
      taken = get(r);
      put(r, get(1));
      if (--r == 1) {
        put(1, taken);
        break;
      }
    }
    int i = l, j = 2 * l;
    while (j <= r) {
      if (j < r && keys[j - 1] < keys[j]) j++;
      if (!(taken.key < keys[j - 1])) break;
      put(i, get(j));
      i = j;
      j = 2 * j;
    }
    put(i, taken);
  }
  free_memory(sys, keys);
}

int scatter_leaves(int threads) {
  int leaves = 8;
  while (leaves < threads) leaves *= 2;
  return leaves;
}

void plan_leaves(sys_con *sys, ScatterLeaves *plan, int per_element, int n, point3 *points,
                 double *amplitudes, int threads, std::vector<int> *order) {
  plan->n = n;
  plan->points = points;
  plan->amplitudes = amplitudes;
  plan->per_element = per_element;
  plan->leaves = scatter_leaves(threads);
  plan->expected = std::max(1, n / std::max(1, threads));
  plan->sums = alloc_array<signal_rec **>(sys, plan->leaves, "the sums of the leaves");
  allocating(sys, "the sums of the leaves",
             [&] { plan->level.assign(static_cast<std::size_t>(plan->leaves), -1); });
  if (!per_element) return;
  // Nearest first: consecutive scatterers then meet the same frames of
  // each element, and each leaf covers a band of range.
  allocating(sys, "the order of the scatterers", [&] {
    std::vector<double> range(static_cast<std::size_t>(n));
    for (int i = 0; i < n; i++) range[static_cast<std::size_t>(i)] = squared_norm(points[i]);
    order->resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; i++) (*order)[static_cast<std::size_t>(i)] = i;
    std::stable_sort(order->begin(), order->end(),
                     [&](int u, int v) { return range[u] < range[v]; });
  });
  plan->order = order->data();
}

namespace {

// Leaf `leaf` is done with `sums`: it and every node it completes are
// merged into their left siblings while the sibling is done too, up to the
// tree's two halves, and only while leaves are left to take: the memory of
// the merged nodes then serves the next leaves. Once every leaf is taken,
// a merge here would keep the worker that finished last busy while the
// others wait for it; what is left, and the halves' addition (two sums of
// nearly the whole echo length per element), goes to merge_element_leaves,
// which the workers share out element by element with the pulse.
void store_leaf(sys_con *sys, ScatterLeaves *plan, int leaf, signal_rec **sums, int elements) {
  int slot = leaf, level = 0;
  th_lib_mutex_lock(&plan->merge_mutex);
  plan->sums[slot] = sums;
  plan->level[static_cast<std::size_t>(slot)] = level;
  while (plan->next.load(std::memory_order_relaxed) < plan->leaves) {
    const int node = slot >> level;
    const int sibling = (node ^ 1) << level;
    if ((2 << level) >= plan->leaves || plan->level[static_cast<std::size_t>(sibling)] != level)
      break;
    const int left = std::min(slot, sibling), right = std::max(slot, sibling);
    plan->level[static_cast<std::size_t>(left)] = plan->level[static_cast<std::size_t>(right)] = -1;
    th_lib_mutex_unlock(&plan->merge_mutex);
    // On a failure both nodes stay in their slots for free_leaves.
    absorb_sums(sys, plan->sums[left], plan->sums[right], elements);
    th_lib_mutex_lock(&plan->merge_mutex);
    plan->sums[right] = nullptr;
    slot = left;
    plan->level[static_cast<std::size_t>(slot)] = ++level;
  }
  th_lib_mutex_unlock(&plan->merge_mutex);
}

}  // namespace

void sum_leaves(sys_con *sys, aperture *transmit, aperture *receive, ScatterLeaves *plan) {
  store_relaxed(&sys->last_calc_type,
                plan->per_element ? SONVAR_LAST_SCAT_MULTI : SONVAR_LAST_SCAT);
  // On the heap: a share holds the frame transforms' working arrays (about
  // 140 kB), too much for the stack of a host's thread.
  std::unique_ptr<ScatterShare> owned(allocating(sys, "a share of the scattering", [&] {
    return new ScatterShare(sys, transmit, receive, plan->per_element != 0);
  }));
  ScatterShare &share = *owned;
  int done = 0;
  for (;;) {
    const int leaf = plan->next.fetch_add(1, std::memory_order_relaxed);
    if (leaf >= plan->leaves) break;
    signal_rec **sums = new_result_array(sys, share.elements());
    try {
      for (int k = leaf_begin(plan->n, plan->leaves, leaf);
           k < leaf_end(plan->n, plan->leaves, leaf); k++) {
        const int s = plan->order != nullptr ? plan->order[k] : k;
        share.add(plan->points[s], plan->amplitudes[s], sums);
        share.done(done++, plan->expected);
      }
      share.leaf_done(sums);
    } catch (...) {
      for (int j = 0; j < share.elements(); j++) release_if_present(sys, sums[j]);
      free_memory(sys, sums);
      throw;
    }
    store_leaf(sys, plan, leaf, sums, share.elements());
  }
}

signal_rec **merge_leaves(sys_con *sys, aperture *receive, ScatterLeaves *plan, int *elements) {
  const int count = plan->per_element ? receive->no_elements : 1;
  auto **result = alloc_array<signal_rec *>(sys, count, "the array of result signals");
  try {
    for (int j = 0; j < count; j++) result[j] = merge_element_leaves(sys, plan, j);
  } catch (...) {
    for (int j = 0; j < count; j++) release_if_present(sys, result[j]);
    free_memory(sys, result);
    free_leaves(sys, receive, plan);
    throw;
  }
  free_leaves(sys, receive, plan);  // only the leaves' arrays are left
  *elements = count;
  return result;
}

void free_leaves(sys_con *sys, aperture *receive, ScatterLeaves *plan) {
  if (plan->sums == nullptr) return;
  const int elements = plan->per_element ? receive->no_elements : 1;
  for (int leaf = 0; leaf < plan->leaves; leaf++) {
    signal_rec **sums = plan->sums[leaf];
    if (sums == nullptr) continue;
    for (int j = 0; j < elements; j++) release_if_present(sys, sums[j]);
    free_memory(sys, sums);
  }
  free_memory(sys, plan->sums);
  plan->sums = nullptr;
}

void free_scatter_partials(sys_con *sys, scatter_partials *parts) {
  for (int m = 0; m < parts->count; m++) {
    for (int j = 0; j < parts->elements; j++)
      if (parts->nodes[m].sums[j] != nullptr) free_signal(sys, parts->nodes[m].sums[j]);
    free_memory(sys, parts->nodes[m].sums);
  }
  free_memory(sys, parts);
}

signal_rec **scatter_merge(sys_con *sys, scatter_partials **shares, int count, int *elements) {
  scatter_partials *all = shares[0];
  for (int k = 1; k < count; k++) {
    for (int m = 0; m < shares[k]->count; m++) {
      const scatter_partials::Node &node = shares[k]->nodes[m];
      push_node(sys, all, node.level, node.index, node.sums);
    }
    free_memory(sys, shares[k]);
  }
  // A share of an uneven split may leave nodes that only the whole
  // closes; they merge left to right at the end.
  while (all->count > 1) {
    absorb_sums(sys, all->nodes[all->count - 2].sums, all->nodes[all->count - 1].sums,
                all->elements);
    all->count--;
  }
  signal_rec **result = all->nodes[0].sums;
  *elements = all->elements;
  free_memory(sys, all);
  return result;
}

signal_rec *merge_element_leaves(sys_con *sys, ScatterLeaves *plan, int j) {
  struct Node {
    int level;
    int index;
    signal_rec *sum;
  };
  Node stack[64];
  int count = 0;
  try {
    for (int leaf = 0; leaf < plan->leaves; leaf++) {
      if (plan->sums[leaf] == nullptr) continue;  // merged into the node to its left
      const int level = std::max(0, plan->level[static_cast<std::size_t>(leaf)]);
      stack[count++] = {level, leaf >> level, plan->sums[leaf][j]};
      plan->sums[leaf][j] = nullptr;
      while (count >= 2) {
        Node &left = stack[count - 2];
        Node &right = stack[count - 1];
        if (left.level != right.level || left.index % 2 != 0 || right.index != left.index + 1)
          break;
        absorb_signal(sys, left.sum, right.sum);
        left.level++;
        left.index /= 2;
        count--;
      }
    }
    for (; count > 1; count--) absorb_signal(sys, stack[count - 2].sum, stack[count - 1].sum);
  } catch (...) {
    // The sums taken from the leaves go back with the failure.
    for (int k = 0; k < count; k++) release_if_present(sys, stack[k].sum);
    throw;
  }
  return count == 1 ? stack[0].sum : nullptr;
}

void scatter_apply_pulse(sys_con *sys, aperture *transmit, aperture *receive, signal_rec **sums,
                         int first, int end) {
  signal_rec *pulse = two_way_pulse(sys, transmit, receive);
  PulseSpectra spectra;
  try {
    for (int j = first; j < end; j++) sums[j] = finish_with_pulse(sys, sums[j], pulse, &spectra);
  } catch (...) {
    spectra.release(sys);
    free_signal(sys, pulse);
    throw;
  }
  spectra.release(sys);
  free_signal(sys, pulse);
}

namespace {

// A summed or per-element calculation on the calling thread.
signal_rec **scatter_directly(sys_con *sys, aperture *transmit, aperture *receive, int per_element,
                              int n, point3 *points, double *amplitudes) {
  ScatterLeaves plan;
  std::vector<int> order;
  plan_leaves(sys, &plan, per_element, n, points, amplitudes, 1, &order);
  try {
    sum_leaves(sys, transmit, receive, &plan);
  } catch (...) {
    free_leaves(sys, receive, &plan);
    throw;
  }
  int elements = 0;
  signal_rec **result = merge_leaves(sys, receive, &plan, &elements);
  // The pulse convolution postponed to the end: once per output signal.
  scatter_apply_pulse(sys, transmit, receive, result, 0, elements);
  return result;
}

}  // namespace

void calc_scat_order(int n, point3 *points, double *amplitudes) {
  if (n > 10) nearest_and_farthest_first(points, amplitudes, n);
}

SONVAR_CALL signal_rec *calc_scat(sys_con *sys, aperture *transmit, aperture *receive, int n,
                                  point3 *points, double *amplitudes) try {
  SONVAR_ENTER_CALCULATION(sys);
  check_calculation(sys, "calc_scat", transmit, receive, n, points, amplitudes, true);
  calc_scat_order(n, points, amplitudes);
  signal_rec **sums = scatter_directly(sys, transmit, receive, 0, n, points, amplitudes);
  signal_rec *result = sums[0];
  free_memory(sys, sums);
  check_finite_result(sys, "calc_scat", result, 0, n > 0 ? points[0] : point3{0, 0, 0});
  return result;
}
SONVAR_LEAVE(sys)

SONVAR_CALL signal_rec **calc_scat_multi(sys_con *sys, aperture *transmit, aperture *receive, int n,
                                         point3 *points, double *amplitudes) try {
  SONVAR_ENTER_CALCULATION(sys);
  check_calculation(sys, "calc_scat_multi", transmit, receive, n, points, amplitudes, true);
  return scatter_directly(sys, transmit, receive, 1, n, points, amplitudes);
}
SONVAR_LEAVE(sys)

}  // namespace sonvar

// rect_columns.cpp - the rectangles of an aperture as columns, and the
// pairs of rectangles that mirror each other in the plane y = 0.
//
// Two rectangles of one physical element are mirror images when the one's
// centre is the other's with y negated, their sizes, their x-z tilts and
// the cosines of their y-z tilts agree, the sines and tangents of their y-z
// tilts are opposite, and their apodizations and delays are equal. Geometry
// agrees within a few units in the last place (the constructors form the
// two halves of a cut by different sums); weights and delays, which the
// user sets, must be equal. At a point with y = 0 the direction to the two
// centres differs only in the sign of its y component, which changes the
// sign of the direction cosine along the height and nothing else the far
// field uses: same distance, arrival time and durations. Candidates are
// found by sorting on the centre rounded to 1 nm (mirror images fall into
// the same cell but for a rare one on a cell's edge, which is then simply
// computed twice).
#include <algorithm>
#include <cmath>
#include <iterator>
#include <vector>

#include "dispatch/scratch_block.h"
#include "field/rect_columns.h"
#include "field/rect_timing.h"
#include "general/memory.h"
#include "pool/spare_scratch.h"

namespace sonvar {

namespace {

// Agreement of two lengths or coordinates: within 1e-14 of their size.
bool same_length(double a, double b, double scale) {
  return std::fabs(a - b) <= 1e-14 * (std::fabs(a) + std::fabs(b) + scale);
}

// Agreement of two cosines or sines (at most 1): within 1e-15.
bool same_ratio(double a, double b) {
  return std::fabs(a - b) <= 1e-15;
}

bool mirror_images(const rect_element &a, const rect_element &b) {
  const double size = a.width + a.height;
  return a.apodization == b.apodization && a.delay == b.delay &&
         a.doubly_tilted == b.doubly_tilted && same_length(a.width, b.width, 0) &&
         same_length(a.height, b.height, 0) && same_length(a.center.x, b.center.x, size) &&
         same_length(a.center.y, -b.center.y, size) && same_length(a.center.z, b.center.z, size) &&
         same_ratio(a.cos_xz, b.cos_xz) && same_ratio(a.sin_xz, b.sin_xz) &&
         same_ratio(a.cos_yz, b.cos_yz) && same_ratio(a.sin_yz, -b.sin_yz) &&
         same_ratio(a.tan_xz, b.tan_xz) && same_ratio(a.tan_yz, -b.tan_yz) &&
         std::fabs(a.center.y) > 1e-3 * size;  // a rectangle on y = 0 is its own image
}

struct Candidate {
  long long x, y, z;  // the centre's cell, |y|
  int index;
};

long long cell(double coordinate) {
  return std::llround(coordinate * 1e9);
}

// The mirrored pairs of one element: partner[k] is the index of k's image,
// or -1. Returns the number of pairs.
int pair_element(const physical_element &element, std::vector<Candidate> *candidates,
                 std::vector<int> *partner) {
  const int n = element.no_rectangles;
  candidates->clear();
  partner->assign(static_cast<std::size_t>(n), -1);
  for (int k = 0; k < n; k++) {
    const point3 c = element.rectangles[k].center;
    if (!(std::fabs(c.x) < 1e6 && std::fabs(c.y) < 1e6 && std::fabs(c.z) < 1e6)) continue;
    candidates->push_back({cell(c.x), cell(std::fabs(c.y)), cell(c.z), k});
  }
  std::sort(candidates->begin(), candidates->end(), [](const Candidate &a, const Candidate &b) {
    if (a.x != b.x) return a.x < b.x;
    if (a.y != b.y) return a.y < b.y;
    if (a.z != b.z) return a.z < b.z;
    return a.index < b.index;
  });
  int pairs = 0;
  for (std::size_t k = 0; k + 1 < candidates->size(); k++) {
    const Candidate &a = (*candidates)[k], &b = (*candidates)[k + 1];
    if (a.x != b.x || a.y != b.y || a.z != b.z) continue;
    if (!mirror_images(element.rectangles[a.index], element.rectangles[b.index])) continue;
    (*partner)[a.index] = b.index;
    (*partner)[b.index] = a.index;
    pairs++;
    k++;
  }
  return pairs;
}

rect_columns *new_columns(sys_con *sys, int rows, int elements) {
  const char *what = "the rectangle columns";
  const std::uint64_t n = static_cast<std::uint64_t>(std::max(rows, 1));
  auto *t = alloc_array<rect_columns>(sys, 1, what);
  t->rows = rows;
  t->first = alloc_array<int32_t>(sys, static_cast<std::uint64_t>(elements) + 1, what);
  // The twelve columns of doubles, then the flags and the rectangles (eight
  // bytes each too), in one array the state keeps for its next calculation.
  static_assert(sizeof(int64_t) == sizeof(double) &&
                sizeof(const rect_element *) == sizeof(double));
  double *base = take_scratch_array<double>(sys, 14 * n, what);
  for (double **column : {&t->cx, &t->cy, &t->cz, &t->width, &t->height, &t->cos_xz, &t->sin_xz,
                          &t->cos_yz, &t->sin_yz, &t->apodization, &t->delay, &t->factor}) {
    *column = base;
    base += n;
  }
  t->doubly = reinterpret_cast<int64_t *>(base);
  t->rect = reinterpret_cast<const rect_element **>(base + n);
  return t;
}

void set_row(rect_columns *t, int r, const rect_element *rect, double factor) {
  t->cx[r] = rect->center.x;
  t->cy[r] = rect->center.y;
  t->cz[r] = rect->center.z;
  t->width[r] = rect->width;
  t->height[r] = rect->height;
  t->cos_xz[r] = rect->cos_xz;
  t->sin_xz[r] = rect->sin_xz;
  t->cos_yz[r] = rect->cos_yz;
  t->sin_yz[r] = rect->sin_yz;
  t->apodization[r] = rect->apodization;
  t->delay[r] = rect->delay;
  t->factor[r] = factor;
  t->doubly[r] = rect->doubly_tilted;
  t->rect[r] = rect;
}

// The columns of a timing record.
constexpr double *timing_columns::*kTimingFields[] = {&timing_columns::local_x,
                                                      &timing_columns::local_y,
                                                      &timing_columns::t0,
                                                      &timing_columns::weighted_area,
                                                      &timing_columns::short_duration,
                                                      &timing_columns::long_duration,
                                                      &timing_columns::t1,
                                                      &timing_columns::t2,
                                                      &timing_columns::t3,
                                                      &timing_columns::t4,
                                                      &timing_columns::window_start,
                                                      &timing_columns::window_samples,
                                                      &timing_columns::start_time,
                                                      &timing_columns::step,
                                                      &timing_columns::lambda,
                                                      &timing_columns::mu};

aperture_columns *make_aperture_columns(sys_con *sys, const aperture *ap, int records,
                                        bool mirrors) {
  auto *columns = alloc_array<aperture_columns>(sys, 1, "the rectangle columns");
  columns->ap = ap;
  columns->timings = new_timing_columns(sys, records);
  long long total = 0;
  for (int i = 0; i < ap->no_elements; i++) total += ap->elements[i].no_rectangles;
  const int rows = static_cast<int>(std::min<long long>(total, 1LL << 30));
  rect_columns *all = new_columns(sys, rows, ap->no_elements);
  columns->all = all;
  std::vector<int> partners;  // per row of all: the row of its mirror image, or -1
  allocating(sys, "the mirrored rectangles", [&] {
    std::vector<Candidate> candidates;
    std::vector<int> partner;
    partners.assign(static_cast<std::size_t>(rows), -1);
    int r = 0;
    for (int i = 0; i < ap->no_elements; i++) {
      all->first[i] = r;
      const physical_element &element = ap->elements[i];
      if (mirrors)
        columns->pairs += pair_element(element, &candidates, &partner);
      else
        partner.assign(static_cast<std::size_t>(element.no_rectangles), -1);
      for (int k = 0; k < element.no_rectangles; k++, r++) {
        set_row(all, r, element.rectangles + k, 1.0);
        partners[static_cast<std::size_t>(r)] = partner[k] >= 0 ? all->first[i] + partner[k] : -1;
      }
    }
    all->first[ap->no_elements] = r;
  });
  if (columns->pairs == 0) return columns;
  rect_columns *mirrored = new_columns(sys, rows - columns->pairs, ap->no_elements);
  int m = 0;
  for (int i = 0; i < ap->no_elements; i++) {
    mirrored->first[i] = m;
    for (int r = all->first[i]; r < all->first[i + 1]; r++) {
      const int image = partners[static_cast<std::size_t>(r)];
      if (image >= 0 && image < r) continue;  // its image stands for it
      set_row(mirrored, m++, all->rect[r], image >= 0 ? 2.0 : 1.0);
    }
  }
  mirrored->first[ap->no_elements] = m;
  columns->mirrored = mirrored;
  return columns;
}

}  // namespace

timing_columns *new_timing_columns(sys_con *sys, int records) {
  auto *c = alloc_array<timing_columns>(sys, 1, "the rectangle timing columns");
  c->capacity = (std::max(records, 1) + 7) / 8 * 8;
  // Every column in one array the state keeps (as new_columns does).
  const std::uint64_t n = static_cast<std::uint64_t>(c->capacity);
  double *base =
      take_scratch_array<double>(sys, std::size(kTimingFields) * n, "the rectangle timing columns");
  for (double *timing_columns::*field : kTimingFields) {
    c->*field = base;
    base += n;
  }
  return c;
}

void free_timing_columns(sys_con *sys, timing_columns *c) {
  if (c == nullptr) return;
  give_back_scratch(sys, c->*kTimingFields[0]);  // the array of every column
  free_memory(sys, c);
}

void free_rect_columns(sys_con *sys, rect_columns *t) {
  if (t == nullptr) return;
  free_memory(sys, t->first);
  give_back_scratch(sys, t->cx);  // the array of every column
  free_memory(sys, t);
}

rect_columns *columns_of_rectangles(sys_con *sys, const rect_element *rects, int n) {
  rect_columns *t = new_columns(sys, n, 1);
  t->first[0] = 0;
  t->first[1] = n;
  for (int k = 0; k < n; k++) set_row(t, k, rects + k, 1.0);
  return t;
}

void free_aperture_columns(sys_con *sys, aperture_columns *columns) {
  if (columns == nullptr) return;
  free_rect_columns(sys, columns->all);
  free_rect_columns(sys, columns->mirrored);
  free_timing_columns(sys, columns->timings);
  free_memory(sys, columns);
}

const aperture_columns *block_columns(sys_con *sys, calc_memory_block *block, const aperture *ap) {
  for (aperture_columns *&slot : block->rect_columns) {
    if (slot == nullptr)
      slot = make_aperture_columns(sys, ap, block->batch_capacity, block->no_mirrors == 0);
    if (slot->ap == ap) return slot;
  }
  // A third aperture on one block takes the second slot's place.
  aperture_columns *&last = block->rect_columns[1];
  free_aperture_columns(sys, last);
  last = make_aperture_columns(sys, ap, block->batch_capacity, block->no_mirrors == 0);
  return last;
}

void free_block_columns(sys_con *sys, calc_memory_block *block) {
  for (aperture_columns *&slot : block->rect_columns) {
    free_aperture_columns(sys, slot);
    slot = nullptr;
  }
}

}  // namespace sonvar

// rect_mirrors.cpp - the rectangles of an aperture that mirror each other in
// the plane y = 0.
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
#include <vector>

#include "dispatch/scratch_block.h"
#include "field/rect_mirrors.h"
#include "general/memory.h"

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

// Marks the mirrored pairs of one element: partner[k] is the index of k's
// image, or -1.
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

rect_mirrors *find_mirrors(sys_con *sys, const aperture *ap) {
  auto *mirrors = alloc_array<rect_mirrors>(sys, 1, "the mirrored rectangles");
  mirrors->ap = ap;
  long long total = 0;
  for (int i = 0; i < ap->no_elements; i++) total += ap->elements[i].no_rectangles;
  mirrors->first = alloc_array<int32_t>(sys, ap->no_elements + 1, "the mirrored rectangles");
  mirrors->kept = alloc_array<int32_t>(sys, std::max(total, 1LL), "the mirrored rectangles");
  mirrors->factors = alloc_array<double>(sys, std::max(total, 1LL), "the mirrored rectangles");
  allocating(sys, "the mirrored rectangles", [&] {
    std::vector<Candidate> candidates;
    std::vector<int> partner;
    int entry = 0;
    for (int i = 0; i < ap->no_elements; i++) {
      mirrors->first[i] = entry;
      const physical_element &element = ap->elements[i];
      mirrors->pairs += pair_element(element, &candidates, &partner);
      for (int k = 0; k < element.no_rectangles; k++) {
        if (partner[k] >= 0 && partner[k] < k) continue;  // its image stands for it
        mirrors->kept[entry] = k;
        mirrors->factors[entry] = partner[k] >= 0 ? 2.0 : 1.0;
        entry++;
      }
    }
    mirrors->first[ap->no_elements] = entry;
  });
  return mirrors;
}

void free_mirrors(sys_con *sys, rect_mirrors *mirrors) {
  if (mirrors == nullptr) return;
  free_memory(sys, mirrors->first);
  free_memory(sys, mirrors->kept);
  free_memory(sys, mirrors->factors);
  free_memory(sys, mirrors);
}

}  // namespace

const rect_mirrors *block_mirrors(sys_con *sys, calc_memory_block *block, const aperture *ap) {
  for (rect_mirrors *&slot : block->mirrors) {
    if (slot == nullptr) slot = find_mirrors(sys, ap);
    if (slot->ap == ap) return slot;
  }
  return nullptr;
}

void free_block_mirrors(sys_con *sys, calc_memory_block *block) {
  for (rect_mirrors *&slot : block->mirrors) {
    free_mirrors(sys, slot);
    slot = nullptr;
  }
}

}  // namespace sonvar

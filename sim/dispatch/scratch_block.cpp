// scratch_block.cpp - the per-calculation scratch block: sized from the
// apertures, with the working arrays and signals of the rectangle, triangle
// and line-bounded responses.
#include <algorithm>
#include <iterator>

#include "dispatch/scratch_block.h"
#include "field/rect_columns.h"
#include "field/rect_response.h"
#include "general/memory.h"
#include "lines/lines.h"
#include "state/host.h"
#include "triangles/triangles.h"

namespace sonvar {

namespace {

// Length of a fresh working signal; the calculations grow it when needed.
constexpr int kWorkingSamples = 1000;

struct ElementCounts {
  int rectangles = 0;        // most rectangles in one physical element
  int triangles = 0;         // most triangles in one physical element
  int lines = 0;             // most bounding lines of one line element
  int arrival_times = 0;     // most arrival times of one line element
  int physical = 0;          // physical elements
  int total_rectangles = 0;  // most rectangles of one aperture
};

void scan_aperture(const aperture *ap, ElementCounts *counts) {
  counts->physical = std::max(counts->physical, ap->no_elements);
  long long total = 0;
  for (int i = 0; i < ap->no_elements; i++) {
    const physical_element &element = ap->elements[i];
    total += element.no_rectangles;
    counts->rectangles = std::max(counts->rectangles, element.no_rectangles);
    counts->triangles = std::max(counts->triangles, element.no_triangles);
    for (int k = 0; k < element.no_line_elements; k++) {
      const line_element &line = element.line_elements[k];
      counts->lines = std::max(counts->lines, line.no_lines);
      // Corners, feet of perpendiculars and the projection point.
      counts->arrival_times =
          std::max(counts->arrival_times, line.no_crossings + line.no_lines + 1);
    }
  }
  counts->total_rectangles =
      static_cast<int>(std::max<long long>(counts->total_rectangles, std::min(total, 1LL << 30)));
}

// Rectangle records of one batch: enough for whole elements of a typical
// array at once (a 128-element array cut 1 x 10), never fewer than the
// largest element holds.
constexpr int kBatchRecords = 2048;

void take_signals(sys_con *sys, signal_rec **slots, int first, int count) {
  for (int k = first; k < count; k++)
    if (slots[k] == nullptr) slots[k] = alloc_signal(sys, kWorkingSamples, 0);
}

line_solution *new_line_scratch(sys_con *sys, int max_lines, int arrival_times) {
  const int n = 2 * max_lines + 1;
  auto *scratch = alloc_array<line_solution>(sys, 1, "line scratch record");
  scratch->times =
      alloc_array<double>(sys, std::max(n, arrival_times), "line scratch arrival times");
  scratch->angles = alloc_array<double>(sys, n, "line scratch angles");
  scratch->angle_index = alloc_array<int>(sys, n, "line scratch angle indices");
  scratch->crossings_of_circle =
      alloc_array<circle_crossing *>(sys, n, "line scratch crossing list");
  for (int k = 0; k < n; k++)
    scratch->crossings_of_circle[k] =
        alloc_array<circle_crossing>(sys, 1, "line scratch crossing record");
  return scratch;
}

void free_line_scratch(sys_con *sys, line_solution *scratch, int max_lines) {
  if (scratch == nullptr) return;
  const int n = 2 * max_lines + 1;
  for (int k = 0; k < n; k++) free_memory(sys, scratch->crossings_of_circle[k]);
  free_memory(sys, scratch->crossings_of_circle);
  free_memory(sys, scratch->angle_index);
  free_memory(sys, scratch->angles);
  free_memory(sys, scratch->times);
  free_memory(sys, scratch);
}

}  // namespace

calc_memory_block *pre_allocate_memory(sys_con *sys, aperture *ap1, aperture *ap2) try {
  SONVAR_ENTER(sys);
  ElementCounts counts;
  scan_aperture(ap1, &counts);
  if (ap2 != ap1) scan_aperture(ap2, &counts);

  auto *block = alloc_array<calc_memory_block>(sys, 1, "calculation scratch block");
  block->max_rectangles = counts.rectangles;
  block->max_lines = counts.lines;
  block->max_triangles = counts.triangles;
  block->single_element = 0;
  block->no_delay = 0;
  block->delays_current = 0;
  block->kept_count = 0;
  if (counts.rectangles > 0) {
    // Room for the rectangles of several elements at once (element_timings).
    const int records =
        std::max(counts.rectangles, std::min(counts.total_rectangles, kBatchRecords));
    block->batch_capacity = records;
    block->batch_rows = alloc_array<int32_t>(sys, records, "rectangle batch rows");
    block->batch_delays = alloc_array<double>(sys, records, "rectangle batch delays");
    take_signals(sys, block->rect_signals, 0, 3);
    block->batch_offsets =
        alloc_array<int32_t>(sys, std::max(counts.physical, 1), "rectangle batch offsets");
    block->batch_list =
        alloc_array<int32_t>(sys, std::max(counts.physical, 1), "rectangle batch list");
    block->batch_counts =
        alloc_array<int32_t>(sys, std::max(counts.physical, 1), "rectangle batch counts");
    block->batch_windows =
        alloc_array<double>(sys, 2 * std::max(counts.physical, 1), "rectangle batch windows");
  }
  if (counts.lines > 0) {
    take_signals(sys, block->rect_signals, 1, 3);
    block->line_scratch = new_line_scratch(sys, counts.lines, counts.arrival_times);
  }
  if (counts.triangles > 0) {
    take_signals(sys, block->tri_signals, 0, 3);
    block->tri_times = alloc_array<triangle_times>(sys, 1, "triangle timing record");
    block->tri_corners = alloc_array<point3>(sys, 3, "triangle corner buffer");
  }
  const int n = std::max(counts.physical, 1);
  block->delays = alloc_array<double>(sys, n, "element delays");
  block->element_order = alloc_array<int32_t>(sys, n, "element order");
  block->apodizations = alloc_array<double>(sys, n, "element apodizations");
  return block;
}
SONVAR_LEAVE(sys)

void free_memory_block(sys_con *sys, calc_memory_block *block) {
  if (block == nullptr) return;
  free_memory(sys, block->batch_rows);
  free_memory(sys, block->batch_delays);
  free_memory(sys, block->batch_offsets);
  free_memory(sys, block->batch_list);
  free_memory(sys, block->batch_counts);
  free_memory(sys, block->batch_windows);
  free_block_columns(sys, block);
  free_line_scratch(sys, block->line_scratch, block->max_lines);
  free_memory(sys, block->tri_times);
  free_memory(sys, block->tri_corners);
  free_memory(sys, block->delays);
  free_memory(sys, block->element_order);
  free_memory(sys, block->apodizations);
  // Each slot holds its own signal (the line response shares the second and
  // third rectangle slots rather than taking signals of its own), so every
  // signal goes back exactly once.
  for (signal_rec *&slot : block->rect_signals)
    if (slot != nullptr) free_signal(sys, slot), slot = nullptr;
  while (block->kept_count > 0) free_signal(sys, block->kept[--block->kept_count]);
  for (signal_rec *&slot : block->tri_signals)
    if (slot != nullptr) free_signal(sys, slot), slot = nullptr;
  free_memory(sys, block);
}

void keep_response(sys_con *sys, calc_memory_block *block, signal_rec *signal) {
  if (signal == nullptr) return;
  if (block->kept_count < static_cast<int>(std::size(block->kept)))
    block->kept[block->kept_count++] = signal;
  else
    free_signal(sys, signal);
}

signal_rec *take_kept_response(sys_con *sys, calc_memory_block *block, int n, int start) {
  if (block->kept_count == 0) return nullptr;
  signal_rec *signal = block->kept[--block->kept_count];
  extend_signal(sys, signal, n, start);
  return signal;
}

}  // namespace sonvar

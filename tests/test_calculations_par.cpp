// Calculation scratch block (and the parallel dispatcher).
#include <gtest/gtest.h>

#include "hand_aperture.h"
#include "sonvar.h"
#include "test_util.h"

// ===========================================================================
// Calculation scratch block
// ===========================================================================

namespace {

using sonvar_test::HandElement;

class CalculationsParTest : public ::testing::Test {
 protected:
  void SetUp() override { sys = sonvar_test::quiet_state(); }
  void TearDown() override { sonvar_test::release_state(sys); }

  // Signals handed out and not yet returned: those created minus those on
  // the free list.
  int signals_out() {
    int free_count = 0;
    for (signal_rec *s = sys->free_signals; s != nullptr; s = s->next) free_count++;
    return sys->next_signal_number - free_count;
  }

  static std::vector<HandElement> rectangles(int elements, int per_element) {
    std::vector<HandElement> out(elements);
    for (auto &e : out) e.rectangles.resize(per_element, rect_element{});
    return out;
  }
  static std::vector<HandElement> triangles(int elements, int per_element) {
    std::vector<HandElement> out(elements);
    for (auto &e : out) e.triangles.resize(per_element, tri_element{});
    return out;
  }

  sys_con *sys = nullptr;
};

TEST_F(CalculationsParTest, RectangleApertureTakesThreeWorkingSignals) {
  auto elements = rectangles(3, 2);
  elements[1].rectangles.resize(5, rect_element{});
  aperture *ap = sonvar_test::hand_aperture(sys, elements);
  calc_memory_block *block = pre_allocate_memory(sys, ap, ap);
  EXPECT_EQ(block->max_rectangles, 5);
  EXPECT_EQ(block->max_triangles, 0);
  EXPECT_EQ(block->max_lines, 0);
  EXPECT_EQ(block->single_element, 0);
  EXPECT_EQ(block->no_delay, 0);
  EXPECT_EQ(signals_out(), 3);
  for (signal_rec *s : block->rect_signals) {
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->no_samples, 1000);
    EXPECT_EQ(s->start_sample, 0);
  }
  for (signal_rec *s : block->tri_signals) EXPECT_EQ(s, nullptr);
  EXPECT_EQ(block->tri_times, nullptr);
  EXPECT_EQ(block->line_scratch, nullptr);
  // The records cover the largest element.
  block->unit_vectors[4].t0 = 1.0;
  block->timings[4].t4 = 1.0;
  for (int i = 0; i < 3; i++) block->delays[i] = block->apodizations[i] = i;
  free_memory_block(sys, block);
  EXPECT_EQ(signals_out(), 0);
  sonvar_test::free_hand_aperture(sys, ap);
}

TEST_F(CalculationsParTest, TriangleApertureTakesTriangleScratchOnly) {
  aperture *ap = sonvar_test::hand_aperture(sys, triangles(2, 8));
  calc_memory_block *block = pre_allocate_memory(sys, ap, ap);
  EXPECT_EQ(block->max_rectangles, 0);
  EXPECT_EQ(block->max_triangles, 8);
  EXPECT_EQ(block->max_lines, 0);
  EXPECT_EQ(signals_out(), 3);
  for (signal_rec *s : block->rect_signals) EXPECT_EQ(s, nullptr);
  for (signal_rec *s : block->tri_signals) {
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->no_samples, 1000);
  }
  ASSERT_NE(block->tri_times, nullptr);
  ASSERT_NE(block->tri_corners, nullptr);
  block->tri_corners[2].z = 1.0;
  EXPECT_EQ(block->unit_vectors, nullptr);
  free_memory_block(sys, block);
  EXPECT_EQ(signals_out(), 0);
  sonvar_test::free_hand_aperture(sys, ap);
}

TEST_F(CalculationsParTest, TwoAperturesAreCoveredByTheLarger) {
  aperture *small = sonvar_test::hand_aperture(sys, rectangles(2, 3));
  aperture *large = sonvar_test::hand_aperture(sys, triangles(7, 4));
  calc_memory_block *block = pre_allocate_memory(sys, small, large);
  EXPECT_EQ(block->max_rectangles, 3);
  EXPECT_EQ(block->max_triangles, 4);
  EXPECT_EQ(signals_out(), 6);
  for (int i = 0; i < 7; i++) {  // the per-element arrays hold 7 entries
    block->delays[i] = 1.0;
    block->apodizations[i] = 1.0;
    block->element_order[i] = i;
  }
  free_memory_block(sys, block);
  EXPECT_EQ(signals_out(), 0);
  sonvar_test::free_hand_aperture(sys, small);
  sonvar_test::free_hand_aperture(sys, large);
}

TEST_F(CalculationsParTest, LineScratchSharesTheRectangleSignals) {
  bounding_line lines[4] = {};
  line_element line{};
  line.lines = lines;
  line.no_lines = 4;
  line.no_crossings = 6;
  std::vector<HandElement> elements = rectangles(1, 2);
  elements.push_back(HandElement{});
  elements[1].lines.push_back(line);
  aperture *ap = sonvar_test::hand_aperture(sys, elements);
  calc_memory_block *block = pre_allocate_memory(sys, ap, ap);
  EXPECT_EQ(block->max_lines, 4);
  EXPECT_EQ(signals_out(), 3);  // the lines use the second and third
  ASSERT_NE(block->line_scratch, nullptr);
  line_solution *scratch = block->line_scratch;
  for (int k = 0; k < 9; k++) {  // 2 * 4 + 1 entries, each with its record
    scratch->angles[k] = 1.0;
    scratch->angle_index[k] = k;
    ASSERT_NE(scratch->crossings_of_circle[k], nullptr);
    EXPECT_EQ(scratch->crossings_of_circle[k]->include_forward, 0);
    EXPECT_EQ(scratch->crossings_of_circle[k]->a4, 0.0);
  }
  for (int k = 0; k < 11; k++) scratch->times[k] = 1.0;  // crossings + lines + 1
  free_memory_block(sys, block);
  EXPECT_EQ(signals_out(), 0);
  // Lines alone still take the second and third working signals.
  aperture *lines_only = sonvar_test::hand_aperture(sys, {elements[1]});
  block = pre_allocate_memory(sys, lines_only, lines_only);
  EXPECT_EQ(signals_out(), 2);
  EXPECT_EQ(block->rect_signals[0], nullptr);
  free_memory_block(sys, block);
  EXPECT_EQ(signals_out(), 0);
  sonvar_test::free_hand_aperture(sys, lines_only);
  sonvar_test::free_hand_aperture(sys, ap);
}

}  // namespace

// ===========================================================================
// End of calculation scratch block
// ===========================================================================

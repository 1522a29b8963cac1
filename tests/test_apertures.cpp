// Tests of apertures: element geometry, conversions, time lines, element
// settings, ownership and the free-form constructors.
#include <unistd.h>

#include <thread>

#include "apertures/geometry.h"
#include "apertures/time_lines.h"
#include "base/points.h"
#include "lines/lines.h"
#include "support/test_util.h"

using namespace sonvar;  // the library internals under test

using sonvar_test::capture_stdout;
using sonvar_test::expect_signal_near;

namespace {

// Geometry built from a few operations is exact up to rounding (metres).
constexpr double kExact = 1e-15;
constexpr double kC = 1540.0;  // speed of sound of the default state, m/s
const point3 kFocus{0, 0, 0.02};

// A column-major table from rows given in reading order.
std::vector<double> column_major(const std::vector<std::vector<double>> &rows) {
  std::vector<double> table(rows.size() * rows[0].size());
  for (size_t r = 0; r < rows.size(); r++)
    for (size_t k = 0; k < rows[r].size(); k++) table[r + k * rows.size()] = rows[r][k];
  return table;
}

// A rectangle-table row for a flat w x h rectangle with lower corner (x0, y0);
// the width and height columns hold deliberately wrong values.
std::vector<double> flat_row(double element, double x0, double y0, double w, double h,
                             double apod = 1.0) {
  return {element, x0, y0, 0,    x0, y0 + h, 0,          x0 + w,     y0 + h, 0,
          x0 + w,  y0, 0,  apod, 9,  9,      x0 + w / 2, y0 + h / 2, 0};
}

double dist(point3 a, point3 b) {
  return std::hypot(a.x - b.x, a.y - b.y, a.z - b.z);
}

void expect_point(point3 got, point3 want, double tolerance) {
  EXPECT_LE(dist(got, want), tolerance) << got.x << ", " << got.y << ", " << got.z;
}

void set_corners(rect_element &r, point3 c1, point3 c2, point3 c3, point3 c4) {
  r.corners[0] = c1;
  r.corners[1] = c2;
  r.corners[2] = c3;
  r.corners[3] = c4;
}

}  // namespace

class TransducersTest : public ::testing::Test {
 protected:
  void SetUp() override { sys = sonvar_test::quiet_state(); }
  void TearDown() override { sonvar_test::release_state(sys); }

  // Three physical elements of one 1 x 2 mm rectangle each, centred at
  // x = -2, 0, 3 mm.
  aperture *three_elements() {
    const std::vector<double> xs = {-2e-3, 0.0, 3e-3};
    std::vector<std::vector<double>> rows;
    for (int i = 0; i < 3; i++) rows.push_back(flat_row(i + 1, xs[i] - 0.5e-3, -1e-3, 1e-3, 2e-3));
    const std::vector<double> table = column_major(rows);
    const std::vector<double> centers = column_major({{xs[0], 0, 0}, {xs[1], 0, 0}, {xs[2], 0, 0}});
    return xdc_rectangles(sys, table.data(), 3, centers.data(), point3{0, 0, 0.05});
  }

  sys_con *sys = nullptr;
};

TEST_F(TransducersTest, CornerGeneratorsPutEveryCornerOnItsSurface) {
  rect_element r{};
  insert_corners(&r, &r.center, 1.0, 2.0, 0.5, 0.25);
  expect_point(r.corners[2], point3{1.5, 2.25, 0}, 0.0);
  expect_point(r.center, point3{1.25, 2.125, 0}, 0.0);

  const double F = 0.04;
  insert_concave_corners(&r, &r.center, 3e-3, -2e-3, 1e-3, F);
  EXPECT_NEAR(r.corners[2].y, -1.5e-3, kExact);
  for (point3 p : {r.corners[0], r.corners[1], r.corners[2], r.corners[3], r.center})
    EXPECT_NEAR(dist(p, point3{0, 0, F}), F, kExact);

  const double Rf = 0.02, H = 4e-3, z0 = Rf * std::cos(std::asin(H / (2 * Rf)));
  insert_corners_focused(&r, &r.center, 0.0, -H / 2, 1e-3, H, Rf, z0);
  EXPECT_NEAR(r.corners[0].z + r.corners[2].z, 0.0, kExact);  // edges in the plane z = 0
  EXPECT_NEAR(r.center.z, z0 - Rf, kExact);

  const double Rc = 0.05;
  insert_corners_convex(&r, &r.center, -1e-3, 2e-3, Rc, 0.1, 0.02);
  for (point3 p : {r.corners[0], r.corners[1], r.corners[2], r.corners[3], r.center})
    EXPECT_NEAR(std::hypot(p.x, p.z + Rc), Rc, kExact);
  EXPECT_NEAR(std::atan2(r.corners[3].x, r.corners[3].z + Rc), 0.12, 1e-12);
  EXPECT_EQ(r.corners[1].y, 1e-3);

  insert_corners_convex_focused(&r, &r.center, -H / 2, H, Rc, Rf, z0, -0.1, 0.02);
  for (point3 p : {r.corners[0], r.corners[1], r.corners[2], r.corners[3], r.center}) {
    const double radius = Rc - (std::sqrt(Rf * Rf - p.y * p.y) - z0);
    EXPECT_NEAR(std::hypot(p.x, p.z + Rc), radius, kExact);
  }
  EXPECT_NEAR(r.corners[0].z + Rc, Rc * std::cos(0.1), kExact);  // edges on the convex face
}

TEST_F(TransducersTest, CalculateVectorsOnFlatTiltedDoublyTiltedAndTurnedRectangles) {
  rect_element r{};
  insert_corners(&r, &r.center, 0.0, 0.0, 2e-3, 3e-3);
  EXPECT_EQ(capture_stdout([&] { calculate_vectors(&r); }), "");
  EXPECT_NEAR(r.width + r.height, 5e-3, kExact);
  EXPECT_TRUE(r.tan_xz == 0.0 && std::signbit(r.tan_xz));  // 0 over a negative difference
  EXPECT_EQ(r.cos_xz + r.cos_yz + r.sin_xz + r.sin_yz, 2.0);
  EXPECT_EQ(r.doubly_tilted, 0);

  insert_corners_convex(&r, &r.center, 0.0, 1e-3, 0.05, 0.2, 0.01);
  calculate_vectors(&r);
  const double chord = 2 * 0.05 * std::sin(0.005);
  EXPECT_NEAR(r.width, chord, 1e-15);
  EXPECT_NEAR(r.tan_xz, -std::tan(0.205), 1e-12);  // chord slope: the face falls away from the axis
  EXPECT_EQ(r.doubly_tilted, 0);

  insert_concave_corners(&r, &r.center, 3e-3, 4e-3, 0.5e-3, 0.03);
  calculate_vectors(&r);
  EXPECT_EQ(r.doubly_tilted, 1);
  EXPECT_NEAR(r.cos_xz, 1 / std::sqrt(1 + sqr(r.tan_xz)), 1e-15);

  // Turned: corners 1 and 4 share x, so the first side runs to corner 2.
  set_corners(r, {0, 0, 0}, {2e-3, 0, 1e-3}, {2e-3, 3e-3, 1e-3}, {0, 3e-3, 0});
  calculate_vectors(&r);
  EXPECT_NEAR(r.width, std::sqrt(5e-6), kExact);
  EXPECT_NEAR(r.height, 3e-3, kExact);
  EXPECT_NEAR(r.tan_xz, 0.5, 1e-14);
}

TEST_F(TransducersTest, SteepTangentPrintsLabelAndDiagnosticButTenExactlyDoesNot) {
  rect_element r{};
  set_corners(r, {0, 0, 0}, {0, 1, 0}, {0.5, 1, -5}, {0.5, 0, -5});
  EXPECT_EQ(capture_stdout([&] { calculate_vectors(&r); }), "");
  EXPECT_EQ(r.tan_xz, -10.0);
  set_corners(r, {0, 0, 0}, {0, 1e-3, 0}, {1e-3, 1e-3, -0.011}, {1e-3, 0, -0.011});
  EXPECT_EQ(capture_stdout([&] { calculate_vectors(&r); }),
            "case 1\n"
            "Warning: Excessively large value for tan_xz or tan_yz\n"
            "Values are: tan_xz = -11.000000,  tan_yz =  -0.000000 \n"
            "Difference: dx = -1.000000e-03, dy = -1.000000e-03, dz = 0.000000e+00 \n"
            "Corner points are:   0.000000,   0.000000,   0.000000 \n"
            "Corner points are:   0.000000,   0.001000,   0.000000 \n"
            "Corner points are:   0.001000,   0.001000,  -0.011000 \n"
            "Corner points are:   0.001000,   0.000000,  -0.011000 \n"
            "Check one:   0.000000,   0.000000, 1 \n"
            "Check two:   0.000000,   0.000000, 1 \n");
  EXPECT_NEAR(r.tan_xz, -11.0, 1e-12);  // the warning changes nothing
}

TEST_F(TransducersTest, RectangleTableIsColumnMajorAndCornersDecideTheSizes) {
  // Two distinct rows: a transposed reading would mix their columns.
  const std::vector<double> table =
      column_major({flat_row(1, 0, 0, 1e-3, 2e-3, 0.5), flat_row(2, 5e-3, 1e-3, 3e-3, 4e-3, 0.25)});
  const std::vector<double> centers = column_major({{0.5e-3, 1e-3, 0}, {6.5e-3, 3e-3, 0}});
  aperture *ap = xdc_rectangles(sys, table.data(), 2, centers.data(), point3{0, 0, 0.04});
  EXPECT_STREQ(ap->name, "User defined rectangles transducer");
  ASSERT_EQ(ap->no_elements, 2);
  const rect_element &second = ap->elements[1].rectangles[0];
  expect_point(second.corners[2], point3{8e-3, 5e-3, 0}, 0.0);
  EXPECT_EQ(second.apodization, 0.25);
  EXPECT_NEAR(second.width, 3e-3, kExact);  // not the table's 9
  EXPECT_NEAR(second.height, 4e-3, kExact);
  expect_point(ap->elements[1].center, point3{6.5e-3, 3e-3, 0}, 0.0);
  EXPECT_EQ(ap->impulse_response->values[0] + ap->excitation->values[0], 2.0);
  EXPECT_EQ(ap->fixed_focus + ap->fixed_apodization, 2);
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, ConvertSplitsEachRectangleIntoTwoTrianglesAfterExistingOnes) {
  aperture *ap = three_elements();
  ap->elements[1].rectangles[0].apodization = 0.7;
  // Element 2 also holds one triangle already; the new ones go after it.
  tri_element *old = static_cast<tri_element *>(alloc_memory(sys, 1, sizeof(tri_element)));
  old->apodization = 0.3;
  ap->elements[1].triangles = old;
  ap->elements[1].no_triangles = 1;
  const rect_element rect = ap->elements[1].rectangles[0];
  EXPECT_EQ(xdc_convert(sys, ap), ap);
  EXPECT_EQ(ap->uses_rectangles * 10 + ap->uses_triangles, 1);
  const physical_element &e = ap->elements[1];
  EXPECT_TRUE(e.no_rectangles == 0 && e.rectangles == nullptr);
  ASSERT_EQ(e.no_triangles, 3);
  EXPECT_EQ(e.triangles[0].apodization, 0.3);
  EXPECT_EQ(e.triangles[1].corners[1].y, rect.corners[1].y);  // (c1, c2, c3)
  EXPECT_EQ(e.triangles[2].corners[1].x, rect.corners[3].x);  // (c1, c4, c3)
  EXPECT_EQ(e.triangles[2].corners[2].y, rect.corners[2].y);
  EXPECT_EQ(e.triangles[2].apodization, 0.7);
  EXPECT_EQ(ap->elements[2].no_triangles, 2);
  // On a converted aperture element delays land on the triangles.
  const int number = 3;
  std::vector<double> delays = {1e-6, 2e-6};
  double *values[] = {delays.data()};
  ele_delay(ap, 1, &number, 2, values);
  EXPECT_EQ(ap->elements[2].triangles[1].delay, 2e-6);
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, LineConversionYieldsTheFourCornersInFindingOrder) {
  aperture *ap = three_elements();
  const rect_element rect = ap->elements[2].rectangles[0];
  std::string out = capture_stdout([&] { xdc_line_convert(sys, ap); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(ap->uses_lines * 10 + ap->uses_rectangles, 10);
  const physical_element &e = ap->elements[2];
  ASSERT_EQ(e.no_line_elements, 1);
  const line_element &le = e.line_elements[0];
  ASSERT_EQ(le.no_crossings, 4);
  const int order[] = {1, 0, 2, 3};  // corners 2, 1, 3, 4
  for (int k = 0; k < 4; k++) expect_point(le.crossings[k], rect.corners[order[k]], kExact);
  EXPECT_EQ(le.lines[0].vertical + le.lines[1].vertical, 1);
  EXPECT_TRUE(le.zc == 0.0 && le.cos_x == 1.0 && le.cos_y == 1.0);
  // Within 1e-8 m of a line counts as inside on both sides; beyond does not.
  const double right = rect.corners[2].x, mid_y = 0.0;
  EXPECT_EQ(inside_boundary(&le, right + 0.9e-8, mid_y), 1);
  EXPECT_EQ(inside_boundary(&le, right - 0.9e-8, mid_y), 1);
  EXPECT_EQ(inside_boundary(&le, right + 2e-8, mid_y), 0);
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, LevellingTiltedAndTurnedRectangles) {
  // A rectangle of an elevation-focused array, tilted in y-z only.
  rect_element r{};
  const double Rf = 0.02, z0 = Rf * std::cos(std::asin(0.1));
  insert_corners_focused(&r, &r.center, -1e-3, 1e-3, 2e-3, 1e-3, Rf, z0);
  const double side = dist(r.corners[0], r.corners[1]);
  line_element le{};
  project_rectangle(&r, &le);
  for (int k = 1; k < 4; k++) EXPECT_NEAR(r.corners[k].z, le.zc, 1e-15) << k;
  EXPECT_NEAR(dist(r.corners[0], r.corners[1]), side, 1e-15);  // a rotation keeps lengths
  EXPECT_TRUE(le.cos_x == 1.0 && le.cos_y < 1.0);

  // Turned so that x4 = x1: the first rotation works from corner 2.
  set_corners(r, {0, 0, 0}, {3e-3, 0, 4e-3}, {3e-3, 1e-3, 4e-3}, {0, 1e-3, 0});
  r.center = {1.5e-3, 0.5e-3, 2e-3};
  project_rectangle(&r, &le);
  EXPECT_NEAR(le.cos_x, 0.6, 1e-15);
  EXPECT_NEAR(le.sin_x, -0.8, 1e-15);
  for (int k = 1; k < 4; k++) EXPECT_NEAR(r.corners[k].z, 0.0, 1e-15) << k;
}

TEST_F(TransducersTest, IntersectionsSkipParallelLinesAndWarnBelowFourCrossings) {
  // A triangle: x >= 0, y >= 0, y <= 1 - x. Lines 0 and 1 never cross a
  // parallel partner; all three corners are found.
  bounding_line lines[3] = {};
  line_element le{};
  le.lines = lines;
  le.no_lines = 3;
  insert_element(&le, 0, point3{0, 0, 0}, point3{0, 1, 0}, point3{0.2, 0.2, 0});
  insert_element(&le, 1, point3{0, 0, 0}, point3{1, 0, 0}, point3{0.2, 0.2, 0});
  insert_element(&le, 2, point3{1, 0, 0}, point3{0, 1, 0}, point3{0.2, 0.2, 0});
  EXPECT_EQ(capture_stdout([&] { intersections(sys, &le); }),
            "Internal error. Number of crossings is 3 and less than 4. Press RETURN: ");
  ASSERT_EQ(le.no_crossings, 3);
  EXPECT_EQ(le.crossings[1].y, 1.0);
  free_memory(sys, le.crossings);
  le.crossings = nullptr;
  // Two parallel vertical lines: no crossing at all.
  insert_element(&le, 1, point3{0.5, 0, 0}, point3{0.5, 1, 0}, point3{0.2, 0.2, 0});
  EXPECT_TRUE(lines[1].vertical == 1 && lines[1].slope == 1e60 && lines[1].above_or_left == 1);
  le.no_lines = 2;
  capture_stdout([&] { intersections(sys, &le); });
  EXPECT_TRUE(le.no_crossings == 0 && le.crossings == nullptr);
  insert_element(&le, 0, point3{0, 0, 0}, point3{1, 1, 0}, point3{0, 1, 0});
  EXPECT_TRUE(lines[0].slope == 1.0 && lines[0].y1 == 0.0 && lines[0].slope_factor == 2.0);
  EXPECT_TRUE(lines[0].above_or_left == 1 && lines[0].vertical == 0);
}

TEST_F(TransducersTest, TimeLinesKeepTheFirstEntryFirstAndTiesGoBefore) {
  aperture *ap = three_elements();
  auto times_of = [&] {
    std::vector<double> t;
    for (focus_entry *e = ap->focus_line; e != nullptr; e = e->next) t.push_back(e->time * 1e6);
    return t;
  };
  const point3 p[3] = {{0, 0, 0.01}, {0, 0, 0.02}, {0, 0, 0.03}};
  const double a[] = {0, 20e-6, 10e-6}, b[] = {5e-6, 1e-6, 3e-6}, c[] = {0, 2e-6, 2e-6};
  xdc_focus(sys, ap, 3, a, p);
  EXPECT_EQ(times_of(), (std::vector<double>{0, 10, 20}));
  EXPECT_EQ(ap->fixed_focus, 0);
  xdc_focus(sys, ap, 3, b, p);
  EXPECT_EQ(times_of(), (std::vector<double>{5, 1, 3}));
  xdc_focus(sys, ap, 3, c, p);  // the second 2 us entry (z = 30 mm) goes first
  EXPECT_EQ(ap->focus_line->next->point.z, 0.03);
  xdc_focus(sys, ap, 2, c + 1, p);  // the first entry stays first
  EXPECT_EQ(ap->focus_line->point.z, 0.01);
  xdc_focus(sys, ap, 1, a, p);
  EXPECT_EQ(ap->fixed_focus, 1);
  xdc_dynamic_focus(sys, ap, 0.0, 0.1, 0.2);
  EXPECT_TRUE(ap->fixed_focus == 0 && ap->focus_line->dynamic == 1);
  xdc_focus(sys, ap, 0, nullptr, nullptr);  // an empty line is accepted
  EXPECT_EQ(ap->focus_line, nullptr);
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, StaticDelaysFollowGeometryReferenceAndSpeedOfSound) {
  aperture *ap = three_elements();
  const double z = 0.05;
  auto expected = [&](double x, double zr, double c) {
    return (std::fabs(z - zr) - std::hypot(x, z)) / c;
  };
  const double xs[] = {-2e-3, 0.0, 3e-3};
  for (int i = 0; i < 3; i++)
    EXPECT_NEAR(ap->focus_line->delays[i], expected(xs[i], 0, kC), 1e-18) << i;
  EXPECT_EQ(ap->focus_line->delays[1], 0.0);
  set_sonvar(sys, "c", 1480.0);
  xdc_center_focus(sys, ap, point3{0, 0, 0.01});
  const double t0 = 0;
  const point3 focus{0, 0, z};
  xdc_focus(sys, ap, 1, &t0, &focus);
  for (int i = 0; i < 3; i++)
    EXPECT_NEAR(ap->focus_line->delays[i], expected(xs[i], 0.01, 1480.0), 1e-18) << i;
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, QuantizationRoundsHalvesUpAndIgnoresNonPositiveSteps) {
  const double q = std::ldexp(1.0, -23);  // ~119 ns, exact in binary
  std::vector<double> v = {0, 0, 0, 0};
  subtract_delay(4, v.data(), 1, q, 0.0);
  for (double x : v) EXPECT_EQ(x, 0.0);
  const double reference = 0.5 * q;
  std::vector<double> arrivals = {reference - 0.49 * q, reference - 0.5 * q, reference + 0.5 * q,
                                  reference - 2.5 * q};
  subtract_delay(4, arrivals.data(), 1, q, reference);
  EXPECT_EQ(arrivals, (std::vector<double>{0.0, q, 0.0, 3 * q}));  // 0.49q, 0.5q, -0.5q, 2.5q
  std::vector<double> plain = {1e-7};
  subtract_delay(1, plain.data(), 1, 0.0, 3e-7);
  EXPECT_NEAR(plain[0], 2e-7, 1e-22);
  subtract_delay(1, plain.data(), 0, q, 3e-7);
  EXPECT_NEAR(plain[0], 1e-7, 1e-22);
  // Static entries inserted while quantization is on are quantized.
  aperture *ap = three_elements();
  ap->quantize_delays = 1;
  ap->quantization = 50e-9;
  const double t0 = 0;
  const point3 focus{0, 0, 0.05};
  xdc_focus(sys, ap, 1, &t0, &focus);
  const double d = (0.05 - std::hypot(3e-3, 0.05)) / kC;
  EXPECT_NEAR(ap->focus_line->delays[2], std::floor(d / 50e-9 + 0.5) * 50e-9, 1e-20);
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, ElementCallsReportBadNumbersAndShortValueLists) {
  aperture *ap = three_elements();
  std::vector<double> five = {0.1, 0.2, 0.3, 0.4, 0.5};
  double *values[] = {five.data(), five.data(), five.data()};
  const int bad[] = {0, 4, 2};
  EXPECT_EQ(capture_stdout([&] { ele_apodization(ap, 3, bad, 5, values); }),
            "Sonvar error: Illegal element number when setting mathematical element apodization\n"
            "Sonvar error: Illegal element number when setting mathematical element apodization\n");
  EXPECT_EQ(ap->elements[1].rectangles[0].apodization, 0.1);
  EXPECT_EQ(capture_stdout([&] { ele_delay(ap, 3, bad, 5, values); }),
            "Sonvar error: Illegal element number when setting mathematical element delay\n"
            "Sonvar error: Illegal element number when setting mathematical element delay\n");
  EXPECT_EQ(ap->elements[1].rectangles[0].delay, 0.1);
  const int first = 1;
  EXPECT_EQ(capture_stdout([&] { ele_apodization(ap, 1, &first, 0, values); }),
            "Sonvar error: Not enough values to set mathematical element apodization\n");
  EXPECT_EQ(capture_stdout([&] { ele_delay(ap, 1, &first, 0, values); }),
            "Sonvar error: Not enough values to set mathematical element delay\n");
  EXPECT_EQ(ap->elements[0].rectangles[0].apodization, 1.0);
  EXPECT_EQ(capture_stdout([&] { ele_waveform(sys, ap, 1, bad, 5, values); }),
            "Sonvar error: Illegal element number when setting physical element waveform\n");
  EXPECT_EQ(ap->individual_excitation, 0);
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, WaveformsAndSignalsChangeHandsWithoutLeaksOrDoubleRelease) {
  aperture *ap = three_elements();
  std::vector<double> a = {1, 2, 3}, b = {4, 5};
  double *sa[] = {a.data()}, *sb[] = {b.data()};
  const int two = 2;
  ele_waveform(sys, ap, 1, &two, 3, sa);
  const int32_t records = sys->next_signal_number;
  ele_waveform(sys, ap, 1, &two, 2, sb);
  EXPECT_EQ(sys->next_signal_number, records);  // the first went back and was reused
  EXPECT_EQ(ap->individual_excitation + ap->elements[1].has_excitation, 2);
  expect_signal_near(ap->elements[1].excitation, 0, b, 0.0, "own excitation");

  signal_rec *impulse = ap->impulse_response;
  xdc_impulse(sys, ap, impulse);  // its own signal: kept
  EXPECT_EQ(impulse->in_use, 1);
  signal_rec *pulse = alloc_signal(sys, 4, 2);
  pulse->values[3] = 7.0;
  xdc_impulse(sys, ap, pulse);
  EXPECT_TRUE(impulse->in_use == 0 && ap->impulse_response == pulse);
  xdc_excitation(sys, ap, pulse);  // already owned as the impulse response: copied
  EXPECT_NE(ap->excitation, pulse);
  expect_signal_near(ap->excitation, 2, {0, 0, 0, 7}, 0.0, "copied excitation");
  signal_rec *gone = alloc_signal(sys, 1, 0);
  free_signal(sys, gone);
  EXPECT_FATAL(xdc_excitation(sys, ap, gone),
               "Fatal error: xdc_excitation: the signal handed over is not in use \\(never "
               "allocated or already released\\) \n");
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, ArraysGivenTwiceAreOwnedOnceAndApodizationTurnsDynamicOff) {
  aperture *ap = three_elements();
  double *shared = static_cast<double *>(alloc_memory(sys, 3, sizeof(double)));
  shared[2] = 1e-6;
  double *delays[] = {shared, shared};
  const double times[] = {0.0, 1e-5};
  xdc_focus_times(sys, ap, 2, times, delays);
  ASSERT_NE(ap->focus_line->next, nullptr);
  EXPECT_EQ(ap->focus_line->next->delays[2], 1e-6);
  EXPECT_EQ(ap->focus_line->point.z, 0.0);
  // The line's own array handed back in is kept, not released.
  double *again[] = {ap->focus_line->delays};
  xdc_focus_times(sys, ap, 1, times, again);
  EXPECT_EQ(ap->focus_line->delays[2], 1e-6);
  EXPECT_EQ(ap->fixed_focus, 1);

  xdc_dynamic_apodization(sys, ap, 2, 1.5, point3{0, 0, 0}, point3{0, 0, 1});
  EXPECT_TRUE(ap->dynamic_apodization == 1 && ap->fixed_apodization == 0);
  EXPECT_NE(ap->apodization_line, nullptr);  // kept for later
  double *weights = static_cast<double *>(alloc_memory(sys, 3, sizeof(double)));
  double *values[] = {weights, weights};
  xdc_apodization(sys, ap, 2, times, values);
  EXPECT_TRUE(ap->dynamic_apodization == 0 && ap->fixed_apodization == 0);
  EXPECT_NE(ap->apodization_line->values, ap->apodization_line->next->values);
  // One array in both lines: replacing one line keeps it, xdc_free releases it once.
  double *both[] = {ap->focus_line->delays};
  xdc_apodization(sys, ap, 1, times, both);
  xdc_focus(sys, ap, 1, times, &kFocus);
  EXPECT_EQ(ap->apodization_line->values[2], 1e-6);
  xdc_focus_times(sys, ap, 1, times, both);
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, TriangleTablesMakeRunsAndEmptyElements) {
  const std::vector<double> one = column_major({{2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0.5}});
  const std::vector<double> centers = column_major({{1, 2, 3}, {4, 5, 6}});
  aperture *ap = xdc_triangles(sys, one.data(), 1, centers.data(), point3{0, 0, 0.1});
  ASSERT_EQ(ap->no_elements, 2);  // N from the last row
  EXPECT_TRUE(ap->elements[0].no_triangles == 0 && ap->elements[1].no_triangles == 1);
  EXPECT_EQ(ap->elements[1].triangles[0].corners[1].x, 1.0);
  EXPECT_EQ(ap->elements[1].triangles[0].apodization, 0.5);
  expect_point(ap->elements[1].center, point3{4, 5, 6}, 0.0);
  xdc_free(sys, ap);

  const std::vector<double> gap =
      column_major({{1.9, 0, 0, 0, 1, 0, 0, 0, 1, 0, 1}, {3, 0, 0, 0, 2, 0, 0, 0, 2, 0, 1}});
  const std::vector<double> three = column_major({{0, 0, 0}, {0, 0, 0}, {0, 0, 0}});
  ap = xdc_triangles(sys, gap.data(), 2, three.data(), point3{0, 0, 0.1});
  EXPECT_EQ(ap->elements[0].no_triangles, 1);  // 1.9 truncates to 1
  EXPECT_TRUE(ap->elements[1].no_triangles == 0 && ap->elements[1].triangles == nullptr);
  xdc_free(sys, ap);

  std::vector<double> corners =
      column_major({{0, 0, 0, 1, 0, 0, 0, 1, 0}, {0, 0, 0, 0, 1, 0, -1, 0, 0}});
  const double weights[] = {0.5, 0.25};
  ap = xdc_triangles_old(sys, corners.data(), 2, weights, 0.8, point3{0, 0, 0});
  EXPECT_STREQ(ap->name, "Physical element made of triangles");
  EXPECT_EQ(ap->elements[0].triangles[1].corners[2].x, -1.0);
  EXPECT_TRUE(ap->focus_line->point.z == 1e30 && ap->focus_line->delays[0] == 0.0);
  EXPECT_EQ(ap->apodization_line->values[0], 0.8);
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, LineTablesBuildElementsAndRefuseBadNumbering) {
  // Element 1: the square 0 <= x <= 1 mm, 0 <= y <= 1 mm as line element 1.
  const std::vector<std::vector<double>> rows = {{1, 1, 0, 1, 0, 0},
                                                 {1, 1, 7, 1, 1e-3, 1},
                                                 {1, 1, 0, 0, 0, 1},
                                                 {1, 1, 0, 0, 1e-3, 0},
                                                 {2, 1, 0.5, 0, 1e-3, 1}};
  const std::vector<double> table = column_major(rows);
  const std::vector<double> centers = column_major({{0.5e-3, 0.5e-3, 0}, {0, 0, 0}});
  aperture *ap = nullptr;
  const std::string out = capture_stdout([&] {
    ap = xdc_lines(sys, table.data(), 5, centers.data(), point3{0, 0, 0.02});
  });
  EXPECT_EQ(out, "Internal error. Number of crossings is 0 and less than 4. Press RETURN: ");
  const line_element &le = ap->elements[0].line_elements[0];
  ASSERT_EQ(le.no_lines, 4);
  EXPECT_EQ(le.lines[1].slope, 7.0);  // a vertical line keeps the table's slope
  EXPECT_TRUE(le.lines[1].x1 == 1e-3 && le.lines[1].above_or_left == 1);
  EXPECT_TRUE(le.lines[3].y1 == 1e-3 && le.no_crossings == 4 && le.apodization == 1.0);
  EXPECT_EQ(ap->elements[1].no_line_elements, 1);
  xdc_free(sys, ap);

  auto dies = [&](const std::vector<std::vector<double>> &bad, const char *message) {
    const std::vector<double> t = column_major(bad);
    EXPECT_FATAL(xdc_lines(sys, t.data(), static_cast<int>(bad.size()), centers.data(), {}),
                 message);
  };
  dies({{1, 1, 0, 1, 0, 0}, {1, 3, 0, 0, 0, 1}},
       "xdc_lines: line element number 3 in table row 2 does not continue 1, 2, ... within "
       "physical element 1");
  dies({{1, 2, 0, 1, 0, 0}}, "line element number 2 in table row 1 does not continue");
  dies({{1, 1, 0, 1, 0, 0}, {1, 2, 0, 1, 0, 0}, {1, 1, 0, 1, 0, 0}}, "number 1 in table row 3");
  dies({{2, 1, 0, 1, 0, 0}, {1, 1, 0, 1, 0, 0}},
       "Fatal error: xdc_lines: element number 1 in table row 2 is smaller than the one before it");
  dies({{0, 1, 0, 1, 0, 0}}, "element number 0 in table row 1 is not a whole number from 1 up");
  EXPECT_FATAL(xdc_rectangles(sys, table.data(), 0, centers.data(), point3{}),
               "xdc_rectangles: the table has 0 rows; at least one is needed");
}

TEST_F(TransducersTest, RectanglesConvertedToTrianglesAndLinesWhenBothAreAsked) {
  sys->use_triangles = 1;
  sys->use_lines = 1;
  aperture *ap = three_elements();
  EXPECT_EQ(ap->uses_triangles * 100 + ap->uses_lines * 10 + ap->uses_rectangles, 110);
  EXPECT_TRUE(ap->elements[0].no_triangles == 2 && ap->elements[0].no_line_elements == 0);
  xdc_free(sys, ap);
  sys->use_triangles = 0;
  ap = three_elements();
  EXPECT_EQ(ap->elements[0].no_line_elements, 1);
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, ConcurrentConstructionOnTwoThreads) {
  std::vector<aperture *> made(2, nullptr);
  std::vector<std::thread> workers;
  for (int t = 0; t < 2; t++)
    workers.emplace_back([&, t] {
      for (int k = 0; k < 20; k++) {
        aperture *ap = three_elements();
        if (k < 19)
          xdc_free(sys, ap);
        else
          made[t] = ap;
      }
    });
  for (std::thread &w : workers) w.join();
  for (aperture *ap : made) {
    EXPECT_EQ(ap->created[strlen(ap->created) - 1], '\n');
    xdc_free(sys, ap);
  }
}

// ----- array constructors, report and export -----

namespace {

// The centre x of every physical element, in numbering order.
std::vector<double> center_x(const aperture *ap) {
  std::vector<double> xs;
  for (int n = 0; n < ap->no_elements; n++) xs.push_back(ap->elements[n].center.x);
  return xs;
}

void expect_near_all(const std::vector<double> &got, const std::vector<double> &want, double tol) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t k = 0; k < got.size(); k++) EXPECT_NEAR(got[k], want[k], tol) << k;
}

bool ends_with(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string read_fixture(const std::string &name) {
  const std::string path =
      std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) + "/data/" + name;
  FILE *file = fopen(path.c_str(), "rb");
  EXPECT_NE(file, nullptr) << path;
  std::string text;
  for (int ch; file != nullptr && (ch = fgetc(file)) != EOF;) text.push_back(static_cast<char>(ch));
  if (file != nullptr) fclose(file);
  return text;
}

}  // namespace

TEST_F(TransducersTest, LinearArraysCentreElementsForOddAndEvenCounts) {
  aperture *ap = xdc_linear_array(sys, 3, 0.4e-3, 6e-3, 0.1e-3, 2, 3, kFocus);
  EXPECT_STREQ(ap->name, "Linear array transducer");
  expect_near_all(center_x(ap), {-0.5e-3, 0.0, 0.5e-3}, kExact);
  const physical_element &e = ap->elements[0];
  ASSERT_EQ(e.no_rectangles, 6);
  EXPECT_NEAR(e.rectangles[0].corners[0].x, -0.7e-3, kExact);  // lower left corner first
  EXPECT_NEAR(e.rectangles[0].corners[0].y, -3e-3, kExact);
  EXPECT_NEAR(e.rectangles[1].corners[0].x, -0.5e-3, kExact);  // then along x
  EXPECT_NEAR(e.rectangles[2].corners[0].y, -1e-3, kExact);    // then the next sub-row
  EXPECT_NEAR(e.rectangles[5].width, 0.2e-3, kExact);
  EXPECT_NEAR(e.rectangles[5].height, 2e-3, kExact);
  xdc_free(sys, ap);
  ap = xdc_linear_array(sys, 4, 0.4e-3, 6e-3, 0.1e-3, 1, 1, kFocus);
  expect_near_all(center_x(ap), {-0.75e-3, -0.25e-3, 0.25e-3, 0.75e-3}, kExact);
  xdc_free(sys, ap);
  ap = xdc_linear_array(sys, 1, 0.4e-3, 6e-3, 0.1e-3, 1, 1, kFocus);
  expect_near_all(center_x(ap), {0.0}, kExact);
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, MultirowAndTwoDimensionalArraysNumberRowByRow) {
  const double heights[] = {2e-3, 4e-3};
  aperture *ap = xdc_linear_multirow(sys, 2, 0.4e-3, 2, heights, 0.1e-3, 1e-3, 1, 2, kFocus);
  ASSERT_EQ(ap->no_elements, 4);
  const double ys[] = {-2.5e-3, -2.5e-3, 1.5e-3, 1.5e-3};
  for (int n = 0; n < 4; n++) EXPECT_NEAR(ap->elements[n].center.y, ys[n], kExact) << n;
  expect_near_all(center_x(ap), {-0.25e-3, 0.25e-3, -0.25e-3, 0.25e-3}, kExact);
  EXPECT_NEAR(ap->elements[2].rectangles[1].corners[1].y, 3.5e-3, kExact);  // top of row 2
  xdc_free(sys, ap);

  // 3 columns x 2 rows, only column 2 of row 0 on: a transposed reading
  // would pick column 1 of row 1 instead.
  const int16_t one[] = {0, 0, 0, 0, 1, 0};
  ap = xdc_2d_array(sys, 3, 2, 1e-3, 2e-3, 0.5e-3, 1e-3, one, 1, 1, kFocus);
  ASSERT_EQ(ap->no_elements, 1);
  EXPECT_NEAR(ap->elements[0].center.x, 1.5e-3, kExact);
  EXPECT_NEAR(ap->elements[0].center.y, -1.5e-3, kExact);
  xdc_free(sys, ap);
  const int16_t anti[] = {0, 1, 1, 0};  // (column 0, row 1) and (column 1, row 0)
  ap = xdc_2d_array(sys, 2, 2, 1e-3, 1e-3, 0.0, 0.0, anti, 1, 1, kFocus);
  ASSERT_EQ(ap->no_elements, 2);
  EXPECT_NEAR(ap->elements[0].center.x, 0.5e-3, kExact);  // row 0 first
  EXPECT_NEAR(ap->elements[1].center.y, 0.5e-3, kExact);
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, ElevationFocusedArraysSpaceSubRowsByAngleOrByHeight) {
  const double Rf = 0.03, H = 6e-3, z0 = Rf * std::cos(std::asin(H / (2 * Rf)));
  aperture *ap = xdc_focused_array(sys, 2, 0.4e-3, H, 0.1e-3, Rf, 1, 4, kFocus);
  aperture *rows = xdc_focused_multirow(sys, 2, 0.4e-3, 1, &H, 0.1e-3, 0.1e-3, Rf, 1, 4, kFocus);
  const physical_element &a = ap->elements[1], &b = rows->elements[1];
  EXPECT_NEAR(a.center.z, z0 - Rf, kExact);
  EXPECT_NEAR(b.center.z, z0 - Rf, kExact);
  EXPECT_NEAR(a.rectangles[0].corners[0].z, 0.0, 1e-15);  // edges in the plane z = 0
  EXPECT_NEAR(a.rectangles[3].corners[1].z, 0.0, 1e-15);
  EXPECT_NEAR(b.rectangles[3].corners[1].z, 0.0, 1e-15);
  const double theta = std::asin(H / (2 * Rf));
  EXPECT_NEAR(a.rectangles[1].corners[1].y, 0.0, kExact);
  EXPECT_NEAR(a.rectangles[0].corners[1].y, Rf * std::sin(-theta / 2), kExact);  // equal angles
  EXPECT_NEAR(b.rectangles[0].corners[1].y, -H / 4, kExact);                     // equal heights
  for (const physical_element *e : {&a, &b})
    for (int j = 0; j < 4; j++)
      for (const point3 &c : e->rectangles[j].corners)
        EXPECT_NEAR(c.z, z0 - std::sqrt(Rf * Rf - c.y * c.y), 1e-15);
  xdc_free(sys, ap);
  xdc_free(sys, rows);
}

TEST_F(TransducersTest, ConvexArraysAreMirrorSymmetric) {
  const double Rc = 0.04, Rf = 0.03, w = 0.5e-3, kerf = 0.1e-3;
  aperture *one = xdc_convex_array(sys, 1, w, 5e-3, kerf, Rc, 2, 1, kFocus);
  EXPECT_NEAR(dist(one->elements[0].center, point3{0, 0, 0}), 0.0, kExact);
  xdc_free(sys, one);
  const double heights[] = {4e-3};
  std::vector<aperture *> aps = {
      xdc_convex_array(sys, 4, w, 5e-3, kerf, Rc, 2, 1, kFocus),
      xdc_convex_focused_array(sys, 4, w, 5e-3, kerf, Rc, Rf, 2, 2, kFocus),
      xdc_convex_focused_multirow(sys, 4, w, 1, heights, kerf, 0, Rc, Rf, 2, 2, kFocus)};
  for (aperture *ap : aps) {
    for (int n = 0; n < 2; n++) {
      EXPECT_NEAR(ap->elements[n].center.x, -ap->elements[3 - n].center.x, kExact) << ap->name;
      EXPECT_NEAR(ap->elements[n].center.z, ap->elements[3 - n].center.z, kExact) << ap->name;
    }
    // Neighbouring elements are one element angle plus one kerf angle apart.
    const point3 a = ap->elements[1].center, b = ap->elements[2].center;
    EXPECT_NEAR(std::atan2(b.x, b.z + Rc) - std::atan2(a.x, a.z + Rc),
                std::asin(w / Rc) + std::asin(kerf / Rc), 1e-12)
        << ap->name;
    xdc_free(sys, ap);
  }
}

TEST_F(TransducersTest, DiscsHoldTheSquaresWhoseCentresLieInside) {
  aperture *ap = xdc_piston(sys, 1e-3, 0.5e-3);
  EXPECT_STREQ(ap->name, "Single element piston transducer");
  ASSERT_EQ(ap->elements[0].no_rectangles, 12);
  const int per_row[] = {2, 4, 4, 2};
  int k = 0;
  for (int row = 0; row < 4; row++)
    for (int q = 0; q < per_row[row]; q++, k++) {
      const point3 c = ap->elements[0].rectangles[k].center;
      EXPECT_NEAR(c.y, (-0.75 + 0.5 * row) * 1e-3, kExact);
      EXPECT_NEAR(c.x, ((per_row[row] - 1) * -0.25 + 0.5 * q) * 1e-3, kExact);
    }
  EXPECT_EQ(ap->focus_line->point.z, 100000.0);
  EXPECT_EQ(ap->focus_line->delays[0], 0.0);
  xdc_free(sys, ap);

  // Count odd-grid centres inside the disc independently.
  const double R = 0.0095, F = 0.038, s = 0.0005;
  int inside = 0;
  for (int i = -40; i < 40; i++)
    for (int j = -40; j < 40; j++) inside += sqr((i + 0.5) * s) + sqr((j + 0.5) * s) <= R * R;
  ap = xdc_concave(sys, R, F, s);
  EXPECT_EQ(ap->elements[0].no_rectangles, inside);
  for (int n = 0; n < inside; n++)
    for (const point3 &c : ap->elements[0].rectangles[n].corners)
      EXPECT_NEAR(c.z, F - std::sqrt(F * F - c.x * c.x - c.y * c.y), 1e-15);
  EXPECT_EQ(ap->focus_line->point.z, F);
  xdc_free(sys, ap);

  // A radius below half a square: one element without squares.
  ap = xdc_piston(sys, 1e-3, 3e-3);
  EXPECT_EQ(ap->elements[0].no_rectangles, 0);
  EXPECT_EQ(ap->elements[0].rectangles, nullptr);
  xdc_free(sys, ap);
  EXPECT_FATAL(xdc_piston(sys, 1.0, 1e-9),
               "Fatal error: xdc_piston: a disc of radius 1 m needs too many");
}

TEST_F(TransducersTest, ConstructorsConvertOnRequestAndDiscsWarnUnlessQuiet) {
  sys->use_triangles = 1;
  aperture *ap = xdc_linear_array(sys, 2, 0.4e-3, 5e-3, 0.1e-3, 2, 3, kFocus);
  EXPECT_EQ(ap->uses_triangles, 1);
  EXPECT_EQ(ap->elements[1].no_triangles, 12);
  EXPECT_EQ(ap->elements[1].no_rectangles, 0);
  xdc_free(sys, ap);
  sys->quiet = 0;
  EXPECT_EQ(capture_stdout([&] { ap = xdc_piston(sys, 1e-3, 0.5e-3); }),
            "Warning: Triangles are currently not fully supported for piston apertures.\n"
            "         Some approximation in the responses might occur.\n");
  EXPECT_EQ(ap->elements[0].no_triangles, 24);
  xdc_free(sys, ap);
  sys->use_triangles = 0;
  sys->use_lines = 1;
  EXPECT_EQ(capture_stdout([&] { ap = xdc_concave(sys, 1e-3, 0.02, 0.5e-3); }),
            "Warning: Lines are currently not fully supported for concave apertures.\n"
            "         Some approximation in the responses will occur.\n");
  EXPECT_EQ(ap->elements[0].no_line_elements, 12);
  EXPECT_EQ(ap->elements[0].line_elements[5].no_crossings, 4);
  xdc_free(sys, ap);
  EXPECT_EQ(
      capture_stdout([&] { ap = xdc_convex_array(sys, 2, 1e-3, 1e-3, 0, 0.04, 1, 1, kFocus); }),
      "");
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, EmptyAndNegativeCountsBuildEmptyApertures) {
  aperture *ap = xdc_linear_array(sys, -3, 0.4e-3, 5e-3, 0.1e-3, 1, 1, kFocus);
  EXPECT_EQ(ap->no_elements, 0);
  EXPECT_EQ(ap->elements, nullptr);
  xdc_free(sys, ap);
  ap = xdc_linear_array(sys, 2, 0.4e-3, 5e-3, 0.1e-3, -2, -3, kFocus);
  EXPECT_EQ(ap->elements[0].no_rectangles, 0);
  EXPECT_EQ(ap->elements[0].rectangles, nullptr);
  xdc_free(sys, ap);
  ap = xdc_focused_multirow(sys, 3, 0.4e-3, 0, nullptr, 0.1e-3, 0.1e-3, 0.02, 1, 1, kFocus);
  EXPECT_EQ(ap->no_elements, 0);
  xdc_free(sys, ap);
  ap = xdc_2d_array(sys, 0, 2, 1e-3, 1e-3, 0, 0, nullptr, 1, 1, kFocus);
  EXPECT_EQ(ap->no_elements, 0);
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, GoldenReportsOfALinearArrayAndALineElement) {
  aperture *ap = xdc_linear_array(sys, 3, 0.4e-3, 5e-3, 0.1e-3, 1, 1, kFocus);
  snprintf(ap->created, sizeof ap->created, "Mon Dec  7 21:21:40 2026\n");
  EXPECT_EQ(capture_stdout([&] { xdc_show(sys, ap, 0); }), read_fixture("linear_array_show.txt"));
  xdc_free(sys, ap);
  sys->use_lines = 1;
  ap = xdc_linear_array(sys, 1, 0.4e-3, 5e-3, 0.1e-3, 1, 1, kFocus);
  snprintf(ap->created, sizeof ap->created, "Mon Dec  7 21:21:40 2026\n");
  EXPECT_EQ(capture_stdout([&] { xdc_show(sys, ap, 1); }), read_fixture("line_element_show.txt"));
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, ReportSectionsWrapRowsAndShowDynamicSettings) {
  aperture *ap = xdc_linear_array(sys, 8, 0.4e-3, 5e-3, 0.1e-3, 1, 1, kFocus);
  const std::string focus = capture_stdout([&] { xdc_show(sys, ap, 2); });
  EXPECT_NE(focus.find("e-09)  \n            (  5, "), std::string::npos);
  EXPECT_TRUE(ends_with(focus, "(  8, -4.962e-08)  \n            \n"));  // wraps after the 8th
  EXPECT_EQ(focus.find("Physical element"), std::string::npos);
  xdc_free(sys, ap);
  ap = xdc_linear_array(sys, 10, 0.4e-3, 5e-3, 0.1e-3, 1, 1, kFocus);
  const std::string apod = capture_stdout([&] { xdc_show(sys, ap, 3); });
  EXPECT_NE(apod.find("(  5, 1.0000)  \n            (  6, 1.0000)"), std::string::npos);
  EXPECT_TRUE(ends_with(apod, "( 10, 1.0000)  \n            \n"));
  EXPECT_EQ(apod.find("Time line for focusing"), std::string::npos);
  const std::string header = capture_stdout([&] { xdc_show(sys, ap, 7); });
  EXPECT_TRUE(ends_with(header,
                        "Aperture uses the rigid baffle boundary condition\nThe reference point "
                        "for focusing is at  (x,y,z) = (    0.0000,     0.0000,     0.0000) "
                        "mm\nThe aperture consists of 10 physical elements. \n"));
  xdc_dynamic_focus(sys, ap, 1e-6, M_PI / 6, -M_PI / 4);
  xdc_dynamic_apodization(sys, ap, 2, 1.5, point3{0, 1e-3, 0}, point3{0, 0, 1});
  ap->quantize_delays = 1;
  ap->quantization = 2.5e-9;
  sys->debug = 1;
  const std::string out = capture_stdout([&] { xdc_show(sys, ap, 0); });
  EXPECT_EQ(out.substr(0, 40), "Sonvar debug message: Entering xdc_show\n");
  EXPECT_NE(out.find("Quantized phase delay is used. Quantization =     2.5000 ns\n"),
            std::string::npos);
  EXPECT_NE(out.find(" 1.0000  Dynamic along:   30.0000 deg. (z-x),  -45.0000 deg. (z-y)) \n"),
            std::string::npos);
  EXPECT_NE(out.find("Dynamic apodization is used for this aperture\n"
                     "   Apodization reference point is (  0.0000,   1.0000,   0.0000) mm \n"
                     "   Apodization direction vector is (  0.0000,   0.0000,   1.0000) mm \n"
                     "F-number used is   1.5000 \n"
                     "  Apodization uses Hamming windows \n"),
            std::string::npos);
  sys->debug = 0;
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, ExportTablesHoldTheRowLayoutsAndSizeQueriesMatch) {
  aperture *ap = xdc_linear_array(sys, 2, 0.4e-3, 5e-3, 0.1e-3, 1, 2, kFocus);
  auto table = [&](int kind) {
    const int64_t size = xdc_get_size(sys, ap, kind);
    std::vector<double> out(size + 4, -7.0);
    xdc_get(sys, ap, kind, out.data());
    for (int k = 0; k < 4; k++) EXPECT_EQ(out[size + k], -7.0) << "written past the size";
    out.resize(size);
    return out;
  };
  std::vector<double> rects = table(1);
  ASSERT_EQ(rects.size(), 26u * 4);
  const std::vector<double> row = {
      1,       1,      0.4e-3, 2.5e-3,  1,      -0.0, -0.0,    0.25e-3, 1.25e-3, 0, 0.05e-3, 0, 0,
      0.05e-3, 2.5e-3, 0,      0.45e-3, 2.5e-3, 0,    0.45e-3, 0,       0,       0, 0.25e-3, 0, 0};
  expect_near_all(std::vector<double>(rects.begin() + 78, rects.end()), row, kExact);
  EXPECT_TRUE(table(2).empty());
  std::vector<double> focus = table(4);
  ASSERT_EQ(focus.size(), 3u);
  EXPECT_NEAR(focus[1], (0.02 - std::hypot(0.25e-3, 0.02)) / kC, 1e-20);
  xdc_dynamic_focus(sys, ap, 2e-6, 0.1, 0.0);
  EXPECT_EQ(table(4), (std::vector<double>{2e-6, 0, 0}));
  EXPECT_EQ(table(5), (std::vector<double>{0, 1, 1}));
  EXPECT_TRUE(table(6).empty());
  xdc_convert(sys, ap);
  std::vector<double> tris = table(2);
  ASSERT_EQ(tris.size(), 15u * 8);
  EXPECT_EQ(tris[15 * 7 + 1], 3.0);
  EXPECT_NEAR(tris[15 * 7 + 3], 0.25e-3, kExact);  // element centre x
  EXPECT_NEAR(tris[15 * 7 + 9], 0.45e-3, kExact);  // corner 2 x: corner 4 of the rectangle
  EXPECT_TRUE(table(1).empty());
  xdc_free(sys, ap);

  sys->use_lines = 1;
  ap = xdc_linear_array(sys, 1, 0.4e-3, 5e-3, 0.1e-3, 1, 1, kFocus);
  std::vector<double> lines = table(3);
  ASSERT_EQ(lines.size(), 13u + 5 * 4 + 1 + 3 * 4);
  EXPECT_EQ(lines[3], 4.0);  // the line count, as in slot 12
  EXPECT_EQ(lines[12], 4.0);
  EXPECT_EQ(lines[7], 1.0);  // cos_x
  expect_near_all(std::vector<double>(lines.begin() + 13, lines.begin() + 18),
                  {1e60, 1, 0, -0.2e-3, 0}, kExact);
  EXPECT_EQ(lines[33], 4.0);  // crossings
  EXPECT_NEAR(lines[35], 2.5e-3, kExact);
  xdc_free(sys, ap);
}

TEST_F(TransducersTest, ArrayConstructorsMarkTheirElementKind) {
  // The calculations pick the response by these flags: an array built of
  // rectangles must say so, and a converted one must name its new kind.
  const point3 focus{0, 0, 0.03};
  const double heights[] = {5e-3};
  const auto kinds = [](const aperture *ap) {
    return ap->uses_rectangles * 100 + ap->uses_triangles * 10 + ap->uses_lines;
  };
  const auto build_all = [&]() {
    return std::vector<aperture *>{
        xdc_piston(sys, 2e-3, 0.5e-3),
        xdc_concave(sys, 2e-3, 0.02, 0.5e-3),
        xdc_linear_array(sys, 2, 0.4e-3, 5e-3, 0.1e-3, 1, 1, focus),
        xdc_linear_multirow(sys, 2, 0.4e-3, 1, heights, 0.1e-3, 0.1e-3, 1, 1, focus),
        xdc_focused_array(sys, 2, 0.4e-3, 5e-3, 0.1e-3, 0.02, 1, 2, focus),
        xdc_focused_multirow(sys, 2, 0.4e-3, 1, heights, 0.1e-3, 0.1e-3, 0.02, 1, 2, focus),
        xdc_convex_array(sys, 2, 0.4e-3, 5e-3, 0.1e-3, 0.04, 1, 1, focus),
        xdc_convex_focused_array(sys, 2, 0.4e-3, 5e-3, 0.1e-3, 0.04, 0.02, 1, 2, focus),
        xdc_convex_focused_multirow(sys, 2, 0.4e-3, 1, heights, 0.1e-3, 0.1e-3, 0.04, 0.02, 1, 2,
                                    focus)};
  };
  for (aperture *ap : build_all()) {
    EXPECT_EQ(kinds(ap), 100) << ap->name;
    xdc_free(sys, ap);
  }
  set_sonvar(sys, "use_triangles", 1);
  for (aperture *ap : build_all()) {
    EXPECT_EQ(kinds(ap), 10) << ap->name;
    xdc_free(sys, ap);
  }
}

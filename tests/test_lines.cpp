// Tests of the line-bounded element response: the arc angle of the wave
// circle inside an element, the arrival times, the time integration and the
// aperture sum.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "test_util.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;

using Vertex = std::array<double, 2>;

// A convex polygon given counter-clockwise; the independent reference of the
// tests below.
struct Polygon {
  std::vector<Vertex> v;

  // Strictly-or-on inside by the sign of the cross products of the edges.
  bool contains(double x, double y) const {
    for (size_t i = 0; i < v.size(); i++) {
      const Vertex &a = v[i];
      const Vertex &b = v[(i + 1) % v.size()];
      const double cross = (b[0] - a[0]) * (y - a[1]) - (b[1] - a[1]) * (x - a[0]);
      if (cross < -1e-15) return false;
    }
    return true;
  }

  // Angle of the circle (cx, cy, radius) inside the polygon, from the
  // circle's crossings with the edge segments.
  double arc_inside(double cx, double cy, double radius) const {
    std::vector<double> angles;
    for (size_t i = 0; i < v.size(); i++) {
      const Vertex &a = v[i];
      const Vertex &b = v[(i + 1) % v.size()];
      const double dx = b[0] - a[0], dy = b[1] - a[1];
      const double fx = a[0] - cx, fy = a[1] - cy;
      const double qa = dx * dx + dy * dy, qb = 2 * (fx * dx + fy * dy);
      const double qc = fx * fx + fy * fy - radius * radius;
      const double disc = qb * qb - 4 * qa * qc;
      if (disc < 0) continue;
      for (double sign : {-1.0, 1.0}) {
        const double s = (-qb + sign * std::sqrt(disc)) / (2 * qa);
        if (s < 0 || s > 1) continue;
        double angle = std::atan2(fy + s * dy, fx + s * dx);
        if (angle < 0) angle += kTwoPi;
        angles.push_back(angle);
      }
    }
    if (angles.empty()) return contains(cx + radius, cy) ? kTwoPi : 0.0;
    std::sort(angles.begin(), angles.end());
    double omega = 0.0;
    for (size_t k = 0; k < angles.size(); k++) {
      const double a = angles[k];
      const double b = k + 1 < angles.size() ? angles[k + 1] : angles[0] + kTwoPi;
      const double mid = (a + b) / 2;
      if (b - a > 0 && contains(cx + radius * std::cos(mid), cy + radius * std::sin(mid)))
        omega += b - a;
    }
    return omega;
  }
};

// One bounding line through p1 and p2 with the inside point q, filled the way
// the aperture code fills it (slope form unless the line is parallel to y).
bounding_line make_line(Vertex p1, Vertex p2, Vertex q) {
  bounding_line line{};
  const double dx = p1[0] - p2[0];
  if (std::fabs(dx) > (std::fabs(p2[0]) + std::fabs(p1[0])) * 1e-14) {
    line.slope = (p1[1] - p2[1]) / dx;
    line.vertical = 0;
    line.y1 = p1[1] - p1[0] * line.slope;
    line.slope_factor = line.slope * line.slope + 1;
    line.above_or_left = q[1] > q[0] * line.slope + line.y1 ? 1 : 0;
  } else {
    line.slope = 1e60;
    line.vertical = 1;
    line.x1 = p1[0];
    line.above_or_left = p1[0] > q[0] ? 1 : 0;
  }
  return line;
}

// A line element in the plane z = 0 built from a convex polygon, with the
// polygon's vertices as its crossings, and the storage behind it.
struct Element {
  std::vector<bounding_line> lines;
  std::vector<point3> corners;
  line_element record{};

  explicit Element(const Polygon &polygon) {
    Vertex centre{0, 0};
    for (const Vertex &p : polygon.v) {
      centre[0] += p[0] / polygon.v.size();
      centre[1] += p[1] / polygon.v.size();
    }
    for (size_t i = 0; i < polygon.v.size(); i++) {
      lines.push_back(make_line(polygon.v[i], polygon.v[(i + 1) % polygon.v.size()], centre));
      corners.push_back({polygon.v[i][0], polygon.v[i][1], 0.0});
    }
    record.lines = lines.data();
    record.no_lines = static_cast<int>(lines.size());
    record.cos_x = record.cos_y = 1.0;
    record.crossings = corners.data();
    record.no_crossings = static_cast<int>(corners.size());
    record.apodization = 1.0;
  }
};

// A line_solution with arrays for elements of up to `max_lines` lines and
// `max_times` arrival times.
struct Solution {
  std::vector<double> times, angles;
  std::vector<int> index;
  std::vector<circle_crossing> records;
  std::vector<circle_crossing *> pointers;
  line_solution record{};

  Solution(int max_lines, int max_times, double c)
      : times(max_times),
        angles(2 * max_lines + 1),
        index(2 * max_lines + 1),
        records(2 * max_lines + 1),
        pointers(2 * max_lines + 1) {
    for (size_t i = 0; i < records.size(); i++) pointers[i] = &records[i];
    record.times = times.data();
    record.angles = angles.data();
    record.angle_index = index.data();
    record.crossings_of_circle = pointers.data();
    record.c = c;
  }
};

constexpr double kC = 1540.0;

Polygon rectangle(double x0, double y0, double w, double h) {
  return Polygon{{{x0, y0}, {x0 + w, y0}, {x0 + w, y0 + h}, {x0, y0 + h}}};
}

// A pentagon with sloped edges only.
Polygon pentagon() {
  return Polygon{
      {{-2e-3, -1.5e-3}, {2.5e-3, -2e-3}, {3e-3, 1e-3}, {0.5e-3, 2.5e-3}, {-2.5e-3, 1e-3}}};
}

class LinesTest : public ::testing::Test {
 protected:
  void SetUp() override { sys = sonvar_test::quiet_state(); }
  void TearDown() override { sonvar_test::release_state(sys); }

  // Sweeps the wave circle over the element the way the integration does
  // (discontinuity flag set at the first evaluation after each arrival
  // time) and compares every arc with the polygon's own.
  void expect_sweep_matches(const Polygon &polygon, double px, double py, double pz) {
    Element element(polygon);
    Solution solution(8, 32, kC);
    arrival_times(sys, &element.record, &solution.record, px, py, pz);
    const int n = solution.record.no_times;
    ASSERT_GE(n, 2);
    const double t0 = solution.record.times[0];
    const double t1 = solution.record.times[n - 1];
    int next = 1;
    bool first = true;
    const int steps = 3000;
    for (int i = 0; i < steps; i++) {
      const double t = t0 + (t1 - t0) * (i + 0.37) / steps;
      int flag = first ? 1 : 0;
      first = false;
      while (next < n && solution.record.times[next] < t) {
        flag = 1;
        next++;
      }
      const double omega = sum_solution(&element.record, &solution.record, flag, t);
      const double radius = std::sqrt(sqr(t * kC) - sqr(pz));
      ASSERT_NEAR(omega, polygon.arc_inside(px, py, radius), 1e-9)
          << "at t = " << t << ", step " << i << ", point " << px << ", " << py;
    }
  }

  sys_con *sys = nullptr;
};

// ---------------------------------------------------------------------------
// Arc angle

TEST_F(LinesTest, InsideAcceptsPointsOnALineWithinRelativeTolerance) {
  const Vertex q{0.0, 0.0};
  bounding_line vertical = make_line({1.0, -1.0}, {1.0, 1.0}, q);  // inside: x <= 1
  line_element element{};
  element.lines = &vertical;
  element.no_lines = 1;
  EXPECT_EQ(inside(&element, 1.0, 0.0), 1);
  EXPECT_EQ(inside(&element, 1.0 + 0.5e-14, 0.0), 1);
  EXPECT_EQ(inside(&element, 1.0 + 4e-14, 0.0), 0);
  EXPECT_EQ(inside(&element, -5.0, 3.0), 1);

  bounding_line sloped = make_line({0.0, 1.0}, {2.0, 2.0}, q);  // inside: below y = x/2 + 1
  element.lines = &sloped;
  EXPECT_EQ(sloped.above_or_left, 0);
  EXPECT_EQ(inside(&element, 2.0, 2.0 + 1e-14), 1);
  EXPECT_EQ(inside(&element, 2.0, 2.0 + 1e-13), 0);
  EXPECT_EQ(inside(&element, 2.0, 1.9), 1);
}

TEST_F(LinesTest, SortsAscendingAndMovesIndicesAlong) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> value(-3.0, 3.0);
  for (int n : {0, 1, 2, 3, 8, 17, 64}) {
    std::vector<double> values(n);
    for (double &v : values) v = value(random);
    if (n > 4) values[3] = values[1];  // a tie
    std::vector<double> expected = values;
    std::sort(expected.begin(), expected.end());
    std::vector<double> sorted = values;
    sort(n, sorted.data());
    EXPECT_EQ(sorted, expected) << n;

    Solution solution(n, 1, kC);
    std::copy(values.begin(), values.end(), solution.angles.begin());
    for (int k = 0; k < n; k++) solution.index[k] = 100 + k;
    solution.record.no_angles = n;
    sort_solution(&solution.record);
    for (int k = 0; k < n; k++) {
      EXPECT_EQ(solution.angles[k], expected[k]);
      EXPECT_EQ(values[solution.index[k] - 100], solution.angles[k]);
    }
  }
}

TEST_F(LinesTest, CircleWhollyInsideIsFullAndWhollyOutsideIsZero) {
  Element element(rectangle(-5e-3, -4e-3, 10e-3, 8e-3));
  Solution solution(4, 9, kC);
  const double pz = 10e-3;
  initialize_solution(&element.record, &solution.record, 0.5e-3, 0.0, pz);
  const double small = std::sqrt(sqr(pz) + sqr(1e-3)) / kC;  // radius 1 mm
  EXPECT_DOUBLE_EQ(sum_solution(&element.record, &solution.record, 1, small), kTwoPi);
  EXPECT_DOUBLE_EQ(sum_solution(&element.record, &solution.record, 0, small * 1.0001), kTwoPi);
  const double large = std::sqrt(sqr(pz) + sqr(20e-3)) / kC;  // radius 20 mm surrounds it
  EXPECT_EQ(sum_solution(&element.record, &solution.record, 1, large), 0.0);

  initialize_solution(&element.record, &solution.record, 30e-3, 0.0, pz);  // far outside
  EXPECT_EQ(sum_solution(&element.record, &solution.record, 1, small), 0.0);
}

TEST_F(LinesTest, ArcAngleFollowsTheGeometryForAxisAlignedAndSlopedEdges) {
  const Polygon square = rectangle(-2e-3, -3e-3, 4e-3, 5e-3);
  const Polygon penta = pentagon();
  struct Case {
    const Polygon *polygon;
    double px, py;
  };
  const Case cases[] = {
      {&square, 0.3e-3, -0.2e-3},   // projection inside
      {&square, 4e-3, 1e-3},        // outside, beside an edge
      {&square, 2e-3, 0.5e-3},      // over an edge
      {&square, -2e-3, -3e-3},      // over a corner
      {&square, -5e-3, 6e-3},       // outside, nearest a corner
      {&penta, 0.1e-3, 0.2e-3},     // inside
      {&penta, 4e-3, -3e-3},        // outside
      {&penta, 0.5e-3, 2.5e-3},     // over a corner
      {&penta, 0.25e-3, -1.75e-3},  // over an edge
  };
  for (const Case &c : cases) {
    for (double pz : {5e-3, -3e-3}) expect_sweep_matches(*c.polygon, c.px, c.py, pz);
  }
}

TEST_F(LinesTest, FindAnglesRestartsWhenACrossingMovesAcrossThePositiveXAxis) {
  // The line y = x - 1 seen from the origin: its upper crossing passes the
  // positive x axis at radius 1, at (1, 0). Inside is above the line.
  const Polygon polygon{{{-3.0, -3.0}, {-2.0, -3.0}, {3.0, 2.0}, {3.0, 3.0}, {-3.0, 3.0}}};
  Element element(polygon);
  Solution solution(5, 12, 1.0);
  initialize_solution(&element.record, &solution.record, 0.0, 0.0, 0.0);
  EXPECT_NEAR(sum_solution(&element.record, &solution.record, 1, 0.99),
              polygon.arc_inside(0, 0, 0.99), 1e-12);
  ASSERT_EQ(solution.record.no_angles, 2);
  EXPECT_GT(solution.angles[1], kPi);  // just below the positive x axis

  solution.record.radius_sq = sqr(1.01);
  solution.record.radius = 1.01;
  int flag = 0;
  find_angles(&element.record, &solution.record, &flag);
  EXPECT_EQ(flag, 1);
  ASSERT_EQ(solution.record.no_angles, 2);
  EXPECT_LT(solution.angles[0], solution.angles[1]);  // sorted after the full pass
  EXPECT_LT(solution.angles[0], 0.1);

  // Through sum_solution with the flag clear, the value is still right.
  initialize_solution(&element.record, &solution.record, 0.0, 0.0, 0.0);
  sum_solution(&element.record, &solution.record, 1, 0.99);
  EXPECT_NEAR(sum_solution(&element.record, &solution.record, 0, 1.01),
              polygon.arc_inside(0, 0, 1.01), 1e-12);
}

TEST_F(LinesTest, ListedCrossingAtTangencyIsADoubleRootUnlessRecomputed) {
  // The rectangle [-3, 1] x [-3, 3] seen from the origin: a circle of radius
  // just above 1 crosses only its edge x = 1, twice, near (1, 0).
  Element element(rectangle(-3.0, -3.0, 4.0, 6.0));
  Solution solution(4, 9, 1.0);
  initialize_solution(&element.record, &solution.record, 0.0, 0.0, 0.0);
  solution.record.radius_sq = 1.0 + 1e-10;
  int flag = 1;
  find_angles(&element.record, &solution.record, &flag);
  ASSERT_EQ(solution.record.no_angles, 2);

  solution.record.radius_sq = 1.0 - 1e-10;  // just short of the line
  flag = 0;
  find_angles(&element.record, &solution.record, &flag);
  EXPECT_EQ(flag, 0);
  ASSERT_EQ(solution.record.no_angles, 2);
  EXPECT_NEAR(solution.angles[0], 0.0, 1e-12);  // both at the foot (1, 0)
  EXPECT_NEAR(std::fmod(solution.angles[1], kTwoPi), 0.0, 1e-12);

  flag = 1;
  find_angles(&element.record, &solution.record, &flag);
  EXPECT_EQ(solution.record.no_angles, 0);
}

}  // namespace

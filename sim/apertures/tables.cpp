// tables.cpp - the free-form constructors: apertures from tables of
// triangles (xdc_triangles, xdc_triangles_old), rectangles (xdc_rectangles)
// and bounding lines (xdc_lines).
//
// The tables are column-major, one row per mathematical element (one per
// bounding line for xdc_lines), rows of one physical element together and
// its number (from 1) in column 0. The other columns, metres:
//   xdc_triangles   1-9 the corners x1 y1 z1 x2 y2 z2 x3 y3 z3, 10 apodization
//   xdc_rectangles  1-12 the four corners (x, y, z each, in the order of
//                   rect_element), 13 apodization, 14 width, 15 height,
//                   16-18 the centre (width and height are recomputed from
//                   the corners)
//   xdc_lines       1 the line element's number within its physical element
//                   (1, 2, ... in consecutive rows), 2 slope, 3 1 for a line
//                   parallel to the y axis, 4 its y at x = 0 (its x when
//                   parallel to the y axis), 5 1 when the inside lies above
//                   (left of) the line
// xdc_triangles_old takes one physical element: a table of the corners
// (columns 0-8) and one apodization per triangle.
#include <cmath>
#include <vector>

#include "apertures/geometry.h"
#include "apertures/record.h"
#include "general/checks.h"
#include "general/failure.h"
#include "general/memory.h"
#include "general/messages.h"
#include "state/host.h"

namespace sonvar {

namespace {

// A run of consecutive table rows with the same physical element number.
struct Run {
  int element;  // physical element number, from 1
  int first;    // first row of the run
  int rows;     // number of rows in the run
};

// Entry (row r, column k) of a column-major table with `rows` rows.
double cell(const double *table, int rows, int r, int k) {
  return table[r + static_cast<std::size_t>(k) * rows];
}

// The truncated element number of one row; numbers below 1 (or not numbers)
// would index before the element array, so they end the program.
int element_number(const double *table, int rows, int r, const char *call) {
  const double number = std::trunc(cell(table, rows, r, 0));
  if (!(number >= 1.0 && number <= 2147483647.0))
    fail(nullptr, "%s: element number %g in table row %d is not a whole number from 1 up", call,
         cell(table, rows, r, 0), r + 1);
  return static_cast<int>(number);
}

// Splits a table into runs of rows of one physical element. Element numbers
// must not fall back: a smaller number would make the last row's number too
// small for the element array.
std::vector<Run> element_runs(const double *table, int rows, const char *call) {
  if (rows < 1) fail(nullptr, "%s: the table has %d rows; at least one is needed", call, rows);
  std::vector<Run> runs;
  for (int r = 0; r < rows; r++) {
    const int number = element_number(table, rows, r, call);
    if (!runs.empty() && number == runs.back().element) {
      runs.back().rows++;
      continue;
    }
    if (!runs.empty() && number < runs.back().element)
      fail(nullptr, "%s: element number %d in table row %d is smaller than the one before it", call,
           number, r + 1);
    runs.push_back(Run{number, r, 1});
  }
  return runs;
}

// The aperture of a table constructor: one physical element per number up
// to the last row's, centres from the centre table.
aperture *table_aperture(sys_con *sys, const char *name, const std::vector<Run> &runs,
                         const double *centers) {
  const int count = runs.back().element;
  aperture *ap = new_aperture(sys, name, count);
  for (int n = 0; n < count; n++)
    ap->elements[n].center =
        point3{cell(centers, count, n, 0), cell(centers, count, n, 1), cell(centers, count, n, 2)};
  return ap;
}

point3 table_point(const double *table, int rows, int r, int k) {
  return point3{cell(table, rows, r, k), cell(table, rows, r, k + 1), cell(table, rows, r, k + 2)};
}

// Rounds a flag column to 0 or 1 (non-zero after rounding to the nearest
// integer counts as set).
int16_t table_flag(double value) {
  return std::round(value) != 0.0 ? 1 : 0;
}

// The number of bounding lines of each line element in a run of rows.
// Line-element numbers must run 1, 2, ... without gaps, each in consecutive
// rows: any other numbering would index outside the element's array.
std::vector<int> lines_per_element(const double *table, int rows, const Run &run) {
  std::vector<int> lines_per_element;
  for (int r = run.first; r < run.first + run.rows; r++) {
    const double number = std::trunc(cell(table, rows, r, 1));
    const double last = static_cast<double>(lines_per_element.size());
    if (number == last + 1.0 && number >= 1.0)
      lines_per_element.push_back(1);
    else if (number == last && number >= 1.0)
      lines_per_element.back()++;
    else
      fail(nullptr,
           "xdc_lines: line element number %g in table row %d does not continue 1, 2, ... "
           "within physical element %d",
           cell(table, rows, r, 1), r + 1, run.element);
  }
  return lines_per_element;
}

// Fills the line elements of one physical element from its run of rows.
void fill_line_run(sys_con *sys, physical_element &element, const double *table, int rows,
                   const Run &run, const std::vector<int> &lines_per_element) {
  element.no_line_elements = static_cast<int>(lines_per_element.size());
  element.line_elements = alloc_array<line_element>(sys, element.no_line_elements, "line elements");
  int r = run.first;
  for (int e = 0; e < element.no_line_elements; e++) {
    line_element &le = element.line_elements[e];
    le.no_lines = lines_per_element[e];
    le.lines = alloc_array<bounding_line>(sys, le.no_lines, "bounding lines");
    for (int l = 0; l < le.no_lines; l++, r++) {
      bounding_line &line = le.lines[l];
      line.slope = cell(table, rows, r, 2);
      line.slope_factor = 1 + line.slope * line.slope;
      line.vertical = table_flag(cell(table, rows, r, 3));
      (line.vertical ? line.x1 : line.y1) = cell(table, rows, r, 4);
      line.above_or_left = table_flag(cell(table, rows, r, 5));
    }
    le.cos_x = 1.0;
    le.sin_x = 0.0;
    le.cos_y = 1.0;
    le.sin_y = 0.0;
    le.zc = 0.0;
    le.apodization = 1.0;
    le.delay = 0.0;
    intersections(sys, &le);
  }
}

// The element runs of a constructor's table, after the checks of the state
// and of the arrays.
std::vector<Run> checked_runs(sys_con *sys, const char *call, const double *table, int rows,
                              const double *centers) {
  check_state(sys, call);
  if (table == nullptr || centers == nullptr)
    fail(sys, "%s: the table or the centres are NULL", call);
  return allocating(sys, "the element runs of a table",
                    [&] { return element_runs(table, rows, call); });
}

// The last check of a table aperture's geometry and its default focus.
void finish_table_aperture(sys_con *sys, const char *call, aperture *ap, point3 focus) {
  check_built_geometry(sys, call, ap);
  require_finite_point(sys, call, "focus", focus);
  set_default_focus(sys, ap, focus, 1.0);
}

// Triangle r of a triangle table: corners from columns 1-9, apodization 10.
void triangle_from_row(tri_element &tri, const double *table, int rows, int r) {
  for (int k = 0; k < 3; k++) tri.corners[k] = table_point(table, rows, r, 1 + 3 * k);
  tri.apodization = cell(table, rows, r, 10);
  tri.delay = 0.0;
}

// Rectangle r of a rectangle table: corners from columns 1-12, apodization
// 13, sizes 14 and 15, centre 16-18.
void rectangle_from_row(rect_element &rect, const double *table, int rows, int r) {
  for (int k = 0; k < 4; k++) rect.corners[k] = table_point(table, rows, r, 1 + 3 * k);
  rect.apodization = cell(table, rows, r, 13);
  rect.delay = 0.0;
  rect.width = cell(table, rows, r, 14);
  rect.height = cell(table, rows, r, 15);
  rect.center = table_point(table, rows, r, 16);
  // The sizes follow from the corners and replace the table's columns.
  calculate_vectors(&rect);
}

// A kind of mathematical element a table constructor builds, one a row.
template <typename Item>
struct TableKind {
  int16_t aperture::*uses;
  int physical_element::*count;
  Item *physical_element::*items;
  const char *what;
  void (*from_row)(Item &item, const double *table, int rows, int r);
};

const TableKind<tri_element> kTriangleTable = {
    &aperture::uses_triangles, &physical_element::no_triangles, &physical_element::triangles,
    "triangles", triangle_from_row};
const TableKind<rect_element> kRectangleTable = {
    &aperture::uses_rectangles, &physical_element::no_rectangles, &physical_element::rectangles,
    "rectangles", rectangle_from_row};

// The aperture of a triangle or rectangle table: one physical element a
// run, one mathematical element a row, then the last check of the geometry
// and the default focus.
template <typename Item>
aperture *table_of(sys_con *sys, const char *call, const char *name, const TableKind<Item> &kind,
                   const double *table, int rows, const double *centers, point3 focus) {
  const std::vector<Run> runs = checked_runs(sys, call, table, rows, centers);
  aperture *ap = table_aperture(sys, name, runs, centers);
  ap->*kind.uses = 1;
  for (const Run &run : runs) {
    physical_element &element = ap->elements[run.element - 1];
    element.*kind.count = run.rows;
    element.*kind.items = alloc_array<Item>(sys, run.rows, kind.what);
    for (int j = 0; j < run.rows; j++)
      kind.from_row((element.*kind.items)[j], table, rows, run.first + j);
  }
  finish_table_aperture(sys, call, ap, focus);
  return ap;
}

}  // namespace

SONVAR_CALL aperture *xdc_triangles(sys_con *sys, const double *table, int rows,
                                    const double *centers, point3 focus) try {
  SONVAR_ENTER(sys);
  return table_of(sys, __func__, "User defined transducer using triangles", kTriangleTable, table,
                  rows, centers, focus);
}
SONVAR_LEAVE(sys)

SONVAR_CALL aperture *xdc_rectangles(sys_con *sys, const double *table, int rows,
                                     const double *centers, point3 focus) try {
  SONVAR_ENTER(sys);
  aperture *ap = table_of(sys, __func__, "User defined rectangles transducer", kRectangleTable,
                          table, rows, centers, focus);
  if (sys->use_triangles) xdc_convert(sys, ap);
  if (sys->use_lines) xdc_line_convert(sys, ap);
  return ap;
}
SONVAR_LEAVE(sys)

SONVAR_CALL aperture *xdc_lines(sys_con *sys, const double *table, int rows, const double *centers,
                                point3 focus) try {
  SONVAR_ENTER(sys);
  const std::vector<Run> runs = checked_runs(sys, "xdc_lines", table, rows, centers);
  const std::vector<std::vector<int>> counts = allocating(sys, "the line counts of a table", [&] {
    std::vector<std::vector<int>> per_run;
    for (const Run &run : runs) per_run.push_back(lines_per_element(table, rows, run));
    return per_run;
  });
  aperture *ap = table_aperture(sys, "User defined transducer using lines", runs, centers);
  ap->uses_lines = 1;
  for (size_t k = 0; k < runs.size(); k++)
    fill_line_run(sys, ap->elements[runs[k].element - 1], table, rows, runs[k], counts[k]);
  finish_table_aperture(sys, "xdc_lines", ap, focus);
  return ap;
}
SONVAR_LEAVE(sys)

SONVAR_CALL aperture *xdc_triangles_old(sys_con *sys, const double *corners, int rows,
                                        const double *apodizations, double element_apodization,
                                        point3 center) try {
  SONVAR_ENTER(sys);
  aperture *ap = new_aperture(sys, "Physical element made of triangles", 1);
  ap->uses_triangles = 1;
  physical_element &element = ap->elements[0];
  element.center = center;
  if (rows > 0) {
    element.no_triangles = rows;
    element.triangles = alloc_array<tri_element>(sys, rows, "triangles");
    for (int r = 0; r < rows; r++) {
      tri_element &tri = element.triangles[r];
      for (int k = 0; k < 3; k++) tri.corners[k] = table_point(corners, rows, r, 3 * k);
      tri.apodization = apodizations[r];
      tri.delay = 0.0;
    }
  }
  check_built_geometry(sys, "xdc_triangles_old", ap);
  if (!std::isfinite(element_apodization))
    fail(sys, "xdc_triangles_old: element_apodization %g must be finite", element_apodization);
  // A focus at infinity along z: every element fires at once.
  set_default_focus(sys, ap, point3{0.0, 0.0, 1e30}, element_apodization);
  return ap;
}
SONVAR_LEAVE(sys)

}  // namespace sonvar

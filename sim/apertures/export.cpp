// export.cpp - the export tables of an aperture (xdc_get, xdc_get_size).
#include <cstdint>

#include "general/messages.h"
#include "state/host.h"

namespace sonvar {

namespace {

// Appends values to the caller's array, or only counts them when the
// array is NULL (the size query shares the row layouts this way).
struct TableWriter {
  double *out;
  std::int64_t count;
  void put(double value) {
    if (out != nullptr) out[count] = value;
    count++;
  }
  void put(const point3 &p) {
    put(p.x);
    put(p.y);
    put(p.z);
  }
};

// One row per mathematical element of the kind `items`, physical element
// by physical element: n and j (the indices of the physical and of the
// mathematical element), then what row(e, item) puts.
template <typename Item, typename Row>
void write_rows(const aperture *ap, TableWriter &w, int physical_element::*count,
                Item *physical_element::*items, Row row) {
  for (int n = 0; n < ap->no_elements; n++) {
    const physical_element &e = ap->elements[n];
    for (int j = 0; j < e.*count; j++) {
      w.put(n);
      w.put(j);
      row(e, (e.*items)[j]);
    }
  }
}

void write_rectangles(const aperture *ap, TableWriter &w) {
  write_rows(ap, w, &physical_element::no_rectangles, &physical_element::rectangles,
             [&](const physical_element &e, const rect_element &r) {
               for (double v : {r.width, r.height, r.apodization, r.tan_xz, r.tan_yz}) w.put(v);
               w.put(r.center);
               for (const point3 &c : r.corners) w.put(c);
               w.put(r.delay);
               w.put(e.center);
             });
}

void write_triangles(const aperture *ap, TableWriter &w) {
  write_rows(ap, w, &physical_element::no_triangles, &physical_element::triangles,
             [&](const physical_element &e, const tri_element &t) {
               w.put(t.apodization);
               w.put(e.center);
               for (const point3 &c : t.corners) w.put(c);
             });
}

void write_line_elements(const aperture *ap, TableWriter &w) {
  write_rows(ap, w, &physical_element::no_line_elements, &physical_element::line_elements,
             [&](const physical_element &e, const line_element &le) {
               w.put(le.apodization);
               w.put(le.no_lines);  // slot 3 carries the line count (as slot 12 does)
               w.put(e.center);
               for (double v : {le.cos_x, le.sin_x, le.cos_y, le.sin_y, le.zc}) w.put(v);
               w.put(le.no_lines);
               for (int l = 0; l < le.no_lines; l++) {
                 const bounding_line &line = le.lines[l];
                 for (double v : {line.slope, static_cast<double>(line.vertical), line.y1, line.x1,
                                  static_cast<double>(line.above_or_left)})
                   w.put(v);
               }
               w.put(le.no_crossings);
               for (int k = 0; k < le.no_crossings; k++) w.put(le.crossings[k]);
             });
}

void write_focus_line(const aperture *ap, TableWriter &w) {
  for (const focus_entry *f = ap->focus_line; f != nullptr; f = f->next) {
    w.put(f->time);
    for (int n = 0; n < ap->no_elements; n++) w.put(f->dynamic ? 0.0 : f->delays[n]);
  }
}

void write_apodization_line(const aperture *ap, TableWriter &w) {
  for (const apodization_entry *a = ap->apodization_line; a != nullptr; a = a->next) {
    w.put(a->time);
    for (int n = 0; n < ap->no_elements; n++) w.put(a->values[n]);
  }
}

// The writer of each table, in the order of the named codes
// SONVAR_TABLE_RECTANGLES to SONVAR_TABLE_APODIZATION.
using Writer = void (*)(const aperture *ap, TableWriter &w);
constexpr Writer kWriters[] = {write_rectangles, write_triangles, write_line_elements,
                               write_focus_line, write_apodization_line};
static_assert(SONVAR_TABLE_APODIZATION - SONVAR_TABLE_RECTANGLES + 1 ==
                  sizeof kWriters / sizeof kWriters[0],
              "one writer a table");

// Other kinds write nothing.
void write_table(const aperture *ap, int info_kind, TableWriter &w) {
  if (info_kind >= SONVAR_TABLE_RECTANGLES && info_kind <= SONVAR_TABLE_APODIZATION)
    kWriters[info_kind - SONVAR_TABLE_RECTANGLES](ap, w);
}

}  // namespace

SONVAR_CALL void xdc_get(sys_con *sys, aperture *ap, int info_kind, double *out) try {
  SONVAR_ENTER(sys);
  if (sys->debug) print_message(sys, "Sonvar debug message: Entering xdc_get\n");
  if (out == nullptr) return;
  TableWriter writer{out, 0};
  write_table(ap, info_kind, writer);
}
SONVAR_LEAVE_VOID(sys)

SONVAR_CALL int64_t xdc_get_size(sys_con *, aperture *ap, int info_kind) {
  TableWriter counter{nullptr, 0};
  write_table(ap, info_kind, counter);
  return counter.count;
}

}  // namespace sonvar

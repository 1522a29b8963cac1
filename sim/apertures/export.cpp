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

void write_rectangles(const aperture *ap, TableWriter &w) {
  for (int n = 0; n < ap->no_elements; n++) {
    const physical_element &e = ap->elements[n];
    for (int j = 0; j < e.no_rectangles; j++) {
      const rect_element &r = e.rectangles[j];
      w.put(n);
      w.put(j);
      for (double v : {r.width, r.height, r.apodization, r.tan_xz, r.tan_yz}) w.put(v);
      w.put(r.center);
      for (const point3 &c : r.corners) w.put(c);
      w.put(r.delay);
      w.put(e.center);
    }
  }
}

void write_triangles(const aperture *ap, TableWriter &w) {
  for (int n = 0; n < ap->no_elements; n++) {
    const physical_element &e = ap->elements[n];
    for (int j = 0; j < e.no_triangles; j++) {
      const tri_element &t = e.triangles[j];
      w.put(n);
      w.put(j);
      w.put(t.apodization);
      w.put(e.center);
      for (const point3 &c : t.corners) w.put(c);
    }
  }
}

void write_line_elements(const aperture *ap, TableWriter &w) {
  for (int n = 0; n < ap->no_elements; n++) {
    const physical_element &e = ap->elements[n];
    for (int j = 0; j < e.no_line_elements; j++) {
      const line_element &le = e.line_elements[j];
      w.put(n);
      w.put(j);
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
    }
  }
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

void write_table(const aperture *ap, int info_kind, TableWriter &w) {
  switch (info_kind) {
    case SONVAR_TABLE_RECTANGLES:
      write_rectangles(ap, w);
      break;
    case SONVAR_TABLE_TRIANGLES:
      write_triangles(ap, w);
      break;
    case SONVAR_TABLE_LINES:
      write_line_elements(ap, w);
      break;
    case SONVAR_TABLE_FOCUS:
      write_focus_line(ap, w);
      break;
    case SONVAR_TABLE_APODIZATION:
      write_apodization_line(ap, w);
      break;
    default:
      break;
  }
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

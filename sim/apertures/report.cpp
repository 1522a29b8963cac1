// report.cpp - the aperture report (xdc_show).
#include <cmath>
#include <string>

#include "base/constants.h"
#include "general/checks.h"
#include "general/failure.h"
#include "general/memory.h"
#include "general/messages.h"
#include "state/host.h"

namespace sonvar {

namespace {

constexpr double kMm = 1000.0;            // metres to millimetres
constexpr double kUs = 1e6;               // seconds to microseconds
constexpr double kDegrees = 180.0 / kPi;  // radians to degrees

void show_header(std::string *text, const aperture *ap) {
  append_formatted(text, "Aperture name: %s \n", ap->name);
  append_formatted(text, "Created: %s \n", ap->created);
  append_formatted(text, "Impulse response consists of %d samples\n",
                   ap->impulse_response->no_samples);
  append_formatted(text, "Excitation response consists of %d samples\n",
                   ap->excitation->no_samples);
  append_formatted(text, "%s\n",
                   ap->individual_excitation ? "Physical elements uses individual excitation"
                                             : "All elements uses same excitation");
  if (ap->quantize_delays)
    append_formatted(text, "Quantized phase delay is used. Quantization = %10.4f ns\n",
                     ap->quantization * 1e9);
  else
    append_formatted(text, "No quantization of phase delays are used.\n");
  append_formatted(text, "%s\n",
                   ap->soft_baffle ? "Aperture uses the soft-baffle boundary condition"
                                   : "Aperture uses the rigid baffle boundary condition");
  const point3 &r = ap->focus_reference;
  append_formatted(
      text, "The reference point for focusing is at  (x,y,z) = (%10.4f, %10.4f, %10.4f) mm\n",
      r.x * kMm, r.y * kMm, r.z * kMm);
  append_formatted(text, "The aperture consists of %d physical elements. \n", ap->no_elements);
}

void show_rectangles(std::string *text, const physical_element &e) {
  append_formatted(text, "    Rectangular elements are given by (all measures in mm):\n");
  append_formatted(text, "    Unit vectors \n");
  append_formatted(text, "    No.     Width    Height   Apodization    tan_xz     tan_yz\n");
  for (int j = 0; j < e.no_rectangles; j++) {
    const rect_element &r = e.rectangles[j];
    append_formatted(text, "    %4d  %8.4f  %8.4f  %8.4f     %8.4f  %8.4f \n", j + 1, r.width * kMm,
                     r.height * kMm, r.apodization, r.tan_xz, r.tan_yz);
  }
  append_formatted(text, "    Center points are given by (all measures in mm):  \n");
  append_formatted(text, "    No.         Center\n");
  for (int j = 0; j < e.no_rectangles; j++) {
    const point3 &c = e.rectangles[j].center;
    append_formatted(text, "    %4d  (%9.4f, %9.4f, %9.4f)  \n", j + 1, c.x * kMm, c.y * kMm,
                     c.z * kMm);
  }
  append_formatted(text, "    Corners are given by (all measures in mm):  \n");
  append_formatted(
      text,
      "    No.                (1)                      (2)                      (3)        "
      "              (4) \n");
  for (int j = 0; j < e.no_rectangles; j++) {
    append_formatted(text, "    %4d ", j + 1);
    for (const point3 &c : e.rectangles[j].corners)
      append_formatted(text, " (%6.2f, %6.2f, %6.2f)", c.x * kMm, c.y * kMm, c.z * kMm);
    append_formatted(text, " \n");
  }
}

void show_triangles(std::string *text, const physical_element &e) {
  append_formatted(text, "    Triangular elements: \n");
  append_formatted(text, "    Corners are given by (all measures in mm):  \n");
  append_formatted(
      text,
      "    No.     Apodization           (1)                      (2)                      "
      "(3)  \n");
  for (int j = 0; j < e.no_triangles; j++) {
    const tri_element &t = e.triangles[j];
    append_formatted(text, "    %4d  %6.2f ", j + 1, t.apodization);
    for (const point3 &c : t.corners)
      append_formatted(text, " (%6.2f, %6.2f, %6.2f)", c.x * kMm, c.y * kMm, c.z * kMm);
    append_formatted(text, " \n");
  }
}

void show_line_element(std::string *text, const line_element &le, int e) {
  append_formatted(
      text,
      "    Direction cosine for x = %10.6f, sine for x = %10.6f, cosine for y = %10.6f, sine "
      "for y = %10.6f, \n",
      le.cos_x, le.sin_x, le.cos_y, le.sin_y);
  append_formatted(text, "    Projected plane height zc = %10.4f mm \n", le.zc * kMm);
  append_formatted(text, "    There are %d crossings between bounding lines \n", le.no_crossings);
  append_formatted(text, "    Crossing no.   Position (x, y, z) mm \n");
  for (int k = 0; k < le.no_crossings; k++) {
    const point3 &c = le.crossings[k];
    append_formatted(text, "  %8d   %10.6f    %10.6f    %10.6f \n", k, c.x * kMm, c.y * kMm,
                     c.z * kMm);
  }
  append_formatted(text, "    Element apodization value = %10.4f,  Delay value = %10.4f us\n",
                   le.apodization, le.delay * kUs);
  append_formatted(text,
                   "    Element no.   Line no.      Slope        Intersection      Above or left   "
                   "Apodization   \n");
  for (int l = 0; l < le.no_lines; l++) {
    const bounding_line &line = le.lines[l];
    if (line.vertical)
      append_formatted(text,
                       "     %4d         %4d        Infinite       x1=%10.4f    %8d      %10.6f\n",
                       e + 1, l + 1, line.x1 * kMm, line.above_or_left, le.apodization);
    else
      append_formatted(text,
                       "     %4d         %4d      %10.4f       y1=%10.4f    %8d      %10.6f\n", e,
                       l, line.slope, line.y1 * kMm, line.above_or_left, le.apodization);
  }
}

void show_elements(std::string *text, const aperture *ap) {
  for (int n = 0; n < ap->no_elements; n++) {
    const physical_element &e = ap->elements[n];
    append_formatted(
        text,
        "Physical element number %d consists of %d rectangles and %d triangles and %d line "
        "elements \n",
        n + 1, e.no_rectangles, e.no_triangles, e.no_line_elements);
    append_formatted(text, "The center point is at (x,y,z) = (%10.4f, %10.4f, %10.4f) mm. \n",
                     e.center.x * kMm, e.center.y * kMm, e.center.z * kMm);
    if (e.has_excitation && e.excitation != nullptr)
      append_formatted(text,
                       "    This physical element uses an individual excitation with %d samples\n",
                       e.excitation->no_samples);
    if (e.no_rectangles > 0) show_rectangles(text, e);
    if (e.no_triangles > 0) show_triangles(text, e);
    if (e.no_line_elements > 0) {
      append_formatted(text, "  Line elements: \n");
      append_formatted(text, "    Lines are given by (all measures in mm):  \n");
      for (int l = 0; l < e.no_line_elements; l++) show_line_element(text, e.line_elements[l], l);
    }
  }
}

void show_focus(std::string *text, const aperture *ap) {
  append_formatted(text, "\nTime line for focusing:\n");
  for (const focus_entry *f = ap->focus_line; f != nullptr; f = f->next) {
    append_formatted(text, "Time [us]  Focal point [mm] or focal direction \n");
    if (f->dynamic) {
      append_formatted(text, "%8.4f  Dynamic along: %9.4f deg. (z-x), %9.4f deg. (z-y)) \n",
                       f->time * kUs, f->angle_zx * kDegrees, f->angle_zy * kDegrees);
      continue;
    }
    append_formatted(text, "%8.4f   (%8.4f, %8.4f, %8.4f) \n", f->time * kUs, f->point.x * kMm,
                     f->point.y * kMm, f->point.z * kMm);
    append_formatted(text, "Delay times [s] (Element: Value) \n            ");
    for (int n = 0; n < ap->no_elements; n++) {
      append_formatted(text, "(%3d, %10.3e)  ", n + 1, f->delays[n]);
      if ((n + 1) % 4 == 0) append_formatted(text, "\n            ");
    }
    append_formatted(text, "\n");
  }
}

void show_apodization(std::string *text, const aperture *ap) {
  if (ap->dynamic_apodization) {
    const point3 &r = ap->apod_reference;
    const point3 &d = ap->apod_direction;
    append_formatted(text, "Dynamic apodization is used for this aperture\n");
    append_formatted(text, "   Apodization reference point is (%8.4f, %8.4f, %8.4f) mm \n",
                     r.x * kMm, r.y * kMm, r.z * kMm);
    append_formatted(text, "   Apodization direction vector is (%8.4f, %8.4f, %8.4f) mm \n", d.x,
                     d.y, d.z);
    append_formatted(text, "F-number used is %8.4f \n", ap->f_number);
    static const char *const kWindows[] = {"Hanning", "Hamming", "Blackman"};
    if (ap->apod_window >= 1 && ap->apod_window <= 3)
      append_formatted(text, "  Apodization uses %s windows \n", kWindows[ap->apod_window - 1]);
    return;
  }
  append_formatted(text, "Time line for apodization:\n");
  append_formatted(text, "Time [us]  Apodization (Element: Value)");
  for (const apodization_entry *a = ap->apodization_line; a != nullptr; a = a->next) {
    append_formatted(text, "\n %8.4f   ", a->time * kUs);
    for (int n = 0; n < ap->no_elements; n++) {
      append_formatted(text, "(%3d, %6.4f)  ", n + 1, a->values[n]);
      if ((n + 1) % 5 == 0) append_formatted(text, "\n            ");
    }
  }
  append_formatted(text, "\n");
}

}  // namespace

SONVAR_CALL void xdc_show(sys_con *sys, aperture *ap, int info_kind) try {
  SONVAR_ENTER(sys);
  if (sys->debug) print_message(sys, "Sonvar debug message: Entering xdc_show\n");
  // The report goes out in one piece, so that a sink sees it whole.
  std::string report;
  std::string *text = &report;
  show_header(text, ap);
  const bool all = info_kind == SONVAR_SHOW_ALL;
  if (all || info_kind == SONVAR_SHOW_ELEMENTS) show_elements(text, ap);
  if (all || info_kind == SONVAR_SHOW_FOCUS) show_focus(text, ap);
  if (all || info_kind == SONVAR_SHOW_APODIZATION) show_apodization(text, ap);
  print_message(sys, report.c_str());
}
SONVAR_LEAVE_VOID(sys)

}  // namespace sonvar

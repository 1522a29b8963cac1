// geometry.h - the geometry of an aperture's elements (geometry.cpp): the
// corners of rectangles on flat and curved faces, their sizes and tilts,
// and the bounding lines of line elements.
#ifndef SONVAR_APERTURES_GEOMETRY_H
#define SONVAR_APERTURES_GEOMETRY_H

#include "sonvar.h"

namespace sonvar {

/* Corner generators: each writes the four corners of `rect` (in the order
 * (x0,y0), (x0,y0+h), (x0+w,y0+h), (x0+w,y0) or its curved counterpart) and
 * the centre point through `center`, and nothing else. Metres, radians. */
void insert_corners(rect_element *rect, point3 *center, double x0, double y0, double w, double h);
/* Square of side `size` centred laterally at (x, y) on the sphere of radius
 * F centred at (0, 0, F). */
void insert_concave_corners(rect_element *rect, point3 *center, double x, double y, double size,
                            double F);
/* Rectangle on the elevation-focused cylinder z = z0 - sqrt(Rfocus^2 - y^2). */
void insert_corners_focused(rect_element *rect, point3 *center, double x0, double y0, double w,
                            double h, double Rfocus, double z0);
/* Rectangle spanning the angles phi .. phi + delta on the convex cylinder of
 * radius Rconvex whose axis runs through (0, y, -Rconvex). */
void insert_corners_convex(rect_element *rect, point3 *center, double y0, double h, double Rconvex,
                           double phi, double delta);
/* Rectangle on the convex surface whose radius shrinks with the elevation
 * curvature: r(y) = Rconvex - (sqrt(Rfocus^2 - y^2) - z0). */
void insert_corners_convex_focused(rect_element *rect, point3 *center, double y0, double h,
                                   double Rconvex, double Rfocus, double z0, double phi,
                                   double delta);

/* Completes a rectangle whose corners and centre are set: side lengths,
 * tilt tangents, their cosines and sines and the doubly-tilted flag. Prints a
 * diagnostic when a tangent exceeds 10 in magnitude. */
void calculate_vectors(rect_element *rect);

/* Fills bounding line `index` (from 0) of `element` from two points on the
 * line and a point inside the element (z ignored). */
void insert_element(line_element *element, int index, point3 p1, point3 p2, point3 inside);

/* Levels the rectangle into a plane parallel to x-y (corners and centre are
 * turned in place) and stores the rotation and plane height in `element`. */
void project_rectangle(rect_element *rect, line_element *element);
/* 1 when (x, y) lies on the inner side of every bounding line (1e-8 m slack). */
int16_t inside_boundary(const line_element *element, double x, double y);
/* Finds the corners of a line element: crossings of its bounding lines that
 * lie on the element. */
void intersections(sys_con *sys, line_element *element);

}  // namespace sonvar

#endif  // SONVAR_APERTURES_GEOMETRY_H

// geometry.h: turning the mesh, and projecting, shading and submitting one face.
#pragma once

#include <cstdint>

#include "scene/mesh.h"

// Positions turned about X by angle radians: y' = C y + S z, z' = C z - S y, x kept.
// Double-precision arithmetic, single-precision results; count <= 0 writes nothing.
void rotate_x(const MeshVertex *src, Point3 *dst, float angle, int32_t count);
// Positions turned about Y: x' = C x + S z, z' = C z - S x, y kept.
void rotate_y(const Point3 *src, Point3 *dst, float angle, int32_t count);

// Projects face `face` of the mesh, with positions `turned` placed at `offset`, onto the
// 640x480 screen, shades it by depth and hands it to guDrawTriangleWithClip. A face with
// a corner on or behind the eye plane (a depth term that is not positive and finite)
// would project through the eye and is not submitted.
void draw_face(const Mesh &mesh, const Point3 *turned, int32_t face, const Point3 &offset);

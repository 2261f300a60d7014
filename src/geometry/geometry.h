// geometry.h: turning the mesh, and projecting, shading and submitting one face.
#pragma once

#include <cstdint>

#include "scene/mesh.h"

// Positions turned about X by angle radians: y' = C y + S z, z' = C z - S y, x kept.
// Double-precision arithmetic, single-precision results; count <= 0 writes nothing.
void rotate_x(const MeshVertex *src, Point3 *dst, float angle, int32_t count);
// Positions turned about Y: x' = C x + S z, z' = C z - S x, y kept.
void rotate_y(const Point3 *src, Point3 *dst, float angle, int32_t count);

// Projects every vertex of one copy, positions `turned` placed at `offset`, onto the
// 640x480 screen with its depth shade, depth value and texture coordinates, into
// mesh->corners. A vertex is shared by about six faces, so each is projected once a copy
// and the faces pick their corners up. A corner whose depth term is not positive and
// finite is marked as not in front of the eye.
void project_vertices(Mesh *mesh, const Point3 *turned, const Point3 &offset);
// Hands face `face` of the projected copy to guDrawTriangleWithClip, corners in the
// face's order, unless one of them is not in front of the eye.
void draw_face(const Mesh &mesh, int32_t face);

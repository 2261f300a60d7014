// draw_face.cpp: perspective projection onto the 640x480 screen, the depth shade and the
// depth value of a copy's vertices, then one clipped triangle a face for the library.
#include <cmath>

#include "geometry/geometry.h"
#include "gfx/gfx.h"

namespace
{

// Fills c from position p (placed at offset o) and texture coordinates (s, t), all in
// double precision in the order written, stored as floats.
void project(const Point3 &p, const Point3 &o, float s, float t, Corner *c)
{
    const double shade = (2.0 - (double)p.z) * 120.0 - 128.0;
    const double d = ((double)p.z + (double)o.z) * 200.0 + 500.0;
    c->in_front = d > 0.0 && std::isfinite(d);
    if (!c->in_front)
        return;
    GrVertex *v = &c->v;
    *v = GrVertex{};
    v->r = v->g = v->b = (float)shade;
    v->x = (float)(((double)p.x + (double)o.x) * 300.0 * 320.0 / d + 320.0);
    v->y = (float)(((double)p.y + (double)o.y) * 300.0 * 320.0 / d + 240.0);
    v->ooz = (float)(1.0 / d * 65535.0);
    v->oow = 0.0625f;
    v->tmuvtx[0].sow = (float)((double)s * 0.0625);
    v->tmuvtx[0].tow = (float)((double)t * 0.0625);
}

} // namespace

void project_vertices(Mesh *mesh, const Point3 *turned, const Point3 &offset)
{
    for (int32_t i = 0; i < mesh->vertex_count; i++)
        project(turned[i], offset, mesh->vertices[i].s, mesh->vertices[i].t, &mesh->corners[i]);
}

void draw_face(const Mesh &mesh, int32_t face)
{
    const MeshFace &f = mesh.faces[face];
    const Corner &a = mesh.corners[f.v[0]], &b = mesh.corners[f.v[1]], &c = mesh.corners[f.v[2]];
    if (a.in_front && b.in_front && c.in_front)
        guDrawTriangleWithClip(&a.v, &b.v, &c.v);
}

// draw_face.cpp: perspective projection onto the 640x480 screen, the depth shade and the
// depth value of one face's corners, then one clipped triangle for the library.
#include <cmath>

#include "geometry/geometry.h"
#include "gfx/gfx.h"

namespace
{

// Fills v from position p (placed at offset o) and texture coordinates (s, t), all in
// double precision in the order written, stored as floats. Returns false when the depth
// term is not positive and finite: the corner is at or behind the eye.
bool project(const Point3 &p, const Point3 &o, float s, float t, GrVertex *v)
{
    const double shade = (2.0 - (double)p.z) * 120.0 - 128.0;
    const double d = ((double)p.z + (double)o.z) * 200.0 + 500.0;
    if (!(d > 0.0) || !std::isfinite(d))
        return false;
    *v = GrVertex{};
    v->r = v->g = v->b = (float)shade;
    v->x = (float)(((double)p.x + (double)o.x) * 300.0 * 320.0 / d + 320.0);
    v->y = (float)(((double)p.y + (double)o.y) * 300.0 * 320.0 / d + 240.0);
    v->ooz = (float)(1.0 / d * 65535.0);
    v->oow = 0.0625f;
    v->tmuvtx[0].sow = (float)((double)s * 0.0625);
    v->tmuvtx[0].tow = (float)((double)t * 0.0625);
    return true;
}

} // namespace

void draw_face(const Mesh &mesh, const Point3 *turned, int32_t face, const Point3 &offset)
{
    const MeshFace &f = mesh.faces[face];
    GrVertex corner[3];
    for (int k = 0; k < 3; k++) {
        const int32_t i = f.v[k];
        if (!project(turned[i], offset, mesh.vertices[i].s, mesh.vertices[i].t, &corner[k]))
            return;
    }
    guDrawTriangleWithClip(&corner[0], &corner[1], &corner[2]);
}

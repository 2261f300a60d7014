// animation.cpp: 36 copies a frame, each on its own path and with its own spin.
// There is no clock: the motion advances by fixed steps per frame.
#include <cmath>

#include "driver/animation.h"
#include "geometry/geometry.h"
#include "gfx/gfx.h"

void animation_start(Animation *anim)
{
    *anim = Animation{};
    anim->spin_base = 0.1f;
}

void draw_copies(Animation *anim, Mesh *mesh, int32_t texture_a, int32_t texture_b)
{
    // The running phases are carried in double through the 36 steps; the stored phases
    // advance in single precision, using their values from before the advance.
    double a = anim->phase_a, b = anim->phase_b, c = anim->phase_c;
    anim->phase_a += 0.01f;
    anim->phase_b += 0.02f;
    anim->phase_c += 0.02f;
    for (int j = 0; j < COPIES; j++) {
        anim->offset[j].x = (float)(2.5 * std::sin(a));
        anim->offset[j].y = (float)(2.5 * std::cos(b));
        anim->offset[j].z = (float)(4.5 * std::sin(c) + 6.0);
        a += (double)0.3f;
        b += (double)0.3f;
        c += (double)0.5f;
    }

    float spin = anim->spin_base;
    for (int j = 0; j < COPIES; j++) {
        rotate_x(mesh->vertices, mesh->turned_x, spin, mesh->vertex_count);
        rotate_y(mesh->turned_x, mesh->turned, spin, mesh->vertex_count);
        project_vertices(mesh, mesh->turned, anim->offset[j]);
        guTexSource(j % 2 == 0 ? texture_a : texture_b);
        for (int32_t f = 0; f < mesh->face_count; f++)
            draw_face(*mesh, f);
        spin += 0.05f;
    }
}

void animation_advance(Animation *anim)
{
    anim->spin_base += 0.03f;
}

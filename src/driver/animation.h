// animation.h: the schedule that places, spins and textures the 36 copies each frame.
#pragma once

#include <cstdint>

#include "scene/mesh.h"

constexpr int COPIES = 36;

struct Animation {
    float phase_a;         // x of the copy offsets; +0.01 a frame
    float phase_b;         // y; +0.02 a frame
    float phase_c;         // z; +0.02 a frame
    float spin_base;       // angle of copy 0, radians; +0.03 after each swap
    Point3 offset[COPIES]; // this frame's copy offsets
};

// Phases 0, spin base 0.1.
void animation_start(Animation *anim);
// The body of one frame between clear and swap: computes the copy offsets from the
// phases (advancing them), then turns and draws every copy, texture a on even copies and
// b on odd ones.
void draw_copies(Animation *anim, Mesh *mesh, int32_t texture_a, int32_t texture_b);
// After the swap.
void animation_advance(Animation *anim);
